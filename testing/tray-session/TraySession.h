// What the tray tests run against: a private X server (Xvfb) for Qt's xcb
// platform and a private session bus, both started before the QApplication and
// stopped after the last test; a StatusNotifierWatcher stand-in that a desktop
// panel would provide; and a client that talks to the item the way a panel does.
//
// Qt decides once per process, when the first tray icon is made, whether a
// StatusNotifierWatcher is there; so each test binary either starts the watcher
// before Qt (runTrayTests' `beforeQt`) or never.
#pragma once

#include <QImage>
#include <QtCore/qtestsupport_core.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
class IObject;
class IProxy;
} // namespace sdbus

namespace sorvane::testing {

// Starts Xvfb and a dbus-daemon, points Qt (xcb) and D-Bus clients at them,
// calls `beforeQt` with the bus address, creates the QApplication and runs the
// tests. What `beforeQt` returns is kept until the tests are over and released
// while the bus is still up. Returns the tests' exit status; 1 when X or D-Bus
// did not start.
int runTrayTests(int argc, char** argv,
                 const std::function<std::shared_ptr<void>(const std::string&)>& beforeQt);

// The session bus address of the running tests.
const std::string& trayTestBusAddress();

// Runs `call` on a thread of its own while this thread keeps handling Qt
// events, so that a blocking D-Bus call can reach an object this thread serves.
template <class F>
auto callOffMainThread(F call) -> decltype(call()) {
    auto result = std::async(std::launch::async, std::move(call));
    // D-Bus gives up on a call after 25 s; get() then throws its error.
    (void)QTest::qWaitFor(
        [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30000);
    return result.get();
}

// A StatusNotifierWatcher as a desktop panel runs it: owns
// org.kde.StatusNotifierWatcher, object /StatusNotifierWatcher, accepts
// RegisterStatusNotifierItem, says a host is registered and lists the items.
// Serves on a thread of its own.
class SniWatcher {
public:
    explicit SniWatcher(const std::string& busAddress);
    ~SniWatcher();
    SniWatcher(const SniWatcher&) = delete;
    SniWatcher& operator=(const SniWatcher&) = delete;

    // What items registered, oldest first (Qt registers its bus name).
    std::vector<std::string> items() const;

private:
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IObject> m_object;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_items;
};

// A panel's view of one StatusNotifierItem. Every call blocks on a thread of
// its own while the Qt event loop turns (see callOffMainThread).
class SniItemClient {
public:
    SniItemClient(const std::string& busAddress, const std::string& service);
    ~SniItemClient();
    SniItemClient(const SniItemClient&) = delete;
    SniItemClient& operator=(const SniItemClient&) = delete;

    // The IconPixmap property, one image per size.
    std::vector<QImage> iconPixmaps();
    // The exported image `side` pixels wide; null when there is none.
    QImage iconPixmap(int side);
    std::string toolTipTitle();
    // The IconName property: a name in the icon theme, or empty.
    std::string iconName();
    // The panel's clicks: left, middle, right.
    void activate(int x, int y);
    void secondaryActivate(int x, int y);
    void contextMenu(int x, int y);

private:
    std::unique_ptr<sdbus::IProxy> m_proxy;
};

// The names on the bus (org.freedesktop.DBus.ListNames).
std::vector<std::string> busNames(const std::string& busAddress);

} // namespace sorvane::testing

#include "testing/tray-session/TraySession.h"

#include "testing/x-session/XSession.h"
#include "testing/dbus-daemon/DbusDaemon.h"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <tuple>

namespace sorvane::testing {
namespace {

constexpr const char* kWatcherInterface = "org.kde.StatusNotifierWatcher";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";

std::string g_busAddress;

} // namespace

int runTrayTests(int argc, char** argv,
                 const std::function<std::shared_ptr<void>(const std::string&)>& beforeQt) {
    ::testing::InitGoogleTest(&argc, argv);
    XSession x(XSession::Options{false, false});
    if (!x.running()) {
        std::fprintf(stderr, "tray tests: %s\n", x.error().c_str());
        return 1;
    }
    DbusDaemon bus;
    if (!bus.running()) {
        std::fprintf(stderr, "tray tests: dbus-daemon did not start\n");
        return 1;
    }
    g_busAddress = bus.address();
    ScopedEnv display("DISPLAY", x.display());
    ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", bus.address());
    ScopedEnv platform("QT_QPA_PLATFORM", "xcb");
    // The plain theme, whatever desktop the tests are started from.
    ScopedEnv theme("QT_QPA_PLATFORMTHEME", "generic");
    unsetenv("XDG_CURRENT_DESKTOP");
    int status = 1;
    {
        const std::shared_ptr<void> keep = beforeQt ? beforeQt(bus.address()) : nullptr;
        QApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    return status;
}

const std::string& trayTestBusAddress() { return g_busAddress; }

SniWatcher::SniWatcher(const std::string& busAddress)
    : m_connection(sdbus::createSessionBusConnectionWithAddress(busAddress)) {
    m_connection->requestName(kWatcherInterface);
    m_object = sdbus::createObject(*m_connection, "/StatusNotifierWatcher");
    m_object->registerMethod("RegisterStatusNotifierItem")
        .onInterface(kWatcherInterface)
        .withInputParamNames("service")
        .implementedAs([this](const std::string& service) {
            {
                std::lock_guard lock(m_mutex);
                m_items.push_back(service);
            }
            m_object->emitSignal("StatusNotifierItemRegistered").onInterface(kWatcherInterface).withArguments(service);
        });
    m_object->registerMethod("RegisterStatusNotifierHost")
        .onInterface(kWatcherInterface)
        .withInputParamNames("service")
        .implementedAs([](const std::string&) {});
    m_object->registerProperty("RegisteredStatusNotifierItems")
        .onInterface(kWatcherInterface)
        .withGetter([this] { return items(); });
    m_object->registerProperty("IsStatusNotifierHostRegistered")
        .onInterface(kWatcherInterface)
        .withGetter([] { return true; });
    m_object->registerProperty("ProtocolVersion").onInterface(kWatcherInterface).withGetter([] {
        return int32_t{0};
    });
    m_object->registerSignal("StatusNotifierItemRegistered")
        .onInterface(kWatcherInterface)
        .withParameters<std::string>();
    m_object->finishRegistration();
    m_connection->enterEventLoopAsync();
}

SniWatcher::~SniWatcher() {
    m_connection->leaveEventLoop();
    m_object.reset();
}

std::vector<std::string> SniWatcher::items() const {
    std::lock_guard lock(m_mutex);
    return m_items;
}

SniItemClient::SniItemClient(const std::string& busAddress, const std::string& service)
    : m_proxy(sdbus::createProxy(sdbus::createSessionBusConnectionWithAddress(busAddress), service,
                                 "/StatusNotifierItem")) {}

SniItemClient::~SniItemClient() = default;

std::vector<QImage> SniItemClient::iconPixmaps() {
    using Pixmap = sdbus::Struct<int32_t, int32_t, std::vector<uint8_t>>;
    const auto pixmaps = callOffMainThread([this] {
        return m_proxy->getProperty("IconPixmap").onInterface(kItemInterface).get<std::vector<Pixmap>>();
    });
    std::vector<QImage> images;
    for (const auto& pixmap : pixmaps) {
        const int32_t width = pixmap.get<0>();
        const int32_t height = pixmap.get<1>();
        const auto& bytes = pixmap.get<2>();
        if (width <= 0 || height <= 0 || bytes.size() != static_cast<size_t>(width) * height * 4)
            continue;
        QImage image(width, height, QImage::Format_ARGB32);
        // Each pixel is A, R, G, B in that order (network byte order).
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const size_t i = (static_cast<size_t>(y) * width + x) * 4;
                image.setPixel(x, y, qRgba(bytes[i + 1], bytes[i + 2], bytes[i + 3], bytes[i]));
            }
        images.push_back(image);
    }
    return images;
}

QImage SniItemClient::iconPixmap(int side) {
    for (auto& image : iconPixmaps())
        if (image.width() == side)
            return image;
    return {};
}

std::string SniItemClient::toolTipTitle() {
    using ToolTip = sdbus::Struct<std::string, std::vector<sdbus::Struct<int32_t, int32_t, std::vector<uint8_t>>>,
                                  std::string, std::string>;
    return callOffMainThread([this] {
        return std::get<2>(m_proxy->getProperty("ToolTip").onInterface(kItemInterface).get<ToolTip>());
    });
}

std::string SniItemClient::iconName() {
    return callOffMainThread([this] {
        return m_proxy->getProperty("IconName").onInterface(kItemInterface).get<std::string>();
    });
}

void SniItemClient::activate(int x, int y) {
    callOffMainThread([&] { m_proxy->callMethod("Activate").onInterface(kItemInterface).withArguments(x, y); });
}

void SniItemClient::secondaryActivate(int x, int y) {
    callOffMainThread(
        [&] { m_proxy->callMethod("SecondaryActivate").onInterface(kItemInterface).withArguments(x, y); });
}

void SniItemClient::contextMenu(int x, int y) {
    callOffMainThread([&] { m_proxy->callMethod("ContextMenu").onInterface(kItemInterface).withArguments(x, y); });
}

std::vector<std::string> busNames(const std::string& busAddress) {
    auto proxy = sdbus::createProxy(sdbus::createSessionBusConnectionWithAddress(busAddress),
                                    "org.freedesktop.DBus", "/org/freedesktop/DBus");
    std::vector<std::string> names;
    proxy->callMethod("ListNames").onInterface("org.freedesktop.DBus").storeResultsTo(names);
    return names;
}

} // namespace sorvane::testing

// PortalBus: the session bus as the desktop portal's clients use it, on a
// thread of its own, and the portal's request pattern.
//
// One thread ("sorvane-portal") opens the connection, runs every task posted
// here, and dispatches every signal and response handler, one at a time: the
// clients' bus-side state needs no lock. Method calls made from that thread
// wait at most kCallTimeout. A bus that never answers holds that thread only,
// never the poster; such a thread is left behind when the owner goes (it holds
// its own share of this object).
//
// A portal request returns the path of a Request object at once and gives its
// result later as that object's Response signal: a code (0 success, 1 the user
// cancelled, 2 anything else) and a dictionary of results. request() listens at
// the path the portal will use (built from the handle_token it passes and this
// connection's unique name) before calling, so no answer can come too early.
//
// Thread-safety: post() and stop() from any thread. Everything else, and every
// handler given here, runs on the portal thread only.
#pragma once

#include "base/ThreadSafety.h"
#include "base/WakeupFd.h"
#include "ports/MainQueue.h"

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace sorvane {

// The way back from the portal thread to the main queue, cut when its owner
// goes: a task posted after cut() is dropped.
class MainQueueLink {
public:
    explicit MainQueueLink(MainQueue& queue) : m_queue(&queue) {}

    // Posts `task` to the main queue unless the link is cut.
    void toMain(std::function<void()> task) SORVANE_EXCLUDES(m_mutex) {
        MutexLock lock(m_mutex);
        if (m_queue)
            m_queue->post(std::move(task));
    }
    void cut() SORVANE_EXCLUDES(m_mutex) {
        MutexLock lock(m_mutex);
        m_queue = nullptr;
    }

private:
    Mutex m_mutex;
    MainQueue* m_queue SORVANE_GUARDED_BY(m_mutex);
};

class PortalBus : public std::enable_shared_from_this<PortalBus> {
public:
    static constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
    static constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
    static constexpr std::chrono::seconds kCallTimeout{5};

    using Options = std::map<std::string, sdbus::Variant>;

    // The outcome of one request.
    struct Response {
        static constexpr uint32_t kSuccess = 0;
        static constexpr uint32_t kCancelled = 1;
        static constexpr uint32_t kOther = 2;
        uint32_t code = kOther;
        Options results;
        // When the call itself failed (no portal, no such interface): the D-Bus
        // error's name and message; the code is then kOther.
        std::string errorName;
        std::string errorMessage;
    };

    // Starts the thread; `threadName` labels it. The connection is opened there.
    static std::shared_ptr<PortalBus> start(std::string threadName = "sorvane-portal");
    ~PortalBus();
    PortalBus(const PortalBus&) = delete;
    PortalBus& operator=(const PortalBus&) = delete;

    // True when a session bus is named in the environment (DBUS_SESSION_BUS_ADDRESS
    // or $XDG_RUNTIME_DIR/bus); says nothing of whether it answers.
    static bool sessionBusExists();

    // Runs `task` on the portal thread, after the connection was tried. Dropped
    // after stop().
    void post(std::function<void()> task) SORVANE_EXCLUDES(m_mutex);
    // Ends the thread's loop; queued tasks are dropped, no handler runs once the
    // thread has seen it. Idempotent.
    void stop() SORVANE_EXCLUDES(m_mutex);

    // Portal thread only from here on.

    // The connection; null when there is no session bus (logged once).
    sdbus::IConnection* connection() { return m_connection.get(); }
    // The portal's object.
    sdbus::IProxy& portal() { return *m_portal; }

    // The `version` property of `interface` on the portal. Absent when the
    // portal lacks the interface or does not answer; `error` then says why
    // (the D-Bus error's name, then its message).
    std::optional<uint32_t> interfaceVersion(const std::string& interface, std::string& error);

    // Calls `method` of `interface` on the portal: `writeArguments` writes the
    // arguments before the options, which get a fresh handle_token. `done`
    // gets the Response, or a failed call as code kOther with its error.
    void request(const std::string& interface, const std::string& method,
                 const std::function<void(sdbus::MethodCall&)>& writeArguments, Options options,
                 std::function<void(Response)> done);

    // Runs `handler` for each `member` signal of `interface` that the portal
    // emits from `path` (default its own object) until the slot is dropped.
    [[nodiscard]] sdbus::Slot watchSignal(const std::string& interface, const std::string& member,
                                          sdbus::message_handler handler, const std::string& path = kPortalPath);

    // A token for a handle or session path element, unique in this process.
    std::string newToken();
    // Closes a portal session (org.freedesktop.portal.Session.Close) without
    // waiting for it; nothing when `sessionHandle` is empty.
    void closeSession(const std::string& sessionHandle);

    // The path of the Request object the portal makes for `token` on this
    // connection: /org/freedesktop/portal/desktop/request/SENDER/TOKEN, where
    // SENDER is the unique name without its ':' and with '.' as '_'.
    static std::string requestPath(const std::string& uniqueName, const std::string& token);

private:
    explicit PortalBus(std::string threadName);
    void run() SORVANE_EXCLUDES(m_mutex);
    void runTasks() SORVANE_EXCLUDES(m_mutex);
    void listen(const std::string& path, std::function<void(Response)> done);

    const std::string m_threadName;
    WakeupFd m_wakeup;
    Mutex m_mutex;
    std::deque<std::function<void()>> m_tasks SORVANE_GUARDED_BY(m_mutex);
    bool m_stopped SORVANE_GUARDED_BY(m_mutex) = false;

    // The portal thread's own.
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IProxy> m_portal;
    std::string m_uniqueName;
    uint64_t m_nextToken = 0;
    struct Waiting {
        sdbus::Slot match;
        std::function<void(Response)> done;
    };
    // Requests waiting for their Response, by Request path.
    std::map<std::string, Waiting> m_waiting;
};

} // namespace sorvane

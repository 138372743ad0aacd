// logind's inhibitor and sleep signal on the system bus the test exports
// (DBUS_SYSTEM_BUS_ADDRESS), for the power monitor.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sorvane::testing {

// Plays logind: hands out a pipe's write end as the inhibitor and keeps the read
// end, which reads EOF once every copy of the inhibitor is closed.
class FakeLogind {
public:
    static constexpr const char* kManager = "org.freedesktop.login1.Manager";

    FakeLogind() {
        m_connection = sdbus::createSystemBusConnection("org.freedesktop.login1");
        m_object = sdbus::createObject(*m_connection, "/org/freedesktop/login1");
        m_object->registerMethod("Inhibit")
            .onInterface(kManager)
            .implementedAs([this](const std::string& what, const std::string& who,
                                  const std::string& why, const std::string& mode) {
                int p[2];
                if (pipe(p) != 0)
                    throw sdbus::Error("org.freedesktop.DBus.Error.Failed", "pipe");
                std::lock_guard lock(m_mutex);
                m_calls.push_back({what, who, why, mode, p[0]});
                m_cv.notify_all();
                return sdbus::UnixFd(p[1], sdbus::adopt_fd);
            });
        m_object->registerSignal("PrepareForSleep").onInterface(kManager).withParameters<bool>();
        m_object->finishRegistration();
        m_connection->enterEventLoopAsync();
    }
    ~FakeLogind() {
        m_connection->leaveEventLoop();
        for (auto& c : m_calls)
            close(c.readEnd);
    }

    struct Call {
        std::string what, who, why, mode;
        int readEnd;
    };
    bool waitForCalls(size_t n) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(5), [&] { return m_calls.size() >= n; });
    }
    Call call(size_t i) {
        std::lock_guard lock(m_mutex);
        return m_calls.at(i);
    }
    void prepareForSleep(bool sleeping) {
        m_object->emitSignal("PrepareForSleep").onInterface(kManager).withArguments(sleeping);
    }

private:
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IObject> m_object;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Call> m_calls;
};

} // namespace sorvane::testing

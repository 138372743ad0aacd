#include "adapters/linux/system/LogindPowerMonitor.h"

#include "base/Log.h"

#include <sdbus-c++/sdbus-c++.h>

namespace sorvane {
namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";

} // namespace

// State the D-Bus thread and release functions share; outlives the monitor when
// a release function is still held somewhere.
struct LogindPowerMonitor::Shared {
    std::mutex mutex;
    sdbus::UnixFd inhibitor; // guarded by mutex
    uint64_t generation = 0; // guarded by mutex; bumps with every new inhibitor
    std::function<void(ReleaseSleep)> willSleep;
    std::function<void()> didWake;
};

LogindPowerMonitor::LogindPowerMonitor() : m_shared(std::make_shared<Shared>()) {}

LogindPowerMonitor::~LogindPowerMonitor() { stop(); }

void LogindPowerMonitor::start(std::function<void(ReleaseSleep)> willSleep,
                               std::function<void()> didWake) {
    if (m_connection)
        return;
    m_shared->willSleep = std::move(willSleep);
    m_shared->didWake = std::move(didWake);
    try {
        m_connection = sdbus::createSystemBusConnection();
        m_proxy = sdbus::createProxy(*m_connection, kService, kPath);
        m_proxy->uponSignal("PrepareForSleep").onInterface(kManager).call([this](bool sleeping) {
            onPrepareForSleep(sleeping);
        });
        m_proxy->finishRegistration();
        m_loop.start(*m_connection, "the system bus (logind)");
    } catch (const sdbus::Error& e) {
        logLine("Sorvane: sleep/wake notifications unavailable: " + e.getMessage());
        m_proxy.reset();
        m_connection.reset();
        return;
    }
    takeInhibitor();
}

void LogindPowerMonitor::stop() {
    if (!m_connection)
        return;
    m_loop.stop();
    m_proxy.reset();
    m_connection.reset();
    std::lock_guard lock(m_shared->mutex);
    m_shared->inhibitor = sdbus::UnixFd();
}

void LogindPowerMonitor::takeInhibitor() {
    std::weak_ptr<Shared> weak = m_shared;
    try {
        m_proxy->callMethodAsync("Inhibit")
            .onInterface(kManager)
            .withArguments(std::string("sleep"), std::string("Sorvane"),
                           std::string("Tell the paired phone goodbye"), std::string("delay"))
            .uponReplyInvoke([weak](const sdbus::Error* error, sdbus::UnixFd fd) {
                if (error) {
                    logLine("Sorvane: sleep inhibitor refused: " + error->getMessage());
                    return;
                }
                if (auto shared = weak.lock()) {
                    std::lock_guard lock(shared->mutex);
                    shared->inhibitor = std::move(fd);
                    ++shared->generation;
                }
            });
    } catch (const sdbus::Error& e) {
        logLine("Sorvane: sleep inhibitor refused: " + e.getMessage());
    }
}

void LogindPowerMonitor::onPrepareForSleep(bool sleeping) {
    if (!sleeping) {
        takeInhibitor();
        if (m_shared->didWake)
            m_shared->didWake();
        return;
    }
    uint64_t generation;
    {
        std::lock_guard lock(m_shared->mutex);
        generation = m_shared->generation;
    }
    std::weak_ptr<Shared> weak = m_shared;
    // Releasing closes the inhibitor we held when this sleep began; a newer one
    // (taken after a wake that raced ahead) is left alone.
    ReleaseSleep release = [weak, generation] {
        if (auto shared = weak.lock()) {
            std::lock_guard lock(shared->mutex);
            if (shared->generation == generation)
                shared->inhibitor = sdbus::UnixFd();
        }
    };
    if (m_shared->willSleep)
        m_shared->willSleep(std::move(release));
    else
        release();
}

} // namespace sorvane

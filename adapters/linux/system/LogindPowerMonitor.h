// PowerMonitor on systemd-logind (org.freedesktop.login1 on the system bus).
//
// Holds a "delay" sleep inhibitor while running, so that logind waits for the
// willSleep handler to release it before the system sleeps; takes a new one after
// every wake. Where logind or the system bus is missing it logs one line and
// reports nothing. Thread-safety: see PowerMonitor; D-Bus traffic runs on the
// monitor's own event-loop thread.
#pragma once

#include "adapters/linux/dbus/BusLoop.h"
#include "ports/PowerMonitor.h"

#include <memory>
#include <mutex>

namespace sdbus {
class IConnection;
class IProxy;
} // namespace sdbus

namespace sorvane {

class LogindPowerMonitor final : public PowerMonitor {
public:
    LogindPowerMonitor();
    ~LogindPowerMonitor() override;

    void start(std::function<void(ReleaseSleep)> willSleep, std::function<void()> didWake) override;
    void stop() override;

private:
    struct Shared;
    void takeInhibitor();
    void onPrepareForSleep(bool sleeping);

    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IProxy> m_proxy;
    BusLoop m_loop;
};

} // namespace sorvane

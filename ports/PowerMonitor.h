// Reports system sleep and wake.
//
// Thread-safety: start() and stop() are called from the main thread. The
// callbacks run on the adapter's own thread, one at a time and in order; callers
// hop to the main thread themselves. The release function handed to willSleep is
// thread-safe and may be called once from any thread (later calls do nothing).
#pragma once

#include <functional>

namespace sorvane {

class PowerMonitor {
public:
    // Lets the system go to sleep. Until it is called (or the monitor stops), the
    // system postpones sleep within the limit it grants to applications.
    using ReleaseSleep = std::function<void()>;

    virtual ~PowerMonitor() = default;

    virtual void start(std::function<void(ReleaseSleep)> willSleep,
                       std::function<void()> didWake) = 0;
    virtual void stop() = 0;
};

} // namespace sorvane

// Clocks that move only when the test moves them. Readable from any thread;
// the clock must outlive every copy of fn().
#pragma once

#include "base/Clock.h"

#include <atomic>
#include <chrono>
#include <functional>

namespace sorvane::testing {

template <class C> class BasicManualClock {
public:
    using time_point = typename C::time_point;

    explicit BasicManualClock(time_point start = time_point(std::chrono::hours(1)))
        : m_now(start.time_since_epoch().count()) {}

    std::function<time_point()> fn() {
        return [this] { return now(); };
    }
    time_point now() const { return time_point(typename C::duration(m_now.load())); }
    void advance(typename C::duration d) { m_now += d.count(); }

private:
    std::atomic<typename C::rep> m_now;
};

using ManualClock = BasicManualClock<std::chrono::steady_clock>;     // a SteadyClock
using ManualWallClock = BasicManualClock<std::chrono::system_clock>; // a WallClock

} // namespace sorvane::testing

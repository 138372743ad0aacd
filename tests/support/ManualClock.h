// A steady clock that moves only when the test moves it. Readable from any
// thread; the clock must outlive every copy of fn().
#pragma once

#include "base/Clock.h"

#include <atomic>
#include <chrono>

namespace sorvane::testing {

class ManualClock {
public:
    using time_point = std::chrono::steady_clock::time_point;

    explicit ManualClock(time_point start = time_point(std::chrono::hours(1)))
        : m_now(start.time_since_epoch().count()) {}

    SteadyClock fn() {
        return [this] { return now(); };
    }
    time_point now() const { return time_point(std::chrono::steady_clock::duration(m_now.load())); }
    void advance(std::chrono::steady_clock::duration d) { m_now += d.count(); }

private:
    std::atomic<std::chrono::steady_clock::rep> m_now;
};

} // namespace sorvane::testing

// Injectable clocks. Production code takes one of these in its constructor so that
// tests can drive time by hand instead of sleeping.
#pragma once

#include <chrono>
#include <functional>

namespace sorvane {

// Monotonic time, for ages and cool-downs.
using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
// Calendar time, for timestamps and the pairing code's minute window.
using WallClock = std::function<std::chrono::system_clock::time_point()>;

inline SteadyClock systemSteadyClock() {
    return [] { return std::chrono::steady_clock::now(); };
}
inline WallClock systemWallClock() {
    return [] { return std::chrono::system_clock::now(); };
}

} // namespace sorvane

// Injectable clocks. Production code takes one of these in its constructor so that
// tests can drive time by hand instead of sleeping.
#pragma once

#include <chrono>
#include <cstdint>
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

// Milliseconds since 1970 as stored in files: the time in seconds as a double,
// times 1000, truncated. Times before 1970 read as 0, never as a wrapped value.
uint64_t millisecondsSince1970(std::chrono::system_clock::time_point time);

} // namespace sorvane

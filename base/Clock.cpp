#include "base/Clock.h"

#include <limits>

namespace sorvane {

uint64_t millisecondsSince1970(std::chrono::system_clock::time_point time) {
    const double seconds = std::chrono::duration<double>(time.time_since_epoch()).count();
    const double ms = seconds * 1000.0;
    if (!(ms > 0.0))
        return 0; // before 1970, or NaN
    if (ms >= 18446744073709551616.0)
        return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(ms);
}

} // namespace sorvane

// The pairing window's rotating code: the six digits of the current Unix minute
// for the desktop's identity key and the seconds until they change (60 at the
// start of a minute, 1 in its last second).
//
// Thread-safety: not thread-safe; one owner (the pairing window, main thread).
#pragma once

#include "base/Clock.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

namespace sorvane {

class PairingCountdown {
public:
    // Starts with the code and countdown of the clock's current time.
    PairingCountdown(const std::array<uint8_t, 32>& identityPub,
                     WallClock clock = systemWallClock());

    // Recomputes the code and the seconds left from the clock.
    void refresh();
    // One second has passed: updates the seconds left, and the code whenever
    // the clock's minute is no longer the code's (a minute boundary, also one
    // crossed between two ticks or by a clock that jumped). True when it
    // recomputed the code for a new minute.
    bool tick();

    // Six digits; empty when the key cannot be used.
    const std::string& code() const { return m_code; }
    // 1...60.
    int secondsLeft() const { return m_secondsLeft; }
    // "Refreshes in 42s".
    std::string countdownText() const;
    // How long until the clock reaches its next whole second (1...1000 ms), so
    // that ticks land just after the countdown changes.
    std::chrono::milliseconds untilNextSecond() const;

private:
    std::array<uint8_t, 32> m_identityPub;
    WallClock m_clock;
    std::string m_code;
    int m_secondsLeft = 60;
    int64_t m_codeMinute = 0;
};

} // namespace sorvane

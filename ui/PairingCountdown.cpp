#include "ui/PairingCountdown.h"

#include "base/Log.h"
#include "protocol/CryptoPrimitives.h"
#include "protocol/PairingHandshake.h"

#include <exception>

namespace sorvane {

namespace {

// Whole Unix seconds of `now`, rounded down (also before 1970), so that the
// minute and the seconds within it never disagree.
int64_t wholeSeconds(std::chrono::system_clock::time_point now) {
    return std::chrono::floor<std::chrono::seconds>(now.time_since_epoch()).count();
}

int64_t minuteOf(int64_t t) {
    return t >= 0 ? t / 60 : (t - 59) / 60;
}

int secondsLeftIn(int64_t t) {
    return static_cast<int>(60 - (t - minuteOf(t) * 60));
}

} // namespace

PairingCountdown::PairingCountdown(const std::array<uint8_t, 32>& identityPub, WallClock clock)
    : m_identityPub(identityPub), m_clock(std::move(clock)) {
    refresh();
}

void PairingCountdown::refresh() {
    // One reading of the clock for both, so that the code and the countdown
    // always describe the same minute.
    const auto now = m_clock();
    const int64_t t = wholeSeconds(now);
    m_secondsLeft = secondsLeftIn(t);
    m_codeMinute = minuteOf(t);
    try {
        const auto key = crypto::Ed25519PublicKey::fromRaw(m_identityPub);
        m_code = derivePairingCode(key, 0, [now] { return now; });
    } catch (const std::exception& e) {
        logLine(std::string("Sorvane: no pairing code \u2014 ") + e.what());
        m_code.clear();
    }
}

bool PairingCountdown::tick() {
    const int64_t t = wholeSeconds(m_clock());
    if (minuteOf(t) == m_codeMinute) {
        m_secondsLeft = secondsLeftIn(t);
        return false;
    }
    refresh();
    return true;
}

std::string PairingCountdown::countdownText() const {
    return "Refreshes in " + std::to_string(m_secondsLeft) + "s";
}

std::chrono::milliseconds PairingCountdown::untilNextSecond() const {
    using namespace std::chrono;
    const auto since = m_clock().time_since_epoch();
    const auto intoSecond = duration_cast<milliseconds>(since - floor<seconds>(since));
    return milliseconds(1000) - intoSecond;
}

} // namespace sorvane

// The pairing window's rotating code and countdown, driven by a hand-set wall
// clock: which code belongs to which instant, and when it changes.
#include "ui/PairingCountdown.h"
#include "protocol/CryptoPrimitives.h"
#include "protocol/PairingHandshake.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

namespace sorvane {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

class PairingCountdownTest : public ::testing::Test {
protected:
    // The start of a Unix minute in late 2026.
    const system_clock::time_point minuteStart{seconds(29'933'333LL * 60)};
    const crypto::Ed25519PrivateKey identity = crypto::Ed25519PrivateKey::generate();
    system_clock::time_point now = minuteStart;

    WallClock clock() {
        return [this] { return now; };
    }
    const std::array<uint8_t, 32>& key() const { return identity.publicKey().raw(); }
    // The code for the minute that contains `at`, straight from the handshake's derivation.
    std::string codeAt(system_clock::time_point at) const {
        return derivePairingCode(identity.publicKey(), 0, [at] { return at; });
    }
};

// Opened in the last half second, then the minute turns. A timer can fire
// late: the tick that would have seen hh:mm:00 may only come at hh:mm:01, or the
// clock may be set while the window is open. The code must still be the one of
// the minute on the clock.
TEST_F(PairingCountdownTest, FollowsTheMinuteOnTheClockAcrossTurnsMissedTicksAndJumps) {
    now = minuteStart + 59s + 500ms;
    PairingCountdown countdown(key(), clock());
    EXPECT_EQ(countdown.code(), codeAt(minuteStart));
    EXPECT_EQ(countdown.secondsLeft(), 1);
    EXPECT_EQ(countdown.countdownText(), "Refreshes in 1s");
    EXPECT_EQ(countdown.untilNextSecond(), 500ms);

    struct Step {
        system_clock::time_point at;
        int secondsLeft;
        milliseconds untilNextSecond;
    };
    const Step steps[] = {
        {minuteStart + 60s, 60, 1000ms},         // hh:mm:00.0 of the next minute
        {minuteStart + 121s + 100ms, 59, 900ms}, // no tick during hh:mm:00
        {minuteStart - 3min + 30s, 30, 1000ms},  // the clock was set back
        {minuteStart + 2h + 10s, 50, 1000ms},    // and forward, past several minutes
    };
    for (const Step& step : steps) {
        const std::string before = countdown.code();
        now = step.at;
        EXPECT_TRUE(countdown.tick()) << step.secondsLeft;
        EXPECT_EQ(countdown.code(), codeAt(now));
        EXPECT_NE(countdown.code(), before);
        EXPECT_EQ(countdown.secondsLeft(), step.secondsLeft);
        EXPECT_EQ(countdown.countdownText(),
                  "Refreshes in " + std::to_string(step.secondsLeft) + "s");
        EXPECT_EQ(countdown.untilNextSecond(), step.untilNextSecond);
    }

    // refresh() reads the clock again even inside the same minute.
    now += 5s;
    countdown.refresh();
    EXPECT_EQ(countdown.code(), codeAt(now));
    EXPECT_EQ(countdown.secondsLeft(), 45);
}

TEST_F(PairingCountdownTest, CountsDownFromSixtyToOneWithOneCodePerMinute) {
    now = minuteStart;
    PairingCountdown countdown(key(), clock());
    std::set<std::string> codes;
    for (int second = 0; second < 60; ++second) {
        now = minuteStart + seconds(second) + 999ms;
        EXPECT_FALSE(countdown.tick()) << second;
        EXPECT_EQ(countdown.secondsLeft(), 60 - second);
        EXPECT_EQ(countdown.countdownText(), "Refreshes in " + std::to_string(60 - second) + "s");
        codes.insert(countdown.code());
    }
    EXPECT_EQ(codes, std::set<std::string>{codeAt(minuteStart)});
    EXPECT_EQ(countdown.code().size(), 6u);
}

} // namespace
} // namespace sorvane

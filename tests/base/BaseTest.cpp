// The shared helpers: what must hold whatever the locale, the edges of the UTF-8
// rules, and the wake-up descriptor the stream threads poll.
#include "base/Clock.h"
#include "base/Liveness.h"
#include "base/Text.h"
#include "base/Utf8.h"
#include "base/WakeupFd.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <clocale>
#include <functional>
#include <string>

namespace sorvane {
namespace {

bool readable(const WakeupFd& wake) {
    pollfd p{wake.fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TEST(Text, NumbersAndCaseIgnoreTheProcessLocale) {
    // The toolkit adopts the desktop's locale; log lines and UUID comparisons
    // must read the same under a decimal-comma or Turkish locale.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous ? previous : "C";
    for (const char* name : {"de_DE.UTF-8", "tr_TR.UTF-8", "C"}) {
        ASSERT_NE(std::setlocale(LC_ALL, name), nullptr) << name << " (package locales-all)";
        EXPECT_EQ(formatFixed(0.5, 2), "0.50") << name;
        EXPECT_EQ(formatFixed(12.345, 1), "12.3") << name;
        EXPECT_EQ(asciiLowercase("6E70C001-ABCDEF-I"), "6e70c001-abcdef-i") << name;
        EXPECT_EQ(asciiUppercase("i\xC3\xA4"), "I\xC3\xA4") << name; // bytes past ASCII untouched
        EXPECT_TRUE(equalsIgnoringAsciiCase("AbC-1", "aBc-1")) << name;
        EXPECT_FALSE(equalsIgnoringAsciiCase("abc", "abcd")) << name;
    }
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(hexByte(0x0f), "0f");
    EXPECT_EQ(hexByte(0xa0), "a0");
}

TEST(Utf8, ReplacesEachIllFormedPartOnce) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain ascii that is longer than eight bytes", "plain ascii that is longer than eight bytes"},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},                  // bad lead byte
        {"a\xE2\x82" "b", "a\xEF\xBF\xBD" "b"},              // cut short, next byte read again
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // surrogate: lead, then two strays
        {"end\xF0\x9F\x98", "end\xEF\xBF\xBD"},             // truncated at the end
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},            // overlong
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toValidUtf8(c.in), c.out) << c.in;
        EXPECT_EQ(isValidUtf8(c.in), c.in == c.out) << c.in;
        EXPECT_TRUE(isValidUtf8(toValidUtf8(c.in))) << c.in;
    }
}

TEST(Clock, MillisecondsBefore1970ReadAsZero) {
    using namespace std::chrono;
    EXPECT_EQ(millisecondsSince1970(system_clock::time_point(milliseconds(1700000000123))), 1700000000123u);
    EXPECT_EQ(millisecondsSince1970(system_clock::time_point(-seconds(5))), 0u);
}

TEST(WakeupFd, ReadableFromNotifyUntilDrained) {
    WakeupFd wake;
    ASSERT_TRUE(wake.valid());
    EXPECT_FALSE(readable(wake));
    for (int i = 0; i < 100000; ++i) // a full pipe must neither block nor fail
        wake.notify();
    EXPECT_TRUE(readable(wake));
    wake.drain();
    EXPECT_FALSE(readable(wake));
}

TEST(Liveness, WatchesOutliveTheirOwner) {
    std::function<bool()> later;
    {
        Liveness owner;
        later = [watch = owner.watch()] { return watch.alive(); };
        EXPECT_TRUE(later());
        owner.end();
        EXPECT_FALSE(later());
    }
    EXPECT_FALSE(later());
}

} // namespace
} // namespace sorvane

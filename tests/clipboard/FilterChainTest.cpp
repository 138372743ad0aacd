// The watcher's filter chain over a scripted clipboard, one poll pass at a
// time, with a clock the test moves by hand. The same chain against a real X
// server is in X11PasteboardTest.cpp.
#include "clipboard/SorvanePasteboardWatcher.h"
#include "protocol/PairingHandshake.h"
#include "testing/test-env/DecimalCommaLocale.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/ManualClock.h"
#include "testing/test-env/Threads.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace sorvane {
namespace {

using namespace std::chrono_literals;
using testing::DecimalCommaLocale;
using testing::LogCapture;
using testing::ManualClock;
using testing::threadsNamed;

// A clipboard whose contents the test sets; every copy moves the counter.
class ScriptedPasteboard final : public Pasteboard {
public:
    struct Item {
        std::vector<std::string> types;
        std::optional<std::string> text;
    };

    void copy(Item item) {
        std::lock_guard lock(m_mutex);
        m_item = std::move(item);
        ++m_count;
    }
    void copyText(const std::string& text) { copy({{"UTF8_STRING"}, text}); }
    void setFront(std::optional<std::string> id) {
        std::lock_guard lock(m_mutex);
        m_front = std::move(id);
    }
    std::vector<std::string> writes() {
        std::lock_guard lock(m_mutex);
        return m_writes;
    }

    int64_t changeCount() override {
        std::lock_guard lock(m_mutex);
        return m_count;
    }
    std::vector<std::string> types() override {
        std::lock_guard lock(m_mutex);
        return m_item.types;
    }
    std::optional<std::string> string() override {
        std::lock_guard lock(m_mutex);
        return m_item.text;
    }
    void writeString(const std::string& text) override {
        copy({{"UTF8_STRING"}, text});
        std::lock_guard lock(m_mutex);
        m_writes.push_back(text);
    }
    std::optional<std::string> frontmostApplicationID() override {
        std::lock_guard lock(m_mutex);
        return m_front;
    }

private:
    std::mutex m_mutex;
    Item m_item;
    int64_t m_count = 0;
    std::optional<std::string> m_front;
    std::vector<std::string> m_writes;
};

class FilterChainTest : public ::testing::Test {
protected:
    FilterChainTest() {
        auto pasteboard = std::make_unique<ScriptedPasteboard>();
        board = pasteboard.get();
        board->copyText("already there");
        watcher = std::make_unique<SorvanePasteboardWatcher>(std::move(pasteboard), clock.fn());
        watcher->setOnChange([this](const std::string& text, const std::string& hash) {
            EXPECT_EQ(hash, sha256ShortHex(text));
            reported.push_back(text);
        });
    }

    // Copies and runs one poll pass; returns what was reported by it.
    std::vector<std::string> copy(ScriptedPasteboard::Item item) {
        board->copy(std::move(item));
        return pass();
    }
    std::vector<std::string> copyText(const std::string& text) {
        return copy({{"UTF8_STRING"}, text});
    }
    std::vector<std::string> pass() {
        reported.clear();
        watcher->pollOnce();
        return reported;
    }
    using Texts = std::vector<std::string>;

    LogCapture log;
    ManualClock clock;
    ScriptedPasteboard* board = nullptr;
    std::unique_ptr<SorvanePasteboardWatcher> watcher;
    std::vector<std::string> reported;
};

TEST_F(FilterChainTest, ContentPresentAtConstructionIsNotReportedUntilCopiedAgain) {
    EXPECT_EQ(pass(), Texts{});
    EXPECT_EQ(pass(), Texts{});
    EXPECT_EQ(copyText("already there"), Texts{"already there"});
}

TEST_F(FilterChainTest, DuplicatesAlternationEmptyTextAndNonText) {
    EXPECT_EQ(copyText("A"), Texts{"A"});
    EXPECT_EQ(copyText("A"), Texts{});
    EXPECT_EQ(copyText("B"), Texts{"B"});
    EXPECT_EQ(copyText("A"), Texts{"A"});
    EXPECT_EQ(copyText(""), Texts{});
    EXPECT_EQ(copy({{"image/png"}, std::nullopt}), Texts{});
    EXPECT_EQ(copy({{}, std::nullopt}), Texts{});
    // None of those touched the last hash: A is still the last text.
    EXPECT_EQ(copyText("A"), Texts{});
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

TEST_F(FilterChainTest, SeveralCopiesBetweenPollsAreOneChangeWithTheNewestContent) {
    board->copyText("first");
    board->copyText("second");
    EXPECT_EQ(pass(), Texts{"second"});
}

TEST_F(FilterChainTest, EveryExactMarkerIsIgnoredAndSwallowsTheNextChange) {
    for (const std::string& marker : SorvanePasteboardWatcher::transientTypes()) {
        SCOPED_TRACE(marker);
        log.clear();
        EXPECT_EQ(copy({{"UTF8_STRING", marker}, "secret " + marker}), Texts{});
        EXPECT_TRUE(log.contains("[SorvanePB] ignored \u2014 exact match: " + marker));
        clock.advance(500ms);
        EXPECT_EQ(copyText("restored " + marker), Texts{});
        EXPECT_TRUE(log.contains("[SorvanePB] ignored \u2014 transient grace window (0.50s)"));
        // Only one change is swallowed.
        EXPECT_EQ(copyText("next " + marker), Texts{"next " + marker});
    }
    EXPECT_EQ(SorvanePasteboardWatcher::transientTypes().size(), 8u);
}

TEST_F(FilterChainTest, MarkersMatchExactlyAndHeuristicsCaseInsensitivelyWithoutGrace) {
    struct Case {
        std::string type;
        std::string needle;
    };
    const Case cases[] = {
        {"org.nspasteboard.concealedtype", "concealed"}, // not the exact, case-sensitive marker
        {"x-kde-PasswordManagerHint", "password"}, // the exact marker is x-kde-passwordManagerHint
        {"com.Example.PASSWORD", "password"},
        {"application/x-Sensitive-Password", "sensitive"}, // first substring in test order wins
        {"public.AutoExpiring", "autoexpir"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        log.clear();
        EXPECT_EQ(copy({{"UTF8_STRING", c.type}, "hidden " + c.type}), Texts{});
        EXPECT_EQ(log.lines(), std::vector<std::string>{"[SorvanePB] ignored \u2014 heuristic '" +
                                                        c.needle + "' in: " + c.type});
        EXPECT_EQ(copyText("visible " + c.type), Texts{"visible " + c.type});
    }
}

TEST_F(FilterChainTest, TypesAreScannedInTheOrderTheOwnerListsThem) {
    // The heuristic fires first here, so no grace window is opened...
    EXPECT_EQ(
        copy({{"text/plain", "com.example.password", "org.nspasteboard.ConcealedType"}, "pw"}),
        Texts{});
    EXPECT_TRUE(log.contains("heuristic 'password'"));
    EXPECT_EQ(copyText("after heuristic"), Texts{"after heuristic"});
    // ...and here the exact marker does, so one is.
    EXPECT_EQ(copy({{"org.nspasteboard.ConcealedType", "com.example.password"}, "pw"}),
              Texts{});
    EXPECT_EQ(copyText("restored"), Texts{});
}

TEST_F(FilterChainTest, GraceWindowEndsAtTwoSeconds) {
    EXPECT_EQ(copy({{"org.nspasteboard.TransientType"}, "t1"}), Texts{});
    clock.advance(1990ms);
    EXPECT_EQ(copyText("inside"), Texts{});
    EXPECT_TRUE(log.contains("transient grace window (1.99s)"));

    EXPECT_EQ(copy({{"org.nspasteboard.TransientType"}, "t2"}), Texts{});
    clock.advance(2000ms);
    EXPECT_EQ(copyText("at two seconds"), Texts{"at two seconds"});
    // The stale time no longer matters, however the clock moves.
    clock.advance(10ms);
    EXPECT_EQ(copyText("later"), Texts{"later"});
    EXPECT_EQ(log.count("transient grace window"), 1u);
}

TEST_F(FilterChainTest, NumbersInLogLinesIgnoreTheDesktopLocale) {
    DecimalCommaLocale german;
    if (!german.active())
        GTEST_SKIP() << "no decimal-comma locale available (localedef with de_DE sources)";
    EXPECT_EQ(copy({{"org.nspasteboard.TransientType"}, "t"}), Texts{});
    clock.advance(500ms);
    EXPECT_EQ(copyText("restored"), Texts{});
    EXPECT_TRUE(log.contains("[SorvanePB] ignored \u2014 transient grace window (0.50s)"));
    EXPECT_FALSE(log.contains("0,50"));
}

TEST_F(FilterChainTest, PasswordManagersInFrontAreMatchedByWindowClassInAnyCase) {
    for (const std::string cls :
         {"KeePassXC", "keepassxc", "org.keepassxc.KeePassXC", "KeePass2", "Bitwarden", "1Password",
          "Proton Pass", "Enpass", "Seahorse", "QtPass"}) {
        SCOPED_TRACE(cls);
        board->setFront(cls);
        EXPECT_EQ(copyText("secret from " + cls), Texts{});
        EXPECT_TRUE(log.contains("[SorvanePB] ignored \u2014 sensitive frontmost: " + cls));
    }
    for (const std::string& cls : SorvanePasteboardWatcher::sensitiveWindowClasses()) {
        std::string upper = cls;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        board->setFront(upper);
        EXPECT_EQ(copyText("upper " + cls), Texts{}) << upper;
    }
    board->setFront("keepassxc-proxy-helper"); // whole names only
    EXPECT_EQ(copyText("nearby"), Texts{"nearby"});
}

TEST_F(FilterChainTest, SensitiveFrontApplicationLeavesTheLastHashAlone) {
    EXPECT_EQ(copyText("before"), Texts{"before"});
    for (const std::string& id : SorvanePasteboardWatcher::sensitiveBundleIDs()) {
        SCOPED_TRACE(id);
        board->setFront(id);
        EXPECT_EQ(copyText("dictated"), Texts{});
        EXPECT_TRUE(log.contains("[SorvanePB] ignored \u2014 sensitive frontmost: " + id));
    }
    board->setFront("org.example.editor");
    // Had a skipped copy set the last hash, this one would count as a repeat.
    EXPECT_EQ(copyText("dictated"), Texts{"dictated"});
    board->setFront("com.wispr.flow.helper"); // exact match only
    EXPECT_EQ(copyText("nearby"), Texts{"nearby"});
}

TEST_F(FilterChainTest, MarkersComeBeforeTheFrontApplicationAndTheGraceWindow) {
    board->setFront("com.wispr.flow");
    EXPECT_EQ(copy({{"org.bitwarden.password"}, "pw"}), Texts{});
    EXPECT_TRUE(log.contains("exact match: org.bitwarden.password"));
    EXPECT_EQ(copyText("x"), Texts{});
    EXPECT_TRUE(log.contains("transient grace window"));
    EXPECT_FALSE(log.contains("sensitive frontmost"));
}

TEST_F(FilterChainTest, OwnWriteIsSwallowedOnceAndTheSuppressionCleared) {
    const std::string received = "from the phone";
    watcher->setSuppressHash(sha256ShortHex(received));
    watcher->writeString(received);
    EXPECT_EQ(board->writes(), std::vector<std::string>{received});
    EXPECT_EQ(pass(), Texts{});
    EXPECT_EQ(watcher->suppressHash(), std::nullopt);
    // A local copy of another text, then of the received one, both go out.
    EXPECT_EQ(copyText("local"), Texts{"local"});
    EXPECT_EQ(copyText(received), Texts{received});
}

TEST_F(FilterChainTest, SuppressionOfTheLastTextWaitsForTheNextCopyOfIt) {
    EXPECT_EQ(copyText("T"), Texts{"T"});
    watcher->setSuppressHash(sha256ShortHex("T"));
    watcher->writeString("T");
    EXPECT_EQ(pass(), Texts{}); // a repeat: the suppression stays
    EXPECT_EQ(watcher->suppressHash(), sha256ShortHex("T"));
    EXPECT_EQ(copyText("U"), Texts{"U"});
    EXPECT_EQ(copyText("T"), Texts{}); // swallowed now
    EXPECT_EQ(watcher->suppressHash(), std::nullopt);
    EXPECT_EQ(copyText("U"), Texts{"U"});
    EXPECT_EQ(copyText("T"), Texts{"T"});
}

TEST(PasteboardWatcherLoop, StartsOneNamedLoopReportsOnItAndStops) {
    auto pasteboard = std::make_unique<ScriptedPasteboard>();
    ScriptedPasteboard* board = pasteboard.get();
    SorvanePasteboardWatcher watcher(std::move(pasteboard));

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> texts;
    std::string threadName;
    watcher.setOnChange([&](const std::string& text, const std::string&) {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        std::lock_guard lock(mutex);
        texts.push_back(text);
        threadName = name;
        cv.notify_all();
    });
    const std::string name = SorvanePasteboardWatcher::kPollThreadName;
    EXPECT_EQ(threadsNamed(name), 0);
    watcher.start();
    watcher.start();
    EXPECT_TRUE(watcher.running());
    EXPECT_EQ(threadsNamed(name), 1);

    board->copyText("hello");
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return !texts.empty(); }));
        EXPECT_EQ(texts, std::vector<std::string>{"hello"});
        EXPECT_EQ(threadName, name);
    }

    watcher.stop();
    EXPECT_FALSE(watcher.running());
    // Joined; the kernel may list the finished thread a moment longer.
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (threadsNamed(name) != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    EXPECT_EQ(threadsNamed(name), 0);

    // A stopped watcher starts again.
    watcher.start();
    EXPECT_EQ(threadsNamed(name), 1);
    board->copyText("again");
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return texts.size() == 2; }));
    EXPECT_EQ(texts.back(), "again");
}

} // namespace
} // namespace sorvane

// The watcher's filter chain over a scripted clipboard, one poll pass at a
// time, with a clock the test moves by hand. The same chain against a real X
// server is in X11PasteboardTest.cpp.
#include "base/Text.h"
#include "clipboard/SorvanePasteboardWatcher.h"
#include "protocol/PairingHandshake.h"
#include "support/Recorder.h"
#include "testing/test-env/DecimalCommaLocale.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/ManualClock.h"
#include "testing/test-env/Threads.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>

#include <mutex>
#include <thread>

namespace sorvane {
namespace {

using namespace std::chrono_literals;
using testing::DecimalCommaLocale;
using testing::LogCapture;
using testing::ManualClock;
using testing::Recorder;
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

TEST_F(FilterChainTest, APassReportsTheNewestCopyButNothingPresentAtConstruction) {
    EXPECT_EQ(pass(), Texts{});
    EXPECT_EQ(pass(), Texts{});
    EXPECT_EQ(copyText("already there"), Texts{"already there"});
    // Several copies between two passes are one change, with the newest content.
    board->copyText("first");
    board->copyText("second");
    EXPECT_EQ(pass(), Texts{"second"});
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

// Exact markers match case-sensitively and swallow the next change too, within
// a grace window; heuristics match any case and open no window.
TEST_F(FilterChainTest, MarkedCopiesAreIgnoredAndOnlyExactMarkersSwallowTheNextChange) {
    struct Case {
        std::string type;
        std::string why; // the log line between "ignored — " and the type
    };
    std::vector<Case> cases = {
        // Not the exact markers org.nspasteboard.ConcealedType, x-kde-passwordManagerHint.
        {"org.nspasteboard.concealedtype", "heuristic 'concealed' in: "},
        {"x-kde-PasswordManagerHint", "heuristic 'password' in: "},
        {"com.Example.PASSWORD", "heuristic 'password' in: "},
        {"application/x-Sensitive-Password", "heuristic 'sensitive' in: "}, // first in test order
        {"public.AutoExpiring", "heuristic 'autoexpir' in: "},
    };
    for (const std::string& marker : SorvanePasteboardWatcher::transientTypes())
        cases.push_back({marker, "exact match: "});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        log.clear();
        EXPECT_EQ(copy({{"UTF8_STRING", c.type}, "secret " + c.type}), Texts{});
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{"[SorvanePB] ignored \u2014 " + c.why + c.type});
        if (c.why.starts_with("exact")) {
            clock.advance(500ms);
            EXPECT_EQ(copyText("restored " + c.type), Texts{});
            EXPECT_TRUE(log.contains("[SorvanePB] ignored \u2014 transient grace window (0.50s)"));
        }
        // Only one change is swallowed.
        EXPECT_EQ(copyText("next " + c.type), Texts{"next " + c.type});
    }
    EXPECT_EQ(SorvanePasteboardWatcher::transientTypes().size(), 8u);
}

TEST_F(FilterChainTest, TypesAreScannedInTheOrderTheOwnerListsThem) {
    // The heuristic fires first here, so no grace window is opened...
    EXPECT_EQ(
        copy({{"text/plain", "com.example.password", "org.nspasteboard.ConcealedType"}, "pw"}),
        Texts{});
    EXPECT_TRUE(log.contains("heuristic 'password'"));
    EXPECT_EQ(copyText("after heuristic"), Texts{"after heuristic"});
    // ...and here the exact marker does, so one is.
    EXPECT_EQ(copy({{"org.nspasteboard.ConcealedType", "com.example.password"}, "pw"}), Texts{});
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

// Password managers are matched by window class in any letter case, dictation
// tools by exact id; a skipped copy leaves the last hash alone.
TEST_F(FilterChainTest, SensitiveFrontApplicationsAreSkippedAndLeaveTheLastHashAlone) {
    EXPECT_EQ(copyText("before"), Texts{"before"});
    std::vector<std::string> fronts = {"KeePassXC", "keepassxc",   "org.keepassxc.KeePassXC",
                                       "KeePass2",  "Bitwarden",   "1Password",
                                       "Enpass",    "Proton Pass", "Seahorse",
                                       "QtPass"};
    for (const std::string& cls : SorvanePasteboardWatcher::sensitiveWindowClasses())
        fronts.push_back(asciiUppercase(cls));
    for (const std::string& id : SorvanePasteboardWatcher::sensitiveBundleIDs())
        fronts.push_back(id);
    for (const std::string& front : fronts) {
        SCOPED_TRACE(front);
        board->setFront(front);
        EXPECT_EQ(copyText("dictated"), Texts{});
        EXPECT_TRUE(log.contains("[SorvanePB] ignored \u2014 sensitive frontmost: " + front));
    }
    board->setFront("org.example.editor");
    // Had a skipped copy set the last hash, this one would count as a repeat.
    EXPECT_EQ(copyText("dictated"), Texts{"dictated"});
    for (const std::string front : {"keepassxc-proxy-helper", "com.wispr.flow.helper"}) {
        board->setFront(front); // whole names only
        EXPECT_EQ(copyText("near " + front), Texts{"near " + front});
    }
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
    // Each report, with the name of the thread it came on.
    Recorder<std::pair<std::string, std::string>> reports;
    auto pasteboard = std::make_unique<ScriptedPasteboard>();
    ScriptedPasteboard* board = pasteboard.get();
    SorvanePasteboardWatcher watcher(std::move(pasteboard));
    watcher.setOnChange([&](const std::string& text, const std::string&) {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        reports.add({text, name});
    });
    const std::string name = SorvanePasteboardWatcher::kPollThreadName;
    EXPECT_EQ(threadsNamed(name), 0);
    watcher.start();
    watcher.start();
    EXPECT_TRUE(watcher.running());
    EXPECT_EQ(threadsNamed(name), 1);
    board->copyText("hello");
    ASSERT_TRUE(reports.waitForSize(1, 5s));

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
    ASSERT_TRUE(reports.waitForSize(2, 5s));
    EXPECT_EQ(reports.items(),
              (std::vector<std::pair<std::string, std::string>>{{"hello", name}, {"again", name}}));
}

} // namespace
} // namespace sorvane

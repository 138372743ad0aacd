// The watcher on a real Wayland compositor (sway headless; KDE's kwin_wayland
// --virtual as well where it is installed): copies made by wl-copy and by
// sorvane-wayland-test-client, our own writes read back by wl-paste, 20 MiB
// both ways, owners that never answer or stall, a reader that stops reading,
// the password manager's hint, and a compositor that goes away.
#include "adapters/linux/wayland/WaylandPasteboard.h"
#include "clipboard/PasteboardRig.h"
#include "testing/wayland-session/WaylandSession.h"

#include <map>
#include <thread>

namespace sorvane {
namespace {

using namespace std::chrono_literals;
using testing::bigText;
using testing::LogCapture;
using testing::WaylandSession;
using testing::WaylandSubprocess;
using wayland::WaylandPasteboard;
using Compositor = WaylandSession::Compositor;
using Texts = std::vector<std::string>;

const std::string kClient = SORVANE_WAYLAND_TEST_CLIENT;

// A running watcher on the session's clipboard.
struct Rig : testing::WatcherRig {
    explicit Rig(const WaylandSession& session, WaylandPasteboard::Options options = {})
        : WatcherRig(WaylandPasteboard::open(session.display().c_str(), options),
                     session.display()) {}
};

// wl-copy and wl-paste as the other program on the clipboard.
testing::OtherProgram wlClipboard(const WaylandSession& session) {
    return {[&session](const std::string& text) { return testing::wlCopy(session, text); },
            [&session] { return testing::wlPaste(session); }};
}

// Polls `condition` every few milliseconds until it holds; false after 5 s.
template <class F>
bool eventually(F condition) {
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Every case runs against each compositor; one session per compositor, shared.
class WaylandPasteboardTest : public ::testing::TestWithParam<Compositor> {
protected:
    static void TearDownTestSuite() { s_sessions.clear(); }
    void SetUp() override {
        auto& session = s_sessions[GetParam()];
        if (!session)
            session = std::make_unique<WaylandSession>(GetParam());
        if (session->missing())
            GTEST_SKIP() << session->error();
        ASSERT_TRUE(session->running()) << session->error();
    }
    const WaylandSession& session() { return *s_sessions[GetParam()]; }
    bool copy(const std::string& text, const Texts& args = {}) {
        return testing::wlCopy(session(), text, args);
    }
    // The test client owning the clipboard with `args`; null when it could not.
    std::unique_ptr<WaylandSubprocess> own(Texts args) {
        args.insert(args.begin(), {kClient, "own"});
        auto client = std::make_unique<WaylandSubprocess>(args, session());
        if (!client->waitForLine("OWNED", 10s))
            return nullptr;
        return client;
    }

    static inline std::map<Compositor, std::unique_ptr<WaylandSession>> s_sessions;
    LogCapture log;
};

TEST_P(WaylandPasteboardTest, ReportsOtherProgramsCopiesButNotTheContentFoundAtStart) {
    ASSERT_TRUE(copy("present at start"));
    Rig rig(session());
    ASSERT_TRUE(rig.probe->waitPolls(3));
    EXPECT_EQ(rig.probe->handled(), 0u);

    ASSERT_TRUE(copy("A"));
    ASSERT_TRUE(rig.reports.waitForSize(1));
    ASSERT_TRUE(copy(std::string("\x89PNG\r\n\x1a\n", 8) + std::string(64, '\0'),
                     {"--type", "image/png"}));
    ASSERT_TRUE(rig.probe->waitHandled(2));
    ASSERT_TRUE(copy("bad \xc3\x28 bytes", {"--type", "text/plain;charset=utf-8"}));
    ASSERT_TRUE(log.waitFor("[SorvanePB] ignored \u2014 clipboard text is not valid UTF-8"));
    ASSERT_TRUE(copy("A")); // the same text again
    ASSERT_TRUE(rig.probe->waitHandled(4));
    ASSERT_TRUE(copy("B"));
    ASSERT_TRUE(rig.reports.waitForSize(2));
    {
        const auto client = own({"--type", "UTF8_STRING", "--type", "application/x-sorvane-test",
                                 "--type", "text/plain", "--text", "from the test client"});
        ASSERT_TRUE(client);
        ASSERT_TRUE(rig.reports.waitForSize(3));
        // A second connection sees the offer's types as listed.
        auto other = WaylandPasteboard::open(session().display().c_str());
        ASSERT_TRUE(other);
        EXPECT_EQ(other->types(), (Texts{"UTF8_STRING", "application/x-sorvane-test", "text/plain"}));
        EXPECT_EQ(other->frontmostApplicationID(), std::nullopt);
        EXPECT_EQ(WaylandPasteboard::dataControlProtocol(session().display().c_str()),
                  std::string(other->protocolName()));
    }
    ASSERT_TRUE(copy("present at start"));
    ASSERT_TRUE(rig.reports.waitForSize(4));
    EXPECT_EQ(rig.reports.items(), (Texts{"A", "B", "from the test client", "present at start"}));
}

TEST_P(WaylandPasteboardTest, PasswordManagerHintIsIgnoredAndSwallowsTheRestore) {
    Rig rig(session());
    const auto manager = own({"--type", "text/plain;charset=utf-8", "--type",
                              "x-kde-passwordManagerHint", "--text", "hunter2"});
    ASSERT_TRUE(manager);
    testing::markerSwallowsTheRestore(rig, log, wlClipboard(session()),
                                      "x-kde-passwordManagerHint");
}

TEST_P(WaylandPasteboardTest, OwnersThatNeverAnswerOrStallGiveNoTextAndNothingHangs) {
    WaylandPasteboard::Options options;
    options.conversionTimeout = 300ms;
    options.stallTimeout = 300ms;
    Rig rig(session(), options);
    {
        const auto hung = own({"--type", "text/plain;charset=utf-8", "--text", "never sent",
                               "--hang"});
        ASSERT_TRUE(hung);
        ASSERT_TRUE(log.waitFor("[SorvanePB] the clipboard owner did not answer within 300 ms"));
        const auto stalled = own({"--type", "text/plain;charset=utf-8", "--text",
                                  bigText(100000), "--stall-after", "1000"});
        ASSERT_TRUE(stalled);
        ASSERT_TRUE(log.waitFor("[SorvanePB] clipboard transfer abandoned: the owner stopped sending"));
    }
    ASSERT_TRUE(copy("after the hung owners"));
    ASSERT_TRUE(rig.reports.waitForSize(1));
    EXPECT_EQ(rig.reports.items(), Texts{"after the hung owners"});
}

TEST_P(WaylandPasteboardTest, OwnWriteIsReadByOthersButNotReported) {
    Rig rig(session());
    testing::ownWriteIsServedButNotReported(rig, wlClipboard(session()));
}

TEST_P(WaylandPasteboardTest, ReplacedSourceIsCancelledAndTheNextWriteWins) {
    auto pasteboard = WaylandPasteboard::open(session().display().c_str());
    ASSERT_TRUE(pasteboard);
    for (const std::string ours : {"first of ours", "second of ours"}) {
        const int64_t before = pasteboard->changeCount();
        pasteboard->writeString(ours);
        // Visible as soon as writeString returns.
        EXPECT_GT(pasteboard->changeCount(), before);
        EXPECT_EQ(pasteboard->types(), (Texts{"text/plain;charset=utf-8", "UTF8_STRING",
                                              "text/plain", "TEXT", "STRING"}));
        EXPECT_EQ(pasteboard->string(), ours);
        EXPECT_EQ(testing::wlPaste(session()), ours);

        const int64_t mine = pasteboard->changeCount();
        ASSERT_TRUE(copy("theirs"));
        ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > mine; }));
        EXPECT_EQ(pasteboard->string(), "theirs");
        EXPECT_EQ(testing::wlPaste(session()), "theirs");
    }
    EXPECT_FALSE(log.contains("[SorvanePB]"));
}

TEST_P(WaylandPasteboardTest, TwentyMebibytesTravelWholeBothWaysAndAStalledReaderIsDropped) {
    // Generous limits: sanitizer builds on a busy machine are slow to copy.
    WaylandPasteboard::Options options;
    options.transferTimeout = 180s;
    options.stallTimeout = 30s;
    options.serveStallTimeout = 1s;
    Rig rig(session(), options);
    ASSERT_NO_FATAL_FAILURE(
        testing::twentyMebibytesTravelWholeBothWays(rig, wlClipboard(session())));

    // A reader whose output nobody takes stops reading ours after a pipe or
    // two; the clipboard goes on changing hands meanwhile, and the reader is
    // dropped once it has taken nothing for a second.
    WaylandSubprocess stuck({"wl-paste", "--no-newline"}, session());
    ASSERT_TRUE(stuck.waitForLine("line 0 ", 10s)); // it is reading ours
    ASSERT_TRUE(copy("while a reader is stuck"));
    ASSERT_TRUE(rig.reports.waitForSize(3, 10s));
    ASSERT_TRUE(log.waitFor("[SorvanePB] dropped a clipboard reader that stopped reading", 10s));
    EXPECT_EQ(rig.reports.items().back(), "while a reader is stuck");
}

INSTANTIATE_TEST_SUITE_P(Compositors, WaylandPasteboardTest,
                         ::testing::Values(Compositor::Sway, Compositor::KWin),
                         [](const ::testing::TestParamInfo<Compositor>& param) {
                             return param.param == Compositor::Sway ? "Sway" : "KWin";
                         });

TEST(WaylandPasteboardCompositorLoss, WatcherOutlivesItsCompositor) {
    WaylandSession session;
    if (session.missing())
        GTEST_SKIP() << session.error();
    ASSERT_TRUE(session.running()) << session.error();
    LogCapture log;
    Rig rig(session);
    ASSERT_NO_FATAL_FAILURE(testing::watcherOutlivesItsServer(
        rig, log, wlClipboard(session), [&] { session.killCompositor(); },
        "the Wayland compositor"));

    EXPECT_EQ(WaylandPasteboard::open(session.display().c_str()), nullptr);
    EXPECT_TRUE(log.contains("[SorvanePB] cannot connect to the Wayland display " +
                             session.display()));
    EXPECT_EQ(WaylandPasteboard::dataControlProtocol(session.display().c_str()), std::nullopt);
}

} // namespace
} // namespace sorvane

// The watcher on a real X server (Xvfb with openbox): copies made by xclip and
// by sorvane-x11-test-client, our own writes read back by xclip, INCR both ways,
// owners that hang or die, requestors that vanish, and a server that goes away.
#include "adapters/linux/x11/X11Pasteboard.h"
#include "adapters/linux/x11/X11AutoPasteDesktop.h"
#include "clipboard/PasteboardRig.h"
#include "testing/x-session/XSession.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SORVANE_TSAN 1
#endif
#endif

namespace sorvane {
namespace {

using namespace std::chrono_literals;
using testing::bigText;
using testing::eventually;
using testing::LogCapture;
using testing::Subprocess;
using testing::XSession;
using x11::X11Pasteboard;
using Texts = std::vector<std::string>;

const std::string kClient = SORVANE_X11_TEST_CLIENT;

// A running watcher on the session's display.
struct Rig : testing::WatcherRig {
    explicit Rig(const std::string& display, X11Pasteboard::Options options = {})
        : WatcherRig(X11Pasteboard::open(display.c_str(), options), display) {}
};

// xclip as the other program on the clipboard.
testing::OtherProgram xclip(const std::string& display) {
    return {[display](const std::string& text) { return testing::xclipCopy(display, text); },
            [display] { return testing::xclipPaste(display); }};
}

class X11PasteboardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_session = std::make_unique<XSession>(); }
    static void TearDownTestSuite() { s_session.reset(); }
    void SetUp() override { ASSERT_TRUE(s_session->running()) << s_session->error(); }
    const std::string& display() { return s_session->display(); }
    bool copy(const std::string& text, const Texts& args = {}) {
        return testing::xclipCopy(display(), text, args);
    }

    static inline std::unique_ptr<XSession> s_session;
    LogCapture log;
};

TEST_F(X11PasteboardTest, ReportsXclipCopiesButNotTheContentFoundAtStart) {
    ASSERT_TRUE(copy("present at start"));
    Rig rig(display());
    ASSERT_TRUE(rig.probe->waitPolls(3));
    EXPECT_EQ(rig.probe->handled(), 0u);

    ASSERT_TRUE(copy("A"));
    ASSERT_TRUE(rig.reports.waitForSize(1));
    ASSERT_TRUE(copy("B"));
    ASSERT_TRUE(rig.reports.waitForSize(2));
    ASSERT_TRUE(copy("A"));
    ASSERT_TRUE(rig.reports.waitForSize(3));
    ASSERT_TRUE(copy("A")); // the same text again
    ASSERT_TRUE(rig.probe->waitHandled(4));
    ASSERT_TRUE(copy("present at start"));
    ASSERT_TRUE(rig.reports.waitForSize(4));
    EXPECT_EQ(rig.reports.items(), (Texts{"A", "B", "A", "present at start"}));
}

TEST_F(X11PasteboardTest, EmptyTextImagesAndInvalidUtf8ReportNothing) {
    Rig rig(display());
    ASSERT_TRUE(copy(""));
    ASSERT_TRUE(rig.probe->waitHandled(1));
    ASSERT_TRUE(
        copy(std::string("\x89PNG\r\n\x1a\n", 8) + std::string(64, '\0'), {"-t", "image/png"}));
    ASSERT_TRUE(rig.probe->waitHandled(2));
    ASSERT_TRUE(copy("bad \xc3\x28 bytes"));
    ASSERT_TRUE(log.waitFor("[SorvanePB] ignored \u2014 clipboard text is not valid UTF-8"));
    ASSERT_TRUE(copy("text again"));
    ASSERT_TRUE(rig.reports.waitForSize(1));
    EXPECT_EQ(rig.reports.items(), Texts{"text again"});
}

TEST_F(X11PasteboardTest, TwoCopiesWithinOnePeriodReportTheSecond) {
    Rig rig(display());
    ASSERT_TRUE(rig.probe->hold());
    ASSERT_TRUE(copy("first of two"));
    ASSERT_TRUE(copy("second of two"));
    rig.probe->release();
    ASSERT_TRUE(rig.reports.waitForSize(1));
    ASSERT_TRUE(rig.probe->waitHandled(1));
    EXPECT_EQ(rig.probe->handled(), 1u);
    EXPECT_EQ(rig.reports.items(), Texts{"second of two"});
}

TEST_F(X11PasteboardTest, ExactMarkerSwallowsTheRestoreThatFollows) {
    Rig rig(display());
    Subprocess owner({kClient, "own", "--type", "org.nspasteboard.ConcealedType", "--text", "pw"},
                     display());
    ASSERT_TRUE(owner.waitForLine("OWNED"));
    testing::markerSwallowsTheRestore(rig, log, xclip(display()), "org.nspasteboard.ConcealedType");
}

TEST_F(X11PasteboardTest, CopiesWhileADictationAppIsInFrontAreIgnored) {
    Rig rig(display());
    ASSERT_TRUE(copy("before dictation"));
    ASSERT_TRUE(rig.reports.waitForSize(1));

    auto desktop = x11::X11AutoPasteDesktop::open(display().c_str());
    ASSERT_TRUE(desktop);
    {
        Subprocess dictation({kClient, "window", "--class", "com.wispr.flow"}, display());
        ASSERT_TRUE(dictation.waitForLine("WINDOW"));
        ASSERT_TRUE(eventually([&] {
            auto front = desktop->frontmostApplication();
            return front && front->appIdentifier == "com.wispr.flow" &&
                   front->pid == dictation.pid();
        }));
        ASSERT_TRUE(copy("dictated words"));
        ASSERT_TRUE(log.waitFor("[SorvanePB] ignored \u2014 sensitive frontmost: com.wispr.flow"));
    }
    ASSERT_TRUE(eventually([&] {
        auto front = desktop->frontmostApplication();
        return !front || front->appIdentifier != "com.wispr.flow";
    }));
    // Not a repeat: the skipped copy left the last hash alone.
    ASSERT_TRUE(copy("dictated words"));
    ASSERT_TRUE(rig.reports.waitForSize(2));
    EXPECT_EQ(rig.reports.items(), (Texts{"before dictation", "dictated words"}));
}

TEST_F(X11PasteboardTest, OwnWriteIsServedToOthersButNotReported) {
    Rig rig(display());
    testing::ownWriteIsServedButNotReported(rig, xclip(display()));
}

TEST_F(X11PasteboardTest, OwnWriteAnswersEveryTextTarget) {
    auto writer = X11Pasteboard::open(display().c_str());
    ASSERT_TRUE(writer);
    writer->writeString("caf\u00e9 \u2603");
    auto reader = X11Pasteboard::open(display().c_str());
    ASSERT_TRUE(reader);
    const Texts types = reader->types();
    for (const char* t : {"TARGETS", "UTF8_STRING", "STRING", "TEXT", "text/plain;charset=utf-8"})
        EXPECT_NE(std::find(types.begin(), types.end(), t), types.end()) << t;
    EXPECT_EQ(reader->string(), "caf\u00e9 \u2603");
    for (const char* target : {"STRING", "TEXT", "text/plain;charset=utf-8"}) {
        Subprocess xclip({"xclip", "-o", "-selection", "clipboard", "-t", target}, display());
        xclip.closeInput();
        const auto out = xclip.readAll();
        // STRING is Latin-1: the snowman has no place there.
        EXPECT_EQ(out, std::string(target) == "STRING" ? "caf\xe9 ?" : "caf\u00e9 \u2603")
            << target;
    }
}

TEST_F(X11PasteboardTest, TwentyMebibytesTravelWholeBothWays) {
    // Generous limits: sanitizer builds on a busy machine are slow to copy.
    X11Pasteboard::Options options;
    options.transferTimeout = 180s;
    Rig rig(display(), options);
    testing::twentyMebibytesTravelWholeBothWays(rig, xclip(display()));
}

TEST_F(X11PasteboardTest, OwnersThatHangOrDieDoNotStopTheWatcher) {
    X11Pasteboard::Options options;
    options.conversionTimeout = 300ms;
    Rig rig(display(), options);
    {
        Subprocess hung({kClient, "own", "--text", "never sent", "--hang"}, display());
        ASSERT_TRUE(hung.waitForLine("OWNED"));
        ASSERT_TRUE(log.waitFor("[SorvanePB] the clipboard owner did not answer within 300 ms"));
        ASSERT_TRUE(copy("after the hung owner"));
        ASSERT_TRUE(rig.reports.waitForSize(1));
    }
    log.clear();
    {
        Subprocess dying({kClient, "own", "--text", "never sent", "--die-on-request"}, display());
        ASSERT_TRUE(dying.waitForLine("OWNED"));
        ASSERT_TRUE(dying.wait(10s).has_value());
        ASSERT_TRUE(copy("after the dead owner"));
        ASSERT_TRUE(rig.reports.waitForSize(2));
    }
    EXPECT_EQ(rig.reports.items(), (Texts{"after the hung owner", "after the dead owner"}));
}

TEST_F(X11PasteboardTest, RequestorThatVanishesMidTransferDoesNotHurtTheOwner) {
    X11Pasteboard::Options options;
    options.serveStallTimeout = 500ms;
    auto pasteboard = X11Pasteboard::open(display().c_str(), options);
    ASSERT_TRUE(pasteboard);
    const std::string text = bigText(3u << 20);
    pasteboard->writeString(text);
    for (int round = 0; round < 3; ++round) {
        Subprocess reader({kClient, "incr-abort"}, display());
        const auto line = reader.waitForLine("ABORTED", 10s);
        ASSERT_TRUE(line) << "the test client did not get an INCR transfer going";
        EXPECT_EQ(reader.wait(10s), 0);
    }
    const auto pasted = testing::xclipPaste(display());
    ASSERT_TRUE(pasted);
    EXPECT_TRUE(*pasted == text);
}

TEST(X11PasteboardServerLoss, WatcherOutlivesItsXServer) {
#if defined(__SANITIZE_THREAD__) || defined(SORVANE_TSAN)
    // When the handler for a lost connection returns, libX11 unlocks that
    // display's mutex a second time on the way out; ThreadSanitizer stops on it.
    GTEST_SKIP() << "libX11's lost-connection path trips ThreadSanitizer";
#endif
    XSession session(XSession::Options{false, true});
    ASSERT_TRUE(session.running()) << session.error();
    LogCapture log;
    Rig rig(session.display());
    testing::watcherOutlivesItsServer(
        rig, log, xclip(session.display()), [&] { session.killServer(); }, "X server");
}

} // namespace
} // namespace sorvane

// Auto-paste on a real wlroots compositor (sway headless): the previous native
// Wayland window gets the focus back through the foreign-toplevel protocol and
// Control-V from our virtual keyboard, and then holds the clipboard's text; no
// keystroke is typed while another window has the focus. On KWin, which lists
// no toplevels to clients, this way is not trusted.
#include "adapters/linux/wayland/WlrootsAutoPasteDesktop.h"
#include "clipboard/AutoPaster.h"
#include "testing/desktop-doubles/DesktopDoubles.h"
#include "testing/sim/ManualMainQueue.h"
#include "testing/test-env/LogCapture.h"
#include "testing/wayland-session/WaylandSession.h"

#include <gtest/gtest.h>

#include <thread>

namespace sorvane {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::WaylandSession;
using testing::WaylandSubprocess;
using wayland::WlrootsAutoPasteDesktop;

// A native Wayland window with one text field (testing/wayland-paste-target).
struct PasteTarget {
    PasteTarget(const WaylandSession& session, const std::string& id)
        : appId(id), process({SORVANE_WAYLAND_PASTE_TARGET, id}, session) {
        ready = process.waitForLine("ready", 10s).has_value();
    }
    // The next change of the field's text, if one comes within `timeout`.
    std::optional<std::string> nextText(std::chrono::milliseconds timeout) {
        auto line = process.waitForLine("text:", timeout);
        if (!line)
            return std::nullopt;
        return line->substr(5);
    }
    std::string appId;
    WaylandSubprocess process;
    bool ready = false;
};

class AutoPasteWaylandTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_session = std::make_unique<WaylandSession>(); }
    static void TearDownTestSuite() { s_session.reset(); }
    void SetUp() override {
        if (s_session->missing())
            GTEST_SKIP() << "sway is not installed";
        ASSERT_TRUE(s_session->running()) << s_session->error();
        desktop = WlrootsAutoPasteDesktop::open(s_session->display().c_str(), {});
        ASSERT_TRUE(desktop);
    }
    // True once `window` is up and the one in front.
    bool inFront(const PasteTarget& window) {
        if (!window.ready)
            return false;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        do {
            auto front = desktop->frontmostApplication();
            if (front && front->appIdentifier == window.appId)
                return true;
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    static inline std::unique_ptr<WaylandSession> s_session;
    LogCapture log;
    sim::ManualMainQueue queue;
    std::unique_ptr<WlrootsAutoPasteDesktop> desktop;
};

TEST_F(AutoPasteWaylandTest, PastesIntoThePreviousWindowOnlyOnceItHasTheFocusAgain) {
    EXPECT_TRUE(desktop->isTrusted(false));
    PasteTarget target(*s_session, "org.sorvane.test.target");
    ASSERT_TRUE(inFront(target));
    std::optional<RunningApplication> previous = desktop->frontmostApplication();
    ASSERT_TRUE(previous);
    EXPECT_NE(previous->window, 0u);

    // Another window (the panel, say) takes the focus.
    PasteTarget other(*s_session, "org.sorvane.test.other");
    ASSERT_TRUE(inFront(other));
    const std::string text = "pasted by Sorvane \u2713";
    ASSERT_TRUE(testing::wlCopy(*s_session, text));

    // Without the focus back, the keystroke is refused rather than typed into
    // the window in front.
    EXPECT_FALSE(desktop->postPasteKeystroke(*previous));
    EXPECT_EQ(other.nextText(300ms), std::nullopt);

    AutoPaster paster(queue, *desktop);
    paster.pasteIntoPreviousApp(previous);
    EXPECT_FALSE(previous);
    EXPECT_TRUE(log.contains("paste: target=org.sorvane.test.target axTrusted=true"));
    ASSERT_TRUE(testing::pumpUntil(
        queue, [&] { return log.contains("paste: simulating \u2318V into org.sorvane.test.target"); }));
    EXPECT_EQ(target.nextText(5s), text);
    EXPECT_EQ(other.nextText(300ms), std::nullopt);
    EXPECT_TRUE(inFront(target));
}

TEST_F(AutoPasteWaylandTest, AClosedTargetIsNeitherActivatedNorTyped) {
    std::optional<RunningApplication> previous;
    {
        PasteTarget gone(*s_session, "org.sorvane.test.gone");
        ASSERT_TRUE(inFront(gone));
        previous = desktop->frontmostApplication();
    }
    PasteTarget front(*s_session, "org.sorvane.test.front");
    ASSERT_TRUE(inFront(front));
    desktop->activate(*previous);
    EXPECT_FALSE(desktop->postPasteKeystroke(*previous));
    EXPECT_EQ(front.nextText(300ms), std::nullopt);
    EXPECT_TRUE(inFront(front));
}

// KWin lists no toplevels to other clients: auto-paste there goes through the
// desktop portal's keyboard instead.
TEST(AutoPasteOnKWin, IsNotTrusted) {
    WaylandSession kwin(WaylandSession::Compositor::KWin);
    if (kwin.missing())
        GTEST_SKIP() << "kwin_wayland is not installed";
    ASSERT_TRUE(kwin.running()) << kwin.error();
    auto desktop = WlrootsAutoPasteDesktop::open(kwin.display().c_str(), {});
    ASSERT_TRUE(desktop);
    EXPECT_FALSE(desktop->isTrusted(false));
    EXPECT_FALSE(desktop->postPasteKeystroke(RunningApplication{1, 0, std::nullopt}));
}

} // namespace
} // namespace sorvane

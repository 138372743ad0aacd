// Auto-paste on a real X server: the previous window gets the focus back and
// Control-V through XTest, then holds the text; a window that takes the focus
// within the 0.30 s gets no keystroke; without XTest nothing is activated.
#include "adapters/headless/HeadlessServices.h"
#include "app/SorvaneAppDelegate.h"
#include "clipboard/AutoPaster.h"
#include "testing/x-session/XSession.h"
#include "adapters/linux/x11/X11AutoPasteDesktop.h"
#include "adapters/linux/x11/X11Pasteboard.h"
#include "testing/sim/ManualMainQueue.h"
#include "store/UserDefaultsFile.h"
#include "testing/desktop-doubles/DesktopDoubles.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"

#include <gtest/gtest.h>

namespace sorvane {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::LogCapture;
using testing::Subprocess;
using testing::TestWindow;
using testing::XSession;
using x11::X11AutoPasteDesktop;

// Forwards to the real desktop and counts what was asked of it.
class CountingDesktop final : public AutoPasteDesktop {
public:
    explicit CountingDesktop(AutoPasteDesktop& inner) : m_inner(inner) {}
    bool isTrusted(bool prompt) override {
        prompts += prompt;
        return m_inner.isTrusted(prompt);
    }
    std::optional<RunningApplication> frontmostApplication() override {
        return m_inner.frontmostApplication();
    }
    void hideThisApplication() override {
        ++hides;
        m_inner.hideThisApplication();
    }
    void activate(const RunningApplication& app) override {
        ++activations;
        m_inner.activate(app);
    }
    bool postPasteKeystroke(const RunningApplication& target) override {
        ++keystrokes;
        return m_inner.postPasteKeystroke(target);
    }
    void openAccessibilitySettings() override {
        ++settingsOpened;
        m_inner.openAccessibilitySettings();
    }
    int prompts = 0, hides = 0, activations = 0, keystrokes = 0, settingsOpened = 0;

private:
    AutoPasteDesktop& m_inner;
};

bool isFront(AutoPasteDesktop& desktop, const TestWindow& window) {
    auto front = desktop.frontmostApplication();
    return front && front->pid == window.process.pid();
}
// True once `window` is mapped and has come to the front.
bool comesToFront(AutoPasteDesktop& desktop, const TestWindow& window) {
    return window.mapped && eventually([&] { return isFront(desktop, window); });
}

class AutoPasteX11Test : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_session = std::make_unique<XSession>(); }
    static void TearDownTestSuite() { s_session.reset(); }
    void SetUp() override {
        ASSERT_TRUE(s_session->running()) << s_session->error();
        desktop = X11AutoPasteDesktop::open(display().c_str());
        ASSERT_TRUE(desktop);
        clipboard = x11::X11Pasteboard::open(display().c_str());
        ASSERT_TRUE(clipboard);
    }
    const std::string& display() { return s_session->display(); }
    template <class F> bool pumpUntil(F done) { return testing::pumpUntil(queue, done); }

    static inline std::unique_ptr<XSession> s_session;
    LogCapture log;
    sim::ManualMainQueue queue;
    std::unique_ptr<X11AutoPasteDesktop> desktop;
    std::unique_ptr<x11::X11Pasteboard> clipboard;
};

TEST_F(AutoPasteX11Test, DelegatePastesIntoTheWindowThatWasInFrontOnce) {
    TestWindow target(display(), "SorvaneTarget");
    ASSERT_TRUE(comesToFront(*desktop, target));

    testing::TempDir dir;
    // What the delegate needs around it beyond the desktop; auto-paste touches none.
    testing::TestApplication application(queue);
    UserDefaultsFile defaults(dir.path() / "defaults.json");
    testing::FixedHost host;
    testing::TestPower power;
    testing::TempDirectories directories(dir.path());
    HeadlessStatusItem statusItem;
    HeadlessPanel panel;
    HeadlessPairingWindow pairingWindow;
    HeadlessAlerts alerts;
    HeadlessHotKey hotKey;
    HeadlessInstaller installer;
    HeadlessUpdater updater;
    const auto noSecrets = [] { return std::unique_ptr<SecretStore>(); };
    const auto noWatcher = [] { return std::make_unique<HeadlessPasteboardWatcher>(); };
    AppEnvironment environment{queue,     application, defaults,  host,
                               power,     directories, noSecrets, PeripheralManagerFactory{},
                               noWatcher, statusItem,  panel,     pairingWindow,
                               alerts,    hotKey,      installer, updater};
    environment.desktop = desktop.get();
    SorvaneAppDelegate delegate(std::move(environment));

    delegate.capturePreviousApp(); // the panel opens
    ASSERT_TRUE(delegate.previousApp());
    EXPECT_EQ(delegate.previousApp()->appIdentifier, "SorvaneTarget");
    EXPECT_EQ(delegate.previousApp()->pid, target.process.pid());

    TestWindow panelWindow(display(), "SorvanePanel"); // and takes the focus
    ASSERT_TRUE(comesToFront(*desktop, panelWindow));

    clipboard->writeString("pasted by Sorvane \u2713");
    delegate.pasteIntoPreviousApp();
    EXPECT_FALSE(delegate.previousApp());
    EXPECT_TRUE(log.contains("paste: target=SorvaneTarget axTrusted=true"));
    ASSERT_TRUE(
        pumpUntil([&] { return log.contains("paste: simulating \u2318V into SorvaneTarget"); }));
    EXPECT_EQ(target.process.waitForLine("PASTED"), "PASTED pasted by Sorvane \u2713");
    EXPECT_EQ(panelWindow.status(), "STATUS keys=0 pastes=0");

    // One capture serves one paste.
    log.clear();
    delegate.pasteIntoPreviousApp();
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"paste: no previousApp captured \u2014 skipping"});
    EXPECT_EQ(queue.runPending(), 0u);
}

TEST_F(AutoPasteX11Test, TargetWithoutAClassIsShownAsQuestionMarkAndStillPasted) {
    TestWindow target(display(), "");
    ASSERT_TRUE(comesToFront(*desktop, target));
    std::optional<RunningApplication> previous = desktop->frontmostApplication();
    ASSERT_TRUE(previous);
    EXPECT_EQ(previous->appIdentifier, std::nullopt);
    TestWindow other(display(), "SorvaneOther");
    ASSERT_TRUE(comesToFront(*desktop, other));

    clipboard->writeString("anonymous target");
    AutoPaster paster(queue, *desktop);
    paster.pasteIntoPreviousApp(previous);
    EXPECT_TRUE(log.contains("paste: target=? axTrusted=true"));
    ASSERT_TRUE(pumpUntil([&] { return log.contains("paste: simulating \u2318V into ?"); }));
    EXPECT_EQ(target.process.waitForLine("PASTED"), "PASTED anonymous target");
}

TEST_F(AutoPasteX11Test, FocusTakenByAThirdWindowInTimeMeansNoKeystroke) {
    TestWindow target(display(), "SorvaneTarget");
    ASSERT_TRUE(comesToFront(*desktop, target));
    std::optional<RunningApplication> previous = desktop->frontmostApplication();
    TestWindow third(display(), "SorvaneThird");
    ASSERT_TRUE(comesToFront(*desktop, third));

    clipboard->writeString("must not land anywhere");
    CountingDesktop counting(*desktop);
    AutoPaster paster(queue, counting);
    paster.pasteIntoPreviousApp(previous);
    // 0.12 s: the target is activated...
    ASSERT_TRUE(pumpUntil([&] { return counting.activations == 1; }));
    ASSERT_TRUE(eventually([&] { return isFront(*desktop, target); }));
    // ...and before the 0.18 s that follow are up, the user switches away.
    third.process.write("activate\n");
    ASSERT_TRUE(eventually([&] { return isFront(*desktop, third); }));
    ASSERT_TRUE(pumpUntil([&] {
        return log.contains("paste: front is SorvaneThird, expected SorvaneTarget \u2014 skipping");
    }));
    EXPECT_EQ(counting.keystrokes, 0);
    EXPECT_EQ(target.status(), "STATUS keys=0 pastes=0");
    EXPECT_EQ(third.status(), "STATUS keys=0 pastes=0");
}

TEST(AutoPasteWithoutXTest, IsNotTrustedAndActivatesNothing) {
    XSession session(XSession::Options{true, false});
    ASSERT_TRUE(session.running()) << session.error();
    auto desktop = X11AutoPasteDesktop::open(session.display().c_str());
    ASSERT_TRUE(desktop);
    TestWindow target(session.display(), "SorvaneTarget");
    ASSERT_TRUE(comesToFront(*desktop, target));
    std::optional<RunningApplication> previous = desktop->frontmostApplication();
    TestWindow front(session.display(), "SorvaneFront");
    ASSERT_TRUE(comesToFront(*desktop, front));

    LogCapture log;
    sim::ManualMainQueue queue;
    CountingDesktop counting(*desktop);
    AutoPaster paster(queue, counting);
    paster.pasteIntoPreviousApp(previous);
    EXPECT_FALSE(previous);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"paste: target=SorvaneTarget axTrusted=false"});
    EXPECT_EQ(counting.prompts, 1);
    testing::pumpUntil(queue, [&] { return counting.settingsOpened > 0; });
    EXPECT_EQ(counting.settingsOpened, 1);
    EXPECT_EQ(counting.hides + counting.activations + counting.keystrokes, 0);
    EXPECT_TRUE(isFront(*desktop, front));
    EXPECT_EQ(target.status(), "STATUS keys=0 pastes=0");
}

TEST_F(AutoPasteX11Test, WaylandSessionIsNeverTrusted) {
    auto wayland = X11AutoPasteDesktop::open(display().c_str(), {true, {}});
    ASSERT_TRUE(wayland);
    EXPECT_TRUE(desktop->isTrusted(false));
    EXPECT_FALSE(wayland->isTrusted(false));
    EXPECT_FALSE(wayland->isTrusted(true));
}

} // namespace
} // namespace sorvane

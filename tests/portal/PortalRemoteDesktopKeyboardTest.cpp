// The paste keystroke through the desktop portal's remote desktop, against a
// stand-in portal on a private dbus-daemon: the keys it receives, the restore
// token kept in the user defaults and sent back, and the refusals. Then
// auto-paste through that keyboard, driven by the real AutoPaster: the first
// paste asks the desktop and is left on the clipboard, the next ones are typed
// once our windows have let the focus go; a refusal is explained once and
// never asked again.
#include "adapters/linux/portal/PortalRemoteDesktopKeyboard.h"
#include "adapters/linux/portal/PortalAutoPasteDesktop.h"
#include "clipboard/AutoPaster.h"
#include "store/UserDefaultsFile.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/desktop-doubles/DesktopDoubles.h"
#include "testing/fake-portal/FakePortal.h"
#include "testing/sim/ManualMainQueue.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"

#include <gtest/gtest.h>

namespace sorvane::testing {
namespace {

using namespace std::chrono_literals;
using Keystroke = FakePortal::Keystroke;

// Control-V as the portal receives it: Control down, v down, v up, Control up.
const std::vector<Keystroke> kCtrlV{{0xffe3, 1}, {0x76, 1}, {0x76, 0}, {0xffe3, 0}};

class PortalRemoteDesktopKeyboardTest : public ::testing::Test {
protected:
    // Asks for access and waits for the answer.
    std::optional<bool> access(PortalRemoteDesktopKeyboard& keyboard) {
        std::optional<bool> granted;
        keyboard.requestAccess([&](bool answer) {
            EXPECT_TRUE(queue.isMainThread());
            granted = answer;
        });
        pumpUntil(queue, [&] { return granted.has_value(); });
        return granted;
    }

    TempDir work;
    DbusDaemon bus{work.path() / "bus"};
    ScopedEnv busEnv{"DBUS_SESSION_BUS_ADDRESS", bus.address()};
    UserDefaultsFile defaults{work.path() / "defaults.json"};
    sim::ManualMainQueue queue;
    LogCapture log;
};

TEST_F(PortalRemoteDesktopKeyboardTest, PastesAsCtrlVAndTheNextStartRestoresTheGrant) {
    FakePortal portal(bus.address(), {.answerBeforeReturning = true});
    {
        auto keyboard = PortalRemoteDesktopKeyboard::open(queue, defaults);
        ASSERT_NE(keyboard, nullptr);
        EXPECT_FALSE(keyboard->postPaste()) << "nothing is sent before the desktop lends the keyboard";
        EXPECT_EQ(access(*keyboard), true);
        EXPECT_TRUE(keyboard->available());

        const auto selections = portal.deviceSelections();
        ASSERT_EQ(selections.size(), 1u);
        EXPECT_EQ(selections[0].types, 1u) << "a keyboard only";
        EXPECT_EQ(selections[0].persistMode, 2u);
        EXPECT_FALSE(selections[0].restoreToken) << "nothing to restore at the first start";
        EXPECT_EQ(defaults.string("remote_desktop_restore_token"), "restore-1");

        EXPECT_TRUE(keyboard->postPaste());
        ASSERT_TRUE(pumpUntil(queue, [&] { return portal.keystrokes().size() == 4; }));
        EXPECT_EQ(portal.keystrokes(), kCtrlV);
    }
    EXPECT_TRUE(pumpUntil(queue, [&] { return portal.closedSessions().size() == 1; }))
        << "the session ends with the keyboard";

    // The next run sends the token back, and keeps the new one.
    auto keyboard = PortalRemoteDesktopKeyboard::open(queue, defaults);
    EXPECT_EQ(access(*keyboard), true);
    const auto selections = portal.deviceSelections();
    ASSERT_EQ(selections.size(), 2u);
    EXPECT_EQ(selections[1].restoreToken, "restore-1");
    EXPECT_EQ(defaults.string("remote_desktop_restore_token"), "restore-2");
    EXPECT_EQ(portal.createdSessions().size(), 2u);

    // The desktop ends the session: no keystroke goes out any more.
    portal.closeRemoteDesktop();
    ASSERT_TRUE(pumpUntil(queue, [&] { return !keyboard->available(); }));
    EXPECT_FALSE(keyboard->postPaste());
    EXPECT_TRUE(log.contains("Sorvane: the desktop ended the keyboard lent for auto-paste"));
}

TEST_F(PortalRemoteDesktopKeyboardTest, ARefusalOrAPortalWithoutRemoteDesktopIsSaidOnceAndNotAskedAgain) {
    struct Case {
        const char* what;
        FakePortal::Options options;
        uint32_t startResponse;
        const char* why;
    };
    const Case cases[] = {
        {"the user declines", {}, 1, "the user declined the desktop's remote control dialog"},
        {"no RemoteDesktop", {.remoteDesktop = false}, 0, "the desktop portal has no remote desktop"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        FakePortal portal(bus.address(), c.options);
        portal.setStartResponse(c.startResponse);
        PortalRemoteDesktopKeyboard keyboard(queue, defaults);
        EXPECT_EQ(access(keyboard), false);
        EXPECT_FALSE(keyboard.available());
        EXPECT_FALSE(keyboard.postPaste());
        EXPECT_EQ(access(keyboard), false);
        EXPECT_EQ(portal.createdSessions().size(), c.options.remoteDesktop ? 1u : 0u) << "asked once only";
        EXPECT_TRUE(portal.keystrokes().empty());
        EXPECT_FALSE(defaults.string("remote_desktop_restore_token"));
        EXPECT_EQ(log.count("Sorvane: auto-paste cannot type on this desktop ("), 1u);
        EXPECT_TRUE(log.contains(c.why));
    }
}

class PortalAutoPasteDesktopTest : public PortalRemoteDesktopKeyboardTest {
protected:
    // One Return in the panel, run to its end.
    void paste(AutoPaster& paster, AutoPasteDesktop& desktop) {
        std::optional<RunningApplication> previous = desktop.frontmostApplication();
        paster.pasteIntoPreviousApp(previous);
        for (int i = 0; i < 60; ++i)
            queue.runOne(10ms);
    }

    bool ownFocus = true;
    std::vector<std::string> explained;
    PortalAutoPasteDesktop::Options options{
        [this] { ownFocus = false; }, [this] { return ownFocus; },
        [this](const std::string& text) { explained.push_back(text); }};
};

TEST_F(PortalAutoPasteDesktopTest, TheFirstPasteAsksTheNextOnesAreTypedOnceTheFocusHasGone) {
    FakePortal portal(bus.address(), {});
    auto keyboard = PortalRemoteDesktopKeyboard::open(queue, defaults);
    PortalAutoPasteDesktop desktop(keyboard.get(), options);
    AutoPaster paster(queue, desktop);

    paste(paster, desktop);
    EXPECT_TRUE(log.contains("paste: target=? axTrusted=false"));
    ASSERT_TRUE(pumpUntil(queue, [&] { return keyboard->available(); }));
    EXPECT_TRUE(portal.keystrokes().empty()) << "the paste that asked stays on the clipboard";
    EXPECT_TRUE(explained.empty());

    ownFocus = true; // the panel opens again
    paste(paster, desktop);
    ASSERT_TRUE(pumpUntil(queue, [&] { return portal.keystrokes().size() == 4; }));
    EXPECT_EQ(portal.keystrokes(), kCtrlV);
    EXPECT_EQ(portal.deviceSelections().size(), 1u) << "asked once";

    // Our window keeping the focus would take the keystroke itself: none goes.
    PortalAutoPasteDesktop stuck(keyboard.get(), {[] {}, [] { return true; }, {}});
    AutoPaster stuckPaster(queue, stuck);
    paste(stuckPaster, stuck);
    EXPECT_TRUE(log.contains("paste: Sorvane still has the focus \u2014 skipping"));
    EXPECT_EQ(portal.keystrokes().size(), 4u);
}

TEST_F(PortalAutoPasteDesktopTest, ARefusalOrNoPortalIsExplainedOnceAndNothingIsTyped) {
    for (const bool withPortal : {true, false}) {
        SCOPED_TRACE(withPortal ? "the user refuses" : "no session bus");
        explained.clear();
        FakePortal portal(bus.address(), {});
        portal.setStartResponse(1);
        auto keyboard = withPortal ? PortalRemoteDesktopKeyboard::open(queue, defaults) : nullptr;
        PortalAutoPasteDesktop desktop(keyboard.get(), options);
        AutoPaster paster(queue, desktop);
        paste(paster, desktop);
        paste(paster, desktop);
        EXPECT_EQ(explained, std::vector<std::string>{PortalAutoPasteDesktop::kNoKeystrokes});
        EXPECT_EQ(portal.deviceSelections().size(), withPortal ? 1u : 0u);
        EXPECT_TRUE(portal.keystrokes().empty());
    }
}

} // namespace
} // namespace sorvane::testing

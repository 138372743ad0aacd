// Auto-paste through the portal's keyboard, driven by the real AutoPaster
// against the stand-in portal: the first paste asks the desktop and is left on
// the clipboard, the next ones are typed once our windows have let the focus
// go; a refusal is explained once and never asked again.
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

class PortalAutoPasteDesktopTest : public ::testing::Test {
protected:
    // One Return in the panel, run to its end.
    void paste(AutoPaster& paster, AutoPasteDesktop& desktop) {
        std::optional<RunningApplication> previous = desktop.frontmostApplication();
        paster.pasteIntoPreviousApp(previous);
        for (int i = 0; i < 60; ++i)
            queue.runOne(10ms);
    }

    TempDir work;
    DbusDaemon bus{work.path() / "bus"};
    ScopedEnv busEnv{"DBUS_SESSION_BUS_ADDRESS", bus.address()};
    UserDefaultsFile defaults{work.path() / "defaults.json"};
    sim::ManualMainQueue queue;
    LogCapture log;
    bool ownFocus = true;
    std::vector<std::string> explained;
    PortalAutoPasteDesktop::Options options{[this] { ownFocus = false; }, [this] { return ownFocus; },
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
    const std::vector<Keystroke> ctrlV{{0xffe3, 1}, {0x76, 1}, {0x76, 0}, {0xffe3, 0}};
    ASSERT_TRUE(pumpUntil(queue, [&] { return portal.keystrokes().size() == 4; }));
    EXPECT_EQ(portal.keystrokes(), ctrlV);
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

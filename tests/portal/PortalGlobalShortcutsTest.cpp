// The global shortcut through the desktop portal, as the hot-key manager and
// the preferences use it, against a stand-in portal on a private dbus-daemon:
// what the portal receives, what a press runs, the trigger the desktop reports
// and the ways it can fail to bind.
#include "adapters/linux/portal/PortalGlobalShortcuts.h"
#include "store/UserDefaultsFile.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/desktop-doubles/DesktopDoubles.h"
#include "testing/fake-portal/FakePortal.h"
#include "testing/sim/ManualMainQueue.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"
#include "ui/Preferences.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace sorvane::testing {
namespace {

using namespace std::chrono_literals;

constexpr HotKeyCombo kShiftSuperV{9, hotkeymask::shift | hotkeymask::super};
constexpr HotKeyCombo kCtrlAltK{40, hotkeymask::ctrl | hotkeymask::alt};

// Lets whatever is on its way arrive (for asserting that nothing more comes).
void settle(sim::ManualMainQueue& queue) {
    const auto until = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < until)
        queue.runOne(10ms);
}

class PortalGlobalShortcutsTest : public ::testing::Test {
protected:
    // The manager and the preferences' model as the delegate wires them.
    void start(HotKeyCombo combo = kShiftSuperV) {
        shortcuts = PortalGlobalShortcuts::open(queue);
        ASSERT_NE(shortcuts, nullptr);
        manager = std::make_unique<HotKeyManager>(*shortcuts);
        manager->setCallback([this] {
            EXPECT_TRUE(queue.isMainThread());
            ++presses;
        });
        manager->setOnStatusChange(
            [this] { prefs.followHotKeyStatus(manager->desktopTrigger(), manager->unavailableNote()); });
        prefs.platform.storedHotKey = [this] { return HotKeyCombo::load(defaults); };
        combo.save(defaults);
        EXPECT_EQ(manager->applyCombo(combo), 0);
    }

    TempDir work;
    DbusDaemon bus{work.path() / "bus"};
    ScopedEnv busEnv{"DBUS_SESSION_BUS_ADDRESS", bus.address()};
    UserDefaultsFile defaults{work.path() / "defaults.json"};
    sim::ManualMainQueue queue;
    LogCapture log;
    PrefsState prefs;
    int presses = 0;
    std::unique_ptr<PortalGlobalShortcuts> shortcuts;
    std::unique_ptr<HotKeyManager> manager;
};

TEST_F(PortalGlobalShortcutsTest, BindsTheStoredCombinationAndEachActivationTogglesOnce) {
    // The stand-in answers before it returns: only a client that listened at
    // the predicted request path hears it.
    FakePortal portal(bus.address(), {.answerBeforeReturning = true});
    start();
    ASSERT_TRUE(pumpUntil(queue, [&] { return manager->desktopTrigger().has_value(); }));

    auto bindings = portal.bindings();
    ASSERT_EQ(bindings.size(), 1u);
    EXPECT_EQ(bindings[0].id, "toggle-panel");
    EXPECT_EQ(bindings[0].description, "Show or hide the Sorvane panel");
    EXPECT_EQ(bindings[0].preferredTrigger, "SHIFT+LOGO+v");
    EXPECT_EQ(bindings[0].session, portal.createdSessions().at(0));
    EXPECT_EQ(prefs.hotKeyDisplay, "SHIFT+LOGO+v") << "the desktop's words for the trigger";
    EXPECT_FALSE(prefs.hotKeyNote);
    EXPECT_TRUE(log.contains("Sorvane: hotkey registered (SHIFT+LOGO+v)"));

    // Presses run on the main queue, once each; other shortcuts do nothing.
    portal.activate("toggle-panel");
    portal.activate("something-else");
    portal.activate("toggle-panel");
    ASSERT_TRUE(pumpUntil(queue, [&] { return presses == 2; }));
    settle(queue);
    EXPECT_EQ(presses, 2);

    // Recording another combination closes the session and binds it in a new one.
    const std::string first = portal.createdSessions().at(0);
    manager->rebind(kCtrlAltK, defaults);
    ASSERT_TRUE(pumpUntil(queue, [&] { return manager->desktopTrigger() == "CTRL+ALT+k"; }));
    bindings = portal.bindings();
    ASSERT_EQ(bindings.size(), 2u);
    EXPECT_EQ(bindings[1].preferredTrigger, "CTRL+ALT+k");
    EXPECT_NE(bindings[1].session, first);
    EXPECT_TRUE(portal.closedSessions().count(first));

    portal.activate("toggle-panel", first); // the old session's press: gone with it
    portal.activate("toggle-panel");
    ASSERT_TRUE(pumpUntil(queue, [&] { return presses == 3; }));
    settle(queue);
    EXPECT_EQ(presses, 3);

    // Unbound: presses are no longer taken, and the session is closed.
    manager.reset();
    ASSERT_TRUE(pumpUntil(queue, [&] { return portal.closedSessions().count(bindings[1].session) == 1; }));
    portal.activate("toggle-panel", bindings[1].session);
    settle(queue);
    EXPECT_EQ(presses, 3);
}

TEST_F(PortalGlobalShortcutsTest, TheTriggerTheDesktopChoseIsWhatThePreferencesShow) {
    FakePortal portal(bus.address(), {});
    portal.setChosenTrigger("Ctrl+Alt+K"); // the user changed it in the desktop's dialog
    start();
    ASSERT_TRUE(pumpUntil(queue, [&] { return prefs.hotKeyDisplay == "Ctrl+Alt+K"; }));
    EXPECT_EQ(portal.bindings().at(0).preferredTrigger, "SHIFT+LOGO+v");
    EXPECT_TRUE(log.contains("Sorvane: hotkey registered (Ctrl+Alt+K)"));

    // A cancelled recording shows the desktop's trigger again, not the stored one.
    prefs.startRecordingHotKey();
    prefs.stopRecordingHotKey();
    EXPECT_EQ(prefs.hotKeyDisplay, "Ctrl+Alt+K");

    // Changed later in the desktop's settings.
    portal.changeTrigger("toggle-panel", "Super+P");
    ASSERT_TRUE(pumpUntil(queue, [&] { return prefs.hotKeyDisplay == "Super+P"; }));
    EXPECT_TRUE(log.contains("Sorvane: hotkey changed by the desktop to Super+P"));
    portal.activate("toggle-panel");
    ASSERT_TRUE(pumpUntil(queue, [&] { return presses == 1; }));
}

TEST_F(PortalGlobalShortcutsTest, WhereNothingBindsItTheLogAndThePreferencesNameTheCustomShortcut) {
    struct Case {
        const char* what;
        std::optional<FakePortal::Options> portal; // absent: no portal on the bus
        uint32_t bindResponse;
        const char* note;
        size_t bindingsReceived;
    };
    const Case cases[] = {
        {"no portal", std::nullopt, 0, "No shortcut service here", 0},
        {"a portal without GlobalShortcuts", FakePortal::Options{.globalShortcuts = false}, 0,
         "No shortcut service here", 0},
        {"the user declines", FakePortal::Options{}, 1, "Shortcut declined", 1},
        {"the dialog fails", FakePortal::Options{}, 2, "Shortcut not bound", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        prefs = PrefsState();
        std::unique_ptr<FakePortal> portal;
        if (c.portal) {
            portal = std::make_unique<FakePortal>(bus.address(), *c.portal);
            portal->setBindResponse(c.bindResponse);
        }
        start();
        ASSERT_TRUE(pumpUntil(queue, [&] { return prefs.hotKeyNote.has_value(); }));
        EXPECT_NE(prefs.hotKeyNote->find(c.note), std::string::npos) << *prefs.hotKeyNote;
        EXPECT_NE(prefs.hotKeyNote->find("\u201csorvane --toggle-panel\u201d"), std::string::npos);
        EXPECT_EQ(prefs.hotKeyDisplay, "Shift+Super+V") << "the stored combination stays shown";
        EXPECT_TRUE(log.contains("Sorvane: hotkey registration failed ("));
        EXPECT_TRUE(log.contains("bind `sorvane --toggle-panel` to a shortcut"));
        if (portal) {
            EXPECT_EQ(portal->bindings().size(), c.bindingsReceived);
        }
        manager.reset();
        shortcuts.reset();
    }
}

TEST_F(PortalGlobalShortcutsTest, ABusThatNeverAnswersHoldsNothingButItsOwnThread) {
    // A socket that takes connections and never says a word.
    const auto path = work.path() / "silent";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ScopedEnv silent("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path.string());

    // Registering and going away return although nothing ever answers.
    start();
    settle(queue);
    EXPECT_FALSE(manager->desktopTrigger());
    manager.reset();
    shortcuts.reset();
    ::close(listener);
}

TEST(PortalGlobalShortcutsOpen, NeedsASessionBus) {
    TempDir runtime;
    ScopedEnv noAddress("DBUS_SESSION_BUS_ADDRESS", "");
    ScopedEnv noRuntime("XDG_RUNTIME_DIR", runtime.path().string());
    sim::ManualMainQueue queue;
    EXPECT_EQ(PortalGlobalShortcuts::open(queue), nullptr);
}

} // namespace
} // namespace sorvane::testing

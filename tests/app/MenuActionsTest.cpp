// The panel's rows and what each action id does, on the real delegate with the
// simulated radio, real stores and recorders for the desktop.
#include "AppHarness.h"
#include "base/Hex.h"
#include "protocol/Uuids.h"

#include <gtest/gtest.h>

namespace sorvane::testing {
namespace {

using namespace std::chrono_literals;

class MenuActionsTest : public AppTest {
protected:
    void record(const std::string& text) { h.clipboard.copy(text); h.settle(); }
};

TEST_F(MenuActionsTest, RowsFollowPairingConnectionAndPause) {
    h.start();
    record("first copy");
    EXPECT_EQ(rowIds(), (std::vector<std::string>{"header:unpaired", "s", "hist:" + entryId(0), "s", "preferences",
                                                  "about", "check_updates", "quit"}));
    auto& p = h.connectPhone();
    ASSERT_TRUE(h.pairWithWindowOpen(p));
    auto rows = h.app->buildPanelItems();
    EXPECT_EQ(rows[0].id, "header:connected");
    EXPECT_EQ(rows[0].labelText(), "Phone \u00b7 Connected");
    EXPECT_TRUE(h.app->isPhoneConnected());

    h.app->handleMenuAction("toggle_pause");
    EXPECT_TRUE(s().syncPaused);
    EXPECT_TRUE(h.log.contains("Sorvane: sync paused"));
    EXPECT_EQ(h.app->buildPanelItems()[1].labelText(), "\u25b6 Resume Sync\tCtrl+P");
    h.app->handleMenuAction("toggle_pause");
    EXPECT_TRUE(h.log.contains("Sorvane: sync resumed"));
}

// The panel opens from the main queue and a toggle closes only an open one; an
// open panel follows the history, a hidden one is rebuilt when it opens.
TEST_F(MenuActionsTest, TogglingOpensFromTheQueueAndOnlyAnOpenPanelFollowsTheHistory) {
    h.start();
    // Free heap goes back once the history is read and once start-up settles,
    ASSERT_TRUE(h.pumpUntil([&] { return h.memoryReleases == 2; }));
    record("some text");
    h.app->togglePanel();
    h.app->togglePanel(); // a second click before the first has shown anything
    EXPECT_EQ(h.panel.shows, 0) << "the panel is shown from the main queue";
    h.mainQueue.runPending();
    EXPECT_EQ(h.panel.shows, 2);
    ASSERT_TRUE(h.panel.visible);
    // once after the panel was built (two shows in a row: once), not again
    // while it stays open, and once after it closed.
    ASSERT_TRUE(h.pumpUntil([&] { return h.memoryReleases == 3; }));
    EXPECT_FALSE(h.pumpUntil([&] { return h.memoryReleases > 3; }, std::chrono::milliseconds(100)));
    EXPECT_EQ(h.panel.items[2].id, "hist:" + entryId(0));
    h.app->togglePanel();
    EXPECT_FALSE(h.panel.visible);
    ASSERT_TRUE(h.pumpUntil([&] { return h.memoryReleases == 4; }));
    EXPECT_FALSE(h.pumpUntil([&] { return h.memoryReleases > 4; }, std::chrono::milliseconds(100)));
    // Commands from outside: activate opens, and keeps open; toggle-panel closes.
    for (int i = 0; i < 2; ++i) {
        h.app->handleRemoteCommand("activate");
        h.mainQueue.runPending();
        EXPECT_TRUE(h.panel.visible) << i;
    }
    h.app->handleRemoteCommand("toggle-panel");
    EXPECT_FALSE(h.panel.visible);

    const int updates = h.panel.updates;
    record("while hidden");
    EXPECT_EQ(h.panel.updates, updates) << "nobody sees a hidden panel: no rows built";
    h.app->togglePanel();
    h.mainQueue.runPending();
    EXPECT_EQ(h.panel.items[2].id, "hist:" + entryId(0));
    EXPECT_EQ(h.panel.items[3].id, "hist:" + entryId(1));
    record("while open");
    EXPECT_EQ(h.panel.items[2].id, "hist:" + entryId(0)) << "the open panel shows the new copy";

    // The panel's choices come back through onSelect, on the main thread.
    std::thread([&] { h.panel.onSelect("toggle_pause"); }).join();
    EXPECT_FALSE(s().syncPaused);
    h.mainQueue.runPending();
    EXPECT_TRUE(s().syncPaused);
}

TEST_F(MenuActionsTest, HistoryActionsCopyPasteAndSend) {
    auto& p = startAndPair();
    record("older text");
    record("newer text");
    const std::string older = entryId(1);

    // Enter-style copy: the clipboard, no send.
    h.app->handleMenuAction("hist:" + older);
    EXPECT_EQ(clipboardWrites().back(), "older text");
    EXPECT_TRUE(h.log.contains("hist Enter: autoPaste=true previousApp=nil"));
    EXPECT_FALSE(textTo(p, 300ms));

    // A tap copies and sends; paused, it copies only.
    h.app->handleMenuAction("hist_tap:" + older);
    EXPECT_EQ(textTo(p, 5s), "older text");
    h.app->handleMenuAction("toggle_pause");
    h.app->handleMenuAction("hist_tap:" + entryId(0));
    EXPECT_TRUE(h.log.contains("hist tap: autoPaste=true syncPaused=true previousApp=nil"));
    EXPECT_FALSE(textTo(p, 300ms));

    // A vanished entry and an unknown id.
    const size_t writes = clipboardWrites().size();
    const size_t lines = h.log.lines().size();
    h.app->handleMenuAction("hist:deadbeef:1");
    h.app->handleMenuAction("resend:hist:deadbeef:1");
    EXPECT_EQ(clipboardWrites().size(), writes);
    EXPECT_EQ(h.log.lines().size(), lines) << "a vanished entry is not worth a line";
    h.app->handleMenuAction("launch_rockets");
    EXPECT_TRUE(h.log.contains("unknown menu action: launch_rockets"));
}

// What Ctrl+Return (a resend from the panel) says, against what the phone gets.
TEST_F(MenuActionsTest, TheSendToastSaysWhatBecameOfTheText) {
    h.start();
    auto resend = [&](const std::string& id) {
        h.app->handleMenuAction("resend:hist:" + id);
        return h.panel.toasts.empty() ? std::string() : h.panel.toasts.back();
    };
    record("before pairing");
    auto& p = h.connectPhone();
    EXPECT_EQ(resend(entryId(0)), "Not sent \u2014 no phone paired");
    EXPECT_FALSE(textTo(p, 200ms));

    ASSERT_TRUE(h.pairWithWindowOpen(p));
    EXPECT_EQ(resend(entryId(0)), "Sent to phone");
    EXPECT_EQ(textTo(p, 5s), "before pairing");

    // A send by hand ignores both switches: paused sync, and auto-push (off).
    ASSERT_FALSE(s().autoPush);
    h.app->handleMenuAction("toggle_pause");
    EXPECT_EQ(resend(entryId(0)), "Sent to phone");
    EXPECT_EQ(textTo(p, 5s), "before pairing");
    h.app->handleMenuAction("toggle_pause");

    // Pressed again while the first is still being paced out: one frame only.
    const std::string big(100 * 200 - 64, 'b');
    record(big);
    EXPECT_EQ(resend(entryId(0)), "Sent to phone");
    EXPECT_EQ(resend(entryId(0)), "Already on its way to the phone");
    EXPECT_TRUE(textTo(p, 5s) == big);
    EXPECT_FALSE(textTo(p, 300ms));
    ASSERT_TRUE(h.pumpUntil([&] { return resend(entryId(0)) == "Sent to phone"; }))
        << "once it has left, the same entry can be sent again";
    EXPECT_TRUE(textTo(p, 5s) == big);

    // Too large for GATT, with no L2CAP channel.
    const std::string huge(SorvaneAppDelegate::kMaxGattChunks * 200, 'h');
    record(huge);
    EXPECT_EQ(resend(entryId(0)), "Not sent \u2014 too large without a fast channel to the phone");

    // The phone gone: held for its return, and said so.
    p.central->disconnect();
    h.settle();
    EXPECT_EQ(resend(entryId(1)), "Phone not connected \u2014 sends when it reconnects");

    // Bluetooth off.
    h.radio.setState(ManagerState::poweredOff);
    ASSERT_TRUE(h.logged("bluetooth powered off"));
    EXPECT_EQ(resend(entryId(1)), "Not sent \u2014 Bluetooth is off");
}

// Clear, unpair and quit ask first and do nothing on Return (the default); quit
// asked for from outside does not ask. A
// confirmed unpair tells the phone, forgets it and resets, even with none connected.
TEST_F(MenuActionsTest, DestructiveCommandsNeedTheActionButton) {
    auto& p = startAndPair();
    record("keep me");
    h.alerts.answer = false;
    h.app->handleMenuAction("clear_history");
    h.app->handleMenuAction("header:connected");
    h.app->handleMenuAction("quit");
    EXPECT_EQ(h.alerts.confirmations,
              (std::vector<std::string>{"Clear all history?", "Unpair this phone?", "Quit Sorvane?"}));
    EXPECT_EQ(entries(), 1u);
    EXPECT_TRUE(std::filesystem::exists(h.dataDir() / "peers.json"));
    EXPECT_EQ(h.application.terminations, 0);
    h.app->handleRemoteCommand("quit"); // asked for explicitly: no confirmation
    EXPECT_EQ(h.application.terminations, 1);
    EXPECT_EQ(h.alerts.confirmations.size(), 3u);

    h.alerts.answer = true;
    h.app->handleMenuAction("clear_history");
    EXPECT_EQ(entries(), 0u);
    h.app->handleMenuAction("unpair");
    EXPECT_EQ(h.nextControl(p, 5s), CONTROL_UNPAIR);
    EXPECT_FALSE(std::filesystem::exists(h.dataDir() / "peers.json"));
    EXPECT_FALSE(s().session);
    EXPECT_EQ(s().connectedCount, 0);
    EXPECT_EQ(rowIds()[0], "header:unpaired");
    EXPECT_TRUE(h.log.contains("unpair: user confirmed \u2014 clearing peer and notifying phone"));
    h.centrals.clear();
    h.settle();
    h.app->handleMenuAction("unpair");
    EXPECT_EQ(h.log.count("unpair: user confirmed"), 2u);
    EXPECT_EQ(s().connectedCount, 0);

    h.app->handleMenuAction("quit");
    EXPECT_EQ(h.application.terminations, 2);
}

// The window shows this desktop's code. A new phone pairs only while it is open
// and only with a good hello: after the user closed it the phone is told to
// forget us; bad hellos change nothing; a good one is stored, acknowledged and
// closes the window. Without Bluetooth there is no window.
TEST_F(MenuActionsTest, ANewPhonePairsOnlyWithAGoodHelloWhileTheWindowIsOpen) {
    h.start();
    auto& p = h.connectPhone();
    h.app->handleMenuAction("header:unpaired");
    ASSERT_TRUE(h.pairingWindow.open);
    const auto& identity = *s().identity;
    ASSERT_EQ(h.pairingWindow.shownPayloads.size(), 1u);
    EXPECT_EQ(h.pairingWindow.shownPayloads[0], buildQRPayload(identity.deviceID, identity.signingKey.publicKey()));
    EXPECT_EQ(h.pairingWindow.shownIdentity, identity.signingKey.publicKey().raw());

    h.pairingWindow.open = false; // the user closed it before the phone wrote
    EXPECT_FALSE(h.pair(p));
    EXPECT_EQ(h.nextControl(p, 5s), CONTROL_UNPAIR);
    EXPECT_FALSE(s().session);
    EXPECT_TRUE(peers().empty());
    EXPECT_FALSE(std::filesystem::exists(h.dataDir() / "peers.json"));

    // Bad hellos with the window open change nothing.
    h.app->pairAction();
    ASSERT_TRUE(h.pairingWindow.open);
    EXPECT_FALSE(h.pair(p, phone::HelloFault::badSignature));
    EXPECT_TRUE(h.log.contains("pairing: signature check failed"));
    EXPECT_FALSE(s().session);
    EXPECT_TRUE(h.pairingWindow.open);
    auto raw = h.radio.connectCentral();
    ASSERT_EQ(raw->write(charPairing, Bytes(100, 1)), AttResult::success);
    h.settle();
    EXPECT_TRUE(h.log.contains("pairing: failed: PairingHello too short: 100"));
    EXPECT_TRUE(peers().empty());

    // A good one: stored, acknowledged, window closed.
    EXPECT_TRUE(h.pair(p)) << "the ack arrives";
    EXPECT_TRUE(s().session);
    EXPECT_FALSE(h.pairingWindow.open);
    EXPECT_EQ(h.pairingWindow.closes, 1);
    const auto stored = peers();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].identityPubkeyEd25519Hex, Hex::encode(p.phone->identity().publicKey().raw()));
    EXPECT_EQ(stored[0].deviceIDHex, Hex::encode(p.phone->deviceID()));
    EXPECT_FALSE(stored[0].phoneName);
    EXPECT_TRUE(h.log.contains("pairing: Ack sent \u2713"));

    // With Bluetooth off the alert shows instead, posted rather than shown inside the caller.
    h.radio.setState(ManagerState::poweredOff);
    h.settle();
    h.app->handleMenuAction("header:unpaired");
    EXPECT_EQ(h.alerts.shown, 0);
    h.mainQueue.runPending();
    EXPECT_EQ(h.alerts.shown, 1);
    EXPECT_EQ(h.pairingWindow.shownPayloads.size(), 2u) << "no window";
}

} // namespace
} // namespace sorvane::testing

// The preferences as the delegate serves them: the snapshot the window opens
// on, and what each message changes in the history file, the user defaults,
// the tray, the shortcut and the updater.
#include "AppHarness.h"
#include "protocol/PairingHandshake.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace sorvane::testing {
namespace {

class PreferencesTest : public AppTest {
protected:
    void SetUp() override { h.start(); }
    void send(const std::string& message) { h.app->handlePrefChange(message); }
    int64_t maxEntries() { return s().history->snapshot().maxEntries; }
    // The history file once everything changed so far is written.
    nlohmann::json historyFile() {
        s().history->flush();
        return nlohmann::json::parse(*h.readData("history.json"));
    }
    nlohmann::json defaultsFile() {
        std::ifstream in(h.dir.path() / "config" / "defaults.json");
        return nlohmann::json::parse(in);
    }
    // Opens the preferences as the panel's command does.
    PrefsState& open() {
        h.app->handleMenuAction("preferences");
        h.mainQueue.runPending();
        return prefsState();
    }
};

TEST_F(PreferencesTest, MalformedAndUnknownMessagesChangeNothing) {
    const size_t linesBefore = h.log.lines().size();
    for (const char* bad : {"max_history:", "max_history:2O", "max_history:2 5", "max_history: 25",
                            "max_history:++25", "max_history:9223372036854775808", "max_history", "volume:11",
                            "Max_history:10", "hotkey:9", "hotkey:9:", "hotkey:9:x", "hotkey:4294967296:256",
                            "hotkey:1:2:3", "tray_icon:doc.on.docs", "tray_icon:"})
        send(bad);
    EXPECT_EQ(maxEntries(), 50);
    EXPECT_EQ(h.hotKey.grabbed, (std::pair<uint32_t, uint32_t>{9, 0x300}));
    EXPECT_EQ(h.statusItem.iconChoice, "");
    EXPECT_EQ(h.log.lines().size(), linesBefore) << "malformed messages are ignored silently";

    // Only exactly "true" is true.
    send("auto_push:true");
    EXPECT_TRUE(s().autoPush);
    send("auto_push:TRUE");
    EXPECT_FALSE(s().autoPush);
}

TEST_F(PreferencesTest, EachMessageReachesWhereItsSettingLives) {
    send("max_history:+25");
    EXPECT_EQ(maxEntries(), 25);
    send("max_history:0");
    EXPECT_EQ(maxEntries(), 1);
    EXPECT_EQ(historyFile()["max_entries"], 1);

    send("auto_apply:false");
    EXPECT_EQ(historyFile()["auto_apply_incoming"], false);

    send("auto_paste:false");
    EXPECT_FALSE(s().autoPaste);
    EXPECT_EQ(defaultsFile()["auto_paste"], false);

    send("sync_paused:true");
    send("sync_paused:true"); // applied again: still paused
    EXPECT_TRUE(s().syncPaused);
    EXPECT_EQ(h.log.count("Sorvane: sync paused from Preferences"), 2u);
    send("sync_paused:false");
    EXPECT_TRUE(h.log.contains("Sorvane: sync resumed from Preferences"));

    send("auto_update_check:false");
    EXPECT_EQ(defaultsFile()["auto_update_check"], false);
    EXPECT_EQ(h.updater.automaticChecks, false);
    EXPECT_FALSE(h.app->isAutoUpdateCheckEnabled());
    send("check_updates:true");
    EXPECT_EQ(h.updater.manualChecks, 1);

    send("tray_icon:doc.on.doc");
    EXPECT_EQ(h.statusItem.iconChoice, "doc.on.doc");
    EXPECT_TRUE(h.log.contains("Sorvane: tray icon changed to Documents"));
}

TEST_F(PreferencesTest, ARecordedShortcutReplacesTheGrabAndIsStored) {
    send("hotkey:40:6400"); // K with Ctrl, Alt and Super
    EXPECT_EQ(h.hotKey.grabbed, (std::pair<uint32_t, uint32_t>{40, 0x1900}));
    EXPECT_EQ(defaultsFile()["hotkey_keyCode"], 40);
    EXPECT_EQ(defaultsFile()["hotkey_modifiers"], 0x1900);
    EXPECT_TRUE(h.log.contains("Sorvane: hotkey changed to Ctrl+Alt+Super+K"));

    // A combination the desktop refuses leaves no grab and says so.
    h.hotKey.status = 10;
    send("hotkey::9::768"); // empty pieces are dropped
    EXPECT_FALSE(h.hotKey.grabbed.has_value());
    EXPECT_TRUE(h.log.contains("Sorvane: hotkey registration failed (status 10)"));
    EXPECT_EQ(HotKeyCombo::load(h.defaults), (HotKeyCombo{9, 0x300}));
}

TEST_F(PreferencesTest, TheWindowOpensOnWhatIsTrueNow) {
    PrefsState& state = open();
    EXPECT_EQ(h.preferencesWindow.shown, 1);
    EXPECT_FALSE(h.panel.visible);
    EXPECT_EQ(state.maxHistory, 50);
    EXPECT_EQ(state.hotKeyDisplay, "Shift+Super+V");
    EXPECT_EQ(state.localFingerprint,
              fingerprintHex(s().identity->signingKey.publicKey().raw()));
    EXPECT_FALSE(state.peerFingerprint.has_value()) << "no phone paired";

    auto& p = h.connectPhone();
    ASSERT_TRUE(h.pairWithWindowOpen(p));
    EXPECT_EQ(open().peerFingerprint, fingerprintHex(p.phone->identity().publicKey().raw()));

    // The pause set from the panel shows in the open window.
    h.app->handleMenuAction("toggle_pause");
    h.mainQueue.runPending();
    EXPECT_TRUE(state.syncPaused);

    // A peers file that cannot be read leaves the phone's line out.
    std::ofstream(h.dataDir() / "peers.json", std::ios::trunc) << "{not json";
    EXPECT_FALSE(open().peerFingerprint.has_value());
}

TEST_F(PreferencesTest, LoweringTheLimitBelowTheHistoryAsksFirst) {
    for (int i = 0; i < 30; ++i)
        h.clipboard.copy("clip " + std::to_string(i));
    h.settle();
    ASSERT_TRUE(h.pumpUntil([&] { return entries() == 30; }));
    PrefsState& state = open();
    std::vector<std::string> sent;
    auto forward = state.onChange;
    state.onChange = [&](const std::string& m) {
        sent.push_back(m);
        forward(m);
    };

    h.alerts.answer = false;
    state.chooseMaxHistory(10);
    ASSERT_EQ(h.alerts.confirmations, std::vector<std::string>{"Reduce history limit?"});
    EXPECT_EQ(state.maxHistory, 50) << "the picker goes back";
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(entries(), 30u);

    h.alerts.answer = true;
    state.chooseMaxHistory(10);
    EXPECT_EQ(sent, std::vector<std::string>{"max_history:10"});
    EXPECT_EQ(entries(), 10u);

    state.chooseMaxHistory(200); // raising never asks
    EXPECT_EQ(h.alerts.confirmations.size(), 2u);
    EXPECT_EQ(maxEntries(), 200);
}

TEST_F(PreferencesTest, LaunchAtLoginRemembersAnOptOutOnlyWhenTheChangeTookEffect) {
    PrefsState& state = open();
    state.setLaunchAtLogin(true);
    EXPECT_TRUE(h.installer.loginItem);
    EXPECT_EQ(defaultsFile()["launch_at_login_opted_out"], false);
    state.setLaunchAtLogin(false);
    EXPECT_EQ(defaultsFile()["launch_at_login_opted_out"], true);

    h.installer.refusal = "the autostart folder is read-only";
    state.setLaunchAtLogin(true);
    EXPECT_FALSE(state.launchAtLogin) << "the toggle shows what the desktop reports";
    EXPECT_TRUE(h.log.contains("Launch at login toggle failed: the autostart folder is read-only"));
    EXPECT_EQ(defaultsFile()["launch_at_login_opted_out"], true);
}

} // namespace
} // namespace sorvane::testing

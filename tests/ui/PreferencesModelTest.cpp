// The preferences model without a window: what each control sends, the
// confirmation before the limit drops below the history's size, the shortcut
// recorder's rules, and launch at login snapping back when the desktop refuses.
#include "ui/Preferences.h"

#include <gtest/gtest.h>

namespace sorvane {
namespace {

struct Model {
    PrefsState state;
    std::vector<std::string> sent;
    int redraws = 0;
    Model() {
        state.onChange = [this](const std::string& m) { sent.push_back(m); };
        state.observe([this] { ++redraws; });
    }
};

TEST(PreferencesModelTest, ReduceTextCountsTheClippingsThatGo) {
    EXPECT_EQ(reduceHistoryInformativeText(10, 30),
              "This will remove the 20 oldest clippings from Sorvane. This cannot be undone.");
    EXPECT_EQ(reduceHistoryInformativeText(10, 11),
              "This will remove the 1 oldest clipping from Sorvane. This cannot be undone.");
    EXPECT_EQ(reduceHistoryInformativeText(50, 30),
              "This will remove the 0 oldest clippings from Sorvane. This cannot be undone.");
}

TEST(PreferencesModelTest, ControlsSendTheirMessagesOncePerChange) {
    Model m;
    m.state.setSyncEnabled(false);
    m.state.setSyncEnabled(false); // no change, nothing sent
    m.state.setAutoApply(false);
    m.state.setAutoPush(true);
    m.state.setAutoPaste(false);
    m.state.setAutoUpdateCheck(false);
    m.state.clearHistory();
    m.state.checkForUpdates();
    std::optional<TrayIconChoice> saved;
    m.state.platform.saveTrayIcon = [&](TrayIconChoice c) { saved = c; };
    m.state.setTrayIcon(TrayIconChoice::scissors);
    m.state.setLaunchAtLogin(true); // no way to register here: it fails, and sends nothing
    EXPECT_FALSE(m.state.launchAtLogin) << "the toggle shows what the desktop reports";
    EXPECT_EQ(m.sent, (std::vector<std::string>{"sync_paused:true", "auto_apply:false", "auto_push:true",
                                                "auto_paste:false", "auto_update_check:false",
                                                "clear_history:true", "check_updates:true", "tray_icon:scissors"}));
    EXPECT_EQ(saved, TrayIconChoice::scissors) << "the symbol is stored before its message goes";

    // The program's own change is shown, not sent back.
    const size_t before = m.sent.size();
    const int redraws = m.redraws;
    m.state.followSyncPaused(false);
    EXPECT_FALSE(m.state.syncPaused);
    EXPECT_GT(m.redraws, redraws);
    EXPECT_EQ(m.sent.size(), before);
}

TEST(PreferencesModelTest, TheLimitPickerAsksBeforeLoweringBelowTheCountAndSnapsBack) {
    Model m;
    PrefsDef def;
    def.maxHistory = 50;
    def.historyCountProvider = [] { return int64_t{30}; };
    m.state.load(def);
    std::optional<std::pair<int64_t, int64_t>> asked;
    bool answer = false;
    m.state.confirmReduceHistory = [&](int64_t newMax, int64_t count, std::function<void(bool)> done) {
        asked = {newMax, count};
        done(answer);
    };

    m.state.chooseMaxHistory(10);
    EXPECT_EQ(asked, (std::pair<int64_t, int64_t>{10, 30}));
    EXPECT_EQ(m.state.maxHistory, 50);
    EXPECT_TRUE(m.sent.empty());

    asked.reset();
    m.state.chooseMaxHistory(100); // above the count: no question
    m.state.chooseMaxHistory(25);
    EXPECT_EQ(m.sent, (std::vector<std::string>{"max_history:100"}));
    ASSERT_TRUE(asked);
    EXPECT_EQ(m.state.maxHistory, 100) << "back to the last accepted limit, not the one loaded";

    answer = true;
    m.state.chooseMaxHistory(25);
    EXPECT_EQ(m.sent.back(), "max_history:25");
    EXPECT_EQ(m.state.maxHistory, 25);

    // Without a way to ask, the change goes through.
    m.state.confirmReduceHistory = nullptr;
    m.state.chooseMaxHistory(10);
    EXPECT_EQ(m.sent.back(), "max_history:10");
}

TEST(PreferencesModelTest, TheRecorderTakesOnlyCombinationsWithCtrlOrSuper) {
    Model m;
    m.state.platform.storedHotKey = [] { return HotKeyCombo{40, hotkeymask::ctrl}; };
    m.state.startRecordingHotKey();
    EXPECT_EQ(m.state.hotKeyDisplay, "Type shortcut\u2026");
    EXPECT_FALSE(m.state.captureHotKey({40, 0}));
    EXPECT_FALSE(m.state.captureHotKey({40, hotkeymask::shift | hotkeymask::alt}));
    EXPECT_TRUE(m.state.isRecordingHotKey);
    EXPECT_TRUE(m.sent.empty());

    EXPECT_TRUE(m.state.captureHotKey({40, hotkeymask::super | hotkeymask::alt}));
    EXPECT_FALSE(m.state.isRecordingHotKey);
    EXPECT_EQ(m.state.hotKeyDisplay, "Alt+Super+K");
    EXPECT_EQ(m.sent, std::vector<std::string>{"hotkey:40:2304"});

    m.state.startRecordingHotKey();
    m.state.stopRecordingHotKey(); // cancelled: the stored one shows again
    EXPECT_EQ(m.state.hotKeyDisplay, "Ctrl+K");
    EXPECT_EQ(m.sent.size(), 1u);
}

// A desktop that answers later: its trigger replaces the combination, a
// recording in progress keeps its prompt, and a new combination forgets the
// desktop's words for the old one until the desktop speaks again.
TEST(PreferencesModelTest, TheRecorderShowsTheDesktopsTriggerOnceItComes) {
    Model m;
    HotKeyCombo stored{40, hotkeymask::ctrl};
    m.state.platform.storedHotKey = [&] { return stored; };
    int published = 0;
    m.state.observe([&] { ++published; });
    m.state.followHotKeyStatus("Ctrl+Meta+K", std::nullopt);
    EXPECT_EQ(m.state.hotKeyDisplay, "Ctrl+Meta+K");
    EXPECT_EQ(published, 1);

    m.state.startRecordingHotKey();
    m.state.followHotKeyStatus("Ctrl+Meta+K", "The desktop did not allow the shortcut.");
    EXPECT_EQ(m.state.hotKeyDisplay, "Type shortcut\u2026");
    EXPECT_EQ(m.state.hotKeyNote, "The desktop did not allow the shortcut.");
    m.state.stopRecordingHotKey();
    EXPECT_EQ(m.state.hotKeyDisplay, "Ctrl+Meta+K");

    m.state.startRecordingHotKey();
    ASSERT_TRUE(m.state.captureHotKey({9, hotkeymask::super}));
    stored = {9, hotkeymask::super};
    m.state.startRecordingHotKey();
    m.state.stopRecordingHotKey();
    EXPECT_EQ(m.state.hotKeyDisplay, "Super+V");
    m.state.followHotKeyStatus(std::nullopt, std::nullopt);
    EXPECT_FALSE(m.state.hotKeyNote);
}

} // namespace
} // namespace sorvane

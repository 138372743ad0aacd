// The preferences window as a user meets it, driven by real mouse and key
// events: the tabs and the title, the rows dimmed while sync is paused (also
// when the pause comes from the panel while the window is open), the limit
// picker's confirmation and snap-back, the shortcut recorder, the Security tab
// with and without a paired phone, launch at login outside an installed place,
// and which window a second opening and Ctrl+W leave. Offscreen, and with
// --x11 on Xvfb with openbox.
#include "adapters/qt/ui/PreferencesWindow.h"
#include "qtui/QtUiTestEnv.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

namespace sorvane::testing {
namespace {

class PreferencesWindowTest : public ::testing::Test {
protected:
    PrefsState state;
    SorvanePreferences preferences{state};
    std::vector<std::string> sent;
    HotKeyCombo stored;

    void SetUp() override {
        state.onChange = [this](const std::string& m) { sent.push_back(m); };
        state.platform.storedHotKey = [this] { return stored; };
        PrefsDef def;
        def.localFingerprint = "24f6 ed6a cbfe 1009";
        def.historyCountProvider = [] { return int64_t{30}; };
        state.load(def);
    }
    PreferencesWindow* open() {
        preferences.show();
        PreferencesWindow* window = preferences.window();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
        return window;
    }
    static bool dimmed(QWidget* row) {
        auto* effect = qobject_cast<QGraphicsOpacityEffect*>(row->graphicsEffect());
        return !row->isEnabled() && effect && effect->isEnabled() && effect->opacity() < 0.6;
    }
    static void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
};

TEST_F(PreferencesWindowTest,
       TabsNameTheWindowSecurityShowsThePairedPhoneAndASecondOpeningKeepsTheTab) {
    PreferencesWindow* window = open();
    EXPECT_EQ(window->size(), QSize(520, 600));
    EXPECT_EQ(window->windowTitle(), "Sync");
    click(window->tabButton(PrefsTab::security));
    EXPECT_EQ(window->windowTitle(), "Security");

    // The phone's line shows only once a phone is paired.
    EXPECT_EQ(window->fingerprintLabel("Your Mac")->text(), "24f6 ed6a cbfe 1009");
    EXPECT_FALSE(window->row("Paired phone")->isVisible());
    PrefsDef paired;
    paired.localFingerprint = "24f6 ed6a cbfe 1009";
    paired.peerFingerprint = "6668 7aad f862 bd77";
    state.load(paired);
    EXPECT_TRUE(window->row("Paired phone")->isVisible());
    EXPECT_EQ(window->fingerprintLabel("Paired phone")->text(), "6668 7aad f862 bd77");
    EXPECT_TRUE(window->fingerprintLabel("Paired phone")->textInteractionFlags() &
                Qt::TextSelectableByMouse);

    preferences.show();
    EXPECT_EQ(preferences.window(), window);
    EXPECT_EQ(window->selectedTab(), PrefsTab::security);

    QTest::keyClick(window, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(window->isVisible());
    PreferencesWindow* again = open();
    EXPECT_EQ(again->windowTitle(), "Sync") << "a new window starts on Sync";
}

// The Sync tab: the switches send their change and the pause dims the rows
// under it; lowering the limit asks, and a cancel puts the picker back.
TEST_F(PreferencesWindowTest, SyncTabSwitchesLimitAndClearingTheHistory) {
    std::optional<std::pair<int64_t, int64_t>> asked;
    bool answer = false;
    state.confirmReduceHistory = [&](int64_t newMax, int64_t count,
                                     std::function<void(bool)> done) {
        asked = {newMax, count};
        done(answer);
    };
    PreferencesWindow* window = open();
    QAbstractButton* sync = window->toggle("Clipboard sync");
    ASSERT_TRUE(sync->isChecked());
    click(window->toggle("Auto-send clipboards"));
    click(sync);
    EXPECT_EQ(sent, (std::vector<std::string>{"auto_push:true", "sync_paused:true"}));
    EXPECT_TRUE(dimmed(window->row("Auto-apply phone clipboards")));
    EXPECT_TRUE(dimmed(window->row("Auto-send clipboards")));

    // Resumed from the panel while the window is open: it follows, says nothing.
    state.followSyncPaused(false);
    EXPECT_TRUE(sync->isChecked());
    EXPECT_FALSE(dimmed(window->row("Auto-apply phone clipboards")));
    EXPECT_EQ(sent.size(), 2u);

    sent.clear();
    ASSERT_TRUE(window->limitSegment(50)->isChecked());
    click(window->limitSegment(10));
    EXPECT_EQ(asked, (std::pair<int64_t, int64_t>{10, 30}));
    EXPECT_TRUE(window->limitSegment(50)->isChecked()) << "cancelled: back on 50";
    EXPECT_TRUE(sent.empty());

    answer = true;
    click(window->limitSegment(10));
    EXPECT_TRUE(window->limitSegment(10)->isChecked());
    click(window->limitSegment(200));
    EXPECT_EQ(sent, (std::vector<std::string>{"max_history:10", "max_history:200"}));

    click(window->clearHistoryButton());
    EXPECT_EQ(sent.back(), "clear_history:true");
}

// The General tab: the shortcut recorder takes real key presses; launch at
// login and the tray symbol.
TEST_F(PreferencesWindowTest, GeneralTabRecorderLaunchAtLoginAndTraySymbol) {
    PreferencesWindow* window = open();
    click(window->tabButton(PrefsTab::general));
    QPushButton* button = window->hotKeyButton();
    EXPECT_EQ(button->text(), "Shift+Super+V");
    click(button);
    EXPECT_EQ(button->text(), "Type shortcut\u2026");
    QApplication::processEvents();
    QTest::keyClick(button, Qt::Key_K); // no Ctrl or Super: still recording
    QTest::keyClick(button, Qt::Key_K, Qt::ShiftModifier | Qt::AltModifier);
    EXPECT_TRUE(state.isRecordingHotKey);
    QTest::keyClick(button, Qt::Key_Escape);
    EXPECT_EQ(button->text(), "Shift+Super+V");
    EXPECT_TRUE(sent.empty());

    click(button);
    QApplication::processEvents();
    QTest::keyClick(button, Qt::Key_W, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(button->text(), "Ctrl+Alt+W");
    EXPECT_EQ(sent, std::vector<std::string>{"hotkey:13:6144"});
    EXPECT_TRUE(window->isVisible()) << "Ctrl+W while recording is recorded, not run";

    // A desktop that answers later: its trigger on the button, its refusal as
    // a note under it, in the row's space.
    QLabel* note = window->hotKeyNote();
    EXPECT_FALSE(note->isVisible());
    state.followHotKeyStatus("Ctrl+Alt+K", std::nullopt);
    EXPECT_EQ(button->text(), "Ctrl+Alt+K");
    state.followHotKeyStatus(std::nullopt, unavailableHotKeyNote(HotKeyOutcome::Result::refused));
    EXPECT_TRUE(note->isVisible());
    EXPECT_EQ(note->text().toStdString(), unavailableHotKeyNote(HotKeyOutcome::Result::refused));
    EXPECT_EQ(button->text(), "Shift+Super+V") << "the stored combination, without the desktop's words";
    QApplication::processEvents();
    EXPECT_GE(areaIn(window, note).top(), areaIn(window, window->row("Global shortcut")).bottom())
        << "under the recorder";
    for (const auto result : {HotKeyOutcome::Result::noService, HotKeyOutcome::Result::refused,
                              HotKeyOutcome::Result::failed}) {
        const QString text = QString::fromStdString(unavailableHotKeyNote(result));
        EXPECT_LE(note->fontMetrics().horizontalAdvance(text), note->contentsRect().width())
            << "one line: " << text.toStdString();
    }
    state.followHotKeyStatus(std::nullopt, std::nullopt);
    EXPECT_FALSE(note->isVisible());

    // Launch at login waits for an installed copy.
    QWidget* launch = window->row("Launch at login");
    EXPECT_TRUE(dimmed(launch));
    EXPECT_TRUE(std::ranges::any_of(launch->findChildren<QLabel*>(), [](QLabel* label) {
        return label->text() == "Install Sorvane in ~/Applications/ to enable this.";
    }));

    bool registered = false;
    state.platform.installedInApplications = [] { return true; };
    state.platform.launchAtLoginEnabled = [&] { return registered; };
    state.platform.setLaunchAtLogin = [&](bool on) -> std::optional<std::string> {
        registered = on;
        return std::nullopt;
    };
    state.load({});
    EXPECT_FALSE(dimmed(launch));
    click(window->toggle("Launch at login"));
    EXPECT_TRUE(registered);

    // The tray symbol is chosen with the keys.
    QComboBox* picker = window->trayIconPicker();
    std::optional<TrayIconChoice> saved;
    state.platform.saveTrayIcon = [&](TrayIconChoice c) { saved = c; };
    picker->setFocus();
    QTest::keyClick(picker, Qt::Key_Down);
    EXPECT_EQ(saved, TrayIconChoice::clipboardFill);
    EXPECT_EQ(sent.back(), "tray_icon:doc.on.clipboard.fill");
}

} // namespace
} // namespace sorvane::testing

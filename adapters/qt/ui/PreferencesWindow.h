// The preferences window: four tabs (Sync, General, Security, Help) over the
// process's one PrefsState. Every control writes through PrefsState, which
// sends the change to the application; every change of PrefsState, from the
// window or from the program (the pause from the panel), redraws the controls.
// A normal window of 520 × 600 that cannot be resized; its title is the shown
// tab's name; Ctrl+W closes it.
//
// SorvanePreferences is the service the delegate drives: it keeps the last
// window, raises it while it is open, and makes a new one (on the Sync tab,
// centred on the screen under the pointer) once the user has closed it.
//
// Thread-safety: main thread only, with a QApplication.
#pragma once

#include "ui/Preferences.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QAbstractButton;
class QButtonGroup;
class QComboBox;
class QKeyEvent;
class QLabel;
class QPushButton;
class QStackedWidget;

namespace sorvane {

class PreferencesWindow final : public QWidget {
public:
    static constexpr int kWidth = 520;
    static constexpr int kHeight = 600;

    explicit PreferencesWindow(PrefsState& state, QWidget* parent = nullptr);
    ~PreferencesWindow() override;

    PrefsTab selectedTab() const { return m_tab; }
    void selectTab(PrefsTab tab);

    // The controls, for the tests and the screenshots.
    QAbstractButton* tabButton(PrefsTab tab) const;
    QAbstractButton* toggle(const QString& title) const;
    QWidget* row(const QString& title) const;
    QAbstractButton* limitSegment(int64_t limit) const;
    QPushButton* clearHistoryButton() const { return m_clearHistory; }
    QPushButton* checkNowButton() const { return m_checkNow; }
    QPushButton* hotKeyButton() const { return m_hotKey; }
    // The note under the shortcut recorder; hidden while there is none.
    QLabel* hotKeyNote() const { return m_hotKeyNote; }
    QComboBox* trayIconPicker() const { return m_trayIcon; }
    QLabel* fingerprintLabel(const QString& label) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Builder;
    void refresh();
    bool recordKey(QKeyEvent* event);

    PrefsState& m_state;
    int m_observer = -1;
    PrefsTab m_tab = PrefsTab::sync;
    QStackedWidget* m_pages = nullptr;
    std::vector<std::pair<PrefsTab, QAbstractButton*>> m_tabButtons;
    // Each row by its title, with what it shows.
    std::vector<std::pair<QString, QWidget*>> m_rows;
    std::vector<std::pair<QString, QAbstractButton*>> m_toggles;
    std::vector<std::pair<int64_t, QAbstractButton*>> m_segments;
    QButtonGroup* m_limitGroup = nullptr;
    QPushButton* m_clearHistory = nullptr;
    QPushButton* m_checkNow = nullptr;
    QPushButton* m_hotKey = nullptr;
    QLabel* m_hotKeyNote = nullptr;
    QComboBox* m_trayIcon = nullptr;
    QLabel* m_localFingerprint = nullptr;
    QLabel* m_peerFingerprint = nullptr;
    QWidget* m_peerRow = nullptr;
    QWidget* m_localDivider = nullptr;
    QLabel* m_launchSubtitle = nullptr;
    bool m_refreshing = false;
};

class SorvanePreferences final : public PreferencesWindowView {
public:
    explicit SorvanePreferences(PrefsState& state = prefsState());
    ~SorvanePreferences() override;

    void show() override;
    // The window last made here, open or closed; null before the first show().
    PreferencesWindow* window() const { return m_window.get(); }

private:
    PrefsState& m_state;
    std::unique_ptr<PreferencesWindow> m_window;
};

// The version the program shows ("0.1.0" when the build names none) and the
// host name of its web site, where updates are looked for.
QString applicationVersionText();
QString websiteHost();

} // namespace sorvane

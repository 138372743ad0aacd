// The preferences as the window edits them: a snapshot of the settings handed
// over at each opening (PrefsDef), the one observable model the window draws
// (PrefsState), and the messages through which every change goes back to the
// application ("key:value", applied by the delegate).
//
// Thread-safety: main thread only.
#pragma once

#include "ui/HotKeyCombo.h"
#include "ui/TrayIconChoice.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace sorvane {

enum class PrefsTab { sync, general, security, help };
inline constexpr std::array<PrefsTab, 4> allPrefsTabs = {PrefsTab::sync, PrefsTab::general,
                                                         PrefsTab::security, PrefsTab::help};
// "Sync", "General", "Security", "Help": the tab's label and the window's title.
std::string_view title(PrefsTab tab);

// The limits the history picker offers.
inline constexpr std::array<int64_t, 5> historyLimitChoices = {10, 25, 50, 100, 200};

struct PrefsDef {
    int64_t maxHistory = 50;
    std::function<int64_t()> historyCountProvider;
    bool autoPush = false;
    bool autoApply = true;
    bool autoPaste = true;
    bool syncPaused = false;
    HotKeyCombo hotKeyCombo;
    // The trigger as the desktop reported it, shown instead of the combination.
    std::optional<std::string> hotKeyTrigger;
    // Why the desktop does not bind the shortcut, under the recorder.
    std::optional<std::string> hotKeyNote;
    TrayIconChoice trayIcon = defaultTrayIconChoice;
    std::string localFingerprint;
    std::optional<std::string> peerFingerprint;
    bool autoUpdateCheck = true;
};

// What the window cannot decide itself: launch at login talks to the desktop's
// autostart directly, and the chosen symbol is stored before its message goes.
struct PrefsPlatform {
    // The program runs from a place launch at login can name.
    std::function<bool()> installedInApplications = [] { return false; };
    std::function<bool()> launchAtLoginEnabled = [] { return false; };
    // Nothing on success, otherwise what went wrong.
    std::function<std::optional<std::string>(bool)> setLaunchAtLogin;
    std::function<void(TrayIconChoice)> saveTrayIcon;
    // The shortcut as stored now (what a cancelled recording shows again).
    std::function<HotKeyCombo()> storedHotKey;
};

// "This will remove the 20 oldest clippings from Sorvane. This cannot be
// undone." (no "s" for one); never a negative count.
std::string reduceHistoryInformativeText(int64_t newMax, int64_t currentCount);

class PrefsState {
public:
    using ConfirmReduce = std::function<void(int64_t newMax, int64_t currentCount, std::function<void(bool)> done)>;

    // Published: a change calls every observer.
    bool launchAtLogin = false;
    int64_t maxHistory = 50;
    bool autoPush = false;
    bool autoApply = true;
    bool autoPaste = true;
    bool syncPaused = false;
    std::string hotKeyDisplay = HotKeyCombo{}.displayString();
    bool isRecordingHotKey = false;
    // A line under the recorder when the desktop does not bind the shortcut.
    std::optional<std::string> hotKeyNote;
    TrayIconChoice trayIcon = defaultTrayIconChoice;
    std::string localFingerprint = "\u2014";
    std::optional<std::string> peerFingerprint;
    bool autoUpdateCheck = true;

    // Not published.
    std::function<int64_t()> historyCountProvider = [] { return int64_t{0}; };
    ConfirmReduce confirmReduceHistory;
    std::function<void(const std::string&)> onChange;
    PrefsPlatform platform;

    // Copies the snapshot; launchAtLogin from the platform at this moment.
    // isRecordingHotKey stays as it is.
    void load(const PrefsDef& def);

    // Observers run after each published change; the id removes one.
    int observe(std::function<void()> observer);
    void unobserve(int id);

    // The window's controls. Each writes its field, tells the observers and
    // sends its message; a value equal to the current one does nothing.
    void setSyncEnabled(bool enabled);
    void setAutoApply(bool on);
    void setAutoPush(bool on);
    void setAutoPaste(bool on);
    void setAutoUpdateCheck(bool on);
    void setTrayIcon(TrayIconChoice choice);
    // The limit picker: a limit below the history's size asks first and, when
    // refused, the picker goes back to the last accepted limit.
    void chooseMaxHistory(int64_t limit);
    // Launch at login: registers or unregisters at once; on failure logs it and
    // shows what the desktop now reports.
    void setLaunchAtLogin(bool on);
    void clearHistory() { send("clear_history:true"); }
    void checkForUpdates() { send("check_updates:true"); }

    // The shortcut recorder: start (the button reads "Type shortcut…"), stop
    // or cancel (the stored combination again), capture (sent as "hotkey:K:M").
    // A capture without Ctrl or Super is ignored and recording goes on.
    void startRecordingHotKey();
    void stopRecordingHotKey();
    bool captureHotKey(const HotKeyCombo& combo);

    // The program changed the pause elsewhere (the panel): the window follows.
    void followSyncPaused(bool paused);
    // The desktop answered about the shortcut: the recorder shows its trigger
    // (or the stored combination when it names none), the note says why it is
    // not bound. While recording, only the note changes.
    void followHotKeyStatus(std::optional<std::string> trigger, std::optional<std::string> note);

    void publish();

private:
    void send(const std::string& message);
    // Writes a switch's field, tells the observers and sends "key:true|false";
    // nothing when the value is already so.
    void setSwitch(bool& field, bool on, std::string_view key);

    // What the recorder shows when it is not recording.
    std::string restingHotKeyDisplay() const;

    std::optional<std::string> m_hotKeyTrigger;
    std::map<int, std::function<void()>> m_observers;
    int m_nextObserver = 0;
    int64_t m_acceptedMaxHistory = 50;
};

// The one model of the process, created on first use.
PrefsState& prefsState();

// The preferences window as the delegate drives it.
class PreferencesWindowView {
public:
    virtual ~PreferencesWindowView() = default;
    // Opens the window on prefsState(), or brings the open one to the front on
    // the tab it shows.
    virtual void show() = 0;
};

} // namespace sorvane

#include "ui/Preferences.h"

#include "base/Log.h"

#include <algorithm>

namespace sorvane {

std::string_view title(PrefsTab tab) {
    switch (tab) {
    case PrefsTab::sync:
        return "Sync";
    case PrefsTab::general:
        return "General";
    case PrefsTab::security:
        return "Security";
    case PrefsTab::help:
        return "Help";
    }
    return "Sync";
}

std::string reduceHistoryInformativeText(int64_t newMax, int64_t currentCount) {
    const int64_t removed = std::max<int64_t>(0, currentCount - newMax);
    return "This will remove the " + std::to_string(removed) + " oldest clipping" + (removed == 1 ? "" : "s") +
           " from Sorvane. This cannot be undone.";
}

void PrefsState::load(const PrefsDef& def) {
    maxHistory = def.maxHistory;
    m_acceptedMaxHistory = def.maxHistory;
    historyCountProvider = def.historyCountProvider ? def.historyCountProvider : [] { return int64_t{0}; };
    autoPush = def.autoPush;
    autoApply = def.autoApply;
    autoPaste = def.autoPaste;
    syncPaused = def.syncPaused;
    m_hotKeyTrigger = def.hotKeyTrigger;
    hotKeyDisplay = def.hotKeyTrigger.value_or(def.hotKeyCombo.displayString());
    hotKeyNote = def.hotKeyNote;
    trayIcon = def.trayIcon;
    localFingerprint = def.localFingerprint;
    peerFingerprint = def.peerFingerprint;
    autoUpdateCheck = def.autoUpdateCheck;
    launchAtLogin = platform.launchAtLoginEnabled && platform.launchAtLoginEnabled();
    publish();
}

int PrefsState::observe(std::function<void()> observer) {
    m_observers.emplace(m_nextObserver, std::move(observer));
    return m_nextObserver++;
}

void PrefsState::unobserve(int id) { m_observers.erase(id); }

void PrefsState::publish() {
    // An observer may add or remove observers: walk a copy.
    const auto observers = m_observers;
    for (const auto& [id, observer] : observers)
        observer();
}

void PrefsState::send(const std::string& message) {
    if (onChange)
        onChange(message);
}

void PrefsState::setSwitch(bool& field, bool on, std::string_view key) {
    if (field == on)
        return;
    field = on;
    publish();
    send(std::string(key) + ":" + (on ? "true" : "false"));
}

void PrefsState::setSyncEnabled(bool enabled) { setSwitch(syncPaused, !enabled, "sync_paused"); }
void PrefsState::setAutoApply(bool on) { setSwitch(autoApply, on, "auto_apply"); }
void PrefsState::setAutoPush(bool on) { setSwitch(autoPush, on, "auto_push"); }
void PrefsState::setAutoPaste(bool on) { setSwitch(autoPaste, on, "auto_paste"); }
void PrefsState::setAutoUpdateCheck(bool on) { setSwitch(autoUpdateCheck, on, "auto_update_check"); }

void PrefsState::setTrayIcon(TrayIconChoice choice) {
    if (trayIcon == choice)
        return;
    trayIcon = choice;
    publish();
    if (platform.saveTrayIcon)
        platform.saveTrayIcon(choice);
    send("tray_icon:" + std::string(symbolName(choice)));
}

void PrefsState::chooseMaxHistory(int64_t limit) {
    if (limit == m_acceptedMaxHistory) {
        if (maxHistory != limit) {
            maxHistory = limit;
            publish();
        }
        return;
    }
    maxHistory = limit;
    publish();
    const int64_t count = historyCountProvider ? historyCountProvider() : 0;
    auto accept = [this, limit] {
        m_acceptedMaxHistory = limit;
        send("max_history:" + std::to_string(limit));
    };
    if (limit < count && confirmReduceHistory) {
        confirmReduceHistory(limit, count, [this, limit, accept](bool confirmed) {
            if (confirmed) {
                accept();
                return;
            }
            // Refused: the picker goes back to what was accepted last.
            if (maxHistory == limit) {
                maxHistory = m_acceptedMaxHistory;
                publish();
            }
        });
        return;
    }
    accept();
}

void PrefsState::setLaunchAtLogin(bool on) {
    if (launchAtLogin == on)
        return;
    launchAtLogin = on;
    publish();
    std::optional<std::string> failure =
        platform.setLaunchAtLogin ? platform.setLaunchAtLogin(on)
                                  : std::optional<std::string>("launch at login is not available");
    if (!failure)
        return;
    logLine("Launch at login toggle failed: " + *failure);
    const bool now = platform.launchAtLoginEnabled && platform.launchAtLoginEnabled();
    if (launchAtLogin != now) {
        launchAtLogin = now;
        publish();
    }
}

void PrefsState::startRecordingHotKey() {
    isRecordingHotKey = true;
    hotKeyDisplay = "Type shortcut\u2026";
    publish();
}

void PrefsState::stopRecordingHotKey() {
    isRecordingHotKey = false;
    hotKeyDisplay = restingHotKeyDisplay();
    publish();
}

std::string PrefsState::restingHotKeyDisplay() const {
    if (m_hotKeyTrigger)
        return *m_hotKeyTrigger;
    return (platform.storedHotKey ? platform.storedHotKey() : HotKeyCombo{}).displayString();
}

void PrefsState::followHotKeyStatus(std::optional<std::string> trigger, std::optional<std::string> note) {
    m_hotKeyTrigger = std::move(trigger);
    hotKeyNote = std::move(note);
    if (!isRecordingHotKey)
        hotKeyDisplay = restingHotKeyDisplay();
    publish();
}

bool PrefsState::captureHotKey(const HotKeyCombo& combo) {
    if (!(combo.modifiers & (hotkeymask::super | hotkeymask::ctrl)))
        return false;
    isRecordingHotKey = false;
    // The desktop's words for the earlier combination no longer apply.
    m_hotKeyTrigger.reset();
    hotKeyDisplay = combo.displayString();
    publish();
    send("hotkey:" + std::to_string(combo.keyCode) + ":" + std::to_string(combo.modifiers));
    return true;
}

void PrefsState::followSyncPaused(bool paused) {
    if (syncPaused == paused)
        return;
    syncPaused = paused;
    publish();
}

PrefsState& prefsState() {
    static PrefsState state;
    return state;
}

} // namespace sorvane

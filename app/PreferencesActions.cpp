// The preferences: the snapshot handed to the window, the messages it sends
// back, and the confirmation before the history limit drops below the
// history's size.
#include "app/SorvaneAppDelegate.h"

#include "base/Hex.h"
#include "base/Log.h"
#include "protocol/PairingHandshake.h"

#include <cctype>
#include <charconv>
#include <limits>

namespace sorvane {
namespace {

// A decimal integer with an optional sign, digits only, within int64.
std::optional<int64_t> parseInt64(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() || text.front() == '+')
        return std::nullopt;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Digits only, within uint32.
std::optional<uint32_t> parseUint32(std::string_view text) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front())))
        return std::nullopt;
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool isHexKey(std::string_view text) {
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

} // namespace

std::optional<std::string> SorvaneAppDelegate::pairedPhoneFingerprint() const {
    if (!m_appState)
        return std::nullopt;
    const auto peers = m_appState->keyStore->readPeers();
    if (!peers || peers->empty() || !isHexKey(peers->front().identityPubkeyEd25519Hex))
        return std::nullopt;
    return fingerprintHex(Hex::decode(peers->front().identityPubkeyEd25519Hex));
}

PrefsDef SorvaneAppDelegate::makePrefsDef() {
    PrefsDef def;
    if (m_appState) {
        const auto snapshot = m_appState->history->snapshot();
        def.maxHistory = snapshot.maxEntries;
        def.autoApply = snapshot.autoApplyIncoming;
        def.autoPush = m_appState->autoPush;
        def.autoPaste = m_appState->autoPaste;
        def.syncPaused = m_appState->syncPaused;
        if (m_appState->identity)
            def.localFingerprint = fingerprintHex(m_appState->identity->signingKey.publicKey().raw());
    }
    if (def.localFingerprint.empty())
        def.localFingerprint = "\u2014"; // the keyring has not given the key yet
    def.historyCountProvider = [this, alive = m_liveness.watch()]() -> int64_t {
        if (!alive || !m_appState)
            return 0;
        return static_cast<int64_t>(m_appState->history->snapshot().entries.size());
    };
    def.hotKeyCombo = m_hotKey.combo();
    def.hotKeyTrigger = m_hotKey.desktopTrigger();
    def.hotKeyNote = m_hotKey.unavailableNote();
    def.trayIcon = loadTrayIconChoice(m_env.defaults);
    def.peerFingerprint = pairedPhoneFingerprint();
    def.autoUpdateCheck = isAutoUpdateCheckEnabled();
    return def;
}

void SorvaneAppDelegate::preferencesAction() {
    m_env.panel.hidePanel();
    if (!m_env.preferencesWindow) {
        logLine("Sorvane: no display \u2014 the preferences cannot open");
        return;
    }
    showPreferences(makePrefsDef());
}

void SorvaneAppDelegate::showPreferences(PrefsDef def) {
    m_env.mainQueue.post([this, alive = m_liveness.watch(), def = std::move(def)] {
        if (!alive || !m_env.preferencesWindow)
            return;
        PrefsState& state = prefsState();
        Installer& installer = m_env.installer;
        UserDefaults& defaults = m_env.defaults;
        state.platform.installedInApplications = [&installer] { return installer.isInstalledInApplications(); };
        state.platform.launchAtLoginEnabled = [&installer] { return installer.isLaunchAtLoginEnabled(); };
        state.platform.setLaunchAtLogin = [&installer, &defaults](bool on) {
            auto failure = installer.setLaunchAtLogin(on);
            if (!failure)
                defaults.set("launch_at_login_opted_out", !on);
            return failure;
        };
        state.platform.saveTrayIcon = [&defaults](TrayIconChoice choice) { saveTrayIconChoice(defaults, choice); };
        state.platform.storedHotKey = [&defaults] { return HotKeyCombo::load(defaults); };
        state.load(def);
        state.onChange = [this, alive](const std::string& message) {
            if (alive)
                handlePrefChange(message);
        };
        state.confirmReduceHistory = [this, alive](int64_t newMax, int64_t count, std::function<void(bool)> done) {
            done(alive && presentReduceHistoryConfirm(newMax, count));
        };
        m_env.preferencesWindow->show();
    });
}

void SorvaneAppDelegate::updatePrefsHotKeyStatus() {
    prefsState().followHotKeyStatus(m_hotKey.desktopTrigger(), m_hotKey.unavailableNote());
}

void SorvaneAppDelegate::updatePrefsSyncPaused(bool paused) {
    m_env.mainQueue.post([paused] { prefsState().followSyncPaused(paused); });
}

bool SorvaneAppDelegate::presentReduceHistoryConfirm(int64_t newMax, int64_t currentCount) {
    return m_env.alerts.confirm(
        {"Reduce history limit?", reduceHistoryInformativeText(newMax, currentCount), "Remove"});
}

bool SorvaneAppDelegate::isAutoUpdateCheckEnabled() const {
    return m_env.defaults.boolIfPresent("auto_update_check").value_or(true);
}

void SorvaneAppDelegate::handlePrefChange(const std::string& message) {
    const auto colon = message.find(':');
    if (colon == std::string::npos)
        return;
    const std::string key = message.substr(0, colon);
    const std::string value = message.substr(colon + 1);
    const bool on = value == "true";

    if (key == "max_history") {
        const auto limit = parseInt64(value);
        if (limit && m_appState) {
            m_appState->history->setMax(*limit);
            refreshPanel();
        }
    } else if (key == "auto_push") {
        if (m_appState)
            m_appState->autoPush = on;
    } else if (key == "auto_apply") {
        if (m_appState)
            m_appState->history->setAutoApply(on);
    } else if (key == "auto_paste") {
        if (m_appState)
            m_appState->autoPaste = on;
        m_env.defaults.set("auto_paste", on);
        if (on)
            requestAccessibilityIfNeeded();
        refreshPanel();
    } else if (key == "sync_paused") {
        if (m_appState)
            m_appState->syncPaused = on;
        logLine(on ? "Sorvane: sync paused from Preferences" : "Sorvane: sync resumed from Preferences");
        refreshPanel();
    } else if (key == "clear_history") {
        clearHistoryAction();
    } else if (key == "check_updates") {
        m_env.updater.checkForUpdates();
    } else if (key == "hotkey") {
        std::vector<std::string_view> pieces;
        std::string_view rest = value;
        while (!rest.empty()) {
            const auto next = rest.find(':');
            const auto piece = rest.substr(0, next);
            if (!piece.empty())
                pieces.push_back(piece);
            rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        }
        if (pieces.size() != 2)
            return;
        const auto keyCode = parseUint32(pieces[0]);
        const auto modifiers = parseUint32(pieces[1]);
        if (keyCode && modifiers)
            m_hotKey.rebind({*keyCode, *modifiers}, m_env.defaults);
    } else if (key == "tray_icon") {
        const auto choice = trayIconChoiceFromSymbol(value);
        if (!choice)
            return;
        m_env.statusItem.setIconChoice(std::string(symbolName(*choice)));
        logLine("Sorvane: tray icon changed to " + std::string(label(*choice)));
    } else if (key == "auto_update_check") {
        m_env.defaults.set("auto_update_check", on);
        m_env.updater.setAutomaticChecks(on);
    }
}

} // namespace sorvane

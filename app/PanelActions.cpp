// The search panel's rows and the actions its rows, shortcuts and the commands
// from outside run: copy, paste, send, pause, pair, unpair, clear and quit.
#include "app/SorvaneAppDelegate.h"

#include "base/Clock.h"
#include "base/Log.h"
#include "protocol/PairingHandshake.h"
#include "protocol/Uuids.h"

namespace sorvane {
namespace {

std::string yesNo(bool value) { return value ? "true" : "false"; }

const ConfirmationRequest kConfirmUnpair{
    "Unpair this phone?",
    "Sorvane will forget the paired phone on both devices. You'll need to scan the QR code (or enter "
    "the pairing code) again to reconnect.",
    "Unpair"};
const ConfirmationRequest kConfirmClear{
    "Clear all history?", "This will remove all clipboard entries from Sorvane. This cannot be undone.", "Clear"};
const ConfirmationRequest kConfirmQuit{
    "Quit Sorvane?", "Clipboard sync will stop and the phone will be disconnected.", "Quit"};

// The entry whose id is `id`, the first if several.
const ClipboardEntry* findEntry(const EntryList& entries, std::string_view id) {
    for (const auto& entry : entries)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

} // namespace

bool SorvaneAppDelegate::bluetoothUsable() const { return m_peripheral && m_peripheral->isPoweredOn(); }

std::vector<PanelItemDef> SorvaneAppDelegate::buildPanelItems() {
    if (!m_appState)
        return {};
    // A history still being read is not waited for: the panel says so, and is
    // refreshed once it is in.
    const bool loaded = m_appState->history->isLoaded();
    const History::Snapshot history = loaded ? m_appState->history->snapshot() : History::Snapshot{};
    PanelInputs inputs;
    inputs.historyLoading = !loaded;
    inputs.paired = !m_appState->keyStore->peers().empty();
    inputs.phoneName = m_appState->phoneName;
    inputs.centralConnected = !m_centrals.empty();
    inputs.syncPaused = m_appState->syncPaused;
    inputs.waitingForKeyring = !m_appState->identity;
    inputs.history = &history.entries;
    inputs.nowMs = millisecondsSince1970(m_env.wallClock());
    return sorvane::buildPanelItems(inputs);
}

bool SorvaneAppDelegate::isPhoneConnected() {
    return m_appState && !m_centrals.empty() && !m_appState->keyStore->peers().empty();
}

void SorvaneAppDelegate::refreshPanel() {
    // Every clipboard event and connection change lands here. A hidden panel
    // is rebuilt whole when it next opens, so only a visible one needs the
    // rows now; with a long history they cost milliseconds.
    if (!m_appState || !m_env.panel.isPanelVisible())
        return;
    m_env.panel.updatePanel(buildPanelItems(),
                            {isPhoneConnected(), m_appState->autoPaste, m_appState->syncPaused});
}

void SorvaneAppDelegate::togglePanel() {
    if (!m_appState)
        return;
    if (m_env.panel.isPanelVisible()) {
        m_env.panel.hidePanel();
        return;
    }
    capturePreviousApp();
    const Liveness::Watch alive = m_liveness.watch();
    MainQueue* queue = &m_env.mainQueue;
    // Runs each chosen action on the main thread while the delegate lives.
    SearchPanelView::OnSelect onSelect = [this, alive, queue](const std::string& id) {
        auto run = [this, alive, id] {
            if (alive && !m_terminating)
                handleMenuAction(id);
        };
        if (queue->isMainThread())
            run();
        else
            queue->post(run);
    };
    // The rows are built when the show runs, so that whatever arrived between
    // the toggle and the show is in them.
    queue->post([this, alive, onSelect = std::move(onSelect)]() mutable {
        if (!alive || !m_appState)
            return;
        const PanelFlags flags{isPhoneConnected(), m_appState->autoPaste, m_appState->syncPaused};
        m_env.panel.showPanel(buildPanelItems(), flags, std::move(onSelect));
        // The window and its rows are built: what the build left free goes back,
        // and what the panel touched, once more when it is closed.
        releaseFreeMemorySoon();
    });
}

// What the panel says after a send from it.
std::string SorvaneAppDelegate::toastFor(OutboundResult result) {
    switch (result) {
    case OutboundResult::handedToRadio:
        return "Sent to phone";
    case OutboundResult::heldForSession:
        return "Phone not connected \u2014 sends when it reconnects";
    case OutboundResult::noPhonePaired:
        return "Not sent \u2014 no phone paired";
    case OutboundResult::bluetoothOff:
        return "Not sent \u2014 Bluetooth is off";
    case OutboundResult::tooLarge:
        return "Not sent \u2014 too large without a fast channel to the phone";
    case OutboundResult::sealFailed:
        return "Not sent \u2014 could not encrypt it";
    case OutboundResult::syncPaused:
    case OutboundResult::autoSendOff:
    case OutboundResult::notRunning:
        break;
    }
    return "Not sent";
}

void SorvaneAppDelegate::handleMenuAction(const std::string& id) {
    if (!m_appState)
        return;
    // Kept alive across the calls below, which may change the history.
    const History::Snapshot history = m_appState->history->snapshot();
    auto entryAfter = [&](std::string_view prefix) { return findEntry(history.entries, id.substr(prefix.size())); };

    if (id.starts_with(kHistoryRowPrefix) || id.starts_with(kHistoryTapPrefix)) {
        const bool tap = id.starts_with(kHistoryTapPrefix);
        const ClipboardEntry* entry = entryAfter(tap ? kHistoryTapPrefix : kHistoryRowPrefix);
        if (!entry)
            return;
        const std::string previous =
            m_previousApp && m_previousApp->appIdentifier ? *m_previousApp->appIdentifier : "nil";
        if (tap)
            logLine("hist tap: autoPaste=" + yesNo(m_appState->autoPaste) + " syncPaused=" +
                    yesNo(m_appState->syncPaused) + " previousApp=" + previous);
        else
            logLine("hist Enter: autoPaste=" + yesNo(m_appState->autoPaste) + " previousApp=" + previous);
        const std::string text = entry->text;
        // Our own write: the watcher must not report it back as a new copy.
        m_pasteboardWatcher->setSuppressHash(sha256ShortHex(text));
        m_pasteboardWatcher->writeString(text);
        if (m_appState->autoPaste)
            pasteIntoPreviousApp();
        if (tap && !m_appState->syncPaused && bluetoothUsable())
            handleOutboundClipboard(text, sha256ShortHex(text), true);
        return;
    }
    if (id.starts_with(std::string(kResendPrefix) + std::string(kHistoryRowPrefix))) {
        const ClipboardEntry* entry = entryAfter(std::string(kResendPrefix) + std::string(kHistoryRowPrefix));
        if (!entry)
            return;
        const std::string text = entry->text;
        const std::string hash = sha256ShortHex(text);
        // A second press while the first is still on its way sends nothing more.
        if (m_framesInFlight.count(hash)) {
            m_env.panel.showToast("Already on its way to the phone");
            return;
        }
        m_env.panel.showToast(toastFor(handleOutboundClipboard(text, hash, true)));
        return;
    }
    if (id == "pair" || id == "header:unpaired") {
        pairAction();
    } else if (id == "unpair" || id == "header:connected" || id == "header:offline") {
        unpairAction();
    } else if (id == "header:keyring" || id == "history:loading") {
        // Says why sync waits; nothing to do until the keyring unlocks.
    } else if (id == "clear_history") {
        clearHistoryAction();
    } else if (id == "preferences") {
        preferencesAction();
    } else if (id == "toggle_pause") {
        m_appState->syncPaused = !m_appState->syncPaused;
        logLine(m_appState->syncPaused ? "Sorvane: sync paused" : "Sorvane: sync resumed");
        updatePrefsSyncPaused(m_appState->syncPaused);
        refreshPanel();
    } else if (id == "about") {
        m_env.panel.hidePanel();
        if (m_env.aboutWindow)
            m_env.aboutWindow->show();
        else
            logLine("Sorvane: no display \u2014 the About window cannot open");
    } else if (id == "check_updates") {
        m_env.panel.hidePanel();
        m_env.updater.checkForUpdates();
    } else if (id == "quit") {
        quitAction();
    } else {
        logLine("unknown menu action: " + id);
    }
}

void SorvaneAppDelegate::pairAction() {
    m_env.panel.hidePanel();
    if (m_appState && !m_appState->identity) {
        logLine("pairing: waits for the keyring to give the identity key");
        return;
    }
    if (!bluetoothUsable()) {
        AlertPresenter* alerts = &m_env.alerts;
        m_env.mainQueue.post([alerts] { alerts->showBluetoothOffAlert(); });
        return;
    }
    if (!m_appState)
        return;
    const auto& identity = *m_appState->identity;
    const crypto::Ed25519PublicKey& publicKey = identity.signingKey.publicKey();
    m_env.pairingWindow.show(buildQRPayload(identity.deviceID, publicKey), publicKey.raw());
}

void SorvaneAppDelegate::unpairAction() {
    m_env.panel.hidePanel();
    if (!m_env.alerts.confirm(kConfirmUnpair) || !m_appState)
        return;
    logLine("unpair: user confirmed \u2014 clearing peer and notifying phone");
    if (m_peripheral)
        m_peripheral->notify(std::string(charControl), Bytes{CONTROL_UNPAIR});
    try {
        m_appState->keyStore->removeAllPeers();
    } catch (const std::exception& e) {
        // The in-memory state is cleared anyway; the phone would count as
        // paired again at the next start, so say so.
        logLine(std::string("unpair: could not remove the stored phone: ") + e.what());
    }
    dropSession();
    m_heldText.reset();
    m_appState->phoneName.reset();
    forgetCentrals();
    refreshPanel();
}

void SorvaneAppDelegate::clearHistoryAction() {
    m_env.panel.hidePanel();
    if (!m_env.alerts.confirm(kConfirmClear) || !m_appState)
        return;
    m_appState->history->clear();
    refreshPanel();
}

void SorvaneAppDelegate::quitAction() {
    m_env.panel.hidePanel();
    if (m_env.alerts.confirm(kConfirmQuit))
        m_env.application.requestTermination();
}

void SorvaneAppDelegate::handleRemoteCommand(const std::string& command) {
    if (command == "toggle-panel") {
        togglePanel();
    } else if (command == "activate") {
        if (!m_env.panel.isPanelVisible())
            togglePanel();
    } else if (command == "pair") {
        pairAction();
    } else if (command == "preferences" || command == "about") {
        handleMenuAction(command);
    } else if (command == "quit") {
        // Asked for from a terminal or a script: no confirmation to click.
        m_env.application.requestTermination();
    } else {
        logLine("Sorvane: unknown command: " + command);
    }
}

} // namespace sorvane

// SorvaneAppDelegate: owns the model and every long-lived component, runs the
// start-up and shutdown sequences, and holds every handler of the sync paths,
// the pairing flow and the power events.
//
// Threading: the delegate lives on the main thread and every public method is
// called there. Components that work on other threads (the peripheral's queue,
// the L2CAP stream thread, the clipboard watcher, the power monitor) reach it
// through callbacks installed at start-up that hop to the main queue and do
// nothing once the delegate is gone. No lock guards the model.
//
// Services are injected through AppEnvironment; the delegate reaches nothing
// else of the operating system.
#pragma once

#include "base/Liveness.h"
#include "ports/AppServices.h"
#include "app/AppState.h"
#include "ports/PeripheralBackend.h"
#include "ble/SorvanePeripheral.h"
#include "clipboard/AutoPaster.h"
#include "ports/AutoPasteDesktop.h"
#include "ports/HostInfo.h"
#include "ports/PowerMonitor.h"
#include "ports/SecretStore.h"
#include "ports/UserDefaults.h"
#include "ports/UserDirectories.h"
#include "base/Clock.h"
#include "base/SerialQueue.h"
#include "protocol/Reassembler.h"
#include "store/SigningKeyStore.h"
#include "ui/HotKeyCombo.h"
#include "ui/PanelItems.h"
#include "ui/Preferences.h"
#include "ui/SearchPanelView.h"

#include <array>
#include <deque>
#include <future>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sorvane {

struct AppEnvironment {
    MainQueue& mainQueue;
    ApplicationControl& application;
    UserDefaults& defaults;
    HostInfo& host;
    PowerMonitor& power;
    const UserDirectories& directories;
    // Makes the secret store the key store keeps the signing key in.
    std::function<std::unique_ptr<SecretStore>()> makeSecretStore;
    // The Bluetooth backend.
    PeripheralManagerFactory peripheralBackend;
    std::function<std::unique_ptr<PasteboardWatcher>()> makePasteboardWatcher;

    StatusItem& statusItem;
    SearchPanelView& panel;
    PairingWindow& pairingWindow;
    AlertPresenter& alerts;
    HotKeyService& hotKey;
    Installer& installer;
    Updater& updater;

    WallClock wallClock = systemWallClock();
    SteadyClock steadyClock = systemSteadyClock();

    // The desktop that auto-paste works with; null: none (never trusted, no
    // front application). Must outlive the delegate.
    AutoPasteDesktop* desktop = nullptr;

    // Returns free memory to the system after a one-off peak; may be empty.
    // It runs on the main queue once the history is read, this long after
    // start-up, and this long after each opening of the panel (when what it
    // built is in place) and again after its closing.
    std::function<void()> releaseFreeMemory{};
    std::chrono::milliseconds releaseFreeMemoryDelay{2000};

    // How long start-up waits for the keyring's first answer before it goes on
    // without the identity (sync then waits for the keyring).
    std::chrono::milliseconds keyringWait{5000};

    // The About and preferences windows; null: none on this desktop (their
    // actions only log).
    AboutWindow* aboutWindow = nullptr;
    PreferencesWindowView* preferencesWindow = nullptr;

    // What the entry point found while assembling these services (a missing
    // display, say), logged right after the start line.
    std::vector<std::string> startupNotes{};
};

// What became of a text handed to the outbound path.
enum class OutboundResult {
    handedToRadio,  // queued for the phone, sealed
    heldForSession, // kept, sealed and sent once the phone's handshake has keyed a session
    noPhonePaired,  // nothing to send it to
    syncPaused,     // an automatic send while sync is paused
    autoSendOff,    // an automatic send while auto-send is off
    bluetoothOff,   // a manual send with Bluetooth off
    sealFailed,     // the session could not seal it
    tooLarge,       // too many chunks for GATT and no L2CAP channel
    notRunning,     // before start-up or while quitting
};

class SorvaneAppDelegate {
public:
    static constexpr size_t kMaxGattChunks = SorvanePeripheral::kMaxGattChunks;
    // How long a text waits for the phone's handshake before it is dropped.
    static constexpr std::chrono::seconds kHeldTextLifetime{60};
    // Phone names are cut to this many user-perceived characters, and this many
    // bytes, before they are stored or shown.
    static constexpr size_t kPhoneNameGraphemes = 64;
    static constexpr size_t kPhoneNameBytes = 1024;
    // How long start-up waits for the keyring, and how often it asks again
    // while the keyring refuses (locked, no answer).
    static constexpr std::chrono::milliseconds kKeyringWait{5000};
    static constexpr std::chrono::milliseconds kKeyringRetry{5000};
    // How long an instance that moved itself stays before it quits: the copy
    // starts meanwhile.
    static constexpr std::chrono::milliseconds kHandOverDelay{500};
    static constexpr std::chrono::milliseconds kGoodbyeSpin{300};
    static constexpr std::chrono::milliseconds kTeardownSpin{200};

    explicit SorvaneAppDelegate(AppEnvironment environment);
    ~SorvaneAppDelegate();
    SorvaneAppDelegate(const SorvaneAppDelegate&) = delete;
    SorvaneAppDelegate& operator=(const SorvaneAppDelegate&) = delete;

    // The start-up sequence. On a key-store failure it logs, asks the
    // application to terminate and creates nothing further.
    void applicationDidFinishLaunching();
    // The shutdown sequence; runs once, later calls do nothing.
    void applicationWillTerminate();

    // Power events. `release` lets the system sleep once the goodbye is queued.
    void systemWillSleep(PowerMonitor::ReleaseSleep release = {});
    void systemDidWake();

    // Inbound path. `central` names the central that wrote.
    void handlePeripheralEvent(const PeripheralEvent& event);
    void handleInboundClipboardChunk(const std::string& central, ByteView data);
    void handleL2CAPInbound(ByteView frame);
    // Only the central that holds the session may unpair.
    void handleControlOpcode(const std::string& central, uint8_t opcode);
    void persistPhoneName(const std::string& name);
    // Outbound path. Nothing leaves unsealed: without a session the text is
    // held for the paired phone's handshake (the newest one, for
    // kHeldTextLifetime), and with no phone paired it is not sent.
    OutboundResult handleOutboundClipboard(const std::string& text, const std::string& hash, bool manual);
    // Pairing flow; a successful handshake gives `central` the session.
    void handlePairingHello(const std::string& central, ByteView data);
    // Recovery after a failed L2CAP write.
    void handleL2CAPWriteFailed();
    // Auto-paste: records the application in front as `previousApp` (done when
    // the panel opens), pastes the clipboard into it (consuming it), and asks
    // for the keystroke permission.
    void capturePreviousApp();
    void pasteIntoPreviousApp();
    void requestAccessibilityIfNeeded();

    // The panel and its actions (the tray icon, the hot-key and the commands
    // from outside come here). The rows as the panel shows them now.
    std::vector<PanelItemDef> buildPanelItems();
    // A phone is paired and at least one central is connected.
    bool isPhoneConnected();
    // Hides a visible panel; otherwise captures the application in front and
    // shows the panel from the main queue.
    void togglePanel();
    // Runs the action of a panel row or shortcut.
    void handleMenuAction(const std::string& id);
    void pairAction();
    void unpairAction();
    void clearHistoryAction();
    void quitAction();
    // The preferences: hides the panel and opens the window on a fresh
    // snapshot of the settings, whose changes come back to handlePrefChange.
    void preferencesAction();
    void showPreferences(PrefsDef def);
    PrefsDef makePrefsDef();
    // Applies one "key:value" message of the preferences window; anything
    // malformed or unknown is ignored.
    void handlePrefChange(const std::string& message);
    // An open preferences window follows the pause set elsewhere.
    void updatePrefsSyncPaused(bool paused);
    // The desktop answered about the global shortcut: the preferences follow.
    void updatePrefsHotKeyStatus();
    // Asks before the limit drops below the history's size; true: go ahead.
    bool presentReduceHistoryConfirm(int64_t newMax, int64_t currentCount);
    bool isAutoUpdateCheckEnabled() const;
    // The paired phone's fingerprint from the peers file; absent when there is
    // none or the file cannot be read.
    std::optional<std::string> pairedPhoneFingerprint() const;
    // A command that reached the running program from outside: "toggle-panel",
    // "pair", "preferences", "about", "quit", or "activate" (show the panel).
    void handleRemoteCommand(const std::string& command);
    // The Bluetooth manager exists and is powered on.
    bool bluetoothUsable() const;

    // The model; null before start-up step 7 and after a failed start-up.
    AppState* appState() { return m_appState.get(); }
    // True once start-up handed over to a moved copy of the program; this
    // instance then quits on its own.
    bool handedOver() const { return m_handedOver; }
    SorvanePeripheral* peripheral() { return m_peripheral.get(); }
    const std::set<std::string>& centrals() const { return m_centrals; }
    bool rebuildInProgress() const { return m_rebuildInProgress; }
    // The central whose handshake keyed the current session.
    const std::optional<std::string>& sessionCentral() const { return m_sessionCentral; }
    // The text waiting for the phone's handshake, if any.
    const std::optional<std::string>& heldText() const { return m_heldText; }
    const std::optional<RunningApplication>& previousApp() const { return m_previousApp; }

    struct InboundRoute;

private:
    void handleInboundFrame(uint8_t flags, uint16_t frameID, Bytes payload, const InboundRoute& route);
    // Wraps a handler so that it runs on the main thread, in order, and only
    // while this delegate is alive and not shutting down.
    template <class... Args> std::function<void(Args...)> onMain(std::function<void(Args...)> fn);
    // The second half of macWillSleep, once the goodbye has gone out.
    void finishSleep(PowerMonitor::ReleaseSleep release);
    // Start-up steps 9-12 and the readiness logs, once the identity is known.
    void startSync();
    void logReady();
    // Asks the keyring on its own thread; `first` may show its unlock prompt.
    // Posts the key to the main queue when it comes, and asks again later
    // while the keyring refuses.
    void resolveSigningKey(bool first);
    void signingKeyResolved(crypto::Ed25519PrivateKey key);
    void recordReceived(const std::string& text);
    static std::string toastFor(OutboundResult result);
    // Seals and queues `text` for the phone; the session must exist.
    OutboundResult sendSealed(const std::string& text, const std::string& hash);
    void holdForSession(const std::string& text);
    void sendHeldText();
    void dropSession();
    void applyPhoneName(const std::string& name, const char* logPrefix);
    void forgetCentrals();
    void refreshPanel();
    // Schedules releaseFreeMemory after releaseFreeMemoryDelay (one at a time);
    // while the panel is open, once more after it closes.
    void releaseFreeMemorySoon();

    AppEnvironment m_env;
    std::unique_ptr<AppState> m_appState;
    std::unique_ptr<SorvanePeripheral> m_peripheral;
    std::unique_ptr<PasteboardWatcher> m_pasteboardWatcher;
    std::unique_ptr<Reassembler> m_reassembler;
    std::set<std::string> m_centrals;
    std::optional<std::string> m_sessionCentral;
    // The nonces of the latest accepted hellos, oldest first.
    static constexpr size_t kHelloNoncesKept = 256;
    std::deque<std::string> m_helloNonces;
    std::optional<std::string> m_heldText;
    // Hashes of the texts handed to the radio whose route is not settled yet.
    std::multiset<std::string> m_framesInFlight;
    std::chrono::steady_clock::time_point m_heldSince{};
    uint64_t m_heldGeneration = 0;
    bool m_rebuildInProgress = false;
    bool m_terminating = false;
    bool m_terminated = false;
    bool m_handedOver = false;
    bool m_memoryReleasePending = false;
    bool m_memoryReleasedWhileOpen = false;

    std::optional<RunningApplication> m_previousApp;
    NoAutoPasteDesktop m_noDesktop;
    AutoPaster m_autoPaster;
    HotKeyManager m_hotKey;

    // The keyring's thread: every secret-store call runs there, so that a
    // keyring that never answers cannot hold the main thread.
    std::shared_ptr<SigningKeyStore> m_signingKeys;
    std::unique_ptr<SerialQueue> m_keyringQueue;
    std::array<uint8_t, 16> m_deviceID{};
    // Set on the keyring's thread by the first answer, read by start-up.
    std::shared_ptr<std::promise<SigningKeyResult>> m_firstKeyAnswer;

    // Callbacks check it on the main thread; it ends with the delegate.
    Liveness m_liveness;
};

} // namespace sorvane

#include "app/SorvaneAppDelegate.h"

#include "base/Log.h"
#include "base/Text.h"
#include "protocol/ChunkFraming.h"
#include "base/Hex.h"
#include "protocol/MessageCodec.h"
#include "protocol/PairingHandshake.h"
#include "protocol/Uuids.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>

namespace sorvane {
namespace {


} // namespace

SorvaneAppDelegate::SorvaneAppDelegate(AppEnvironment environment)
    : m_env(std::move(environment)),
      m_autoPaster(m_env.mainQueue, m_env.desktop ? *m_env.desktop : m_noDesktop), m_hotKey(m_env.hotKey) {}

SorvaneAppDelegate::~SorvaneAppDelegate() {
    // Callbacks still queued find the delegate gone and do nothing.
    m_liveness.end();
    // A keyring call in progress finishes; nothing is asked after it.
    if (m_keyringQueue)
        m_keyringQueue->stop();
    m_env.power.stop();
    if (m_pasteboardWatcher)
        m_pasteboardWatcher->stop();
    m_peripheral.reset();
}

template <class... Args>
std::function<void(Args...)> SorvaneAppDelegate::onMain(std::function<void(Args...)> fn) {
    MainQueue* queue = &m_env.mainQueue;
    return [this, alive = m_liveness.watch(), queue, fn = std::move(fn)](Args... args) {
        auto run = [this, alive, fn](std::decay_t<Args>... copies) {
            if (!alive || m_terminating)
                return;
            fn(copies...);
        };
        if (queue->isMainThread())
            run(std::move(args)...);
        else
            queue->post([run, ... copies = std::decay_t<Args>(std::move(args))]() mutable {
                run(std::move(copies)...);
            });
    };
}

// ------------------------------------------------------------ start and stop

void SorvaneAppDelegate::applicationDidFinishLaunching() {
    logLine("Sorvane starting\u2026");
    for (const std::string& note : m_env.startupNotes)
        logLine(note);
    m_env.statusItem.setApplicationIcon();
    if (m_env.installer.promptAndMoveIfNeeded()) {
        // The moved copy is starting; this instance leaves through the normal
        // shutdown, before it has touched the stores.
        m_handedOver = true;
        m_env.mainQueue.postDelayed(kHandOverDelay, [this, alive = m_liveness.watch()] {
            if (alive)
                m_env.application.requestTermination();
        });
        return;
    }
    m_env.installer.enableLaunchAtLoginByDefault();

    std::unique_ptr<KeyStore> keyStore;
    std::optional<Identity> identity;
    try {
        keyStore = std::make_unique<KeyStore>(KeyStore::defaultDirectory(m_env.directories),
                                              m_env.makeSecretStore());
        m_deviceID = keyStore->loadOrCreateDeviceID();
        m_signingKeys = keyStore->signingKeys();
        m_keyringQueue = std::make_unique<SerialQueue>("org.sorvane.keyring");
        m_firstKeyAnswer = std::make_shared<std::promise<SigningKeyResult>>();
        auto firstAnswer = m_firstKeyAnswer->get_future();
        resolveSigningKey(true);
        if (firstAnswer.wait_for(m_env.keyringWait) != std::future_status::ready) {
            logLine("Sorvane: the keyring did not answer in time \u2014 sync waits for the keyring, "
                    "the history works meanwhile");
        } else {
            SigningKeyResult answer = firstAnswer.get(); // rethrows a failure to store a new key
            if (answer.key)
                identity = Identity{m_deviceID, std::move(*answer.key)};
            else
                logLine("Sorvane: sync waits for the keyring to unlock (" + answer.refusal +
                        "); the history works meanwhile");
        }
    } catch (const std::exception& e) {
        logLine(std::string("Sorvane: fatal init error: ") + e.what());
        m_env.application.requestTermination();
        return;
    }

    // Read beside the radio's start-up: a long history does not hold up
    // advertising. Whatever touches it meanwhile waits for it, so nothing
    // recorded now is lost or lands out of order.
    auto history = std::make_unique<History>(keyStore->directory() / "history.json", m_env.wallClock,
                                             History::kDefaultByteBudget, History::Load::inBackground);
    // Parsing a long file is a peak the program never needs again.
    history->whenLoaded(onMain(std::function<void()>([this] {
        if (m_env.releaseFreeMemory)
            m_env.releaseFreeMemory();
        refreshPanel();
    })));
    m_appState = std::make_unique<AppState>(std::move(identity), std::move(keyStore), std::move(history));
    m_appState->autoPaste = m_env.defaults.boolIfPresent("auto_paste").value_or(true);

    if (const auto& peers = m_appState->keyStore->peers(); !peers.empty())
        m_appState->phoneName = peers.front().phoneName;

    if (m_appState->identity)
        startSync();

    m_pasteboardWatcher = m_env.makePasteboardWatcher();
    m_pasteboardWatcher->setOnChange(onMain(std::function<void(std::string, std::string)>(
        [this](std::string text, std::string hash) { handleOutboundClipboard(text, hash, false); })));
    m_pasteboardWatcher->start();

    m_env.statusItem.install();
    m_hotKey.setCallback(onMain(std::function<void()>([this] { togglePanel(); })));
    m_hotKey.setOnStatusChange([this] { updatePrefsHotKeyStatus(); });
    m_hotKey.applyCombo(HotKeyCombo::load(m_env.defaults));

    MainQueue* queue = &m_env.mainQueue;
    m_env.power.start(
        [this, alive = m_liveness.watch(), queue](PowerMonitor::ReleaseSleep release) {
            queue->post([this, alive, release = std::move(release)]() mutable {
                if (alive && !m_terminating)
                    systemWillSleep(std::move(release));
                else if (release)
                    release(); // nobody left to say goodbye: never hold the system up
            });
        },
        onMain(std::function<void()>([this] { systemDidWake(); })));

    if (m_appState->identity)
        logReady();

    m_env.updater.start(m_env.defaults.boolIfPresent("auto_update_check").value_or(true));
    releaseFreeMemorySoon();
}

void SorvaneAppDelegate::releaseFreeMemorySoon() {
    if (!m_env.releaseFreeMemory || m_memoryReleasePending)
        return;
    m_memoryReleasePending = true;
    m_env.mainQueue.postDelayed(m_env.releaseFreeMemoryDelay, [this, alive = m_liveness.watch()] {
        if (!alive)
            return;
        m_memoryReleasePending = false;
        const bool panelOpen = m_env.panel.isPanelVisible();
        if (!panelOpen || !m_memoryReleasedWhileOpen)
            m_env.releaseFreeMemory();
        m_memoryReleasedWhileOpen = panelOpen;
        // What the open panel touches from now on goes back once it is closed:
        // look again until then.
        if (panelOpen)
            releaseFreeMemorySoon();
    });
}

void SorvaneAppDelegate::logReady() {
    logLine("Sorvane: ready (device " + Hex::encode(m_appState->identity->deviceID) + ")");
    logLine("Sorvane: pairing code = " +
            derivePairingCode(m_appState->identity->signingKey.publicKey(), 0, m_env.wallClock));
}

void SorvaneAppDelegate::startSync() {
    m_reassembler = std::make_unique<Reassembler>(m_env.steadyClock);

    const Bytes deviceInfo = m_appState->buildDeviceInfo(m_env.host.displayName());
    m_peripheral = std::make_unique<SorvanePeripheral>(
        m_env.peripheralBackend, deviceInfo,
        onMain(std::function<void(PeripheralEvent)>(
            [this](PeripheralEvent event) { handlePeripheralEvent(event); })),
        m_env.mainQueue, m_env.steadyClock);

    m_peripheral->setOnL2CAPData(onMain(
        std::function<void(Bytes)>([this](Bytes frame) { handleL2CAPInbound(frame); })));
    m_peripheral->setOnL2CAPWriteFailed([this, alive = m_liveness.watch()] {
        if (alive && !m_terminating)
            handleL2CAPWriteFailed();
    });

    m_peripheral->startAdvertising(m_appState->advertisedLocalName());
}

void SorvaneAppDelegate::resolveSigningKey(bool first) {
    m_keyringQueue->async([this, first, keys = m_signingKeys, promise = first ? m_firstKeyAnswer : nullptr,
                           deliver = onMain(std::function<void(std::shared_ptr<crypto::Ed25519PrivateKey>)>(
                               [this](std::shared_ptr<crypto::Ed25519PrivateKey> key) {
                                   signingKeyResolved(std::move(*key));
                               }))] {
        SigningKeyResult answer;
        try {
            answer = keys->resolve(first);
        } catch (const std::exception& e) {
            if (promise) {
                promise->set_exception(std::current_exception());
                return; // start-up ends the program
            }
            answer.refusal = e.what();
        }
        if (promise)
            promise->set_value(answer);
        if (answer.key) {
            // Start-up takes the first answer itself when it came in time; the
            // main thread ignores the copy then.
            deliver(std::make_shared<crypto::Ed25519PrivateKey>(std::move(*answer.key)));
            return;
        }
        if (!first)
            logLine("Sorvane: the keyring still refuses the signing key (" + answer.refusal +
                    ") \u2014 asking again in " + std::to_string(kKeyringRetry.count() / 1000) + " s");
        m_keyringQueue->asyncAfter(kKeyringRetry, [this] { resolveSigningKey(false); });
    });
}

void SorvaneAppDelegate::signingKeyResolved(crypto::Ed25519PrivateKey key) {
    if (!m_appState || m_appState->identity || m_terminating)
        return;
    m_appState->identity = Identity{m_deviceID, std::move(key)};
    logLine("Sorvane: the keyring gave the signing key \u2014 starting sync");
    startSync();
    logReady();
    refreshPanel();
}

void SorvaneAppDelegate::applicationWillTerminate() {
    if (m_terminated)
        return;
    m_terminated = true;
    m_terminating = true;
    logLine("Sorvane: shutting down");
    m_env.power.stop();
    // The goodbye follows any frame still being paced out; both get the time
    // the phone would wait for the frame.
    if (m_peripheral)
        m_peripheral->notify(std::string(charControl), Bytes{CONTROL_GOODBYE});
    if (m_pasteboardWatcher)
        m_pasteboardWatcher->stop();
    if (m_peripheral) {
        auto sent = std::make_shared<std::promise<void>>();
        auto goodbyeSent = sent->get_future();
        m_peripheral->whenSent(SorvanePeripheral::kDrainLimit, [sent] { sent->set_value(); });
        // A frame still being written on the L2CAP channel finishes first, as
        // long as the phone keeps reading it.
        goodbyeSent.wait_for(SorvanePeripheral::kWriteDrainLimit);
    }
    m_env.application.spinRunLoop(kGoodbyeSpin);
    if (m_peripheral)
        m_peripheral->shutdown();
    m_env.application.spinRunLoop(kTeardownSpin);
    // The history is written on its own thread: every change is on disk before
    // the program may end.
    if (m_appState)
        m_appState->history->flush();
    logLine("Sorvane: shutdown complete");
}

void SorvaneAppDelegate::systemWillSleep(PowerMonitor::ReleaseSleep release) {
    logLine("Sorvane: Mac going to sleep \u2014 notifying phone");
    if (!m_peripheral) {
        finishSleep(std::move(release));
        return;
    }
    // A frame being paced out finishes first, then the goodbye; the session
    // goes only after both, so that nothing still on its way refers to it.
    m_peripheral->notify(std::string(charControl), Bytes{CONTROL_GOODBYE});
    MainQueue* queue = &m_env.mainQueue;
    m_peripheral->whenSent(SorvanePeripheral::kDrainLimit,
                           [this, alive = m_liveness.watch(), queue, release = std::move(release)]() mutable {
                               queue->post([this, alive, release = std::move(release)]() mutable {
                                   if (alive && !m_terminating)
                                       finishSleep(std::move(release));
                                   else if (release)
                                       release(); // never hold the system up
                               });
                           });
}

void SorvaneAppDelegate::finishSleep(PowerMonitor::ReleaseSleep release) {
    if (m_appState) {
        dropSession();
        m_appState->connectedCount = 0;
    }
    m_centrals.clear();
    if (release) {
        // Give the goodbye the same time to leave as at quit before letting go.
        m_env.mainQueue.postDelayed(kGoodbyeSpin, std::move(release));
    }
}

void SorvaneAppDelegate::systemDidWake() {
    logLine("Sorvane: Mac woke up \u2014 re-starting BLE advertising");
    if (m_peripheral && m_appState)
        m_peripheral->startAdvertising(m_appState->advertisedLocalName());
}

void SorvaneAppDelegate::handleL2CAPWriteFailed() {
    logLine("Sorvane: L2CAP write failed \u2014 triggering peripheral rebuild");
    m_rebuildInProgress = true;
    if (m_peripheral)
        m_peripheral->rebuild();
}

// ------------------------------------------------------------ auto-paste

void SorvaneAppDelegate::capturePreviousApp() {
    m_previousApp = (m_env.desktop ? *m_env.desktop : m_noDesktop).frontmostApplication();
}

void SorvaneAppDelegate::pasteIntoPreviousApp() {
    m_autoPaster.pasteIntoPreviousApp(m_previousApp);
}

void SorvaneAppDelegate::requestAccessibilityIfNeeded() {
    m_autoPaster.requestAccessibilityIfNeeded();
}

// ------------------------------------------------------------ inbound

void SorvaneAppDelegate::forgetCentrals() {
    m_centrals.clear();
    m_appState->connectedCount = 0;
}

void SorvaneAppDelegate::dropSession() {
    m_appState->session.reset();
    m_sessionCentral.reset();
}

void SorvaneAppDelegate::handlePeripheralEvent(const PeripheralEvent& event) {
    if (!m_appState)
        return;
    auto notePresent = [this](const std::string& id) {
        if (!m_centrals.insert(id).second)
            return;
        logLine("central present: " + id + " (total=" + std::to_string(m_centrals.size()) + ")");
        m_appState->connectedCount = static_cast<int64_t>(m_centrals.size());
        refreshPanel();
    };

    if (auto* connected = std::get_if<PeripheralEvent::CentralConnected>(&event.value)) {
        notePresent(connected->centralID);
    } else if (auto* write = std::get_if<PeripheralEvent::Write>(&event.value)) {
        notePresent(write->centralID);
        logLine("write from " + write->centralID + " on " + write->charUUID + ": " +
                std::to_string(write->data.size()) + " bytes");
        if (uuidEquals(write->charUUID, charPairing)) {
            handlePairingHello(write->centralID, write->data);
        } else if (uuidEquals(write->charUUID, charControl)) {
            if (!write->data.empty())
                handleControlOpcode(write->centralID, write->data.front());
        } else if (uuidEquals(write->charUUID, charClipboardTx)) {
            handleInboundClipboardChunk(write->centralID, write->data);
        }
    } else if (auto* subscribed = std::get_if<PeripheralEvent::Subscribed>(&event.value)) {
        notePresent(subscribed->centralID);
        if (m_rebuildInProgress) {
            m_rebuildInProgress = false;
            logLine("Sorvane: rebuild complete \u2014 phone reconnected");
        }
        logLine(subscribed->centralID + " subscribed to " + subscribed->charUUID);
    } else if (auto* gone = std::get_if<PeripheralEvent::CentralDisconnected>(&event.value)) {
        // Its unfinished frames can never complete now.
        if (m_reassembler)
            m_reassembler->dropSender(gone->centralID);
        if (m_centrals.erase(gone->centralID) == 0)
            return;
        logLine("central disconnected: " + gone->centralID + " (total=" +
                std::to_string(m_centrals.size()) + ")");
        m_appState->connectedCount = static_cast<int64_t>(m_centrals.size());
        if (m_centrals.empty()) {
            m_peripheral->startAdvertising(m_appState->advertisedLocalName());
            logLine("re-started advertising after disconnect");
        }
        // Only the phone's own departure ends its session: another central
        // coming and going must not cost the phone its keys.
        if (m_sessionCentral == gone->centralID)
            dropSession();
        refreshPanel();
    } else if (std::holds_alternative<PeripheralEvent::PoweredOff>(event.value)) {
        if (!m_centrals.empty())
            logLine("bluetooth powered off: dropping " + std::to_string(m_centrals.size()) +
                    " central(s)");
        else
            logLine("bluetooth powered off");
        forgetCentrals();
        dropSession();
        refreshPanel();
    }
}

void SorvaneAppDelegate::recordReceived(const std::string& text) {
    m_env.statusItem.animateIconPulse();
    const std::string hash = sha256ShortHex(text);
    m_appState->history->record(text, hash, Direction::received);
    refreshPanel();
    if (m_appState->history->autoApply()) {
        m_pasteboardWatcher->setSuppressHash(hash);
        m_pasteboardWatcher->writeString(text);
    }
}

namespace {

// The name cut to what the panel and the peers file hold, as valid UTF-8.
std::string boundedPhoneName(std::string_view name) {
    std::string cut = cutToGraphemes(name, SorvaneAppDelegate::kPhoneNameGraphemes).head;
    if (cut.size() > SorvaneAppDelegate::kPhoneNameBytes) {
        // One cluster can be long (combining marks): cut at a code point.
        size_t end = SorvaneAppDelegate::kPhoneNameBytes;
        while (end > 0 && (static_cast<uint8_t>(cut[end]) & 0xC0) == 0x80)
            --end;
        cut.resize(end);
    }
    return cut;
}

} // namespace

void SorvaneAppDelegate::applyPhoneName(const std::string& received, const char* logPrefix) {
    const std::string name = boundedPhoneName(received);
    logLine(logPrefix + name);
    m_appState->phoneName = name;
    persistPhoneName(name);
    refreshPanel();
}

// The log texts of one inbound route; the handling is the same for both.
struct SorvaneAppDelegate::InboundRoute {
    const char* plainRefused;
    const char* noSession;
    const char* decryptFailed;
    const char* decrypted;    // followed by the plaintext size and " bytes)"
    const char* decodeFailed; // null: dropped without a word
    const char* phoneName;
    const char* paused;       // followed by the size and "B) — sync PAUSED, dropped"
    const char* received;     // followed by the size and " bytes)"
    bool reportsAutoApplyOff;
};

namespace {

const SorvaneAppDelegate::InboundRoute kGattRoute{
    "refused a plain clipboard frame \u2014 only sealed frames are accepted",
    "encrypted frame but no session \u2014 dropping",
    "decrypt failed: ",
    "\U0001F4CB decrypted inbound (",
    "inbound decode failed",
    "\U0001F4F1 phone name: ",
    "\U0001F4CB clipboard received (",
    "\U0001F4CB clipboard text received (",
    true};

const SorvaneAppDelegate::InboundRoute kL2CAPRoute{
    "L2CAP: refused a plain frame \u2014 only sealed frames are accepted",
    "L2CAP: encrypted frame but no session \u2014 dropping",
    "L2CAP decrypt failed: ",
    "\U0001F4CB L2CAP decrypted inbound (",
    nullptr,
    "\U0001F4F1 phone name (L2CAP): ",
    "\U0001F4CB L2CAP received (",
    "\U0001F4CB L2CAP clipboard received (",
    false};

} // namespace

void SorvaneAppDelegate::handleInboundClipboardChunk(const std::string& central, ByteView data) {
    auto chunk = parseChunk(data);
    if (!chunk) {
        logLine("chunk parse failed");
        return;
    }
    auto frame = m_reassembler->push(central, *chunk);
    if (!frame)
        return;
    handleInboundFrame(frame->flags, chunk->frameID, std::move(frame->payload), kGattRoute);
}

void SorvaneAppDelegate::handleL2CAPInbound(ByteView data) {
    if (!m_appState)
        return;
    auto frame = parseL2CAPFrame(data);
    if (!frame)
        return;
    handleInboundFrame(frame->flags, frame->frameID, toBytes(frame->payload), kL2CAPRoute);
}

void SorvaneAppDelegate::handleInboundFrame(uint8_t flags, uint16_t frameID, Bytes payload,
                                            const InboundRoute& route) {
    // Anyone in range can write a plain frame: only what the paired phone
    // sealed reaches the clipboard, the history or the phone's name.
    if (!(flags & kFlagEncrypted)) {
        logLine(route.plainRefused);
        return;
    }
    if (!m_appState->session) {
        logLine(route.noSession);
        return;
    }
    Bytes plaintext;
    const auto aad = buildAAD(serviceUUID, charClipboardTx, frameID);
    try {
        plaintext = m_appState->session->rx->decryptFrame(aad, std::move(payload));
    } catch (const std::exception& e) {
        logLine(std::string(route.decryptFailed) + e.what());
        return;
    }
    logLine(route.decrypted + std::to_string(plaintext.size()) + " bytes)");

    auto message = decodeMessage(plaintext);
    if (!message) {
        if (route.decodeFailed)
            logLine(route.decodeFailed);
        return;
    }
    if (auto* name = std::get_if<SorvaneMessage::PhoneName>(&message->value)) {
        applyPhoneName(name->name, route.phoneName);
        return;
    }
    auto* clip = std::get_if<SorvaneMessage::ClipboardText>(&message->value);
    if (!clip)
        return;
    const std::string size = std::to_string(clip->text.size());
    if (m_appState->syncPaused) {
        logLine(route.paused + size + "B) \u2014 sync PAUSED, dropped");
        return;
    }
    logLine(route.received + size + " bytes)");
    recordReceived(clip->text);
    if (route.reportsAutoApplyOff && !m_appState->history->autoApply())
        logLine("auto-apply OFF \u2014 clipboard NOT written to pasteboard");
}

void SorvaneAppDelegate::handleControlOpcode(const std::string& central, uint8_t opcode) {
    if (opcode != CONTROL_UNPAIR) {
        logLine("control: unknown opcode 0x" + hexByte(opcode));
        return;
    }
    // The byte carries no proof of who wrote it: only the central that keyed
    // the session with the phone's identity may end the pairing.
    if (m_sessionCentral != central) {
        logLine("control: CONTROL_UNPAIR from " + central +
                ", which holds no session \u2014 ignored");
        return;
    }
    logLine("control: CONTROL_UNPAIR from phone \u2014 clearing peer + session");
    try {
        m_appState->keyStore->removeAllPeers();
    } catch (const std::exception& e) {
        // The phone has forgotten us either way, but the stale file makes it
        // count as paired again at the next start: say so.
        logLine(std::string("Sorvane: could not remove the paired phone's record, it will count "
                            "as paired at the next start: ") +
                e.what());
    }
    dropSession();
    m_heldText.reset();
    m_appState->phoneName.reset();
    forgetCentrals();
    refreshPanel();
}

void SorvaneAppDelegate::persistPhoneName(const std::string& name) {
    auto peers = m_appState->keyStore->loadPeers();
    if (peers.empty())
        return;
    PeerRecord first = peers.front();
    if (first.phoneName == name)
        return;
    first.phoneName = name;
    try {
        m_appState->keyStore->putPeer(first);
    } catch (const std::exception& e) {
        logLine(std::string("phoneName persist failed: ") + e.what());
    }
}

// ------------------------------------------------------------ outbound

OutboundResult SorvaneAppDelegate::handleOutboundClipboard(const std::string& text,
                                                           const std::string& hash, bool manual) {
    if (!m_appState || m_terminating)
        return OutboundResult::notRunning;
    if (manual && (!m_peripheral || !m_peripheral->isPoweredOn())) {
        AlertPresenter* alerts = &m_env.alerts;
        m_env.mainQueue.post([alerts] { alerts->showBluetoothOffAlert(); });
        return OutboundResult::bluetoothOff;
    }
    m_appState->history->record(text, hash, Direction::sent);
    refreshPanel();

    const std::string size = std::to_string(text.size());
    if (!manual) {
        if (m_appState->syncPaused) {
            logLine("\U0001F4E4 mac\u2192phone clipboard (" + size + "B) \u2014 sync PAUSED, local-only");
            return OutboundResult::syncPaused;
        }
        if (!m_appState->autoPush) {
            logLine("\U0001F4E4 mac\u2192phone clipboard (" + size + "B) \u2014 auto-push OFF, skipped");
            return OutboundResult::autoSendOff;
        }
    }
    // Nothing leaves unsealed: whoever subscribed without a session may be
    // anyone in range.
    if (!m_appState->session) {
        if (m_appState->keyStore->peers().empty()) {
            logLine("\U0001F4E4 mac\u2192phone clipboard (" + size +
                    "B) \u2014 no phone paired, not sent");
            return OutboundResult::noPhonePaired;
        }
        holdForSession(text);
        logLine("\U0001F4E4 mac\u2192phone clipboard (" + size +
                "B) \u2014 held until the phone's handshake");
        return OutboundResult::heldForSession;
    }
    return sendSealed(text, hash);
}

OutboundResult SorvaneAppDelegate::sendSealed(const std::string& text, const std::string& hash) {
    if (!m_peripheral)
        return OutboundResult::notRunning;
    if (!m_centrals.empty() && !m_appState->keyStore->peers().empty())
        m_env.statusItem.animateIconPulse();

    const uint16_t frameID = m_appState->frameCounter;
    m_appState->frameCounter = static_cast<uint16_t>(frameID + 1);

    const auto aad = buildAAD(serviceUUID, charClipboardRx, frameID);
    Bytes body;
    try {
        body = m_appState->session->tx->encryptFrame(aad, encodeClipboardText(text));
    } catch (const std::exception& e) {
        logLine(std::string("\u274C encrypt failed on paired session \u2014 dropping frame: ") +
                e.what());
        return OutboundResult::sealFailed;
    }
    const size_t bodySize = body.size();
    const size_t chunkCount = std::max<size_t>(1, (bodySize + kGattChunkBody - 1) / kGattChunkBody);
    const std::string head = "\U0001F4E4 mac\u2192phone clipboard (" + std::to_string(bodySize) + " bytes, ";
    if (chunkCount > kMaxGattChunks && !m_peripheral->hasL2CAPChannel()) {
        logLine(head + std::to_string(chunkCount) +
                " chunks) \u2014 too large to send without an L2CAP channel, not sent");
        return OutboundResult::tooLarge;
    }
    // The route is settled on the peripheral's queue, in order with the frames
    // before it; the report runs there, logs, and tells the main thread.
    const std::string tail = "encrypted=true, frame=" + std::to_string(frameID) + ")";
    m_framesInFlight.insert(hash);
    auto settled = onMain(std::function<void(std::string)>([this](std::string done) {
        if (auto it = m_framesInFlight.find(done); it != m_framesInFlight.end())
            m_framesInFlight.erase(it);
    }));
    m_peripheral->sendFrame(
        OutboundFrame{kFlagEncrypted, frameID, std::move(body)}, std::string(charClipboardRx),
        [head, tail](FrameRoute route, size_t chunks) {
            switch (route) {
            case FrameRoute::l2cap:
                logLine(head + "L2CAP, " + tail);
                break;
            case FrameRoute::gatt:
                logLine(head + std::to_string(chunks) + " chunks, " + tail);
                break;
            case FrameRoute::tooLarge:
                logLine(head + std::to_string(chunks) +
                        " chunks) \u2014 too large to send without an L2CAP channel, not sent");
                break;
            }
        },
        [hash, settled] { settled(hash); });
    return OutboundResult::handedToRadio;
}

void SorvaneAppDelegate::holdForSession(const std::string& text) {
    // Only the newest text counts: an older one the user copied over is stale.
    m_heldText = text;
    m_heldSince = m_env.steadyClock();
    const uint64_t generation = ++m_heldGeneration;
    m_env.mainQueue.postDelayed(
        std::chrono::duration_cast<std::chrono::milliseconds>(kHeldTextLifetime),
        [this, alive = m_liveness.watch(), generation] {
            if (!alive || generation != m_heldGeneration || !m_heldText)
                return;
            m_heldText.reset();
            logLine("\U0001F4E4 held clipboard text dropped \u2014 no session with the phone within " +
                    std::to_string(kHeldTextLifetime.count()) + " s");
        });
}

void SorvaneAppDelegate::sendHeldText() {
    if (!m_heldText)
        return;
    std::string text = std::move(*m_heldText);
    m_heldText.reset();
    ++m_heldGeneration;
    if (m_env.steadyClock() - m_heldSince > kHeldTextLifetime)
        return; // its timer is about to say so
    sendSealed(text, sha256ShortHex(text));
}

// ------------------------------------------------------------ pairing

void SorvaneAppDelegate::handlePairingHello(const std::string& central, ByteView data) {
    logLine("pairing: received PairingHello (" + std::to_string(data.size()) + " bytes)");
    std::optional<PairingHelloParsed> hello;
    try {
        hello = parsePairingHello(data);
    } catch (const std::exception& e) {
        logLine(std::string("pairing: failed: ") + e.what());
        return;
    }
    if (!hello->identityPubEd25519.verify(hello->signedBody, hello->signature)) {
        logLine("pairing: signature check failed");
        return;
    }
    const std::string hexID = Hex::encode(hello->identityPubEd25519.raw());
    const std::string deviceHex = Hex::encode(hello->deviceID);
    // A hello recorded on the air and played again would hand its sender the
    // session's place (and so the unpair byte): each nonce is taken once.
    const std::string nonceHex = Hex::encode(hello->nonce);
    if (std::find(m_helloNonces.begin(), m_helloNonces.end(), nonceHex) != m_helloNonces.end()) {
        logLine("pairing: refused a replayed PairingHello from " + central);
        return;
    }

    const auto stored = m_appState->keyStore->readPeers();
    const bool windowOpen = m_env.pairingWindow.isOpen();
    if (!stored && !windowOpen) {
        // Whether this is the paired phone is unknown: telling it to forget us
        // could undo a pairing that is only unreadable for now.
        logLine("pairing: peers.json cannot be read \u2014 leaving the hello from " + deviceHex +
                " unanswered");
        return;
    }
    const std::vector<PeerRecord> peers = stored.value_or(std::vector<PeerRecord>{});
    if (!peers.empty()) {
        const std::string& storedKey = peers.front().identityPubkeyEd25519Hex;
        if (storedKey != hexID) {
            logLine("pairing: rejected \u2014 Mac already paired to " + storedKey.substr(0, 16) +
                    ". Unpair first.");
            return;
        }
    } else if (!windowOpen) {
        logLine("pairing: rejected \u2014 no peer stored and Pair window is not open. Telling " +
                deviceHex + " to forget us.");
        m_peripheral->notify(std::string(charControl), Bytes{CONTROL_UNPAIR});
        return;
    }

    logLine("pairing: Hello verified from " + deviceHex);
    const auto ephemeral = crypto::X25519PrivateKey::generate();
    SessionKeyMaterial keys;
    try {
        keys = deriveSessionKeys(ephemeral, hello->ephemeralPubX25519, hello->nonce);
    } catch (const std::exception& e) {
        logLine(std::string("pairing: failed: ") + e.what());
        return;
    }
    m_helloNonces.push_back(nonceHex);
    if (m_helloNonces.size() > kHelloNoncesKept)
        m_helloNonces.pop_front();
    m_appState->session = ActiveSession::fromKeys(keys.keyA, keys.keyB);
    m_sessionCentral = central;
    logLine("pairing: session keys derived \u2713");

    // The paired phone's handshake after a reconnection keeps the record it
    // has (its name, the time it paired); a new phone gets a fresh one.
    PeerRecord record;
    if (!peers.empty()) {
        record = peers.front();
    } else {
        record.identityPubkeyEd25519Hex = hexID;
        record.pairedAtMs = millisecondsSince1970(m_env.wallClock());
        record.lastCounterReceived = 0;
    }
    record.deviceIDHex = deviceHex;
    try {
        if (peers.empty() || record != peers.front())
            m_appState->keyStore->putPeer(record);
    } catch (const std::exception& e) {
        logLine(std::string("pairing: failed: ") + e.what());
        return;
    }
    logLine("pairing: peer persisted \u2713");

    const Bytes ack = buildPairingAck(m_appState->identity->signingKey, ephemeral.publicKey(), hello->nonce);
    m_peripheral->notify(std::string(charPairing), ack);
    logLine("pairing: Ack sent \u2713");
    m_env.pairingWindow.close();
    // Queued after the ack, so the phone has its keys when the text arrives.
    sendHeldText();
    refreshPanel();
}

} // namespace sorvane

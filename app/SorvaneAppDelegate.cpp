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

std::string yesNo(bool value) { return value ? "true" : "false"; }

} // namespace

SorvaneAppDelegate::SorvaneAppDelegate(AppEnvironment environment)
    : m_env(std::move(environment)),
      m_autoPaster(m_env.mainQueue, m_env.desktop ? *m_env.desktop : m_noDesktop) {}

SorvaneAppDelegate::~SorvaneAppDelegate() {
    // Callbacks still queued find the delegate gone and do nothing.
    m_liveness.end();
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
    if (m_env.installer.promptAndMoveIfNeeded())
        return;
    m_env.installer.enableLaunchAtLoginByDefault();

    std::unique_ptr<KeyStore> keyStore;
    std::optional<Identity> identity;
    try {
        keyStore = std::make_unique<KeyStore>(KeyStore::defaultDirectory(m_env.directories),
                                              m_env.makeSecretStore());
        identity = keyStore->loadOrCreateIdentity();
    } catch (const std::exception& e) {
        logLine(std::string("Sorvane: fatal init error: ") + e.what());
        m_env.application.requestTermination();
        return;
    }

    auto history = std::make_unique<History>(keyStore->directory() / "history.json", m_env.wallClock);
    m_appState = std::make_unique<AppState>(std::move(*identity), std::move(keyStore), std::move(history));
    m_appState->autoPaste = m_env.defaults.boolIfPresent("auto_paste").value_or(true);

    if (const auto& peers = m_appState->keyStore->peers(); !peers.empty())
        m_appState->phoneName = peers.front().phoneName;

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

    m_pasteboardWatcher = m_env.makePasteboardWatcher();
    m_pasteboardWatcher->setOnChange(onMain(std::function<void(std::string, std::string)>(
        [this](std::string text, std::string hash) { handleOutboundClipboard(text, hash, false); })));
    m_pasteboardWatcher->start();

    m_env.statusItem.install();
    m_env.hotKey.registerHotKey(onMain(std::function<void()>([this] { togglePanel(); })));

    MainQueue* queue = &m_env.mainQueue;
    m_env.power.start(
        [this, alive = m_liveness.watch(), queue](PowerMonitor::ReleaseSleep release) {
            queue->post([this, alive, release = std::move(release)]() mutable {
                if (alive && !m_terminating)
                    macWillSleep(std::move(release));
                else if (release)
                    release(); // nobody left to say goodbye: never hold the system up
            });
        },
        onMain(std::function<void()>([this] { macDidWake(); })));

    logLine("Sorvane: ready (device " + Hex::encode(m_appState->identity.deviceID) + ")");
    logLine("Sorvane: pairing code = " +
            derivePairingCode(m_appState->identity.signingKey.publicKey(), 0, m_env.wallClock));

    m_env.updater.start(m_env.defaults.boolIfPresent("auto_update_check").value_or(true));
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
        goodbyeSent.wait_for(SorvanePeripheral::kDrainLimit + std::chrono::seconds(1));
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

void SorvaneAppDelegate::macWillSleep(PowerMonitor::ReleaseSleep release) {
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
        m_appState->session.reset();
        m_appState->connectedCount = 0;
    }
    m_centrals.clear();
    if (release) {
        // Give the goodbye the same time to leave as at quit before letting go.
        m_env.mainQueue.postDelayed(kGoodbyeSpin, std::move(release));
    }
}

void SorvaneAppDelegate::macDidWake() {
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
            handlePairingHello(write->data);
        } else if (uuidEquals(write->charUUID, charControl)) {
            if (!write->data.empty())
                handleControlOpcode(write->data.front());
        } else if (uuidEquals(write->charUUID, charClipboardTx)) {
            handleInboundClipboardChunk(write->data);
        }
    } else if (auto* subscribed = std::get_if<PeripheralEvent::Subscribed>(&event.value)) {
        notePresent(subscribed->centralID);
        if (m_rebuildInProgress) {
            m_rebuildInProgress = false;
            logLine("Sorvane: rebuild complete \u2014 phone reconnected");
        }
        logLine(subscribed->centralID + " subscribed to " + subscribed->charUUID);
    } else if (auto* gone = std::get_if<PeripheralEvent::CentralDisconnected>(&event.value)) {
        if (m_centrals.erase(gone->centralID) == 0)
            return;
        logLine("central disconnected: " + gone->centralID + " (total=" +
                std::to_string(m_centrals.size()) + ")");
        m_appState->connectedCount = static_cast<int64_t>(m_centrals.size());
        if (m_centrals.empty()) {
            m_peripheral->startAdvertising(m_appState->advertisedLocalName());
            logLine("re-started advertising after disconnect");
        }
        m_appState->session.reset();
        refreshPanel();
    } else if (std::holds_alternative<PeripheralEvent::PoweredOff>(event.value)) {
        if (!m_centrals.empty())
            logLine("bluetooth powered off: dropping " + std::to_string(m_centrals.size()) +
                    " central(s)");
        else
            logLine("bluetooth powered off");
        forgetCentrals();
        m_appState->session.reset();
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

void SorvaneAppDelegate::applyPhoneName(const std::string& name, const char* logPrefix) {
    logLine(logPrefix + name);
    m_appState->phoneName = name;
    persistPhoneName(name);
    refreshPanel();
}

// The log texts of one inbound route; the handling is the same for both.
struct SorvaneAppDelegate::InboundRoute {
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
    "encrypted frame but no session \u2014 dropping",
    "decrypt failed: ",
    "\U0001F4CB decrypted inbound (",
    "inbound decode failed",
    "\U0001F4F1 phone name: ",
    "\U0001F4CB clipboard received (",
    "\U0001F4CB clipboard text received (",
    true};

const SorvaneAppDelegate::InboundRoute kL2CAPRoute{
    "L2CAP: encrypted frame but no session \u2014 dropping",
    "L2CAP decrypt failed: ",
    "\U0001F4CB L2CAP decrypted inbound (",
    nullptr,
    "\U0001F4F1 phone name (L2CAP): ",
    "\U0001F4CB L2CAP received (",
    "\U0001F4CB L2CAP clipboard received (",
    false};

} // namespace

void SorvaneAppDelegate::handleInboundClipboardChunk(ByteView data) {
    auto chunk = parseChunk(data);
    if (!chunk) {
        logLine("chunk parse failed");
        return;
    }
    auto frame = m_reassembler->push(*chunk);
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
    Bytes plaintext;
    if (flags & kFlagEncrypted) {
        if (!m_appState->session) {
            logLine(route.noSession);
            return;
        }
        const auto aad = buildAAD(serviceUUID, charClipboardTx, frameID);
        try {
            plaintext = m_appState->session->rx->decryptFrame(aad, std::move(payload));
        } catch (const std::exception& e) {
            logLine(std::string(route.decryptFailed) + e.what());
            return;
        }
        logLine(route.decrypted + std::to_string(plaintext.size()) + " bytes)");
    } else {
        plaintext = std::move(payload);
    }

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

void SorvaneAppDelegate::handleControlOpcode(uint8_t opcode) {
    if (opcode != CONTROL_UNPAIR) {
        logLine("control: unknown opcode 0x" + hexByte(opcode));
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
    m_appState->session.reset();
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

void SorvaneAppDelegate::handleOutboundClipboard(const std::string& text, const std::string& hash,
                                                 bool manual) {
    if (!m_appState || m_terminating)
        return;
    if (manual && (!m_peripheral || !m_peripheral->isPoweredOn())) {
        AlertPresenter* alerts = &m_env.alerts;
        m_env.mainQueue.post([alerts] { alerts->showBluetoothOffAlert(); });
        return;
    }
    m_appState->history->record(text, hash, Direction::sent);
    refreshPanel();

    const std::string size = std::to_string(text.size());
    if (!manual) {
        if (m_appState->syncPaused) {
            logLine("\U0001F4E4 mac\u2192phone clipboard (" + size + "B) \u2014 sync PAUSED, local-only");
            return;
        }
        if (!m_appState->autoPush) {
            logLine("\U0001F4E4 mac\u2192phone clipboard (" + size + "B) \u2014 auto-push OFF, skipped");
            return;
        }
    }

    if (!m_centrals.empty() && !m_appState->keyStore->loadPeers().empty())
        m_env.statusItem.animateIconPulse();

    const uint16_t frameID = m_appState->frameCounter;
    m_appState->frameCounter = static_cast<uint16_t>(frameID + 1);

    Bytes body = encodeClipboardText(text);
    bool encrypted = false;
    if (m_appState->session) {
        const auto aad = buildAAD(serviceUUID, charClipboardRx, frameID);
        try {
            body = m_appState->session->tx->encryptFrame(aad, body);
        } catch (const std::exception& e) {
            logLine(std::string("\u274C encrypt failed on paired session \u2014 dropping frame: ") +
                    e.what());
            return;
        }
        encrypted = true;
    }
    const uint8_t flags = encrypted ? kFlagEncrypted : 0;
    const std::string tail = "encrypted=" + yesNo(encrypted) + ", frame=" + std::to_string(frameID) + ")";

    if (m_peripheral->sendL2CAP(buildL2CAPFrame(flags, frameID, body))) {
        logLine("\U0001F4E4 mac\u2192phone clipboard (" + std::to_string(body.size()) +
                " bytes, L2CAP, " + tail);
        return;
    }

    // A frame whose chunks cannot all reach the phone inside its reassembly
    // window would only hold up the frames behind it.
    const size_t chunkCount =
        std::max<size_t>(1, (body.size() + kGattChunkBody - 1) / kGattChunkBody);
    if (chunkCount > kMaxGattChunks) {
        logLine("\U0001F4E4 mac\u2192phone clipboard (" + std::to_string(body.size()) + " bytes, " +
                std::to_string(chunkCount) +
                " chunks) \u2014 too large to send without an L2CAP channel, not sent");
        return;
    }
    std::vector<Bytes> chunks = chunkPayload(frameID, body, kGattChunkBody, flags);
    logLine("\U0001F4E4 mac\u2192phone clipboard (" + std::to_string(body.size()) + " bytes, " +
            std::to_string(chunks.size()) + " chunks, " + tail);
    m_peripheral->notifyPaced(std::string(charClipboardRx), std::move(chunks));
}

// ------------------------------------------------------------ pairing

void SorvaneAppDelegate::handlePairingHello(ByteView data) {
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

    const auto peers = m_appState->keyStore->loadPeers();
    if (!peers.empty()) {
        const std::string& stored = peers.front().identityPubkeyEd25519Hex;
        if (stored != hexID) {
            logLine("pairing: rejected \u2014 Mac already paired to " + stored.substr(0, 16) +
                    ". Unpair first.");
            return;
        }
    } else if (!m_env.pairingWindow.isOpen()) {
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
    m_appState->session = ActiveSession::fromKeys(keys.keyA, keys.keyB);
    logLine("pairing: session keys derived \u2713");

    PeerRecord record;
    record.deviceIDHex = deviceHex;
    record.identityPubkeyEd25519Hex = hexID;
    record.pairedAtMs = millisecondsSince1970(m_env.wallClock());
    record.lastCounterReceived = 0;
    try {
        m_appState->keyStore->putPeer(record);
    } catch (const std::exception& e) {
        logLine(std::string("pairing: failed: ") + e.what());
        return;
    }
    logLine("pairing: peer persisted \u2713");

    const Bytes ack = buildPairingAck(m_appState->identity.signingKey, ephemeral.publicKey(), hello->nonce);
    m_peripheral->notify(std::string(charPairing), ack);
    logLine("pairing: Ack sent \u2713");
    m_env.pairingWindow.close();
}

} // namespace sorvane

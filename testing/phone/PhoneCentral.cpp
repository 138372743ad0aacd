#include "testing/phone/PhoneCentral.h"

#include "ble/L2CAPFraming.h"
#include "base/Log.h"
#include "base/WakeupFd.h"
#include "protocol/ChunkFraming.h"
#include "base/Hex.h"
#include "protocol/PairingHandshake.h"
#include "protocol/Uuids.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace sorvane::phone {

struct PhoneCentral::L2CAPReader {
    std::shared_ptr<ByteChannel> channel;
    WakeupFd wake;
    std::atomic<bool> stop{false};
    std::atomic<bool> closed{false};
    Bytes buffer; // reader thread only
    std::thread thread;
};

PhoneCentral::PhoneCentral(CentralLink& link, crypto::Ed25519PrivateKey identity, Bytes deviceID,
                           Options options)
    : m_link(link), m_identity(std::move(identity)), m_deviceID(std::move(deviceID)),
      m_options(std::move(options)), m_reassembler(m_options.clock) {
    m_link.setNotificationHandler(
        [this](const std::string& uuid, Bytes value) { onNotification(uuid, std::move(value)); });
}

PhoneCentral::PhoneCentral(CentralLink& link, crypto::Ed25519PrivateKey identity, Bytes deviceID)
    : PhoneCentral(link, std::move(identity), std::move(deviceID), Options{}) {}

std::unique_ptr<PhoneCentral> PhoneCentral::withNewIdentity(CentralLink& link, Options options) {
    return std::make_unique<PhoneCentral>(link, crypto::Ed25519PrivateKey::generate(),
                                          crypto::randomBytes(16), std::move(options));
}

std::unique_ptr<PhoneCentral> PhoneCentral::withNewIdentity(CentralLink& link) {
    return withNewIdentity(link, Options{});
}

PhoneCentral::~PhoneCentral() {
    m_link.setNotificationHandler(nullptr);
    closeL2CAP();
}

// ---- Discovery

bool PhoneCentral::learnDesktop(std::string_view qrText) {
    const auto qr = parseQRPayload(qrText);
    if (!qr || !crypto::isStrongEd25519PublicKey(qr->identityPub))
        return false;
    try {
        m_desktopKey = crypto::Ed25519PublicKey::fromRaw(qr->identityPub);
    } catch (const crypto::CryptoLibraryError&) {
        return false;
    }
    return true;
}

std::optional<DeviceInfo> PhoneCentral::readDeviceInfo() {
    const size_t piece = m_link.maxReadLength();
    Bytes record;
    for (;;) {
        const auto answer = m_link.read(charDeviceInfo, record.size());
        if (!answer || answer->result != AttResult::success)
            return std::nullopt;
        record.insert(record.end(), answer->value.begin(), answer->value.end());
        // A full piece may have more behind it; a short one is the end.
        if (answer->value.size() < piece || piece == 0)
            break;
        if (record.size() > (64u << 10))
            return std::nullopt;
    }
    return parseDeviceInfo(record);
}

std::optional<uint16_t> PhoneCentral::readPSM() {
    const auto answer = m_link.read(charL2capPsm, 0);
    if (!answer || answer->result != AttResult::success)
        return std::nullopt;
    ByteReader r(answer->value);
    const auto hi = r.readU8();
    const auto lo = r.readU8();
    if (!hi || !lo)
        return std::nullopt;
    m_psm = static_cast<uint16_t>((*hi << 8) | *lo);
    return m_psm;
}

bool PhoneCentral::subscribe() {
    return m_link.subscribe(charPairing) && m_link.subscribe(charClipboardRx) &&
           m_link.subscribe(charControl);
}

// ---- Handshake

bool PhoneCentral::pair(HelloFault fault) {
    if (!m_desktopKey)
        return false;
    const auto ephemeral = crypto::X25519PrivateKey::generate();
    const Bytes nonce = crypto::randomBytes(16);
    Bytes hello = buildPairingHello(m_deviceID, m_identity, ephemeral.publicKey(), nonce);
    if (fault == HelloFault::badSignature)
        hello.back() ^= 0x01;
    {
        MutexLock lock(m_mutex);
        m_acks.clear();
        m_handshaking = true;
        m_lastHello = hello;
        m_pendingFrames.clear();
    }
    // Whatever the outcome, frames held for the keys are handled once it is known.
    struct EndHandshake {
        PhoneCentral& phone;
        ~EndHandshake() {
            MutexLock lock(phone.m_mutex);
            phone.m_handshaking = false;
            auto pending = std::move(phone.m_pendingFrames);
            phone.m_pendingFrames.clear();
            for (auto& f : pending)
                phone.acceptFrame(f.route, f.flags, f.frameID, f.payload);
        }
    } endHandshake{*this};
    const auto written = m_link.write(charPairing, hello);
    if (!written || *written != AttResult::success)
        return false;

    Bytes ack;
    {
        std::unique_lock lock(m_mutex.native());
        const bool arrived =
            m_arrived.wait_for(lock, m_options.timeout, [this]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
                return !m_acks.empty();
            });
        if (!arrived)
            return false;
        [&]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
            ack = std::move(m_acks.front());
            m_acks.pop_front();
        }();
    }
    const auto parsed = parsePairingAck(ack, *m_desktopKey);
    if (!parsed) {
        logLine("phone: pairing ack rejected");
        return false;
    }
    if (!std::equal(parsed->nonceEcho.begin(), parsed->nonceEcho.end(), nonce.begin(),
                    nonce.end())) {
        logLine("phone: pairing ack echoes another nonce");
        return false;
    }
    try {
        const auto keys = deriveSessionKeys(ephemeral, parsed->ephemeralPubX25519, nonce);
        auto tx = std::make_shared<SessionKey>(keys.keyA, crypto::randomBytes(8));
        auto rx = std::make_shared<SessionKey>(keys.keyB, Bytes(8, 0));
        MutexLock lock(m_mutex);
        m_tx = std::move(tx);
        m_rx = std::move(rx);
    } catch (const std::exception& e) {
        logLine(std::string("phone: key derivation failed: ") + e.what());
        return false;
    }
    return true;
}

Bytes PhoneCentral::lastHello() const {
    MutexLock lock(m_mutex);
    return m_lastHello;
}

bool PhoneCentral::hasSession() const {
    MutexLock lock(m_mutex);
    return m_tx != nullptr;
}

void PhoneCentral::dropSession() {
    MutexLock lock(m_mutex);
    m_tx.reset();
    m_rx.reset();
}

// ---- To the desktop

bool PhoneCentral::sendClipboardText(std::string_view text, Route route, SendFaults faults) {
    return sendMessage(encodeClipboardText(text), route, faults);
}

bool PhoneCentral::sendPhoneName(std::string_view name, Route route, SendFaults faults) {
    return sendMessage(encodePhoneName(name), route, faults);
}

bool PhoneCentral::sendMessage(const Bytes& message, Route route, const SendFaults& faults) {
    const uint16_t frameID = m_nextFrameID++;
    uint8_t flags = 0;
    Bytes payload;
    std::shared_ptr<L2CAPReader> reader;
    {
        MutexLock lock(m_mutex);
        reader = m_reader;
        if (m_tx) {
            if (faults.staleCounter && m_tx->counterTx > 0)
                m_tx->counterTx -= 1;
            try {
                payload =
                    m_tx->encryptFrame(buildAAD(serviceUUID, charClipboardTx, frameID), message);
            } catch (const std::exception& e) {
                logLine(std::string("phone: sealing failed: ") + e.what());
                return false;
            }
            flags = kFlagEncrypted;
        } else {
            payload = message;
        }
    }

    if (route == Route::l2cap) {
        if (!reader || reader->closed)
            return false;
        const auto packet = buildL2CAPPacket(buildL2CAPFrame(flags, frameID, payload));
        return packet && reader->channel->write(*packet) == static_cast<ssize_t>(packet->size());
    }

    std::vector<Bytes> chunks = chunkPayload(frameID, payload, m_options.chunkBody, flags);
    if (chunks.empty())
        return false;
    switch (faults.chunks) {
    case SendFaults::Chunks::inOrder:
        break;
    case SendFaults::Chunks::reversed:
        std::reverse(chunks.begin(), chunks.end());
        break;
    case SendFaults::Chunks::duplicated: {
        std::vector<Bytes> twice;
        for (const auto& c : chunks) {
            twice.push_back(c);
            twice.push_back(c);
        }
        chunks = std::move(twice);
        break;
    }
    case SendFaults::Chunks::stopHalfWay:
        chunks.resize(chunks.size() / 2);
        break;
    }
    for (const auto& chunk : chunks) {
        const auto answer = m_link.write(charClipboardTx, chunk);
        if (!answer || *answer != AttResult::success)
            return false;
    }
    return true;
}

bool PhoneCentral::sendControl(uint8_t opcode) {
    const Bytes value{opcode};
    const auto answer = m_link.write(charControl, value);
    return answer && *answer == AttResult::success;
}

bool PhoneCentral::sendL2CAPPrefix(uint32_t announcedLength, ByteView body) {
    std::shared_ptr<L2CAPReader> reader;
    {
        MutexLock lock(m_mutex);
        reader = m_reader;
    }
    if (!reader || reader->closed)
        return false;
    ByteWriter w(kL2CAPLengthPrefixSize + body.size());
    w.u32BE(announcedLength).bytes(body);
    return reader->channel->write(w.view()) == static_cast<ssize_t>(w.size());
}

// ---- L2CAP

bool PhoneCentral::openL2CAP() {
    if (!m_psm)
        readPSM();
    if (!m_psm || *m_psm == 0)
        return false;
    closeL2CAP();
    auto channel = m_link.openL2CAP(*m_psm);
    if (!channel)
        return false;
    auto reader = std::make_shared<L2CAPReader>();
    reader->channel = std::move(channel);
    if (!reader->wake.valid())
        return false;
    reader->thread = std::thread([this, r = reader.get()] { readerLoop(r); });
    MutexLock lock(m_mutex);
    m_reader = std::move(reader);
    return true;
}

void PhoneCentral::closeL2CAP() {
    std::shared_ptr<L2CAPReader> reader;
    {
        MutexLock lock(m_mutex);
        reader = std::move(m_reader);
        m_reader.reset();
    }
    if (!reader)
        return;
    reader->stop = true;
    reader->channel->shutdown();
    reader->wake.notify();
    if (reader->thread.joinable())
        reader->thread.join();
}

bool PhoneCentral::l2capOpen() const {
    MutexLock lock(m_mutex);
    return m_reader && !m_reader->closed;
}

void PhoneCentral::readerLoop(L2CAPReader* reader) {
    uint8_t chunk[kL2CAPReadSize];
    while (!reader->stop) {
        pollfd fds[2] = {{reader->channel->fd(), POLLIN, 0}, {reader->wake.fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (reader->stop)
            break;
        if (!(fds[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)))
            continue;
        while (reader->channel->hasBytesAvailable()) {
            const ssize_t n = reader->channel->read(chunk, sizeof chunk);
            if (n <= 0) {
                reader->closed = true;
                if (!reader->stop)
                    logLine("phone: L2CAP channel closed by the desktop");
                return;
            }
            reader->buffer.insert(reader->buffer.end(), chunk, chunk + n);
        }
        L2CAPCut cut = cutL2CAPFrames(reader->buffer);
        {
            MutexLock lock(m_mutex);
            for (const auto& frame : cut.frames) {
                const auto parsed = parseL2CAPFrame(frame);
                if (!parsed) {
                    ++m_rejected;
                    continue;
                }
                acceptFrame(Route::l2cap, parsed->flags, parsed->frameID, parsed->payload);
            }
        }
        if (cut.oversizedLength) {
            reader->closed = true;
            reader->channel->shutdown();
            logLine("phone: L2CAP frame length " + std::to_string(*cut.oversizedLength) +
                    " too large — closing");
            return;
        }
    }
    reader->closed = true;
}

// ---- From the desktop

void PhoneCentral::onNotification(const std::string& charUUID, Bytes value) {
    MutexLock lock(m_mutex);
    if (uuidEquals(charUUID, charPairing)) {
        m_acks.push_back(std::move(value));
    } else if (uuidEquals(charUUID, charControl)) {
        if (!value.empty()) {
            m_controls.push_back(value.front());
            m_arrivals.push_back("control 0x" + Hex::encode(ByteView(value).first(1)));
        }
    } else if (uuidEquals(charUUID, charClipboardRx)) {
        const auto chunk = parseChunk(value);
        if (!chunk) {
            logLine("phone: chunk parse failed");
            ++m_rejected;
            return;
        }
        const auto frame = m_reassembler.push(*chunk);
        if (!frame)
            return;
        acceptFrame(Route::gatt, frame->flags, chunk->frameID, frame->payload);
    } else {
        return;
    }
    m_arrived.notify_all();
}

void PhoneCentral::acceptFrame(Route route, uint8_t flags, uint16_t frameID, ByteView payload) {
    const bool encrypted = (flags & kFlagEncrypted) != 0;
    Bytes plaintext;
    if (encrypted) {
        if (!m_rx && m_handshaking) {
            m_pendingFrames.push_back(PendingFrame{route, flags, frameID, toBytes(payload)});
            return;
        }
        if (!m_rx) {
            logLine("phone: encrypted frame but no session — dropping");
            ++m_rejected;
            return;
        }
        try {
            plaintext =
                m_rx->decryptFrame(buildAAD(serviceUUID, charClipboardRx, frameID), payload);
        } catch (const std::exception& e) {
            logLine(std::string("phone: decrypt failed: ") + e.what());
            ++m_rejected;
            return;
        }
    } else {
        plaintext = toBytes(payload);
    }
    auto message = decodeMessage(plaintext);
    if (!message) {
        logLine("phone: inbound decode failed");
        ++m_rejected;
        return;
    }
    m_arrivals.push_back("message " + std::to_string(frameID));
    m_messages.push_back(InboundMessage{route, frameID, encrypted, std::move(*message)});
    m_arrived.notify_all();
}

std::optional<InboundMessage> PhoneCentral::nextMessage(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex.native());
    return [&]() SORVANE_NO_THREAD_SAFETY_ANALYSIS -> std::optional<InboundMessage> {
        if (!m_arrived.wait_for(lock, timeout, [this]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
                return !m_messages.empty();
            }))
            return std::nullopt;
        InboundMessage m = std::move(m_messages.front());
        m_messages.pop_front();
        return m;
    }();
}

std::optional<uint8_t> PhoneCentral::nextControl(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex.native());
    return [&]() SORVANE_NO_THREAD_SAFETY_ANALYSIS -> std::optional<uint8_t> {
        if (!m_arrived.wait_for(lock, timeout, [this]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
                return !m_controls.empty();
            }))
            return std::nullopt;
        const uint8_t op = m_controls.front();
        m_controls.pop_front();
        return op;
    }();
}

std::vector<std::string> PhoneCentral::arrivals() const {
    MutexLock lock(m_mutex);
    return m_arrivals;
}

size_t PhoneCentral::rejectedInbound() const {
    MutexLock lock(m_mutex);
    return m_rejected;
}

} // namespace sorvane::phone

// PhoneCentral: a stand-alone phone counterpart that drives the desktop the way
// the Sorvane phone app does, over any CentralLink. It holds its own Ed25519
// identity and device id, learns the desktop from the QR text, reads the
// device-info record and the L2CAP PSM, subscribes, runs the pairing handshake,
// sends clipboard text and its name as GATT chunks or as L2CAP frames, receives
// and opens the desktop's chunks and frames, and exchanges the control opcodes.
// It can also misbehave on purpose: a bad hello signature, a stale counter,
// reordered, duplicated or unfinished chunk streams, an oversized L2CAP length.
//
// Thread safety: the public methods are meant for one driving thread at a time.
// Notifications arrive on the link's thread and L2CAP frames on the phone's own
// reader thread; what they share with the driving thread is guarded by one
// mutex, which is never held while calling the link. Problems with inbound data
// are logged with the prefix "phone: " and the data is dropped.
#pragma once

#include "ports/ByteChannel.h"
#include "base/ThreadSafety.h"
#include "base/UniqueFd.h"
#include "base/Bytes.h"
#include "base/Clock.h"
#include "protocol/CryptoPrimitives.h"
#include "protocol/MessageCodec.h"
#include "protocol/Reassembler.h"
#include "protocol/SessionKey.h"
#include "testing/phone/CentralLink.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sorvane::phone {

enum class Route { gatt, l2cap };

enum class HelloFault {
    none,
    badSignature, // one bit of the signature flipped
};

struct SendFaults {
    enum class Chunks {
        inOrder,
        reversed,    // last chunk first
        duplicated,  // every chunk written twice in a row
        stopHalfWay, // only the first half (rounded down) is written
    };
    Chunks chunks = Chunks::inOrder;
    // Seal with the counter of the previous frame again (the desktop must refuse it).
    bool staleCounter = false;
};

struct InboundMessage {
    Route route = Route::gatt;
    uint16_t frameID = 0;
    bool encrypted = false;
    SorvaneMessage message;
};

class PhoneCentral {
public:
    struct Options {
        size_t chunkBody = kGattChunkBody;
        // How long a handshake waits for the acknowledgement.
        std::chrono::milliseconds timeout{5000};
        SteadyClock clock = systemSteadyClock();
    };

    PhoneCentral(CentralLink& link, crypto::Ed25519PrivateKey identity, Bytes deviceID,
                 Options options);
    PhoneCentral(CentralLink& link, crypto::Ed25519PrivateKey identity, Bytes deviceID);
    // A phone with a fresh identity and a random device id.
    static std::unique_ptr<PhoneCentral> withNewIdentity(CentralLink& link, Options options);
    static std::unique_ptr<PhoneCentral> withNewIdentity(CentralLink& link);
    // Closes the L2CAP channel and stops listening; does not disconnect the link.
    ~PhoneCentral();
    PhoneCentral(const PhoneCentral&) = delete;
    PhoneCentral& operator=(const PhoneCentral&) = delete;

    const crypto::Ed25519PrivateKey& identity() const { return m_identity; }
    const Bytes& deviceID() const { return m_deviceID; }

    // ---- Discovery
    // Takes the desktop's device id and identity key from the QR text. False
    // when the text is not a Sorvane QR payload or the key is unusable.
    bool learnDesktop(std::string_view qrText);
    // The device-info record, read piece by piece with offsets.
    std::optional<DeviceInfo> readDeviceInfo();
    // The published PSM (0: no channel), also remembered for openL2CAP().
    std::optional<uint16_t> readPSM();
    // Subscribes to the pairing, desktop-to-phone clipboard and control
    // characteristics. False when any subscription fails.
    bool subscribe();

    // ---- Handshake
    // Writes a signed PairingHello and waits for a PairingAck signed by the
    // learned desktop key that echoes the nonce; then derives the session keys
    // (transmit keyA, receive keyB). False on any failure, the session unchanged.
    bool pair(HelloFault fault = HelloFault::none);
    // The bytes of the last hello written, as anyone in range could record them.
    Bytes lastHello() const SORVANE_EXCLUDES(m_mutex);
    bool hasSession() const SORVANE_EXCLUDES(m_mutex);
    void dropSession() SORVANE_EXCLUDES(m_mutex);

    // ---- To the desktop
    // Sealed when a session exists. GATT: 7-byte-header chunks, each written with
    // response to the phone-to-desktop clipboard characteristic. L2CAP: one frame
    // with its length prefix. False when a write failed or the route is not open.
    bool sendClipboardText(std::string_view text, Route route, SendFaults faults = {});
    bool sendPhoneName(std::string_view name, Route route, SendFaults faults = {});
    // One byte on the control characteristic.
    bool sendControl(uint8_t opcode);
    // Announces a frame of `announcedLength` bytes on the L2CAP channel and sends
    // `body` after the prefix, whatever its length.
    bool sendL2CAPPrefix(uint32_t announcedLength, ByteView body = {});

    // ---- L2CAP
    // Opens the channel on the PSM last read (reading it first if needed) and
    // starts receiving frames on it.
    bool openL2CAP();
    void closeL2CAP() SORVANE_EXCLUDES(m_mutex);
    bool l2capOpen() const SORVANE_EXCLUDES(m_mutex);

    // ---- From the desktop
    // The next decoded clipboard or name message, by either route.
    std::optional<InboundMessage> nextMessage(std::chrono::milliseconds timeout)
        SORVANE_EXCLUDES(m_mutex);
    // The next control opcode notified by the desktop.
    std::optional<uint8_t> nextControl(std::chrono::milliseconds timeout) SORVANE_EXCLUDES(m_mutex);
    // What the desktop delivered, in arrival order: "message <frame id>" for each
    // decoded message by either route, "control 0x<opcode>" for each control byte.
    std::vector<std::string> arrivals() const SORVANE_EXCLUDES(m_mutex);
    // Inbound frames dropped because they could not be opened or decoded.
    size_t rejectedInbound() const SORVANE_EXCLUDES(m_mutex);

private:
    struct L2CAPReader;

    bool sendMessage(const Bytes& message, Route route, const SendFaults& faults)
        SORVANE_EXCLUDES(m_mutex);
    void onNotification(const std::string& charUUID, Bytes value) SORVANE_EXCLUDES(m_mutex);
    void acceptFrame(Route route, uint8_t flags, uint16_t frameID, ByteView payload)
        SORVANE_REQUIRES(m_mutex);
    void readerLoop(L2CAPReader* reader) SORVANE_EXCLUDES(m_mutex);

    CentralLink& m_link;
    const crypto::Ed25519PrivateKey m_identity;
    const Bytes m_deviceID;
    const Options m_options;

    // Driving thread only.
    std::optional<crypto::Ed25519PublicKey> m_desktopKey;
    std::optional<uint16_t> m_psm;
    uint16_t m_nextFrameID = 1;

    mutable Mutex m_mutex;
    std::condition_variable m_arrived;
    std::shared_ptr<SessionKey> m_tx SORVANE_GUARDED_BY(m_mutex);
    std::shared_ptr<SessionKey> m_rx SORVANE_GUARDED_BY(m_mutex);
    Reassembler m_reassembler SORVANE_GUARDED_BY(m_mutex);
    std::deque<Bytes> m_acks SORVANE_GUARDED_BY(m_mutex);
    std::deque<uint8_t> m_controls SORVANE_GUARDED_BY(m_mutex);
    std::deque<InboundMessage> m_messages SORVANE_GUARDED_BY(m_mutex);
    size_t m_rejected SORVANE_GUARDED_BY(m_mutex) = 0;
    std::vector<std::string> m_arrivals SORVANE_GUARDED_BY(m_mutex);
    std::shared_ptr<L2CAPReader> m_reader SORVANE_GUARDED_BY(m_mutex);
    // Between the hello and the keys, sealed frames wait for the keys, as a
    // phone that handles its notifications in order sees them after the ack.
    bool m_handshaking SORVANE_GUARDED_BY(m_mutex) = false;
    Bytes m_lastHello SORVANE_GUARDED_BY(m_mutex);
    struct PendingFrame {
        Route route;
        uint8_t flags;
        uint16_t frameID;
        Bytes payload;
    };
    std::vector<PendingFrame> m_pendingFrames SORVANE_GUARDED_BY(m_mutex);
};

} // namespace sorvane::phone

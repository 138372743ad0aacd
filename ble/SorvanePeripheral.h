// SorvanePeripheral: this desktop as a Bluetooth LE peripheral for the paired
// phone. It owns the platform's peripheral manager, publishes the Sorvane GATT
// service with its six characteristics, advertises it under a local name,
// answers reads of the device information and of the L2CAP channel number,
// reports writes and subscriptions as PeripheralEvent values, sends
// notifications, and carries whole frames over the L2CAP channel it publishes.
// It recovers from Bluetooth power cycles and can rebuild its manager after the
// L2CAP channel failed. It holds no application logic.
//
// Threading: all manager work and every manager callback runs on the serial
// queue "org.sorvane.ble". startAdvertising, notify, notifyPaced, whenSent and
// rebuild are queued and return at once; shutdown waits for the queue. onEvent
// is called on that queue.
//
// Outbound order: clipboard frames, notifications, paced chunks, rebuilds and
// whenSent callbacks share one ordered outbound queue on "org.sorvane.ble": each
// waits for everything queued before it, so a later frame never overtakes an
// earlier one, whichever way each goes, and a rebuild, a control byte or the
// shutdown never overtakes a frame already handed over. A frame goes whole over
// the L2CAP channel when one is open at its turn, written on the "L2CAP-writer"
// thread while the queue waits for it (the main thread never waits on the
// radio); otherwise, or when that write fails, it goes as paced chunks in the
// same place in the order. Paced chunks leave kChunkPacing apart (the first at
// once when the radio has been quiet). The L2CAP stream runs on its own
// "L2CAP-streams" thread, where the L2CAP data handler is called. The
// write-failure handler is always posted to the main queue. The object is
// created and destroyed on the main thread; destruction waits for the queue,
// the writer and the stream threads, and drops anything still queued.
#pragma once

#include "ble/L2CAPStreams.h"
#include "ports/PeripheralBackend.h"
#include "base/Liveness.h"
#include "base/SerialQueue.h"
#include "base/ThreadSafety.h"
#include "ports/MainQueue.h"
#include "base/Bytes.h"
#include "base/Clock.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sorvane {

// What the peripheral tells the application. `centralID` is the backend's name
// for the central; `charUUID` is upper-case UUID text (compare case-insensitively).
struct PeripheralEvent {
    struct CentralConnected {
        std::string centralID;
        bool operator==(const CentralConnected&) const = default;
    };
    struct CentralDisconnected {
        std::string centralID;
        bool operator==(const CentralDisconnected&) const = default;
    };
    struct Write {
        std::string centralID;
        std::string charUUID;
        Bytes data;
        bool operator==(const Write&) const = default;
    };
    struct Subscribed {
        std::string centralID;
        std::string charUUID;
        bool operator==(const Subscribed&) const = default;
    };
    struct PoweredOff {
        bool operator==(const PoweredOff&) const = default;
    };

    std::variant<CentralConnected, CentralDisconnected, Write, Subscribed, PoweredOff> value;

    bool operator==(const PeripheralEvent&) const = default;
};

// One clipboard frame for the phone: the L2CAP frame's fields, or the chunks'.
struct OutboundFrame {
    uint8_t flags = 0;
    uint16_t frameID = 0;
    Bytes body;
};

// How a frame left: whole over L2CAP, as paced GATT chunks, or not at all
// (more chunks than can reach the phone inside its reassembly window).
enum class FrameRoute { l2cap, gatt, tooLarge };

class SorvanePeripheral final : private PeripheralManagerDelegate {
public:
    using EventHandler = std::function<void(PeripheralEvent)>;
    using L2CAPDataHandler = std::function<void(Bytes frame)>;
    // Told, on the queue, how a frame left and in how many chunks (0 over L2CAP).
    using FrameReport = std::function<void(FrameRoute route, size_t chunks)>;

    static constexpr std::string_view queueLabel = "org.sorvane.ble";
    // The least time between the starts of two rebuilds.
    static constexpr std::chrono::duration<double> rebuildCooldown{30.0};
    // Pause between two paced notifications.
    static constexpr std::chrono::milliseconds kChunkPacing{15};
    // How long shutdown waits for queued chunks: the time in which the phone
    // must receive a whole frame, after which the rest would be useless anyway.
    static constexpr std::chrono::milliseconds kDrainLimit{5000};
    // How long shutdown waits at most for what is queued when an L2CAP frame is
    // still being written (chunks are dropped after kDrainLimit; a frame on the
    // channel is not, while the phone keeps reading): a phone this slow is cut off.
    static constexpr std::chrono::milliseconds kWriteDrainLimit{60000};
    // The most chunks a GATT frame may have: paced kChunkPacing apart, its last
    // chunk must reach the phone inside the reassembly window (5 s from the
    // first chunk), with a second to spare for a busy radio.
    static constexpr std::chrono::milliseconds kGattSendMargin{1000};
    static constexpr size_t kMaxGattChunks =
        static_cast<size_t>((std::chrono::milliseconds(5000) - kGattSendMargin) / kChunkPacing) + 1;

    // Creates the queue and, on it, the first manager through `factory`; the
    // manager's state report then brings the service up. `mainQueue` must
    // outlive this object. `clock` times the rebuild cool-down.
    SorvanePeripheral(PeripheralManagerFactory factory, Bytes deviceInfo, EventHandler onEvent,
                      MainQueue& mainQueue, SteadyClock clock = systemSteadyClock());
    ~SorvanePeripheral() override;
    SorvanePeripheral(const SorvanePeripheral&) = delete;
    SorvanePeripheral& operator=(const SorvanePeripheral&) = delete;

    // Advertises under `localName` once the service is up (now, if it is), and
    // again after every power cycle and rebuild.
    void startAdvertising(std::string localName);
    // Notifies `data` on the characteristic to its subscribed centrals, after
    // everything queued before. Dropped, with a log line, when there is no such
    // characteristic or the platform refuses.
    void notify(std::string charUUID, Bytes data);
    // Notifies each chunk in order, after everything queued before, paced
    // kChunkPacing apart: the chunks of one frame.
    void notifyPaced(std::string charUUID, std::vector<Bytes> chunks);
    // Calls `done`, on the queue, once everything queued before has gone out.
    // Paced chunks that are still waiting when `limit` has passed are dropped,
    // with a log line; a frame being written on the L2CAP channel is waited for
    // (the write fails once the phone stops reading). Never called if the
    // peripheral is destroyed first.
    void whenSent(std::chrono::milliseconds limit, std::function<void()> done);
    // Replaces the manager to get a fresh L2CAP channel, after everything queued
    // before: at most one rebuild per cool-down, none while one waits for its
    // manager to power on, none after shutdown().
    void rebuild();
    // Waits for what is queued to go out (as whenSent with `drainLimit`, and at
    // most kWriteDrainLimit for a frame being written on the L2CAP channel), then
    // stops advertising, removes the service, drops the L2CAP channel and
    // releases the manager; returns once the queue has done so. Final.
    void shutdown(std::chrono::milliseconds drainLimit = kDrainLimit);

    // Sends one clipboard frame after everything queued before: whole over the
    // L2CAP channel when one is open at its turn, otherwise as paced chunks of
    // kGattChunkBody on `gattCharUUID`. A failed L2CAP write drops the channel,
    // posts the write-failure handler and sends the frame as chunks in its
    // place. `report`, if set, is told the route on the queue; `gone`, if set,
    // is called on the queue once the frame has left (written whole, its last
    // chunk notified or dropped late, or refused as too large). Returns at once.
    void sendFrame(OutboundFrame frame, std::string gattCharUUID, FrameReport report = {},
                   std::function<void()> gone = {});
    // Whether an L2CAP channel is open now. Any thread.
    bool hasL2CAPChannel() const { return m_l2cap.isOpen(); }
    // Sends one frame whole over the L2CAP channel, on the calling thread. False
    // when there is no channel, when the frame cannot be framed, or when the
    // write failed; a failed write also drops the channel and posts the
    // write-failure handler.
    bool sendL2CAP(ByteView frame);
    // True while the current manager reports the radio powered on. Any thread.
    bool isPoweredOn() const { return m_poweredOn.load(); }

    // Receives each whole inbound L2CAP frame, on the stream thread.
    void setOnL2CAPData(L2CAPDataHandler handler);
    // Told, on the main thread, that a write on the L2CAP channel failed.
    void setOnL2CAPWriteFailed(std::function<void()> handler);

private:
    // PeripheralManagerDelegate, on the queue.
    void peripheralManagerDidUpdateState(ManagerState state) override;
    void didAddService(const std::optional<std::string>& error) override;
    void didPublishL2CAPChannel(uint16_t psm, const std::optional<std::string>& error) override;
    void didOpenL2CAPChannel(std::shared_ptr<ByteChannel> channel,
                             const std::optional<std::string>& error) override;
    void didReceiveRead(const ReadRequest& request) override;
    void didReceiveWrite(const std::vector<WriteRequest>& requests) override;
    void didSubscribe(const std::string& centralID, const std::string& charUUID) override;
    void didUnsubscribe(const std::string& centralID, const std::string& charUUID) override;

    // One entry of the ordered outbound queue.
    struct Outbound {
        enum class Kind { notify, pacedChunk, step, frame };
        Outbound(Kind k, std::string u, Bytes d, std::function<void()> s, uint64_t m)
            : kind(k), uuid(std::move(u)), data(std::move(d)), step(std::move(s)), marker(m) {}
        Kind kind = Kind::notify;
        std::string uuid;
        Bytes data;
        std::function<void()> step;
        uint64_t marker = 0; // a whenSent callback's id, or a frame's sequence number
        // A frame's header and report; `data` is its body.
        uint8_t flags = 0;
        uint16_t frameID = 0;
        FrameReport report;
        std::function<void()> gone;
    };

    std::unique_ptr<PeripheralManager> makeManager();
    // Queue only: appends and sends what may go now.
    void enqueue(Outbound item);
    void pumpOutbound();
    void expireChunksBefore(uint64_t marker);
    // Queue only: hands the frame at the front to the writer thread.
    void startL2CAPWrite();
    void finishL2CAPWrite(uint64_t sequence, L2CAPStreams::SendResult result);
    // Queue only: replaces the frame at the front by its paced chunks.
    void frameToChunks();
    void postWriteFailed();
    void sendNotification(const std::string& uuid, const Bytes& value);
    void rebuildNow();
    void beginAdvertising(const std::string& localName);
    void emit(PeripheralEvent event);

    const PeripheralManagerFactory m_factory;
    const Bytes m_deviceInfo;
    const EventHandler m_onEvent;
    MainQueue& m_mainQueue;
    const SteadyClock m_clock;

    // Touched only on the queue.
    std::unique_ptr<PeripheralManager> m_manager;
    std::map<std::string, CharacteristicDefinition> m_chars; // keyed by lower-case UUID
    std::optional<std::string> m_pendingLocalName;
    std::optional<std::string> m_lastLocalName;
    bool m_serviceAdded = false;
    bool m_seenPoweredOn = false;
    bool m_isRebuilding = false;
    bool m_shutDown = false;
    std::optional<std::chrono::steady_clock::time_point> m_lastRebuildTime;
    uint16_t m_l2capPSM = 0;
    std::deque<Outbound> m_outbound;
    bool m_pacingTimerArmed = false;
    std::optional<std::chrono::steady_clock::time_point> m_lastPacedAt;
    uint64_t m_nextMarker = 1;
    // The frame at the front of m_outbound is being written on m_writer.
    bool m_l2capInFlight = false;
    // Mirrors the current manager's last reported state for other threads.
    std::atomic<bool> m_poweredOn{false};

    L2CAPStreams m_l2cap;
    Mutex m_callbackMutex;
    std::function<void()> m_onL2CAPWriteFailed SORVANE_GUARDED_BY(m_callbackMutex);
    // Tasks posted to the main queue hold this weakly and do nothing once it is gone.
    Liveness m_liveness;

    // Writes L2CAP frames for the queue, so that neither the main thread nor the
    // queue waits on a slow phone. Stopped before m_queue.
    SerialQueue m_writer{"L2CAP-writer"};
    // Last, so that its thread starts after, and stops before, everything above.
    SerialQueue m_queue{std::string(queueLabel)};
};

} // namespace sorvane

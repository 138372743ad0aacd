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
// Outbound order: notifications, paced chunks, rebuilds and whenSent callbacks
// share one ordered outbound queue on "org.sorvane.ble": each waits for
// everything queued before it, so a rebuild, a control byte or the shutdown
// never overtakes the chunks of a frame already handed over. Paced chunks
// leave kChunkPacing apart (the first at once when the radio has been quiet).
// The L2CAP stream runs on its own "L2CAP-streams" thread, where the L2CAP data
// handler is called; sendL2CAP runs on the caller's thread (the main thread).
// The write-failure handler is always posted to the main queue. The object is
// created and destroyed on the main thread; destruction waits for the queue and
// the stream threads, and drops anything still queued.
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

class SorvanePeripheral final : private PeripheralManagerDelegate {
public:
    using EventHandler = std::function<void(PeripheralEvent)>;
    using L2CAPDataHandler = std::function<void(Bytes frame)>;

    static constexpr std::string_view queueLabel = "org.sorvane.ble";
    // The least time between the starts of two rebuilds.
    static constexpr std::chrono::duration<double> rebuildCooldown{30.0};
    // Pause between two paced notifications.
    static constexpr std::chrono::milliseconds kChunkPacing{15};
    // How long shutdown waits for queued chunks: the time in which the phone
    // must receive a whole frame, after which the rest would be useless anyway.
    static constexpr std::chrono::milliseconds kDrainLimit{5000};

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
    // with a log line, so `done` comes about `limit` later at the latest. Never
    // called if the peripheral is destroyed first.
    void whenSent(std::chrono::milliseconds limit, std::function<void()> done);
    // Replaces the manager to get a fresh L2CAP channel, after everything queued
    // before: at most one rebuild per cool-down, none while one waits for its
    // manager to power on, none after shutdown().
    void rebuild();
    // Waits, up to `drainLimit`, for what is queued to go out (as whenSent), then
    // stops advertising, removes the service, drops the L2CAP channel and
    // releases the manager; returns once the queue has done so. Final.
    void shutdown(std::chrono::milliseconds drainLimit = kDrainLimit);

    // Sends one frame whole over the L2CAP channel. False when there is no
    // channel, when the frame cannot be framed, or when the write failed; a failed
    // write also drops the channel and posts the write-failure handler.
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
        enum class Kind { notify, pacedChunk, step };
        Kind kind = Kind::notify;
        std::string uuid;
        Bytes data;
        std::function<void()> step;
        uint64_t marker = 0; // a whenSent callback's id
    };

    std::unique_ptr<PeripheralManager> makeManager();
    // Queue only: appends and sends what may go now.
    void enqueue(Outbound item);
    void pumpOutbound();
    void expireChunksBefore(uint64_t marker);
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
    // Mirrors the current manager's last reported state for other threads.
    std::atomic<bool> m_poweredOn{false};

    L2CAPStreams m_l2cap;
    Mutex m_callbackMutex;
    std::function<void()> m_onL2CAPWriteFailed SORVANE_GUARDED_BY(m_callbackMutex);
    // Tasks posted to the main queue hold this weakly and do nothing once it is gone.
    Liveness m_liveness;

    // Last, so that its thread starts after, and stops before, everything above.
    SerialQueue m_queue{std::string(queueLabel)};
};

} // namespace sorvane

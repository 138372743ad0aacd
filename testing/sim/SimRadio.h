// A simulated Bluetooth LE radio, in process: the backend under SorvanePeripheral
// in tests and in the demo, and the air between it and simulated centrals.
//
// The radio has a power state that every manager hears about; managers made by
// managerFactory() register a service, advertise, publish an L2CAP channel
// (PSMs handed out in turn from setNextPSM()) and answer requests. Centrals
// (connectCentral) read with offsets, write single requests or batches,
// subscribe, receive notifications and open the L2CAP channel, which is a real
// socketpair(AF_UNIX, SOCK_SEQPACKET) so that the stream code runs on real
// descriptors. Both ends cut packets into SDUs of at most the configured MTU
// and fail on a longer SDU, as a kernel L2CAP socket does.
//
// Requests go to the manager whose service is added ("serving"). The radio is
// permissive where a real stack would refuse on the central's side: reads,
// writes and subscriptions reach the peripheral whatever the characteristic's
// properties, so that the peripheral's own answers are exercised.
//
// Leaving the powered-on state drops every service, advertisement, published
// channel and subscription (without unsubscribe callbacks) and closes open
// L2CAP channels. A central's disconnect() unsubscribes it from everything
// (with callbacks) and closes its channels.
//
// Thread safety: every method of SimRadio and SimCentral may be called from any
// thread. Manager callbacks are posted to the peripheral's queue. Notifications
// reach a central's handler on the peripheral's queue thread. The radio must
// outlive its managers and centrals.
#pragma once

#include "ports/PeripheralBackend.h"
#include "base/ThreadSafety.h"
#include "testing/phone/CentralLink.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sorvane::sim {

class SimCentral;

class SimRadio {
public:
    SimRadio();
    ~SimRadio();
    SimRadio(const SimRadio&) = delete;
    SimRadio& operator=(const SimRadio&) = delete;

    // Makes managers that live on this radio.
    PeripheralManagerFactory managerFactory();

    // ---- The radio's controls.
    // Reports `state` to every manager when it changes (and powers the link down
    // when it leaves poweredOn). The radio starts powered off.
    void setState(ManagerState state);
    ManagerState state() const;

    // The next addService / publishL2CAPChannel / central's openL2CAP is
    // answered with this error.
    void failNextAddService(std::string error);
    void failNextPublish(std::string error);
    void failNextL2CAPOpen(std::string error);
    // Reports a channel opening that hands over no channel and no error.
    void deliverEmptyL2CAPOpen();
    void setNextPSM(uint16_t psm);
    // SDU size of L2CAP channels opened from now on (both directions).
    void setL2CAPMTU(size_t mtu);
    // A send on an L2CAP channel that makes no progress for this long fails.
    void setL2CAPSendStallTimeout(std::chrono::milliseconds timeout);
    // ATT MTU: a read answer carries at most attMTU - 1 bytes.
    void setAttMTU(size_t mtu);
    // The next `count` notifications are refused as if the transmit queue were full.
    void refuseNotifications(size_t count);
    // How long a central waits for an answer.
    void setResponseTimeout(std::chrono::milliseconds timeout);

    // ---- What happened on the air.
    size_t managersCreated() const;
    size_t liveManagers() const;
    std::optional<ServiceDefinition> service() const;     // of the serving manager
    std::optional<AdvertisementData> advertising() const; // of any live manager
    std::vector<std::string> advertisedNames() const;     // every start, in order
    size_t addServiceCalls() const;
    size_t publishCalls() const;
    std::optional<bool> lastPublishEncrypted() const;
    std::optional<uint16_t> publishedPSM() const; // of the serving manager
    size_t answersSent() const;                   // respond() calls that reached a central
    size_t notificationsSent() const;

    // Waits until each live manager's queue has run everything posted to it
    // before this call. False on timeout.
    bool waitForPeripheralIdle(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // A central in range. An empty id picks a random upper-case UUID.
    std::unique_ptr<SimCentral> connectCentral(std::string centralID = {});

private:
    friend class SimCentral;
    class Manager;
    struct ManagerEntry;
    struct CentralEntry;
    struct Pending;

    // Everything a central can do, by central id.
    std::optional<phone::ReadResult> centralRead(const std::string& id, std::string_view uuid,
                                                 size_t offset);
    std::optional<AttResult>
    centralWrite(const std::string& id,
                 const std::vector<std::pair<std::string, std::optional<Bytes>>>& batch);
    bool centralSubscribe(const std::string& id, std::string_view uuid, bool on);
    std::shared_ptr<ByteChannel> centralOpenL2CAP(const std::string& id, uint16_t psm);
    void centralDisconnect(const std::string& id);
    void centralSetHandler(const std::string& id, phone::CentralLink::NotificationHandler handler);
    size_t maxReadLength() const;

    // Called by managers, on the peripheral's queue.
    uint64_t registerManager(PeripheralManagerDelegate& delegate, TaskPoster post,
                             std::weak_ptr<int> token);
    void unregisterManager(uint64_t id);
    void managerAddService(uint64_t id, const ServiceDefinition& service);
    void managerRemoveServices(uint64_t id);
    void managerAdvertise(uint64_t id, std::optional<AdvertisementData> data);
    bool managerUpdateValue(uint64_t id, ByteView value, const std::string& uuid);
    void managerRespond(uint64_t id, uint64_t requestID, AttResult result, ByteView value);
    void managerPublish(uint64_t id, bool withEncryption);

    ManagerEntry* servingLocked() const SORVANE_REQUIRES(m_mutex);
    void dropSubscriptionsLocked() SORVANE_REQUIRES(m_mutex);
    void postLocked(const ManagerEntry& entry,
                    std::function<void(PeripheralManagerDelegate&)> callback)
        SORVANE_REQUIRES(m_mutex);

    mutable Mutex m_mutex;
    ManagerState m_state SORVANE_GUARDED_BY(m_mutex) = ManagerState::poweredOff;
    uint64_t m_nextID SORVANE_GUARDED_BY(m_mutex) = 1;
    std::map<uint64_t, std::unique_ptr<ManagerEntry>> m_managers SORVANE_GUARDED_BY(m_mutex);
    std::map<std::string, std::shared_ptr<CentralEntry>> m_centrals SORVANE_GUARDED_BY(m_mutex);
    std::map<uint64_t, std::shared_ptr<Pending>> m_pending SORVANE_GUARDED_BY(m_mutex);

    std::optional<std::string> m_failAddService SORVANE_GUARDED_BY(m_mutex);
    std::optional<std::string> m_failPublish SORVANE_GUARDED_BY(m_mutex);
    std::optional<std::string> m_failOpen SORVANE_GUARDED_BY(m_mutex);
    uint16_t m_nextPSM SORVANE_GUARDED_BY(m_mutex) = 0x0081;
    size_t m_l2capMTU SORVANE_GUARDED_BY(m_mutex) = 512;
    std::chrono::milliseconds m_stallTimeout SORVANE_GUARDED_BY(m_mutex){std::chrono::seconds(5)};
    size_t m_attMTU SORVANE_GUARDED_BY(m_mutex) = 23;
    size_t m_refuseNotifications SORVANE_GUARDED_BY(m_mutex) = 0;
    std::chrono::milliseconds m_responseTimeout SORVANE_GUARDED_BY(m_mutex){
        std::chrono::seconds(5)};

    size_t m_managersCreated SORVANE_GUARDED_BY(m_mutex) = 0;
    std::vector<std::string> m_advertisedNames SORVANE_GUARDED_BY(m_mutex);
    size_t m_addServiceCalls SORVANE_GUARDED_BY(m_mutex) = 0;
    size_t m_publishCalls SORVANE_GUARDED_BY(m_mutex) = 0;
    std::optional<bool> m_lastPublishEncrypted SORVANE_GUARDED_BY(m_mutex);
    size_t m_answersSent SORVANE_GUARDED_BY(m_mutex) = 0;
    size_t m_notificationsSent SORVANE_GUARDED_BY(m_mutex) = 0;
};

// One simulated central. Its operations wait for the peripheral's answer.
class SimCentral final : public phone::CentralLink {
public:
    ~SimCentral() override; // disconnects

    std::string centralID() const override { return m_id; }
    size_t maxReadLength() const override;
    std::optional<phone::ReadResult> read(std::string_view charUUID, size_t offset) override;
    std::optional<AttResult> write(std::string_view charUUID, ByteView value) override;
    bool subscribe(std::string_view charUUID) override;
    bool unsubscribe(std::string_view charUUID) override;
    void setNotificationHandler(NotificationHandler handler) override;
    std::shared_ptr<ByteChannel> openL2CAP(uint16_t psm) override;
    void disconnect() override;

    // One batch of write requests, answered once. A request without a value
    // stands for one the platform delivers empty-handed. An empty batch is
    // delivered and not waited for (nothing answers it): absent.
    std::optional<AttResult>
    writeBatch(const std::vector<std::pair<std::string, std::optional<Bytes>>>& requests);

private:
    friend class SimRadio;
    SimCentral(SimRadio& radio, std::string id) : m_radio(radio), m_id(std::move(id)) {}

    SimRadio& m_radio;
    const std::string m_id;
};

} // namespace sorvane::sim

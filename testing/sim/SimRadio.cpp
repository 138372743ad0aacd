#include "testing/sim/SimRadio.h"

#include "protocol/CryptoPrimitives.h"
#include "base/Hex.h"
#include "protocol/Uuids.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>

namespace sorvane::sim {
namespace {

std::string randomCentralID() {
    const std::string hex = asciiUppercase(Hex::encode(crypto::randomBytes(16)));
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20);
}

const CharacteristicDefinition* findCharacteristic(const ServiceDefinition& service,
                                                   std::string_view uuid) {
    for (const auto& c : service.characteristics)
        if (uuidEquals(c.uuid, uuid))
            return &c;
    return nullptr;
}

} // namespace

struct SimRadio::ManagerEntry {
    uint64_t id = 0;
    PeripheralManagerDelegate* delegate = nullptr;
    TaskPoster post;
    std::weak_ptr<int> token; // expires when the manager is destroyed
    std::optional<ServiceDefinition> service;
    std::optional<AdvertisementData> advertising;
    std::optional<uint16_t> psm;
};

struct SimRadio::CentralEntry {
    std::string id;
    std::set<std::string> subscriptions; // lower-case UUIDs; guarded by the radio's mutex
    std::vector<std::weak_ptr<ByteChannel>> channels; // both ends; guarded by the radio's mutex
    // Held while the handler runs, so that replacing it waits for a delivery.
    Mutex deliveryMutex;
    phone::CentralLink::NotificationHandler handler SORVANE_GUARDED_BY(deliveryMutex);
};

struct SimRadio::Pending {
    uint64_t managerID = 0;
    bool isRead = false;
    std::promise<std::optional<phone::ReadResult>> answer;
};

// A registration with the radio. Lives on the peripheral's queue.
class SimRadio::Manager final : public PeripheralManager {
public:
    Manager(SimRadio& radio, PeripheralManagerDelegate& delegate, TaskPoster post)
        : m_radio(radio) {
        m_id = m_radio.registerManager(delegate, std::move(post), m_token);
    }
    ~Manager() override {
        m_token.reset(); // callbacks already posted now find it expired
        m_radio.unregisterManager(m_id);
    }

    ManagerState state() const override { return m_radio.state(); }
    void addService(const ServiceDefinition& service) override {
        m_radio.managerAddService(m_id, service);
    }
    void removeAllServices() override { m_radio.managerRemoveServices(m_id); }
    void startAdvertising(const AdvertisementData& data) override {
        m_radio.managerAdvertise(m_id, data);
    }
    void stopAdvertising() override { m_radio.managerAdvertise(m_id, std::nullopt); }
    bool updateValue(ByteView value, const std::string& charUUID) override {
        return m_radio.managerUpdateValue(m_id, value, charUUID);
    }
    void respond(uint64_t requestID, AttResult result, ByteView value) override {
        m_radio.managerRespond(m_id, requestID, result, value);
    }
    void publishL2CAPChannel(bool withEncryption) override {
        m_radio.managerPublish(m_id, withEncryption);
    }

private:
    SimRadio& m_radio;
    std::shared_ptr<int> m_token = std::make_shared<int>(0);
    uint64_t m_id = 0;
};

SimRadio::SimRadio() = default;
SimRadio::~SimRadio() = default;

PeripheralManagerFactory SimRadio::managerFactory() {
    return [this](PeripheralManagerDelegate& delegate, TaskPoster post) {
        return std::make_unique<Manager>(*this, delegate, std::move(post));
    };
}

// ---- Controls

void SimRadio::setState(ManagerState state) {
    MutexLock lock(m_mutex);
    if (state == m_state)
        return;
    m_state = state;
    if (state != ManagerState::poweredOn) {
        dropSubscriptionsLocked();
        for (auto& [id, entry] : m_managers) {
            entry->service.reset();
            entry->advertising.reset();
            entry->psm.reset();
        }
        for (auto& [id, central] : m_centrals) {
            for (auto& weak : central->channels)
                if (auto channel = weak.lock())
                    channel->shutdown();
            central->channels.clear();
        }
    }
    for (auto& [id, entry] : m_managers)
        postLocked(*entry, [state](PeripheralManagerDelegate& d) {
            d.peripheralManagerDidUpdateState(state);
        });
}

ManagerState SimRadio::state() const {
    MutexLock lock(m_mutex);
    return m_state;
}

void SimRadio::failNextAddService(std::string error) {
    MutexLock lock(m_mutex);
    m_failAddService = std::move(error);
}

void SimRadio::failNextPublish(std::string error) {
    MutexLock lock(m_mutex);
    m_failPublish = std::move(error);
}

void SimRadio::failNextL2CAPOpen(std::string error) {
    MutexLock lock(m_mutex);
    m_failOpen = std::move(error);
}

void SimRadio::deliverEmptyL2CAPOpen() {
    MutexLock lock(m_mutex);
    if (ManagerEntry* serving = servingLocked())
        postLocked(*serving, [](PeripheralManagerDelegate& d) {
            d.didOpenL2CAPChannel(nullptr, std::nullopt);
        });
}

void SimRadio::setNextPSM(uint16_t psm) {
    MutexLock lock(m_mutex);
    m_nextPSM = psm;
}

void SimRadio::setL2CAPMTU(size_t mtu) {
    MutexLock lock(m_mutex);
    m_l2capMTU = mtu;
}

void SimRadio::setL2CAPSendStallTimeout(std::chrono::milliseconds timeout) {
    MutexLock lock(m_mutex);
    m_stallTimeout = timeout;
}

void SimRadio::setAttMTU(size_t mtu) {
    MutexLock lock(m_mutex);
    m_attMTU = std::max<size_t>(mtu, 2);
}

void SimRadio::refuseNotifications(size_t count) {
    MutexLock lock(m_mutex);
    m_refuseNotifications = count;
}

void SimRadio::setResponseTimeout(std::chrono::milliseconds timeout) {
    MutexLock lock(m_mutex);
    m_responseTimeout = timeout;
}

// ---- Observation

size_t SimRadio::managersCreated() const {
    MutexLock lock(m_mutex);
    return m_managersCreated;
}

size_t SimRadio::liveManagers() const {
    MutexLock lock(m_mutex);
    return m_managers.size();
}

std::optional<ServiceDefinition> SimRadio::service() const {
    MutexLock lock(m_mutex);
    const ManagerEntry* serving = servingLocked();
    return serving ? serving->service : std::nullopt;
}

std::optional<AdvertisementData> SimRadio::advertising() const {
    MutexLock lock(m_mutex);
    for (auto it = m_managers.rbegin(); it != m_managers.rend(); ++it)
        if (it->second->advertising)
            return it->second->advertising;
    return std::nullopt;
}

std::vector<std::string> SimRadio::advertisedNames() const {
    MutexLock lock(m_mutex);
    return m_advertisedNames;
}

size_t SimRadio::addServiceCalls() const {
    MutexLock lock(m_mutex);
    return m_addServiceCalls;
}

size_t SimRadio::publishCalls() const {
    MutexLock lock(m_mutex);
    return m_publishCalls;
}

std::optional<bool> SimRadio::lastPublishEncrypted() const {
    MutexLock lock(m_mutex);
    return m_lastPublishEncrypted;
}

std::optional<uint16_t> SimRadio::publishedPSM() const {
    MutexLock lock(m_mutex);
    const ManagerEntry* serving = servingLocked();
    return serving ? serving->psm : std::nullopt;
}

size_t SimRadio::answersSent() const {
    MutexLock lock(m_mutex);
    return m_answersSent;
}

size_t SimRadio::notificationsSent() const {
    MutexLock lock(m_mutex);
    return m_notificationsSent;
}

bool SimRadio::waitForPeripheralIdle(std::chrono::milliseconds timeout) {
    struct Barrier {
        std::mutex mutex;
        std::condition_variable cv;
        size_t remaining = 0;
    };
    auto barrier = std::make_shared<Barrier>();
    {
        MutexLock lock(m_mutex);
        barrier->remaining = m_managers.size();
        for (auto& [id, entry] : m_managers)
            entry->post([barrier] {
                {
                    std::lock_guard l(barrier->mutex);
                    --barrier->remaining;
                }
                barrier->cv.notify_all();
            });
    }
    std::unique_lock l(barrier->mutex);
    return barrier->cv.wait_for(l, timeout, [&] { return barrier->remaining == 0; });
}

std::unique_ptr<SimCentral> SimRadio::connectCentral(std::string centralID) {
    if (centralID.empty())
        centralID = randomCentralID();
    auto entry = std::make_shared<CentralEntry>();
    entry->id = centralID;
    {
        MutexLock lock(m_mutex);
        m_centrals[centralID] = entry;
    }
    return std::unique_ptr<SimCentral>(new SimCentral(*this, std::move(centralID)));
}

// ---- Internals

SimRadio::ManagerEntry* SimRadio::servingLocked() const {
    if (m_state != ManagerState::poweredOn)
        return nullptr;
    for (auto it = m_managers.rbegin(); it != m_managers.rend(); ++it)
        if (it->second->service)
            return it->second.get();
    return nullptr;
}

void SimRadio::dropSubscriptionsLocked() {
    // The service went away: its subscriptions end without callbacks.
    for (auto& [id, central] : m_centrals)
        central->subscriptions.clear();
}

void SimRadio::postLocked(const ManagerEntry& entry,
                          std::function<void(PeripheralManagerDelegate&)> callback) {
    entry.post([token = entry.token, delegate = entry.delegate, cb = std::move(callback)] {
        if (token.lock())
            cb(*delegate);
    });
}

uint64_t SimRadio::registerManager(PeripheralManagerDelegate& delegate, TaskPoster post,
                                   std::weak_ptr<int> token) {
    MutexLock lock(m_mutex);
    auto entry = std::make_unique<ManagerEntry>();
    entry->id = m_nextID++;
    entry->delegate = &delegate;
    entry->post = std::move(post);
    entry->token = std::move(token);
    ++m_managersCreated;
    const ManagerState state = m_state;
    postLocked(*entry,
               [state](PeripheralManagerDelegate& d) { d.peripheralManagerDidUpdateState(state); });
    const uint64_t id = entry->id;
    m_managers[id] = std::move(entry);
    return id;
}

void SimRadio::unregisterManager(uint64_t id) {
    MutexLock lock(m_mutex);
    const auto it = m_managers.find(id);
    if (it == m_managers.end())
        return;
    if (servingLocked() == it->second.get())
        dropSubscriptionsLocked();
    m_managers.erase(it);
    for (auto p = m_pending.begin(); p != m_pending.end();) {
        if (p->second->managerID == id) {
            p->second->answer.set_value(std::nullopt);
            p = m_pending.erase(p);
        } else {
            ++p;
        }
    }
}

void SimRadio::managerAddService(uint64_t id, const ServiceDefinition& service) {
    MutexLock lock(m_mutex);
    ++m_addServiceCalls;
    ManagerEntry& entry = *m_managers.at(id);
    std::optional<std::string> error;
    if (m_failAddService)
        error = std::exchange(m_failAddService, std::nullopt);
    else if (m_state != ManagerState::poweredOn)
        error = "Bluetooth is not powered on";
    else
        entry.service = service;
    postLocked(entry, [error](PeripheralManagerDelegate& d) { d.didAddService(error); });
}

void SimRadio::managerRemoveServices(uint64_t id) {
    MutexLock lock(m_mutex);
    ManagerEntry& entry = *m_managers.at(id);
    if (servingLocked() == &entry)
        dropSubscriptionsLocked();
    entry.service.reset();
}

void SimRadio::managerAdvertise(uint64_t id, std::optional<AdvertisementData> data) {
    MutexLock lock(m_mutex);
    if (data)
        m_advertisedNames.push_back(data->localName);
    m_managers.at(id)->advertising = std::move(data);
}

bool SimRadio::managerUpdateValue(uint64_t id, ByteView value, const std::string& uuid) {
    std::vector<std::shared_ptr<CentralEntry>> targets;
    {
        MutexLock lock(m_mutex);
        ManagerEntry* serving = servingLocked();
        if (!serving || serving->id != id)
            return false;
        if (m_refuseNotifications > 0) {
            --m_refuseNotifications;
            return false;
        }
        const std::string key = asciiLowercase(uuid);
        for (auto& [cid, central] : m_centrals)
            if (central->subscriptions.count(key))
                targets.push_back(central);
        if (targets.empty())
            return false;
        ++m_notificationsSent;
    }
    const std::string printed = asciiUppercase(uuid);
    for (auto& central : targets) {
        MutexLock lock(central->deliveryMutex);
        if (central->handler)
            central->handler(printed, toBytes(value));
    }
    return true;
}

void SimRadio::managerRespond(uint64_t id, uint64_t requestID, AttResult result, ByteView value) {
    MutexLock lock(m_mutex);
    const auto it = m_pending.find(requestID);
    if (it == m_pending.end() || it->second->managerID != id)
        return;
    phone::ReadResult answer{result, {}};
    if (it->second->isRead && result == AttResult::success)
        answer.value = toBytes(value.first(std::min(value.size(), m_attMTU - 1)));
    ++m_answersSent;
    it->second->answer.set_value(std::move(answer));
    m_pending.erase(it);
}

void SimRadio::managerPublish(uint64_t id, bool withEncryption) {
    MutexLock lock(m_mutex);
    ++m_publishCalls;
    m_lastPublishEncrypted = withEncryption;
    ManagerEntry& entry = *m_managers.at(id);
    std::optional<std::string> error;
    uint16_t psm = 0;
    if (m_failPublish) {
        error = std::exchange(m_failPublish, std::nullopt);
    } else if (m_state != ManagerState::poweredOn) {
        error = "Bluetooth is not powered on";
    } else {
        psm = m_nextPSM++;
        entry.psm = psm;
    }
    postLocked(entry, [psm, error](PeripheralManagerDelegate& d) {
        d.didPublishL2CAPChannel(psm, error);
    });
}

std::optional<phone::ReadResult> SimRadio::centralRead(const std::string& id, std::string_view uuid,
                                                       size_t offset) {
    std::future<std::optional<phone::ReadResult>> answer;
    uint64_t requestID = 0;
    std::chrono::milliseconds timeout{};
    {
        MutexLock lock(m_mutex);
        ManagerEntry* serving = servingLocked();
        if (!m_centrals.count(id) || !serving)
            return std::nullopt;
        const CharacteristicDefinition* c = findCharacteristic(*serving->service, uuid);
        if (!c)
            return phone::ReadResult{AttResult::attributeNotFound, {}};
        requestID = m_nextID++;
        auto pending = std::make_shared<Pending>();
        pending->managerID = serving->id;
        pending->isRead = true;
        answer = pending->answer.get_future();
        m_pending[requestID] = pending;
        ReadRequest request{requestID, id, asciiUppercase(c->uuid), offset};
        postLocked(*serving,
                   [request](PeripheralManagerDelegate& d) { d.didReceiveRead(request); });
        timeout = m_responseTimeout;
    }
    if (answer.wait_for(timeout) != std::future_status::ready) {
        MutexLock lock(m_mutex);
        m_pending.erase(requestID);
        return std::nullopt;
    }
    return answer.get();
}

std::optional<AttResult>
SimRadio::centralWrite(const std::string& id,
                       const std::vector<std::pair<std::string, std::optional<Bytes>>>& batch) {
    std::future<std::optional<phone::ReadResult>> answer;
    uint64_t firstID = 0;
    std::chrono::milliseconds timeout{};
    {
        MutexLock lock(m_mutex);
        ManagerEntry* serving = servingLocked();
        if (!m_centrals.count(id) || !serving)
            return std::nullopt;
        std::vector<WriteRequest> requests;
        for (const auto& [uuid, value] : batch) {
            const CharacteristicDefinition* c = findCharacteristic(*serving->service, uuid);
            if (!c)
                return AttResult::attributeNotFound;
            requests.push_back(WriteRequest{m_nextID++, id, asciiUppercase(c->uuid), value, 0});
        }
        postLocked(*serving,
                   [requests](PeripheralManagerDelegate& d) { d.didReceiveWrite(requests); });
        if (requests.empty())
            return std::nullopt; // nothing will answer
        firstID = requests.front().id;
        auto pending = std::make_shared<Pending>();
        pending->managerID = serving->id;
        answer = pending->answer.get_future();
        m_pending[firstID] = pending;
        timeout = m_responseTimeout;
    }
    if (answer.wait_for(timeout) != std::future_status::ready) {
        MutexLock lock(m_mutex);
        m_pending.erase(firstID);
        return std::nullopt;
    }
    const auto result = answer.get();
    if (!result)
        return std::nullopt;
    return result->result;
}

bool SimRadio::centralSubscribe(const std::string& id, std::string_view uuid, bool on) {
    MutexLock lock(m_mutex);
    ManagerEntry* serving = servingLocked();
    const auto it = m_centrals.find(id);
    if (it == m_centrals.end() || !serving)
        return false;
    const CharacteristicDefinition* c = findCharacteristic(*serving->service, uuid);
    if (!c)
        return false;
    const std::string key = asciiLowercase(c->uuid);
    const std::string printed = asciiUppercase(c->uuid);
    auto& subscriptions = it->second->subscriptions;
    if (on && subscriptions.insert(key).second)
        postLocked(*serving,
                   [id, printed](PeripheralManagerDelegate& d) { d.didSubscribe(id, printed); });
    if (!on && subscriptions.erase(key))
        postLocked(*serving,
                   [id, printed](PeripheralManagerDelegate& d) { d.didUnsubscribe(id, printed); });
    return true;
}

std::shared_ptr<ByteChannel> SimRadio::centralOpenL2CAP(const std::string& id, uint16_t psm) {
    MutexLock lock(m_mutex);
    const auto central = m_centrals.find(id);
    if (central == m_centrals.end() || m_state != ManagerState::poweredOn)
        return nullptr;
    ManagerEntry* target = nullptr;
    for (auto& [mid, entry] : m_managers)
        if (entry->psm && *entry->psm == psm)
            target = entry.get();
    if (!target)
        return nullptr;
    if (m_failOpen) {
        postLocked(*target,
                   [error = *std::exchange(m_failOpen, std::nullopt)](
                       PeripheralManagerDelegate& d) { d.didOpenL2CAPChannel(nullptr, error); });
        return nullptr;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return nullptr;
    auto desktopEnd =
        std::make_shared<ByteChannel>(UniqueFd(fds[0]), m_l2capMTU, m_l2capMTU, m_stallTimeout);
    auto phoneEnd =
        std::make_shared<ByteChannel>(UniqueFd(fds[1]), m_l2capMTU, m_l2capMTU, m_stallTimeout);
    central->second->channels.push_back(desktopEnd);
    central->second->channels.push_back(phoneEnd);
    postLocked(*target, [desktopEnd](PeripheralManagerDelegate& d) {
        d.didOpenL2CAPChannel(desktopEnd, std::nullopt);
    });
    return phoneEnd;
}

void SimRadio::centralDisconnect(const std::string& id) {
    std::shared_ptr<CentralEntry> gone;
    {
        MutexLock lock(m_mutex);
        const auto it = m_centrals.find(id);
        if (it == m_centrals.end())
            return;
        gone = it->second;
        if (ManagerEntry* serving = servingLocked())
            for (const auto& key : gone->subscriptions) {
                const CharacteristicDefinition* c = findCharacteristic(*serving->service, key);
                const std::string printed = asciiUppercase(c ? c->uuid : key);
                postLocked(*serving, [id, printed](PeripheralManagerDelegate& d) {
                    d.didUnsubscribe(id, printed);
                });
            }
        gone->subscriptions.clear();
        for (auto& weak : gone->channels)
            if (auto channel = weak.lock())
                channel->shutdown();
        gone->channels.clear();
        m_centrals.erase(it);
    }
    // Waits for a delivery in progress; none starts after this.
    MutexLock lock(gone->deliveryMutex);
    gone->handler = nullptr;
}

void SimRadio::centralSetHandler(const std::string& id,
                                 phone::CentralLink::NotificationHandler handler) {
    std::shared_ptr<CentralEntry> central;
    {
        MutexLock lock(m_mutex);
        const auto it = m_centrals.find(id);
        if (it == m_centrals.end())
            return;
        central = it->second;
    }
    MutexLock lock(central->deliveryMutex);
    central->handler = std::move(handler);
}

size_t SimRadio::maxReadLength() const {
    MutexLock lock(m_mutex);
    return m_attMTU - 1;
}

// ---- SimCentral

SimCentral::~SimCentral() {
    setNotificationHandler(nullptr);
    disconnect();
}

size_t SimCentral::maxReadLength() const {
    return m_radio.maxReadLength();
}

std::optional<phone::ReadResult> SimCentral::read(std::string_view charUUID, size_t offset) {
    return m_radio.centralRead(m_id, charUUID, offset);
}

std::optional<AttResult> SimCentral::write(std::string_view charUUID, ByteView value) {
    return writeBatch({{std::string(charUUID), toBytes(value)}});
}

std::optional<AttResult>
SimCentral::writeBatch(const std::vector<std::pair<std::string, std::optional<Bytes>>>& requests) {
    return m_radio.centralWrite(m_id, requests);
}

bool SimCentral::subscribe(std::string_view charUUID) {
    return m_radio.centralSubscribe(m_id, charUUID, true);
}

bool SimCentral::unsubscribe(std::string_view charUUID) {
    return m_radio.centralSubscribe(m_id, charUUID, false);
}

void SimCentral::setNotificationHandler(NotificationHandler handler) {
    m_radio.centralSetHandler(m_id, std::move(handler));
}

std::shared_ptr<ByteChannel> SimCentral::openL2CAP(uint16_t psm) {
    return m_radio.centralOpenL2CAP(m_id, psm);
}

void SimCentral::disconnect() {
    m_radio.centralDisconnect(m_id);
}

} // namespace sorvane::sim

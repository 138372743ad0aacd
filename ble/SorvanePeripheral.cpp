#include "ble/SorvanePeripheral.h"

#include "base/Log.h"
#include "protocol/ChunkFraming.h"
#include "protocol/Uuids.h"

#include <algorithm>
#include <cctype>
#include <future>

namespace sorvane {
namespace {

// The GATT layout, in the order the characteristics are added.
std::vector<CharacteristicDefinition> serviceCharacteristics() {
    using namespace CharProperty;
    using namespace AttrPermission;
    return {
        {std::string(charDeviceInfo), read, readable},
        {std::string(charPairing), static_cast<uint8_t>(write | notify), writeable},
        {std::string(charClipboardTx), write, writeable},
        {std::string(charClipboardRx), notify, 0},
        {std::string(charControl), static_cast<uint8_t>(write | notify), writeable},
        {std::string(charL2capPsm), CharProperty::read, readable},
    };
}

// The bytes of `value` from `offset` on, or invalidOffset past its end.
std::pair<AttResult, ByteView> readAt(ByteView value, size_t offset) {
    if (offset > value.size())
        return {AttResult::invalidOffset, {}};
    return {AttResult::success, value.subspan(offset)};
}

} // namespace

SorvanePeripheral::SorvanePeripheral(PeripheralManagerFactory factory, Bytes deviceInfo,
                                     EventHandler onEvent, MainQueue& mainQueue, SteadyClock clock)
    : m_factory(std::move(factory)), m_deviceInfo(std::move(deviceInfo)),
      m_onEvent(std::move(onEvent)), m_mainQueue(mainQueue), m_clock(std::move(clock)) {
    // Logged on the queue, so that it comes before anything the new manager reports.
    m_queue.sync([this] {
        m_manager = makeManager();
        logLine("Sorvane BLE: peripheral initialized");
    });
}

SorvanePeripheral::~SorvanePeripheral() {
    m_liveness.end();
    // The manager dies on the queue, so none of its callbacks runs after this.
    m_queue.sync([this] {
        m_shutDown = true;
        m_outbound.clear();
        m_manager.reset();
        m_chars.clear();
        m_serviceAdded = false;
    });
    m_l2cap.teardown(); // ends a write in progress
    m_writer.stop();
    // Operations still queued find no manager and no characteristics.
    m_queue.stop();
}

std::unique_ptr<PeripheralManager> SorvanePeripheral::makeManager() {
    PeripheralManagerDelegate& delegate = *this;
    return m_factory(delegate,
                     [this](std::function<void()> task) { m_queue.async(std::move(task)); });
}

void SorvanePeripheral::emit(PeripheralEvent event) {
    if (m_onEvent)
        m_onEvent(std::move(event));
}

// ---- Operations

void SorvanePeripheral::startAdvertising(std::string localName) {
    m_queue.async([this, name = std::move(localName)] {
        m_lastLocalName = name;
        if (!m_serviceAdded)
            m_pendingLocalName = name; // advertising starts when the service is added
        else
            beginAdvertising(name);
    });
}

void SorvanePeripheral::beginAdvertising(const std::string& localName) {
    m_manager->startAdvertising(AdvertisementData{{std::string(serviceUUID)}, localName});
    logLine("Sorvane BLE: advertising as " + localName);
}

void SorvanePeripheral::notify(std::string charUUID, Bytes data) {
    m_queue.async([this, uuid = std::move(charUUID), value = std::move(data)]() mutable {
        enqueue(Outbound{Outbound::Kind::notify, std::move(uuid), std::move(value), {}, 0});
    });
}

void SorvanePeripheral::notifyPaced(std::string charUUID, std::vector<Bytes> chunks) {
    m_queue.async([this, uuid = std::move(charUUID), chunks = std::move(chunks)]() mutable {
        for (Bytes& chunk : chunks)
            m_outbound.push_back(
                Outbound{Outbound::Kind::pacedChunk, uuid, std::move(chunk), {}, 0});
        pumpOutbound();
    });
}

void SorvanePeripheral::sendFrame(OutboundFrame frame, std::string gattCharUUID,
                                  FrameReport report, std::function<void()> gone) {
    m_queue.async([this, frame = std::move(frame), uuid = std::move(gattCharUUID),
                   report = std::move(report), gone = std::move(gone)]() mutable {
        Outbound item{Outbound::Kind::frame, std::move(uuid), std::move(frame.body), {},
                      m_nextMarker++};
        item.flags = frame.flags;
        item.frameID = frame.frameID;
        item.report = std::move(report);
        item.gone = std::move(gone);
        enqueue(std::move(item));
    });
}

void SorvanePeripheral::whenSent(std::chrono::milliseconds limit, std::function<void()> done) {
    m_queue.async([this, limit, done = std::move(done)]() mutable {
        const uint64_t marker = m_nextMarker++;
        m_queue.asyncAfter(limit, [this, marker] { expireChunksBefore(marker); });
        enqueue(Outbound{Outbound::Kind::step, {}, {}, std::move(done), marker});
    });
}

void SorvanePeripheral::rebuild() {
    m_queue.async([this] {
        enqueue(Outbound{Outbound::Kind::step, {}, {}, [this] { rebuildNow(); }, 0});
    });
}

void SorvanePeripheral::enqueue(Outbound item) {
    m_outbound.push_back(std::move(item));
    pumpOutbound();
}

// Sends from the front of the outbound queue until it is empty or a paced
// chunk must wait for its turn; a timer on the queue comes back for it.
void SorvanePeripheral::pumpOutbound() {
    while (!m_outbound.empty()) {
        if (m_l2capInFlight)
            return; // finishL2CAPWrite comes back
        if (m_outbound.front().kind == Outbound::Kind::frame) {
            if (m_l2cap.isOpen() && !m_shutDown) {
                startL2CAPWrite();
                return;
            }
            frameToChunks();
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (m_outbound.front().kind == Outbound::Kind::pacedChunk && m_lastPacedAt &&
            now < *m_lastPacedAt + kChunkPacing) {
            if (!m_pacingTimerArmed) {
                m_pacingTimerArmed = true;
                m_queue.asyncAfter(*m_lastPacedAt + kChunkPacing - now, [this] {
                    m_pacingTimerArmed = false;
                    pumpOutbound();
                });
            }
            return;
        }
        Outbound item = std::move(m_outbound.front());
        m_outbound.pop_front();
        switch (item.kind) {
        case Outbound::Kind::pacedChunk:
            m_lastPacedAt = now;
            [[fallthrough]];
        case Outbound::Kind::notify:
            sendNotification(item.uuid, item.data);
            break;
        case Outbound::Kind::step:
            if (item.step)
                item.step();
            break;
        case Outbound::Kind::frame:
            break; // handled above
        }
    }
}

void SorvanePeripheral::startL2CAPWrite() {
    const Outbound& item = m_outbound.front();
    m_l2capInFlight = true;
    m_writer.async([this, sequence = item.marker,
                    frame = buildL2CAPFrame(item.flags, item.frameID, item.data)] {
        const auto result = m_l2cap.send(frame);
        m_queue.async([this, sequence, result] { finishL2CAPWrite(sequence, result); });
    });
}

void SorvanePeripheral::finishL2CAPWrite(uint64_t sequence, L2CAPStreams::SendResult result) {
    m_l2capInFlight = false;
    // The queue may have been emptied meanwhile (shutdown): nothing to finish.
    if (m_outbound.empty() || m_outbound.front().kind != Outbound::Kind::frame ||
        m_outbound.front().marker != sequence)
        return;
    if (result == L2CAPStreams::SendResult::sent) {
        Outbound item = std::move(m_outbound.front());
        m_outbound.pop_front();
        if (item.report)
            item.report(FrameRoute::l2cap, 0);
        if (item.gone)
            item.gone();
    } else {
        if (result == L2CAPStreams::SendResult::failed)
            postWriteFailed();
        frameToChunks(); // in its place: nothing queued behind it overtakes it
    }
    pumpOutbound();
}

void SorvanePeripheral::frameToChunks() {
    Outbound item = std::move(m_outbound.front());
    m_outbound.pop_front();
    const size_t count = std::max<size_t>(1, (item.data.size() + kGattChunkBody - 1) / kGattChunkBody);
    // A frame whose chunks cannot all reach the phone inside its reassembly
    // window would only hold up the frames behind it.
    if (count > kMaxGattChunks) {
        if (item.report)
            item.report(FrameRoute::tooLarge, count);
        if (item.gone)
            item.gone();
        return;
    }
    std::vector<Bytes> chunks = chunkPayload(item.frameID, item.data, kGattChunkBody, item.flags);
    if (item.report)
        item.report(FrameRoute::gatt, chunks.size());
    if (item.gone)
        m_outbound.push_front(Outbound{Outbound::Kind::step, {}, {}, std::move(item.gone), 0});
    for (auto it = chunks.rbegin(); it != chunks.rend(); ++it)
        m_outbound.push_front(Outbound{Outbound::Kind::pacedChunk, item.uuid, std::move(*it), {}, 0});
}

void SorvanePeripheral::expireChunksBefore(uint64_t marker) {
    const auto end = std::find_if(m_outbound.begin(), m_outbound.end(),
                                  [marker](const Outbound& o) { return o.marker == marker; });
    if (end == m_outbound.end())
        return; // already sent
    const auto late = [](const Outbound& o) { return o.kind == Outbound::Kind::pacedChunk; };
    const auto dropped = std::count_if(m_outbound.begin(), end, late);
    m_outbound.erase(std::remove_if(m_outbound.begin(), end, late), end);
    if (dropped > 0)
        logLine("Sorvane BLE: " + std::to_string(dropped) +
                " queued chunks dropped \u2014 not sent in time");
    pumpOutbound();
}

void SorvanePeripheral::sendNotification(const std::string& uuid, const Bytes& value) {
    const auto it = m_chars.find(asciiLowercase(uuid));
    if (it == m_chars.end() || !m_manager) {
        logLine("Sorvane BLE: notify dropped \u2014 no characteristic for " + uuid);
        return;
    }
    // A refused notification is lost: no retry, no wait for the platform.
    if (!m_manager->updateValue(value, it->second.uuid))
        logLine("Sorvane BLE: updateValue returned false on " + uuid +
                " (queue full or no subscribers)");
}

void SorvanePeripheral::rebuildNow() {
    if (m_shutDown || m_isRebuilding)
        return;
    const auto now = m_clock();
    if (m_lastRebuildTime && now - *m_lastRebuildTime < rebuildCooldown) {
        logLine("Sorvane BLE: rebuild cooldown \u2014 skipping");
        return;
    }
    m_isRebuilding = true;
    m_lastRebuildTime = now;
    logLine("Sorvane BLE: rebuilding CBPeripheralManager for fresh L2CAP");
    m_l2cap.teardown();
    if (m_manager) {
        m_manager->stopAdvertising();
        m_manager->removeAllServices();
    }
    m_chars.clear();
    m_serviceAdded = false;
    m_l2capPSM = 0;
    m_manager.reset();
    m_poweredOn = false;
    logLine("Sorvane BLE: old manager destroyed");
    emit(PeripheralEvent{PeripheralEvent::PoweredOff{}});
    m_seenPoweredOn = false;
    m_manager = makeManager();
    logLine("Sorvane BLE: new manager created, waiting for poweredOn");
}

void SorvanePeripheral::shutdown(std::chrono::milliseconds drainLimit) {
    // What is queued goes first, as long as the phone could still use it.
    auto sent = std::make_shared<std::promise<void>>();
    auto drained = sent->get_future();
    whenSent(drainLimit, [sent] { sent->set_value(); });
    drained.wait_for(std::max<std::chrono::milliseconds>(drainLimit + std::chrono::seconds(1),
                                                         kWriteDrainLimit));
    m_queue.sync([this] {
        m_outbound.clear();
        if (m_manager) {
            m_manager->stopAdvertising();
            m_manager->removeAllServices();
        }
        m_chars.clear();
        m_serviceAdded = false;
        m_manager.reset();
        m_poweredOn = false;
        m_shutDown = true;
        // No stream thread may outlive the peripheral's service.
        m_l2cap.teardown();
        logLine("Sorvane BLE: peripheral shut down — manager destroyed");
    });
}

// ---- L2CAP

bool SorvanePeripheral::sendL2CAP(ByteView frame) {
    switch (m_l2cap.send(frame)) {
    case L2CAPStreams::SendResult::sent:
        return true;
    case L2CAPStreams::SendResult::failed:
        postWriteFailed();
        return false;
    case L2CAPStreams::SendResult::noChannel:
    case L2CAPStreams::SendResult::tooLong:
        break;
    }
    return false;
}

void SorvanePeripheral::postWriteFailed() {
    m_mainQueue.post([this, alive = m_liveness.watch()] {
        if (!alive)
            return; // the peripheral is gone
        std::function<void()> handler;
        {
            MutexLock lock(m_callbackMutex);
            handler = m_onL2CAPWriteFailed;
        }
        if (handler)
            handler();
    });
}

void SorvanePeripheral::setOnL2CAPData(L2CAPDataHandler handler) {
    m_l2cap.setOnData(std::move(handler));
}

void SorvanePeripheral::setOnL2CAPWriteFailed(std::function<void()> handler) {
    MutexLock lock(m_callbackMutex);
    m_onL2CAPWriteFailed = std::move(handler);
}

// ---- Manager callbacks

void SorvanePeripheral::peripheralManagerDidUpdateState(ManagerState state) {
    m_poweredOn = state == ManagerState::poweredOn;
    if (state == ManagerState::poweredOn) {
        m_seenPoweredOn = true;
        m_isRebuilding = false;
        ServiceDefinition service{std::string(serviceUUID), true, serviceCharacteristics()};
        m_chars.clear();
        for (const auto& c : service.characteristics)
            m_chars.emplace(asciiLowercase(c.uuid), c);
        m_manager->addService(service);
        return;
    }
    logLine("Sorvane BLE: peripheral state = " + std::to_string(static_cast<int>(state)) +
            " (not powered on)");
    m_serviceAdded = false;
    m_chars.clear();
    emit(PeripheralEvent{PeripheralEvent::PoweredOff{}});
    if (state == ManagerState::poweredOff && m_seenPoweredOn) {
        m_seenPoweredOn = false;
        logLine("Sorvane BLE: rebuilding CBPeripheralManager after BT power cycle");
        // The new manager reports its own state, which brings the service back
        // when Bluetooth returns. The old one is released by the assignment.
        m_manager = makeManager();
    }
}

void SorvanePeripheral::didAddService(const std::optional<std::string>& error) {
    if (error) {
        logLine("Sorvane BLE: add service failed: " + *error);
        return;
    }
    m_serviceAdded = true;
    if (const auto& name = m_pendingLocalName ? m_pendingLocalName : m_lastLocalName) {
        beginAdvertising(*name);
        m_pendingLocalName.reset();
    }
    m_manager->publishL2CAPChannel(false);
}

void SorvanePeripheral::didPublishL2CAPChannel(uint16_t psm,
                                               const std::optional<std::string>& error) {
    if (error) {
        logLine("Sorvane L2CAP: publish failed: " + *error);
        return;
    }
    m_l2capPSM = psm;
    logLine("Sorvane L2CAP: published PSM " + std::to_string(psm));
}

void SorvanePeripheral::didOpenL2CAPChannel(std::shared_ptr<ByteChannel> channel,
                                            const std::optional<std::string>& error) {
    if (error) {
        logLine("Sorvane L2CAP: open failed: " + *error);
        return;
    }
    if (!channel)
        return;
    m_l2cap.open(std::move(channel));
}

void SorvanePeripheral::didReceiveRead(const ReadRequest& request) {
    std::pair<AttResult, ByteView> answer{AttResult::readNotPermitted, {}};
    const std::array<uint8_t, 2> psm{static_cast<uint8_t>(m_l2capPSM >> 8),
                                     static_cast<uint8_t>(m_l2capPSM)};
    if (uuidEquals(request.charUUID, charDeviceInfo))
        answer = readAt(m_deviceInfo, request.offset);
    else if (uuidEquals(request.charUUID, charL2capPsm))
        answer = readAt(psm, request.offset);
    m_manager->respond(request.id, answer.first, answer.second);
}

void SorvanePeripheral::didReceiveWrite(const std::vector<WriteRequest>& requests) {
    if (requests.empty())
        return;
    // Every write goes to the application unfiltered; it routes them.
    for (const auto& r : requests)
        if (r.value)
            emit(PeripheralEvent{
                PeripheralEvent::Write{r.centralID, asciiUppercase(r.charUUID), *r.value}});
    m_manager->respond(requests.front().id, AttResult::success, {});
}

void SorvanePeripheral::didSubscribe(const std::string& centralID, const std::string& charUUID) {
    emit(PeripheralEvent{PeripheralEvent::Subscribed{centralID, asciiUppercase(charUUID)}});
}

void SorvanePeripheral::didUnsubscribe(const std::string& centralID, const std::string&) {
    // The platform reports no disconnections; leaving any characteristic counts as one.
    emit(PeripheralEvent{PeripheralEvent::CentralDisconnected{centralID}});
}

} // namespace sorvane

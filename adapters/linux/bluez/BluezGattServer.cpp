#include "adapters/linux/bluez/BluezGattServer.h"

#include "base/Log.h"
#include "base/Text.h"
#include "adapters/linux/bluez/BluezNames.h"

#include <cstdio>

namespace sorvane {

using namespace bluez;

namespace {

constexpr const char* kApplicationRoot = "/org/sorvane/gatt/app";

} // namespace

BluezGattServer::BluezGattServer(BluezConnection& connection, const BluezQueue& queue,
                                 BluezObjectTracker& tracker, SteadyClock clock)
    : m_connection(connection), m_queue(queue), m_tracker(tracker), m_refusals(std::move(clock)),
      // Failures reach the delegate as didAddService, which the peripheral logs.
      m_registration(connection, queue, kGattManagerInterface, "RegisterApplication",
                     "UnregisterApplication", "") {}

BluezGattApplication::Handlers BluezGattServer::handlers(uint64_t generation) {
    // On the event-loop thread: park the reply handle, handle the call on the queue.
    BluezGattApplication::Handlers handlers;
    handlers.read = [this, generation](BluezGattApplication::Call call,
                                       BluezGattApplication::ReadReply reply) {
        const uint64_t id = m_pending.park({generation, std::move(reply), nullptr});
        m_queue.post([this, generation, id, call = std::move(call)] { onRead(generation, id, call); });
    };
    handlers.write = [this, generation](BluezGattApplication::Call call, Bytes value,
                                        BluezGattApplication::VoidReply reply) {
        const uint64_t id = m_pending.park({generation, nullptr, std::move(reply)});
        m_queue.post([this, generation, id, call = std::move(call), value = std::move(value)]() mutable {
            onWrite(generation, id, call, std::move(value));
        });
    };
    handlers.notify = [this, generation](BluezGattApplication::Call call, bool start,
                                         BluezGattApplication::VoidReply reply) {
        const uint64_t id = m_pending.park({generation, nullptr, std::move(reply)});
        m_queue.post([this, generation, id, call = std::move(call), start] {
            onNotify(generation, id, call, start);
        });
    };
    return handlers;
}

void BluezGattServer::addService(const ServiceDefinition& service, bool poweredOn) {
    removeService();
    if (!poweredOn || m_tracker.adapterPath().empty()) {
        m_queue.deliver([](PeripheralManagerDelegate& d) { d.didAddService("Bluetooth is not powered on"); });
        return;
    }
    const uint64_t generation = ++m_generation;
    try {
        m_application = std::make_unique<BluezGattApplication>(
            m_connection.bus(), kApplicationRoot + std::to_string(generation), service,
            handlers(generation));
    } catch (const sdbus::Error& e) {
        const std::string error = "exporting the GATT application failed: " + e.getMessage();
        m_queue.deliver([error](PeripheralManagerDelegate& d) { d.didAddService(error); });
        return;
    }
    m_notifySessions.assign(m_application->characteristicCount(), 0);
    const auto failed = m_registration.start(
        m_tracker.adapterPath(), m_application->rootPath(),
        [this, generation](const std::optional<std::string>& error) { registered(generation, error); });
    if (failed) {
        m_application.reset();
        const std::string error = "RegisterApplication failed: " + *failed;
        m_queue.deliver([error](PeripheralManagerDelegate& d) { d.didAddService(error); });
    }
}

void BluezGattServer::registered(uint64_t generation, const std::optional<std::string>& error) {
    if (error) {
        m_pending.failGeneration(generation, "the service was not registered");
        m_application.reset();
    }
    m_queue.deliver([error](PeripheralManagerDelegate& d) { d.didAddService(error); });
}

void BluezGattServer::removeService() {
    m_registration.drop();
    dropApplication("the service was removed");
}

void BluezGattServer::forget() {
    m_registration.forget();
    dropApplication("the service was removed");
}

void BluezGattServer::dropApplication(const std::string& why) {
    if (!m_application)
        return;
    m_pending.failGeneration(m_generation, why);
    m_application.reset();
    m_notifySessions.clear();
    m_subscriptions.clear();
}

void BluezGattServer::shutdown() {
    m_registration.drop();
    m_pending.failAll("the peripheral is gone");
    m_application.reset();
    m_refusals.flushAll();
}

// ---- Method calls (queue)

bool BluezGattServer::accept(uint64_t generation, uint64_t callID,
                             const BluezGattApplication::Call& call, const char* method) {
    m_refusals.flush();
    if (!m_tracker.isBluetoothd(call.sender)) {
        m_refusals.refused(method, call.sender);
        if (const auto pending = m_pending.take(callID))
            BluezPendingCalls::answerError(*pending, kErrorAccessDenied, "only bluetoothd may call this");
        return false;
    }
    if (!m_application || generation != m_generation) {
        if (const auto pending = m_pending.take(callID))
            BluezPendingCalls::answerError(*pending, kErrorFailed, "the service was removed");
        return false;
    }
    if (call.malformed) {
        logLine(std::string("Sorvane BLE: ") + method + " dropped: " + *call.malformed);
        if (const auto pending = m_pending.take(callID))
            BluezPendingCalls::answerError(*pending, kErrorInvalidArguments, *call.malformed);
        return false;
    }
    return true;
}

void BluezGattServer::onRead(uint64_t generation, uint64_t callID,
                             const BluezGattApplication::Call& call) {
    if (!accept(generation, callID, call, "ReadValue"))
        return;
    m_tracker.noteDevice(call.device);
    ReadRequest request{callID, call.device, m_application->characteristic(call.characteristic).uuid,
                        call.offset};
    m_queue.deliver([request](PeripheralManagerDelegate& d) { d.didReceiveRead(request); });
}

void BluezGattServer::onWrite(uint64_t generation, uint64_t callID,
                              const BluezGattApplication::Call& call, Bytes value) {
    if (!accept(generation, callID, call, "WriteValue"))
        return;
    m_tracker.noteDevice(call.device);
    // bluetoothd sends each ATT write (and each piece of a long write, with its
    // offset) as its own WriteValue: a batch of one.
    std::vector<WriteRequest> batch{WriteRequest{
        callID, call.device, m_application->characteristic(call.characteristic).uuid,
        std::move(value), call.offset}};
    m_queue.deliver([batch](PeripheralManagerDelegate& d) { d.didReceiveWrite(batch); });
}

void BluezGattServer::onNotify(uint64_t generation, uint64_t callID,
                               const BluezGattApplication::Call& call, bool start) {
    if (!accept(generation, callID, call, start ? "StartNotify" : "StopNotify"))
        return;
    const std::string uuid = m_application->characteristic(call.characteristic).uuid;
    unsigned& sessions = m_notifySessions.at(call.characteristic);
    if (start) {
        ++sessions;
        // bluetoothd does not say which device asked: every connected one counts.
        if (m_tracker.devices().empty())
            logLine("Sorvane BLE: notifications on " + uuid + " started with no device connected");
        for (const auto& path : m_tracker.devices())
            if (m_subscriptions[path].insert(uuid).second)
                m_queue.deliver([path = path, uuid](PeripheralManagerDelegate& d) { d.didSubscribe(path, uuid); });
    } else {
        if (sessions > 0)
            --sessions;
        if (sessions == 0)
            for (auto& [path, uuids] : m_subscriptions)
                if (uuids.erase(uuid) > 0)
                    m_queue.deliver([path = path, uuid](PeripheralManagerDelegate& d) {
                        d.didUnsubscribe(path, uuid);
                    });
    }
    if (const auto pending = m_pending.take(callID)) {
        try {
            pending->done->returnResults();
        } catch (const sdbus::Error&) {
            // bluetoothd gave up on the call; nothing to answer.
        }
    }
}

void BluezGattServer::deviceGone(const std::string& path) {
    std::set<std::string> uuids;
    if (const auto it = m_subscriptions.find(path); it != m_subscriptions.end()) {
        uuids = std::move(it->second);
        m_subscriptions.erase(it);
    }
    if (uuids.empty()) {
        m_queue.deliver([path](PeripheralManagerDelegate& d) { d.didUnsubscribe(path, ""); });
        return;
    }
    for (const auto& uuid : uuids)
        m_queue.deliver([path, uuid](PeripheralManagerDelegate& d) { d.didUnsubscribe(path, uuid); });
}

// ---- Answers and notifications (queue)

bool BluezGattServer::updateValue(ByteView value, const std::string& charUUID) {
    if (!m_application || m_registration.state() != RegistrationState::registered ||
        m_tracker.devices().empty())
        return false;
    const auto index = m_application->indexOf(charUUID);
    if (!index || m_notifySessions.at(*index) == 0)
        return false;
    return m_application->notify(*index, value);
}

void BluezGattServer::respond(uint64_t requestID, AttResult result, ByteView value) {
    const auto pending = m_pending.take(requestID);
    if (!pending)
        return;
    try {
        if (result != AttResult::success) {
            BluezPendingCalls::answerError(*pending, errorNameFor(result),
                                           "ATT error 0x" + hexByte(static_cast<uint8_t>(result)));
        } else if (pending->read) {
            pending->read->returnResults(std::vector<uint8_t>(value.begin(), value.end()));
        } else if (pending->done) {
            pending->done->returnResults();
        }
    } catch (const sdbus::Error&) {
        // bluetoothd gave up on the request; nothing to answer.
    }
}

} // namespace sorvane

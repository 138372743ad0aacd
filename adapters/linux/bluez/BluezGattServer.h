// BluezGattServer: the service of the BlueZ backend. addService() exports it as a
// GATT application (BluezGattApplication) and registers it with
// GattManager1.RegisterApplication (BluezRegistration); the outcome goes to the
// delegate as didAddService. ReadValue and WriteValue become read and write
// requests (one request per batch) answered through respond(); StartNotify and
// StopNotify become subscriptions of the connected devices; updateValue()
// notifies. Method calls from anyone but bluetoothd are refused with AccessDenied
// and logged through a BluezRefusalLog; calls with malformed options are logged
// and refused with InvalidArguments. See BluezPeripheralManager.h for what is
// reported when.
//
// Thread safety: method calls on the application arrive on the connection's
// event-loop thread, where they are parked (BluezPendingCalls) and posted to the
// peripheral's queue; everything else happens on the queue.
#pragma once

#include "ports/PeripheralBackend.h"
#include "adapters/linux/bluez/BluezConnection.h"
#include "adapters/linux/bluez/BluezGattApplication.h"
#include "adapters/linux/bluez/BluezObjectTracker.h"
#include "adapters/linux/bluez/BluezPendingCalls.h"
#include "adapters/linux/bluez/BluezQueue.h"
#include "adapters/linux/bluez/BluezRefusalLog.h"
#include "adapters/linux/bluez/BluezRegistration.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sorvane {

class BluezGattServer {
public:
    BluezGattServer(BluezConnection& connection, const BluezQueue& queue,
                    BluezObjectTracker& tracker, SteadyClock clock);
    BluezGattServer(const BluezGattServer&) = delete;
    BluezGattServer& operator=(const BluezGattServer&) = delete;

    // Replaces the service; `poweredOn` says whether it can be registered now.
    void addService(const ServiceDefinition& service, bool poweredOn);
    // Unregisters and unexports the service; its pending calls are answered with Failed.
    void removeService();
    // bluetoothd lost the registration: the service is dropped without telling it.
    void forget();
    bool updateValue(ByteView value, const std::string& charUUID);
    void respond(uint64_t requestID, AttResult result, ByteView value);
    // Reports the device's subscriptions as ended.
    void deviceGone(const std::string& path);
    // For the manager's destruction, once the event loop has stopped: unregisters,
    // answers every pending call and logs what the refusal log still holds.
    void shutdown();

private:
    BluezGattApplication::Handlers handlers(uint64_t generation);
    void registered(uint64_t generation, const std::optional<std::string>& error);
    void dropApplication(const std::string& why);
    bool accept(uint64_t generation, uint64_t callID, const BluezGattApplication::Call& call,
                const char* method);
    void onRead(uint64_t generation, uint64_t callID, const BluezGattApplication::Call& call);
    void onWrite(uint64_t generation, uint64_t callID, const BluezGattApplication::Call& call,
                 Bytes value);
    void onNotify(uint64_t generation, uint64_t callID, const BluezGattApplication::Call& call,
                  bool start);

    BluezConnection& m_connection;
    const BluezQueue& m_queue;
    BluezObjectTracker& m_tracker;
    BluezPendingCalls m_pending; // shared with the event-loop thread
    BluezRefusalLog m_refusals;

    std::unique_ptr<BluezGattApplication> m_application;
    uint64_t m_generation = 0; // of m_application; also names its root path
    BluezRegistration m_registration;
    std::vector<unsigned> m_notifySessions;                     // per characteristic
    std::map<std::string, std::set<std::string>> m_subscriptions; // device -> characteristic UUIDs
};

} // namespace sorvane

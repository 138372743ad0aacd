#include "adapters/linux/bluez/BluezPeripheralManager.h"

#include "base/ThreadSafety.h"
#include "base/Log.h"
#include "adapters/linux/bluez/BluezAdvertisement.h"
#include "adapters/linux/bluez/BluezGattApplication.h"
#include "adapters/linux/bluez/BluezNames.h"
#include "adapters/linux/bluez/L2capListener.h"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <variant>

namespace sorvane {
namespace {

using namespace bluez;

constexpr const char* kApplicationRoot = "/org/sorvane/gatt/app";
constexpr const char* kAdvertisementRoot = "/org/sorvane/advertisement";

// What bluetoothd told us about an object, reduced to what the manager uses.
struct AdapterInfo {
    bool powered = false;
};
struct DeviceInfo {
    bool connected = false;
};
struct ObjectInfo {
    std::optional<AdapterInfo> adapter;
    std::optional<DeviceInfo> device;
};

// Parsed on the event-loop thread so that no D-Bus value outlives the connection.
ObjectInfo parseInterfaces(const InterfaceProperties& interfaces) {
    ObjectInfo info;
    if (const auto it = interfaces.find(kAdapterInterface); it != interfaces.end())
        info.adapter = AdapterInfo{valueOf<bool>(it->second, "Powered").value_or(false)};
    if (const auto it = interfaces.find(kDeviceInterface); it != interfaces.end())
        info.device = DeviceInfo{valueOf<bool>(it->second, "Connected").value_or(false)};
    return info;
}

std::string hexByte(uint8_t value) {
    char text[5];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

class BluezPeripheralManager final : public PeripheralManager {
public:
    BluezPeripheralManager(PeripheralManagerDelegate& delegate, TaskPoster post, BluezOptions options);
    ~BluezPeripheralManager() override;

    ManagerState state() const override { return m_state; }
    void addService(const ServiceDefinition& service) override;
    void removeAllServices() override;
    void startAdvertising(const AdvertisementData& data) override;
    void stopAdvertising() override;
    bool updateValue(ByteView value, const std::string& charUUID) override;
    void respond(uint64_t requestID, AttResult result, ByteView value) override;
    void publishL2CAPChannel(bool withEncryption) override;

private:
    // A method call waiting for its answer. Held here rather than in posted tasks
    // so that every reply handle dies before the connection does.
    struct PendingCall {
        uint64_t applicationGeneration = 0;
        BluezGattApplication::ReadReply read; // ReadValue
        BluezGattApplication::VoidReply done; // WriteValue, StartNotify, StopNotify
    };
    struct Device {
        std::set<std::string> subscriptions; // characteristic UUIDs
    };

    // ---- Posting (any thread)
    void onQueue(std::function<void()> task);
    void deliver(std::function<void(PeripheralManagerDelegate&)> callback);
    uint64_t park(PendingCall call) SORVANE_EXCLUDES(m_pendingMutex);
    std::optional<PendingCall> take(uint64_t id) SORVANE_EXCLUDES(m_pendingMutex);
    static void answerError(const PendingCall& call, const char* name, const std::string& message);

    // ---- Event-loop thread
    void onOwnerSignal(sdbus::Message& message);
    void onObjectManagerSignal(sdbus::Message& message);
    void onPropertiesSignal(sdbus::Message& message);
    BluezGattApplication::Handlers applicationHandlers(uint64_t generation);

    // ---- Queue
    void ownerChanged(const std::string& owner);
    void discovered(uint64_t ownerGeneration, std::map<std::string, ObjectInfo> objects,
                    std::optional<sdbus::Error> error);
    void objectAdded(const std::string& sender, const std::string& path, const ObjectInfo& info);
    void objectRemoved(const std::string& sender, const std::string& path, bool adapter, bool device);
    void adapterPowered(const std::string& sender, const std::string& path, bool powered);
    void deviceConnected(const std::string& sender, const std::string& path, bool connected);
    void chooseAdapter();
    void updateState();
    void setState(ManagerState state);
    void forgetBluetoothd();
    bool underAdapter(const std::string& devicePath) const;
    void deviceGone(const std::string& path);
    void noteDevice(const std::string& path);

    bool accept(uint64_t generation, uint64_t callID, const BluezGattApplication::Call& call,
                const char* method);
    void onRead(uint64_t generation, uint64_t callID, const BluezGattApplication::Call& call);
    void onWrite(uint64_t generation, uint64_t callID, const BluezGattApplication::Call& call,
                 Bytes value);
    void onNotify(uint64_t generation, uint64_t callID, const BluezGattApplication::Call& call,
                  bool start);
    void applicationRegistered(uint64_t generation, std::optional<std::string> error);
    void advertisementRegistered(uint64_t generation, std::optional<std::string> error);
    void advertisementReleased(uint64_t generation, const std::string& sender);
    void dropApplication();
    void dropAdvertisement();
    void failPending(uint64_t applicationGeneration, const std::string& why)
        SORVANE_EXCLUDES(m_pendingMutex);
    void channelAccepted(UniqueFd socket, size_t fallbackSend, size_t fallbackReceive);

    sdbus::IProxy& proxyFor(const std::string& path);
    void keep(sdbus::PendingAsyncCall call);
    void callWithoutReply(const std::string& path, const char* interface, const char* method,
                          const std::string& objectPath);

    PeripheralManagerDelegate& m_delegate;
    const TaskPoster m_post;
    const BluezOptions m_options;
    // Posted tasks hold the weak side and do nothing once the manager is gone.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    const std::weak_ptr<int> m_aliveWeak = m_alive;

    // Reply handles of calls in flight, shared with the event-loop thread.
    Mutex m_pendingMutex;
    uint64_t m_nextCallID SORVANE_GUARDED_BY(m_pendingMutex) = 1;
    std::map<uint64_t, PendingCall> m_pending SORVANE_GUARDED_BY(m_pendingMutex);

    // Everything below is touched on the queue only (the D-Bus objects are also
    // used by the event-loop thread through sdbus-c++'s own locking).
    ManagerState m_state = ManagerState::unknown;
    bool m_stateReported = false;
    bool m_ownerKnown = false;
    std::string m_owner;
    uint64_t m_ownerGeneration = 0;
    bool m_discovering = false;
    std::optional<ManagerState> m_discoveryFailure;
    std::map<std::string, AdapterInfo> m_adapters;
    std::string m_adapterPath;
    std::map<std::string, Device> m_devices; // connected devices of the adapter

    std::unique_ptr<BluezGattApplication> m_application;
    uint64_t m_applicationGeneration = 0;
    bool m_applicationSent = false; // RegisterApplication went to the current bluetoothd
    bool m_applicationRegistered = false;
    std::vector<unsigned> m_notifySessions; // per characteristic

    std::unique_ptr<BluezAdvertisement> m_advertisement;
    uint64_t m_advertisementGeneration = 0;
    bool m_advertisementSent = false;
    uint64_t m_generations = 0;

    std::unique_ptr<L2capListener> m_listener;
    uint16_t m_psm = 0;

    // Released explicitly, in order, by the destructor.
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::vector<sdbus::Slot> m_matches;
    std::unique_ptr<sdbus::IProxy> m_busProxy;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> m_proxies;
    // Handles of asynchronous calls, held while they are pending so that their
    // records are released on the queue (or after the event loop has stopped),
    // never concurrently with the event-loop thread finishing them.
    std::vector<sdbus::PendingAsyncCall> m_calls;
};

BluezPeripheralManager::BluezPeripheralManager(PeripheralManagerDelegate& delegate, TaskPoster post,
                                               BluezOptions options)
    : m_delegate(delegate), m_post(std::move(post)), m_options(std::move(options)) {
    try {
        m_connection = sdbus::createSystemBusConnection();
        // Signals are filtered by sender on the queue (the owner of org.bluez can
        // change), so the rules name no sender except the bus itself.
        m_matches.push_back(m_connection->addMatch(
            "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
            "member='NameOwnerChanged',arg0='org.bluez'",
            [this](sdbus::Message& m) { onOwnerSignal(m); }));
        m_matches.push_back(m_connection->addMatch(
            "type='signal',interface='org.freedesktop.DBus.ObjectManager',path='/'",
            [this](sdbus::Message& m) { onObjectManagerSignal(m); }));
        m_matches.push_back(m_connection->addMatch(
            "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
            "path_namespace='/org/bluez'",
            [this](sdbus::Message& m) { onPropertiesSignal(m); }));
        m_busProxy = sdbus::createProxy(*m_connection, kBusService, kBusPath);
        m_connection->enterEventLoopAsync();
        keep(m_busProxy->callMethodAsync("GetNameOwner")
                 .onInterface(kBusInterface)
                 .withArguments(std::string(kService))
                 .uponReplyInvoke([this](const sdbus::Error* error, std::string owner) {
                     // NameHasNoOwner: bluetoothd is not running.
                     onQueue([this, owner = error ? std::string() : std::move(owner)] {
                         ownerChanged(owner);
                     });
                 }));
    } catch (const sdbus::Error& e) {
        logLine("Sorvane BLE: cannot reach the system bus: " + e.getMessage());
        if (m_connection)
            m_connection->leaveEventLoop();
        m_calls.clear();
        m_busProxy.reset();
        m_matches.clear();
        m_connection.reset();
        setState(ManagerState::unsupported);
    }
}

BluezPeripheralManager::~BluezPeripheralManager() {
    m_alive.reset();
    m_listener.reset();
    if (!m_connection)
        return;
    // No D-Bus callback runs after this.
    m_connection->leaveEventLoop();
    // Courtesy only: bluetoothd also drops everything when the connection closes.
    if (m_advertisement && m_advertisementSent)
        callWithoutReply(m_adapterPath, kAdvertisingManagerInterface, "UnregisterAdvertisement",
                         m_advertisement->path());
    if (m_application && m_applicationSent)
        callWithoutReply(m_adapterPath, kGattManagerInterface, "UnregisterApplication",
                         m_application->rootPath());
    std::map<uint64_t, PendingCall> pending;
    {
        MutexLock lock(m_pendingMutex);
        pending.swap(m_pending);
    }
    for (const auto& entry : pending)
        answerError(entry.second, kErrorFailed, "the peripheral is gone");
    pending.clear();
    m_advertisement.reset();
    m_application.reset();
    m_calls.clear();
    m_proxies.clear();
    m_busProxy.reset();
    m_matches.clear();
    m_connection.reset();
}

// ---- Posting

void BluezPeripheralManager::onQueue(std::function<void()> task) {
    m_post([alive = m_aliveWeak, task = std::move(task)] {
        // The manager dies on the queue too, so this check cannot race with it.
        if (!alive.expired())
            task();
    });
}

void BluezPeripheralManager::deliver(std::function<void(PeripheralManagerDelegate&)> callback) {
    // The callback may destroy this manager; it touches nothing of it.
    m_post([alive = m_aliveWeak, delegate = &m_delegate, callback = std::move(callback)] {
        if (!alive.expired())
            callback(*delegate);
    });
}

uint64_t BluezPeripheralManager::park(PendingCall call) {
    MutexLock lock(m_pendingMutex);
    const uint64_t id = m_nextCallID++;
    m_pending.emplace(id, std::move(call));
    return id;
}

std::optional<BluezPeripheralManager::PendingCall> BluezPeripheralManager::take(uint64_t id) {
    MutexLock lock(m_pendingMutex);
    const auto it = m_pending.find(id);
    if (it == m_pending.end())
        return std::nullopt;
    PendingCall call = std::move(it->second);
    m_pending.erase(it);
    return call;
}

void BluezPeripheralManager::answerError(const PendingCall& call, const char* name,
                                         const std::string& message) {
    try {
        const sdbus::Error error(name, message);
        if (call.read)
            call.read->returnError(error);
        else if (call.done)
            call.done->returnError(error);
    } catch (const sdbus::Error&) {
        // The caller or the connection is gone; nobody is waiting.
    }
}

void BluezPeripheralManager::failPending(uint64_t applicationGeneration, const std::string& why) {
    std::vector<PendingCall> failed;
    {
        MutexLock lock(m_pendingMutex);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (it->second.applicationGeneration == applicationGeneration) {
                failed.push_back(std::move(it->second));
                it = m_pending.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& call : failed)
        answerError(call, kErrorFailed, why);
}

// ---- Signals (event-loop thread)

void BluezPeripheralManager::onOwnerSignal(sdbus::Message& message) {
    try {
        std::string name, oldOwner, newOwner;
        message >> name >> oldOwner >> newOwner;
        if (name == kService)
            onQueue([this, newOwner] { ownerChanged(newOwner); });
    } catch (const sdbus::Error& e) {
        logLine("Sorvane BLE: malformed NameOwnerChanged dropped: " + e.getMessage());
    }
}

void BluezPeripheralManager::onObjectManagerSignal(sdbus::Message& message) {
    const std::string sender = message.getSender();
    const std::string member = message.getMemberName();
    try {
        sdbus::ObjectPath path;
        if (member == "InterfacesAdded") {
            InterfaceProperties interfaces;
            message >> path >> interfaces;
            const ObjectInfo info = parseInterfaces(interfaces);
            if (info.adapter || info.device)
                onQueue([this, sender, path = std::string(path), info] { objectAdded(sender, path, info); });
        } else if (member == "InterfacesRemoved") {
            std::vector<std::string> interfaces;
            message >> path >> interfaces;
            bool adapter = false, device = false;
            for (const auto& name : interfaces) {
                adapter = adapter || name == kAdapterInterface;
                device = device || name == kDeviceInterface;
            }
            if (adapter || device)
                onQueue([this, sender, path = std::string(path), adapter, device] {
                    objectRemoved(sender, path, adapter, device);
                });
        }
    } catch (const sdbus::Error& e) {
        logLine("Sorvane BLE: malformed " + member + " from " + sender + " dropped: " + e.getMessage());
    }
}

void BluezPeripheralManager::onPropertiesSignal(sdbus::Message& message) {
    const std::string sender = message.getSender();
    const std::string path = message.getPath();
    try {
        std::string interface;
        std::map<std::string, sdbus::Variant> changed;
        message >> interface >> changed;
        if (interface == kAdapterInterface) {
            if (const auto powered = valueOf<bool>(changed, "Powered"))
                onQueue([this, sender, path, on = *powered] { adapterPowered(sender, path, on); });
        } else if (interface == kDeviceInterface) {
            if (const auto connected = valueOf<bool>(changed, "Connected"))
                onQueue([this, sender, path, on = *connected] { deviceConnected(sender, path, on); });
        }
    } catch (const sdbus::Error& e) {
        logLine("Sorvane BLE: malformed PropertiesChanged from " + sender + " dropped: " +
                e.getMessage());
    }
}

// ---- bluetoothd and its adapter (queue)

void BluezPeripheralManager::ownerChanged(const std::string& owner) {
    if (m_ownerKnown && owner == m_owner)
        return;
    const bool hadOwner = !m_owner.empty();
    m_ownerKnown = true;
    m_owner = owner;
    ++m_ownerGeneration;
    forgetBluetoothd();
    if (hadOwner)
        logLine("Sorvane BLE: bluetoothd left the bus");
    // Whatever was registered went with the old owner: pass through a non-powered
    // state so that the service is added again once the new one is ready.
    if (hadOwner || owner.empty())
        setState(ManagerState::resetting);
    if (owner.empty())
        return;

    m_discovering = true;
    try {
        keep(proxyFor("/")
            .callMethodAsync("GetManagedObjects")
            .onInterface(kObjectManagerInterface)
            .uponReplyInvoke([this, generation = m_ownerGeneration](const sdbus::Error* error,
                                                                    ManagedObjects objects) {
                std::map<std::string, ObjectInfo> parsed;
                if (!error)
                    for (const auto& [path, interfaces] : objects)
                        parsed.emplace(path, parseInterfaces(interfaces));
                std::optional<sdbus::Error> failure;
                if (error)
                    failure = *error;
                onQueue([this, generation, parsed = std::move(parsed), failure] {
                    discovered(generation, parsed, failure);
                });
            }));
    } catch (const sdbus::Error& e) {
        discovered(m_ownerGeneration, {}, e);
    }
}

void BluezPeripheralManager::discovered(uint64_t ownerGeneration,
                                        std::map<std::string, ObjectInfo> objects,
                                        std::optional<sdbus::Error> error) {
    if (ownerGeneration != m_ownerGeneration)
        return;
    m_discovering = false;
    if (error) {
        logLine("Sorvane BLE: reading bluetoothd's objects failed: " + error->getName() + ": " +
                error->getMessage());
        m_discoveryFailure = error->getName() == kErrorAccessDenied ? ManagerState::unauthorized
                                                                    : ManagerState::resetting;
        updateState();
        return;
    }
    for (const auto& [path, info] : objects)
        if (info.adapter)
            m_adapters[path] = *info.adapter;
    chooseAdapter();
    for (const auto& [path, info] : objects)
        if (info.device && info.device->connected && underAdapter(path))
            m_devices.try_emplace(path);
    updateState();
}

void BluezPeripheralManager::objectAdded(const std::string& sender, const std::string& path,
                                         const ObjectInfo& info) {
    if (sender != m_owner || m_owner.empty())
        return;
    if (info.adapter) {
        m_adapters[path] = *info.adapter;
        if (m_adapterPath.empty() && !m_discovering) {
            chooseAdapter();
            updateState();
        }
    }
    if (info.device && info.device->connected && underAdapter(path))
        m_devices.try_emplace(path);
}

void BluezPeripheralManager::objectRemoved(const std::string& sender, const std::string& path,
                                           bool adapter, bool device) {
    if (sender != m_owner || m_owner.empty())
        return;
    if (device)
        deviceGone(path);
    if (!adapter)
        return;
    m_adapters.erase(path);
    if (path != m_adapterPath)
        return;
    logLine("Sorvane BLE: adapter " + path + " is gone");
    // Registrations with that adapter went with it.
    m_advertisementSent = false;
    m_applicationSent = false;
    dropAdvertisement();
    dropApplication();
    m_devices.clear();
    m_adapterPath.clear();
    setState(ManagerState::poweredOff);
    chooseAdapter();
    updateState();
}

void BluezPeripheralManager::adapterPowered(const std::string& sender, const std::string& path,
                                            bool powered) {
    if (sender != m_owner || m_owner.empty())
        return;
    const auto it = m_adapters.find(path);
    if (it == m_adapters.end())
        return;
    it->second.powered = powered;
    if (path == m_adapterPath)
        updateState();
}

void BluezPeripheralManager::deviceConnected(const std::string& sender, const std::string& path,
                                             bool connected) {
    if (sender != m_owner || m_owner.empty() || !underAdapter(path))
        return;
    if (connected)
        m_devices.try_emplace(path);
    else
        deviceGone(path);
}

void BluezPeripheralManager::chooseAdapter() {
    if (!m_adapterPath.empty() && m_adapters.count(m_adapterPath))
        return;
    m_adapterPath.clear();
    if (!m_options.adapter.empty()) {
        const std::string wanted = "/org/bluez/" + m_options.adapter;
        if (m_adapters.count(wanted))
            m_adapterPath = wanted;
    } else if (!m_adapters.empty()) {
        m_adapterPath = m_adapters.begin()->first;
    }
    if (!m_adapterPath.empty())
        logLine("Sorvane BLE: using adapter " + m_adapterPath);
}

bool BluezPeripheralManager::underAdapter(const std::string& devicePath) const {
    return !m_adapterPath.empty() && devicePath.size() > m_adapterPath.size() + 1 &&
           devicePath.compare(0, m_adapterPath.size(), m_adapterPath) == 0 &&
           devicePath[m_adapterPath.size()] == '/';
}

void BluezPeripheralManager::updateState() {
    if (!m_connection) {
        setState(ManagerState::unsupported);
    } else if (m_owner.empty()) {
        if (m_ownerKnown)
            setState(ManagerState::resetting);
    } else if (m_discovering) {
        // The answer to GetManagedObjects decides.
    } else if (m_discoveryFailure) {
        setState(*m_discoveryFailure);
    } else if (m_adapterPath.empty()) {
        setState(ManagerState::poweredOff);
    } else {
        setState(m_adapters[m_adapterPath].powered ? ManagerState::poweredOn
                                                   : ManagerState::poweredOff);
    }
}

void BluezPeripheralManager::setState(ManagerState state) {
    if (m_stateReported && state == m_state)
        return;
    m_stateReported = true;
    m_state = state;
    deliver([state](PeripheralManagerDelegate& d) { d.peripheralManagerDidUpdateState(state); });
}

void BluezPeripheralManager::forgetBluetoothd() {
    // Our objects stay exported; bluetoothd's registrations of them are gone and
    // there is nobody to unregister them with.
    m_advertisementSent = false;
    m_applicationSent = false;
    dropAdvertisement();
    dropApplication();
    m_adapters.clear();
    m_adapterPath.clear();
    m_devices.clear();
    m_discovering = false;
    m_discoveryFailure.reset();
}

void BluezPeripheralManager::deviceGone(const std::string& path) {
    const auto it = m_devices.find(path);
    if (it == m_devices.end())
        return;
    const std::set<std::string> subscriptions = std::move(it->second.subscriptions);
    m_devices.erase(it);
    if (subscriptions.empty()) {
        deliver([path](PeripheralManagerDelegate& d) { d.didUnsubscribe(path, ""); });
        return;
    }
    for (const auto& uuid : subscriptions)
        deliver([path, uuid](PeripheralManagerDelegate& d) { d.didUnsubscribe(path, uuid); });
}

void BluezPeripheralManager::noteDevice(const std::string& path) {
    // A device that talks to us is connected, whether or not its signal came first.
    if (!path.empty())
        m_devices.try_emplace(path);
}

// ---- The GATT application

BluezGattApplication::Handlers BluezPeripheralManager::applicationHandlers(uint64_t generation) {
    BluezGattApplication::Handlers handlers;
    handlers.read = [this, generation](BluezGattApplication::Call call,
                                       BluezGattApplication::ReadReply reply) {
        const uint64_t id = park({generation, std::move(reply), nullptr});
        onQueue([this, generation, id, call = std::move(call)] { onRead(generation, id, call); });
    };
    handlers.write = [this, generation](BluezGattApplication::Call call, Bytes value,
                                        BluezGattApplication::VoidReply reply) {
        const uint64_t id = park({generation, nullptr, std::move(reply)});
        onQueue([this, generation, id, call = std::move(call), value = std::move(value)]() mutable {
            onWrite(generation, id, call, std::move(value));
        });
    };
    handlers.notify = [this, generation](BluezGattApplication::Call call, bool start,
                                         BluezGattApplication::VoidReply reply) {
        const uint64_t id = park({generation, nullptr, std::move(reply)});
        onQueue([this, generation, id, call = std::move(call), start] {
            onNotify(generation, id, call, start);
        });
    };
    return handlers;
}

void BluezPeripheralManager::addService(const ServiceDefinition& service) {
    dropApplication();
    if (m_state != ManagerState::poweredOn || m_adapterPath.empty()) {
        deliver([](PeripheralManagerDelegate& d) { d.didAddService("Bluetooth is not powered on"); });
        return;
    }
    const uint64_t generation = ++m_generations;
    try {
        m_application = std::make_unique<BluezGattApplication>(
            *m_connection, kApplicationRoot + std::to_string(generation), service,
            applicationHandlers(generation));
    } catch (const sdbus::Error& e) {
        const std::string error = "exporting the GATT application failed: " + e.getMessage();
        deliver([error](PeripheralManagerDelegate& d) { d.didAddService(error); });
        return;
    }
    m_applicationGeneration = generation;
    m_applicationRegistered = false;
    m_notifySessions.assign(m_application->characteristicCount(), 0);
    try {
        keep(proxyFor(m_adapterPath)
            .callMethodAsync("RegisterApplication")
            .onInterface(kGattManagerInterface)
            .withArguments(sdbus::ObjectPath(m_application->rootPath()), Options{})
            .uponReplyInvoke([this, generation](const sdbus::Error* error) {
                std::optional<std::string> failure;
                if (error)
                    failure = error->getName() + ": " + error->getMessage();
                onQueue([this, generation, failure] { applicationRegistered(generation, failure); });
            }));
        m_applicationSent = true;
    } catch (const sdbus::Error& e) {
        m_application.reset();
        const std::string error = "RegisterApplication failed: " + e.getMessage();
        deliver([error](PeripheralManagerDelegate& d) { d.didAddService(error); });
    }
}

void BluezPeripheralManager::applicationRegistered(uint64_t generation,
                                                   std::optional<std::string> error) {
    if (!m_application || generation != m_applicationGeneration)
        return; // replaced or removed meanwhile
    if (error) {
        m_applicationSent = false;
        failPending(generation, "the service was not registered");
        m_application.reset();
    } else {
        m_applicationRegistered = true;
    }
    deliver([error](PeripheralManagerDelegate& d) { d.didAddService(error); });
}

void BluezPeripheralManager::removeAllServices() { dropApplication(); }

void BluezPeripheralManager::dropApplication() {
    if (!m_application)
        return;
    if (m_applicationSent)
        callWithoutReply(m_adapterPath, kGattManagerInterface, "UnregisterApplication",
                         m_application->rootPath());
    failPending(m_applicationGeneration, "the service was removed");
    m_application.reset();
    m_applicationSent = false;
    m_applicationRegistered = false;
    m_notifySessions.clear();
    for (auto& [path, device] : m_devices)
        device.subscriptions.clear();
}

bool BluezPeripheralManager::accept(uint64_t generation, uint64_t callID,
                                    const BluezGattApplication::Call& call, const char* method) {
    if (call.sender != m_owner || m_owner.empty()) {
        logLine(std::string("Sorvane BLE: refused ") + method + " from " + call.sender +
                " (not bluetoothd)");
        if (const auto pending = take(callID))
            answerError(*pending, kErrorAccessDenied, "only bluetoothd may call this");
        return false;
    }
    if (!m_application || generation != m_applicationGeneration) {
        if (const auto pending = take(callID))
            answerError(*pending, kErrorFailed, "the service was removed");
        return false;
    }
    if (call.malformed) {
        logLine(std::string("Sorvane BLE: ") + method + " dropped: " + *call.malformed);
        if (const auto pending = take(callID))
            answerError(*pending, kErrorInvalidArguments, *call.malformed);
        return false;
    }
    return true;
}

void BluezPeripheralManager::onRead(uint64_t generation, uint64_t callID,
                                    const BluezGattApplication::Call& call) {
    if (!accept(generation, callID, call, "ReadValue"))
        return;
    noteDevice(call.device);
    ReadRequest request{callID, call.device,
                        m_application->characteristic(call.characteristic).uuid, call.offset};
    deliver([request](PeripheralManagerDelegate& d) { d.didReceiveRead(request); });
}

void BluezPeripheralManager::onWrite(uint64_t generation, uint64_t callID,
                                     const BluezGattApplication::Call& call, Bytes value) {
    if (!accept(generation, callID, call, "WriteValue"))
        return;
    noteDevice(call.device);
    // bluetoothd sends each ATT write (and each piece of a long write, with its
    // offset) as its own WriteValue: a batch of one.
    std::vector<WriteRequest> batch{WriteRequest{
        callID, call.device, m_application->characteristic(call.characteristic).uuid,
        std::move(value), call.offset}};
    deliver([batch](PeripheralManagerDelegate& d) { d.didReceiveWrite(batch); });
}

void BluezPeripheralManager::onNotify(uint64_t generation, uint64_t callID,
                                      const BluezGattApplication::Call& call, bool start) {
    if (!accept(generation, callID, call, start ? "StartNotify" : "StopNotify"))
        return;
    const std::string uuid = m_application->characteristic(call.characteristic).uuid;
    unsigned& sessions = m_notifySessions.at(call.characteristic);
    if (start) {
        ++sessions;
        if (m_devices.empty())
            logLine("Sorvane BLE: notifications on " + uuid + " started with no device connected");
        for (auto& [path, device] : m_devices)
            if (device.subscriptions.insert(uuid).second)
                deliver([path = path, uuid](PeripheralManagerDelegate& d) { d.didSubscribe(path, uuid); });
    } else {
        if (sessions > 0)
            --sessions;
        if (sessions == 0)
            for (auto& [path, device] : m_devices)
                if (device.subscriptions.erase(uuid) > 0)
                    deliver([path = path, uuid](PeripheralManagerDelegate& d) {
                        d.didUnsubscribe(path, uuid);
                    });
    }
    if (const auto pending = take(callID)) {
        try {
            pending->done->returnResults();
        } catch (const sdbus::Error&) {
        }
    }
}

bool BluezPeripheralManager::updateValue(ByteView value, const std::string& charUUID) {
    if (!m_application || !m_applicationRegistered || m_devices.empty())
        return false;
    const auto index = m_application->indexOf(charUUID);
    if (!index || m_notifySessions.at(*index) == 0)
        return false;
    return m_application->notify(*index, value);
}

void BluezPeripheralManager::respond(uint64_t requestID, AttResult result, ByteView value) {
    const auto pending = take(requestID);
    if (!pending)
        return;
    try {
        if (result != AttResult::success) {
            answerError(*pending, errorNameFor(result),
                        "ATT error " + hexByte(static_cast<uint8_t>(result)));
        } else if (pending->read) {
            pending->read->returnResults(std::vector<uint8_t>(value.begin(), value.end()));
        } else if (pending->done) {
            pending->done->returnResults();
        }
    } catch (const sdbus::Error&) {
        // bluetoothd gave up on the request; nothing to answer.
    }
}

// ---- Advertising

void BluezPeripheralManager::startAdvertising(const AdvertisementData& data) {
    dropAdvertisement();
    if (m_state != ManagerState::poweredOn || m_adapterPath.empty()) {
        logLine("Sorvane BLE: advertising skipped: Bluetooth is not powered on");
        return;
    }
    const uint64_t generation = ++m_generations;
    try {
        m_advertisement = std::make_unique<BluezAdvertisement>(
            *m_connection, kAdvertisementRoot + std::to_string(generation), data,
            [this, generation](const std::string& sender) {
                onQueue([this, generation, sender] { advertisementReleased(generation, sender); });
            });
        m_advertisementGeneration = generation;
        keep(proxyFor(m_adapterPath)
            .callMethodAsync("RegisterAdvertisement")
            .onInterface(kAdvertisingManagerInterface)
            .withArguments(sdbus::ObjectPath(m_advertisement->path()), Options{})
            .uponReplyInvoke([this, generation](const sdbus::Error* error) {
                std::optional<std::string> failure;
                if (error)
                    failure = error->getName() + ": " + error->getMessage();
                onQueue([this, generation, failure] { advertisementRegistered(generation, failure); });
            }));
        m_advertisementSent = true;
    } catch (const sdbus::Error& e) {
        logLine("Sorvane BLE: advertising failed: " + e.getMessage());
        m_advertisement.reset();
        m_advertisementSent = false;
    }
}

void BluezPeripheralManager::advertisementRegistered(uint64_t generation,
                                                     std::optional<std::string> error) {
    if (!m_advertisement || generation != m_advertisementGeneration || !error)
        return;
    logLine("Sorvane BLE: advertising failed: " + *error);
    m_advertisement.reset();
    m_advertisementSent = false;
}

void BluezPeripheralManager::advertisementReleased(uint64_t generation, const std::string& sender) {
    if (sender != m_owner || m_owner.empty() || !m_advertisement ||
        generation != m_advertisementGeneration)
        return;
    logLine("Sorvane BLE: bluetoothd released the advertisement");
    m_advertisement.reset();
    m_advertisementSent = false;
}

void BluezPeripheralManager::stopAdvertising() { dropAdvertisement(); }

void BluezPeripheralManager::dropAdvertisement() {
    if (!m_advertisement)
        return;
    if (m_advertisementSent)
        callWithoutReply(m_adapterPath, kAdvertisingManagerInterface, "UnregisterAdvertisement",
                         m_advertisement->path());
    m_advertisement.reset();
    m_advertisementSent = false;
}

// ---- L2CAP

void BluezPeripheralManager::publishL2CAPChannel(bool withEncryption) {
    if (m_listener) {
        // Still listening from an earlier publication: same channel, same PSM.
        deliver([psm = m_psm](PeripheralManagerDelegate& d) { d.didPublishL2CAPChannel(psm, std::nullopt); });
        return;
    }
    L2capServerResult opened;
    try {
        opened = m_options.openL2capServer ? m_options.openL2capServer(withEncryption)
                                           : openKernelL2capServer(withEncryption);
    } catch (const std::exception& e) {
        opened.error = e.what();
    }
    if (opened.error.empty() && !opened.server.socket.valid())
        opened.error = "no listening socket";
    if (!opened.error.empty()) {
        deliver([error = opened.error](PeripheralManagerDelegate& d) {
            d.didPublishL2CAPChannel(0, error);
        });
        return;
    }
    const uint16_t psm = opened.server.psm;
    try {
        m_listener = std::make_unique<L2capListener>(
            std::move(opened.server.socket),
            [this, send = opened.server.fallbackSendMTU,
             receive = opened.server.fallbackReceiveMTU](UniqueFd socket) {
                channelAccepted(std::move(socket), send, receive);
            });
    } catch (const std::exception& e) {
        deliver([error = std::string(e.what())](PeripheralManagerDelegate& d) {
            d.didPublishL2CAPChannel(0, error);
        });
        return;
    }
    m_psm = psm;
    deliver([psm](PeripheralManagerDelegate& d) { d.didPublishL2CAPChannel(psm, std::nullopt); });
}

void BluezPeripheralManager::channelAccepted(UniqueFd socket, size_t fallbackSend,
                                             size_t fallbackReceive) {
    // On the listener's thread.
    const auto mtus = readL2capChannelMTUs(socket.get());
    auto channel = std::make_shared<ByteChannel>(std::move(socket), mtus ? mtus->send : fallbackSend,
                                                 mtus ? mtus->receive : fallbackReceive);
    deliver([channel](PeripheralManagerDelegate& d) { d.didOpenL2CAPChannel(channel, std::nullopt); });
}

// ---- D-Bus helpers

sdbus::IProxy& BluezPeripheralManager::proxyFor(const std::string& path) {
    // Kept until the manager dies: destroying a proxy would cancel its calls.
    auto& proxy = m_proxies[path];
    if (!proxy)
        proxy = sdbus::createProxy(*m_connection, kService, path);
    return *proxy;
}

void BluezPeripheralManager::keep(sdbus::PendingAsyncCall call) {
    // A handful per bluetoothd (re)start; finished ones are dropped here.
    m_calls.erase(std::remove_if(m_calls.begin(), m_calls.end(),
                                 [](const sdbus::PendingAsyncCall& c) { return !c.isPending(); }),
                  m_calls.end());
    m_calls.push_back(std::move(call));
}

void BluezPeripheralManager::callWithoutReply(const std::string& path, const char* interface,
                                              const char* method, const std::string& objectPath) {
    if (path.empty() || m_owner.empty())
        return;
    try {
        proxyFor(path).callMethod(method).onInterface(interface).withArguments(
            sdbus::ObjectPath(objectPath)).dontExpectReply();
    } catch (const sdbus::Error& e) {
        logLine(std::string("Sorvane BLE: ") + method + " failed: " + e.getMessage());
    }
}

} // namespace

PeripheralManagerFactory bluezPeripheralManagerFactory(BluezOptions options) {
    return [options = std::move(options)](PeripheralManagerDelegate& delegate,
                                          TaskPoster post) -> std::unique_ptr<PeripheralManager> {
        return std::make_unique<BluezPeripheralManager>(delegate, std::move(post), options);
    };
}

} // namespace sorvane

#include "adapters/linux/bluez/BluezObjectTracker.h"

#include "base/Log.h"
#include "adapters/linux/bluez/BluezNames.h"

#include <vector>

namespace sorvane {

using namespace bluez;

namespace {

// Parsed on the event-loop thread so that no D-Bus value outlives the connection.
BluezObjectTracker::ObjectInfo parseInterfaces(const InterfaceProperties& interfaces) {
    BluezObjectTracker::ObjectInfo info;
    if (const auto it = interfaces.find(kAdapterInterface); it != interfaces.end())
        info.adapter = BluezObjectTracker::AdapterInfo{valueOf<bool>(it->second, "Powered").value_or(false)};
    if (const auto it = interfaces.find(kDeviceInterface); it != interfaces.end())
        info.device = BluezObjectTracker::DeviceInfo{valueOf<bool>(it->second, "Connected").value_or(false)};
    return info;
}

} // namespace

BluezObjectTracker::BluezObjectTracker(BluezConnection& connection, const BluezQueue& queue,
                                       std::string adapter, Listener& listener)
    : m_connection(connection), m_queue(queue), m_adapterName(std::move(adapter)), m_listener(listener) {}

void BluezObjectTracker::watch() {
    // Signals are filtered by sender on the queue (the owner of org.bluez can
    // change), so the rules name no sender except the bus itself.
    m_connection.addMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0='org.bluez'",
        [this](sdbus::Message& m) { onOwnerSignal(m); });
    m_connection.addMatch("type='signal',interface='org.freedesktop.DBus.ObjectManager',path='/'",
                          [this](sdbus::Message& m) { onObjectManagerSignal(m); });
    m_connection.addMatch(
        "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
        "path_namespace='/org/bluez'",
        [this](sdbus::Message& m) { onPropertiesSignal(m); });
    m_connection.busProxy();
}

void BluezObjectTracker::start() {
    m_connection.keep(m_connection.busProxy()
                          .callMethodAsync("GetNameOwner")
                          .onInterface(kBusInterface)
                          .withArguments(std::string(kService))
                          .uponReplyInvoke([this](const sdbus::Error* error, std::string owner) {
                              // NameHasNoOwner: bluetoothd is not running.
                              m_queue.post([this, owner = error ? std::string() : std::move(owner)] {
                                  ownerChanged(owner);
                              });
                          }));
}

// ---- Signals (event-loop thread)

void BluezObjectTracker::onOwnerSignal(sdbus::Message& message) {
    try {
        std::string name, oldOwner, newOwner;
        message >> name >> oldOwner >> newOwner;
        if (name == kService)
            m_queue.post([this, newOwner] { ownerChanged(newOwner); });
    } catch (const sdbus::Error& e) {
        logLine("Sorvane BLE: malformed NameOwnerChanged dropped: " + e.getMessage());
    }
}

void BluezObjectTracker::onObjectManagerSignal(sdbus::Message& message) {
    const std::string sender = message.getSender();
    const std::string member = message.getMemberName();
    try {
        sdbus::ObjectPath path;
        if (member == "InterfacesAdded") {
            InterfaceProperties interfaces;
            message >> path >> interfaces;
            const ObjectInfo info = parseInterfaces(interfaces);
            if (info.adapter || info.device)
                m_queue.post([this, sender, path = std::string(path), info] { objectAdded(sender, path, info); });
        } else if (member == "InterfacesRemoved") {
            std::vector<std::string> interfaces;
            message >> path >> interfaces;
            bool adapter = false, device = false;
            for (const auto& name : interfaces) {
                adapter = adapter || name == kAdapterInterface;
                device = device || name == kDeviceInterface;
            }
            if (adapter || device)
                m_queue.post([this, sender, path = std::string(path), adapter, device] {
                    objectRemoved(sender, path, adapter, device);
                });
        }
    } catch (const sdbus::Error& e) {
        logLine("Sorvane BLE: malformed " + member + " from " + sender + " dropped: " + e.getMessage());
    }
}

void BluezObjectTracker::onPropertiesSignal(sdbus::Message& message) {
    const std::string sender = message.getSender();
    const std::string path = message.getPath();
    try {
        std::string interface;
        std::map<std::string, sdbus::Variant> changed;
        message >> interface >> changed;
        if (interface == kAdapterInterface) {
            if (const auto powered = valueOf<bool>(changed, "Powered"))
                m_queue.post([this, sender, path, on = *powered] { adapterPowered(sender, path, on); });
        } else if (interface == kDeviceInterface) {
            if (const auto connected = valueOf<bool>(changed, "Connected"))
                m_queue.post([this, sender, path, on = *connected] { deviceConnected(sender, path, on); });
        }
    } catch (const sdbus::Error& e) {
        logLine("Sorvane BLE: malformed PropertiesChanged from " + sender + " dropped: " +
                e.getMessage());
    }
}

// ---- bluetoothd and its adapter (queue)

void BluezObjectTracker::ownerChanged(const std::string& owner) {
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
        m_listener.stateChanged(ManagerState::resetting);
    if (owner.empty())
        return;

    m_discovering = true;
    try {
        m_connection.keep(m_connection.proxyFor("/")
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
                m_queue.post([this, generation, parsed = std::move(parsed), failure] {
                    discovered(generation, parsed, failure);
                });
            }));
    } catch (const sdbus::Error& e) {
        discovered(m_ownerGeneration, {}, e);
    }
}

void BluezObjectTracker::discovered(uint64_t ownerGeneration,
                                    const std::map<std::string, ObjectInfo>& objects,
                                    const std::optional<sdbus::Error>& error) {
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
            m_devices.insert(path);
    updateState();
}

void BluezObjectTracker::objectAdded(const std::string& sender, const std::string& path,
                                     const ObjectInfo& info) {
    if (!isBluetoothd(sender))
        return;
    if (info.adapter) {
        m_adapters[path] = *info.adapter;
        if (m_adapterPath.empty() && !m_discovering) {
            chooseAdapter();
            updateState();
        }
    }
    if (info.device && info.device->connected && underAdapter(path))
        m_devices.insert(path);
}

void BluezObjectTracker::objectRemoved(const std::string& sender, const std::string& path,
                                       bool adapter, bool device) {
    if (!isBluetoothd(sender))
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
    m_listener.registrationsLost();
    m_devices.clear();
    m_adapterPath.clear();
    m_listener.stateChanged(ManagerState::poweredOff);
    chooseAdapter();
    updateState();
}

void BluezObjectTracker::adapterPowered(const std::string& sender, const std::string& path,
                                        bool powered) {
    if (!isBluetoothd(sender))
        return;
    const auto it = m_adapters.find(path);
    if (it == m_adapters.end())
        return;
    it->second.powered = powered;
    if (path == m_adapterPath)
        updateState();
}

void BluezObjectTracker::deviceConnected(const std::string& sender, const std::string& path,
                                         bool connected) {
    if (!isBluetoothd(sender) || !underAdapter(path))
        return;
    if (connected)
        m_devices.insert(path);
    else
        deviceGone(path);
}

void BluezObjectTracker::chooseAdapter() {
    if (!m_adapterPath.empty() && m_adapters.count(m_adapterPath))
        return;
    m_adapterPath.clear();
    if (!m_adapterName.empty()) {
        const std::string wanted = "/org/bluez/" + m_adapterName;
        if (m_adapters.count(wanted))
            m_adapterPath = wanted;
    } else if (!m_adapters.empty()) {
        m_adapterPath = m_adapters.begin()->first;
    }
    if (!m_adapterPath.empty())
        logLine("Sorvane BLE: using adapter " + m_adapterPath);
}

bool BluezObjectTracker::underAdapter(const std::string& devicePath) const {
    return !m_adapterPath.empty() && devicePath.size() > m_adapterPath.size() + 1 &&
           devicePath.compare(0, m_adapterPath.size(), m_adapterPath) == 0 &&
           devicePath[m_adapterPath.size()] == '/';
}

void BluezObjectTracker::updateState() {
    if (m_owner.empty()) {
        if (m_ownerKnown)
            m_listener.stateChanged(ManagerState::resetting);
    } else if (m_discovering) {
        // The answer to GetManagedObjects decides.
    } else if (m_discoveryFailure) {
        m_listener.stateChanged(*m_discoveryFailure);
    } else if (m_adapterPath.empty()) {
        m_listener.stateChanged(ManagerState::poweredOff);
    } else {
        m_listener.stateChanged(m_adapters[m_adapterPath].powered ? ManagerState::poweredOn
                                                                  : ManagerState::poweredOff);
    }
}

void BluezObjectTracker::forgetBluetoothd() {
    // Our objects stay exported; bluetoothd's registrations of them are gone and
    // there is nobody to unregister them with.
    m_listener.registrationsLost();
    m_adapters.clear();
    m_adapterPath.clear();
    m_devices.clear();
    m_discovering = false;
    m_discoveryFailure.reset();
}

void BluezObjectTracker::deviceGone(const std::string& path) {
    if (m_devices.erase(path) > 0)
        m_listener.deviceGone(path);
}

void BluezObjectTracker::noteDevice(const std::string& path) {
    if (!path.empty())
        m_devices.insert(path);
}

} // namespace sorvane

// BluezObjectTracker: what the backend knows of bluetoothd. It follows the owner
// of org.bluez (GetNameOwner, then NameOwnerChanged), reads bluetoothd's objects
// with GetManagedObjects whenever a new owner appears, and then follows
// InterfacesAdded / InterfacesRemoved and the PropertiesChanged of Adapter1.Powered
// and Device1.Connected. From that it keeps the adapter in use (the one named in
// the options, else the first one listed), the connected devices under it, and
// the manager's state (see BluezPeripheralManager.h), which it reports to its
// listener. Signals from anyone but the current owner of org.bluez are ignored.
//
// Thread safety: the signal handlers run on the connection's event-loop thread;
// they only parse and post to the peripheral's queue, where all of the tracker's
// state lives and every other method is called. The listener is called on the
// queue, synchronously.
#pragma once

#include "ports/PeripheralBackend.h"
#include "adapters/linux/bluez/BluezConnection.h"
#include "adapters/linux/bluez/BluezQueue.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace sorvane {

class BluezObjectTracker {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        // Whatever was registered with bluetoothd is gone (its owner changed, or
        // the adapter in use disappeared); called before the tracker forgets the
        // adapter and its devices.
        virtual void registrationsLost() = 0;
        // A connected device disconnected or disappeared.
        virtual void deviceGone(const std::string& path) = 0;
        // The state to report; it may repeat the last one.
        virtual void stateChanged(ManagerState state) = 0;
    };

    // What bluetoothd told us about an object, reduced to what the tracker uses.
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

    // `adapter` names the adapter to use ("hci1"); empty takes the first one.
    BluezObjectTracker(BluezConnection& connection, const BluezQueue& queue, std::string adapter,
                       Listener& listener);
    BluezObjectTracker(const BluezObjectTracker&) = delete;
    BluezObjectTracker& operator=(const BluezObjectTracker&) = delete;

    // Adds the signal matches; call before the event loop starts. Throws sdbus::Error.
    void watch();
    // Asks who owns org.bluez; call once the event loop runs. Throws sdbus::Error.
    void start();

    // True for calls and signals from the current owner of org.bluez.
    bool isBluetoothd(const std::string& sender) const { return !m_owner.empty() && sender == m_owner; }
    // The adapter in use; empty when there is none.
    const std::string& adapterPath() const { return m_adapterPath; }
    // The connected devices of that adapter, by object path.
    const std::set<std::string>& devices() const { return m_devices; }
    // A device that talks to us is connected, whether or not its signal came first.
    void noteDevice(const std::string& path);

private:
    // Event-loop thread.
    void onOwnerSignal(sdbus::Message& message);
    void onObjectManagerSignal(sdbus::Message& message);
    void onPropertiesSignal(sdbus::Message& message);

    // Queue.
    void ownerChanged(const std::string& owner);
    void discovered(uint64_t ownerGeneration, const std::map<std::string, ObjectInfo>& objects,
                    const std::optional<sdbus::Error>& error);
    void objectAdded(const std::string& sender, const std::string& path, const ObjectInfo& info);
    void objectRemoved(const std::string& sender, const std::string& path, bool adapter, bool device);
    void adapterPowered(const std::string& sender, const std::string& path, bool powered);
    void deviceConnected(const std::string& sender, const std::string& path, bool connected);
    void chooseAdapter();
    void updateState();
    void forgetBluetoothd();
    bool underAdapter(const std::string& devicePath) const;
    void deviceGone(const std::string& path);

    BluezConnection& m_connection;
    const BluezQueue& m_queue;
    const std::string m_adapterName;
    Listener& m_listener;

    bool m_ownerKnown = false;
    std::string m_owner;
    uint64_t m_ownerGeneration = 0;
    bool m_discovering = false;
    std::optional<ManagerState> m_discoveryFailure;
    std::map<std::string, AdapterInfo> m_adapters;
    std::string m_adapterPath;
    std::set<std::string> m_devices;
};

} // namespace sorvane

// FakeBluez: a stand-in for bluetoothd on a private D-Bus bus, for tests and demos.
//
// It owns org.bluez and exports what a BlueZ 5.66 client sees: an ObjectManager at
// "/", the adapter /org/bluez/hci0 with org.bluez.Adapter1 (Powered switchable,
// also through Properties.Set), org.bluez.GattManager1 and
// org.bluez.LEAdvertisingManager1, and a Device1 object per connected phone. A
// registered application is read with GetManagedObjects on its root and an
// advertisement with Properties.GetAll, as bluetoothd does; both are dropped when
// their owner leaves the bus. Devices (FakeDeviceLink) then play the radio side:
// their reads, writes and subscriptions become the ReadValue / WriteValue /
// StartNotify / StopNotify calls bluetoothd makes, with the options it sends
// ("device", "mtu", "link", "offset" only when non-zero), and the application's
// PropertiesChanged signals on Value come back as notifications.
//
// Like bluetoothd: StartNotify goes out when the first device enables
// notifications of a characteristic and StopNotify when the last one leaves
// (including by disconnecting); read answers are cut to ATT MTU - 1 bytes and
// notifications to ATT MTU - 3. Unlike bluetoothd, reads and writes reach the
// application whatever the characteristic's Flags say, so that the application's
// own answers can be tested; subscribing needs "notify" (there is no CCC without it).
//
// Thread safety: every public method may be called from any thread except the
// fake's own D-Bus threads (its event-loop threads). The fake must outlive its
// device links.
#pragma once

#include "ports/ByteChannel.h"
#include "base/ThreadSafety.h"
#include "base/Bytes.h"
#include "testing/phone/CentralLink.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sdbus {
class Message;
}

namespace sorvane {
class SerialQueue;
}

namespace sorvane::fakebluez {

class FakeDeviceLink;

class FakeBluez {
public:
    struct Options {
        // The bus to own org.bluez on (a private dbus-daemon's address).
        std::string busAddress;
        std::string adapterAddress = "00:1A:7D:DA:71:13";
        bool powered = true;
        // Opens the desktop's L2CAP channel for a device; without it (no radio)
        // no channel can be opened.
        std::function<std::shared_ptr<ByteChannel>(uint16_t psm)> openL2CAP;
    };

    struct Characteristic {
        std::string path;
        std::string uuid;
        std::string servicePath;
        std::vector<std::string> flags;
    };
    struct Application {
        std::string owner; // unique bus name
        std::string path;
        std::string serviceUUID;
        bool primary = false;
        std::vector<Characteristic> characteristics; // in object path order
    };
    struct Advertisement {
        std::string owner;
        std::string path;
        std::string type;
        std::vector<std::string> serviceUUIDs;
        std::string localName;
    };

    static constexpr const char* kAdapterPath = "/org/bluez/hci0";
    // How long a device waits for the application to answer.
    static constexpr std::chrono::seconds kCallTimeout{10};

    // Connects, exports the objects and owns org.bluez. Throws sdbus::Error when
    // the bus cannot be reached or the name is taken.
    explicit FakeBluez(Options options);
    ~FakeBluez();
    FakeBluez(const FakeBluez&) = delete;
    FakeBluez& operator=(const FakeBluez&) = delete;

    // ---- bluetoothd's controls
    void setPowered(bool on);
    bool powered() const;
    // The adapter disappears (InterfacesRemoved, as when a dongle is pulled) or
    // comes back. Removing it disconnects every device and drops registrations.
    void removeAdapter();
    void addAdapter();
    // bluetoothd restarting: org.bluez is released, everything registered and
    // every device is forgotten, and the name is owned again from a new connection.
    void restart();

    // ---- What clients registered
    std::optional<Application> application() const; // the latest one registered
    std::optional<Advertisement> advertisement() const;
    // Accepted registrations since the fake started.
    size_t applicationRegistrations() const;
    size_t advertisementRegistrations() const;
    // Wait until `count` registrations were accepted and one is registered now.
    bool waitForApplications(size_t count, std::chrono::milliseconds timeout) const;
    bool waitForAdvertisements(size_t count, std::chrono::milliseconds timeout) const;
    // Waits until `condition` holds; it is checked now and after every change of
    // the fake's state (registrations, power, devices), without the fake's lock.
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

    // ---- The radio
    // A phone connects: a Device1 object appears with Connected true. `attMTU` is
    // the ATT MTU of its link.
    std::unique_ptr<FakeDeviceLink> connectDevice(uint16_t attMTU = 517);

private:
    friend class FakeDeviceLink;
    struct Bus;
    struct DeviceState;
    struct HandlerSlot;

    std::shared_ptr<Bus> makeBus();
    void exportAdapter(Bus& bus);
    void exportDevice(Bus& bus, const std::string& path);
    void emitPowered();
    void changed() SORVANE_EXCLUDES(m_mutex);

    // Event-loop thread.
    void onRegisterApplication(Bus& bus, const std::string& sender, const std::string& path,
                               std::function<void(std::optional<std::string> error)> reply);
    void onRegisterAdvertisement(Bus& bus, const std::string& sender, const std::string& path,
                                 std::function<void(std::optional<std::string> error)> reply);
    void onNameOwnerChanged(const std::string& name, const std::string& newOwner);
    void onPropertiesChanged(sdbus::Message& message);

    // For device links (any thread but the event loop's).
    struct Target {
        std::shared_ptr<Bus> bus;
        std::string owner; // the application's unique bus name
        std::string path;  // the characteristic
        std::string uuid;
        std::string device;
        uint16_t mtu = 23;
        std::vector<std::string> flags;
    };
    std::optional<Target> target(uint64_t deviceID, std::string_view uuid) const;
    std::optional<phone::ReadResult> deviceRead(uint64_t deviceID, std::string_view uuid, size_t offset,
                                                bool malformedOffset);
    std::optional<AttResult> deviceWrite(uint64_t deviceID, std::string_view uuid, ByteView value,
                                         size_t offset);
    bool deviceSubscribe(uint64_t deviceID, std::string_view uuid, bool on);
    void deviceSetHandler(uint64_t deviceID, phone::CentralLink::NotificationHandler handler);
    void deviceDisconnect(uint64_t deviceID);
    std::shared_ptr<ByteChannel> deviceOpenL2CAP(uint64_t deviceID, uint16_t psm);
    void callNotify(const Target& target, bool start);

    const Options m_options;
    // Runs Powered changes made through Properties.Set off the event-loop thread.
    std::unique_ptr<SerialQueue> m_worker;

    mutable Mutex m_mutex; // a leaf: never held while calling into sdbus-c++
    mutable std::condition_variable m_changed;
    uint64_t m_changes SORVANE_GUARDED_BY(m_mutex) = 0; // bumped with every notification
    std::shared_ptr<Bus> m_bus SORVANE_GUARDED_BY(m_mutex);
    uint64_t m_busGeneration SORVANE_GUARDED_BY(m_mutex) = 0;
    bool m_powered SORVANE_GUARDED_BY(m_mutex) = true;
    bool m_adapterPresent SORVANE_GUARDED_BY(m_mutex) = true;
    std::vector<Application> m_applications SORVANE_GUARDED_BY(m_mutex);
    std::vector<Advertisement> m_advertisements SORVANE_GUARDED_BY(m_mutex);
    size_t m_applicationRegistrations SORVANE_GUARDED_BY(m_mutex) = 0;
    size_t m_advertisementRegistrations SORVANE_GUARDED_BY(m_mutex) = 0;
    std::map<uint64_t, std::shared_ptr<DeviceState>> m_devices SORVANE_GUARDED_BY(m_mutex);
    uint64_t m_nextDevice SORVANE_GUARDED_BY(m_mutex) = 1;
    // Devices with notifications enabled, per characteristic path.
    std::map<std::string, std::set<uint64_t>> m_subscribers SORVANE_GUARDED_BY(m_mutex);
};

} // namespace sorvane::fakebluez

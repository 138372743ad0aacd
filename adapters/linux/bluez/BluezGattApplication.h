// BluezGattApplication: one GATT service exported on D-Bus the way BlueZ's
// GattManager1.RegisterApplication expects it: an org.freedesktop.DBus.ObjectManager
// at the root path, the service at <root>/service0 (org.bluez.GattService1) and
// its characteristics at <root>/service0/charN (org.bluez.GattCharacteristic1), in
// the order of the definition. A characteristic's Flags come from its properties:
// "read", "write", "notify" ("write-without-response" is never offered).
//
// Method calls on the characteristics (ReadValue, WriteValue, StartNotify,
// StopNotify) are parsed on the connection's event-loop thread and handed to the
// handlers with a reply handle; the handlers must not block and the replies may be
// sent later from any thread. Notifications are PropertiesChanged signals of the
// characteristic's Value.
//
// Thread safety: construct and destroy on one thread; the connection's event loop
// may be running meanwhile. After destruction no handler is called for calls that
// arrive later (bluetoothd gets UnknownObject), but a handler running on the
// event-loop thread may still be finishing: stop the event loop first where that
// matters. notify() may be called from any thread.
#pragma once

#include "ports/PeripheralBackend.h"
#include "base/Bytes.h"

#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sorvane {

class BluezGattApplication {
public:
    // One method call on a characteristic.
    struct Call {
        size_t characteristic = 0; // index in the service definition
        std::string sender;        // the caller's unique bus name
        std::string device;        // the "device" option; empty when absent
        size_t offset = 0;         // the "offset" option
        // Set when the options could not be understood; says what was wrong.
        std::optional<std::string> malformed;
    };
    using ReadReply = std::shared_ptr<sdbus::Result<std::vector<uint8_t>>>;
    using VoidReply = std::shared_ptr<sdbus::Result<>>;

    struct Handlers {
        std::function<void(Call, ReadReply)> read;
        std::function<void(Call, Bytes value, VoidReply)> write;
        // `start`: StartNotify, otherwise StopNotify.
        std::function<void(Call, bool start, VoidReply)> notify;
    };

    // Exports the objects. Throws sdbus::Error when the connection refuses them.
    BluezGattApplication(sdbus::IConnection& connection, std::string rootPath,
                         const ServiceDefinition& service, Handlers handlers);
    ~BluezGattApplication();
    BluezGattApplication(const BluezGattApplication&) = delete;
    BluezGattApplication& operator=(const BluezGattApplication&) = delete;

    const std::string& rootPath() const { return m_rootPath; }
    size_t characteristicCount() const { return m_characteristics.size(); }
    const CharacteristicDefinition& characteristic(size_t index) const {
        return m_characteristics.at(index).definition;
    }
    // Index of the characteristic with this UUID (any case); absent if none.
    std::optional<size_t> indexOf(std::string_view uuid) const;

    // Emits PropertiesChanged(GattCharacteristic1, {Value: value}, []) on the
    // characteristic; bluetoothd turns it into notifications. False if the signal
    // could not be sent.
    bool notify(size_t index, ByteView value);

    // The Flags a characteristic with these properties is exported with.
    static std::vector<std::string> flagsFor(uint8_t properties);

private:
    struct Characteristic {
        CharacteristicDefinition definition;
        std::unique_ptr<sdbus::IObject> object;
    };

    void exportCharacteristic(sdbus::IConnection& connection, size_t index,
                              const std::string& servicePath);

    const std::string m_rootPath;
    Handlers m_handlers;
    std::unique_ptr<sdbus::IObject> m_service;
    std::vector<Characteristic> m_characteristics;
    std::unique_ptr<sdbus::IObject> m_root; // the ObjectManager
};

} // namespace sorvane

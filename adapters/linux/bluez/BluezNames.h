// Names of BlueZ's D-Bus API (BlueZ 5) and small helpers for its option
// dictionaries, shared by the BlueZ backend and the fake bluetoothd of the tests.
//
// Header-only; everything here is a constant or a pure function.
#pragma once

#include "ports/PeripheralBackend.h"

#include <sdbus-c++/Types.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace sorvane::bluez {

inline constexpr const char* kService = "org.bluez";
inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceInterface = "org.bluez.Device1";
inline constexpr const char* kGattManagerInterface = "org.bluez.GattManager1";
inline constexpr const char* kGattServiceInterface = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristicInterface = "org.bluez.GattCharacteristic1";
inline constexpr const char* kAdvertisingManagerInterface = "org.bluez.LEAdvertisingManager1";
inline constexpr const char* kAdvertisementInterface = "org.bluez.LEAdvertisement1";

inline constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
inline constexpr const char* kBusService = "org.freedesktop.DBus";
inline constexpr const char* kBusPath = "/org/freedesktop/DBus";
inline constexpr const char* kBusInterface = "org.freedesktop.DBus";

inline constexpr const char* kErrorFailed = "org.bluez.Error.Failed";
inline constexpr const char* kErrorInvalidOffset = "org.bluez.Error.InvalidOffset";
inline constexpr const char* kErrorNotPermitted = "org.bluez.Error.NotPermitted";
inline constexpr const char* kErrorNotSupported = "org.bluez.Error.NotSupported";
inline constexpr const char* kErrorInvalidArguments = "org.bluez.Error.InvalidArguments";
inline constexpr const char* kErrorAlreadyExists = "org.bluez.Error.AlreadyExists";
inline constexpr const char* kErrorDoesNotExist = "org.bluez.Error.DoesNotExist";
inline constexpr const char* kErrorAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

using Options = std::map<std::string, sdbus::Variant>;
using InterfaceProperties = std::map<std::string, std::map<std::string, sdbus::Variant>>;
using ManagedObjects = std::map<sdbus::ObjectPath, InterfaceProperties>;

// The entry `key` of an a{sv} dictionary when it holds a T; absent when it is
// missing or of another type.
template <typename T>
std::optional<T> valueOf(const std::map<std::string, sdbus::Variant>& dict, const std::string& key) {
    const auto it = dict.find(key);
    if (it == dict.end() || !it->second.template containsValueOfType<T>())
        return std::nullopt;
    return it->second.template get<T>();
}

// The D-Bus error a GATT application answers for an ATT error, as bluetoothd maps
// it back: InvalidOffset -> 0x07, NotPermitted -> read/write not permitted,
// NotSupported -> 0x06, anything else -> an application error.
inline const char* errorNameFor(AttResult result) {
    switch (result) {
    case AttResult::invalidOffset:
        return kErrorInvalidOffset;
    case AttResult::readNotPermitted:
    case AttResult::writeNotPermitted:
        return kErrorNotPermitted;
    case AttResult::requestNotSupported:
        return kErrorNotSupported;
    case AttResult::success:
    case AttResult::attributeNotFound:
    case AttResult::unlikelyError:
        break;
    }
    return kErrorFailed;
}

// The central's side of the same mapping: the ATT error bluetoothd sends when an
// application answers with `errorName`. `notPermitted` is the error for
// NotPermitted (read or write not permitted).
inline AttResult attResultFor(std::string_view errorName, AttResult notPermitted) {
    if (errorName == kErrorInvalidOffset)
        return AttResult::invalidOffset;
    if (errorName == kErrorNotPermitted)
        return notPermitted;
    if (errorName == kErrorNotSupported)
        return AttResult::requestNotSupported;
    return AttResult::unlikelyError;
}

} // namespace sorvane::bluez

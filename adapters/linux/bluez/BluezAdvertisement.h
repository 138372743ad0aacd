// BluezAdvertisement: one LE advertisement exported on D-Bus for
// LEAdvertisingManager1.RegisterAdvertisement: org.bluez.LEAdvertisement1 with
// Type "peripheral", the service UUIDs and the local name (which bluetoothd puts
// in the scan response when the advertising data is full), and the Release method
// bluetoothd calls when it drops the advertisement.
//
// Thread safety: construct and destroy on one thread. `onRelease` runs on the
// connection's event-loop thread with the caller's unique bus name and must not
// block.
#pragma once

#include "ports/PeripheralBackend.h"

#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <memory>
#include <string>

namespace sorvane {

class BluezAdvertisement {
public:
    // Throws sdbus::Error when the connection refuses the object.
    BluezAdvertisement(sdbus::IConnection& connection, std::string path, const AdvertisementData& data,
                       std::function<void(const std::string& sender)> onRelease);
    BluezAdvertisement(const BluezAdvertisement&) = delete;
    BluezAdvertisement& operator=(const BluezAdvertisement&) = delete;

    const std::string& path() const { return m_path; }

private:
    const std::string m_path;
    std::unique_ptr<sdbus::IObject> m_object;
};

} // namespace sorvane

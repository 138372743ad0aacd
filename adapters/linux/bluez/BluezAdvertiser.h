// BluezAdvertiser: the backend's advertising. start() exports an LE advertisement
// (BluezAdvertisement) and registers it with LEAdvertisingManager1
// (BluezRegistration); stop() unregisters it. A failure is logged
// ("Sorvane BLE: advertising failed: ...") and the advertisement dropped; so is
// an advertisement bluetoothd releases. Nothing reaches the delegate.
//
// Thread safety: used on the peripheral's queue; bluetoothd's Release arrives on
// the connection's event-loop thread and is posted there.
#pragma once

#include "ports/PeripheralBackend.h"
#include "adapters/linux/bluez/BluezAdvertisement.h"
#include "adapters/linux/bluez/BluezConnection.h"
#include "adapters/linux/bluez/BluezObjectTracker.h"
#include "adapters/linux/bluez/BluezQueue.h"
#include "adapters/linux/bluez/BluezRegistration.h"

#include <cstdint>
#include <memory>
#include <string>

namespace sorvane {

class BluezAdvertiser {
public:
    BluezAdvertiser(BluezConnection& connection, const BluezQueue& queue,
                    const BluezObjectTracker& tracker);
    BluezAdvertiser(const BluezAdvertiser&) = delete;
    BluezAdvertiser& operator=(const BluezAdvertiser&) = delete;

    // Replaces the advertisement; `poweredOn` says whether it can be registered now.
    void start(const AdvertisementData& data, bool poweredOn);
    // Unregisters and unexports the advertisement.
    void stop();
    // bluetoothd lost the registration: the advertisement is dropped without telling it.
    void forget();

private:
    void released(uint64_t generation, const std::string& sender);

    BluezConnection& m_connection;
    const BluezQueue& m_queue;
    const BluezObjectTracker& m_tracker;
    std::unique_ptr<BluezAdvertisement> m_advertisement;
    uint64_t m_generation = 0; // of m_advertisement; also names its path
    BluezRegistration m_registration;
};

} // namespace sorvane

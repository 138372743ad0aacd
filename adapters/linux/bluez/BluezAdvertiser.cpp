#include "adapters/linux/bluez/BluezAdvertiser.h"

#include "base/Log.h"
#include "adapters/linux/bluez/BluezNames.h"

namespace sorvane {

namespace {
constexpr const char* kAdvertisementRoot = "/org/sorvane/advertisement";
}

BluezAdvertiser::BluezAdvertiser(BluezConnection& connection, const BluezQueue& queue,
                                 const BluezObjectTracker& tracker)
    : m_connection(connection), m_queue(queue), m_tracker(tracker),
      m_registration(connection, queue, bluez::kAdvertisingManagerInterface, "RegisterAdvertisement",
                     "UnregisterAdvertisement", "advertising") {}

void BluezAdvertiser::start(const AdvertisementData& data, bool poweredOn) {
    stop();
    if (!poweredOn || m_tracker.adapterPath().empty()) {
        logLine("Sorvane BLE: advertising skipped: Bluetooth is not powered on");
        return;
    }
    const uint64_t generation = ++m_generation;
    std::optional<std::string> failed;
    try {
        m_advertisement = std::make_unique<BluezAdvertisement>(
            m_connection.bus(), kAdvertisementRoot + std::to_string(generation), data,
            [this, generation](const std::string& sender) {
                m_queue.post([this, generation, sender] { released(generation, sender); });
            });
        failed = m_registration.start(m_tracker.adapterPath(), m_advertisement->path(),
                                      [this](const std::optional<std::string>& error) {
                                          // The registration logged the failure.
                                          if (error)
                                              m_advertisement.reset();
                                      });
    } catch (const sdbus::Error& e) {
        failed = e.getMessage();
    }
    if (failed) {
        logLine("Sorvane BLE: advertising failed: " + *failed);
        m_advertisement.reset();
    }
}

void BluezAdvertiser::released(uint64_t generation, const std::string& sender) {
    if (!m_tracker.isBluetoothd(sender) || !m_advertisement || generation != m_generation)
        return;
    logLine("Sorvane BLE: bluetoothd released the advertisement");
    forget();
}

void BluezAdvertiser::stop() {
    m_registration.drop();
    m_advertisement.reset();
}

void BluezAdvertiser::forget() {
    m_registration.forget();
    m_advertisement.reset();
}

} // namespace sorvane

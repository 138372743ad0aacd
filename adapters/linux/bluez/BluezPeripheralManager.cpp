#include "adapters/linux/bluez/BluezPeripheralManager.h"

#include "base/Log.h"
#include "adapters/linux/bluez/BluezAdvertiser.h"
#include "adapters/linux/bluez/BluezConnection.h"
#include "adapters/linux/bluez/BluezGattServer.h"
#include "adapters/linux/bluez/BluezL2capPublisher.h"
#include "adapters/linux/bluez/BluezObjectTracker.h"
#include "adapters/linux/bluez/BluezQueue.h"

#include <memory>

namespace sorvane {
namespace {

// The manager itself only wires its parts together and keeps the reported state.
class BluezPeripheralManager final : public PeripheralManager, private BluezObjectTracker::Listener {
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
    // The parts that live on the bus; absent when it cannot be reached.
    struct BusParts {
        BusParts(const BluezQueue& queue, const BluezOptions& options, Listener& listener)
            : tracker(connection, queue, options.adapter, listener),
              gatt(connection, queue, tracker, options.clock), advertiser(connection, queue, tracker) {}
        // Declared first, destroyed last: everything below uses it.
        BluezConnection connection;
        BluezObjectTracker tracker;
        BluezGattServer gatt;
        BluezAdvertiser advertiser;
    };

    // BluezObjectTracker::Listener
    void registrationsLost() override;
    void deviceGone(const std::string& path) override;
    void stateChanged(ManagerState state) override;

    bool poweredOn() const { return m_state == ManagerState::poweredOn; }

    BluezQueue m_queue;
    ManagerState m_state = ManagerState::unknown;
    bool m_stateReported = false;
    std::unique_ptr<BluezL2capPublisher> m_l2cap;
    std::unique_ptr<BusParts> m_bus;
};

BluezPeripheralManager::BluezPeripheralManager(PeripheralManagerDelegate& delegate, TaskPoster post,
                                               BluezOptions options)
    : m_queue(delegate, std::move(post)),
      m_l2cap(std::make_unique<BluezL2capPublisher>(m_queue, std::move(options.openL2capServer))) {
    try {
        m_bus = std::make_unique<BusParts>(m_queue, options, static_cast<Listener&>(*this));
        m_bus->tracker.watch();
        m_bus->connection.start();
        m_bus->tracker.start();
    } catch (const sdbus::Error& e) {
        logLine("Sorvane BLE: cannot reach the system bus: " + e.getMessage());
        if (m_bus)
            m_bus->connection.stop(); // before its handlers' owners go
        m_bus.reset();
        stateChanged(ManagerState::unsupported);
    }
}

BluezPeripheralManager::~BluezPeripheralManager() {
    // Nothing posted runs after this, and no L2CAP connection is handed over.
    m_queue.close();
    m_l2cap.reset();
    if (!m_bus)
        return;
    // No D-Bus callback runs after this.
    m_bus->connection.stop();
    // Courtesy only: bluetoothd also drops everything when the connection closes.
    m_bus->advertiser.stop();
    m_bus->gatt.shutdown();
    m_bus.reset();
}

// ---- What the tracker reports (queue)

void BluezPeripheralManager::registrationsLost() {
    if (!m_bus)
        return;
    m_bus->advertiser.forget();
    m_bus->gatt.forget();
}

void BluezPeripheralManager::deviceGone(const std::string& path) {
    if (m_bus)
        m_bus->gatt.deviceGone(path);
}

void BluezPeripheralManager::stateChanged(ManagerState state) {
    if (m_stateReported && state == m_state)
        return;
    m_stateReported = true;
    m_state = state;
    m_queue.deliver([state](PeripheralManagerDelegate& d) { d.peripheralManagerDidUpdateState(state); });
}

// ---- PeripheralManager (queue)

void BluezPeripheralManager::addService(const ServiceDefinition& service) {
    if (!m_bus) {
        m_queue.deliver([](PeripheralManagerDelegate& d) { d.didAddService("Bluetooth is not powered on"); });
        return;
    }
    m_bus->gatt.addService(service, poweredOn());
}

void BluezPeripheralManager::removeAllServices() {
    if (m_bus)
        m_bus->gatt.removeService();
}

void BluezPeripheralManager::startAdvertising(const AdvertisementData& data) {
    if (!m_bus) {
        logLine("Sorvane BLE: advertising skipped: Bluetooth is not powered on");
        return;
    }
    m_bus->advertiser.start(data, poweredOn());
}

void BluezPeripheralManager::stopAdvertising() {
    if (m_bus)
        m_bus->advertiser.stop();
}

bool BluezPeripheralManager::updateValue(ByteView value, const std::string& charUUID) {
    return m_bus && m_bus->gatt.updateValue(value, charUUID);
}

void BluezPeripheralManager::respond(uint64_t requestID, AttResult result, ByteView value) {
    if (m_bus)
        m_bus->gatt.respond(requestID, result, value);
}

void BluezPeripheralManager::publishL2CAPChannel(bool withEncryption) { m_l2cap->publish(withEncryption); }

} // namespace

PeripheralManagerFactory bluezPeripheralManagerFactory(BluezOptions options) {
    return [options = std::move(options)](PeripheralManagerDelegate& delegate,
                                          TaskPoster post) -> std::unique_ptr<PeripheralManager> {
        return std::make_unique<BluezPeripheralManager>(delegate, std::move(post), options);
    };
}

} // namespace sorvane

#include "testing/fake-bluetoothd/FakeBluez.h"

#include "base/SerialQueue.h"
#include "base/Log.h"
#include "adapters/linux/bluez/BluezNames.h"
#include "protocol/Uuids.h"
#include "testing/fake-bluetoothd/FakeDeviceLink.h"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cstdio>
#include <variant>

namespace sorvane::fakebluez {
namespace {

using namespace bluez;

constexpr size_t kMaxAttributeValue = 512; // ATT's longest attribute value
constexpr size_t kMaxAdvertisements = 4;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// An error that means nobody answered, as opposed to an answer that is an error.
bool isNoAnswer(const std::string& name) {
    return name == "org.freedesktop.DBus.Error.NoReply" ||
           name == "org.freedesktop.DBus.Error.Timeout" ||
           name == "org.freedesktop.DBus.Error.TimedOut" ||
           name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           name == "org.freedesktop.DBus.Error.Disconnected";
}

std::variant<FakeBluez::Application, std::string> parseApplication(const std::string& owner,
                                                                   const std::string& root,
                                                                   const ManagedObjects& objects) {
    FakeBluez::Application app;
    app.owner = owner;
    app.path = root;
    std::set<std::string> services;
    for (const auto& [path, interfaces] : objects) {
        if (!startsWith(path, root))
            return "object " + std::string(path) + " is outside the application";
        if (const auto it = interfaces.find(kGattServiceInterface); it != interfaces.end()) {
            const auto uuid = valueOf<std::string>(it->second, "UUID");
            const auto primary = valueOf<bool>(it->second, "Primary");
            if (!uuid || !primary)
                return "service " + std::string(path) + " lacks UUID or Primary";
            if (services.empty()) {
                app.serviceUUID = *uuid;
                app.primary = *primary;
            }
            services.insert(path);
        }
    }
    if (services.empty())
        return std::string("the application has no service");
    for (const auto& [path, interfaces] : objects) {
        const auto it = interfaces.find(kGattCharacteristicInterface);
        if (it == interfaces.end())
            continue;
        const auto uuid = valueOf<std::string>(it->second, "UUID");
        const auto service = valueOf<sdbus::ObjectPath>(it->second, "Service");
        const auto flags = valueOf<std::vector<std::string>>(it->second, "Flags");
        if (!uuid || !service || !flags)
            return "characteristic " + std::string(path) + " lacks UUID, Service or Flags";
        if (!services.count(*service))
            return "characteristic " + std::string(path) + " names an unknown service";
        app.characteristics.push_back({path, *uuid, *service, *flags});
    }
    return app;
}

std::string deviceAddress(uint64_t id) {
    char text[18];
    std::snprintf(text, sizeof text, "C0:FF:EE:00:%02X:%02X", static_cast<unsigned>((id >> 8) & 0xff),
                  static_cast<unsigned>(id & 0xff));
    return text;
}

std::string devicePathFor(const std::string& address) {
    std::string path = std::string(FakeBluez::kAdapterPath) + "/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');
    return path;
}

} // namespace

// ---- Internal state

struct FakeBluez::HandlerSlot {
    std::mutex mutex;
    phone::CentralLink::NotificationHandler handler;
};

struct FakeBluez::DeviceState {
    std::string path;
    std::string address;
    uint16_t mtu = 23;
    uint64_t busGeneration = 0;
    bool connected = true;
    std::shared_ptr<HandlerSlot> handler = std::make_shared<HandlerSlot>();
    std::vector<std::weak_ptr<ByteChannel>> channels;
};

// One ownership of org.bluez: a connection with its exported objects.
struct FakeBluez::Bus {
    uint64_t generation = 0;
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IObject> root;
    std::vector<sdbus::Slot> matches;

    // Exported objects that come and go; never locked on the event-loop thread.
    std::mutex objectMutex;
    std::unique_ptr<sdbus::IObject> adapter;
    std::map<std::string, std::unique_ptr<sdbus::IObject>> devices;

    std::mutex proxyMutex;
    std::map<std::pair<std::string, std::string>, std::unique_ptr<sdbus::IProxy>> proxies;

    // Proxies live as long as the connection: destroying one cancels its calls.
    sdbus::IProxy& proxy(const std::string& destination, const std::string& path) {
        const auto key = std::make_pair(destination, path);
        {
            std::lock_guard lock(proxyMutex);
            if (const auto it = proxies.find(key); it != proxies.end())
                return *it->second;
        }
        auto made = sdbus::createProxy(*connection, destination, path);
        std::lock_guard lock(proxyMutex);
        auto& slot = proxies[key];
        if (!slot)
            slot = std::move(made);
        return *slot;
    }

    ~Bus() {
        if (connection)
            connection->leaveEventLoop();
        proxies.clear();
        devices.clear();
        adapter.reset();
        root.reset();
        matches.clear();
        connection.reset();
    }
};

// ---- Construction

FakeBluez::FakeBluez(Options options)
    : m_options(std::move(options)), m_worker(std::make_unique<SerialQueue>("fake-bluez")) {
    {
        MutexLock lock(m_mutex);
        m_powered = m_options.powered;
    }
    auto bus = makeBus();
    MutexLock lock(m_mutex);
    m_bus = std::move(bus);
}

FakeBluez::~FakeBluez() {
    std::shared_ptr<Bus> bus;
    {
        MutexLock lock(m_mutex);
        bus = std::move(m_bus);
        ++m_busGeneration;
    }
    bus.reset(); // stops the event loop, which may still post to the worker
    m_worker.reset();
}

std::shared_ptr<FakeBluez::Bus> FakeBluez::makeBus() {
    auto bus = std::make_shared<Bus>();
    bus->connection = sdbus::createSessionBusConnectionWithAddress(m_options.busAddress);
    bus->root = sdbus::createObject(*bus->connection, "/");
    bus->root->addObjectManager();
    bus->matches.push_back(bus->connection->addMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged'",
        [this](sdbus::Message& m) {
            try {
                std::string name, oldOwner, newOwner;
                m >> name >> oldOwner >> newOwner;
                onNameOwnerChanged(name, newOwner);
            } catch (const sdbus::Error&) {
            }
        }));
    bus->matches.push_back(bus->connection->addMatch(
        "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
        [this](sdbus::Message& m) { onPropertiesChanged(m); }));
    bool present = false;
    {
        MutexLock lock(m_mutex);
        bus->generation = ++m_busGeneration;
        present = m_adapterPresent;
    }
    if (present)
        exportAdapter(*bus);
    bus->connection->enterEventLoopAsync();
    bus->connection->requestName(kService);
    return bus;
}

void FakeBluez::exportAdapter(Bus& bus) {
    auto adapter = sdbus::createObject(*bus.connection, kAdapterPath);
    sdbus::IObject* object = adapter.get();
    Bus* b = &bus;

    object->registerProperty("Address").onInterface(kAdapterInterface).withGetter([this] {
        return m_options.adapterAddress;
    });
    object->registerProperty("AddressType").onInterface(kAdapterInterface).withGetter([] {
        return std::string("public");
    });
    object->registerProperty("Name").onInterface(kAdapterInterface).withGetter([] {
        return std::string("fake-bluetoothd");
    });
    object->registerProperty("Alias").onInterface(kAdapterInterface).withGetter([] {
        return std::string("fake-bluetoothd");
    });
    object->registerProperty("Powered")
        .onInterface(kAdapterInterface)
        .withGetter([this] { return powered(); })
        .withSetter([this](const bool& on) {
            // Turning the power off disconnects devices with calls that wait for
            // answers: not on the event-loop thread.
            m_worker->async([this, on] { setPowered(on); });
        });

    object->registerMethod("RegisterApplication")
        .onInterface(kGattManagerInterface)
        .implementedAs([this, b, object](sdbus::Result<>&& result, sdbus::ObjectPath path, bluez::Options) {
            auto reply = std::make_shared<sdbus::Result<>>(std::move(result));
            onRegisterApplication(*b, object->getCurrentlyProcessedMessage()->getSender(), path,
                                  [reply](std::optional<std::string> error) {
                                      if (error)
                                          reply->returnError(sdbus::Error(kErrorFailed, *error));
                                      else
                                          reply->returnResults();
                                  });
        });
    object->registerMethod("UnregisterApplication")
        .onInterface(kGattManagerInterface)
        .implementedAs([this, object](sdbus::ObjectPath path) {
            const std::string sender = object->getCurrentlyProcessedMessage()->getSender();
            MutexLock lock(m_mutex);
            const auto it = std::find_if(m_applications.begin(), m_applications.end(), [&](const auto& a) {
                return a.owner == sender && a.path == path;
            });
            if (it == m_applications.end())
                throw sdbus::Error(kErrorDoesNotExist, "no such application");
            for (const auto& c : it->characteristics)
                m_subscribers.erase(c.path);
            m_applications.erase(it);
            ++m_changes;
            m_changed.notify_all();
        });

    object->registerMethod("RegisterAdvertisement")
        .onInterface(kAdvertisingManagerInterface)
        .implementedAs([this, b, object](sdbus::Result<>&& result, sdbus::ObjectPath path, bluez::Options) {
            auto reply = std::make_shared<sdbus::Result<>>(std::move(result));
            onRegisterAdvertisement(*b, object->getCurrentlyProcessedMessage()->getSender(), path,
                                    [reply](std::optional<std::string> error) {
                                        if (error)
                                            reply->returnError(sdbus::Error(kErrorFailed, *error));
                                        else
                                            reply->returnResults();
                                    });
        });
    object->registerMethod("UnregisterAdvertisement")
        .onInterface(kAdvertisingManagerInterface)
        .implementedAs([this, object](sdbus::ObjectPath path) {
            const std::string sender = object->getCurrentlyProcessedMessage()->getSender();
            MutexLock lock(m_mutex);
            const auto it = std::find_if(m_advertisements.begin(), m_advertisements.end(),
                                         [&](const auto& a) { return a.owner == sender && a.path == path; });
            if (it == m_advertisements.end())
                throw sdbus::Error(kErrorDoesNotExist, "no such advertisement");
            m_advertisements.erase(it);
            ++m_changes;
            m_changed.notify_all();
        });
    object->registerProperty("ActiveInstances").onInterface(kAdvertisingManagerInterface).withGetter([this] {
        MutexLock lock(m_mutex);
        return static_cast<uint8_t>(m_advertisements.size());
    });
    object->registerProperty("SupportedInstances").onInterface(kAdvertisingManagerInterface).withGetter([this] {
        MutexLock lock(m_mutex);
        return static_cast<uint8_t>(kMaxAdvertisements - m_advertisements.size());
    });
    object->registerProperty("SupportedIncludes").onInterface(kAdvertisingManagerInterface).withGetter([] {
        return std::vector<std::string>{"tx-power", "appearance", "local-name"};
    });
    object->finishRegistration();
    object->emitInterfacesAddedSignal();
    bus.adapter = std::move(adapter);
}

void FakeBluez::exportDevice(Bus& bus, const std::string& path) {
    auto device = sdbus::createObject(*bus.connection, path);
    std::string address;
    {
        MutexLock lock(m_mutex);
        for (const auto& [id, state] : m_devices)
            if (state->path == path)
                address = state->address;
    }
    const auto connected = [this, path] {
        MutexLock lock(m_mutex);
        for (const auto& [id, state] : m_devices)
            if (state->path == path)
                return state->connected;
        return false;
    };
    device->registerProperty("Address").onInterface(kDeviceInterface).withGetter([address] { return address; });
    device->registerProperty("AddressType").onInterface(kDeviceInterface).withGetter([] {
        return std::string("random");
    });
    device->registerProperty("Alias").onInterface(kDeviceInterface).withGetter([] {
        return std::string("Sorvane test phone");
    });
    device->registerProperty("Adapter").onInterface(kDeviceInterface).withGetter([] {
        return sdbus::ObjectPath(kAdapterPath);
    });
    device->registerProperty("Paired").onInterface(kDeviceInterface).withGetter([] { return false; });
    device->registerProperty("Connected").onInterface(kDeviceInterface).withGetter(connected);
    device->registerProperty("ServicesResolved").onInterface(kDeviceInterface).withGetter(connected);
    device->finishRegistration();
    device->emitInterfacesAddedSignal();
    bus.devices[path] = std::move(device);
}

// ---- Controls

void FakeBluez::setPowered(bool on) {
    std::shared_ptr<Bus> bus;
    std::vector<uint64_t> connected;
    {
        MutexLock lock(m_mutex);
        if (m_powered == on)
            return;
        m_powered = on;
        bus = m_bus;
        if (!on)
            for (const auto& [id, state] : m_devices)
                if (state->connected)
                    connected.push_back(id);
    }
    // Powering down ends every link first.
    for (const uint64_t id : connected)
        deviceDisconnect(id);
    emitPowered();
    changed();
}

void FakeBluez::emitPowered() {
    std::shared_ptr<Bus> bus;
    {
        MutexLock lock(m_mutex);
        bus = m_bus;
    }
    if (!bus)
        return;
    std::lock_guard lock(bus->objectMutex);
    if (bus->adapter)
        bus->adapter->emitPropertiesChangedSignal(kAdapterInterface, {"Powered"});
}

bool FakeBluez::powered() const {
    MutexLock lock(m_mutex);
    return m_powered;
}

void FakeBluez::removeAdapter() {
    std::shared_ptr<Bus> bus;
    std::vector<uint64_t> connected;
    {
        MutexLock lock(m_mutex);
        if (!m_adapterPresent)
            return;
        m_adapterPresent = false;
        bus = m_bus;
        for (const auto& [id, state] : m_devices)
            if (state->connected)
                connected.push_back(id);
    }
    for (const uint64_t id : connected)
        deviceDisconnect(id);
    {
        // The adapter's GATT database and advertising go with it.
        MutexLock lock(m_mutex);
        m_applications.clear();
        m_advertisements.clear();
        m_subscribers.clear();
        m_devices.clear();
    }
    if (bus) {
        std::lock_guard lock(bus->objectMutex);
        for (auto& [path, device] : bus->devices)
            device->emitInterfacesRemovedSignal();
        bus->devices.clear();
        if (bus->adapter) {
            // Gone from GetManagedObjects before anyone hears that it went: a
            // client that reacts to the signal by asking again must not find it.
            auto adapter = std::move(bus->adapter);
            adapter->unregister();
            adapter->emitInterfacesRemovedSignal(
                {kAdapterInterface, kGattManagerInterface, kAdvertisingManagerInterface});
        }
    }
    changed();
}

void FakeBluez::addAdapter() {
    std::shared_ptr<Bus> bus;
    {
        MutexLock lock(m_mutex);
        if (m_adapterPresent)
            return;
        m_adapterPresent = true;
        bus = m_bus;
    }
    if (bus) {
        std::lock_guard lock(bus->objectMutex);
        exportAdapter(*bus);
    }
    changed();
}

void FakeBluez::restart() {
    std::shared_ptr<Bus> old;
    std::vector<std::shared_ptr<ByteChannel>> channels;
    {
        MutexLock lock(m_mutex);
        old = std::move(m_bus);
        ++m_busGeneration; // every device link of the old daemon is dead
        m_applications.clear();
        m_advertisements.clear();
        m_subscribers.clear();
        for (const auto& [id, state] : m_devices)
            for (const auto& weak : state->channels)
                if (auto channel = weak.lock())
                    channels.push_back(std::move(channel));
        m_devices.clear();
    }
    for (const auto& channel : channels)
        channel->shutdown();
    if (old) {
        // Calls in flight on the old connection finish (with errors) on their own;
        // the name is free from now on.
        try {
            old->connection->releaseName(kService);
        } catch (const sdbus::Error&) {
        }
        old.reset();
    }
    auto bus = makeBus();
    {
        MutexLock lock(m_mutex);
        m_bus = std::move(bus);
    }
    changed();
}

// ---- Registrations

std::optional<FakeBluez::Application> FakeBluez::application() const {
    MutexLock lock(m_mutex);
    if (m_applications.empty())
        return std::nullopt;
    return m_applications.back();
}

std::optional<FakeBluez::Advertisement> FakeBluez::advertisement() const {
    MutexLock lock(m_mutex);
    if (m_advertisements.empty())
        return std::nullopt;
    return m_advertisements.back();
}

size_t FakeBluez::applicationRegistrations() const {
    MutexLock lock(m_mutex);
    return m_applicationRegistrations;
}

size_t FakeBluez::advertisementRegistrations() const {
    MutexLock lock(m_mutex);
    return m_advertisementRegistrations;
}

bool FakeBluez::waitForApplications(size_t count, std::chrono::milliseconds timeout) const {
    return waitFor([&] { return applicationRegistrations() >= count && application(); }, timeout);
}

bool FakeBluez::waitForAdvertisements(size_t count, std::chrono::milliseconds timeout) const {
    return waitFor([&] { return advertisementRegistrations() >= count && advertisement(); }, timeout);
}

bool FakeBluez::waitFor(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(m_mutex.native());
    for (;;) {
        const uint64_t seen = [&]() SORVANE_NO_THREAD_SAFETY_ANALYSIS { return m_changes; }();
        lock.unlock();
        if (condition())
            return true;
        lock.lock();
        if (!m_changed.wait_until(lock, deadline, [&]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
                return m_changes != seen;
            }))
            return false;
    }
}

void FakeBluez::changed() {
    {
        MutexLock lock(m_mutex);
        ++m_changes;
    }
    m_changed.notify_all();
}

void FakeBluez::onRegisterApplication(Bus& bus, const std::string& sender, const std::string& path,
                                      std::function<void(std::optional<std::string>)> reply) {
    {
        MutexLock lock(m_mutex);
        for (const auto& a : m_applications)
            if (a.owner == sender && a.path == path) {
                reply("the application is already registered");
                return;
            }
    }
    const uint64_t generation = bus.generation;
    // bluetoothd answers RegisterApplication only once it has read the objects.
    bus.proxy(sender, path)
        .callMethodAsync("GetManagedObjects")
        .onInterface(kObjectManagerInterface)
        .withTimeout(kCallTimeout)
        .uponReplyInvoke([this, generation, sender, path, reply](const sdbus::Error* error,
                                                                  ManagedObjects objects) {
            if (error) {
                reply("GetManagedObjects failed: " + error->getName() + ": " + error->getMessage());
                return;
            }
            auto parsed = parseApplication(sender, path, objects);
            if (auto* problem = std::get_if<std::string>(&parsed)) {
                reply(*problem);
                return;
            }
            {
                MutexLock lock(m_mutex);
                if (generation != m_busGeneration || !m_adapterPresent) {
                    reply("bluetoothd is going away");
                    return;
                }
                m_applications.push_back(std::get<Application>(std::move(parsed)));
                ++m_applicationRegistrations;
            }
            changed();
            reply(std::nullopt);
        });
}

void FakeBluez::onRegisterAdvertisement(Bus& bus, const std::string& sender, const std::string& path,
                                        std::function<void(std::optional<std::string>)> reply) {
    {
        MutexLock lock(m_mutex);
        for (const auto& a : m_advertisements)
            if (a.owner == sender && a.path == path) {
                reply("the advertisement is already registered");
                return;
            }
        if (m_advertisements.size() >= kMaxAdvertisements) {
            reply("no advertising instance left");
            return;
        }
    }
    const uint64_t generation = bus.generation;
    bus.proxy(sender, path)
        .callMethodAsync("GetAll")
        .onInterface(kPropertiesInterface)
        .withTimeout(kCallTimeout)
        .withArguments(std::string(kAdvertisementInterface))
        .uponReplyInvoke([this, generation, sender, path, reply](const sdbus::Error* error,
                                                                  std::map<std::string, sdbus::Variant> properties) {
            if (error) {
                reply("reading the advertisement failed: " + error->getMessage());
                return;
            }
            Advertisement ad;
            ad.owner = sender;
            ad.path = path;
            const auto type = valueOf<std::string>(properties, "Type");
            if (!type || (*type != "peripheral" && *type != "broadcast")) {
                reply("the advertisement has no valid Type");
                return;
            }
            ad.type = *type;
            ad.serviceUUIDs = valueOf<std::vector<std::string>>(properties, "ServiceUUIDs").value_or(
                std::vector<std::string>{});
            ad.localName = valueOf<std::string>(properties, "LocalName").value_or("");
            {
                MutexLock lock(m_mutex);
                if (generation != m_busGeneration || !m_adapterPresent) {
                    reply("bluetoothd is going away");
                    return;
                }
                m_advertisements.push_back(std::move(ad));
                ++m_advertisementRegistrations;
            }
            changed();
            reply(std::nullopt);
        });
}

void FakeBluez::onNameOwnerChanged(const std::string& name, const std::string& newOwner) {
    // A client leaving the bus takes its registrations with it.
    if (name.empty() || name[0] != ':' || !newOwner.empty())
        return;
    {
        MutexLock lock(m_mutex);
        for (auto it = m_applications.begin(); it != m_applications.end();) {
            if (it->owner == name) {
                for (const auto& c : it->characteristics)
                    m_subscribers.erase(c.path);
                it = m_applications.erase(it);
            } else {
                ++it;
            }
        }
        m_advertisements.erase(std::remove_if(m_advertisements.begin(), m_advertisements.end(),
                                              [&](const auto& a) { return a.owner == name; }),
                               m_advertisements.end());
    }
    changed();
}

void FakeBluez::onPropertiesChanged(sdbus::Message& message) {
    const std::string sender = message.getSender();
    const std::string path = message.getPath();
    std::string uuid;
    std::vector<std::pair<std::shared_ptr<HandlerSlot>, uint16_t>> receivers;
    {
        MutexLock lock(m_mutex);
        for (const auto& app : m_applications) {
            if (app.owner != sender)
                continue;
            for (const auto& c : app.characteristics)
                if (c.path == path)
                    uuid = c.uuid;
        }
        if (uuid.empty())
            return;
        if (const auto it = m_subscribers.find(path); it != m_subscribers.end())
            for (const uint64_t id : it->second)
                if (const auto d = m_devices.find(id); d != m_devices.end() && d->second->connected)
                    receivers.emplace_back(d->second->handler, d->second->mtu);
    }
    if (receivers.empty())
        return;
    std::vector<uint8_t> value;
    try {
        std::string interface;
        std::map<std::string, sdbus::Variant> changed;
        message >> interface >> changed;
        if (interface != kGattCharacteristicInterface)
            return;
        const auto v = valueOf<std::vector<uint8_t>>(changed, "Value");
        if (!v)
            return;
        value = *v;
    } catch (const sdbus::Error&) {
        return;
    }
    for (const auto& [slot, mtu] : receivers) {
        const size_t room = std::min<size_t>(kMaxAttributeValue, mtu - 3u);
        Bytes notified(value.begin(), value.begin() + static_cast<long>(std::min(room, value.size())));
        std::lock_guard lock(slot->mutex);
        if (slot->handler)
            slot->handler(uuid, std::move(notified));
    }
}

// ---- Devices

std::unique_ptr<FakeDeviceLink> FakeBluez::connectDevice(uint16_t attMTU) {
    std::shared_ptr<Bus> bus;
    uint64_t id = 0;
    std::string path;
    {
        MutexLock lock(m_mutex);
        if (!m_bus || !m_adapterPresent || !m_powered)
            return nullptr;
        bus = m_bus;
        id = m_nextDevice++;
        auto state = std::make_shared<DeviceState>();
        state->address = deviceAddress(id);
        state->path = devicePathFor(state->address);
        state->mtu = std::max<uint16_t>(attMTU, 23);
        state->busGeneration = bus->generation;
        path = state->path;
        m_devices[id] = std::move(state);
    }
    {
        std::lock_guard lock(bus->objectMutex);
        exportDevice(*bus, path);
    }
    return std::unique_ptr<FakeDeviceLink>(
        new FakeDeviceLink(*this, id, path, std::max<uint16_t>(attMTU, 23)));
}

std::optional<FakeBluez::Target> FakeBluez::target(uint64_t deviceID, std::string_view uuid) const {
    MutexLock lock(m_mutex);
    const auto d = m_devices.find(deviceID);
    if (d == m_devices.end() || !d->second->connected || d->second->busGeneration != m_busGeneration ||
        !m_bus)
        return std::nullopt;
    for (auto app = m_applications.rbegin(); app != m_applications.rend(); ++app)
        for (const auto& c : app->characteristics)
            if (uuidEquals(c.uuid, uuid))
                return Target{m_bus, app->owner, c.path, c.uuid, d->second->path, d->second->mtu, c.flags};
    return std::nullopt;
}

namespace {
bluez::Options callOptions(const std::string& device, uint16_t mtu, size_t offset) {
    bluez::Options options{{"device", sdbus::Variant(sdbus::ObjectPath(device))},
                    {"mtu", sdbus::Variant(mtu)},
                    {"link", sdbus::Variant(std::string("LE"))}};
    if (offset != 0)
        options.emplace("offset", sdbus::Variant(static_cast<uint16_t>(offset)));
    return options;
}
} // namespace

std::optional<phone::ReadResult> FakeBluez::deviceRead(uint64_t deviceID, std::string_view uuid,
                                                       size_t offset, bool malformedOffset) {
    const auto t = target(deviceID, uuid);
    if (!t)
        return std::nullopt;
    if (offset > 0xffff)
        return phone::ReadResult{AttResult::invalidOffset, {}};
    bluez::Options options = callOptions(t->device, t->mtu, offset);
    if (malformedOffset)
        options["offset"] = sdbus::Variant(std::string("1"));
    try {
        std::vector<uint8_t> value;
        t->bus->proxy(t->owner, t->path)
            .callMethod("ReadValue")
            .onInterface(kGattCharacteristicInterface)
            .withTimeout(kCallTimeout)
            .withArguments(options)
            .storeResultsTo(value);
        value.resize(std::min({value.size(), kMaxAttributeValue, size_t{t->mtu} - 1u}));
        return phone::ReadResult{AttResult::success, Bytes(value.begin(), value.end())};
    } catch (const sdbus::Error& e) {
        if (isNoAnswer(e.getName()))
            return std::nullopt;
        return phone::ReadResult{attResultFor(e.getName(), AttResult::readNotPermitted), {}};
    }
}

std::optional<AttResult> FakeBluez::deviceWrite(uint64_t deviceID, std::string_view uuid,
                                                ByteView value, size_t offset) {
    const auto t = target(deviceID, uuid);
    if (!t)
        return std::nullopt;
    if (value.size() > kMaxAttributeValue || offset > 0xffff)
        return AttResult::unlikelyError; // refused by bluetoothd's ATT layer
    try {
        t->bus->proxy(t->owner, t->path)
            .callMethod("WriteValue")
            .onInterface(kGattCharacteristicInterface)
            .withTimeout(kCallTimeout)
            .withArguments(std::vector<uint8_t>(value.begin(), value.end()),
                           callOptions(t->device, t->mtu, offset))
            .storeResultsTo();
        return AttResult::success;
    } catch (const sdbus::Error& e) {
        if (isNoAnswer(e.getName()))
            return std::nullopt;
        return attResultFor(e.getName(), AttResult::writeNotPermitted);
    }
}

void FakeBluez::callNotify(const Target& t, bool start) {
    // bluetoothd does not wait for these; the fake does, so that a test knows the
    // application has seen it when subscribe() returns.
    try {
        t.bus->proxy(t.owner, t.path)
            .callMethod(start ? "StartNotify" : "StopNotify")
            .onInterface(kGattCharacteristicInterface)
            .withTimeout(kCallTimeout)
            .storeResultsTo();
    } catch (const sdbus::Error& e) {
        logLine(std::string("fake-bluetoothd: ") + (start ? "StartNotify" : "StopNotify") +
                " failed: " + e.getMessage());
    }
}

bool FakeBluez::deviceSubscribe(uint64_t deviceID, std::string_view uuid, bool on) {
    const auto t = target(deviceID, uuid);
    if (!t)
        return false;
    if (std::find(t->flags.begin(), t->flags.end(), "notify") == t->flags.end())
        return false; // no CCC descriptor to write
    bool first = false;
    bool last = false;
    {
        MutexLock lock(m_mutex);
        auto& subscribers = m_subscribers[t->path];
        if (on) {
            first = subscribers.insert(deviceID).second && subscribers.size() == 1;
        } else {
            last = subscribers.erase(deviceID) > 0 && subscribers.empty();
        }
    }
    if (first || last)
        callNotify(*t, on);
    return true;
}

void FakeBluez::deviceSetHandler(uint64_t deviceID, phone::CentralLink::NotificationHandler handler) {
    std::shared_ptr<HandlerSlot> slot;
    {
        MutexLock lock(m_mutex);
        const auto d = m_devices.find(deviceID);
        if (d == m_devices.end())
            return;
        slot = d->second->handler;
    }
    // Waits for a notification being delivered with the old handler.
    std::lock_guard lock(slot->mutex);
    slot->handler = std::move(handler);
}

void FakeBluez::deviceDisconnect(uint64_t deviceID) {
    std::shared_ptr<Bus> bus;
    std::string path;
    std::vector<Target> stops;
    std::vector<std::weak_ptr<ByteChannel>> channels;
    {
        MutexLock lock(m_mutex);
        const auto d = m_devices.find(deviceID);
        if (d == m_devices.end() || !d->second->connected)
            return;
        DeviceState& device = *d->second;
        device.connected = false;
        path = device.path;
        channels = std::move(device.channels);
        if (device.busGeneration == m_busGeneration)
            bus = m_bus;
        // An unbonded device's CCC states end with the link.
        for (auto& [charPath, subscribers] : m_subscribers) {
            if (subscribers.erase(deviceID) == 0 || !subscribers.empty())
                continue;
            for (const auto& app : m_applications)
                for (const auto& c : app.characteristics)
                    if (c.path == charPath)
                        stops.push_back(Target{bus, app.owner, c.path, c.uuid, path, device.mtu, c.flags});
        }
    }
    for (const auto& weak : channels)
        if (const auto channel = weak.lock())
            channel->shutdown();
    if (!bus)
        return;
    {
        std::lock_guard lock(bus->objectMutex);
        if (const auto it = bus->devices.find(path); it != bus->devices.end())
            it->second->emitPropertiesChangedSignal(kDeviceInterface, {"Connected", "ServicesResolved"});
    }
    for (const auto& t : stops)
        callNotify(t, false);
    changed();
}

std::shared_ptr<ByteChannel> FakeBluez::deviceOpenL2CAP(uint64_t deviceID, uint16_t psm) {
    if (!m_options.openL2CAP)
        return nullptr;
    {
        MutexLock lock(m_mutex);
        const auto d = m_devices.find(deviceID);
        if (d == m_devices.end() || !d->second->connected)
            return nullptr;
    }
    auto channel = m_options.openL2CAP(psm);
    if (!channel)
        return nullptr;
    MutexLock lock(m_mutex);
    if (const auto d = m_devices.find(deviceID); d != m_devices.end())
        d->second->channels.push_back(channel);
    return channel;
}

} // namespace sorvane::fakebluez

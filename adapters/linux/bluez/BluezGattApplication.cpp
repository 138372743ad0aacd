#include "adapters/linux/bluez/BluezGattApplication.h"

#include "adapters/linux/bluez/BluezNames.h"
#include "protocol/Uuids.h"

#include <exception>

namespace sorvane {
namespace {

using bluez::Options;

// Reads the options every characteristic method carries. Unknown keys ("mtu",
// "link", "type", "prepare-authorize") are ignored.
BluezGattApplication::Call parseCall(size_t index, const sdbus::IObject& object,
                                     const Options& options) {
    BluezGattApplication::Call call;
    call.characteristic = index;
    if (const sdbus::Message* message = object.getCurrentlyProcessedMessage())
        call.sender = message->getSender();
    if (options.count("device")) {
        if (const auto device = bluez::valueOf<sdbus::ObjectPath>(options, "device"))
            call.device = *device;
        else
            call.malformed = "the device option is not an object path";
    }
    if (options.count("offset")) {
        if (const auto offset = bluez::valueOf<uint16_t>(options, "offset"))
            call.offset = *offset;
        else
            call.malformed = "the offset option is not a uint16";
    }
    return call;
}

template <typename Reply> void fail(const Reply& reply, const std::exception& e) {
    try {
        reply->returnError(sdbus::Error(bluez::kErrorFailed, e.what()));
    } catch (const std::exception&) {
        // The caller is gone; nothing to answer.
    }
}

} // namespace

std::vector<std::string> BluezGattApplication::flagsFor(uint8_t properties) {
    std::vector<std::string> flags;
    if (properties & CharProperty::read)
        flags.emplace_back("read");
    if (properties & CharProperty::write)
        flags.emplace_back("write");
    if (properties & CharProperty::notify)
        flags.emplace_back("notify");
    return flags;
}

BluezGattApplication::BluezGattApplication(sdbus::IConnection& connection, std::string rootPath,
                                           const ServiceDefinition& service, Handlers handlers)
    : m_rootPath(std::move(rootPath)), m_handlers(std::move(handlers)) {
    const std::string servicePath = m_rootPath + "/service0";
    m_service = sdbus::createObject(connection, servicePath);
    m_service->registerProperty("UUID").onInterface(bluez::kGattServiceInterface).withGetter([uuid = service.uuid] {
        return uuid;
    });
    m_service->registerProperty("Primary")
        .onInterface(bluez::kGattServiceInterface)
        .withGetter([primary = service.primary] { return primary; });
    m_service->finishRegistration();

    m_characteristics.reserve(service.characteristics.size());
    for (size_t i = 0; i < service.characteristics.size(); ++i) {
        m_characteristics.push_back({service.characteristics[i], nullptr});
        exportCharacteristic(connection, i, servicePath);
    }

    m_root = sdbus::createObject(connection, m_rootPath);
    m_root->addObjectManager();
}

BluezGattApplication::~BluezGattApplication() = default;

void BluezGattApplication::exportCharacteristic(sdbus::IConnection& connection, size_t index,
                                                const std::string& servicePath) {
    Characteristic& c = m_characteristics[index];
    c.object = sdbus::createObject(connection, servicePath + "/char" + std::to_string(index));
    sdbus::IObject* object = c.object.get();
    const char* iface = bluez::kGattCharacteristicInterface;

    object->registerProperty("UUID").onInterface(iface).withGetter([uuid = c.definition.uuid] {
        return uuid;
    });
    object->registerProperty("Service").onInterface(iface).withGetter([servicePath] {
        return sdbus::ObjectPath(servicePath);
    });
    object->registerProperty("Flags").onInterface(iface).withGetter(
        [flags = flagsFor(c.definition.properties)] { return flags; });

    object->registerMethod("ReadValue")
        .onInterface(iface)
        .withInputParamNames("options")
        .withOutputParamNames("value")
        .implementedAs([this, index, object](sdbus::Result<std::vector<uint8_t>>&& result,
                                             Options options) {
            auto reply = std::make_shared<sdbus::Result<std::vector<uint8_t>>>(std::move(result));
            try {
                m_handlers.read(parseCall(index, *object, options), reply);
            } catch (const std::exception& e) {
                fail(reply, e);
            }
        });
    object->registerMethod("WriteValue")
        .onInterface(iface)
        .withInputParamNames("value", "options")
        .implementedAs([this, index, object](sdbus::Result<>&& result, std::vector<uint8_t> value,
                                             Options options) {
            auto reply = std::make_shared<sdbus::Result<>>(std::move(result));
            try {
                m_handlers.write(parseCall(index, *object, options), std::move(value), reply);
            } catch (const std::exception& e) {
                fail(reply, e);
            }
        });
    for (const bool start : {true, false}) {
        object->registerMethod(start ? "StartNotify" : "StopNotify")
            .onInterface(iface)
            .implementedAs([this, index, object, start](sdbus::Result<>&& result) {
                auto reply = std::make_shared<sdbus::Result<>>(std::move(result));
                try {
                    m_handlers.notify(parseCall(index, *object, Options{}), start, reply);
                } catch (const std::exception& e) {
                    fail(reply, e);
                }
            });
    }
    object->finishRegistration();
}

std::optional<size_t> BluezGattApplication::indexOf(std::string_view uuid) const {
    for (size_t i = 0; i < m_characteristics.size(); ++i)
        if (uuidEquals(m_characteristics[i].definition.uuid, uuid))
            return i;
    return std::nullopt;
}

bool BluezGattApplication::notify(size_t index, ByteView value) {
    if (index >= m_characteristics.size())
        return false;
    sdbus::IObject& object = *m_characteristics[index].object;
    try {
        auto signal = object.createSignal(bluez::kPropertiesInterface, "PropertiesChanged");
        const std::map<std::string, sdbus::Variant> changed{
            {"Value", sdbus::Variant(std::vector<uint8_t>(value.begin(), value.end()))}};
        signal << std::string(bluez::kGattCharacteristicInterface) << changed
               << std::vector<std::string>{};
        object.emitSignal(signal);
    } catch (const sdbus::Error&) {
        return false;
    }
    return true;
}

} // namespace sorvane

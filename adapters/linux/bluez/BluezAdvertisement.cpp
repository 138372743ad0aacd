#include "adapters/linux/bluez/BluezAdvertisement.h"

#include "adapters/linux/bluez/BluezNames.h"

namespace sorvane {

BluezAdvertisement::BluezAdvertisement(sdbus::IConnection& connection, std::string path,
                                       const AdvertisementData& data,
                                       std::function<void(const std::string& sender)> onRelease)
    : m_path(std::move(path)) {
    m_object = sdbus::createObject(connection, m_path);
    sdbus::IObject* object = m_object.get();
    const char* iface = bluez::kAdvertisementInterface;
    object->registerProperty("Type").onInterface(iface).withGetter([] {
        return std::string("peripheral");
    });
    object->registerProperty("ServiceUUIDs").onInterface(iface).withGetter(
        [uuids = data.serviceUUIDs] { return uuids; });
    object->registerProperty("LocalName").onInterface(iface).withGetter(
        [name = data.localName] { return name; });
    object->registerMethod("Release")
        .onInterface(iface)
        .implementedAs([object, onRelease = std::move(onRelease)] {
            const sdbus::Message* message = object->getCurrentlyProcessedMessage();
            if (onRelease)
                onRelease(message ? message->getSender() : std::string());
        })
        .withNoReply();
    object->finishRegistration();
}

} // namespace sorvane

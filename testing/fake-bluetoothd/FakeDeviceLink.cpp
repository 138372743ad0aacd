#include "testing/fake-bluetoothd/FakeDeviceLink.h"

#include <algorithm>

namespace sorvane::fakebluez {

FakeDeviceLink::~FakeDeviceLink() {
    m_bluez.deviceSetHandler(m_id, nullptr);
    m_bluez.deviceDisconnect(m_id);
}

std::optional<phone::ReadResult> FakeDeviceLink::read(std::string_view charUUID, size_t offset) {
    return m_bluez.deviceRead(m_id, charUUID, offset, false);
}

std::optional<phone::ReadResult> FakeDeviceLink::readWithMalformedOffset(std::string_view charUUID) {
    return m_bluez.deviceRead(m_id, charUUID, 0, true);
}

std::optional<AttResult> FakeDeviceLink::write(std::string_view charUUID, ByteView value) {
    return m_bluez.deviceWrite(m_id, charUUID, value, 0);
}

std::optional<AttResult> FakeDeviceLink::writeLong(std::string_view charUUID, ByteView value) {
    const size_t piece = m_mtu - 5u; // Prepare Write carries handle and offset
    size_t offset = 0;
    do {
        const size_t length = std::min(piece, value.size() - offset);
        const auto result = m_bluez.deviceWrite(m_id, charUUID, value.subspan(offset, length), offset);
        if (!result || *result != AttResult::success)
            return result;
        offset += length;
    } while (offset < value.size());
    return AttResult::success;
}

bool FakeDeviceLink::subscribe(std::string_view charUUID) {
    return m_bluez.deviceSubscribe(m_id, charUUID, true);
}

bool FakeDeviceLink::unsubscribe(std::string_view charUUID) {
    return m_bluez.deviceSubscribe(m_id, charUUID, false);
}

void FakeDeviceLink::setNotificationHandler(NotificationHandler handler) {
    m_bluez.deviceSetHandler(m_id, std::move(handler));
}

std::shared_ptr<ByteChannel> FakeDeviceLink::openL2CAP(uint16_t psm) {
    return m_bluez.deviceOpenL2CAP(m_id, psm);
}

void FakeDeviceLink::disconnect() { m_bluez.deviceDisconnect(m_id); }

} // namespace sorvane::fakebluez

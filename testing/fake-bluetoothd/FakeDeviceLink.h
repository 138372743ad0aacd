// FakeDeviceLink: one phone's radio link through FakeBluez, as a phone::CentralLink.
// The desktop names it by its device object path
// (/org/bluez/hci0/dev_XX_XX_XX_XX_XX_XX).
//
// Thread safety: as phone::CentralLink; notifications are delivered on the fake's
// event-loop thread. Destroying the link disconnects it. After FakeBluez.restart()
// or removeAdapter() the link is dead: every operation fails.
#pragma once

#include "testing/fake-bluetoothd/FakeBluez.h"

namespace sorvane::fakebluez {

class FakeDeviceLink final : public phone::CentralLink {
public:
    ~FakeDeviceLink() override;

    std::string centralID() const override { return m_path; }
    size_t maxReadLength() const override { return m_mtu - 1u; }
    std::optional<phone::ReadResult> read(std::string_view charUUID, size_t offset) override;
    std::optional<AttResult> write(std::string_view charUUID, ByteView value) override;
    bool subscribe(std::string_view charUUID) override;
    bool unsubscribe(std::string_view charUUID) override;
    void setNotificationHandler(NotificationHandler handler) override;
    std::shared_ptr<ByteChannel> openL2CAP(uint16_t psm) override;
    void disconnect() override;

    // A long write as bluetoothd carries it out after Prepare/Execute Write: one
    // WriteValue per piece of ATT MTU - 5 bytes, each with its offset. The first
    // error ends it.
    std::optional<AttResult> writeLong(std::string_view charUUID, ByteView value);

    // Misbehaving on purpose: a ReadValue whose "offset" option is a string, which
    // no bluetoothd sends.
    std::optional<phone::ReadResult> readWithMalformedOffset(std::string_view charUUID);

    const std::string& devicePath() const { return m_path; }
    uint16_t attMTU() const { return m_mtu; }

private:
    friend class FakeBluez;
    FakeDeviceLink(FakeBluez& bluez, uint64_t id, std::string path, uint16_t mtu)
        : m_bluez(bluez), m_id(id), m_path(std::move(path)), m_mtu(mtu) {}

    FakeBluez& m_bluez;
    const uint64_t m_id;
    const std::string m_path;
    const uint16_t m_mtu;
};

} // namespace sorvane::fakebluez

// FakeBluezControl: scripting access to a FakeBluez and its simulated phone from
// other processes. It owns org.sorvane.FakeBluez on the same private bus and
// exports /org/sorvane/FakeBluez with the interface org.sorvane.FakeBluez.Control:
//
//   SetPowered(b)  Restart()  RemoveAdapter()  AddAdapter()
//   WaitForApplication(u count, u timeoutMs) -> b
//   WaitForAdvertisement(u count, u timeoutMs) -> b
//   GetApplication() -> (b present, s serviceUUID, a(sas) characteristics: uuid, flags)
//   GetAdvertisement() -> (b present, s type, as serviceUUIDs, s localName)
//   LoadPhoneIdentity(s path) -> b       a file read by loadPhoneIdentity()
//   PhoneIdentity() -> (s identityPublicKeyHex, s deviceIDHex)
//   LearnDesktop(s qrText) -> b          kept for every later connection
//   ConnectPhone(q attMTU) -> s devicePath   (0 picks 517)
//   DisconnectPhone()
//   ReadDeviceInfo() -> (b ok, s identityPublicKeyHex, s deviceIDHex, s displayName)
//   ReadPSM() -> i                       (-1: no answer)
//   Subscribe() -> b   Pair() -> b   OpenL2CAP() -> b
//   SendText(s text, s route) -> b       route "gatt" or "l2cap"
//   SendPhoneName(s name, s route) -> b
//   SendControl(y opcode) -> b
//   NextMessage(u timeoutMs) -> (b found, s kind, s text, b encrypted, s route)
//   NextControl(u timeoutMs) -> i        (-1: none)
//
// The phone is a PhoneCentral over a FakeDeviceLink; its identity (loaded, or made
// on first use) stays the same across connections. Methods that need a connected
// phone fail with org.sorvane.FakeBluez.Error.NoPhone before ConnectPhone.
//
// Thread safety: the calls run one at a time, in order, on the control's own
// worker thread and are answered when done. Construct and destroy on one thread;
// the FakeBluez must outlive the control.
#pragma once

#include "base/SerialQueue.h"
#include "base/Bytes.h"
#include "protocol/CryptoPrimitives.h"
#include "testing/fake-bluetoothd/FakeBluez.h"
#include "testing/fake-bluetoothd/FakeDeviceLink.h"
#include "testing/phone/PhoneCentral.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace sdbus {
class IConnection;
class IObject;
} // namespace sdbus

namespace sorvane::fakebluez {

inline constexpr const char* kControlService = "org.sorvane.FakeBluez";
inline constexpr const char* kControlPath = "/org/sorvane/FakeBluez";
inline constexpr const char* kControlInterface = "org.sorvane.FakeBluez.Control";

struct PhoneIdentity {
    crypto::Ed25519PrivateKey key;
    Bytes deviceID; // 16 bytes
};

// Reads a phone identity file: 64 hexadecimal digits of the Ed25519 seed,
// optionally followed (after white space) by 32 digits of the device id; without
// them the device id is the first 16 bytes of SHA-256 of the seed. Absent, with a
// log line, when the file cannot be read or holds anything else.
std::optional<PhoneIdentity> loadPhoneIdentity(const std::filesystem::path& path);

class FakeBluezControl {
public:
    struct Options {
        std::string busAddress;
        std::optional<PhoneIdentity> identity; // a fresh one when absent
        std::string desktopQR;                 // learned by every phone connection
    };

    // Throws sdbus::Error when the bus cannot be reached or the name is taken.
    FakeBluezControl(FakeBluez& bluez, Options options);
    ~FakeBluezControl();
    FakeBluezControl(const FakeBluezControl&) = delete;
    FakeBluezControl& operator=(const FakeBluezControl&) = delete;

private:
    void exportMethods();
    phone::PhoneCentral& phone();
    const PhoneIdentity& identity();

    FakeBluez& m_bluez;
    const std::string m_busAddress;

    // Worker thread only.
    std::optional<PhoneIdentity> m_identity;
    std::string m_desktopQR;
    std::unique_ptr<FakeDeviceLink> m_link;
    std::unique_ptr<phone::PhoneCentral> m_phone;

    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IObject> m_object;
    SerialQueue m_worker{"fake-phone"};
};

} // namespace sorvane::fakebluez

// Shared pieces of the BlueZ backend tests: a private dbus-daemon exported as the
// system bus with a fake bluetoothd on it, a SorvanePeripheral on the BlueZ backend
// with its events recorded, and the desktop's half of the protocol done by hand
// (pairing answer, reassembly, sealing) until the application core exists.
#pragma once

#include "ble/BleTestSupport.h"
#include "ble/SorvanePeripheral.h"
#include "adapters/linux/bluez/BluezNames.h"
#include "adapters/linux/bluez/BluezPeripheralManager.h"
#include "testing/sim/ManualMainQueue.h"
#include "protocol/ChunkFraming.h"
#include "protocol/MessageCodec.h"
#include "protocol/PairingHandshake.h"
#include "protocol/Reassembler.h"
#include "protocol/SessionKey.h"
#include "protocol/Uuids.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/test-env/LogCapture.h"
#include "testing/fake-bluetoothd/FakeBluez.h"
#include "testing/fake-bluetoothd/FakeDeviceLink.h"
#include "testing/phone/PhoneCentral.h"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace sorvane::testing {

inline std::string upper(std::string_view uuid) {
    std::string out(uuid);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

// The desktop's side of pairing and of the clipboard frames.
class DesktopSide {
public:
    DesktopSide()
        : identity(crypto::Ed25519PrivateKey::generate()), deviceID(crypto::randomBytes(16)) {}

    Bytes deviceInfo() const {
        return buildDeviceInfo(identity.publicKey().raw(), deviceID, "Test desktop with a long name");
    }
    std::string qrText() const { return buildQRPayload(deviceID, identity.publicKey()); }

    // Checks a PairingHello as the pairing flow does and returns the PairingAck;
    // the session is installed. Absent for a hello that does not verify.
    std::optional<Bytes> answerHello(ByteView hello) {
        const PairingHelloParsed parsed = parsePairingHello(hello);
        if (!parsed.identityPubEd25519.verify(parsed.signedBody, parsed.signature))
            return std::nullopt;
        const auto ephemeral = crypto::X25519PrivateKey::generate();
        const auto keys = deriveSessionKeys(ephemeral, parsed.ephemeralPubX25519, parsed.nonce);
        session = ActiveSession::fromKeys(keys.keyA, keys.keyB);
        return buildPairingAck(identity, ephemeral.publicKey(), parsed.nonce);
    }

    // Feeds one chunk written to the phone-to-desktop characteristic; returns the
    // decoded message once its frame is complete and opens.
    std::optional<SorvaneMessage> acceptChunk(ByteView data) {
        const auto chunk = parseChunk(data);
        if (!chunk)
            return std::nullopt;
        const auto frame = reassembler.push(*chunk);
        if (!frame)
            return std::nullopt;
        Bytes plain = frame->payload;
        if (frame->flags & kFlagEncrypted) {
            if (!session)
                return std::nullopt;
            plain = session->rx->decryptFrame(buildAAD(serviceUUID, charClipboardTx, chunk->frameID),
                                              frame->payload);
        }
        return decodeMessage(plain);
    }

    // A clipboard text for the phone, sealed when there is a session, as chunks
    // for the desktop-to-phone characteristic.
    std::vector<Bytes> chunksFor(std::string_view text, uint16_t frameID) {
        const Bytes message = encodeClipboardText(text);
        if (!session)
            return chunkPayload(frameID, message, kGattChunkBody, 0);
        const Bytes sealed =
            session->tx->encryptFrame(buildAAD(serviceUUID, charClipboardRx, frameID), message);
        return chunkPayload(frameID, sealed, kGattChunkBody, kFlagEncrypted);
    }

    crypto::Ed25519PrivateKey identity;
    Bytes deviceID;
    std::optional<ActiveSession> session;
    Reassembler reassembler;
};

// A phone connected through the fake, with a fresh identity and device id.
struct TestPhone {
    std::unique_ptr<fakebluez::FakeDeviceLink> link; // outlives the phone
    std::unique_ptr<phone::PhoneCentral> central;
    std::string device; // its Device1 object path: the central id the backend reports

    explicit operator bool() const { return link && central; }
    phone::PhoneCentral* operator->() const { return central.get(); }
};

// The set-up every BlueZ test shares: a private system bus (a real dbus-daemon,
// exported as DBUS_SYSTEM_BUS_ADDRESS), a fake bluetoothd on it, a
// SorvanePeripheral on the BlueZ backend with its events and L2CAP frames
// recorded, and test phones. The log capture starts first so that no line is
// missed; a daemon that does not start fails the test with an exception.
class BluezBed {
public:
    enum class Fake { started, notStarted };

    explicit BluezBed(fakebluez::FakeBluez::Options fakeOptions = {}, BluezOptions backend = withoutL2CAP(),
                      Fake fake = Fake::started)
        : m_env("DBUS_SYSTEM_BUS_ADDRESS", m_daemon.address()), m_fakeOptions(std::move(fakeOptions)),
          m_backend(std::move(backend)) {
        if (!m_daemon.running())
            throw std::runtime_error("the private dbus-daemon did not start");
        m_fakeOptions.busAddress = m_daemon.address();
        if (fake == Fake::started)
            startFake();
    }
    ~BluezBed() {
        // The peripheral (and its bus connection) goes before the fake and the daemon.
        peripheral.reset();
        bluez.reset();
    }

    // A backend whose L2CAP publication fails the same way on every machine.
    static BluezOptions withoutL2CAP() {
        BluezOptions options;
        options.openL2capServer = [](bool) {
            L2capServerResult result;
            result.error = "no L2CAP in this test";
            return result;
        };
        return options;
    }

    const std::string& busAddress() const { return m_daemon.address(); }

    // Starts the in-process fake bluetoothd (again, after `bluez.reset()`).
    void startFake() { bluez = std::make_unique<fakebluez::FakeBluez>(m_fakeOptions); }

    void startPeripheral(Bytes deviceInfo = Bytes{0xd1, 0xd2, 0xd3}) {
        peripheral = std::make_unique<SorvanePeripheral>(
            bluezPeripheralManagerFactory(m_backend), std::move(deviceInfo),
            [this](PeripheralEvent e) { events.add(std::move(e)); }, mainQueue);
        peripheral->setOnL2CAPData([this](Bytes frame) { frames.add(std::move(frame)); });
    }
    // Starts the peripheral, asks for advertising and waits until the service is
    // registered and the advertisement is up.
    void startServing(Bytes deviceInfo = Bytes{0xd1, 0xd2, 0xd3}, std::string name = "Sorvane-0a1b2c3d") {
        startPeripheral(std::move(deviceInfo));
        peripheral->startAdvertising(std::move(name));
        ASSERT_TRUE(bluez->waitForApplications(1, kWait));
        ASSERT_TRUE(bluez->waitForAdvertisements(1, kWait));
    }

    // Connects a phone to the fake with that ATT MTU (517 is what Android asks for).
    // False (check with ASSERT_TRUE) when the fake refused the connection.
    TestPhone connectPhone(uint16_t attMTU = 517) {
        TestPhone phone;
        phone.link = bluez->connectDevice(attMTU);
        if (!phone.link)
            return phone;
        phone.device = phone.link->devicePath();
        phone.central = phone::PhoneCentral::withNewIdentity(*phone.link);
        return phone;
    }

    // The object path of the registered application's characteristic; empty if none.
    std::string characteristicPath(std::string_view uuid) const {
        if (const auto app = bluez->application())
            for (const auto& c : app->characteristics)
                if (uuidEquals(c.uuid, uuid))
                    return c.path;
        return {};
    }

    LogCapture log;

private:
    DbusDaemon m_daemon;
    ScopedEnv m_env;
    fakebluez::FakeBluez::Options m_fakeOptions;
    BluezOptions m_backend;

public:
    std::unique_ptr<fakebluez::FakeBluez> bluez;
    sim::ManualMainQueue mainQueue;
    Recorder<PeripheralEvent> events;
    Recorder<Bytes> frames;
    std::unique_ptr<SorvanePeripheral> peripheral;
};

// A client of the private bus that is not bluetoothd, calling WriteValue on one of
// the registered application's characteristics the way bluetoothd would.
class StrangerClient {
public:
    StrangerClient(const BluezBed& bed, std::string_view charUUID)
        : m_connection(sdbus::createSessionBusConnectionWithAddress(bed.busAddress())),
          m_proxy(sdbus::createProxy(*m_connection, bed.bluez->application()->owner,
                                     bed.characteristicPath(charUUID))) {}

    std::string name() const { return m_connection->getUniqueName(); }
    // The D-Bus error name of the answer; empty when the write was accepted.
    std::string writeValue(const Bytes& value) {
        const bluez::Options options{
            {"device", sdbus::Variant(sdbus::ObjectPath("/org/bluez/hci0/dev_66_66_66_66_66_66"))}};
        try {
            m_proxy->callMethod("WriteValue")
                .onInterface(bluez::kGattCharacteristicInterface)
                .withArguments(value, options)
                .storeResultsTo();
            return {};
        } catch (const sdbus::Error& e) {
            return e.getName();
        }
    }

private:
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IProxy> m_proxy;
};

// Waits until the recorder holds an event that `match` accepts; returns it.
template <typename E, typename Match>
std::optional<E> waitForEvent(const Recorder<PeripheralEvent>& events, Match match,
                              std::chrono::milliseconds timeout = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (size_t seen = 0;;) {
        const auto items = events.items();
        for (; seen < items.size(); ++seen)
            if (const auto* e = std::get_if<E>(&items[seen].value); e && match(*e))
                return *e;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !events.waitForSize(seen + 1, left))
            return std::nullopt;
    }
}

// Runs `pair` (the phone's side, which waits for the ack) on another thread and
// answers the PairingHello that `device` writes as the desktop does; true once
// the phone has paired.
template <typename Pair>
bool pairAsDesktop(BluezBed& bed, DesktopSide& desktop, const std::string& device, Pair pair) {
    using W = PeripheralEvent::Write;
    auto paired = std::async(std::launch::async, std::move(pair));
    const auto hello =
        waitForEvent<W>(bed.events, [](const W& w) { return w.charUUID == upper(charPairing); });
    if (!hello)
        return false;
    EXPECT_EQ(hello->centralID, device);
    EXPECT_EQ(hello->data.size(), kPairingHelloSize);
    const auto ack =
        hello->data.size() == kPairingHelloSize ? desktop.answerHello(hello->data) : std::nullopt;
    if (!ack)
        return false;
    bed.peripheral->notify(std::string(charPairing), *ack);
    return paired.get();
}

} // namespace sorvane::testing

// The real sorvane-fake-bluetoothd executable as a separate process, scripted
// through its control interface, against SorvanePeripheral on the BlueZ backend.
#include "base/Hex.h"
#include "bluez/BluezTestSupport.h"
#include "testing/child-process/ChildProcess.h"
#include "testing/fake-bluetoothd/FakeBluezControl.h"
#include "testing/test-env/TempDir.h"

#include <sdbus-c++/sdbus-c++.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>

namespace sorvane::testing {
namespace {

using W = PeripheralEvent::Write;
using fakebluez::kControlInterface;
using namespace std::chrono_literals;

// The fake bluetoothd as a separate process, its standard output piped back.
ChildProcess startFake(const std::vector<std::string>& args, EnvChanges env = {}) {
    std::vector<std::string> argv{SORVANE_FAKE_BLUETOOTHD};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess::Options options;
    options.env = std::move(env);
    options.outputFd = STDOUT_FILENO;
    return ChildProcess(argv, options);
}
constexpr const char* kReady = "fake-bluetoothd: ready";

// One call on the fake's control interface: the arguments in, the results (of
// the types asked for) out.
template <typename... Out, typename... In>
std::tuple<Out...> control(sdbus::IProxy& proxy, const std::string& method, const In&... in) {
    auto invoker = proxy.callMethod(method);
    invoker.onInterface(kControlInterface);
    invoker.withArguments(in...);
    std::tuple<Out...> out;
    std::apply([&](auto&... results) { invoker.storeResultsTo(results...); }, out);
    return out;
}
// A call answered with a single yes or no.
template <typename... In>
bool controlOk(sdbus::IProxy& proxy, const std::string& method, const In&... in) {
    return std::get<0>(control<bool>(proxy, method, in...));
}

TEST(FakeBluetoothdProcess, DrivesAWholeSessionThroughItsControlInterface) {
    // The fake bluetoothd is the separate process here, not the bed's.
    BluezBed bed(fakebluez::FakeBluez::Options{}, BluezBed::withoutL2CAP(), BluezBed::Fake::notStarted);
    DesktopSide desktop;

    // The phone's identity comes from a file, as a later test pre-pairs it.
    const auto phoneKey = crypto::Ed25519PrivateKey::generate();
    const Bytes phoneID = crypto::randomBytes(16);
    TempDir dir;
    const auto identityFile = dir.path() / "phone.identity";
    std::ofstream(identityFile) << Hex::encode(phoneKey.raw()) << "\n" << Hex::encode(phoneID) << "\n";

    ChildProcess fake = startFake({"--bus", bed.busAddress(), "--phone-identity", identityFile.string(),
                                   "--desktop-qr", desktop.qrText()});
    ASSERT_TRUE(fake.waitForLine(kReady, 10s));

    bed.startPeripheral(desktop.deviceInfo());
    bed.peripheral->startAdvertising("Sorvane-cafe0001");

    auto connection = sdbus::createSessionBusConnectionWithAddress(bed.busAddress());
    auto proxy = sdbus::createProxy(*connection, fakebluez::kControlService, fakebluez::kControlPath);

    ASSERT_TRUE(controlOk(*proxy, "WaitForApplication", 1u, 5000u));
    ASSERT_TRUE(controlOk(*proxy, "WaitForAdvertisement", 1u, 5000u));
    const auto [present, type, uuids, name] =
        control<bool, std::string, std::vector<std::string>, std::string>(*proxy,
                                                                          "GetAdvertisement");
    EXPECT_TRUE(present);
    EXPECT_EQ(type, "peripheral");
    EXPECT_EQ(name, "Sorvane-cafe0001");

    const auto [pubHex, idHex] = control<std::string, std::string>(*proxy, "PhoneIdentity");
    EXPECT_EQ(pubHex, Hex::encode(phoneKey.publicKey().raw()));
    EXPECT_EQ(idHex, Hex::encode(phoneID));

    const std::string device =
        std::get<0>(control<std::string>(*proxy, "ConnectPhone", uint16_t{0}));
    EXPECT_EQ(device.rfind("/org/bluez/hci0/dev_", 0), 0u);
    const auto [infoRead, infoKey, infoID, infoName] =
        control<bool, std::string, std::string, std::string>(*proxy, "ReadDeviceInfo");
    ASSERT_TRUE(infoRead);
    EXPECT_EQ(infoKey, Hex::encode(desktop.identity.publicKey().raw()));
    EXPECT_EQ(infoID, Hex::encode(desktop.deviceID));
    EXPECT_EQ(infoName, "Test desktop with a long name");
    EXPECT_EQ(std::get<0>(control<int32_t>(*proxy, "ReadPSM")), 0);
    ASSERT_TRUE(controlOk(*proxy, "Subscribe"));

    // Pair waits for the desktop's ack: call it from another connection meanwhile.
    ASSERT_TRUE(pairAsDesktop(bed, desktop, device, [&] {
        auto own = sdbus::createSessionBusConnectionWithAddress(bed.busAddress());
        return controlOk(
            *sdbus::createProxy(*own, fakebluez::kControlService, fakebluez::kControlPath), "Pair");
    }));

    const std::string text = "sent by the phone process " + std::string(450, 'p');
    ASSERT_TRUE(controlOk(*proxy, "SendText", text, std::string("gatt")));
    std::optional<SorvaneMessage> received;
    ASSERT_TRUE(waitForEvent<W>(bed.events, [&](const W& w) {
        return w.charUUID == upper(charClipboardTx) && (received = desktop.acceptChunk(w.data));
    }));
    EXPECT_EQ(received, (SorvaneMessage{SorvaneMessage::ClipboardText{text}}));

    const std::string reply = "sent by the desktop " + std::string(300, 'd');
    for (const auto& chunk : desktop.chunksFor(reply, 7))
        bed.peripheral->notify(std::string(charClipboardRx), chunk);
    const auto [found, kind, got, encrypted, route] =
        control<bool, std::string, std::string, bool, std::string>(*proxy, "NextMessage", 5000u);
    ASSERT_TRUE(found);
    EXPECT_EQ(kind, "clipboardText");
    EXPECT_EQ(got, reply);
    EXPECT_TRUE(encrypted);
    EXPECT_EQ(route, "gatt");

    // Power and restarts, scripted from here.
    bed.events.clear();
    control(*proxy, "SetPowered", false);
    EXPECT_TRUE(waitForEvent<PeripheralEvent::PoweredOff>(bed.events, [](const auto&) { return true; }));
    control(*proxy, "SetPowered", true);
    EXPECT_TRUE(controlOk(*proxy, "WaitForApplication", 2u, 5000u));
    control(*proxy, "Restart");
    EXPECT_TRUE(controlOk(*proxy, "WaitForApplication", 3u, 5000u));
    // The phone went with the old daemon.
    try {
        control<int32_t>(*proxy, "ReadPSM");
        ADD_FAILURE() << "ReadPSM answered without a phone";
    } catch (const sdbus::Error& e) {
        EXPECT_EQ(e.getName(), "org.sorvane.FakeBluez.Error.NoPhone");
    }

    bed.peripheral.reset();
    proxy.reset();
    connection.reset();
    EXPECT_EQ(fake.killAndWait(SIGTERM), 0);
}

TEST(FakeBluetoothdProcess, RefusesToStartWithoutAPrivateBusOrWithABadIdentity) {
    TempDir dir;
    const auto bad = dir.path() / "phone.identity";
    std::ofstream(bad) << "not hex at all\n";

    // Never the machine's own system bus: without an address it will not start.
    ChildProcess noBus = startFake({}, {{"DBUS_SYSTEM_BUS_ADDRESS", std::nullopt}});
    EXPECT_FALSE(noBus.waitForLine(kReady, 10s));
    EXPECT_EQ(noBus.killAndWait(SIGTERM), 2);

    DbusDaemon daemon;
    ASSERT_TRUE(daemon.running());
    ChildProcess badIdentity = startFake({"--bus", daemon.address(), "--phone-identity", bad.string()});
    EXPECT_FALSE(badIdentity.waitForLine(kReady, 10s));
    EXPECT_EQ(badIdentity.killAndWait(SIGTERM), 1);
}

} // namespace
} // namespace sorvane::testing

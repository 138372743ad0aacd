// The real sorvane-fake-bluetoothd executable as a separate process, scripted
// through its control interface, against SorvanePeripheral on the BlueZ backend.
#include "bluez/BluezTestSupport.h"
#include "base/Hex.h"
#include "testing/child-process/ChildProcess.h"
#include "testing/fake-bluetoothd/FakeBluezControl.h"

#include <sdbus-c++/sdbus-c++.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

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

// One call on the fake's control interface: arguments in, results out.
template <typename... In, typename... Out>
void control(sdbus::IProxy& proxy, const std::string& method, std::tuple<In...> in, Out&... out) {
    auto invoker = proxy.callMethod(method);
    invoker.onInterface(kControlInterface);
    std::apply([&](const auto&... args) { invoker.withArguments(args...); }, in);
    invoker.storeResultsTo(out...);
}

TEST(FakeBluetoothdProcess, DrivesAWholeSessionThroughItsControlInterface) {
    // The fake bluetoothd is the separate process here, not the bed's.
    BluezBed bed(fakebluez::FakeBluez::Options{}, BluezBed::withoutL2CAP(), BluezBed::Fake::notStarted);
    ASSERT_TRUE(bed.busRunning());
    DesktopSide desktop;

    // The phone's identity comes from a file, as a later test pre-pairs it.
    const auto phoneKey = crypto::Ed25519PrivateKey::generate();
    const Bytes phoneID = crypto::randomBytes(16);
    const auto dir = std::filesystem::temp_directory_path() /
                     ("sorvane-fake-bluetoothd-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto identityFile = dir / "phone.identity";
    std::ofstream(identityFile) << Hex::encode(phoneKey.raw()) << "\n" << Hex::encode(phoneID) << "\n";

    ChildProcess fake = startFake({"--bus", bed.busAddress(), "--phone-identity", identityFile.string(),
                                   "--desktop-qr", desktop.qrText()});
    ASSERT_TRUE(fake.waitForLine(kReady, 10s));

    bed.startPeripheral(desktop.deviceInfo());
    bed.peripheral->startAdvertising("Sorvane-cafe0001");

    auto connection = sdbus::createSessionBusConnectionWithAddress(bed.busAddress());
    auto proxy = sdbus::createProxy(*connection, fakebluez::kControlService, fakebluez::kControlPath);

    bool ok = false;
    control(*proxy, "WaitForApplication", std::tuple{uint32_t{1}, uint32_t{5000}}, ok);
    ASSERT_TRUE(ok);
    control(*proxy, "WaitForAdvertisement", std::tuple{uint32_t{1}, uint32_t{5000}}, ok);
    ASSERT_TRUE(ok);
    bool present = false;
    std::string type, name;
    std::vector<std::string> uuids;
    control(*proxy, "GetAdvertisement", std::tuple{}, present, type, uuids, name);
    EXPECT_TRUE(present);
    EXPECT_EQ(type, "peripheral");
    EXPECT_EQ(name, "Sorvane-cafe0001");

    std::string pubHex, idHex;
    control(*proxy, "PhoneIdentity", std::tuple{}, pubHex, idHex);
    EXPECT_EQ(pubHex, Hex::encode(phoneKey.publicKey().raw()));
    EXPECT_EQ(idHex, Hex::encode(phoneID));

    std::string device;
    control(*proxy, "ConnectPhone", std::tuple{uint16_t{0}}, device);
    EXPECT_EQ(device.rfind("/org/bluez/hci0/dev_", 0), 0u);
    std::string infoKey, infoID, infoName;
    control(*proxy, "ReadDeviceInfo", std::tuple{}, ok, infoKey, infoID, infoName);
    ASSERT_TRUE(ok);
    EXPECT_EQ(infoKey, Hex::encode(desktop.identity.publicKey().raw()));
    EXPECT_EQ(infoID, Hex::encode(desktop.deviceID));
    EXPECT_EQ(infoName, "Test desktop with a long name");
    int32_t psm = -2;
    control(*proxy, "ReadPSM", std::tuple{}, psm);
    EXPECT_EQ(psm, 0);
    control(*proxy, "Subscribe", std::tuple{}, ok);
    ASSERT_TRUE(ok);

    // Pair waits for the desktop's ack: call it from another connection meanwhile.
    auto paired = std::async(std::launch::async, [&] {
        auto own = sdbus::createSessionBusConnectionWithAddress(bed.busAddress());
        auto pairing = sdbus::createProxy(*own, fakebluez::kControlService, fakebluez::kControlPath);
        bool result = false;
        control(*pairing, "Pair", std::tuple{}, result);
        return result;
    });
    const auto hello = waitForEvent<W>(bed.events, [](const W& w) { return w.charUUID == upper(charPairing); });
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->centralID, device);
    const auto ack = desktop.answerHello(hello->data);
    ASSERT_TRUE(ack);
    bed.peripheral->notify(std::string(charPairing), *ack);
    ASSERT_TRUE(paired.get());

    const std::string text = "sent by the phone process " + std::string(450, 'p');
    control(*proxy, "SendText", std::tuple{text, std::string("gatt")}, ok);
    ASSERT_TRUE(ok);
    std::optional<SorvaneMessage> received;
    ASSERT_TRUE(waitForEvent<W>(bed.events, [&](const W& w) {
        return w.charUUID == upper(charClipboardTx) && (received = desktop.acceptChunk(w.data));
    }));
    EXPECT_EQ(received, (SorvaneMessage{SorvaneMessage::ClipboardText{text}}));

    const std::string reply = "sent by the desktop " + std::string(300, 'd');
    for (const auto& chunk : desktop.chunksFor(reply, 7))
        bed.peripheral->notify(std::string(charClipboardRx), chunk);
    bool found = false, encrypted = false;
    std::string kind, got, route;
    control(*proxy, "NextMessage", std::tuple{uint32_t{5000}}, found, kind, got, encrypted, route);
    ASSERT_TRUE(found);
    EXPECT_EQ(kind, "clipboardText");
    EXPECT_EQ(got, reply);
    EXPECT_TRUE(encrypted);
    EXPECT_EQ(route, "gatt");

    // Power and restarts, scripted from here.
    bed.events.clear();
    control(*proxy, "SetPowered", std::tuple{false});
    EXPECT_TRUE(waitForEvent<PeripheralEvent::PoweredOff>(bed.events, [](const auto&) { return true; }));
    control(*proxy, "SetPowered", std::tuple{true});
    control(*proxy, "WaitForApplication", std::tuple{uint32_t{2}, uint32_t{5000}}, ok);
    EXPECT_TRUE(ok);
    control(*proxy, "Restart", std::tuple{});
    control(*proxy, "WaitForApplication", std::tuple{uint32_t{3}, uint32_t{5000}}, ok);
    EXPECT_TRUE(ok);
    // The phone went with the old daemon.
    try {
        control(*proxy, "ReadPSM", std::tuple{}, psm);
        ADD_FAILURE() << "ReadPSM answered without a phone";
    } catch (const sdbus::Error& e) {
        EXPECT_EQ(e.getName(), "org.sorvane.FakeBluez.Error.NoPhone");
    }

    bed.peripheral.reset();
    proxy.reset();
    connection.reset();
    EXPECT_EQ(fake.killAndWait(SIGTERM), 0);
    std::filesystem::remove_all(dir);
}

TEST(FakeBluetoothdProcess, RefusesToStartWithoutAPrivateBusOrWithABadIdentity) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("sorvane-fake-bluetoothd-bad-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto bad = dir / "phone.identity";
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
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace sorvane::testing

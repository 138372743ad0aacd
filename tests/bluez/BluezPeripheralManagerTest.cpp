// The BlueZ backend under SorvanePeripheral, against a fake bluetoothd on a real
// (private) dbus-daemon.
#include "bluez/BluezTestSupport.h"
#include "adapters/linux/bluez/BluezNames.h"
#include "adapters/linux/bluez/BluezRefusalLog.h"
#include "adapters/linux/bluez/KernelL2cap.h"
#include "testing/fake-bluetoothd/UnixL2cap.h"
#include "testing/test-env/ManualClock.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <functional>

namespace sorvane::testing {
namespace {

using fakebluez::FakeBluez;

TEST(BluezBackend, RegistersTheServiceAndAdvertisesTheNameAskedForEarly) {
    BluezBed bed;
    bed.startServing(Bytes{1, 2, 3}, "Sorvane-0a1b2c3d");

    const auto app = bed.bluez->application();
    ASSERT_TRUE(app);
    EXPECT_TRUE(uuidEquals(app->serviceUUID, serviceUUID));
    EXPECT_TRUE(app->primary);
    // The characteristics in object path order, each with its flags.
    const std::pair<std::string_view, std::vector<std::string>> characteristics[] = {
        {charDeviceInfo, {"read"}},         {charPairing, {"write", "notify"}},
        {charClipboardTx, {"write"}},       {charClipboardRx, {"notify"}},
        {charControl, {"write", "notify"}}, {charL2capPsm, {"read"}}};
    ASSERT_EQ(app->characteristics.size(), std::size(characteristics));
    for (size_t i = 0; i < std::size(characteristics); ++i) {
        EXPECT_TRUE(uuidEquals(app->characteristics[i].uuid, characteristics[i].first)) << i;
        EXPECT_EQ(app->characteristics[i].flags, characteristics[i].second)
            << characteristics[i].first;
    }

    const auto ad = bed.bluez->advertisement();
    ASSERT_TRUE(ad);
    EXPECT_EQ(ad->type, "peripheral");
    ASSERT_EQ(ad->serviceUUIDs.size(), 1u);
    EXPECT_TRUE(uuidEquals(ad->serviceUUIDs[0], serviceUUID));
    EXPECT_EQ(ad->localName, "Sorvane-0a1b2c3d");
    EXPECT_EQ(ad->owner, app->owner);

    EXPECT_TRUE(bed.log.waitFor("Sorvane L2CAP: publish failed: no L2CAP in this test"));
    EXPECT_TRUE(bed.log.contains("Sorvane BLE: using adapter /org/bluez/hci0"));
    EXPECT_FALSE(bed.log.contains("not powered on")); // the first report is poweredOn

    // Shutting down unregisters both (or bluetoothd drops them with the connection).
    bed.peripheral->shutdown();
    EXPECT_TRUE(bed.bluez->waitFor([&] { return !bed.bluez->application() && !bed.bluez->advertisement(); },
                                   kWait));
}

TEST(BluezBackend, ReadsAnswerPieceByPieceAndWithBluezErrors) {
    BluezBed bed;
    DesktopSide desktop;
    const Bytes info = desktop.deviceInfo();
    ASSERT_GT(info.size(), 3 * 22u); // several pieces at ATT MTU 23
    bed.startServing(info);

    auto phone = bed.connectPhone(23);
    ASSERT_TRUE(phone);
    ASSERT_EQ(phone.link->maxReadLength(), 22u);

    // An offset option that is no uint16 is logged and refused (InvalidArguments);
    // the reads that follow are answered all the same.
    const auto malformed = phone.link->readWithMalformedOffset(charDeviceInfo);
    ASSERT_TRUE(malformed);
    EXPECT_EQ(malformed->result, AttResult::unlikelyError);
    EXPECT_TRUE(
        bed.log.waitFor("Sorvane BLE: ReadValue dropped: the offset option is not a uint16"));

    // The long read goes through ReadValue with the offset option.
    const auto parsed = phone->readDeviceInfo();
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->deviceID, desktop.deviceID);
    EXPECT_EQ(parsed->displayName, "Test desktop with a long name");

    // At the end; past it (org.bluez.Error.InvalidOffset); the PSM with nothing
    // published; a characteristic without read (org.bluez.Error.NotPermitted).
    struct Read {
        std::string_view uuid;
        size_t offset;
        AttResult result;
        Bytes value;
    };
    const Read reads[] = {
        {charDeviceInfo, info.size(), AttResult::success, {}},
        {charDeviceInfo, info.size() + 1, AttResult::invalidOffset, {}},
        {charL2capPsm, 0, AttResult::success, {0x00, 0x00}},
        {charClipboardRx, 0, AttResult::readNotPermitted, {}},
    };
    for (const Read& r : reads) {
        const auto answer = phone.link->read(r.uuid, r.offset);
        ASSERT_TRUE(answer) << r.uuid;
        EXPECT_EQ(answer->result, r.result) << r.uuid << " at " << r.offset;
        EXPECT_EQ(answer->value, r.value) << r.uuid << " at " << r.offset;
    }
    EXPECT_EQ(phone->readPSM(), uint16_t{0});
}

TEST(BluezBackend, WritesArriveInOrderFromTheDeviceAndAreEachAnswered) {
    BluezBed bed;
    bed.startServing();
    auto phone = bed.connectPhone(23);
    ASSERT_TRUE(phone);
    const std::string device = phone.device;
    EXPECT_EQ(device.rfind("/org/bluez/hci0/dev_", 0), 0u);

    EXPECT_EQ(phone.link->write(charClipboardTx, Bytes{1, 2, 3}), AttResult::success);
    EXPECT_EQ(phone.link->write(charControl, Bytes{0x31}), AttResult::success);
    // A long write: bluetoothd hands the pieces over one WriteValue at a time,
    // each with its offset.
    Bytes longValue(50);
    for (size_t i = 0; i < longValue.size(); ++i)
        longValue[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(phone.link->writeLong(charPairing, longValue), AttResult::success);

    ASSERT_TRUE(bed.events.waitForSize(5));
    const auto events = bed.events.items();
    ASSERT_EQ(events.size(), 5u);
    using W = PeripheralEvent::Write;
    EXPECT_EQ(events[0], (PeripheralEvent{W{device, upper(charClipboardTx), Bytes{1, 2, 3}}}));
    EXPECT_EQ(events[1], (PeripheralEvent{W{device, upper(charControl), Bytes{0x31}}}));
    Bytes joined;
    for (size_t i = 2; i < 5; ++i) {
        const auto* w = std::get_if<W>(&events[i].value);
        ASSERT_TRUE(w);
        EXPECT_EQ(w->centralID, device);
        EXPECT_EQ(w->charUUID, upper(charPairing));
        EXPECT_LE(w->data.size(), 18u);
        joined.insert(joined.end(), w->data.begin(), w->data.end());
    }
    EXPECT_EQ(joined, longValue);
}

TEST(BluezBackend, NotificationsReachTheSubscribedPhoneAndDisconnectionIsReported) {
    BluezBed bed;
    bed.startServing();

    // Nobody subscribed: updateValue refuses and the peripheral logs the drop.
    bed.peripheral->notify(std::string(charControl), Bytes{0x32});
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: updateValue returned false on " + std::string(charControl)));

    auto phone = bed.connectPhone();
    ASSERT_TRUE(phone);
    const std::string device = phone.device;
    ASSERT_TRUE(phone->subscribe());
    for (const auto uuid : {charPairing, charClipboardRx, charControl})
        EXPECT_TRUE(waitForEvent<PeripheralEvent::Subscribed>(bed.events, [&](const auto& e) {
            return e.centralID == device && e.charUUID == upper(uuid);
        })) << uuid;

    bed.peripheral->notify(std::string(charControl), Bytes{0x32});
    EXPECT_EQ(phone->nextControl(kWait), uint8_t{0x32});

    // A notification for a UUID outside the table is dropped by the peripheral.
    bed.peripheral->notify("6e70c0ff-b3a8-4f9e-9a3d-8c6b1c9d0e01", Bytes{1});
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: notify dropped — no characteristic for 6e70c0ff"));

    // Connected turning false is the phone leaving.
    phone.link->disconnect();
    EXPECT_TRUE(waitForEvent<PeripheralEvent::CentralDisconnected>(
        bed.events, [&](const auto& e) { return e.centralID == device; }));
    bed.log.clear();
    bed.peripheral->notify(std::string(charControl), Bytes{0x32});
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: updateValue returned false"));
}

// The adapter powered off or pulled out: the peripheral reports powered off,
// the registrations go with the old manager's connection, and once the adapter
// is back the service and the advertisement (with its name) are registered anew.
TEST(BluezBackend, AdapterOffOrGoneIsPoweredOffUntilItReturns) {
    struct Case {
        const char* what;
        std::function<void(FakeBluez&)> off, on;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {"power",
         [](FakeBluez& b) { b.setPowered(false); },
         [](FakeBluez& b) { b.setPowered(true); },
         {"Sorvane BLE: peripheral state = 4 (not powered on)",
          "Sorvane BLE: rebuilding CBPeripheralManager after BT power cycle"}},
        {"removal",
         [](FakeBluez& b) { b.removeAdapter(); },
         [](FakeBluez& b) { b.addAdapter(); },
         {"Sorvane BLE: adapter /org/bluez/hci0 is gone"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BluezBed bed;
        bed.startServing({}, "Sorvane-feedf00d");
        auto phone = bed.connectPhone();
        ASSERT_TRUE(phone);
        ASSERT_TRUE(phone->subscribe());
        bed.events.clear();

        c.off(*bed.bluez);
        EXPECT_TRUE(waitForEvent<PeripheralEvent::PoweredOff>(bed.events,
                                                              [](const auto&) { return true; }));
        for (const auto& line : c.logged)
            EXPECT_TRUE(bed.log.waitFor(line));
        EXPECT_TRUE(bed.bluez->waitFor([&] { return !bed.bluez->application(); }, kWait));

        c.on(*bed.bluez);
        EXPECT_TRUE(bed.bluez->waitForApplications(2, kWait));
        ASSERT_TRUE(bed.bluez->waitForAdvertisements(2, kWait));
        EXPECT_EQ(bed.bluez->advertisement()->localName, "Sorvane-feedf00d");
    }
}

TEST(BluezBackend, BluetoothdRestartingBringsTheServiceBack) {
    BluezBed bed;
    DesktopSide desktop;
    bed.startServing(desktop.deviceInfo(), "Sorvane-12345678");
    const std::string firstOwner = bed.bluez->application()->owner;
    bed.events.clear();

    bed.bluez->restart();
    EXPECT_TRUE(waitForEvent<PeripheralEvent::PoweredOff>(bed.events, [](const auto&) { return true; }));
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: bluetoothd left the bus"));
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: peripheral state = 1 (not powered on)"));
    ASSERT_TRUE(bed.bluez->waitForApplications(2, kWait));
    ASSERT_TRUE(bed.bluez->waitForAdvertisements(2, kWait));
    EXPECT_EQ(bed.bluez->application()->owner, firstOwner); // the same manager, registered anew
    EXPECT_EQ(bed.bluez->advertisement()->localName, "Sorvane-12345678");

    auto phone = bed.connectPhone(23);
    ASSERT_TRUE(phone);
    const auto info = phone->readDeviceInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->deviceID, desktop.deviceID);
}

TEST(BluezBackend, WaitsForBluetoothdToAppear) {
    // No fake yet when the peripheral looks: nobody owns org.bluez.
    BluezBed bed(FakeBluez::Options{}, BluezBed::withoutL2CAP(), BluezBed::Fake::notStarted);
    bed.startPeripheral();
    bed.peripheral->startAdvertising("Sorvane-00000000");
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: peripheral state = 1 (not powered on)"));

    bed.startFake();
    EXPECT_TRUE(bed.bluez->waitForApplications(1, kWait));
    EXPECT_TRUE(bed.bluez->waitForAdvertisements(1, kWait));
}

TEST(BluezBackend, AnUnreachableSystemBusIsUnsupported) {
    LogCapture log;
    ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/sorvane-test-bus");
    sim::ManualMainQueue mainQueue;
    Recorder<PeripheralEvent> events;
    SorvanePeripheral peripheral(bluezPeripheralManagerFactory(), Bytes{1},
                                 [&](PeripheralEvent e) { events.add(std::move(e)); }, mainQueue);
    EXPECT_TRUE(log.waitFor("Sorvane BLE: peripheral state = 2 (not powered on)"));
    EXPECT_TRUE(log.contains("Sorvane BLE: cannot reach the system bus: "));
    EXPECT_TRUE(waitForEvent<PeripheralEvent::PoweredOff>(events, [](const auto&) { return true; }));
}

TEST(BluezBackend, AFloodOfRefusedCallsIsLoggedBrieflyAndCounted) {
    ManualClock time;
    BluezOptions backend = BluezBed::withoutL2CAP();
    backend.clock = time.fn();
    BluezBed bed(FakeBluez::Options{}, backend);
    bed.startServing();
    auto phone = bed.connectPhone();
    ASSERT_TRUE(phone);
    // Two strangers on the bus. Each refusal is logged (or counted) before it is
    // answered, so the log is complete once the calls have returned.
    StrangerClient a(bed, charClipboardTx), b(bed, charClipboardTx);
    const auto flood = [](StrangerClient& from, int calls) {
        int denied = 0;
        for (int i = 0; i < calls; ++i)
            denied += from.writeValue(Bytes{0x31}) == bluez::kErrorAccessDenied ? 1 : 0;
        return denied;
    };
    const auto phoneWrites = [&](uint8_t byte) {
        bed.events.clear();
        EXPECT_EQ(phone.link->write(charControl, Bytes{byte}), AttResult::success);
        ASSERT_TRUE(bed.events.waitForSize(1));
        EXPECT_EQ(bed.events.items()[0],
                  (PeripheralEvent{PeripheralEvent::Write{phone.link->devicePath(), upper(charControl), Bytes{byte}}}));
    };
    const std::string refusedA = "Sorvane BLE: refused WriteValue from " + a.name() + " (not bluetoothd)";

    // A burst: every call is refused and none reaches the delegate; only the
    // first few are logged.
    EXPECT_EQ(flood(a, 300), 300);
    EXPECT_EQ(flood(b, 3), 3);
    EXPECT_EQ(bed.log.count(refusedA), 5u);
    EXPECT_EQ(bed.log.count("Sorvane BLE: refused "), 5u);
    EXPECT_EQ(countOf<PeripheralEvent::Write>(bed.events.items()), 0u);

    // bluetoothd's calls go on reaching the delegate meanwhile; the window is
    // still open, so nothing more is logged.
    phoneWrites(0x33);
    EXPECT_EQ(bed.log.count("Sorvane BLE: refused "), 5u);

    // Once the window has passed, the next call brings the count of the rest.
    time.advance(BluezRefusalLog::kWindow + std::chrono::seconds(1));
    phoneWrites(0x34);
    EXPECT_EQ(bed.log.count("Sorvane BLE: refused 298 more calls from " + a.name() +
                            " and other callers (not bluetoothd)"),
              1u);
    EXPECT_EQ(bed.log.count("Sorvane BLE: refused "), 6u);

    // A new window logs a few again; a burst still running when the manager goes
    // is counted then.
    EXPECT_EQ(flood(a, 9), 9);
    EXPECT_EQ(bed.log.count(refusedA), 10u);
    bed.peripheral->shutdown();
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: refused 4 more calls from " + a.name() + " (not bluetoothd)"));
    EXPECT_EQ(bed.log.count("Sorvane BLE: refused "), 12u);
}

// ---- L2CAP

TEST(BluezBackend, PublishedChannelIsHandedOverAndCarriesFramesBothWays) {
    UnixL2cap l2cap;
    FakeBluez::Options fake;
    fake.openL2CAP = l2cap.connector();
    BluezOptions backend;
    backend.openL2capServer = l2cap.opener();
    BluezBed bed(fake, backend);
    bed.startServing();
    ASSERT_TRUE(bed.log.waitFor("Sorvane L2CAP: published PSM 129"));

    auto phone = bed.connectPhone();
    ASSERT_TRUE(phone);
    const auto psm = phone.link->read(charL2capPsm, 0);
    ASSERT_TRUE(psm);
    EXPECT_EQ(psm->value, (Bytes{0x00, 0x81}));

    ASSERT_TRUE(phone->openL2CAP());
    ASSERT_TRUE(bed.log.waitFor("Sorvane L2CAP: channel opened"));
    // A text longer than one SDU (64 bytes here) crosses as several.
    const std::string text(300, 'x');
    ASSERT_TRUE(phone->sendClipboardText(text, phone::Route::l2cap));
    ASSERT_TRUE(bed.frames.waitForSize(1));
    const Bytes first = bed.frames.items()[0];
    const auto frame = parseL2CAPFrame(first);
    ASSERT_TRUE(frame);
    EXPECT_EQ(decodeMessage(frame->payload),
              (SorvaneMessage{SorvaneMessage::ClipboardText{text}}));

    const Bytes back = buildL2CAPFrame(0, 9, encodeClipboardText("from the desktop"));
    EXPECT_TRUE(bed.peripheral->sendL2CAP(back));
    const auto inbound = phone->nextMessage(kWait);
    ASSERT_TRUE(inbound);
    EXPECT_EQ(inbound->route, phone::Route::l2cap);
    EXPECT_EQ(inbound->message, (SorvaneMessage{SorvaneMessage::ClipboardText{"from the desktop"}}));

    // Publishing again (after bluetoothd came back, say) keeps the same listener.
    bed.bluez->restart();
    ASSERT_TRUE(bed.bluez->waitForApplications(2, kWait));
    EXPECT_TRUE(bed.log.waitFor("Sorvane L2CAP: published PSM 129"));
}

TEST(BluezBackend, KernelPublicationSaysPlainlyWhenThereAreNoBluetoothSockets) {
    const int probe = ::socket(31 /* AF_BLUETOOTH */, SOCK_SEQPACKET, 0);
    if (probe >= 0) {
        ::close(probe);
        GTEST_SKIP() << "this machine has Bluetooth sockets";
    }
    ASSERT_EQ(errno, EAFNOSUPPORT);
    const L2capServerResult result = openKernelL2capServer(false);
    EXPECT_FALSE(result.server.socket.valid());
    EXPECT_EQ(result.error, "this system has no Bluetooth L2CAP sockets (socket(AF_BLUETOOTH): "
                            "Address family not supported by protocol)");

    // Through the whole stack: the peripheral logs the reason and GATT carries on.
    BluezBed bed(FakeBluez::Options{}, BluezOptions{});
    bed.startServing();
    EXPECT_TRUE(bed.log.waitFor("Sorvane L2CAP: publish failed: this system has no Bluetooth L2CAP sockets"));
}

} // namespace
} // namespace sorvane::testing

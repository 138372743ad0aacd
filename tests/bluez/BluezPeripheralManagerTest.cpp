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

namespace sorvane::testing {
namespace {

using fakebluez::FakeBluez;

std::vector<std::string> flagsOf(const FakeBluez::Application& app, std::string_view uuid) {
    for (const auto& c : app.characteristics)
        if (uuidEquals(c.uuid, uuid))
            return c.flags;
    return {"<missing>"};
}

TEST(BluezBackend, RegistersTheServiceAndAdvertisesTheNameAskedForEarly) {
    BluezBed bed;
    ASSERT_TRUE(bed.busRunning());
    bed.startServing(Bytes{1, 2, 3}, "Sorvane-0a1b2c3d");

    const auto app = bed.bluez->application();
    ASSERT_TRUE(app);
    EXPECT_TRUE(uuidEquals(app->serviceUUID, serviceUUID));
    EXPECT_TRUE(app->primary);
    ASSERT_EQ(app->characteristics.size(), 6u);
    const std::vector<std::string_view> order{charDeviceInfo, charPairing, charClipboardTx,
                                              charClipboardRx, charControl, charL2capPsm};
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_TRUE(uuidEquals(app->characteristics[i].uuid, order[i])) << i;
    using Flags = std::vector<std::string>;
    EXPECT_EQ(flagsOf(*app, charDeviceInfo), (Flags{"read"}));
    EXPECT_EQ(flagsOf(*app, charPairing), (Flags{"write", "notify"}));
    EXPECT_EQ(flagsOf(*app, charClipboardTx), (Flags{"write"}));
    EXPECT_EQ(flagsOf(*app, charClipboardRx), (Flags{"notify"}));
    EXPECT_EQ(flagsOf(*app, charControl), (Flags{"write", "notify"}));
    EXPECT_EQ(flagsOf(*app, charL2capPsm), (Flags{"read"}));

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
    ASSERT_TRUE(bed.busRunning());
    DesktopSide desktop;
    const Bytes info = desktop.deviceInfo();
    ASSERT_GT(info.size(), 3 * 22u); // several pieces at ATT MTU 23
    bed.startServing(info);

    auto phone = bed.connectPhone(23);
    ASSERT_TRUE(phone);
    ASSERT_EQ(phone.link->maxReadLength(), 22u);

    // The long read goes through ReadValue with the offset option.
    const auto parsed = phone->readDeviceInfo();
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->deviceID, desktop.deviceID);
    EXPECT_EQ(parsed->displayName, "Test desktop with a long name");

    const auto atEnd = phone.link->read(charDeviceInfo, info.size());
    ASSERT_TRUE(atEnd);
    EXPECT_EQ(atEnd->result, AttResult::success);
    EXPECT_TRUE(atEnd->value.empty());
    const auto pastEnd = phone.link->read(charDeviceInfo, info.size() + 1);
    ASSERT_TRUE(pastEnd);
    EXPECT_EQ(pastEnd->result, AttResult::invalidOffset); // org.bluez.Error.InvalidOffset

    // Nothing published: the PSM reads 0x00 0x00.
    const auto psm = phone.link->read(charL2capPsm, 0);
    ASSERT_TRUE(psm);
    EXPECT_EQ(psm->result, AttResult::success);
    EXPECT_EQ(psm->value, (Bytes{0x00, 0x00}));
    EXPECT_EQ(phone->readPSM(), uint16_t{0});

    // A characteristic without read: org.bluez.Error.NotPermitted.
    const auto refused = phone.link->read(charClipboardRx, 0);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->result, AttResult::readNotPermitted);
}

TEST(BluezBackend, WritesArriveInOrderFromTheDeviceAndAreEachAnswered) {
    BluezBed bed;
    ASSERT_TRUE(bed.busRunning());
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
    ASSERT_TRUE(bed.busRunning());
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

TEST(BluezBackend, PowerOffReportsPoweredOffAndPowerOnRegistersAgain) {
    BluezBed bed;
    ASSERT_TRUE(bed.busRunning());
    bed.startServing({}, "Sorvane-feedf00d");
    auto phone = bed.connectPhone();
    ASSERT_TRUE(phone);
    ASSERT_TRUE(phone->subscribe());
    bed.events.clear();

    bed.bluez->setPowered(false);
    EXPECT_TRUE(waitForEvent<PeripheralEvent::PoweredOff>(bed.events, [](const auto&) { return true; }));
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: peripheral state = 4 (not powered on)"));
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: rebuilding CBPeripheralManager after BT power cycle"));
    // The old manager's connection is gone, and with it its registrations.
    EXPECT_TRUE(bed.bluez->waitFor([&] { return !bed.bluez->application(); }, kWait));

    bed.bluez->setPowered(true);
    EXPECT_TRUE(bed.bluez->waitForApplications(2, kWait));
    EXPECT_TRUE(bed.bluez->waitForAdvertisements(2, kWait));
    EXPECT_EQ(bed.bluez->advertisement()->localName, "Sorvane-feedf00d");
}

TEST(BluezBackend, BluetoothdRestartingBringsTheServiceBack) {
    BluezBed bed;
    ASSERT_TRUE(bed.busRunning());
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

TEST(BluezBackend, AdapterRemovalIsPoweredOffUntilItReturns) {
    BluezBed bed;
    ASSERT_TRUE(bed.busRunning());
    bed.startServing();
    bed.events.clear();

    bed.bluez->removeAdapter();
    EXPECT_TRUE(waitForEvent<PeripheralEvent::PoweredOff>(bed.events, [](const auto&) { return true; }));
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: adapter /org/bluez/hci0 is gone"));

    bed.bluez->addAdapter();
    EXPECT_TRUE(bed.bluez->waitForApplications(2, kWait));
    EXPECT_TRUE(bed.bluez->waitForAdvertisements(2, kWait));
}

TEST(BluezBackend, WaitsForBluetoothdToAppear) {
    // No fake yet when the peripheral looks: nobody owns org.bluez.
    BluezBed bed(FakeBluez::Options{}, BluezBed::withoutL2CAP(), BluezBed::Fake::notStarted);
    ASSERT_TRUE(bed.busRunning());
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

TEST(BluezBackend, CallsFromAnyoneButBluetoothdAreRefused) {
    BluezBed bed;
    ASSERT_TRUE(bed.busRunning());
    bed.startServing();
    StrangerClient stranger(bed, charClipboardTx);
    EXPECT_EQ(stranger.writeValue(Bytes{0x31}), bluez::kErrorAccessDenied);
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: refused WriteValue from " + stranger.name()));
    EXPECT_EQ(countOf<PeripheralEvent::Write>(bed.events.items()), 0u);
}

TEST(BluezBackend, AFloodOfRefusedCallsIsLoggedBrieflyAndCounted) {
    ManualClock time;
    BluezOptions backend = BluezBed::withoutL2CAP();
    backend.clock = time.fn();
    BluezBed bed(FakeBluez::Options{}, backend);
    ASSERT_TRUE(bed.busRunning());
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

TEST(BluezBackend, MalformedOptionsAreLoggedAndRefused) {
    BluezBed bed;
    ASSERT_TRUE(bed.busRunning());
    bed.startServing();
    auto phone = bed.connectPhone();
    ASSERT_TRUE(phone);

    const auto refused = phone.link->readWithMalformedOffset(charDeviceInfo);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->result, AttResult::unlikelyError); // InvalidArguments
    EXPECT_TRUE(bed.log.waitFor("Sorvane BLE: ReadValue dropped: the offset option is not a uint16"));

    // The backend goes on answering well-formed calls.
    const auto fine = phone.link->read(charDeviceInfo, 1);
    ASSERT_TRUE(fine);
    EXPECT_EQ(fine->value, (Bytes{0xd2, 0xd3}));
}

// ---- L2CAP

TEST(BluezBackend, PublishedChannelIsHandedOverAndCarriesFramesBothWays) {
    UnixL2cap l2cap;
    FakeBluez::Options fake;
    fake.openL2CAP = l2cap.connector();
    BluezOptions backend;
    backend.openL2capServer = l2cap.opener();
    BluezBed bed(fake, backend);
    ASSERT_TRUE(bed.busRunning());
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
    ASSERT_TRUE(bed.busRunning());
    bed.startServing();
    EXPECT_TRUE(bed.log.waitFor("Sorvane L2CAP: publish failed: this system has no Bluetooth L2CAP sockets"));
}

} // namespace
} // namespace sorvane::testing

// SorvanePeripheral's GATT behaviour, driven through the simulated radio.
#include "BleTestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <numeric>

#include <pthread.h>

using namespace sorvane;
using namespace sorvane::testing;

namespace {

const std::string kUnknownUUID = "6e70c0ff-b3a8-4f9e-9a3d-8c6b1c9d0e01";

std::string upper(std::string_view s) {
    return asciiUppercase(s);
}

// A desktop whose radio is on, with the service up and the channel published.
class PoweredPeripheral : public ::testing::Test {
protected:
    void SetUp() override { d.powerOn(); }
    Desktop d;
};

} // namespace

TEST(SorvanePeripheral, ServiceComesUpWithItsLayoutAndTheNameAskedForEarly) {
    Desktop d;
    EXPECT_TRUE(d.log.contains("Sorvane BLE: peripheral initialized"));
    // The radio starts off: the first report is not powered on, and nothing is replaced.
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: peripheral state = 4 (not powered on)"));
    d.peripheral->startAdvertising("Sorvane-0a0b0c0d");
    ASSERT_TRUE(d.idle());
    EXPECT_TRUE(d.radio.advertisedNames().empty());

    d.powerOn();
    const auto service = d.radio.service();
    ASSERT_TRUE(service);
    EXPECT_EQ(service->uuid, serviceUUID);
    EXPECT_TRUE(service->primary);
    const std::vector<std::tuple<std::string_view, uint8_t, uint8_t>> expected = {
        {charDeviceInfo, 0x02, 0x01},  {charPairing, 0x18, 0x02}, {charClipboardTx, 0x08, 0x02},
        {charClipboardRx, 0x10, 0x00}, {charControl, 0x18, 0x02}, {charL2capPsm, 0x02, 0x01}};
    ASSERT_EQ(service->characteristics.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(uuidEquals(service->characteristics[i].uuid, std::get<0>(expected[i]))) << i;
        EXPECT_EQ(service->characteristics[i].properties, std::get<1>(expected[i])) << i;
        EXPECT_EQ(service->characteristics[i].permissions, std::get<2>(expected[i])) << i;
    }

    const auto ad = d.radio.advertising();
    ASSERT_TRUE(ad);
    EXPECT_EQ(ad->localName, "Sorvane-0a0b0c0d");
    EXPECT_EQ(ad->serviceUUIDs, std::vector<std::string>{std::string(serviceUUID)});
    EXPECT_TRUE(d.log.contains("Sorvane BLE: advertising as Sorvane-0a0b0c0d"));
    EXPECT_EQ(d.radio.lastPublishEncrypted(), false);
    EXPECT_TRUE(d.log.contains("Sorvane L2CAP: published PSM 129"));
    EXPECT_EQ(d.radio.managersCreated(), 1u);

    // Once serving, a new name is advertised at once.
    d.peripheral->startAdvertising("Sorvane-11112222");
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: advertising as Sorvane-11112222"));
    EXPECT_EQ(d.radio.advertisedNames(),
              (std::vector<std::string>{"Sorvane-0a0b0c0d", "Sorvane-11112222"}));
}

TEST(SorvanePeripheral, ReadsAnswerFromTheOffsetOrWithATTErrors) {
    Bytes info(50);
    std::iota(info.begin(), info.end(), uint8_t{1});
    Desktop d(info);
    d.radio.setAttMTU(23);
    d.radio.setNextPSM(0x0081);
    d.powerOn();
    auto central = d.radio.connectCentral();

    const std::string upperPSM = upper(charL2capPsm);
    const struct {
        std::string_view uuid;
        size_t offset;
        AttResult result;
        Bytes value;
    } reads[] = {
        {charDeviceInfo, 0, AttResult::success, Bytes(&info[0], &info[22])}, // one ATT payload
        {charDeviceInfo, 44, AttResult::success, Bytes(info.begin() + 44, info.end())},
        {charDeviceInfo, 50, AttResult::success, {}},
        {charDeviceInfo, 51, AttResult::invalidOffset, {}},
        {upperPSM, 0, AttResult::success, {0x00, 0x81}},
        {charL2capPsm, 1, AttResult::success, {0x81}},
        {charL2capPsm, 2, AttResult::success, {}},
        {charL2capPsm, 3, AttResult::invalidOffset, {}},
        {charClipboardRx, 0, AttResult::readNotPermitted, {}},
        {charPairing, 0, AttResult::readNotPermitted, {}},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE(std::string(read.uuid) + " at " + std::to_string(read.offset));
        const auto r = central->read(read.uuid, read.offset);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->result, read.result);
        EXPECT_EQ(r->value, read.value);
    }
}

// The PSM characteristic reads zero while no channel is published: before the
// first publish succeeds, and again once a rebuild's publish fails.
TEST(SorvanePeripheral, PSMReadsZeroWhileNoChannelIsPublished) {
    Desktop d;
    d.radio.failNextPublish("no LE credit-based channels");
    d.radio.setState(ManagerState::poweredOn);
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: publish failed: no LE credit-based channels"));
    auto central = d.radio.connectCentral();
    const auto psm = [&] {
        const auto r = central->read(charL2capPsm, 0);
        return r && r->result == AttResult::success ? r->value : Bytes{0xee};
    };
    EXPECT_EQ(psm(), (Bytes{0x00, 0x00}));

    d.peripheral->rebuild();
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: published PSM 129"));
    EXPECT_EQ(psm(), (Bytes{0x00, 0x81}));
    d.clock.advance(30s);
    d.radio.failNextPublish("busy");
    d.peripheral->rebuild();
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: publish failed: busy"));
    EXPECT_EQ(psm(), (Bytes{0x00, 0x00}));
}

TEST_F(PoweredPeripheral, WriteBatchesReportEveryValueAndAreAnsweredOnce) {
    auto central = d.radio.connectCentral("0000AAAA-0000-0000-0000-000000000001");
    const auto write = [&](std::string_view uuid, Bytes value) {
        return PeripheralEvent{PeripheralEvent::Write{central->centralID(), upper(uuid), value}};
    };
    const size_t answers = d.radio.answersSent();

    EXPECT_EQ(central->writeBatch({{std::string(charClipboardTx), Bytes{1, 2}},
                                   {std::string(charControl), Bytes{0x31}}}),
              AttResult::success);
    EXPECT_EQ(d.radio.answersSent(), answers + 1);
    ASSERT_TRUE(d.events.waitForSize(2));
    EXPECT_EQ(d.events.items(),
              (std::vector{write(charClipboardTx, {1, 2}), write(charControl, {0x31})}));

    // A request that carries no value is answered with the batch but not reported.
    d.events.clear();
    EXPECT_EQ(central->writeBatch({{std::string(charClipboardTx), std::nullopt},
                                   {std::string(charPairing), Bytes{3}}}),
              AttResult::success);
    EXPECT_EQ(d.radio.answersSent(), answers + 2);

    // An empty batch is neither reported nor answered.
    EXPECT_FALSE(central->writeBatch({}));
    EXPECT_EQ(central->write(charControl, Bytes{}), AttResult::success);
    ASSERT_TRUE(d.events.waitForSize(2));
    ASSERT_TRUE(d.idle());
    EXPECT_EQ(d.events.items(), (std::vector{write(charPairing, {3}), write(charControl, {})}));
    EXPECT_EQ(d.radio.answersSent(), answers + 3);
}

TEST_F(PoweredPeripheral, LeavingAnyCharacteristicCountsAsDisconnecting) {
    auto central = d.radio.connectCentral();
    const std::string id = central->centralID();
    ASSERT_TRUE(central->subscribe(charClipboardRx));
    ASSERT_TRUE(central->subscribe(charControl));
    ASSERT_TRUE(d.events.waitForSize(2));
    ASSERT_TRUE(central->unsubscribe(charControl));
    ASSERT_TRUE(d.events.waitForSize(3));
    // Disconnecting leaves the remaining subscription: one more disconnection.
    central->disconnect();
    ASSERT_TRUE(d.events.waitForSize(4));
    ASSERT_TRUE(d.idle());
    using E = PeripheralEvent;
    EXPECT_EQ(d.events.items(),
              (std::vector<E>{E{E::Subscribed{id, upper(charClipboardRx)}},
                              E{E::Subscribed{id, upper(charControl)}},
                              E{E::CentralDisconnected{id}}, E{E::CentralDisconnected{id}}}));
}

TEST(SorvanePeripheral, NotificationsReachSubscribersOrAreDroppedWithALogLine) {
    Desktop d;
    d.peripheral->notify(std::string(charControl), Bytes{0x32}); // no service yet
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: notify dropped — no characteristic for " +
                              std::string(charControl)));
    d.powerOn();
    d.peripheral->notify(kUnknownUUID, Bytes{1});
    ASSERT_TRUE(
        d.log.waitFor("Sorvane BLE: notify dropped — no characteristic for " + kUnknownUUID));

    d.peripheral->notify(std::string(charClipboardRx), Bytes{1});
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: updateValue returned false on " +
                              std::string(charClipboardRx) + " (queue full or no subscribers)"));

    Recorder<std::pair<std::string, Bytes>> received;
    auto central = d.radio.connectCentral();
    central->setNotificationHandler([&](const std::string& uuid, Bytes value) {
        received.add({uuid, std::move(value)});
    });
    ASSERT_TRUE(central->subscribe(charControl));
    d.log.clear();
    d.radio.refuseNotifications(1);
    d.peripheral->notify(upper(charControl), Bytes{0x31}); // refused: lost, not retried
    d.peripheral->notify(upper(charControl), Bytes{0x32});
    ASSERT_TRUE(received.waitForSize(1));
    ASSERT_TRUE(d.idle());
    EXPECT_EQ(d.log.count("Sorvane BLE: updateValue returned false on " + upper(charControl) +
                          " (queue full or no subscribers)"),
              1u);
    const auto got = received.items();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(uuidEquals(got[0].first, charControl));
    EXPECT_EQ(got[0].second, Bytes{0x32});
}

// Every state but powered-on reports powered-off, but only powered-off itself
// replaces the manager, once. Powering on again restores everything.
TEST_F(PoweredPeripheral, OnlyPoweringOffReplacesTheManagerAndPoweringOnRestoresEverything) {
    d.peripheral->startAdvertising("Sorvane-cafef00d");
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: advertising as Sorvane-cafef00d"));
    d.events.clear();
    for (auto state : {ManagerState::unauthorized, ManagerState::resetting,
                       ManagerState::unsupported, ManagerState::unknown}) {
        d.radio.setState(state);
        ASSERT_TRUE(d.log.waitFor("Sorvane BLE: peripheral state = " +
                                  std::to_string(static_cast<int>(state)) + " (not powered on)"));
    }
    ASSERT_TRUE(d.idle());
    EXPECT_EQ(countOf<PeripheralEvent::PoweredOff>(d.events.items()), 4u);
    EXPECT_EQ(d.radio.managersCreated(), 1u);
    EXPECT_FALSE(d.log.contains("after BT power cycle"));
    d.radio.setState(ManagerState::poweredOn); // the same manager brings the service back
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: published PSM 130"));
    EXPECT_EQ(d.radio.addServiceCalls(), 2u);
    d.events.clear();
    d.log.clear();

    d.radio.setState(ManagerState::poweredOff);
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: rebuilding CBPeripheralManager after BT power cycle"));
    ASSERT_TRUE(d.idle()); // the new manager has reported its own state too
    EXPECT_EQ(d.log.count("Sorvane BLE: peripheral state = 4 (not powered on)"), 2u);
    EXPECT_EQ(d.log.count("after BT power cycle"), 1u);
    EXPECT_EQ(d.radio.managersCreated(), 2u);
    EXPECT_EQ(d.radio.liveManagers(), 1u);
    EXPECT_EQ(countOf<PeripheralEvent::PoweredOff>(d.events.items()), 2u);
    auto central = d.radio.connectCentral();
    EXPECT_FALSE(central->read(charDeviceInfo, 0)); // nothing is served

    d.radio.setState(ManagerState::poweredOn);
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: published PSM 131"));
    EXPECT_EQ(d.radio.addServiceCalls(), 3u);
    EXPECT_EQ(d.radio.advertisedNames().back(), "Sorvane-cafef00d");
    EXPECT_EQ(central->read(charL2capPsm, 0)->value, (Bytes{0x00, 0x83}));
    EXPECT_EQ(d.radio.managersCreated(), 2u);
}

TEST(SorvanePeripheral, RejectedServiceIsLoggedAndNothingIsAdvertisedOrPublished) {
    Desktop d;
    d.radio.failNextAddService("Failed to register application");
    d.peripheral->startAdvertising("Sorvane-01020304");
    d.radio.setState(ManagerState::poweredOn);
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: add service failed: Failed to register application"));
    ASSERT_TRUE(d.idle());
    EXPECT_TRUE(d.radio.advertisedNames().empty());
    EXPECT_EQ(d.radio.publishCalls(), 0u);
    auto central = d.radio.connectCentral();
    EXPECT_FALSE(central->read(charDeviceInfo, 0));
}

TEST_F(PoweredPeripheral, RebuildHasACooldownOfThirtySeconds) {
    d.peripheral->startAdvertising("Sorvane-abcdef01");
    d.events.clear();

    d.peripheral->rebuild();
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: published PSM 130"));
    const auto lines = d.log.lines();
    const std::vector<std::string> expected = {
        "Sorvane BLE: rebuilding CBPeripheralManager for fresh L2CAP",
        "Sorvane BLE: old manager destroyed",
        "Sorvane BLE: new manager created, waiting for poweredOn",
    };
    auto at = lines.begin();
    for (const auto& line : expected) {
        at = std::find(at, lines.end(), line);
        ASSERT_NE(at, lines.end()) << line;
    }
    EXPECT_EQ(d.radio.managersCreated(), 2u);
    EXPECT_EQ(countOf<PeripheralEvent::PoweredOff>(d.events.items()), 1u);
    EXPECT_EQ(d.radio.advertisedNames().back(), "Sorvane-abcdef01");

    d.clock.advance(10s);
    d.peripheral->rebuild();
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: rebuild cooldown — skipping"));
    EXPECT_EQ(d.radio.managersCreated(), 2u);

    d.clock.advance(21s);
    d.peripheral->rebuild();
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: published PSM 131"));
    EXPECT_EQ(d.radio.managersCreated(), 3u);
    EXPECT_EQ(d.log.count("Sorvane BLE: rebuild cooldown"), 1u);
}

TEST_F(PoweredPeripheral, RebuildWaitingForPowerIgnoresFurtherRequestsSilently) {
    d.radio.setState(ManagerState::poweredOff); // power cycle: manager 2
    ASSERT_TRUE(d.log.waitFor("after BT power cycle"));
    d.peripheral->rebuild(); // manager 3, waits for powered-on
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: new manager created, waiting for poweredOn"));
    d.log.clear();
    for (int i = 0; i < 3; ++i) {
        d.clock.advance(60s);
        d.peripheral->rebuild();
    }
    ASSERT_TRUE(d.idle());
    EXPECT_EQ(d.radio.managersCreated(), 3u);
    for (const auto& line : d.log.lines())
        EXPECT_EQ(line.find("rebuild"), std::string::npos) << line;

    // Powered-on ends the rebuild; the next request after the cool-down proceeds.
    d.radio.setState(ManagerState::poweredOn);
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: published PSM"));
    d.peripheral->rebuild();
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: new manager created, waiting for poweredOn"));
    EXPECT_EQ(d.radio.managersCreated(), 4u);
}

// A powered desktop with one central subscribed to the clipboard and control
// characteristics, recording every notification in arrival order.
class SubscribedDesktop : public PoweredPeripheral {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(PoweredPeripheral::SetUp());
        central = d.radio.connectCentral();
        central->setNotificationHandler([this](const std::string& uuid, Bytes value) {
            received.add({uuid, std::move(value)});
        });
        ASSERT_TRUE(central->subscribe(charClipboardRx));
        ASSERT_TRUE(central->subscribe(charControl));
    }
    // Declared first, so that it outlives the central that feeds it.
    Recorder<std::pair<std::string, Bytes>> received;
    std::unique_ptr<sim::SimCentral> central;
};

TEST_F(SubscribedDesktop, PacedChunksKeepTheirPlaceAheadOfLaterWork) {
    std::vector<Bytes> chunks;
    for (uint8_t i = 0; i < 20; ++i)
        chunks.push_back(Bytes{i});
    const auto start = std::chrono::steady_clock::now();
    d.peripheral->notifyPaced(std::string(charClipboardRx), chunks);
    d.peripheral->notify(std::string(charControl), Bytes{0x32});
    std::promise<std::chrono::steady_clock::time_point> sent;
    d.peripheral->whenSent(kWait, [&] { sent.set_value(std::chrono::steady_clock::now()); });
    d.peripheral->rebuild(); // after all of the above
    ASSERT_TRUE(received.waitForSize(1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms) << "the first chunk leaves at once";

    auto done = sent.get_future();
    ASSERT_EQ(done.wait_for(kWait), std::future_status::ready);
    EXPECT_GE(done.get() - start, 19 * 15ms);
    const auto got = received.items();
    ASSERT_EQ(got.size(), 21u);
    for (uint8_t i = 0; i < 20; ++i) {
        EXPECT_TRUE(uuidEquals(got[i].first, charClipboardRx));
        EXPECT_EQ(got[i].second, Bytes{i});
    }
    EXPECT_EQ(got[20].second, Bytes{0x32});
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: new manager created, waiting for poweredOn"));
    EXPECT_EQ(d.log.count("updateValue returned false"), 0u);
}

TEST_F(SubscribedDesktop, ChunksStillWaitingAtTheLimitAreDroppedNotTheControlByte) {
    d.peripheral->notifyPaced(std::string(charClipboardRx), std::vector<Bytes>(400, Bytes{7}));
    d.peripheral->notify(std::string(charControl), Bytes{0x32});
    std::promise<void> sent;
    d.peripheral->whenSent(100ms, [&] { sent.set_value(); });
    ASSERT_EQ(sent.get_future().wait_for(2s), std::future_status::ready) << "bounded by the limit";
    ASSERT_TRUE(d.idle());
    const auto got = received.items();
    ASSERT_GE(got.size(), 2u);
    EXPECT_LT(got.size(), 20u);
    EXPECT_TRUE(uuidEquals(got.back().first, charControl));
    EXPECT_EQ(got.back().second, Bytes{0x32});
    EXPECT_EQ(d.log.count(" queued chunks dropped \u2014 not sent in time"), 1u);
}

TEST_F(PoweredPeripheral, ShutdownIsSynchronousAndFinal) {
    d.peripheral->startAdvertising("Sorvane-99887766");
    d.peripheral->shutdown();
    // Everything is done by the time shutdown() returns.
    EXPECT_TRUE(d.log.contains("Sorvane BLE: peripheral shut down — manager destroyed"));
    EXPECT_EQ(d.radio.liveManagers(), 0u);
    EXPECT_FALSE(d.radio.advertising());
    EXPECT_FALSE(d.radio.service());

    // A rebuild must not bring a manager back; the notification after it serves
    // as a marker that the queue has handled the rebuild.
    d.peripheral->rebuild();
    d.peripheral->notify(std::string(charControl), Bytes{0x32});
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: notify dropped — no characteristic for " +
                              std::string(charControl)));
    EXPECT_EQ(d.radio.managersCreated(), 1u);
    EXPECT_FALSE(d.log.contains("rebuilding CBPeripheralManager"));
}

TEST_F(PoweredPeripheral, DestructionDropsQueuedWorkAndLateCallbacks) {
    auto central = d.radio.connectCentral();
    ASSERT_TRUE(central->subscribe(charControl));
    for (int i = 0; i < 50; ++i)
        d.peripheral->notify(std::string(charControl), Bytes{static_cast<uint8_t>(i)});
    d.radio.setState(ManagerState::poweredOff); // callbacks in flight
    d.peripheral.reset();
    EXPECT_EQ(d.radio.liveManagers(), 0u);
    EXPECT_FALSE(central->read(charDeviceInfo, 0));
}

TEST(SorvanePeripheral, WorkRunsOnItsNamedThreads) {
    LogCapture log;
    auto threadName = [] {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        return std::string(name);
    };
    sim::SimRadio radio;
    sim::ManualMainQueue mainQueue;
    Recorder<std::string> eventThreads, frameThreads;
    SorvanePeripheral peripheral(
        radio.managerFactory(), Bytes{1}, [&](PeripheralEvent) { eventThreads.add(threadName()); },
        mainQueue);
    peripheral.setOnL2CAPData([&](Bytes) { frameThreads.add(threadName()); });
    radio.setState(ManagerState::poweredOn);
    auto central = radio.connectCentral();
    ASSERT_TRUE(eventThreads.waitForSize(1));
    EXPECT_EQ(eventThreads.items()[0], "org.sorvane.ble");

    ASSERT_TRUE(log.waitFor("Sorvane L2CAP: published PSM"));
    const auto psm = radio.publishedPSM();
    ASSERT_TRUE(psm);
    auto channel = central->openL2CAP(*psm);
    ASSERT_TRUE(channel);
    ASSERT_EQ(channel->write(Bytes{0, 0, 0, 1, 9}), 5);
    ASSERT_TRUE(frameThreads.waitForSize(1));
    EXPECT_EQ(frameThreads.items()[0], "L2CAP-streams");
}

// Shared pieces of the Bluetooth tests: recorders for the
// peripheral's events and L2CAP frames, and a desktop made of a SorvanePeripheral
// on the simulated radio.
#pragma once

#include "ble/SorvanePeripheral.h"
#include "testing/sim/ManualMainQueue.h"
#include "testing/sim/SimRadio.h"
#include "protocol/Uuids.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/ManualClock.h"
#include "support/Recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <type_traits>
#include <vector>

namespace sorvane {

inline void PrintTo(const PeripheralEvent& event, std::ostream* os) {
    std::visit(
        [os](const auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, PeripheralEvent::CentralConnected>)
                *os << "centralConnected(" << e.centralID << ")";
            else if constexpr (std::is_same_v<E, PeripheralEvent::CentralDisconnected>)
                *os << "centralDisconnected(" << e.centralID << ")";
            else if constexpr (std::is_same_v<E, PeripheralEvent::Write>)
                *os << "write(" << e.centralID << ", " << e.charUUID << ", " << e.data.size()
                    << " bytes)";
            else if constexpr (std::is_same_v<E, PeripheralEvent::Subscribed>)
                *os << "subscribed(" << e.centralID << ", " << e.charUUID << ")";
            else
                *os << "poweredOff";
        },
        event.value);
}

} // namespace sorvane

namespace sorvane::testing {

using namespace std::chrono_literals;

inline constexpr auto kWait = std::chrono::milliseconds(5000);

template <typename E> size_t countOf(const std::vector<PeripheralEvent>& events) {
    size_t n = 0;
    for (const auto& e : events)
        n += std::holds_alternative<E>(e.value) ? 1 : 0;
    return n;
}

// A SorvanePeripheral on the simulated radio, with everything it reports recorded.
// The log capture starts before the peripheral so that its first line is kept.
struct Desktop {
    explicit Desktop(Bytes info = Bytes{0xd1, 0xd2, 0xd3}) : deviceInfo(std::move(info)) {
        peripheral = std::make_unique<SorvanePeripheral>(
            radio.managerFactory(), deviceInfo,
            [this](PeripheralEvent e) { events.add(std::move(e)); }, mainQueue, clock.fn());
        peripheral->setOnL2CAPData([this](Bytes frame) { frames.add(std::move(frame)); });
        peripheral->setOnL2CAPWriteFailed([this] { ++writeFailures; });
    }
    ~Desktop() {
        // Centrals first, then the peripheral: the radio outlives both.
        peripheral.reset();
    }

    // Powers the radio on and waits until the service is up and the channel
    // published; then forgets the events so far (the first state report).
    void powerOn() {
        radio.setState(ManagerState::poweredOn);
        ASSERT_TRUE(log.waitFor("Sorvane L2CAP: published PSM"));
        events.clear();
    }
    // Waits until the peripheral's queue has handled everything so far, including
    // work that this queued (a second round covers a manager made meanwhile).
    bool idle() { return radio.waitForPeripheralIdle() && radio.waitForPeripheralIdle(); }

    LogCapture log;
    Bytes deviceInfo;
    sim::SimRadio radio;
    sim::ManualMainQueue mainQueue;
    ManualClock clock;
    Recorder<PeripheralEvent> events;
    Recorder<Bytes> frames;
    int writeFailures = 0; // main thread only
    std::unique_ptr<SorvanePeripheral> peripheral;
};

inline Bytes bytesOf(std::string_view text) {
    return toBytes(asBytes(text));
}

} // namespace sorvane::testing

// What reaches the phone over GATT, and what a stranger's junk costs.
//
//  1. The largest text the desktop still sends over GATT without an L2CAP
//     channel (SorvaneAppDelegate::kMaxGattChunks chunks), paced by a real
//     SorvanePeripheral on the simulated radio to the phone counterpart, whose
//     reassembler gives each frame 5 s from its first chunk: chunks, bytes and
//     the time from handing the chunks over to the phone holding the text.
//  2. The cost of one junk chunk pushed into a reassembler whose 32 buffers are
//     full of other junk (each push evicts the oldest buffer), for chunks that
//     claim 2, 256 and 65535 chunks in all: target constant, since nothing is
//     allocated for the claimed total. Also checks that the paired phone's
//     single-chunk frames complete in the middle of the flood.
#include "app/SorvaneAppDelegate.h"
#include "ble/SorvanePeripheral.h"
#include "base/Log.h"
#include "testing/sim/ManualMainQueue.h"
#include "testing/sim/SimRadio.h"
#include "protocol/ChunkFraming.h"
#include "protocol/MessageCodec.h"
#include "protocol/Reassembler.h"
#include "protocol/Uuids.h"
#include "testing/phone/PhoneCentral.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace sorvane;
using Clock = std::chrono::steady_clock;

namespace {

struct NullSink final : LogSink {
    void write(std::string_view) override {}
};

constexpr size_t kSealOverhead = 28; // counter, nonce random, tag

void largestGattText() {
    const size_t chunks = SorvaneAppDelegate::kMaxGattChunks;
    const size_t body = chunks * kGattChunkBody;
    const size_t messageOverhead = encodeClipboardText("").size();
    const size_t sealedText = body - kSealOverhead - messageOverhead;

    sim::SimRadio radio;
    sim::ManualMainQueue mainQueue;
    SorvanePeripheral peripheral(
        radio.managerFactory(), Bytes{1}, [](PeripheralEvent) {}, mainQueue);
    radio.setState(ManagerState::poweredOn);
    radio.waitForPeripheralIdle();
    radio.waitForPeripheralIdle();
    auto central = radio.connectCentral();
    auto phone = phone::PhoneCentral::withNewIdentity(*central);
    if (!phone->subscribe()) {
        std::printf("largest GATT text: the phone could not subscribe\n");
        return;
    }

    // A plain frame of the same size as the largest sealed one: the time depends
    // on the chunk count only.
    const std::string text(body - messageOverhead, 't');
    std::vector<double> seconds;
    for (uint16_t run = 0; run < 3; ++run) {
        auto frame = chunkPayload(run, encodeClipboardText(text), kGattChunkBody, 0);
        const auto start = Clock::now();
        peripheral.notifyPaced(std::string(charClipboardRx), std::move(frame));
        const auto got = phone->nextMessage(std::chrono::seconds(10));
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        if (!got) {
            std::printf("largest GATT text: run %u did NOT arrive\n", run);
            return;
        }
        seconds.push_back(s);
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("largest GATT frame: %zu chunks = %zu body bytes = %zu bytes of text when sealed "
                "(%zu plain)\n",
                chunks, body, sealedText, body - messageOverhead);
    std::printf("  arrives whole in %.3f s (median of 3; min %.3f, max %.3f) against the "
                "phone's 5 s window\n",
                seconds[1], seconds.front(), seconds.back());
    std::printf("  one chunk more (%zu chunks, %zu bytes) is refused: it would need %.3f s of "
                "pacing alone\n",
                chunks + 1, (chunks + 1) * kGattChunkBody,
                static_cast<double>(chunks) * SorvanePeripheral::kChunkPacing.count() / 1000.0);
}

void junkWhenFull() {
    for (const uint16_t claimed : {uint16_t{2}, uint16_t{256}, uint16_t{65535}}) {
        auto now = Clock::time_point{};
        Reassembler reassembler([&now] { return now; });
        uint16_t id = 0;
        auto junk = [&] {
            const Bytes chunk = {static_cast<uint8_t>(id),
                                 static_cast<uint8_t>(id >> 8),
                                 0,
                                 0,
                                 static_cast<uint8_t>(claimed),
                                 static_cast<uint8_t>(claimed >> 8),
                                 0,
                                 'j',
                                 'u',
                                 'n',
                                 'k'};
            ++id;
            return reassembler.push(*parseChunk(chunk));
        };
        for (int i = 0; i < 32; ++i)
            junk();

        constexpr int kPushes = 200000;
        std::vector<double> perPush;
        size_t completed = 0;
        size_t maxBytes = 0;
        for (int round = 0; round < 7; ++round) {
            const auto start = Clock::now();
            for (int i = 0; i < kPushes; ++i) {
                now += std::chrono::microseconds(10); // a flood: far inside the 5 s window
                junk();
                maxBytes = std::max(maxBytes, reassembler.bufferedBytes());
            }
            perPush.push_back(
                std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kPushes);
            // The paired phone's text, a single chunk, in the middle of it.
            const Bytes single = {0xfe, 0xff, 0, 0, 1, 0, 0x02, 'o', 'k'};
            completed += reassembler.push(*parseChunk(single)) ? 1 : 0;
        }
        std::sort(perPush.begin(), perPush.end());
        std::printf("junk chunk claiming %5u chunks into a full reassembler: %6.1f ns/push "
                    "(median of 7 x %d), at most %zu bytes held, %zu/7 single-chunk frames "
                    "completed\n",
                    claimed, perPush[3], kPushes, maxBytes, completed);
    }
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    setLogSink(std::make_shared<NullSink>());
    junkWhenFull();
    largestGattText();
    return 0;
}

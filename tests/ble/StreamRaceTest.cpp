// Races between the three threads that touch the L2CAP channel: the stream
// thread reading, the main thread sending and tearing down, and the
// peripheral's queue opening newer channels and shutting down. Meant for the
// ThreadSanitizer build as much as for the plain one.
#include "BleTestSupport.h"

#include "ble/L2CAPFraming.h"
#include "ble/L2CAPStreams.h"
#include "testing/phone/PhoneCentral.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <numeric>
#include <thread>

using namespace sorvane;
using namespace sorvane::testing;

namespace {

// A frame that says who sent it and proves it arrived unbroken: tag, sequence
// number (u32 BE), then `size` copies of the tag.
Bytes taggedFrame(uint8_t tag, uint32_t seq, size_t size) {
    ByteWriter w(5 + size);
    w.u8(tag).u32BE(seq).bytes(Bytes(size, tag));
    return w.take();
}

struct Tagged {
    uint8_t tag = 0;
    uint32_t seq = 0;
};

std::optional<Tagged> readTagged(ByteView frame) {
    ByteReader r(frame);
    const auto tag = r.readU8();
    const auto seq = r.readU32BE();
    if (!tag || !seq)
        return std::nullopt;
    for (uint8_t b : r.rest())
        if (b != *tag)
            return std::nullopt;
    return Tagged{*tag, *seq};
}

// Writes tagged frames on `channel` until a write fails or `stop` is set. With
// `split`, each packet goes out as two writes, so that the reader often holds
// half a frame.
std::thread flood(std::shared_ptr<ByteChannel> channel, uint8_t tag, size_t size,
                  std::atomic<bool>& stop, bool split = false) {
    return std::thread([channel = std::move(channel), tag, size, &stop, split] {
        for (uint32_t seq = 0; !stop; ++seq) {
            const Bytes packet = *buildL2CAPPacket(taggedFrame(tag, seq, size));
            const size_t cut = split ? packet.size() / 2 : packet.size();
            const ByteView all(packet);
            if (channel->write(all.first(cut)) != static_cast<ssize_t>(cut))
                return;
            if (cut < packet.size() &&
                channel->write(all.subspan(cut)) != static_cast<ssize_t>(packet.size() - cut))
                return;
        }
    });
}

} // namespace

TEST(StreamRace, TeardownFromTheMainThreadWhileTheStreamThreadReads) {
    L2CAPStreams streams;
    std::atomic<size_t> good{0}, bad{0};
    streams.setOnData([&](Bytes frame) { ++(readTagged(frame) ? good : bad); });
    LogCapture log;
    for (int round = 0; round < 20; ++round) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        streams.open(std::make_shared<ByteChannel>(UniqueFd(fds[0]), 512, 512));
        auto phone = std::make_shared<ByteChannel>(UniqueFd(fds[1]), 512, 512);
        std::atomic<bool> stop{false};
        const size_t before = good;
        std::thread writer = flood(phone, 'A', 700, stop);
        while (good == before)
            std::this_thread::yield();
        streams.teardown(); // mid-stream, from this thread
        writer.join();      // its writes fail once the desktop's end is shut down
        EXPECT_FALSE(streams.isOpen());
        streams.teardown(); // and again: harmless
    }
    EXPECT_EQ(bad.load(), 0u);
    EXPECT_EQ(log.count("Sorvane L2CAP: channel opened"), 20u);
}

TEST(StreamRace, ANewerChannelReplacesAnOlderOneMidFrame) {
    // Made before the desktop, so that they outlive its stream thread.
    std::atomic<size_t> fromOld{0}, broken{0};
    Recorder<uint32_t> fromNew; // sequence numbers in arrival order
    Desktop d;
    d.powerOn();
    auto central = d.radio.connectCentral();
    const uint16_t psm = d.radio.publishedPSM().value_or(0);

    d.peripheral->setOnL2CAPData([&](Bytes frame) {
        const auto t = readTagged(frame);
        if (!t)
            ++broken;
        else if (t->tag == 'O')
            ++fromOld;
        else
            fromNew.add(t->seq);
    });

    auto older = central->openL2CAP(psm);
    ASSERT_TRUE(older);
    std::atomic<bool> stop{false};
    // Frames written in halves keep the old channel mid-frame most of the time.
    std::thread oldWriter = flood(older, 'O', 300, stop, true);
    while (fromOld == 0)
        std::this_thread::yield();

    auto newer = central->openL2CAP(psm);
    ASSERT_TRUE(newer);
    for (uint32_t seq = 0; seq < 50; ++seq) {
        const Bytes packet = *buildL2CAPPacket(taggedFrame('N', seq, 100));
        ASSERT_EQ(newer->write(packet), static_cast<ssize_t>(packet.size()));
    }
    oldWriter.join(); // ended by the old channel's teardown
    ASSERT_TRUE(fromNew.waitForSize(50));

    EXPECT_TRUE(d.log.contains("Sorvane L2CAP: replacing stale channel"));
    EXPECT_EQ(broken.load(), 0u);
    std::vector<uint32_t> inOrder(50);
    std::iota(inOrder.begin(), inOrder.end(), 0u);
    EXPECT_EQ(fromNew.items(), inOrder);
}

TEST(StreamRace, SendRacingNewChannelsNeverAsksForARebuild) {
    Desktop d;
    d.powerOn();
    auto central = d.radio.connectCentral();
    const uint16_t psm = d.radio.publishedPSM().value_or(0);
    std::vector<std::shared_ptr<ByteChannel>> opened{central->openL2CAP(psm)};
    ASSERT_TRUE(d.idle());

    std::atomic<bool> done{false};
    std::thread opener([&] {
        for (int i = 0; i < 20 && !done; ++i)
            opened.push_back(central->openL2CAP(psm));
    });
    // Few enough small frames that one channel's socket buffer holds them all:
    // the phone reads none of them.
    size_t sent = 0;
    for (uint32_t seq = 0; seq < 150; ++seq)
        sent += d.peripheral->sendL2CAP(taggedFrame('S', seq, 64)) ? 1 : 0;
    done = true;
    opener.join();
    EXPECT_GT(sent, 0u);
    // A write lost to a replaced channel is not a failure of the channel.
    EXPECT_EQ(d.mainQueue.pending(), 0u);
    EXPECT_FALSE(d.log.contains("write failed"));
}

TEST(StreamRace, ShutdownAndDestructionDuringTrafficBothWays) {
    for (bool destroyOnly : {false, true}) {
        Desktop d;
        d.powerOn();
        auto central = d.radio.connectCentral();
        auto phone = phone::PhoneCentral::withNewIdentity(*central);
        ASSERT_TRUE(phone->openL2CAP());
        ASSERT_TRUE(d.idle());

        std::atomic<bool> stop{false};
        std::thread phoneWriter([&] {
            for (int i = 0; !stop; ++i)
                if (!phone->sendClipboardText("from phone " + std::to_string(i),
                                              phone::Route::l2cap))
                    return;
        });
        ASSERT_TRUE(d.frames.waitForSize(10));
        for (uint32_t seq = 0; seq < 50; ++seq)
            d.peripheral->sendL2CAP(taggedFrame('D', seq, 200));
        if (destroyOnly) {
            d.peripheral.reset();
        } else {
            d.peripheral->shutdown();
            EXPECT_FALSE(d.peripheral->sendL2CAP(Bytes{1}));
        }
        phoneWriter.join(); // ends when its channel closes
        stop = true;
        EXPECT_TRUE(d.log.waitFor("Sorvane L2CAP: stream thread exited"));
    }
}

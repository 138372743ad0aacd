// The L2CAP channel of SorvanePeripheral, opened by a simulated central over a
// real SOCK_SEQPACKET socket pair.
#include "BleTestSupport.h"

#include "ble/L2CAPFraming.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <algorithm>
#include <numeric>
#include <regex>

using namespace sorvane;
using namespace sorvane::testing;

namespace {

std::shared_ptr<ByteChannel> openChannel(Desktop& d, sim::SimCentral& central) {
    auto channel = central.openL2CAP(d.radio.publishedPSM().value_or(0));
    EXPECT_TRUE(channel);
    EXPECT_TRUE(d.idle()); // the peripheral has taken its end
    return channel;
}

void sendSDU(ByteChannel& channel, ByteView bytes) {
    ASSERT_EQ(::send(channel.fd(), bytes.data(), bytes.size(), 0),
              static_cast<ssize_t>(bytes.size()));
}

Bytes packetOf(ByteView frame) {
    return *buildL2CAPPacket(frame);
}

// The next SDU that reached the phone's end, or nothing within kWait.
Bytes nextSDU(ByteChannel& channel) {
    pollfd p{channel.fd(), POLLIN, 0};
    uint8_t buf[kL2CAPReadSize];
    const ssize_t n = ::poll(&p, 1, static_cast<int>(kWait.count())) > 0
                          ? ::recv(channel.fd(), buf, sizeof buf, 0)
                          : 0;
    return Bytes(buf, buf + std::max<ssize_t>(n, 0));
}

// True once the desktop has closed its side: everything before is drained.
bool seesEnd(ByteChannel& channel) {
    for (;;) {
        pollfd p{channel.fd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(kWait.count())) <= 0)
            return false;
        uint8_t buf[kL2CAPReadSize];
        const ssize_t r = channel.read(buf, sizeof buf);
        if (r <= 0)
            return true;
    }
}

// A desktop whose radio the test sets up first; open() then powers on, connects
// a central and opens the channel from it.
class L2CAPChannel : public ::testing::Test {
protected:
    void open() {
        d.powerOn();
        central = d.radio.connectCentral();
        channel = openChannel(d, *central);
        ASSERT_TRUE(channel);
    }

    Desktop d;
    std::unique_ptr<sim::SimCentral> central;
    std::shared_ptr<ByteChannel> channel;
};

} // namespace

TEST_F(L2CAPChannel, FramesArriveWholeAndInOrderHoweverTheyAreCut) {
    d.radio.setL2CAPMTU(4096);
    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_TRUE(d.log.contains("Sorvane L2CAP: channel opened"));
    EXPECT_TRUE(d.log.contains("Sorvane L2CAP: streams opened, out.status=2 in.status=2"));
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: streams opened on background thread"));

    // Two frames in one SDU, hence in one read.
    Bytes two = packetOf(bytesOf("first"));
    const Bytes second = packetOf(bytesOf("second"));
    two.insert(two.end(), second.begin(), second.end());
    sendSDU(*channel, two);
    // A prefix alone, then its body.
    const Bytes third = packetOf(bytesOf("third"));
    sendSDU(*channel, ByteView(third).first(4));
    sendSDU(*channel, ByteView(third).subspan(4));
    // An empty frame.
    sendSDU(*channel, Bytes{0, 0, 0, 0});
    // A frame far larger than one read, cut into SDUs by the phone's end.
    Bytes big(100000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 31);
    const Bytes bigPacket = packetOf(big);
    ASSERT_EQ(channel->write(bigPacket), static_cast<ssize_t>(bigPacket.size()));

    ASSERT_TRUE(d.frames.waitForSize(5));
    const auto frames = d.frames.items();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0], bytesOf("first"));
    EXPECT_EQ(frames[1], bytesOf("second"));
    EXPECT_EQ(frames[2], bytesOf("third"));
    EXPECT_TRUE(frames[3].empty());
    EXPECT_EQ(frames[4], big);
}

TEST_F(L2CAPChannel, SendWritesOneLengthPrefixedPacketInSDUsOfTheMTU) {
    d.radio.setL2CAPMTU(64);
    ASSERT_NO_FATAL_FAILURE(open());

    Bytes frame(1000);
    std::iota(frame.begin(), frame.end(), uint8_t{0});
    ASSERT_TRUE(d.peripheral->sendL2CAP(frame));
    ASSERT_TRUE(d.peripheral->sendL2CAP(Bytes{}));

    Bytes received;
    std::vector<ssize_t> sizes;
    uint8_t sdu[256];
    while (received.size() < 1008) {
        const ssize_t n = ::recv(channel->fd(), sdu, sizeof sdu, 0);
        ASSERT_GT(n, 0);
        sizes.push_back(n);
        received.insert(received.end(), sdu, sdu + n);
    }
    std::vector<ssize_t> expectedSizes(15, 64);
    expectedSizes.insert(expectedSizes.end(), {44, 4});
    EXPECT_EQ(sizes, expectedSizes);
    Bytes expected = packetOf(frame);
    EXPECT_EQ((Bytes{expected.begin(), expected.begin() + 4}), (Bytes{0x00, 0x00, 0x03, 0xe8}));
    expected.insert(expected.end(), {0, 0, 0, 0});
    EXPECT_EQ(received, expected);
}

TEST_F(L2CAPChannel, AShortWriteTearsDownAndRequestsExactlyOneRebuild) {
    d.radio.setL2CAPMTU(1024);
    d.radio.setL2CAPSendStallTimeout(std::chrono::milliseconds(50));
    d.peripheral->setOnL2CAPWriteFailed([&] {
        ++d.writeFailures;
        d.peripheral->rebuild();
    });
    ASSERT_NO_FATAL_FAILURE(open()); // the phone never reads it

    const Bytes frame(1u << 20, 0x42);
    EXPECT_FALSE(d.peripheral->sendL2CAP(frame));
    const std::regex failed(
        R"(Sorvane L2CAP: write failed \((\d+)/1048580\) — closing channel, falling back to GATT)");
    const auto lines = d.log.lines();
    std::smatch m;
    ASSERT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return std::regex_match(line, m, failed);
    }));
    EXPECT_GT(std::stol(m[1]), 0);
    EXPECT_LT(std::stol(m[1]), 1048580);
    EXPECT_EQ(std::stol(m[1]) % 1024, 0); // whole SDUs only
    // The failure is reported on the main thread, never inline.
    EXPECT_EQ(d.writeFailures, 0);
    EXPECT_FALSE(d.peripheral->sendL2CAP(frame)); // the channel is gone: quiet
    EXPECT_EQ(d.mainQueue.runPending(), 1u);
    EXPECT_EQ(d.writeFailures, 1);
    ASSERT_TRUE(d.log.waitFor("Sorvane BLE: new manager created, waiting for poweredOn"));
    EXPECT_EQ(d.log.count("Sorvane BLE: rebuilding CBPeripheralManager for fresh L2CAP"), 1u);
    EXPECT_EQ(d.log.count("Sorvane L2CAP: write failed"), 1u);
}

TEST_F(L2CAPChannel, TheWriteFailureIsNotDeliveredOnceThePeripheralIsGone) {
    d.radio.setL2CAPSendStallTimeout(std::chrono::milliseconds(20));
    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_FALSE(d.peripheral->sendL2CAP(Bytes(1u << 20, 1)));
    d.peripheral.reset();
    EXPECT_EQ(d.mainQueue.runPending(), 1u);
    EXPECT_EQ(d.writeFailures, 0);
}

// The phone closing its end tears the channel down, whether the desktop reads
// the end of the stream or an error; a partial frame is dropped with it.
TEST_F(L2CAPChannel, ThePhoneClosingTearsDownAndDiscardsThePartialFrame) {
    ASSERT_NO_FATAL_FAILURE(open());
    sendSDU(*channel, Bytes{0, 0, 0, 10, 1, 2, 3}); // 3 of 10 announced bytes
    channel.reset();                                // the phone closes
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: stream thread exited"));
    EXPECT_TRUE(d.log.contains("Sorvane L2CAP: input read returned 0 — tearing down"));
    EXPECT_FALSE(d.peripheral->sendL2CAP(Bytes{1}));

    // The same PSM opens again, with an empty buffer.
    channel = openChannel(d, *central);
    ASSERT_TRUE(channel);
    sendSDU(*channel, packetOf(Bytes{4, 5, 6, 7, 8, 9, 10}));
    ASSERT_TRUE(d.frames.waitForSize(1));
    EXPECT_EQ(d.frames.items(), std::vector<Bytes>{(Bytes{4, 5, 6, 7, 8, 9, 10})});

    d.log.clear();
    ASSERT_TRUE(d.peripheral->sendL2CAP(bytesOf("unread")));
    channel.reset(); // closing with unread data resets the connection
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: stream thread exited"));
    EXPECT_TRUE(d.log.contains("Sorvane L2CAP: stream closed/error"));
    EXPECT_FALSE(d.peripheral->sendL2CAP(Bytes{1}));
}

TEST_F(L2CAPChannel, AnOversizedLengthTearsDownInsteadOfBuffering) {
    ASSERT_NO_FATAL_FAILURE(open());
    sendSDU(*channel, packetOf(bytesOf("fine")));
    sendSDU(*channel, Bytes{0x01, 0x00, 0x00, 0x01, 0xaa, 0xbb});
    ASSERT_TRUE(d.log.waitFor(
        "Sorvane L2CAP: frame length 16777217 exceeds the limit of 16777216 bytes — tearing down"));
    EXPECT_TRUE(seesEnd(*channel));
    ASSERT_TRUE(d.frames.waitForSize(1)); // frames before the bad prefix still count
    EXPECT_EQ(d.frames.items(), std::vector<Bytes>{bytesOf("fine")});
}

TEST_F(L2CAPChannel, AFrameTooLongForThePrefixIsRefusedAndTheChannelKept) {
    ASSERT_NO_FATAL_FAILURE(open());
    const size_t size = size_t{1} << 32;
    void* mem =
        ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    EXPECT_FALSE(d.peripheral->sendL2CAP(ByteView(static_cast<const uint8_t*>(mem), size)));
    ::munmap(mem, size);
    EXPECT_TRUE(d.log.contains(
        "Sorvane L2CAP: frame of 4294967296 bytes is too long for the length prefix — not sent"));
    EXPECT_EQ(d.mainQueue.pending(), 0u);
    EXPECT_TRUE(d.peripheral->sendL2CAP(Bytes{7}));
    EXPECT_EQ(nextSDU(*channel), (Bytes{0, 0, 0, 1, 7}));
}

// Without a channel, before any open and after failed or empty ones, sending
// is quiet and asks nothing of the main thread.
TEST_F(L2CAPChannel, SendWithoutAChannelIsQuietAndFailedOrEmptyOpensHoldNothing) {
    d.powerOn();
    central = d.radio.connectCentral();
    d.log.clear();
    EXPECT_FALSE(d.peripheral->sendL2CAP(bytesOf("frame")));
    EXPECT_TRUE(d.log.lines().empty());
    EXPECT_EQ(d.mainQueue.pending(), 0u);

    d.radio.failNextL2CAPOpen("connection refused");
    EXPECT_FALSE(central->openL2CAP(0x0081));
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: open failed: connection refused"));
    d.radio.deliverEmptyL2CAPOpen();
    ASSERT_TRUE(d.idle());
    EXPECT_FALSE(d.log.contains("Sorvane L2CAP: channel opened"));
    EXPECT_FALSE(d.peripheral->sendL2CAP(Bytes{1}));
    EXPECT_EQ(d.mainQueue.pending(), 0u);
}

TEST_F(L2CAPChannel, TheNewestChannelWins) {
    ASSERT_NO_FATAL_FAILURE(open());
    auto second = openChannel(d, *central);
    ASSERT_TRUE(second);
    EXPECT_TRUE(d.log.contains("Sorvane L2CAP: replacing stale channel"));
    EXPECT_TRUE(seesEnd(*channel));

    sendSDU(*second, packetOf(bytesOf("via second")));
    ASSERT_TRUE(d.frames.waitForSize(1));
    EXPECT_EQ(d.frames.items()[0], bytesOf("via second"));
    ASSERT_TRUE(d.peripheral->sendL2CAP(bytesOf("back")));
    EXPECT_EQ(nextSDU(*second), packetOf(bytesOf("back")));
}

TEST_F(L2CAPChannel, PowerOffShutdownAndRebuildCloseTheChannel) {
    ASSERT_NO_FATAL_FAILURE(open());
    d.radio.setState(ManagerState::poweredOff);
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: input read returned 0 — tearing down"));
    EXPECT_FALSE(d.peripheral->sendL2CAP(Bytes{1}));

    d.log.clear();
    d.radio.setState(ManagerState::poweredOn);
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: published PSM"));
    channel = openChannel(d, *central);
    ASSERT_TRUE(channel);
    d.peripheral->rebuild();
    EXPECT_TRUE(seesEnd(*channel));

    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: published PSM 131"));
    channel = openChannel(d, *central);
    ASSERT_TRUE(channel);
    d.peripheral->shutdown();
    EXPECT_TRUE(seesEnd(*channel));
    EXPECT_FALSE(d.peripheral->sendL2CAP(Bytes{1}));
}

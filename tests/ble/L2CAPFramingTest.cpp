#include "ble/L2CAPFraming.h"
#include "ports/ByteChannel.h"

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <thread>

using namespace sorvane;

namespace {

Bytes packet(std::initializer_list<Bytes> frames) {
    Bytes out;
    for (const auto& f : frames) {
        const Bytes p = *buildL2CAPPacket(f);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

} // namespace

// A frame cut anywhere, in its prefix or in its body, waits in the buffer
// behind the whole frames before it until the rest comes.
TEST(L2CAPFraming, CutsWholeFramesInOrderAndKeepsTheRest) {
    const Bytes last = packet({{9, 9, 9, 9, 9}});
    for (const ptrdiff_t cut : {3, 6}) {
        SCOPED_TRACE(cut);
        Bytes buffer = packet({{1, 2, 3}, {}, {4}});
        buffer.insert(buffer.end(), last.begin(), last.begin() + cut);
        L2CAPCut got = cutL2CAPFrames(buffer);
        EXPECT_EQ(got.frames, (std::vector<Bytes>{{1, 2, 3}, {}, {4}}));
        EXPECT_FALSE(got.oversizedLength);
        EXPECT_EQ(buffer, Bytes(last.begin(), last.begin() + cut));
        buffer.insert(buffer.end(), last.begin() + cut, last.end());
        got = cutL2CAPFrames(buffer);
        EXPECT_EQ(got.frames, std::vector<Bytes>{(Bytes{9, 9, 9, 9, 9})});
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(L2CAPFraming, OversizedLengthIsReportedAfterTheFramesBeforeIt) {
    Bytes buffer = packet({{7}});
    const Bytes huge{0x01, 0x00, 0x00, 0x01, 0xee};
    buffer.insert(buffer.end(), huge.begin(), huge.end());
    const L2CAPCut cut = cutL2CAPFrames(buffer, 16u << 20);
    ASSERT_EQ(cut.frames.size(), 1u);
    EXPECT_EQ(cut.oversizedLength, 0x01000001u);
    // Exactly the limit is still accepted.
    Bytes atLimit{0x00, 0x00, 0x00, 0x02, 1, 2};
    EXPECT_EQ(cutL2CAPFrames(atLimit, 2).frames.size(), 1u);
}

// ---- ByteChannel over a real SOCK_SEQPACKET pair.

class ByteChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        m_a = UniqueFd(fds[0]);
        m_b = UniqueFd(fds[1]);
    }
    UniqueFd m_a, m_b;
};

TEST_F(ByteChannelTest, ReadHandsOutAnSDUInPiecesWithoutLosingBytes) {
    ByteChannel in(std::move(m_b), 64, 8192);
    Bytes sdu(6000);
    for (size_t i = 0; i < sdu.size(); ++i)
        sdu[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(::send(m_a.get(), sdu.data(), sdu.size(), 0), 6000);

    Bytes got;
    uint8_t piece[4096];
    while (in.hasBytesAvailable() && got.size() < sdu.size()) {
        const ssize_t n = in.read(piece, sizeof piece);
        ASSERT_GT(n, 0);
        EXPECT_LE(n, 4096);
        got.insert(got.end(), piece, piece + n);
    }
    EXPECT_EQ(got, sdu);
    EXPECT_FALSE(in.hasBytesAvailable());
    EXPECT_EQ(in.read(piece, sizeof piece), -1); // nothing there: never waits
    EXPECT_EQ(errno, EAGAIN);
}

TEST_F(ByteChannelTest, AnSDULongerThanTheReceiveMTUFailsTheRead) {
    ByteChannel in(std::move(m_b), 64, 64);
    const Bytes tooBig(65, 1);
    ASSERT_EQ(::send(m_a.get(), tooBig.data(), tooBig.size(), 0), 65);
    uint8_t buf[4096];
    EXPECT_EQ(in.read(buf, sizeof buf), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(in.inputStatus(), ByteChannel::Status::error);
}

TEST_F(ByteChannelTest, EndOfStreamAndShutdown) {
    ByteChannel in(std::move(m_b), 64, 64);
    EXPECT_EQ(in.inputStatus(), ByteChannel::Status::open);
    EXPECT_EQ(in.outputStatus(), ByteChannel::Status::open);
    m_a.reset();
    ASSERT_TRUE(in.hasBytesAvailable());
    uint8_t buf[16];
    EXPECT_EQ(in.read(buf, sizeof buf), 0);
    EXPECT_EQ(in.inputStatus(), ByteChannel::Status::atEnd);

    in.shutdown();
    in.shutdown();
    EXPECT_EQ(in.write(Bytes{1}), -1);
    EXPECT_EQ(in.outputStatus(), ByteChannel::Status::closed);
}

TEST_F(ByteChannelTest, ShutdownReleasesAWriterBlockedOnAStalledPeer) {
    auto out = std::make_shared<ByteChannel>(std::move(m_a), 1024, 1024,
                                             std::chrono::milliseconds(0)); // waits forever
    std::atomic<ssize_t> result{0};
    std::thread writer([&] { result = out->write(Bytes(4u << 20, 1)); });
    // Wait until the send queue is well filled: the writer is about to block, if
    // it has not already.
    for (int queued = 0; queued < (64 << 10);)
        ASSERT_EQ(::ioctl(out->fd(), SIOCOUTQ, &queued), 0);
    out->shutdown();
    writer.join();
    EXPECT_GT(result.load(), 0);
    EXPECT_LT(result.load(), static_cast<ssize_t>(4u << 20));
}

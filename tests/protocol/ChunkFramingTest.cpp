#include "protocol/ChunkFraming.h"
#include "protocol/Reassembler.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/ManualClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>

namespace sorvane {
namespace {

using namespace std::chrono_literals;
using testing::ManualClock;

Bytes pattern(size_t n) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), uint8_t{0});
    return b;
}

ParsedChunk parsed(const Bytes& chunk) {
    auto p = parseChunk(chunk);
    EXPECT_TRUE(p.has_value());
    return *p;
}

TEST(ChunkPayload, SizesHeadersAndLimits) {
    // Empty payload: one 7-byte chunk carrying the last-chunk bit.
    auto empty = chunkPayload(0x1234, {}, 200, 0x01);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0], (Bytes{0x34, 0x12, 0x00, 0x00, 0x01, 0x00, 0x03}));

    const Bytes exact = pattern(200);
    auto one = chunkPayload(7, exact, 200, 0x00);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].size(), 207u);
    EXPECT_EQ(one[0][6], kFlagLastChunk);

    const Bytes over = pattern(201);
    auto two = chunkPayload(7, over, 200, 0x01);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].size(), 207u);
    EXPECT_EQ(two[1].size(), 8u);
    EXPECT_EQ(two[0][6], 0x01);                  // not last: encrypted bit only
    EXPECT_EQ(two[1][6], 0x01 | kFlagLastChunk); // last
    EXPECT_EQ(two[1][2], 1);                     // index 1
    EXPECT_EQ(two[1][4], 2);                     // total 2
    EXPECT_EQ(two[1][7], over[200]);

    // Nothing for what the header cannot express: no body, or more than 65535 chunks.
    EXPECT_TRUE(chunkPayload(1, pattern(10), 0, 0).empty());
    const Bytes big(65535 * 2 + 1);
    EXPECT_TRUE(chunkPayload(1, big, 2, 0).empty());
    EXPECT_EQ(chunkPayload(1, ByteView(big).first(65535 * 2), 2, 0).size(), 65535u);
}

TEST(ParseChunk, ShortInputAndFields) {
    EXPECT_FALSE(parseChunk(Bytes(6, 0)).has_value());
    auto seven = parseChunk(Bytes{0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0xff});
    ASSERT_TRUE(seven.has_value());
    EXPECT_EQ(seven->frameID, 0x0102);
    EXPECT_EQ(seven->index, 0x0304);
    EXPECT_EQ(seven->total, 0x0506);
    EXPECT_EQ(seven->flags, 0xff);
    EXPECT_TRUE(seven->body.empty());
}

// Two frames' chunks shuffled together: each completes exactly at its last
// chunk, with its own payload and the flags it was sent with.
TEST(Reassembler, InterleavedFramesRoundTripInAnyOrder) {
    const Bytes a = pattern(1000), b(300, 0xee);
    const auto ca = chunkPayload(42, a, 64, kFlagEncrypted), cb = chunkPayload(2, b, 100, 0);
    std::vector<Bytes> chunks = ca;
    chunks.insert(chunks.end(), cb.begin(), cb.end());
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(chunks.begin(), chunks.end(), rng);
        Reassembler r;
        std::map<uint16_t, size_t> left{{42, ca.size()}, {2, cb.size()}};
        size_t completed = 0;
        for (const Bytes& c : chunks) {
            const ParsedChunk chunk = parsed(c);
            const auto done = r.push(chunk);
            ASSERT_EQ(done.has_value(), --left[chunk.frameID] == 0) << "round " << round;
            if (done) {
                ++completed;
                EXPECT_EQ(done->payload, chunk.frameID == 42 ? a : b);
                EXPECT_EQ(done->flags & kFlagEncrypted, chunk.frameID == 42 ? kFlagEncrypted : 0);
            }
        }
        EXPECT_EQ(completed, 2u);
        EXPECT_EQ(r.openFrames(), 0u);
        EXPECT_EQ(r.bufferedBytes(), 0u);
    }
}

TEST(Reassembler, FlagsComeFromChunkZero) {
    Reassembler r;
    // Index 1 (marked last, plain) arrives before index 0 (encrypted).
    EXPECT_FALSE(r.push(parsed(Bytes{9, 0, 1, 0, 2, 0, 0x02, 'b'})));
    auto done = r.push(parsed(Bytes{9, 0, 0, 0, 2, 0, 0x01, 'a'}));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->flags, 0x01);
    EXPECT_EQ(done->payload, (Bytes{'a', 'b'}));

    auto single = r.push(parsed(chunkPayload(3, pattern(5), 200, 0)[0]));
    ASSERT_TRUE(single);
    EXPECT_EQ(single->flags, kFlagLastChunk);
}

TEST(Reassembler, DuplicateOutOfRangeOrMismatchedChunksAreDropped) {
    Reassembler r;
    EXPECT_FALSE(r.push(parsed(Bytes{1, 0, 0, 0, 3, 0, 0, 'x'})));
    // A second copy with different content: the first copy wins.
    EXPECT_FALSE(r.push(parsed(Bytes{1, 0, 0, 0, 3, 0, 0, 'y'})));
    EXPECT_FALSE(r.push(parsed(Bytes{1, 0, 7, 0, 3, 0, 0, 'z'})));
    EXPECT_FALSE(r.push(parsed(Bytes{1, 0, 1, 0, 3, 0, 0, 'b'})));
    auto done = r.push(parsed(Bytes{1, 0, 2, 0, 3, 0, 2, 'c'}));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->payload, (Bytes{'x', 'b', 'c'}));

    EXPECT_FALSE(r.push(parsed(Bytes{5, 0, 0, 0, 2, 0, 0, 'a'})));
    // Same frame id, other total: old buffer gone, this chunk does not start a new one.
    EXPECT_FALSE(r.push(parsed(Bytes{5, 0, 0, 0, 1, 0, 2, 'q'})));
    EXPECT_EQ(r.openFrames(), 0u);
    // The frame's remaining chunk now starts a fresh buffer and waits for index 0.
    EXPECT_FALSE(r.push(parsed(Bytes{5, 0, 1, 0, 2, 0, 2, 'b'})));
    done = r.push(parsed(Bytes{5, 0, 0, 0, 2, 0, 0, 'a'}));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->payload, (Bytes{'a', 'b'}));
}

TEST(Reassembler, FramesOlderThanFiveSecondsAreEvicted) {
    ManualClock clock;
    Reassembler r(clock.fn());
    EXPECT_FALSE(r.push(parsed(Bytes{1, 0, 0, 0, 2, 0, 0, 'a'})));
    clock.advance(5000ms);
    ASSERT_TRUE(r.push(parsed(Bytes{1, 0, 1, 0, 2, 0, 2, 'b'})))
        << "a frame exactly 5.0 s old is still reassembled";

    EXPECT_FALSE(r.push(parsed(Bytes{2, 0, 0, 0, 2, 0, 0, 'a'})));
    // A total of zero never completes, however often its chunk comes.
    EXPECT_FALSE(r.push(parsed(Bytes{3, 0, 0, 0, 0, 0, 2})));
    EXPECT_FALSE(r.push(parsed(Bytes{3, 0, 0, 0, 0, 0, 2})));
    EXPECT_EQ(r.openFrames(), 2u);
    clock.advance(5001ms);
    // Both dropped; frame 2's chunk starts a fresh buffer that still needs index 0.
    EXPECT_FALSE(r.push(parsed(Bytes{2, 0, 1, 0, 2, 0, 2, 'b'})));
    EXPECT_EQ(r.openFrames(), 1u);
    EXPECT_TRUE(r.push(parsed(Bytes{2, 0, 0, 0, 2, 0, 0, 'a'})));
}

TEST(Reassembler, AFullTableEvictsTheOldestAndLogsOncePerBurst) {
    testing::LogCapture log;
    ManualClock clock;
    Reassembler r(clock.fn(), ReassemblerLimits{4, 10'000});
    for (uint8_t id = 0; id < 4; ++id) {
        EXPECT_FALSE(r.push(parsed(Bytes{id, 0, 0, 0, 2, 0, 0, 'a'})));
        clock.advance(10ms);
    }
    // A fifth frame takes the place of the oldest (frame 0); the others stay.
    EXPECT_FALSE(r.push(parsed(Bytes{9, 0, 0, 0, 2, 0, 0, 'n'})));
    EXPECT_EQ(r.openFrames(), 4u);
    EXPECT_FALSE(r.push(parsed(Bytes{0, 0, 1, 0, 2, 0, 2, 'b'}))) << "frame 0 was evicted";
    auto kept = r.push(parsed(Bytes{2, 0, 1, 0, 2, 0, 2, 'b'}));
    ASSERT_TRUE(kept) << "frame 2 was not";
    EXPECT_EQ(kept->payload, (Bytes{'a', 'b'}));
    // A single-chunk frame always completes, full table or not.
    for (uint8_t id = 20; id < 30; ++id)
        EXPECT_FALSE(r.push(parsed(Bytes{id, 0, 0, 0, 2, 0, 0, 'j'})));
    auto single = r.push(parsed(Bytes{40, 0, 0, 0, 1, 0, 2, 'z'}));
    ASSERT_TRUE(single);
    EXPECT_EQ(single->payload, Bytes{'z'});
    EXPECT_EQ(log.count("reassembler full"), 1u) << "one line for the whole burst";

    // After a quiet window a new burst is reported again.
    clock.advance(6s);
    for (uint8_t id = 50; id < 56; ++id)
        r.push(parsed(Bytes{id, 0, 0, 0, 2, 0, 0, 'j'}));
    EXPECT_EQ(log.count("reassembler full"), 2u);
}

TEST(Reassembler, TheByteBudgetEvictsOldFramesAndNeverOverflows) {
    ManualClock clock;
    Reassembler r(clock.fn(), ReassemblerLimits{32, 1000});
    Bytes first = {1, 0, 0, 0, 2, 0, 0};
    first.resize(7 + 600, 'x');
    EXPECT_FALSE(r.push(parsed(first)));
    clock.advance(10ms);
    Bytes second = {2, 0, 0, 0, 2, 0, 0};
    second.resize(7 + 300, 'y');
    EXPECT_FALSE(r.push(parsed(second)));
    // Frame 2's next body does not fit beside frame 1: the older frame goes.
    Bytes rest = {2, 0, 1, 0, 2, 0, 2};
    rest.resize(7 + 500, 'z');
    auto done = r.push(parsed(rest));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->payload.size(), 800u);
    EXPECT_EQ(r.openFrames(), 0u);
    EXPECT_EQ(r.bufferedBytes(), 0u);
    // A body larger than the whole budget is dropped, nothing else disturbed.
    EXPECT_FALSE(r.push(parsed(Bytes{3, 0, 0, 0, 2, 0, 0, 'q'})));
    Bytes huge = {4, 0, 0, 0, 2, 0, 0};
    huge.resize(7 + 1200, 'h');
    EXPECT_FALSE(r.push(parsed(huge)));
    EXPECT_LE(r.bufferedBytes(), 1000u);
    EXPECT_TRUE(r.push(parsed(Bytes{3, 0, 1, 0, 2, 0, 2, 'r'})));
}

TEST(Reassembler, AClaimedTotalCostsNothingUntilItsChunksArrive) {
    // A 7-byte chunk announcing 65535 chunks is held for what it brought, not
    // for what it claims; 32 of them fit easily and a real frame still completes.
    Reassembler r;
    for (uint8_t id = 0; id < 32; ++id)
        EXPECT_FALSE(r.push(parsed(Bytes{id, 0, 0, 0, 0xff, 0xff, 0})));
    EXPECT_EQ(r.openFrames(), 32u);
    EXPECT_LT(r.bufferedBytes(), 32u * 1024);
    // Out of order too: each chunk costs its own body and bookkeeping only.
    for (uint16_t i = 0; i < 100; ++i)
        r.push(parsed(Bytes{0, 0, static_cast<uint8_t>(200 - i), 0, 0xff, 0xff, 0, 'o'}));
    EXPECT_LT(r.bufferedBytes(), 64u * 1024);

    const Bytes text = pattern(1000);
    std::optional<Reassembler::Completed> done;
    for (const Bytes& c : chunkPayload(77, text, 200, 0))
        done = r.push(parsed(c));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->payload, text);
}

TEST(Reassembler, ALargeFrameCompletesWithinATightBudget) {
    // Past the trusted size the buffer asks for the whole announced payload,
    // but only from free space; it must neither overflow nor evict the others.
    ManualClock clock;
    const Bytes text = pattern(200'000);
    Reassembler r(clock.fn(), ReassemblerLimits{32, 200'000 + 8 * 1024});
    EXPECT_FALSE(r.push(parsed(Bytes{9, 0, 0, 0, 2, 0, 0, 'o'})));
    std::optional<Reassembler::Completed> done;
    for (const Bytes& c : chunkPayload(1, text, 200, 0)) {
        done = r.push(parsed(c));
        ASSERT_LE(r.bufferedBytes(), 200'000u + 8 * 1024);
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(done->payload, text);
    EXPECT_EQ(r.evictions(), 0u);
    EXPECT_TRUE(r.push(parsed(Bytes{9, 0, 1, 0, 2, 0, 2, 'k'}))) << "the other frame was kept";
}

TEST(L2CAPFrame, HeaderRoundTripAndShortInput) {
    const Bytes frame = buildL2CAPFrame(0x01, 0xBEEF, Bytes{1, 2, 3});
    EXPECT_EQ(frame, (Bytes{0x01, 0xEF, 0xBE, 1, 2, 3}));
    auto p = parseL2CAPFrame(frame);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->flags, 0x01);
    EXPECT_EQ(p->frameID, 0xBEEF);
    EXPECT_EQ(toBytes(p->payload), (Bytes{1, 2, 3}));
    EXPECT_FALSE(parseL2CAPFrame(Bytes{1, 2}));
    EXPECT_TRUE(parseL2CAPFrame(Bytes{0, 0, 0})->payload.empty());
}

} // namespace
} // namespace sorvane

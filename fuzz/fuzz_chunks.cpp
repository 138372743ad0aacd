// Chunk parsing and reassembly under hostile input.
//
// Byte 0 picks the mode:
//   bit 0x04 clear — a stream of chunks as a phone might write them. Records of
//     [clock advance (u8, x40 ms)] [length (u8)] [chunk bytes], each parsed and
//     pushed into one Reassembler whose clock moves by the advance; bit 0x01 picks
//     tight resource limits. Checks that the buffered bytes and open frames stay
//     within the limits and that no completed payload holds more than was fed.
//   bit 0x04 set — a round trip: [frame id (u16 LE)] [max body (u8)] [flags (u8)]
//     [payload length (u16 LE)] [payload] [order bytes]; the payload is cut with
//     chunkPayload, the chunks are pushed in an order (with repeats) chosen by the
//     order bytes, and exactly the last new chunk must complete the frame with the
//     original payload and chunk 0's flags.
#include "FuzzSupport.h"

#include "protocol/ChunkFraming.h"
#include "protocol/Reassembler.h"

#include <algorithm>
#include <chrono>
#include <numeric>

namespace {

using namespace sorvane;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

void chunkStream(ByteReader& in, bool tight) {
    ReassemblerLimits limits;
    if (tight)
        limits = ReassemblerLimits{4, 2048};
    steady_clock::time_point now{};
    Reassembler reassembler([&now] { return now; }, limits);

    size_t fedBytes = 0;
    while (true) {
        const auto advance = in.readU8();
        const auto length = in.readU8();
        if (!advance || !length)
            return;
        auto piece = in.readBytes(*length);
        if (!piece)
            piece = in.rest();
        now += milliseconds(40 * *advance); // 255 steps cross the 5 s window

        const auto chunk = parseChunk(*piece);
        if (!chunk) {
            FUZZ_CHECK(piece->size() < kChunkHeaderSize);
            continue;
        }
        FUZZ_CHECK(chunk->body.size() == piece->size() - kChunkHeaderSize);
        FUZZ_CHECK(chunk->body.data() == piece->data() + kChunkHeaderSize);
        fedBytes += chunk->body.size();

        // Whatever the chunks claim, the budget bounds what is held.
        const auto done = reassembler.push(*chunk);
        const size_t after = reassembler.bufferedBytes();
        FUZZ_CHECK(after <= limits.maxBufferedBytes);
        FUZZ_CHECK(reassembler.openFrames() <= limits.maxOpenFrames);
        FUZZ_CHECK(reassembler.openFrames() > 0 || after == 0);
        if (done) {
            FUZZ_CHECK(chunk->total >= 1);
            FUZZ_CHECK(done->payload.size() <= fedBytes);
            FUZZ_CHECK(done->payload.size() <= size_t{chunk->total} * (255 - kChunkHeaderSize));
        }
    }
}

void roundTrip(ByteReader& in) {
    const auto frameID = in.readU16LE();
    const auto maxBodyByte = in.readU8();
    const auto flagsByte = in.readU8();
    const auto payloadLength = in.readU16LE();
    if (!frameID || !maxBodyByte || !flagsByte || !payloadLength)
        return;
    const size_t maxBody = size_t{*maxBodyByte} % 64 + 1;
    const uint8_t flags = *flagsByte & kFlagEncrypted;
    auto payload = in.readBytes(*payloadLength);
    if (!payload)
        payload = in.rest();

    const std::vector<Bytes> chunks = chunkPayload(*frameID, *payload, maxBody, flags);
    const size_t total = std::max<size_t>(1, (payload->size() + maxBody - 1) / maxBody);
    FUZZ_CHECK(chunks.size() == total);

    steady_clock::time_point now{};
    Reassembler reassembler([&now] { return now; });
    std::vector<size_t> pending(total);
    std::iota(pending.begin(), pending.end(), size_t{0});
    std::vector<size_t> sent;
    while (!pending.empty()) {
        const uint8_t order = in.readU8().value_or(0);
        const bool repeat = (order & 0x80) != 0 && !sent.empty();
        size_t index;
        if (repeat) {
            index = sent[order % sent.size()];
        } else {
            const size_t pick = order % pending.size();
            index = pending[pick];
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(pick));
            sent.push_back(index);
        }
        const auto chunk = parseChunk(chunks[index]);
        FUZZ_CHECK(chunk && chunk->frameID == *frameID && chunk->index == index &&
                   chunk->total == total);
        FUZZ_CHECK(((chunk->flags & kFlagLastChunk) != 0) == (index + 1 == total));
        const auto done = reassembler.push(*chunk);
        if (!repeat && pending.empty()) {
            FUZZ_CHECK(done.has_value());
            FUZZ_CHECK(done->payload.size() == payload->size());
            FUZZ_CHECK(std::equal(done->payload.begin(), done->payload.end(), payload->begin()));
            const uint8_t firstFlags = total == 1 ? (flags | kFlagLastChunk) : flags;
            FUZZ_CHECK(done->flags == firstFlags);
        } else {
            FUZZ_CHECK(!done.has_value());
        }
    }
    FUZZ_CHECK(reassembler.openFrames() == 0);
    FUZZ_CHECK(reassembler.bufferedBytes() == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(ByteView(data, size));
    const auto mode = in.readU8();
    if (!mode)
        return 0;
    if (*mode & 0x04)
        roundTrip(in);
    else
        chunkStream(in, (*mode & 0x01) != 0);
    return 0;
}

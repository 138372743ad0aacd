// The L2CAP stream cutter under hostile input: whatever a peer writes, and
// however the reads split it, the frames cut are the ones the stream holds.
//
// Byte 0 picks the largest frame accepted: 0 means the real limit, any other
// value v a limit of v bytes (so that oversized prefixes are reached). The rest
// is a sequence of reads, each [length (u8)] [that many stream bytes] (the last
// read takes what is left). After each read the buffer is cut, as the stream
// thread does. Checks that
//   - every frame is within the limit, and the frames, each re-prefixed, are
//     exactly the stream bytes consumed, in order, with the rest left in the
//     buffer (nothing lost, duplicated or reordered);
//   - the result does not depend on how the stream was split into reads: the
//     whole stream cut at once gives the same frames;
//   - an oversized length is reported only with its prefix at the front of the
//     buffer, and then feeding stops (the channel is dropped).
#include "FuzzSupport.h"

#include "ble/L2CAPFraming.h"

#include <algorithm>

namespace {

using namespace sorvane;

struct Outcome {
    std::vector<Bytes> frames;
    Bytes rest;
    std::optional<uint32_t> oversized;
};

uint32_t prefixOf(ByteView bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           uint32_t{bytes[3]};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(ByteView(data, size));
    const auto limitByte = in.readU8();
    if (!limitByte)
        return 0;
    const size_t limit = *limitByte == 0 ? kL2CAPMaxFrameLength : *limitByte;

    Bytes stream; // everything fed so far
    Outcome split;
    Bytes buffer;
    while (!split.oversized) {
        const auto length = in.readU8();
        if (!length)
            break;
        auto piece = in.readBytes(*length);
        if (!piece)
            piece = in.rest();
        stream.insert(stream.end(), piece->begin(), piece->end());
        buffer.insert(buffer.end(), piece->begin(), piece->end());
        L2CAPCut cut = cutL2CAPFrames(buffer, limit);
        for (Bytes& f : cut.frames)
            split.frames.push_back(std::move(f));
        split.oversized = cut.oversizedLength;
    }
    split.rest = buffer;

    // Frames re-prefixed, then the rest, give back the stream.
    Bytes rebuilt;
    for (const Bytes& f : split.frames) {
        FUZZ_CHECK(f.size() <= limit);
        const auto packet = buildL2CAPPacket(f);
        FUZZ_CHECK(packet.has_value());
        rebuilt.insert(rebuilt.end(), packet->begin(), packet->end());
    }
    rebuilt.insert(rebuilt.end(), split.rest.begin(), split.rest.end());
    FUZZ_CHECK(rebuilt == stream);

    if (split.oversized) {
        FUZZ_CHECK(split.rest.size() >= kL2CAPLengthPrefixSize);
        FUZZ_CHECK(prefixOf(split.rest) == *split.oversized);
        FUZZ_CHECK(*split.oversized > limit);
    } else if (split.rest.size() >= kL2CAPLengthPrefixSize) {
        // What is left is an unfinished frame within the limit.
        const uint32_t waiting = prefixOf(split.rest);
        FUZZ_CHECK(waiting <= limit);
        FUZZ_CHECK(split.rest.size() < kL2CAPLengthPrefixSize + waiting);
    }

    // The same stream in one read cuts the same way.
    Bytes whole = stream;
    L2CAPCut once = cutL2CAPFrames(whole, limit);
    FUZZ_CHECK(once.frames == split.frames);
    FUZZ_CHECK(once.oversizedLength == split.oversized);
    FUZZ_CHECK(whole == split.rest);
    return 0;
}

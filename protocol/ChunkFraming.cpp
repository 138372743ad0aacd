#include "protocol/ChunkFraming.h"

namespace sorvane {

std::vector<Bytes> chunkPayload(uint16_t frameID, ByteView payload, size_t maxChunkBody,
                                uint8_t flags) {
    if (maxChunkBody == 0 || payload.size() > 65535 * maxChunkBody)
        return {};
    const size_t count = payload.size();
    const size_t total = count == 0 ? 1 : (count + maxChunkBody - 1) / maxChunkBody;
    std::vector<Bytes> chunks;
    chunks.reserve(total);
    for (size_t i = 0; i < total; ++i) {
        const size_t begin = i * maxChunkBody;
        const size_t end = std::min(count, begin + maxChunkBody);
        const bool last = i + 1 == total;
        ByteWriter w(kChunkHeaderSize + (end - begin));
        w.u16LE(frameID)
            .u16LE(static_cast<uint16_t>(i))
            .u16LE(static_cast<uint16_t>(total))
            .u8(last ? static_cast<uint8_t>(flags | kFlagLastChunk) : flags)
            .bytes(payload.subspan(begin, end - begin));
        chunks.push_back(w.take());
    }
    return chunks;
}

std::optional<ParsedChunk> parseChunk(ByteView data) {
    ByteReader r(data);
    auto frameID = r.readU16LE();
    auto index = r.readU16LE();
    auto total = r.readU16LE();
    auto flags = r.readU8();
    if (!frameID || !index || !total || !flags)
        return std::nullopt;
    return ParsedChunk{*frameID, *index, *total, *flags, r.rest()};
}

Bytes buildL2CAPFrame(uint8_t flags, uint16_t frameID, ByteView payload) {
    ByteWriter w(kL2CAPFrameHeaderSize + payload.size());
    w.u8(flags).u16LE(frameID).bytes(payload);
    return w.take();
}

std::optional<L2CAPFrame> parseL2CAPFrame(ByteView data) {
    ByteReader r(data);
    auto flags = r.readU8();
    auto frameID = r.readU16LE();
    if (!flags || !frameID)
        return std::nullopt;
    return L2CAPFrame{*flags, *frameID, r.rest()};
}

} // namespace sorvane

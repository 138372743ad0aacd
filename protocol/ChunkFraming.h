// Frames on the wire: the 7-byte chunk header used on GATT characteristics and the
// 3-byte header of a frame sent whole over the L2CAP channel.
//
// Chunk:  frame id (u16 LE) | index (u16 LE) | total (u16 LE) | flags (u8) | body
// L2CAP:  flags (u8) | frame id (u16 LE) | payload
// Flag 0x01 marks an encrypted frame; 0x02 marks a frame's last chunk.
// Pure functions; thread-safe.
#pragma once

#include "base/Bytes.h"

#include <optional>
#include <vector>

namespace sorvane {

inline constexpr size_t kChunkHeaderSize = 7;
inline constexpr uint8_t kFlagEncrypted = 0x01;
inline constexpr uint8_t kFlagLastChunk = 0x02;
// Chunk body size used by the GATT sender.
inline constexpr size_t kGattChunkBody = 200;

// One parsed chunk. `body` borrows from the buffer handed to parseChunk and is
// valid only as long as that buffer is.
struct ParsedChunk {
    uint16_t frameID = 0;
    uint16_t index = 0;
    uint16_t total = 0;
    uint8_t flags = 0;
    ByteView body;
};

// Cuts `payload` into chunks in index order. An empty payload yields one chunk
// with an empty body. Requires maxChunkBody >= 1 and payload.size() <=
// 65535 * maxChunkBody; returns no chunks when either is violated.
std::vector<Bytes> chunkPayload(uint16_t frameID, ByteView payload, size_t maxChunkBody,
                                uint8_t flags);

// Absent for input shorter than 7 bytes; nothing else is validated here.
std::optional<ParsedChunk> parseChunk(ByteView data);

inline constexpr size_t kL2CAPFrameHeaderSize = 3;

struct L2CAPFrame {
    uint8_t flags = 0;
    uint16_t frameID = 0;
    ByteView payload; // borrows from the parsed buffer
};

Bytes buildL2CAPFrame(uint8_t flags, uint16_t frameID, ByteView payload);
// Absent for input shorter than 3 bytes.
std::optional<L2CAPFrame> parseL2CAPFrame(ByteView data);

} // namespace sorvane

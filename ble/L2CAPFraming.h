// Framing of the L2CAP byte stream: every frame travels as a 4-byte big-endian
// length L followed by L bytes, with nothing between frames. This layer never
// looks inside a frame. Pure functions; thread-safe.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace sorvane {

inline constexpr size_t kL2CAPLengthPrefixSize = 4;
// Bytes moved by one read of the input stream.
inline constexpr size_t kL2CAPReadSize = 4096;
// The largest frame a reader accepts. A longer announced length means a broken or
// hostile peer: the channel is dropped instead of buffering towards it.
inline constexpr size_t kL2CAPMaxFrameLength = 16u << 20;

// The length prefix followed by the frame. Absent when the frame is too long for
// the 32-bit prefix.
std::optional<Bytes> buildL2CAPPacket(ByteView frame);

struct L2CAPCut {
    // Complete frames taken from the front of the buffer, in order.
    std::vector<Bytes> frames;
    // Set when the next frame announces a length above the limit; the buffer
    // then starts with that frame's prefix.
    std::optional<uint32_t> oversizedLength;
};

// Removes every complete frame from the front of `buffer`. An incomplete frame
// stays in the buffer and waits for more bytes.
L2CAPCut cutL2CAPFrames(Bytes& buffer, size_t maxFrameLength = kL2CAPMaxFrameLength);

} // namespace sorvane

// Reassembles GATT chunks into frames.
//
// One FrameBuf per frame id in flight. A buffer lives from its first chunk until
// the frame completes, a chunk with a different total discards it, or a later
// push finds it older than `timeout` (5 s). Malformed or unexpected chunks are
// dropped silently and never disturb other frames.
//
// Resource bounds: at most `maxOpenFrames` buffers and `maxBufferedBytes` of
// memory are held. A new frame is charged at its first chunk for the payload its
// chunk count announces (total * the larger of its body and chunkBodyEstimate)
// plus its slot table, and refused when the table is full or that charge does
// not fit; a chunk whose body would overflow the budget is dropped.
//
// Not thread-safe: one owner, one thread.
#pragma once

#include "protocol/ChunkFraming.h"
#include "base/Clock.h"

#include <chrono>
#include <optional>
#include <unordered_map>
#include <vector>

namespace sorvane {

struct FrameBuf {
    // Where one chunk's body sits inside `data`.
    struct Part {
        uint32_t offset = 0;
        uint32_t length = 0;
        bool filled = false;
    };

    uint16_t total = 0;
    std::vector<Part> parts; // `total` slots, all empty at creation
    size_t received = 0;
    std::chrono::steady_clock::time_point firstAt;
    uint8_t flags = 0;

    // Bodies in arrival order. While every chunk has arrived at the next index,
    // `data` already is the payload and completion costs no copy.
    Bytes data;
    bool inOrder = true;
    // What this buffer counts against the reassembler's byte budget.
    size_t charged = 0;
};

struct ReassemblerLimits {
    size_t maxOpenFrames = 32;
    size_t maxBufferedBytes = 64u << 20;
    size_t chunkBodyEstimate = kGattChunkBody;
};

class Reassembler {
public:
    struct Completed {
        uint8_t flags = 0;
        Bytes payload;
    };

    static constexpr std::chrono::milliseconds timeout{5000};

    explicit Reassembler(SteadyClock clock = systemSteadyClock(), ReassemblerLimits limits = {});

    // Feeds one chunk. Returns the frame's flags (those of chunk 0) and payload
    // when this chunk completes it; otherwise absent.
    std::optional<Completed> push(const ParsedChunk& chunk);

    size_t openFrames() const { return m_buffers.size(); }
    size_t bufferedBytes() const { return m_bufferedBytes; }

private:
    void evictStale(std::chrono::steady_clock::time_point now);
    void drop(std::unordered_map<uint16_t, FrameBuf>::iterator it);

    SteadyClock m_clock;
    ReassemblerLimits m_limits;
    std::unordered_map<uint16_t, FrameBuf> m_buffers;
    size_t m_bufferedBytes = 0;
};

} // namespace sorvane

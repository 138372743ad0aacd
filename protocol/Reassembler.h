// Reassembles GATT chunks into frames.
//
// One FrameBuf per (central, frame id) in flight: chunks of one central never
// complete, replace or disturb another central's frame, even with the same id,
// and a central's partial frames go when it disconnects (dropSender). A buffer
// lives from its first chunk until
// the frame completes, a chunk with a different total discards it, or a later
// push finds it older than `timeout` (5 s). Malformed or unexpected chunks are
// dropped silently and never disturb other frames.
//
// Resource bounds: at most `maxOpenFrames` buffers and `maxBufferedBytes` of
// memory are held. A buffer is charged for what it actually holds (the bodies
// received, their bookkeeping and the buffer itself), never for the total its
// chunks claim, so a chunk costs the same whatever it announces (a frame is
// believed only after kTrustedBytes have arrived in order). When a new
// frame or a new body does not fit, the sender's own oldest other buffers are
// evicted first, and only then the oldest of other senders (the first eviction
// of a burst is logged once): someone who writes junk pays for it with their
// own frames and cannot lock out a later sender, and a single-chunk frame always
// completes. A body larger than the whole budget is dropped.
//
// Not thread-safe: one owner, one thread.
#pragma once

#include "protocol/ChunkFraming.h"
#include "base/Clock.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace sorvane {

struct FrameBuf {
    // Where one chunk's body sits inside `data`.
    struct Part {
        uint32_t offset = 0;
        uint32_t length = 0;
    };

    uint16_t total = 0;
    // Chunks 0 .. inOrder-1 arrived in index order, before any other, and
    // are the first bytes of `data`; while nothing else has come, `data` is the
    // payload so far and completion costs no copy.
    uint32_t inOrder = 0;
    // Every other chunk that arrived, by index, with its place in `data`.
    std::map<uint16_t, Part> others;
    std::chrono::steady_clock::time_point firstAt;
    uint8_t flags = 0;
    // The first chunk's body size: chunks of one frame are cut to one size.
    uint32_t unit = 0;
    Bytes data;
    // What this buffer counts against the reassembler's byte budget.
    size_t charged = 0;

    size_t received() const { return inOrder + others.size(); }
};

struct ReassemblerLimits {
    size_t maxOpenFrames = 32;
    size_t maxBufferedBytes = 64u << 20;
};

class Reassembler {
public:
    struct Completed {
        uint8_t flags = 0;
        Bytes payload;
    };

    static constexpr std::chrono::milliseconds timeout{5000};
    // What a buffer and one out-of-order chunk cost beyond their bytes.
    static constexpr size_t kBufferOverhead = sizeof(FrameBuf) + 64;
    static constexpr size_t kPartOverhead = 64;
    // In-order bytes after which a frame is believed about its size: its buffer
    // then grows to the whole announced payload at once (when the budget has
    // room), instead of doubling. A junk chunk never gets there.
    static constexpr size_t kTrustedBytes = 64u << 10;

    explicit Reassembler(SteadyClock clock = systemSteadyClock(), ReassemblerLimits limits = {});

    // Feeds one chunk written by `sender` (the central's id). Returns the frame's
    // flags (those of chunk 0) and payload when this chunk completes it;
    // otherwise absent.
    std::optional<Completed> push(const std::string& sender, const ParsedChunk& chunk);
    // The same for a reassembler with a single sender.
    std::optional<Completed> push(const ParsedChunk& chunk) { return push(std::string(), chunk); }
    // Forgets every partial frame of `sender` (it went away).
    void dropSender(const std::string& sender);

    size_t openFrames() const { return m_buffers.size(); }
    size_t bufferedBytes() const { return m_bufferedBytes; }
    size_t evictions() const { return m_evictions; }

private:
    using Key = std::pair<std::string, uint16_t>; // sender, frame id
    using Buffers = std::map<Key, FrameBuf>;

    void evictStale(std::chrono::steady_clock::time_point now);
    void drop(Buffers::iterator it);
    // Evicts the oldest buffer other than `keep`, of keep's sender if it has
    // one; false when there is none.
    bool evictOldest(const Key& keep, std::chrono::steady_clock::time_point now);
    // Makes room for `bytes` more, evicting buffers other than `keep`.
    bool makeRoom(size_t bytes, const Key& keep, std::chrono::steady_clock::time_point now);

    SteadyClock m_clock;
    ReassemblerLimits m_limits;
    Buffers m_buffers;
    size_t m_bufferedBytes = 0;
    size_t m_evictions = 0;
    std::optional<std::chrono::steady_clock::time_point> m_lastEviction;
};

} // namespace sorvane

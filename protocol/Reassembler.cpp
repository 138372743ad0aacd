#include "protocol/Reassembler.h"

#include "base/Log.h"

#include <algorithm>

namespace sorvane {

Reassembler::Reassembler(SteadyClock clock, ReassemblerLimits limits)
    : m_clock(std::move(clock)), m_limits(limits) {}

void Reassembler::drop(Buffers::iterator it) {
    m_bufferedBytes -= it->second.charged;
    m_buffers.erase(it);
}

void Reassembler::evictStale(std::chrono::steady_clock::time_point now) {
    for (auto it = m_buffers.begin(); it != m_buffers.end();) {
        if (now - it->second.firstAt > timeout) {
            auto victim = it++;
            drop(victim);
        } else {
            ++it;
        }
    }
}

bool Reassembler::evictOldest(const Key& keep, std::chrono::steady_clock::time_point now) {
    auto oldestOf = [&](bool sameSender) {
        auto oldest = m_buffers.end();
        for (auto it = m_buffers.begin(); it != m_buffers.end(); ++it)
            if (it->first != keep && (it->first.first == keep.first) == sameSender &&
                (oldest == m_buffers.end() || it->second.firstAt < oldest->second.firstAt))
                oldest = it;
        return oldest;
    };
    auto oldest = oldestOf(true);
    if (oldest == m_buffers.end())
        oldest = oldestOf(false);
    if (oldest == m_buffers.end())
        return false;
    // One line per burst: a flood would otherwise write one per chunk.
    if (!m_lastEviction || now - *m_lastEviction > timeout)
        logLine("reassembler full \u2014 evicting the oldest unfinished frame (" +
                std::to_string(m_buffers.size()) + " open, " + std::to_string(m_bufferedBytes) +
                " bytes)");
    m_lastEviction = now;
    ++m_evictions;
    drop(oldest);
    return true;
}

bool Reassembler::makeRoom(size_t bytes, const Key& keep, std::chrono::steady_clock::time_point now) {
    while (m_bufferedBytes + bytes > m_limits.maxBufferedBytes)
        if (!evictOldest(keep, now))
            return false;
    return true;
}

void Reassembler::dropSender(const std::string& sender) {
    for (auto it = m_buffers.lower_bound(Key{sender, 0});
         it != m_buffers.end() && it->first.first == sender;)
        drop(it++);
}

std::optional<Reassembler::Completed> Reassembler::push(const std::string& sender,
                                                         const ParsedChunk& chunk) {
    const auto now = m_clock();
    evictStale(now);

    const Key key{sender, chunk.frameID};
    auto it = m_buffers.find(key);
    if (it == m_buffers.end()) {
        // A whole frame in one chunk needs no buffer and so can never be refused.
        if (chunk.total == 1 && chunk.index == 0)
            return Completed{chunk.flags, toBytes(chunk.body)};
        if (kBufferOverhead + chunk.body.size() > m_limits.maxBufferedBytes)
            return std::nullopt;
        if (m_buffers.size() >= m_limits.maxOpenFrames)
            evictOldest(key, now);
        if (!makeRoom(kBufferOverhead, key, now))
            return std::nullopt;
        FrameBuf buf;
        buf.total = chunk.total;
        buf.firstAt = now;
        buf.flags = chunk.flags;
        buf.unit = static_cast<uint32_t>(chunk.body.size());
        buf.charged = kBufferOverhead;
        m_bufferedBytes += kBufferOverhead;
        it = m_buffers.emplace(key, std::move(buf)).first;
    }
    FrameBuf& buf = it->second;

    if (buf.total != chunk.total) {
        drop(it);
        return std::nullopt;
    }
    if (chunk.index >= buf.total)
        return std::nullopt;
    if (chunk.index < buf.inOrder || buf.others.count(chunk.index))
        return std::nullopt; // duplicate: the first copy wins

    const bool next = buf.others.empty() && chunk.index == buf.inOrder;
    const size_t needed = buf.data.size() + chunk.body.size();
    const size_t parts = (buf.others.size() + (next ? 0 : 1)) * kPartOverhead;
    if (kBufferOverhead + needed + parts > m_limits.maxBufferedBytes) {
        // Even alone this frame could not be held.
        drop(it);
        return std::nullopt;
    }
    // `data` grows geometrically, but by hand, so that what it holds is what
    // it is charged for, and never past the budget.
    size_t capacity = buf.data.capacity();
    if (needed > capacity) {
        size_t wanted = std::max(needed, capacity * 2);
        if (next && needed >= kTrustedBytes)
            wanted = std::max(wanted, size_t{buf.unit} * buf.total);
        // Slack only from free space: never evict someone else for it.
        const size_t free = m_limits.maxBufferedBytes - m_bufferedBytes;
        const size_t growth = needed - capacity + kPartOverhead;
        capacity = std::min(wanted, needed + (free > growth ? free - growth : 0));
    }
    const size_t extra = (next ? 0 : kPartOverhead) + (capacity - buf.data.capacity());
    if (!makeRoom(extra, key, now))
        return std::nullopt;
    if (capacity > buf.data.capacity())
        buf.data.reserve(capacity);
    buf.charged += extra;
    m_bufferedBytes += extra;

    if (next) {
        ++buf.inOrder;
    } else {
        buf.others.emplace(chunk.index, FrameBuf::Part{static_cast<uint32_t>(buf.data.size()),
                                                       static_cast<uint32_t>(chunk.body.size())});
    }
    buf.data.insert(buf.data.end(), chunk.body.begin(), chunk.body.end());
    if (chunk.index == 0)
        buf.flags = chunk.flags;

    if (buf.received() != buf.total)
        return std::nullopt;

    Completed done;
    done.flags = buf.flags;
    if (buf.others.empty()) {
        done.payload = std::move(buf.data);
    } else {
        // The in-order prefix, then the rest by index (`others` is ordered).
        size_t prefix = buf.data.size();
        for (const auto& [index, part] : buf.others)
            prefix -= part.length;
        done.payload.reserve(buf.data.size());
        done.payload.insert(done.payload.end(), buf.data.begin(),
                            buf.data.begin() + static_cast<std::ptrdiff_t>(prefix));
        for (const auto& [index, part] : buf.others)
            done.payload.insert(done.payload.end(), buf.data.begin() + part.offset,
                                buf.data.begin() + part.offset + part.length);
    }
    drop(it);
    return done;
}

} // namespace sorvane

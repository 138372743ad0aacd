#include "protocol/Reassembler.h"

#include <algorithm>

namespace sorvane {

namespace {

// Bytes a buffer holds beyond its chunk bodies: its slot table.
size_t tableBytes(size_t total) { return total * sizeof(FrameBuf::Part); }

} // namespace

Reassembler::Reassembler(SteadyClock clock, ReassemblerLimits limits)
    : m_clock(std::move(clock)), m_limits(limits) {}

void Reassembler::drop(std::unordered_map<uint16_t, FrameBuf>::iterator it) {
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

std::optional<Reassembler::Completed> Reassembler::push(const ParsedChunk& chunk) {
    const auto now = m_clock();
    evictStale(now);

    auto it = m_buffers.find(chunk.frameID);
    if (it == m_buffers.end()) {
        // A new frame is charged up front for the payload its chunk count
        // announces and for its slot table, so that claims of huge frames cannot
        // hold memory the budget does not see. Chunks of one frame are cut to one
        // size, so the first body (or the usual body size) predicts the payload.
        const size_t body = std::max(chunk.body.size(), m_limits.chunkBodyEstimate);
        const size_t predicted = body * chunk.total;
        const size_t charge = predicted + tableBytes(chunk.total);
        if (m_buffers.size() >= m_limits.maxOpenFrames ||
            m_bufferedBytes + charge > m_limits.maxBufferedBytes)
            return std::nullopt;
        FrameBuf buf;
        buf.total = chunk.total;
        buf.parts.resize(chunk.total);
        buf.firstAt = now;
        buf.flags = chunk.flags;
        buf.data.reserve(predicted);
        buf.charged = charge;
        m_bufferedBytes += charge;
        it = m_buffers.emplace(chunk.frameID, std::move(buf)).first;
    }
    FrameBuf& buf = it->second;

    if (buf.total != chunk.total) {
        drop(it);
        return std::nullopt;
    }
    if (chunk.index >= buf.parts.size())
        return std::nullopt;
    FrameBuf::Part& part = buf.parts[chunk.index];
    if (part.filled)
        return std::nullopt; // duplicate: the first copy wins

    // Bodies beyond the prediction are charged as they come.
    const size_t needed = tableBytes(buf.parts.size()) + buf.data.size() + chunk.body.size();
    if (needed > buf.charged) {
        if (m_bufferedBytes + (needed - buf.charged) > m_limits.maxBufferedBytes)
            return std::nullopt;
        m_bufferedBytes += needed - buf.charged;
        buf.charged = needed;
    }

    if (chunk.index != buf.received)
        buf.inOrder = false;
    part.offset = static_cast<uint32_t>(buf.data.size());
    part.length = static_cast<uint32_t>(chunk.body.size());
    part.filled = true;
    buf.data.insert(buf.data.end(), chunk.body.begin(), chunk.body.end());
    ++buf.received;
    if (chunk.index == 0)
        buf.flags = chunk.flags;

    if (buf.received != chunk.total)
        return std::nullopt;

    Completed done;
    done.flags = buf.flags;
    if (buf.inOrder) {
        done.payload = std::move(buf.data);
    } else {
        done.payload.reserve(buf.data.size());
        for (const FrameBuf::Part& p : buf.parts)
            done.payload.insert(done.payload.end(), buf.data.begin() + p.offset,
                                buf.data.begin() + p.offset + p.length);
    }
    drop(it);
    return done;
}

} // namespace sorvane

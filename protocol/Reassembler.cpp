#include "protocol/Reassembler.h"

#include <algorithm>

namespace sorvane {

Reassembler::Reassembler(SteadyClock clock, ReassemblerLimits limits)
    : m_clock(std::move(clock)), m_limits(limits) {}

void Reassembler::drop(std::unordered_map<uint16_t, FrameBuf>::iterator it) {
    m_bufferedBytes -= it->second.data.size();
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
        const size_t estimate = size_t{chunk.total} * m_limits.chunkBodyEstimate;
        if (m_buffers.size() >= m_limits.maxOpenFrames ||
            m_bufferedBytes + estimate > m_limits.maxBufferedBytes)
            return std::nullopt;
        FrameBuf buf;
        buf.total = chunk.total;
        buf.parts.resize(chunk.total);
        buf.firstAt = now;
        buf.flags = chunk.flags;
        // Chunks of one frame are cut to one size, so the first body predicts the
        // payload well; the reservation never exceeds what the budget still allows.
        const size_t predicted = std::max(chunk.body.size(), size_t{1}) * chunk.total;
        buf.data.reserve(std::min(predicted, m_limits.maxBufferedBytes - m_bufferedBytes));
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
    if (m_bufferedBytes + chunk.body.size() > m_limits.maxBufferedBytes)
        return std::nullopt;

    if (chunk.index != buf.received)
        buf.inOrder = false;
    part.offset = static_cast<uint32_t>(buf.data.size());
    part.length = static_cast<uint32_t>(chunk.body.size());
    part.filled = true;
    buf.data.insert(buf.data.end(), chunk.body.begin(), chunk.body.end());
    m_bufferedBytes += chunk.body.size();
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
    m_bufferedBytes -= done.payload.size();
    buf.data.clear();
    m_buffers.erase(it);
    return done;
}

} // namespace sorvane

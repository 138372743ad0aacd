#include "store/History.h"

#include "base/Log.h"
#include "store/AtomicFile.h"
#include "store/HistoryFile.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace sorvane {
namespace {

PersistShape defaults() {
    return PersistShape{};
}

// Keeps the newest `maxEntries` entries (and their blocks).
void trim(std::vector<ClipboardEntry>& entries, std::vector<std::string>& blocks,
          int64_t maxEntries) {
    if (maxEntries >= 0 && static_cast<uint64_t>(maxEntries) < entries.size()) {
        entries.resize(static_cast<size_t>(maxEntries));
        blocks.resize(static_cast<size_t>(maxEntries));
    }
}

} // namespace

History::History(std::filesystem::path filePath, WallClock clock)
    : m_filePath(std::move(filePath)), m_clock(std::move(clock)), m_state(defaults()) {
    std::optional<std::string> content;
    try {
        content = store::readFile(m_filePath);
    } catch (const std::system_error& e) {
        logLine(std::string("Sorvane: cannot read history.json, starting with an empty history: ") +
                e.what());
        return;
    }
    if (!content)
        return;
    auto decoded = decodeHistoryFile(*content);
    if (!decoded) {
        logLine("Sorvane: history.json is malformed, starting with an empty history");
        return;
    }
    m_state = std::move(*decoded);
    m_entryBlocks.reserve(m_state.entries.size());
    for (const auto& entry : m_state.entries)
        m_entryBlocks.push_back(encodeHistoryEntry(entry));
}

History::Snapshot History::snapshot() const {
    return Snapshot{m_state.entries, m_state.maxEntries, m_state.pageSize,
                    m_state.autoApplyIncoming};
}

History::Snapshot History::record(std::string_view text, std::string_view hash,
                                  Direction direction) {
    for (size_t k = m_state.entries.size(); k-- > 0;) {
        if (m_state.entries[k].hash == hash) {
            m_state.entries.erase(m_state.entries.begin() + static_cast<ptrdiff_t>(k));
            m_entryBlocks.erase(m_entryBlocks.begin() + static_cast<ptrdiff_t>(k));
        }
    }
    uint64_t ms = millisecondsSince1970(m_clock());
    std::string id = std::string(hash) + ":" + std::to_string(ms);
    ClipboardEntry entry{std::move(id), std::string(text), std::string(hash), ms, direction};
    // Appended, then rotated to the front: newest first.
    m_entryBlocks.push_back(encodeHistoryEntry(entry));
    m_state.entries.push_back(std::move(entry));
    std::rotate(m_state.entries.begin(), m_state.entries.end() - 1, m_state.entries.end());
    std::rotate(m_entryBlocks.begin(), m_entryBlocks.end() - 1, m_entryBlocks.end());
    trim(m_state.entries, m_entryBlocks, m_state.maxEntries);
    persist();
    return snapshot();
}

History::Snapshot History::clear() {
    m_state.entries.clear();
    m_entryBlocks.clear();
    persist();
    return snapshot();
}

History::Snapshot History::setMax(int64_t maxEntries) {
    m_state.maxEntries = std::max<int64_t>(maxEntries, 1);
    trim(m_state.entries, m_entryBlocks, m_state.maxEntries);
    persist();
    return snapshot();
}

History::Snapshot History::setAutoApply(bool on) {
    m_state.autoApplyIncoming = on;
    persist();
    return snapshot();
}

void History::persist() {
    try {
        HistoryFileLayout layout(m_state, m_entryBlocks);
        store::writeFileAtomically(m_filePath, layout.pieces());
    } catch (const std::exception&) {
        // Ignored on purpose: memory keeps the change and the next persist
        // writes the whole state again.
    }
}

} // namespace sorvane

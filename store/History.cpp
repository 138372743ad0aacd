#include "store/History.h"

#include "base/Log.h"
#include "store/AtomicFile.h"
#include "store/HistoryFile.h"
#include "store/HistoryWriter.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

namespace sorvane {
namespace {

// Keeps the newest `maxEntries` entries.
void trim(EntryList::Shared& entries, int64_t maxEntries) {
    if (maxEntries >= 0 && static_cast<uint64_t>(maxEntries) < entries.size())
        entries.resize(static_cast<size_t>(maxEntries));
}

} // namespace

History::History(std::filesystem::path filePath, WallClock clock)
    : m_filePath(std::move(filePath)), m_clock(std::move(clock)) {
    std::optional<std::string> content;
    try {
        content = store::readFile(m_filePath, {.maxBytes = kFileLimit});
    } catch (const std::exception& e) {
        logLine(std::string("Sorvane: cannot read history.json, starting with an empty history: ") +
                e.what());
        m_keepAsideBeforeWrite = true;
        return;
    }
    if (!content)
        return;
    std::optional<PersistShape> decoded;
    try {
        decoded = decodeHistoryFile(*content);
    } catch (const std::exception& e) { // no memory for the parsed document
        logLine(std::string("Sorvane: cannot load history.json, starting with an empty history: ") +
                e.what());
        m_keepAsideBeforeWrite = true;
        return;
    }
    if (!decoded) {
        logLine("Sorvane: history.json is malformed, starting with an empty history");
        m_keepAsideBeforeWrite = true;
        return;
    }
    m_maxEntries = decoded->maxEntries;
    m_pageSize = decoded->pageSize;
    m_autoApplyIncoming = decoded->autoApplyIncoming;
    m_entries.reserve(decoded->entries.size());
    for (auto& entry : decoded->entries)
        m_entries.push_back(std::make_shared<const ClipboardEntry>(std::move(entry)));
}

History::~History() = default; // the writer's destructor writes what is waiting

History::Snapshot History::snapshot() const {
    return Snapshot{EntryList(m_entries), m_maxEntries, m_pageSize, m_autoApplyIncoming};
}

History::Snapshot History::record(std::string_view text, std::string_view hash,
                                  Direction direction) {
    std::erase_if(m_entries, [&](const auto& entry) { return entry->hash == hash; });
    uint64_t ms = millisecondsSince1970(m_clock());
    std::string id = std::string(hash) + ":" + std::to_string(ms);
    // Appended, then rotated to the front: newest first.
    m_entries.push_back(std::make_shared<const ClipboardEntry>(
        ClipboardEntry{std::move(id), std::string(text), std::string(hash), ms, direction}));
    std::rotate(m_entries.begin(), m_entries.end() - 1, m_entries.end());
    trim(m_entries, m_maxEntries);
    persist();
    return snapshot();
}

History::Snapshot History::clear() {
    m_entries.clear();
    persist();
    return snapshot();
}

History::Snapshot History::setMax(int64_t maxEntries) {
    m_maxEntries = std::max<int64_t>(maxEntries, 1);
    trim(m_entries, m_maxEntries);
    persist();
    return snapshot();
}

History::Snapshot History::setAutoApply(bool on) {
    m_autoApplyIncoming = on;
    persist();
    return snapshot();
}

void History::persist() {
    if (!m_writer)
        m_writer = std::make_unique<HistoryWriter>(m_filePath, m_keepAsideBeforeWrite);
    m_writer->submit({m_entries, m_maxEntries, m_pageSize, m_autoApplyIncoming});
}

void History::flush() {
    if (m_writer)
        m_writer->flush();
}

} // namespace sorvane

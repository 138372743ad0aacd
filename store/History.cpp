#include "store/History.h"

#include "base/Thread.h"

#include "base/Log.h"
#include "store/AtomicFile.h"
#include "store/HistoryFile.h"
#include "store/HistoryWriter.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>

namespace sorvane {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

// "256 MiB", "64.5 MiB", "640 KiB", "100 bytes"
std::string byteCount(size_t bytes) {
    char buffer[48];
    const auto in = [&](size_t unit, const char* name) {
        if (bytes % unit == 0)
            std::snprintf(buffer, sizeof buffer, "%zu %s", bytes / unit, name);
        else
            std::snprintf(buffer, sizeof buffer, "%.1f %s",
                          static_cast<double>(bytes) / static_cast<double>(unit), name);
    };
    if (bytes >= kMiB)
        in(kMiB, "MiB");
    else if (bytes >= 1024)
        in(1024, "KiB");
    else
        std::snprintf(buffer, sizeof buffer, "%zu bytes", bytes);
    return buffer;
}

} // namespace

History::History(std::filesystem::path filePath, WallClock clock, size_t byteBudget, Load loading)
    : m_filePath(std::move(filePath)), m_clock(std::move(clock)),
      m_byteBudget(std::min(byteBudget, kMaxByteBudget)) {
    if (loading == Load::now) {
        load();
        m_loaded = true;
        return;
    }
    m_loader = std::thread([this] {
        setCurrentThreadName("sorvane.history");
        load();
        std::function<void()> done;
        {
            std::lock_guard lock(m_loadMutex);
            m_loaded = true;
            done = std::move(m_onLoaded);
        }
        m_loadDone.notify_all();
        if (done)
            done();
    });
}

void History::waitUntilLoaded() const {
    if (m_loaded.load())
        return;
    std::unique_lock lock(m_loadMutex);
    m_loadDone.wait(lock, [this] { return m_loaded.load(); });
}

void History::whenLoaded(std::function<void()> done) {
    {
        std::lock_guard lock(m_loadMutex);
        if (!m_loaded) {
            m_onLoaded = std::move(done);
            return;
        }
    }
    if (done)
        done();
}

void History::load() {
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
    // Taken whole even when over the limits: nothing the user stored is lost at
    // load, and the next change trims.
    m_entries.reserve(decoded->entries.size());
    for (auto& entry : decoded->entries) {
        size_t bytes = historyFileBytesOf(entry);
        m_entries.push_back({std::make_shared<const ClipboardEntry>(std::move(entry)), bytes});
        m_fileBytes += bytes;
    }
}

History::~History() {
    // A load still running finishes first; the writer's destructor then writes
    // what is waiting.
    if (m_loader.joinable())
        m_loader.join();
}

EntryList::Shared History::sharedEntries() const {
    waitUntilLoaded();
    EntryList::Shared out;
    out.reserve(m_entries.size());
    for (const auto& held : m_entries)
        out.push_back(held.entry);
    return out;
}

History::Snapshot History::snapshot() const {
    return Snapshot{EntryList(sharedEntries()), m_maxEntries, m_pageSize, m_autoApplyIncoming};
}

History::Snapshot History::record(std::string_view text, std::string_view hash,
                                  Direction direction) {
    waitUntilLoaded();
    uint64_t ms = millisecondsSince1970(m_clock());
    ClipboardEntry entry{
        std::string(hash) + ":" + std::to_string(ms), {}, std::string(hash), ms, direction};
    // Measured before the text is copied: a text too large to keep costs nothing.
    const size_t bytes = historyFileBytesOf(entry) + encodedTextSize(text);
    if (bytes > kMaxByteBudget) {
        logLine("Sorvane: a copied text of " + byteCount(text.size()) +
                " is not kept in the history: history.json would grow past the " +
                byteCount(kFileLimit) + " it can load");
        return snapshot();
    }
    entry.text = std::string(text);
    std::erase_if(m_entries, [&](const Held& held) {
        if (held.entry->hash != hash)
            return false;
        m_fileBytes -= held.fileBytes;
        return true;
    });
    // Appended, then rotated to the front: newest first.
    m_entries.push_back({std::make_shared<const ClipboardEntry>(std::move(entry)), bytes});
    std::rotate(m_entries.begin(), m_entries.end() - 1, m_entries.end());
    m_fileBytes += bytes;
    persist();
    return snapshot();
}

History::Snapshot History::clear() {
    waitUntilLoaded();
    m_entries.clear();
    m_fileBytes = 0;
    persist();
    return snapshot();
}

History::Snapshot History::setMax(int64_t maxEntries) {
    waitUntilLoaded();
    m_maxEntries = std::max<int64_t>(maxEntries, 1);
    persist();
    return snapshot();
}

History::Snapshot History::setAutoApply(bool on) {
    waitUntilLoaded();
    m_autoApplyIncoming = on;
    persist();
    return snapshot();
}

void History::trim() {
    auto dropOldest = [this] {
        m_fileBytes -= m_entries.back().fileBytes;
        m_entries.pop_back();
    };
    while (m_maxEntries >= 0 && static_cast<uint64_t>(m_maxEntries) < m_entries.size())
        dropOldest();
    const size_t before = m_entries.size();
    // The newest entry stays even alone over the budget, as long as a file holding
    // it loads; record() never makes one that would not, but a loaded file may
    // hold one (written by hand, or compact JSON that grows when pretty-printed).
    while (m_fileBytes > m_byteBudget && (m_entries.size() > 1 || m_fileBytes > kMaxByteBudget))
        dropOldest();
    const size_t dropped = before - m_entries.size();
    if (dropped == 0)
        return;
    logLine(
        "Sorvane: history over its " + byteCount(m_byteBudget) + " budget: dropped the " +
        (dropped == 1 ? std::string("oldest entry") : std::to_string(dropped) + " oldest entries"));
}

void History::persist() {
    waitUntilLoaded();
    trim();
    if (!m_writer)
        m_writer = std::make_unique<HistoryWriter>(m_filePath, m_keepAsideBeforeWrite);
    m_writer->submit({sharedEntries(), m_maxEntries, m_pageSize, m_autoApplyIncoming});
}

void History::flush() {
    waitUntilLoaded();
    if (m_writer)
        m_writer->flush();
}

} // namespace sorvane

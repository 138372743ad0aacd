// The clipboard history: texts that passed between this desktop and the phone,
// newest first, one entry per content hash, with three history settings. The
// whole state is kept in memory and rewritten to one JSON file ("history.json"
// in the data directory) after every change.
//
// The rewrite runs on the store's own writer thread (HistoryWriter), so a change
// returns at once however large the file is. The file always ends up holding the
// latest state: changes that arrive while a write is running are written
// together by the next one. flush() and the destructor wait for the writes.
//
// Thread-safety: none; main thread only (the writer thread is internal).
// Failures: none are thrown. A missing file loads as the defaults; one that
// cannot be loaded (not a regular file, larger than kFileLimit, unreadable or
// malformed) is logged, loads as the defaults, and is moved to
// "history.json.unreadable" before the first write over it. A failed write is
// logged once per run of failures; the state in memory stays right and the next
// change writes all of it.
#pragma once

#include "base/Clock.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane {

enum class Direction { sent, received };

// "sent" / "received"
std::string_view directionName(Direction direction);
std::optional<Direction> directionFromName(std::string_view name);

// One entry, never changed once made.
struct ClipboardEntry {
    std::string id;         // hash + ":" + timestamp in decimal
    std::string text;       // the clipboard text, whole
    std::string hash;       // sha256ShortHex of text, as the caller gave it
    uint64_t timestamp = 0; // milliseconds since 1970-01-01 UTC
    Direction direction = Direction::sent;

    bool operator==(const ClipboardEntry&) const = default;
};

// The store's whole state and the shape of the file.
struct PersistShape {
    std::vector<ClipboardEntry> entries; // newest first
    int64_t maxEntries = 50;
    int64_t pageSize = 25;
    bool autoApplyIncoming = true;

    bool operator==(const PersistShape&) const = default;
};

class HistoryWriter;

// The entries of a snapshot, newest first. Copies share the entries, which never
// change, so taking a snapshot costs a pointer per entry rather than the texts.
class EntryList {
public:
    using Shared = std::vector<std::shared_ptr<const ClipboardEntry>>;

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = ClipboardEntry;
        using difference_type = std::ptrdiff_t;
        using pointer = const ClipboardEntry*;
        using reference = const ClipboardEntry&;
        const_iterator() = default;
        explicit const_iterator(Shared::const_iterator it) : m_it(it) {}
        reference operator*() const { return **m_it; }
        pointer operator->() const { return m_it->get(); }
        const_iterator& operator++() {
            ++m_it;
            return *this;
        }
        const_iterator operator++(int) { return const_iterator(m_it++); }
        bool operator==(const const_iterator&) const = default;

    private:
        Shared::const_iterator m_it;
    };

    EntryList() = default;
    explicit EntryList(Shared entries) : m_entries(std::move(entries)) {}

    size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    const ClipboardEntry& operator[](size_t k) const { return *m_entries[k]; }
    // Entry k, shared: lives as long as someone holds it.
    const std::shared_ptr<const ClipboardEntry>& shared(size_t k) const { return m_entries[k]; }
    const_iterator begin() const { return const_iterator(m_entries.begin()); }
    const_iterator end() const { return const_iterator(m_entries.end()); }
    // A plain copy of the entries (and their texts).
    operator std::vector<ClipboardEntry>() const { return {begin(), end()}; }
    bool operator==(const EntryList& other) const {
        return std::equal(begin(), end(), other.begin(), other.end());
    }

private:
    Shared m_entries;
};

class History {
public:
    // The largest history file loaded: small enough that loading it cannot run
    // the desktop out of memory.
    static constexpr size_t kFileLimit = size_t{1} << 30;
    // The most the file holds besides its entries and their separators: the
    // settings and the brackets (the tests hold the encoder to it).
    static constexpr size_t kFrameLimit = 256;
    // The largest byte budget: a file of entries within it is never refused.
    static constexpr size_t kMaxByteBudget = kFileLimit - kFrameLimit;
    static constexpr size_t kDefaultByteBudget = size_t{256} << 20;
    static_assert(kDefaultByteBudget <= kMaxByteBudget);

    // A copy of the whole state, handed back by every change.
    struct Snapshot {
        EntryList entries;
        int64_t maxEntries = 0;
        int64_t pageSize = 0;
        bool autoApplyIncoming = false;

        bool operator==(const Snapshot&) const = default;
    };

    // How the file is read: before the constructor returns, or on a thread of
    // the history's own while the program goes on. Every other call waits for
    // a background load to finish, so what happens meanwhile lands after what
    // the file holds, in order; only isLoaded() and whenLoaded() do not wait.
    enum class Load { now, inBackground };

    // Loads `filePath` (never writes it). `clock` gives the entries' timestamps.
    // `byteBudget` is held to kMaxByteBudget.
    explicit History(std::filesystem::path filePath, WallClock clock = systemWallClock(),
                     size_t byteBudget = kDefaultByteBudget, Load load = Load::now);
    // Waits for the writes still to do (as flush()).
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    const std::filesystem::path& filePath() const { return m_filePath; }
    // Whether the file has been read. Any thread; never waits.
    bool isLoaded() const { return m_loaded.load(); }
    // Calls `done` once the file has been read: at once when it has, otherwise
    // on the loading thread. Main thread.
    void whenLoaded(std::function<void()> done);
    Snapshot snapshot() const;
    bool autoApply() const {
        waitUntilLoaded();
        return m_autoApplyIncoming;
    }
    size_t byteBudget() const { return m_byteBudget; }
    // The bytes the entries take in the file (what the budget bounds).
    size_t fileBytes() const {
        waitUntilLoaded();
        return m_fileBytes;
    }

    // Removes any entry with the same hash, puts the new entry first, trims to the
    // limits and persists. The store never computes the hash itself.
    //
    // The new entry is kept even when it alone is over the budget (all older
    // entries go): it is the user's latest copy, and the history file holding it
    // still loads. A text that would make the file larger than kFileLimit (over
    // kMaxByteBudget once escaped) is not recorded: it is logged and the history
    // is left as it was, since a file the reader refuses would lose every entry.
    Snapshot record(std::string_view text, std::string_view hash, Direction direction);
    // Empties the entries, keeps the settings, persists.
    Snapshot clear();
    // Sets the maximum (at least 1), trims, persists.
    Snapshot setMax(int64_t maxEntries);
    // Trims (a loaded file may be over the limits), persists.
    Snapshot setAutoApply(bool on);
    // Trims the entries to the limits and hands the whole state to the writer
    // thread, which writes it to the file atomically; failures are logged there.
    void persist();
    // Returns once every state handed over so far is written (or failed). The
    // shutdown sequence calls it so that nothing is lost at quit.
    void flush();

private:
    struct Held {
        std::shared_ptr<const ClipboardEntry> entry;
        size_t fileBytes; // historyFileBytesOf(*entry)
    };

    // Reads the file into the members (the constructor's work).
    void load();
    void waitUntilLoaded() const;
    // Drops the oldest entries past the maximum, then past the budget (logged).
    void trim();
    EntryList::Shared sharedEntries() const;

    std::filesystem::path m_filePath;
    WallClock m_clock;
    size_t m_byteBudget;
    std::vector<Held> m_entries; // newest first
    size_t m_fileBytes = 0;      // the sum of their fileBytes
    int64_t m_maxEntries = 50;
    int64_t m_pageSize = 25;
    bool m_autoApplyIncoming = true;
    // Set when a file stood at m_filePath but could not be loaded.
    bool m_keepAsideBeforeWrite = false;
    std::unique_ptr<HistoryWriter> m_writer; // started by the first persist

    // A background load: the members above are the loader's until m_loaded.
    std::atomic<bool> m_loaded{false};
    mutable std::mutex m_loadMutex;
    mutable std::condition_variable m_loadDone;
    std::function<void()> m_onLoaded; // under m_loadMutex
    std::thread m_loader;
};

} // namespace sorvane

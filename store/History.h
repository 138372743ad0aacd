// The clipboard history: texts that passed between this desktop and the phone,
// newest first, one entry per content hash, with three history settings. The
// whole state is kept in memory and rewritten to one JSON file ("history.json"
// in the data directory) after every change.
//
// Thread-safety: none; main thread only. Failures: none are thrown. A missing or
// malformed file loads as the defaults (a malformed one is logged); a failed
// write is ignored, the state in memory stays right and the next change writes
// all of it.
#pragma once

#include "base/Clock.h"

#include <cstdint>
#include <filesystem>
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

class History {
public:
    // A copy of the whole state, handed back by every change.
    struct Snapshot {
        std::vector<ClipboardEntry> entries;
        int64_t maxEntries = 0;
        int64_t pageSize = 0;
        bool autoApplyIncoming = false;

        bool operator==(const Snapshot&) const = default;
    };

    // Loads `filePath` (never writes it). `clock` gives the entries' timestamps.
    explicit History(std::filesystem::path filePath, WallClock clock = systemWallClock());
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    const std::filesystem::path& filePath() const { return m_filePath; }
    Snapshot snapshot() const;
    bool autoApply() const { return m_state.autoApplyIncoming; }

    // Removes any entry with the same hash, puts the new entry first, trims to the
    // maximum and persists. The store never computes the hash itself.
    Snapshot record(std::string_view text, std::string_view hash, Direction direction);
    // Empties the entries, keeps the settings, persists.
    Snapshot clear();
    // Sets the maximum (at least 1), trims, persists.
    Snapshot setMax(int64_t maxEntries);
    Snapshot setAutoApply(bool on);
    // Writes the whole state to the file atomically; failures are ignored.
    void persist();

private:
    std::filesystem::path m_filePath;
    WallClock m_clock;
    PersistShape m_state;
    // The encoded block of each entry, in the order of m_state.entries.
    std::vector<std::string> m_entryBlocks;
};

} // namespace sorvane

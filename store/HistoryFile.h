// The history file's format, for History and its tests.
//
// The file is pretty-printed JSON with a 4-space indent and sorted keys, byte for
// byte what nlohmann's dump(4, ' ', false, error_handler_t::replace) writes for
// the same document: bytes of a text that are not valid UTF-8 become U+FFFD.
// Because entries never change, each entry's block is encoded once
// (encodeHistoryEntry) and the file is put together from those blocks
// (HistoryFileLayout), so a record encodes one text, not all of them.
//
// Pure functions and values; thread-safe.
#pragma once

#include "store/History.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane {

// One entry's object as it appears inside the "entries" array: indented, without
// the separator that follows it.
std::string encodeHistoryEntry(const ClipboardEntry& entry);

// The whole file as a list of pieces to write one after the other. Borrows the
// blocks, which must outlive the layout; the entries of `settings` are not used.
class HistoryFileLayout {
public:
    HistoryFileLayout(const PersistShape& settings, const std::vector<std::string>& entryBlocks);
    HistoryFileLayout(const PersistShape& settings, std::vector<std::string_view> entryBlocks);
    std::vector<std::string_view> pieces() const;
    std::string joined() const;

private:
    std::string m_head;
    std::string m_tail;
    std::vector<std::string_view> m_blocks;
};

// The file's text for `state` (all entries encoded afresh).
std::string encodeHistoryFile(const PersistShape& state);

// The state in `text`, or nullopt when it is not JSON, lacks a key, has a value
// of the wrong type or an unknown direction. Unknown keys are ignored. Entries
// are taken as they stand; a "max_entries" below 1 is raised to 1.
std::optional<PersistShape> decodeHistoryFile(std::string_view text);

} // namespace sorvane

// The history file's format, for History and its tests.
//
// The file is pretty-printed JSON with a 4-space indent and sorted keys, byte for
// byte what nlohmann's dump(4, ' ', false, error_handler_t::replace) writes for
// the same document: bytes of a text that are not valid UTF-8 become U+FFFD.
// The file is put together from pieces (HistoryFileLayout) that borrow the
// entries' texts wherever they need no escaping, so a write copies only the
// texts that change on the way to the file, and only for as long as it runs.
//
// Pure functions and values; thread-safe.
#pragma once

#include "store/History.h"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane {

// The bytes `text` takes in the file between its quotes: escapes and U+FFFD
// replacements counted, exactly as the encoder writes it. At most 6 per byte
// (a control character becomes \u00XX).
size_t encodedTextSize(std::string_view text);

// The bytes `entry` adds to the file: its block and the separator after it. A
// file holding entries e1..en is never longer than History::kFrameLimit plus the
// sum of this over them.
size_t historyFileBytesOf(const ClipboardEntry& entry);

// One entry's object as it appears inside the "entries" array (indented, without
// the separator that follows it), as three pieces. A text that goes into the file
// unchanged is borrowed from the entry rather than copied; only a text that needs
// escaping or repair has its encoded form held here. Borrows `entry`, which must
// outlive this.
class EncodedEntry {
public:
    explicit EncodedEntry(const ClipboardEntry& entry);
    std::array<std::string_view, 3> pieces() const; // up to the text, the text, after it

private:
    const ClipboardEntry* m_entry;
    std::string m_head;
    std::optional<std::string> m_escapedText;
    std::string m_tail;
};

// The whole file as a list of pieces to write one after the other. Borrows the
// encoded entries, which must outlive the layout; the entries of `settings` are
// not used.
class HistoryFileLayout {
public:
    HistoryFileLayout(const PersistShape& settings, std::span<const EncodedEntry> entries);
    std::vector<std::string_view> pieces() const;
    std::string joined() const;

private:
    std::string m_head;
    std::string m_tail;
    std::span<const EncodedEntry> m_entries;
};

// The file's text for `state` (all entries encoded afresh).
std::string encodeHistoryFile(const PersistShape& state);

// The state in `text`, or nullopt when it is not JSON, lacks a key, has a value
// of the wrong type or an unknown direction. Unknown keys are ignored. Entries
// are taken as they stand; a "max_entries" below 1 is raised to 1.
std::optional<PersistShape> decodeHistoryFile(std::string_view text);

} // namespace sorvane

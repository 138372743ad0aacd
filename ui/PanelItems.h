// The rows of the search panel: the header about the paired phone, the clipboard
// history and the commands, built from plain inputs so that the delegate, the
// views and the tests share one definition.
//
// Thread-safety: pure functions and values; call from any thread.
#pragma once

#include "store/History.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane {

// One row. `id` is also the action id the row reports when activated; the two
// separators share the id "s".
struct PanelItemDef {
    std::string id;
    std::string kind; // "header", "shortcut", "sep", "item"; anything else: a plain action row
    std::optional<std::string> label;
    std::optional<bool> enabled;
    std::optional<bool> checked;
    std::optional<bool> filterable;
    // A history row's entry, whose whole text the search looks through (shared
    // with the history, not copied).
    std::shared_ptr<const ClipboardEntry> entry;

    bool operator==(const PanelItemDef&) const = default;

    bool isHistory() const { return filterable.value_or(false); }
    const std::string& labelText() const;
};

// What the row list is built from.
struct PanelInputs {
    bool paired = false;
    // The phone's stored name; "Phone" stands in when absent.
    std::optional<std::string> phoneName;
    // At least one central is connected (consulted only when paired).
    bool centralConnected = false;
    bool syncPaused = false;
    // Newest first, all of them.
    const EntryList* history = nullptr;
    // Milliseconds since 1970, for the age suffixes.
    uint64_t nowMs = 0;
    // The identity key is not available yet: sync waits for the keyring.
    bool waitingForKeyring = false;
    // The history file is still being read: a row says so in place of the entries.
    bool historyLoading = false;
};

// The header, the pause row, the history rows and the commands, in display order.
std::vector<PanelItemDef> buildPanelItems(const PanelInputs& inputs);

// A history row's label: arrow, the first 40 user-perceived characters (an
// ellipsis when there are more), and the age. Reads only as much of the text as
// the cut needs; never splits a grapheme cluster; ill-formed UTF-8 is shown as
// U+FFFD.
std::string historyRowLabel(const ClipboardEntry& entry, uint64_t nowMs);

// The first `count` grapheme clusters of `text`, and whether anything follows.
struct TextCut {
    std::string head;
    bool truncated = false;
};
TextCut cutToGraphemes(std::string_view text, size_t count);

// "now", "5s", "3m", "2h", "4d": the age of `timestampMs` at `nowMs`. A time in
// the future (a clock set back since) reads "now".
std::string formatRelativeShort(uint64_t timestampMs, uint64_t nowMs);

// Action ids the panel reports besides the rows' own ids.
inline constexpr std::string_view kHistoryRowPrefix = "hist:";
// The row that stands for a history still being read.
inline constexpr std::string_view kHistoryLoadingId = "history:loading";
inline constexpr std::string_view kHistoryTapPrefix = "hist_tap:";
inline constexpr std::string_view kResendPrefix = "resend:";

} // namespace sorvane

#include "ui/PanelItems.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <memory>

namespace sorvane {
namespace {

constexpr size_t kLabelGraphemes = 40;
// How much of a text is decoded at first to find the cut; doubled while the
// clusters found do not reach past the cut (long runs of combining marks).
constexpr size_t kFirstWindow = 1024;

const std::string kSeparatorId = "s";

PanelItemDef row(std::string id, std::string kind, std::optional<std::string> label = std::nullopt,
                 std::optional<bool> filterable = std::nullopt) {
    PanelItemDef item;
    item.id = std::move(id);
    item.kind = std::move(kind);
    if (item.kind != "sep") {
        item.label = std::move(label);
        item.enabled = true;
    }
    item.filterable = filterable;
    return item;
}

// The largest index <= `at` that does not fall inside a UTF-8 sequence.
size_t utf8Boundary(std::string_view text, size_t at) {
    if (at >= text.size())
        return text.size();
    size_t i = at;
    // Continuation bytes are 10xxxxxx; a sequence has at most three of them.
    while (i > 0 && at - i < 3 && (static_cast<uint8_t>(text[i]) & 0xC0) == 0x80)
        --i;
    return (static_cast<uint8_t>(text[i]) & 0xC0) == 0x80 ? at : i;
}

} // namespace

const std::string& PanelItemDef::labelText() const {
    static const std::string empty;
    return label ? *label : empty;
}

TextCut cutToGraphemes(std::string_view text, size_t count) {
    // Making a break iterator costs more than cutting one label with it: each
    // thread keeps one.
    UErrorCode status = U_ZERO_ERROR;
    thread_local std::unique_ptr<icu::BreakIterator> clusters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    for (size_t window = kFirstWindow;; window *= 2) {
        const size_t end = utf8Boundary(text, std::min(window, text.size()));
        const bool whole = end == text.size();
        // fromUTF8 replaces each ill-formed sequence with U+FFFD.
        const icu::UnicodeString decoded =
            icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(end)));
        int32_t cut = decoded.length();
        size_t seen = 0;
        if (U_SUCCESS(status) && clusters) {
            clusters->setText(decoded);
            int32_t boundary = clusters->first();
            while (seen < count && (boundary = clusters->next()) != icu::BreakIterator::DONE)
                ++seen;
            cut = seen == count ? boundary : decoded.length();
        } else {
            // No break data: fall back to code points, which never split UTF-8.
            seen = std::min<size_t>(count, static_cast<size_t>(decoded.countChar32()));
            cut = decoded.moveIndex32(0, static_cast<int32_t>(seen));
        }
        // A boundary before the end of the window is final: grapheme rules look
        // at most one character ahead. At the window's end it is final only when
        // the window holds the whole text.
        if (whole || (seen == count && cut < decoded.length())) {
            TextCut result;
            decoded.tempSubString(0, cut).toUTF8String(result.head);
            result.truncated = cut < decoded.length() || !whole;
            return result;
        }
    }
}

std::string formatRelativeShort(uint64_t timestampMs, uint64_t nowMs) {
    if (timestampMs >= nowMs)
        return "now";
    const uint64_t age = nowMs - timestampMs;
    if (age < 5000)
        return "now";
    if (age < 60000)
        return std::to_string(age / 1000) + "s";
    if (age < 3600000)
        return std::to_string(age / 60000) + "m";
    if (age < 86400000)
        return std::to_string(age / 3600000) + "h";
    return std::to_string(age / 86400000) + "d";
}

std::string historyRowLabel(const ClipboardEntry& entry, uint64_t nowMs) {
    const TextCut cut = cutToGraphemes(entry.text, kLabelGraphemes);
    std::string label = entry.direction == Direction::sent ? "\u2191  " : "\u2193  ";
    label += cut.head;
    if (cut.truncated)
        label += "\u2026";
    label += "  \u00b7  ";
    label += formatRelativeShort(entry.timestamp, nowMs);
    return label;
}

std::vector<PanelItemDef> buildPanelItems(const PanelInputs& in) {
    std::vector<PanelItemDef> items;
    const size_t historyCount = in.history ? in.history->size() : 0;
    items.reserve(historyCount + 9);
    if (in.waitingForKeyring) {
        // Nothing to pair or unpair with until the key is there.
        items.push_back(row("header:keyring", "header", "Sync waits for the keyring to unlock"));
    } else if (!in.paired) {
        items.push_back(row("header:unpaired", "header", "Pair phone"));
    } else {
        const std::string name = in.phoneName.value_or("Phone");
        if (in.centralConnected)
            items.push_back(row("header:connected", "header", name + " \u00b7 Connected"));
        else
            items.push_back(row("header:offline", "header", name + " \u00b7 Offline"));
        items.push_back(row("toggle_pause", "shortcut",
                            in.syncPaused ? "\u25b6 Resume Sync\tCtrl+P" : "\u23f8 Pause Sync\tCtrl+P"));
    }
    items.push_back(row(kSeparatorId, "sep"));
    if (in.historyLoading) {
        items.push_back(row(std::string(kHistoryLoadingId), "info", "Loading the clipboard history\u2026", false));
        items.back().enabled = false;
        items.push_back(row(kSeparatorId, "sep"));
    }
    for (size_t i = 0; i < historyCount; ++i) {
        const ClipboardEntry& entry = (*in.history)[i];
        items.push_back(row(std::string(kHistoryRowPrefix) + entry.id, "item",
                            historyRowLabel(entry, in.nowMs), true));
        items.back().entry = in.history->shared(i);
    }
    if (historyCount > 0)
        items.push_back(row(kSeparatorId, "sep"));
    items.push_back(row("preferences", "shortcut", "Preferences\u2026\tCtrl+,"));
    items.push_back(row("about", "shortcut", "About Sorvane\tCtrl+I"));
    items.push_back(row("check_updates", "shortcut", "Check for Updates\u2026"));
    items.push_back(row("quit", "shortcut", "Quit Sorvane\tCtrl+Q"));
    return items;
}

} // namespace sorvane

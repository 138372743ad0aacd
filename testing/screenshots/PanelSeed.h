// Clipboard histories for the panel's tests, benchmark and screenshots.
#pragma once

#include "ui/PanelItems.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sorvane::testing {

inline constexpr uint64_t kSeedNow = 1'700'000'000'000;

// `count` entries, newest first, alternately received and sent, each `bytes`
// long (at least its own distinct words), one minute apart.
inline std::vector<ClipboardEntry> seededHistory(size_t count, size_t bytes) {
    static const char* const words[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"};
    std::vector<ClipboardEntry> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        ClipboardEntry e;
        e.text = std::string(words[i % 8]) + " " + std::to_string(i) + " ";
        while (e.text.size() < bytes)
            e.text += words[(i + e.text.size()) % 8], e.text += ' ';
        e.hash = std::to_string(i);
        e.timestamp = kSeedNow - 60000 * i - 1000;
        e.id = e.hash + ":" + std::to_string(e.timestamp);
        e.direction = i % 2 ? Direction::sent : Direction::received;
        out.push_back(std::move(e));
    }
    return out;
}

inline ClipboardEntry seededEntry(std::string text, uint64_t ageMs, Direction direction, std::string hash) {
    ClipboardEntry e;
    e.text = std::move(text);
    e.hash = std::move(hash);
    e.timestamp = kSeedNow - ageMs;
    e.id = e.hash + ":" + std::to_string(e.timestamp);
    e.direction = direction;
    return e;
}

inline std::vector<PanelItemDef> panelRows(const std::vector<ClipboardEntry>& history, bool paired = true,
                                           bool connected = true, bool paused = false,
                                           std::string phoneName = "Pixel 8") {
    PanelInputs in;
    in.paired = paired;
    in.phoneName = std::move(phoneName);
    in.centralConnected = connected;
    in.syncPaused = paused;
    EntryList::Shared shared;
    shared.reserve(history.size());
    for (const auto& e : history)
        shared.push_back(std::make_shared<const ClipboardEntry>(e));
    const EntryList entries(std::move(shared));
    in.history = &entries;
    in.nowMs = kSeedNow;
    return buildPanelItems(in);
}

} // namespace sorvane::testing

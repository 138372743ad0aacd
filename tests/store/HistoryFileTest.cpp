// The history file's own serializer against nlohmann's dump, on texts built to
// hit every escaping and UTF-8 repair rule.

#include "store/HistoryFile.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>
#include <random>

namespace sorvane {
namespace {

using nlohmann::json;

json asJson(const PersistShape& state) {
    json entries = json::array();
    for (const auto& e : state.entries)
        entries.push_back({{"direction", directionName(e.direction)},
                           {"hash", e.hash},
                           {"id", e.id},
                           {"text", e.text},
                           {"timestamp", e.timestamp}});
    return {{"auto_apply_incoming", state.autoApplyIncoming},
            {"entries", entries},
            {"max_entries", state.maxEntries},
            {"page_size", state.pageSize}};
}

std::string nlohmannDump(const PersistShape& state) {
    return asJson(state).dump(4, ' ', false, json::error_handler_t::replace);
}

// Pieces that matter to an encoder, by kind.
const std::vector<std::string>& pieces() {
    static const std::vector<std::string> p = {
        // Plain runs, one longer than a machine word.
        "plain ascii run longer than eight", "a", " ",
        // Every escape, control bytes and DEL.
        "\"", "\\", "/", "\b", "\f", "\n", "\r", "\t", std::string(1, '\0'), "\x01", "\x1f", "\x7f",
        // Well-formed sequences of each length, and at the edges of their ranges.
        "\xc2\x80", "\xdf\xbf", "\xc3\xa9", "\xe0\xa0\x80", "\xe2\x82\xac", "\xed\x9f\xbf",
        "\xee\x80\x80", "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf0\x9f\x99\x82", "\xf4\x8f\xbf\xbf",
        // Ill-formed: stray continuation bytes, overlongs, surrogates, past U+10FFFF,
        // bad leads, cut-off sequences.
        "\x80", "\xbf", "\xc0\xaf", "\xc1\xbf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf0\x80\x80\xaf",
        "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff", "\xfe", "\xc3", "\xe2\x82", "\xf0\x9f\x99",
        "\xe2\x28\xa1", "\xf0\x28\x8c\xbc"};
    return p;
}

std::string randomText(std::mt19937& rng, size_t maxPieces) {
    std::uniform_int_distribution<size_t> count(0, maxPieces);
    std::uniform_int_distribution<size_t> pick(0, pieces().size() - 1);
    std::string out;
    for (size_t n = count(rng); n > 0; --n)
        out += pieces()[pick(rng)];
    return out;
}

TEST(HistoryFileTest, EncoderMatchesNlohmannByteForByte) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 3000; ++round) {
        PersistShape state;
        state.autoApplyIncoming = round % 2 == 0;
        // Settings of every length, up to the longest a frame can hold.
        state.maxEntries = round % 10 == 5  ? std::numeric_limits<int64_t>::min()
                           : round % 5 == 0 ? -7
                                            : round;
        state.pageSize = round % 3 == 0   ? std::numeric_limits<int64_t>::min()
                         : round % 7 == 0 ? std::numeric_limits<int64_t>::max()
                                          : 25;
        size_t entries = static_cast<size_t>(round % 4);
        for (size_t k = 0; k < entries; ++k) {
            state.entries.push_back({randomText(rng, 3), randomText(rng, 24), randomText(rng, 2),
                                     k == 0 ? std::numeric_limits<uint64_t>::max() : rng(),
                                     k % 2 ? Direction::sent : Direction::received});
        }
        std::string ours = encodeHistoryFile(state);
        ASSERT_EQ(ours, nlohmannDump(state)) << "round " << round;

        // The sizes the history budgets with are the encoder's, to the byte: a
        // count off by one in either direction fails here.
        size_t entryBytes = 0;
        for (const auto& e : state.entries) {
            ASSERT_EQ(encodedTextSize(e.text),
                      json(e.text).dump(-1, ' ', false, json::error_handler_t::replace).size() - 2);
            entryBytes += historyFileBytesOf(e);
        }
        PersistShape settingsOnly = state;
        settingsOnly.entries.clear();
        const size_t frame = encodeHistoryFile(settingsOnly).size();
        EXPECT_EQ(ours.size(), state.entries.empty() ? frame : frame + 4 + entryBytes);
        EXPECT_LE(ours.size(), History::kFrameLimit + entryBytes);
    }
}

TEST(HistoryFileTest, LongTextsWithSparseSpecialsMatchNlohmann) {
    // Long clean stretches between specials exercise the word-at-a-time paths
    // (skipping, and counting 8 bytes at once), with specials at every offset
    // within a word and at the very end.
    for (size_t offset = 0; offset < 17; ++offset) {
        for (const auto& special : pieces()) {
            std::string text(offset, 'x');
            text += special;
            text += std::string(29, 'y');
            text += special;
            PersistShape state;
            state.entries.push_back({"id", text, "hash", 1, Direction::sent});
            ASSERT_EQ(encodeHistoryFile(state), nlohmannDump(state)) << offset;
            ASSERT_EQ(encodedTextSize(text),
                      json(text).dump(-1, ' ', false, json::error_handler_t::replace).size() - 2)
                << offset;
        }
    }
}

TEST(HistoryFileTest, ValidTextsRoundTripThroughTheDecoder) {
    PersistShape state;
    state.maxEntries = 3;
    state.pageSize = -1;
    state.autoApplyIncoming = false;
    state.entries.push_back({"a:1", "tab\tquote\"slash\\nul" + std::string(1, '\0') + "é🙂",
                             "aaaaaaaa", 1, Direction::received});
    state.entries.push_back({"b:2", "", "bbbbbbbb", 0, Direction::sent});
    auto decoded = decodeHistoryFile(encodeHistoryFile(state));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, state);
}

} // namespace
} // namespace sorvane

// The clipboard history against a real file, with a hand-driven clock.

#include "store/History.h"
#include "store/AtomicFile.h"
#include "store/HistoryFile.h"
#include "testing/test-env/TempDir.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/ManualClock.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::TempDir;

class HistoryTest : public ::testing::Test {
protected:
    fs::path path() const { return m_dir.path() / "history.json"; }

    void advanceMs(double ms) {
        m_clock.advance(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double, std::milli>(ms)));
    }
    // Histories write on their own thread: whatever reads the file first waits
    // for the writes of every history still open.
    std::shared_ptr<History> open() {
        flushAll();
        auto history = std::make_shared<History>(path(), m_clock.fn());
        m_open.push_back(history);
        return history;
    }
    void flushAll() const {
        for (const auto& weak : m_open)
            if (auto history = weak.lock())
                history->flush();
    }

    void writeFile(std::string_view text) {
        std::ofstream(path(), std::ios::binary | std::ios::trunc)
            .write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    std::string fileText() const {
        flushAll();
        return store::readFile(path(), {.maxBytes = 1 << 20}).value_or("");
    }
    json fileJson() const { return json::parse(fileText()); }

    static std::vector<std::string> texts(const History::Snapshot& s) {
        std::vector<std::string> out;
        for (const auto& e : s.entries)
            out.push_back(e.text);
        return out;
    }

    TempDir m_dir;
    std::vector<std::weak_ptr<History>> m_open;
    // Starts at 2023-11-14 22:13:20.000 UTC.
    testing::ManualWallClock m_clock{std::chrono::system_clock::time_point(std::chrono::seconds(1700000000))};
};

json validDocument() {
    return json{{"auto_apply_incoming", false},
                {"entries", json::array({json{{"direction", "received"},
                                              {"hash", "aaaaaaaa"},
                                              {"id", "aaaaaaaa:2"},
                                              {"text", "newer"},
                                              {"timestamp", 2}},
                                         json{{"direction", "sent"},
                                              {"hash", "bbbbbbbb"},
                                              {"id", "bbbbbbbb:1"},
                                              {"text", "older"},
                                              {"timestamp", 1}}})},
                {"max_entries", 10},
                {"page_size", 7}};
}

TEST_F(HistoryTest, FreshInstallHasDefaultsAndWritesNothingUntilAChange) {
    auto history = open();
    auto s = history->snapshot();
    EXPECT_TRUE(s.entries.empty());
    EXPECT_EQ(s.maxEntries, 50);
    EXPECT_EQ(s.pageSize, 25);
    EXPECT_TRUE(s.autoApplyIncoming);
    EXPECT_TRUE(history->autoApply());
    flushAll();
    EXPECT_FALSE(fs::exists(path()));

    history->setAutoApply(false);
    EXPECT_FALSE(history->autoApply());
    EXPECT_EQ(fileJson()["auto_apply_incoming"], false);
}

TEST_F(HistoryTest, RecordStampsEntriesFromTheClock) {
    auto history = open();
    advanceMs(123.9); // truncated, not rounded
    auto s = history->record("hello", "2cf24dba", Direction::received);
    ASSERT_EQ(s.entries.size(), 1u);
    const auto& e = s.entries[0];
    EXPECT_EQ(e.timestamp, 1700000000123u);
    EXPECT_EQ(e.id, "2cf24dba:1700000000123");
    EXPECT_EQ(e.text, "hello");
    EXPECT_EQ(e.hash, "2cf24dba");
    EXPECT_EQ(e.direction, Direction::received);
}

TEST_F(HistoryTest, RecordingATextAgainMovesItToTheTopWithNewStampAndDirection) {
    auto history = open();
    history->record("A", "hash-a", Direction::received);
    advanceMs(1000);
    history->record("B", "hash-b", Direction::sent);
    advanceMs(1000);
    auto s = history->record("A", "hash-a", Direction::sent);

    ASSERT_EQ(texts(s), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(s.entries[0].timestamp, 1700000002000u);
    EXPECT_EQ(s.entries[0].id, "hash-a:1700000002000");
    EXPECT_EQ(s.entries[0].direction, Direction::sent);
    EXPECT_EQ(s.entries[1].direction, Direction::sent);
    // Dedupe goes by hash alone, whatever the text.
    s = history->record("B, but edited", "hash-b", Direction::received);
    EXPECT_EQ(texts(s), (std::vector<std::string>{"B, but edited", "A"}));
}

TEST_F(HistoryTest, RecordTrimsToTheMaximumDroppingTheOldest) {
    auto history = open();
    history->setMax(3);
    for (auto t : {"E1", "E2", "E3"}) {
        history->record(t, std::string("h") + t, Direction::sent);
        advanceMs(1);
    }
    auto s = history->record("E4", "hE4", Direction::sent);
    EXPECT_EQ(texts(s), (std::vector<std::string>{"E4", "E3", "E2"}));
}

TEST_F(HistoryTest, SetMaxHoldsAtLeastOneAndTrimsOnlyWhenSmaller) {
    for (int64_t requested : {0, -5}) {
        fs::remove(path());
        auto history = open();
        for (int i = 0; i < 4; ++i)
            history->record("t" + std::to_string(i), "h" + std::to_string(i), Direction::sent);
        auto s = history->setMax(requested);
        EXPECT_EQ(s.maxEntries, 1);
        EXPECT_EQ(texts(s), (std::vector<std::string>{"t3"}));
        EXPECT_EQ(fileJson()["max_entries"], 1);
    }
    fs::remove(path());
    auto history = open();
    for (int i = 0; i < 10; ++i)
        history->record("t" + std::to_string(i), "h" + std::to_string(i), Direction::sent);
    auto s = history->setMax(100);
    EXPECT_EQ(s.entries.size(), 10u);
    EXPECT_EQ(s.maxEntries, 100);
    EXPECT_EQ(fileJson()["max_entries"], 100);
}

TEST_F(HistoryTest, ClearKeepsTheSettingsAndWritesEvenWhenAlreadyEmpty) {
    auto history = open();
    auto s = history->clear();
    EXPECT_TRUE(s.entries.empty());
    flushAll();
    ASSERT_TRUE(fs::exists(path()));
    EXPECT_EQ(fileJson()["entries"], json::array());

    history->setMax(9);
    history->setAutoApply(false);
    history->record("x", "hx", Direction::sent);
    s = history->clear();
    EXPECT_TRUE(s.entries.empty());
    EXPECT_EQ(s.maxEntries, 9);
    EXPECT_FALSE(s.autoApplyIncoming);
    EXPECT_EQ(open()->snapshot(), s);
}

TEST_F(HistoryTest, ReloadGivesBackTheSameStateAfterEveryKindOfChange) {
    auto history = open();
    History::Snapshot last;
    for (int i = 0; i < 12; ++i) {
        last = history->record("text " + std::to_string(i % 7), "h" + std::to_string(i % 7),
                               i % 2 ? Direction::sent : Direction::received);
        advanceMs(3);
        EXPECT_EQ(open()->snapshot(), last) << "after record " << i;
    }
    last = history->setMax(4);
    EXPECT_EQ(open()->snapshot(), last);
    last = history->setAutoApply(false);
    EXPECT_EQ(open()->snapshot(), last);
    // What is written equals what the full encoder gives for the same state.
    EXPECT_EQ(fileText(), encodeHistoryFile(PersistShape{last.entries, last.maxEntries,
                                                         last.pageSize, last.autoApplyIncoming}));
}

TEST_F(HistoryTest, LoadedFileIsTakenAsItStandsAndTheNextRecordTrims) {
    json doc = validDocument();
    doc["max_entries"] = 1;
    doc["entries"][1]["hash"] = "aaaaaaaa"; // a duplicate hash, kept on load
    writeFile(doc.dump());
    auto history = open();
    auto s = history->snapshot();
    EXPECT_EQ(texts(s), (std::vector<std::string>{"newer", "older"}));
    EXPECT_EQ(s.pageSize, 7);
    EXPECT_FALSE(s.autoApplyIncoming);
    EXPECT_EQ(fileText(), doc.dump()) << "loading must not write";

    s = history->record("newest", "cccccccc", Direction::sent);
    EXPECT_EQ(texts(s), (std::vector<std::string>{"newest"}));
}

TEST_F(HistoryTest, MaximumBelowOneInAHandEditedFileIsHeldAtOne) {
    for (int64_t stored : {0, -3}) {
        json doc = validDocument();
        doc["max_entries"] = stored;
        writeFile(doc.dump());
        auto history = open();
        EXPECT_EQ(history->snapshot().maxEntries, 1);
        EXPECT_EQ(history->snapshot().entries.size(), 2u);
        auto s = history->record("x", "hx", Direction::sent);
        EXPECT_EQ(texts(s), (std::vector<std::string>{"x"}));
    }
}

TEST_F(HistoryTest, UnknownKeysAreIgnored) {
    json doc = validDocument();
    doc["theme"] = "dark";
    doc["entries"][0]["pinned"] = true;
    writeFile(doc.dump());
    EXPECT_EQ(open()->snapshot().entries.size(), 2u);
}

// Each case breaks a valid file in one way; all of them load as the defaults.
struct Breakage {
    const char* name;
    std::function<void(json&)> apply;
};

class BrokenHistoryFileTest : public HistoryTest, public ::testing::WithParamInterface<Breakage> {};

TEST_P(BrokenHistoryFileTest, LoadsAsDefaultsWithALogLineAndIsRewrittenWhole) {
    json doc = validDocument();
    GetParam().apply(doc);
    writeFile(doc.dump());
    testing::LogCapture log;
    auto history = open();
    auto s = history->snapshot();
    EXPECT_TRUE(s.entries.empty());
    EXPECT_EQ(s.maxEntries, 50);
    EXPECT_EQ(s.pageSize, 25);
    EXPECT_TRUE(s.autoApplyIncoming);
    EXPECT_EQ(log.count("history.json"), 1u);

    history->record("fresh", "ffffffff", Direction::sent);
    auto reread = decodeHistoryFile(fileText());
    ASSERT_TRUE(reread.has_value());
    EXPECT_EQ(reread->entries.size(), 1u);
}

std::vector<Breakage> breakages() {
    std::vector<Breakage> out;
    for (const char* key : {"auto_apply_incoming", "entries", "max_entries", "page_size"})
        out.push_back({key, [key](json& d) { d.erase(key); }});
    for (const char* key : {"direction", "hash", "id", "text", "timestamp"})
        out.push_back({key, [key](json& d) { d["entries"][1].erase(key); }});
    out.push_back({"bool_as_int", [](json& d) { d["auto_apply_incoming"] = 1; }});
    out.push_back({"entries_as_object", [](json& d) { d["entries"] = json::object(); }});
    out.push_back({"max_as_string", [](json& d) { d["max_entries"] = "50"; }});
    out.push_back({"max_as_float", [](json& d) { d["max_entries"] = 50.5; }});
    out.push_back({"max_too_big", [](json& d) { d["max_entries"] = 9223372036854775808ull; }});
    out.push_back({"page_as_null", [](json& d) { d["page_size"] = nullptr; }});
    out.push_back({"text_as_number", [](json& d) { d["entries"][0]["text"] = 5; }});
    out.push_back({"negative_timestamp", [](json& d) { d["entries"][0]["timestamp"] = -1; }});
    out.push_back({"timestamp_as_string", [](json& d) { d["entries"][0]["timestamp"] = "1"; }});
    out.push_back({"entry_not_object", [](json& d) { d["entries"].push_back("x"); }});
    out.push_back({"unknown_direction", [](json& d) { d["entries"][1]["direction"] = "both"; }});
    out.push_back({"direction_case", [](json& d) { d["entries"][0]["direction"] = "Sent"; }});
    out.push_back({"top_level_array", [](json& d) { d = json::array({d}); }});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Breakages, BrokenHistoryFileTest, ::testing::ValuesIn(breakages()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(HistoryTest, TextThatIsNotJsonLoadsAsDefaults) {
    for (std::string text : {std::string("not json"), std::string(""),
                             validDocument().dump().substr(0, 60), std::string("{\"a\":\xff}")}) {
        writeFile(text);
        EXPECT_TRUE(open()->snapshot().entries.empty()) << text;
    }
}

TEST_F(HistoryTest, TextThatIsNotUtf8IsSavedWithReplacementCharacters) {
    auto history = open();
    history->record("ok \xff\xfe end", "33333333", Direction::received);
    advanceMs(1);
    history->record("later", "44444444", Direction::sent);
    auto reloaded = open()->snapshot();
    ASSERT_EQ(reloaded.entries.size(), 2u) << "one bad text must not stop the history being saved";
    EXPECT_EQ(reloaded.entries[1].text, "ok \xEF\xBF\xBD\xEF\xBF\xBD end");
}

} // namespace
} // namespace sorvane

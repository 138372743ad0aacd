// The clipboard history against a real file, with a hand-driven clock.

#include "store/History.h"
#include "store/AtomicFile.h"
#include "store/HistoryFile.h"
#include "testing/test-env/TempDir.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/ManualClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <thread>

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::TempDir;
using Strings = std::vector<std::string>;

std::string fixedHash(int k) {
    char hash[16];
    std::snprintf(hash, sizeof hash, "h%04d", k);
    return hash;
}

class HistoryTest : public ::testing::Test {
protected:
    fs::path path() const { return m_dir.path() / "history.json"; }

    void advanceMs(double ms) {
        m_clock.advance(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double, std::milli>(ms)));
    }
    // Histories write on their own thread: whatever reads the file first waits
    // for the writes of every history still open.
    std::shared_ptr<History> open(size_t byteBudget = History::kDefaultByteBudget) {
        flushAll();
        auto history = std::make_shared<History>(path(), m_clock.fn(), byteBudget);
        m_open.push_back(history);
        return history;
    }
    void flushAll() const {
        for (const auto& weak : m_open)
            if (auto history = weak.lock())
                history->flush();
    }

    // Both wait for the writes still running first: one landing afterwards
    // would put the old file back.
    void removeFile() const {
        flushAll();
        fs::remove(path());
    }
    void writeFile(std::string_view text) {
        flushAll();
        std::ofstream(path(), std::ios::binary | std::ios::trunc)
            .write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    std::string fileText() const {
        flushAll();
        return store::readFile(path(), {.maxBytes = History::kFileLimit}).value_or("");
    }
    json fileJson() const { return json::parse(fileText()); }

    static Strings field(const History::Snapshot& s, std::string ClipboardEntry::*member) {
        Strings out;
        for (const auto& e : s.entries)
            out.push_back(e.*member);
        return out;
    }
    static Strings texts(const History::Snapshot& s) { return field(s, &ClipboardEntry::text); }
    static Strings hashes(const History::Snapshot& s) { return field(s, &ClipboardEntry::hash); }
    // n entries of `bytes` bytes (and a number), hashed fixedHash(0 .. n-1), 1 ms apart.
    History::Snapshot recordMany(History& history, int n, size_t bytes) {
        History::Snapshot s;
        for (int i = 0; i < n; ++i, advanceMs(1))
            s = history.record(std::string(bytes, static_cast<char>('a' + i % 26)) + std::to_string(i),
                               fixedHash(i), Direction::sent);
        return s;
    }
    static void expectDefaults(const History::Snapshot& s) {
        EXPECT_TRUE(s.entries.empty());
        EXPECT_EQ(s.maxEntries, 50);
        EXPECT_EQ(s.pageSize, 25);
        EXPECT_TRUE(s.autoApplyIncoming);
    }

    TempDir m_dir;
    std::vector<std::weak_ptr<History>> m_open;
    // Starts at 2023-11-14 22:13:20.000 UTC.
    testing::ManualWallClock m_clock{std::chrono::system_clock::time_point(std::chrono::seconds(1700000000))};
};

json validDocument() {
    return json::parse(R"({"auto_apply_incoming": false, "max_entries": 10, "page_size": 7, "entries": [
        {"direction": "received", "hash": "aaaaaaaa", "id": "aaaaaaaa:2", "text": "newer", "timestamp": 2},
        {"direction": "sent", "hash": "bbbbbbbb", "id": "bbbbbbbb:1", "text": "older", "timestamp": 1}]})");
}

TEST_F(HistoryTest, FreshInstallHasDefaultsWritesOnlyOnAChangeAndClearKeepsTheSettings) {
    auto history = open();
    expectDefaults(history->snapshot());
    EXPECT_TRUE(history->autoApply());
    flushAll();
    EXPECT_FALSE(fs::exists(path()));

    // Clearing writes even when already empty.
    EXPECT_TRUE(history->clear().entries.empty());
    EXPECT_EQ(fileJson()["entries"], json::array());

    history->setMax(9);
    history->setAutoApply(false);
    EXPECT_FALSE(history->autoApply());
    EXPECT_EQ(fileJson()["auto_apply_incoming"], false);
    history->record("x", "hx", Direction::sent);
    auto s = history->clear();
    EXPECT_TRUE(s.entries.empty());
    EXPECT_EQ(s.maxEntries, 9);
    EXPECT_FALSE(s.autoApplyIncoming);
    EXPECT_EQ(open()->snapshot(), s);
}

// Every state is saved as it is: the next start gives it back.
TEST_F(HistoryTest, RecordStampsFromTheClockAndARepeatedHashMovesToTheTop) {
    auto history = open();
    advanceMs(123.9); // truncated, not rounded
    auto s = history->record("A", "hash-a", Direction::received);
    ASSERT_EQ(s.entries.size(), 1u);
    EXPECT_EQ(s.entries[0].timestamp, 1700000000123u);
    EXPECT_EQ(s.entries[0].id, "hash-a:1700000000123");
    EXPECT_EQ(s.entries[0].direction, Direction::received);
    EXPECT_EQ(open()->snapshot(), s);

    advanceMs(1000);
    history->record("B", "hash-b", Direction::sent);
    advanceMs(1000);
    s = history->record("A", "hash-a", Direction::sent);
    ASSERT_EQ(texts(s), (Strings{"A", "B"}));
    EXPECT_EQ(s.entries[0].id, "hash-a:1700000002123") << "a new stamp";
    EXPECT_EQ(s.entries[0].direction, Direction::sent) << "and the new direction";
    EXPECT_EQ(open()->snapshot(), s);
    // Dedupe goes by hash alone, whatever the text.
    s = history->record("B, but edited", "hash-b", Direction::received);
    EXPECT_EQ(texts(s), (Strings{"B, but edited", "A"}));
    EXPECT_EQ(open()->snapshot(), s);
}

TEST_F(HistoryTest, SetMaxHoldsAtLeastOneAndTrimsOnlyWhenSmaller) {
    struct Case { int64_t requested; int recorded; int64_t held; };
    for (auto [requested, recorded, held] : {Case{0, 4, 1}, Case{-5, 4, 1}, Case{100, 10, 100}}) {
        SCOPED_TRACE(requested);
        removeFile();
        auto history = open();
        recordMany(*history, recorded, 4);
        auto s = history->setMax(requested);
        EXPECT_EQ(s.maxEntries, held);
        ASSERT_EQ(s.entries.size(), static_cast<size_t>(std::min<int64_t>(held, recorded)));
        EXPECT_EQ(s.entries[0].hash, fixedHash(recorded - 1)) << "the newest is kept";
        EXPECT_EQ(fileJson()["max_entries"], held);
        EXPECT_EQ(open()->snapshot(), s);
    }
}

// Read in the background, the history gives the same state as read at once,
// and what is done while it loads lands after what the file holds.
TEST_F(HistoryTest, ABackgroundLoadKeepsWhatHappensMeanwhileInOrder) {
    recordMany(*open(), 40, 64 << 10);
    const History::Snapshot onDisk = open()->snapshot();
    flushAll();

    std::atomic<int> told{0};
    auto background = std::make_shared<History>(path(), m_clock.fn(), History::kDefaultByteBudget,
                                                History::Load::inBackground);
    background->whenLoaded([&] { ++told; });
    advanceMs(5);
    const History::Snapshot after = background->record("meanwhile", "m", Direction::sent);
    EXPECT_TRUE(background->isLoaded());
    ASSERT_EQ(after.entries.size(), 41u);
    EXPECT_EQ(after.entries[0].text, "meanwhile");
    for (size_t i = 0; i < onDisk.entries.size(); ++i)
        EXPECT_EQ(after.entries[i + 1], onDisk.entries[i]) << i;
    // Told once, on the loading thread, which may still be on its way there.
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         told.load() == 0 && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(told.load(), 1);
    background->whenLoaded([&] { ++told; }); // after the load: at once
    EXPECT_EQ(told.load(), 2);
    background->flush();
    EXPECT_EQ(open()->snapshot(), after);

    // Gone before its load finished: nothing is written.
    const std::string before = fileText();
    { History gone(path(), m_clock.fn(), History::kDefaultByteBudget, History::Load::inBackground); }
    EXPECT_EQ(fileText(), before);
}

TEST_F(HistoryTest, LoadedFileOverItsLimitsIsTakenWholeAndTheNextChangeTrims) {
    // Over the entry limit (a hand-edited maximum below one is held at one):
    // the next record trims. Unknown keys are ignored.
    History::Snapshot s;
    for (int64_t stored : {1, 0, -3}) {
        json doc = validDocument();
        doc["max_entries"] = stored;
        doc["entries"][1]["hash"] = "aaaaaaaa"; // a duplicate hash, kept on load
        doc["theme"] = "dark";
        doc["entries"][0]["pinned"] = true;
        writeFile(doc.dump());
        auto history = open();
        s = history->snapshot();
        EXPECT_EQ(texts(s), (Strings{"newer", "older"})) << stored;
        EXPECT_EQ(s.maxEntries, 1);
        EXPECT_EQ(s.pageSize, 7);
        EXPECT_FALSE(s.autoApplyIncoming);
        EXPECT_EQ(fileText(), doc.dump()) << "loading must not write";
        s = history->record("newest", "cccccccc", Direction::sent);
        EXPECT_EQ(texts(s), (Strings{"newest"}));
    }

    // Over the byte budget (written under a larger one): any change trims, a
    // setting as much as a record, since the writer never writes past it.
    removeFile();
    const History::Snapshot written = recordMany(*open(4 << 20), 30, 64 << 10);
    const std::string before = fileText();
    testing::LogCapture log;
    auto tight = open(1 << 20);
    EXPECT_EQ(tight->snapshot(), written) << "nothing the user stored is lost at load";
    EXPECT_GT(tight->fileBytes(), size_t{1} << 20);
    EXPECT_EQ(fileText(), before);
    EXPECT_EQ(log.count("budget"), 0u);

    s = tight->setAutoApply(false);
    EXPECT_LE(tight->fileBytes(), size_t{1} << 20);
    ASSERT_FALSE(s.entries.empty());
    const Strings all = hashes(written);
    EXPECT_EQ(hashes(s), Strings(all.begin(), all.begin() + s.entries.size()))
        << "the newest are kept";
    EXPECT_EQ(log.count("budget: dropped the " + std::to_string(30 - s.entries.size()) +
                        " oldest entries"),
              1u);
    EXPECT_EQ(open()->snapshot(), s);
}

// ---- The byte budget

// 64 KiB of text: lines of prose, or nothing but control characters (six bytes
// each in the file, the most any byte takes).
std::string text64k(int k, bool controls) {
    std::string text;
    if (controls) {
        text.assign(64 << 10, '\x01');
        text[0] = static_cast<char>(2 + k % 29);
        return text;
    }
    while (text.size() < (64 << 10))
        text += "copied line " + std::to_string(k) + " with a \"quote\" and a tab\tend\n";
    text.resize(64 << 10);
    return text;
}

TEST_F(HistoryTest, HistoryFedPastItsBudgetLoadsWholeAtTheNextStart) {
    constexpr size_t kBudget = 1 << 20;
    constexpr int kRecords = 40;
    for (bool controls : {false, true}) {
        SCOPED_TRACE(controls ? "control characters" : "prose");
        removeFile();
        testing::LogCapture log;
        auto history = open(kBudget);
        history->setMax(200);
        std::vector<History::Snapshot> after;
        for (int i = 0; i < kRecords; ++i) {
            after.push_back(history->record(text64k(i, controls), fixedHash(i), Direction::sent));
            advanceMs(1);
            EXPECT_LE(history->fileBytes(), kBudget) << "record " << i;
        }
        const History::Snapshot& last = after.back();
        const size_t kept = last.entries.size();
        ASSERT_GE(kept, 2u);
        ASSERT_LT(kept, static_cast<size_t>(kRecords));
        for (size_t k = 0; k < kept; ++k)
            EXPECT_EQ(last.entries[k].hash, fixedHash(kRecords - 1 - static_cast<int>(k)));
        // The budget is used up, not merely respected: the next older entry
        // (the last one dropped) would not have fitted.
        const ClipboardEntry& dropped = after[after.size() - 2].entries[kept - 1];
        EXPECT_EQ(dropped.hash, fixedHash(kRecords - 1 - static_cast<int>(kept)));
        EXPECT_GT(history->fileBytes() + historyFileBytesOf(dropped), kBudget);
        // Texts of one size: once full, every record drops one entry, in one line.
        EXPECT_EQ(log.count("history over its 1 MiB budget: dropped the oldest entry"),
                  kRecords - kept);
        EXPECT_EQ(log.lines().size(), kRecords - kept);

        flushAll();
        EXPECT_LE(fs::file_size(path()), kBudget + History::kFrameLimit);
        EXPECT_EQ(open()->snapshot(), last);
        EXPECT_EQ(open(kBudget)->snapshot(), last);
    }
}

TEST_F(HistoryTest, EntryLimitAndBudgetDropTheOldestAndATextTooLargeToLoadIsNotRecorded) {
    testing::LogCapture log;
    auto history = open(1 << 20);
    history->setMax(10);
    auto record = [&](int k, size_t bytes) {
        advanceMs(1);
        return history->record(std::string(bytes, 'a' + k % 26), fixedHash(k), Direction::sent);
    };
    History::Snapshot s;
    for (int k = 0; k < 11; ++k)
        s = record(k, 1 << 10);
    s = record(11, 700 << 10);
    EXPECT_EQ(s.entries.size(), 10u);
    EXPECT_EQ(s.entries[9].hash, fixedHash(2)) << "the entry limit drops the oldest";
    EXPECT_TRUE(log.lines().empty()) << "the entry limit trims quietly";

    // 400 + 700 KiB: the eight small entries are older than the 700 KiB one, so
    // they go first, and it goes too.
    s = record(12, 400 << 10);
    EXPECT_EQ(hashes(s), (Strings{fixedHash(12)}));
    EXPECT_EQ(log.count("history over its 1 MiB budget: dropped the 9 oldest entries"), 1u);
    EXPECT_EQ(log.lines().size(), 1u);

    s = record(13, 300 << 10);
    EXPECT_EQ(hashes(s), (Strings{fixedHash(13), fixedHash(12)}));
    EXPECT_EQ(log.lines().size(), 1u);

    // A text alone over the budget is still the user's latest copy: kept, and
    // everything older goes. The file holding it loads.
    s = record(14, 3 << 20);
    EXPECT_EQ(hashes(s), (Strings{fixedHash(14)}));
    EXPECT_EQ(log.count("dropped the 2 oldest entries"), 1u);
    EXPECT_EQ(open()->snapshot(), s);
    // Recording it again replaces it rather than counting it twice.
    const size_t once = history->fileBytes();
    s = record(14, 3 << 20);
    EXPECT_EQ(hashes(s), (Strings{fixedHash(14)}));
    EXPECT_EQ(history->fileBytes(), once);
    EXPECT_EQ(log.lines().size(), 2u);

    // A text that would make the file too large to load (six bytes each in the
    // file, past what the reader loads, though smaller raw) is not recorded.
    const auto before = s;
    s = history->record(std::string(History::kMaxByteBudget / 6 + 1, '\x01'), "hhhhhhhh", Direction::received);
    EXPECT_EQ(s, before);
    EXPECT_EQ(log.count("is not kept in the history"), 1u);
    EXPECT_EQ(open()->snapshot(), before);
    // Recording goes on; the 3 MiB text now goes for the budget.
    EXPECT_EQ(hashes(record(15, 10)), (Strings{fixedHash(15)}));
}

// Each case breaks a valid file in one way, or replaces it with text that is no
// history at all.
struct Breakage {
    const char* name;
    std::function<void(json&)> apply;
    std::optional<std::string> text = std::nullopt; // the whole file, instead
};
void PrintTo(const Breakage& breakage, std::ostream* out) {
    *out << breakage.name;
}

class BrokenHistoryFileTest : public HistoryTest, public ::testing::WithParamInterface<Breakage> {};

// It loads as the defaults with one log line, and loading does not write. The
// first write keeps it as it was, private, beside the new file (over an older
// copy) and says where; the next start loads the new file.
TEST_P(BrokenHistoryFileTest, LoadsAsDefaultsAndIsKeptAsideByTheFirstWrite) {
    json doc = validDocument();
    if (GetParam().apply)
        GetParam().apply(doc);
    const std::string broken = GetParam().text.value_or(doc.dump());
    const fs::path aside = m_dir.path() / "history.json.unreadable";
    std::ofstream(aside) << "an older copy";
    writeFile(broken);
    fs::permissions(path(), fs::perms(0644));
    testing::LogCapture log;
    auto history = open();
    expectDefaults(history->snapshot());
    EXPECT_EQ(log.count("history.json"), 1u);
    EXPECT_EQ(fileText(), broken) << "loading must not write";

    history->record("fresh", "ffffffff", Direction::sent);
    const auto last = history->record("fresher", "eeeeeeee", Direction::sent);
    EXPECT_EQ(open()->snapshot(), last);
    EXPECT_EQ(store::readFile(aside, {.maxBytes = 4 << 20}), broken);
    EXPECT_EQ(fs::status(aside).permissions(), fs::perms(0600));
    EXPECT_TRUE(log.contains(aside.string())) << "the log says where the old file went";
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
    // No valid JSON, or a mebibyte of it that is no history.
    std::string notUtf8 = validDocument().dump();
    notUtf8[notUtf8.find("newer") + 2] = '\xff';
    out.push_back({"text_not_utf8", nullptr, notUtf8});
    out.push_back({"not_json", nullptr, "not json"});
    out.push_back({"empty", nullptr, ""});
    out.push_back({"cut_off", nullptr, validDocument().dump().substr(0, 60)});
    out.push_back({"byte_outside_a_string", nullptr, "{\"a\":\xff}"});
    out.push_back({"mebibyte_array", nullptr, "[" + std::string(size_t{1} << 20, ' ') + "]"});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Breakages, BrokenHistoryFileTest, ::testing::ValuesIn(breakages()),
                         [](const auto& p) { return std::string(p.param.name); });

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

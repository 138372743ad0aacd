// The history's writer thread against a real directory: bursts become few
// writes, the file always ends with the latest state, flush() and the
// destructor wait for it, and failed writes are logged and recovered from.
// Watched with inotify, so the writes are counted as the file system sees them.

#include "store/AtomicFile.h"
#include "store/History.h"
#include "store/HistoryFile.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"
#include "testing/test-env/WriteCounter.h"

#include <gtest/gtest.h>


namespace sorvane {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::TempDir;
using testing::WriteCounter;

class HistoryWriterTest : public ::testing::Test {
protected:
    std::string fileText() const {
        return store::readFile(path, {.maxBytes = History::kFileLimit}).value_or("");
    }
    static std::string encoded(const History::Snapshot& s) {
        return encodeHistoryFile(
            PersistShape{s.entries, s.maxEntries, s.pageSize, s.autoApplyIncoming});
    }

    TempDir tmp;
    const fs::path path = tmp.path() / "history.json";
};

TEST_F(HistoryWriterTest, BurstOfRecordsBecomesFewWritesEndingWithTheLatestState) {
    WriteCounter writes(tmp.path(), "history.json");
    History history(path);
    History::Snapshot last;
    const std::string filler(16 * 1024, 'f');
    for (int i = 0; i < 100; ++i) {
        last = history.record(filler + std::to_string(i), "h" + std::to_string(i % 60),
                              i % 2 ? Direction::sent : Direction::received);
        if (i == 40)
            history.setMax(30); // the other changes take the same road, in order
        if (i == 70)
            history.setAutoApply(false);
    }
    last = history.setMax(25);
    history.flush();
    const int count = writes.count();
    EXPECT_GE(count, 1);
    EXPECT_LE(count, 10) << "102 changes made " << count << " writes";
    EXPECT_EQ(fileText(), encoded(last));
    EXPECT_EQ(History(path).snapshot(), last);
    EXPECT_EQ(last.entries.size(), 25u);
    EXPECT_FALSE(last.autoApplyIncoming);
}

TEST_F(HistoryWriterTest, FlushAndTheDestructorWaitForTheLastWrite) {
    // Large texts: each write takes long enough that a reader that did not wait
    // would see an older file, or none.
    const std::string big(2 << 20, 'b');
    History::Snapshot last;
    {
        History history(path);
        for (int i = 0; i < 12; ++i)
            last = history.record(big + std::to_string(i), "h" + std::to_string(i), Direction::sent);
        history.flush();
        EXPECT_EQ(fileText(), encoded(last));

        last = history.clear();
        for (int i = 0; i < 12; ++i)
            last = history.record(std::to_string(i) + big, "k" + std::to_string(i), Direction::received);
    } // nothing lost at quit: the destructor writes what is waiting
    EXPECT_EQ(fileText(), encoded(last));
}

TEST_F(HistoryWriterTest, FailedWriteIsLoggedOnceAndTheNextOneWritesEverything) {
    fs::create_directories(path / "in-the-way"); // renaming over it fails
    LogCapture log;
    History history(path);
    history.record("one", "11111111", Direction::sent);
    history.record("two", "22222222", Direction::sent);
    history.flush();
    history.record("three", "33333333", Direction::sent);
    history.flush();
    EXPECT_EQ(log.count("history.json not saved"), 1u);
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator{}), 1)
        << "a failed write left its temporary behind";

    fs::remove_all(path);
    auto last = history.record("four", "44444444", Direction::sent);
    history.flush();
    EXPECT_EQ(fileText(), encoded(last));
    EXPECT_EQ(last.entries.size(), 4u);
    EXPECT_EQ(log.count("history.json saved again"), 1u);
    EXPECT_EQ(fs::directory_iterator(tmp.path())->path().filename(), "history.json");
}

TEST_F(HistoryWriterTest, SnapshotsShareTheEntriesAndStayValidAfterLaterChanges) {
    History history(path);
    auto first = history.record("kept text", "aaaaaaaa", Direction::sent);
    const ClipboardEntry* shared = &first.entries[0];
    auto second = history.record("next", "bbbbbbbb", Direction::sent);
    EXPECT_EQ(&second.entries[1], shared) << "a snapshot copies pointers, not texts";
    history.clear();
    history.flush();
    EXPECT_EQ(first.entries[0].text, "kept text");
    EXPECT_EQ(second.entries.size(), 2u);
}

} // namespace
} // namespace sorvane

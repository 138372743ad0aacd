// The stores on a hostile or unlucky file system: FIFOs and devices in place of
// our files, oversized files, files that fail to load, a full disk, a shared data
// directory and one that others may write to. Each case runs on real files in a
// temporary directory; the ones that used to hang or crash run in a forked child
// with a deadline, so a regression fails instead of stopping the test run.

#include "adapters/linux/secret/FileSecretStore.h"
#include "store/History.h"
#include "store/KeyStore.h"
#include "store/UserDefaultsFile.h"
#include "support/ErrorOf.h"
#include "testing/child-process/ChildProcess.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/SmallFileSystem.h"
#include "testing/test-env/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::LogCapture;
using testing::SmallFileSystem;
using testing::TempDir;

std::string slurp(const fs::path& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

void spill(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

unsigned modeOf(const fs::path& path) {
    return static_cast<unsigned>(fs::symlink_status(path).permissions());
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::unique_ptr<KeyStore> openStore(const fs::path& dir) {
    return std::make_unique<KeyStore>(dir, std::make_unique<FileSecretStore>(dir));
}

// What each hostile thing in place of a file looks like.
enum class Hostile { fifo, devZero, hugeSparse };

void plant(Hostile kind, const fs::path& path) {
    fs::remove(path);
    switch (kind) {
    case Hostile::fifo:
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        break;
    case Hostile::devZero:
        fs::create_symlink("/dev/zero", path);
        break;
    case Hostile::hugeSparse: // larger than any file of ours may be, and no disk used
        std::ofstream(path).close();
        fs::resize_file(path, (uint64_t{4} << 30) + 1);
        break;
    }
}

const char* nameOf(Hostile kind) {
    return std::array{"fifo", "devZero", "hugeSparse"}[static_cast<size_t>(kind)];
}

const PeerRecord kPhone{"aa", std::string(64, 'a'), 1, 0, std::nullopt};

// Runs `body` in a child with 2 GiB of address space (so that reading without a
// limit fails quickly rather than swamping the machine) and a deadline. The body
// returns "" when all is well, else what went wrong.
testing::ChildOutcome inChild(const std::function<std::string()>& body) {
    return testing::runForked(
        [&](int out) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
            rlimit limit{uint64_t{2} << 30, uint64_t{2} << 30};
            ::setrlimit(RLIMIT_AS, &limit);
#endif
            std::string problems = body();
            testing::writeAll(out, problems);
            return problems.empty() ? 0 : 1;
        },
        10s);
}

void expectClean(const testing::ChildOutcome& outcome) {
    ASSERT_TRUE(outcome.status) << "the child hung";
    EXPECT_LT(*outcome.status, 128) << "the child died of a signal";
    EXPECT_EQ(*outcome.status, 0) << outcome.output;
}

class HostileFileTest : public ::testing::TestWithParam<Hostile> {};

// The same thing in place of each of our files: the history and preferences
// start empty with one log line, write a regular file and keep what stood there;
// the peers read as none with one log line; the device id is an error naming the
// file, never a hang, and is never repaired.
TEST_P(HostileFileTest, EveryFileOfOursStartsEmptyOrIsAnErrorNeverAHang) {
    TempDir tmp;
    const fs::path dir = tmp.path();
    for (const char* name : {"history.json", "peers.json", "device_id", "defaults.json"})
        plant(GetParam(), dir / name);
    const bool sparse = GetParam() == Hostile::hugeSparse;
    expectClean(inChild([&] {
        std::string problems;
        auto check = [&](bool ok, const std::string& problem) {
            problems += ok ? "" : problem + "\n";
        };
        auto oneLine = [&](const LogCapture& log, const std::string& name) {
            check(log.count(name) == 1,
                  "not one log line on " + name + ": " + std::to_string(log.lines().size()));
        };
        // Written over: a regular file again, and what stood there kept beside
        // it, not followed or destroyed.
        auto replacedAndKeptAside = [&](const std::string& name) {
            check(fs::is_regular_file(fs::symlink_status(dir / name)), name + " was not written");
            check(fs::exists(fs::symlink_status(dir / (name + ".unreadable"))),
                  name + " was not kept aside");
        };
        {
            LogCapture log;
            History history(dir / "history.json");
            check(history.snapshot().entries.empty(), "entries from a hostile file");
            oneLine(log, "history.json");
            history.record("after", "aaaaaaaa", Direction::sent);
            history.flush();
            replacedAndKeptAside("history.json");
        }
        {
            LogCapture log;
            UserDefaultsFile defaults(dir / "defaults.json");
            check(!defaults.object("auto_paste"), "values from a hostile file");
            oneLine(log, "preferences");
            defaults.set("auto_paste", false);
            replacedAndKeptAside("defaults.json");
        }
        {
            LogCapture log;
            check(openStore(dir)->loadPeers().empty(), "peers from a hostile file");
            oneLine(log, "peers.json");
        }
        // A device id is an error that names the file; a long file is accepted
        // and its first 16 bytes used.
        try {
            auto identity = openStore(dir)->loadOrCreateIdentity();
            check(sparse && identity.deviceID == std::array<uint8_t, 16>{},
                  "a device id from a hostile file");
        } catch (const std::exception& e) {
            check(!sparse, std::string("a long device_id file must be accepted: ") + e.what());
            check(std::string(e.what()).find("device_id") != std::string::npos,
                  std::string("the error does not name the file: ") + e.what());
        }
        return problems;
    }));
    EXPECT_TRUE(fs::exists(fs::symlink_status(dir / "device_id"))) << "never repaired";
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileFileTest,
                         ::testing::Values(Hostile::fifo, Hostile::devZero, Hostile::hugeSparse),
                         [](const auto& p) { return std::string(nameOf(p.param)); });

// ---- Files that fail to load are kept aside before the first write over them
// (each store's own tests break its file in every way); files that load are not.

const std::string kGoodHistory =
    R"({"auto_apply_incoming":true,"entries":[{"direction":"sent","hash":"aaaaaaaa",)"
    R"("id":"aaaaaaaa:1","text":"one","timestamp":1}],"max_entries":50,"page_size":25})";

TEST(UnreadableCopyTest, FilesThatLoadAreNeverCopied) {
    TempDir tmp;
    spill(tmp.path() / "history.json", kGoodHistory);
    {
        History history(tmp.path() / "history.json");
        history.record("two", "bbbbbbbb", Direction::sent);
        history.flush();
    }
    auto store = openStore(tmp.path());
    store->putPeer(kPhone);
    store->putPeer(PeerRecord{"aa", std::string(64, 'a'), 2, 0, std::nullopt});
    EXPECT_FALSE(fs::exists(tmp.path() / "history.json.unreadable"));
    EXPECT_FALSE(fs::exists(tmp.path() / "peers.json.unreadable"));
}

// ---- A full disk

TEST(FullDiskTest, FailedSavesLeaveNoTemporaryAreLoggedOncePerBurstAndRecover) {
    SmallFileSystem small;
    const fs::path path = small.dir() / "history.json";
    LogCapture log;
    History history(path);
    history.record("fits", "11111111", Direction::sent);
    history.flush();
    const std::string saved = slurp(path);
    ASSERT_NE(saved.find("fits"), std::string::npos);

    const std::string big(80 * 1024, 'x'); // more than the file system holds
    auto burst = [&](int n) {
        for (int i = 0; i < n; ++i) {
            history.record(big + std::to_string(i), "big" + std::to_string(i), Direction::sent);
            history.flush();
            EXPECT_EQ(namesIn(small.dir()), std::vector<std::string>{"history.json"})
                << "a failed save left its temporary";
        }
    };
    burst(5);
    EXPECT_EQ(slurp(path), saved) << "a failed save must leave the last good file";
    EXPECT_EQ(log.count("history.json not saved"), 1u) << "one line per burst of failures";

    // Room again: the next change writes everything that memory kept.
    auto s = history.clear();
    history.flush();
    EXPECT_EQ(History(path).snapshot(), s);
    EXPECT_EQ(log.count("history.json saved again"), 1u);

    burst(2);
    EXPECT_EQ(log.count("history.json not saved"), 2u) << "a new burst is logged again";
}

// ---- The data directory

TEST(DataDirectoryTest, StartUpRemovesOnlyTheTemporariesOfOurOwnFiles) {
    TempDir tmp;
    const std::vector<std::string> ours = {
        ".history.json.tmp-Ab3dE9", ".peers.json.tmp-zzzzzz", ".device_id.tmp-000000",
        ".org.sorvane.identity-ed25519.key.tmp-q1w2e3"};
    const std::vector<std::string> foreign = {
        ".notes.txt.tmp-abcdef",   ".history.json.tmp-toolong", ".tmp-abcdef",
        ".xhistory.json.tmp-ab12cd", "history.json.tmp-Ab3dE9", ".history.json.bak-Ab3dE9",
        "notes.tmp-abcdef",        ".hidden"};
    for (const auto& n : ours)
        spill(tmp.path() / n, "ours");
    for (const auto& n : foreign)
        spill(tmp.path() / n, "someone else's");
    openStore(tmp.path());
    auto expected = foreign;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(tmp.path()), expected);
}

// A directory others may write into is tightened; one they may only read is
// left as it is. The files in it are private either way.
TEST(DataDirectoryTest, LooseDirectoryOfOursIsTightenedAndLoggedOnlyWhenOthersMayWrite) {
    for (auto [mode, after] : {std::pair{0777u, 0700u}, {0770u, 0700u}, {0702u, 0700u}, {0755u, 0755u}}) {
        TempDir tmp;
        const fs::path dir = tmp.path() / "org.sorvane.app";
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        ::chmod(dir.c_str(), mode);
        LogCapture log;
        auto store = openStore(dir);
        store->loadOrCreateIdentity();
        EXPECT_EQ(modeOf(dir), after) << std::oct << mode;
        EXPECT_EQ(log.count("writable by others"), mode == after ? 0u : 1u);
        EXPECT_EQ(modeOf(store->deviceIDPath()), 0600u);
        EXPECT_EQ(modeOf(FileSecretStore(dir).pathFor(KeyStore::kIdentityItem)), 0600u);
    }
}

TEST(DataDirectoryTest, DirectoryOfAnotherUserIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs to hand a directory to another user";
    TempDir tmp;
    const fs::path dir = tmp.path() / "org.sorvane.app";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(::chown(dir.c_str(), 4242, 4242), 0);
    const std::string error = testing::errorOf([&] { openStore(dir); });
    EXPECT_NE(error.find(dir.string()), std::string::npos) << error;
    EXPECT_TRUE(fs::is_empty(dir)) << "nothing written into it";
}

} // namespace
} // namespace sorvane

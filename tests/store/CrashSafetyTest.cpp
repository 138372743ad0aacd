// Crash safety: a child process writes the stores in a loop and is killed with
// SIGKILL at random moments. After every kill the files must parse and hold a
// state the child had reached: the last one it reported, or the one after it
// (written, but killed before it could report), never anything torn.

#include "adapters/linux/secret/FileSecretStore.h"
#include "store/AtomicFile.h"
#include "store/History.h"
#include "store/HistoryFile.h"
#include "store/KeyStore.h"
#include "testing/child-process/LoopingChild.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::LoopingChild;

constexpr int kMaxKills = 80;
constexpr auto kTimeBudget = 25s;
constexpr int kMinKills = 25; // the budget must allow at least this many

// Kills at a random moment: the child is somewhere in encode, write, fsync or
// rename. The pause is the point of the test, not a wait for a condition.
void randomPause(std::mt19937& rng, std::chrono::microseconds max) {
    std::uniform_int_distribution<long> us(0, max.count());
    std::this_thread::sleep_for(std::chrono::microseconds(us(rng)));
}

// Entry k's text: its number first, then filler whose length depends on k, so a
// torn or mixed-up entry cannot pass for a whole one.
std::string textFor(uint64_t k) {
    std::string text = "entry " + std::to_string(k) + " ";
    text.append(8000 + (k * 7919) % 24000, static_cast<char>('a' + k % 26));
    text += "\n\"end\"";
    return text;
}

TEST(CrashSafetyTest, HistoryFileIsWholeAfterEveryKill) {
    testing::TempDir tmp;
    const fs::path path = tmp.path() / "history.json";
    constexpr int64_t kMax = 6;
    std::mt19937 rng(12345);
    auto start = Clock::now();
    int kills = 0;
    uint64_t lastSeen = 0;
    for (; kills < kMaxKills && Clock::now() - start < kTimeBudget; ++kills) {
        // Each child goes on from what the previous one left on disk.
        LoopingChild child(lastSeen + 1, [&](uint64_t k) {
            static History history(path);
            if (k == 1)
                history.setMax(kMax);
            history.record(textFor(k), "h" + std::to_string(k), Direction::sent);
            // The write runs on the history's writer thread; a step is reported
            // once it is on disk, and the kill may land in the next write.
            history.flush();
        });
        ASSERT_TRUE(child.awaitSteps(1 + static_cast<int>(rng() % 3))) << "child made no progress";
        randomPause(rng, 4000us);
        child.killNow();

        auto content = store::readFile(path, {.maxBytes = 1 << 20});
        ASSERT_TRUE(content.has_value());
        auto state = decodeHistoryFile(*content);
        ASSERT_TRUE(state.has_value()) << "torn history after kill " << kills;
        ASSERT_FALSE(state->entries.empty());
        uint64_t newest = std::stoull(state->entries[0].text.substr(6));
        ASSERT_GE(newest, child.lastReported()) << "a reported record was lost";
        ASSERT_LE(newest, child.lastReported() + 1) << "a state the child never wrote";
        ASSERT_EQ(state->maxEntries, kMax);
        ASSERT_EQ(state->entries.size(), std::min<uint64_t>(newest, kMax));
        for (size_t i = 0; i < state->entries.size(); ++i)
            ASSERT_EQ(state->entries[i].text, textFor(newest - i)) << "entry " << i;
        lastSeen = newest;
    }
    EXPECT_GE(kills, kMinKills);
    // The directory holds the file and, at most, the temporaries of killed writes,
    // which the key store removes at the next start.
    KeyStore tidy(tmp.path(), std::make_unique<FileSecretStore>(tmp.path()));
    for (const auto& entry : fs::directory_iterator(tmp.path()))
        EXPECT_EQ(entry.path().filename(), "history.json");
}

TEST(CrashSafetyTest, PeersFileIsWholeAfterEveryKill) {
    testing::TempDir tmp;
    std::mt19937 rng(777);
    const std::string identity(64, 'c');
    auto start = Clock::now();
    int kills = 0;
    uint64_t lastSeen = 0;
    for (; kills < kMaxKills && Clock::now() - start < kTimeBudget; ++kills) {
        LoopingChild child(lastSeen + 1, [&](uint64_t k) {
            static KeyStore store(tmp.path(), std::make_unique<FileSecretStore>(tmp.path()));
            // A second phone keeps the file longer than one record.
            if (k == 1)
                store.putPeer({"00", std::string(64, 'd'), 1, 0, "other"});
            store.putPeer({"01", identity, k, static_cast<uint32_t>(k), "phone " + textFor(k)});
        });
        ASSERT_TRUE(child.awaitSteps(1 + static_cast<int>(rng() % 3))) << "child made no progress";
        randomPause(rng, 3000us);
        child.killNow();

        testing::LogCapture log;
        KeyStore reader(tmp.path(), std::make_unique<FileSecretStore>(tmp.path()));
        auto peers = reader.loadPeers();
        ASSERT_EQ(log.count("peers.json"), 0u) << "torn peers.json after kill " << kills;
        ASSERT_EQ(peers.size(), 2u);
        const auto& record = peers[1];
        ASSERT_EQ(record.identityPubkeyEd25519Hex, identity);
        ASSERT_GE(record.pairedAtMs, child.lastReported());
        ASSERT_LE(record.pairedAtMs, child.lastReported() + 1);
        ASSERT_EQ(record.lastCounterReceived, record.pairedAtMs);
        ASSERT_EQ(record.phoneName, "phone " + textFor(record.pairedAtMs));
        lastSeen = record.pairedAtMs;
    }
    EXPECT_GE(kills, kMinKills);
}

TEST(CrashSafetyTest, FirstStartKilledAnywhereNeverLeavesACorruptIdentity) {
    std::mt19937 rng(99);
    // Pauses span about twice what a whole first start takes here (the quickest
    // of three, so that a slow cold start cannot stretch them past every child).
    auto span = std::chrono::microseconds::max();
    for (int i = 0; i < 3; ++i) {
        auto begin = Clock::now();
        testing::TempDir tmp;
        KeyStore store(tmp.path(), std::make_unique<FileSecretStore>(tmp.path()));
        store.loadOrCreateIdentity();
        span = std::min(
            span, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin));
    }
    auto start = Clock::now();
    int kills = 0;
    int completed = 0;
    for (; kills < kMaxKills && Clock::now() - start < kTimeBudget; ++kills) {
        testing::TempDir tmp;
        const fs::path dir = tmp.path() / "org.sorvane.app";
        LoopingChild child(1, [&](uint64_t k) {
            if (k == 1) {
                KeyStore store(dir, std::make_unique<FileSecretStore>(dir));
                store.loadOrCreateIdentity();
            } else {
                ::pause();
            }
        });
        randomPause(rng, 2 * span + 500us);
        child.killNow();
        completed += child.lastReported() >= 1;

        auto deviceID = fs::exists(dir) ? store::readFile(dir / "device_id", {.maxBytes = 1 << 20}) : std::nullopt;
        if (deviceID) {
            ASSERT_EQ(deviceID->size(), 16u) << "short device_id after kill " << kills;
        }
        if (fs::exists(dir)) {
            auto key = FileSecretStore(dir).copy(KeyStore::kIdentityItem, false);
            ASSERT_NE(key.outcome, SecretLookup::Outcome::refused) << key.detail;
            if (key.outcome == SecretLookup::Outcome::found) {
                ASSERT_EQ(key.data.size(), 32u);
            }
        }
        // The next start always succeeds, and keeps whatever id was written.
        KeyStore next(dir, std::make_unique<FileSecretStore>(dir));
        Identity identity = next.loadOrCreateIdentity();
        if (deviceID) {
            ASSERT_EQ(std::string(identity.deviceID.begin(), identity.deviceID.end()), *deviceID);
        }
    }
    EXPECT_GE(kills, kMinKills);
    EXPECT_LT(completed, kills) << "the pauses never caught a first start midway";
}

} // namespace
} // namespace sorvane

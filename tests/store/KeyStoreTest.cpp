// The key store on a real file system, with the file-backed secret store that a
// machine without a keyring uses, and an in-memory secret store where a keyring's
// refusal is needed (the keyring itself is covered by SecretServiceTest).

#include "store/KeyStore.h"
#include "adapters/linux/secret/FileSecretStore.h"
#include "adapters/linux/system/XdgUserDirectories.h"
#include "base/Hex.h"
#include "store/AtomicFile.h"
#include "store/History.h"
#include "support/ErrorOf.h"
#include "testing/test-env/TempDir.h"
#include "testing/test-env/LogCapture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <fstream>
#include <map>

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string readAll(const fs::path& path) {
    return store::readFile(path, {.maxBytes = 4 << 20}).value_or("");
}

void writeAll(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

unsigned modeOf(const fs::path& path) {
    return static_cast<unsigned>(fs::status(path).permissions());
}

std::unique_ptr<KeyStore> openStore(const fs::path& dir) {
    return std::make_unique<KeyStore>(dir, std::make_unique<FileSecretStore>(dir));
}

// A keyring in memory that can be told to refuse lookups; it records the calls.
struct MemorySecrets {
    std::map<std::string, Bytes> items; // by "service/account"
    bool refuseLookups = false;
    std::vector<std::string> calls; // "copy prompt", "copy quiet", "remove", "add"
};

class MemorySecretStore final : public SecretStore {
public:
    explicit MemorySecretStore(std::shared_ptr<MemorySecrets> state) : m_state(std::move(state)) {}

    SecretLookup copy(const SecretItemId& id, bool mayPrompt) override {
        m_state->calls.push_back(mayPrompt ? "copy prompt" : "copy quiet");
        if (m_state->refuseLookups)
            return {SecretLookup::Outcome::refused, {}, "the keyring is locked"};
        auto it = m_state->items.find(key(id));
        return it == m_state->items.end()
                   ? SecretLookup{}
                   : SecretLookup{SecretLookup::Outcome::found, it->second, {}};
    }
    void remove(const SecretItemId& id) override {
        m_state->calls.push_back("remove");
        m_state->items.erase(key(id));
    }
    int32_t add(const SecretItemId& id, ByteView data) override {
        m_state->calls.push_back("add");
        m_state->items[key(id)] = Bytes(data.begin(), data.end());
        return 0;
    }

private:
    static std::string key(const SecretItemId& id) { return id.service + "/" + id.account; }
    std::shared_ptr<MemorySecrets> m_state;
};

fs::path keyFileIn(const fs::path& dir) {
    return FileSecretStore(dir).pathFor(KeyStore::kIdentityItem);
}

PeerRecord phone(std::string identityHex, std::optional<std::string> name = std::nullopt) {
    return PeerRecord{"00112233445566778899aabbccddeeff", std::move(identityHex), 1700000000123ull,
                      0, std::move(name)};
}

const std::string kKeyA(64, 'a');
const std::string kKeyB(64, 'b');

// ---- Directory, identity and permissions

XdgUserDirectories dirsWith(std::map<std::string, std::string> env) {
    return XdgUserDirectories([env](const char* name) -> std::optional<std::string> {
        auto it = env.find(name);
        return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
    });
}

TEST(KeyStoreTest, FirstStartCreatesPrivateDirectoriesAndFilesThatTheNextStartReads) {
    TempDir tmp;
    auto dataHome = tmp.path() / "home" / ".local" / "share"; // none of it exists yet
    fs::path dir = KeyStore::defaultDirectory(dirsWith({{"HOME", (tmp.path() / "home").string()}}));
    ASSERT_EQ(dir, dataHome / "org.sorvane.app");

    auto store = openStore(dir);
    Identity first = store->loadOrCreateIdentity();
    store->putPeer(phone(kKeyA));
    History history(dir / "history.json");
    history.record("secret text", "0badc0de", Direction::sent);
    history.flush();

    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(modeOf(tmp.path() / "home" / ".local"), 0700u);
    EXPECT_EQ(modeOf(dataHome), 0700u);
    for (const auto& file :
         {store->deviceIDPath(), store->peersPath(), keyFileIn(dir), dir / "history.json"})
        EXPECT_EQ(modeOf(file), 0600u) << file;

    EXPECT_EQ(readAll(store->deviceIDPath()), std::string(first.deviceID.begin(), first.deviceID.end()));

    Identity second = openStore(dir)->loadOrCreateIdentity();
    EXPECT_EQ(second.deviceID, first.deviceID);
    EXPECT_EQ(second.signingKey.raw(), first.signingKey.raw());
}

TEST(KeyStoreTest, XdgDataHomeWinsWhenAbsoluteAndIsIgnoredOtherwise) {
    for (auto [dataHome, expected] : {std::pair{"/x/data", "/x/data/org.sorvane.app"},
                                      {"", "/h/.local/share/org.sorvane.app"},
                                      {"rel/data", "/h/.local/share/org.sorvane.app"}})
        EXPECT_EQ(
            KeyStore::defaultDirectory(dirsWith({{"XDG_DATA_HOME", dataHome}, {"HOME", "/h"}})),
            fs::path(expected));
}

TEST(KeyStoreTest, DirectoryThatCannotBeCreatedIsThrown) {
    TempDir tmp;
    writeAll(tmp.path() / "file", "x");
    EXPECT_THROW(openStore(tmp.path() / "file" / "org.sorvane.app"), std::system_error);
}

// Longer files give their first 16 bytes; shorter ones are corrupt. Either way
// the file is left as it is.
TEST(KeyStoreTest, DeviceIdFileOfAnotherLengthIsLeftAlone) {
    for (std::string content : {std::string("0123456789abcdefWXYZ"), std::string(15, 'x'), std::string()}) {
        TempDir tmp;
        writeAll(tmp.path() / "device_id", content);
        auto store = openStore(tmp.path());
        if (content.size() > 16) {
            Identity identity = store->loadOrCreateIdentity();
            EXPECT_EQ(std::string(identity.deviceID.begin(), identity.deviceID.end()), content.substr(0, 16));
        } else {
            const auto e = testing::caught<KeyStoreError>([&] { store->loadOrCreateIdentity(); });
            ASSERT_TRUE(e) << "no error for a " << content.size() << "-byte device_id";
            EXPECT_EQ(e->which(), KeyStoreError::Case::corruptDeviceID);
            EXPECT_STREQ(e->what(), "device_id file is corrupt");
            EXPECT_FALSE(fs::exists(keyFileIn(tmp.path()))) << "key made before the id was checked";
        }
        EXPECT_EQ(readAll(tmp.path() / "device_id"), content);
    }
}

TEST(KeyStoreTest, StoredKeyIsKeptOnlyWhenItIs32Bytes) {
    for (size_t size : {0u, 31u, 32u, 33u}) {
        TempDir tmp;
        Bytes stored(size, 0x42);
        ASSERT_EQ(FileSecretStore(tmp.path()).add(KeyStore::kIdentityItem, stored), 0);
        Identity identity = openStore(tmp.path())->loadOrCreateIdentity();
        auto nowStored = FileSecretStore(tmp.path()).copy(KeyStore::kIdentityItem, false);
        ASSERT_EQ(nowStored.outcome, SecretLookup::Outcome::found);
        EXPECT_EQ(Hex::encode(nowStored.data), Hex::encode(identity.signingKey.raw()));
        // Kept as it is when 32 bytes; otherwise a fresh key replaced it.
        EXPECT_EQ(Hex::encode(identity.signingKey.raw()) == Hex::encode(Bytes(32, 0x42)),
                  size == 32)
            << size;
    }
}

// Something else where the key file goes. A FIFO holds no key of ours: it is
// replaced (without hanging on it), and said so. A directory makes the rename
// over it fail with EISDIR: a keyring write error with that status.
TEST(KeyStoreTest, FifoOrDirectoryAtTheKeyFile) {
    TempDir fifoDir, dirDir;
    ASSERT_EQ(::mkfifo(keyFileIn(fifoDir.path()).c_str(), 0600), 0);
    testing::LogCapture log;
    Identity identity = openStore(fifoDir.path())->loadOrCreateIdentity();
    EXPECT_EQ(log.count("not a key file"), 1u);
    EXPECT_EQ(readAll(keyFileIn(fifoDir.path())), asText(identity.signingKey.raw()));

    fs::create_directories(keyFileIn(dirDir.path()) / "occupied");
    const auto e = testing::caught<KeyStoreError>([&] { openStore(dirDir.path())->loadOrCreateIdentity(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->which(), KeyStoreError::Case::keyringWrite);
    EXPECT_EQ(e->status(), EISDIR);
    EXPECT_EQ(std::string(e->what()), "keyring write failed: " + std::to_string(EISDIR));
    EXPECT_TRUE(fs::exists(keyFileIn(dirDir.path()) / "occupied"));
}

// The phone holds the public key of the key the keyring would not hand over: a
// fresh key would end the pairing without a word.
TEST(KeyStoreTest, KeyringRefusalGeneratesNoKeyAndNothingIsWritten) {
    TempDir tmp;
    auto secrets = std::make_shared<MemorySecrets>();
    const Bytes stored(32, 0x42);
    secrets->items["org.sorvane.identity/ed25519"] = stored;
    secrets->refuseLookups = true;
    KeyStore store(tmp.path(), std::make_unique<MemorySecretStore>(secrets));

    const auto e = testing::caught<KeyStoreError>([&] { store.loadOrCreateIdentity(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->which(), KeyStoreError::Case::keyringRefused);
    EXPECT_STREQ(e->what(), "the keyring refused the signing key: the keyring is locked");

    // A retry does not prompt, and is refused the same way.
    SigningKeyResult retry = store.signingKeys()->resolve(false);
    EXPECT_FALSE(retry.key.has_value());
    EXPECT_EQ(retry.refusal, "the keyring is locked");

    EXPECT_EQ(secrets->calls, (std::vector<std::string>{"copy prompt", "copy quiet"}));
    EXPECT_EQ(secrets->items, (std::map<std::string, Bytes>{{"org.sorvane.identity/ed25519", stored}}));
    EXPECT_FALSE(fs::exists(keyFileIn(tmp.path())));

    // Once the keyring answers, the same key comes back.
    secrets->refuseLookups = false;
    SigningKeyResult later = store.signingKeys()->resolve(false);
    ASSERT_TRUE(later.key.has_value());
    EXPECT_TRUE(later.refusal.empty());
    EXPECT_EQ(Hex::encode(later.key->raw()), Hex::encode(stored));
}

// ---- Peers

// The paired phone is the first record, and stays first whatever is stored.
TEST(KeyStoreTest, PutPeerReplacesTheSameIdentityInPlaceAndAppendsAnother) {
    TempDir tmp;
    auto store = openStore(tmp.path());
    writeAll(store->peersPath(),
             R"([{"device_id_hex":"00","identity_pubkey_ed25519_hex":")" + kKeyA +
                 R"(","paired_at_ms":1,"last_counter_received":0,"phone_name":"Pixel"},)"
                 R"({"device_id_hex":"01","identity_pubkey_ed25519_hex":")" + kKeyB +
                 R"(","paired_at_ms":2,"last_counter_received":0}])");
    ASSERT_EQ(store->loadPeers().front().phoneName, "Pixel");
    PeerRecord renamed = phone(kKeyA, "Pixel 8");
    renamed.deviceIDHex = "ffeeddccbbaa99887766554433221100"; // device id is not the key
    renamed.lastCounterReceived = 7;
    store->putPeer(renamed);
    auto peers = store->loadPeers();
    ASSERT_EQ(peers.size(), 2u);
    EXPECT_EQ(peers[0], renamed);
    EXPECT_EQ(peers[1].identityPubkeyEd25519Hex, kKeyB);

    const std::string kKeyC(64, 'c');
    store->putPeer(phone(kKeyC));
    peers = store->loadPeers();
    ASSERT_EQ(peers.size(), 3u);
    EXPECT_EQ(peers[0], renamed);
    EXPECT_EQ(peers[2], phone(kKeyC));
}

TEST(KeyStoreTest, PeersFileIsCompactJsonWithTheRecordKeysAndReadsTolerantly) {
    TempDir tmp;
    auto store = openStore(tmp.path());
    const std::vector<PeerRecord> saved{phone(kKeyA), phone(kKeyB, "Galaxy")};
    store->savePeers(saved);
    std::string text = readAll(store->peersPath());
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    auto doc = nlohmann::json::parse(text);
    ASSERT_TRUE(doc.is_array());
    ASSERT_EQ(doc.size(), 2u);
    EXPECT_EQ(doc[0], (nlohmann::json{{"device_id_hex", "00112233445566778899aabbccddeeff"},
                                      {"identity_pubkey_ed25519_hex", kKeyA},
                                      {"paired_at_ms", 1700000000123ull},
                                      {"last_counter_received", 0}}));
    EXPECT_EQ(doc[1]["phone_name"], "Galaxy");
    EXPECT_EQ(store->loadPeers(), saved);

    // Extreme values, a null name and unknown keys are read.
    writeAll(
        store->peersPath(),
        R"([{"device_id_hex":"aa","identity_pubkey_ed25519_hex":"bb","paired_at_ms":18446744073709551615,)"
        R"("last_counter_received":4294967295,"phone_name":null,"extra":[1,2]}])");
    const PeerRecord extreme{"aa", "bb", 18446744073709551615ull, 4294967295u, std::nullopt};
    EXPECT_EQ(store->loadPeers(), std::vector<PeerRecord>{extreme});
}

struct Damage {
    std::string bytes;
    const char* why = ""; // in the log line
};
void PrintTo(const Damage& damage, std::ostream* out) {
    *out << damage.bytes.substr(0, 120);
}

class MalformedPeersTest : public ::testing::TestWithParam<Damage> {};

// Reads as no peer with one log line that says why. The first write keeps the
// file as it was, private, beside the new one and says where.
TEST_P(MalformedPeersTest, ReadsAsNoPeerAndIsKeptAsideByTheFirstWrite) {
    TempDir tmp;
    auto store = openStore(tmp.path());
    writeAll(store->peersPath(), GetParam().bytes);
    testing::LogCapture log;
    EXPECT_TRUE(store->loadPeers().empty());
    EXPECT_EQ(log.count("peers.json"), 1u);
    EXPECT_TRUE(log.contains(GetParam().why));

    store->putPeer(phone(kKeyA));
    const fs::path aside = tmp.path() / "peers.json.unreadable";
    EXPECT_EQ(readAll(aside), GetParam().bytes);
    EXPECT_EQ(modeOf(aside), 0600u);
    EXPECT_TRUE(log.contains(aside.string())) << "the log says where the old file went";
    EXPECT_EQ(store->loadPeers(), std::vector<PeerRecord>{phone(kKeyA)});
}

// A peer record broken in one way at a time, files that are no list of records,
// and one too large to read.
std::vector<Damage> damages() {
    const std::string valid =
        R"({"device_id_hex":"aa","identity_pubkey_ed25519_hex":"bb","paired_at_ms":1,"last_counter_received":2})";
    std::vector<Damage> out;
    auto broken = [&](const std::function<void(nlohmann::json&)>& apply) {
        auto record = nlohmann::json::parse(valid);
        apply(record);
        out.push_back({nlohmann::json::array({record}).dump()});
    };
    for (const char* key :
         {"device_id_hex", "identity_pubkey_ed25519_hex", "paired_at_ms", "last_counter_received"})
        broken([key](auto& r) { r.erase(key); });
    broken([](auto& r) { r["device_id_hex"] = 7; });
    broken([](auto& r) { r["paired_at_ms"] = "1"; });
    broken([](auto& r) { r["paired_at_ms"] = -1; });
    broken([](auto& r) { r["paired_at_ms"] = 1.5; });
    broken([](auto& r) { r["last_counter_received"] = 4294967296ull; });
    broken([](auto& r) { r["phone_name"] = 5; });
    for (const std::string& bytes :
         {std::string("{}"), std::string("not json"), std::string(), std::string("[5]"),
          std::string("[{}]"), "[" + valid + ",5]", "[" + valid + ",{}]", "[" + valid,
          "[" + valid.substr(0, 40), "[" + valid.substr(0, 18) + "\xff" + valid.substr(18) + "]"})
        out.push_back({bytes});
    // Valid JSON, but no file of ours comes near a mebibyte.
    out.push_back({"[" + std::string(size_t{1} << 20, ' ') + "]", "larger than"});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Shapes, MalformedPeersTest, ::testing::ValuesIn(damages()));

// A missing or empty file is no peer, quietly; removing all peers deletes the
// file, and succeeds without one; a peer that cannot be encoded leaves the file.
TEST(KeyStoreTest, PeersFileWithoutPeersAndPeersThatCannotBeStored) {
    TempDir tmp;
    auto store = openStore(tmp.path());
    testing::LogCapture log;
    EXPECT_TRUE(store->loadPeers().empty());
    EXPECT_NO_THROW(store->removeAllPeers());
    writeAll(store->peersPath(), "[]");
    EXPECT_TRUE(store->loadPeers().empty());
    EXPECT_TRUE(log.lines().empty());

    store->putPeer(phone(kKeyA, "Pixel"));
    std::string before = readAll(store->peersPath());
    EXPECT_THROW(store->putPeer(phone(kKeyA, std::string("bad \xff name"))), std::exception);
    EXPECT_EQ(readAll(store->peersPath()), before);

    store->removeAllPeers();
    EXPECT_FALSE(fs::exists(store->peersPath()));
    EXPECT_TRUE(store->loadPeers().empty());
}

} // namespace
} // namespace sorvane

// The signing key in a real keyring: a private session bus with a real
// gnome-keyring-daemon (running, activatable on demand, or absent), or a bus that
// never answers. Each "run of the program" is a forked child that builds the key
// store as start-up does and reports what it got, so a restart is a new process,
// as it is for the user. The test process itself never touches GLib.

#include "adapters/linux/secret/FileSecretStore.h"
#include "adapters/linux/secret/LibsecretStore.h"
#include "adapters/linux/secret/LinuxSecretStore.h"
#include "base/Hex.h"
#include "store/KeyStore.h"
#include "testing/child-process/ChildProcess.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/keyring-daemon/KeyringDaemon.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::applyEnv;
using testing::ChildOutcome;
using testing::ChildProcess;
using testing::EnvChanges;
using testing::gdbus;
using testing::KeyringDaemon;
using testing::TempDir;

constexpr const char* kNoServiceLog = "no keyring answered";

// What one start of the program got, from the lines its child wrote.
struct RunReport {
    RunReport() = default;
    explicit RunReport(const ChildOutcome& outcome) : raw(outcome.output) {
        const std::map<std::string, std::string*> fields{
            {"device", &deviceID}, {"pub", &publicKey}, {"error", &error}, {"refused", &refusal}};
        std::istringstream lines(outcome.output);
        for (std::string line; std::getline(lines, line);) {
            const auto eq = line.find('=');
            const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
            if (key == "log")
                log.push_back(value);
            else if (key == "files")
                usingFiles = value == "1";
            else if (fields.count(key))
                *fields.at(key) = value;
        }
    }
    size_t logCount(std::string_view needle) const {
        return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& l) {
            return l.find(needle) != std::string::npos;
        }));
    }

    std::string raw; // the child's whole output, for failure messages
    std::string deviceID;
    std::string publicKey;
    std::string error;   // an exception
    std::string refusal; // the keyring refused and no file held the key
    bool usingFiles = false;
    std::vector<std::string> log;
};

// One start of the program: key store on `dataDir` with the desktop's secret
// store, the device id, then the signing key, with the unlock prompt allowed.
RunReport startProgram(const fs::path& dataDir, const EnvChanges& env) {
    auto outcome = testing::runForked([&](int fd) {
        applyEnv(env);
        testing::LogCapture capture;
        auto secrets = std::make_unique<LinuxSecretStore>(dataDir);
        LinuxSecretStore* secretsView = secrets.get();
        KeyStore store(dataDir, std::move(secrets));
        std::string out;
        try {
            out += "device=" + Hex::encode(store.loadOrCreateDeviceID()) + "\n";
            SigningKeyResult signing = store.signingKeys()->resolve(true);
            if (signing.key)
                out += "pub=" + Hex::encode(signing.key->publicKey().raw()) + "\n";
            else
                out += "refused=" + signing.refusal + "\n";
        } catch (const std::exception& e) {
            out += std::string("error=") + e.what() + "\n";
        }
        out += std::string("files=") + (secretsView->usingFiles() ? "1" : "0") + "\n";
        for (const auto& l : capture.lines())
            out += "log=" + l + "\n";
        testing::writeAll(fd, out);
        return 0;
    });
    EXPECT_EQ(outcome.status, 0) << "child ended badly (nullopt: timed out): " << outcome.output;
    return RunReport(outcome);
}

// What the keyring itself holds for the identity item: "<outcome> <hex>".
std::string keyringItem(const EnvChanges& env) {
    auto outcome = testing::runForked([&](int fd) {
        applyEnv(env);
        testing::LogCapture quiet;
        LibsecretStore keyring;
        auto found = keyring.lookup(KeyStore::kIdentityItem, false);
        testing::writeAll(fd, std::to_string(static_cast<int>(found.outcome)) + " " +
                                  Hex::encode(found.data));
        return 0;
    });
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    return outcome.output;
}

// The public key of what the keyring holds, which must be 32 raw key bytes.
std::string publicKeyInKeyring(const EnvChanges& env) {
    const std::string item = keyringItem(env);
    const auto space = item.find(' ');
    EXPECT_EQ(item.substr(0, space), std::to_string(static_cast<int>(LibsecretStore::Outcome::done)))
        << item;
    if (space == std::string::npos)
        return "";
    return Hex::encode(crypto::Ed25519PrivateKey::fromRaw(Hex::decode(item.substr(space + 1))).publicKey().raw());
}

EnvChanges sessionOn(const std::string& busAddress) {
    return {{"DBUS_SESSION_BUS_ADDRESS", busAddress}, {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
}

class SecretServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"dbus-daemon", "gnome-keyring-daemon", "gdbus"})
            if (!testing::findProgram(tool))
                GTEST_SKIP() << tool << " is not installed; the Secret Service tests need "
                             << "dbus-daemon, gnome-keyring-daemon and gdbus (packages dbus, "
                             << "gnome-keyring, libglib2.0-bin)";
        m_bus = std::make_unique<testing::DbusDaemon>(m_dir.path() / "bus");
        ASSERT_FALSE(m_bus->address().empty())
            << "dbus-daemon did not start; see " << (m_dir.path() / "bus" / "dbus-daemon.log");
        m_env = sessionOn(m_bus->address());
    }

    void startKeyring() {
        m_keyring.reset();
        m_keyring = std::make_unique<KeyringDaemon>(m_bus->address(), m_dir.path() / "home");
        ASSERT_TRUE(m_keyring->running())
            << "gnome-keyring-daemon did not take org.freedesktop.secrets; see "
            << (m_dir.path() / "home" / "gnome-keyring.log");
    }

    // A bus that starts gnome-keyring-daemon when the Secret Service is first
    // called, as a session without a PAM-unlocked login keyring does: with an
    // empty HOME, so there is no login keyring and no default collection.
    void startActivatableKeyring() {
        const auto home = m_dir.path() / "activated-home";
        const auto services = m_dir.path() / "services";
        for (const auto& dir :
             {home / "data", home / "config", home / "cache", home / "runtime", services})
            fs::create_directories(dir);
        ::chmod((home / "runtime").c_str(), 0700);
        const auto daemon = testing::findProgram("gnome-keyring-daemon");
        ASSERT_TRUE(daemon);
        std::ofstream(services / "org.freedesktop.secrets.service")
            << "[D-BUS Service]\nName=org.freedesktop.secrets\nExec=/bin/sh -c 'echo $$ > "
            << activatedPidFile().string() << " && exec env HOME=" << home.string()
            << " XDG_DATA_HOME=" << (home / "data").string()
            << " XDG_CONFIG_HOME=" << (home / "config").string()
            << " XDG_CACHE_HOME=" << (home / "cache").string()
            << " XDG_RUNTIME_DIR=" << (home / "runtime").string() << " " << *daemon
            << " --start --foreground --components=secrets'\n";
        m_bus = std::make_unique<testing::DbusDaemon>(m_dir.path() / "activating-bus", services);
        ASSERT_TRUE(m_bus->running());
        m_env["DBUS_SESSION_BUS_ADDRESS"] = m_bus->address();
    }
    fs::path activatedPidFile() const { return m_dir.path() / "activated-keyring.pid"; }

    void TearDown() override {
        // The daemon the bus started is ours to end.
        std::ifstream pidFile(activatedPidFile());
        pid_t pid = 0;
        if (pidFile >> pid && pid > 0)
            ::kill(pid, SIGTERM);
    }

    fs::path dataDir() const { return m_dir.path() / "data" / "org.sorvane.app"; }
    fs::path keyFile() const { return dataDir() / "org.sorvane.identity-ed25519.key"; }
    void expectPrivateKeyFile() const {
        struct stat st {};
        ASSERT_EQ(::stat(keyFile().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_size, 32);
    }

    TempDir m_dir;
    std::unique_ptr<testing::DbusDaemon> m_bus;
    std::unique_ptr<KeyringDaemon> m_keyring;
    EnvChanges m_env;
};

TEST_F(SecretServiceTest, KeyringKeepsTheIdentityAcrossRestartsAndReplacesAnItemOfWrongLength) {
    startKeyring();
    RunReport first = startProgram(dataDir(), m_env);
    ASSERT_TRUE(first.error.empty()) << first.raw;
    ASSERT_EQ(first.publicKey.size(), 64u) << first.raw;
    EXPECT_FALSE(first.usingFiles);
    EXPECT_EQ(first.logCount(kNoServiceLog), 0u) << first.raw;
    EXPECT_FALSE(fs::exists(keyFile()));

    RunReport second = startProgram(dataDir(), m_env);
    ASSERT_TRUE(second.error.empty()) << second.raw;
    EXPECT_EQ(second.deviceID, first.deviceID);
    EXPECT_EQ(second.publicKey, first.publicKey);
    EXPECT_EQ(publicKeyInKeyring(m_env), first.publicKey);

    // An item of 31 bytes, zero and high ones among them: the item must hold raw
    // bytes, not text. The next start replaces it without an error.
    Bytes shortKey(31, 0x5a);
    shortKey[0] = 0x00;
    shortKey[5] = 0x00;
    shortKey[30] = 0xff;
    auto planted = testing::runForked([&](int) {
        applyEnv(m_env);
        testing::LogCapture quiet;
        return LibsecretStore().store(KeyStore::kIdentityItem, shortKey).outcome ==
                       LibsecretStore::Outcome::done
                   ? 0
                   : 1;
    });
    ASSERT_EQ(planted.status, 0) << planted.output;
    ASSERT_EQ(keyringItem(m_env), std::to_string(static_cast<int>(LibsecretStore::Outcome::done)) +
                                      " " + Hex::encode(shortKey));
    RunReport replaced = startProgram(dataDir(), m_env);
    ASSERT_TRUE(replaced.error.empty()) << replaced.raw;
    EXPECT_NE(replaced.publicKey, first.publicKey);
    EXPECT_EQ(publicKeyInKeyring(m_env), replaced.publicKey);
}

// The phone holds the public key of the locked item: a refused lookup must not
// end in a fresh key, in the keyring or in a file.
TEST_F(SecretServiceTest, LockedKeyringIsARefusalThatGeneratesNoKey) {
    startKeyring();
    RunReport first = startProgram(dataDir(), m_env);
    ASSERT_FALSE(first.publicKey.empty()) << first.raw;
    const std::string item = keyringItem(m_env);

    ASSERT_TRUE(
        gdbus(m_bus->address(), {"call", "--session", "--dest", "org.freedesktop.secrets",
                                 "--object-path", "/org/freedesktop/secrets", "--method",
                                 "org.freedesktop.Secret.Service.Lock",
                                 "['/org/freedesktop/secrets/collection/login']"}));

    // No prompter on this bus, so the unlock cannot be shown and is refused.
    RunReport locked = startProgram(dataDir(), m_env);
    EXPECT_TRUE(locked.error.empty()) << locked.raw;
    EXPECT_TRUE(locked.publicKey.empty()) << locked.raw;
    EXPECT_NE(locked.refusal.find("locked"), std::string::npos) << locked.raw;
    EXPECT_FALSE(locked.usingFiles);
    EXPECT_FALSE(fs::exists(keyFile()));

    // A key file written while no keyring could store it stands in for the
    // locked item, with a line that says so.
    const auto fileKey = crypto::Ed25519PrivateKey::generate();
    ASSERT_EQ(FileSecretStore(dataDir()).add(KeyStore::kIdentityItem, fileKey.raw()), 0);
    RunReport fromFile = startProgram(dataDir(), m_env);
    EXPECT_EQ(fromFile.publicKey, Hex::encode(fileKey.publicKey().raw())) << fromFile.raw;
    EXPECT_EQ(fromFile.logCount("the keyring refused the signing key"), 1u) << fromFile.raw;
    fs::remove(keyFile());

    // Unlocked again (a daemon started with the password), the old item is there
    // as it was.
    m_keyring->stop();
    startKeyring();
    EXPECT_EQ(keyringItem(m_env), item);
    RunReport after = startProgram(dataDir(), m_env);
    EXPECT_EQ(after.publicKey, first.publicKey) << after.raw;
}

// No bus at all, or a bus with nobody serving the Secret Service on it: the key
// lives in a private file. When a keyring appears, the key moves into it.
TEST_F(SecretServiceTest, WithoutSecretServiceTheKeyLivesInAPrivateFileUntilAKeyringAppears) {
    RunReport headless;
    for (const EnvChanges& env :
         {sessionOn("unix:path=" + (m_dir.path() / "no-such-bus").string()), m_env}) {
        SCOPED_TRACE(env.at("DBUS_SESSION_BUS_ADDRESS").value_or(""));
        fs::remove_all(dataDir());
        headless = startProgram(dataDir(), env);
        ASSERT_TRUE(headless.error.empty()) << headless.raw;
        EXPECT_TRUE(headless.usingFiles);
        EXPECT_EQ(headless.logCount(kNoServiceLog), 1u) << headless.raw;
        expectPrivateKeyFile();

        RunReport second = startProgram(dataDir(), env);
        EXPECT_EQ(second.publicKey, headless.publicKey);
        EXPECT_EQ(second.deviceID, headless.deviceID);
        EXPECT_EQ(second.logCount(kNoServiceLog), 1u) << second.raw;
    }

    startKeyring();
    RunReport desktop = startProgram(dataDir(), m_env);
    ASSERT_TRUE(desktop.error.empty()) << desktop.raw;
    EXPECT_FALSE(desktop.usingFiles);
    EXPECT_EQ(desktop.publicKey, headless.publicKey);
    EXPECT_EQ(desktop.logCount("moved the signing key"), 1u) << desktop.raw;
    EXPECT_FALSE(fs::exists(keyFile()));

    // From now on the keyring alone holds it.
    RunReport later = startProgram(dataDir(), m_env);
    EXPECT_EQ(later.publicKey, headless.publicKey);
    EXPECT_EQ(later.logCount("moved"), 0u) << later.raw;
}

// Sorvane must start where the keyring answers but has nowhere to store: the key
// goes to the file, once, with a line that says why.
TEST_F(SecretServiceTest, KeyringWithoutDefaultCollectionLeavesTheKeyInAPrivateFile) {
    startActivatableKeyring();
    RunReport first = startProgram(dataDir(), m_env);
    ASSERT_FALSE(first.publicKey.empty()) << first.raw;
    EXPECT_TRUE(first.error.empty()) << first.raw;
    EXPECT_TRUE(fs::exists(activatedPidFile())) << "the keyring was not started on demand";
    EXPECT_FALSE(first.usingFiles) << "the keyring answered; it is not absent";
    ASSERT_EQ(first.logCount("the keyring cannot store the signing key ("), 1u) << first.raw;
    EXPECT_EQ(first.logCount(keyFile().string()), 1u) << first.raw;
    expectPrivateKeyFile();

    // The next start reads the same key back; the keyring still cannot take it,
    // and the file stays.
    RunReport second = startProgram(dataDir(), m_env);
    EXPECT_EQ(second.publicKey, first.publicKey) << second.raw;
    EXPECT_EQ(second.deviceID, first.deviceID);
    EXPECT_EQ(second.logCount("the signing key stays in"), 1u) << second.raw;
    EXPECT_TRUE(fs::exists(keyFile()));
}

// A session bus that takes the connection and never says a word (a hung
// dbus-daemon): the start is refused within the call timeout, not after GLib's
// 25 s or never, and no key is made. The exact figure is in keyring_bench.
TEST_F(SecretServiceTest, SilentSessionBusIsARefusalWithinTheCallTimeout) {
    const auto socketPath = m_dir.path() / "silent-bus";
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.string().size(), sizeof(address.sun_path));
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 8), 0); // connections queue; none is ever accepted

    const auto started = std::chrono::steady_clock::now();
    RunReport run = startProgram(dataDir(), sessionOn("unix:path=" + socketPath.string()));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    ::close(listener);

    EXPECT_TRUE(run.publicKey.empty()) << run.raw;
    EXPECT_NE(run.refusal.find("did not answer"), std::string::npos) << run.raw;
    EXPECT_FALSE(run.usingFiles);
    EXPECT_FALSE(fs::exists(keyFile()));
    // The bound is 5 s; the rest is slack for a loaded machine.
    EXPECT_LT(elapsed, 12s);
}

} // namespace
} // namespace sorvane

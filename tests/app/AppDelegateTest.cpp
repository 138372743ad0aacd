// The application delegate end to end: start-up, pairing, both sync paths over
// GATT and L2CAP, the switches, control opcodes, power events and shutdown,
// driven by the phone counterpart through the simulated radio.

#include "AppHarness.h"

#include "base/Hex.h"
#include "protocol/ChunkFraming.h"
#include "protocol/MessageCodec.h"
#include "protocol/Uuids.h"
#include "store/AtomicFile.h"
#include "store/KeyStore.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <functional>
#include <numeric>
#include <thread>
#include <nlohmann/json.hpp>

namespace sorvane {
namespace {

using namespace std::chrono_literals;
using phone::Route;
using testing::AppHarness;

std::optional<std::string> clipboardTextOf(const std::optional<phone::InboundMessage>& m) {
    if (!m)
        return std::nullopt;
    if (auto* t = std::get_if<SorvaneMessage::ClipboardText>(&m->message.value))
        return t->text;
    return std::nullopt;
}

// A text whose sealed frame takes `chunks` GATT chunks.
std::string textOfChunks(size_t chunks, char fill) {
    return std::string(chunks * 200 - 64, fill);
}

std::string keyOf(const AppHarness::Phone& p) { return Hex::encode(p.phone->identity().publicKey().raw()); }

class AppDelegateTest : public testing::AppTest {
protected:
    std::optional<std::string> peersFile() { return h.readData("peers.json"); }
    // The phone sends a text; true once the history holds `n` entries.
    bool receive(AppHarness::Phone& p, const std::string& text, Route route, size_t n) {
        return p.phone->sendClipboardText(text, route) && h.pumpUntil([&] { return entries() == n; });
    }
    // The phone sends its name; true once the desktop shows it.
    bool named(AppHarness::Phone& p, const std::string& name, Route route = Route::gatt) {
        return p.phone->sendPhoneName(name, route) && h.pumpUntil([&] { return s().phoneName == name; });
    }
    // A manual send of a 100-chunk text, which takes 1.5 s to pace out, then
    // `act`: the text arrives whole, then the control byte `control`.
    void controlFollowsAPacedFrame(const std::function<void()>& act, const std::string& control) {
        auto& p = startAndPair();
        const std::string text = textOfChunks(100, 'p');
        h.app->handleOutboundClipboard(text, sha256ShortHex(text), true);
        act();
        ASSERT_TRUE(h.pumpUntil([&] { return p.phone->arrivals().size() == 2; }, 8s));
        EXPECT_EQ(p.phone->arrivals(), (std::vector<std::string>{"message 0", control}));
        EXPECT_TRUE(clipboardTextOf(p.phone->nextMessage(0ms)) == text);
    }
};

// ------------------------------------------------------------ start-up

// A known identity: device id 00 0F A0 FF 01 02 ... 0C and the signing key whose
// seed is the bytes 00..1F, at 2023-11-14 22:14:00 UTC.
TEST_F(AppDelegateTest, StartUpRunsItsStepsInOrderWithKnownNameAndCode) {
    const Bytes deviceID{0x00, 0x0F, 0xA0, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    h.writeData("device_id", std::string(deviceID.begin(), deviceID.end()));
    Bytes seed(32);
    std::iota(seed.begin(), seed.end(), uint8_t{0});
    ASSERT_EQ(FileSecretStore(h.dataDir()).add(KeyStore::kIdentityItem, seed), 0);
    h.wallClock = [] { return std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'040)); };
    h.defaults.set("auto_paste", "no"); // not a Bool: reads as the default
    h.defaults.set("auto_update_check", false);
    h.start();
    ASSERT_NE(h.app->appState(), nullptr);

    // The steps as the stand-ins and the log saw them, in the order they ran.
    std::vector<std::string> steps;
    for (const auto& line : h.log.lines())
        if (line.starts_with("step: ") || line.starts_with("Sorvane starting") ||
            line == "Sorvane BLE: peripheral initialized" || line.starts_with("Sorvane: "))
            steps.push_back(line);
    EXPECT_EQ(steps, (std::vector<std::string>{
                         "Sorvane starting\u2026", "step: application icon", "step: move offer",
                         "step: launch at login", "step: secret store",
                         "Sorvane BLE: peripheral initialized", "step: watcher created",
                         "step: watcher started", "step: status item", "step: hot key",
                         "Sorvane: hotkey registered (Shift+Super+V)",
                         "step: sleep and wake",
                         "Sorvane: ready (device 000fa0ff0102030405060708090a0b0c)",
                         "Sorvane: pairing code = 445601", "step: updater"}));

    EXPECT_EQ(h.radio.advertising()->localName, "Sorvane-000fa0ff");
    EXPECT_EQ(Hex::encode(s().identity->signingKey.publicKey().raw()),
              "03a107bff3ce10be1d70dd18e74bc09967e4d6309ba50d5f1ddc8664125531b8");
    EXPECT_TRUE(s().autoPaste);
    EXPECT_EQ(h.updater.started, false);
    // Not moved: it stays, and registers itself to start at login.
    EXPECT_FALSE(h.app->handedOver());
    EXPECT_EQ(h.installer.launchAtLogin, 1);

    // The device-info record carries the host's name.
    auto info = h.connectPhone().phone->readDeviceInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->displayName, "Testbench");
}

// A corrupt device id ends start-up with one line and creates nothing.
TEST_F(AppDelegateTest, ACorruptDeviceIdEndsStartUpAndCreatesNothing) {
    h.writeData("device_id", std::string(15, 'x'));
    h.start();
    EXPECT_EQ(h.app->appState(), nullptr);
    EXPECT_EQ(h.application.terminations, 1);
    EXPECT_EQ(h.log.count("Sorvane: fatal init error: device_id file is corrupt"), 1u);
    EXPECT_EQ(h.log.count("fatal init error"), 1u);
    EXPECT_EQ(h.radio.managersCreated(), 0u);
    EXPECT_FALSE(h.clipboard.started);
    EXPECT_EQ(h.statusItem.installs, 0);
    EXPECT_FALSE(std::filesystem::exists(h.dataDir() / "history.json"));
    EXPECT_EQ(h.readData("device_id"), std::string(15, 'x'));
}

// An instance that moved itself stops before the stores and creates nothing. It
// quits through the normal shutdown once the copy has had its moment to start,
// not at once and not before start-up ends.
TEST_F(AppDelegateTest, AnInstanceThatMovedItselfCreatesNothingAndQuitsShortlyAfter) {
    h.installer.moveAway = true;
    h.start();
    EXPECT_EQ(h.app->appState(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(h.dataDir()));
    EXPECT_EQ(h.radio.managersCreated(), 0u);
    EXPECT_TRUE(h.app->handedOver());
    EXPECT_EQ(h.application.terminations, 0);
    h.mainQueue.runPending();
    EXPECT_EQ(h.application.terminations, 0); // not due yet
    EXPECT_TRUE(h.pumpUntil([&] { return h.application.terminations > 0; }));
    EXPECT_EQ(h.application.terminations, 1);
    EXPECT_EQ(h.installer.launchAtLogin, 0); // the copy registers itself
    h.app->applicationWillTerminate();
    EXPECT_EQ(h.log.count("Sorvane: shutting down"), 1u);
}

// A keyring that holds the key but is locked: sync waits for it, the history
// works meanwhile, no new key is made, and sync starts once it unlocks.
TEST_F(AppDelegateTest, ALockedKeyringDelaysSyncUntilItUnlocksAndNeverMakesANewKey) {
    struct Keyring {
        std::atomic<bool> unlocked{false};
        std::atomic<int> writes{0};
        Bytes key;
    };
    struct LockedKeyring final : SecretStore {
        explicit LockedKeyring(std::shared_ptr<Keyring> shared) : k(std::move(shared)) {}
        SecretLookup copy(const SecretItemId&, bool) override {
            if (!k->unlocked)
                return {SecretLookup::Outcome::refused, {}, "the keyring is locked"};
            return {SecretLookup::Outcome::found, k->key, {}};
        }
        void remove(const SecretItemId&) override { ++k->writes; }
        int32_t add(const SecretItemId&, ByteView) override { return ++k->writes, 0; }
        std::shared_ptr<Keyring> k;
    };
    const auto stored = crypto::Ed25519PrivateKey::generate();
    auto keyring = std::make_shared<Keyring>();
    keyring->key = toBytes(stored.raw());
    h.makeSecretStore = [keyring] { return std::make_unique<LockedKeyring>(keyring); };
    h.start();
    ASSERT_NE(h.app->appState(), nullptr);
    EXPECT_FALSE(s().identity);
    EXPECT_TRUE(h.log.contains("Sorvane: sync waits for the keyring to unlock (the keyring is locked)"));
    EXPECT_EQ(h.radio.managersCreated(), 0u);
    EXPECT_EQ(rowIds().front(), "header:keyring");
    ASSERT_TRUE(copied("copied meanwhile", 1));

    keyring->unlocked = true;
    ASSERT_TRUE(h.pumpUntil([&] { return h.radio.advertising().has_value(); },
                            SorvaneAppDelegate::kKeyringRetry + 5s));
    ASSERT_TRUE(s().identity);
    EXPECT_EQ(s().identity->signingKey.publicKey(), stored.publicKey());
    EXPECT_EQ(keyring->writes, 0) << "no key was made or replaced";
    EXPECT_EQ(rowIds().front(), "header:unpaired");
    EXPECT_TRUE(h.log.contains("Sorvane: pairing code = "));
    EXPECT_TRUE(h.pairWithWindowOpen(h.connectPhone()));
}

TEST_F(AppDelegateTest, PhoneNameComesFromTheFirstStoredPeerOnly) {
    const std::string two =
        R"([{"device_id_hex":"00","identity_pubkey_ed25519_hex":"11","paired_at_ms":1,"last_counter_received":0,"phone_name":"Pixel"},)"
        R"({"device_id_hex":"01","identity_pubkey_ed25519_hex":"22","paired_at_ms":2,"last_counter_received":0,"phone_name":"Galaxy"}])";
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"", {}}, {"[]", {}}, {"{not json", {}}, {R"([{"device_id_hex":1}])", {}}, {two, "Pixel"}};
    for (const auto& [content, name] : cases) {
        AppHarness fresh;
        fresh.writeData("peers.json", content);
        fresh.start();
        ASSERT_NE(fresh.app->appState(), nullptr) << content;
        EXPECT_EQ(fresh.app->appState()->phoneName, name) << content;
    }
}

// ------------------------------------------------------------ pairing

// Only the first record of the peers file is the paired phone: any other phone is
// refused even with the window open, stored further down or not. The first
// re-keys anytime, keeping its record and place.
TEST_F(AppDelegateTest, TheFirstStoredPhoneReKeysAnytimeAndOthersAreRefused) {
    auto& first = startAndPair();
    const auto firstSession = s().session->rx;
    auto& second = h.connectPhone();
    const std::string rejected =
        "pairing: rejected \u2014 Mac already paired to " + keyOf(first).substr(0, 16) + ". Unpair first.";
    h.pairingWindow.open = true;
    EXPECT_FALSE(h.pair(second));
    EXPECT_EQ(h.log.count(rejected), 1u);
    EXPECT_EQ(s().session->rx, firstSession);
    EXPECT_FALSE(second.phone->nextControl(200ms));
    ASSERT_TRUE(receive(first, "still keyed", Route::gatt, 1));

    // The paired phone re-keys with the window closed, keeping its name and the
    // time it paired.
    ASSERT_TRUE(named(first, "Pixel"));
    s().keyStore->savePeers({peers().at(0), {"01", keyOf(second), 2, 0, "Second"}});
    const auto before = peers();
    h.pairingWindow.open = false;
    ASSERT_TRUE(h.pair(first));
    EXPECT_NE(s().session->rx, firstSession);
    EXPECT_EQ(peers(), before);
    ASSERT_TRUE(receive(first, "new keys", Route::gatt, 2));

    // With no session for the first, the second record's phone is refused too;
    // the first re-keys, renames itself and stays first.
    s().session.reset();
    h.pairingWindow.open = true;
    EXPECT_FALSE(h.pair(second));
    EXPECT_EQ(h.log.count(rejected), 2u);
    EXPECT_FALSE(s().session);
    h.pairingWindow.open = false;
    ASSERT_TRUE(h.pair(first));
    ASSERT_TRUE(named(first, "Galaxy"));
    const auto after = peers();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].identityPubkeyEd25519Hex, keyOf(first));
    EXPECT_EQ(after[0].phoneName, "Galaxy");
    EXPECT_EQ(after[1], before[1]);
}

// The phone must never be told to forget a pairing the desktop still has: not
// after a name too long for the peers file, not while the file is unreadable.
// An unpair that cannot remove the file says so.
TEST_F(AppDelegateTest, APairingIsNeverUndoneByALongNameOrAnUnreadablePeersFile) {
    auto& p = startAndPair();
    ASSERT_TRUE(p.phone->openL2CAP());
    std::string name;
    while (name.size() < (2u << 20))
        name += "Pixel \u00e9\U0001F600 "; // multi-byte characters throughout
    ASSERT_TRUE(p.phone->sendPhoneName(name, Route::l2cap));
    ASSERT_TRUE(h.pumpUntil([&] { return s().phoneName.has_value(); }));
    const std::string shown = *s().phoneName;
    EXPECT_EQ(shown, cutToGraphemes(name, SorvaneAppDelegate::kPhoneNameGraphemes).head);
    EXPECT_LE(std::filesystem::file_size(h.dataDir() / "peers.json"), 4096u);
    EXPECT_EQ(peers().at(0).phoneName, shown);

    // Reconnected, the phone is still known, keyed and keeps its name.
    ASSERT_TRUE(h.pair(p));
    EXPECT_FALSE(p.phone->nextControl(100ms));
    EXPECT_EQ(peers().at(0).phoneName, shown);

    // A peers file that cannot be read leaves the hello unanswered, not refused.
    const auto path = h.dataDir() / "peers.json";
    const auto kept = peersFile();
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_FALSE(h.pair(p));
    EXPECT_FALSE(p.phone->nextControl(300ms));
    EXPECT_TRUE(h.log.contains("pairing: peers.json cannot be read \u2014 leaving the hello from "));
    // Once it reads again, the same phone is welcome without pairing anew.
    std::filesystem::remove(path);
    store::writeFileAtomically(path, *kept);
    EXPECT_TRUE(h.pair(p));

    // Something that unlink() refuses now stands where the record is.
    std::filesystem::remove(path);
    std::filesystem::create_directories(path / "in-the-way");
    ASSERT_TRUE(p.phone->sendControl(CONTROL_UNPAIR));
    ASSERT_TRUE(h.pumpUntil([&] { return !s().session; }));
    EXPECT_EQ(h.log.count("could not remove the paired phone"), 1u);
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(AppDelegateTest, AnUnreadablePeersFileIsReportedOncePerDistinctFailure) {
    auto& p = startAndPair();
    const auto path = h.dataDir() / "peers.json";
    store::writeFileAtomically(path, "not json");
    // Every name the phone sends reads the file.
    for (const char* n : {"one", "two", "three"})
        ASSERT_TRUE(named(p, n));
    EXPECT_EQ(h.log.count("peers.json is not a list of peer records"), 1u);

    // Another failure is news, and so is the same one after the file recovered.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    for (const char* n : {"four", "five"})
        ASSERT_TRUE(named(p, n));
    EXPECT_EQ(h.log.count("cannot read peers.json"), 1u);
    std::filesystem::remove(path);
    ASSERT_TRUE(named(p, "six"));
    store::writeFileAtomically(path, "not json");
    ASSERT_TRUE(named(p, "seven"));
    EXPECT_EQ(h.log.count("peers.json is not a list of peer records"), 2u);
}

// ------------------------------------------------------------ inbound

// Texts from the phone over both routes land in the history and on the
// clipboard; only frames sealed in the current session are taken.
TEST_F(AppDelegateTest, InboundTextBothRoutesSealedOnly) {
    auto& p = startAndPair();
    ASSERT_TRUE(receive(p, "over gatt", Route::gatt, 1));
    EXPECT_TRUE(h.log.contains("\U0001F4CB decrypted inbound ("));
    EXPECT_TRUE(h.log.contains("\U0001F4CB clipboard text received (9 bytes)"));

    ASSERT_TRUE(p.phone->openL2CAP());
    ASSERT_TRUE(receive(p, "over l2cap", Route::l2cap, 2));
    EXPECT_TRUE(h.log.contains("\U0001F4CB L2CAP decrypted inbound ("));
    EXPECT_TRUE(h.log.contains("\U0001F4CB L2CAP clipboard received (10 bytes)"));

    const auto snap = s().history->snapshot();
    EXPECT_EQ(snap.entries[0].text, "over l2cap");
    EXPECT_EQ(snap.entries[0].direction, Direction::received);
    EXPECT_EQ(snap.entries[0].hash, sha256ShortHex("over l2cap"));
    // Auto-apply: the hash is suppressed before the write, for each text.
    EXPECT_EQ(h.clipboard.eventsSnapshot(),
              (std::vector<std::string>{"suppress:" + sha256ShortHex("over gatt"), "write:over gatt",
                                        "suppress:" + sha256ShortHex("over l2cap"), "write:over l2cap"}));
    EXPECT_EQ(h.statusItem.pulses, 2);

    // Anyone in range can write plain frames: a stranger's text and name reach
    // neither the clipboard, nor the history, nor the panel.
    auto stranger = h.radio.connectCentral();
    for (const Bytes& message : {encodeClipboardText("planted"), encodePhoneName("Mallory")})
        for (const Bytes& chunk : chunkPayload(77, message, kGattChunkBody, 0))
            ASSERT_EQ(stranger->write(charClipboardTx, chunk), AttResult::success);
    // The phone itself between a reconnection and its handshake, over both routes.
    p.phone->dropSession();
    ASSERT_TRUE(p.phone->sendClipboardText("plain", Route::gatt));
    ASSERT_TRUE(p.phone->sendClipboardText("plain too", Route::l2cap));
    ASSERT_TRUE(h.pumpUntil([&] {
        return h.log.count("refused a plain clipboard frame") == 3 &&
               h.log.count("L2CAP: refused a plain frame") == 1;
    }));
    EXPECT_EQ(entries(), 2u);
    EXPECT_EQ(h.clipboard.eventsSnapshot().size(), 4u);
    EXPECT_FALSE(s().phoneName);
    for (const auto& row : h.app->buildPanelItems())
        EXPECT_EQ(row.labelText().find("Mallory"), std::string::npos) << row.labelText();
    s().history->flush();
    const auto file = h.readData("history.json");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->find("planted"), std::string::npos);
    EXPECT_EQ(file->find("plain"), std::string::npos);

    // Sealed frames are dropped too with a stale counter, and on both routes once
    // the desktop has no session; and so is a chunk too short to parse.
    ASSERT_TRUE(h.pair(p));
    ASSERT_TRUE(receive(p, "one", Route::gatt, 3));
    phone::SendFaults stale;
    stale.staleCounter = true;
    ASSERT_TRUE(p.phone->sendClipboardText("replayed", Route::gatt, stale));
    ASSERT_TRUE(h.logged("decrypt failed: Stale counter"));
    s().session.reset();
    ASSERT_TRUE(p.phone->sendClipboardText("sealed", Route::gatt));
    ASSERT_TRUE(h.logged("encrypted frame but no session \u2014 dropping"));
    ASSERT_TRUE(p.phone->sendClipboardText("sealed", Route::l2cap));
    ASSERT_TRUE(h.logged("L2CAP: encrypted frame but no session \u2014 dropping"));
    EXPECT_EQ(entries(), 3u);
    ASSERT_EQ(stranger->write(charClipboardTx, Bytes{1, 2, 3}), AttResult::success);
    ASSERT_TRUE(h.logged("chunk parse failed"));
}

// A stranger's partial frames cost the paired phone nothing: not the first chunk
// of a sealed frame under each id the phone may use next, not a flood of first
// chunks of long frames, as fast as the radio lets them in.
TEST_F(AppDelegateTest, AStrangersPartialFramesNeitherCostNorBlockThePhonesText) {
    auto& p = startAndPair();
    // The first chunk of a two-chunk frame under `id`.
    auto firstOfTwo = [](uint16_t id, uint8_t flags) {
        return Bytes{static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), 0, 0, 2, 0, flags, 0x6a};
    };
    auto stranger = h.radio.connectCentral();
    for (uint16_t id = 0; id < 8; ++id)
        ASSERT_EQ(stranger->write(charClipboardTx, firstOfTwo(id, kFlagEncrypted)), AttResult::success);
    const std::string text(300, 'p'); // two chunks once sealed
    ASSERT_TRUE(receive(p, text, Route::gatt, 1));
    EXPECT_EQ(s().history->snapshot().entries[0].text, text);
    EXPECT_EQ(h.log.count("decrypt failed"), 0u);

    // A central's partial frames go with it: the same id from the phone later
    // starts afresh rather than meeting what the stranger left.
    stranger->disconnect();
    h.settle();
    ASSERT_TRUE(receive(p, text + "!", Route::gatt, 2));

    auto flooder = h.radio.connectCentral();
    for (uint16_t id = 1000; id < 1040; ++id)
        ASSERT_EQ(flooder->write(charClipboardTx, firstOfTwo(id, 0)), AttResult::success);
    h.settle();
    ASSERT_TRUE(p.phone->sendClipboardText("still gets through", Route::gatt));
    ASSERT_TRUE(h.pumpUntil([&] { return clipboardWrites().back() == "still gets through"; }, 2s))
        << "the paired phone's text must not wait for the junk to age out";
    EXPECT_EQ(h.log.count("reassembler full"), 1u);
}

// Paused sync drops the text but keeps the name; auto-apply off keeps the text
// in the history but off the clipboard.
TEST_F(AppDelegateTest, InboundTextFollowsPauseAndAutoApply) {
    auto& p = startAndPair();
    s().syncPaused = true;
    ASSERT_TRUE(p.phone->sendClipboardText("shh", Route::gatt));
    ASSERT_TRUE(named(p, "Pixel 9"));
    EXPECT_TRUE(h.log.contains("\U0001F4CB clipboard received (3B) \u2014 sync PAUSED, dropped"));
    EXPECT_TRUE(h.log.contains("\U0001F4F1 phone name: Pixel 9"));
    EXPECT_EQ(peers().at(0).phoneName, "Pixel 9");
    ASSERT_TRUE(p.phone->openL2CAP());
    ASSERT_TRUE(p.phone->sendClipboardText("quiet", Route::l2cap));
    ASSERT_TRUE(named(p, "Pixel 10", Route::l2cap));
    EXPECT_TRUE(h.log.contains("\U0001F4CB L2CAP received (5B) \u2014 sync PAUSED, dropped"));
    EXPECT_EQ(peers().at(0).phoneName, "Pixel 10");
    EXPECT_EQ(entries(), 0u);

    s().syncPaused = false;
    s().history->setAutoApply(false);
    ASSERT_TRUE(receive(p, "history only", Route::gatt, 1));
    EXPECT_TRUE(h.log.contains("auto-apply OFF \u2014 clipboard NOT written to pasteboard"));
    EXPECT_TRUE(h.clipboard.eventsSnapshot().empty());

    // The same text twice is one history entry but two clipboard writes.
    s().history->setAutoApply(true);
    ASSERT_TRUE(p.phone->sendClipboardText("twice", Route::gatt));
    ASSERT_TRUE(p.phone->sendClipboardText("twice", Route::gatt));
    ASSERT_TRUE(h.pumpUntil([&] { return h.clipboard.eventsSnapshot().size() == 4; }));
    EXPECT_EQ(entries(), 2u);
}

TEST_F(AppDelegateTest, UnpairFromThePhoneForgetsEverything) {
    auto& p = startAndPair();
    ASSERT_TRUE(named(p, "Pixel"));
    ASSERT_TRUE(p.phone->sendControl(0x77));
    ASSERT_TRUE(h.logged("control: unknown opcode 0x77"));
    EXPECT_TRUE(s().session);

    // A stranger's unpair byte and departure change nothing for the phone, and
    // playing back the phone's hello, recorded on the air, does not give the
    // stranger the session's place (nor, with it, the unpair byte).
    const auto peersBefore = peersFile();
    const auto keys = s().session->rx;
    auto raw = h.radio.connectCentral();
    ASSERT_EQ(raw->write(charPairing, p.phone->lastHello()), AttResult::success);
    ASSERT_TRUE(h.logged("pairing: refused a replayed PairingHello from "));
    EXPECT_EQ(s().session->rx, keys);
    EXPECT_EQ(h.app->sessionCentral(), p.central->centralID());
    ASSERT_EQ(raw->write(charControl, Bytes{}), AttResult::success); // empty: ignored
    ASSERT_EQ(raw->write(charControl, Bytes{CONTROL_UNPAIR}), AttResult::success);
    ASSERT_TRUE(h.logged("which holds no session \u2014 ignored"));
    raw->disconnect();
    h.settle();
    EXPECT_EQ(peersFile(), peersBefore);
    EXPECT_EQ(s().phoneName, "Pixel");
    ASSERT_TRUE(receive(p, "still paired", Route::gatt, 1));

    // The phone's own, with a trailing byte, is honoured.
    ASSERT_EQ(p.central->write(charControl, Bytes{CONTROL_UNPAIR, 0x00}), AttResult::success);
    ASSERT_TRUE(h.pumpUntil([&] { return !s().session; }));
    EXPECT_TRUE(h.log.contains("control: CONTROL_UNPAIR from phone \u2014 clearing peer + session"));
    EXPECT_FALSE(s().phoneName);
    EXPECT_TRUE(peers().empty());
    EXPECT_TRUE(h.app->centrals().empty());
    EXPECT_EQ(s().connectedCount, 0);
}

// ------------------------------------------------------------ outbound

TEST_F(AppDelegateTest, LocalCopiesFollowTheSwitches) {
    auto& p = startAndPair();
    ASSERT_TRUE(copied("kept local", 1));
    EXPECT_TRUE(h.log.contains("\U0001F4E4 mac\u2192phone clipboard (10B) \u2014 auto-push OFF, skipped"));
    EXPECT_EQ(s().history->snapshot().entries[0].direction, Direction::sent);

    s().autoPush = true;
    s().syncPaused = true;
    ASSERT_TRUE(copied("paused", 2));
    EXPECT_TRUE(h.log.contains("\U0001F4E4 mac\u2192phone clipboard (6B) \u2014 sync PAUSED, local-only"));
    EXPECT_FALSE(p.phone->nextMessage(100ms));

    s().syncPaused = false;
    ASSERT_TRUE(copied("automatic", 3));
    auto m = p.phone->nextMessage(3s);
    EXPECT_EQ(clipboardTextOf(m), "automatic");
    EXPECT_TRUE(m->encrypted);
    EXPECT_EQ(m->route, Route::gatt);
    EXPECT_GE(h.statusItem.pulses, 1);
}

TEST_F(AppDelegateTest, NothingLeavesUnsealed) {
    auto& p = startAndPair();
    s().autoPush = true;
    ASSERT_TRUE(p.phone->openL2CAP());
    ASSERT_TRUE(h.radio.waitForPeripheralIdle());
    ASSERT_TRUE(copied("via channel", 1));
    auto m = p.phone->nextMessage(3s);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->route, Route::l2cap);
    EXPECT_TRUE(m->encrypted);
    EXPECT_EQ(clipboardTextOf(m), "via channel");
    EXPECT_TRUE(h.log.waitFor(" bytes, L2CAP, encrypted=true, frame=0)"));

    // Between a reconnection and the handshake, texts are held, not sent: the
    // subscribers receive no clipboard bytes at all. Only the newest is kept.
    s().session.reset();
    p.phone->dropSession();
    p.phone->closeL2CAP();
    const size_t notifications = h.radio.notificationsSent();
    h.clipboard.copy("older");
    ASSERT_TRUE(copied("newest", 3));
    h.settle();
    EXPECT_EQ(h.log.count("B) \u2014 held until the phone's handshake"), 2u);
    EXPECT_EQ(h.radio.notificationsSent(), notifications);
    EXPECT_FALSE(p.phone->nextMessage(100ms));
    // The handshake keys a session; the held text follows the ack, sealed.
    ASSERT_TRUE(h.pair(p));
    auto held = h.nextMessage(p, 3s);
    ASSERT_TRUE(held);
    EXPECT_TRUE(held->encrypted);
    EXPECT_EQ(clipboardTextOf(held), "newest");
    EXPECT_FALSE(p.phone->nextMessage(200ms)) << "the older text is not sent";

    // A text held longer than a minute is dropped.
    s().session.reset();
    p.phone->dropSession();
    ASSERT_TRUE(copied("stale", 4));
    h.steadyClock.advance(61s);
    ASSERT_TRUE(h.pair(p));
    EXPECT_FALSE(h.nextMessage(p, 300ms));
}

// With no phone paired nothing is sent to whoever subscribed; with Bluetooth off
// as well, a manual send alerts and records nothing.
TEST_F(AppDelegateTest, WithNoPhonePairedNothingIsSentAndWithBluetoothOffAManualSendAlerts) {
    h.start();
    auto& listener = h.connectPhone();
    s().autoPush = true;
    h.clipboard.copy("for nobody");
    ASSERT_TRUE(h.logged("\U0001F4E4 mac\u2192phone clipboard (10B) \u2014 no phone paired, not sent"));
    EXPECT_EQ(h.app->handleOutboundClipboard("by hand", sha256ShortHex("by hand"), true),
              OutboundResult::noPhonePaired);
    h.settle();
    EXPECT_EQ(h.radio.notificationsSent(), 0u);
    EXPECT_FALSE(listener.phone->nextMessage(100ms));

    h.radio.setState(ManagerState::poweredOff);
    ASSERT_TRUE(h.logged("bluetooth powered off"));
    const size_t recorded = entries();
    h.app->handleOutboundClipboard("nope", sha256ShortHex("nope"), true);
    h.mainQueue.runPending();
    EXPECT_EQ(h.alerts.shown, 1);
    EXPECT_EQ(entries(), recorded);
}

TEST_F(AppDelegateTest, ChunksArePacedWithoutBlockingTheMainThread) {
    auto& p = startAndPair();
    s().autoPush = true;
    // 100 chunks: 1.5 s of pacing, well inside the phone's 5 s reassembly window.
    const std::string big = textOfChunks(100, 'x');
    const auto before = std::chrono::steady_clock::now();
    h.app->handleOutboundClipboard(big, sha256ShortHex(big), false);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms)
        << "the handler must not sleep between chunks";
    // A second frame queued behind the first goes out after it, in order.
    h.app->handleOutboundClipboard("second", sha256ShortHex("second"), false);

    // Meanwhile the main thread keeps handling the phone.
    ASSERT_TRUE(receive(p, "while sending", Route::gatt, 3));
    EXPECT_TRUE(p.phone->arrivals().empty()) << "the long frame is still on its way";

    const auto first = textTo(p, 5s);
    const auto elapsed = std::chrono::steady_clock::now() - before;
    EXPECT_TRUE(first == big) << "the long text arrives whole and first";
    EXPECT_EQ(textTo(p, 5s), "second");
    EXPECT_GE(elapsed, 99 * 15ms) << "chunks keep their 15 ms spacing";
    EXPECT_EQ(p.phone->arrivals(), (std::vector<std::string>{"message 0", "message 1"}));
}

TEST_F(AppDelegateTest, AGATTFrameThatCannotArriveInTimeIsNotStarted) {
    auto& p = startAndPair();
    const size_t notifications = h.radio.notificationsSent();
    // Past the limit: it would still be on the air when the phone gives it up.
    const std::string tooBig = textOfChunks(SorvaneAppDelegate::kMaxGattChunks + 1, 'o');
    h.app->handleOutboundClipboard(tooBig, sha256ShortHex(tooBig), true);
    EXPECT_EQ(h.log.count("too large to send without an L2CAP channel"), 1u);
    EXPECT_EQ(entries(), 1u) << "the history keeps the text";
    EXPECT_FALSE(h.nextMessage(p, 300ms));
    EXPECT_EQ(h.radio.notificationsSent(), notifications) << "not one chunk went out";
    EXPECT_FALSE(h.log.contains(" chunks, encrypted="));

    // The largest frame allowed is sent (bench/ble/gatt_delivery_bench times its
    // arrival against the phone's window).
    const std::string largest = textOfChunks(SorvaneAppDelegate::kMaxGattChunks, 'l');
    h.app->handleOutboundClipboard(largest, sha256ShortHex(largest), true);
    EXPECT_TRUE(h.log.waitFor(std::to_string(SorvaneAppDelegate::kMaxGattChunks) +
                              " chunks, encrypted=true, frame=1)"));
    EXPECT_TRUE(h.pumpUntil([&] { return h.radio.notificationsSent() > notifications; }));
}

TEST_F(AppDelegateTest, FrameIdsWrapAndAFailedSealSendsNothing) {
    auto& p = startAndPair();
    s().autoPush = true;
    s().frameCounter = 65535;
    h.clipboard.copy("last id");
    h.clipboard.copy("wrapped");
    ASSERT_TRUE(h.pumpUntil([&] { return entries() == 2; }));
    auto a = p.phone->nextMessage(3s), b = p.phone->nextMessage(3s);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->frameID, 65535);
    EXPECT_EQ(b->frameID, 0);

    s().session->tx->counterTx = 0xFFFFFFFF;
    ASSERT_TRUE(copied("cannot seal", 3));
    EXPECT_TRUE(h.log.contains("\u274C encrypt failed on paired session \u2014 dropping frame: "
                               "TX counter exhausted; re-handshake required"));
    EXPECT_FALSE(p.phone->nextMessage(200ms));
    EXPECT_EQ(s().frameCounter, 2) << "the dropped frame still used its id";
}

// ------------------------------------------------------------ links and power

TEST_F(AppDelegateTest, CentralsComeAndGo) {
    auto& first = startAndPair();
    auto& second = h.connectPhone();
    EXPECT_EQ(s().connectedCount, 2);
    const size_t advertisedBefore = h.radio.advertisedNames().size();

    second.central->disconnect();
    h.settle();
    EXPECT_EQ(s().connectedCount, 1);
    EXPECT_TRUE(s().session) << "only the phone's own departure ends its session";
    EXPECT_EQ(h.radio.advertisedNames().size(), advertisedBefore);

    first.central->disconnect();
    h.settle();
    EXPECT_FALSE(s().session);
    EXPECT_EQ(s().connectedCount, 0);
    EXPECT_TRUE(h.log.contains("re-started advertising after disconnect"));
    EXPECT_EQ(h.radio.advertisedNames().size(), advertisedBefore + 1);
    const size_t lines = h.log.lines().size();
    h.app->handlePeripheralEvent(PeripheralEvent{PeripheralEvent::CentralDisconnected{"UNKNOWN"}});
    EXPECT_EQ(h.log.lines().size(), lines);
}

TEST_F(AppDelegateTest, PowerOffSleepAndWake) {
    auto& p = startAndPair();
    ASSERT_EQ(s().connectedCount, 1);
    bool released = false;
    h.power.willSleep([&] { released = true; });
    ASSERT_TRUE(h.pumpUntil([&] { return released; }));
    EXPECT_TRUE(h.log.contains("Sorvane: Mac going to sleep \u2014 notifying phone"));
    EXPECT_EQ(p.phone->nextControl(2s), CONTROL_GOODBYE);
    EXPECT_FALSE(s().session);
    EXPECT_EQ(s().connectedCount, 0);

    const size_t names = h.radio.advertisedNames().size();
    std::thread(h.power.didWake).join();
    ASSERT_TRUE(h.pumpUntil([&] { return h.radio.advertisedNames().size() == names + 1; }));
    EXPECT_TRUE(h.log.contains("Sorvane: Mac woke up \u2014 re-starting BLE advertising"));

    ASSERT_TRUE(h.pairWithWindowOpen(p));
    h.radio.setState(ManagerState::poweredOff);
    ASSERT_TRUE(h.logged("bluetooth powered off: dropping 1 central(s)"));
    EXPECT_FALSE(s().session);
    EXPECT_EQ(s().connectedCount, 0);
}

TEST_F(AppDelegateTest, AFailedL2CAPWriteDeliversTheTextOverGATTThenRebuildsOncePerCooldown) {
    h.radio.setL2CAPSendStallTimeout(50ms);
    auto& p = startAndPair();
    s().autoPush = true;
    // A central that opens the channel and never reads it.
    auto psm = p.phone->readPSM();
    ASSERT_TRUE(psm);
    auto stuck = h.radio.connectCentral();
    auto channel = stuck->openL2CAP(*psm);
    ASSERT_TRUE(channel);
    ASSERT_TRUE(h.radio.waitForPeripheralIdle());

    // Frames fill the unread channel until a write fails; that one falls back to GATT.
    std::string fellBack;
    for (size_t i = 0; i < 60 && !h.app->rebuildInProgress(); ++i) {
        fellBack = std::to_string(i) + textOfChunks(60, 'z');
        h.clipboard.copy(fellBack);
        // Each frame's route is settled before the next: the write is waited for.
        ASSERT_TRUE(h.logged("frame=" + std::to_string(i) + ")"));
        h.mainQueue.runPending();
    }
    ASSERT_TRUE(h.app->rebuildInProgress());
    EXPECT_TRUE(h.log.contains("Sorvane: L2CAP write failed \u2014 triggering peripheral rebuild"));

    // The phone gets the whole text over GATT, and only then is the manager rebuilt.
    const auto m = h.nextMessage(p, 5s);
    ASSERT_TRUE(m) << "the text that fell back never reached the phone";
    EXPECT_EQ(m->route, Route::gatt);
    EXPECT_TRUE(clipboardTextOf(m) == fellBack);
    ASSERT_TRUE(h.log.waitFor("Sorvane BLE: new manager created, waiting for poweredOn"));
    EXPECT_EQ(h.log.count("updateValue returned false"), 0u);
    EXPECT_EQ(h.log.count("notify dropped"), 0u);

    // The phone comes back: the rebuild is complete.
    ASSERT_TRUE(h.pumpUntil([&] { return h.radio.advertising().has_value(); }));
    h.connectPhone();
    EXPECT_FALSE(h.app->rebuildInProgress());
    EXPECT_TRUE(h.log.contains("Sorvane: rebuild complete \u2014 phone reconnected"));

    // A second failure within 30 s is skipped by the peripheral's cool-down.
    h.steadyClock.advance(10s);
    h.app->handleL2CAPWriteFailed();
    ASSERT_TRUE(h.log.waitFor("Sorvane BLE: rebuild cooldown \u2014 skipping"));
    EXPECT_TRUE(h.app->rebuildInProgress());
}

// A phone that reads its L2CAP channel slowly: the main thread goes on while a
// 2 MiB frame drains, the frame waits its turn behind an earlier GATT frame,
// and quitting waits for the rest of it.
TEST_F(AppDelegateTest, AnL2CAPFrameDrainsOffTheMainThreadInItsPlaceInTheOrder) {
    auto& p = startAndPair();
    s().autoPush = true;
    const std::string paced = textOfChunks(100, 'g');
    ASSERT_EQ(h.app->handleOutboundClipboard(paced, sha256ShortHex(paced), true),
              OutboundResult::handedToRadio);

    auto reader = h.radio.connectCentral();
    auto channel = reader->openL2CAP(*p.phone->readPSM());
    ASSERT_TRUE(channel);
    ASSERT_TRUE(h.radio.waitForPeripheralIdle());
    const std::string big(2u << 20, 'L');
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(h.app->handleOutboundClipboard(big, sha256ShortHex(big), true),
              OutboundResult::handedToRadio);
    const auto handed = std::chrono::steady_clock::now() - before;

    // The reader takes 50 KB/s for a second, then everything.
    auto whole = [](const Bytes& b) { // the length prefix counts the rest
        return b.size() >= 4 &&
               b.size() == 4 + (size_t{b[0]} << 24 | size_t{b[1]} << 16 | size_t{b[2]} << 8 | b[3]);
    };
    std::atomic<bool> fast{false};
    std::atomic<size_t> received{0};
    std::atomic<size_t> gattFramesAtFirstByte{~size_t{0}};
    Bytes packet;
    std::thread readerThread([&] {
        uint8_t buf[4096];
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{channel->fd(), POLLIN, 0};
            if (!channel->hasBytesAvailable() && ::poll(&pfd, 1, 100) <= 0)
                continue;
            const ssize_t n = channel->read(buf, fast ? sizeof buf : 1000);
            if (n <= 0)
                break;
            if (packet.empty())
                gattFramesAtFirstByte = p.phone->arrivals().size();
            packet.insert(packet.end(), buf, buf + n);
            received = packet.size();
            if (whole(packet))
                break;
            if (!fast)
                std::this_thread::sleep_for(20ms); // 1000 bytes every 20 ms
        }
    });

    // Meanwhile the phone's text is handled on the main thread.
    ASSERT_TRUE(p.phone->sendClipboardText("meanwhile", Route::gatt));
    ASSERT_TRUE(h.pumpUntil([&] { return s().history->snapshot().entries[0].text == "meanwhile"; }));
    h.pumpUntil([] { return false; }, 1000ms);
    EXPECT_LT(received.load(), big.size() / 2) << "the frame is still draining";
    EXPECT_LT(handed, 1s) << "handing the frame over does not wait for the phone";

    fast = true;
    h.app->applicationWillTerminate(); // waits for the frame, then says goodbye
    readerThread.join();
    ASSERT_GE(packet.size(), 7u + big.size());
    EXPECT_TRUE(whole(packet));
    EXPECT_EQ(packet[4], kFlagEncrypted);
    EXPECT_EQ(gattFramesAtFirstByte.load(), 1u) << "the earlier GATT frame arrived first";
    EXPECT_TRUE(clipboardTextOf(p.phone->nextMessage(0ms)) == paced);
    EXPECT_EQ(p.phone->nextControl(2s), CONTROL_GOODBYE);
}

TEST_F(AppDelegateTest, TheUnpairByteFollowsAFrameBeingPaced) {
    h.alerts.answer = true;
    controlFollowsAPacedFrame([&] { h.app->unpairAction(); }, "control 0x31");
}

TEST_F(AppDelegateTest, QuitDuringAPacedFrameDeliversItThenSaysGoodbye) {
    controlFollowsAPacedFrame([&] { h.app->applicationWillTerminate(); }, "control 0x32");
}

TEST_F(AppDelegateTest, SleepDuringAPacedFrameDeliversItThenSaysGoodbyeThenDropsTheSession) {
    bool released = false;
    controlFollowsAPacedFrame(
        [&] {
            h.power.willSleep([&] { released = true; });
            h.mainQueue.runPending();
            EXPECT_TRUE(h.log.contains("Sorvane: Mac going to sleep \u2014 notifying phone"));
            EXPECT_TRUE(s().session) << "the session is dropped after the frame, not before";
        },
        "control 0x32");
    ASSERT_TRUE(h.pumpUntil([&] { return released; }));
    EXPECT_FALSE(s().session);
    EXPECT_EQ(s().connectedCount, 0);
}

TEST_F(AppDelegateTest, ShutdownSaysGoodbyeBeforeTearingDown) {
    auto& p = startAndPair();
    s().history->setAutoApply(false);
    ASSERT_TRUE(receive(p, "the last word", Route::gatt, 1));
    h.app->applicationWillTerminate();
    EXPECT_EQ(p.phone->nextControl(2s), CONTROL_GOODBYE);
    EXPECT_TRUE(h.clipboard.stopped);
    EXPECT_TRUE(h.power.stopped);
    // 0.3 s for the goodbye to leave, then 0.2 s for the teardown.
    EXPECT_EQ(h.application.spins, (std::vector<std::chrono::milliseconds>{300ms, 200ms}));
    const auto lines = h.log.lines();
    auto at = [&](std::string_view needle) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(needle) != std::string::npos; }) -
               lines.begin();
    };
    EXPECT_LT(at("Sorvane: shutting down"), at("Sorvane BLE: peripheral shut down"));
    EXPECT_LT(at("Sorvane BLE: peripheral shut down"), at("Sorvane: shutdown complete"));
    EXPECT_FALSE(h.radio.advertising());

    // Everything recorded before the end is on disk when shutdown completes.
    const auto file = h.readData("history.json");
    ASSERT_TRUE(file.has_value());
    EXPECT_NE(file->find("\"text\": \"the last word\""), std::string::npos);

    // Nothing reaches the handlers once shutdown began.
    h.clipboard.copy("too late");
    h.mainQueue.runPending();
    EXPECT_EQ(entries(), 1u);
    h.app->applicationWillTerminate(); // once only
    EXPECT_EQ(h.log.count("Sorvane: shutting down"), 1u);
}

} // namespace
} // namespace sorvane

// Runs the real SorvaneAppDelegate on a hand-driven main queue, with the
// simulated radio under its peripheral, real stores in a temporary directory,
// and recorders in place of the desktop components.
#pragma once

#include "testing/desktop-doubles/DesktopDoubles.h"
#include "adapters/linux/secret/FileSecretStore.h"
#include "testing/sim/ManualMainQueue.h"
#include "testing/sim/SimRadio.h"
#include "protocol/PairingHandshake.h"
#include "store/AtomicFile.h"
#include "store/KeyStore.h"
#include "store/UserDefaultsFile.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/ManualClock.h"
#include "testing/test-env/TempDir.h"
#include "testing/phone/PhoneCentral.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

namespace sorvane::testing {

class AppHarness {
public:
    AppHarness()
        : directories(dir.path() / "data"), defaults(dir.path() / "config" / "defaults.json"),
          application(mainQueue) {
        radio.setState(ManagerState::poweredOn);
    }
    ~AppHarness() {
        centrals.clear();
        app.reset();
    }

    std::filesystem::path dataDir() const { return dir.path() / "data" / "org.sorvane.app"; }

    // Creates the delegate and runs start-up; waits for advertising when it succeeds.
    void start() {
        AppEnvironment environment{
            mainQueue, application, defaults, host, power, directories,
            [this]() -> std::unique_ptr<SecretStore> {
                markStep("secret store");
                if (makeSecretStore)
                    return makeSecretStore();
                return std::make_unique<FileSecretStore>(dataDir());
            },
            radio.managerFactory(),
            [this] {
                markStep("watcher created");
                return std::make_unique<TestClipboard::Watcher>(clipboard);
            },
            statusItem, panel, pairingWindow, alerts, hotKey, installer, updater, wallClock,
            steadyClock.fn()};
        environment.preferencesWindow = &preferencesWindow;
        environment.releaseFreeMemory = [this] { ++memoryReleases; };
        environment.releaseFreeMemoryDelay = std::chrono::milliseconds(20);
        app = std::make_unique<SorvaneAppDelegate>(std::move(environment));
        app->applicationDidFinishLaunching();
        // The history is read beside the start-up; the tests start once it is in.
        if (app->appState())
            pumpUntil([&] { return app->appState()->history->isLoaded(); });
        if (app->appState() && app->appState()->identity)
            pumpUntil([&] { return radio.advertising().has_value(); });
    }

    // Runs main-queue tasks until `done` holds; false on timeout.
    template <class Pred>
    bool pumpUntil(Pred done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return testing::pumpUntil(mainQueue, done, timeout);
    }
    // Runs main-queue tasks until a line holding `needle` is logged; false on timeout.
    bool logged(const std::string& needle) {
        return pumpUntil([&] { return log.contains(needle); });
    }
    // Lets everything already sent reach the delegate.
    void settle() {
        radio.waitForPeripheralIdle();
        mainQueue.runPending();
        radio.waitForPeripheralIdle();
        mainQueue.runPending();
    }

    // Runs `work` on another thread (a phone that waits for the desktop) while
    // the main queue keeps turning.
    template <class F> auto onPhone(F work) {
        auto future = std::async(std::launch::async, std::move(work));
        pumpUntil([&] { return future.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; },
                  std::chrono::seconds(20));
        return future.get();
    }

    struct Phone {
        std::unique_ptr<sim::SimCentral> central;
        std::unique_ptr<phone::PhoneCentral> phone;
    };
    // A phone in range that knows the desktop from its QR text and has subscribed.
    Phone& connectPhone(const std::string& id = {}) {
        auto central = radio.connectCentral(id);
        phone::PhoneCentral::Options options;
        options.timeout = std::chrono::milliseconds(1500); // refusals are silent: do not wait long
        auto ph = phone::PhoneCentral::withNewIdentity(*central, options);
        const auto& identity = *app->appState()->identity;
        EXPECT_TRUE(ph->learnDesktop(buildQRPayload(identity.deviceID, identity.signingKey.publicKey())));
        EXPECT_TRUE(ph->subscribe());
        settle();
        centrals.push_back(Phone{std::move(central), std::move(ph)});
        return centrals.back();
    }
    // Pairs `p` with the pairing window as it is (a bad hello: `fault`); true
    // once the desktop acknowledged.
    bool pair(Phone& p, phone::HelloFault fault = phone::HelloFault::none) {
        const bool ok = onPhone([&] { return p.phone->pair(fault); });
        settle();
        return ok;
    }
    // Pairs `p` with the pairing window open.
    bool pairWithWindowOpen(Phone& p) {
        pairingWindow.open = true;
        return pair(p);
    }
    // What the desktop sends `p` within `wait`, the main queue turning meanwhile.
    std::optional<phone::InboundMessage> nextMessage(Phone& p, std::chrono::milliseconds wait) {
        return onPhone([&] { return p.phone->nextMessage(wait); });
    }
    std::optional<uint8_t> nextControl(Phone& p, std::chrono::milliseconds wait) {
        return onPhone([&] { return p.phone->nextControl(wait); });
    }

    // A file in the data directory; nullopt when there is none.
    std::optional<std::string> readData(const std::string& name) const {
        return store::readFile(dataDir() / name, {.maxBytes = 1 << 20});
    }
    void writeData(const std::string& name, std::string_view content) const {
        std::filesystem::create_directories(dataDir());
        store::writeFileAtomically(dataDir() / name, content);
    }

    // The secret store start-up gets; null: a FileSecretStore in the data directory.
    std::function<std::unique_ptr<SecretStore>()> makeSecretStore;
    TempDir dir;
    TempDirectories directories;
    UserDefaultsFile defaults;
    sim::ManualMainQueue mainQueue;
    TestApplication application;
    FixedHost host;
    TestPower power;
    sim::SimRadio radio;
    WallClock wallClock = systemWallClock();
    ManualClock steadyClock{std::chrono::steady_clock::now()};
    TestClipboard clipboard;
    RecordingStatusItem statusItem;
    RecordingPanel panel;
    TestPairingWindow pairingWindow;
    RecordingAlerts alerts;
    NoHotKey hotKey;
    TestInstaller installer;
    RecordingUpdater updater;
    RecordingPreferencesWindow preferencesWindow;
    std::atomic<int> memoryReleases{0};
    LogCapture log;
    std::unique_ptr<SorvaneAppDelegate> app;
    std::deque<Phone> centrals;
};

// A test on one harness, with short ways to what the tests look at.
class AppTest : public ::testing::Test {
protected:
    AppHarness h;

    // Starts and pairs one phone.
    AppHarness::Phone& startAndPair() {
        h.start();
        auto& p = h.connectPhone();
        EXPECT_TRUE(h.pairWithWindowOpen(p));
        return p;
    }
    AppState& s() { return *h.app->appState(); }
    size_t entries() { return s().history->snapshot().entries.size(); }
    std::string entryId(size_t index) { return s().history->snapshot().entries[index].id; }
    std::vector<PeerRecord> peers() { return s().keyStore->loadPeers(); }
    // A local copy; true once the history holds `n` entries.
    bool copied(const std::string& text, size_t n) {
        h.clipboard.copy(text);
        return h.pumpUntil([&] { return entries() == n; });
    }
    std::vector<std::string> rowIds() {
        std::vector<std::string> ids;
        for (const auto& item : h.app->buildPanelItems())
            ids.push_back(item.id);
        return ids;
    }
    // The clipboard text the desktop sends `p` within `wait`.
    std::optional<std::string> textTo(AppHarness::Phone& p, std::chrono::milliseconds wait) {
        const auto m = h.nextMessage(p, wait);
        if (auto* t = m ? std::get_if<SorvaneMessage::ClipboardText>(&m->message.value) : nullptr)
            return t->text;
        return std::nullopt;
    }
    std::vector<std::string> clipboardWrites() {
        std::vector<std::string> writes;
        for (const auto& e : h.clipboard.eventsSnapshot())
            if (e.starts_with("write:"))
                writes.push_back(e.substr(6));
        return writes;
    }
};

} // namespace sorvane::testing

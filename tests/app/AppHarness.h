// Runs the real SorvaneAppDelegate on a hand-driven main queue, with the
// simulated radio under its peripheral, real stores in a temporary directory,
// and recorders in place of the desktop components.
#pragma once

#include "app/SorvaneAppDelegate.h"
#include "platform/linux/FileSecretStore.h"
#include "platform/sim/ManualMainQueue.h"
#include "platform/sim/SimRadio.h"
#include "protocol/PairingHandshake.h"
#include "store/UserDefaultsFile.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tools/phone/PhoneCentral.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

namespace sorvane::testing {

class RecordingStatusItem final : public StatusItem {
public:
    void setApplicationIcon() override {}
    void install() override { ++installs; }
    void animateIconPulse() override { ++pulses; }
    int installs = 0;
    int pulses = 0;
};

class RecordingPanel final : public PanelPresenter {
public:
    void refreshPanel() override { ++refreshes; }
    void togglePanel() override { ++toggles; }
    int refreshes = 0;
    int toggles = 0;
};

class TestPairingWindow final : public PairingWindow {
public:
    bool isOpen() const override { return open; }
    void close() override {
        open = false;
        ++closes;
    }
    bool open = false;
    int closes = 0;
};

class RecordingAlerts final : public AlertPresenter {
public:
    void showBluetoothOffAlert() override { ++shown; }
    int shown = 0;
};

class NoHotKey final : public HotKeyService {
public:
    void registerHotKey(std::function<void()> onPressed) override { pressed = std::move(onPressed); }
    std::function<void()> pressed;
};

class TestInstaller final : public Installer {
public:
    bool promptAndMoveIfNeeded() override { return moveAway; }
    void enableLaunchAtLoginByDefault() override { ++launchAtLogin; }
    bool moveAway = false;
    int launchAtLogin = 0;
};

class RecordingUpdater final : public Updater {
public:
    void start(bool automaticChecks) override { started = automaticChecks; }
    std::optional<bool> started;
};

// The clipboard as the delegate sees it. copy() plays a local copy on the
// watcher's own thread, as the real watcher reports it.
class TestClipboard {
public:
    class Watcher final : public PasteboardWatcher {
    public:
        explicit Watcher(TestClipboard& owner) : m_owner(owner) {}
        void setOnChange(ChangeHandler handler) override {
            std::lock_guard lock(m_owner.mutex);
            m_owner.handler = std::move(handler);
        }
        void start() override { m_owner.started = true; }
        void stop() override { m_owner.stopped = true; }
        void setSuppressHash(const std::string& hash) override {
            std::lock_guard lock(m_owner.mutex);
            m_owner.events.push_back("suppress:" + hash);
        }
        void writeString(const std::string& text) override {
            std::lock_guard lock(m_owner.mutex);
            m_owner.events.push_back("write:" + text);
        }

    private:
        TestClipboard& m_owner;
    };

    void copy(const std::string& text) {
        PasteboardWatcher::ChangeHandler h;
        {
            std::lock_guard lock(mutex);
            h = handler;
        }
        std::thread([h, text] { h(text, sha256ShortHex(text)); }).join();
    }
    std::vector<std::string> eventsSnapshot() {
        std::lock_guard lock(mutex);
        return events;
    }

    std::mutex mutex;
    PasteboardWatcher::ChangeHandler handler;
    std::vector<std::string> events;
    bool started = false;
    bool stopped = false;
};

class TestPower final : public PowerMonitor {
public:
    void start(std::function<void(ReleaseSleep)> sleep, std::function<void()> wake) override {
        willSleep = std::move(sleep);
        didWake = std::move(wake);
    }
    void stop() override { stopped = true; }
    std::function<void(ReleaseSleep)> willSleep;
    std::function<void()> didWake;
    bool stopped = false;
};

class TestApplication final : public ApplicationControl {
public:
    explicit TestApplication(sim::ManualMainQueue& queue) : m_queue(queue) {}
    void requestTermination() override { ++terminations; }
    void spinRunLoop(std::chrono::milliseconds duration) override {
        spins.push_back(duration);
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until)
            m_queue.runOne(std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now()));
    }
    int terminations = 0;
    std::vector<std::chrono::milliseconds> spins;

private:
    sim::ManualMainQueue& m_queue;
};

class FixedHost final : public HostInfo {
public:
    std::string displayName() override { return name; }
    std::string name = "Testbench";
};

class TempDirectories final : public UserDirectories {
public:
    explicit TempDirectories(std::filesystem::path root) : m_root(std::move(root)) {}
    std::filesystem::path applicationDataRoot() const override { return m_root; }

private:
    std::filesystem::path m_root;
};

// A clock the test moves by hand; starts at the real now.
class ManualSteadyClock {
public:
    SteadyClock fn() {
        return [this] {
            std::lock_guard lock(m_mutex);
            return m_now;
        };
    }
    void advance(std::chrono::milliseconds d) {
        std::lock_guard lock(m_mutex);
        m_now += d;
    }

private:
    std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_now = std::chrono::steady_clock::now();
};

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
        app = std::make_unique<SorvaneAppDelegate>(AppEnvironment{
            mainQueue, application, defaults, host, power, directories,
            [this] { return std::make_unique<FileSecretStore>(dataDir()); },
            radio.managerFactory(),
            [this] { return std::make_unique<TestClipboard::Watcher>(clipboard); },
            statusItem, panel, pairingWindow, alerts, hotKey, installer, updater,
            systemWallClock(), steadyClock.fn()});
        app->applicationDidFinishLaunching();
        if (app->appState())
            pumpUntil([&] { return radio.advertising().has_value(); });
    }

    // Runs main-queue tasks until `done` holds; false on timeout.
    template <class Pred>
    bool pumpUntil(Pred done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= until)
                return false;
            mainQueue.runOne(std::chrono::milliseconds(5));
        }
        return true;
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
        const auto& identity = app->appState()->identity;
        EXPECT_TRUE(ph->learnDesktop(buildQRPayload(identity.deviceID, identity.signingKey.publicKey())));
        EXPECT_TRUE(ph->subscribe());
        settle();
        centrals.push_back(Phone{std::move(central), std::move(ph)});
        return centrals.back();
    }
    // Pairs `p` with the pairing window open.
    bool pairWithWindowOpen(Phone& p) {
        pairingWindow.open = true;
        const bool ok = onPhone([&] { return p.phone->pair(); });
        settle();
        return ok;
    }

    TempDir dir;
    TempDirectories directories;
    UserDefaultsFile defaults;
    sim::ManualMainQueue mainQueue;
    TestApplication application;
    FixedHost host;
    TestPower power;
    sim::SimRadio radio;
    ManualSteadyClock steadyClock;
    TestClipboard clipboard;
    RecordingStatusItem statusItem;
    RecordingPanel panel;
    TestPairingWindow pairingWindow;
    RecordingAlerts alerts;
    NoHotKey hotKey;
    TestInstaller installer;
    RecordingUpdater updater;
    LogCapture log;
    std::unique_ptr<SorvaneAppDelegate> app;
    std::deque<Phone> centrals;
};

} // namespace sorvane::testing

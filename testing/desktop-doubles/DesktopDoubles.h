// Stand-ins for the desktop components around the application delegate, for
// tests and benchmarks: they record what the delegate asked of them. The
// clipboard's copy() plays a local copy on a thread of its own, as the real
// watcher reports it. Main thread only unless noted.
#pragma once

#include "app/SorvaneAppDelegate.h"
#include "base/Log.h"
#include "testing/sim/ManualMainQueue.h"
#include "protocol/PairingHandshake.h"

#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace sorvane::testing {

// Logs "step: <what>" for a start-up call on a stand-in, so that a test can see
// where it falls among the delegate's own log lines.
inline void markStep(const std::string& what) {
    logLine("step: " + what);
}

// Runs main-queue tasks until `done` holds; false on timeout.
template <class Pred>
bool pumpUntil(sim::ManualMainQueue& queue, Pred done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        queue.runOne(std::chrono::milliseconds(5));
    }
    return true;
}

class RecordingStatusItem final : public StatusItem {
public:
    void setApplicationIcon() override { markStep("application icon"); }
    void install() override {
        markStep("status item");
        ++installs;
    }
    void animateIconPulse() override { ++pulses; }
    void setIconChoice(const std::string& symbolName) override { iconChoice = symbolName; }
    int installs = 0;
    int pulses = 0;
    std::string iconChoice;
};

// Keeps what the delegate last handed to the panel; shown until hidden.
class RecordingPanel final : public SearchPanelView {
public:
    void showPanel(std::vector<PanelItemDef> rows, PanelFlags f, OnSelect select) override {
        items = std::move(rows);
        flags = f;
        onSelect = std::move(select);
        visible = true;
        ++shows;
    }
    void updatePanel(std::vector<PanelItemDef> rows, PanelFlags f) override {
        if (shows == 0)
            return;
        items = std::move(rows);
        flags = f;
        ++updates;
    }
    void hidePanel() override { visible = false; }
    bool isPanelVisible() const override { return visible; }
    void showToast(const std::string& text) override { toasts.push_back(text); }

    std::vector<PanelItemDef> items;
    std::vector<std::string> toasts;
    PanelFlags flags;
    OnSelect onSelect;
    bool visible = false;
    int shows = 0;
    int updates = 0;
};

class TestPairingWindow final : public PairingWindow {
public:
    void show(const std::string& qrPayload, const std::array<uint8_t, 32>& identityPub) override {
        shownPayloads.push_back(qrPayload);
        shownIdentity = identityPub;
        open = true;
    }
    bool isOpen() const override { return open; }
    void close() override {
        open = false;
        ++closes;
    }
    bool open = false;
    int closes = 0;
    std::vector<std::string> shownPayloads;
    std::array<uint8_t, 32> shownIdentity{};
};

class RecordingAlerts final : public AlertPresenter {
public:
    void showBluetoothOffAlert() override { ++shown; }
    bool confirm(const ConfirmationRequest& request) override {
        confirmations.push_back(request.message);
        requests.push_back(request);
        if (!answers.empty()) {
            const bool next = answers.front();
            answers.erase(answers.begin());
            return next;
        }
        return answer;
    }
    void showError(const std::string& title, const std::string& text) override {
        errors.emplace_back(title, text);
    }
    int shown = 0;
    bool answer = false;       // what the user clicks
    std::vector<bool> answers; // what the user clicks on the next confirmations, before `answer`
    std::vector<std::string> confirmations;
    std::vector<ConfirmationRequest> requests;
    std::vector<std::pair<std::string, std::string>> errors; // title, text
};

// Records what is grabbed; pressed() plays a press as the desktop delivers it.
class NoHotKey final : public HotKeyService {
public:
    void setOnPressed(std::function<void()> onPressed) override { pressed = std::move(onPressed); }
    int registerHotKey(uint32_t keyCode, uint32_t modifiers) override {
        markStep("hot key");
        if (status == 0)
            grabbed = {keyCode, modifiers};
        return status;
    }
    void unregisterHotKey() override { grabbed.reset(); }
    std::function<void()> pressed;
    std::optional<std::pair<uint32_t, uint32_t>> grabbed;
    int status = 0; // what the next registration answers
};

class TestInstaller final : public Installer {
public:
    bool promptAndMoveIfNeeded() override {
        markStep("move offer");
        return moveAway;
    }
    void enableLaunchAtLoginByDefault() override {
        markStep("launch at login");
        ++launchAtLogin;
    }
    bool isInstalledInApplications() const override { return installed; }
    bool isLaunchAtLoginEnabled() const override { return loginItem; }
    std::optional<std::string> setLaunchAtLogin(bool enabled) override {
        if (refusal)
            return refusal;
        loginItem = enabled;
        return std::nullopt;
    }
    bool moveAway = false;
    int launchAtLogin = 0;
    bool installed = true;
    bool loginItem = false;
    std::optional<std::string> refusal; // what the next change answers
};

class RecordingUpdater final : public Updater {
public:
    void start(bool automatic) override {
        markStep("updater");
        started = automatic;
    }
    void setAutomaticChecks(bool enabled) override { automaticChecks = enabled; }
    void checkForUpdates() override { ++manualChecks; }
    std::optional<bool> started;
    std::optional<bool> automaticChecks;
    int manualChecks = 0;
};

// Counts the openings of the preferences window.
class RecordingPreferencesWindow final : public PreferencesWindowView {
public:
    void show() override { ++shown; }
    int shown = 0;
};

// The clipboard as the delegate sees it. copy() plays a local copy on the
// watcher's own thread, as the real watcher reports it.
class TestClipboard {
public:
    class Watcher final : public PasteboardWatcher {
    public:
        explicit Watcher(TestClipboard& owner) : m_owner(owner) {}
        void setOnChange(ChangeHandler onChange) override {
            std::lock_guard lock(m_owner.mutex);
            m_owner.handler = std::move(onChange);
        }
        void start() override {
            markStep("watcher started");
            m_owner.started = true;
        }
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
        markStep("sleep and wake");
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

// Swallows log lines (benchmarks).
class NullSink final : public LogSink {
public:
    void write(std::string_view) override {}
};

} // namespace sorvane::testing

// Update checks and installs: the appcast feed read at most once a day while
// automatic checks are on, and whenever the user asks; a newer version offered
// in a window; an AppImage replaced by the new, verified file and restarted,
// any other install sent to the download page.
//
// An automatic check is silent unless there is a newer version; a check the
// user asked for always answers. Nothing is written over the running program
// until the new file is complete, of the announced length, signed with the
// built-in key and executable; every refusal is one log line (and a window when
// the user asked).
//
// Thread-safety: main thread only.
#pragma once

#include "base/Clock.h"
#include "base/Liveness.h"
#include "ports/AppServices.h"
#include "ports/MainQueue.h"
#include "ports/UserDefaults.h"
#include "ports/Updates.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sorvane {

class SorvaneUpdater final : public Updater {
public:
    struct Config {
        std::string feedUrl;
        std::string currentVersion;
        std::string publicKeyBase64; // raw 32-byte Ed25519 key
        std::string websiteUrl;      // the download page when an item names none
        // The running AppImage, when the program runs as one; installs then
        // replace it.
        std::optional<std::string> appImagePath;
        int64_t maxDownloadBytes = int64_t{512} * 1024 * 1024;
        // How often the daily rule is looked at while the program runs, and
        // how long after start() it is looked at first: a check that is due
        // does not add its network stack to the program's start-up.
        std::chrono::milliseconds scheduleInterval = std::chrono::hours(1);
        std::chrono::milliseconds firstCheckDelay = std::chrono::minutes(1);
    };
    struct Hooks {
        // Starts the new program in place of this one and has the application
        // quit through its normal shutdown.
        std::function<void(const std::string& program)> restart;
        // Opens a web page in the desktop's browser.
        std::function<void(const std::string& url)> openUrl;
    };

    static constexpr const char* kLastCheckKey = "update_last_check";
    static constexpr const char* kSkippedVersionKey = "update_skipped_version";

    SorvaneUpdater(Config config, UserDefaults& defaults, UpdateFeedSource& feed,
                   UpdateDownloader& downloader, UpdatePrompt& prompt, MainQueue& mainQueue,
                   WallClock clock, Hooks hooks);
    ~SorvaneUpdater() override;

    void start(bool automaticChecks) override;
    void setAutomaticChecks(bool enabled) override;
    void checkForUpdates() override;

    // Runs an automatic check when they are on and one is due. Called at start,
    // then every scheduleInterval.
    void checkIfDue();

    bool checking() const { return m_checking; }
    bool installing() const { return m_installing; }

    // $APPIMAGE when it names a regular file by an absolute path.
    static std::optional<std::string> appImageFromEnvironment();
    // A temporary name beside `target` for the download that will replace it.
    static std::string temporaryPathBeside(const std::string& target);

private:
    void runCheck(bool userAsked);
    void feedArrived(FeedResult result);
    void answered(const AppcastItem& item, UpdateChoice choice, bool userAsked);
    void install(const AppcastItem& item, bool userAsked);
    void downloaded(const AppcastItem& item, const std::string& temp, DownloadResult result, bool userAsked);
    void refuse(const std::string& reason, bool userAsked);
    void scheduleNext(std::chrono::milliseconds delay);
    int64_t nowSeconds() const;

    Config m_config;
    UserDefaults& m_defaults;
    UpdateFeedSource& m_feed;
    UpdateDownloader& m_downloader;
    UpdatePrompt& m_prompt;
    MainQueue& m_mainQueue;
    WallClock m_clock;
    Hooks m_hooks;

    bool m_automatic = false;
    bool m_started = false;
    bool m_checking = false;
    bool m_userAsked = false; // the running check answers with a window
    bool m_installing = false;
    uint64_t m_scheduleGeneration = 0;
    Liveness m_liveness;
};

} // namespace sorvane

#include "update/SorvaneUpdater.h"

#include "base/Hex.h"
#include "base/Log.h"
#include "protocol/CryptoPrimitives.h"
#include "update/UpdateRules.h"
#include "update/UpdateSignature.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace sorvane {
namespace {

const char* const kErrorTitle = "Update Error!";

void removeQuietly(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

} // namespace

SorvaneUpdater::SorvaneUpdater(Config config, UserDefaults& defaults, UpdateFeedSource& feed,
                               UpdateDownloader& downloader, UpdatePrompt& prompt, MainQueue& mainQueue,
                               WallClock clock, Hooks hooks)
    : m_config(std::move(config)), m_defaults(defaults), m_feed(feed), m_downloader(downloader),
      m_prompt(prompt), m_mainQueue(mainQueue), m_clock(clock ? std::move(clock) : systemWallClock()),
      m_hooks(std::move(hooks)) {}

SorvaneUpdater::~SorvaneUpdater() { m_liveness.end(); }

int64_t SorvaneUpdater::nowSeconds() const {
    return std::chrono::duration_cast<std::chrono::seconds>(m_clock().time_since_epoch()).count();
}

void SorvaneUpdater::start(bool automaticChecks) {
    m_started = true;
    m_automatic = automaticChecks;
    scheduleNext(m_config.firstCheckDelay);
}

void SorvaneUpdater::setAutomaticChecks(bool enabled) {
    if (enabled == m_automatic)
        return;
    m_automatic = enabled;
    if (!m_started)
        return;
    checkIfDue();
    scheduleNext(m_config.scheduleInterval);
}

void SorvaneUpdater::scheduleNext(std::chrono::milliseconds delay) {
    const uint64_t generation = ++m_scheduleGeneration;
    if (!m_automatic)
        return;
    m_mainQueue.postDelayed(delay, [this, watch = m_liveness.watch(), generation] {
        if (!watch.alive() || generation != m_scheduleGeneration)
            return;
        checkIfDue();
        scheduleNext(m_config.scheduleInterval);
    });
}

void SorvaneUpdater::checkIfDue() {
    if (!m_automatic || m_checking || m_installing)
        return;
    if (!update::isAutomaticCheckDue(m_defaults.integer(kLastCheckKey), nowSeconds()))
        return;
    runCheck(false);
}

void SorvaneUpdater::checkForUpdates() {
    if (m_installing) {
        logLine("Sorvane: an update is being installed; the check waits for it");
        return;
    }
    if (m_checking) {
        // The check under way answers this request too.
        m_userAsked = true;
        return;
    }
    runCheck(true);
}

void SorvaneUpdater::runCheck(bool userAsked) {
    m_checking = true;
    m_userAsked = userAsked;
    m_defaults.set(kLastCheckKey, nowSeconds());
    m_feed.fetchFeed(m_config.feedUrl, [this, watch = m_liveness.watch()](FeedResult result) {
        if (watch.alive())
            feedArrived(std::move(result));
    });
}

void SorvaneUpdater::feedArrived(FeedResult result) {
    m_checking = false;
    const bool userAsked = m_userAsked;
    if (!result.ok) {
        logLine("Sorvane: update check failed: " + result.error);
        if (userAsked)
            m_prompt.inform({kErrorTitle,
                             "An error occurred in retrieving update information. Please try again later."});
        return;
    }
    const std::string skipped = m_defaults.string(kSkippedVersionKey).value_or("");
    const auto item = update::chooseUpdate(result.items, m_config.currentVersion, skipped);
    if (!item) {
        logLine("Sorvane: update check: " + m_config.currentVersion + " is the newest version");
        if (userAsked)
            m_prompt.inform({"You\u2019re up to date.", "Sorvane " + m_config.currentVersion +
                                                             " is currently the newest version available."});
        return;
    }
    logLine("Sorvane: update check: " + item->displayVersion() + " (" + item->version + ") is available");
    std::string notes = update::plainTextReleaseNotes(item->releaseNotes);
    if (notes.empty() && !item->releaseNotesLink.empty())
        notes = "Release notes: " + item->releaseNotesLink;
    const UpdateNotice notice{"A new version of Sorvane is available!",
                              "Sorvane " + item->displayVersion() + " is now available \u2014 you have " +
                                  m_config.currentVersion + ". Would you like to download it now?"};
    m_prompt.offer(notice, notes,
                   [this, watch = m_liveness.watch(), chosen = *item, userAsked](UpdateChoice choice) {
                       if (watch.alive())
                           answered(chosen, choice, userAsked);
                   });
}

void SorvaneUpdater::answered(const AppcastItem& item, UpdateChoice choice, bool userAsked) {
    switch (choice) {
    case UpdateChoice::install:
        install(item, userAsked);
        break;
    case UpdateChoice::remindLater:
        break;
    case UpdateChoice::skip:
        logLine("Sorvane: skipping version " + item.version);
        m_defaults.set(kSkippedVersionKey, item.version);
        break;
    }
}

std::optional<std::string> SorvaneUpdater::appImageFromEnvironment() {
    const char* path = std::getenv("APPIMAGE");
    std::error_code ec;
    if (path && path[0] == '/' && std::filesystem::is_regular_file(path, ec))
        return std::string(path);
    return std::nullopt;
}

std::string SorvaneUpdater::temporaryPathBeside(const std::string& target) {
    const std::filesystem::path path(target);
    return (path.parent_path() / ("." + path.filename().string() + ".update-" + Hex::encode(crypto::randomBytes(6))))
        .string();
}

void SorvaneUpdater::refuse(const std::string& reason, bool userAsked) {
    logLine("Sorvane: update not installed: " + reason);
    if (userAsked)
        m_prompt.inform({kErrorTitle, "The update could not be installed: " + reason + "."});
}

void SorvaneUpdater::install(const AppcastItem& item, bool userAsked) {
    if (m_installing)
        return;
    if (update::compareVersions(item.version, m_config.currentVersion) <= 0) {
        refuse("version " + item.version + " is not newer than " + m_config.currentVersion, userAsked);
        return;
    }
    if (!m_config.appImagePath) {
        const std::string page = !item.link.empty() ? item.link : m_config.websiteUrl;
        logLine("Sorvane: not running as an AppImage; opening " + page);
        if (m_hooks.openUrl)
            m_hooks.openUrl(page);
        return;
    }
    if (item.enclosureUrl.empty()) {
        refuse("the feed names no file to download", userAsked);
        return;
    }
    if (item.edSignature.empty()) {
        refuse("the update has no signature", userAsked);
        return;
    }
    const auto signature = update::decodeBase64(item.edSignature);
    if (!signature || signature->size() != 64) {
        refuse("the update's signature is malformed", userAsked);
        return;
    }
    if (item.enclosureLength <= 0) {
        refuse("the feed gives no length for the update", userAsked);
        return;
    }
    if (item.enclosureLength > m_config.maxDownloadBytes) {
        refuse("the update is larger than " + std::to_string(m_config.maxDownloadBytes) + " bytes", userAsked);
        return;
    }
    const std::string temp = temporaryPathBeside(*m_config.appImagePath);
    m_installing = true;
    logLine("Sorvane: downloading " + item.enclosureUrl);
    // One byte past the announced length is enough to know it is wrong.
    m_downloader.download(item.enclosureUrl, temp, item.enclosureLength + 1,
                          [this, watch = m_liveness.watch(), item, temp, userAsked](DownloadResult result) {
                              if (!watch.alive()) {
                                  removeQuietly(temp);
                                  return;
                              }
                              downloaded(item, temp, std::move(result), userAsked);
                          });
}

void SorvaneUpdater::downloaded(const AppcastItem& item, const std::string& temp, DownloadResult result,
                                bool userAsked) {
    m_installing = false;
    if (!result.ok) {
        removeQuietly(temp);
        refuse("the download failed: " + result.error, userAsked);
        return;
    }
    std::error_code ec;
    const auto size = std::filesystem::file_size(temp, ec);
    if (ec || static_cast<int64_t>(size) != item.enclosureLength) {
        removeQuietly(temp);
        refuse("the download has " + (ec ? std::string("an unknown number of") : std::to_string(size)) +
                   " bytes, the feed announced " + std::to_string(item.enclosureLength),
               userAsked);
        return;
    }
    if (const std::string bad = update::verifyFileSignature(temp, item.edSignature, m_config.publicKeyBase64);
        !bad.empty()) {
        removeQuietly(temp);
        refuse(bad, userAsked);
        return;
    }
    if (::chmod(temp.c_str(), 0755) != 0) {
        const std::string why = std::strerror(errno);
        removeQuietly(temp);
        refuse("cannot make the download executable: " + why, userAsked);
        return;
    }
    const std::string& target = *m_config.appImagePath;
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        removeQuietly(temp);
        refuse("cannot replace " + target + ": " + why, userAsked);
        return;
    }
    logLine("Sorvane: installed version " + item.version + " at " + target + "; restarting");
    if (m_hooks.restart)
        m_hooks.restart(target);
}

} // namespace sorvane

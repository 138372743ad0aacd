// What the updater needs from the network and the desktop: the appcast feed
// fetched and read, a file downloaded, and the update windows.
//
// Thread-safety: main thread only. Every handler runs later on the main thread,
// never before the call that started it returns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sorvane {

// One <item> of an appcast feed, as written in it; empty where it says nothing.
struct AppcastItem {
    std::string title;
    std::string version;            // sparkle:version: a build number or a dotted version
    std::string shortVersionString; // what users see; may be empty
    std::string releaseNotes;       // <description>, possibly HTML
    std::string releaseNotesLink;
    std::string link;               // the download page
    std::string pubDate;
    std::string enclosureUrl;
    int64_t enclosureLength = -1;   // -1 when missing or not a number
    std::string edSignature;        // base64, as written

    // The version shown to users.
    const std::string& displayVersion() const {
        return shortVersionString.empty() ? version : shortVersionString;
    }
};

struct FeedResult {
    bool ok = false;
    std::vector<AppcastItem> items;
    std::string error; // why it failed, for the log
};

struct DownloadResult {
    bool ok = false;
    int64_t bytes = 0;
    std::string error;
};

// Fetches and reads an appcast feed.
class UpdateFeedSource {
public:
    using Handler = std::function<void(FeedResult)>;
    virtual ~UpdateFeedSource() = default;
    virtual void fetchFeed(const std::string& url, Handler done) = 0;
};

// Downloads `url` into a new file at `destination` (which must not exist). The
// download stops as soon as it runs past `maxBytes`; on failure no file is left.
class UpdateDownloader {
public:
    using Handler = std::function<void(DownloadResult)>;
    virtual ~UpdateDownloader() = default;
    virtual void download(const std::string& url, const std::string& destination, int64_t maxBytes,
                          Handler done) = 0;
};

enum class UpdateChoice { install, remindLater, skip };

struct UpdateNotice {
    std::string title;
    std::string text;
};

// The update windows. Release notes arrive as plain text and are shown as such.
class UpdatePrompt {
public:
    virtual ~UpdatePrompt() = default;
    // Up to date, or an error: one button.
    virtual void inform(const UpdateNotice& notice) = 0;
    // A newer version: Install Update, Remind Me Later, Skip This Version.
    virtual void offer(const UpdateNotice& notice, const std::string& releaseNotes,
                       std::function<void(UpdateChoice)> answer) = 0;
};

} // namespace sorvane

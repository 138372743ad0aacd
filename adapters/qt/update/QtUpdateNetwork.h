// The updater's network side over Qt Network: the appcast feed fetched and
// read, and update files downloaded to disk.
//
// Only https is fetched; plain http only from this computer (127.0.0.1, ::1,
// localhost), and every redirect (at most five) is held to the same rule
// before it is followed. Sizes are capped while the bytes arrive, and a
// transfer that takes too long is abandoned: the feed has a time-out for the
// whole fetch, a download one for a pause in the data.
//
// Thread-safety: main thread only, with a Qt event loop running.
#pragma once

#include "ports/Updates.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QNetworkAccessManager;
class QObject;
class QUrl;

namespace sorvane {

class QtUpdateNetwork final : public UpdateFeedSource, public UpdateDownloader {
public:
    struct Options {
        std::chrono::milliseconds feedTimeout{30000};
        std::chrono::milliseconds downloadStallTimeout{60000};
        int64_t maxFeedBytes = 1024 * 1024;
        int maxRedirects = 5;
    };

    explicit QtUpdateNetwork(Options options);
    QtUpdateNetwork();
    ~QtUpdateNetwork() override;

    void fetchFeed(const std::string& url, UpdateFeedSource::Handler done) override;
    void download(const std::string& url, const std::string& destination, int64_t maxBytes,
                  UpdateDownloader::Handler done) override;

    // Empty when `url` may be fetched; otherwise why not.
    static std::string refusalFor(const QUrl& url);

private:
    struct Transfer;
    void begin(std::shared_ptr<Transfer> transfer, const std::string& url);
    void request(Transfer* transfer, const std::string& url);
    void finished(Transfer* transfer, std::string error);

    Options m_options;
    std::unique_ptr<QObject> m_context;
    QNetworkAccessManager& manager();
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::vector<std::shared_ptr<Transfer>> m_transfers;
};

} // namespace sorvane

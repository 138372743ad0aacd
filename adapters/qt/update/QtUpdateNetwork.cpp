#include "adapters/qt/update/QtUpdateNetwork.h"

#include "adapters/qt/update/AppcastParser.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

#include <algorithm>
#include <functional>

namespace sorvane {

// One fetch, followed through its redirects. Bytes of a 2xx answer go to
// `sink`, which returns why it cannot take them (or nothing).
struct QtUpdateNetwork::Transfer {
    std::string description;
    int redirectsLeft = 0;
    int64_t maxBytes = 0;
    int64_t received = 0;
    std::chrono::milliseconds timeout{0};
    bool timeoutIsIdle = false;
    std::function<std::string(const QByteArray&)> sink;
    std::function<void(const std::string& error)> complete;
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QTimer> timer;
    std::string pendingError;
    bool done = false;

    ~Transfer() { drop(); }

    void drop() {
        if (timer)
            timer->stop();
        if (QNetworkReply* r = reply.data()) {
            reply = nullptr;
            QObject::disconnect(r, nullptr, nullptr, nullptr);
            r->abort();
            r->deleteLater();
        }
    }
};

namespace {

bool isLoopbackHost(const QString& host) {
    if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

int statusOf(QNetworkReply* reply) {
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

QtUpdateNetwork::QtUpdateNetwork(Options options)
    : m_options(options), m_context(std::make_unique<QObject>()) {}

QNetworkAccessManager& QtUpdateNetwork::manager() {
    // Made on the first request: a program that never checks pays nothing.
    if (!m_manager) {
        m_manager = std::make_unique<QNetworkAccessManager>();
        m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    return *m_manager;
}

QtUpdateNetwork::QtUpdateNetwork() : QtUpdateNetwork(Options{}) {}

QtUpdateNetwork::~QtUpdateNetwork() {
    // Transfers end before the manager that made their replies.
    m_transfers.clear();
}

std::string QtUpdateNetwork::refusalFor(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty())
        return "not a valid address: " + url.toString().toStdString();
    const QString scheme = url.scheme().toLower();
    if (scheme == QStringLiteral("https"))
        return {};
    if (scheme == QStringLiteral("http")) {
        if (isLoopbackHost(url.host()))
            return {};
        return "plain http is refused for " + url.host().toStdString() + " (only https, or http to this computer)";
    }
    return "the scheme \"" + scheme.toStdString() + "\" is refused (only https)";
}

void QtUpdateNetwork::fetchFeed(const std::string& url, UpdateFeedSource::Handler done) {
    auto transfer = std::make_shared<Transfer>();
    auto body = std::make_shared<QByteArray>();
    transfer->description = "the feed";
    transfer->maxBytes = m_options.maxFeedBytes;
    transfer->timeout = m_options.feedTimeout;
    transfer->sink = [body](const QByteArray& chunk) {
        body->append(chunk);
        return std::string();
    };
    transfer->complete = [body, done = std::move(done)](const std::string& error) {
        if (!error.empty()) {
            FeedResult failed;
            failed.error = error;
            done(std::move(failed));
            return;
        }
        done(parseAppcast(*body));
    };
    begin(std::move(transfer), url);
}

void QtUpdateNetwork::download(const std::string& url, const std::string& destination, int64_t maxBytes,
                               UpdateDownloader::Handler done) {
    auto transfer = std::make_shared<Transfer>();
    auto file = std::make_shared<QFile>(QString::fromStdString(destination));
    transfer->description = "the download";
    transfer->maxBytes = maxBytes;
    transfer->timeout = m_options.downloadStallTimeout;
    transfer->timeoutIsIdle = true;
    auto written = std::make_shared<int64_t>(0);
    const bool opened = file->open(QIODevice::WriteOnly | QIODevice::NewOnly);
    const std::string openError = opened ? std::string()
                                         : "cannot create " + destination + ": " + file->errorString().toStdString();
    transfer->sink = [file, written](const QByteArray& chunk) {
        if (file->write(chunk) != chunk.size())
            return "cannot write " + file->fileName().toStdString() + ": " + file->errorString().toStdString();
        *written += chunk.size();
        return std::string();
    };
    transfer->complete = [file, written, opened, done = std::move(done)](const std::string& error) {
        DownloadResult result;
        result.error = error;
        if (error.empty()) {
            if (!file->flush() || ::fsync(file->handle()) != 0)
                result.error = "cannot write " + file->fileName().toStdString() + ": " +
                               file->errorString().toStdString();
        }
        file->close();
        if (!result.error.empty()) {
            if (opened)
                file->remove();
        } else {
            result.ok = true;
            result.bytes = *written;
        }
        done(std::move(result));
    };
    if (!opened) {
        m_transfers.push_back(transfer);
        finished(transfer.get(), openError);
        return;
    }
    begin(std::move(transfer), url);
}

void QtUpdateNetwork::begin(std::shared_ptr<Transfer> transfer, const std::string& url) {
    Transfer* t = transfer.get();
    t->redirectsLeft = m_options.maxRedirects;
    m_transfers.push_back(std::move(transfer));
    t->timer = std::make_unique<QTimer>();
    t->timer->setSingleShot(true);
    QObject::connect(t->timer.get(), &QTimer::timeout, m_context.get(), [this, t] {
        finished(t, t->description + (t->timeoutIsIdle ? " stalled: no data for " : " took longer than ") +
                        std::to_string(t->timeout.count()) + " ms");
    });
    t->timer->start(t->timeout);
    request(t, url);
}

void QtUpdateNetwork::request(Transfer* t, const std::string& url) {
    const QUrl target(QString::fromStdString(url));
    if (const std::string refused = refusalFor(target); !refused.empty()) {
        finished(t, refused);
        return;
    }
    QNetworkRequest get(target);
    get.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    get.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Sorvane"));
    QNetworkReply* reply = manager().get(get);
    t->reply = reply;
    QObject::connect(reply, &QNetworkReply::readyRead, m_context.get(), [this, t, reply] {
        if (t->done || t->reply != reply)
            return;
        const int status = statusOf(reply);
        const QByteArray chunk = reply->readAll();
        if (status < 200 || status > 299)
            return; // a redirect's or an error's body
        if (t->timeoutIsIdle)
            t->timer->start(t->timeout);
        t->received += chunk.size();
        if (t->received > t->maxBytes) {
            finished(t, t->description + " is larger than " + std::to_string(t->maxBytes) + " bytes");
            return;
        }
        if (std::string error = t->sink(chunk); !error.empty())
            finished(t, error);
    });
    QObject::connect(reply, &QNetworkReply::finished, m_context.get(), [this, t, reply] {
        if (t->done || t->reply != reply)
            return;
        const int status = statusOf(reply);
        if (status >= 300 && status <= 399) {
            const QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
            if (location.isEmpty()) {
                finished(t, "a redirect without a location from " + reply->url().toString().toStdString());
                return;
            }
            if (t->redirectsLeft <= 0) {
                finished(t, "more than " + std::to_string(m_options.maxRedirects) + " redirects from " +
                                reply->url().toString().toStdString());
                return;
            }
            --t->redirectsLeft;
            const QUrl next = reply->url().resolved(location);
            QObject::disconnect(reply, nullptr, nullptr, nullptr);
            reply->deleteLater();
            t->reply = nullptr;
            QTimer::singleShot(0, m_context.get(), [this, t, next] {
                if (!t->done)
                    request(t, next.toString().toStdString());
            });
            return;
        }
        if (reply->error() != QNetworkReply::NoError || status < 200 || status > 299) {
            finished(t, "fetching " + reply->url().toString().toStdString() + " failed: " +
                            (status ? "HTTP " + std::to_string(status) : reply->errorString().toStdString()));
            return;
        }
        finished(t, {});
    });
}

void QtUpdateNetwork::finished(Transfer* t, std::string error) {
    if (t->done)
        return;
    t->done = true;
    t->drop();
    // The handler runs from the event loop, never inside the call that
    // started the transfer or inside a reply's signal.
    QTimer::singleShot(0, m_context.get(), [this, t, error = std::move(error)] {
        auto it = std::find_if(m_transfers.begin(), m_transfers.end(),
                               [t](const auto& owned) { return owned.get() == t; });
        if (it == m_transfers.end())
            return;
        std::shared_ptr<Transfer> keep = *it;
        m_transfers.erase(it);
        keep->complete(error);
    });
}

} // namespace sorvane

// The updater with its Qt network side against a small HTTP server the test
// runs on 127.0.0.1: the feed read and the answer given, the network rules
// (time-out, size cap, redirects, plain http), the once-a-day rule with a
// hand-set clock, skipping a version, and the AppImage replaced by a signed
// download, or left alone when the download is refused.
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/update/QtUpdateNetwork.h"
#include "protocol/CryptoPrimitives.h"
#include "store/UserDefaultsFile.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"
#include "update/SorvaneUpdater.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

using namespace sorvane;
namespace fs = std::filesystem;

namespace {

// A tiny HTTP/1.0 server: one answer per path, the connection closed after it.
class TinyHttpServer {
public:
    struct Answer {
        int status = 200;
        QByteArray body{};
        QByteArray location{}; // for 3xx
        bool silent = false;   // never answers
    };

    explicit TinyHttpServer(const QHostAddress& address = QHostAddress::LocalHost) {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                ++m_connections;
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                    buffer->append(socket->readAll());
                    if (!buffer->contains("\r\n\r\n"))
                        return;
                    const QByteArray path = buffer->split(' ').value(1);
                    buffer->clear();
                    ++m_requests[path.toStdString()];
                    answer(socket, path);
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        if (!m_server.listen(address, 0))
            throw std::runtime_error("cannot listen");
    }

    void set(const std::string& path, Answer answer) { m_answers[path] = std::move(answer); }
    std::string url(const std::string& path, const QString& host = QStringLiteral("127.0.0.1")) const {
        return "http://" + host.toStdString() + ":" + std::to_string(m_server.serverPort()) + path;
    }
    int requests(const std::string& path) const {
        return m_requests.count(path) ? m_requests.at(path) : 0;
    }
    int connections() const { return m_connections; }

private:
    void answer(QTcpSocket* socket, const QByteArray& path) {
        auto it = m_answers.find(path.toStdString());
        const Answer a = it == m_answers.end() ? Answer{404} : it->second;
        if (a.silent)
            return;
        QByteArray head = "HTTP/1.0 " + QByteArray::number(a.status) + " X\r\n";
        if (!a.location.isEmpty())
            head += "Location: " + a.location + "\r\n";
        head += "Content-Length: " + QByteArray::number(a.body.size()) + "\r\n\r\n";
        socket->write(head + a.body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    std::map<std::string, Answer> m_answers;
    std::map<std::string, int> m_requests;
    int m_connections = 0;
};

class RecordingPrompt final : public UpdatePrompt {
public:
    void inform(const UpdateNotice& notice) override { notices.push_back(notice); }
    void offer(const UpdateNotice& notice, const std::string& releaseNotes,
               std::function<void(UpdateChoice)> answer) override {
        notices.push_back(notice);
        notes = releaseNotes;
        if (reply)
            answer(*reply);
    }
    std::vector<UpdateNotice> notices;
    std::string notes;
    std::optional<UpdateChoice> reply; // given at once when set
};

QByteArray base64(ByteView bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())).toBase64();
}

struct FeedItem {
    std::string version;
    std::string shortVersion{};
    std::string url{};
    int64_t length = -1;
    std::string signature{};
    std::string notes{};
};

QByteArray feedOf(const std::vector<FeedItem>& items) {
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><title>Sorvane</title>";
    for (const auto& i : items) {
        out << "<item><title>Version " << i.version << "</title>"
            << "<sparkle:version>" << i.version << "</sparkle:version>";
        if (!i.shortVersion.empty())
            out << "<sparkle:shortVersionString>" << i.shortVersion << "</sparkle:shortVersionString>";
        out << "<description><![CDATA[" << i.notes << "]]></description>"
            << "<link>https://sorvane.org/download/" << i.version << "</link>"
            << "<pubDate>Mon, 07 Dec 2026 10:00:00 +0000</pubDate>";
        if (!i.url.empty()) {
            out << "<enclosure url=\"" << i.url << "\" type=\"application/octet-stream\"";
            if (i.length >= 0)
                out << " length=\"" << i.length << "\"";
            if (!i.signature.empty())
                out << " sparkle:edSignature=\"" << i.signature << "\"";
            out << "/>";
        }
        out << "</item>";
    }
    out << "</channel></rss>";
    return QByteArray::fromStdString(out.str());
}

std::string readFile(const fs::path& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

class UpdaterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "qt_update_tests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
    }

    // The updater under test; `options` for the network side.
    SorvaneUpdater& makeUpdater(QtUpdateNetwork::Options options = {},
                                std::optional<std::string> appImage = std::nullopt) {
        network = std::make_unique<QtUpdateNetwork>(options);
        SorvaneUpdater::Config config;
        config.feedUrl = server.url("/appcast.xml");
        config.currentVersion = "1.2.0";
        config.publicKeyBase64 = base64(key.publicKey().raw()).toStdString();
        config.websiteUrl = "https://sorvane.org";
        config.appImagePath = std::move(appImage);
        config.firstCheckDelay = std::chrono::milliseconds(50);
        SorvaneUpdater::Hooks hooks;
        hooks.restart = [this](const std::string& program) { restarted.push_back(program); };
        hooks.openUrl = [this](const std::string& url) { opened.push_back(url); };
        updater = std::make_unique<SorvaneUpdater>(
            std::move(config), defaults, *network, *network, prompt, queue, [this] { return now; },
            std::move(hooks));
        return *updater;
    }

    bool waitForNotices(size_t n) {
        return QTest::qWaitFor([&] { return prompt.notices.size() >= n; }, 10000);
    }
    bool waitUntilIdle() {
        return QTest::qWaitFor([&] { return !updater->checking() && !updater->installing(); }, 10000);
    }

    sorvane::testing::TempDir dir;
    sorvane::testing::LogCapture log;
    TinyHttpServer server;
    QtMainQueue queue;
    UserDefaultsFile defaults{dir.path() / "defaults.json"};
    std::unique_ptr<QtUpdateNetwork> network;
    RecordingPrompt prompt;
    std::unique_ptr<SorvaneUpdater> updater;
    std::vector<std::string> restarted;
    std::vector<std::string> opened;
    std::chrono::system_clock::time_point now{std::chrono::seconds(1'800'000'000)};
    crypto::Ed25519PrivateKey key = crypto::Ed25519PrivateKey::generate();
};

// --- Checks and their answers ----------------------------------------------

TEST_F(UpdaterTest, ManualCheckOffersANewerVersionWithPlainTextNotes) {
    server.set("/appcast.xml",
               {200, feedOf({{.version = "1.1.0", .notes = "old"},
                             {.version = "1.3.0",
                              .shortVersion = "1.3",
                              .notes = "<h1>New</h1><ul><li>Faster <b>sync</b></li></ul>"},
                             {.version = "1.2.5", .notes = "middle"}})});
    makeUpdater().checkForUpdates();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(prompt.notices[0].title, "A new version of Sorvane is available!");
    EXPECT_EQ(prompt.notices[0].text,
              "Sorvane 1.3 is now available \u2014 you have 1.2.0. Would you like to download it now?");
    EXPECT_EQ(prompt.notes, "New\n\n\u2022 Faster sync");
    EXPECT_EQ(defaults.integer(SorvaneUpdater::kLastCheckKey), 1'800'000'000);
}

// Nothing newer, or a feed that cannot be read: a check the user asked for
// always answers, after one request. A failure shows the error and logs why.
TEST_F(UpdaterTest, ManualCheckSaysUpToDateOrShowsTheErrorAndLogsWhy) {
    const std::pair<std::string, std::string> upToDate{
        "You\u2019re up to date.", "Sorvane 1.2.0 is currently the newest version available."};
    const std::pair<std::string, std::string> failed{
        "Update Error!",
        "An error occurred in retrieving update information. Please try again later."};
    const std::vector<std::pair<TinyHttpServer::Answer, const char*>> cases = {
        {{200, feedOf({{"1.2.0"}})}, nullptr},
        {{200, feedOf({{"1.1.9"}})}, nullptr},
        {{200, "<rss><channel><item><title>x</item></rss>"}, "malformed XML"},
        {{200, "<html><body>hello</body></html>"}, "not RSS"},
        {{200, "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaa\">]><rss>&a;</rss>"},
         "DTD"},
        {{200, QByteArray(1024 * 1024 + 1, 'x')}, "larger than 1048576 bytes"},
        {{500, "oops"}, "HTTP 500"},
        {{302, {}, "http://192.0.2.77/appcast.xml"}, "plain http is refused for 192.0.2.77"},
        {{.silent = true}, "the feed took longer than 300 ms"},
    };
    for (const auto& [answer, logged] : cases) {
        SCOPED_TRACE(logged ? logged : answer.body.left(80).toStdString());
        prompt.notices.clear();
        log.clear();
        const int before = server.requests("/appcast.xml");
        server.set("/appcast.xml", answer);
        QtUpdateNetwork::Options options;
        if (answer.silent)
            options.feedTimeout = std::chrono::milliseconds(300);
        makeUpdater(options).checkForUpdates();
        ASSERT_TRUE(waitForNotices(1));
        EXPECT_EQ(std::pair(prompt.notices[0].title, prompt.notices[0].text),
                  logged ? failed : upToDate);
        EXPECT_TRUE(!logged || log.contains(logged));
        EXPECT_EQ(server.requests("/appcast.xml") - before, 1);
    }
}

TEST_F(UpdaterTest, RedirectsAreFollowedUpToFiveAndALoopFails) {
    server.set("/appcast.xml", {302, {}, "/hop1"});
    server.set("/hop1", {301, {}, QByteArray::fromStdString(server.url("/final.xml"))});
    server.set("/final.xml", {200, feedOf({{"2.0"}})});
    makeUpdater().checkForUpdates();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(prompt.notices[0].title, "A new version of Sorvane is available!");

    prompt.notices.clear();
    const int before = server.requests("/appcast.xml");
    server.set("/appcast.xml", {302, {}, "/loop"});
    server.set("/loop", {302, {}, "/appcast.xml"});
    makeUpdater().checkForUpdates();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(prompt.notices[0].title, "Update Error!");
    EXPECT_TRUE(log.contains("more than 5 redirects"));
    EXPECT_EQ(server.requests("/appcast.xml") - before + server.requests("/loop"), 1 + 5); // the first and five redirects
}

// A feed at this machine's own non-loopback address is refused before any
// connection (a redirect to plain http elsewhere is refused among the checks above).
TEST_F(UpdaterTest, PlainHttpToAnotherComputerIsRefusedWithoutConnecting) {
    QHostAddress outside;
    for (const auto& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            outside = address;
    if (outside.isNull())
        GTEST_SKIP() << "no non-loopback IPv4 address on this machine";
    TinyHttpServer elsewhere(QHostAddress::AnyIPv4);
    elsewhere.set("/appcast.xml", {200, feedOf({{"9.0"}})});
    QtUpdateNetwork direct;
    FeedResult result;
    bool done = false;
    direct.fetchFeed(elsewhere.url("/appcast.xml", outside.toString()), [&](FeedResult r) {
        result = std::move(r);
        done = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 10000));
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("plain http is refused"), std::string::npos);
    QTest::qWait(50); // room for a connection that must not come
    EXPECT_EQ(elsewhere.connections(), 0);
}

// --- Automatic checks ------------------------------------------------------

TEST_F(UpdaterTest, AutomaticChecksRunAtMostOnceADayAndShowOnlyANewerVersion) {
    server.set("/appcast.xml", {200, feedOf({{"1.2.0"}})});
    auto& u = makeUpdater();
    u.start(true);
    EXPECT_FALSE(u.checking()) << "start-up does not wait for the network";
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests("/appcast.xml") == 1; }, 10000));
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_TRUE(prompt.notices.empty()); // silent: nothing newer

    now += std::chrono::hours(23);
    u.checkIfDue();
    EXPECT_FALSE(u.checking());
    now += std::chrono::hours(1);
    u.checkIfDue();
    EXPECT_TRUE(u.checking());
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(server.requests("/appcast.xml"), 2);
    EXPECT_EQ(defaults.integer(SorvaneUpdater::kLastCheckKey), 1'800'000'000 + 24 * 3600);

    // A failure is only logged; a newer version is the one thing an automatic
    // check shows.
    server.set("/appcast.xml", {200, "not xml"});
    now += std::chrono::hours(24);
    u.checkIfDue();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.contains("update check failed"); }, 10000));
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_TRUE(prompt.notices.empty());
    server.set("/appcast.xml", {200, feedOf({{"1.4.0"}})});
    now += std::chrono::hours(25);
    u.checkIfDue();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(prompt.notices[0].title, "A new version of Sorvane is available!");
}

TEST_F(UpdaterTest, WithAutomaticChecksOffOnlyTheManualCheckRunsAndAnswers) {
    server.set("/appcast.xml", {200, feedOf({{"1.2.0"}})});
    auto& u = makeUpdater();
    u.start(false);
    now += std::chrono::hours(100);
    u.checkIfDue();
    EXPECT_FALSE(u.checking());
    EXPECT_EQ(server.requests("/appcast.xml"), 0);
    u.checkForUpdates();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(prompt.notices[0].title, "You\u2019re up to date.");

    // Turned on later: the manual check just now counts, so none is due yet.
    u.setAutomaticChecks(true);
    EXPECT_FALSE(u.checking());
    now += std::chrono::hours(24);
    u.setAutomaticChecks(false);
    u.setAutomaticChecks(true);
    EXPECT_TRUE(u.checking());
    ASSERT_TRUE(waitUntilIdle());
}

TEST_F(UpdaterTest, SkipThisVersionIsRemembered) {
    server.set("/appcast.xml", {200, feedOf({{"1.3.0"}})});
    prompt.reply = UpdateChoice::skip;
    auto& u = makeUpdater();
    u.checkForUpdates();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(defaults.string(SorvaneUpdater::kSkippedVersionKey), "1.3.0");
    ASSERT_TRUE(waitUntilIdle());
    u.checkForUpdates();
    ASSERT_TRUE(waitForNotices(2));
    EXPECT_EQ(prompt.notices[1].title, "You\u2019re up to date.");

    // A still newer version is offered again.
    server.set("/appcast.xml", {200, feedOf({{"1.3.0"}, {"1.3.1"}})});
    prompt.reply = UpdateChoice::remindLater;
    u.checkForUpdates();
    ASSERT_TRUE(waitForNotices(3));
    EXPECT_EQ(prompt.notices[2].text,
              "Sorvane 1.3.1 is now available \u2014 you have 1.2.0. Would you like to download it now?");
    EXPECT_EQ(defaults.string(SorvaneUpdater::kSkippedVersionKey), "1.3.0");
}

TEST_F(UpdaterTest, OutsideAnAppImageInstallOpensTheDownloadPage) {
    server.set("/appcast.xml", {200, feedOf({{"1.3.0"}})});
    prompt.reply = UpdateChoice::install;
    makeUpdater().checkForUpdates();
    ASSERT_TRUE(waitForNotices(1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !opened.empty(); }, 10000));
    EXPECT_EQ(opened, std::vector<std::string>{"https://sorvane.org/download/1.3.0"});
    EXPECT_TRUE(restarted.empty());
}

// --- Installing over an AppImage -----------------------------------------------

class AppImageInstallTest : public UpdaterTest {
protected:
    void SetUp() override {
        appImage = dir.path() / "apps" / "Sorvane.AppImage";
        fs::create_directories(appImage.parent_path());
        std::ofstream(appImage) << oldContent;
        fs::permissions(appImage, fs::perms(0755));
        ::setenv("APPIMAGE", appImage.c_str(), 1);
        server.set(kDownload, {200, QByteArray::fromStdString(newContent)});
        prompt.reply = UpdateChoice::install;
    }
    void TearDown() override { ::unsetenv("APPIMAGE"); }

    // Offers 1.3.0 with `signature` and `length`, answers Install, waits for the outcome.
    void installWith(const std::string& signature, int64_t length) {
        server.set(
            "/appcast.xml",
            {200, feedOf({{"1.3.0", "", server.url(kDownload), length, signature, "notes"}})});
        auto& u = makeUpdater({}, SorvaneUpdater::appImageFromEnvironment());
        u.checkForUpdates();
        ASSERT_TRUE(waitForNotices(1));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !restarted.empty() || prompt.notices.size() >= 2; }, 10000));
    }
    std::string signatureBy(const crypto::Ed25519PrivateKey& signer) const {
        return base64(signer.sign(asBytes(newContent))).toStdString();
    }
    int64_t goodLength() const { return static_cast<int64_t>(newContent.size()); }
    size_t filesBesideTheAppImage() const {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(appImage.parent_path()), {}));
    }

    static constexpr const char* kDownload = "/Sorvane-1.3.0.AppImage";
    fs::path appImage;
    std::string oldContent = "#!/bin/sh\necho 'Sorvane 1.2.0'\n";
    std::string newContent = "#!/bin/sh\necho 'Sorvane 1.3.0'\n" + std::string(200000, '#') + "\n";
};

TEST_F(AppImageInstallTest, ASignedDownloadReplacesTheAppImageAndRestarts) {
    ASSERT_EQ(SorvaneUpdater::appImageFromEnvironment(), appImage.string());
    installWith(signatureBy(key), goodLength());
    ASSERT_EQ(restarted, std::vector<std::string>{appImage.string()});
    EXPECT_EQ(prompt.notices.size(), 1u);
    EXPECT_EQ(readFile(appImage), newContent);
    EXPECT_EQ(fs::status(appImage).permissions(), fs::perms(0755));
    EXPECT_EQ(filesBesideTheAppImage(), 1u);
    EXPECT_EQ(server.requests(kDownload), 1);
}

// Whatever is wrong with the download, the AppImage is left as it was with no
// temporary beside it, the user sees the error and one line says why. Without
// a usable signature nothing is downloaded at all.
TEST_F(AppImageInstallTest, ARefusedDownloadLeavesTheAppImageAlone) {
    const std::string good = signatureBy(key), longer = std::to_string(goodLength() + 10);
    struct Case {
        std::string signature;
        int64_t length;
        int status;
        std::string logged;
        int downloads;
    };
    for (const auto& c : {Case{signatureBy(crypto::Ed25519PrivateKey::generate()), goodLength(),
                               200, "signature does not match", 1},
                          Case{"", goodLength(), 200, "has no signature", 0},
                          Case{"c2hvcnQ=", goodLength(), 200, "signature is malformed", 0},
                          Case{good, goodLength() + 10, 200, "the feed announced " + longer, 1},
                          Case{good, goodLength() - 10, 200, "larger than", 1},
                          Case{good, goodLength(), 404, "HTTP 404", 1}}) {
        SCOPED_TRACE(c.logged);
        prompt.notices.clear();
        log.clear();
        const int before = server.requests(kDownload);
        server.set(kDownload,
                   {c.status, QByteArray::fromStdString(c.status == 200 ? newContent : "gone")});
        installWith(c.signature, c.length);
        EXPECT_TRUE(restarted.empty());
        EXPECT_EQ(readFile(appImage), oldContent);
        EXPECT_EQ(filesBesideTheAppImage(), 1u) << "a temporary file was left";
        ASSERT_EQ(prompt.notices.size(), 2u);
        EXPECT_EQ(prompt.notices[1].title, "Update Error!");
        EXPECT_EQ(log.count("update not installed"), 1u);
        EXPECT_TRUE(log.contains(c.logged));
        EXPECT_EQ(server.requests(kDownload) - before, c.downloads);
    }
}

} // namespace

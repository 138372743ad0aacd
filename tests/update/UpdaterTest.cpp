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
#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>

using namespace sorvane;
namespace fs = std::filesystem;

namespace {

void ensureApplication() {
    static int argc = 1;
    static char name[] = "qt_update_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

// A tiny HTTP/1.0 server: one answer per path, the connection closed after it.
class TinyHttpServer {
public:
    struct Answer {
        Answer() = default;
        Answer(int s, QByteArray b, QByteArray l = {}, bool quiet = false)
            : status(s), body(std::move(b)), location(std::move(l)), silent(quiet) {}
        int status = 200;
        QByteArray body;
        QByteArray location; // for 3xx
        bool silent = false; // never answers
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
        auto it = m_requests.find(path);
        return it == m_requests.end() ? 0 : it->second;
    }
    int connections() const { return m_connections; }

private:
    void answer(QTcpSocket* socket, const QByteArray& path) {
        auto it = m_answers.find(path.toStdString());
        if (it == m_answers.end()) {
            socket->write("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        const Answer& a = it->second;
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
    std::string shortVersion;
    std::string url;
    int64_t length = -1;
    std::string signature;
    std::string notes;
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
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll().toStdString();
}

class UpdaterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ensureApplication(); }

    void SetUp() override {
        defaults = std::make_unique<UserDefaultsFile>(dir.path() / "defaults.json");
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
        updater = std::make_unique<SorvaneUpdater>(std::move(config), *defaults, *network, *network, prompt, queue,
                                                   [this] { return now; }, std::move(hooks));
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
    std::unique_ptr<UserDefaultsFile> defaults;
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
               {200, feedOf({{"1.1.0", "", "", -1, "", "old"},
                             {"1.3.0", "1.3", "", -1, "", "<h1>New</h1><ul><li>Faster <b>sync</b></li></ul>"},
                             {"1.2.5", "", "", -1, "", "middle"}})});
    makeUpdater().checkForUpdates();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(prompt.notices[0].title, "A new version of Sorvane is available!");
    EXPECT_EQ(prompt.notices[0].text,
              "Sorvane 1.3 is now available \u2014 you have 1.2.0. Would you like to download it now?");
    EXPECT_EQ(prompt.notes, "New\n\n\u2022 Faster sync");
    EXPECT_EQ(defaults->integer(SorvaneUpdater::kLastCheckKey), 1'800'000'000);
}

TEST_F(UpdaterTest, ManualCheckWithEqualOrOlderVersionsSaysUpToDate) {
    for (const char* version : {"1.2.0", "1.1.9"}) {
        prompt.notices.clear();
        server.set("/appcast.xml", {200, feedOf({{version, "", "", -1, "", ""}})});
        makeUpdater().checkForUpdates();
        ASSERT_TRUE(waitForNotices(1)) << version;
        EXPECT_EQ(prompt.notices[0].title, "You\u2019re up to date.");
        EXPECT_EQ(prompt.notices[0].text, "Sorvane 1.2.0 is currently the newest version available.");
    }
}

TEST_F(UpdaterTest, UnreadableFeedsAnswerWithTheErrorAndLogTheReason) {
    const std::string errorTitle = "Update Error!";
    struct Case {
        const char* name;
        TinyHttpServer::Answer answer;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"malformed", {200, "<rss><channel><item><title>x</item></rss>"}, "malformed XML"},
        {"not rss", {200, "<html><body>hello</body></html>"}, "not RSS"},
        {"dtd", {200, "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaa\">]><rss>&a;</rss>"}, "DTD"},
        {"oversized", {200, QByteArray(1024 * 1024 + 1, 'x')}, "larger than 1048576 bytes"},
        {"http error", {500, "oops"}, "HTTP 500"},
    };
    for (const auto& c : cases) {
        prompt.notices.clear();
        server.set("/appcast.xml", c.answer);
        makeUpdater().checkForUpdates();
        ASSERT_TRUE(waitForNotices(1)) << c.name;
        EXPECT_EQ(prompt.notices[0].title, errorTitle) << c.name;
        EXPECT_EQ(prompt.notices[0].text,
                  "An error occurred in retrieving update information. Please try again later.");
        EXPECT_TRUE(log.contains(c.logged)) << c.name;
    }
}

TEST_F(UpdaterTest, ASilentServerRunsIntoTheTimeOut) {
    server.set("/appcast.xml", {200, {}, {}, true});
    QtUpdateNetwork::Options options;
    options.feedTimeout = std::chrono::milliseconds(300);
    makeUpdater(options).checkForUpdates();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(prompt.notices[0].title, "Update Error!");
    EXPECT_TRUE(log.contains("the feed took longer than 300 ms"));
    EXPECT_EQ(server.requests("/appcast.xml"), 1);
}

TEST_F(UpdaterTest, RedirectsAreFollowedUpToFiveAndALoopFails) {
    server.set("/appcast.xml", {302, {}, "/hop1"});
    server.set("/hop1", {301, {}, QByteArray::fromStdString(server.url("/final.xml"))});
    server.set("/final.xml", {200, feedOf({{"2.0", "", "", -1, "", ""}})});
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

TEST_F(UpdaterTest, PlainHttpToAnotherComputerIsRefusedWithoutConnecting) {
    // A redirect from this computer to plain http elsewhere.
    server.set("/appcast.xml", {302, {}, "http://192.0.2.77/appcast.xml"});
    makeUpdater().checkForUpdates();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(prompt.notices[0].title, "Update Error!");
    EXPECT_TRUE(log.contains("plain http is refused for 192.0.2.77"));

    // A feed at this machine's own non-loopback address: refused before any connection.
    QHostAddress outside;
    for (const auto& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            outside = address;
    if (outside.isNull())
        GTEST_SKIP() << "no non-loopback IPv4 address on this machine";
    TinyHttpServer elsewhere(QHostAddress::AnyIPv4);
    elsewhere.set("/appcast.xml", {200, feedOf({{"9.0", "", "", -1, "", ""}})});
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

TEST_F(UpdaterTest, AutomaticChecksRunAtMostOnceADayAndStaySilentWhenUpToDate) {
    server.set("/appcast.xml", {200, feedOf({{"1.2.0", "", "", -1, "", ""}})});
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
    EXPECT_EQ(defaults->integer(SorvaneUpdater::kLastCheckKey), 1'800'000'000 + 24 * 3600);

    // A newer version is the one thing an automatic check shows.
    server.set("/appcast.xml", {200, feedOf({{"1.4.0", "", "", -1, "", ""}})});
    now += std::chrono::hours(25);
    u.checkIfDue();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(prompt.notices[0].title, "A new version of Sorvane is available!");
}

TEST_F(UpdaterTest, AutomaticCheckFailureIsOnlyLogged) {
    server.set("/appcast.xml", {200, "not xml"});
    makeUpdater().start(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.contains("update check failed"); }, 10000));
    EXPECT_TRUE(prompt.notices.empty());
}

TEST_F(UpdaterTest, WithAutomaticChecksOffOnlyTheManualCheckRunsAndAnswers) {
    server.set("/appcast.xml", {200, feedOf({{"1.2.0", "", "", -1, "", ""}})});
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
    server.set("/appcast.xml", {200, feedOf({{"1.3.0", "", "", -1, "", ""}})});
    prompt.reply = UpdateChoice::skip;
    auto& u = makeUpdater();
    u.checkForUpdates();
    ASSERT_TRUE(waitForNotices(1));
    EXPECT_EQ(defaults->string(SorvaneUpdater::kSkippedVersionKey), "1.3.0");
    ASSERT_TRUE(waitUntilIdle());
    u.checkForUpdates();
    ASSERT_TRUE(waitForNotices(2));
    EXPECT_EQ(prompt.notices[1].title, "You\u2019re up to date.");

    // A still newer version is offered again.
    server.set("/appcast.xml", {200, feedOf({{"1.3.0", "", "", -1, "", ""}, {"1.3.1", "", "", -1, "", ""}})});
    prompt.reply = UpdateChoice::remindLater;
    u.checkForUpdates();
    ASSERT_TRUE(waitForNotices(3));
    EXPECT_EQ(prompt.notices[2].text,
              "Sorvane 1.3.1 is now available \u2014 you have 1.2.0. Would you like to download it now?");
    EXPECT_EQ(defaults->string(SorvaneUpdater::kSkippedVersionKey), "1.3.0");
}

TEST_F(UpdaterTest, OutsideAnAppImageInstallOpensTheDownloadPage) {
    server.set("/appcast.xml", {200, feedOf({{"1.3.0", "", "", -1, "", ""}})});
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
        UpdaterTest::SetUp();
        appImage = dir.path() / "apps" / "Sorvane.AppImage";
        fs::create_directories(appImage.parent_path());
        std::ofstream(appImage) << oldContent;
        fs::permissions(appImage, fs::perms(0755));
        ::setenv("APPIMAGE", appImage.c_str(), 1);
        newContent = "#!/bin/sh\necho 'Sorvane 1.3.0'\n" + std::string(200000, '#') + "\n";
        server.set("/Sorvane-1.3.0.AppImage", {200, QByteArray::fromStdString(newContent)});
        prompt.reply = UpdateChoice::install;
    }
    void TearDown() override { ::unsetenv("APPIMAGE"); }

    // Offers 1.3.0 with `signature` and `length`, answers Install, waits for the outcome.
    void installWith(const std::string& signature, int64_t length) {
        server.set("/appcast.xml", {200, feedOf({{"1.3.0", "", server.url("/Sorvane-1.3.0.AppImage"), length,
                                                   signature, "notes"}})});
        auto& u = makeUpdater({}, SorvaneUpdater::appImageFromEnvironment());
        u.checkForUpdates();
        ASSERT_TRUE(waitForNotices(1));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !restarted.empty() || prompt.notices.size() >= 2; }, 10000));
    }
    std::string goodSignature() const { return base64(key.sign(asBytes(newContent))).toStdString(); }
    int64_t goodLength() const { return static_cast<int64_t>(newContent.size()); }

    void expectUntouched(const std::string& logged) {
        EXPECT_TRUE(restarted.empty());
        EXPECT_EQ(readFile(appImage), oldContent);
        EXPECT_EQ(std::distance(fs::directory_iterator(appImage.parent_path()), fs::directory_iterator{}), 1)
            << "a temporary file was left";
        ASSERT_EQ(prompt.notices.size(), 2u);
        EXPECT_EQ(prompt.notices[1].title, "Update Error!");
        EXPECT_EQ(log.count("update not installed"), 1u);
        EXPECT_TRUE(log.contains(logged)) << logged;
    }

    fs::path appImage;
    std::string oldContent = "#!/bin/sh\necho 'Sorvane 1.2.0'\n";
    std::string newContent;
};

TEST_F(AppImageInstallTest, ASignedDownloadReplacesTheAppImageAndRestarts) {
    ASSERT_EQ(SorvaneUpdater::appImageFromEnvironment(), appImage.string());
    installWith(goodSignature(), goodLength());
    ASSERT_EQ(restarted, std::vector<std::string>{appImage.string()});
    EXPECT_EQ(prompt.notices.size(), 1u);
    EXPECT_EQ(readFile(appImage), newContent);
    struct stat st {};
    ASSERT_EQ(::stat(appImage.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(std::distance(fs::directory_iterator(appImage.parent_path()), fs::directory_iterator{}), 1);
    EXPECT_EQ(server.requests("/Sorvane-1.3.0.AppImage"), 1);
}

TEST_F(AppImageInstallTest, AWrongSignatureLeavesTheAppImageAlone) {
    const auto stranger = crypto::Ed25519PrivateKey::generate();
    installWith(base64(stranger.sign(asBytes(newContent))).toStdString(), goodLength());
    expectUntouched("signature does not match");
}

TEST_F(AppImageInstallTest, AMissingSignatureIsRefusedBeforeDownloading) {
    installWith("", goodLength());
    expectUntouched("has no signature");
    EXPECT_EQ(server.requests("/Sorvane-1.3.0.AppImage"), 0);
}

TEST_F(AppImageInstallTest, AMalformedSignatureIsRefusedBeforeDownloading) {
    installWith("c2hvcnQ=", goodLength());
    expectUntouched("signature is malformed");
    EXPECT_EQ(server.requests("/Sorvane-1.3.0.AppImage"), 0);
}

TEST_F(AppImageInstallTest, AShorterDownloadThanAnnouncedIsRefused) {
    installWith(goodSignature(), goodLength() + 10);
    expectUntouched("the feed announced " + std::to_string(goodLength() + 10));
}

TEST_F(AppImageInstallTest, ALongerDownloadThanAnnouncedIsCutOffAndRefused) {
    installWith(goodSignature(), goodLength() - 10);
    expectUntouched("larger than");
}

TEST_F(AppImageInstallTest, AFailedDownloadLeavesNoTemporaryFile) {
    server.set("/Sorvane-1.3.0.AppImage", {404, "gone"});
    installWith(goodSignature(), goodLength());
    expectUntouched("HTTP 404");
}

} // namespace

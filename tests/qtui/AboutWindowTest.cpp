// The About window as a user meets it: one window, brought back to the front or opened anew after
// Ctrl+W; its title, size and words; the URLs its links ask the desktop to open, by mouse and
// keyboard; light or dark read from its pixels. Offscreen, and with --x11 on Xvfb with openbox.
#include "adapters/qt/ui/AboutView.h"
#include "adapters/qt/ui/AboutWindow.h"
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/PanelStyle.h"
#include "qtui/QtUiTestEnv.h"

#include <QApplication>
#include <QDate>
#include <QDesktopServices>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace sorvane::testing {

using Urls = std::vector<std::string>;

// Takes the URLs the window asks the desktop to open, for as long as it lives.
class UrlCatcher final : public QObject {
    Q_OBJECT
public:
    UrlCatcher() {
        for (const char* scheme : {"https", "http", "mailto"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~UrlCatcher() override {
        for (const char* scheme : {"https", "http", "mailto"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    Urls take() { return std::exchange(m_opened, {}); } // fully encoded, oldest first
public Q_SLOTS:
    void open(const QUrl& url) { m_opened.push_back(url.toString(QUrl::FullyEncoded).toStdString()); }
private:
    Urls m_opened;
};

namespace {

// The visible label of `window` whose words (without rich-text markup) are `text`.
QLabel* showing(QWidget* window, const QString& text) {
    for (QLabel* label : window->findChildren<QLabel*>()) {
        QTextDocument words;
        words.setHtml(label->textFormat() == Qt::RichText ? label->text() : label->text().toHtmlEscaped());
        if (label->isVisible() && words.toPlainText() == text)
            return label;
    }
    return nullptr;
}

class AboutWindowTest : public ::testing::Test {
protected:
    AboutView* showAndWait() {
        about.show();
        return about.window() && QTest::qWaitForWindowActive(about.window()) ? about.window() : nullptr;
    }
    void TearDown() override {
        if (about.window())
            about.window()->close();
        appearance::setColorScheme(ColorScheme::light);
        QCoreApplication::setApplicationVersion(QString());
    }
    QtAboutWindow about;
};

// Its title, a size the user cannot change, and every word whole in place.
void expectTitleSizeAndWords(AboutView* view, const QString& version) {
    EXPECT_EQ(view->windowTitle(), QStringLiteral("About Sorvane"));
    EXPECT_EQ(view->size(), QSize(420, 620));
    EXPECT_EQ(view->minimumSize(), view->maximumSize());
    for (const QString& text :
         {QStringLiteral("Sorvane"), version,
          QStringLiteral("End-to-end encrypted clipboard sync between Android and macOS over BLE."),
          QStringLiteral("No cloud, no account \u2014 devices talk directly."), QStringLiteral("DETAILS"),
          QStringLiteral("Transport"), QStringLiteral("Bluetooth LE"), QStringLiteral("Encryption"),
          QStringLiteral("AES-256-GCM"), QStringLiteral("Storage"), QStringLiteral("Local only"),
          QStringLiteral("LINKS"), QStringLiteral("Visit website"), QStringLiteral("Report an issue"),
          QStringLiteral("\u00a9 %1 Sorvane \u00b7 Made with care by the Sorvane developers")
              .arg(QDate::currentDate().year())}) {
        const QLabel* label = showing(view, text);
        ASSERT_NE(label, nullptr) << text.toStdString();
        EXPECT_TRUE(view->rect().contains(areaIn(view, label)) &&
                    (label->wordWrap() || label->width() >= label->sizeHint().width()))
            << "cut off: " << text.toStdString();
    }
}

TEST_F(AboutWindowTest, OneWindowComesBackToTheFrontAndAfterCtrlWANewOneWithTheStatedVersion) {
    AboutView* view = showAndWait();
    ASSERT_NE(view, nullptr);
    const QPointer<AboutView> first = view;
    expectTitleSizeAndWords(view, QStringLiteral("Version 0.1.0")); // the application states none
    QWidget other;
    other.resize(200, 200);
    for (const bool minimise : {false, true}) {
        SCOPED_TRACE(minimise ? "minimised" : "behind another window");
        minimise ? view->showMinimized() : other.show();
        other.activateWindow();
        ASSERT_TRUE(QTest::qWaitFor([&] { return minimise ? view->isMinimized() : other.isActiveWindow(); }));
        about.show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !view->isMinimized() && view->isActiveWindow(); }));
        EXPECT_EQ(visibleWindows<AboutView>(), std::vector<AboutView*>{view});
    }
    QTest::keyClick(view, Qt::Key_W);
    EXPECT_TRUE(view->isVisible()) << "W alone closes nothing";
    QTest::keyClick(view, Qt::Key_W, Qt::ControlModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return visibleWindows<AboutView>().empty(); }));

    QCoreApplication::setApplicationVersion(QStringLiteral("2.4.1"));
    AboutView* fresh = showAndWait();
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(first.isNull()) << "the closed window is freed";
    EXPECT_EQ(visibleWindows<AboutView>(), std::vector<AboutView*>{fresh});
    expectTitleSizeAndWords(fresh, QStringLiteral("Version 2.4.1"));
}

TEST_F(AboutWindowTest, TheLinksOpenExactlyTheirAddressesByMouseAndByKeyboard) {
    UrlCatcher catcher;
    AboutView* view = showAndWait();
    ASSERT_NE(view, nullptr);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_EQ(catcher.take(), Urls{}) << "Return and Space in the window just opened";

    for (const auto& [name, url] :
         {std::pair{"Visit website", "https://sorvane.org"},
          std::pair{"Report an issue", "mailto:support@sorvane.org?subject=Sorvane%20issue"}}) {
        SCOPED_TRACE(name);
        QLabel* label = showing(view, QString::fromLatin1(name));
        ASSERT_NE(label, nullptr);
        QWidget* row = label->parentWidget();
        EXPECT_EQ(row->accessibleName(), label->text());
        QTest::mouseClick(row, Qt::LeftButton, {}, row->rect().center());
        EXPECT_EQ(catcher.take(), Urls{url});
        QTest::mousePress(row, Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseRelease(row, Qt::LeftButton, {}, QPoint(10, row->height() + 30));
        EXPECT_EQ(catcher.take(), Urls{}) << "let go outside the row";

        view->setFocus();
        for (int i = 0; i < 4 && QApplication::focusWidget() != row; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), row) << "Tab reaches it";
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Space, Qt::Key_A})
            QTest::keyClick(row, key);
        EXPECT_EQ(catcher.take(), (Urls{url, url}));
    }
}

TEST_F(AboutWindowTest, DarkIsLightTextOnADarkGroundAndAChangeRepaintsTheOpenWindow) {
    appearance::setColorScheme(ColorScheme::dark);
    AboutView* view = showAndWait();
    ASSERT_NE(view, nullptr);
    const QRect texts[] = {areaIn(view, showing(view, QStringLiteral("Sorvane"))),
                           areaIn(view, showing(view, QStringLiteral("Bluetooth LE")))}; // on the ground, on a card
    for (const bool dark : {true, false, true}) {
        appearance::setColorScheme(dark ? ColorScheme::dark : ColorScheme::light);
        // The grey of the ground as shown, and of each text's ink.
        std::vector<int> greys;
        EXPECT_TRUE(QTest::qWaitFor([&] {
            const QImage image = onScreen(*view).scaled(view->size());
            const QColor ground = image.pixelColor(4, 4);
            greys = {qGray(ground.rgb())};
            for (const QRect& area : texts)
                greys.push_back(qGray(inkIn(image, area, ground).rgb()));
            return dark ? greys[0] < 64 && greys[1] > 192 && greys[2] > 180
                        : greys[0] > 192 && greys[1] < 64 && greys[2] < 80;
        })) << ::testing::PrintToString(greys);
    }
}

} // namespace
} // namespace sorvane::testing

#include "AboutWindowTest.moc"

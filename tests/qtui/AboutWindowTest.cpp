// The About window as a user meets it: which window a repeated About command
// (also on a minimised window) and the user's close (Ctrl+W) leave, what it says and where, what its links
// ask the desktop to open (caught with QDesktopServices' URL handlers) by mouse
// and keyboard, and its colours in dark and light read from its pixels, also
// when the scheme changes while it is open. Offscreen, and with --x11 on Xvfb
// with openbox.
#include "adapters/qt/ui/AboutView.h"
#include "adapters/qt/ui/AboutWindow.h"
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/PanelStyle.h"
#include "qtui/QtUiTestEnv.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDate>
#include <QDesktopServices>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace sorvane::testing {

// Takes the URLs the window asks the desktop to open, for as long as it lives.
class UrlCatcher final : public QObject {
    Q_OBJECT
public:
    UrlCatcher() {
        for (const char* scheme : kSchemes)
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~UrlCatcher() override {
        for (const char* scheme : kSchemes)
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    std::vector<std::string> opened; // as fully encoded text

public Q_SLOTS:
    void open(const QUrl& url) { opened.push_back(url.toString(QUrl::FullyEncoded).toStdString()); }

private:
    static constexpr const char* kSchemes[] = {"https", "http", "mailto"};
};

namespace {

using panelstyle::Colours;
using panelstyle::darkColours;
using panelstyle::lightColours;

std::vector<AboutView*> visibleAboutViews() {
    std::vector<AboutView*> views;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* view = dynamic_cast<AboutView*>(widget); view && view->isVisible())
            views.push_back(view);
    return views;
}

// The words a label shows, without the markup of a rich text.
QString shownText(const QLabel* label) {
    if (label->textFormat() != Qt::RichText)
        return label->text();
    QTextDocument document;
    document.setHtml(label->text());
    return document.toPlainText();
}

// The visible label of `window` showing exactly `text`, or null.
QLabel* labelShowing(QWidget* window, const QString& text) {
    for (QLabel* label : window->findChildren<QLabel*>())
        if (label->isVisible() && shownText(label) == text)
            return label;
    return nullptr;
}

QWidget* withAccessibleName(QWidget* window, const QString& name) {
    for (QWidget* widget : window->findChildren<QWidget*>())
        if (widget->accessibleName() == name)
            return widget;
    return nullptr;
}

QRect areaOf(const QWidget* widget, const QWidget* window) {
    return {widget->mapTo(window, QPoint(0, 0)), widget->size()};
}

bool near(QColor a, QColor b, int tolerance = 8) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// The pixel of `area` that stands out most from `ground`: the core of the text
// drawn there.
QColor inkIn(const QImage& image, const QRect& area, QColor ground) {
    QColor ink = ground;
    int farthest = -1;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const int distance = std::abs(qGray(c.rgb()) - qGray(ground.rgb()));
            if (distance > farthest) {
                farthest = distance;
                ink = c;
            }
        }
    return ink;
}

// What the window shows now, as the platform holds it: not a fresh rendering.
QImage onScreen(QWidget& window) {
    const double ratio = window.devicePixelRatioF();
    QImage image = window.screen()->grabWindow(window.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    if (ratio != 1.0)
        image = image.scaled(window.size());
    return image;
}

class AboutWindowTest : public ::testing::Test {
protected:
    AboutView* showAndWait() {
        about.show();
        AboutView* view = about.window();
        EXPECT_NE(view, nullptr);
        if (view) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(view));
        }
        return view;
    }

    void TearDown() override {
        if (about.window())
            about.window()->close();
        appearance::setColorScheme(ColorScheme::light);
        QCoreApplication::setApplicationVersion(QString());
    }

    QtAboutWindow about;
};

TEST_F(AboutWindowTest, ShowingAgainBringsTheOneWindowForwardAndAfterTheUserClosedItANewOneOpens) {
    AboutView* view = showAndWait();
    ASSERT_NE(view, nullptr);
    const QPointer<AboutView> first = view;
    EXPECT_TRUE(QTest::qWaitForWindowActive(view));
    about.show();
    EXPECT_EQ(about.window(), view);
    EXPECT_EQ(visibleAboutViews(), std::vector<AboutView*>{view});

    // A window like any other: in the task bar, closable and minimisable, of one size.
    EXPECT_EQ(view->windowType(), Qt::Window);
    EXPECT_TRUE(view->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(view->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(view->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(view->windowFlags() & Qt::WindowStaysOnTopHint);
    // Centred on the screen (a window manager's title bar may move it a little).
    const QRect screen = view->screen()->availableGeometry();
    EXPECT_LE((view->frameGeometry().center() - screen.center()).manhattanLength(), 40)
        << view->frameGeometry().x() << "," << view->frameGeometry().y();

    // Behind another window, the About command brings it back in front.
    QWidget other;
    other.resize(200, 200);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    about.show();
    EXPECT_EQ(about.window(), view);
    EXPECT_TRUE(QTest::qWaitForWindowActive(view));
    EXPECT_EQ(visibleAboutViews(), std::vector<AboutView*>{view});

    // Minimised, it comes back.
    view->showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->isMinimized(); }, 2000));
    about.show();
    EXPECT_EQ(about.window(), view);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view->isMinimized(); }, 2000));
    EXPECT_TRUE(QTest::qWaitForWindowActive(view));

    // W alone, or with Shift, does not close it; Ctrl+W does.
    QTest::keyClick(view, Qt::Key_W);
    QTest::keyClick(view, Qt::Key_W, Qt::ShiftModifier);
    EXPECT_TRUE(view->isVisible());
    QTest::keyClick(view, Qt::Key_W, Qt::ControlModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view->isVisible(); }, 2000));
    EXPECT_TRUE(visibleAboutViews().empty());

    AboutView* fresh = showAndWait();
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(first.isNull()) << "the closed window is freed";
    EXPECT_TRUE(QTest::qWaitForWindowActive(fresh));
    EXPECT_EQ(visibleAboutViews(), std::vector<AboutView*>{fresh});
}

TEST_F(AboutWindowTest, TitleSizeAndEveryTextInPlace) {
    QCoreApplication::setApplicationVersion(QString());
    AboutView* view = showAndWait();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->windowTitle(), QStringLiteral("About Sorvane"));
    EXPECT_EQ(view->size(), QSize(420, 620));
    EXPECT_EQ(view->minimumSize(), QSize(420, 620));
    EXPECT_EQ(view->maximumSize(), QSize(420, 620));

    const QString year = QString::number(QDate::currentDate().year());
    const QStringList texts = {
        QStringLiteral("Sorvane"),
        QStringLiteral("Version 0.1.0"),
        QStringLiteral("End-to-end encrypted clipboard sync between Android and macOS over BLE."),
        QStringLiteral("No cloud, no account \u2014 devices talk directly."),
        QStringLiteral("DETAILS"),
        QStringLiteral("Transport"), QStringLiteral("Bluetooth LE"),
        QStringLiteral("Encryption"), QStringLiteral("AES-256-GCM"),
        QStringLiteral("Storage"), QStringLiteral("Local only"),
        QStringLiteral("LINKS"),
        QStringLiteral("Visit website"),
        QStringLiteral("Report an issue"),
        QStringLiteral("\u00a9 ") + year + QStringLiteral(" Sorvane \u00b7 Made with care by the Sorvane developers"),
    };
    int lastTop = -1;
    for (const QString& text : texts) {
        SCOPED_TRACE(text.toStdString());
        QLabel* label = labelShowing(view, text);
        ASSERT_NE(label, nullptr);
        // Top to bottom in this order, whole inside the window, never cut.
        const QRect area = areaOf(label, view);
        EXPECT_GE(area.top(), lastTop);
        lastTop = area.top();
        EXPECT_TRUE(view->rect().contains(area)) << area.x() << "," << area.y();
        if (!label->wordWrap()) {
            EXPECT_GE(label->width(), label->sizeHint().width());
        }
        EXPECT_GE(label->height(), label->heightForWidth(label->width()));
    }
    EXPECT_TRUE(labelShowing(view, QStringLiteral("Sorvane"))->font().bold());
    EXPECT_EQ(labelShowing(view, QStringLiteral("Details")), nullptr) << "the title shows upper-case";

    // Each detail's value on its name's row, to its right.
    for (const auto& [name, value] : {std::pair{"Transport", "Bluetooth LE"}, std::pair{"Encryption", "AES-256-GCM"},
                                      std::pair{"Storage", "Local only"}}) {
        const QRect left = areaOf(labelShowing(view, QString::fromLatin1(name)), view);
        const QRect right = areaOf(labelShowing(view, QString::fromLatin1(value)), view);
        EXPECT_LE(std::abs(left.center().y() - right.center().y()), 2) << name;
        EXPECT_LT(left.right(), right.left()) << name;
    }
    // The links answer to their names, and Tab reaches them.
    for (const char* name : {"Visit website", "Report an issue"}) {
        QWidget* row = withAccessibleName(view, QString::fromLatin1(name));
        ASSERT_NE(row, nullptr) << name;
        EXPECT_TRUE(row->focusPolicy() & Qt::TabFocus) << name;
    }
    // The footer closes the window, 20 px above its bottom edge.
    QLabel* footer = labelShowing(view, texts.back());
    EXPECT_EQ(view->height() - areaOf(footer, view).bottom() - 1, 20);

    // The application's own icon, its blue paperclip, at the top in the middle.
    const QImage shot = view->grab().toImage().scaled(view->size());
    int blue = 0;
    for (int y = 20; y < 130; ++y)
        for (int x = 160; x < 260; ++x)
            blue += near(shot.pixelColor(x, y), QColor(94, 122, 196), 12);
    EXPECT_GT(blue, 40);

    // A version the application states is the one shown.
    view->close();
    QCoreApplication::setApplicationVersion(QStringLiteral("2.4.1"));
    view = showAndWait();
    ASSERT_NE(view, nullptr);
    EXPECT_NE(labelShowing(view, QStringLiteral("Version 2.4.1")), nullptr);
    EXPECT_EQ(labelShowing(view, QStringLiteral("Version 0.1.0")), nullptr);
}

TEST_F(AboutWindowTest, TheLinksOpenTheWebSiteAndAMailToSupportByMouseAndByKeyboard) {
    UrlCatcher catcher;
    AboutView* view = showAndWait();
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(view));
    const std::string website = "https://sorvane.org";
    const std::string mail = "mailto:support@sorvane.org?subject=Sorvane%20issue";

    QWidget* visit = withAccessibleName(view, QStringLiteral("Visit website"));
    QWidget* report = withAccessibleName(view, QStringLiteral("Report an issue"));
    ASSERT_NE(visit, nullptr);
    ASSERT_NE(report, nullptr);

    // Return and Space in the window just opened open nothing.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_TRUE(catcher.opened.empty());

    QTest::mouseClick(visit, Qt::LeftButton, {}, QPoint(visit->width() / 2, visit->height() / 2));
    EXPECT_EQ(catcher.opened, std::vector<std::string>{website});
    // Let go outside the row: no click.
    catcher.opened.clear();
    QTest::mousePress(visit, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseRelease(visit, Qt::LeftButton, {}, QPoint(10, visit->height() + 30));
    EXPECT_TRUE(catcher.opened.empty());

    // Tab to "Report an issue", then Return and Space each open the mail.
    view->setFocus();
    for (int i = 0; i < 4 && QApplication::focusWidget() != report; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), report);
    QTest::keyClick(report, Qt::Key_Return);
    QTest::keyClick(report, Qt::Key_Space);
    QTest::keyClick(report, Qt::Key_A);
    EXPECT_EQ(catcher.opened, (std::vector<std::string>{mail, mail}));

    // The footer's credit links to the web site.
    catcher.opened.clear();
    const QString footerText = QStringLiteral("\u00a9 %1 Sorvane \u00b7 Made with care by the Sorvane developers")
                                   .arg(QDate::currentDate().year());
    QLabel* footer = labelShowing(view, footerText);
    ASSERT_NE(footer, nullptr);
    const int textWidth = footer->fontMetrics().horizontalAdvance(footerText);
    const QPoint onCredit((footer->width() + textWidth) / 2 - 12, footer->height() / 2);
    QTest::mouseClick(footer, Qt::LeftButton, {}, onCredit);
    EXPECT_EQ(catcher.opened, std::vector<std::string>{website});
    // The words before it are no link.
    catcher.opened.clear();
    QTest::mouseClick(footer, Qt::LeftButton, {}, QPoint((footer->width() - textWidth) / 2 + 12, onCredit.y()));
    EXPECT_TRUE(catcher.opened.empty());
}

TEST_F(AboutWindowTest, DarkShowsLightTextOnADarkWindowAndAChangeRepaintsItOpen) {
    appearance::setColorScheme(ColorScheme::dark);
    AboutView* view = showAndWait();
    ASSERT_NE(view, nullptr);
    QLabel* title = labelShowing(view, QStringLiteral("Sorvane"));
    QLabel* transport = labelShowing(view, QStringLiteral("Transport"));
    QLabel* value = labelShowing(view, QStringLiteral("Bluetooth LE"));
    ASSERT_TRUE(title && transport && value);

    std::string last;
    // The window's ground, the name's ink, a card's ground and the ink of a
    // detail's name and value.
    auto shows = [&](const Colours& colours) {
        const QImage image = onScreen(*view);
        const QColor ground = image.pixelColor(4, 4);
        const QColor name = inkIn(image, areaOf(title, view), ground);
        const QRect row = areaOf(transport, view);
        const QColor card = image.pixelColor(row.left() - 6, row.center().y());
        const QColor label = inkIn(image, row, card);
        const QColor shown = inkIn(image, areaOf(value, view), card);
        last = "ground " + ground.name().toStdString() + ", name " + name.name().toStdString() + ", card " +
               card.name().toStdString() + ", label " + label.name().toStdString() + ", value " +
               shown.name().toStdString();
        return near(ground, colours.background) && near(name, colours.primary, 24) &&
               near(card, colours.card) && near(label, colours.secondary, 40) && near(shown, colours.primary, 40);
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows(darkColours()); }, 2000)) << last;
    const QImage dark = onScreen(*view);
    EXPECT_LT(qGray(dark.pixelColor(4, 4).rgb()), 64);

    appearance::setColorScheme(ColorScheme::light);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows(lightColours()); }, 2000)) << last;
    appearance::setColorScheme(ColorScheme::dark);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows(darkColours()); }, 2000)) << last;
}

} // namespace
} // namespace sorvane::testing

#include "AboutWindowTest.moc"

// The alerts as real message boxes (Qt's offscreen platform): the button order
// and texts, Return cancelling a destructive command, the way to the desktop's
// Bluetooth settings, the warning sign they carry, and light or dark.
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/QtAlerts.h"
#include "adapters/qt/ui/SorvaneStatusItem.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QStyle>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace sorvane {
namespace {

const ConfirmationRequest kUnpair{"Unpair this phone?", "Sorvane will forget the paired phone on both devices.",
                                  "Unpair"};

// Runs `answer` on the message box once it is up, from inside its modal loop.
void whenBoxShows(std::function<void(QMessageBox&)> answer) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            answer(*box);
        }
    });
    timer->start(5);
}

// What the box says, then its buttons, as the user reads them.
std::vector<std::string> words(QMessageBox& box) {
    std::vector<std::string> words{box.text().toStdString(), box.informativeText().toStdString()};
    for (QAbstractButton* b : box.buttons())
        words.push_back(b->text().remove('&').toStdString());
    return words;
}

// Notes in `seen` what the next box says, and answers it with `key`.
void readThenPress(std::vector<std::string>& seen, Qt::Key key) {
    whenBoxShows([&seen, key](QMessageBox& box) {
        seen = words(box);
        QTest::keyClick(&box, key);
    });
}

// Return cancels a destructive command and dismisses an error, whose one
// button is OK; showError() returns once it is dismissed.
TEST(QtAlerts, ReturnCancelsADestructiveCommandOnlyAClickConfirmsAndAnErrorHasOnlyOK) {
    QtMainQueue queue;
    QtAlerts alerts(queue);
    std::vector<std::string> seen;
    readThenPress(seen, Qt::Key_Return);
    EXPECT_FALSE(alerts.confirm(kUnpair));
    EXPECT_EQ(seen, (std::vector<std::string>{kUnpair.message, kUnpair.informativeText, "Unpair",
                                              "Cancel"}));
    readThenPress(seen, Qt::Key_Escape);
    EXPECT_FALSE(alerts.confirm(kUnpair));
    whenBoxShows([](QMessageBox& box) { box.buttons().front()->click(); });
    EXPECT_TRUE(alerts.confirm(kUnpair));

    readThenPress(seen, Qt::Key_Return);
    alerts.showError("Could not move Sorvane", "cannot write in /x: Permission denied");
    EXPECT_EQ(seen, (std::vector<std::string>{"Could not move Sorvane",
                                              "cannot write in /x: Permission denied", "OK"}));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(QtAlerts, BluetoothOffOpensTheDesktopsSettingsOnReturn) {
    // A stand-in for KDE's settings program, the only one on PATH.
    testing::TempDir bin;
    const auto program = bin.path() / "systemsettings";
    std::ofstream(program) << "#!/bin/sh\n";
    ::chmod(program.c_str(), 0755);
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", bin.path().c_str(), 1);

    QtMainQueue queue;
    std::vector<std::string> launched;
    QtAlerts alerts(queue, [&](const std::string& p, const std::vector<std::string>& args) {
        launched = {p};
        launched.insert(launched.end(), args.begin(), args.end());
        return true;
    });
    std::vector<std::string> seen;
    readThenPress(seen, Qt::Key_Return);
    alerts.showBluetoothOffAlert();
    EXPECT_TRUE(seen.empty()) << "the alert is posted, never run inside the caller";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !launched.empty(); }, 5000));
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "Bluetooth is turned off",
                        "Sorvane needs Bluetooth to sync your clipboard. Please enable "
                        "Bluetooth in your desktop's Bluetooth settings.",
                        "Open Settings", "Dismiss"}));
    EXPECT_EQ(launched, (std::vector<std::string>{program.string(), "kcm_bluetooth"}));

    // With none installed the user is told why nothing opened.
    ::setenv("PATH", "/nonexistent", 1);
    testing::LogCapture log;
    launched.clear();
    alerts.openBluetoothSettings();
    EXPECT_TRUE(launched.empty());
    EXPECT_TRUE(log.contains("no Bluetooth settings program found"));
    ::setenv("PATH", savedPath.c_str(), 1);
}

// The sign the box shows beside its text, as drawn.
QImage shownSign(QMessageBox& box) {
    auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"));
    return label && label->isVisible() ? label->grab().toImage().convertToFormat(QImage::Format_ARGB32)
                                       : QImage();
}

TEST(QtAlerts, EveryAlertCarriesTheWarningSignNotTheProgramsIcon) {
    // As the running program has it: its own icon is the windows' icon.
    QIcon programIcon;
    for (int side : {16, 32, 64})
        programIcon.addPixmap(QPixmap::fromImage(SorvaneStatusItem::renderApplicationIcon(side)));
    QApplication::setWindowIcon(programIcon);

    QtMainQueue queue;
    QtAlerts alerts(queue, [](const std::string&, const std::vector<std::string>&) { return true; });
    std::vector<std::string> seen;
    auto check = [&](QMessageBox& box) {
        seen.push_back(box.text().toStdString());
        const QImage sign = shownSign(box);
        ASSERT_FALSE(sign.isNull()) << "no sign shown";
        const int side = sign.width();
        const QImage warning = box.style()
                                   ->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, &box)
                                   .pixmap(side, side)
                                   .toImage()
                                   .convertToFormat(QImage::Format_ARGB32);
        const QImage program =
            programIcon.pixmap(side, side).toImage().convertToFormat(QImage::Format_ARGB32);
        // Drawn on the box's ground: compare the opaque pixels.
        int same = 0, opaque = 0, likeProgram = 0;
        for (int y = 0; y < std::min(sign.height(), warning.height()); ++y)
            for (int x = 0; x < std::min(side, warning.width()); ++x) {
                if (qAlpha(warning.pixel(x, y)) == 255) {
                    ++opaque;
                    same += (sign.pixel(x, y) & 0xffffff) == (warning.pixel(x, y) & 0xffffff);
                }
                if (y < program.height() && x < program.width() && qAlpha(program.pixel(x, y)) == 255)
                    likeProgram += (sign.pixel(x, y) & 0xffffff) == (program.pixel(x, y) & 0xffffff);
            }
        EXPECT_GT(opaque, side * side / 8);
        EXPECT_EQ(same, opaque) << "the sign is the style's warning sign";
        EXPECT_LT(likeProgram, opaque / 2);
        box.reject();
    };
    const ConfirmationRequest quit{"Quit Sorvane?", "The phone will be told goodbye.", "Quit"};
    for (const ConfirmationRequest& request : {kUnpair, quit}) {
        whenBoxShows(check);
        EXPECT_FALSE(alerts.confirm(request));
    }
    whenBoxShows(check);
    alerts.showError("Could not move Sorvane", "cannot write in /x: Permission denied");
    whenBoxShows(check);
    alerts.showBluetoothOffAlert();
    EXPECT_TRUE(QTest::qWaitFor([&] { return seen.size() == 4; }, 5000));
    EXPECT_EQ(seen,
              (std::vector<std::string>{kUnpair.message, quit.message, "Could not move Sorvane",
                                        "Bluetooth is turned off"}));
    QApplication::setWindowIcon(QIcon());
}

TEST(QtAlerts, AlertsAreLightOrDarkAsTheDesktopAsksAlsoWhileUp) {
    QtMainQueue queue;
    QtAlerts alerts(queue);
    const QColor lightGround = QApplication::palette().color(QPalette::Window);
    const QColor darkGround = panelstyle::darkColours().background;
    appearance::setColorScheme(ColorScheme::dark);
    std::vector<QColor> grounds, texts;
    whenBoxShows([&](QMessageBox& box) {
        auto* text = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        ASSERT_NE(text, nullptr);
        grounds.push_back(box.grab().toImage().pixelColor(2, 2));
        texts.push_back(text->palette().color(QPalette::WindowText));
        appearance::setColorScheme(ColorScheme::light);
        grounds.push_back(box.grab().toImage().pixelColor(2, 2));
        texts.push_back(text->palette().color(QPalette::WindowText));
        box.reject();
    });
    EXPECT_FALSE(alerts.confirm(kUnpair));
    EXPECT_EQ(grounds, (std::vector<QColor>{darkGround, lightGround}));
    EXPECT_EQ(texts, (std::vector<QColor>{panelstyle::darkColours().primary,
                                          QApplication::palette().color(QPalette::WindowText)}));
}

} // namespace
} // namespace sorvane

// The alerts as real message boxes (Qt's offscreen platform): the button order
// and texts, Return cancelling a destructive command, and the way to the
// desktop's Bluetooth settings.
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/ui/QtAlerts.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"

#include <QAbstractButton>
#include <QApplication>
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

std::vector<std::string> buttonTexts(QMessageBox& box) {
    std::vector<std::string> texts;
    for (QAbstractButton* b : box.buttons())
        texts.push_back(b->text().remove('&').toStdString());
    return texts;
}

TEST(QtAlerts, ReturnCancelsADestructiveCommandAndOnlyAClickConfirms) {
    QtMainQueue queue;
    QtAlerts alerts(queue);

    std::vector<std::string> shown;
    whenBoxShows([&](QMessageBox& box) {
        shown = buttonTexts(box);
        EXPECT_EQ(box.text().toStdString(), kUnpair.message);
        EXPECT_EQ(box.informativeText().toStdString(), kUnpair.informativeText);
        EXPECT_EQ(box.icon(), QMessageBox::Warning);
        QTest::keyClick(&box, Qt::Key_Return);
    });
    EXPECT_FALSE(alerts.confirm(kUnpair));
    EXPECT_EQ(shown, (std::vector<std::string>{"Unpair", "Cancel"}));

    whenBoxShows([](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); });
    EXPECT_FALSE(alerts.confirm(kUnpair));

    whenBoxShows([](QMessageBox& box) { box.buttons().front()->click(); });
    EXPECT_TRUE(alerts.confirm(kUnpair));
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
    std::vector<std::string> shown;
    bool ran = false;
    whenBoxShows([&](QMessageBox& box) {
        shown = buttonTexts(box);
        EXPECT_EQ(box.text().toStdString(), "Bluetooth is turned off");
        QTest::keyClick(&box, Qt::Key_Return);
        ran = true;
    });
    alerts.showBluetoothOffAlert();
    EXPECT_FALSE(ran) << "the alert is posted, never run inside the caller";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !launched.empty(); }, 5000));
    EXPECT_EQ(shown, (std::vector<std::string>{"Open Settings", "Dismiss"}));
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

} // namespace
} // namespace sorvane

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// alert-screenshot OUTDIR: renders the confirmation asked before unpairing and
// the Bluetooth-off alert to PNG files, in the light and the dark scheme, with
// the program's window icon set as the running program has it.
// Run it on a real X server (scripts/screenshots starts Xvfb).
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/QtAlerts.h"
#include "adapters/qt/ui/SorvaneStatusItem.h"

#include "testing/screenshots/Screenshot.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>

#include <string>

using namespace sorvane;

namespace {

// Saves the alert once it is up, then dismisses it; counts it in `saved`.
void saveWhenUp(const QString& dir, std::string name, bool& ok, int& saved) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, dir, name, &ok, &saved] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        ok = sorvane::testing::saveScreenshot(*box, dir, name.c_str()) && ok;
        ++saved;
        box->reject();
    });
    timer->start(20);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const auto folder = sorvane::testing::screenshotFolder(argc, argv, "alert-screenshot");
    if (!folder)
        return 2;
    QIcon icon;
    for (int side : {16, 32, 64, 128})
        icon.addPixmap(QPixmap::fromImage(SorvaneStatusItem::renderApplicationIcon(side)));
    QApplication::setWindowIcon(icon);

    QtMainQueue queue;
    QtAlerts alerts(queue, [](const std::string&, const std::vector<std::string>&) { return true; });
    const ConfirmationRequest unpair{"Unpair this phone?", "Sorvane will forget the paired phone on both devices.",
                                     "Unpair"};
    bool ok = true;
    int saved = 0;
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        appearance::setColorScheme(scheme);
        const std::string suffix = scheme == ColorScheme::dark ? "-dark" : "";
        saveWhenUp(*folder, "alert-unpair" + suffix, ok, saved);
        alerts.confirm(unpair);
        saveWhenUp(*folder, "alert-bluetooth-off" + suffix, ok, saved);
        alerts.showBluetoothOffAlert();
        // The Bluetooth-off alert is posted: wait until it has been saved.
        const int expected = saved + 1;
        ok = QTest::qWaitFor([&] { return saved == expected; }, 5000) && ok;
    }
    return ok ? 0 : 1;
}

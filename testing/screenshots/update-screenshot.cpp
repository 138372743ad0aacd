// update-screenshot OUTDIR: renders the update windows to PNG files, light and
// dark: the offer of a newer version with its release notes, and the answer
// when the program is up to date.
// Run it on a real X server (scripts/screenshots starts Xvfb).
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/QtUpdatePrompt.h"
#include "adapters/qt/ui/SorvaneStatusItem.h"

#include "testing/screenshots/Screenshot.h"

#include <QApplication>
#include <QDialog>
#include <QTest>

#include <string>

using namespace sorvane;

namespace {

// The update window on screen now.
QDialog* shownDialog() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
            return dialog;
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const auto folder = sorvane::testing::screenshotFolder(argc, argv, "update-screenshot");
    if (!folder)
        return 2;
    SorvaneStatusItem().setApplicationIcon();

    QtUpdatePrompt prompt;
    bool ok = true;
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        appearance::setColorScheme(scheme);
        const std::string suffix = scheme == ColorScheme::dark ? "-dark" : "";
        prompt.offer({"A new version of Sorvane is available!",
                      "Sorvane 0.2.0 is now available \u2014 you have 0.1.0. Would you like to download it now?"},
                     "What's new in 0.2.0\n\n\u2022 Preferences and a global shortcut\n\u2022 Signed updates\n"
                     "\u2022 Fixes for the tray on dark panels",
                     [](UpdateChoice) {});
        QTest::qWait(200);
        QDialog* offer = shownDialog();
        ok = offer && QTest::qWaitForWindowExposed(offer) &&
             sorvane::testing::saveScreenshot(*offer, *folder, ("update-offer" + suffix).c_str()) && ok;
        prompt.inform({"You're up to date.", "Sorvane 0.1.0 is currently the newest version available."});
        QTest::qWait(200);
        QDialog* informed = shownDialog();
        ok = informed && QTest::qWaitForWindowExposed(informed) &&
             sorvane::testing::saveScreenshot(*informed, *folder, ("update-current" + suffix).c_str()) && ok;
        informed->close();
    }
    return ok ? 0 : 1;
}

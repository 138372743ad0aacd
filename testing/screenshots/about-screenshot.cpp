// about-screenshot OUTDIR: renders the About window to PNG files, light and
// dark, with the program's window icon set as the running program has it and
// the version the build was configured with.
// Run it on a real X server (scripts/screenshots starts Xvfb).
#include "adapters/qt/ui/AboutView.h"
#include "adapters/qt/ui/AboutWindow.h"
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/SorvaneStatusItem.h"

#include "testing/screenshots/Screenshot.h"

#include <QApplication>
#include <QTest>

#include <string>

using namespace sorvane;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const auto folder = sorvane::testing::screenshotFolder(argc, argv, "about-screenshot");
    if (!folder)
        return 2;
    SorvaneStatusItem().setApplicationIcon();

    QtAboutWindow about;
    bool ok = true;
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        appearance::setColorScheme(scheme);
        const std::string name = scheme == ColorScheme::dark ? "about-dark" : "about-light";
        about.show();
        ok = QTest::qWaitForWindowExposed(about.window()) &&
             sorvane::testing::saveScreenshot(*about.window(), *folder, name.c_str()) && ok;
        about.window()->close();
    }
    return ok ? 0 : 1;
}

// preferences-screenshot OUTDIR: renders each tab of the preferences window,
// light and dark, with fixed settings and fingerprints: preferences-<tab>.png
// and preferences-<tab>-dark.png. The General tab is drawn as it shows in a
// build tree (launch at login dimmed, with the install hint), and twice more
// as on a Wayland desktop: with the trigger the desktop portal reported
// (preferences-general-portal-trigger.png) and with the note of a desktop
// without a global shortcut service (preferences-general-no-shortcut-service.png,
// light and dark).
// Run it on a real X server (scripts/screenshots starts Xvfb).
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/PreferencesWindow.h"

#include "testing/screenshots/Screenshot.h"

#include <QApplication>
#include <QTest>

#include <cctype>
#include <functional>
#include <tuple>

using namespace sorvane;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const auto folder = sorvane::testing::screenshotFolder(argc, argv, "preferences-screenshot");
    if (!folder)
        return 2;

    PrefsState state;
    PrefsDef def;
    def.maxHistory = 50;
    def.autoApply = true;
    def.autoPush = false;
    def.localFingerprint = "24f6 ed6a cbfe 1009";
    def.peerFingerprint = "6668 7aad f862 bd77";
    state.load(def);

    bool ok = true;
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        appearance::setColorScheme(scheme);
        SorvanePreferences preferences(state);
        preferences.show();
        PreferencesWindow* window = preferences.window();
        ok = QTest::qWaitForWindowExposed(window) && ok;
        for (PrefsTab tab : allPrefsTabs) {
            window->selectTab(tab);
            std::string name = "preferences-" + std::string(title(tab));
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (scheme == ColorScheme::dark)
                name += "-dark";
            QTest::qWait(50);
            ok = sorvane::testing::saveScreenshot(*window, *folder, name.c_str()) && ok;
        }
        window->close();
    }

    const auto noService = [&] {
        state.followHotKeyStatus(std::nullopt, unavailableHotKeyNote(HotKeyOutcome::Result::noService));
    };
    const std::tuple<const char*, ColorScheme, std::function<void()>> wayland[] = {
        {"preferences-general-portal-trigger", ColorScheme::light,
         [&] { state.followHotKeyStatus("Ctrl+Alt+K", std::nullopt); }},
        {"preferences-general-no-shortcut-service", ColorScheme::light, noService},
        {"preferences-general-no-shortcut-service-dark", ColorScheme::dark, noService},
    };
    for (const auto& [name, scheme, status] : wayland) {
        appearance::setColorScheme(scheme);
        SorvanePreferences preferences(state);
        preferences.show();
        PreferencesWindow* window = preferences.window();
        ok = QTest::qWaitForWindowExposed(window) && ok;
        window->selectTab(PrefsTab::general);
        status();
        QTest::qWait(50);
        ok = sorvane::testing::saveScreenshot(*window, *folder, name) && ok;
        window->close();
    }
    return ok ? 0 : 1;
}

// The real sorvane program on real desktop panels: tint2 as it ships (dark),
// tint2 with a light panel (both XEmbed trays) and xfce4-panel (a
// StatusNotifierItem host with a task list), each on a private Xvfb with
// openbox and a private session bus. What is checked is what a user sees: the
// icon's pixels against the panel around them, a click on the icon opening the
// search panel with the keyboard focus, no task button for it, and a task
// button for the pairing window. With SORVANE_TRAY_SHOTS=<folder> each panel's
// tray end is also saved as tray-<panel>.png (scripts/screenshots).
#include "adapters/qt/ui/SorvaneStatusItem.h"
#include "testing/child-process/ChildProcess.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/test-env/TempDir.h"
#include "testing/tray-session/TrayPanels.h"
#include "testing/x-session/XSession.h"

#include <gtest/gtest.h>

#include <QImage>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sorvane::testing {
namespace {

using namespace std::chrono_literals;

bool hasAtom(const std::vector<std::string>& atoms, const std::string& name) {
    return std::find(atoms.begin(), atoms.end(), name) != atoms.end();
}

std::optional<ClientWindow> viewableClient(const std::string& display, const std::string& title) {
    for (auto& c : clientWindows(display))
        if (c.viewable && c.title == title)
            return c;
    return std::nullopt;
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class TrayOnPanel : public ::testing::TestWithParam<TrayPanel> {
protected:
    // The panel strip without the icon's neighbourhood (the pointer over it may
    // light its button up): what changes there is the task list.
    QImage panelWithoutIcon() {
        QImage strip = grabScreen(m_x.display()).copy(m_panelRect);
        const QRect icon = m_icon.adjusted(-10, -10, 10, 10).translated(-m_panelRect.topLeft());
        for (int y = 0; y < strip.height(); ++y)
            for (int x = 0; x < strip.width(); ++x)
                if (icon.contains(x, y))
                    strip.setPixel(x, y, 0);
        return strip;
    }

    std::unique_ptr<ChildProcess> startSorvane(const std::vector<std::string>& args, const std::string& log) {
        ChildProcess::Options options;
        options.logFile = (m_dir.path() / log).string();
        options.env = {{"DISPLAY", m_x.display()},
                       {"WAYLAND_DISPLAY", std::nullopt},
                       {"QT_QPA_PLATFORM", "xcb"},
                       {"QT_QPA_PLATFORMTHEME", std::nullopt},
                       {"XDG_CURRENT_DESKTOP", std::nullopt},
                       // The desktop's scheme as a GTK setting states it: dark with the
                       // dark tint2, light with the light one, nothing on xfce4-panel
                       // (which draws the symbol in its own colours).
                       {"GTK_THEME", statedTheme()},
                       {"HOME", (m_dir.path() / "home").string()},
                       {"DBUS_SESSION_BUS_ADDRESS", m_session.address()},
                       {"DBUS_SYSTEM_BUS_ADDRESS", m_system.address()},
                       {"XDG_DATA_HOME", m_dataHome.string()},
                       {"XDG_CONFIG_HOME", (m_dir.path() / "config").string()},
                       {"XDG_RUNTIME_DIR", m_dir.path().string()},
                       {"LANG", "C.UTF-8"}};
        std::vector<std::string> argv{SORVANE_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>(argv, options);
    }

    std::optional<std::string> statedTheme() const {
        if (GetParam() == TrayPanel::xfce)
            return std::nullopt;
        return GetParam() == TrayPanel::tint2Dark ? "Adwaita:dark" : "Adwaita";
    }

    TempDir m_dir;
    std::filesystem::path m_dataHome = m_dir.path() / "data";
    XSession m_x;
    DbusDaemon m_session{m_dir.path() / "session-bus"};
    DbusDaemon m_system{m_dir.path() / "system-bus"};
    QRect m_panelRect;
    QRect m_icon;
};

TEST_P(TrayOnPanel, IconStandsOutAndAClickOpensThePanelWithoutATaskButton) {
    const TrayPanel kind = GetParam();
    const std::string name = trayPanelName(kind);
    ASSERT_TRUE(m_x.running()) << m_x.error();
    ASSERT_TRUE(m_session.running() && m_system.running());
    std::filesystem::create_directories(m_dir.path() / "home");
    PanelProcess panel(kind, m_x.display(), m_session.address(), m_dir.path(), m_dataHome);
    ASSERT_TRUE(panel.running()) << panel.error();
    m_panelRect = panel.rect();
    const QImage before = grabScreen(m_x.display()).copy(m_panelRect);

    // A stand-in bluetoothd with a powered adapter, so that pairing opens its window.
    ChildProcess::Options fakeOptions;
    fakeOptions.outputFd = 1;
    ChildProcess bluetoothd({SORVANE_FAKE_BLUETOOTHD, "--bus", m_system.address()}, fakeOptions);
    ASSERT_TRUE(bluetoothd.waitForLine("fake-bluetoothd: ready", 30s)) << "the stand-in bluetoothd did not start";

    auto sorvane = startSorvane({}, "sorvane.log");
    ASSERT_TRUE(sorvane->started());

    // Where the icon is: tint2 docks Qt's XEmbed window into its tray; on
    // xfce4-panel the item is drawn by the panel itself, so it is where the
    // panel changed.
    if (kind == TrayPanel::xfce) {
        ASSERT_TRUE(waitUntil(
            [&] {
                const QRect a = differingBox(before, grabScreen(m_x.display()).copy(m_panelRect));
                if (a.isEmpty())
                    return false;
                std::this_thread::sleep_for(300ms);
                const QRect b = differingBox(before, grabScreen(m_x.display()).copy(m_panelRect));
                m_icon = b.translated(m_panelRect.topLeft());
                return a == b;
            },
            90s))
            << "no icon appeared on " << name << "; log:\n" << fileText(m_dir.path() / "sorvane.log");
        EXPECT_FALSE(xembedIconRect(m_x.display(), "sorvane"))
            << "on a StatusNotifierItem host the icon goes over D-Bus, not into the XEmbed tray";
        EXPECT_TRUE(std::filesystem::exists(m_dataHome / "icons/hicolor/scalable/status/sorvane-paperclip-symbolic.svg"));
    } else {
        std::optional<QRect> rect;
        ASSERT_TRUE(waitUntil([&] { return (rect = xembedIconRect(m_x.display(), "sorvane")).has_value(); }, 90s))
            << "no XEmbed icon in " << name << "; log:\n" << fileText(m_dir.path() / "sorvane.log");
        m_icon = *rect;
    }
    ASSERT_TRUE(m_panelRect.contains(m_icon)) << "the icon lies outside the panel";

    // The icon is drawn once it stops changing.
    QImage screen;
    ASSERT_TRUE(waitUntil(
        [&] {
            const QImage a = grabScreen(m_x.display()).copy(m_icon);
            std::this_thread::sleep_for(300ms);
            screen = grabScreen(m_x.display());
            return a == screen.copy(m_icon) && measureIconContrast(screen, m_icon).iconPixels > 0;
        },
        30s));
    const IconContrast contrast = measureIconContrast(screen, m_icon);
    std::printf("[%s] icon %dx%d at %d,%d: background #%06x, %d icon pixels, a quarter of them at "
                "%.1f:1 or more\n",
                name.c_str(), m_icon.width(), m_icon.height(), m_icon.x(), m_icon.y(), contrast.background & 0xffffff,
                contrast.iconPixels, contrast.ratio);
    RecordProperty("contrast", std::to_string(contrast.ratio));
    EXPECT_GE(contrast.inkPixels, 30) << "hardly anything drawn";
    EXPECT_GE(contrast.ratio, 3.0) << "a quarter of the icon's pixels must reach 3:1 against the panel";
    // The pixels that stand out draw the whole symbol, not a corner of it.
    EXPECT_GE(contrast.inkBox.width(), contrast.iconBox.width() * 8 / 10);
    EXPECT_GE(contrast.inkBox.height(), contrast.iconBox.height() * 8 / 10);
    if (kind != TrayPanel::xfce) {
        // The scheme the desktop states reached the tray: the symbol is drawn in
        // that scheme's ink (light on the dark panel, dark on the light one).
        const QColor ink = SorvaneStatusItem::restingInk(kind == TrayPanel::tint2Dark ? ColorScheme::dark
                                                                                      : ColorScheme::light)
                               .symbol;
        int inked = 0;
        for (int y = m_icon.top(); y <= m_icon.bottom(); ++y)
            for (int x = m_icon.left(); x <= m_icon.right(); ++x) {
                const QColor c = screen.pixelColor(x, y);
                inked += std::abs(c.red() - ink.red()) + std::abs(c.green() - ink.green()) +
                             std::abs(c.blue() - ink.blue()) <
                         30;
            }
        EXPECT_GE(inked, 15) << "the symbol is not drawn for the scheme " << *statedTheme() << " states";
    }
    if (const char* shots = std::getenv("SORVANE_TRAY_SHOTS")) {
        // 240 pixels of the panel around the icon, at twice the size.
        const int width = std::min(240, m_panelRect.width());
        const int left = std::clamp(m_icon.center().x() - width / 2, m_panelRect.left(), m_panelRect.right() + 1 - width);
        const QImage tray = screen.copy(QRect(left, m_panelRect.top(), width, m_panelRect.height()));
        tray.scaled(tray.size() * 2, Qt::IgnoreAspectRatio, Qt::FastTransformation)
            .save(QString::fromLocal8Bit(shots) + QStringLiteral("/tray-%1.png").arg(QString::fromStdString(name)));
    }

    // A left click on the icon opens the search panel, which takes the keyboard.
    ASSERT_TRUE(waitUntil([&] { return fileText(m_dir.path() / "sorvane.log").find("Sorvane: ready") != std::string::npos; },
                          60s))
        << fileText(m_dir.path() / "sorvane.log");
    const QImage tasksBefore = panelWithoutIcon();
    Subprocess click({"xdotool", "mousemove", std::to_string(m_icon.center().x()), std::to_string(m_icon.center().y()),
                      "mousedown", "1", "sleep", "0.1", "mouseup", "1"},
                     m_x.display());
    EXPECT_EQ(click.wait(20s), 0);
    std::optional<ClientWindow> searchPanel;
    ASSERT_TRUE(waitUntil([&] { return (searchPanel = viewableClient(m_x.display(), "Sorvane")).has_value(); }, 30s))
        << "the click did not open the search panel";
    EXPECT_TRUE(hasAtom(searchPanel->states, "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_TRUE(hasAtom(searchPanel->states, "_NET_WM_STATE_SKIP_PAGER"));
    EXPECT_TRUE(hasAtom(searchPanel->types, "_NET_WM_WINDOW_TYPE_UTILITY"));
    EXPECT_TRUE(waitUntil([&] { return focusedClient(m_x.display()) == searchPanel->id; }, 10s))
        << "the search panel does not have the keyboard focus";
    // The task list has had its chance to add a button for it: it reads the
    // client list when it changes, and the panel is in it now.
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(150ms);
        ASSERT_TRUE(differingBox(tasksBefore, panelWithoutIcon()).isEmpty())
            << name << " shows a task button for the search panel";
    }

    // The pairing window is a window of its own: it gets a task button.
    auto pair = startSorvane({"--pair"}, "pair.log");
    EXPECT_EQ(pair->wait(30s), 0);
    std::optional<ClientWindow> pairWindow;
    ASSERT_TRUE(waitUntil([&] { return (pairWindow = viewableClient(m_x.display(), "Pair New Device")).has_value(); },
                          30s))
        << "sorvane --pair opened no pairing window";
    EXPECT_FALSE(hasAtom(pairWindow->states, "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_TRUE(waitUntil([&] { return !differingBox(tasksBefore, panelWithoutIcon()).isEmpty(); }, 20s))
        << name << " shows no task button for the pairing window";

    ::kill(sorvane->pid(), SIGTERM);
    EXPECT_EQ(sorvane->wait(30s), 0);
}

INSTANTIATE_TEST_SUITE_P(Panels, TrayOnPanel,
                         ::testing::Values(TrayPanel::tint2Dark, TrayPanel::tint2Light, TrayPanel::xfce),
                         [](const auto& param) {
                             std::string n = trayPanelName(param.param);
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

} // namespace
} // namespace sorvane::testing

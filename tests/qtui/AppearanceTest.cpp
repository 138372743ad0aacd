// Light and dark as the user sees them: the desktop's choice read from a
// stand-in settings portal on a private session bus, or from the GTK and KDE
// files in a private config folder, and the colours the panel and the pairing
// window then show on screen (the window's pixels as the platform holds them,
// so a change that is not painted fails), also when the choice changes while
// they are open. Offscreen, and with --x11 on Xvfb with openbox.
#include "adapters/linux/appearance/LinuxDesktopAppearance.h"
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/PairView.h"
#include "adapters/qt/ui/PanelHistoryDelegate.h"
#include "adapters/qt/ui/PanelStyle.h"
#include "adapters/qt/ui/SorvanePairWindow.h"
#include "adapters/qt/ui/SorvaneSearchPanel.h"
#include "protocol/CryptoPrimitives.h"
#include "protocol/PairingHandshake.h"
#include "qtui/QtUiTestEnv.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/screenshots/PanelSeed.h"
#include "testing/test-env/TempDir.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QTest>

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace sorvane::testing {
namespace {

using panelstyle::Colours;
using panelstyle::darkColours;
using panelstyle::lightColours;

constexpr const char* kSettings = "org.freedesktop.portal.Settings";

// org.freedesktop.portal.Desktop as xdg-desktop-portal serves its settings:
// Read answers color-scheme as a variant inside a variant, or NotFound when
// the portal has no such setting; change() sends SettingChanged.
class SettingsPortal {
public:
    SettingsPortal(const std::string& busAddress, std::optional<uint32_t> scheme) : m_scheme(scheme) {
        m_connection = sdbus::createSessionBusConnectionWithAddress(busAddress);
        m_connection->requestName("org.freedesktop.portal.Desktop");
        m_object = sdbus::createObject(*m_connection, "/org/freedesktop/portal/desktop");
        m_object->registerMethod(kSettings, "Read", "ss", "v", [this](sdbus::MethodCall call) {
            std::string ns, key;
            call >> ns >> key;
            ++m_reads;
            if (ns != "org.freedesktop.appearance" || key != "color-scheme" || !m_scheme)
                throw sdbus::Error("org.freedesktop.portal.Error.NotFound", "Requested setting not found");
            auto reply = call.createReply();
            reply.openVariant("v");
            reply << sdbus::Variant(*m_scheme);
            reply.closeVariant();
            reply.send();
        });
        m_object->registerSignal(kSettings, "SettingChanged", "ssv");
        m_object->finishRegistration();
        m_connection->enterEventLoopAsync();
    }
    ~SettingsPortal() { m_connection->leaveEventLoop(); }

    void change(uint32_t scheme) {
        m_object->emitSignal("SettingChanged")
            .onInterface(kSettings)
            .withArguments(std::string("org.freedesktop.appearance"), std::string("color-scheme"),
                           sdbus::Variant(scheme));
    }
    int reads() const { return m_reads; }

private:
    const std::optional<uint32_t> m_scheme;
    std::atomic<int> m_reads{0};
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IObject> m_object;
};

bool near(QColor a, QColor b, int tolerance = 8) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

std::string str(QColor c) { return c.name().toStdString(); }

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

class AppearanceTest : public ::testing::Test {
protected:
    void TearDown() override { appearance::setColorScheme(ColorScheme::light); }

    LinuxDesktopAppearance::Published published(std::optional<std::string> gtkTheme = std::nullopt) const {
        return {std::move(gtkTheme), config.path()};
    }

    TempDir work;
    TempDir config;
    DbusDaemon bus{work.path() / "bus"};
    ScopedEnv busEnv{"DBUS_SESSION_BUS_ADDRESS", bus.address()};
    QtMainQueue queue;
};

class PanelAppearanceTest : public AppearanceTest {
protected:
    void show() {
        const std::vector<ClipboardEntry> history{
            seededEntry("apple pie with cream", 1000, Direction::received, "h1"),
            seededEntry("lemon tart", 120000, Direction::sent, "h2"),
            seededEntry("plum cake", 240000, Direction::received, "h3"),
        };
        panel.showPanel(panelRows(history), {true, true, false}, {});
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
        QTest::keyClicks(panel.searchField(), QStringLiteral("l"));
        // The text cursor is drawn in a colour of its own: out of the way.
        panel.searchField()->clearFocus();
    }

    // The panel on screen is drawn in `colours`: its ground, the typed query
    // and an unselected history row's text.
    bool shows(const Colours& colours) {
        const QImage image = onScreen(panel);
        const QColor ground = image.pixelColor(3, 3);
        const QColor query = inkIn(image, areaIn(&panel, panel.searchField()), ground);
        QListView* list = panel.historyList();
        const QRect row = PanelHistoryDelegate::labelRect(list->visualRect(list->model()->index(1, 0)));
        const QColor rowText = inkIn(image, row.translated(list->viewport()->mapTo(&panel, QPoint(0, 0))), ground);
        last = "ground " + str(ground) + ", query " + str(query) + ", row text " + str(rowText);
        // The query's thin stems never cover a whole pixel: its ink comes
        // near the text colour, far from the other scheme's.
        return near(ground, colours.background) && near(query, colours.primary, 64) &&
               near(rowText, colours.primary, 24);
    }

    // The placeholder of the emptied search field is drawn in `colours`.
    bool showsPlaceholder(const Colours& colours) {
        const QImage image = onScreen(panel);
        const QColor ground = image.pixelColor(3, 3);
        const QColor ink = inkIn(image, areaIn(&panel, panel.searchField()), ground);
        const QColor& grey = colours.placeholder;
        const double a = grey.alphaF();
        const QColor expected = QColor::fromRgbF(grey.redF() * a + ground.redF() * (1 - a),
                                                 grey.greenF() * a + ground.greenF() * (1 - a),
                                                 grey.blueF() * a + ground.blueF() * (1 - a));
        last = "placeholder " + str(ink) + ", expected " + str(expected);
        return near(ink, expected, 24);
    }

    SorvaneSearchPanel panel;
    std::string last; // what shows() saw, for the failure message
};

// Without a portal the files decide: light until they publish a dark theme.
// The portal's preference wins over them, and its changes repaint the open
// panel.
TEST_F(PanelAppearanceTest, TheFilesThenThePortalPaintThePanelAndItsChangesRepaintItOpen) {
    LinuxDesktopAppearance nothing(queue, published());
    EXPECT_FALSE(nothing.portalAnswered());
    appearance::followDesktop(nothing);
    show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows(lightColours()); }, 2000)) << last;
    writeFile(config.path() / "gtk-3.0" / "settings.ini", "[Settings]\ngtk-theme-name=Adwaita-dark\n");
    LinuxDesktopAppearance darkTheme(queue, published());
    appearance::followDesktop(darkTheme);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows(darkColours()); }, 2000)) << last;

    SettingsPortal portal(bus.address(), 2); // prefer light
    LinuxDesktopAppearance desktop(queue, published());
    EXPECT_TRUE(desktop.portalAnswered());
    appearance::followDesktop(desktop);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows(lightColours()); }, 2000)) << last;
    // Prefer dark, light, then no preference: that hands back to the files.
    for (const uint32_t scheme : {1u, 2u, 0u}) {
        portal.change(scheme);
        const Colours colours = scheme == 2 ? lightColours() : darkColours();
        EXPECT_TRUE(QTest::qWaitFor([&] { return shows(colours); }, 5000)) << last;
    }
    EXPECT_TRUE(panel.isVisible());
    EXPECT_EQ(portal.reads(), 1);
    panel.searchField()->clear();
    EXPECT_TRUE(QTest::qWaitFor([&] { return showsPlaceholder(darkColours()); }, 2000)) << last;
}

// No preference, or a portal without the setting: the files decide.
TEST_F(AppearanceTest, WithoutAPreferenceFromThePortalTheFilesDecide) {
    writeFile(config.path() / "gtk-3.0" / "settings.ini",
              "[Settings]\ngtk-theme-name=Adwaita-dark\n");
    for (const std::optional<uint32_t> scheme : {std::optional<uint32_t>(0), std::optional<uint32_t>()}) {
        SettingsPortal portal(bus.address(), scheme);
        LinuxDesktopAppearance desktop(queue, published());
        EXPECT_TRUE(desktop.portalAnswered());
        EXPECT_EQ(desktop.colorScheme(), ColorScheme::dark);
    }
}

TEST_F(AppearanceTest, WhatTheDesktopPublishes) {
    using Files = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* what;
        std::optional<std::string> gtkThemeVariable;
        Files files;
        std::optional<ColorScheme> expected; // absent: the files say nothing
    };
    const std::string gtk3 = "gtk-3.0/settings.ini";
    const Case cases[] = {
        {"nothing", std::nullopt, {}, std::nullopt},
        {"GTK_THEME with a variant", "Adwaita:dark", {}, ColorScheme::dark},
        {"GTK_THEME over settings.ini", "Adwaita", {{gtk3, "[Settings]\ngtk-theme-name=Adwaita-dark\n"}},
         ColorScheme::light},
        {"a light GTK theme", std::nullopt, {{gtk3, "[Settings]\ngtk-theme-name = Adwaita\n"}}, ColorScheme::light},
        {"a dark GTK 4 theme", std::nullopt, {{"gtk-4.0/settings.ini", "[Settings]\ngtk-theme-name=Yaru-Dark\n"}},
         ColorScheme::dark},
        {"prefer dark", std::nullopt, {{gtk3, "[Settings]\ngtk-application-prefer-dark-theme=1\n"}},
         ColorScheme::dark},
        {"prefer dark off", std::nullopt, {{gtk3, "[Settings]\ngtk-application-prefer-dark-theme=0\n"}},
         ColorScheme::light},
        {"a theme named in another section", std::nullopt, {{gtk3, "[Other]\ngtk-theme-name=Adwaita-dark\n"}},
         std::nullopt},
        {"KDE Breeze Dark", std::nullopt, {{"kdeglobals", "[Colors:View]\nBackgroundNormal=35,38,41\n\n"
                                                          "[General]\nColorScheme=BreezeDark\n"}},
         ColorScheme::dark},
        {"KDE Breeze", std::nullopt, {{"kdeglobals", "[General]\nColorScheme=BreezeLight\n"}}, ColorScheme::light},
    };
    for (const Case& c : cases) {
        TempDir home;
        for (const auto& [path, text] : c.files)
            writeFile(home.path() / path, text);
        EXPECT_EQ(LinuxDesktopAppearance::publishedColorScheme({c.gtkThemeVariable, home.path()}), c.expected)
            << c.what;
    }
}

TEST_F(AppearanceTest, ABusThatNeverAnswersHoldsStartUpOnlyForTheWait) {
    // A socket that takes connections and never says a word.
    const auto path = work.path() / "silent";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ScopedEnv silent("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path.string());

    QElapsedTimer timer;
    timer.start();
    LinuxDesktopAppearance desktop(queue, published("Adwaita:dark"));
    // Nothing came: the constructor gave up by itself, at its time.
    EXPECT_GE(timer.elapsed(), LinuxDesktopAppearance::kFirstAnswerWait.count() - 20);
    EXPECT_LT(timer.elapsed(), LinuxDesktopAppearance::kFirstAnswerWait.count() + 300);
    EXPECT_FALSE(desktop.portalAnswered());
    EXPECT_EQ(desktop.colorScheme(), ColorScheme::dark) << "the files decide meanwhile";
    ::close(listener);
}

TEST_F(AppearanceTest, ThePairingWindowFollowsTheSchemeAndItsQRCodeStaysBlackOnWhite) {
    const auto identity = crypto::Ed25519PrivateKey::generate();
    SorvanePairWindow pairing;
    appearance::setColorScheme(ColorScheme::dark);
    pairing.show(buildQRPayload(crypto::randomBytes(16), identity.publicKey()), identity.publicKey().raw());
    PairView* view = pairing.window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view));

    auto check = [&](const Colours& colours) {
        const QImage image = onScreen(*view);
        const QColor ground = image.pixelColor(4, 4);
        const QColor code = inkIn(image, areaIn(view, view->codeLabel()), ground);
        if (!near(ground, colours.background) || !near(code, colours.code, 24))
            return false;
        // Inside the code's frame, every pixel is pure black or pure white.
        const QRect qr = areaIn(view, view->qrCode()).adjusted(12, 12, -12, -12);
        int black = 0, white = 0;
        for (int y = qr.top(); y <= qr.bottom(); ++y)
            for (int x = qr.left(); x <= qr.right(); ++x) {
                const QRgb pixel = image.pixel(x, y) & 0xffffff;
                black += pixel == 0x000000;
                white += pixel == 0xffffff;
            }
        return black > 0 && white > 0 && black + white == qr.width() * qr.height();
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return check(darkColours()); }, 2000));
    appearance::setColorScheme(ColorScheme::light);
    EXPECT_TRUE(QTest::qWaitFor([&] { return check(lightColours()); }, 2000));
}

// WCAG 2 contrast ratio of two opaque colours.
double contrast(QColor a, QColor b) {
    auto luminance = [](QColor c) {
        auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

TEST(DarkColours, ReadWellOnTheirGround) {
    const Colours dark = darkColours();
    EXPECT_GE(contrast(dark.primary, dark.background), 7.0);
    EXPECT_GE(contrast(dark.secondary, dark.background), 4.5);
    EXPECT_GE(contrast(dark.tertiary, dark.background), 3.0); // the small print: ages, the footer
    EXPECT_GE(contrast(dark.green, dark.background), 4.5);    // "Sent to phone"
    EXPECT_GE(contrast(dark.code, dark.background), 4.5);
    EXPECT_GE(contrast(dark.accent, dark.background), 3.0);
    EXPECT_GE(contrast(dark.onSelected, dark.selected), 4.5);
    EXPECT_GE(contrast(dark.selected, dark.background), 2.0); // the highlighted row stands out
    // The greys keep their order: text, captions, small print.
    EXPECT_GT(contrast(dark.primary, dark.background), contrast(dark.secondary, dark.background));
    EXPECT_GT(contrast(dark.secondary, dark.background), contrast(dark.tertiary, dark.background));
}

} // namespace
} // namespace sorvane::testing

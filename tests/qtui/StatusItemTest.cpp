// The tray icon as a desktop panel sees it: registered with a
// StatusNotifierWatcher on a real session bus, its exported icon name and
// pixmaps, its pulse on the real clock, and the panel's clicks sent over the
// bus. The desktop's settings files live in a folder of the test's own. Also
// what the symbols are made of: the symbolic theme that StatusNotifierItem
// hosts recolour, and the pixels an XEmbed tray shows on panels of either tone.
#include "adapters/qt/ui/SorvaneStatusItem.h"
#include "adapters/qt/ui/SymbolicIconTheme.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"
#include "testing/tray-session/TrayPanels.h"
#include "testing/tray-session/TraySession.h"
#include "ui/TrayIconChoice.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

namespace sorvane {
namespace {

using testing::SniItemClient;
using testing::SniWatcher;

SniWatcher* g_watcher = nullptr;
// XDG_CONFIG_HOME and XDG_DATA_HOME of the tests.
std::filesystem::path g_config;
std::filesystem::path g_data;

// How many pixels of two images differ by more than `tolerance` in a channel.
int differingPixels(const QImage& a, const QImage& b, int tolerance = 2) {
    if (a.size() != b.size())
        return a.width() * a.height() + 1;
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    int n = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
            if (std::abs(qAlpha(p) - qAlpha(q)) > tolerance ||
                (qAlpha(p) > 0 && (std::abs(qRed(p) - qRed(q)) > tolerance ||
                                   std::abs(qGreen(p) - qGreen(q)) > tolerance ||
                                   std::abs(qBlue(p) - qBlue(q)) > tolerance)))
                ++n;
        }
    return n;
}

// `svg`, a file name or the SVG itself, drawn `side` pixels square.
template <class Source> QImage renderSvg(const Source& svg, int side) {
    QSvgRenderer renderer(svg);
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, side, side));
    return image;
}

class StatusItemTest : public ::testing::Test {
protected:
    static constexpr int kSide = 32;

    void TearDown() override { m_item.reset(); }

    // Installs the item and connects to it as the panel would, through the
    // name it registered with the watcher.
    void install(const std::string& symbol) {
        const size_t before = g_watcher->items().size();
        m_item = std::make_unique<SorvaneStatusItem>();
        m_item->setOnActivate([this] { ++m_activations; });
        m_item->setIconChoice(symbol);
        m_item->install();
        ASSERT_TRUE(QTest::qWaitFor([&] { return g_watcher->items().size() > before; }, 10000))
            << "the item never registered with the watcher";
        m_client = std::make_unique<SniItemClient>(testing::trayTestBusAddress(), g_watcher->items().back());
    }

    // Waits until the exported pixmap is `symbol` drawn with `ink`.
    bool showsEventually(std::string_view symbol, const SorvaneStatusItem::Ink& ink, int timeoutMs = 5000) {
        return QTest::qWaitFor([&] { return shows(symbol, ink); }, timeoutMs);
    }
    bool shows(std::string_view symbol, const SorvaneStatusItem::Ink& ink) {
        return differingPixels(m_client->iconPixmap(kSide), SorvaneStatusItem::renderTraySymbol(symbol, ink, kSide)) == 0;
    }
    // The desktop's GTK settings, then a palette change as a desktop's switch brings.
    const SorvaneStatusItem::Ink m_resting = SorvaneStatusItem::restingInk(std::nullopt);
    std::unique_ptr<SorvaneStatusItem> m_item;
    std::unique_ptr<SniItemClient> m_client;
    int m_activations = 0;
};

TEST_F(StatusItemTest, ExportsTheSymbolicNameAndPixelsForTheDesktopSchemeAndTakesTheLeftClick) {
    install("scissors");
    // Hosts that find the name draw it in their own colours; the file is where they look.
    EXPECT_EQ(m_client->iconName(), "sorvane-scissors-symbolic");
    EXPECT_TRUE(std::filesystem::exists(g_data / "icons/hicolor/scalable/status/sorvane-scissors-symbolic.svg"));
    const QImage scissors = m_client->iconPixmap(kSide);
    ASSERT_FALSE(scissors.isNull()) << "no " << kSide << " px pixmap exported";
    EXPECT_TRUE(shows("scissors", m_resting)) << "a desktop that says nothing gets the light symbol";
    EXPECT_EQ(m_client->toolTipTitle(), "Sorvane");

    // Only the panel's left click activates. Calls are handled in order: once the
    // last left click has counted, the middle and right ones have been seen.
    m_client->activate(10, 10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_activations == 1; }, 5000));
    m_client->secondaryActivate(10, 10);
    m_client->contextMenu(10, 10);
    m_client->activate(10, 10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_activations >= 2; }, 5000));
    EXPECT_EQ(m_activations, 2);

    // Every choice shows its own symbol under its own name, and no two look alike.
    std::vector<QImage> seen;
    for (auto choice : allTrayIconChoices) {
        const auto name = symbolName(choice);
        m_item->setIconChoice(std::string(name));
        ASSERT_TRUE(showsEventually(name, m_resting)) << name;
        EXPECT_EQ(m_client->iconName(), symbolicIconName(name).toStdString());
        const QImage image = m_client->iconPixmap(kSide);
        for (size_t i = 0; i < seen.size(); ++i)
            EXPECT_GT(differingPixels(image, seen[i], 40), 40)
                << name << " looks like " << symbolName(allTrayIconChoices[i]);
        seen.push_back(image);
    }

    // A stored value that names no symbol shows the paperclip and says why.
    testing::LogCapture log;
    m_item->setIconChoice("star.fill");
    EXPECT_TRUE(showsEventually("paperclip", m_resting));
    EXPECT_EQ(m_client->iconName(), "sorvane-paperclip-symbolic");
    EXPECT_EQ(log.count("Sorvane: unknown tray icon \"star.fill\"; showing the paperclip"), 1u);

    // A switch of the desktop between light and dark redraws the resting symbol.
    m_item->setColorScheme(ColorScheme::light);
    EXPECT_TRUE(showsEventually("paperclip", SorvaneStatusItem::restingInk(ColorScheme::light)));
    m_item->setColorScheme(ColorScheme::dark);
    EXPECT_TRUE(showsEventually("paperclip", SorvaneStatusItem::restingInk(ColorScheme::dark)));
}

TEST_F(StatusItemTest, PulseStaysYellowUntilTheHoldAfterTheLastPulseAndKeepsAChoiceMadeMeanwhile) {
    install("clipboard");
    ASSERT_TRUE(showsEventually("clipboard", m_resting));
    const SorvaneStatusItem::Ink yellow = SorvaneStatusItem::pulseInk();

    // Three pulses 150 ms apart: the restore of the first would fall before
    // the third's hold is over.
    m_item->animateIconPulse();
    ASSERT_TRUE(showsEventually("clipboard", yellow)) << "the pulse is yellow";
    EXPECT_EQ(m_client->iconName(), "") << "a host would draw a named icon in its own colour, not yellow";
    QTest::qWait(150);
    m_item->animateIconPulse();
    QTest::qWait(150);
    m_item->animateIconPulse();
    QElapsedTimer sinceLast;
    sinceLast.start();
    ASSERT_TRUE(showsEventually("clipboard", m_resting, 3000)) << "never back at rest";
    EXPECT_EQ(m_client->iconName(), "sorvane-clipboard-symbolic");
    EXPECT_GE(sinceLast.elapsed(), SorvaneStatusItem::pulseHold.count())
        << "back at rest before the hold after the last pulse was over";
    EXPECT_FALSE(m_item->isPulsing());

    // Pulses of a stored name that is no symbol use the paperclip too.
    m_item->setIconChoice("no.such.symbol");
    m_item->animateIconPulse();
    EXPECT_TRUE(showsEventually("paperclip", yellow));
    EXPECT_TRUE(showsEventually("paperclip", m_resting, 3000));

    // A choice made during a pulse shows at once, at rest, and stays after the hold.
    m_item->animateIconPulse();
    ASSERT_TRUE(showsEventually("paperclip", yellow));
    m_item->setIconChoice("doc.on.doc");
    ASSERT_TRUE(showsEventually("doc.on.doc", m_resting));
    QTest::qWait(static_cast<int>(SorvaneStatusItem::pulseHold.count()) + 200);
    EXPECT_TRUE(shows("doc.on.doc", m_resting)) << "the restore brought the old symbol back";
}

TEST(ApplicationIcon, DrawnIconMatchesTheShippedSvgAndBecomesTheWindowIcon) {
    SorvaneStatusItem item; // makes the resources available
    const int side = 256;
    const QImage drawn = SorvaneStatusItem::renderApplicationIcon(side);
    EXPECT_EQ(qAlpha(drawn.pixel(2, 2)), 0) << "outside the rounded square";
    EXPECT_EQ(qAlpha(drawn.pixel(21, 21)), 0) << "cut off by the rounded corner";
    EXPECT_EQ(QColor::fromRgba(drawn.pixel(30, side / 2)), QColor(Qt::white));
    // A point of the clip's path, (12.1369, 19.9151) on its 24-unit grid.
    const double s = 0.64 * side / 24, offset = (side - 24 * s) / 2;
    const QColor onClip = QColor::fromRgba(drawn.pixel(qRound(offset + 12.1369 * s), qRound(offset + 19.9151 * s)));
    EXPECT_EQ(onClip, QColor(94, 122, 196));

    // Anti-aliasing may differ along the edges, nowhere else.
    const QImage shipped = renderSvg(QStringLiteral(":/sorvane/org.sorvane.app.svg"), side);
    EXPECT_LT(differingPixels(drawn, shipped, 24), side * side / 200);

    item.setApplicationIcon();
    const QImage window = QGuiApplication::windowIcon().pixmap(side, side).toImage();
    EXPECT_EQ(differingPixels(window, drawn), 0);
}

TEST(SymbolicIconTheme, EachSymbolIsOneFilledShapeCoveringWhatTheSymbolCovers) {
    SorvaneStatusItem resources; // makes the symbols available
    const int side = 48;
    for (auto choice : allTrayIconChoices) {
        const auto name = symbolName(choice);
        const QByteArray svg = symbolicSvg(
            symbolOutline(QStringLiteral(":/sorvane/tray/") +
                          QString::fromUtf8(name.data(), name.size()) + QStringLiteral(".svg")));
        // GTK recolours a symbolic icon by setting the fill of its shapes: no strokes.
        EXPECT_EQ(svg.count("<path"), 1) << name;
        EXPECT_FALSE(svg.contains("stroke")) << name;
        const QImage symbolic = renderSvg(svg, side);
        const QImage original = SorvaneStatusItem::renderSymbol(name, Qt::black, side);
        int covered = 0, differing = 0;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                const int a = qAlpha(original.pixel(x, y)), b = qAlpha(symbolic.pixel(x, y));
                covered += a > 128;
                differing += std::abs(a - b) > 96;
            }
        EXPECT_GT(covered, side * side / 20) << name;
        EXPECT_LE(differing, covered / 50) << name << ": the outline strays from the symbol";
    }

    // Written where hosts look, once: an unchanged file is left alone.
    testing::TempDir dir;
    const QString icons = QString::fromStdString((dir.path() / "icons").string());
    QString error;
    ASSERT_TRUE(installSymbolicIcons(icons, &error)) << error.toStdString();
    const auto paperclip =
        dir.path() / "icons/hicolor/scalable/status/sorvane-paperclip-symbolic.svg";
    ASSERT_TRUE(std::filesystem::exists(paperclip));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(paperclip.parent_path()),
                            std::filesystem::directory_iterator()),
              static_cast<long>(allTrayIconChoices.size()));
    const auto written = std::filesystem::last_write_time(paperclip);
    std::filesystem::last_write_time(paperclip, written - std::chrono::hours(1));
    ASSERT_TRUE(installSymbolicIcons(icons, &error));
    EXPECT_EQ(std::filesystem::last_write_time(paperclip), written - std::chrono::hours(1));
    // A place that cannot hold it is said so.
    std::ofstream(dir.path() / "file-not-dir") << "x";
    EXPECT_FALSE(installSymbolicIcons(
        QString::fromStdString((dir.path() / "file-not-dir").string()), &error));
    EXPECT_FALSE(error.isEmpty());
}

// The pixels an XEmbed tray shows, on a dark and on a light panel: every
// symbol, at rest for each scheme and in the pulse, reaches 3:1 on both.
TEST(TraySymbolPixels, EverySymbolReadsOnDarkAndLightPanels) {
    SorvaneStatusItem resources;
    const int side = 22;
    const QColor panels[] = {QColor(0x10, 0x10, 0x10), QColor(0x40, 0x44, 0x4b),
                             QColor(0xd6, 0xd6, 0xd6), QColor(0xfa, 0xfa, 0xfa)};
    const std::pair<const char*, SorvaneStatusItem::Ink> inks[] = {
        {"rest, no scheme", SorvaneStatusItem::restingInk(std::nullopt)},
        {"rest, dark", SorvaneStatusItem::restingInk(ColorScheme::dark)},
        {"rest, light", SorvaneStatusItem::restingInk(ColorScheme::light)},
        {"pulse", SorvaneStatusItem::pulseInk()},
    };
    for (auto choice : allTrayIconChoices)
        for (const auto& [label, ink] : inks)
            for (const QColor& panel : panels) {
                SCOPED_TRACE(std::string(symbolName(choice)) + ", " + label + ", on " +
                             panel.name().toStdString());
                QImage screen(side + 12, side + 12, QImage::Format_RGB32);
                screen.fill(panel);
                QPainter(&screen).drawImage(
                    6, 6, SorvaneStatusItem::renderTraySymbol(symbolName(choice), ink, side));
                const auto contrast = testing::measureIconContrast(screen, QRect(6, 6, side, side));
                EXPECT_GE(contrast.ratio, 3.0);
                EXPECT_GE(contrast.inkBox.width(), contrast.iconBox.width() * 8 / 10);
                EXPECT_GE(contrast.inkBox.height(), contrast.iconBox.height() * 8 / 10);
            }
    // The pulse is yellow where the symbol is.
    const QImage pulse =
        SorvaneStatusItem::renderTraySymbol("paperclip", SorvaneStatusItem::pulseInk(), side);
    int yellow = 0;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            yellow += QColor::fromRgba(pulse.pixel(x, y)) == SorvaneStatusItem::pulseColour();
    EXPECT_GT(yellow, 15);
}

} // namespace
} // namespace sorvane

int main(int argc, char** argv) {
    sorvane::testing::TempDir home;
    sorvane::g_config = home.path() / "config";
    sorvane::g_data = home.path() / "data";
    sorvane::testing::ScopedEnv config("XDG_CONFIG_HOME", sorvane::g_config.string());
    sorvane::testing::ScopedEnv data("XDG_DATA_HOME", sorvane::g_data.string());
    unsetenv("GTK_THEME");
    return sorvane::testing::runTrayTests(argc, argv, [](const std::string& bus) {
        auto watcher = std::make_shared<sorvane::testing::SniWatcher>(bus);
        sorvane::g_watcher = watcher.get();
        return std::shared_ptr<void>(watcher);
    });
}

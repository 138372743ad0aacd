// What the tray symbols are made of: the symbolic theme that StatusNotifierItem
// hosts recolour, the pixels an XEmbed tray shows on panels of either tone, and
// Runs in the tray tests' process.
#include "adapters/qt/ui/SorvaneStatusItem.h"
#include "adapters/qt/ui/SymbolicIconTheme.h"
#include "testing/test-env/TempDir.h"
#include "testing/tray-session/TrayPanels.h"
#include "ui/TrayIconChoice.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <QSvgRenderer>

#include <filesystem>
#include <fstream>

namespace sorvane {
namespace {

QImage renderSvg(const QByteArray& svg, int side) {
    QSvgRenderer renderer(svg);
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, side, side));
    return image;
}

TEST(SymbolicIconTheme, EachSymbolIsOneFilledShapeCoveringWhatTheSymbolCovers) {
    SorvaneStatusItem resources; // makes the symbols available
    const int side = 48;
    for (auto choice : allTrayIconChoices) {
        const auto name = symbolName(choice);
        const QByteArray svg = symbolicSvg(
            symbolOutline(QStringLiteral(":/sorvane/tray/") + QString::fromUtf8(name.data(), name.size()) +
                          QStringLiteral(".svg")));
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
    const auto paperclip = dir.path() / "icons/hicolor/scalable/status/sorvane-paperclip-symbolic.svg";
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
    EXPECT_FALSE(installSymbolicIcons(QString::fromStdString((dir.path() / "file-not-dir").string()), &error));
    EXPECT_FALSE(error.isEmpty());
}

// The pixels an XEmbed tray shows, on a dark and on a light panel: every
// symbol, at rest for each scheme and in the pulse, reaches 3:1 on both.
TEST(TraySymbolPixels, EverySymbolReadsOnDarkAndLightPanels) {
    SorvaneStatusItem resources;
    const int side = 22;
    const QColor panels[] = {QColor(0x10, 0x10, 0x10), QColor(0x40, 0x44, 0x4b), QColor(0xd6, 0xd6, 0xd6),
                             QColor(0xfa, 0xfa, 0xfa)};
    const std::pair<const char*, SorvaneStatusItem::Ink> inks[] = {
        {"rest, no scheme", SorvaneStatusItem::restingInk(std::nullopt)},
        {"rest, dark", SorvaneStatusItem::restingInk(ColorScheme::dark)},
        {"rest, light", SorvaneStatusItem::restingInk(ColorScheme::light)},
        {"pulse", SorvaneStatusItem::pulseInk()},
    };
    for (auto choice : allTrayIconChoices)
        for (const auto& [label, ink] : inks)
            for (const QColor& panel : panels) {
                QImage screen(side + 12, side + 12, QImage::Format_RGB32);
                screen.fill(panel);
                QPainter(&screen).drawImage(6, 6, SorvaneStatusItem::renderTraySymbol(symbolName(choice), ink, side));
                const auto contrast = testing::measureIconContrast(screen, QRect(6, 6, side, side));
                EXPECT_GE(contrast.ratio, 3.0) << symbolName(choice) << ", " << label << ", on " << panel.name().toStdString();
                EXPECT_GE(contrast.inkBox.width(), contrast.iconBox.width() * 8 / 10) << symbolName(choice) << ", " << label;
                EXPECT_GE(contrast.inkBox.height(), contrast.iconBox.height() * 8 / 10) << symbolName(choice) << ", " << label;
            }
    // The pulse is yellow where the symbol is.
    const QImage pulse = SorvaneStatusItem::renderTraySymbol("paperclip", SorvaneStatusItem::pulseInk(), side);
    int yellow = 0;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            yellow += QColor::fromRgba(pulse.pixel(x, y)) == SorvaneStatusItem::pulseColour();
    EXPECT_GT(yellow, 15);
}

} // namespace
} // namespace sorvane

// The tray icon as a desktop panel sees it: registered with a
// StatusNotifierWatcher on a real session bus, its exported pixmaps, its pulse
// on the real clock, and the panel's clicks sent over the bus.
#include "adapters/qt/ui/SorvaneStatusItem.h"
#include "testing/tray-session/TraySession.h"
#include "testing/test-env/LogCapture.h"
#include "ui/TrayIconChoice.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>

#include <memory>
#include <optional>

namespace sorvane {
namespace {

using testing::SniItemClient;
using testing::SniWatcher;

SniWatcher* g_watcher = nullptr;

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

// The colour of every fully opaque pixel, when they all share one.
std::optional<QColor> inkColour(const QImage& image) {
    std::optional<QColor> ink;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAlpha(p) != 255)
                continue;
            const QColor c = QColor::fromRgb(p);
            if (ink && *ink != c)
                return std::nullopt;
            ink = c;
        }
    return ink;
}

class StatusItemTest : public ::testing::Test {
protected:
    static constexpr int kSide = 32;

    void SetUp() override {
        m_palette = QApplication::palette();
        QPalette p = m_palette;
        p.setColor(QPalette::WindowText, m_text);
        QApplication::setPalette(p);
    }
    void TearDown() override {
        m_item.reset();
        QApplication::setPalette(m_palette);
    }

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

    // Waits until the exported icon is `symbol` drawn in `colour`.
    bool showsEventually(std::string_view symbol, const QColor& colour, int timeoutMs = 5000) {
        const QImage expected = SorvaneStatusItem::renderSymbol(symbol, colour, kSide);
        return QTest::qWaitFor([&] { return differingPixels(m_client->iconPixmap(kSide), expected) == 0; },
                               timeoutMs);
    }
    bool shows(std::string_view symbol, const QColor& colour) {
        return differingPixels(m_client->iconPixmap(kSide),
                               SorvaneStatusItem::renderSymbol(symbol, colour, kSide)) == 0;
    }

    const QColor m_text{0x1e, 0x5a, 0xa0};
    QPalette m_palette;
    std::unique_ptr<SorvaneStatusItem> m_item;
    std::unique_ptr<SniItemClient> m_client;
    int m_activations = 0;
};

TEST_F(StatusItemTest, RegistersAndExportsEachChosenSymbolInTheTextColour) {
    install("scissors");
    const QImage scissors = m_client->iconPixmap(kSide);
    ASSERT_FALSE(scissors.isNull()) << "no " << kSide << " px pixmap exported";
    EXPECT_EQ(inkColour(scissors), m_text) << "at rest the symbol takes the palette's text colour";
    EXPECT_EQ(differingPixels(scissors, SorvaneStatusItem::renderSymbol("scissors", m_text, kSide)), 0);
    EXPECT_EQ(m_client->toolTipTitle(), "Sorvane");

    // Every choice shows its own symbol, and no two look alike.
    std::vector<QImage> seen;
    for (auto choice : allTrayIconChoices) {
        const auto name = symbolName(choice);
        m_item->setIconChoice(std::string(name));
        ASSERT_TRUE(showsEventually(name, m_text)) << name;
        const QImage image = m_client->iconPixmap(kSide);
        for (size_t i = 0; i < seen.size(); ++i)
            EXPECT_GT(differingPixels(image, seen[i], 40), 40)
                << name << " looks like " << symbolName(allTrayIconChoices[i]);
        seen.push_back(image);
    }

    // A stored value that names no symbol shows the paperclip and says why.
    testing::LogCapture log;
    m_item->setIconChoice("star.fill");
    EXPECT_TRUE(showsEventually("paperclip", m_text));
    EXPECT_EQ(log.count("Sorvane: unknown tray icon \"star.fill\"; showing the paperclip"), 1u);

    // A switch between light and dark redraws the resting symbol.
    QPalette light = QApplication::palette();
    light.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    QApplication::setPalette(light);
    EXPECT_TRUE(showsEventually("paperclip", QColor(0xee, 0xee, 0xee)));
}

TEST_F(StatusItemTest, PulseStaysYellowUntilTheHoldAfterTheLastPulse) {
    install("clipboard");
    ASSERT_TRUE(showsEventually("clipboard", m_text));
    const QColor yellow = SorvaneStatusItem::pulseColour();

    // Three pulses 150 ms apart: the restore of the first would fall before
    // the third's hold is over.
    m_item->animateIconPulse();
    ASSERT_TRUE(showsEventually("clipboard", yellow)) << "the pulse is yellow";
    EXPECT_EQ(inkColour(m_client->iconPixmap(kSide)), yellow);
    QTest::qWait(150);
    m_item->animateIconPulse();
    QTest::qWait(150);
    m_item->animateIconPulse();
    QElapsedTimer sinceLast;
    sinceLast.start();
    ASSERT_TRUE(showsEventually("clipboard", m_text, 3000)) << "never back at rest";
    EXPECT_GE(sinceLast.elapsed(), SorvaneStatusItem::pulseHold.count())
        << "back at rest before the hold after the last pulse was over";
    EXPECT_FALSE(m_item->isPulsing());

    // Pulses of a stored name that is no symbol use the paperclip too.
    m_item->setIconChoice("no.such.symbol");
    m_item->animateIconPulse();
    EXPECT_TRUE(showsEventually("paperclip", yellow));
    EXPECT_TRUE(showsEventually("paperclip", m_text, 3000));
}

TEST_F(StatusItemTest, ChoiceChangedDuringAPulseStaysAfterTheHold) {
    install("clipboard");
    m_item->animateIconPulse();
    ASSERT_TRUE(showsEventually("clipboard", SorvaneStatusItem::pulseColour()));
    m_item->setIconChoice("doc.on.doc");
    ASSERT_TRUE(showsEventually("doc.on.doc", m_text)) << "the new symbol shows at once, at rest";
    // Past the hold of the pulse: no restore brings the old symbol back.
    QTest::qWait(static_cast<int>(SorvaneStatusItem::pulseHold.count()) + 200);
    EXPECT_TRUE(shows("doc.on.doc", m_text));
}

TEST_F(StatusItemTest, OnlyTheLeftClickFromThePanelActivates) {
    install("paperclip");
    m_client->activate(10, 10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_activations == 1; }, 5000));
    // Middle and right click, then a left click: calls are handled in order,
    // so once the last one has counted the first two have been seen.
    m_client->secondaryActivate(10, 10);
    m_client->contextMenu(10, 10);
    m_client->activate(10, 10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_activations >= 2; }, 5000));
    EXPECT_EQ(m_activations, 2);
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

    QSvgRenderer svg(QStringLiteral(":/sorvane/org.sorvane.app.svg"));
    ASSERT_TRUE(svg.isValid());
    QImage shipped(side, side, QImage::Format_ARGB32_Premultiplied);
    shipped.fill(Qt::transparent);
    {
        QPainter painter(&shipped);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter, QRectF(0, 0, side, side));
    }
    // Anti-aliasing may differ along the edges, nowhere else.
    EXPECT_LT(differingPixels(drawn, shipped, 24), side * side / 200);

    item.setApplicationIcon();
    const QImage window = QGuiApplication::windowIcon().pixmap(side, side).toImage();
    EXPECT_EQ(differingPixels(window, drawn), 0);
}

} // namespace
} // namespace sorvane

int main(int argc, char** argv) {
    return sorvane::testing::runTrayTests(argc, argv, [](const std::string& bus) {
        auto watcher = std::make_shared<sorvane::testing::SniWatcher>(bus);
        sorvane::g_watcher = watcher.get();
        return std::shared_ptr<void>(watcher);
    });
}

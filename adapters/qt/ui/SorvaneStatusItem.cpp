#include "adapters/qt/ui/SorvaneStatusItem.h"

#include "adapters/qt/ui/SymbolicIconTheme.h"
#include "base/Log.h"
#include "ui/TrayIconChoice.h"

#include <QApplication>
#include <QEvent>
#include <QMouseEvent>
#include <QIcon>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSvgRenderer>
#include <QSystemTrayIcon>

#include <algorithm>
#include <cmath>
#include <vector>

// Resources of a static library are registered only when something refers to
// them; this must be called outside any namespace.
static void initSorvaneIconResources() { Q_INIT_RESOURCE(sorvane_icons); }

namespace sorvane {
namespace {

// Sizes offered to the tray; hosts pick the nearest (SNI sends all up to 64 px).
constexpr int kTraySizes[] = {16, 22, 24, 32, 48, 64};
constexpr int kAppIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};

QString symbolResource(std::string_view symbolName) {
    return QStringLiteral(":/sorvane/tray/") +
           QString::fromUtf8(symbolName.data(), static_cast<qsizetype>(symbolName.size())) +
           QStringLiteral(".svg");
}

// The paperclip on its 24 × 24 grid, one open path.
QPainterPath paperclipPath() {
    QPainterPath p;
    p.moveTo(21.1525, 10.8995);
    p.lineTo(12.1369, 19.9151);
    p.cubicTo(10.0866, 21.9653, 6.7625, 21.9653, 4.71225, 19.9151);
    p.cubicTo(2.662, 17.8648, 2.662, 14.5407, 4.71225, 12.4904);
    p.lineTo(13.7279, 3.47483);
    p.cubicTo(15.0947, 2.108, 17.3108, 2.108, 18.6776, 3.47483);
    p.cubicTo(20.0444, 4.84167, 20.0444, 7.05775, 18.6776, 8.42458);
    p.lineTo(10.0156, 17.0866);
    p.cubicTo(9.33213, 17.7701, 8.22409, 17.7701, 7.54068, 17.0866);
    p.cubicTo(6.85726, 16.4032, 6.85726, 15.2952, 7.54068, 14.6118);
    p.lineTo(15.1421, 7.01037);
    return p;
}

// The icon handed to the tray: the drawn pixmaps, and for StatusNotifierItem
// hosts the name of the same symbol in our symbolic theme (Qt exports
// QIcon::name() as IconName and the pixmaps as IconPixmap).
class TrayIconEngine final : public QIconEngine {
public:
    TrayIconEngine(QString name, QIcon pixmaps) : m_name(std::move(name)), m_pixmaps(std::move(pixmaps)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        m_pixmaps.paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return m_pixmaps.actualSize(size, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return m_pixmaps.pixmap(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return m_pixmaps.availableSizes(mode, state);
    }
    QString iconName() override { return m_name; }
    QString key() const override { return QStringLiteral("SorvaneTrayIcon"); }
    QIconEngine* clone() const override { return new TrayIconEngine(m_name, m_pixmaps); }

private:
    QString m_name;
    QIcon m_pixmaps;
};

} // namespace

SorvaneStatusItem::SorvaneStatusItem(QObject* parent)
    : QObject(parent), m_symbol(symbolName(defaultTrayIconChoice)) {
    initSorvaneIconResources();
    m_restore.setSingleShot(true);
    // A coarse timer may fire up to 5% early; the hold is a promise to the eye.
    m_restore.setTimerType(Qt::PreciseTimer);
    m_restore.setInterval(pulseHold);
    QObject::connect(&m_restore, &QTimer::timeout, this, [this] { showResting(); });
}

void SorvaneStatusItem::setColorScheme(std::optional<ColorScheme> stated) {
    m_scheme = stated;
    if (!isPulsing())
        showResting();
}

SorvaneStatusItem::~SorvaneStatusItem() {
    if (qApp)
        qApp->removeEventFilter(this);
}

QColor SorvaneStatusItem::pulseColour() { return QColor(255, 204, 0); }

SorvaneStatusItem::Ink SorvaneStatusItem::restingInk(std::optional<ColorScheme> stated) {
    // Trays of their own (tint2, stalonetray, trayer) are dark unless told
    // otherwise, so a desktop that says nothing gets the light symbol.
    if (stated == ColorScheme::light)
        return {QColor(0x23, 0x26, 0x29), QColor(255, 255, 255, 240)};
    return {QColor(0xf4, 0xf4, 0xf4), QColor(0, 0, 0, 240)};
}

SorvaneStatusItem::Ink SorvaneStatusItem::pulseInk() { return {pulseColour(), QColor(0, 0, 0, 240)}; }

QImage SorvaneStatusItem::renderTraySymbol(std::string_view symbolName, const Ink& ink, int side) {
    const QImage coverage = renderSymbol(symbolName, Qt::black, side);
    if (coverage.isNull())
        return {};
    const QImage alpha = coverage.convertToFormat(QImage::Format_Alpha8);
    // The halo: the symbol's coverage widened by `radius`, its rim anti-aliased.
    const double radius = std::max(1.0, side / 12.0);
    const int reach = static_cast<int>(std::ceil(radius + 0.5));
    std::vector<std::pair<QPoint, double>> disc;
    for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx) {
            const double weight = std::clamp(radius + 0.5 - std::hypot(dx, dy), 0.0, 1.0);
            if (weight > 0)
                disc.emplace_back(QPoint(dx, dy), weight);
        }
    QImage halo(side, side, QImage::Format_ARGB32_Premultiplied);
    halo.fill(Qt::transparent);
    for (int y = 0; y < side; ++y) {
        auto* out = reinterpret_cast<QRgb*>(halo.scanLine(y));
        for (int x = 0; x < side; ++x) {
            double cover = 0;
            for (const auto& [offset, weight] : disc) {
                const int sx = x + offset.x(), sy = y + offset.y();
                if (sx < 0 || sy < 0 || sx >= side || sy >= side)
                    continue;
                cover = std::max(cover, alpha.constScanLine(sy)[sx] / 255.0 * weight);
            }
            const double a = cover * ink.halo.alphaF();
            out[x] = qPremultiply(qRgba(ink.halo.red(), ink.halo.green(), ink.halo.blue(), qRound(a * 255)));
        }
    }
    QPainter painter(&halo);
    painter.drawImage(0, 0, renderSymbol(symbolName, ink.symbol, side));
    return halo;
}

QImage SorvaneStatusItem::renderSymbol(std::string_view symbolName, const QColor& colour, int side) {
    initSorvaneIconResources();
    if (!trayIconChoiceFromSymbol(symbolName) || side <= 0)
        return {};
    QSvgRenderer svg(symbolResource(symbolName));
    if (!svg.isValid())
        return {};
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter, QRectF(0, 0, side, side));
    // The symbols are drawn in black; keep their coverage, take the colour.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), colour);
    return image;
}

QImage SorvaneStatusItem::renderApplicationIcon(int side) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (side <= 0)
        return image;
    const double w = side;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double inset = 0.08 * w;
    const double inner = w - 2 * inset;
    const double radius = 0.2237 * inner;
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(QRectF(inset, inset, inner, inner), radius, radius);

    const double s = 0.64 * w / 24;
    const double offset = (w - 24 * s) / 2;
    painter.translate(offset, offset);
    painter.scale(s, s);
    QPen pen(QColor(94, 122, 196), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.strokePath(paperclipPath(), pen);
    return image;
}

void SorvaneStatusItem::setApplicationIcon() {
    QIcon icon;
    for (int side : kAppIconSizes)
        icon.addPixmap(QPixmap::fromImage(renderApplicationIcon(side)));
    QApplication::setWindowIcon(icon);
}

void SorvaneStatusItem::install() {
    if (m_tray)
        return;
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        logLine("Sorvane: no system tray found; open the panel with the hot-key or "
                "\"sorvane --toggle-panel\"");
    QString error;
    m_themeInstalled = installSymbolicIcons(userIconsDir(), &error);
    if (!m_themeInstalled)
        logLine("Sorvane: the tray icon goes to the panel as a picture only (" + error.toStdString() + ")");
    m_tray = new QSystemTrayIcon(this);
    m_tray->setToolTip(QStringLiteral("Sorvane"));
    QObject::connect(m_tray, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         // An XEmbed click is taken on its release (see eventFilter).
                         if (reason == QSystemTrayIcon::Trigger && m_onActivate && !m_xembedPress)
                             m_onActivate();
                     });
    showResting();
    // Clicks on an XEmbed icon are taken from the application's events.
    qApp->installEventFilter(this);
    m_tray->show();
}

void SorvaneStatusItem::animateIconPulse() {
    if (!m_tray)
        return;
    showSymbol(pulseInk(), false);
    m_restore.start();
}

void SorvaneStatusItem::setOnActivate(std::function<void()> onActivate) {
    m_onActivate = std::move(onActivate);
}

void SorvaneStatusItem::setIconChoice(const std::string& name) {
    const auto choice = trayIconChoiceFromSymbol(name);
    if (!choice)
        logLine("Sorvane: unknown tray icon \"" + name + "\"; showing the paperclip");
    m_symbol = symbolName(choice.value_or(defaultTrayIconChoice));
    // The restore always shows the current choice, so ending the pulse here
    // loses nothing and the new symbol shows at once.
    m_restore.stop();
    if (m_tray)
        showResting();
}

bool SorvaneStatusItem::eventFilter(QObject* watched, QEvent* event) {
    // Qt reports a click on an XEmbed tray icon (its window is Qt's
    // QSystemTrayIconSys) on the press. The search panel would open while the
    // same press is still on its way to the panel's watch for clicks outside
    // it, and close again; so the click counts when the button comes up.
    const QEvent::Type type = event->type();
    if ((type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease) && m_tray &&
        watched->objectName() == QLatin1String("QSystemTrayIconSys") &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (type == QEvent::MouseButtonPress) {
            m_xembedPress = true;
        } else if (m_xembedPress) {
            m_xembedPress = false;
            if (m_onActivate)
                m_onActivate();
        }
    }
    return QObject::eventFilter(watched, event);
}

void SorvaneStatusItem::showSymbol(const Ink& ink, bool exportName) {
    QIcon pixmaps;
    for (int side : kTraySizes)
        pixmaps.addPixmap(QPixmap::fromImage(renderTraySymbol(m_symbol, ink, side)));
    const QString name = exportName && m_themeInstalled ? symbolicIconName(m_symbol) : QString();
    m_tray->setIcon(QIcon(new TrayIconEngine(name, pixmaps)));
}

void SorvaneStatusItem::showResting() {
    if (m_tray)
        showSymbol(restingInk(m_scheme), true);
}

} // namespace sorvane

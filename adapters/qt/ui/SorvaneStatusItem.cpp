#include "adapters/qt/ui/SorvaneStatusItem.h"

#include "base/Log.h"
#include "ui/TrayIconChoice.h"

#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>
#include <QSystemTrayIcon>

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

QColor templateColour() { return QApplication::palette().color(QPalette::WindowText); }

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

SorvaneStatusItem::~SorvaneStatusItem() {
    if (qApp)
        qApp->removeEventFilter(this);
}

QColor SorvaneStatusItem::pulseColour() { return QColor(255, 204, 0); }

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
    m_tray = new QSystemTrayIcon(this);
    m_tray->setToolTip(QStringLiteral("Sorvane"));
    QObject::connect(m_tray, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger && m_onActivate)
                             m_onActivate();
                     });
    showResting();
    // A dark/light switch of the desktop changes the text colour the symbol is drawn in.
    qApp->installEventFilter(this);
    m_tray->show();
}

void SorvaneStatusItem::animateIconPulse() {
    if (!m_tray)
        return;
    showSymbol(pulseColour());
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
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && m_tray &&
        !isPulsing())
        showResting();
    return QObject::eventFilter(watched, event);
}

void SorvaneStatusItem::showSymbol(const QColor& colour) {
    QIcon icon;
    for (int side : kTraySizes)
        icon.addPixmap(QPixmap::fromImage(renderSymbol(m_symbol, colour, side)));
    m_tray->setIcon(icon);
}

void SorvaneStatusItem::showResting() {
    if (m_tray)
        showSymbol(templateColour());
}

} // namespace sorvane

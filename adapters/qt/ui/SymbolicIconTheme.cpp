#include "adapters/qt/ui/SymbolicIconTheme.h"

#include "ui/TrayIconChoice.h"

#include <QDir>
#include <QFile>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QPainterPathStroker>
#include <QSaveFile>
#include <QSvgRenderer>

#include <cstdlib>

namespace sorvane {
namespace {

constexpr int kGrid = 24;

// Collects what a painter draws as filled outlines: a filled shape as it is, a
// stroke widened by its pen, both through the painter's transform.
class OutlineEngine final : public QPaintEngine {
public:
    OutlineEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}

    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    Type type() const override { return QPaintEngine::User; }
    void updateState(const QPaintEngineState& changed) override {
        if (changed.state() & DirtyPen)
            m_pen = changed.pen();
        if (changed.state() & DirtyBrush)
            m_brush = changed.brush();
        if (changed.state() & DirtyTransform)
            m_transform = changed.transform();
    }
    void drawPath(const QPainterPath& path) override {
        if (m_brush.style() != Qt::NoBrush)
            add(path);
        if (m_pen.style() != Qt::NoPen)
            add(QPainterPathStroker(m_pen).createStroke(path));
    }
    void drawPolygon(const QPointF* points, int count, PolygonDrawMode mode) override {
        if (count < 2)
            return;
        QPainterPath path(points[0]);
        for (int i = 1; i < count; ++i)
            path.lineTo(points[i]);
        if (mode == PolylineMode) {
            if (m_pen.style() != Qt::NoPen)
                add(QPainterPathStroker(m_pen).createStroke(path));
            return;
        }
        path.closeSubpath();
        path.setFillRule(mode == OddEvenMode ? Qt::OddEvenFill : Qt::WindingFill);
        drawPath(path);
    }
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}

    const QPainterPath& outline() const { return m_outline; }

private:
    void add(const QPainterPath& path) {
        const QPainterPath mapped = m_transform.map(path);
        m_outline = m_outline.isEmpty() ? mapped.simplified() : m_outline.united(mapped);
    }

    QPen m_pen;
    QBrush m_brush;
    QTransform m_transform;
    QPainterPath m_outline;
};

class OutlineDevice final : public QPaintDevice {
public:
    QPaintEngine* paintEngine() const override { return &m_engine; }
    const QPainterPath& outline() const { return m_engine.outline(); }

protected:
    int metric(PaintDeviceMetric metric) const override {
        switch (metric) {
        case PdmWidth:
        case PdmHeight:
            return kGrid;
        case PdmWidthMM:
        case PdmHeightMM:
            return kGrid * 254 / 960;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY:
            return 96;
        case PdmDevicePixelRatio:
            return 1;
        case PdmDevicePixelRatioScaled:
            return static_cast<int>(devicePixelRatioFScale());
        case PdmDepth:
            return 32;
        case PdmNumColors:
            return 0;
        }
        return 0;
    }

private:
    mutable OutlineEngine m_engine;
};

QString number(qreal v) {
    QString s = QString::number(v, 'f', 3);
    while (s.endsWith(QLatin1Char('0')))
        s.chop(1);
    if (s.endsWith(QLatin1Char('.')))
        s.chop(1);
    return s == QStringLiteral("-0") ? QStringLiteral("0") : s;
}

QString pathData(const QPainterPath& path) {
    QString d;
    auto point = [&](qreal x, qreal y) { d += number(x) + QLatin1Char(' ') + number(y); };
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            if (i > 0)
                d += QStringLiteral("Z ");
            d += QStringLiteral("M ");
            point(e.x, e.y);
            break;
        case QPainterPath::LineToElement:
            d += QStringLiteral(" L ");
            point(e.x, e.y);
            break;
        case QPainterPath::CurveToElement:
            d += QStringLiteral(" C ");
            point(e.x, e.y);
            break;
        case QPainterPath::CurveToDataElement:
            d += QLatin1Char(' ');
            point(e.x, e.y);
            break;
        }
        if (e.type != QPainterPath::MoveToElement && i + 1 < path.elementCount() &&
            path.elementAt(i + 1).type == QPainterPath::MoveToElement)
            d += QLatin1Char(' ');
    }
    if (!d.isEmpty())
        d += QStringLiteral(" Z");
    return d;
}

} // namespace

QString symbolicIconName(std::string_view symbolName) {
    QString name = QString::fromUtf8(symbolName.data(), static_cast<qsizetype>(symbolName.size()));
    name.replace(QLatin1Char('.'), QLatin1Char('-'));
    return QStringLiteral("sorvane-") + name + QStringLiteral("-symbolic");
}

QPainterPath symbolOutline(const QString& svgFile) {
    QSvgRenderer svg(svgFile);
    if (!svg.isValid())
        return {};
    OutlineDevice device;
    {
        QPainter painter(&device);
        svg.render(&painter, QRectF(0, 0, kGrid, kGrid));
    }
    return device.outline();
}

QByteArray symbolicSvg(const QPainterPath& outline) {
    const QString rule = outline.fillRule() == Qt::OddEvenFill ? QStringLiteral("evenodd") : QStringLiteral("nonzero");
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"24\" height=\"24\" viewBox=\"0 0 24 24\">\n"
                          "  <path fill=\"#000\" fill-rule=\"%1\" d=\"%2\"/>\n"
                          "</svg>\n")
        .arg(rule, pathData(outline))
        .toUtf8();
}

QString userIconsDir() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const QString data = dataHome && *dataHome ? QString::fromLocal8Bit(dataHome)
                                               : QDir::homePath() + QStringLiteral("/.local/share");
    return data + QStringLiteral("/icons");
}

bool installSymbolicIcons(const QString& iconsDir, QString* error) {
    const QString dir = iconsDir + QStringLiteral("/hicolor/scalable/status");
    if (!QDir().mkpath(dir)) {
        if (error)
            *error = QStringLiteral("cannot create ") + dir;
        return false;
    }
    for (auto choice : allTrayIconChoices) {
        const std::string_view name = symbolName(choice);
        const QByteArray svg = symbolicSvg(symbolOutline(
            QStringLiteral(":/sorvane/tray/") + QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())) +
            QStringLiteral(".svg")));
        const QString path = dir + QLatin1Char('/') + symbolicIconName(name) + QStringLiteral(".svg");
        QFile existing(path);
        if (existing.open(QIODevice::ReadOnly) && existing.readAll() == svg)
            continue;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(svg) != svg.size() || !file.commit()) {
            if (error)
                *error = QStringLiteral("cannot write ") + path + QStringLiteral(": ") + file.errorString();
            return false;
        }
    }
    return true;
}

} // namespace sorvane

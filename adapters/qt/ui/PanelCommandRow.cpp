#include "adapters/qt/ui/PanelCommandRow.h"

#include "adapters/qt/ui/PanelStyle.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace sorvane {

using namespace panelstyle;

PanelCommandRow::PanelCommandRow(const PanelItemDef& item, std::function<void()> action, QWidget* parent)
    : QWidget(parent), AccessibleControl(QAccessible::Button, [this] { run(); }), m_id(item.id),
      m_action(std::move(action)) {
    const QString label = QString::fromStdString(item.labelText());
    if (item.kind == "header") {
        m_kind = Kind::header;
        m_title = label;
        if (item.id == "header:connected" || item.id == "header:offline")
            m_hint = QStringLiteral("Unpair");
    } else if (item.kind == "shortcut") {
        m_kind = Kind::shortcut;
        // Split at the first tab; empty pieces are dropped.
        QStringList pieces;
        const qsizetype tab = label.indexOf(QLatin1Char('\t'));
        for (const QString& piece : {tab < 0 ? label : label.left(tab), tab < 0 ? QString() : label.mid(tab + 1)})
            if (!piece.isEmpty())
                pieces.push_back(piece);
        m_title = pieces.value(0);
        m_hint = pieces.value(1);
    } else {
        m_kind = Kind::action;
        m_title = label;
        m_enabled = item.enabled.value_or(true);
        m_checkable = item.checked.has_value();
        m_checked = item.checked.value_or(false);
    }
    setAccessibleName(m_title);
    setAccessibleDescription(m_hint);
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize PanelCommandRow::sizeHint() const {
    return {200, m_kind == Kind::header ? kCommandRowHeight + 2 : kCommandRowHeight};
}

void PanelCommandRow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect r = rect();
    if (m_hovered) {
        p.setPen(Qt::NoPen);
        p.setBrush(kSelected);
        p.drawRoundedRect(r.adjusted(kRowInset, 1, -kRowInset, -1), kRowRadius, kRowRadius);
    }
    const QColor text = m_hovered ? kOnSelected : kPrimary;
    int x = kHorizontalPadding;
    const int right = r.width() - kHorizontalPadding;

    if (m_kind == Kind::header) {
        QColor dot = Qt::transparent;
        if (m_id == "header:connected")
            dot = kGreen;
        else if (m_id == "header:offline" || m_id == "header:keyring")
            dot = QColor(kSecondary.red(), kSecondary.green(), kSecondary.blue(), 102);
        if (dot.alpha() == 0) {
            // A plus in a circle: the call to pair.
            const QColor c = m_hovered ? kOnSelected : kAccent;
            const QRectF circle(x + 0.5, r.center().y() - 5.5, 11, 11);
            p.setPen(QPen(c, 1.3));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(circle);
            p.drawLine(QPointF(circle.center().x() - 2.8, circle.center().y()),
                       QPointF(circle.center().x() + 2.8, circle.center().y()));
            p.drawLine(QPointF(circle.center().x(), circle.center().y() - 2.8),
                       QPointF(circle.center().x(), circle.center().y() + 2.8));
            x += 12 + 8;
        } else {
            p.setPen(Qt::NoPen);
            p.setBrush(dot);
            p.drawEllipse(QRectF(x + 2, r.center().y() - 3.0, 7, 7));
            x += 7 + 2 + 8;
        }
    } else if (m_kind == Kind::action) {
        if (m_checked) {
            p.setFont(menuFont());
            p.setPen(m_hovered ? kOnSelected : kGreen);
            p.drawText(QRect(x, r.top(), kGlyphWidth, r.height()), Qt::AlignCenter, QStringLiteral("\u2713"));
        }
        x += kGlyphWidth + 8;
    }

    int hintWidth = 0;
    const bool showHint = m_kind == Kind::shortcut || (m_kind == Kind::header && m_hovered);
    if (showHint && !m_hint.isEmpty()) {
        QColor hintColor = kOnSelected;
        hintColor.setAlphaF(m_kind == Kind::header ? 0.7f : 0.6f);
        const QFont small = menuFontSmall();
        hintWidth = QFontMetrics(small).horizontalAdvance(m_hint);
        p.setFont(small);
        p.setPen(m_hovered ? hintColor : kSecondary);
        p.drawText(QRect(right - hintWidth, r.top(), hintWidth, r.height()), Qt::AlignVCenter | Qt::AlignRight,
                   m_hint);
        hintWidth += 8;
    }
    // Pause and play symbols are drawn: common fonts lack U+23F8.
    QString title = m_title;
    const bool pause = title.startsWith(QStringLiteral("\u23f8 "));
    const bool play = title.startsWith(QStringLiteral("\u25b6 "));
    if (pause || play) {
        title = title.mid(2);
        p.setPen(Qt::NoPen);
        p.setBrush(m_hovered ? kOnSelected : kPrimary);
        const qreal top = r.center().y() - 4.5;
        if (pause) {
            p.drawRoundedRect(QRectF(x + 1.5, top, 3, 10), 1, 1);
            p.drawRoundedRect(QRectF(x + 6.5, top, 3, 10), 1, 1);
        } else {
            const QPointF triangle[] = {{x + 2.0, top}, {x + 10.0, top + 5}, {x + 2.0, top + 10}};
            p.drawPolygon(triangle, 3);
        }
        x += 11 + 6;
    }
    const QFont font = menuFont();
    p.setFont(font);
    p.setPen(m_kind == Kind::action && !m_enabled && !m_hovered ? kSecondary : text);
    const int width = std::max(0, right - hintWidth - x);
    p.drawText(QRect(x, r.top(), width, r.height()), Qt::AlignVCenter | Qt::AlignLeft,
               QFontMetrics(font).elidedText(title, Qt::ElideRight, width));
}

void PanelCommandRow::enterEvent(QEnterEvent*) {
    m_hovered = true;
    update();
}

void PanelCommandRow::leaveEvent(QEvent*) {
    m_hovered = false;
    m_pressed = false;
    update();
}

void PanelCommandRow::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton;
}

void PanelCommandRow::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    m_pressed = false;
    if (click)
        run();
}

void PanelCommandRow::run() {
    if ((m_kind == Kind::action && !m_enabled) || !m_action)
        return;
    m_action();
}

void PanelCommandRow::addAccessibleState(QAccessible::State& state) const {
    state.disabled = m_kind == Kind::action && !m_enabled;
    state.checkable = m_checkable;
    state.checked = m_checked;
}

} // namespace sorvane

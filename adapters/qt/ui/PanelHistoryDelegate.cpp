#include "adapters/qt/ui/PanelHistoryDelegate.h"

#include "adapters/qt/ui/PanelHistoryModel.h"
#include "adapters/qt/ui/PanelStyle.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace sorvane {

using namespace panelstyle;

namespace {

const QString kUp = QStringLiteral("\u2191");
const QString kDown = QStringLiteral("\u2193");
// Between a history label's text and its age.
const QString kAgeSeparator = QStringLiteral("  \u00b7  ");

QRect highlightRect(const QRect& rowRect) {
    return rowRect.adjusted(kRowInset, 1, -kRowInset, -1);
}

} // namespace

PanelHistoryDelegate::PanelHistoryDelegate(const PanelState& state, const PanelHistoryModel& model,
                                           QObject* parent)
    : QStyledItemDelegate(parent), m_state(state), m_model(model) {}

bool PanelHistoryDelegate::isHighlighted(int row) const {
    const PanelItemDef* item = m_model.rowAt(row);
    return item && (m_state.selectedId() == item->id || m_hoveredId == item->id);
}

bool PanelHistoryDelegate::sendVisible(int row) const {
    return isHighlighted(row) && m_state.isPhoneConnected() && !m_state.syncPaused();
}

QRect PanelHistoryDelegate::sendRect(const QRect& rowRect) {
    const int x = rowRect.right() + 1 - kHorizontalPadding - kSendWidth;
    const int y = rowRect.top() + (rowRect.height() - kSendHeight) / 2;
    return {x, y, kSendWidth, kSendHeight};
}

QRect PanelHistoryDelegate::labelRect(const QRect& rowRect) {
    const int left = rowRect.left() + kHorizontalPadding + kGlyphWidth + kRowSpacing;
    const int right = sendRect(rowRect).left() - kRowSpacing;
    return {left, rowRect.top(), std::max(0, right - left), rowRect.height()};
}

PanelHistoryDelegate::ShownLabel PanelHistoryDelegate::shownLabel(const std::string& label) {
    ShownLabel shown;
    QString text = QString::fromStdString(label);
    shown.glyph = text.startsWith(kUp) ? kUp : kDown;
    if (text.startsWith(kUp) || text.startsWith(kDown))
        text = text.mid(1).trimmed();
    const qsizetype cut = text.lastIndexOf(kAgeSeparator);
    if (cut >= 0) {
        shown.age = text.mid(cut + kAgeSeparator.size());
        text.truncate(cut);
    }
    shown.text = text;
    return shown;
}

void PanelHistoryDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
    const PanelItemDef* item = m_model.rowAt(index.row());
    if (!item)
        return;
    const bool highlighted = isHighlighted(index.row());
    const QRect row = option.rect;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (highlighted) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(kSelected);
        painter->drawRoundedRect(highlightRect(row), kRowRadius, kRowRadius);
    }

    const ShownLabel shown = shownLabel(item->labelText());
    QColor dim = kOnSelected;
    dim.setAlphaF(0.7f);

    painter->setFont(menuFontSmall(QFont::Bold));
    painter->setPen(highlighted ? dim : kSecondary);
    painter->drawText(QRect(row.left() + kHorizontalPadding, row.top(), kGlyphWidth, row.height()),
                      Qt::AlignCenter, shown.glyph);

    // The text takes what the age leaves and is cut at its tail; the age
    // always shows.
    QRect label = labelRect(row);
    if (!shown.age.isEmpty()) {
        const QFont small = menuFontSmall();
        const int ageWidth = QFontMetrics(small).horizontalAdvance(shown.age);
        painter->setFont(small);
        painter->setPen(highlighted ? dim : kTertiary);
        painter->drawText(QRect(label.right() + 1 - ageWidth, label.top(), ageWidth, label.height()),
                          Qt::AlignVCenter | Qt::AlignRight, shown.age);
        label.setRight(label.right() - ageWidth - kRowSpacing);
    }
    const QFont font = menuFont();
    painter->setFont(font);
    painter->setPen(highlighted ? kOnSelected : kPrimary);
    // One line: line breaks in the text read as spaces.
    QString oneLine = shown.text;
    oneLine.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '))
        .replace(QLatin1Char('\t'), QLatin1Char(' '));
    painter->drawText(label, Qt::AlignVCenter | Qt::AlignLeft,
                      QFontMetrics(font).elidedText(oneLine, Qt::ElideRight, label.width()));

    if (sendVisible(index.row())) {
        painter->setFont(pixelFont(13, QFont::Medium));
        painter->setPen(kOnSelected);
        painter->drawText(sendRect(row), Qt::AlignCenter, QStringLiteral("\u2708"));
    }
    painter->restore();
}

QSize PanelHistoryDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return {0, kHistoryRowHeight};
}

bool PanelHistoryDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                     const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::ToolTip && sendVisible(index.row()) &&
        sendRect(option.rect).contains(event->pos())) {
        QToolTip::showText(event->globalPos(), QStringLiteral("Send to phone"), view);
        return true;
    }
    QToolTip::hideText();
    return true;
}

} // namespace sorvane

// Draws the search panel's history rows: the direction glyph, the label cut to
// one line, its age, and the send button, which keeps its slot whether it is
// shown or not so that labels never shift under the pointer.
//
// Thread-safety: main thread only.
#pragma once

#include "ui/PanelState.h"

#include <QStyledItemDelegate>

namespace sorvane {

class PanelHistoryModel;

class PanelHistoryDelegate final : public QStyledItemDelegate {
public:
    PanelHistoryDelegate(const PanelState& state, const PanelHistoryModel& model, QObject* parent);

    // The id of the row under the pointer, if any.
    void setHoveredId(std::optional<std::string> id) { m_hoveredId = std::move(id); }
    const std::optional<std::string>& hoveredId() const { return m_hoveredId; }

    // Whether row `row` is drawn highlighted (selected or under the pointer).
    bool isHighlighted(int row) const;
    // Whether row `row` shows a usable send button: highlighted, a phone
    // connected and sync running.
    bool sendVisible(int row) const;
    // The send button's slot within a row of `rowRect`.
    static QRect sendRect(const QRect& rowRect);
    // Where the label is drawn within a row of `rowRect`.
    static QRect labelRect(const QRect& rowRect);

    // The label as shown: without its arrow, trimmed, split into the text and
    // its age suffix ("3m"); the age is empty for a label without one.
    struct ShownLabel {
        QString glyph;
        QString text;
        QString age;
    };
    static ShownLabel shownLabel(const std::string& label);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

private:
    const PanelState& m_state;
    const PanelHistoryModel& m_model;
    std::optional<std::string> m_hoveredId;
};

} // namespace sorvane

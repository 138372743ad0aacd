// The history rows the search panel lists: the rows of the panel state that
// the query lets through, as a Qt list model. It holds pointers into the
// state's rows, so it is refreshed (setRows) whenever those rows change. A
// history row's arrow reads as "Sent" or "Received" to assistive technology.
//
// Thread-safety: main thread only.
#pragma once

#include "ui/PanelItems.h"

#include <QAbstractListModel>

#include <string>
#include <vector>

namespace sorvane {

class PanelHistoryModel final : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    // Replaces the rows; resets the model only when the list differs, so a
    // refresh that changes nothing costs one comparison. True when it reset.
    bool setRows(std::vector<const PanelItemDef*> rows);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // The row at `row`, or null outside the list.
    const PanelItemDef* rowAt(int row) const;
    // The position of the row with `id`, or -1.
    int rowOf(const std::string& id) const;

private:
    std::vector<const PanelItemDef*> m_rows;
};

} // namespace sorvane

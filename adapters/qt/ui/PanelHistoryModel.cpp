#include "adapters/qt/ui/PanelHistoryModel.h"

namespace sorvane {

bool PanelHistoryModel::setRows(std::vector<const PanelItemDef*> rows) {
    if (rows == m_rows)
        return false;
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
    return true;
}

int PanelHistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant PanelHistoryModel::data(const QModelIndex& index, int role) const {
    const PanelItemDef* item = rowAt(index.row());
    if (!item)
        return {};
    const QString label = QString::fromStdString(item->labelText());
    if (role == Qt::DisplayRole)
        return label;
    if (role == Qt::AccessibleTextRole && item->entry) {
        // The label is the arrow, two spaces and what follows.
        const QString direction = item->entry->direction == Direction::sent ? QStringLiteral("Sent")
                                                                            : QStringLiteral("Received");
        return direction + QStringLiteral(": ") + label.mid(1).trimmed();
    }
    return {};
}

const PanelItemDef* PanelHistoryModel::rowAt(int row) const {
    if (row < 0 || static_cast<size_t>(row) >= m_rows.size())
        return nullptr;
    return m_rows[static_cast<size_t>(row)];
}

int PanelHistoryModel::rowOf(const std::string& id) const {
    for (size_t i = 0; i < m_rows.size(); ++i)
        if (m_rows[i]->id == id)
            return static_cast<int>(i);
    return -1;
}

} // namespace sorvane

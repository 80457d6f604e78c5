#include "ui/transfers/TransferRow.h"

#include <algorithm>

TransferRow::TransferRow() : TiedRow(static_cast<QTreeWidgetItem*>(nullptr), kType) {}

void TransferRow::SetColour(const QBrush& brush)
{
    // A row's cells only ever grow in number; without any there is nothing to colour.
    const int columns = std::max(columnCount(), m_columns);
    if (columns == 0 || (columns == m_columns && brush == m_colour))
        return;
    m_colour = brush;
    m_columns = columns;
    emitDataChanged();
}

QVariant TransferRow::data(int column, int role) const
{
    if (role == Qt::ForegroundRole && column >= 0 && column < m_columns)
        return m_colour;
    return TiedRow::data(column, role);
}

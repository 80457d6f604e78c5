#pragma once

#include "shell/Ties.h"

#include <QBrush>
#include <QVariant>

// A row of either transfers tree. Its status colour is held once for all the cells it covers:
// a colour set on each cell costs an allocation, and in the tree a notice to the view, apiece,
// and "Download Folder" colours a quarter of a million rows of nine cells.
class TransferRow : public TiedRow
{
public:
    // Tells the page's rows from other rows without a cast that can fail.
    static constexpr int kType = QTreeWidgetItem::UserType + 3;

    // Made out of any tree: filled first, then put in one.
    TransferRow();

    // Every cell the row holds data in takes the brush as its foreground, as setForeground on
    // each would; a cell filled later has none until the next colouring.
    void SetColour(const QBrush& brush);
    QVariant data(int column, int role) const override;

private:
    QBrush m_colour;
    // The cells coloured: those left of this column.
    int m_columns = 0;
};

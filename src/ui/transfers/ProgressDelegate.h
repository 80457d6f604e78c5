#pragma once

#include <QStyledItemDelegate>

// Paints a transfer row's progress bar from the row's own data: the value and text the form keeps
// in the cell (TransfersForm::kProgressValueRole and kProgressTextRole). A widget per row would
// cost a layout per bar, and ten thousand of them take seconds; a cell without a value is drawn
// as usual.
class ProgressDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // As tall as a bar gets within its row.
    static constexpr int kMaxBarHeight = 14;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

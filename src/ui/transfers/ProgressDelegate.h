#pragma once

#include <QMetaType>
#include <QString>
#include <QStyledItemDelegate>

// What a row's progress bar shows: its value, 0 to 100, and its text. Kept in the row's progress
// cell under ProgressDelegate::kRole; a cell without one shows no bar.
struct ProgressBarData
{
    int value = 0;
    QString text;

    bool operator==(const ProgressBarData& other) const
    {
        return value == other.value && text == other.text;
    }
};
Q_DECLARE_METATYPE(ProgressBarData)

// Paints a transfer row's progress bar from the row's own data. A widget per row would cost a
// layout per bar, and ten thousand of them take seconds; a cell without bar data is drawn as
// usual.
class ProgressDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    static constexpr int kRole = Qt::UserRole + 1;
    // As tall as a bar gets within its row.
    static constexpr int kMaxBarHeight = 14;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

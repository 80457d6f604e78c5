#include "ui/transfers/ProgressDelegate.h"

#include "ui/transfers/TransfersForm.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionProgressBar>

void ProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const
{
    const QVariant value = index.data(TransfersForm::kProgressValueRole);
    if (!value.isValid()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // The row's background and selection first, as for any cell.
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    cell.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);

    QStyleOptionProgressBar bar;
    if (widget)
        bar.initFrom(widget);
    bar.state = option.state | QStyle::State_Horizontal;
    const int height = qMin(option.rect.height(), kMaxBarHeight);
    bar.rect = QRect(option.rect.left(), option.rect.top() + (option.rect.height() - height) / 2,
                     option.rect.width(), height);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = qBound(0, value.toInt(), 100);
    bar.text = index.data(TransfersForm::kProgressTextRole).toString();
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
}

#include "ui/transfers/ProgressDelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionProgressBar>

void ProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const
{
    const QVariant data = index.data(kRole);
    if (data.typeId() != qMetaTypeId<ProgressBarData>()) {
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
    const auto shown = data.value<ProgressBarData>();
    bar.progress = qBound(0, shown.value, 100);
    bar.text = shown.text;
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
}

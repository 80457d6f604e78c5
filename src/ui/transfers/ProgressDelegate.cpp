#include "ui/transfers/ProgressDelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionProgressBar>

#include <utility>

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
    bar.textVisible = false;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);

    // The figures in two colours, split where the filled part ends, so that the digits over it
    // read as well as those beside it; the style's own label drew them dark over the fill.
    const int filled = bar.rect.width() * bar.progress / 100;
    const QRect over(bar.rect.left(), bar.rect.top(), filled, bar.rect.height());
    const QRect beside(bar.rect.left() + filled, bar.rect.top(), bar.rect.width() - filled,
                       bar.rect.height());
    painter->save();
    for (const auto& [part, role] :
         {std::pair{over, QPalette::HighlightedText}, std::pair{beside, QPalette::Text}}) {
        painter->setClipRect(part);
        painter->setPen(bar.palette.color(role));
        painter->drawText(bar.rect, Qt::AlignCenter, shown.text);
    }
    painter->restore();
}

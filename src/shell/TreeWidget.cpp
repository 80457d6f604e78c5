#include "shell/TreeWidget.h"

TreeWidget::TreeWidget(QWidget* parent) : QTreeWidget(parent) {}

void TreeWidget::keyPressEvent(QKeyEvent* event)
{
    Q_EMIT KeyPressed(event);
    QTreeWidget::keyPressEvent(event);
}

void TreeWidget::SetExpanded(const QList<QTreeWidgetItem*>& rows, bool expanded)
{
    // While a layout is due, expanding or collapsing a row only notes it.
    scheduleDelayedItemsLayout();
    for (QTreeWidgetItem* row : rows)
        row->setExpanded(expanded);
}

#include "shell/TreeWidget.h"

TreeWidget::TreeWidget(QWidget* parent) : QTreeWidget(parent) {}

void TreeWidget::keyPressEvent(QKeyEvent* event)
{
    Q_EMIT KeyPressed(event);
    QTreeWidget::keyPressEvent(event);
}

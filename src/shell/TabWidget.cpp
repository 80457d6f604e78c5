#include "shell/TabWidget.h"

#include "shell/UIFunctions.h"

TabWidget::TabWidget(QWidget* parent) : QTabWidget(parent)
{
    connect(this, &QTabWidget::currentChanged, this, &TabWidget::OnTabChanged);
}

void TabWidget::OnTabChanged(int index)
{
    if (QWidget* page = widget(index))
        FindWidgetFocusProperty(page, 0);
}

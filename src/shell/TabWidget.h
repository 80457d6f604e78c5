#pragma once

#include <QTabWidget>

// A tab widget whose new current page gives the focus to its preferred widget
// (FindWidgetFocusProperty).
class TabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit TabWidget(QWidget* parent = nullptr);

public Q_SLOTS:
    void OnTabChanged(int index);
};

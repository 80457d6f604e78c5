#pragma once

#include <QTabWidget>

// The private chat tabs of the Chat page.
class RoomTabWidget : public QTabWidget
{
    Q_OBJECT

public:
    using QTabWidget::QTabWidget;
};

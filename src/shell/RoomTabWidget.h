#pragma once

#include <QTabWidget>

#include <QPointer>

// The private chat tabs of the Chat page. Every user who writes gets a tab, so there may be
// thousands, and adding, closing or switching a tab must not cost more for each tab open:
//  - a close button widget per tab makes every tab added or removed lay out all the others'
//    buttons: the tab bar paints the close buttons instead, and measures each title once;
//  - switching pages switches updates off and on again for every page and all its widgets:
//    pages out of sight keep their updates off, so that only the page shown is visited.
class RoomTabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit RoomTabWidget(QWidget* parent = nullptr);

protected:
    void tabInserted(int index) override;

private:
    void OnCurrentChanged(int index);

    QPointer<QWidget> m_shown;
};

#pragma once

#include <QTabWidget>

#include <QPointer>

#include <memory>

// The private chat tabs of the Chat page. Every user who writes gets a tab, so there may be
// thousands, and adding, closing or switching a tab must not cost more for each tab open:
//  - a close button widget per tab makes every tab added or removed lay out all the others'
//    buttons: the tab bar paints the close buttons instead, and measures each title once;
//  - Qt lays out every tab on each tab added or removed and styles every tab on each paint: the
//    bar keeps its tabs' sizes by index, and styles in full only the tabs in sight;
//  - switching pages switches updates off and on again for every page and all its widgets:
//    pages out of sight keep their updates off, so that only the page shown is visited;
//  - Qt asks every page's sizes for the widget's, whenever the page that holds it is laid out
//    (every turn that adds tabs): the widget's sizes are kept while the pages added are like
//    those before.
class RoomTabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit RoomTabWidget(QWidget* parent = nullptr);
    ~RoomTabWidget() override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override;

protected:
    void tabInserted(int index) override;
    void tabRemoved(int index) override;
    void changeEvent(QEvent* event) override;

private:
    struct Sizes;

    void OnCurrentChanged(int index);
    const Sizes& KeptSizes() const;
    QSize BarHint() const;

    mutable std::unique_ptr<Sizes> m_sizes;

    QPointer<QWidget> m_shown;
};

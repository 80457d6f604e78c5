#pragma once

#include <QObject>

#include <functional>

class QTreeWidget;
class QTreeWidgetItem;

// Where the user has the view of a list that scrolls a row at a time: at its top, at its bottom,
// or a row at the top of it. Code that changes the list's rows sets the scroll from it after each
// change, so that the list never scrolls by itself: the top stays the top, the bottom the bottom,
// and the user's top row stays at the top, or, if it goes, the next row that stays. Once the top
// row and every row after it have gone, the view keeps its scroll value (or the nearest one the
// rows allow) until the change is over, as a list given the same rows at once does; then the row
// at the top is the user's.
//
// The place changes only with a scroll that something meant: the scroll bar's own actions (a
// click, a drag, the wheel), a key the list takes (End, Page Down, an arrow: the view where the
// key leaves it, whether it scrolled or the list's layout put it there first), or a scroll by code
// (a row scrolled to, the value set). The list's layout, which brings the bar's range and value
// back to its rows, and the place's own scrolling, leave it as it was. Made with the list's
// first change and gone with the list.
class ViewPlace : public QObject
{
    Q_OBJECT

public:
    static ViewPlace& Of(QTreeWidget* list);

    // Whether the view holds this row at its top.
    bool Holds(const QTreeWidgetItem* row) const;
    // The row held goes out of the list: next, a row that stays, takes its place, or with none
    // the view keeps the value at which the row was.
    void Goes(QTreeWidgetItem* next, int at);
    // Before rows go out of the list, those for which gone says so, the next row that stays
    // takes the place of the row held if it goes.
    void RowsGo(const std::function<bool(const QTreeWidgetItem*)>& gone);
    // Sets the scroll from the place, after a change of the rows.
    void Keep();
    // The change is over: a value kept is a row at the top again, where the rows allow it.
    void Settle();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Kind
    {
        Top,
        Row,
        Bottom,
        Value
    };
    explicit ViewPlace(QTreeWidget* list);
    // The view at this scroll value, as the user or code put it.
    void Take(int value);
    void HoldRow(QTreeWidgetItem* row, int at);
    // Where the row held is in the list; -1 if it is not.
    int RowAt() const;
    int End() const;

    QTreeWidget* m_list;
    Kind m_kind = Kind::Top;
    QTreeWidgetItem* m_row = nullptr;
    // Where the row held was last found; with Kind::Value, the value kept.
    int m_at = 0;
    // The bar set by Keep, or brought back into a new range by the layout.
    bool m_keeping = false;
    bool m_clamping = false;
    // A key under way: whatever it does to the view, the view is where the user takes it.
    bool m_key = false;
};

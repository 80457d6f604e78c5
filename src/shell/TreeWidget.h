#pragma once

#include <QList>
#include <QTreeWidget>

// A tree that tells of every key press before it acts on it, and expands or collapses many rows
// at once.
class TreeWidget : public QTreeWidget
{
    Q_OBJECT

public:
    explicit TreeWidget(QWidget* parent = nullptr);

    // Expands or collapses the rows, the tree laid out once for all of them at its next layout:
    // row by row, each laid out the rows below it again, half a second for the 10,000 folders
    // of 111,000 rows.
    void SetExpanded(const QList<QTreeWidgetItem*>& rows, bool expanded);

Q_SIGNALS:
    void KeyPressed(QKeyEvent* event);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// Where a row goes among parent's children from index from on, they being in order by before (a
// child's test whether the row goes before it): after the last it does not go before, as a
// sorting tree puts a row after those equal to it. Halves the children each step.
template <class Before> int InsertionPlace(const QTreeWidgetItem* parent, int from, Before before)
{
    int at = from;
    for (int count = parent->childCount() - at; count > 0;) {
        const int half = count / 2;
        if (before(parent->child(at + half))) {
            count = half;
        } else {
            at += half + 1;
            count -= half + 1;
        }
    }
    return at;
}

#pragma once

#include <QList>
#include <QPointer>
#include <QTreeWidget>

#include <cstddef>
#include <vector>

// A tree that tells of every key press before it acts on it, and expands or collapses many rows
// at once.
class TreeWidget : public QTreeWidget
{
    Q_OBJECT

public:
    explicit TreeWidget(QWidget* parent = nullptr);

    using QTreeWidget::indexFromItem;
    using QTreeWidget::itemFromIndex;

    // Expands or collapses the rows, the tree laid out once for all of them at its next layout:
    // row by row, each laid out the rows below it again, half a second for the 10,000 folders
    // of 111,000 rows.
    void SetExpanded(const QList<QTreeWidgetItem*>& rows, bool expanded);
    // Collapses and shows the rows in the same way: what a tree about to let go of its rows does
    // first, since it keeps a handle on every expanded or hidden row, and letting go of fifty
    // thousand of those takes some fifty milliseconds.
    void ForgetRowStates(const std::vector<QTreeWidgetItem*>& rows);

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

// The rows of a tree that is done with, deleted some at a time: a tree of fifty thousand rows
// takes most of a turn of the event loop to delete in one go. Each call does a share of it, a
// step of a sliced job (store/SlicedJob.h): first the tree lets go of the rows it keeps expanded
// or hidden, then gives its rows up in one go, then those are deleted. Whatever is left goes with
// it.
class RowsToDelete
{
public:
    // A step's share: a row's state or a row takes a microsecond or two.
    static constexpr size_t kRowsAStep = 256;

    RowsToDelete() = default;
    ~RowsToDelete();
    RowsToDelete(const RowsToDelete&) = delete;
    RowsToDelete& operator=(const RowsToDelete&) = delete;

    // The rows of the tree, still in it, to be deleted by the calls below.
    void TakeAll(TreeWidget* tree);
    // Looks through at most count rows for those expanded or hidden, then lets go of the states
    // of at most count rows, or takes the rows out of the tree, or deletes at most count rows,
    // each row's children before it. True once none are left.
    bool DeleteSome(size_t count);
    bool IsEmpty() const { return !m_tree && m_rows.empty(); }

private:
    // Looks through at most count rows of m_tree.
    void LookThrough(size_t count);

    QPointer<TreeWidget> m_tree;
    // Rows of m_tree whose rows are still to look through (null: the top-level rows), each with
    // the next of them to look at.
    std::vector<std::pair<QTreeWidgetItem*, int>> m_looking;
    // Rows of m_tree still expanded or hidden.
    std::vector<QTreeWidgetItem*> m_states;
    // Rows taken out, each without a parent; those taken from a row lie above it.
    std::vector<QTreeWidgetItem*> m_rows;
};

#pragma once

// What a sorted list painted last at a point of its viewport, as the user saw it: the text of
// the row there, read as each paint of the viewport starts. A list whose painting is off keeps
// showing, and so this keeps, what it painted before.

#include <QDeadlineTimer>
#include <QHeaderView>
#include <QTest>
#include <QTreeWidget>

struct PaintedRow : QObject
{
    PaintedRow(QTreeWidget* list, QPoint at, int column) : list(list), at(at), column(column)
    {
        list->viewport()->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override
    {
        const QTreeWidgetItem* row =
            list->viewport()->rect().contains(at) ? list->itemAt(at) : nullptr;
        if (event->type() == QEvent::Paint)
            text = row ? row->text(column) : QString();
        return false;
    }
    // Turn after turn of the event loop until the list holds count rows in the order its header
    // shows: act() once the list has painted what it asked to, as the event loop does before it
    // delivers input, on the text painted at the point. False on a failed check.
    template <class Act> bool EachTurn(int count, Act act)
    {
        for (QDeadlineTimer deadline(60000); !deadline.hasExpired();) {
            QCoreApplication::processEvents();
            if (InOrder() && list->topLevelItemCount() == count)
                return true;
            list->viewport()->repaint();
            act(text);
            if (text.isEmpty() || QTest::currentTestFailed())
                return false;
        }
        return false;
    }
    // Whether the rows are in the order the header shows.
    bool InOrder() const
    {
        const bool up = list->header()->sortIndicatorOrder() == Qt::AscendingOrder;
        for (int i = 1; i < list->topLevelItemCount(); ++i) {
            const QTreeWidgetItem& row = *list->topLevelItem(i);
            if (up ? row < *list->topLevelItem(i - 1) : *list->topLevelItem(i - 1) < row)
                return false;
        }
        return true;
    }
    // A click at the point makes the row painted there current.
    void Click()
    {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        QVERIFY(list->currentItem());
        QCOMPARE(list->currentItem()->text(column), chosen = text);
    }

    QTreeWidget* list;
    QPoint at;
    int column;
    QString text;
    QString chosen;
};

#pragma once

// What a sorted list painted last at a point of its viewport, as the user saw it: the text of
// the row there, read as each paint of the viewport starts. A list whose painting is off keeps
// showing, and so this keeps, what it painted before.

#include <QDeadlineTimer>
#include <QHeaderView>
#include <QScrollBar>
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
    // Where the user has the view, before or during a listing: "top"; "scrolled" (the row at the
    // top stays there); "bottom", the scroll bar dragged to its end; "End" or "PageDown" pressed.
    void Put(const QString& where)
    {
        QScrollBar* bar = list->verticalScrollBar();
        if (where == "top" || where == "bottom")
            bar->setSliderPosition(where == "top" ? 0 : bar->maximum());
        if (where == "End" || where == "PageDown")
            QTest::keyClick(list, where == "End" ? Qt::Key_End : Qt::Key_PageDown);
        first = place.isEmpty() ? list->topLevelItem(0) : first;
        place = where;
        top = list->topLevelItem(bar->value());
    }
    // Mid-listing, the user acts, if the action is to put the view: while the rows are sorted
    // (the 20th turn), and after each step once the first row has changed. True if so.
    bool PutMidListing(const QString& action, int turn)
    {
        if (!QStringList{"bottom", "End", "PageDown"}.contains(action) ||
            (turn != 20 && list->topLevelItem(0) == first))
            return false;
        Put(action);
        return true;
    }
    // Whether the view is still there: its top or bottom, or the same row at its top.
    void CheckKept() const
    {
        const QScrollBar* bar = list->verticalScrollBar();
        const bool kept = place == "bottom" || place == "End"
                              ? bar->value() == bar->maximum() && bar->value() > 0
                          : place == "top" ? bar->value() == 0
                                           : list->topLevelItem(bar->value()) == top;
        QVERIFY2(kept, qPrintable(QString::number(bar->value())));
    }
    // A turn of a listing: the view still where the user put it, then the user's action, a
    // click or the view put mid-listing; the row the user made current last kept as current.
    void Act(const QString& action, int turn)
    {
        CheckKept();
        if (PutMidListing(action, turn))
            current = list->currentItem();
        if (action == "click") {
            Click();
            current = list->currentItem();
        }
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
    QString place;
    QTreeWidgetItem* top = nullptr;
    QTreeWidgetItem* first = nullptr;
    QTreeWidgetItem* current = nullptr;
};

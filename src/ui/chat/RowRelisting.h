#pragma once

#include "store/SlicedJob.h"

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QTreeWidget>

#include <cstddef>
#include <functional>
#include <vector>

// A list's top-level rows listed again in a new order, a step at a time, each step a bounded
// piece of a sliced job (store/SlicedJob.h): the rows that came sorted, the list's rows taken
// out from the end, the two merged, and all put back at the end, where one listing of a hundred
// thousand rows, taken out and put back in one go, holds the thread a tenth of a second. A list
// that only takes out and puts back at its end does no walk of its rows per step. Meanwhile the
// list shows what it showed before; once done, the current row, its selection and the top row in
// view are what they were. Whatever a listing still holds out of the list goes with it.
class RowRelisting
{
public:
    // Whether a row goes before another.
    using Before = std::function<bool(const QTreeWidgetItem*, const QTreeWidgetItem*)>;

    // Rows sorted, taken out, merged or put back a step: each takes a microsecond or so.
    static constexpr size_t kRowsAStep = 256;

    // gone: rows of the list that go out of it, handed to the owner by TakeGone. added: rows in
    // no list, which go in. With before, the rows that came go after the list's rows equal to
    // them, in the order they came, as a sorting list puts them; with all too, every row is
    // sorted again, stably. Without before, they go after the list's rows.
    RowRelisting(QTreeWidget* list, std::vector<QTreeWidgetItem*> gone,
                 std::vector<QTreeWidgetItem*> added, Before before, bool all = false);
    ~RowRelisting();
    RowRelisting(const RowRelisting&) = delete;
    RowRelisting& operator=(const RowRelisting&) = delete;

    // One step; false once the listing is done.
    bool Step();
    // Every step left, here and now.
    void Finish();
    // The rows of gone taken out of the list so far, theirs to delete from now on.
    std::vector<QTreeWidgetItem*> TakeGone();

private:
    // A stable sort of rows, a run of kRowsAStep rows or the merge of two sorted runs a step.
    struct SortSteps
    {
        std::vector<QTreeWidgetItem*> rows;
        std::vector<QTreeWidgetItem*> merged;
        size_t width = 0;
        size_t at = 0;
        // One step; false once sorted.
        bool Step(const Before& before);
    };
    bool IsGone(QTreeWidgetItem* row) const;
    void Restore();

    QPointer<QTreeWidget> m_list;
    Before m_before;
    bool m_all;
    enum class Phase
    {
        SortingAdded,
        Taking,
        SortingAll,
        Merging,
        PuttingBack,
        Done
    } m_phase = Phase::SortingAdded;
    // Sorted by address.
    std::vector<QTreeWidgetItem*> m_gone;
    std::vector<QTreeWidgetItem*> m_goneOut;
    SortSteps m_added;
    // The list's rows taken out, last first.
    std::vector<QTreeWidgetItem*> m_kept;
    // Every row in its new order, and how many are back in the list.
    std::vector<QTreeWidgetItem*> m_rows;
    size_t m_listed = 0;
    QTreeWidgetItem* m_current = nullptr;
    int m_currentColumn = 0;
    bool m_selected = false;
    QTreeWidgetItem* m_top = nullptr;
    bool m_updates = true;
};

// Listings of a list at most a few times a second while rows keep coming or going by the
// thousand: each walks every row, and rows that wait meanwhile are listed together. A pace of
// the window's, not a time-out, so the real time.
class RelistPace
{
public:
    static constexpr qint64 kMinIntervalMs = 250;

    // Whether a listing may start now. If not, job starts again once it may.
    bool MayStart(QObject* context, SlicedJob& job);
    // A listing started now.
    void Started() { m_since.start(); }

private:
    QElapsedTimer m_since;
    bool m_timed = false;
};

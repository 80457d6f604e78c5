#pragma once

#include "store/SlicedJob.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTreeWidget>

#include <cstddef>
#include <functional>
#include <vector>

class ViewPlace;

// A list's top-level rows listed again in a new order, a step at a time, each step a bounded
// piece of a sliced job (store/SlicedJob.h). The new order is worked out off the list; then the
// rows that go are taken out, those that came put in at their places (consecutive ones together)
// and those out of place moved one by one, or, when that costs more and the list is small, every
// row is taken out and put back in its new order in one step. So the list is whole at the end of
// every step: it paints what it holds, and a click, key, menu or tool-bar action reaches the row
// painted where it lands. A list in view lays out every row when it paints after a change, a few
// tens of milliseconds for a hundred thousand, however few rows changed: its changes go together
// in as few turns as the turns' budget allows. The current row and the selection stay what the
// user makes them, a row that goes leaves no other row current or selected, and the view stays
// where the user has it (ViewPlace.h), shown or hidden, whatever moves: at its top or its bottom,
// it stays there; elsewhere, its top row stays at the top, or the next row that stays once it
// goes, or, once that row and all after it have gone, its scroll value stays. Whatever a listing
// still holds out of the list goes with it.
//
// The owner neither puts rows in the list nor takes any out while a listing is under way.
class RowRelisting
{
public:
    // Whether a row goes before another.
    using Before = std::function<bool(const QTreeWidgetItem*, const QTreeWidgetItem*)>;

    // Rows read, sorted, merged, taken out or put in a step: each takes a microsecond or so, a
    // row put in or taken out of a list of a hundred thousand several more.
    static constexpr size_t kRowsAStep = 256;
    // What a change of the list costs, in rows taken out and put back by a rebuild (a few tenths
    // of a microsecond each): a row taken out, or a run of rows put in at a place, kChangeCost,
    // and each row put in one; plus one for every kShiftsARow rows after it, which the list's
    // array moves along.
    static constexpr size_t kChangeCost = 2;
    static constexpr size_t kShiftsARow = 3000;
    // Rows a step takes out or puts in one by one shift at most about this many rows of the
    // list all together: a millisecond or so, so that a step does not run far past the turn's
    // budget in a long list.
    static constexpr size_t kShiftsAStep = 4 * 1024 * 1024;
    // A rebuild takes out every row and puts them back in one step: of at most this many rows,
    // taken out and put back, about a turn's budget.
    static constexpr size_t kMaxRowsRebuilt = 65536;

    // gone: rows of the list that go out of it, handed to the owner by TakeGone. added: rows in
    // no list, which go in. With before, the rows that came go after the list's rows equal to
    // them, in the order they came, as a sorting list puts them; with all too, every row is
    // sorted again, stably, and the fewest rows move. Without before, they go after the list's
    // rows.
    //
    // job, the sliced job that runs the steps: the first step of a turn that changes a list in
    // view goes only at the start of a turn (SlicedJob::TurnFor), and those after it in the same
    // slice follow it; the last one lays the list out, so that the turn's other sliced work makes
    // room for the layout.
    RowRelisting(QTreeWidget* list, std::vector<QTreeWidgetItem*> gone,
                 std::vector<QTreeWidgetItem*> added, Before before, bool all = false,
                 SlicedJob* job = nullptr);
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
    using Index = quint32;
    // A stable sort of indices, a run of kRowsAStep sorted or kRowsAStep of two sorted runs
    // merged a step; or, with split, the one merge of the runs before and after it.
    struct SortSteps
    {
        std::vector<Index> order;
        std::vector<Index> merged;
        size_t width = 0;
        size_t split = 0;
        // The pair of runs being merged: from at, its next of each run, and the next place.
        size_t at = 0;
        size_t left = 0;
        size_t right = 0;
        size_t out = 0;
        // One step; false once sorted.
        bool Step(const std::function<bool(Index, Index)>& before);
    };
    // How many rows of the list stand in each slot before a given one: a row's position while
    // rows move (a Fenwick tree).
    class SlotCounts
    {
    public:
        // Rows in the slots marked, counted by Build in one pass.
        void Reset(size_t count) { m_tree.assign(count + 1, 0); }
        void Mark(size_t slot) { m_tree[slot + 1] = 1; }
        void Build();
        void Add(size_t slot, int delta);
        int Before(size_t slot) const;

    private:
        std::vector<int> m_tree;
    };
    static constexpr Index kNone = Index(-1);
    bool IsGone(const QTreeWidgetItem* row) const;
    QTreeWidgetItem* Row(Index i) const { return i < m_kept ? m_rows[i] : m_added[i - m_kept]; }
    bool Less(Index a, Index b) const { return m_before(Row(a), Row(b)); }
    bool ReadStep();
    void StartSort();
    // From the new order on: the rows' places in it, the rows that stay.
    void Ordered();
    bool LongestRunStep();
    // Whether the list is rebuilt, or its rows that go, move or come are taken out or put in.
    void Plan();
    void MakeSlots();
    // Rows taken out or put in one by one a step.
    size_t ChangesAStep() const;
    bool RemoveStep();
    bool PlaceStep();
    void Rebuild();
    // Takes the row, at position at unless the list moved it, out of the list; the current row
    // stays current, unless it is this one, when none is. Its position, or -1 if not in the list.
    int TakeOut(QTreeWidgetItem* row, int at, bool& wasCurrent);
    // Whether a step that changes the list may go now (job), and after it, whether another does.
    bool MayChangeList();
    bool Changed(bool more);
    // Makes the row current again, the view left where it is: Qt's view scrolls to a new current
    // row, or, hidden, once shown again.
    void MakeCurrent(QTreeWidgetItem* row, int column);

    QPointer<QTreeWidget> m_list;
    Before m_before;
    bool m_all;
    SlicedJob* m_job;
    bool m_putOff = false;
    // Since the last step that changed the list: a step that follows it this soon is of the same
    // slice.
    static constexpr qint64 kSameSliceNs = 1000000;
    QElapsedTimer m_changed;
    enum class Phase
    {
        Reading,
        SortingAdded,
        Merging,
        SortingAll,
        LongestRun,
        Rebuilding,
        Removing,
        Placing,
        Done
    } m_phase = Phase::Reading;
    // Sorted by address.
    std::vector<QTreeWidgetItem*> m_gone;
    // Where each row that goes was when read, and those taken out so far.
    std::vector<std::pair<int, QTreeWidgetItem*>> m_goneAt;
    std::vector<QTreeWidgetItem*> m_goneOut;
    // The list's rows that stay, in its order, then the rows that came: each row's index here.
    std::vector<QTreeWidgetItem*> m_rows;
    size_t m_kept = 0;
    std::vector<QTreeWidgetItem*> m_added;
    // Which of the added rows are still out of the list, and so the listing's.
    std::vector<bool> m_out;
    int m_read = 0;
    size_t m_at = 0;
    // The new order, as indices; each row's place in it.
    SortSteps m_sort;
    std::vector<Index> m_order;
    std::vector<Index> m_rank;
    // The list's rows that keep their place: the most that are in the new order already. The
    // others move, each from its slot among them to the slot of its place in the new order.
    std::vector<bool> m_stays;
    std::vector<Index> m_runTails;
    std::vector<Index> m_runBefore;
    std::vector<Index> m_placeSlot;
    std::vector<Index> m_movingSlot;
    SlotCounts m_counts;
    // Places in the new order of the rows that move or come, and how many are done.
    std::vector<Index> m_toPlace;
    size_t m_placed = 0;
    // Where the user has the view (ViewPlace.h), set again after each step that changes the list.
    ViewPlace* m_view;
};

// Listings of a list at most a few times a second while rows keep coming or going by the
// thousand, and at most half the time: each walks every row, a listing of a long list in view
// takes a few turns, and rows that wait meanwhile are listed together. A pace of the window's, not
// a time-out, so the real time.
class RelistPace
{
public:
    static constexpr qint64 kMinIntervalMs = 250;

    // Whether a listing may start now. If not, job starts again once it may.
    bool MayStart(QObject* context, SlicedJob& job);
    // A listing started now.
    void Started();
    // The listing started last is done: the next one waits at least as long as it took.
    void Ended();

private:
    // Since the last listing started, or ended; how long the next one waits from then.
    QElapsedTimer m_since;
    qint64 m_waitMs = 0;
    bool m_timed = false;
};

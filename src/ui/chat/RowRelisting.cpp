#include "RowRelisting.h"

#include "ViewPlace.h"

#include <QItemSelectionModel>
#include <QTimer>

#include <algorithm>
#include <numeric>

bool RowRelisting::SortSteps::Step(const std::function<bool(Index, Index)>& before)
{
    const size_t count = order.size();
    if (width == 0 && split == 0) {
        const size_t end = std::min(at + kRowsAStep, count);
        std::stable_sort(order.begin() + qsizetype(at), order.begin() + qsizetype(end), before);
        at = end;
        if (at >= count) {
            width = kRowsAStep;
            at = 0;
        }
        return width < count;
    }
    if (width >= count)
        return false;
    merged.resize(count);
    const size_t middle = split ? split : std::min(at + width, count);
    const size_t end = split ? count : std::min(at + 2 * width, count);
    if (out == at) {
        left = at;
        right = middle;
    }
    // Equal rows: the first run's go first, so that the sort stays stable.
    for (size_t n = 0; n < kRowsAStep && out < end; ++n) {
        const bool first = right == end || (left < middle && !before(order[right], order[left]));
        merged[out++] = order[first ? left++ : right++];
    }
    if (out < end)
        return true;
    at = end;
    if (at >= count) {
        order.swap(merged);
        width = split ? count : width * 2;
        at = out = 0;
    }
    return width < count;
}

void RowRelisting::SlotCounts::Build()
{
    for (size_t i = 1; i < m_tree.size(); ++i) {
        const size_t parent = i + (i & (~i + 1));
        if (parent < m_tree.size())
            m_tree[parent] += m_tree[i];
    }
}

void RowRelisting::SlotCounts::Add(size_t slot, int delta)
{
    for (size_t i = slot + 1; i < m_tree.size(); i += i & (~i + 1))
        m_tree[i] += delta;
}

int RowRelisting::SlotCounts::Before(size_t slot) const
{
    int count = 0;
    for (size_t i = slot; i > 0; i -= i & (~i + 1))
        count += m_tree[i];
    return count;
}

RowRelisting::RowRelisting(QTreeWidget* list, std::vector<QTreeWidgetItem*> gone,
                           std::vector<QTreeWidgetItem*> added, Before before, bool all,
                           SlicedJob* job)
    : m_list(list), m_before(std::move(before)), m_all(all && m_before), m_job(job),
      m_gone(std::move(gone)), m_added(std::move(added)), m_out(m_added.size(), true),
      m_view(&ViewPlace::Of(list))
{
    std::sort(m_gone.begin(), m_gone.end());
}

RowRelisting::~RowRelisting()
{
    qDeleteAll(m_goneOut);
    for (size_t i = 0; i < m_added.size(); ++i) {
        if (m_out[i])
            delete m_added[i];
    }
}

bool RowRelisting::IsGone(const QTreeWidgetItem* row) const
{
    return std::binary_search(m_gone.begin(), m_gone.end(), row);
}

bool RowRelisting::Step()
{
    if (!m_list)
        m_phase = Phase::Done;
    const auto less = [this](Index a, Index b) { return Less(a, b); };
    switch (m_phase) {
    case Phase::Reading:
        if (!ReadStep())
            StartSort();
        return true;
    case Phase::SortingAdded:
        if (!m_sort.Step(less)) {
            // The list's rows keep their order; the rows that came go in among them.
            std::vector<Index> order(m_kept);
            std::iota(order.begin(), order.end(), Index(0));
            order.insert(order.end(), m_sort.order.begin(), m_sort.order.end());
            m_sort = SortSteps();
            m_sort.order.swap(order);
            m_sort.split = m_kept;
            m_phase = Phase::Merging;
        }
        return true;
    case Phase::Merging:
        if (m_kept == 0 || m_added.empty() || !m_sort.Step(less)) {
            m_order.swap(m_sort.order);
            m_stays.assign(m_kept, true);
            Ordered();
        }
        return true;
    case Phase::SortingAll:
        if (!m_sort.Step(less)) {
            m_order.swap(m_sort.order);
            Ordered();
        }
        return true;
    case Phase::LongestRun:
        if (!LongestRunStep()) {
            m_stays.assign(m_kept, false);
            for (Index i = m_runTails.empty() ? kNone : m_runTails.back(); i != kNone;
                 i = m_runBefore[i])
                m_stays[i] = true;
            Plan();
        }
        return true;
    case Phase::Rebuilding:
        if (!MayChangeList())
            return true;
        Rebuild();
        return Changed(false);
    case Phase::Removing:
        if (!MayChangeList())
            return true;
        if (RemoveStep())
            return Changed(true);
        m_phase = Phase::Placing;
        return Changed(!m_toPlace.empty());
    case Phase::Placing:
        if (!MayChangeList())
            return true;
        return Changed(PlaceStep());
    case Phase::Done:
        break;
    }
    return false;
}

void RowRelisting::Finish()
{
    while (Step()) {
    }
}

std::vector<QTreeWidgetItem*> RowRelisting::TakeGone()
{
    std::vector<QTreeWidgetItem*> gone;
    gone.swap(m_goneOut);
    return gone;
}

bool RowRelisting::ReadStep()
{
    QTreeWidgetItem* root = m_list->invisibleRootItem();
    const int count = root->childCount();
    const int end = std::min(count, m_read + int(kRowsAStep));
    for (; m_read < end; ++m_read) {
        QTreeWidgetItem* row = root->child(m_read);
        if (IsGone(row))
            m_goneAt.emplace_back(m_read, row);
        else
            m_rows.push_back(row);
    }
    m_kept = m_rows.size();
    return m_read < count;
}

size_t RowRelisting::ChangesAStep() const
{
    const size_t rows = size_t(m_list->topLevelItemCount()) + 1;
    return std::clamp(kShiftsAStep / rows, size_t(16), kRowsAStep);
}

bool RowRelisting::RemoveStep()
{
    // From the end, so that the positions read before stay right.
    for (size_t n = ChangesAStep(); n > 0 && !m_goneAt.empty(); --n) {
        const auto [at, row] = m_goneAt.back();
        m_goneAt.pop_back();
        bool wasCurrent = false;
        const int out = TakeOut(row, at, wasCurrent);
        if (out < 0)
            continue;
        m_goneOut.push_back(row);
        // The rows after it that go are out already: the one after it now stays.
        if (m_view->Holds(row))
            m_view->Goes(m_list->topLevelItem(out), out);
    }
    m_view->Keep();
    return !m_goneAt.empty();
}

void RowRelisting::StartSort()
{
    const size_t count = m_kept + m_added.size();
    if (m_all) {
        m_sort.order.resize(count);
        std::iota(m_sort.order.begin(), m_sort.order.end(), Index(0));
        m_phase = Phase::SortingAll;
    } else if (m_before) {
        m_sort.order.resize(m_added.size());
        std::iota(m_sort.order.begin(), m_sort.order.end(), Index(m_kept));
        m_phase = Phase::SortingAdded;
    } else {
        m_order.resize(count);
        std::iota(m_order.begin(), m_order.end(), Index(0));
        m_stays.assign(m_kept, true);
        Ordered();
    }
}

void RowRelisting::Ordered()
{
    m_sort = SortSteps();
    m_rank.assign(m_order.size(), 0);
    for (size_t place = 0; place < m_order.size(); ++place)
        m_rank[m_order[place]] = Index(place);
    if (m_stays.empty() && m_kept > 0) {
        m_runBefore.assign(m_kept, kNone);
        m_at = 0;
        m_phase = Phase::LongestRun;
    } else {
        Plan();
    }
}

bool RowRelisting::LongestRunStep()
{
    // The longest run of the list's rows already in the new order, patience-sorted: the last
    // row of the best run of each length so far.
    const size_t end = std::min(m_at + kRowsAStep, m_kept);
    for (; m_at < end; ++m_at) {
        const Index rank = m_rank[m_at];
        const auto tail =
            std::lower_bound(m_runTails.begin(), m_runTails.end(), rank,
                             [this](Index row, Index place) { return m_rank[row] < place; });
        m_runBefore[m_at] = tail == m_runTails.begin() ? kNone : *(tail - 1);
        if (tail == m_runTails.end())
            m_runTails.push_back(Index(m_at));
        else
            *tail = Index(m_at);
    }
    return m_at < m_kept;
}

void RowRelisting::MakeSlots()
{
    // Rows keep the list's order by their slots' order. Every place of the new order has a slot,
    // where its row is once it stays or has moved there; the rows still to move come before the
    // slot of the next row that stays, in their order. A row moved goes to its place's slot,
    // and so before those: right after the row before it in the new order.
    const size_t count = m_order.size();
    m_movingSlot.assign(m_kept, 0);
    std::vector<Index> start(count + 1, 0);
    Index next = Index(count);
    for (size_t i = m_kept; i-- > 0;) {
        if (m_stays[i]) {
            next = m_rank[i];
        } else {
            m_movingSlot[i] = next;
            ++start[next];
        }
    }
    m_placeSlot.assign(count, 0);
    Index slot = 0;
    for (size_t place = 0; place <= count; ++place) {
        const Index moving = start[place];
        start[place] = slot;
        slot += moving;
        if (place < count)
            m_placeSlot[place] = slot++;
    }
    m_counts.Reset(slot);
    for (size_t i = 0; i < m_kept; ++i) {
        if (m_stays[i])
            m_counts.Mark(m_placeSlot[m_rank[i]]);
        else
            m_counts.Mark(m_movingSlot[i] = start[m_movingSlot[i]]++);
    }
    m_counts.Build();
}

bool RowRelisting::PlaceStep()
{
    QTreeWidgetItem* root = m_list->invisibleRootItem();
    const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    const size_t end = std::min(m_placed + ChangesAStep(), m_toPlace.size());
    while (m_placed < end) {
        // Places one after another go in together, right after the row before the first.
        size_t last = m_placed + 1;
        while (last < end && m_toPlace[last] == m_toPlace[last - 1] + 1)
            ++last;
        QList<QTreeWidgetItem*> run;
        std::vector<Index> placeSlots;
        QTreeWidgetItem* current = nullptr;
        const int column = m_list->currentColumn();
        std::vector<QTreeWidgetItem*> reselect;
        for (size_t k = m_placed; k < last; ++k) {
            const Index i = m_order[m_toPlace[k]];
            QTreeWidgetItem* row = Row(i);
            if (i < m_kept) {
                bool wasCurrent = false;
                const int at = TakeOut(row, m_counts.Before(m_movingSlot[i]), wasCurrent);
                m_counts.Add(m_movingSlot[i], -1);
                if (at < 0)
                    continue;
                if (wasCurrent)
                    current = row;
                if (selected.contains(row))
                    reselect.push_back(row);
            } else {
                m_out[i - m_kept] = false;
            }
            run << row;
            placeSlots.push_back(m_placeSlot[m_toPlace[k]]);
        }
        m_placed = last;
        if (run.isEmpty())
            continue;
        const int at = std::min(m_counts.Before(placeSlots.front()), root->childCount());
        root->insertChildren(at, run);
        for (Index slot : placeSlots)
            m_counts.Add(slot, 1);
        if (current)
            MakeCurrent(current, column);
        for (QTreeWidgetItem* row : reselect)
            row->setSelected(true);
    }
    m_view->Keep();
    return m_placed < m_toPlace.size();
}

bool RowRelisting::MayChangeList()
{
    // The changes that follow one in the same slice cost the turn no further layout.
    if (!m_job || !m_list->isVisible() ||
        (m_changed.isValid() && m_changed.nsecsElapsed() < kSameSliceNs))
        return true;
    if (!m_job->TurnFor(m_putOff))
        return false;
    m_putOff = false;
    return true;
}

bool RowRelisting::Changed(bool more)
{
    if (!more) {
        m_phase = Phase::Done;
        m_view->Settle();
        // The layout the list does before it paints next, of every row, done here: the turn's
        // other sliced work sees the time it took and makes room for it.
        if (m_list->isVisible())
            m_list->doItemsLayout();
    }
    m_changed.start();
    return more;
}

void RowRelisting::Plan()
{
    m_runTails = {};
    m_runBefore = {};
    for (size_t place = 0; place < m_order.size(); ++place) {
        const Index i = m_order[place];
        if (i >= m_kept || !m_stays[i])
            m_toPlace.push_back(Index(place));
    }
    // What moving costs, in rows shifted, taking the rows that go out from the end, then each
    // row that moves or comes in at its place in order: the rows after each are those still in
    // the list then.
    const quint64 change = quint64(kChangeCost) * kShiftsARow;
    const size_t gone = m_goneAt.size();
    quint64 moving = 0;
    for (size_t j = 0; j < gone; ++j)
        moving += change + (m_kept + gone - 1 - size_t(m_goneAt[j].first)) - (gone - 1 - j);
    size_t staying = m_kept;
    for (size_t i = 0; i < m_kept; ++i) {
        if (!m_stays[i]) {
            moving += change + (m_kept - 1 - i);
            --staying;
        }
    }
    for (size_t k = 0; k < m_toPlace.size(); ++k) {
        const bool runStarts = k == 0 || m_toPlace[k] != m_toPlace[k - 1] + 1;
        moving += (runStarts ? change : 0) + kShiftsARow + staying - (m_toPlace[k] - k);
    }
    const size_t rebuilt = m_kept + gone + m_order.size();
    if (rebuilt <= kMaxRowsRebuilt && moving > quint64(rebuilt) * kShiftsARow) {
        m_phase = Phase::Rebuilding;
        return;
    }
    MakeSlots();
    m_phase = !m_goneAt.empty()    ? Phase::Removing
              : !m_toPlace.empty() ? Phase::Placing
                                   : Phase::Done;
}

void RowRelisting::Rebuild()
{
    QTreeWidgetItem* const current = m_list->currentItem();
    const int column = m_list->currentColumn();
    const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    m_view->RowsGo([this](const QTreeWidgetItem* row) { return IsGone(row); });
    // Taken out as current, a row would leave another one current and selected.
    m_list->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    QTreeWidgetItem* root = m_list->invisibleRootItem();
    root->takeChildren();
    for (const auto& [at, row] : m_goneAt)
        m_goneOut.push_back(row);
    m_goneAt.clear();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(qsizetype(m_order.size()));
    for (Index i : m_order)
        rows << Row(i);
    m_out.assign(m_out.size(), false);
    root->insertChildren(0, rows);
    if (current && current->treeWidget() == m_list)
        MakeCurrent(current, column);
    for (QTreeWidgetItem* row : selected) {
        if (row->treeWidget() == m_list)
            row->setSelected(true);
    }
    m_view->Keep();
}

int RowRelisting::TakeOut(QTreeWidgetItem* row, int at, bool& wasCurrent)
{
    QTreeWidgetItem* root = m_list->invisibleRootItem();
    if (root->child(at) != row)
        at = root->indexOfChild(row);
    if (at < 0)
        return -1;
    // Taken out as current, the list would make the next row current and select it.
    wasCurrent = m_list->currentItem() == row;
    if (wasCurrent)
        m_list->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    root->takeChild(at);
    return at;
}

void RowRelisting::MakeCurrent(QTreeWidgetItem* row, int column)
{
    const bool autoScroll = m_list->hasAutoScroll();
    m_list->setAutoScroll(false);
    m_list->setCurrentItem(row, column, QItemSelectionModel::NoUpdate);
    m_list->setAutoScroll(autoScroll);
}

bool RelistPace::MayStart(QObject* context, SlicedJob& job)
{
    const qint64 since = m_since.isValid() ? m_since.elapsed() : m_waitMs;
    if (since >= m_waitMs)
        return true;
    if (!m_timed) {
        m_timed = true;
        QTimer::singleShot(m_waitMs - since, context, [this, &job] {
            m_timed = false;
            job.Start();
        });
    }
    return false;
}

void RelistPace::Started()
{
    m_since.start();
    m_waitMs = kMinIntervalMs;
}

void RelistPace::Ended()
{
    const qint64 took = m_since.elapsed();
    m_since.start();
    m_waitMs = std::max(kMinIntervalMs - took, took);
}

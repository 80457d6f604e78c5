#include "RowRelisting.h"

#include <QScrollBar>
#include <QTimer>

#include <algorithm>

bool RowRelisting::SortSteps::Step(const Before& before)
{
    const size_t count = rows.size();
    if (width == 0) {
        const size_t end = std::min(at + kRowsAStep, count);
        std::stable_sort(rows.begin() + qsizetype(at), rows.begin() + qsizetype(end), before);
        at = end;
        if (at >= count) {
            width = kRowsAStep;
            at = 0;
        }
        return width < count;
    }
    if (width >= count)
        return false;
    // Equal rows: the first run's go first, so that the sort stays stable.
    merged.resize(count);
    const size_t middle = std::min(at + width, count);
    const size_t end = std::min(at + 2 * width, count);
    std::merge(rows.begin() + qsizetype(at), rows.begin() + qsizetype(middle),
               rows.begin() + qsizetype(middle), rows.begin() + qsizetype(end),
               merged.begin() + qsizetype(at), before);
    at = end;
    if (at >= count) {
        rows.swap(merged);
        width *= 2;
        at = 0;
    }
    return width < count;
}

RowRelisting::RowRelisting(QTreeWidget* list, std::vector<QTreeWidgetItem*> gone,
                           std::vector<QTreeWidgetItem*> added, Before before, bool all)
    : m_list(list), m_before(std::move(before)), m_all(all && m_before), m_gone(std::move(gone))
{
    std::sort(m_gone.begin(), m_gone.end());
    m_added.rows = std::move(added);
    m_added.width = m_before && !m_all ? 0 : m_added.rows.size();
    QTreeWidgetItem* current = list->currentItem();
    if (current && !IsGone(current)) {
        m_current = current;
        m_currentColumn = list->currentColumn();
        m_selected = current->isSelected();
    }
    const int scrolled = list->verticalScrollBar()->value();
    QTreeWidgetItem* top = scrolled > 0 ? list->topLevelItem(scrolled) : nullptr;
    m_top = top && !IsGone(top) ? top : nullptr;
    // Rows taken out one by one would each move the current row to the next.
    list->setCurrentItem(nullptr);
    m_updates = list->updatesEnabled();
    list->setUpdatesEnabled(false);
}

RowRelisting::~RowRelisting()
{
    // Each row out of the list is in one of these at a time.
    for (const std::vector<QTreeWidgetItem*>* rows : {&m_goneOut, &m_kept, &m_added.rows})
        qDeleteAll(*rows);
    for (size_t i = m_listed; i < m_rows.size(); ++i)
        delete m_rows[i];
    if (m_list && m_phase != Phase::Done)
        m_list->setUpdatesEnabled(m_updates);
}

bool RowRelisting::IsGone(QTreeWidgetItem* row) const
{
    return std::binary_search(m_gone.begin(), m_gone.end(), row);
}

bool RowRelisting::Step()
{
    if (!m_list) {
        m_phase = Phase::Done;
        return false;
    }
    QTreeWidgetItem* root = m_list->invisibleRootItem();
    switch (m_phase) {
    case Phase::SortingAdded:
        if (!m_before || m_all || !m_added.Step(m_before))
            m_phase = Phase::Taking;
        return true;
    case Phase::Taking:
        for (size_t n = 0; n < kRowsAStep && root->childCount() > 0; ++n) {
            QTreeWidgetItem* row = root->takeChild(root->childCount() - 1);
            (IsGone(row) ? m_goneOut : m_kept).push_back(row);
        }
        if (root->childCount() == 0) {
            std::reverse(m_kept.begin(), m_kept.end());
            if (m_all) {
                // The rows that came after those there, as a sorting list has them.
                m_added.rows.insert(m_added.rows.begin(), m_kept.begin(), m_kept.end());
                m_added.width = 0;
                m_added.at = 0;
                m_kept.clear();
                m_phase = Phase::SortingAll;
            } else {
                m_phase = Phase::Merging;
            }
        }
        return true;
    case Phase::SortingAll:
        if (!m_added.Step(m_before)) {
            m_rows.swap(m_added.rows);
            m_phase = Phase::PuttingBack;
        }
        return true;
    case Phase::Merging:
        m_rows.reserve(m_kept.size() + m_added.rows.size());
        if (m_before)
            std::merge(m_kept.begin(), m_kept.end(), m_added.rows.begin(), m_added.rows.end(),
                       std::back_inserter(m_rows), m_before);
        else {
            m_rows = m_kept;
            m_rows.insert(m_rows.end(), m_added.rows.begin(), m_added.rows.end());
        }
        m_kept.clear();
        m_added.rows.clear();
        m_phase = Phase::PuttingBack;
        return true;
    case Phase::PuttingBack: {
        const size_t end = std::min(m_listed + kRowsAStep, m_rows.size());
        QList<QTreeWidgetItem*> rows(m_rows.begin() + qsizetype(m_listed),
                                     m_rows.begin() + qsizetype(end));
        m_list->insertTopLevelItems(m_list->topLevelItemCount(), rows);
        m_listed = end;
        if (m_listed == m_rows.size()) {
            Restore();
            m_phase = Phase::Done;
            return false;
        }
        return true;
    }
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

void RowRelisting::Restore()
{
    if (m_current) {
        m_list->setCurrentItem(m_current, m_currentColumn, QItemSelectionModel::NoUpdate);
        m_current->setSelected(m_selected);
    }
    if (m_top)
        m_list->scrollToItem(m_top, QAbstractItemView::PositionAtTop);
    m_list->setUpdatesEnabled(m_updates);
}

bool RelistPace::MayStart(QObject* context, SlicedJob& job)
{
    const qint64 since = m_since.isValid() ? m_since.elapsed() : kMinIntervalMs;
    if (since >= kMinIntervalMs)
        return true;
    if (!m_timed) {
        m_timed = true;
        QTimer::singleShot(kMinIntervalMs - since, context, [this, &job] {
            m_timed = false;
            job.Start();
        });
    }
    return false;
}

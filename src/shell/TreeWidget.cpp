#include "shell/TreeWidget.h"

#include <algorithm>

TreeWidget::TreeWidget(QWidget* parent) : QTreeWidget(parent) {}

void TreeWidget::keyPressEvent(QKeyEvent* event)
{
    Q_EMIT KeyPressed(event);
    QTreeWidget::keyPressEvent(event);
}

void TreeWidget::SetExpanded(const QList<QTreeWidgetItem*>& rows, bool expanded)
{
    // While a layout is due, expanding or collapsing a row only notes it.
    scheduleDelayedItemsLayout();
    for (QTreeWidgetItem* row : rows)
        row->setExpanded(expanded);
}

void TreeWidget::ForgetRowStates(const std::vector<QTreeWidgetItem*>& rows)
{
    scheduleDelayedItemsLayout();
    for (QTreeWidgetItem* row : rows) {
        if (row->isExpanded())
            row->setExpanded(false);
        if (row->isHidden())
            row->setHidden(false);
    }
}

RowsToDelete::~RowsToDelete()
{
    for (QTreeWidgetItem* row : m_rows)
        delete row;
}

void RowsToDelete::TakeAll(TreeWidget* tree)
{
    m_tree = tree;
    m_states.clear();
    m_looking = {{nullptr, 0}};
}

void RowsToDelete::LookThrough(size_t count)
{
    // Through the model, each row by its place: a row's own isExpanded looks for its place among
    // its siblings first, and a share's folder may hold thousands of them.
    const QAbstractItemModel* model = m_tree->model();
    while (count > 0 && !m_looking.empty()) {
        QTreeWidgetItem* const parent = m_looking.back().first;
        int next = m_looking.back().second;
        const int rows = parent ? parent->childCount() : m_tree->topLevelItemCount();
        if (next == rows) {
            m_looking.pop_back();
            continue;
        }
        const QModelIndex parentIndex = parent ? m_tree->indexFromItem(parent) : QModelIndex();
        std::vector<QTreeWidgetItem*> below;
        for (; next < rows && count > 0; ++next, --count) {
            const QModelIndex index = model->index(next, 0, parentIndex);
            QTreeWidgetItem* row = m_tree->itemFromIndex(index);
            if (m_tree->isExpanded(index) || m_tree->isRowHidden(next, parentIndex))
                m_states.push_back(row);
            if (row->childCount() > 0)
                below.push_back(row);
        }
        // Done with at once: the call that looks at the last row goes on to what follows.
        if (next == rows)
            m_looking.pop_back();
        else
            m_looking.back().second = next;
        for (QTreeWidgetItem* row : below)
            m_looking.emplace_back(row, 0);
    }
}

bool RowsToDelete::DeleteSome(size_t count)
{
    if (m_tree && !m_looking.empty()) {
        LookThrough(count);
        if (!m_looking.empty())
            return false;
    }
    if (m_tree && !m_states.empty()) {
        const size_t some = std::min(count, m_states.size());
        const auto from = m_states.end() - std::ptrdiff_t(some);
        m_tree->ForgetRowStates(std::vector<QTreeWidgetItem*>(from, m_states.end()));
        m_states.erase(from, m_states.end());
        return false;
    }
    m_states.clear();
    m_looking.clear();
    if (m_tree) {
        m_tree->reset();
        const QList<QTreeWidgetItem*> rows = m_tree->invisibleRootItem()->takeChildren();
        // The last row is deleted first: taken in reverse, the first one shown goes first.
        m_rows.insert(m_rows.end(), rows.rbegin(), rows.rend());
        m_tree = nullptr;
        return m_rows.empty();
    }
    while (count > 0 && !m_rows.empty()) {
        QTreeWidgetItem* row = m_rows.back();
        if (row->childCount() > 0) {
            const QList<QTreeWidgetItem*> children = row->takeChildren();
            m_rows.insert(m_rows.end(), children.rbegin(), children.rend());
            continue;
        }
        m_rows.pop_back();
        delete row;
        --count;
    }
    return m_rows.empty();
}

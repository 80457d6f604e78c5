#include "shell/TreeWidget.h"

#include <QTreeWidgetItemIterator>

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
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if ((*it)->isExpanded() || (*it)->isHidden())
            m_states.push_back(*it);
    }
}

bool RowsToDelete::DeleteSome(size_t count)
{
    if (m_tree && !m_states.empty()) {
        const size_t some = std::min(count, m_states.size());
        const auto from = m_states.end() - std::ptrdiff_t(some);
        m_tree->ForgetRowStates(std::vector<QTreeWidgetItem*>(from, m_states.end()));
        m_states.erase(from, m_states.end());
        return false;
    }
    m_states.clear();
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

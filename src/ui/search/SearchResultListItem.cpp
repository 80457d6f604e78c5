#include "ui/search/SearchResultListItem.h"

#include <QTreeWidget>

const QString SearchResultListItem::kFreeSlot = QStringLiteral("Y");

SearchResultListItem::SearchResultListItem(QTreeWidget* tree) : TiedRow(tree) {}

SearchResultListItem::SearchResultListItem(QTreeWidgetItem* parent) : TiedRow(parent) {}

SearchResultListItem* SearchResultListItem::FromItem(ItemPtr node)
{
    return dynamic_cast<SearchResultListItem*>(TiedRow::FromItem(node));
}

void SearchResultListItem::setData(int column, int role, const QVariant& value)
{
    TiedRow::setData(column, role, value);
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return;
    if (column == FreeColumn) {
        const QString free = text(FreeColumn);
        m_keys.free = free == kFreeSlot;
        m_keys.queue = m_keys.free ? 0 : free.toLongLong();
    } else if (column == SpeedColumn) {
        m_keys.speed = text(SpeedColumn).toDouble();
    }
}

SearchResultListItem::SortKeys SearchResultListItem::KeysOf(const QTreeWidgetItem& row)
{
    if (const auto* mine = dynamic_cast<const SearchResultListItem*>(&row))
        return mine->m_keys;
    SortKeys keys;
    const QString free = row.text(FreeColumn);
    keys.free = free == kFreeSlot;
    keys.queue = keys.free ? 0 : free.toLongLong();
    keys.speed = row.text(SpeedColumn).toDouble();
    return keys;
}

bool SearchResultListItem::operator<(const QTreeWidgetItem& other) const
{
    // Only user rows (the top level) have Free and K/s texts; the rows below them compare by
    // file name alone, which is most of what a sort compares.
    const QTreeWidget* tree = parent() ? nullptr : treeWidget();
    const int column = tree ? tree->sortColumn() : FileColumn;
    if (column == FreeColumn || column == SpeedColumn) {
        const SortKeys theirs = KeysOf(other);
        if (column == FreeColumn) {
            if (m_keys.free != theirs.free)
                return theirs.free;
            // A longer queue is the lesser row.
            if (m_keys.queue != theirs.queue)
                return m_keys.queue > theirs.queue;
        }
        if (m_keys.speed != theirs.speed)
            return m_keys.speed < theirs.speed;
    }
    // Reversed, so that the descending sort lists file names ascending.
    return other.text(FileColumn) < text(FileColumn);
}

#include "ui/search/SearchResultListItem.h"

#include <QTreeWidget>

const QString SearchResultListItem::kFreeSlot = QStringLiteral("Y");

SearchResultListItem::SearchResultListItem(QTreeWidget* tree) : TiedRow(tree) {}

SearchResultListItem::SearchResultListItem(QTreeWidgetItem* parent) : TiedRow(parent) {}

SearchResultListItem* SearchResultListItem::FromItem(ItemPtr node)
{
    return dynamic_cast<SearchResultListItem*>(TiedRow::FromItem(node));
}

bool SearchResultListItem::operator<(const QTreeWidgetItem& other) const
{
    // Only user rows (the top level) have Free and K/s texts; the rows below them compare by
    // file name alone, which is most of what a sort compares.
    const QTreeWidget* tree = parent() ? nullptr : treeWidget();
    const int column = tree ? tree->sortColumn() : FileColumn;
    if (column == FreeColumn) {
        const QString mine = text(FreeColumn);
        const QString theirs = other.text(FreeColumn);
        if (mine != theirs) {
            if (mine == kFreeSlot)
                return false;
            if (theirs == kFreeSlot)
                return true;
            // A longer queue is the lesser row.
            return mine.toLongLong() > theirs.toLongLong();
        }
    }
    if (column == FreeColumn || column == SpeedColumn) {
        // Empty reads as 0, as a peer that reported no speed shows.
        const double mine = text(SpeedColumn).toDouble();
        const double theirs = other.text(SpeedColumn).toDouble();
        if (mine != theirs)
            return mine < theirs;
    }
    // Reversed, so that the descending sort lists file names ascending.
    return other.text(FileColumn) < text(FileColumn);
}

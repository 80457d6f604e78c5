#pragma once

#include "shell/Ties.h"

// A row of a search results tree, at any of its three levels: a user (columns User, Free and
// K/s), under it one of the user's folders (Folder), under that a file (File, Size and
// Attributes). Rows are tied to the store (search_results_user_node, search_results_folder_node,
// search_result_node) and followed back as TiedRows.
//
// The tree's own sorting is off; when a tab sorts, its rows compare by the tree's sort column.
// Every tab sorts descending, so the rows read: on Free, users with a free slot ("Y") first, then
// shorter queues first, equal texts as on K/s; on K/s, faster users first; on any other column,
// and for every tie, file names in ascending order. Folder rows have no text in any of those
// columns and keep the order they came in.
class SearchResultListItem : public TiedRow
{
public:
    enum Column
    {
        UserColumn = 0,
        FreeColumn = 1,
        SpeedColumn = 2,
        FolderColumn = 3,
        FileColumn = 4,
        SizeColumn = 5,
        AttributesColumn = 6
    };

    // Free's text for a user with a free upload slot.
    static const QString kFreeSlot;

    explicit SearchResultListItem(QTreeWidget* tree);
    explicit SearchResultListItem(QTreeWidgetItem* parent);

    bool operator<(const QTreeWidgetItem& other) const override;
    // Keeps the Free and K/s texts' values at hand for the comparisons of a sort.
    void setData(int column, int role, const QVariant& value) override;

    // The row whose address the item (a row's node) holds, or null when it names no live row of
    // a result tree.
    static SearchResultListItem* FromItem(ItemPtr node);

    // A folder row's count of its file rows that the tab's filter shows; both the filter pass
    // and each arriving row keep it, so that a minimum of files per folder reads the same for
    // both.
    int ShownFiles() const { return m_shownFiles; }
    void SetShownFiles(int count) { m_shownFiles = count; }

private:
    // What the Free and K/s texts read as: a free slot; else the queue's length; the speed, an
    // empty text as 0.
    struct SortKeys
    {
        bool free = false;
        qint64 queue = 0;
        double speed = 0;
    };
    static SortKeys KeysOf(const QTreeWidgetItem& row);

    int m_shownFiles = 0;
    SortKeys m_keys;
};

#pragma once

#include "store/Events.h"

#include <QDialog>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class Data;
class Item;
class QListWidgetItem;
class QTreeWidgetItem;
class Type;
class Ui_DataDialog;

// A read-only window onto a store: every type with its kind and item count, the items of the
// chosen type by value, and the connections of a clicked item as a tree that unfolds one level
// at a time over the store's graph. It follows the store while it is open: counts, the item list
// and the tree follow items being added and removed. It deletes itself when closed.
//
// A share list dropped or a sweep removes items by the hundred thousand, and a big share adds as
// many: each such item is forgotten (or noted) at once, and its rows change once per turn of the
// event loop, a few row by row and more by building the list or a parent's rows anew, so that no
// change searches the rows. The item list keeps no record of its own: its rows are sorted by
// value, which is unique within a type, so a value finds its row and a row its item.
class DataDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    // Rows of the item list, or below one parent row of the tree, that a turn changes one at a
    // time; each such change moves the rows after it. Past this many the rows are built anew.
    static constexpr size_t kMaxSingleRowChanges = 64;

    DataDialog(Data* data, QWidget* parent = nullptr);
    ~DataDialog() override;

    // Store-wide item events. The item is in its type's set (added) or has just left it while
    // keeping its value and connections (removed).
    void OnItemAdded(Item* item);
    void OnItemRemoved(Item* item);

    // Adds one row below parent for each item connected to item, except those of the types to
    // skip, each with a placeholder that stands for its connections until it is unfolded.
    void AddItemSubnodes(Item* item, QTreeWidgetItem* parent, std::set<Type*> skip);

public Q_SLOTS:
    void OnTypeItemSelectionChanged();
    void OnItemClicked(QListWidgetItem* row);
    void OnDataSubItemExpanded(QTreeWidgetItem* row);

private:
    void ClearList();
    void ClearTree();
    // The item list becomes these texts, which must be in ascending order.
    void FillList(const QStringList& texts);
    // The row of a listed item, found by its value; null when it has none.
    QListWidgetItem* ListRow(const Item* item) const;
    // The item of a row; null when the item is gone.
    Item* ListItem(QListWidgetItem* row) const;
    // Forgets the row and every row below it; the rows themselves go at the next turn.
    void ForgetTreeRows(QTreeWidgetItem* row);

    void ScheduleChanges();
    void ApplyChanges();
    void ApplyListChanges();
    void ApplyTreeRemovals();

    std::unique_ptr<Ui_DataDialog> ui;
    Data* m_data;

    std::map<std::string, QTreeWidgetItem*> typeRowByName;
    std::map<QTreeWidgetItem*, std::string> typeNameByRow;
    Type* selectedType = nullptr;
    Item* shownItem = nullptr;
    std::unordered_map<Item*, std::vector<QTreeWidgetItem*>> treeRowsByItem;
    // Placeholder rows are never here.
    std::unordered_map<QTreeWidgetItem*, Item*> itemByTreeRow;

    // What the next turn applies: the counts of these types; rows for these items of the
    // selected type (an item removed meanwhile leaves the set at once); these rows out, their
    // items gone.
    std::unordered_set<Type*> m_countsDue;
    Type* m_lastCountDue = nullptr;
    std::unordered_set<Item*> m_rowsDue;
    std::unordered_set<QListWidgetItem*> m_listRowsGone;
    std::vector<QTreeWidgetItem*> m_treeRowsGone;
    bool m_changesPosted = false;
};

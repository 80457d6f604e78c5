#pragma once

#include "store/Events.h"

#include <QWidget>

#include <memory>
#include <set>
#include <unordered_map>

class Item;
class QListWidgetItem;
class QTreeWidgetItem;
class Type;
class Ui_DataTabPage;

// Watches one store type: lists the items added to it while the page exists, newest first, and
// shows a clicked item's connections as one tree, built at once. Changes nothing in the store.
// Nothing in the client makes one; whoever does passes the type and a parent.
class DataTabPage : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // Rows of a clicked item's tree, the root and the closing "~~truncated~~" row included. A
    // tree grows with the product of the partners along each path; past this it is cut.
    static constexpr int kMaxTypePageRows = 20000;

    DataTabPage(Type* type, QWidget* parent = nullptr);
    ~DataTabPage() override;

    // The watched type's own item events.
    void OnItemAdded(Item* item);
    void OnItemRemoved(Item* item);

    // Adds below parent the tree of item's connections, except those of the types to skip; each
    // path through it takes a type at most once. Adds at most maxRows rows, breadth first: when
    // the tree holds more it adds maxRows - 1 and returns false, leaving one row for the note.
    bool AddItemSubnodes(Item* item, QTreeWidgetItem* parent, std::set<Type*> skip, int maxRows);

public Q_SLOTS:
    void OnItemClicked(QListWidgetItem* row);

private:
    std::unique_ptr<Ui_DataTabPage> ui;
    Type* pageType;
    std::unordered_map<Item*, QListWidgetItem*> listRowByItem;
    std::unordered_map<QListWidgetItem*, Item*> itemByListRow;
};

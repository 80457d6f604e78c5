#include "ui/dialogs/DataTabPage.h"

#include "store/Data.h"
#include "ui/dialogs/DataDialogRows.h"

#include "ui_DataTabPage.h"

#include <deque>
#include <vector>

DataTabPage::DataTabPage(Type* type, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui_DataTabPage>()), pageType(type)
{
    ui->setupUi(this);
    connect(ui->itemList, &QListWidget::itemClicked, this, &DataTabPage::OnItemClicked);
    pageType->itemAddedEvent.Add(NewEventHandler(this, &DataTabPage::OnItemAdded));
    pageType->itemRemovedEvent.Add(NewEventHandler(this, &DataTabPage::OnItemRemoved));
    ui->itemDataTree->setHeaderLabels({QStringLiteral("Item")});
}

DataTabPage::~DataTabPage()
{
    ui->itemList->disconnect(this);
    RemoveDataHandlers();
}

void DataTabPage::OnItemAdded(Item* item)
{
    auto* row = new QListWidgetItem(DataRows::ValueText(item->AsString()));
    ui->itemList->insertItem(0, row);
    listRowByItem[item] = row;
    itemByListRow[row] = item;
}

void DataTabPage::OnItemRemoved(Item* item)
{
    const auto found = listRowByItem.find(item);
    if (found == listRowByItem.end())
        return; // it was there before the page
    QListWidgetItem* row = found->second;
    listRowByItem.erase(found);
    itemByListRow.erase(row);
    delete row;
}

void DataTabPage::OnItemClicked(QListWidgetItem* row)
{
    DataRows::ClearTree(ui->itemDataTree);
    const auto found = itemByListRow.find(row);
    if (found == itemByListRow.end())
        return;
    Item* item = found->second;
    // Built apart from the view and put in whole: one insertion instead of one per row.
    auto* root = new QTreeWidgetItem(QStringList{DataRows::ValueText(item->AsString())});
    const bool whole = AddItemSubnodes(item, root, {item->GetType()}, kMaxTypePageRows - 1);
    ui->itemDataTree->addTopLevelItem(root);
    if (!whole)
        ui->itemDataTree->addTopLevelItem(
            new QTreeWidgetItem(QStringList{QStringLiteral("~~truncated~~")}));
    ui->itemDataTree->expandAll();
}

bool DataTabPage::AddItemSubnodes(Item* item, QTreeWidgetItem* parent, std::set<Type*> skip,
                                  int maxRows)
{
    struct Pending
    {
        Item* item;
        QTreeWidgetItem* row;
        // The types on the path to the row, the row's own included; shared by its siblings.
        std::shared_ptr<const std::set<Type*>> skip;
    };
    // Breadth first, so that a cut tree keeps its upper levels whole.
    std::deque<Pending> work;
    work.push_back({item, parent, std::make_shared<const std::set<Type*>>(std::move(skip))});
    int added = 0;
    QTreeWidgetItem* last = nullptr;
    RelationMap relations;
    while (!work.empty()) {
        const Pending next = work.front();
        work.pop_front();
        // Relations are kept in the order of the related types, the order the item's
        // connections are grouped in; visiting them stops with the rows, where copying the
        // partners of an item with a million would not.
        next.item->GetType()->GetRelatedTypes(relations);
        for (const auto& relation : relations) {
            Type* type = relation.first;
            if (next.skip->count(type) != 0)
                continue;
            auto path = std::make_shared<std::set<Type*>>(*next.skip);
            path->insert(type);
            const bool cut = next.item->VisitItems(type, [&](Item* connected) {
                if (added == maxRows)
                    return true;
                last = new QTreeWidgetItem(next.row,
                                           QStringList{DataRows::ConnectedItemText(connected)});
                ++added;
                work.push_back({connected, last, path});
                return false;
            });
            if (cut) {
                // The row made last was never reached, so it has no rows below it.
                delete last;
                return false;
            }
        }
    }
    return true;
}

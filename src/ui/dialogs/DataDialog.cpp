#include "ui/dialogs/DataDialog.h"

#include "shell/DisplayText.h"
#include "store/Data.h"
#include "ui/dialogs/DataDialogRows.h"

#include "ui_DataDialog.h"

#include <QHeaderView>
#include <QScrollBar>

#include <algorithm>

namespace {

// The type list's share of the dialog's width, at the least.
constexpr int kTypesWidth = 300;

// Stands for the connections of a row that has not been unfolded yet.
const QString kUnloaded = QStringLiteral("~~unloaded~~");

// Values of one type are unique, so this orders them fully. Byte order is the order of their
// texts byte for byte (RawText), which is the order the sorted list keeps.
bool ByValue(const Item* a, const Item* b)
{
    return a->AsString() < b->AsString();
}

} // namespace

DataDialog::DataDialog(Data* data, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui_DataDialog>()), m_data(data)
{
    ui->setupUi(this);
    ui->typeList->setHeaderLabels({QStringLiteral("Type"), QString(), QStringLiteral("#")});
    ui->typeList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ui->itemDataTree->setHeaderLabels({QStringLiteral("Item")});
    // The list's texts are the values, by which it is sorted and searched; they show as cells.
    ui->itemList->setItemDelegate(new DataRows::CellTextDelegate(ui->itemList));
    for (Type* type : m_data->GetTypes()) {
        auto* row = new QTreeWidgetItem(
            ui->typeList, {RawText(type->GetName()),
                           type->IsNull() ? QStringLiteral("null   ") : QStringLiteral("value   "),
                           QString::number(type->ItemCount())});
        typeRowByName.emplace(type->GetName(), row);
        typeNameByRow.emplace(row, type->GetName());
    }
    // Once: a count that changes later does not move its row.
    ui->typeList->sortItems(0, Qt::AscendingOrder);

    // 300 for the types, unless their longest name and its count need more; only the right side
    // grows with the window.
    int typesWidth =
        2 * ui->typeList->frameWidth() + ui->typeList->verticalScrollBar()->sizeHint().width();
    const QAbstractItemView* types = ui->typeList;
    for (int column = 0; column < ui->typeList->columnCount(); ++column)
        typesWidth += std::max(ui->typeList->header()->sectionSizeHint(column),
                               types->sizeHintForColumn(column));
    typesWidth = std::clamp(typesWidth, kTypesWidth, width() / 2);
    ui->typeSplitter->setSizes({typesWidth, width() - typesWidth});
    ui->typeSplitter->setStretchFactor(0, 0);
    ui->typeSplitter->setStretchFactor(1, 1);

    ui->itemList->sortItems(Qt::AscendingOrder);
    ui->itemList->setSortingEnabled(true);

    connect(ui->typeList, &QTreeWidget::itemSelectionChanged, this,
            &DataDialog::OnTypeItemSelectionChanged);
    connect(ui->itemList, &QListWidget::itemClicked, this, &DataDialog::OnItemClicked);
    connect(ui->itemDataTree, &QTreeWidget::itemExpanded, this, &DataDialog::OnDataSubItemExpanded);

    setAttribute(Qt::WA_DeleteOnClose);
    m_data->itemAddedEvent.Add(NewEventHandler(this, &DataDialog::OnItemAdded));
    m_data->itemRemovedEvent.Add(NewEventHandler(this, &DataDialog::OnItemRemoved));
}

DataDialog::~DataDialog()
{
    // The lists go after this part of the dialog; what they signal on the way must not reach it.
    ui->typeList->disconnect(this);
    ui->itemList->disconnect(this);
    ui->itemDataTree->disconnect(this);
    RemoveDataHandlers();
}

void DataDialog::OnTypeItemSelectionChanged()
{
    const QList<QTreeWidgetItem*> selected = ui->typeList->selectedItems();
    if (selected.isEmpty())
        return;
    selectedType = nullptr;
    ClearList();
    ClearTree();
    const auto name = typeNameByRow.find(selected.first());
    if (name == typeNameByRow.end())
        return;
    Type* type = m_data->HasType(name->second);
    if (!type || type->IsNull())
        return;
    selectedType = type;
    const ItemSet members = type->GetItems();
    std::vector<Item*> items(members.begin(), members.end());
    // Sorted here once: a list that sorts itself would move its rows for every one added.
    std::sort(items.begin(), items.end(), ByValue);
    QStringList texts;
    texts.reserve(qsizetype(items.size()));
    for (const Item* item : items)
        texts << RawText(item->AsString());
    FillList(texts);
}

void DataDialog::OnItemClicked(QListWidgetItem* row)
{
    Item* item = ListItem(row);
    if (!item)
        return; // its item is gone; the row goes at the next turn
    ClearTree();
    shownItem = item;
    auto* root = new QTreeWidgetItem(ui->itemDataTree, {DataRows::ValueText(item->AsString())});
    AddItemSubnodes(item, root, {item->GetType()});
    treeRowsByItem[item].push_back(root);
    itemByTreeRow.emplace(root, item);
}

void DataDialog::AddItemSubnodes(Item* item, QTreeWidgetItem* parent, std::set<Type*> skip)
{
    ConnectionMap groups;
    item->GetConnectedItems(groups);
    for (const auto& [type, members] : groups) {
        if (skip.count(type) != 0)
            continue;
        QList<QTreeWidgetItem*> rows;
        rows.reserve(qsizetype(members.size()));
        for (Item* connected : members) {
            auto* row = new QTreeWidgetItem(QStringList{DataRows::ConnectedItemText(connected)});
            if (!connected->IsDisconnectedFromAll())
                new QTreeWidgetItem(row, QStringList{kUnloaded});
            rows << row;
            treeRowsByItem[connected].push_back(row);
            itemByTreeRow.emplace(row, connected);
        }
        // One insertion for the group: an item may have a million partners.
        parent->addChildren(rows);
        parent->setExpanded(true);
    }
}

void DataDialog::OnDataSubItemExpanded(QTreeWidgetItem* row)
{
    if (row->childCount() != 1 || itemByTreeRow.count(row->child(0)) != 0)
        return;
    const auto found = itemByTreeRow.find(row);
    if (found == itemByTreeRow.end())
        return; // its item is gone; the row goes at the next turn
    DataRows::DeleteDetachedRows(row->takeChild(0));
    AddItemSubnodes(found->second, row, {found->second->GetType()});
    ui->itemDataTree->setCurrentItem(row);
}

void DataDialog::OnItemAdded(Item* item)
{
    Type* type = item->GetType();
    if (type != m_lastCountDue) {
        m_countsDue.insert(type);
        m_lastCountDue = type;
    }
    if (type == selectedType)
        m_rowsDue.insert(item);
    ScheduleChanges();
}

void DataDialog::OnItemRemoved(Item* item)
{
    Type* type = item->GetType();
    if (type != m_lastCountDue) {
        m_countsDue.insert(type);
        m_lastCountDue = type;
    }
    // The item is deleted right after this, and another may soon have its address: every record
    // of it goes now, its rows at the next turn.
    if (type == selectedType && m_rowsDue.erase(item) == 0) {
        if (QListWidgetItem* row = ListRow(item))
            m_listRowsGone.insert(row);
    }
    if (item == shownItem) {
        ClearTree();
    } else if (const auto shown = treeRowsByItem.find(item); shown != treeRowsByItem.end()) {
        const std::vector<QTreeWidgetItem*> rows = shown->second;
        for (QTreeWidgetItem* row : rows) {
            // A row below another row of the item was forgotten with that one.
            if (itemByTreeRow.count(row) == 0)
                continue;
            ForgetTreeRows(row);
            m_treeRowsGone.push_back(row);
        }
    }
    ScheduleChanges();
}

void DataDialog::ClearList()
{
    ui->itemList->clear();
    m_rowsDue.clear();
    m_listRowsGone.clear();
}

void DataDialog::ClearTree()
{
    DataRows::ClearTree(ui->itemDataTree);
    treeRowsByItem.clear();
    itemByTreeRow.clear();
    m_treeRowsGone.clear();
    shownItem = nullptr;
}

void DataDialog::FillList(const QStringList& texts)
{
    QListWidget* list = ui->itemList;
    QString current;
    if (list->currentItem() && m_listRowsGone.count(list->currentItem()) == 0)
        current = list->currentItem()->text();
    list->clear();
    m_listRowsGone.clear();
    // In order already: one insertion, no sorting.
    list->setSortingEnabled(false);
    list->addItems(texts);
    list->setSortingEnabled(true);
    if (!current.isNull()) {
        const auto at = std::lower_bound(texts.begin(), texts.end(), current);
        if (at != texts.end() && *at == current)
            list->setCurrentRow(int(at - texts.begin()));
    }
}

QListWidgetItem* DataDialog::ListRow(const Item* item) const
{
    const QListWidget* list = ui->itemList;
    const QString text = RawText(item->AsString());
    int low = 0;
    int high = list->count();
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (list->item(middle)->text() < text)
            low = middle + 1;
        else
            high = middle;
    }
    if (low < list->count() && list->item(low)->text() == text)
        return list->item(low);
    return nullptr;
}

Item* DataDialog::ListItem(QListWidgetItem* row) const
{
    if (!row || !selectedType || m_listRowsGone.count(row) != 0)
        return nullptr;
    return selectedType->HasItem(Value(RawBytes(row->text())));
}

void DataDialog::ForgetTreeRows(QTreeWidgetItem* row)
{
    std::vector<QTreeWidgetItem*> work{row};
    while (!work.empty()) {
        QTreeWidgetItem* next = work.back();
        work.pop_back();
        if (const auto found = itemByTreeRow.find(next); found != itemByTreeRow.end()) {
            const auto shown = treeRowsByItem.find(found->second);
            if (shown != treeRowsByItem.end()) {
                std::vector<QTreeWidgetItem*>& rows = shown->second;
                rows.erase(std::remove(rows.begin(), rows.end(), next), rows.end());
                if (rows.empty())
                    treeRowsByItem.erase(shown);
            }
            itemByTreeRow.erase(found);
        }
        for (int i = 0; i < next->childCount(); ++i)
            work.push_back(next->child(i));
    }
}

void DataDialog::ScheduleChanges()
{
    if (m_changesPosted)
        return;
    m_changesPosted = true;
    QMetaObject::invokeMethod(
        this, [this] { ApplyChanges(); }, Qt::QueuedConnection);
}

void DataDialog::ApplyChanges()
{
    m_changesPosted = false;
    for (const Type* type : m_countsDue) {
        // A type declared after the dialog has no row.
        if (const auto row = typeRowByName.find(type->GetName()); row != typeRowByName.end())
            row->second->setText(2, QString::number(type->ItemCount()));
    }
    m_countsDue.clear();
    m_lastCountDue = nullptr;
    ApplyListChanges();
    ApplyTreeRemovals();
}

void DataDialog::ApplyListChanges()
{
    if (m_rowsDue.empty() && m_listRowsGone.empty())
        return;
    std::vector<Item*> added(m_rowsDue.begin(), m_rowsDue.end());
    m_rowsDue.clear();
    std::sort(added.begin(), added.end(), ByValue);
    QListWidget* list = ui->itemList;
    if (added.size() + m_listRowsGone.size() <= kMaxSingleRowChanges) {
        for (QListWidgetItem* row : m_listRowsGone)
            delete row;
        m_listRowsGone.clear();
        // The list is sorted: each row takes its place.
        for (const Item* item : added)
            new QListWidgetItem(RawText(item->AsString()), list);
        return;
    }
    // The rows that stay, in their order, merged with the new ones.
    QStringList values;
    values.reserve(qsizetype(added.size()));
    for (const Item* item : added)
        values << RawText(item->AsString());
    QStringList texts;
    texts.reserve(list->count() - qsizetype(m_listRowsGone.size()) + values.size());
    auto next = values.cbegin();
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem* row = list->item(i);
        if (m_listRowsGone.count(row) != 0)
            continue;
        QString text = row->text();
        for (; next != values.cend() && *next < text; ++next)
            texts << *next;
        texts << std::move(text);
    }
    for (; next != values.cend(); ++next)
        texts << *next;
    FillList(texts);
}

void DataDialog::ApplyTreeRemovals()
{
    if (m_treeRowsGone.empty())
        return;
    QTreeWidget* tree = ui->itemDataTree;
    const std::unordered_set<QTreeWidgetItem*> gone(m_treeRowsGone.begin(), m_treeRowsGone.end());
    m_treeRowsGone.clear();
    const auto belowGone = [&gone](const QTreeWidgetItem* row) {
        for (const QTreeWidgetItem* up = row->parent(); up; up = up->parent()) {
            if (gone.count(const_cast<QTreeWidgetItem*>(up)) != 0)
                return true;
        }
        return false;
    };
    // A row below another that goes goes with it.
    std::map<QTreeWidgetItem*, std::vector<QTreeWidgetItem*>> byParent;
    for (QTreeWidgetItem* row : gone) {
        if (!belowGone(row))
            byParent[row->parent()].push_back(row);
    }
    QTreeWidgetItem* current = tree->currentItem();
    if (current && (gone.count(current) != 0 || belowGone(current)))
        current = nullptr;

    bool rebuilt = false;
    for (const auto& [parent, rows] : byParent) {
        if (!parent) {
            // Only the root row is at the top, and its item's removal clears the tree; kept
            // for a tree that holds more some day.
            for (QTreeWidgetItem* row : rows)
                DataRows::DeleteDetachedRows(
                    tree->takeTopLevelItem(tree->indexOfTopLevelItem(row)));
            continue;
        }
        if (rows.size() <= kMaxSingleRowChanges) {
            for (QTreeWidgetItem* row : rows) {
                parent->removeChild(row);
                DataRows::DeleteDetachedRows(row);
            }
            continue;
        }
        // Taking the rows out one by one would search the parent's rows for each: take them all
        // and put back the others, unfolded again where they were.
        rebuilt = true;
        QList<QTreeWidgetItem*> kept;
        std::vector<QTreeWidgetItem*> unfolded;
        if (parent->isExpanded())
            unfolded.push_back(parent);
        std::vector<QTreeWidgetItem*> work;
        for (int i = 0; i < parent->childCount(); ++i) {
            if (gone.count(parent->child(i)) == 0) {
                kept << parent->child(i);
                work.push_back(parent->child(i));
            }
        }
        while (!work.empty()) {
            QTreeWidgetItem* next = work.back();
            work.pop_back();
            if (next->isExpanded())
                unfolded.push_back(next);
            for (int i = 0; i < next->childCount(); ++i)
                work.push_back(next->child(i));
        }
        const QList<QTreeWidgetItem*> taken = parent->takeChildren();
        parent->addChildren(kept);
        for (QTreeWidgetItem* row : taken) {
            if (gone.count(row) != 0)
                DataRows::DeleteDetachedRows(row);
        }
        for (QTreeWidgetItem* row : unfolded)
            row->setExpanded(true);
    }
    if (rebuilt && current)
        tree->setCurrentItem(current);
}

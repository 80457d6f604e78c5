// The search page's wish list: the rows of the wishList tree, their check boxes, and the tool
// bar's wish-list actions, for both the tree and the results tabs.

#include "ui/search/SearchForm.h"

#include "server/ServerSchema.h"
#include "shell/DisplayText.h"
#include "shell/ShellTypes.h"
#include "shell/Ties.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/search/SearchTypes.h"

#include "ui_SearchForm.h"

#include <QCheckBox>

#include <vector>

namespace {

using namespace SearchTypes;

constexpr int kCheckColumn = 0;
constexpr int kWishColumn = 1;
// Column 0's text under the check box: what sorting and a screen reader see.
const QString kEnabledMark = QStringLiteral("Y");

bool IsEnabled(ItemPtr wish)
{
    return wish.IsConnected(ShellTypes::WishListItemEnabled);
}

void Enable(ItemPtr wish)
{
    wish += d.GetType(ShellTypes::WishListItemEnabled)->GetGlobalNullItem();
}

} // namespace

void SearchForm::OnWishListItemAdded(Item* wish)
{
    // Put together before it joins the sorted tree, so that it lands in its place at once.
    auto* row = new TiedRow(static_cast<QTreeWidget*>(nullptr));
    row->setText(kWishColumn, Shown(wish));
    row->setTextAlignment(kCheckColumn, Qt::AlignCenter);
    ui->wishList->addTopLevelItem(row);
    auto* box = new QCheckBox;
    ui->wishList->setItemWidget(row, kCheckColumn, box);
    if (IsEnabled(wish)) {
        row->setText(kCheckColumn, kEnabledMark);
        box->setChecked(true);
    }
    ItemPtr node = Ties::Make(WishListNode, row);
    ItemPtr(wish) += node;
    node += Ties::Make(WishListNodeCheckbox, box);
    // Only now: building the row changes nothing in the store.
    connect(box, &QCheckBox::stateChanged, this, &SearchForm::OnWishListItemCheckStateChanged);
}

void SearchForm::OnWishListItemCheckStateChanged(int state)
{
    ItemPtr node = Ties::Find(WishListNodeCheckbox, sender())[WishListNode];
    ItemPtr wish = node[ShellTypes::WishListItem];
    if (!wish)
        return;
    TiedRow* row = TiedRow::FromItem(node);
    if (state == Qt::Checked)
        Enable(wish);
    else
        wish.Disconnect(ShellTypes::WishListItemEnabled);
    if (row)
        row->setText(kCheckColumn, state == Qt::Checked ? kEnabledMark : QString());
}

void SearchForm::OnWishListItemRemoved(Item* wish)
{
    ItemPtr node = ItemPtr(wish)[WishListNode];
    // The check box goes with the row.
    delete TiedRow::FromItem(node);
    node[WishListNodeCheckbox].Remove();
    node.Remove();
}

QCheckBox* SearchForm::WishCheckBox(Item* wish) const
{
    TiedRow* row = TiedRow::FromItem(ItemPtr(wish)[WishListNode]);
    if (!row || row->treeWidget() != ui->wishList)
        return nullptr;
    return qobject_cast<QCheckBox*>(ui->wishList->itemWidget(row, kCheckColumn));
}

void SearchForm::OnWishListItemEnabled(Item* wish)
{
    if (QCheckBox* box = WishCheckBox(wish))
        box->setEnabled(true);
}

void SearchForm::OnWishListItemDisabled(Item* wish)
{
    if (QCheckBox* box = WishCheckBox(wish))
        box->setEnabled(false);
}

void SearchForm::AddWish(const std::string& text)
{
    Type* wishes = d.GetType(ShellTypes::WishListItem);
    if (wishes->HasItem(Value(text)))
        return;
    ItemPtr wish = wishes->GetItem(Value(text));
    Enable(wish);
    OnWishListItemAdded(wish);
}

void SearchForm::OnAddToWishListClicked()
{
    const std::string text =
        StoredBytes(d.GetType(ShellTypes::WishListItem), ui->searchEdit->text());
    if (!text.empty())
        AddWish(text);
}

bool SearchForm::OnWishListAction(const std::string& key)
{
    using namespace SearchActions;
    if (key == RemoveWishListItem) {
        // Collected first: each removal deletes its row.
        ItemSet chosen;
        for (QTreeWidgetItem* row : ui->wishList->selectedItems()) {
            if (ItemPtr wish = Ties::Find(WishListNode, row)[ShellTypes::WishListItem])
                chosen.Insert(wish);
        }
        chosen.Remove();
        return true;
    }
    if (key == EnableAllWishListItems || key == DisableAllWishListItems) {
        // Through the boxes, whose signal updates the flags and the rows.
        for (Item* wish : d.GetType(ShellTypes::WishListItem)->GetItems()) {
            if (QCheckBox* box = WishCheckBox(wish))
                box->setChecked(key == EnableAllWishListItems);
        }
        return true;
    }
    if (key != AddRemoveWishlist)
        return false;
    SearchResultsForm* shown = GetCurrentSearchResultsForm();
    if (!shown)
        return true;
    ItemPtr tab = Ties::Find(SearchResultsWidget, shown);
    ItemPtr request = tab.GetItems(ServerTypes::SearchRequest).First();
    if (!request)
        return true;
    const std::string text = request[ServerTypes::SearchRequestText].AsString();
    if (!request.IsConnected(ServerTypes::WishlistSearch))
        AddWish(text);
    else
        d.GetType(ShellTypes::WishListItem)->HasItem(Value(text)).Remove();
    return true;
}

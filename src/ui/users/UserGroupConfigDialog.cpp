#include "ui/users/UserGroupConfigDialog.h"

#include "server/ServerSchema.h"
#include "shell/DisplayText.h"

#include "ui_UserGroupConfigDialog.h"

#include <string>

UserGroupConfigDialog* userGroupConfigDialog = nullptr;

namespace {

using ServerTypes::GroupDownloadPriority;
using ServerTypes::UserListGroup;

// The group a row names, or null; makes nothing.
ItemPtr Group(const QListWidgetItem* row)
{
    Type* groups = d.GetType(UserListGroup);
    return row ? groups->HasItem(Value(StoredBytes(groups, row->text()))) : ItemPtr();
}

} // namespace

UserGroupConfigDialog::UserGroupConfigDialog(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui_UserGroupConfigDialog>())
{
    ui->setupUi(this);
    userGroupConfigDialog = this;
    setAttribute(Qt::WA_DeleteOnClose);
    using Self = UserGroupConfigDialog;
    Type* groups = d.GetType(UserListGroup);
    groups->itemAddedEvent.Add(NewEventHandler(this, &Self::OnUserGroupAdded));
    groups->itemRemovedEvent.Add(NewEventHandler(this, &Self::OnUserGroupRemoved));
    for (Item* group : groups->GetItems())
        OnUserGroupAdded(group);
    ui->prioritySpinBox->setEnabled(false);
    connect(ui->groupList, &QListWidget::currentItemChanged, this,
            &UserGroupConfigDialog::OnCurrentGroupItemChanged);
    connect(ui->prioritySpinBox, &QSpinBox::valueChanged, this,
            &UserGroupConfigDialog::OnPrioritySpinValueChanged);
}

UserGroupConfigDialog::~UserGroupConfigDialog()
{
    if (userGroupConfigDialog == this)
        userGroupConfigDialog = nullptr;
}

void UserGroupConfigDialog::OnUserGroupAdded(Item* group)
{
    ui->groupList->addItem(Shown(group));
}

void UserGroupConfigDialog::OnUserGroupRemoved(Item* group)
{
    const QList<QListWidgetItem*> rows = ui->groupList->findItems(Shown(group), Qt::MatchExactly);
    if (!rows.isEmpty())
        delete rows.first();
}

void UserGroupConfigDialog::OnCurrentGroupItemChanged(QListWidgetItem* current, QListWidgetItem*)
{
    ui->prioritySpinBox->setEnabled(current != nullptr);
    // A box title reads "&" as a shortcut mark, and group names are typed.
    ui->groupBox->setTitle(current ? EscapeMnemonics(current->text()) : QString());
    if (current)
        ui->prioritySpinBox->setValue(Group(current)[GroupDownloadPriority].AsInt());
}

void UserGroupConfigDialog::OnPrioritySpinValueChanged(int value)
{
    const ItemPtr group = Group(ui->groupList->currentItem());
    if (!group)
        return;
    if (value < 1) {
        group.Disconnect(GroupDownloadPriority);
        return;
    }
    // One priority per group: the new one replaces the old.
    group += d.GetType(GroupDownloadPriority)->GetItem(Value(value));
}

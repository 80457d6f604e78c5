#include "ui/users/UserGroupsDialog.h"

#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shell/DisplayText.h"
#include "shell/Latin1Validator.h"

#include "ui_UserGroupsDialog.h"

namespace {

// The user's own list item, or null when the user is not on the list; makes nothing.
ItemPtr ListedItem(const std::string& user)
{
    return ServerStore::FindUser(user)[ServerTypes::InUserList];
}

} // namespace

UserGroupsDialog::UserGroupsDialog(const std::string& user, QWidget* parent)
    : QDialog(parent), m_user(user), ui(std::make_unique<Ui_UserGroupsDialog>())
{
    ui->setupUi(this);
    // One dialog per use of the menu entry: kept hidden after closing, they would pile up for
    // the whole run.
    setAttribute(Qt::WA_DeleteOnClose);
    d.GetType(ServerTypes::UserListGroup)
        ->itemAddedEvent.Add(NewEventHandler(this, &UserGroupsDialog::OnUserGroupAdded));
    setWindowTitle(QStringLiteral("User Groups for [") +
                   EscapeTitlePlaceholder(CellText(NameText(user))) + QStringLiteral("]"));
    ui->newGroupEdit->setValidator(new Latin1Validator(ui->newGroupEdit));

    const ItemPtr listed = ListedItem(user);
    for (Item* group : d.GetType(ServerTypes::UserListGroup)->GetItems()) {
        if (listed.IsConnected(group))
            AddRow(group)->setCheckState(Qt::Checked);
        else
            AddRow(group);
    }
    // Only now: filling the list changes nothing in the store.
    connect(ui->groupListWidget, &QListWidget::itemChanged, this,
            &UserGroupsDialog::OnGroupItemChanged);
    connect(ui->newGroupButton, &QPushButton::clicked, this,
            &UserGroupsDialog::OnNewGroupButtonClicked);
}

UserGroupsDialog::~UserGroupsDialog() = default;

QListWidgetItem* UserGroupsDialog::AddRow(ItemPtr group)
{
    auto* row = new QListWidgetItem(Shown(group));
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setCheckState(Qt::Unchecked);
    ui->groupListWidget->addItem(row);
    return row;
}

void UserGroupsDialog::OnUserGroupAdded(Item* group)
{
    AddRow(group);
}

void UserGroupsDialog::OnGroupItemChanged(QListWidgetItem* row)
{
    const Qt::CheckState state = row->checkState();
    const QString name = row->text();
    if (state == Qt::PartiallyChecked || name.isEmpty())
        return;
    const ItemPtr listed = ListedItem(m_user);
    if (!listed)
        return;
    Type* groups = d.GetType(ServerTypes::UserListGroup);
    const Value group(StoredBytes(groups, name));
    if (state == Qt::Checked) {
        listed += groups->GetItem(group);
        return;
    }
    // A disconnection is told to the handlers even where there was no link.
    const ItemPtr member = groups->HasItem(group);
    if (listed.IsConnected(member))
        listed -= member;
}

void UserGroupsDialog::OnNewGroupButtonClicked()
{
    const QString name = ui->newGroupEdit->text().trimmed();
    ui->newGroupEdit->clear();
    if (name.isEmpty())
        return;
    // Made when missing, which gives every open groups dialog its row.
    Type* groups = d.GetType(ServerTypes::UserListGroup);
    groups->GetItem(Value(StoredBytes(groups, name)));
}

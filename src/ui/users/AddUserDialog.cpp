#include "ui/users/AddUserDialog.h"

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shell/DisplayText.h"
#include "shell/Latin1Validator.h"
#include "shell/ShellServices.h"

#include "ui_AddUserDialog.h"

AddUserDialog::AddUserDialog(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui_AddUserDialog>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    // User names are Latin-1 bytes, as every list shows them.
    ui->userNameEdit->setValidator(new Latin1Validator(ui->userNameEdit));
    connect(ui->addFriendButton, &QPushButton::clicked, this, &AddUserDialog::OnAddUserClicked);
    if (Server* server = ReachServer())
        connect(server, &Server::AddUserResponse, this, &AddUserDialog::OnAddUserResponse);
}

AddUserDialog::~AddUserDialog() = default;

void AddUserDialog::SetWaiting(bool waiting)
{
    ui->userNameEdit->setReadOnly(waiting);
    ui->addFriendButton->setEnabled(!waiting);
}

void AddUserDialog::OnAddUserClicked()
{
    const std::string name =
        StoredBytes(d.GetType(ServerTypes::User), ui->userNameEdit->text().trimmed());
    if (name.empty()) {
        ui->statusEdit->setText(QStringLiteral("User name must not be empty."));
        return;
    }
    Server* server = ReachServer();
    if (!server || !server->IsConnected()) {
        ui->statusEdit->setText(QStringLiteral("Must be online to add a user to your list."));
        return;
    }
    if (ServerStore::FindUser(name).IsConnected(ServerTypes::InUserList)) {
        ui->statusEdit->setText(QStringLiteral("User already in list."));
        return;
    }
    ui->statusEdit->setText(QStringLiteral("Adding user..."));
    SetWaiting(true);
    m_pendingUserName = name;
    server->AddUser(name);
}

void AddUserDialog::OnAddUserResponse(std::string user, bool exists)
{
    if (m_pendingUserName.empty() || user != m_pendingUserName)
        return;
    SetWaiting(false);
    m_pendingUserName.clear();
    if (!exists) {
        ui->statusEdit->setText(QStringLiteral("User name does not exist."));
        return;
    }
    ServerStore::User(user).NewItem(ServerTypes::InUserList);
    ui->statusEdit->setText(QStringLiteral("User added to list."));
}

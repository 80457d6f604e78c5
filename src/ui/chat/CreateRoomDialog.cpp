#include "CreateRoomDialog.h"

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shell/DisplayText.h"
#include "shell/ShellServices.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

CreateRoomDialog* createRoomDialog = nullptr;

CreateRoomDialog::CreateRoomDialog(QWidget* parent)
    : QDialog(parent), roomNameEdit(new QLineEdit),
      createPrivateCheckBox(new QCheckBox(QStringLiteral("Create private room")))
{
    setObjectName(QStringLiteral("CreateRoomDialog"));
    setWindowTitle(QStringLiteral("Create Room"));
    roomNameEdit->setObjectName(QStringLiteral("roomNameEdit"));
    roomNameEdit->setPlaceholderText(QStringLiteral("Room name"));
    createPrivateCheckBox->setObjectName(QStringLiteral("createPrivateCheckBox"));
    auto* button = new QPushButton(QStringLiteral("Create/Enter Room"));
    button->setObjectName(QStringLiteral("createRoomButton"));
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    buttonRow->addWidget(button);
    buttonRow->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(roomNameEdit);
    layout->addWidget(createPrivateCheckBox);
    layout->addLayout(buttonRow);
    connect(button, &QPushButton::clicked, this, &CreateRoomDialog::OnButtonClicked);
    createRoomDialog = this;
}

CreateRoomDialog::~CreateRoomDialog()
{
    if (createRoomDialog == this)
        createRoomDialog = nullptr;
}

void CreateRoomDialog::OnButtonClicked()
{
    const QString name = roomNameEdit->text().trimmed();
    if (name.isEmpty())
        return;
    Server* server = ReachServer();
    if (!server)
        return;
    server->EnterRoom(StoredBytes(d.GetType(ServerTypes::Room), name),
                      createPrivateCheckBox->isChecked());
    // Gone from the global at once, so that the next "Create Room" makes a fresh dialog even
    // before the deferred deletion has run.
    createRoomDialog = nullptr;
    hide();
    deleteLater();
}

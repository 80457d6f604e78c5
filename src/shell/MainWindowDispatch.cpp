// The shell's own tool-bar actions: rooms, shared folders and the login options.

#include "shell/MainWindow.h"

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shares/SharesSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/ModalDialogs.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellTypes.h"
#include "shell/Ties.h"
#include "shell/UIFunctions.h"
#include "store/Settings.h"
#include "ui/chat/ChatLog.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/CreateRoomDialog.h"
#include "ui/dialogs/AddSharedFolderDialog.h"
#include "ui/dialogs/ChangeListeningPortDialog.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"

#include "ui_MainWindow.h"

using namespace ShellActions;

namespace {

QMessageBox::StandardButton AskYesNo(const QString& title, const QString& text)
{
    ModalDialogs::MessageBox box;
    box.icon = QMessageBox::Question;
    box.title = title;
    box.text = text;
    box.buttons = QMessageBox::Yes | QMessageBox::No;
    box.defaultButton = QMessageBox::No;
    return ModalDialogs::Current().Show(box);
}

} // namespace

void MainWindow::AddShellActionSets()
{
    ActionSetToolBar& bar = *ui->mainToolBar;
    bar.Init();
    AddSet(bar, kEarlySets, kEarlySetRowCount, RoomListSet);
    bar.RegisterWidget(ui->roomList, QString::fromLatin1(RoomListSet));
    bar.AddWidgetTieKey(ui->roomList, QString::fromLatin1(RoomKey), ShellTypes::RoomNode,
                        ServerTypes::Room);
    AddSet(bar, kEarlySets, kEarlySetRowCount, RoomSet);
    AddSet(bar, kEarlySets, kEarlySetRowCount, SharedFoldersSet);
    bar.RegisterWidget(ui->fileSharingOptionsTab, QString::fromLatin1(SharedFoldersSet));
    AddSet(bar, kEarlySets, kEarlySetRowCount, LoginOptionsSet);
    bar.RegisterWidget(ui->loginOptionsTab, QString::fromLatin1(LoginOptionsSet));
    connect(&bar, &ActionSetToolBar::ActionTriggered, this, &MainWindow::OnToolBarActionTriggered);
}

void MainWindow::AddChatLogActionSets()
{
    ShellTypes::DeclareChatLogForm();
    ShellActions::AddChatLogSets(*ui->mainToolBar);
}

void MainWindow::OnToolBarActionTriggered(QWidget*, std::string id)
{
    // The room actions work on the room the key names: the room list's selected row, or the
    // room tab that has the focus.
    const auto room = [this] {
        return ServerStore::Room(ui->mainToolBar->GetKeyBytes(QString::fromLatin1(RoomKey)));
    };

    if (id == RefreshRoomList) {
        server->GetRoomList();
    } else if (id == EnterRoom) {
        server->EnterRoom(room().AsString(), false);
    } else if (id == CreateRoom) {
        if (!createRoomDialog)
            new CreateRoomDialog(this);
        createRoomDialog->show();
    } else if (id == EnablePrivateRoomAdd) {
        // Toggles the state the server last reported.
        server->EnablePrivateRoomAdd(!Settings::IsYes(SettingKeys::EnablePrivateRoomAdd));
    } else if (id == ShareFolder) {
        (new AddSharedFolderDialog(this))->show();
    } else if (id == UnshareFolder) {
        Type* folders = d.GetType(SharesTypes::SharedFolder);
        // Rows go as their folders do; their texts are taken first.
        QStringList paths;
        for (QTreeWidgetItem* row : ui->sharedFoldersList->selectedItems())
            paths << row->text(0);
        for (const QString& path : paths) {
            folders->HasItem(Value(StoredBytes(folders, path))).Remove();
            d.RemoveDisconnectedItems();
        }
    } else if (id == SetDownloadFolder) {
        const QString folder =
            ModalDialogs::Current().ChooseFolder(this, QStringLiteral("Set Download Folder"));
        if (folder.isEmpty())
            return;
        // A path, which the transfer engine reads in the file system's encoding (UTF-8): Latin-1
        // would turn every non-ASCII folder into one that does not exist.
        Settings::Set(SettingKeys::DownloadFolder,
                      StoredBytes(SettingKeys::DownloadFolder, folder));
        ui->downloadFolderEdit->setText(folder);
    } else if (id == RescanShares) {
        if (SharedFoldersManager* shares = ReachSharedFolders())
            shares->RescanShares();
    } else if (id == ToggleRoomAutojoin) {
        const ItemPtr r = room();
        if (r.IsConnected(ServerTypes::RoomAutojoin))
            r.Disconnect(ServerTypes::RoomAutojoin);
        else
            r.NewItem(ServerTypes::RoomAutojoin);
    } else if (id == RoomChatLog) {
        OpenRoomChatLog(room());
    } else if (id == GiveUpMembership) {
        const ItemPtr r = room();
        if (!r.IsConnected(ServerTypes::IsMember) || r.IsConnected(ServerTypes::IsOwner))
            return;
        const QString name = CellText(Shown(r));
        if (AskYesNo(QStringLiteral("Give up membership?"),
                     QStringLiteral("Are you sure you want to give up your membership to the %1 "
                                    "private room?")
                         .arg(name)) == QMessageBox::Yes)
            server->GiveUpPrivateRoomMembership(r.AsString());
    } else if (id == GiveUpOwnership) {
        const ItemPtr r = room();
        if (!r.IsConnected(ServerTypes::IsOwner))
            return;
        const QString name = CellText(Shown(r));
        if (AskYesNo(QStringLiteral("Give up membership?"),
                     QStringLiteral("Are you SURE you want to give up your ownership of the %1 "
                                    "private room?")
                         .arg(name)) != QMessageBox::Yes)
            return;
        if (AskYesNo(QStringLiteral("REALLY?"), QStringLiteral("REALLY?")) != QMessageBox::Yes)
            return;
        server->GiveUpPrivateRoom(r.AsString());
        server->LeaveRoom(r.AsString());
    } else if (id == SetUserPass) {
        if (server->IsConnected()) {
            ModalDialogs::MessageBox box;
            box.parent = this;
            box.title = QStringLiteral("Cannot change username while online");
            box.text = QStringLiteral(
                "You must be disconnected from the Quorvale server to change your username.");
            ModalDialogs::Current().Show(box);
            return;
        }
        OnChangeUsernamePasswordClicked();
    } else if (id == SetListeningPort) {
        (new ChangeListeningPortDialog(this))->show();
    }
}

void MainWindow::OpenRoomChatLog(ItemPtr room)
{
    if (ChatLogForm* open = ChatLogForm::FromItem(room[ShellTypes::ChatLogForm])) {
        FocusWidgetAndParents(open);
        return;
    }
    auto* viewer = new ChatLogForm(ChatLog::Path(ChatLog::Kind::Room, room.AsString()), this);
    ui->roomsTabControl->addTab(viewer, QIcon(QStringLiteral(":/icons/note_icon")),
                                EscapeMnemonics(CellText(Shown(room))));
    room += Ties::Make(ShellTypes::ChatLogForm, viewer);
    FocusWidgetAndParents(viewer);
}

// The options page: its own controls, the read-only fields, the shared-folder list and the
// window's dialog-opening slots; and the signals the designed layout connects to the window.

#include "shell/MainWindow.h"

#include "server/PortForwarder.h"
#include "server/ServerSchema.h"
#include "shares/SharesSchema.h"
#include "shell/DisplayText.h"
#include "shell/OptionsPage.h"
#include "store/Settings.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"
#include "ui/dialogs/ColorSelectionDialog.h"
#include "ui/dialogs/DataDialog.h"
#include "ui/dialogs/SharedFilesRescannedDialog.h"
#include "ui/dialogs/TypeNavigatorDialog.h"

#include "ui_MainWindow.h"

namespace {

// The first row of the shared-folder list that shows the folder's path.
QTreeWidgetItem* FolderRow(QTreeWidget* list, Item* folder)
{
    const QString path = Shown(folder);
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->text(0) == path)
            return list->topLevelItem(i);
    }
    return nullptr;
}

} // namespace

void MainWindow::ConnectLayout()
{
    connect(ui->roomList, &QTreeWidget::itemSelectionChanged, this,
            &MainWindow::OnRoomListItemSelectionChanged);
    connect(ui->roomsTabControl, &QTabWidget::tabCloseRequested, this,
            &MainWindow::OnRoomTabClosed);
    connect(ui->chatTabControl, &QTabWidget::tabCloseRequested, this, &MainWindow::OnChatTabClosed);
    connect(ui->optionsTabControl, &QTabWidget::currentChanged, this,
            &MainWindow::OnOptionsTabSelectionChanged);
    connect(ui->uPnPCheckBox, &QCheckBox::toggled, this, &MainWindow::OnUPnPCheckboxToggled);
    connect(ui->minimizeToTrayCheckBox, &QCheckBox::toggled, this,
            &MainWindow::OnMinimizeToTrayCheckboxToggled);
    connect(ui->autoExpandSharesCheckBox, &QCheckBox::toggled, this,
            &MainWindow::OnExpandNewSharesCheckboxToggled);
    connect(ui->chatTimestampsBox, &QComboBox::currentIndexChanged, this,
            &MainWindow::OnChatTimestampsBoxIndexChanged);
    connect(ui->selectColorsButton, &QPushButton::clicked, this, &MainWindow::OnSelectColors);
}

void MainWindow::ConnectLogCheckBoxes()
{
    // Clicks only: setting them from the store at start-up writes nothing.
    connect(ui->logRoomChatCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnLogRoomChatCheckBoxClicked);
    connect(ui->logPrivateChatCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnLogPrivateChatCheckBoxClicked);
}

void MainWindow::RegisterSharedFolderHandlers()
{
    Type* folders = d.GetType(SharesTypes::SharedFolder);
    folders->itemAddedEvent.Add(NewEventHandler(this, &MainWindow::OnSharedFolderAdded));
    folders->itemRemovedEvent.Add(NewEventHandler(this, &MainWindow::OnSharedFolderRemoved));
    folders->connectedEvent.Add(NewEventHandler(this, &MainWindow::OnSharedFolderChange));
    folders->disconnectedEvent.Add(NewEventHandler(this, &MainWindow::OnSharedFolderChange));
}

void MainWindow::WatchUsername()
{
    Settings::Watch(SettingKeys::Username, this, &MainWindow::OnUsernameChanged);
}

void MainWindow::WatchNewListeningPort()
{
    Settings::Watch(SettingKeys::NewListeningPort, this, &MainWindow::OnNewListeningPortChanged);
}

void MainWindow::OnUPnPCheckboxToggled(bool checked)
{
    Settings::SetYes(SettingKeys::UseUpnp, checked);
    // Unchecking leaves the mappings already made; they lapse with the router's lease.
    if (!checked)
        return;
    if (PortForwarder* forwarder = ReachPortForwarder())
        forwarder->Init();
}

void MainWindow::OnMinimizeToTrayCheckboxToggled(bool checked)
{
    Settings::SetYes(SettingKeys::MinimizeToTray, checked);
    // Without a tray the icon has nothing to show on (and no image to show).
    if (QSystemTrayIcon::isSystemTrayAvailable())
        trayIcon.setVisible(checked);
}

void MainWindow::OnExpandNewSharesCheckboxToggled(bool checked)
{
    Settings::SetYes(SettingKeys::ExpandNewShares, checked);
}

void MainWindow::OnLogRoomChatCheckBoxClicked(bool checked)
{
    Settings::SetYes(SettingKeys::LogRoomChat, checked);
}

void MainWindow::OnLogPrivateChatCheckBoxClicked(bool checked)
{
    Settings::SetYes(SettingKeys::LogPrivateChat, checked);
}

void MainWindow::OnChatTimestampsBoxIndexChanged(int index)
{
    Settings::Set(SettingKeys::ChatTimestamps, OptionsPage::ChatTimestampsWord(index));
}

void MainWindow::OnOptionsTabSelectionChanged(int index)
{
    if (index >= 0 && ui->optionsTabControl->tabText(index) == QLatin1String("File Sharing"))
        ui->sharedFoldersList->setFocus(Qt::OtherFocusReason);
}

void MainWindow::OnSharedFolderAdded(Item* folder)
{
    auto* row = new QTreeWidgetItem(ui->sharedFoldersList);
    row->setText(0, Shown(folder));
}

void MainWindow::OnSharedFolderRemoved(Item* folder)
{
    delete FolderRow(ui->sharedFoldersList, folder);
}

void MainWindow::OnSharedFolderChange(ConnectionInfo info)
{
    const std::string& other = info.second->GetType()->GetName();
    if (other != SharesTypes::SharedPublic && other != SharesTypes::SharedUserlist &&
        other != ServerTypes::UserListGroup)
        return;
    if (QTreeWidgetItem* row = FolderRow(ui->sharedFoldersList, info.first))
        row->setText(1, OptionsPage::SharedFolderAccess(info.first));
}

void MainWindow::OnUsernameChanged(Item*)
{
    ui->usernameEdit->setText(Shown(SettingKeys::Username));
}

void MainWindow::OnNewListeningPortChanged(Item*)
{
    ui->listeningPortEdit->setText(Shown(SettingKeys::NewListeningPort));
}

void MainWindow::OnSharedFilesRescanned(int added, int removed)
{
    auto* dialog = new SharedFilesRescannedDialog(this);
    dialog->Append(QStringLiteral("%1 files added.").arg(added));
    dialog->Append(QStringLiteral("%1 files removed.").arg(removed));
    dialog->setWindowTitle(QStringLiteral("Shared Files Rescanned"));
    dialog->show();
}

void MainWindow::OnSelectColors()
{
    (new ColorSelectionDialog(this))->show();
}

void MainWindow::OnShowData()
{
    // The dialog deletes itself when closed; the guarded pointer then reads null, and the next
    // call makes a new one.
    if (!dataDialog)
        dataDialog = new DataDialog(&d, this);
    dataDialog->show();
}

void MainWindow::OnTypeNavigator()
{
    if (!typeNavigatorDialog) {
        typeNavigatorDialog = new TypeNavigatorDialog(this);
        typeNavigatorDialog->Init();
    }
    typeNavigatorDialog->show();
}

void MainWindow::OnChangeUsernamePasswordClicked()
{
    auto* dialog = new ChangeUsernamePasswordDialog(false, this);
    // One per click: closed ones must not pile up under the window until shutdown.
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

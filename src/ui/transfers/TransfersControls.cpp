#include "ui/transfers/TransfersForm.h"

#include "server/ServerSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/EventToolBar.h"
#include "shell/ModalDialogs.h"
#include "shell/ShellServices.h"
#include "shell/SizeManager.h"
#include "store/GeneralFunctions.h"
#include "store/NextTurn.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransfersSchema.h"
#include "ui/transfers/CompleteDownloadsForm.h"
#include "ui/transfers/DownloadMenuOptions.h"
#include "ui/transfers/TransferRowTypes.h"
#include "ui/users/UserMenuOptions.h"

#include "ui_TransfersForm.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QUrl>

#include <functional>
#include <utility>

// What the page does besides drawing rows: the settings under the uploads tree, the tool bar's
// actions, the Delete key, double clicks and menus in the trees, the half-minute clean-up of
// uploads, and the alerts when downloads complete.

using namespace TransferRowTypes;
using TransfersTypes::DownloadEntry;
using TransfersTypes::DownloadEntryStatus;

namespace {

const char kDownloadIcon[] = ":/icons/download_icon";

// Acts on each member of the set that is still in the store when its turn comes: acting on one
// may take others with it.
void ForEachLive(const ItemSet& items, const std::function<void(ItemPtr)>& act)
{
    std::vector<std::pair<uint32_t, Item*>> listed;
    listed.reserve(items.size());
    for (Item* item : items)
        listed.emplace_back(item->Id(), item);
    for (const auto& [id, item] : listed) {
        if (d.ItemById(id) == item)
            act(item);
    }
}

QString Toggled(const char* text, bool on)
{
    return QString::fromLatin1(text) + (on ? QStringLiteral(" [on]") : QStringLiteral(" [off]"));
}

// "yes" while ticked; unticked, the setting has no value at all.
void StoreTick(SettingKey key, int state)
{
    if (state == Qt::Checked)
        Settings::Set(key, "yes");
    else if (state == Qt::Unchecked)
        Settings::Remove(key);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The controls

void TransfersForm::DataLoaded()
{
    ui->uploadLimitSpinBox->setValue(Settings::Int(SettingKeys::UploadSpeedLimit));
    ui->uploadSlotsSpinBox->setValue(Settings::Int(SettingKeys::UploadSlots));
    if (Settings::IsYes(SettingKeys::UploadSpeedLimitEnabled))
        ui->uploadLimitCheckBox->setChecked(true);
    if (Settings::IsYes(SettingKeys::ClearCompleteDownloads))
        ui->clearDownloadsCheckBox->setChecked(true);
    if (Settings::IsYes(SettingKeys::ClearCompleteAbortedUploads))
        ui->clearUploadsCheckBox->setChecked(true);
    // Only now: showing the stored values writes nothing back.
    ConnectControls();
    m_dataLoaded = true;
    if (SizeManager* sizer = ReachSizeManager()) {
        sizer->RegisterTreeWidget(QStringLiteral("download_list"), ui->downloadsList);
        sizer->RegisterTreeWidget(QStringLiteral("upload_list"), ui->uploadsList);
    }
}

void TransfersForm::ConnectControls()
{
    connect(ui->uploadLimitSpinBox, &QSpinBox::valueChanged, this,
            &TransfersForm::OnUploadSpeedLimitSpinValueChanged, Qt::UniqueConnection);
    connect(ui->uploadLimitCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnUploadSpeedLimitCheckStateChanged, Qt::UniqueConnection);
    connect(ui->clearDownloadsCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnClearDownloadsCheckStateChanged, Qt::UniqueConnection);
    connect(ui->clearUploadsCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnClearUploadsCheckStateChanged, Qt::UniqueConnection);
    connect(ui->uploadSlotsSpinBox, &QSpinBox::valueChanged, this,
            &TransfersForm::OnUploadSlotsSpinValueChanged, Qt::UniqueConnection);
}

void TransfersForm::OnUploadSlotsSpinValueChanged(int value)
{
    if (TransferQueueManager* transfers = ReachTransfers())
        transfers->SetUploadSlots(value);
}

void TransfersForm::OnUploadSpeedLimitSpinValueChanged(int value)
{
    TransferQueueManager* transfers = ReachTransfers();
    if (!transfers)
        return;
    // The box's new state switches the limit (its slot runs at once), before the value is kept.
    ui->uploadLimitCheckBox->setChecked(value != 0);
    transfers->SetUploadSpeedLimit(value);
}

void TransfersForm::OnUploadSpeedLimitCheckStateChanged(int state)
{
    TransferQueueManager* transfers = ReachTransfers();
    if (!transfers || state == Qt::PartiallyChecked)
        return;
    transfers->EnableUploadSpeedLimit(state == Qt::Checked);
}

void TransfersForm::OnClearDownloadsCheckStateChanged(int state)
{
    StoreTick(SettingKeys::ClearCompleteDownloads, state);
}

void TransfersForm::OnClearUploadsCheckStateChanged(int state)
{
    StoreTick(SettingKeys::ClearCompleteAbortedUploads, state);
}

// ---------------------------------------------------------------------------------------------
// The tool bar, the keys and the mouse

void TransfersForm::OnActionBarTriggered(QWidget*, std::string key)
{
    using namespace TransferActions;
    if (key == ExpandDownloadFolders)
        ToggleExpansion(m_downloads, false);
    else if (key == ExpandDownloadUsers)
        ToggleExpansion(m_downloads, true);
    else if (key == ExpandUploadFolders)
        ToggleExpansion(m_uploads, false);
    else if (key == ExpandUploadUsers)
        ToggleExpansion(m_uploads, true);
    else if (key == ClearCompleteDownloads)
        RemoveCompleteDownloads();
    else if (key == ClearCompleteAndAbortedUploads)
        RemoveEndedUploads();
    else if (key == RemoveDownload)
        DeleteSelectedDownloads();
    else if (key == DlAddUser)
        AddSelectedUsersToUserList();
    else if (key == CompleteDownloads)
        ShowCompleteDownloads();
}

void TransfersForm::ShowCompleteDownloads()
{
    if (!completeDownloadsForm) {
        auto* form = new CompleteDownloadsForm(this);
        ui->transfersTabControl->addTab(form, QStringLiteral("Complete"));
        form->Init();
        // The store file's one notice went out before the list was asked for.
        if (m_dataLoaded)
            form->DataLoaded();
    }
    ui->transfersTabControl->setCurrentWidget(completeDownloadsForm);
}

void TransfersForm::ToggleExpansion(const Side& side, bool users)
{
    using namespace TransferActions;
    // Rows waiting for the turn's end are expanded as the setting was when they were made.
    JoinWaitingRows();
    bool& expand = users ? *side.expandUsers : *side.expandFolders;
    expand = !expand;
    const char* key = side.uploads ? (users ? ExpandUploadUsers : ExpandUploadFolders)
                                   : (users ? ExpandDownloadUsers : ExpandDownloadFolders);
    if (ActionSetToolBar* bar = ReachActionBar())
        bar->SetWidgetActionText(side.tree, QString::fromLatin1(key),
                                 Toggled(users ? "Expand Users" : "Expand Folders", expand));
    for (int i = 0; i < side.tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* userRow = side.tree->topLevelItem(i);
        if (users)
            userRow->setExpanded(expand);
        for (int j = 0; !users && j < userRow->childCount(); ++j)
            userRow->child(j)->setExpanded(expand);
    }
}

void TransfersForm::RemoveCompleteDownloads()
{
    TransferQueueManager* transfers = ReachTransfers();
    ItemPtr complete = d.GetType(DownloadEntryStatus)->HasItem(Value(TransferStatus::Complete));
    if (!transfers || !complete)
        return;
    // Those complete now; one completing while they are removed stays.
    for (Item* entry : complete.GetItems(DownloadEntry))
        m_clearing.emplace_back(entry->Id(), entry);
    m_clearingJob->RunNow();
}

bool TransfersForm::ClearSome()
{
    TransferQueueManager* transfers = ReachTransfers();
    {
        const BulkRemoval rows(this);
        for (size_t removed = 0; removed < kDownloadsClearedAStep && !m_clearing.empty();
             ++removed) {
            const auto [id, entry] = m_clearing.front();
            m_clearing.pop_front();
            // Removing one may take others with it.
            if (transfers && d.ItemById(id) == entry)
                transfers->RemoveDownload(entry);
        }
    }
    return !m_clearing.empty();
}

void TransfersForm::FinishClearing()
{
    m_clearingJob->Finish();
}

void TransfersForm::RemoveEndedUploads()
{
    TransferQueueManager* transfers = ReachTransfers();
    if (!transfers)
        return;
    // Every ending: complete, aborted, denied, local error.
    ItemSet ended;
    for (Item* status : d.GetType(TransfersTypes::UploadEntryStatus)->GetItems()) {
        if (!status->IsConnected(TransfersTypes::IsActive) &&
            status->AsString() != TransferStatus::Queued)
            ended.Add(ItemPtr(status).GetItems(TransfersTypes::UploadEntry));
    }
    ForEachLive(ended, [transfers](ItemPtr entry) { transfers->RemoveUpload(entry); });
}

void TransfersForm::AddSelectedUsersToUserList()
{
    for (QTreeWidgetItem* row : ui->downloadsList->selectedItems()) {
        ItemPtr user =
            NodeOf(DownloadListUserNode, GetDownloadNodeUserNode(row))[ServerTypes::User];
        // Already listed, the user keeps the item that holds their groups.
        if (user && !user.IsConnected(ServerTypes::InUserList))
            user += d.GetType(ServerTypes::InUserList)->NewItem();
    }
}

void TransfersForm::OnKeyPressedInDownloadList(QKeyEvent* event)
{
    if (event && event->key() == Qt::Key_Delete)
        DeleteSelectedDownloads();
}

void TransfersForm::DeleteSelectedDownloads()
{
    TransferQueueManager* transfers = ReachTransfers();
    if (!transfers)
        return;
    for (QTreeWidgetItem* row : ui->downloadsList->selectedItems()) {
        if (!GetDownloadNodeUserNode(row))
            continue;
        // Taken once: a row that stands for no entry must not keep a loop waiting for its
        // folder to go.
        ForEachLive(GetNodeDownloadEntryItems(row),
                    [transfers](ItemPtr entry) { transfers->RemoveDownload(entry); });
        return;
    }
}

void TransfersForm::OnDownloadListItemDoubleClicked(QTreeWidgetItem* row, int)
{
    // Only a finished file is where its finished path says: before that the name is nobody's,
    // or another download's.
    ItemPtr entry = NodeOf(DownloadListNode, row)[DownloadEntry];
    TransferQueueManager* transfers = entry ? ReachTransfers() : nullptr;
    if (!transfers || entry[DownloadEntryStatus].AsString() != TransferStatus::Complete)
        return;
    // Without a download folder there is no such path.
    const QString path = transfers->GetDownloadTargetPath(entry, true);
    if (!path.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(TransferQueueManager::ToLocalPath(path)));
}

void TransfersForm::OnDownloadsContextMenuRequested(const QPoint& position)
{
    RunMenu(m_downloads, position);
}

void TransfersForm::OnUploadsContextMenuRequested(const QPoint& position)
{
    RunMenu(m_uploads, position);
}

void TransfersForm::RunMenu(const Side& side, const QPoint& position)
{
    QTreeWidgetItem* row = side.tree->itemAt(position);
    QTreeWidgetItem* userRow = UserNodeOf(side, row);
    if (!userRow)
        return;
    const std::string user = NodeOf(side.userNode, userRow)[ServerTypes::User].AsString();
    // Made without a parent and gone when the menu closes, the download entries first.
    QMenu menu;
    std::unique_ptr<DownloadMenuOptions> downloads;
    if (!side.uploads)
        downloads = std::make_unique<DownloadMenuOptions>(&menu, EntriesUnder(side, row));
    UserMenuOptions users(&menu, user);
    ModalDialogs::Current().RunMenu(&menu, side.tree->viewport()->mapToGlobal(position));
}

// ---------------------------------------------------------------------------------------------
// Housekeeping and alerts

void TransfersForm::EveryHalfMinute()
{
    if (!Settings::IsYes(SettingKeys::ClearCompleteAbortedUploads))
        return;
    TransferQueueManager* transfers = ReachTransfers();
    if (!transfers)
        return;
    ItemPtr queued =
        d.GetType(TransfersTypes::UploadEntryStatus)->HasItem(Value(TransferStatus::Queued));
    ForEachLive(d.GetType(TransfersTypes::UploadEntry)->GetItems(), [&](ItemPtr entry) {
        if (queued && entry.IsConnected(queued))
            return;
        // Measured by the engine on its own clock, not from the stored local time.
        if (transfers->UploadActivityAgeMs(entry) > kUploadIdleLimitMs)
            transfers->RemoveUpload(entry);
    });
}

void TransfersForm::OnDownloadComplete(ItemPtr entry)
{
    // The alerts clear icons of the rows above the entry's.
    JoinWaitingRows();
    // Queued: the entry may have been removed since, and its address be free or another's.
    const auto pending = m_pendingCompletions.find(entry.Get());
    if (pending == m_pendingCompletions.end())
        return;
    if (--pending->second <= 0)
        m_pendingCompletions.erase(pending);
    RaiseAlerts(entry);
    if (!Settings::IsYes(SettingKeys::ClearCompleteDownloads))
        return;
    if (TransferQueueManager* transfers = ReachTransfers())
        transfers->RemoveDownload(entry);
}

void TransfersForm::RaiseAlerts(ItemPtr entry)
{
    ItemPtr user = entry[ServerTypes::User];
    ItemPtr folder = entry[TransfersTypes::RemoteFolder];
    ItemPtr complete = d.GetType(DownloadEntryStatus)->HasItem(Value(TransferStatus::Complete));
    QTreeWidgetItem* row = FileRow(m_downloads, entry);

    if (ItemPtr alert = entry[CompleteDownloadAlert]) {
        const QString name = Shown(entry[TransfersTypes::FileName]);
        RaiseEvent(name, QStringLiteral("Download of file %1 complete").arg(name));
        if (row)
            row->setIcon(kFileColumn, QIcon());
        alert.Remove();
    }

    // Waiting while any of the group is unfinished, whatever the reason.
    if (d.GetItems(user, folder, DownloadEntry).NotConnected(complete).empty()) {
        ItemSet alerts = d.GetItems(user, folder, CompleteDownloadAlert);
        if (!alerts.empty()) {
            const QString name = Shown(folder->GetType(), GetFileName(folder.AsString()));
            RaiseEvent(name, QStringLiteral("Download of folder %1 complete").arg(name));
            if (row && row->parent())
                row->parent()->setIcon(kFolderColumn, QIcon());
            alerts.Remove();
        }
    }

    if (user.GetItems(DownloadEntry).NotConnected(complete).empty()) {
        ItemSet alerts =
            user.GetItems(CompleteDownloadAlert).NotConnected(TransfersTypes::RemoteFolder);
        if (!alerts.empty()) {
            const QString name = Shown(user);
            RaiseEvent(name, QStringLiteral("All download from user %1 complete").arg(name));
            if (QTreeWidgetItem* userRow = RowOf(user[DownloadListUserNode]))
                userRow->setIcon(kUserColumn, QIcon());
            alerts.Remove();
        }
    }
}

void TransfersForm::RaiseEvent(const QString& label, const QString& message)
{
    // The bar doubles the "&" of the label itself.
    if (EventToolBar* events = ReachEventToolBar())
        events->AddEvent(label, QString::fromLatin1(kDownloadIcon), ui->downloadsList, message);
}

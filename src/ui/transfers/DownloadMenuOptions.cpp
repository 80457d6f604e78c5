#include "ui/transfers/DownloadMenuOptions.h"

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shell/DisplayText.h"
#include "shell/ShellServices.h"
#include "shell/Ties.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransfersSchema.h"
#include "ui/transfers/TransferRowTypes.h"
#include "ui/transfers/TransfersForm.h"

#include <QDesktopServices>
#include <QMenu>
#include <QUrl>

#include <vector>

using namespace TransferRowTypes;
using TransfersTypes::DownloadEntry;
using TransfersTypes::DownloadEntryStatus;
using TransfersTypes::RemoteFolder;

namespace {

const char kAlertIcon[] = ":/icons/alert_icon";

// Whether the entry is finished.
bool IsComplete(ItemPtr entry)
{
    return entry[DownloadEntryStatus].AsString() == TransferStatus::Complete;
}

// Whether any of the entries is unfinished.
bool AnyUnfinished(const ItemSet& entries)
{
    for (Item* entry : entries) {
        if (!IsComplete(entry))
            return true;
    }
    return false;
}

void SetRowIcon(ItemPtr node, int column)
{
    if (QTreeWidgetItem* row = TiedRow::FromItem(node))
        row->setIcon(column, QIcon(QString::fromLatin1(kAlertIcon)));
}

} // namespace

DownloadMenuOptions::DownloadMenuOptions(QMenu* menu, const ItemSet& entries, QObject* parent)
    : QObject(parent)
{
    if (entries.empty())
        return;
    items = entries;
    d.GetType(DownloadEntry)
        ->itemRemovedEvent.Add(NewEventHandler(this, &DownloadMenuOptions::OnDownloadEntryRemoved));
    if (!menu->actions().isEmpty())
        menu->addSeparator();
    ItemPtr first = items.First();

    if (items.size() == 1 && IsComplete(first))
        connect(menu->addAction(QStringLiteral("Open File")), &QAction::triggered, this,
                &DownloadMenuOptions::OnOpenFile);
    // Finished or not: the folder the file goes to.
    connect(menu->addAction(QStringLiteral("Open Folder")), &QAction::triggered, this,
            &DownloadMenuOptions::OnOpenFolder);
    menu->addSeparator();
    connect(menu->addAction(QIcon(QStringLiteral(":/icons/transfer_icon")),
                            items.size() == 1 ? QStringLiteral("Remove download")
                                              : QStringLiteral("Remove downloads")),
            &QAction::triggered, this, &DownloadMenuOptions::OnRemoveDownloads);

    LookUpUserAndFolder();
    auto* notify = new QMenu(QStringLiteral("Notify me when..."), menu);
    notify->setIcon(QIcon(QString::fromLatin1(kAlertIcon)));
    menu->addMenu(notify);
    if (items.size() == 1 && !first.IsConnected(CompleteDownloadAlert) && !IsComplete(first))
        connect(notify->addAction(QStringLiteral("File download completes")), &QAction::triggered,
                this, &DownloadMenuOptions::OnSetFileDownloadAlert);
    if (entryFolder) {
        const bool alerted =
            !entryFolder.GetItems(CompleteDownloadAlert).Connected(entryUser).empty();
        if (!alerted && AnyUnfinished(d.GetItems(entryFolder, entryUser, DownloadEntry)))
            connect(notify->addAction(QStringLiteral("Folder download completes")),
                    &QAction::triggered, this, &DownloadMenuOptions::OnSetFolderDownloadAlert);
    }
    if (entryUser) {
        const size_t folders =
            entryUser[DownloadListUserNode].GetItems(DownloadListFolderNode).size();
        const bool alerted =
            !entryUser.GetItems(CompleteDownloadAlert).NotConnected(RemoteFolder).empty();
        if (folders > 1 && !alerted && AnyUnfinished(entryUser.GetItems(DownloadEntry)))
            connect(notify->addAction(QStringLiteral("All downloads from user complete")),
                    &QAction::triggered, this, &DownloadMenuOptions::OnSetUserDownloadAlert);
    }
    if (notify->actions().isEmpty())
        delete notify;

    // The search that found the first entry; a search of another one is not offered.
    Type* texts = d.GetType(ServerTypes::SearchRequestText);
    if (d.GetType(DownloadEntry)->IsRelated(texts) && first.IsConnected(texts)) {
        const ItemPtr search = first[ServerTypes::SearchRequestText];
        m_searchBytes = search.AsString();
        searchText = Shown(search);
        connect(menu->addAction(QIcon(QStringLiteral(":/icons/search_icon")),
                                QStringLiteral("Re-run Search: ") +
                                    EscapeMnemonics(CellText(searchText))),
                &QAction::triggered, this, &DownloadMenuOptions::OnRerunSearch);
    }
}

DownloadMenuOptions::~DownloadMenuOptions() = default;

void DownloadMenuOptions::OnDownloadEntryRemoved(Item* entry)
{
    items.Erase(entry);
}

ItemPtr DownloadMenuOptions::Shared(const char* type) const
{
    const ItemSet partners = items.GetItems(type);
    return partners.size() == 1 ? ItemPtr(partners.First()) : ItemPtr();
}

void DownloadMenuOptions::LookUpUserAndFolder()
{
    entryUser = Shared(ServerTypes::User);
    entryFolder = Shared(RemoteFolder);
}

void DownloadMenuOptions::Open(bool folder)
{
    ItemPtr first = items.First();
    TransferQueueManager* transfers = first ? ReachTransfers() : nullptr;
    if (!transfers)
        return;
    // Where the finished file is put, below the download folder's complete folder; there is no
    // such place without a download folder.
    const QString path = folder ? transfers->GetDownloadTargetFolder(first, true)
                                : transfers->GetDownloadTargetPath(first, true);
    if (!path.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(TransferQueueManager::ToLocalPath(path)));
}

void DownloadMenuOptions::OnOpenFile()
{
    Open(false);
}

void DownloadMenuOptions::OnOpenFolder()
{
    Open(true);
}

void DownloadMenuOptions::OnRemoveDownloads()
{
    TransferQueueManager* transfers = ReachTransfers();
    if (!transfers)
        return;
    // Each removal takes its entry out of items.
    std::vector<Item*> listed(items.begin(), items.end());
    for (Item* entry : listed) {
        if (items.Contains(entry))
            transfers->RemoveDownload(entry);
    }
}

void DownloadMenuOptions::OnSetFileDownloadAlert()
{
    ItemPtr first = items.First();
    if (!first)
        return;
    SetRowIcon(first[DownloadListNode], TransfersForm::kFileColumn);
    first += d.GetType(CompleteDownloadAlert)->NewItem();
}

void DownloadMenuOptions::OnSetFolderDownloadAlert()
{
    LookUpUserAndFolder();
    if (!entryUser || !entryFolder)
        return;
    SetRowIcon(d.GetItem(entryUser[DownloadListUserNode], entryFolder, DownloadListFolderNode),
               TransfersForm::kFolderColumn);
    ItemPtr alert = d.GetType(CompleteDownloadAlert)->NewItem();
    alert += entryUser;
    alert += entryFolder;
}

void DownloadMenuOptions::OnSetUserDownloadAlert()
{
    LookUpUserAndFolder();
    if (!entryUser)
        return;
    SetRowIcon(entryUser[DownloadListUserNode], TransfersForm::kUserColumn);
    d.GetType(CompleteDownloadAlert)->NewItem() += entryUser;
}

void DownloadMenuOptions::OnRerunSearch()
{
    if (Server* server = ReachServer())
        server->FileSearch(m_searchBytes, false);
}

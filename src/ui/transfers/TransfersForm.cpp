#include "ui/transfers/TransfersForm.h"

#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "shares/SharesSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/FormHooks.h"
#include "shell/ShellServices.h"
#include "shell/Ties.h"
#include "shell/UIFunctions.h"
#include "store/DataSaver.h"
#include "store/GeneralFunctions.h"
#include "store/NextTurn.h"
#include "store/Schema.h"
#include "store/TimerManager.h"
#include "store/TurnBudget.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransfersSchema.h"
#include "ui/transfers/ProgressDelegate.h"
#include "ui/transfers/TransferRow.h"
#include "ui/transfers/TransferRowTypes.h"

#include "ui_TransfersForm.h"

#include <QHeaderView>

#include <algorithm>
#include <iterator>
#include <unordered_map>
#include <vector>

// The two trees and their rows: made as entries appear and dropped as they go.

TransfersForm* transfersForm = nullptr;

namespace {

using namespace TransferRowTypes;
using TransfersTypes::DownloadEntry;
using TransfersTypes::UploadEntry;

// Children of a row that go at once are deleted one by one when they are at most this many and
// at most a sixteenth of their siblings: each deletion walks the siblings, and the tree fixes up
// the place of every expanded row for it. Otherwise all are taken out and those that stay put
// back, which touches every sibling and the rows below it once.
constexpr size_t kMaxRowsDeletedOneByOne = 64;
constexpr size_t kRowsPerRowDeletedOneByOne = 16;

// Deletes those children of parent, the others staying as they were: in their order, expanded
// or not, the current one current.
void TakeOut(QTreeWidgetItem* parent, std::vector<QTreeWidgetItem*> going)
{
    if (going.size() <= kMaxRowsDeletedOneByOne &&
        going.size() * kRowsPerRowDeletedOneByOne <= size_t(parent->childCount())) {
        qDeleteAll(going);
        return;
    }
    std::sort(going.begin(), going.end());
    const auto goes = [&going](QTreeWidgetItem* row) {
        return std::binary_search(going.begin(), going.end(), row);
    };
    // Whether the row goes, or a row above it.
    const auto goesWith = [&goes](QTreeWidgetItem* row) {
        for (; row; row = row->parent()) {
            if (goes(row))
                return true;
        }
        return false;
    };
    QTreeWidget* tree = parent->treeWidget();
    QTreeWidgetItem* current = tree ? tree->currentItem() : nullptr;
    const int currentColumn = tree ? tree->currentColumn() : 0;
    QList<QTreeWidgetItem*> selected = tree ? tree->selectedItems() : QList<QTreeWidgetItem*>();
    selected.removeIf(goesWith);
    if (goesWith(current)) {
        // As when the rows go one by one: the current row's place goes to the next row below
        // it that stays, else the one above, else the row above them all, and only that row is
        // selected.
        QTreeWidgetItem* gone = current;
        while (!goes(gone))
            gone = gone->parent();
        current = nullptr;
        const int at = parent->indexOfChild(gone);
        for (int i = at + 1; !current && i < parent->childCount(); ++i)
            current = goes(parent->child(i)) ? nullptr : parent->child(i);
        for (int i = at - 1; !current && i >= 0; --i)
            current = goes(parent->child(i)) ? nullptr : parent->child(i);
        if (!current && tree && parent != tree->invisibleRootItem())
            current = parent;
        selected = current ? QList<QTreeWidgetItem*>{current} : QList<QTreeWidgetItem*>();
    }
    // Out of the tree, a row and the rows below it forget they were expanded: the tree keeps
    // that.
    std::vector<QTreeWidgetItem*> expanded;
    std::vector<QTreeWidgetItem*> work;
    for (int i = 0; i < parent->childCount(); ++i) {
        if (!goes(parent->child(i)))
            work.push_back(parent->child(i));
    }
    while (!work.empty()) {
        QTreeWidgetItem* row = work.back();
        work.pop_back();
        if (row->childCount() == 0)
            continue;
        if (row->isExpanded())
            expanded.push_back(row);
        for (int i = 0; i < row->childCount(); ++i)
            work.push_back(row->child(i));
    }
    QList<QTreeWidgetItem*> kept;
    for (QTreeWidgetItem* row : parent->takeChildren()) {
        if (!goes(row))
            kept << row;
    }
    parent->addChildren(kept);
    for (QTreeWidgetItem* row : expanded)
        row->setExpanded(true);
    qDeleteAll(going);
    if (!tree)
        return;
    // Out of the tree, the current row gave its place to another, which the tree may have
    // selected.
    tree->clearSelection();
    if (current)
        tree->setCurrentItem(current, currentColumn, QItemSelectionModel::NoUpdate);
    for (QTreeWidgetItem* row : selected)
        row->setSelected(true);
}

// Rows and alerts; none of it outlives the run.
const SchemaType kDownloadRowTypes[] = {
    {DownloadListUserNode, RootPrimacy, false, true, ValueKind::Address},
    {DownloadListFolderNode, RootPrimacy, false, true, ValueKind::Address},
    {DownloadListNode, RootPrimacy, false, true, ValueKind::Address},
};
const SchemaRelation kDownloadRowRelations[] = {
    {DownloadListUserNode, ServerTypes::User, One, One},
    {DownloadListFolderNode, DownloadListUserNode, Many, One},
    {DownloadListFolderNode, TransfersTypes::RemoteFolder, Many, One},
    {DownloadListFolderNode, DownloadListNode, One, Many},
    {DownloadListNode, DownloadEntry, One, One},
};
const SchemaType kUploadRowTypes[] = {
    {UploadListUserNode, RootPrimacy, false, true, ValueKind::Address},
    {UploadListFolderNode, RootPrimacy, false, true, ValueKind::Address},
    {UploadListNode, RootPrimacy, false, true, ValueKind::Address},
};
const SchemaRelation kUploadRowRelations[] = {
    {UploadListUserNode, ServerTypes::User, One, One},
    {UploadListFolderNode, UploadListUserNode, Many, One},
    {UploadListFolderNode, SharesTypes::SharedFileFolder, Many, One},
    {UploadListFolderNode, UploadListNode, One, Many},
    {UploadListNode, UploadEntry, One, One},
};
const SchemaType kAlertTypes[] = {
    {CompleteDownloadAlert, RootPrimacy, true, true, ValueKind::None}};
const SchemaRelation kAlertRelations[] = {
    {CompleteDownloadAlert, DownloadEntry, One, One},
    {CompleteDownloadAlert, ServerTypes::User, Many, One},
    {CompleteDownloadAlert, TransfersTypes::RemoteFolder, Many, One},
};

const char* const kColumnLabels[] = {"User",   "Folder", "File", "Status", "Progress",
                                     "   ETA", "Kbs",    "Size", "Place"};
// Wide enough for the names and figures they show at the first start; the size manager keeps
// what the user makes of them.
const int kColumnWidths[] = {140, 220, 200, 110, 160, 80, 60, 100, 50};
// The uploads tree leaves out the last column, the place in line.
constexpr int kUploadColumns = int(std::size(kColumnLabels)) - 1;
// Both trees take the focus on their pages.
constexpr int kFocusPriority = 1;

constexpr char kNeededBy[] = "The transfers page";

const char kOnlineDot[] = ":/icons/online_dot_icon";
const char kOfflineDot[] = ":/icons/offline_dot_icon";

QStringList Labels(int count)
{
    QStringList labels;
    for (int i = 0; i < count; ++i)
        labels << QString::fromLatin1(kColumnLabels[i]);
    return labels;
}

void SetUpColumns(QTreeWidget* tree, int count)
{
    tree->setHeaderLabels(Labels(count));
    for (int i = 0; i < count; ++i)
        tree->setColumnWidth(i, kColumnWidths[i]);
    tree->header()->setSectionsMovable(false);
}

// A path handler on entries of a type that fires when each of the links is made.
PathNode* EntryWithLinks(const char* entryType, std::initializer_list<const char*> links)
{
    auto* root = new PathNode(&d, entryType);
    for (const char* link : links)
        new PathNode(root, link, PathConnected);
    return root;
}

} // namespace

TransfersForm::TransfersForm(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui_TransfersForm>()),
      m_onlineDot(QString::fromLatin1(kOnlineDot)), m_offlineDot(QString::fromLatin1(kOfflineDot))
{
    transfersForm = this;
    m_joining = std::make_unique<SlicedJob>([this] { return JoinSomeRows(); });
    m_clearingJob = std::make_unique<SlicedJob>([this] { return ClearSome(); });
    ui->setupUi(this);
    SetUpColumns(ui->downloadsList, int(std::size(kColumnLabels)));
    SetUpColumns(ui->uploadsList, kUploadColumns);
    ui->uploadsList->header()->setStretchLastSection(false);
    for (QTreeWidget* tree : {static_cast<QTreeWidget*>(ui->downloadsList), ui->uploadsList})
        tree->setItemDelegateForColumn(kProgressColumn, new ProgressDelegate(tree));

    m_downloads = Side{false,
                       ui->downloadsList,
                       DownloadEntry,
                       TransfersTypes::DownloadEntryStatus,
                       DownloadListUserNode,
                       DownloadListFolderNode,
                       DownloadListNode,
                       TransfersTypes::RemoteFolder,
                       TransferStatus::Downloading,
                       TransfersTypes::WritePosition,
                       &expandDownloadUsers,
                       &expandDownloadFolders};
    m_uploads = Side{true,
                     ui->uploadsList,
                     UploadEntry,
                     TransfersTypes::UploadEntryStatus,
                     UploadListUserNode,
                     UploadListFolderNode,
                     UploadListNode,
                     SharesTypes::SharedFileFolder,
                     TransferStatus::Uploading,
                     TransfersTypes::ReadPosition,
                     &expandUploadUsers,
                     &expandUploadFolders};

    connect(ui->downloadsList, &QTreeWidget::itemDoubleClicked, this,
            &TransfersForm::OnDownloadListItemDoubleClicked);
    connect(ui->downloadsList, &TreeWidget::KeyPressed, this,
            &TransfersForm::OnKeyPressedInDownloadList);
    connect(ui->downloadsList, &QWidget::customContextMenuRequested, this,
            &TransfersForm::OnDownloadsContextMenuRequested);
    connect(ui->uploadsList, &QWidget::customContextMenuRequested, this,
            &TransfersForm::OnUploadsContextMenuRequested);

    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(kRefreshIntervalMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &TransfersForm::RefreshMarkedRows);
}

TransfersForm::~TransfersForm()
{
    FormHooks::Get().recolourTransfers = nullptr;
    // Rows still waiting to join are in no tree that would delete them.
    for (Waiting& waiting : m_waiting) {
        for (size_t k = waiting.at; k < waiting.rows.size(); ++k)
            delete waiting.rows[k];
    }
    // The rows go with the trees; nothing is to be left naming them.
    for (const char* type : {DownloadListUserNode, DownloadListFolderNode, DownloadListNode,
                             UploadListUserNode, UploadListFolderNode, UploadListNode}) {
        if (Type* nodes = d.HasType(type))
            nodes->GetItems().Remove();
    }
    if (transfersForm == this)
        transfersForm = nullptr;
}

void TransfersForm::Init()
{
    // Taken before anything is wired: without one of them the page would stay empty, or deaf to
    // its tool bar, with nobody the wiser. Rows come from the transfer engine's entries, the
    // controls follow the settings from the store file's load on, and every action of the page
    // reaches it through the context tool bar.
    DataSaver& saver = RequireDataSaver(kNeededBy);
    TransferQueueManager& transfers = RequireTransfers(kNeededBy);
    ActionSetToolBar& bar = RequireActionBar(kNeededBy);

    d.AddPathEventHandler(
        EntryWithLinks(DownloadEntry, {ServerTypes::User, TransfersTypes::FileName,
                                       PeerTypes::FileSize, TransfersTypes::RemoteFolder}),
        NewEventHandler(this, &TransfersForm::OnDownloadEntryAdded));
    DeclareSchema(MakeSchema(kDownloadRowTypes, kDownloadRowRelations));
    d.AddConnectionEventHandler(d.GetType(DownloadEntry),
                                d.GetType(TransfersTypes::DownloadEntryStatus),
                                NewEventHandler(this, &TransfersForm::OnDownloadEntryStatusChange));
    d.AddConnectionEventHandler(d.GetType(UploadEntry),
                                d.GetType(TransfersTypes::UploadEntryStatus),
                                NewEventHandler(this, &TransfersForm::OnUploadEntryStatusChange));
    connect(&transfers, &TransferQueueManager::DownloadProgressed, this,
            &TransfersForm::OnDownloadProgress);
    connect(&transfers, &TransferQueueManager::UploadProgressed, this,
            &TransfersForm::OnUploadProgress);

    d.AddPathEventHandler(EntryWithLinks(UploadEntry, {ServerTypes::User, SharesTypes::SharedFile}),
                          NewEventHandler(this, &TransfersForm::OnUploadEntryAdded));
    DeclareSchema(MakeSchema(kUploadRowTypes, kUploadRowRelations));

    transfersLoaded = false;
    connect(&transfers, &TransferQueueManager::TransfersLoaded, this,
            &TransfersForm::OnTransfersLoaded);
    d.GetType(DownloadEntry)
        ->itemRemovedEvent.Add(NewEventHandler(this, &TransfersForm::OnDownloadEntryRemoved));
    d.GetType(UploadEntry)
        ->itemRemovedEvent.Add(NewEventHandler(this, &TransfersForm::OnUploadEntryRemoved));

    {
        using namespace TransferActions;
        const std::string icon = ":/icons/transfer_icon";
        bar.AddSetAction(DownloadsSet, ExpandDownloadFolders, "Expand Folders", icon, false);
        bar.AddSetAction(DownloadsSet, ExpandDownloadUsers, "Expand Users", icon, false);
        bar.AddSetAction(DownloadsSet, ClearCompleteDownloads, "Clear Complete", icon, false);
        bar.AddSetAction(DownloadsSet, CompleteDownloads, "Complete Downloads", icon, false);
        bar.RegisterWidget(ui->downloadsList, QString::fromLatin1(DownloadsSet));
        bar.SetWidgetActionText(ui->downloadsList, QString::fromLatin1(ExpandDownloadFolders),
                                QStringLiteral("Expand Folders [on]"));
        bar.SetWidgetActionText(ui->downloadsList, QString::fromLatin1(ExpandDownloadUsers),
                                QStringLiteral("Expand Users [on]"));
        bar.AddSetAction(UploadsSet, ExpandUploadFolders, "Expand Folders", icon, false);
        bar.AddSetAction(UploadsSet, ExpandUploadUsers, "Expand Users", icon, false);
        bar.AddSetAction(UploadsSet, ClearCompleteAndAbortedUploads, "Clear Complete and Aborted",
                         icon, false);
        bar.RegisterWidget(ui->uploadsList, QString::fromLatin1(UploadsSet));
        bar.SetWidgetActionText(ui->uploadsList, QString::fromLatin1(ExpandUploadFolders),
                                QStringLiteral("Expand Folders [on]"));
        bar.SetWidgetActionText(ui->uploadsList, QString::fromLatin1(ExpandUploadUsers),
                                QStringLiteral("Expand Users [on]"));
        connect(&bar, &ActionSetToolBar::ActionTriggered, this,
                &TransfersForm::OnActionBarTriggered);
    }

    auto* online = new PathNode(&d, ServerTypes::User);
    new PathNode(online, ServerTypes::IsOnline, PathConnectedWatchOnly);
    d.AddPathEventHandler(online, NewEventHandler(this, &TransfersForm::OnUserOnline));
    auto* offline = new PathNode(&d, ServerTypes::User);
    new PathNode(offline, ServerTypes::IsOnline, PathDisconnectedWatchOnly);
    d.AddPathEventHandler(offline, NewEventHandler(this, &TransfersForm::OnUserOffline));
    d.AddPathEventHandler(EntryWithLinks(DownloadEntry, {TransfersTypes::PlaceInLine}),
                          NewEventHandler(this, &TransfersForm::OnDownloadPlaceInLine));

    saver.AddDataLoadedEventHandler(this);
    for (QTreeWidget* tree : {static_cast<QTreeWidget*>(ui->downloadsList), ui->uploadsList}) {
        connect(tree, &QTreeWidget::itemExpanded, this, &TransfersForm::OnItemExpanded);
        connect(tree, &QTreeWidget::itemCollapsed, this, &TransfersForm::OnItemCollapsed);
    }
    ui->downloadsList->setFocus();
    if (TimerManager* timers = ReachTimers())
        connect(timers->everyHalfMinute(), &SharedTimer::timeout, this,
                &TransfersForm::EveryHalfMinute);
    // Alerts are raised once the status change that completed the download is fully handled.
    connect(this, &TransfersForm::DownloadComplete, this, &TransfersForm::OnDownloadComplete,
            Qt::QueuedConnection);
    RegisterWidgetForTabFocus(ui->downloadsList, kFocusPriority);
    RegisterWidgetForTabFocus(ui->uploadsList, kFocusPriority);
    DeclareSchema(MakeSchema(kAlertTypes, kAlertRelations));

    // The colour dialog, below this form, recolours the rows through the hook.
    FormHooks::Get().recolourTransfers = [this] { RecolorEntries(); };
}

// ---------------------------------------------------------------------------------------------
// Rows and their nodes

QTreeWidgetItem* TransfersForm::RowOf(ItemPtr node)
{
    return TiedRow::FromItem(node);
}

QTreeWidgetItem* TransfersForm::FileRow(const Side& side, ItemPtr entry)
{
    return RowOf(entry[side.fileNode]);
}

ItemPtr TransfersForm::NodeOf(const char* type, QTreeWidgetItem* row)
{
    ItemPtr node = Ties::Find(type, row);
    return RowOf(node) == row ? node : ItemPtr();
}

const TransfersForm::Side* TransfersForm::SideOf(QTreeWidgetItem* row) const
{
    if (!row)
        return nullptr;
    if (row->treeWidget() == ui->downloadsList)
        return &m_downloads;
    if (row->treeWidget() == ui->uploadsList)
        return &m_uploads;
    return nullptr;
}

QTreeWidgetItem* TransfersForm::UserNodeOf(const Side& side, QTreeWidgetItem* row) const
{
    if (!row || row->treeWidget() != side.tree)
        return nullptr;
    if (NodeOf(side.userNode, row))
        return row;
    if (NodeOf(side.folderNode, row))
        return row->parent();
    if (NodeOf(side.fileNode, row))
        return row->parent() ? row->parent()->parent() : nullptr;
    return nullptr;
}

QTreeWidgetItem* TransfersForm::GetDownloadNodeUserNode(QTreeWidgetItem* row) const
{
    return UserNodeOf(m_downloads, row);
}

QTreeWidgetItem* TransfersForm::GetUploadNodeUserNode(QTreeWidgetItem* row) const
{
    return UserNodeOf(m_uploads, row);
}

ItemSet TransfersForm::EntriesOfNode(const Side& side, ItemPtr node)
{
    const std::string& type = node->GetType()->GetName();
    if (type == side.userNode)
        return node.GetItems(side.folderNode).GetItems(side.fileNode).GetItems(side.entryType);
    if (type == side.folderNode)
        return node.GetItems(side.fileNode).GetItems(side.entryType);
    return node.GetItems(side.entryType);
}

ItemSet TransfersForm::EntriesUnder(const Side& side, QTreeWidgetItem* row) const
{
    if (!row || row->treeWidget() != side.tree)
        return ItemSet();
    for (const char* type : {side.userNode, side.folderNode, side.fileNode}) {
        if (ItemPtr node = NodeOf(type, row))
            return EntriesOfNode(side, node);
    }
    return ItemSet();
}

ItemSet TransfersForm::GetNodeDownloadEntryItems(QTreeWidgetItem* row) const
{
    return EntriesUnder(m_downloads, row);
}

ItemSet TransfersForm::GetNodeUploadEntryItems(QTreeWidgetItem* row) const
{
    return EntriesUnder(m_uploads, row);
}

// Rows are filled before they join their tree: there each change is told to the view.

QTreeWidgetItem* TransfersForm::UserRow(const Side& side, ItemPtr user)
{
    if (QTreeWidgetItem* row = RowOf(user[side.userNode]))
        return row;
    user[side.userNode].Remove();
    auto* row = new TransferRow();
    user += Ties::Make(side.userNode, row);
    row->setText(kUserColumn, CellText(Shown(user)));
    if (!side.uploads)
        row->setIcon(kUserColumn,
                     user.IsConnected(ServerTypes::IsOnline) ? m_onlineDot : m_offlineDot);
    Join(side, side.tree->invisibleRootItem(), row, *side.expandUsers);
    return row;
}

bool TransfersForm::IsFolderNodeOf(const Side& side, ItemPtr node, ItemPtr user, ItemPtr folder)
{
    return node[side.folderType] == folder && node[side.userNode][ServerTypes::User] == user;
}

QTreeWidgetItem* TransfersForm::FolderRow(const Side& side, ItemPtr user, ItemPtr folder,
                                          ItemPtr& node)
{
    // A folder's entries mostly come one after another: the last one's folder row first, if its
    // node is still there.
    LastFolder& last = m_lastFolder[side.uploads];
    if (last.user == user.Get() && last.folder == folder.Get() &&
        d.ItemById(last.nodeId) == last.node && IsFolderNodeOf(side, last.node, user, folder)) {
        if (QTreeWidgetItem* row = RowOf(last.node)) {
            node = last.node;
            return row;
        }
    }
    QTreeWidgetItem* userRow = UserRow(side, user);
    ItemPtr userNode = user[side.userNode];
    node = d.GetItem(userNode, folder, side.folderNode);
    QTreeWidgetItem* row = RowOf(node);
    if (!row) {
        ForgetTotals(side, node);
        node.Remove();
        row = new TransferRow();
        node = Ties::Make(side.folderNode, row);
        node += userNode;
        node += folder;
        row->setText(kFolderColumn,
                     CellText(Shown(folder->GetType(), ReversePathname(folder.AsString()))));
        Join(side, userRow, row, *side.expandFolders);
    }
    last = LastFolder{user.Get(), folder.Get(), node.Get(), node->Id()};
    return row;
}

void TransfersForm::FillFileRow(const Side& side, QTreeWidgetItem* row, ItemPtr entry)
{
    if (side.uploads) {
        ItemPtr shared = entry[SharesTypes::SharedFile];
        // The last part of the shared file's path, read as the path is.
        const ItemPtr path = shared[SharesTypes::SharedFileName];
        row->setText(kFileColumn,
                     path ? CellText(Shown(path->GetType(), GetFileName(path.AsString())))
                          : QString());
        row->setText(kSizeColumn, CommafyNumber(shared[SharesTypes::SharedFileSize].AsInt64()));
    } else {
        row->setText(kSizeColumn, CommafyNumber(entry[PeerTypes::FileSize].AsInt64()));
        row->setText(kFileColumn, CellText(Shown(entry[TransfersTypes::FileName])));
    }
}

QTreeWidgetItem* TransfersForm::AddRow(const Side& side, ItemPtr entry)
{
    ItemPtr user = entry[ServerTypes::User];
    ItemPtr folder =
        side.uploads ? entry[SharesTypes::SharedFile][side.folderType] : entry[side.folderType];
    if (!user || !folder)
        return nullptr;
    // The handler fires again whenever one of the links it waits for is made anew: the row the
    // entry has stays, unless it now stands under another user or folder.
    if (QTreeWidgetItem* row = FileRow(side, entry)) {
        JoinWaitingRows();
        QTreeWidgetItem* folderRow = row->parent();
        ItemPtr folderNode = NodeOf(side.folderNode, folderRow);
        if (IsFolderNodeOf(side, folderNode, user, folder)) {
            FillFileRow(side, row, entry);
            ForgetTotals(side, folderNode);
            return row;
        }
        RemoveRow(side, entry);
    }

    ItemPtr folderNode;
    QTreeWidgetItem* folderRow = FolderRow(side, user, folder, folderNode);
    auto* row = new TransferRow();
    FillFileRow(side, row, entry);
    ItemPtr node = Ties::Make(side.fileNode, row);
    folderNode += node;
    node += entry;
    // A download shows the status it has at once; an upload shows one from its next change.
    const std::string status = side.uploads ? std::string() : entry[side.statusType].AsString();
    if (!status.empty())
        FillStatus(side, row, entry, status);
    Join(side, folderRow, row, false);
    ForgetTotals(side, folderNode);
    if (!status.empty())
        StatusShown(side, entry, row, status);
    return row;
}

void TransfersForm::Join(const Side& side, QTreeWidgetItem* parent, QTreeWidgetItem* row,
                         bool expand)
{
    Waiting& waiting = m_waiting[side.uploads];
    // Under a row that waits itself (or is under one), a row costs the view nothing: it joins
    // the tree with that row.
    if (!parent->treeWidget()) {
        parent->addChild(row);
        if (expand)
            waiting.expand.push_back(row);
        return;
    }
    // The turn's first rows are in the tree at once, while its budget lasts (store/TurnBudget.h).
    // Each row put in a tree on its own is news to the view, and so is every cell set on a row in
    // the tree: the later ones wait, and join their rows above together ("Download Folder" makes
    // a quarter of a million rows, statuses and colours). Behind rows waiting, a row waits too:
    // siblings keep the order made.
    if (!m_atOnce) {
        m_atOnce.emplace();
        OnceNextTurn(this, m_turnEndDue, [this] { m_atOnce.reset(); });
    }
    if (waiting.at == waiting.rows.size() && m_atOnce->MayContinue()) {
        parent->addChild(row);
        if (expand)
            row->setExpanded(true);
        return;
    }
    waiting.rows.push_back(row);
    waiting.parents.emplace(row, parent);
    if (expand)
        waiting.expand.push_back(row);
    m_joining->Start();
}

bool TransfersForm::JoinSomeRows()
{
    for (const Side* side : {&m_downloads, &m_uploads}) {
        Waiting& waiting = m_waiting[side->uploads];
        if (waiting.at == waiting.rows.size())
            continue;
        // Each row's new children together, in the order they were made. Counted in before the
        // view hears of them, so that a handler of the view finds them in.
        const size_t first = waiting.at;
        waiting.at = std::min(waiting.rows.size(), first + kRowsJoinedAStep);
        std::vector<QTreeWidgetItem*> parents;
        std::unordered_map<QTreeWidgetItem*, QList<QTreeWidgetItem*>> children;
        for (size_t k = first; k < waiting.at; ++k) {
            QTreeWidgetItem* row = waiting.rows[k];
            auto [at, added] = children.try_emplace(waiting.parents[row]);
            if (added)
                parents.push_back(at->first);
            at->second << row;
        }
        for (QTreeWidgetItem* parent : parents)
            parent->addChildren(children[parent]);
        // Only a row in the tree can be expanded: the tree keeps that. A row under one still
        // waiting is expanded in a later step.
        std::vector<QTreeWidgetItem*> expand;
        expand.swap(waiting.expand);
        for (QTreeWidgetItem* row : expand) {
            if (row->treeWidget())
                row->setExpanded(true);
            else
                waiting.expand.push_back(row);
        }
        if (waiting.at == waiting.rows.size() && waiting.expand.empty())
            waiting = Waiting();
        return true;
    }
    return false;
}

void TransfersForm::JoinWaitingRows()
{
    m_joining->Finish();
}

QTreeWidgetItem* TransfersForm::ParentOf(const Side& side, QTreeWidgetItem* row) const
{
    if (!row)
        return nullptr;
    if (QTreeWidgetItem* parent = row->parent())
        return parent;
    const Waiting& waiting = m_waiting[side.uploads];
    const auto at = waiting.parents.find(row);
    if (at == waiting.parents.end() || at->second == side.tree->invisibleRootItem())
        return nullptr;
    return at->second;
}

void TransfersForm::OnDownloadEntryAdded(Item* entry)
{
    if (transfersLoaded)
        AddRow(m_downloads, entry);
}

void TransfersForm::OnUploadEntryAdded(Item* entry)
{
    AddRow(m_uploads, entry);
}

void TransfersForm::RemoveRow(const Side& side, ItemPtr entry)
{
    // The rows above it count their children.
    JoinWaitingRows();
    ItemPtr node = entry[side.fileNode];
    QTreeWidgetItem* row = RowOf(node);
    MarksOf(side).entries.erase(entry.Get());
    ForgetTotals(side, node[side.folderNode]);
    node.Remove();
    if (!row)
        return;
    if (m_bulkRemoval) {
        m_goingRows[side.uploads].push_back(row);
        return;
    }
    QTreeWidgetItem* folderRow = row->parent();
    delete row;
    if (!folderRow)
        return;
    QTreeWidgetItem* userRow = folderRow->parent();
    if (folderRow->childCount() > 0) {
        MarkSummary(side, folderRow);
        MarkSummary(side, userRow);
        return;
    }
    Ties::Remove(side.folderNode, folderRow);
    delete folderRow;
    if (!userRow)
        return;
    if (userRow->childCount() > 0) {
        MarkSummary(side, userRow);
        return;
    }
    Ties::Remove(side.userNode, userRow);
    delete userRow;
}

TransfersForm::BulkRemoval::~BulkRemoval()
{
    m_form->m_bulkRemoval = false;
    for (const Side* side : {&m_form->m_downloads, &m_form->m_uploads}) {
        std::vector<QTreeWidgetItem*> going;
        going.swap(m_form->m_goingRows[side->uploads]);
        m_form->TakeOutRows(*side, going);
    }
}

void TransfersForm::TakeOutRows(const Side& side, const std::vector<QTreeWidgetItem*>& files)
{
    if (files.empty())
        return;
    // Rows made since the first went count among their siblings.
    JoinWaitingRows();
    // Going file rows by folder row, and folder rows going whole by user row, in the order met.
    std::vector<QTreeWidgetItem*> folderOrder;
    std::unordered_map<QTreeWidgetItem*, std::vector<QTreeWidgetItem*>> byFolder;
    for (QTreeWidgetItem* row : files) {
        auto [at, added] = byFolder.try_emplace(row->parent());
        if (added)
            folderOrder.push_back(row->parent());
        at->second.push_back(row);
    }
    std::vector<QTreeWidgetItem*> userOrder;
    std::unordered_map<QTreeWidgetItem*, std::vector<QTreeWidgetItem*>> emptied;
    for (QTreeWidgetItem* folderRow : folderOrder) {
        const std::vector<QTreeWidgetItem*>& going = byFolder[folderRow];
        QTreeWidgetItem* userRow = folderRow ? folderRow->parent() : nullptr;
        if (!folderRow || !userRow) {
            qDeleteAll(going);
            continue;
        }
        if (going.size() < size_t(folderRow->childCount())) {
            TakeOut(folderRow, going);
            MarkSummary(side, folderRow);
            MarkSummary(side, userRow);
            continue;
        }
        Ties::Remove(side.folderNode, folderRow);
        auto [at, added] = emptied.try_emplace(userRow);
        if (added)
            userOrder.push_back(userRow);
        at->second.push_back(folderRow);
    }
    std::vector<QTreeWidgetItem*> emptiedUsers;
    for (QTreeWidgetItem* userRow : userOrder) {
        const std::vector<QTreeWidgetItem*>& folders = emptied[userRow];
        if (folders.size() < size_t(userRow->childCount())) {
            TakeOut(userRow, folders);
            MarkSummary(side, userRow);
            continue;
        }
        Ties::Remove(side.userNode, userRow);
        emptiedUsers.push_back(userRow);
    }
    TakeOut(side.tree->invisibleRootItem(), emptiedUsers);
}

void TransfersForm::OnDownloadEntryRemoved(Item* entry)
{
    m_pendingCompletions.erase(entry);
    // A file alert is about this entry alone.
    ItemPtr(entry)[CompleteDownloadAlert].Remove();
    RemoveRow(m_downloads, entry);
}

void TransfersForm::OnUploadEntryRemoved(Item* entry)
{
    RemoveRow(m_uploads, entry);
}

void TransfersForm::OnUserOnline(Item* user)
{
    if (QTreeWidgetItem* row = RowOf(ItemPtr(user)[DownloadListUserNode]))
        row->setIcon(kUserColumn, m_onlineDot);
}

void TransfersForm::OnUserOffline(Item* user)
{
    if (QTreeWidgetItem* row = RowOf(ItemPtr(user)[DownloadListUserNode]))
        row->setIcon(kUserColumn, m_offlineDot);
}

void TransfersForm::OnDownloadPlaceInLine(Item* entry)
{
    if (QTreeWidgetItem* row = FileRow(m_downloads, entry))
        row->setText(kPlaceColumn, Shown(ItemPtr(entry)[TransfersTypes::PlaceInLine]));
}

void TransfersForm::OnTransfersLoaded()
{
    transfersLoaded = true;
    for (ItemPtr entry :
         d.GetType(DownloadEntry)->GetItems().SortNumericBy(TransfersTypes::DownloadOrder, true))
        OnDownloadEntryAdded(entry);
    // The folder and user rows sum up what they hold at once.
    RefreshMarkedRows();
}

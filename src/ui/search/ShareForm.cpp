#include "ui/search/ShareForm.h"

#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shares/SharesSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/EventToolBar.h"
#include "shell/ShellServices.h"
#include "shell/Ties.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "ui/search/FilterHelpDialog.h"
#include "ui/search/FilterParser.h"
#include "ui/search/ShareTypes.h"

#include "ui_ShareForm.h"

#include <QHeaderView>

#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using namespace SharesTypes;
using namespace ShareTypes;

const char kBrowseIcon[] = ":/icons/browse_icon";
const char kDownloadIcon[] = ":/icons/download_icon";
const QString kExpandLevelText = QStringLiteral("Expand Level");

constexpr int kFileNameWidth = 200;
// Wide enough for a size in the gigabytes with its commas ("12,345,678,901").
constexpr int kFileSizeWidth = 100;
// The folder tree's share of a new tab; the file list takes the rest.
constexpr int kFolderTreeStretch = 2;
constexpr int kFileListStretch = 3;

LiveSet& LiveTabs()
{
    static LiveSet tabs;
    return tabs;
}

QString Text(const char* text)
{
    return QString::fromLatin1(text);
}

// The subfolders of a received folder, through its child and parent link items, in set order.
ItemList Subfolders(ItemPtr folder)
{
    ItemList below;
    for (Item* child : folder.GetItems(UserShareFolderChild)) {
        for (Item* parent : ItemPtr(child).GetItems(UserShareFolderParent)) {
            if (ItemPtr subfolder = ItemPtr(parent)[UserShareFolder])
                below.push_back(subfolder);
        }
    }
    return below;
}

// Whether at least one of the folder's files, or the filter's minimum count of them, passes.
bool EnoughFilesMatch(ItemPtr folder, const FilterParser& filter)
{
    if (!folder)
        return false;
    const int needed = std::max(1, filter.MinFilesInFolder());
    int matching = 0;
    return folder->VisitItems(d.GetType(UserShareFile), [&](Item* file) {
        const QString name = Shown(ItemPtr(file)[UserShareFileName]);
        if (filter.IsMatching(name, nullptr, file) == FilterParser::Matching)
            ++matching;
        return matching >= needed;
    });
}

} // namespace

// A folder tree being put together: the share's folders in path order, the rows made so far by
// path, and the top rows, which hold the others. Rows not handed to the tree yet go with it.
struct ShareForm::TreeBuild
{
    struct Placed
    {
        QTreeWidgetItem* row;
        int level;
    };
    Type* nodes = d.GetType(UserShareFolderNode);
    const Type* names = d.GetType(UserShareFolderName);
    ItemList folders;
    std::vector<std::pair<std::string_view, Item*>> byPath;
    std::unordered_map<std::string_view, Placed> placed;
    QList<QTreeWidgetItem*> topLevel;
    size_t next = 0;
    bool heldLetGo = false;
    bool showPutOff = false;

    ~TreeBuild() { qDeleteAll(topLevel); }
};

ShareForm::ShareForm(std::string user, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui_ShareForm>()), m_userName(std::move(user)),
      m_treeJob([this] { return TreeStep(); })
{
    LiveTabs().Insert(this);
    ui->setupUi(this);
    SetShareShown(false);
    ui->splitter->setStretchFactor(0, kFolderTreeStretch);
    ui->splitter->setStretchFactor(1, kFileListStretch);

    ui->folderTree->setHeaderLabels({QStringLiteral("Folder")});
    ui->fileList->setHeaderLabels(
        {QStringLiteral("File"), QStringLiteral("Size"), QStringLiteral("Attributes")});
    ui->fileList->setColumnWidth(0, kFileNameWidth);
    ui->fileList->setColumnWidth(1, kFileSizeWidth);
    ui->fileList->header()->setStretchLastSection(true);

    if (ActionSetToolBar* bar = ReachActionBar()) {
        bar->RegisterWidget(ui->folderTree, Text(ShareActions::ShareFoldersSet));
        bar->RegisterWidget(ui->fileList, Text(ShareActions::ShareFilesSet));
    }
    Ties::Make(UserShareTab, this) += ServerStore::User(m_userName);
    ui->messageBrowser->append(QStringLiteral("Requesting file list..."));
    if (PeerMessenger* peer = ReachPeerMessenger())
        connect(peer, &PeerMessenger::ConnectionToUserFailed, this,
                &ShareForm::OnConnectionToUserFailed);

    connect(ui->folderTree, &QTreeWidget::currentItemChanged, this,
            &ShareForm::OnCurrentItemChanged);
    connect(ui->fileList, &QTreeWidget::currentItemChanged, this, &ShareForm::OnFileItemChanged);
    connect(ui->filterEdit, &QLineEdit::textChanged, this, &ShareForm::OnFilterTextChanged);
    connect(ui->filterHelpButton, &QPushButton::clicked, this, &ShareForm::OnFilterHelpClicked);
}

ShareForm::~ShareForm()
{
    LiveTabs().Erase(this);
    Ties::Remove(UserShareTab, this);
}

ShareForm* ShareForm::FromItem(ItemPtr item)
{
    return LiveTabs().Follow<ShareForm>(item);
}

void ShareForm::SetShareShown(bool shown)
{
    for (QWidget* widget : std::initializer_list<QWidget*>{ui->folderTree, ui->fileList,
                                                           ui->filterEdit, ui->filterHelpButton})
        widget->setVisible(shown);
}

ItemPtr ShareForm::RowFolder(QTreeWidgetItem* row) const
{
    return row ? Ties::Find(UserShareFolderNode, row)[UserShareFolder] : ItemPtr();
}

ItemPtr ShareForm::RowFile(QTreeWidgetItem* row) const
{
    return row ? Ties::Find(UserShareFileNode, row)[UserShareFile] : ItemPtr();
}

void ShareForm::SetShare(ItemPtr userShare)
{
    // One share per tab: the first. A tree that lost its share keeps its rows, and nothing is
    // built over them.
    if (m_userShare || ui->folderTree->topLevelItemCount() > 0) {
        if (SharedFoldersManager* shares = ReachSharedFolders())
            shares->RemoveUserShare(m_userName);
        return;
    }
    m_answered = true;
    m_userShare = userShare;
    // Watched from here on, the empty share too: the member must not outlive the item.
    d.GetType(UserShare)->itemRemovedEvent.Add(
        NewEventHandler(this, &ShareForm::OnUserShareItemRemoved));

    auto build = std::make_unique<TreeBuild>();
    const ItemSet folders = userShare.GetItems(UserShareFolder);
    build->folders.assign(folders.begin(), folders.end());
    if (build->folders.empty()) {
        ui->messageBrowser->append(
            QStringLiteral("No files returned. The user is either not sharing any files, or is "
                           "sharing all of their files privately."));
        if (EventToolBar* events = ReachEventToolBar())
            events->AddEvent(NameText(m_userName), Text(kBrowseIcon), ui->messageBrowser,
                             QString());
        return;
    }
    build->byPath.reserve(build->folders.size());
    build->placed.reserve(build->folders.size());
    m_deepestLevel = 0;
    m_treeBuild = std::move(build);
    // The first slice at once: a share of a few thousand folders shows before this returns,
    // unless the turn's budget is spent already.
    m_treeJob.RunNow();
}

bool ShareForm::TreeStep()
{
    if (!m_treeBuild)
        return false;
    TreeBuild& build = *m_treeBuild;
    // A share taken from its user is on its way out of the store, its names with it: what
    // was put together of its tree is dropped, and nothing is shown.
    if (!m_userShare || !ItemPtr(m_userShare)[ServerTypes::User]) {
        m_treeBuild.reset();
        return false;
    }

    // By path, byte-wise: a parent's path is a prefix of its subfolders', so it comes first.
    // The paths are the stored names' own bytes, not copies: a list's paths may come to tens
    // of megabytes. A list built as received is in that order already.
    if (build.byPath.size() < build.folders.size()) {
        Item* folder = build.folders[build.byPath.size()];
        const ItemText& path = ItemPtr(folder)[UserShareFolderName].Get()->AsString();
        build.byPath.emplace_back(std::string_view(path.data(), path.size()), folder);
        if (build.byPath.size() == build.folders.size() &&
            !std::is_sorted(build.byPath.begin(), build.byPath.end()))
            std::stable_sort(build.byPath.begin(), build.byPath.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        return true;
    }

    // Rows are put together away from the view and handed to it at once.
    if (build.next < build.byPath.size()) {
        const auto& [path, folder] = build.byPath[build.next++];
        TiedRow* row = nullptr;
        int level = 0;
        const std::string parentPath = GetParentFolder(std::string(path));
        if (parentPath != path) {
            const auto parent = build.placed.find(parentPath);
            if (parent != build.placed.end() && parent->second.level + 1 < kMaxShareTreeDepth) {
                row = new TiedRow(parent->second.row);
                level = parent->second.level + 1;
            }
        }
        if (!row) {
            row = new TiedRow(static_cast<QTreeWidget*>(nullptr));
            build.topLevel << row;
        }
        m_deepestLevel = std::max(m_deepestLevel, level);
        row->setText(0, CellText(Shown(build.names, GetFileName(std::string(path)))));
        ItemPtr(folder) += build.nodes->GetItem(Value(row));
        build.placed.emplace(path, TreeBuild::Placed{row, level});
        return true;
    }
    // Done with: let go of here, in a step of its own.
    if (!build.heldLetGo) {
        build.placed = {};
        build.byPath = {};
        build.folders = {};
        build.heldLetGo = true;
        return true;
    }
    // Showing a big tree (expanding it) takes a turn of its own, unless the turn has hardly
    // begun.
    if (!m_treeJob.TurnFor(build.showPutOff))
        return true;
    ShowTree();
    return false;
}

void ShareForm::ShowTree()
{
    if (!m_treeBuild)
        return;
    const QList<QTreeWidgetItem*> topLevel = std::move(m_treeBuild->topLevel);
    m_treeBuild.reset();
    ui->folderTree->setUpdatesEnabled(false);
    ui->folderTree->addTopLevelItems(topLevel);
    if (Settings::IsYes(SettingKeys::ExpandNewShares))
        ui->folderTree->expandAll();
    ui->folderTree->setUpdatesEnabled(true);

    if (ActionSetToolBar* bar = ReachActionBar())
        connect(bar, &ActionSetToolBar::ActionTriggered, this, &ShareForm::OnActionBarTriggered,
                Qt::UniqueConnection);
    m_expandedLevel = 0;
    ui->messageBrowser->hide();
    SetShareShown(true);
    if (EventToolBar* events = ReachEventToolBar())
        events->AddEvent(NameText(m_userName), Text(kBrowseIcon), ui->folderTree, QString());
    connect(ui->folderTree, &QTreeWidget::itemDoubleClicked, this,
            &ShareForm::OnFolderDoubleClicked, Qt::UniqueConnection);
    connect(ui->fileList, &QTreeWidget::itemDoubleClicked, this, &ShareForm::OnFileDoubleClicked,
            Qt::UniqueConnection);
    if (!m_pendingBrowseFolder.empty())
        BrowseToFolder(m_pendingBrowseFolder);
}

void ShareForm::BrowseToFolder(std::string folder)
{
    if (!m_userShare || m_treeBuild) {
        m_pendingBrowseFolder = std::move(folder);
        return;
    }
    ItemPtr name = d.GetType(UserShareFolderName)->HasItem(Value(folder));
    if (!name)
        return;
    ItemPtr found = d.GetItem(ItemPtr(m_userShare), name, UserShareFolder);
    TiedRow* row = TiedRow::FromItem(found[UserShareFolderNode]);
    if (!row || row->treeWidget() != ui->folderTree)
        return;
    ui->folderTree->scrollToItem(row, QAbstractItemView::PositionAtTop);
    ui->folderTree->setCurrentItem(row);
}

void ShareForm::OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem*)
{
    ClearFileList();
    FillFileList(current);
}

void ShareForm::OnFileItemChanged(QTreeWidgetItem*, QTreeWidgetItem*) {}

void ShareForm::ClearFileList()
{
    for (int i = 0; i < ui->fileList->topLevelItemCount(); ++i)
        Ties::Remove(UserShareFileNode, ui->fileList->topLevelItem(i));
    ui->fileList->clear();
}

void ShareForm::FillFileList(QTreeWidgetItem* current)
{
    ItemPtr folder = RowFolder(current);
    if (!folder)
        return;
    // Words found in a folder's name along the path are no longer asked of the file names;
    // the exclusions and the limits still are.
    FilterParser filter;
    filter.Parse(ui->filterEdit->text());
    for (QTreeWidgetItem* row = current; row; row = row->parent())
        filter.IsMatching(row->text(0), &filter, ItemPtr());

    SharedFoldersManager* shares = ReachSharedFolders();
    Type* nodes = d.GetType(UserShareFileNode);
    QList<QTreeWidgetItem*> rows;
    for (Item* item : folder.GetItems(UserShareFile)) {
        ItemPtr file(item);
        const QString name = Shown(file[UserShareFileName]);
        if (filter.IsMatching(name, nullptr, file) != FilterParser::Matching)
            continue;
        auto* row = new TiedRow(static_cast<QTreeWidget*>(nullptr));
        row->setText(0, CellText(name));
        row->setText(1, CommafyNumber(file[PeerTypes::FileSize].AsInt64()));
        if (shares)
            row->setText(2, shares->GetFileItemDisplayString(file));
        file += nodes->GetItem(Value(row));
        rows << row;
    }
    ui->fileList->addTopLevelItems(rows);
}

void ShareForm::OnFilterTextChanged(const QString& text)
{
    FilterParser filter;
    filter.Parse(text);
    ui->folderTree->setUpdatesEnabled(false);
    for (int i = 0; i < ui->folderTree->topLevelItemCount(); ++i)
        FilterFolderNode(ui->folderTree->topLevelItem(i), filter);
    ui->folderTree->setUpdatesEnabled(true);

    QTreeWidgetItem* current = ui->folderTree->currentItem();
    if (!current)
        return;
    bool hidden = false;
    for (QTreeWidgetItem* row = current; row && !hidden; row = row->parent())
        hidden = row->isHidden();
    ClearFileList();
    if (!hidden)
        FillFileList(current);
}

bool ShareForm::FilterFolderNode(QTreeWidgetItem* row, FilterParser& filter)
{
    // A row in the walk: its residual filter, its next child, and whether it shows so far.
    struct Open
    {
        QTreeWidgetItem* row;
        FilterParser residual;
        int next;
        bool visible;
    };
    std::vector<Open> open;
    const auto setHidden = [](QTreeWidgetItem* at, bool hide) {
        if (at->isHidden() != hide)
            at->setHidden(hide);
    };
    // Tests a row by its own name and files. A name with an unwanted word hides the row, and
    // the rows below it are left as they are.
    const auto enter = [&](QTreeWidgetItem* at, const FilterParser& above) {
        FilterParser residual;
        const int result = above.IsMatching(at->text(0), &residual, ItemPtr());
        if (result == FilterParser::Rejected) {
            setHidden(at, true);
            return;
        }
        const bool named = result == FilterParser::Matching && !residual.HasAttributes() &&
                           residual.MinFilesInFolder() == 0;
        const bool visible = named || EnoughFilesMatch(RowFolder(at), residual);
        open.push_back({at, std::move(residual), 0, visible});
    };

    enter(row, filter);
    if (open.empty())
        return false;
    bool shown = false;
    while (!open.empty()) {
        Open& top = open.back();
        if (top.next < top.row->childCount()) {
            QTreeWidgetItem* child = top.row->child(top.next++);
            // A copy: entering the child may move the work list.
            const FilterParser residual = top.residual;
            enter(child, residual);
            continue;
        }
        shown = top.visible;
        setHidden(top.row, !shown);
        open.pop_back();
        if (!open.empty())
            open.back().visible = open.back().visible || shown;
    }
    return shown;
}

void ShareForm::ExpandLevel()
{
    if (m_expandedLevel == m_deepestLevel)
        return;
    // Every row down to that level open, every deeper one shut.
    ui->folderTree->expandToDepth(m_expandedLevel);
    ++m_expandedLevel;
    if (ActionSetToolBar* bar = ReachActionBar())
        bar->SetWidgetActionText(ui->folderTree, Text(ShareActions::ExpandLevel),
                                 kExpandLevelText + QStringLiteral(" [%1]").arg(m_expandedLevel));
}

void ShareForm::CollapseAll()
{
    ui->folderTree->collapseAll();
    m_expandedLevel = 0;
    if (ActionSetToolBar* bar = ReachActionBar())
        bar->SetWidgetActionText(ui->folderTree, Text(ShareActions::ExpandLevel), kExpandLevelText);
}

void ShareForm::ExpandAll()
{
    ui->folderTree->expandAll();
    m_expandedLevel = 0;
    if (ActionSetToolBar* bar = ReachActionBar())
        bar->SetWidgetActionText(ui->folderTree, Text(ShareActions::ExpandLevel), kExpandLevelText);
}

std::unique_ptr<QWidget> ShareForm::Delete()
{
    m_userShare = nullptr;
    if (SharedFoldersManager* shares = ReachSharedFolders())
        shares->RemoveUserShare(m_userName);
    Ties::Remove(UserShareTab, this);
    // The tree outlives the tab by a turn, hidden: its alert goes now, as the tab's others go
    // with the tab.
    if (eventToolBar)
        eventToolBar->RemoveEvent(ui->folderTree);
    std::unique_ptr<QWidget> tree(ui->folderTree);
    tree->setParent(nullptr);
    delete this;
    return tree;
}

void ShareForm::DownloadFolder(ItemPtr folder, bool isSubfolder)
{
    TransferQueueManager* transfers = ReachTransfers();
    if (!folder || !transfers)
        return;
    // Copied out of the tree, which the tab may let go of before the last is queued; queued by
    // the transfer engine a slice at a time.
    std::vector<FolderDownload> queued;
    ItemPtr shown = RowFolder(ui->folderTree->currentItem());
    bool markShown = false;
    // Depth first, each folder's files before its subfolders', subfolders in set order.
    std::vector<std::pair<Item*, int>> todo;
    todo.emplace_back(folder, isSubfolder ? 1 : 0);
    while (!todo.empty()) {
        const auto [at, level] = todo.back();
        todo.pop_back();
        markShown = markShown || at == shown.Get();
        FolderDownload files;
        files.folder = ItemPtr(at)[UserShareFolderName].AsString();
        files.level = level;
        ItemPtr(at)->VisitItems(d.GetType(UserShareFile), [&files](Item* file) {
            files.files.emplace_back(ItemPtr(file)[UserShareFileName].AsString(),
                                     ItemPtr(file)[PeerTypes::FileSize].AsInt64());
            return false;
        });
        if (!files.files.empty())
            queued.push_back(std::move(files));
        const ItemList below = Subfolders(at);
        for (auto subfolder = below.rbegin(); subfolder != below.rend(); ++subfolder)
            todo.emplace_back(*subfolder, 1);
    }
    // The listed files are all the current folder's.
    if (markShown) {
        for (int i = 0; i < ui->fileList->topLevelItemCount(); ++i)
            ui->fileList->topLevelItem(i)->setIcon(0, QIcon(Text(kDownloadIcon)));
    }
    transfers->AddDownloads(folder[UserShare][ServerTypes::User].AsString(), std::move(queued));
}

void ShareForm::DownloadFile(ItemPtr file, int level)
{
    TransferQueueManager* transfers = ReachTransfers();
    if (!file || !transfers)
        return;
    ItemPtr folder = file[UserShareFolder];
    transfers->AddDownload(
        folder[UserShare][ServerTypes::User].AsString(), file[UserShareFileName].AsString(),
        folder[UserShareFolderName].AsString(), file[PeerTypes::FileSize].AsInt64(), level);
    TiedRow* row = TiedRow::FromItem(file[UserShareFileNode]);
    if (row && row->treeWidget() == ui->fileList)
        row->setIcon(0, QIcon(Text(kDownloadIcon)));
}

void ShareForm::OnActionBarTriggered(QWidget* widget, std::string key)
{
    if (key == ShareActions::DownloadShareFolder && widget == ui->folderTree) {
        for (QTreeWidgetItem* row : ui->folderTree->selectedItems()) {
            if (ItemPtr folder = RowFolder(row))
                DownloadFolder(folder, false);
        }
    } else if (key == ShareActions::DownloadShareFile && widget == ui->fileList) {
        for (QTreeWidgetItem* row : ui->fileList->selectedItems())
            DownloadFile(RowFile(row), 0);
    }
}

void ShareForm::OnFolderDoubleClicked(QTreeWidgetItem* row, int)
{
    if (ItemPtr folder = RowFolder(row))
        DownloadFolder(folder, false);
}

void ShareForm::OnFileDoubleClicked(QTreeWidgetItem* row, int)
{
    DownloadFile(RowFile(row), 0);
}

void ShareForm::OnConnectionToUserFailed(std::string user, std::string type)
{
    if (m_answered || user != m_userName || type != "P")
        return;
    m_answered = true;
    const QString page = QStringLiteral("http://" QV_WEB_HOST "/porttest.php?port=%1")
                             .arg(Settings::Int(SettingKeys::ListeningPort));
    ui->messageBrowser->append(
        QStringLiteral("A connection could not be successfully formed to the user. If this is "
                       "happening to you a lot, <a href=\"%1\">Check here</a> to make sure that "
                       "your port is open.")
            .arg(page.toHtmlEscaped()));
    if (EventToolBar* events = ReachEventToolBar())
        events->AddEvent(NameText(m_userName), Text(kBrowseIcon), ui->messageBrowser, QString());
}

void ShareForm::OnUserShareItemRemoved(Item* removed)
{
    if (removed == m_userShare)
        m_userShare = nullptr;
}

void ShareForm::OnFilterHelpClicked()
{
    FilterHelpDialog::Open(this);
}

void ShareForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (EventToolBar* events = ReachEventToolBar())
        events->RemoveEvent(ui->folderTree);
}

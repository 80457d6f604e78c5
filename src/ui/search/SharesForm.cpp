#include "ui/search/SharesForm.h"

#include "peer/PeerMessenger.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shares/SharesSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/FormHooks.h"
#include "shell/ShellServices.h"
#include "shell/UIFunctions.h"
#include "store/Schema.h"
#include "ui/search/ShareForm.h"
#include "ui/search/ShareTypes.h"

#include "ui_SharesForm.h"

SharesForm* sharesForm = nullptr;

namespace {

using namespace ShareTypes;

const SchemaType kTypes[] = {
    {UserShareTab, RootPrimacy, false, true, ValueKind::Address},
    {UserShareFolderNode, ReachablePrimacy, false, true, ValueKind::Address},
    {UserShareFileNode, ReachablePrimacy, false, true, ValueKind::Address},
};
const SchemaRelation kRelations[] = {
    {ServerTypes::User, UserShareTab, One, One},
    {UserShareFolderNode, SharesTypes::UserShareFolder, One, One},
    {UserShareFileNode, SharesTypes::UserShareFile, One, One},
};

struct ActionRow
{
    const char* set;
    const char* id;
    const char* text;
    const char* icon;
    bool needsSelection;
};

const ActionRow kActions[] = {
    {ShareActions::ShareFoldersSet, ShareActions::DownloadShareFolder, "Download Folder",
     ":/icons/transfer_icon", true},
    {ShareActions::ShareFoldersSet, ShareActions::ExpandLevel, "Expand Level",
     ":/icons/browse_icon", false},
    {ShareActions::ShareFoldersSet, ShareActions::CollapseAll, "Collapse All",
     ":/icons/browse_icon", false},
    {ShareActions::ShareFoldersSet, ShareActions::ExpandAll, "Expand All", ":/icons/browse_icon",
     false},
    {ShareActions::ShareFilesSet, ShareActions::DownloadShareFile, "Download File",
     ":/icons/transfer_icon", true},
};

} // namespace

SharesForm::SharesForm(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui_SharesForm>()),
      m_deleteTrees([this] { return DeleteClosedTreeStep(); })
{
    sharesForm = this;
    ui->setupUi(this);
}

SharesForm::~SharesForm()
{
    FormHooks::Get().browseUser = nullptr;
    if (sharesForm == this)
        sharesForm = nullptr;
}

void SharesForm::Init()
{
    // The browse tabs' actions reach the page through the tool bar: it is not made without it.
    ActionSetToolBar& bar = RequireActionBar("The shares page");
    auto* loaded = new PathNode(&d, SharesTypes::UserShare);
    new PathNode(loaded, SharesTypes::UserShareLoaded, PathConnectedWatchOnly);
    d.AddPathEventHandler(loaded, NewEventHandler(this, &SharesForm::OnUserShare));
    DeclareSchema(MakeSchema(kTypes, kRelations));

    connect(ui->tabControl, &QTabWidget::tabCloseRequested, this, &SharesForm::OnTabCloseRequested);
    for (const ActionRow& row : kActions)
        bar.AddSetAction(row.set, row.id, row.text, row.icon, row.needsSelection);
    connect(&bar, &ActionSetToolBar::ActionTriggered, this, &SharesForm::OnToolBarActionTriggered);
    // The user menu sits below this page and opens browse tabs through the hook.
    FormHooks::Get().browseUser = [this](const std::string& user) { OpenShareBrowse(user); };
}

ShareForm* SharesForm::OpenShareBrowse(std::string user)
{
    ItemPtr userItem = ServerStore::User(user);
    ItemPtr tie = userItem[UserShareTab];
    if (ShareForm* open = ShareForm::FromItem(tie)) {
        FocusWidgetAndParents(open);
        return open;
    }
    // A tie that names no live tab would keep the user from ever getting one.
    tie.Remove();

    auto* tab = new ShareForm(user, this);
    // User names read as Latin-1 everywhere in the window, the tab title included.
    ui->tabControl->addTab(tab, EscapeMnemonics(CellText(Shown(userItem))));
    if (PeerMessenger* peer = ReachPeerMessenger())
        peer->GetUserSharedFiles(user);
    FocusWidgetAndParents(tab);
    return tab;
}

void SharesForm::OnUserShare(Item* userShare)
{
    ItemPtr user = ItemPtr(userShare)[ServerTypes::User];
    ShareForm* tab = ShareForm::FromItem(user[UserShareTab]);
    if (m_listsOfClosedTabs.erase(user.AsString()) > 0) {
        if (SharedFoldersManager* shares = ReachSharedFolders())
            shares->RemoveUserShare(user.AsString());
        // That list answered every ask made before it came, the open tab's too: the peer takes
        // another only when asked anew.
        PeerMessenger* peer = ReachPeerMessenger();
        if (tab && peer)
            peer->GetUserSharedFiles(user.AsString());
        return;
    }
    if (tab) {
        tab->SetShare(userShare);
        return;
    }
    // Nobody is looking at it any more: a list that outlived its tab is not kept.
    if (SharedFoldersManager* shares = ReachSharedFolders())
        shares->RemoveUserShare(user.AsString());
}

void SharesForm::OnTabCloseRequested(int index)
{
    auto* tab = qobject_cast<ShareForm*>(ui->tabControl->widget(index));
    if (!tab)
        return;
    ui->tabControl->removeTab(index);
    // A list not stored yet, not even in part, is still on its way to this tab.
    if (!tab->IsAnswered() && !ServerStore::FindUser(tab->UserName())[SharesTypes::UserShare])
        m_listsOfClosedTabs.insert(tab->UserName());
    auto closed = std::make_unique<ClosedTree>();
    closed->tree = tab->Delete();
    m_closedTrees.push_back(std::move(closed));
    m_deleteTrees.Start();
}

bool SharesForm::DeleteClosedTreeStep()
{
    if (m_closedTrees.empty())
        return false;
    ClosedTree& closed = *m_closedTrees.front();
    auto* tree = qobject_cast<TreeWidget*>(closed.tree.get());
    if (tree && !closed.taken) {
        closed.rows.TakeAll(tree);
        closed.taken = true;
    } else if (closed.rows.DeleteSome(RowsToDelete::kRowsAStep)) {
        m_closedTrees.erase(m_closedTrees.begin());
    }
    return !m_closedTrees.empty();
}

void SharesForm::OnToolBarActionTriggered(QWidget*, std::string key)
{
    auto* tab = qobject_cast<ShareForm*>(ui->tabControl->currentWidget());
    if (!tab)
        return;
    if (key == ShareActions::ExpandLevel)
        tab->ExpandLevel();
    if (key == ShareActions::CollapseAll)
        tab->CollapseAll();
    if (key == ShareActions::ExpandAll)
        tab->ExpandAll();
}

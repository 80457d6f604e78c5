#include "ui/search/SearchForm.h"

#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/EventToolBar.h"
#include "shell/ModalDialogs.h"
#include "shell/ShellServices.h"
#include "shell/ShellTypes.h"
#include "shell/SizeManager.h"
#include "shell/Ties.h"
#include "shell/TreeWidget.h"
#include "shell/UIFunctions.h"
#include "store/DataSaver.h"
#include "store/Schema.h"
#include "store/TurnBudget.h"
#include "transfers/TransfersSchema.h"
#include "ui/search/SearchResultListItem.h"
#include "ui/search/SearchResultMenuOptions.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/search/SearchTypes.h"
#include "ui/users/UserMenuOptions.h"

#include "ui_SearchForm.h"

#include <QHeaderView>
#include <QMenu>

#include <algorithm>
#include <iterator>

SearchForm* searchForm = nullptr;

namespace {

using namespace SearchTypes;

const char kYes[] = "yes";
const char kNo[] = "no";

// A results tab, its rows and what they stand for; none of it outlives the run.
const SchemaType kResultTypes[] = {
    {SearchResultsWidget, RootPrimacy, false, true, ValueKind::Address},
    {SearchResultsFilterLine, ReachablePrimacy, false, true, ValueKind::Address},
    {ExpandFolders, ValuePrimacy, false, true, ValueKind::Word},
    {ExpandUsers, ValuePrimacy, false, true, ValueKind::Word},
    {SearchResultsUserNode, ReachablePrimacy, false, true, ValueKind::Address},
    {SearchResultsFolderNode, ReachablePrimacy, false, true, ValueKind::Address},
    {SearchResultNode, ReachablePrimacy, false, true, ValueKind::Address},
};
const SchemaRelation kResultRelations[] = {
    {SearchResultsWidget, ServerTypes::SearchRequest, One, Many},
    {SearchResultsWidget, ShellTypes::WishListItem, One, One},
    {SearchResultsWidget, SearchResultsFilterLine, One, One},
    {SearchResultsWidget, ExpandFolders, Many, One},
    {SearchResultsWidget, ExpandUsers, Many, One},
    {SearchResultsWidget, SearchResultsUserNode, One, Many, true},
    {SearchResultsUserNode, ServerTypes::User, Many, One},
    {SearchResultsUserNode, SearchResultsFolderNode, One, Many, true},
    {SearchResultsFolderNode, PeerTypes::SearchResultFileFolder, Many, One},
    {SearchResultNode, PeerTypes::SearchResult, One, One},
    {SearchResultsFolderNode, SearchResultNode, One, Many},
};

// A row of the wish-list tree and its check box.
const SchemaType kWishListRowTypes[] = {
    {WishListNode, RootPrimacy, false, true, ValueKind::Address},
    {WishListNodeCheckbox, RootPrimacy, false, true, ValueKind::Address},
};
const SchemaRelation kWishListRowRelations[] = {
    {WishListNode, ShellTypes::WishListItem, One, One},
    {WishListNode, WishListNodeCheckbox, One, One},
};

// The search that found a download is kept with the download.
const SchemaRelation kDownloadSearchRelations[] = {
    {ServerTypes::SearchRequestText, TransfersTypes::DownloadEntry, One, Many},
};
const SchemaSaved kDownloadSearchSaved[] = {
    {ServerTypes::SearchRequestText, TransfersTypes::DownloadEntry},
};

const SchemaType kSavedFilterTypes[] = {{SavedFilter, RootPrimacy, false, true, ValueKind::Utf8}};
const SchemaSaved kSavedFilterSaved[] = {{SavedFilter}};

struct ActionRow
{
    const char* set;
    const char* id;
    const char* text;
    const char* icon;
};

const char kSearchIcon[] = ":/icons/search_icon";
const char kWishListIcon[] = ":/icons/wishlist_icon";

const ActionRow kResultActions[] = {
    {SearchActions::SearchResultsSet, SearchActions::OrderByAvailable, "Order by Available",
     kSearchIcon},
    {SearchActions::SearchResultsSet, SearchActions::OrderByFastest, "Order by Fastest",
     kSearchIcon},
    {SearchActions::SearchResultsSet, SearchActions::ExpandFolders, "Expand Folders", kSearchIcon},
    {SearchActions::SearchResultsSet, SearchActions::ExpandUsers, "Expand Users", kSearchIcon},
    {SearchActions::SearchResultsSet, SearchActions::AddRemoveWishlist, "Add to Wishlist",
     kWishListIcon},
};

const ActionRow kWishListActions[] = {
    {SearchActions::WishListSet, SearchActions::RemoveWishListItem, "Remove Wish List Search",
     kWishListIcon},
    {SearchActions::WishListSet, SearchActions::EnableAllWishListItems,
     "Enable All Wish List Searches", kWishListIcon},
    {SearchActions::WishListSet, SearchActions::DisableAllWishListItems,
     "Disable All Wish List Searches", kWishListIcon},
};

// The result tree's columns, wide enough at today's font sizes for a speed of hundreds of K/s,
// a size in the gigabytes with its commas, three folder levels and a track's title.
const int kColumnWidths[] = {110, 40, 60, 400, 280, 110, 150};
const char* const kColumnLabels[] = {"User", "Free", "K/s", "Folder", "File", "Size", "Attributes"};
constexpr int kFreeColumn = SearchResultListItem::FreeColumn;
constexpr int kSpeedColumn = SearchResultListItem::SpeedColumn;

// The wish-list tree: a narrow check-box column, then the wish.
constexpr int kCheckColumnWidth = 20;
constexpr int kWishColumn = 1;
// The wish-list tree's share of the wish-list page at the first start.
constexpr int kWishListWidth = 200;
// The search line and the wish list take the focus on their pages.
constexpr int kFocusPriority = 1;

const char kNeededBy[] = "The search page";

QString Text(const char* text)
{
    return QString::fromLatin1(text);
}

// An action's text with its state, as a toggle shows it.
QString Toggled(const char* text, bool on)
{
    return Text(text) + (on ? QStringLiteral(" [on]") : QStringLiteral(" [off]"));
}

} // namespace

SearchForm::SearchForm(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui_SearchForm>()),
      m_addRows([this] { return AddRowsStep(); }), m_filtering([this] { return FilterStep(); }),
      m_closingTabs([this] { return CloseStep(); })
{
    searchForm = this;
    ui->setupUi(this);
    ui->searchSplitter->setStretchFactor(0, 1);
    ui->searchSplitter->setStretchFactor(1, 0);
    connect(ui->searchEdit, &QLineEdit::returnPressed, this, &SearchForm::OnSearchEntered);
    connect(ui->searchButton, &QPushButton::clicked, this, &SearchForm::OnSearchEntered);
}

SearchForm::~SearchForm()
{
    // Tabs still closing go with the page's widgets, and what they stood for with the store's
    // last sweep; the folders taken out of a user's row are deleted here.
    for (const std::unique_ptr<ClosingTab>& closing : m_closing)
        qDeleteAll(closing->folders);
    if (searchForm == this)
        searchForm = nullptr;
}

void SearchForm::Init()
{
    // All of them before anything is wired: a page without one would be left half made.
    DataSaver& saver = RequireDataSaver(kNeededBy);
    Server& server = RequireServer(kNeededBy);
    PeerMessenger& peer = RequirePeerMessenger(kNeededBy);
    ActionSetToolBar& bar = RequireActionBar(kNeededBy);
    m_server = &server;
    m_bar = &bar;
    connect(&server, &Server::SearchRequested, this, &SearchForm::OnSearchRequest);
    connect(&peer, &PeerMessenger::SearchResults, this, &SearchForm::OnUserSearchResults);
    DeclareSchema(MakeSchema(kResultTypes, kResultRelations));
    d.GetType(ShellTypes::WishListItem)
        ->itemRemovedEvent.Add(NewEventHandler(this, &SearchForm::OnWishListItemRemoved));

    connect(ui->searchTabControl, &QTabWidget::tabCloseRequested, this,
            &SearchForm::OnTabCloseRequested);
    connect(ui->wishListTabControl, &QTabWidget::tabCloseRequested, this,
            &SearchForm::OnWishTabCloseRequested);
    connect(&bar, &ActionSetToolBar::ActionTriggered, this, &SearchForm::OnActionBarTriggered);
    for (const ActionRow& row : kResultActions)
        bar.AddSetAction(row.set, row.id, row.text, row.icon, false);

    ui->wishList->setColumnCount(2);
    ui->wishList->setColumnWidth(0, kCheckColumnWidth);
    ui->wishList->header()->setSectionResizeMode(QHeaderView::Fixed);
    ui->wishList->setHeaderLabels({QString(), QStringLiteral("Wish List Search")});
    DeclareSchema(MakeSchema(kWishListRowTypes, kWishListRowRelations));
    for (const ActionRow& row : kWishListActions)
        bar.AddSetAction(row.set, row.id, row.text, row.icon, false);
    bar.RegisterWidget(ui->wishList, Text(SearchActions::WishListSet));
    ui->wishList->setSortingEnabled(true);
    ui->wishList->sortByColumn(kWishColumn, Qt::AscendingOrder);

    DeclareSchema(Schema{nullptr, 0, kDownloadSearchRelations, std::size(kDownloadSearchRelations),
                         kDownloadSearchSaved, std::size(kDownloadSearchSaved)},
                  saver);
    saver.AddDataLoadedEventHandler(this);
    RegisterWidgetForTabFocus(ui->searchEdit, kFocusPriority);
    RegisterWidgetForTabFocus(ui->wishList, kFocusPriority);
    DeclareSchema(Schema{kSavedFilterTypes, std::size(kSavedFilterTypes), nullptr, 0,
                         kSavedFilterSaved, std::size(kSavedFilterSaved)},
                  saver);
}

void SearchForm::DataLoaded()
{
    for (Item* wish : d.GetType(ShellTypes::WishListItem)->GetItems())
        OnWishListItemAdded(wish);
    const QList<int> sizes{width() - kWishListWidth, kWishListWidth};
    ui->searchSplitter->setSizes(sizes);
    if (SizeManager* sizer = ReachSizeManager())
        sizer->RegisterSplitter(QStringLiteral("wish_list_splitter"), ui->searchSplitter, sizes);
}

void SearchForm::Search(const std::string& text)
{
    m_server->FileSearch(text, false);
    m_server->GetSearchCorrelations(text);
}

void SearchForm::OnSearchEntered()
{
    Search(StoredBytes(d.GetType(ServerTypes::SearchRequestText), ui->searchEdit->text()));
    ui->searchEdit->clear();
}

void SearchForm::OnSearchRequest(uint token, std::string text, bool wishList)
{
    if (!wishList)
        CreateSearchForm(token, text, false);
}

void SearchForm::CreateSearchForm(uint token, const std::string& text, bool wishList)
{
    ItemPtr request = d.GetType(ServerTypes::SearchRequest)->HasItem(Value(token));
    ItemPtr wish;
    if (wishList) {
        wish = d.GetType(ShellTypes::WishListItem)->HasItem(Value(text));
        if (!wish)
            return;
        if (ItemPtr open = wish[SearchResultsWidget]) {
            open += request;
            return;
        }
    }

    auto* tab = new SearchResultsForm(text, wishList, this);
    QTreeWidget* tree = tab->searchResults();
    tree->setColumnCount(int(std::size(kColumnLabels)));
    tree->header()->setStretchLastSection(false);
    for (int column = 0; column < int(std::size(kColumnWidths)); ++column)
        tree->setColumnWidth(column, kColumnWidths[column]);
    tree->header()->setSectionsMovable(false);
    tree->header()->setSectionsClickable(false);
    QStringList labels;
    for (const char* label : kColumnLabels)
        labels << Text(label);
    tree->setHeaderLabels(labels);
    tree->expandAll();

    QTabWidget* tabs = wishList ? ui->wishListTabControl : ui->searchTabControl;
    const QString icon = Text(wishList ? kWishListIcon : kSearchIcon);
    // The text as its search keeps it (a wish's text is a search's text); a related search's
    // comes from the server, and a title is one line of a cell's length like every other.
    const QString shown = Shown(d.GetType(ServerTypes::SearchRequestText), text);
    tabs->addTab(tab, QIcon(icon), EscapeMnemonics(CellText(shown)));
    ItemPtr widget = Ties::Make(SearchResultsWidget, tab);
    widget += request;
    widget += Ties::Make(SearchResultsFilterLine, tab->filterEdit());
    if (wishList) {
        widget += wish;
        if (EventToolBar* events = ReachEventToolBar())
            events->AddEvent(shown, icon, tab, QString());
    }

    connect(tree, &QTreeWidget::itemDoubleClicked, this, &SearchForm::OnResultDoubleClicked);
    {
        using namespace SearchActions;
        m_bar->RegisterWidget(tab, Text(SearchResultsSet));
        if (wishList)
            m_bar->SetWidgetActionText(tab, Text(AddRemoveWishlist),
                                       QStringLiteral("Remove from Wish List"));
        m_bar->SetWidgetActionText(tab, Text(OrderByAvailable),
                                   Toggled("Order by Available", true));
        m_bar->SetWidgetActionText(tab, Text(OrderByFastest), Text("Order by Fastest"));
        m_bar->SetWidgetActionText(tab, Text(SearchActions::ExpandFolders),
                                   Toggled("Expand Folders", true));
        m_bar->SetWidgetActionText(tab, Text(SearchActions::ExpandUsers),
                                   Toggled("Expand Users", true));
    }
    widget += d.GetType(ExpandFolders)->GetItem(Value(kYes));
    widget += d.GetType(ExpandUsers)->GetItem(Value(kYes));
    tab->SetSortingParamters(kFreeColumn, Qt::DescendingOrder);
    if (!wishList)
        FocusWidget(tree);

    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree, &QWidget::customContextMenuRequested, this,
            &SearchForm::OnSearchResultsContextMenuRequested);
    connect(tab->filterEdit(), &QLineEdit::textChanged, this, &SearchForm::OnFilterTextChanged);
    if (SizeManager* sizer = ReachSizeManager())
        sizer->RegisterTreeWidget(QStringLiteral("search_results"), tree);
    tab->Init();
    connect(tab->CorrelationsWidget(), &QTreeWidget::itemClicked, this,
            &SearchForm::OnCorrelationClicked);
    connect(tab->CorrelationsWidget(), &QTreeWidget::itemDoubleClicked, this,
            &SearchForm::OnCorrelationDoubleClicked);
}

SearchResultsForm* SearchForm::GetCurrentSearchResultsForm() const
{
    for (QTabWidget* tabs : {ui->searchTabControl, ui->wishListTabControl}) {
        if (tabs->isVisible())
            return SearchResultsForm::FromItem(
                Ties::Find(SearchResultsWidget, tabs->currentWidget()));
    }
    return nullptr;
}

QTreeWidgetItem* SearchForm::GetNodeUserNode(QTreeWidgetItem* row) const
{
    if (!row || Ties::Find(SearchResultsUserNode, row))
        return row;
    if (Ties::Find(SearchResultsFolderNode, row))
        return row->parent();
    return row->parent() ? row->parent()->parent() : nullptr;
}

void SearchForm::OnTabCloseRequested(int index)
{
    CloseTab(ui->searchTabControl, index);
}

void SearchForm::OnWishTabCloseRequested(int index)
{
    CloseTab(ui->wishListTabControl, index);
}

void SearchForm::CloseTab(QTabWidget* tabs, int index)
{
    QWidget* tab = tabs->widget(index);
    ItemPtr widget = Ties::Find(SearchResultsWidget, tab);
    if (!widget)
        return;
    m_filterPasses.erase(std::remove_if(m_filterPasses.begin(), m_filterPasses.end(),
                                        [tab](const Filtering& f) { return f.tab == tab; }),
                         m_filterPasses.end());
    auto closing = std::make_unique<ClosingTab>();
    closing->tab = tab;
    for (Item* node : widget.GetItems(SearchResultsUserNode))
        closing->nodes.emplace_back(node->Id(), node);
    const ItemSet requests = widget.GetItems(ServerTypes::SearchRequest);
    for (Item* request : requests) {
        for (Item* answer : ItemPtr(request).GetItems(PeerTypes::SearchResults)) {
            closing->answers.emplace_back(answer->Id(), answer);
            // Not the user's any more: a file the user lists again, for another search, is new.
            ItemPtr(answer).Disconnect(ServerTypes::User);
        }
    }
    // The line goes with the tab: its address is free for another widget's from now on.
    widget[SearchResultsFilterLine].Remove();
    widget.Remove();
    tabs->removeTab(index);
    // Out of view, its tree forgets the rows it keeps expanded or hidden: each row taken out of
    // it would look through all of those.
    if (auto* results = qobject_cast<SearchResultsForm*>(tab)) {
        QTreeWidget* tree = results->searchResults();
        tree->reset();
        closing->tree = tree;
    }
    // Answers still on their way find no request, and are dropped.
    for (Item* request : requests)
        ItemPtr(request).Remove();
    // Forgotten now, before a newer item can take an answer's id and place.
    m_arrived.erase(std::remove_if(m_arrived.begin(), m_arrived.end(),
                                   [&closing](const auto& answer) {
                                       return d.ItemById(answer.first) != answer.second ||
                                              std::find(closing->answers.begin(),
                                                        closing->answers.end(),
                                                        answer) != closing->answers.end();
                                   }),
                    m_arrived.end());
    m_closing.push_back(std::move(closing));
    // A tab of some thousands of rows goes at once, unless others are still going or the turn's
    // budget is spent.
    m_closingTabs.RunNow();
}

bool SearchForm::ClosingTab::Step()
{
    // The rows, taken out of their tree from the last user's (all of them at once took 15-30 ms
    // for 1,000 users' 100,000 files): its folders taken from it, then each deleted with its
    // files.
    if (!folders.isEmpty()) {
        delete folders.takeLast();
        return false;
    }
    if (tree && tree->topLevelItemCount() > 0) {
        QTreeWidgetItem* user = tree->takeTopLevelItem(tree->topLevelItemCount() - 1);
        folders = user->takeChildren();
        delete user;
        return false;
    }
    // The answers with their results, then what tied the rows to the store: the ties have the
    // fewer links to drop for it.
    while (!answers.empty()) {
        const auto [id, item] = answers.back();
        answers.pop_back();
        if (d.ItemById(id) != item)
            continue;
        const ItemPtr answer(item);
        answer.GetItems(PeerTypes::SearchResult).Remove();
        answer.Remove();
        return false;
    }
    while (!nodes.empty()) {
        const auto [id, item] = nodes.back();
        if (d.ItemById(id) != item) {
            nodes.pop_back();
            continue;
        }
        // A folder's node with its files' at a time; the user's once none is left.
        Item* folderNode = nullptr;
        item->VisitItems(d.GetType(SearchResultsFolderNode), [&folderNode](Item* folder) {
            folderNode = folder;
            return true;
        });
        if (folderNode) {
            ItemPtr(folderNode).GetItems(SearchResultNode).Remove();
            ItemPtr(folderNode).Remove();
        } else {
            nodes.pop_back();
            item->Remove();
        }
        return false;
    }
    return true;
}

bool SearchForm::CloseStep()
{
    if (m_closing.empty())
        return false;
    if (!m_closing.front()->Step())
        return true;
    delete m_closing.front()->tab;
    m_closing.erase(m_closing.begin());
    // What else came loose (the answering users, some hundred thousand links cut) is swept as
    // when a tab is closed in one go, but from the turns' budgets too: looking around every
    // item that lost a link took 80-240 ms in one go after a tab of 100,000 results.
    if (m_closing.empty())
        d.SweepInSlices();
    return !m_closing.empty();
}

bool SearchForm::IsClosingTabs() const
{
    return !m_closing.empty() || d.IsSweeping();
}

void SearchForm::OnActionBarTriggered(QWidget* widget, std::string key)
{
    using namespace SearchActions;
    if (OnWishListAction(key))
        return;
    const bool expandFolders = key == SearchActions::ExpandFolders;
    const bool expandUsers = key == SearchActions::ExpandUsers;
    const bool byAvailable = key == OrderByAvailable;
    if (!expandFolders && !expandUsers && !byAvailable && key != OrderByFastest)
        return;
    ItemPtr tie = Ties::Find(SearchResultsWidget, widget);
    SearchResultsForm* tab = SearchResultsForm::FromItem(tie);
    if (!tab)
        return;
    ActionSetToolBar* bar = m_bar;
    QTreeWidget* tree = tab->searchResults();

    if (expandFolders || expandUsers) {
        const char* type = expandFolders ? SearchTypes::ExpandFolders : SearchTypes::ExpandUsers;
        const bool on = tie[type].AsString() == kNo;
        tie += d.GetType(type)->GetItem(Value(on ? kYes : kNo));
        bar->SetWidgetActionText(tab, Text(key.c_str()),
                                 Toggled(expandFolders ? "Expand Folders" : "Expand Users", on));
        QList<QTreeWidgetItem*> rows;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            QTreeWidgetItem* user = tree->topLevelItem(i);
            if (expandUsers)
                rows << user;
            for (int j = 0; expandFolders && j < user->childCount(); ++j)
                rows << user->child(j);
        }
        // The form makes every results tree a TreeWidget.
        if (auto* rowsTree = qobject_cast<TreeWidget*>(tree))
            rowsTree->SetExpanded(rows, on);
        return;
    }

    bar->SetWidgetActionText(tab, Text(OrderByAvailable),
                             byAvailable ? Toggled("Order by Available", true)
                                         : Text("Order by Available"));
    bar->SetWidgetActionText(tab, Text(OrderByFastest),
                             byAvailable ? Text("Order by Fastest")
                                         : Toggled("Order by Fastest", true));
    tab->SetSortingParamters(byAvailable ? kFreeColumn : kSpeedColumn, Qt::DescendingOrder);
    tab->Sort();
}

void SearchForm::OnSearchResultsContextMenuRequested(const QPoint& position)
{
    auto* tree = qobject_cast<QTreeWidget*>(sender());
    QTreeWidgetItem* row = tree ? tree->itemAt(position) : nullptr;
    if (!row)
        return;
    QTreeWidgetItem* userRow = GetNodeUserNode(row);
    // The name as stored, through the row's tie: the cell shows it made one line.
    const std::string user =
        Ties::Find(SearchResultsUserNode, userRow)[ServerTypes::User].AsString();
    QMenu menu;
    SearchResultMenuOptions resultOptions(&menu, row);
    UserMenuOptions userOptions(&menu, user);
    ModalDialogs::Current().RunMenu(&menu, tree->viewport()->mapToGlobal(position));
}

void SearchForm::OnCorrelationClicked(QTreeWidgetItem* row, int)
{
    if (row)
        ui->searchEdit->setText(row->text(0));
}

void SearchForm::OnCorrelationDoubleClicked(QTreeWidgetItem* row, int)
{
    if (!row)
        return;
    Search(SearchResultsForm::CorrelationBytes(row));
    ui->searchEdit->clear();
}

// The search page's result trees: each peer's answer routed to its tab (opening a wish's tab on
// its first answer) and added as rows, one delayed re-sort per burst, the filter of each
// arriving row and the filter pass over a tab, and downloads by double click.

#include "ui/search/SearchForm.h"

#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "shares/SharedFoldersManager.h"
#include "shell/DisplayText.h"
#include "shell/ShellServices.h"
#include "shell/ShellTypes.h"
#include "shell/Ties.h"
#include "shell/TreeWidget.h"
#include "store/DelayedInvoker.h"
#include "store/GeneralFunctions.h"
#include "ui/search/FilterParser.h"
#include "ui/search/SearchResultListItem.h"
#include "ui/search/SearchResultMenuOptions.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/search/SearchTypes.h"

#include <QLineEdit>
#include <QList>
#include <QTreeWidget>

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using namespace SearchTypes;
using Row = SearchResultListItem;

const char kYes[] = "yes";
// A burst of answers is sorted once, this long after its first answer.
constexpr int kSortDelayMs = 1000;
// Answers become rows together, this long after the first of them: the tree lays all its rows
// out again after every change (some 10 ms at 50,000 rows) and paints them, and answers arrive
// by the hundred a second. As long as the re-sort's delay, so that the rows and the re-sort of
// a burst fall due together and the tree is laid out once for both.
constexpr int kRowsDelayMs = 1000;

// Which result rows show, one rule for the filter pass over a tab and for each row as it
// arrives, so that an arrival never shows a row the next pass would hide. A folder row's own
// text is tested first: an unwanted word in it hides the folder with all its files; what it
// leaves of the filter (wanted words it lacks, the unwanted words, the limits) is then asked of
// each file's name and result. A folder shows while at least one of its files shows, and at
// least the filter's minimum of files per folder; a user while one of its folders shows.
class RowFilter
{
public:
    explicit RowFilter(const QString& text) { m_filter.Parse(text); }

    // Tests the folder row's text; false when it rejects the folder. The files of the folder
    // are tested after it.
    bool EnterFolder(const QString& folderText)
    {
        m_residual = FilterParser();
        return m_filter.IsMatching(folderText, &m_residual, ItemPtr()) != FilterParser::Rejected;
    }

    // Whether a file row of the folder entered last is tested on its result's values too.
    bool NeedsResult() const { return m_residual.HasAttributes(); }

    // A file row of the folder entered last, by its name and, when NeedsResult, its result.
    bool FileShows(const QString& fileName, ItemPtr result) const
    {
        if (m_residual.IncludeWords().isEmpty() && m_residual.ExcludeWords().isEmpty() &&
            !NeedsResult())
            return true;
        const ItemPtr item = NeedsResult() ? result : ItemPtr();
        return m_residual.IsMatching(fileName, nullptr, item) == FilterParser::Matching;
    }

    bool FolderShows(int shownFiles) const
    {
        return shownFiles > 0 && shownFiles >= m_residual.MinFilesInFolder();
    }

private:
    FilterParser m_filter;
    FilterParser m_residual;
};

void SetHidden(QTreeWidgetItem* row, bool hidden)
{
    if (row->isHidden() != hidden)
        row->setHidden(hidden);
}

QString SpeedText(qint64 bytesPerSecond)
{
    const double kib = double(bytesPerSecond) / 1024;
    return kib == 0 ? QString() : QStringLiteral("%1").arg(kib, 0, 'f', 1);
}

// Puts the row together away from the tree: nothing is told of a text set on a row that no
// tree holds yet.
Row* DetachedRow()
{
    return new Row(static_cast<QTreeWidget*>(nullptr));
}

// A folder's new file rows among its rows by name, ascending, a name equal to one there after
// it: where a re-sort puts them, so that it has only the user rows to order. Rows going after
// the last one there, all of a new folder's, go in together.
void AddFileRows(Row* folderRow, std::vector<std::pair<QString, Row*>>& files)
{
    std::stable_sort(files.begin(), files.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const int end = folderRow->childCount();
    const QString last = end > 0 ? folderRow->child(end - 1)->text(Row::FileColumn) : QString();
    QList<QTreeWidgetItem*> tail;
    int from = 0;
    for (const auto& [name, row] : files) {
        if (end == 0 || !(name < last)) {
            tail << row;
            continue;
        }
        // The first row whose name is greater, from where the previous one went.
        const QString& key = name;
        const int at = InsertionPlace(folderRow, from, [&key](QTreeWidgetItem* file) {
            return key < file->text(Row::FileColumn);
        });
        folderRow->insertChild(at, row);
        from = at + 1;
    }
    folderRow->addChildren(tail);
}

// Results of one answer (a search_results) as file rows of the tab, under the user's row and
// their folders' rows, made when missing; shown or hidden by the filter. The rows are put
// together first and handed to the tree one folder at a time, a new user's all at once.
void AddAnswer(QTreeWidget* tree, ItemPtr widget, ItemPtr answer, const ItemSet& results,
               RowFilter& filter, SharedFoldersManager* shares)
{
    const ItemPtr user = answer[ServerTypes::User];
    ItemPtr userNode = d.GetItem(widget, user, SearchResultsUserNode);
    Row* userRow = Row::FromItem(userNode);
    const bool newUser = !userRow;
    if (newUser) {
        // The user's cells are those of the first answer; later ones add rows only.
        userRow = DetachedRow();
        userRow->setText(Row::UserColumn, CellText(Shown(user)));
        const bool free = answer[PeerTypes::SearchResultsUserAvailable].AsString() == kYes;
        userRow->setText(Row::FreeColumn,
                         free ? Row::kFreeSlot
                              : Shown(answer[PeerTypes::SearchResultsUploadsInQueue]));
        userRow->setTextAlignment(Row::FreeColumn, Qt::AlignCenter);
        userRow->setText(Row::SpeedColumn,
                         SpeedText(answer[PeerTypes::SearchResultsUserSpeed].AsInt64()));
        userNode = Ties::Make(SearchResultsUserNode, userRow);
        userNode += widget;
        userNode += user;
    }

    // The answer's files by folder, folders in the order first met.
    std::vector<std::pair<Item*, ItemList>> byFolder;
    std::unordered_map<Item*, size_t> folderAt;
    for (Item* result : results) {
        Item* folder = ItemPtr(result)[PeerTypes::SearchResultFileFolder];
        const auto [at, added] = folderAt.emplace(folder, byFolder.size());
        if (added)
            byFolder.emplace_back(folder, ItemList());
        byFolder[at->second].second.push_back(result);
    }

    QList<QTreeWidgetItem*> newFolders;
    std::vector<std::pair<Row*, bool>> folders; // each folder's row and whether it shows
    std::vector<Row*> hiddenFiles;
    Type* fileNodes = d.GetType(SearchResultNode);
    for (const auto& [folder, files] : byFolder) {
        ItemPtr folderNode =
            newUser ? ItemPtr() : d.GetItem(userNode, folder, SearchResultsFolderNode);
        Row* folderRow = Row::FromItem(folderNode);
        if (!folderRow) {
            folderRow = DetachedRow();
            folderRow->setText(
                Row::FolderColumn,
                CellText(Shown(folder->GetType(), ReversePathname(ItemPtr(folder).AsString()))));
            folderNode = Ties::Make(SearchResultsFolderNode, folderRow);
            folderNode += userNode;
            folderNode += folder;
            newFolders << folderRow;
        }
        const bool folderPasses = filter.EnterFolder(folderRow->text(Row::FolderColumn));
        int shown = folderRow->ShownFiles();
        std::vector<std::pair<QString, Row*>> fileRows;
        fileRows.reserve(files.size());
        for (Item* item : files) {
            const ItemPtr result(item);
            Row* fileRow = DetachedRow();
            const QString name = CellText(Shown(result[PeerTypes::SearchResultFileName]));
            fileRow->setText(Row::FileColumn, name);
            fileRow->setText(Row::SizeColumn, CommafyNumber(result[PeerTypes::FileSize].AsInt64()));
            if (shares)
                fileRow->setText(Row::AttributesColumn, shares->GetFileItemDisplayString(result));
            ItemPtr fileNode = fileNodes->GetItem(Value(fileRow));
            fileNode += result;
            fileNode += folderNode;
            if (folderPasses && filter.FileShows(name, result))
                ++shown;
            else
                hiddenFiles.push_back(fileRow);
            fileRows.emplace_back(name, fileRow);
        }
        AddFileRows(folderRow, fileRows);
        folderRow->SetShownFiles(shown);
        folders.emplace_back(folderRow, folderPasses && filter.FolderShows(shown));
    }
    userRow->addChildren(newFolders);
    if (newUser)
        tree->addTopLevelItem(userRow);

    // Only rows in the tree can be hidden or expanded.
    for (Row* fileRow : hiddenFiles)
        fileRow->setHidden(true);
    bool userShown = false;
    for (const auto& [folderRow, shown] : folders) {
        SetHidden(folderRow, !shown);
        userShown = userShown || shown;
    }
    if (userShown)
        SetHidden(userRow, false);
    else if (newUser)
        userRow->setHidden(true);
    if (widget[ExpandUsers].AsString() == kYes && !userRow->isExpanded())
        userRow->setExpanded(true);
    if (widget[ExpandFolders].AsString() == kYes) {
        for (const auto& [folderRow, shown] : folders) {
            if (!folderRow->isExpanded())
                folderRow->setExpanded(true);
        }
    }
}

} // namespace

// The filter pass over a tab: which rows show is worked out a folder at a time, and the rows
// take their states together at the end, so that the tree is laid out and painted once. Rows
// made meanwhile start the pass over (SearchForm); user rows are never deleted while the tab
// lives.
class SearchForm::FilterPass
{
public:
    FilterPass(QTreeWidget* tree, const QString& text) : m_tree(tree), m_filter(text)
    {
        m_users.reserve(tree->topLevelItemCount());
        for (int i = 0; i < tree->topLevelItemCount(); ++i)
            m_users << tree->topLevelItem(i);
    }

    bool IsWorkedOut() const { return m_next == m_users.size(); }

    // Works out the next folder of the user at hand, or the user's own row after its last.
    void Step()
    {
        QTreeWidgetItem* userRow = m_users[m_next];
        if (m_folder < userRow->childCount()) {
            m_userShown = WorkOut(userRow->child(m_folder++)) || m_userShown;
            return;
        }
        Change(userRow, !m_userShown);
        ++m_next;
        m_folder = 0;
        m_userShown = false;
    }

    // Once worked out: sets the rows' states.
    void Apply()
    {
        m_tree->setUpdatesEnabled(false);
        for (const auto& [row, hidden] : m_changes)
            row->setHidden(hidden);
        for (const auto& [folder, shown] : m_shownFiles)
            folder->SetShownFiles(shown);
        m_tree->setUpdatesEnabled(true);
    }

private:
    // The folder's rows whose state changes, and its count of shown files; whether it shows.
    bool WorkOut(QTreeWidgetItem* folderRow)
    {
        if (!m_filter.EnterFolder(folderRow->text(Row::FolderColumn))) {
            // Its files are left as they are: the folder hides them all.
            Change(folderRow, true);
            return false;
        }
        int shown = 0;
        for (int k = 0; k < folderRow->childCount(); ++k) {
            QTreeWidgetItem* fileRow = folderRow->child(k);
            const ItemPtr result =
                m_filter.NeedsResult()
                    ? Ties::Find(SearchResultNode, fileRow)[PeerTypes::SearchResult]
                    : ItemPtr();
            const bool fileShown = m_filter.FileShows(fileRow->text(Row::FileColumn), result);
            Change(fileRow, !fileShown);
            shown += fileShown ? 1 : 0;
        }
        if (auto* folder = dynamic_cast<Row*>(folderRow))
            m_shownFiles.emplace_back(folder, shown);
        const bool folderShown = m_filter.FolderShows(shown);
        Change(folderRow, !folderShown);
        return folderShown;
    }

    void Change(QTreeWidgetItem* row, bool hidden)
    {
        if (row->isHidden() != hidden)
            m_changes.emplace_back(row, hidden);
    }

    QTreeWidget* m_tree;
    RowFilter m_filter;
    QList<QTreeWidgetItem*> m_users;
    qsizetype m_next = 0;
    int m_folder = 0;
    bool m_userShown = false;
    std::vector<std::pair<QTreeWidgetItem*, bool>> m_changes;
    std::vector<std::pair<Row*, int>> m_shownFiles;
};

void SearchForm::OnUserSearchResults(ItemPtr results)
{
    const ItemPtr request = results[ServerTypes::SearchRequest];
    if (!request[SearchResultsWidget] && request.IsConnected(ServerTypes::WishlistSearch)) {
        const std::string text = request[ServerTypes::SearchRequestText].AsString();
        const ItemPtr wish = d.GetType(ShellTypes::WishListItem)->HasItem(Value(text));
        if (wish.IsConnected(ShellTypes::WishListItemEnabled))
            CreateSearchForm(request.AsUInt(), text, true);
    }
    const ItemPtr widget = request[SearchResultsWidget];
    SearchResultsForm* tab = SearchResultsForm::FromItem(widget);
    if (!tab) {
        // Nobody shows it, and a peer may answer a disabled wish again and again: the answer
        // goes now and its results at the next sweep. The request stays, so that the wish
        // opens its tab once enabled again.
        results.Remove();
        return;
    }
    // Past the cap, an answer's results go now: no row will show them.
    size_t kept = 0;
    for (Item* file : results.GetItems(PeerTypes::SearchResult)) {
        if (++kept > size_t(kMaxRowsAnAnswer))
            ItemPtr(file).Remove();
    }
    m_arrived.emplace_back(results->Id(), results.Get());
    if (DelayedInvoker* invoker = ReachDelayedInvoker()) {
        // Asked for after the rows and due with them: the invoker runs the two together, and
        // the tree is laid out and painted once for both.
        invoker->Invoke(this, &SearchForm::AddArrivedResults, kRowsDelayMs);
        invoker->Invoke(tab, &SearchResultsForm::Sort, kSortDelayMs);
    } else {
        AddArrivedResults();
    }
}

void SearchForm::AddArrivedResults()
{
    m_addRows.RunNow();
}

bool SearchForm::AddRowsStep()
{
    if (m_arrived.empty())
        return false;
    const auto [id, item] = m_arrived.front();
    m_arrived.pop_front();
    // Gone when its tab closed meanwhile.
    SearchResultsForm* tab = nullptr;
    ItemPtr widget;
    if (d.ItemById(id) == item) {
        widget = ItemPtr(item)[ServerTypes::SearchRequest][SearchResultsWidget];
        tab = SearchResultsForm::FromItem(widget);
    }
    if (tab) {
        const ItemPtr results(item);
        RowFilter filter(tab->filterEdit()->text());
        AddAnswer(tab->searchResults(), widget, results, results.GetItems(PeerTypes::SearchResult),
                  filter, ReachSharedFolders());
        // A pass under way saw the tab without these rows.
        if (IsFiltering(tab))
            StartFilterPass(tab, tab->filterEdit()->text());
        // Rows of a later slice have missed their burst's re-sort; those of the first are
        // made just before it.
        if (DelayedInvoker* invoker = ReachDelayedInvoker())
            invoker->Invoke(tab, &SearchResultsForm::Sort, kSortDelayMs);
    }
    return !m_arrived.empty();
}

void SearchForm::OnSearchResult(ItemPtr widget, ItemPtr result)
{
    SearchResultsForm* tab = SearchResultsForm::FromItem(widget);
    if (!tab || !result)
        return;
    RowFilter filter(tab->filterEdit()->text());
    AddAnswer(tab->searchResults(), widget, result[PeerTypes::SearchResults], ItemSet(result),
              filter, ReachSharedFolders());
    if (IsFiltering(tab))
        StartFilterPass(tab, tab->filterEdit()->text());
}

void SearchForm::OnResultDoubleClicked(QTreeWidgetItem* row, int)
{
    // Through the store, not the tree: rows the filter hides are queued too.
    ItemSet results;
    if (const ItemPtr userNode = Ties::Find(SearchResultsUserNode, row)) {
        results = userNode.GetItems(SearchResultsFolderNode)
                      .GetItems(SearchResultNode)
                      .GetItems(PeerTypes::SearchResult);
    } else if (const ItemPtr folderNode = Ties::Find(SearchResultsFolderNode, row)) {
        results = folderNode.GetItems(SearchResultNode).GetItems(PeerTypes::SearchResult);
    } else {
        results = Ties::Find(SearchResultNode, row).GetItems(PeerTypes::SearchResult);
    }
    // Every search of a tab has the tab's text.
    const ItemPtr first = results.First();
    const ItemPtr text =
        first[PeerTypes::SearchResults][ServerTypes::SearchRequest][ServerTypes::SearchRequestText];
    SearchResultMenuOptions::QueueResults(results, text);
}

void SearchForm::OnFilterTextChanged(const QString& text)
{
    // Through the line's tie: the line may sit in a container of the tab, or anywhere.
    SearchResultsForm* tab = SearchResultsForm::FromItem(
        Ties::Find(SearchResultsFilterLine, sender())[SearchResultsWidget]);
    if (!tab)
        return;
    StartFilterPass(tab, text);
    // A tab of some thousands of rows is filtered at once.
    m_filtering.RunNow();
}

void SearchForm::StartFilterPass(SearchResultsForm* tab, const QString& text)
{
    // First: the tab typed in, or given rows, is the one looked at.
    m_filterPasses.erase(std::remove_if(m_filterPasses.begin(), m_filterPasses.end(),
                                        [tab](const Filtering& f) { return f.tab == tab; }),
                         m_filterPasses.end());
    m_filterPasses.insert(m_filterPasses.begin(),
                          Filtering{tab, std::make_shared<FilterPass>(tab->searchResults(), text)});
    m_filtering.Start();
}

bool SearchForm::IsFiltering(const SearchResultsForm* tab) const
{
    return std::any_of(m_filterPasses.begin(), m_filterPasses.end(),
                       [tab](const Filtering& f) { return f.tab == tab; });
}

bool SearchForm::FilterStep()
{
    if (m_filterPasses.empty())
        return false;
    Filtering& first = m_filterPasses.front();
    FilterPass& pass = *first.pass;
    if (!pass.IsWorkedOut()) {
        pass.Step();
        return true;
    }
    // Setting a big tab's rows' states, and the layout after it, take a turn of their own
    // unless the turn has hardly begun.
    if (!m_filtering.TurnFor(first.applyPutOff))
        return true;
    const std::shared_ptr<FilterPass> done = first.pass;
    m_filterPasses.erase(m_filterPasses.begin());
    done->Apply();
    return !m_filterPasses.empty();
}

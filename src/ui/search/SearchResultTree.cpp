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
#include "store/DelayedInvoker.h"
#include "store/GeneralFunctions.h"
#include "ui/search/FilterParser.h"
#include "ui/search/SearchResultListItem.h"
#include "ui/search/SearchResultMenuOptions.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/search/SearchTypes.h"

#include <QLineEdit>
#include <QTreeWidget>

#include <algorithm>

namespace {

using namespace SearchTypes;
using Row = SearchResultListItem;

const char kYes[] = "yes";
// A burst of answers is sorted once, this long after its first.
constexpr int kSortDelayMs = 1000;

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

// The filter pass: every row of the tree shown or hidden by the filter text.
void FilterTree(QTreeWidget* tree, const QString& text)
{
    RowFilter filter(text);
    tree->setUpdatesEnabled(false);
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* userRow = tree->topLevelItem(i);
        bool userShown = false;
        for (int j = 0; j < userRow->childCount(); ++j) {
            QTreeWidgetItem* folderRow = userRow->child(j);
            if (!filter.EnterFolder(folderRow->text(Row::FolderColumn))) {
                // Its files are left as they are: the folder hides them all.
                SetHidden(folderRow, true);
                continue;
            }
            int shown = 0;
            for (int k = 0; k < folderRow->childCount(); ++k) {
                QTreeWidgetItem* fileRow = folderRow->child(k);
                const ItemPtr result =
                    filter.NeedsResult()
                        ? Ties::Find(SearchResultNode, fileRow)[PeerTypes::SearchResult]
                        : ItemPtr();
                const bool fileShown = filter.FileShows(fileRow->text(Row::FileColumn), result);
                SetHidden(fileRow, !fileShown);
                shown += fileShown ? 1 : 0;
            }
            if (auto* folder = dynamic_cast<Row*>(folderRow))
                folder->SetShownFiles(shown);
            const bool folderShown = filter.FolderShows(shown);
            SetHidden(folderRow, !folderShown);
            userShown = userShown || folderShown;
        }
        SetHidden(userRow, !userShown);
    }
    tree->setUpdatesEnabled(true);
}

QString SpeedText(qint64 bytesPerSecond)
{
    const double kib = double(bytesPerSecond) / 1024;
    return kib == 0 ? QString() : QStringLiteral("%1").arg(kib, 0, 'f', 1);
}

// One result as a file row of the tab, under its user's and folder's rows, made when missing;
// shown or hidden by the filter.
void AddResult(QTreeWidget* tree, ItemPtr widget, ItemPtr result, RowFilter& filter,
               SharedFoldersManager* shares)
{
    const ItemPtr answer = result[PeerTypes::SearchResults];
    const ItemPtr user = answer[ServerTypes::User];
    ItemPtr userNode = d.GetItem(widget, user, SearchResultsUserNode);
    Row* userRow = Row::FromItem(userNode);
    const bool newUser = !userRow;
    if (newUser) {
        // The user's cells are those of the first answer; later ones add rows only.
        userRow = new Row(tree);
        userRow->setText(Row::UserColumn, NameText(user.AsString()));
        const bool free = answer[PeerTypes::SearchResultsUserAvailable].AsString() == kYes;
        userRow->setText(Row::FreeColumn,
                         free
                             ? Row::kFreeSlot
                             : Utf8Text(answer[PeerTypes::SearchResultsUploadsInQueue].AsString()));
        userRow->setTextAlignment(Row::FreeColumn, Qt::AlignCenter);
        userRow->setText(Row::SpeedColumn,
                         SpeedText(answer[PeerTypes::SearchResultsUserSpeed].AsInt64()));
        userNode = Ties::Make(SearchResultsUserNode, userRow);
        userNode += widget;
        userNode += user;
    }

    const ItemPtr folder = result[PeerTypes::SearchResultFileFolder];
    ItemPtr folderNode = d.GetItem(userNode, folder, SearchResultsFolderNode);
    Row* folderRow = Row::FromItem(folderNode);
    if (!folderRow) {
        folderRow = new Row(userRow);
        folderRow->setText(Row::FolderColumn, Utf8Text(ReversePathname(folder.AsString())));
        folderNode = Ties::Make(SearchResultsFolderNode, folderRow);
        folderNode += userNode;
        folderNode += folder;
    }

    auto* fileRow = new Row(folderRow);
    fileRow->setText(Row::FileColumn, Utf8Text(result[PeerTypes::SearchResultFileName].AsString()));
    fileRow->setText(Row::SizeColumn, CommafyNumber(result[PeerTypes::FileSize].AsInt64()));
    if (shares)
        fileRow->setText(Row::AttributesColumn, shares->GetFileItemDisplayString(result));
    if (widget[ExpandUsers].AsString() == kYes && !userRow->isExpanded())
        userRow->setExpanded(true);
    if (widget[ExpandFolders].AsString() == kYes && !folderRow->isExpanded())
        folderRow->setExpanded(true);
    ItemPtr fileNode = Ties::Make(SearchResultNode, fileRow);
    fileNode += result;
    fileNode += folderNode;

    const bool folderPasses = filter.EnterFolder(folderRow->text(Row::FolderColumn));
    const bool fileShown = folderPasses && filter.FileShows(fileRow->text(Row::FileColumn), result);
    if (!fileShown)
        fileRow->setHidden(true);
    else
        folderRow->SetShownFiles(folderRow->ShownFiles() + 1);
    const bool folderShown = folderPasses && filter.FolderShows(folderRow->ShownFiles());
    SetHidden(folderRow, !folderShown);
    if (folderShown)
        SetHidden(userRow, false);
    else if (newUser)
        userRow->setHidden(true);
}

} // namespace

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
    RowFilter filter(tab->filterEdit()->text());
    SharedFoldersManager* shares = ReachSharedFolders();
    for (Item* result : results.GetItems(PeerTypes::SearchResult))
        AddResult(tab->searchResults(), widget, result, filter, shares);
    if (DelayedInvoker* invoker = ReachDelayedInvoker())
        invoker->Invoke(tab, &SearchResultsForm::Sort, kSortDelayMs);
}

void SearchForm::OnSearchResult(ItemPtr widget, ItemPtr result)
{
    SearchResultsForm* tab = SearchResultsForm::FromItem(widget);
    if (!tab || !result)
        return;
    RowFilter filter(tab->filterEdit()->text());
    AddResult(tab->searchResults(), widget, result, filter, ReachSharedFolders());
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
    const auto* line = qobject_cast<QWidget*>(sender());
    auto* tab = line ? qobject_cast<SearchResultsForm*>(line->parentWidget()) : nullptr;
    if (tab)
        FilterTree(tab->searchResults(), text);
}

#pragma once

#include "store/Data.h"
#include "store/SlicedJob.h"

#include <QList>
#include <QPoint>
#include <QWidget>

#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class ActionSetToolBar;
class QCheckBox;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;
class SearchResultsForm;
class Server;
class Ui_SearchForm;

// The Search page: a line that sends a file search to the server, two inner pages ("Manual
// Searches" and "Wish List Searches") that each hold one results tab per search, and the
// wish-list tree. It declares the store types of every results tab and of the wish-list tree
// (ui/search/SearchTypes.h), opens a results tab when the server connection reports a new
// search, closes tabs and sweeps their searches and results out of the store, and answers the
// context tool bar for results tabs.
//
// Its methods live in three files:
//   - SearchForm.cpp: the page, its store types and tool-bar actions, the search line, opening,
//     closing and sweeping tabs, the tool bar's order and expansion actions and the row menu;
//   - SearchResultTree.cpp: the rows of the results tabs (SearchResultsForm): each answer routed
//     to its tab and made into user, folder and file rows, the filter of arriving rows and the
//     filter pass over a tab, and downloads by double click;
//   - SearchWishList.cpp: the wish-list tree and the tool bar's wish-list actions.
//
// A tab is tied to the store by its search_results_widget item: connected to the search_request
// of every search it shows, to one expand_folders and one expand_users value, to the tie of its
// filter line (search_results_filter_line, through which the filter pass finds the tab) and, for
// a wish-list tab, to its wish_list_item. Wish-list tabs open when answers to a wish arrive, and
// every later search of the same wish joins its one tab.
//
// The wish list: the saved wishes (wish_list_item, enabled while linked to the
// wish_list_item_enabled flag) as rows of the wishList tree, each tied to its wish by a
// wish_list_node and to its check box by a wish_list_node_checkbox. WishListSearcher sends them.
class SearchForm : public QWidget, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    // The most result rows an answer makes, some 50 ms of work, the longest step of making rows:
    // its results past it are dropped. A peer's answer may list a hundred thousand files.
    static constexpr int kMaxRowsAnAnswer = 20000;

    explicit SearchForm(QWidget* parent = nullptr);
    ~SearchForm() override;

    // Called once by start-up, after the transfer engine is built and before the store file is
    // loaded, and before anything else of the page: the store types, the tool bar's actions and
    // the page's connections. Throws MissingDependencyError, before it wires anything, without
    // the store file handler, the server connection, the peer connection manager or the context
    // tool bar: the page would send no search, or show no answer, or sort none.
    void Init();
    void DataLoaded() override;

    // Opens the results tab of a search (token: the server connection's). For a wish-list
    // search the text must be a wish, and a wish whose tab is open gets the search joined to it
    // instead. Manual tabs take the focus.
    void CreateSearchForm(uint token, const std::string& text, bool wishList);
    // The results tab in view on the page's visible inner page, or null.
    SearchResultsForm* GetCurrentSearchResultsForm() const;
    // The user row above any result row (the row itself for a user row).
    QTreeWidgetItem* GetNodeUserNode(QTreeWidgetItem* row) const;
    // Whether the tab's filter pass is under way.
    bool IsFiltering(const SearchResultsForm* tab) const;
    // Whether closed tabs are still being taken apart, or the store swept after them.
    bool IsClosingTabs() const;
    // Test-only: the filter passes under way, done here and now.
    void FinishFilteringForTesting() { m_filtering.Finish(); }

public Q_SLOTS:
    // The search line's Return and the Search button: a manual search and a request for related
    // searches, even with an empty line, which is cleared.
    void OnSearchEntered();
    // Server::SearchRequested: a manual search opens its tab here; wish-list searches open theirs
    // when answers arrive.
    void OnSearchRequest(uint token, std::string text, bool wishList);
    // PeerMessenger::SearchResults, one call per peer's answer: the answer goes to its search's
    // tab, opened here for the first answer to an enabled wish; an answer no tab shows is
    // removed. Its rows are made a moment later, with those of the answers that came meanwhile.
    void OnUserSearchResults(ItemPtr results);
    // The answers that arrived since the last call become rows of their tabs, an answer a step
    // of a sliced job: a slice here and now, the rest from the event loop's next turn on. Runs a
    // second after the first answer of a burst, just before the tabs' re-sorts of that burst.
    void AddArrivedResults();
    void OnTabCloseRequested(int index);
    void OnWishTabCloseRequested(int index);
    // A result tree's double click: queues the row's files (a user's, a folder's or one), the
    // ones the filter hides too, by name.
    void OnResultDoubleClicked(QTreeWidgetItem* row, int column);
    void OnActionBarTriggered(QWidget* widget, std::string key);
    // A result tree's right click: the row's menu, run at the click (ModalDialogs::RunMenu), the
    // result entries (SearchResultMenuOptions) first, then those of the row's user.
    void OnSearchResultsContextMenuRequested(const QPoint& position);
    // A tab's filter line changed: every row of its tree shown or hidden by the new text, in
    // this turn or, for a big tab, in a few.
    void OnFilterTextChanged(const QString& text);
    // A related search clicked: into the search line; double-clicked: searched at once.
    void OnCorrelationClicked(QTreeWidgetItem* row, int column);
    void OnCorrelationDoubleClicked(QTreeWidgetItem* row, int column);
    // A wish row's check box: enables or disables its wish.
    void OnWishListItemCheckStateChanged(int state);
    // Makes the search line's text an enabled wish, unless it is empty or a wish already.
    void OnAddToWishListClicked();

public:
    // Adds one result (a search_result) to the tab whose search_results_widget is widget, as a
    // file row under its user's and folder's rows, shown or hidden by the tab's filter line.
    // Never sorts.
    void OnSearchResult(ItemPtr widget, ItemPtr result);

    // The wish's row, checked when the wish is enabled.
    void OnWishListItemAdded(Item* wish);
    // Store handler: a wish is being removed; its row goes, a results tab of it stays.
    void OnWishListItemRemoved(Item* wish);
    // Greys the wish's check box, or makes it usable again; its state is kept.
    void OnWishListItemEnabled(Item* wish);
    void OnWishListItemDisabled(Item* wish);

private:
    // What both close buttons do, for the tab at index of tabs.
    void CloseTab(QTabWidget* tabs, int index);
    // Makes the rows of the first answer that arrived (SearchResultTree.cpp); false once none
    // is left.
    bool AddRowsStep();
    // A tab's filter pass, from its first row (SearchResultTree.cpp): one under way for the tab
    // starts over, from the next turn on; the passes' steps (a folder's rows worked out, or all
    // the rows' states set), false once none is left.
    class FilterPass;
    struct Filtering
    {
        SearchResultsForm* tab = nullptr;
        std::shared_ptr<FilterPass> pass;
        bool applyPutOff = false;
    };
    void StartFilterPass(SearchResultsForm* tab, const QString& text);
    bool FilterStep();
    // A closed tab being taken apart: its user rows, out of its tree, the folder rows of the one
    // at hand, the nodes that tied them to the store and its answers, each as id and item, left
    // to delete and remove.
    struct ClosingTab
    {
        QWidget* tab = nullptr;
        QTreeWidget* tree = nullptr;
        QList<QTreeWidgetItem*> folders;
        std::vector<std::pair<uint32_t, Item*>> nodes;
        std::vector<std::pair<uint32_t, Item*>> answers;
        // Deletes a row (a folder's with its files, or a user's once its folders are out of it),
        // or removes an answer or a folder's node, or a user's once it has none; true once all
        // is done.
        bool Step();
    };
    // Takes the first closed tab apart a step at a time, then deletes it; the store is swept
    // in slices after the last.
    bool CloseStep();
    // Sends a manual search and asks for its related searches.
    void Search(const std::string& text);
    // The wish of that text, made, enabled and given its row when it is not a wish yet.
    void AddWish(const std::string& text);
    // The row's check box, or null.
    QCheckBox* WishCheckBox(Item* wish) const;
    // The wish-list keys of the tool bar; false for any other key.
    bool OnWishListAction(const std::string& key);

    std::unique_ptr<Ui_SearchForm> ui;
    // Taken by Init.
    ActionSetToolBar* m_bar = nullptr;
    Server* m_server = nullptr;
    // Answers waiting for their rows, in the order they came, as id and item: an answer whose
    // tab closed meanwhile is gone from the store, and its id no longer names it.
    std::deque<std::pair<uint32_t, Item*>> m_arrived;
    SlicedJob m_addRows;
    // The filter passes under way, a tab's at most; the first is worked on.
    std::vector<Filtering> m_filterPasses;
    SlicedJob m_filtering;
    std::vector<std::unique_ptr<ClosingTab>> m_closing;
    SlicedJob m_closingTabs;
};

extern SearchForm* searchForm;

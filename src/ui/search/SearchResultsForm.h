#pragma once

#include "store/Data.h"

#include <QWidget>

#include <memory>
#include <string>

class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;
class Ui_SearchResultsForm;

// One tab of the search page: the result tree of one search, a pane of related searches that the
// server suggests (manual searches only), and a filter bar with the filter line, the saved
// filters, the filter help and a clear button.
//
// SearchForm makes it (CreateSearchForm), sets up its tree, ties it to the store with a
// search_results_widget item and registers it; it applies the filter to the rows and answers
// clicks on related searches. The tab itself keeps the saved filters in step with the store
// (every tab shows every saved filter) and sorts its tree when asked. The tree's own sorting is
// off: rows are ordered only by Sort().
class SearchResultsForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // The combo box's first entry, which stands for no saved filter.
    static constexpr int kNoSavedFilterIndex = 0;
    // The related-searches pane's width when it shows.
    static constexpr int kCorrelationsWidth = 150;
    // The pane shows the best-ranked related searches up to this many: the server may send a
    // hundred thousand, and a row each would hold the window for seconds.
    static constexpr int kMaxCorrelationsShown = 200;
    // A related search's row keeps the text as the server sent it under this role: its cell
    // shows it made one line, and it is searched as it came.
    static constexpr int kCorrelationRole = Qt::UserRole;

    // text: the search text (UTF-8) the tab shows results of. A manual tab follows the related
    // searches the server suggests: it throws MissingDependencyError without the server
    // connection.
    SearchResultsForm(const std::string& text, bool wishList, QWidget* parent = nullptr);
    ~SearchResultsForm() override;

    // The tab whose address the item (a search_results_widget) holds, or null when it names no
    // live tab.
    static SearchResultsForm* FromItem(ItemPtr item);

    // Called once the tab is registered: the tree takes the focus within the tab, and the combo
    // box lists the saved filters and follows them from then on.
    void Init();

    QTreeWidget* searchResults() const;
    QLineEdit* filterEdit() const;
    QTreeWidget* CorrelationsWidget() const;
    // The text of a related search's row, as the server sent it.
    static std::string CorrelationBytes(const QTreeWidgetItem* row);

    const std::string& SearchText() const { return m_text; }
    bool IsWishList() const { return m_wishList; }

    // Kept for Sort(); nothing is sorted now.
    void SetSortingParamters(int column, Qt::SortOrder order);
    int SortColumn() const { return m_sortColumn; }
    Qt::SortOrder SortOrder() const { return m_sortOrder; }

    // Fills the related-searches pane from the store, best rank first, and shows it when there is
    // any.
    void PopulateCorrelations();

public Q_SLOTS:
    // Sorts the tree by the kept column and order.
    void Sort();
    void OnFilterHelpClicked();
    void OnClearFilterClicked();
    void OnSaveFilterClicked();
    void OnSavedFiltersBoxIndexChanged(int index);
    // The save button's text follows the filter line (the rows are filtered by SearchForm).
    void OnFilterTextChanged(const QString& text);
    // The server's related searches for a text are in the store.
    void OnSearchCorrelations(std::string text);

protected:
    // A tab that comes into view ends its alert on the event tool bar.
    void showEvent(QShowEvent* event) override;

private:
    void OnSavedFilterAdded(Item* filter);
    void OnSavedFilterRemoved(Item* filter);
    void UpdateSaveFilterButton(const QString& text);

    std::unique_ptr<Ui_SearchResultsForm> ui;
    int m_sortColumn = 1;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
    std::string m_text;
    bool m_wishList;
};

// A saved filter's key: the text with its runs of white space made single blanks and its ends
// trimmed, lower-cased, as a saved_filter keeps it (UTF-8). The page's types must be declared.
std::string SavedFilterKey(const QString& text);

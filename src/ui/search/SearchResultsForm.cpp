#include "ui/search/SearchResultsForm.h"

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shell/DisplayText.h"
#include "shell/EventToolBar.h"
#include "shell/ShellServices.h"
#include "shell/Ties.h"
#include "shell/UIFunctions.h"
#include "ui/search/FilterHelpDialog.h"
#include "ui/search/SearchTypes.h"

#include "ui_SearchResultsForm.h"

#include <QHeaderView>

#include <algorithm>

namespace {

const QString kSaveFilterText = QStringLiteral("Save Filter");
const QString kRemoveFilterText = QStringLiteral("Remove Filter");
// The tree keeps the focus within a tab before anything else of it.
constexpr int kTreeFocusPriority = 2;

LiveSet& LiveTabs()
{
    static LiveSet tabs;
    return tabs;
}

// The server connection for a manual tab, whose related searches come from it; a wish-list tab
// shows none and needs nothing.
Server* RelatedSearchesSource(bool wishList)
{
    if (wishList)
        return nullptr;
    return &RequireServer("A search results tab");
}

} // namespace

std::string SavedFilterKey(const QString& text)
{
    return StoredBytes(d.GetType(SearchTypes::SavedFilter), text.simplified().toLower());
}

SearchResultsForm::SearchResultsForm(const std::string& text, bool wishList, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui_SearchResultsForm>()), m_text(text),
      m_wishList(wishList)
{
    // Before the tab is anything: it is not made without what it needs.
    Server* server = RelatedSearchesSource(wishList);
    LiveTabs().Insert(this);
    ui->setupUi(this);
    ui->searchResultsTreeWidget->setSortingEnabled(false);
    // The tree takes what the tab gains in width; the related searches keep theirs.
    ui->splitter->setStretchFactor(0, 1);
    ui->splitter->setStretchFactor(1, 0);
    ui->correlationsWidget->hide();
    ui->correlationsWidget->setHeaderLabels({QStringLiteral("related searches")});

    connect(ui->pushButton, &QPushButton::clicked, this, &SearchResultsForm::OnFilterHelpClicked);
    connect(ui->saveFilterButton, &QPushButton::clicked, this,
            &SearchResultsForm::OnSaveFilterClicked);
    connect(ui->filterEdit, &QLineEdit::textChanged, this, &SearchResultsForm::OnFilterTextChanged);
    connect(ui->savedFiltersBox, &QComboBox::currentIndexChanged, this,
            &SearchResultsForm::OnSavedFiltersBoxIndexChanged);
    connect(ui->pushButton_2, &QPushButton::clicked, this,
            &SearchResultsForm::OnClearFilterClicked);

    // The server suggests related searches for manual searches only.
    if (!server)
        return;
    PopulateCorrelations();
    connect(server, &Server::SearchCorrelations, this, &SearchResultsForm::OnSearchCorrelations);
}

SearchResultsForm::~SearchResultsForm()
{
    LiveTabs().Erase(this);
    Ties::Remove(SearchTypes::SearchResultsWidget, this);
}

SearchResultsForm* SearchResultsForm::FromItem(ItemPtr item)
{
    return LiveTabs().Follow<SearchResultsForm>(item);
}

void SearchResultsForm::Init()
{
    RegisterWidgetForTabFocus(ui->searchResultsTreeWidget, kTreeFocusPriority);
    Type* filters = d.GetType(SearchTypes::SavedFilter);
    for (Item* filter : filters->GetItems())
        ui->savedFiltersBox->addItem(Shown(filter));
    filters->itemAddedEvent.Add(NewEventHandler(this, &SearchResultsForm::OnSavedFilterAdded));
    filters->itemRemovedEvent.Add(NewEventHandler(this, &SearchResultsForm::OnSavedFilterRemoved));
}

QTreeWidget* SearchResultsForm::searchResults() const
{
    return ui->searchResultsTreeWidget;
}

QLineEdit* SearchResultsForm::filterEdit() const
{
    return ui->filterEdit;
}

QTreeWidget* SearchResultsForm::CorrelationsWidget() const
{
    return ui->correlationsWidget;
}

std::string SearchResultsForm::CorrelationBytes(const QTreeWidgetItem* row)
{
    return row ? row->data(0, kCorrelationRole).toByteArray().toStdString() : std::string();
}

void SearchResultsForm::SetSortingParamters(int column, Qt::SortOrder order)
{
    m_sortColumn = column;
    m_sortOrder = order;
}

void SearchResultsForm::Sort()
{
    // Files are put in order under their folder as they arrive, and folder rows have nothing
    // to order by: only the user rows are sorted, where the tree's own sort goes through every
    // row. The rows compare by the column the header shows.
    QTreeWidget* tree = ui->searchResultsTreeWidget;
    tree->header()->setSortIndicator(m_sortColumn, m_sortOrder);
    tree->invisibleRootItem()->sortChildren(m_sortColumn, m_sortOrder);
}

void SearchResultsForm::PopulateCorrelations()
{
    ui->correlationsWidget->clear();
    ui->correlationsWidget->hide();
    ItemPtr text = d.GetType(ServerTypes::SearchRequestText)->GetItem(Value(m_text));
    const ItemList ranked = text.GetItems(ServerTypes::SearchCorrelation)
                                .SortNumericBy(ServerTypes::CorrelationRank, false);
    const size_t shown = std::min(ranked.size(), size_t(kMaxCorrelationsShown));
    for (size_t i = 0; i < shown; ++i) {
        const ItemPtr text = ItemPtr(ranked[i])[ServerTypes::CorrelationText];
        const std::string bytes = text.AsString();
        auto* row = new QTreeWidgetItem(ui->correlationsWidget, {CellText(Shown(text))});
        row->setData(0, kCorrelationRole, QByteArray::fromStdString(bytes));
    }
    if (ranked.empty())
        return;
    ui->correlationsWidget->show();
    ui->splitter->setSizes({width() - kCorrelationsWidth, kCorrelationsWidth});
}

void SearchResultsForm::OnSearchCorrelations(std::string text)
{
    if (text == m_text)
        PopulateCorrelations();
}

void SearchResultsForm::OnFilterHelpClicked()
{
    FilterHelpDialog::Open(this);
}

void SearchResultsForm::OnClearFilterClicked()
{
    ui->filterEdit->clear();
}

void SearchResultsForm::OnSaveFilterClicked()
{
    const std::string key = SavedFilterKey(ui->filterEdit->text());
    Type* filters = d.GetType(SearchTypes::SavedFilter);
    if (ItemPtr saved = filters->HasItem(Value(key)))
        saved.Remove();
    else if (!key.empty())
        filters->GetItem(Value(key));
}

void SearchResultsForm::OnSavedFiltersBoxIndexChanged(int index)
{
    if (index <= kNoSavedFilterIndex)
        return;
    ui->filterEdit->setText(ui->savedFiltersBox->itemText(index));
    ui->savedFiltersBox->setCurrentIndex(kNoSavedFilterIndex);
}

void SearchResultsForm::OnFilterTextChanged(const QString& text)
{
    UpdateSaveFilterButton(text);
}

void SearchResultsForm::OnSavedFilterAdded(Item* filter)
{
    ui->savedFiltersBox->addItem(Shown(filter));
    UpdateSaveFilterButton(ui->filterEdit->text());
}

void SearchResultsForm::OnSavedFilterRemoved(Item* filter)
{
    // Past the first entry: a filter saved as "-- saved filters" is not that entry.
    const QString text = Shown(filter);
    for (int i = kNoSavedFilterIndex + 1; i < ui->savedFiltersBox->count(); ++i) {
        if (ui->savedFiltersBox->itemText(i) == text) {
            ui->savedFiltersBox->removeItem(i);
            break;
        }
    }
    UpdateSaveFilterButton(ui->filterEdit->text());
}

void SearchResultsForm::UpdateSaveFilterButton(const QString& text)
{
    // A filter whose removal is being told is no longer found by its text.
    const bool saved =
        !d.GetType(SearchTypes::SavedFilter)->HasItem(Value(SavedFilterKey(text))).IsNull();
    ui->saveFilterButton->setText(saved ? kRemoveFilterText : kSaveFilterText);
}

void SearchResultsForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (EventToolBar* bar = ReachEventToolBar())
        bar->RemoveEvent(this);
}

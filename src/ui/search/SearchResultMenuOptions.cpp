#include "ui/search/SearchResultMenuOptions.h"

#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "shell/ShellServices.h"
#include "shell/Ties.h"
#include "transfers/TransferQueueManager.h"
#include "ui/search/SearchResultListItem.h"
#include "ui/search/SearchTypes.h"
#include "ui/search/ShareForm.h"
#include "ui/search/SharesForm.h"

#include <QMenu>

namespace {

using namespace SearchTypes;

const QString kDownloadIcon = QStringLiteral(":/icons/download_icon");

} // namespace

SearchResultMenuOptions::SearchResultMenuOptions(QMenu* menu, QTreeWidgetItem* row, QObject* parent)
    : QObject(parent), m_row(row)
{
    const ItemPtr fileNode = Ties::Find(SearchResultNode, row);
    const ItemPtr folderNode = Ties::Find(SearchResultsFolderNode, row);
    // The file row's own result; for a folder row any of its files' (one user, one search).
    ItemPtr result;
    if (fileNode) {
        connect(menu->addAction(QIcon(kDownloadIcon), QStringLiteral("Download File")),
                &QAction::triggered, this, &SearchResultMenuOptions::OnDownloadFile);
        result = fileNode[PeerTypes::SearchResult];
        m_resultFolder = result[PeerTypes::SearchResultFileFolder].AsString();
    } else if (folderNode) {
        m_resultFolder = folderNode[PeerTypes::SearchResultFileFolder].AsString();
        result = ItemPtr(folderNode[SearchResultNode])[PeerTypes::SearchResult];
    } else {
        return;
    }
    const ItemPtr answer = result[PeerTypes::SearchResults];
    m_searchText = answer[ServerTypes::SearchRequest][ServerTypes::SearchRequestText].AsString();
    m_resultUser = answer[ServerTypes::User].AsString();
    connect(menu->addAction(QIcon(QStringLiteral(":/icons/downloads_icon")),
                            QStringLiteral("Download Folder")),
            &QAction::triggered, this, &SearchResultMenuOptions::OnDownloadFolder);
    connect(menu->addAction(QIcon(QStringLiteral(":/icons/browse_icon")),
                            QStringLiteral("Browse Folder")),
            &QAction::triggered, this, &SearchResultMenuOptions::OnBrowseFolder);
}

SearchResultMenuOptions::~SearchResultMenuOptions() = default;

ItemPtr SearchResultMenuOptions::SearchTextItem() const
{
    return d.GetType(ServerTypes::SearchRequestText)->GetItem(Value(m_searchText));
}

void SearchResultMenuOptions::QueueResults(const ItemSet& results, ItemPtr searchText)
{
    TransferQueueManager* transfers = ReachTransfers();
    if (!transfers)
        return;
    const QIcon queued(kDownloadIcon);
    for (Item* item : results.SortAlphabeticBy(PeerTypes::SearchResultFileName, true)) {
        const ItemPtr result(item);
        const ItemPtr entry =
            transfers->AddDownload(result[PeerTypes::SearchResults][ServerTypes::User].AsString(),
                                   result[PeerTypes::SearchResultFileName].AsString(),
                                   result[PeerTypes::SearchResultFileFolder].AsString(),
                                   result[PeerTypes::FileSize].AsInt64(), 0);
        entry += searchText;
        if (SearchResultListItem* row = SearchResultListItem::FromItem(result[SearchResultNode]))
            row->setIcon(SearchResultListItem::FileColumn, queued);
    }
}

void SearchResultMenuOptions::OnDownloadFile()
{
    const ItemPtr result = Ties::Find(SearchResultNode, m_row)[PeerTypes::SearchResult];
    if (result)
        QueueResults(ItemSet(result), SearchTextItem());
}

void SearchResultMenuOptions::OnDownloadFolder()
{
    ItemPtr folderNode = Ties::Find(SearchResultsFolderNode, m_row);
    if (!folderNode)
        folderNode = Ties::Find(SearchResultNode, m_row)[SearchResultsFolderNode];
    if (folderNode)
        QueueResults(folderNode.GetItems(SearchResultNode).GetItems(PeerTypes::SearchResult),
                     SearchTextItem());
}

void SearchResultMenuOptions::OnBrowseFolder()
{
    if (!sharesForm)
        return;
    if (ShareForm* tab = sharesForm->OpenShareBrowse(m_resultUser))
        tab->BrowseToFolder(m_resultFolder);
}

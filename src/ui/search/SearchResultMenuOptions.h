#pragma once

#include "store/Data.h"

#include <QObject>

#include <string>

class QMenu;
class QTreeWidgetItem;

// The result entries of a search results tree's context menu, which go before the user's own
// (UserMenuOptions): for a file row "Download File", then for file and folder rows "Download
// Folder" and "Browse Folder"; a user row gets none. The search page makes one for the menu and
// the row (no parent), runs the menu and deletes both when it closes, so its slots run while
// the menu is open.
//
// Nothing of the store is held between calls: each slot looks the row's items up again by the
// row's address, so a row whose results left the store meanwhile queues nothing.
class SearchResultMenuOptions : public QObject
{
    Q_OBJECT

public:
    SearchResultMenuOptions(QMenu* menu, QTreeWidgetItem* row, QObject* parent = nullptr);
    ~SearchResultMenuOptions() override;

    // Queues the results (search_result items) with the transfer engine in ascending file-name
    // order, byte-wise (equal names in set order), each with the folder as the peer sent it and
    // subfolder level 0; ties each download to searchText (a search_request_text) and marks the
    // result's file row, where it has a live one. What the menu and a double click both do.
    static void QueueResults(const ItemSet& results, ItemPtr searchText);

public Q_SLOTS:
    void OnDownloadFile();
    // Every file row of the row's folder in this tab, rows the filter hides too; not the
    // folders below it.
    void OnDownloadFolder();
    // The user's share browser, at the row's folder now or once the share arrives.
    void OnBrowseFolder();

private:
    ItemPtr SearchTextItem() const;

    // Only ever a key for the store: the row may be gone by the time a slot runs.
    QTreeWidgetItem* m_row;
    std::string m_searchText;
    std::string m_resultUser;
    std::string m_resultFolder;
};

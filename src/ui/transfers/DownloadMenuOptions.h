#pragma once

#include "store/Data.h"

#include <QObject>
#include <QString>

class QMenu;

// The download entries of a context menu of the downloads tree: open the finished file or its
// folder, remove the downloads, ask to be told when the file, the folder or all of the user's
// downloads complete, and run again the search that found them. Made on the menu for the entries
// under the clicked row, before the user's entries (UserMenuOptions); it lives as long as the
// menu runs, and its slots run while the menu is open.
//
// Entries may go while the menu is open (finished and cleared, or removed by a peer's doing):
// they leave the menu's set at once, and each slot works on those left, finding their user and
// folder anew.
class DownloadMenuOptions : public QObject, public DataHandler
{
    Q_OBJECT

public:
    // Adds nothing for no entries; otherwise a separator first when the menu holds entries.
    DownloadMenuOptions(QMenu* menu, const ItemSet& entries, QObject* parent = nullptr);
    ~DownloadMenuOptions() override;

public Q_SLOTS:
    void OnOpenFile();
    void OnOpenFolder();
    void OnRemoveDownloads();
    void OnSetFileDownloadAlert();
    void OnSetFolderDownloadAlert();
    void OnSetUserDownloadAlert();
    void OnRerunSearch();

private:
    void OnDownloadEntryRemoved(Item* entry);
    // The one item of that type all entries are linked to; null when they are linked to more
    // than one, or there are none.
    ItemPtr Shared(const char* type) const;
    void LookUpUserAndFolder();
    // Opens the first entry's finished file, or its folder, with the desktop.
    void Open(bool folder);

    // The entries; the first is the first in the set's order.
    ItemSet items;
    QString searchText;
    // The search text as stored, searched again as it is: searchText is its decoding.
    std::string m_searchBytes;
    ItemPtr entryUser;
    ItemPtr entryFolder;
};

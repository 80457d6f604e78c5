#pragma once

#include "store/Data.h"
#include "store/SlicedJob.h"

#include <QWidget>

#include <memory>
#include <string>

class FilterParser;
class QTreeWidgetItem;
class Ui_ShareForm;

// One tab of the Browse page: the shares of one other user. While the list is on its way the tab
// shows a status pane only; once the shared-folder manager has stored it, a folder tree, the
// selected folder's files and a filter line. Files and whole folders, with everything below them,
// are queued with the transfer engine from here.
//
// The tab never changes the share tree. Its rows are tied to the tree's folders and files with
// user_share_folder_node and user_share_file_node items, and the tab to its user with a
// user_share_tab item, from construction to Delete.
//
// A share's folder depth is the peer's to choose. Every walk of the tree here uses a work list,
// and rows nest at most kMaxShareTreeDepth deep: Qt lays out and deletes tree rows one call per
// level, and a chain of tens of thousands of levels overflows its stack.
class ShareForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // The deepest chain of folder rows; a folder below it is shown as a top-level row, as a
    // folder whose parent the list does not hold is.
    static constexpr int kMaxShareTreeDepth = 256;

    // A tab for the user (the name as the server sends it), waiting for the share list.
    ShareForm(std::string user, QWidget* parent = nullptr);
    ~ShareForm() override;

    // The tab whose address the item (a user_share_tab) holds, or null when it names no live
    // tab.
    static ShareForm* FromItem(ItemPtr item);

    // The user's share list has been stored: builds the folder tree. A tab shows the first
    // share it gets; a later one is removed from the store.
    void SetShare(ItemPtr userShare);
    // Selects the folder row of that full path (as the peer sent it), now or when the share
    // arrives. A path the share does not hold changes nothing.
    void BrowseToFolder(std::string folder);

    // Opens one more level of the tree each time, down to the deepest.
    void ExpandLevel();
    void CollapseAll();
    void ExpandAll();

    // Drops the user's share and the tab's tie from the store and deletes the tab; what the
    // Browse page does once it took the tab out of its tab widget. The folder tree, out of the
    // tab and hidden, goes to the caller, whose to delete: a big tree lets go of its rows in
    // most of a turn's time, so it does in a turn of its own.
    [[nodiscard]] std::unique_ptr<QWidget> Delete();

    // Queues the folder's files and those of every folder below it: the folder's own with
    // subfolder level 0 (1 when isSubfolder), all others with level 1.
    void DownloadFolder(ItemPtr folder, bool isSubfolder);

    // Shows or hides the row and the rows below it by the filter; whether the row shows.
    bool FilterFolderNode(QTreeWidgetItem* row, FilterParser& filter);

    const std::string& UserName() const { return m_userName; }
    // Whether the share list came, or word that it will not.
    bool IsAnswered() const { return m_answered; }
    // The deepest level of a folder row, top-level rows being level 0, and how many levels
    // Expand Level has opened.
    int DeepestLevel() const { return m_deepestLevel; }
    int ExpandedLevel() const { return m_expandedLevel; }
    // Whether the folder tree of the share is still being put together: a big share's rows are
    // made a slice at a time, and the tree shows once they are all there.
    bool IsBuildingTree() const { return m_treeBuild != nullptr; }

public Q_SLOTS:
    void OnConnectionToUserFailed(std::string user, std::string type);
    void OnActionBarTriggered(QWidget* widget, std::string key);
    void OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void OnFileItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void OnFilterTextChanged(const QString& text);
    void OnFilterHelpClicked();
    void OnFolderDoubleClicked(QTreeWidgetItem* row, int column);
    void OnFileDoubleClicked(QTreeWidgetItem* row, int column);

protected:
    // A tab that comes into view ends its tree's alert on the event tool bar.
    void showEvent(QShowEvent* event) override;

private:
    struct TreeBuild;
    // A step of the tree's build (a folder's path taken, a row made, what the build held let go
    // of) or, once its rows are all made, the tree shown; false once nothing is left.
    bool TreeStep();
    void ShowTree();
    void OnUserShareItemRemoved(Item* removed);
    // The folder tree, the file list and the filter line, which show once a share arrived.
    void SetShareShown(bool shown);
    // The folder a folder row stands for, and the file of a file row; null for other rows.
    ItemPtr RowFolder(QTreeWidgetItem* row) const;
    ItemPtr RowFile(QTreeWidgetItem* row) const;
    // Empties the file list and removes the ties of its rows.
    void ClearFileList();
    // Fills the file list with the folder row's files that pass the filter line.
    void FillFileList(QTreeWidgetItem* current);
    // Queues one file with the transfer engine and marks its row, if it has one.
    void DownloadFile(ItemPtr file, int level);

    std::unique_ptr<Ui_ShareForm> ui;
    Item* m_userShare = nullptr;
    int m_deepestLevel = 0;
    int m_expandedLevel = 0;
    std::string m_userName;
    bool m_answered = false;
    std::string m_pendingBrowseFolder;
    std::unique_ptr<TreeBuild> m_treeBuild;
    SlicedJob m_treeJob;
};

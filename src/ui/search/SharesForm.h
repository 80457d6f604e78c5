#pragma once

#include "shell/TreeWidget.h"
#include "store/Data.h"
#include "store/SlicedJob.h"

#include <QWidget>

#include <memory>
#include <set>
#include <string>
#include <vector>

class ShareForm;
class Ui_SharesForm;

// The Browse page: one closable tab per browsed user, each a ShareForm. It declares the store
// types that tie tabs and rows to the store (ui/search/ShareTypes.h), adds the tool bar's actions
// of the tabs, and is the one way the rest of the program opens a browse: OpenShareBrowse here,
// or the browseUser hook (shell/FormHooks.h) that Init sets for the forms below this one.
//
// A tab is unique per user through its user_share_tab item. The peer's answer is stored by the
// shared-folder manager as a user_share tree, flagged user_share_loaded once complete; the page
// hands it to the user's tab, or drops it when the tab is gone. A list asked for by a tab that
// was closed before it came is no answer to a tab opened since (a big list is read on a thread
// for seconds): it is dropped, and the open tab asks again.
class SharesForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* parent = nullptr);
    ~SharesForm() override;

    // Called once by start-up, after the transfer engine is built and before the store file is
    // loaded. Throws MissingDependencyError, before it wires anything, without the context tool
    // bar.
    void Init();

    // Opens the user's tab and asks the peer for its share list, or brings the open tab forward
    // without asking again. user: the name as the server sends it.
    ShareForm* OpenShareBrowse(std::string user);

    // Store handler: a user_share got its user_share_loaded flag.
    void OnUserShare(Item* userShare);

public Q_SLOTS:
    void OnTabCloseRequested(int index);
    // Expand Level, Collapse All and Expand All, for the tab in view.
    void OnToolBarActionTriggered(QWidget* widget, std::string key);

public:
    // Folder trees of closed tabs still to delete.
    size_t ClosedTreeCount() const { return m_closedTrees.size(); }

private:
    // A step of deleting the first closed tree; false once none is left.
    bool DeleteClosedTreeStep();

    std::unique_ptr<Ui_SharesForm> ui;
    // The folder tree of a closed tab, deleted from the turn after the tab on, a step of rows at
    // a time (RowsToDelete), the empty tree last. A million-file share's 50,000 expanded folder
    // rows take 50-70 ms to delete in one go.
    struct ClosedTree
    {
        std::unique_ptr<QWidget> tree;
        RowsToDelete rows;
        bool taken = false;
    };
    std::vector<std::unique_ptr<ClosedTree>> m_closedTrees;
    SlicedJob m_deleteTrees;
    // Users whose tab was closed while their list was still on its way.
    std::set<std::string> m_listsOfClosedTabs;
};

extern SharesForm* sharesForm;

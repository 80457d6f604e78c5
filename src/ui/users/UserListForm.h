#pragma once

#include "store/Data.h"

#include <QPoint>
#include <QWidget>

#include <memory>
#include <string>

class ActionSetToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class Server;
class Ui_UserListForm;
class UserListItemWidget;

// The row tie types of the page's three lists: the value is the row's address, the item is
// connected to the row's user. Never saved.
namespace UserListTypes {

inline constexpr char UserListNode[] = "user_list_node";
inline constexpr char UnsharedListNode[] = "unshared_list_node";
inline constexpr char IgnoredListNode[] = "ignored_list_node";

} // namespace UserListTypes

// The Users page: three lists on tabs of their own, "User List" (the user's own list, with the
// online dot, the user's groups and note), "Unshared" and "Ignored". Each mirrors a flag of the
// user in the store (in_user_list, unshared, is_ignored): the store's path handlers add, change
// and remove rows whoever changes the flags, the online state, the note or the groups. Every
// listed user is tracked with the server, which reports whether the user is online.
//
// The user list keeps online users above offline ones. A login brings every listed user online
// at once: each change asks for a sort, and one sort in the next turn of the event loop serves
// the whole burst.
class UserListForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    explicit UserListForm(QWidget* parent = nullptr);
    ~UserListForm() override;

    // Called once by start-up, after the store file is loaded and the login started: the row
    // types, the three lists from the saved flags, the store handlers and the tool bar's set.
    // Without the context tool bar it throws MissingDependencyError before wiring anything.
    void Init();

    // Refreshes the user's "Groups" cell: the group names in byte order, joined by ", ".
    void UpdateUserGroupsDisplay(const std::string& name);

public Q_SLOTS:
    // "manual_add_user" and "configure_user_groups" from the bar; "remove_user" (the selected
    // row's user leaves the list) and "user_groups" (the groups dialog of the bar's key "user")
    // are answered too, though no set offers them.
    void OnActionBarTriggered(QWidget* widget, std::string id);
    // A right click: the row's user menu (UserMenuOptions), run at the click.
    void OnUserListContextMenuRequested(const QPoint& position);
    void OnUnsharedListContextMenuRequested(const QPoint& position);
    void OnIgnoredListContextMenuRequested(const QPoint& position);

private:
    // Store handlers, each given the user concerned.
    void OnUserOnline(Item* user);
    void OnUserOffline(Item* user);
    void OnUserAddedToList(Item* user);
    void OnUserRemovedFromList(Item* user);
    void OnUserUnshared(Item* user);
    void OnUserReshared(Item* user);
    void OnUserIgnored(Item* user);
    void OnUserUnignored(Item* user);
    void OnUserNoteChanged(Item* user);
    void OnUserNoteRemoved(Item* user);
    void OnUserGroupAdded(Item* user);
    void OnUserGroupRemoved(Item* user);

    void RegisterUserHandlers();
    void RegisterGroupHandlers();
    void AddActions(ActionSetToolBar& bar);
    // A user-list row for the user, in no tree yet, its user tracked with the server (when there
    // is one); null when the user has a row already.
    UserListItemWidget* MakeUserListRow(ItemPtr user, Server* server);
    // A row of the unshared or ignored list, of that tie type.
    void MakePlainRow(QTreeWidget* list, const char* nodeType, ItemPtr user);
    // Deletes the user's row of that tie type, and the tie.
    void RemoveRow(ItemPtr user, const char* nodeType);
    // The note (or none) into the row's note column.
    static void ShowNote(QTreeWidgetItem* row, int column, ItemPtr user);
    static void ShowGroups(QTreeWidgetItem* row, ItemPtr user);
    // The dot of the user's row, then a sort.
    void ShowOnline(ItemPtr user, bool online);
    // Sorts the user list in the next turn of the event loop, once however often asked.
    void ResortUserList();
    void RunUserMenu(QTreeWidget* list, const QPoint& position);

    std::unique_ptr<Ui_UserListForm> ui;
    bool m_sortPending = false;
};

extern UserListForm* userListForm;

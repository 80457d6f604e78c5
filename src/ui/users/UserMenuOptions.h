#pragma once

#include <QObject>

#include <string>

class QAction;
class QMenu;

// The per-user entries of a context menu, which the search, transfers, room, chat and user-list
// forms share: a form that shows users makes a menu on a right click, may put its own entries
// first, then makes one of these for the menu and the row's user (no parent), runs the menu
// (ModalDialogs::RunMenu) and deletes the menu and this object when it closes. Its slots run
// while the menu is open.
//
// The entries are built from the store as it is when the menu opens: the user list and its
// groups, private chat, browsing, the note, sharing and ignoring, and the user's membership and
// operator status in the private rooms this client owns or operates. Some of them take the
// user off a list whose row the menu was opened on: a caller takes the name before running the
// menu and touches no row or item after it.
//
// Names travel in the entries' data with each byte one Latin-1 character, so a slot gets back
// the exact bytes of the name whatever they are.
class UserMenuOptions : public QObject
{
    Q_OBJECT

public:
    UserMenuOptions(QMenu* menu, const std::string& user, QObject* parent = nullptr);
    ~UserMenuOptions() override;

    const std::string& User() const { return m_user; }

public Q_SLOTS:
    void OnMessageUser();
    void OnSetUserGroups();
    void OnAddUser();
    void OnRemoveUser();
    void OnBrowseUser();
    // Connected to no entry: nothing writes item logs yet, so the viewer would always be empty.
    void OnUserLog();
    void OnUnshareFilesFromUser();
    void OnReshareFilesWithUser();
    void OnIgnoreUser();
    void OnUnignoreUser();
    void OnAddUserMembership();
    void OnRemoveUserMembership();
    void OnAddUserOperatorship();
    void OnRemoveUserOperatorship();
    void OnUserNote();

private:
    using Slot = void (UserMenuOptions::*)();
    // An entry carrying the name (bytes) as its data.
    QAction* AddEntry(QMenu* menu, const char* text, const char* icon, Slot slot,
                      const std::string& name);
    // The room's submenu under "Private Rooms"; an owned room also offers the operator entries.
    void AddRoomMenu(QMenu* rooms, const std::string& room, bool owned);
    // The name the triggering entry carries, as bytes; empty when no entry triggered the slot.
    std::string SenderName() const;

    std::string m_user;
};

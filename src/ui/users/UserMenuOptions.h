#pragma once

#include <QObject>

#include <string>

class QMenu;

// The per-user entries of a context menu, which the search, transfers, room, chat and user-list
// forms share: a form that shows users makes a menu on a right click, may put its own entries
// first, then makes one of these for the menu and the row's user (no parent), runs the menu
// (ModalDialogs::RunMenu) and deletes the menu and this object when it closes. Its slots run
// while the menu is open.
//
// For now it adds no entry: the users page fills it with the user's entries (private chat,
// browse, the user list and its groups, ignoring, notes) and keeps this constructor.
class UserMenuOptions : public QObject
{
    Q_OBJECT

public:
    UserMenuOptions(QMenu* menu, const std::string& user, QObject* parent = nullptr);
    ~UserMenuOptions() override;

    QMenu* Menu() const { return m_menu; }
    const std::string& User() const { return m_user; }

private:
    QMenu* m_menu;
    std::string m_user;
};

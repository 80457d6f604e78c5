#include "ui/users/UserListForm.h"

#include "shell/FormHooks.h"
#include "ui/users/UserMenuOptions.h"

#include <QMenu>

UserListForm* userListForm = nullptr;

UserListForm::UserListForm(QWidget* parent) : QWidget(parent)
{
    userListForm = this;
}

UserListForm::~UserListForm()
{
    FormHooks::Get().fillUserMenu = nullptr;
    if (userListForm == this)
        userListForm = nullptr;
}

void UserListForm::Init()
{
    // Forms below the users page (the chat tabs) reach the per-user entries through the hook;
    // the entries live as long as the menu they fill.
    FormHooks::Get().fillUserMenu = [](QMenu* menu, const std::string& user) {
        new UserMenuOptions(menu, user, menu);
    };
}

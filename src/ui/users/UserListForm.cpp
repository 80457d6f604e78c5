#include "ui/users/UserListForm.h"

UserListForm* userListForm = nullptr;

UserListForm::UserListForm(QWidget* parent) : QWidget(parent)
{
    userListForm = this;
}

UserListForm::~UserListForm()
{
    if (userListForm == this)
        userListForm = nullptr;
}

void UserListForm::Init() {}

#include "ui/users/UserMenuOptions.h"

UserMenuOptions::UserMenuOptions(QMenu* menu, const std::string& user, QObject* parent)
    : QObject(parent), m_menu(menu), m_user(user)
{
}

UserMenuOptions::~UserMenuOptions() = default;

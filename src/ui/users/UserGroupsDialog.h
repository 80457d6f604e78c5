#pragma once

#include "store/Data.h"

#include <QDialog>

#include <memory>
#include <string>

class QListWidgetItem;
class Ui_UserGroupsDialog;

// One listed user's groups: every group as a check box, ticked where the user belongs to it,
// and a line to create groups. A tick or an untick changes the store at once; a group created
// anywhere while the dialog is open gains an unticked row. Closing the dialog destroys it.
class UserGroupsDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    UserGroupsDialog(const std::string& user, QWidget* parent = nullptr);
    ~UserGroupsDialog() override;

public Q_SLOTS:
    // Creates the group named in the line (trimmed), unticked; clears the line either way.
    void OnNewGroupButtonClicked();
    // Puts the user into the row's group or takes the user out of it. A user taken off the list
    // meanwhile has no groups to change: the tick changes nothing.
    void OnGroupItemChanged(QListWidgetItem* row);

private:
    // The store's new-item handler of user_list_group.
    void OnUserGroupAdded(Item* group);
    // An unticked row for the group's name.
    QListWidgetItem* AddRow(ItemPtr group);

    std::string m_user;
    std::unique_ptr<Ui_UserGroupsDialog> ui;
};

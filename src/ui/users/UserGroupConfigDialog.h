#pragma once

#include "store/Data.h"

#include <QDialog>

#include <memory>

class QListWidgetItem;
class Ui_UserGroupConfigDialog;

// Every group, and the selected group's download priority (0 to 99; 0 is no priority), stored as
// soon as the spin box changes. It follows groups made and removed anywhere while it is open.
// One at most: userGroupConfigDialog holds it while it lives; closing it destroys it.
class UserGroupConfigDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    explicit UserGroupConfigDialog(QWidget* parent = nullptr);
    ~UserGroupConfigDialog() override;

public Q_SLOTS:
    // Shows the priority of the new current row's group, or disables the spin box when no row
    // is current.
    void OnCurrentGroupItemChanged(QListWidgetItem* current, QListWidgetItem* previous);
    void OnPrioritySpinValueChanged(int value);

private:
    // The store's new-item and removed-item handlers of user_list_group.
    void OnUserGroupAdded(Item* group);
    void OnUserGroupRemoved(Item* group);

    std::unique_ptr<Ui_UserGroupConfigDialog> ui;
};

extern UserGroupConfigDialog* userGroupConfigDialog;

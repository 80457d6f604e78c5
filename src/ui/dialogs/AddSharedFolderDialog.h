#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QListWidget;

// Picks a folder to share and who may see it: everyone, the user list, or chosen user-list
// groups. OK stores a shared_folder item (the path as UTF-8) with that access; the shared-folder
// manager scans it as the item appears. It deletes itself when closed.
class AddSharedFolderDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AddSharedFolderDialog(QWidget* parent = nullptr);

    QLineEdit* selectedFolderEdit;
    QCheckBox* everyoneCheckBox;
    QCheckBox* userListCheckBox;
    QListWidget* groupsListWidget;

public Q_SLOTS:
    void OnSelectFolderClicked();
    // With no folder chosen the dialog stays open and nothing is stored.
    void accept() override;
    void OnAccessibleToEveryoneCheckStateChanged(int state);
    void OnAccessibleToUserListCheckStateChanged(int state);
};

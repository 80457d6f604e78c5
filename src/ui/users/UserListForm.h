#pragma once

#include <QWidget>

// The Users page. For now it holds nothing: the user list comes with its own form, which takes
// this one's place and keeps its constructor and Init.
class UserListForm : public QWidget
{
    Q_OBJECT

public:
    explicit UserListForm(QWidget* parent = nullptr);
    ~UserListForm() override;

    // Called once by start-up, after the store file is loaded.
    void Init();
};

extern UserListForm* userListForm;

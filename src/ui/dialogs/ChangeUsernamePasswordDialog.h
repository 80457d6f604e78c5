#pragma once

#include <QDialog>

#include <memory>

class Ui_ChangeUsernamePasswordDialog;

// Edits the login: the settings "username" and "password", which the server connection sends at
// the next login. Both fields show what is stored when the dialog opens, take Latin-1 only, and
// the password shows masked; it connects nothing itself.
class ChangeUsernamePasswordDialog : public QDialog
{
    Q_OBJECT

public:
    // firstRun: start-up asks for a login because none is stored (only the title differs).
    explicit ChangeUsernamePasswordDialog(bool firstRun, QWidget* parent = nullptr);
    ~ChangeUsernamePasswordDialog() override;

public Q_SLOTS:
    // Stores both fields, trimmed, as Latin-1. While either is blank, or holds a character
    // outside Latin-1, the dialog stays open and nothing is stored.
    void accept() override;

private:
    std::unique_ptr<Ui_ChangeUsernamePasswordDialog> ui;
};

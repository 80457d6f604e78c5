#pragma once

#include <QDialog>

#include <memory>
#include <string>

class Ui_UserNoteDialog;

// Edits one user's note, a window of its own. There is at most one per user: asking for the
// dialog of a user whose dialog is open brings that one forward. The note is stored only by
// "Save", which closes the dialog; closing it otherwise keeps the stored note. Either way the
// dialog is destroyed.
//
// The note is plain text: one that looks like markup is shown and stored as typed.
class UserNoteDialog : public QDialog
{
    Q_OBJECT

public:
    // Declares "user_note_dialog", which ties an open note dialog to its user. Called once by
    // start-up, after the store file is loaded.
    static void Init();
    // The user's open dialog, brought forward, or a new one; the caller shows it.
    static UserNoteDialog* GetDialog(const std::string& user);

    UserNoteDialog(const std::string& user, QWidget* parent = nullptr);
    ~UserNoteDialog() override;

public Q_SLOTS:
    // Stores the text, trimmed, as the user's note (none when it is empty) and closes.
    void OnSaveNote();
    // Empties the text; the stored note stays until "Save".
    void OnClearNote();

private:
    std::string m_user;
    std::unique_ptr<Ui_UserNoteDialog> ui;
};

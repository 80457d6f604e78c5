#pragma once

// The dialog that edits a user's note. For now only its store type exists; the dialog comes with
// the user list.
class UserNoteDialog
{
public:
    // Declares "user_note_dialog", which ties an open note dialog to its user. Called once by
    // start-up, after the store file is loaded.
    static void Init();
};

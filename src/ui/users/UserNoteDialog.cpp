#include "ui/users/UserNoteDialog.h"

#include "store/Data.h"

void UserNoteDialog::Init()
{
    // Holds a live dialog's address, so it is a root that is never saved.
    d.NewType("user_note_dialog", RootPrimacy, false, true);
}

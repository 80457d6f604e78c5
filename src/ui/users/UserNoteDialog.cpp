#include "ui/users/UserNoteDialog.h"

#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shell/DisplayText.h"
#include "shell/ShellTypes.h"
#include "shell/Ties.h"
#include "store/Schema.h"
#include "ui/users/ItemLogDialog.h"

#include "ui_UserNoteDialog.h"

#include <QIcon>

namespace {

const char kNoteDialogType[] = "user_note_dialog";

// Holds a live dialog's address, so it is a root that is never saved.
const SchemaType kTypes[] = {{kNoteDialogType, RootPrimacy, false, true, ValueKind::Address}};
const SchemaRelation kRelations[] = {{kNoteDialogType, ServerTypes::User, One, One}};

LiveSet& LiveDialogs()
{
    static LiveSet dialogs;
    return dialogs;
}

} // namespace

void UserNoteDialog::Init()
{
    DeclareSchema(MakeSchema(kTypes, kRelations));
    ItemLogDialog::DeclareRecordTypes();
}

UserNoteDialog* UserNoteDialog::GetDialog(const std::string& user)
{
    const ItemPtr userItem = ServerStore::User(user);
    if (auto* open = LiveDialogs().Follow<UserNoteDialog>(userItem[kNoteDialogType])) {
        open->activateWindow();
        return open;
    }
    auto* dialog = new UserNoteDialog(user);
    userItem += Ties::Make(kNoteDialogType, dialog);
    return dialog;
}

UserNoteDialog::UserNoteDialog(const std::string& user, QWidget* parent)
    : QDialog(parent), m_user(user), ui(std::make_unique<Ui_UserNoteDialog>())
{
    LiveDialogs().Insert(this);
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    // A window of its own: an open note must not keep the program running once the main window
    // has closed.
    setAttribute(Qt::WA_QuitOnClose, false);
    connect(ui->saveButton, &QPushButton::clicked, this, &UserNoteDialog::OnSaveNote);
    connect(ui->clearButton, &QPushButton::clicked, this, &UserNoteDialog::OnClearNote);
    // Plain: setText would take a note that looks like markup as markup, and the next save
    // would store what it rendered.
    if (const ItemPtr note = ServerStore::User(user)[ShellTypes::UserNote])
        ui->noteEdit->setPlainText(Shown(note));
    setWindowIcon(QIcon(QStringLiteral(":/icons/note_icon")));
    setWindowTitle(EscapeTitlePlaceholder(CellText(NameText(user))));
}

UserNoteDialog::~UserNoteDialog()
{
    LiveDialogs().Erase(this);
    Ties::Remove(kNoteDialogType, this);
}

void UserNoteDialog::OnSaveNote()
{
    Type* notes = d.GetType(ShellTypes::UserNote);
    const std::string text = StoredBytes(notes, ui->noteEdit->toPlainText().trimmed());
    const ItemPtr user = ServerStore::User(m_user);
    if (text.empty())
        user.Disconnect(ShellTypes::UserNote);
    else
        user += notes->GetItem(Value(text));
    accept();
}

void UserNoteDialog::OnClearNote()
{
    ui->noteEdit->clear();
}

#include "ui/dialogs/ChangeUsernamePasswordDialog.h"

#include "shell/DisplayText.h"
#include "shell/Latin1Validator.h"
#include "store/Settings.h"

#include "ui_ChangeUsernamePasswordDialog.h"

ChangeUsernamePasswordDialog::ChangeUsernamePasswordDialog(bool firstRun, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui_ChangeUsernamePasswordDialog>())
{
    ui->setupUi(this);
    // The login sends both as 8-bit text, each character one Latin-1 byte.
    ui->usernameEdit->setValidator(new Latin1Validator(ui->usernameEdit));
    ui->passwordEdit->setValidator(new Latin1Validator(ui->passwordEdit));
    ui->usernameEdit->setText(Shown(SettingKeys::Username));
    ui->passwordEdit->setText(Shown(SettingKeys::Password));
    if (firstRun)
        setWindowTitle(QStringLiteral("Set Username/Password"));
    activateWindow();
}

ChangeUsernamePasswordDialog::~ChangeUsernamePasswordDialog() = default;

void ChangeUsernamePasswordDialog::accept()
{
    const QString user = ui->usernameEdit->text().trimmed();
    const QString password = ui->passwordEdit->text().trimmed();
    if (user.isEmpty() || password.isEmpty())
        return;
    // Text set past the validator: stored, it would not be the text the user sees.
    if (!Latin1Validator::IsLatin1(user) || !Latin1Validator::IsLatin1(password))
        return;
    QDialog::accept();
    Settings::Set(SettingKeys::Username, StoredBytes(SettingKeys::Username, user));
    Settings::Set(SettingKeys::Password, StoredBytes(SettingKeys::Password, password));
}

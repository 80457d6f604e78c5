#include "ui/dialogs/ChangeUsernamePasswordDialog.h"

#include "store/Settings.h"

#include "ui_ChangeUsernamePasswordDialog.h"

namespace {

QString Stored(SettingKey key)
{
    const std::string text = Settings::Text(key);
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

} // namespace

ChangeUsernamePasswordDialog::ChangeUsernamePasswordDialog(bool firstRun, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui_ChangeUsernamePasswordDialog>())
{
    ui->setupUi(this);
    ui->usernameEdit->setText(Stored(SettingKeys::Username));
    ui->passwordEdit->setText(Stored(SettingKeys::Password));
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
    QDialog::accept();
    Settings::Set(SettingKeys::Username, user.toLatin1().toStdString());
    Settings::Set(SettingKeys::Password, password.toLatin1().toStdString());
}

#include "ChangeListeningPortDialog.h"

#include "peer/PeerMessenger.h"
#include "shell/DisplayText.h"
#include "shell/ModalDialogs.h"
#include "store/Settings.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

void Inform(QWidget* parent, const char* title, const char* text)
{
    ModalDialogs::MessageBox box;
    box.parent = parent;
    box.title = QString::fromLatin1(title);
    box.text = QString::fromLatin1(text);
    ModalDialogs::Current().Show(box);
}

} // namespace

ChangeListeningPortDialog::ChangeListeningPortDialog(QWidget* parent)
    : QDialog(parent), portEdit(new QLineEdit)
{
    setObjectName(QStringLiteral("ChangeListeningPortDialog"));
    setWindowTitle(QStringLiteral("Change Listening Port"));
    portEdit->setObjectName(QStringLiteral("portEdit"));
    portEdit->setMaxLength(5);
    portEdit->setInputMask(QStringLiteral("D9999"));
    portEdit->setText(Shown(SettingKeys::ListeningPort));
    auto* label =
        new QLabel(QStringLiteral("&Port (1 to %1):").arg(PeerMessenger::kMaxListeningPort));
    label->setBuddy(portEdit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    auto* field = new QFormLayout;
    field->addRow(label, portEdit);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(field);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &ChangeListeningPortDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // Cancel, Escape and the window's close button all end here; a dialog only hidden would
    // stay under the main window until the program ends, one more for each time it is opened.
    connect(this, &QDialog::rejected, this, &QObject::deleteLater);
}

void ChangeListeningPortDialog::accept()
{
    const int port = portEdit->text().toInt();
    if (port < 1 || port > PeerMessenger::kMaxListeningPort) {
        Inform(this, "Invalid Port Number", "Port number must be in the range of 1 to 65534.");
        return;
    }
    if (Settings::Int(SettingKeys::ListeningPort) == port) {
        Inform(this, "Port Number Not Changed", "Port number has not been changed.");
        return;
    }
    QDialog::accept();
    Settings::SetNumber(SettingKeys::NewListeningPort, port);
    Inform(this, "Change to Listening Port Pending",
           "Changes to the listening port will take effect after a client restart.");
    // Deferred: the button box that called us is still delivering its signal.
    deleteLater();
}

#pragma once

#include <QDialog>

class QLineEdit;

// Edits the plain listening port. The new port is kept as new_listening_port and takes effect at
// the next start; the port in use is never changed here.
class ChangeListeningPortDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ChangeListeningPortDialog(QWidget* parent = nullptr);

    QLineEdit* portEdit;

public Q_SLOTS:
    // A port outside 1 to 65534, or the one in use, is refused with a box and the dialog stays;
    // otherwise the port is stored, the user is told it waits for a restart, and the dialog goes.
    void accept() override;
};

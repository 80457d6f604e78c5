#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;

// Asks the server to enter, or create, a room by name, public or private. There is at most one:
// the global below names it while it exists. Closing the window only hides it; a submitted name
// closes and destroys it.
class CreateRoomDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CreateRoomDialog(QWidget* parent = nullptr);
    ~CreateRoomDialog() override;

    QLineEdit* roomNameEdit;
    QCheckBox* createPrivateCheckBox;

public Q_SLOTS:
    void OnButtonClicked();
};

extern CreateRoomDialog* createRoomDialog;

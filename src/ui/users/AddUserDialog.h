#pragma once

#include <QDialog>

#include <memory>
#include <string>

class Ui_AddUserDialog;

// Puts a typed user name on the user list once the server confirms that such a user exists. One
// request per attempt; the status line tells how it went. Several may be open; each reacts only
// to the reply for its own name. Closing it destroys it.
class AddUserDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AddUserDialog(QWidget* parent = nullptr);
    ~AddUserDialog() override;

public Q_SLOTS:
    void OnAddUserClicked();
    // Server::AddUserResponse, emitted for every reply of its kind: the name as the server
    // returns it, and whether the user exists.
    void OnAddUserResponse(std::string user, bool exists);

private:
    // Idle: the name can be edited and sent. Waiting: neither, until the reply.
    void SetWaiting(bool waiting);

    std::unique_ptr<Ui_AddUserDialog> ui;
    // The name sent and not yet answered; empty while idle.
    std::string m_pendingUserName;
};

#pragma once

#include "store/Data.h"

#include <QWidget>

#include <string>

class ChatView;
class QLineEdit;
class QTreeWidget;
class QUrl;

// The tab of one joined chat room: the room's chat, a line to type in, and the users in the
// room. Lines are logged to the room's chat log while log_room_chat is "yes". After a
// reconnection it asks to enter its room again; destroying it leaves the room.
//
// Registered under the tool bar set "room" with the key "room" (the room's name): the auto-join
// action's text follows the room's room_autojoin flag, and the give-up actions its role is not
// allowed are hidden.
class RoomForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    RoomForm(const std::string& room, QWidget* parent = nullptr);
    // Leaves the room: while logged in the server is asked; otherwise there is nobody to ask,
    // and the room is marked left at once, so that entering it again opens a tab again.
    ~RoomForm() override;

    // Finishes the set-up once the tab is placed: the users already in the room, the focus.
    void Init();

    const std::string& Room() const { return m_room; }
    QString Text() const;
    QStringList Users() const;

public Q_SLOTS:
    void OnRoomChat(std::string room, std::string user, std::string text);
    void OnConnected();
    void OnChatEditReturnPressed();
    void CheckChatInactivity();
    // Links in the chat open in the browser; the view opens none itself.
    void OnURLClicked(const QUrl& url);

private:
    void OnUserLinked(ConnectionInfo& info);
    void OnUserUnlinked(ConnectionInfo& info);
    void OnRoomChanged(Item* room);
    void UpdateActions();
    void AddUserRow(const std::string& user);

    std::string m_room;
    ItemPtr m_roomItem;
    ChatView* m_chatView;
    QLineEdit* m_chatEdit;
    QTreeWidget* m_userList;
};

#pragma once

#include "store/Data.h"

#include <QWidget>

#include <string>
#include <unordered_map>
#include <vector>

class ChatView;
class QLineEdit;
class QRoomUserListItemWidget;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;
class QUrl;

// The tab of one joined chat room: the room's chat and a line to type in ("splitter", left)
// beside the users in the room ("userList", right: flag, name, note, files, K/s). Lines are
// logged to the room's chat log while log_room_chat is "yes"; the view says when the connection
// drops and comes back, and after a reconnection the tab asks to enter its room again.
// Destroying it leaves the room.
//
// Registered under the tool bar set "room" with the key "room" (the room's name): the auto-join
// action's text follows the room's room_autojoin flag, and the give-up actions its role is not
// allowed are hidden.
//
// The list follows the store: a user joins it once linked to the room with figures (files,
// speed, country), and the row takes new figures whenever they change. Entering a room links
// every user in it, up to the server's 131,072, and entering it again first unlinks them all:
// rows are found by name through a hash, and rows of users who left go together at the next
// turn of the event loop, so a user unlinked and linked again in one message keeps the row.
class RoomForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // Up to this many rows that go at once are deleted one by one; each such deletion walks the
    // list. More are taken out by rebuilding the list once.
    static constexpr size_t kMaxRowsDeletedOneByOne = 64;

    RoomForm(const std::string& room, QWidget* parent = nullptr);
    // Leaves the room: while logged in the server is asked; otherwise there is nobody to ask,
    // and the room is marked left at once, so that entering it again opens a tab again.
    ~RoomForm() override;

    // Finishes the set-up once the tab is placed: the saved pane and column sizes, the focus,
    // and the users already in the room.
    void Init();

    const std::string& Room() const { return m_room; }
    QString Text() const;
    // The names the list shows, top to bottom, once the users who left are gone from it.
    QStringList Users();

public Q_SLOTS:
    // The typed line goes out while logged in, shown once the server sends it back; logged out
    // it stays typed, and the view says it was not sent.
    void OnEnterPressed();
    void OnRoomChat(std::string room, std::string user, std::string text);
    void OnConnected();
    void OnDisconnected();
    void CheckChatInactivity();
    void OnUserListContextMenuRequested(const QPoint& at);
    // A click on the note column of a user who has a note opens the note.
    void OnUserItemClicked(QTreeWidgetItem* row, int column);
    // Links in the chat open in the browser; the view opens none itself.
    void OnURLClicked(const QUrl& url);

private:
    void OnUserAdded(Item* user);
    void OnUserRemoved(Item* user);
    void OnUserNoteChanged(Item* user);
    void OnUserNoteRemoved(Item* user);
    void OnRoomChanged(Item* room);
    void UpdateActions();
    void UpdateUserCount();
    // Adds the user's row, or gives the row the user's figures and note as the store has them.
    void ShowUser(ItemPtr user);
    // Runs once in the next turn of the event loop.
    void ScheduleTidy();
    // Deletes the rows of users who left, and sorts again when shown figures changed.
    void Tidy();

    std::string m_room;
    ItemPtr m_roomItem;
    QSplitter* m_splitter;
    ChatView* m_chatView;
    QLineEdit* m_chatEdit;
    QTreeWidget* m_userList;
    // A user's row, and whether the user left the room since the list was last tidied.
    struct UserRow
    {
        QRoomUserListItemWidget* row = nullptr;
        bool leaving = false;
        bool queued = false; // in m_leaving
    };
    using UserRows = std::unordered_map<std::string, UserRow>;
    UserRows m_rows;
    // Who left since the list was last tidied, each once, whether or not back by now. Entries of
    // the map stay where they are until erased, and only Tidy erases.
    std::vector<UserRows::value_type*> m_leaving;
    bool m_tidyPending = false;
    bool m_resortPending = false;
};

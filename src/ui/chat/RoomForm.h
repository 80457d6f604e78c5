#pragma once

#include "RowRelisting.h"
#include "store/Data.h"
#include "store/SlicedJob.h"

#include <QWidget>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class ActionSetToolBar;
class ChatView;
class QLineEdit;
class QRoomUserListItemWidget;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;
class QUrl;
class Server;

// The tab of one joined chat room: the room's chat and a line to type in ("splitter", left)
// beside the users in the room ("userList", right: flag, name, note, files, K/s). Lines are
// logged to the room's chat log while log_room_chat is "yes"; the view says when the connection
// drops and comes back, and after a reconnection the tab asks to enter its room again.
// Destroying it leaves the room.
//
// The tab cannot work without the server connection (its chat, its stay in the room) or the
// context tool bar (its actions): made without either it throws MissingDependencyError.
// Registered under the tool bar set "room" with the key "room" (the room's name): the auto-join
// action's text follows the room's room_autojoin flag, and the give-up actions its role is not
// allowed are hidden.
//
// The list follows the store: a user joins it once linked to the room with figures (files,
// speed, country), and the row takes new figures whenever they change. Entering a room links
// every user in it, up to the server's 131,072, and users come and go by the thousand a second:
// rows are found by name through a hash, and the rows of users who came and of users who left go
// in and out together, from the next turn of the event loop on in steps of a sliced job, so a
// user unlinked and linked again meanwhile keeps the row.
class RoomForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // Up to this many rows that go at once are deleted one by one; each such deletion walks the
    // list. More are taken out by rebuilding the list once.
    static constexpr size_t kMaxRowsDeletedOneByOne = 64;
    // Up to this many rows that come at once go in one by one at their place; each such
    // insertion moves the rows after it. More go in by listing all rows again once.
    static constexpr size_t kMaxRowsInsertedOneByOne = 512;
    // Up to this many rows are sorted again at once when shown figures changed; more are sorted
    // by listing all rows again, a step at a time (a sort of 100,000 rows takes a few hundred
    // milliseconds).
    static constexpr size_t kMaxRowsSortedAtOnce = 4096;
    // Rows out of the list deleted, or entries of users who left erased, a step: deleting a row
    // takes a microsecond or two.
    static constexpr size_t kRowsAStep = 256;

    // Throws MissingDependencyError without the server connection or the context tool bar.
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
    // The room's user_count: written once per turn of the event loop, however many users came
    // and went in it, since the Rooms page lays its row out again for each new count.
    void CountLater();
    void UpdateUserCount();
    // Adds the user's row, or gives the row the user's figures and note as the store has them.
    void ShowUser(ItemPtr user);
    // Tidies the list from the next turn of the event loop on (m_tidy).
    void ScheduleTidy();
    // A step of m_tidy: puts the rows of a listing back, or tidies once the time to list every
    // row again has come, or deletes some rows that went; false once nothing is left to do.
    bool TidyStep();
    // Deletes the rows of users who left, lists those who came in their place, sorts again when
    // shown figures changed, and writes the count, all here and now.
    void Tidy();
    // Tidy, a listing of every row put back in the list at the next step.
    void TidyAll();
    // The list's order: its sort column, ascending or not, stable.
    struct RowOrder
    {
        int column;
        bool ascending;
        bool operator()(const QTreeWidgetItem* a, const QTreeWidgetItem* b) const;
    };
    // Puts the rows of a listing under way back in the list, here and now.
    void FinishRelist();
    // Whether every row is to be sorted again, too many to sort at once.
    bool BigResort() const;
    // Deletes kRowsAStep rows taken out of the list and erases as many entries of users who
    // left; false once none is left.
    bool DeleteSomeDiscarded();

    // Before anything the tab makes: a tab that cannot be made leaves nothing behind.
    Server& m_server;
    ActionSetToolBar& m_bar;
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
        bool queued = false;    // in m_leaving
        bool forgotten = false; // in m_forgotten
    };
    using UserRows = std::unordered_map<std::string, UserRow>;
    UserRows m_rows;
    // Who left since the list was last tidied, each once, whether or not back by now. Entries of
    // the map stay where they are until erased, and only Tidy erases.
    std::vector<UserRows::value_type*> m_leaving;
    // Rows made since the list was last tidied, not in it yet, in the order they came.
    std::vector<QTreeWidgetItem*> m_arrived;
    // Rows out of the list, to be deleted, and the entries of users who left with them, to be
    // erased unless the user is back by then.
    std::vector<QTreeWidgetItem*> m_discarded;
    std::vector<UserRows::value_type*> m_forgotten;
    // A listing of every row under way, a step at a time.
    std::unique_ptr<RowRelisting> m_relisting;
    bool m_resortPending = false;
    bool m_countPending = false;
    // The list's work (store/SlicedJob.h): a listing of every row, the listing's rows put back,
    // the rows that went deleted, a step each.
    SlicedJob m_tidy;
    // Rows are listed again a few times a second at most while users keep coming or going by
    // the thousand; meanwhile they wait, and the count goes on.
    RelistPace m_relistPace;
};

#pragma once

#include <cstddef>

class ActionSetToolBar;

// The shell's own action sets on the context tool bar, and the identifiers that
// MainWindow::OnToolBarActionTriggered answers. The forms add and answer their own sets.
namespace ShellActions {

struct ActionRow
{
    const char* set;
    const char* id;
    const char* text;
    const char* icon;
    // Runs only on the row the user sees selected in the list that has the focus: a room list
    // with none selected would otherwise enter the room its key last named.
    bool needsSelection = false;
};

// Set names.
inline constexpr char RoomListSet[] = "room_list";
inline constexpr char RoomSet[] = "room";
inline constexpr char SharedFoldersSet[] = "shared_folders";
inline constexpr char LoginOptionsSet[] = "login_options";
inline constexpr char ChatLogSet[] = "chat_log";
inline constexpr char UserChatSet[] = "user_chat";

// Identifiers.
inline constexpr char EnterRoom[] = "enter_room";
inline constexpr char CreateRoom[] = "create_room";
inline constexpr char RefreshRoomList[] = "refresh_room_list";
inline constexpr char EnablePrivateRoomAdd[] = "enable_private_room_add";
inline constexpr char ToggleRoomAutojoin[] = "toggle_room_autojoin";
inline constexpr char RoomChatLog[] = "room_chat_log";
inline constexpr char GiveUpMembership[] = "give_up_membership";
inline constexpr char GiveUpOwnership[] = "give_up_ownership";
inline constexpr char SetDownloadFolder[] = "set_download_folder";
inline constexpr char ShareFolder[] = "share_folder";
inline constexpr char UnshareFolder[] = "unshare_folder";
inline constexpr char RescanShares[] = "rescan_shares";
inline constexpr char SetUserPass[] = "set_user_pass";
inline constexpr char SetListeningPort[] = "set_listening_port";
inline constexpr char ClearChatLog[] = "clear_chat_log";
inline constexpr char OpenLogFolder[] = "open_log_folder";
inline constexpr char UserChatLog[] = "user_chat_log";

// The room list's key: the room a room action works on.
inline constexpr char RoomKey[] = "room";
// The texts of enable_private_room_add, by the state the server last reported.
inline constexpr char AcceptInvitationsText[] = "Accept Private Room Invitations";
inline constexpr char RejectInvitationsText[] = "Reject Private Room Invitations";

// The sets added right after the tool bar's Init: room_list, room, shared_folders and
// login_options, in that order.
extern const ActionRow kEarlySets[];
extern const size_t kEarlySetRowCount;
// The sets added late in start-up, once chat_log_form exists: chat_log and user_chat.
extern const ActionRow kChatLogSets[];
extern const size_t kChatLogSetRowCount;

// Adds the rows of one set, in table order.
void AddSet(ActionSetToolBar& bar, const ActionRow* rows, size_t count, const char* set);
void AddChatLogSets(ActionSetToolBar& bar);

} // namespace ShellActions

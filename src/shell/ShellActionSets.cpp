#include "shell/ShellActionSets.h"

#include "shell/ActionSetToolBar.h"

#include <cstring>

namespace ShellActions {

namespace {

constexpr char kRoomIcon[] = ":/icons/room_icon";
constexpr char kNoteIcon[] = ":/icons/note_icon";
constexpr char kBrowseIcon[] = ":/icons/browse_icon";
// Written without the slash after the colon; Qt's resource paths read the same either way.
constexpr char kLoginIcon[] = ":icons/online_icon";

} // namespace

const ActionRow kEarlySets[] = {
    {RoomListSet, EnterRoom, "Enter Room", kRoomIcon, true},
    {RoomListSet, CreateRoom, "Create Room", kRoomIcon},
    {RoomListSet, RefreshRoomList, "Refresh Room List", kRoomIcon},
    {RoomListSet, EnablePrivateRoomAdd, AcceptInvitationsText, kRoomIcon},
    {RoomSet, ToggleRoomAutojoin, "Toggle Room Autojoin", kRoomIcon},
    {RoomSet, RoomChatLog, "Chat Log", kNoteIcon},
    {RoomSet, GiveUpMembership, "Give Up Membership", kRoomIcon},
    {RoomSet, GiveUpOwnership, "Give Up Room", kRoomIcon},
    {SharedFoldersSet, SetDownloadFolder, "Set Download Folder", kBrowseIcon},
    {SharedFoldersSet, ShareFolder, "Share Folder", kBrowseIcon},
    {SharedFoldersSet, UnshareFolder, "Unshare Folder", kBrowseIcon},
    {SharedFoldersSet, RescanShares, "Rescan Shares", kBrowseIcon},
    {LoginOptionsSet, SetUserPass, "Change Username/Password", kLoginIcon},
    {LoginOptionsSet, SetListeningPort, "Change Listening Port", kLoginIcon},
};
const size_t kEarlySetRowCount = sizeof(kEarlySets) / sizeof(kEarlySets[0]);

const ActionRow kChatLogSets[] = {
    {ChatLogSet, ClearChatLog, "Clear Log", ":/icons/empty_note_icon"},
    {ChatLogSet, OpenLogFolder, "Open Log Folder", kBrowseIcon},
    {UserChatSet, UserChatLog, "Chat Log", kNoteIcon},
};
const size_t kChatLogSetRowCount = sizeof(kChatLogSets) / sizeof(kChatLogSets[0]);

void AddSet(ActionSetToolBar& bar, const ActionRow* rows, size_t count, const char* set)
{
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(rows[i].set, set) == 0)
            bar.AddSetAction(rows[i].set, rows[i].id, rows[i].text, rows[i].icon,
                             rows[i].needsSelection);
    }
}

void AddChatLogSets(ActionSetToolBar& bar)
{
    AddSet(bar, kChatLogSets, kChatLogSetRowCount, ChatLogSet);
    AddSet(bar, kChatLogSets, kChatLogSetRowCount, UserChatSet);
}

} // namespace ShellActions

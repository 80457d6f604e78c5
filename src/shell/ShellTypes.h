#pragma once

// Store types the shell declares. The first three tie live widgets to rooms and users: their
// values are the widgets' addresses, and none is ever saved, since no address outlives the run.
namespace ShellTypes {

// A room's row in the room list (one per room).
inline constexpr char RoomNode[] = "room_node";
// A user's private chat tab (one per user).
inline constexpr char UserChatWidget[] = "user_chat_widget";
// An open chat log viewer, linked to its room or its user (one per room or user).
inline constexpr char ChatLogForm[] = "chat_log_form";

// The wish list's texts and their enabled flags, and the notes on users (saved).
inline constexpr char WishListItem[] = "wish_list_item";
inline constexpr char WishListItemEnabled[] = "wish_list_item_enabled";
inline constexpr char UserNote[] = "user_note";

// Each is declared at its own step of start-up, after the server's types it relates to.
void DeclareRoomNode();
void DeclareUserChatWidget();
void DeclareChatLogForm();

} // namespace ShellTypes

#pragma once

// Store types the shell declares to tie live widgets to rooms and users. Their values are the
// widgets' addresses; none is ever saved, since no address outlives the run.
namespace ShellTypes {

// A room's row in the room list (one per room).
inline constexpr char RoomNode[] = "room_node";
// A user's private chat tab (one per user).
inline constexpr char UserChatWidget[] = "user_chat_widget";
// An open chat log viewer, linked to its room or its user (one per room or user).
inline constexpr char ChatLogForm[] = "chat_log_form";

// Each is declared at its own step of start-up, after the server's types it relates to.
void DeclareRoomNode();
void DeclareUserChatWidget();
void DeclareChatLogForm();

} // namespace ShellTypes

#pragma once

#include "store/Data.h"

#include <QtGlobal>

#include <string>

class DataSaver;

// Settings live in the store: a key item of type "global" (kept in the store file) or "vglobal"
// (this run only) whose value is the setting's name, linked to at most one "global_value" item
// whose value is the setting's text. A value item is shared by every key, of either type, that
// holds the same text, and is never changed in place: a write links the key to the item of the
// new text, and the sweep removes a text no key holds any more. Booleans are "yes" and "no",
// numbers decimal text, colours "#" and six lower-case hexadecimal digits.
namespace SettingsTypes {

inline constexpr char Global[] = "global";
inline constexpr char VGlobal[] = "vglobal";
inline constexpr char GlobalValue[] = "global_value";

} // namespace SettingsTypes

// A setting's name, the kind of its text, and whether it lasts this run only. The value items
// are shared by every key, so their type cannot say what a text is ("global_value" reads as
// ValueKind::ByKey): the key does, and the window shows a setting's text by its key's kind.
// Every key below names its kind (the test layers/value_kinds sees to it); a key made up from
// a name alone reads as its value type does.
struct SettingKey
{
    const char* name;
    ValueKind kind = ValueKind::ByKey;
    bool transient = false;
};

// Every key of the system, with who writes its default. "No default": the key has no value until
// something writes one.
namespace SettingKeys {

// Login name; whether it has a value decides the first-run dialog. No default: the user name and
// password dialog writes it (the login falls back to a built-in name while the key is missing).
inline constexpr SettingKey Username{"username", ValueKind::Name};
// Login password. No default: written by the same dialog.
inline constexpr SettingKey Password{"password", ValueKind::Name};
// Port of the plain peer listener: "2235", written after the load by the peer connection
// manager when it has no value.
inline constexpr SettingKey ListeningPort{"listening_port", ValueKind::Number};
// Port of the scrambled peer listener: "2236", as ListeningPort.
inline constexpr SettingKey ObfuscatedListeningPort{"obfuscated_listening_port", ValueKind::Number};
// A port change waiting for the next start, which applies and removes it. No default: written by
// the listening-port dialog.
inline constexpr SettingKey NewListeningPort{"new_listening_port", ValueKind::Number};
// Map the listening ports by UPnP: "yes", written after the load by the server connection when
// the key is missing.
inline constexpr SettingKey UseUpnp{"use_upnp", ValueKind::Word};
// Where downloads go: the home folder and "/Quorvale Downloads", written by the transfer engine's
// constructor when it has no value, before the load.
inline constexpr SettingKey DownloadFolder{"download_folder", ValueKind::Path};
// Simultaneous uploads: "1", written by the transfer engine's constructor before the load.
inline constexpr SettingKey UploadSlots{"upload_slots", ValueKind::Number};
// Total upload limit in KiB/s: "0", written by the transfer engine's constructor when it has no
// value, before the load, together with UploadSpeedLimitEnabled "no".
inline constexpr SettingKey UploadSpeedLimit{"upload_speed_limit", ValueKind::Number};
// Whether the upload limit applies: "no", with UploadSpeedLimit.
inline constexpr SettingKey UploadSpeedLimitEnabled{"upload_speed_limit_enabled", ValueKind::Word};
// Next transfer request token: "1", written by the transfer engine's constructor before the load.
inline constexpr SettingKey TransferReqCounter{"transfer_req_counter", ValueKind::Number};
// Arrival order of transfers: "1", written by the transfer engine's constructor when missing,
// before the load.
inline constexpr SettingKey TransferOrderCounter{"transfer_order_counter", ValueKind::Number};
// Own upload speed as the server reports it. No default: written from the server's statistics
// for the own user by the shared-folder manager.
inline constexpr SettingKey UploadSpeed{"upload_speed", ValueKind::Number};

// Written by the shell before the load ("yes", "yes", "activity_based"); a saved value replaces
// them. Timestamps take "activity_based", "per_message_short", "per_message_long" or
// "no_timestamps".
inline constexpr SettingKey MinimizeToTray{"minimize_to_tray", ValueKind::Word};
inline constexpr SettingKey ExpandNewShares{"expand_new_shares", ValueKind::Word};
inline constexpr SettingKey ChatTimestamps{"chat_timestamps", ValueKind::Word};
// Written by the shell before the load from the application palette's current colour group
// (Window, WindowText, Base, Text, Button, ButtonText), and applied to it after the load.
inline constexpr SettingKey ColorWindowBackground{"color_window_background", ValueKind::Word};
inline constexpr SettingKey ColorWindowText{"color_window_text", ValueKind::Word};
inline constexpr SettingKey ColorInputBackground{"color_input_background", ValueKind::Word};
inline constexpr SettingKey ColorInputText{"color_input_text", ValueKind::Word};
inline constexpr SettingKey ColorButtonBackground{"color_button_background", ValueKind::Word};
inline constexpr SettingKey ColorButtonText{"color_button_text", ValueKind::Word};
// Written by the shell before the load, fixed colours read where transfers and chat are shown.
inline constexpr SettingKey ColorTransferQueued{"color_transfer_queued", ValueKind::Word};
inline constexpr SettingKey ColorTransferComplete{"color_transfer_complete", ValueKind::Word};
inline constexpr SettingKey ColorTransferInProgress{"color_transfer_in_progress", ValueKind::Word};
inline constexpr SettingKey ColorTransferFailed{"color_transfer_failed", ValueKind::Word};
inline constexpr SettingKey ColorTransferOther{"color_transfer_other", ValueKind::Word};
inline constexpr SettingKey ColorChatUsername{"color_chat_username", ValueKind::Word};
inline constexpr SettingKey ColorChatTimestamp{"color_chat_timestamp", ValueKind::Word};
inline constexpr SettingKey ColorChatStatus{"color_chat_status", ValueKind::Word};
// Written by the shell before the load: "yes" and "yes".
inline constexpr SettingKey LogRoomChat{"log_room_chat", ValueKind::Word};
inline constexpr SettingKey LogPrivateChat{"log_private_chat", ValueKind::Word};
// "1", written by the shell after the load on every start; nothing reads it.
inline constexpr SettingKey DataVersion{"data_version", ValueKind::Number};
// Highlight text colour of the find function. No default; nothing writes it.
inline constexpr SettingKey ColorInputForeground{"color_input_foreground", ValueKind::Word};

// Whether private room invitations are accepted. No default: "no" at every login, then what the
// server says.
inline constexpr SettingKey EnablePrivateRoomAdd{"enable_private_room_add", ValueKind::Word};
// The server's invitation state. No default: written by the server connection.
inline constexpr SettingKey AcceptPrivateRoomAdd{"accept_private_room_add", ValueKind::Word};
// Whether a room list replaces the known rooms. No default: written by the server connection.
inline constexpr SettingKey AcceptRoomList{"accept_room_list", ValueKind::Word};
// Remaining privileged time in seconds. No default: written by the server connection.
inline constexpr SettingKey PrivilegesTimeLeft{"privileges_time_left", ValueKind::Number};
// Clean-up of finished transfers. No default (absent means off): "yes" or removed by the
// transfers page.
inline constexpr SettingKey ClearCompleteDownloads{"clear_complete_downloads", ValueKind::Word};
inline constexpr SettingKey ClearCompleteAbortedUploads{"clear_complete_aborted_uploads",
                                                        ValueKind::Word};

// This run only. The wish-list searcher's position: "0", written by its constructor.
inline constexpr SettingKey WishListSearchIndex{"wish_list_search_index", ValueKind::Number, true};
// This run only. The wish-list interval. No default: written from the server's message.
inline constexpr SettingKey WishListWait{"wish_list_wait", ValueKind::Number, true};

} // namespace SettingKeys

// The one way every subsystem reads and writes settings. Looking a key up makes its key item
// when there is none (an empty key is saved without a value); a key without a value reads as ""
// and as 0.
namespace Settings {

// Declares the settings types with their relations and what the store file keeps: every
// "global" key, and a text only while a "global" key holds it.
void CreateData(DataSaver& saver);

// The key item, made when missing.
ItemPtr Key(SettingKey key);
// Whether the key item exists; makes nothing.
bool HasKey(SettingKey key);

std::string Text(SettingKey key);
qint32 Int(SettingKey key);
qint64 Int64(SettingKey key);
bool HasValue(SettingKey key);
// Whether the setting holds exactly this text: how every yes-or-no setting is tested.
bool Is(SettingKey key, const char* word);
inline bool IsYes(SettingKey key)
{
    return Is(key, "yes");
}

void Set(SettingKey key, const std::string& text);
void SetNumber(SettingKey key, qint64 number);
void SetYes(SettingKey key, bool yes);
// The key keeps its item and loses its value.
void Remove(SettingKey key);
// The key item goes as well.
void RemoveKey(SettingKey key);

// Calls subscriber->method(key item) whenever the key gets a new value (not when it loses one).
void Watch(SettingKey key, EventHandlerBase<Item*>* handler);
template <class T> void Watch(SettingKey key, T* subscriber, void (T::*method)(Item*))
{
    Watch(key, subscriber->NewEventHandler(subscriber, method));
}

} // namespace Settings

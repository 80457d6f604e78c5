#pragma once

#include <QDateTime>
#include <QString>

#include <string>

// Chat log files: plain UTF-8 text, one line per message, appended for ever. A room's log is
// "<home>/Quorvale Chat Logs/Rooms/<room>.log", a private chat's "<home>/Quorvale Chat
// Logs/Users/<user>.log". Room and user names come from the server and other users, so each
// becomes one safe path component first: whatever the name, its log lies in its folder.
namespace ChatLog {

enum class Kind
{
    Room,
    User
};

// The folder that holds the logs of that kind (no trailing slash).
QString Folder(Kind kind);
// The log file of a room or user. Every path to a chat log is made here. A room's name is
// UTF-8; a user's is taken as Latin-1, like every user name, so its file is named in UTF-8 as
// the name shows ("Jos\xe9" becomes "José.log").
QString Path(Kind kind, const std::string& name);

// A time as chat lines and logs give it: "Mar 5 2:05:09 pm".
QString LongTime(const QDateTime& time);

// "[%1][%2] %3": the long-form time, the user name and the text as received. The user and the
// text must each be one line already.
QString ChatLine(const QDateTime& time, const QString& user, const QString& text);
// "[%1] * %2": the long-form time and what the user did (their name, a blank, the rest).
QString MeLine(const QDateTime& time, const QString& action);

// Appends the line to the room's or user's log when the matching setting (log_room_chat,
// log_private_chat) is "yes", making the folder as needed, and then hands it to the open viewer
// of that room or user, if any. A file that cannot be written is skipped silently.
void Append(Kind kind, const std::string& name, const QString& line);

} // namespace ChatLog

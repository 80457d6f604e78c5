#pragma once

#include "ChatLog.h"

#include <QDateTime>
#include <QTextBrowser>

#include <deque>
#include <string>

// The chat of a room or private tab, "chatView": read-only rich text, one paragraph per line, and
// the line's log. A line is "[time][user] text", the time only when chat_timestamps asks for one
// per message, in the chat colours; "/me does" shows as "* user does". With "activity_based"
// timestamps a conversation is framed by "Chat started" and "Chat ended" status lines.
//
// Names and texts come from other users and the server: each is made one line (OneLineText) and
// escaped by ConvertLinks as it joins the markup, so the only markup in a line is the view's own
// and the links made of web addresses. Links open nothing here: the tab opens them
// (anchorClicked). A line shows what BoundedForLayout keeps of its text at kMaxShownLineChars:
// laying out one line costs up to the square of its length, or of the marks on one letter, and
// anyone in a room can send one of megabytes. What is left out is noted with how much; the log
// keeps the whole line. A web address that the cut ends inside is not made a link.
//
// The view keeps at most about kMaxMarkupChars of markup: before a chat line goes in beyond
// that, the oldest whole lines go, at least kTrimChars of them. A view that shows its last line
// keeps showing the newest one, also across being hidden; one the user scrolled up stays.
class ChatView : public QTextBrowser
{
    Q_OBJECT

public:
    static constexpr qint64 kMaxMarkupChars = 250000;
    static constexpr qint64 kTrimChars = 50000;
    static constexpr qsizetype kMaxShownLineChars = 8000;
    // Chat without a line for this long is over.
    static constexpr qint64 kInactivityMs = 300000;

    // Lines are logged to the log of that kind and name (a room's name, the other user's).
    ChatView(ChatLog::Kind kind, const std::string& name, QWidget* parent = nullptr);

    enum class Line
    {
        Chat,
        Me
    };
    // Shows and logs one message of the user (name bytes, Latin-1) with the text (UTF-8): a
    // "/me" line, or a chat line with its timestamp and activity start. Says which it was.
    Line AddChat(const std::string& user, const std::string& text);
    // One status line, in the status colour; never logged.
    void AddStatusMessage(const QString& text);
    // Ends the chat once kInactivityMs have passed since its last line (the monotonic clock's:
    // a wall clock set back changes nothing).
    void CheckChatInactivity();

    bool IsActive() const { return m_active; }
    // The markup of the lines the view holds.
    qint64 MarkupChars() const { return m_markupChars; }

    // The markup of a chat line, timestamped as chat_timestamps says, and of a status line, with
    // the text as it shows: cut to kMaxShownLineChars (ShownText), the name to a cell's length.
    static QString ChatMarkup(const QDateTime& time, const QString& user, const QString& text);
    static QString StatusMarkup(const QString& text);
    // The text as a line shows it: when longer than kMaxShownLineChars, cut there (a character
    // is never cut in two) and followed by how many characters were left out, the marks past
    // kMaxMarksPerCharacter on one character included.
    static QString ShownText(const QString& text);

private:
    void AppendLine(const QString& html, bool trim);
    void Trim();
    void ScrollToEnd();
    void OnScrolled(int value);
    void OnRangeChanged();

    ChatLog::Kind m_kind;
    std::string m_name;
    bool m_active = false;
    QDateTime m_lastLine;
    qint64 m_lastLineMs = 0;
    // The markup length of each line the document holds, oldest first, and their sum.
    std::deque<qint64> m_lineChars;
    qint64 m_markupChars = 0;
    bool m_followEnd = true;
    bool m_scrolling = false;
};

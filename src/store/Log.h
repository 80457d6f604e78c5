#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

class ItemPtr;

// Messages carry peers' names, paths and search texts. Beyond this many characters (UTF-16
// units) a message is cut, and the line says how many were left out.
constexpr int MaxLogMessageLength = 4096;

// Every log line of the process goes through this hub; the diagnostics page shows them and tests
// capture them, each by connecting to LineLogged.
class LogHub : public QObject
{
    Q_OBJECT

public:
    static LogHub* Instance();

Q_SIGNALS:
    // category as given to Log; line fully formatted, without a line break.
    void LineLogged(const QString& category, const QString& line);

private:
    LogHub() = default;
};

// level: 1 an event, 2 a detail of it, 3 a sub-detail. Never fails.
void Log(const QString& category, int level, const QString& message);
// The item is accepted for the callers' convenience and not used.
void Log(const QString& category, int level, const QString& message, const ItemPtr& item);

// The line Log emits at the given time: "[<date-time, Qt::TextDate>] ", three blanks for each
// level above 1, then the message. A message longer than MaxLogMessageLength is cut, ending in
// " [... N of M characters cut]". Line breaks and other control characters in the message are
// shown as escapes (\n, \r, \t, \x1b, \u2028), so that one call is always one line and no
// message can pass for further lines with dates of their own.
QString FormatLogLine(const QDateTime& when, int level, const QString& message);

#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

#include <string_view>

class ItemPtr;

// The log categories, grouped by the subsystem that logs under them; each is the title of its tab
// on the diagnostics page. Callers name a category by its constant here, not by a literal.
namespace LogCategories {
// The store file and the shell.
inline const QString kConfigurationData = QStringLiteral("Configuration Data");
// The server connection.
inline const QString kServer = QStringLiteral("server");
inline const QString kPortForwarding = QStringLiteral("Port Forwarding");
// Peer messaging.
inline const QString kPeerMessenger = QStringLiteral("Peer Messenger");
// The shares.
inline const QString kShared = QStringLiteral("Shared");
inline const QString kSearch = QStringLiteral("Search");
inline const QString kMp3Scanning = QStringLiteral("MP3 Scanning");
// The transfer engine.
inline const QString kTransferQueue = QStringLiteral("Transfer Queue");
inline const QString kTimerTest = QStringLiteral("Timer Test");
// The distributed network.
inline const QString kDistributedNetwork = QStringLiteral("Distributed Network");
// The search page.
inline const QString kWishList = QStringLiteral("Wish List");
} // namespace LogCategories

// Messages carry peers' names, paths and search texts. Beyond this many characters (UTF-16
// units) a message is cut, and the line says how many were left out.
constexpr int kMaxLogMessageLength = 4096;

// A stored value in a log line: names, paths and search texts as the store holds them, their
// bytes read as UTF-8.
QString TextForLog(std::string_view bytes);

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
// level above 1, then the message. A message longer than kMaxLogMessageLength is cut, ending in
// " [... N of M characters cut]". Line breaks and other control characters in the message are
// shown as escapes (\n, \r, \t, \x1b, \u2028), so that one call is always one line and no
// message can pass for further lines with dates of their own.
QString FormatLogLine(const QDateTime& when, int level, const QString& message);

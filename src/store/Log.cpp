#include "store/Log.h"

#include "store/Clock.h"

#include <QDateTime>

LogHub* LogHub::Instance()
{
    // Never destroyed: worker threads and late destructors may still log during shutdown.
    static LogHub* hub = new LogHub;
    return hub;
}

QString FormatLogLine(const QDateTime& when, int level, const QString& message)
{
    QString line = QLatin1Char('[') + when.toString(Qt::TextDate) + QLatin1String("] ");
    if (level > 1)
        line += QString(3 * (level - 1), QLatin1Char(' '));
    line += message;
    return line;
}

void Log(const QString& category, int level, const QString& message)
{
    Q_EMIT LogHub::Instance()->LineLogged(category, FormatLogLine(Clock::Now(), level, message));
}

void Log(const QString& category, int level, const QString& message, const ItemPtr&)
{
    Log(category, level, message);
}

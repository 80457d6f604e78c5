#include "store/Log.h"

#include "store/Clock.h"

#include <QDateTime>
#include <QStringView>

LogHub* LogHub::Instance()
{
    // Never destroyed: worker threads and late destructors may still log during shutdown.
    static LogHub* hub = new LogHub;
    return hub;
}

QString TextForLog(std::string_view bytes)
{
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

namespace {

// C0 and C1 controls, DEL, and the two Unicode separators: each of these can end a line or a
// paragraph in some view, or steer a terminal.
bool NeedsEscape(char16_t u)
{
    return u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029;
}

void AppendEscaped(QString& line, QStringView text)
{
    static const char hex[] = "0123456789abcdef";
    qsizetype plainFrom = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (!NeedsEscape(u))
            continue;
        line += text.mid(plainFrom, i - plainFrom);
        plainFrom = i + 1;
        switch (u) {
        case u'\n':
            line += QLatin1String("\\n");
            break;
        case u'\r':
            line += QLatin1String("\\r");
            break;
        case u'\t':
            line += QLatin1String("\\t");
            break;
        default:
            line += QLatin1Char('\\');
            if (u <= 0xff) {
                line += QLatin1Char('x');
            } else {
                line += QLatin1Char('u');
                line += QLatin1Char(hex[u >> 12]);
                line += QLatin1Char(hex[(u >> 8) & 0xf]);
            }
            line += QLatin1Char(hex[(u >> 4) & 0xf]);
            line += QLatin1Char(hex[u & 0xf]);
        }
    }
    line += text.mid(plainFrom);
}

} // namespace

QString FormatLogLine(const QDateTime& when, int level, const QString& message)
{
    QStringView text(message);
    qsizetype cut = 0;
    if (text.size() > kMaxLogMessageLength) {
        qsizetype keep = kMaxLogMessageLength;
        // Never keep half of a surrogate pair.
        if (text[keep - 1].isHighSurrogate())
            --keep;
        cut = text.size() - keep;
        text = text.left(keep);
    }

    QString line = QLatin1Char('[') + when.toString(Qt::TextDate) + QLatin1String("] ");
    if (level > 1)
        line += QString(3 * (level - 1), QLatin1Char(' '));
    AppendEscaped(line, text);
    if (cut > 0) {
        line += QLatin1String(" [... ") + QString::number(cut) + QLatin1String(" of ") +
                QString::number(message.size()) + QLatin1String(" characters cut]");
    }
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

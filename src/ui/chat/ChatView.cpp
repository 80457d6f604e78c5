#include "ChatView.h"

#include "store/Settings.h"

#include <QDateTime>

ChatView::ChatView(QWidget* parent) : QPlainTextEdit(parent)
{
    setObjectName(QStringLiteral("chatView"));
    setReadOnly(true);
}

void ChatView::AddChatLine(const std::string& user, const std::string& text)
{
    QString stamp;
    if (Settings::Is(SettingKeys::ChatTimestamps, "per_message_short"))
        stamp = QDateTime::currentDateTime().toString(QStringLiteral("[h:mm:ss]"));
    else if (Settings::Is(SettingKeys::ChatTimestamps, "per_message_long"))
        stamp = QDateTime::currentDateTime().toString(QStringLiteral("[MMM d h:mm:ss ap]"));
    appendPlainText(stamp + QLatin1Char('[') + QString::fromUtf8(user) + QStringLiteral("] ") +
                    QString::fromUtf8(text));
}

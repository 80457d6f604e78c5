#include "ChatLog.h"

#include "ChatLogForm.h"
#include "server/ServerSchema.h"
#include "shell/ShellTypes.h"
#include "store/Data.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

namespace {

const char* KindType(ChatLog::Kind kind)
{
    return kind == ChatLog::Kind::Room ? ServerTypes::Room : ServerTypes::User;
}

} // namespace

QString ChatLog::Folder(Kind kind)
{
    return QDir::homePath() + QStringLiteral("/Quorvale Chat Logs/") +
           (kind == Kind::Room ? QStringLiteral("Rooms") : QStringLiteral("Users"));
}

QString ChatLog::Path(Kind kind, const std::string& name)
{
    const std::string component = SafePathComponent(name);
    return Folder(kind) + QLatin1Char('/') +
           QFile::decodeName(QByteArray::fromStdString(component)) + QStringLiteral(".log");
}

QString ChatLog::ChatLine(const std::string& user, const std::string& text)
{
    return QStringLiteral("[%1][%2] %3")
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("MMM d h:mm:ss ap")),
             QString::fromUtf8(user), QString::fromUtf8(text));
}

void ChatLog::Append(Kind kind, const std::string& name, const QString& line)
{
    const SettingKey setting =
        kind == Kind::Room ? SettingKeys::LogRoomChat : SettingKeys::LogPrivateChat;
    if (!Settings::IsYes(setting))
        return;
    QDir().mkpath(Folder(kind));
    QFile file(Path(kind, name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line.toUtf8() + '\n');

    Type* owners = d.GetType(KindType(kind));
    ItemPtr viewer = owners->HasItem(Value(name))[ShellTypes::ChatLogForm];
    if (ChatLogForm* form = ChatLogForm::FromItem(viewer))
        form->AddLine(line);
}

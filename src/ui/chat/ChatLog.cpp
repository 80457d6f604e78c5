#include "ChatLog.h"

#include "ChatLogForm.h"
#include "server/ServerSchema.h"
#include "shell/DisplayText.h"
#include "shell/ShellTypes.h"
#include "store/Data.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"

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
    const std::string utf8 = kind == Kind::Room ? name : Utf8Bytes(NameText(name));
    static constexpr char kSuffix[] = ".log";
    return Folder(kind) + QLatin1Char('/') +
           Utf8Text(SafePathComponent(utf8, kMaxNameBytes - (sizeof kSuffix - 1))) +
           QLatin1String(kSuffix);
}

QString ChatLog::LongTime(const QDateTime& time)
{
    return time.toString(QStringLiteral("MMM d h:mm:ss ap"));
}

QString ChatLog::ChatLine(const QDateTime& time, const QString& user, const QString& text)
{
    return QStringLiteral("[%1][%2] %3").arg(LongTime(time), user, text);
}

QString ChatLog::MeLine(const QDateTime& time, const QString& action)
{
    return QStringLiteral("[%1] * %2").arg(LongTime(time), action);
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

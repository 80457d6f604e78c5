#include "shell/OptionsPage.h"

#include "server/ServerSchema.h"
#include "shares/SharesSchema.h"
#include "shell/DisplayText.h"

#include <QStringList>

namespace {

const char* const kTimestampWords[] = {"activity_based", "per_message_short", "per_message_long",
                                       "no_timestamps"};
constexpr int kNamedTimestampWords = 3;

} // namespace

QString OptionsPage::SharedFolderAccess(ItemPtr folder)
{
    if (folder.IsConnected(SharesTypes::SharedPublic))
        return QStringLiteral("Everyone");
    if (folder.IsConnected(SharesTypes::SharedUserlist))
        return QStringLiteral("User List");
    QStringList names;
    for (Item* group : folder.GetItems(ServerTypes::UserListGroup).SortAlphabetic(true))
        names << Shown(group);
    return names.join(QStringLiteral(", "));
}

const char* OptionsPage::ChatTimestampsWord(int index)
{
    return index >= 0 && index < kNamedTimestampWords ? kTimestampWords[index]
                                                      : kTimestampWords[kNamedTimestampWords];
}

int OptionsPage::ChatTimestampsIndex(const std::string& word)
{
    for (int i = 0; i < kNamedTimestampWords; ++i) {
        if (word == kTimestampWords[i])
            return i;
    }
    return kNamedTimestampWords;
}

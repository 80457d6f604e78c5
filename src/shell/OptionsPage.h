#pragma once

#include "store/Data.h"

#include <QString>

#include <string>

// What the options page shows and writes, apart from its widgets.
namespace OptionsPage {

// The "Accessible to" text of a shared folder: "Everyone" when it is shared publicly, else
// "User List" when it is shared with the user list, else its user-list groups, by byte order of
// their names, joined with ", " (empty when it has none).
QString SharedFolderAccess(ItemPtr folder);

// The chat_timestamps words by index of the timestamps box: "activity_based",
// "per_message_short", "per_message_long"; any other index is "no_timestamps".
const char* ChatTimestampsWord(int index);
// The box index of a stored word; any word but the first three gives the last index.
int ChatTimestampsIndex(const std::string& word);

} // namespace OptionsPage

#pragma once

// Finished downloads as the transfer engine saves them: a complete_download record with its
// user, folders, name, size and completion time (Qt::TextDate, as the clock writes it).

#include "server/ServerStore.h"
#include "store/Data.h"
#include "transfers/TransfersSchema.h"

#include <string>

namespace CompleteRecords {

inline ItemPtr Make(const std::string& user, const std::string& relativeFolder,
                    const std::string& file, const std::string& size, const std::string& time)
{
    using namespace TransfersTypes;
    ItemPtr record = d.GetType(CompleteDownload)->NewItem();
    record += ServerStore::User(user);
    record += d.GetType(CompleteDownloadFolder)->GetItem(Value("complete\\" + relativeFolder));
    record += d.GetType(CompleteDownloadRelativeFolder)->GetItem(Value(relativeFolder));
    record += d.GetType(CompleteDownloadFilename)->GetItem(Value(file));
    record += d.GetType(CompleteDownloadFileSize)->GetItem(Value(size));
    record += d.GetType(CompleteDownloadCompletionTime)->GetItem(Value(time));
    return record;
}

} // namespace CompleteRecords

// What other services ask of the uploads without changing them: a search reply tells the
// searcher whether an upload would start at once and how many wait before it.

#include "transfers/TransferQueueManager.h"

#include "store/Settings.h"
#include "transfers/TransfersSchema.h"

#include <cstdlib>

using namespace TransfersTypes;

int TransferQueueManager::QueuedUploadCount()
{
    ItemPtr queued = d.GetType(UploadEntryStatus)->HasItem(Value(TransferStatus::Queued));
    return queued ? static_cast<int>(queued->ConnectionCount(d.GetType(UploadEntry))) : 0;
}

bool TransferQueueManager::IsFreeToUpload()
{
    // A status holds a slot when it carries the active mark; there are a handful of statuses,
    // and each knows its uploads.
    const Type* uploads = d.GetType(UploadEntry);
    size_t active = 0;
    for (Item* status : g(UploadEntryStatus)) {
        if (status->IsConnected(IsActive))
            active += status->ConnectionCount(uploads);
    }
    // Asked without making the setting's key when there is none.
    if (!Settings::HasKey(SettingKeys::UploadSlots))
        return false;
    const auto slotCount = static_cast<quint32>(
        std::strtoul(Settings::Text(SettingKeys::UploadSlots).c_str(), nullptr, 10));
    return slotCount > active;
}

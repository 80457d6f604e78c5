#include "transfers/TransferQueueManager.h"

#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "transfers/TransfersSchema.h"

#include <algorithm>
#include <iterator>
#include <utility>

// A download from its creation to its removal: asking the peer to queue it and to tell its
// place in line, asking again when the user comes online, the peer's notices, and its statuses
// with the teardown of a running transfer.

using namespace TransfersTypes;
using ServerTypes::User;

namespace {

// The path peers know a download by.
std::string PeerPath(ItemPtr entry)
{
    return entry[RemoteFolder].AsString() + '\\' + entry[FileName].AsString();
}

bool HasStatus(ItemPtr entry, const char* status)
{
    return entry[DownloadEntryStatus].AsString() == status;
}

} // namespace

ItemPtr TransferQueueManager::AddDownload(std::string user, std::string file, std::string folder,
                                          long long size, int level)
{
    if (ItemPtr existing = GetDownloadEntry(user, file, folder))
        return existing;

    ItemPtr entry = m_types.entry->NewItem();
    ItemPtr userItem = m_types.user->GetItem(Value(user));
    entry += userItem;
    entry += m_types.fileName->GetItem(Value(std::move(file)));
    entry += m_types.remoteFolder->GetItem(Value(std::move(folder)));
    entry += m_types.fileSize->GetItem(Value(size));
    entry += m_types.level->GetItem(Value(level));
    entry += m_types.order->GetItem(Value(TakeTransferOrder()));

    gp_server->TrackUser(user);
    if (DoesDownloadItemCompleteFilenameExist(entry)) {
        SetDownloadEntryStatus(entry, TransferStatus::Complete);
        return entry;
    }
    SetDownloadEntryStatus(entry, TransferStatus::Queued);
    ClaimPartialFile(entry);
    if (userItem.IsConnected(m_types.online)) {
        peerMessenger->QueueDownload(user, PeerPath(entry));
        RequestDownloadPlaceInLine(entry);
        // Asked now: not again at the next tick.
        StampTime(userItem, LastQueueRequestTime);
    }
    return entry;
}

void TransferQueueManager::AddDownloads(const std::string& user,
                                        std::vector<FolderDownload> folders)
{
    m_downloadBatches->Add(user, std::move(folders));
}

void TransferQueueManager::FinishAddingDownloads()
{
    m_downloadBatches->Finish();
}

ItemPtr TransferQueueManager::GetDownloadEntry(const std::string& user, const std::string& file,
                                               const std::string& folder)
{
    Item* const keys[] = {m_types.user->HasItem(Value(user)).Get(),
                          m_types.fileName->HasItem(Value(file)).Get(),
                          m_types.remoteFolder->HasItem(Value(folder)).Get()};
    for (Item* key : keys) {
        if (!key)
            return ItemPtr();
    }
    // The entry is a partner of each: those of the key with the fewest are looked through.
    const Type* entries = m_types.entry;
    Item* const* rarest =
        std::min_element(std::begin(keys), std::end(keys), [entries](const Item* a, const Item* b) {
            return a->ConnectionCount(entries) < b->ConnectionCount(entries);
        });
    Item* found = nullptr;
    (*rarest)->VisitItems(entries, [&keys, &found](Item* entry) {
        if (!std::all_of(std::begin(keys), std::end(keys),
                         [entry](const Item* key) { return entry->IsConnected(key); }))
            return false;
        found = entry;
        return true;
    });
    return found;
}

ItemPtr TransferQueueManager::FindDownloadEntry(const std::string& user, const std::string& path)
{
    return GetDownloadEntry(user, GetFileName(path), GetFolder(path));
}

void TransferQueueManager::QueueDownloadIfUserOnline(ItemPtr entry)
{
    ItemPtr user = entry[User];
    const std::string path = PeerPath(entry);
    if (HasStatus(entry, TransferStatus::LocalError)) {
        Log(LogCategories::kTransferQueue, 1,
            QStringLiteral("Download status %1, not re-queueing %2")
                .arg(TextForLog(entry[DownloadEntryStatus].AsString()), TextForLog(path)),
            user);
        return;
    }
    if (user.IsConnected(ServerTypes::IsOnline)) {
        Log(LogCategories::kTransferQueue, 1,
            QStringLiteral("User %1 appears to still be online, re-queueing %2")
                .arg(TextForLog(user.AsString()), TextForLog(path)),
            user);
        peerMessenger->QueueDownload(user.AsString(), path);
    } else {
        Log(LogCategories::kTransferQueue, 1,
            QStringLiteral("User %1 offline, not re-queueing %2")
                .arg(TextForLog(user.AsString()), TextForLog(path)),
            user);
    }
}

void TransferQueueManager::RequeueUserDownloads(ItemPtr user)
{
    const ItemSet entries = user.GetItems(DownloadEntry);
    if (!entries.empty())
        Log(LogCategories::kTransferQueue, 1,
            QStringLiteral("Requeueing downloads from user %1").arg(TextForLog(user.AsString())),
            user);
    const ItemList ordered = entries.SortNumericBy(DownloadOrder, true);
    for (ItemPtr entry : ordered) {
        if (HasStatus(entry, TransferStatus::Complete) || HasStatus(entry, TransferStatus::Denied))
            continue;
        // Offered with another size: asked again, it would be offered so again.
        if (entry.IsConnected(OfferedSize))
            continue;
        if (DoesDownloadItemCompleteFilenameExist(entry)) {
            SetDownloadEntryStatus(entry, TransferStatus::Complete);
            continue;
        }
        peerMessenger->QueueDownload(user.AsString(), PeerPath(entry));
        RequestDownloadPlaceInLine(entry);
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("Queueing %1").arg(TextForLog(entry[FileName].AsString())), user);
    }
    if (!ordered.empty())
        StampTime(user, LastQueueRequestTime);
}

void TransferQueueManager::RequestDownloadPlaceInLine(ItemPtr entry)
{
    ItemPtr user = entry[User];
    MemStream message;
    message.Write(quint32(PM_UPLOAD_PLACE_IN_LINE_REQUEST));
    message.Write(PeerPath(entry));
    Log(LogCategories::kTransferQueue, 1,
        QStringLiteral("Requesting place in line for download of %1 from %2")
            .arg(TextForLog(entry[FileName].AsString()), TextForLog(user.AsString())),
        user);
    peerMessenger->SendMessage(user.AsString(), message);
}

void TransferQueueManager::SetDownloadEntryStatus(ItemPtr entry, std::string status)
{
    const bool wasActive = Partner(entry, m_types.status).IsConnected(IsActive);
    entry += m_types.status->GetItem(Value(status));
    // Only the end an offer of another size brought keeps it.
    if (status != TransferStatus::Aborted)
        entry.Disconnect(OfferedSize);
    // Finished, its partial file is gone (moved, or never begun): the name is free again.
    if (status == TransferStatus::Complete)
        entry.Disconnect(PartialFile);
    StampText(entry, LastStatusChangeTime);
    if (wasActive && !Partner(entry, m_types.status).IsConnected(IsActive))
        ReleaseTransfer(entry, kDownloadObjects, true);
}

void TransferQueueManager::RemoveDownload(ItemPtr entry)
{
    ReleaseTransfer(entry, kDownloadObjects, false);
    entry[LastSpeedMeasurementTime].Remove();
    entry.Remove();
}

void TransferQueueManager::OnUserOnline(Item* user)
{
    Log(LogCategories::kTransferQueue, 1,
        QStringLiteral("User %1 went online").arg(TextForLog(user->AsString())), user);
    RequeueUserDownloads(user);
    // Uploads that waited for the user may start now.
    StartNewUploads();
}

bool TransferQueueManager::IsActivelyDownloadingFromUser(std::string user)
{
    ItemPtr downloading =
        d.GetType(DownloadEntryStatus)->HasItem(Value(TransferStatus::Downloading));
    return !ServerStore::FindUser(user).GetItems(DownloadEntry).Connected(downloading).empty();
}

void TransferQueueManager::OnDownloadPlaceInLine(std::string user, std::string path, uint place)
{
    if (ItemPtr entry = FindDownloadEntry(user, path))
        entry += d.GetType(PlaceInLine)->GetItem(Value(place));
}

void TransferQueueManager::OnUploadDeniedNotification(std::string user, std::string path,
                                                      std::string reason)
{
    ItemPtr userItem = ServerStore::FindUser(user);
    Log(LogCategories::kTransferQueue, 1,
        QStringLiteral("Received peer notification from %1 that upload of %2 was denied, "
                       "reason: %3")
            .arg(TextForLog(user), TextForLog(path), TextForLog(reason)),
        userItem);
    ItemPtr entry = FindDownloadEntry(user, path);
    if (!entry) {
        Log(LogCategories::kTransferQueue, 2, QStringLiteral("Download not found."), userItem);
        return;
    }
    // A late or false refusal would show a finished file as denied, and the failed-upload
    // notice that may follow would then fetch it a second time under another name.
    if (HasStatus(entry, TransferStatus::Complete)) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("Download status complete, not marking %1 as denied")
                .arg(TextForLog(PeerPath(entry))),
            userItem);
        return;
    }
    Log(LogCategories::kTransferQueue, 2, QStringLiteral("Download found, marking as denied."),
        userItem);
    entry += d.GetType(DenialReason)->GetItem(Value(reason));
    SetDownloadEntryStatus(entry, TransferStatus::Denied);
}

void TransferQueueManager::OnUploadFailedNotification(std::string user, std::string path)
{
    ItemPtr userItem = ServerStore::FindUser(user);
    Log(LogCategories::kTransferQueue, 1,
        QStringLiteral("Received peer notification from %1 that upload of %2 failed")
            .arg(TextForLog(user), TextForLog(path)),
        userItem);
    ItemPtr entry = FindDownloadEntry(user, path);
    if (!entry) {
        Log(LogCategories::kTransferQueue, 2, QStringLiteral("Download not found."), userItem);
        return;
    }
    Log(LogCategories::kTransferQueue, 2, QStringLiteral("Download found!"), userItem);
    // Asked for again, the peer would offer the file, and the offer is refused as "Complete": a
    // peer that fails every whole or empty file would loop for ever.
    if (HasStatus(entry, TransferStatus::Complete)) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("Download status complete, not re-queueing %1")
                .arg(TextForLog(PeerPath(entry))),
            userItem);
        return;
    }
    QueueDownloadIfUserOnline(entry);
    StampTime(userItem, LastQueueRequestTime);
}

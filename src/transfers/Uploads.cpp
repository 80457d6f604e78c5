#include "transfers/TransferQueueManager.h"

#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shares/SharesSchema.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "transfers/TransfersSchema.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

// Uploads from the queue request to the end of the transfer: whether a request is taken, the
// order in which queued uploads get a slot, the scheduler that offers them to their peers, and
// every status change with the teardown of a running upload.

using namespace TransfersTypes;
using ServerTypes::User;

namespace {

const char kNotShared[] = "File not shared.";
const char kQueueFull[] = "Queue full.";

ItemPtr StatusItem(const char* status)
{
    return d.GetType(UploadEntryStatus)->HasItem(Value(status));
}

// What places an upload among the others: its user's rank, then its arrival.
struct UploadKey
{
    Item* user = nullptr;
    int priority = 0;
    bool privileged = false;
    qint64 order = 0;
};

int UserPriority(ItemPtr user)
{
    // A group without a priority counts as 0, and so does a user in no group or not listed.
    int priority = 0;
    for (Item* group : user[ServerTypes::InUserList].GetItems(ServerTypes::UserListGroup))
        priority = std::max(priority, ItemPtr(group)[ServerTypes::GroupDownloadPriority].AsInt());
    return priority;
}

UploadKey KeyOf(ItemPtr entry)
{
    ItemPtr user = entry[User];
    // Read as the 64-bit counter they come from, so that the order holds past 2^31 transfers.
    return {user.Get(), UserPriority(user), user.IsConnected(ServerTypes::IsPrivileged),
            entry[UploadOrder].AsInt64()};
}

// Another user's higher group priority, then privileges, go first; otherwise arrival decides.
bool GoesBefore(const UploadKey& a, const UploadKey& b)
{
    if (a.user != b.user) {
        if (a.priority != b.priority)
            return a.priority > b.priority;
        if (a.privileged != b.privileged)
            return a.privileged;
    }
    return a.order < b.order;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Queue requests

void TransferQueueManager::OnQueueUploadRequested(std::string user, std::string file)
{
    ItemPtr userItem = ServerStore::User(user);
    Log(LogCategories::kTransferQueue, 1,
        QStringLiteral("Queue upload requested by %1 for file %2")
            .arg(TextForLog(user), TextForLog(file)),
        userItem);

    // Found by its local spelling; the peer's own text is what every message about it carries.
    std::string local = file;
    std::replace(local.begin(), local.end(), '\\', '/');
    // A host built without the shares (EngineOptions::sharedFolders) shares nothing.
    ItemPtr shared =
        sharedFoldersManager ? sharedFoldersManager->GetSharedFileItem(local) : ItemPtr();
    if (!shared || !sharedFoldersManager->IsFileSharedWithUser(shared, user)) {
        Log(LogCategories::kTransferQueue, 2, QStringLiteral("Denied, file not shared"), userItem);
        peerMessenger->DenyUpload(user, file, kNotShared);
        return;
    }

    if (ItemPtr existing = d.GetItem(userItem, shared, UploadEntry)) {
        ItemPtr status = existing[UploadEntryStatus];
        if (status.AsString() == TransferStatus::Queued || status.IsConnected(IsActive)) {
            Log(LogCategories::kTransferQueue, 2, QStringLiteral("Already queued"), userItem);
            return;
        }
        // Back to its old place: it keeps its numbers and the name it was asked for by.
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("%1, re-queueing").arg(TextForLog(status.AsString())), userItem);
        SetUploadEntryStatus(existing, TransferStatus::Queued);
        StartNewUploads();
        return;
    }

    // Every entry costs memory and a place in the order, and a peer may claim any number of
    // names: what one user, and all of them, may hold is bounded.
    Type* uploads = d.GetType(UploadEntry);
    if (userItem->ConnectionCount(uploads) >= size_t(kMaxQueuedUploadsPerUser) ||
        uploads->ItemCount() >= size_t(kMaxQueuedUploads)) {
        Log(LogCategories::kTransferQueue, 2, QStringLiteral("Denied, queue full"), userItem);
        peerMessenger->DenyUpload(user, file, kQueueFull);
        return;
    }

    ItemPtr entry = uploads->NewItem();
    entry += userItem;
    entry += shared;
    entry += d.GetType(FilenameAsRequested)->GetItem(Value(file));
    SetUploadEntryStatus(entry, TransferStatus::Queued);
    entry += d.GetType(UploadOrder)->GetItem(Value(TakeTransferOrder()));
    OrderNewUpload(entry);
    Log(LogCategories::kTransferQueue, 2, QStringLiteral("Queued"), userItem);
    gp_server->TrackUser(user);
    StartNewUploads();
}

// ---------------------------------------------------------------------------------------------
// The upload order

int TransferQueueManager::GetUserGroupDownloadPriority(std::string user)
{
    return UserPriority(ServerStore::FindUser(user));
}

bool TransferQueueManager::UploadEntrySortCompare(ItemPtr a, ItemPtr b)
{
    return GoesBefore(KeyOf(a), KeyOf(b));
}

void TransferQueueManager::OrderNewUpload(ItemPtr entry)
{
    Type* places = d.GetType(EffectiveUploadOrder);
    ItemList listed;
    bool haveList = false;
    if (!lastOrderedUpload) {
        listed = g(UploadEntry).SortNumericBy(EffectiveUploadOrder, true);
        haveList = true;
        if (listed.empty()) {
            entry += places->GetItem(Value(1));
            lastOrderedUpload = entry;
            return;
        }
        lastOrderedUpload = listed.back();
    }
    // Most requests come from users of one rank and go at the end, without a look at the rest.
    if (UploadEntrySortCompare(lastOrderedUpload, entry)) {
        entry +=
            places->GetItem(Value(ItemPtr(lastOrderedUpload)[EffectiveUploadOrder].AsInt64() + 1));
        lastOrderedUpload = entry;
        return;
    }

    if (!haveList)
        listed = g(UploadEntry).SortNumericBy(EffectiveUploadOrder, true);
    lastOrderedUpload = listed.back();
    // Each user's rank is read once, not once per entry.
    const UploadKey key = KeyOf(entry);
    std::unordered_map<Item*, UploadKey> ranks;
    auto goesBefore = [&](Item* other) {
        UploadKey otherKey;
        ItemPtr otherUser = ItemPtr(other)[User];
        auto it = ranks.find(otherUser);
        if (it != ranks.end()) {
            otherKey = it->second;
        } else {
            otherKey = KeyOf(other);
            ranks.emplace(otherUser.Get(), otherKey);
        }
        otherKey.order = ItemPtr(other)[UploadOrder].AsInt64();
        return GoesBefore(key, otherKey);
    };
    // The new entry carries the newest arrival number, so it goes before some entry; were it
    // ever not to, it would simply go last.
    listed.insert(std::find_if(listed.begin(), listed.end(), goesBefore), entry.Get());
    NumberUploads(listed, 1);
}

void TransferQueueManager::DetermineUploadsEffectiveOrder()
{
    std::vector<std::pair<UploadKey, Item*>> keyed;
    for (Item* entry : g(UploadEntry))
        keyed.emplace_back(KeyOf(entry), entry);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return GoesBefore(a.first, b.first); });
    ItemList sorted;
    sorted.reserve(keyed.size());
    for (const auto& k : keyed)
        sorted.push_back(k.second);
    NumberUploads(sorted, 0);
    // The entry placed last need no longer be last in the order; the next placement finds the
    // last one from the numbers.
    lastOrderedUpload = nullptr;
}

void TransferQueueManager::NumberUploads(const ItemList& entries, qint64 first)
{
    // A number belongs to one entry at a time: giving it to the next entry takes it from the
    // one before, which is numbered anew in its turn.
    Type* places = d.GetType(EffectiveUploadOrder);
    qint64 number = first;
    for (Item* entry : entries) {
        ItemPtr(entry) += places->GetItem(Value(number));
        ++number;
    }
}

// ---------------------------------------------------------------------------------------------
// Queries

int TransferQueueManager::ActiveUploadCount()
{
    // There are a handful of statuses, and each knows its uploads.
    const Type* uploads = d.GetType(UploadEntry);
    size_t active = 0;
    for (Item* status : g(UploadEntryStatus)) {
        if (status->IsConnected(IsActive))
            active += status->ConnectionCount(uploads);
    }
    return static_cast<int>(active);
}

int TransferQueueManager::QueuedUploadCount()
{
    ItemPtr queued = StatusItem(TransferStatus::Queued);
    return queued ? static_cast<int>(queued->ConnectionCount(d.GetType(UploadEntry))) : 0;
}

bool TransferQueueManager::IsFreeToUpload()
{
    // Asked without making the setting's key when there is none.
    if (!Settings::HasKey(SettingKeys::UploadSlots))
        return false;
    const auto slotCount = static_cast<quint32>(
        std::strtoul(Settings::Text(SettingKeys::UploadSlots).c_str(), nullptr, 10));
    return slotCount > quint32(ActiveUploadCount());
}

bool TransferQueueManager::AssertNoExtraUploads()
{
    const int active = ActiveUploadCount();
    const quint32 slotCount = quint32(Settings::Int64(SettingKeys::UploadSlots));
    if (quint32(active) <= slotCount)
        return true;
    Log(LogCategories::kTransferQueue, 1,
        QStringLiteral("More uploads active than there are upload slots: %1 of %2")
            .arg(active)
            .arg(slotCount));
    return false;
}

// ---------------------------------------------------------------------------------------------
// Unsharing and removal

void TransferQueueManager::UnshareUser(std::string user)
{
    ItemPtr userItem = ServerStore::User(user);
    ServerStore::SetFlag(userItem, SharesTypes::Unshared);
    for (Item* entry : userItem.GetItems(UploadEntry))
        DenyAndRemoveUpload(entry, kNotShared);
}

void TransferQueueManager::ReshareUser(std::string user)
{
    ServerStore::ClearFlag(ServerStore::FindUser(user), SharesTypes::Unshared);
}

void TransferQueueManager::RemoveUpload(ItemPtr entry)
{
    ReleaseTransfer(entry, kUploadObjects, false);
    entry[BytesSinceLastReceipt].Remove();
    entry.Remove();
}

void TransferQueueManager::OnUploadEntryRemoved(Item* item)
{
    // However an entry goes, the next placement must not start from it.
    if (lastOrderedUpload == item)
        lastOrderedUpload = nullptr;
}

void TransferQueueManager::DenyAndRemoveUpload(ItemPtr entry, const char* reason)
{
    peerMessenger->DenyUpload(entry[User].AsString(), entry[FilenameAsRequested].AsString(),
                              reason);
    RemoveUpload(entry);
}

bool TransferQueueManager::IsUploadStillShared(ItemPtr entry)
{
    // A folder unshared, a group changed or a file gone from the shares since the request.
    ItemPtr shared = entry[SharesTypes::SharedFile];
    // Without the shares (EngineOptions::sharedFolders) nothing is shared any longer.
    return shared && sharedFoldersManager &&
           sharedFoldersManager->IsFileSharedWithUser(shared, entry[User].AsString());
}

// ---------------------------------------------------------------------------------------------
// Slots and statuses

void TransferQueueManager::StartNewUploads()
{
    int freeSlots = Settings::Int(SettingKeys::UploadSlots) - ActiveUploadCount();
    if (freeSlots <= 0)
        return;

    // One upload in an active status per user: the users that hold one, found once from the
    // few active uploads rather than from each waiting entry's user.
    std::unordered_set<Item*> busy;
    for (Item* status : g(UploadEntryStatus)) {
        if (status->IsConnected(IsActive)) {
            for (Item* active : ItemPtr(status).GetItems(UploadEntry))
                busy.insert(ItemPtr(active)[User].Get());
        }
    }
    // Each entry taken below leaves the candidates (offered, or refused and removed), so the
    // next one asked for is the next in order.
    bool started = false;
    while (ItemPtr entry = m_uploadCandidates->First(busy)) {
        ItemPtr user = entry[User];
        if (!IsUploadStillShared(entry)) {
            Log(LogCategories::kTransferQueue, 1,
                QStringLiteral("Upload of %1 to %2 no longer shared, removing it")
                    .arg(TextForLog(entry[FilenameAsRequested].AsString()),
                         TextForLog(user.AsString())),
                user);
            DenyAndRemoveUpload(entry, kNotShared);
            continue;
        }
        const quint32 token = peerMessenger->RequestUpload(
            user.AsString(), entry[FilenameAsRequested].AsString(),
            entry[SharesTypes::SharedFile][SharesTypes::SharedFileSize].AsInt64());
        SetUploadEntryStatus(entry, TransferStatus::Requesting);
        entry += d.GetType(TransferReq)->GetItem(Value(token));
        busy.insert(user.Get());
        started = true;
        DetermineUploadSpeedLimit();
        if (--freeSlots == 0)
            break;
    }
    if (started)
        AssertNoExtraUploads();
}

void TransferQueueManager::SetUploadSlots(int count)
{
    if (count < 1 || count > 99)
        return;
    const int old = Settings::Int(SettingKeys::UploadSlots);
    Settings::SetNumber(SettingKeys::UploadSlots, count);
    // Fewer slots stop nothing: running uploads finish and no new one starts until one is free.
    if (count > old)
        StartNewUploads();
}

void TransferQueueManager::SetUploadEntryStatus(ItemPtr entry, std::string status)
{
    const bool wasActive = entry[UploadEntryStatus].IsConnected(IsActive);
    entry += d.GetType(UploadEntryStatus)->GetItem(Value(status));
    StampTime(entry, LastStatusChangeTime);
    if (!wasActive || entry[UploadEntryStatus].IsConnected(IsActive))
        return;

    ReleaseTransfer(entry, kUploadObjects, true);
    if (status == TransferStatus::Aborted) {
        // So that the downloader asks for the file again.
        ItemPtr user = entry[User];
        Log(LogCategories::kTransferQueue, 1,
            QStringLiteral("Upload of %1 to %2 aborted, sending upload failed notification.")
                .arg(TextForLog(
                         entry[SharesTypes::SharedFile][SharesTypes::SharedFileName].AsString()),
                     TextForLog(user.AsString())),
            user);
        MemStream message;
        message.Write(quint32(PM_UPLOAD_FAILED));
        message.Write(entry[FilenameAsRequested].AsString());
        peerMessenger->SendMessage(user.AsString(), message);
    }
    // The speed limit is shared out among the uploads still active.
    DetermineUploadSpeedLimit();
}

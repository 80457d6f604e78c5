#include "transfers/TransferQueueManager.h"

#include "server/ServerSchema.h"
#include "shares/SharesSchema.h"
#include "store/Clock.h"
#include "store/Log.h"
#include "transfers/TransfersSchema.h"

#include <algorithm>
#include <limits>
#include <vector>

// Cleaning up after peers that stop answering: uploads stuck before any data flowed are ended,
// and users who hold our queued downloads are asked again now and then. Also the ages that
// both go by (and that of an upload's last sign of life, which the transfers page's clean-up
// goes by), and the diagnostic timer that tells how late ticks come.

using namespace TransfersTypes;
using ServerTypes::User;

namespace {

// An upload that has not got through its set-up in this long is given up.
constexpr qint64 kSetUpTimeoutMs = 30000;
// A user holding queued downloads is asked to queue them again at most this often.
constexpr qint64 kRequeueIntervalMs = 600000;
// One tick asks at most the share of those users that spreads them over the interval's ticks
// (of half a minute), or this many if that is more, those asked longest ago first: a burst of
// users asked at once is not asked again all at once, each needing a connection.
constexpr qint64 kTickMs = 30000;
constexpr size_t kMinRequeuesPerTick = 16;
// The diagnostic timer's interval.
constexpr int kTimerTestIntervalMs = 1000;

std::vector<uint32_t> Ids(const ItemSet& items)
{
    std::vector<uint32_t> ids;
    ids.reserve(items.size());
    for (Item* item : items)
        ids.push_back(item->Id());
    return ids;
}

// The item of that id while it is still one of that type: a step may remove what was listed.
ItemPtr Live(uint32_t id, const Type* type)
{
    Item* item = d.ItemById(id);
    return item && item->GetType() == type ? ItemPtr(item) : ItemPtr();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Stored times and their ages

void TransferQueueManager::StampTime(ItemPtr item, const char* timeType)
{
    StampText(item, timeType);
    m_stampedMs[item->Id()] = Clock::MonotonicMs();
}

void TransferQueueManager::StampText(ItemPtr item, const char* timeType)
{
    // The text changes once a second: a queue of many downloads converts it once.
    const QString now = Clock::NowText();
    if (now != m_stampText) {
        m_stampText = now;
        m_stampValue = now.toStdString();
    }
    item += d.GetType(timeType)->GetItem(Value(m_stampValue));
}

qint64 TransferQueueManager::AgeMs(ItemPtr item, const char* timeType) const
{
    const auto it = m_stampedMs.find(item->Id());
    if (it != m_stampedMs.end())
        return Clock::MonotonicMs() - it->second;
    // Not stamped in this run: the text is all there is, and a time ahead of the clock is no
    // age at all rather than a negative one.
    const QDateTime then = Clock::FromText(QString::fromStdString(item[timeType].AsString()));
    return then.isValid() ? std::max<qint64>(0, then.msecsTo(Clock::Now())) : 0;
}

void TransferQueueManager::StampDataMoved(ItemPtr entry)
{
    m_dataMovedMs[entry->Id()] = Clock::MonotonicMs();
}

qint64 TransferQueueManager::UploadActivityAgeMs(ItemPtr entry) const
{
    const bool changed = entry.IsConnected(LastStatusChangeTime);
    // Data counts while the transfer that moved it is there: its time goes with the teardown,
    // after which the status change that caused it is the later one anyway.
    const auto moved =
        entry.IsConnected(LastReceiptTime) ? m_dataMovedMs.find(entry->Id()) : m_dataMovedMs.end();
    if (!changed && moved == m_dataMovedMs.end())
        return -1;
    qint64 age = changed ? AgeMs(entry, LastStatusChangeTime) : std::numeric_limits<qint64>::max();
    if (moved != m_dataMovedMs.end())
        age = std::min(age, std::max<qint64>(0, Clock::MonotonicMs() - moved->second));
    return age;
}

void TransferQueueManager::OnTimedItemRemoved(Item* item)
{
    // Ids are used again: a new item must not inherit the age of an old one.
    m_stampedMs.erase(item->Id());
    m_dataMovedMs.erase(item->Id());
}

// ---------------------------------------------------------------------------------------------
// The periodic work

void TransferQueueManager::EveryHalfMinute()
{
    // The uploads in a set-up status, all taken before any of them changes.
    ItemSet settingUp;
    for (const char* status : {TransferStatus::Requesting, TransferStatus::Connecting,
                               TransferStatus::WaitingForOffset}) {
        if (ItemPtr item = d.GetType(UploadEntryStatus)->HasItem(Value(status)))
            settingUp.Add(item.GetItems(UploadEntry));
    }
    const Type* uploads = d.GetType(UploadEntry);
    bool aborted = false;
    for (uint32_t id : Ids(settingUp)) {
        ItemPtr entry = Live(id, uploads);
        if (!entry || AgeMs(entry, LastStatusChangeTime) < kSetUpTimeoutMs)
            continue;
        Log(LogCategories::kTransferQueue, 1,
            QStringLiteral("Upload of %1 to %2 timed out in %3 phase, aborting")
                .arg(TextForLog(
                         entry[SharesTypes::SharedFile][SharesTypes::SharedFileName].AsString()),
                     TextForLog(entry[User].AsString()),
                     TextForLog(entry[UploadEntryStatus].AsString())));
        SetUploadEntryStatus(entry, TransferStatus::Aborted);
        aborted = true;
    }
    if (aborted)
        StartNewUploads();

    // Online users who hold downloads of ours that still wait.
    ItemPtr queued = d.GetType(DownloadEntryStatus)->HasItem(Value(TransferStatus::Queued));
    const ItemSet waiting =
        queued.GetItems(DownloadEntry).GetItems(User).Connected(ServerTypes::IsOnline);
    const Type* users = d.GetType(User);
    std::vector<std::pair<qint64, uint32_t>> due; // how long since asked, the user
    for (uint32_t id : Ids(waiting)) {
        ItemPtr user = Live(id, users);
        if (!user || IsActivelyDownloadingFromUser(user.AsString()))
            continue;
        const qint64 age = user.IsConnected(LastQueueRequestTime)
                               ? AgeMs(user, LastQueueRequestTime)
                               : std::numeric_limits<qint64>::max();
        if (age >= kRequeueIntervalMs)
            due.emplace_back(age, id);
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    const size_t perTick = std::max(
        kMinRequeuesPerTick,
        size_t((qint64(waiting.size()) * kTickMs + kRequeueIntervalMs - 1) / kRequeueIntervalMs));
    due.resize(std::min(due.size(), perTick));
    for (const auto& [age, id] : due) {
        if (ItemPtr user = Live(id, users))
            RequeueUserDownloads(user);
    }
}

void TransferQueueManager::PeriodicCheck()
{
    // Nothing of the transfers needs the five-minute tick; it is connected so that work of that
    // rhythm has its place.
}

// ---------------------------------------------------------------------------------------------
// The timer diagnostic

void TransferQueueManager::StartTimerTest()
{
    connect(&timerTestTimer, &QTimer::timeout, this, &TransferQueueManager::TimerTest,
            Qt::UniqueConnection);
    timerTestTimer.setSingleShot(false);
    timerTestTimer.start(kTimerTestIntervalMs);
    timerTestClock.start();
}

void TransferQueueManager::TimerTest()
{
    // Negative when a tick comes early.
    const qint64 lateness = timerTestClock.elapsed() - kTimerTestIntervalMs;
    Log(LogCategories::kTimerTest, 1,
        QStringLiteral("Timeout: %1 milliseconds behind schedule").arg(lateness));
    timerTestClock.restart();
}

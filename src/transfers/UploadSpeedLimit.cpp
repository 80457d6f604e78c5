#include "transfers/TransferQueueManager.h"

#include "store/Clock.h"
#include "store/Settings.h"
#include "transfers/TransfersSchema.h"

#include <QDateTime>

// The user's cap on the total upload speed, split evenly over the uploads that hold a slot. The
// upload threads read the split once per block; the pacing itself is UploadThrottle's.

using namespace TransfersTypes;

void TransferQueueManager::SetUploadSpeedLimit(int limit)
{
    Settings::SetNumber(SettingKeys::UploadSpeedLimit, limit);
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::EnableUploadSpeedLimit(bool enabled)
{
    Settings::SetYes(SettingKeys::UploadSpeedLimitEnabled, enabled);
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::DetermineUploadSpeedLimit()
{
    const qint32 total = Settings::Int(SettingKeys::UploadSpeedLimit);
    if (total <= 0 || !Settings::IsYes(SettingKeys::UploadSpeedLimitEnabled)) {
        m_uploadLimits.Disable();
        return;
    }
    // Uploads still asking or connecting hold a slot too, and so a share.
    const ItemSet active =
        d.GetType(UploadEntryStatus)->GetItems().Connected(IsActive).GetItems(UploadEntry);
    m_uploadLimits.Apply(total, int(active.size()));
    // Rates are measured afresh under the new share.
    for (Item* item : active) {
        ItemPtr entry(item);
        if (auto* since = entry[LastSpeedMeasurementTime].AsPointer<QDateTime>())
            *since = Clock::Now();
        if (auto* bytes = entry[BytesSinceLastReceipt].AsPointer<qint64>())
            *bytes = 0;
    }
}

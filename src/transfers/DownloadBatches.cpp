#include "transfers/DownloadBatches.h"

#include "transfers/TransferQueueManager.h"

#include <algorithm>

DownloadBatches::DownloadBatches(TransferQueueManager& transfers)
    : m_transfers(transfers), m_job([this] { return Step(); })
{
}

void DownloadBatches::Add(const std::string& user, std::vector<FolderDownload> folders)
{
    Batch batch;
    batch.user = user;
    batch.folders = std::move(folders);
    m_batches.push_back(std::move(batch));
    // Asked for from inside a step (a listener of new downloads), they are made in a later
    // slice, after the ones before them.
    m_job.RunNow();
}

void DownloadBatches::Finish()
{
    m_job.Finish();
}

bool DownloadBatches::Step()
{
    if (m_batches.empty())
        return false;
    Batch& batch = m_batches.front();
    while (batch.folder < batch.folders.size() &&
           batch.file == batch.folders[batch.folder].files.size()) {
        ++batch.folder;
        batch.file = 0;
    }
    if (batch.folder == batch.folders.size()) {
        m_batches.pop_front();
        return !m_batches.empty();
    }
    const TransferQueueManager::BatchMemo memo(m_transfers);
    // Copies: the downloads' own handlers may queue more batches meanwhile.
    const std::string user = batch.user;
    const FolderDownload& folder = batch.folders[batch.folder];
    const std::string remote = folder.folder;
    const size_t end = std::min(folder.files.size(), batch.file + kDownloadsAStep);
    while (batch.file < end) {
        const auto& [name, size] = folder.files[batch.file++];
        m_transfers.AddDownload(user, name, remote, size, folder.level);
    }
    return true;
}

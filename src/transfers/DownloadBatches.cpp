#include "transfers/DownloadBatches.h"

#include "transfers/TransferQueueManager.h"

#include <QElapsedTimer>
#include <QScopedValueRollback>

DownloadBatches::DownloadBatches(TransferQueueManager& transfers) : m_transfers(transfers)
{
    m_slice.setSingleShot(true);
    m_slice.setInterval(0);
    connect(&m_slice, &QTimer::timeout, this, &DownloadBatches::RunSlice);
}

void DownloadBatches::Add(const std::string& user, std::vector<FolderDownload> folders)
{
    Batch batch;
    batch.user = user;
    batch.folders = std::move(folders);
    m_batches.push_back(std::move(batch));
    RunSlice();
}

void DownloadBatches::Finish()
{
    m_slice.stop();
    const QScopedValueRollback<bool> running(m_running, true);
    const TransferQueueManager::BatchMemo memo(m_transfers);
    while (!m_batches.empty()) {
        if (!Step())
            m_batches.pop_front();
    }
}

void DownloadBatches::RunSlice()
{
    // A download made from inside a slice that asks for more (a listener of new downloads)
    // has them made in a later slice, after the ones before them.
    if (m_running) {
        m_slice.start();
        return;
    }
    const QScopedValueRollback<bool> running(m_running, true);
    // The downloads of a folder look for their files in the same folders on disk.
    const TransferQueueManager::BatchMemo memo(m_transfers);
    QElapsedTimer slice;
    slice.start();
    int steps = 0;
    while (!m_batches.empty()) {
        if (!Step()) {
            m_batches.pop_front();
            continue;
        }
        ++steps;
        if (slice.elapsed() >= kSliceMs || (m_stepsPerSlice > 0 && steps >= m_stepsPerSlice))
            break;
    }
    if (!m_batches.empty())
        m_slice.start();
}

bool DownloadBatches::Step()
{
    Batch& batch = m_batches.front();
    while (batch.folder < batch.folders.size() &&
           batch.file == batch.folders[batch.folder].files.size()) {
        ++batch.folder;
        batch.file = 0;
    }
    if (batch.folder == batch.folders.size())
        return false;
    const FolderDownload& folder = batch.folders[batch.folder];
    const auto& [name, size] = folder.files[batch.file++];
    // Copies: the download's own handlers may queue more batches meanwhile.
    const std::string user = batch.user;
    const std::string remote = folder.folder;
    m_transfers.AddDownload(user, name, remote, size, folder.level);
    return true;
}

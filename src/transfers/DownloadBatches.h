#pragma once

// Downloads asked for many at a time: "Download Folder" on the top of a big share queues a
// quarter of a million files, and each one a download entry with its checks on disk. They are
// made a slice at a time between turns of the event loop (a SlicedJob), batches in the order they
// came and each in its own order, every one exactly as AddDownload makes it.

#include "store/SlicedJob.h"

#include <QObject>

#include <deque>
#include <string>
#include <utility>
#include <vector>

class TransferQueueManager;

// The files of one remote folder of a user, each a name and a size, queued with one level.
struct FolderDownload
{
    std::string folder;
    int level = 0;
    std::vector<std::pair<std::string, long long>> files;
};

class DownloadBatches : public QObject
{
    Q_OBJECT

public:
    // A step makes at most this many downloads, all of one folder: they look for their files
    // through what the step's first learnt of the folders on disk, and take their arrival
    // numbers from a counter written when the step ends.
    static constexpr size_t kDownloadsAStep = 256;

    explicit DownloadBatches(TransferQueueManager& transfers);

    // Queues them all: the first slice at once, the rest later.
    void Add(const std::string& user, std::vector<FolderDownload> folders);
    bool IsBusy() const { return !m_batches.empty(); }
    // Makes what is left here and now: before a save, or for a test.
    void Finish();

private:
    struct Batch
    {
        std::string user;
        std::vector<FolderDownload> folders;
        size_t folder = 0;
        size_t file = 0;
    };
    // Makes the next downloads of the first batch's folder at hand; false once no batch is left.
    bool Step();

    TransferQueueManager& m_transfers;
    std::deque<Batch> m_batches;
    SlicedJob m_job;
};

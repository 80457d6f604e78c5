#pragma once

// Downloads asked for many at a time: "Download Folder" on the top of a big share queues a
// quarter of a million files, and each one a download entry with its checks on disk. They are
// made a slice at a time between turns of the event loop, batches in the order they came and
// each in its own order, every one exactly as AddDownload makes it.

#include <QObject>
#include <QTimer>

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
    // The longest a slice runs before the event loop gets a turn.
    static constexpr int kSliceMs = 20;

    explicit DownloadBatches(TransferQueueManager& transfers);

    // Queues them all: the first slice at once, the rest later.
    void Add(const std::string& user, std::vector<FolderDownload> folders);
    bool IsBusy() const { return !m_batches.empty(); }
    // Makes what is left here and now: before a save, or for a test.
    void Finish();
    // Test-only: a slice ends after this many downloads too (0: by time alone).
    void SetStepsPerSliceForTesting(int steps) { m_stepsPerSlice = steps; }

private:
    struct Batch
    {
        std::string user;
        std::vector<FolderDownload> folders;
        size_t folder = 0;
        size_t file = 0;
    };
    void RunSlice();
    // Makes the next download of the first batch; false once that batch is done.
    bool Step();

    TransferQueueManager& m_transfers;
    std::deque<Batch> m_batches;
    QTimer m_slice;
    int m_stepsPerSlice = 0;
    bool m_running = false;
};

#pragma once

// The disk half of a scan: the folders of one shared root listed depth first on a thread of
// its own, and what it meets handed to the GUI thread as records, a batch at a time, in the
// order a depth-first descent over each listing meets them. It never touches the store; the
// GUI thread applies the records (ShareScanner.cpp).
//
// Links are followed, so a link back up the tree (a/loop -> a) would be entered again and again
// until paths grew too long for the system, and two such links make that exponential. A
// directory whose device and inode are already on the current descent path is therefore not
// entered. Nor is one already entered through another path while walking this root: two links
// to one folder, in each folder of a chain of them, would share 2^n copies of the chain's end.
// The descent is an explicit work list, not recursion, so a deep share costs heap and not
// stack.

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace ShareWalk {

using FolderId = std::pair<quint64, quint64>; // device, inode

struct Record
{
    enum Kind : quint8
    {
        EnterFolder,  // text: the folder's path
        File,         // text: the file's name; size; mp3: sent for an MP3 scan by its name
        LeaveFolder,  // the folder entered last is done
        LoopSkipped,  // text: a folder not entered, since it leads back into one above it
        TwiceSkipped, // text: a folder not entered, other: the path it was entered by
    };
    Kind kind = File;
    bool mp3 = false;
    quint32 text = 0; // offsets and lengths into the batch's text
    quint32 textLength = 0;
    quint32 other = 0;
    quint32 otherLength = 0;
    qint64 size = 0;
};

struct Batch
{
    quint64 walk = 0;
    // The walk's last batch: nothing of it follows.
    bool last = false;
    std::string text;
    std::vector<Record> records;

    std::string_view Text(const Record& r) const { return {text.data() + r.text, r.textLength}; }
    std::string_view Other(const Record& r) const
    {
        return {text.data() + r.other, r.otherLength};
    }
};

// A file a walk never lists: the store file or one of its companions, by the folder it lies in
// and the store file's name there.
struct StoreFile
{
    FolderId folder;
    std::string name;
};

// Whether a file is sent for an MP3 scan by its name: longer than four bytes and ending in
// exactly ".mp3" or ".MP3" (a.Mp3 is not).
bool IsMP3Name(std::string_view name);

class Walker
{
public:
    // A batch holds up to this many records, so that a slice of work on the GUI thread can take
    // one without holding the thread long, and what is listed but not yet applied stays bounded:
    // the walker waits while kMaxWaitingBatches are waiting.
    static constexpr size_t kBatchRecords = 1024;
    static constexpr size_t kMaxWaitingBatches = 16;

    // ready is called on the walker's thread when a batch starts waiting where none did, so
    // that the GUI thread can be woken.
    explicit Walker(std::function<void()> ready);
    // Stops the walk under way (it sees that within an entry of a listing) and waits for it.
    ~Walker();
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    // Starts walking folder, as a part of root; any walk under way is given up first, and the
    // batches it left are dropped. Returns the walk's number, which its batches carry.
    quint64 Start(const std::string& root, const std::string& folder,
                  std::vector<StoreFile> storeFiles);
    // Gives up the walk under way, if any; its batches are dropped.
    void Cancel();
    // Takes the next batch, when one is waiting.
    bool Take(Batch& out);
    // The same, waiting for it: for hosts that apply a scan without the event loop.
    void WaitAndTake(Batch& out);

private:
    struct Job
    {
        quint64 walk = 0;
        std::string root;
        std::string folder;
        std::vector<StoreFile> storeFiles;
    };
    void Run();
    void Walk(const Job& job);
    // Hands the batch being filled to the GUI thread; false when the walk is to stop.
    bool Hand(Batch& batch, bool last);
    bool Stopping(quint64 walk) const
    {
        return m_stop.load(std::memory_order_relaxed) ||
               m_cancelled.load(std::memory_order_relaxed) >= walk;
    }

    std::function<void()> m_ready;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;  // the walker: a job, or room in the queue
    std::condition_variable m_taken; // a host waiting in WaitAndTake: a batch
    std::deque<Job> m_jobs;
    std::deque<Batch> m_batches;
    quint64 m_lastWalk = 0;
    // Walks up to this number are given up.
    std::atomic<quint64> m_cancelled{0};
    std::atomic<bool> m_stop{false};
};

} // namespace ShareWalk

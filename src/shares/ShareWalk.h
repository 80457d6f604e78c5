#pragma once

// The disk half of a scan: the folders of one shared root listed depth first on a worker thread
// (store/WorkerThread.h), and what it meets handed back to the GUI thread as records, a batch at
// a time, in the order a depth-first descent over each listing meets them. It never touches the
// store; the GUI thread applies the records (ShareScanner.cpp).
//
// Links are followed, so a link back up the tree (a/loop -> a) would be entered again and again
// until paths grew too long for the system, and two such links make that exponential. A
// directory whose device and inode are already on the current descent path is therefore not
// entered. Nor is one already entered through another path while walking this root: two links
// to one folder, in each folder of a chain of them, would share 2^n copies of the chain's end.
// The descent is an explicit work list, not recursion, so a deep share costs heap and not
// stack.

#include <QtGlobal>

#include "store/WorkerThread.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
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
    std::string_view Other(const Record& r) const { return {text.data() + r.other, r.otherLength}; }
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
    // the walker goes on while fewer than kMaxWaitingBatches are waiting or being listed.
    static constexpr size_t kBatchRecords = 1024;
    static constexpr size_t kMaxWaitingBatches = 16;

    // ready is called, on the thread that made the walker, when a batch starts waiting where
    // none did.
    explicit Walker(std::function<void()> ready);
    // Stops the walk under way (it sees that within an entry of a listing) and waits for it.
    ~Walker();
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    // Starts walking folder; any walk under way is given up first, and the batches it left are
    // dropped. Returns the walk's number, which its batches carry.
    quint64 Start(const std::string& folder, std::vector<StoreFile> storeFiles);
    // Gives up the walk under way, if any; its batches are dropped.
    void Cancel();
    // Takes the next batch, when one is waiting.
    bool Take(Batch& out);
    // The same, waiting for it: for hosts that apply a scan without the event loop. Takes
    // nothing when no walk is under way.
    void WaitAndTake(Batch& out);

private:
    // What a walk holds between its batches; the worker's alone while it walks.
    struct Walk;

    // Keeps the worker listing batches while too few wait.
    void Refill();
    void Arrived(Batch batch);

    std::function<void()> m_ready;
    std::deque<Batch> m_batches;
    std::shared_ptr<Walk> m_walk;
    quint64 m_lastWalk = 0;
    // Batches asked of the worker and not handed back yet; the walk's last one handed back.
    size_t m_asked = 0;
    bool m_ended = true;
    WorkerThread m_worker; // last: its hand-backs use the members above
};

} // namespace ShareWalk

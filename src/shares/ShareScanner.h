#pragma once

// The store half of a scan. The walker (ShareWalk.h) lists the folders on a worker thread;
// here, on the GUI thread, its records are applied to the store by a SlicedJob on the turn's
// budget, with the event loop running between slices, so that a share of a million files
// neither holds the window nor keeps a search waiting for seconds. The store sees exactly what
// a scan walking the disk on this thread would do, in the same order: folders, files, the added
// and removed counts, the log lines and the MP3 requests.
//
// Scans run one after another: a rescan, or the scan of one new root, waits for those asked for
// before it. What a scan holds across slices (the folder being applied, the files it knew,
// what it is about to remove) is dropped from its lists as soon as anything else removes it.

#include "shares/ShareWalk.h"
#include "store/SlicedJob.h"

#include <QtGlobal>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class Item;
class SharedFoldersManager;

class ShareScanner
{
public:
    explicit ShareScanner(SharedFoldersManager& shares);
    // Gives up the scan under way; the walker's thread is stopped and waited for.
    ~ShareScanner();
    ShareScanner(const ShareScanner&) = delete;
    ShareScanner& operator=(const ShareScanner&) = delete;

    // A rescan of every root, reported when it ends.
    void QueueRescan();
    // A scan of one folder of one root, as a new root is scanned; it reports nothing.
    void QueueWalk(const std::string& root, const std::string& folder);
    bool IsScanning() const { return m_phase != Phase::Idle || !m_jobs.empty(); }
    // Applies everything asked for, here and now, without the event loop.
    void Finish();
    // Gives up everything asked for; what is in the store stays, a consistent picture of the
    // folders as far as they were applied.
    void Stop();

    // The store's removals, from the manager's handlers.
    void OnFileRemoved(Item* file);
    void OnFolderRemoved(Item* folder);
    void OnRootRemoved(Item* root);

private:
    // Items held across slices, in id order; an item removed by anyone meanwhile reads as null.
    class HeldItems
    {
    public:
        void Clear();
        void Add(Item* item); // in id order
        size_t Size() const { return m_items.size(); }
        Item* At(size_t k) const { return m_items[k].item; }
        // For items whose removal nobody reports here: the one held, if it is still the item
        // of that id.
        Item* Live(size_t k) const;
        size_t Find(const Item* item) const;
        bool Forget(const Item* item);
        bool Marked(size_t k) const { return m_items[k].marked; }
        void Mark(size_t k) { m_items[k].marked = true; }

    private:
        struct Held
        {
            uint32_t id;
            Item* item;
            bool marked;
        };
        std::vector<Held> m_items;
    };

    struct Job
    {
        enum Kind
        {
            Rescan,    // every root, then the report
            Walk,      // one root
            RescanEnd, // the rescan's last steps
        };
        Kind kind = Walk;
        std::string root;
        std::string folder;
        bool partOfRescan = false;
    };

    // A folder being applied.
    struct Frame
    {
        Item* folder = nullptr;
        std::string path;
        // The files the store knew in it; marked once found on disk again.
        HeldItems known;
        // The known files by their name item, made when a name is too common to look up the
        // other way round.
        std::unordered_map<const Item*, size_t> byName;
        bool byNameMade = false;
        // The folder's words are linked to it (words never change with a folder's path).
        bool indexed = false;
        // Its records are all applied: its unfound files are being removed, from here on.
        bool leaving = false;
        size_t leaveAt = 0;
    };

    enum class Phase
    {
        Idle,
        Walking,   // applying a walk's records
        Unlinking, // the rescan walk's root let go of the folders it no longer reaches
        Removing,  // the rescan's gone folders and their files going
        Tidying,   // the names, sizes and words its removals left unused going
        Reporting, // the rescan's report
    };
    enum class Step
    {
        Idle,    // nothing more to do
        Waiting, // for the walker's next batch
        Worked,
    };

    // One step of the slices: a record applied, a handful of removals, a batch taken.
    bool SliceStep();
    Step Next();
    void StartJob(Job job);
    void StartWalk(const Job& job);
    Step WalkStep();
    void EndWalk();
    void Abandon();
    void Apply(const ShareWalk::Record& record);
    void EnterFolder(std::string_view path);
    void ApplyFile(Frame& frame, std::string_view name, qint64 size, bool mp3);
    // The known file of the frame's folder with that name item, and its index there (-1 when
    // it is not one of the known files), or null.
    Item* FindKnown(Frame& frame, const Item* name, size_t* index);
    void LeaveStep(Frame& frame);
    void UnlinkStep();
    void StartRemoving();
    void RemoveStep();
    void StartTidying(size_t type);
    void TidyStep();
    void Report();
    std::vector<ShareWalk::StoreFile> StoreFiles() const;

    SharedFoldersManager& m_shares;
    SlicedJob m_slices{[this] { return SliceStep(); }};
    // Last: its worker's hand-backs call on the members above.
    ShareWalk::Walker m_walker;

    std::deque<Job> m_jobs;
    Phase m_phase = Phase::Idle;
    Job m_job;
    Item* m_root = nullptr;
    quint64 m_walk = 0;
    ShareWalk::Batch m_batch;
    size_t m_batchAt = 0;
    bool m_walkDone = false;
    std::vector<Frame> m_frames;
    // The folders this walk entered, by id; the root's other folders are let go after a rescan
    // walk.
    std::vector<uint32_t> m_entered;
    HeldItems m_unlink;
    size_t m_unlinkAt = 0;
    HeldItems m_goneFiles;
    HeldItems m_goneFolders;
    size_t m_removeAt = 0;
    // This rescan removed files or folders, or found files resized: items they used may be
    // left unused.
    bool m_dropped = false;
    size_t m_tidyType = 0;
    HeldItems m_tidy;
    size_t m_tidyAt = 0;
};

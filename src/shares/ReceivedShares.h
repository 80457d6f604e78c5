#pragma once

// Share lists received from other users, kept as trees in the store until the browse page lets
// them go: a user_share per user, a folder item per path with parent and child links between
// folders, a file item per file with its name, size and audio details, and the user_share_loaded
// flag last, once the tree is whole.
//
// A list of a million files makes millions of items and links, far more than one turn of the
// event loop may take. The tree is made in slices, lists one after another in the order they
// came, each folder in path order and its files in set order: the items, their order and the
// log come out as if the list had been built in one go. A removal takes the tree from its user
// at once, so that a new list can come, and deletes it in slices as well.

#include "store/Data.h"
#include "store/FileInfo.h"

#include <QObject>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class ReceivedShares : public QObject
{
    Q_OBJECT

public:
    // A list whose inflated bytes came to this many leaves memory worth handing back to the
    // system once its tree is deleted, however few items it made (long paths, long names).
    static constexpr qint64 kTrimAfterListBytes = qint64(16) * 1024 * 1024;
    // The longest a slice of building or deleting runs before the event loop gets a turn.
    static constexpr int kSliceMs = 20;

    explicit ReceivedShares(QObject* parent = nullptr);
    ~ReceivedShares() override;

    // Logs the list and, unless the user has a tree already (built or on its way), starts one.
    // listBytes: the list's inflated size (0 when not known).
    void Keep(const std::string& user, std::shared_ptr<FileInfoMap> folders, qint64 listBytes);
    // Deletes the user's tree, also one still being built.
    void Remove(const std::string& user);

    bool IsBusy() const { return !m_builds.empty() || !m_removals.empty(); }
    // Does what is under way and asked for here and now, without the event loop.
    void Finish();
    // Forgets what is under way, for hosts that reuse one engine for many runs.
    void Reset();
    // Test-only: a slice ends after this many steps too (0: by time alone).
    void SetStepsPerSliceForTesting(int steps) { m_stepsPerSlice = steps; }
    // Test-only: how many times freed memory was handed back to the system.
    int TrimsForTesting() const { return m_trims; }

private:
    struct Build
    {
        std::string user;
        std::shared_ptr<FileInfoMap> folders;
        Item* share = nullptr;
        // The folder whose files are being made (the map's first), and its next file.
        Item* folder = nullptr;
        std::set<FileInfo>::const_iterator file;
        // This tree's folders by path. The keys are the stored names' own bytes: the map's
        // folders are let go as they are made.
        std::unordered_map<std::string_view, Item*> made;
    };
    // A tree taken from its user, deleted files first, then folders, then the share.
    struct Removal
    {
        ItemList files;
        ItemList folders;
        Item* share = nullptr;
        size_t next = 0;
        qint64 listBytes = 0;
    };

    void Schedule();
    void RunSlice();
    // One folder or one file of the build; false once the build is done.
    bool BuildStep(Build& build);
    // Some items of the removal; false once it is done.
    bool RemoveStep(Removal& removal);
    // Takes the first build or removal off its queue and ends it.
    void EndBuild();
    void EndRemoval();

    std::deque<Build> m_builds;
    std::deque<Removal> m_removals;
    // The inflated size of each kept list, by user.
    std::map<std::string, qint64> m_listBytes;
    QTimer m_slice;
    int m_stepsPerSlice = 0;
    bool m_running = false;
    int m_trims = 0;
};

#pragma once

// Share lists received from other users, kept as trees in the store until the browse page lets
// them go: a user_share per user, a folder item per path with parent and child links between
// folders, a file item per file with its name, size and audio details, and the user_share_loaded
// flag last, once the tree is whole.
//
// A list of a million files makes millions of items and links, far more than one turn of the
// event loop may take. The tree is made in slices, lists one after another in the order they
// came, each folder in path order and its files in set order, read from the list's own bytes as
// their turn comes: the items, their order and the log come out as if the list had been built
// in one go. A removal takes the tree from its user at once, so that a new list can come, and
// deletes it in slices as well, folder by folder, each with its files, its links and whatever
// value items (names, sizes, details) were left without a partner; items the tree shares with
// anything else stay, as the garbage sweep would have them.

#include "peer/ReceivedShareList.h"
#include "store/Data.h"
#include "store/SlicedJob.h"

#include <QObject>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class ReceivedShares : public QObject
{
    Q_OBJECT

public:
    // A list whose inflated bytes came to this many leaves memory worth handing back to the
    // system once its tree is deleted, however few items it made (long paths, long names).
    static constexpr qint64 kTrimAfterListBytes = qint64(16) * 1024 * 1024;

    explicit ReceivedShares(QObject* parent = nullptr);
    ~ReceivedShares() override;

    // Logs the list and, unless the user has a tree already (built or on its way), starts one.
    void Keep(const std::string& user, std::shared_ptr<const ReceivedShareList> list);
    // Deletes the user's tree, also one still being built.
    void Remove(const std::string& user);

    bool IsBusy() const { return !m_builds.empty() || !m_removals.empty(); }
    // Does what is under way and asked for here and now, without the event loop.
    void Finish();
    // Forgets what is under way, for hosts that reuse one engine for many runs.
    void Reset();
    // Test-only: how many times freed memory was handed back to the system.
    int TrimsForTesting() const { return m_trims; }

private:
    struct Build
    {
        std::string user;
        std::shared_ptr<const ReceivedShareList> list;
        Item* share = nullptr;
        // The next folder of the list, the folder whose files are being made, and those files.
        size_t nextFolder = 0;
        Item* folder = nullptr;
        std::vector<ShareListFile> files;
        size_t nextFile = 0;
        // This tree's folders by path, the stored names' own bytes.
        std::unordered_map<std::string_view, Item*> made;
        bool endPutOff = false;
    };
    // A tree taken from its user: each folder's files, then the folder, then the share.
    struct Removal
    {
        ItemList folders;
        Item* share = nullptr;
        size_t nextFolder = 0;
        // The files of the folder at hand, and how many of them went.
        ItemList files;
        size_t nextFile = 0;
        bool filesTaken = false;
        size_t removed = 0;
        qint64 listBytes = 0;
        bool endPutOff = false;
    };

    // A step of what is under way, removals first: a tree closed and opened again gives the old
    // tree back to the system before the new one takes its place. False once nothing is left.
    bool Step();
    // One folder or one file of the build; false once the build is done.
    bool BuildStep(Build& build);
    // Some items of the removal; false once it is done.
    bool RemoveStep(Removal& removal);
    // Removes the item and then each of its partners it left with no partner at all, unless
    // that is a root; the tree's own items that stay linked are the caller's.
    void RemoveWithOrphans(Item* item);
    // Takes the first build or removal off its queue and ends it.
    void EndBuild();
    void EndRemoval();

    std::deque<Build> m_builds;
    std::deque<Removal> m_removals;
    // The inflated size of each kept list, by user.
    std::map<std::string, qint64> m_listBytes;
    // Partners of an item being removed, with their ids (RemoveWithOrphans).
    std::vector<std::pair<uint32_t, Item*>> m_partners;
    SlicedJob m_job;
    int m_trims = 0;
};

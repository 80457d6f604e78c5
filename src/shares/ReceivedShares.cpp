#include "shares/ReceivedShares.h"

#include "peer/PeerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shares/SharesSchema.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"

#include <QElapsedTimer>
#include <QScopedValueRollback>

#include <algorithm>

using namespace SharesTypes;

namespace {

void MakeFile(Item* folder, const FileInfo& info)
{
    ItemPtr file = d.GetType(UserShareFile)->NewItem();
    file += folder;
    file += d.GetType(UserShareFileName)->GetItem(Value(info.name));
    file += d.GetType(PeerTypes::FileSize)->GetItem(Value(static_cast<long long>(info.size)));
    // Each of these links holds one partner: a repeated code replaces the earlier one.
    for (const auto& [code, value] : info.attributes.attributes) {
        switch (code) {
        case AttributeMap::Bitrate:
            file += d.GetType(PeerTypes::Bitrate)->GetItem(Value(int(value)));
            break;
        case AttributeMap::LengthSeconds:
            file += d.GetType(PeerTypes::LengthSeconds)->GetItem(Value(int(value)));
            break;
        case AttributeMap::VariableBitrate:
            file += d.GetType(PeerTypes::BitrateMode)->GetItem(Value(value != 0 ? "vbr" : "cbr"));
            break;
        default:
            break;
        }
    }
}

std::string_view View(const ItemText& text)
{
    return std::string_view(text.data(), text.size());
}

} // namespace

ReceivedShares::ReceivedShares(QObject* parent) : QObject(parent)
{
    m_slice.setSingleShot(true);
    m_slice.setInterval(0);
    connect(&m_slice, &QTimer::timeout, this, &ReceivedShares::RunSlice);
}

ReceivedShares::~ReceivedShares() = default;

void ReceivedShares::Keep(const std::string& user, std::shared_ptr<FileInfoMap> folders,
                          qint64 listBytes)
{
    Log(LogCategories::kShared, 1,
        QStringLiteral("Received shared file list from user %1")
            .arg(QString::fromLatin1(user.data(), qsizetype(user.size()))));
    ItemPtr userItem = ServerStore::User(user);
    // A fresh list replaces a tree only once the old one was removed.
    if (userItem[UserShare] || !folders)
        return;
    ItemPtr share = d.GetType(UserShare)->NewItem();
    share += userItem;
    m_listBytes[user] = listBytes;
    Build build;
    build.user = user;
    build.folders = std::move(folders);
    build.share = share;
    build.made.reserve(build.folders->size());
    m_builds.push_back(std::move(build));
    // The first slice at once: a list of a few thousand files is whole before this returns,
    // as it was before lists were built in slices.
    if (!m_running)
        RunSlice();
    Schedule();
}

void ReceivedShares::Remove(const std::string& user)
{
    ItemPtr userItem = ServerStore::FindUser(user);
    ItemPtr share = userItem[UserShare];
    if (!share)
        return;
    // What was not made yet is not made at all.
    const auto building = std::find_if(m_builds.begin(), m_builds.end(),
                                       [&share](const Build& b) { return b.share == share; });
    if (building != m_builds.end())
        m_builds.erase(building);
    Removal removal;
    const ItemSet folders = share.GetItems(UserShareFolder);
    removal.folders.assign(folders.begin(), folders.end());
    const ItemSet files = folders.GetItems(UserShareFile);
    removal.files.assign(files.begin(), files.end());
    removal.share = share;
    const auto bytes = m_listBytes.find(user);
    if (bytes != m_listBytes.end()) {
        removal.listBytes = bytes->second;
        m_listBytes.erase(bytes);
    }
    // Taken from the user now: the user may be sent for a list again at once.
    share.Disconnect(userItem);
    m_removals.push_back(std::move(removal));
    Schedule();
}

void ReceivedShares::Finish()
{
    m_slice.stop();
    while (IsBusy()) {
        if (!m_removals.empty()) {
            while (RemoveStep(m_removals.front())) {
            }
            EndRemoval();
            continue;
        }
        while (BuildStep(m_builds.front())) {
        }
        EndBuild();
    }
}

void ReceivedShares::Reset()
{
    m_slice.stop();
    m_builds.clear();
    m_removals.clear();
    m_listBytes.clear();
}

void ReceivedShares::Schedule()
{
    if (IsBusy() && !m_slice.isActive())
        m_slice.start();
}

void ReceivedShares::RunSlice()
{
    // A listener that keeps or removes a tree from inside a slice queues its work for later.
    if (m_running)
        return Schedule();
    const QScopedValueRollback<bool> running(m_running, true);
    QElapsedTimer slice;
    slice.start();
    int steps = 0;
    const auto goOn = [&] {
        ++steps;
        return slice.elapsed() < kSliceMs && (m_stepsPerSlice == 0 || steps < m_stepsPerSlice);
    };
    // Trees are deleted before new ones are made: a tab closed and opened again gives the
    // old tree back to the system before the new one takes its place.
    while (!m_removals.empty()) {
        bool more = true;
        while ((more = RemoveStep(m_removals.front())) && goOn()) {
        }
        if (more)
            return Schedule();
        EndRemoval();
        if (!goOn())
            return Schedule();
    }
    while (!m_builds.empty()) {
        bool more = true;
        while ((more = BuildStep(m_builds.front())) && goOn()) {
        }
        if (more)
            return Schedule();
        EndBuild();
        if (!goOn())
            return Schedule();
    }
}

void ReceivedShares::EndBuild()
{
    m_slice.stop();
    // Out of the queue first: whoever hears of the finished tree may remove it, or keep
    // another.
    Item* share = m_builds.front().share;
    m_builds.pop_front();
    // Made last: whoever watches for it finds the tree complete.
    ItemPtr(share).NewItem(UserShareLoaded);
    Schedule();
}

bool ReceivedShares::BuildStep(Build& build)
{
    FileInfoMap& folders = *build.folders;
    if (build.folder) {
        const auto& files = folders.begin()->second;
        if (build.file != files.end()) {
            MakeFile(build.folder, *build.file++);
            return true;
        }
        // Its records are not needed any more.
        folders.erase(folders.begin());
        build.folder = nullptr;
    }
    if (folders.empty())
        return false;
    // The map is ordered, so a parent, whose path is a prefix of its child's, is always made
    // first.
    const auto& [path, files] = *folders.begin();
    ItemPtr folder = d.GetType(UserShareFolder)->NewItem();
    folder += build.share;
    ItemPtr name = d.GetType(UserShareFolderName)->GetItem(Value(path));
    folder += name;
    // A top folder ("Music") is its own GetParentFolder: it has no parent, not itself.
    const std::string parentPath = GetParentFolder(path);
    const auto parent =
        parentPath.size() < path.size() ? build.made.find(parentPath) : build.made.end();
    if (parent != build.made.end()) {
        ItemPtr up = folder.NewItem(UserShareFolderParent);
        ItemPtr(parent->second).NewItem(UserShareFolderChild) += up;
    }
    build.made.emplace(View(name.Get()->AsString()), folder);
    build.folder = folder;
    build.file = files.begin();
    return true;
}

bool ReceivedShares::RemoveStep(Removal& removal)
{
    // A few hundred items at a time: each removal tells the store's listeners.
    constexpr size_t kBatch = 256;
    const size_t all = removal.files.size() + removal.folders.size();
    const size_t end = std::min(all, removal.next + kBatch);
    for (; removal.next < end; ++removal.next) {
        const size_t k = removal.next;
        Item* item =
            k < removal.files.size() ? removal.files[k] : removal.folders[k - removal.files.size()];
        item->Remove();
    }
    return removal.next < all;
}

void ReceivedShares::EndRemoval()
{
    // Out of the queue before the store's listeners hear of anything.
    const Removal removal = std::move(m_removals.front());
    m_removals.pop_front();
    ItemPtr(removal.share).Remove();
    // Names, sizes and the parent and child links are left without a way to a root.
    d.RemoveDisconnectedItems();
    // A big list's tree leaves as much behind as a tree of many items, whatever its count.
    const size_t removed = removal.files.size() + removal.folders.size();
    if (SharedFoldersManager::ReleaseFreedMemory(removal.listBytes >= kTrimAfterListBytes
                                                     ? SharedFoldersManager::kTrimAfterRemovedItems
                                                     : removed))
        ++m_trims;
}

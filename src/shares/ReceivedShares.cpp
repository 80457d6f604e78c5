#include "shares/ReceivedShares.h"

#include "peer/PeerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shares/SharesSchema.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"

#include <algorithm>
#include <array>

using namespace SharesTypes;

namespace {

void MakeFile(Item* folder, const ShareListFile& info)
{
    ItemPtr file = d.GetType(UserShareFile)->NewItem();
    file += folder;
    file += d.GetType(UserShareFileName)->GetItem(Value(std::string(info.name)));
    file += d.GetType(PeerTypes::FileSize)->GetItem(Value(static_cast<long long>(info.size)));
    // Each of these links holds one partner: of a repeated code the last counts, and only it is
    // looked up, so that no value is made only to be left unconnected. Other codes are skipped.
    std::array<bool, 3> given{};
    std::array<qint32, 3> values{};
    for (quint32 k = 0; k < info.attributeCount; ++k) {
        const qint32 code = info.AttributeCode(k);
        if (code >= 0 && code < qint32(given.size())) {
            given[size_t(code)] = true;
            values[size_t(code)] = info.AttributeValue(k);
        }
    }
    if (given[AttributeMap::Bitrate])
        file +=
            d.GetType(PeerTypes::Bitrate)->GetItem(Value(quint32(values[AttributeMap::Bitrate])));
    if (given[AttributeMap::LengthSeconds])
        file += d.GetType(PeerTypes::LengthSeconds)
                    ->GetItem(Value(quint32(values[AttributeMap::LengthSeconds])));
    if (given[AttributeMap::VariableBitrate])
        file += d.GetType(PeerTypes::BitrateMode)
                    ->GetItem(Value(values[AttributeMap::VariableBitrate] != 0 ? "vbr" : "cbr"));
}

std::string_view View(const ItemText& text)
{
    return std::string_view(text.data(), text.size());
}

} // namespace

ReceivedShares::ReceivedShares(QObject* parent) : QObject(parent), m_job([this] { return Step(); })
{
}

ReceivedShares::~ReceivedShares() = default;

void ReceivedShares::Keep(const std::string& user, std::shared_ptr<const ReceivedShareList> list)
{
    Log(LogCategories::kShared, 1,
        QStringLiteral("Received shared file list from user %1")
            .arg(QString::fromLatin1(user.data(), qsizetype(user.size()))));
    ItemPtr userItem = ServerStore::User(user);
    // A fresh list replaces a tree only once the old one was removed.
    if (userItem[UserShare] || !list)
        return;
    ItemPtr share = d.GetType(UserShare)->NewItem();
    share += userItem;
    m_listBytes[user] = list->Bytes().size();
    Build build;
    build.user = user;
    build.share = share;
    build.made.reserve(list->Folders().size());
    build.list = std::move(list);
    m_builds.push_back(std::move(build));
    // The first slice at once: a list of a few thousand files is whole before this returns,
    // unless the turn's budget is spent already. Kept from inside a step (a listener), it is
    // made after what is under way.
    m_job.RunNow();
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
    removal.share = share;
    const auto bytes = m_listBytes.find(user);
    if (bytes != m_listBytes.end()) {
        removal.listBytes = bytes->second;
        m_listBytes.erase(bytes);
    }
    // Taken from the user now: the user may be sent for a list again at once.
    share.Disconnect(userItem);
    m_removals.push_back(std::move(removal));
    m_job.Start();
}

void ReceivedShares::Finish()
{
    m_job.Finish();
}

void ReceivedShares::Reset()
{
    m_job.Stop();
    m_builds.clear();
    m_removals.clear();
    m_listBytes.clear();
}

bool ReceivedShares::Step()
{
    if (!m_removals.empty()) {
        Removal& removal = m_removals.front();
        // What ends a build or a removal (the loaded flag's listeners, handing memory back)
        // takes a turn of its own unless the turn has hardly begun.
        if (!RemoveStep(removal) && m_job.TurnFor(removal.endPutOff))
            EndRemoval();
    } else if (!m_builds.empty()) {
        Build& build = m_builds.front();
        if (!BuildStep(build) && m_job.TurnFor(build.endPutOff))
            EndBuild();
    }
    return IsBusy();
}

void ReceivedShares::EndBuild()
{
    // Out of the queue first: whoever hears of the finished tree may remove it, or keep
    // another.
    Item* share = m_builds.front().share;
    m_builds.pop_front();
    // Made last: whoever watches for it finds the tree complete.
    ItemPtr(share).NewItem(UserShareLoaded);
}

bool ReceivedShares::BuildStep(Build& build)
{
    if (build.folder) {
        if (build.nextFile < build.files.size()) {
            MakeFile(build.folder, build.files[build.nextFile++]);
            return true;
        }
        build.folder = nullptr;
    }
    if (!build.list)
        return false;
    const ReceivedShareList& list = *build.list;
    if (build.nextFolder == list.Folders().size()) {
        // Let go of in the slice, not by whoever hears of the finished tree: the list's bytes
        // may come to tens of megabytes.
        build.made = {};
        build.files = {};
        build.list.reset();
        return false;
    }
    // In map order, so a parent, whose path is a prefix of its child's, is always made first.
    const ShareListFolder& listed = list.Folders()[build.nextFolder++];
    const std::string path(list.Path(listed));
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
    list.ReadFiles(listed, build.files);
    build.nextFile = 0;
    return true;
}

bool ReceivedShares::RemoveStep(Removal& removal)
{
    // A few hundred items at a time: each removal tells the store's listeners.
    constexpr size_t kBatch = 256;
    for (size_t done = 0; done < kBatch && removal.nextFolder < removal.folders.size(); ++done) {
        ItemPtr folder = removal.folders[removal.nextFolder];
        if (!removal.filesTaken) {
            const ItemSet files = folder.GetItems(UserShareFile);
            removal.files.assign(files.begin(), files.end());
            removal.nextFile = 0;
            removal.filesTaken = true;
        }
        if (removal.nextFile < removal.files.size()) {
            RemoveWithOrphans(removal.files[removal.nextFile++]);
            continue;
        }
        // The links to its subfolders and to its parent are the tree's own.
        for (Item* child : folder.GetItems(UserShareFolderChild))
            RemoveWithOrphans(child);
        if (ItemPtr up = folder[UserShareFolderParent])
            RemoveWithOrphans(up);
        RemoveWithOrphans(folder);
        removal.removed += removal.files.size() + 1;
        removal.files.clear();
        removal.filesTaken = false;
        ++removal.nextFolder;
    }
    return removal.nextFolder < removal.folders.size();
}

void ReceivedShares::RemoveWithOrphans(Item* item)
{
    // Taken out of the member for the while: a listener may have another item removed.
    std::vector<std::pair<uint32_t, Item*>> partners = std::move(m_partners);
    partners.clear();
    item->VisitPartners([&partners](Item* partner) {
        partners.emplace_back(partner->Id(), partner);
        return false;
    });
    item->Remove();
    for (const auto& [id, partner] : partners) {
        // A partner a listener removed meanwhile is not there under its id any more.
        if (d.ItemById(id) == partner && partner->IsDisconnectedFromAll() &&
            partner->GetType()->GetPrimacy() != RootPrimacy)
            partner->Remove();
    }
    m_partners = std::move(partners);
}

void ReceivedShares::EndRemoval()
{
    // Out of the queue before the store's listeners hear of anything.
    const Removal removal = std::move(m_removals.front());
    m_removals.pop_front();
    RemoveWithOrphans(removal.share);
    // A big list's tree leaves as much behind as a tree of many items, whatever its count.
    if (SharedFoldersManager::ReleaseFreedMemory(removal.listBytes >= kTrimAfterListBytes
                                                     ? SharedFoldersManager::kTrimAfterRemovedItems
                                                     : removal.removed))
        ++m_trims;
}

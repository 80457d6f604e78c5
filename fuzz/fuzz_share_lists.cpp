// Share lists as other users send them, after their zlib stream is undone. Byte 0 of the input:
// bit 0 clear, the rest is a share-list body (folder map, then attribute table) read the way the
// message codec reads it and, when it reads, handed to the shared-folder manager as bob's list;
// bit 0 set, the rest is a folder-contents record (SharedFolderInfo).
//
// Checked: a list is weighed against the caps on entries, depth and path length as the codec
// weighs it (one that passes reads and keeps within them, one found malformed does not read, one
// over a cap goes no further); kept as it came, a list reads as the folder map reads; it makes one
// folder per key, each with its own files, a parent link only to the folder of its parent path and
// never to itself, and the loaded mark; a second list changes nothing while the first is kept;
// removing the tree leaves nothing behind. A record that reads writes back to one that reads to the
// same files. No allocation exceeds the frame limit.

#include "FuzzEngine.h"
#include "FuzzSupport.h"

#include "peer/PeerFraming.h"
#include "peer/PeerMessages.h"
#include "peer/ReceivedShareList.h"
#include "server/ServerStore.h"
#include "shares/ShareMessages.h"
#include "shares/SharedFoldersManager.h"
#include "store/Data.h"
#include "store/GeneralFunctions.h"
#include "store/MemStream.h"

#include <algorithm>

namespace {

constexpr size_t kCap = size_t(kMaxPeerFrameLength) + 64;

bool SameFiles(const std::set<FileInfo>& a, const std::set<FileInfo>& b)
{
    if (a.size() != b.size())
        return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
        if (x->name != y->name || x->size != y->size || x->attributes != y->attributes)
            return false;
    }
    return true;
}

void CheckTree(ItemPtr share, const FileInfoMap& folders)
{
    FUZZ_CHECK(share["user_share_loaded"]);
    const ItemSet made = share.GetItems("user_share_folder");
    FUZZ_CHECK(made.size() == folders.size());
    for (Item* f : made) {
        ItemPtr folder(f);
        const std::string path = folder["user_share_folder_name"].AsString();
        const auto listed = folders.find(path);
        FUZZ_CHECK(listed != folders.end());
        FUZZ_CHECK(folder.GetItems("user_share_file").size() == listed->second.size());
        ItemPtr parent =
            folder["user_share_folder_parent"]["user_share_folder_child"]["user_share_folder"];
        if (!parent)
            continue;
        FUZZ_CHECK(parent != folder);
        FUZZ_CHECK(parent["user_share"] == share);
        FUZZ_CHECK(parent["user_share_folder_name"].AsString() == GetParentFolder(path));
    }
}

void ShareList(const char* data, qsizetype size)
{
    // Weighed first, as the codec does: a list over a cap goes no further.
    const ShareListCheck check = CheckShareList(data, size);
    BytesInputStream in(data, size);
    FileInfoMap folders;
    const bool reads = in.Read(folders);
    if (check == ShareListCheck::Ok)
        FUZZ_CHECK(reads);
    if (check == ShareListCheck::Malformed)
        FUZZ_CHECK(!reads);
    if (check != ShareListCheck::Ok)
        return;
    size_t entries = 0;
    for (const auto& [path, files] : folders) {
        FUZZ_CHECK(path.size() <= kMaxShareListPathLength);
        FUZZ_CHECK(size_t(std::count(path.begin(), path.end(), '\\') +
                          std::count(path.begin(), path.end(), '/')) < kMaxShareListDepth);
        entries += 1 + files.size();
    }
    FUZZ_CHECK(entries <= kMaxShareListEntries);
    AttributeTranslationTable attributes;
    if (!in.Read(attributes))
        attributes.clear();

    // Kept as it came, it reads as the map reads.
    std::vector<ShareListFolder> index;
    qsizetype mapEnd = 0;
    FUZZ_CHECK(CheckShareList(data, size, &index, &mapEnd) == ShareListCheck::Ok);
    auto list = std::make_shared<ReceivedShareList>(QByteArray(data, size), index, mapEnd);
    const FileInfoMap read = list->ToMap();
    FUZZ_CHECK(read.size() == folders.size());
    for (auto x = read.cbegin(), y = folders.cbegin(); x != read.cend(); ++x, ++y)
        FUZZ_CHECK(x->first == y->first && SameFiles(x->second, y->second));
    FUZZ_CHECK(list->Attributes() == attributes);

    FuzzRun run{EngineOptions()};
    SharedFoldersManager& shares = *run.engine().shares();
    ItemPtr bob = ServerStore::User("bob");
    const size_t before = d.ItemCount();
    shares.KeepUserShare("bob", std::move(list));
    shares.WaitForShareLists();
    CheckTree(bob["user_share"], folders);
    const size_t after = d.ItemCount();
    shares.OnUserShare("bob", folders, attributes);
    shares.WaitForShareLists();
    FUZZ_CHECK(d.ItemCount() == after);
    shares.RemoveUserShare("bob");
    shares.WaitForShareLists();
    FUZZ_CHECK(!bob["user_share"]);
    FUZZ_CHECK(d.ItemCount() == before);
}

void FolderContents(const char* data, qsizetype size)
{
    BytesInputStream in(data, size);
    SharedFolderInfo info;
    if (!info.Read(in))
        return;
    MemStream out;
    FUZZ_CHECK(info.Write(out));
    SharedFolderInfo again;
    FUZZ_CHECK(again.Read(out));
    FUZZ_CHECK(out.GetPendingReadLength() == 0);
    FUZZ_CHECK(SameFiles(info.files, again.files));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    EnsureApplication();
    const char* rest = reinterpret_cast<const char*>(data + 1);
    const qsizetype n = qsizetype(size - 1);
    AllocationWatch watch(kCap, "share list");
    if (data[0] & 1)
        FolderContents(rest, n);
    else
        ShareList(rest, n);
    return 0;
}

// Keeping the store's picture of the shared folders in step with the disk. The scan only lists
// directories and reads sizes; file contents are the MP3 scanner's business.
//
// Links are followed, so a link back up the tree (a/loop -> a) would be entered again and again
// until paths grew too long for the system, and two such links make that exponential. A
// directory whose device and inode are already on the current descent path is therefore not
// entered. Nor is one already entered through another path while scanning this root: two links
// to one folder, in each folder of a chain of them, would share 2^n copies of the chain's end.
// The descent is an explicit work list, not recursion, so a deep share costs heap and not
// stack; it still visits in the order a depth-first recursion over each listing would.

#include "shares/SharedFoldersManager.h"

#include "shares/SharesSchema.h"

#include "store/DataSaver.h"
#include "store/Log.h"

#include <QFile>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using FolderId = std::pair<quint64, quint64>; // device, inode

FolderId IdOf(const struct stat& st)
{
    return FolderId(static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino));
}

struct Entry
{
    std::string name;
    bool isFolder = false;
    qint64 size = 0;
    FolderId id;
};

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// By name ignoring letter case, as a directory listing shows it; names that differ only in case
// keep a fixed order between them.
bool ListingOrder(const Entry& a, const Entry& b)
{
    const size_t n = std::min(a.name.size(), b.name.size());
    for (size_t k = 0; k < n; ++k) {
        const unsigned char x = static_cast<unsigned char>(LowerAscii(a.name[k]));
        const unsigned char y = static_cast<unsigned char>(LowerAscii(b.name[k]));
        if (x != y)
            return x < y;
    }
    if (a.name.size() != b.name.size())
        return a.name.size() < b.name.size();
    return a.name < b.name;
}

struct DirCloser
{
    void operator()(DIR* dir) const { closedir(dir); }
};

// The folder's directories and files, links followed. Hidden entries (a leading dot) are left
// out, and so is anything that is neither a directory nor a regular file once links are
// followed: links to nowhere, sockets, pipes, devices. A folder that cannot be opened lists as
// empty.
bool ListFolder(const std::string& folder, FolderId& id, std::vector<Entry>& entries)
{
    entries.clear();
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    id = IdOf(st);
    while (const dirent* e = readdir(dir.get())) {
        if (e->d_name[0] == '.')
            continue;
        if (fstatat(fd, e->d_name, &st, 0) != 0)
            continue;
        Entry entry;
        if (S_ISDIR(st.st_mode))
            entry.isFolder = true;
        else if (!S_ISREG(st.st_mode))
            continue;
        entry.name = e->d_name;
        entry.size = static_cast<qint64>(st.st_size);
        entry.id = IdOf(st);
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(), ListingOrder);
    return true;
}

std::string Join(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + '/' + name;
}

bool IsMP3Name(const std::string& name)
{
    if (name.size() <= 4)
        return false;
    const std::string ext = name.substr(name.size() - 4);
    // Exactly these two spellings: a.Mp3 is not sent for scanning.
    return ext == ".mp3" || ext == ".MP3";
}

QString Text(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace

using namespace SharesTypes;

struct SharedFoldersManager::ScanFrame
{
    std::string folder;
    FolderId id;
    Item* folderItem = nullptr;
    std::vector<Entry> entries;
    size_t next = 0;
    // The folder's files as the store knew them, and those of them found on disk again.
    ItemSet known;
    std::vector<Item*> found;
    // The words of the folder's path, shared by all its files; found when first needed. Tokens
    // go only with a sweep, and none runs during a scan.
    std::vector<Item*> folderTokens;
    bool haveFolderTokens = false;
};

void SharedFoldersManager::Init()
{
    d.GetType(SharedFolder)
        ->itemAddedEvent.Add(NewEventHandler(this, &SharedFoldersManager::OnSharedFolderAdded));
    RescanShares();
}

void SharedFoldersManager::OnSharedFolderAdded(Item* item)
{
    AddSharedFiles(item->AsString(), item->AsString());
}

void SharedFoldersManager::RescanShares()
{
    m_filesAdded = 0;
    m_filesRemoved = 0;
    std::vector<uint32_t> roots;
    for (Item* root : g(SharedFolder))
        roots.push_back(root->Id());
    Type* rootType = d.GetType(SharedFolder);
    for (uint32_t id : roots) {
        Item* root = d.ItemById(id);
        if (!root || root->GetType() != rootType)
            continue;
        // Every directory still on disk is connected again by the scan.
        root->Disconnect(SharedFileFolder);
        OnSharedFolderAdded(root);
    }

    // Directories that vanished, and all those of roots that are gone. They are removed here
    // and not left to the sweep: a file there that shares its name item with a live file is
    // still reachable through that name, and would stay, and be counted again, forever.
    ItemSet goneFolders = g(SharedFileFolder).NotConnected(SharedFolder);
    ItemSet goneFiles = goneFolders.GetItems(SharedFile);
    m_filesRemoved += static_cast<int>(goneFiles.Size());
    goneFiles.Remove();
    goneFolders.Remove();
    d.RemoveDisconnectedItems();
    ReleaseFreedMemory(size_t(m_filesRemoved));
    Q_EMIT SharedFilesRescanned(m_filesAdded, m_filesRemoved);
}

void SharedFoldersManager::FindStoreFolders()
{
    m_storeFolders.clear();
    if (dataSaver->Path().isEmpty())
        return;
    const QByteArray path = QFile::encodeName(dataSaver->Path());
    std::vector<std::string> places{path.toStdString()};
    // Saved through a link, the file and its companions live beside the link's target.
    if (char* target = realpath(path.constData(), nullptr)) {
        places.emplace_back(target);
        std::free(target);
    }
    for (const std::string& place : places) {
        const auto slash = place.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string(".")
                                   : slash == 0               ? std::string("/")
                                                              : place.substr(0, slash);
        struct stat st;
        if (stat(folder.c_str(), &st) == 0)
            m_storeFolders.emplace(IdOf(st), place.substr(slash + 1));
    }
}

void SharedFoldersManager::AddSharedFiles(const std::string& root, const std::string& folder)
{
    FindStoreFolders();
    m_enteredFolders.clear();
    ItemPtr rootItem = d.GetType(SharedFolder)->GetItem(root);
    std::vector<ScanFrame> stack;
    EnterFolder(root, folder, rootItem, stack);
    while (!stack.empty()) {
        ScanFrame& top = stack.back();
        if (top.next == top.entries.size()) {
            LeaveFolder(top);
            stack.pop_back();
            continue;
        }
        Entry& entry = top.entries[top.next++];
        const std::string path = Join(top.folder, entry.name);
        if (!entry.isFolder) {
            ScanFile(top, entry.name, path, entry.size);
        } else if (m_descentPath.count(entry.id)) {
            Log(LogCategories::kShared, 2,
                QStringLiteral("Not entering folder %1: it leads back into a folder above it")
                    .arg(Text(path)));
        } else if (const auto entered = m_enteredFolders.find(entry.id);
                   entered != m_enteredFolders.end()) {
            Log(LogCategories::kShared, 2,
                QStringLiteral("Not entering folder %1: already shared as %2")
                    .arg(Text(path), Text(entered->second)));
        } else {
            EnterFolder(root, path, rootItem, stack); // top is not used after this
        }
    }
    m_enteredFolders.clear();
}

void SharedFoldersManager::EnterFolder(const std::string& root, const std::string& folder,
                                       ItemPtr rootItem, std::vector<ScanFrame>& stack)
{
    if (m_foldersBeingScanned.count(folder))
        return;
    m_foldersBeingScanned.insert(folder);
    Log(LogCategories::kShared, 1,
        QStringLiteral("Adding folder %1 as part of sharing %2").arg(Text(folder), Text(root)));

    ScanFrame frame;
    frame.folder = folder;
    ItemPtr folderItem = d.GetType(SharedFileFolder)->GetItem(folder);
    folderItem += rootItem;
    frame.folderItem = folderItem.Get();
    frame.known = folderItem.GetItems(SharedFile);
    if (ListFolder(folder, frame.id, frame.entries)) {
        m_descentPath.insert(frame.id);
        m_enteredFolders.emplace(frame.id, folder);
        DropStoreFiles(frame);
    }
    stack.push_back(std::move(frame));
}

void SharedFoldersManager::DropStoreFiles(ScanFrame& frame)
{
    for (const auto& place : m_storeFolders) {
        if (place.first != frame.id)
            continue;
        auto own = [&place](const Entry& e) {
            return !e.isFolder && DataSaver::IsStoreFileName(place.second, e.name);
        };
        frame.entries.erase(std::remove_if(frame.entries.begin(), frame.entries.end(), own),
                            frame.entries.end());
    }
}

void SharedFoldersManager::ScanFile(ScanFrame& frame, const std::string& name,
                                    const std::string& path, qint64 size)
{
    ItemPtr folderItem = frame.folderItem;
    ItemPtr nameItem = m_types.name->HasItem(name);
    ItemPtr file;
    if (nameItem)
        file = d.GetItem(nameItem, folderItem, SharedFile);
    else
        nameItem = m_types.name->GetItem(name);

    const std::string sizeText = std::to_string(size);
    // A file's words follow from its folder and name, which never change: a file that has
    // some has them all. Only those loaded from the store file, and new ones, have none.
    bool indexed = false;
    if (!file) {
        file = m_types.file->NewItem();
        file += folderItem;
        file += nameItem;
        file += m_types.size->GetItem(sizeText);
        ++m_filesAdded;
    } else {
        frame.found.push_back(file.Get());
        indexed = file.IsConnected(m_types.token);
        // Rewritten with another size: what replies advertise follows, and so does the MP3
        // scan, since the old details may no longer hold.
        if (file[SharedFileSize].AsString() != sizeText) {
            file += m_types.size->GetItem(sizeText);
            file.Disconnect(IsScanned);
        }
    }
    if (IsMP3Name(name) && !file.IsConnected(m_types.scanned))
        Q_EMIT MP3ScanRequired(
            QString::fromLatin1(path.data(), static_cast<qsizetype>(path.size())));
    if (indexed)
        return;
    // What TokenizeSharedFile does, with the folder's words found once per folder.
    if (!frame.haveFolderTokens) {
        frame.folderTokens = TokenItems(frame.folder);
        frame.haveFolderTokens = true;
    }
    LinkTokens(file, frame.folderTokens);
    LinkTokens(file, TokenItems(name));
}

void SharedFoldersManager::LeaveFolder(ScanFrame& frame)
{
    // Whatever the store knew and the disk no longer has.
    std::sort(frame.found.begin(), frame.found.end(), ItemOrder());
    std::vector<Item*> missing;
    std::set_difference(frame.known.begin(), frame.known.end(), frame.found.begin(),
                        frame.found.end(), std::back_inserter(missing), ItemOrder());
    ItemSet gone;
    for (Item* file : missing)
        gone.Insert(file);
    m_filesRemoved += static_cast<int>(gone.Size());
    gone.Remove();
    m_descentPath.erase(frame.id);
    m_foldersBeingScanned.erase(frame.folder);
}

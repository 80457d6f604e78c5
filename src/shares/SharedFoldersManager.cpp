#include "shares/SharedFoldersManager.h"

#include "shares/ShareMessages.h"

#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharesSchema.h"
#include "store/Dependency.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

SharedFoldersManager* sharedFoldersManager = nullptr;

using namespace SharesTypes;

SharedFoldersManager::SharedFoldersManager(QObject* parent) : QObject(parent)
{
    // The login report goes through the server connection; visibility reads the user list;
    // scans leave out the store file and its companions.
    RequireService(gp_server, "The shared-folder manager", "the server connection");
    RequireService(dataSaver, "The shared-folder manager", "the store file handler");
    for (const char* t : {ServerTypes::User, PeerTypes::Bitrate, SharedFolder, Unshared})
        RequireType("The shared-folder manager", t);
    sharedFoldersManager = this;

    d.GetType(SharedFileName)
        ->itemAddedEvent.Add(NewEventHandler(this, &SharedFoldersManager::OnSharedFileNameAdded));
    d.GetType(SharedFileFolder)
        ->itemAddedEvent.Add(NewEventHandler(this, &SharedFoldersManager::OnSharedFileFolderAdded));
    d.GetType(SharedFile)
        ->itemRemovedEvent.Add(NewEventHandler(this, &SharedFoldersManager::OnSharedFileRemoved));

    m_types.file = d.GetType(SharedFile);
    m_types.name = d.GetType(SharedFileName);
    m_types.size = d.GetType(SharedFileSize);
    m_types.scanned = d.GetType(IsScanned);
    m_types.token = d.GetType(SearchToken);
    // Share lists kept for other users go stale with what they show.
    WatchShareChanges();
    m_folderReplies = std::make_unique<FolderReplies>();

    // Last, so that nothing above can throw with the thread running. Requests and results
    // cross to and from the scanner's thread as queued signals.
    m_scannerThread.start(QThread::InheritPriority);
    m_scanner.moveToThread(&m_scannerThread);
    connect(this, &SharedFoldersManager::MP3ScanRequired, &m_scanner,
            &MP3Scanner::OnMP3ScanRequired);
    connect(&m_scanner, &MP3Scanner::MP3Scanned, this, &SharedFoldersManager::OnMP3Scanned);
}

SharedFoldersManager::~SharedFoldersManager()
{
    // A scan in progress stops before its next chunk; requests still queued are dropped.
    m_scanner.Quit();
    m_scannerThread.quit();
    m_scannerThread.wait();
    if (sharedFoldersManager == this)
        sharedFoldersManager = nullptr;
}

void SharedFoldersManager::ResetForTesting()
{
    m_shareLists = std::make_unique<ShareListReplies>();
    m_filesAdded = 0;
    m_filesRemoved = 0;
}

// ---------------------------------------------------------------------------------------------
// Who may see what

ItemSet SharedFoldersManager::GetUserSharedFolders(const std::string& user)
{
    ItemPtr u = ServerStore::FindUser(user);
    if (u.IsConnected(Unshared))
        return ItemSet();
    const ItemSet roots = g(SharedFolder);
    ItemSet visible = roots.Connected(SharedPublic);
    ItemPtr inList = u[ServerTypes::InUserList];
    if (!inList)
        return visible;
    visible.Add(roots.Connected(SharedUserlist));
    visible.Add(inList.GetItems(ServerTypes::UserListGroup).GetItems(SharedFolder));
    return visible;
}

bool SharedFoldersManager::IsFileSharedWithUser(ItemPtr file, const std::string& user)
{
    ItemPtr u = ServerStore::User(user);
    if (u.IsConnected(Unshared))
        return false;
    const ItemSet roots = file[SharedFileFolder].GetItems(SharedFolder);
    if (!roots.Connected(SharedPublic).IsEmpty())
        return true;
    ItemPtr inList = u[ServerTypes::InUserList];
    if (!inList)
        return false;
    if (!roots.Connected(SharedUserlist).IsEmpty())
        return true;
    return !roots.Connected(inList.GetItems(ServerTypes::UserListGroup)).IsEmpty();
}

// ---------------------------------------------------------------------------------------------
// Finding a shared file by path

ItemPtr SharedFoldersManager::GetSharedFileItem(const std::string& path)
{
    // Stored folders use "/" alone, so the last one splits folder from name exactly.
    const auto slash = path.rfind('/');
    if (slash != std::string::npos) {
        ItemPtr folder = d.GetType(SharedFileFolder)->HasItem(path.substr(0, slash));
        ItemPtr name = m_types.name->HasItem(path.substr(slash + 1));
        if (ItemPtr exact = d.GetItem(folder, name, SharedFile))
            return exact;
    }

    const std::string key = GetAbsoluteFileName(path);
    ItemPtr folderKey = d.GetType(SharedFileFolderLowercaseName)->HasItem(GetFolder(key));
    ItemPtr nameKey = d.GetType(SharedFileLowercaseName)->HasItem(GetFileName(key));
    if (!folderKey || !nameKey)
        return ItemPtr();
    const ItemSet files = folderKey.GetItems(SharedFileFolder).GetItems(SharedFile);
    return files.Connected(nameKey.GetItems(SharedFileName)).First();
}

void SharedFoldersManager::OnSharedFileFolderAdded(Item* item)
{
    ItemPtr(item) +=
        d.GetType(SharedFileFolderLowercaseName)->GetItem(GetAbsoluteFileName(item->AsString()));
}

void SharedFoldersManager::OnSharedFileNameAdded(Item* item)
{
    ItemPtr(item) +=
        d.GetType(SharedFileLowercaseName)->GetItem(GetAbsoluteFileName(item->AsString()));
}

void SharedFoldersManager::OnSharedFileRemoved(Item*)
{
    // Everything about a shared file lives in the store and goes with its item; this is where
    // something kept outside the store about a file would be let go.
}

// ---------------------------------------------------------------------------------------------
// MP3 details

void SharedFoldersManager::OnMP3Scanned(QString path, int version, QString mode, int frequency,
                                        bool variable, int bitrate)
{
    Log(LogCategories::kMp3Scanning, 1, QStringLiteral("Scanned %1").arg(path));
    // The file may have been unshared or removed while it was scanned.
    ItemPtr file = GetSharedFileItem(path.toLatin1().toStdString());
    if (!file)
        return;
    file += d.GetType(PeerTypes::MpegVersion)->GetItem(Value(version));
    file += d.GetType(PeerTypes::ChannelMode)->GetItem(Value(mode.toLatin1().toStdString()));
    file += d.GetType(PeerTypes::AudioFrequency)->GetItem(Value(frequency));
    file += d.GetType(PeerTypes::BitrateMode)->GetItem(Value(variable ? "vbr" : "cbr"));
    file += d.GetType(PeerTypes::Bitrate)->GetItem(Value(bitrate));
    file += m_types.scanned->GetGlobalNullItem();
}

// ---------------------------------------------------------------------------------------------
// Received share trees

void SharedFoldersManager::ReleaseFreedMemory(size_t removedItems)
{
    if (removedItems < kTrimAfterRemovedItems)
        return;
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

void SharedFoldersManager::RemoveUserShare(const std::string& user)
{
    ItemPtr share = ServerStore::FindUser(user)[UserShare];
    if (!share)
        return;
    ItemSet folders = share.GetItems(UserShareFolder);
    ItemSet files = folders.GetItems(UserShareFile);
    const size_t removed = folders.Size() + files.Size();
    files.Remove();
    folders.Remove();
    share.Remove();
    // Names, sizes and the parent and child links are left without a way to a root.
    d.RemoveDisconnectedItems();
    ReleaseFreedMemory(removed);
}

QString SharedFoldersManager::GetFileItemDisplayString(ItemPtr file)
{
    QString text;
    if (ItemPtr bitrate = file[PeerTypes::Bitrate])
        text += QString::number(bitrate.AsInt());
    Type* mode = d.GetType(PeerTypes::BitrateMode);
    if (file.IsConnected(mode->GetItem("vbr")))
        text += QLatin1String(" VBR");
    else if (file.IsConnected(mode->GetItem("cbr")))
        text += QLatin1String(" CBR");
    if (ItemPtr length = file[PeerTypes::LengthSeconds])
        text += QLatin1String(", ") + QString::fromStdString(FormatSeconds(length.AsInt()));
    return text;
}

// ---------------------------------------------------------------------------------------------
// The server

void SharedFoldersManager::OnConnectedToServer()
{
    // Every scanned directory counts as a folder, roots and subfolders alike.
    const int folders = static_cast<int>(d.GetType(SharedFileFolder)->ItemCount());
    const int files = static_cast<int>(m_types.file->ItemCount());
    gp_server->SendFilesFolders(folders, files);
    gp_server->GetUserStats(Settings::Text(SettingKeys::Username));
}

void SharedFoldersManager::OnReceivedUserStats(std::string user, UserStats stats)
{
    if (user != Settings::Text(SettingKeys::Username))
        return;
    // Zero and negative figures are kept too: they are what the server says.
    Settings::SetNumber(SettingKeys::UploadSpeed, stats.averageSpeed);
}

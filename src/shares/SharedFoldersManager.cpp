#include "shares/SharedFoldersManager.h"

#include "shares/ReceivedShares.h"
#include "shares/ShareMessages.h"
#include "shares/ShareScanner.h"

#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharesSchema.h"
#include "store/Dependency.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"

#include <QMetaObject>

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

    // Paths are looked up whatever their case through lower-case keys of folders and names,
    // made by the store with each one (and in bulk for those a load makes). A loaded name's key
    // that differs from it by case only reads as the name: it borrows the name's text.
    d.GetType(SharedFileName)
        ->KeyBy(d.GetType(SharedFileLowercaseName), &AbsoluteFileNameKey, true);
    d.GetType(SharedFileFolder)
        ->KeyBy(d.GetType(SharedFileFolderLowercaseName), &AbsoluteFileNameKey, true);
    d.GetType(SharedFile)
        ->itemRemovedEvent.Add(NewEventHandler(this, &SharedFoldersManager::OnSharedFileRemoved));
    // A scan holds roots, folders and files across turns of the event loop.
    d.GetType(SharedFileFolder)
        ->itemRemovedEvent.Add(
            NewEventHandler(this, &SharedFoldersManager::OnSharedFileFolderRemoved));
    d.GetType(SharedFolder)
        ->itemRemovedEvent.Add(NewEventHandler(this, &SharedFoldersManager::OnSharedFolderRemoved));

    m_types.file = d.GetType(SharedFile);
    m_types.folder = d.GetType(SharedFileFolder);
    m_types.name = d.GetType(SharedFileName);
    m_types.size = d.GetType(SharedFileSize);
    m_types.scanned = d.GetType(IsScanned);
    m_types.token = d.GetType(SearchToken);
    // Share lists kept for other users go stale with what they show.
    WatchShareChanges();
    m_replies = std::make_unique<PeerReplies>(
        [this](const std::string& user, const std::string& local) {
            return VisibleFolder(user, local);
        },
        [this](const std::string& user, ShareListReplies::Reply made) {
            MakeShareList(user, std::move(made));
        });
    m_received = std::make_unique<ReceivedShares>();
    m_scan = std::make_unique<ShareScanner>(*this);

    // A scan asks for hundreds of thousands at a time: they go to the worker as a list, once
    // the event loop turns.
    connect(this, &SharedFoldersManager::MP3ScanRequired, this, [this](const QString& path) {
        if (m_mp3Requests.isEmpty())
            QMetaObject::invokeMethod(this, &SharedFoldersManager::SendMP3Requests,
                                      Qt::QueuedConnection);
        m_mp3Requests.append(path);
    });
}

SharedFoldersManager::~SharedFoldersManager()
{
    // The walk first: it posts to this object from its thread.
    m_scan.reset();
    // A scan in progress stops before its next chunk; requests still queued are dropped as the
    // worker goes.
    m_scanner.Quit();
    if (sharedFoldersManager == this)
        sharedFoldersManager = nullptr;
}

void SharedFoldersManager::ResetForTesting()
{
    m_scan->Stop();
    m_holdSearches = false;
    m_heldSearches.clear();
    m_mp3Results.clear();
    m_mp3Writing.Stop();
    m_shareLists = std::make_unique<ShareListReplies>();
    m_received->Reset();
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

void SharedFoldersManager::OnSharedFileRemoved(Item* item)
{
    // Everything else about a shared file lives in the store and goes with its item.
    m_scan->OnFileRemoved(item);
}

void SharedFoldersManager::OnSharedFileFolderRemoved(Item* item)
{
    m_scan->OnFolderRemoved(item);
}

void SharedFoldersManager::OnSharedFolderRemoved(Item* item)
{
    m_scan->OnRootRemoved(item);
}

// ---------------------------------------------------------------------------------------------
// MP3 details

void SharedFoldersManager::OnMP3Scanned(QString path, int version, QString mode, int frequency,
                                        bool variable, int bitrate)
{
    m_mp3Results.push_back(
        MP3Result{std::move(path), version, std::move(mode), frequency, variable, bitrate});
    ScheduleMP3Results();
}

void SharedFoldersManager::SendMP3Requests()
{
    // A piece at a time, so that results come back as they are found, not once the whole list
    // of a first scan is read.
    for (qsizetype at = 0; at < m_mp3Requests.size(); at += kMP3ScansAPiece) {
        m_mp3Worker.Run(
            [scanner = &m_scanner, paths = m_mp3Requests.mid(at, kMP3ScansAPiece)](
                const WorkerThread::Stop& stop) { return scanner->ScanMP3s(paths, stop); },
            [this](std::vector<MP3Scanner::Scanned> results) {
                for (MP3Scanner::Scanned& r : results)
                    OnMP3Scanned(std::move(r.path), r.details.version,
                                 QString::fromLatin1(r.details.mode.data(),
                                                     qsizetype(r.details.mode.size())),
                                 r.details.frequency, r.details.variable, r.details.bitrate);
            });
    }
    m_mp3Requests.clear();
}

void SharedFoldersManager::ScheduleMP3Results()
{
    if (!m_mp3Results.empty() && !m_scan->IsScanning())
        m_mp3Writing.Start();
}

bool SharedFoldersManager::WriteMP3Result()
{
    // A scan being applied goes first; it asks again once it is done.
    if (m_mp3Results.empty() || m_scan->IsScanning())
        return false;
    const MP3Result r = std::move(m_mp3Results.front());
    m_mp3Results.pop_front();
    Log(LogCategories::kMp3Scanning, 1, QStringLiteral("Scanned %1").arg(r.path));
    // The file may have been unshared or removed while it was scanned.
    ItemPtr file = GetSharedFileItem(r.path.toLatin1().toStdString());
    if (file) {
        file += d.GetType(PeerTypes::MpegVersion)->GetItem(Value(r.version));
        file += d.GetType(PeerTypes::ChannelMode)->GetItem(Value(r.mode.toLatin1().toStdString()));
        file += d.GetType(PeerTypes::AudioFrequency)->GetItem(Value(r.frequency));
        file += d.GetType(PeerTypes::BitrateMode)->GetItem(Value(r.variable ? "vbr" : "cbr"));
        file += d.GetType(PeerTypes::Bitrate)->GetItem(Value(r.bitrate));
        file += m_types.scanned->GetGlobalNullItem();
    }
    return !m_mp3Results.empty();
}

// ---------------------------------------------------------------------------------------------
// Received share trees

bool SharedFoldersManager::ReleaseFreedMemory(size_t removedItems)
{
    if (removedItems < kTrimAfterRemovedItems)
        return false;
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
    return true;
}

void SharedFoldersManager::OnUserShare(std::string user, const FileInfoMap& folders,
                                       const AttributeTranslationTable&)
{
    KeepUserShare(user, ReceivedShareList::FromMap(folders));
}

void SharedFoldersManager::KeepUserShare(const std::string& user,
                                         std::shared_ptr<const ReceivedShareList> list)
{
    m_received->Keep(user, std::move(list));
}

void SharedFoldersManager::RemoveUserShare(const std::string& user)
{
    m_received->Remove(user);
}

void SharedFoldersManager::WaitForShareLists()
{
    m_received->Finish();
}

QString SharedFoldersManager::GetFileItemDisplayString(ItemPtr file)
{
    // Result trees ask for one per row, tens of thousands at a time: the text is put together
    // as bytes (short enough to need no allocation) and made a QString once.
    std::string text;
    if (ItemPtr bitrate = file[PeerTypes::Bitrate])
        text += std::to_string(bitrate.AsUInt());
    if (ItemPtr mode = file[PeerTypes::BitrateMode]) {
        const std::string& name = mode.AsString();
        if (name == "vbr")
            text += " VBR";
        else if (name == "cbr")
            text += " CBR";
    }
    if (ItemPtr length = file[PeerTypes::LengthSeconds]) {
        text += ", ";
        text += FormatSeconds(long(length.AsUInt()));
    }
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
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

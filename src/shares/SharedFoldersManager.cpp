#include "shares/SharedFoldersManager.h"

#include "server/Server.h"
#include "server/ServerStore.h"
#include "store/GeneralFunctions.h"

SharedFoldersManager* sharedFoldersManager = nullptr;

SharedFoldersManager::SharedFoldersManager(QObject* parent) : QObject(parent)
{
    sharedFoldersManager = this;
    CreateData();

    // The MP3 scanner's thread starts here, fed by MP3ScanRequired, once the scanner exists.

    if (gp_server) {
        connect(gp_server, &Server::Connected, this, &SharedFoldersManager::OnConnectedToServer);
        connect(gp_server, &Server::ReceivedUserStats, this,
                &SharedFoldersManager::OnReceivedUserStats);
    }
    d.GetType("shared_file")
        ->itemRemovedEvent.Add(NewEventHandler(this, &SharedFoldersManager::OnSharedFileRemoved));
}

SharedFoldersManager::~SharedFoldersManager()
{
    if (sharedFoldersManager == this)
        sharedFoldersManager = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Who may see what

ItemSet SharedFoldersManager::GetUserSharedFolders(const std::string& user)
{
    ItemPtr u = ServerStore::FindUser(user);
    if (u.IsConnected("unshared"))
        return ItemSet();
    const ItemSet roots = g("shared_folder");
    ItemSet visible = roots.Connected("shared_public");
    ItemPtr inList = u["in_user_list"];
    if (!inList)
        return visible;
    visible.Add(roots.Connected("shared_userlist"));
    visible.Add(inList.GetItems("user_list_group").GetItems("shared_folder"));
    return visible;
}

bool SharedFoldersManager::IsFileSharedWithUser(ItemPtr file, const std::string& user)
{
    ItemPtr u = ServerStore::User(user);
    if (u.IsConnected("unshared"))
        return false;
    const ItemSet roots = file["shared_file_folder"].GetItems("shared_folder");
    if (!roots.Connected("shared_public").IsEmpty())
        return true;
    ItemPtr inList = u["in_user_list"];
    if (!inList)
        return false;
    if (!roots.Connected("shared_userlist").IsEmpty())
        return true;
    return !roots.Connected(inList.GetItems("user_list_group")).IsEmpty();
}

// ---------------------------------------------------------------------------------------------
// Finding a shared file by path

ItemPtr SharedFoldersManager::GetSharedFileItem(const std::string& path)
{
    // Stored folders use "/" alone, so the last one splits folder from name exactly.
    const auto slash = path.rfind('/');
    if (slash != std::string::npos) {
        ItemPtr folder = d.GetType("shared_file_folder")->HasItem(path.substr(0, slash));
        ItemPtr name = d.GetType("shared_file_name")->HasItem(path.substr(slash + 1));
        if (ItemPtr exact = d.GetItem(folder, name, "shared_file"))
            return exact;
    }

    const std::string key = GetAbsoluteFileName(path);
    ItemPtr folderKey = d.GetType("shared_file_folder_lowercase_name")->HasItem(GetFolder(key));
    ItemPtr nameKey = d.GetType("shared_file_lowercase_name")->HasItem(GetFileName(key));
    if (!folderKey || !nameKey)
        return ItemPtr();
    const ItemSet files = folderKey.GetItems("shared_file_folder").GetItems("shared_file");
    return files.Connected(nameKey.GetItems("shared_file_name")).First();
}

void SharedFoldersManager::OnSharedFileFolderAdded(Item* item)
{
    ItemPtr(item) += d.GetType("shared_file_folder_lowercase_name")
                         ->GetItem(GetAbsoluteFileName(item->AsString()));
}

void SharedFoldersManager::OnSharedFileNameAdded(Item* item)
{
    ItemPtr(item) +=
        d.GetType("shared_file_lowercase_name")->GetItem(GetAbsoluteFileName(item->AsString()));
}

void SharedFoldersManager::OnSharedFileRemoved(Item*)
{
    // Everything about a shared file lives in the store and goes with its item; this is where
    // something kept outside the store about a file would be let go.
}

// ---------------------------------------------------------------------------------------------
// Received share trees

void SharedFoldersManager::RemoveUserShare(const std::string& user)
{
    ItemPtr share = ServerStore::FindUser(user)["user_share"];
    if (!share)
        return;
    ItemSet folders = share.GetItems("user_share_folder");
    folders.GetItems("user_share_file").Remove();
    folders.Remove();
    share.Remove();
    // Names, sizes and the parent and child links are left without a way to a root.
    d.RemoveDisconnectedItems();
}

QString SharedFoldersManager::GetFileItemDisplayString(ItemPtr file)
{
    QString text;
    if (ItemPtr bitrate = file["bitrate"])
        text += QString::number(bitrate.AsInt());
    Type* mode = d.GetType("bitrate_mode");
    if (file.IsConnected(mode->GetItem("vbr")))
        text += QLatin1String(" VBR");
    else if (file.IsConnected(mode->GetItem("cbr")))
        text += QLatin1String(" CBR");
    if (ItemPtr length = file["length_seconds"])
        text += QLatin1String(", ") + QString::fromStdString(FormatSeconds(length.AsInt()));
    return text;
}

// ---------------------------------------------------------------------------------------------
// The server

void SharedFoldersManager::OnConnectedToServer()
{
    // Every scanned directory counts as a folder, roots and subfolders alike.
    const int folders = static_cast<int>(d.GetType("shared_file_folder")->ItemCount());
    const int files = static_cast<int>(d.GetType("shared_file")->ItemCount());
    gp_server->SendFilesFolders(folders, files);
    gp_server->GetUserStats(ServerStore::GetSetting("username"));
}

void SharedFoldersManager::OnReceivedUserStats(std::string user, UserStats stats)
{
    if (user != ServerStore::GetSetting("username"))
        return;
    ServerStore::SetSetting("upload_speed", std::to_string(stats.averageSpeed));
}

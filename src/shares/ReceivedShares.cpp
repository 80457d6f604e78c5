// Share lists received from other users, kept as a tree under the user until the browse page
// lets it go (RemoveUserShare): a folder item per path with parent and child links between
// folders, a file item per file with its name, size and audio details.

#include "shares/SharedFoldersManager.h"

#include "peer/PeerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharesSchema.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"

#include <unordered_map>

using namespace SharesTypes;

void SharedFoldersManager::OnUserShare(std::string user, const FileInfoMap& folders,
                                       const AttributeTranslationTable&)
{
    Log(LogCategories::kShared, 1,
        QStringLiteral("Received shared file list from user %1")
            .arg(QString::fromLatin1(user.data(), qsizetype(user.size()))));
    ItemPtr userItem = ServerStore::User(user);
    // A fresh list replaces a tree only once the old one was removed.
    if (userItem[UserShare])
        return;
    ItemPtr share = d.GetType(UserShare)->NewItem();
    share += userItem;

    Type* folderType = d.GetType(UserShareFolder);
    Type* folderNames = d.GetType(UserShareFolderName);
    Type* fileType = d.GetType(UserShareFile);
    Type* fileNames = d.GetType(UserShareFileName);
    Type* sizes = d.GetType(PeerTypes::FileSize);
    // This tree's folders by path. The map is ordered, so a parent, whose path is a prefix of
    // its child's, is always made first.
    std::unordered_map<std::string, Item*> made;
    for (const auto& [path, files] : folders) {
        ItemPtr folder = folderType->NewItem();
        folder += share;
        folder += folderNames->GetItem(Value(path));
        made[path] = folder;
        // A top folder ("Music") is its own GetParentFolder: it has no parent, not itself.
        const std::string parentPath = GetParentFolder(path);
        const auto parent = parentPath.size() < path.size() ? made.find(parentPath) : made.end();
        if (parent != made.end()) {
            ItemPtr up = folder.NewItem(UserShareFolderParent);
            ItemPtr(parent->second).NewItem(UserShareFolderChild) += up;
        }
        for (const FileInfo& info : files) {
            ItemPtr file = fileType->NewItem();
            file += folder;
            file += fileNames->GetItem(Value(info.name));
            file += sizes->GetItem(Value(static_cast<long long>(info.size)));
            // Each of these links holds one partner: a repeated code replaces the earlier one.
            for (const auto& [code, value] : info.attributes.attributes) {
                switch (code) {
                case AttributeMap::Bitrate:
                    file += d.GetType(PeerTypes::Bitrate)->GetItem(Value(quint32(value)));
                    break;
                case AttributeMap::LengthSeconds:
                    file += d.GetType(PeerTypes::LengthSeconds)->GetItem(Value(quint32(value)));
                    break;
                case AttributeMap::VariableBitrate:
                    file += d.GetType(PeerTypes::BitrateMode)
                                ->GetItem(Value(value != 0 ? "vbr" : "cbr"));
                    break;
                default:
                    break;
                }
            }
        }
    }
    // Made last: whoever watches for it finds the tree complete.
    share.NewItem(UserShareLoaded);
}

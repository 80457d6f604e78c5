#include "shares/SharedFoldersManager.h"

#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "shares/SharesSchema.h"
#include "store/Schema.h"

// What the shared-folder manager keeps: the local share (roots, scanned folders, files, their
// names, sizes and MP3 details, the word index) and the share trees received from other users.
// Only the local share's own facts are saved. The word index and the lower-case names are
// rebuilt after every load, and received trees are fetched again when wanted.

namespace {

using namespace SharesTypes;
using PeerTypes::AudioFrequency;
using PeerTypes::Bitrate;
using PeerTypes::BitrateMode;
using PeerTypes::ChannelMode;
using PeerTypes::FileSize;
using PeerTypes::LengthSeconds;
using PeerTypes::MpegVersion;
using ServerTypes::User;
using ServerTypes::UserListGroup;

const SchemaType kTypes[] = {
    {SharedFolder, RootPrimacy, false, true, ValueKind::Path},
    {SharedFile, ReachablePrimacy, true, true, ValueKind::None},
    {SharedFileName, ReachablePrimacy, false, true, ValueKind::Path},
    {SharedFileLowercaseName, ValuePrimacy, false, true, ValueKind::Path},
    {SharedFileFolder, ReachablePrimacy, false, true, ValueKind::Path},
    {SharedFileFolderLowercaseName, ValuePrimacy, false, true, ValueKind::Path},
    {SharedFileSize, ValuePrimacy, false, true, ValueKind::Number},
    {SharedPublic, ValuePrimacy, true, true, ValueKind::None},   // one of its own per folder
    {SharedUserlist, ValuePrimacy, true, true, ValueKind::None}, // one of its own per folder
    {IsScanned, ValuePrimacy, true, true,
     ValueKind::None}, // one item, shared by every scanned file
    {UserShare, RootPrimacy, true, true, ValueKind::None},
    {UserShareLoaded, ValuePrimacy, true, true, ValueKind::None},
    {UserShareFolder, ReachablePrimacy, true, true, ValueKind::None},
    {UserShareFolderParent, ReachablePrimacy, true, true, ValueKind::None},
    {UserShareFolderChild, ReachablePrimacy, true, true, ValueKind::None},
    {UserShareFolderName, ValuePrimacy, false, true, ValueKind::Path},
    {UserShareFile, ReachablePrimacy, true, true, ValueKind::None},
    {UserShareFileName, ValuePrimacy, false, true, ValueKind::Path},
    {SearchToken, ValuePrimacy, false, true, ValueKind::Utf8},
    {Unshared, ValuePrimacy, true, true, ValueKind::None},
};

const SchemaRelation kRelations[] = {
    // A directory may belong to several roots when shares nest.
    {SharedFolder, SharedFileFolder, Many, Many},
    {SharedFile, SharedFileFolder, Many, One},
    {SharedFileFolder, SharedFileFolderLowercaseName, Many, One},
    {SharedFile, SharedFileName, Many, One},
    {SharedFileName, SharedFileLowercaseName, Many, One},
    {SharedFile, SharedFileSize, Many, One},
    {SharedFolder, SharedPublic, Many, One},
    {SharedFolder, SharedUserlist, Many, One},
    {SharedFolder, UserListGroup, Many, Many},

    {UserShare, User, One, One},
    {UserShare, UserShareLoaded, Many, One},
    {UserShare, UserShareFolder, One, Many},
    {UserShareFolder, UserShareFolderName, Many, One},
    {UserShareFolder, UserShareFile, One, Many},
    {UserShareFolder, UserShareFolderParent, One, One},
    {UserShareFolder, UserShareFolderChild, One, Many},
    {UserShareFolderParent, UserShareFolderChild, One, One},
    {UserShareFile, UserShareFileName, Many, One},
    {UserShareFile, FileSize, Many, One},

    {SearchToken, SharedFile, Many, Many},
    // The words of a folder's path, which all its files carry.
    {SearchToken, SharedFileFolder, Many, Many},

    // The MP3 details of a local file, written by the MP3 scanner.
    {SharedFile, MpegVersion, Many, One},
    {SharedFile, ChannelMode, Many, One},
    {SharedFile, AudioFrequency, Many, One},
    {SharedFile, BitrateMode, Many, One},
    {SharedFile, Bitrate, Many, One},
    {SharedFile, IsScanned, Many, One},

    {UserShareFile, BitrateMode, Many, One},
    {UserShareFile, Bitrate, Many, One},
    {UserShareFile, LengthSeconds, Many, One},

    {User, Unshared, Many, One},
};

const SchemaSaved kSaved[] = {
    {SharedFolder},
    {SharedPublic, SharedFolder},
    {SharedUserlist, SharedFolder},
    {IsScanned},
    {SharedFile, SharedFileFolder},
    {SharedFileFolder, SharedFolder},
    {SharedFileName, SharedFile},
    {SharedFileSize, SharedFile},
    {MpegVersion, SharedFile},
    {ChannelMode, SharedFile},
    {AudioFrequency, SharedFile},
    {BitrateMode, SharedFile},
    {Bitrate, SharedFile},
    {Unshared},
    {User, Unshared},
};

} // namespace

void SharedFoldersManager::CreateData(DataSaver& saver)
{
    DeclareSchema(MakeSchema(kTypes, kRelations, kSaved), saver);
}

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
    {SharedFolder, RootPrimacy, false, true},
    {SharedFile, ReachablePrimacy, true, true},
    {SharedFileName, ReachablePrimacy, false, true},
    {SharedFileLowercaseName, ValuePrimacy, false, true},
    {SharedFileFolder, ReachablePrimacy, false, true},
    {SharedFileFolderLowercaseName, ValuePrimacy, false, true},
    {SharedFileSize, ValuePrimacy, false, true},
    {SharedPublic, ValuePrimacy, true, true},   // one of its own per folder
    {SharedUserlist, ValuePrimacy, true, true}, // one of its own per folder
    {IsScanned, ValuePrimacy, true, true},      // one item, shared by every scanned file
    {UserShare, RootPrimacy, true, true},
    {UserShareLoaded, ValuePrimacy, true, true},
    {UserShareFolder, ReachablePrimacy, true, true},
    {UserShareFolderParent, ReachablePrimacy, true, true},
    {UserShareFolderChild, ReachablePrimacy, true, true},
    {UserShareFolderName, ValuePrimacy, false, true},
    {UserShareFile, ReachablePrimacy, true, true},
    {UserShareFileName, ValuePrimacy, false, true},
    {SearchToken, ValuePrimacy, false, true},
    {Unshared, ValuePrimacy, true, true},
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

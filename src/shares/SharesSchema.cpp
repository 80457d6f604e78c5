#include "shares/SharedFoldersManager.h"

#include "store/DataSaver.h"

// What the shared-folder manager keeps: the local share (roots, scanned folders, files, their
// names, sizes and MP3 details, the word index) and the share trees received from other users.
// Only the local share's own facts are saved. The word index and the lower-case names are
// rebuilt after every load, and received trees are fetched again when wanted.
//
// The order of the steps matters to what comes after: the lower-case name handlers must be in
// place before the store file is loaded, so that loaded folders and names get theirs.

namespace {

struct TypeDecl
{
    const char* name;
    Primacy primacy;
    bool isNull;
    bool autoCreate;
};

// a, b: how many a-items one b-item may have, how many b-items one a-item may have.
struct RelationDecl
{
    const char* a;
    const char* b;
    OneOrMany aPerB;
    OneOrMany bPerA;
};

const TypeDecl LocalShareTypes[] = {
    {"shared_folder", RootPrimacy, false, true},
    {"shared_file", ReachablePrimacy, true, true},
    {"shared_file_name", ReachablePrimacy, false, true},
    {"shared_file_lowercase_name", ValuePrimacy, false, true},
    {"shared_file_folder", ReachablePrimacy, false, true},
    {"shared_file_folder_lowercase_name", ValuePrimacy, false, true},
    {"shared_file_size", ValuePrimacy, false, true},
    {"shared_public", ValuePrimacy, true, true},
    {"shared_userlist", ValuePrimacy, true, true},
    {"is_scanned", ValuePrimacy, true, true},
};

const RelationDecl LocalShareRelations[] = {
    {"shared_folder", "shared_file_folder", Many, Many},
    {"shared_file", "shared_file_folder", Many, One},
    {"shared_file_folder", "shared_file_folder_lowercase_name", Many, One},
    {"shared_file", "shared_file_name", Many, One},
    {"shared_file_name", "shared_file_lowercase_name", Many, One},
    {"shared_file", "shared_file_size", Many, One},
    {"shared_folder", "shared_public", Many, One},
    {"shared_folder", "shared_userlist", Many, One},
    {"shared_folder", "user_list_group", Many, Many},
};

// Other users' share lists, as browsing receives them.
const TypeDecl ReceivedShareTypes[] = {
    {"user_share", RootPrimacy, true, true},
    {"user_share_loaded", ValuePrimacy, true, true},
    {"user_share_folder", ReachablePrimacy, true, true},
    {"user_share_folder_parent", ReachablePrimacy, true, true},
    {"user_share_folder_child", ReachablePrimacy, true, true},
    {"user_share_folder_name", ValuePrimacy, false, true},
    {"user_share_file", ReachablePrimacy, true, true},
    {"user_share_file_name", ValuePrimacy, false, true},
};

const RelationDecl ReceivedShareRelations[] = {
    {"user_share", "user", One, One},
    {"user_share", "user_share_loaded", Many, One},
    {"user_share", "user_share_folder", One, Many},
    {"user_share_folder", "user_share_folder_name", Many, One},
    {"user_share_folder", "user_share_file", One, Many},
    {"user_share_folder", "user_share_folder_parent", One, One},
    {"user_share_folder", "user_share_folder_child", One, Many},
    {"user_share_folder_parent", "user_share_folder_child", One, One},
    {"user_share_file", "user_share_file_name", Many, One},
    {"user_share_file", "file_size", Many, One},
};

// The MP3 details of a local file (the MP3 scanner writes them) and the scanned flag.
const char* const SharedFileDetails[] = {
    "mpeg_version", "channel_mode", "audio_frequency", "bitrate_mode", "bitrate", "is_scanned",
};
// Saved through the file they describe; is_scanned is saved whole (its one item).
const char* const SavedFileDetails[] = {
    "shared_file_name", "shared_file_size", "mpeg_version", "channel_mode",
    "audio_frequency",  "bitrate_mode",     "bitrate",
};

void Declare(const TypeDecl& t)
{
    d.NewType(t.name, t.primacy, t.isNull, t.autoCreate);
}

void Relate(const RelationDecl& r)
{
    d.GetType(r.a)->RelateToType(r.b, r.aPerB, r.bPerA);
}

void AddSaved(const char* type)
{
    if (dataSaver)
        dataSaver->AddSavedType(type);
}

void AddSavedThrough(const char* type, const char* via)
{
    if (dataSaver)
        dataSaver->AddSavedByConnectionType(type, via);
}

} // namespace

void SharedFoldersManager::CreateData()
{
    for (const TypeDecl& t : LocalShareTypes)
        Declare(t);
    AddSaved("shared_folder");
    for (const RelationDecl& r : LocalShareRelations)
        Relate(r);
    AddSavedThrough("shared_public", "shared_folder");
    AddSavedThrough("shared_userlist", "shared_folder");

    d.GetType("shared_file_name")
        ->itemAddedEvent.Add(NewEventHandler(this, &SharedFoldersManager::OnSharedFileNameAdded));
    d.GetType("shared_file_folder")
        ->itemAddedEvent.Add(NewEventHandler(this, &SharedFoldersManager::OnSharedFileFolderAdded));

    for (const TypeDecl& t : ReceivedShareTypes)
        Declare(t);
    for (const RelationDecl& r : ReceivedShareRelations)
        Relate(r);

    // Received share lists (PeerMessenger::UserShare) and folder requests
    // (PeerMessenger::SharedFilesInFolderRequested) are wired here once the codec has them.

    d.NewType("search_token", ValuePrimacy, false, true);
    d.GetType("search_token")->RelateToType("shared_file", Many, Many);
    // Search requests from the distributed network (DNetManager::DNetSearchRequest) are wired
    // here once search answering exists.

    for (const char* detail : SharedFileDetails)
        d.GetType("shared_file")->RelateToType(detail, Many, One);
    AddSaved("is_scanned");
    AddSavedThrough("shared_file", "shared_file_folder");
    AddSavedThrough("shared_file_folder", "shared_folder");
    for (const char* detail : SavedFileDetails)
        AddSavedThrough(detail, "shared_file");

    for (const char* detail : {"bitrate_mode", "bitrate", "length_seconds"})
        d.GetType("user_share_file")->RelateToType(detail, Many, One);

    // A user the owner chose to share nothing with; kept across runs.
    d.NewType("unshared", ValuePrimacy, true, true);
    d.GetType("user")->RelateToType("unshared", Many, One);
    AddSaved("unshared");
    AddSavedThrough("user", "unshared");

    m_types.file = d.GetType("shared_file");
    m_types.name = d.GetType("shared_file_name");
    m_types.size = d.GetType("shared_file_size");
    m_types.scanned = d.GetType("is_scanned");
    m_types.token = d.GetType("search_token");
}

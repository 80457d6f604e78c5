#include "server/Server.h"

#include "store/Data.h"
#include "store/DataSaver.h"

// What the server connection keeps about users and rooms. Presence, statistics, room members and
// roles are rebuilt from the server after each login; only what the user decided (autojoin rooms,
// the user list and its groups, ignored users) is saved.

namespace {

struct TypeDecl
{
    const char* name;
    int primacy;
    bool isNull;
    bool autoCreate;
};

const TypeDecl ServerTypes[] = {
    {"user", 0, false, true},
    {"is_online", 2, true, true},
    {"is_tracked", 2, true, true},
    {"is_privileged", 2, true, true},
    {"room", 0, false, true},
    {"room_autojoin", 2, true, true},
    {"user_count", 2, false, true},
    {"is_private", 2, true, true},
    {"is_member", 2, true, true},
    {"in_room", 2, true, true},
    {"room_owner", 1, true, true},
    {"room_operators", 1, true, true},
    {"room_members", 1, true, true},
    {"is_owner", 2, true, true},
    {"is_operator", 2, true, true},
    {"average_download_speed", 2, false, true},
    {"shared_files_count", 2, false, true},
    {"country_code", 2, false, true},
    {"in_user_list", 2, true, true},
    {"user_list_group", 0, false, true},
    {"group_download_priority", 2, false, true},
    {"is_ignored", 2, true, true},
    {"user_address_request", 2, true, true},
};

// a, b: how many a-items one b-item may have, how many b-items one a-item may have.
struct RelationDecl
{
    const char* a;
    const char* b;
    OneOrMany aPerB;
    OneOrMany bPerA;
};

const RelationDecl ServerRelations[] = {
    {"user", "is_online", Many, One},
    {"user", "is_tracked", Many, One},
    {"user", "is_privileged", Many, One},
    {"user", "average_download_speed", Many, One},
    {"user", "shared_files_count", Many, One},
    {"user", "country_code", Many, One},
    {"user", "in_user_list", One, One},
    {"user", "is_ignored", Many, One},
    {"in_user_list", "user_list_group", Many, Many},
    {"user_list_group", "group_download_priority", Many, One},
    {"room", "user", Many, Many},
    {"room", "user_count", Many, One},
    {"room", "in_room", Many, One},
    {"room", "room_autojoin", Many, One},
    {"room", "room_owner", One, One},
    {"room", "room_operators", One, One},
    {"room", "room_members", One, One},
    {"room_owner", "user", Many, One},
    {"room_operators", "user", Many, Many},
    {"room_members", "user", Many, Many},
    {"room", "is_private", Many, One},
    {"room", "is_owner", Many, One},
    {"room", "is_operator", Many, One},
    {"room", "is_member", Many, One},
    {"user_address_request", "user", One, Many},
};

} // namespace

void Server::CreateData()
{
    for (const TypeDecl& t : ServerTypes)
        d.NewType(t.name, Primacy(t.primacy), t.isNull, t.autoCreate);
    for (const RelationDecl& r : ServerRelations)
        d.GetType(r.a)->RelateToType(r.b, r.aPerB, r.bPerA);

    if (!dataSaver)
        return;
    dataSaver->AddSavedType("room_autojoin");
    dataSaver->AddSavedByConnectionType("room", "room_autojoin");
    dataSaver->AddSavedType("in_user_list");
    dataSaver->AddSavedByConnectionType("user", "in_user_list");
    dataSaver->AddSavedType("user_list_group");
    dataSaver->AddSavedType("is_ignored");
    dataSaver->AddSavedByConnectionType("user", "is_ignored");
}

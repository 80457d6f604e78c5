#include "server/Server.h"

#include "server/ServerSchema.h"
#include "store/Schema.h"

// What the server connection keeps about users and rooms. Presence, statistics, room members and
// roles are rebuilt from the server after each login; only what the user decided (autojoin rooms,
// the user list, its groups and their download priorities, ignored users) is saved.

namespace {

using namespace ServerTypes;

const SchemaType kTypes[] = {
    {User, RootPrimacy, false, true},
    {IsOnline, ValuePrimacy, true, true},
    {IsTracked, ValuePrimacy, true, true},
    {IsPrivileged, ValuePrimacy, true, true},
    {Room, RootPrimacy, false, true},
    {RoomAutojoin, ValuePrimacy, true, true},
    {UserCount, ValuePrimacy, false, true},
    {IsPrivate, ValuePrimacy, true, true},
    {IsMember, ValuePrimacy, true, true},
    {InRoom, ValuePrimacy, true, true},
    {RoomOwner, ReachablePrimacy, true, true},
    {RoomOperators, ReachablePrimacy, true, true},
    {RoomMembers, ReachablePrimacy, true, true},
    {IsOwner, ValuePrimacy, true, true},
    {IsOperator, ValuePrimacy, true, true},
    {AverageDownloadSpeed, ValuePrimacy, false, true},
    {SharedFilesCount, ValuePrimacy, false, true},
    {CountryCode, ValuePrimacy, false, true},
    {InUserList, ValuePrimacy, true, true},
    {UserListGroup, RootPrimacy, false, true},
    {GroupDownloadPriority, ValuePrimacy, false, true},
    {IsIgnored, ValuePrimacy, true, true},
    {UserAddressRequest, ValuePrimacy, true, true},
};

const SchemaRelation kRelations[] = {
    {User, IsOnline, Many, One},
    {User, IsTracked, Many, One},
    {User, IsPrivileged, Many, One},
    {User, AverageDownloadSpeed, Many, One},
    {User, SharedFilesCount, Many, One},
    {User, CountryCode, Many, One},
    {User, InUserList, One, One},
    {User, IsIgnored, Many, One},
    {InUserList, UserListGroup, Many, Many},
    {UserListGroup, GroupDownloadPriority, Many, One},
    {Room, User, Many, Many},
    {Room, UserCount, Many, One},
    {Room, InRoom, Many, One},
    {Room, RoomAutojoin, Many, One},
    {Room, RoomOwner, One, One},
    {Room, RoomOperators, One, One},
    {Room, RoomMembers, One, One},
    {RoomOwner, User, Many, One},
    {RoomOperators, User, Many, Many},
    {RoomMembers, User, Many, Many},
    {Room, IsPrivate, Many, One},
    {Room, IsOwner, Many, One},
    {Room, IsOperator, Many, One},
    {Room, IsMember, Many, One},
    {UserAddressRequest, User, One, Many},
};

const SchemaSaved kSaved[] = {
    {RoomAutojoin},  {Room, RoomAutojoin}, // rooms entered at login
    {InUserList},    {User, InUserList},   // the user list
    {UserListGroup},                       // its groups, empty ones too
    {GroupDownloadPriority, UserListGroup}, // and their download priorities
    {IsIgnored},     {User, IsIgnored},    // ignored users
};

} // namespace

void Server::CreateData(DataSaver& saver)
{
    DeclareSchema(MakeSchema(kTypes, kRelations, kSaved), saver);
}

#include "server/Server.h"

#include "server/ServerSchema.h"
#include "store/Schema.h"

// What the server connection keeps about users and rooms. Presence, statistics, room members and
// roles are rebuilt from the server after each login; only what the user decided (autojoin rooms,
// the user list, its groups and their download priorities, ignored users) is saved.

namespace {

using namespace ServerTypes;

const SchemaType kTypes[] = {
    {User, RootPrimacy, false, true, ValueKind::Name},
    {IsOnline, ValuePrimacy, true, true, ValueKind::None},
    {IsTracked, ValuePrimacy, true, true, ValueKind::None},
    {IsPrivileged, ValuePrimacy, true, true, ValueKind::None},
    {Room, RootPrimacy, false, true, ValueKind::Utf8},
    {RoomAutojoin, ValuePrimacy, true, true, ValueKind::None},
    {UserCount, ValuePrimacy, false, true, ValueKind::Number},
    {IsPrivate, ValuePrimacy, true, true, ValueKind::None},
    {IsMember, ValuePrimacy, true, true, ValueKind::None},
    {InRoom, ValuePrimacy, true, true, ValueKind::None},
    {RoomOwner, ReachablePrimacy, true, true, ValueKind::None},
    {RoomOperators, ReachablePrimacy, true, true, ValueKind::None},
    {RoomMembers, ReachablePrimacy, true, true, ValueKind::None},
    {IsOwner, ValuePrimacy, true, true, ValueKind::None},
    {IsOperator, ValuePrimacy, true, true, ValueKind::None},
    {AverageDownloadSpeed, ValuePrimacy, false, true, ValueKind::Number},
    {SharedFilesCount, ValuePrimacy, false, true, ValueKind::Number},
    {CountryCode, ValuePrimacy, false, true, ValueKind::Word},
    {InUserList, ValuePrimacy, true, true, ValueKind::None},
    {UserListGroup, RootPrimacy, false, true, ValueKind::Name},
    {GroupDownloadPriority, ValuePrimacy, false, true, ValueKind::Number},
    {IsIgnored, ValuePrimacy, true, true, ValueKind::None},
    {UserAddressRequest, ValuePrimacy, true, true, ValueKind::None},
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

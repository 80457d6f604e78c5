#include "server/Server.h"

#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "store/Data.h"
#include "store/Settings.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string_view>
#include <unordered_set>
#include <vector>

// Room messages keep the room part of the store current; the chat and room forms read it from
// there. Only room chat and the invitation setting are signalled.

using ServerStore::ClearFlag;
using ServerStore::HasFlag;
using ServerStore::Link;
using ServerStore::Room;
using ServerStore::SetFlag;
using ServerStore::User;

namespace {

void LinkUserStats(ItemPtr user, const UserStats& stats, const std::string& country)
{
    Link(user, ServerTypes::AverageDownloadSpeed, Value(int(stats.averageSpeed)));
    Link(user, ServerTypes::SharedFilesCount, Value(int(stats.sharedFileCount)));
    Link(user, ServerTypes::CountryCode, Value(country));
}

// The room's one record of this type (room_owner, room_operators, room_members), made if missing.
ItemPtr RoomRecord(const std::string& room, const char* recordType)
{
    return Room(room).NewItem(recordType);
}

void ReplaceRecordUsers(ItemPtr record, const std::set<std::string>& users)
{
    record.Disconnect(ServerTypes::User);
    for (const std::string& user : users)
        record += User(user);
}

void ReadRoomAndUser(MemStream& s, std::string& room, std::string& user)
{
    s.Read(room);
    s.Read(user);
}

// Users looked at, unlinked or linked in one step of entering a room: a millisecond or two of
// work, with what a room tab does for each.
constexpr size_t kRoomEntryStep = 256;

// What entering a room leaves for later steps, in order: the users in the answer gathered, the
// users in the room already who are not among them unlinked, then the users in the answer
// linked with their figures, in its order. A room of 100,000 users takes some hundreds of
// milliseconds, more than one pass of the reader may.
struct RoomEntry
{
    std::string room;
    std::vector<std::string> users;
    std::vector<UserStats> stats;
    std::vector<std::string> countries;
    // The users with figures: the three lists should be equally long; a shorter one ends the
    // walk, so a message with unequal lists never pairs a user with someone else's figures.
    size_t common = 0;

    std::unordered_set<std::string_view> staying;
    size_t gathered = 0;
    // The room's users when the answer came, by id, and how far they were looked at.
    std::vector<quint32> present;
    bool listed = false;
    size_t looked = 0;
    std::vector<quint32> leaving;
    size_t unlinked = 0;
    size_t linked = 0;

    // The user an id named when it was taken, or null once that user is gone.
    static Item* UserById(quint32 id)
    {
        Item* item = d.ItemById(id);
        return item && item->GetType() == d.GetType(ServerTypes::User) ? item : nullptr;
    }

    // One step; true once all are done.
    bool Step()
    {
        ItemPtr roomItem = Room(room);
        size_t left = kRoomEntryStep;
        for (; gathered < users.size() && left > 0; ++gathered, --left)
            staying.insert(users[gathered]);
        if (left > 0 && !listed) {
            listed = true;
            for (Item* user : roomItem.GetItems(ServerTypes::User))
                present.push_back(user->Id());
            left = left > kRoomEntryStep / 2 ? left - kRoomEntryStep / 2 : 0;
        }
        for (; looked < present.size() && left > 0; ++looked, --left) {
            const Item* user = UserById(present[looked]);
            if (user && !staying.count(user->AsString().View()))
                leaving.push_back(present[looked]);
        }
        for (; unlinked < leaving.size() && left > 0; ++unlinked, --left)
            roomItem.Disconnect(UserById(leaving[unlinked]));
        for (; linked < users.size() && left > 0; ++linked, --left) {
            ItemPtr user = User(users[linked]);
            roomItem += user;
            if (linked < common)
                LinkUserStats(user, stats[linked], countries[linked]);
        }
        return left > 0 || linked == users.size();
    }
};

// Rooms of a room list linked with their counts and roles in one step: their rows are made and
// styled as they come.
constexpr size_t kRoomListStep = 256;

// A room list (code 64) as its later steps handle it, in the order of one go: the public rooms'
// counts, the owned rooms, the old owner marks cleared, the member rooms, the old member marks
// cleared. A list of 100,000 rooms takes some hundreds of milliseconds.
struct RoomListing
{
    bool acceptNewRooms = false;
    std::vector<std::string> publicRooms;
    std::vector<quint32> publicCounts;
    std::vector<std::string> ownedRooms;
    std::vector<quint32> ownedCounts;
    std::vector<std::string> memberRooms;
    std::vector<quint32> memberCounts;
    std::set<std::string> operatorRooms;
    std::set<std::string> owned;
    std::set<std::string> member;
    // Rooms linked so far, over the three lists in turn; then the two walks of old marks.
    size_t linked = 0;
    bool ownersCleared = false;

    // One step; true once all are done.
    bool Step()
    {
        Type* roomType = d.GetType(ServerTypes::Room);
        // Each name list is walked together with its counts only as far as the shorter of the
        // two.
        const size_t publicCount = std::min(publicRooms.size(), publicCounts.size());
        const size_t ownedCount = std::min(ownedRooms.size(), ownedCounts.size());
        const size_t memberCount = std::min(memberRooms.size(), memberCounts.size());
        for (size_t left = kRoomListStep; left > 0 && linked < publicCount; --left, ++linked) {
            if (acceptNewRooms || roomType->HasItem(Value(publicRooms[linked])))
                Link(Room(publicRooms[linked]), ServerTypes::UserCount,
                     Value(int(publicCounts[linked])));
        }
        if (linked < publicCount)
            return false;
        for (size_t left = kRoomListStep; left > 0 && linked < publicCount + ownedCount;
             --left, ++linked) {
            const std::string& name = ownedRooms[linked - publicCount];
            ItemPtr room = Room(name);
            Link(room, ServerTypes::UserCount, Value(int(ownedCounts[linked - publicCount])));
            SetFlag(room, ServerTypes::IsOwner);
            SetFlag(room, ServerTypes::IsPrivate);
            SetFlag(room, ServerTypes::IsMember);
            owned.insert(name);
        }
        if (linked < publicCount + ownedCount)
            return false;
        // Old marks are cleared by walking the rooms that carry them, never every room known:
        // rooms are never removed, and a list arrives after every login and on request.
        if (!ownersCleared) {
            ownersCleared = true;
            for (ItemPtr room :
                 ServerStore::FlaggedItems(ServerTypes::IsOwner, ServerTypes::Room)) {
                if (!owned.count(room.AsString()))
                    ClearFlag(room, ServerTypes::IsOwner);
            }
            return false;
        }
        const size_t end = publicCount + ownedCount + memberCount;
        for (size_t left = kRoomListStep; left > 0 && linked < end; --left, ++linked) {
            const size_t i = linked - publicCount - ownedCount;
            ItemPtr room = Room(memberRooms[i]);
            Link(room, ServerTypes::UserCount, Value(int(memberCounts[i])));
            if (operatorRooms.count(memberRooms[i]))
                SetFlag(room, ServerTypes::IsOperator);
            SetFlag(room, ServerTypes::IsPrivate);
            SetFlag(room, ServerTypes::IsMember);
            member.insert(memberRooms[i]);
        }
        if (linked < end)
            return false;
        for (ItemPtr room : ServerStore::FlaggedItems(ServerTypes::IsMember, ServerTypes::Room)) {
            const std::string name = room.AsString();
            if (!member.count(name) && !owned.count(name))
                ClearFlag(room, ServerTypes::IsMember);
        }
        return true;
    }
};

} // namespace

// 13
void Server::OnRoomChat(MemStream& s)
{
    std::string room;
    std::string user;
    std::string text;
    s.Read(room);
    s.Read(user);
    s.Read(text);
    if (HasFlag(ServerStore::FindUser(user), ServerTypes::IsIgnored))
        return;
    Q_EMIT RoomChat(room, user, text);
}

// 14: the answer to entering a room. Users in the room already who are in the answer keep their
// link, so that entering again (after a reconnection) unlinks and links only who came and went;
// the users are linked in steps (RoomEntry), and the reader takes no later message before the
// last of them.
void Server::OnRoomEntered(MemStream& s)
{
    auto entry = std::make_shared<RoomEntry>();
    std::vector<quint32> statuses;
    std::vector<quint32> unused;
    s.Read(entry->room);
    s.Read(entry->users);
    s.Read(statuses);
    s.Read(entry->stats);
    s.Read(unused);
    s.Read(entry->countries);
    entry->common = std::min({entry->users.size(), entry->stats.size(), entry->countries.size()});

    ItemPtr roomItem = Room(entry->room);

    // Only private rooms carry the owner and operators; a public room's answer ends before them.
    std::string owner;
    if (s.Read(owner)) {
        std::set<std::string> operators;
        s.Read(operators);
        roomItem.NewItem(ServerTypes::RoomOwner) += User(owner);
        ReplaceRecordUsers(roomItem.NewItem(ServerTypes::RoomOperators), operators);
    }

    SetFlag(roomItem, ServerTypes::InRoom);

    // An answer handled outside the reader (a test's) finds nothing left before it.
    FinishRest();
    m_rest = [entry] { return entry->Step(); };
    FinishRest();
}

// 15
void Server::OnRoomLeft(MemStream& s)
{
    std::string room;
    s.Read(room);
    ItemPtr roomItem = Room(room);
    if (!HasFlag(roomItem, ServerTypes::InRoom))
        return;
    ClearFlag(roomItem, ServerTypes::InRoom);
    roomItem.Disconnect(ServerTypes::User);
}

// 16: only for a room we know. Rooms and users are never removed, and the server may name any
// room: one made here for every name it sends would stay for good.
void Server::OnUserJoinedRoom(MemStream& s)
{
    std::string room;
    std::string user;
    quint32 status = 0;
    UserStats stats;
    quint32 unused = 0;
    std::string country;
    s.Read(room);
    s.Read(user);
    s.Read(status);
    s.Read(stats);
    s.Read(unused);
    s.Read(country);

    ItemPtr roomItem = ServerStore::FindRoom(room);
    if (!roomItem)
        return;
    ItemPtr userItem = User(user);
    roomItem += userItem;
    LinkUserStats(userItem, stats, country);
}

// 17: a room or a user we do not know has nobody to lose; looking them up makes neither.
void Server::OnUserLeftRoom(MemStream& s)
{
    std::string room;
    std::string user;
    ReadRoomAndUser(s, room, user);
    ItemPtr roomItem = ServerStore::FindRoom(room);
    ItemPtr userItem = ServerStore::FindUser(user);
    if (roomItem && userItem)
        roomItem.Disconnect(userItem);
}

// 64: the rooms are linked in steps (RoomListing), and the reader takes no later message before
// the last of them.
void Server::OnRoomList(MemStream& s)
{
    // Only the first list after a login or an explicit request may add public rooms; the server
    // also sends lists unasked, and those only update rooms already known.
    auto listing = std::make_shared<RoomListing>();
    listing->acceptNewRooms = Settings::IsYes(SettingKeys::AcceptRoomList);
    Settings::SetYes(SettingKeys::AcceptRoomList, false);

    s.Read(listing->publicRooms);
    s.Read(listing->publicCounts);
    s.Read(listing->ownedRooms);
    s.Read(listing->ownedCounts);
    s.Read(listing->memberRooms);
    s.Read(listing->memberCounts);
    s.Read(listing->operatorRooms);

    // An answer handled outside the reader (a test's) finds nothing left before it.
    FinishRest();
    m_rest = [listing] { return listing->Step(); };
    FinishRest();
}

// 133
void Server::OnPrivateRoomMembers(MemStream& s)
{
    std::string room;
    std::set<std::string> users;
    s.Read(room);
    s.Read(users);
    ReplaceRecordUsers(RoomRecord(room, ServerTypes::RoomMembers), users);
}

// 134
void Server::OnPrivateRoomMemberAdded(MemStream& s)
{
    std::string room;
    std::string user;
    ReadRoomAndUser(s, room, user);
    RoomRecord(room, ServerTypes::RoomMembers) += User(user);
}

// 135
void Server::OnPrivateRoomMemberRemoved(MemStream& s)
{
    std::string room;
    std::string user;
    ReadRoomAndUser(s, room, user);
    RoomRecord(room, ServerTypes::RoomMembers).Disconnect(User(user));
}

// 139
void Server::OnPrivateRoomMembershipGranted(MemStream& s)
{
    std::string room;
    s.Read(room);
    ItemPtr roomItem = Room(room);
    SetFlag(roomItem, ServerTypes::IsPrivate);
    SetFlag(roomItem, ServerTypes::IsMember);
    EnterRoom(room, false);
}

// 140: the room stays known as private; no leave request follows.
void Server::OnPrivateRoomMembershipRevoked(MemStream& s)
{
    std::string room;
    s.Read(room);
    ItemPtr roomItem = Room(room);
    ClearFlag(roomItem, ServerTypes::IsMember);
    ClearFlag(roomItem, ServerTypes::IsOperator);
    ClearFlag(roomItem, ServerTypes::IsOwner);
}

// 141
void Server::OnPrivateRoomInvitations(MemStream& s)
{
    quint8 enabled = 0;
    s.Read(enabled);
    Settings::SetYes(SettingKeys::AcceptPrivateRoomAdd, enabled);
    Q_EMIT PrivateRoomAddEnabled(enabled != 0);
}

// 143
void Server::OnPrivateRoomOperatorAdded(MemStream& s)
{
    std::string room;
    std::string user;
    ReadRoomAndUser(s, room, user);
    RoomRecord(room, ServerTypes::RoomOperators) += User(user);
}

// 144
void Server::OnPrivateRoomOperatorRemoved(MemStream& s)
{
    std::string room;
    std::string user;
    ReadRoomAndUser(s, room, user);
    RoomRecord(room, ServerTypes::RoomOperators).Disconnect(User(user));
}

// 145
void Server::OnMadeOperator(MemStream& s)
{
    std::string room;
    s.Read(room);
    SetFlag(Room(room), ServerTypes::IsOperator);
}

// 148
void Server::OnPrivateRoomOperators(MemStream& s)
{
    std::string room;
    std::set<std::string> users;
    s.Read(room);
    s.Read(users);
    ReplaceRecordUsers(RoomRecord(room, ServerTypes::RoomOperators), users);
}

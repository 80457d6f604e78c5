#include "server/Server.h"

#include "server/ServerCodes.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "store/Data.h"
#include "store/Settings.h"

// One function per request. Each builds the message and hands it to SendMessage, which drops it
// unless logged in; what a request changes in the store happens either way, so that the
// after-login steps can send again what must survive a reconnection.

namespace {

MemStream Message(quint32 code)
{
    MemStream message;
    message.Write(code);
    return message;
}

} // namespace

// 2
void Server::SetWaitPort(int port, int obfuscatedPort)
{
    MemStream m = Message(ServerCode::SetWaitPort);
    m.Write(qint32(port));
    m.Write(quint32(1));
    m.Write(qint32(obfuscatedPort));
    SendMessage(m, false);
}

// 3: one outstanding request per user; the address reply clears the mark.
void Server::GetUserAddress(std::string user)
{
    ItemPtr userItem = ServerStore::User(user);
    if (userItem.IsConnected(ServerTypes::UserAddressRequest))
        return;
    MemStream m = Message(ServerCode::GetUserAddress);
    m.Write(user);
    SendMessage(m, false);
    userItem += d.GetType(ServerTypes::UserAddressRequest)->NewItem();
}

// 5
void Server::AddUser(std::string user)
{
    MemStream m = Message(ServerCode::AddUser);
    m.Write(user);
    SendMessage(m, false);
}

// 5, once per user and run.
void Server::TrackUser(std::string user)
{
    ItemPtr userItem = ServerStore::User(user);
    if (ServerStore::HasFlag(userItem, ServerTypes::IsTracked))
        return;
    ServerStore::SetFlag(userItem, ServerTypes::IsTracked);
    AddUser(user);
}

// 6
void Server::UntrackUser(std::string user)
{
    ItemPtr userItem = ServerStore::User(user);
    if (!ServerStore::HasFlag(userItem, ServerTypes::IsTracked))
        return;
    ServerStore::ClearFlag(userItem, ServerTypes::IsTracked);
    MemStream m = Message(ServerCode::UntrackUser);
    m.Write(user);
    SendMessage(m, false);
}

// 7
void Server::GetUserStatus(std::string user)
{
    MemStream m = Message(ServerCode::GetUserStatus);
    m.Write(user);
    SendMessage(m, false);
}

// 13
void Server::SendRoomChat(std::string room, std::string text)
{
    MemStream m = Message(ServerCode::RoomChat);
    m.Write(room);
    m.Write(text);
    SendMessage(m, false);
}

// 14: the private flag goes out as four bytes.
void Server::EnterRoom(std::string room, bool isPrivate)
{
    MemStream m = Message(ServerCode::EnterRoom);
    m.Write(room);
    m.Write(quint32(isPrivate ? 1 : 0));
    SendMessage(m, false);
}

// 15: `in_room` is cleared by the server's answer, not here.
void Server::LeaveRoom(std::string room)
{
    if (!ServerStore::HasFlag(ServerStore::Room(room), ServerTypes::InRoom))
        return;
    MemStream m = Message(ServerCode::LeaveRoom);
    m.Write(room);
    SendMessage(m, false);
}

// 18
quint32 Server::SendIndirectConnectionRequest(std::string user, std::string type)
{
    const quint32 token = m_nextIndirectToken++;
    MemStream m = Message(ServerCode::ConnectToPeer);
    m.Write(token);
    m.Write(user);
    m.Write(type);
    SendMessage(m, false);
    return token;
}

// 22
void Server::SendPrivateChat(std::string user, std::string text)
{
    MemStream m = Message(ServerCode::PrivateChat);
    m.Write(user);
    m.Write(text);
    SendMessage(m, false);
}

// 26, or 103 for a wish-list search.
quint32 Server::FileSearch(std::string text, bool wishlist)
{
    const quint32 token = m_nextSearchToken++;

    MemStream m = Message(wishlist ? ServerCode::WishListSearch : ServerCode::FileSearch);
    m.Write(token);
    m.Write(text);
    SendMessage(m, false);

    ItemPtr request = d.GetType(ServerTypes::SearchRequest)->NewItem(Value(token));
    request += d.GetType(ServerTypes::SearchRequestText)->GetItem(Value(text));
    if (wishlist)
        ServerStore::SetFlag(request, ServerTypes::WishlistSearch);

    Q_EMIT SearchRequested(token, text, wishlist);
    return token;
}

// 35
void Server::SendFilesFolders(int folders, int files)
{
    MemStream m = Message(ServerCode::SharedFoldersFiles);
    m.Write(qint32(folders));
    m.Write(qint32(files));
    SendMessage(m, false);
}

// 36
void Server::GetUserStats(std::string user)
{
    MemStream m = Message(ServerCode::GetUserStats);
    m.Write(user);
    SendMessage(m, false);
}

// 64: the list that answers it is taken whole.
void Server::GetRoomList()
{
    MemStream m = Message(ServerCode::RoomList);
    SendMessage(m, false);
    Settings::SetYes(SettingKeys::AcceptRoomList, true);
}

// 71: the server wants to hear whether a parent is still wanted, hence the negation.
void Server::SendDNetHasParent(bool hasParent)
{
    MemStream m = Message(ServerCode::DNetHasParent);
    m.Write(quint8(hasParent ? 0 : 1));
    SendMessage(m, false);
}

// 92
void Server::GetOwnPrivilegesStatus()
{
    MemStream m = Message(ServerCode::OwnPrivileges);
    SendMessage(m, false);
}

// 100
void Server::SendDNetCanParent(bool canParent)
{
    MemStream m = Message(ServerCode::DNetCanParent);
    m.Write(quint8(canParent ? 1 : 0));
    SendMessage(m, false);
}

// 121
void Server::SendUploadSpeed(int speed)
{
    MemStream m = Message(ServerCode::UploadSpeed);
    m.Write(qint32(speed));
    SendMessage(m, false);
}

// 126: -1 (no level) goes out as ffffffff.
void Server::SendDNetLevel(int level)
{
    MemStream m = Message(ServerCode::DNetLevel);
    m.Write(qint32(level));
    SendMessage(m, false);
}

// 127
void Server::SendDNetGroupLeader(std::string user)
{
    MemStream m = Message(ServerCode::DNetGroupLeader);
    m.Write(user);
    SendMessage(m, false);
}

// 129
void Server::SendChildDepth(bool depth)
{
    MemStream m = Message(ServerCode::DNetChildDepth);
    m.Write(quint8(depth ? 1 : 0));
    SendMessage(m, false);
}

namespace {

MemStream RoomAndUser(quint32 code, const std::string& room, const std::string& user)
{
    MemStream m = Message(code);
    m.Write(room);
    m.Write(user);
    return m;
}

} // namespace

// 134
void Server::AddPrivateRoomMember(std::string room, std::string user)
{
    MemStream m = RoomAndUser(ServerCode::PrivateRoomAddMember, room, user);
    SendMessage(m, false);
}

// 135
void Server::RemovePrivateRoomMember(std::string room, std::string user)
{
    MemStream m = RoomAndUser(ServerCode::PrivateRoomRemoveMember, room, user);
    SendMessage(m, false);
}

// 136
void Server::GiveUpPrivateRoomMembership(std::string room)
{
    MemStream m = Message(ServerCode::PrivateRoomGiveUpMembership);
    m.Write(room);
    SendMessage(m, false);
}

// 137
void Server::GiveUpPrivateRoom(std::string room)
{
    MemStream m = Message(ServerCode::PrivateRoomGiveUpOwnership);
    m.Write(room);
    SendMessage(m, false);
}

// 141
void Server::EnablePrivateRoomAdd(bool enable)
{
    MemStream m = Message(ServerCode::PrivateRoomInvitations);
    m.Write(quint8(enable ? 1 : 0));
    SendMessage(m, false);
}

// 143
void Server::AddPrivateRoomOperator(std::string room, std::string user)
{
    MemStream m = RoomAndUser(ServerCode::PrivateRoomAddOperator, room, user);
    SendMessage(m, false);
}

// 144
void Server::RemovePrivateRoomOperator(std::string room, std::string user)
{
    MemStream m = RoomAndUser(ServerCode::PrivateRoomRemoveOperator, room, user);
    SendMessage(m, false);
}

// 153
void Server::GetSearchCorrelations(std::string text)
{
    MemStream m = Message(ServerCode::SearchCorrelations);
    m.Write(text);
    SendMessage(m, false);
}

// 1001
void Server::SendCantConnectToPeer(unsigned int token, std::string user)
{
    MemStream m = Message(ServerCode::CantConnectToPeer);
    m.Write(quint32(token));
    m.Write(user);
    SendMessage(m, false);
}

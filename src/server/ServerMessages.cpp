#include "server/Server.h"

#include "server/ServerCodes.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "store/Data.h"
#include "store/Log.h"
#include "store/Settings.h"

#include <algorithm>
#include <unordered_map>

// Received messages are read leniently: each handler reads its fields in a fixed order and does
// not look at the results. A field the body does not hold reads as empty or zero, a list keeps
// what was read before a failure, and bytes after the last field are dropped with the frame.
// Malformed and unknown messages are neither logged nor answered; the one exception is a private
// message (22), which is shown to the user and answered, and so is acted on only when whole.

using ServerStore::ClearFlag;
using ServerStore::HasFlag;
using ServerStore::Link;
using ServerStore::SetFlag;

void Server::HandleMessage(int code, MemStream& stream)
{
    using Handler = void (Server::*)(MemStream&);
    // Code -> handler for everything the server sends.
    static const std::unordered_map<int, Handler> handlers = {
        {ServerCode::Login, &Server::OnLoginReply},
        {ServerCode::GetUserAddress, &Server::OnUserAddress},
        {ServerCode::AddUser, &Server::OnAddUserReply},
        {ServerCode::GetUserStatus, &Server::OnUserStatus},
        {ServerCode::RoomChat, &Server::OnRoomChat},
        {ServerCode::EnterRoom, &Server::OnRoomEntered},
        {ServerCode::LeaveRoom, &Server::OnRoomLeft},
        {ServerCode::UserJoinedRoom, &Server::OnUserJoinedRoom},
        {ServerCode::UserLeftRoom, &Server::OnUserLeftRoom},
        {ServerCode::ConnectToPeer, &Server::OnPeerConnectionRequest},
        {ServerCode::PrivateChat, &Server::OnPrivateChat},
        {ServerCode::GetUserStats, &Server::OnUserStats},
        {ServerCode::RoomList, &Server::OnRoomList},
        {ServerCode::PrivilegedUsers, &Server::OnPrivilegedUsers},
        {ServerCode::DNetParentMinSpeed, &Server::OnDNetParentMinSpeed},
        {ServerCode::DNetParentSpeedConnectionRatio, &Server::OnDNetParentSpeedConnectionRatio},
        {ServerCode::OwnPrivileges, &Server::OnOwnPrivileges},
        {ServerCode::DNetMessage, &Server::OnDNetMessage},
        {ServerCode::DNetPossibleParents, &Server::OnDNetPossibleParents},
        {ServerCode::WishListWait, &Server::OnWishListWait},
        {ServerCode::DNetDeliveryReport, &Server::OnDNetDeliveryReport},
        {ServerCode::DNetReset, &Server::OnDNetReset},
        {ServerCode::PrivateRoomMembers, &Server::OnPrivateRoomMembers},
        {ServerCode::PrivateRoomAddMember, &Server::OnPrivateRoomMemberAdded},
        {ServerCode::PrivateRoomRemoveMember, &Server::OnPrivateRoomMemberRemoved},
        {ServerCode::PrivateRoomMembershipGranted, &Server::OnPrivateRoomMembershipGranted},
        {ServerCode::PrivateRoomMembershipRevoked, &Server::OnPrivateRoomMembershipRevoked},
        {ServerCode::PrivateRoomInvitations, &Server::OnPrivateRoomInvitations},
        {ServerCode::PrivateRoomAddOperator, &Server::OnPrivateRoomOperatorAdded},
        {ServerCode::PrivateRoomRemoveOperator, &Server::OnPrivateRoomOperatorRemoved},
        {ServerCode::PrivateRoomMadeOperator, &Server::OnMadeOperator},
        {ServerCode::PrivateRoomOperators, &Server::OnPrivateRoomOperators},
        {ServerCode::SearchCorrelations, &Server::OnSearchCorrelations},
        {ServerCode::CantConnectToPeer, &Server::OnIndirectConnectionFailed},
    };

    // Nothing the server says matters while no connection is wanted.
    if (m_state == StateIdle)
        return;
    const auto it = handlers.find(code);
    if (it != handlers.end())
        (this->*(it->second))(stream);
}

// 1
void Server::OnLoginReply(MemStream& s)
{
    if (m_state != StateConnecting)
        return;

    quint8 accepted = 0;
    s.Read(accepted);
    if (accepted) {
        std::string greeting;
        quint32 unused = 0;
        std::string unusedText;
        s.Read(greeting);
        s.Read(unused);
        s.Read(unusedText);
        m_state = StateLoggedIn;
        Q_EMIT Connected();
        OnConnectedToServer();
    } else {
        std::string reason;
        s.Read(reason);
        // Idle and closed before the signal: a receiver may run a nested event loop (a message
        // box), and the server's hang-up arriving there must not count as a second failure. A
        // refused login is followed by no Disconnected() and no reconnection.
        m_state = StateIdle;
        m_socket.close();
        Q_EMIT ConnectionFailed(reason);
    }
}

// 3
void Server::OnUserAddress(MemStream& s)
{
    std::string user;
    quint32 address = 0;
    qint32 port = 0;
    quint32 obfuscationType = 0;
    quint16 obfuscatedPort = 0;
    s.Read(user);
    s.Read(address);
    s.Read(port);
    s.Read(obfuscationType);
    s.Read(obfuscatedPort);

    ItemPtr userItem = ServerStore::User(user);
    Link(userItem, ServerTypes::UserAddress, Value(address));
    Link(userItem, ServerTypes::UserPort, Value(int(port)));
    Link(userItem, ServerTypes::UserObfuscatedPort,
         Value(obfuscationType == 1 ? int(obfuscatedPort) : 0));
    userItem.Disconnect(ServerTypes::UserAddressRequest);
}

// 5
void Server::OnAddUserReply(MemStream& s)
{
    std::string user;
    quint8 exists = 0;
    s.Read(user);
    s.Read(exists);
    Q_EMIT AddUserResponse(user, exists != 0);
    if (!exists)
        return;

    qint32 status = 0;
    UserStats stats;
    s.Read(status);
    s.Read(stats);
    if (status > 0) {
        std::string country;
        s.Read(country);
        ItemPtr userItem = ServerStore::User(user);
        SetFlag(userItem, ServerTypes::IsOnline);
        Link(userItem, ServerTypes::CountryCode, Value(country));
    } else {
        ClearFlag(ServerStore::User(user), ServerTypes::IsOnline);
    }
}

// 7
void Server::OnUserStatus(MemStream& s)
{
    std::string user;
    qint32 status = 0;
    quint8 privileged = 0;
    s.Read(user);
    s.Read(status);
    s.Read(privileged);

    ItemPtr userItem = ServerStore::User(user);
    if (status > 0)
        SetFlag(userItem, ServerTypes::IsOnline);
    else
        ClearFlag(userItem, ServerTypes::IsOnline);
    if (privileged)
        SetFlag(userItem, ServerTypes::IsPrivileged);
}

// 18: another user asks, through the server, that we connect to them.
void Server::OnPeerConnectionRequest(MemStream& s)
{
    std::string user;
    std::string type;
    quint32 address = 0;
    qint32 port = 0;
    quint32 token = 0;
    quint8 privileged = 0;
    quint32 obfuscationType = 0;
    qint32 obfuscatedPort = 0;
    s.Read(user);
    s.Read(type);
    s.Read(address);
    s.Read(port);
    s.Read(token);
    s.Read(privileged);
    s.Read(obfuscationType);
    if (obfuscationType == 1)
        s.Read(obfuscatedPort);

    // The request is tied to its id, type and user before the user's address items change, so
    // the peer connection manager's pattern on the request sees a complete request either way.
    ItemPtr request = d.GetType(ServerTypes::PeerConnectionRequest)->NewItem();
    request += d.GetType(ServerTypes::PeerConnectionRequestId)->GetItem(Value(token));
    request += d.GetType(ServerTypes::PeerConnectionType)->GetItem(Value(type));
    ItemPtr userItem = ServerStore::User(user);
    request += userItem;

    Link(userItem, ServerTypes::UserAddress, Value(address));
    Link(userItem, ServerTypes::UserPort, Value(int(port)));
    Link(userItem, ServerTypes::UserObfuscatedPort, Value(int(obfuscatedPort)));
    if (privileged)
        SetFlag(userItem, ServerTypes::IsPrivileged);
}

// 22: every private message is acknowledged, also one from an ignored user. One whose fields do
// not all read is dropped whole and unanswered: shown, it would open a tab under an empty or cut
// name, and the client would go on to watch that name.
void Server::OnPrivateChat(MemStream& s)
{
    qint32 id = 0;
    qint32 time = 0;
    std::string user;
    std::string text;
    quint8 isNew = 0;
    if (!s.Read(id) || !s.Read(time) || !s.Read(user) || !s.Read(text) || !s.Read(isNew)) {
        Log(LogCategories::kServer, 1,
            QStringLiteral("Private message that cannot be read, dropped"));
        return;
    }

    MemStream ack;
    ack.Write(quint32(ServerCode::AcknowledgePrivateChat));
    ack.Write(id);

    ItemPtr userItem = ServerStore::FindUser(user);
    if (!HasFlag(userItem, ServerTypes::IsIgnored))
        Q_EMIT PrivateChat(user, text, time_t(time), isNew != 0);

    SendMessage(ack, false);

    if (text.find("privileges") != std::string::npos)
        GetOwnPrivilegesStatus();
}

// 36
void Server::OnUserStats(MemStream& s)
{
    std::string user;
    UserStats stats;
    s.Read(user);
    s.Read(stats);
    Q_EMIT ReceivedUserStats(user, stats);
}

// 69: adds the flag only; users not named keep theirs.
void Server::OnPrivilegedUsers(MemStream& s)
{
    std::set<std::string> users;
    s.Read(users);
    for (const std::string& user : users)
        SetFlag(ServerStore::User(user), ServerTypes::IsPrivileged);
}

// 92
void Server::OnOwnPrivileges(MemStream& s)
{
    qint32 seconds = 0;
    s.Read(seconds);
    Settings::SetNumber(SettingKeys::PrivilegesTimeLeft, seconds);
    Q_EMIT ReceivedOwnPrivilegesStatus(seconds);
}

// 1001
void Server::OnIndirectConnectionFailed(MemStream& s)
{
    quint32 token = 0;
    s.Read(token);
    Q_EMIT IndirectPeerConnectionFailure(token);
}

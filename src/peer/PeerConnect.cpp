#include "peer/PeerMessenger.h"

#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "store/Clock.h"
#include "store/Log.h"
#include "store/NextTurn.h"
#include "store/Settings.h"

#include <QHostAddress>
#include <QMetaMethod>
#include <QTcpSocket>

#include <algorithm>

namespace {

// The address a socket we opened was sent to: one still connecting has no peer address yet.
const char kDialledAddress[] = "qv_dialled_address";

ItemPtr Status(const char* status)
{
    return d.GetType(PeerTypes::ConnectToPeerRequestStatus)->GetItem(Value(status));
}

bool HasAddressShape(ItemPtr user)
{
    return user && user[PeerTypes::UserAddress] && user[PeerTypes::UserPort] &&
           user[PeerTypes::UserObfuscatedPort];
}

} // namespace

void PeerMessenger::Dial(QTcpSocket* socket, const QHostAddress& address, quint16 port)
{
    socket->setProperty(kDialledAddress, address.toIPv4Address());
    socket->connectToHost(address, port);
}

bool PeerMessenger::Dialled(const QTcpSocket* socket)
{
    return socket->property(kDialledAddress).isValid();
}

void PeerMessenger::MarkForPeer(QTcpSocket* socket, bool forPeer)
{
    socket->setProperty(kForPeerSince, forPeer ? QVariant(Clock::MonotonicMs()) : QVariant());
}

bool PeerMessenger::ForPeer(const QTcpSocket* socket)
{
    return socket->property(kForPeerSince).isValid();
}

QHostAddress PeerMessenger::AddressOf(const QTcpSocket* socket)
{
    const QVariant dialled = socket->property(kDialledAddress);
    return dialled.isValid() ? QHostAddress(dialled.toUInt()) : socket->peerAddress();
}

void PeerMessenger::RequestFileConnectionToUser(std::string user)
{
    ConnectToUser(user, "F");
}

void PeerMessenger::RequestDNetConnection(std::string user)
{
    ConnectToUser(user, "D");
}

int PeerMessenger::GetUserPort(ItemPtr user, bool& obfuscated)
{
    const int obfuscatedPort = user[PeerTypes::UserObfuscatedPort].AsInt();
    obfuscated = obfuscatedPort != 0;
    return obfuscated ? obfuscatedPort : user[PeerTypes::UserPort].AsInt();
}

void PeerMessenger::ConnectToUser(std::string userName, const char* typeName)
{
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("Attempting peer connection of type %1 to user %2")
            .arg(QLatin1String(typeName), TextForLog(userName)));
    ItemPtr user = d.GetType(ServerTypes::User)->GetItem(Value(userName));
    ItemPtr type = d.GetType(PeerTypes::PeerConnectionType)->GetItem(Value(typeName));
    if (ItemPtr(d.GetItems(user, type, PeerTypes::ConnectToPeerRequest))) {
        Log(LogCategories::kPeerMessenger, 2,
            QStringLiteral("Connection attempt to same user of same type already in progress, "
                           "not re-attempting."));
        return;
    }

    // Told on the next turn: a sender may be in the middle of queueing for the user.
    const auto failLater = [this, userName, failedType = std::string(typeName)] {
        QMetaObject::invokeMethod(
            this,
            [this, userName, failedType] { Q_EMIT ConnectionToUserFailed(userName, failedType); },
            Qt::QueuedConnection);
    };
    const QHostAddress address(quint32(user[PeerTypes::UserAddress].AsUInt()));
    if (*typeName == 'P' && MessagingHolder(user) == Holder::Ours) {
        // Our user's waits for room behind those asked for before it, rather than failing; its
        // relayed request goes only once there is room for the answer.
        if (std::find(m_waitingForRoom.begin(), m_waitingForRoom.end(), userName) !=
            m_waitingForRoom.end())
            return;
        if (m_waitingForRoom.empty() && !OpeningRefused(address, userName, Holder::Ours)) {
            StartAttempt(user, type);
        } else if (int(m_waitingForRoom.size()) < kMaxWaitingForRoom) {
            m_waitingForRoom.push_back(userName);
            ScheduleRoomCheck();
        } else {
            if (!m_waitingFullLogged)
                Log(LogCategories::kPeerMessenger, 1,
                    QStringLiteral("Not connecting to user %1: %2 connections of ours wait for "
                                   "room; connections of ours asked for meanwhile fail at once")
                        .arg(TextForLog(userName))
                        .arg(m_waitingForRoom.size()));
            m_waitingFullLogged = true;
            failLater();
        }
        return;
    }
    // One that would be the peer's is weighed before the relayed request goes: refused later,
    // the dial would still be answered by a connection to us.
    if (*typeName == 'P' && OpeningRefused(address, userName, Holder::AtPeersRequest)) {
        failLater();
        return;
    }
    StartAttempt(user, type);
}

void PeerMessenger::StartAttempt(ItemPtr user, ItemPtr type)
{
    const std::string userName = user.AsString();
    ItemPtr request = d.GetType(PeerTypes::ConnectToPeerRequest)->NewItem();
    request += user;
    request += type;

    Log(LogCategories::kPeerMessenger, 2,
        QStringLiteral("Also sending indirect connection request."));
    const quint32 token = gp_server->SendIndirectConnectionRequest(userName, type.AsString());
    ItemPtr indirect = d.GetType(PeerTypes::IndirectConnectToPeerRequest)->GetItem(Value(token));
    request += indirect;
    StampTime(indirect, PeerTypes::SendTime);
    indirect += user;
    indirect += type;

    // An address of 0 (or port 0) is what the server says of a user who is offline: there is
    // nothing to dial, and dialling it would reach this very machine. Ask again instead.
    bool obfuscated = false;
    if (user[PeerTypes::UserAddress].AsUInt() != 0 && quint16(GetUserPort(user, obfuscated)) != 0) {
        StartDirectSocket(request);
        return;
    }
    Log(LogCategories::kPeerMessenger, 2,
        QStringLiteral("User address not found, requesting address"));
    gp_server->GetUserAddress(userName);
    request += Status("getting_address");
}

void PeerMessenger::ScheduleRoomCheck()
{
    OnceNextTurn(this, m_roomCheckPending, [this] { AdmitWaiting(); });
}

void PeerMessenger::AdmitWaiting()
{
    while (!m_waitingForRoom.empty()) {
        const std::string userName = m_waitingForRoom.front();
        ItemPtr user = d.GetType(ServerTypes::User)->HasItem(Value(userName));
        // Sent meanwhile on a connection the peer opened, or expired unsent: nothing to dial for.
        if (user[PeerTypes::PeerSocket] || WhatWaitsFor(user) != Waiting::Ours) {
            m_waitingForRoom.pop_front();
            if (!user[PeerTypes::PeerSocket])
                Q_EMIT ConnectionToUserFailed(userName, "P");
            continue;
        }
        if (OpeningRefused(QHostAddress(quint32(user[PeerTypes::UserAddress].AsUInt())), userName,
                           Holder::Ours))
            return;
        m_waitingForRoom.pop_front();
        StartAttempt(user, d.GetType(PeerTypes::PeerConnectionType)->GetItem(Value("P")));
    }
}

void PeerMessenger::StartDirectSocket(ItemPtr request)
{
    ItemPtr user = request[ServerTypes::User];
    ItemPtr type = request[PeerTypes::PeerConnectionType];
    bool obfuscated = false;
    const quint16 port = quint16(GetUserPort(user, obfuscated));
    const QHostAddress address(quint32(user[PeerTypes::UserAddress].AsUInt()));
    // A messaging connection wanted only to deliver what the peer caused (answers to its
    // searches, our offer of the upload it queued) is the peer's: a peer that searches or queues
    // under a thousand names must not have us hold them as ours. A file connection is an upload
    // under way (one for each slot), a tree connection a parent we try (a few at a time): ours.
    const Holder holder = type.AsString() == "P" ? MessagingHolder(user) : Holder::Ours;
    const bool forPeer = holder == Holder::AtPeersRequest;
    if (OpeningRefused(address, user.AsString(), holder)) {
        // As if the socket had failed at once: the relayed request still runs.
        request += Status("connecting");
        InspectPeerConnectionRequest(request);
        return;
    }

    auto* s = new QTcpSocket(this);
    MarkForPeer(s, forPeer);
    connect(s, &QTcpSocket::connected, this, &PeerMessenger::OnConnectToPeerSocketConnected);
    connect(s, &QTcpSocket::errorOccurred, this, &PeerMessenger::OnConnectToPeerSocketError);
    ItemPtr item = d.GetType(PeerTypes::ConnectToPeerRequestSocket)->GetItem(Value(s));
    StampTime(item, PeerTypes::SocketCreationTime);
    item += user;
    item += type;
    if (obfuscated)
        item.NewItem(PeerTypes::IsObfuscated);
    request += Status("connecting");
    request += item;
    Dial(s, address, port);
}

void PeerMessenger::OnAddressLinked(ConnectionInfo info)
{
    // Told on the address item's side: its partner is the user.
    if (info.second)
        m_addressedUsers.insert(info.second->Id());
    ScheduleAddressScan();
}

void PeerMessenger::OnPeerConnectionRequestLinked(ConnectionInfo)
{
    ScheduleAddressScan();
}

void PeerMessenger::ScheduleAddressScan()
{
    OnceNextTurn(this, m_scanPending, [this] {
        OnUserAddress();
        OnPeerConnectionRequest();
    });
}

void PeerMessenger::OnUserAddress()
{
    std::set<uint32_t> ids;
    ids.swap(m_addressedUsers);
    Type* userType = d.GetType(ServerTypes::User);
    for (uint32_t id : ids) {
        ItemPtr user = d.ItemById(id);
        if (!user || user->GetType() != userType || !HasAddressShape(user) ||
            !user[PeerTypes::ConnectToPeerRequest])
            continue;
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("User %1 address arrived").arg(TextForLog(user.AsString())), user);
        std::vector<uint32_t> waiting;
        for (Item* r : d.GetItems(user, Status("getting_address"), PeerTypes::ConnectToPeerRequest))
            waiting.push_back(r->Id());
        if (waiting.empty())
            continue;
        bool obfuscated = false;
        if (user[PeerTypes::UserAddress].AsUInt() == 0 ||
            quint16(GetUserPort(user, obfuscated)) == 0) {
            // Nobody is there to answer the relayed request either: the attempt is over, and
            // whoever waits for it hears so now rather than when it expires.
            Log(LogCategories::kPeerMessenger, 1,
                QStringLiteral("User %1 is offline, giving up connecting")
                    .arg(TextForLog(user.AsString())),
                user);
            for (uint32_t id : waiting) {
                ItemPtr request = d.ItemById(id);
                if (!request || request->GetType() != d.GetType(PeerTypes::ConnectToPeerRequest))
                    continue;
                if (ItemPtr indirect = request[PeerTypes::IndirectConnectToPeerRequest])
                    indirect.Remove();
                InspectPeerConnectionRequest(request);
            }
            continue;
        }
        for (uint32_t id : waiting) {
            ItemPtr request = d.ItemById(id);
            if (!request || request->GetType() != d.GetType(PeerTypes::ConnectToPeerRequest))
                continue;
            Log(LogCategories::kPeerMessenger, 2,
                QStringLiteral("Attempting direct connection of type %1")
                    .arg(TextForLog(request[PeerTypes::PeerConnectionType].AsString())));
            StartDirectSocket(request);
        }
    }
}

void PeerMessenger::OnConnectToPeerSocketConnected()
{
    auto* s = qobject_cast<QTcpSocket*>(sender());
    if (!s)
        return;
    s->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    ItemPtr item = d.GetType(PeerTypes::ConnectToPeerRequestSocket)->HasItem(Value(s));
    if (!item) {
        s->disconnect(this);
        s->close();
        s->deleteLater();
        return;
    }
    const bool obfuscated = item.IsConnected(PeerTypes::IsObfuscated);
    ItemPtr user = item[ServerTypes::User];
    const std::string userName = user.AsString();
    const std::string type = item[PeerTypes::PeerConnectionType].AsString();
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("Direct %1connection of type %2 to user %3 successful")
            .arg(obfuscated ? QStringLiteral("obfuscated ") : QString(), TextForLog(type),
                 TextForLog(userName)),
        user);

    SendFrameBody(s, InitFrameBody(Settings::Text(SettingKeys::Username), type), obfuscated);
    disconnect(s, &QTcpSocket::errorOccurred, nullptr, nullptr);

    ItemPtr request = item[PeerTypes::ConnectToPeerRequest];
    item.Remove();
    if (request)
        DisposeOfPeerConnectionRequest(request);

    if (type == "P") {
        connect(s, &QTcpSocket::readyRead, this, &PeerMessenger::OnSocketReadyToRead);
        connect(s, &QTcpSocket::errorOccurred, this, &PeerMessenger::OnSocketError);
        connect(s, &QTcpSocket::disconnected, this, &PeerMessenger::OnSocketClosed);
        ItemPtr socketItem = MakePeerSocket(s, user, obfuscated);
        if (!ForPeer(s))
            MarkOurs(socketItem);
        SendUnsentMessages(userName);
    } else if (type == "F") {
        if (HandOver(s, QMetaMethod::fromSignal(&PeerMessenger::FileConnectionAccepted)))
            Q_EMIT FileConnectionAccepted(userName, s);
    } else if (type == "D") {
        if (HandOver(s, QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionAccepted)))
            Q_EMIT DNetConnectionAccepted(userName, s);
    } else {
        DisposeOfSocket(s);
    }
}

void PeerMessenger::OnConnectToPeerSocketError(QAbstractSocket::SocketError)
{
    auto* s = qobject_cast<QTcpSocket*>(sender());
    if (!s)
        return;
    ItemPtr item = d.GetType(PeerTypes::ConnectToPeerRequestSocket)->HasItem(Value(s));
    s->disconnect();
    CloseOrAbort(s);
    s->deleteLater();
    if (item)
        EndAttempt(item, QStringLiteral("Direct connection of type %1 to user %2 failed"));
}

void PeerMessenger::OnIndirectPeerConnectionFailure(uint token)
{
    ItemPtr item = d.GetType(PeerTypes::IndirectConnectToPeerRequest)->HasItem(Value(token));
    if (item)
        EndAttempt(item, QStringLiteral("Indirect connection of type %1 to user %2 failed"));
}

// Logs the end of one way of reaching a user (a direct socket or a relayed request), with the
// connection type and the user for %1 and %2, removes it and lets the connection request it
// served decide whether anything is left of the attempt.
void PeerMessenger::EndAttempt(ItemPtr attempt, const QString& message)
{
    Log(LogCategories::kPeerMessenger, 1,
        message.arg(TextForLog(attempt[PeerTypes::PeerConnectionType].AsString()),
                    TextForLog(attempt[ServerTypes::User].AsString())));
    ItemPtr request = attempt[PeerTypes::ConnectToPeerRequest];
    attempt.Remove();
    if (request)
        InspectPeerConnectionRequest(request);
}

void PeerMessenger::InspectPeerConnectionRequest(ItemPtr request)
{
    const std::string user = request[ServerTypes::User].AsString();
    const std::string type = request[PeerTypes::PeerConnectionType].AsString();
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("Inspecting peer connection request of type %1 to user %2 for possible "
                       "removal.")
            .arg(TextForLog(type), TextForLog(user)));
    if (request[PeerTypes::ConnectToPeerRequestSocket]) {
        Log(LogCategories::kPeerMessenger, 2,
            QStringLiteral("Socket found. Not removing request."));
        return;
    }
    if (request[PeerTypes::IndirectConnectToPeerRequest]) {
        Log(LogCategories::kPeerMessenger, 2,
            QStringLiteral("Indirect request found. Not removing request."));
        return;
    }
    Log(LogCategories::kPeerMessenger, 2,
        QStringLiteral("Neither socket nor indirect request found. Removing."));
    // Removed before the report, so that a receiver may start a new attempt at once.
    request.Remove();
    Q_EMIT ConnectionToUserFailed(user, type);
}

void PeerMessenger::DisposeOfPeerConnectionRequest(ItemPtr request)
{
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("Disposing of peer connection request of type %1 to user %2")
            .arg(TextForLog(request[PeerTypes::PeerConnectionType].AsString()),
                 TextForLog(request[ServerTypes::User].AsString())));
    request.Remove();
}

void PeerMessenger::OnPeerConnectionRequest()
{
    std::vector<uint32_t> ids;
    for (Item* r : d.GetType(PeerTypes::PeerConnectionRequest)->GetItems())
        ids.push_back(r->Id());
    for (uint32_t id : ids) {
        ItemPtr request = d.ItemById(id);
        if (!request || request->GetType() != d.GetType(PeerTypes::PeerConnectionRequest))
            continue;
        ItemPtr user = request[ServerTypes::User];
        if (request[PeerTypes::PeerConnectionRequestSocket] ||
            !request[PeerTypes::PeerConnectionRequestId] ||
            !request[PeerTypes::PeerConnectionType] || !HasAddressShape(user))
            continue;

        bool obfuscated = false;
        const quint16 port = quint16(GetUserPort(user, obfuscated));
        const quint32 address = user[PeerTypes::UserAddress].AsUInt();
        const bool nowhere = address == 0 || port == 0;
        // A file connection for a download we allowed is ours, one for each token allowed and
        // not used yet; any other answer is the peer's. A seller that offers again and again
        // gets one connection of ours, not one for each offer.
        const auto due = m_fileConnectionsDue.find(user.AsString());
        const bool forPeer = request[PeerTypes::PeerConnectionType].AsString() != "F" ||
                             due == m_fileConnectionsDue.end() ||
                             int(due->second.size()) <= FileConnectionsOfOursFrom(user.AsString());
        if (nowhere)
            Log(LogCategories::kPeerMessenger, 1,
                QStringLiteral("Indirect peer connection requested from user %1 without an "
                               "address, refusing")
                    .arg(TextForLog(user.AsString())),
                user);
        // Nowhere to connect to, or no connection to be had now: as when the answer fails
        // before it connects, the peer hears at once that we cannot answer.
        if (nowhere || OpeningRefused(QHostAddress(address), user.AsString(),
                                      forPeer ? Holder::AtPeersRequest : Holder::Ours)) {
            gp_server->SendCantConnectToPeer(request[PeerTypes::PeerConnectionRequestId].AsUInt(),
                                             user.AsString());
            request.Remove();
            continue;
        }
        auto* s = new QTcpSocket(this);
        MarkForPeer(s, forPeer);
        if (obfuscated)
            request.NewItem(PeerTypes::IsObfuscated);
        connect(s, &QTcpSocket::connected, this, &PeerMessenger::OnIndirectResponseSocketConnected);
        connect(s, &QTcpSocket::errorOccurred, this, &PeerMessenger::OnSocketError);
        connect(s, &QTcpSocket::disconnected, this, &PeerMessenger::OnSocketClosed);
        ItemPtr item = d.GetType(PeerTypes::PeerConnectionRequestSocket)->NewItem(Value(s));
        request += item;
        StampTime(item, PeerTypes::SocketCreationTime);
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Indirect %1peer connection requested from user %2")
                .arg(obfuscated ? QStringLiteral("obfuscated ") : QString(),
                     TextForLog(user.AsString())),
            user);
        Dial(s, QHostAddress(address), port);
    }
}

void PeerMessenger::OnIndirectResponseSocketConnected()
{
    auto* s = qobject_cast<QTcpSocket*>(sender());
    if (!s)
        return;
    s->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    disconnect(s, &QTcpSocket::connected, this, &PeerMessenger::OnIndirectResponseSocketConnected);
    ItemPtr item = d.GetType(PeerTypes::PeerConnectionRequestSocket)->HasItem(Value(s));
    ItemPtr request = item[PeerTypes::PeerConnectionRequest];
    if (!request) {
        DisposeOfSocket(s);
        return;
    }
    const bool obfuscated = request.IsConnected(PeerTypes::IsObfuscated);
    ItemPtr user = request[ServerTypes::User];
    const std::string userName = user.AsString();
    const std::string type = request[PeerTypes::PeerConnectionType].AsString();

    SendFrameBody(s, PierceFrameBody(request[PeerTypes::PeerConnectionRequestId].AsUInt()),
                  obfuscated);
    item.Remove();
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("Response %1connection to indirect request from %2, type %3 opened")
            .arg(obfuscated ? QStringLiteral("obfuscated ") : QString(), TextForLog(userName),
                 TextForLog(type)),
        user);
    request.Remove();

    if (type == "P") {
        connect(s, &QTcpSocket::readyRead, this, &PeerMessenger::OnSocketReadyToRead);
        MakePeerSocket(s, user, obfuscated);
        // What our user asked of the peer meanwhile goes on it: it is ours from now on.
        SendUnsentMessages(userName);
    } else if (type == "F") {
        connect(s, &QTcpSocket::readyRead, this, &PeerMessenger::OnSocketReadyToRead);
        AwaitFileToken(s, userName, Clock::NowText().toStdString(), Clock::MonotonicMs());
    } else if (type == "D") {
        if (HandOver(s, QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionRequested)))
            Q_EMIT DNetConnectionRequested(userName, s);
    } else {
        DisposeOfSocket(s);
    }
}

void PeerMessenger::OnConnectedToServer()
{
    // Listening where the system picked, a client must tell the server those ports: the
    // configured ones would send its peers elsewhere.
    if (m_loopbackForTesting) {
        gp_server->SetWaitPort(ListeningPort(), ObfuscatedListeningPort());
        return;
    }
    gp_server->SetWaitPort(Settings::Int(SettingKeys::ListeningPort),
                           Settings::Int(SettingKeys::ObfuscatedListeningPort));
}

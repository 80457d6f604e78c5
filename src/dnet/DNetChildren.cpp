#include "dnet/DNetManager.h"

#include "dnet/DNetFrames.h"
#include "dnet/DNetSchema.h"
#include "dnet/DNetState.h"
#include "peer/PeerFraming.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerOutbox.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "store/Clock.h"
#include "store/Log.h"

#include <QPointer>
#include <QTcpSocket>

#include <algorithm>

using namespace DNetTypes;

namespace {

// A field of a known code that cannot be read: the connection is broken or hostile. Nothing
// read so far is acted on; the close handler then forgets the socket.
void FieldFailed(QTcpSocket* socket)
{
    if (socket)
        socket->close();
}

} // namespace

void DNetManager::OnDNetMessage(const QByteArray& body)
{
    MemStream stream;
    stream.WriteBuffer(body.constData(), static_cast<unsigned long>(body.size()));
    HandleMessage(nullptr, stream);
}

void DNetManager::HandleMessage(QTcpSocket* socket, MemStream& body)
{
    quint8 code = 0;
    if (!body.Read(code)) {
        Log(LogCategories::kDistributedNetwork, 1,
            QStringLiteral("Error reading message code, closing parent/candidate connection"));
        FieldFailed(socket);
        return;
    }

    Source source = Source::Server;
    if (socket && DNetState::HasParent()) {
        if (DNetState::Get(DNetKeys::ParentSocket) != Value(socket).Text()) {
            Discard(socket);
            return;
        }
        source = Source::Parent;
    } else if (socket) {
        if (!DNetState::Named(DNetParentCandidate, socket)) {
            Discard(socket);
            return;
        }
        source = Source::Candidate;
    }

    switch (code) {
    case DNetCode::Search:
        OnSearch(socket, source, body);
        break;
    case DNetCode::Level:
        OnLevel(socket, source, body);
        break;
    case DNetCode::GroupLeader:
        OnGroupLeader(socket, source, body);
        break;
    default:
        // Read no further; the connection stays.
        break;
    }
}

void DNetManager::OnSearch(QTcpSocket* socket, Source source, MemStream& body)
{
    quint32 kind = 0;
    if (!body.Read(kind)) {
        FieldFailed(socket);
        return;
    }
    // Passed on as it came, from its code byte to its end. Copied now: the body lives in the
    // shared read buffer, and receivers of the search run before it goes on.
    const QByteArray relayed(body.GetBuffer(), body.GetBufferLength());
    if (kind != kDNetSearchToAnswer) {
        RelaySearch(quintptr(socket), relayed);
        return;
    }
    std::string user;
    quint32 token = 0;
    std::string query;
    if (!body.Read(user) || !body.Read(token) || !body.Read(query)) {
        FieldFailed(socket);
        return;
    }

    const QPointer<QTcpSocket> alive(socket);
    Q_EMIT DNetSearchRequest(user, token, query, quintptr(socket));
    if (source == Source::Candidate && alive && !DNetState::HasParent()) {
        if (ItemPtr candidate = DNetState::Named(DNetParentCandidate, socket))
            Adopt(socket, candidate);
    }
    RelaySearch(quintptr(socket), relayed);
}

void DNetManager::RelaySearch(quintptr source, const QByteArray& body)
{
    const SourceAllowance::Draw draw = m_relays.Left(source, Clock::MonotonicMs());
    if (draw.left > 0) {
        m_relays.Take(source, kRelayCost);
        RelayToChildren(body);
        return;
    }
    if (!draw.firstRefusal)
        return;
    if (draw.wholeSpent)
        Log(LogCategories::kDistributedNetwork, 1,
            QStringLiteral("Searches come faster than %1 a second; passing no more on to the "
                           "children for now")
                .arg(kRelayedSearchesPerSecond));
    else
        Log(LogCategories::kDistributedNetwork, 1,
            QStringLiteral("Searches through one connection come faster than %1 a second; "
                           "passing no more of them on to the children for now")
                .arg(kRelayedSearchesPerSecondPerSource));
}

void DNetManager::OnLevel(QTcpSocket* socket, Source source, MemStream& body)
{
    qint32 sent = 0;
    if (!body.Read(sent) || sent < -1 || sent > kMaxLevel) {
        FieldFailed(socket);
        return;
    }
    // One below the sender.
    const qint32 level = sent == -1 ? -1 : sent + 1;
    if (source == Source::Candidate) {
        RecordCandidateLevel(DNetState::Named(DNetParentCandidate, socket), level);
        return;
    }
    if (source == Source::Server)
        return;

    const qint64 current =
        DNetState::Has(DNetKeys::Level) ? DNetState::Number(DNetKeys::Level) : -1;
    if (level == current)
        return;
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Received level from parent, updating to %1").arg(level));
    if (level == -1)
        DNetState::Clear(DNetKeys::Level);
    else
        DNetState::Set(DNetKeys::Level, std::to_string(level));
    gp_server->SendDNetLevel(level);
    SendMessageToChildren(DNetLevelBody(level));
}

void DNetManager::OnGroupLeader(QTcpSocket* socket, Source source, MemStream& body)
{
    std::string leader;
    if (!body.Read(leader)) {
        FieldFailed(socket);
        return;
    }
    if (source == Source::Candidate) {
        RecordCandidateLeader(DNetState::Named(DNetParentCandidate, socket), leader);
        return;
    }
    if (source == Source::Server)
        return;

    if (leader == DNetState::Get(DNetKeys::GroupLeader))
        return;
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Received group leader from parent, updating to %1")
            .arg(TextForLog(leader)));
    DNetState::Set(DNetKeys::GroupLeader, leader);
    gp_server->SendDNetGroupLeader(leader);
    RelayToChildren(QByteArray(body.GetBuffer(), body.GetBufferLength()));
}

void DNetManager::SendMessageToChildren(const QByteArray& body)
{
    RelayToChildren(body);
}

void DNetManager::RelayToChildren(const QByteArray& body)
{
    for (Item* child : d.GetType(DNetChild)->GetItems())
        WriteToChild(child, body);
}

void DNetManager::WriteToChild(ItemPtr child, const QByteArray& body)
{
    QTcpSocket* socket = DNetState::SocketOf(child);
    // Closing, with its close handler still to come.
    if (!socket->isOpen())
        return;
    // What waits for a child counts with what waits to go to peers.
    const quint32 address = socket->peerAddress().toIPv4Address();
    PeerOutbox* outbox =
        peerMessenger ? PeerOutbox::Of(socket, peerMessenger->WaitingToGo(), address) : nullptr;
    const auto waiting = [&] { return socket->bytesToWrite() + (outbox ? outbox->Pending() : 0); };
    const qint64 frame = 4 + body.size();
    const QString forWhom = QStringLiteral("a search for child %1")
                                .arg(TextForLog(child[ServerTypes::User].AsString()));
    const auto fits = [&] {
        return waiting() <= kMaxChildBacklog &&
               (!outbox || peerMessenger->RoomToSend(address, body.constData(), frame, forWhom));
    };
    if (!fits()) {
        // What the system would take now does not count against it.
        socket->flush();
        if (waiting() > 0 && !fits()) {
            Log(LogCategories::kDistributedNetwork, 1,
                QStringLiteral("Child %1 has left %2 bytes unread, dropping the connection")
                    .arg(TextForLog(child[ServerTypes::User].AsString()))
                    .arg(waiting()));
            ForgetChild(child);
            Discard(socket);
            return;
        }
        if (!fits())
            return;
    }
    if (outbox)
        outbox->SendShared(body, false, 0);
    else
        socket->write(BuildFrame(body));
}

void DNetManager::OnDNetConnectionRequested(std::string user, QTcpSocket* socket)
{
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Child connection accepted from %1").arg(TextForLog(user)));
    // Through ourselves, or down to our parent and back up, a search would go round for ever.
    QString refusal;
    if (IsOwnName(user))
        refusal = QStringLiteral("Rejecting, that is ourselves");
    else if (DNetState::HasParent() && user == DNetState::Get(DNetKeys::ParentUser))
        refusal = QStringLiteral("Rejecting, that is our parent");
    ItemPtr userItem = d.GetType(ServerTypes::User)->HasItem(Value(user));
    ItemPtr old = userItem[DNetChild];
    if (refusal.isEmpty() && !old && int(d.GetType(DNetChild)->ItemCount()) >= kMaxChildren)
        refusal = QStringLiteral("Rejecting, already have %1 children").arg(kMaxChildren);
    if (!refusal.isEmpty()) {
        Log(LogCategories::kDistributedNetwork, 2, refusal);
        Discard(socket);
        return;
    }

    const bool ownUser = !userItem || (old && m_childrenWithOwnUser.count(old->Id()));
    if (!userItem)
        userItem = d.GetType(ServerTypes::User)->GetItem(Value(user));
    ItemPtr child = d.GetType(DNetChild)->GetItem(Value(socket));
    if (ownUser)
        m_childrenWithOwnUser.insert(child->Id());
    // A user has one child: linked to the new one, it leaves the old one, which then goes
    // without taking the user along.
    child += userItem;
    if (old) {
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("Child connection already found, closing old connection."));
        QTcpSocket* oldSocket = DNetState::SocketOf(old);
        ForgetChild(old);
        Discard(oldSocket);
    }
    TakeSocket(socket, Side::Child);

    if (DNetState::Has(DNetKeys::Level))
        socket->write(BuildFrame(DNetLevelBody(qint32(DNetState::Number(DNetKeys::Level)))));
    if (DNetState::Has(DNetKeys::GroupLeader))
        socket->write(BuildFrame(DNetGroupLeaderBody(DNetState::Get(DNetKeys::GroupLeader))));
    // Handed over from inside its own readyRead: what came with the first frame is buffered
    // already and announces itself no more.
    ReadFrames(*socket, socket, Side::Child);
}

void DNetManager::ForgetChild(ItemPtr child)
{
    ItemPtr user = child[ServerTypes::User];
    ItemPtr depth = child[DNetChildDepth];
    const bool ownUser = m_childrenWithOwnUser.erase(child->Id()) > 0;
    child.Remove();
    if (depth && !depth.IsConnected(DNetChild))
        depth.Remove();
    // Any peer can connect under any name: a user item made only for its connection would
    // otherwise stay for good.
    if (ownUser && user && user.IsDisconnectedFromAll())
        user.Remove();
}

void DNetManager::HandleChildMessage(QTcpSocket* socket, MemStream& body)
{
    quint8 code = 0;
    if (!body.Read(code)) {
        Log(LogCategories::kDistributedNetwork, 1,
            QStringLiteral("Error reading message code, closing child connection"));
        FieldFailed(socket);
        return;
    }
    ItemPtr child = DNetState::Named(DNetChild, socket);
    if (!child) {
        Discard(socket);
        return;
    }
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Received message from child, code %1").arg(code));
    if (code != DNetCode::ChildDepth)
        return;
    qint32 depth = 0;
    if (!body.Read(depth)) {
        FieldFailed(socket);
        return;
    }
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Received child depth %1 from %2")
            .arg(depth)
            .arg(TextForLog(child[ServerTypes::User].AsString())));
    ItemPtr previous = child[DNetChildDepth];
    ItemPtr reported = d.GetType(DNetChildDepth)->GetItem(Value(depth));
    if (previous != reported) {
        child += reported;
        // A depth that no child reports any more goes at once: kept until the sweep, every
        // value one child ever sent would be walked again at each report.
        if (previous && !previous.IsConnected(DNetChild))
            previous.Remove();
    }
    DetermineChildDepth();
}

void DNetManager::DetermineChildDepth()
{
    const qint64 old =
        DNetState::Has(DNetKeys::ChildDepth) ? DNetState::Number(DNetKeys::ChildDepth) : 0;
    // In 64 bits: a child may report the largest depth there is. Walked by child, so that the
    // cost is bounded by the number of children.
    qint64 depth = 0;
    for (Item* child : d.GetType(DNetChild)->GetItems()) {
        if (ItemPtr reported = ItemPtr(child)[DNetChildDepth])
            depth = std::max(depth, reported.AsInt64() + 1);
    }
    if (depth == old)
        return;
    Log(LogCategories::kDistributedNetwork, 1, QStringLiteral("New child depth is %1").arg(depth));
    if (depth == 0)
        DNetState::Clear(DNetKeys::ChildDepth);
    else
        DNetState::Set(DNetKeys::ChildDepth, std::to_string(depth));
    // The server hears only whether there is anything below us, not how deep it goes.
    gp_server->SendChildDepth(depth > 0);
}

void DNetManager::OnChildSocketError(QAbstractSocket::SocketError)
{
    OnChildSocketClosed();
}

void DNetManager::OnChildSocketClosed()
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    Log(LogCategories::kDistributedNetwork, 1, QStringLiteral("Child socket closed"));
    Discard(socket);
    if (ItemPtr child = DNetState::Named(DNetChild, socket))
        ForgetChild(child);
    else
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("Child socket item not found, aborting"));
}

#include "dnet/DNetManager.h"

#include "dnet/DNetFrames.h"
#include "dnet/DNetSchema.h"
#include "dnet/DNetState.h"
#include "peer/PeerFraming.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "store/Log.h"

#include <QPointer>
#include <QTcpSocket>

#include <algorithm>

using namespace DNetTypes;
using DNetState::Category;

namespace {

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

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
        Log(Category(), 1,
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
    // Passed on as it came, from its code byte to its end. Framed now: the body lives in the
    // shared read buffer, and receivers of the search run before it goes on.
    const QByteArray frame = BuildFrame(body.GetBuffer(), body.GetBufferLength());
    if (kind != kDNetSearchToAnswer) {
        RelayToChildren(frame);
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
    Q_EMIT DNetSearchRequest(user, token, query);
    if (source == Source::Candidate && alive && !DNetState::HasParent()) {
        if (ItemPtr candidate = DNetState::Named(DNetParentCandidate, socket))
            Adopt(socket, candidate);
    }
    RelayToChildren(frame);
}

void DNetManager::OnLevel(QTcpSocket* socket, Source source, MemStream& body)
{
    qint32 sent = 0;
    if (!body.Read(sent)) {
        FieldFailed(socket);
        return;
    }
    // One below the sender; wrapping like the 32 bits it travels in rather than overflowing.
    const qint32 level = sent == -1 ? -1 : qint32(quint32(sent) + 1u);
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
    Log(Category(), 1, QStringLiteral("Received level from parent, updating to %1").arg(level));
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
    Log(Category(), 1,
        QStringLiteral("Received group leader from parent, updating to %1").arg(Q(leader)));
    DNetState::Set(DNetKeys::GroupLeader, leader);
    gp_server->SendDNetGroupLeader(leader);
    RelayToChildren(BuildFrame(body.GetBuffer(), body.GetBufferLength()));
}

void DNetManager::SendMessageToChildren(const QByteArray& body)
{
    RelayToChildren(BuildFrame(body));
}

void DNetManager::RelayToChildren(const QByteArray& frame)
{
    for (Item* child : d.GetType(DNetChild)->GetItems())
        WriteToChild(child, frame);
}

void DNetManager::WriteToChild(ItemPtr child, const QByteArray& frame)
{
    QTcpSocket* socket = DNetState::SocketOf(child);
    // Closing, with its close handler still to come.
    if (!socket->isOpen())
        return;
    if (socket->bytesToWrite() > kMaxChildBacklog) {
        // What the system would take now does not count against it.
        socket->flush();
        if (socket->bytesToWrite() > kMaxChildBacklog) {
            Log(Category(), 1,
                QStringLiteral("Child %1 has left %2 bytes unread, dropping the connection")
                    .arg(Q(child[ServerTypes::User].AsString()))
                    .arg(socket->bytesToWrite()));
            child.Remove();
            Discard(socket);
            return;
        }
    }
    socket->write(frame);
}

void DNetManager::OnDNetConnectionRequested(std::string user, QTcpSocket* socket)
{
    Log(Category(), 1, QStringLiteral("Child connection accepted from %1").arg(Q(user)));
    ItemPtr userItem = d.GetType(ServerTypes::User)->GetItem(Value(user));
    if (ItemPtr old = userItem[DNetChild]) {
        Log(Category(), 2,
            QStringLiteral("Child connection already found, closing old connection."));
        QTcpSocket* oldSocket = DNetState::SocketOf(old);
        old.Remove();
        Discard(oldSocket);
    }
    // Every child that connects stays: the capacity is only what we tell the server.
    ItemPtr child = d.GetType(DNetChild)->GetItem(Value(socket));
    child += userItem;
    TakeSocket(socket, Side::Child);

    if (DNetState::Has(DNetKeys::Level))
        socket->write(BuildFrame(DNetLevelBody(qint32(DNetState::Number(DNetKeys::Level)))));
    if (DNetState::Has(DNetKeys::GroupLeader))
        socket->write(BuildFrame(DNetGroupLeaderBody(DNetState::Get(DNetKeys::GroupLeader))));
    // Handed over from inside its own readyRead: what came with the first frame is buffered
    // already and announces itself no more.
    ReadFrames(*socket, socket, Side::Child);
}

void DNetManager::HandleChildMessage(QTcpSocket* socket, MemStream& body)
{
    quint8 code = 0;
    if (!body.Read(code)) {
        Log(Category(), 1, QStringLiteral("Error reading message code, closing child connection"));
        FieldFailed(socket);
        return;
    }
    ItemPtr child = DNetState::Named(DNetChild, socket);
    if (!child) {
        Discard(socket);
        return;
    }
    Log(Category(), 1, QStringLiteral("Received message from child, code %1").arg(code));
    if (code != DNetCode::ChildDepth)
        return;
    qint32 depth = 0;
    if (!body.Read(depth)) {
        FieldFailed(socket);
        return;
    }
    Log(Category(), 1,
        QStringLiteral("Received child depth %1 from %2")
            .arg(depth)
            .arg(Q(child[ServerTypes::User].AsString())));
    child += d.GetType(DNetChildDepth)->GetItem(Value(depth));
    DetermineChildDepth();
}

void DNetManager::DetermineChildDepth()
{
    const qint64 old =
        DNetState::Has(DNetKeys::ChildDepth) ? DNetState::Number(DNetKeys::ChildDepth) : 0;
    // In 64 bits: a child may report the largest depth there is.
    qint64 depth = 0;
    for (Item* item : d.GetType(DNetChildDepth)->GetItems()) {
        if (item->IsConnected(DNetChild))
            depth = std::max(depth, item->AsInt64() + 1);
    }
    if (depth == old)
        return;
    Log(Category(), 1, QStringLiteral("New child depth is %1").arg(depth));
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
    Log(Category(), 1, QStringLiteral("Child socket closed"));
    Discard(socket);
    if (ItemPtr child = DNetState::Named(DNetChild, socket))
        child.Remove();
    else
        Log(Category(), 2, QStringLiteral("Child socket item not found, aborting"));
}

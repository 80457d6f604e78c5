#include "peer/PeerMessenger.h"

#include "store/Clock.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Random.h"

#include <QPointer>
#include <QTcpSocket>

namespace {

const QString kCategory = QStringLiteral("Peer Messenger");

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

SocketReceiveState* FindState(QTcpSocket* socket)
{
    return socket->findChild<SocketReceiveState*>(QString(), Qt::FindDirectChildrenOnly);
}

} // namespace

quint32 PeerMessenger::NewKey()
{
    const quint32 r1 = RandomU32() % 256;
    const quint32 r2 = RandomU32() % 256;
    const quint32 r3 = RandomU32() % 256;
    const quint32 r4 = RandomU32() % 256;
    return (r1 << 24) | (r2 << 16) | (r3 << 8) | r4;
}

bool PeerMessenger::SendMessage(QTcpSocket* socket, MemStream& message, bool obfuscate)
{
    QByteArray frame = BuildFrame(message.GetBuffer(), message.GetBufferLength());
    if (obfuscate)
        frame = Obfuscate(frame, NewKey());
    if (socket->write(frame) == -1) {
        Log(kCategory, 1,
            QStringLiteral("Error writing message to socket: %1").arg(socket->errorString()));
        return false;
    }
    return true;
}

bool PeerMessenger::SendFrameBody(QTcpSocket* socket, const QByteArray& body, bool obfuscate)
{
    MemStream message;
    message.WriteBuffer(body.constData(), static_cast<unsigned long>(body.size()));
    return SendMessage(socket, message, obfuscate);
}

SocketBufferInfo& PeerMessenger::ReceiveState(QTcpSocket* socket)
{
    if (SocketReceiveState* state = FindState(socket))
        return state->info;
    auto* state = new SocketReceiveState(socket);
    ItemPtr item = d.GetType("uninitialized_socket")->HasItem(Value(socket));
    if (!item)
        item = d.GetType("peer_socket")->HasItem(Value(socket));
    state->info.m_isObfuscated = item && item.IsConnected("is_obfuscated");
    return state->info;
}

void PeerMessenger::EraseReceiveState(QTcpSocket* socket)
{
    delete FindState(socket);
}

void PeerMessenger::AwaitFileToken(QTcpSocket* socket, const std::string& user,
                                   const std::string& since, qint64 sinceMs)
{
    SocketBufferInfo& st = ReceiveState(socket);
    st.m_expectFileToken = true;
    st.m_user = user;
    // Until its token comes the socket is not initialized: a peer that never sends it is
    // closed by the half-minute sweep like one that never sent a first frame.
    StampTime(d.GetType("uninitialized_socket")->NewItem(Value(socket)), "socket_creation_time",
              since, sinceMs);
}

void PeerMessenger::HandOver(QTcpSocket* socket)
{
    // The new owner reads, writes, closes and deletes it: nothing of ours may touch it again,
    // not even a listener or this manager being destroyed.
    if (ItemPtr item = d.GetType("uninitialized_socket")->HasItem(Value(socket)))
        item.Remove();
    socket->disconnect();
    EraseReceiveState(socket);
    socket->setParent(nullptr);
}

ItemPtr PeerMessenger::MakePeerSocket(QTcpSocket* socket, ItemPtr user, bool obfuscated)
{
    ItemPtr item = d.GetType("peer_socket")->NewItem(Value(socket));
    item += user;
    item += d.GetType("connection_open_time")->GetItem(Value(Clock::NowText().toStdString()));
    if (obfuscated)
        item.NewItem("is_obfuscated");
    return item;
}

void PeerMessenger::OnSocketReadyToRead()
{
    auto* s = qobject_cast<QTcpSocket*>(sender());
    if (!s)
        return;
    InFunction marker("OnSocketReadyToRead");
    ReceiveState(s);
    QPointer<SocketReceiveState> state = FindState(s);

    while (state) {
        QByteArray body;
        quint32 token = 0;
        bool activity = false;
        const FrameEvent event = ReadFrame(*s, state->info, &body, &token, &activity);
        if (activity)
            TouchActivity(s);

        switch (event) {
        case FrameEvent::NeedMore:
            return;
        case FrameEvent::TooLong:
            Log(kCategory, 1,
                QStringLiteral("Frame of %1 bytes announced by peer is too long, disposing of "
                               "socket")
                    .arg(state->info.m_length));
            marker.Dispose();
            DisposeOfSocket(s);
            return;
        case FrameEvent::FileToken: {
            const std::string user = state->info.m_user;
            HandOver(s);
            emit FileConnectionRequested(user, s, token);
            return;
        }
        case FrameEvent::Frame:
            break;
        }

        MemStream message;
        message.WriteBuffer(body.constData(), static_cast<unsigned long>(body.size()));
        if (!HandleMessage(s, message)) {
            marker.Dispose();
            if (state) {
                s->disconnect();
                DisposeOfSocket(s);
            }
            return;
        }
        // A socket handed over in HandleMessage has lost its receive state; whatever it still
        // holds stays unread for its new owner.
        if (!state || state->info.m_handedOff)
            return;
    }
}

bool PeerMessenger::HandleMessage(QTcpSocket* socket, MemStream body)
{
    ItemPtr uninitialized = d.GetType("uninitialized_socket")->HasItem(Value(socket));
    if (uninitialized)
        return HandleFirstFrame(socket, uninitialized,
                                QByteArray(body.GetReadBuffer(), body.GetPendingReadLength()));
    // Messages after the first frame are decoded by the message codec; until then they are
    // read, count as activity and keep the connection open.
    TouchActivity(socket);
    return true;
}

bool PeerMessenger::HandleFirstFrame(QTcpSocket* s, ItemPtr uninitialized, const QByteArray& body)
{
    const bool obfuscated = uninitialized.IsConnected("is_obfuscated");
    const QString t = obfuscated ? QStringLiteral("obfuscated ") : QString();
    const std::string since = uninitialized["socket_creation_time"].AsString();
    const qint64 sinceMs = StampedMs(uninitialized);
    uninitialized.Remove();

    const auto fail = [&t] {
        Log(kCategory, 1,
            QStringLiteral("Failure initializing %1peer connection, disposing of socket").arg(t));
        return false;
    };

    const FirstFrame f = ParseFirstFrame(body);
    if (!f.directionRead) {
        Log(kCategory, 1,
            QStringLiteral("Failed to read direction from new %1peer connection").arg(t));
        return fail();
    }

    if (f.kind == FirstFrame::Bad) {
        if (body.at(0) == 0)
            Log(kCategory, 1,
                QStringLiteral("Failed to read req from %1indirect peer connection").arg(t));
        return fail();
    }

    if (f.kind == FirstFrame::Init) {
        ItemPtr user = d.GetType("user")->GetItem(Value(f.user));
        const QString name = Q(f.user);
        if (f.type == "P") {
            Log(kCategory, 1,
                QStringLiteral("Accepted %1messaging connection to user %2").arg(t, name), user);
            MakePeerSocket(s, user, obfuscated);
            SendUnsentMessages(f.user);
        } else if (f.type == "F") {
            Log(kCategory, 1, QStringLiteral("Accepted %1file connection to user %2").arg(t, name),
                user);
            AwaitFileToken(s, f.user, since, sinceMs);
        } else if (f.type == "D") {
            Log(kCategory, 1, QStringLiteral("Accepted %1DNet connection to user %2").arg(t, name),
                user);
            HandOver(s);
            emit DNetConnectionRequested(f.user, s);
        }
        Log(kCategory, 1,
            QStringLiteral("Peer %1connection of type %2 opened from user %3")
                .arg(t, Q(f.type), name),
            user);
        if (f.type != "P" && f.type != "F" && f.type != "D")
            return fail();
        return true;
    }

    // A pierce frame: the peer answers one of our relayed requests.
    ItemPtr indirect =
        d.GetType("indirect_connect_to_peer_request")->HasItem(Value(unsigned(f.token)));
    if (!indirect) {
        Log(kCategory, 1,
            QStringLiteral("Req sent on %1indirect peer connection not found").arg(t));
        return fail();
    }
    ItemPtr user = indirect["user"];
    const std::string userName = user.AsString();
    const std::string type = indirect["peer_connection_type"].AsString();
    ItemPtr request = indirect["connect_to_peer_request"];
    indirect.Remove();
    if (request)
        DisposeOfPeerConnectionRequest(request);
    Log(kCategory, 1,
        QStringLiteral("Found req, accepted %1indirect connection to user %2, connection type %3")
            .arg(t, Q(userName), Q(type)),
        user);

    if (type == "P") {
        MakePeerSocket(s, user, obfuscated);
        SendUnsentMessages(userName);
        return true;
    }
    if (type == "F") {
        HandOver(s);
        emit FileConnectionAccepted(userName, s);
        return true;
    }
    if (type == "D") {
        HandOver(s);
        emit DNetConnectionAccepted(userName, s);
        return true;
    }
    return fail();
}

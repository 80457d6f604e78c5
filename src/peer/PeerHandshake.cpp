#include "peer/PeerMessenger.h"

#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "store/Clock.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Random.h"

#include <QMetaMethod>
#include <QPointer>
#include <QTcpSocket>

#include <cstring>

namespace {

SocketReceiveState* FindState(const QTcpSocket* socket)
{
    return socket->findChild<SocketReceiveState*>(QString(), Qt::FindDirectChildrenOnly);
}

bool Written(const QTcpSocket* socket, bool written)
{
    if (!written)
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Error writing message to socket: %1").arg(socket->errorString()));
    return written;
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

bool PeerMessenger::SendMessage(QTcpSocket* socket, const MemStream& message, bool obfuscate)
{
    return SendFrameBody(socket, message.GetBuffer(), message.GetBufferLength(), obfuscate);
}

bool PeerMessenger::SendFrameBody(QTcpSocket* socket, const QByteArray& body, bool obfuscate,
                                  bool shared)
{
    PeerOutbox* outbox = shared ? PeerOutbox::Find(socket) : nullptr;
    if (!outbox)
        return SendFrameBody(socket, body.constData(), int(body.size()), obfuscate);
    return Written(socket, outbox->SendShared(body, obfuscate, obfuscate ? NewKey() : 0));
}

bool PeerMessenger::SendFrameBody(QTcpSocket* socket, const char* body, int length, bool obfuscate)
{
    const quint32 key = obfuscate ? NewKey() : 0;
    if (PeerOutbox* outbox = PeerOutbox::Find(socket))
        return Written(socket, outbox->Send(body, length, obfuscate, key));
    QByteArray frame = BuildFrame(body, length);
    if (obfuscate)
        frame = Obfuscate(frame, key);
    return Written(socket, socket->write(frame) != -1);
}

const SocketBufferInfo* PeerMessenger::FindReceiveState(const QTcpSocket* socket)
{
    const SocketReceiveState* state = FindState(socket);
    return state ? &state->info : nullptr;
}

SocketBufferInfo& PeerMessenger::ReceiveState(QTcpSocket* socket)
{
    if (SocketReceiveState* state = FindState(socket))
        return state->info;
    auto* state = new SocketReceiveState(socket);
    ItemPtr item = d.GetType(PeerTypes::UninitializedSocket)->HasItem(Value(socket));
    if (!item)
        item = d.GetType(PeerTypes::PeerSocket)->HasItem(Value(socket));
    state->info.m_isObfuscated = item && item.IsConnected(PeerTypes::IsObfuscated);
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
    StampTime(d.GetType(PeerTypes::UninitializedSocket)->NewItem(Value(socket)),
              PeerTypes::SocketCreationTime, since, sinceMs);
}

bool PeerMessenger::HandOver(QTcpSocket* socket, const QMetaMethod& signal)
{
    // The new owner reads, writes, closes and deletes it: nothing of ours may touch it again,
    // not even a listener or this manager being destroyed.
    if (ItemPtr item = d.GetType(PeerTypes::UninitializedSocket)->HasItem(Value(socket)))
        item.Remove();
    socket->disconnect();
    EraseReceiveState(socket);
    socket->setParent(nullptr);
    // Its place in the budget is free for one of ours waiting for room.
    if (!m_waitingForRoom.empty())
        ScheduleRoomCheck();
    if (isSignalConnected(signal))
        return true;
    // Nothing takes this kind of connection (its subsystem was not built): an unowned socket
    // would stay open for good.
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("No receiver for %1, closing the connection")
            .arg(QLatin1String(signal.name())));
    CloseOrAbort(socket);
    socket->deleteLater();
    return false;
}

ItemPtr PeerMessenger::MakePeerSocket(QTcpSocket* socket, ItemPtr user, bool obfuscated)
{
    ItemPtr item = d.GetType(PeerTypes::PeerSocket)->NewItem(Value(socket));
    item += user;
    item +=
        d.GetType(PeerTypes::ConnectionOpenTime)->GetItem(Value(Clock::NowText().toStdString()));
    if (obfuscated)
        item.NewItem(PeerTypes::IsObfuscated);
    return item;
}

void PeerMessenger::OnSocketReadyToRead()
{
    if (auto* s = qobject_cast<QTcpSocket*>(sender()))
        ReadSocket(s);
}

void PeerMessenger::ReadSocket(QTcpSocket* s)
{
    ReceiveState(s);
    QPointer<SocketReceiveState> state = FindState(s);

    while (state && !state->info.m_paused) {
        QByteArray body;
        quint32 token = 0;
        bool activity = false;
        const FrameEvent event =
            ReadFrame(*s, state->info, &body, &token, &activity, ShareListAsked(s));
        if (activity)
            TouchActivity(s);

        switch (event) {
        case FrameEvent::NeedMore:
            return;
        case FrameEvent::TooLong:
            Log(LogCategories::kPeerMessenger, 1,
                QStringLiteral("Frame of %1 bytes announced by peer is too long, disposing of "
                               "socket")
                    .arg(state->info.m_length));
            DisposeOfSocket(s);
            return;
        case FrameEvent::FileToken: {
            const std::string user = state->info.m_user;
            // The token is used: a download's file connection comes once for each allowed.
            WithdrawFileConnection(user, token);
            if (HandOver(s, QMetaMethod::fromSignal(&PeerMessenger::FileConnectionRequested)))
                Q_EMIT FileConnectionRequested(user, s, token);
            return;
        }
        case FrameEvent::Frame:
            break;
        }

        // Copied at its exact size, and the frame let go before it is handled: a share list may
        // be hundreds of megabytes, and its inflated form comes on top.
        MemStream message;
        message.EnsureBufferCapacity(int(body.size()));
        std::memcpy(message.GetWriteBuffer(), body.constData(), size_t(body.size()));
        message.AdvanceWriteIndex(int(body.size()));
        body = QByteArray();
        if (!HandleMessage(s, message)) {
            if (state) {
                s->disconnect();
                DisposeOfSocket(s);
            }
            return;
        }
        // A socket handed over in HandleMessage has lost its receive state; whatever it still
        // holds stays unread for its new owner.
        if (!state || state->info.m_handedOff || state->info.m_paused)
            return;
    }
}

bool PeerMessenger::ShareListAsked(QTcpSocket* socket) const
{
    if (m_shareListsAsked.empty())
        return false;
    ItemPtr item = d.GetType(PeerTypes::PeerSocket)->HasItem(Value(socket));
    if (!item)
        return false;
    const std::string user = item[ServerTypes::User].AsString();
    // While a list of the user is read, another one would only be dropped: it may not be long.
    return m_shareListsAsked.count(user) > 0 &&
           !(m_shareListReader && m_shareListReader->IsReading(user));
}

bool PeerMessenger::HandleMessage(QTcpSocket* socket, MemStream body)
{
    ItemPtr uninitialized = d.GetType(PeerTypes::UninitializedSocket)->HasItem(Value(socket));
    if (uninitialized)
        return HandleFirstFrame(socket, uninitialized,
                                QByteArray(body.GetReadBuffer(), body.GetPendingReadLength()));
    return HandlePeerMessage(socket, body);
}

bool PeerMessenger::HandleFirstFrame(QTcpSocket* s, ItemPtr uninitialized, const QByteArray& body)
{
    const bool obfuscated = uninitialized.IsConnected(PeerTypes::IsObfuscated);
    const QString t = obfuscated ? QStringLiteral("obfuscated ") : QString();
    const std::string since = uninitialized[PeerTypes::SocketCreationTime].AsString();
    const qint64 sinceMs = StampedMs(uninitialized);
    uninitialized.Remove();

    const auto fail = [&t] {
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Failure initializing %1peer connection, disposing of socket").arg(t));
        return false;
    };

    const FirstFrame f = ParseFirstFrame(body);
    if (!f.directionRead) {
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Failed to read direction from new %1peer connection").arg(t));
        return fail();
    }

    if (f.kind == FirstFrame::Bad) {
        if (body.at(0) == 0)
            Log(LogCategories::kPeerMessenger, 1,
                QStringLiteral("Failed to read req from %1indirect peer connection").arg(t));
        return fail();
    }

    if (f.kind == FirstFrame::Init) {
        // Only a messaging connection keeps a user item. User items are never swept, and any
        // peer can name any user (up to the string limit) on a connection that then fails.
        ItemPtr user = d.GetType(ServerTypes::User)->HasItem(Value(f.user));
        const QString name = TextForLog(f.user);
        if (f.type == "P") {
            // Counted since it was accepted: it stays where it was counted.
            const bool known = user;
            user = d.GetType(ServerTypes::User)->GetItem(Value(f.user));
            Log(LogCategories::kPeerMessenger, 1,
                QStringLiteral("Accepted %1messaging connection to user %2").arg(t, name), user);
            ItemPtr socketItem = MakePeerSocket(s, user, obfuscated);
            if (!known)
                m_peerSocketsWithOwnUser.insert(socketItem->Id());
            m_acceptedPeerSockets[socketItem->Id()] = AcceptedSocket{sinceMs, false};
            SendUnsentMessages(f.user);
        } else if (f.type == "F") {
            Log(LogCategories::kPeerMessenger, 1,
                QStringLiteral("Accepted %1file connection to user %2").arg(t, name), user);
            AwaitFileToken(s, f.user, since, sinceMs);
        } else if (f.type == "D") {
            Log(LogCategories::kPeerMessenger, 1,
                QStringLiteral("Accepted %1DNet connection to user %2").arg(t, name), user);
            if (HandOver(s, QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionRequested)))
                Q_EMIT DNetConnectionRequested(f.user, s);
        }
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Peer %1connection of type %2 opened from user %3")
                .arg(t, TextForLog(f.type), name),
            user);
        if (f.type != "P" && f.type != "F" && f.type != "D")
            return fail();
        return true;
    }

    // A pierce frame: the peer answers one of our relayed requests.
    ItemPtr indirect =
        d.GetType(PeerTypes::IndirectConnectToPeerRequest)->HasItem(Value(unsigned(f.token)));
    if (!indirect) {
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Req sent on %1indirect peer connection not found").arg(t));
        return fail();
    }
    ItemPtr user = indirect[ServerTypes::User];
    const std::string userName = user.AsString();
    const std::string type = indirect[PeerTypes::PeerConnectionType].AsString();
    // The answer becomes ours or the peer's as a connection dialled for the same would, and is
    // weighed as one: the relayed request went out before there was room, or in a burst.
    // File and tree connections go to their owners at once, each for a request of ours.
    const Holder holder = MessagingHolder(user);
    if (type == "P") {
        const QString refused =
            Admit(holder, s->peerAddress().toIPv4Address(), userName,
                  QStringLiteral("a connection to user %1").arg(TextForLog(userName)));
        if (!refused.isEmpty()) {
            EndAttempt(indirect, QStringLiteral("Answer to the indirect request of type %1 to "
                                                "user %2 not taken: ") +
                                     refused);
            return fail();
        }
    }
    ItemPtr request = indirect[PeerTypes::ConnectToPeerRequest];
    indirect.Remove();
    if (request)
        DisposeOfPeerConnectionRequest(request);
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("Found req, accepted %1indirect connection to user %2, connection type %3")
            .arg(t, TextForLog(userName), TextForLog(type)),
        user);

    if (type == "P") {
        MarkForPeer(s, holder == Holder::AtPeersRequest);
        ItemPtr socketItem = MakePeerSocket(s, user, obfuscated);
        if (holder == Holder::Ours)
            MarkOurs(socketItem);
        SendUnsentMessages(userName);
        return true;
    }
    if (type == "F") {
        if (HandOver(s, QMetaMethod::fromSignal(&PeerMessenger::FileConnectionAccepted)))
            Q_EMIT FileConnectionAccepted(userName, s);
        return true;
    }
    if (type == "D") {
        if (HandOver(s, QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionAccepted)))
            Q_EMIT DNetConnectionAccepted(userName, s);
        return true;
    }
    return fail();
}

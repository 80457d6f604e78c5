#include "peer/PeerMessenger.h"

#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "store/Clock.h"
#include "store/Dependency.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Settings.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QTimer>

#include <linux/sockios.h>
#include <sys/ioctl.h>

PeerMessenger* peerMessenger = nullptr;
bool g_peerMessengerDeleted = false;

namespace {

constexpr qint64 kUnsentMessageMaxAgeMs = 299999;
constexpr qint64 kAttemptMaxAgeMs = 59999;
constexpr qint64 kIdleMaxMs = 119999;
// A socket that has not finished its first frame (or the file token after it) for this long is
// closed.
constexpr qint64 kFirstFrameMaxWaitMs = 59999;

void LogPeer(int level, const QString& message)
{
    Log(LogCategories::kPeerMessenger, level, message);
}

// The items of a type by id, taken before a sweep that may remove some of them: an item removed
// meanwhile is then skipped instead of being read after it was freed.
std::vector<uint32_t> ItemIds(const char* typeName)
{
    std::vector<uint32_t> ids;
    for (Item* item : d.GetType(typeName)->GetItems())
        ids.push_back(item->Id());
    return ids;
}

ItemPtr LiveItem(uint32_t id, const char* typeName)
{
    Item* item = d.ItemById(id);
    return item && item->GetType() == d.GetType(typeName) ? ItemPtr(item) : ItemPtr();
}

// Whether the setting holds a port from 0 to max in plain decimal.
bool IsUsablePort(SettingKey key, int max)
{
    bool number = false;
    const int port = QByteArray::fromStdString(Settings::Text(key)).toInt(&number);
    return number && port >= 0 && port <= max;
}

// A port that a hand-edited or older store file holds out of range goes, logged.
void DropUnusablePort(SettingKey key, int max)
{
    if (!Settings::HasValue(key) || IsUsablePort(key, max))
        return;
    Log(LogCategories::kConfigurationData, 1,
        QStringLiteral("The stored %1 \"%2\" is not a port from 1 to %3 and was dropped")
            .arg(QLatin1String(key.name), TextForLog(Settings::Text(key)))
            .arg(max));
    Settings::RemoveKey(key);
}

} // namespace

// The last activity of a messaging connection, on the heap; its address is the value of the
// connection's last_activity_time item. Monotonic milliseconds, so that no change of the wall
// clock can keep an idle connection open or close a busy one. Beside it, what has been written
// to the connection's socket in all, and what of that had left this host at the last sweep.
struct PeerMessenger::ActivityTime
{
    qint64 ms = 0;
    qint64 written = 0;
    qint64 departedSeen = 0;
    QMetaObject::Connection counting;
    // What waits to go on the connection; goes with it.
    QPointer<PeerOutbox> outbox;
};

void PeerMessenger::StampTime(ItemPtr item, const char* timeType)
{
    StampTime(item, timeType, Clock::NowText().toStdString(), Clock::MonotonicMs());
}

void PeerMessenger::StampTime(ItemPtr item, const char* timeType, const std::string& text,
                              qint64 sinceMs)
{
    item += d.GetType(timeType)->GetItem(Value(text));
    m_stampedMs[item->Id()] = sinceMs;
}

qint64 PeerMessenger::StampedMs(ItemPtr item) const
{
    const auto it = item ? m_stampedMs.find(item->Id()) : m_stampedMs.end();
    return it != m_stampedMs.end() ? it->second : Clock::MonotonicMs();
}

qint64 PeerMessenger::AgeMs(ItemPtr item, const char* timeType) const
{
    const auto it = m_stampedMs.find(item->Id());
    if (it != m_stampedMs.end())
        return Clock::MonotonicMs() - it->second;
    // Not stamped here: all there is to go by is the text.
    const QDateTime then = Clock::FromText(QString::fromStdString(item[timeType].AsString()));
    return then.isValid() ? then.msecsTo(Clock::Now()) : 0;
}

void PeerMessenger::OnTimedItemRemoved(Item* item)
{
    // Ids are used again: a new item must not inherit the age of an old one.
    m_stampedMs.erase(item->Id());
}

PeerMessenger::PeerMessenger()
{
    // Relayed requests, address requests and refusals go through the server connection, and the
    // handlers below watch the types of this manager's schema: without either, connections would
    // quietly never be made.
    RequireService(gp_server, "The peer connection manager", "the server connection");
    for (const char* t : {ServerTypes::User, PeerTypes::PeerSocket, PeerTypes::UnsentMessage,
                          PeerTypes::IndirectConnectToPeerRequest})
        RequireType("The peer connection manager", t);

    peerMessenger = this;
    g_peerMessengerDeleted = false;
    m_sendOrder = 0;

    Type* peerSocket = d.GetType(PeerTypes::PeerSocket);
    peerSocket->itemAddedEvent.Add(NewEventHandler(this, &PeerMessenger::OnPeerSocketItemAdded));
    peerSocket->itemRemovedEvent.Add(
        NewEventHandler(this, &PeerMessenger::OnPeerSocketItemRemoved));

    // The server links a user's address items one by one and ties a relayed request to its
    // user before it replaces that user's address. Both reactions therefore wait until the
    // message has been handled whole, and then read what is there.
    for (const char* t :
         {PeerTypes::UserAddress, PeerTypes::UserPort, PeerTypes::UserObfuscatedPort})
        d.GetType(t)->connectedEvent.Add(NewEventHandler(this, &PeerMessenger::OnAddressLinked));
    d.GetType(PeerTypes::PeerConnectionRequest)
        ->connectedEvent.Add(NewEventHandler(this, &PeerMessenger::OnPeerConnectionRequestLinked));

    d.GetType(PeerTypes::UnsentMessage)
        ->itemRemovedEvent.Add(NewEventHandler(this, &PeerMessenger::OnUnsentMessageRemoved));

    connect(&m_acceptRetry, &SharedTimer::timeout, this, &PeerMessenger::ResumeAccepting);

    for (const char* t : {PeerTypes::UninitializedSocket, PeerTypes::PeerConnectionRequestSocket,
                          PeerTypes::UnsentMessage, PeerTypes::ConnectToPeerRequestSocket,
                          PeerTypes::IndirectConnectToPeerRequest})
        d.GetType(t)->itemRemovedEvent.Add(
            NewEventHandler(this, &PeerMessenger::OnTimedItemRemoved));
}

PeerMessenger::~PeerMessenger()
{
    g_peerMessengerDeleted = true;
    // Sockets still ours are closed and deleted with us, and none of them calls back into a
    // manager that is half gone.
    const auto sockets = findChildren<QTcpSocket*>() + m_listener.findChildren<QTcpSocket*>() +
                         m_obfuscatedListener.findChildren<QTcpSocket*>();
    for (QTcpSocket* s : sockets)
        s->disconnect(this);

    // The heap records behind unsent messages and activity times go with their items.
    RemoveDataHandlers();
    if (Type* t = d.HasType(PeerTypes::UnsentMessage)) {
        for (Item* item : t->GetItems()) {
            OnUnsentMessageRemoved(item);
            ItemPtr(item).Remove();
        }
    }
    if (Type* t = d.HasType(PeerTypes::PeerSocket)) {
        for (Item* item : t->GetItems()) {
            OnPeerSocketItemRemoved(item);
            ItemPtr(item).Remove();
        }
    }
    if (peerMessenger == this)
        peerMessenger = nullptr;
}

void PeerMessenger::ResetForTesting()
{
    for (QObject* owner : {static_cast<QObject*>(this), static_cast<QObject*>(&m_listener),
                           static_cast<QObject*>(&m_obfuscatedListener)}) {
        for (QTcpSocket* s : owner->findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
            s->disconnect(this);
            delete s;
        }
    }
    // DataLoaded connects them again.
    m_listener.disconnect(this);
    m_obfuscatedListener.disconnect(this);
    m_sendOrder = 0;
    m_scanPending = false;
    m_acceptPaused = false;
    m_acceptRetry.stop();
    m_acceptFailureLogged = false;
    m_capRefusalLogged = false;
    m_openingRefusalLogged = false;
    m_peerOpeningRefusalLogged = false;
    m_waitingFullLogged = false;
    m_waitingForRoom.clear();
    m_fileConnectionsDue.clear();
    m_addressedUsers.clear();
    m_stampedMs.clear();
    m_acceptedPeerSockets.clear();
    m_shareListsAsked.clear();
    m_shareListDropsLogged.clear();
    m_answerDropLogged = false;
    m_shareListReader.reset();
}

void PeerMessenger::DataLoaded()
{
    // A pending port out of range leaves the port in use; one in use goes back to its default.
    DropUnusablePort(SettingKeys::NewListeningPort, kMaxListeningPort);
    DropUnusablePort(SettingKeys::ListeningPort, kMaxListeningPort);
    // A key that was only ever read has no value: it is as missing as no key at all, or the
    // listener would take whatever port the system picks and the server would be told 0.
    if (!Settings::HasValue(SettingKeys::ListeningPort))
        Settings::Set(SettingKeys::ListeningPort, "2235");
    if (!Settings::HasValue(SettingKeys::ObfuscatedListeningPort))
        Settings::Set(SettingKeys::ObfuscatedListeningPort, "2236");
    if (Settings::HasKey(SettingKeys::NewListeningPort) &&
        Settings::HasValue(SettingKeys::NewListeningPort)) {
        Settings::Set(SettingKeys::ListeningPort, Settings::Text(SettingKeys::NewListeningPort));
        Settings::SetNumber(SettingKeys::ObfuscatedListeningPort,
                            qint64(Settings::Int(SettingKeys::NewListeningPort)) + 1);
        Settings::RemoveKey(SettingKeys::NewListeningPort);
    }

    const QHostAddress address =
        m_loopbackForTesting ? QHostAddress(QHostAddress::LocalHost) : QHostAddress::AnyIPv4;
    const auto port = [this](SettingKey key) {
        return m_loopbackForTesting ? quint16(0) : quint16(Settings::Int(key));
    };
    // A port that is taken stays silent: the client then gets no incoming peer connections. A
    // host that loads the store again and again on 127.0.0.1 (a fuzz target) keeps the ports
    // the system picked the first time: listening anew cost more than many a load.
    if (m_loopbackForTesting && m_listener.IsListening() && m_obfuscatedListener.IsListening()) {
        m_listener.Resume();
        m_obfuscatedListener.Resume();
    } else {
        m_listener.Listen(address, port(SettingKeys::ListeningPort));
        m_obfuscatedListener.Listen(address, port(SettingKeys::ObfuscatedListeningPort));
    }
    connect(&m_listener, &PeerListener::Accepted, this, &PeerMessenger::OnNewConnection);
    connect(&m_obfuscatedListener, &PeerListener::Accepted, this,
            &PeerMessenger::OnNewObfuscatedConnection);
    connect(&m_listener, &PeerListener::AcceptFailed, this, &PeerMessenger::OnAcceptError);
    connect(&m_obfuscatedListener, &PeerListener::AcceptFailed, this,
            &PeerMessenger::OnAcceptError);
}

void PeerMessenger::OnAcceptError(const QString& reason)
{
    // The listener has stopped, and nothing in it ever resumes. Closing a peer socket resumes
    // it, but what ran short may as well be files or other connections, whose closing nothing
    // here hears of: until accepting works again, it is tried again at every tick.
    if (!m_acceptFailureLogged)
        LogPeer(1, QStringLiteral("Accepting a peer connection failed: %1; trying again every "
                                  "second until it works")
                       .arg(reason));
    m_acceptFailureLogged = true;
    m_acceptPaused = true;
    if (!m_acceptRetry.isActive())
        m_acceptRetry.start();
}

void PeerMessenger::ResumeAccepting()
{
    if (!m_acceptPaused)
        return;
    m_acceptPaused = false;
    // A listener that is still short reports so again, and the timer starts over.
    m_acceptRetry.stop();
    // Either listener may have stopped; resuming one that did not is harmless.
    m_listener.Resume();
    m_obfuscatedListener.Resume();
}

void PeerMessenger::OnNewConnection(QTcpSocket* socket)
{
    Accept(socket, false);
}

void PeerMessenger::OnNewObfuscatedConnection(QTcpSocket* socket)
{
    Accept(socket, true);
}

void PeerMessenger::Accept(QTcpSocket* s, bool obfuscated)
{
    const QString from = s->peerAddress().toString();
    const QString refused = Admit(Holder::Silent, s->peerAddress().toIPv4Address(), std::string(),
                                  QStringLiteral("a connection from %1").arg(from));
    if (!refused.isEmpty()) {
        if (!m_capRefusalLogged)
            LogPeer(1, QStringLiteral("Not taking a connection from %1: %2; connections from "
                                      "peers meanwhile are closed at once")
                           .arg(from, refused));
        m_capRefusalLogged = true;
        s->abort();
        s->deleteLater();
        return;
    }
    s->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    connect(s, &QTcpSocket::readyRead, this, &PeerMessenger::OnSocketReadyToRead);
    connect(s, &QTcpSocket::errorOccurred, this, &PeerMessenger::OnSocketError);
    connect(s, &QTcpSocket::disconnected, this, &PeerMessenger::OnSocketClosed);
    ItemPtr item = d.GetType(PeerTypes::UninitializedSocket)->NewItem(Value(s));
    StampTime(item, PeerTypes::SocketCreationTime);
    if (obfuscated)
        item.NewItem(PeerTypes::IsObfuscated);
}

void PeerMessenger::OnSocketClosed()
{
    if (auto* s = qobject_cast<QTcpSocket*>(sender()))
        DisposeOfSocket(s);
}

void PeerMessenger::OnSocketError(QAbstractSocket::SocketError)
{
    if (auto* s = qobject_cast<QTcpSocket*>(sender()))
        DisposeOfSocket(s);
}

void PeerMessenger::OnPeerSocketItemAdded(Item* item)
{
    auto* activity = new ActivityTime;
    activity->ms = Clock::MonotonicMs();
    auto* socket = ItemPtr(item).AsPointer<QTcpSocket>();
    // One of ours with all written makes room for ours waiting.
    if (socket) {
        activity->counting =
            connect(socket, &QTcpSocket::bytesWritten, this, [this, socket, activity](qint64 n) {
                activity->written += n;
                if (!m_waitingForRoom.empty() && socket->bytesToWrite() == 0)
                    ScheduleRoomCheck();
            });
        activity->outbox = PeerOutbox::Of(socket, m_waitingToGo, AddressOf(socket).toIPv4Address());
    }
    ItemPtr(item) += d.GetType(PeerTypes::LastActivityTime)->GetItem(Value(activity));
}

void PeerMessenger::OnPeerSocketItemRemoved(Item* item)
{
    // Any peer can introduce itself under any name: the user item its first frame made would
    // otherwise stay for good. One that anything besides this connection holds on to stays.
    ItemPtr user = ItemPtr(item)[ServerTypes::User];
    // Whatever is kept for a user while it is connected goes with the last connection.
    const std::string lastOf = user && user->ConnectionCount(d.GetType(PeerTypes::PeerSocket)) == 1
                                   ? user.AsString()
                                   : std::string();
    if (m_peerSocketsWithOwnUser.erase(item->Id()) && user && user->ConnectionCount() == 1)
        user.Remove();
    m_acceptedPeerSockets.erase(item->Id());
    if (!lastOf.empty() && !g_peerMessengerDeleted)
        Q_EMIT MessagingConnectionsClosed(lastOf);

    ItemPtr activityItem = ItemPtr(item)[PeerTypes::LastActivityTime];
    if (!activityItem)
        return;
    auto* activity = activityItem.AsPointer<ActivityTime>();
    disconnect(activity->counting);
    delete activity->outbox.data();
    activityItem.Remove();
    delete activity;
}

qint64 PeerMessenger::LastActivityMs(ItemPtr peerSocket)
{
    const auto* activity = peerSocket[PeerTypes::LastActivityTime].AsPointer<ActivityTime>();
    return activity ? activity->ms : 0;
}

qint64 PeerMessenger::KernelUnsent(const QTcpSocket* socket)
{
    // What the system holds of what we wrote that the peer has not acknowledged yet.
    const qintptr fd = socket->socketDescriptor();
    int unsent = 0;
    if (fd < 0 || ::ioctl(int(fd), SIOCOUTQ, &unsent) != 0)
        return 0;
    return unsent;
}

qint64 PeerMessenger::Departed(ItemPtr peerSocket)
{
    const auto* activity = peerSocket[PeerTypes::LastActivityTime].AsPointer<ActivityTime>();
    if (!activity)
        return 0;
    return activity->written - KernelUnsent(peerSocket.AsPointer<QTcpSocket>());
}

PeerMessenger::SendingTimes PeerMessenger::SendingTimesTo(const std::string& userName) const
{
    SendingTimes times;
    ItemPtr user = d.GetType(ServerTypes::User)->HasItem(Value(userName));
    for (Item* i : user.GetItems(PeerTypes::PeerSocket)) {
        qint64 busy = 0;
        qint64 shut = 0;
        if (ReadSendingTimes(ItemPtr(i).AsPointer<QTcpSocket>()->socketDescriptor(), &busy,
                             &shut)) {
            times.busyUs += busy;
            times.windowShutUs += shut;
        }
    }
    return times;
}

qint64 PeerMessenger::BytesDepartedTo(const std::string& userName) const
{
    qint64 bytes = 0;
    ItemPtr user = d.GetType(ServerTypes::User)->HasItem(Value(userName));
    for (Item* i : user.GetItems(PeerTypes::PeerSocket))
        bytes += Departed(ItemPtr(i));
    return bytes;
}

void PeerMessenger::TouchActivity(QTcpSocket* socket)
{
    ItemPtr activityItem =
        d.GetType(PeerTypes::PeerSocket)->HasItem(Value(socket))[PeerTypes::LastActivityTime];
    if (auto* activity = activityItem.AsPointer<ActivityTime>())
        activity->ms = Clock::MonotonicMs();
}

void PeerMessenger::OnUnsentMessageRemoved(Item* item)
{
    const auto* message = ItemPtr(item).AsPointer<QByteArray>();
    if (message)
        m_waitingToGo.Release(message->constData(), 0);
    delete message;
}

void PeerMessenger::CloseOrAbort(QTcpSocket* socket)
{
    // Closing a socket that is still connecting only defers the close until it connects; an
    // attempt that was given up must not come to life later.
    const auto state = socket->state();
    if (state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState)
        socket->abort();
    else
        socket->close();
}

bool PeerMessenger::AssertNoSocketOverlap(QTcpSocket* socket)
{
    int found = 0;
    for (const char* t : {PeerTypes::PeerConnectionRequestSocket, PeerTypes::UninitializedSocket,
                          PeerTypes::PeerSocket, PeerTypes::ConnectToPeerRequestSocket})
        found += d.GetType(t)->HasItem(Value(socket)) ? 1 : 0;
    return found <= 1;
}

void PeerMessenger::DisposeOfSocket(QTcpSocket* socket)
{
    if (g_peerMessengerDeleted || !socket)
        return;
    AssertNoSocketOverlap(socket);
    DisposeOfSocketInner(socket);
    // Its descriptor is free again (the close releases it), so a listener that ran out can go on,
    // and its place in the budget to one of ours waiting for room.
    ResumeAccepting();
    if (!m_waitingForRoom.empty())
        ScheduleRoomCheck();

    ItemPtr found[4];
    int n = 0;
    for (const char* t : {PeerTypes::PeerConnectionRequestSocket, PeerTypes::UninitializedSocket,
                          PeerTypes::PeerSocket, PeerTypes::ConnectToPeerRequestSocket})
        found[n++] = d.GetType(t)->HasItem(Value(socket));
    for (ItemPtr item : found) {
        if (item)
            item.Remove();
    }
}

void PeerMessenger::DisposeOfSocketInner(QTcpSocket* socket)
{
    socket->disconnect(this);
    // Whatever path ends a socket, its half-read frame, user name and file token go with it.
    EraseReceiveState(socket);
    CloseOrAbort(socket);
    socket->deleteLater();
    LogPeer(1, QStringLiteral("Disposing of socket"));

    ItemPtr answer = d.GetType(PeerTypes::PeerConnectionRequestSocket)->HasItem(Value(socket));
    if (answer) {
        LogPeer(2, QStringLiteral("Identified as peer connection request socket"));
        ItemPtr request = answer[PeerTypes::PeerConnectionRequest];
        if (!request) {
            LogPeer(2, QStringLiteral("Request not found"));
            return;
        }
        LogPeer(2, QStringLiteral("Request found, removing"));
        gp_server->SendCantConnectToPeer(request[PeerTypes::PeerConnectionRequestId].AsUInt(),
                                         request[ServerTypes::User].AsString());
        request.Remove();
        answer.Remove();
        return;
    }
    // Our dial, closed before it connected (to make room, say): its part of the attempt is
    // over as when it fails, and an attempt left with nothing would stop every later one.
    ItemPtr dial = d.GetType(PeerTypes::ConnectToPeerRequestSocket)->HasItem(Value(socket));
    if (dial) {
        EndAttempt(dial, QStringLiteral("Direct connection of type %1 to user %2 closed"));
        return;
    }
    ItemPtr item = d.GetType(PeerTypes::UninitializedSocket)->HasItem(Value(socket));
    if (item) {
        LogPeer(2, QStringLiteral("Identified as uninitialized socket"));
    } else {
        item = d.GetType(PeerTypes::PeerSocket)->HasItem(Value(socket));
        if (!item) {
            LogPeer(2, QStringLiteral("Socket not identified"));
            return;
        }
        LogPeer(2, QStringLiteral("Identified as peer socket"));
    }
    item.Remove();
}

void PeerMessenger::EveryHalfMinute()
{
    for (uint32_t id : ItemIds(PeerTypes::UnsentMessage)) {
        ItemPtr item = LiveItem(id, PeerTypes::UnsentMessage);
        if (item && AgeMs(item, PeerTypes::SendTime) > kUnsentMessageMaxAgeMs)
            item.Remove(); // its byte stream goes with it (OnUnsentMessageRemoved)
    }

    for (uint32_t id : ItemIds(PeerTypes::IndirectConnectToPeerRequest)) {
        ItemPtr item = LiveItem(id, PeerTypes::IndirectConnectToPeerRequest);
        if (item && AgeMs(item, PeerTypes::SendTime) > kAttemptMaxAgeMs)
            EndAttempt(
                item,
                QStringLiteral("Indirect connection request of type %1 to %2 expired, removing."));
    }

    for (uint32_t id : ItemIds(PeerTypes::ConnectToPeerRequestSocket)) {
        ItemPtr item = LiveItem(id, PeerTypes::ConnectToPeerRequestSocket);
        if (!item || AgeMs(item, PeerTypes::SocketCreationTime) <= kAttemptMaxAgeMs)
            continue;
        ItemPtr request = item[PeerTypes::ConnectToPeerRequest];
        LogPeer(1, QStringLiteral("Direct connection attempt of type %1 to %2 timed out, closing.")
                       .arg(TextForLog(item[PeerTypes::PeerConnectionType].AsString()),
                            TextForLog(item[ServerTypes::User].AsString())));
        auto* s = item.AsPointer<QTcpSocket>();
        item.Remove();
        s->disconnect(this);
        CloseOrAbort(s);
        s->deleteLater();
        if (request)
            InspectPeerConnectionRequest(request);
    }

    // An attempt with neither a dial nor a relayed request left has failed, whatever ended them.
    for (uint32_t id : ItemIds(PeerTypes::ConnectToPeerRequest)) {
        ItemPtr request = LiveItem(id, PeerTypes::ConnectToPeerRequest);
        if (request && !request[PeerTypes::ConnectToPeerRequestSocket] &&
            !request[PeerTypes::IndirectConnectToPeerRequest])
            InspectPeerConnectionRequest(request);
    }

    for (uint32_t id : ItemIds(PeerTypes::PeerConnectionRequestSocket)) {
        ItemPtr item = LiveItem(id, PeerTypes::PeerConnectionRequestSocket);
        if (!item || AgeMs(item, PeerTypes::SocketCreationTime) <= kAttemptMaxAgeMs)
            continue;
        ItemPtr request = item[PeerTypes::PeerConnectionRequest];
        LogPeer(1,
                QStringLiteral("Indirect connection attempt of type %1 to %2 timed out, closing.")
                    .arg(TextForLog(request[PeerTypes::PeerConnectionType].AsString()),
                         TextForLog(request[ServerTypes::User].AsString())));
        // A socket that never connected reports no closing; dispose of it here so that the
        // server still hears that we could not answer.
        DisposeOfSocket(item.AsPointer<QTcpSocket>());
    }

    const qint64 nowMs = Clock::MonotonicMs();
    for (uint32_t id : ItemIds(PeerTypes::PeerSocket)) {
        ItemPtr item = LiveItem(id, PeerTypes::PeerSocket);
        auto* activity = item[PeerTypes::LastActivityTime].AsPointer<ActivityTime>();
        if (!activity)
            continue;
        // A reply of ours still leaving the host is activity too: a peer that waits for a big
        // one on a slow link says nothing meanwhile, nor while one waits its turn with all we
        // sent read. One that reads nothing still expires.
        auto* s = item.AsPointer<QTcpSocket>();
        const qint64 departed = Departed(item);
        const std::string user = item[ServerTypes::User].AsString();
        if (departed != activity->departedSeen ||
            (m_replyOwedHook && s->bytesToWrite() + KernelUnsent(s) == 0 &&
             m_replyOwedHook(user))) {
            activity->departedSeen = departed;
            activity->ms = nowMs;
        }
        if (nowMs - activity->ms <= kIdleMaxMs)
            continue;
        LogPeer(
            1,
            QStringLiteral("Peer connection to user %1 expired, closing.").arg(TextForLog(user)));
        s->close();
        // With unsent data and a peer that never reads, the close waits for ever, and a socket
        // left closing would still be chosen for every message to this user, which would then be
        // lost. What does not close at once is cut off.
        if (d.GetType(PeerTypes::PeerSocket)->HasItem(Value(s)) &&
            s->state() != QAbstractSocket::UnconnectedState)
            s->abort();
        // Normally the closing notification has disposed of it by now; a socket that was
        // already down reports nothing.
        if (d.GetType(PeerTypes::PeerSocket)->HasItem(Value(s)))
            DisposeOfSocket(s);
    }

    for (uint32_t id : ItemIds(PeerTypes::UninitializedSocket)) {
        ItemPtr item = LiveItem(id, PeerTypes::UninitializedSocket);
        if (!item || AgeMs(item, PeerTypes::SocketCreationTime) <= kFirstFrameMaxWaitMs)
            continue;
        LogPeer(1, QStringLiteral("Peer connection not initialized in time, closing."));
        DisposeOfSocket(item.AsPointer<QTcpSocket>());
    }

    for (auto user = m_fileConnectionsDue.begin(); user != m_fileConnectionsDue.end();) {
        auto& tokens = user->second;
        for (auto it = tokens.begin(); it != tokens.end();)
            it = nowMs - it->second > kFileConnectionDueMs ? tokens.erase(it) : std::next(it);
        user = tokens.empty() ? m_fileConnectionsDue.erase(user) : std::next(user);
    }

    // At the latest here, a paused listener tries again, whatever was or was not disposed of.
    m_acceptFailureLogged = false;
    m_capRefusalLogged = false;
    m_openingRefusalLogged = false;
    m_peerOpeningRefusalLogged = false;
    m_waitingFullLogged = false;
    m_shareListDropsLogged.clear();
    m_answerDropLogged = false;
    ResumeAccepting();
    // Replies overdue, and descriptors others freed, make room that nothing else tells of.
    AdmitWaiting();
}

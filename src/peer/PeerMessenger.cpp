#include "peer/PeerMessenger.h"

#include "server/Server.h"
#include "store/Clock.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/TimerManager.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QTimer>

PeerMessenger* peerMessenger = nullptr;
bool g_peerMessengerDeleted = false;
std::set<std::string> g_inFunctions;

namespace {

const QString kCategory = QStringLiteral("Peer Messenger");

constexpr qint64 kUnsentMessageMaxAgeMs = 299999;
constexpr qint64 kAttemptMaxAgeMs = 59999;
constexpr qint64 kIdleMaxMs = 119999;
// A socket that has not finished its first frame (or the file token after it) for this long is
// closed.
constexpr qint64 kFirstFrameMaxWaitMs = 59999;

// The last activity of a messaging connection, on the heap; its address is the value of the
// connection's last_activity_time item. Monotonic milliseconds, so that no change of the wall
// clock can keep an idle connection open or close a busy one.
struct ActivityTime
{
    qint64 ms = 0;
};

void LogPeer(int level, const QString& message)
{
    Log(kCategory, level, message);
}

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
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

int SettingInt(const char* key)
{
    Type* global = d.HasType("global");
    return global ? global->HasItem(Value(key))["global_value"].AsInt() : 0;
}

} // namespace

InFunction::InFunction(const char* name) : m_name(name)
{
    g_inFunctions.insert(m_name);
}

InFunction::~InFunction()
{
    Dispose();
}

void InFunction::Dispose()
{
    if (m_disposed)
        return;
    g_inFunctions.erase(m_name);
    m_disposed = true;
}

bool IsInFunction(const std::string& name)
{
    return g_inFunctions.count(name) != 0;
}

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
    const QDateTime then = Clock::FromText(Q(item[timeType].AsString()));
    return then.isValid() ? then.msecsTo(Clock::Now()) : 0;
}

void PeerMessenger::OnTimedItemRemoved(Item* item)
{
    // Ids are used again: a new item must not inherit the age of an old one.
    m_stampedMs.erase(item->Id());
}

std::string PeerMessenger::Setting(const char* key)
{
    Type* global = d.HasType("global");
    if (!global)
        return std::string();
    return global->HasItem(Value(key))["global_value"].AsString();
}

void PeerMessenger::SetSetting(const char* key, const std::string& value)
{
    d.GetType("global")->GetItem(Value(key)) += d.GetType("global_value")->GetItem(Value(value));
}

PeerMessenger::PeerMessenger()
{
    peerMessenger = this;
    g_peerMessengerDeleted = false;
    if (gp_server)
        connect(gp_server, &Server::Connected, this, &PeerMessenger::OnConnectedToServer);
    CreateData();
    m_sendOrder = 0;
    if (gp_server)
        connect(gp_server, &Server::IndirectPeerConnectionFailure, this,
                &PeerMessenger::OnIndirectPeerConnectionFailure);
    if (timerManager)
        connect(timerManager->everyHalfMinute(), &SharedTimer::timeout, this,
                &PeerMessenger::EveryHalfMinute);
    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
}

void PeerMessenger::CreateData()
{
    struct TypeRow
    {
        const char* name;
        Primacy primacy;
        bool isNull;
        bool autoCreate;
    };
    static const TypeRow types[] = {
        {"uninitialized_socket", RootPrimacy, false, false},
        {"peer_socket", RootPrimacy, false, false},
        {"connection_open_time", ValuePrimacy, false, true},
        {"last_activity_time", RootPrimacy, false, true},
        {"is_obfuscated", ValuePrimacy, true, true},
        {"peer_connection_request", RootPrimacy, true, false},
        {"peer_connection_request_id", ValuePrimacy, false, true},
        {"peer_connection_type", ValuePrimacy, false, true},
        {"peer_connection_request_socket", RootPrimacy, false, false},
        {"user_address", ValuePrimacy, false, true},
        {"user_port", ValuePrimacy, false, true},
        {"user_obfuscated_port", ValuePrimacy, false, true},
        {"socket_creation_time", ValuePrimacy, false, true},
        {"search_request", RootPrimacy, false, false},
        {"search_request_text", RootPrimacy, false, true},
        {"wishlist_search", ValuePrimacy, true, true},
        {"search_results", RootPrimacy, true, true},
        {"search_result", ReachablePrimacy, true, true},
        {"search_results_user_available", ValuePrimacy, false, true},
        {"search_results_user_speed", ValuePrimacy, false, true},
        {"search_results_uploads_in_queue", ValuePrimacy, false, true},
        {"search_result_file_name", ValuePrimacy, false, true},
        {"search_result_file_folder", ValuePrimacy, false, true},
        {"file_size", ValuePrimacy, false, true},
        {"search_correlation", ReachablePrimacy, true, true},
        {"correlation_text", ValuePrimacy, false, true},
        {"correlation_rank", ValuePrimacy, false, true},
        {"mpeg_version", ValuePrimacy, false, true},
        {"channel_mode", ValuePrimacy, false, true},
        {"audio_frequency", ValuePrimacy, false, true},
        {"bitrate_mode", ValuePrimacy, false, true},
        {"bitrate", ValuePrimacy, false, true},
        {"length_seconds", ValuePrimacy, false, true},
        {"unsent_message", RootPrimacy, false, true},
        {"send_order", ValuePrimacy, false, true},
        {"send_time", ValuePrimacy, false, true},
        {"connect_to_peer_request", RootPrimacy, true, true},
        {"connect_to_peer_request_status", ValuePrimacy, false, true},
        {"connect_to_peer_request_socket", RootPrimacy, false, true},
        {"indirect_connect_to_peer_request", RootPrimacy, false, true},
    };
    for (const TypeRow& t : types)
        d.NewType(t.name, t.primacy, t.isNull, t.autoCreate);

    // a has at most one b; the other end is many unless the row says otherwise.
    auto one = [](const char* a, const char* b, OneOrMany aPerB = Many) {
        d.GetType(a)->RelateToType(b, aPerB, One);
    };

    one("peer_socket", "user");
    one("peer_socket", "connection_open_time");
    one("peer_socket", "last_activity_time");
    one("peer_socket", "is_obfuscated");
    Type* peerSocket = d.GetType("peer_socket");
    peerSocket->itemAddedEvent.Add(NewEventHandler(this, &PeerMessenger::OnPeerSocketItemAdded));
    peerSocket->itemRemovedEvent.Add(
        NewEventHandler(this, &PeerMessenger::OnPeerSocketItemRemoved));

    one("uninitialized_socket", "is_obfuscated");
    // Not every accepted socket says something: its age lets the sweep close a silent one.
    one("uninitialized_socket", "socket_creation_time");

    one("peer_connection_request", "peer_connection_request_id");
    one("peer_connection_request", "peer_connection_request_socket", One);
    one("peer_connection_request", "user");
    one("peer_connection_request", "peer_connection_type");
    one("peer_connection_request", "is_obfuscated");
    one("peer_connection_request_socket", "socket_creation_time");

    one("user", "user_address");
    one("user", "user_port");
    one("user", "user_obfuscated_port");
    // The server links a user's address items one by one and ties a relayed request to its
    // user before it replaces that user's address. Both reactions therefore wait until the
    // message has been handled whole, and then read what is there.
    for (const char* t : {"user_address", "user_port", "user_obfuscated_port"})
        d.GetType(t)->connectedEvent.Add(NewEventHandler(this, &PeerMessenger::OnAddressLinked));
    d.GetType("peer_connection_request")
        ->connectedEvent.Add(NewEventHandler(this, &PeerMessenger::OnPeerConnectionRequestLinked));

    one("search_request", "search_request_text");
    one("search_request", "wishlist_search");
    d.GetType("search_request")->RelateToType(d.GetType("search_results"), One, Many, true);
    d.GetType("search_results")->RelateToType(d.GetType("search_result"), One, Many, true);
    one("search_results", "user");
    one("search_results", "search_results_user_available");
    one("search_results", "search_results_user_speed");
    one("search_results", "search_results_uploads_in_queue");
    one("search_result", "search_result_file_name");
    one("search_result", "search_result_file_folder");
    one("search_result", "file_size");
    d.GetType("search_request_text")->RelateToType("search_correlation", One, Many);
    one("search_correlation", "correlation_text");
    one("search_correlation", "correlation_rank");
    one("search_result", "bitrate_mode");
    one("search_result", "bitrate");
    one("search_result", "length_seconds");

    one("unsent_message", "user");
    one("unsent_message", "send_order", One);
    one("unsent_message", "send_time");
    d.GetType("unsent_message")
        ->itemRemovedEvent.Add(NewEventHandler(this, &PeerMessenger::OnUnsentMessageRemoved));

    one("connect_to_peer_request", "connect_to_peer_request_status");
    one("connect_to_peer_request", "connect_to_peer_request_socket", One);
    one("connect_to_peer_request", "user");
    one("connect_to_peer_request", "peer_connection_type");
    one("connect_to_peer_request", "indirect_connect_to_peer_request", One);
    one("connect_to_peer_request_socket", "socket_creation_time");
    one("indirect_connect_to_peer_request", "send_time");
    one("connect_to_peer_request_socket", "user");
    one("connect_to_peer_request_socket", "peer_connection_type");
    one("connect_to_peer_request_socket", "is_obfuscated");
    one("indirect_connect_to_peer_request", "user");
    one("indirect_connect_to_peer_request", "peer_connection_type");

    for (const char* t : {"uninitialized_socket", "peer_connection_request_socket",
                          "unsent_message", "connect_to_peer_request_socket",
                          "indirect_connect_to_peer_request"})
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
    if (Type* t = d.HasType("unsent_message")) {
        for (Item* item : t->GetItems()) {
            OnUnsentMessageRemoved(item);
            ItemPtr(item).Remove();
        }
    }
    if (Type* t = d.HasType("peer_socket")) {
        for (Item* item : t->GetItems()) {
            OnPeerSocketItemRemoved(item);
            ItemPtr(item).Remove();
        }
    }
    if (peerMessenger == this)
        peerMessenger = nullptr;
}

void PeerMessenger::DataLoaded()
{
    Type* global = d.GetType("global");
    // A key that was only ever read has no value: it is as missing as no key at all, or the
    // listener would take whatever port the system picks and the server would be told 0.
    if (!global->HasItem(Value("listening_port"))["global_value"])
        SetSetting("listening_port", "2235");
    if (!global->HasItem(Value("obfuscated_listening_port"))["global_value"])
        SetSetting("obfuscated_listening_port", "2236");
    ItemPtr newPort = global->HasItem(Value("new_listening_port"));
    ItemPtr newValue = newPort["global_value"];
    if (newValue) {
        global->GetItem(Value("listening_port")) += newValue;
        SetSetting("obfuscated_listening_port", std::to_string(newValue.AsInt() + 1));
        newPort.Remove();
    }

    const QHostAddress address =
        m_loopbackForTesting ? QHostAddress(QHostAddress::LocalHost) : QHostAddress::AnyIPv4;
    const auto port = [this](const char* key) {
        return m_loopbackForTesting ? quint16(0) : quint16(SettingInt(key));
    };
    // A port that is taken stays silent: the client then gets no incoming peer connections.
    m_listener.listen(address, port("listening_port"));
    m_obfuscatedListener.listen(address, port("obfuscated_listening_port"));
    connect(&m_listener, &QTcpServer::newConnection, this, &PeerMessenger::OnNewConnection);
    connect(&m_obfuscatedListener, &QTcpServer::newConnection, this,
            &PeerMessenger::OnNewObfuscatedConnection);
}

void PeerMessenger::OnNewConnection()
{
    Accept(m_listener, false);
}

void PeerMessenger::OnNewObfuscatedConnection()
{
    Accept(m_obfuscatedListener, true);
}

void PeerMessenger::Accept(QTcpServer& listener, bool obfuscated)
{
    QTcpSocket* s = listener.nextPendingConnection();
    if (!s)
        return;
    s->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    connect(s, &QTcpSocket::readyRead, this, &PeerMessenger::OnSocketReadyToRead);
    connect(s, &QTcpSocket::errorOccurred, this, &PeerMessenger::OnSocketError);
    connect(s, &QTcpSocket::disconnected, this, &PeerMessenger::OnSocketClosed);
    ItemPtr item = d.GetType("uninitialized_socket")->NewItem(Value(s));
    StampTime(item, "socket_creation_time");
    if (obfuscated)
        item.NewItem("is_obfuscated");
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
    auto* activity = new ActivityTime{Clock::MonotonicMs()};
    ItemPtr(item) += d.GetType("last_activity_time")->GetItem(Value(activity));
}

void PeerMessenger::OnPeerSocketItemRemoved(Item* item)
{
    ItemPtr activityItem = ItemPtr(item)["last_activity_time"];
    if (!activityItem)
        return;
    auto* activity = activityItem.AsPointer<ActivityTime>();
    activityItem.Remove();
    delete activity;
}

void PeerMessenger::TouchActivity(QTcpSocket* socket)
{
    ItemPtr activityItem = d.GetType("peer_socket")->HasItem(Value(socket))["last_activity_time"];
    if (auto* activity = activityItem.AsPointer<ActivityTime>())
        activity->ms = Clock::MonotonicMs();
}

void PeerMessenger::OnUnsentMessageRemoved(Item* item)
{
    delete ItemPtr(item).AsPointer<MemStream>();
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
    for (const char* t : {"peer_connection_request_socket", "uninitialized_socket", "peer_socket",
                          "connect_to_peer_request_socket"})
        found += d.GetType(t)->HasItem(Value(socket)) ? 1 : 0;
    return found <= 1;
}

void PeerMessenger::DisposeOfSocket(QTcpSocket* socket)
{
    if (g_peerMessengerDeleted || !socket)
        return;
    AssertNoSocketOverlap(socket);
    DisposeOfSocketInner(socket);

    ItemPtr found[4];
    int n = 0;
    for (const char* t : {"peer_connection_request_socket", "uninitialized_socket", "peer_socket",
                          "connect_to_peer_request_socket"})
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

    ItemPtr answer = d.GetType("peer_connection_request_socket")->HasItem(Value(socket));
    if (answer) {
        LogPeer(2, QStringLiteral("Identified as peer connection request socket"));
        ItemPtr request = answer["peer_connection_request"];
        if (!request) {
            LogPeer(2, QStringLiteral("Request not found"));
            return;
        }
        LogPeer(2, QStringLiteral("Request found, removing"));
        if (gp_server)
            gp_server->SendCantConnectToPeer(request["peer_connection_request_id"].AsUInt(),
                                             request["user"].AsString());
        request.Remove();
        answer.Remove();
        return;
    }
    ItemPtr item = d.GetType("uninitialized_socket")->HasItem(Value(socket));
    if (item) {
        LogPeer(2, QStringLiteral("Identified as uninitialized socket"));
    } else {
        item = d.GetType("peer_socket")->HasItem(Value(socket));
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
    for (uint32_t id : ItemIds("unsent_message")) {
        ItemPtr item = LiveItem(id, "unsent_message");
        if (item && AgeMs(item, "send_time") > kUnsentMessageMaxAgeMs)
            item.Remove(); // its byte stream goes with it (OnUnsentMessageRemoved)
    }

    for (uint32_t id : ItemIds("indirect_connect_to_peer_request")) {
        ItemPtr item = LiveItem(id, "indirect_connect_to_peer_request");
        if (item && AgeMs(item, "send_time") > kAttemptMaxAgeMs)
            EndAttempt(
                item,
                QStringLiteral("Indirect connection request of type %1 to %2 expired, removing."));
    }

    for (uint32_t id : ItemIds("connect_to_peer_request_socket")) {
        ItemPtr item = LiveItem(id, "connect_to_peer_request_socket");
        if (!item || AgeMs(item, "socket_creation_time") <= kAttemptMaxAgeMs)
            continue;
        ItemPtr request = item["connect_to_peer_request"];
        LogPeer(1,
                QStringLiteral("Direct connection attempt of type %1 to %2 timed out, closing.")
                    .arg(Q(item["peer_connection_type"].AsString()), Q(item["user"].AsString())));
        auto* s = item.AsPointer<QTcpSocket>();
        item.Remove();
        s->disconnect(this);
        CloseOrAbort(s);
        s->deleteLater();
        if (request)
            InspectPeerConnectionRequest(request);
    }

    for (uint32_t id : ItemIds("peer_connection_request_socket")) {
        ItemPtr item = LiveItem(id, "peer_connection_request_socket");
        if (!item || AgeMs(item, "socket_creation_time") <= kAttemptMaxAgeMs)
            continue;
        ItemPtr request = item["peer_connection_request"];
        LogPeer(1,
                QStringLiteral("Indirect connection attempt of type %1 to %2 timed out, closing.")
                    .arg(Q(request["peer_connection_type"].AsString()),
                         Q(request["user"].AsString())));
        // A socket that never connected reports no closing; dispose of it here so that the
        // server still hears that we could not answer.
        DisposeOfSocket(item.AsPointer<QTcpSocket>());
    }

    const qint64 nowMs = Clock::MonotonicMs();
    for (uint32_t id : ItemIds("peer_socket")) {
        ItemPtr item = LiveItem(id, "peer_socket");
        auto* activity = item["last_activity_time"].AsPointer<ActivityTime>();
        if (!activity || nowMs - activity->ms <= kIdleMaxMs)
            continue;
        LogPeer(1, QStringLiteral("Peer connection to user %1 expired, closing.")
                       .arg(Q(item["user"].AsString())));
        auto* s = item.AsPointer<QTcpSocket>();
        s->close();
        // Normally the closing notification has disposed of it by now; a socket that was
        // already down reports nothing.
        if (d.GetType("peer_socket")->HasItem(Value(s)) &&
            s->state() == QAbstractSocket::UnconnectedState)
            DisposeOfSocket(s);
    }

    for (uint32_t id : ItemIds("uninitialized_socket")) {
        ItemPtr item = LiveItem(id, "uninitialized_socket");
        if (!item || AgeMs(item, "socket_creation_time") <= kFirstFrameMaxWaitMs)
            continue;
        LogPeer(1, QStringLiteral("Peer connection not initialized in time, closing."));
        DisposeOfSocket(item.AsPointer<QTcpSocket>());
    }
}

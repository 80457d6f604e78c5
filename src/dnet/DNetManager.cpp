#include "dnet/DNetManager.h"

#include "dnet/DNetFrames.h"
#include "dnet/DNetSchema.h"
#include "dnet/DNetState.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "store/Clock.h"
#include "store/Dependency.h"
#include "store/Log.h"
#include "store/Settings.h"

#include <QNetworkInterface>
#include <QTcpSocket>

DNetManager* dnetManager = nullptr;

using namespace DNetTypes;

namespace {

ItemPtr UserItem(const std::string& name)
{
    return d.GetType(ServerTypes::User)->GetItem(Value(name));
}

ItemPtr FindUser(const std::string& name)
{
    return d.GetType(ServerTypes::User)->HasItem(Value(name));
}

} // namespace

DNetManager::DNetManager()
{
    // Every state change is reported to the server, candidates are dialled through the peer
    // connection manager, and the can-parent rule watches a setting: without any of them the
    // tree would quietly never be joined.
    RequireService(gp_server, "The distributed network", "the server connection");
    RequireService(peerMessenger, "The distributed network", "the peer connection manager");
    for (const char* t : {ServerTypes::User, PeerTypes::UserAddress, SettingsTypes::Global,
                          DNetGlobal, DNetChild, DNetParentCandidate})
        RequireType("The distributed network", t);

    dnetManager = this;
    Settings::Watch(SettingKeys::UploadSpeed, this, &DNetManager::OnReceivedOwnUploadSpeed);
}

DNetManager::~DNetManager()
{
    // The sockets of the tree are ours alone: none may call back into a manager that is half
    // gone, and none may stay open without an owner. What the store says of them goes too, as
    // it names sockets that no longer exist.
    for (Item* child : d.GetType(DNetChild)->GetItems())
        ForgetChild(child);
    d.GetType(DNetParentCandidate)->GetItems().Remove();
    for (const char* key :
         {DNetKeys::ParentUser, DNetKeys::ParentSocket, DNetKeys::GroupLeader, DNetKeys::Level})
        DNetState::Clear(key);
    for (QTcpSocket* socket : findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
        socket->disconnect(this);
        delete socket;
    }
    RemoveDataHandlers();
    if (dnetManager == this)
        dnetManager = nullptr;
}

void DNetManager::ResetForTesting()
{
    for (QTcpSocket* socket : findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
        socket->disconnect(this);
        delete socket;
    }
    m_readBuffer = MemStream();
    m_unread.clear();
    m_reader.Stop();
    m_parentMinSpeed = -1;
    m_parentSpeedRatio = -1;
    m_canParent = false;
    // They name sockets and items of the run before; kept, they would grow from run to run.
    m_candidateSinceMs.clear();
    m_childrenWithOwnUser.clear();
    m_relays = RelayAllowance();
}

void DNetManager::TakeSocket(QTcpSocket* socket, Side side)
{
    socket->setParent(this);
    socket->setReadBufferSize(kReadAheadBytes);
    if (side == Side::Child) {
        connect(socket, &QTcpSocket::readyRead, this, &DNetManager::OnChildSocketReadyToRead);
        connect(socket, &QTcpSocket::errorOccurred, this, &DNetManager::OnChildSocketError);
        connect(socket, &QTcpSocket::disconnected, this, &DNetManager::OnChildSocketClosed);
    } else {
        connect(socket, &QTcpSocket::readyRead, this, &DNetManager::OnSocketReadyToRead);
        connect(socket, &QTcpSocket::errorOccurred, this, &DNetManager::OnSocketError);
        connect(socket, &QTcpSocket::disconnected, this, &DNetManager::OnSocketClosed);
    }
}

void DNetManager::Discard(QTcpSocket* socket)
{
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    QObject::disconnect(socket, &QTcpSocket::errorOccurred, nullptr, nullptr);
    QObject::disconnect(socket, &QTcpSocket::disconnected, nullptr, nullptr);
    socket->close();
    socket->deleteLater();
}

void DNetManager::OnDNetParentMinSpeed(int speed)
{
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Received parent min speed %1, currently not processing").arg(speed));
    m_parentMinSpeed = speed;
    DetermineCanParent();
}

void DNetManager::OnDNetParentSpeedConnectionRatio(int ratio)
{
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Received parent speed connection ratio %1, currently not processing")
            .arg(ratio));
    m_parentSpeedRatio = ratio;
    DetermineCanParent();
}

void DNetManager::OnDNetReset()
{
    Log(LogCategories::kDistributedNetwork, 1, QStringLiteral("Received DNet reset request"));
}

void DNetManager::OnDNetDeliveryReport(int report)
{
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Received DNet delivery report request, req %1").arg(report));
}

void DNetManager::OnReceivedOwnUploadSpeed(Item*)
{
    DetermineCanParent();
}

void DNetManager::DetermineCanParent()
{
    if (m_parentMinSpeed == -1 || m_parentSpeedRatio == -1)
        return;
    if (!Settings::HasValue(SettingKeys::UploadSpeed))
        return;
    const qint64 speed = Settings::Int64(SettingKeys::UploadSpeed);
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Determining whether we can accept child connections."));

    // In 64 bits: the server's figures times 1024, and a speed times 10, leave 32 bits long
    // before they stop being plausible.
    bool can = false;
    if (speed < qint64(m_parentMinSpeed) * 1024) {
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("Below minimum parent speed, so no."));
    } else if (m_parentSpeedRatio <= 0) {
        // The rule divides by the ratio; none that is not positive gives any capacity.
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("Parent speed connection ratio %1 is not positive, so no.")
                .arg(m_parentSpeedRatio));
    } else {
        const qint64 capacity = ((speed * 10) / 1024) / m_parentSpeedRatio;
        const qint64 children = qint64(d.GetType(DNetChild)->ItemCount());
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("Currently have %1 child connections, max capacity %2")
                .arg(children)
                .arg(capacity));
        can = capacity > children;
    }

    if (can == m_canParent) {
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("No status change, not notifying."));
        return;
    }
    m_canParent = can;
    Log(LogCategories::kDistributedNetwork, 2,
        QStringLiteral("Status changed, sending notification."));
    gp_server->SendDNetCanParent(can);
}

void DNetManager::OnConnected()
{
    gp_server->SendDNetHasParent(DNetState::HasParent());
    // Forgotten, so that the rule reports a true state to the new session.
    m_canParent = false;
    if (DNetState::Has(DNetKeys::GroupLeader))
        gp_server->SendDNetGroupLeader(DNetState::Get(DNetKeys::GroupLeader));
    if (DNetState::Has(DNetKeys::Level))
        gp_server->SendDNetLevel(qint32(DNetState::Number(DNetKeys::Level)));
    DetermineCanParent();
}

bool DNetManager::IsOwnName(const std::string& name)
{
    return name == Settings::Text(SettingKeys::Username);
}

bool DNetManager::IsOwnEndpoint(const TCPAddress& address)
{
    const quint16 port = quint16(address.second);
    if (port == 0 || (port != peerMessenger->ListeningPort() &&
                      port != peerMessenger->ObfuscatedListeningPort()))
        return false;
    const QHostAddress host(quint32(address.first));
    for (const QHostAddress& own : QNetworkInterface::allAddresses()) {
        if (own.isEqual(host, QHostAddress::ConvertV4MappedToIPv4))
            return true;
    }
    return false;
}

int DNetManager::CandidatesInProgress()
{
    // Only the tree dials connections of type "D".
    const ItemPtr dnetType = d.GetType(PeerTypes::PeerConnectionType)->HasItem(Value("D"));
    return int(dnetType.GetItems(PeerTypes::ConnectToPeerRequest).size() +
               d.GetType(DNetParentCandidate)->ItemCount());
}

void DNetManager::OnDNetPossibleParents(
    const std::list<std::pair<std::string, TCPAddress>>& parents)
{
    if (DNetState::HasParent()) {
        Log(LogCategories::kDistributedNetwork, 1,
            QStringLiteral("Received possible parents list, but already have a parent. Not "
                           "processing."));
        return;
    }
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Received possible parents list, %1 entries").arg(parents.size()));
    // A list opens connections and makes user items: however long it is, only so many at once.
    int room = kMaxCandidates - CandidatesInProgress();
    size_t seen = 0;
    for (const auto& [name, address] : parents) {
        if (room <= 0) {
            Log(LogCategories::kDistributedNetwork, 2,
                QStringLiteral("Already trying %1 parent candidates, dropping the other %2 "
                               "entries")
                    .arg(kMaxCandidates)
                    .arg(parents.size() - seen));
            break;
        }
        ++seen;
        if (IsOwnName(name) || IsOwnEndpoint(address)) {
            Log(LogCategories::kDistributedNetwork, 2,
                QStringLiteral("Not attempting parent connection to %1: that is ourselves")
                    .arg(TextForLog(name)));
            continue;
        }
        if (FindUser(name).IsConnected(AttemptedDNetConnection)) {
            Log(LogCategories::kDistributedNetwork, 2,
                QStringLiteral("Already attempted parent connection to %1, skipping")
                    .arg(TextForLog(name)));
            continue;
        }
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("Attempting parent connection to %1").arg(TextForLog(name)));
        ItemPtr user = UserItem(name);
        user += d.GetType(PeerTypes::UserAddress)->GetItem(Value(unsigned(address.first)));
        user += d.GetType(PeerTypes::UserPort)->GetItem(Value(int(address.second)));
        // The server names the plain port only, and frames of the tree are never scrambled: a
        // scrambled port learnt earlier must not be dialled instead.
        user += d.GetType(PeerTypes::UserObfuscatedPort)->GetItem(Value(0));
        user.NewItem(AttemptedDNetConnection);
        peerMessenger->RequestDNetConnection(name);
        --room;
    }
}

void DNetManager::OnDNetConnectionAccepted(std::string user, QTcpSocket* socket)
{
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Parent connection to user %1 accepted").arg(TextForLog(user)));
    if (DNetState::HasParent()) {
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("Rejecting, already have parent"));
        socket->deleteLater();
        return;
    }
    if (IsOwnName(user)) {
        Log(LogCategories::kDistributedNetwork, 2, QStringLiteral("Rejecting, that is ourselves"));
        socket->deleteLater();
        return;
    }
    // A connection that took longer than its candidate's turn, or one we did not dial.
    if (int(d.GetType(DNetParentCandidate)->ItemCount()) >= kMaxCandidates) {
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("Rejecting, already have %1 candidates").arg(kMaxCandidates));
        socket->deleteLater();
        return;
    }
    Log(LogCategories::kDistributedNetwork, 2,
        QStringLiteral("Adding as possible parent candidate"));
    ItemPtr candidate = d.GetType(DNetParentCandidate)->GetItem(Value(socket));
    candidate += UserItem(user);
    m_candidateSinceMs[socket] = Clock::MonotonicMs();
    TakeSocket(socket, Side::Upstream);
    // Whatever the candidate sent at once may be buffered already, with no readyRead to come.
    ReadFrames(*socket, socket, Side::Upstream);
}

void DNetManager::EveryHalfMinute()
{
    const qint64 now = Clock::MonotonicMs();
    std::unordered_map<const QTcpSocket*, qint64> waiting;
    for (Item* item : d.GetType(DNetParentCandidate)->GetItems()) {
        QTcpSocket* socket = DNetState::SocketOf(item);
        const auto found = m_candidateSinceMs.find(socket);
        const qint64 since = found != m_candidateSinceMs.end() ? found->second : now;
        if (now - since <= kCandidateTimeoutMs) {
            waiting[socket] = since;
            continue;
        }
        // A parent sends searches all the time; one that sends none holds a place that another
        // candidate could use.
        Log(LogCategories::kDistributedNetwork, 1,
            QStringLiteral("Parent candidate %1 sent no search in %2 seconds, closing")
                .arg(TextForLog(ItemPtr(item)[ServerTypes::User].AsString()))
                .arg(kCandidateTimeoutMs / 1000));
        ItemPtr(item).Remove();
        Discard(socket);
    }
    m_candidateSinceMs.swap(waiting);
}

void DNetManager::RecordCandidateLevel(ItemPtr candidate, qint32 level)
{
    if (level != -1)
        candidate += d.GetType(DNetCandidateLevel)->GetItem(Value(level));
}

void DNetManager::RecordCandidateLeader(ItemPtr candidate, const std::string& leader)
{
    candidate += d.GetType(DNetCandidateLeader)->GetItem(Value(leader));
}

void DNetManager::Adopt(QTcpSocket* socket, ItemPtr candidate)
{
    const std::string name = candidate[ServerTypes::User].AsString();
    DNetState::Set(DNetKeys::ParentUser, name);
    DNetState::Set(DNetKeys::ParentSocket, Value(socket).Text());
    Log(LogCategories::kDistributedNetwork, 1,
        QStringLiteral("Received first search request from parent candidate %1, adopting as "
                       "parent.")
            .arg(TextForLog(name)));

    // Our parent cannot be our child too: every search it sends would go straight back to it.
    if (ItemPtr child = candidate[ServerTypes::User][DNetChild]) {
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("Parent candidate %1 is our child, closing the child connection")
                .arg(TextForLog(name)));
        QTcpSocket* childSocket = DNetState::SocketOf(child);
        ForgetChild(child);
        Discard(childSocket);
    }

    if (ItemPtr level = candidate[DNetCandidateLevel]) {
        const qint32 value = level.AsInt();
        Log(LogCategories::kDistributedNetwork, 2,
            QStringLiteral("Level recorded as %1.").arg(value));
        DNetState::Set(DNetKeys::Level, level.AsString());
        gp_server->SendDNetLevel(value);
        SendMessageToChildren(DNetLevelBody(value));
    }

    const std::string leader = candidate[DNetCandidateLeader].AsString();
    Log(LogCategories::kDistributedNetwork, 2,
        QStringLiteral("Group leader recorded as %1.").arg(TextForLog(leader)));
    DNetState::Set(DNetKeys::GroupLeader, leader);
    gp_server->SendDNetGroupLeader(leader);
    SendMessageToChildren(DNetGroupLeaderBody(leader));

    // The others are dropped without their close handler: they were never more than candidates.
    for (Item* item : d.GetType(DNetParentCandidate)->GetItems()) {
        QTcpSocket* other = DNetState::SocketOf(item);
        ItemPtr(item).Remove();
        if (other != socket)
            Discard(other);
    }
    m_candidateSinceMs.clear();
    gp_server->SendDNetHasParent(true);
}

void DNetManager::OnSocketError(QAbstractSocket::SocketError)
{
    OnSocketClosed();
}

void DNetManager::OnSocketClosed()
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    if (DNetState::Has(DNetKeys::ParentSocket) &&
        DNetState::Get(DNetKeys::ParentSocket) == Value(socket).Text()) {
        Log(LogCategories::kDistributedNetwork, 1, QStringLiteral("Parent socket closed"));
        for (const char* key :
             {DNetKeys::ParentUser, DNetKeys::ParentSocket, DNetKeys::GroupLeader, DNetKeys::Level})
            DNetState::Clear(key);
        gp_server->SendDNetHasParent(false);
        gp_server->SendDNetGroupLeader("");
        gp_server->SendDNetLevel(-1);
    } else if (ItemPtr candidate = DNetState::Named(DNetParentCandidate, socket)) {
        Log(LogCategories::kDistributedNetwork, 1,
            QStringLiteral("Parent candidate socket closed"));
        candidate.Remove();
        m_candidateSinceMs.erase(socket);
    }
    socket->deleteLater();
}

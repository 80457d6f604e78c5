#include "support/RelayServer.h"

#include "support/WireBytes.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

namespace {

// The message codes this server reads or sends; the same number names a request and its answer.
enum : quint32
{
    kLogin = 1,
    kSetWaitPort = 2,
    kUserAddress = 3,
    kWatchUser = 5,
    kUserStatus = 7,
    kConnectToPeer = 18,
    kFileSearch = 26,
    kDistributedMessage = 93,
    kCantConnectToPeer = 1001,
};

// 127.0.0.1 as the wire carries an address: the number whose big-endian bytes are 127 0 0 1,
// written little-endian like every other u32.
constexpr quint32 kLoopbackAddress = 0x7f000001;
constexpr qint32 kStatusOnline = 2;
constexpr qint32 kStatusOffline = 0;
// The obfuscation type that says the scrambled port follows.
constexpr quint32 kObfuscated = 1;
// The distributed search body: its code byte, then the kind that asks the receiver to answer.
constexpr quint8 kDistributedSearch = 3;
constexpr quint32 kSearchToAnswer = 49;

} // namespace

RelayServer::RelayServer(QObject* parent) : QObject(parent), m_listener(new QTcpServer(this))
{
    connect(m_listener, &QTcpServer::newConnection, this, &RelayServer::onNewConnection);
    m_listener->listen(QHostAddress(QHostAddress::LocalHost), 0);

    m_lifetime.setSingleShot(true);
    connect(&m_lifetime, &QTimer::timeout, this, &RelayServer::stop);
    m_lifetime.start(kLifetimeCapMs);
}

RelayServer::~RelayServer()
{
    stop();
}

bool RelayServer::isListening() const
{
    return m_listener->isListening();
}

quint16 RelayServer::port() const
{
    return m_listener->serverPort();
}

bool RelayServer::isLoggedIn(const QByteArray& user) const
{
    return loggedIn(user) != nullptr;
}

void RelayServer::stop()
{
    m_lifetime.stop();
    m_listener->close();
    const QList<QTcpSocket*> sockets = m_sessions.keys();
    for (QTcpSocket* socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_sessions.clear();
    m_watchers.clear();
}

void RelayServer::onNewConnection()
{
    while (QTcpSocket* socket = m_listener->nextPendingConnection()) {
        socket->setParent(this);
        m_sessions.insert(socket, Session());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, socket] { onDisconnected(socket); });
        if (socket->state() != QAbstractSocket::ConnectedState) {
            drop(socket);
            continue;
        }
        onReadyRead(socket);
    }
}

void RelayServer::onReadyRead(QTcpSocket* socket)
{
    auto session = m_sessions.find(socket);
    if (session == m_sessions.end())
        return;
    session->input.append(socket->readAll());
    for (;;) {
        // Handlers may drop this very socket, or another; look it up again every frame.
        session = m_sessions.find(socket);
        if (session == m_sessions.end() || session->input.size() < 4)
            return;
        const quint32 length = qFromLittleEndian<quint32>(session->input.constData());
        if (length > kMaxFrameLength) {
            drop(socket);
            return;
        }
        if (quint64(session->input.size()) < 4 + quint64(length))
            return;
        const QByteArray body = session->input.mid(4, qsizetype(length));
        session->input.remove(0, 4 + qsizetype(length));
        handleMessage(socket, body);
    }
}

void RelayServer::onDisconnected(QTcpSocket* socket)
{
    drop(socket);
}

void RelayServer::drop(QTcpSocket* socket)
{
    const auto session = m_sessions.find(socket);
    if (session == m_sessions.end())
        return;
    const QByteArray user = session->user;
    m_sessions.erase(session);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    if (!user.isEmpty())
        tellWatchers(user, false);
}

void RelayServer::handleMessage(QTcpSocket* socket, const QByteArray& body)
{
    if (body.size() < 4)
        return;
    const quint32 code = qFromLittleEndian<quint32>(body.constData());
    const QByteArray fields = body.mid(4);
    if (code == kLogin) {
        login(socket, fields);
        return;
    }
    // Nothing but a login is taken before the login.
    if (m_sessions.value(socket).user.isEmpty())
        return;
    switch (code) {
    case kSetWaitPort:
        setWaitPort(socket, fields);
        break;
    case kUserAddress:
        userAddress(socket, fields);
        break;
    case kWatchUser:
        watchUser(socket, fields);
        break;
    case kConnectToPeer:
        connectToPeer(socket, fields);
        break;
    case kCantConnectToPeer:
        cantConnectToPeer(socket, fields);
        break;
    case kFileSearch:
        search(socket, fields);
        break;
    default:
        break;
    }
}

void RelayServer::login(QTcpSocket* socket, const QByteArray& fields)
{
    WireReader r(fields);
    const QByteArray user = r.str();
    if (!r.ok() || user.isEmpty() || !m_sessions.contains(socket) ||
        !m_sessions[socket].user.isEmpty())
        return;
    if (QTcpSocket* earlier = loggedIn(user)) {
        // The same user again: the old connection is forgotten without telling the watchers
        // that the user went away.
        m_sessions[earlier].user.clear();
        drop(earlier);
    }
    m_sessions[socket].user = user;
    send(socket, kLogin,
         WireWriter().u8(1).str("Welcome").u32(kLoopbackAddress).str("relay").bytes());
    tellWatchers(user, true);
}

void RelayServer::setWaitPort(QTcpSocket* socket, const QByteArray& fields)
{
    WireReader r(fields);
    const quint32 port = r.u32();
    r.u32(); // the constant between the two ports
    const quint32 obfuscatedPort = r.u32();
    if (!r.ok())
        return;
    Session& session = m_sessions[socket];
    session.port = quint16(port);
    session.obfuscatedPort = quint16(obfuscatedPort);
}

void RelayServer::userAddress(QTcpSocket* socket, const QByteArray& fields)
{
    WireReader r(fields);
    const QByteArray user = r.str();
    if (!r.ok())
        return;
    const QTcpSocket* peer = loggedIn(user);
    const Session session = peer ? m_sessions.value(const_cast<QTcpSocket*>(peer)) : Session();
    WireWriter reply;
    reply.str(user).u32(peer ? kLoopbackAddress : 0).i32(session.port);
    reply.u32(session.obfuscatedPort != 0 ? kObfuscated : 0).u16(session.obfuscatedPort);
    send(socket, kUserAddress, reply);
}

void RelayServer::watchUser(QTcpSocket* socket, const QByteArray& fields)
{
    WireReader r(fields);
    const QByteArray user = r.str();
    if (!r.ok())
        return;
    m_watchers[user].insert(m_sessions.value(socket).user);
    WireWriter reply;
    reply.str(user).u8(1);
    if (isLoggedIn(user)) {
        // The state, then the statistics (speed, a 64-bit count, files, folders), then the
        // country, which comes only for a user who is online.
        reply.i32(kStatusOnline).u32(0).u64(0).u32(0).u32(0).str("");
    } else {
        reply.i32(kStatusOffline).u32(0).u64(0).u32(0).u32(0);
    }
    send(socket, kWatchUser, reply);
}

void RelayServer::tellWatchers(const QByteArray& user, bool online)
{
    const QSet<QByteArray> watchers = m_watchers.value(user);
    for (const QByteArray& watcher : watchers) {
        if (QTcpSocket* socket = loggedIn(watcher)) {
            send(socket, kUserStatus,
                 WireWriter().str(user).i32(online ? kStatusOnline : kStatusOffline).u8(0));
        }
    }
}

void RelayServer::connectToPeer(QTcpSocket* socket, const QByteArray& fields)
{
    WireReader r(fields);
    const quint32 token = r.u32();
    const QByteArray user = r.str();
    const QByteArray type = r.str();
    if (!r.ok())
        return;
    QTcpSocket* target = loggedIn(user);
    if (!target) {
        send(socket, kCantConnectToPeer, WireWriter().u32(token));
        return;
    }
    const Session asker = m_sessions.value(socket);
    WireWriter request;
    request.str(asker.user).str(type).u32(kLoopbackAddress).i32(asker.port).u32(token).u8(0);
    if (asker.obfuscatedPort != 0)
        request.u32(kObfuscated).i32(asker.obfuscatedPort);
    else
        request.u32(0);
    send(target, kConnectToPeer, request);
}

void RelayServer::cantConnectToPeer(QTcpSocket*, const QByteArray& fields)
{
    WireReader r(fields);
    const quint32 token = r.u32();
    const QByteArray user = r.str();
    if (!r.ok())
        return;
    if (QTcpSocket* asker = loggedIn(user))
        send(asker, kCantConnectToPeer, WireWriter().u32(token));
}

void RelayServer::search(QTcpSocket* socket, const QByteArray& fields)
{
    WireReader r(fields);
    const quint32 token = r.u32();
    const QByteArray text = r.str();
    if (!r.ok())
        return;
    const QByteArray user = m_sessions.value(socket).user;
    const QByteArray body =
        WireWriter().u8(kDistributedSearch).u32(kSearchToAnswer).str(user).u32(token).str(text);
    const QList<QTcpSocket*> sockets = m_sessions.keys();
    for (QTcpSocket* other : sockets) {
        if (other != socket && !m_sessions.value(other).user.isEmpty())
            send(other, kDistributedMessage, body);
    }
}

QTcpSocket* RelayServer::loggedIn(const QByteArray& user) const
{
    for (auto it = m_sessions.cbegin(); it != m_sessions.cend(); ++it) {
        if (it->user == user)
            return it.key();
    }
    return nullptr;
}

void RelayServer::send(QTcpSocket* socket, quint32 code, const QByteArray& fields)
{
    socket->write(frameOf(WireWriter().u32(code).raw(fields)));
}

#include "support/FakePeer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

namespace {

constexpr int kSelfStopMs = 120000;

quint32 Rotl(quint32 k)
{
    return (k << 1) | (k >> 31);
}

// XOR with the key rotated once before every 4-byte group, byte by byte.
void Scramble(char* data, qsizetype n, quint32 key)
{
    for (qsizetype i = 0; i < n; ++i) {
        if (i % 4 == 0)
            key = Rotl(key);
        data[i] = char(quint8(data[i]) ^ quint8(key >> (8 * (i % 4))));
    }
}

} // namespace

FakePeer::FakePeer(QObject* parent) : QObject(parent)
{
    m_selfStop.setSingleShot(true);
    m_selfStop.setInterval(kSelfStopMs);
    connect(&m_selfStop, &QTimer::timeout, this, [this] {
        Close();
        if (m_server)
            m_server->close();
    });
    m_selfStop.start();
}

FakePeer::~FakePeer()
{
    for (QTcpSocket* s : std::as_const(m_sockets)) {
        s->disconnect(this);
        s->abort();
    }
}

quint16 FakePeer::Listen()
{
    if (!m_server) {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server->nextPendingConnection()) {
                ++m_acceptedCount;
                ++m_acceptedSinceWait;
                Adopt(s);
            }
        });
    }
    if (!m_server->isListening() && !m_server->listen(QHostAddress::LocalHost, 0))
        return 0;
    return m_server->serverPort();
}

quint16 FakePeer::Port() const
{
    return m_server ? m_server->serverPort() : 0;
}

bool FakePeer::WaitForConnection(int timeoutMs)
{
    const bool ok = QTest::qWaitFor([this] { return m_acceptedSinceWait > 0; }, timeoutMs);
    if (ok)
        --m_acceptedSinceWait;
    return ok;
}

bool FakePeer::ConnectTo(quint16 port, int timeoutMs, const QHostAddress& from, int receiveBuffer)
{
    auto* s = new QTcpSocket(this);
    Adopt(s);
    if (!from.isNull() && !s->bind(from, 0))
        return false;
    // Once bound the socket exists: a window this small is offered from the start.
    if (receiveBuffer > 0)
        s->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBuffer);
    s->connectToHost(QHostAddress::LocalHost, port);
    return QTest::qWaitFor([s] { return s->state() == QAbstractSocket::ConnectedState; },
                           timeoutMs);
}

void FakePeer::Adopt(QTcpSocket* socket)
{
    m_sockets.append(socket);
    m_socket = socket;
    m_in.clear();
    m_disconnected = false;
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (socket == m_socket)
            m_in += socket->readAll();
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        if (socket == m_socket)
            m_disconnected = true;
    });
}

void FakePeer::SendRaw(const QByteArray& bytes)
{
    if (m_socket) {
        m_socket->write(bytes);
        m_socket->flush();
    }
}

void FakePeer::SendFrame(const QByteArray& body)
{
    SendRaw(m_scrambled ? ScrambledFrame(body, m_nextKey++) : Frame(body));
}

void FakePeer::SendInit(const QByteArray& user, const QByteArray& type)
{
    SendFrame(InitBody(user, type));
}

void FakePeer::SendPierce(quint32 token)
{
    SendFrame(PierceBody(token));
}

bool FakePeer::TakeFrame(QByteArray* body)
{
    const qsizetype header = m_scrambled ? 8 : 4;
    if (m_in.size() < header)
        return false;
    quint32 key = 0;
    quint32 length = 0;
    if (m_scrambled) {
        key = Rotl(qFromLittleEndian<quint32>(m_in.constData()));
        length = qFromLittleEndian<quint32>(m_in.constData() + 4) ^ key;
    } else {
        length = qFromLittleEndian<quint32>(m_in.constData());
    }
    if (length > quint32(m_in.size() - header))
        return false;
    *body = m_in.mid(header, qsizetype(length));
    if (m_scrambled)
        Scramble(body->data(), body->size(), key);
    m_in.remove(0, header + qsizetype(length));
    return true;
}

bool FakePeer::WaitForFrame(QByteArray* body, int timeoutMs)
{
    return QTest::qWaitFor([this, body] { return TakeFrame(body); }, timeoutMs);
}

bool FakePeer::WaitForRaw(qsizetype n, QByteArray* bytes, int timeoutMs)
{
    if (!QTest::qWaitFor([this, n] { return m_in.size() >= n; }, timeoutMs))
        return false;
    *bytes = m_in.left(n);
    m_in.remove(0, n);
    return true;
}

bool FakePeer::WaitForDisconnected(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_disconnected || !m_socket; }, timeoutMs);
}

bool FakePeer::IsConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState && !m_disconnected;
}

void FakePeer::Close()
{
    if (m_socket)
        m_socket->close();
}

QByteArray FakePeer::U32(quint32 v)
{
    QByteArray b(4, Qt::Uninitialized);
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray FakePeer::Frame(const QByteArray& body)
{
    return U32(quint32(body.size())) + body;
}

QByteArray FakePeer::ScrambledFrame(const QByteArray& body, quint32 key)
{
    QByteArray frame = Frame(body);
    Scramble(frame.data(), frame.size(), key);
    return U32(key) + frame;
}

QByteArray FakePeer::InitBody(const QByteArray& user, const QByteArray& type)
{
    return QByteArray(1, '\1') + U32(quint32(user.size())) + user + U32(quint32(type.size())) +
           type + U32(0);
}

QByteArray FakePeer::PierceBody(quint32 token)
{
    return QByteArray(1, '\0') + U32(token);
}

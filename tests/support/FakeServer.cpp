#include "support/FakeServer.h"

#include "support/WireBytes.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include <sys/socket.h>

FakeServer::FakeServer(QObject* parent)
    : FakeServer(QHostAddress(QHostAddress::LocalHost), 0, parent)
{
}

FakeServer::FakeServer(const QHostAddress& address, QObject* parent)
    : FakeServer(address, 0, parent)
{
}

FakeServer::FakeServer(const QHostAddress& address, quint16 port, QObject* parent)
    : QObject(parent), m_listener(new QTcpServer(this))
{
    connect(m_listener, &QTcpServer::newConnection, this, &FakeServer::onNewConnection);
    m_listener->listen(address, port);

    m_lifetime.setSingleShot(true);
    connect(&m_lifetime, &QTimer::timeout, this, &FakeServer::stop);
    m_lifetime.start(kLifetimeCapMs);
}

FakeServer::~FakeServer()
{
    stop();
}

bool FakeServer::isListening() const
{
    return m_listener->isListening();
}

quint16 FakeServer::port() const
{
    return m_listener->serverPort();
}

void FakeServer::onNewConnection()
{
    while (QTcpSocket* socket = m_listener->nextPendingConnection()) {
        ++m_connectionCount;
        socket->setParent(this);
        m_waiting.append(socket);
    }
}

bool FakeServer::waitForConnection(int timeoutMs)
{
    const auto waiting = [this] { return !m_waiting.isEmpty(); };
    if (m_waiting.isEmpty() && !QTest::qWaitFor(waiting, timeoutMs))
        return false;

    if (m_client) {
        m_client->disconnect(this);
        m_client->abort();
        m_client->deleteLater();
    }
    m_input.clear();
    m_frames.clear();
    m_clientClosed = false;

    m_client = m_waiting.takeFirst();
    connect(m_client, &QTcpSocket::readyRead, this, &FakeServer::onReadyRead);
    connect(m_client, &QTcpSocket::disconnected, this, &FakeServer::onClientDisconnected);
    if (m_client->state() != QAbstractSocket::ConnectedState)
        m_clientClosed = true;
    // Bytes may have arrived between the accept and now.
    onReadyRead();
    return true;
}

bool FakeServer::hasClient() const
{
    return m_client && !m_clientClosed;
}

void FakeServer::onReadyRead()
{
    if (!m_client)
        return;
    m_input.append(m_client->readAll());
    while (m_input.size() >= 4) {
        const quint32 length = qFromLittleEndian<quint32>(m_input.constData());
        if (length > kMaxFrameLength) {
            closeClient();
            return;
        }
        if (quint64(m_input.size()) < 4 + quint64(length))
            break;
        m_frames.append(m_input.mid(4, qsizetype(length)));
        m_input.remove(0, 4 + qsizetype(length));
    }
}

void FakeServer::onClientDisconnected()
{
    m_clientClosed = true;
}

QByteArray FakeServer::nextFrame(int timeoutMs)
{
    if (m_frames.isEmpty()) {
        if (!QTest::qWaitFor([this] { return !m_frames.isEmpty() || !hasClient(); }, timeoutMs))
            return QByteArray();
        // A client that sent its last frame and closed at once still delivered that frame.
        if (m_client)
            onReadyRead();
    }
    if (m_frames.isEmpty())
        return QByteArray();
    return m_frames.takeFirst();
}

qint64 FakeServer::nextMessage(QByteArray* rest, int timeoutMs)
{
    const QByteArray body = nextFrame(timeoutMs);
    if (body.size() < 4)
        return -1;
    if (rest)
        *rest = body.mid(4);
    return qint64(qFromLittleEndian<quint32>(body.constData()));
}

void FakeServer::sendFrame(const QByteArray& body)
{
    sendRaw(frameOf(body));
}

void FakeServer::sendMessage(quint32 code, const QByteArray& fields)
{
    sendFrame(WireWriter().u32(code).raw(fields));
}

void FakeServer::sendRaw(const QByteArray& bytes)
{
    if (!m_client)
        return;
    m_client->write(bytes);
    m_client->flush();
}

void FakeServer::closeClient()
{
    if (!m_client)
        return;
    m_client->disconnect(this);
    m_client->close();
    m_client->deleteLater();
    m_client = nullptr;
    m_clientClosed = true;
}

void FakeServer::hangUp()
{
    if (!m_client)
        return;
    m_client->flush();
    ::shutdown(int(m_client->socketDescriptor()), SHUT_WR);
}

bool FakeServer::waitForClientClosed(int timeoutMs)
{
    return QTest::qWaitFor([this] { return !hasClient(); }, timeoutMs);
}

void FakeServer::stop()
{
    m_lifetime.stop();
    m_listener->close();
    closeClient();
    for (QTcpSocket* socket : std::as_const(m_waiting)) {
        socket->abort();
        socket->deleteLater();
    }
    m_waiting.clear();
}

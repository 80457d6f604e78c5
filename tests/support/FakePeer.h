#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

class QTcpServer;
class QTcpSocket;

// A peer for protocol tests: it listens on or connects to 127.0.0.1 and speaks peer frames,
// plain or scrambled, and the two first frames. Its own encoder is deliberately separate from
// the client's so that the two check each other. It stops by itself after two minutes, in case
// a test forgets it.
class FakePeer : public QObject
{
    Q_OBJECT

public:
    explicit FakePeer(QObject* parent = nullptr);
    ~FakePeer() override;

    // Listening side: binds 127.0.0.1 on a free port and returns it (0 on failure).
    quint16 Listen();
    quint16 Port() const;
    // Runs the event loop until a connection has been accepted since the last call.
    bool WaitForConnection(int timeoutMs = 5000);
    int AcceptedCount() const { return m_acceptedCount; }

    // Dialling side: connects to 127.0.0.1:port and waits until connected; from, when given, is
    // the local address to connect from (any of 127.0.0.0/8), with a receive buffer of that
    // many bytes when given too.
    bool ConnectTo(quint16 port, int timeoutMs = 5000, const QHostAddress& from = QHostAddress(),
                   int receiveBuffer = 0);

    // Frames sent and read from now on are scrambled (or plain).
    void SetScrambled(bool on) { m_scrambled = on; }
    // The key of the next scrambled frame sent; each frame after it uses the key plus one.
    void SetKey(quint32 key) { m_nextKey = key; }

    void SendRaw(const QByteArray& bytes);
    void SendFrame(const QByteArray& body);
    void SendInit(const QByteArray& user, const QByteArray& type);
    void SendPierce(quint32 token);

    // Reads the next whole frame body (descrambled when scrambled), waiting for it.
    bool WaitForFrame(QByteArray* body, int timeoutMs = 5000);
    // Reads exactly n raw bytes, waiting for them.
    bool WaitForRaw(qsizetype n, QByteArray* bytes, int timeoutMs = 5000);
    // Waits until the current connection is closed by the other side.
    bool WaitForDisconnected(int timeoutMs = 5000);
    // Bytes received on the current connection and not read yet.
    QByteArray Pending() const { return m_in; }

    bool IsConnected() const;
    QTcpSocket* Socket() const { return m_socket; }
    void Close();

    static QByteArray Frame(const QByteArray& body);
    static QByteArray ScrambledFrame(const QByteArray& body, quint32 key);
    static QByteArray InitBody(const QByteArray& user, const QByteArray& type);
    static QByteArray PierceBody(quint32 token);
    static QByteArray U32(quint32 v);

private:
    void Adopt(QTcpSocket* socket);
    bool TakeFrame(QByteArray* body);

    QTcpServer* m_server = nullptr;
    QTcpSocket* m_socket = nullptr;
    QList<QTcpSocket*> m_sockets;
    QByteArray m_in;
    bool m_scrambled = false;
    quint32 m_nextKey = 0x13572468;
    int m_acceptedCount = 0;
    int m_acceptedSinceWait = 0;
    bool m_disconnected = false;
    QTimer m_selfStop;
};

#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QHostAddress;
class QTcpServer;
class QTcpSocket;

// A scripted stand-in for the central server, for tests that drive the client over a real socket.
// It listens on 127.0.0.1 (or an address of the test's own network namespace) on a port the
// system picks, accepts the client's connections one at a time, cuts what the client sends into
// frames (u32 little-endian body length, then the body) and sends whatever frames or raw bytes
// the test gives it.
//
// Everything runs on the test's thread: the wait calls spin the event loop until their condition
// holds or the time-out passes, so the client under test keeps running meanwhile. Time-outs are
// only there to end a broken test; nothing waits for them on success.
//
// The fake stops by itself: when it is destroyed, and in any case after its lifetime cap, so a
// hung test never leaves a listening port behind.
class FakeServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultTimeoutMs = 5000;
    static constexpr int kLifetimeCapMs = 240000;
    // Frames from the client above this are treated as a broken client: the connection is closed.
    static constexpr quint32 kMaxFrameLength = 64u * 1024u * 1024u;

    explicit FakeServer(QObject* parent = nullptr);
    // Listening on another local address: the address of a test's own network namespace.
    explicit FakeServer(const QHostAddress& address, QObject* parent = nullptr);
    // On a fixed port: the real server's, inside a network namespace the test made.
    FakeServer(const QHostAddress& address, quint16 port, QObject* parent = nullptr);
    ~FakeServer() override;

    bool isListening() const;
    quint16 port() const;

    // Waits for the next client connection and makes it the current one. A previous current
    // connection is closed and its unread frames are dropped.
    bool waitForConnection(int timeoutMs = kDefaultTimeoutMs);
    bool hasClient() const;
    // Connections accepted so far (including ones not yet taken by waitForConnection).
    int connectionCount() const { return m_connectionCount; }

    // Waits for the next complete frame from the current client and returns its body (code
    // included). Returns a null QByteArray on time-out or when the client went away first.
    QByteArray nextFrame(int timeoutMs = kDefaultTimeoutMs);
    // The message code of the next frame, the rest of its body in *rest. -1 on failure.
    qint64 nextMessage(QByteArray* rest = nullptr, int timeoutMs = kDefaultTimeoutMs);
    // Frames already received and not yet taken.
    int pendingFrames() const { return m_frames.size(); }

    // Sends one frame around body, or raw bytes exactly as given, to the current client.
    void sendFrame(const QByteArray& body);
    void sendMessage(quint32 code, const QByteArray& fields = QByteArray());
    void sendRaw(const QByteArray& bytes);

    // Ends the current client connection from the server's side, as a server going away would:
    // what was already sent is delivered first, then the client sees the connection close.
    void closeClient();
    // Ends the stream towards the client (it reads the end of the connection, as after a server's
    // hang-up) but keeps listening, so that the test still sees when the client closes its end.
    void hangUp();
    // Waits until the current client has closed its end.
    bool waitForClientClosed(int timeoutMs = kDefaultTimeoutMs);

    // Stops listening and drops every connection.
    void stop();

private:
    void onNewConnection();
    void onReadyRead();
    void onClientDisconnected();

    QTcpServer* m_listener = nullptr;
    QPointer<QTcpSocket> m_client;
    QList<QTcpSocket*> m_waiting;
    QByteArray m_input;
    QList<QByteArray> m_frames;
    bool m_clientClosed = false;
    int m_connectionCount = 0;
    QTimer m_lifetime;
};

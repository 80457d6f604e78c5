#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QTimer>

class QTcpServer;
class QTcpSocket;

// A central server for several clients at once, for system tests that run whole clients against
// each other. It listens on 127.0.0.1 on a port the system picks and does what the network's
// server does for a search and a download, and nothing more:
//   - it takes every login (code 1) and the listening ports each client then reports (code 2);
//   - it answers an address request (code 3) with 127.0.0.1 and the user's ports, or with
//     address 0 and port 0 for a user who is not logged in;
//   - it answers a watch request (code 5) with the user's state, and from then on tells the
//     watcher (code 7) whenever that user logs in or drops;
//   - it passes a relayed connection request (code 18) to the named client, with the asker's
//     address and ports, and a "cannot connect" notice (code 1001) back to the asker; a request
//     for a user who is not logged in fails at once with code 1001 to the asker;
//   - it turns a search (code 26) into a distributed search (code 93) to every other client.
// Every other message is read and ignored, as a server would for requests it need not answer.
//
// A second login under a name already logged in replaces the first connection (a client that
// was killed and started again may log in before its old connection is seen to close).
//
// It stops by itself: when it is destroyed, and in any case after its lifetime cap.
class RelayServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int kLifetimeCapMs = 300000;
    // Frames from a client above this close that client's connection.
    static constexpr quint32 kMaxFrameLength = 16u * 1024u * 1024u;

    explicit RelayServer(QObject* parent = nullptr);
    ~RelayServer() override;

    bool isListening() const;
    quint16 port() const;

    // Open client connections, logged in or not.
    int connectionCount() const { return int(m_sessions.size()); }
    bool isLoggedIn(const QByteArray& user) const;

    // Stops listening and closes every connection.
    void stop();

private:
    struct Session
    {
        QByteArray input;
        QByteArray user; // empty until logged in
        quint16 port = 0;
        quint16 obfuscatedPort = 0;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void onDisconnected(QTcpSocket* socket);
    void handleMessage(QTcpSocket* socket, const QByteArray& body);

    void login(QTcpSocket* socket, const QByteArray& fields);
    void setWaitPort(QTcpSocket* socket, const QByteArray& fields);
    void userAddress(QTcpSocket* socket, const QByteArray& fields);
    void watchUser(QTcpSocket* socket, const QByteArray& fields);
    void connectToPeer(QTcpSocket* socket, const QByteArray& fields);
    void cantConnectToPeer(QTcpSocket* socket, const QByteArray& fields);
    void search(QTcpSocket* socket, const QByteArray& fields);

    // Code 7 to every client watching user.
    void tellWatchers(const QByteArray& user, bool online);
    QTcpSocket* loggedIn(const QByteArray& user) const;
    static void send(QTcpSocket* socket, quint32 code, const QByteArray& fields);
    void drop(QTcpSocket* socket);

    QTcpServer* m_listener = nullptr;
    QMap<QTcpSocket*, Session> m_sessions;
    // Watched user -> the users watching them.
    QMap<QByteArray, QSet<QByteArray>> m_watchers;
    QTimer m_lifetime;
};

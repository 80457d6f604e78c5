#pragma once

// The peer connection manager: every TCP connection between this client and other clients.
// One object at run time, split over files by concern:
//   PeerFraming.cpp     frame writer and reader, scrambling, first-frame bytes (no store)
//   PeerMessenger.cpp   store types, listeners, accepted sockets, disposal, half-minute sweeps
//   PeerHandshake.cpp   the socket reader, the first frame of a connection, hand-overs
//   PeerConnect.cpp     connection set-up to a user, direct and through the server at once
//   PeerSendQueue.cpp   sending to a user and the per-user queue of unsent messages
//   PeerMessageCodes.cpp  the names of the peer message codes

#include "peer/PeerFraming.h"
#include "store/Data.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <set>
#include <string>
#include <unordered_map>

class DataSaver;
class MemStream;
class QMetaMethod;
class QTcpSocket;

class PeerMessenger : public QObject, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    // A queue of unsent messages to one user never holds more than this; past it the oldest
    // message is dropped, so a user who never answers cannot make us hoard memory.
    static constexpr int kMaxUnsentMessagesPerUser = 1000;
    static constexpr qint64 kMaxUnsentBytesPerUser = 32 * 1024 * 1024;
    // Accepted sockets that have not sent their first frame yet, in all and from one address.
    // Past either cap a new connection is closed at once: a peer opening silent connections by
    // the thousand must not use up our descriptors.
    static constexpr int kMaxUninitializedSockets = 128;
    static constexpr int kMaxUninitializedSocketsPerAddress = 16;

    // Needs the server connection and the store types of CreateData. The engine root makes its
    // connections to the server, the timers and the store file.
    PeerMessenger();
    ~PeerMessenger() override;

    // Declares the manager's store types (PeerSchema.cpp).
    static void CreateData(DataSaver& saver);

    void DataLoaded() override;

    // Connection set-up (PeerConnect.cpp).
    void ConnectToUser(std::string user, const char* type);
    void RequestFileConnectionToUser(std::string user);
    void RequestDNetConnection(std::string user);
    int GetUserPort(ItemPtr user, bool& obfuscated);
    void InspectPeerConnectionRequest(ItemPtr request);
    void DisposeOfPeerConnectionRequest(ItemPtr request);

    // Frames (PeerHandshake.cpp). Frames the whole message and writes it in one call; false when
    // the socket reports a write error.
    bool SendMessage(QTcpSocket* socket, const MemStream& message, bool obfuscate);
    bool HandleMessage(QTcpSocket* socket, MemStream body);

    // The send queue (PeerSendQueue.cpp). A queued message is a copy of the bytes written so
    // far: the caller may reuse its stream at once.
    void SendMessage(std::string user, const MemStream& message);
    void SendUnsentMessages(std::string user);

    static QString MessageCodeToString(int code);

    void DisposeOfSocket(QTcpSocket* socket);

    // Test-only: listen on 127.0.0.1 instead of every address, and on ports the OS picks
    // instead of the configured ones. Call before DataLoaded.
    void ListenOnLoopbackForTesting() { m_loopbackForTesting = true; }
    quint16 ListeningPort() const { return m_listener.serverPort(); }
    quint16 ObfuscatedListeningPort() const { return m_obfuscatedListener.serverPort(); }


Q_SIGNALS:
    void FileConnectionRequested(std::string user, QTcpSocket* socket, uint token);
    void FileConnectionAccepted(std::string user, QTcpSocket* socket);
    void DNetConnectionRequested(std::string user, QTcpSocket* socket);
    void DNetConnectionAccepted(std::string user, QTcpSocket* socket);
    void ConnectionToUserFailed(std::string user, std::string type);

public Q_SLOTS:
    void OnNewConnection();
    void OnNewObfuscatedConnection();
    void OnAcceptError(QAbstractSocket::SocketError error);
    void OnSocketClosed();
    void OnSocketError(QAbstractSocket::SocketError error);
    void OnSocketReadyToRead();
    void EveryHalfMinute();
    void OnConnectedToServer();
    void OnIndirectPeerConnectionFailure(uint token);
    void OnConnectToPeerSocketConnected();
    void OnConnectToPeerSocketError(QAbstractSocket::SocketError error);
    void OnIndirectResponseSocketConnected();

private:
    void Accept(QTcpServer& listener, bool obfuscated);
    bool UninitializedCapReached(const QHostAddress& address) const;
    void ResumeAccepting();
    void DisposeOfSocketInner(QTcpSocket* socket);
    bool AssertNoSocketOverlap(QTcpSocket* socket);
    static void CloseOrAbort(QTcpSocket* socket);

    // Store handlers.
    void OnPeerSocketItemAdded(Item* item);
    void OnPeerSocketItemRemoved(Item* item);
    void OnUnsentMessageRemoved(Item* item);
    void OnTimedItemRemoved(Item* item);
    void OnAddressLinked(ConnectionInfo info);
    void OnPeerConnectionRequestLinked(ConnectionInfo info);
    void OnUserAddress();
    void OnPeerConnectionRequest();
    void ScheduleAddressScan();

    // Receive state and hand-over (PeerHandshake.cpp).
    SocketBufferInfo& ReceiveState(QTcpSocket* socket);
    static void EraseReceiveState(QTcpSocket* socket);
    void AwaitFileToken(QTcpSocket* socket, const std::string& user, const std::string& since,
                        qint64 sinceMs);
    // Gives up the socket: a receiver of signal owns it from now on. With none connected the
    // socket is closed and deleted, and false comes back: emit nothing then.
    bool HandOver(QTcpSocket* socket, const QMetaMethod& signal);
    bool HandleFirstFrame(QTcpSocket* socket, ItemPtr uninitialized, const QByteArray& body);
    void TouchActivity(QTcpSocket* socket);
    ItemPtr MakePeerSocket(QTcpSocket* socket, ItemPtr user, bool obfuscated);
    bool SendFrameBody(QTcpSocket* socket, const QByteArray& body, bool obfuscate);
    bool SendFrameBody(QTcpSocket* socket, const char* body, int length, bool obfuscate);
    static quint32 NewKey();

    // Times kept in the store (send_time, socket_creation_time) are local text, for whoever
    // reads the store. The age of the item that carries one is measured on the monotonic clock
    // from when it was stamped, so that setting the clock or a change of summer time neither
    // keeps an attempt or a message forever nor expires it early.
    void StampTime(ItemPtr item, const char* timeType);
    void StampTime(ItemPtr item, const char* timeType, const std::string& text, qint64 sinceMs);
    qint64 StampedMs(ItemPtr item) const;
    qint64 AgeMs(ItemPtr item, const char* timeType) const;

    // Connection set-up helpers (PeerConnect.cpp).
    void StartDirectSocket(ItemPtr request);
    void EndAttempt(ItemPtr attempt, const QString& message);
    void DropOldestUnsent(ItemPtr user);

    QTcpServer m_listener;
    QTcpServer m_obfuscatedListener;
    quint32 m_sendOrder = 0;
    bool m_loopbackForTesting = false;
    bool m_scanPending = false;
    // A listener stopped accepting after an error (out of descriptors); resumed once sockets
    // have been disposed of.
    bool m_acceptPaused = false;
    // One log line per stretch of refusals between two sweeps, not one per refused connection.
    bool m_capRefusalLogged = false;
    // Users whose address items changed since the last scan, by item id.
    std::set<uint32_t> m_addressedUsers;
    // Monotonic milliseconds at which an item's stored time was set, by item id.
    std::unordered_map<uint32_t, qint64> m_stampedMs;
};

extern PeerMessenger* peerMessenger;
extern bool g_peerMessengerDeleted;

#pragma once

#include "store/Events.h"
#include "store/MemStream.h"
#include "store/Services.h"
#include "store/SlicedJob.h"
#include "store/TCPAddress.h"
#include "store/UserStats.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>

#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>

// The client's one connection to the network's central server: the login, the frames in both
// directions, reconnection after a loss, the keep-alive, every request and the handling of every
// message the server sends. The class is split over several files by concern:
//   ServerConnection.cpp  connection state, login, framing, reconnection, keep-alive
//   ServerSchema.cpp      the store types the server connection keeps
//   ServerRequests.cpp    every request, one function per message code
//   ServerMessages.cpp    the dispatcher (code -> handler) and login, user and peer messages
//   ServerRoomMessages.cpp, ServerSearchMessages.cpp  rooms; search, wish list, distributed net
// ServerCodes.h names every message code in both directions.
class DataSaver;
class PortForwarder;
class QHostAddress;

class Server : public QObject, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    static constexpr quint16 kDefaultPort = 2242;
    // Far above anything the server really sends; a longer frame means a broken or hostile peer,
    // and nothing is allocated for it.
    static constexpr quint32 kMaxFrameLength = 64u * 1024u * 1024u;
    // A read buffer that one large message grew past this is released after that message.
    static constexpr int kKeptReadBufferBytes = 64 * 1024;
    // A login the server has not answered within this long is given up as an abrupt loss.
    static constexpr qint64 kLoginReplyTimeoutMs = 60000;

    // The engine root connects the timers (reconnection, keep-alive, the mapping renewal) and
    // the store file's data-loaded notice. The port forwarder is made last, and is ours.
    Server();
    ~Server() override;

    // Declares the store types, relations and saved types of the server connection
    // (ServerSchema.cpp).
    static void CreateData(DataSaver& saver);

    void Connect();
    void Disconnect();
    bool IsConnected() const { return m_state == StateLoggedIn; }
    bool IsAbruptlyDisconnected() const { return m_abruptlyDisconnected; }

    void SendMessage(const MemStream& message, bool force);
    void HandleMessage(int code, MemStream& stream);
    void OnConnectedToServer();
    void OnDisconnected();

    void DataLoaded() override;

    // Test-only: the next connection attempts go to 127.0.0.1 on this port instead of the
    // central server. Nothing in the program calls it.
    void UseLocalServerForTesting(quint16 port);
    // Test-only: every Server made from now on connects to address and port instead of the
    // central server; a null address goes back to the central server. Nothing in the program
    // calls it.
    static void UseEndpointForTesting(const QHostAddress& address, quint16 port);
    // Test-only: back to the state of a new Server (no connection, no partial frame, the first
    // login and the first search token still to come), for hosts that reuse one engine for
    // many runs (the fuzz targets). Nothing in the program calls it.
    void ResetForTesting();
    // The frame reader over whatever whole frames device has ready, all of them here and now:
    // the fuzzer and the benches feed it bytes directly. The socket is read in slices of the
    // turn's budget instead (store/SlicedJob.h): a frame, or a step of a message handled in
    // steps, at a time.
    void ReadFrames(QIODevice& device);

    // Requests to the server (ServerRequests.cpp). All are dropped unless logged in; their store
    // side effects happen regardless.
    void SetWaitPort(int port, int obfuscatedPort);
    void GetUserAddress(std::string user);
    void AddUser(std::string user);
    void TrackUser(std::string user);
    void UntrackUser(std::string user);
    void GetUserStatus(std::string user);
    void SendRoomChat(std::string room, std::string text);
    void EnterRoom(std::string room, bool isPrivate);
    void LeaveRoom(std::string room);
    quint32 SendIndirectConnectionRequest(std::string user, std::string type);
    void SendPrivateChat(std::string user, std::string text);
    quint32 FileSearch(std::string text, bool wishlist = false);
    void SendFilesFolders(int folders, int files);
    void GetUserStats(std::string user);
    void GetRoomList();
    void SendDNetHasParent(bool hasParent);
    void GetOwnPrivilegesStatus();
    void SendDNetCanParent(bool canParent);
    void SendUploadSpeed(int speed);
    void SendDNetLevel(int level);
    void SendDNetGroupLeader(std::string user);
    void SendChildDepth(bool depth);
    void AddPrivateRoomMember(std::string room, std::string user);
    void RemovePrivateRoomMember(std::string room, std::string user);
    void GiveUpPrivateRoomMembership(std::string room);
    void GiveUpPrivateRoom(std::string room);
    void EnablePrivateRoomAdd(bool enable);
    void AddPrivateRoomOperator(std::string room, std::string user);
    void RemovePrivateRoomOperator(std::string room, std::string user);
    void GetSearchCorrelations(std::string text);
    void SendCantConnectToPeer(unsigned int token, std::string user);

Q_SIGNALS:
    void Connecting();
    void ConnectionFailed(std::string reason);
    void Connected();
    void Disconnected();
    void SearchRequested(uint token, std::string text, bool wishlist);
    void RoomChat(std::string room, std::string user, std::string text);
    void PrivateChat(std::string user, std::string text, time_t time, bool isNew);
    void IndirectPeerConnectionFailure(uint token);
    void DNetParentMinSpeed(int speed);
    void DNetParentSpeedConnectionRatio(int ratio);
    void DNetPossibleParents(const std::list<std::pair<std::string, TCPAddress>>& parents);
    // The distributed body of code 93, from its own code byte to the end of the message.
    void DNetMessage(const QByteArray& body);
    void DNetDeliveryReport(int report);
    void DNetReset();
    void ReceivedUserStats(std::string user, UserStats stats);
    void WishListWait(uint seconds);
    void AddUserResponse(std::string user, bool exists);
    void ReceivedOwnPrivilegesStatus(int secondsLeft);
    void SearchCorrelations(std::string text);
    void PrivateRoomAddEnabled(bool enabled);

public Q_SLOTS:
    void OnConnected();
    void OnSocketError(QAbstractSocket::SocketError error);
    void OnSocketReadyToRead();
    void OnSocketClosed();
    void AttemptReconnect();
    void RenewPortMapping();
    void EveryFiveMinutes();

private:
    enum State
    {
        StateIdle = 0,
        StateConnecting = 1,
        StateLoggedIn = 2
    };

    void OnConnectionLost();
    // Ends the attempt or connection; failure, when given, is the reason ConnectionFailed carries.
    void EndConnection(const char* failure);
    void ResetFrameReader();
    void ReleaseReadBuffer();
    // Asks the port forwarder to map both listening ports (the scrambled one unless it is 0).
    void MapListeningPorts();
    void DropConnection(const QString& why);

    // Handlers of received messages, one per code (ServerMessages.cpp and neighbours).
    void OnLoginReply(MemStream& s);
    void OnUserAddress(MemStream& s);
    void OnAddUserReply(MemStream& s);
    void OnUserStatus(MemStream& s);
    void OnPeerConnectionRequest(MemStream& s);
    void OnPrivateChat(MemStream& s);
    void OnUserStats(MemStream& s);
    void OnPrivilegedUsers(MemStream& s);
    void OnOwnPrivileges(MemStream& s);
    void OnIndirectConnectionFailed(MemStream& s);

    void OnRoomChat(MemStream& s);
    void OnRoomEntered(MemStream& s);
    void OnRoomLeft(MemStream& s);
    void OnUserJoinedRoom(MemStream& s);
    void OnUserLeftRoom(MemStream& s);
    void OnRoomList(MemStream& s);
    void OnPrivateRoomMembers(MemStream& s);
    void OnPrivateRoomMemberAdded(MemStream& s);
    void OnPrivateRoomMemberRemoved(MemStream& s);
    void OnPrivateRoomMembershipGranted(MemStream& s);
    void OnPrivateRoomMembershipRevoked(MemStream& s);
    void OnPrivateRoomInvitations(MemStream& s);
    void OnPrivateRoomOperatorAdded(MemStream& s);
    void OnPrivateRoomOperatorRemoved(MemStream& s);
    void OnMadeOperator(MemStream& s);
    void OnPrivateRoomOperators(MemStream& s);

    void OnDNetParentMinSpeed(MemStream& s);
    void OnDNetParentSpeedConnectionRatio(MemStream& s);
    void OnDNetMessage(MemStream& s);
    void OnDNetPossibleParents(MemStream& s);
    void OnWishListWait(MemStream& s);
    void OnDNetDeliveryReport(MemStream& s);
    void OnDNetReset(MemStream& s);
    void OnSearchCorrelations(MemStream& s);

    // One step of the reader: a step of what an earlier message left, or one whole frame; false
    // when device holds no whole frame.
    bool ReadStep(QIODevice& device);
    bool ReadSocketStep();
    // Runs m_rest's steps to the end, unless a slice of the socket's reader runs: they are its
    // next steps then.
    void FinishRest();
    // Drops the steps a message left and the slices asked for, when a connection ends or starts.
    void StopReading();

    int m_state = StateIdle;
    QTcpSocket m_socket;
    bool m_readingBody = false;
    quint32 m_bodyLength = 0;
    // The socket's reader, and whether a slice of it runs.
    SlicedJob m_reader{[this] { return ReadSocketStep(); }};
    bool m_readingSlice = false;
    // What a message handled in steps has left: one step a call, true once it is done. The reader
    // takes no further frame before then.
    std::function<bool()> m_rest;
    quint32 m_nextSearchToken = 1;
    MemStream m_readStream;
    quint32 m_nextIndirectToken = 1;
    bool m_firstLogin = true;
    bool m_expectClose = false;
    bool m_abruptlyDisconnected = false;
    // When the current attempt started or its login went out (monotonic).
    qint64 m_attemptStartedMs = 0;

    QString m_host;
    quint16 m_port = kDefaultPort;
    std::unique_ptr<PortForwarder> m_portForwarder;
};

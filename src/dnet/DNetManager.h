#pragma once

// The client's member of the network's distributed search tree. One object at run time, split
// over files by concern:
//   DNetSchema.cpp    the store types of the tree
//   DNetManager.cpp   the server's values, the can-parent rule, candidates, adopting and losing
//                     the parent
//   DNetChildren.cpp  bodies from the parent, candidates and the server; children, their depths
//                     and the relaying of searches down the tree
//   DNetFrames.cpp    the frame reader and writer and the bodies this client builds
//
// All of the tree's state is in the store (DNetSchema.h). The sockets of the parent, the
// candidates and the children are handed over by the peer connection manager and belong to this
// manager from then on: it reads, writes, closes and deletes them.

#include "store/Data.h"
#include "store/MemStream.h"
#include "store/Services.h"
#include "store/SlicedJob.h"
#include "store/SourceAllowance.h"
#include "store/TCPAddress.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <deque>
#include <list>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

class DataSaver;
class QIODevice;
class QTcpSocket;

class DNetManager : public QObject, public DataHandler
{
    Q_OBJECT

public:
    // The longest body a connection of the tree may announce. The largest real one is a search
    // of two strings at the stream's limit (262,161 bytes); a longer or negative length closes
    // the connection before anything is read or allocated for it.
    static constexpr quint32 kMaxFrameLength = 1048576;
    // What a connection of the tree reads ahead of the frame being handled: a longest frame and as
    // much again. Beyond it the sender waits, instead of filling our memory while passes run.
    static constexpr qint64 kReadAheadBytes = 2 * qint64(kMaxFrameLength);
    // A child whose connection holds more than this, written and not yet sent, is dropped: one
    // that never reads must not make us keep every search of the tree for it.
    static constexpr qint64 kMaxChildBacklog = 1048576;
    // Children kept at once. Any peer may connect as a child; past this a child is refused as
    // one without room is, so that the tree cannot take the descriptors files and peers need.
    static constexpr int kMaxChildren = 64;
    // Parent candidates tried at once: connections being made and candidates waiting for their
    // first search. A list naming more is tried only this far; the rest of it is dropped.
    static constexpr int kMaxCandidates = 10;
    // A candidate that has sent no search this long after it connected is closed.
    static constexpr qint64 kCandidateTimeoutMs = 60000;
    // The highest level a parent may say it has. A level above it, or below -1 (none), cannot
    // be one: such a body is malformed.
    static constexpr qint32 kMaxLevel = 1000;
    // Searches (of any kind) passed down to the children a second, from all sources together, and
    // from one source (the parent, a candidate, the server), each with a second's worth to spare.
    // What a source sends past its share is still answered here but not passed on: every child
    // would get a flood, each a copy of it, and take our upload from the transfers. Other sources'
    // searches go down from the quarter left.
    static constexpr qint64 kRelayedSearchesPerSecond = 1000;
    static constexpr qint64 kRelayedSearchesPerSecondPerSource = kRelayedSearchesPerSecond * 3 / 4;

    // Which handler the bodies of a socket go to.
    enum class Side
    {
        Upstream, // the parent, a candidate, or a socket that is neither
        Child
    };

    // Needs the server connection, the peer connection manager and the schemas of the server,
    // the peer connection manager, the settings and its own (CreateData). The engine root makes
    // its connections to the server and the peer connection manager.
    DNetManager();
    // Closes and deletes the sockets still held and forgets what the store says of them.
    ~DNetManager() override;

    // Declares the store types of the tree (DNetSchema.cpp).
    static void CreateData(DataSaver& saver);
    // Test-only: deletes the sockets held and forgets the server's figures, any partial frame
    // and what it kept of candidates and children, as after building, for hosts that reuse one
    // engine for many runs (the fuzz targets); what the store says of the tree goes with the
    // store's items.
    void ResetForTesting();

    // The frame reader: the whole frames that device holds, in order, each body handed to the
    // handler of side as coming from socket, as long as the turn's budget lasts
    // (store/TurnBudget.h). A frame that is not whole yet is left unread. False once the socket
    // was closed or discarded; device is not read further then. The sockets' readyRead runs it
    // on the socket itself, and a pass cut short there goes on in a slice of the reader at a
    // later turn; the fuzzer feeds it bytes directly.
    bool ReadFrames(QIODevice& device, QTcpSocket* socket, Side side);

    // One body from a parent, a candidate or another socket, or from the server with no socket.
    void HandleMessage(QTcpSocket* socket, MemStream& body);
    // One body from a child.
    void HandleChildMessage(QTcpSocket* socket, MemStream& body);
    // Writes one frame around body to every child.
    void SendMessageToChildren(const QByteArray& body);

    void DetermineCanParent();
    void DetermineChildDepth();

Q_SIGNALS:
    // A search to answer: the searching user, the search token and the query, and the source it
    // came from (the connection it came on; 0 for the server). Receivers run to their end before
    // the search goes on down the tree.
    void DNetSearchRequest(std::string user, quint32 token, std::string query, quintptr source = 0);

public Q_SLOTS:
    // From the server connection.
    void OnDNetParentMinSpeed(int speed);
    void OnDNetParentSpeedConnectionRatio(int ratio);
    void OnDNetPossibleParents(const std::list<std::pair<std::string, TCPAddress>>& parents);
    void OnDNetMessage(const QByteArray& body);
    void OnDNetDeliveryReport(int report);
    void OnDNetReset();
    void OnConnected();

    // The shared half-minute tick: candidates past their time are closed.
    void EveryHalfMinute();

    // From the peer connection manager: a connection we asked for (a parent candidate), and one
    // a peer opened to us (a child).
    void OnDNetConnectionAccepted(std::string user, QTcpSocket* socket);
    void OnDNetConnectionRequested(std::string user, QTcpSocket* socket);

    // The parent's and the candidates' sockets.
    void OnSocketReadyToRead();
    void OnSocketError(QAbstractSocket::SocketError error);
    void OnSocketClosed();

    // The children's sockets.
    void OnChildSocketReadyToRead();
    void OnChildSocketError(QAbstractSocket::SocketError error);
    void OnChildSocketClosed();

private:
    // Where a body handled by HandleMessage came from.
    enum class Source
    {
        Server,
        Parent,
        Candidate
    };

    void OnReceivedOwnUploadSpeed(Item* item);

    // Takes over a socket handed to us: ours to delete, its signals to side's slots. The caller
    // then reads what is buffered already.
    void TakeSocket(QTcpSocket* socket, Side side);
    // Detaches our slots, closes the socket and schedules its deletion: no close handler runs.
    static void Discard(QTcpSocket* socket);

    // Whether a name, or an address and port, are this client's own: dialling it, or taking it
    // as a child, would make a loop through ourselves.
    static bool IsOwnName(const std::string& name);
    static bool IsOwnEndpoint(const TCPAddress& address);
    // Connections being made to candidates, and candidates connected.
    static int CandidatesInProgress();

    // Candidates and adoption (DNetManager.cpp).
    void RecordCandidateLevel(ItemPtr candidate, qint32 level);
    void RecordCandidateLeader(ItemPtr candidate, const std::string& leader);
    void Adopt(QTcpSocket* socket, ItemPtr candidate);

    // The bodies of HandleMessage by code (DNetChildren.cpp).
    void OnSearch(QTcpSocket* socket, Source source, MemStream& body);
    void OnLevel(QTcpSocket* socket, Source source, MemStream& body);
    void OnGroupLeader(QTcpSocket* socket, Source source, MemStream& body);
    // A frame of body to every child, the one body shared by all.
    void RelayToChildren(const QByteArray& body);
    // A search down to the children, if its source has not passed its share.
    void RelaySearch(quintptr source, const QByteArray& body);
    // Writes a frame of body to one child; a child too far behind is dropped instead, as one
    // is when what waits for it keeps the frame out of its address's part of what waits to go
    // to peers (PeerMessenger::RoomToSend). A frame that does not fit with nothing waiting for
    // the child is not sent.
    void WriteToChild(ItemPtr child, const QByteArray& body);
    // Removes a child's item, the depth no other child reports and, if the child's connection
    // made it, a user item left with nothing else.
    void ForgetChild(ItemPtr child);

    // Sockets whose pass was cut short, each read again in a slice of m_reader.
    void ReadLater(QTcpSocket* socket, Side side);
    bool ReadWaitingStep();
    bool WaitsForReader(const QTcpSocket* socket) const;

    MemStream m_readBuffer;
    std::deque<std::pair<QPointer<QTcpSocket>, Side>> m_unread;
    SlicedJob m_reader{[this] { return ReadWaitingStep(); }};
    int m_parentMinSpeed = -1;
    int m_parentSpeedRatio = -1;
    bool m_canParent = false;
    // When each candidate connected (monotonic), by its socket.
    std::unordered_map<const QTcpSocket*, qint64> m_candidateSinceMs;
    // Children whose user item was made for them, by the child item's id.
    std::unordered_set<uint32_t> m_childrenWithOwnUser;
    // Searches passed down, in thousandths of a search: a share grows by a whole number of them
    // each millisecond.
    static constexpr qint64 kRelayCost = 1000;
    static SourceAllowance RelayAllowance()
    {
        return SourceAllowance(
            {kRelayedSearchesPerSecond, kRelayedSearchesPerSecond * kRelayCost},
            {kRelayedSearchesPerSecondPerSource, kRelayedSearchesPerSecondPerSource * kRelayCost});
    }
    SourceAllowance m_relays = RelayAllowance();
};

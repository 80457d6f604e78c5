#pragma once

// The peer connection manager: every TCP connection between this client and other clients.
// One object at run time, split over files by concern:
//   PeerFraming.cpp     frame writer and reader, scrambling, first-frame bytes (no store)
//   PeerMessenger.cpp   store types, listeners, accepted sockets, disposal, half-minute sweeps
//   PeerListener.cpp    a listening port that keeps taking connections after running short
//   PeerHandshake.cpp   the socket reader, the first frame of a connection, hand-overs
//   PeerConnect.cpp     connection set-up to a user, direct and through the server at once
//   PeerBudget.cpp      what each connection is held for, and who makes room for whom
//   PeerSendQueue.cpp   sending to a user and the per-user queue of unsent messages
//   PeerOutbox.cpp      what waits to go on each connection, and the one budget of all of it
//   PeerCodec.cpp       peer messages: the table of codes, their readers and their builders
//   PeerZlib.cpp        the compressed message bodies (no store)

#include "peer/PeerFraming.h"
#include "peer/PeerListener.h"
#include "peer/PeerOutbox.h"
#include "peer/ShareListReader.h"
#include "store/Data.h"
#include "store/FileInfo.h"
#include "store/MemStream.h"
#include "store/Services.h"
#include "store/TimerManager.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

class DataSaver;
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
    // The connection budget (PeerBudget.cpp). Every connection this manager holds, whoever
    // opened it and whatever it is yet (being opened, not introduced, waiting for its file
    // token, messaging), counts from the moment it is taken or opened against these:
    //   kMaxPeerSockets in all, and kMaxPeerSocketsPerAddress with one address (ours to it too);
    //   of those, kMaxUninitializedSockets that peers opened and have not introduced yet,
    //   and kMaxPeerSocketsAtPeersRequest opened at a peer's request or for what a peer caused.
    // When one of them is full, a connection our user asks for closes another (see Holder);
    // anyone else's closes one only at an address that holds at least two more of what is full
    // than its own, so that a party holding many ties up its own and never the peer with one
    // connection, or one of ours idle for kIdleBeforeMakingRoomMs; otherwise it is refused, as
    // an accepted connection is closed at once. Whatever names and addresses a party has, it
    // holds at most kMaxPeerSockets of our descriptors through this manager,
    // kMaxPeerSocketsAtPeersRequest of them at its requests, and never one our user asks for.
    // Handed-over connections leave the budget for their owners': the distributed network keeps
    // at most its children's cap, the transfers one file connection per transfer under way.
    static constexpr int kMaxUninitializedSockets = 128;
    static constexpr int kMaxPeerSockets = 256;
    static constexpr int kMaxPeerSocketsPerAddress = 16;
    static constexpr int kMaxPeerSocketsAtPeersRequest = kMaxPeerSockets / 2;
    // A messaging connection of ours with nothing to write makes room for another of ours at
    // once, and for anyone else's after this long without a word either way; but not while
    // its user owes our user a reply, for at most kReplyDueMs after the request (as long as a
    // connection may stay silent).
    static constexpr qint64 kIdleBeforeMakingRoomMs = 30000;
    static constexpr qint64 kReplyDueMs = 120000;
    // A messaging connection our user asks for when there is no room waits for it, behind those
    // asked for before, and is dialled when room comes (a connection goes or is handed over, one
    // has written all it had, the half-minute sweep). At most kMaxWaitingForRoom wait; past it
    // one fails at once.
    static constexpr int kMaxWaitingForRoom = 4 * kMaxPeerSockets;
    // How soon a listener stopped by a shortage of descriptors tries again: what ran short may
    // be files or other connections, whose closing nothing here hears of.
    static constexpr int kAcceptRetryMs = 1000;
    // What may wait for one peer: the bytes its socket has not sent yet and those queued for
    // the user while unconnected. A message that would take it past this closes that
    // connection, and is dropped, so that a peer which never reads cannot make us keep every
    // reply due to it. The first message on an idle connection passes whatever its size.
    static constexpr qint64 kMaxPendingBytesPerSocket = 32 * 1024 * 1024;
    // What waits to go to all peers together keeps within one budget (SendBudget, by address):
    // the replies of the shared-folder manager wait their turn for room in it; a message that
    // answers what a peer did and does not fit its address's part is dropped, and one that
    // does not fit in all closes the connection with most waiting at the address holding most,
    // if that holds more than the message's would. Our user's own messages always go.
    // The scrambled listener takes the plain port plus one, so the plain port stops one short of
    // the last port there is. A stored port above this, below 0 (the system picks a port for 0,
    // as tests store it) or not a number is dropped when the data is loaded, for the default:
    // the listener would take it cut to 16 bits while the server was told it whole.
    static constexpr int kMaxListeningPort = 65534;

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

    // Peer messages (PeerCodec.cpp). Each builder sends one message to the user, queued while
    // no messaging connection to the user is open.
    void GetUserSharedFiles(std::string user);
    void QueueDownload(std::string user, std::string file);
    // Returns the transfer token it sent, taken from the saved request counter.
    quint32 RequestUpload(std::string user, std::string file, qint64 size);
    // Allowing an offer makes the file connection that follows, if the peer asks us through
    // the server to open it, one of ours: one for each token allowed and not yet used, withdrawn
    // when the download takes another offer's token instead, and forgotten after
    // kFileConnectionDueMs.
    void AcceptTransferRequest(std::string user, quint32 token, bool hasSize, qint64 size);
    void WithdrawFileConnection(const std::string& user, quint32 token);
    void DenyTransferRequest(std::string user, quint32 token, std::string reason);
    void DenyUpload(std::string user, std::string file, std::string reason);

    // Who answers a share-list request (code 4): the shared-folder manager installs a hook that
    // hears of each one and sends the reply in its turn (SendReply). This library does not link
    // the shares, so the hook is the one way in. Without a hook nobody is answered.
    using ShareListHook = std::function<void(const std::string& user)>;
    void SetShareListHook(ShareListHook hook) { m_shareListHook = std::move(hook); }
    // A reply the shared-folder manager has made room for: sent as a message is, but never
    // copied for the connection it goes on (the same list may go to many users), nor dropped
    // for the budget, which its turn has been weighed against.
    void SendReply(std::string user, const QByteArray& message);
    // Drops the message from the user's queue of unsent messages, where it waits for a
    // connection (the same bytes, not a copy).
    void WithdrawUnsent(const std::string& user, const QByteArray& message);
    // What waits to go to peers, in all and by address.
    SendBudget& WaitingToGo() { return m_waitingToGo; }
    // Makes room in the budget for bytes to the address (block: what they are, when held
    // already), closing the connection with most waiting at the address holding most, as long
    // as that holds more than the address would; whether they fit then. forWhom goes in the log.
    bool RoomToSend(quint32 address, const void* block, qint64 bytes, const QString& forWhom);
    // How long the system has had data to send to the user over its messaging connections open
    // now, and how much of that time the peer's receive window held it back (microseconds,
    // summed; both 0 where the system does not tell).
    struct SendingTimes
    {
        qint64 busyUs = 0;
        qint64 windowShutUs = 0;
    };
    SendingTimes SendingTimesTo(const std::string& user) const;
    // Who keeps a share list read from a user (code 5): the shared-folder manager installs a
    // hook that takes it as it came, right after UserShare is emitted.
    using ReceivedListHook =
        std::function<void(const std::string& user, std::shared_ptr<const ReceivedShareList> list)>;
    void SetReceivedListHook(ReceivedListHook hook) { m_receivedListHook = std::move(hook); }
    // Whether the shared-folder manager owes the user a reply not all out yet (a folder's
    // contents waiting their turn): a peer waits for one in silence, so its messaging
    // connections are not idle meanwhile, as long as all we sent on them was acknowledged.
    using ReplyOwedHook = std::function<bool(const std::string& user)>;
    void SetReplyOwedHook(ReplyOwedHook hook) { m_replyOwedHook = std::move(hook); }
    // A share list that inflates to more than this is read off this thread (see
    // ShareListReader.h); its connection's later messages wait for it.
    static constexpr qsizetype kInlineShareListBytes = 4 * 1024 * 1024;
    // What a connection waiting for its share list to be read takes in meanwhile, at most; the
    // peer's further bytes wait in the system's buffers.
    static constexpr qint64 kMaxPausedReadBytes = 1024 * 1024;
    // Test-only: another size for that.
    void SetInlineShareListBytesForTesting(qsizetype bytes) { m_inlineShareListBytes = bytes; }
    // Waits for the share lists being read and hands them on here and now.
    void WaitForShareLists();
    // Test-only: while held, share lists taken for reading wait, their connections paused.
    void HoldShareListReadsForTesting(bool hold);
    // What waits to go to a user: queued messages, bytes its messaging connections have not
    // written yet, and what the system holds of theirs that the peer has not acknowledged.
    // Replies that other users can ask for again and again keep under a cap of it.
    qint64 BytesQueuedTo(const std::string& user) const;
    // What has left this host for the user over its messaging connections open now: written and
    // acknowledged by the peer. It grows as the peer reads, whatever our own queue holds, and
    // drops only when a connection goes.
    qint64 BytesDepartedTo(const std::string& user) const;
    // Whether the message last sent to the user has gone out of this process since: the bytes
    // the connection it went on had left to write, or the messages queued for the user while
    // unconnected. gone, when given, is called once the connection has written them.
    std::function<bool()> WatchLastSent(const std::string& user,
                                        std::function<void()> gone = nullptr);

    void DisposeOfSocket(QTcpSocket* socket);

    // Whom a connection is held for (PeerBudget.cpp). When room is needed for one of ours, the
    // connections opened at peers' requests go first, then those of the addresses holding the
    // most that peers opened, then ours that have been idle longest (not one our user waits on
    // for a reply), then the rest that peers opened while ours hold fewer than half of all; the
    // oldest first within each, one under the name of the user being reached last.
    // For anyone else's, one of an address that holds two more than the newcomer's, else ours
    // idle for kIdleBeforeMakingRoomMs.
    enum class Holder
    {
        Ours,           // asked for by our user, a download of ours or an upload under way
        AtPeersRequest, // a relayed request, or sent only what a peer caused (answers, offers)
        Accepted,       // opened by a peer to us and introduced as a messaging connection
        Silent,         // opened by a peer to us, not introduced yet or its file token not sent
    };
    // How many connections are held in all, or for one holder.
    int HeldCount() const { return int(HeldConnections().size()); }
    int HeldCount(Holder holder) const;

    // Test-only: listen on 127.0.0.1 instead of every address, and on ports the OS picks
    // instead of the configured ones, which are then the ports the server is told after a
    // login. Call before DataLoaded.
    void ListenOnLoopbackForTesting() { m_loopbackForTesting = true; }
    // Test-only: drops every socket and every note kept beside the store, as after building,
    // for hosts that reuse one engine for many runs (the fuzz targets). The listeners keep
    // their ports, on 127.0.0.1 also through the next DataLoaded.
    void ResetForTesting();
    quint16 ListeningPort() const { return m_listener.Port(); }
    quint16 ObfuscatedListeningPort() const { return m_obfuscatedListener.Port(); }
    // Test-only: the timer that ticks while a listener is stopped, to fire without waiting.
    SharedTimer* AcceptRetryTimerForTesting() { return &m_acceptRetry; }

Q_SIGNALS:
    void FileConnectionRequested(std::string user, QTcpSocket* socket, uint token);
    void FileConnectionAccepted(std::string user, QTcpSocket* socket);
    void DNetConnectionRequested(std::string user, QTcpSocket* socket);
    void DNetConnectionAccepted(std::string user, QTcpSocket* socket);
    void ConnectionToUserFailed(std::string user, std::string type);
    // The user's last messaging connection went.
    void MessagingConnectionsClosed(std::string user);

    // One per message received on a messaging connection; user is always the connection's.
    // Arguments are values (or const references), so receivers on other threads can take them.
    void UserShare(std::string user, const FileInfoMap& folders,
                   const AttributeTranslationTable& attributes);
    void SearchResults(ItemPtr results);
    void SharedFilesInFolderRequested(std::string user, quint32 token, std::string folder);
    void FileTransferRequested(std::string user, int direction, uint token, std::string file,
                               qint64 size);
    void FileTransferResponse(std::string user, uint token, bool allowed, bool hasSize, qint64 size,
                              std::string reason);
    void QueueUploadRequested(std::string user, std::string file);
    void DownloadPlaceInLine(std::string user, std::string file, uint place);
    void UploadFailed(std::string user, std::string file);
    void UploadDenied(std::string user, std::string file, std::string reason);

public Q_SLOTS:
    void OnNewConnection(QTcpSocket* socket);
    void OnNewObfuscatedConnection(QTcpSocket* socket);
    void OnAcceptError(const QString& reason);
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
    void Accept(QTcpSocket* s, bool obfuscated);

    struct Held
    {
        QTcpSocket* socket = nullptr;
        const char* itemType = nullptr; // the store type that keeps it
        Holder holder = Holder::Ours;
        quint32 address = 0;
        qint64 sinceMs = 0;   // taken, or last active for ours
        std::string user;     // empty while not known
        char type = 0;        // 'P', 'F' or 'D'; 0 while not known
        bool idle = false;    // ours: a messaging connection with nothing left to write
        bool awaited = false; // ours: its user owes our user a reply
    };
    std::vector<Held> HeldConnections() const;
    // Takes one more connection for holder with address (0: not known yet) into the budget,
    // making room as the rules above allow, each connection closed logged with whom it made
    // room for (newcomer). Returns why it does not fit, or nothing when it does.
    QString Admit(Holder holder, quint32 address, const std::string& user, const QString& newcomer);
    QString DescribeHeld(const Held& held, int fromAddress) const;
    // Whether a connection to the address must not be opened now, for ours or a peer's
    // request: Admit, then the descriptors. The first refusal of each kind between two sweeps
    // is logged, with the user it was for.
    bool OpeningRefused(const QHostAddress& address, const std::string& user, Holder holder);
    // Connections opened at a peer's request carry when they were opened (monotonic ms) in this
    // property; one that starts to serve our user loses the mark.
    static constexpr char kForPeerSince[] = "qv_for_peer_since";
    static void MarkForPeer(QTcpSocket* socket, bool forPeer);
    static bool ForPeer(const QTcpSocket* socket);
    // The messaging connection that serves our user from now on is ours, whoever opened it, and
    // the only one of its user's that is: another that was goes back to whoever it was held for
    // before (the peer that opened it, or the peer's requests when we dialled it).
    void MarkOurs(ItemPtr peerSocket);
    // Whether our user waits on a reply on the messaging connection (a share list asked for on
    // it, not come yet, for kReplyDueMs after it went), as noted when a message goes on it.
    bool ReplyDueOn(ItemPtr peerSocket) const;
    static void NoteReplyAsked(QTcpSocket* socket, const char* message, qsizetype length);
    // Who a messaging connection to the user is for, by what waits to go on it.
    static Holder MessagingHolder(ItemPtr user);
    // Relayed file connections from the user that are ours and not yet handed over.
    int FileConnectionsOfOursFrom(const std::string& user) const;
    // What waits in the user's queue: nothing, only answers to what the peer did, or something
    // our user or a transfer asked for.
    enum class Waiting
    {
        Nothing,
        Answers,
        Ours
    };
    static Waiting WhatWaitsFor(ItemPtr user);
    static bool ServesOurUser(const char* message, qsizetype length);
    // The connection a message to a user goes on, of its sockets (not empty): one known to lead
    // to the user (dialled at the address the server gave, or answering our relayed request),
    // the one our user's requests go on first, else the latest opened; the latest opened of any
    // when none is known. The choice logged or not.
    ItemPtr ChosenSocket(const ItemSet& sockets, bool logged) const;
    // The socket's receive state when it has one; none is made.
    static const SocketBufferInfo* FindReceiveState(const QTcpSocket* socket);
    // Drops the connection and the message when what waits for the peer would pass its cap, or
    // an answer (a message that answers what a peer did) would not fit the budget with what
    // waits on the connection; an answer that does not fit with nothing waiting is dropped
    // alone.
    bool PendingCapReached(QTcpSocket* socket, ItemPtr user, qint64 frameBytes, bool answer);
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
    // Whether the socket is a messaging connection to a user whose share list we asked for,
    // the one message whose frame may pass kMaxPeerFrameLength.
    bool ShareListAsked(QTcpSocket* socket) const;
    void TouchActivity(QTcpSocket* socket);
    static qint64 LastActivityMs(ItemPtr peerSocket);
    struct ActivityTime;
    // What the system still holds of what was written to the socket: not sent, or not
    // acknowledged by the peer.
    static qint64 KernelUnsent(const QTcpSocket* socket);
    // What has left this host on a messaging connection since it opened.
    static qint64 Departed(ItemPtr peerSocket);
    ItemPtr MakePeerSocket(QTcpSocket* socket, ItemPtr user, bool obfuscated);
    // A frame of body on the socket, through its outbox when it has one (a messaging
    // connection); shared: the body is a reply, not copied (see SendReply).
    bool SendFrameBody(QTcpSocket* socket, const QByteArray& body, bool obfuscate,
                       bool shared = false);
    bool SendFrameBody(QTcpSocket* socket, const char* body, int length, bool obfuscate);
    // What waits on the socket in this process: its buffer and its outbox.
    static qint64 WaitingOn(const QTcpSocket* socket);
    // The message to the user, queued while unconnected; reply: from SendReply.
    void Send(const std::string& user, const QByteArray& message, bool reply);
    // Whether a message that answers what a peer did fits the budget, room made as RoomToSend
    // does; one that does not is logged, when logged, once between two sweeps.
    bool AnswerFits(const std::string& user, quint32 address, qint64 bytes, bool logged = true);
    bool m_answerDropLogged = false;
    static quint32 NewKey();

    // Times kept in the store (send_time, socket_creation_time) are local text, for whoever
    // reads the store. The age of the item that carries one is measured on the monotonic clock
    // from when it was stamped, so that setting the clock or a change of summer time neither
    // keeps an attempt or a message forever nor expires it early.
    void StampTime(ItemPtr item, const char* timeType);
    void StampTime(ItemPtr item, const char* timeType, const std::string& text, qint64 sinceMs);
    qint64 StampedMs(ItemPtr item) const;
    qint64 AgeMs(ItemPtr item, const char* timeType) const;

    // Peer messages (PeerCodec.cpp). A reader gets the fields after the code and returns false
    // when the connection must be disposed of.
    using MessageReader = bool (PeerMessenger::*)(const std::string& user, MemStream& fields);
    struct MessageKind
    {
        quint32 code;
        const char* name;
        MessageReader read; // null: not read here
    };
    static const MessageKind* FindMessageKind(quint32 code);
    bool HandlePeerMessage(QTcpSocket* socket, MemStream& body);
    bool ReadSharedFileListRequest(const std::string& user, MemStream& fields);
    bool ReadSharedFileList(const std::string& user, MemStream& fields);
    // What a share list came to, told and handed on; whether its connection stays. cap is what
    // it was inflated within.
    bool DeliverShareList(const std::string& user, ShareListRead& read, qsizetype cap);
    void OnShareListRead(QTcpSocket* socket, const std::string& user, ShareListRead& read);
    // Logs that the user's lists are dropped, once between two sweeps.
    void DropShareList(const std::string& user, const QString& why);
    // Reads the socket's frames until it has none ready, is paused or goes.
    void ReadSocket(QTcpSocket* socket);
    bool ReadSearchReply(const std::string& user, MemStream& fields);
    void StoreSearchReply(const std::string& user, ItemPtr request,
                          const std::vector<FileInfo>& files, quint8 freeSlot, quint32 speed,
                          quint32 queued);
    bool ReadFolderContentsRequest(const std::string& user, MemStream& fields);
    bool ReadTransferRequest(const std::string& user, MemStream& fields);
    bool ReadTransferResponse(const std::string& user, MemStream& fields);
    bool ReadQueueUpload(const std::string& user, MemStream& fields);
    bool ReadPlaceInLine(const std::string& user, MemStream& fields);
    bool ReadUploadFailed(const std::string& user, MemStream& fields);
    bool ReadUploadDenied(const std::string& user, MemStream& fields);

    // Connection set-up helpers (PeerConnect.cpp). Every connection we open is dialled here,
    // and the address it was sent to is its address from then on, connected or not.
    static void Dial(QTcpSocket* socket, const QHostAddress& address, quint16 port);
    static QHostAddress AddressOf(const QTcpSocket* socket);
    // Whether we opened the socket.
    static bool Dialled(const QTcpSocket* socket);
    // Sends the relayed request and dials, or asks the server for the address first.
    void StartAttempt(ItemPtr user, ItemPtr type);
    void StartDirectSocket(ItemPtr request);
    // Starts the attempts waiting for room, in order, while there is room.
    void AdmitWaiting();
    void ScheduleRoomCheck();
    void EndAttempt(ItemPtr attempt, const QString& message);
    void DropOldestUnsent(ItemPtr user);

    PeerListener m_listener;
    PeerListener m_obfuscatedListener;
    quint32 m_sendOrder = 0;
    bool m_loopbackForTesting = false;
    bool m_scanPending = false;
    // A listener stopped accepting after an error (out of descriptors); resumed once sockets
    // have been disposed of, and tried again at each tick of the retry timer meanwhile.
    bool m_acceptPaused = false;
    SharedTimer m_acceptRetry{kAcceptRetryMs};
    // One log line per stretch of refusals (or of failures to accept) between two sweeps, not
    // one per refused connection.
    bool m_acceptFailureLogged = false;
    bool m_capRefusalLogged = false;
    bool m_openingRefusalLogged = false;
    bool m_peerOpeningRefusalLogged = false;
    bool m_waitingFullLogged = false;
    // Users our user's messaging connections wait for room to, in the order asked.
    std::deque<std::string> m_waitingForRoom;
    bool m_roomCheckPending = false;
    // Messaging connections whose first frame made their user's item, by the peer_socket
    // item's id: that item goes with the connection when nothing else holds on to it.
    std::set<uint32_t> m_peerSocketsWithOwnUser;
    // Messaging connections a peer opened and introduced on its own, by the peer_socket item's
    // id, with when they were accepted (monotonic milliseconds) and whether our user's requests
    // go on it now.
    struct AcceptedSocket
    {
        qint64 sinceMs = 0;
        bool ours = false;
    };
    std::map<uint32_t, AcceptedSocket> m_acceptedPeerSockets;
    // File connections peers may ask us through the server to open for downloads of ours: the
    // tokens allowed and not used yet, by user, with when each was allowed (monotonic ms).
    static constexpr qint64 kFileConnectionDueMs = 120000;
    std::map<std::string, std::map<quint32, qint64>> m_fileConnectionsDue;
    // Users whose address items changed since the last scan, by item id.
    std::set<uint32_t> m_addressedUsers;
    // Monotonic milliseconds at which an item's stored time was set, by item id.
    std::unordered_map<uint32_t, qint64> m_stampedMs;

    // Before anything that may hold a connection's outbox.
    SendBudget m_waitingToGo;
    ShareListHook m_shareListHook;
    // Users asked for their share list (GetUserSharedFiles) who have not sent one since, with
    // when they were last asked (monotonic ms): a list is taken from these alone, so nobody can
    // push lists we never asked for.
    std::map<std::string, qint64> m_shareListsAsked;
    // Users whose dropped lists were logged since the last sweep.
    std::set<std::string> m_shareListDropsLogged;
    bool m_shareListReadsHeld = false;
    ReceivedListHook m_receivedListHook;
    ReplyOwedHook m_replyOwedHook;
    qsizetype m_inlineShareListBytes = kInlineShareListBytes;
    // The connection whose message is being handled.
    QTcpSocket* m_messageSocket = nullptr;
    // Last, so that its threads stop before anything they could hand results to goes.
    std::unique_ptr<ShareListReader> m_shareListReader;
};

extern bool g_peerMessengerDeleted;

#pragma once

// What other users ask of our shares besides searches, answered in turn: a folder's contents
// (code 37) and our share list (code 5). Both go through the one queue here and the one budget
// of what waits to go to peers (SendBudget, PeerOutbox.h).

#include "store/SlicedJob.h"
#include "store/TimerManager.h"
#include "store/WorkerThread.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class Item;
class SendBudget;
class Type;

// Replies under way, by user and what was asked (a folder, or the list), and the worker that
// makes folders' replies. A reply is pending from the request until its bytes have gone out of
// this process: a peer asking for one folder or the list in a loop costs one reply, and one that
// never reads gets no more than kMaxPendingPerPeer of them. Everything of a user goes with the
// user's last messaging connection, the work queued for it too.
//
// A request waits (held, pending too) until its reply fits beside what waits to go to its user
// (kMaxQueuedBytesPerPeer), beside the replies under way (kMaxRepliesUnderWay, of which one
// address holds at most kMaxRepliesUnderWayPerAddress) and within the budget of what waits to go
// to peers, in all and with its address: copied out of the store, made, or sent and not out of
// this process yet. A reply frees its room the moment its last byte is written; a share list
// sent to many users is held once. Waiting requests take turns by address, the address served
// longest ago first; the first in turn is not overtaken.
//
// While requests wait for room, a reply sent gives its room to them when its reader keeps it
// back: when the system has held the reply back by the peer's receive window more than half the
// time it had some of it to send over kJudgedOverMs, or when nothing of it has gone out for
// kMaxUnreadMs. A reply held back by the link, however slow, is never cut for it. And a request
// from an address holding fewer replies under way than another by two takes the room of one of
// that address's replies. A cut reply's user loses its messaging connections (what was sent
// cannot be taken back otherwise) and its request waits again in its place, answered when its
// turn comes on a connection of ours without being asked again; cut a second time, it is
// forgotten. In all: to keep a slot from those waiting, a party reads what the link carries.
//
// A folder's names are copied only for a reply that goes, a slice at a time, then made and
// compressed on the worker, kMaxRepliesBeingMade at a time. The peer has no way of hearing
// "later", and an empty folder would be a lie, so a request is answered late rather than not at
// all: only past kMaxHeldRequests is one left unanswered, as if the folder were not there.
class PeerReplies : public QObject
{
public:
    // Whether a reply sent has gone out whole.
    using Gone = std::function<bool()>;
    // The folder item of the local path when the user may see it, else null.
    using VisibleFolder =
        std::function<const Item*(const std::string& user, const std::string& local)>;
    // Our share list as the user may see it: the message handed to made on this thread once
    // made (empty when making it failed), the same message for every user who sees the same.
    using ShareList = std::function<void(const std::string& user,
                                         std::function<void(const QByteArray& message)> made)>;

    static constexpr int kMaxPendingPerPeer = 16;
    // What may wait to go to one peer, counted with the reply about to be made (by its body).
    // A reply larger than this goes once nothing else waits for its peer.
    static constexpr qint64 kMaxQueuedBytesPerPeer = qint64(8) * 1024 * 1024;
    // Replies under way, of all users together, and one address's part of them. Making a
    // folder's reply holds about three times its body for a moment (the copy, the body and
    // zlib's output), so few are made at once. A reply larger than the budget's room goes once
    // nothing else is under way, or nothing else of its address.
    static constexpr int kMaxRepliesUnderWay = 16;
    static constexpr int kMaxRepliesUnderWayPerAddress = 4;
    static constexpr int kMaxRepliesBeingMade = 2;
    // Requests waiting, of all users together: every messaging connection there may be
    // (PeerMessenger::kMaxPeerSockets) with its kMaxPendingPerPeer.
    static constexpr int kMaxHeldRequests = 4096;
    // How long a reply sent is watched before it is judged, and again after each judgement.
    static constexpr qint64 kJudgedOverMs = 10000;
    static constexpr qint64 kMaxUnreadMs = 30000;
    static constexpr int kRetryMs = 1000;
    // Files a step of the copying looks at.
    static constexpr size_t kFilesAStep = 2048;

    PeerReplies(VisibleFolder visible, ShareList list);
    ~PeerReplies() override;

    // A request of the user, who may see the folder (local, its store path) now: answered when
    // its turn comes, a repeat meanwhile answered by the same reply.
    void Request(const std::string& user, quint32 token, const std::string& folder,
                 const std::string& local);
    // The user asks for our share list.
    void RequestList(const std::string& user);
    // Forgets everything of the user: held requests, replies being copied, made and sent.
    void ForgetUser(const std::string& user);
    // Ticks while a request is held.
    SharedTimer* RetryTimer() { return &m_retry; }

    // What all users together have under way and waiting, and what waits to go to peers in all.
    struct Totals
    {
        int held = 0;
        int beingMade = 0;
        int underWay = 0;
        qint64 bytesWaitingToGo = 0;
    };
    Totals Load() const;
    // Whether anything the user asked for waits or is under way.
    bool Owes(const std::string& user) const { return m_pending.count(user) > 0; }

private:
    enum class State
    {
        Held,
        Copying,
        Making,
        Sent
    };
    struct Entry
    {
        State state = State::Held;
        bool list = false;
        quint32 token = 0;
        std::string folder; // as the peer wrote it, echoed in the reply
        quint64 id = 0;     // which request, and the order they came in
        quint32 address = 0;
        // The reply's body: at least this, and exactly once its names have been counted.
        qint64 bodyBytes = 0;
        bool counted = false;
        bool userRoomLogged = false;
        qint64 charged = 0; // what it holds in the budget while copied or made
        WorkerThread::Ticket ticket = 0;
        // Once sent: the message, whether it has left this process, what had left the host for
        // its user when last looked at, and since when none of it has (Clock::MonotonicMs).
        QByteArray message;
        Gone gone;
        qint64 departedSeen = 0;
        qint64 unreadSinceMs = 0;
        // Since when it is watched, the system's sending times then, and the share of the last
        // watch that its reader's window held it back (per mille, -1 before one).
        qint64 judgedFromMs = -1;
        qint64 busyFromUs = 0;
        qint64 shutFromUs = 0;
        int shutPerMille = -1;
        qint64 sentMs = 0;
        // How often its reply was cut and the request made to wait again.
        int cuts = 0;
    };
    using Requests = std::map<std::string, Entry>; // by local folder, "" for the list
    struct Copy;

    Entry* Find(const std::string& user, const std::string& local, quint64 id);
    // Takes a new request of the user's into the queue, or says why not; null then.
    Entry* Take(const std::string& user, const std::string& local, const QString& what);
    // Drops the entry with its work, its copy, and its message where it waits for a connection.
    void Erase(const std::string& user, const std::string& local);
    void Withdraw(const std::string& user, Entry& entry);
    // Adds the entry to the totals (sign 1) or takes it out (-1), and to its address's.
    void Account(Entry& entry, int sign);
    void CountFrom(quint32 address, int sign);
    void SetState(Entry& entry, State state, qint64 charged);
    // What waits to go to the user and the user's replies being made.
    qint64 WaitingFor(const std::string& user, const Requests& requests) const;
    bool FitsUser(const Entry& entry, qint64 waiting) const;
    bool FitsAddress(const Entry& entry) const;
    bool FitsTotal(const Entry& entry) const;
    // Lets go of replies gone out, and watches how the others go.
    void ForgetGone();
    void Judge(const std::string& user, Entry& entry, qint64 now);
    // Lets go of replies gone out, and starts the next one when its turn has come.
    void Admit();
    void AdmitFirstInTurn();
    void Start(const std::string& user, const std::string& local, Entry& entry);
    // The reply sent that gives way to those waiting, or null.
    const Entry* GivingWay(const std::string** user, QString* why) const;
    // Closes the user's messaging connections and puts the replies sent on them back among the
    // held requests, each in its place (forgotten when cut before).
    void Requeue(const std::string& user);
    bool CopyStep();
    // The copy's folder is gone or no longer shared with its user: no reply.
    bool NotShared();
    // The reply made: sent, then the next in turn started; Dispatch only sends it.
    void Made(const std::string& user, const std::string& local, quint64 id,
              const QByteArray& message);
    void Dispatch(const std::string& user, const std::string& local, quint64 id,
                  const QByteArray& message);
    // A tick while requests wait: those that fit go, and a reply kept back makes room.
    void Retry();
    SendBudget& Budget() const;

    VisibleFolder m_visible;
    ShareList m_list;
    Type* m_folderType;
    Type* m_fileType;
    Type* m_nameType;
    Type* m_sizeType;
    std::map<std::string, Requests> m_pending;
    Totals m_totals;
    // The addresses with requests, held or under way: when one of theirs last went, their
    // replies under way, and whether one of theirs was logged waiting for its part.
    struct Address
    {
        int entries = 0;
        quint64 lastTurn = 0;
        int underWay = 0;
        bool partLogged = false;
    };
    std::map<quint32, Address> m_addresses;
    quint64 m_lastId = 0;
    quint64 m_lastTurn = 0;
    // The user whose connections a cut closes: its requests stay when they go.
    std::string m_requeueing;
    // Whether the one first in turn waits for room, which address it is of, and whether that
    // was logged since nothing waited; whether a request was left unanswered since nothing
    // waited.
    bool m_waitingForRoom = false;
    quint32 m_waitingAddress = 0;
    bool m_roomLogged = false;
    bool m_refusalLogged = false;
    bool m_admitDue = false;
    SharedTimer m_retry{kRetryMs};
    // Without peer messaging (a host built without it), what would wait to go is counted here.
    std::unique_ptr<SendBudget> m_ownBudget;
    std::unique_ptr<Copy> m_copy;
    SlicedJob m_copying{[this] { return CopyStep(); }};
    // Last, so that it stops before what its hand-backs use goes.
    WorkerThread m_worker;
};

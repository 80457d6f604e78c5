#pragma once

// The records and the reply store of the share messages other users ask for: our share list
// (code 5) and a folder's contents (code 37).

#include "store/FileInfo.h"
#include "store/MemStream.h"
#include "store/SlicedJob.h"
#include "store/TimerManager.h"
#include "store/WorkerThread.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class Item;
class ItemSet;
class Type;

// Our share list's body (code 5), written a step at a time: the folders under the roots a
// requester may see, in the order of the keys they are listed under, each with its files in set
// order. While nothing the list shows changes, it writes the bytes a build in one go writes. The
// folders' keys, and a key's files, are read, sorted and written a couple of thousand at a time.
// Each folder is listed as it was at one moment: a key whose files are being read when the share
// changes is read again in one go. A folder that no longer lies under the roots by its turn is
// left out, and the count of folders is written last.
class ShareListWriter
{
public:
    // generation is read at each step: while it stands still, nothing a list shows changed.
    ShareListWriter(const ItemSet& roots, const quint64* generation);
    ~ShareListWriter();
    ShareListWriter(const ShareListWriter&) = delete;
    ShareListWriter& operator=(const ShareListWriter&) = delete;

    // One bounded piece of the writing (a few milliseconds), at most one key finished in it.
    // False once the body is whole.
    bool Step();
    // The body, in pieces of about a megabyte that follow each other: joining them copies the
    // whole body, which is best done off this thread.
    std::vector<QByteArray> TakeBody();

private:
    struct State;
    std::unique_ptr<State> m;
};

// One folder's files in a folder-contents reply: a count, the records in their order (name,
// then size), and a u32 0 that readers skip.
class SharedFolderInfo final : public Persistent
{
public:
    // Empties the set first; true only when the count, every record and the trailer were read.
    // A failure leaves the records read so far.
    bool Read(InputStream& stream) override;
    bool Write(OutputStream& stream) const override;

    std::set<FileInfo> files;
};

// Share lists, compressed, by the set of roots a requester may see. Compressing a big share at
// the best level takes seconds, so a kept list is handed out again until something under the
// shared folders changes, and one that is not kept is written in slices on this thread (a
// SlicedJob) and compressed on a worker thread of its own; requests for the same roots meanwhile
// wait for the same result.
class ShareListReplies : public QObject
{
public:
    using Roots = std::vector<uint32_t>; // the visible roots' item ids, ascending
    using Reply = std::function<void(MemStream)>;

    // At most this many lists are kept, the least recently asked for going first.
    static constexpr size_t kMaxKeptLists = 8;

    ShareListReplies();
    // Stops the workers (each sees it within a megabyte of input) and waits for them.
    ~ShareListReplies() override;

    // Something a list shows changed: every kept list and every list being compressed is stale.
    void Invalidate() { ++m_generation; }
    quint64 Generation() const { return m_generation; }

    // The kept message for these roots, when it is still current.
    bool Find(const Roots& roots, QByteArray* message);
    void Keep(const Roots& roots, quint64 generation, QByteArray message);

    // Hands reply to a list already being written or compressed for these roots, as the share
    // is now; false when none is.
    bool Wait(const Roots& roots, Reply& reply);
    // Has writer write the list's body, its first slice now and the rest at later turns of the
    // event loop, after the lists asked for before, then compresses it on a worker thread; reply
    // gets the message on this thread (empty when compressing failed). Nothing is replied when
    // this goes first.
    void Build(const Roots& roots, std::unique_ptr<ShareListWriter> writer, Reply reply);
    // The generation the writers read.
    const quint64* GenerationNow() const { return &m_generation; }

private:
    struct Job;
    bool WriteStep();
    void Finish(Job* job, QByteArray message);

    quint64 m_generation = 0;
    struct Kept
    {
        Roots roots;
        quint64 generation;
        QByteArray message;
    };
    std::list<Kept> m_kept; // most recently asked for first
    std::vector<std::shared_ptr<Job>> m_jobs;
    SlicedJob m_writing{[this] { return WriteStep(); }}; // after the jobs: goes first
};

// Folder-contents replies (code 37) under way, by user and folder, and the worker that
// compresses them. A reply is pending from the request until its bytes have gone out: a peer
// asking for one folder in a loop costs one reply, and one that never reads gets no more than
// kMaxPendingPerPeer of them. Everything of a user goes with the user's last messaging
// connection, the work queued for it too.
//
// A request waits (held, pending too) until its reply fits beside what waits to go to its user
// (kMaxQueuedBytesPerPeer) and beside every reply under way (kMaxRepliesUnderWay,
// kMaxReplyBytesUnderWay): copied out of the store, made, or sent and not out of this process
// yet; a reply frees its room the moment its last byte is written. One address holds a part of
// those (kMaxRepliesUnderWayPerAddress, kMaxReplyBytesUnderWayPerAddress), so that a party with
// many names at one address leaves the rest to others, and waiting requests take turns by
// address; the first in turn is not overtaken. While requests wait for room, a reply sent that
// goes out far slower than its share of what the link carries gives its room to them, as one
// that goes out not at all does (kMaxUnreadMs); what goes out is what the peer has acknowledged,
// not what left our own queue. A folder's names are copied only for a reply that goes, a slice
// at a time, then made and compressed on the worker, kMaxRepliesBeingMade at a time. The peer
// has no way of hearing "later", and an empty folder would be a lie, so a request is answered
// late rather than not at all: only past kMaxHeldRequests is one left unanswered, as if the
// folder were not there.
class FolderReplies : public QObject
{
public:
    // Whether a reply sent has gone out whole.
    using Gone = std::function<bool()>;
    // The folder item of the local path when the user may see it, else null.
    using VisibleFolder =
        std::function<const Item*(const std::string& user, const std::string& local)>;

    static constexpr int kMaxPendingPerPeer = 16;
    // What may wait to go to one peer, counted with the reply about to be made (by its body).
    // A reply larger than this goes once nothing else waits for its peer.
    static constexpr qint64 kMaxQueuedBytesPerPeer = qint64(8) * 1024 * 1024;
    // Replies under way, of all users together, and their bytes: a copy or a body while made,
    // the message once sent. Making one holds about three times its body for a moment (the
    // copy, the body and zlib's output), so few are made at once. A reply larger than the
    // total goes once nothing else is under way.
    static constexpr int kMaxRepliesUnderWay = 16;
    static constexpr qint64 kMaxReplyBytesUnderWay = qint64(64) * 1024 * 1024;
    // One address's part of those: a party needs four addresses to hold every reply. A reply
    // larger than the part goes once nothing else of its address is under way.
    static constexpr int kMaxRepliesUnderWayPerAddress = 4;
    static constexpr qint64 kMaxReplyBytesUnderWayPerAddress = kMaxReplyBytesUnderWay / 4;
    static constexpr int kMaxRepliesBeingMade = 2;
    // Requests waiting, of all users together: every messaging connection there may be
    // (PeerMessenger::kMaxPeerSockets) with its kMaxPendingPerPeer.
    static constexpr int kMaxHeldRequests = 4096;
    // A reply of which nothing has gone out for this long, while requests wait for room, is
    // given up with its user's messaging connections: a peer that never reads could otherwise
    // keep the room of every reply it asked for, under as many names as it likes.
    static constexpr qint64 kMaxUnreadMs = 30000;
    // How fast the replies sent go is measured over windows of kReplyRateWindowMs, each reply
    // getting an equal part of what went out to its user. What the link carries is the most
    // the replies together took out in any window of the last kLinkMemoryMs, and a reply's
    // share of it that divided among the replies sent in the window. While requests wait for
    // room, one that went out at under 1/kFarBelowShare of its share over a whole window gives
    // its room to them: its user's messaging connections are closed (what was sent of it cannot
    // be taken back otherwise), and its request waits again in its place, answered when its
    // turn comes without being asked again; cut a second time, it is forgotten. Replies that
    // all go out at one pace, however slow the link, are never cut. Nor is the oldest of those
    // sent, so that every request, once the oldest, is answered; nor one more than half gone
    // out, until it has taken kPastHalfPatience times as long as its first half did. In all:
    // to keep a reply from those waiting, a party reads it at an eighth of its share of the
    // most the link carried lately; the oldest reply needs only to read something every
    // kMaxUnreadMs, and a party holding every reply from the start, all read at one pace, sets
    // what the link is taken to carry until someone else's reply has gone faster.
    static constexpr qint64 kReplyRateWindowMs = 20000;
    static constexpr qint64 kLinkMemoryMs = 300000;
    static constexpr int kFarBelowShare = 8;
    static constexpr int kPastHalfPatience = 4;
    static constexpr int kRetryMs = 1000;
    // Files a step of the copying looks at.
    static constexpr size_t kFilesAStep = 2048;

    explicit FolderReplies(VisibleFolder visible);
    ~FolderReplies() override;

    // A request of the user, who may see the folder (local, its store path) now: answered when
    // its turn comes, a repeat meanwhile answered by the same reply.
    void Request(const std::string& user, quint32 token, const std::string& folder,
                 const std::string& local);
    // Forgets everything of the user: held requests, replies being copied, made and sent.
    void ForgetUser(const std::string& user);
    // Ticks while a request is held.
    SharedTimer* RetryTimer() { return &m_retry; }

    // What all users together have under way and waiting.
    struct Totals
    {
        int held = 0;
        int beingMade = 0;
        int underWay = 0;
        qint64 bytesUnderWay = 0;
    };
    Totals Load() const { return m_totals; }
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
        quint32 token = 0;
        std::string folder; // as the peer wrote it, echoed in the reply
        quint64 id = 0;     // which request, and the order they came in
        quint32 address = 0;
        // The reply's body: at least this, and exactly once its names have been counted.
        qint64 bodyBytes = 0;
        bool counted = false;
        bool userRoomLogged = false;
        qint64 charged = 0; // what it counts in the bytes under way
        WorkerThread::Ticket ticket = 0;
        // Once sent: whether it has left this process, its size, what had left the host for
        // its user when last looked at, and since when none of it has (Clock::MonotonicMs).
        Gone gone;
        qint64 messageBytes = 0;
        qint64 departedSeen = 0;
        qint64 unreadSinceMs = 0;
        // When it was sent, its part of what left the host for its user since then, when that
        // passed half of it (-1 before), what it was as the window began (-1: sent since) and
        // its rate over the last whole window (bytes a second, -1 before one).
        qint64 sentMs = 0;
        qint64 drained = 0;
        qint64 halfMs = -1;
        qint64 windowFromDrained = -1;
        qint64 rate = -1;
        // How often its reply was cut and the request made to wait again.
        int cuts = 0;
    };
    using Folders = std::map<std::string, Entry>;
    struct Copy;

    Entry* Find(const std::string& user, const std::string& local, quint64 id);
    // Drops the entry with its work and its copy.
    void Erase(const std::string& user, const std::string& local);
    // Adds the entry to the totals (sign 1) or takes it out (-1), and to its address's.
    void Account(const Entry& entry, int sign);
    void CountFrom(quint32 address, int sign);
    void SetState(Entry& entry, State state, qint64 charged);
    // What waits to go to the user and the user's replies being made.
    qint64 WaitingFor(const std::string& user, const Folders& folders) const;
    bool FitsUser(const Entry& entry, qint64 waiting) const;
    bool FitsAddress(const Entry& entry) const;
    bool FitsTotal(const Entry& entry) const;
    // Lets go of replies gone out, and starts the next copy when its turn has come.
    void Admit();
    // Lets go of replies gone out, and measures how fast the others go.
    void ForgetGone();
    // Ends the window when it has run its length: what the replies under way carried in it,
    // each one's rate and its share; starts the next one while replies are sent.
    void MeasureWindow(qint64 now, int sent);
    // The reply far below its share that may give way, or null.
    const Entry* SlowestBelowShare(const std::string** user) const;
    // Closes the user's messaging connections and puts the replies sent on them back among the
    // held requests, each in its place (forgotten when cut before).
    void Requeue(const std::string& user);
    bool CopyStep();
    // The copy's folder is gone or no longer shared with its user: no reply.
    bool NotShared();
    void Made(const std::string& user, const std::string& local, quint64 id,
              const MemStream& message);
    // A tick while requests wait: those that fit go, and an unread or slow reply makes room.
    void Retry();

    VisibleFolder m_visible;
    Type* m_folderType;
    Type* m_fileType;
    Type* m_nameType;
    Type* m_sizeType;
    std::map<std::string, Folders> m_pending;
    Totals m_totals;
    // The addresses with requests, held or under way: when one of theirs last went, their
    // replies under way, and whether one of theirs was logged waiting for its part.
    struct Address
    {
        int entries = 0;
        quint64 lastTurn = 0;
        int underWay = 0;
        qint64 bytesUnderWay = 0;
        bool partLogged = false;
    };
    std::map<quint32, Address> m_addresses;
    quint64 m_lastId = 0;
    quint64 m_lastTurn = 0;
    // The window the replies' rates are measured over: since when (-1: none), what left the
    // host in it of all replies, how many were sent at some time in it; the share of each from
    // the last whole one (bytes a second, -1 before one), and what the link carried in each
    // window of the last kLinkMemoryMs (its end, bytes a second).
    qint64 m_windowFromMs = -1;
    qint64 m_windowDrained = 0;
    int m_windowReplies = 0;
    qint64 m_fairShare = -1;
    std::deque<std::pair<qint64, qint64>> m_linkRates;
    // The user whose connections a cut closes: its requests stay when they go.
    std::string m_requeueing;
    // Whether the one first in turn waits for room, and whether that was logged since nothing
    // waited; whether a request was left unanswered since nothing waited.
    bool m_waitingForRoom = false;
    bool m_roomLogged = false;
    bool m_refusalLogged = false;
    bool m_admitDue = false;
    SharedTimer m_retry{kRetryMs};
    std::unique_ptr<Copy> m_copy;
    SlicedJob m_copying{[this] { return CopyStep(); }};
    // Last, so that it stops before what its hand-backs use goes.
    WorkerThread m_worker;
};

// The compressed message (u32 code, then the zlib stream of body), or empty when compressing
// failed or was cancelled.
QByteArray CompressedMessage(quint32 code, const QByteArray& body,
                             const std::atomic<bool>* cancel = nullptr);

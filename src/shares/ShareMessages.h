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

class ItemSet;

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
// kMaxPendingPerPeer of them. A request that would take what waits for its user past
// kMaxQueuedBytesPerPeer is held, pending too, and tried again at every tick of the retry timer
// until it fits or nothing waits for that user any more. Everything of a user goes with the
// user's last messaging connection.
class FolderReplies : public QObject
{
public:
    using Body = std::function<QByteArray()>;
    using Done = std::function<void(QByteArray message)>;
    // Whether a reply sent has gone out whole.
    using Gone = std::function<bool()>;

    static constexpr int kMaxPendingPerPeer = 16;
    // What may wait to go to one peer, counted with the reply about to be made (by its body).
    // A reply larger than this goes once nothing else waits for its peer.
    static constexpr qint64 kMaxQueuedBytesPerPeer = qint64(8) * 1024 * 1024;
    static constexpr int kRetryMs = 1000;

    // A request held until less waits to go to its user.
    struct Held
    {
        quint32 token = 0;
        std::string folder;    // as the peer wrote it, echoed in the reply
        qint64 bodyBytes = -1; // the reply's body, once its names have been counted
    };

    FolderReplies();

    // Forgets the user's sent replies that have gone out, and all of them when nothing waits to
    // go to the user any more (queued is what does).
    void Forget(const std::string& user, qint64 queued);
    // Forgets everything of the user: held requests, replies being made and sent ones.
    void ForgetUser(const std::string& user);
    bool IsPending(const std::string& user, const std::string& folder) const;
    int PendingCount(const std::string& user) const;
    // The bodies of the user's replies still being compressed.
    qint64 CompressingBytes(const std::string& user) const;
    // Makes the body of bodyBytes bytes with body and compresses it into a code 37 message, on
    // the worker; done gets the message on this thread (empty when compressing failed) and
    // returns what tells when it has gone out. The reply is pending from now on, held or not
    // before.
    void Start(const std::string& user, const std::string& folder, qint64 bodyBytes, Body body,
               std::function<Gone(QByteArray message)> done);

    // Holds the request (by its local folder) until less waits; pending from now on.
    void Hold(const std::string& user, const std::string& folder, Held held);
    // The held request of the user for the folder, or null.
    Held* FindHeld(const std::string& user, const std::string& folder);
    // Gives up a held request.
    void Drop(const std::string& user, const std::string& folder);
    // Users and local folders of the held requests.
    std::vector<std::pair<std::string, std::string>> HeldRequests() const;
    // Ticks while a request is held.
    SharedTimer* RetryTimer() { return &m_retry; }

private:
    enum class State
    {
        Held,
        Compressing,
        Sent
    };
    struct Entry
    {
        State state = State::Compressing;
        qint64 bodyBytes = 0;
        Held held;
        // The reply being compressed, and once sent what tells when it has gone out.
        quint64 id = 0;
        Gone gone;
    };
    void Finish(const std::string& user, const std::string& folder, quint64 id,
                const QByteArray& message, const std::function<Gone(QByteArray)>& done);
    void Erase(const std::string& user, const std::string& folder);
    void StopRetryWhenNothingHeld();

    std::map<std::string, std::map<std::string, Entry>> m_pending;
    SharedTimer m_retry{kRetryMs};
    quint64 m_nextId = 0;
    // Last, so that it stops before what its hand-backs use goes.
    WorkerThread m_worker;
};

// The compressed message (u32 code, then the zlib stream of body), or empty when compressing
// failed or was cancelled.
QByteArray CompressedMessage(quint32 code, const QByteArray& body,
                             const std::atomic<bool>* cancel = nullptr);

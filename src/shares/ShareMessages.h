#pragma once

// The records and the bodies of the share messages other users ask for: our share list (code 5),
// its kept and compressing copies, and a folder's contents (code 37). The replies go in turn
// through PeerReplies (PeerReplies.h).

#include "store/FileInfo.h"
#include "store/MemStream.h"
#include "store/SlicedJob.h"
#include "store/WorkerThread.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
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
    using Reply = std::function<void(const QByteArray& message)>;

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

// A folder's files as its contents reply carries them, bare names and sizes, copied out of the
// store for the worker: the names in one block (a folder of 100,000 would be as many strings),
// and each file's place in it.
struct CopiedFiles
{
    struct File
    {
        size_t offset;
        size_t length;
        qint64 size;
    };
    std::string names;
    std::vector<File> files;

    std::string_view Name(const File& file) const
    {
        return std::string_view(names).substr(file.offset, file.length);
    }
};

// The body of a folder contents reply (code 37): the token, the folder as the peer wrote it, a
// map of one entry, that folder again, and its records in set order (name, then size; the
// first of equal records kept), each as FileInfo writes itself, with no attributes.
QByteArray FolderContentsBody(quint32 token, const std::string& folder, const CopiedFiles& copied);

// The compressed message (u32 code, then the zlib stream of body), or empty when compressing
// failed or was cancelled.
QByteArray CompressedMessage(quint32 code, const QByteArray& body,
                             const std::atomic<bool>* cancel = nullptr);

// What other users ask of our shares besides searches: the whole share list (code 4, answered
// with code 5) and one folder's contents (code 36, answered with code 37). Both show only the
// roots the asking user may see. Paths go out with backslashes, as peers expect.

#include "shares/ShareMessages.h"
#include "shares/SharedFoldersManager.h"

#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "shares/SharesSchema.h"
#include "store/Clock.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/NextTurn.h"
#include "store/WorkerThread.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>
#include <string_view>
#include <thread>

using namespace SharesTypes;

namespace {

MemStream StreamOf(const QByteArray& bytes)
{
    MemStream s;
    s.WriteBuffer(bytes.constData(), static_cast<unsigned long>(bytes.size()));
    return s;
}

std::string WithBackslashes(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

ShareListReplies::Roots RootIds(const ItemSet& roots)
{
    ShareListReplies::Roots ids;
    for (Item* root : roots)
        ids.push_back(root->Id()); // sets iterate by id, so the ids come sorted
    return ids;
}

// A shared file as the share list shows it: the name as the peer would split it off the
// backslashed path, the size, and the bitrate details of an MP3 file. The names of a key's files
// are copied into one block (a folder of 100,000 would be as many strings), so that what was read
// stays put while the share changes between steps.
struct ListedFile
{
    size_t nameAt; // in the block
    size_t nameSize;
    qint64 size;
    bool mp3;
    bool hasBitrate;
    qint32 bitrate;
    qint8 mode; // -1 none, else the variable-bitrate flag
};

// The order of a set of records and their sameness: by name, then size.
struct ListedOrder
{
    const std::string* names;

    std::string_view Name(const ListedFile& file) const
    {
        return std::string_view(*names).substr(file.nameAt, file.nameSize);
    }
    bool operator()(const ListedFile& a, const ListedFile& b) const
    {
        const int c = Name(a).compare(Name(b));
        return c != 0 ? c < 0 : a.size < b.size;
    }
    bool Same(const ListedFile& a, const ListedFile& b) const
    {
        return a.size == b.size && Name(a) == Name(b);
    }
};

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Whether the text after the last dot is "mp3", in any letter case.
bool IsMp3(std::string_view name)
{
    const auto dot = name.rfind('.');
    return dot != std::string::npos && name.size() - dot == 4 && LowerAscii(name[dot + 1]) == 'm' &&
           LowerAscii(name[dot + 2]) == 'p' && name[dot + 3] == '3';
}

// The types a list shows, looked up once.
struct ListTypes
{
    Type* root = d.GetType(SharedFolder);
    Type* folder = d.GetType(SharedFileFolder);
    Type* file = d.GetType(SharedFile);
    Type* name = d.GetType(SharedFileName);
    Type* size = d.GetType(SharedFileSize);
    Type* bitrate = d.GetType(PeerTypes::Bitrate);
    Type* mode = d.GetType(PeerTypes::BitrateMode);
};

ListedFile Listed(const ListTypes& types, const Item* folder, const Item* file, std::string& names)
{
    const Item* nameItem = file->HasItem(types.name);
    const std::string_view name = nameItem ? nameItem->AsString().View() : std::string_view();
    ListedFile listed{names.size(), 0, 0, IsMp3(name), false, 0, -1};
    // A stored name holding a backslash goes out from after the last one.
    if (name.find('\\') != std::string_view::npos)
        names += GetFileName(WithBackslashes((folder->AsString() + "/").append(name)));
    else
        names.append(name);
    listed.nameSize = names.size() - listed.nameAt;
    if (const Item* size = file->HasItem(types.size))
        listed.size = size->AsInt64();
    if (!listed.mp3)
        return listed;
    if (const Item* bitrate = file->HasItem(types.bitrate)) {
        listed.hasBitrate = true;
        listed.bitrate = bitrate->AsInt();
    }
    if (const Item* mode = file->HasItem(types.mode))
        listed.mode = mode->AsString() == "vbr" ? 1 : 0;
    return listed;
}

// As FileInfo writes itself.
void WriteListed(OutputStream& out, const ListedFile& file, std::string_view name)
{
    static const std::string kMp3 = "mp3";
    out.Write(quint8(1));
    out.Write(name);
    out.Write(file.size);
    if (!file.mp3) {
        out.Write(quint32(0)); // no extension
        out.Write(quint32(0)); // no pairs
        return;
    }
    out.Write(kMp3);
    out.Write(quint32((file.hasBitrate ? 1 : 0) + (file.mode >= 0 ? 1 : 0)));
    if (file.hasBitrate) {
        out.Write(qint32(AttributeMap::Bitrate));
        out.Write(file.bitrate);
    }
    if (file.mode >= 0) {
        out.Write(qint32(AttributeMap::VariableBitrate));
        out.Write(qint32(file.mode));
    }
}

// A stable merge sort, a bounded piece at a time: runs of kRun items sorted, then merged in pairs
// into a second array, pass after pass, until one run is left.
template <class T> class SlicedSort
{
public:
    static constexpr size_t kRun = 512;

    void Begin(std::vector<T>* items)
    {
        *this = SlicedSort();
        m_items = items;
    }
    // Sorts or merges about budget items, counted off it; true once the items are sorted.
    template <class Less> bool Step(size_t& budget, const Less& less)
    {
        std::vector<T>& v = *m_items;
        const size_t n = v.size();
        while (m_runsSorted < n) {
            if (budget == 0)
                return false;
            const size_t end = std::min(m_runsSorted + kRun, n);
            std::stable_sort(v.begin() + std::ptrdiff_t(m_runsSorted),
                             v.begin() + std::ptrdiff_t(end), less);
            budget -= std::min(budget, end - m_runsSorted);
            m_runsSorted = end;
            m_j = std::min(m_width, n);
        }
        if (m_width < n && m_merged.size() != n)
            m_merged.resize(n);
        // From v[m_lo, mid) and v[mid, hi), at m_i and m_j, into m_merged at m_out.
        while (m_width < n) {
            if (budget == 0)
                return false;
            --budget;
            const size_t mid = std::min(m_lo + m_width, n);
            const size_t hi = std::min(m_lo + 2 * m_width, n);
            if (m_i < mid && (m_j >= hi || !less(v[m_j], v[m_i])))
                m_merged[m_out++] = std::move(v[m_i++]);
            else
                m_merged[m_out++] = std::move(v[m_j++]);
            if (m_out < hi)
                continue;
            m_lo = m_i = hi;
            if (m_lo >= n) {
                v.swap(m_merged);
                m_width *= 2;
                m_lo = m_i = m_out = 0;
            }
            m_j = std::min(m_lo + m_width, n);
        }
        std::vector<T>().swap(m_merged);
        return true;
    }

private:
    std::vector<T>* m_items = nullptr;
    std::vector<T> m_merged;
    size_t m_runsSorted = 0;
    size_t m_width = kRun;
    size_t m_lo = 0;
    size_t m_i = 0;
    size_t m_j = 0;
    size_t m_out = 0;
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
QByteArray FolderContentsBody(quint32 token, const std::string& folder, const CopiedFiles& copied)
{
    std::vector<CopiedFiles::File> files = copied.files;
    const auto less = [&copied](const CopiedFiles::File& a, const CopiedFiles::File& b) {
        const int c = copied.Name(a).compare(copied.Name(b));
        return c != 0 ? c < 0 : a.size < b.size;
    };
    std::stable_sort(files.begin(), files.end(), less);
    files.erase(std::unique(files.begin(), files.end(),
                            [&less](const auto& a, const auto& b) { return !less(a, b); }),
                files.end());
    QByteArray bytes;
    BytesOutputStream out(&bytes);
    out.Write(token);
    out.Write(folder);
    out.Write(quint32(1)); // one folder in the map that follows
    out.Write(folder);
    out.Write(quint32(files.size()));
    for (const CopiedFiles::File& file : files) {
        out.Write(quint8(1));
        out.Write(copied.Name(file));
        out.Write(file.size);
        out.Write(quint32(0)); // no extension
        out.Write(quint32(0)); // no attributes
    }
    out.Write(quint32(0)); // the record set's trailer
    return bytes;
}

// The pieces one after the other, each let go once copied.
QByteArray Joined(std::vector<QByteArray> pieces)
{
    qsizetype size = 0;
    for (const QByteArray& piece : pieces)
        size += piece.size();
    QByteArray joined;
    joined.reserve(size);
    for (QByteArray& piece : pieces) {
        joined.append(piece);
        piece = QByteArray();
    }
    return joined;
}

} // namespace

QByteArray CompressedMessage(quint32 code, const QByteArray& body, const std::atomic<bool>* cancel)
{
    QByteArray compressed;
    if (!ZCompress(body.constData(), body.size(), &compressed, cancel))
        return QByteArray();
    QByteArray message;
    message.reserve(4 + compressed.size());
    BytesOutputStream out(&message);
    out.Write(code);
    out.WriteBuffer(compressed.constData(), static_cast<unsigned long>(compressed.size()));
    return message;
}

// ---------------------------------------------------------------------------------------------
// SharedFolderInfo

bool SharedFolderInfo::Read(InputStream& stream)
{
    // The count is unsigned and bounded, each record read fresh.
    quint32 trailer = 0;
    return stream.Read(files) && stream.Read(trailer);
}

bool SharedFolderInfo::Write(OutputStream& stream) const
{
    return stream.Write(files) && stream.Write(quint32(0));
}

// ---------------------------------------------------------------------------------------------
// The share list, code 5

struct ShareListWriter::State
{
    // About as many folders or files as a step reads, sorts or writes: a few milliseconds.
    static constexpr size_t kItemsAStep = 2048;
    // The body is written in pieces of about this size: growing one array of tens of megabytes
    // copies it whole each time it doubles, tens of milliseconds in one step.
    static constexpr qsizetype kPieceBytes = 1024 * 1024;

    enum class Phase
    {
        Ids,
        Keys,
        SortKeys,
        NextKey,
        ReadKey,
        SortKey,
        WriteKey,
        Whole
    };

    struct Folder
    {
        std::string key;
        uint32_t id;
    };
    // By key, then id: the order of a stable sort by key of the folders in id order.
    static bool KeyOrder(const Folder& a, const Folder& b)
    {
        const int c = a.key.compare(b.key);
        return c != 0 ? c < 0 : a.id < b.id;
    }

    ListTypes types;
    const quint64* generation;
    quint64 startGeneration;
    std::vector<uint32_t> roots;
    Phase phase = Phase::Ids;
    // The ids of the folders under the roots, a folder once for each root it lies under, taken
    // at the first step; then their keys.
    std::vector<uint32_t> ids;
    size_t named = 0;
    // Every scanned directory under the roots is a key, files or not. Two local paths can give
    // one key (a name holding a backslash); their files then share the entry.
    std::vector<Folder> folders;
    SlicedSort<Folder> folderSort;
    // The key being written: folders[next, keyEnd). Its folders' files are read as they are at
    // one moment: when the share changes while they are read, they are read again in one go.
    size_t next = 0;
    size_t keyEnd = 0;
    quint64 keyGeneration = 0;
    bool inOneGo = false;
    size_t folderAt = 0;
    const Item* reading = nullptr;    // the folder whose files are being read
    std::vector<const Item*> pending; // its files
    size_t pendingAt = 0;
    bool listed = false;
    std::string names;
    std::vector<ListedFile> files;
    SlicedSort<ListedFile> fileSort;
    size_t fileAt = 0;
    quint32 fileCount = 0;
    std::pair<size_t, qsizetype> countAt; // the piece and offset of the key's count of files
    quint32 keys = 0;
    std::vector<QByteArray> pieces; // the body, the piece being written last

    bool Changed() const { return *generation != startGeneration; }
    void TakeIds();
    bool ReadKeys(size_t& budget);
    void StartKey();
    bool ReadKey(size_t& budget);
    void OpenKey();
    bool WriteKey(size_t& budget);
    void Close();

    // Whether the folder of that entry still lies under the roots as it did: only asked once
    // the share changed, when its id may have gone or been given to another item.
    Item* StillListed(const Folder& f) const
    {
        Item* folder = d.ItemById(f.id);
        if (!folder || folder->GetType() != types.folder ||
            WithBackslashes(folder->AsString()) != f.key)
            return nullptr;
        for (uint32_t id : roots) {
            Item* root = d.ItemById(id);
            if (root && root->GetType() == types.root && folder->IsConnected(root))
                return folder;
        }
        return nullptr;
    }
};

void ShareListWriter::State::TakeIds()
{
    for (uint32_t id : roots) {
        const Item* root = d.ItemById(id);
        if (!root || root->GetType() != types.root)
            continue;
        root->VisitItems(types.folder, [this](const Item* folder) {
            ids.push_back(folder->Id());
            return false;
        });
    }
    folders.reserve(ids.size());
}

bool ShareListWriter::State::ReadKeys(size_t& budget)
{
    for (; named < ids.size() && budget > 0; ++named, --budget) {
        // Gone since the ids were taken, or its id given to another item.
        const Item* folder = d.ItemById(ids[named]);
        if (folder && folder->GetType() == types.folder)
            folders.push_back({WithBackslashes(folder->AsString()), ids[named]});
    }
    if (named < ids.size())
        return false;
    std::vector<uint32_t>().swap(ids);
    return true;
}

void ShareListWriter::State::StartKey()
{
    keyEnd = next + 1;
    while (keyEnd < folders.size() && folders[keyEnd].key == folders[next].key)
        ++keyEnd;
    keyGeneration = *generation;
    inOneGo = false;
    folderAt = next;
    pending.clear();
    pendingAt = 0;
    listed = false;
    names.clear();
    files.clear();
}

bool ShareListWriter::State::ReadKey(size_t& budget)
{
    // The files taken may be gone: the key is read again, whole.
    if (*generation != keyGeneration) {
        StartKey();
        inOneGo = true;
    }
    for (;;) {
        for (; pendingAt < pending.size(); ++pendingAt) {
            if (!inOneGo && budget == 0)
                return false;
            budget -= budget > 0 ? 1 : 0;
            files.push_back(Listed(types, reading, pending[pendingAt], names));
        }
        pending.clear();
        pendingAt = 0;
        if (folderAt == keyEnd)
            return true;
        const Folder& f = folders[folderAt++];
        // Listed once, under however many roots it lies.
        if (folderAt - 1 > next && f.id == folders[folderAt - 2].id)
            continue;
        const Item* folder = Changed() ? StillListed(f) : d.ItemById(f.id);
        if (!folder)
            continue;
        listed = true;
        reading = folder;
        folder->VisitItems(types.file, [this](const Item* file) {
            pending.push_back(file);
            return false;
        });
    }
}

void ShareListWriter::State::OpenKey()
{
    BytesOutputStream out(&pieces.back());
    out.Write(folders[next].key);
    countAt = {pieces.size() - 1, pieces.back().size()};
    out.Write(quint32(0)); // the count of files, written once known
    fileCount = 0;
    fileAt = 0;
}

bool ShareListWriter::State::WriteKey(size_t& budget)
{
    const ListedOrder order{&names};
    for (; fileAt < files.size() && budget > 0; ++fileAt, --budget) {
        // In set order: the first of equal records kept.
        if (fileAt > 0 && order.Same(files[fileAt - 1], files[fileAt]))
            continue;
        if (pieces.back().size() >= kPieceBytes)
            pieces.emplace_back();
        BytesOutputStream out(&pieces.back());
        WriteListed(out, files[fileAt], order.Name(files[fileAt]));
        ++fileCount;
    }
    if (fileAt < files.size())
        return false;
    qToLittleEndian<quint32>(fileCount, pieces[countAt.first].data() + countAt.second);
    ++keys;
    return true;
}

void ShareListWriter::State::Close()
{
    BytesOutputStream out(&pieces.back());
    out.Write(quint32(0)); // the attribute translation table, always empty
    qToLittleEndian<quint32>(keys, pieces.front().data());
    std::vector<Folder>().swap(folders);
    std::vector<ListedFile>().swap(files);
    std::string().swap(names);
    phase = Phase::Whole;
}

ShareListWriter::ShareListWriter(const ItemSet& roots, const quint64* generation)
    : m(std::make_unique<State>())
{
    m->generation = generation;
    m->startGeneration = *generation;
    for (Item* root : roots)
        m->roots.push_back(root->Id());
    m->pieces.emplace_back();
    BytesOutputStream out(&m->pieces.back());
    out.Write(quint32(0)); // the count of keys, written once known
}

ShareListWriter::~ShareListWriter() = default;

bool ShareListWriter::Step()
{
    State& s = *m;
    using Phase = State::Phase;
    size_t budget = State::kItemsAStep;
    // Phase after phase while the step's budget lasts, and at most one key written.
    for (;;) {
        switch (s.phase) {
        case Phase::Ids:
            s.TakeIds();
            s.phase = Phase::Keys;
            break;
        case Phase::Keys:
            if (!s.ReadKeys(budget))
                return true;
            s.folderSort.Begin(&s.folders);
            s.phase = Phase::SortKeys;
            break;
        case Phase::SortKeys:
            if (!s.folderSort.Step(budget, State::KeyOrder))
                return true;
            s.phase = Phase::NextKey;
            break;
        case Phase::NextKey:
            if (s.next == s.folders.size()) {
                s.Close();
                return false;
            }
            if (budget == 0)
                return true;
            --budget;
            s.StartKey();
            s.phase = Phase::ReadKey;
            break;
        case Phase::ReadKey:
            if (!s.ReadKey(budget))
                return true;
            s.fileSort.Begin(&s.files);
            s.phase = Phase::SortKey;
            break;
        case Phase::SortKey:
            if (!s.fileSort.Step(budget, ListedOrder{&s.names}))
                return true;
            if (s.listed) {
                s.OpenKey();
                s.phase = Phase::WriteKey;
            } else {
                // Gone by its turn.
                s.next = s.keyEnd;
                s.phase = Phase::NextKey;
            }
            break;
        case Phase::WriteKey:
            if (!s.WriteKey(budget))
                return true;
            s.next = s.keyEnd;
            s.phase = Phase::NextKey;
            if (s.next < s.folders.size())
                return true;
            break;
        case Phase::Whole:
            return false;
        }
    }
}

std::vector<QByteArray> ShareListWriter::TakeBody()
{
    return std::move(m->pieces);
}

QByteArray SharedFoldersManager::ShareListBody(const ItemSet& roots)
{
    ShareListWriter writer(roots, m_shareLists->GenerationNow());
    while (writer.Step()) {
    }
    return Joined(writer.TakeBody());
}

MemStream SharedFoldersManager::GetSharedFilesMessage(std::string user)
{
    Log(LogCategories::kShared, 1,
        QStringLiteral("Shared file list requested by user %1").arg(QString::fromStdString(user)));
    const ItemSet roots = GetUserSharedFolders(user);
    const ShareListReplies::Roots key = RootIds(roots);
    QByteArray message;
    if (m_shareLists->Find(key, &message))
        return StreamOf(message);
    WatchShareLinks();
    const quint64 generation = m_shareLists->Generation();
    message = CompressedMessage(PM_SHARED_FILE_LIST, ShareListBody(roots));
    if (message.isEmpty())
        Log(LogCategories::kShared, 1, QStringLiteral("Could not compress the shared file list"));
    else
        m_shareLists->Keep(key, generation, message);
    return StreamOf(message);
}

void SharedFoldersManager::AnswerShareListRequest(const std::string& user,
                                                  std::function<void(MemStream)> reply)
{
    Log(LogCategories::kShared, 1,
        QStringLiteral("Shared file list requested by user %1").arg(QString::fromStdString(user)));
    const ItemSet roots = GetUserSharedFolders(user);
    const ShareListReplies::Roots key = RootIds(roots);
    QByteArray message;
    if (m_shareLists->Find(key, &message)) {
        reply(StreamOf(message));
        return;
    }
    if (m_shareLists->Wait(key, reply))
        return;
    WatchShareLinks();
    m_shareLists->Build(key,
                        std::make_unique<ShareListWriter>(roots, m_shareLists->GenerationNow()),
                        std::move(reply));
}

void SharedFoldersManager::WatchShareChanges()
{
    m_shareLists = std::make_unique<ShareListReplies>();
    for (const char* t : {SharedFolder, SharedFileFolder, SharedFile, SharedFileName,
                          SharedFileSize, PeerTypes::Bitrate, PeerTypes::BitrateMode})
        m_shownTypes.push_back(d.GetType(t));
}

void SharedFoldersManager::WatchShareLinks()
{
    // From the first list built on: until then there is nothing kept to go stale, and the
    // store file's millions of share links load without an event each.
    if (m_watchingShareLinks)
        return;
    m_watchingShareLinks = true;
    for (const char* t : {SharedFileFolder, SharedFile}) {
        d.GetType(t)->connectedEvent.Add(
            NewEventHandler(this, &SharedFoldersManager::OnShareChanged));
        d.GetType(t)->disconnectedEvent.Add(
            NewEventHandler(this, &SharedFoldersManager::OnShareChanged));
    }
}

void SharedFoldersManager::OnShareChanged(ConnectionInfo info)
{
    // Links no list shows (words, lower-case keys, the scanned mark, the other MP3 details)
    // leave the kept lists as they are.
    const auto shown = [this](const Item* item) {
        return std::find(m_shownTypes.begin(), m_shownTypes.end(), item->GetType()) !=
               m_shownTypes.end();
    };
    if (shown(info.first) && shown(info.second))
        m_shareLists->Invalidate();
}

// ---------------------------------------------------------------------------------------------
// Kept and compressing lists

struct ShareListReplies::Job
{
    Roots roots;
    quint64 generation = 0;
    std::unique_ptr<ShareListWriter> writer; // while the body is written
    std::vector<Reply> waiting;
    // Compresses the body; stopped and waited for when the job goes.
    WorkerThread compressor;
};

ShareListReplies::ShareListReplies() = default;

ShareListReplies::~ShareListReplies() = default;

bool ShareListReplies::Find(const Roots& roots, QByteArray* message)
{
    for (auto it = m_kept.begin(); it != m_kept.end(); ++it) {
        if (it->roots != roots)
            continue;
        if (it->generation != m_generation) {
            m_kept.erase(it);
            return false;
        }
        m_kept.splice(m_kept.begin(), m_kept, it);
        *message = m_kept.front().message;
        return true;
    }
    return false;
}

void ShareListReplies::Keep(const Roots& roots, quint64 generation, QByteArray message)
{
    if (generation != m_generation)
        return;
    // Stale lists and an older list of the same roots go first.
    m_kept.remove_if(
        [&](const Kept& k) { return k.generation != m_generation || k.roots == roots; });
    m_kept.push_front(Kept{roots, generation, std::move(message)});
    if (m_kept.size() > kMaxKeptLists)
        m_kept.pop_back();
}

bool ShareListReplies::Wait(const Roots& roots, Reply& reply)
{
    for (const auto& job : m_jobs) {
        if (job->roots == roots && job->generation == m_generation) {
            job->waiting.push_back(std::move(reply));
            return true;
        }
    }
    return false;
}

void ShareListReplies::Build(const Roots& roots, std::unique_ptr<ShareListWriter> writer,
                             Reply reply)
{
    auto job = std::make_shared<Job>();
    job->roots = roots;
    job->generation = m_generation;
    job->writer = std::move(writer);
    job->waiting.push_back(std::move(reply));
    m_jobs.push_back(std::move(job));
    m_writing.RunNow();
}

bool ShareListReplies::WriteStep()
{
    // The lists are written one after the other, in the order asked for.
    const auto isWriting = [](const auto& job) { return job->writer != nullptr; };
    const auto writing = std::find_if(m_jobs.begin(), m_jobs.end(), isWriting);
    if (writing == m_jobs.end())
        return false;
    Job* raw = writing->get();
    if (!raw->writer->Step()) {
        std::vector<QByteArray> body = raw->writer->TakeBody();
        raw->writer.reset();
        // Joined there too: a copy of tens of megabytes. Dropped, not handed back, when the job
        // goes first.
        raw->compressor.Run(
            [body = std::move(body)](const WorkerThread::Stop& stop) mutable {
                return CompressedMessage(PM_SHARED_FILE_LIST, Joined(std::move(body)), &stop);
            },
            [this, raw](QByteArray message) { Finish(raw, std::move(message)); });
    }
    return std::any_of(m_jobs.begin(), m_jobs.end(), isWriting);
}

void ShareListReplies::Finish(Job* raw, QByteArray message)
{
    const auto it = std::find_if(m_jobs.begin(), m_jobs.end(),
                                 [raw](const auto& job) { return job.get() == raw; });
    if (it == m_jobs.end())
        return;
    // Goes once the replies are made: its worker is handing this back.
    const std::shared_ptr<Job> job = *it;
    m_jobs.erase(it);
    if (message.isEmpty())
        Log(LogCategories::kShared, 1, QStringLiteral("Could not compress the shared file list"));
    else
        Keep(job->roots, job->generation, message);
    for (Reply& reply : job->waiting)
        reply(StreamOf(message));
}

// ---------------------------------------------------------------------------------------------
// A folder's contents, code 37

namespace {

// A code 37 body besides the names of its records: the token, the folder as the peer wrote it, a
// count of one, the folder again, and the record set's count and trailer; each record besides
// its name holds its code, the name's length, the size, an empty extension and no pairs.
constexpr qint64 kRecordBytes = 1 + 4 + 8 + 4 + 4;

qint64 FrameBytes(const std::string& folder)
{
    const qint64 text = 4 + qint64(folder.size());
    return 4 + text + 4 + text + 4 + 4;
}

// The address of the user's messaging connection, 0 without one.
quint32 PeerAddressOf(const std::string& user)
{
    ItemPtr socket =
        ItemPtr(d.GetType(ServerTypes::User)->HasItem(Value(user)))[PeerTypes::PeerSocket];
    const auto* tcp = socket ? socket.AsPointer<QTcpSocket>() : nullptr;
    return tcp ? tcp->peerAddress().toIPv4Address() : 0;
}

void CloseMessagingConnections(const std::string& user)
{
    std::vector<QTcpSocket*> sockets;
    for (Item* i : ItemPtr(d.GetType(ServerTypes::User)->HasItem(Value(user)))
                       .GetItems(PeerTypes::PeerSocket))
        sockets.push_back(ItemPtr(i).AsPointer<QTcpSocket>());
    for (QTcpSocket* socket : sockets) {
        peerMessenger->DisposeOfSocket(socket);
        // Closing would wait for the peer to read what is buffered, which it does not.
        socket->abort();
    }
}

} // namespace

void SharedFoldersManager::OnFilesInFoldersRequested(std::string user, quint32 token,
                                                     std::string folder)
{
    // The folder as the peer wrote it, slashes or backslashes, names our local one.
    std::string local = folder;
    std::replace(local.begin(), local.end(), '\\', '/');
    m_folderReplies->Request(user, token, folder, local);
}

const Item* SharedFoldersManager::VisibleFolder(const std::string& user, const std::string& local)
{
    ItemPtr folder = d.GetType(SharedFileFolder)->HasItem(Value(local));
    if (!folder || GetUserSharedFolders(user).Connected(folder).IsEmpty())
        return nullptr;
    return folder.Get();
}

void SharedFoldersManager::OnMessagingConnectionsClosed(std::string user)
{
    m_folderReplies->ForgetUser(user);
}

bool SharedFoldersManager::OwesFolderReply(const std::string& user) const
{
    return m_folderReplies->Owes(user);
}

SharedTimer* SharedFoldersManager::FolderReplyRetryTimerForTesting()
{
    return m_folderReplies->RetryTimer();
}

FolderReplies::Totals SharedFoldersManager::FolderReplyLoadForTesting() const
{
    return m_folderReplies->Load();
}

// ---------------------------------------------------------------------------------------------
// Folder contents replies under way

// The names and sizes of the files of the folder whose reply is copied, a step at a time: the
// files' ids are taken at once, their names counted (unless they were), then copied. A file
// gone meanwhile is left out; one come meanwhile waits for the next request.
struct FolderReplies::Copy
{
    enum class Phase
    {
        Ids,
        Count,
        Copy
    };
    std::string user;
    std::string local;
    quint64 id = 0;
    Phase phase = Phase::Ids;
    uint32_t folderId = 0;
    std::vector<uint32_t> files;
    size_t at = 0;
    qint64 bytes = 0;
    CopiedFiles copied;
};

FolderReplies::FolderReplies(VisibleFolder visible)
    : m_visible(std::move(visible)), m_folderType(d.GetType(SharedFileFolder)),
      m_fileType(d.GetType(SharedFile)), m_nameType(d.GetType(SharedFileName)),
      m_sizeType(d.GetType(SharedFileSize))
{
    connect(&m_retry, &SharedTimer::timeout, this, [this] { Retry(); });
}

FolderReplies::~FolderReplies() = default;

void FolderReplies::Request(const std::string& user, quint32 token, const std::string& folder,
                            const std::string& local)
{
    const Item* dir = m_visible(user, local);
    if (!dir)
        return;
    const QString who = QString::fromStdString(user);
    const QString what = QString::fromStdString(folder);
    ForgetGone();
    const auto it = m_pending.find(user);
    if (it != m_pending.end()) {
        const auto f = it->second.find(local);
        if (f != it->second.end() && f->second.state == State::Held) {
            // The reply that waits answers the latest request.
            f->second.token = token;
            f->second.folder = folder;
            Log(LogCategories::kShared, 1,
                QStringLiteral("User %1 asked for the contents of folder %2 again while its "
                               "reply waits its turn")
                    .arg(who, what));
            return;
        }
        if (f != it->second.end()) {
            Log(LogCategories::kShared, 1,
                QStringLiteral("User %1 asked for the contents of folder %2 again before the "
                               "last reply was sent, not answering")
                    .arg(who, what));
            return;
        }
        if (it->second.size() >= size_t(kMaxPendingPerPeer)) {
            Log(LogCategories::kShared, 1,
                QStringLiteral("User %1 has %2 folder contents replies still to receive, not "
                               "answering another")
                    .arg(who)
                    .arg(kMaxPendingPerPeer));
            return;
        }
    }
    if (m_totals.held >= kMaxHeldRequests) {
        if (!m_refusalLogged)
            Log(LogCategories::kShared, 1,
                QStringLiteral("%1 requests for folder contents wait already; not answering user "
                               "%2 for folder %3, nor others until fewer wait")
                    .arg(m_totals.held)
                    .arg(who, what));
        m_refusalLogged = true;
        return;
    }
    Folders& folders = m_pending[user];
    Entry& entry = folders[local];
    entry.token = token;
    entry.folder = folder;
    entry.id = ++m_lastId;
    entry.address = PeerAddressOf(user);
    // The file count settles most cases; the names are counted when the request's turn comes.
    entry.bodyBytes = FrameBytes(folder) + qint64(dir->ConnectionCount(m_fileType)) * kRecordBytes;
    Account(entry, 1);
    CountFrom(entry.address, 1);
    Admit();
}

void FolderReplies::ForgetUser(const std::string& user)
{
    // A cut closes the connections itself, and keeps what the user asked for.
    if (user == m_requeueing)
        return;
    const auto it = m_pending.find(user);
    if (it == m_pending.end())
        return;
    std::vector<std::string> locals;
    for (const auto& [local, entry] : it->second)
        locals.push_back(local);
    for (const std::string& local : locals)
        Erase(user, local);
    // Called from inside a connection's end: the room it left goes to others at the next turn.
    OnceNextTurn(this, m_admitDue, [this] { Admit(); });
}

void FolderReplies::CountFrom(quint32 address, int sign)
{
    const auto from = m_addresses.emplace(address, Address()).first;
    from->second.entries += sign;
    if (from->second.entries == 0)
        m_addresses.erase(from);
}

void FolderReplies::Account(const Entry& entry, int sign)
{
    if (entry.state == State::Held) {
        m_totals.held += sign;
        return;
    }
    if (entry.state != State::Sent)
        m_totals.beingMade += sign;
    m_totals.underWay += sign;
    m_totals.bytesUnderWay += sign * entry.charged;
    Address& from = m_addresses[entry.address];
    from.underWay += sign;
    from.bytesUnderWay += sign * entry.charged;
}

void FolderReplies::SetState(Entry& entry, State state, qint64 charged)
{
    Account(entry, -1);
    entry.state = state;
    entry.charged = state == State::Held ? 0 : charged;
    Account(entry, 1);
}

FolderReplies::Entry* FolderReplies::Find(const std::string& user, const std::string& local,
                                          quint64 id)
{
    const auto it = m_pending.find(user);
    if (it == m_pending.end())
        return nullptr;
    const auto f = it->second.find(local);
    return f != it->second.end() && f->second.id == id ? &f->second : nullptr;
}

void FolderReplies::Erase(const std::string& user, const std::string& local)
{
    const auto it = m_pending.find(user);
    if (it == m_pending.end())
        return;
    const auto f = it->second.find(local);
    if (f == it->second.end())
        return;
    const Entry& entry = f->second;
    Account(entry, -1);
    CountFrom(entry.address, -1);
    // The work queued for it goes with what it holds, the running one stops.
    if (entry.ticket)
        m_worker.Drop(entry.ticket);
    if (m_copy && m_copy->id == entry.id)
        m_copy.reset(); // its next step finds nothing to do
    it->second.erase(f);
    if (it->second.empty())
        m_pending.erase(it);
}

qint64 FolderReplies::WaitingFor(const std::string& user, const Folders& folders) const
{
    qint64 waiting = peerMessenger ? peerMessenger->BytesQueuedTo(user) : 0;
    for (const auto& [local, entry] : folders)
        waiting +=
            entry.state == State::Copying || entry.state == State::Making ? entry.charged : 0;
    return waiting;
}

bool FolderReplies::FitsUser(const Entry& entry, qint64 waiting) const
{
    // Whatever its size, a reply goes when nothing else waits for the user.
    return waiting == 0 || entry.bodyBytes <= kMaxQueuedBytesPerPeer - waiting;
}

namespace {

// Whether a reply fits beside those under way; whatever its size, it goes when none is.
bool Fits(int underWay, qint64 bytesUnderWay, int most, qint64 mostBytes, qint64 bodyBytes)
{
    return underWay == 0 || (underWay < most && bytesUnderWay + bodyBytes <= mostBytes);
}

} // namespace

bool FolderReplies::FitsAddress(const Entry& entry) const
{
    const auto from = m_addresses.find(entry.address);
    return from == m_addresses.end() ||
           Fits(from->second.underWay, from->second.bytesUnderWay, kMaxRepliesUnderWayPerAddress,
                kMaxReplyBytesUnderWayPerAddress, entry.bodyBytes);
}

bool FolderReplies::FitsTotal(const Entry& entry) const
{
    return Fits(m_totals.underWay, m_totals.bytesUnderWay, kMaxRepliesUnderWay,
                kMaxReplyBytesUnderWay, entry.bodyBytes);
}

void FolderReplies::ForgetGone()
{
    const qint64 now = Clock::MonotonicMs();
    int sentInAll = 0;
    for (auto u = m_pending.begin(); u != m_pending.end();) {
        Folders& folders = u->second;
        int sent = 0;
        for (auto f = folders.begin(); f != folders.end();) {
            Entry& entry = f->second;
            if (entry.state == State::Sent && (!entry.gone || entry.gone())) {
                Account(entry, -1);
                CountFrom(entry.address, -1);
                f = folders.erase(f);
                continue;
            }
            sent += entry.state == State::Sent ? 1 : 0;
            ++f;
        }
        // What left the host for the user since it was last looked at, in equal parts to its
        // replies sent: what the peer acknowledged, whatever our own queue or the system's
        // buffers still hold.
        const qint64 departed =
            sent > 0 && peerMessenger ? peerMessenger->BytesDepartedTo(u->first) : 0;
        for (auto& [local, entry] : folders) {
            if (entry.state != State::Sent)
                continue;
            const qint64 part = std::max<qint64>(0, departed - entry.departedSeen) / sent;
            entry.departedSeen = departed;
            if (part > 0) {
                entry.drained += part;
                entry.unreadSinceMs = now;
                m_windowDrained += part;
            }
            if (entry.halfMs < 0 && 2 * entry.drained >= entry.messageBytes)
                entry.halfMs = now;
        }
        sentInAll += sent;
        u = folders.empty() ? m_pending.erase(u) : std::next(u);
    }
    MeasureWindow(now, sentInAll);
}

void FolderReplies::MeasureWindow(qint64 now, int sent)
{
    if (m_windowFromMs >= 0 && now - m_windowFromMs >= kReplyRateWindowMs) {
        const qint64 window = now - m_windowFromMs;
        m_linkRates.emplace_back(now, m_windowDrained * 1000 / window);
        while (m_linkRates.front().first < now - kLinkMemoryMs)
            m_linkRates.pop_front();
        qint64 link = 0;
        for (const auto& [end, rate] : m_linkRates)
            link = std::max(link, rate);
        m_fairShare = link / std::max(1, m_windowReplies);
        for (auto& [user, folders] : m_pending) {
            for (auto& [local, entry] : folders) {
                if (entry.state == State::Sent)
                    entry.rate = entry.windowFromDrained < 0
                                     ? -1
                                     : (entry.drained - entry.windowFromDrained) * 1000 / window;
            }
        }
        m_windowFromMs = -1;
    }
    if (m_windowFromMs >= 0 || sent == 0)
        return;
    m_windowFromMs = now;
    m_windowDrained = 0;
    m_windowReplies = sent;
    for (auto& [user, folders] : m_pending) {
        for (auto& [local, entry] : folders) {
            if (entry.state == State::Sent)
                entry.windowFromDrained = entry.drained;
        }
    }
}

const FolderReplies::Entry* FolderReplies::SlowestBelowShare(const std::string** user) const
{
    if (m_fairShare <= 0)
        return nullptr;
    const qint64 now = Clock::MonotonicMs();
    const Entry* oldest = nullptr;
    for (const auto& [name, folders] : m_pending) {
        for (const auto& [local, entry] : folders) {
            if (entry.state == State::Sent && (!oldest || entry.id < oldest->id))
                oldest = &entry;
        }
    }
    const Entry* slow = nullptr;
    for (const auto& [name, folders] : m_pending) {
        for (const auto& [local, entry] : folders) {
            if (entry.state != State::Sent || &entry == oldest || entry.rate < 0 ||
                entry.rate * kFarBelowShare >= m_fairShare)
                continue;
            // Most of it has gone: cutting it would waste that, as long as the rest keeps
            // coming within reason.
            if (entry.halfMs >= 0 &&
                now - entry.sentMs <= kPastHalfPatience * (entry.halfMs - entry.sentMs))
                continue;
            if (!slow || entry.rate < slow->rate) {
                *user = &name;
                slow = &entry;
            }
        }
    }
    return slow;
}

void FolderReplies::Requeue(const std::string& user)
{
    m_requeueing = user;
    if (peerMessenger)
        CloseMessagingConnections(user);
    m_requeueing.clear();
    const auto it = m_pending.find(user);
    if (it == m_pending.end())
        return;
    std::vector<std::string> cut;
    for (auto& [local, entry] : it->second) {
        if (entry.state == State::Sent)
            cut.push_back(local);
    }
    for (const std::string& local : cut) {
        const auto u = m_pending.find(user);
        const auto f = u != m_pending.end() ? u->second.find(local) : Folders::iterator();
        if (u == m_pending.end() || f == u->second.end())
            continue;
        Entry& entry = f->second;
        if (entry.cuts > 0) {
            Log(LogCategories::kShared, 1,
                QStringLiteral("The contents of folder %1 were cut twice on their way to user "
                               "%2, forgetting the request")
                    .arg(QString::fromStdString(entry.folder), QString::fromStdString(user)));
            Erase(user, local);
            continue;
        }
        ++entry.cuts;
        entry.gone = nullptr;
        SetState(entry, State::Held, 0);
    }
    // The room it left goes to the next in turn, its own requests among them.
    OnceNextTurn(this, m_admitDue, [this] { Admit(); });
}

void FolderReplies::Admit()
{
    ForgetGone();
    m_waitingForRoom = false;
    const bool copying = m_copy != nullptr;
    if (!copying && m_totals.beingMade < kMaxRepliesBeingMade && m_totals.held > 0) {
        // The first in turn among the requests whose users have room: the address served
        // longest ago, or not since its last request, then the one asking for least, then the
        // request that came first.
        const std::string* user = nullptr;
        const std::string* firstLocal = nullptr;
        Entry* first = nullptr;
        const Address* firstFrom = nullptr;
        for (auto& [name, folders] : m_pending) {
            qint64 waiting = -1;
            for (auto& [local, entry] : folders) {
                if (entry.state != State::Held)
                    continue;
                if (waiting < 0)
                    waiting = WaitingFor(name, folders);
                if (!FitsUser(entry, waiting)) {
                    if (!entry.userRoomLogged)
                        Log(LogCategories::kShared, 1,
                            QStringLiteral("Too much waits to go to user %1; the contents of "
                                           "folder %2 follow once it has gone")
                                .arg(QString::fromStdString(name),
                                     QString::fromStdString(entry.folder)));
                    entry.userRoomLogged = true;
                    continue;
                }
                Address& from = m_addresses[entry.address];
                if (!FitsAddress(entry)) {
                    if (!from.partLogged)
                        Log(LogCategories::kShared, 1,
                            QStringLiteral("Folder contents replies to address %1 take its part "
                                           "(%2 replies, %3 bytes); its requests wait")
                                .arg(QHostAddress(entry.address).toString())
                                .arg(from.underWay)
                                .arg(from.bytesUnderWay));
                    from.partLogged = true;
                    continue;
                }
                if (!first || from.lastTurn < firstFrom->lastTurn ||
                    (from.lastTurn == firstFrom->lastTurn &&
                     (from.entries < firstFrom->entries ||
                      (from.entries == firstFrom->entries && entry.id < first->id)))) {
                    user = &name;
                    firstLocal = &local;
                    first = &entry;
                    firstFrom = &from;
                }
            }
        }
        if (first && FitsTotal(*first)) {
            m_addresses[first->address].lastTurn = ++m_lastTurn;
            SetState(*first, State::Copying, first->bodyBytes);
            m_copy = std::make_unique<Copy>();
            m_copy->user = *user;
            m_copy->local = *firstLocal;
            m_copy->id = first->id;
        } else if (first) {
            m_waitingForRoom = true;
            if (!m_roomLogged)
                Log(LogCategories::kShared, 1,
                    QStringLiteral("Folder contents replies under way take all their room (%1 "
                                   "replies, %2 bytes); %3 requests wait their turn")
                        .arg(m_totals.underWay)
                        .arg(m_totals.bytesUnderWay)
                        .arg(m_totals.held));
            m_roomLogged = true;
        }
    }
    if (m_totals.held == 0) {
        m_roomLogged = false;
        m_refusalLogged = false;
        m_retry.stop();
    } else if (!m_retry.isActive()) {
        m_retry.start();
    }
    // A copy under way goes on by itself; a new one starts here.
    if (!copying && m_copy)
        m_copying.RunNow();
}

bool FolderReplies::CopyStep()
{
    if (!m_copy)
        return false;
    Copy& c = *m_copy;
    Entry* entry = Find(c.user, c.local, c.id);
    const Item* folder = c.folderId ? d.ItemById(c.folderId) : m_visible(c.user, c.local);
    if (!entry || !folder || folder->GetType() != m_folderType || folder->AsString() != c.local)
        return NotShared();
    const auto live = [&](uint32_t id) -> const Item* {
        const Item* file = d.ItemById(id);
        return file && file->GetType() == m_fileType && file->IsConnected(folder) ? file : nullptr;
    };
    size_t budget = kFilesAStep;
    if (c.phase == Copy::Phase::Ids) {
        c.folderId = folder->Id();
        c.files.reserve(folder->ConnectionCount(m_fileType));
        folder->VisitItems(m_fileType, [&c](const Item* file) {
            c.files.push_back(file->Id());
            return false;
        });
        c.phase = entry->counted ? Copy::Phase::Copy : Copy::Phase::Count;
    }
    if (c.phase == Copy::Phase::Count) {
        for (; c.at < c.files.size() && budget > 0; ++c.at, --budget) {
            if (const Item* file = live(c.files[c.at])) {
                const Item* name = file->HasItem(m_nameType);
                c.bytes += kRecordBytes + qint64(name ? name->AsString().View().size() : 0);
            }
        }
        if (c.at < c.files.size())
            return true;
        entry->bodyBytes = FrameBytes(entry->folder) + c.bytes;
        entry->counted = true;
        c.at = 0;
        c.bytes = 0;
        // Counted, it is weighed again as it is, and waits when it no longer fits.
        SetState(*entry, State::Held, 0);
        const auto folders = m_pending.find(c.user);
        if (!FitsUser(*entry, WaitingFor(c.user, folders->second)) || !FitsAddress(*entry) ||
            !FitsTotal(*entry)) {
            m_copy.reset();
            Admit();
            return m_copy != nullptr;
        }
        SetState(*entry, State::Copying, entry->bodyBytes);
        c.phase = Copy::Phase::Copy;
    }
    if (c.at == 0) {
        const qint64 names =
            entry->bodyBytes - FrameBytes(entry->folder) - qint64(c.files.size()) * kRecordBytes;
        c.copied.files.reserve(c.files.size());
        c.copied.names.reserve(size_t(std::max<qint64>(0, names)));
    }
    for (; c.at < c.files.size() && budget > 0; ++c.at, --budget) {
        const Item* file = live(c.files[c.at]);
        if (!file)
            continue;
        const Item* name = file->HasItem(m_nameType);
        const Item* size = file->HasItem(m_sizeType);
        const std::string_view text = name ? name->AsString().View() : std::string_view();
        c.copied.files.push_back({c.copied.names.size(), text.size(), size ? size->AsInt64() : 0});
        c.copied.names.append(text);
        c.bytes += kRecordBytes + qint64(text.size());
    }
    if (c.at < c.files.size())
        return true;
    if (!m_visible(c.user, c.local))
        return NotShared();

    // Made and compressed at the best level off this thread: a big folder takes a while.
    SetState(*entry, State::Making, FrameBytes(entry->folder) + c.bytes);
    entry->ticket = m_worker.Run(
        [token = entry->token, text = entry->folder,
         copied = std::move(c.copied)](const WorkerThread::Stop& stop) mutable {
            QByteArray body;
            {
                // The copy goes once the body is written, before zlib takes its share.
                const CopiedFiles files = std::move(copied);
                if (stop)
                    return MemStream();
                body = FolderContentsBody(token, text, files);
            }
            // Copied into the stream it is sent from here: tens of megabytes for a big folder,
            // which the GUI thread then takes as they are.
            const QByteArray message = CompressedMessage(PM_SHARED_FILES_IN_FOLDER, body, &stop);
            MemStream stream;
            stream.EnsureBufferCapacity(int(message.size()));
            stream.WriteBuffer(message.constData(), static_cast<unsigned long>(message.size()));
            return stream;
        },
        [this, user = c.user, local = c.local, id = c.id](const MemStream& message) {
            Made(user, local, id, message);
        });
    m_copy.reset();
    Admit();
    return m_copy != nullptr;
}

bool FolderReplies::NotShared()
{
    // No reply, as a request for the folder would get none now.
    const std::string user = m_copy->user;
    const std::string local = m_copy->local;
    if (const Entry* entry = Find(user, local, m_copy->id)) {
        Log(LogCategories::kShared, 1,
            QStringLiteral("Folder %1 is no longer shared with user %2, not sending its contents")
                .arg(QString::fromStdString(entry->folder), QString::fromStdString(user)));
        Erase(user, local);
    }
    m_copy.reset();
    Admit();
    return m_copy != nullptr;
}

void FolderReplies::Made(const std::string& user, const std::string& local, quint64 id,
                         const MemStream& message)
{
    Entry* entry = Find(user, local, id);
    if (!entry)
        return;
    entry->ticket = 0;
    // A host built without peer messaging answers nobody.
    if (message.GetBufferLength() == 0 || !peerMessenger) {
        if (message.GetBufferLength() == 0)
            Log(LogCategories::kShared, 1,
                QStringLiteral("Could not compress the contents of a shared folder"));
        Erase(user, local);
        Admit();
        return;
    }
    SetState(*entry, State::Sent, message.GetBufferLength());
    entry->sentMs = entry->unreadSinceMs = Clock::MonotonicMs();
    entry->messageBytes = message.GetBufferLength();
    entry->drained = 0;
    entry->halfMs = -1;
    entry->windowFromDrained = -1;
    entry->rate = -1;
    if (m_windowFromMs >= 0)
        ++m_windowReplies;
    peerMessenger->SendMessage(user, message);
    // Its room goes to the next in turn as soon as it has left this process.
    QPointer<FolderReplies> self(this);
    Gone gone = peerMessenger->WatchLastSent(user, [self] {
        if (self)
            OnceNextTurn(self, self->m_admitDue, [self] { self->Admit(); });
    });
    // The entry may go while the message is sent (a socket closed on a full buffer).
    if ((entry = Find(user, local, id))) {
        entry->gone = std::move(gone);
        entry->departedSeen = peerMessenger->BytesDepartedTo(user);
    }
    Admit();
}

void FolderReplies::Retry()
{
    Admit();
    if (!m_waitingForRoom)
        return;
    // The reply of which nothing has gone out for longest makes room, once that is long enough;
    // else the one furthest below its share of what the link carried over the last window.
    const qint64 now = Clock::MonotonicMs();
    const std::string* user = nullptr;
    const Entry* unread = nullptr;
    for (const auto& [name, folders] : m_pending) {
        for (const auto& [local, entry] : folders) {
            if (entry.state == State::Sent && now - entry.unreadSinceMs >= kMaxUnreadMs &&
                (!unread || entry.unreadSinceMs < unread->unreadSinceMs)) {
                user = &name;
                unread = &entry;
            }
        }
    }
    if (unread) {
        const std::string who = *user;
        Log(LogCategories::kShared, 1,
            QStringLiteral("User %1 has read nothing of the contents of folder %2 for %3 s while "
                           "other requests wait for room, closing the connection")
                .arg(QString::fromStdString(who), QString::fromStdString(unread->folder))
                .arg((now - unread->unreadSinceMs) / 1000));
        if (peerMessenger)
            CloseMessagingConnections(who);
        // Gone with its last connection, or left without one: its room is free either way.
        ForgetUser(who);
        return;
    }
    const Entry* slow = SlowestBelowShare(&user);
    if (!slow)
        return;
    const std::string who = *user;
    Log(LogCategories::kShared, 1,
        QStringLiteral("User %1 reads the contents of folder %2 at %3 bytes/s, under an eighth of "
                       "its share of what the link carries (%4 bytes/s), while other requests "
                       "wait for room; closing the connection, the request waits its turn again")
            .arg(QString::fromStdString(who), QString::fromStdString(slow->folder))
            .arg(slow->rate)
            .arg(m_fairShare));
    Requeue(who);
}

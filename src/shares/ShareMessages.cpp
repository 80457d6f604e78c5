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
    MakeShareList(user, [reply = std::move(reply)](const QByteArray& message) {
        reply(StreamOf(message));
    });
}

void SharedFoldersManager::MakeShareList(const std::string& user, ShareListReplies::Reply made)
{
    const ItemSet roots = GetUserSharedFolders(user);
    const ShareListReplies::Roots key = RootIds(roots);
    QByteArray message;
    if (m_shareLists->Find(key, &message)) {
        made(message);
        return;
    }
    if (m_shareLists->Wait(key, made))
        return;
    WatchShareLinks();
    m_shareLists->Build(key,
                        std::make_unique<ShareListWriter>(roots, m_shareLists->GenerationNow()),
                        std::move(made));
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
        reply(message);
}

// ---------------------------------------------------------------------------------------------
// A folder's contents, code 37, and the replies in turn (PeerReplies.cpp)

void SharedFoldersManager::OnFilesInFoldersRequested(std::string user, quint32 token,
                                                     std::string folder)
{
    // The folder as the peer wrote it, slashes or backslashes, names our local one.
    std::string local = folder;
    std::replace(local.begin(), local.end(), '\\', '/');
    m_replies->Request(user, token, folder, local);
}

void SharedFoldersManager::OnShareListRequested(const std::string& user)
{
    Log(LogCategories::kShared, 1,
        QStringLiteral("Shared file list requested by user %1").arg(QString::fromStdString(user)));
    m_replies->RequestList(user);
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
    m_replies->ForgetUser(user);
}

bool SharedFoldersManager::OwesReply(const std::string& user) const
{
    return m_replies->Owes(user);
}

SharedTimer* SharedFoldersManager::ReplyRetryTimerForTesting()
{
    return m_replies->RetryTimer();
}

PeerReplies::Totals SharedFoldersManager::ReplyLoadForTesting() const
{
    return m_replies->Load();
}


#include "shares/ShareWalk.h"

#include "store/DataSaver.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ShareWalk {

namespace {

// Text a batch holds at most, besides its record cap: a batch of long paths stays small too.
constexpr size_t kBatchText = 256 * 1024;
// Entries of one listing read between two looks at the stop flag.
constexpr int kEntriesBetweenStopChecks = 256;

FolderId IdOf(const struct stat& st)
{
    return FolderId(static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino));
}

struct Entry
{
    std::string name;
    bool isFolder = false;
    qint64 size = 0;
    FolderId id;
};

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// By name ignoring letter case, as a directory listing shows it; names that differ only in case
// keep a fixed order between them.
bool ListingOrder(const Entry& a, const Entry& b)
{
    const size_t n = std::min(a.name.size(), b.name.size());
    for (size_t k = 0; k < n; ++k) {
        const unsigned char x = static_cast<unsigned char>(LowerAscii(a.name[k]));
        const unsigned char y = static_cast<unsigned char>(LowerAscii(b.name[k]));
        if (x != y)
            return x < y;
    }
    if (a.name.size() != b.name.size())
        return a.name.size() < b.name.size();
    return a.name < b.name;
}

struct DirCloser
{
    void operator()(DIR* dir) const { closedir(dir); }
};

// The folder's directories and files, links followed. Hidden entries (a leading dot) are left
// out, and so is anything that is neither a directory nor a regular file once links are
// followed: links to nowhere, sockets, pipes, devices. A folder that cannot be opened lists as
// empty. False when it could not be listed, or stop said to give up.
template <class Stop>
bool ListFolder(const std::string& folder, FolderId& id, std::vector<Entry>& entries, Stop stop)
{
    entries.clear();
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    id = IdOf(st);
    int sinceCheck = 0;
    while (const dirent* e = readdir(dir.get())) {
        if (++sinceCheck == kEntriesBetweenStopChecks) {
            sinceCheck = 0;
            if (stop())
                return false;
        }
        if (e->d_name[0] == '.')
            continue;
        if (fstatat(fd, e->d_name, &st, 0) != 0)
            continue;
        Entry entry;
        if (S_ISDIR(st.st_mode))
            entry.isFolder = true;
        else if (!S_ISREG(st.st_mode))
            continue;
        entry.name = e->d_name;
        entry.size = static_cast<qint64>(st.st_size);
        entry.id = IdOf(st);
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(), ListingOrder);
    return true;
}

// The store file and its companions are never shared, whatever folder holds them.
void DropStoreFiles(const FolderId& folder, const std::vector<StoreFile>& storeFiles,
                    std::vector<Entry>& entries)
{
    for (const StoreFile& place : storeFiles) {
        if (place.folder != folder)
            continue;
        auto own = [&place](const Entry& e) {
            return !e.isFolder && DataSaver::IsStoreFileName(place.name, e.name);
        };
        entries.erase(std::remove_if(entries.begin(), entries.end(), own), entries.end());
    }
}

std::string Join(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + '/' + name;
}

} // namespace

bool IsMP3Name(std::string_view name)
{
    if (name.size() <= 4)
        return false;
    const std::string_view ext = name.substr(name.size() - 4);
    return ext == ".mp3" || ext == ".MP3";
}

struct Walker::Walk
{
    struct Frame
    {
        std::string path;
        FolderId id;
        std::vector<Entry> entries;
        size_t next = 0;
    };

    quint64 walk = 0;
    std::string folder;
    std::vector<StoreFile> storeFiles;
    bool started = false;
    // The folders on the current descent path, by path and by (device, inode); and those
    // entered while walking this root, by (device, inode), with the path each was entered by.
    std::set<std::string> beingScanned;
    std::set<FolderId> descentPath;
    std::map<FolderId, std::string> entered;
    std::vector<Frame> stack;

    // The next batch: records until it is full or the walk is over. A batch cut short by stop
    // is never handed back.
    Batch Next(const WorkerThread::Stop& stop);
};

Batch Walker::Walk::Next(const WorkerThread::Stop& stop)
{
    Batch batch;
    batch.walk = walk;
    const auto stopping = [&stop] { return stop.load(std::memory_order_relaxed); };
    const auto add = [&](Record record, const std::string& text, const std::string& other) {
        record.text = static_cast<quint32>(batch.text.size());
        record.textLength = static_cast<quint32>(text.size());
        batch.text += text;
        record.other = static_cast<quint32>(batch.text.size());
        record.otherLength = static_cast<quint32>(other.size());
        batch.text += other;
        batch.records.push_back(record);
    };
    const auto full = [&batch] {
        return batch.records.size() >= kBatchRecords || batch.text.size() >= kBatchText;
    };
    const std::string none;
    const auto enter = [&](const std::string& path) {
        // A folder on the descent path by its very path: nothing to add, not even a line.
        if (beingScanned.count(path))
            return;
        beingScanned.insert(path);
        Frame frame;
        frame.path = path;
        Record record;
        record.kind = Record::EnterFolder;
        if (ListFolder(path, frame.id, frame.entries, stopping)) {
            descentPath.insert(frame.id);
            entered.emplace(frame.id, path);
            DropStoreFiles(frame.id, storeFiles, frame.entries);
        }
        stack.push_back(std::move(frame));
        add(record, path, none);
    };

    if (!started) {
        started = true;
        enter(folder);
    }
    while (!stack.empty() && !full() && !stopping()) {
        Frame& top = stack.back();
        if (top.next == top.entries.size()) {
            Record record;
            record.kind = Record::LeaveFolder;
            descentPath.erase(top.id);
            beingScanned.erase(top.path);
            stack.pop_back();
            add(record, none, none);
            continue;
        }
        const Entry& entry = top.entries[top.next++];
        if (!entry.isFolder) {
            Record record;
            record.kind = Record::File;
            record.size = entry.size;
            record.mp3 = IsMP3Name(entry.name);
            add(record, entry.name, none);
        } else if (descentPath.count(entry.id)) {
            Record record;
            record.kind = Record::LoopSkipped;
            add(record, Join(top.path, entry.name), none);
        } else if (const auto at = entered.find(entry.id); at != entered.end()) {
            Record record;
            record.kind = Record::TwiceSkipped;
            add(record, Join(top.path, entry.name), at->second);
        } else {
            enter(Join(top.path, entry.name)); // top is not used after this
        }
    }
    batch.last = stack.empty();
    return batch;
}

Walker::Walker(std::function<void()> ready) : m_ready(std::move(ready)) {}

Walker::~Walker() = default;

quint64 Walker::Start(const std::string& folder, std::vector<StoreFile> storeFiles)
{
    Cancel();
    m_walk = std::make_shared<Walk>();
    m_walk->walk = ++m_lastWalk;
    m_walk->folder = folder;
    m_walk->storeFiles = std::move(storeFiles);
    m_ended = false;
    Refill();
    return m_lastWalk;
}

void Walker::Cancel()
{
    m_worker.Cancel();
    m_batches.clear();
    m_walk.reset();
    m_asked = 0;
    m_ended = true;
}

void Walker::Refill()
{
    // Each batch is listed where the one before ended: the worker takes them in order.
    while (!m_ended && m_batches.size() + m_asked < kMaxWaitingBatches) {
        ++m_asked;
        // Asked for beyond the walk's end, a batch comes back empty, after the last one.
        m_worker.Run([walk = m_walk](const WorkerThread::Stop& stop) { return walk->Next(stop); },
                     [this](Batch batch) { Arrived(std::move(batch)); });
    }
}

void Walker::Arrived(Batch batch)
{
    --m_asked;
    if (m_ended)
        return;
    m_ended = batch.last;
    if (m_ended) {
        // What was asked for beyond it.
        m_worker.Cancel();
        m_asked = 0;
        m_walk.reset();
    }
    const bool wasEmpty = m_batches.empty();
    m_batches.push_back(std::move(batch));
    Refill();
    if (wasEmpty && m_ready)
        m_ready();
}

bool Walker::Take(Batch& out)
{
    if (m_batches.empty())
        return false;
    out = std::move(m_batches.front());
    m_batches.pop_front();
    Refill();
    return true;
}

void Walker::WaitAndTake(Batch& out)
{
    while (m_batches.empty() && !m_ended) {
        Refill();
        m_worker.Finish();
    }
    Take(out);
}

} // namespace ShareWalk

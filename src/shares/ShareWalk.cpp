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

Walker::Walker(std::function<void()> ready) : m_ready(std::move(ready)) {}

Walker::~Walker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_taken.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

quint64 Walker::Start(const std::string& root, const std::string& folder,
                      std::vector<StoreFile> storeFiles)
{
    quint64 walk = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = m_lastWalk;
        m_batches.clear();
        m_jobs.clear();
        walk = ++m_lastWalk;
        m_jobs.push_back(Job{walk, root, folder, std::move(storeFiles)});
        if (!m_thread.joinable())
            m_thread = std::thread(&Walker::Run, this);
    }
    m_wake.notify_all();
    return walk;
}

void Walker::Cancel()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = m_lastWalk;
        m_batches.clear();
        m_jobs.clear();
    }
    m_wake.notify_all();
}

bool Walker::Take(Batch& out)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_batches.empty())
            return false;
        out = std::move(m_batches.front());
        m_batches.pop_front();
    }
    m_wake.notify_all();
    return true;
}

void Walker::WaitAndTake(Batch& out)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_taken.wait(lock, [this] { return !m_batches.empty() || m_stop; });
        if (m_batches.empty())
            return;
        out = std::move(m_batches.front());
        m_batches.pop_front();
    }
    m_wake.notify_all();
}

void Walker::Run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
            if (m_stop)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        if (!Stopping(job.walk))
            Walk(job);
    }
}

bool Walker::Hand(Batch& batch, bool last)
{
    bool wasEmpty = false;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [&] {
            return m_batches.size() < kMaxWaitingBatches || Stopping(batch.walk);
        });
        if (Stopping(batch.walk))
            return false;
        wasEmpty = m_batches.empty();
        batch.last = last;
        const quint64 walk = batch.walk;
        m_batches.push_back(std::move(batch));
        batch = Batch();
        batch.walk = walk;
    }
    m_taken.notify_all();
    if (wasEmpty && m_ready)
        m_ready();
    return true;
}

void Walker::Walk(const Job& job)
{
    struct Frame
    {
        std::string path;
        FolderId id;
        std::vector<Entry> entries;
        size_t next = 0;
    };
    // The folders on the current descent path, by path and by (device, inode); and those
    // entered while walking this root, by (device, inode), with the path each was entered by.
    std::set<std::string> beingScanned;
    std::set<FolderId> descentPath;
    std::map<FolderId, std::string> entered;
    std::vector<Frame> stack;
    const auto stop = [this, &job] { return Stopping(job.walk); };

    Batch batch;
    batch.walk = job.walk;
    const auto add = [&](Record record, const std::string& text, const std::string& other) {
        record.text = static_cast<quint32>(batch.text.size());
        record.textLength = static_cast<quint32>(text.size());
        batch.text += text;
        record.other = static_cast<quint32>(batch.text.size());
        record.otherLength = static_cast<quint32>(other.size());
        batch.text += other;
        batch.records.push_back(record);
        if (batch.records.size() < kBatchRecords && batch.text.size() < kBatchText)
            return true;
        return Hand(batch, false);
    };
    const std::string none;
    const auto enter = [&](const std::string& path) {
        // A folder on the descent path by its very path: nothing to add, not even a line.
        if (beingScanned.count(path))
            return true;
        beingScanned.insert(path);
        Frame frame;
        frame.path = path;
        Record record;
        record.kind = Record::EnterFolder;
        const bool listed = ListFolder(path, frame.id, frame.entries, stop);
        if (stop())
            return false;
        if (listed) {
            descentPath.insert(frame.id);
            entered.emplace(frame.id, path);
            DropStoreFiles(frame.id, job.storeFiles, frame.entries);
        }
        stack.push_back(std::move(frame));
        return add(record, path, none);
    };

    if (!enter(job.folder))
        return;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.entries.size()) {
            Record record;
            record.kind = Record::LeaveFolder;
            descentPath.erase(top.id);
            beingScanned.erase(top.path);
            stack.pop_back();
            if (!add(record, none, none))
                return;
            continue;
        }
        const Entry& entry = top.entries[top.next++];
        bool going = true;
        if (!entry.isFolder) {
            Record record;
            record.kind = Record::File;
            record.size = entry.size;
            record.mp3 = IsMP3Name(entry.name);
            going = add(record, entry.name, none);
        } else if (descentPath.count(entry.id)) {
            Record record;
            record.kind = Record::LoopSkipped;
            going = add(record, Join(top.path, entry.name), none);
        } else if (const auto at = entered.find(entry.id); at != entered.end()) {
            Record record;
            record.kind = Record::TwiceSkipped;
            going = add(record, Join(top.path, entry.name), at->second);
        } else {
            going = enter(Join(top.path, entry.name)); // top is not used after this
        }
        if (!going)
            return;
    }
    Hand(batch, true);
}

} // namespace ShareWalk

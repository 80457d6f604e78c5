#include "store/DataSaver.h"

#include "store/Checksum.h"
#include "store/Log.h"
#include "store/Pages.h"
#include "store/WorkerThread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

DataSaver* dataSaver = nullptr;

namespace {

// The trailer a save appends after the pairs: a marker, then the CRC-32 of every byte before it.
constexpr char kTrailerMarker[] = {'Q', 'V', 'C', 'R', 'C', '3', '2', ':'};
constexpr size_t kTrailerSize = sizeof kTrailerMarker + 4;

std::string SystemError()
{
    return std::strerror(errno);
}

// Collects the bytes in a large buffer and hands them to the file in big blocks, keeping the
// checksum of all it wrote; a block the device does not take whole fails the save with the
// system's reason.
class Writer
{
public:
    explicit Writer(int fd) : fd_(fd), buffer_(new char[kBlock]) {}

    void Int(int32_t value)
    {
        if (kBlock - used_ < 4)
            Flush();
        qToLittleEndian<qint32>(value, buffer_.get() + used_);
        used_ += 4;
    }
    void Byte(bool value)
    {
        if (used_ == kBlock)
            Flush();
        buffer_[used_++] = value ? 1 : 0;
    }
    void String(std::string_view text)
    {
        if (text.size() > static_cast<size_t>(INT32_MAX))
            throw DataSaveFailure("a value too long for the store file");
        Int(static_cast<int32_t>(text.size()));
        if (kBlock - used_ < text.size()) {
            Flush();
            if (text.size() > kBlock) {
                Put(text.data(), text.size());
                return;
            }
        }
        std::memcpy(buffer_.get() + used_, text.data(), text.size());
        used_ += text.size();
    }
    void Flush()
    {
        Put(buffer_.get(), used_);
        used_ = 0;
    }
    // The rest of the layout, then the trailer over all of it.
    void Finish()
    {
        Flush();
        char trailer[kTrailerSize];
        std::memcpy(trailer, kTrailerMarker, sizeof kTrailerMarker);
        qToLittleEndian<quint32>(crc_, trailer + sizeof kTrailerMarker);
        Put(trailer, sizeof trailer);
    }

private:
    static constexpr size_t kBlock = 1 << 20;

    // The checksum is taken while the block is still in the cache.
    void Put(const char* data, size_t size)
    {
        crc_ = Crc32(crc_, data, size);
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            // A write that took part of the block says nothing about why; the next one, which
            // takes nothing, has the reason (no space, file too large).
            if (n < 0)
                throw DataSaveFailure("writing failed: " + SystemError());
            if (n == 0)
                throw DataSaveFailure("writing failed: the device takes no more bytes");
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

    int fd_;
    std::unique_ptr<char[]> buffer_;
    size_t used_ = 0;
    uint32_t crc_ = 0;
};

bool ReplaceFile(const QString& from, const QString& to)
{
    // rename(2) replaces the target in one step: a reader sees the old file or the new one.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// The file a link at path leads to, through any chain of links; it need not exist. A save goes
// there, so that the link stays and the file it names is the one kept up to date. Empty, with
// why set, when the chain never ends at a file: a link that leads back to one already passed, more
// links than the system follows in a row, or a loop in a folder on the way. Stopping at whichever
// link was reached would put the store file in place of a link, perhaps in another folder.
QString FollowLinks(const QString& path, QString& why)
{
    // As many as the system itself follows before it gives up with ELOOP.
    constexpr int kMaxLinks = 40;
    QString at = path;
    QSet<QString> passed;
    for (int links = 0;; ++links) {
        const QFileInfo info(at);
        if (!info.isSymLink()) {
            struct stat status;
            if (info.exists() || ::lstat(QFile::encodeName(at).constData(), &status) == 0 ||
                errno != ELOOP)
                return at;
            why = QStringLiteral("the way to %1 goes through a loop of symbolic links").arg(at);
            return QString();
        }
        if (passed.contains(info.absoluteFilePath())) {
            why = QStringLiteral("%1 is a loop of symbolic links").arg(path);
            return QString();
        }
        if (links == kMaxLinks) {
            why = QStringLiteral("%1 leads through more than %2 symbolic links")
                      .arg(path, QString::number(kMaxLinks));
            return QString();
        }
        passed.insert(info.absoluteFilePath());
        at = info.symLinkTarget();
    }
}

QString NumberedName(const QString& path, int n)
{
    // One pass of arg(): a "%1" in the path itself must not be taken for the number's place.
    return QStringLiteral("%1.%2").arg(path, QString::number(n));
}

// Makes a new file under the first free name of path.1, path.2, ...: make(name) returns whether
// it made it, with errno set when not. A name counts as taken also when it is a link to nowhere,
// so nothing is ever made through a link someone left under one of these names. Returns the
// name, or nothing (errno set) on any failure but a name taken meanwhile.
QString MakeNumbered(const QString& path, const std::function<bool(const char*)>& make)
{
    for (int n = 1;; ++n) {
        const QString name = NumberedName(path, n);
        const QFileInfo info(name);
        if (info.exists() || info.isSymLink())
            continue;
        if (make(QFile::encodeName(name).constData()))
            return name;
        if (errno != EEXIST)
            return QString();
    }
}

QString PreviousName(const QString& path)
{
    return path + QStringLiteral(".previous");
}

// A save killed half-way leaves its numbered temporary file behind, as large as the store, and
// nothing else would ever remove it. Only plain files under a name a save makes are taken.
void RemoveLeftovers(const QString& path)
{
    const QFileInfo info(path);
    const QString prefix = info.fileName() + QLatin1Char('.');
    QDir dir = info.absoluteDir();
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden, QDir::NoSort);
    for (const QString& name : names) {
        if (!name.startsWith(prefix))
            continue;
        const QStringView number = QStringView(name).mid(prefix.size());
        if (number.isEmpty() || number.front() == QLatin1Char('0') ||
            !std::all_of(number.begin(), number.end(),
                         [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
            continue;
        const QString leftover = dir.filePath(name);
        if (QFileInfo(leftover).isSymLink())
            continue;
        if (QFile::remove(leftover))
            Log(LogCategories::kConfigurationData, 2,
                QStringLiteral("Removed %1, left by an earlier save").arg(leftover));
    }
}

// Keeps the file about to be replaced as <path>.previous: a second name for it, made under a
// free numbered name and then renamed over the older one, so that each of the two names always
// holds a whole file. Failing here costs only the older generation, so the save goes on.
void KeepPrevious(const QString& path)
{
    if (!QFileInfo(path).isFile())
        return;
    const QByteArray from = QFile::encodeName(path);
    const QString name =
        MakeNumbered(path, [&from](const char* to) { return ::link(from.constData(), to) == 0; });
    if (!name.isEmpty() && ReplaceFile(name, PreviousName(path)))
        return;
    const std::string why = SystemError();
    if (!name.isEmpty())
        QFile::remove(name);
    Log(LogCategories::kConfigurationData, 2,
        QStringLiteral("The replaced file could not be kept as %1: %2")
            .arg(PreviousName(path), QString::fromStdString(why)));
}

// The rename is only on disk once the folder is: without this a power cut can bring the old file
// back.
bool SyncFolder(const QString& path, std::string& why)
{
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        why = SystemError();
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    if (!synced)
        why = SystemError();
    ::close(fd);
    return synced;
}

// Files smaller than this are read whole before they are parsed.
std::atomic<size_t> g_streamMin{size_t(4) << 20};

} // namespace

// Reads a file into a buffer on a worker thread, so that the bytes already in can be parsed while
// the rest comes from the disk. Only bytes cross: the worker never sees the store.
class DataSaver::StreamedRead
{
public:
    // Reads [0, size) of fd into bytes, in order, from the file's current position.
    StreamedRead(int fd, char* bytes, size_t size)
    {
        m_worker.Run(
            [this, fd, bytes, size](const WorkerThread::Stop& stop) {
                Run(fd, bytes, size, stop);
                return true;
            },
            [](bool) {});
    }
    // The worker's end stops the read and waits for it.
    ~StreamedRead() = default;
    StreamedRead(const StreamedRead&) = delete;
    StreamedRead& operator=(const StreamedRead&) = delete;

    // Waits until the first `bytes` bytes are in or the read has ended; how many are in.
    size_t WaitFor(size_t bytes)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_got >= bytes || m_done; });
        return m_got;
    }
    // Waits for the end of the read: the bytes read, and the error that ended it, if any.
    size_t Finish(int* error)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_done; });
        *error = m_error;
        return m_got;
    }

private:
    static constexpr size_t kChunk = size_t(1) << 20;

    void Run(int fd, char* bytes, size_t size, const WorkerThread::Stop& stop)
    {
        size_t got = 0;
        int error = 0;
        while (got < size && !stop) {
            const ssize_t n = ::read(fd, bytes + got, std::min(kChunk, size - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                error = errno;
            if (n <= 0)
                break; // an error, or shorter than it was
            got += static_cast<size_t>(n);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_got = got;
            m_changed.notify_all();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_error = error;
        m_done = true;
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    size_t m_got = 0;
    bool m_done = false;
    int m_error = 0;
    WorkerThread m_worker; // last: it runs on the members above
};

// Reads the file's bytes, held in memory whole, and knows how many are left, so that no length
// read from the file can make it allocate more than the file holds. When asked to, it takes the
// checksum as it goes, a block at a time just ahead of what it reads, so that the bytes are
// fetched from memory once for both.
class DataSaver::Reader
{
public:
    // With a stream, the bytes are still being read into data: each is waited for.
    Reader(const char* data, size_t size, bool checksum, StreamedRead* stream = nullptr)
        : begin_(data), at_(data), end_(data + size), summed_(checksum ? data : end_),
          ready_(stream ? data : end_), stream_(stream)
    {
    }

    int32_t Int()
    {
        Need(4);
        const int32_t value = qFromLittleEndian<qint32>(at_);
        at_ += 4;
        return value;
    }
    char Byte()
    {
        Need(1);
        return *at_++;
    }
    // The text stays in the file's bytes; at, when asked for, is where it begins.
    std::string_view String(const char** at = nullptr)
    {
        const int32_t length = Int();
        if (length < 0)
            throw DataLoadFailure("a negative string length");
        if (length > BytesLeft())
            throw DataLoadFailure("a string longer than the rest of the file");
        Need(length);
        const char* text = at_;
        at_ += length;
        if (at)
            *at = text;
        // A value never holds a NUL; the text ends at the first one.
        const void* nul = std::memchr(text, 0, static_cast<size_t>(length));
        const size_t size =
            nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : length;
        return std::string_view(text, size);
    }
    // The next size bytes, which must be there.
    const char* Take(size_t size)
    {
        Need(static_cast<int64_t>(size));
        const char* bytes = at_;
        at_ += size;
        return bytes;
    }
    int64_t BytesLeft() const { return end_ - at_; }
    size_t Offset() const { return static_cast<size_t>(at_ - begin_); }
    const char* Position() const { return at_; }
    size_t OffsetOf(const char* at) const { return static_cast<size_t>(at - begin_); }
    // The checksum of every byte, read or not.
    uint32_t Checksum()
    {
        SumUpTo(end_);
        return sum_;
    }

private:
    static constexpr size_t kSumBlock = 64 * 1024;

    void Need(int64_t size)
    {
        if (BytesLeft() < size)
            throw DataLoadFailure("the file ends too early");
        if (at_ + size > ready_)
            WaitUpTo(at_ + size);
        if (at_ + size > summed_) {
            const size_t ahead =
                std::max<size_t>(kSumBlock, static_cast<size_t>(at_ + size - summed_));
            SumUpTo(static_cast<size_t>(end_ - summed_) > ahead ? summed_ + ahead : end_);
        }
    }
    void SumUpTo(const char* to)
    {
        if (to > ready_)
            WaitUpTo(to);
        if (to > summed_) {
            sum_ = Crc32(sum_, summed_, static_cast<size_t>(to - summed_));
            summed_ = to;
        }
    }

    void WaitUpTo(const char* to)
    {
        const size_t need = static_cast<size_t>(to - begin_);
        const size_t got = stream_->WaitFor(need);
        if (got < need)
            throw DataLoadFailure("the file ends too early");
        ready_ = begin_ + got;
    }

    const char* begin_;
    const char* at_;
    const char* end_;
    const char* summed_;
    const char* ready_; // bytes before it are in
    StreamedRead* stream_;
    uint32_t sum_ = 0;
};

DataSaver::DataSaver()
{
    dataSaver = this;
}

DataSaver::~DataSaver()
{
    if (dataSaver == this)
        dataSaver = nullptr;
}

void DataSaver::AddSavedType(const std::string& typeName)
{
    savedTypes_.insert(d.GetType(typeName));
}

void DataSaver::AddSavedByConnectionType(const std::string& savedTypeName,
                                         const std::string& viaTypeName)
{
    Type* via = d.GetType(viaTypeName);
    Type* saved = d.GetType(savedTypeName);
    std::vector<Type*>& vias = savedByConnection_[saved];
    if (std::find(vias.begin(), vias.end(), via) == vias.end())
        vias.push_back(via);
}

void DataSaver::AddDataLoadedEventHandler(DataLoadedEventHandler* handler)
{
    if (handler &&
        std::find(loadedHandlers_.begin(), loadedHandlers_.end(), handler) == loadedHandlers_.end())
        loadedHandlers_.push_back(handler);
}

void DataSaver::EmitDataLoaded()
{
    const std::vector<DataLoadedEventHandler*> handlers = loadedHandlers_;
    for (DataLoadedEventHandler* handler : handlers)
        handler->DataLoaded();
}

// ---------------------------------------------------------------------------------------------
// Saving

bool DataSaver::Save(const QString& path)
{
    path_ = path;
    saveFailure_.clear();
    QString target;
    QString temporary;
    int fd = -1;
    try {
        QString why;
        target = FollowLinks(path, why);
        if (target.isEmpty())
            throw DataSaveFailure(why.toStdString());
        RemoveLeftovers(target);
        temporary = MakeNumbered(target, [&fd](const char* name) {
            fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            return fd >= 0;
        });
        if (temporary.isEmpty())
            throw DataSaveFailure("cannot create a temporary file beside " + target.toStdString() +
                                  ": " + SystemError());
        WriteFile(fd);
        // On disk before it takes the old file's place, so that a crash leaves one or the other.
        if (::fsync(fd) != 0)
            throw DataSaveFailure("syncing failed: " + SystemError());
        const int closed = ::close(fd);
        fd = -1;
        if (closed != 0)
            throw DataSaveFailure("closing failed: " + SystemError());
        KeepPrevious(target);
        if (!ReplaceFile(temporary, target))
            throw DataSaveFailure("cannot rename " + temporary.toStdString() + " to " +
                                  target.toStdString() + ": " + SystemError());
    } catch (const DataSaveFailure& failure) {
        if (fd >= 0)
            ::close(fd);
        if (!temporary.isEmpty())
            QFile::remove(temporary);
        saveFailure_ = QString::fromStdString(failure.what());
        Log(LogCategories::kConfigurationData, 1,
            QStringLiteral("Saving the configuration data failed, the previous file is kept: %1")
                .arg(saveFailure_));
        return false;
    }
    std::string why;
    if (!SyncFolder(target, why))
        Log(LogCategories::kConfigurationData, 1,
            QStringLiteral("The configuration data was saved, but its folder could not be "
                           "synced: %1")
                .arg(QString::fromStdString(why)));
    return true;
}

void DataSaver::WriteFile(int fd)
{
    Writer w(fd);
    const std::vector<Type*> types = d.GetTypes();
    std::vector<Type*> saved;
    for (Type* type : types) {
        if (savedTypes_.count(type) || savedByConnection_.count(type))
            saved.push_back(type);
    }
    w.Int(static_cast<int32_t>(saved.size()));

    // File ids by store id; 0 is "not written". Items are fetched a little ahead of their
    // turn, the item first and then its value's bytes, so that the misses overlap.
    constexpr size_t kAhead = 8;
    std::vector<int32_t> fileIds(d.items_.size(), 0);
    std::vector<Item*> written;
    written.reserve(d.ItemCount());
    int32_t nextId = 1;
    std::vector<Item*> chosen;
    for (Type* type : saved) {
        chosen.clear();
        if (savedTypes_.count(type)) {
            type->ids_.ForEach([&](uint32_t id) { chosen.push_back(d.items_[id]); });
        } else {
            const std::vector<Type*>& vias = savedByConnection_[type];
            type->ids_.ForEach([&](uint32_t id) {
                Item* item = d.items_[id];
                for (const Type* via : vias) {
                    if (item->IsConnected(via)) {
                        chosen.push_back(item);
                        break;
                    }
                }
            });
        }
        w.String(type->GetName());
        w.Byte(type->IsNull());
        w.Int(static_cast<int32_t>(chosen.size()));
        for (size_t k = 0; k < chosen.size(); ++k) {
            if (k + 2 * kAhead < chosen.size())
                __builtin_prefetch(chosen[k + 2 * kAhead]);
            if (k + kAhead < chosen.size())
                __builtin_prefetch(chosen[k + kAhead]->value_.data());
            Item* item = chosen[k];
            fileIds[item->Id()] = nextId;
            written.push_back(item);
            w.Int(nextId);
            if (!type->IsNull())
                w.String(item->AsString());
            ++nextId;
        }
    }

    // Each connection once, from its smaller id. Walking the items in id order and sorting each
    // one's partners gives the pairs in ascending order without a global sort; only partners of
    // saved types are looked at. The k-th item written has the file id k + 1.
    std::vector<bool> savedType(d.types_.size(), false);
    for (Type* type : saved)
        savedType[type->Id()] = true;
    std::vector<uint32_t> partnerTypes;
    std::vector<int32_t> partners;
    std::vector<int32_t> pairs;
    for (size_t k = 0; k < written.size(); ++k) {
        if (k + 2 * kAhead < written.size())
            __builtin_prefetch(written[k + 2 * kAhead]);
        if (k + kAhead < written.size())
            written[k + kAhead]->links_.Prefetch();
        const Item* item = written[k];
        partners.clear();
        const int32_t own = static_cast<int32_t>(k + 1);
        item->links_.Types(partnerTypes);
        for (uint32_t t : partnerTypes) {
            if (!savedType[t])
                continue;
            item->links_.ForEach(t, [&](uint32_t id) {
                const int32_t other = fileIds[id];
                if (other > own)
                    partners.push_back(other);
            });
        }
        std::sort(partners.begin(), partners.end());
        for (int32_t other : partners) {
            pairs.push_back(own);
            pairs.push_back(other);
        }
    }
    if (pairs.size() / 2 > static_cast<size_t>(INT32_MAX))
        throw DataSaveFailure("too many connections for the store file");
    w.Int(static_cast<int32_t>(pairs.size() / 2));
    for (int32_t id : pairs)
        w.Int(id);
    w.Finish();
}

// ---------------------------------------------------------------------------------------------
// Loading

size_t DataSaver::SetStreamedReadMin(size_t bytes)
{
    return g_streamMin.exchange(bytes);
}

bool DataSaver::IsStoreFileName(const std::string& storeName, const std::string& name)
{
    if (storeName.empty() || name.compare(0, storeName.size(), storeName) != 0)
        return false;
    return name.size() == storeName.size() || name[storeName.size()] == '.';
}

QString DataSaver::UnreadableName(const QString& path)
{
    QString name = path + QStringLiteral(".unreadable");
    for (int n = 2; QFile::exists(name); ++n)
        name = QStringLiteral("%1.unreadable.%2").arg(path, QString::number(n));
    return name;
}

void DataSaver::ReadFile(const QString& path, Contents& contents)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw DataLoadFailure("cannot open: " + file.errorString().toStdString());
    // One read of the whole file into a buffer that nothing fills first; the records are then
    // taken from memory in place.
    const qint64 size = file.size();
    if (size < 0)
        throw DataLoadFailure("reading failed: " + file.errorString().toStdString());
    if (static_cast<quint64>(size) >= SIZE_MAX)
        throw DataLoadFailure("the file is too large to read");
    contents.size = std::max<size_t>(1, size_t(size));
    contents.bytes.reset(static_cast<char*>(std::malloc(contents.size)));
    char* bytes = contents.bytes.get();
    if (!bytes)
        throw DataLoadFailure("the file is too large to read");
    if (contents.size >= storeimpl::kPopulateMin)
        storeimpl::PopulateSoon(bytes, contents.size);

    // A big file with a trailer is parsed as it is read, its checksum taken on the way. What
    // the parse saw counts only if the file then turns out whole, as long as it said, and
    // ending in the trailer seen first; anything else is read and parsed again below, as a
    // file read whole is.
    char tail[kTrailerSize];
    const int fd = file.handle();
    const bool streamed =
        size_t(size) >= g_streamMin && size_t(size) >= kTrailerSize && fd >= 0 &&
        ::pread(fd, tail, kTrailerSize, size - qint64(kTrailerSize)) == qint64(kTrailerSize) &&
        std::memcmp(tail, kTrailerMarker, sizeof kTrailerMarker) == 0 &&
        ::lseek(fd, 0, SEEK_SET) == 0;
    qint64 got = 0;
    if (streamed) {
        std::optional<DataLoadFailure> failure;
        size_t read = 0;
        int error = 0;
        {
            StreamedRead stream(fd, bytes, size_t(size));
            const uint32_t stored = qFromLittleEndian<quint32>(tail + sizeof kTrailerMarker);
            try {
                ParseFile(contents, size_t(size) - kTrailerSize, &stored, &stream);
            } catch (const DataLoadFailure& f) {
                failure = f;
            }
            read = stream.Finish(&error);
        }
        if (error != 0)
            throw DataLoadFailure(std::string("reading failed: ") + std::strerror(error));
        const bool same = read == size_t(size) &&
                          std::memcmp(bytes + read - kTrailerSize, tail, kTrailerSize) == 0;
        if (same) {
            if (failure)
                throw *failure;
            return;
        }
        // Changed under us: what is in the buffer now is the file.
        std::unique_ptr<char, FreeBytes> kept = std::move(contents.bytes);
        contents = Contents();
        contents.bytes = std::move(kept);
        contents.size = std::max<size_t>(1, size_t(size));
        got = qint64(read);
    } else {
        while (got < size) {
            const qint64 n = file.read(bytes + got, size - got);
            if (n < 0)
                throw DataLoadFailure("reading failed: " + file.errorString().toStdString());
            if (n == 0)
                break; // shorter than it was: what is there is all there is
            got += n;
        }
    }

    // With a trailer, the checksum must match before anything the file says is believed.
    // Without one (an older save, or a file written by hand), the layout's own checks are all
    // there is.
    size_t layoutSize = static_cast<size_t>(got);
    uint32_t stored = 0;
    const bool trailer =
        layoutSize >= kTrailerSize &&
        std::memcmp(bytes + layoutSize - kTrailerSize, kTrailerMarker, sizeof kTrailerMarker) == 0;
    if (trailer) {
        layoutSize -= kTrailerSize;
        stored = qFromLittleEndian<quint32>(bytes + layoutSize + sizeof kTrailerMarker);
    }
    ParseFile(contents, layoutSize, trailer ? &stored : nullptr);
}

void DataSaver::ParseFile(Contents& contents, size_t layoutSize, const uint32_t* checksum,
                          StreamedRead* stream)
{
    Reader r(contents.bytes.get(), layoutSize, checksum != nullptr, stream);
    auto damaged = [] {
        return DataLoadFailure("the checksum does not match: the file is damaged");
    };
    bool walkable = true;
    try {
        walkable = ParseLayout(r, contents, false);
    } catch (const DataLoadFailure&) {
        // Damage the checksum tells of is reported as that, whatever the layout ran into.
        if (checksum && r.Checksum() != *checksum)
            throw damaged();
        throw;
    }
    if (checksum && r.Checksum() != *checksum)
        throw damaged();
    if (!walkable) {
        // Not laid out as a save lays it out: read again, keeping a record of every item. The
        // checksum above has waited for every byte.
        std::unique_ptr<char, FreeBytes> bytes = std::move(contents.bytes);
        const size_t size = contents.size;
        contents = Contents();
        contents.bytes = std::move(bytes);
        contents.size = size;
        Reader again(contents.bytes.get(), layoutSize, false);
        ParseLayout(again, contents, true);
    }
}

// Reads the layout of a store file into contents, one named step after another over the state
// they share: the type records with their items, then the check of the ids they gave, then the
// pairs. What the loader accepts must be what was saved: every count is whole, every id names
// one item, and the pairs end the file. A damaged count or a zeroed block otherwise reads as a
// shorter store, and the next save would write that over the file.
class DataSaver::LayoutParser
{
public:
    LayoutParser(const DataSaver& saver, Reader& r, Contents& contents, bool records)
        : saver_(saver), r_(r), contents_(contents), items_(contents.items), records_(records)
    {
    }

    // False as soon as the file holds what only records can: contents is then half filled.
    bool ReadTypes();
    void CheckIds();
    void ReadPairs();

private:
    int32_t Count(const char* what);
    bool ReadType();
    int64_t IndexOf(int32_t id) const;
    void Known(int32_t id, int64_t index) const;
    void ReadSavedPairs(int32_t pairCount, int32_t& k);
    void ReadEachPair(int32_t pairCount, int32_t k);
    static DataLoadFailure Repeated(int32_t id)
    {
        return DataLoadFailure("the id " + std::to_string(id) + " is given to two items");
    }
    // A pair touching a dropped item goes with it; one naming an id the file never gave is
    // damage.
    static DataLoadFailure Missing(int32_t id)
    {
        return DataLoadFailure("a pair names the id " + std::to_string(id) + ", which no item has");
    }

    const DataSaver& saver_;
    Reader& r_;
    Contents& contents_;
    std::vector<ItemInfo>& items_;
    const bool records_;
    // Without records, the ids must run 1, 2, ... over the items kept, in file order, and no
    // value may hold a NUL: the items can then be walked in the bytes again.
    size_t kept_ = 0;
    // Ids of records that are read and dropped: they are still ids the file gives.
    std::vector<int32_t> dropped_;
    size_t itemCount_ = 0;
    // Pairs are kept as indexes into the items, which are in id order, so sorting the indexes
    // sorts the ids. Files written by Save number their items 1, 2, ...: the index is then the
    // id itself.
    bool dense_ = false;
};

bool DataSaver::ParseLayout(Reader& r, Contents& contents, bool records)
{
    LayoutParser parser(*this, r, contents, records);
    if (!parser.ReadTypes())
        return false;
    parser.CheckIds();
    parser.ReadPairs();
    return true;
}

int32_t DataSaver::LayoutParser::Count(const char* what)
{
    const int32_t n = r_.Int();
    if (n < 0)
        throw DataLoadFailure(std::string("a negative ") + what);
    return n;
}

bool DataSaver::LayoutParser::ReadTypes()
{
    const int32_t typeCount = Count("type count");
    for (int32_t t = 0; t < typeCount; ++t) {
        if (!ReadType())
            return false;
    }
    return true;
}

bool DataSaver::LayoutParser::ReadType()
{
    const std::string name(r_.String());
    const char flag = r_.Byte();
    if (flag != 0 && flag != 1)
        throw DataLoadFailure("type \"" + name + "\" has a null flag of " +
                              std::to_string(int(flag)));
    const bool isNull = flag == 1;
    // A type this build no longer declares is read and dropped, and so is one it does not
    // save: those are rebuilt at run time, and some hold object addresses as values, which
    // must never come from a file.
    Type* type = d.HasType(name);
    if (type && !saver_.savedTypes_.count(type) && !saver_.savedByConnection_.count(type))
        type = nullptr;
    if (type && type->IsNull() != isNull)
        throw DataLoadFailure("type \"" + name + "\" is saved with the wrong null flag");
    const int32_t itemCount = Count("item count");
    // Room for the records, but never more than the rest of the file can hold.
    const size_t room = static_cast<size_t>(std::min<int64_t>(itemCount, r_.BytesLeft() / 4));
    if (type && records_)
        items_.reserve(items_.size() + room);
    else if (type)
        storeimpl::ReservePopulated(contents_.hashes, contents_.hashes.size() + room,
                                    storeimpl::When::Soon);
    if (type && itemCount > 0 && !records_)
        contents_.runs.push_back(Contents::Run{type, r_.Offset(), itemCount});
    for (int32_t k = 0; k < itemCount; ++k) {
        const int32_t id = r_.Int();
        if (!type) {
            if (!isNull)
                r_.String();
            dropped_.push_back(id);
            continue;
        }
        std::string_view value;
        if (!isNull) {
            const char* at = nullptr;
            value = r_.String(&at);
            if (!records_ && at + value.size() != r_.Position())
                return false; // cut at a NUL
        }
        const uint32_t hash = isNull ? 0 : type->HashOf(value);
        if (records_) {
            items_.push_back(ItemInfo{r_.OffsetOf(value.data()), type, id, hash,
                                      static_cast<uint32_t>(value.size())});
        } else {
            if (static_cast<size_t>(id) != ++kept_)
                return false;
            contents_.hashes.push_back(hash);
        }
    }
    return true;
}

void DataSaver::LayoutParser::CheckIds()
{
    std::vector<ItemInfo>& items = items_;
    auto byId = [](const ItemInfo& a, const ItemInfo& b) { return a.id < b.id; };
    if (!std::is_sorted(items.begin(), items.end(), byId))
        std::sort(items.begin(), items.end(), byId);
    for (size_t k = 1; k < items.size(); ++k) {
        if (items[k].id == items[k - 1].id)
            throw Repeated(items[k].id);
    }
    itemCount_ = records_ ? items.size() : kept_;
    contents_.itemCount = itemCount_;
    dense_ = !records_ || (!items.empty() && items.front().id == 1 &&
                           static_cast<size_t>(items.back().id) == items.size());
    std::sort(dropped_.begin(), dropped_.end());
    for (size_t k = 0; k < dropped_.size(); ++k) {
        if ((k > 0 && dropped_[k] == dropped_[k - 1]) || IndexOf(dropped_[k]) >= 0)
            throw Repeated(dropped_[k]);
    }
}

int64_t DataSaver::LayoutParser::IndexOf(int32_t id) const
{
    if (dense_)
        return id >= 1 && static_cast<size_t>(id) <= itemCount_ ? id - 1 : -1;
    auto it = std::lower_bound(items_.begin(), items_.end(), id,
                               [](const ItemInfo& info, int32_t v) { return info.id < v; });
    return it == items_.end() || it->id != id ? -1 : it - items_.begin();
}

void DataSaver::LayoutParser::Known(int32_t id, int64_t index) const
{
    if (index < 0 && !std::binary_search(dropped_.begin(), dropped_.end(), id))
        throw Missing(id);
}

void DataSaver::LayoutParser::ReadPairs()
{
    const int32_t pairCount = Count("pair count");
    storeimpl::ReservePopulated(
        contents_.pairs, static_cast<size_t>(std::min<int64_t>(pairCount, r_.BytesLeft() / 8)),
        storeimpl::When::Soon);
    storeimpl::ReservePopulated(contents_.degree, itemCount_);
    contents_.degree.assign(itemCount_, 0);
    int32_t k = 0;
    if (!records_ && dropped_.empty() && pairCount <= r_.BytesLeft() / 8)
        ReadSavedPairs(pairCount, k);
    ReadEachPair(pairCount, k);
    if (r_.BytesLeft() != 0)
        throw DataLoadFailure(std::to_string(r_.BytesLeft()) + " bytes follow the last pair");
}

// Ids 1, 2, ... with none dropped, as Save writes them: every id is its index plus one, so a
// pair is checked against the item count alone, a stretch of pairs at a time.
void DataSaver::LayoutParser::ReadSavedPairs(int32_t pairCount, int32_t& k)
{
    std::vector<std::pair<uint32_t, uint32_t>>& pairs = contents_.pairs;
    std::vector<uint32_t>& degree = contents_.degree;
    const size_t itemCount = itemCount_;
    constexpr int32_t kStretch = 8192;
    uint64_t last = 0;
    while (k < pairCount) {
        const int32_t n = std::min(kStretch, pairCount - k);
        const char* at = r_.Take(static_cast<size_t>(n) * 8);
        for (const char* end = at + size_t(n) * 8; at < end; at += 8) {
            const uint32_t a = qFromLittleEndian<quint32>(at) - 1u;
            const uint32_t b = qFromLittleEndian<quint32>(at + 4) - 1u;
            if (a >= itemCount || b >= itemCount)
                throw Missing(qFromLittleEndian<qint32>(at + (a >= itemCount ? 0 : 4)));
            const uint64_t key = uint64_t(a) << 32 | b;
            if (key <= last && !pairs.empty())
                contents_.pairsInOrder = false;
            last = key;
            pairs.emplace_back(a, b);
            ++degree[a];
            ++degree[b];
        }
        k += n;
    }
}

void DataSaver::LayoutParser::ReadEachPair(int32_t pairCount, int32_t k)
{
    std::vector<std::pair<uint32_t, uint32_t>>& pairs = contents_.pairs;
    std::vector<uint32_t>& degree = contents_.degree;
    for (; k < pairCount; ++k) {
        const int32_t first = r_.Int();
        const int32_t second = r_.Int();
        const int64_t a = IndexOf(first);
        const int64_t b = IndexOf(second);
        Known(first, a);
        Known(second, b);
        if (a >= 0 && b >= 0) {
            const std::pair<uint32_t, uint32_t> pair(static_cast<uint32_t>(a),
                                                     static_cast<uint32_t>(b));
            if (!pairs.empty() && !(pairs.back() < pair))
                contents_.pairsInOrder = false;
            pairs.push_back(pair);
            ++degree[static_cast<size_t>(a)];
            ++degree[static_cast<size_t>(b)];
        }
    }
}

void DataSaver::Load(const QString& path)
{
    path_ = path;
    QString why;
    const QString target = FollowLinks(path, why);
    if (target.isEmpty()) {
        // No file to read, and nothing to move aside: the links are the user's.
        Log(LogCategories::kConfigurationData, 1,
            QStringLiteral("The configuration data cannot be read: %1; starting from the "
                           "defaults")
                .arg(why));
        EmitDataLoaded();
        return;
    }
    const QFileInfo info(target);
    if (!info.exists()) {
        EmitDataLoaded();
        return;
    }
    if (info.isDir()) {
        // Nothing to read and nothing to keep aside: the save will say why it cannot write.
        Log(LogCategories::kConfigurationData, 1,
            QStringLiteral("%1 is a folder, not a configuration file; starting from the defaults")
                .arg(target));
        EmitDataLoaded();
        return;
    }

    // All of a file is read and checked before the store is touched.
    auto tryRead = [this](const QString& file, Contents& contents) {
        try {
            ReadFile(file, contents);
            return std::optional<DataLoadFailure>();
        } catch (const DataLoadFailure& failure) {
            contents = Contents();
            const QString aside = UnreadableName(file);
            Log(LogCategories::kConfigurationData, 1,
                QStringLiteral("The configuration data could not be loaded from %1: %2")
                    .arg(file, QString::fromStdString(failure.what())));
            if (QFile::rename(file, aside))
                Log(LogCategories::kConfigurationData, 2,
                    QStringLiteral("The unreadable file was moved to %1").arg(aside));
            else
                Log(LogCategories::kConfigurationData, 2,
                    QStringLiteral("The unreadable file could not be moved to %1").arg(aside));
            return std::optional<DataLoadFailure>(failure);
        }
    };
    // The big blocks the load fills are faulted in by a worker meanwhile; it is done before
    // anyone hears of the load.
    std::optional<storeimpl::PopulationScope> populating(std::in_place);
    Contents contents;
    if (const std::optional<DataLoadFailure> failure = tryRead(target, contents)) {
        // The generation before it is at most one save older, which beats the defaults.
        const QString previous = PreviousName(target);
        if (!QFileInfo(previous).isFile() || tryRead(previous, contents)) {
            // The defaults are still in place, so the client can work on them.
            Log(LogCategories::kConfigurationData, 1,
                QStringLiteral("Starting from the default configuration"));
            populating.reset();
            EmitDataLoaded();
            throw *failure;
        }
        Log(LogCategories::kConfigurationData, 1,
            QStringLiteral("The configuration data was loaded from the previous save, %1")
                .arg(previous));
    }
    MakeItems(contents);
    // Once the worker is through, so that it brings none of them back.
    populating.reset();
    storeimpl::ReleasePages(contents.spare, contents.spareSize);
    EmitDataLoaded();
}

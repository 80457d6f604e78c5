// The store file loader, on a store with the schema the program declares: the settings, the
// server connection's types with the saved types it registers, and the peer connection
// manager's types (none of them saved, several of them holding object addresses as values).
// The input is the whole file.
//
// Checked: a file that fails to load leaves the store as a missing file would (the defaults and
// what the after-load handlers add) and is moved aside unchanged;
// a file that ends in a trailer loads only if the trailer's checksum matches the bytes before it;
// a file that loads is saved, that save loads into a fresh store and saves to the very same
// bytes; the engine's reset for the next input copes with whatever the file brought in; no
// allocation is out of proportion to the file.

#include "FuzzEngine.h"
#include "FuzzSupport.h"

#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>

namespace {

// The reader works in blocks of 1 MiB; the records it keeps are a small multiple of the bytes
// that describe them.
constexpr size_t kBlockCap = size_t(1) << 20;
constexpr size_t kPerFileByte = 64;

// Files live in memory where there is a memory file system: every input saves twice.
const QString& WorkFolder()
{
    static QTemporaryDir* dir = [] {
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm")
                                                                       : QDir::tempPath();
        auto* t = new QTemporaryDir(base + QStringLiteral("/qv-fuzz-store-XXXXXX"));
        if (!t->isValid())
            FuzzFail("cannot make a work folder");
        return t;
    }();
    static const QString path = dir->path();
    return path;
}

// The work files are read, written and removed with the system's calls: through QFile and QDir
// they took a third of each input's time under the sanitizers.
QByteArray ReadAll(const QString& path)
{
    QByteArray bytes;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, qsizetype(n));
    ::close(fd);
    return bytes;
}

void WriteAll(const QString& path, const char* data, qsizetype size)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, data, size_t(size)) == ssize_t(size));
    ::close(fd);
}

void RemoveAll()
{
    static const QByteArray folder = QFile::encodeName(WorkFolder());
    DIR* dir = ::opendir(folder.constData());
    FUZZ_CHECK(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// The client's subsystems as the program builds them before it loads the store file.
class Client
{
public:
    Client() : run(Options()), engine(run.engine()), saver(engine.saver())
    {
        // Defaults written before loading, which a loaded setting replaces. With both ports
        // set, the manager's after-load step adds no setting of its own.
        Settings::Set(SettingKeys::ListeningPort, "2234");
        Settings::Set(SettingKeys::ObfuscatedListeningPort, "2235");
        Settings::SetYes(SettingKeys::UseUpnp, true);
    }

    // The manager starts listening once the data is loaded: never beyond 127.0.0.1 here.
    static EngineOptions Options()
    {
        EngineOptions options;
        options.loopbackListeners = true;
        return options;
    }

    FuzzRun run;
    Engine& engine;
    DataSaver& saver;
};

// Whether the bytes end in a trailer (the marker, then a CRC-32) that does not match them.
bool TrailerMismatch(const uint8_t* data, size_t size)
{
    static const char kMarker[] = "QVCRC32:";
    constexpr size_t kTrailer = 12;
    if (size < kTrailer || std::memcmp(data + size - kTrailer, kMarker, 8) != 0)
        return false;
    const uint32_t stored = qFromLittleEndian<quint32>(data + size - 4);
    return crc32_z(0, data, size - kTrailer) != stored;
}

// Loads path into the current store; false when the loader refused the file.
bool Load(Client& client, const QString& path)
{
    try {
        client.saver.Load(path);
        return true;
    } catch (const DataLoadFailure&) {
        return false;
    }
}

// The items of a client whose store file is missing: the defaults and what the after-load
// handlers add. A file that fails to load must leave exactly that.
size_t NoFileItemCount()
{
    static const size_t count = [] {
        Client client;
        FUZZ_CHECK(Load(client, WorkFolder() + QStringLiteral("/missing")));
        return d.ItemCount();
    }();
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    EnsureApplication();
    RemoveAll();
    const size_t noFile = NoFileItemCount();
    const QString path = WorkFolder() + QStringLiteral("/store");
    const QString saved = WorkFolder() + QStringLiteral("/saved");
    const QString again = WorkFolder() + QStringLiteral("/again");
    const char* bytes = reinterpret_cast<const char*>(data);
    WriteAll(path, bytes, qsizetype(size));

    QByteArray first;
    {
        Client client;
        bool loaded = false;
        {
            AllocationWatch watch(kBlockCap + kPerFileByte * size, "store file loader");
            loaded = Load(client, path);
        }
        if (!loaded) {
            FUZZ_CHECK(d.ItemCount() == noFile);
            FUZZ_CHECK(!QFile::exists(path));
            FUZZ_CHECK(ReadAll(path + QStringLiteral(".unreadable")) ==
                       QByteArray(bytes, qsizetype(size)));
            RemoveAll();
            return 0;
        }
        FUZZ_CHECK(!TrailerMismatch(data, size));
        FUZZ_CHECK(client.saver.Save(saved));
        first = ReadAll(saved);
    }
    {
        Client client;
        FUZZ_CHECK(Load(client, saved));
        FUZZ_CHECK(client.saver.Save(again));
        FUZZ_CHECK(ReadAll(again) == first);
    }
    RemoveAll();
    return 0;
}

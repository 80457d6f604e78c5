#pragma once

// What the benchmarks of a whole client sharing a big tree have in common: the store file such a
// client saves, an engine alone loading it, the process's resident memory, and the store file
// read into a fresh buffer, as a yardstick for the load.

#include "BenchShare.h"

#include "engine/Engine.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/StoreGuard.h"

#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <cstdio>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BenchClient {

// Keeps the compiler from dropping a read whose bytes nothing looks at.
inline volatile size_t g_readSink = 0;

// The store file of a client that shares root with everyone and has scanned it, MP3 details
// and all; its peer listeners take ports the system picks and UPnP is off. Prints the counts.
inline bool WriteSharingStore(const QString& path, const std::string& root)
{
    StoreGuard scratch;
    EngineOptions options;
    options.peerMessenger = false;
    Engine engine(options);
    Settings::Set(SettingKeys::Username, "bench");
    Settings::Set(SettingKeys::Password, "bench");
    Settings::Set(SettingKeys::ListeningPort, "0");
    Settings::Set(SettingKeys::ObfuscatedListeningPort, "0");
    Settings::Set(SettingKeys::UseUpnp, "no");
    d.GetType("shared_folder")->GetItem(root).NewItem("shared_public");
    engine.shares()->Init();
    engine.shares()->WaitForScans();
    BenchShare::WaitForMP3Details();
    std::printf("store file: %zu shared files, %zu folders\n",
                d.GetType("shared_file")->ItemCount(),
                d.GetType("shared_file_folder")->ItemCount());
    return engine.saver().Save(path);
}

// The store file loaded by the engine the window builds, without the window.
inline qint64 LoadNs(const QString& path)
{
    StoreGuard scratch;
    Engine engine;
    QElapsedTimer t;
    t.start();
    engine.Load(path);
    return t.nsecsElapsed();
}

// The file read whole from the disk (dropped from the page cache first) into a buffer allocated
// for it, as a loader must at the least; -1 on failure.
inline qint64 FreshReadNs(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    QElapsedTimer t;
    t.start();
    fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return -1;
    }
    const size_t size = size_t(st.st_size);
    std::unique_ptr<char[]> buffer(new char[size + 1]);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer.get() + got, size - got);
        if (n <= 0)
            break;
        got += size_t(n);
    }
    ::close(fd);
    const qint64 ns = t.nsecsElapsed();
    g_readSink = g_readSink + size_t(buffer[got / 2]);
    return got == size ? ns : -1;
}

// A figure of /proc/self/status in kB ("VmRSS", "VmHWM"), or -1.
inline long long StatusKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace BenchClient

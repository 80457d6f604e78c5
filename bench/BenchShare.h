#pragma once

// What the share benchmarks have in common: a share made on disk (a million files, or a shape of
// the benchmark's own) whose file names are all distinct, as in real shares, the listing by find
// a scan is measured against, a measure of how long the GUI thread was held, and a wait for the
// MP3 details of a first scan.

#include "store/Data.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BenchShare {

constexpr int kTop = 1000;
constexpr int kPerTop = 50; // 50,000 album folders, 51,001 folders with the tops and the root
constexpr int kFilesPerFolder = 20;
constexpr int kFiles = kTop * kPerTop * kFilesPerFolder;
constexpr int kFolders = kTop * kPerTop + kTop + 1;
// Half the files are MP3 files (".mp3" or ".MP3").
constexpr int kMP3Files = kFiles / 2;
// How long the MP3 details of a first scan may take to be written.
constexpr qint64 kMP3DetailsMs = 120000;

inline const char* const kArtists[] = {"The Quiet Hours", "Marta Ferreira",
                                       "LOW tide",        "Orchestra 9",
                                       "dj_kopek",        "\xc3\x81ngel Ru\xc3\xadz",
                                       "Blue-Note Trio",  "Saltwater"};
inline const char* const kKinds[] = {".mp3", ".MP3", ".ogg", ".flac",
                                     ".jpg", ".mp3", ".mp3", ".txt"};

// A title word: one of 1,000 made of three of ten syllables ("kamiro"), with a capital first.
inline std::string Word(int n)
{
    static const char* const kSyllables[] = {"ka", "mi", "ro",  "sun", "de",
                                             "lo", "va", "ter", "ni",  "bo"};
    std::string word =
        std::string(kSyllables[n % 10]) + kSyllables[n / 10 % 10] + kSyllables[n / 100 % 10];
    word[0] = char(word[0] - 'a' + 'A');
    return word;
}

// The name of the file numbered index in the tree, track within its folder: "07 - Kamiro
// Sundeva.mp3". Two title words of the 1,000 spell the index, so that no two files below 1,000,000
// share a name while the words repeat across the share as a vocabulary does.
inline std::string FileName(int index, int track, const char* kind)
{
    const std::string number = (track < 10 ? "0" : "") + std::to_string(track);
    return number + " - " + Word(index % 1000) + " " + Word(index / 1000 % 1000) + kind;
}

// A share on disk: top folders, each of album folders, each of files.
struct TreeShape
{
    int tops;
    int albumsPerTop;
    int filesPerAlbum;
    // A file's size is baseSize and up to sizeSpread - 1 bytes more, by its place in the tree.
    int baseSize;
    int sizeSpread;
    // Whether the MP3 files start with a frame header, for the MP3 scanner to read.
    bool mp3Headers;

    int Files() const { return tops * albumsPerTop * filesPerAlbum; }
    int Folders() const { return tops * albumsPerTop + tops + 1; }
};

constexpr TreeShape kMillion{kTop, kPerTop, kFilesPerFolder, 100, 4000, true};

inline void MakeTops(const std::string& root, const TreeShape& shape, int first, int step)
{
    for (int t = first; t < shape.tops; t += step) {
        const std::string top = root + "/" + kArtists[t % 8] + " " + std::to_string(t);
        ::mkdir(top.c_str(), 0755);
        for (int a = 0; a < shape.albumsPerTop; ++a) {
            const std::string album = top + "/Album " + std::to_string(a) + " (Live)";
            ::mkdir(album.c_str(), 0755);
            for (int f = 0; f < shape.filesPerAlbum; ++f) {
                const int index = (t * shape.albumsPerTop + a) * shape.filesPerAlbum + f;
                const std::string file = album + "/" + FileName(index, f + 1, kKinds[f % 8]);
                const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0)
                    continue;
                // The MP3 files hold a frame header (128 kbit/s, 44.1 kHz), so that the MP3
                // scanner finds their details once and later scans do not ask again, as with
                // real files. Sparse: a scan reads sizes only, and the MP3 scanner reads what
                // the first scan asks it to.
                const std::string kind = kKinds[f % 8];
                if (shape.mp3Headers && (kind == ".mp3" || kind == ".MP3")) {
                    static const unsigned char header[] = {0xff, 0xfb, 0x90, 0x64};
                    if (::write(fd, header, sizeof header) != ssize_t(sizeof header))
                        std::perror("write");
                }
                const int spread = (t * 131 + a * 17 + f) % shape.sizeSpread;
                if (::ftruncate(fd, shape.baseSize + spread) != 0)
                    std::perror("ftruncate");
                ::close(fd);
            }
        }
    }
}

// The tree under root, made by eight threads, unless root holds something already (a tree kept
// from an earlier run).
inline void MakeTreeIfEmpty(const std::string& root, const TreeShape& shape = kMillion)
{
    ::mkdir(root.c_str(), 0755);
    if (DIR* dir = ::opendir(root.c_str())) {
        bool empty = true;
        while (const dirent* e = ::readdir(dir))
            empty = empty && e->d_name[0] == '.';
        ::closedir(dir);
        if (!empty)
            return;
    }
    std::printf("making %d files in %d folders...\n", shape.Files(), shape.Folders());
    std::vector<std::thread> makers;
    const int n = 8;
    for (int k = 0; k < n; ++k)
        makers.emplace_back(MakeTops, root, shape, k, n);
    for (std::thread& t : makers)
        t.join();
}

// The best of three runs of find over root with these arguments, output thrown away: the
// listing a scan is measured against.
inline qint64 FindNs(const std::string& root, const std::string& arguments)
{
    const std::string command = "find '" + root + "' " + arguments + " > /dev/null";
    qint64 best = -1;
    for (int k = 0; k < 3; ++k) {
        QElapsedTimer t;
        t.start();
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "find failed\n");
        const qint64 ns = t.nsecsElapsed();
        if (best < 0 || ns < best)
            best = ns;
    }
    return best;
}

inline double Ms(qint64 ns)
{
    return double(ns) / 1e6;
}

// Keeps the compiler from dropping a read whose bytes nothing looks at.
inline volatile size_t g_readSink = 0;

// Out of the page cache, so that the next read comes from the disk.
inline void DropFromCache(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// The whole file read from the disk (dropped from the page cache first) into a buffer allocated
// for it, as a loader must at the least: nanoseconds, or -1 on failure.
inline qint64 FreshReadNs(const char* path)
{
    DropFromCache(path);
    QElapsedTimer t;
    t.start();
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
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

// The longest time between two turns of the event loop, as a timer due every millisecond sees
// it: a turn held up by work on the thread fires the timer that much late.
class StretchMonitor
{
public:
    StretchMonitor()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Tick(); });
    }
    void Start()
    {
        m_longestNs = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    void Stop()
    {
        Tick();
        m_timer.stop();
    }
    double LongestMs() const { return double(m_longestNs) / 1e6; }

private:
    void Tick()
    {
        const qint64 now = m_clock.nsecsElapsed();
        m_longestNs = std::max(m_longestNs, now - m_last);
        m_last = now;
    }
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longestNs = 0;
};

// Runs the event loop until the MP3 files of the tree are marked scanned (or kMP3DetailsMs have
// passed), and returns how long that took.
inline qint64 WaitForMP3Details()
{
    QElapsedTimer waited;
    waited.start();
    while (ItemPtr(d.GetType("is_scanned")->GetGlobalNullItem()).GetItems("shared_file").Size() <
               size_t(kMP3Files) &&
           waited.elapsed() < kMP3DetailsMs) {
        QEventLoop wait;
        QTimer::singleShot(100, &wait, &QEventLoop::quit);
        wait.exec();
    }
    return waited.nsecsElapsed();
}

} // namespace BenchShare

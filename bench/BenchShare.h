#pragma once

// What the share benchmarks have in common: a share of a million files made on disk, a measure
// of how long the GUI thread was held, and a wait for the MP3 details of a first scan.

#include "store/Data.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
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

inline void MakeTops(const std::string& root, int first, int step)
{
    for (int t = first; t < kTop; t += step) {
        const std::string top = root + "/" + kArtists[t % 8] + " " + std::to_string(t);
        ::mkdir(top.c_str(), 0755);
        for (int a = 0; a < kPerTop; ++a) {
            const std::string album = top + "/Album " + std::to_string(a) + " (Live)";
            ::mkdir(album.c_str(), 0755);
            for (int f = 0; f < kFilesPerFolder; ++f) {
                const std::string file = album + "/" + std::to_string(f + 1) + " - Track_" +
                                         std::to_string(t * 7 + a + f) + kKinds[f % 8];
                const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0)
                    continue;
                // The MP3 files hold a frame header (128 kbit/s, 44.1 kHz), so that the MP3
                // scanner finds their details once and later scans do not ask again, as with
                // real files. Small and sparse: a scan reads sizes only, and the MP3 scanner
                // reads what the first scan asks it to.
                const std::string kind = kKinds[f % 8];
                if (kind == ".mp3" || kind == ".MP3") {
                    static const unsigned char header[] = {0xff, 0xfb, 0x90, 0x64};
                    if (::write(fd, header, sizeof header) != ssize_t(sizeof header))
                        std::perror("write");
                }
                if (::ftruncate(fd, 100 + (t * 131 + a * 17 + f) % 4000) != 0)
                    std::perror("ftruncate");
                ::close(fd);
            }
        }
    }
}

// The tree under root, made by eight threads, unless root holds something already (a tree kept
// from an earlier run).
inline void MakeTreeIfEmpty(const std::string& root)
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
    std::printf("making %d files in %d folders...\n", kFiles, kFolders);
    std::vector<std::thread> makers;
    const int n = 8;
    for (int k = 0; k < n; ++k)
        makers.emplace_back(MakeTops, root, k, n);
    for (std::thread& t : makers)
        t.join();
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

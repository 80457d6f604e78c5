// Scanning a share of a million files: 1,000,000 files in 51,001 folders, made on disk for the
// run in a temporary folder and removed after it (or kept in a folder given as argument, made
// there only if the folder is empty, so that later runs can skip making it). Each figure is
// printed with its baseline, measured in the same run, and its target:
//   first scan        against find DIR -printf '%s %T@ %p\n' over the same tree (target 3x)
//   rescan, no change against the same find (target 2x)
//   longest stretch the GUI thread was held during either (target 100 ms)
//   memory per shared file once the store file is loaded and the start-up rescan has indexed
//   it: the store and the word index together (target 500 bytes), and the index's own share
// and the same first scan and rescan of a share of another shape (BenchShare::MakeDeepTreeIfEmpty:
// names repeated in every folder, folders nested 40 deep; a folder given as second argument).
// Nothing is asserted. Run it from a Release build.

#include "BenchShare.h"

#include "engine/Engine.h"
#include "shares/SharedFoldersManager.h"
#include "store/Data.h"
#include "store/DataSaver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <malloc.h>
#include <time.h>

// Every byte the program holds on the heap, on every thread, counted by the allocator's own size
// of each block: the C library's entry points are wrapped here, so that the store's link arrays
// (malloc) count as much as its items (new) and Qt's text (malloc).
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

// A counter per thread, each on a cache line of its own: one shared counter would have every
// allocation of the scan's threads wait for the others', and slow down what is measured. A
// block freed on another thread than the one that made it moves bytes between counters; their
// sum is right.
constexpr int kCounters = 64;
struct alignas(64) Counter
{
    std::atomic<long long> bytes{0};
};
Counter g_counters[kCounters];
std::atomic<int> g_nextCounter{0};
thread_local int t_counter = -1;

std::atomic<long long>& ThreadBytes()
{
    if (t_counter < 0)
        t_counter = g_nextCounter.fetch_add(1, std::memory_order_relaxed) % kCounters;
    return g_counters[t_counter].bytes;
}

long long LiveBytes()
{
    long long sum = 0;
    for (const Counter& c : g_counters)
        sum += c.bytes.load(std::memory_order_relaxed);
    return sum;
}

void* Counted(void* p)
{
    if (p)
        ThreadBytes().fetch_add(static_cast<long long>(malloc_usable_size(p)),
                                std::memory_order_relaxed);
    return p;
}

void Uncount(void* p)
{
    if (p)
        ThreadBytes().fetch_sub(static_cast<long long>(malloc_usable_size(p)),
                                std::memory_order_relaxed);
}

} // namespace

extern "C" {
void* malloc(size_t size)
{
    return Counted(__libc_malloc(size));
}
void* calloc(size_t count, size_t size)
{
    return Counted(__libc_calloc(count, size));
}
void* realloc(void* p, size_t size)
{
    Uncount(p);
    void* moved = __libc_realloc(p, size);
    // A failed reallocation leaves the block where it was.
    return Counted(moved ? moved : (size == 0 ? nullptr : p));
}
void free(void* p)
{
    Uncount(p);
    __libc_free(p);
}
void* memalign(size_t alignment, size_t size)
{
    return Counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size)
{
    return Counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** out, size_t alignment, size_t size)
{
    void* p = Counted(__libc_memalign(alignment, size));
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}
}

namespace {

using BenchShare::FindNs;
using BenchShare::Ms;

constexpr double kFirstScanTarget = 3.0;
constexpr double kRescanTarget = 2.0;
constexpr double kStretchTargetMs = 100.0;
constexpr double kBytesPerFileTarget = 500.0;

// CPU time of this thread: what the scan cost the GUI thread, where wall time also counts the
// walker's share and any wait for a core on a busy machine.
qint64 ThreadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Runs start from inside the event loop and returns the time until the rescan reports, with the
// longest stretch the loop was held meanwhile and the GUI thread's CPU time.
qint64 TimeScan(SharedFoldersManager& shares, BenchShare::StretchMonitor& monitor,
                const std::function<void()>& start, qint64* guiNs = nullptr)
{
    const qint64 cpu = ThreadCpuNs();
    QEventLoop loop;
    const auto done = QObject::connect(&shares, &SharedFoldersManager::SharedFilesRescanned, &loop,
                                       &QEventLoop::quit, Qt::QueuedConnection);
    QElapsedTimer t;
    QTimer::singleShot(0, [&] {
        monitor.Start();
        t.start();
        start();
    });
    loop.exec();
    const qint64 ns = t.nsecsElapsed();
    monitor.Stop();
    QObject::disconnect(done);
    if (guiNs)
        *guiNs = ThreadCpuNs() - cpu;
    return ns;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const std::string root = BenchShare::TreeRoot(argc, argv, dir.path().toStdString());
    const std::string find = "-printf '%s %T@ %p\\n'";
    FindNs(root, find); // warms the cache for everyone
    const qint64 findNs = FindNs(root, find);

    EngineOptions options;
    options.peerMessenger = false;
    BenchShare::StretchMonitor monitor;
    const QString storeFile = dir.filePath("store");
    qint64 firstNs = 0;
    qint64 firstGuiNs = 0;
    qint64 mp3SettleNs = 0;
    qint64 rescanGuiNs = 0;
    double firstStretch = 0;
    qint64 rescanNs = -1;
    double rescanStretch = 0;
    size_t files = 0;
    {
        Engine engine(options);
        SharedFoldersManager& shares = *engine.shares();
        d.GetType("shared_folder")->GetItem(root).NewItem("shared_public");
        firstNs = TimeScan(
            shares, monitor, [&] { shares.Init(); }, &firstGuiNs);
        firstStretch = monitor.LongestMs();
        files = d.GetType("shared_file")->ItemCount();
        // The MP3 scanner reads what the first scan asked for; its results are written once the
        // scan is over. Rescans come later in real use, with those files marked scanned.
        mp3SettleNs = BenchShare::WaitForMP3Details();
        for (int k = 0; k < 3; ++k) {
            qint64 guiNs = 0;
            const qint64 ns = TimeScan(
                shares, monitor, [&] { shares.RescanShares(); }, &guiNs);
            if (rescanNs < 0 || ns < rescanNs) {
                rescanNs = ns;
                rescanGuiNs = guiNs;
            }
            rescanStretch = std::max(rescanStretch, monitor.LongestMs());
        }
        engine.saver().Save(storeFile);
    }

    {
        // Memory as the client has it after start-up: a fresh store with the store file loaded,
        // then indexed by the start-up rescan (the index is not saved).
        d.~Data();
        new (&d) Data();
        Engine engine(options);
        SharedFoldersManager& shares = *engine.shares();
        const long long empty = LiveBytes();
        QElapsedTimer t;
        t.start();
        engine.Load(storeFile);
        const qint64 loadNs = t.nsecsElapsed();
        const long long loaded = LiveBytes();
        // The MP3 scanner's queue is not part of the store.
        QObject::disconnect(&shares, &SharedFoldersManager::MP3ScanRequired, nullptr, nullptr);
        qint64 startupGuiNs = 0;
        const qint64 startupNs = TimeScan(
            shares, monitor, [&] { shares.Init(); }, &startupGuiNs);
        const double startupStretch = monitor.LongestMs();
        const long long indexed = LiveBytes();

        const double perFile = double(indexed - empty) / double(files);
        const double indexPerFile = double(indexed - loaded) / double(files);
        std::printf("shared files: %zu, folders: %zu, index words: %zu\n", files,
                    d.GetType("shared_file_folder")->ItemCount(),
                    d.GetType("search_token")->ItemCount());
        std::printf("find baseline:        %9.1f ms\n", Ms(findNs));
        std::printf(
            "first scan:           %9.1f ms  %5.2fx find (target %.0fx); GUI thread %.1f ms\n",
            Ms(firstNs), double(firstNs) / double(findNs), kFirstScanTarget, Ms(firstGuiNs));
        std::printf("MP3 details written:  %9.1f ms after the first scan\n", Ms(mp3SettleNs));
        std::printf(
            "rescan, no change:    %9.1f ms  %5.2fx find (target %.0fx); GUI thread %.1f ms\n",
            Ms(rescanNs), double(rescanNs) / double(findNs), kRescanTarget, Ms(rescanGuiNs));
        std::printf("store load:           %9.1f ms; start-up rescan %.1f ms, GUI thread %.1f ms\n",
                    Ms(loadNs), Ms(startupNs), Ms(startupGuiNs));
        std::printf(
            "longest GUI stretch:  first scan %.1f ms, rescan %.1f ms, start-up rescan %.1f "
            "ms (target %.0f ms)\n",
            firstStretch, rescanStretch, startupStretch, kStretchTargetMs);
        std::printf("memory per file:      %9.1f bytes, store and index (target %.0f); index alone "
                    "%.1f bytes\n",
                    perFile, kBytesPerFileTarget, indexPerFile);
    }

    // The other shape: names repeated in every folder, folders nested deep.
    QTemporaryDir deepDir;
    const std::string deep =
        argc > 2 ? std::string(argv[2]) : deepDir.path().toStdString() + "/deep";
    BenchShare::MakeDeepTreeIfEmpty(deep);
    FindNs(deep, find);
    const qint64 deepFindNs = FindNs(deep, find);
    d.~Data();
    new (&d) Data();
    {
        Engine deepEngine(options);
        SharedFoldersManager& deepShares = *deepEngine.shares();
        d.GetType("shared_folder")->GetItem(deep).NewItem("shared_public");
        const qint64 deepFirstNs = TimeScan(deepShares, monitor, [&] { deepShares.Init(); });
        const double deepFirstStretch = monitor.LongestMs();
        const qint64 deepRescanNs =
            TimeScan(deepShares, monitor, [&] { deepShares.RescanShares(); });
        std::printf("deep, repeated names: %d files; first scan %.1f ms, %.2fx find (%.1f ms), "
                    "longest GUI stretch %.1f ms; rescan %.1f ms, %.2fx, stretch %.1f ms (target "
                    "%.0f ms)\n",
                    BenchShare::kDeepFiles, Ms(deepFirstNs),
                    double(deepFirstNs) / double(deepFindNs), Ms(deepFindNs), deepFirstStretch,
                    Ms(deepRescanNs), double(deepRescanNs) / double(deepFindNs),
                    monitor.LongestMs(), kStretchTargetMs);
    }
    return 0;
}

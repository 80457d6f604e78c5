// A client sharing a million files, as the program runs: 1,000,000 files of distinct names in
// 51,001 folders, made on disk for the run (or kept in a folder given as argument), and the store
// file a client sharing them saves (or kept in a home folder given as second argument); named as
// a real share is, or by the syllable words with "syllable" as third argument.
// Printed, each beside its baseline measured in the same run:
//   store load     the engine alone loading that file, against reading the file from the disk
//                  into a fresh buffer and against the bare load, the same file loaded with the
//                  engine's types but none of its services (target: twice it at most); best of
//                  three each
//   memory         the resident memory of the window client once its start-up (load and rescan)
//                  is over, less that of a client with an empty store, per shared file (target
//                  500 bytes), and the same for the peak
//   half-minute    the longest stretch the GUI thread is held by the half-minute tick, the first
//   tick           one (which walks the whole store, a slice a turn) and then the worst of ten
//                  with an online client's changes between them, against the same ticks of the
//                  empty client (target 100 ms), and the ten ticks' total against the empty
//                  client's
// Each client runs in a process of its own (this program, started again), so that its memory is
// its own. Nothing is asserted. Run it from a Release build; it runs offscreen.

#include "BenchClient.h"
#include "WindowBench.h"

#include "server/ServerSchema.h"
#include "shares/SharesSchema.h"
#include "shell/MainWindow.h"
#include "shell/ProcessControl.h"
#include "store/TimerManager.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include <malloc.h>

namespace {

using BenchShare::Ms;

constexpr double kBytesPerFileTarget = 500.0;
constexpr double kLoadRatioTarget = 2.0;
constexpr double kStretchTargetMs = 100.0;
constexpr int kTicks = 10;

void RunEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// One half-minute tick fired from the event loop; the longest stretch the loop was held from
// then until it has been quiet for a while.
double Tick(BenchShare::StretchMonitor& monitor, double* tickMs)
{
    monitor.Start();
    QElapsedTimer t;
    QTimer::singleShot(0, [&] {
        t.start();
        timerManager->everyHalfMinute()->Fire();
        *tickMs = Ms(t.nsecsElapsed());
    });
    RunEvents(300);
    // The sweep goes on a slice a turn until it is done.
    while (d.IsSweeping())
        RunEvents(50);
    monitor.Stop();
    return monitor.LongestMs();
}

// What an online client changes between two ticks: answers come and go (500 result items under
// users, the last round's let go), users go on and off line, and one shared file is found gone.
class Churn
{
public:
    Churn()
    {
        Type* results = d.NewType("bench_result", ReachablePrimacy, false, true, ValueKind::Utf8);
        results->RelateToType(ServerTypes::User, Many, Many);
    }
    void Round(int round)
    {
        Type* results = d.GetType("bench_result");
        Type* users = d.GetType(ServerTypes::User);
        for (ItemPtr result : m_results)
            result.Disconnect(ServerTypes::User);
        m_results.clear();
        for (int k = 0; k < 500; ++k) {
            ItemPtr result = results->GetItem(std::to_string(round) + "." + std::to_string(k));
            result += users->GetItem("peer" + std::to_string(k % 50));
            m_results.push_back(result.Get());
        }
        for (int k = 0; k < 100; ++k) {
            ItemPtr user = users->GetItem("peer" + std::to_string(k));
            if ((k + round) % 2)
                user.NewItem(ServerTypes::IsOnline);
            else
                user.Disconnect(ServerTypes::IsOnline);
        }
        Type* files = d.GetType(SharesTypes::SharedFile);
        if (files->ItemCount() > 0)
            ItemPtr(files->GetItems().First()).Remove();
    }

private:
    std::vector<Item*> m_results;
};

// The window client on the store file in home: its memory once started, and its ticks.
int RunClient(int argc, char** argv, const char* home)
{
    qputenv("HOME", home);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    WindowBench::SilentServer silent;
    StoreGuard fresh;
    MainWindow window;
    window.show();
    window.Init();
    // The start-up rescan, then a moment for what it left to do.
    while (sharedFoldersManager && sharedFoldersManager->IsScanning())
        RunEvents(50);
    RunEvents(1000);
    const long long rss = BenchClient::StatusKb("VmRSS");
    const long long hwm = BenchClient::StatusKb("VmHWM");

    BenchShare::StretchMonitor monitor;
    Churn churn;
    double firstMs = 0;
    const double first = Tick(monitor, &firstMs);
    double worst = 0;
    double total = 0;
    size_t lookedAt = 0;
    for (int k = 0; k < kTicks; ++k) {
        churn.Round(k);
        double ms = 0;
        worst = std::max(worst, Tick(monitor, &ms));
        total += ms;
        lookedAt = std::max(lookedAt, d.LastSweepLookedAt());
    }
    std::printf("client %lld %lld %.3f %.3f %.3f %zu %zu\n", rss, hwm, first, worst, total,
                lookedAt, d.ItemCount());
    return 0;
}

struct ClientFigures
{
    bool ok = false;
    double rssKb = 0;
    double hwmKb = 0;
    double firstMs = 0;
    double worstMs = 0;
    double totalMs = 0;
    size_t lookedAt = 0;
    size_t items = 0;
};

ClientFigures StartClient(const QString& home)
{
    QProcess client;
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--client"), home});
    ClientFigures f;
    if (!client.waitForFinished(600000))
        return f;
    for (const QByteArray& line : client.readAllStandardOutput().split('\n')) {
        if (!line.startsWith("client "))
            continue;
        long long rss = 0, hwm = 0;
        f.ok = std::sscanf(line.constData(), "client %lld %lld %lf %lf %lf %zu %zu", &rss, &hwm,
                           &f.firstMs, &f.worstMs, &f.totalMs, &f.lookedAt, &f.items) == 7;
        f.rssKb = double(rss);
        f.hwmKb = double(hwm);
    }
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    // As the client does.
    TuneAllocator();
    if (argc > 2 && std::strcmp(argv[1], "--client") == 0)
        return RunClient(argc, argv, argv[2]);

    WindowBench::Home home;
    QApplication app(argc, argv);
    QTemporaryDir tree;
    const std::string root = argc > 1 ? std::string(argv[1]) : tree.path().toStdString() + "/share";
    // "syllable" after the home folder: the tree named by the syllable words.
    const bool syllable = argc > 3 && std::strcmp(argv[3], "syllable") == 0;
    BenchShare::MakeTreeIfEmpty(root,
                                syllable ? BenchShare::kSyllableMillion : BenchShare::kMillion);
    QTemporaryDir emptyHome;
    WindowBench::SilentServer silent;
    // A home folder given after the tree keeps the sharing client's store file for later runs.
    const QString storePath =
        argc > 2 ? QDir(QString::fromLocal8Bit(argv[2])).filePath(QStringLiteral(".Quorvale"))
                 : home.StoreFile();
    if (!(QFileInfo::exists(storePath) || BenchClient::WriteSharingStore(storePath, root)) ||
        !WriteOfflineStore(emptyHome.filePath(QStringLiteral(".Quorvale")),
                           {{SettingKeys::Username, "bench"}, {SettingKeys::Password, "bench"}})) {
        std::fprintf(stderr, "the store files could not be written\n");
        return 1;
    }
    malloc_trim(0);

    qint64 loadNs = -1;
    qint64 bareNs = -1;
    qint64 readNs = -1;
    for (int k = 0; k < 3; ++k) {
        const qint64 load = BenchClient::LoadNs(storePath);
        malloc_trim(0);
        const qint64 bare = BenchClient::BareLoadNs(storePath);
        malloc_trim(0);
        const qint64 read = BenchClient::FreshReadNs(storePath);
        loadNs = loadNs < 0 ? load : std::min(loadNs, load);
        bareNs = bareNs < 0 ? bare : std::min(bareNs, bare);
        readNs = readNs < 0 ? read : std::min(readNs, read);
    }

    const ClientFigures empty = StartClient(emptyHome.path());
    const ClientFigures sharing = StartClient(QFileInfo(storePath).path());
    if (!empty.ok || !sharing.ok) {
        std::fprintf(stderr, "a client did not report\n");
        return 1;
    }
    const double files = double(BenchShare::kFiles);
    const double perFile = (sharing.rssKb - empty.rssKb) * 1024 / files;
    const double peakPerFile = (sharing.hwmKb - empty.hwmKb) * 1024 / files;
    std::printf("store file %.1f MB; engine load %.1f ms, fresh-buffer read %.1f ms: ratio %.2f\n",
                double(QFileInfo(storePath).size()) / 1e6, Ms(loadNs), Ms(readNs),
                double(loadNs) / double(readNs));
    std::printf("engine load %.1f ms, bare load (no service built) %.1f ms: ratio %.2f (target "
                "%.0f: %s)\n",
                Ms(loadNs), Ms(bareNs), double(loadNs) / double(bareNs), kLoadRatioTarget,
                double(loadNs) <= kLoadRatioTarget * double(bareNs) ? "met" : "NOT met");
    std::printf("resident memory after start-up: %.0f MB, empty-store client %.0f MB: %.1f bytes "
                "per shared file (target %.0f: %s); peak %.0f MB against %.0f MB: %.1f bytes\n",
                sharing.rssKb / 1024, empty.rssKb / 1024, perFile, kBytesPerFileTarget,
                perFile <= kBytesPerFileTarget ? "met" : "NOT met", sharing.hwmKb / 1024,
                empty.hwmKb / 1024, peakPerFile);
    std::printf(
        "half-minute tick, first (walks the store): stretch %.1f ms, empty client %.1f ms\n",
        sharing.firstMs, empty.firstMs);
    std::printf("half-minute tick, %d with changes between: longest stretch %.1f ms (target %.0f: "
                "%s), empty client %.1f ms; total %.1f ms, empty client %.1f ms, ratio %.2f "
                "(target 2); at most %zu of %zu items looked at\n",
                kTicks, sharing.worstMs, kStretchTargetMs,
                sharing.worstMs <= kStretchTargetMs ? "met" : "NOT met", empty.worstMs,
                sharing.totalMs, empty.totalMs, sharing.totalMs / empty.totalMs, sharing.lookedAt,
                sharing.items);
    return 0;
}

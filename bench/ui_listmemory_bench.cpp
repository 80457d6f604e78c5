// What a received share list costs in memory, in the running window, through a real connection:
// a peer dials in, the browse tab asks it for its list, and it answers with one of the shapes
// below. For each: the list's inflated size, whether it was accepted, the process's peak
// resident memory above what it held before the list (target for an accepted list: at most twice
// the inflated size plus 64 MB), and what it holds once the tab is closed and the tree deleted
// (target: within 64 MB of before). Each shape runs in a process of its own, so that what one
// left behind does not count for the next. The peak includes the sending side's copy of the
// frame (at most 10 MB).
//  - 7,900 folders with paths of about 32,700 bytes in 1,000 parts (refused: their paths come
//    to more than the list may hold);
//  - 128,000 folders in chains of 1,000 levels (refused likewise);
//  - 1,000 such long paths, and 32 chains of 1,000 levels: as much path as a list may hold;
//  - a million files (distinct names) in 50,021 folders.
// Nothing is asserted. Run it from a Release build.

#include "BenchLists.h"
#include "WindowBench.h"

#include "peer/PeerMessenger.h"
#include "shares/ReceivedShares.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ProcessControl.h"
#include "ui/search/ShareForm.h"
#include "ui/search/SharesForm.h"

#include <QApplication>
#include <QPointer>
#include <QProcess>
#include <QTabWidget>
#include <QTreeWidget>

#include <cstdio>
#include <cstring>
#include <malloc.h>

namespace {

using WindowBench::Settle;

struct Shape
{
    const char* name;
    QByteArray (*body)();
};

const Shape kShapes[] = {
    {"7,900 folders, paths of 32,700 bytes", [] { return BenchLists::LongPathsBody(7900, 32700); }},
    {"128,000 folders in chains of 1,000", [] { return BenchLists::ChainsBody(128, 1000); }},
    {"1,000 folders, paths of 32,700 bytes", [] { return BenchLists::LongPathsBody(1000, 32700); }},
    {"32,000 folders in chains of 1,000", [] { return BenchLists::ChainsBody(32, 1000); }},
    {"a million files in 50,021 folders", [] { return BenchLists::MillionBody(); }},
};

// Runs the event loop until done says so, or a minute passed.
template <class Done> bool Wait(Done done)
{
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

void Measure(const Shape& shape)
{
    using namespace BenchLists;
    QByteArray frame;
    qint64 inflated = 0;
    {
        const QByteArray body = shape.body();
        inflated = body.size();
        frame = Frame(body);
    }
    const WindowBench::RunningWindow running;
    auto peer = DialMessaging(peerMessenger->ListeningPort(), "lister");
    if (!peer) {
        std::printf("%s: the peer could not dial in\n", shape.name);
        return;
    }
    ShareForm* tab = sharesForm->OpenShareBrowse("lister");
    bool refused = false;
    QObject::connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed,
                     [&refused] { refused = true; });
    Settle();
    malloc_trim(0);
    const double before = ResidentMB();

    // Where the bytes go, by what the allocator hands out: once the list is read (its bytes),
    // once its tree is in the store, and once the tab shows it.
    const auto allocated = [] {
        const struct mallinfo2 heap = mallinfo2();
        return double(heap.uordblks + heap.hblkhd) / (1024 * 1024);
    };
    const double heapBefore = allocated();
    double listRead = -1;
    double treeStored = -1;
    const ReceivedShares& received = sharedFoldersManager->ReceivedSharesForTesting();
    ResetPeak();
    SendAllButLastByte(*peer, frame);
    SendLastByte(*peer, frame);
    auto* tree = tab->findChild<QTreeWidget*>("folderTree");
    const bool answered = Wait([&] {
        if (listRead < 0 && received.IsBusy())
            listRead = allocated() - heapBefore;
        if (treeStored < 0 && d.GetType("user_share_loaded")->ItemCount() > 0)
            treeStored = allocated() - heapBefore;
        return refused || (tree->isVisible() && !tab->IsBuildingTree());
    });
    Settle();
    const double peak = PeakMB() - before;
    const double inflatedMB = double(inflated) / (1024 * 1024);
    if (!refused && d.GetType("user_share_file")->ItemCount() > 0) {
        const size_t files = d.GetType("user_share_file")->ItemCount();
        // The list's bytes are let go of once its last folder is made, before the tree counts
        // as stored.
        const double store = treeStored - (listRead - inflatedMB);
        std::printf("  allocated: %.0f MB with the list read (its bytes %.0f MB), %.0f MB with its "
                    "tree in the store and the list let go of (the tree %.0f MB, %.0f bytes a "
                    "file), %.0f MB with the tab's rows; items: %zu files, %zu file names, %zu "
                    "folders, %zu sizes\n",
                    listRead, inflatedMB, treeStored, store, store * 1024 * 1024 / double(files),
                    allocated() - heapBefore, files, d.GetType("user_share_file_name")->ItemCount(),
                    d.GetType("user_share_folder")->ItemCount(),
                    d.GetType("file_size")->ItemCount());
    }

    auto* tabs = sharesForm->findChild<QTabWidget*>("tabControl");
    QPointer<ShareForm> open(tab);
    Q_EMIT tabs->tabCloseRequested(tabs->indexOf(tab));
    Wait([&] { return !open && !sharedFoldersManager->ReceivedSharesForTesting().IsBusy(); });
    Settle();
    const double after = ResidentMB() - before;
    const double bound = 2 * inflatedMB + 64;
    std::printf("%s: frame %.2f MB, inflated %.1f MB, %s; peak growth %.0f MB (target <= %.0f: "
                "%s), after removal %+.0f MB (target within 64: %s)\n",
                shape.name, double(frame.size()) / 1e6, inflatedMB,
                !answered ? "NO ANSWER"
                : refused ? "refused"
                          : "accepted",
                peak, bound, peak <= bound ? "met" : "NOT met", after,
                after <= 64 ? "met" : "NOT met");
}

} // namespace

int main(int argc, char** argv)
{
    // As the client does.
    TuneAllocator();
    WindowBench::Home home;
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    home.WriteStore();
    const int count = int(sizeof kShapes / sizeof kShapes[0]);
    if (argc > 2 && std::strcmp(argv[1], "--shape") == 0) {
        const int k = std::atoi(argv[2]);
        if (k >= 0 && k < count)
            Measure(kShapes[k]);
        return 0;
    }
    // Each shape in a fresh process.
    for (int k = 0; k < count; ++k) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        child.start(QCoreApplication::applicationFilePath(), {"--shape", QString::number(k)});
        child.waitForFinished(-1);
    }
    return 0;
}

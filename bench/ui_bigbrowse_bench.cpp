// Browsing a share of a million files, in the running window, through a real connection: a peer
// dials in on the window's listening port, the browse tab asks it for its list, and it answers
// with 1,000,000 files (distinct names) in 50,021 folders, one frame of about 10 MB. Every figure
// is the longest stretch the window went without a turn of its event loop (target at most
// 100 ms), the total until the work was done, and a plain-Qt baseline measured in the same run
// (target: total at most twice it):
//  - from the frame's last byte until the tab shows its folder tree; baseline a plain tree of the
//    50,021 folder rows built and shown expanded, as the tab shows a new share by default;
//  - Download Folder on one artist: 50,000 files in 2,501 folders, queued and shown on the
//    transfers page; baseline a plain tree of 50,000 rows under 2,500 folders built and shown;
//  - closing the tab: until the tab is gone, and until its rows are deleted and the store let
//    go of the share; baseline the plain tree of the 50,021 folder rows deleted.
// Nothing is asserted. Run it from a Release build.

#include "BenchLists.h"
#include "WindowBench.h"

#include "peer/PeerMessenger.h"
#include "shares/ReceivedShares.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ProcessControl.h"
#include "transfers/TransferQueueManager.h"
#include "ui/search/ShareForm.h"
#include "ui/search/SharesForm.h"
#include "ui/transfers/TransfersForm.h"

#include <QApplication>
#include <QPointer>
#include <QTabWidget>
#include <QTreeWidget>

#include <cstdio>

namespace {

using WindowBench::Settle;

bool TreeShown(ShareForm* tab)
{
    auto* tree = tab->findChild<QTreeWidget*>("folderTree");
    return tree->isVisible() && !tab->IsBuildingTree();
}

bool DownloadsShown()
{
    return !transferQueueManager->DownloadBatchesForTesting().IsBusy();
}

bool RemovingShares()
{
    return sharedFoldersManager->ReceivedSharesForTesting().IsBusy();
}

void Bench()
{
    using namespace BenchLists;
    std::printf("making the list...\n");
    const QByteArray frame = Frame(MillionBody());
    std::printf("a list of %d files in %d folders, frame %.1f MB\n", kMillionFiles, kMillionFolders,
                double(frame.size()) / 1e6);

    const WindowBench::RunningWindow running;

    auto peer = DialMessaging(peerMessenger->ListeningPort(), "lister");
    if (!peer) {
        std::printf("the peer could not dial in\n");
        return;
    }
    ShareForm* tab = sharesForm->OpenShareBrowse("lister");
    Settle();
    SendAllButLastByte(*peer, frame);
    const auto arrived =
        WindowBench::Timed([&] { SendLastByte(*peer, frame); }, [tab] { return TreeShown(tab); });
    auto* tree = tab->findChild<QTreeWidget*>("folderTree");
    int rows = 0;
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        ++rows;
    std::printf("folder rows: %d\n", rows);

    tab->BrowseToFolder(ArtistPath(0));
    Settle();
    const size_t before = d.GetType("download_entry")->ItemCount();
    const auto download =
        WindowBench::Timed([&] { tab->OnActionBarTriggered(tree, "download_share_folder"); },
                           [] { return DownloadsShown(); });
    std::printf("downloads queued: %zu\n", d.GetType("download_entry")->ItemCount() - before);

    auto* tabs = sharesForm->findChild<QTabWidget*>("tabControl");
    QPointer<ShareForm> open(tab);
    double goneMs = 0;
    QElapsedTimer sinceClose;
    const auto closing = WindowBench::Timed(
        [&] {
            sinceClose.start();
            Q_EMIT tabs->tabCloseRequested(tabs->indexOf(tab));
        },
        [&] {
            if (!open && goneMs == 0)
                goneMs = double(sinceClose.nsecsElapsed()) / 1e6;
            return !open && !RemovingShares();
        });

    // The folders as the tab nests them: the top, the artists under it, the albums under them.
    std::vector<int> parents{-1};
    for (int a = 0; a < kArtists; ++a) {
        parents.push_back(0);
        const int artist = int(parents.size()) - 1;
        for (int b = 0; b < kAlbums; ++b)
            parents.push_back(artist);
    }
    // Expanded, as the tab shows a new share by default.
    const auto folderRows =
        WindowBench::PlainTree(parents, std::vector<int>(parents.size(), 0), true);
    // The downloads as the transfers page shows them: a folder row each, the files under them.
    std::vector<int> albums(size_t(kAlbums), -1);
    const auto downloadRows =
        WindowBench::PlainTree(albums, std::vector<int>(size_t(kAlbums), kTracks), true);

    WindowBench::ReportStretch("a million files: last byte to the tab's tree", folderRows.first,
                               arrived.first, arrived.second, 2.0);
    WindowBench::ReportStretch("Download Folder on 50,000 files in 2,501 folders",
                               downloadRows.first, download.first, download.second, 2.0);
    std::printf("closing the tab: gone after %.1f ms\n", goneMs);
    WindowBench::ReportStretch("closing the tab, until the store let go of the share",
                               folderRows.second, closing.first, closing.second, 2.0);
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
    Bench();
    return 0;
}

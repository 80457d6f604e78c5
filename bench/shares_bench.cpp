// Scanning a big share: 200,000 files in 10,000 folders, made on the spot in a temporary folder.
// Each figure is printed with its baseline, measured in the same run, and the ratio to it:
//   first scan       against find DIR -type f -printf '%s %p\n' over the same tree (target 3x)
//   rescan, no change against the same find (target 2x)
//   index memory     per file, against as many plain store connections (target 1.2x)
// Both memory figures are what removing the items gives back to the heap, large mapped blocks
// included, taken once the MP3 scanner has finished with the files the scans queued. Nothing is
// asserted. Run it from a Release build. With a folder as argument, the tree is kept
// there and made only if the folder is empty, so that later runs can skip making it.

#include "BenchShare.h"

#include "engine/Engine.h"
#include "shares/SharedFoldersManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <malloc.h>

namespace {

using BenchShare::FindNs;
using BenchShare::Ms;

// 10,000 album folders below 100 tops, named as in a real share; the files sparse, with no MP3
// header.
constexpr BenchShare::TreeShape kShape{100, 100, 20, 1000, 9000000, false, true};

// Bytes the heap has handed out and not taken back, the blocks it maps on their own included.
size_t HeapInUse()
{
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// The MP3 scanner reads the files the scans queued on a thread of its own, and frees each
// request, made on this thread's heap, as it goes: measured before it is done, the figures swing
// with its progress. It is done when the heap has stood still for a second (nothing else runs).
void WaitForQuietHeap()
{
    QElapsedTimer waited;
    waited.start();
    size_t last = HeapInUse();
    for (int still = 0; still < 5 && waited.elapsed() < 120000;) {
        QThread::msleep(200);
        const size_t now = HeapInUse();
        still = now == last ? still + 1 : 0;
        last = now;
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const std::string root = BenchShare::TreeRoot(argc, argv, dir.path().toStdString(), kShape);
    const std::string find = "-type f -printf '%s %p\\n'";
    FindNs(root, find); // warms the cache for everyone
    const qint64 findNs = FindNs(root, find);

    EngineOptions options;
    options.peerMessenger = false;
    Engine engine(options);
    SharedFoldersManager& shares = *engine.shares();
    d.GetType("shared_folder")->GetItem(root).NewItem("shared_public");

    QElapsedTimer t;
    t.start();
    shares.Init();
    shares.WaitForScans();
    const qint64 firstNs = t.nsecsElapsed();
    const size_t files = d.GetType("shared_file")->ItemCount();

    qint64 rescanNs = -1;
    for (int k = 0; k < 3; ++k) {
        t.restart();
        shares.RescanShares();
        shares.WaitForScans();
        const qint64 ns = t.nsecsElapsed();
        rescanNs = rescanNs < 0 ? ns : std::min(rescanNs, ns);
    }

    // The index as the scan built it: what its removal gives back. A word is linked to the
    // files whose names hold it and to the folders whose paths do.
    WaitForQuietHeap();
    std::vector<std::vector<Item*>> tokenFiles;
    std::vector<std::vector<Item*>> tokenFolders;
    size_t links = 0;
    for (Item* token : g("search_token")) {
        const ItemSet files = ItemPtr(token).GetItems("shared_file");
        const ItemSet folders = ItemPtr(token).GetItems("shared_file_folder");
        tokenFiles.emplace_back(files.begin(), files.end());
        tokenFolders.emplace_back(folders.begin(), folders.end());
        links += files.Size() + folders.Size();
    }
    const size_t withIndex = HeapInUse();
    d.GetType("search_token")->RemoveAllItems();
    const size_t indexBytes = withIndex - HeapInUse();

    // The same number of plain connections, in the same shape, to items of a plain type, and
    // what their removal gives back.
    d.NewType("bench_word", ValuePrimacy, false, true, ValueKind::Utf8);
    d.GetType("bench_word")->RelateToType("shared_file", Many, Many);
    d.GetType("bench_word")->RelateToType("shared_file_folder", Many, Many);
    Type* words = d.GetType("bench_word");
    for (size_t w = 0; w < tokenFiles.size(); ++w) {
        ItemPtr word = words->GetItem("w" + std::to_string(w));
        for (Item* file : tokenFiles[w])
            word += file;
        for (Item* folder : tokenFolders[w])
            word += folder;
    }
    const size_t withPlain = HeapInUse();
    words->RemoveAllItems();
    const size_t plainBytes = withPlain - HeapInUse();

    std::printf("shared files: %zu, folders: %zu, index words: %zu, index links: %zu\n", files,
                d.GetType("shared_file_folder")->ItemCount(), tokenFiles.size(), links);
    std::printf("find baseline:       %9.1f ms\n", Ms(findNs));
    std::printf("first scan:          %9.1f ms  %5.2fx find (target 3x)\n", Ms(firstNs),
                double(firstNs) / double(findNs));
    std::printf("rescan, no change:   %9.1f ms  %5.2fx find (target 2x)\n", Ms(rescanNs),
                double(rescanNs) / double(findNs));
    std::printf("index memory:        %9.1f bytes per file; plain connections %.1f bytes per "
                "file; %5.2fx (target 1.2x)\n",
                double(indexBytes) / double(files), double(plainBytes) / double(files),
                double(indexBytes) / double(plainBytes));
    return 0;
}

// Builds a store shaped like a one-million-file share and prints what it costs:
//   store_bench [files]        (default 1000000)
// The store file's figures stand beside yardsticks measured in the same run: the save beside
// writing as many bytes with and without fsync, the load beside reading the file into a fresh
// buffer, both from the disk. Run it from a release build.

#include "BenchShare.h"

#include "store/Checksum.h"
#include "store/Data.h"
#include "store/DataSaver.h"

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU time of this thread: on a machine shared with other work it shows what the code costs,
// where wall time also shows how long it waited for a core.
double ThreadSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// Zipf-like ranks: rank r is drawn with weight 1 / (r + 1).
class Zipf
{
public:
    Zipf(size_t n, std::mt19937& rng) : rng_(rng), cdf_(n)
    {
        double sum = 0;
        for (size_t r = 0; r < n; ++r) {
            sum += 1.0 / static_cast<double>(r + 1);
            cdf_[r] = sum;
        }
        for (double& c : cdf_)
            c /= sum;
    }
    size_t Draw()
    {
        const double u = std::uniform_real_distribution<double>(0, 1)(rng_);
        return static_cast<size_t>(std::lower_bound(cdf_.begin(), cdf_.end(), u) - cdf_.begin());
    }

private:
    std::mt19937& rng_;
    std::vector<double> cdf_;
};

// Keeps the compiler from dropping work whose result nothing reads.
volatile size_t g_sink = 0;

// The share's types as the client declares them; the word index only where it is built.
void DeclareShareTypes(bool withWords)
{
    Type* share = d.NewType("shared_folder", RootPrimacy, false, true, ValueKind::Utf8);
    Type* folder = d.NewType("folder", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* file = d.NewType("file", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* name = d.NewType("file_name", ValuePrimacy, false, true, ValueKind::Utf8);
    Type* size = d.NewType("file_size", ValuePrimacy, false, true, ValueKind::Utf8);
    share->RelateToType(folder, One, Many);
    folder->RelateToType(file, One, Many);
    file->RelateToType(name, One, One);
    file->RelateToType(size, Many, One);
    if (withWords)
        file->RelateToType(d.NewType("search_token", ValuePrimacy, false, true, ValueKind::Utf8),
                           Many, Many);
}

constexpr int kRuns = 3;

// Seconds of a few runs of one thing: the best shows what the code costs on a shared machine,
// the worst how much the machine disturbed it.
class Runs
{
public:
    void Add(double seconds)
    {
        best_ = std::min(best_, seconds);
        worst_ = std::max(worst_, seconds);
    }
    double Best() const { return best_; }
    double Worst() const { return worst_; }

private:
    double best_ = 1e30;
    double worst_ = 0;
};

// Bytes the heap has handed out and not taken back, mapped blocks included. The benchmark runs
// on one thread, so the main heap is all there is.
size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Seconds to write that many bytes to a new file in 1 MiB blocks, then close it, with or
// without an fsync before; -1 on failure.
double WriteBlocks(const char* path, qint64 bytes, bool sync)
{
    std::vector<char> block(size_t(1) << 20, 'x');
    ::unlink(path);
    const auto start = Clock::now();
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    for (qint64 left = bytes; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<qint64>(left, qint64(block.size())));
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) {
            ::close(fd);
            return -1;
        }
        left -= static_cast<qint64>(n);
    }
    if (sync && ::fsync(fd) != 0) {
        ::close(fd);
        return -1;
    }
    ::close(fd);
    return Seconds(start);
}

// Seconds to fault in that many bytes of fresh memory, a write to each page, as a loader must for
// the memory its store keeps; -1 on failure.
double TouchFreshPages(size_t bytes)
{
    if (bytes == 0)
        return 0;
    const auto start = Clock::now();
    void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        return -1;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (size_t at = 0; at < bytes; at += page)
        static_cast<volatile char*>(block)[at] = 1;
    const double seconds = Seconds(start);
    ::munmap(block, bytes);
    return seconds;
}

// Seconds to read the whole file, from the disk, into a buffer allocated for it; -1 on failure.
double ReadIntoFreshBuffer(const char* path)
{
    const qint64 ns = BenchShare::FreshReadNs(path);
    return ns < 0 ? -1 : double(ns) / 1e9;
}

// The best of a few runs, in seconds: on a shared machine the least disturbed run is the one
// that shows what the code costs.
template <class F> double BestOf(int runs, F f)
{
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        const auto start = Clock::now();
        f();
        best = std::min(best, Seconds(start));
    }
    return best;
}

// The yardstick of a set operation: copying the ids it visits, in the order it visits them,
// into a vector and sorting it.
double CopyAndSort(const std::vector<uint32_t>& ids)
{
    return BestOf(5, [&] {
        std::vector<uint32_t> copy(ids);
        std::sort(copy.begin(), copy.end());
        g_sink = g_sink + copy[copy.size() / 2];
    });
}

// The ids of every member's partners of a type, member by member.
std::vector<uint32_t> VisitedIds(const ItemSet& members, const char* typeName)
{
    std::vector<uint32_t> ids;
    for (Item* m : members) {
        for (Item* partner : ItemPtr(m).GetItems(typeName))
            ids.push_back(partner->Id());
    }
    return ids;
}

void PrintSetFigure(const char* what, double seconds, size_t result, double baseline)
{
    std::printf("%-38s %7.1f ms, %zu items (copy and sort of the same ids: %.1f ms); "
                "ratio %.2f, target 3\n",
                what, seconds * 1e3, result, baseline * 1e3, seconds / baseline);
}

class ConnectCounter : public DataHandler
{
public:
    size_t calls = 0;
    void OnConnected(ConnectionInfo) { ++calls; }
};

// Set operations at a million items, lookups by a long type name, and a connection with a
// store-level handler subscribed, on a store of their own.
void SetOperationFigures(size_t files)
{
    d.~Data();
    new (&d) Data();
    const size_t folders = std::max<size_t>(1, files / 20);
    const size_t tags = std::max<size_t>(1, files / 100);
    std::mt19937 rng(777);
    Type* folder = d.NewType("folder", RootPrimacy, false, true, ValueKind::Utf8);
    Type* file = d.NewType("file", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* tag = d.NewType("tag", ValuePrimacy, false, true, ValueKind::Utf8);
    Type* shared = d.NewType("shared_file_folder", ValuePrimacy, false, true, ValueKind::Utf8);
    folder->RelateToType(file, One, Many);
    file->RelateToType(tag, Many, Many);
    file->RelateToType(shared, Many, One);
    std::vector<Item*> folderItems, fileItems, tagItems, sharedItems;
    for (size_t k = 0; k < folders; ++k) {
        folderItems.push_back(folder->GetItem(k).Get());
        sharedItems.push_back(shared->GetItem(k).Get());
    }
    for (size_t k = 0; k < files; ++k)
        fileItems.push_back(file->GetItem(k).Get());
    for (size_t k = 0; k < tags; ++k)
        tagItems.push_back(tag->GetItem(k).Get());
    // Twenty files per folder in the order made; a hundred files per tag, drawn at random, so
    // that the files of one tag have ids scattered over the whole range.
    std::vector<size_t> order(files);
    for (size_t k = 0; k < files; ++k) {
        order[k] = k;
        folderItems[k / 20 % folders]->Connect(fileItems[k]);
    }
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t k = 0; k < files; ++k)
        fileItems[order[k]]->Connect(tagItems[k / 100 % tags]);

    const ItemSet folderSet = g("folder");
    const ItemSet fileSet = g("file");
    const ItemSet tagSet = g("tag");
    size_t result = 0;
    double t = BestOf(5, [&] { result = folderSet.GetItems("file").Size(); });
    PrintSetFigure("GetItems, files of every folder:", t, result,
                   CopyAndSort(VisitedIds(folderSet, "file")));
    t = BestOf(5, [&] { result = tagSet.GetItems("file").Size(); });
    PrintSetFigure("GetItems, files of every tag:", t, result,
                   CopyAndSort(VisitedIds(tagSet, "file")));
    t = BestOf(5, [&] { result = fileSet.Connected(tagSet).Size(); });
    PrintSetFigure("Connected, all files against the tags:", t, result,
                   CopyAndSort(VisitedIds(tagSet, "file")));

    // The same lookup by a short and by a long type name, on items alike but for the name.
    Type* probe = d.NewType("probe", RootPrimacy, false, true, ValueKind::Utf8);
    Type* dir = d.NewType("dir", ValuePrimacy, false, true, ValueKind::Utf8);
    probe->RelateToType(shared, Many, One);
    probe->RelateToType(dir, Many, One);
    const size_t probes = 4096;
    std::vector<ItemPtr> byShort, byLong;
    for (size_t k = 0; k < probes; ++k) {
        byShort.push_back(probe->GetItem("s" + std::to_string(k)));
        byShort.back() += dir->GetItem(k);
        byLong.push_back(probe->GetItem("l" + std::to_string(k)));
        byLong.back() += shared->GetItem(k);
    }
    const int rounds = 500;
    auto lookups = [&](const std::vector<ItemPtr>& items, const char* name) {
        auto all = [&] {
            size_t found = 0;
            for (int r = 0; r < rounds; ++r) {
                for (const ItemPtr& item : items)
                    found += item[name]->Id();
            }
            g_sink = g_sink + found;
        };
        return BestOf(5, all) / (static_cast<double>(rounds) * static_cast<double>(items.size()));
    };
    const double shortName = lookups(byShort, "dir");
    const double longName = lookups(byLong, "shared_file_folder");
    std::printf(
        "item[\"shared_file_folder\"]:          %7.1f ns per call (item[\"dir\"]: %.1f ns); "
        "ratio %.2f, target 1\n",
        longName * 1e9, shortName * 1e9, longName / shortName);

    // Files joined to their shared folder item in blocks, one store-level handler subscribed
    // for every other pair of blocks (ABBA), so that drift over the run falls on both sides.
    ConnectCounter counter;
    auto* handler = counter.NewEventHandler(&counter, &ConnectCounter::OnConnected);
    const size_t block = 10000;
    double plain = 0;
    double handled = 0;
    size_t plainCount = 0;
    size_t handledCount = 0;
    for (size_t first = 0, b = 0; first < files; first += block, ++b) {
        const bool subscribed = b % 4 == 1 || b % 4 == 2;
        if (subscribed)
            d.connectedEvent.Add(handler);
        const size_t last = std::min(files, first + block);
        const auto start = Clock::now();
        for (size_t k = first; k < last; ++k)
            fileItems[k]->Connect(sharedItems[k / 20 % folders]);
        (subscribed ? handled : plain) += Seconds(start);
        (subscribed ? handledCount : plainCount) += last - first;
        if (subscribed)
            d.connectedEvent.Remove(handler);
    }
    if (plainCount && handledCount) {
        const double without = plain / static_cast<double>(plainCount);
        const double with = handled / static_cast<double>(handledCount);
        std::printf("connect, one store-level handler:    %7.1f ns (without: %.1f ns, %zu calls); "
                    "ratio %.2f, target 1.3\n",
                    with * 1e9, without * 1e9, counter.calls, with / without);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const size_t files = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    const size_t folders = std::max<size_t>(1, files / 20);
    const size_t words = std::max<size_t>(10, files / 5);
    const size_t sizes = std::max<size_t>(1, files / 10);
    const int wordsPerFile = 10;
    std::mt19937 rng(12345);

    DeclareShareTypes(true);
    Type* share = d.GetType("shared_folder");
    Type* folder = d.GetType("folder");
    Type* file = d.GetType("file");
    Type* name = d.GetType("file_name");
    Type* size = d.GetType("file_size");
    Type* word = d.GetType("search_token");

    // Items first, so that the connections are measured on their own.
    auto start = Clock::now();
    ItemPtr root = share->GetItem("/home/user/share");
    std::vector<Item*> folderItems, fileItems, nameItems, sizeItems, wordItems;
    for (size_t k = 0; k < folders; ++k)
        folderItems.push_back(folder->GetItem("/home/user/share/folder" + std::to_string(k)));
    for (size_t k = 0; k < files; ++k) {
        fileItems.push_back(file->GetItem("/home/user/share/f" + std::to_string(k) + ".mp3"));
        nameItems.push_back(name->GetItem("f" + std::to_string(k) + ".mp3"));
    }
    for (size_t k = 0; k < sizes; ++k)
        sizeItems.push_back(size->GetItem(static_cast<long long>(1000 + k * 7919)));
    for (size_t k = 0; k < words; ++k)
        wordItems.push_back(word->GetItem("w" + std::to_string(k)));
    const double makeItems = Seconds(start);

    // The pairs, drawn before timing.
    Zipf zipf(words, rng);
    std::vector<std::pair<Item*, Item*>> pairs;
    pairs.reserve(files * (3 + wordsPerFile) + folders);
    for (Item* f : folderItems)
        pairs.emplace_back(root.Get(), f);
    for (size_t k = 0; k < files; ++k) {
        Item* f = fileItems[k];
        pairs.emplace_back(folderItems[k / 20 % folders], f);
        pairs.emplace_back(f, nameItems[k]);
        pairs.emplace_back(f, sizeItems[rng() % sizes]);
        std::vector<size_t> chosen;
        while (chosen.size() < static_cast<size_t>(wordsPerFile)) {
            const size_t w = zipf.Draw();
            if (std::find(chosen.begin(), chosen.end(), w) == chosen.end())
                chosen.push_back(w);
        }
        for (size_t w : chosen)
            pairs.emplace_back(f, wordItems[w]);
    }

    const long before = ResidentBytes();
    start = Clock::now();
    const double cpuStart = ThreadSeconds();
    for (const auto& p : pairs)
        p.first->Connect(p.second);
    const double connect = Seconds(start);
    const double connectCpu = ThreadSeconds() - cpuStart;
    const long after = ResidentBytes();

    std::printf("files %zu, folders %zu, words %zu, connections %zu (items made in %.2f s)\n",
                files, folders, words, pairs.size(), makeItems);
    std::printf("connect:             %8.1f ns per connection (%.1f ns of CPU time)\n",
                connect * 1e9 / static_cast<double>(pairs.size()),
                connectCpu * 1e9 / static_cast<double>(pairs.size()));
    std::printf("memory:              %8.1f bytes resident per connection\n",
                static_cast<double>(after - before) / static_cast<double>(pairs.size()));

    // GetItem by value, on names in a shuffled order.
    std::vector<std::string> lookups;
    for (size_t k = 0; k < 200000; ++k)
        lookups.push_back("f" + std::to_string(rng() % files) + ".mp3");
    start = Clock::now();
    size_t found = 0;
    for (const std::string& v : lookups)
        found += name->GetItem(v).IsNull() ? 0 : 1;
    std::printf("GetItem by value:    %8.1f ns per lookup (%zu found)\n",
                Seconds(start) * 1e9 / static_cast<double>(lookups.size()), found);

    // A rare word (about 100 partners) with the most common one.
    Item* common = wordItems[0];
    Item* rare = nullptr;
    for (Item* w : wordItems) {
        if (w->ConnectionCount(file) <= 100) {
            rare = w;
            break;
        }
    }
    ItemSet pairSet;
    pairSet.Insert(common);
    pairSet.Insert(rare);
    const int rounds = 2000;
    size_t hits = 0;
    start = Clock::now();
    for (int r = 0; r < rounds; ++r)
        hits += d.GetItemSubset(pairSet, "file").Size();
    const double subset = Seconds(start) / rounds;
    start = Clock::now();
    for (int r = 0; r < rounds; ++r)
        hits += d.GetItemSubset(ItemSet(rare), "file").Size();
    const double rareAlone = Seconds(start) / rounds;
    std::printf("GetItemSubset:       %8.2f us for rare (%zu partners) with common (%zu "
                "partners); the rare word alone %.2f us (%zu)\n",
                subset * 1e6, rare->ConnectionCount(file), common->ConnectionCount(file),
                rareAlone * 1e6, hits);

    // Disconnect the word links of a tenth of the files, in a shuffled order.
    std::vector<std::pair<Item*, Item*>> drop;
    for (size_t k = 0; k < pairs.size(); ++k) {
        if (pairs[k].second->GetType() == word && rng() % 10 == 0)
            drop.push_back(pairs[k]);
    }
    std::shuffle(drop.begin(), drop.end(), rng);
    start = Clock::now();
    const double dropCpu = ThreadSeconds();
    for (const auto& p : drop)
        p.first->Disconnect(p.second);
    std::printf("disconnect:          %8.1f ns per disconnection (%.1f ns of CPU time, %zu)\n",
                Seconds(start) * 1e9 / static_cast<double>(drop.size()),
                (ThreadSeconds() - dropCpu) * 1e9 / static_cast<double>(drop.size()), drop.size());

    // The sweep over the whole share, then once more with nothing changed.
    const size_t itemsBefore = d.ItemCount();
    start = Clock::now();
    const int swept = d.RemoveDisconnectedItems();
    const double sweep = Seconds(start);
    start = Clock::now();
    const int again = d.RemoveDisconnectedItems();
    std::printf("sweep:               %8.3f s over %zu items (%d removed); again with nothing "
                "changed: %.6f s (%d)\n",
                sweep, itemsBefore, swept, Seconds(start), again);
    // What a client changes between two ticks: a hundred files cut from their folders, a
    // hundred word links cut, a hundred loose items made. The sweep that looks around them
    // against one that walks the whole store after the same changes.
    Runs around;
    Runs whole;
    size_t lookedAt = 0;
    int aroundRemoved = 0;
    int wholeRemoved = 0;
    for (int r = 0; r < kRuns * 2; ++r) {
        const bool walkAll = r % 2 == 1;
        for (int k = 0; k < 100; ++k) {
            Item* f = fileItems[size_t(r * 1000 + k * 7)];
            if (Item* parent = f->GetItem("folder"))
                parent->Disconnect(f);
            Item* w = fileItems[size_t(r * 1000 + k * 7 + 3)];
            if (Item* token = w->GetItem("search_token"))
                w->Disconnect(token);
            folder->GetItem("/loose/" + std::to_string(r) + "/" + std::to_string(k));
        }
        if (walkAll)
            d.SweepEverythingNext();
        start = Clock::now();
        const int n = d.RemoveDisconnectedItems();
        (walkAll ? whole : around).Add(Seconds(start));
        (walkAll ? wholeRemoved : aroundRemoved) = n;
        if (!walkAll)
            lookedAt = d.LastSweepLookedAt();
    }
    std::printf("sweep after changes: %8.3f ms, best of %d (%.3f to %.3f ms; %d removed, %zu items "
                "looked at); walking the whole store after as many %.3f ms (%d removed); ratio "
                "%.4f\n",
                around.Best() * 1e3, kRuns, around.Best() * 1e3, around.Worst() * 1e3,
                aroundRemoved, lookedAt, whole.Best() * 1e3, wholeRemoved,
                around.Best() / whole.Best());

    // The store file: everything but the word index, as the client saves it.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("store"));
    const QByteArray encodedPath = QFile::encodeName(path);
    const char* saved[] = {"shared_folder", "folder", "file", "file_name", "file_size"};
    Runs save;
    {
        DataSaver saver;
        for (const char* t : saved)
            saver.AddSavedType(t);
        for (int r = 0; r < kRuns; ++r) {
            start = Clock::now();
            if (!saver.Save(path)) {
                std::printf("save failed\n");
                return 1;
            }
            save.Add(Seconds(start));
        }
    }
    const qint64 bytes = QFile(path).size();

    // What the checksum costs: the CRC over the file's bytes, in memory, as both the save and
    // the load compute it.
    double checksum = 0;
    uint32_t crc = 0;
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray all = f.readAll();
        start = Clock::now();
        crc = Crc32(0, all.constData(), static_cast<size_t>(all.size()));
        checksum = Seconds(start);
    }

    // The yardsticks: as many bytes written to a new file in 1 MiB blocks, with and without
    // fsync (a save syncs its file), and the store file read whole into a freshly allocated
    // buffer, as a loader must at the least, each time from the disk.
    const QByteArray plainPath = QFile::encodeName(dir.filePath(QStringLiteral("plain")));
    Runs writeSynced;
    Runs writeUnsynced;
    Runs freshRead;
    for (int r = 0; r < kRuns; ++r) {
        const double synced = WriteBlocks(plainPath.constData(), bytes, true);
        const double unsynced = WriteBlocks(plainPath.constData(), bytes, false);
        const double read = ReadIntoFreshBuffer(encodedPath.constData());
        if (synced < 0 || unsynced < 0 || read < 0)
            return 1;
        writeSynced.Add(synced);
        writeUnsynced.Add(unsynced);
        freshRead.Add(read);
    }

    // Loads into a fresh store with the same types declared; the heap it holds afterwards is
    // the store's memory for the share.
    Runs load;
    size_t held = 0;
    for (int r = 0; r < kRuns; ++r) {
        d.~Data();
        new (&d) Data();
        // What the last store freed goes back to the system, so that every load starts on a
        // heap that must fault its pages in, as in a client just started.
        malloc_trim(0);
        DeclareShareTypes(false);
        BenchShare::DropFromCache(encodedPath.constData());
        DataSaver loader;
        for (const char* t : saved)
            loader.AddSavedType(t);
        const size_t heapBefore = HeapInUse();
        start = Clock::now();
        loader.Load(path);
        load.Add(Seconds(start));
        held = HeapInUse() - heapBefore;
    }
    // No loader can take less than reading the file and faulting in the pages of what the store
    // keeps beyond the file's own bytes (which a loader can reuse): measured the same way, in
    // the same run, that is the floor the load stands beside.
    const size_t beyondFile = held > size_t(bytes) ? held - size_t(bytes) : 0;
    Runs floor;
    for (int r = 0; r < kRuns; ++r) {
        const double read = ReadIntoFreshBuffer(encodedPath.constData());
        const double touch = TouchFreshPages(beyondFile);
        if (read < 0 || touch < 0)
            return 1;
        floor.Add(read + touch);
    }
    std::printf("store file:          %8.1f MB, %zu items loaded back\n",
                static_cast<double>(bytes) / 1e6, d.ItemCount());
    std::printf("save:                %8.3f s, best of %d (%.3f to %.3f s); writing as many "
                "bytes in 1 MiB blocks with fsync %.3f s, ratio %.2f; without fsync %.3f s, "
                "ratio %.2f\n",
                save.Best(), kRuns, save.Best(), save.Worst(), writeSynced.Best(),
                save.Best() / writeSynced.Best(), writeUnsynced.Best(),
                save.Best() / writeUnsynced.Best());
    std::printf("load:                %8.3f s, best of %d (%.3f to %.3f s); reading the file "
                "into a fresh buffer %.3f s (%.3f to %.3f s); ratio %.2f, target 3\n",
                load.Best(), kRuns, load.Best(), load.Worst(), freshRead.Best(),
                freshRead.Best(), freshRead.Worst(), load.Best() / freshRead.Best());
    std::printf("load floor:          %8.3f s, best of %d (%.3f to %.3f s): that read and "
                "faulting in the %.1f MB the store keeps beyond the file's bytes; the load is "
                "%.2f times the floor, the floor %.2f times the read\n",
                floor.Best(), kRuns, floor.Best(), floor.Worst(),
                static_cast<double>(beyondFile) / 1e6, load.Best() / floor.Best(),
                floor.Best() / freshRead.Best());
    std::printf("store memory:        %8.1f bytes per shared file, held after the load (the "
                "search index's share comes on top; target for both together 500)\n",
                static_cast<double>(held) / static_cast<double>(files));
    std::printf("checksum:            %8.3f s over the file (CRC %08x): %.1f%% of the save, "
                "%.1f%% of the load (target: at most 10%% of either)\n",
                checksum, crc, 100 * checksum / save.Best(), 100 * checksum / load.Best());

    SetOperationFigures(files);
    return 0;
}

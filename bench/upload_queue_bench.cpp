// The upload queue under load: 5,000 queued uploads from 500 users, half of them offline. Of the
// 250 users who are there, 249 already hold an upload, and one slot is free; the one user who
// may take it has the last places in the order, so the scheduler passes over nearly all.
// Each figure is printed with its baseline, std::sort of the same 5,000 (order, entry) pairs in
// the same run, and the ratio to it:
//   one StartNewUploads pass                              (target 4x)
//   an OrderNewUpload that renumbers all 5,000 entries    (target 10x)
// Then a flood: ten users who are not there queue file after file, one slot is free, and every
// request runs the scheduler, which can start none of them. The median of 1,000 requests that
// take the queue from 99,000 to 100,000 entries (the cap) against the median of the first
// 1,000 requests into an empty queue                      (target 2x)
// Nothing is asserted. Run it from a Release build.

#include "engine/Engine.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharesSchema.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransfersSchema.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

using namespace TransfersTypes;

namespace {

constexpr int kUsers = 500;
constexpr int kPerUser = 10;
constexpr int kRuns = 101;
constexpr int kFloodUsers = 10;
constexpr int kFloodRequests = 1000;
constexpr int kFloodFiles = TransferQueueManager::kMaxQueuedUploadsPerUser;

// The median of kRuns timings of step, each after an untimed reset.
template <class Reset, class Step> qint64 MedianNs(Reset reset, Step step)
{
    std::vector<qint64> ns;
    QElapsedTimer t;
    for (int k = 0; k < kRuns; ++k) {
        reset();
        t.start();
        step();
        ns.push_back(t.nsecsElapsed());
    }
    std::nth_element(ns.begin(), ns.begin() + kRuns / 2, ns.end());
    return ns[kRuns / 2];
}

void Report(const char* what, qint64 ns, qint64 baselineNs, double target)
{
    const double ratio = double(ns) / double(baselineNs);
    std::printf("%-46s %9.1f us  baseline %7.1f us  ratio %5.2fx  (target %.0fx)\n", what,
                ns / 1000.0, baselineNs / 1000.0, ratio, target);
}

std::string UserName(int u)
{
    return "user" + std::to_string(u);
}

std::string SharedName(int f)
{
    return "f" + std::to_string(f);
}

// A queued upload as a request makes it, without the scheduler's run that follows.
void Enqueue(TransferQueueManager& transfers, const std::string& user, ItemPtr file,
             const std::string& asRequested)
{
    ItemPtr entry = d.GetType(UploadEntry)->NewItem();
    entry += ServerStore::User(user);
    entry += file;
    entry += d.GetType(FilenameAsRequested)->GetItem(Value(asRequested));
    transfers.SetUploadEntryStatus(entry, TransferStatus::Queued);
    const qint64 order = Settings::Int64(SettingKeys::TransferOrderCounter);
    entry += d.GetType(UploadOrder)->GetItem(Value(order));
    Settings::SetNumber(SettingKeys::TransferOrderCounter, order + 1);
    transfers.OrderNewUpload(entry);
}

// The median time of the flood's requests number first to first + count - 1: request i is
// user i % kFloodUsers asking for file i / kFloodUsers, as a peer names it.
qint64 FloodMedianNs(TransferQueueManager& transfers, int first, int count)
{
    std::vector<qint64> ns;
    QElapsedTimer t;
    for (int i = first; i < first + count; ++i) {
        const std::string user = "flood" + std::to_string(i % kFloodUsers);
        const std::string file = "\\srv\\share\\" + SharedName(i / kFloodUsers);
        t.start();
        transfers.OnQueueUploadRequested(user, file);
        ns.push_back(t.nsecsElapsed());
    }
    std::nth_element(ns.begin(), ns.begin() + count / 2, ns.end());
    return ns[size_t(count / 2)];
}

} // namespace

int main(int argc, char** argv)
{
    // Nothing of the real home is read or written.
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);

    EngineOptions options;
    options.distributedNetwork = false;
    options.loopbackListeners = true;
    Engine engine(options);
    TransferQueueManager& transfers = *transferQueueManager;

    // One shared folder of 5,000 files, made in the store alone: the scheduler looks at the
    // files it offers, never at disk.
    ItemPtr root = d.GetType(SharesTypes::SharedFolder)->GetItem(Value("/srv/share"));
    root.NewItem(SharesTypes::SharedPublic);
    ItemPtr folder = d.GetType(SharesTypes::SharedFileFolder)->GetItem(Value("/srv/share"));
    folder += root;
    std::vector<ItemPtr> files;
    for (int f = 0; f < std::max(kPerUser * kUsers, kFloodFiles); ++f) {
        ItemPtr file = d.GetType(SharesTypes::SharedFile)->NewItem();
        file += folder;
        file += d.GetType(SharesTypes::SharedFileName)->GetItem(Value(SharedName(f)));
        file += d.GetType(SharesTypes::SharedFileSize)->GetItem(Value(1000 + f));
        files.push_back(file);
    }

    // The queue as requests make it, user by user in turn; the last user is the one who can
    // take the free slot, so its uploads come last.
    for (int k = 0; k < kPerUser; ++k) {
        for (int u = 0; u < kUsers; ++u)
            Enqueue(transfers, UserName(u), files[size_t(k * kUsers + u)], SharedName(u));
    }
    // Even users are there; all of them but the last hold an upload already. No slot is free
    // until all are in place.
    Settings::SetNumber(SettingKeys::UploadSlots, 0);
    const int freeUser = kUsers - 2;
    int busy = 0;
    for (int u = 0; u < kUsers; u += 2) {
        ItemPtr user = ServerStore::User(UserName(u));
        ServerStore::SetFlag(user, ServerTypes::IsOnline);
        if (u == freeUser)
            continue;
        ItemPtr active = d.GetType(UploadEntry)->NewItem();
        active += user;
        active += d.GetType(UploadEntryStatus)->GetItem(Value(TransferStatus::Uploading));
        ++busy;
    }
    Settings::SetNumber(SettingKeys::UploadSlots, busy + 1);

    // The baseline: the same pairs, shuffled, sorted by order.
    std::vector<std::pair<qint64, Item*>> pairs;
    for (Item* entry :
         ItemPtr(d.GetType(UploadEntryStatus)->HasItem(Value("queued"))).GetItems(UploadEntry))
        pairs.emplace_back(ItemPtr(entry)[EffectiveUploadOrder].AsInt64(), entry);
    std::mt19937 random(7);
    std::vector<std::pair<qint64, Item*>> work;
    const qint64 sortNs = MedianNs(
        [&] {
            work = pairs;
            std::shuffle(work.begin(), work.end(), random);
        },
        [&] { std::sort(work.begin(), work.end()); });

    // The pass starts the free user's first upload; between runs it goes back to the queue.
    ItemPtr freeUserItem = ServerStore::User(UserName(freeUser));
    auto startedUpload = [&] {
        for (Item* entry : freeUserItem.GetItems(UploadEntry)) {
            if (ItemPtr(entry)[UploadEntryStatus].AsString() == TransferStatus::Requesting)
                return ItemPtr(entry);
        }
        return ItemPtr();
    };
    int starts = 0;
    const qint64 startNs = MedianNs(
        [&] {
            if (ItemPtr started = startedUpload())
                transfers.SetUploadEntryStatus(started, TransferStatus::Queued);
        },
        [&] {
            transfers.StartNewUploads();
            starts += startedUpload() ? 1 : 0;
        });
    if (starts != kRuns)
        std::printf("the free slot was taken in %d of %d passes!\n", starts, kRuns);

    // A privileged user's request goes before all 5,000, which are numbered anew. Between
    // runs the request goes and the order is determined afresh (from 0), so that every run
    // changes every number.
    ItemPtr vip = ServerStore::User("vip");
    ServerStore::SetFlag(vip, ServerTypes::IsPrivileged);
    ItemPtr request;
    const qint64 orderNs = MedianNs(
        [&] {
            if (request)
                transfers.RemoveUpload(request);
            transfers.DetermineUploadsEffectiveOrder();
            request = d.GetType(UploadEntry)->NewItem();
            request += vip;
            request += files.front();
            request += d.GetType(UploadOrder)
                           ->GetItem(Value(Settings::Int64(SettingKeys::TransferOrderCounter)));
        },
        [&] { transfers.OrderNewUpload(request); });
    if (request[EffectiveUploadOrder].AsInt() != 1)
        std::printf("the privileged request was not placed first!\n");

    std::printf("%d queued uploads from %d users, %d of them there and busy, 1 slot free\n",
                int(pairs.size()), kUsers, busy);
    Report("StartNewUploads, one pass", startNs, sortNs, 4);
    Report("OrderNewUpload renumbering all", orderNs, sortNs, 10);

    // The flood starts from an empty queue with one slot free.
    for (Item* entry : g(UploadEntry))
        transfers.RemoveUpload(entry);
    Settings::SetNumber(SettingKeys::UploadSlots, 1);
    const qint64 emptyNs = FloodMedianNs(transfers, 0, kFloodRequests);
    const int full = kFloodUsers * kFloodFiles;
    for (int i = kFloodRequests; i < full - kFloodRequests; ++i)
        Enqueue(transfers, "flood" + std::to_string(i % kFloodUsers),
                files[size_t(i / kFloodUsers)], SharedName(i / kFloodUsers));
    const qint64 fullNs = FloodMedianNs(transfers, full - kFloodRequests, kFloodRequests);
    const int queued = transfers.QueuedUploadCount();
    if (queued != full)
        std::printf("the flood queued %d, not %d!\n", queued, full);
    std::printf("flood of %d requests from %d users who are not there, 1 slot free\n", queued,
                kFloodUsers);
    Report("a request into 99,000 queued", fullNs, emptyNs, 2);
    return 0;
}

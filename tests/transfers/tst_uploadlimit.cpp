// The upload speed limit: in the engine, the settings its setters write, the split of the cap
// over the uploads that hold a slot, what switching it off and on does to the shared pool, the
// fresh rate measurement of the active uploads; and, in fake time, the throttle step every
// upload thread runs before a block: pacing, the cap held however late sleeps return, the pool
// and its bound, a limit switched on mid-upload, a stop request during a sleep.

#include "TransferTestEnv.h"

#include "transfers/UploadThrottle.h"

#include <functional>
#include <vector>

using namespace TransfersTypes;

namespace {

constexpr qint64 kBlock = 8192;
constexpr qint64 kMs = 1000 * 1000;
constexpr qint64 kSecond = 1000 * kMs;

ItemPtr Upload(const std::string& user, const char* status)
{
    ItemPtr entry = d.GetType(UploadEntry)->NewItem();
    entry += ServerStore::User(user);
    entry += d.GetType(UploadEntryStatus)->GetItem(Value(status));
    return entry;
}

// Time that moves only when the throttle sleeps (or the test says so); a sleep may return late
// by what lateness gives for it.
class FakeClock : public ThrottleClock
{
public:
    qint64 NowNs() override { return now; }
    void SleepNs(qint64 ns) override
    {
        slices.push_back(ns);
        slept += ns;
        now += ns + (lateness ? lateness(ns) : 0);
        if (onSleep)
            onSleep();
    }

    qint64 now = 1000 * kSecond;
    qint64 slept = 0;
    std::vector<qint64> slices;
    std::function<qint64(qint64)> lateness;
    std::function<void()> onSleep;
};

// One thread's blocks, sent instantly; the fake time they took, up to the moment the last one
// is paid for.
qint64 SendBlocks(UploadThrottle& throttle, FakeClock& clock, int blocks)
{
    const qint64 start = clock.now;
    for (int i = 0; i < blocks; ++i) {
        throttle.BeforeBlock({});
        throttle.Sent(kBlock);
    }
    throttle.BeforeBlock({});
    return clock.now - start;
}

} // namespace

class tst_UploadLimit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void split_data();
    void split();
    void offKeepsThePoolOnAndChangesEmptyIt_data();
    void offKeepsThePoolOnAndChangesEmptyIt();
    void settingsAndTheLoad();

    void oneBlockSleepsItsTimeToTheMicrosecond();
    void holdsTheCap_data();
    void holdsTheCap();
    void poolHoldsAtMostOneSecondOfTheTotal();
    void slowPeerFeedsThePoolOthersSleepLess();
    void limitSwitchedOnMidUploadStartsFromNothingOwed();
    void stopDuringASleep();
};

void tst_UploadLimit::split_data()
{
    QTest::addColumn<int>("cap");
    QTest::addColumn<QStringList>("statuses");
    QTest::addColumn<int>("share");
    QTest::newRow("5 over 10: 1 each, not 0") << 5 << QStringList(10, "uploading") << 1;
    QTest::newRow("10 over 3: 3 each") << 10 << QStringList(3, "uploading") << 3;
    // An upload still asking its peer holds a slot, and so a share.
    QTest::newRow("requesting lowers the share of uploading")
        << 10 << QStringList{"uploading", "requesting"} << 5;
    QTest::newRow("every active status counts")
        << 12 << QStringList{"uploading", "requesting", "connecting", "waiting for offset"} << 3;
    QTest::newRow("the others do not")
        << 12 << QStringList{"uploading", "queued", "complete", "aborted", "denied", "local error"}
        << 12;
    QTest::newRow("no upload at all") << 12 << QStringList() << 12;
}

void tst_UploadLimit::split()
{
    QFETCH(int, cap);
    QFETCH(QStringList, statuses);
    QFETCH(int, share);
    TransferTestEnv env;
    const QDateTime longAgo = Clock::Now().addSecs(-3600);
    std::vector<ItemPtr> uploads;
    for (const QString& status : statuses) {
        uploads.push_back(Upload("user" + std::to_string(uploads.size()), qPrintable(status)));
        TransferQueueManager::AttachObject(uploads.back(), LastSpeedMeasurementTime,
                                           new QDateTime(longAgo));
        TransferQueueManager::AttachObject(uploads.back(), BytesSinceLastReceipt, new qint64(9));
    }
    env.transfers().EnableUploadSpeedLimit(true);
    env.transfers().SetUploadSpeedLimit(cap);
    QCOMPARE(env.transfers().GetUploadSpeed(), cap);
    QCOMPARE(env.transfers().uploadLimits().PerUploadLimit(), share);
    // Under the new share the active uploads measure their rates afresh.
    for (ItemPtr u : uploads) {
        const bool active = u[UploadEntryStatus].IsConnected(IsActive);
        QCOMPARE(*u[LastSpeedMeasurementTime].AsPointer<QDateTime>() != longAgo, active);
        QCOMPARE(*u[BytesSinceLastReceipt].AsPointer<qint64>(), active ? 0 : 9);
    }
}

void tst_UploadLimit::offKeepsThePoolOnAndChangesEmptyIt_data()
{
    QTest::addColumn<int>("cap"); // the value set, or -1 to switch the limit off instead
    QTest::addColumn<int>("inForce");
    QTest::addColumn<bool>("emptied");
    QTest::newRow("switched off") << -1 << 0 << false;
    QTest::newRow("set to 0") << 0 << 0 << false;
    QTest::newRow("set below 0") << -5 << 0 << false;
    QTest::newRow("changed") << 200 << 200 << true;
    QTest::newRow("set again to the same") << 100 << 100 << true;
}

void tst_UploadLimit::offKeepsThePoolOnAndChangesEmptyIt()
{
    QFETCH(int, cap);
    QFETCH(int, inForce);
    QFETCH(bool, emptied);
    TransferTestEnv env;
    TransferQueueManager& t = env.transfers();
    Upload("bob", TransferStatus::Uploading);
    t.SetUploadSpeedLimit(100);
    t.EnableUploadSpeedLimit(true);
    t.uploadLimits().AddToPool(5000);

    if (cap == -1)
        t.EnableUploadSpeedLimit(false);
    else
        t.SetUploadSpeedLimit(cap);
    QCOMPARE(t.GetUploadSpeed(), inForce);
    QCOMPARE(t.uploadLimits().PerUploadLimit(), inForce);
    QCOMPARE(t.uploadLimits().SurplusPool(), emptied ? qint64(0) : qint64(5000));
    // Switched on again, the pool starts from nothing.
    t.SetUploadSpeedLimit(100);
    t.EnableUploadSpeedLimit(true);
    QCOMPARE(t.uploadLimits().SurplusPool(), qint64(0));
}

void tst_UploadLimit::settingsAndTheLoad()
{
    auto env = std::make_unique<TransferTestEnv>();
    env->transfers().SetUploadSpeedLimit(64);
    QCOMPARE(Settings::Text(SettingKeys::UploadSpeedLimit), std::string("64"));
    QCOMPARE(Settings::Text(SettingKeys::UploadSpeedLimitEnabled), std::string("no"));
    QCOMPARE(env->transfers().GetUploadSpeed(), 0);
    env->transfers().EnableUploadSpeedLimit(true);
    QCOMPARE(Settings::Text(SettingKeys::UploadSpeedLimitEnabled), std::string("yes"));
    QCOMPARE(env->transfers().GetUploadSpeed(), 64);

    // Saved settings take effect once the store is loaded, not before.
    env.reset();
    env = std::make_unique<TransferTestEnv>();
    Settings::SetNumber(SettingKeys::UploadSpeedLimit, 30);
    Settings::SetYes(SettingKeys::UploadSpeedLimitEnabled, true);
    Upload("bob", TransferStatus::Uploading);
    Upload("carol", TransferStatus::Connecting);
    QCOMPARE(env->transfers().GetUploadSpeed(), 0);
    env->transfers().DataLoaded();
    QCOMPARE(env->transfers().GetUploadSpeed(), 30);
    QCOMPARE(env->transfers().uploadLimits().PerUploadLimit(), 15);
}

void tst_UploadLimit::oneBlockSleepsItsTimeToTheMicrosecond()
{
    // In whole milliseconds 8192 / 10000 is 0: no sleep, and no limit at all.
    UploadSpeedLimits limits;
    limits.Apply(10000, 1);
    FakeClock clock;
    UploadThrottle throttle(limits, clock);
    throttle.Begin();
    QCOMPARE(throttle.BeforeBlock({}), UploadThrottle::Step::Go);
    throttle.Sent(kBlock);
    QCOMPARE(throttle.BeforeBlock({}), UploadThrottle::Step::Go);
    QCOMPARE(clock.slept / 1000, qint64(819));
}

void tst_UploadLimit::holdsTheCap_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<qint64>("late");
    QTest::addColumn<int>("blocks");
    // One second of the cap, sent instantly; whole-millisecond pacing takes 0.75 s for it.
    QTest::newRow("3000 KiB/s") << 3000 << qint64(0) << 375;
    QTest::newRow("4096 KiB/s, sleeps 80 us late") << 4096 << 80 * qint64(1000) << 512;
    QTest::newRow("8193 KiB/s, sleeps 50 us late") << 8193 << 50 * qint64(1000) << 8193 / 8;
    QTest::newRow("1 KiB/s") << 1 << qint64(0) << 5;
    QTest::newRow("100 KiB/s, sleeps 3 ms late") << 100 << 3 * kMs << 100;
    QTest::newRow("50000 KiB/s, sleeps 1 ms late") << 50000 << kMs << 6250;
}

void tst_UploadLimit::holdsTheCap()
{
    QFETCH(int, limit);
    QFETCH(qint64, late);
    QFETCH(int, blocks);
    UploadSpeedLimits limits;
    limits.Apply(limit, 1);
    FakeClock clock;
    clock.lateness = [late](qint64) { return late; };
    UploadThrottle throttle(limits, clock);
    throttle.Begin();
    const qint64 took = SendBlocks(throttle, clock, blocks);
    // The cap's own time for those bytes, and no less: a late sleep must not add to the rate.
    const double expected = double(blocks) * kBlock * kSecond / (limit * 1024.0);
    QVERIFY2(took >= expected * 0.99 && took <= expected * 1.01 + late,
             qPrintable(QStringLiteral("%1 ns for %2 ns").arg(took).arg(expected)));
}

void tst_UploadLimit::poolHoldsAtMostOneSecondOfTheTotal()
{
    // Four uploads whose peers read slowly bank what they do not use.
    UploadSpeedLimits limits;
    limits.Apply(400, 4);
    FakeClock clock;
    std::vector<std::unique_ptr<UploadThrottle>> slow;
    for (int i = 0; i < 4; ++i) {
        slow.push_back(std::make_unique<UploadThrottle>(limits, clock));
        slow.back()->Begin();
    }
    for (int round = 0; round < 20; ++round) {
        for (auto& t : slow) {
            t->Sent(kBlock);
            clock.now += 2 * kSecond;
            t->BeforeBlock({});
            QVERIFY(limits.SurplusPool() <= 400 * 1024);
        }
    }
    QCOMPARE(limits.SurplusPool(), qint64(400 * 1024));
    // One that then speeds up runs ahead on the bank for one second of the total, no more.
    UploadThrottle fast(limits, clock);
    fast.Begin();
    const qint64 took = SendBlocks(fast, clock, 200);
    const double paced = (200.0 * kBlock - 400 * 1024) * kSecond / (100 * 1024.0);
    QVERIFY2(took >= paced * 0.99, qPrintable(QStringLiteral("%1 ns").arg(took)));
}

void tst_UploadLimit::slowPeerFeedsThePoolOthersSleepLess()
{
    UploadSpeedLimits limits;
    limits.Apply(40, 2);
    FakeClock clock;
    UploadThrottle slow(limits, clock);
    slow.Begin();
    // A block at 20 KiB/s: 0.41 s of debt, slept for; the peer took a second more to read it,
    // a second of allowance it did not use.
    slow.Sent(kBlock);
    clock.now += kSecond;
    slow.BeforeBlock({});
    QCOMPARE(clock.slept, kBlock * kMs / 20);
    const qint64 banked = 20 * 1024 * (kSecond + kBlock * kMs / 20) / kSecond - kBlock;
    QCOMPARE(limits.SurplusPool(), banked);

    UploadThrottle owing(limits, clock);
    owing.Begin();
    const qint64 before = clock.slept;
    owing.Sent(kBlock);
    owing.BeforeBlock({});
    QCOMPARE(clock.slept, before);
    QCOMPARE(limits.SurplusPool(), banked - kBlock);
    // Only what the pool could not pay is slept for.
    owing.Sent(2 * kBlock);
    owing.BeforeBlock({});
    QCOMPARE(clock.slept - before, (2 * kBlock - (banked - kBlock)) * kMs / 20);
}

void tst_UploadLimit::limitSwitchedOnMidUploadStartsFromNothingOwed()
{
    // Without a limit nothing is paced.
    UploadSpeedLimits limits;
    FakeClock clock;
    UploadThrottle throttle(limits, clock);
    throttle.Begin();
    for (int i = 0; i < 100; ++i) {
        QCOMPARE(throttle.BeforeBlock({}), UploadThrottle::Step::Go);
        throttle.Sent(kBlock);
        clock.now += kMs;
    }
    QCOMPARE(clock.slept, qint64(0));
    limits.Apply(10, 1);
    QCOMPARE(throttle.BeforeBlock({}), UploadThrottle::Step::ShareChanged);
    QCOMPARE(clock.slept, qint64(0));
    QCOMPARE(limits.SurplusPool(), qint64(0));
    // From here on, paced: one block at 10 KiB/s.
    throttle.Sent(kBlock);
    QCOMPARE(throttle.BeforeBlock({}), UploadThrottle::Step::Go);
    QCOMPARE(clock.slept, kBlock * kMs / 10);
    // A new share restarts the rate; what was sent is paid for at the new share.
    limits.Apply(10, 2);
    throttle.Sent(kBlock);
    QCOMPARE(throttle.BeforeBlock({}), UploadThrottle::Step::ShareChanged);
    QVERIFY(clock.slept >= kBlock * kMs / 10 + kBlock * kMs / 5 - kMs);
}

void tst_UploadLimit::stopDuringASleep()
{
    // One block at 1 KiB/s is owed for 8.2 s: the stop comes a second in.
    UploadSpeedLimits limits;
    limits.Apply(1, 1);
    FakeClock clock;
    UploadThrottle throttle(limits, clock);
    throttle.Begin();
    throttle.BeforeBlock({});
    throttle.Sent(kBlock);
    bool stop = false;
    qint64 stoppedAt = 0;
    clock.onSleep = [&] {
        if (!stop && clock.slept >= kSecond) {
            stop = true;
            stoppedAt = clock.now;
        }
    };
    QCOMPARE(throttle.BeforeBlock([&stop] { return stop; }), UploadThrottle::Step::Stopped);
    QCOMPARE(clock.now, stoppedAt);
    for (qint64 slice : clock.slices)
        QVERIFY(slice <= 250 * kMs);
}

QTEST_GUILESS_MAIN(tst_UploadLimit)
#include "tst_uploadlimit.moc"

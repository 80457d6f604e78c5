// The throttle step that every upload thread runs before a block, in fake time: pacing a block's
// debt, holding the cap whatever the limit and however late sleeps return, the shared pool and
// its bound, a limit switched on mid-upload, and stop requests during a sleep. The split of the
// cap over the uploads is tested through the engine (tst_uploadspeedlimit).

#include "transfers/UploadThrottle.h"

#include <QTest>

#include <functional>
#include <vector>

namespace {

constexpr qint64 kBlock = 8192;
constexpr qint64 kMs = 1000 * 1000;
constexpr qint64 kSecond = 1000 * kMs;

// Time that moves only when the throttle sleeps (or the test says so). A sleep may return late,
// as real ones do, by what lateness gives for it.
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
    void Advance(qint64 ns) { now += ns; }

    qint64 now = 1000 * kSecond;
    qint64 slept = 0;
    std::vector<qint64> slices;
    std::function<qint64(qint64)> lateness;
    std::function<void()> onSleep;
};

// One thread's blocks, sent instantly; returns the fake time they took, up to the moment the
// last one is paid for.
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

class TestUploadThrottle : public QObject
{
    Q_OBJECT

private Q_SLOTS:

    void oneBlockSleepsItsTimeToTheMicrosecond();
    void holdsTheCap_data();
    void holdsTheCap();
    void poolHoldsAtMostOneSecondOfTheTotal();
    void slowPeerFeedsThePoolOthersSleepLess();
    void limitSwitchedOnMidUploadStartsFromNothingOwed();
    void noLimitNeverSleeps();
    void stopDuringASleep();
};

void TestUploadThrottle::oneBlockSleepsItsTimeToTheMicrosecond()
{
    // In whole milliseconds 8192 / 10000 is 0: no sleep, and no limit at all.
    UploadSpeedLimits limits;
    limits.Apply(10000, 1);
    FakeClock clock;
    UploadThrottle throttle(limits, clock);
    throttle.Begin();
    QCOMPARE(throttle.BeforeBlock({}), UploadThrottle::Step::Go);
    QCOMPARE(clock.slept, qint64(0));
    throttle.Sent(kBlock);
    QCOMPARE(throttle.BeforeBlock({}), UploadThrottle::Step::Go);
    QCOMPARE(clock.slept / 1000, qint64(819));
}

void TestUploadThrottle::holdsTheCap_data()
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

void TestUploadThrottle::holdsTheCap()
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

void TestUploadThrottle::poolHoldsAtMostOneSecondOfTheTotal()
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
            clock.Advance(2 * kSecond);
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

void TestUploadThrottle::slowPeerFeedsThePoolOthersSleepLess()
{
    UploadSpeedLimits limits;
    limits.Apply(40, 2);
    FakeClock clock;
    UploadThrottle slow(limits, clock);
    slow.Begin();

    // A block at 20 KiB/s: 0.41 s of debt, slept for; the peer took a second more to read it,
    // a second of allowance it did not use.
    slow.Sent(kBlock);
    clock.Advance(kSecond);
    slow.BeforeBlock({});
    const qint64 step = kSecond + kBlock * kMs / 20;
    QCOMPARE(clock.slept, kBlock * kMs / 20);
    const qint64 banked = 20 * 1024 * step / kSecond - kBlock;
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

void TestUploadThrottle::limitSwitchedOnMidUploadStartsFromNothingOwed()
{
    UploadSpeedLimits limits;
    FakeClock clock;
    UploadThrottle throttle(limits, clock);
    throttle.Begin();
    for (int i = 0; i < 100; ++i) {
        QCOMPARE(throttle.BeforeBlock({}), UploadThrottle::Step::Go);
        throttle.Sent(kBlock);
        clock.Advance(kMs);
    }
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

void TestUploadThrottle::noLimitNeverSleeps()
{
    UploadSpeedLimits limits;
    limits.Apply(0, 1);
    limits.Disable();
    FakeClock clock;
    UploadThrottle throttle(limits, clock);
    throttle.Begin();
    SendBlocks(throttle, clock, 1000);
    QCOMPARE(clock.slept, qint64(0));
}

void TestUploadThrottle::stopDuringASleep()
{
    // One block at 1 KiB/s is owed for 8.2 s.
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
    QVERIFY(stop);
    QCOMPARE(clock.now, stoppedAt);
    for (qint64 slice : clock.slices)
        QVERIFY(slice <= 250 * kMs);
}

QTEST_APPLESS_MAIN(TestUploadThrottle)
#include "tst_uploadthrottle.moc"

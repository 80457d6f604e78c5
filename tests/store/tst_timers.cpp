#include "store/Clock.h"
#include "store/DelayedInvoker.h"
#include "store/TimerManager.h"

#include <QSignalSpy>
#include <QtTest>

#include <new>

namespace {

// Every call of a target's slots, by target name, so calls on deleted targets would show too.
QStringList g_calls;
bool g_turnMarked = false;

class Target : public QObject
{
    Q_OBJECT

public:
    explicit Target(QString name) : m_name(std::move(name)) {}

    bool reinvoke = false;
    // Each call notes, once per turn of the event loop, where the turn ends.
    bool markTurns = false;

public Q_SLOTS:
    void Sort()
    {
        g_calls << m_name + ".Sort";
        if (markTurns && !g_turnMarked) {
            g_turnMarked = true;
            QMetaObject::invokeMethod(
                qApp,
                [] {
                    g_calls << "turn";
                    g_turnMarked = false;
                },
                Qt::QueuedConnection);
        }
        if (reinvoke) {
            reinvoke = false;
            delayedInvoker->Invoke(this, &Target::Sort, 5000);
        }
    }
    void Refresh() { g_calls << m_name + ".Refresh"; }

private:
    QString m_name;
};

class DerivedTarget : public Target
{
    Q_OBJECT

public:
    using Target::Target;
};

// Two interfaces whose one slot sits at the same place in each one's own table: only the
// target's layout tells the two slots apart.
class Sorter
{
public:
    virtual ~Sorter() = default;
    virtual void SortLater() { g_calls << "SortLater"; }
};

class Poller
{
public:
    virtual ~Poller() = default;
    virtual void PollLater() { g_calls << "PollLater"; }
};

class MultiTarget : public QObject, public Sorter, public Poller
{
    Q_OBJECT
};

} // namespace

class tst_Timers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        g_calls.clear();
        Clock::Reset();
    }
    void cleanup() { Clock::Reset(); }

    void timerManagerSchedules();
    void timerTicksCanBeFired();
    void repeatsCoalesceIntoOneCall();
    void realTimerCallsOnce();
    void targetsAndSlotsAreIndependent();
    void invokeFromInsideTheSlot();
    void destroyedTargetIsNeverCalled();
    void newObjectAtSameAddressIsNotBlocked();
    void deletingInvokerDropsPendingCalls();
    void callsDueTogetherRunInOneTurn_data();
    void callsDueTogetherRunInOneTurn();
};

void tst_Timers::timerManagerSchedules()
{
    QVERIFY(!timerManager);
    {
        TimerManager timers;
        QCOMPARE(timerManager, &timers);
        QCOMPARE(timers.everyHalfMinute()->interval(), 30000);
        QCOMPARE(timers.everyFiveMinutes()->interval(), 300000);
        QCOMPARE(timers.everyHour()->interval(), 3600000);
        QVERIFY(timers.everyHalfMinute()->isActive());
        QVERIFY(timers.everyFiveMinutes()->isActive());
        QVERIFY(timers.everyHour()->isActive());

        // Started, but the first tick is a whole interval away.
        QSignalSpy five(timers.everyFiveMinutes(), &SharedTimer::timeout);
        QCoreApplication::processEvents();
        QCOMPARE(five.count(), 0);
    }
    QVERIFY(!timerManager);
}

void tst_Timers::timerTicksCanBeFired()
{
    TimerManager timers;
    QSignalSpy half(timers.everyHalfMinute(), &SharedTimer::timeout);
    QSignalSpy five(timers.everyFiveMinutes(), &SharedTimer::timeout);
    QSignalSpy hour(timers.everyHour(), &SharedTimer::timeout);
    int ticks = 0;
    QObject::connect(timers.everyHalfMinute(), &SharedTimer::timeout, [&ticks] { ++ticks; });

    timers.everyHalfMinute()->Fire();
    timers.everyHalfMinute()->Fire();
    timers.everyHour()->Fire();
    QCOMPARE(half.count(), 2);
    QCOMPARE(ticks, 2);
    QCOMPARE(five.count(), 0);
    QCOMPARE(hour.count(), 1);
    // Firing by hand leaves the real schedule running.
    QVERIFY(timers.everyHalfMinute()->isActive());
}

void tst_Timers::repeatsCoalesceIntoOneCall()
{
    DelayedInvoker invoker;
    Target target("t");

    const qint64 before = Clock::MonotonicMs();
    invoker.Invoke(&target, &Target::Sort, 5000);
    const qint64 after = Clock::MonotonicMs();
    // Two more requests, one and two seconds later, within the delay.
    Clock::Shift(1);
    invoker.Invoke(&target, &Target::Sort, 5000);
    Clock::Shift(1);
    invoker.Invoke(&target, &Target::Sort, 5000);

    QCOMPARE(invoker.PendingCount(), 1);
    // Still due one delay after the first request: the repeats did not restart it.
    const qint64 due = invoker.PendingDeadline(&target, &Target::Sort);
    QVERIFY(due >= before + 5000 && due <= after + 5000);

    QVERIFY(g_calls.isEmpty());
    invoker.FirePendingNow();
    QCOMPARE(g_calls, QStringList{"t.Sort"});
    QCOMPARE(invoker.PendingCount(), 0);
    QCOMPARE(invoker.PendingDeadline(&target, &Target::Sort), qint64(-1));

    invoker.FirePendingNow();
    QCoreApplication::processEvents();
    QCOMPARE(g_calls, QStringList{"t.Sort"});
}

void tst_Timers::realTimerCallsOnce()
{
    DelayedInvoker invoker;
    QCOMPARE(delayedInvoker, &invoker);
    Target target("t");
    invoker.Invoke(&target, &Target::Sort, 1);
    invoker.Invoke(&target, &Target::Sort, 1);
    QTRY_COMPARE(g_calls.size(), 1);
    QCOMPARE(invoker.PendingCount(), 0);
    // Let any stray second timer fire if there were one.
    QTest::qWait(20);
    QCOMPARE(g_calls, QStringList{"t.Sort"});
}

void tst_Timers::targetsAndSlotsAreIndependent()
{
    DelayedInvoker invoker;
    Target a("a");
    DerivedTarget b("b");
    invoker.Invoke(&a, &Target::Sort, 5000);
    invoker.Invoke(&b, &Target::Sort, 5000);
    invoker.Invoke(&a, &Target::Refresh, 5000);
    invoker.Invoke(&b, &DerivedTarget::Sort, 5000);
    QCOMPARE(invoker.PendingCount(), 3);
    invoker.FirePendingNow();
    g_calls.sort();
    QCOMPARE(g_calls, (QStringList{"a.Refresh", "a.Sort", "b.Sort"}));

    g_calls.clear();
    MultiTarget multi;
    invoker.Invoke(&multi, &Sorter::SortLater, 5000);
    invoker.Invoke(&multi, &Poller::PollLater, 5000);
    invoker.Invoke(&multi, &MultiTarget::SortLater, 5000);
    QCOMPARE(invoker.PendingCount(), 2);
    invoker.FirePendingNow();
    g_calls.sort();
    QCOMPARE(g_calls, (QStringList{"PollLater", "SortLater"}));
}

void tst_Timers::invokeFromInsideTheSlot()
{
    DelayedInvoker invoker;
    Target target("t");
    target.reinvoke = true;
    invoker.Invoke(&target, &Target::Sort, 5000);
    invoker.FirePendingNow();
    QCOMPARE(g_calls, QStringList{"t.Sort"});
    // The slot's own request is a fresh one.
    QCOMPARE(invoker.PendingCount(), 1);
    invoker.FirePendingNow();
    QCOMPARE(g_calls, (QStringList{"t.Sort", "t.Sort"}));
    QCOMPARE(invoker.PendingCount(), 0);
}

void tst_Timers::destroyedTargetIsNeverCalled()
{
    DelayedInvoker invoker;
    auto* doomed = new Target("doomed");
    Target other("other");
    invoker.Invoke(doomed, &Target::Sort, 1);
    invoker.Invoke(doomed, &Target::Refresh, 1);
    invoker.Invoke(&other, &Target::Sort, 1);
    delete doomed;
    QCOMPARE(invoker.PendingCount(), 1);
    QTRY_COMPARE(g_calls, QStringList{"other.Sort"});
    QTest::qWait(20);
    QCOMPARE(g_calls, QStringList{"other.Sort"});
}

void tst_Timers::newObjectAtSameAddressIsNotBlocked()
{
    DelayedInvoker invoker;
    // Two objects at one address, one after the other.
    alignas(Target) unsigned char storage[sizeof(Target)];
    auto* first = new (storage) Target("first");
    invoker.Invoke(first, &Target::Sort, 5000);
    first->~Target();

    auto* second = new (storage) Target("second");
    QCOMPARE(static_cast<void*>(second), static_cast<void*>(first));
    invoker.Invoke(second, &Target::Sort, 5000);
    QCOMPARE(invoker.PendingCount(), 1);
    invoker.FirePendingNow();
    QCOMPARE(g_calls, QStringList{"second.Sort"});
    second->~Target();
}

void tst_Timers::callsDueTogetherRunInOneTurn_data()
{
    QTest::addColumn<int>("aMs"); // a is asked for first
    QTest::addColumn<int>("bMs");
    QTest::addColumn<QStringList>("calls");
    const QStringList together{"a.Sort", "b.Sort", "turn"};
    QTest::newRow("same delay") << 30 << 30 << together;
    QTest::newRow("due within the window")
        << 30 << 30 + DelayedInvoker::kTogetherMs - 5 << together;
    QTest::newRow("asked later, due first") << 45 << 30 << QStringList{"b.Sort", "a.Sort", "turn"};
    QTest::newRow("apart") << 30 << 250 << QStringList{"a.Sort", "turn", "b.Sort", "turn"};
}

void tst_Timers::callsDueTogetherRunInOneTurn()
{
    QFETCH(int, aMs);
    QFETCH(int, bMs);
    QFETCH(QStringList, calls);
    g_turnMarked = false;
    DelayedInvoker invoker;
    Target a("a");
    Target b("b");
    a.markTurns = b.markTurns = true;
    invoker.Invoke(&a, &Target::Sort, aMs);
    invoker.Invoke(&b, &Target::Sort, bMs);
    QTRY_COMPARE(g_calls, calls);
    QCOMPARE(invoker.PendingCount(), 0);
}

void tst_Timers::deletingInvokerDropsPendingCalls()
{
    Target target("t");
    {
        DelayedInvoker invoker;
        invoker.Invoke(&target, &Target::Sort, 1);
    }
    QVERIFY(!delayedInvoker);
    QTest::qWait(20);
    QVERIFY(g_calls.isEmpty());
    // The target outlives the invoker without a dangling watch.
}

QTEST_GUILESS_MAIN(tst_Timers)
#include "tst_timers.moc"

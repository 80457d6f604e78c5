#include "store/Clock.h"
#include "store/SlicedJob.h"
#include "store/TurnBudget.h"
#include "store/WorkerThread.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

class tst_LongWork : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void jobsShareTheTurn_data();
    void jobsShareTheTurn();
    void passesShareATurn_data();
    void passesShareATurn();
    void jobCalls();
    void workerHandsBack();
};

namespace {

// Steps of a job, each moving the held clock on by stepMs and noting how far into its turn it
// began.
struct TimedJob
{
    TimedJob(int steps, qint64 stepMs)
        : job([this, steps, stepMs] {
              began.push_back(int(TurnBudget::ElapsedMs()));
              Clock::AdvanceMs(stepMs);
              return int(began.size()) < steps;
          })
    {
    }
    std::vector<int> began;
    SlicedJob job;
};

} // namespace

void tst_LongWork::cleanup()
{
    Clock::Reset();
    TurnBudget::SetStepsPerSliceForTesting(0);
}

void tst_LongWork::jobsShareTheTurn_data()
{
    QTest::addColumn<int>("stepMs");
    QTest::addColumn<int>("knob");
    QTest::addColumn<std::vector<int>>("first");
    QTest::addColumn<std::vector<int>>("second");

    // Steps of a fourth of the turn, rounded up: four of them spend it.
    constexpr int kStep = int(TurnBudget::kTurnMs + 3) / 4;
    static_assert(3 * kStep < TurnBudget::kTurnMs && 4 * kStep >= TurnBudget::kTurnMs);
    constexpr int kOver = int(TurnBudget::kTurnMs) + 5;
    // The second job's first slice finds the turn spent and takes its one step; from then on
    // each turn holds the first job's rest and what is left of the budget for the second.
    QTest::newRow("quarter-turn steps")
        << kStep << 0 << std::vector<int>{0, kStep, 2 * kStep, 3 * kStep, 0, kStep}
        << std::vector<int>{4 * kStep, 2 * kStep, 3 * kStep, 0, kStep, 2 * kStep};
    QTest::newRow("steps over the budget")
        << kOver << 0 << std::vector<int>{0, 0, 0} << std::vector<int>{kOver, kOver, kOver};
    QTest::newRow("two steps a slice")
        << kStep << 2 << std::vector<int>{0, kStep, 0, kStep, 0, kStep}
        << std::vector<int>{2 * kStep, 3 * kStep, 2 * kStep, 3 * kStep};
    // The knob alone cuts the slices, however late the turn.
    QTest::newRow("two steps a slice, each over the budget")
        << kOver << 2 << std::vector<int>{0, kOver, 0, kOver}
        << std::vector<int>{2 * kOver, 3 * kOver, 2 * kOver, 3 * kOver};
}

void tst_LongWork::jobsShareTheTurn()
{
    QFETCH(int, stepMs);
    QFETCH(int, knob);
    QFETCH(std::vector<int>, first);
    QFETCH(std::vector<int>, second);

    Clock::Hold(QDateTime(QDate(2026, 1, 1), QTime(12, 0)));
    const TurnBudget::StepsForTesting steps(knob);
    TimedJob a(int(first.size()), stepMs);
    TimedJob b(int(second.size()), stepMs);
    a.job.Start();
    b.job.Start();
    QVERIFY(a.began.empty() && b.job.IsBusy());
    // Turns of a running loop, as the program's.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!a.job.IsBusy() && !b.job.IsBusy())
            loop.quit();
    });
    poll.start(1);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    QCOMPARE(a.began, first);
    QCOMPARE(b.began, second);
}

void tst_LongWork::passesShareATurn_data()
{
    QTest::addColumn<bool>("glib");
    QTest::addColumn<QString>("passes");
    QTest::addColumn<int>("start");

    // What the loop delivers, at what time: "e" an event, "t" a timer's event, "s" sliced work,
    // "|" the end of a pass. start: when the turn of the last event began.
    QTest::newRow("glib: a sliced pass without timers and the next") << true << "e0 s |25 e25" << 0;
    QTest::newRow("another dispatcher") << false << "e0 s |25 e25" << 25;
    QTest::newRow("a timer fired in the sliced pass") << true << "e0 s t10 |25 e25" << 25;
    QTest::newRow("a pass without sliced work") << true << "e0 |25 e25" << 25;
    QTest::newRow("two passes at most") << true << "e0 s |25 e25 s |30 e30" << 30;
    QTest::newRow("the loop waited in between") << true << "e0 s |25 e40" << 40;
    QTest::newRow("an end without events between") << true << "e0 s |25 |25 e26" << 0;
}

void tst_LongWork::passesShareATurn()
{
    QFETCH(bool, glib);
    QFETCH(QString, passes);
    QFETCH(int, start);

    TurnClock clock(glib);
    for (const QString& token : passes.split(QLatin1Char(' '))) {
        const qint64 at = token.mid(1).toLongLong();
        switch (token.at(0).toLatin1()) {
        case 'e':
        case 't':
            clock.Delivered(token.at(0) == QLatin1Char('t'), at);
            break;
        case 's':
            clock.Sliced();
            break;
        default:
            clock.PassEnded(at);
        }
    }
    QCOMPARE(clock.StartMs(), qint64(start));
}

void tst_LongWork::jobCalls()
{
    std::vector<QString> done;
    int left = 0;
    std::function<void()> during;
    SlicedJob job([&] {
        done.push_back(QString::number(left));
        const bool more = --left > 0;
        if (during) {
            const auto call = std::move(during);
            during = nullptr;
            call();
        }
        return more;
    });
    const TurnBudget::StepsForTesting twoSteps(2);

    // Asked for: nothing until the loop turns; then two steps a turn.
    left = 5;
    job.Start();
    job.Start();
    QVERIFY(done.empty());
    QTRY_VERIFY(!job.IsBusy());
    QCOMPARE(done, (std::vector<QString>{"5", "4", "3", "2", "1"}));

    // Run now: the first slice here; stopped, the rest never comes.
    done.clear();
    left = 5;
    job.RunNow();
    QCOMPARE(done.size(), size_t(2));
    job.Stop();
    QVERIFY(!job.IsBusy());
    QTest::qWait(20);
    QCOMPARE(done.size(), size_t(2));

    // Finished: every step here and now, the asked-for slice dropped.
    job.Start();
    job.Finish();
    QCOMPARE(done, (std::vector<QString>{"5", "4", "3", "2", "1"}));
    QVERIFY(!job.IsBusy());

    // Asked for again by its own last step (work came in meanwhile): another slice follows.
    done.clear();
    left = 1;
    during = [&] {
        left = 3;
        job.RunNow();
    };
    job.RunNow();
    QCOMPARE(done, (std::vector<QString>{"1"}));
    QVERIFY(job.IsBusy());
    QTRY_VERIFY(!job.IsBusy());
    QCOMPARE(done, (std::vector<QString>{"1", "3", "2", "1"}));

    // Stopped by its own step: nothing follows.
    done.clear();
    left = 4;
    during = [&] { job.Stop(); };
    job.RunNow();
    QCOMPARE(done, (std::vector<QString>{"4"}));
    QVERIFY(!job.IsBusy());

    // Gone with a slice asked for: the slice never runs.
    auto gone = std::make_unique<SlicedJob>([&] {
        done.push_back("gone");
        return false;
    });
    gone->Start();
    gone.reset();
    QTest::qWait(20);
    QCOMPARE(done, (std::vector<QString>{"4"}));
}

void tst_LongWork::workerHandsBack()
{
    QThread* const gui = QThread::currentThread();
    std::vector<int> results;
    bool offThread = true;
    auto worker = std::make_unique<WorkerThread>();
    const auto square = [&](int n) {
        worker->Run(
            [n, gui, &offThread](const WorkerThread::Stop&) {
                offThread = offThread && QThread::currentThread() != gui;
                return n * n;
            },
            [&results, gui](int r) {
                QCOMPARE(QThread::currentThread(), gui);
                results.push_back(r);
            });
    };

    // In the order given, on this thread, with the loop.
    for (int n = 1; n <= 4; ++n)
        square(n);
    QTRY_VERIFY(!worker->IsBusy());
    QCOMPARE(results, (std::vector<int>{1, 4, 9, 16}));
    QVERIFY(offThread);

    // Finished: handed back here and now.
    results.clear();
    square(5);
    square(6);
    worker->Finish();
    QCOMPARE(results, (std::vector<int>{25, 36}));

    // Cancelled: work under way sees its stop flag, and nothing comes back of it or the rest.
    results.clear();
    std::atomic<bool> started{false};
    const auto untilStopped = [&started](const WorkerThread::Stop& stop) {
        started = true;
        while (!stop)
            QThread::msleep(1);
        return -1;
    };
    worker->Run(untilStopped, [&results](int r) { results.push_back(r); });
    square(7);
    QTRY_VERIFY(started);
    worker->Cancel();
    square(8);
    worker->Finish();
    QCOMPARE(results, (std::vector<int>{64}));

    // One piece given up: while it waits it goes at once with what it holds, while it runs it
    // stops; nothing of either comes back, and the rest does.
    results.clear();
    started = false;
    const WorkerThread::Ticket running =
        worker->Run(untilStopped, [&results](int r) { results.push_back(r); });
    auto holding = std::make_shared<int>(11);
    const std::weak_ptr<int> held = holding;
    const WorkerThread::Ticket waiting =
        worker->Run([holding = std::move(holding)](const WorkerThread::Stop&) { return *holding; },
                    [&results](int r) { results.push_back(r); });
    square(12);
    QTRY_VERIFY(started);
    worker->Drop(waiting);
    QVERIFY(held.expired());
    worker->Drop(running);
    worker->Finish();
    QCOMPARE(results, (std::vector<int>{144}));

    // A hand-back that deletes the worker ends the hand-backs; a worker gone with work under way
    // stops it and waits for it.
    results.clear();
    square(9);
    worker->Run([](const WorkerThread::Stop&) { return 0; }, [&](int) { worker.reset(); });
    square(10);
    QTRY_VERIFY(!worker);
    QCOMPARE(results, (std::vector<int>{81}));
    worker = std::make_unique<WorkerThread>();
    started = false;
    worker->Run(
        [&started](const WorkerThread::Stop& stop) {
            started = true;
            while (!stop)
                QThread::msleep(1);
            return 0;
        },
        [&results](int r) { results.push_back(r); });
    QTRY_VERIFY(started);
    worker.reset();
    QCOMPARE(results, (std::vector<int>{81}));
}

int main(int argc, char** argv)
{
    // Every pass of this dispatcher's loop is a turn, whether a timer fired in it or not: the
    // slices the rows expect. Which passes share a turn under glib's is TurnClock's alone.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    tst_LongWork test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_longwork.moc"

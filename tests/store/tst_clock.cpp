#include "store/Clock.h"
#include "store/Random.h"

#include <QtTest>

class tst_Clock : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        Clock::Reset();
        SetRandomSource({});
    }
    void shiftMovesEveryReading();
    void agesFromStoredText();
    void agesAreNeverNegative();
    void textFollowsEverySecond_data();
    void textFollowsEverySecond();
    void randomSourceCanBeReplaced();
};

void tst_Clock::shiftMovesEveryReading()
{
    const QDateTime real = QDateTime::currentDateTime();
    const qint64 mono = Clock::MonotonicMs();
    Clock::Shift(3600);
    Clock::Shift(60);
    // Generous bounds: only the shift is under test, not how fast this line runs.
    const qint64 ahead = real.secsTo(Clock::Now());
    QVERIFY2(ahead >= 3660 && ahead < 3660 + 60, qPrintable(QString::number(ahead)));
    QVERIFY(Clock::MonotonicMs() - mono >= 3660 * 1000);
    Clock::Reset();
    QVERIFY(real.secsTo(Clock::Now()) < 60);
}

void tst_Clock::agesFromStoredText()
{
    const QString stamp = Clock::NowText();
    QCOMPARE(Clock::FromText(stamp).toString(Qt::TextDate), stamp);
    Clock::Shift(95);
    const qint64 age = Clock::SecondsSince(stamp);
    QVERIFY2(age >= 95 && age < 95 + 60, qPrintable(QString::number(age)));
}

void tst_Clock::agesAreNeverNegative()
{
    const QDateTime then = Clock::Now();
    // The wall clock goes back an hour.
    Clock::Shift(-3600);
    QCOMPARE(Clock::SecondsSince(then), 0);
    QCOMPARE(Clock::SecondsSince(QString("not a time")), 0);
    QCOMPARE(Clock::SecondsSince(QDateTime()), 0);
}

void tst_Clock::textFollowsEverySecond_data()
{
    // Moves of the held clock, each followed by a reading; the text asked for again and again
    // within a second must follow every move that reaches another second, in any direction.
    QTest::addColumn<qint64>("start");        // milliseconds since the epoch
    QTest::addColumn<QList<qint64>>("moves"); // milliseconds; negative: the wall set back
    const qint64 aSecond = 1700000000000;
    QTest::newRow("within a second, then into the next")
        << aSecond << QList<qint64>{0, 400, 599, 1, 999, 1};
    QTest::newRow("set back within the second and across it")
        << aSecond << QList<qint64>{700, -300, -401};
    QTest::newRow("minutes and a day ahead") << aSecond << QList<qint64>{61000, 86400000};
    QTest::newRow("back before 1970") << qint64(500) << QList<qint64>{-1, -999, -1, -1000};
}

void tst_Clock::textFollowsEverySecond()
{
    QFETCH(qint64, start);
    QFETCH(QList<qint64>, moves);
    Clock::Hold(QDateTime::fromMSecsSinceEpoch(start, Qt::UTC));
    for (qint64 move : moves) {
        if (move >= 0)
            Clock::AdvanceMs(move);
        else
            Clock::SetBackMs(-move);
        for (int again = 0; again < 2; ++again)
            QCOMPARE(Clock::NowText(), Clock::Now().toString(Qt::TextDate));
    }
}

void tst_Clock::randomSourceCanBeReplaced()
{
    quint32 next = 10;
    SetRandomSource([&next] { return next++; });
    QCOMPARE(RandomU32(), 10u);
    QCOMPARE(RandomU32(), 11u);
    SetRandomSource({});
    QCOMPARE(next, 12u);
    // Back on the system source: the replaced one is no longer asked.
    RandomU32();
    QCOMPARE(next, 12u);
}

QTEST_APPLESS_MAIN(tst_Clock)
#include "tst_clock.moc"

#include "store/Clock.h"
#include "store/Log.h"

#if __has_include("store/Data.h")
#include "store/Data.h"
#define QV_HAVE_ITEMPTR 1
#endif

#include <QSignalSpy>
#include <QtTest>

class TestLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Clock::Reset(); }
    void lineFormat_data();
    void lineFormat();
    void linesReachEverySubscriber();
    void itemIsAcceptedAndIgnored();
};

void TestLog::lineFormat_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("indent");
    QTest::newRow("level 0") << 0 << QString();
    QTest::newRow("event") << 1 << QString();
    QTest::newRow("detail") << 2 << QString("   ");
    QTest::newRow("sub-detail") << 3 << QString("      ");
}

void TestLog::lineFormat()
{
    QFETCH(int, level);
    QFETCH(QString, indent);

    const QDateTime when(QDate(2024, 3, 5), QTime(7, 8, 9));
    QCOMPARE(FormatLogLine(when, level, "hello"),
             "[" + when.toString(Qt::TextDate) + "] " + indent + "hello");
    // The text form is the English one, with the time to the second.
    QCOMPARE(when.toString(Qt::TextDate), QString("Tue Mar 5 07:08:09 2024"));
}

void TestLog::linesReachEverySubscriber()
{
    QSignalSpy first(LogHub::Instance(), &LogHub::LineLogged);
    QSignalSpy second(LogHub::Instance(), &LogHub::LineLogged);

    // Shift far enough that the line cannot carry the real time by accident.
    Clock::Shift(-3 * 24 * 3600);
    const QDateTime before = Clock::Now();
    Log("Server", 2, "Connecting");
    const QDateTime after = Clock::Now();

    QCOMPARE(first.count(), 1);
    QCOMPARE(second.count(), 1);
    QCOMPARE(first.at(0).at(0).toString(), QString("Server"));
    const QString line = first.at(0).at(1).toString();
    QVERIFY2(line == FormatLogLine(before, 2, "Connecting") ||
                 line == FormatLogLine(after, 2, "Connecting"),
             qPrintable(line));
    QVERIFY(line.endsWith("]    Connecting"));
}

void TestLog::itemIsAcceptedAndIgnored()
{
#ifdef QV_HAVE_ITEMPTR
    QSignalSpy spy(LogHub::Instance(), &LogHub::LineLogged);
    Log("Peers", 3, "closing", ItemPtr());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QString("Peers"));
    QVERIFY(spy.at(0).at(1).toString().endsWith("]       closing"));
#else
    QSKIP("the object store is not built yet");
#endif
}

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"

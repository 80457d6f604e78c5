#include "store/Clock.h"
#include "store/Log.h"

#if __has_include("store/Data.h")
#include "store/Data.h"
#define QV_HAVE_ITEMPTR 1
#endif

#include <QSignalSpy>
#include <QtTest>

class tst_Log : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Clock::Reset(); }
    void lineFormat_data();
    void lineFormat();
    void messageShownAsOneBoundedLine_data();
    void messageShownAsOneBoundedLine();
    void linesReachEverySubscriber();
    void itemIsAcceptedAndIgnored();
};

void tst_Log::lineFormat_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("indent");
    QTest::newRow("level 0") << 0 << QString();
    QTest::newRow("event") << 1 << QString();
    QTest::newRow("detail") << 2 << QString("   ");
    QTest::newRow("sub-detail") << 3 << QString("      ");
}

void tst_Log::lineFormat()
{
    QFETCH(int, level);
    QFETCH(QString, indent);

    const QDateTime when(QDate(2024, 3, 5), QTime(7, 8, 9));
    QCOMPARE(FormatLogLine(when, level, "hello"),
             "[" + when.toString(Qt::TextDate) + "] " + indent + "hello");
    // The text form is the English one, with the time to the second.
    QCOMPARE(when.toString(Qt::TextDate), QString("Tue Mar 5 07:08:09 2024"));
}

void tst_Log::messageShownAsOneBoundedLine_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("forged line") << QString("a\n[Sun Dec 6 11:54:08 2026] forged")
                                 << QString("a\\n[Sun Dec 6 11:54:08 2026] forged");
    QTest::newRow("carriage return") << QString("a\rb") << QString("a\\rb");
    QTest::newRow("tab") << QString("a\tb") << QString("a\\tb");
    QTest::newRow("terminal escape") << QString("a\x1b[31mb") << QString("a\\x1b[31mb");
    QTest::newRow("NUL") << QString(QChar(0)) + "b" << QString("\\x00b");
    QTest::newRow("DEL") << QString("a\x7f") << QString("a\\x7f");
    QTest::newRow("next line (C1)") << QString("a") + QChar(0x85) + "b" << QString("a\\x85b");
    QTest::newRow("line separator") << QString("a") + QChar(0x2028) + "b" << QString("a\\u2028b");
    // Everything else is data and stays as sent: markup is the views' business, and peers'
    // folders are written with backslashes.
    QTest::newRow("markup") << QString("<b>x</b> &amp;") << QString("<b>x</b> &amp;");
    QTest::newRow("peer path") << QString("music\\a\\n.mp3") << QString("music\\a\\n.mp3");
    QTest::newRow("non-ASCII") << QString::fromUtf8("Gr\xc3\xbc\xc3\x9f \xf0\x9f\x8e\xb5 \xc2\xa0")
                               << QString::fromUtf8("Gr\xc3\xbc\xc3\x9f \xf0\x9f\x8e\xb5 \xc2\xa0");

    const int cap = kMaxLogMessageLength;
    const QString full(cap, 'x');
    QTest::newRow("at the cap") << full << full;
    QTest::newRow("one over the cap")
        << full + "y" << full + QString(" [... 1 of %1 characters cut]").arg(cap + 1);
    QTest::newRow("far over the cap")
        << full + QString(100000, 'y') << full + " [... 100000 of 104096 characters cut]";
    // The cut counts the message's characters, not those of their escapes.
    QTest::newRow("escapes at the cap") << QString(cap, '\n') << QString("\\n").repeated(cap);
    QTest::newRow("escapes over the cap")
        << QString(cap + 2, '\n')
        << QString("\\n").repeated(cap) + QString(" [... 2 of %1 characters cut]").arg(cap + 2);
    // A character outside the basic plane takes two units; half of one is never kept.
    const QString note = QString::fromUtf8("\xf0\x9f\x8e\xb5");
    QTest::newRow("pair across the cap")
        << QString(cap - 1, 'x') + note
        << QString(cap - 1, 'x') + QString(" [... 2 of %1 characters cut]").arg(cap + 1);
    QTest::newRow("pair ending at the cap")
        << QString(cap - 2, 'x') + note << QString(cap - 2, 'x') + note;
}

void tst_Log::messageShownAsOneBoundedLine()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);

    const QDateTime when(QDate(2026, 12, 6), QTime(11, 54, 8));
    QCOMPARE(FormatLogLine(when, 1, message), "[" + when.toString(Qt::TextDate) + "] " + shown);
}

void tst_Log::linesReachEverySubscriber()
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

void tst_Log::itemIsAcceptedAndIgnored()
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

QTEST_GUILESS_MAIN(tst_Log)
#include "tst_log.moc"

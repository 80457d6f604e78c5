// The frame reader of the tree's connections, fed by hand the way a socket fills, and the limit
// on a frame's length on both kinds of connection.

#include "DNetTestEnv.h"

#include "store/TurnBudget.h"
#include "support/FeedDevice.h"

#include <QRegularExpression>

class tst_DNetFrames : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reader_data();
    void reader();
};

namespace {

QByteArray Depth(qint32 depth)
{
    return FakePeer::Frame(WireWriter().u8(7).i32(depth));
}

// A frame that announces length (the bytes as sent) over a body of size bytes: a depth of 6
// from a child, or a level of 6 from a candidate, padded.
QByteArray Announcing(const char* length, bool child, qsizetype size)
{
    QByteArray body = WireWriter().u8(child ? 7 : 4).i32(6);
    body.resize(size, '\0');
    return Hex(length) + body;
}

// What the frames did: the reader's lines, and the level a candidate told.
QStringList Effects(const DNetLog& log)
{
    QStringList out = log.lines.filter(
        QRegularExpression(QStringLiteral("^(Received child depth|Frame of|Error reading)")));
    for (Item* candidate : g("dnet_parent_candidate")) {
        if (ItemPtr level = ItemPtr(candidate)["dnet_candidate_level"])
            out << QString::fromStdString("candidate level " + level.AsString());
    }
    return out;
}

} // namespace

void tst_DNetFrames::reader_data()
{
    QTest::addColumn<bool>("child"); // else a candidate
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("byteByByte");
    QTest::addColumn<bool>("keeps"); // the connection
    QTest::addColumn<int>("left");   // bytes not read
    QTest::addColumn<QStringList>("effects");
    QTest::addColumn<int>("slowDepth"); // handling this depth takes a second; -1: none

    const QString depth = QStringLiteral("Received child depth %1 from carol");
    QTest::newRow("three bytes") << true << Hex("050000") << false << true << 3 << QStringList()
                                 << -1;
    QTest::newRow("length and part of the body")
        << true << Hex("05000000 07 0200") << false << true << 7 << QStringList() << -1;
    QTest::newRow("a frame in pieces, handled once")
        << true << Depth(3) << true << true << 0 << QStringList{depth.arg(3)} << -1;
    QTest::newRow("two frames together, in order")
        << true << Depth(1) + Depth(4) + Hex("0500") << false << true << 2
        << QStringList{depth.arg(1), depth.arg(4)} << -1;
    QTest::newRow("length 0") << true << Hex("00000000") + Depth(2) << false << false << 9
                              << QStringList{"Error reading message code, closing child connection"}
                              << -1;

    // Refused before anything is read or allocated.
    const QString tooLong =
        QStringLiteral("Frame of %1 bytes exceeds the limit of 1048576 bytes, closing connection");
    for (bool child : {true, false}) {
        const char* side = child ? "child" : "candidate";
        QTest::addRow("%s, 1,048,576", side)
            << child << Announcing("00001000", child, 1048576) << false << true << 0
            << QStringList{child ? depth.arg(6) : "candidate level 7"} << -1;
        QTest::addRow("%s, 1,048,577", side)
            << child << Announcing("01001000", child, 64) << false << false << 68
            << QStringList{tooLong.arg(1048577)} << -1;
        QTest::addRow("%s, negative", side)
            << child << Announcing("00000080", child, 64) << false << false << 68
            << QStringList{tooLong.arg(2147483648u)} << -1;
    }

    // A pass starts no frame once it has taken its time; the rest stays unread.
    QTest::newRow("a frame that takes its time") << true << Depth(1) + Depth(2) + Depth(3) << false
                                                 << true << 18 << QStringList{depth.arg(1)} << 1;
}

void tst_DNetFrames::reader()
{
    QFETCH(bool, child);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, byteByByte);
    QFETCH(bool, keeps);
    QFETCH(int, left);
    QFETCH(QStringList, effects);
    QFETCH(int, slowDepth);

    DNetTestEnv env;
    std::unique_ptr<FakePeer> peer;
    if (child) {
        peer = env.AddChild("carol");
    } else {
        QVERIFY(env.logIn());
        peer = env.AddCandidate("bob");
    }
    QVERIFY(peer);
    QTcpSocket* socket = DNetTestEnv::SocketOf(child ? DNetTestEnv::Child("carol")
                                                     : ItemPtr(g("dnet_parent_candidate").First()));
    const auto side = child ? DNetManager::Side::Child : DNetManager::Side::Upstream;
    // Frames are read in one pass, however slow the machine, unless the row is the time limit's.
    const TurnBudget::StepsForTesting pass(slowDepth < 0 ? TurnBudget::kAtOnceForTesting : 0);
    DNetLog log;
    // The clock moves while that depth is handled, as if the handling took that long.
    const auto slow = QObject::connect(
        LogHub::Instance(), &LogHub::LineLogged, [slowDepth](const QString&, const QString& line) {
            if (line.endsWith(QString("Received child depth %1 from carol").arg(slowDepth)))
                Clock::Shift(1);
        });
    FeedDevice feed;
    bool kept = true;
    for (qsizetype at = 0; kept && at < bytes.size();) {
        const qsizetype n = byteByByte ? 1 : bytes.size();
        feed.Feed(bytes.mid(at, n));
        at += n;
        kept = env.dnet().ReadFrames(feed, socket, side);
    }

    QObject::disconnect(slow);
    QCOMPARE(kept, keeps);
    QCOMPARE(feed.bytesAvailable(), qint64(left));
    QCOMPARE(Effects(log), effects);
    if (keeps) {
        QVERIFY(peer->IsConnected());
        return;
    }
    QVERIFY(peer->WaitForDisconnected());
    QTRY_COMPARE(DNetTestEnv::Count(child ? "dnet_child" : "dnet_parent_candidate"), size_t(0));
}

QTEST_GUILESS_MAIN(tst_DNetFrames)
#include "tst_dnetframes.moc"

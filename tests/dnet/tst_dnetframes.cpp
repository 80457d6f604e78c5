// The frame reader of the tree's connections, fed by hand the way a socket fills, and the limit
// on a frame's length on both kinds of connection.

#include "DNetTestEnv.h"

#include "support/FeedDevice.h"

namespace {

QByteArray DepthFrame(qint32 depth)
{
    return FakePeer::Frame(WireWriter().u8(7).i32(depth));
}

// The child carol, with the socket the client holds for her.
struct ChildUnderTest
{
    std::unique_ptr<FakePeer> peer;
    QTcpSocket* socket = nullptr;
};

ChildUnderTest Carol(DNetTestEnv& env)
{
    ChildUnderTest c;
    c.peer = env.AddChild("carol");
    if (c.peer)
        c.socket = DNetTestEnv::SocketOf(DNetTestEnv::Child("carol"));
    return c;
}

QStringList DepthLines(const DNetLog& log)
{
    return log.lines.filter(QStringLiteral("Received child depth"));
}

} // namespace

class tst_DNetFrames : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void incompleteFrameConsumesNothing_data();
    void incompleteFrameConsumesNothing();
    void frameInPiecesHandledOnce();
    void framesTogetherHandledInOrder();
    void emptyBodyClosesConnection();
    void lengthLimit_data();
    void lengthLimit();
};

void tst_DNetFrames::incompleteFrameConsumesNothing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("three bytes") << Hex("050000");
    QTest::newRow("length and part of the body") << Hex("05000000 07 0200");
}

void tst_DNetFrames::incompleteFrameConsumesNothing()
{
    QFETCH(QByteArray, bytes);
    DNetTestEnv env;
    ChildUnderTest carol = Carol(env);
    QVERIFY(carol.socket);
    DNetLog log;
    FeedDevice feed;
    feed.Feed(bytes);
    QVERIFY(env.dnet().ReadFrames(feed, carol.socket, DNetManager::Side::Child));
    QCOMPARE(feed.bytesAvailable(), qint64(bytes.size()));
    QVERIFY(log.lines.isEmpty());
}

void tst_DNetFrames::frameInPiecesHandledOnce()
{
    DNetTestEnv env;
    ChildUnderTest carol = Carol(env);
    QVERIFY(carol.socket);
    DNetLog log;
    FeedDevice feed;
    const QByteArray frame = DepthFrame(3);
    for (char byte : frame) {
        QCOMPARE(DepthLines(log).size(), 0);
        feed.Feed(&byte, 1);
        QVERIFY(env.dnet().ReadFrames(feed, carol.socket, DNetManager::Side::Child));
    }
    QVERIFY(env.dnet().ReadFrames(feed, carol.socket, DNetManager::Side::Child));
    QCOMPARE(DepthLines(log), QStringList({"Received child depth 3 from carol"}));
    QCOMPARE(feed.bytesAvailable(), qint64(0));
}

void tst_DNetFrames::framesTogetherHandledInOrder()
{
    DNetTestEnv env;
    ChildUnderTest carol = Carol(env);
    QVERIFY(carol.socket);
    DNetLog log;
    FeedDevice feed;
    feed.Feed(DepthFrame(1) + DepthFrame(4) + Hex("0500"));
    QVERIFY(env.dnet().ReadFrames(feed, carol.socket, DNetManager::Side::Child));
    QCOMPARE(DepthLines(log), QStringList({"Received child depth 1 from carol",
                                           "Received child depth 4 from carol"}));
    QCOMPARE(feed.bytesAvailable(), qint64(2));
}

void tst_DNetFrames::emptyBodyClosesConnection()
{
    DNetTestEnv env;
    ChildUnderTest carol = Carol(env);
    QVERIFY(carol.socket);
    DNetLog log;
    FeedDevice feed;
    feed.Feed(Hex("00000000") + DepthFrame(2));
    QVERIFY(!env.dnet().ReadFrames(feed, carol.socket, DNetManager::Side::Child));
    QCOMPARE(log.lines.first(),
             QStringLiteral("Error reading message code, closing child connection"));
    QVERIFY(DepthLines(log).isEmpty());
    QVERIFY(carol.peer->WaitForDisconnected());
    QTRY_COMPARE(DNetTestEnv::Count("dnet_child"), size_t(0));
}

void tst_DNetFrames::lengthLimit_data()
{
    QTest::addColumn<bool>("child");
    QTest::addColumn<QByteArray>("length");
    QTest::addColumn<bool>("passes");
    for (bool child : {true, false}) {
        const char* side = child ? "child" : "candidate";
        QTest::addRow("%s, 1,048,576", side) << child << Hex("00001000") << true;
        QTest::addRow("%s, 1,048,577", side) << child << Hex("01001000") << false;
        QTest::addRow("%s, negative", side) << child << Hex("00000080") << false;
    }
}

void tst_DNetFrames::lengthLimit()
{
    QFETCH(bool, child);
    QFETCH(QByteArray, length);
    QFETCH(bool, passes);
    DNetTestEnv env;
    std::unique_ptr<FakePeer> peer;
    QTcpSocket* socket = nullptr;
    if (child) {
        peer = env.AddChild("carol");
        QVERIFY(peer);
        socket = DNetTestEnv::SocketOf(DNetTestEnv::Child("carol"));
    } else {
        QVERIFY(env.logIn());
        peer = env.AddCandidate("bob");
        QVERIFY(peer);
        socket = DNetTestEnv::SocketOf(d.GetType("dnet_parent_candidate")->GetItems().First());
    }
    DNetLog log;
    const quint32 announced = WireReader(length).u32();
    // A depth for a child, a level for a candidate, padded to the announced length.
    QByteArray body = WireWriter().u8(child ? 7 : 4).i32(6);
    body.resize(passes ? qsizetype(announced) : 64, '\0');
    FeedDevice feed;
    feed.Feed(length + body);

    QCOMPARE(env.dnet().ReadFrames(feed, socket,
                                   child ? DNetManager::Side::Child : DNetManager::Side::Upstream),
             passes);
    if (passes) {
        QCOMPARE(feed.bytesAvailable(), qint64(0));
        if (child)
            QVERIFY(log.Has("Received child depth 6 from carol"));
        else
            QCOMPARE(
                ItemPtr(
                    d.GetType("dnet_parent_candidate")->GetItems().First())["dnet_candidate_level"]
                    .AsString(),
                std::string("7"));
        QVERIFY(peer->IsConnected());
        return;
    }
    // Refused before anything was read.
    QCOMPARE(feed.bytesAvailable(), qint64(length.size() + body.size()));
    QCOMPARE(log.lines.first(),
             QStringLiteral("Frame of %1 bytes exceeds the limit of 1048576 bytes, closing "
                            "connection")
                 .arg(announced));
    QVERIFY(peer->WaitForDisconnected());
    QTRY_COMPARE(DNetTestEnv::Count(child ? "dnet_child" : "dnet_parent_candidate"), size_t(0));
}

QTEST_GUILESS_MAIN(tst_DNetFrames)
#include "tst_dnetframes.moc"

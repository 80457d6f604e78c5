// The client's place in the tree: whether it can take children, the candidates the server names
// and those that go, adopting one as the parent and losing it, and what the server hears of
// each change.

#include "DNetTestEnv.h"

#include <QRegularExpression>

#include <functional>

namespace {

QByteArray CanParent(bool can)
{
    return can ? Hex("05000000 64000000 01") : Hex("05000000 64000000 00");
}

const QByteArray kEmptyLeader = Hex("08000000 7f000000 00000000");
const QByteArray kHasParent = Hex("05000000 47000000 00");
const QByteArray kNoParent = DNetTestEnv::kNoParent;
const QByteArray kNoLevel = Hex("08000000 7e000000 ffffffff");

QByteArray Level(qint32 level)
{
    return FakePeer::Frame(WireWriter().u32(ServerCode::DNetLevel).i32(level));
}

QByteArray Leader(const QByteArray& name)
{
    return FakePeer::Frame(WireWriter().u32(ServerCode::DNetGroupLeader).str(name));
}

// The server's two figures for the rule: minimum speed (code 83) and speed ratio (code 84).
void SendFigures(FakeServer& fake, qint32 minimum, qint32 ratio)
{
    fake.sendMessage(ServerCode::DNetParentMinSpeed, WireWriter().i32(minimum));
    fake.sendMessage(ServerCode::DNetParentSpeedConnectionRatio, WireWriter().i32(ratio));
}

} // namespace

class tst_DNetParent : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void canParent_data();
    void canParent();
    void loginReportsTheState();
    void possibleParentTriedOnce();
    void listIgnoredWithParent();
    void candidateDialledOnPlainPort();
    void adoption_data();
    void adoption();
    void parentLoss();
    void shutdownClosesTheTree();
};

void tst_DNetParent::canParent_data()
{
    QTest::addColumn<int>("last");         // the first input known last: speed, minimum or ratio
    QTest::addColumn<QByteArray>("speed"); // upload_speed from now; empty: as it was
    QTest::addColumn<quint32>("code");     // a figure the server sends then; 0: none
    QTest::addColumn<qint32>("figure");
    QTest::addColumn<QList<QByteArray>>("reports");
    QTest::addColumn<QString>("line");
    const quint32 ratio = ServerCode::DNetParentSpeedConnectionRatio;
    const QList<QByteArray> no{CanParent(false)};
    QTest::newRow("one below the minimum")
        << 0 << QByteArray("51199") << 0u << 0 << no << "   Below minimum parent speed, so no.";
    QTest::newRow("capacity equal to the children")
        << 1 << QByteArray() << ratio << 166 << no
        << "   Currently have 3 child connections, max capacity 3";
    QTest::newRow("ratio 0") << 2 << QByteArray() << ratio << 0 << no
                             << "   Parent speed connection ratio 0 is not positive, so no.";
    QTest::newRow("negative ratio")
        << 0 << QByteArray() << ratio << -3 << no
        << "   Parent speed connection ratio -3 is not positive, so no.";
    // Ten times the speed leaves 32 bits.
    QTest::newRow("speed of 2,000,000,000")
        << 1 << QByteArray("2000000000") << 0u << 0 << QList<QByteArray>{}
        << "   Currently have 3 child connections, max capacity 1953125";
    // 1024 times the minimum leaves 32 bits.
    QTest::newRow("minimum of 3,000,000")
        << 2 << QByteArray("2000000000") << quint32(ServerCode::DNetParentMinSpeed) << 3000000 << no
        << "   Below minimum parent speed, so no.";
}

void tst_DNetParent::canParent()
{
    QFETCH(int, last);
    QFETCH(QByteArray, speed);
    QFETCH(quint32, code);
    QFETCH(qint32, figure);
    QFETCH(QList<QByteArray>, reports);
    QFETCH(QString, line);
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    std::unique_ptr<FakePeer> children[3];
    for (int i = 0; i < 3; ++i)
        QVERIFY(children[i] = env.AddChild("child" + QByteArray::number(i)));

    // Exactly the minimum: capacity ((51,200 x 10) / 1024) / 10 = 50, above 3 children. Nothing
    // is decided, nor sent, before all three are known.
    DNetLog log;
    const std::function<void()> inputs[] = {
        [&] { env.SetSetting("upload_speed", "51200"); },
        [&] { env.fake().sendMessage(ServerCode::DNetParentMinSpeed, WireWriter().i32(50)); },
        [&] {
            env.fake().sendMessage(ServerCode::DNetParentSpeedConnectionRatio,
                                   WireWriter().i32(10));
        },
    };
    for (int i = 0; i < 3; ++i) {
        if (i != last)
            inputs[i]();
    }
    QCOMPARE(env.Reports(), QList<QByteArray>{});
    QCOMPARE(log.lines.filter(QRegularExpression("child connections|status change")).size(), 0);
    inputs[last]();
    QCOMPARE(env.Reports(), QList<QByteArray>{CanParent(true)});
    QVERIFY(log.Has("   Currently have 3 child connections, max capacity 50"));

    log.lines.clear();
    if (!speed.isEmpty())
        env.SetSetting("upload_speed", speed.toStdString());
    if (code != 0)
        env.fake().sendMessage(code, WireWriter().i32(figure));
    QCOMPARE(env.Reports(), reports);
    QVERIFY2(log.Has(line), qPrintable(log.lines.join('\n')));
}

void tst_DNetParent::loginReportsTheState()
{
    DNetTestEnv env;
    QVERIFY(env.logIn());
    env.SetSetting("upload_speed", "51200");
    SendFigures(env.fake(), 50, 10);
    QCOMPARE(env.Reports(), (QList<QByteArray>{kNoParent, CanParent(true)}));
    auto bob = env.AddParent("bob", {WireWriter().u8(4).i32(2), WireWriter().u8(5).str("lead")});
    QVERIFY(bob);
    QCOMPARE(env.Reports(), (QList<QByteArray>{Level(3), Leader("lead"), kHasParent}));

    // A new session hears everything again, can-parent included though it did not change.
    env.server().Disconnect();
    QVERIFY(env.logIn());
    QCOMPARE(env.Reports(),
             (QList<QByteArray>{kHasParent, Leader("lead"), Level(3), CanParent(true)}));
}

void tst_DNetParent::possibleParentTriedOnce()
{
    DNetTestEnv env;
    QVERIFY(env.logIn());
    DNetLog log;
    FakePeer bob;
    FakePeer dave;
    env.NameParents({{"bob", bob.Listen()}, {"bob", bob.Listen()}});
    QTRY_COMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(1));
    // Tried once, failed or not: a later list skips him too.
    env.NameParents({{"bob", bob.Listen()}, {"dave", dave.Listen()}});
    QTRY_COMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(2));
    QCOMPARE(bob.AcceptedCount(), 1);
    QCOMPARE(log.lines.filter("parent connection to").join('\n'),
             QStringLiteral("   Attempting parent connection to bob\n"
                            "   Already attempted parent connection to bob, skipping\n"
                            "   Already attempted parent connection to bob, skipping\n"
                            "   Attempting parent connection to dave"));

    // A candidate that goes is forgotten; the server hears nothing of it.
    QCOMPARE(env.Reports(), QList<QByteArray>{kNoParent});
    bob.Close();
    QTRY_COMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(1));
    QCOMPARE(log.lines.filter("closed"), QStringList{"Parent candidate socket closed"});
    QCOMPARE(env.Reports(), QList<QByteArray>{});
}

void tst_DNetParent::listIgnoredWithParent()
{
    DNetTestEnv env;
    QVERIFY(env.logIn());
    auto pat = env.AddParent("pat");
    QVERIFY(pat);
    DNetLog log;
    FakePeer erin;
    env.NameParents({{"erin", erin.Listen()}});
    QTRY_VERIFY(log.Has("Received possible parents list, but already have a parent. Not "
                        "processing."));
    QVERIFY(!DNetTestEnv::User("erin").IsConnected("attempted_dnet_connection"));
    QCOMPARE(DNetTestEnv::Count("connect_to_peer_request"), size_t(0));
}

void tst_DNetParent::candidateDialledOnPlainPort()
{
    DNetTestEnv env;
    QVERIFY(env.logIn());
    // A scrambled port learnt earlier; frames of the tree are never scrambled.
    FakePeer trap;
    DNetTestEnv::User("bob") += d.GetType("user_obfuscated_port")->GetItem(Value(trap.Listen()));
    QVERIFY(env.AddCandidate("bob"));
    QCOMPARE(trap.AcceptedCount(), 0);
}

void tst_DNetParent::adoption_data()
{
    QTest::addColumn<QList<QByteArray>>("told");
    QTest::addColumn<QList<QByteArray>>("reports");
    QTest::addColumn<QByteArray>("toChildren");
    const QByteArray search = FakePeer::Frame(DNetTestEnv::SearchBody("eve", 9, "tune"));
    const QByteArray emptyLeader = Hex("05000000 05 00000000");
    QTest::newRow("level 2") << QList<QByteArray>{WireWriter().u8(4).i32(2)}
                             << QList<QByteArray>{Level(3), kEmptyLeader, kHasParent}
                             << Hex("05000000 04 03000000") + emptyLeader + search;
    QTest::newRow("level -1") << QList<QByteArray>{WireWriter().u8(4).i32(-1)}
                              << QList<QByteArray>{kEmptyLeader, kHasParent}
                              << emptyLeader + search;
    QTest::newRow("nothing told") << QList<QByteArray>{}
                                  << QList<QByteArray>{kEmptyLeader, kHasParent}
                                  << emptyLeader + search;
    QTest::newRow("leader, twice")
        << QList<QByteArray>{WireWriter().u8(5).str("ann"), WireWriter().u8(5).str("lead")}
        << QList<QByteArray>{Leader("lead"), kHasParent}
        << Hex("09000000 05 04000000 6c656164") + search;
    // Passed on, but only a search adopts.
    const QByteArray passOn = Hex("03 00000000 deadbeef");
    QTest::newRow("other kind first")
        << QList<QByteArray>{passOn} << QList<QByteArray>{kEmptyLeader, kHasParent}
        << FakePeer::Frame(passOn) + emptyLeader + search;
}

void tst_DNetParent::adoption()
{
    QFETCH(QList<QByteArray>, told);
    QFETCH(QList<QByteArray>, reports);
    QFETCH(QByteArray, toChildren);
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    auto child = env.AddChild("kid");
    QVERIFY(child);
    auto bob = env.AddCandidate("bob");
    auto carol = env.AddCandidate("carol");
    QVERIFY(bob && carol);
    QSignalSpy searches(&env.dnet(), &DNetManager::DNetSearchRequest);
    DNetLog log;

    for (const QByteArray& body : told)
        bob->SendFrame(body);
    bob->SendFrame(DNetTestEnv::SearchBody("eve", 9, "tune"));
    QTRY_COMPARE(child->Pending(), toChildren);
    QCOMPARE(env.Reports(), reports);
    QCOMPARE(searches.count(), 1);
    QCOMPARE(DNetTestEnv::Global("dnet_parent_user"), std::string("bob"));
    QCOMPARE(DNetTestEnv::HasGlobal("dnet_level"), reports.first() == Level(3));
    QVERIFY(carol->WaitForDisconnected());
    QVERIFY(bob->IsConnected());
    QCOMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(0));
    QVERIFY(!log.Has("Parent candidate socket closed"));
    QVERIFY(log.Has("Received first search request from parent candidate bob, adopting as "
                    "parent."));
}

void tst_DNetParent::parentLoss()
{
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    auto child = env.AddChild("kid");
    auto pat = env.AddParent("pat", {WireWriter().u8(4).i32(1), WireWriter().u8(5).str("lead")});
    QVERIFY(child && pat);
    QCOMPARE(env.Reports(), (QList<QByteArray>{Level(2), Leader("lead"), kHasParent}));
    QByteArray frame;
    for (int i = 0; i < 3; ++i)
        QVERIFY(child->WaitForFrame(&frame));

    DNetLog log;
    pat->Close();
    QTRY_VERIFY(!DNetTestEnv::HasGlobal("dnet_parent_user"));
    QCOMPARE(env.Reports(), (QList<QByteArray>{kNoParent, kEmptyLeader, kNoLevel}));
    QCOMPARE(log.lines.filter("closed"), QStringList{"Parent socket closed"});
    for (const char* key :
         {"dnet_parent_user", "dnet_parent_socket", "dnet_group_leader", "dnet_level"})
        QVERIFY2(!DNetTestEnv::HasGlobal(key), key);
    // The children are not told, and stay.
    QVERIFY(child->Pending().isEmpty());
    QCOMPARE(DNetTestEnv::Count("dnet_child"), size_t(1));
}

void tst_DNetParent::shutdownClosesTheTree()
{
    auto env = std::make_unique<DNetTestEnv>();
    QVERIFY(env->logIn());
    auto parent = env->AddParent("pat");
    auto child = env->AddChild("kid");
    QVERIFY(parent && child);
    env.reset();
    QVERIFY(parent->WaitForDisconnected());
    QVERIFY(child->WaitForDisconnected());
}

QTEST_GUILESS_MAIN(tst_DNetParent)
#include "tst_dnetparent.moc"

// What comes down the tree: searches, level and group leader from the parent or inside the
// server's code 93, passed on to the children; the children themselves, their depths, and a
// child that stops reading.

#include "DNetTestEnv.h"

#include <initializer_list>
#include <vector>

namespace {

const QByteArray kSearch = Hex("03 31000000 03000000 626f62 04030201 03000000 616263");
const QByteArray kPassOn = Hex("03 00000000 deadbeef");
// A body passed on and never answered: once a child holds it, everything before it was handled.
const QByteArray kMarker = FakePeer::Frame(Hex("03 07000000 6d61726b"));

// The body inside the server's code 93.
void SendFromServer(FakeServer& fake, const QByteArray& body)
{
    fake.sendMessage(ServerCode::DNetMessage, body);
}

// Takes one frame the child was sent when it connected and checks it.
bool Welcomed(FakePeer& child, const QByteArray& body)
{
    QByteArray got;
    return child.WaitForFrame(&got) && got == body;
}

// Logged in, with pat as the parent and children that connected after, each past the empty
// group leader the adoption left and a new child is sent.
struct Tree
{
    bool Grow(DNetTestEnv& env, std::initializer_list<const char*> names)
    {
        if (!env.logIn() || !(parent = env.AddParent("pat")))
            return false;
        for (const char* name : names) {
            children.push_back(env.AddChild(name));
            if (!children.back() || !Welcomed(*children.back(), Hex("05 00000000")))
                return false;
        }
        return true;
    }
    FakePeer& child() { return *children.front(); }

    std::unique_ptr<FakePeer> parent;
    std::vector<std::unique_ptr<FakePeer>> children;
};

// Forgets what the child received so far.
void Drain(FakePeer& child)
{
    QByteArray ignored;
    child.WaitForRaw(child.Pending().size(), &ignored);
}

} // namespace

class tst_DNetRelay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void searchReachesChildren_data();
    void searchReachesChildren();
    void levelFromParent();
    void leaderFromParent();
    void levelAndLeaderFromServerIgnored_data();
    void levelAndLeaderFromServerIgnored();
    void unreadableBodyClosesParent_data();
    void unreadableBodyClosesParent();
    void childDepths();
    void sameUserTwice();
    void childFrameInFirstSegment();
    void newChildWelcomed_data();
    void newChildWelcomed();
    void childThatNeverReadsDropped();
};

void tst_DNetRelay::searchReachesChildren_data()
{
    QTest::addColumn<bool>("fromServer");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("answered");
    QTest::newRow("search, from the parent") << false << kSearch << true;
    QTest::newRow("search, from the server") << true << kSearch << true;
    QTest::newRow("other kind, from the parent") << false << kPassOn << false;
    QTest::newRow("other kind, from the server") << true << kPassOn << false;
}

void tst_DNetRelay::searchReachesChildren()
{
    QFETCH(bool, fromServer);
    QFETCH(QByteArray, body);
    QFETCH(bool, answered);
    DNetTestEnv env;
    Tree tree;
    QVERIFY(tree.Grow(env, {"kid", "tot"}));
    QSignalSpy searches(&env.dnet(), &DNetManager::DNetSearchRequest);

    if (fromServer)
        SendFromServer(env.fake(), body);
    else
        tree.parent->SendFrame(body);
    tree.parent->SendRaw(kMarker);
    for (auto& child : tree.children)
        QTRY_COMPARE(child->Pending(), FakePeer::Frame(body) + kMarker);
    QCOMPARE(searches.count(), answered ? 1 : 0);
    if (answered) {
        QCOMPARE(searches.at(0).at(0).value<std::string>(), std::string("bob"));
        QCOMPARE(searches.at(0).at(1).toUInt(), 0x01020304u);
        QCOMPARE(searches.at(0).at(2).value<std::string>(), std::string("abc"));
    }
}

void tst_DNetRelay::levelFromParent()
{
    DNetTestEnv env;
    Tree tree;
    QVERIFY(tree.Grow(env, {"kid"}));
    FakePeer* parent = tree.parent.get();
    FakePeer* child = &tree.child();
    env.Reports();
    DNetLog log;

    // Once for the first, not at all for the same level again.
    parent->SendRaw(Hex("05000000 04 04000000") + Hex("05000000 04 04000000") + kMarker);
    QTRY_COMPARE(child->Pending(), Hex("05000000 04 05000000") + kMarker);
    QCOMPARE(env.Reports(), QList<QByteArray>{Hex("08000000 7e000000 05000000")});
    QCOMPARE(log.lines, QStringList{"Received level from parent, updating to 5"});
    QCOMPARE(DNetTestEnv::Global("dnet_level"), std::string("5"));

    Drain(*child);
    parent->SendRaw(Hex("05000000 04 ffffffff") + Hex("05000000 04 ffffffff") + kMarker);
    QTRY_COMPARE(child->Pending(), Hex("05000000 04 ffffffff") + kMarker);
    QCOMPARE(env.Reports(), QList<QByteArray>{Hex("08000000 7e000000 ffffffff")});
    QVERIFY(!DNetTestEnv::HasGlobal("dnet_level"));

    // One below the largest level wraps the way 32 bits do, without overflowing.
    Drain(*child);
    parent->SendRaw(Hex("05000000 04 ffffff7f") + kMarker);
    QTRY_COMPARE(child->Pending(), Hex("05000000 04 00000080") + kMarker);
    QCOMPARE(DNetTestEnv::Global("dnet_level"), std::string("-2147483648"));
}

void tst_DNetRelay::leaderFromParent()
{
    DNetTestEnv env;
    Tree tree;
    QVERIFY(tree.Grow(env, {"kid"}));
    FakePeer* parent = tree.parent.get();
    FakePeer* child = &tree.child();
    env.Reports();
    const QByteArray leader = Hex("08000000 05 03000000 616263");
    parent->SendRaw(leader + leader + kMarker);
    QTRY_COMPARE(child->Pending(), leader + kMarker);
    QCOMPARE(env.Reports(), QList<QByteArray>{Hex("0b000000 7f000000 03000000 616263")});
    QCOMPARE(DNetTestEnv::Global("dnet_group_leader"), std::string("abc"));
}

void tst_DNetRelay::levelAndLeaderFromServerIgnored_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("level") << Hex("04 04000000");
    QTest::newRow("group leader") << Hex("05 03000000 616263");
}

void tst_DNetRelay::levelAndLeaderFromServerIgnored()
{
    QFETCH(QByteArray, body);
    DNetTestEnv env;
    QVERIFY(env.logIn());
    auto child = env.AddChild("kid");
    QVERIFY(child);
    env.Reports();
    SendFromServer(env.fake(), body);
    SendFromServer(env.fake(), kMarker.mid(4));
    QTRY_COMPARE(child->Pending(), kMarker);
    QCOMPARE(env.Reports(), QList<QByteArray>{});
    QVERIFY(!DNetTestEnv::HasGlobal("dnet_level"));
    QVERIFY(!DNetTestEnv::HasGlobal("dnet_group_leader"));
}

void tst_DNetRelay::unreadableBodyClosesParent_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("closes");
    QTest::newRow("level cut short") << Hex("04 010203") << true;
    QTest::newRow("leader over the string limit")
        << Hex("05 01000200") + QByteArray(64, 'x') << true;
    QTest::newRow("search cut short") << Hex("03 31000000 03000000 626f") << true;
    QTest::newRow("search without its kind") << Hex("03 3100") << true;
    QTest::newRow("unknown code") << Hex("09 00") << false;
}

void tst_DNetRelay::unreadableBodyClosesParent()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, closes);
    DNetTestEnv env;
    Tree tree;
    QVERIFY(tree.Grow(env, {"kid"}));
    FakePeer* parent = tree.parent.get();
    FakePeer* child = &tree.child();
    QSignalSpy searches(&env.dnet(), &DNetManager::DNetSearchRequest);
    DNetLog log;
    parent->SendFrame(body);
    if (closes) {
        QVERIFY(parent->WaitForDisconnected());
        QTRY_VERIFY(!DNetTestEnv::HasGlobal("dnet_parent_user"));
        QCOMPARE(log.lines.first(), QStringLiteral("Parent socket closed"));
    } else {
        parent->SendRaw(kMarker);
        QTRY_COMPARE(child->Pending(), kMarker);
        QVERIFY(parent->IsConnected());
        QCOMPARE(DNetTestEnv::Global("dnet_parent_user"), std::string("pat"));
    }
    QCOMPARE(searches.count(), 0);
    QVERIFY(child->Pending() == (closes ? QByteArray() : kMarker));
}

void tst_DNetRelay::childDepths()
{
    DNetTestEnv env;
    QVERIFY(env.logIn());
    env.Reports();
    DNetLog log;
    std::unique_ptr<FakePeer> children[3];
    const qint32 depths[3] = {0, 2, 2};
    for (int i = 0; i < 3; ++i) {
        children[i] = env.AddChild("child" + QByteArray::number(i));
        QVERIFY(children[i]);
        children[i]->SendFrame(WireWriter().u8(7).i32(depths[i]));
        QTRY_VERIFY(log.lines.filter("Received child depth").size() == i + 1);
    }
    // The server hears only that there is something below us.
    const QByteArray something = Hex("05000000 81000000 01");
    QCOMPARE(env.Reports(), (QList<QByteArray>{something, something}));
    QCOMPARE(log.lines.filter("New child depth"),
             (QStringList{"New child depth is 1", "New child depth is 3"}));
    QCOMPARE(DNetTestEnv::Global("dnet_child_depth"), std::string("3"));

    // A child that goes leaves the depth as it was until the next report.
    children[2]->Close();
    QTRY_COMPARE(DNetTestEnv::Count("dnet_child"), size_t(2));
    QCOMPARE(DNetTestEnv::Global("dnet_child_depth"), std::string("3"));
    QCOMPARE(env.Reports(), QList<QByteArray>{});
}

void tst_DNetRelay::sameUserTwice()
{
    DNetTestEnv env;
    QVERIFY(env.logIn());
    DNetLog log;
    auto first = env.AddChild("kid");
    QVERIFY(first);
    auto second = env.AddChild("kid");
    QVERIFY(second);
    QVERIFY(first->WaitForDisconnected());
    QCOMPARE(DNetTestEnv::Count("dnet_child"), size_t(1));
    QVERIFY(log.Has("   Child connection already found, closing old connection."));
    // The newer one is the child: what goes down the tree reaches it.
    SendFromServer(env.fake(), kPassOn);
    QTRY_COMPARE(second->Pending(), FakePeer::Frame(kPassOn));
}

void tst_DNetRelay::childFrameInFirstSegment()
{
    DNetTestEnv env;
    DNetLog log;
    auto child = env.AddChild("kid", FakePeer::Frame(WireWriter().u8(7).i32(5)));
    QVERIFY(child);
    QTRY_VERIFY(log.Has("Received child depth 5 from kid"));
    QCOMPARE(DNetTestEnv::Global("dnet_child_depth"), std::string("6"));
}

void tst_DNetRelay::newChildWelcomed_data()
{
    QTest::addColumn<bool>("withParent");
    QTest::addColumn<QByteArray>("welcome");
    QTest::newRow("no level, no leader") << false << QByteArray();
    QTest::newRow("level and leader")
        << true << Hex("05000000 04 03000000") + Hex("09000000 05 04000000 6c656164");
}

void tst_DNetRelay::newChildWelcomed()
{
    QFETCH(bool, withParent);
    QFETCH(QByteArray, welcome);
    DNetTestEnv env;
    QVERIFY(env.logIn());
    std::unique_ptr<FakePeer> parent;
    if (withParent) {
        parent = env.AddCandidate("pat");
        QVERIFY(parent);
        parent->SendFrame(Hex("04 02000000"));
        parent->SendFrame(Hex("05 04000000 6c656164"));
        parent->SendFrame(kSearch);
        QTRY_VERIFY(DNetTestEnv::HasGlobal("dnet_parent_user"));
    }
    auto child = env.AddChild("kid");
    QVERIFY(child);
    SendFromServer(env.fake(), kMarker.mid(4));
    QTRY_COMPARE(child->Pending(), welcome + kMarker);
}

void tst_DNetRelay::childThatNeverReadsDropped()
{
    DNetTestEnv env;
    Tree tree;
    QVERIFY(tree.Grow(env, {"quick"}));
    FakePeer* parent = tree.parent.get();
    FakePeer* quick = &tree.child();
    // Takes a few bytes into its own buffer and then never reads again, so the system's buffers
    // fill and the rest waits on our side.
    QTcpSocket slow;
    slow.setReadBufferSize(16);
    slow.connectToHost(QHostAddress::LocalHost, env.engine().peer()->ListeningPort());
    QVERIFY(slow.waitForConnected(5000));
    slow.write(FakePeer::Frame(FakePeer::InitBody("slow", "D")));
    QTRY_VERIFY(DNetTestEnv::Child("slow"));
    DNetLog log;

    QByteArray big = Hex("03 00000000");
    big.resize(256 * 1024, 'z');
    const QByteArray frame = FakePeer::Frame(big);
    // Bounded: loopback buffers hold a few MiB at most.
    for (int i = 0; i < 400 && DNetTestEnv::Child("slow"); ++i) {
        parent->SendFrame(big);
        QByteArray got;
        QVERIFY(quick->WaitForRaw(frame.size(), &got));
        QCOMPARE(got, frame);
    }
    QVERIFY(!DNetTestEnv::Child("slow"));
    QCOMPARE(DNetTestEnv::Count("dnet_child"), size_t(1));
    QCOMPARE(log.lines.filter("slow").size(), 1);
    QVERIFY(log.lines.filter("slow").first().startsWith("Child slow has left "));
    // The other child goes on receiving.
    parent->SendRaw(kMarker);
    QTRY_COMPARE(quick->Pending(), kMarker);
}

QTEST_GUILESS_MAIN(tst_DNetRelay)
#include "tst_dnetrelay.moc"

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

// Logged in, with pat as the parent and children that connected after, each past the empty
// group leader the adoption left and a new child is sent, the reports so far taken.
struct Tree
{
    bool Grow(DNetTestEnv& env, std::initializer_list<const char*> names)
    {
        if (!env.logIn() || !(parent = env.AddParent("pat")))
            return false;
        for (const char* name : names) {
            children.push_back(env.AddChild(name));
            QByteArray welcome;
            if (!children.back() || !children.back()->WaitForFrame(&welcome) ||
                welcome != Hex("05 00000000"))
                return false;
        }
        return !env.Reports().isEmpty();
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
    void downTheTree_data();
    void downTheTree();
    void levelAndLeaderFromParent();
    void unreadableBodyClosesParent_data();
    void unreadableBodyClosesParent();
    void childDepths();
    void sameUserTwice();
    void childThatNeverReadsDropped();
};

void tst_DNetRelay::downTheTree_data()
{
    QTest::addColumn<bool>("fromServer"); // inside code 93, else from the parent
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("relayed");
    QTest::addColumn<bool>("answered");
    QTest::newRow("search, from the parent") << false << kSearch << true << true;
    QTest::newRow("search, from the server") << true << kSearch << true << true;
    QTest::newRow("other kind, from the parent") << false << kPassOn << true << false;
    QTest::newRow("other kind, from the server") << true << kPassOn << true << false;
    // Only the parent's level and leader count.
    QTest::newRow("level, from the server") << true << Hex("04 04000000") << false << false;
    QTest::newRow("group leader, from the server")
        << true << Hex("05 03000000 616263") << false << false;
    QTest::newRow("unknown code, from the parent") << false << Hex("09 00") << false << false;
}

void tst_DNetRelay::downTheTree()
{
    QFETCH(bool, fromServer);
    QFETCH(QByteArray, body);
    QFETCH(bool, relayed);
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
        QTRY_COMPARE(child->Pending(), (relayed ? FakePeer::Frame(body) : QByteArray()) + kMarker);
    QCOMPARE(searches.count(), answered ? 1 : 0);
    if (answered) {
        QCOMPARE(searches.at(0).at(0).value<std::string>(), std::string("bob"));
        QCOMPARE(searches.at(0).at(1).toUInt(), 0x01020304u);
        QCOMPARE(searches.at(0).at(2).value<std::string>(), std::string("abc"));
    }
    QCOMPARE(env.Reports(), QList<QByteArray>{});
    QCOMPARE(DNetTestEnv::Global("dnet_level") + DNetTestEnv::Global("dnet_group_leader"), "");
    QVERIFY(tree.parent->IsConnected());
}

void tst_DNetRelay::levelAndLeaderFromParent()
{
    DNetTestEnv env;
    Tree tree;
    QVERIFY(tree.Grow(env, {"kid"}));
    // Each sent twice: passed on and reported once, with the value kept.
    const struct
    {
        const char* body;
        const char* toChildren;
        const char* report;
        const char* key;
        const char* value;
    } steps[] = {
        {"04 04000000", "05000000 04 05000000", "08000000 7e000000 05000000", "dnet_level", "5"},
        {"04 ffffffff", "05000000 04 ffffffff", "08000000 7e000000 ffffffff", "dnet_level", ""},
        // The highest level a parent may have.
        {"04 e8030000", "05000000 04 e9030000", "08000000 7e000000 e9030000", "dnet_level",
         "1001"},
        {"05 03000000 616263", "08000000 05 03000000 616263", "0b000000 7f000000 03000000 616263",
         "dnet_group_leader", "abc"},
    };
    for (const auto& step : steps) {
        tree.parent->SendRaw(FakePeer::Frame(Hex(step.body)) + FakePeer::Frame(Hex(step.body)) +
                             kMarker);
        QTRY_COMPARE(tree.child().Pending(), Hex(step.toChildren) + kMarker);
        QCOMPARE(env.Reports(), QList<QByteArray>{Hex(step.report)});
        QCOMPARE(DNetTestEnv::Global(step.key), std::string(step.value));
        Drain(tree.child());
    }
    // A child that comes now is told both first.
    auto late = env.AddChild("late");
    QVERIFY(late);
    tree.parent->SendRaw(kMarker);
    QTRY_COMPARE(late->Pending(),
                 Hex("05000000 04 e9030000 08000000 05 03000000 616263") + kMarker);
}

void tst_DNetRelay::unreadableBodyClosesParent_data()
{
    static_assert(DNetManager::kMaxLevel == 1000, "the level rows spell the highest level out");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("level cut short") << Hex("04 010203");
    // Beyond the highest level a parent may have, and below none.
    QTest::newRow("level 1001") << Hex("04 e9030000");
    QTest::newRow("largest level") << Hex("04 ffffff7f");
    QTest::newRow("level -2") << Hex("04 feffffff");
    QTest::newRow("leader over the string limit") << Hex("05 01000200") + QByteArray(64, 'x');
    QTest::newRow("search cut short") << Hex("03 31000000 03000000 626f");
    QTest::newRow("search without its kind") << Hex("03 3100");
}

void tst_DNetRelay::unreadableBodyClosesParent()
{
    QFETCH(QByteArray, body);
    DNetTestEnv env;
    Tree tree;
    QVERIFY(tree.Grow(env, {"kid"}));
    QSignalSpy searches(&env.dnet(), &DNetManager::DNetSearchRequest);
    DNetLog log;
    tree.parent->SendFrame(body);
    QVERIFY(tree.parent->WaitForDisconnected());
    QTRY_VERIFY(!DNetTestEnv::HasGlobal("dnet_parent_user"));
    QCOMPARE(log.lines.first(), QStringLiteral("Parent socket closed"));
    QCOMPARE(searches.count(), 0);
    QVERIFY(tree.child().Pending().isEmpty());
}

void tst_DNetRelay::childDepths()
{
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    DNetLog log;
    std::unique_ptr<FakePeer> children[3];
    const qint32 depths[3] = {0, 2, 2};
    // Each depth comes in the segment of the child's first frame: the reader must look at what
    // is buffered when it takes the socket, since no new readyRead announces it.
    for (int i = 0; i < 3; ++i) {
        children[i] = env.AddChild("child" + QByteArray::number(i),
                                   FakePeer::Frame(WireWriter().u8(7).i32(depths[i])));
        QVERIFY(children[i]);
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
    // The newer one is the child: what goes down the tree reaches it, and nothing else does
    // while there is no parent (no level, no leader to tell).
    SendFromServer(env.fake(), kPassOn);
    QTRY_COMPARE(second->Pending(), FakePeer::Frame(kPassOn));
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
    slow.connectToHost(QHostAddress::LocalHost, env.peer().ListeningPort());
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

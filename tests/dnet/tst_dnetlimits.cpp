// What parties of the tree can cost us, whatever they send: the server naming ourselves or
// hundreds of candidates that never search, peers connecting as children under our own name,
// our parent's or past the number we keep, a child reporting its depth without end or sending
// faster than we read.

#include "DNetTestEnv.h"

#include <vector>

namespace {

const QByteArray kSearch = DNetTestEnv::SearchBody("eve", 5, "tune");

// The server's list of possible parents (code 102): count names from prefix, each at port.
void NameMany(FakeServer& fake, const QByteArray& prefix, int count, quint16 port)
{
    WireWriter list;
    list.u32(quint32(count));
    for (int i = 0; i < count; ++i)
        list.str(prefix + QByteArray::number(i)).u32(0x7f000001).u32(port);
    fake.sendMessage(ServerCode::DNetPossibleParents, list);
}

} // namespace

class tst_DNetLimits : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ourselvesNeverAParent_data();
    void ourselvesNeverAParent();
    void childrenRefused_data();
    void childrenRefused();
    void adoptedChildLeavesTheChildren();
    void candidatesTriedFewAtATime_data();
    void candidatesTriedFewAtATime();
    void depthReportsCostTheSame_data();
    void depthReportsCostTheSame();
    void readAheadBounded();
};

void tst_DNetLimits::ourselvesNeverAParent_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("ourPort"); // else a port of another peer
    QTest::addColumn<bool>("dialled");
    QTest::newRow("our name") << QByteArray("alice") << false << false;
    QTest::newRow("our address and port") << QByteArray("mirror") << true << false;
    QTest::newRow("someone else") << QByteArray("bob") << false << true;
}

void tst_DNetLimits::ourselvesNeverAParent()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, ourPort);
    QFETCH(bool, dialled);
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    QSignalSpy searches(&env.dnet(), &DNetManager::DNetSearchRequest);
    FakePeer other;
    env.NameParents({{name.constData(), ourPort ? env.peer().ListeningPort() : other.Listen()}});
    QVERIFY(env.Sync());
    QCOMPARE(DNetTestEnv::User(name.toStdString()).IsConnected("attempted_dnet_connection"),
             dialled);
    QTRY_COMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(dialled));
    QTRY_COMPARE(other.AcceptedCount(), int(dialled));
    // A search from the server goes down to no child, so none comes back to us from a parent.
    env.fake().sendMessage(ServerCode::DNetMessage, kSearch);
    QVERIFY(env.Sync());
    QCOMPARE(searches.count(), 1);
    QCOMPARE(DNetTestEnv::Count("dnet_child"), size_t(0));
    QVERIFY(!DNetTestEnv::HasGlobal("dnet_parent_user"));
}

void tst_DNetLimits::childrenRefused_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("children"); // already there, "kid0" and on
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("after");
    QTest::addColumn<QString>("line");
    const int cap = DNetManager::kMaxChildren;
    QTest::newRow("our name") << QByteArray("alice") << 1 << true << 1
                              << "Rejecting, that is ourselves";
    QTest::newRow("our parent") << QByteArray("mom") << 1 << true << 1
                                << "Rejecting, that is our parent";
    QTest::newRow("past the cap") << QByteArray("newbie") << cap << true << cap
                                  << QString("Rejecting, already have %1 children").arg(cap);
    QTest::newRow("up to the cap") << QByteArray("newbie") << cap - 1 << false << cap << QString();
    QTest::newRow("a child again, at the cap")
        << QByteArray("kid0") << cap << false << cap
        << "Child connection already found, closing old connection.";
}

void tst_DNetLimits::childrenRefused()
{
    QFETCH(QByteArray, name);
    QFETCH(int, children);
    QFETCH(bool, refused);
    QFETCH(int, after);
    QFETCH(QString, line);
    DNetTestEnv env;
    QVERIFY(env.logIn());
    auto mom = env.AddParent("mom");
    QVERIFY(mom);
    std::vector<std::unique_ptr<FakePeer>> kids;
    for (int i = 0; i < children; ++i)
        QVERIFY(kids.emplace_back(env.AddChild("kid" + QByteArray::number(i))));
    // A name refused leaves nothing behind.
    const size_t users = DNetTestEnv::Count("user") + (after > children ? 1 : 0);
    DNetLog log;

    FakePeer peer;
    QVERIFY(peer.ConnectTo(env.peer().ListeningPort()));
    peer.SendInit(name, "D");
    QTRY_VERIFY(log.Has("Child connection accepted from " + name));
    QVERIFY(line.isEmpty() || log.Has("   " + line));
    QCOMPARE(DNetTestEnv::Count("dnet_child"), size_t(after));
    QCOMPARE(DNetTestEnv::Count("user"), users);
    // Searches from the parent reach the children we keep, and never the parent itself.
    mom->SendFrame(kSearch);
    QTRY_VERIFY(kids.back()->Pending().endsWith(FakePeer::Frame(kSearch)));
    if (refused)
        QVERIFY(peer.WaitForDisconnected());
    else
        QTRY_VERIFY(peer.Pending().endsWith(FakePeer::Frame(kSearch)));
    QCOMPARE(mom->Pending(), QByteArray());
}

void tst_DNetLimits::adoptedChildLeavesTheChildren()
{
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    auto kid = env.AddChild("kid");
    auto tot = env.AddChild("tot");
    auto candidate = env.AddCandidate("kid");
    QVERIFY(kid && tot && candidate);
    candidate->SendFrame(kSearch);
    QVERIFY(kid->WaitForDisconnected());
    QVERIFY(DNetTestEnv::HasGlobal("dnet_parent_user"));
    QCOMPARE(DNetTestEnv::Count("dnet_child"), size_t(1));
    // The search goes on to the child left, and not back up to the new parent.
    QTRY_VERIFY(tot->Pending().endsWith(FakePeer::Frame(kSearch)));
    QCOMPARE(candidate->Pending(), QByteArray());
}

void tst_DNetLimits::candidatesTriedFewAtATime_data()
{
    QTest::addColumn<int>("seconds"); // from the candidates' connecting to the second list
    QTest::addColumn<int>("waiting"); // candidates then
    const int timeout = int(DNetManager::kCandidateTimeoutMs / 1000);
    QTest::newRow("within the time-out") << timeout - 2 << DNetManager::kMaxCandidates;
    QTest::newRow("past the time-out") << timeout + 1 << 0;
}

void tst_DNetLimits::candidatesTriedFewAtATime()
{
    QFETCH(int, seconds);
    QFETCH(int, waiting);
    const int cap = DNetManager::kMaxCandidates;
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    // Every candidate answers and then never sends a search.
    FakePeer stalling;
    NameMany(env.fake(), "p", 500, stalling.Listen());
    QTRY_COMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(cap));
    QVERIFY(env.Sync());
    QCOMPARE(stalling.AcceptedCount(), cap);
    // The rest of the list left nothing behind.
    QVERIFY(!d.GetType("user")->HasItem(Value("p" + std::to_string(cap))));

    Clock::Shift(seconds);
    env.fireHalfMinute();
    QCOMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(waiting));
    // A second list is tried only where there is room.
    NameMany(env.fake(), "q", 500, stalling.Listen());
    QTRY_COMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(cap));
    QVERIFY(env.Sync());
    QCOMPARE(stalling.AcceptedCount(), 2 * cap - waiting);
}

void tst_DNetLimits::depthReportsCostTheSame_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("depth"); // stored at the end
    QTest::addColumn<int>("depthItems");   // one per depth reported now
    QTest::newRow("rising") << 0 << 1 << QByteArray("40000") << 2;
    // Down to the other child's depth of 5, which both then share.
    QTest::newRow("falling") << 40004 << -1 << QByteArray("6") << 1;
}

void tst_DNetLimits::depthReportsCostTheSame()
{
    QFETCH(int, first);
    QFETCH(int, step);
    QFETCH(QByteArray, depth);
    QFETCH(int, depthItems);
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    auto steady = env.AddChild("steady", FakePeer::Frame(WireWriter().u8(7).i32(5)));
    auto busy = env.AddChild("busy");
    QVERIFY(steady && busy);
    DNetLog log;
    QByteArray reports;
    for (int i = 0; i < 40000; ++i)
        reports += FakePeer::Frame(WireWriter().u8(7).i32(first + i * step));
    busy->SendRaw(reports);
    QTRY_VERIFY_WITH_TIMEOUT(log.lines.filter("from busy").size() == 40000, 60000);
    QCOMPARE(DNetTestEnv::Global("dnet_child_depth"), depth.toStdString());
    // Each report replaced the child's last one: no depth is kept that no child reports now.
    QCOMPARE(DNetTestEnv::Count("dnet_child_depth"), size_t(depthItems));
    busy->Close();
    QTRY_COMPARE(DNetTestEnv::Count("dnet_child"), size_t(1));
    QCOMPARE(DNetTestEnv::Count("dnet_child_depth"), size_t(1));
}

void tst_DNetLimits::readAheadBounded()
{
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    auto child = env.AddChild("big");
    QVERIFY(child);
    QTcpSocket* ours = DNetTestEnv::SocketOf(DNetTestEnv::Child("big"));
    // The child sends frames of the longest length while we are still busy with the first; the
    // socket goes on reading meanwhile, and only that.
    qint64 ahead = -1;
    int handled = 0;
    const auto busy = QObject::connect(
        LogHub::Instance(), &LogHub::LineLogged, [&](const QString&, const QString& line) {
            if (!line.endsWith("Received message from child, code 9") || ++handled > 1)
                return;
            const QSignalBlocker quiet(ours);
            const bool read = QTest::qWaitFor([&] {
                return ours->bytesAvailable() >= DNetManager::kReadAheadBytes ||
                       child->Socket()->bytesToWrite() == 0;
            });
            ahead = read ? ours->bytesAvailable() : -1;
        });
    QByteArray body(int(DNetManager::kMaxFrameLength), 'z');
    body[0] = 9;
    for (int i = 0; i < 8; ++i)
        child->SendFrame(body);
    QTRY_COMPARE_WITH_TIMEOUT(handled, 8, 30000);
    QObject::disconnect(busy);
    QCOMPARE(ahead, DNetManager::kReadAheadBytes);
}

QTEST_GUILESS_MAIN(tst_DNetLimits)
#include "tst_dnetlimits.moc"

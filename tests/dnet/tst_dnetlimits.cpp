// What parties of the tree can cost us, whatever they send: the server naming ourselves or
// hundreds of candidates that never search, peers connecting as children under our own name,
// our parent's or past the number we keep, and a child reporting its depth without end.

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

// How many relayed connection requests (code 18) the client sent since the last look.
int ConnectionRequests(DNetTestEnv& env)
{
    if (!env.Sync())
        return -1;
    env.server().GetOwnPrivilegesStatus();
    int requests = 0;
    for (;;) {
        QByteArray rest;
        const qint64 code = env.fake().nextMessage(&rest);
        if (code < 0)
            return -1;
        if (code == ServerCode::OwnPrivileges && rest.isEmpty())
            return requests;
        if (code == ServerCode::ConnectToPeer)
            ++requests;
    }
}

// A peer that connects as a child under name; returns once the client has dealt with it.
std::unique_ptr<FakePeer> Knock(DNetTestEnv& env, const QByteArray& name, DNetLog& log)
{
    auto peer = std::make_unique<FakePeer>();
    const qsizetype before = log.lines.filter("Child connection accepted from").size();
    if (!peer->ConnectTo(env.peer().ListeningPort()))
        return nullptr;
    peer->SendInit(name, "D");
    if (!QTest::qWaitFor(
            [&] { return log.lines.filter("Child connection accepted from").size() > before; }))
        return nullptr;
    return peer;
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
    QTest::addColumn<bool>("ourPort"); // the entry names our own listening port
    QTest::addColumn<bool>("skipped");
    QTest::newRow("our name") << QByteArray("alice") << false << true;
    QTest::newRow("our address and port") << QByteArray("mirror") << true << true;
    QTest::newRow("another name and port") << QByteArray("bob") << false << false;
}

void tst_DNetLimits::ourselvesNeverAParent()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, ourPort);
    QFETCH(bool, skipped);
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    QSignalSpy searches(&env.dnet(), &DNetManager::DNetSearchRequest);
    DNetLog log;
    FakePeer other;
    const quint16 port = ourPort ? env.peer().ListeningPort() : other.Listen();
    env.NameParents({{name.constData(), port}});
    QCOMPARE(ConnectionRequests(env), skipped ? 0 : 1);
    QCOMPARE(log.Has("   Not attempting parent connection to " + name + ": that is ourselves"),
             skipped);
    if (!skipped) {
        QVERIFY(other.WaitForConnection());
        QTRY_COMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(1));
        return;
    }

    // A search from the server reaches no child, so none comes back to us as from a parent.
    env.fake().sendMessage(ServerCode::DNetMessage, kSearch);
    QVERIFY(env.Sync());
    QCOMPARE(other.AcceptedCount(), 0);
    QCOMPARE(searches.count(), 1);
    QCOMPARE(DNetTestEnv::Count("dnet_parent_candidate") + DNetTestEnv::Count("dnet_child"),
             size_t(0));
    QVERIFY(!DNetTestEnv::HasGlobal("dnet_parent_user"));
    QVERIFY(!DNetTestEnv::User(name.toStdString()).IsConnected("attempted_dnet_connection"));
}

void tst_DNetLimits::childrenRefused_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("children"); // already there, "kid0" and on
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("line");
    const int cap = DNetManager::kMaxChildren;
    QTest::newRow("our name") << QByteArray("alice") << 1 << true
                              << "   Rejecting, that is ourselves";
    QTest::newRow("our parent") << QByteArray("mom") << 1 << true
                                << "   Rejecting, that is our parent";
    QTest::newRow("past the cap") << QByteArray("newbie") << cap << true
                                  << QString("   Rejecting, already have %1 children").arg(cap);
    QTest::newRow("up to the cap") << QByteArray("newbie") << cap - 1 << false << QString();
    QTest::newRow("a child again, at the cap")
        << QByteArray("kid0") << cap << false
        << "   Child connection already found, closing old connection.";
}

void tst_DNetLimits::childrenRefused()
{
    QFETCH(QByteArray, name);
    QFETCH(int, children);
    QFETCH(bool, refused);
    QFETCH(QString, line);
    DNetTestEnv env;
    QVERIFY(env.logIn());
    auto mom = env.AddParent("mom");
    QVERIFY(mom);
    std::vector<std::unique_ptr<FakePeer>> kids;
    for (int i = 0; i < children; ++i) {
        kids.push_back(env.AddChild("kid" + QByteArray::number(i)));
        QVERIFY(kids.back());
    }
    const bool again = !refused && d.GetType("user")->HasItem(Value(name.toStdString()));
    const size_t users = DNetTestEnv::Count("user");
    DNetLog log;

    auto peer = Knock(env, name, log);
    QVERIFY(peer);
    if (!line.isEmpty())
        QVERIFY2(log.Has(line), qPrintable(log.lines.join('\n')));
    QCOMPARE(DNetTestEnv::Count("dnet_child"), size_t(children + (refused || again ? 0 : 1)));
    // A name refused leaves nothing behind.
    QCOMPARE(DNetTestEnv::Count("user"), users + (refused || again ? 0 : 1));
    if (refused)
        QVERIFY(peer->WaitForDisconnected());
    if (again)
        QVERIFY(kids.front()->WaitForDisconnected());

    // Searches from the parent reach the children we keep, never the parent itself.
    const QByteArray search = FakePeer::Frame(kSearch);
    mom->SendFrame(kSearch);
    QTRY_VERIFY(kids.back()->Pending().endsWith(search));
    if (!refused)
        QTRY_VERIFY(peer->Pending().endsWith(search));
    QVERIFY(env.Sync());
    QCOMPARE(mom->Pending(), QByteArray());
    if (refused)
        QCOMPARE(peer->Pending(), QByteArray());
}

void tst_DNetLimits::adoptedChildLeavesTheChildren()
{
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    auto kid = env.AddChild("kid");
    auto tot = env.AddChild("tot");
    QVERIFY(kid && tot);
    auto candidate = env.AddCandidate("kid");
    QVERIFY(candidate);
    DNetLog log;
    candidate->SendFrame(kSearch);
    QTRY_VERIFY(DNetTestEnv::HasGlobal("dnet_parent_user"));
    QVERIFY(log.Has("   Parent candidate kid is our child, closing the child connection"));
    QVERIFY(kid->WaitForDisconnected());
    QCOMPARE(DNetTestEnv::Count("dnet_child"), size_t(1));
    // The search goes on to the child left, and not back up to the new parent.
    QTRY_VERIFY(tot->Pending().endsWith(FakePeer::Frame(kSearch)));
    QVERIFY(env.Sync());
    QCOMPARE(candidate->Pending(), QByteArray());
    QVERIFY(candidate->IsConnected());
}

void tst_DNetLimits::candidatesTriedFewAtATime_data()
{
    QTest::addColumn<int>("seconds"); // from the candidates' connecting to the second list
    QTest::addColumn<int>("waiting"); // candidates then
    const int cap = DNetManager::kMaxCandidates;
    const int timeout = int(DNetManager::kCandidateTimeoutMs / 1000);
    QTest::newRow("within the time-out") << timeout - 2 << cap;
    QTest::newRow("past the time-out") << timeout + 1 << 0;
}

void tst_DNetLimits::candidatesTriedFewAtATime()
{
    QFETCH(int, seconds);
    QFETCH(int, waiting);
    const int cap = DNetManager::kMaxCandidates;
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    DNetLog log;
    // Every candidate answers and then never sends a search.
    FakePeer stalling;
    NameMany(env.fake(), "p", 500, stalling.Listen());
    QCOMPARE(ConnectionRequests(env), cap);
    QTRY_COMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(cap));
    QCOMPARE(stalling.AcceptedCount(), cap);
    QVERIFY(log.Has(QString("   Already trying %1 parent candidates, dropping the other %2 entries")
                        .arg(cap)
                        .arg(500 - cap)));
    // The rest of the list left nothing behind.
    QVERIFY(!d.GetType("user")->HasItem(Value("p" + std::to_string(cap))));

    Clock::Shift(seconds);
    env.fireHalfMinute();
    QCOMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(waiting));
    QCOMPARE(log.lines.filter("sent no search in").size(), cap - waiting);

    // A second list tries only where there is room.
    NameMany(env.fake(), "q", 500, stalling.Listen());
    QCOMPARE(ConnectionRequests(env), cap - waiting);
    QTRY_COMPARE(DNetTestEnv::Count("dnet_parent_candidate"), size_t(cap));
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
    constexpr int kReports = 40000;
    DNetTestEnv env;
    QVERIFY(env.LoggedIn());
    auto steady = env.AddChild("steady", FakePeer::Frame(WireWriter().u8(7).i32(5)));
    QVERIFY(steady);
    QTRY_COMPARE(DNetTestEnv::Global("dnet_child_depth"), std::string("6"));
    auto busy = env.AddChild("busy");
    QVERIFY(busy);

    DNetLog log;
    QByteArray reports;
    for (int i = 0; i < kReports; ++i)
        reports += FakePeer::Frame(WireWriter().u8(7).i32(first + i * step));
    busy->SendRaw(reports);
    QTRY_VERIFY_WITH_TIMEOUT(log.lines.filter("Received child depth").size() == kReports, 60000);
    QCOMPARE(DNetTestEnv::Global("dnet_child_depth"), depth.toStdString());
    // Each report replaced the child's last one: no depth is kept that no child reports now.
    QCOMPARE(DNetTestEnv::Count("dnet_child_depth"), size_t(depthItems));

    // A child that goes takes its depth along, unless another reports it too.
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
    // The child sends frames of the longest length while we are still busy with the first.
    constexpr int kFrames = 8;
    qint64 ahead = -1;
    int handled = 0;
    const auto busy = QObject::connect(
        LogHub::Instance(), &LogHub::LineLogged, [&](const QString&, const QString& line) {
            if (!line.endsWith("Received message from child, code 9") || ++handled > 1)
                return;
            // The socket goes on reading meanwhile, and only that.
            const QSignalBlocker quiet(ours);
            const bool read = QTest::qWaitFor([&] {
                return ours->bytesAvailable() >= DNetManager::kReadAheadBytes ||
                       child->Socket()->bytesToWrite() == 0;
            });
            ahead = read ? ours->bytesAvailable() : -1;
        });
    QByteArray body(int(DNetManager::kMaxFrameLength), 'z');
    body[0] = 9;
    for (int i = 0; i < kFrames; ++i)
        child->SendFrame(body);
    // Held back beyond the limit, and all taken in the end.
    QTRY_COMPARE_WITH_TIMEOUT(handled, kFrames, 30000);
    QObject::disconnect(busy);
    QCOMPARE(ahead, DNetManager::kReadAheadBytes);
    QVERIFY(child->IsConnected());
}

QTEST_GUILESS_MAIN(tst_DNetLimits)
#include "tst_dnetlimits.moc"

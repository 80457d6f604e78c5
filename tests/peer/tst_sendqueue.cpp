#include "PeerTestEnv.h"

#include "peer/PeerMessages.h"
#include "store/Random.h"
#include "support/HeapUse.h"

namespace {

void GiveAddress(const std::string& user, quint16 port)
{
    ItemPtr u = PeerTestEnv::User(user);
    u += d.GetType("user_address")->GetItem(Value(unsigned(0x7f000001)));
    u += d.GetType("user_port")->GetItem(Value(int(port)));
    u += d.GetType("user_obfuscated_port")->GetItem(Value(0));
}

ItemList Unsent()
{
    return d.GetType("unsent_message")->GetItems().SortNumericBy("send_order", true);
}

} // namespace

// Sending to a user: over the newest messaging connection, or queued until one opens.
class tst_SendQueue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void queuedMessagesFlushedInOrder();
    void queuedMessageKeepsItsBytes();
    void queueFlushedWhenPeerConnects();
    void sendOrderRisesAcrossUsers();
    void queuedMessageExpires_data();
    void queuedMessageExpires();
    void queueIsBounded();
    void sentAtOnceWhenConnected_data();
    void sentAtOnceWhenConnected();
    void newestConnectionChosen();
    void peerThatNeverReads_data();
    void peerThatNeverReads();
};

void tst_SendQueue::queuedMessagesFlushedInOrder()
{
    PeerTestEnv env;
    FakePeer bob;
    GiveAddress("bob", bob.Listen());
    PeerTestEnv::SetSetting("username", "alice");

    const QList<QByteArray> fields = {Hex(""), Hex("03000000 616263"), Hex("01000000 0a000000")};
    const QList<quint32> codes = {4, 43, 36};
    for (int i = 0; i < 3; ++i) {
        MemStream m = Message(codes[i], fields[i]);
        env.peer().SendMessage("bob", m);
    }
    // Queued, each with its place, and only one connection asked for.
    const ItemList queued = Unsent();
    QCOMPARE(queued.size(), size_t(3));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(ItemPtr(queued[i])["send_order"].AsInt(), i);
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request"), size_t(1));

    QVERIFY(bob.WaitForConnection());
    QByteArray body;
    QVERIFY(bob.WaitForFrame(&body));
    QCOMPARE(body, FakePeer::InitBody("alice", "P"));
    for (int i = 0; i < 3; ++i) {
        QVERIFY(bob.WaitForFrame(&body));
        QCOMPARE(body.toHex(), (FakePeer::U32(codes[i]) + fields[i]).toHex());
    }
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(0));
    QCOMPARE(bob.Pending(), QByteArray());
}

void tst_SendQueue::queuedMessageKeepsItsBytes()
{
    PeerTestEnv env;
    MemStream m = Message(43, Hex("01000000"));
    env.peer().SendMessage("bob", m);
    // The caller reuses its stream at once, and a copy of it shares its buffer.
    MemStream alias = m;
    m.Reset();
    m.Write(quint32(36));
    m.Write(quint32(0xffffffff));
    env.peer().SendMessage("bob", m);
    alias.Reset();
    alias.Write(quint32(0));

    auto peer = env.DialMessaging(false);
    QVERIFY(peer);
    QByteArray body;
    QVERIFY(peer->WaitForFrame(&body));
    QCOMPARE(body.toHex(), Hex("2b000000 01000000").toHex());
    QVERIFY(peer->WaitForFrame(&body));
    QCOMPARE(body.toHex(), Hex("24000000 ffffffff").toHex());
}

void tst_SendQueue::queueFlushedWhenPeerConnects()
{
    PeerTestEnv env;
    // More than ten, so that "10" must come after "9".
    constexpr quint32 kCount = 12;
    for (quint32 i = 0; i < kCount; ++i) {
        MemStream m = Message(43, FakePeer::U32(i));
        env.peer().SendMessage("bob", m);
    }
    // Bob calls first: the queue goes out over his connection, in order.
    auto peer = env.DialMessaging(true);
    QVERIFY(peer);
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(0));
    QByteArray body;
    for (quint32 i = 0; i < kCount; ++i) {
        QVERIFY(peer->WaitForFrame(&body));
        QCOMPARE(body.toHex(), (FakePeer::U32(43) + FakePeer::U32(i)).toHex());
    }
}

void tst_SendQueue::sendOrderRisesAcrossUsers()
{
    PeerTestEnv env;
    MemStream a = Message(4);
    MemStream b = Message(4);
    env.peer().SendMessage("bob", a);
    env.peer().SendMessage("carol", b);
    QCOMPARE(ItemPtr(d.GetType("user")->GetItem(Value("bob"))["unsent_message"])["send_order"]
                 .AsString(),
             std::string("0"));
    QCOMPARE(ItemPtr(d.GetType("user")->GetItem(Value("carol"))["unsent_message"])["send_order"]
                 .AsString(),
             std::string("1"));
}

void tst_SendQueue::queuedMessageExpires_data()
{
    QTest::addColumn<qint64>("wallClockMove");
    QTest::newRow("clock steady") << qint64(0);
    QTest::newRow("clock set forward an hour") << qint64(3600);
    QTest::newRow("clock set back an hour") << qint64(-3600);
}

void tst_SendQueue::queuedMessageExpires()
{
    QFETCH(qint64, wallClockMove);
    PeerTestEnv env;
    MemStream m = Message(4);
    env.peer().SendMessage("bob", m);
    ItemPtr queued = d.GetType("unsent_message")->GetItems().First();
    QVERIFY(PeerTestEnv::IsStoredNow(queued, "send_time"));
    // Five minutes are five minutes whatever the wall clock did meanwhile.
    PeerTestEnv::MoveWallClock(queued, "send_time", wallClockMove);
    Clock::Shift(299);
    env.fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(1));
    Clock::Shift(1);
    env.fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(0));
}

void tst_SendQueue::queueIsBounded()
{
    PeerTestEnv env;
    PeerLog log;
    const int limit = PeerMessenger::kMaxUnsentMessagesPerUser;
    for (int i = 0; i <= limit; ++i) {
        MemStream m = Message(43, FakePeer::U32(quint32(i)));
        env.peer().SendMessage("bob", m);
    }
    const ItemList queued = Unsent();
    QCOMPARE(queued.size(), size_t(limit));
    // The oldest went; the newest is kept.
    QCOMPARE(ItemPtr(queued.front())["send_order"].AsInt(), 1);
    QCOMPARE(ItemPtr(queued.back())["send_order"].AsInt(), limit);
    QVERIFY(log.Has("Too many unsent messages to user bob, dropping the oldest (8 bytes)"));

    // Bytes count too: three large messages are more than a queue may hold.
    const QByteArray big(int(PeerMessenger::kMaxUnsentBytesPerUser / 3 + 1), 'b');
    for (int i = 0; i < 3; ++i) {
        MemStream m = Message(4, big);
        env.peer().SendMessage("carol", m);
    }
    QCOMPARE(PeerTestEnv::User("carol").GetItems("unsent_message").size(), size_t(2));
}

void tst_SendQueue::sentAtOnceWhenConnected_data()
{
    QTest::addColumn<bool>("obfuscated");
    QTest::newRow("plain") << false;
    QTest::newRow("scrambled") << true;
}

void tst_SendQueue::sentAtOnceWhenConnected()
{
    QFETCH(bool, obfuscated);
    PeerTestEnv env;
    auto peer = env.DialMessaging(obfuscated);
    QVERIFY(peer);
    // Each key byte is one draw taken modulo 256, the first draw the most significant byte.
    const quint32 draws[] = {0x712, 0x734, 0x756, 0x778};
    int draw = 0;
    SetRandomSource([&draw, &draws] { return draws[draw++ % 4]; });
    MemStream m = Message(4);
    env.peer().SendMessage("bob", m);
    SetRandomSource({});

    QByteArray raw;
    QVERIFY(peer->WaitForRaw(obfuscated ? 12 : 8, &raw));
    QCOMPARE(raw.toHex(), obfuscated ? Hex("78563412 f4ac6824 e459d148").toHex()
                                     : Hex("04000000 04000000").toHex());
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(0));
}

void tst_SendQueue::newestConnectionChosen()
{
    PeerTestEnv env;
    PeerLog log;
    auto older = env.DialMessaging(false);
    QVERIFY(older);
    Clock::Shift(1);
    auto newer = env.DialMessaging(false);
    QVERIFY(newer);
    auto other = env.DialMessaging(false, "carol");
    QVERIFY(other);

    MemStream m = Message(4);
    env.peer().SendMessage("bob", m);
    QByteArray body;
    QVERIFY(newer->WaitForFrame(&body));
    QCOMPARE(body, Hex("04000000"));
    QVERIFY(log.Has("   Found 2 existing messaging connections to user, picking latest"));
    QTest::qWait(20);
    QCOMPARE(older->Pending(), QByteArray());
    QCOMPARE(other->Pending(), QByteArray());
}

void tst_SendQueue::peerThatNeverReads_data()
{
    // Messages of one size on the wire (length field and key included), then one of another.
    QTest::addColumn<bool>("scrambled");
    QTest::addColumn<int>("count");
    QTest::addColumn<qint64>("frame");
    QTest::addColumn<qint64>("last"); // 0: none
    QTest::addColumn<bool>("closed");
    // Answers to one peer keep within its address's part of what may wait to go.
    constexpr qint64 kMiB = 1024 * 1024;
    static_assert(SendBudget::kMaxBytesPerAddress == 16 * kMiB, "rows fill 16 MiB");
    QTest::newRow("up to the cap") << false << 16 << kMiB << qint64(0) << false;
    QTest::newRow("past the cap") << false << 16 << kMiB << qint64(8) << true;
    QTest::newRow("scrambled, up to the cap") << true << 15 << kMiB << kMiB << false;
    QTest::newRow("scrambled, past the cap") << true << 15 << kMiB << kMiB + 4 << true;
    // Nothing waits before it: a large reply still goes.
    QTest::newRow("large message, idle connection")
        << false << 1 << 33 * kMiB << qint64(0) << false;
    QTest::newRow("40,000 search replies") << false << 40000 << qint64(1512) << qint64(0) << true;
}

void tst_SendQueue::peerThatNeverReads()
{
    QFETCH(bool, scrambled);
    QFETCH(int, count);
    QFETCH(qint64, frame);
    QFETCH(qint64, last);
    QFETCH(bool, closed);
    PeerTestEnv env;
    // Nothing runs the event loop while the messages go, so nothing leaves our buffer.
    auto peer = env.DialMessaging(scrambled, "slow");
    QVERIFY(peer);
    QStringList closings;
    const auto capture = connect(LogHub::Instance(), &LogHub::LineLogged, this,
                                 [&closings](const QString&, const QString& line) {
                                     if (line.contains("bytes unread"))
                                         closings << line.mid(line.indexOf("] ") + 2);
                                 });
    const qint64 heap = HeapInUse();
    qint64 waiting = 0;
    qint64 size = 0;
    for (int i = 0; i < count + (last ? 1 : 0) && PeerTestEnv::Count("peer_socket"); ++i) {
        size = i < count ? frame : last;
        waiting = env.peer().BytesQueuedTo("slow");
        MemStream m =
            Message(PM_FILE_SEARCH_RESULT, QByteArray(int(size - 8 - 4 * scrambled), 'r'));
        env.peer().SendMessage("slow", m);
    }
    disconnect(capture);
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(!closed));
    if (!closed) {
        QCOMPARE(env.peer().BytesQueuedTo("slow"), count * frame + last);
        return;
    }
    // Closed by the message that would have taken it past the cap, which goes too, and what
    // waited for the peer is given back at once.
    QVERIFY(waiting <= SendBudget::kMaxBytesPerAddress);
    QVERIFY(waiting + size > SendBudget::kMaxBytesPerAddress);
    QCOMPARE(closings, QStringList{QString("User slow has left %1 bytes unread, closing the "
                                           "connection and dropping the message")
                                       .arg(waiting)});
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(0));
    QVERIFY(HeapInUse() - heap < 1024 * 1024);
    QVERIFY(peer->WaitForDisconnected());
}

QTEST_GUILESS_MAIN(tst_SendQueue)
#include "tst_sendqueue.moc"

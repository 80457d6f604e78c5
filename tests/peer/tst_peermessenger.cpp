#include "PeerTestEnv.h"

#include "store/TurnBudget.h"

#include <QHostAddress>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The peer connection manager with real sockets on 127.0.0.1: ports, accepting, first frames,
// hand-overs, disposal and the half-minute sweeps.
class tst_PeerMessenger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void defaultPorts();
    void defaultPortsForKeysWithoutValue();
    void newListeningPort();
    void newListeningPortWithoutValue();
    void acceptedSocketIsUninitialized_data();
    void acceptedSocketIsUninitialized();
    void initFrameMakesPeerSocket_data();
    void initFrameMakesPeerSocket();
    void fileConnectionTokenInSamePass_data();
    void fileConnectionTokenInSamePass();
    void fileConnectionWithoutTokenClosed();
    void dnetConnectionHandedOver();
    void unknownTypeFails();
    void failedFirstFramesMakeNoUsers_data();
    void failedFirstFramesMakeNoUsers();
    void pierceWithUnknownToken();
    void frameLengthLimit_data();
    void frameLengthLimit();
    void laterFramesKeepConnectionOpen();
    void idlePeerSocketSweep();
    void idleSocketThatCannotCloseIsCutOff();
    void replyGoingOutKeepsItsConnection_data();
    void replyGoingOutKeepsItsConnection();
    void silentAcceptedSocketClosed();
    void uninitializedSocketsAreCapped_data();
    void uninitializedSocketsAreCapped();
    void messagingConnectionsAreCapped_data();
    void messagingConnectionsAreCapped();
    void disposingUnknownSocket();
    void peerSocketItemRemovalFreesActivity();
    void shutdownIgnoresClosings();
};

void tst_PeerMessenger::initTestCase()
{
    TurnBudget::SetStepsPerSliceForTesting(TurnBudget::kAtOnceForTesting);
}

void tst_PeerMessenger::defaultPorts()
{
    PeerTestEnv env;
    QCOMPARE(PeerTestEnv::Setting("listening_port"), std::string("2235"));
    QCOMPARE(PeerTestEnv::Setting("obfuscated_listening_port"), std::string("2236"));
    QVERIFY(env.peer().ListeningPort() != 0);
    QVERIFY(env.peer().ObfuscatedListeningPort() != 0);
}

void tst_PeerMessenger::defaultPortsForKeysWithoutValue()
{
    PeerTestEnv env(false);
    d.GetType("global")->GetItem(Value("listening_port"));
    PeerTestEnv::SetSetting("obfuscated_listening_port", "5001");
    env.LoadData();
    QCOMPARE(PeerTestEnv::Setting("listening_port"), std::string("2235"));
    QCOMPARE(PeerTestEnv::Setting("obfuscated_listening_port"), std::string("5001"));
}

void tst_PeerMessenger::newListeningPort()
{
    PeerTestEnv env(false);
    PeerTestEnv::SetSetting("listening_port", "3000");
    PeerTestEnv::SetSetting("obfuscated_listening_port", "3001");
    PeerTestEnv::SetSetting("new_listening_port", "4000");
    env.LoadData();
    QCOMPARE(PeerTestEnv::Setting("listening_port"), std::string("4000"));
    QCOMPARE(PeerTestEnv::Setting("obfuscated_listening_port"), std::string("4001"));
    QVERIFY(!d.GetType("global")->HasItem(Value("new_listening_port")));
}

void tst_PeerMessenger::newListeningPortWithoutValue()
{
    PeerTestEnv env(false);
    d.GetType("global")->GetItem(Value("new_listening_port"));
    env.LoadData();
    QCOMPARE(PeerTestEnv::Setting("listening_port"), std::string("2235"));
    QVERIFY(d.GetType("global")->HasItem(Value("new_listening_port")));
}

void tst_PeerMessenger::acceptedSocketIsUninitialized_data()
{
    QTest::addColumn<bool>("obfuscated");
    QTest::newRow("plain port") << false;
    QTest::newRow("scrambled port") << true;
}

void tst_PeerMessenger::acceptedSocketIsUninitialized()
{
    QFETCH(bool, obfuscated);
    PeerTestEnv env;
    auto peer = env.Dial(obfuscated);
    QVERIFY(peer);
    ItemPtr item = d.GetType("uninitialized_socket")->GetItems().First();
    QCOMPARE(item.IsConnected("is_obfuscated"), obfuscated);
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(0));
}

void tst_PeerMessenger::initFrameMakesPeerSocket_data()
{
    QTest::addColumn<bool>("obfuscated");
    QTest::newRow("plain port") << false;
    QTest::newRow("scrambled port") << true;
}

void tst_PeerMessenger::initFrameMakesPeerSocket()
{
    QFETCH(bool, obfuscated);
    PeerTestEnv env;
    PeerLog log;
    auto peer = env.Dial(obfuscated);
    QVERIFY(peer);
    const QByteArray frame = Hex("11000000 01 03000000 626f62 01000000 50 00000000");
    peer->SendRaw(obfuscated ? FakePeer::ScrambledFrame(frame.mid(4), 0x12345678) : frame);
    QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));

    ItemPtr socket = d.GetType("peer_socket")->GetItems().First();
    QCOMPARE(socket["user"].AsString(), std::string("bob"));
    QCOMPARE(socket.IsConnected("is_obfuscated"), obfuscated);
    QVERIFY(PeerTestEnv::IsStoredNow(socket, "connection_open_time"));
    QVERIFY(socket["last_activity_time"]);
    QCOMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(0));
    const QString t = obfuscated ? "obfuscated " : "";
    QVERIFY(log.Has(QString("Accepted %1messaging connection to user bob").arg(t)));
    QVERIFY(log.Has(QString("Peer %1connection of type P opened from user bob").arg(t)));
    QVERIFY(peer->IsConnected());
}

void tst_PeerMessenger::fileConnectionTokenInSamePass_data()
{
    QTest::addColumn<bool>("obfuscated");
    QTest::newRow("plain port") << false;
    QTest::newRow("scrambled port, raw token") << true;
}

void tst_PeerMessenger::fileConnectionTokenInSamePass()
{
    QFETCH(bool, obfuscated);
    PeerTestEnv env(true, false, false); // takes the "F" socket itself
    QSignalSpy requested(&env.peer(), &PeerMessenger::FileConnectionRequested);
    auto peer = env.Dial(obfuscated);
    QVERIFY(peer);
    const QByteArray body = FakePeer::InitBody("bob", "F");
    const QByteArray first =
        obfuscated ? FakePeer::ScrambledFrame(body, 0x0f0f1234) : FakePeer::Frame(body);
    // The token and the first bytes of file data come in the same segment as the first frame.
    peer->SendRaw(first + Hex("78563412") + "file");
    QVERIFY(requested.wait());
    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.at(0).at(0).value<std::string>(), std::string("bob"));
    QCOMPARE(requested.at(0).at(2).toUInt(), 0x12345678u);
    auto* s = requested.at(0).at(1).value<QTcpSocket*>();
    QVERIFY(s);
    QCOMPARE(s->parent(), nullptr);
    QVERIFY(!s->findChild<SocketReceiveState*>());
    QCOMPARE(s->bytesAvailable(), qint64(4)); // the file data stays for the new owner
    QCOMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(0));
    delete s;
}

void tst_PeerMessenger::fileConnectionWithoutTokenClosed()
{
    PeerTestEnv env;
    PeerLog log;
    QSignalSpy requested(&env.peer(), &PeerMessenger::FileConnectionRequested);
    auto peer = env.Dial(false);
    QVERIFY(peer);
    peer->SendInit("bob", "F");
    QTRY_VERIFY(log.Has("Accepted file connection to user bob"));
    // A peer that never sends its token does not keep the socket forever.
    Clock::Shift(59);
    env.fireHalfMinute();
    QVERIFY(peer->IsConnected());
    Clock::Shift(1);
    env.fireHalfMinute();
    QVERIFY(peer->WaitForDisconnected());
    QCOMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(0));
    QCOMPARE(requested.count(), 0);
}

void tst_PeerMessenger::dnetConnectionHandedOver()
{
    PeerTestEnv env;
    PeerLog log;
    QSignalSpy requested(&env.peer(), &PeerMessenger::DNetConnectionRequested);
    auto peer = env.Dial(false);
    QVERIFY(peer);
    peer->SendInit("carol", "D");
    QVERIFY(requested.wait());
    auto* s = requested.at(0).at(1).value<QTcpSocket*>();
    QCOMPARE(requested.at(0).at(0).value<std::string>(), std::string("carol"));
    QCOMPARE(s->parent(), nullptr);
    // Ours no more: its closing is not the manager's business.
    peer->Close();
    QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!log.Has("Disposing of socket"));
    delete s;
}

void tst_PeerMessenger::unknownTypeFails()
{
    PeerTestEnv env;
    PeerLog log;
    auto peer = env.Dial(true);
    QVERIFY(peer);
    peer->SendInit("bob", "X");
    QVERIFY(peer->WaitForDisconnected());
    QVERIFY(log.Has("Peer obfuscated connection of type X opened from user bob"));
    QVERIFY(log.Has("Failure initializing obfuscated peer connection, disposing of socket"));
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(0));
}

void tst_PeerMessenger::failedFirstFramesMakeNoUsers_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<int>("connections");
    QTest::newRow("unknown type") << QByteArray("X") << 300;
    // Neither is a messaging connection, and either may end before it is of any use.
    QTest::newRow("file, token never sent") << QByteArray("F") << 3;
    QTest::newRow("distributed network") << QByteArray("D") << 3;
}

void tst_PeerMessenger::failedFirstFramesMakeNoUsers()
{
    QFETCH(QByteArray, type);
    QFETCH(int, connections);
    PeerTestEnv env;
    PeerLog log;
    // Handed-over sockets are the receiver's to close.
    QObject::connect(&env.peer(), &PeerMessenger::DNetConnectionRequested,
                     [](std::string, QTcpSocket* socket) { socket->deleteLater(); });
    const size_t users = d.GetType("user")->ItemCount();
    for (int i = 0; i < connections; ++i) {
        FakePeer peer;
        QVERIFY(peer.ConnectTo(env.peer().ListeningPort()));
        const QByteArray name = "intruder" + QByteArray::number(i);
        peer.SendInit(name, type);
        QTRY_VERIFY(log.Has(QStringLiteral("Peer connection of type %1 opened from user %2")
                                .arg(QString::fromLatin1(type), QString::fromLatin1(name))));
    }
    QCOMPARE(d.GetType("user")->ItemCount(), users);
}

void tst_PeerMessenger::pierceWithUnknownToken()
{
    PeerTestEnv env;
    PeerLog log;
    auto peer = env.Dial(false);
    QVERIFY(peer);
    peer->SendPierce(424242);
    QVERIFY(peer->WaitForDisconnected());
    QVERIFY(log.Has("Req sent on indirect peer connection not found"));
    QVERIFY(log.Has("Failure initializing peer connection, disposing of socket"));
    for (const char* t : {"uninitialized_socket", "peer_socket", "peer_connection_request_socket",
                          "connect_to_peer_request_socket"})
        QCOMPARE(PeerTestEnv::Count(t), size_t(0));
}

void tst_PeerMessenger::frameLengthLimit_data()
{
    QTest::addColumn<bool>("obfuscated");
    QTest::addColumn<quint32>("length");
    QTest::addColumn<quint32>("code");
    QTest::addColumn<bool>("asked"); // bob's share list
    QTest::addColumn<bool>("accepted");
    const quint32 limit = kMaxPeerFrameLength;
    QTest::newRow("plain at limit") << false << limit << 4u << false << true;
    QTest::newRow("plain above") << false << limit + 1 << 4u << false << false;
    QTest::newRow("scrambled at limit") << true << limit << 4u << false << true;
    QTest::newRow("scrambled above") << true << limit + 1 << 4u << false << false;
    // Only a share list we asked for may be longer.
    QTest::newRow("asked share list above") << false << limit + 1 << 5u << true << true;
    QTest::newRow("unasked share list at limit") << false << limit << 5u << false << true;
    QTest::newRow("unasked share list above") << true << limit + 1 << 5u << false << false;
}

void tst_PeerMessenger::frameLengthLimit()
{
    QFETCH(bool, obfuscated);
    QFETCH(quint32, length);
    QFETCH(quint32, code);
    QFETCH(bool, asked);
    QFETCH(bool, accepted);
    PeerTestEnv env;
    auto peer = env.DialMessaging(obfuscated);
    QVERIFY(peer);
    auto* s = ItemPtr(d.GetType("peer_socket")->GetItems().First()).AsPointer<QTcpSocket>();
    QVERIFY(s);
    if (asked)
        env.peer().GetUserSharedFiles("bob");

    constexpr quint32 key = 0x77777777;
    QByteArray wire;
    if (accepted) {
        // Code 4 is a message the manager does not decode yet; a share list is a zlib stream,
        // and the reader stops at its end.
        QByteArray body = FakePeer::U32(code);
        if (code == 5)
            body += qCompress(WireWriter().u32(1).str("m").u32(0).u32(0), 9).mid(4);
        body += QByteArray(qsizetype(length) - body.size(), 'x');
        wire = obfuscated ? FakePeer::ScrambledFrame(body, key) : FakePeer::Frame(body);
    } else {
        // Only the header and the message code: the announced length (decoded, when scrambled)
        // decides, once the code is known.
        wire = obfuscated ? FakePeer::U32(key) + FakePeer::U32(length ^ BitRotateLeft(key)) +
                                FakePeer::U32(code ^ BitRotateLeft(BitRotateLeft(key)))
                          : FakePeer::U32(length) + FakePeer::U32(code);
    }
    peer->SendRaw(wire);
    if (!accepted) {
        QVERIFY(peer->WaitForDisconnected());
        QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(0));
        return;
    }
    // The whole body was read and handled: the reader waits for the next header.
    QTRY_VERIFY_WITH_TIMEOUT(s->findChild<SocketReceiveState*>() &&
                                 s->findChild<SocketReceiveState*>()->info.m_length == length &&
                                 !s->findChild<SocketReceiveState*>()->info.m_headerRead,
                             20000);
    QVERIFY(peer->IsConnected());
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));
    QCOMPARE(PeerTestEnv::Count("user_share_loaded"), size_t(asked ? 1 : 0));
}

void tst_PeerMessenger::laterFramesKeepConnectionOpen()
{
    PeerTestEnv env;
    auto peer = env.DialMessaging(false);
    QVERIFY(peer);
    // Two frames in one segment, then one split in pieces; none of them closes anything.
    peer->SendRaw(FakePeer::Frame(Hex("04000000")) + FakePeer::Frame(Hex("2b000000 00000000")));
    const QByteArray split = FakePeer::Frame(Hex("24000000 01000000 00000000"));
    for (char c : split)
        peer->SendRaw(QByteArray(1, c));
    QTRY_COMPARE(peer->Socket()->bytesToWrite(), qint64(0));
    QVERIFY(peer->IsConnected());
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));
}

void tst_PeerMessenger::idlePeerSocketSweep()
{
    PeerTestEnv env;
    PeerLog log;
    auto peer = env.DialMessaging(false);
    QVERIFY(peer);
    Clock::Shift(119);
    env.fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));
    QVERIFY(!log.Has("Peer connection to user bob expired, closing."));

    // A message received refreshes the activity time (one that asks for nothing: a reply owed
    // would keep the connection too)...
    auto* s = ItemPtr(d.GetType("peer_socket")->GetItems().First()).AsPointer<QTcpSocket>();
    peer->SendFrame(Hex("34000000"));
    // Handled once the reader has finished that 4-byte frame and waits for the next header.
    QTRY_VERIFY(s->findChild<SocketReceiveState*>() &&
                s->findChild<SocketReceiveState*>()->info.m_length == 4 &&
                !s->findChild<SocketReceiveState*>()->info.m_headerRead);
    Clock::Shift(60);
    env.fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));

    // ...and 120 s without one closes the connection.
    Clock::Shift(61);
    env.fireHalfMinute();
    QVERIFY(log.Has("Peer connection to user bob expired, closing."));
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("last_activity_time"), size_t(0));
    QVERIFY(peer->WaitForDisconnected());
}

void tst_PeerMessenger::idleSocketThatCannotCloseIsCutOff()
{
    PeerTestEnv env;
    PeerLog log;
    // A peer that introduces itself and then never reads: what we send piles up on our side.
    const int raw = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(raw >= 0);
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{raw};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(env.peer().ListeningPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(raw, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const QByteArray init = FakePeer::Frame(FakePeer::InitBody("bob", "P"));
    QCOMPARE(::send(raw, init.constData(), size_t(init.size()), 0), ssize_t(init.size()));
    QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));

    for (int i = 0; i < 16; ++i) {
        MemStream big = Message(4, QByteArray(1024 * 1024, 'x'));
        env.peer().SendMessage(std::string("bob"), big);
    }
    Clock::Shift(121);
    env.fireHalfMinute();
    QVERIFY(log.Has("Peer connection to user bob expired, closing."));
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(0));

    // The next message waits for a new connection instead of vanishing into the old one.
    MemStream next = Message(4);
    env.peer().SendMessage(std::string("bob"), next);
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(1));
    QVERIFY(!log.lines.filter("Error writing message to socket").size());
}

void tst_PeerMessenger::replyGoingOutKeepsItsConnection_data()
{
    // What the peer reads of a megabyte sent between two sweeps (none sent: -1, a reply owed
    // to it waiting its turn): while any of it leaves the host, or while it waits with all it
    // was sent read, its connection stays three minutes without a message from it (with
    // nothing sent or owed, idlePeerSocketSweep).
    QTest::addColumn<int>("reads");
    QTest::newRow("a reply going out") << 16384;
    QTest::newRow("a reply not read") << 0;
    QTest::newRow("a reply owed") << -1;
}

void tst_PeerMessenger::replyGoingOutKeepsItsConnection()
{
    QFETCH(int, reads);
    PeerTestEnv env;
    FakePeer bob;
    QVERIFY(bob.ConnectTo(env.peer().ListeningPort(), 5000, QHostAddress(0x7f000002), 8192));
    QObject::disconnect(bob.Socket(), &QTcpSocket::readyRead, nullptr, nullptr);
    bob.Socket()->setReadBufferSize(1);
    bob.SendInit("bob", "P");
    QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));
    ItemPtr(d.GetType("peer_socket")->GetItems().First())
        .AsPointer<QTcpSocket>()
        ->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
    if (reads >= 0)
        env.peer().SendMessage(std::string("bob"), Message(PM_NOTHING, QByteArray(1 << 20, 'x')));
    env.peer().SetReplyOwedHook([reads](const std::string&) { return reads < 0; });
    for (int sweep = 0; sweep <= 5; ++sweep) {
        if (sweep > 0 && reads > 0) {
            bob.Socket()->setReadBufferSize(reads);
            QTRY_COMPARE(bob.Socket()->bytesAvailable(), qint64(reads));
            bob.Socket()->read(reads);
            bob.Socket()->setReadBufferSize(1);
        }
        // What has left the host stands still once the peer's window is full.
        for (qint64 last = -1, still = 0; still < 3; QTest::qWait(10)) {
            const qint64 now = peerMessenger->BytesDepartedTo("bob");
            still = now == last ? still + 1 : 0;
            last = now;
        }
        Clock::Shift(30);
        env.fireHalfMinute();
    }
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(reads != 0 ? 1 : 0));
}

void tst_PeerMessenger::silentAcceptedSocketClosed()
{
    PeerTestEnv env;
    auto peer = env.Dial(false);
    QVERIFY(peer);
    // Half a frame: the socket now has receive state of its own.
    peer->SendRaw(Hex("11000000 01 0300"));
    auto* s =
        ItemPtr(d.GetType("uninitialized_socket")->GetItems().First()).AsPointer<QTcpSocket>();
    QVERIFY(s);
    QTRY_VERIFY(s->findChild<SocketReceiveState*>());
    ItemPtr item = d.GetType("uninitialized_socket")->GetItems().First();
    QVERIFY(PeerTestEnv::IsStoredNow(item, "socket_creation_time"));
    // The wall clock set forward does not cut the minute short.
    PeerTestEnv::MoveWallClock(item, "socket_creation_time", 3600);
    env.fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(1));

    Clock::Shift(59);
    env.fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(1));
    Clock::Shift(1);
    env.fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(0));
    // Its half-read frame went with it, before the socket object itself goes.
    QVERIFY(!s->findChild<SocketReceiveState*>());
    QVERIFY(peer->WaitForDisconnected());
}

void tst_PeerMessenger::disposingUnknownSocket()
{
    PeerTestEnv env;
    PeerLog log;
    auto* s = new QTcpSocket;
    QPointer<QTcpSocket> watch(s);
    env.peer().DisposeOfSocket(s);
    QVERIFY(log.Has("Disposing of socket"));
    QVERIFY(log.Has("   Socket not identified"));
    QTRY_VERIFY(watch.isNull()); // deletion was scheduled
}

void tst_PeerMessenger::peerSocketItemRemovalFreesActivity()
{
    PeerTestEnv env;
    auto* s = new QTcpSocket;
    ItemPtr item = d.GetType("peer_socket")->NewItem(Value(s));
    QCOMPARE(PeerTestEnv::Count("last_activity_time"), size_t(1));
    item.Remove();
    QCOMPARE(PeerTestEnv::Count("last_activity_time"), size_t(0));
    delete s;
}

void tst_PeerMessenger::shutdownIgnoresClosings()
{
    auto env = std::make_unique<PeerTestEnv>();
    auto peer = env->DialMessaging(false);
    QVERIFY(peer);
    auto other = env->Dial(true);
    QVERIFY(other);
    env.reset();
    QVERIFY(g_peerMessengerDeleted);
    QVERIFY(peer->WaitForDisconnected());
    QVERIFY(other->WaitForDisconnected());
}

void tst_PeerMessenger::uninitializedSocketsAreCapped_data()
{
    QTest::addColumn<int>("perAddress");
    QTest::addColumn<int>("addresses");
    // Every address of 127.0.0.0/8 reaches us, so each can stand for another peer.
    const int perAddress = PeerMessenger::kMaxPeerSocketsPerAddress;
    const int all = PeerMessenger::kMaxUninitializedSockets;
    QTest::newRow("from one address") << perAddress << 1;
    QTest::newRow("in all, one from each address") << 1 << all;
}

void tst_PeerMessenger::uninitializedSocketsAreCapped()
{
    QFETCH(int, perAddress);
    QFETCH(int, addresses);
    PeerTestEnv env;
    PeerLog log;
    const auto from = [](int n) { return QHostAddress(quint32(0x7f000101u + quint32(n))); };
    std::vector<std::unique_ptr<FakePeer>> silent;
    for (int a = 0; a < addresses; ++a) {
        for (int i = 0; i < perAddress; ++i) {
            auto peer = std::make_unique<FakePeer>();
            QVERIFY(peer->ConnectTo(env.peer().ListeningPort(), 5000, from(a)));
            silent.push_back(std::move(peer));
        }
    }
    QTRY_COMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(perAddress * addresses));

    // One more from the last address (past the cap for one address) or from a new one (past the
    // cap in all, no address holding more than another) is closed at once.
    const int next = addresses == 1 ? 0 : addresses;
    FakePeer refused;
    QVERIFY(refused.ConnectTo(env.peer().ListeningPort(), 5000, from(next)));
    QVERIFY(refused.WaitForDisconnected());
    QCOMPARE(log.lines.filter("Not taking a connection from").size(), 1);
    QCOMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(perAddress * addresses));
    if (addresses == 1) {
        FakePeer other;
        QVERIFY(other.ConnectTo(env.peer().ListeningPort(), 5000, from(1)));
        QTRY_COMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(perAddress + 1));
    }

    // Once the silent ones are gone, the same address is welcome again.
    Clock::Shift(61);
    env.fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(0));
    FakePeer again;
    QVERIFY(again.ConnectTo(env.peer().ListeningPort(), 5000, from(next)));
    again.SendInit("bob", "P");
    QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));
}

void tst_PeerMessenger::messagingConnectionsAreCapped_data()
{
    QTest::addColumn<int>("addresses");
    QTest::addColumn<int>("perAddress"); // messaging connections from each
    const int perAddress = PeerMessenger::kMaxPeerSocketsPerAddress;
    const int all = PeerMessenger::kMaxPeerSockets;
    QTest::newRow("from one address") << 1 << perAddress;
    QTest::newRow("in all, one from each address") << all << 1;
}

void tst_PeerMessenger::messagingConnectionsAreCapped()
{
    QFETCH(int, addresses);
    QFETCH(int, perAddress);
    PeerTestEnv env;
    PeerLog log;
    // Someone we knew before the connections came.
    PeerTestEnv::User("u0") += d.GetType("country_code")->GetItem(Value("NL"));
    const size_t users = PeerTestEnv::Count("user");
    std::vector<std::unique_ptr<FakePeer>> peers;
    const auto introduce = [&](int address, const QByteArray& user) {
        auto& peer = peers.emplace_back(std::make_unique<FakePeer>());
        const QHostAddress from(quint32(0x7f000101u + quint32(address)));
        peer->ConnectTo(env.peer().ListeningPort(), 5000, from);
        peer->SendInit(user, "P");
    };
    for (int i = 0; i < addresses * perAddress; ++i) {
        introduce(i / perAddress, "u" + QByteArray::number(i));
        QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(i + 1));
    }
    QCOMPARE(PeerTestEnv::Count("user"), users + size_t(addresses * perAddress) - 1);

    // One more from the last address (past the cap for one address) or from a new one (past the
    // cap in all, no address holding more than another) is closed, and its name leaves no user
    // behind.
    introduce(addresses == 1 ? 0 : addresses, "stranger");
    QVERIFY(peers.back()->WaitForDisconnected());
    QCOMPARE(log.lines.filter("Not taking a connection from").size(), 1);
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(addresses * perAddress));
    QVERIFY(!d.GetType("user")->HasItem(Value("stranger")));

    // Gone idle, the connections take the users they made along; the one known before stays.
    Clock::Shift(121);
    env.fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("user"), users);
    QVERIFY(d.GetType("user")->HasItem(Value("u0")));
}

QTEST_GUILESS_MAIN(tst_PeerMessenger)
#include "tst_peermessenger.moc"

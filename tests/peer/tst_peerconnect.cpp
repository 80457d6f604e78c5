#include "PeerTestEnv.h"

#include <QTcpServer>

namespace {

constexpr quint32 kLoopback = 0x7f000001;

// A port on 127.0.0.1 where nothing listens.
quint16 ClosedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// Rows for the two connection types that leave the manager once set up.
void AddHandedOverTypeRows()
{
    QTest::addColumn<QByteArray>("type");
    QTest::newRow("file") << QByteArray("F");
    QTest::newRow("distributed network") << QByteArray("D");
}

// Rows for the port a peer is reached on.
void AddPortRows()
{
    QTest::addColumn<bool>("obfuscated");
    QTest::newRow("plain port") << false;
    QTest::newRow("scrambled port") << true;
}

// Waits until a socket to bob of the type was handed over: once, by that type's signal alone,
// and no longer a child of the manager. *socket is that socket once all of this holds.
void TakeHandedOver(QSignalSpy& fileAccepted, QSignalSpy& dnetAccepted, const QByteArray& type,
                    QTcpSocket** socket)
{
    QSignalSpy& accepted = type == "F" ? fileAccepted : dnetAccepted;
    QTRY_COMPARE(accepted.count(), 1);
    QCOMPARE(fileAccepted.count() + dnetAccepted.count(), 1);
    QCOMPARE(accepted.at(0).at(0).value<std::string>(), std::string("bob"));
    auto* s = accepted.at(0).at(1).value<QTcpSocket*>();
    QCOMPARE(s->parent(), nullptr);
    *socket = s;
}

} // namespace

// Setting up connections to users: direct and relayed at once, answering relayed requests,
// giving up, and the listening ports told to the server.
class tst_PeerConnect : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void waitPortAfterLogin();
    void secondAttemptNotRepeated();
    void differentTypeIsIndependent();
    void addressRequestThenInitFrame_data();
    void addressRequestThenInitFrame();
    void zeroAddressSkipsDirectAttempt_data();
    void zeroAddressSkipsDirectAttempt();
    void pierceAnswersOurRequest();
    void pierceHandsOverSocket_data();
    void pierceHandsOverSocket();
    void directConnectionHandedOver_data();
    void directConnectionHandedOver();
    void relayedRequestAnsweredWithPierce_data();
    void relayedRequestAnsweredWithPierce();
    void relayedFileRequestTakesToken();
    void relayedDNetSocketLeavesForGood();
    void relayedRequestToClosedPortReported();
    void relayedRequestUsesItsOwnAddress();
    void bothPathsFailedReportedOnce_data();
    void bothPathsFailedReportedOnce();
    void directAttemptKeepsToTheCap_data();
    void directAttemptKeepsToTheCap();
    void strangersMakeRoom_data();
    void strangersMakeRoom();
    void strangersAskingKeepToTheirShare_data();
    void strangersAskingKeepToTheirShare();
    void attemptExpires_data();
    void attemptExpires();
    void timedOutDirectSocketAborted();
    void retryFromFailureReport();
    void socketWithoutReceiverClosed_data();
    void socketWithoutReceiverClosed();
};

void tst_PeerConnect::waitPortAfterLogin()
{
    PeerTestEnv env;
    QVERIFY(env.logIn());
    // The ports the system picked for the loopback listeners, not the configured 2235 and 2236.
    QVERIFY(env.peer().ListeningPort() != 0);
    QVERIFY(env.peer().ObfuscatedListeningPort() != 0);
    QCOMPARE(env.fake().nextFrame(), WireWriter()
                                         .u32(2)
                                         .u32(env.peer().ListeningPort())
                                         .u32(1)
                                         .u32(env.peer().ObfuscatedListeningPort())
                                         .bytes());
}

void tst_PeerConnect::secondAttemptNotRepeated()
{
    PeerTestEnv env;
    PeerLog log;
    QVERIFY(env.logIn());
    env.peer().ConnectToUser("bob", "P");
    env.peer().ConnectToUser("bob", "P");
    QVERIFY(log.Has("   Connection attempt to same user of same type already in progress, "
                    "not re-attempting."));

    QByteArray rest;
    QVERIFY(env.takeMessage(18, &rest));
    WireReader r(rest);
    const quint32 token = r.u32();
    QCOMPARE(r.str(), QByteArray("bob"));
    QCOMPARE(r.str(), QByteArray("P"));
    QVERIFY(r.ok() && r.atEnd());
    QVERIFY(d.GetType("indirect_connect_to_peer_request")->HasItem(Value(token)));
    QCOMPARE(env.fake().nextMessage(&rest), qint64(3));
    QCOMPARE(rest, WireWriter().str("bob").bytes());
    // Nothing else went out: a request sent now is the next message.
    env.server().GetOwnPrivilegesStatus();
    QCOMPARE(env.fake().nextMessage(&rest), qint64(92));
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request"), size_t(1));
}

void tst_PeerConnect::differentTypeIsIndependent()
{
    PeerTestEnv env;
    env.peer().ConnectToUser("bob", "P");
    env.peer().ConnectToUser("bob", "F");
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request"), size_t(2));
    QCOMPARE(PeerTestEnv::Count("indirect_connect_to_peer_request"), size_t(2));
}

void tst_PeerConnect::addressRequestThenInitFrame_data()
{
    AddPortRows();
}

void tst_PeerConnect::addressRequestThenInitFrame()
{
    QFETCH(bool, obfuscated);
    PeerTestEnv env;
    FakePeer bob;
    const quint16 port = bob.Listen();
    QVERIFY(port);
    bob.SetScrambled(obfuscated);
    QVERIFY(env.logIn());

    env.peer().ConnectToUser("bob", "P");
    ItemPtr request = d.GetType("connect_to_peer_request")->GetItems().First();
    QCOMPARE(request["connect_to_peer_request_status"].AsString(), std::string("getting_address"));
    QByteArray rest;
    QVERIFY(env.takeMessage(3, &rest));
    QCOMPARE(rest, WireWriter().str("bob").bytes());

    // The answer: address, plain port, obfuscation type and obfuscated port.
    WireWriter reply;
    reply.str("bob").u32(kLoopback).i32(obfuscated ? ClosedPort() : port);
    if (obfuscated)
        reply.u32(1).u16(port);
    else
        reply.u32(0).u16(0);
    env.fake().sendMessage(3, reply.bytes());

    QVERIFY(bob.WaitForConnection());
    QByteArray body;
    QVERIFY(bob.WaitForFrame(&body));
    QCOMPARE(body.toHex(), FakePeer::InitBody("alice", "P").toHex());
    QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));
    ItemPtr socket = d.GetType("peer_socket")->GetItems().First();
    QCOMPARE(socket["user"].AsString(), std::string("bob"));
    QCOMPARE(socket.IsConnected("is_obfuscated"), obfuscated);
    // Success ends the attempt; the relayed request stays until it fails or expires.
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request_socket"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("indirect_connect_to_peer_request"), size_t(1));
}

void tst_PeerConnect::zeroAddressSkipsDirectAttempt_data()
{
    QTest::addColumn<quint32>("address");
    QTest::addColumn<int>("port");
    QTest::newRow("address 0") << 0u << 2235;
    QTest::newRow("port 0") << kLoopback << 0;
}

void tst_PeerConnect::zeroAddressSkipsDirectAttempt()
{
    QFETCH(quint32, address);
    QFETCH(int, port);
    PeerTestEnv env;
    GiveAddress("bob", address, port);
    env.peer().ConnectToUser("bob", "P");
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request_socket"), size_t(0));
    ItemPtr request = d.GetType("connect_to_peer_request")->GetItems().First();
    QCOMPARE(request["connect_to_peer_request_status"].AsString(), std::string("getting_address"));

    // The server repeats that the user is offline: still nothing is dialled.
    GiveAddress("bob", 0, 0);
    QTest::qWait(10);
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request_socket"), size_t(0));
}

void tst_PeerConnect::pierceAnswersOurRequest()
{
    PeerTestEnv env;
    PeerLog log;
    env.peer().ConnectToUser("bob", "P");
    const std::string token =
        ItemPtr(d.GetType("indirect_connect_to_peer_request")->GetItems().First()).AsString();
    auto peer = env.Dial(false);
    QVERIFY(peer);
    peer->SendPierce(quint32(std::stoul(token)));
    QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));
    QCOMPARE(ItemPtr(d.GetType("peer_socket")->GetItems().First())["user"].AsString(),
             std::string("bob"));
    QVERIFY(log.Has("Found req, accepted indirect connection to user bob, connection type P"));
    QCOMPARE(PeerTestEnv::Count("indirect_connect_to_peer_request"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request"), size_t(0));
}

void tst_PeerConnect::pierceHandsOverSocket_data()
{
    AddHandedOverTypeRows();
}

void tst_PeerConnect::pierceHandsOverSocket()
{
    QFETCH(QByteArray, type);
    PeerTestEnv env(true, false, false); // takes the "F" sockets itself
    PeerLog log;
    QSignalSpy fileAccepted(&env.peer(), &PeerMessenger::FileConnectionAccepted);
    QSignalSpy dnetAccepted(&env.peer(), &PeerMessenger::DNetConnectionAccepted);
    env.peer().ConnectToUser("bob", type.constData());
    const quint32 token =
        ItemPtr(d.GetType("indirect_connect_to_peer_request")->GetItems().First()).AsUInt();
    auto peer = env.Dial(false);
    QVERIFY(peer);
    // What follows the pierce frame belongs to the new owner.
    peer->SendRaw(FakePeer::Frame(FakePeer::PierceBody(token)) + "next");

    QTcpSocket* s = nullptr;
    TakeHandedOver(fileAccepted, dnetAccepted, type, &s);
    if (!s)
        return;
    QVERIFY(!s->findChild<SocketReceiveState*>());
    QTRY_COMPARE(s->bytesAvailable(), qint64(4));
    for (const char* t : {"uninitialized_socket", "peer_socket", "connect_to_peer_request",
                          "indirect_connect_to_peer_request"})
        QCOMPARE(PeerTestEnv::Count(t), size_t(0));

    // Its end is its new owner's business.
    peer->Close();
    QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!log.Has("Disposing of socket"));
    delete s;
}

void tst_PeerConnect::directConnectionHandedOver_data()
{
    AddHandedOverTypeRows();
}

void tst_PeerConnect::directConnectionHandedOver()
{
    QFETCH(QByteArray, type);
    PeerTestEnv env(true, false, false); // takes the "F" sockets itself
    PeerLog log;
    QSignalSpy fileAccepted(&env.peer(), &PeerMessenger::FileConnectionAccepted);
    QSignalSpy dnetAccepted(&env.peer(), &PeerMessenger::DNetConnectionAccepted);
    PeerTestEnv::SetSetting("username", "alice");
    FakePeer bob;
    GiveAddress("bob", kLoopback, bob.Listen());
    env.peer().ConnectToUser("bob", type.constData());

    QVERIFY(bob.WaitForConnection());
    QByteArray body;
    QVERIFY(bob.WaitForFrame(&body));
    QCOMPARE(body.toHex(), FakePeer::InitBody("alice", type).toHex());
    QTcpSocket* s = nullptr;
    TakeHandedOver(fileAccepted, dnetAccepted, type, &s);
    if (!s)
        return;
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request_socket"), size_t(0));
    // The relayed path lost; its request stays until it fails or expires.
    QCOMPARE(PeerTestEnv::Count("indirect_connect_to_peer_request"), size_t(1));

    bob.Close();
    QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!log.Has("Disposing of socket"));
    delete s;
}

void tst_PeerConnect::relayedRequestAnsweredWithPierce_data()
{
    AddPortRows();
}

void tst_PeerConnect::relayedRequestAnsweredWithPierce()
{
    QFETCH(bool, obfuscated);
    PeerTestEnv env;
    FakePeer bob;
    const quint16 port = bob.Listen();
    bob.SetScrambled(obfuscated);
    QVERIFY(env.logIn());
    env.fake().sendMessage(18, obfuscated ? RelayedRequest("bob", "P", ClosedPort(), 0xabcd, port)
                                          : RelayedRequest("bob", "P", port, 0xabcd));
    QVERIFY(bob.WaitForConnection());
    if (obfuscated) {
        QByteArray body;
        QVERIFY(bob.WaitForFrame(&body));
        QCOMPARE(body.toHex(), Hex("00 cdab0000").toHex());
    } else {
        QByteArray raw;
        QVERIFY(bob.WaitForRaw(9, &raw));
        QCOMPARE(raw.toHex(), Hex("05000000 00 cdab0000").toHex());
    }
    QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));
    QCOMPARE(ItemPtr(d.GetType("peer_socket")->GetItems().First()).IsConnected("is_obfuscated"),
             obfuscated);
    QCOMPARE(PeerTestEnv::Count("peer_connection_request"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("peer_connection_request_socket"), size_t(0));
}

void tst_PeerConnect::relayedFileRequestTakesToken()
{
    PeerTestEnv env(true, false, false); // takes the "F" sockets itself
    FakePeer bob;
    const quint16 port = bob.Listen();
    QSignalSpy requested(&env.peer(), &PeerMessenger::FileConnectionRequested);
    QVERIFY(env.logIn());
    env.fake().sendMessage(18, RelayedRequest("bob", "F", port, 7));
    QVERIFY(bob.WaitForConnection());
    QByteArray body;
    QVERIFY(bob.WaitForFrame(&body));
    QCOMPARE(body.toHex(), Hex("00 07000000").toHex());
    bob.SendRaw(Hex("efbeadde"));
    QVERIFY(requested.wait());
    QCOMPARE(requested.at(0).at(0).value<std::string>(), std::string("bob"));
    QCOMPARE(requested.at(0).at(2).toUInt(), 0xdeadbeefu);
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("uninitialized_socket"), size_t(0));
    auto* s = requested.at(0).at(1).value<QTcpSocket*>();
    QCOMPARE(s->parent(), nullptr);
    delete s;
}

void tst_PeerConnect::relayedDNetSocketLeavesForGood()
{
    PeerTestEnv env;
    PeerLog log;
    FakePeer bob;
    const quint16 port = bob.Listen();
    QSignalSpy requested(&env.peer(), &PeerMessenger::DNetConnectionRequested);
    QVERIFY(env.logIn());
    env.fake().sendMessage(18, RelayedRequest("bob", "D", port, 9));
    QVERIFY(requested.wait());
    auto* s = requested.at(0).at(1).value<QTcpSocket*>();
    QPointer<QTcpSocket> watch(s);
    QCOMPARE(s->parent(), nullptr);
    log.lines.clear();
    // Its end belongs to its new owner: the manager neither disposes of it nor deletes it.
    bob.Close();
    QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    QTest::qWait(20);
    QVERIFY(!watch.isNull());
    QVERIFY(!log.Has("Disposing of socket"));
    delete s;
}

void tst_PeerConnect::relayedRequestToClosedPortReported()
{
    PeerTestEnv env;
    QVERIFY(env.logIn());
    env.fake().sendMessage(18, RelayedRequest("bob", "P", ClosedPort(), 0x51));
    QByteArray rest;
    QVERIFY(env.takeMessage(1001, &rest));
    QCOMPARE(rest, WireWriter().u32(0x51).str("bob").bytes());
    QCOMPARE(PeerTestEnv::Count("peer_connection_request"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("peer_connection_request_socket"), size_t(0));
}

void tst_PeerConnect::relayedRequestUsesItsOwnAddress()
{
    PeerTestEnv env;
    FakePeer bob;
    const quint16 port = bob.Listen();
    QVERIFY(env.logIn());
    // An address known from before, where bob no longer listens: the request carries the new
    // one, and that is where the answer goes.
    GiveAddress("bob", kLoopback, ClosedPort());
    env.fake().sendMessage(18, RelayedRequest("bob", "P", port, 0x77));
    QVERIFY(bob.WaitForConnection());
    QByteArray raw;
    QVERIFY(bob.WaitForRaw(9, &raw));
    QCOMPARE(raw.toHex(), Hex("05000000 00 77000000").toHex());
    QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));
    QCOMPARE(PeerTestEnv::Count("peer_connection_request"), size_t(0));

    // The server never hears that we could not answer.
    env.server().GetOwnPrivilegesStatus();
    for (qint64 code = 0; code != 92;) {
        code = env.fake().nextMessage();
        QVERIFY(code >= 0);
        QVERIFY(code != 1001);
    }
    QCOMPARE(bob.AcceptedCount(), 1);
}

void tst_PeerConnect::bothPathsFailedReportedOnce_data()
{
    QTest::addColumn<int>("order");
    QTest::newRow("direct error first") << 0;
    QTest::newRow("server answer first") << 1;
    // 15 strangers at bob's address: the dial is the first to make room for our browse there.
    QTest::newRow("server answer, then the dial closed for room") << 2;
    QTest::newRow("neither left, swept") << 3;
}

void tst_PeerConnect::bothPathsFailedReportedOnce()
{
    QFETCH(int, order);
    PeerTestEnv env;
    PeerLog log;
    QSignalSpy failed(&env.peer(), &PeerMessenger::ConnectionToUserFailed);
    QVERIFY(env.logIn());
    std::vector<std::unique_ptr<FakePeer>> strangers(order == 2 ? 15 : 0);
    for (auto& stranger : strangers)
        QVERIFY(stranger = env.DialMessaging(false, "stranger"));
    GiveAddress("bob", kLoopback, ClosedPort());
    env.peer().ConnectToUser("bob", "P");
    ItemPtr attempt = d.GetType("connect_to_peer_request")->GetItems().First();
    const quint32 token = ItemPtr(attempt["indirect_connect_to_peer_request"]).AsUInt();

    if (order == 3) {
        attempt["indirect_connect_to_peer_request"].Remove();
        attempt["connect_to_peer_request_socket"].Remove();
        env.fireHalfMinute();
        QCOMPARE(failed.count(), 1);
    } else if (order > 0) {
        // Before the event loop runs again the direct attempt is still pending.
        env.peer().OnIndirectPeerConnectionFailure(token);
        QVERIFY(log.Has("   Socket found. Not removing request."));
        QCOMPARE(failed.count(), 0);
        if (order == 2) {
            FakePeer carol;
            GiveAddress("carol", kLoopback, carol.Listen());
            env.peer().GetUserSharedFiles("carol");
            QVERIFY(log.Has("Direct connection of type P to user bob closed"));
        }
        QTRY_COMPARE(failed.count(), 1);
    } else {
        QTRY_VERIFY(log.Has("Direct connection of type P to user bob failed"));
        QVERIFY(log.Has("   Indirect request found. Not removing request."));
        QCOMPARE(failed.count(), 0);
        QByteArray rest;
        QVERIFY(env.takeMessage(18, &rest));
        QCOMPARE(WireReader(rest).u32(), token);
        env.fake().sendMessage(1001, WireWriter().u32(token).bytes());
        QTRY_COMPARE(failed.count(), 1);
    }
    QCOMPARE(failed.at(0).at(0).value<std::string>(), std::string("bob"));
    QCOMPARE(failed.at(0).at(1).value<std::string>(), std::string("P"));
    QVERIFY(!PeerTestEnv::User("bob")["connect_to_peer_request"]);
    QTest::qWait(20);
    QCOMPARE(failed.count(), 1);
    // Nothing is left of the attempt: the next one is dialled at once.
    env.peer().GetUserSharedFiles("bob");
    QVERIFY(PeerTestEnv::User("bob")["connect_to_peer_request"]["connect_to_peer_request_socket"]);
}

void tst_PeerConnect::directAttemptKeepsToTheCap_data()
{
    QTest::addColumn<int>("held"); // messaging connections with 127.0.0.1 already
    QTest::addColumn<bool>("dialled");
    const int cap = PeerMessenger::kMaxPeerSocketsPerAddress;
    QTest::newRow("one short of the cap") << cap - 1 << true;
    QTest::newRow("at the cap") << cap << false;
}

void tst_PeerConnect::directAttemptKeepsToTheCap()
{
    QFETCH(int, held);
    QFETCH(bool, dialled);
    PeerTestEnv env;
    PeerLog log;
    QSignalSpy failed(&env.peer(), &PeerMessenger::ConnectionToUserFailed);
    QVERIFY(env.logIn());
    std::vector<std::unique_ptr<FakePeer>> peers;
    for (int k = 0; k < held; ++k) {
        peers.push_back(env.DialMessaging(false, "held" + QByteArray::number(k)));
        QVERIFY(peers.back());
    }
    FakePeer bob;
    GiveAddress("bob", kLoopback, bob.Listen());
    // Nothing of our user's waits: the connection would be the peer's.
    env.peer().ConnectToUser("bob", "P");
    if (dialled) {
        QVERIFY(env.takeMessage(18)); // the relayed request goes too
        QVERIFY(bob.WaitForConnection());
        QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(held + 1));
        return;
    }
    // Refused before the relayed request goes, which would be answered by a connection to us
    // all the same: the attempt fails at once.
    QVERIFY(log.Has("Not connecting to user bob at 127.0.0.1: 16 peer connections with 127.0.0.1 "
                    "open or being opened; connections asked for meanwhile fail at once"));
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request"), size_t(0));
    QCOMPARE(PeerTestEnv::Count("indirect_connect_to_peer_request"), size_t(0));
    QTRY_COMPARE(failed.count(), 1);
    QVERIFY(!env.takeMessage(18));
    QCOMPARE(bob.AcceptedCount(), 0);
}

void tst_PeerConnect::strangersMakeRoom_data()
{
    QTest::addColumn<bool>("asked"); // the connection answers a peer's request; else a browse
    QTest::addColumn<QByteArray>("type");
    QTest::newRow("a browse of another user") << false << QByteArray("P");
    QTest::newRow("a peer that asked us") << true << QByteArray("P");
    QTest::newRow("a file connection, strangers under the name") << false << QByteArray("F");
}

void tst_PeerConnect::strangersMakeRoom()
{
    QFETCH(bool, asked);
    QFETCH(QByteArray, type);
    PeerTestEnv env;
    QVERIFY(env.logIn());
    // Strangers hold every connection there may be, each address at its cap, none at ours.
    std::vector<std::unique_ptr<FakePeer>> strangers;
    for (int k = 0; k < PeerMessenger::kMaxPeerSockets; ++k) {
        auto& s = strangers.emplace_back(std::make_unique<FakePeer>());
        const int address = 1 + k / PeerMessenger::kMaxPeerSocketsPerAddress;
        QVERIFY(s->ConnectTo(env.peer().ListeningPort(), 5000, QHostAddress(kLoopback + address)));
        s->SendInit(type == "F" ? QByteArray("carol") : "stranger" + QByteArray::number(k), "P");
        QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(k + 1));
    }
    PeerLog log;
    FakePeer carol;
    const quint16 port = carol.Listen();
    GiveAddress("carol", kLoopback, port);
    // A peer that asked us comes from an address that holds nothing: it takes a place of the
    // party's, whose addresses hold the most, as a browse of ours does.
    if (asked)
        env.fake().sendMessage(18, RelayedRequest("carol", "P", port, 0xabcd));
    else if (type == "P")
        env.peer().GetUserSharedFiles("carol");
    else
        env.peer().ConnectToUser("carol", "F");
    QVERIFY(carol.WaitForConnection());
    QByteArray first;
    QVERIFY(carol.WaitForFrame(&first));
    QCOMPARE(first, asked ? FakePeer::PierceBody(0xabcd) : FakePeer::InitBody("alice", type));
    // The first stranger made room, and said so; the others stay.
    QCOMPARE(log.lines.filter("room for a connection to user carol"),
             QStringList{"Closing the messaging connection user " +
                         QByteArray(type == "F" ? "carol" : "stranger0") +
                         " opened from 127.0.0.2 (16 with that address), to make room for a "
                         "connection to user carol"});
    QTRY_VERIFY(!strangers.front()->IsConnected());
    QCOMPARE(
        std::count_if(strangers.begin(), strangers.end(), [](auto& s) { return s->IsConnected(); }),
        long(strangers.size() - 1));
}

void tst_PeerConnect::strangersAskingKeepToTheirShare_data()
{
    QTest::addColumn<QByteArray>("type"); // of the relayed requests; "9": search results we owe
    QTest::newRow("relayed messaging") << QByteArray("P");
    QTest::newRow("relayed files, no token sent") << QByteArray("F");
    QTest::newRow("search results owed") << QByteArray("9");
}

void tst_PeerConnect::strangersAskingKeepToTheirShare()
{
    QFETCH(QByteArray, type);
    PeerTestEnv env;
    QVERIFY(env.logIn());
    std::vector<std::unique_ptr<FakePeer>> peers; // honest ones: browsing us, downloading
    for (int k = 0; k < 10; ++k)
        QVERIFY(peers.emplace_back(env.DialMessaging(false, "honest" + QByteArray::number(k))));
    PeerLog log;
    // The party's silent connections take what its share leaves; it asks from 16 addresses.
    const int share = PeerMessenger::kMaxPeerSocketsAtPeersRequest;
    for (int k = 0; k < PeerMessenger::kMaxPeerSockets - share - 10; ++k)
        QVERIFY(peers.emplace_back(new FakePeer)
                    ->ConnectTo(env.peer().ListeningPort(), 5000,
                                QHostAddress(kLoopback + 1 + k % 16)));
    std::vector<std::unique_ptr<QTcpServer>> party;
    for (quint32 n = 16; n < 16 * 17; ++n) {
        const quint32 address = kLoopback + n / 16;
        if (n % 16 == 0)
            QVERIFY(party.emplace_back(new QTcpServer)->listen(QHostAddress(address)));
        const QByteArray name = "evil" + QByteArray::number(n);
        const quint16 port = party.back()->serverPort();
        GiveAddress(name.toStdString(), address, port);
        type == "9" ? env.peer().SendMessage(name.toStdString(), Message(9))
                    : env.fake().sendMessage(18, RelayedRequest(name, type, port, n, 0, address));
    }
    QTRY_COMPARE_WITH_TIMEOUT(PeerTestEnv::Count("peer_socket") +
                                  PeerTestEnv::Count("uninitialized_socket"),
                              size_t(PeerMessenger::kMaxPeerSockets), 30000);
    FakePeer carol;
    GiveAddress("carol", kLoopback, carol.Listen());
    env.peer().GetUserSharedFiles("carol");
    QVERIFY(carol.WaitForConnection());                     // a browse of another user
    env.peer().AcceptTransferRequest("carol", 5, false, 0); // a download of ours: its uploader
    env.fake().sendMessage(18, RelayedRequest("carol", "F", carol.Port(), 77)); // asks through us
    QVERIFY(carol.WaitForConnection());
    // Each took the place of the party's oldest, and said so; nothing else was closed.
    const QStringList madeRoom = log.lines.filter("to make room for a connection to user carol");
    QCOMPARE(madeRoom.filter("opened at a peer's request (").size(), 2);
    QCOMPARE(madeRoom.size(), 2);
    QVERIFY(env.DialMessaging(false, "newcomer")); // an honest peer connecting in is taken
    for (auto& peer : peers)
        QVERIFY(peer->IsConnected());
}

void tst_PeerConnect::attemptExpires_data()
{
    QTest::addColumn<qint64>("wallClockMove");
    QTest::newRow("clock steady") << qint64(0);
    QTest::newRow("clock set forward an hour") << qint64(3600);
    QTest::newRow("clock set back an hour") << qint64(-3600);
}

void tst_PeerConnect::attemptExpires()
{
    QFETCH(qint64, wallClockMove);
    PeerTestEnv env;
    PeerLog log;
    QSignalSpy failed(&env.peer(), &PeerMessenger::ConnectionToUserFailed);
    env.peer().ConnectToUser("bob", "D");
    ItemPtr indirect = d.GetType("indirect_connect_to_peer_request")->GetItems().First();
    QVERIFY(PeerTestEnv::IsStoredNow(indirect, "send_time"));
    PeerTestEnv::MoveWallClock(indirect, "send_time", wallClockMove);
    Clock::Shift(59);
    env.fireHalfMinute();
    QCOMPARE(failed.count(), 0);
    QCOMPARE(PeerTestEnv::Count("indirect_connect_to_peer_request"), size_t(1));
    Clock::Shift(1);
    env.fireHalfMinute();
    QVERIFY(log.Has("Indirect connection request of type D to bob expired, removing."));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request"), size_t(0));
}

void tst_PeerConnect::timedOutDirectSocketAborted()
{
    PeerTestEnv env;
    FakePeer bob;
    GiveAddress("bob", kLoopback, bob.Listen());
    env.peer().ConnectToUser("bob", "P");
    ItemPtr item = d.GetType("connect_to_peer_request_socket")->GetItems().First();
    QPointer<QTcpSocket> s = item.AsPointer<QTcpSocket>();
    QCOMPARE(s->state(), QAbstractSocket::ConnectingState);
    QVERIFY(PeerTestEnv::IsStoredNow(item, "socket_creation_time"));
    // The wall clock set back an hour does not keep the attempt alive.
    PeerTestEnv::MoveWallClock(item, "socket_creation_time", -3600);

    // Given up while still connecting: it must not connect later and say who we are.
    Clock::Shift(60);
    env.fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request_socket"), size_t(0));
    QVERIFY(s.isNull() || s->state() == QAbstractSocket::UnconnectedState);
    QByteArray body;
    QVERIFY(!bob.WaitForFrame(&body, 200));
    QTRY_VERIFY(s.isNull());
}

void tst_PeerConnect::retryFromFailureReport()
{
    PeerTestEnv env;
    int reports = 0;
    // A receiver that tries again at once starts a fresh attempt instead of being told that
    // the failed one is still in progress.
    QObject::connect(&env.peer(), &PeerMessenger::ConnectionToUserFailed, &env.peer(),
                     [&env, &reports](std::string user, std::string type) {
                         ++reports;
                         env.peer().ConnectToUser(user, type.c_str());
                     });
    env.peer().ConnectToUser("bob", "F");
    Clock::Shift(60);
    env.fireHalfMinute();
    QCOMPARE(reports, 1);
    QCOMPARE(PeerTestEnv::Count("connect_to_peer_request"), size_t(1));
    QCOMPARE(PeerTestEnv::Count("indirect_connect_to_peer_request"), size_t(1));
}

// A socket that nothing receives (its subsystem is not built) is closed, never left open with
// no owner; under the leak checker an undeleted one fails the run.
void tst_PeerConnect::socketWithoutReceiverClosed_data()
{
    QTest::addColumn<bool>("incoming");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QString>("signal");
    QTest::newRow("incoming, distributed network")
        << true << QByteArray("D") << QStringLiteral("DNetConnectionRequested");
    QTest::newRow("incoming, file, scrambled")
        << true << QByteArray("F") << QStringLiteral("FileConnectionRequested");
    QTest::newRow("outgoing, file")
        << false << QByteArray("F") << QStringLiteral("FileConnectionAccepted");
    QTest::newRow("outgoing, distributed network")
        << false << QByteArray("D") << QStringLiteral("DNetConnectionAccepted");
}

void tst_PeerConnect::socketWithoutReceiverClosed()
{
    QFETCH(bool, incoming);
    QFETCH(QByteArray, type);
    QFETCH(QString, signal);
    PeerTestEnv env(true, false, false); // takes the "F" sockets itself
    PeerLog log;
    FakePeer bob;
    std::unique_ptr<FakePeer> dialled;
    if (incoming) {
        dialled = env.Dial(type == "F");
        QVERIFY(dialled);
        dialled->SendInit("bob", type);
        // The file token comes raw, on the scrambled port too.
        if (type == "F")
            dialled->SendRaw(Hex("efbeadde"));
    } else {
        PeerTestEnv::SetSetting("username", "alice");
        GiveAddress("bob", kLoopback, bob.Listen());
        env.peer().ConnectToUser("bob", type.constData());
        QVERIFY(bob.WaitForConnection());
    }
    QVERIFY((incoming ? *dialled : bob).WaitForDisconnected());
    QVERIFY(log.Has(QStringLiteral("No receiver for %1, closing the connection").arg(signal)));
    for (const char* left :
         {"uninitialized_socket", "peer_socket", "connect_to_peer_request_socket"})
        QCOMPARE(PeerTestEnv::Count(left), size_t(0));
}

QTEST_GUILESS_MAIN(tst_PeerConnect)
#include "tst_peerconnect.moc"

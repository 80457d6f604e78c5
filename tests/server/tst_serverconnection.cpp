// The connection to the central server: login bytes, state changes, framing in both directions,
// reconnection and keep-alive, all against the fake server on 127.0.0.1.

#include "ServerTestEnv.h"

#include "store/Clock.h"
#include "support/FeedDevice.h"
#include "support/HeapUse.h"

#include <QSignalSpy>
#include <QTest>

class TestServerConnection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void loginIsByteExact();
    void loginWithMissingPasswordUsesDefaults();
    void connectWithoutUserNameDoesNothing();
    void connectWhileConnectingOrLoggedInDoesNothing();
    void acceptedLoginLogsIn();
    void refusedLoginFailsWithoutDisconnect_data();
    void refusedLoginFailsWithoutDisconnect();
    void refusedLoginFailsOnceUnderNestedEventLoop();
    void secondLoginReplyIsIgnored();
    void messagesBeforeLoginAreHandledOnlyWhileConnecting();

    void reconnectsOnTickAfterAbruptLoss();
    void noReconnectAfterUserDisconnect();
    void reconnectAttemptsRepeatUntilLoginIsSent();
    void refusedConnectionReportsSocketError();
    void keepAliveOnlyWhileLoggedIn();
    void lossClearsOnlineFlags();
    void unansweredLoginIsGivenUp_data();
    void unansweredLoginIsGivenUp();

    void lengthArrivingInPieces();
    void twoFramesInOneWrite();
    void bodyLargerThanBuffer();
    void frameTooShortForACodeIsDropped();
    void oversizeFrameClosesConnection_data();
    void oversizeFrameClosesConnection();
    void midFrameLossDoesNotMisalignNextConnection();
    void announcedBodyIsNotAllocatedUpFront();
    void largeBodyBufferIsReleasedAfterItsFrame();

    void afterLoginSendsWatchAndAddressRequests();
    void autojoinRoomsOnlyOnFirstLogin();

private:
    std::unique_ptr<ServerTestEnv> env;
};

void TestServerConnection::init()
{
    env = std::make_unique<ServerTestEnv>();
}

void TestServerConnection::cleanup()
{
    env.reset();
    Clock::Reset();
}

void TestServerConnection::loginIsByteExact()
{
    ServerTestEnv::SetSetting("username", "alice");
    ServerTestEnv::SetSetting("password", "secret");
    const QByteArray body = env->connectAndTakeLogin();
    QCOMPARE(frameOf(body).toHex(), hexBytes("43000000 01000000 05000000 616c696365 06000000 "
                                             "736563726574 9d000000 20000000")
                                        .append("c4e31313222cf05fcdd1fc068af5570e")
                                        .append(hexBytes("64000000"))
                                        .toHex());
}

void TestServerConnection::loginWithMissingPasswordUsesDefaults()
{
    ServerTestEnv::SetSetting("username", "alice");
    // No "password" key item at all: both settings fall back to the defaults.
    QVERIFY(d.GetType("global")->HasItem(Value("password")).IsNull());
    WireReader login(env->connectAndTakeLogin());
    QCOMPARE(login.u32(), 1u);
    QCOMPARE(login.str(), QByteArray("QuorvaleQT"));
    QCOMPARE(login.str(), QByteArray("KelvanirTosqueWadd"));
    QVERIFY(login.ok());
    QCOMPARE(ServerTestEnv::Setting("username"), std::string("QuorvaleQT"));
}

void TestServerConnection::connectWithoutUserNameDoesNothing()
{
    QSignalSpy connecting(&env->server(), &Server::Connecting);
    QSignalSpy failed(&env->server(), &Server::ConnectionFailed);
    LogCapture log;
    // A key item without a value counts as no user name.
    d.GetType("global")->GetItem(Value("username"));
    env->server().Connect();

    QCOMPARE(connecting.count(), 0);
    QCOMPARE(failed.count(), 0);
    QVERIFY(log.lines.isEmpty());
    QVERIFY(!env->server().IsConnected());
    // Had it started, a later Connect would be refused while connecting; it is not.
    ServerTestEnv::SetSetting("username", "alice");
    env->server().Connect();
    QCOMPARE(connecting.count(), 1);
    QCOMPARE(log.lines.size(), 1);
    QCOMPARE(log.lines.at(0),
             QStringLiteral("Attempting connection on port %1").arg(env->fake().port()));
}

void TestServerConnection::connectWhileConnectingOrLoggedInDoesNothing()
{
    QSignalSpy connecting(&env->server(), &Server::Connecting);
    QSignalSpy disconnected(&env->server(), &Server::Disconnected);
    ServerTestEnv::SetSetting("username", "alice");
    env->server().Connect();
    env->server().Connect();
    QCOMPARE(connecting.count(), 1);
    // Disconnect only ends a logged-in connection; the attempt goes on.
    env->server().Disconnect();
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(env->fake().waitForConnection());
    QCOMPARE(env->nextMessage(), qint64(ServerCode::Login));
    env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QTRY_VERIFY(env->server().IsConnected());
    env->server().Connect();
    QCOMPARE(connecting.count(), 1);
    QCOMPARE(env->fake().connectionCount(), 1);
}

void TestServerConnection::acceptedLoginLogsIn()
{
    QSignalSpy connected(&env->server(), &Server::Connected);
    bool loggedInWhenSignalled = false;
    connect(&env->server(), &Server::Connected, this, [this, &loggedInWhenSignalled] {
        loggedInWhenSignalled = env->server().IsConnected();
    });
    QVERIFY(env->logIn());
    QCOMPARE(connected.count(), 1);
    QVERIFY(loggedInWhenSignalled);
    QVERIFY(!env->server().IsAbruptlyDisconnected());
}

void TestServerConnection::refusedLoginFailsWithoutDisconnect_data()
{
    QTest::addColumn<QByteArray>("fields");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("with reason") << WireWriter().u8(0).str("INVALIDPASS").bytes()
                                 << QByteArray("INVALIDPASS");
    // A reply with nothing after its code reads as a refusal without a reason.
    QTest::newRow("empty body") << QByteArray() << QByteArray();
}

void TestServerConnection::refusedLoginFailsWithoutDisconnect()
{
    QFETCH(QByteArray, fields);
    QFETCH(QByteArray, reason);
    ServerTestEnv::SetSetting("username", "alice");
    QSignalSpy failed(&env->server(), &Server::ConnectionFailed);
    QSignalSpy disconnected(&env->server(), &Server::Disconnected);
    QVERIFY(!env->connectAndTakeLogin().isEmpty());
    env->fake().sendMessage(ServerCode::Login, fields);
    QVERIFY(failed.wait());
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).value<std::string>(), reason.toStdString());
    QVERIFY(env->fake().waitForClientClosed());
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(!env->server().IsConnected());
    // A refused login is not a loss: the next tick does not try again.
    QSignalSpy connecting(&env->server(), &Server::Connecting);
    env->fireHalfMinute();
    QCOMPARE(connecting.count(), 0);
}

void TestServerConnection::refusedLoginFailsOnceUnderNestedEventLoop()
{
    ServerTestEnv::SetSetting("username", "alice");
    QSignalSpy failed(&env->server(), &Server::ConnectionFailed);
    QSignalSpy disconnected(&env->server(), &Server::Disconnected);
    // The shell answers a refusal with a modal message box, whose event loop runs inside the
    // signal. It runs here until the client has closed its end, or has reported more.
    bool nested = false;
    bool settled = false;
    connect(&env->server(), &Server::ConnectionFailed, this, [&] {
        if (nested)
            return;
        nested = true;
        settled = QTest::qWaitFor([&] { return failed.count() > 1 || !env->fake().hasClient(); });
        nested = false;
    });
    QVERIFY(!env->connectAndTakeLogin().isEmpty());
    env->fake().sendMessage(ServerCode::Login, WireWriter().u8(0).str("INVALIDPASS"));
    env->fake().hangUp();

    QVERIFY(env->fake().waitForClientClosed());
    QTRY_VERIFY(settled);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).value<std::string>(), std::string("INVALIDPASS"));
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(!env->server().IsAbruptlyDisconnected());
}

void TestServerConnection::secondLoginReplyIsIgnored()
{
    QSignalSpy connected(&env->server(), &Server::Connected);
    QVERIFY(env->logIn());
    QVERIFY(env->deliverFrame(WireWriter().u32(ServerCode::Login).u8(0).str("late")));
    QVERIFY(env->server().IsConnected());
    QCOMPARE(connected.count(), 1);
}

void TestServerConnection::messagesBeforeLoginAreHandledOnlyWhileConnecting()
{
    ServerTestEnv::SetSetting("username", "alice");
    QSignalSpy stats(&env->server(), &Server::ReceivedOwnPrivilegesStatus);
    QVERIFY(!env->connectAndTakeLogin().isEmpty());
    // Connecting: handled before the login reply.
    QVERIFY(env->deliver(ServerCode::OwnPrivileges, WireWriter().i32(77)));
    QCOMPARE(stats.count(), 1);
    QCOMPARE(ServerTestEnv::Setting("privileges_time_left"), std::string("77"));
}

void TestServerConnection::reconnectsOnTickAfterAbruptLoss()
{
    QVERIFY(env->logIn());
    QSignalSpy disconnected(&env->server(), &Server::Disconnected);
    QSignalSpy failed(&env->server(), &Server::ConnectionFailed);
    env->fake().closeClient();
    QVERIFY(disconnected.wait());
    QCOMPARE(failed.count(), 0);
    QVERIFY(env->server().IsAbruptlyDisconnected());
    QVERIFY(!env->server().IsConnected());

    env->fireHalfMinute();
    QVERIFY(env->fake().waitForConnection());
    QCOMPARE(env->nextMessage(), qint64(ServerCode::Login));
    QVERIFY(!env->server().IsAbruptlyDisconnected());
    env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QTRY_VERIFY(env->server().IsConnected());
}

void TestServerConnection::noReconnectAfterUserDisconnect()
{
    QVERIFY(env->logIn());
    QSignalSpy disconnected(&env->server(), &Server::Disconnected);
    QSignalSpy connecting(&env->server(), &Server::Connecting);
    env->server().Disconnect();
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!env->server().IsConnected());
    QVERIFY(env->fake().waitForClientClosed());
    env->fireHalfMinute();
    QCOMPARE(connecting.count(), 0);
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!env->server().IsAbruptlyDisconnected());
}

void TestServerConnection::reconnectAttemptsRepeatUntilLoginIsSent()
{
    QVERIFY(env->logIn());
    QSignalSpy disconnected(&env->server(), &Server::Disconnected);
    QSignalSpy failed(&env->server(), &Server::ConnectionFailed);
    QSignalSpy connecting(&env->server(), &Server::Connecting);
    // The server goes away altogether: every attempt is refused, and the ticks keep trying.
    env->fake().stop();
    QVERIFY(disconnected.wait());
    for (int attempt = 1; attempt <= 2; ++attempt) {
        env->fireHalfMinute();
        QCOMPARE(connecting.count(), attempt);
        QTRY_COMPARE(failed.count(), attempt);
        QCOMPARE(failed.last().at(0).value<std::string>(), std::string("socket error"));
        QVERIFY(env->server().IsAbruptlyDisconnected());
    }

    // Reachable again: the login goes out, which ends the attempts ...
    FakeServer back;
    env->server().UseLocalServerForTesting(back.port());
    env->fireHalfMinute();
    QVERIFY(back.waitForConnection());
    QCOMPARE(back.nextMessage(), qint64(ServerCode::Login));
    QVERIFY(!env->server().IsAbruptlyDisconnected());
    // ... even when the connection is lost before the reply.
    back.closeClient();
    QTRY_COMPARE(failed.count(), 3);
    QVERIFY(!env->server().IsAbruptlyDisconnected());
    env->fireHalfMinute();
    QCOMPARE(connecting.count(), 3);
}

void TestServerConnection::refusedConnectionReportsSocketError()
{
    ServerTestEnv::SetSetting("username", "alice");
    const quint16 port = env->fake().port();
    env->fake().stop();
    env->server().UseLocalServerForTesting(port);
    QSignalSpy failed(&env->server(), &Server::ConnectionFailed);
    QSignalSpy disconnected(&env->server(), &Server::Disconnected);
    env->server().Connect();
    QVERIFY(failed.wait());
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).value<std::string>(), std::string("socket error"));
    QCOMPARE(disconnected.count(), 1);
    // Never logged in, so nothing to reconnect to.
    QVERIFY(!env->server().IsAbruptlyDisconnected());
}

void TestServerConnection::keepAliveOnlyWhileLoggedIn()
{
    ServerTestEnv::SetSetting("username", "alice");
    env->fireFiveMinutes(); // idle
    QVERIFY(!env->connectAndTakeLogin().isEmpty());
    env->fireFiveMinutes(); // connecting
    env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QTRY_VERIFY(env->server().IsConnected());
    env->fireFiveMinutes();
    // The keep-alive is the first thing sent after the login: none went out before it.
    QCOMPARE(frameOf(env->fake().nextFrame()), hexBytes("04000000 20000000"));
    env->sendMarkerRequest();
    QVERIFY(env->nextIsMarker());
}

void TestServerConnection::lossClearsOnlineFlags()
{
    QVERIFY(env->logIn());
    ItemPtr bob = ServerTestEnv::User("bob");
    bob.NewItem("is_online");
    QVERIFY(bob.IsConnected("is_online"));
    env->fake().closeClient();
    QTRY_VERIFY(!env->server().IsConnected());
    QVERIFY(!bob.IsConnected("is_online"));
}

void TestServerConnection::unansweredLoginIsGivenUp_data()
{
    QTest::addColumn<bool>("afterReconnection");
    QTest::newRow("first attempt") << false;
    // The connection dies without a word after the reconnection has sent its login.
    QTest::newRow("after a reconnection") << true;
}

void TestServerConnection::unansweredLoginIsGivenUp()
{
    QFETCH(bool, afterReconnection);
    ServerTestEnv::SetSetting("username", "alice");
    if (afterReconnection) {
        QVERIFY(env->logIn());
        env->fake().closeClient();
        QTRY_VERIFY(!env->server().IsConnected());
        env->fireHalfMinute();
    } else {
        env->server().Connect();
    }
    QVERIFY(env->fake().waitForConnection());
    QCOMPARE(env->nextMessage(), qint64(ServerCode::Login));

    QSignalSpy failed(&env->server(), &Server::ConnectionFailed);
    QSignalSpy disconnected(&env->server(), &Server::Disconnected);
    QSignalSpy connecting(&env->server(), &Server::Connecting);
    Clock::Shift(Server::kLoginReplyTimeoutMs / 1000 - 1);
    env->fireHalfMinute();
    QCOMPARE(failed.count(), 0);
    QCOMPARE(connecting.count(), 0);
    QVERIFY(env->fake().hasClient());

    LogCapture log;
    Clock::Shift(2);
    env->fireHalfMinute();
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).value<std::string>(), std::string("socket error"));
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(log.lines.first().contains(QStringLiteral("No answer to the login")));
    // Taken as an abrupt loss: the failure is not shown, and the tick starts over.
    QCOMPARE(connecting.count(), 1);
    QVERIFY(env->fake().waitForConnection());
    QCOMPARE(env->nextMessage(), qint64(ServerCode::Login));
    env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QTRY_VERIFY(env->server().IsConnected());
    QCOMPARE(failed.count(), 1);
}

void TestServerConnection::lengthArrivingInPieces()
{
    QVERIFY(env->logIn());
    QSignalSpy privileges(&env->server(), &Server::ReceivedOwnPrivilegesStatus);
    const QByteArray frame = frameOf(WireWriter().u32(ServerCode::OwnPrivileges).i32(1234));
    env->fake().sendRaw(frame.left(2));
    QVERIFY(env->fake().hasClient());
    QTest::qWait(20);
    env->fake().sendRaw(frame.mid(2, 2));
    QTest::qWait(20);
    env->fake().sendRaw(frame.mid(4, 3));
    QTest::qWait(20);
    env->fake().sendRaw(frame.mid(7));
    QVERIFY(env->sync());
    QCOMPARE(privileges.count(), 1);
    QCOMPARE(privileges.at(0).at(0).toInt(), 1234);
}

void TestServerConnection::twoFramesInOneWrite()
{
    QVERIFY(env->logIn());
    QList<int> seen;
    connect(&env->server(), &Server::ReceivedOwnPrivilegesStatus, this,
            [&seen](int v) { seen << v; });
    env->fake().sendRaw(frameOf(WireWriter().u32(ServerCode::OwnPrivileges).i32(1)) +
                        frameOf(WireWriter().u32(ServerCode::OwnPrivileges).i32(2)));
    QVERIFY(env->sync());
    QCOMPARE(seen, QList<int>({1, 2}));
}

void TestServerConnection::bodyLargerThanBuffer()
{
    QVERIFY(env->logIn());
    QList<std::string> texts;
    connect(&env->server(), &Server::RoomChat, this,
            [&texts](std::string, std::string, std::string text) { texts << text; });
    // Far above the 256-byte start of the read buffer, then a small one that reuses it.
    const QByteArray big(100000, 'x');
    env->fake().sendMessage(ServerCode::RoomChat, WireWriter().str("room").str("bob").str(big));
    env->fake().sendMessage(ServerCode::RoomChat, WireWriter().str("room").str("bob").str("hi"));
    QVERIFY(env->sync());
    QCOMPARE(texts.size(), 2);
    QCOMPARE(QByteArray::fromStdString(texts.at(0)), big);
    QCOMPARE(texts.at(1), std::string("hi"));
}

void TestServerConnection::frameTooShortForACodeIsDropped()
{
    QVERIFY(env->logIn());
    env->fake().sendRaw(hexBytes("00000000"));
    env->fake().sendRaw(hexBytes("02000000 5c00"));
    QVERIFY(env->sync());
    QVERIFY(env->server().IsConnected());
}

void TestServerConnection::oversizeFrameClosesConnection_data()
{
    QTest::addColumn<quint32>("length");
    QTest::newRow("all ones") << 0xFFFFFFFFu;
    QTest::newRow("one above the limit") << Server::kMaxFrameLength + 1;
}

void TestServerConnection::oversizeFrameClosesConnection()
{
    QFETCH(quint32, length);
    QVERIFY(env->logIn());
    QSignalSpy disconnected(&env->server(), &Server::Disconnected);
    LogCapture log;
    env->fake().sendRaw(WireWriter().u32(length).u32(ServerCode::OwnPrivileges));
    QVERIFY(env->fake().waitForClientClosed());
    QTRY_COMPARE(disconnected.count(), 1);
    QVERIFY(env->server().IsAbruptlyDisconnected());
    QCOMPARE(log.lines.size(), 1);
    QVERIFY(log.lines.at(0).contains(QString::number(length)));

    // Behaves as any loss: the tick reconnects.
    env->fireHalfMinute();
    QVERIFY(env->fake().waitForConnection());
    QCOMPARE(env->nextMessage(), qint64(ServerCode::Login));
}

void TestServerConnection::midFrameLossDoesNotMisalignNextConnection()
{
    QVERIFY(env->logIn());
    // A frame announcing 100 bytes, of which 10 arrive before the loss.
    const QByteArray start =
        WireWriter().u32(100).u32(ServerCode::OwnPrivileges).raw(QByteArray(6, 0));
    env->fake().sendRaw(start);
    QVERIFY(env->dropAndReconnect());
    QTRY_VERIFY(env->server().IsConnected());
    QSignalSpy privileges(&env->server(), &Server::ReceivedOwnPrivilegesStatus);
    QVERIFY(env->deliver(ServerCode::OwnPrivileges, WireWriter().i32(5)));
    QCOMPARE(privileges.count(), 1);
    QCOMPARE(privileges.at(0).at(0).toInt(), 5);
}

void TestServerConnection::announcedBodyIsNotAllocatedUpFront()
{
    FeedDevice wire;
    const qint64 before = HeapInUse();
    // Eight bytes announcing the largest frame accepted.
    wire.Feed(WireWriter().u32(Server::kMaxFrameLength).u32(ServerCode::RoomChat));
    env->server().ReadFrames(wire);
    QCOMPARE(wire.Left(), qsizetype(0));
    QVERIFY2(HeapInUse() - before < 1024 * 1024, qPrintable(QString::number(HeapInUse() - before)));

    // What arrives is what is kept, give or take the buffer's doubling.
    wire.Feed(QByteArray(2 * 1024 * 1024, 'x'));
    env->server().ReadFrames(wire);
    QVERIFY2(HeapInUse() - before < 8 * 1024 * 1024,
             qPrintable(QString::number(HeapInUse() - before)));
}

void TestServerConnection::largeBodyBufferIsReleasedAfterItsFrame()
{
    FeedDevice wire;
    wire.Feed(frameOf(WireWriter().u32(ServerCode::OwnPrivileges).i32(1)));
    env->server().ReadFrames(wire);
    const QByteArray text(4 * 1024 * 1024, 'x');
    wire.Feed(frameOf(WireWriter().u32(ServerCode::RoomChat).str("room").str("bob").str(text)));
    const qint64 before = HeapInUse();
    env->server().ReadFrames(wire);
    QCOMPARE(wire.Left(), qsizetype(0));
    QVERIFY2(HeapInUse() - before < 256 * 1024, qPrintable(QString::number(HeapInUse() - before)));
}

void TestServerConnection::afterLoginSendsWatchAndAddressRequests()
{
    // Made while offline: dropped, but remembered in the store.
    env->server().TrackUser("carol");
    env->server().GetUserAddress("dave");
    env->server().FileSearch("abc");
    QVERIFY(ServerTestEnv::User("carol").IsConnected("is_tracked"));
    QVERIFY(ServerTestEnv::User("dave").IsConnected("user_address_request"));

    QVERIFY(env->logIn());
    QByteArray rest;
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::AddUser));
    QCOMPARE(rest, WireWriter().str("carol").bytes());
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::GetUserAddress));
    QCOMPARE(rest, WireWriter().str("dave").bytes());
    env->sendMarkerRequest();
    QVERIFY(env->nextIsMarker());
    QCOMPARE(ServerTestEnv::Setting("accept_room_list"), std::string("yes"));

    // And again after the next login.
    QVERIFY(env->dropAndReconnect());
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::AddUser));
    QCOMPARE(rest, WireWriter().str("carol").bytes());
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::GetUserAddress));
    QCOMPARE(rest, WireWriter().str("dave").bytes());
}

void TestServerConnection::autojoinRoomsOnlyOnFirstLogin()
{
    ServerTestEnv::Room("lobby").NewItem("room_autojoin");
    ServerTestEnv::Room("quiet");
    QVERIFY(env->logIn());
    QByteArray rest;
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::EnterRoom));
    QCOMPARE(rest, WireWriter().str("lobby").u32(0).bytes());
    env->sendMarkerRequest();
    QVERIFY(env->nextIsMarker());

    QVERIFY(env->dropAndReconnect());
    QTRY_VERIFY(env->server().IsConnected());
    env->sendMarkerRequest();
    QVERIFY(env->nextIsMarker());
}

QTEST_GUILESS_MAIN(TestServerConnection)
#include "tst_serverconnection.moc"

// The connection to the central server: login bytes, state changes, framing in both directions,
// reconnection and keep-alive, all against the fake server on 127.0.0.1.

#include "ServerTestEnv.h"

#include "store/Clock.h"
#include "store/TurnBudget.h"
#include "support/FeedDevice.h"
#include "support/HeapUse.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

// Code 14 for room r with these users (statistics: the speed and files both the user's number
// in the list, country "de").
QByteArray Entered(const QStringList& users)
{
    const auto count = quint32(users.size());
    WireWriter w;
    w.u32(ServerCode::EnterRoom).str("r").u32(count);
    for (const QString& user : users)
        w.str(user.toLatin1());
    w.u32(count);
    for (qsizetype i = 0; i < users.size(); ++i)
        w.u32(2);
    w.u32(count);
    for (qsizetype i = 0; i < users.size(); ++i)
        w.u32(quint32(i)).u64(0).u32(quint32(i)).u32(0);
    w.u32(count);
    for (qsizetype i = 0; i < users.size(); ++i)
        w.u32(0);
    w.u32(count);
    for (qsizetype i = 0; i < users.size(); ++i)
        w.str("de");
    return frameOf(w);
}

QStringList Named(const char* stem, int count)
{
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << QString::fromLatin1(stem) + QString::number(i);
    return names;
}

QByteArray Chat(const char* text)
{
    return frameOf(WireWriter().u32(ServerCode::RoomChat).str("r").str("bob").str(text));
}

} // namespace

class tst_ServerConnection : public QObject
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
    void passesEndAsOneGoDoes_data();
    void passesEndAsOneGoDoes();
    void roomEntryEndsWithItsConnection_data();
    void roomEntryEndsWithItsConnection();

    void afterLoginSendsWatchAndAddressRequests();
    void autojoinRoomsOnlyOnFirstLogin();

private:
    std::unique_ptr<ServerTestEnv> m_env;
};

void tst_ServerConnection::init()
{
    m_env = std::make_unique<ServerTestEnv>();
}

void tst_ServerConnection::cleanup()
{
    m_env.reset();
    Clock::Reset();
}

void tst_ServerConnection::loginIsByteExact()
{
    ServerTestEnv::SetSetting("username", "alice");
    ServerTestEnv::SetSetting("password", "secret");
    const QByteArray body = m_env->connectAndTakeLogin();
    QCOMPARE(frameOf(body).toHex(), hexBytes("43000000 01000000 05000000 616c696365 06000000 "
                                             "736563726574 9d000000 20000000")
                                        .append("c4e31313222cf05fcdd1fc068af5570e")
                                        .append(hexBytes("64000000"))
                                        .toHex());
}

void tst_ServerConnection::loginWithMissingPasswordUsesDefaults()
{
    ServerTestEnv::SetSetting("username", "alice");
    // No "password" key item at all: both settings fall back to the defaults.
    QVERIFY(d.GetType("global")->HasItem(Value("password")).IsNull());
    WireReader login(m_env->connectAndTakeLogin());
    QCOMPARE(login.u32(), 1u);
    QCOMPARE(login.str(), QByteArray("QuorvaleQT"));
    QCOMPARE(login.str(), QByteArray("KelvanirTosqueWadd"));
    QVERIFY(login.ok());
    QCOMPARE(ServerTestEnv::Setting("username"), std::string("QuorvaleQT"));
}

void tst_ServerConnection::connectWithoutUserNameDoesNothing()
{
    QSignalSpy connecting(&m_env->server(), &Server::Connecting);
    QSignalSpy failed(&m_env->server(), &Server::ConnectionFailed);
    LogCapture log;
    // A key item without a value counts as no user name.
    d.GetType("global")->GetItem(Value("username"));
    m_env->server().Connect();

    QCOMPARE(connecting.count(), 0);
    QCOMPARE(failed.count(), 0);
    QVERIFY(log.lines.isEmpty());
    QVERIFY(!m_env->server().IsConnected());
    // Had it started, a later Connect would be refused while connecting; it is not.
    ServerTestEnv::SetSetting("username", "alice");
    m_env->server().Connect();
    QCOMPARE(connecting.count(), 1);
    QCOMPARE(log.lines.size(), 1);
    QCOMPARE(log.lines.at(0),
             QStringLiteral("Attempting connection on port %1").arg(m_env->fake().port()));
}

void tst_ServerConnection::connectWhileConnectingOrLoggedInDoesNothing()
{
    QSignalSpy connecting(&m_env->server(), &Server::Connecting);
    QSignalSpy disconnected(&m_env->server(), &Server::Disconnected);
    ServerTestEnv::SetSetting("username", "alice");
    m_env->server().Connect();
    m_env->server().Connect();
    QCOMPARE(connecting.count(), 1);
    // Disconnect only ends a logged-in connection; the attempt goes on.
    m_env->server().Disconnect();
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(m_env->fake().waitForConnection());
    QCOMPARE(m_env->nextMessage(), qint64(ServerCode::Login));
    m_env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QTRY_VERIFY(m_env->server().IsConnected());
    m_env->server().Connect();
    QCOMPARE(connecting.count(), 1);
    QCOMPARE(m_env->fake().connectionCount(), 1);
}

void tst_ServerConnection::acceptedLoginLogsIn()
{
    QSignalSpy connected(&m_env->server(), &Server::Connected);
    bool loggedInWhenSignalled = false;
    connect(&m_env->server(), &Server::Connected, this, [this, &loggedInWhenSignalled] {
        loggedInWhenSignalled = m_env->server().IsConnected();
    });
    QVERIFY(m_env->logIn());
    QCOMPARE(connected.count(), 1);
    QVERIFY(loggedInWhenSignalled);
    QVERIFY(!m_env->server().IsAbruptlyDisconnected());
}

void tst_ServerConnection::refusedLoginFailsWithoutDisconnect_data()
{
    QTest::addColumn<QByteArray>("fields");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("with reason") << WireWriter().u8(0).str("INVALIDPASS").bytes()
                                 << QByteArray("INVALIDPASS");
    // A reply with nothing after its code reads as a refusal without a reason.
    QTest::newRow("empty body") << QByteArray() << QByteArray();
}

void tst_ServerConnection::refusedLoginFailsWithoutDisconnect()
{
    QFETCH(QByteArray, fields);
    QFETCH(QByteArray, reason);
    ServerTestEnv::SetSetting("username", "alice");
    QSignalSpy failed(&m_env->server(), &Server::ConnectionFailed);
    QSignalSpy disconnected(&m_env->server(), &Server::Disconnected);
    QVERIFY(!m_env->connectAndTakeLogin().isEmpty());
    m_env->fake().sendMessage(ServerCode::Login, fields);
    QVERIFY(failed.wait());
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).value<std::string>(), reason.toStdString());
    QVERIFY(m_env->fake().waitForClientClosed());
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(!m_env->server().IsConnected());
    // A refused login is not a loss: the next tick does not try again.
    QSignalSpy connecting(&m_env->server(), &Server::Connecting);
    m_env->fireHalfMinute();
    QCOMPARE(connecting.count(), 0);
}

void tst_ServerConnection::refusedLoginFailsOnceUnderNestedEventLoop()
{
    ServerTestEnv::SetSetting("username", "alice");
    QSignalSpy failed(&m_env->server(), &Server::ConnectionFailed);
    QSignalSpy disconnected(&m_env->server(), &Server::Disconnected);
    // The shell answers a refusal with a modal message box, whose event loop runs inside the
    // signal. It runs here until the client has closed its end, or has reported more.
    bool nested = false;
    bool settled = false;
    connect(&m_env->server(), &Server::ConnectionFailed, this, [&] {
        if (nested)
            return;
        nested = true;
        settled = QTest::qWaitFor([&] { return failed.count() > 1 || !m_env->fake().hasClient(); });
        nested = false;
    });
    QVERIFY(!m_env->connectAndTakeLogin().isEmpty());
    m_env->fake().sendMessage(ServerCode::Login, WireWriter().u8(0).str("INVALIDPASS"));
    m_env->fake().hangUp();

    QVERIFY(m_env->fake().waitForClientClosed());
    QTRY_VERIFY(settled);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).value<std::string>(), std::string("INVALIDPASS"));
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(!m_env->server().IsAbruptlyDisconnected());
}

void tst_ServerConnection::secondLoginReplyIsIgnored()
{
    QSignalSpy connected(&m_env->server(), &Server::Connected);
    QVERIFY(m_env->logIn());
    QVERIFY(m_env->deliverFrame(WireWriter().u32(ServerCode::Login).u8(0).str("late")));
    QVERIFY(m_env->server().IsConnected());
    QCOMPARE(connected.count(), 1);
}

void tst_ServerConnection::messagesBeforeLoginAreHandledOnlyWhileConnecting()
{
    ServerTestEnv::SetSetting("username", "alice");
    QSignalSpy stats(&m_env->server(), &Server::ReceivedOwnPrivilegesStatus);
    QVERIFY(!m_env->connectAndTakeLogin().isEmpty());
    // Connecting: handled before the login reply.
    QVERIFY(m_env->deliver(ServerCode::OwnPrivileges, WireWriter().i32(77)));
    QCOMPARE(stats.count(), 1);
    QCOMPARE(ServerTestEnv::Setting("privileges_time_left"), std::string("77"));
}

void tst_ServerConnection::reconnectsOnTickAfterAbruptLoss()
{
    QVERIFY(m_env->logIn());
    QSignalSpy disconnected(&m_env->server(), &Server::Disconnected);
    QSignalSpy failed(&m_env->server(), &Server::ConnectionFailed);
    m_env->fake().closeClient();
    QVERIFY(disconnected.wait());
    QCOMPARE(failed.count(), 0);
    QVERIFY(m_env->server().IsAbruptlyDisconnected());
    QVERIFY(!m_env->server().IsConnected());

    m_env->fireHalfMinute();
    QVERIFY(m_env->fake().waitForConnection());
    QCOMPARE(m_env->nextMessage(), qint64(ServerCode::Login));
    QVERIFY(!m_env->server().IsAbruptlyDisconnected());
    m_env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QTRY_VERIFY(m_env->server().IsConnected());
}

void tst_ServerConnection::noReconnectAfterUserDisconnect()
{
    QVERIFY(m_env->logIn());
    QSignalSpy disconnected(&m_env->server(), &Server::Disconnected);
    QSignalSpy connecting(&m_env->server(), &Server::Connecting);
    m_env->server().Disconnect();
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!m_env->server().IsConnected());
    QVERIFY(m_env->fake().waitForClientClosed());
    m_env->fireHalfMinute();
    QCOMPARE(connecting.count(), 0);
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!m_env->server().IsAbruptlyDisconnected());
}

void tst_ServerConnection::reconnectAttemptsRepeatUntilLoginIsSent()
{
    QVERIFY(m_env->logIn());
    QSignalSpy disconnected(&m_env->server(), &Server::Disconnected);
    QSignalSpy failed(&m_env->server(), &Server::ConnectionFailed);
    QSignalSpy connecting(&m_env->server(), &Server::Connecting);
    // The server goes away altogether: every attempt is refused, and the ticks keep trying.
    m_env->fake().stop();
    QVERIFY(disconnected.wait());
    for (int attempt = 1; attempt <= 2; ++attempt) {
        m_env->fireHalfMinute();
        QCOMPARE(connecting.count(), attempt);
        QTRY_COMPARE(failed.count(), attempt);
        QCOMPARE(failed.last().at(0).value<std::string>(), std::string("socket error"));
        QVERIFY(m_env->server().IsAbruptlyDisconnected());
    }

    // Reachable again: the login goes out, which ends the attempts ...
    FakeServer back;
    m_env->server().UseLocalServerForTesting(back.port());
    m_env->fireHalfMinute();
    QVERIFY(back.waitForConnection());
    QCOMPARE(back.nextMessage(), qint64(ServerCode::Login));
    QVERIFY(!m_env->server().IsAbruptlyDisconnected());
    // ... even when the connection is lost before the reply.
    back.closeClient();
    QTRY_COMPARE(failed.count(), 3);
    QVERIFY(!m_env->server().IsAbruptlyDisconnected());
    m_env->fireHalfMinute();
    QCOMPARE(connecting.count(), 3);
}

void tst_ServerConnection::refusedConnectionReportsSocketError()
{
    ServerTestEnv::SetSetting("username", "alice");
    const quint16 port = m_env->fake().port();
    m_env->fake().stop();
    m_env->server().UseLocalServerForTesting(port);
    QSignalSpy failed(&m_env->server(), &Server::ConnectionFailed);
    QSignalSpy disconnected(&m_env->server(), &Server::Disconnected);
    m_env->server().Connect();
    QVERIFY(failed.wait());
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).value<std::string>(), std::string("socket error"));
    QCOMPARE(disconnected.count(), 1);
    // Never logged in, so nothing to reconnect to.
    QVERIFY(!m_env->server().IsAbruptlyDisconnected());
}

void tst_ServerConnection::keepAliveOnlyWhileLoggedIn()
{
    ServerTestEnv::SetSetting("username", "alice");
    m_env->fireFiveMinutes(); // idle
    QVERIFY(!m_env->connectAndTakeLogin().isEmpty());
    m_env->fireFiveMinutes(); // connecting
    m_env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QTRY_VERIFY(m_env->server().IsConnected());
    m_env->fireFiveMinutes();
    // The keep-alive is the first thing sent after the login: none went out before it.
    QCOMPARE(frameOf(m_env->fake().nextFrame()), hexBytes("04000000 20000000"));
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker());
}

void tst_ServerConnection::lossClearsOnlineFlags()
{
    QVERIFY(m_env->logIn());
    ItemPtr bob = ServerTestEnv::User("bob");
    bob.NewItem("is_online");
    QVERIFY(bob.IsConnected("is_online"));
    m_env->fake().closeClient();
    QTRY_VERIFY(!m_env->server().IsConnected());
    QVERIFY(!bob.IsConnected("is_online"));
}

void tst_ServerConnection::unansweredLoginIsGivenUp_data()
{
    QTest::addColumn<bool>("afterReconnection");
    QTest::newRow("first attempt") << false;
    // The connection dies without a word after the reconnection has sent its login.
    QTest::newRow("after a reconnection") << true;
}

void tst_ServerConnection::unansweredLoginIsGivenUp()
{
    QFETCH(bool, afterReconnection);
    ServerTestEnv::SetSetting("username", "alice");
    if (afterReconnection) {
        QVERIFY(m_env->logIn());
        m_env->fake().closeClient();
        QTRY_VERIFY(!m_env->server().IsConnected());
        m_env->fireHalfMinute();
    } else {
        m_env->server().Connect();
    }
    QVERIFY(m_env->fake().waitForConnection());
    QCOMPARE(m_env->nextMessage(), qint64(ServerCode::Login));

    QSignalSpy failed(&m_env->server(), &Server::ConnectionFailed);
    QSignalSpy disconnected(&m_env->server(), &Server::Disconnected);
    QSignalSpy connecting(&m_env->server(), &Server::Connecting);
    Clock::Shift(Server::kLoginReplyTimeoutMs / 1000 - 1);
    m_env->fireHalfMinute();
    QCOMPARE(failed.count(), 0);
    QCOMPARE(connecting.count(), 0);
    QVERIFY(m_env->fake().hasClient());

    LogCapture log;
    Clock::Shift(2);
    m_env->fireHalfMinute();
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).value<std::string>(), std::string("socket error"));
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(log.lines.first().contains(QStringLiteral("No answer to the login")));
    // Taken as an abrupt loss: the failure is not shown, and the tick starts over.
    QCOMPARE(connecting.count(), 1);
    QVERIFY(m_env->fake().waitForConnection());
    QCOMPARE(m_env->nextMessage(), qint64(ServerCode::Login));
    m_env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QTRY_VERIFY(m_env->server().IsConnected());
    QCOMPARE(failed.count(), 1);
}

void tst_ServerConnection::lengthArrivingInPieces()
{
    QVERIFY(m_env->logIn());
    QSignalSpy privileges(&m_env->server(), &Server::ReceivedOwnPrivilegesStatus);
    const QByteArray frame = frameOf(WireWriter().u32(ServerCode::OwnPrivileges).i32(1234));
    m_env->fake().sendRaw(frame.left(2));
    QVERIFY(m_env->fake().hasClient());
    QTest::qWait(20);
    m_env->fake().sendRaw(frame.mid(2, 2));
    QTest::qWait(20);
    m_env->fake().sendRaw(frame.mid(4, 3));
    QTest::qWait(20);
    m_env->fake().sendRaw(frame.mid(7));
    QVERIFY(m_env->sync());
    QCOMPARE(privileges.count(), 1);
    QCOMPARE(privileges.at(0).at(0).toInt(), 1234);
}

void tst_ServerConnection::twoFramesInOneWrite()
{
    QVERIFY(m_env->logIn());
    QList<int> seen;
    connect(&m_env->server(), &Server::ReceivedOwnPrivilegesStatus, this,
            [&seen](int v) { seen << v; });
    m_env->fake().sendRaw(frameOf(WireWriter().u32(ServerCode::OwnPrivileges).i32(1)) +
                          frameOf(WireWriter().u32(ServerCode::OwnPrivileges).i32(2)));
    QVERIFY(m_env->sync());
    QCOMPARE(seen, QList<int>({1, 2}));
}

void tst_ServerConnection::bodyLargerThanBuffer()
{
    QVERIFY(m_env->logIn());
    QList<std::string> texts;
    connect(&m_env->server(), &Server::RoomChat, this,
            [&texts](std::string, std::string, std::string text) { texts << text; });
    // Far above the 256-byte start of the read buffer, then a small one that reuses it.
    const QByteArray big(100000, 'x');
    m_env->fake().sendMessage(ServerCode::RoomChat, WireWriter().str("room").str("bob").str(big));
    m_env->fake().sendMessage(ServerCode::RoomChat, WireWriter().str("room").str("bob").str("hi"));
    QVERIFY(m_env->sync());
    QCOMPARE(texts.size(), 2);
    QCOMPARE(QByteArray::fromStdString(texts.at(0)), big);
    QCOMPARE(texts.at(1), std::string("hi"));
}

void tst_ServerConnection::frameTooShortForACodeIsDropped()
{
    QVERIFY(m_env->logIn());
    m_env->fake().sendRaw(hexBytes("00000000"));
    m_env->fake().sendRaw(hexBytes("02000000 5c00"));
    QVERIFY(m_env->sync());
    QVERIFY(m_env->server().IsConnected());
}

void tst_ServerConnection::oversizeFrameClosesConnection_data()
{
    QTest::addColumn<quint32>("length");
    QTest::newRow("all ones") << 0xFFFFFFFFu;
    QTest::newRow("one above the limit") << Server::kMaxFrameLength + 1;
}

void tst_ServerConnection::oversizeFrameClosesConnection()
{
    QFETCH(quint32, length);
    QVERIFY(m_env->logIn());
    QSignalSpy disconnected(&m_env->server(), &Server::Disconnected);
    LogCapture log;
    m_env->fake().sendRaw(WireWriter().u32(length).u32(ServerCode::OwnPrivileges));
    QVERIFY(m_env->fake().waitForClientClosed());
    QTRY_COMPARE(disconnected.count(), 1);
    QVERIFY(m_env->server().IsAbruptlyDisconnected());
    QCOMPARE(log.lines.size(), 1);
    QVERIFY(log.lines.at(0).contains(QString::number(length)));

    // Behaves as any loss: the tick reconnects.
    m_env->fireHalfMinute();
    QVERIFY(m_env->fake().waitForConnection());
    QCOMPARE(m_env->nextMessage(), qint64(ServerCode::Login));
}

void tst_ServerConnection::midFrameLossDoesNotMisalignNextConnection()
{
    QVERIFY(m_env->logIn());
    // A frame announcing 100 bytes, of which 10 arrive before the loss.
    const QByteArray start =
        WireWriter().u32(100).u32(ServerCode::OwnPrivileges).raw(QByteArray(6, 0));
    m_env->fake().sendRaw(start);
    QVERIFY(m_env->dropAndReconnect());
    QTRY_VERIFY(m_env->server().IsConnected());
    QSignalSpy privileges(&m_env->server(), &Server::ReceivedOwnPrivilegesStatus);
    QVERIFY(m_env->deliver(ServerCode::OwnPrivileges, WireWriter().i32(5)));
    QCOMPARE(privileges.count(), 1);
    QCOMPARE(privileges.at(0).at(0).toInt(), 5);
}

void tst_ServerConnection::announcedBodyIsNotAllocatedUpFront()
{
    FeedDevice wire;
    const qint64 before = HeapInUse();
    // Eight bytes announcing the largest frame accepted.
    wire.Feed(WireWriter().u32(Server::kMaxFrameLength).u32(ServerCode::RoomChat));
    m_env->server().ReadFrames(wire);
    QCOMPARE(wire.Left(), qsizetype(0));
    QVERIFY2(HeapInUse() - before < 1024 * 1024, qPrintable(QString::number(HeapInUse() - before)));

    // What arrives is what is kept, give or take the buffer's doubling.
    wire.Feed(QByteArray(2 * 1024 * 1024, 'x'));
    m_env->server().ReadFrames(wire);
    QVERIFY2(HeapInUse() - before < 8 * 1024 * 1024,
             qPrintable(QString::number(HeapInUse() - before)));
}

void tst_ServerConnection::largeBodyBufferIsReleasedAfterItsFrame()
{
    FeedDevice wire;
    wire.Feed(frameOf(WireWriter().u32(ServerCode::OwnPrivileges).i32(1)));
    m_env->server().ReadFrames(wire);
    const QByteArray text(4 * 1024 * 1024, 'x');
    wire.Feed(frameOf(WireWriter().u32(ServerCode::RoomChat).str("room").str("bob").str(text)));
    const qint64 before = HeapInUse();
    m_env->server().ReadFrames(wire);
    QCOMPARE(wire.Left(), qsizetype(0));
    QVERIFY2(HeapInUse() - before < 256 * 1024, qPrintable(QString::number(HeapInUse() - before)));
}

void tst_ServerConnection::passesEndAsOneGoDoes_data()
{
    // Sent in one write: a chat, the answer to entering room r, a leave and a join in it, a
    // chat. Before them, when given, an earlier answer for r.
    QTest::addColumn<qint64>("budget"); // of each pass; -1: as built
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("entered");
    QTest::addColumn<QStringList>("users"); // in r at the end

    const QStringList six = Named("u", 600);
    QStringList staying = six;
    staying.removeOne("u5");
    const QStringList left = Named("a", 300) + Named("s", 300);
    const QStringList again = Named("s", 300) + Named("u", 300);
    QStringList stayingAgain = again;
    stayingAgain.removeOne("u5");
    for (qint64 budget : {qint64(-1), qint64(0)}) {
        const char* pass = budget < 0 ? "passes as built" : "a frame or a step a pass";
        QTest::addRow("entering, %s", pass)
            << budget << QStringList() << six << staying + QStringList{"late"};
        QTest::addRow("entering again, %s", pass)
            << budget << left << again << stayingAgain + QStringList{"late"};
    }
}

void tst_ServerConnection::passesEndAsOneGoDoes()
{
    QFETCH(qint64, budget);
    QFETCH(QStringList, before);
    QFETCH(QStringList, entered);
    QFETCH(QStringList, users);

    QVERIFY(m_env->logIn());
    if (!before.isEmpty())
        QVERIFY(m_env->deliverFrame(Entered(before).mid(4)));
    struct PassBudget
    {
        explicit PassBudget(qint64 ms) { TurnBudget::SetStepsPerSliceForTesting(ms == 0 ? 1 : 0); }
        ~PassBudget() { TurnBudget::SetStepsPerSliceForTesting(0); }
    } passes(budget);
    // What the chats found in the room, and how many turns the event loop took between them.
    QList<int> seen;
    int turns = -1;
    QTimer turn;
    connect(&turn, &QTimer::timeout, this, [&turns] { turns += turns >= 0 ? 1 : 0; });
    turn.start(0);
    connect(&m_env->server(), &Server::RoomChat, this,
            [&](std::string, std::string, std::string text) {
                seen << int(ServerTestEnv::Room("r").GetItems("user").size());
                turns = text == "first" ? 0 : turns;
            });
    LogCapture log;
    m_env->fake().sendRaw(Chat("first") + Entered(entered) +
                          frameOf(WireWriter().u32(ServerCode::UserLeftRoom).str("r").str("u5")) +
                          frameOf(WireWriter()
                                      .u32(ServerCode::UserJoinedRoom)
                                      .str("r")
                                      .str("late")
                                      .u32(2)
                                      .u32(7)
                                      .u64(0)
                                      .u32(7)
                                      .u32(0)
                                      .u32(0)
                                      .str("nl")) +
                          Chat("last"));
    QVERIFY(m_env->sync());

    // Every later message finds the answer whole: the leave stays a leave.
    QCOMPARE(seen, (QList<int>{int(before.size()), int(users.size())}));
    QStringList names;
    for (Item* user : ServerTestEnv::Room("r").GetItems("user"))
        names << QString::fromLatin1(ItemPtr(user).AsString());
    names.sort();
    users.sort();
    QCOMPARE(names, users);
    // Each with the figures of its place in the answer; the late one with its own.
    for (const QString& user : users) {
        const ItemPtr item = d.GetType("user")->HasItem(Value(user.toStdString()));
        const int figure = user == "late" ? 7 : int(entered.indexOf(user));
        QCOMPARE(item["shared_files_count"].AsInt(), figure);
        QCOMPARE(item["average_download_speed"].AsInt(), figure);
    }
    QVERIFY(ServerTestEnv::Room("r").IsConnected("in_room"));
    QCOMPARE(log.lines, QStringList());
    // Cut into passes, the answer took turns of the event loop; the leave and the join came
    // after its last step all the same.
    if (budget == 0)
        QVERIFY2(turns > 2, qPrintable(QString::number(turns)));
}

void tst_ServerConnection::roomEntryEndsWithItsConnection_data()
{
    QTest::addColumn<QString>("end"); // of the connection, while the answer is being linked
    QTest::newRow("the server closes") << "close";
    QTest::newRow("we disconnect") << "disconnect";
    QTest::newRow("we disconnect and log in again") << "again";
}

void tst_ServerConnection::roomEntryEndsWithItsConnection()
{
    QFETCH(QString, end);
    QVERIFY(m_env->logIn());
    const TurnBudget::StepsForTesting oneStepASlice(1);
    const auto inRoom = [] { return int(ServerTestEnv::Room("r").GetItems("user").size()); };
    int whenOver = -1;
    connect(&m_env->server(), &Server::Disconnected, this, [&] { whenOver = inRoom(); });
    m_env->fake().sendRaw(Entered(Named("u", 5000)));
    // A turn at a time, so that the end comes a step or two into the answer: a wait of a few
    // milliseconds could see every step through.
    QElapsedTimer waited;
    waited.start();
    while (inRoom() == 0 && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    QVERIFY(inRoom() > 0);
    end == "close" ? m_env->fake().closeClient() : m_env->server().Disconnect();
    QTRY_VERIFY(whenOver >= 0 && whenOver < 5000);
    if (end == "again")
        QVERIFY(m_env->logIn());
    // The old answer links no one after its connection is gone.
    QTest::qWait(200);
    QCOMPARE(inRoom(), whenOver);
}

void tst_ServerConnection::afterLoginSendsWatchAndAddressRequests()
{
    // Made while offline: dropped, but remembered in the store.
    m_env->server().TrackUser("carol");
    m_env->server().GetUserAddress("dave");
    m_env->server().FileSearch("abc");
    QVERIFY(ServerTestEnv::User("carol").IsConnected("is_tracked"));
    QVERIFY(ServerTestEnv::User("dave").IsConnected("user_address_request"));

    QVERIFY(m_env->logIn());
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::AddUser));
    QCOMPARE(rest, WireWriter().str("carol").bytes());
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::GetUserAddress));
    QCOMPARE(rest, WireWriter().str("dave").bytes());
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker());
    QCOMPARE(ServerTestEnv::Setting("accept_room_list"), std::string("yes"));

    // And again after the next login.
    QVERIFY(m_env->dropAndReconnect());
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::AddUser));
    QCOMPARE(rest, WireWriter().str("carol").bytes());
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::GetUserAddress));
    QCOMPARE(rest, WireWriter().str("dave").bytes());
}

void tst_ServerConnection::autojoinRoomsOnlyOnFirstLogin()
{
    ServerTestEnv::Room("lobby").NewItem("room_autojoin");
    ServerTestEnv::Room("quiet");
    QVERIFY(m_env->logIn());
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::EnterRoom));
    QCOMPARE(rest, WireWriter().str("lobby").u32(0).bytes());
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker());

    QVERIFY(m_env->dropAndReconnect());
    QTRY_VERIFY(m_env->server().IsConnected());
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker());
}

QTEST_GUILESS_MAIN(tst_ServerConnection)
#include "tst_serverconnection.moc"

// Requests to the central server: the exact bytes of each, the token counters, the store side
// effects, and what happens to requests made while not logged in.

#include "ServerTestEnv.h"

#include "store/Random.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>

using Request = std::function<void(Server&)>;
Q_DECLARE_METATYPE(Request)

namespace {

constexpr quint32 kSeededToken = 0x5EED0001u;

} // namespace

class tst_ServerRequests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void layout_data();
    void layout();

    void firstSearchBytesAndTokens();
    void wishListSearch();
    void searchWhileOfflineKeepsItsEffects();
    void indirectTokensStartAtRandomValue();
    void tokensContinueAfterReconnection();
    void addressRequestedOncePerAnswer();
    void trackUserOnlyOnce();
    void untrackUser();
    void leaveRoomOnlyWhenInRoom();
    void roomListRequestAcceptsNextList();
    void requestsWhileConnectingAreDropped();

private:
    std::unique_ptr<ServerTestEnv> m_env;
};

void tst_ServerRequests::initTestCase()
{
    SetRandomSource([] { return kSeededToken; });
}

void tst_ServerRequests::cleanupTestCase()
{
    SetRandomSource({});
}

void tst_ServerRequests::init()
{
    m_env = std::make_unique<ServerTestEnv>();
}

void tst_ServerRequests::cleanup()
{
    m_env.reset();
}

void tst_ServerRequests::layout_data()
{
    QTest::addColumn<Request>("request");
    QTest::addColumn<QByteArray>("frame");

    // clang-format off
    QTest::newRow("2 ports, the constant 1 between them")
        << Request([](Server& s) { s.SetWaitPort(2234, 2235); })
        << hexBytes("10000000 02000000 ba080000 01000000 bb080000");
    QTest::newRow("5 add user")
        << Request([](Server& s) { s.AddUser("bob"); })
        << hexBytes("0b000000 05000000 03000000 626f62");
    QTest::newRow("7 user status")
        << Request([](Server& s) { s.GetUserStatus("bob"); })
        << hexBytes("0b000000 07000000 03000000 626f62");
    QTest::newRow("13 room chat")
        << Request([](Server& s) { s.SendRoomChat("r", "hi"); })
        << hexBytes("0f000000 0d000000 01000000 72 02000000 6869");
    QTest::newRow("14 enter private room, flag as u32")
        << Request([](Server& s) { s.EnterRoom("r", true); })
        << hexBytes("0d000000 0e000000 01000000 72 01000000");
    QTest::newRow("14 enter public room")
        << Request([](Server& s) { s.EnterRoom("r", false); })
        << hexBytes("0d000000 0e000000 01000000 72 00000000");
    QTest::newRow("22 private chat")
        << Request([](Server& s) { s.SendPrivateChat("bob", "hi"); })
        << hexBytes("11000000 16000000 03000000 626f62 02000000 6869");
    QTest::newRow("35 folders and files")
        << Request([](Server& s) { s.SendFilesFolders(3, 42); })
        << hexBytes("0c000000 23000000 03000000 2a000000");
    QTest::newRow("36 user stats")
        << Request([](Server& s) { s.GetUserStats("bob"); })
        << hexBytes("0b000000 24000000 03000000 626f62");
    QTest::newRow("64 room list")
        << Request([](Server& s) { s.GetRoomList(); })
        << hexBytes("04000000 40000000");
    QTest::newRow("71 has parent is negated")
        << Request([](Server& s) { s.SendDNetHasParent(true); })
        << hexBytes("05000000 47000000 00");
    QTest::newRow("71 has no parent")
        << Request([](Server& s) { s.SendDNetHasParent(false); })
        << hexBytes("05000000 47000000 01");
    QTest::newRow("92 own privileges")
        << Request([](Server& s) { s.GetOwnPrivilegesStatus(); })
        << hexBytes("04000000 5c000000");
    QTest::newRow("100 can parent")
        << Request([](Server& s) { s.SendDNetCanParent(true); })
        << hexBytes("05000000 64000000 01");
    QTest::newRow("121 upload speed")
        << Request([](Server& s) { s.SendUploadSpeed(1000); })
        << hexBytes("08000000 79000000 e8030000");
    QTest::newRow("126 level -1")
        << Request([](Server& s) { s.SendDNetLevel(-1); })
        << hexBytes("08000000 7e000000 ffffffff");
    QTest::newRow("127 group leader")
        << Request([](Server& s) { s.SendDNetGroupLeader("bob"); })
        << hexBytes("0b000000 7f000000 03000000 626f62");
    QTest::newRow("129 child depth")
        << Request([](Server& s) { s.SendChildDepth(true); })
        << hexBytes("05000000 81000000 01");
    QTest::newRow("134 add member: room, then user")
        << Request([](Server& s) { s.AddPrivateRoomMember("r", "bob"); })
        << hexBytes("10000000 86000000 01000000 72 03000000 626f62");
    QTest::newRow("135 remove member")
        << Request([](Server& s) { s.RemovePrivateRoomMember("r", "bob"); })
        << hexBytes("10000000 87000000 01000000 72 03000000 626f62");
    QTest::newRow("136 give up membership")
        << Request([](Server& s) { s.GiveUpPrivateRoomMembership("r"); })
        << hexBytes("09000000 88000000 01000000 72");
    QTest::newRow("137 give up room")
        << Request([](Server& s) { s.GiveUpPrivateRoom("r"); })
        << hexBytes("09000000 89000000 01000000 72");
    QTest::newRow("141 invitations off")
        << Request([](Server& s) { s.EnablePrivateRoomAdd(false); })
        << hexBytes("05000000 8d000000 00");
    QTest::newRow("143 add operator")
        << Request([](Server& s) { s.AddPrivateRoomOperator("r", "bob"); })
        << hexBytes("10000000 8f000000 01000000 72 03000000 626f62");
    QTest::newRow("144 remove operator")
        << Request([](Server& s) { s.RemovePrivateRoomOperator("r", "bob"); })
        << hexBytes("10000000 90000000 01000000 72 03000000 626f62");
    QTest::newRow("153 related searches")
        << Request([](Server& s) { s.GetSearchCorrelations("abc"); })
        << hexBytes("0b000000 99000000 03000000 616263");
    QTest::newRow("1001 cannot connect")
        << Request([](Server& s) { s.SendCantConnectToPeer(7, "bob"); })
        << hexBytes("0f000000 e9030000 07000000 03000000 626f62");
    QTest::newRow("strings go out as given, NUL included")
        << Request([](Server& s) { s.SendPrivateChat("bob", std::string("a\0b", 3)); })
        << hexBytes("12000000 16000000 03000000 626f62 03000000 610062");
    // clang-format on
}

void tst_ServerRequests::layout()
{
    QFETCH(Request, request);
    QFETCH(QByteArray, frame);
    QVERIFY(m_env->logIn());
    request(m_env->server());
    QCOMPARE(frameOf(m_env->fake().nextFrame()).toHex(' '), frame.toHex(' '));
}

void tst_ServerRequests::firstSearchBytesAndTokens()
{
    QVERIFY(m_env->logIn());
    QSignalSpy requested(&m_env->server(), &Server::SearchRequested);
    QCOMPARE(m_env->server().FileSearch("abc"), 1u);
    QCOMPARE(frameOf(m_env->fake().nextFrame()),
             hexBytes("0f000000 1a000000 01000000 03000000 616263"));
    QCOMPARE(m_env->server().FileSearch("abc"), 2u);
    QCOMPARE(frameOf(m_env->fake().nextFrame()),
             hexBytes("0f000000 1a000000 02000000 03000000 616263"));

    // Two requests share the one text item.
    ItemPtr first = d.GetType("search_request")->HasItem(Value("1"));
    ItemPtr second = d.GetType("search_request")->HasItem(Value("2"));
    QVERIFY(!first.IsNull() && !second.IsNull());
    QCOMPARE(first["search_request_text"].AsString(), std::string("abc"));
    QCOMPARE(first["search_request_text"].Get(), second["search_request_text"].Get());
    QVERIFY(!first.IsConnected("wishlist_search"));

    QCOMPARE(requested.count(), 2);
    QCOMPARE(requested.at(1).at(0).toUInt(), 2u);
    QCOMPARE(requested.at(1).at(1).value<std::string>(), std::string("abc"));
    QCOMPARE(requested.at(1).at(2).toBool(), false);
}

void tst_ServerRequests::wishListSearch()
{
    QVERIFY(m_env->logIn());
    QSignalSpy requested(&m_env->server(), &Server::SearchRequested);
    QCOMPARE(m_env->server().FileSearch("song", true), 1u);
    QCOMPARE(frameOf(m_env->fake().nextFrame()),
             hexBytes("10000000 67000000 01000000 04000000 736f6e67"));
    QVERIFY(d.GetType("search_request")->HasItem(Value("1")).IsConnected("wishlist_search"));
    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.at(0).at(2).toBool(), true);
}

void tst_ServerRequests::searchWhileOfflineKeepsItsEffects()
{
    QSignalSpy requested(&m_env->server(), &Server::SearchRequested);
    QCOMPARE(m_env->server().FileSearch("abc"), 1u);
    QCOMPARE(requested.count(), 1);
    QVERIFY(!d.GetType("search_request")->HasItem(Value("1")).IsNull());

    QVERIFY(m_env->logIn());
    // The offline search was dropped, not queued; it still used up its token.
    QCOMPARE(m_env->server().FileSearch("xyz"), 2u);
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::FileSearch));
    QCOMPARE(rest, WireWriter().u32(2).str("xyz").bytes());
}

void tst_ServerRequests::indirectTokensStartAtRandomValue()
{
    QVERIFY(m_env->logIn());
    QCOMPARE(m_env->server().SendIndirectConnectionRequest("bob", "P"), kSeededToken);
    QCOMPARE(m_env->server().SendIndirectConnectionRequest("bob", "F"), kSeededToken + 1);
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::ConnectToPeer));
    QCOMPARE(rest, WireWriter().u32(kSeededToken).str("bob").str("P").bytes());
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::ConnectToPeer));
    QCOMPARE(rest, WireWriter().u32(kSeededToken + 1).str("bob").str("F").bytes());
}

void tst_ServerRequests::tokensContinueAfterReconnection()
{
    QVERIFY(m_env->logIn());
    QCOMPARE(m_env->server().FileSearch("a"), 1u);
    QCOMPARE(m_env->server().SendIndirectConnectionRequest("bob", "P"), kSeededToken);

    QVERIFY(m_env->dropAndReconnect());
    QTRY_VERIFY(m_env->server().IsConnected());

    // A token of the earlier connection may still be named by the server or a peer, so the new
    // connection must not hand it out again.
    QCOMPARE(m_env->server().FileSearch("b"), 2u);
    QCOMPARE(m_env->server().SendIndirectConnectionRequest("bob", "P"), kSeededToken + 1);
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::FileSearch));
    QCOMPARE(rest, WireWriter().u32(2).str("b").bytes());
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::ConnectToPeer));
    QCOMPARE(rest, WireWriter().u32(kSeededToken + 1).str("bob").str("P").bytes());
}

void tst_ServerRequests::addressRequestedOncePerAnswer()
{
    QVERIFY(m_env->logIn());
    m_env->server().GetUserAddress("bob");
    m_env->server().GetUserAddress("bob");
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::GetUserAddress));
    QCOMPARE(rest, WireWriter().str("bob").bytes());
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker());

    QVERIFY(m_env->deliver(ServerCode::GetUserAddress,
                           WireWriter().str("bob").u32(0x0100007f).i32(2234).u32(0).u16(0)));
    QVERIFY(!ServerTestEnv::User("bob").IsConnected("user_address_request"));
    m_env->server().GetUserAddress("bob");
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::GetUserAddress));
    QCOMPARE(rest, WireWriter().str("bob").bytes());
}

void tst_ServerRequests::trackUserOnlyOnce()
{
    QVERIFY(m_env->logIn());
    m_env->server().TrackUser("bob");
    m_env->server().TrackUser("bob");
    m_env->server().AddUser("bob");
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::AddUser));
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::AddUser));
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker());
    QVERIFY(ServerTestEnv::User("bob").IsConnected("is_tracked"));
}

void tst_ServerRequests::untrackUser()
{
    QVERIFY(m_env->logIn());
    m_env->server().UntrackUser("bob"); // not tracked: nothing
    m_env->server().TrackUser("bob");
    m_env->server().UntrackUser("bob");
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::AddUser));
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::UntrackUser));
    QCOMPARE(rest, WireWriter().str("bob").bytes());
    QVERIFY(!ServerTestEnv::User("bob").IsConnected("is_tracked"));
}

void tst_ServerRequests::leaveRoomOnlyWhenInRoom()
{
    QVERIFY(m_env->logIn());
    m_env->server().LeaveRoom("lobby");
    ServerTestEnv::Room("lobby").NewItem("in_room");
    m_env->server().LeaveRoom("lobby");
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::LeaveRoom));
    QCOMPARE(rest, WireWriter().str("lobby").bytes());
    // The flag goes with the server's answer, not with the request.
    QVERIFY(ServerTestEnv::Room("lobby").IsConnected("in_room"));
}

void tst_ServerRequests::roomListRequestAcceptsNextList()
{
    ServerTestEnv::SetSetting("accept_room_list", "no");
    m_env->server().GetRoomList(); // offline: dropped, but the setting is still changed
    QCOMPARE(ServerTestEnv::Setting("accept_room_list"), std::string("yes"));
}

void tst_ServerRequests::requestsWhileConnectingAreDropped()
{
    ServerTestEnv::SetSetting("username", "alice");
    QVERIFY(!m_env->connectAndTakeLogin().isEmpty());
    m_env->server().AddUser("bob");
    m_env->server().SendRoomChat("r", "t");
    m_env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QTRY_VERIFY(m_env->server().IsConnected());
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker());
}

QTEST_GUILESS_MAIN(tst_ServerRequests)
#include "tst_serverrequests.moc"

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

constexpr quint32 SeededToken = 0x5EED0001u;

} // namespace

class TestServerRequests : public QObject
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
    std::unique_ptr<ServerTestEnv> env;
};

void TestServerRequests::initTestCase()
{
    SetRandomSource([] { return SeededToken; });
}

void TestServerRequests::cleanupTestCase()
{
    SetRandomSource({});
}

void TestServerRequests::init()
{
    env = std::make_unique<ServerTestEnv>();
}

void TestServerRequests::cleanup()
{
    env.reset();
}

void TestServerRequests::layout_data()
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

void TestServerRequests::layout()
{
    QFETCH(Request, request);
    QFETCH(QByteArray, frame);
    QVERIFY(env->logIn());
    request(env->server());
    QCOMPARE(frameOf(env->fake().nextFrame()).toHex(' '), frame.toHex(' '));
}

void TestServerRequests::firstSearchBytesAndTokens()
{
    QVERIFY(env->logIn());
    QSignalSpy requested(&env->server(), &Server::SearchRequested);
    QCOMPARE(env->server().FileSearch("abc"), 1u);
    QCOMPARE(frameOf(env->fake().nextFrame()),
             hexBytes("0f000000 1a000000 01000000 03000000 616263"));
    QCOMPARE(env->server().FileSearch("abc"), 2u);
    QCOMPARE(frameOf(env->fake().nextFrame()),
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

void TestServerRequests::wishListSearch()
{
    QVERIFY(env->logIn());
    QSignalSpy requested(&env->server(), &Server::SearchRequested);
    QCOMPARE(env->server().FileSearch("song", true), 1u);
    QCOMPARE(frameOf(env->fake().nextFrame()),
             hexBytes("10000000 67000000 01000000 04000000 736f6e67"));
    QVERIFY(d.GetType("search_request")->HasItem(Value("1")).IsConnected("wishlist_search"));
    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.at(0).at(2).toBool(), true);
}

void TestServerRequests::searchWhileOfflineKeepsItsEffects()
{
    QSignalSpy requested(&env->server(), &Server::SearchRequested);
    QCOMPARE(env->server().FileSearch("abc"), 1u);
    QCOMPARE(requested.count(), 1);
    QVERIFY(!d.GetType("search_request")->HasItem(Value("1")).IsNull());

    QVERIFY(env->logIn());
    // The offline search was dropped, not queued; it still used up its token.
    QCOMPARE(env->server().FileSearch("xyz"), 2u);
    QByteArray rest;
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::FileSearch));
    QCOMPARE(rest, WireWriter().u32(2).str("xyz").bytes());
}

void TestServerRequests::indirectTokensStartAtRandomValue()
{
    QVERIFY(env->logIn());
    QCOMPARE(env->server().SendIndirectConnectionRequest("bob", "P"), SeededToken);
    QCOMPARE(env->server().SendIndirectConnectionRequest("bob", "F"), SeededToken + 1);
    QByteArray rest;
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::ConnectToPeer));
    QCOMPARE(rest, WireWriter().u32(SeededToken).str("bob").str("P").bytes());
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::ConnectToPeer));
    QCOMPARE(rest, WireWriter().u32(SeededToken + 1).str("bob").str("F").bytes());
}

void TestServerRequests::tokensContinueAfterReconnection()
{
    QVERIFY(env->logIn());
    QCOMPARE(env->server().FileSearch("a"), 1u);
    QCOMPARE(env->server().SendIndirectConnectionRequest("bob", "P"), SeededToken);

    QVERIFY(env->dropAndReconnect());
    QTRY_VERIFY(env->server().IsConnected());

    // A token of the earlier connection may still be named by the server or a peer, so the new
    // connection must not hand it out again.
    QCOMPARE(env->server().FileSearch("b"), 2u);
    QCOMPARE(env->server().SendIndirectConnectionRequest("bob", "P"), SeededToken + 1);
    QByteArray rest;
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::FileSearch));
    QCOMPARE(rest, WireWriter().u32(2).str("b").bytes());
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::ConnectToPeer));
    QCOMPARE(rest, WireWriter().u32(SeededToken + 1).str("bob").str("P").bytes());
}

void TestServerRequests::addressRequestedOncePerAnswer()
{
    QVERIFY(env->logIn());
    env->server().GetUserAddress("bob");
    env->server().GetUserAddress("bob");
    QByteArray rest;
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::GetUserAddress));
    QCOMPARE(rest, WireWriter().str("bob").bytes());
    env->sendMarkerRequest();
    QVERIFY(env->nextIsMarker());

    QVERIFY(env->deliver(ServerCode::GetUserAddress,
                         WireWriter().str("bob").u32(0x0100007f).i32(2234).u32(0).u16(0)));
    QVERIFY(!ServerTestEnv::User("bob").IsConnected("user_address_request"));
    env->server().GetUserAddress("bob");
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::GetUserAddress));
    QCOMPARE(rest, WireWriter().str("bob").bytes());
}

void TestServerRequests::trackUserOnlyOnce()
{
    QVERIFY(env->logIn());
    env->server().TrackUser("bob");
    env->server().TrackUser("bob");
    env->server().AddUser("bob");
    QByteArray rest;
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::AddUser));
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::AddUser));
    env->sendMarkerRequest();
    QVERIFY(env->nextIsMarker());
    QVERIFY(ServerTestEnv::User("bob").IsConnected("is_tracked"));
}

void TestServerRequests::untrackUser()
{
    QVERIFY(env->logIn());
    env->server().UntrackUser("bob"); // not tracked: nothing
    env->server().TrackUser("bob");
    env->server().UntrackUser("bob");
    QByteArray rest;
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::AddUser));
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::UntrackUser));
    QCOMPARE(rest, WireWriter().str("bob").bytes());
    QVERIFY(!ServerTestEnv::User("bob").IsConnected("is_tracked"));
}

void TestServerRequests::leaveRoomOnlyWhenInRoom()
{
    QVERIFY(env->logIn());
    env->server().LeaveRoom("lobby");
    ServerTestEnv::Room("lobby").NewItem("in_room");
    env->server().LeaveRoom("lobby");
    QByteArray rest;
    QCOMPARE(env->nextMessage(&rest), qint64(ServerCode::LeaveRoom));
    QCOMPARE(rest, WireWriter().str("lobby").bytes());
    // The flag goes with the server's answer, not with the request.
    QVERIFY(ServerTestEnv::Room("lobby").IsConnected("in_room"));
}

void TestServerRequests::roomListRequestAcceptsNextList()
{
    ServerTestEnv::SetSetting("accept_room_list", "no");
    env->server().GetRoomList(); // offline: dropped, but the setting is still changed
    QCOMPARE(ServerTestEnv::Setting("accept_room_list"), std::string("yes"));
}

void TestServerRequests::requestsWhileConnectingAreDropped()
{
    ServerTestEnv::SetSetting("username", "alice");
    QVERIFY(!env->connectAndTakeLogin().isEmpty());
    env->server().AddUser("bob");
    env->server().SendRoomChat("r", "t");
    env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QTRY_VERIFY(env->server().IsConnected());
    env->sendMarkerRequest();
    QVERIFY(env->nextIsMarker());
}

QTEST_GUILESS_MAIN(TestServerRequests)
#include "tst_serverrequests.moc"

// Messages from the central server: their store effects, signals and answers, and the lenient
// reading of short, long and unknown messages. Every message goes through the fake server and the
// client's real frame reader.

#include "ServerTestEnv.h"

#include "store/UserStats.h"

#include <QSignalSpy>
#include <QTest>

#include <list>

namespace {

WireWriter& Stats(WireWriter& w, qint32 speed, qint32 files)
{
    return w.i32(speed).u64(99).i32(files).i32(7);
}

std::string ValueOf(ItemPtr item, const char* typeName)
{
    return item[typeName].AsString();
}

// Records, at the moment a user's address item changes, whether that user already had a
// relayed connection request tied to it.
class AddressWatcher : public DataHandler
{
public:
    explicit AddressWatcher(Type* userAddress)
    {
        userAddress->connectedEvent.Add(NewEventHandler(this, &AddressWatcher::OnConnected));
    }

    void OnConnected(ConnectionInfo info)
    {
        ItemPtr user = info.second;
        ItemPtr request = user["peer_connection_request"];
        requestTiedFirst.push_back(!request.IsNull() &&
                                   !request["peer_connection_request_id"].IsNull() &&
                                   !request["peer_connection_type"].IsNull());
    }

    std::vector<bool> requestTiedFirst;
};

} // namespace

class tst_ServerMessages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    // Login, users and peers.
    void acceptedLoginSendsInOrder();
    void everythingDroppedWhileIdle();
    void userAddress_data();
    void userAddress();
    void addUserReply();
    void userStatus();
    void peerConnectionRequest();
    void peerConnectionRequestTiedBeforeAddress();
    void privateChat();
    void privateChatFromIgnoredUser();
    void privateChatAsksForPrivileges_data();
    void privateChatAsksForPrivileges();
    void userStatsAndPrivileges();

    // Rooms.
    void roomChat();
    void roomEnteredWithoutOwner();
    void roomEnteredWithOwnerAndOperators();
    void roomEnteredWithUnequalLists();
    void roomLeft();
    void userJoinedAndLeftRoom();
    void strangersInRoomsChangeNothing_data();
    void strangersInRoomsChangeNothing();
    void roomListAcceptsNewRoomsOnlyWhenAsked();
    void roomListOwnedAndMemberRooms();
    void roomListWithUnequalLists();
    void privateRoomRecords();
    void privateRoomMembershipAndInvitations();

    // Search, wish list and distributed network.
    void searchCorrelationsReplaced();
    void possibleParents_data();
    void possibleParents();
    void distributedNetworkSignals();
    void distributedNetworkMessage_data();
    void distributedNetworkMessage();

    // Hostile input.
    void truncatedMessagesDoNotCrash_data();
    void truncatedMessagesDoNotCrash();
    void shortBodiesReadAsEmpty();
    void unreadablePrivateChatDropped_data();
    void unreadablePrivateChatDropped();
    void trailingBytesIgnored();
    void unknownCodeChangesNothing_data();
    void unknownCodeChangesNothing();
    void hugeCountsAreRefused();

private:
    std::unique_ptr<ServerTestEnv> m_env;
};

void tst_ServerMessages::init()
{
    m_env = std::make_unique<ServerTestEnv>();
    QVERIFY(m_env->logIn());
}

void tst_ServerMessages::cleanup()
{
    m_env.reset();
}

void tst_ServerMessages::acceptedLoginSendsInOrder()
{
    // A fresh connection, with a receiver of Connected() that sends the ports, as the peer
    // connection manager does.
    m_env.reset();
    m_env = std::make_unique<ServerTestEnv>();
    ServerTestEnv::SetSetting("username", "alice");
    m_env->server().TrackUser("carol");
    m_env->server().GetUserAddress("dave");
    ServerTestEnv::Room("lobby").NewItem("room_autojoin");
    ServerTestEnv::SetSetting("accept_room_list", "no");
    QObject receiver;
    connect(&m_env->server(), &Server::Connected, &receiver,
            [this] { m_env->server().SetWaitPort(2234, 2235); });

    QVERIFY(!m_env->connectAndTakeLogin().isEmpty());
    m_env->fake().sendFrame(ServerTestEnv::acceptedLoginReply());
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(), qint64(ServerCode::SetWaitPort));
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::EnterRoom));
    QCOMPARE(rest, WireWriter().str("lobby").u32(0).bytes());
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::AddUser));
    QCOMPARE(rest, WireWriter().str("carol").bytes());
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::GetUserAddress));
    QCOMPARE(rest, WireWriter().str("dave").bytes());
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker());
    QCOMPARE(ServerTestEnv::Setting("accept_room_list"), std::string("yes"));
}

void tst_ServerMessages::everythingDroppedWhileIdle()
{
    m_env->server().Disconnect();
    QSignalSpy privileges(&m_env->server(), &Server::ReceivedOwnPrivilegesStatus);
    QSignalSpy connected(&m_env->server(), &Server::Connected);
    MemStream login;
    login.Write(quint8(1));
    m_env->server().HandleMessage(ServerCode::Login, login);
    MemStream privilegesBody;
    privilegesBody.Write(qint32(5));
    m_env->server().HandleMessage(ServerCode::OwnPrivileges, privilegesBody);
    QCOMPARE(privileges.count(), 0);
    QCOMPARE(connected.count(), 0);
    QVERIFY(!m_env->server().IsConnected());
}

void tst_ServerMessages::userAddress_data()
{
    QTest::addColumn<quint32>("obfuscationType");
    QTest::addColumn<quint16>("obfuscatedPort");
    QTest::addColumn<QString>("expectedObfuscatedPort");
    QTest::newRow("plain only") << 0u << quint16(2236) << "0";
    QTest::newRow("scrambled port") << 1u << quint16(2236) << "2236";
    QTest::newRow("unknown type") << 2u << quint16(2236) << "0";
}

void tst_ServerMessages::userAddress()
{
    QFETCH(quint32, obfuscationType);
    QFETCH(quint16, obfuscatedPort);
    QFETCH(QString, expectedObfuscatedPort);
    ItemPtr bob = ServerTestEnv::User("bob");
    bob += d.GetType("user_address_request")->NewItem();
    QVERIFY(m_env->deliver(ServerCode::GetUserAddress, WireWriter()
                                                           .str("bob")
                                                           .u32(0xC0A80001u)
                                                           .i32(2234)
                                                           .u32(obfuscationType)
                                                           .u16(obfuscatedPort)));
    QCOMPARE(ValueOf(bob, "user_address"), std::to_string(0xC0A80001u));
    QCOMPARE(ValueOf(bob, "user_port"), std::string("2234"));
    QCOMPARE(ValueOf(bob, "user_obfuscated_port"), expectedObfuscatedPort.toStdString());
    QVERIFY(!bob.IsConnected("user_address_request"));

    // A second answer replaces all three.
    QVERIFY(m_env->deliver(ServerCode::GetUserAddress,
                           WireWriter().str("bob").u32(5).i32(1).u32(1).u16(2)));
    QCOMPARE(bob.GetItems("user_address").size(), size_t(1));
    QCOMPARE(ValueOf(bob, "user_address"), std::string("5"));
    QCOMPARE(ValueOf(bob, "user_port"), std::string("1"));
    QCOMPARE(ValueOf(bob, "user_obfuscated_port"), std::string("2"));
}

void tst_ServerMessages::addUserReply()
{
    QSignalSpy response(&m_env->server(), &Server::AddUserResponse);

    QVERIFY(m_env->deliver(ServerCode::AddUser, WireWriter().str("ghost").u8(0)));
    QCOMPARE(response.count(), 1);
    QCOMPARE(response.at(0).at(0).value<std::string>(), std::string("ghost"));
    QCOMPARE(response.at(0).at(1).toBool(), false);
    QVERIFY(d.GetType("user")->HasItem(Value("ghost")).IsNull());

    WireWriter online;
    online.str("bob").u8(1).i32(2);
    Stats(online, 100, 5).str("NL");
    QVERIFY(m_env->deliver(ServerCode::AddUser, online));
    ItemPtr bob = ServerTestEnv::User("bob");
    QVERIFY(bob.IsConnected("is_online"));
    QCOMPARE(ValueOf(bob, "country_code"), std::string("NL"));
    QCOMPARE(response.at(1).at(1).toBool(), true);

    // Offline: no country read, the old one stays.
    WireWriter offline;
    offline.str("bob").u8(1).i32(0);
    Stats(offline, 0, 0).str("XX");
    QVERIFY(m_env->deliver(ServerCode::AddUser, offline));
    QVERIFY(!bob.IsConnected("is_online"));
    QCOMPARE(ValueOf(bob, "country_code"), std::string("NL"));
}

void tst_ServerMessages::userStatus()
{
    ItemPtr bob = ServerTestEnv::User("bob");
    QVERIFY(m_env->deliver(ServerCode::GetUserStatus, WireWriter().str("bob").i32(2).u8(1)));
    QVERIFY(bob.IsConnected("is_online"));
    QVERIFY(bob.IsConnected("is_privileged"));
    // Privileged 0 leaves the flag.
    QVERIFY(m_env->deliver(ServerCode::GetUserStatus, WireWriter().str("bob").i32(0).u8(0)));
    QVERIFY(!bob.IsConnected("is_online"));
    QVERIFY(bob.IsConnected("is_privileged"));
}

void tst_ServerMessages::peerConnectionRequest()
{
    const auto request = [](quint32 obfuscation) {
        WireWriter w;
        w.str("bob").str("P").u32(0x0A000001).i32(2234).u32(42).u8(1).u32(obfuscation);
        if (obfuscation == 1)
            w.i32(2235);
        return w;
    };
    QVERIFY(m_env->deliver(ServerCode::ConnectToPeer, request(1)));
    QVERIFY(m_env->deliver(ServerCode::ConnectToPeer, request(0)));

    const ItemSet requests = d.GetType("peer_connection_request")->GetItems();
    QCOMPARE(requests.size(), size_t(2));
    for (ItemPtr r : requests) {
        QCOMPARE(ValueOf(r, "peer_connection_request_id"), std::string("42"));
        QCOMPARE(ValueOf(r, "peer_connection_type"), std::string("P"));
        QCOMPARE(r["user"].AsString(), std::string("bob"));
    }
    ItemPtr bob = ServerTestEnv::User("bob");
    QCOMPARE(ValueOf(bob, "user_address"), std::to_string(0x0A000001u));
    QCOMPARE(ValueOf(bob, "user_port"), std::string("2234"));
    QCOMPARE(ValueOf(bob, "user_obfuscated_port"), std::string("0"));
    QVERIFY(bob.IsConnected("is_privileged"));
}

void tst_ServerMessages::peerConnectionRequestTiedBeforeAddress()
{
    AddressWatcher watcher(d.GetType("user_address"));
    QVERIFY(m_env->deliver(ServerCode::ConnectToPeer,
                           WireWriter().str("bob").str("F").u32(7).i32(1).u32(9).u8(0).u32(0)));
    QCOMPARE(watcher.requestTiedFirst, std::vector<bool>({true}));
}

void tst_ServerMessages::privateChat()
{
    QSignalSpy chat(&m_env->server(), &Server::PrivateChat);
    QVERIFY(m_env->deliver(ServerCode::PrivateChat,
                           WireWriter().i32(31).i32(1700000000).str("stranger").str("hi").u8(1)));
    QCOMPARE(chat.count(), 1);
    QCOMPARE(chat.at(0).at(0).value<std::string>(), std::string("stranger"));
    QCOMPARE(chat.at(0).at(1).value<std::string>(), std::string("hi"));
    QCOMPARE(chat.at(0).at(2).value<time_t>(), time_t(1700000000));
    QCOMPARE(chat.at(0).at(3).toBool(), true);
    // No user item is made for an unknown sender.
    QVERIFY(d.GetType("user")->HasItem(Value("stranger")).IsNull());
    QCOMPARE(frameOf(m_env->fake().nextFrame()), hexBytes("08000000 17000000 1f000000"));
}

void tst_ServerMessages::privateChatFromIgnoredUser()
{
    ServerTestEnv::User("troll").NewItem("is_ignored");
    QSignalSpy chat(&m_env->server(), &Server::PrivateChat);
    QVERIFY(m_env->deliver(ServerCode::PrivateChat,
                           WireWriter().i32(32).i32(0).str("troll").str("spam").u8(1)));
    QCOMPARE(chat.count(), 0);
    QCOMPARE(frameOf(m_env->fake().nextFrame()), hexBytes("08000000 17000000 20000000"));
}

void tst_ServerMessages::privateChatAsksForPrivileges_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ignored");
    QTest::addColumn<bool>("asks");
    QTest::newRow("contains") << QByteArray("your privileges ran out") << false << true;
    QTest::newRow("ignored sender too") << QByteArray("privileges") << true << true;
    QTest::newRow("case matters") << QByteArray("Privileges") << false << false;
}

void tst_ServerMessages::privateChatAsksForPrivileges()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ignored);
    QFETCH(bool, asks);
    if (ignored)
        ServerTestEnv::User("server").NewItem("is_ignored");
    QVERIFY(m_env->deliver(ServerCode::PrivateChat,
                           WireWriter().i32(1).i32(0).str("server").str(text).u8(0)));
    QCOMPARE(m_env->nextMessage(), qint64(ServerCode::AcknowledgePrivateChat));
    if (asks)
        QCOMPARE(m_env->nextMessage(), qint64(ServerCode::OwnPrivileges));
    // The marker is a privileges request too; a second request proves there was only one.
    m_env->server().GetUserStats("x");
    QCOMPARE(m_env->nextMessage(), qint64(ServerCode::GetUserStats));
}

void tst_ServerMessages::userStatsAndPrivileges()
{
    QList<UserStats> stats;
    QObject receiver;
    connect(&m_env->server(), &Server::ReceivedUserStats, &receiver,
            [&stats](std::string user, UserStats s) {
                if (user == "bob")
                    stats << s;
            });
    WireWriter w;
    w.str("bob");
    Stats(w, 300, 12);
    QVERIFY(m_env->deliver(ServerCode::GetUserStats, w));
    QCOMPARE(stats.size(), 1);
    QCOMPARE(stats.at(0), UserStats(300, 99, 12, 7));
    QVERIFY(d.GetType("user")->HasItem(Value("bob")).IsNull());

    QVERIFY(m_env->deliver(ServerCode::PrivilegedUsers, WireWriter().u32(2).str("a").str("b")));
    QVERIFY(ServerTestEnv::User("a").IsConnected("is_privileged"));
    QVERIFY(ServerTestEnv::User("b").IsConnected("is_privileged"));
    QVERIFY(m_env->deliver(ServerCode::PrivilegedUsers, WireWriter().u32(0)));
    QVERIFY(ServerTestEnv::User("a").IsConnected("is_privileged"));

    QSignalSpy own(&m_env->server(), &Server::ReceivedOwnPrivilegesStatus);
    QVERIFY(m_env->deliver(ServerCode::OwnPrivileges, WireWriter().i32(3600)));
    QCOMPARE(ServerTestEnv::Setting("privileges_time_left"), std::string("3600"));
    QCOMPARE(own.at(0).at(0).toInt(), 3600);
}

void tst_ServerMessages::roomChat()
{
    ServerTestEnv::User("troll").NewItem("is_ignored");
    QSignalSpy chat(&m_env->server(), &Server::RoomChat);
    QVERIFY(m_env->deliver(ServerCode::RoomChat, WireWriter().str("lobby").str("troll").str("x")));
    QVERIFY(m_env->deliver(ServerCode::RoomChat, WireWriter().str("lobby").str("newbie").str("y")));
    QCOMPARE(chat.count(), 1);
    QCOMPARE(chat.at(0).at(0).value<std::string>(), std::string("lobby"));
    QCOMPARE(chat.at(0).at(1).value<std::string>(), std::string("newbie"));
    QCOMPARE(chat.at(0).at(2).value<std::string>(), std::string("y"));
    QVERIFY(d.GetType("user")->HasItem(Value("newbie")).IsNull());
    // The room is only named, not kept.
    QVERIFY(d.GetType("room")->HasItem(Value("lobby")).IsNull());
}

namespace {

// A room-entered message for two users, optionally followed by owner and operators.
WireWriter RoomEntered(const QByteArray& room, const QList<QByteArray>& users)
{
    WireWriter w;
    w.str(room).u32(quint32(users.size()));
    for (const QByteArray& u : users)
        w.str(u);
    w.u32(quint32(users.size()));
    for (int i = 0; i < users.size(); ++i)
        w.u32(1);
    w.u32(quint32(users.size()));
    for (int i = 0; i < users.size(); ++i)
        Stats(w, 100 + i, 10 + i);
    w.u32(quint32(users.size()));
    for (int i = 0; i < users.size(); ++i)
        w.u32(0);
    w.u32(quint32(users.size()));
    for (int i = 0; i < users.size(); ++i)
        w.str("C" + QByteArray::number(i));
    return w;
}

QStringList RoomUsers(ItemPtr room)
{
    QStringList names;
    for (ItemPtr u : room.GetItems("user"))
        names << QString::fromStdString(u.AsString());
    names.sort();
    return names;
}

} // namespace

void tst_ServerMessages::roomEnteredWithoutOwner()
{
    ItemPtr room = ServerTestEnv::Room("lobby");
    room.NewItem("room_owner") += ServerTestEnv::User("boss");
    room.NewItem("room_operators") += ServerTestEnv::User("helper");
    room += ServerTestEnv::User("old");
    QVERIFY(m_env->deliver(ServerCode::EnterRoom, RoomEntered("lobby", {"ann", "ben"})));
    QVERIFY(room.IsConnected("in_room"));
    QCOMPARE(RoomUsers(room), QStringList({"ann", "ben"}));
    QCOMPARE(room["room_owner"]["user"].AsString(), std::string("boss"));
    QCOMPARE(RoomUsers(room["room_operators"]), QStringList({"helper"}));
    ItemPtr ben = ServerTestEnv::User("ben");
    QCOMPARE(ValueOf(ben, "average_download_speed"), std::string("101"));
    QCOMPARE(ValueOf(ben, "shared_files_count"), std::string("11"));
    QCOMPARE(ValueOf(ben, "country_code"), std::string("C1"));

    // Entered again: the second list replaces the first.
    QVERIFY(m_env->deliver(ServerCode::EnterRoom, RoomEntered("lobby", {"cid"})));
    QCOMPARE(RoomUsers(room), QStringList({"cid"}));
}

void tst_ServerMessages::roomEnteredWithOwnerAndOperators()
{
    ItemPtr room = ServerTestEnv::Room("den");
    room.NewItem("room_operators") += ServerTestEnv::User("former");
    WireWriter w = RoomEntered("den", {"ann"});
    w.str("owner").u32(2).str("op2").str("op1");
    QVERIFY(m_env->deliver(ServerCode::EnterRoom, w));
    QCOMPARE(room["room_owner"]["user"].AsString(), std::string("owner"));
    QCOMPARE(RoomUsers(room["room_operators"]), QStringList({"op1", "op2"}));
    QVERIFY(room.IsConnected("in_room"));
}

void tst_ServerMessages::roomEnteredWithUnequalLists()
{
    // Three users, one stats record, two countries.
    WireWriter w;
    w.str("lobby").u32(3).str("a").str("b").str("c");
    w.u32(0);
    w.u32(1);
    Stats(w, 50, 5);
    w.u32(0);
    w.u32(2).str("X").str("Y");
    QVERIFY(m_env->deliver(ServerCode::EnterRoom, w));
    ItemPtr room = ServerTestEnv::Room("lobby");
    QCOMPARE(RoomUsers(room), QStringList({"a", "b", "c"}));
    QCOMPARE(ValueOf(ServerTestEnv::User("a"), "country_code"), std::string("X"));
    QCOMPARE(ValueOf(ServerTestEnv::User("a"), "average_download_speed"), std::string("50"));
    QVERIFY(ServerTestEnv::User("b")["country_code"].IsNull());
    QVERIFY(ServerTestEnv::User("c")["average_download_speed"].IsNull());
}

void tst_ServerMessages::roomLeft()
{
    ItemPtr room = ServerTestEnv::Room("lobby");
    room += ServerTestEnv::User("ann");
    QVERIFY(m_env->deliver(ServerCode::LeaveRoom, WireWriter().str("lobby")));
    QCOMPARE(RoomUsers(room), QStringList({"ann"}));

    room.NewItem("in_room");
    QVERIFY(m_env->deliver(ServerCode::LeaveRoom, WireWriter().str("lobby")));
    QVERIFY(!room.IsConnected("in_room"));
    QVERIFY(RoomUsers(room).isEmpty());
}

void tst_ServerMessages::userJoinedAndLeftRoom()
{
    // Known, though we are not in it.
    ItemPtr room = ServerTestEnv::Room("elsewhere");
    WireWriter w;
    w.str("elsewhere").str("ann").u32(1);
    Stats(w, 70, 8).u32(0).str("DE");
    QVERIFY(m_env->deliver(ServerCode::UserJoinedRoom, w));
    QCOMPARE(RoomUsers(room), QStringList({"ann"}));
    ItemPtr ann = ServerTestEnv::User("ann");
    QCOMPARE(ValueOf(ann, "average_download_speed"), std::string("70"));
    QCOMPARE(ValueOf(ann, "shared_files_count"), std::string("8"));
    QCOMPARE(ValueOf(ann, "country_code"), std::string("DE"));

    QVERIFY(m_env->deliver(ServerCode::UserLeftRoom, WireWriter().str("elsewhere").str("ann")));
    QVERIFY(RoomUsers(room).isEmpty());
}

void tst_ServerMessages::strangersInRoomsChangeNothing_data()
{
    QTest::addColumn<quint32>("code");
    QTest::addColumn<QByteArray>("room");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<int>("newUsers");
    QTest::addColumn<QStringList>("members"); // of "lobby" afterwards
    const quint32 joined = ServerCode::UserJoinedRoom;
    const quint32 left = ServerCode::UserLeftRoom;
    // "lobby" is known and holds "ann"; "ghost" is no user of ours.
    QTest::newRow("joined, room unknown")
        << joined << QByteArray("nowhere") << QByteArray("ghost") << 0 << QStringList{"ann"};
    QTest::newRow("joined, known room")
        << joined << QByteArray("lobby") << QByteArray("ghost") << 1 << QStringList{"ann", "ghost"};
    QTest::newRow("left, user unknown")
        << left << QByteArray("lobby") << QByteArray("ghost") << 0 << QStringList{"ann"};
    QTest::newRow("left, room unknown")
        << left << QByteArray("nowhere") << QByteArray("ann") << 0 << QStringList{"ann"};
    QTest::newRow("left, both known")
        << left << QByteArray("lobby") << QByteArray("ann") << 0 << QStringList{};
}

void tst_ServerMessages::strangersInRoomsChangeNothing()
{
    QFETCH(quint32, code);
    QFETCH(QByteArray, room);
    QFETCH(QByteArray, user);
    QFETCH(int, newUsers);
    QFETCH(QStringList, members);
    ItemPtr lobby = ServerTestEnv::Room("lobby");
    lobby += ServerTestEnv::User("ann");
    const size_t rooms = d.GetType("room")->ItemCount();
    const size_t users = d.GetType("user")->ItemCount();
    WireWriter w;
    w.str(room).str(user);
    if (code == ServerCode::UserJoinedRoom)
        Stats(w.u32(1), 1, 1).u32(0).str("NL");
    QVERIFY(m_env->deliver(code, w));
    QCOMPARE(d.GetType("room")->ItemCount(), rooms);
    QCOMPARE(d.GetType("user")->ItemCount(), users + size_t(newUsers));
    QCOMPARE(RoomUsers(lobby), members);
}

namespace {

WireWriter RoomList(const QList<QPair<QByteArray, quint32>>& publicRooms,
                    const QList<QPair<QByteArray, quint32>>& owned,
                    const QList<QPair<QByteArray, quint32>>& member,
                    const QList<QByteArray>& operatorRooms)
{
    WireWriter w;
    for (const auto* list : {&publicRooms, &owned, &member}) {
        w.u32(quint32(list->size()));
        for (const auto& r : *list)
            w.str(r.first);
        w.u32(quint32(list->size()));
        for (const auto& r : *list)
            w.u32(r.second);
    }
    w.u32(quint32(operatorRooms.size()));
    for (const QByteArray& r : operatorRooms)
        w.str(r);
    return w;
}

} // namespace

void tst_ServerMessages::roomListAcceptsNewRoomsOnlyWhenAsked()
{
    // Right after login the setting is "yes".
    QVERIFY(m_env->deliver(ServerCode::RoomList, RoomList({{"lobby", 10}}, {}, {}, {})));
    QCOMPARE(ValueOf(ServerTestEnv::Room("lobby"), "user_count"), std::string("10"));
    QCOMPARE(ServerTestEnv::Setting("accept_room_list"), std::string("no"));

    QVERIFY(m_env->deliver(ServerCode::RoomList,
                           RoomList({{"lobby", 12}, {"brand new", 3}}, {}, {}, {})));
    QCOMPARE(ValueOf(ServerTestEnv::Room("lobby"), "user_count"), std::string("12"));
    QVERIFY(d.GetType("room")->HasItem(Value("brand new")).IsNull());
    QCOMPARE(ServerTestEnv::Setting("accept_room_list"), std::string("no"));

    m_env->server().GetRoomList();
    QVERIFY(m_env->deliver(ServerCode::RoomList, RoomList({{"brand new", 3}}, {}, {}, {})));
    QVERIFY(!d.GetType("room")->HasItem(Value("brand new")).IsNull());
}

void tst_ServerMessages::roomListOwnedAndMemberRooms()
{
    QVERIFY(m_env->deliver(ServerCode::RoomList,
                           RoomList({}, {{"mine", 2}, {"also mine", 1}},
                                    {{"theirs", 4}, {"not op", 5}}, {"theirs", "nowhere"})));
    ItemPtr mine = ServerTestEnv::Room("mine");
    QVERIFY(mine.IsConnected("is_owner"));
    QVERIFY(mine.IsConnected("is_private"));
    QVERIFY(mine.IsConnected("is_member"));
    ItemPtr theirs = ServerTestEnv::Room("theirs");
    QVERIFY(theirs.IsConnected("is_operator"));
    QVERIFY(theirs.IsConnected("is_member"));
    QVERIFY(!theirs.IsConnected("is_owner"));
    QVERIFY(!ServerTestEnv::Room("not op").IsConnected("is_operator"));
    QVERIFY(d.GetType("room")->HasItem(Value("nowhere")).IsNull());

    // "mine" is now only a member room, "also mine" and "not op" are gone.
    const QByteArray second = RoomList({}, {}, {{"mine", 2}, {"theirs", 4}}, {});
    QVERIFY(m_env->deliver(ServerCode::RoomList, second));
    QVERIFY(!mine.IsConnected("is_owner"));
    QVERIFY(mine.IsConnected("is_member"));
    ItemPtr alsoMine = ServerTestEnv::Room("also mine");
    QVERIFY(!alsoMine.IsConnected("is_owner"));
    QVERIFY(!alsoMine.IsConnected("is_member"));
    QVERIFY(alsoMine.IsConnected("is_private"));
    QVERIFY(!ServerTestEnv::Room("not op").IsConnected("is_member"));
    // Nothing clears is_operator here.
    QVERIFY(theirs.IsConnected("is_operator"));
}

void tst_ServerMessages::roomListWithUnequalLists()
{
    // Three public names with one count, two owned names with no count at all.
    WireWriter w;
    w.u32(3).str("a").str("b").str("c").u32(1).u32(9);
    w.u32(2).str("o1").str("o2").u32(0);
    w.u32(0).u32(0).u32(0);
    QVERIFY(m_env->deliver(ServerCode::RoomList, w));
    QCOMPARE(ValueOf(ServerTestEnv::Room("a"), "user_count"), std::string("9"));
    QVERIFY(d.GetType("room")->HasItem(Value("b")).IsNull());
    QVERIFY(d.GetType("room")->HasItem(Value("o1")).IsNull());
}

void tst_ServerMessages::privateRoomRecords()
{
    ItemPtr room = ServerTestEnv::Room("den");
    QVERIFY(m_env->deliver(ServerCode::PrivateRoomMembers,
                           WireWriter().str("den").u32(2).str("m1").str("m2")));
    QCOMPARE(RoomUsers(room["room_members"]), QStringList({"m1", "m2"}));
    QVERIFY(m_env->deliver(ServerCode::PrivateRoomAddMember, WireWriter().str("den").str("m3")));
    QVERIFY(m_env->deliver(ServerCode::PrivateRoomRemoveMember, WireWriter().str("den").str("m1")));
    QCOMPARE(RoomUsers(room["room_members"]), QStringList({"m2", "m3"}));
    QVERIFY(
        m_env->deliver(ServerCode::PrivateRoomMembers, WireWriter().str("den").u32(1).str("x")));
    QCOMPARE(RoomUsers(room["room_members"]), QStringList({"x"}));

    QVERIFY(
        m_env->deliver(ServerCode::PrivateRoomOperators, WireWriter().str("den").u32(1).str("o1")));
    QVERIFY(m_env->deliver(ServerCode::PrivateRoomAddOperator, WireWriter().str("den").str("o2")));
    const QByteArray removeO1 = WireWriter().str("den").str("o1");
    QVERIFY(m_env->deliver(ServerCode::PrivateRoomRemoveOperator, removeO1));
    QCOMPARE(RoomUsers(room["room_operators"]), QStringList({"o2"}));
    // One record of each kind per room.
    QCOMPARE(room.GetItems("room_members").size(), size_t(1));
    QCOMPARE(room.GetItems("room_operators").size(), size_t(1));

    QVERIFY(m_env->deliver(ServerCode::PrivateRoomMadeOperator, WireWriter().str("den")));
    QVERIFY(room.IsConnected("is_operator"));
}

void tst_ServerMessages::privateRoomMembershipAndInvitations()
{
    QVERIFY(m_env->deliver(ServerCode::PrivateRoomMembershipGranted, WireWriter().str("den")));
    ItemPtr room = ServerTestEnv::Room("den");
    QVERIFY(room.IsConnected("is_private"));
    QVERIFY(room.IsConnected("is_member"));
    QByteArray rest;
    QCOMPARE(m_env->nextMessage(&rest), qint64(ServerCode::EnterRoom));
    QCOMPARE(rest, WireWriter().str("den").u32(0).bytes());

    room.NewItem("is_owner");
    room.NewItem("is_operator");
    QVERIFY(m_env->deliver(ServerCode::PrivateRoomMembershipRevoked, WireWriter().str("den")));
    QVERIFY(!room.IsConnected("is_member"));
    QVERIFY(!room.IsConnected("is_operator"));
    QVERIFY(!room.IsConnected("is_owner"));
    QVERIFY(room.IsConnected("is_private"));
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker()); // no leave request

    QSignalSpy enabled(&m_env->server(), &Server::PrivateRoomAddEnabled);
    QVERIFY(m_env->deliver(ServerCode::PrivateRoomInvitations, WireWriter().u8(1)));
    QCOMPARE(ServerTestEnv::Setting("accept_private_room_add"), std::string("yes"));
    QVERIFY(m_env->deliver(ServerCode::PrivateRoomInvitations, WireWriter().u8(0)));
    QCOMPARE(ServerTestEnv::Setting("accept_private_room_add"), std::string("no"));
    QCOMPARE(enabled.count(), 2);
    QCOMPARE(enabled.at(0).at(0).toBool(), true);
    QCOMPARE(enabled.at(1).at(0).toBool(), false);
}

namespace {

QStringList Correlations(const char* text)
{
    QStringList out;
    ItemPtr textItem = d.GetType("search_request_text")->HasItem(Value(text));
    for (ItemPtr c : textItem.GetItems("search_correlation"))
        out << QString::fromStdString(ValueOf(c, "correlation_text") + ":" +
                                      ValueOf(c, "correlation_rank"));
    out.sort();
    return out;
}

} // namespace

void tst_ServerMessages::searchCorrelationsReplaced()
{
    QSignalSpy signalled(&m_env->server(), &Server::SearchCorrelations);
    const QByteArray first =
        WireWriter().str("jazz").u32(2).str("blues").i32(3).str("swing").i32(-1);
    QVERIFY(m_env->deliver(ServerCode::SearchCorrelations, first));
    QCOMPARE(Correlations("jazz"), QStringList({"blues:3", "swing:-1"}));
    QVERIFY(m_env->deliver(ServerCode::SearchCorrelations,
                           WireWriter().str("jazz").u32(2).str("bop").i32(1).str("bop").i32(1)));
    QCOMPARE(Correlations("jazz"), QStringList({"bop:1", "bop:1"}));
    QCOMPARE(d.GetType("search_correlation")->GetItems().size(), size_t(2));

    // A list that cannot be read still clears the old terms.
    QVERIFY(m_env->deliver(ServerCode::SearchCorrelations, WireWriter().str("jazz")));
    QVERIFY(Correlations("jazz").isEmpty());
    QCOMPARE(signalled.count(), 3);
    QCOMPARE(signalled.at(2).at(0).value<std::string>(), std::string("jazz"));
}

void tst_ServerMessages::possibleParents_data()
{
    QTest::addColumn<QByteArray>("fields");
    QTest::addColumn<QStringList>("expected");
    const QByteArray three =
        WireWriter().u32(3).str("p1").u32(1).i32(2234).str("p2").u32(2).i32(2235).str("p3").u32(3);
    QTest::newRow("empty") << WireWriter().u32(0).bytes() << QStringList();
    QTest::newRow("no count") << QByteArray() << QStringList();
    QTest::newRow("third cut short") << three << QStringList({"p1:1:2234", "p2:2:2235"});
    QTest::newRow("whole") << (WireWriter().raw(three).i32(1).bytes())
                           << QStringList({"p1:1:2234", "p2:2:2235", "p3:3:1"});
}

void tst_ServerMessages::possibleParents()
{
    QFETCH(QByteArray, fields);
    QFETCH(QStringList, expected);
    QList<QStringList> received;
    QObject receiver;
    connect(&m_env->server(), &Server::DNetPossibleParents, &receiver,
            [&received](const std::list<std::pair<std::string, TCPAddress>>& parents) {
                QStringList names;
                for (const auto& p : parents)
                    names << QStringLiteral("%1:%2:%3")
                                 .arg(QString::fromStdString(p.first))
                                 .arg(p.second.first)
                                 .arg(p.second.second);
                received << names;
            });
    QVERIFY(m_env->deliver(ServerCode::DNetPossibleParents, fields));
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.at(0), expected);
}

void tst_ServerMessages::distributedNetworkSignals()
{
    QSignalSpy minSpeed(&m_env->server(), &Server::DNetParentMinSpeed);
    QSignalSpy ratio(&m_env->server(), &Server::DNetParentSpeedConnectionRatio);
    QSignalSpy wait(&m_env->server(), &Server::WishListWait);
    QSignalSpy report(&m_env->server(), &Server::DNetDeliveryReport);
    QSignalSpy reset(&m_env->server(), &Server::DNetReset);
    const size_t items = d.ItemCount();
    QVERIFY(m_env->deliver(ServerCode::DNetParentMinSpeed, WireWriter().i32(1)));
    QVERIFY(m_env->deliver(ServerCode::DNetParentSpeedConnectionRatio, WireWriter().i32(50)));
    QVERIFY(m_env->deliver(ServerCode::WishListWait, WireWriter().u32(720)));
    QVERIFY(m_env->deliver(ServerCode::DNetDeliveryReport, WireWriter().i32(-3)));
    QVERIFY(m_env->deliver(ServerCode::DNetReset, WireWriter().u32(123)));
    QCOMPARE(minSpeed.at(0).at(0).toInt(), 1);
    QCOMPARE(ratio.at(0).at(0).toInt(), 50);
    QCOMPARE(wait.at(0).at(0).toUInt(), 720u);
    QCOMPARE(report.at(0).at(0).toInt(), -3);
    QCOMPARE(reset.count(), 1);
    QCOMPARE(d.ItemCount(), items);
}

void tst_ServerMessages::distributedNetworkMessage_data()
{
    QTest::addColumn<Qt::ConnectionType>("connection");
    QTest::newRow("direct") << Qt::DirectConnection;
    // A queued receiver runs after later frames have gone through the server's read buffer.
    QTest::newRow("queued") << Qt::QueuedConnection;
}

void tst_ServerMessages::distributedNetworkMessage()
{
    QFETCH(Qt::ConnectionType, connection);
    QList<QByteArray> bodies;
    QObject receiver;
    connect(
        &m_env->server(), &Server::DNetMessage, &receiver,
        [&bodies](const QByteArray& body) { bodies << body; }, connection);
    const QByteArray search = WireWriter().u8(3).str("search");
    const QByteArray other = WireWriter().u8(4).u32(7);
    // In one write, so that the client reads all three before any queued receiver runs.
    WireWriter frames;
    for (const QByteArray& body : {search, QByteArray(), other})
        frames.u32(quint32(4 + body.size())).u32(ServerCode::DNetMessage).raw(body);
    m_env->fake().sendRaw(frames);
    QVERIFY(m_env->sync());
    QTRY_COMPARE(bodies.size(), 3);
    QCOMPARE(bodies.at(0), search);
    QVERIFY(bodies.at(1).isEmpty());
    QCOMPARE(bodies.at(2), other);
}

void tst_ServerMessages::truncatedMessagesDoNotCrash_data()
{
    QTest::addColumn<quint32>("code");
    QTest::addColumn<QByteArray>("fields");
    WireWriter entered = RoomEntered("lobby", {"ann", "ben"});
    entered.str("owner").u32(1).str("op");
    WireWriter joined;
    joined.str("r").str("u").u32(1);
    Stats(joined, 1, 2).u32(0).str("NL");
    QTest::newRow("1 login refused")
        << quint32(ServerCode::Login) << WireWriter().u8(0).str("no").bytes();
    QTest::newRow("3 address") << quint32(ServerCode::GetUserAddress)
                               << WireWriter().str("bob").u32(1).i32(2).u32(1).u16(3).bytes();
    QTest::newRow("14 entered") << quint32(ServerCode::EnterRoom) << entered.bytes();
    QTest::newRow("16 joined") << quint32(ServerCode::UserJoinedRoom) << joined.bytes();
    QTest::newRow("18 peer request")
        << quint32(ServerCode::ConnectToPeer)
        << WireWriter().str("bob").str("P").u32(1).i32(2).u32(3).u8(1).u32(1).i32(4).bytes();
    QTest::newRow("22 private chat")
        << quint32(ServerCode::PrivateChat)
        << WireWriter().i32(1).i32(2).str("bob").str("privileges").u8(1).bytes();
    QTest::newRow("64 room list") << quint32(ServerCode::RoomList)
                                  << RoomList({{"a", 1}}, {{"b", 2}}, {{"c", 3}}, {"c"}).bytes();
    QTest::newRow("102 parents") << quint32(ServerCode::DNetPossibleParents)
                                 << WireWriter().u32(1).str("p").u32(1).i32(2).bytes();
    QTest::newRow("153 correlations") << quint32(ServerCode::SearchCorrelations)
                                      << WireWriter().str("t").u32(1).str("x").i32(1).bytes();
}

void tst_ServerMessages::truncatedMessagesDoNotCrash()
{
    QFETCH(quint32, code);
    QFETCH(QByteArray, fields);
    // Every cut of the message, from the code alone to the whole, each in a frame of its own.
    for (int cut = 0; cut <= fields.size(); ++cut)
        m_env->fake().sendMessage(code, fields.left(cut));
    QVERIFY(m_env->sync());
    // A login reply is ignored while logged in; nothing else ends the connection either.
    QVERIFY(m_env->server().IsConnected());
}

void tst_ServerMessages::shortBodiesReadAsEmpty()
{
    // A relayed request announcing a scrambled port it does not carry: the port reads as 0.
    QVERIFY(m_env->deliver(ServerCode::ConnectToPeer,
                           WireWriter().str("bob").str("P").u32(1).i32(2234).u32(5).u8(0).u32(1)));
    ItemPtr bob = ServerTestEnv::User("bob");
    QCOMPARE(ValueOf(bob, "user_obfuscated_port"), std::string("0"));
    QCOMPARE(ValueOf(bob["peer_connection_request"], "peer_connection_request_id"),
             std::string("5"));

    // An online user whose country is missing gets the empty country.
    bob += d.GetType("country_code")->GetItem(Value("NL"));
    WireWriter online;
    online.str("bob").u8(1).i32(1);
    Stats(online, 1, 1);
    QVERIFY(m_env->deliver(ServerCode::AddUser, online));
    QVERIFY(bob.IsConnected("is_online"));
    QCOMPARE(ValueOf(bob, "country_code"), std::string());
    QVERIFY(!bob["country_code"].IsNull());

    // Own privileges without the number: zero seconds.
    QSignalSpy own(&m_env->server(), &Server::ReceivedOwnPrivilegesStatus);
    QVERIFY(m_env->deliver(ServerCode::OwnPrivileges));
    QCOMPARE(ServerTestEnv::Setting("privileges_time_left"), std::string("0"));
    QCOMPARE(own.count(), 1);
    QCOMPARE(own.at(0).at(0).toInt(), 0);
}

void tst_ServerMessages::unreadablePrivateChatDropped_data()
{
    QTest::addColumn<QByteArray>("fields");
    const QByteArray idAndTime = WireWriter().i32(9).i32(60);
    QTest::newRow("cut after its time") << idAndTime;
    QTest::newRow("name over the string limit")
        << (WireWriter().raw(idAndTime).u32(131073).bytes() + QByteArray(131073, 'n'));
    QTest::newRow("text cut short")
        << WireWriter().raw(idAndTime).str("bob").u32(10).raw("privileges").bytes().chopped(1);
    QTest::newRow("no new flag") << WireWriter().raw(idAndTime).str("bob").str("hi").bytes();
}

void tst_ServerMessages::unreadablePrivateChatDropped()
{
    QFETCH(QByteArray, fields);
    QSignalSpy chat(&m_env->server(), &Server::PrivateChat);
    LogCapture log;
    QVERIFY(m_env->deliver(ServerCode::PrivateChat, fields));
    QCOMPARE(chat.count(), 0);
    QVERIFY(log.Has("Private message that cannot be read, dropped"));
    // Neither an acknowledgement nor a privileges request went out.
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker());
    // Whole, the same message is shown and acknowledged.
    QVERIFY(m_env->deliver(ServerCode::PrivateChat,
                           WireWriter().i32(9).i32(60).str("bob").str("hi").u8(0)));
    QCOMPARE(chat.count(), 1);
    QCOMPARE(frameOf(m_env->fake().nextFrame()), hexBytes("08000000 17000000 09000000"));
}

void tst_ServerMessages::trailingBytesIgnored()
{
    QSignalSpy own(&m_env->server(), &Server::ReceivedOwnPrivilegesStatus);
    const QByteArray withRest = WireWriter().i32(60).u32(0xFFFFFFFF).str("x");
    QVERIFY(m_env->deliver(ServerCode::OwnPrivileges, withRest));
    // The next message starts cleanly after the discarded rest.
    QVERIFY(m_env->deliver(ServerCode::OwnPrivileges, WireWriter().i32(61)));
    QCOMPARE(own.count(), 2);
    QCOMPARE(own.at(0).at(0).toInt(), 60);
    QCOMPARE(own.at(1).at(0).toInt(), 61);
}

void tst_ServerMessages::unknownCodeChangesNothing_data()
{
    QTest::addColumn<quint32>("code");
    QTest::newRow("2") << 2u;
    QTest::newRow("23") << 23u;
    QTest::newRow("1000") << 1000u;
    QTest::newRow("top") << 0xFFFFFFFFu;
}

void tst_ServerMessages::unknownCodeChangesNothing()
{
    QFETCH(quint32, code);
    const size_t items = d.ItemCount();
    QVERIFY(m_env->deliver(code, WireWriter().str("bob").u32(1).u32(2)));
    QCOMPARE(d.ItemCount(), items);
    QVERIFY(m_env->server().IsConnected());
    m_env->sendMarkerRequest();
    QVERIFY(m_env->nextIsMarker()); // nothing was answered
}

void tst_ServerMessages::hugeCountsAreRefused()
{
    // Counts far beyond the body: nothing is allocated for them, the lists read as empty.
    QVERIFY(m_env->deliver(ServerCode::PrivilegedUsers, WireWriter().u32(0x7FFFFFFF)));
    QVERIFY(m_env->deliver(ServerCode::EnterRoom, WireWriter().str("lobby").u32(131073)));
    QVERIFY(m_env->deliver(ServerCode::RoomList, WireWriter().u32(0xFFFFFFFF)));
    QVERIFY(ServerTestEnv::Room("lobby").IsConnected("in_room"));
    QVERIFY(RoomUsers(ServerTestEnv::Room("lobby")).isEmpty());
    QVERIFY(m_env->server().IsConnected());
}

QTEST_GUILESS_MAIN(tst_ServerMessages)
#include "tst_servermessages.moc"

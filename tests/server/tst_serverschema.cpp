// The store types of the server connection: how their relations shape what handlers can store.

#include "engine/Engine.h"
#include "server/Server.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "support/ScriptedUpnp.h"
#include "support/StoreGuard.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

class tst_ServerSchema : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void declaredOnce();
    void flagsAreSharedAndSingle();
    void roomHasOneRecordOfEachKind();
    void userValuesReplaceEachOther();
    void addressRequestsArePerUser();
    void onlyUserDecisionsAreSaved();
    void upnpDefaultAfterLoading();

private:
    // Every engine here builds a Server: its port forwarder talks to this, not the network.
    ScriptedUpnp m_upnp;
};

namespace {

ItemPtr Named(const char* type, const std::string& name)
{
    return d.GetType(type)->GetItem(Value(name));
}

// The server connection alone: its schema, and the settings it reads once the store file is
// loaded.
EngineOptions ServerOnly()
{
    EngineOptions options;
    options.peerMessenger = false;
    return options;
}

} // namespace

void tst_ServerSchema::declaredOnce()
{
    StoreGuard store;
    Engine engine(ServerOnly());
    QVERIFY_THROWS_EXCEPTION(AlreadyRelatedException,
                             d.GetType("user")->RelateToType("is_online", Many, One));
    QVERIFY_THROWS_EXCEPTION(TypeAlreadyExistsException, Server::CreateData(engine.saver()));
}

void tst_ServerSchema::flagsAreSharedAndSingle()
{
    StoreGuard store;
    Engine engine(ServerOnly());
    ItemPtr ann = Named("user", "ann");
    ItemPtr ben = Named("user", "ben");
    ItemPtr first = ann.NewItem("is_online");
    ItemPtr again = ann.NewItem("is_online");
    QCOMPARE(again.Get(), first.Get());
    QCOMPARE(ann.GetItems("is_online").size(), size_t(1));
    QCOMPARE(ben.NewItem("is_online").Get(), first.Get());
}

void tst_ServerSchema::roomHasOneRecordOfEachKind()
{
    StoreGuard store;
    Engine engine(ServerOnly());
    ItemPtr room = Named("room", "den");
    ItemPtr owner = room.NewItem("room_owner");
    QCOMPARE(room.NewItem("room_owner").Get(), owner.Get());
    // Each room gets a record of its own, unlike a flag.
    QVERIFY(Named("room", "other").NewItem("room_owner").Get() != owner.Get());

    room += d.GetType("room_owner")->NewItem();
    QCOMPARE(room.GetItems("room_owner").size(), size_t(1));
    QVERIFY(!room.IsConnected(owner));

    // One owner per record, many operators.
    ItemPtr record = room["room_owner"];
    record += Named("user", "ann");
    record += Named("user", "ben");
    QCOMPARE(record["user"].AsString(), std::string("ben"));
    ItemPtr operators = room.NewItem("room_operators");
    operators += Named("user", "ann");
    operators += Named("user", "ben");
    QCOMPARE(operators.GetItems("user").size(), size_t(2));
}

void tst_ServerSchema::userValuesReplaceEachOther()
{
    StoreGuard store;
    Engine engine(ServerOnly());
    ItemPtr ann = Named("user", "ann");
    ItemPtr ben = Named("user", "ben");
    ann += Named("country_code", "NL");
    ben += Named("country_code", "NL");
    ann += Named("country_code", "DE");
    QCOMPARE(ann["country_code"].AsString(), std::string("DE"));
    QCOMPARE(ben["country_code"].AsString(), std::string("NL"));
    Named("room", "den") += Named("user_count", "3");
    Named("room", "den") += Named("user_count", "4");
    QCOMPARE(Named("room", "den").GetItems("user_count").size(), size_t(1));
}

void tst_ServerSchema::addressRequestsArePerUser()
{
    StoreGuard store;
    Engine engine(ServerOnly());
    ItemPtr ann = Named("user", "ann");
    ItemPtr request = d.GetType("user_address_request")->NewItem();
    ann += request;
    ann += d.GetType("user_address_request")->NewItem();
    // The user end is one: the second request replaced the first.
    QCOMPARE(ann.GetItems("user_address_request").size(), size_t(1));
    QVERIFY(!ann.IsConnected(request));
}

void tst_ServerSchema::onlyUserDecisionsAreSaved()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("store"));
    {
        StoreGuard store;
        Engine engine(ServerOnly());
        Named("room", "lobby").NewItem("room_autojoin");
        Named("room", "passing") += Named("user", "nobody");
        Named("room", "passing").NewItem("in_room");
        Named("user", "friend").NewItem("in_user_list") += Named("user_list_group", "pals");
        Named("user_list_group", "pals") += Named("group_download_priority", "7");
        Named("user", "foe").NewItem("is_ignored");
        Named("user", "nobody").NewItem("is_online");
        Named("user_list_group", "empty group");
        QVERIFY(engine.saver().Save(path));
    }

    StoreGuard store;
    Engine engine(ServerOnly());
    engine.saver().Load(path);
    Type* room = d.GetType("room");
    Type* user = d.GetType("user");
    QVERIFY(room->HasItem(Value("lobby")).IsConnected("room_autojoin"));
    QVERIFY(room->HasItem(Value("passing")).IsNull());
    QCOMPARE(user->HasItem(Value("friend"))["in_user_list"]["user_list_group"].AsString(),
             std::string("pals"));
    QVERIFY(user->HasItem(Value("foe")).IsConnected("is_ignored"));
    QVERIFY(user->HasItem(Value("nobody")).IsNull());
    QVERIFY(!d.GetType("user_list_group")->HasItem(Value("empty group")).IsNull());
    // The upload queue orders by a group's priority: it outlives the run, and only where set.
    Type* group = d.GetType("user_list_group");
    QCOMPARE(group->HasItem(Value("pals"))["group_download_priority"].AsString(),
             std::string("7"));
    QVERIFY(!group->HasItem(Value("empty group")).IsConnected("group_download_priority"));
}

void tst_ServerSchema::upnpDefaultAfterLoading()
{
    StoreGuard store;
    Engine engine(ServerOnly());
    engine.saver().EmitDataLoaded();
    QCOMPARE(Named("global", "use_upnp")["global_value"].AsString(), std::string("yes"));

    // A stored choice stays.
    Named("global", "use_upnp") += Named("global_value", "no");
    engine.saver().EmitDataLoaded();
    QCOMPARE(Named("global", "use_upnp")["global_value"].AsString(), std::string("no"));
}

QTEST_GUILESS_MAIN(tst_ServerSchema)
#include "tst_serverschema.moc"

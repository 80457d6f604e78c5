// The store types of the server connection: how their relations shape what handlers can store.

#include "server/Server.h"
#include "store/Data.h"
#include "support/StoreGuard.h"

#include <QTest>

class TestServerSchema : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void declaredOnce();
    void flagsAreSharedAndSingle();
    void roomHasOneRecordOfEachKind();
    void userValuesReplaceEachOther();
    void addressRequestsArePerUser();
};

namespace {

ItemPtr Named(const char* type, const std::string& name)
{
    return d.GetType(type)->GetItem(Value(name));
}

} // namespace

void TestServerSchema::declaredOnce()
{
    StoreGuard store;
    Server server;
    server.CreateData();
    QVERIFY_THROWS_EXCEPTION(AlreadyRelatedException,
                             d.GetType("user")->RelateToType("is_online", Many, One));
    QVERIFY_THROWS_EXCEPTION(TypeAlreadyExistsException, server.CreateData());
}

void TestServerSchema::flagsAreSharedAndSingle()
{
    StoreGuard store;
    Server server;
    server.CreateData();
    ItemPtr ann = Named("user", "ann");
    ItemPtr ben = Named("user", "ben");
    ItemPtr first = ann.NewItem("is_online");
    ItemPtr again = ann.NewItem("is_online");
    QCOMPARE(again.Get(), first.Get());
    QCOMPARE(ann.GetItems("is_online").size(), size_t(1));
    QCOMPARE(ben.NewItem("is_online").Get(), first.Get());
}

void TestServerSchema::roomHasOneRecordOfEachKind()
{
    StoreGuard store;
    Server server;
    server.CreateData();
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

void TestServerSchema::userValuesReplaceEachOther()
{
    StoreGuard store;
    Server server;
    server.CreateData();
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

void TestServerSchema::addressRequestsArePerUser()
{
    StoreGuard store;
    Server server;
    server.CreateData();
    ItemPtr ann = Named("user", "ann");
    ItemPtr request = d.GetType("user_address_request")->NewItem();
    ann += request;
    ann += d.GetType("user_address_request")->NewItem();
    // The user end is one: the second request replaced the first.
    QCOMPARE(ann.GetItems("user_address_request").size(), size_t(1));
    QVERIFY(!ann.IsConnected(request));
}

QTEST_GUILESS_MAIN(TestServerSchema)
#include "tst_serverschema.moc"

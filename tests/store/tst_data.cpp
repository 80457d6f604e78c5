// Types, items, values and connections of the object store.

#include "store/Data.h"
#include "store/Schema.h"
#include "support/StoreGuard.h"

#include <QtTest>

#include <algorithm>
#include <random>
#include <set>

class tst_Data : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void misuseRaisesNamedException();
    void typesAreDeclaredWithTheirKind_data();
    void typesAreDeclaredWithTheirKind();
    void schemaRowWithoutAKindIsRefused();
    void valueTextRules_data();
    void valueTextRules();
    void pointerValueIsUnsignedAddress();
    void getItemCreatesOnlyOnAutoCreatingTypes();
    void numbersParseLikeTheCLibrary_data();
    void numbersParseLikeTheCLibrary();
    void connectionsAreSymmetric();
    void oneEndReplacesOldPartner();
    void lastPartnerGoneLeavesNoEntry();
    void newItemOnNullTypes();
    void settingsShareValueItems();
    void nullHandleIsHarmless();
    void iterationFollowsCreationOrder();
    void removedItemIdsAreReused();
    void manyPartnersMatchModel();
    void valueLookupSurvivesRemovals();
    void hubThinsOutAndRefills();
    void uniqueLinkWalks();
    void relationsSeenFromBothSides();
    void visitStopsWhereTheVisitorSays_data();
    void visitStopsWhereTheVisitorSays();
};

void tst_Data::misuseRaisesNamedException()
{
    StoreGuard store;
    Type* a = d.NewType("a", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("b", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* c = d.NewType("c", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* flag = d.NewType("flag", ReachablePrimacy, true, false, ValueKind::None);
    a->RelateToType(b, Many, Many);
    a->RelateToType(flag, Many, One);

    QVERIFY_THROWS_EXCEPTION(TypeAlreadyExistsException,
                             d.NewType("a", RootPrimacy, false, false, ValueKind::Utf8));
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, d.GetType("nope"));
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, GetType("nope"));
    QVERIFY(d.HasType("nope") == nullptr);
    QVERIFY_THROWS_EXCEPTION(AlreadyRelatedException, a->RelateToType(b, One, One));
    QVERIFY_THROWS_EXCEPTION(AlreadyRelatedException, b->RelateToType(a, One, One));
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, a->RelateToType("nope", One, One));
    QVERIFY_THROWS_EXCEPTION(NotRelatedException, a->GetRelation(c));

    ItemPtr x = a->GetItem("x");
    ItemPtr z = c->GetItem("z");
    QVERIFY_THROWS_EXCEPTION(NotRelatedException, x += z);
    QVERIFY(!x.IsConnected(z));
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, x["nope"]);
    QVERIFY_THROWS_EXCEPTION(NotRelatedException, x.GetItems("c"));
    QVERIFY_THROWS_EXCEPTION(NotRelatedException, x.NewItem("c"));
    QVERIFY_THROWS_EXCEPTION(NullTypeException, x.NewItem("b"));
    // An unrelated type simply has no partner.
    QVERIFY(x["c"].IsNull());

    QVERIFY_THROWS_EXCEPTION(NullTypeException, flag->GetItem("v"));
    QVERIFY_THROWS_EXCEPTION(NullTypeException, flag->NewItem("v"));
    QVERIFY_THROWS_EXCEPTION(NullTypeException, flag->HasItem("v"));
    QVERIFY_THROWS_EXCEPTION(NullTypeException, a->NewItem());
    QVERIFY_THROWS_EXCEPTION(NullTypeException, a->GetGlobalNullItem());
    QVERIFY_THROWS_EXCEPTION(NullTypeException, i("flag", "v"));
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, g("nope"));

    // The store is unchanged by the failures.
    QCOMPARE(d.ItemCount(), size_t(2));
    QVERIFY(x.IsDisconnectedFromAll());

    // They are standard exceptions with a message naming the culprit.
    try {
        d.GetType("missing_type");
        QFAIL("no exception");
    } catch (const std::exception& e) {
        QVERIFY(std::string(e.what()).find("missing_type") != std::string::npos);
    }
}

Q_DECLARE_METATYPE(ValueKind)

void tst_Data::typesAreDeclaredWithTheirKind_data()
{
    QTest::addColumn<bool>("isNull");
    QTest::addColumn<ValueKind>("kind");
    QTest::addColumn<bool>("refused");
    QTest::newRow("a name") << false << ValueKind::Name << false;
    QTest::newRow("a path") << false << ValueKind::Path << false;
    QTest::newRow("a setting's text") << false << ValueKind::ByKey << false;
    QTest::newRow("a flag") << true << ValueKind::None << false;
    QTest::newRow("values, no kind") << false << ValueKind::Unset << true;
    QTest::newRow("a flag, no kind") << true << ValueKind::Unset << true;
    QTest::newRow("a flag with a value kind") << true << ValueKind::Number << true;
    QTest::newRow("values of kind none") << false << ValueKind::None << true;
}

void tst_Data::typesAreDeclaredWithTheirKind()
{
    QFETCH(bool, isNull);
    QFETCH(ValueKind, kind);
    QFETCH(bool, refused);

    StoreGuard store;
    if (refused) {
        QVERIFY_THROWS_EXCEPTION(ValueKindException,
                                 d.NewType("t", RootPrimacy, isNull, true, kind));
        QVERIFY(!d.HasType("t"));
    } else {
        QCOMPARE(d.NewType("t", RootPrimacy, isNull, true, kind)->GetKind(), kind);
        QCOMPARE(d.GetType("t")->GetKind(), kind);
    }
}

// A table row that leaves out the kind stops the declaration there, naming the type.
void tst_Data::schemaRowWithoutAKindIsRefused()
{
    StoreGuard store;
    SchemaType rows[3] = {};
    rows[0] = SchemaType{"before", RootPrimacy, false, true, ValueKind::Utf8};
    rows[1].name = "unkinded";
    rows[1].autoCreate = true;
    rows[2] = SchemaType{"after", RootPrimacy, false, true, ValueKind::Utf8};
    try {
        DeclareSchema(Schema{rows, 3});
        QFAIL("no exception");
    } catch (const ValueKindException& e) {
        QVERIFY(std::string(e.what()).find("unkinded") != std::string::npos);
    }
    QVERIFY(d.HasType("before"));
    QVERIFY(!d.HasType("unkinded"));
    QVERIFY(!d.HasType("after"));
}

void tst_Data::valueTextRules_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    QTest::newRow("int") << 0 << "5";
    QTest::newRow("unsigned") << 1 << "5";
    QTest::newRow("text") << 2 << "5";
    QTest::newRow("long long") << 3 << "5";
    QTest::newRow("std::string") << 4 << "5";
    QTest::newRow("negative int") << 5 << "-12";
    QTest::newRow("big unsigned") << 6 << "4294967295";
    QTest::newRow("64-bit") << 7 << "-9000000000";
    QTest::newRow("unsigned 64-bit") << 8 << "18446744073709551615";
}

void tst_Data::valueTextRules()
{
    QFETCH(int, kind);
    QFETCH(QString, text);
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
    ItemPtr item;
    switch (kind) {
    case 0:
        item = t->GetItem(5);
        break;
    case 1:
        item = t->GetItem(5u);
        break;
    case 2:
        item = t->GetItem("5");
        break;
    case 3:
        item = t->GetItem(5LL);
        break;
    case 4:
        item = t->GetItem(std::string("5"));
        break;
    case 5:
        item = t->GetItem(-12);
        break;
    case 6:
        item = t->GetItem(4294967295u);
        break;
    case 7:
        item = t->GetItem(-9000000000LL);
        break;
    case 8:
        item = t->GetItem(18446744073709551615ULL);
        break;
    }
    QCOMPARE(QString::fromStdString(item.AsString()), text);
    // Whatever it was made from, the same text names the same item.
    QCOMPARE(t->GetItem(text.toStdString()).Get(), item.Get());
    QCOMPARE(t->ItemCount(), size_t(1));
    // Leading zeros make another value.
    ItemPtr padded = t->GetItem("0" + text.toStdString());
    QVERIFY(padded != item);
    QCOMPARE(t->ItemCount(), size_t(2));
}

void tst_Data::pointerValueIsUnsignedAddress()
{
    StoreGuard store;
    Type* t = d.NewType("widget", RootPrimacy, false, true, ValueKind::Utf8);
    int object = 0;
    ItemPtr item = t->GetItem(&object);
    QCOMPARE(item.AsString(), std::to_string(reinterpret_cast<quintptr>(&object)));
    QCOMPARE(item.AsPointer<int>(), &object);
    const char* text = "abc";
    QCOMPARE(t->GetItem(text).AsString(), std::string("abc"));
}

void tst_Data::getItemCreatesOnlyOnAutoCreatingTypes()
{
    StoreGuard store;
    Type* autoType = d.NewType("auto", RootPrimacy, false, true, ValueKind::Utf8);
    Type* plain = d.NewType("plain", RootPrimacy, false, false, ValueKind::Utf8);
    QCOMPARE(autoType->IsAutoCreate(), true);
    QVERIFY(plain->GetItem("x").IsNull());
    QVERIFY(plain->HasItem("x").IsNull());
    QVERIFY(autoType->HasItem("x").IsNull());
    QCOMPARE(d.ItemCount(), size_t(0));
    QVERIFY(i("plain", "x").IsEmpty());
    QCOMPARE(plain->ItemCount(), size_t(0));

    ItemPtr made = plain->NewItem("x");
    QCOMPARE(plain->NewItem("x").Get(), made.Get());
    QCOMPARE(plain->GetItem("x").Get(), made.Get());
    QCOMPARE((*plain)["x"].Get(), made.Get());
    QCOMPARE(ItemPtr(i("plain", "x")).Get(), made.Get());
}

void tst_Data::numbersParseLikeTheCLibrary_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("asInt64");
    QTest::addColumn<int>("asInt");
    QTest::newRow("plain") << "42" << qint64(42) << 42;
    QTest::newRow("leading blanks") << "  17" << qint64(17) << 17;
    QTest::newRow("sign") << "-8" << qint64(-8) << -8;
    QTest::newRow("plus sign") << "+8" << qint64(8) << 8;
    QTest::newRow("trailing text") << "12abc" << qint64(12) << 12;
    QTest::newRow("no digits") << "x" << qint64(0) << 0;
    QTest::newRow("empty") << "" << qint64(0) << 0;
    QTest::newRow("64-bit") << "8589934592" << qint64(8589934592LL) << 0;
}

void tst_Data::numbersParseLikeTheCLibrary()
{
    QFETCH(QString, text);
    QFETCH(qint64, asInt64);
    QFETCH(int, asInt);
    StoreGuard store;
    ItemPtr item =
        d.NewType("n", RootPrimacy, false, true, ValueKind::Utf8)->GetItem(text.toStdString());
    QCOMPARE(item.AsInt64(), asInt64);
    QCOMPARE(item.AsInt(), asInt);
    if (asInt64 >= 0)
        QCOMPARE(item.AsUInt64(), quint64(asInt64));
}

void tst_Data::connectionsAreSymmetric()
{
    StoreGuard store;
    Type* a = d.NewType("a", RootPrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("b", ReachablePrimacy, false, true, ValueKind::Utf8);
    a->RelateToType(b, Many, Many);
    ItemPtr x = a->GetItem("x");
    ItemPtr y = b->GetItem("y");
    // += returns the right-hand handle, so a read can follow it.
    QCOMPARE((x += y).AsString(), std::string("y"));
    QVERIFY(x.IsConnected(y));
    QVERIFY(y.IsConnected(x));
    QVERIFY(x.IsConnected("b"));
    QVERIFY(y.IsConnected(a));
    QCOMPARE(x["b"].Get(), y.Get());
    QCOMPARE(y["a"].Get(), x.Get());
    QCOMPARE((x -= y).Get(), y.Get());
    QVERIFY(!x.IsConnected(y));
    QVERIFY(!y.IsConnected(x));
    QVERIFY(x.IsDisconnectedFromAll());
    QVERIFY(y.IsDisconnectedFromAll());
}

void tst_Data::oneEndReplacesOldPartner()
{
    StoreGuard store;
    Type* user = d.NewType("user", RootPrimacy, false, true, ValueKind::Utf8);
    Type* status = d.NewType("status", ValuePrimacy, false, true, ValueKind::Utf8);
    // One status per user, many users per status.
    user->RelateToType(status, Many, One);
    ItemPtr u = user->GetItem("u");
    ItemPtr v = user->GetItem("v");
    ItemPtr online = status->GetItem("online");
    ItemPtr away = status->GetItem("away");
    u += online;
    v += online;
    u += away;
    QCOMPARE(u["status"].Get(), away.Get());
    QCOMPARE(u.GetItems("status").Size(), size_t(1));
    QVERIFY(!online.IsConnected(u));
    QVERIFY(online.IsConnected(v));
    // Connecting from the "many" side replaces just the same.
    online += u;
    QCOMPARE(u["status"].Get(), online.Get());
    QVERIFY(away.IsDisconnectedFromAll());
}

void tst_Data::lastPartnerGoneLeavesNoEntry()
{
    StoreGuard store;
    Type* a = d.NewType("a", RootPrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("b", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* c = d.NewType("c", ReachablePrimacy, false, true, ValueKind::Utf8);
    a->RelateToType(b, Many, Many);
    a->RelateToType(c, Many, Many);
    ItemPtr x = a->GetItem("x");
    ItemPtr b1 = b->GetItem("1");
    ItemPtr b2 = b->GetItem("2");
    ItemPtr c1 = c->GetItem("1");
    x += b1;
    x += b2;
    x += c1;
    ConnectionMap map;
    x->GetConnectedItems(map);
    QCOMPARE(map.size(), size_t(2));
    x -= b1;
    QVERIFY(x.IsConnected("b"));
    x -= b2;
    QVERIFY(!x.IsConnected("b"));
    QVERIFY(!x.IsDisconnectedFromAll());
    x->GetConnectedItems(map);
    QCOMPARE(map.size(), size_t(1));
    QCOMPARE(map.begin()->first, c);
    x.Disconnect("c");
    QVERIFY(x.IsDisconnectedFromAll());
    // Disconnecting by a type with no partners leaves everything as it was.
    x.Disconnect("c");
    QVERIFY(c1.IsDisconnectedFromAll());
}

void tst_Data::newItemOnNullTypes()
{
    StoreGuard store;
    Type* user = d.NewType("user", RootPrimacy, false, true, ValueKind::Utf8);
    Type* isOnline = d.NewType("is_online", ValuePrimacy, true, false, ValueKind::None);
    Type* slot = d.NewType("slot", ReachablePrimacy, true, false, ValueKind::None);
    Type* tag = d.NewType("tag", ReachablePrimacy, true, false, ValueKind::None);
    user->RelateToType(isOnline, Many, One); // a flag: one per user, shared by many
    user->RelateToType(slot, One, One);
    user->RelateToType(tag, One, Many);
    ItemPtr u = user->GetItem("u");
    ItemPtr v = user->GetItem("v");

    ItemPtr f1 = u.NewItem("is_online");
    ItemPtr f2 = v.NewItem("is_online");
    QCOMPARE(f1.Get(), f2.Get());
    QCOMPARE(isOnline->GetGlobalNullItem().Get(), f1.Get());
    QCOMPARE(isOnline->ItemCount(), size_t(1));
    QCOMPARE(u.NewItem("is_online").Get(), f1.Get());

    ItemPtr s1 = u.NewItem("slot");
    ItemPtr s2 = v.NewItem("slot");
    QVERIFY(s1 != s2);
    QCOMPARE(u.NewItem("slot").Get(), s1.Get());
    QCOMPARE(s1.AsString(), std::string());

    ItemPtr t1 = u.NewItem("tag");
    ItemPtr t2 = u.NewItem("tag");
    QVERIFY(t1 != t2);
    QCOMPARE(u.GetItems("tag").Size(), size_t(2));
    QCOMPARE(tag->ItemCount(), size_t(2));
}

void tst_Data::settingsShareValueItems()
{
    StoreGuard store;
    Type* global = d.NewType("global", RootPrimacy, false, true, ValueKind::Utf8);
    Type* value = d.NewType("global_value", ValuePrimacy, false, true, ValueKind::Utf8);
    global->RelateToType(value, Many, One);
    global->GetItem("port") += value->GetItem("2235");
    global->GetItem("other_port") += value->GetItem("2235");
    QCOMPARE(value->ItemCount(), size_t(1));
    global->GetItem("port") += value->GetItem("2240");
    QCOMPARE(global->GetItem("port")["global_value"].AsInt(), 2240);
    QCOMPARE(global->GetItem("port").GetItems("global_value").Size(), size_t(1));
    QVERIFY(value->GetItem("2235").IsConnected(global->GetItem("other_port")));
    QVERIFY(!value->GetItem("2235").IsConnected(global->GetItem("port")));
    // A key never written reads as empty.
    QCOMPARE(global->GetItem("unset")["global_value"].AsString(), std::string());
    QCOMPARE(global->GetItem("unset")["global_value"].AsUInt(), 0u);
}

void tst_Data::nullHandleIsHarmless()
{
    StoreGuard store;
    Type* a = d.NewType("a", RootPrimacy, false, true, ValueKind::Utf8);
    a->RelateToType(a, Many, Many);
    ItemPtr null;
    ItemPtr x = a->GetItem("x");
    QCOMPARE(null.AsString(), std::string());
    QCOMPARE(std::string(null.AsCStr()), std::string());
    QCOMPARE(null.AsInt(), 0);
    QCOMPARE(null.AsUInt(), 0u);
    QCOMPARE(null.AsInt64(), qint64(0));
    QCOMPARE(null.AsUInt64(), quint64(0));
    QVERIFY(null["a"].IsNull());
    QVERIFY(null.NewItem("a").IsNull());
    QVERIFY(null.GetItems("a").IsEmpty());
    ItemSet set(x.Get());
    null.GetItems("a", set);
    QVERIFY(set.IsEmpty());
    QCOMPARE((null += x).Get(), x.Get());
    QCOMPARE((x += null).Get(), nullptr);
    null -= x;
    null.Disconnect("a");
    null.Remove();
    QVERIFY(!null.IsConnected(x));
    QVERIFY(!x.IsConnected(null));
    QVERIFY(x.IsDisconnectedFromAll());
    QCOMPARE(d.ItemCount(), size_t(1));
}

void tst_Data::iterationFollowsCreationOrder()
{
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
    Type* z = d.NewType("z", RootPrimacy, false, true, ValueKind::Utf8);
    Type* y = d.NewType("y", RootPrimacy, false, true, ValueKind::Utf8);
    t->RelateToType(z, Many, Many);
    t->RelateToType(y, Many, Many);
    std::vector<std::string> values = {"m", "b", "z", "a", "q"};
    for (const std::string& v : values)
        t->GetItem(v);
    std::vector<std::string> seen;
    for (ItemPtr item : g("t"))
        seen.push_back(item.AsString());
    QVERIFY(seen == values);
    std::vector<Type*> types = d.GetTypes();
    QCOMPARE(types.size(), size_t(3));
    QCOMPARE(types[0], t);
    QCOMPARE(types[1], z);
    QCOMPARE(types[2], y);
    ItemPtr x = t->GetItem("m");
    x += y->GetItem("1");
    x += z->GetItem("1");
    ConnectionMap map;
    x->GetConnectedItems(map);
    QCOMPARE(map.begin()->first, z);
}

void tst_Data::removedItemIdsAreReused()
{
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
    Type* u = d.NewType("u", RootPrimacy, false, true, ValueKind::Utf8);
    t->RelateToType(u, Many, Many);
    ItemPtr a = t->GetItem("a");
    ItemPtr b = u->GetItem("b");
    a += b;
    const uint32_t id = b->Id();
    b.Remove();
    QVERIFY(a.IsDisconnectedFromAll());
    ItemPtr c = u->GetItem("c");
    QCOMPARE(c->Id(), id);
    // The new item under the old id inherits nothing.
    QVERIFY(!a.IsConnected(c));
    QVERIFY(c.IsDisconnectedFromAll());
    QVERIFY(u->HasItem("b").IsNull());
}

void tst_Data::manyPartnersMatchModel()
{
    // Enough partners to leave the compact form, in a shuffled order, with removals mixed in.
    StoreGuard store;
    Type* hub = d.NewType("hub", RootPrimacy, false, true, ValueKind::Utf8);
    Type* leaf = d.NewType("leaf", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* other = d.NewType("other", ReachablePrimacy, false, true, ValueKind::Utf8);
    hub->RelateToType(leaf, Many, Many);
    hub->RelateToType(other, Many, Many);
    ItemPtr h = hub->GetItem("h");
    std::vector<ItemPtr> leaves;
    for (int k = 0; k < 5000; ++k)
        leaves.push_back(leaf->GetItem(k));
    ItemPtr o = other->GetItem("o");
    std::mt19937 rng(7);
    std::vector<ItemPtr> order = leaves;
    std::shuffle(order.begin(), order.end(), rng);
    std::set<uint32_t> model;
    for (size_t k = 0; k < order.size(); ++k) {
        h += order[k];
        model.insert(order[k]->Id());
        if (k == 100)
            h += o;
        if (k % 3 == 0) {
            ItemPtr gone = order[rng() % (k + 1)];
            h -= gone;
            model.erase(gone->Id());
        }
    }
    ItemSet set = h.GetItems("leaf");
    QCOMPARE(set.Size(), model.size());
    auto it = model.begin();
    for (Item* item : set) {
        QCOMPARE(item->Id(), *it);
        ++it;
    }
    for (ItemPtr l : leaves)
        QCOMPARE(h.IsConnected(l), model.count(l->Id()) == 1);
    QCOMPARE(h["other"].Get(), o.Get());
    QCOMPARE(h["leaf"]->Id(), *model.begin());
    // Drop them all again.
    h.Disconnect("leaf");
    QVERIFY(!h.IsConnected("leaf"));
    QVERIFY(h.IsConnected(o));
    for (ItemPtr l : leaves)
        QVERIFY(l.IsDisconnectedFromAll());
}

void tst_Data::valueLookupSurvivesRemovals()
{
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, false, ValueKind::Utf8);
    std::mt19937 rng(11);
    std::set<int> model;
    for (int round = 0; round < 20000; ++round) {
        const int v = static_cast<int>(rng() % 3000);
        if (rng() % 3 == 0) {
            t->HasItem(v).Remove();
            model.erase(v);
        } else {
            t->NewItem(v);
            model.insert(v);
        }
    }
    QCOMPARE(t->ItemCount(), model.size());
    for (int v = 0; v < 3000; ++v)
        QCOMPARE(t->HasItem(v).IsNull(), model.count(v) == 0);
    for (Item* item : g("t"))
        QCOMPARE(t->HasItem(item->AsString()).Get(), item);
}

void tst_Data::hubThinsOutAndRefills()
{
    // A hub with many partners of two types loses most of them in a random order (so that
    // thin parts of its lists are folded together) and then gets some back.
    StoreGuard store;
    Type* hub = d.NewType("hub", RootPrimacy, false, true, ValueKind::Utf8);
    Type* a = d.NewType("a", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("b", ReachablePrimacy, false, true, ValueKind::Utf8);
    hub->RelateToType(a, Many, Many);
    hub->RelateToType(b, Many, Many);
    ItemPtr h = hub->GetItem("h");
    std::vector<ItemPtr> partners;
    for (int k = 0; k < 20000; ++k)
        partners.push_back((k % 2 ? a : b)->GetItem(k));
    for (ItemPtr p : partners)
        h += p;
    std::mt19937 rng(5);
    std::vector<ItemPtr> order = partners;
    std::shuffle(order.begin(), order.end(), rng);
    std::set<Item*, ItemOrder> model(partners.begin(), partners.end());
    for (size_t k = 0; k < order.size() * 9 / 10; ++k) {
        order[k] -= h;
        model.erase(order[k].Get());
    }
    for (size_t k = 0; k < order.size() / 20; ++k) {
        h += order[k];
        model.insert(order[k].Get());
    }
    ItemSet all = h.GetItems("a") + h.GetItems("b");
    QCOMPARE(all.Size(), model.size());
    QVERIFY(std::equal(all.begin(), all.end(), model.begin()));
    for (ItemPtr p : partners) {
        QCOMPARE(h.IsConnected(p), model.count(p.Get()) == 1);
        QCOMPARE(p.IsConnected(h), model.count(p.Get()) == 1);
    }
}

void tst_Data::uniqueLinkWalks()
{
    StoreGuard store;
    Type* file = d.NewType("file", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* folder = d.NewType("folder", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* size = d.NewType("size", ValuePrimacy, false, true, ValueKind::Utf8);
    file->RelateToType(folder, Many, One);
    file->RelateToType(size, Many, One);
    ItemPtr f = file->GetItem("f");
    ItemPtr f2 = file->GetItem("f2");
    ItemPtr dir = folder->GetItem("/d");
    ItemPtr sz = size->GetItem("10");
    f += dir;
    f += sz;
    f2 += dir;
    std::map<Item*, Path, ItemOrder> from;
    f->GetUniqueItems(from);
    // From a file, each link leads to one folder and one size; from there nothing is unique.
    QCOMPARE(from.size(), size_t(3));
    QVERIFY((from[dir.Get()] == Path{f.Get(), dir.Get()}));
    QVERIFY((from[sz.Get()] == Path{f.Get(), sz.Get()}));
    std::map<Item*, Path, ItemOrder> to;
    dir->GetUniqueToItems(to);
    // Towards the folder, every file has exactly one.
    QCOMPARE(to.size(), size_t(3));
    QVERIFY((to[f2.Get()] == Path{dir.Get(), f2.Get()}));
}

void tst_Data::relationsSeenFromBothSides()
{
    StoreGuard store;
    Type* owner = d.NewType("owner", RootPrimacy, false, true, ValueKind::Utf8);
    Type* owned = d.NewType("owned", ReachablePrimacy, false, true, ValueKind::Utf8);
    owner->RelateToType(owned, One, Many, true);
    RelationInfo there = owner->GetRelation(owned);
    QCOMPARE(there.thisPerOther, One);
    QCOMPARE(there.otherPerThis, Many);
    QVERIFY(there.owns);
    QVERIFY(!there.owned);
    RelationInfo back = owned->GetRelation(owner);
    QCOMPARE(back.thisPerOther, Many);
    QCOMPARE(back.otherPerThis, One);
    QVERIFY(!back.owns);
    QVERIFY(back.owned);
    TypeSet owners;
    d.GetTypeOwningTypes(owned, owners);
    QCOMPARE(owners.size(), size_t(1));
    QCOMPARE(*owners.begin(), owner);
    RelationMap map;
    owned->GetRelatedTypes(map);
    QCOMPARE(map.size(), size_t(1));
    QVERIFY(owner->IsRelated(owned));
}

QTEST_APPLESS_MAIN(tst_Data)
#include "tst_data.moc"

void tst_Data::visitStopsWhereTheVisitorSays_data()
{
    QTest::addColumn<int>("partners");
    QTest::addColumn<int>("stopAt"); // index of the partner the visitor stops at; -1: never
    // Held inline, in the compact array, and as chunked lists (past a thousand words).
    QTest::newRow("none") << 0 << -1;
    QTest::newRow("one, kept going") << 1 << -1;
    QTest::newRow("one, stopped") << 1 << 0;
    QTest::newRow("three, stopped in the middle") << 3 << 1;
    QTest::newRow("three, stopped at the last") << 3 << 2;
    QTest::newRow("many, stopped at the first") << 3000 << 0;
    QTest::newRow("many, stopped past a chunk") << 3000 << 1500;
    QTest::newRow("many, kept going") << 3000 << -1;
}

void tst_Data::visitStopsWhereTheVisitorSays()
{
    QFETCH(int, partners);
    QFETCH(int, stopAt);
    StoreGuard store;
    Type* hub = d.NewType("hub", RootPrimacy, false, true, ValueKind::Utf8);
    Type* leaf = d.NewType("leaf", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* other = d.NewType("other", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* stranger = d.NewType("stranger", ReachablePrimacy, false, true, ValueKind::Utf8);
    hub->RelateToType(leaf, Many, Many);
    hub->RelateToType(other, Many, Many);
    ItemPtr h = hub->GetItem("h");
    // Partners of another type on both sides of the leaves' ids, linked in shuffled order.
    h += other->GetItem("before");
    std::vector<ItemPtr> leaves;
    for (int k = 0; k < partners; ++k)
        leaves.push_back(leaf->GetItem(k));
    h += other->GetItem("after");
    std::vector<ItemPtr> order = leaves;
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    for (ItemPtr l : order)
        h += l;

    std::vector<Item*> visited;
    const bool stopped = h->VisitItems(leaf, [&](Item* item) {
        visited.push_back(item);
        return int(visited.size()) - 1 == stopAt;
    });
    QCOMPARE(stopped, stopAt >= 0);
    const size_t expected = stopAt >= 0 ? size_t(stopAt) + 1 : leaves.size();
    QCOMPARE(visited.size(), expected);
    for (size_t k = 0; k < visited.size(); ++k)
        QCOMPARE(visited[k], leaves[k].Get()); // made in order, so id order
    QVERIFY_THROWS_EXCEPTION(NotRelatedException,
                             h->VisitItems(stranger, [](Item*) { return false; }));
}

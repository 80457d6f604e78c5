// Store events: their order, and handlers that come and go while events are being told.

#include "store/Data.h"
#include "support/StoreGuard.h"

#include <QtTest>

#include <functional>
#include <memory>

namespace {

std::vector<std::string> journal;

std::string Name(const Item* item)
{
    return item->GetType()->GetName() + ":" + item->AsString();
}

// A subscriber that writes every event it is given into the journal under a label.
class Recorder : public DataHandler
{
public:
    explicit Recorder(std::string label) : m_label(std::move(label)) {}

    void OnItem(Item* item) { journal.push_back(m_label + " " + Name(item)); }
    void OnConnection(ConnectionInfo info)
    {
        journal.push_back(m_label + " " + Name(info.first) + "-" + Name(info.second));
    }
    void OnPair(ConnectionInfo& info) { OnConnection(info); }

    void WatchType(Type* t)
    {
        t->itemAddedEvent.Add(NewEventHandler(this, &Recorder::OnItem));
        t->itemRemovedEvent.Add(NewEventHandler(this, &Recorder::OnItem));
        t->connectedEvent.Add(NewEventHandler(this, &Recorder::OnConnection));
        t->disconnectedEvent.Add(NewEventHandler(this, &Recorder::OnConnection));
    }
    void WatchStore()
    {
        d.itemAddedEvent.Add(NewEventHandler(this, &Recorder::OnItem));
        d.itemRemovedEvent.Add(NewEventHandler(this, &Recorder::OnItem));
        d.connectedEvent.Add(NewEventHandler(this, &Recorder::OnConnection));
        d.disconnectedEvent.Add(NewEventHandler(this, &Recorder::OnConnection));
    }
    void WatchPair(Type* a, Type* b)
    {
        d.AddConnectionEventHandler(a, b, NewEventHandler(this, &Recorder::OnPair));
        d.AddDisconnectionEventHandler(a, b, NewEventHandler(this, &Recorder::OnPair));
    }

private:
    std::string m_label;
};

// A subscriber that runs an arbitrary action on an item event.
class Action : public DataHandler
{
public:
    explicit Action(std::function<void(Item*)> action) : m_action(std::move(action)) {}
    void OnItem(Item* item) { m_action(item); }
    void Listen(Event<Item*>& event) { event.Add(NewEventHandler(this, &Action::OnItem)); }

private:
    std::function<void(Item*)> m_action;
};

// The same for connection events.
class ConnectionAction : public DataHandler
{
public:
    explicit ConnectionAction(std::function<void(ConnectionInfo)> action)
        : m_action(std::move(action))
    {
    }
    void OnConnection(ConnectionInfo info) { m_action(info); }
    void Listen(Event<ConnectionInfo>& event)
    {
        event.Add(NewEventHandler(this, &ConnectionAction::OnConnection));
    }

private:
    std::function<void(ConnectionInfo)> m_action;
};

std::vector<std::string> Take()
{
    std::vector<std::string> out;
    out.swap(journal);
    return out;
}

} // namespace

class tst_Events : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { journal.clear(); }

    void connectionOrder();
    void creationAndRemovalOrder();
    void reconnectingOneEndDisconnectsFirst();
    void replacementOnPartnerSideSeesHalfMadeConnection();
    void alreadyConnectedFiresNothing();
    void neverConnectedStillFiresDisconnection();
    void pairHandlerSeesItsOwnOrder();
    void pairHandlerNeedsRelatedTypes();
    void destroyedSubscriberIsNeverCalled();
    void subscriberDestroyedByEarlierHandler();
    void subscriberDestroyedInNestedNotification();
    void handlerAddedDuringNotificationWaits();
    void handlersMayChangeTheStore();
    void subscriberMayOutliveTheStore();
    void endRemovedByHandlerLeavesNoLink_data();
    void endRemovedByHandlerLeavesNoLink();
};

void tst_Events::connectionOrder()
{
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("B", ReachablePrimacy, false, true, ValueKind::Utf8);
    a->RelateToType(b, Many, Many);
    Recorder ra("A"), rs("store"), rb("B"), pab("AB"), pba("BA");
    ra.WatchType(a);
    rb.WatchType(b);
    rs.WatchStore();
    pab.WatchPair(a, b);
    pba.WatchPair(b, a);
    ItemPtr x = a->GetItem("x");
    ItemPtr y = b->GetItem("y");
    Take();

    x += y;
    std::vector<std::string> expected = {"A A:x-B:y", "store A:x-B:y", "B B:y-A:x", "AB A:x-B:y",
                                         "BA B:y-A:x"};
    QCOMPARE(Take(), expected);

    // From the other side the order follows the item that was told first.
    y -= x;
    expected = {"B B:y-A:x", "store B:y-A:x", "A A:x-B:y", "BA B:y-A:x", "AB A:x-B:y"};
    QCOMPARE(Take(), expected);
}

void tst_Events::creationAndRemovalOrder()
{
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("B", ReachablePrimacy, false, true, ValueKind::Utf8);
    a->RelateToType(b, Many, Many);
    Recorder ra("A"), rs("store");
    ra.WatchType(a);
    rs.WatchStore();
    ItemPtr x = a->GetItem("x");
    std::vector<std::string> expected = {"A A:x", "store A:x"};
    QCOMPARE(Take(), expected);
    a->GetItem("x");
    QVERIFY(Take().empty());

    ItemPtr y = b->GetItem("y");
    x += y;
    Take();
    // Removal tells the type and the store while the item still has its value and partners,
    // and only then disconnects.
    std::vector<std::string> seenByHandler;
    Action probe([&](Item* item) {
        seenByHandler.push_back(Name(item));
        seenByHandler.push_back(ItemPtr(item)["B"].AsString());
    });
    probe.Listen(a->itemRemovedEvent);
    x.Remove();
    expected = {"A A:x", "store A:x", "A A:x-B:y", "store A:x-B:y"};
    QCOMPARE(Take(), expected);
    QCOMPARE(seenByHandler, (std::vector<std::string>{"A:x", "y"}));
    QVERIFY(y.IsDisconnectedFromAll());
    QVERIFY(a->HasItem("x").IsNull());
}

void tst_Events::reconnectingOneEndDisconnectsFirst()
{
    StoreGuard store;
    Type* key = d.NewType("key", RootPrimacy, false, true, ValueKind::Utf8);
    Type* val = d.NewType("val", ValuePrimacy, false, true, ValueKind::Utf8);
    key->RelateToType(val, Many, One);
    Recorder rs("store"), pair("pair");
    rs.WatchStore();
    pair.WatchPair(key, val);
    ItemPtr k = key->GetItem("k");
    ItemPtr v1 = val->GetItem("1");
    ItemPtr v2 = val->GetItem("2");
    k += v1;
    Take();
    k += v2;
    std::vector<std::string> expected = {"store key:k-val:1", "pair key:k-val:1",
                                         "store key:k-val:2", "pair key:k-val:2"};
    QCOMPARE(Take(), expected);
    QVERIFY(!v1.IsConnected(k));

    // The same when the "one" end is on the right-hand side.
    v1 += k;
    expected = {"store key:k-val:2", "pair key:k-val:2", "store val:1-key:k", "pair key:k-val:1"};
    QCOMPARE(Take(), expected);
}

void tst_Events::replacementOnPartnerSideSeesHalfMadeConnection()
{
    // Connecting from the "many" side: while the partner's old link is being dropped, the item
    // already holds its new partner, but the partner does not hold it yet.
    StoreGuard store;
    Type* key = d.NewType("key", RootPrimacy, false, true, ValueKind::Utf8);
    Type* val = d.NewType("val", ValuePrimacy, false, true, ValueKind::Utf8);
    key->RelateToType(val, Many, One);
    ItemPtr k = key->GetItem("k");
    ItemPtr v1 = val->GetItem("1");
    ItemPtr v2 = val->GetItem("2");
    k += v2;
    std::vector<std::string> seen;
    ConnectionAction probe([&](ConnectionInfo info) {
        seen.push_back(Name(info.first) + "-" + Name(info.second));
        seen.push_back(v1.IsConnected(k) ? "v1 holds k" : "v1 lacks k");
        seen.push_back(k.IsConnected(v1) ? "k holds v1" : "k lacks v1");
    });
    probe.Listen(d.disconnectedEvent);
    v1 += k;
    QCOMPARE(seen, (std::vector<std::string>{"key:k-val:2", "v1 holds k", "k lacks v1"}));
    QVERIFY(v1.IsConnected(k) && k.IsConnected(v1));
}

void tst_Events::alreadyConnectedFiresNothing()
{
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    a->RelateToType(a, Many, Many);
    Recorder rs("store");
    rs.WatchStore();
    ItemPtr x = a->GetItem("x");
    ItemPtr y = a->GetItem("y");
    x += y;
    Take();
    x += y;
    y += x;
    QVERIFY(Take().empty());
}

void tst_Events::neverConnectedStillFiresDisconnection()
{
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("B", RootPrimacy, false, true, ValueKind::Utf8);
    a->RelateToType(b, Many, Many);
    Recorder ra("A"), rs("store"), rb("B"), pab("AB");
    ra.WatchType(a);
    rs.WatchStore();
    rb.WatchType(b);
    pab.WatchPair(a, b);
    ItemPtr x = a->GetItem("x");
    ItemPtr y = b->GetItem("y");
    Take();
    x -= y;
    std::vector<std::string> expected = {"A A:x-B:y", "store A:x-B:y", "B B:y-A:x", "AB A:x-B:y"};
    QCOMPARE(Take(), expected);
    QVERIFY(x.IsDisconnectedFromAll());
    QVERIFY(y.IsDisconnectedFromAll());
}

void tst_Events::pairHandlerSeesItsOwnOrder()
{
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("B", RootPrimacy, false, true, ValueKind::Utf8);
    a->RelateToType(b, Many, Many);
    Recorder pab("AB");
    pab.WatchPair(a, b);
    ItemPtr x = a->GetItem("x");
    ItemPtr y = b->GetItem("y");
    y += x;
    QCOMPARE(Take(), (std::vector<std::string>{"AB A:x-B:y"}));
}

void tst_Events::pairHandlerNeedsRelatedTypes()
{
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("B", RootPrimacy, false, true, ValueKind::Utf8);
    Recorder r("r");
    QVERIFY_THROWS_EXCEPTION(NotRelatedException, r.WatchPair(a, b));
}

void tst_Events::destroyedSubscriberIsNeverCalled()
{
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    auto gone = std::make_unique<Recorder>("gone");
    Recorder kept("kept");
    gone->WatchType(a);
    kept.WatchType(a);
    gone.reset();
    a->GetItem("x");
    a->GetItem("y");
    QCOMPARE(Take(), (std::vector<std::string>{"kept A:x", "kept A:y"}));
    QCOMPARE(a->itemAddedEvent.Size(), size_t(1));
}

void tst_Events::subscriberDestroyedByEarlierHandler()
{
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    auto victim = std::make_unique<Recorder>("victim");
    Action killer([&](Item*) { victim.reset(); });
    killer.Listen(a->itemAddedEvent);
    victim->WatchType(a);
    a->GetItem("x");
    QVERIFY(Take().empty());
    QVERIFY(!victim);
}

void tst_Events::subscriberDestroyedInNestedNotification()
{
    // The outer notification of item-added still holds the victim's handler in its copy when a
    // nested notification of the same event drops it; the handler must neither run nor be freed
    // under the outer one's feet (ASan watches the second part).
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    auto victim = std::make_unique<Recorder>("victim");
    int nested = 0;
    Action spawner([&](Item* item) {
        if (item->AsString() == "outer") {
            ++nested;
            a->GetItem("inner");
        } else {
            victim.reset();
        }
    });
    spawner.Listen(a->itemAddedEvent);
    victim->WatchType(a);
    Recorder after("after");
    after.WatchType(a);
    a->GetItem("outer");
    QCOMPARE(nested, 1);
    QCOMPARE(Take(), (std::vector<std::string>{"after A:inner", "after A:outer"}));
    QCOMPARE(a->itemAddedEvent.Size(), size_t(2));
    a->GetItem("later");
    QCOMPARE(Take(), (std::vector<std::string>{"after A:later"}));
}

void tst_Events::handlerAddedDuringNotificationWaits()
{
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    std::unique_ptr<Recorder> late;
    Action adder([&](Item*) {
        if (!late) {
            late = std::make_unique<Recorder>("late");
            late->WatchType(a);
        }
    });
    adder.Listen(a->itemAddedEvent);
    a->GetItem("x");
    QVERIFY(Take().empty());
    a->GetItem("y");
    QCOMPARE(Take(), (std::vector<std::string>{"late A:y"}));
}

void tst_Events::handlersMayChangeTheStore()
{
    StoreGuard store;
    Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("B", ReachablePrimacy, false, true, ValueKind::Utf8);
    a->RelateToType(b, Many, Many);
    // Every new A item gets a B partner, and removing a B removes its A partners.
    Action maker([&](Item* item) { ItemPtr(item) += b->GetItem(item->AsString()); });
    maker.Listen(a->itemAddedEvent);
    Action remover([&](Item* item) { ItemPtr(item).GetItems("A").Remove(); });
    remover.Listen(b->itemRemovedEvent);
    ItemPtr x = a->GetItem("x");
    QCOMPARE(x["B"].AsString(), std::string("x"));
    b->GetItem("x").Remove();
    QVERIFY(a->HasItem("x").IsNull());
    QCOMPARE(d.ItemCount(), size_t(0));
}

void tst_Events::subscriberMayOutliveTheStore()
{
    auto survivor = std::make_unique<Recorder>("survivor");
    {
        StoreGuard store;
        Type* a = d.NewType("A", RootPrimacy, false, true, ValueKind::Utf8);
        survivor->WatchType(a);
        survivor->WatchStore();
    }
    // The store is gone and a new one stands; the subscriber's end must not touch the old one.
    survivor.reset();
    QVERIFY(journal.empty());
}

void tst_Events::endRemovedByHandlerLeavesNoLink_data()
{
    // file x is connected to name y. A handler of one of the events on the way removes one end;
    // the other end must not keep a link to it. "Drops" names the item whose "one" end let go
    // of its old partner, the event that runs the handler.
    QTest::addColumn<int>("filesPerName");
    QTest::addColumn<int>("namesPerFile");
    QTest::addColumn<QString>("drops");
    QTest::addColumn<bool>("removeName");
    QTest::newRow("name drops its old file, handler removes the name")
        << int(One) << int(Many) << "name" << true;
    QTest::newRow("name drops its old file, handler removes the file")
        << int(One) << int(Many) << "name" << false;
    QTest::newRow("both ends one, name drops its old file, handler removes the name")
        << int(One) << int(One) << "name" << true;
    QTest::newRow("file drops its old name, handler removes the name")
        << int(Many) << int(One) << "file" << true;
    QTest::newRow("file drops its old name, handler removes the file")
        << int(Many) << int(One) << "file" << false;
    QTest::newRow("connected, handler removes the name") << int(Many) << int(Many) << "" << true;
    QTest::newRow("connected, handler removes the file") << int(Many) << int(Many) << "" << false;
}

void tst_Events::endRemovedByHandlerLeavesNoLink()
{
    QFETCH(int, filesPerName);
    QFETCH(int, namesPerFile);
    QFETCH(QString, drops);
    QFETCH(bool, removeName);
    StoreGuard store;
    Type* file = d.NewType("file", RootPrimacy, false, true, ValueKind::Utf8);
    Type* name = d.NewType("name", RootPrimacy, false, true, ValueKind::Utf8);
    file->RelateToType(name, OneOrMany(filesPerName), OneOrMany(namesPerFile));
    ItemPtr x = file->GetItem("x");
    ItemPtr y = name->GetItem("y");
    if (namesPerFile == One)
        x += name->GetItem("old name");
    if (filesPerName == One)
        y += file->GetItem("old file");
    ItemPtr dropper = drops == "name" ? y : drops == "file" ? x : ItemPtr();
    ItemPtr victim = removeName ? y : x;
    ItemPtr survivor = removeName ? x : y;
    Type* victimType = victim->GetType();
    const std::string victimValue = victim.AsString();
    bool fired = false;
    ConnectionAction remover([&](ConnectionInfo info) {
        if (fired || (dropper && info.first != dropper.Get()))
            return;
        fired = true;
        victim.Remove();
    });
    remover.Listen(dropper ? d.disconnectedEvent : d.connectedEvent);

    x += y;

    QVERIFY(fired);
    QVERIFY(victimType->HasItem(victimValue).IsNull());
    const char* victimTypeName = victimType->GetName().c_str();
    QVERIFY(!survivor.IsConnected(victimTypeName));
    QVERIFY(survivor[victimTypeName].IsNull());
    QVERIFY(survivor.GetItems(victimTypeName).IsEmpty());
    // A newcomer that takes the removed item's id is nobody's partner.
    ItemPtr newcomer = victimType->GetItem("newcomer");
    QVERIFY(!survivor.IsConnected(newcomer));
    QVERIFY(newcomer.IsDisconnectedFromAll());
    survivor.Remove();
    QVERIFY(newcomer.IsDisconnectedFromAll());
}

QTEST_APPLESS_MAIN(tst_Events)
#include "tst_events.moc"

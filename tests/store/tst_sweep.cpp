// Removal and the garbage sweep.

#include "store/Data.h"
#include "support/StoreGuard.h"

#include <QtTest>

#include <algorithm>
#include <functional>

namespace {

using Strings = std::vector<std::string>;

class RemovalLog : public DataHandler
{
public:
    Strings removed;
    std::function<void(Item*)> also;
    void OnRemoved(Item* item)
    {
        removed.push_back(item->GetType()->GetName() + ":" + item->AsString());
        if (also)
            also(item);
    }
    void Watch() { d.itemRemovedEvent.Add(NewEventHandler(this, &RemovalLog::OnRemoved)); }
};

// A setting (root), reachable items, value items.
struct Shape
{
    Type* root;
    Type* node;
    Type* value;
    Shape()
    {
        root = d.NewType("root", RootPrimacy, false, true, ValueKind::Utf8);
        node = d.NewType("node", ReachablePrimacy, false, true, ValueKind::Utf8);
        value = d.NewType("value", ValuePrimacy, false, true, ValueKind::Utf8);
        root->RelateToType(node, Many, Many);
        root->RelateToType(value, Many, Many);
        node->RelateToType(node, Many, Many);
        node->RelateToType(value, Many, Many);
    }
};

} // namespace

class tst_Sweep : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reachableItemsSurvive();
    void islandOfTwoGoes();
    void valueItemsAreNotWalkedOutOf();
    void orphansGoFirst();
    void ownedChainTakesTwoSweeps();
    void nothingToRemoveFiresNothing();
    void itemRemovedByHandlerIsNotRemovedTwice();
    void orphanRemovedByHandlerIsNotRemovedTwice();
    void itemMadeDuringSweepIsLeftAlone();
    void longChainSurvives();
    void removeAllItemsKeepsTypes();
    void sweepAskedForInsideSweepWaitsForIt_data();
    void sweepAskedForInsideSweepWaitsForIt();
};

void tst_Sweep::reachableItemsSurvive()
{
    StoreGuard store;
    Shape s;
    ItemPtr key = s.root->GetItem("key");
    ItemPtr n = s.node->GetItem("n");
    ItemPtr m = s.node->GetItem("m");
    ItemPtr v = s.value->GetItem("v");
    key += n;
    n += m;
    m += v;
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
    QCOMPARE(d.ItemCount(), size_t(4));
    key -= n;
    QCOMPARE(d.RemoveDisconnectedItems(), 3);
    QCOMPARE(d.ItemCount(), size_t(1));
    QCOMPARE(g("root").Size(), size_t(1));
}

void tst_Sweep::islandOfTwoGoes()
{
    StoreGuard store;
    Shape s;
    s.node->GetItem("a") += s.node->GetItem("b");
    s.root->GetItem("lonely root");
    QCOMPARE(d.RemoveDisconnectedItems(), 2);
    QCOMPARE(d.ItemCount(), size_t(1));
}

void tst_Sweep::valueItemsAreNotWalkedOutOf()
{
    StoreGuard store;
    Shape s;
    ItemPtr key = s.root->GetItem("key");
    ItemPtr v = s.value->GetItem("v");
    ItemPtr behind = s.node->GetItem("behind");
    s.value->GetItem("old"); // a value nobody holds any more
    key += v;
    v += behind; // the only way to "behind" runs through a value item
    RemovalLog log;
    log.Watch();
    QCOMPARE(d.RemoveDisconnectedItems(), 2);
    std::sort(log.removed.begin(), log.removed.end());
    QCOMPARE(log.removed, (Strings{"node:behind", "value:old"}));
    QVERIFY(!s.value->HasItem("v").IsNull());
}

void tst_Sweep::orphansGoFirst()
{
    StoreGuard store;
    Type* user = d.NewType("user", RootPrimacy, false, true, ValueKind::Utf8);
    Type* note = d.NewType("note", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* junk = d.NewType("junk", ReachablePrimacy, false, true, ValueKind::Utf8);
    user->RelateToType(note, One, Many, true);
    ItemPtr ann = user->GetItem("ann");
    ann += note->GetItem("kept");
    junk->GetItem("a");
    note->GetItem("orphan");
    ItemPtr reachableOrphan = note->GetItem("reachable orphan");
    // An orphan goes even when a root of another type reaches it.
    Type* holder = d.NewType("holder", RootPrimacy, false, true, ValueKind::Utf8);
    holder->RelateToType(note, Many, Many);
    holder->GetItem("h") += reachableOrphan;
    RemovalLog log;
    log.Watch();
    QCOMPARE(d.RemoveDisconnectedItems(), 3);
    // Orphans first (even one a root reaches), in order of making, then the unreached.
    QCOMPARE(log.removed, (Strings{"note:orphan", "note:reachable orphan", "junk:a"}));
    QVERIFY(!note->HasItem("kept").IsNull());
}

void tst_Sweep::ownedChainTakesTwoSweeps()
{
    StoreGuard store;
    Type* x = d.NewType("x", RootPrimacy, false, true, ValueKind::Utf8);
    Type* y = d.NewType("y", RootPrimacy, false, true, ValueKind::Utf8);
    Type* z = d.NewType("z", RootPrimacy, false, true, ValueKind::Utf8);
    x->RelateToType(y, One, Many, true);
    y->RelateToType(z, One, Many, true);
    ItemPtr x1 = x->GetItem("1");
    ItemPtr y1 = y->GetItem("1");
    ItemPtr z1 = z->GetItem("1");
    x1 += y1;
    y1 += z1;
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
    x1.Remove();
    QCOMPARE(d.RemoveDisconnectedItems(), 1); // y, sorted while it still had z
    QVERIFY(y->HasItem("1").IsNull());
    QVERIFY(!z->HasItem("1").IsNull());
    QCOMPARE(d.RemoveDisconnectedItems(), 1); // now z
    QCOMPARE(d.ItemCount(), size_t(0));
}

void tst_Sweep::nothingToRemoveFiresNothing()
{
    StoreGuard store;
    Shape s;
    s.root->GetItem("key") += s.node->GetItem("n");
    RemovalLog log;
    log.Watch();
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
    QVERIFY(log.removed.empty());
    // A later disconnection is seen again.
    s.root->GetItem("key") -= s.node->GetItem("n");
    QCOMPARE(d.RemoveDisconnectedItems(), 1);
}

void tst_Sweep::itemRemovedByHandlerIsNotRemovedTwice()
{
    StoreGuard store;
    Shape s;
    ItemPtr a = s.node->GetItem("a");
    ItemPtr b = s.node->GetItem("b");
    ItemPtr c = s.node->GetItem("c");
    a += b;
    RemovalLog log;
    log.Watch();
    // Removing "a" takes "c" with it; the sweep had picked "c" too.
    log.also = [&](Item* item) {
        if (item->AsString() == "a")
            s.node->HasItem("c").Remove();
    };
    const int count = d.RemoveDisconnectedItems();
    QCOMPARE(log.removed, (Strings{"node:a", "node:c", "node:b"}));
    // The sweep removed two of them itself; the handler removed the third.
    QCOMPARE(count, 2);
    QCOMPARE(d.ItemCount(), size_t(0));
    Q_UNUSED(c);
}

void tst_Sweep::orphanRemovedByHandlerIsNotRemovedTwice()
{
    StoreGuard store;
    Type* user = d.NewType("user", RootPrimacy, false, true, ValueKind::Utf8);
    Type* note = d.NewType("note", ReachablePrimacy, false, true, ValueKind::Utf8);
    user->RelateToType(note, One, Many, true);
    note->GetItem("first");
    note->GetItem("second");
    RemovalLog log;
    log.Watch();
    // Both are orphans; removing the first takes the second with it.
    log.also = [&](Item* item) {
        if (item->AsString() == "first")
            note->HasItem("second").Remove();
    };
    QCOMPARE(d.RemoveDisconnectedItems(), 1);
    QCOMPARE(log.removed, (Strings{"note:first", "note:second"}));
    QCOMPARE(d.ItemCount(), size_t(0));
}

void tst_Sweep::itemMadeDuringSweepIsLeftAlone()
{
    StoreGuard store;
    Shape s;
    s.node->GetItem("doomed");
    RemovalLog log;
    log.Watch();
    log.also = [&](Item* item) {
        if (item->AsString() == "doomed")
            s.node->GetItem("newborn");
    };
    QCOMPARE(d.RemoveDisconnectedItems(), 1);
    QVERIFY(!s.node->HasItem("newborn").IsNull());
    // The next sweep sees it.
    QCOMPARE(d.RemoveDisconnectedItems(), 1);
    QCOMPARE(d.ItemCount(), size_t(0));
}

void tst_Sweep::longChainSurvives()
{
    StoreGuard store;
    Shape s;
    const int length = 1000000;
    ItemPtr previous = s.root->GetItem("anchor");
    ItemPtr first;
    for (int k = 0; k < length; ++k) {
        ItemPtr next = s.node->GetItem(k);
        previous += next;
        previous = next;
    }
    s.node->GetItem("loose");
    QCOMPARE(d.RemoveDisconnectedItems(), 1);
    QCOMPARE(s.node->ItemCount(), size_t(length));
    // Cut the chain in the middle: the far half goes.
    s.node->HasItem(length / 2 - 1) -= s.node->HasItem(length / 2);
    QCOMPARE(d.RemoveDisconnectedItems(), length / 2);
    QCOMPARE(s.node->ItemCount(), size_t(length / 2));
}

void tst_Sweep::removeAllItemsKeepsTypes()
{
    StoreGuard store;
    Shape s;
    s.root->GetItem("b") += s.node->GetItem("n");
    s.root->GetItem("a");
    RemovalLog log;
    log.Watch();
    d.RemoveAllItems();
    QCOMPARE(d.ItemCount(), size_t(0));
    // Types in declaration order, values in byte order within a type.
    QCOMPARE(log.removed, (Strings{"root:a", "root:b", "node:n"}));
    QCOMPARE(d.GetTypes().size(), size_t(3));
    QVERIFY(s.root->IsRelated(s.node));
    // Numbered afresh, as in a new store.
    QCOMPARE(s.node->GetItem("m")->Id(), 1u);
}

void tst_Sweep::sweepAskedForInsideSweepWaitsForIt_data()
{
    // A removal handler of a running sweep cuts another item loose and sweeps after itself, as
    // code that removes things does. "doomed" is the item whose removal runs the handler.
    QTest::addColumn<bool>("doomedIsOrphan");
    QTest::newRow("while unreached items go") << false;
    QTest::newRow("while orphans go") << true;
}

void tst_Sweep::sweepAskedForInsideSweepWaitsForIt()
{
    QFETCH(bool, doomedIsOrphan);
    StoreGuard store;
    Shape s;
    Type* owner = d.NewType("owner", RootPrimacy, false, true, ValueKind::Utf8);
    Type* owned = d.NewType("owned", ReachablePrimacy, false, true, ValueKind::Utf8);
    owner->RelateToType(owned, One, Many, true);
    ItemPtr key = s.root->GetItem("key");
    ItemPtr cutLoose = s.node->GetItem("cut loose");
    key += cutLoose;
    cutLoose += s.node->GetItem("behind it");
    for (int k = 0; k < 50; ++k)
        key += s.node->GetItem(k); // more items than the inner sweep would ever need to see
    ItemPtr doomed = doomedIsOrphan ? owned->GetItem("doomed") : s.node->GetItem("doomed");
    RemovalLog log;
    log.Watch();
    int inner = -1;
    log.also = [&](Item* item) {
        if (item != doomed.Get())
            return;
        key -= cutLoose;
        inner = d.RemoveDisconnectedItems();
    };
    // The inner request is served once the running sweep is done, within the same call.
    QCOMPARE(d.RemoveDisconnectedItems(), 3);
    QCOMPARE(inner, 0);
    std::sort(log.removed.begin(), log.removed.end());
    const Strings expected = {"node:behind it", "node:cut loose",
                              doomedIsOrphan ? "owned:doomed" : "node:doomed"};
    QCOMPARE(log.removed, expected);
    QCOMPARE(s.node->ItemCount(), size_t(50));
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
}

QTEST_APPLESS_MAIN(tst_Sweep)
#include "tst_sweep.moc"

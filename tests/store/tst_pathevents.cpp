// Path events: which changes fire a pattern, and with which root item.

#include "store/Data.h"
#include "support/StoreGuard.h"

#include <QtTest>

#include <memory>

namespace {

class Watcher : public DataHandler
{
public:
    std::vector<std::string> roots;
    std::function<void(Item*)> also;

    void OnPath(Item* root)
    {
        roots.push_back(root->AsString());
        if (also)
            also(root);
    }
    EventHandlerBase<Item*>* Handler() { return NewEventHandler(this, &Watcher::OnPath); }
    std::vector<std::string> Take()
    {
        std::vector<std::string> out;
        out.swap(roots);
        return out;
    }
};

using Strings = std::vector<std::string>;

// A root of one type with one child of another.
PathNode* Pair(PathNode* root, const char* child, PathNodeRelation relation)
{
    new PathNode(root, child, relation);
    return root;
}

// Room - user - flag with the given relations; returns the root.
PathNode* RoomUserFlag(PathNodeRelation userRelation, PathNodeRelation flagRelation)
{
    auto* root = new PathNode(&d, "room");
    auto* user = new PathNode(root, "user", userRelation);
    new PathNode(user, "flag", flagRelation);
    return root;
}

// Room (root) - user - flag, the usual shape.
struct Shape
{
    Type* room;
    Type* user;
    Type* flag;
    Shape()
    {
        room = d.NewType("room", RootPrimacy, false, true, ValueKind::Utf8);
        user = d.NewType("user", RootPrimacy, false, true, ValueKind::Utf8);
        flag = d.NewType("flag", ValuePrimacy, false, true, ValueKind::Utf8);
        room->RelateToType(user, Many, Many);
        user->RelateToType(flag, Many, Many);
    }
};

} // namespace

class tst_PathEvents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void watchedLinkFiresWithRoot();
    void conditionLinkDoesNotFire();
    void negativeCondition();
    void disconnectionPattern();
    void anchoredRoot();
    void firstRootInOrder();
    void patternThatStopsHolding();
    void changedLinkIsNotTestedAgain();
    void sharedStoreHandler();
    void pairWatchedAgainAfterLastPatternWent();
    void rejectedPatterns();
    void retiredSubscriberIsDropped();
    void anchoredChild();
};

void tst_PathEvents::watchedLinkFiresWithRoot()
{
    StoreGuard store;
    Shape s;
    Watcher w;
    d.AddPathEventHandler(Pair(new PathNode(&d, "room"), "user", PathConnected), w.Handler());
    ItemPtr lobby = s.room->GetItem("lobby");
    ItemPtr ann = s.user->GetItem("ann");
    lobby += ann;
    QCOMPARE(w.Take(), Strings{"lobby"});
    lobby -= ann;
    QVERIFY(w.Take().empty());
    // From the other side the root is still the room.
    ann += lobby;
    QCOMPARE(w.Take(), Strings{"lobby"});
}

void tst_PathEvents::conditionLinkDoesNotFire()
{
    StoreGuard store;
    Shape s;
    Watcher w;
    d.AddPathEventHandler(RoomUserFlag(PathConnected, PathConnectedCondition), w.Handler());
    ItemPtr lobby = s.room->GetItem("lobby");
    ItemPtr ann = s.user->GetItem("ann");
    ItemPtr bob = s.user->GetItem("bob");
    ItemPtr op = s.flag->GetItem("op");
    bob += op;
    lobby += ann; // ann has no flag: the condition fails
    QVERIFY(w.Take().empty());
    ann += op; // the user-flag link is not watched
    QVERIFY(w.Take().empty());
    lobby += bob;
    QCOMPARE(w.Take(), Strings{"lobby"});
}

void tst_PathEvents::negativeCondition()
{
    StoreGuard store;
    Shape s;
    Watcher w;
    d.AddPathEventHandler(RoomUserFlag(PathConnected, PathDisconnectedCondition), w.Handler());
    ItemPtr lobby = s.room->GetItem("lobby");
    ItemPtr ann = s.user->GetItem("ann");
    ItemPtr bob = s.user->GetItem("bob");
    bob += s.flag->GetItem("banned");
    lobby += bob;
    QVERIFY(w.Take().empty());
    lobby += ann;
    QCOMPARE(w.Take(), Strings{"lobby"});
}

void tst_PathEvents::disconnectionPattern()
{
    StoreGuard store;
    Shape s;
    Watcher w;
    d.AddPathEventHandler(RoomUserFlag(PathDisconnected, PathConnectedCondition), w.Handler());
    ItemPtr lobby = s.room->GetItem("lobby");
    ItemPtr ann = s.user->GetItem("ann");
    ItemPtr bob = s.user->GetItem("bob");
    ann += s.flag->GetItem("op");
    lobby += ann;
    lobby += bob;
    QVERIFY(w.Take().empty());
    lobby -= bob; // bob has no flag
    QVERIFY(w.Take().empty());
    lobby -= ann;
    QCOMPARE(w.Take(), Strings{"lobby"});
}

void tst_PathEvents::anchoredRoot()
{
    StoreGuard store;
    Shape s;
    Watcher w;
    ItemPtr lobby = s.room->GetItem("lobby");
    ItemPtr attic = s.room->GetItem("attic");
    d.AddPathEventHandler(Pair(new PathNode(lobby.Get()), "user", PathConnected), w.Handler());
    ItemPtr ann = s.user->GetItem("ann");
    attic += ann;
    QVERIFY(w.Take().empty());
    lobby += ann;
    QCOMPARE(w.Take(), Strings{"lobby"});
}

void tst_PathEvents::firstRootInOrder()
{
    // A user in two rooms gets a flag: the pattern holds through both rooms, and the handler is
    // told once, with the first room.
    StoreGuard store;
    Shape s;
    Watcher w;
    d.AddPathEventHandler(RoomUserFlag(PathConnectedCondition, PathConnected), w.Handler());
    ItemPtr lobby = s.room->GetItem("lobby");
    ItemPtr attic = s.room->GetItem("attic");
    ItemPtr ann = s.user->GetItem("ann");
    attic += ann;
    lobby += ann;
    QVERIFY(w.Take().empty());
    ann += s.flag->GetItem("op");
    QCOMPARE(w.Take(), Strings{"lobby"});
    // From the flag's side the same.
    s.flag->GetItem("voice") += ann;
    QCOMPARE(w.Take(), Strings{"lobby"});
}

void tst_PathEvents::patternThatStopsHolding()
{
    StoreGuard store;
    Shape s;
    Watcher w;
    d.AddPathEventHandler(RoomUserFlag(PathConnected, PathConnectedCondition), w.Handler());
    ItemPtr lobby = s.room->GetItem("lobby");
    ItemPtr ann = s.user->GetItem("ann");
    ItemPtr op = s.flag->GetItem("op");
    ann += op;
    lobby += ann;
    QCOMPARE(w.Take(), Strings{"lobby"});
    lobby -= ann;
    ann -= op;
    lobby += ann;
    QVERIFY(w.Take().empty());
    // An item removed from the condition's side no longer satisfies it either.
    ann += op;
    lobby -= ann;
    op.Remove();
    lobby += ann;
    QVERIFY(w.Take().empty());
}

void tst_PathEvents::changedLinkIsNotTestedAgain()
{
    // The first handler undoes the connection; the second registration on the same pair is
    // still told, like every other handler of that change.
    StoreGuard store;
    Shape s;
    Watcher first, second;
    first.also = [&](Item* root) { ItemPtr(root).Disconnect("user"); };
    d.AddPathEventHandler(RoomUserFlag(PathConnected, PathConnectedCondition), first.Handler());
    ItemPtr lobby = s.room->GetItem("lobby");
    ItemPtr ann = s.user->GetItem("ann");
    ann += s.flag->GetItem("op");
    // The second pattern hangs off the user, so its check runs again after the first handler.
    auto* root2 = new PathNode(&d, "room");
    new PathNode(root2, "user", PathConnected);
    d.AddPathEventHandler(root2, second.Handler());
    lobby += ann;
    QCOMPARE(first.Take(), Strings{"lobby"});
    QVERIFY(!lobby.IsConnected(ann));
    QCOMPARE(second.Take(), Strings{"lobby"});
}

void tst_PathEvents::sharedStoreHandler()
{
    StoreGuard store;
    Shape s;
    auto one = std::make_unique<Watcher>();
    Watcher two;
    d.AddPathEventHandler(Pair(new PathNode(&d, "room"), "user", PathConnected), one->Handler());
    d.AddPathEventHandler(Pair(new PathNode(&d, "room"), "user", PathConnected), two.Handler());
    ItemPtr lobby = s.room->GetItem("lobby");
    lobby += s.user->GetItem("ann");
    QCOMPARE(one->Take(), Strings{"lobby"});
    QCOMPARE(two.Take(), Strings{"lobby"});
    one.reset();
    lobby += s.user->GetItem("bob");
    QCOMPARE(two.Take(), Strings{"lobby"});
    lobby += s.user->GetItem("cid");
    QCOMPARE(two.Take(), Strings{"lobby"});
}

void tst_PathEvents::pairWatchedAgainAfterLastPatternWent()
{
    // When the last pattern on a pair goes, so does the store's own handler for it; a pattern
    // registered later is told once per change, not once per handler ever made for the pair.
    StoreGuard store;
    Shape s;
    auto gone = std::make_unique<Watcher>();
    d.AddPathEventHandler(Pair(new PathNode(&d, "room"), "user", PathConnected), gone->Handler());
    ItemPtr lobby = s.room->GetItem("lobby");
    gone.reset();
    lobby += s.user->GetItem("ann"); // meets the retired pattern and drops it
    Watcher later;
    d.AddPathEventHandler(Pair(new PathNode(&d, "room"), "user", PathConnected), later.Handler());
    lobby += s.user->GetItem("bob");
    QCOMPARE(later.Take(), Strings{"lobby"});
    s.user->GetItem("cid") += lobby;
    QCOMPARE(later.Take(), Strings{"lobby"});
}

void tst_PathEvents::rejectedPatterns()
{
    StoreGuard store;
    Shape s;
    Type* other = d.NewType("other", RootPrimacy, false, true, ValueKind::Utf8);
    Watcher w;
    // Only a root: nothing registered, never called.
    d.AddPathEventHandler(new PathNode(&d, "room"), w.Handler());
    // Unrelated pair.
    QVERIFY_THROWS_EXCEPTION(
        NotRelatedException,
        d.AddPathEventHandler(Pair(new PathNode(&d, "room"), "other", PathConnected),
                              w.Handler()));
    // The same pair twice.
    auto* root = new PathNode(&d, "room");
    new PathNode(root, "user", PathConnected);
    new PathNode(root, "user", PathDisconnected);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("same pair of types twice"));
    d.AddPathEventHandler(root, w.Handler());
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, PathNode(&d, "nope"));
    // A node that is not the root of its tree.
    auto* top = new PathNode(&d, "room");
    auto* child = new PathNode(top, "user", PathConnected);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("node that has a parent"));
    d.AddPathEventHandler(child, w.Handler());
    s.room->GetItem("lobby") += s.user->GetItem("ann");
    s.room->GetItem("lobby") -= s.user->GetItem("ann");
    QVERIFY(w.Take().empty());
    Q_UNUSED(other);
}

void tst_PathEvents::retiredSubscriberIsDropped()
{
    // A subscriber destroyed by its own path handler, inside a nested change of the same pair.
    StoreGuard store;
    Shape s;
    auto victim = std::make_unique<Watcher>();
    Watcher killer;
    ItemPtr lobby = s.room->GetItem("lobby");
    killer.also = [&](Item*) {
        if (victim) {
            victim.reset();
            lobby += s.user->GetItem("nested");
        }
    };
    d.AddPathEventHandler(Pair(new PathNode(&d, "room"), "user", PathConnected), killer.Handler());
    d.AddPathEventHandler(Pair(new PathNode(&d, "room"), "user", PathConnected),
                          victim->Handler());
    lobby += s.user->GetItem("ann");
    QCOMPARE(killer.Take(), (Strings{"lobby", "lobby"}));
    lobby += s.user->GetItem("bob");
    QCOMPARE(killer.Take(), Strings{"lobby"});
}

void tst_PathEvents::anchoredChild()
{
    StoreGuard store;
    Shape s;
    Watcher w;
    ItemPtr op = s.flag->GetItem("op");
    auto* root = new PathNode(&d, "room");
    auto* user = new PathNode(root, "user", PathConnectedCondition);
    new PathNode(user, op.Get(), PathConnected);
    d.AddPathEventHandler(root, w.Handler());
    ItemPtr lobby = s.room->GetItem("lobby");
    ItemPtr ann = s.user->GetItem("ann");
    lobby += ann;
    ann += s.flag->GetItem("voice");
    QVERIFY(w.Take().empty());
    ann += op;
    QCOMPARE(w.Take(), Strings{"lobby"});
}

QTEST_APPLESS_MAIN(tst_PathEvents)
#include "tst_pathevents.moc"

// Item sets: set operations, queries across connections and sorts.

#include "store/Data.h"
#include "support/StoreGuard.h"

#include <QtTest>

#include <functional>
#include <random>

namespace {

std::vector<std::string> Values(const ItemList& list)
{
    std::vector<std::string> out;
    for (const Item* item : list)
        out.push_back(item->AsString());
    return out;
}

std::vector<std::string> Values(const ItemSet& set)
{
    return Values(ItemList(set.begin(), set.end()));
}

using Strings = std::vector<std::string>;

class Remover : public DataHandler
{
public:
    std::vector<std::string> removed;
    ItemPtr alsoRemove;
    void OnRemoved(Item* item)
    {
        removed.push_back(item->AsString());
        if (alsoRemove && alsoRemove.Get() != item) {
            ItemPtr other = alsoRemove;
            alsoRemove = nullptr;
            other.Remove();
        }
    }
};

} // namespace

class tst_ItemSet : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sorts_data();
    void sorts();
    void sortsByPartner();
    void equalKeysReverseWhenDescending();
    void subsetOfPartners();
    void subsetMatchesBruteForce();
    void connectedQueries();
    void setAlgebra();
    void conversionToHandle();
    void removeRemovesEachOnce();
    void disconnectByType();
    void setOperationsMatchModel_data();
    void setOperationsMatchModel();
    void removedMembersNeverComeBack();
};

void tst_ItemSet::sorts_data()
{
    QTest::addColumn<bool>("numeric");
    QTest::addColumn<bool>("ascending");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("numeric up") << true << true << QStringList{"x", "9", "10"};
    QTest::newRow("numeric down") << true << false << QStringList{"10", "9", "x"};
    QTest::newRow("alphabetic up") << false << true << QStringList{"10", "9", "x"};
    QTest::newRow("alphabetic down") << false << false << QStringList{"x", "9", "10"};
}

void tst_ItemSet::sorts()
{
    QFETCH(bool, numeric);
    QFETCH(bool, ascending);
    QFETCH(QStringList, expected);
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
    t->GetItem("9");
    t->GetItem("x");
    t->GetItem("10");
    ItemSet set = g("t");
    ItemList sorted = numeric ? set.SortNumeric(ascending) : set.SortAlphabetic(ascending);
    QStringList got;
    for (const std::string& v : Values(sorted))
        got << QString::fromStdString(v);
    QCOMPARE(got, expected);
}

void tst_ItemSet::sortsByPartner()
{
    StoreGuard store;
    Type* file = d.NewType("file", RootPrimacy, false, true, ValueKind::Utf8);
    Type* size = d.NewType("size", ValuePrimacy, false, true, ValueKind::Utf8);
    file->RelateToType(size, Many, One);
    file->GetItem("big") += size->GetItem("1000");
    file->GetItem("small") += size->GetItem("20");
    file->GetItem("unknown");
    file->GetItem("mid") += size->GetItem("300");
    ItemSet all = g("file");
    QCOMPARE(Values(all.SortNumericBy("size", true)), (Strings{"small", "mid", "big"}));
    QCOMPARE(Values(all.SortNumericBy("size", false)), (Strings{"big", "mid", "small"}));
    QCOMPARE(Values(all.SortAlphabeticBy("size", true)), (Strings{"big", "small", "mid"}));
    QCOMPARE(Values(all.SortAlphabeticBy("size", false)), (Strings{"mid", "small", "big"}));
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, all.SortNumericBy("nope", true));
}

void tst_ItemSet::equalKeysReverseWhenDescending()
{
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
    t->GetItem("7");
    t->GetItem("07");
    t->GetItem("3");
    t->GetItem("007");
    ItemSet set = g("t");
    ItemList up = set.SortNumeric(true);
    ItemList down = set.SortNumeric(false);
    QCOMPARE(Values(up), (Strings{"3", "7", "07", "007"}));
    std::reverse(down.begin(), down.end());
    QCOMPARE(down, up);
}

void tst_ItemSet::subsetOfPartners()
{
    StoreGuard store;
    Type* file = d.NewType("file", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* word = d.NewType("word", ValuePrimacy, false, true, ValueKind::Utf8);
    file->RelateToType(word, Many, Many);
    ItemPtr red = word->GetItem("red");
    ItemPtr car = word->GetItem("car");
    ItemPtr blue = word->GetItem("blue");
    file->GetItem("red car") += red;
    file->GetItem("red car") += car;
    file->GetItem("blue car") += blue;
    file->GetItem("blue car") += car;
    file->GetItem("red") += red;
    QCOMPARE(Values(d.GetItems(red, car, "file")), (Strings{"red car"}));
    QCOMPARE(d.GetItem(red, car, "file").AsString(), std::string("red car"));
    QVERIFY(d.GetItem(red, blue, "file").IsNull());
    // A null handle has no partners, so no item is connected to both.
    QVERIFY(d.GetItems(ItemPtr(), car, "file").IsEmpty());
    QVERIFY(d.GetItem(red, ItemPtr(), "file").IsNull());
    ItemSet words;
    words.Insert(red.Get());
    words.Insert(car.Get());
    words.Insert(blue.Get());
    QVERIFY(d.GetItemSubset(words, "file").IsEmpty());
    QVERIFY(d.GetItemSubset(ItemSet(), "file").IsEmpty());
    QCOMPARE(d.GetItemSubset(ItemSet(car.Get()), "file").Size(), size_t(2));
    // A member without partners of the type empties the result at once.
    ItemSet withLonely = words;
    withLonely.Insert(word->GetItem("lonely").Get());
    QVERIFY(d.GetItemSubset(withLonely, "file").IsEmpty());
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, d.GetItemSubset(words, "nope"));
}

void tst_ItemSet::subsetMatchesBruteForce()
{
    StoreGuard store;
    Type* file = d.NewType("file", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* word = d.NewType("word", ValuePrimacy, false, true, ValueKind::Utf8);
    file->RelateToType(word, Many, Many);
    std::mt19937 rng(3);
    for (int f = 0; f < 3000; ++f) {
        ItemPtr item = file->GetItem(f);
        for (int k = 0; k < 4; ++k) {
            // Word 0 is common, the others rarer.
            const int w = (rng() % 3 == 0) ? 0 : static_cast<int>(rng() % 40);
            item += word->GetItem(w);
        }
    }
    for (int w = 1; w < 40; ++w) {
        ItemSet pair;
        pair.Insert(word->GetItem(0).Get());
        pair.Insert(word->GetItem(w).Get());
        ItemSet expected;
        for (Item* f : g("file")) {
            if (f->IsConnected(word->GetItem(0).Get()) && f->IsConnected(word->GetItem(w).Get()))
                expected.Insert(f);
        }
        QCOMPARE(d.GetItemSubset(pair, "file"), expected);
    }
}

void tst_ItemSet::connectedQueries()
{
    StoreGuard store;
    Type* user = d.NewType("user", RootPrimacy, false, true, ValueKind::Utf8);
    Type* room = d.NewType("room", RootPrimacy, false, true, ValueKind::Utf8);
    Type* online = d.NewType("is_online", ValuePrimacy, true, false, ValueKind::None);
    user->RelateToType(room, Many, Many);
    user->RelateToType(online, Many, One);
    ItemPtr ann = user->GetItem("ann");
    ItemPtr bob = user->GetItem("bob");
    ItemPtr cid = user->GetItem("cid");
    ItemPtr lobby = room->GetItem("lobby");
    ItemPtr attic = room->GetItem("attic");
    ann += lobby;
    bob += attic;
    bob += lobby;
    cid.NewItem("is_online");
    ItemSet users = g("user");

    QCOMPARE(Values(users.Connected("room")), (Strings{"ann", "bob"}));
    QCOMPARE(Values(users.NotConnected("room")), (Strings{"cid"}));
    QCOMPARE(Values(users.Connected("room", "attic")), (Strings{"bob"}));
    QCOMPARE(Values(users.NotConnected("room", "attic")), (Strings{"ann", "cid"}));
    // A value naming no item gives nothing, whichever way round.
    QVERIFY(users.Connected("room", "cellar").IsEmpty());
    QVERIFY(users.NotConnected("room", "cellar").IsEmpty());
    QVERIFY(users.NotConnected(ItemPtr()).IsEmpty());
    QVERIFY(users.Connected(ItemPtr()).IsEmpty());
    QCOMPARE(Values(users.Connected(lobby)), (Strings{"ann", "bob"}));
    QCOMPARE(Values(users.NotConnected(online->GetGlobalNullItem())), (Strings{"ann", "bob"}));

    // Against another set; the answer must not depend on which side is smaller.
    ItemSet oneRoom(attic.Get());
    QCOMPARE(Values(users.Connected(oneRoom)), (Strings{"bob"}));
    QCOMPARE(Values(users.NotConnected(oneRoom)), (Strings{"ann", "cid"}));
    ItemSet someUsers(ann.Get());
    QCOMPARE(Values(g("room").Connected(someUsers)), (Strings{"lobby"}));
    QCOMPARE(Values(g("room").Connected(users)), (Strings{"lobby", "attic"}));

    QCOMPARE(Values(users.GetItems("room")), (Strings{"lobby", "attic"}));
    QCOMPARE(Values(d.GetItems(users, "room")), (Strings{"lobby", "attic"}));
    QCOMPARE(Values(i("user", "bob")), (Strings{"bob"}));
    QVERIFY(i("user", "dan").IsEmpty());
    QVERIFY(user->HasItem("dan").IsNull());
}

void tst_ItemSet::setAlgebra()
{
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
    ItemPtr a = t->GetItem("a"), b = t->GetItem("b"), c = t->GetItem("c");
    ItemSet ab, bc;
    ab.Insert(b.Get());
    ab.Insert(a.Get());
    QVERIFY(!ab.Insert(a.Get()));
    bc.Insert(c.Get());
    bc.Insert(b.Get());
    QCOMPARE(Values(ab + bc), (Strings{"a", "b", "c"}));
    QCOMPARE(Values(ab), (Strings{"a", "b"}));
    QCOMPARE(Values(ab.Common(bc)), (Strings{"b"}));
    ab.Add(bc);
    QCOMPARE(Values(ab), (Strings{"a", "b", "c"}));
    QVERIFY(ab.Erase(b.Get()));
    QVERIFY(!ab.Contains(b.Get()));
    QCOMPARE(Values(ab), (Strings{"a", "c"}));
    ItemSet all;
    t->GetItems(all);
    QCOMPARE(all.Size(), size_t(3));
}

void tst_ItemSet::conversionToHandle()
{
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
    QVERIFY(ItemPtr(g("t")).IsNull());
    ItemPtr a = t->GetItem("a");
    QCOMPARE(ItemPtr(g("t")).Get(), a.Get());
    t->GetItem("b");
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("several items"));
    QCOMPARE(ItemPtr(g("t")).Get(), a.Get());
}

void tst_ItemSet::removeRemovesEachOnce()
{
    StoreGuard store;
    Type* t = d.NewType("t", ReachablePrimacy, false, true, ValueKind::Utf8);
    t->RelateToType(t, Many, Many);
    ItemPtr a = t->GetItem("a"), b = t->GetItem("b"), c = t->GetItem("c");
    a += b;
    b += c;
    c += a;
    Remover watcher;
    t->itemRemovedEvent.Add(watcher.NewEventHandler(&watcher, &Remover::OnRemoved));
    // The handler for "a" removes "c" itself; the set must then skip it.
    watcher.alsoRemove = c;
    g("t").Remove();
    QCOMPARE(watcher.removed, (Strings{"a", "c", "b"}));
    QCOMPARE(d.ItemCount(), size_t(0));
}

void tst_ItemSet::disconnectByType()
{
    StoreGuard store;
    Type* user = d.NewType("user", RootPrimacy, false, true, ValueKind::Utf8);
    Type* room = d.NewType("room", RootPrimacy, false, true, ValueKind::Utf8);
    user->RelateToType(room, Many, Many);
    ItemPtr ann = user->GetItem("ann");
    ItemPtr bob = user->GetItem("bob");
    ann += room->GetItem("x");
    bob += room->GetItem("x");
    bob += room->GetItem("y");
    ItemSet users = g("user");
    users.Disconnect("room");
    QVERIFY(ann.IsDisconnectedFromAll());
    QVERIFY(bob.IsDisconnectedFromAll());
    QCOMPARE(room->ItemCount(), size_t(2));
}

namespace {

// Files in folders, each file with a few tags. With scattered ids, the files take the ids that
// removed items left behind, in the order they were removed, as a long-running store does.
struct Share
{
    Type* folder;
    Type* file;
    Type* tag;
    std::vector<ItemPtr> folders, files, tags;

    Share(bool scattered, int fileCount, std::mt19937& rng)
    {
        folder = d.NewType("folder", RootPrimacy, false, true, ValueKind::Utf8);
        file = d.NewType("file", ReachablePrimacy, false, true, ValueKind::Utf8);
        tag = d.NewType("tag", ValuePrimacy, false, true, ValueKind::Utf8);
        folder->RelateToType(file, One, Many);
        file->RelateToType(tag, Many, Many);
        if (scattered) {
            std::vector<ItemPtr> filler;
            for (int k = 0; k < 2 * fileCount; ++k)
                filler.push_back(file->GetItem("filler " + std::to_string(k)));
            std::shuffle(filler.begin(), filler.end(), rng);
            for (ItemPtr f : filler)
                f.Remove();
        }
        for (int k = 0; k < fileCount; ++k)
            files.push_back(file->GetItem("f" + std::to_string(k)));
        for (int k = 0; k < fileCount / 20; ++k)
            folders.push_back(folder->GetItem("d" + std::to_string(k)));
        for (int k = 0; k < 40; ++k)
            tags.push_back(tag->GetItem("t" + std::to_string(k)));
        for (int k = 0; k < fileCount; ++k) {
            folders[k / 20] += files[k];
            for (unsigned n = 1 + rng() % 3; n > 0; --n)
                files[k] += tags[rng() % tags.size()];
        }
    }
};

// Some items of a list, drawn at random and put in one at a time.
ItemSet Some(std::vector<ItemPtr> items, size_t count, std::mt19937& rng)
{
    std::shuffle(items.begin(), items.end(), rng);
    ItemSet out;
    for (size_t k = 0; k < std::min(count, items.size()); ++k)
        out.Insert(items[k].Get());
    return out;
}

// The model: items of a set by brute force, in id order.
ItemList Expected(const ItemSet& candidates, const std::function<bool(Item*)>& keep)
{
    ItemList out;
    for (Item* item : candidates) {
        if (keep(item))
            out.push_back(item);
    }
    return out;
}

bool LinkedToAny(Item* item, const ItemSet& others)
{
    for (Item* other : others) {
        if (item->IsConnected(other))
            return true;
    }
    return false;
}

ItemList List(const ItemSet& set)
{
    return ItemList(set.begin(), set.end());
}

} // namespace

void tst_ItemSet::setOperationsMatchModel_data()
{
    QTest::addColumn<bool>("scattered");
    QTest::newRow("ids in creation order") << false;
    QTest::newRow("ids scattered by removals and reuse") << true;
}

void tst_ItemSet::setOperationsMatchModel()
{
    QFETCH(bool, scattered);
    StoreGuard store;
    std::mt19937 rng(11);
    Share share(scattered, 2000, rng);
    const ItemSet allFiles = g("file");
    const ItemSet allTags = g("tag");

    // Partners of many members at once, members of one type and of two.
    for (size_t count : {size_t(1), size_t(7), share.folders.size()}) {
        const ItemSet folders = Some(share.folders, count, rng);
        QCOMPARE(List(folders.GetItems("file")),
                 Expected(allFiles, [&](Item* f) { return LinkedToAny(f, folders); }));
        const ItemSet files = Some(share.files, count * 20, rng);
        QCOMPARE(List(d.GetItems(files, "tag")),
                 Expected(allTags, [&](Item* t) { return LinkedToAny(t, files); }));
    }
    QVERIFY_THROWS_EXCEPTION(NotRelatedException, (allFiles + g("folder")).GetItems("tag"));

    // Connected and NotConnected, with either side the smaller and the looked-across side
    // anything from a few partners to all of them.
    const std::vector<std::pair<size_t, size_t>> sizes = {{2000, 1}, {2000, 40}, {5, 40},
                                                          {300, 3},  {1, 1},     {2000, 2000}};
    for (const auto& [fileCount, otherCount] : sizes) {
        const ItemSet files = Some(share.files, fileCount, rng);
        const ItemSet tags = Some(share.tags, otherCount, rng);
        const ItemList connected = Expected(files, [&](Item* f) { return LinkedToAny(f, tags); });
        QCOMPARE(List(files.Connected(tags)), connected);
        QCOMPARE(List(files.NotConnected(tags)),
                 Expected(files, [&](Item* f) { return !LinkedToAny(f, tags); }));
        QCOMPARE(List(tags.Connected(files)),
                 Expected(tags, [&](Item* t) { return LinkedToAny(t, files); }));
        // Set algebra on the same members.
        const ItemSet half = Some(share.files, fileCount / 2 + 1, rng);
        QCOMPARE(List(files.Common(half)),
                 Expected(files, [&](Item* f) { return half.Contains(f); }));
        QCOMPARE(List(files + half), Expected(allFiles, [&](Item* f) {
                     return files.Contains(f) || half.Contains(f);
                 }));
    }
}

void tst_ItemSet::removedMembersNeverComeBack()
{
    // A set made before some of its members were removed: whatever it is asked afterwards, no
    // removed member is read or handed out again, and an item that took a removed member's id
    // is not taken for that member.
    StoreGuard store;
    Type* user = d.NewType("user", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* room = d.NewType("room", RootPrimacy, false, true, ValueKind::Utf8);
    user->RelateToType(room, Many, Many);
    ItemPtr lobby = room->GetItem("lobby");
    for (const char* name : {"ann", "bob", "cid", "dan", "eve"})
        user->GetItem(name) += lobby;
    ItemSet users = g("user");
    ItemSet someUsers = users.Connected(lobby);
    user->HasItem("bob").Remove();
    user->HasItem("dan").Remove();
    // Newcomers take the ids that bob and dan left.
    ItemPtr fay = user->GetItem("fay");
    ItemPtr gus = user->GetItem("gus");
    fay += lobby;
    const Strings live = {"ann", "cid", "eve"};

    QVERIFY(!users.Contains(fay.Get()));
    QCOMPARE(Values(users.Common(someUsers)), live);
    QCOMPARE(Values(users + ItemSet()), live);
    QCOMPARE(Values(users.Connected("room")), live);
    QVERIFY(users.NotConnected("room").IsEmpty());
    QCOMPARE(Values(users.Connected(lobby)), live);
    QCOMPARE(Values(users.Connected(ItemSet(lobby.Get()))), live);
    QVERIFY(users.NotConnected(ItemSet(lobby.Get())).IsEmpty());
    QCOMPARE(Values(users.SortAlphabetic(true)), live);
    QCOMPARE(Values(users.SortAlphabeticBy("room", true)), live);
    QCOMPARE(Values(ItemSet(lobby.Get()).Connected(users)), Strings{"lobby"});
    QCOMPARE(Values(d.GetItemSubset(users, "room")), Strings{"lobby"});
    QCOMPARE(users.GetItems("room").Size(), size_t(1));
    ItemSet grown = someUsers;
    grown.Add(ItemSet(gus.Get()));
    QCOMPARE(Values(grown), (Strings{"ann", "cid", "gus", "eve"})); // gus has dan's id

    // An item that took a removed member's id takes its place when put in.
    QVERIFY(users.Insert(fay.Get()));
    QVERIFY(users.Contains(fay.Get()));
    QVERIFY(!users.Insert(fay.Get()));
    QCOMPARE(Values(users.Connected(lobby)), (Strings{"ann", "fay", "cid", "eve"}));

    // Removing through the old set removes its live members, never the newcomers.
    someUsers.Remove();
    QCOMPARE(Values(g("user")), (Strings{"fay", "gus"}));
}

QTEST_APPLESS_MAIN(tst_ItemSet)
#include "tst_itemset.moc"

// What the store's busiest paths allocate: lookups by type name, notifications, path handlers
// that come and go, and the results of set operations. Counted through this program's own
// operator new, which strings, vectors and handlers all allocate with.

#include "store/Data.h"
#include "support/StoreGuard.h"

#include <QtTest>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <random>

namespace {

long g_allocations = 0; // blocks allocated through operator new so far
long g_live = 0;        // of those, blocks not freed yet

void* Allocate(std::size_t size)
{
    void* p = std::malloc(size ? size : 1);
    if (p) {
        ++g_allocations;
        ++g_live;
    }
    return p;
}

void Free(void* p)
{
    if (p) {
        --g_live;
        std::free(p);
    }
}

} // namespace

void* operator new(std::size_t size)
{
    if (void* p = Allocate(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}
void operator delete(void* p) noexcept
{
    Free(p);
}
void operator delete[](void* p) noexcept
{
    Free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    Free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    Free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    Free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    Free(p);
}

namespace {

// Blocks allocated while the action runs.
long AllocationsIn(const std::function<void()>& action)
{
    const long before = g_allocations;
    action();
    return g_allocations - before;
}

// Counts every event it is given.
class Counter : public DataHandler
{
public:
    int calls = 0;
    void OnItem(Item*) { ++calls; }
    void OnConnection(ConnectionInfo) { ++calls; }
    void OnPair(ConnectionInfo&) { ++calls; }
};

// Rooms and their users, which path patterns watch.
struct Rooms
{
    Type* room = d.NewType("room", RootPrimacy, false, true, ValueKind::Utf8);
    Type* user = d.NewType("user", RootPrimacy, false, true, ValueKind::Utf8);
    Rooms() { room->RelateToType(user, Many, Many); }

    void WatchUsers(Counter& counter)
    {
        auto* root = new PathNode(&d, "room");
        new PathNode(root, "user", PathConnected);
        d.AddPathEventHandler(root, counter.NewEventHandler(&counter, &Counter::OnItem));
    }
};

// Folders of files with tags, at a scale; the files take ids that removed items left behind,
// in a shuffled order, as in a store that has run for a while.
struct TaggedShare
{
    Type* folder = d.NewType("folder", RootPrimacy, false, true, ValueKind::Utf8);
    Type* file = d.NewType("file", ReachablePrimacy, false, true, ValueKind::Utf8);
    Type* tag = d.NewType("tag", ValuePrimacy, false, true, ValueKind::Utf8);

    explicit TaggedShare(int scale)
    {
        folder->RelateToType(file, One, Many);
        file->RelateToType(tag, Many, Many);
        std::mt19937 rng(5);
        const int files = 1000 * scale;
        std::vector<ItemPtr> filler;
        for (int k = 0; k < 2 * files; ++k)
            filler.push_back(file->GetItem("filler " + std::to_string(k)));
        std::shuffle(filler.begin(), filler.end(), rng);
        for (ItemPtr f : filler)
            f.Remove();
        std::vector<ItemPtr> made;
        for (int k = 0; k < files; ++k) {
            made.push_back(file->GetItem("f" + std::to_string(k)));
            folder->GetItem(k / 20) += made.back();
        }
        std::shuffle(made.begin(), made.end(), rng);
        for (int k = 0; k < files; ++k)
            made[k] += tag->GetItem(k / 50);
    }
};

} // namespace

class tst_Allocations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lookupsByNameAllocateNothing_data();
    void lookupsByNameAllocateNothing();
    void notificationsAllocateNothing();
    void retiredPathHandlersLeaveNothingBehind();
    void setOperationsAllocateAlikeAtAnySize_data();
    void setOperationsAllocateAlikeAtAnySize();
};

void tst_Allocations::lookupsByNameAllocateNothing_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("short name") << QByteArray("user");
    // Past what a string holds without a heap block of its own.
    QTest::newRow("long name") << QByteArray("shared_file_folder");
}

void tst_Allocations::lookupsByNameAllocateNothing()
{
    QFETCH(QByteArray, name);
    StoreGuard store;
    Type* partner = d.NewType(name.toStdString(), RootPrimacy, false, true, ValueKind::Utf8);
    Type* owner = d.NewType("owner", RootPrimacy, false, true, ValueKind::Utf8);
    owner->RelateToType(partner, Many, Many);
    ItemPtr o = owner->GetItem("o");
    ItemPtr p = partner->GetItem("p");
    o += p;
    const char* typeName = name.constData();
    ItemPtr found;
    bool connected = false;
    Type* type = nullptr;
    size_t partners = 0;
    QCOMPARE(AllocationsIn([&] { found = o[typeName]; }), 0L);
    QCOMPARE(AllocationsIn([&] { connected = o.IsConnected(typeName); }), 0L);
    QCOMPARE(AllocationsIn([&] { type = d.GetType(typeName); }), 0L);
    // The set that is handed out is the one block.
    QCOMPARE(AllocationsIn([&] { partners = o.GetItems(typeName).Size(); }), 1L);
    QCOMPARE(found.Get(), p.Get());
    QVERIFY(connected);
    QCOMPARE(type, partner);
    QCOMPARE(partners, size_t(1));
}

void tst_Allocations::notificationsAllocateNothing()
{
    // Type, store, pair and path handlers all subscribed: telling them copies no list.
    StoreGuard store;
    Rooms rooms;
    Counter counter;
    rooms.room->connectedEvent.Add(counter.NewEventHandler(&counter, &Counter::OnConnection));
    rooms.user->disconnectedEvent.Add(counter.NewEventHandler(&counter, &Counter::OnConnection));
    d.connectedEvent.Add(counter.NewEventHandler(&counter, &Counter::OnConnection));
    d.disconnectedEvent.Add(counter.NewEventHandler(&counter, &Counter::OnConnection));
    d.AddConnectionEventHandler(rooms.room, rooms.user,
                                counter.NewEventHandler(&counter, &Counter::OnPair));
    d.AddDisconnectionEventHandler(rooms.user, rooms.room,
                                   counter.NewEventHandler(&counter, &Counter::OnPair));
    rooms.WatchUsers(counter);
    ItemPtr lobby = rooms.room->GetItem("lobby");
    ItemPtr ann = rooms.user->GetItem("ann");
    const long blocks = AllocationsIn([&] {
        for (int k = 0; k < 10; ++k) {
            lobby += ann;
            ann -= lobby;
        }
    });
    QCOMPARE(blocks, 0L);
    // Each round: room, store, pair and path for the connection; store, user and pair for
    // the disconnection.
    QCOMPARE(counter.calls, 70);
}

void tst_Allocations::retiredPathHandlersLeaveNothingBehind()
{
    // A form that watches a pair, closes, and is opened again, over and over: each time the
    // pattern goes, the store's own handler for the pair goes with it.
    StoreGuard store;
    Rooms rooms;
    ItemPtr lobby = rooms.room->GetItem("lobby");
    ItemPtr ann = rooms.user->GetItem("ann");
    auto openAndClose = [&] {
        auto form = std::make_unique<Counter>();
        rooms.WatchUsers(*form);
        form.reset();
        lobby += ann; // meets the retired pattern and drops it
        lobby -= ann;
    };
    for (int k = 0; k < 3; ++k)
        openAndClose();
    const long live = g_live;
    for (int k = 0; k < 32; ++k)
        openAndClose();
    QCOMPARE(g_live, live);
    // The pair is watched as before by a pattern that stays.
    Counter stays;
    rooms.WatchUsers(stays);
    lobby += ann;
    QCOMPARE(stays.calls, 1);
}

void tst_Allocations::setOperationsAllocateAlikeAtAnySize_data()
{
    // Each result is built in one go, so the blocks allocated do not grow with the sets: not
    // a copy of the result per member, nor a bigger array each time a match is added.
    QTest::addColumn<QString>("operation");
    QTest::newRow("partners of every folder") << "GetItems";
    QTest::newRow("files connected to tags, walking the tags") << "Connected";
    QTest::newRow("tags connected to files, walking the tags") << "Connected, reversed";
    QTest::newRow("files not connected to half the tags") << "NotConnected";
}

void tst_Allocations::setOperationsAllocateAlikeAtAnySize()
{
    QFETCH(QString, operation);
    auto measure = [&](int scale, size_t& resultSize) {
        StoreGuard store;
        TaggedShare share(scale);
        const ItemSet folders = g("folder");
        const ItemSet files = g("file");
        const ItemSet tags = g("tag");
        ItemSet halfTags;
        for (Item* t : tags) {
            if (t->AsInt() % 2 == 0)
                halfTags.Insert(t);
        }
        ItemSet result;
        const long blocks = AllocationsIn([&] {
            if (operation == "GetItems")
                result = folders.GetItems("file");
            else if (operation == "Connected")
                result = files.Connected(tags);
            else if (operation == "Connected, reversed")
                result = tags.Connected(files);
            else
                result = files.NotConnected(halfTags);
        });
        resultSize = result.Size();
        return blocks;
    };
    size_t small = 0;
    size_t large = 0;
    const long smallBlocks = measure(1, small);
    const long largeBlocks = measure(8, large);
    QVERIFY(small > 0);
    QCOMPARE(large, 8 * small);
    QCOMPARE(largeBlocks, smallBlocks);
}

QTEST_APPLESS_MAIN(tst_Allocations)
#include "tst_allocations.moc"

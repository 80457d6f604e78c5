// The sweep that looks only around what was made or cut loose since the last one, against the
// walk of the whole store. Every case is played twice in a fresh store, the second time with
// each sweep told to walk everything, and both must remove the same items in the same order,
// fire the same events and leave the same store.

#include "store/Data.h"
#include "store/TurnBudget.h"
#include "support/StoreGuard.h"

#include <QtTest>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

// The types of every case, named by the first letter of an item's name:
//   r root, n walkable node, v value; o a root owning w; n owning b, a root of its own.
struct World
{
    std::map<char, Type*> types;
    World()
    {
        types['r'] = d.NewType("r", RootPrimacy, false, true, ValueKind::Utf8);
        types['n'] = d.NewType("n", ReachablePrimacy, false, true, ValueKind::Utf8);
        types['v'] = d.NewType("v", ValuePrimacy, false, true, ValueKind::Utf8);
        types['o'] = d.NewType("o", RootPrimacy, false, true, ValueKind::Utf8);
        types['w'] = d.NewType("w", ReachablePrimacy, false, true, ValueKind::Utf8);
        types['b'] = d.NewType("b", RootPrimacy, false, true, ValueKind::Utf8);
        const char* pairs[] = {"rn", "rv", "nn", "nv", "vv", "nw", "wv", "bv", "rw"};
        for (const char* p : pairs)
            types[p[0]]->RelateToType(types[p[1]], Many, Many);
        types['o']->RelateToType(types['w'], One, Many, true);
        types['n']->RelateToType(types['b'], Many, Many, true);
    }
    ItemPtr Get(const std::string& name) { return types.at(name[0])->GetItem(name); }
    ItemPtr Has(const std::string& name) { return types.at(name[0])->HasItem(name); }
};

// Runs a line of steps: "a-b" links a and b, "a/b" cuts their link, "!a" removes a, "+a"
// makes a. An item named in a link is made when missing.
void Run(World& world, const std::string& steps)
{
    std::istringstream in(steps);
    std::string step;
    while (in >> step) {
        const size_t link = step.find('-');
        const size_t cut = step.find('/');
        if (step[0] == '!') {
            world.Has(step.substr(1)).Remove();
        } else if (step[0] == '+') {
            world.Get(step.substr(1));
        } else if (link != std::string::npos) {
            ItemPtr a = world.Get(step.substr(0, link));
            a += world.Get(step.substr(link + 1));
        } else if (cut != std::string::npos) {
            ItemPtr a = world.Has(step.substr(0, cut));
            ItemPtr b = world.Has(step.substr(cut + 1));
            if (a && b)
                a -= b;
        }
    }
}

// Whether a whole walk would remove the item now: an orphan of an owning relation, or out of
// reach of every root (value items are reached, never walked out of).
bool Garbage(World& world, Item* target)
{
    const auto owned = [&](Item* item, char kind, char owner) {
        return item->GetType() == world.types[kind] &&
               item->ConnectionCount(world.types[owner]) == 0;
    };
    if (owned(target, 'w', 'o') || owned(target, 'b', 'n'))
        return true;
    std::vector<Item*> queue;
    std::set<Item*> reached;
    for (char root : {'r', 'o', 'b'}) {
        for (Item* item : world.types[root]->GetItems())
            queue.push_back(item);
    }
    for (size_t at = 0; at < queue.size(); ++at) {
        ConnectionMap links;
        queue[at]->GetConnectedItems(links);
        for (const auto& [type, set] : links) {
            for (Item* partner : set) {
                if (type->GetPrimacy() != RootPrimacy && reached.insert(partner).second &&
                    type->GetPrimacy() == ReachablePrimacy)
                    queue.push_back(partner);
            }
        }
    }
    return !reached.count(target);
}

// Removals as they are told, and steps run when a named item goes ("n2: r1-n3 !v1").
class Watcher : public DataHandler
{
public:
    explicit Watcher(World& world) : m_world(world)
    {
        d.itemRemovedEvent.Add(NewEventHandler(this, &Watcher::OnRemoved));
        d.disconnectedEvent.Add(NewEventHandler(this, &Watcher::OnDisconnected));
    }
    void On(const std::string& rules)
    {
        std::istringstream in(rules);
        std::string line;
        while (std::getline(in, line, ';')) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            std::string name = line.substr(0, colon);
            name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
            m_rules[name] = line.substr(colon + 1);
        }
    }
    Strings events;
    // While set, the items removed that were no garbage then.
    bool checking = false;
    std::string reached;

private:
    void OnRemoved(Item* item)
    {
        events.push_back("removed " + item->AsString());
        if (checking && !Garbage(m_world, item))
            reached += item->AsString() + " ";
        const auto rule = m_rules.find(item->AsString());
        if (rule != m_rules.end()) {
            const std::string steps = rule->second;
            m_rules.erase(rule); // once, as a handler that tidies up would
            Run(m_world, steps);
        }
    }
    void OnDisconnected(ConnectionInfo info)
    {
        events.push_back("cut " + info.first->AsString() + "/" + info.second->AsString());
    }
    World& m_world;
    std::map<std::string, std::string> m_rules;
};

// Every item with its partners, in name order.
Strings Contents()
{
    Strings out;
    for (Type* type : d.GetTypes()) {
        for (Item* item : type->GetItems()) {
            std::string line = item->AsString() + ":";
            Strings partners;
            ConnectionMap links;
            item->GetConnectedItems(links);
            for (const auto& [t, set] : links) {
                for (Item* partner : set)
                    partners.push_back(partner->AsString());
            }
            std::sort(partners.begin(), partners.end());
            for (const std::string& p : partners)
                line += " " + p;
            out.push_back(line);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Random steps over the types of every case.
struct Script
{
    std::mt19937 rng;
    int items;
    Script(unsigned seed, int n) : rng(seed), items(n) {}
    std::string Name(char kind = 0)
    {
        static const std::string kinds = "rnnnvvowb";
        const char first = kind ? kind : kinds[rng() % kinds.size()];
        return first + std::to_string(rng() % unsigned(items / 6 + 1));
    }
    std::string Link(char separator)
    {
        static const char* const pairs[] = {"rn", "rv", "nn", "nv", "vv", "nw",
                                            "wv", "bv", "rw", "ow", "nb"};
        const char* p = pairs[rng() % (sizeof pairs / sizeof *pairs)];
        const std::string a = Name(p[0]);
        const std::string b = Name(p[1]);
        return a == b ? std::string() : a + separator + b;
    }
    std::string Base(int links)
    {
        std::string base;
        for (int k = 0; k < links; ++k)
            base += Link('-') + " ";
        for (int k = 0; k < items / 10; ++k)
            base += "+" + Name() + " ";
        return base;
    }
    std::string Cut()
    {
        const unsigned what = rng() % 3;
        return what == 0 ? "!" + Name() : what == 1 ? "+" + Name() : Link('/');
    }
    std::string Changes(int count)
    {
        std::string change;
        for (int k = 0; k < count; ++k) {
            const unsigned what = rng() % 4;
            change += what == 0 ? "!" + Name() : Link(what == 1 ? '-' : '/');
            change += " ";
        }
        return change;
    }
};

struct Outcome
{
    Strings events;
    std::vector<int> counts;
    Strings contents;
};

// The base, a sweep of the whole store, then the change and three sweeps with the rules in
// force, each walking everything or looking around what changed.
Outcome Play(const std::string& base, const std::string& change, const std::string& rules,
             bool wholeWalks)
{
    StoreGuard store;
    World world;
    Run(world, base);
    d.RemoveDisconnectedItems();
    Watcher watcher(world);
    watcher.On(rules);
    Run(world, change);
    Outcome outcome;
    for (int k = 0; k < 3; ++k) {
        if (wholeWalks)
            d.SweepEverythingNext();
        watcher.events.push_back("sweep");
        outcome.counts.push_back(d.RemoveDisconnectedItems());
    }
    outcome.events = watcher.events;
    outcome.contents = Contents();
    return outcome;
}

} // namespace

class tst_SweepChanges : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void removesWhatTheWholeWalkRemoves_data();
    void removesWhatTheWholeWalkRemoves();
    void randomChangesMatchTheWholeWalk_data();
    void randomChangesMatchTheWholeWalk();
    void slicedSweepWithChangesBetween_data();
    void slicedSweepWithChangesBetween();
    void looksOnlyAroundWhatChanged();
    void ownedRelationDeclaredLaterFindsOrphans();
};

void tst_SweepChanges::removesWhatTheWholeWalkRemoves_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("rules");
    QTest::addColumn<Strings>("removed"); // by the first sweep after the change, in order

    const QString chain = "r1-n1 n1-n2 n2-n3 n3-v1 n3-n4";
    QTest::newRow("chain cut in the middle") << chain << "n2/n3"
                                             << "" << Strings{"n3", "v1", "n4"};
    QTest::newRow("chain cut from its root") << chain << "r1/n1"
                                             << "" << Strings{"n1", "n2", "n3", "v1", "n4"};
    QTest::newRow("chain cut and joined again") << chain << "n2/n3 n3-n2"
                                                << "" << Strings{};
    QTest::newRow("cycle held by a second root") << "r1-n1 n1-n2 n2-n3 n3-n1 r2-n3"
                                                 << "r1/n1"
                                                 << "" << Strings{};
    QTest::newRow("cycle let go") << "r1-n1 n1-n2 n2-n3 n3-n1 n2-v1"
                                  << "r1/n1"
                                  << "" << Strings{"n1", "n2", "n3", "v1"};
    QTest::newRow("reachable only through the link just cut") << "r1-n1 n1-n2 r1-n3 n3-v1 v1-n2"
                                                              << "n1/n2"
                                                              << "" << Strings{"n2"};
    QTest::newRow("value held by another group") << "r1-n1 n1-v1 r2-n2 n2-v1"
                                                 << "r1/n1"
                                                 << "" << Strings{"n1"};
    QTest::newRow("value let go with its group") << "r1-n1 n1-v1 n1-v2 r2-v2"
                                                 << "r1/n1"
                                                 << "" << Strings{"n1", "v1"};
    QTest::newRow("value not walked out of") << "r1-v1 v1-n1 r1-n2 n2-n1"
                                             << "n2/n1"
                                             << "" << Strings{"n1"};
    QTest::newRow("value beside value") << "r1-v1 v1-v2 r1-v2"
                                        << "r1/v2"
                                        << "" << Strings{"v2"};
    QTest::newRow("root removed") << "r1-n1 n1-v1 r1-v2 r2-v2"
                                  << "!r1"
                                  << "" << Strings{"n1", "v1"};
    QTest::newRow("made and left alone") << "r1-n1"
                                         << "+n5 +v5 n6-v6 r1-n7"
                                         << "" << Strings{"n5", "v5", "n6", "v6"};
    QTest::newRow("orphan held by a root") << "o1-w1 r1-w1 w1-v1"
                                           << "o1/w1"
                                           << "" << Strings{"w1", "v1"};
    QTest::newRow("orphan root") << "r1-n1 n1-b1 b1-v1"
                                 << "n1/b1"
                                 << "" << Strings{"b1", "v1"};
    QTest::newRow("owner removed") << "r1-n1 n1-b1 b1-v1 o1-w1 w1-n1"
                                   << "!o1"
                                   << "" << Strings{"w1"};
    QTest::newRow("removal handler links what was cut") << chain << "n2/n3"
                                                        << "n3: r1-n4" << Strings{"n3", "v1", "n4"};
    QTest::newRow("removal handler cuts a held group") << chain + " r2-n5 n5-n6"
                                                       << "n2/n3"
                                                       << "n3: r2/n5" << Strings{"n3", "v1", "n4"};
    QTest::newRow("removal handler makes items") << chain << "n2/n3"
                                                 << "n3: n8-v8 r1-n9" << Strings{"n3", "v1", "n4"};
    QTest::newRow("removal handler removes what was to go")
        << chain << "n2/n3"
        << "n3: !n4" << Strings{"n3", "n4", "v1"};
    QTest::newRow("orphan's handler cuts a group loose")
        << "o1-w1 w1-v1 r1-n1 n1-n2"
        << "o1/w1"
        << "w1: r1/n1" << Strings{"w1", "v1", "n1", "n2"};
    QTest::newRow("orphan's handler makes an orphan") << "o1-w1 o1-w2"
                                                      << "o1/w1"
                                                      << "w1: o1/w2 +w3" << Strings{"w1", "w2"};
    QTest::newRow("orphan's handler links a new root to a group cut loose")
        << "o1-w1 r1-n1 n1-n2"
        << "o1/w1 r1/n1"
        << "w1: r9-n1" << Strings{"w1", "n1", "n2"};
    QTest::newRow("removal handler links a new root") << chain << "n2/n3"
                                                      << "n3: r9-n4" << Strings{"n3", "v1", "n4"};
}

void tst_SweepChanges::removesWhatTheWholeWalkRemoves()
{
    QFETCH(QString, base);
    QFETCH(QString, change);
    QFETCH(QString, rules);
    QFETCH(Strings, removed);
    const Outcome around =
        Play(base.toStdString(), change.toStdString(), rules.toStdString(), false);
    const Outcome whole = Play(base.toStdString(), change.toStdString(), rules.toStdString(), true);
    QCOMPARE(around.events, whole.events);
    QCOMPARE(around.counts, whole.counts);
    QCOMPARE(around.contents, whole.contents);
    // The case does what it says: these went first, in this order (handlers' own removals
    // included).
    Strings first;
    int sweeps = 0;
    for (const std::string& e : around.events) {
        sweeps += e == "sweep" ? 1 : 0;
        if (sweeps == 1 && e.rfind("removed ", 0) == 0)
            first.push_back(e.substr(8));
    }
    const auto joined = [](const Strings& names) {
        std::string text;
        for (const std::string& n : names)
            text += n + " ";
        return QString::fromStdString(text);
    };
    QCOMPARE(joined(first), joined(removed));
}

void tst_SweepChanges::randomChangesMatchTheWholeWalk_data()
{
    QTest::addColumn<int>("items");
    QTest::addColumn<int>("links");
    QTest::newRow("sparse") << 40 << 45;
    QTest::newRow("dense") << 40 << 120;
    QTest::newRow("bigger") << 150 << 260;
}

void tst_SweepChanges::randomChangesMatchTheWholeWalk()
{
    QFETCH(int, items);
    QFETCH(int, links);
    for (unsigned seed = 1; seed <= 60; ++seed) {
        Script script(seed, items);
        const std::string base = script.Base(links);
        const std::string change = script.Changes(6);
        std::string rules;
        for (int k = 0; k < 4; ++k) {
            rules += script.Name() + ": " + script.Link(script.rng() % 2 ? '-' : '/') +
                     (script.rng() % 3 ? "" : " !" + script.Name()) + ";";
        }
        const Outcome around = Play(base, change, rules, false);
        const Outcome whole = Play(base, change, rules, true);
        const QByteArray what =
            QByteArray::fromStdString("seed " + std::to_string(seed) + "\nbase " + base +
                                      "\nchange " + change + "\nrules " + rules);
        if (around.events != whole.events || around.counts != whole.counts ||
            around.contents != whole.contents)
            QFAIL(what.constData());
    }
}

void tst_SweepChanges::slicedSweepWithChangesBetween_data()
{
    QTest::addColumn<bool>("wholeWalk");
    QTest::addColumn<int>("items");
    QTest::addColumn<int>("links");
    QTest::addColumn<bool>("linksBetween"); // links can take up garbage a sweep in one go took
    QTest::newRow("around what changed") << false << 40 << 60 << false;
    QTest::newRow("around, links between") << false << 40 << 120 << true;
    QTest::newRow("whole walk") << true << 40 << 60 << false;
    QTest::newRow("whole walk, links between") << true << 150 << 260 << true;
}

void tst_SweepChanges::slicedSweepWithChangesBetween()
{
    // A sweep in slices of a step, with a change between each two; then sweeps in one go until
    // one removes nothing. No item it removes is reachable then, it leaves no garbage behind,
    // and without links between it leaves the store sweeps in one go after the same changes do.
    QFETCH(bool, wholeWalk);
    QFETCH(int, items);
    QFETCH(int, links);
    QFETCH(bool, linksBetween);
    const TurnBudget::StepsForTesting oneStep(1);
    int interleaved = 0;
    for (unsigned seed = 1; seed <= 60; ++seed) {
        Script script(seed, items);
        const std::string base = script.Base(links);
        const std::string change = script.Changes(6);
        Strings between;
        for (int k = 0; k < 12; ++k)
            between.push_back(linksBetween ? script.Changes(1) : script.Cut());
        Strings contents[2];
        for (const bool sliced : {false, true}) {
            StoreGuard store;
            World world;
            Run(world, base);
            d.RemoveDisconnectedItems();
            Run(world, change);
            if (wholeWalk)
                d.SweepEverythingNext();
            if (sliced)
                d.SweepInSlices();
            Watcher check(world);
            for (const std::string& step : between) {
                interleaved += d.IsSweeping() ? 1 : 0;
                Run(world, step);
                check.checking = true;
                QCoreApplication::processEvents();
                check.checking = false;
            }
            check.checking = true;
            for (int k = 0; k < 8 && d.RemoveDisconnectedItems() > 0; ++k) {
            }
            contents[sliced] = Contents();
            d.SweepEverythingNext();
            QVERIFY2(check.reached.empty() && d.RemoveDisconnectedItems() == 0,
                     ("seed " + std::to_string(seed) + ": removed " + check.reached).c_str());
        }
        if (!linksBetween && contents[0] != contents[1])
            QFAIL(QByteArray::fromStdString("seed " + std::to_string(seed)).constData());
    }
    QVERIFY(interleaved > 60 * 3);
}

void tst_SweepChanges::looksOnlyAroundWhatChanged()
{
    StoreGuard store;
    World world;
    // A share-like store: a root over 2,000 groups of a node, ten nodes and their values.
    ItemPtr root = world.Get("r0");
    for (int g = 0; g < 2000; ++g) {
        ItemPtr folder = world.Get("n" + std::to_string(g));
        root += folder;
        for (int f = 0; f < 10; ++f) {
            ItemPtr file = world.Get("n" + std::to_string(g) + "." + std::to_string(f));
            folder += file;
            file += world.Get("v" + std::to_string(f));
        }
    }
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
    QCOMPARE(d.LastSweepLookedAt(), d.ItemCount());
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
    const size_t all = d.ItemCount();

    // One file cut from its folder: it goes, and the sweep looks at a handful of items.
    world.Has("n7") -= world.Has("n7.3");
    QCOMPARE(d.RemoveDisconnectedItems(), 1);
    QVERIFY2(d.LastSweepLookedAt() < 20,
             QByteArray::number(qulonglong(d.LastSweepLookedAt())).constData());
    // Its removal cut it from its value: the next sweep looks at that value, and no more.
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
    QVERIFY(d.LastSweepLookedAt() < 20);
    QCOMPARE(d.ItemCount(), all - 1);

    // A folder cut from the root takes its files; the shared values stay.
    root -= world.Has("n9");
    QCOMPARE(d.RemoveDisconnectedItems(), 11);
    QVERIFY(d.LastSweepLookedAt() < 40);
    QVERIFY(world.Has("v3"));
}

void tst_SweepChanges::ownedRelationDeclaredLaterFindsOrphans()
{
    // An owning relation declared after items exist makes orphans of items nobody touched.
    StoreGuard store;
    World world;
    Run(world, "r1-n1 n1-v1");
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
    Type* keeper = d.NewType("k", RootPrimacy, false, true, ValueKind::Utf8);
    keeper->RelateToType(world.types['n'], One, Many, true);
    QCOMPARE(d.RemoveDisconnectedItems(), 2);
    QVERIFY(!world.Has("n1"));
    QVERIFY(!world.Has("v1"));
}

QTEST_GUILESS_MAIN(tst_SweepChanges)
#include "tst_sweepchanges.moc"

// The compact containers behind connections, checked against plain ordered sets through the
// sizes where they change form: the words kept inside the Links, the heap array, and the
// chunked lists of very connected items.

#include "store/ItemLinks.h"

#include <QtTest>

#include <map>
#include <random>
#include <set>

namespace {

using Model = std::map<uint32_t, std::set<uint32_t>>;

// Everything the Links tells must match the model, in id order, for types first to first +
// types - 1.
void Check(const storeimpl::Links& links, const Model& model, uint32_t types, uint32_t first = 0)
{
    size_t total = 0;
    std::vector<uint32_t> expectedTypes;
    for (const auto& m : model) {
        if (m.second.empty())
            continue;
        expectedTypes.push_back(m.first);
        total += m.second.size();
    }
    QCOMPARE(links.Total(), total);
    QCOMPARE(links.IsEmpty(), total == 0);
    std::vector<uint32_t> got;
    links.Types(got);
    QCOMPARE(got, expectedTypes);
    for (uint32_t t = first; t < first + types; ++t) {
        auto it = model.find(t);
        const std::vector<uint32_t> ids =
            it == model.end() ? std::vector<uint32_t>()
                              : std::vector<uint32_t>(it->second.begin(), it->second.end());
        QCOMPARE(links.Count(t), ids.size());
        QCOMPARE(links.First(t), ids.empty() ? 0u : ids.front());
        links.Ids(t, got);
        QCOMPARE(got, ids);
        std::vector<uint32_t> walked;
        links.ForEach(t, [&walked](uint32_t id) { walked.push_back(id); });
        QCOMPARE(walked, ids);
    }
}

} // namespace

class tst_ItemLinks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void singlePartnerAndBack();
    void ascendingAndOutOfOrder();
    void growsPastTheSmallArrayAndShrinks();
    void randomChurnMatchesModel_data();
    void randomChurnMatchesModel();
    void idListChunks();
    void lentArrayHoldsLinksUntilOutgrown_data();
    void lentArrayHoldsLinksUntilOutgrown();
    void reservedRoomIsWhatTheLinksTake_data();
    void reservedRoomIsWhatTheLinksTake();
};

void tst_ItemLinks::singlePartnerAndBack()
{
    storeimpl::Links links;
    Model model;
    Check(links, model, 3);
    QCOMPARE(links.MemoryUse(), size_t(0));
    QVERIFY(links.Insert(1, 7));
    QVERIFY(!links.Insert(1, 7));
    model[1].insert(7);
    Check(links, model, 3);
    QVERIFY(links.Contains(1, 7));
    QVERIFY(!links.Contains(0, 7));
    QVERIFY(!links.Contains(1, 8));
    // One partner is kept without an allocation of its own.
    QCOMPARE(links.MemoryUse(), size_t(0));
    // A second group no longer fits inside.
    QVERIFY(links.Insert(0, 9));
    model[0].insert(9);
    Check(links, model, 3);
    QVERIFY(links.MemoryUse() > 0);
    QVERIFY(!links.Erase(0, 7));
    QVERIFY(!links.Erase(2, 9));
    QVERIFY(links.Erase(0, 9));
    QVERIFY(links.Erase(1, 7));
    model.clear();
    Check(links, model, 3);
    QCOMPARE(links.MemoryUse(), size_t(0));
    // And the emptied Links takes partners again.
    QVERIFY(links.Insert(2, 1));
    model[2].insert(1);
    Check(links, model, 3);
}

void tst_ItemLinks::ascendingAndOutOfOrder()
{
    // Appends at the end of a group and insertions before, between and after other groups.
    storeimpl::Links links;
    Model model;
    const std::vector<std::pair<uint32_t, uint32_t>> steps = {
        {3, 10}, {3, 20}, {3, 30}, {1, 5},  {5, 1}, {3, 15}, {3, 5},
        {1, 4},  {1, 6},  {5, 9},  {3, 31}, {0, 2}, {3, 30}, {1, 5}};
    for (const auto& s : steps) {
        const bool added = model[s.first].insert(s.second).second;
        QCOMPARE(links.Insert(s.first, s.second), added);
        Check(links, model, 6);
    }
    for (const auto& s : steps) {
        const bool erased = model[s.first].erase(s.second) > 0;
        QCOMPARE(links.Erase(s.first, s.second), erased);
        Check(links, model, 6);
    }
}

void tst_ItemLinks::growsPastTheSmallArrayAndShrinks()
{
    // Enough partners of two types to leave the single array for per-type lists, in descending
    // order on one type so that every insertion lands in front.
    storeimpl::Links links;
    Model model;
    const uint32_t n = storeimpl::Links::kSmallWords;
    for (uint32_t k = 0; k < n; ++k) {
        QVERIFY(links.Insert(2, 1 + 2 * k));
        QVERIFY(links.Insert(4, 3 * n - k));
        model[2].insert(1 + 2 * k);
        model[4].insert(3 * n - k);
    }
    Check(links, model, 6);
    QVERIFY(!links.Insert(4, 3 * n));
    QVERIFY(links.Contains(4, 2 * n + 1));
    QVERIFY(!links.Contains(4, 2 * n));
    for (uint32_t k = 0; k < n; k += 2) {
        QVERIFY(links.Erase(2, 1 + 2 * k));
        model[2].erase(1 + 2 * k);
    }
    Check(links, model, 6);
    for (uint32_t id : std::set<uint32_t>(model[4]))
        QVERIFY(links.Erase(4, id));
    model.erase(4);
    Check(links, model, 6);
}

void tst_ItemLinks::randomChurnMatchesModel_data()
{
    QTest::addColumn<int>("types");
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("firstType");
    QTest::newRow("few partners") << 3 << 6 << 400 << 0;
    QTest::newRow("around the array's limit") << 4 << 700 << 6000 << 0;
    QTest::newRow("one type, many partners") << 1 << 5000 << 12000 << 0;
    // A group's header keeps the type beside the count: the highest types must not spill.
    QTest::newRow("the highest types") << 4 << 700 << 6000 << int(storeimpl::Links::kMaxType) - 4;
}

void tst_ItemLinks::randomChurnMatchesModel()
{
    QFETCH(int, types);
    QFETCH(int, range);
    QFETCH(int, steps);
    QFETCH(int, firstType);
    std::mt19937 rng(4242);
    storeimpl::Links links;
    Model model;
    const uint32_t first = static_cast<uint32_t>(firstType);
    for (int k = 0; k < steps; ++k) {
        const uint32_t t = first + rng() % static_cast<uint32_t>(types);
        const uint32_t id = 1 + rng() % static_cast<uint32_t>(range);
        // Insertions win two to one, so the set grows through every form, then shrinks.
        const bool insert = k < steps / 2 ? rng() % 3 != 0 : rng() % 3 == 0;
        if (insert) {
            QCOMPARE(links.Insert(t, id), model[t].insert(id).second);
        } else {
            QCOMPARE(links.Erase(t, id), model[t].erase(id) > 0);
        }
        if (k % 97 == 0)
            Check(links, model, static_cast<uint32_t>(types), first);
        QCOMPARE(links.Contains(t, id), model[t].count(id) > 0);
    }
    Check(links, model, static_cast<uint32_t>(types), first);
}

void tst_ItemLinks::idListChunks()
{
    // Ascending ids fill whole chunks; ids from the middle split them; erasing folds thin
    // neighbours. The list's answers stay those of a sorted set throughout.
    storeimpl::IdList list;
    std::set<uint32_t> model;
    const uint32_t n = 5 * storeimpl::IdList::kChunk;
    for (uint32_t id = 2; id <= 2 * n; id += 2) {
        QVERIFY(list.Insert(id));
        model.insert(id);
    }
    QVERIFY(!list.Insert(2 * n));
    for (uint32_t id = 3; id < n; id += 4) {
        QVERIFY(list.Insert(id));
        model.insert(id);
    }
    QVERIFY(list.Insert(1));
    model.insert(1);
    auto check = [&] {
        QCOMPARE(list.Size(), model.size());
        std::vector<uint32_t> got;
        list.AppendTo(got);
        QCOMPARE(got, std::vector<uint32_t>(model.begin(), model.end()));
        QCOMPARE(list.First(), model.empty() ? 0u : *model.begin());
    };
    check();
    std::mt19937 rng(7);
    std::vector<uint32_t> order(model.begin(), model.end());
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t k = 0; k < order.size(); ++k) {
        QVERIFY(list.Contains(order[k]));
        QVERIFY(list.Erase(order[k]));
        QVERIFY(!list.Erase(order[k]));
        model.erase(order[k]);
        if (k % 211 == 0)
            check();
    }
    check();
    QVERIFY(list.IsEmpty());
}

void tst_ItemLinks::lentArrayHoldsLinksUntilOutgrown_data()
{
    // before: partners inserted before the array is lent; cap: its words; after: partners
    // inserted then; erased: of all those, erased last, newest first.
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("cap");
    QTest::addColumn<int>("after");
    QTest::addColumn<int>("erased");
    QTest::addColumn<bool>("taken");
    QTest::newRow("empty, filled to the last word") << 0 << 12 << 4 << 0 << true;
    QTest::newRow("inline partners move in") << 1 << 9 << 2 << 0 << true;
    QTest::newRow("outgrown") << 2 << 8 << 12 << 0 << true;
    QTest::newRow("outgrown, then thinned") << 0 << 6 << 40 << 38 << true;
    QTest::newRow("emptied while lent") << 0 << 8 << 2 << 2 << true;
    QTest::newRow("past the single array") << 0 << 12 << 1200 << 600 << true;
    QTest::newRow("no larger than the array in use") << 9 << 12 << 3 << 0 << false;
    QTest::newRow("larger than any single array")
        << 0 << int(storeimpl::Links::kSmallWords) + 1 << 3 << 0 << false;
}

void tst_ItemLinks::lentArrayHoldsLinksUntilOutgrown()
{
    QFETCH(int, before);
    QFETCH(int, cap);
    QFETCH(int, after);
    QFETCH(int, erased);
    QFETCH(bool, taken);
    constexpr uint32_t kTypes = 3;
    constexpr uint32_t kUntouched = 0xA5A5A5A5;
    storeimpl::Links links;
    Model model;
    std::vector<std::pair<uint32_t, uint32_t>> inserted;
    auto insert = [&](int count) {
        for (int k = 0; k < count; ++k) {
            const uint32_t t = uint32_t(inserted.size()) % kTypes;
            const uint32_t id = 1 + uint32_t(inserted.size()) * 7 % 5003;
            QVERIFY(links.Insert(t, id));
            model[t].insert(id);
            inserted.emplace_back(t, id);
        }
    };
    insert(before);
    const size_t usedBefore = links.MemoryUse();
    // The lender owns the array; the links must never free it, and once they have left it,
    // never write to it again.
    std::vector<uint32_t> lender(size_t(cap), kUntouched);
    links.Lend(lender.data(), uint32_t(cap));
    Check(links, model, kTypes);
    QCOMPARE(links.MemoryUse(), taken ? size_t(cap) * 4 : usedBefore);
    if (!taken)
        QCOMPARE(lender, std::vector<uint32_t>(size_t(cap), kUntouched));
    insert(after);
    Check(links, model, kTypes);
    for (int k = 0; k < erased; ++k) {
        const auto last = inserted.back();
        inserted.pop_back();
        QVERIFY(links.Erase(last.first, last.second));
        model[last.first].erase(last.second);
    }
    Check(links, model, kTypes);
    if (links.MemoryUse() != size_t(cap) * 4) {
        const std::vector<uint32_t> left = lender;
        insert(20);
        QVERIFY(links.Erase(inserted.front().first, inserted.front().second));
        model[inserted.front().first].erase(inserted.front().second);
        Check(links, model, kTypes);
        QCOMPARE(lender, left);
    }
}

void tst_ItemLinks::reservedRoomIsWhatTheLinksTake_data()
{
    // before: partners of type 1 already there, inline or in an array; lent: words of an array
    // lent first; type: of the partners to come, count of them.
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("lent");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::newRow("a new group, from inline") << 1 << 0 << 2 << 6;
    QTest::newRow("a new group, from an array") << 5 << 0 << 2 << 6;
    QTest::newRow("the same group") << 5 << 0 << 1 << 9;
    QTest::newRow("out of a lent array too small") << 5 << 8 << 2 << 3;
    QTest::newRow("into a lent array with room") << 5 << 40 << 2 << 3;
}

void tst_ItemLinks::reservedRoomIsWhatTheLinksTake()
{
    // Room reserved for partners about to come is exactly what they take: a share's million
    // files each get their words linked so, and room to spare on each adds up. A lent array
    // left behind is not the measure of the new one.
    QFETCH(int, before);
    QFETCH(int, lent);
    QFETCH(int, type);
    QFETCH(int, count);
    storeimpl::Links links;
    Model model;
    std::vector<uint32_t> lentWords(size_t(lent), 0);
    if (lent > 0)
        links.Lend(lentWords.data(), uint32_t(lent));
    for (int k = 0; k < before; ++k) {
        QVERIFY(links.Insert(1, uint32_t(10 + k)));
        model[1].insert(uint32_t(10 + k));
    }
    links.ReservePartners(uint32_t(type), uint32_t(count));
    for (int k = 0; k < count; ++k) {
        QVERIFY(links.Insert(uint32_t(type), uint32_t(100 + k)));
        model[uint32_t(type)].insert(uint32_t(100 + k));
    }
    Check(links, model, 3);
    // A lent array with room enough keeps them; any other is as big as they take.
    const size_t room = lent > int(links.UsedWords()) ? size_t(lent) : links.UsedWords();
    QCOMPARE(links.MemoryUse(), room * sizeof(uint32_t));
    if (room > links.UsedWords())
        return;
    // One more goes past the room, and the array grows with room to spare again.
    QVERIFY(links.Insert(0, 1));
    QVERIFY(links.MemoryUse() > size_t(links.UsedWords()) * sizeof(uint32_t));
}

QTEST_APPLESS_MAIN(tst_ItemLinks)
#include "tst_itemlinks.moc"

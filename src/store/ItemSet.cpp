#include "store/Data.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <utility>

namespace {

using Entries = std::vector<ItemSet::Entry>;

// Whether a member is still the item in its slot of the store: a member removed since the set
// was made is not, even when a newer item took its id.
bool IsLive(const ItemSet::Entry& e)
{
    return d.ItemById(e.id) == e.item;
}

Entries::const_iterator FindId(const Entries& entries, uint32_t id)
{
    return std::lower_bound(entries.begin(), entries.end(), id,
                            [](const ItemSet::Entry& e, uint32_t v) { return e.id < v; });
}

template <class Key> ItemList SortByKeys(std::vector<std::pair<Key, Item*>>& keyed, bool ascending)
{
    // Equal keys keep id order ascending; descending is the exact reverse of ascending.
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    ItemList out;
    out.reserve(keyed.size());
    for (const auto& k : keyed)
        out.push_back(k.second);
    if (!ascending)
        std::reverse(out.begin(), out.end());
    return out;
}

// Tells which ids of live items are members of a set, for many ids in a row: through a bitmap
// over the set's ids when building it costs no more than a few lookups' worth, so that a walk
// over a million partners stays linear; by a binary search over the ids otherwise, so that a
// few lookups in a big set never pay for the whole set.
class Membership
{
public:
    Membership(const Entries& entries, size_t lookups) : entries_(entries)
    {
        const size_t words = entries.empty() ? 0 : entries.back().id / 64 + 1;
        if (words + entries.size() > 4 * lookups)
            return;
        bits_.assign(words, 0);
        for (const ItemSet::Entry& e : entries) {
            if (IsLive(e))
                bits_[e.id / 64] |= uint64_t(1) << (e.id % 64);
        }
    }

    bool IsBitmap() const { return !bits_.empty(); }

    // The id must be that of an item in the store: a member kept under that id is then that
    // very item if it is live.
    bool Contains(uint32_t id) const
    {
        if (IsBitmap())
            return id / 64 < bits_.size() && (bits_[id / 64] >> (id % 64) & 1);
        auto it = FindId(entries_, id);
        return it != entries_.end() && it->id == id && IsLive(*it);
    }

    // As Contains, but true only the first time an id is asked for, when a bitmap is used.
    bool Take(uint32_t id)
    {
        if (!Contains(id))
            return false;
        if (IsBitmap())
            bits_[id / 64] &= ~(uint64_t(1) << (id % 64));
        return true;
    }

private:
    const Entries& entries_;
    std::vector<uint64_t> bits_;
};

} // namespace

ItemSet::ItemSet(Item* item)
{
    if (item)
        entries_.push_back(Entry{item->id_, item});
}

bool ItemSet::Contains(const Item* item) const
{
    if (!item)
        return false;
    auto it = FindId(entries_, item->id_);
    return it != entries_.end() && it->item == item;
}

bool ItemSet::Insert(Item* item)
{
    if (!item)
        return false;
    const uint32_t id = item->id_;
    if (entries_.empty() || entries_.back().id < id) {
        entries_.push_back(Entry{id, item});
        return true;
    }
    auto it = entries_.begin() + (FindId(entries_, id) - entries_.cbegin());
    if (it != entries_.end() && it->id == id) {
        if (it->item == item)
            return false;
        // The id's earlier item was removed since it was put in: the new one takes its place.
        it->item = item;
        return true;
    }
    entries_.insert(it, Entry{id, item});
    return true;
}

bool ItemSet::Erase(Item* item)
{
    if (!item)
        return false;
    auto it = FindId(entries_, item->id_);
    if (it == entries_.end() || it->item != item)
        return false;
    entries_.erase(it);
    return true;
}

bool ItemSet::operator==(const ItemSet& other) const
{
    return std::equal(
        entries_.begin(), entries_.end(), other.entries_.begin(), other.entries_.end(),
        [](const Entry& a, const Entry& b) { return a.id == b.id && a.item == b.item; });
}

void ItemSet::AssignIds(std::vector<uint32_t>& ids)
{
    if (!std::is_sorted(ids.begin(), ids.end()))
        std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    entries_.clear();
    entries_.reserve(ids.size());
    for (uint32_t id : ids)
        entries_.push_back(Entry{id, d.items_[id]});
}

template <class Keep> ItemSet ItemSet::Filter(Keep keep) const
{
    // Positions first, so that the result is allocated once at its size.
    std::vector<uint32_t> kept;
    kept.reserve(entries_.size());
    for (size_t k = 0; k < entries_.size(); ++k) {
        if (IsLive(entries_[k]) && keep(entries_[k]))
            kept.push_back(static_cast<uint32_t>(k));
    }
    ItemSet out;
    out.entries_.reserve(kept.size());
    for (uint32_t k : kept)
        out.entries_.push_back(entries_[k]);
    return out;
}

namespace {

Entries Union(const Entries& a, const Entries& b)
{
    Entries out;
    out.reserve(a.size() + b.size());
    auto x = a.begin();
    auto y = b.begin();
    while (x != a.end() || y != b.end()) {
        if (y == b.end() || (x != a.end() && x->id < y->id)) {
            if (IsLive(*x))
                out.push_back(*x);
            ++x;
        } else if (x == a.end() || y->id < x->id) {
            if (IsLive(*y))
                out.push_back(*y);
            ++y;
        } else {
            if (IsLive(*x))
                out.push_back(*x);
            else if (IsLive(*y))
                out.push_back(*y);
            ++x;
            ++y;
        }
    }
    return out;
}

} // namespace

void ItemSet::Add(const ItemSet& other)
{
    Entries merged = Union(entries_, other.entries_);
    entries_.swap(merged);
}

ItemSet ItemSet::operator+(const ItemSet& other) const
{
    ItemSet out;
    out.entries_ = Union(entries_, other.entries_);
    return out;
}

ItemSet ItemSet::Common(const ItemSet& other) const
{
    auto at = other.entries_.begin();
    return Filter([&](const Entry& e) {
        while (at != other.entries_.end() && at->id < e.id)
            ++at;
        return at != other.entries_.end() && at->id == e.id && at->item == e.item;
    });
}

ItemSet ItemSet::Connected(const ItemSet& other) const
{
    // Walk the smaller side and look across through each of its items' partners.
    if (entries_.empty() || other.entries_.empty())
        return ItemSet();
    const bool walkThis = entries_.size() <= other.entries_.size();
    const Entries& walked = walkThis ? entries_ : other.entries_;
    const Entries& across = walkThis ? other.entries_ : entries_;
    size_t lookups = 0;
    for (const Entry& e : walked) {
        if (IsLive(e))
            lookups += e.item->links_.Total();
    }
    Membership members(across, lookups);
    if (walkThis) {
        return Filter([&](const Entry& e) {
            return e.item->links_.AnyLink([&](uint32_t id) { return members.Contains(id); });
        });
    }
    // Members of this set met through the other set's partners, in the order met, then sorted
    // once. With a bitmap each is taken once; the search may meet one several times.
    std::vector<uint32_t> met;
    met.reserve(std::min(lookups, across.size()));
    for (const Entry& e : walked) {
        if (!IsLive(e))
            continue;
        e.item->links_.AnyLink([&](uint32_t id) {
            if (members.Take(id))
                met.push_back(id);
            return false;
        });
    }
    ItemSet out;
    out.AssignIds(met);
    return out;
}

ItemSet ItemSet::NotConnected(const ItemSet& other) const
{
    const ItemSet connected = Connected(other);
    auto at = connected.entries_.begin();
    return Filter([&](const Entry& e) {
        while (at != connected.entries_.end() && at->id < e.id)
            ++at;
        return at == connected.entries_.end() || at->id != e.id;
    });
}

ItemSet ItemSet::Connected(const char* typeName) const
{
    const Type* t = d.GetType(typeName);
    return Filter([t](const Entry& e) { return e.item->IsConnected(t); });
}

ItemSet ItemSet::NotConnected(const char* typeName) const
{
    const Type* t = d.GetType(typeName);
    return Filter([t](const Entry& e) { return !e.item->IsConnected(t); });
}

ItemSet ItemSet::Connected(const char* typeName, const std::string& value) const
{
    return Connected(d.GetType(typeName)->HasItem(value));
}

ItemSet ItemSet::NotConnected(const char* typeName, const std::string& value) const
{
    return NotConnected(d.GetType(typeName)->HasItem(value));
}

ItemSet ItemSet::Connected(ItemPtr item) const
{
    if (!item)
        return ItemSet();
    return Filter([&item](const Entry& e) { return e.item->IsConnected(item.Get()); });
}

ItemSet ItemSet::NotConnected(ItemPtr item) const
{
    // No item to be connected to gives nothing, not everything.
    if (!item)
        return ItemSet();
    return Filter([&item](const Entry& e) { return !e.item->IsConnected(item.Get()); });
}

ItemSet ItemSet::GetItems(const char* typeName) const
{
    // Every member's partners are gathered into one list, which is sorted once: merging each
    // member's partners into the result so far would copy the result once per member.
    ItemSet out;
    if (entries_.empty())
        return out;
    const Type* t = d.GetType(typeName);
    const Type* related = nullptr;
    size_t total = 0;
    for (const Entry& e : entries_) {
        if (!IsLive(e))
            continue;
        if (e.item->type_ != related) {
            e.item->type_->GetRelation(t); // NotRelatedException for a member of another type
            related = e.item->type_;
        }
        total += e.item->links_.Count(t->id_);
    }
    std::vector<uint32_t> ids;
    ids.reserve(total);
    for (const Entry& e : entries_) {
        if (IsLive(e))
            e.item->links_.ForEach(t->id_, [&ids](uint32_t id) { ids.push_back(id); });
    }
    out.AssignIds(ids);
    return out;
}

void ItemSet::Disconnect(const char* typeName)
{
    ForEachLiveMember([typeName](Item* member) { member->Disconnect(typeName); });
}

void ItemSet::Remove()
{
    ForEachLiveMember([](Item* member) { member->Remove(); });
}

// Walks a copy of the members: a handler run by one member may remove a later member, whose
// slot then no longer holds it and is skipped, or change this very set.
void ItemSet::ForEachLiveMember(const std::function<void(Item*)>& action) const
{
    if (entries_.empty())
        return;
    const Entries members(entries_);
    Data::Batch batch(&d);
    for (const Entry& e : members) {
        if (IsLive(e))
            action(e.item);
    }
}

ItemSet::operator ItemPtr() const
{
    if (entries_.size() > 1)
        Data::CheckFailed("a set of several items used as one item");
    for (const Entry& e : entries_) {
        if (IsLive(e))
            return e.item;
    }
    return nullptr;
}

ItemList ItemSet::SortNumeric(bool ascending) const
{
    std::vector<std::pair<qint64, Item*>> keyed;
    keyed.reserve(entries_.size());
    for (const Entry& e : entries_) {
        if (IsLive(e))
            keyed.emplace_back(std::strtoll(e.item->AsCStr(), nullptr, 10), e.item);
    }
    return SortByKeys(keyed, ascending);
}

ItemList ItemSet::SortAlphabetic(bool ascending) const
{
    std::vector<std::pair<std::string, Item*>> keyed;
    keyed.reserve(entries_.size());
    for (const Entry& e : entries_) {
        if (IsLive(e))
            keyed.emplace_back(e.item->AsString(), e.item);
    }
    return SortByKeys(keyed, ascending);
}

ItemList ItemSet::SortNumericBy(const char* typeName, bool ascending) const
{
    const Type* t = d.GetType(typeName);
    std::vector<std::pair<qint64, Item*>> keyed;
    for (const Entry& e : entries_) {
        if (!IsLive(e))
            continue;
        if (Item* partner = d.ItemById(e.item->links_.First(t->Id())))
            keyed.emplace_back(std::strtoll(partner->AsCStr(), nullptr, 10), e.item);
    }
    return SortByKeys(keyed, ascending);
}

ItemList ItemSet::SortAlphabeticBy(const char* typeName, bool ascending) const
{
    const Type* t = d.GetType(typeName);
    std::vector<std::pair<std::string, Item*>> keyed;
    for (const Entry& e : entries_) {
        if (!IsLive(e))
            continue;
        if (Item* partner = d.ItemById(e.item->links_.First(t->Id())))
            keyed.emplace_back(partner->AsString(), e.item);
    }
    return SortByKeys(keyed, ascending);
}

// ---------------------------------------------------------------------------------------------
// Queries on the store

ItemSet Data::GetItems(const ItemSet& set, const char* typeName) const
{
    return set.GetItems(typeName);
}

ItemSet Data::GetItemSubset(const ItemSet& set, const char* typeName) const
{
    const Type* t = GetType(typeName);
    ItemSet out;
    if (set.IsEmpty())
        return out;
    // Start from the member with the fewest partners of the type, so the cost is that of the
    // rarest member whatever the size of the others.
    std::vector<std::pair<size_t, Item*>> members;
    members.reserve(set.Size());
    for (const ItemSet::Entry& e : set.entries_) {
        if (!IsLive(e))
            continue;
        const size_t n = e.item->links_.Count(t->Id());
        if (n == 0)
            return out;
        members.emplace_back(n, e.item);
    }
    if (members.empty())
        return out;
    std::stable_sort(members.begin(), members.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<uint32_t> candidates;
    members.front().second->links_.Ids(t->Id(), candidates);
    for (size_t k = 1; k < members.size() && !candidates.empty(); ++k) {
        const storeimpl::Links& links = members[k].second->links_;
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](uint32_t id) { return !links.Contains(t->Id(), id); }),
                         candidates.end());
    }
    out.entries_.reserve(candidates.size());
    for (uint32_t id : candidates)
        out.entries_.push_back(ItemSet::Entry{id, items_[id]});
    return out;
}

ItemSet Data::GetItems(ItemPtr a, ItemPtr b, const char* typeName) const
{
    // Nothing is connected to a missing item: the other one's partners alone would be wrong.
    if (!a || !b)
        return ItemSet();
    ItemSet set;
    set.Insert(a.Get());
    set.Insert(b.Get());
    return GetItemSubset(set, typeName);
}

ItemPtr Data::GetItem(const ItemSet& set, const char* typeName) const
{
    return ItemPtr(GetItemSubset(set, typeName));
}

ItemPtr Data::GetItem(ItemPtr a, ItemPtr b, const char* typeName) const
{
    return ItemPtr(GetItems(a, b, typeName));
}

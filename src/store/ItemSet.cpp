#include "store/Data.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <utility>

namespace {

ItemList::const_iterator Find(const ItemList& items, const Item* item)
{
    return std::lower_bound(items.begin(), items.end(), item, ItemOrder());
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

} // namespace

ItemSet::ItemSet(Item* item)
{
    if (item)
        items_.push_back(item);
}

bool ItemSet::Contains(const Item* item) const
{
    if (!item)
        return false;
    auto it = Find(items_, item);
    return it != items_.end() && *it == item;
}

bool ItemSet::Insert(Item* item)
{
    if (!item)
        return false;
    if (items_.empty() || items_.back()->Id() < item->Id()) {
        items_.push_back(item);
        return true;
    }
    auto it = Find(items_, item);
    if (it != items_.end() && *it == item)
        return false;
    items_.insert(it, item);
    return true;
}

bool ItemSet::Erase(Item* item)
{
    auto it = Find(items_, item);
    if (it == items_.end() || *it != item)
        return false;
    items_.erase(it);
    return true;
}

void ItemSet::Add(const ItemSet& other)
{
    ItemList merged;
    merged.reserve(items_.size() + other.items_.size());
    std::set_union(items_.begin(), items_.end(), other.items_.begin(), other.items_.end(),
                   std::back_inserter(merged), ItemOrder());
    items_.swap(merged);
}

ItemSet ItemSet::operator+(const ItemSet& other) const
{
    ItemSet out(*this);
    out.Add(other);
    return out;
}

ItemSet ItemSet::Common(const ItemSet& other) const
{
    ItemSet out;
    std::set_intersection(items_.begin(), items_.end(), other.items_.begin(), other.items_.end(),
                          std::back_inserter(out.items_), ItemOrder());
    return out;
}

ItemSet ItemSet::Connected(const ItemSet& other) const
{
    // Walk the smaller side and look across through each of its items' partners.
    ItemSet out;
    if (items_.empty() || other.items_.empty())
        return out;
    const bool walkThis = items_.size() <= other.items_.size();
    const ItemSet& walked = walkThis ? *this : other;
    const ItemSet& across = walkThis ? other : *this;
    Data* data = items_.front()->GetType()->GetOwner();
    std::vector<uint32_t> types;
    for (Item* x : walked.items_) {
        x->links_.Types(types);
        bool hit = false;
        for (uint32_t t : types) {
            x->links_.ForEach(t, [&](uint32_t id) {
                Item* partner = data->ItemById(id);
                if (!across.Contains(partner))
                    return;
                hit = true;
                if (!walkThis)
                    out.Insert(partner);
            });
            if (hit && walkThis)
                break;
        }
        if (hit && walkThis)
            out.items_.push_back(x);
    }
    return out;
}

ItemSet ItemSet::NotConnected(const ItemSet& other) const
{
    const ItemSet connected = Connected(other);
    ItemSet out;
    std::set_difference(items_.begin(), items_.end(), connected.items_.begin(),
                        connected.items_.end(), std::back_inserter(out.items_), ItemOrder());
    return out;
}

ItemSet ItemSet::Connected(const char* typeName) const
{
    const Type* t = d.GetType(typeName);
    ItemSet out;
    for (Item* member : items_) {
        if (member->IsConnected(t))
            out.items_.push_back(member);
    }
    return out;
}

ItemSet ItemSet::NotConnected(const char* typeName) const
{
    const Type* t = d.GetType(typeName);
    ItemSet out;
    for (Item* member : items_) {
        if (!member->IsConnected(t))
            out.items_.push_back(member);
    }
    return out;
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
    ItemSet out;
    if (!item)
        return out;
    for (Item* member : items_) {
        if (member->IsConnected(item.Get()))
            out.items_.push_back(member);
    }
    return out;
}

ItemSet ItemSet::NotConnected(ItemPtr item) const
{
    // No item to be connected to gives nothing, not everything.
    ItemSet out;
    if (!item)
        return out;
    for (Item* member : items_) {
        if (!member->IsConnected(item.Get()))
            out.items_.push_back(member);
    }
    return out;
}

ItemSet ItemSet::GetItems(const char* typeName) const
{
    ItemSet out;
    ItemSet partners;
    for (Item* member : items_) {
        partners.Clear();
        member->GetItems(typeName, partners);
        out.Add(partners);
    }
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

// Walks the members by id: a handler run by one member may remove a later member, whose id then
// names nothing and is skipped.
void ItemSet::ForEachLiveMember(const std::function<void(Item*)>& action) const
{
    if (items_.empty())
        return;
    Data* data = items_.front()->GetType()->GetOwner();
    std::vector<uint32_t> ids;
    ids.reserve(items_.size());
    for (const Item* member : items_)
        ids.push_back(member->Id());
    Data::Batch batch(data);
    for (uint32_t id : ids) {
        if (Item* member = data->ItemById(id))
            action(member);
    }
}

ItemSet::operator ItemPtr() const
{
    if (items_.size() > 1)
        Data::CheckFailed("a set of several items used as one item");
    return items_.empty() ? nullptr : items_.front();
}

ItemList ItemSet::SortNumeric(bool ascending) const
{
    std::vector<std::pair<qint64, Item*>> keyed;
    keyed.reserve(items_.size());
    for (Item* member : items_)
        keyed.emplace_back(std::strtoll(member->AsCStr(), nullptr, 10), member);
    return SortByKeys(keyed, ascending);
}

ItemList ItemSet::SortAlphabetic(bool ascending) const
{
    std::vector<std::pair<std::string, Item*>> keyed;
    keyed.reserve(items_.size());
    for (Item* member : items_)
        keyed.emplace_back(member->AsString(), member);
    return SortByKeys(keyed, ascending);
}

ItemList ItemSet::SortNumericBy(const char* typeName, bool ascending) const
{
    const Type* t = d.GetType(typeName);
    std::vector<std::pair<qint64, Item*>> keyed;
    for (Item* member : items_) {
        if (Item* partner = d.ItemById(member->links_.First(t->Id())))
            keyed.emplace_back(std::strtoll(partner->AsCStr(), nullptr, 10), member);
    }
    return SortByKeys(keyed, ascending);
}

ItemList ItemSet::SortAlphabeticBy(const char* typeName, bool ascending) const
{
    const Type* t = d.GetType(typeName);
    std::vector<std::pair<std::string, Item*>> keyed;
    for (Item* member : items_) {
        if (Item* partner = d.ItemById(member->links_.First(t->Id())))
            keyed.emplace_back(partner->AsString(), member);
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
    for (Item* member : set) {
        const size_t n = member->links_.Count(t->Id());
        if (n == 0)
            return out;
        members.emplace_back(n, member);
    }
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
    out.items_.reserve(candidates.size());
    for (uint32_t id : candidates)
        out.items_.push_back(items_[id]);
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

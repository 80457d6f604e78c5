#include "engine/StoreCheckpoint.h"

#include "store/Data.h"

#include <algorithm>
#include <unordered_map>

StoreCheckpoint StoreCheckpoint::Take()
{
    std::vector<Item*> items;
    for (Type* type : d.GetTypes()) {
        for (Item* item : type->GetItems())
            items.push_back(item);
    }
    // Ids count up as items are made.
    std::sort(items.begin(), items.end(),
              [](const Item* a, const Item* b) { return a->Id() < b->Id(); });

    StoreCheckpoint checkpoint;
    std::unordered_map<const Item*, size_t> position;
    for (Item* item : items) {
        position[item] = checkpoint.m_items.size();
        checkpoint.m_items.push_back({item->GetType(), item->AsString()});
    }
    ConnectionMap partners;
    for (Item* item : items) {
        item->GetConnectedItems(partners);
        const size_t from = position[item];
        for (const auto& [type, set] : partners) {
            for (Item* partner : set) {
                const size_t to = position[partner];
                if (from < to)
                    checkpoint.m_links.emplace_back(from, to);
            }
        }
    }
    return checkpoint;
}

void StoreCheckpoint::Restore() const
{
    std::vector<ItemPtr> made;
    made.reserve(m_items.size());
    for (const Entry& entry : m_items)
        made.push_back(entry.type->IsNull() ? entry.type->NewItem()
                                            : entry.type->NewItem(Value(entry.value)));
    for (const auto& [from, to] : m_links)
        made[from] += made[to];
}

// The garbage sweep: items of owned types without an owner go first, then whatever no root
// reaches. Marking walks an explicit work list, so a chain as long as the store is big costs
// memory for the list and nothing on the call stack.

#include "store/Data.h"

#include <algorithm>

int Data::RemoveDisconnectedItems()
{
    // Nothing made and nothing disconnected since the last sweep: nothing can have come loose.
    if (!sweepNeeded_)
        return 0;
    sweepNeeded_ = false;
    Batch batch(this);

    // Sort every item into orphans and candidates.
    std::vector<uint32_t> orphans;
    TypeSet owners;
    for (Type* type : types_) {
        if (!type)
            continue;
        owners.clear();
        GetTypeOwningTypes(type, owners);
        type->ids_.ForEach([&](uint32_t id) {
            Item* item = items_[id];
            bool orphan = false;
            for (const Type* owner : owners) {
                if (item->links_.Count(owner->id_) == 0) {
                    orphan = true;
                    break;
                }
            }
            if (orphan) {
                item->flags_ &= ~Item::SweepCandidate;
                orphans.push_back(id);
            } else {
                item->flags_ |= Item::SweepCandidate;
            }
        });
    }
    const size_t known = items_.size();
    int removed = 0;

    // Ids are not reused while the batch runs, so an empty slot means a removal handler got
    // there first and the item is not removed twice.
    std::sort(orphans.begin(), orphans.end());
    for (uint32_t id : orphans) {
        if (Item* item = ItemById(id)) {
            item->Remove();
            ++removed;
        }
    }

    for (Type* type : types_) {
        if (!type || type->primacy_ != RootPrimacy)
            continue;
        std::vector<uint32_t> roots;
        type->ids_.AppendTo(roots);
        for (uint32_t id : roots) {
            if (Item* item = ItemById(id))
                MarkItemConnections(item);
        }
    }

    for (size_t id = 1; id < known; ++id) {
        Item* item = items_[id];
        if (item && (item->flags_ & Item::SweepCandidate)) {
            item->flags_ &= ~Item::SweepCandidate;
            item->Remove();
            ++removed;
        }
    }
    return removed;
}

void Data::MarkItemConnections(Item* start)
{
    std::vector<Item*> work;
    auto reach = [&work](Item* item) {
        if (item->flags_ & Item::SweepCandidate) {
            item->flags_ &= ~Item::SweepCandidate;
            work.push_back(item);
        }
    };
    reach(start);
    std::vector<uint32_t> types;
    while (!work.empty()) {
        Item* item = work.back();
        work.pop_back();
        // Value items are kept, but the walk never goes on out of them.
        if (item->type_->primacy_ == ValuePrimacy)
            continue;
        item->links_.Types(types);
        for (uint32_t t : types) {
            // Roots are entered only as roots, never from another item.
            if (types_[t]->primacy_ == RootPrimacy)
                continue;
            item->links_.ForEach(t, [&](uint32_t id) { reach(items_[id]); });
        }
    }
}

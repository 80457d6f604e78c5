// The garbage sweep: items of owned types without an owner go first, then whatever no root
// reaches. Marking walks an explicit work list, so a chain as long as the store is big costs
// memory for the list and nothing on the call stack.

#include "store/Data.h"

#include <algorithm>

int Data::RemoveDisconnectedItems()
{
    // A removal handler of a running sweep may ask for a sweep (code that removes things and
    // sweeps after itself). The running sweep is walking its own candidates, so the request
    // waits until it ends and is then served, with its removals counted in the running sweep's.
    if (sweeping_) {
        sweepRequested_ = true;
        return 0;
    }
    struct Running
    {
        bool& flag;
        explicit Running(bool& f) : flag(f) { flag = true; }
        ~Running() { flag = false; }
    };
    int removed = 0;
    do {
        sweepRequested_ = false;
        Running running(sweeping_);
        removed += SweepOnce();
    } while (sweepRequested_);
    return removed;
}

int Data::SweepOnce()
{
    // Nothing made and nothing disconnected since the last sweep: nothing can have come loose.
    if (!sweepNeeded_)
        return 0;
    sweepNeeded_ = false;
    Batch batch(this);

    // Sort every item into orphans and candidates. Candidates are marked in a byte per id, so
    // that neither this nor marking touches an item that has no links to follow.
    std::vector<uint8_t>& candidate = sweepCandidates_;
    candidate.assign(items_.size(), 0);
    std::vector<uint32_t> orphans;
    TypeSet owners;
    for (Type* type : types_) {
        if (!type)
            continue;
        owners.clear();
        GetTypeOwningTypes(type, owners);
        if (owners.empty()) {
            type->ids_.ForEach([&](uint32_t id) { candidate[id] = 1; });
            continue;
        }
        type->ids_.ForEach([&](uint32_t id) {
            const Item* item = items_[id];
            bool orphan = false;
            for (const Type* owner : owners) {
                if (item->links_.Count(owner->id_) == 0) {
                    orphan = true;
                    break;
                }
            }
            if (orphan)
                orphans.push_back(id);
            else
                candidate[id] = 1;
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
        if (!candidate[id])
            continue;
        candidate[id] = 0;
        if (Item* item = items_[id]) {
            item->Remove();
            ++removed;
        }
    }
    std::vector<uint8_t>().swap(sweepCandidates_);
    return removed;
}

void Data::MarkItemConnections(Item* start)
{
    std::vector<uint8_t>& candidate = sweepCandidates_;
    auto unmark = [&candidate](uint32_t id) {
        if (id >= candidate.size() || !candidate[id])
            return false;
        candidate[id] = 0;
        return true;
    };
    // Value items are kept, but the walk never goes on out of them: they are unmarked where
    // they are met and never looked at.
    if (!unmark(start->id_) || start->type_->primacy_ == ValuePrimacy)
        return;
    std::vector<Item*> work{start};
    std::vector<uint32_t> types;
    while (!work.empty()) {
        Item* item = work.back();
        work.pop_back();
        item->links_.Types(types);
        for (uint32_t t : types) {
            // Roots are entered only as roots, never from another item.
            const Primacy primacy = types_[t]->primacy_;
            if (primacy == RootPrimacy)
                continue;
            const bool walk = primacy != ValuePrimacy;
            item->links_.ForEach(t, [&](uint32_t id) {
                if (unmark(id) && walk)
                    work.push_back(items_[id]);
            });
        }
    }
}

// The garbage sweep: items of owned types without an owner go first, then whatever no root
// reaches. Walks use explicit work lists, so a chain as long as the store is big costs memory
// for the list and nothing on the call stack.
//
// The first sweep marks from every root. After it only what was made or cut loose can have
// become garbage, so each item is listed as it is made, and both ends of each link as it is cut
// (NoteLoose), and a later sweep looks only around those. Why that removes what marking from
// every root would:
// - An item of an owned type becomes an orphan only by being made or by losing a link: the
//   orphans are among the listed items.
// - Call an item that is neither a root nor a value item walkable, and the walkable items
//   joined to it through walkable items its group. Marking reaches a walkable item exactly when
//   some item of its group is linked to a root, and a value item exactly when it is linked to a
//   root or to a reached walkable item.
// - A sweep leaves every group reached, but for groups holding an item made or cut loose since
//   it began (they are listed). A group with no listed item still holds the link to its root:
//   cutting it would have listed both ends, and the group only grows by new links.
// - So the unreached are found in the groups of the listed items, and among the value items
//   that are listed or linked to a group found cut off.

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

void Data::SweepEverythingNext()
{
    for (uint32_t id : loose_) {
        if (Item* item = ItemById(id))
            item->flags_ &= ~Item::Loose;
    }
    std::vector<uint32_t>().swap(loose_);
    sweepEverything_ = true;
}

int Data::SweepOnce()
{
    // Nothing made and nothing disconnected since the last sweep: nothing can have come loose.
    if (!sweepEverything_ && loose_.empty())
        return 0;
    Batch batch(this);
    // Inside a removal the whole store is walked: the item on its way out is no candidate, and
    // what it holds may hang on it alone, though nothing was cut yet.
    const bool everything = sweepEverything_ || removingNow_ > 0;
    std::vector<uint32_t> changed;
    changed.swap(loose_);
    for (uint32_t id : changed) {
        if (Item* item = ItemById(id))
            item->flags_ &= ~Item::Loose;
    }
    // From here on, what is made or cut loose is listed for the next sweep.
    sweepEverything_ = false;
    int removed = 0;

    sweepLookedAt_ = everything ? itemCount_ : changed.size();
    std::vector<uint32_t> orphans;
    if (everything) {
        FindOrphans(nullptr, orphans);
    } else {
        std::sort(changed.begin(), changed.end());
        changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
        FindOrphans(&changed, orphans);
    }
    // Ids are not reused while the batch runs, so an empty slot means a removal handler got
    // there first and the item is not removed twice.
    for (uint32_t id : orphans) {
        if (Item* item = ItemById(id)) {
            item->Remove();
            ++removed;
        }
    }

    std::vector<uint32_t> unreached;
    // The orphans' handlers may have changed so much that the list was given up.
    if (everything || sweepEverything_) {
        MarkEverything(unreached);
    } else {
        // What the orphans took with them counts too; it stays listed for the next sweep.
        changed.insert(changed.end(), loose_.begin(), loose_.end());
        MarkAround(changed, unreached);
    }
    for (uint32_t id : unreached) {
        if (Item* item = ItemById(id)) {
            item->Remove();
            ++removed;
        }
    }

    // Made while this sweep ran: an item like any other to the next one.
    for (uint32_t id : madeInSweep_) {
        if (Item* item = ItemById(id))
            item->flags_ &= ~Item::MadeInSweep;
    }
    madeInSweep_.clear();
    return removed;
}

void Data::FindOrphans(const std::vector<uint32_t>* among, std::vector<uint32_t>& orphans)
{
    // The types owning each type, looked up once a sweep.
    std::vector<std::vector<uint32_t>> owners(types_.size());
    std::vector<uint8_t> known(types_.size(), 0);
    TypeSet found;
    auto ownersOf = [&](const Type* type) -> const std::vector<uint32_t>& {
        if (!known[type->id_]) {
            known[type->id_] = 1;
            found.clear();
            GetTypeOwningTypes(type, found);
            for (const Type* owner : found)
                owners[type->id_].push_back(owner->id_);
        }
        return owners[type->id_];
    };
    auto orphan = [&](const Item* item) {
        for (uint32_t owner : ownersOf(item->type_)) {
            if (item->links_.Count(owner) == 0)
                return true;
        }
        return false;
    };
    if (among) {
        // Given sorted. An item on its way out has left its type and is nobody's candidate.
        for (uint32_t id : *among) {
            const Item* item = ItemById(id);
            if (item && !(item->flags_ & Item::Removing) && orphan(item))
                orphans.push_back(id);
        }
        return;
    }
    for (Type* type : types_) {
        if (!type || ownersOf(type).empty())
            continue;
        type->ids_.ForEach([&](uint32_t id) {
            if (orphan(items_[id]))
                orphans.push_back(id);
        });
    }
    std::sort(orphans.begin(), orphans.end());
}

void Data::MarkEverything(std::vector<uint32_t>& unreached)
{
    // Candidates are the items of every type (one being removed has left its type already),
    // but not those made since the sweep began; the orphans are gone. A byte per id, so that
    // neither this nor marking touches an item that has no links to follow.
    sweepLookedAt_ = itemCount_;
    std::vector<uint8_t>& candidate = sweepCandidates_;
    candidate.assign(items_.size(), 0);
    for (Type* type : types_) {
        if (type)
            type->ids_.ForEach([&](uint32_t id) { candidate[id] = 1; });
    }
    for (uint32_t id : madeInSweep_)
        candidate[id] = 0;
    // Marking changes nothing in the store: the roots are walked where they are.
    for (Type* type : types_) {
        if (type && type->primacy_ == RootPrimacy)
            type->ids_.ForEach([&](uint32_t id) { MarkItemConnections(items_[id]); });
    }
    for (size_t id = 1; id < candidate.size(); ++id) {
        if (candidate[id])
            unreached.push_back(static_cast<uint32_t>(id));
    }
    std::vector<uint8_t>().swap(sweepCandidates_);
    std::vector<uint32_t>().swap(sweepQueue_);
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
    // Breadth first, each item asked for from memory some steps before its turn, and its links
    // a few steps later: the items of a big share lie all over the heap, and are walked at the
    // pace of the memory rather than one cache miss after the other.
    constexpr size_t kAhead = 8;
    std::vector<uint32_t>& queue = sweepQueue_;
    queue.clear();
    queue.push_back(start->id_);
    for (size_t at = 0; at < queue.size(); ++at) {
        if (at + 2 * kAhead < queue.size())
            __builtin_prefetch(items_[queue[at + 2 * kAhead]]);
        if (at + kAhead < queue.size())
            items_[queue[at + kAhead]]->links_.Prefetch();
        const Item* item = items_[queue[at]];
        bool walk = false;
        item->links_.AnyInGroups(
            [&](uint32_t t) {
                // Roots are entered only as roots, never from another item.
                const Primacy primacy = types_[t]->primacy_;
                walk = primacy != ValuePrimacy;
                return primacy != RootPrimacy;
            },
            [&](uint32_t id) {
                if (unmark(id) && walk) {
                    __builtin_prefetch(&items_[id]);
                    queue.push_back(id);
                }
                return false;
            });
    }
}

// ---------------------------------------------------------------------------------------------
// Looking around what changed

struct Data::LooseWalk
{
    std::vector<uint32_t> seen;      // flagged Seen, to be cleared at the end
    std::vector<uint32_t> cutOff;    // walkable items of groups no root holds
    std::vector<uint32_t> unreached; // those, and the value items nothing reached holds
};

bool Data::ReachesRoot(Item* start, LooseWalk& walk)
{
    if (start->flags_ & Item::Seen)
        return (start->flags_ & Item::Held) != 0;
    // Breadth first, each item's roots looked for before its walkable partners are queued: the
    // root of a group is usually a step or two away. A group without one is walked whole.
    const auto isRoot = [this](uint32_t t) { return types_[t]->primacy_ == RootPrimacy; };
    const auto walkable = [this](uint32_t t) { return types_[t]->primacy_ == ReachablePrimacy; };
    const auto inSweep = [this](uint32_t id) { return InSweep(items_[id]); };
    const size_t first = walk.seen.size();
    start->flags_ |= Item::Seen;
    walk.seen.push_back(start->id_);
    bool held = false;
    for (size_t at = first; at < walk.seen.size() && !held; ++at) {
        const Item* item = items_[walk.seen[at]];
        held = item->links_.AnyInGroups(isRoot, inSweep) ||
               item->links_.AnyInGroups(walkable, [&](uint32_t id) {
                   Item* partner = items_[id];
                   if (!InSweep(partner))
                       return false;
                   // Held: the group was found held from another of its items.
                   if (partner->flags_ & Item::Seen)
                       return (partner->flags_ & Item::Held) != 0;
                   partner->flags_ |= Item::Seen;
                   walk.seen.push_back(id);
                   return false;
               });
    }
    for (size_t k = first; k < walk.seen.size(); ++k) {
        if (held) {
            items_[walk.seen[k]]->flags_ |= Item::Held;
        } else {
            walk.cutOff.push_back(walk.seen[k]);
            walk.unreached.push_back(walk.seen[k]);
        }
    }
    return held;
}

bool Data::ValueHeld(Item* value, LooseWalk& walk)
{
    if (value->flags_ & Item::Seen)
        return (value->flags_ & Item::Held) != 0;
    value->flags_ |= Item::Seen;
    walk.seen.push_back(value->id_);
    const auto isRoot = [this](uint32_t t) { return types_[t]->primacy_ == RootPrimacy; };
    const auto walkable = [this](uint32_t t) { return types_[t]->primacy_ == ReachablePrimacy; };
    const bool held =
        value->links_.AnyInGroups(isRoot, [this](uint32_t id) { return InSweep(items_[id]); }) ||
        value->links_.AnyInGroups(walkable, [&](uint32_t id) {
            Item* partner = items_[id];
            return InSweep(partner) && ReachesRoot(partner, walk);
        });
    if (held)
        value->flags_ |= Item::Held;
    else
        walk.unreached.push_back(value->id_);
    return held;
}

void Data::MarkAround(const std::vector<uint32_t>& ids, std::vector<uint32_t>& unreached)
{
    LooseWalk walk;
    for (uint32_t id : ids) {
        Item* item = ItemById(id);
        if (!item || !InSweep(item))
            continue;
        const Primacy primacy = item->type_->primacy_;
        if (primacy == ReachablePrimacy)
            ReachesRoot(item, walk);
        else if (primacy == ValuePrimacy)
            ValueHeld(item, walk);
    }
    // A value item linked to a group found cut off may have been held through it alone. The
    // list grows as further groups are found cut off on the way.
    const auto isValue = [this](uint32_t t) { return types_[t]->primacy_ == ValuePrimacy; };
    for (size_t k = 0; k < walk.cutOff.size(); ++k) {
        items_[walk.cutOff[k]]->links_.AnyInGroups(isValue, [&](uint32_t id) {
            Item* value = items_[id];
            if (InSweep(value))
                ValueHeld(value, walk);
            return false;
        });
    }
    for (uint32_t id : walk.seen)
        items_[id]->flags_ &= ~(Item::Seen | Item::Held);
    sweepLookedAt_ += walk.seen.size();
    unreached = std::move(walk.unreached);
    std::sort(unreached.begin(), unreached.end());
}

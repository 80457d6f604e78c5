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

//
// A sweep may run in slices, turns apart, and the store changes between them. Removal only ever
// takes an item the sweep found unreached, and that was true when it looked; what can make it
// reachable since is a link, and from the sweep's start every link made between its steps flags
// both its ends Touched (NoteLinked): a touched item counts as reached, with whatever it reaches
// (walked out of, at once or, for an item marked already, from the queue before anything more is
// removed), and is listed for the next sweep, which finds it if it was garbage after all. Cut
// links only make less reachable, and list their ends anyway; items made meanwhile are neither
// removed nor walked through; ids are not reused until the sweep ends (it holds a Batch open).
// Links the sweep's own removal handlers make go unseen, as in a sweep in one go.

#include "store/Data.h"
#include "store/SlicedJob.h"
#include "store/SweepRun.h"

#include <QScopedValueRollback>

#include <algorithm>

namespace {

// A step's bounded piece: ids scanned, queued items walked out of; an item removed or a changed
// item looked around is a step of its own.
constexpr size_t kIdsAStep = 1024;
constexpr size_t kWalkedAStep = 256;

} // namespace

int Data::RemoveDisconnectedItems()
{
    // A removal handler of a running sweep may ask for a sweep (code that removes things and
    // sweeps after itself). The running sweep is walking its own candidates, so the request
    // waits until it ends and is then served, with its removals counted in the running sweep's.
    if (sweepStepping_) {
        sweepRequested_ = true;
        return 0;
    }
    const uint64_t before = sweepRemoved_;
    // A sweep going on in slices ends first; what changed since it began is swept after it.
    while (SweepStep()) {
    }
    if (BeginSweep()) {
        while (SweepStep()) {
        }
    }
    if (sweepJob_)
        sweepJob_->Stop();
    return static_cast<int>(sweepRemoved_ - before);
}

void Data::SweepInSlices()
{
    if (sweepStepping_) {
        sweepRequested_ = true;
        return;
    }
    if (!sweepRun_ && !BeginSweep())
        return;
    if (!sweepJob_)
        sweepJob_ = std::make_unique<SlicedJob>([this] { return SweepStep(); });
    sweepJob_->RunNow();
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

bool Data::BeginSweep()
{
    // Nothing made and nothing disconnected since the last sweep: nothing can have come loose.
    if (!sweepEverything_ && loose_.empty())
        return false;
    auto run = std::make_unique<SweepRun>();
    // Inside a removal the whole store is walked: the item on its way out is no candidate, and
    // what it holds may hang on it alone, though nothing was cut yet.
    run->everything = sweepEverything_ || removingNow_ > 0;
    run->changed.swap(loose_);
    for (uint32_t id : run->changed) {
        if (Item* item = ItemById(id))
            item->flags_ &= ~Item::Loose;
    }
    // From here on, what is made or cut loose is listed for the next sweep.
    sweepEverything_ = false;
    sweepLookedAt_ = run->everything ? itemCount_ : run->changed.size();
    if (run->everything) {
        std::vector<uint32_t>().swap(run->changed);
    } else {
        std::sort(run->changed.begin(), run->changed.end());
        run->changed.erase(std::unique(run->changed.begin(), run->changed.end()),
                           run->changed.end());
    }
    sweepRun_ = std::move(run);
    ++batch_;
    sweeping_ = true;
    sweepMarking_ = true;
    return true;
}

bool Data::SweepStep()
{
    if (!sweepRun_) {
        const bool requested = sweepRequested_;
        sweepRequested_ = false;
        return requested && BeginSweep();
    }
    bool more = false;
    {
        const QScopedValueRollback<bool> stepping(sweepStepping_, true);
        more = StepRun(*sweepRun_);
    }
    if (more)
        return true;
    EndSweep();
    return sweepRequested_;
}

void Data::EndSweep()
{
    const std::unique_ptr<SweepRun> run = std::move(sweepRun_);
    sweepMarking_ = false;
    for (uint32_t id : run->touched) {
        if (Item* item = ItemById(id))
            item->flags_ &= ~Item::Touched;
    }
    for (uint32_t id : run->seen) {
        if (Item* item = ItemById(id))
            item->flags_ &= ~(Item::Seen | Item::Held | Item::CutOff);
    }
    // Made while this sweep ran: an item like any other to the next one.
    for (uint32_t id : madeInSweep_) {
        if (Item* item = ItemById(id))
            item->flags_ &= ~Item::MadeInSweep;
    }
    madeInSweep_.clear();
    sweeping_ = false;
    --batch_;
}

bool Data::StepRun(SweepRun& run)
{
    using Phase = SweepRun::Phase;
    // What was touched after it was marked is walked out of before anything more is removed.
    if (run.phase > Phase::SetUpMarks && run.queueAt < run.queue.size()) {
        WalkMarks(run, kWalkedAStep);
        return true;
    }
    switch (run.phase) {
    case Phase::FindOrphans: {
        // By id, as the orphans are removed.
        const size_t size = run.everything ? items_.size() : run.changed.size();
        const size_t end = std::min(size, run.at + kIdsAStep);
        for (size_t k = run.at; k < end; ++k) {
            const Item* item = nullptr;
            if (run.everything) {
                if (k + 16 < end)
                    __builtin_prefetch(items_[k + 16]);
                item = items_[k];
            } else {
                item = ItemById(run.changed[k]);
            }
            if (item && InSweep(item) && IsOrphan(run, item))
                run.orphans.push_back(item->id_);
        }
        run.at = end;
        if (end == size) {
            run.phase = Phase::RemoveOrphans;
            run.at = 0;
        }
        return true;
    }
    case Phase::RemoveOrphans:
        if (run.at < run.orphans.size()) {
            // Gone meanwhile, or given an owner since: not removed.
            Item* item = ItemById(run.orphans[run.at++]);
            if (item && InSweep(item) && IsOrphan(run, item)) {
                item->Remove();
                ++sweepRemoved_;
            }
            return true;
        }
        std::vector<uint32_t>().swap(run.orphans);
        // The orphans' handlers may have changed so much that the list was given up.
        if (run.everything || sweepEverything_) {
            run.everything = true;
            sweepLookedAt_ = itemCount_;
            run.candidate.assign(items_.size(), 0);
            run.phase = Phase::SetUpMarks;
            run.at = 1;
        } else {
            // What the orphans took with them counts too; it stays listed for the next sweep.
            run.changed.insert(run.changed.end(), loose_.begin(), loose_.end());
            run.phase = Phase::LookAround;
            run.at = 0;
        }
        return true;
    case Phase::SetUpMarks:
        SetUpMarks(run);
        if (run.at >= run.candidate.size())
            run.phase = Phase::Mark;
        return true;
    case Phase::Mark:
        // The queue is walked: what is still a candidate is unreached.
        run.phase = Phase::RemoveUnreached;
        run.at = 1;
        return true;
    case Phase::LookAround:
        if (run.at < run.changed.size()) {
            Item* item = ItemById(run.changed[run.at++]);
            if (item && InSweep(item)) {
                const Primacy primacy = item->type_->primacy_;
                if (primacy == ReachablePrimacy)
                    ReachesRoot(item, run);
                else if (primacy == ValuePrimacy)
                    ValueHeld(item, run);
            }
            return true;
        }
        run.phase = Phase::LookAtValues;
        run.at = 0;
        return true;
    case Phase::LookAtValues:
        // A value item linked to a group found cut off may have been held through it alone. The
        // list grows as further groups are found cut off on the way.
        if (run.at < run.cutOff.size()) {
            if (const Item* item = ItemById(run.cutOff[run.at++])) {
                const auto isValue = [this](uint32_t t) {
                    return types_[t]->primacy_ == ValuePrimacy;
                };
                item->links_.AnyInGroups(isValue, [&](uint32_t id) {
                    Item* value = items_[id];
                    if (InSweep(value))
                        ValueHeld(value, run);
                    return false;
                });
            }
            return true;
        }
        sweepLookedAt_ += run.seen.size();
        std::sort(run.unreached.begin(), run.unreached.end());
        run.phase = Phase::RemoveUnreached;
        run.at = 0;
        return true;
    case Phase::RemoveUnreached:
        return RemoveUnreached(run);
    }
    return false;
}

bool Data::IsOrphan(SweepRun& run, const Item* item)
{
    const uint32_t t = item->type_->id_;
    if (run.owners.size() <= t) {
        run.owners.resize(types_.size());
        run.ownersKnown.resize(types_.size(), 0);
    }
    if (!run.ownersKnown[t]) {
        run.ownersKnown[t] = 1;
        TypeSet found;
        GetTypeOwningTypes(item->type_, found);
        for (const Type* owner : found)
            run.owners[t].push_back(owner->id_);
    }
    for (uint32_t owner : run.owners[t]) {
        if (item->links_.Count(owner) == 0)
            return true;
    }
    return false;
}

void Data::SetUpMarks(SweepRun& run)
{
    // Candidates are the items there (one being removed has left its type already), but not
    // those made since the sweep began; the orphans are gone. Roots, and whatever was touched,
    // are walked out of.
    const size_t end = std::min(run.candidate.size(), run.at + kIdsAStep);
    for (size_t id = run.at; id < end; ++id) {
        if (id + 16 < end)
            __builtin_prefetch(items_[id + 16]);
        const Item* item = items_[id];
        if (!item)
            continue;
        const Primacy primacy = item->type_->primacy_;
        if (item->flags_ & Item::Touched) {
            if (primacy != ValuePrimacy)
                run.queue.push_back(static_cast<uint32_t>(id));
        } else if (InSweep(item)) {
            if (primacy == RootPrimacy)
                run.queue.push_back(static_cast<uint32_t>(id));
            else
                run.candidate[id] = 1;
        }
    }
    run.at = end;
}

void Data::WalkMarks(SweepRun& run, size_t steps)
{
    // Marking from every root clears an id's candidate byte; looking around, it clears the
    // CutOff flag of an item found cut off, which is held after all.
    std::vector<uint8_t>& candidate = run.candidate;
    const bool everything = run.everything;
    auto unmark = [&](uint32_t id) {
        if (everything) {
            if (id >= candidate.size() || !candidate[id])
                return false;
            candidate[id] = 0;
            return true;
        }
        Item* item = items_[id];
        if (!(item->flags_ & Item::CutOff))
            return false;
        item->flags_ = static_cast<uint8_t>((item->flags_ & ~Item::CutOff) | Item::Held);
        return true;
    };
    // Breadth first, each item asked for from memory some steps before its turn, and its links
    // a few steps later: the items of a big share lie all over the heap, and are walked at the
    // pace of the memory rather than one cache miss after the other. Value items are kept, but
    // the walk never goes on out of them; roots are entered only as roots.
    constexpr size_t kAhead = 8;
    std::vector<uint32_t>& queue = run.queue;
    for (size_t n = 0; n < steps && run.queueAt < queue.size(); ++n) {
        const size_t at = run.queueAt++;
        if (at + 2 * kAhead < queue.size())
            __builtin_prefetch(items_[queue[at + 2 * kAhead]]);
        if (at + kAhead < queue.size()) {
            if (const Item* ahead = items_[queue[at + kAhead]])
                ahead->links_.Prefetch();
        }
        // Removed since it was queued.
        const Item* item = items_[queue[at]];
        if (!item)
            continue;
        bool walk = false;
        item->links_.AnyInGroups(
            [&](uint32_t t) {
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
    if (run.queueAt == queue.size()) {
        queue.clear();
        run.queueAt = 0;
    }
}

bool Data::RemoveUnreached(SweepRun& run)
{
    // An item a step, in id order, unless touched since it was found unreached.
    if (run.everything) {
        std::vector<uint8_t>& candidate = run.candidate;
        const size_t end = std::min(candidate.size(), run.at + kIdsAStep);
        while (run.at < end) {
            const size_t id = run.at++;
            if (!candidate[id])
                continue;
            candidate[id] = 0;
            Item* item = items_[id];
            if (item && InSweep(item)) {
                item->Remove();
                ++sweepRemoved_;
                return true;
            }
        }
        return run.at < candidate.size();
    }
    while (run.at < run.unreached.size()) {
        Item* item = ItemById(run.unreached[run.at++]);
        if (item && (item->flags_ & Item::CutOff) && InSweep(item)) {
            item->Remove();
            ++sweepRemoved_;
            return true;
        }
    }
    return false;
}

void Data::TouchInSweep(Item* item)
{
    if (item->flags_ & Item::Touched)
        return;
    item->flags_ |= Item::Touched;
    SweepRun& run = *sweepRun_;
    run.touched.push_back(item->id_);
    NoteLoose(item);
    // Marked unreached already: walked out of from the queue.
    bool marked = false;
    if (run.everything) {
        marked = item->id_ < run.candidate.size() && run.candidate[item->id_];
        if (marked)
            run.candidate[item->id_] = 0;
    } else {
        marked = (item->flags_ & Item::CutOff) != 0;
        if (marked)
            item->flags_ = static_cast<uint8_t>((item->flags_ & ~Item::CutOff) | Item::Held);
    }
    if (marked && item->type_->primacy_ != ValuePrimacy)
        run.queue.push_back(item->id_);
}

// ---------------------------------------------------------------------------------------------
// Looking around what changed

void Data::FoundCutOff(SweepRun& run, uint32_t id)
{
    items_[id]->flags_ |= Item::CutOff;
    run.unreached.push_back(id);
}

bool Data::ReachesRoot(Item* start, SweepRun& run)
{
    if (start->flags_ & Item::Seen)
        return (start->flags_ & Item::Held) != 0;
    // Breadth first, each item's roots looked for before its walkable partners are queued: the
    // root of a group is usually a step or two away. A group without one is walked whole. An
    // item touched since the sweep began holds its group as a root does.
    const auto isRoot = [this](uint32_t t) { return types_[t]->primacy_ == RootPrimacy; };
    const auto walkable = [this](uint32_t t) { return types_[t]->primacy_ == ReachablePrimacy; };
    const auto inSweep = [this](uint32_t id) { return InSweep(items_[id]); };
    const size_t first = run.seen.size();
    start->flags_ |= Item::Seen;
    run.seen.push_back(start->id_);
    bool held = false;
    for (size_t at = first; at < run.seen.size() && !held; ++at) {
        const Item* item = items_[run.seen[at]];
        held = (item->flags_ & Item::Touched) || item->links_.AnyInGroups(isRoot, inSweep) ||
               item->links_.AnyInGroups(walkable, [&](uint32_t id) {
                   Item* partner = items_[id];
                   if (!InSweep(partner))
                       return false;
                   // Held: the group was found held from another of its items.
                   if (partner->flags_ & Item::Seen)
                       return (partner->flags_ & Item::Held) != 0;
                   partner->flags_ |= Item::Seen;
                   run.seen.push_back(id);
                   return false;
               });
    }
    for (size_t k = first; k < run.seen.size(); ++k) {
        if (held) {
            items_[run.seen[k]]->flags_ |= Item::Held;
        } else {
            run.cutOff.push_back(run.seen[k]);
            FoundCutOff(run, run.seen[k]);
        }
    }
    return held;
}

bool Data::ValueHeld(Item* value, SweepRun& run)
{
    if (value->flags_ & Item::Seen)
        return (value->flags_ & Item::Held) != 0;
    value->flags_ |= Item::Seen;
    run.seen.push_back(value->id_);
    const auto isRoot = [this](uint32_t t) { return types_[t]->primacy_ == RootPrimacy; };
    const auto walkable = [this](uint32_t t) { return types_[t]->primacy_ == ReachablePrimacy; };
    const bool held =
        (value->flags_ & Item::Touched) ||
        value->links_.AnyInGroups(isRoot, [this](uint32_t id) { return InSweep(items_[id]); }) ||
        value->links_.AnyInGroups(walkable, [&](uint32_t id) {
            Item* partner = items_[id];
            return InSweep(partner) && ReachesRoot(partner, run);
        });
    if (held)
        value->flags_ |= Item::Held;
    else
        FoundCutOff(run, value->id_);
    return held;
}

#pragma once

// What a sweep going on in slices keeps between its steps (Sweep.cpp).

#include "store/Data.h"

#include <cstdint>
#include <vector>

struct Data::SweepRun
{
    enum Phase
    {
        FindOrphans,
        RemoveOrphans,
        SetUpMarks,   // every root queued, every other item a candidate
        Mark,         // walking out of the queue
        LookAround,   // the changed items' groups, one by one
        LookAtValues, // the value items linked to groups found cut off
        RemoveUnreached
    };
    Phase phase = FindOrphans;
    // Marking from every root, or looking around the changed items.
    bool everything = false;
    // Where the phase is: an item id, or a place in its list.
    size_t at = 0;
    std::vector<uint32_t> changed; // sorted
    std::vector<uint32_t> orphans;
    // The types owning each type, looked up once a sweep.
    std::vector<std::vector<uint32_t>> owners;
    std::vector<uint8_t> ownersKnown;
    // Marking from every root: 1 for each item id not reached yet. A byte per id, so that
    // neither this nor marking touches an item that has no links to follow.
    std::vector<uint8_t> candidate;
    // Items reached (or touched) and still to be walked out of.
    std::vector<uint32_t> queue;
    size_t queueAt = 0;
    // Flagged Touched, to be cleared at the end.
    std::vector<uint32_t> touched;
    // Looking around: flagged Seen (and Held or CutOff), to be cleared at the end; the walkable
    // items of groups no root holds; those and the value items nothing reached holds.
    std::vector<uint32_t> seen;
    std::vector<uint32_t> cutOff;
    std::vector<uint32_t> unreached;
};

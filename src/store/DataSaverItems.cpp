// The second half of a load: the items of a store file read and checked whole are made in the
// store, then linked. One named step after another over the state they share: room for them
// all, the items themselves, their keys, the pairs in order, one block for the links arrays, each
// item's array at its final size, and the pairs linked.

#include "store/DataSaver.h"

#include "store/Pages.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

class DataSaver::ItemMaker
{
public:
    ItemMaker(const DataSaver& saver, Contents& contents);

    // Room for everything at once: the value index of each type, the store's item table and the
    // items themselves, in one block, so that items made in id order lie in id order.
    void ReserveRoom();
    // A file as a save lays it out is walked again in its bytes, type record by type record.
    bool Walked() const { return walked_; }
    void MakeWalkedItems();
    void MakeRecordedItems();
    // The keys of the items made (Type::KeyBy), all of a type together.
    void LinkKeys();
    void SortPairs();
    // The block the links arrays of the items this load made are cut from; the file's bytes are
    // freed when nothing is kept in them.
    void CutLinksBlock();
    // Each item's links array at its final size at once, rather than grown pair by pair.
    void SizeLinks();
    void LinkPairs();

private:
    // What is found out once about a pair of types the file links.
    struct TypePair
    {
        const Type* a;
        const Type* b;
        const Type::Relation* relation; // null when the types are not related
        const Type::Relation* back;
        bool quiet;
    };

    // A type whose items nobody hears of being added: a run of them is made first and indexed
    // afterwards, in one go.
    static bool MadeQuietly(const Type* type)
    {
        return !type->IsNull() && type->itemAddedEvent.IsEmpty() && d.itemAddedEvent.IsEmpty();
    }
    void MakeQuietRun(const Contents::Run& run, size_t& k);
    void MakeRun(const Contents::Run& run, size_t& k);
    void PrefetchAhead(size_t k);
    void MakeNull(size_t k, Type* type);
    bool Keep(const char* value, uint32_t size);
    void MakeOne(size_t k, Type* type, const char* value, uint32_t size, uint32_t hash);
    void IndexRun(Type* type, size_t first, size_t end);

    Item* ItemAt(size_t k) const { return d.items_[storeIds_[k]]; }
    // Every index with the type its record named, taken from the records rather than the
    // items, so that sizing the block reads no item.
    template <typename Visit> void ForEachIndex(Visit visit) const;
    void FindUnsavedPartners();
    uint32_t WordsFor(size_t k, const Type* type) const;
    uint32_t LentFor(size_t k, const Type* type) const;
    const TypePair& PairOf(const Type* a, const Type* b);

    // Items a little further on are fetched ahead, so that the misses overlap.
    static constexpr size_t kAhead = 16;
    // Pairs of types found out, kept by the types' ids: the pairs of a share take turns between
    // a few pairs of types.
    static constexpr size_t kKnownSlots = 64;

    const DataSaver& saver_;
    Contents& contents_;
    const size_t count_;
    char* const bytes_;
    const bool walked_;
    // Where the next long value moved up among the file's bytes goes.
    char* values_;
    // By index: the store id of the item made or found (ids are not reused during the batch, so
    // a handler's removal leaves the id empty), and whether this load made it. A walked item's
    // id takes the place of its value's hash once that is used.
    std::vector<uint32_t> storeIds_;
    std::vector<uint8_t> made_;
    // The items of a quiet run as they are made, and those whose value was there already.
    std::vector<Type::ValueSlot> quietlyMade_;
    std::vector<std::pair<uint32_t, uint32_t>> repeated_;
    // The item whose value index slot is fetched, with the run it is in and where that ends.
    size_t ahead_ = 0;
    size_t aheadRun_ = 0;
    size_t aheadEnd_ = 0;
    // By type id: the types it is related to that the file does not keep.
    std::vector<std::vector<uint32_t>> unsaved_;
    uint32_t* lent_ = nullptr;
    bool lentFromBytes_ = false;
    std::vector<TypePair> known_;
    size_t recent_[kKnownSlots] = {}; // an index into known_, or known_.size()
};

void DataSaver::MakeItems(Contents& contents)
{
    Data::Batch batch(&d);
    struct Loading
    {
        Loading() { ++d.loading_; }
        ~Loading() { --d.loading_; }
    } loading;
    ItemMaker maker(*this, contents);
    maker.ReserveRoom();
    if (maker.Walked())
        maker.MakeWalkedItems();
    else
        maker.MakeRecordedItems();
    maker.LinkKeys();
    maker.SortPairs();
    maker.CutLinksBlock();
    maker.SizeLinks();
    maker.LinkPairs();
}

// The file's bytes become a block of the store's, kept for its life: walked in file order, the
// long values of the items made are moved up to its front, each followed by a NUL, and the items
// point there instead of holding a block each. A record is a value and at least eight bytes
// more, so a value moved never overwrites one not yet reached. What is left behind the values is
// where the links arrays are cut from, further on.
DataSaver::ItemMaker::ItemMaker(const DataSaver& saver, Contents& contents)
    : saver_(saver), contents_(contents), count_(contents.itemCount), bytes_(contents.bytes.get()),
      walked_(!contents.runs.empty()), values_(bytes_)
{
    d.loadBlocks_.reserve(d.loadBlocks_.size() + 2);
    d.loadBlocks_.push_back(contents.bytes.release());
}

void DataSaver::ItemMaker::ReserveRoom()
{
    std::vector<size_t> perType(d.types_.size(), 0);
    for (const Contents::Run& run : contents_.runs)
        perType[run.type->Id()] += static_cast<size_t>(run.count);
    for (const ItemInfo& info : contents_.items)
        ++perType[info.type->Id()];
    for (size_t t = 0; t < perType.size(); ++t) {
        if (perType[t] > 0)
            d.types_[t]->ReserveItems(perType[t]);
    }
    storeimpl::ReservePopulated(d.items_, d.items_.size() + count_, storeimpl::When::Soon);
    d.ReserveItemSlots(count_);
    if (walked_)
        storeIds_ = std::move(contents_.hashes);
    else
        storeIds_.assign(count_, 0);
    storeimpl::ReservePopulated(made_, count_);
    made_.assign(count_, 0);
}

// Each record is its id, then for a type with values the length and the bytes.
void DataSaver::ItemMaker::MakeWalkedItems()
{
    size_t k = 0;
    for (const Contents::Run& run : contents_.runs) {
        if (MadeQuietly(run.type))
            MakeQuietRun(run, k);
        else
            MakeRun(run, k);
    }
}

// Each item's entry goes straight to its place in region order; an item whose value turns out
// to be there already, made before or earlier in the file, is taken back when the run is
// indexed and the holder stands for it.
void DataSaver::ItemMaker::MakeQuietRun(const Contents::Run& run, size_t& k)
{
    Type* type = run.type;
    const char* at = bytes_ + run.offset;
    const size_t first = k;
    const size_t end = first + static_cast<size_t>(run.count);
    const Type::ValueRegions regions = type->GetValueRegions();
    std::vector<size_t> next(regions.Count() + 1, 0);
    for (size_t j = first; j < end; ++j)
        ++next[regions.Of(storeIds_[j]) + 1];
    for (size_t r = 1; r < next.size(); ++r)
        next[r] += next[r - 1];
    storeimpl::ReservePopulated(quietlyMade_, static_cast<size_t>(run.count));
    quietlyMade_.resize(static_cast<size_t>(run.count));
    for (; k < end; ++k) {
        const uint32_t size = qFromLittleEndian<quint32>(at + 4);
        Item* item;
        if (Keep(at + 8, size)) {
            item = type->AddItem(std::string_view(values_, size), true);
            values_ += size + 1;
        } else {
            item = type->AddItem(std::string_view(at + 8, size), false);
        }
        quietlyMade_[next[regions.Of(storeIds_[k])]++] = Type::ValueSlot{item->Id(), storeIds_[k]};
        storeIds_[k] = item->Id();
        made_[k] = true;
        at += 8 + size;
    }
    IndexRun(type, first, end);
}

// Made in ascending id order; a value already in the store is that item.
void DataSaver::ItemMaker::MakeRun(const Contents::Run& run, size_t& k)
{
    Type* type = run.type;
    const char* at = bytes_ + run.offset;
    const bool isNull = type->IsNull();
    const size_t end = k + static_cast<size_t>(run.count);
    for (; k < end; ++k) {
        PrefetchAhead(k);
        if (isNull) {
            MakeNull(k, type);
            at += 4;
            continue;
        }
        const uint32_t size = qFromLittleEndian<quint32>(at + 4);
        MakeOne(k, type, at + 8, size, storeIds_[k]);
        at += 8 + size;
    }
}

// The value index slot of an item a little further on, in this run or the next ones; a walked
// item's hash is still in its place until the item is made.
void DataSaver::ItemMaker::PrefetchAhead(size_t k)
{
    for (ahead_ = std::max(ahead_, k); ahead_ < k + kAhead && ahead_ < count_; ++ahead_) {
        while (ahead_ >= aheadEnd_)
            aheadEnd_ += static_cast<size_t>(contents_.runs[aheadRun_++].count);
        const Type* t = contents_.runs[aheadRun_ - 1].type;
        if (!t->IsNull() && !MadeQuietly(t))
            t->PrefetchValue(storeIds_[ahead_]);
    }
}

void DataSaver::ItemMaker::MakeRecordedItems()
{
    const std::vector<ItemInfo>& items = contents_.items;
    for (size_t k = 0; k < items.size(); ++k) {
        if (k + kAhead < items.size()) {
            const ItemInfo& ahead = items[k + kAhead];
            if (!ahead.type->IsNull())
                ahead.type->PrefetchValue(ahead.hash);
        }
        const ItemInfo& info = items[k];
        if (info.type->IsNull())
            MakeNull(k, info.type);
        else
            MakeOne(k, info.type, bytes_ + info.value, info.size, info.hash);
    }
}

void DataSaver::ItemMaker::MakeNull(size_t k, Type* type)
{
    storeIds_[k] = type->NewItem()->Id();
    made_[k] = true;
}

// Where a value of an item made is kept: a long one walked is moved up among the values.
bool DataSaver::ItemMaker::Keep(const char* value, uint32_t size)
{
    if (!walked_ || size <= ItemText::kInlineSize)
        return false;
    std::memmove(values_, value, size);
    values_[size] = '\0';
    return true;
}

void DataSaver::ItemMaker::MakeOne(size_t k, Type* type, const char* value, uint32_t size,
                                   uint32_t hash)
{
    Item* item = type->FindValue(std::string_view(value, size), hash);
    if (!item) {
        if (Keep(value, size)) {
            item = type->MakeItem(std::string_view(values_, size), hash, true, false);
            values_ += size + 1;
        } else {
            item = type->MakeItem(std::string_view(value, size), hash, false, false);
        }
        made_[k] = true;
    }
    storeIds_[k] = item->Id();
}

// Indexes the run made quietly (Type::IndexValues), and has each item whose value was there
// already stand for the holder of that value.
void DataSaver::ItemMaker::IndexRun(Type* type, size_t first, size_t end)
{
    repeated_.clear();
    type->IndexValues(quietlyMade_, repeated_);
    if (repeated_.empty())
        return;
    std::sort(repeated_.begin(), repeated_.end());
    for (size_t k = first; k < end; ++k) {
        auto it = std::lower_bound(repeated_.begin(), repeated_.end(),
                                   std::make_pair(storeIds_[k], uint32_t(0)));
        if (it != repeated_.end() && it->first == storeIds_[k]) {
            storeIds_[k] = it->second;
            made_[k] = false;
        }
    }
    for (const auto& r : repeated_)
        type->DropQuietly(d.items_[r.first]);
}

void DataSaver::ItemMaker::LinkKeys()
{
    std::vector<std::vector<uint32_t>> keyed(d.types_.size());
    ForEachIndex([&](size_t k, const Type* type) {
        if (!made_[k] || !type->keyType_)
            return;
        if (const Item* item = ItemAt(k))
            keyed[type->Id()].push_back(item->Id());
    });
    for (size_t t = 0; t < keyed.size(); ++t) {
        if (!keyed[t].empty() && t < d.types_.size() && d.types_[t])
            d.types_[t]->LinkKeys(keyed[t]);
    }
}

void DataSaver::ItemMaker::SortPairs()
{
    std::vector<std::pair<uint32_t, uint32_t>>& pairs = contents_.pairs;
    if (contents_.pairsInOrder)
        return;
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
}

template <typename Visit> void DataSaver::ItemMaker::ForEachIndex(Visit visit) const
{
    if (walked_) {
        size_t k = 0;
        for (const Contents::Run& run : contents_.runs) {
            for (int32_t n = 0; n < run.count; ++n)
                visit(k++, run.type);
        }
    } else {
        for (size_t k = 0; k < contents_.items.size(); ++k)
            visit(k, contents_.items[k].type);
    }
}

// A type related to one the file does not keep gains those links once the load is over (a word
// index, the flags of a running client): an array lent before they come would soon be left, and
// its room lost for the store's life.
void DataSaver::ItemMaker::FindUnsavedPartners()
{
    unsaved_.assign(d.types_.size(), {});
    for (const Type* type : d.types_) {
        if (!type)
            continue;
        for (const Type::Relation& r : type->relations_) {
            if (!saver_.savedTypes_.count(r.other) && !saver_.savedByConnection_.count(r.other))
                unsaved_[type->Id()].push_back(r.other->Id());
        }
    }
}

// A header word per partner type at most, and never more than two words a partner.
uint32_t DataSaver::ItemMaker::WordsFor(size_t k, const Type* type) const
{
    const uint32_t degree = contents_.degree[k];
    const uint64_t types = type->relations_.size();
    const uint64_t words = std::min<uint64_t>(degree + types, uint64_t(degree) * 2);
    return static_cast<uint32_t>(std::min<uint64_t>(words, storeimpl::Links::kSmallWords));
}

// The words lent to an item this load made, counting what its key or handlers linked meanwhile;
// 0 for none. An item is lent an array when it is already linked to every type the file does
// not keep (the lower-case key of a name), or its type has none. The block is sized by the same
// answers as the lending: nothing runs between.
uint32_t DataSaver::ItemMaker::LentFor(size_t k, const Type* type) const
{
    if (!made_[k] || contents_.degree[k] == 0)
        return 0;
    const Item* item = ItemAt(k);
    if (!item || item->links_.IsBigForm())
        return 0;
    for (uint32_t t : unsaved_[type->Id()]) {
        if (item->links_.Count(t) == 0)
            return 0;
    }
    const uint32_t words = WordsFor(k, type) + item->links_.UsedWords();
    return words > storeimpl::Links::kInlineWords && words <= storeimpl::Links::kSmallWords ? words
                                                                                            : 0;
}

// The arrays of the items this load made, and that nothing linked yet, are carved in index
// order from one block, cut behind the values in the file's bytes when they have room: their
// pages are in memory already, where a fresh block would have each one faulted in.
void DataSaver::ItemMaker::CutLinksBlock()
{
    FindUnsavedPartners();
    size_t lentWords = 0;
    ForEachIndex([&](size_t k, const Type* type) { lentWords += LentFor(k, type); });
    const size_t valuesEnd = (static_cast<size_t>(values_ - bytes_) + 3) & ~size_t(3);
    if (lentWords > 0) {
        if (lentWords > SIZE_MAX / sizeof(uint32_t))
            throw std::bad_alloc();
        const size_t need = lentWords * sizeof(uint32_t);
        if (valuesEnd <= contents_.size && need <= contents_.size - valuesEnd) {
            lent_ = reinterpret_cast<uint32_t*>(bytes_ + valuesEnd);
            lentFromBytes_ = true;
        } else {
            lent_ = static_cast<uint32_t*>(std::malloc(need));
            if (!lent_)
                throw std::bad_alloc();
            d.loadBlocks_.push_back(lent_);
        }
    }
    if (values_ == bytes_ && !lentFromBytes_) {
        // Nothing points into the file's bytes.
        d.loadBlocks_.erase(std::find(d.loadBlocks_.begin(), d.loadBlocks_.end(), bytes_));
        std::free(bytes_);
    }
}

void DataSaver::ItemMaker::SizeLinks()
{
    const std::vector<uint32_t>& degree = contents_.degree;
    ForEachIndex([&](size_t k, const Type* type) {
        // An item with one partner to come fits it inline, unless a handler linked it already.
        Item* item = degree[k] >= 1 ? ItemAt(k) : nullptr;
        if (!item || (degree[k] == 1 && item->IsDisconnectedFromAll()))
            return;
        if (const uint32_t words = LentFor(k, type)) {
            item->links_.Lend(lent_, words);
            lent_ += words;
        } else {
            item->links_.ReserveMore(WordsFor(k, type));
        }
    });
    std::vector<uint32_t>().swap(contents_.degree);
    std::vector<ItemInfo>().swap(contents_.items);
    // Of the file's bytes, only the values moved up front and the arrays cut behind them are
    // read again: the pages of the rest go back to the system, where the store would keep them.
    if (values_ != bytes_ || lentFromBytes_) {
        contents_.spare = lentFromBytes_ ? reinterpret_cast<char*>(lent_) : values_;
        contents_.spareSize = contents_.size - size_t(contents_.spare - bytes_);
    }
}

// Found out once for each pair of types met. A pair whose types nobody listens to, on either
// side or on the store, is linked quietly: no handler can tell the difference.
const DataSaver::ItemMaker::TypePair& DataSaver::ItemMaker::PairOf(const Type* a, const Type* b)
{
    size_t& slot = recent_[(a->Id() * 31 + b->Id()) % kKnownSlots];
    if (slot < known_.size() && known_[slot].a == a && known_[slot].b == b)
        return known_[slot];
    for (slot = 0; slot < known_.size(); ++slot) {
        if (known_[slot].a == a && known_[slot].b == b)
            return known_[slot];
    }
    auto quiet = [](const Type* t) {
        return t->connectedEvent.IsEmpty() && t->disconnectedEvent.IsEmpty() && !t->pairHandlers_;
    };
    known_.push_back(TypePair{a, b, a->FindRelation(b), b->FindRelation(a),
                              d.connectedEvent.IsEmpty() && d.disconnectedEvent.IsEmpty() &&
                                  quiet(a) && quiet(b)});
    return known_[slot];
}

// Any pair not linked quietly goes through Connect with all its events, in its turn, and since
// its handlers may change anything, what was found out about types is found out again after it.
// The partners of pairs further on are fetched ahead in stages, each stage's address taken from
// what the stage before fetched: the store id, the item's slot, the item, its links.
void DataSaver::ItemMaker::LinkPairs()
{
    const std::vector<std::pair<uint32_t, uint32_t>>& pairs = contents_.pairs;
    const uint32_t* storeIds = storeIds_.data();
    Item* const* byId = d.items_.data();
    const size_t n = pairs.size();
    for (size_t k = 0; k < n; ++k) {
        if (k + 4 * kAhead < n) {
            __builtin_prefetch(&storeIds[pairs[k + 4 * kAhead].second]);
            __builtin_prefetch(&byId[storeIds[pairs[k + 3 * kAhead].second]]);
            __builtin_prefetch(byId[storeIds[pairs[k + 2 * kAhead].second]]);
            if (const Item* ahead = byId[storeIds[pairs[k + kAhead].second]])
                ahead->links_.Prefetch();
        }
        Item* a = byId[storeIds[pairs[k].first]];
        Item* b = byId[storeIds[pairs[k].second]];
        if (!a || !b)
            continue;
        const TypePair& types = PairOf(a->type_, b->type_);
        // A pair of types that are no longer related is dropped, like one touching an unknown
        // type.
        if (!types.relation || !types.back)
            continue;
        if (types.quiet) {
            a->ConnectQuietly(b, types.relation->info, types.back->info);
        } else {
            ItemPtr(a) += ItemPtr(b);
            known_.clear();
            byId = d.items_.data();
        }
    }
}

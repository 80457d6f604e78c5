#pragma once

// Compact containers behind the object store. Items are named by 32-bit ids (their slot in the
// store's item table), so a connection costs four bytes on each side and ordered lookups compare
// plain integers without touching the partner item.

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace storeimpl {

// A sorted list of ids kept in chunks of at most kChunk ids, so that inserting into or erasing
// from a list of a million ids moves at most one chunk.
class IdList
{
public:
    static constexpr uint32_t kChunk = 512;

    IdList() = default;
    ~IdList();
    IdList(const IdList&) = delete;
    IdList& operator=(const IdList&) = delete;
    IdList(IdList&& other) noexcept;
    IdList& operator=(IdList&& other) noexcept;

    size_t Size() const { return size_; }
    bool IsEmpty() const { return size_ == 0; }
    bool Contains(uint32_t id) const;
    bool Insert(uint32_t id)
    {
        // Ids mostly come in increasing order (items are made so): those go to the end of the
        // last chunk while it has room, without a search.
        if (!chunks_.empty() && lasts_.back() < id) {
            Chunk* c = chunks_.back();
            if (c->n < c->cap) {
                c->ids[c->n++] = id;
                lasts_.back() = id;
                ++size_;
                return true;
            }
        }
        return InsertSorted(id);
    }
    bool Erase(uint32_t id);
    uint32_t First() const;
    void Clear();

    template <class F> void ForEach(F f) const
    {
        for (const Chunk* c : chunks_) {
            for (uint32_t k = 0; k < c->n; ++k)
                f(c->ids[k]);
        }
    }
    // Calls f with each id in order until f returns true; tells whether it did.
    template <class F> bool AnyOf(F f) const
    {
        for (const Chunk* c : chunks_) {
            for (uint32_t k = 0; k < c->n; ++k) {
                if (f(c->ids[k]))
                    return true;
            }
        }
        return false;
    }
    void AppendTo(std::vector<uint32_t>& out) const;
    size_t MemoryUse() const;

private:
    struct Chunk
    {
        uint32_t n;
        uint32_t cap;
        uint32_t ids[1];
    };
    static Chunk* NewChunk(uint32_t cap);
    bool InsertSorted(uint32_t id);
    size_t FindChunk(uint32_t id) const;
    void MakeRoom(size_t ci);

    void SetLast(size_t ci) { lasts_[ci] = chunks_[ci]->ids[chunks_[ci]->n - 1]; }

    std::vector<Chunk*> chunks_;
    // Last id of each chunk, so that finding a chunk touches one array and not every chunk.
    std::vector<uint32_t> lasts_;
    size_t size_ = 0;
};

// The connections of one item, grouped by the partner's type id, each group sorted by partner
// id. Small items keep everything in one array of words laid out as [header, ids...] per group,
// the header holding the type and the count in one word (a lone partner costs two words, and
// most groups hold one); an array of up to kInlineWords words lives inside the Links itself, so
// an item with a single partner costs no allocation and no second cache line. An item whose
// array grows past kSmallWords switches to one IdList per type. The whole takes 16 bytes, so
// that an item with its value string fills one cache line.
//
// The array may also be lent by the caller (Lend): a loader that knows every item's partners
// carves all the arrays from one block. A lent array is never freed or resized in place; the
// first growth moves the links to an array of their own.
class Links
{
public:
    static constexpr uint32_t kInlineWords = 3;
    static constexpr uint32_t kSmallWords = 1024;
    // A group's header: the type above kCountBits bits of count. A group of the single array
    // holds fewer than kSmallWords partners, so the count fits; types must stay below kMaxType.
    static constexpr uint32_t kCountBits = 11;
    static constexpr uint32_t kMaxType = uint32_t(1) << (32 - kCountBits);
    static_assert(kSmallWords <= (uint32_t(1) << kCountBits), "a group's count fits its header");

    Links() : raw_{0, 0, 0} {}
    ~Links();
    Links(const Links&) = delete;
    Links& operator=(const Links&) = delete;

    bool IsEmpty() const { return IsBig() ? GetBig()->total == 0 : size_ == 0; }
    // Whether the groups are lists (past kSmallWords) rather than one array; the words of the
    // array in use otherwise.
    bool IsBigForm() const { return IsBig(); }
    uint32_t UsedWords() const { return IsBig() ? 0 : size_; }
    size_t Total() const;
    size_t Count(uint32_t type) const;
    bool Contains(uint32_t type, uint32_t id) const;
    bool Insert(uint32_t type, uint32_t id)
    {
        // Partners mostly come in increasing order of type and of id, as a load links them: those
        // go to the end of the array while it has room, without moving anything.
        if (!IsBig()) {
            uint32_t* w = Words();
            uint32_t at = 0;
            uint32_t group = size_; // the last group's header, if it is this type's
            while (at < size_) {
                group = at;
                at += 1 + CountOf(w[at]);
            }
            // Past kSmallWords the general path turns the array into lists.
            const uint32_t room = size_ + 2u > kSmallWords ? 0 : Capacity();
            if (group < size_ && TypeOf(w[group]) == type && w[size_ - 1] < id &&
                size_ + 1u <= room) {
                w[size_] = id;
                ++w[group]; // the count, in the low bits
                ++size_;
                return true;
            }
            if ((size_ == 0 || TypeOf(w[group]) < type) && size_ + 2u <= room) {
                w[size_] = Header(type, 1);
                w[size_ + 1] = id;
                size_ += 2;
                return true;
            }
        }
        return InsertSorted(type, id);
    }
    bool Erase(uint32_t type, uint32_t id);
    uint32_t First(uint32_t type) const
    {
        if (IsBig())
            return BigFirst(type);
        const int64_t at = SmallFind(type);
        return at < 0 ? 0 : Words()[at + 1];
    }
    void Types(std::vector<uint32_t>& out) const;
    void Ids(uint32_t type, std::vector<uint32_t>& out) const;
    size_t MemoryUse() const;
    // Room for that many more words of the single array, when that is the form they will take,
    // for a caller that knows how many partners are coming: exactly that room, where growing a
    // partner at a time would leave up to half the array unused.
    void ReserveMore(uint32_t words)
    {
        if (!IsBig() && size_ + words <= kSmallWords)
            Reserve(size_ + words, true);
    }
    // The same for count more partners of one type, the group's header included when the
    // group is new.
    void ReservePartners(uint32_t type, uint32_t count)
    {
        ReserveMore(count + (Count(type) == 0 ? 1 : 0));
    }
    // Moves the links into words, an array of cap words that the caller keeps alive for as long
    // as this Links lives and frees itself. Ignored unless the array is larger than the one in
    // use and small enough for the single-array form.
    void Lend(uint32_t* words, uint32_t cap);
    // Starts loading the lines an insertion is going to touch, so that the caller's work on the
    // other item overlaps the wait for this one. No branch: GCC drops a prefetch that is the only
    // thing a condition guards.
    void Prefetch() const
    {
        // In the big form this is the groups' record, which the insertion reads first too.
        const uint32_t* w = cap_ > kInlineWords ? Heap() : raw_;
        __builtin_prefetch(w);
        __builtin_prefetch(w + (size_ > 0 ? size_ - 1 : 0));
    }

    template <class F> void ForEach(uint32_t type, F f) const
    {
        if (IsBig()) {
            if (const IdList* l = BigGroup(type))
                l->ForEach(f);
            return;
        }
        int64_t at = SmallFind(type);
        if (at < 0)
            return;
        const uint32_t* w = Words();
        const uint32_t n = CountOf(w[at]);
        for (uint32_t k = 0; k < n; ++k)
            f(w[at + 1 + k]);
    }

    // Calls f with each partner id of one type, in order, until f returns true; tells whether
    // it did.
    template <class F> bool AnyOf(uint32_t type, F f) const
    {
        if (IsBig()) {
            const IdList* l = BigGroup(type);
            return l && l->AnyOf(f);
        }
        int64_t at = SmallFind(type);
        if (at < 0)
            return false;
        const uint32_t* w = Words();
        const uint32_t n = CountOf(w[at]);
        for (uint32_t k = 0; k < n; ++k) {
            if (f(w[at + 1 + k]))
                return true;
        }
        return false;
    }

    // Goes through the groups in type order: for each group whose type enter(type) accepts,
    // calls f with each partner id, in order, until f returns true; tells whether it did. One
    // pass over the array, where Types and then a ForEach per type would look for every group
    // again.
    template <class Enter, class F> bool AnyInGroups(Enter enter, F f) const
    {
        if (IsBig()) {
            for (const auto& g : GetBig()->groups) {
                if (enter(g.first) && g.second.AnyOf(f))
                    return true;
            }
            return false;
        }
        const uint32_t* w = Words();
        for (uint32_t at = 0; at < size_; at += 1 + CountOf(w[at])) {
            if (!enter(TypeOf(w[at])))
                continue;
            const uint32_t n = CountOf(w[at]);
            for (uint32_t k = 0; k < n; ++k) {
                if (f(w[at + 1 + k]))
                    return true;
            }
        }
        return false;
    }

    // Calls f with each partner id, of every type, until f returns true; tells whether it did.
    template <class F> bool AnyLink(F f) const
    {
        if (IsBig()) {
            for (const auto& g : GetBig()->groups) {
                if (g.second.AnyOf(f))
                    return true;
            }
            return false;
        }
        const uint32_t* w = Words();
        for (uint32_t at = 0; at < size_; at += 1 + CountOf(w[at])) {
            const uint32_t n = CountOf(w[at]);
            for (uint32_t k = 0; k < n; ++k) {
                if (f(w[at + 1 + k]))
                    return true;
            }
        }
        return false;
    }

private:
    // cap_ of a Links whose groups are IdLists.
    static constexpr uint16_t kBigCap = 0xFFFF;
    // Set in cap_ while the array is lent.
    static constexpr uint16_t kLent = 0x8000;

    struct Big
    {
        std::vector<std::pair<uint32_t, IdList>> groups;
        size_t total = 0;
    };
    static uint32_t Header(uint32_t type, uint32_t count) { return type << kCountBits | count; }
    static uint32_t TypeOf(uint32_t header) { return header >> kCountBits; }
    static uint32_t CountOf(uint32_t header) { return header & ((1u << kCountBits) - 1); }
    bool IsBig() const { return cap_ == kBigCap; }
    bool IsLent() const { return !IsBig() && (cap_ & kLent) != 0; }
    uint32_t Capacity() const { return cap_ & ~uint32_t(kLent); }
    // The array or the IdLists, when not inline, are reached through a pointer kept in the
    // inline words.
    uint32_t* Heap() const
    {
        uint32_t* words;
        std::memcpy(&words, raw_, sizeof words);
        return words;
    }
    void SetHeap(uint32_t* words) { std::memcpy(raw_, &words, sizeof words); }
    Big* GetBig() const
    {
        Big* big;
        std::memcpy(&big, raw_, sizeof big);
        return big;
    }
    void SetBig(Big* big) { std::memcpy(raw_, &big, sizeof big); }
    const uint32_t* Words() const { return cap_ <= kInlineWords ? raw_ : Heap(); }
    uint32_t* Words() { return cap_ <= kInlineWords ? raw_ : Heap(); }
    // Offset of the group's header, or -1.
    int64_t SmallFind(uint32_t type) const
    {
        const uint32_t* w = Words();
        uint32_t at = 0;
        while (at < size_) {
            const uint32_t t = TypeOf(w[at]);
            if (t == type)
                return at;
            if (t > type)
                return -1;
            at += 1 + CountOf(w[at]);
        }
        return -1;
    }
    bool InsertSorted(uint32_t type, uint32_t id);
    uint32_t BigFirst(uint32_t type) const;
    const IdList* BigGroup(uint32_t type) const;
    // Room for words words: exactly, or with room to grow beyond them.
    void Reserve(uint32_t words, bool exact = false);
    void MakeBig();
    void FreeWords();

    // What raw_ holds follows from cap_: the words themselves up to kInlineWords, a pointer to
    // the heap array above it (or to a lent one, with kLent set), a pointer to the IdLists at
    // kBigCap. The count of partners is not kept: an empty array means no partners, and the
    // groups hold their counts.
    uint32_t raw_[kInlineWords];
    uint16_t size_ = 0;
    uint16_t cap_ = kInlineWords;
};
static_assert(sizeof(Links) == 16, "an item with its value string fills one cache line");

} // namespace storeimpl

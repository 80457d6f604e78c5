#include "store/ItemLinks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace storeimpl {

// ---------------------------------------------------------------------------------------------
// IdList

IdList::~IdList()
{
    Clear();
}

IdList::IdList(IdList&& other) noexcept
    : chunks_(std::move(other.chunks_)), lasts_(std::move(other.lasts_)), size_(other.size_)
{
    other.chunks_.clear();
    other.lasts_.clear();
    other.size_ = 0;
}

IdList& IdList::operator=(IdList&& other) noexcept
{
    if (this != &other) {
        Clear();
        chunks_ = std::move(other.chunks_);
        lasts_ = std::move(other.lasts_);
        size_ = other.size_;
        other.chunks_.clear();
        other.lasts_.clear();
        other.size_ = 0;
    }
    return *this;
}

void IdList::Clear()
{
    for (Chunk* c : chunks_)
        std::free(c);
    chunks_.clear();
    lasts_.clear();
    size_ = 0;
}

IdList::Chunk* IdList::NewChunk(uint32_t cap)
{
    void* mem = std::malloc(sizeof(Chunk) + (cap - 1) * sizeof(uint32_t));
    if (!mem)
        throw std::bad_alloc();
    Chunk* c = static_cast<Chunk*>(mem);
    c->n = 0;
    c->cap = cap;
    return c;
}

size_t IdList::FindChunk(uint32_t id) const
{
    // First chunk whose last id is not below id; the last chunk when id is beyond them all.
    if (lasts_.back() < id)
        return lasts_.size() - 1;
    return static_cast<size_t>(std::lower_bound(lasts_.begin(), lasts_.end(), id) -
                               lasts_.begin());
}

bool IdList::Contains(uint32_t id) const
{
    if (chunks_.empty())
        return false;
    const Chunk* c = chunks_[FindChunk(id)];
    return std::binary_search(c->ids, c->ids + c->n, id);
}

uint32_t IdList::First() const
{
    return chunks_.empty() ? 0 : chunks_.front()->ids[0];
}

void IdList::MakeRoom(size_t ci)
{
    Chunk* c = chunks_[ci];
    if (c->cap < kChunk) {
        const uint32_t cap = std::min<uint32_t>(kChunk, c->cap * 2);
        void* mem = std::realloc(c, sizeof(Chunk) + (cap - 1) * sizeof(uint32_t));
        if (!mem)
            throw std::bad_alloc();
        c = static_cast<Chunk*>(mem);
        c->cap = cap;
        chunks_[ci] = c;
    }
}

bool IdList::InsertSorted(uint32_t id)
{
    if (chunks_.empty()) {
        Chunk* c = NewChunk(4);
        c->ids[0] = id;
        c->n = 1;
        chunks_.push_back(c);
        lasts_.push_back(id);
        size_ = 1;
        return true;
    }
    size_t ci = FindChunk(id);
    Chunk* c = chunks_[ci];
    uint32_t pos = c->n;
    if (c->ids[c->n - 1] >= id) {
        pos = static_cast<uint32_t>(std::lower_bound(c->ids, c->ids + c->n, id) - c->ids);
        if (c->ids[pos] == id)
            return false;
    }
    if (c->n == c->cap)
        MakeRoom(ci);
    c = chunks_[ci];
    if (c->n == c->cap) {
        // A full chunk. Ids arriving in increasing order start a fresh chunk, so lists filled in
        // creation order stay dense; anything else splits the chunk in two halves.
        if (ci + 1 == chunks_.size() && pos == c->n) {
            Chunk* fresh = NewChunk(kChunk);
            fresh->ids[0] = id;
            fresh->n = 1;
            chunks_.push_back(fresh);
            lasts_.push_back(id);
            ++size_;
            return true;
        }
        Chunk* upper = NewChunk(kChunk);
        const uint32_t half = c->n / 2;
        upper->n = c->n - half;
        std::memcpy(upper->ids, c->ids + half, upper->n * sizeof(uint32_t));
        c->n = half;
        chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(ci) + 1, upper);
        lasts_.insert(lasts_.begin() + static_cast<std::ptrdiff_t>(ci) + 1, 0);
        SetLast(ci);
        SetLast(ci + 1);
        if (pos > half) {
            pos -= half;
            c = upper;
            ++ci;
        }
    }
    std::memmove(c->ids + pos + 1, c->ids + pos, (c->n - pos) * sizeof(uint32_t));
    c->ids[pos] = id;
    ++c->n;
    ++size_;
    if (pos + 1 == c->n)
        lasts_[ci] = id;
    return true;
}

bool IdList::Erase(uint32_t id)
{
    if (chunks_.empty())
        return false;
    const size_t ci = FindChunk(id);
    Chunk* c = chunks_[ci];
    uint32_t* at = std::lower_bound(c->ids, c->ids + c->n, id);
    if (at == c->ids + c->n || *at != id)
        return false;
    std::memmove(at, at + 1, (c->ids + c->n - at - 1) * sizeof(uint32_t));
    --c->n;
    --size_;
    if (c->n == 0) {
        std::free(c);
        chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(ci));
        lasts_.erase(lasts_.begin() + static_cast<std::ptrdiff_t>(ci));
        return true;
    }
    SetLast(ci);
    if (c->n <= kChunk / 4 && ci + 1 < chunks_.size() && c->n + chunks_[ci + 1]->n <= kChunk / 2) {
        // Fold thin neighbours together so that churn does not leave a trail of sparse chunks.
        Chunk* next = chunks_[ci + 1];
        while (c->cap < c->n + next->n) {
            MakeRoom(ci);
            c = chunks_[ci];
        }
        std::memcpy(c->ids + c->n, next->ids, next->n * sizeof(uint32_t));
        c->n += next->n;
        std::free(next);
        chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(ci) + 1);
        lasts_.erase(lasts_.begin() + static_cast<std::ptrdiff_t>(ci) + 1);
        SetLast(ci);
    }
    return true;
}

void IdList::AppendTo(std::vector<uint32_t>& out) const
{
    out.reserve(out.size() + size_);
    for (const Chunk* c : chunks_)
        out.insert(out.end(), c->ids, c->ids + c->n);
}

size_t IdList::MemoryUse() const
{
    size_t bytes = chunks_.capacity() * sizeof(Chunk*) + lasts_.capacity() * sizeof(uint32_t);
    for (const Chunk* c : chunks_)
        bytes += sizeof(Chunk) + (c->cap - 1) * sizeof(uint32_t);
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Links

Links::~Links()
{
    FreeWords();
}

void Links::FreeWords()
{
    if (IsBig())
        delete GetBig();
    else if (cap_ > kInlineWords && !IsLent())
        std::free(Heap());
}

size_t Links::Total() const
{
    if (IsBig())
        return GetBig()->total;
    const uint32_t* w = Words();
    size_t total = 0;
    for (uint32_t at = 0; at < size_; at += 1 + CountOf(w[at]))
        total += CountOf(w[at]);
    return total;
}

void Links::Lend(uint32_t* words, uint32_t cap)
{
    if (IsBig() || cap <= Capacity() || cap > kSmallWords)
        return;
    std::memcpy(words, Words(), size_ * sizeof(uint32_t));
    FreeWords();
    SetHeap(words);
    cap_ = static_cast<uint16_t>(cap | kLent);
}

const IdList* Links::BigGroup(uint32_t type) const
{
    const Big* big = GetBig();
    auto it = std::lower_bound(big->groups.begin(), big->groups.end(), type,
                               [](const auto& g, uint32_t t) { return g.first < t; });
    if (it == big->groups.end() || it->first != type)
        return nullptr;
    return &it->second;
}

size_t Links::Count(uint32_t type) const
{
    if (IsBig()) {
        const IdList* l = BigGroup(type);
        return l ? l->Size() : 0;
    }
    const int64_t at = SmallFind(type);
    return at < 0 ? 0 : CountOf(Words()[at]);
}

bool Links::Contains(uint32_t type, uint32_t id) const
{
    if (IsBig()) {
        const IdList* l = BigGroup(type);
        return l && l->Contains(id);
    }
    const int64_t at = SmallFind(type);
    if (at < 0)
        return false;
    const uint32_t* first = Words() + at + 1;
    return std::binary_search(first, first + CountOf(first[-1]), id);
}

uint32_t Links::BigFirst(uint32_t type) const
{
    const IdList* l = BigGroup(type);
    return l ? l->First() : 0;
}

void Links::Reserve(uint32_t words, bool exact)
{
    const uint32_t old = Capacity();
    if (words <= old)
        return;
    // Doubling while small keeps reallocations few for the typical item with a dozen partners;
    // starting from eight words keeps the sizes on powers of two, which the allocator serves
    // without waste. An array leaving a lent one grows from what it holds: a loader lends what
    // the links may take at most.
    const uint32_t base = IsLent() ? size_ : old;
    const uint32_t grown = base < 8 ? 8 : base < 64 ? base * 2 : base + base / 2;
    const uint32_t cap = exact ? words : std::max<uint32_t>(words, grown);
    if (cap_ <= kInlineWords || IsLent()) {
        void* mem = std::malloc(cap * sizeof(uint32_t));
        if (!mem)
            throw std::bad_alloc();
        std::memcpy(mem, Words(), size_ * sizeof(uint32_t));
        SetHeap(static_cast<uint32_t*>(mem));
    } else {
        void* mem = std::realloc(Heap(), cap * sizeof(uint32_t));
        if (!mem)
            throw std::bad_alloc();
        SetHeap(static_cast<uint32_t*>(mem));
    }
    cap_ = static_cast<uint16_t>(cap);
}

void Links::MakeBig()
{
    Big* big = new Big;
    const uint32_t* w = Words();
    uint32_t at = 0;
    while (at < size_) {
        IdList list;
        const uint32_t n = CountOf(w[at]);
        for (uint32_t k = 0; k < n; ++k)
            list.Insert(w[at + 1 + k]);
        big->groups.emplace_back(TypeOf(w[at]), std::move(list));
        big->total += n;
        at += 1 + n;
    }
    FreeWords();
    size_ = 0;
    cap_ = kBigCap;
    SetBig(big);
}

bool Links::InsertSorted(uint32_t type, uint32_t id)
{
    if (!IsBig() && uint32_t(size_) + 2 > kSmallWords)
        MakeBig();
    if (IsBig()) {
        auto& groups = GetBig()->groups;
        auto it = std::lower_bound(groups.begin(), groups.end(), type,
                                   [](const auto& g, uint32_t t) { return g.first < t; });
        if (it == groups.end() || it->first != type)
            it = groups.emplace(it, type, IdList());
        if (!it->second.Insert(id))
            return false;
        ++GetBig()->total;
        return true;
    }
    const uint32_t* w = Words();
    uint32_t at = 0;
    while (at < size_ && TypeOf(w[at]) < type)
        at += 1 + CountOf(w[at]);
    uint32_t offset;
    uint32_t words;
    if (at < size_ && TypeOf(w[at]) == type) {
        const uint32_t end = at + 1 + CountOf(w[at]);
        // Partners mostly arrive in id order: check the end of the group before searching it.
        if (w[end - 1] < id) {
            offset = end;
        } else {
            const uint32_t* pos = std::lower_bound(w + at + 1, w + end, id);
            if (*pos == id)
                return false;
            offset = static_cast<uint32_t>(pos - w);
        }
        words = 1;
    } else {
        offset = at;
        words = 2;
    }
    Reserve(size_ + words);
    uint32_t* m = Words();
    if (offset < size_)
        std::memmove(m + offset + words, m + offset, (size_ - offset) * sizeof(uint32_t));
    if (words == 1) {
        m[offset] = id;
        ++m[at]; // the count, in the low bits
    } else {
        m[offset] = Header(type, 1);
        m[offset + 1] = id;
    }
    size_ = static_cast<uint16_t>(size_ + words);
    return true;
}

bool Links::Erase(uint32_t type, uint32_t id)
{
    if (IsBig()) {
        auto& groups = GetBig()->groups;
        auto it = std::lower_bound(groups.begin(), groups.end(), type,
                                   [](const auto& g, uint32_t t) { return g.first < t; });
        if (it == groups.end() || it->first != type || !it->second.Erase(id))
            return false;
        if (it->second.IsEmpty())
            groups.erase(it);
        --GetBig()->total;
        return true;
    }
    const int64_t found = SmallFind(type);
    if (found < 0)
        return false;
    uint32_t* w = Words();
    const uint32_t at = static_cast<uint32_t>(found);
    const uint32_t n = CountOf(w[at]);
    uint32_t* first = w + at + 1;
    uint32_t* pos = std::lower_bound(first, first + n, id);
    if (pos == first + n || *pos != id)
        return false;
    if (n == 1) {
        std::memmove(w + at, w + at + 2, (size_ - at - 2) * sizeof(uint32_t));
        size_ -= 2;
    } else {
        const uint32_t offset = static_cast<uint32_t>(pos - w);
        std::memmove(w + offset, w + offset + 1, (size_ - offset - 1) * sizeof(uint32_t));
        --w[at]; // the count, in the low bits
        --size_;
    }
    if (cap_ <= kInlineWords)
        return true;
    if (size_ == 0) {
        FreeWords();
        cap_ = kInlineWords;
    } else if (!IsLent() && cap_ > 16 && size_ < cap_ / 4) {
        const uint16_t cap = cap_ / 2;
        if (void* mem = std::realloc(Heap(), cap * sizeof(uint32_t))) {
            SetHeap(static_cast<uint32_t*>(mem));
            cap_ = cap;
        }
    }
    return true;
}

void Links::Types(std::vector<uint32_t>& out) const
{
    out.clear();
    if (IsBig()) {
        for (const auto& g : GetBig()->groups)
            out.push_back(g.first);
        return;
    }
    const uint32_t* w = Words();
    uint32_t at = 0;
    while (at < size_) {
        out.push_back(TypeOf(w[at]));
        at += 1 + CountOf(w[at]);
    }
}

void Links::Ids(uint32_t type, std::vector<uint32_t>& out) const
{
    out.clear();
    out.reserve(Count(type));
    ForEach(type, [&out](uint32_t id) { out.push_back(id); });
}

size_t Links::MemoryUse() const
{
    if (cap_ <= kInlineWords)
        return 0;
    if (!IsBig())
        return Capacity() * sizeof(uint32_t);
    const Big* big = GetBig();
    size_t bytes = sizeof(Big) + big->groups.capacity() * sizeof(big->groups[0]);
    for (const auto& g : big->groups)
        bytes += g.second.MemoryUse();
    return bytes;
}

} // namespace storeimpl

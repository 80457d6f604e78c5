#include "store/Data.h"

#include "store/Pages.h"
#include "store/SlicedJob.h"
#include "store/SweepRun.h"

#include <QtDebug>
#include <QtEndian>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

Data d;

namespace {

std::string Quoted(const std::string& name)
{
    return "\"" + name + "\"";
}

} // namespace

bool TypeOrder::operator()(const Type* a, const Type* b) const
{
    return a->Id() < b->Id();
}

bool ItemOrder::operator()(const Item* a, const Item* b) const
{
    return a->Id() < b->Id();
}

// ---------------------------------------------------------------------------------------------
// Events and handlers

int EventHandlerRoot::depth_ = 0;
std::vector<EventHandlerRoot*> EventHandlerRoot::retired_;

void EventHandlerRoot::Release()
{
    if (--refs_ > 0)
        return;
    if (depth_ > 0)
        retired_.push_back(this);
    else
        delete this;
}

EventHandlerRoot::NotifyScope::~NotifyScope()
{
    if (--depth_ == 0)
        FreeRetired();
}

void EventHandlerRoot::FreeRetired()
{
    while (!retired_.empty()) {
        std::vector<EventHandlerRoot*> batch;
        batch.swap(retired_);
        for (EventHandlerRoot* h : batch)
            delete h;
    }
}

DataHandler::~DataHandler()
{
    RemoveDataHandlers();
}

void DataHandler::RemoveDataHandlers()
{
    std::vector<EventHandlerRoot*> handlers;
    handlers.swap(handlers_);
    for (EventHandlerRoot* h : handlers) {
        h->MarkRemoved();
        h->Release();
    }
}

void DataHandler::AddDataHandler(EventHandlerRoot* handler)
{
    if (!handler || std::find(handlers_.begin(), handlers_.end(), handler) != handlers_.end())
        return;
    handler->Retain();
    handlers_.push_back(handler);
}

void DataHandler::RetireDataHandler(EventHandlerRoot* handler)
{
    auto it = std::find(handlers_.begin(), handlers_.end(), handler);
    if (it == handlers_.end())
        return;
    handlers_.erase(it);
    handler->MarkRemoved();
    handler->Release();
}

// ---------------------------------------------------------------------------------------------
// Data

Data::Data()
{
    items_.push_back(nullptr);
}

Data::~Data()
{
    // Process exit or a test tearing the store down: free everything without telling anyone.
    ReleasePathTables(connectionPaths_);
    ReleasePathTables(disconnectionPaths_);
    for (Item* item : items_) {
        if (item && (item->flags_ & Item::InBlock))
            item->~Item();
        else
            delete item;
    }
    items_.clear();
    for (void* block : loadBlocks_)
        std::free(block);
    loadBlocks_.clear();
    for (Type* type : types_)
        delete type;
    types_.clear();
}

void Data::CheckFailed(const char* what)
{
    qCritical("Object store: failed check: %s", what);
}

Data::Batch::~Batch()
{
    --data_->batch_;
}

Data::Survival::Survival(const Data* data, const Item* first, const Item* second)
    : data_(data), removals_(data->removals_), first_(first), second_(second), firstId_(first->id_),
      secondId_(second->id_)
{
}

std::string_view Data::KeepText(std::string_view value)
{
    constexpr size_t kBlock = size_t(1) << 20;
    const size_t need = value.size() + 1;
    if (size_t(keptTextEnd_ - keptText_) < need) {
        const size_t size = std::max(kBlock, need);
        loadBlocks_.reserve(loadBlocks_.size() + 1);
        keptText_ = static_cast<char*>(std::malloc(size));
        if (!keptText_)
            throw std::bad_alloc();
        loadBlocks_.push_back(keptText_);
        keptTextEnd_ = keptText_ + size;
    }
    char* text = keptText_;
    std::memcpy(text, value.data(), value.size());
    text[value.size()] = '\0';
    keptText_ += need;
    return std::string_view(text, value.size());
}

uint32_t Data::NewItemId()
{
    if (!pendingIds_.empty() && batch_ == 0 && !EventHandlerRoot::IsNotifying()) {
        freeIds_.insert(freeIds_.end(), pendingIds_.rbegin(), pendingIds_.rend());
        pendingIds_.clear();
    }
    if (!freeIds_.empty()) {
        const uint32_t id = freeIds_.back();
        freeIds_.pop_back();
        return id;
    }
    if (items_.size() >= UINT32_MAX)
        throw std::bad_alloc();
    // A quarter more at a time: for a big store the table is tens of megabytes, and doubling
    // would leave up to half of it unused.
    if (items_.size() == items_.capacity())
        items_.reserve(items_.size() + items_.size() / 4 + 64);
    items_.push_back(nullptr);
    return static_cast<uint32_t>(items_.size() - 1);
}

void Data::FreeItemId(uint32_t id)
{
    items_[id] = nullptr;
    pendingIds_.push_back(id);
}

Item::Item(Type* type, uint32_t id, std::string_view value, bool borrowed, uint8_t flags)
    : type_(type), id_(id), flags_(flags),
      // A key that borrows the name it was made for reads in lower case all the same.
      value_(!borrowed         ? ItemText(value)
             : type->foldCase_ ? ItemText(ItemText::BorrowLowerCase{}, value.data(), value.size())
                               : ItemText(ItemText::Borrow{}, value.data(), value.size()))
{
}

Item* Data::NewItemObject(Type* type, uint32_t id, std::string_view value, bool borrowed)
{
    void* slot = nullptr;
    if (unusedSlots_ < unusedSlotsEnd_) {
        slot = unusedSlots_;
        unusedSlots_ += sizeof(Item);
    } else if (freeSlots_) {
        slot = freeSlots_;
        std::memcpy(&freeSlots_, slot, sizeof freeSlots_);
    } else if (loading_ > 0) {
        // An eighth of the store at a time, so that what is left unused at the end is small.
        ReserveItemSlots(std::clamp<size_t>(itemCount_ / 8, 256, 65536));
        slot = unusedSlots_;
        unusedSlots_ += sizeof(Item);
    } else {
        return new Item(type, id, value, borrowed, 0);
    }
    return new (slot) Item(type, id, value, borrowed, Item::InBlock);
}

void Data::DeleteItemObject(Item* item)
{
    if (!(item->flags_ & Item::InBlock)) {
        delete item;
        return;
    }
    item->~Item();
    void* slot = item;
    std::memcpy(slot, &freeSlots_, sizeof freeSlots_);
    freeSlots_ = slot;
}

void Data::ReserveItemSlots(size_t count)
{
    if (count == 0)
        return;
    if (count > SIZE_MAX / sizeof(Item))
        throw std::bad_alloc();
    loadBlocks_.reserve(loadBlocks_.size() + 1);
    char* block = static_cast<char*>(std::malloc(count * sizeof(Item)));
    if (!block)
        throw std::bad_alloc();
    loadBlocks_.push_back(block);
    if (count * sizeof(Item) >= storeimpl::kPopulateMin)
        storeimpl::PopulateSoon(block, count * sizeof(Item));
    // What is left of an earlier block goes to the free slots.
    for (; unusedSlots_ < unusedSlotsEnd_; unusedSlots_ += sizeof(Item)) {
        std::memcpy(unusedSlots_, &freeSlots_, sizeof freeSlots_);
        freeSlots_ = unusedSlots_;
    }
    unusedSlots_ = block;
    unusedSlotsEnd_ = block + count * sizeof(Item);
}

uint32_t Data::HashName(std::string_view name)
{
    // The length and the first and last eight bytes, so that a name costs the same few steps
    // whatever its length; a name shorter than eight bytes is read byte by byte.
    uint64_t head = 0;
    uint64_t tail = 0;
    if (name.size() >= 8) {
        std::memcpy(&head, name.data(), 8);
        std::memcpy(&tail, name.data() + name.size() - 8, 8);
    } else {
        for (size_t k = 0; k < name.size(); ++k)
            head |= uint64_t(static_cast<unsigned char>(name[k])) << (8 * k);
    }
    uint64_t h = (name.size() * 0x9E3779B97F4A7C15ull) ^ head;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= (h >> 31) ^ tail;
    h *= 0x94D049BB133111EBull;
    h ^= h >> 29;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

void Data::IndexNames()
{
    size_t size = 16;
    while (size < 2 * types_.size())
        size *= 2;
    nameSlots_.assign(size, NameSlot{0, nullptr});
    for (Type* type : types_) {
        if (!type)
            continue;
        const uint32_t hash = HashName(type->name_);
        size_t at = hash & (size - 1);
        while (nameSlots_[at].type)
            at = (at + 1) & (size - 1);
        nameSlots_[at] = NameSlot{hash, type};
    }
}

Type* Data::NewType(const std::string& name, Primacy primacy, bool isNull, bool autoCreate,
                    ValueKind kind)
{
    if (HasType(name))
        throw TypeAlreadyExistsException("type " + Quoted(name) + " already exists");
    if (kind == ValueKind::Unset)
        throw ValueKindException("type " + Quoted(name) + " is declared without a value kind");
    if (isNull != (kind == ValueKind::None)) {
        throw ValueKindException("type " + Quoted(name) +
                                 (isNull ? " is null but declared with a value kind"
                                         : " has values but is declared with none"));
    }
    // An item's links keep a partner's type in part of a word.
    if (types_.size() >= storeimpl::Links::kMaxType)
        throw std::length_error("too many types");
    const uint32_t id = static_cast<uint32_t>(types_.size());
    Type* type = new Type(this, id, name, primacy, isNull, autoCreate, kind);
    types_.push_back(type);
    IndexNames();
    typeAddedEvent.Notify(type);
    return type;
}

Type* Data::GetType(std::string_view name) const
{
    Type* type = HasType(name);
    if (!type)
        throw TypeNotFoundException("no type " + Quoted(std::string(name)));
    return type;
}

Type* Data::HasType(std::string_view name) const
{
    if (nameSlots_.empty())
        return nullptr;
    const uint32_t hash = HashName(name);
    const size_t mask = nameSlots_.size() - 1;
    for (size_t at = hash & mask; nameSlots_[at].type; at = (at + 1) & mask) {
        const NameSlot& slot = nameSlots_[at];
        if (slot.hash == hash && slot.type->name_ == name)
            return slot.type;
    }
    return nullptr;
}

void Data::GetTypes(std::vector<Type*>& out) const
{
    out.clear();
    for (Type* type : types_) {
        if (type)
            out.push_back(type);
    }
}

std::vector<Type*> Data::GetTypes() const
{
    std::vector<Type*> out;
    GetTypes(out);
    return out;
}

void Data::GetTypeOwningTypes(const Type* type, TypeSet& out) const
{
    for (const Type::Relation& r : type->relations_) {
        if (r.info.owned)
            out.insert(r.other);
    }
}

void Data::AddConnectionEventHandler(Type* first, Type* second,
                                     EventHandlerBase<ConnectionInfo&>* handler)
{
    Type::Relation* r = first->FindRelation(second);
    if (!r)
        throw NotRelatedException(Quoted(first->name_) + " is not related to " +
                                  Quoted(second->name_));
    if (!r->onConnect)
        r->onConnect = std::make_unique<Event<ConnectionInfo&>>();
    first->pairHandlers_ = true;
    r->onConnect->Add(handler);
}

void Data::AddDisconnectionEventHandler(Type* first, Type* second,
                                        EventHandlerBase<ConnectionInfo&>* handler)
{
    Type::Relation* r = first->FindRelation(second);
    if (!r)
        throw NotRelatedException(Quoted(first->name_) + " is not related to " +
                                  Quoted(second->name_));
    if (!r->onDisconnect)
        r->onDisconnect = std::make_unique<Event<ConnectionInfo&>>();
    first->pairHandlers_ = true;
    r->onDisconnect->Add(handler);
}

void Data::NotifyConnectionEventHandlers(Item* x, Item* y)
{
    NotifyPairHandlers(x, y, &Type::Relation::onConnect);
}

void Data::NotifyDisconnectionEventHandlers(Item* x, Item* y)
{
    NotifyPairHandlers(x, y, &Type::Relation::onDisconnect);
}

void Data::NotifyPairHandlers(Item* x, Item* y, PairEvent Type::Relation::*table)
{
    Type* a = x->type_;
    Type* b = y->type_;
    if (!a->pairHandlers_ && !b->pairHandlers_)
        return;
    const Survival both(this, x, y);
    const Type::Relation* r = a->FindRelation(b);
    if (Event<ConnectionInfo&>* ev = r ? (r->*table).get() : nullptr) {
        ConnectionInfo info{x, y};
        ev->Notify(info);
        if (!both.Hold())
            return;
    }
    r = b->FindRelation(a);
    if (Event<ConnectionInfo&>* ev = r ? (r->*table).get() : nullptr) {
        ConnectionInfo info{y, x};
        ev->Notify(info);
    }
}

void Data::RemoveAllItems()
{
    // A sweep going on in slices has nothing left to look at.
    if (sweepRun_ && !sweepStepping_)
        EndSweep();
    std::vector<Type*> types;
    GetTypes(types);
    for (Type* type : types)
        type->RemoveAllItems();
    // Emptied, the store numbers its next items as a new store would: a host that empties it
    // between runs (a fuzz target) then sees the same ids, and so the same orders, in every run.
    // Not while a walk over ids or a notification is under way, which may still hold old ids.
    if (itemCount_ == 0 && batch_ == 0 && !EventHandlerRoot::IsNotifying()) {
        items_.assign(1, nullptr);
        freeIds_.clear();
        pendingIds_.clear();
        // No item is left to point into what the loads kept: it goes too, or a host that loads
        // into the emptied store again and again keeps every file it loaded.
        if (loading_ == 0) {
            for (void* block : loadBlocks_)
                std::free(block);
            loadBlocks_.clear();
            unusedSlots_ = unusedSlotsEnd_ = keptText_ = keptTextEnd_ = nullptr;
            freeSlots_ = nullptr;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Type

Type::Type(Data* owner, uint32_t id, std::string name, Primacy primacy, bool isNull,
           bool autoCreate, ValueKind kind)
    : owner_(owner), id_(id), name_(std::move(name)), primacy_(primacy), isNull_(isNull),
      autoCreate_(autoCreate), kind_(kind)
{
}

Type::Relation* Type::FindRelation(const Type* other)
{
    for (Relation& r : relations_) {
        if (r.other == other)
            return &r;
    }
    return nullptr;
}

const Type::Relation* Type::FindRelation(const Type* other) const
{
    for (const Relation& r : relations_) {
        if (r.other == other)
            return &r;
    }
    return nullptr;
}

Type::Relation& Type::SetRelation(Type* other, const RelationInfo& info)
{
    if (Relation* r = FindRelation(other)) {
        r->info = info;
        return *r;
    }
    auto at = std::lower_bound(relations_.begin(), relations_.end(), other->id_,
                               [](const Relation& r, uint32_t id) { return r.other->id_ < id; });
    return *relations_.insert(at, Relation{other, info, nullptr, nullptr});
}

void Type::RelateToType(Type* other, OneOrMany thisPerOther, OneOrMany otherPerThis, bool owns)
{
    if (FindRelation(other))
        throw AlreadyRelatedException(Quoted(name_) + " is already related to " +
                                      Quoted(other->name_));
    // An owning relation can make orphans of items nobody touched since the last sweep.
    owner_->SweepEverythingNext();
    SetRelation(other, RelationInfo{thisPerOther, otherPerThis, owns, false});
    other->SetRelation(this, RelationInfo{otherPerThis, thisPerOther, false, owns});
}

void Type::RelateToType(const char* otherName, OneOrMany thisPerOther, OneOrMany otherPerThis)
{
    RelateToType(owner_->GetType(otherName), thisPerOther, otherPerThis, false);
}

RelationInfo Type::GetRelation(const Type* other) const
{
    const Relation* r = FindRelation(other);
    if (!r)
        throw NotRelatedException(Quoted(name_) + " is not related to " + Quoted(other->name_));
    return r->info;
}

bool Type::IsRelated(const Type* other) const
{
    return FindRelation(other) != nullptr;
}

void Type::GetRelatedTypes(RelationMap& out) const
{
    out.clear();
    for (const Relation& r : relations_)
        out.emplace(r.other, r.info);
}

namespace {

// The eight bytes of word with ASCII capitals turned small, the others as they are.
inline uint64_t LowerAscii(uint64_t word)
{
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    const uint64_t low = word & (0x7F * kOnes);
    // The top bit of each byte: set from 'A' up, and past 'Z'; no byte carries into the next.
    const uint64_t fromA = low + (0x80 - 'A') * kOnes;
    const uint64_t pastZ = low + (0x80 - 'Z' - 1) * kOnes;
    const uint64_t capitals = fromA & ~pastZ & ~word & (0x80 * kOnes);
    return word | capitals >> 2;
}

inline char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

template <bool kFold> uint32_t Hash(std::string_view value)
{
    // Eight bytes a step, each step a multiply, and a full mix at the end: values of a type
    // often share long beginnings (paths), so every byte must reach every bit.
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    const char* at = value.data();
    size_t left = value.size();
    uint64_t h = left * kMul;
    while (left >= 8) {
        uint64_t word;
        std::memcpy(&word, at, 8);
        if (kFold)
            word = LowerAscii(word);
        h = (h ^ word) * kMul;
        h ^= h >> 32;
        at += 8;
        left -= 8;
    }
    uint64_t tail = 0;
    if (left > 0 && value.size() >= 8) {
        // The last eight bytes in one read, shifted down to the ones not taken yet: the same
        // word the loop below builds a byte at a time.
        tail = qFromLittleEndian<quint64>(at + left - 8) >> (8 * (8 - left));
    } else {
        for (size_t k = 0; k < left; ++k)
            tail |= uint64_t(static_cast<unsigned char>(at[k])) << (8 * k);
    }
    if (kFold)
        tail = LowerAscii(tail);
    h = (h ^ tail) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
    h *= 0x94D049BB133111EBull;
    h ^= h >> 29;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

} // namespace

uint32_t Type::HashValue(std::string_view value, bool foldCase)
{
    return foldCase ? Hash<true>(value) : Hash<false>(value);
}

bool Type::SameValue(std::string_view itemValue, std::string_view value) const
{
    if (!foldCase_ || itemValue.size() != value.size())
        return itemValue == value;
    for (size_t k = 0; k < value.size(); ++k) {
        if (LowerAscii(itemValue[k]) != LowerAscii(value[k]))
            return false;
    }
    return true;
}

Item* Type::FindValue(std::string_view value) const
{
    return valueSlots_.empty() ? nullptr : FindValue(value, HashOf(value));
}

Item* Type::FindValue(std::string_view value, uint32_t hash) const
{
    if (valueSlots_.empty())
        return nullptr;
    const size_t mask = valueSlots_.size() - 1;
    Item* const* items = owner_->items_.data();
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        const ValueSlot& slot = valueSlots_[at];
        if (!slot.id)
            return nullptr;
        if (slot.hash == hash && SameValue(items[slot.id]->value_.Held(), value))
            return items[slot.id];
    }
}

void Type::PrefetchValue(uint32_t hash) const
{
    if (!valueSlots_.empty())
        __builtin_prefetch(&valueSlots_[hash & (valueSlots_.size() - 1)]);
}

void Type::GrowValueIndex(size_t size)
{
    std::vector<ValueSlot> old;
    storeimpl::ReservePopulated(old, size);
    old.assign(size, ValueSlot{0, 0});
    old.swap(valueSlots_);
    const size_t mask = valueSlots_.size() - 1;
    for (const ValueSlot& slot : old) {
        if (!slot.id)
            continue;
        size_t at = slot.hash & mask;
        while (valueSlots_[at].id)
            at = (at + 1) & mask;
        valueSlots_[at] = slot;
    }
}

void Type::ReserveItems(size_t more)
{
    if (isNull_)
        return;
    size_t size = std::max<size_t>(16, valueSlots_.size());
    while ((valueCount_ + more) * 10 > size * 7)
        size *= 2;
    if (size != valueSlots_.size())
        GrowValueIndex(size);
}

Type::ValueRegions Type::GetValueRegions() const
{
    ValueRegions regions{valueSlots_.empty() ? 0 : valueSlots_.size() - 1, 0};
    while ((regions.mask >> regions.shift) >= (size_t(1) << ValueRegions::kBits))
        ++regions.shift;
    return regions;
}

void Type::IndexValues(const std::vector<ValueSlot>& made,
                       std::vector<std::pair<uint32_t, uint32_t>>& repeated)
{
    ReserveItems(made.size());
    const size_t mask = valueSlots_.size() - 1;
    Item* const* items = owner_->items_.data();
    constexpr size_t kAhead = 16;
    for (size_t k = 0; k < made.size(); ++k) {
        if (k + kAhead < made.size())
            __builtin_prefetch(&valueSlots_[made[k + kAhead].hash & mask], 1);
        const ValueSlot& e = made[k];
        for (size_t at = e.hash & mask;; at = (at + 1) & mask) {
            ValueSlot& slot = valueSlots_[at];
            if (!slot.id) {
                slot = e;
                ++valueCount_;
                break;
            }
            if (slot.hash == e.hash &&
                SameValue(items[slot.id]->value_.Held(), items[e.id]->value_.Held())) {
                repeated.emplace_back(e.id, slot.id);
                break;
            }
        }
    }
}

void Type::DropQuietly(Item* item)
{
    const uint32_t id = item->id_;
    ids_.Erase(id);
    owner_->FreeItemId(id);
    --owner_->itemCount_;
    ++owner_->removals_;
    owner_->DeleteItemObject(item);
}

void Type::IndexValue(Item* item, uint32_t hash)
{
    if ((valueCount_ + 1) * 10 > valueSlots_.size() * 7)
        GrowValueIndex(std::max<size_t>(16, valueSlots_.size() * 2));
    const size_t mask = valueSlots_.size() - 1;
    size_t at = hash & mask;
    while (valueSlots_[at].id)
        at = (at + 1) & mask;
    valueSlots_[at] = ValueSlot{item->id_, hash};
    ++valueCount_;
}

void Type::UnindexValue(Item* item)
{
    if (valueSlots_.empty())
        return;
    const size_t mask = valueSlots_.size() - 1;
    size_t at = HashOf(item->value_.Held()) & mask;
    while (valueSlots_[at].id != item->id_) {
        if (!valueSlots_[at].id)
            return;
        at = (at + 1) & mask;
    }
    // Shift later members of the probe run back, so that no lookup stops early at the hole.
    size_t hole = at;
    for (size_t next = (hole + 1) & mask; valueSlots_[next].id; next = (next + 1) & mask) {
        const size_t home = valueSlots_[next].hash & mask;
        const bool movable =
            hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
        if (movable) {
            valueSlots_[hole] = valueSlots_[next];
            hole = next;
        }
    }
    valueSlots_[hole] = ValueSlot{0, 0};
    --valueCount_;
}

Item* Type::MakeItem(std::string_view value)
{
    const uint32_t hash = isNull_ ? 0 : HashOf(value);
    return MakeItem(value, hash);
}

Item* Type::AddItem(std::string_view value, bool borrowed)
{
    Data* data = owner_;
    if (data->loading_ > 0 && !borrowed && value.size() > ItemText::kInlineSize) {
        value = data->KeepText(value);
        borrowed = true;
    }
    std::vector<Item*>& items = data->items_;
    // As a load makes its items: the next id at the end of the table, with room there, and the
    // next unused slot of its block, no freed id or slot to look at first.
    if (data->freeIds_.empty() && data->pendingIds_.empty() && items.size() < items.capacity() &&
        items.size() < UINT32_MAX && data->unusedSlots_ < data->unusedSlotsEnd_) {
        const uint32_t id = static_cast<uint32_t>(items.size());
        Item* item = new (data->unusedSlots_) Item(this, id, value, borrowed, Item::InBlock);
        data->unusedSlots_ += sizeof(Item);
        items.push_back(item);
        ++data->itemCount_;
        data->NoteMade(item);
        ids_.Insert(id);
        return item;
    }
    const uint32_t id = data->NewItemId();
    Item* item = data->NewItemObject(this, id, value, borrowed);
    owner_->items_[id] = item;
    ++owner_->itemCount_;
    data->NoteMade(item);
    ids_.Insert(id);
    return item;
}

Item* Type::MakeItem(std::string_view value, uint32_t hash, bool borrowed, bool keyed)
{
    Item* item = AddItem(value, borrowed);
    if (!isNull_)
        IndexValue(item, hash);
    if (keyType_ && keyed) {
        std::string key;
        key_(item->value_.View(), key);
        const uint32_t keyHash = keyType_->HashOf(key);
        Item* keyItem = keyType_->FindValue(key, keyHash);
        if (!keyItem)
            keyItem = keyType_->MakeItem(key, keyHash);
        ItemPtr(item) += ItemPtr(keyItem);
    }
    const Data::Survival made(owner_, item, item);
    itemAddedEvent.Notify(item);
    if (made.Hold())
        owner_->itemAddedEvent.Notify(item);
    return item;
}

void Type::KeyBy(Type* keyType, KeyFunction key, bool lowerCase)
{
    if (!FindRelation(keyType))
        throw NotRelatedException(Quoted(name_) + " is not related to " + Quoted(keyType->name_));
    keyType_ = keyType;
    key_ = key;
    if (keyType->foldCase_ == lowerCase)
        return;
    // The keys there are already, hashed as their values are now compared.
    keyType->foldCase_ = lowerCase;
    Item* const* items = owner_->items_.data();
    for (ValueSlot& slot : keyType->valueSlots_) {
        if (slot.id)
            slot.hash = keyType->HashOf(items[slot.id]->value_.Held());
    }
    if (!keyType->valueSlots_.empty())
        keyType->GrowValueIndex(keyType->valueSlots_.size());
}

void Type::LinkKeys(const std::vector<uint32_t>& ids)
{
    if (!keyType_ || ids.empty())
        return;
    Data* data = owner_;
    Type* keys = keyType_;
    const auto quiet = [](const Type* t) {
        return t->connectedEvent.IsEmpty() && t->disconnectedEvent.IsEmpty() && !t->pairHandlers_;
    };
    const bool quietlyMade = keys->itemAddedEvent.IsEmpty() && data->itemAddedEvent.IsEmpty();
    const bool quietlyLinked = data->connectedEvent.IsEmpty() &&
                               data->disconnectedEvent.IsEmpty() && quiet(this) && quiet(keys);
    // Nobody told of a change, nothing can change the relations.
    const Relation* r = quietlyMade && quietlyLinked ? FindRelation(keys) : nullptr;
    const Relation* back = quietlyMade && quietlyLinked ? keys->FindRelation(this) : nullptr;
    keys->ReserveItems(ids.size());
    storeimpl::ReservePopulated(data->items_, data->items_.size() + ids.size());
    data->ReserveItemSlots(ids.size());
    // The keys' hashes first, so that the index slot of a key a little further on is fetched
    // ahead: a million keys' slots lie all over the index.
    constexpr size_t kAhead = 16;
    std::string key;
    std::vector<uint32_t> hashes(ids.size());
    for (size_t j = 0; j < ids.size(); ++j) {
        key_(data->items_[ids[j]]->value_.View(), key);
        hashes[j] = keys->HashOf(key);
    }
    for (size_t j = 0; j < ids.size(); ++j) {
        if (j + kAhead < ids.size())
            keys->PrefetchValue(hashes[j + kAhead]);
        // Handlers told of keys made or linked may remove items.
        Item* item = data->ItemById(ids[j]);
        if (!item || item->type_ != this)
            continue;
        key_(item->value_.View(), key);
        Item* keyItem = keys->FindValue(key, hashes[j]);
        if (!keyItem) {
            // A key that is the item's own value (to the key type: in lower case, it may differ
            // by case), laid out where the store keeps it, is borrowed from there rather than
            // kept twice; it reads in lower case all the same.
            const bool same = item->value_.IsBorrowed() && keys->SameValue(item->value_, key);
            const std::string_view text = same ? item->value_.View() : std::string_view(key);
            if (quietlyMade) {
                keyItem = keys->AddItem(text, same);
                keys->IndexValue(keyItem, hashes[j]);
            } else {
                keyItem = keys->MakeItem(text, hashes[j], same);
            }
        }
        if (r && back)
            item->ConnectQuietly(keyItem, r->info, back->info);
        else
            ItemPtr(item) += ItemPtr(keyItem);
    }
}

ItemPtr Type::NewItem()
{
    if (!isNull_)
        throw NullTypeException(Quoted(name_) + " is not a null type");
    return MakeItem(std::string_view());
}

ItemPtr Type::NewItem(const Value& value)
{
    if (isNull_)
        throw NullTypeException(Quoted(name_) + " is a null type");
    if (Item* item = FindValue(value.Text()))
        return item;
    return MakeItem(value.Text());
}

ItemPtr Type::GetItem(const Value& value)
{
    if (isNull_)
        throw NullTypeException(Quoted(name_) + " is a null type");
    if (Item* item = FindValue(value.Text()))
        return item;
    if (!autoCreate_)
        return ItemPtr();
    return MakeItem(value.Text());
}

ItemPtr Type::HasItem(const Value& value) const
{
    if (isNull_)
        throw NullTypeException(Quoted(name_) + " is a null type");
    return FindValue(value.Text());
}

ItemPtr Type::GetGlobalNullItem()
{
    if (!isNull_)
        throw NullTypeException(Quoted(name_) + " is not a null type");
    if (!ids_.IsEmpty())
        return owner_->ItemById(ids_.First());
    return NewItem();
}

ItemSet Type::GetItems() const
{
    ItemSet set;
    set.entries_.reserve(ids_.Size());
    ids_.ForEach([&](uint32_t id) { set.entries_.push_back({id, owner_->items_[id]}); });
    return set;
}

void Type::GetItems(ItemSet& out) const
{
    if (isNull_ || out.IsEmpty()) {
        out = GetItems();
        return;
    }
    out.Add(GetItems());
}

void Type::RemoveAllItems()
{
    std::vector<Item*> items;
    items.reserve(ids_.Size());
    ids_.ForEach([&](uint32_t id) { items.push_back(owner_->items_[id]); });
    if (!isNull_) {
        std::stable_sort(items.begin(), items.end(),
                         [](const Item* a, const Item* b) { return a->value_ < b->value_; });
    }
    std::vector<uint32_t> ids;
    ids.reserve(items.size());
    for (const Item* item : items)
        ids.push_back(item->id_);
    Data::Batch batch(owner_);
    for (uint32_t id : ids) {
        Item* item = owner_->ItemById(id);
        if (item && item->type_ == this)
            item->Remove();
    }
}

void Type::Remove()
{
    RemoveAllItems();
    // Other types keep relation entries naming this type, so it stays allocated (and unused)
    // until the store itself goes.
    owner_->types_[id_] = nullptr;
    owner_->IndexNames();
    owner_->removedTypes_.emplace_back(this);
    owner_->typeRemovedEvent.Notify(this);
}

// ---------------------------------------------------------------------------------------------
// Item

void Item::PartnerIds(const Type* type, std::vector<uint32_t>& out) const
{
    links_.Ids(type->id_, out);
}

size_t Item::ConnectionCount(const Type* type) const
{
    return links_.Count(type->id_);
}

Item* Item::Connect(Item* y)
{
    if (!y) {
        Data::CheckFailed("connecting to a null item");
        return y;
    }
    Type* a = type_;
    Type* b = y->type_;
    y->links_.Prefetch();
    Data* data = a->owner_;
    const Type::Relation* r = a->FindRelation(b);
    if (!r)
        throw NotRelatedException(Quoted(a->name_) + " is not related to " + Quoted(b->name_));
    const uint32_t yid = y->id_;
    Data::Batch batch(data);
    const Data::Survival both(data, this, y);

    if (r->info.otherPerThis == One) {
        // A "one" end drops its old partner, with all the events of a disconnection, first.
        // Handlers of that disconnection may hang yet another partner there; drop that too.
        int rounds = 0;
        for (uint32_t old = links_.First(b->id_); old; old = links_.First(b->id_)) {
            if (old == yid || ++rounds > 8)
                return y;
            Disconnect(data->ItemById(old));
            if (!both.Hold())
                return y;
        }
        links_.Insert(b->id_, yid);
    } else if (!links_.Insert(b->id_, yid)) {
        return y; // already connected: nothing to tell
    }
    // From here this item holds y while y does not hold it yet. Whatever a handler does in the
    // meantime, the half-made link must not outlive y: y's own removal would not find it.
    const Type::Relation* back = b->FindRelation(a);
    if (back && back->info.otherPerThis == One) {
        int rounds = 0;
        for (uint32_t old = y->links_.First(a->id_); old && old != id_;
             old = y->links_.First(a->id_)) {
            y->Disconnect(data->ItemById(old));
            if (!both.Hold()) {
                if (both.HoldsFirst()) {
                    links_.Erase(b->id_, yid);
                    data->NoteLoose(this);
                }
                return y;
            }
            // A handler that undid this very connection meanwhile has the last word.
            if (!links_.Contains(b->id_, yid))
                return y;
            if (++rounds > 8) {
                Data::CheckFailed("handlers kept refilling a \"one\" end being connected");
                links_.Erase(b->id_, yid);
                data->NoteLoose(this);
                data->NoteLoose(y);
                return y;
            }
        }
    }
    y->links_.Insert(a->id_, id_);
    data->NoteLinked(this, y);

    if (!a->connectedEvent.IsEmpty()) {
        a->connectedEvent.Notify(ConnectionInfo{this, y});
        if (!both.Hold())
            return y;
    }
    if (!data->connectedEvent.IsEmpty()) {
        data->connectedEvent.Notify(ConnectionInfo{this, y});
        if (!both.Hold())
            return y;
    }
    if (!b->connectedEvent.IsEmpty()) {
        b->connectedEvent.Notify(ConnectionInfo{y, this});
        if (!both.Hold())
            return y;
    }
    data->NotifyConnectionEventHandlers(this, y);
    return y;
}

void Item::ConnectQuietly(Item* y, const RelationInfo& r, const RelationInfo& back)
{
    // What Connect does to the links, step for step, without the events.
    Type* a = type_;
    Type* b = y->type_;
    Data* data = a->owner_;
    const uint32_t yid = y->id_;
    if (r.otherPerThis == One) {
        for (uint32_t old = links_.First(b->id_); old; old = links_.First(b->id_)) {
            if (old == yid)
                return;
            links_.Erase(b->id_, old);
            data->items_[old]->links_.Erase(a->id_, id_);
            data->NoteLoose(this);
            data->NoteLoose(data->items_[old]);
        }
        links_.Insert(b->id_, yid);
    } else if (!links_.Insert(b->id_, yid)) {
        return;
    }
    if (back.otherPerThis == One) {
        for (uint32_t old = y->links_.First(a->id_); old && old != id_;
             old = y->links_.First(a->id_)) {
            y->links_.Erase(a->id_, old);
            data->items_[old]->links_.Erase(b->id_, yid);
            data->NoteLoose(y);
            data->NoteLoose(data->items_[old]);
        }
    }
    y->links_.Insert(a->id_, id_);
    data->NoteLinked(this, y);
}

void Item::Disconnect(Item* y)
{
    if (!y) {
        Data::CheckFailed("disconnecting from a null item");
        return;
    }
    Type* a = type_;
    Type* b = y->type_;
    Data* data = a->owner_;
    y->links_.Prefetch();
    links_.Erase(b->id_, y->id_);
    y->links_.Erase(a->id_, id_);
    data->NoteLoose(this);
    data->NoteLoose(y);

    Data::Batch batch(data);
    const Data::Survival both(data, this, y);
    if (!a->disconnectedEvent.IsEmpty()) {
        a->disconnectedEvent.Notify(ConnectionInfo{this, y});
        if (!both.Hold())
            return;
    }
    if (!data->disconnectedEvent.IsEmpty()) {
        data->disconnectedEvent.Notify(ConnectionInfo{this, y});
        if (!both.Hold())
            return;
    }
    if (!b->disconnectedEvent.IsEmpty()) {
        b->disconnectedEvent.Notify(ConnectionInfo{y, this});
        if (!both.Hold())
            return;
    }
    data->NotifyDisconnectionEventHandlers(this, y);
}

void Item::ReserveLinks(const Type* type, size_t count)
{
    if (count > 0 && count < storeimpl::Links::kSmallWords)
        links_.ReservePartners(type->id_, static_cast<uint32_t>(count));
}

void Item::Disconnect(const char* typeName)
{
    Data* data = type_->owner_;
    Type* t = data->GetType(typeName);
    std::vector<uint32_t> ids;
    links_.Ids(t->id_, ids);
    if (ids.empty())
        return;
    const uint32_t xid = id_;
    Data::Batch batch(data);
    for (uint32_t id : ids) {
        if (data->ItemById(xid) != this)
            return;
        if (Item* partner = data->ItemById(id))
            Disconnect(partner);
    }
}

bool Item::IsConnected(const Item* y) const
{
    // Asked of this item's own side: while a connection is half made (the partner's old link
    // being dropped first), this item already holds the partner and the partner not yet this.
    return y && links_.Contains(y->type_->id_, y->id_);
}

bool Item::IsConnected(const Type* type) const
{
    return type && links_.Count(type->id_) > 0;
}

bool Item::IsConnected(const char* typeName) const
{
    return IsConnected(type_->owner_->GetType(typeName));
}

Item* Item::HasItem(const char* typeName) const
{
    return HasItem(type_->owner_->GetType(typeName));
}

Item* Item::HasItem(const Type* type) const
{
    return type_->owner_->ItemById(links_.First(type->id_));
}

Item* Item::NewItem(const char* typeName)
{
    Data* data = type_->owner_;
    Type* t = data->GetType(typeName);
    const RelationInfo rel = type_->GetRelation(t);
    if (!t->isNull_)
        throw NullTypeException(Quoted(t->name_) + " is not a null type");
    if (rel.otherPerThis == Many)
        return Connect(t->NewItem());
    if (Item* partner = data->ItemById(links_.First(t->id_)))
        return partner;
    if (rel.thisPerOther == Many)
        return Connect(t->GetGlobalNullItem());
    return Connect(t->NewItem());
}

void Item::CheckRelated(const Type* type) const
{
    if (!type_->IsRelated(type))
        throw NotRelatedException(Quoted(type_->name_) + " is not related to " +
                                  Quoted(type->name_));
}

void Item::GetItems(const char* typeName, ItemSet& out) const
{
    Data* data = type_->owner_;
    const Type* t = data->GetType(typeName);
    CheckRelated(t);
    if (links_.Count(t->id_) == 0)
        return;
    out.entries_.clear();
    out.entries_.reserve(links_.Count(t->id_));
    links_.ForEach(t->id_, [&](uint32_t id) { out.entries_.push_back({id, data->items_[id]}); });
}

void Item::GetConnectedItems(ConnectionMap& out) const
{
    out.clear();
    Data* data = type_->owner_;
    std::vector<uint32_t> types;
    links_.Types(types);
    for (uint32_t t : types) {
        ItemSet& set = out[data->TypeById(t)];
        links_.ForEach(t, [&](uint32_t id) { set.entries_.push_back({id, data->items_[id]}); });
    }
}

bool Item::NumberCheck() const
{
    if (type_->isNull_) {
        Data::CheckFailed("a number read from an item of a null type");
        return false;
    }
    return true;
}

int Item::AsInt() const
{
    return NumberCheck() ? static_cast<int>(std::strtol(value_.c_str(), nullptr, 10)) : 0;
}

unsigned Item::AsUInt() const
{
    return NumberCheck() ? static_cast<unsigned>(std::strtoul(value_.c_str(), nullptr, 10)) : 0;
}

qint64 Item::AsInt64() const
{
    return NumberCheck() ? std::strtoll(value_.c_str(), nullptr, 10) : 0;
}

quint64 Item::AsUInt64() const
{
    return NumberCheck() ? std::strtoull(value_.c_str(), nullptr, 10) : 0;
}

quintptr Item::AsAddress() const
{
    return static_cast<quintptr>(std::strtoull(value_.c_str(), nullptr, 10));
}

void Item::Remove()
{
    if (flags_ & Removing)
        return;
    flags_ |= Removing;
    Type* type = type_;
    Data* data = type->owner_;
    const uint32_t id = id_;
    Data::Batch batch(data);
    struct Removal
    {
        int& count;
        explicit Removal(int& c) : count(c) { ++count; }
        ~Removal() { --count; }
    } removal(data->removingNow_);

    type->ids_.Erase(id);
    if (!type->isNull_)
        type->UnindexValue(this);

    // Handlers still see the value and every connection.
    type->itemRemovedEvent.Notify(this);
    data->itemRemovedEvent.Notify(this);

    // Handlers of the disconnections may connect the item again; a few rounds settle any sane
    // handler, and whatever is left after that is dropped without events.
    std::vector<uint32_t> types;
    std::vector<uint32_t> ids;
    for (int round = 0; round < 8 && !links_.IsEmpty(); ++round) {
        links_.Types(types);
        for (uint32_t t : types) {
            links_.Ids(t, ids);
            for (uint32_t partnerId : ids) {
                if (Item* partner = data->ItemById(partnerId))
                    Disconnect(partner);
            }
        }
    }
    if (!links_.IsEmpty()) {
        Data::CheckFailed("handlers kept connecting an item that is being removed");
        links_.Types(types);
        for (uint32_t t : types) {
            links_.Ids(t, ids);
            for (uint32_t partnerId : ids) {
                if (Item* partner = data->ItemById(partnerId)) {
                    partner->links_.Erase(type->id_, id);
                    data->NoteLoose(partner);
                }
                links_.Erase(t, partnerId);
            }
        }
    }
    data->FreeItemId(id);
    --data->itemCount_;
    ++data->removals_;
    data->DeleteItemObject(this);
}

void Item::GetUniqueItems(std::map<Item*, Path, ItemOrder>& found)
{
    GetUniqueItemsFromOrTo(Path(), found, true);
}

void Item::GetUniqueToItems(std::map<Item*, Path, ItemOrder>& found)
{
    GetUniqueItemsFromOrTo(Path(), found, false);
}

void Item::GetUniqueItemsFromOrTo(const Path& path, std::map<Item*, Path, ItemOrder>& found,
                                  bool from)
{
    // Depth first, as a recursion would go, but on an explicit stack: a chain of items can be
    // as long as the store is big.
    struct Frame
    {
        Path path;
        std::vector<Item*> next;
        size_t at = 0;
    };
    Data* data = type_->owner_;
    std::vector<Frame> stack;
    auto enter = [&](Item* x, const Path& before) {
        Frame f;
        f.path = before;
        f.path.push_back(x);
        found[x] = f.path;
        std::vector<uint32_t> types;
        x->links_.Types(types);
        for (uint32_t t : types) {
            Type* other = data->TypeById(t);
            const Type::Relation* r = x->type_->FindRelation(other);
            if (!r)
                continue;
            const bool follow = from ? r->info.otherPerThis == One : r->info.thisPerOther == One;
            if (follow)
                x->links_.ForEach(t, [&](uint32_t id) { f.next.push_back(data->items_[id]); });
        }
        stack.push_back(std::move(f));
    };
    enter(this, path);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.at == top.next.size()) {
            stack.pop_back();
            continue;
        }
        Item* next = top.next[top.at++];
        if (found.count(next))
            continue;
        const Path before = top.path;
        enter(next, before);
    }
}

// ---------------------------------------------------------------------------------------------
// ItemPtr

ItemPtr ItemPtr::operator[](const char* typeName) const
{
    return item_ ? item_->HasItem(typeName) : nullptr;
}

ItemPtr ItemPtr::HasItem(const char* typeName) const
{
    return item_ ? item_->HasItem(typeName) : nullptr;
}

ItemPtr ItemPtr::GetItem(const char* typeName) const
{
    return item_ ? item_->HasItem(typeName) : nullptr;
}

ItemPtr ItemPtr::NewItem(const char* typeName) const
{
    return item_ ? item_->NewItem(typeName) : nullptr;
}

ItemSet ItemPtr::GetItems(const char* typeName) const
{
    ItemSet set;
    if (item_)
        item_->GetItems(typeName, set);
    return set;
}

void ItemPtr::GetItems(const char* typeName, ItemSet& out) const
{
    if (item_)
        item_->GetItems(typeName, out);
    else
        out.Clear();
}

ItemPtr ItemPtr::Connect(ItemPtr other) const
{
    if (item_ && other.item_)
        item_->Connect(other.item_);
    return other;
}

void ItemPtr::Disconnect(ItemPtr other) const
{
    if (item_ && other.item_)
        item_->Disconnect(other.item_);
}

ItemPtr ItemPtr::operator-=(ItemPtr other) const
{
    Disconnect(other);
    return other;
}

void ItemPtr::Disconnect(const char* typeName) const
{
    if (item_)
        item_->Disconnect(typeName);
}

void ItemPtr::Remove() const
{
    if (item_)
        item_->Remove();
}

bool ItemPtr::IsConnected(ItemPtr other) const
{
    return item_ && item_->IsConnected(other.item_);
}

bool ItemPtr::IsConnected(Type* type) const
{
    return item_ && item_->IsConnected(type);
}

bool ItemPtr::IsConnected(const char* typeName) const
{
    return item_ && item_->IsConnected(typeName);
}

bool ItemPtr::IsDisconnectedFromAll() const
{
    return !item_ || item_->IsDisconnectedFromAll();
}

std::string ItemPtr::AsString() const
{
    return item_ ? item_->AsString().str() : std::string();
}

const char* ItemPtr::AsCStr() const
{
    return item_ ? item_->AsCStr() : "";
}

int ItemPtr::AsInt() const
{
    return item_ ? item_->AsInt() : 0;
}

unsigned ItemPtr::AsUInt() const
{
    return item_ ? item_->AsUInt() : 0;
}

qint64 ItemPtr::AsInt64() const
{
    return item_ ? item_->AsInt64() : 0;
}

quint64 ItemPtr::AsUInt64() const
{
    return item_ ? item_->AsUInt64() : 0;
}

quintptr ItemPtr::AsAddress() const
{
    return item_ ? item_->AsAddress() : 0;
}

// ---------------------------------------------------------------------------------------------
// Free functions

ItemSet g(const char* typeName)
{
    return d.GetType(typeName)->GetItems();
}

ItemSet i(const char* typeName, const std::string& value)
{
    ItemPtr item = d.GetType(typeName)->HasItem(value);
    return item ? ItemSet(item.Get()) : ItemSet();
}

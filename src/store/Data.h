#pragma once

// The object store: typed items joined by connections. All of the client's state lives here.
// Used on the GUI thread only.
//
// Every item has a 32-bit id, its slot in the store. Item sets, the partners of an item and the
// items of a type are all kept and walked in id order, and types in declaration order, so that
// a run repeats exactly and saved files come out the same. Ids of removed items are used again
// for later items, but never while a store operation is still walking a copy of ids.

#include "store/Events.h"
#include "store/ItemLinks.h"
#include "store/ItemText.h"
#include "store/Services.h"

#include <QtGlobal>

#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

class Data;
class Type;
class Item;
class ItemPtr;
class ItemSet;
class PathNode;
class SlicedJob;

// Primacy of a type, as the garbage sweep sees it.
enum Primacy
{
    RootPrimacy = 0,      // roots: items stay while they exist
    ReachablePrimacy = 1, // kept while a root reaches them
    ValuePrimacy = 2      // value items: kept while reached, never walked out of
};

// What a type's values are, which decides how the window shows them and how it stores what a
// user types. Each type is declared with its kind; Unset, what a table row that names none
// holds, is refused.
enum class ValueKind : uint8_t
{
    Unset = 0,
    None,    // a null type: its items have no value
    Name,    // a user or group name: the server's bytes, each one Latin-1 character
    Utf8,    // text people write and read: chat, room names, search texts, notes, reasons
    Path,    // a file or folder name or path, ours or a peer's: UTF-8 bytes
    Number,  // a decimal integer
    Time,    // a local date and time in the clock's text form
    Word,    // a word or code of a fixed set, ASCII: a key, a status, "yes", a country code
    Address, // a live object's address (a widget, a socket, a heap record); never saved
    ByKey    // whatever its key holds: a setting's text is a name, a path or a number by key
};

enum OneOrMany
{
    One = 0,
    Many = 1
};

struct RelationInfo
{
    OneOrMany thisPerOther = Many; // items of this type one item of the other type may hold
    OneOrMany otherPerThis = Many; // items of the other type one item of this type may hold
    bool owns = false;             // this type owns the other type
    bool owned = false;            // the other type owns this type
};

// Misuse of the store. Each marks a programming error.
class StoreException : public std::exception
{
public:
    explicit StoreException(std::string what) : what_(std::move(what)) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

class TypeAlreadyExistsException : public StoreException
{
public:
    using StoreException::StoreException;
};
class TypeNotFoundException : public StoreException
{
public:
    using StoreException::StoreException;
};
class AlreadyRelatedException : public StoreException
{
public:
    using StoreException::StoreException;
};
class NotRelatedException : public StoreException
{
public:
    using StoreException::StoreException;
};
class NullTypeException : public StoreException
{
public:
    using StoreException::StoreException;
};
// A type declared without the kind of its value, or with a kind its null flag contradicts.
class ValueKindException : public StoreException
{
public:
    using StoreException::StoreException;
};

// Orders types by declaration, so walks over types repeat from run to run.
struct TypeOrder
{
    bool operator()(const Type* a, const Type* b) const;
};
// Orders items by id.
struct ItemOrder
{
    bool operator()(const Item* a, const Item* b) const;
};

using RelationMap = std::map<Type*, RelationInfo, TypeOrder>;
using TypeSet = std::set<Type*, TypeOrder>;
using ItemList = std::vector<Item*>;
using Path = std::vector<Item*>;

// The key by which an item of a non-null type is found or made.
class Value
{
public:
    Value(const std::string& text) : text_(text) {}
    Value(std::string&& text) : text_(std::move(text)) {}
    Value(const char* text) : text_(text ? text : "") {}
    Value(char* text) : text_(text ? text : "") {}
    Value(const ItemText& text) : text_(text.View()) {}
    Value(int n) : text_(std::to_string(n)) {}
    Value(unsigned n) : text_(std::to_string(n)) {}
    Value(long n) : text_(std::to_string(n)) {}
    Value(unsigned long n) : text_(std::to_string(n)) {}
    Value(long long n) : text_(std::to_string(n)) {}
    Value(unsigned long long n) : text_(std::to_string(n)) {}
    // A live object (a socket, a file, a tree row) is tied to an item by its address, written
    // in unsigned decimal as a 64-bit number.
    template <class T, class = std::enable_if_t<!std::is_same_v<std::remove_cv_t<T>, char>>>
    Value(T* object)
        : text_(std::to_string(static_cast<quint64>(reinterpret_cast<quintptr>(object))))
    {
    }

    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

class ItemPtr
{
public:
    ItemPtr(Item* item = nullptr) : item_(item) {}

    Item* Get() const { return item_; }
    Item* operator->() const { return item_; }
    operator Item*() const { return item_; }
    bool IsNull() const { return item_ == nullptr; }

    // The first partner of that type, or a null handle (also on a null handle).
    ItemPtr operator[](const char* typeName) const;
    ItemPtr HasItem(const char* typeName) const;
    ItemPtr GetItem(const char* typeName) const;
    ItemPtr NewItem(const char* typeName) const;
    ItemSet GetItems(const char* typeName) const;
    void GetItems(const char* typeName, ItemSet& out) const;

    // Connect and disconnect return the right-hand handle, so that reads can be chained.
    ItemPtr Connect(ItemPtr other) const;
    ItemPtr operator+=(ItemPtr other) const { return Connect(other); }
    void Disconnect(ItemPtr other) const;
    ItemPtr operator-=(ItemPtr other) const;
    void Disconnect(const char* typeName) const;
    void Remove() const;

    bool IsConnected(ItemPtr other) const;
    bool IsConnected(Type* type) const;
    bool IsConnected(const char* typeName) const;
    bool IsDisconnectedFromAll() const;

    std::string AsString() const;
    const char* AsCStr() const;
    int AsInt() const;
    unsigned AsUInt() const;
    qint64 AsInt64() const;
    quint64 AsUInt64() const;
    // The address kept in the value of an item made from a pointer.
    quintptr AsAddress() const;
    template <class T> T* AsPointer() const { return reinterpret_cast<T*>(AsAddress()); }

private:
    Item* item_;
};

// A set of items, iterated in id order. Each member is kept with its id, so that ordering,
// lookups and set algebra compare ids and never read an item, not even one removed since the
// set was made. Operations that hand out a set or a list, or act on the members, leave out any
// member that is no longer in the store.
class ItemSet
{
public:
    struct Entry
    {
        uint32_t id;
        Item* item;
    };

    class const_iterator
    {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Item*;
        using difference_type = std::ptrdiff_t;
        using pointer = Item* const*;
        using reference = Item*;

        explicit const_iterator(const Entry* at = nullptr) : at_(at) {}
        Item* operator*() const { return at_->item; }
        const_iterator& operator++()
        {
            ++at_;
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator before = *this;
            ++at_;
            return before;
        }
        bool operator==(const const_iterator& other) const { return at_ == other.at_; }
        bool operator!=(const const_iterator& other) const { return at_ != other.at_; }

    private:
        const Entry* at_;
    };

    ItemSet() = default;
    explicit ItemSet(Item* item);

    const_iterator begin() const { return const_iterator(entries_.data()); }
    const_iterator end() const { return const_iterator(entries_.data() + entries_.size()); }
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    size_t Size() const { return entries_.size(); }
    bool IsEmpty() const { return entries_.empty(); }
    Item* First() const { return entries_.empty() ? nullptr : entries_.front().item; }
    bool Contains(const Item* item) const;
    bool Insert(Item* item);
    bool Erase(Item* item);
    void Clear() { entries_.clear(); }
    bool operator==(const ItemSet& other) const;
    bool operator!=(const ItemSet& other) const { return !(*this == other); }

    void Add(const ItemSet& other);
    ItemSet operator+(const ItemSet& other) const;
    ItemSet Common(const ItemSet& other) const;
    ItemSet Connected(const ItemSet& other) const;
    ItemSet NotConnected(const ItemSet& other) const;
    ItemSet Connected(const char* typeName) const;
    ItemSet NotConnected(const char* typeName) const;
    ItemSet Connected(const char* typeName, const std::string& value) const;
    ItemSet NotConnected(const char* typeName, const std::string& value) const;
    ItemSet Connected(ItemPtr item) const;
    ItemSet NotConnected(ItemPtr item) const;
    ItemSet GetItems(const char* typeName) const;
    void Disconnect(const char* typeName);
    void Remove();

    // An empty set gives a null handle; more than one member is a programming error, after
    // which the first member is given.
    operator ItemPtr() const;

    ItemList SortNumeric(bool ascending) const;
    ItemList SortAlphabetic(bool ascending) const;
    ItemList SortNumericBy(const char* typeName, bool ascending) const;
    ItemList SortAlphabeticBy(const char* typeName, bool ascending) const;

private:
    friend class Data;
    friend class Type;
    friend class Item;
    // Makes this set of the items of those ids, given in any order and possibly repeated.
    void AssignIds(std::vector<uint32_t>& ids);
    // Keeps the members of this set that pass, in order.
    template <class Keep> ItemSet Filter(Keep keep) const;
    void ForEachLiveMember(const std::function<void(Item*)>& action) const;

    std::vector<Entry> entries_;
};

using ConnectionMap = std::map<Type*, ItemSet, TypeOrder>;

class Item
{
public:
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;

    Type* GetType() const { return type_; }
    uint32_t Id() const { return id_; }

    Item* Connect(Item* other);
    void Disconnect(Item* other);
    void Disconnect(const char* typeName);
    bool IsConnected(const Item* other) const;
    bool IsConnected(const Type* type) const;
    bool IsConnected(const char* typeName) const;
    bool IsDisconnectedFromAll() const { return links_.IsEmpty(); }

    Item* HasItem(const char* typeName) const;
    // The same for a type the caller looked up once: a walk over a million items asks it for
    // each, and the name need not be looked up every time.
    Item* HasItem(const Type* type) const;
    Item* GetItem(const char* typeName) const { return HasItem(typeName); }
    Item* NewItem(const char* typeName);
    void GetItems(const char* typeName, ItemSet& out) const;
    // Calls visit(partner) for each partner of that type, in id order, until visit returns
    // true; tells whether it stopped there. Nothing is copied, so a walk that stops early over
    // an item with a million partners costs only the partners it reached. The visitor must
    // leave this item's links alone while it runs (no connecting, disconnecting or removing of
    // its partners). NotRelatedException when the types are not related.
    template <class Visit> bool VisitItems(const Type* type, Visit visit) const;
    // Room for count more partners of the type, for a caller about to link them all: the links
    // grow once, to what they then take, rather than a partner at a time with room to spare.
    void ReserveLinks(const Type* type, size_t count);
    // The same over the partners of every type, types in declaration order.
    template <class Visit> bool VisitPartners(Visit visit) const;
    void GetConnectedItems(ConnectionMap& out) const;
    size_t ConnectionCount() const { return links_.Total(); }
    size_t ConnectionCount(const Type* type) const;

    // The value, which lives as long as the item: callers may keep the reference meanwhile.
    const ItemText& AsString() const { return value_; }
    const char* AsCStr() const { return value_.c_str(); }
    int AsInt() const;
    unsigned AsUInt() const;
    qint64 AsInt64() const;
    quint64 AsUInt64() const;
    quintptr AsAddress() const;

    void Remove();

    void GetUniqueItems(std::map<Item*, Path, ItemOrder>& found);
    void GetUniqueToItems(std::map<Item*, Path, ItemOrder>& found);
    void GetUniqueItemsFromOrTo(const Path& path, std::map<Item*, Path, ItemOrder>& found,
                                bool from);

private:
    friend class Type;
    friend class Data;
    friend class ItemSet;
    friend class DataSaver;

    enum Flag : uint8_t
    {
        Removing = 1,
        InBlock = 2, // the item lives in a block of slots that a load made
        // Made or cut loose since the last sweep, and listed for the next one to look at.
        Loose = 4,
        // Made while a sweep runs: that sweep neither removes it nor walks through it.
        MadeInSweep = 8,
        // While a sweep looks around what changed: the item was looked at, and was found held.
        Seen = 16,
        Held = 32,
        // Linked while a sweep marks: that sweep keeps it and what it reaches.
        Touched = 64,
        // Found cut off by a sweep looking around what changed, and removed unless touched.
        CutOff = 128
    };

    // A borrowed value is one a load laid out in a block the store keeps (see ItemText).
    Item(Type* type, uint32_t id, std::string_view value, bool borrowed, uint8_t flags);
    ~Item() = default;

    void PartnerIds(const Type* type, std::vector<uint32_t>& out) const;
    void CheckRelated(const Type* type) const;
    bool NumberCheck() const;
    // Connect without telling anyone, for a loader that has made sure nobody listens: r and back
    // are the relations of this item's type to y's and of y's type to this one's.
    void ConnectQuietly(Item* y, const RelationInfo& r, const RelationInfo& back);

    // What a connection touches comes first, so that it shares a cache line with the type.
    Type* type_;
    storeimpl::Links links_;
    uint32_t id_;
    uint8_t flags_;
    ItemText value_;
};
static_assert(sizeof(Item) == 48, "a load's million items are a block of 48-byte slots");

class Type
{
public:
    ~Type() = default;
    Type(const Type&) = delete;
    Type& operator=(const Type&) = delete;

    Event<Item*> itemAddedEvent;
    Event<Item*> itemRemovedEvent;
    Event<ConnectionInfo> connectedEvent;
    Event<ConnectionInfo> disconnectedEvent;

    Data* GetOwner() const { return owner_; }
    const std::string& GetName() const { return name_; }
    Primacy GetPrimacy() const { return primacy_; }
    bool IsNull() const { return isNull_; }
    bool IsAutoCreate() const { return autoCreate_; }
    ValueKind GetKind() const { return kind_; }
    uint32_t Id() const { return id_; }

    void RelateToType(Type* other, OneOrMany thisPerOther, OneOrMany otherPerThis,
                      bool owns = false);
    void RelateToType(const char* otherName, OneOrMany thisPerOther, OneOrMany otherPerThis);
    RelationInfo GetRelation(const Type* other) const;
    bool IsRelated(const Type* other) const;
    void GetRelatedTypes(RelationMap& out) const;

    ItemPtr NewItem();
    ItemPtr NewItem(const Value& value);
    ItemPtr GetItem(const Value& value);
    ItemPtr operator[](const Value& value) { return GetItem(value); }
    ItemPtr HasItem(const Value& value) const;
    ItemPtr GetGlobalNullItem();

    ItemSet GetItems() const;
    void GetItems(ItemSet& out) const;
    size_t ItemCount() const { return ids_.Size(); }

    // Keys: every item of this type made from now on is linked to the item of keyType whose
    // value key makes of its own (made when missing), before anyone hears of the item: a
    // lower-case key that finds names whatever their case. A load keys the items it makes all
    // together once it has made them, before it links them: whoever listens to the items a
    // load adds hears of them without their keys.
    // With lowerCase, key makes the value in ASCII lower case (and may change it otherwise): the
    // key type then hashes and compares its values ignoring ASCII case, so that the key of an
    // item whose text a load keeps for the store's life borrows that text when the two differ
    // by case only, where it would keep a lower-case copy. Such a key still reads in lower case:
    // the copy is made when its value is first read (ItemText), which lookups never do.
    using KeyFunction = void (*)(std::string_view value, std::string& key);
    void KeyBy(Type* keyType, KeyFunction key, bool lowerCase = false);

    void RemoveAllItems();
    void Remove();

private:
    friend class Data;
    friend class Item;
    friend class ItemSet;
    friend class DataSaver;
    Type(Data* owner, uint32_t id, std::string name, Primacy primacy, bool isNull, bool autoCreate,
         ValueKind kind);

    struct Relation
    {
        Type* other;
        RelationInfo info;
        // Pair handlers for (this type, other type), made on first use.
        std::unique_ptr<Event<ConnectionInfo&>> onConnect;
        std::unique_ptr<Event<ConnectionInfo&>> onDisconnect;
    };
    Relation* FindRelation(const Type* other);
    const Relation* FindRelation(const Type* other) const;
    Relation& SetRelation(Type* other, const RelationInfo& info);
    Item* MakeItem(std::string_view value);
    // The same with the value's hash (HashValue) already known. A borrowed value stays where it
    // is for the store's life and is followed by a NUL (see ItemText).
    // Unless keyed is false (a load, which keys its items afterwards: LinkKeys), the item is
    // linked to its key (KeyBy).
    Item* MakeItem(std::string_view value, uint32_t hash, bool borrowed = false, bool keyed = true);
    // Links each item (of this type, of those ids, made by a load) to its key, made when
    // missing; without telling anyone where nobody listens.
    void LinkKeys(const std::vector<uint32_t>& ids);
    // Makes the item and enters it among the type's items, but neither indexes its value nor
    // tells anyone.
    Item* AddItem(std::string_view value, bool borrowed);

    Data* owner_;
    uint32_t id_;
    std::string name_;
    Primacy primacy_;
    bool isNull_;
    bool autoCreate_;
    ValueKind kind_;
    // Some relation of this type has pair handlers (they are only ever added): without any, a
    // connection need not look for them.
    bool pairHandlers_ = false;
    // Values hashed and compared ignoring ASCII case (KeyBy).
    bool foldCase_ = false;
    std::vector<Relation> relations_; // sorted by the other type's id
    // Items by value: open addressing with linear probing, a power-of-two table of slots that
    // keep the item's id (0 for an empty slot) and the value's hash, so that most probes never
    // touch an item.
    struct ValueSlot
    {
        uint32_t id;
        uint32_t hash;
    };
    static uint32_t HashValue(std::string_view value, bool foldCase = false);
    uint32_t HashOf(std::string_view value) const { return HashValue(value, foldCase_); }
    // Whether an item's value is that value, to this type.
    bool SameValue(std::string_view itemValue, std::string_view value) const;
    Item* FindValue(std::string_view value) const;
    Item* FindValue(std::string_view value, uint32_t hash) const;
    // Starts loading the slot where a value of that hash is looked for first.
    void PrefetchValue(uint32_t hash) const;
    // Indexes the values of items a load made without looking them up first, given as (id,
    // hash) and entered in that order. An item whose value the index holds already, from an
    // item entered before it, is left out, and (its id, the holder's id) goes to repeated. The
    // index must have room for them all (ReserveItems). Given sorted by region (ValueRegions),
    // and those of one value in the order made, the table is filled a few pages at a time, not
    // all over.
    void IndexValues(const std::vector<ValueSlot>& made,
                     std::vector<std::pair<uint32_t, uint32_t>>& repeated);
    // The regions of the value index as it is: slots whose home shares its top bits.
    struct ValueRegions
    {
        static constexpr int kBits = 11;
        size_t mask;
        int shift;
        size_t Count() const { return (mask >> shift) + 1; }
        size_t Of(uint32_t hash) const { return (hash & mask) >> shift; }
    };
    ValueRegions GetValueRegions() const;
    // Takes back an item made by a load that nobody heard of and that is linked to nothing.
    void DropQuietly(Item* item);
    void IndexValue(Item* item, uint32_t hash);
    void GrowValueIndex(size_t size);
    // Room for that many more items without rehashing on the way.
    void ReserveItems(size_t more);
    void UnindexValue(Item* item);

    Type* keyType_ = nullptr;
    KeyFunction key_ = nullptr;
    storeimpl::IdList ids_;
    std::vector<ValueSlot> valueSlots_;
    size_t valueCount_ = 0;
};

// How a node of a path pattern stands to its parent: whether the two items must be connected
// or not, and whether a change of that link fires the pattern or is only a condition.
enum PathNodeRelation
{
    PathConnected = 0,             // connected; a connection fires the pattern
    PathConnectedCondition = 1,    // connected; a condition only
    PathConnectedWatchOnly = 2,    // connected; fires, never usable as a condition
    PathDisconnected = 3,          // not connected; a disconnection fires the pattern
    PathDisconnectedCondition = 4, // not connected; a condition only
    PathDisconnectedWatchOnly = 5  // not connected; fires, never usable as a condition
};

// One node of a path pattern: a type, optionally anchored on one item's value. A node owns its
// children.
class PathNode
{
public:
    PathNode(Data* data, const char* typeName);
    explicit PathNode(Item* item);
    PathNode(PathNode* parent, const char* typeName, PathNodeRelation relation);
    PathNode(PathNode* parent, Item* item, PathNodeRelation relation);
    ~PathNode();
    PathNode(const PathNode&) = delete;
    PathNode& operator=(const PathNode&) = delete;

    PathNode* GetParent() const { return parent_; }
    PathNodeRelation GetRelation() const { return relation_; }
    Type* GetType() const { return type_; }
    bool IsAnchored() const { return anchored_; }
    const std::string& GetValue() const { return value_; }
    const std::vector<std::pair<PathNode*, PathNodeRelation>>& GetChildren() const
    {
        return children_;
    }

private:
    friend class Data;
    void Attach(PathNode* parent, PathNodeRelation relation);

    Data* data_;
    PathNode* parent_ = nullptr;
    PathNodeRelation relation_ = PathConnected;
    Type* type_;
    bool anchored_ = false;
    std::string value_;
    std::vector<std::pair<PathNode*, PathNodeRelation>> children_; // in the order made
};

struct PathNodePairInfo
{
    PathNode* parent = nullptr;
    PathNode* child = nullptr;
    PathNodeRelation relation = PathConnected;
};

struct TypePairOrder
{
    bool operator()(const std::pair<Type*, Type*>& a, const std::pair<Type*, Type*>& b) const;
};
using PathNodePairMap = std::map<std::pair<Type*, Type*>, PathNodePairInfo, TypePairOrder>;

// One registered pattern. It owns the subscriber's handler reference and the node tree. It is
// shared like a handler, so that a notification walking a copy of the registrations never meets
// one that was freed under it.
class PathNodeHandlerInfo : public EventHandlerRoot
{
public:
    PathNodeHandlerInfo(PathNode* root, EventHandlerBase<Item*>* handler);
    ~PathNodeHandlerInfo() override;

    PathNodePairMap pairs;
    EventHandlerBase<Item*>* handler;
    std::unique_ptr<PathNode> root;
};

class Data : public DataHandler
{
public:
    Data();
    ~Data() override;
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    Event<Type*> typeAddedEvent;
    Event<Type*> typeRemovedEvent;
    Event<Item*> itemAddedEvent;
    Event<Item*> itemRemovedEvent;
    Event<ConnectionInfo> connectedEvent;
    Event<ConnectionInfo> disconnectedEvent;

    // A null type's kind is None, and only a null type's: ValueKindException otherwise.
    Type* NewType(const std::string& name, Primacy primacy, bool isNull, bool autoCreate,
                  ValueKind kind);
    // Names are looked up as they are given: no string is built for the lookup.
    Type* GetType(std::string_view name) const;
    Type* HasType(std::string_view name) const;
    // Every type, in declaration order.
    void GetTypes(std::vector<Type*>& out) const;
    std::vector<Type*> GetTypes() const;
    void GetTypeOwningTypes(const Type* type, TypeSet& out) const;

    void AddConnectionEventHandler(Type* first, Type* second,
                                   EventHandlerBase<ConnectionInfo&>* handler);
    void AddDisconnectionEventHandler(Type* first, Type* second,
                                      EventHandlerBase<ConnectionInfo&>* handler);
    void NotifyConnectionEventHandlers(Item* x, Item* y);
    void NotifyDisconnectionEventHandlers(Item* x, Item* y);

    ItemSet GetItems(const ItemSet& set, const char* typeName) const;
    ItemSet GetItemSubset(const ItemSet& set, const char* typeName) const;
    ItemSet GetItems(ItemPtr a, ItemPtr b, const char* typeName) const;
    ItemPtr GetItem(const ItemSet& set, const char* typeName) const;
    ItemPtr GetItem(ItemPtr a, ItemPtr b, const char* typeName) const;

    // Removes every item, each with its events; the types and the handlers stay.
    void RemoveAllItems();

    // Path events. The store takes over the node tree and keeps a reference to the handler,
    // which gets the pattern's root item whenever a watched link changes and the rest holds.
    void AddPathEventHandler(PathNode* root, EventHandlerBase<Item*>* handler);
    // Collects the links of a pattern; false when a (parent type, child type) pair repeats.
    bool GetPathNodePairs(PathNode* node, PathNodePairMap& out) const;
    void RemovePathEventHandler(PathNodeHandlerInfo* info);
    void OnPathNodeEventConnection(ConnectionInfo& info);
    void OnPathNodeEventDisconnection(ConnectionInfo& info);
    bool VerifyPathNodeSubNodeConnections(Item* item, PathNode* node, PathNode* skippedChild);
    bool VerifyPathNodeParentNodeConnections(Item* item, PathNode* node, PathNode* fromChild,
                                             Item*& root);

    // The garbage sweep: removes orphans of owning relations and whatever no root reaches.
    // Returns the number of items it removed. Does nothing when no item was made and nothing
    // disconnected since the last sweep. Asked for by a removal handler while a sweep runs, it
    // returns 0 at once and runs when the running sweep ends, which then counts its removals.
    // In one go: a sweep going on in slices ends here first (before a save, at shutdown).
    //
    // The first sweep walks the whole store; later ones look only around the items made or cut
    // loose since the sweep before, and remove exactly what a walk of the whole store would.
    int RemoveDisconnectedItems();
    // The same sweep a slice at a time, drawing from the turn's budget (store/SlicedJob.h), for
    // the half-minute tick. The store may change between slices: what is linked while it marks
    // counts as reached, with whatever it reaches, and is looked at again by the next sweep.
    void SweepInSlices();
    bool IsSweeping() const { return sweepRun_ != nullptr; }
    // The next sweep walks the whole store, as the first one does.
    void SweepEverythingNext();
    // How many items the last sweep that ran looked at: every item when it walked the whole
    // store. For tests and benchmarks.
    size_t LastSweepLookedAt() const { return sweepLookedAt_; }

    // The item with that id, or null.
    Item* ItemById(uint32_t id) const { return id < items_.size() ? items_[id] : nullptr; }
    size_t ItemCount() const { return itemCount_; }
    // Reports a broken precondition that has no exception of its own.
    static void CheckFailed(const char* what);

private:
    friend class Type;
    friend class Item;
    friend class ItemSet;
    friend class DataSaver;

    // The sweep's steps (Sweep.cpp): a run begins with what changed, then one bounded step at a
    // time finds the orphans, removes them, marks (from every root, or around what changed) and
    // removes what it did not reach.
    struct SweepRun;
    bool BeginSweep();
    bool SweepStep();
    bool StepRun(SweepRun& run);
    void EndSweep();
    bool IsOrphan(SweepRun& run, const Item* item);
    void SetUpMarks(SweepRun& run);
    void WalkMarks(SweepRun& run, size_t steps);
    bool RemoveUnreached(SweepRun& run);
    bool ReachesRoot(Item* start, SweepRun& run);
    bool ValueHeld(Item* value, SweepRun& run);
    void FoundCutOff(SweepRun& run, uint32_t id);
    // An item linked between two slices of a sweep is kept by it, with what it reaches. Links
    // its own removal handlers make go unseen, as in a sweep in one go.
    void TouchInSweep(Item* item);
    void NoteLinked(Item* x, Item* y)
    {
        if (sweepMarking_ && !sweepStepping_) {
            TouchInSweep(x);
            TouchInSweep(y);
        }
    }
    // Whether a sweep that is running looks at the item: not made while it runs, and not on its
    // way out already.
    static bool InSweep(const Item* item)
    {
        return !(item->flags_ & (Item::Removing | Item::MadeInSweep));
    }
    // Lists an item made or cut loose for the next sweep to look at.
    void NoteLoose(Item* item)
    {
        if (sweepEverything_ || (item->flags_ & Item::Loose))
            return;
        item->flags_ |= Item::Loose;
        loose_.push_back(item->id_);
        if (loose_.size() > kMaxLooseBase + itemCount_ / kLooseShare)
            SweepEverythingNext();
    }
    void NoteMade(Item* item)
    {
        if (sweeping_) {
            item->flags_ |= Item::MadeInSweep;
            madeInSweep_.push_back(item->id_);
        }
        NoteLoose(item);
    }
    uint32_t NewItemId();
    void FreeItemId(uint32_t id);
    // Makes the item in a slot of a load's blocks if there is one, else on its own.
    Item* NewItemObject(Type* type, uint32_t id, std::string_view value, bool borrowed);
    void DeleteItemObject(Item* item);
    // Slots for that many items, in one block, taken in address order before any free slot,
    // so that items made one after the other lie one after the other.
    void ReserveItemSlots(size_t count);
    // A copy of a long value, followed by a NUL, in a block kept for the store's life: for an
    // item made while a load runs, which can then borrow it (see ItemText).
    std::string_view KeepText(std::string_view value);
    void ReleaseFreedIds();
    Type* TypeById(uint32_t id) const { return types_[id]; }

    // Connection and disconnection pair handlers differ only in the table they are kept in.
    using PairEvent = std::unique_ptr<Event<ConnectionInfo&>>;
    void NotifyPairHandlers(Item* x, Item* y, PairEvent Type::Relation::*table);

    // Keeps ids of removed items out of reuse while a walk over copied ids is running, so that
    // an id met later in the walk cannot name a newer item.
    class Batch
    {
    public:
        explicit Batch(Data* data) : data_(data) { ++data_->batch_; }
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        Data* data_;
    };

    // Tells, after handlers ran, whether two items taken before are both still in the store. As
    // long as no item at all was removed meanwhile, that is known without looking; ids are not
    // reused while a Batch runs, so an id's slot then tells the rest.
    class Survival
    {
    public:
        Survival(const Data* data, const Item* first, const Item* second);
        bool Hold() const
        {
            return data_->removals_ == removals_ || (HoldsFirst() && HoldsSecond());
        }
        bool HoldsFirst() const { return data_->ItemById(firstId_) == first_; }
        bool HoldsSecond() const { return data_->ItemById(secondId_) == second_; }

    private:
        const Data* data_;
        uint64_t removals_;
        const Item* first_;
        const Item* second_;
        uint32_t firstId_;
        uint32_t secondId_;
    };

    struct PathTable
    {
        HandlerList<PathNodeHandlerInfo> registrations; // in the order registered
        EventHandler<Data, ConnectionInfo&>* own = nullptr;
    };
    using PathTables = std::map<std::pair<uint32_t, uint32_t>, PathTable>;
    void OnPathNodeEvent(ConnectionInfo& info, PathTables& tables);
    void ReleasePathTables(PathTables& tables);

    PathTables connectionPaths_;
    PathTables disconnectionPaths_;
    // What the next sweep must look at: the whole store, or the items listed in loose_. Past
    // kMaxLooseBase and a kLooseShare-th of the store the list goes and the whole store is
    // walked: that costs less than looking around so many items one by one.
    static constexpr size_t kMaxLooseBase = 4096;
    static constexpr size_t kLooseShare = 8;
    bool sweepEverything_ = true;
    std::vector<uint32_t> loose_;
    size_t sweepLookedAt_ = 0;
    // A sweep begun and not ended (its slices may lie turns apart), and one of its steps running.
    bool sweeping_ = false;
    bool sweepStepping_ = false;
    // From the start of a sweep until it ends: links made between its steps are seen by it.
    bool sweepMarking_ = false;
    bool sweepRequested_ = false;
    uint64_t sweepRemoved_ = 0;
    std::unique_ptr<SweepRun> sweepRun_;
    std::unique_ptr<SlicedJob> sweepJob_;
    // Items made while a sweep runs (flagged MadeInSweep until it ends).
    std::vector<uint32_t> madeInSweep_;
    // Items between the start and the end of their removal: a sweep that runs inside a removal
    // handler walks the whole store, as its candidates leave those items out.
    int removingNow_ = 0;

    std::vector<Type*> types_; // by id; the type table's order
    // Types by name: open addressing with linear probing in a power-of-two table at most half
    // full, each slot keeping its name's hash, so that a lookup compares one name as a rule.
    struct NameSlot
    {
        uint32_t hash;
        Type* type;
    };
    static uint32_t HashName(std::string_view name);
    void IndexNames();
    std::vector<NameSlot> nameSlots_;
    std::vector<std::unique_ptr<Type>> removedTypes_;
    std::vector<Item*> items_; // by id; slot 0 is never used
    // What loads made and items point into: blocks of item slots and link arrays. Kept for the
    // store's life; the slots of removed items are used again.
    std::vector<void*> loadBlocks_;
    char* unusedSlots_ = nullptr; // never used yet, up to unusedSlotsEnd_
    char* unusedSlotsEnd_ = nullptr;
    // While a load makes its items (DataSaver), every item made takes its slot, and its long
    // value, from blocks kept for the store's life: the items its handlers make beside each
    // loaded one (a million lower-case names for a million names) cost no allocation each.
    int loading_ = 0;
    char* keptText_ = nullptr; // unused, up to keptTextEnd_
    char* keptTextEnd_ = nullptr;
    void* freeSlots_ = nullptr; // used and freed again; a free slot holds the next one
    std::vector<uint32_t> freeIds_;
    std::vector<uint32_t> pendingIds_;
    size_t itemCount_ = 0;
    // Items removed so far: while it stands still, Item pointers taken earlier are all valid.
    uint64_t removals_ = 0;
    int batch_ = 0;
};

template <class Visit> bool Item::VisitItems(const Type* type, Visit visit) const
{
    CheckRelated(type);
    Item* const* items = type_->owner_->items_.data();
    return links_.AnyOf(type->id_, [&](uint32_t id) { return visit(items[id]); });
}

template <class Visit> bool Item::VisitPartners(Visit visit) const
{
    Item* const* items = type_->owner_->items_.data();
    return links_.AnyLink([&](uint32_t id) { return visit(items[id]); });
}

inline Type* GetType(const char* name)
{
    return d.GetType(name);
}

// Every item of a type, as a set.
ItemSet g(const char* typeName);
// The item of a type with that value, if it exists; never creates.
ItemSet i(const char* typeName, const std::string& value);

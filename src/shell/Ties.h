#pragma once

// Ties between the store and the widgets and tree rows that show it. A form ties a live object
// to the items it stands for through an item of a never-saved type whose value is the object's
// address in decimal (Value(object)); it goes from the object to its items through that tie
// item (Ties::Find) and from an item back to the object by reading the address back.
//
// The address is text in a store that any code can change, and a tie can outlive its object (a
// row deleted with its tree). So an address is followed only when it names a live object of the
// class asked for: each class whose objects are tied keeps a LiveSet of them, and FromItem
// follows through that set, giving null for anything else.
//
//     // a form class:
//     LiveSet& LiveForms() { static LiveSet forms; return forms; }
//     MyForm::MyForm(...)  { LiveForms().Insert(this); }
//     MyForm::~MyForm()    { LiveForms().Erase(this); Ties::Remove(kMyFormType, this); }
//     MyForm* MyForm::FromItem(ItemPtr tie) { return LiveForms().Follow<MyForm>(tie); }
//
//     // a row: made as a TiedRow (or a class derived from it), tied and followed back
//     auto* row = new TiedRow(tree);
//     user += Ties::Make(kUserNodeType, row);
//     if (TiedRow* shown = TiedRow::FromItem(user[kUserNodeType])) ...

#include "store/Data.h"

#include <QTreeWidgetItem>

#include <vector>

// The live objects of one class, by address. Rows come and go by the ten thousand (a search's
// answers, a browsed share): the addresses are kept in one open-addressed table, where a set of
// nodes cost an allocation and a cache miss or two per row.
class LiveSet
{
public:
    void Insert(const void* object);
    void Erase(const void* object);
    bool Contains(const void* object) const
    {
        if (!object || m_size == 0)
            return false;
        const size_t mask = m_slots.size() - 1;
        for (size_t i = Home(object, mask);; i = (i + 1) & mask) {
            if (m_slots[i] == object)
                return true;
            if (!m_slots[i])
                return false;
        }
    }
    size_t Size() const { return m_size; }
    // Slots in the table, for tests: it grows past half full and shrinks below an eighth.
    size_t Capacity() const { return m_slots.size(); }

    // The object whose address the item's value holds, or null when the item is null or the
    // address names no live member of this set. T is the class whose objects the set holds.
    template <class T> T* Follow(ItemPtr item) const
    {
        T* object = item.AsPointer<T>();
        return Contains(object) ? object : nullptr;
    }

private:
    // The slot an address starts looking from: the high bits of a multiplicative hash, since
    // heap addresses differ mostly in their middle bits.
    static size_t Home(const void* object, size_t mask)
    {
        const quint64 h = quint64(reinterpret_cast<quintptr>(object)) * 0x9E3779B97F4A7C15ull;
        return size_t(h >> 32) & mask;
    }
    void Resize(size_t slotCount);

    // A power of two of slots, null where free; linear probing, no tombstones.
    std::vector<const void*> m_slots;
    size_t m_size = 0;
};

namespace Ties {

// The object's tie item in the type (an auto-creating one), made when missing.
ItemPtr Make(const char* type, const void* object);
// The object's tie item in the type, or null: never makes one, and gives null when the type is
// not declared (a host that builds the widget without its form).
ItemPtr Find(const char* type, const void* object);
// Removes the object's tie item in the type, if there is one: what a tied widget's destructor
// does, so that nothing is left naming it.
void Remove(const char* type, const void* object);

} // namespace Ties

// A tree row that can be followed back from its tie item: it is in the live set from its
// construction to its destruction, also when its tree deletes it. Rows of a result, transfer or
// user tree are made as TiedRows or as a class derived from one; they behave as plain rows.
class TiedRow : public QTreeWidgetItem
{
public:
    explicit TiedRow(QTreeWidget* tree, int type = QTreeWidgetItem::Type);
    explicit TiedRow(QTreeWidgetItem* parent, int type = QTreeWidgetItem::Type);
    ~TiedRow() override;
    TiedRow(const TiedRow&) = delete;
    TiedRow& operator=(const TiedRow&) = delete;

    // The row whose address the item holds, or null when it names no live TiedRow. A derived
    // class gets its own rows back with dynamic_cast.
    static TiedRow* FromItem(ItemPtr item);
};

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

#include <unordered_set>

// The live objects of one class, by address.
class LiveSet
{
public:
    void Insert(const void* object) { m_live.insert(object); }
    void Erase(const void* object) { m_live.erase(object); }
    bool Contains(const void* object) const { return object && m_live.count(object) > 0; }
    size_t Size() const { return m_live.size(); }

    // The object whose address the item's value holds, or null when the item is null or the
    // address names no live member of this set. T is the class whose objects the set holds.
    template <class T> T* Follow(ItemPtr item) const
    {
        T* object = item.AsPointer<T>();
        return Contains(object) ? object : nullptr;
    }

private:
    std::unordered_set<const void*> m_live;
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

#include "shell/Ties.h"

#include <algorithm>

namespace {

LiveSet& LiveRows()
{
    static LiveSet rows;
    return rows;
}

// A LiveSet's smallest table; it never shrinks below this.
constexpr size_t kMinSlots = 64;

} // namespace

void LiveSet::Insert(const void* object)
{
    if (!object)
        return;
    if ((m_size + 1) * 2 > m_slots.size())
        Resize(std::max(kMinSlots, m_slots.size() * 2));
    const size_t mask = m_slots.size() - 1;
    size_t i = Home(object, mask);
    for (; m_slots[i]; i = (i + 1) & mask) {
        if (m_slots[i] == object)
            return;
    }
    m_slots[i] = object;
    ++m_size;
}

void LiveSet::Erase(const void* object)
{
    if (!object || m_size == 0)
        return;
    const size_t mask = m_slots.size() - 1;
    size_t hole = Home(object, mask);
    for (; m_slots[hole] != object; hole = (hole + 1) & mask) {
        if (!m_slots[hole])
            return;
    }
    // Later members of the run that could sit in the hole move back into it, so that no search
    // stops at a free slot before reaching them.
    for (size_t next = (hole + 1) & mask; m_slots[next]; next = (next + 1) & mask) {
        const size_t home = Home(m_slots[next], mask);
        // Whether home lies cyclically outside (hole, next]: then it may fill the hole.
        const bool movable =
            hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
        if (movable) {
            m_slots[hole] = m_slots[next];
            hole = next;
        }
    }
    m_slots[hole] = nullptr;
    --m_size;
    if (m_slots.size() > kMinSlots && m_size * 8 < m_slots.size())
        Resize(m_slots.size() / 2);
}

void LiveSet::Resize(size_t slotCount)
{
    std::vector<const void*> old(slotCount, nullptr);
    old.swap(m_slots); // m_slots is now the new, empty table
    const size_t mask = slotCount - 1;
    for (const void* object : old) {
        if (!object)
            continue;
        size_t i = Home(object, mask);
        while (m_slots[i])
            i = (i + 1) & mask;
        m_slots[i] = object;
    }
}

ItemPtr Ties::Make(const char* type, const void* object)
{
    return d.GetType(type)->GetItem(Value(object));
}

ItemPtr Ties::Find(const char* type, const void* object)
{
    Type* ties = d.HasType(type);
    return ties ? ties->HasItem(Value(object)) : ItemPtr();
}

void Ties::Remove(const char* type, const void* object)
{
    Find(type, object).Remove();
}

TiedRow::TiedRow(QTreeWidget* tree, int type) : QTreeWidgetItem(tree, type)
{
    LiveRows().Insert(this);
}

TiedRow::TiedRow(QTreeWidgetItem* parent, int type) : QTreeWidgetItem(parent, type)
{
    LiveRows().Insert(this);
}

TiedRow::~TiedRow()
{
    LiveRows().Erase(this);
}

TiedRow* TiedRow::FromItem(ItemPtr item)
{
    return LiveRows().Follow<TiedRow>(item);
}

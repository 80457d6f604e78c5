#include "shell/Ties.h"

namespace {

LiveSet& LiveRows()
{
    static LiveSet rows;
    return rows;
}

} // namespace

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

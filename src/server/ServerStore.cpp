#include "server/ServerStore.h"

#include "server/ServerSchema.h"

namespace ServerStore {

ItemPtr User(const std::string& name)
{
    return d.GetType(ServerTypes::User)->GetItem(Value(name));
}

ItemPtr Room(const std::string& name)
{
    return d.GetType(ServerTypes::Room)->GetItem(Value(name));
}

ItemPtr FindUser(const std::string& name)
{
    return d.GetType(ServerTypes::User)->HasItem(Value(name));
}

ItemPtr FindRoom(const std::string& name)
{
    return d.GetType(ServerTypes::Room)->HasItem(Value(name));
}

void SetFlag(ItemPtr item, const char* flag)
{
    item.NewItem(flag);
}

void ClearFlag(ItemPtr item, const char* flag)
{
    item.Disconnect(flag);
}

bool HasFlag(ItemPtr item, const char* flag)
{
    return item.IsConnected(flag);
}

ItemSet FlaggedItems(const char* flag, const char* typeName)
{
    // A flag is usually the flag type's one shared item; a type whose flags are separate items
    // has one item per carrier, and all of them are walked.
    ItemSet carriers;
    for (Item* flagItem : d.GetType(flag)->GetItems())
        carriers.Add(ItemPtr(flagItem).GetItems(typeName));
    return carriers;
}

void Link(ItemPtr item, const char* typeName, const Value& value)
{
    item += d.GetType(typeName)->GetItem(value);
}

} // namespace ServerStore

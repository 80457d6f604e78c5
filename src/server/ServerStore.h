#pragma once

#include "store/Data.h"

#include <string>

// The few store shapes every part of the server connection uses: the user and room items of a
// name, flags (a connection to the flag type's shared item) and value links.
namespace ServerStore {

// The user or room item of a name, made if missing.
ItemPtr User(const std::string& name);
ItemPtr Room(const std::string& name);
// The user or room item of a name, or a null handle; makes nothing.
ItemPtr FindUser(const std::string& name);
ItemPtr FindRoom(const std::string& name);

void SetFlag(ItemPtr item, const char* flag);
void ClearFlag(ItemPtr item, const char* flag);
bool HasFlag(ItemPtr item, const char* flag);
// The items of typeName that carry a flag, found from the flag's side: the cost follows how many
// carry it, not how many items of typeName exist. A copy, so the caller may clear flags.
ItemSet FlaggedItems(const char* flag, const char* typeName);

// Connects item to the item of type typeName whose value is value (made if missing). Where the
// item's end of the relation is one, this replaces the previous value.
void Link(ItemPtr item, const char* typeName, const Value& value);

} // namespace ServerStore

#include "store/Dependency.h"

#include "store/Data.h"

void RequireType(const char* neededBy, const char* typeName)
{
    if (!d.HasType(typeName))
        throw MissingDependencyError(neededBy, std::string("the store type \"") + typeName + "\"");
}

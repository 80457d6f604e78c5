#pragma once

#include <stdexcept>
#include <string>

// A service built without something it cannot work without: a programming error of whoever
// builds the engine, reported at construction with both names instead of a connection or a
// store type that is silently missing later.
class MissingDependencyError : public std::logic_error
{
public:
    MissingDependencyError(const std::string& service, const std::string& missing)
        : std::logic_error(service + " needs " + missing + ", which was not built first")
    {
    }
};

// Throws unless the service exists; what names it for the message ("the server connection").
inline void RequireService(const void* service, const char* neededBy, const char* what)
{
    if (!service)
        throw MissingDependencyError(neededBy, what);
}

// Throws unless the store type is declared.
void RequireType(const char* neededBy, const char* typeName);

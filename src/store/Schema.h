#pragma once

#include "store/Data.h"

#include <cstddef>

class DataSaver;

// A subsystem's store types as tables: the types, their relations and what the store file keeps.
// Each subsystem declares its tables in one file of its own folder and hands them to
// DeclareSchema; a misspelt name then fails once, at start-up, instead of inside a handler.

// A row that leaves out the kind holds ValueKind::Unset, which DeclareSchema refuses.
struct SchemaType
{
    const char* name;
    Primacy primacy;
    bool isNull;
    bool autoCreate;
    ValueKind kind;
};

// a, b: how many a-items one b-item may have, how many b-items one a-item may have; with owns,
// a b-item that no a-item links any more is removed at the next sweep.
struct SchemaRelation
{
    const char* a;
    const char* b;
    OneOrMany aPerB;
    OneOrMany bPerA;
    bool owns = false;
};

// Every item of type is saved; with via, only items linked to a saved item of via.
struct SchemaSaved
{
    const char* type;
    const char* via = nullptr;
};

struct Schema
{
    const SchemaType* types = nullptr;
    size_t typeCount = 0;
    const SchemaRelation* relations = nullptr;
    size_t relationCount = 0;
    const SchemaSaved* saved = nullptr;
    size_t savedCount = 0;
};

template <size_t T, size_t R, size_t S>
constexpr Schema MakeSchema(const SchemaType (&types)[T], const SchemaRelation (&relations)[R],
                            const SchemaSaved (&saved)[S])
{
    return Schema{types, T, relations, R, saved, S};
}

template <size_t T, size_t R>
constexpr Schema MakeSchema(const SchemaType (&types)[T], const SchemaRelation (&relations)[R])
{
    return Schema{types, T, relations, R, nullptr, 0};
}

// Declares the types, then the relations, then the saved types, each in table order. A type row
// without its kind, or with one its null flag contradicts, raises ValueKindException.
void DeclareSchema(const Schema& schema, DataSaver& saver);
// The same for a schema that saves nothing: types that live for one run only, declared before
// there is a store file handler.
void DeclareSchema(const Schema& schema);

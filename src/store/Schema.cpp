#include "store/Schema.h"

#include "store/DataSaver.h"

void DeclareSchema(const Schema& schema)
{
    if (schema.savedCount != 0)
        Data::CheckFailed("a schema with saved types declared without a store file handler");
    for (size_t i = 0; i < schema.typeCount; ++i) {
        const SchemaType& t = schema.types[i];
        d.NewType(t.name, t.primacy, t.isNull, t.autoCreate, t.kind);
    }
    for (size_t i = 0; i < schema.relationCount; ++i) {
        const SchemaRelation& r = schema.relations[i];
        d.GetType(r.a)->RelateToType(d.GetType(r.b), r.aPerB, r.bPerA, r.owns);
    }
}

void DeclareSchema(const Schema& schema, DataSaver& saver)
{
    DeclareSchema(Schema{schema.types, schema.typeCount, schema.relations, schema.relationCount});
    for (size_t i = 0; i < schema.savedCount; ++i) {
        const SchemaSaved& s = schema.saved[i];
        if (s.via)
            saver.AddSavedByConnectionType(s.type, s.via);
        else
            saver.AddSavedType(s.type);
    }
}

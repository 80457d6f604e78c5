#include "store/Settings.h"

#include "store/Schema.h"

namespace {

using namespace SettingsTypes;

const SchemaType kTypes[] = {
    {Global, RootPrimacy, false, true},
    {VGlobal, RootPrimacy, false, true},
    {GlobalValue, ValuePrimacy, false, true},
};

const SchemaRelation kRelations[] = {
    {Global, GlobalValue, Many, One},
    {VGlobal, GlobalValue, Many, One},
};

// A text that only transient keys hold stays out of the file.
const SchemaSaved kSaved[] = {
    {Global},
    {GlobalValue, Global},
};

} // namespace

void Settings::CreateData(DataSaver& saver)
{
    DeclareSchema(MakeSchema(kTypes, kRelations, kSaved), saver);
}

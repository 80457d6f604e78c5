#include "store/Settings.h"

#include "store/Schema.h"

namespace {

using namespace SettingsTypes;

const SchemaType kTypes[] = {
    {Global, RootPrimacy, false, true, ValueKind::Word},
    {VGlobal, RootPrimacy, false, true, ValueKind::Word},
    {GlobalValue, ValuePrimacy, false, true, ValueKind::ByKey},
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

Type* KeyType(SettingKey key)
{
    return d.GetType(key.transient ? VGlobal : Global);
}

ItemPtr ValueItem(const std::string& text)
{
    return d.GetType(GlobalValue)->GetItem(Value(text));
}

ItemPtr ValueOf(SettingKey key)
{
    return Settings::Key(key)[GlobalValue];
}

} // namespace

void Settings::CreateData(DataSaver& saver)
{
    DeclareSchema(MakeSchema(kTypes, kRelations, kSaved), saver);
}

ItemPtr Settings::Key(SettingKey key)
{
    return KeyType(key)->GetItem(Value(key.name));
}

bool Settings::HasKey(SettingKey key)
{
    return !KeyType(key)->HasItem(Value(key.name)).IsNull();
}

std::string Settings::Text(SettingKey key)
{
    return ValueOf(key).AsString();
}

qint32 Settings::Int(SettingKey key)
{
    return ValueOf(key).AsInt();
}

qint64 Settings::Int64(SettingKey key)
{
    return ValueOf(key).AsInt64();
}

bool Settings::HasValue(SettingKey key)
{
    return Key(key).IsConnected(GlobalValue);
}

bool Settings::Is(SettingKey key, const char* word)
{
    // Looking the word up makes its value item when no key holds it; unlinked, the next sweep
    // takes it again.
    return Key(key).IsConnected(ValueItem(word));
}

void Settings::Set(SettingKey key, const std::string& text)
{
    // The key's end of the relation is one: the old value is dropped.
    Key(key) += ValueItem(text);
}

void Settings::SetNumber(SettingKey key, qint64 number)
{
    Set(key, std::to_string(number));
}

void Settings::SetYes(SettingKey key, bool yes)
{
    Set(key, yes ? "yes" : "no");
}

void Settings::Remove(SettingKey key)
{
    Key(key).Disconnect(GlobalValue);
}

void Settings::RemoveKey(SettingKey key)
{
    KeyType(key)->HasItem(Value(key.name)).Remove();
}

void Settings::Watch(SettingKey key, EventHandlerBase<Item*>* handler)
{
    auto* root = new PathNode(Key(key).Get());
    new PathNode(root, GlobalValue, PathConnected);
    d.AddPathEventHandler(root, handler);
}

#pragma once

#include "store/Data.h"

#include <string>

// Settings and users as the program keeps them in the store, written and read here directly
// rather than through the code under test. The test environments of the server connection and
// of the peer connections take these from here.
struct StoreFixture
{
    // The settings types: a "global" item per key, holding one "global_value".
    static void DeclareSettingTypes()
    {
        d.NewType("global", RootPrimacy, false, true);
        d.NewType("global_value", ValuePrimacy, false, true);
        d.GetType("global")->RelateToType("global_value", Many, One);
    }

    static void SetSetting(const char* key, const std::string& value)
    {
        d.GetType("global")->GetItem(Value(key)) +=
            d.GetType("global_value")->GetItem(Value(value));
    }

    static std::string Setting(const char* key)
    {
        return d.GetType("global")->GetItem(Value(key))["global_value"].AsString();
    }

    // The user item of a name, made if missing.
    static ItemPtr User(const std::string& name)
    {
        return d.GetType("user")->GetItem(Value(name));
    }
};

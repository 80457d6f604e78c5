#pragma once

#include "store/Data.h"

#include <string>

// Settings and users as the program keeps them in the store, written and read here directly
// rather than through the code under test. The test environments of the server connection and
// of the peer connections take these from here.
struct StoreFixture
{
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

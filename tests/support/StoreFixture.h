#pragma once

#include "store/Data.h"
#include "store/Settings.h"

#include <string>

// Settings and users as the program keeps them in the store, for the test environments of the
// server connection and of the peer connections.
struct StoreFixture
{
    static void SetSetting(const char* key, const std::string& value)
    {
        Settings::Set(SettingKey{key}, value);
    }

    static std::string Setting(const char* key) { return Settings::Text(SettingKey{key}); }

    // The user item of a name, made if missing.
    static ItemPtr User(const std::string& name)
    {
        return d.GetType("user")->GetItem(Value(name));
    }
};

#pragma once

#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/StoreGuard.h"

#include <QString>

#include <string>
#include <utility>
#include <vector>

// Writes a store file for a client that a test starts (in-process or as the program): its peer
// listeners take ports the system picks and UPnP is off, so it neither collides with another
// client nor sends anything beyond the machine. settings are written over these. Uses a scratch
// store of its own; returns whether the file was written.
inline bool WriteOfflineStore(const QString& path,
                              const std::vector<std::pair<SettingKey, std::string>>& settings = {})
{
    StoreGuard scratch;
    DataSaver saver;
    Settings::CreateData(saver);
    Settings::Set(SettingKeys::ListeningPort, "0");
    Settings::Set(SettingKeys::ObfuscatedListeningPort, "0");
    Settings::Set(SettingKeys::UseUpnp, "no");
    for (const auto& [key, value] : settings)
        Settings::Set(key, value);
    return saver.Save(path);
}

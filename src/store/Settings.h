#pragma once

class DataSaver;

// Settings live in the store: a key item of type "global" (kept in the store file) or "vglobal"
// (this run only) whose value is the setting's name, linked to at most one "global_value" item
// whose value is the setting's text. Value items are shared by every key with the same text.
namespace SettingsTypes {

inline constexpr char Global[] = "global";
inline constexpr char VGlobal[] = "vglobal";
inline constexpr char GlobalValue[] = "global_value";

} // namespace SettingsTypes

namespace Settings {

// Declares the settings types with their relations and what the store file keeps.
void CreateData(DataSaver& saver);

} // namespace Settings

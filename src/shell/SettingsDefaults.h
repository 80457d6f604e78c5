#pragma once

#include <QColor>
#include <QPalette>

struct SettingKey;

// The application palette as start-up found it, before any colour setting was applied. The colour
// dialog resets colours to it. Set by SettingsDefaults::WriteBeforeLoad, never changed after.
extern QPalette defaultPalette;

// The settings whose defaults the shell writes, and the colour settings it applies. The keys and
// their meaning are in store/Settings.h.
namespace SettingsDefaults {

// Before the store file is loaded, so that saved values replace them: the tray, new-share and
// timestamp defaults, then the six palette colours of the application palette's current colour
// group (after copying it into defaultPalette), the eight fixed colours and the two chat-log
// switches, in that order.
void WriteBeforeLoad();

// After the load: the six palette colours, in every colour group, over a copy of
// defaultPalette, which then becomes the application palette. A value that does not parse as a
// colour leaves its role as the palette had it, and is logged.
void ApplyColours();

// The colour a colour setting starts with: a palette colour from defaultPalette (current colour
// group), a fixed colour from its table; invalid for a key that is not a colour setting.
QColor DefaultColour(const SettingKey& key);

// After the load, on every start: the data version, replacing whatever the file held.
void WriteAfterLoad();

} // namespace SettingsDefaults

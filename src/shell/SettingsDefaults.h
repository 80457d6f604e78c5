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

// After the load: the six palette colours over a copy of defaultPalette, which then becomes the
// application palette, each in the groups SetPaletteColour gives it. A value that does not parse
// as a colour leaves its role as the palette had it, and is logged.
void ApplyColours();

// Gives the palette role the colour in the active and inactive groups, and in the disabled group
// too unless it is a text role (WindowText, Text, ButtonText): disabled controls must still look
// disabled. A text role keeps defaultPalette's disabled colour while it has defaultPalette's
// colour, and otherwise takes the colour halfway to its background role's (Window, Base,
// Button), so set the background first.
void SetPaletteColour(QPalette& palette, QPalette::ColorRole role, const QColor& colour);

// The colour the setting holds; invalid, and a line under "Configuration Data" saying so and
// what is done instead, when its text does not parse as a colour.
QColor StoredColour(const SettingKey& key, const QString& instead);

// The colour a colour setting starts with: a palette colour from defaultPalette (current colour
// group), a fixed colour from its table; invalid for a key that is not a colour setting.
QColor DefaultColour(const SettingKey& key);

// After the load, on every start: the data version, replacing whatever the file held.
void WriteAfterLoad();

} // namespace SettingsDefaults

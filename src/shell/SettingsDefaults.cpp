#include "shell/SettingsDefaults.h"

#include "shell/DisplayText.h"
#include "store/Log.h"
#include "store/Settings.h"

#include <QColor>
#include <QGuiApplication>

QPalette defaultPalette;

namespace {

struct PaletteColour
{
    SettingKey key;
    QPalette::ColorRole role;
};

// In the order they are written and applied: each background before its text.
const PaletteColour kPaletteColours[] = {
    {SettingKeys::ColorWindowBackground, QPalette::Window},
    {SettingKeys::ColorWindowText, QPalette::WindowText},
    {SettingKeys::ColorInputBackground, QPalette::Base},
    {SettingKeys::ColorInputText, QPalette::Text},
    {SettingKeys::ColorButtonBackground, QPalette::Button},
    {SettingKeys::ColorButtonText, QPalette::ButtonText},
};

struct FixedColour
{
    SettingKey key;
    const char* name;
};

const FixedColour kFixedColours[] = {
    {SettingKeys::ColorTransferQueued, "#3366ff"},
    {SettingKeys::ColorTransferComplete, "#006400"},
    {SettingKeys::ColorTransferInProgress, "#0000ff"},
    {SettingKeys::ColorTransferFailed, "#ff0a47"},
    {SettingKeys::ColorTransferOther, "#000000"},
    {SettingKeys::ColorChatUsername, "#0033ff"},
    {SettingKeys::ColorChatTimestamp, "#0066ff"},
    {SettingKeys::ColorChatStatus, "#339933"},
};

} // namespace

void SettingsDefaults::WriteBeforeLoad()
{
    Settings::SetYes(SettingKeys::MinimizeToTray, true);
    Settings::SetYes(SettingKeys::ExpandNewShares, true);
    Settings::Set(SettingKeys::ChatTimestamps, "activity_based");

    defaultPalette = QGuiApplication::palette();
    for (const PaletteColour& c : kPaletteColours)
        Settings::Set(c.key, StoredBytes(c.key, defaultPalette.color(c.role).name()));
    for (const FixedColour& c : kFixedColours)
        Settings::Set(c.key, c.name);

    Settings::SetYes(SettingKeys::LogRoomChat, true);
    Settings::SetYes(SettingKeys::LogPrivateChat, true);
}

QColor SettingsDefaults::DefaultColour(const SettingKey& key)
{
    const std::string name = key.name;
    for (const PaletteColour& c : kPaletteColours) {
        if (name == c.key.name)
            return defaultPalette.color(c.role);
    }
    for (const FixedColour& c : kFixedColours) {
        if (name == c.key.name)
            return QColor::fromString(QLatin1String(c.name));
    }
    return QColor();
}

QColor SettingsDefaults::StoredColour(const SettingKey& key, const QString& instead)
{
    const QString text = Shown(key);
    const QColor colour = QColor::fromString(text);
    if (!colour.isValid()) {
        Log(LogCategories::kConfigurationData, 1,
            QStringLiteral("Setting %1 holds \"%2\", which is not a colour; %3")
                .arg(QLatin1String(key.name), text, instead));
    }
    return colour;
}

void SettingsDefaults::SetPaletteColour(QPalette& palette, QPalette::ColorRole role,
                                        const QColor& colour)
{
    QPalette::ColorRole background = QPalette::NoRole;
    if (role == QPalette::WindowText)
        background = QPalette::Window;
    else if (role == QPalette::Text)
        background = QPalette::Base;
    else if (role == QPalette::ButtonText)
        background = QPalette::Button;
    if (background == QPalette::NoRole) {
        palette.setBrush(QPalette::All, role, QBrush(colour));
        return;
    }
    palette.setBrush(QPalette::Active, role, QBrush(colour));
    palette.setBrush(QPalette::Inactive, role, QBrush(colour));

    QColor dimmed = defaultPalette.color(QPalette::Disabled, role);
    if (colour != defaultPalette.color(QPalette::Active, role) || dimmed == colour) {
        const auto halfway = [](const QColor& a, const QColor& b) {
            return QColor((a.red() + b.red()) / 2, (a.green() + b.green()) / 2,
                          (a.blue() + b.blue()) / 2);
        };
        dimmed = halfway(colour, palette.color(QPalette::Active, background));
        // Text in its background's colour has nothing to go halfway to: away from it, then.
        if (dimmed.rgb() == colour.rgb())
            dimmed = halfway(colour, colour.lightness() < 128 ? Qt::white : Qt::black);
    }
    palette.setBrush(QPalette::Disabled, role, QBrush(dimmed));
}

void SettingsDefaults::ApplyColours()
{
    QPalette palette = defaultPalette;
    for (const PaletteColour& c : kPaletteColours) {
        // An invalid colour would be painted as black: one bad value in the store file could
        // put text in the colour of its background.
        const QColor colour = StoredColour(c.key, QStringLiteral("keeping the palette's colour"));
        if (colour.isValid())
            SetPaletteColour(palette, c.role, colour);
    }
    QGuiApplication::setPalette(palette);
}

void SettingsDefaults::WriteAfterLoad()
{
    Settings::Set(SettingKeys::DataVersion, "1");
}

#include "shell/SettingsDefaults.h"

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

// In the order they are written and applied.
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
        Settings::Set(c.key, defaultPalette.color(c.role).name().toStdString());
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

void SettingsDefaults::ApplyColours()
{
    QPalette palette = defaultPalette;
    for (const PaletteColour& c : kPaletteColours) {
        const std::string stored = Settings::Text(c.key);
        const QLatin1String text(stored.data(), qsizetype(stored.size()));
        const QColor colour = QColor::fromString(text);
        // An invalid colour would be painted as black: one bad value in the store file could
        // put text in the colour of its background.
        if (!colour.isValid()) {
            Log(LogCategories::kConfigurationData, 1,
                QStringLiteral("Setting %1 holds \"%2\", which is not a colour; keeping the "
                               "palette's colour")
                    .arg(QLatin1String(c.key.name), text));
            continue;
        }
        palette.setBrush(QPalette::All, c.role, QBrush(colour));
    }
    QGuiApplication::setPalette(palette);
}

void SettingsDefaults::WriteAfterLoad()
{
    Settings::Set(SettingKeys::DataVersion, "1");
}

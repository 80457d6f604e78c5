#include "ColorSelectionDialog.h"

#include "shell/SettingsDefaults.h"
#include "store/Settings.h"

#include <QApplication>
#include <QColorDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cstring>

namespace {

struct ColourRow
{
    const char* group;
    const char* label;
    const char* sample;
    SettingKey key;
    // The palette role the colour paints, or NoRole for a colour read where it is used.
    QPalette::ColorRole role;
};

// In the order they are stored.
const ColourRow kRows[] = {
    {"Main UI", "Window Background", "windowBackgroundColor", SettingKeys::ColorWindowBackground,
     QPalette::Window},
    {"Main UI", "Window Text", "windowTextColor", SettingKeys::ColorWindowText,
     QPalette::WindowText},
    {"Main UI", "Input Background", "inputBackgroundColor", SettingKeys::ColorInputBackground,
     QPalette::Base},
    {"Main UI", "Input Text", "inputTextColor", SettingKeys::ColorInputText, QPalette::Text},
    {"Main UI", "Button Background", "buttonBackgroundColor", SettingKeys::ColorButtonBackground,
     QPalette::Button},
    {"Main UI", "Button Text", "buttonTextColor", SettingKeys::ColorButtonText,
     QPalette::ButtonText},
    {"Transfers", "Queued", "transferQueuedColor", SettingKeys::ColorTransferQueued,
     QPalette::NoRole},
    {"Transfers", "Complete", "transferCompleteColor", SettingKeys::ColorTransferComplete,
     QPalette::NoRole},
    {"Transfers", "In Progress", "transferInProgressColor", SettingKeys::ColorTransferInProgress,
     QPalette::NoRole},
    {"Transfers", "Failed", "transferFailedColor", SettingKeys::ColorTransferFailed,
     QPalette::NoRole},
    {"Transfers", "Other", "transferOtherColor", SettingKeys::ColorTransferOther, QPalette::NoRole},
    {"Chat", "User Names", "chatUsernameColor", SettingKeys::ColorChatUsername, QPalette::NoRole},
    {"Chat", "Timestamps", "chatTimestampColor", SettingKeys::ColorChatTimestamp, QPalette::NoRole},
    {"Chat", "Status Messages", "chatStatusColor", SettingKeys::ColorChatStatus, QPalette::NoRole},
};
constexpr size_t kRowCount = sizeof(kRows) / sizeof(kRows[0]);

} // namespace

ColorSelectionDialog::ColorSelectionDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("ColorSelectionDialog"));
    setWindowTitle(QStringLiteral("Select Colors"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto* grid = new QGridLayout;
    QFormLayout* form = nullptr;
    const char* group = nullptr;
    const QPalette palette = QApplication::palette();
    for (const ColourRow& row : kRows) {
        if (!group || std::strcmp(group, row.group) != 0) {
            group = row.group;
            auto* box = new QGroupBox(QString::fromLatin1(group));
            form = new QFormLayout(box);
            // Main UI above Chat on the left, Transfers on the right.
            if (std::strcmp(group, "Transfers") == 0)
                grid->addWidget(box, 0, 1, 2, 1);
            else
                grid->addWidget(box, std::strcmp(group, "Chat") == 0 ? 1 : 0, 0);
        }
        auto* sample = new QLineEdit;
        sample->setObjectName(QString::fromLatin1(row.sample));
        sample->setReadOnly(true);
        sample->setFixedWidth(50);
        auto* change = new QPushButton(QStringLiteral("Change"));
        connect(change, &QPushButton::clicked, this, [this, sample] { ChangeColour(sample); });
        auto* line = new QHBoxLayout;
        line->addWidget(sample);
        line->addWidget(change);
        form->addRow(QString::fromLatin1(row.label), line);
        m_samples.push_back(sample);

        const std::string stored = Settings::Text(row.key);
        SetSampleColour(sample, row.role != QPalette::NoRole
                                    ? palette.color(row.role)
                                    : QColor::fromString(QLatin1String(stored.c_str())));
    }

    auto* save = new QPushButton(QStringLiteral("Save Colors"));
    save->setObjectName(QStringLiteral("saveColorsButton"));
    auto* reset = new QPushButton(QStringLiteral("Reset to Defaults"));
    reset->setObjectName(QStringLiteral("resetToDefaultsButton"));
    connect(save, &QPushButton::clicked, this, &ColorSelectionDialog::OnSaveColors);
    connect(reset, &QPushButton::clicked, this, &ColorSelectionDialog::OnResetToDefaults);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(save);
    buttons->addWidget(reset);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);
}

QLineEdit* ColorSelectionDialog::Sample(const char* key) const
{
    for (size_t i = 0; i < kRowCount; ++i) {
        if (std::strcmp(kRows[i].key.name, key) == 0)
            return m_samples[i];
    }
    return nullptr;
}

void ColorSelectionDialog::SetSampleColour(QLineEdit* sample, const QColor& colour)
{
    QPalette palette = sample->palette();
    palette.setColor(QPalette::All, QPalette::Base, colour);
    sample->setPalette(palette);
}

QColor ColorSelectionDialog::SampleColour(const QLineEdit* sample)
{
    return sample->palette().color(QPalette::Base);
}

void ColorSelectionDialog::ChangeColour(QLineEdit* sample)
{
    const QColor chosen = QColorDialog::getColor(SampleColour(sample), this);
    if (chosen.isValid())
        SetSampleColour(sample, chosen);
}

void ColorSelectionDialog::OnResetToDefaults()
{
    for (size_t i = 0; i < kRowCount; ++i)
        SetSampleColour(m_samples[i], SettingsDefaults::DefaultColour(kRows[i].key));
}

void ColorSelectionDialog::OnSaveColors()
{
    QPalette palette = QApplication::palette();
    for (size_t i = 0; i < kRowCount; ++i) {
        if (kRows[i].role != QPalette::NoRole)
            palette.setColor(QPalette::All, kRows[i].role, SampleColour(m_samples[i]));
    }
    QApplication::setPalette(palette);
    for (size_t i = 0; i < kRowCount; ++i)
        Settings::Set(kRows[i].key, SampleColour(m_samples[i]).name().toStdString());
    accept();
}

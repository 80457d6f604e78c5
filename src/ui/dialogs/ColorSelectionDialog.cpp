#include "ColorSelectionDialog.h"

#include "shell/DisplayText.h"
#include "shell/FormHooks.h"
#include "shell/ModalDialogs.h"
#include "shell/SettingsDefaults.h"
#include "store/Settings.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>

namespace {

enum Box
{
    MainUi,
    Chat,
    Transfers
};

struct BoxInfo
{
    const char* name;
    const char* title;
};

const BoxInfo kBoxes[] = {
    {"groupBox", "Main UI"}, {"chatGroupBox", "Chat"}, {"groupBox_2", "Transfers"}};

struct ColourRow
{
    SettingKey key;
    // The palette role the colour paints, or NoRole for a colour read where it is used.
    QPalette::ColorRole role;
    Box box;
    int line; // in its box
    const char* label;
    const char* labelName;
    const char* sample;
    const char* button;
    void (ColorSelectionDialog::*change)();
};

using D = ColorSelectionDialog;

// In the order they are stored.
const ColourRow kRows[] = {
    {SettingKeys::ColorWindowBackground, QPalette::Window, MainUi, 0, "Window Background", "label",
     "windowBackgroundColor", "windowBackgroundButton", &D::OnChangeWindowBackground},
    {SettingKeys::ColorWindowText, QPalette::WindowText, MainUi, 1, "Window Text", "label_2",
     "windowTextColor", "windowTextButton", &D::OnChangeWindowText},
    {SettingKeys::ColorInputBackground, QPalette::Base, MainUi, 2, "Input Background", "label_3",
     "inputBackgroundColor", "inputBackgroundButton", &D::OnChangeInputBackground},
    {SettingKeys::ColorInputText, QPalette::Text, MainUi, 3, "Input Text", "label_4",
     "inputTextColor", "inputTextButton", &D::OnChangeInputText},
    {SettingKeys::ColorButtonBackground, QPalette::Button, MainUi, 4, "Button Background",
     "label_5", "buttonBackgroundColor", "buttonBackgroundButton", &D::OnChangeButtonBackground},
    {SettingKeys::ColorButtonText, QPalette::ButtonText, MainUi, 5, "Button Text", "label_6",
     "buttonTextColor", "buttonTextButton", &D::OnChangeButtonText},
    {SettingKeys::ColorTransferQueued, QPalette::NoRole, Transfers, 0, "Queued", "label_7",
     "transferQueuedColor", "transferQueuedButton", &D::OnChangeTransferQueued},
    {SettingKeys::ColorTransferComplete, QPalette::NoRole, Transfers, 2, "Complete", "label_9",
     "transferCompleteColor", "transferCompleteButton", &D::OnChangeTransferComplete},
    {SettingKeys::ColorTransferInProgress, QPalette::NoRole, Transfers, 1, "In Progress", "label_8",
     "transferInProgressColor", "transferInProgressButton", &D::OnChangeTransferInProgress},
    {SettingKeys::ColorTransferFailed, QPalette::NoRole, Transfers, 3, "Failed", "label_10",
     "transferFailedColor", "transferFailedButton", &D::OnChangeTransferFailed},
    {SettingKeys::ColorTransferOther, QPalette::NoRole, Transfers, 4, "Other", "label_11",
     "transferOtherColor", "transferOtherButton", &D::OnChangeTransferOther},
    {SettingKeys::ColorChatUsername, QPalette::NoRole, Chat, 0, "User Names", "label_12",
     "chatUsernameColor", "chatUsernameButton", &D::OnChangeChatUsername},
    {SettingKeys::ColorChatTimestamp, QPalette::NoRole, Chat, 1, "Timestamps", "label_14",
     "chatTimestampColor", "chatTimestampButton", &D::OnChangeChatTimestamp},
    {SettingKeys::ColorChatStatus, QPalette::NoRole, Chat, 2, "Status Messages", "label_15",
     "chatStatusColor", "chatStatusButton", &D::OnChangeChatStatus},
};
constexpr size_t kRowCount = sizeof(kRows) / sizeof(kRows[0]);

// A sample is an empty field of this width whose background shows the colour.
constexpr int kSampleWidth = 50;

} // namespace

ColorSelectionDialog::ColorSelectionDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("ColorSelectionDialog"));
    setWindowTitle(QStringLiteral("Select Colors"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(659, 557);

    // Main UI above Chat on the left, Transfers on the right.
    auto* columns = new QGridLayout;
    QGridLayout* lines[3];
    for (int box = MainUi; box <= Transfers; ++box) {
        auto* group = new QGroupBox(QString::fromLatin1(kBoxes[box].title));
        group->setObjectName(QString::fromLatin1(kBoxes[box].name));
        lines[box] = new QGridLayout(group);
        lines[box]->setColumnStretch(1, 1);
        if (box == Transfers)
            columns->addWidget(group, 0, 1, 2, 1);
        else
            columns->addWidget(group, box == Chat ? 1 : 0, 0);
    }

    const QPalette palette = QApplication::palette();
    int used[3] = {};
    for (const ColourRow& row : kRows) {
        auto* label = new QLabel(QString::fromLatin1(row.label));
        label->setObjectName(QString::fromLatin1(row.labelName));
        auto* sample = new QLineEdit;
        sample->setObjectName(QString::fromLatin1(row.sample));
        sample->setReadOnly(true);
        sample->setFixedWidth(kSampleWidth);
        auto* change = new QPushButton(QStringLiteral("Change"));
        change->setObjectName(QString::fromLatin1(row.button));
        connect(change, &QPushButton::clicked, this, row.change);
        lines[row.box]->addWidget(label, row.line, 0);
        lines[row.box]->addWidget(sample, row.line, 2);
        lines[row.box]->addWidget(change, row.line, 3);
        used[row.box] = std::max(used[row.box], row.line + 1);
        m_samples.push_back(sample);

        if (row.role != QPalette::NoRole) {
            SetSampleColour(sample, palette.color(row.role));
            continue;
        }
        // A value that is no colour would show, and be saved, as black.
        const QColor stored =
            SettingsDefaults::StoredColour(row.key, QStringLiteral("showing its default"));
        SetSampleColour(sample,
                        stored.isValid() ? stored : SettingsDefaults::DefaultColour(row.key));
    }
    // The rows at the top of their boxes.
    for (int box = MainUi; box <= Transfers; ++box)
        lines[box]->setRowStretch(used[box], 1);

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
    layout->addLayout(columns);
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

void ColorSelectionDialog::ChangeColour(const char* key)
{
    QLineEdit* sample = Sample(key);
    const QColor chosen = ModalDialogs::Current().ChooseColour(this, SampleColour(sample));
    if (chosen.isValid())
        SetSampleColour(sample, chosen);
}

void ColorSelectionDialog::OnChangeWindowBackground()
{
    ChangeColour(SettingKeys::ColorWindowBackground.name);
}

void ColorSelectionDialog::OnChangeWindowText()
{
    ChangeColour(SettingKeys::ColorWindowText.name);
}

void ColorSelectionDialog::OnChangeInputBackground()
{
    ChangeColour(SettingKeys::ColorInputBackground.name);
}

void ColorSelectionDialog::OnChangeInputText()
{
    ChangeColour(SettingKeys::ColorInputText.name);
}

void ColorSelectionDialog::OnChangeButtonBackground()
{
    ChangeColour(SettingKeys::ColorButtonBackground.name);
}

void ColorSelectionDialog::OnChangeButtonText()
{
    ChangeColour(SettingKeys::ColorButtonText.name);
}

void ColorSelectionDialog::OnChangeTransferComplete()
{
    ChangeColour(SettingKeys::ColorTransferComplete.name);
}

void ColorSelectionDialog::OnChangeTransferQueued()
{
    ChangeColour(SettingKeys::ColorTransferQueued.name);
}

void ColorSelectionDialog::OnChangeTransferInProgress()
{
    ChangeColour(SettingKeys::ColorTransferInProgress.name);
}

void ColorSelectionDialog::OnChangeTransferFailed()
{
    ChangeColour(SettingKeys::ColorTransferFailed.name);
}

void ColorSelectionDialog::OnChangeTransferOther()
{
    ChangeColour(SettingKeys::ColorTransferOther.name);
}

void ColorSelectionDialog::OnChangeChatUsername()
{
    ChangeColour(SettingKeys::ColorChatUsername.name);
}

void ColorSelectionDialog::OnChangeChatTimestamp()
{
    ChangeColour(SettingKeys::ColorChatTimestamp.name);
}

void ColorSelectionDialog::OnChangeChatStatus()
{
    ChangeColour(SettingKeys::ColorChatStatus.name);
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
            SettingsDefaults::SetPaletteColour(palette, kRows[i].role, SampleColour(m_samples[i]));
    }
    QApplication::setPalette(palette);
    for (size_t i = 0; i < kRowCount; ++i)
        Settings::Set(kRows[i].key, StoredBytes(kRows[i].key, SampleColour(m_samples[i]).name()));
    // Transfer rows keep the colour they were given; chat lines take theirs as they are added.
    FormHooks::RecolourTransfers();
    accept();
}

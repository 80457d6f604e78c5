#pragma once

#include <QColor>
#include <QDialog>

#include <vector>

class QLineEdit;

// The fourteen colour settings: six of the application palette, five of the transfer rows and
// three of the chat views. Each row shows its colour as a sample and changes it with the colour
// chooser; nothing is applied or stored until "Save Colors". "Reset to Defaults" puts the colours
// the application started with into the samples. It deletes itself when closed.
class ColorSelectionDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ColorSelectionDialog(QWidget* parent = nullptr);

    // The sample of a setting, by its key ("color_window_background", ...); null for another key.
    QLineEdit* Sample(const char* key) const;
    void SetSampleColour(QLineEdit* sample, const QColor& colour);
    static QColor SampleColour(const QLineEdit* sample);

public Q_SLOTS:
    // Each runs the colour chooser for its row's sample.
    void OnChangeWindowBackground();
    void OnChangeWindowText();
    void OnChangeInputBackground();
    void OnChangeInputText();
    void OnChangeButtonBackground();
    void OnChangeButtonText();
    void OnSaveColors();
    void OnResetToDefaults();
    void OnChangeTransferComplete();
    void OnChangeTransferQueued();
    void OnChangeTransferInProgress();
    void OnChangeTransferFailed();
    void OnChangeTransferOther();
    void OnChangeChatUsername();
    void OnChangeChatTimestamp();
    void OnChangeChatStatus();

private:
    void ChangeColour(const char* key);

    std::vector<QLineEdit*> m_samples; // in the order of the rows' table
};

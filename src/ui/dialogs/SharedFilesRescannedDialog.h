#pragma once

#include <QDialog>

class QPlainTextEdit;

// The report of a rescan of the shared folders: lines of plain text and an OK button. It deletes
// itself when closed.
class SharedFilesRescannedDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SharedFilesRescannedDialog(QWidget* parent = nullptr);

    // A line of its own at the end, taken as plain text.
    void Append(const QString& text);
    QString Text() const;

private:
    QPlainTextEdit* m_text;
};

#pragma once

#include <QColor>
#include <QList>
#include <QMessageBox>
#include <QPoint>
#include <QString>

#include <utility>

class QAction;
class QMenu;
class QWidget;

// Every modal box, chooser and context menu of the shell goes through here, so that a
// test can answer them instead of a user: it installs a scripted implementation, and nothing
// blocks.
class ModalDialogs
{
public:
    struct MessageBox
    {
        QMessageBox::Icon icon = QMessageBox::Information;
        QWidget* parent = nullptr;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons = QMessageBox::Ok;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        // Buttons that say what they do in place of their standard text ("Try Again").
        QList<std::pair<QMessageBox::StandardButton, QString>> buttonTexts;
    };

    virtual ~ModalDialogs() = default;

    // Shows the box until the user closes it; the button the user chose (the escape button when
    // the box was closed some other way).
    virtual QMessageBox::StandardButton Show(const MessageBox& box) = 0;
    // Lets the user pick an existing folder; empty when the chooser was cancelled.
    virtual QString ChooseFolder(QWidget* parent, const QString& title) = 0;
    // Lets the user pick an opaque colour, starting from initial; invalid when the chooser was
    // cancelled.
    virtual QColor ChooseColour(QWidget* parent, const QColor& initial) = 0;
    // Runs the menu at the point (global coordinates) until the user picks an entry or closes
    // it. The chosen entry has been triggered by then, so its slot has run; returns it, or null
    // when nothing was chosen. The caller keeps the menu. Entries made from typed or peer text
    // go through EscapeMnemonics (shell/DisplayText.h).
    virtual QAction* RunMenu(QMenu* menu, const QPoint& at) = 0;

    // The one in use: the real dialogs unless a test installed its own.
    static ModalDialogs& Current();
    // Puts dialogs in use (null: the real ones again) and returns the one it replaces (null for
    // the real ones), which the caller puts back when done. The caller keeps ownership.
    static ModalDialogs* Install(ModalDialogs* dialogs);
};

#pragma once

#include "shell/ModalDialogs.h"

#include <QList>
#include <QStringList>

// Stands in for the user at the shell's modal boxes and folder chooser while it lives: answers
// them from the scripts below, in order, and records what was asked. Nothing blocks.
//
//     ScriptedDialogs dialogs;
//     dialogs.answers << QMessageBox::Yes << QMessageBox::No;
//     ... code under test asks two questions ...
//     QCOMPARE(dialogs.shown.at(0).title, QString("Give up membership?"));
class ScriptedDialogs : public ModalDialogs
{
public:
    ScriptedDialogs() : m_before(Install(this)) {}
    ~ScriptedDialogs() override { Install(m_before); }
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    QMessageBox::StandardButton Show(const MessageBox& box) override
    {
        shown << box;
        return answers.isEmpty() ? QMessageBox::NoButton : answers.takeFirst();
    }

    QString ChooseFolder(QWidget* parent, const QString& title) override
    {
        chooserParents << parent;
        chooserTitles << title;
        return folders.isEmpty() ? QString() : folders.takeFirst();
    }

    // The buttons the user presses, one per box; a box beyond them gets NoButton.
    QList<QMessageBox::StandardButton> answers;
    // The folders the user picks, one per chooser; a chooser beyond them is cancelled.
    QStringList folders;

    QList<MessageBox> shown;
    QList<QWidget*> chooserParents;
    QStringList chooserTitles;

private:
    ModalDialogs* m_before;
};

#pragma once

#include "shell/ModalDialogs.h"

#include <QAction>
#include <QColor>
#include <QCoreApplication>
#include <QList>
#include <QMenu>
#include <QStringList>

#include <functional>

// Stands in for the user at the shell's modal boxes, choosers and context menus while it
// lives: answers them from the scripts below, in order, and records what was asked. Nothing
// blocks.
//
//     ScriptedDialogs dialogs;
//     dialogs.answers << QMessageBox::Yes << QMessageBox::No;
//     ... code under test asks two questions ...
//     QCOMPARE(dialogs.shown.at(0).title, QString("Give up membership?"));
//
//     dialogs.menuChoices << "Groups > friends";
//     ... code under test runs a context menu ...
//     QCOMPARE(dialogs.menus.at(0).entries, QStringList({"Download File", "-", "Groups", ...}));
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

    QColor ChooseColour(QWidget* parent, const QColor& initial) override
    {
        chooserParents << parent;
        colourInitials << initial;
        return colours.isEmpty() ? QColor() : colours.takeFirst();
    }

    QAction* RunMenu(QMenu* menu, const QPoint& at) override
    {
        menus << MenuRun{at, Entries(menu)};
        if (whileMenuOpen) {
            menu->popup(at);
            QCoreApplication::processEvents();
            whileMenuOpen(menu);
            menu->hide();
        }
        const QString choice = menuChoices.isEmpty() ? QString() : menuChoices.takeFirst();
        QAction* chosen = Find(menu, choice);
        if (chosen)
            chosen->trigger();
        return chosen;
    }

    // One menu as it was run.
    struct MenuRun
    {
        QPoint at;
        // Its visible entries in order, their texts as given (a doubled "&" stays doubled): a
        // separator is "-", a submenu is its title followed by its own entries as
        // "title > entry".
        QStringList entries;
    };

    // The entries of a menu as MenuRun records them.
    static QStringList Entries(const QMenu* menu, const QString& prefix = QString())
    {
        QStringList entries;
        for (QAction* action : menu->actions()) {
            if (!action->isVisible())
                continue;
            if (action->isSeparator()) {
                entries << prefix + QStringLiteral("-");
                continue;
            }
            entries << prefix + action->text();
            if (const QMenu* sub = action->menu())
                entries << Entries(sub, prefix + action->text() + QStringLiteral(" > "));
        }
        return entries;
    }
    // The buttons the user presses, one per box; a box beyond them gets NoButton.
    QList<QMessageBox::StandardButton> answers;
    // The folders the user picks, one per chooser; a chooser beyond them is cancelled.
    QStringList folders;
    // The colours the user picks, one per chooser; an invalid one, or a chooser beyond them, is
    // cancelled.
    QList<QColor> colours;

    // The entry picked in each menu, in order, named as MenuRun records it; an entry that is not
    // there (or disabled, or a submenu's title), an empty one or a menu beyond them closes the
    // menu with nothing chosen.
    QStringList menuChoices;
    // Runs while each menu is shown on the screen, before the pick (to look at it, grab it).
    std::function<void(QMenu*)> whileMenuOpen;

    QList<MessageBox> shown;
    // The parents of the folder and colour choosers, in order.
    QList<QWidget*> chooserParents;
    QStringList chooserTitles;
    // The colour each colour chooser started from.
    QList<QColor> colourInitials;
    QList<MenuRun> menus;

private:
    static QAction* Find(const QMenu* menu, const QString& entry, const QString& prefix = {})
    {
        for (QAction* action : menu->actions()) {
            if (!action->isVisible() || action->isSeparator() || !action->isEnabled())
                continue;
            const QString name = prefix + action->text();
            if (const QMenu* sub = action->menu()) {
                if (QAction* found = Find(sub, entry, name + QStringLiteral(" > ")))
                    return found;
            } else if (name == entry && !entry.isEmpty()) {
                return action;
            }
        }
        return nullptr;
    }

    ModalDialogs* m_before;
};

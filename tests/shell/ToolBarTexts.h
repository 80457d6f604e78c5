#pragma once

#include <QAction>
#include <QStringList>
#include <QWidget>

// The texts of a tool bar's actions as the bar shows them: the visible ones that have a text,
// in their order.
inline QStringList ShownActionTexts(const QWidget* bar)
{
    QStringList texts;
    for (QAction* action : bar->actions()) {
        if (action->isVisible() && !action->text().isEmpty())
            texts << action->text();
    }
    return texts;
}

#include "shell/UIFunctions.h"

#include <QTabWidget>
#include <QVariant>
#include <QWidget>

#include <vector>

namespace {

constexpr char kFocusProperty[] = "get_focus";

// Makes current, in the tab widgets around the widget, the pages that lead to it: in the nearest
// only, or in every one up to the top.
void SelectPagesAround(QWidget* widget, bool everyLevel)
{
    std::vector<QWidget*> passed;
    for (QWidget* at = widget; at; at = at->parentWidget()) {
        if (auto* tabs = qobject_cast<QTabWidget*>(at)) {
            for (QWidget* below : passed) {
                if (tabs->indexOf(below) >= 0) {
                    tabs->setCurrentWidget(below);
                    break;
                }
            }
            if (!everyLevel)
                return;
        }
        passed.push_back(at);
    }
}

void Focus(QWidget* widget)
{
    widget->window()->activateWindow();
    widget->setFocus(Qt::OtherFocusReason);
}

} // namespace

void RegisterWidgetForTabFocus(QWidget* widget, int priority)
{
    widget->setProperty(kFocusProperty, priority);
    if (widget->isVisible())
        widget->setFocus(Qt::OtherFocusReason);
}

int FindWidgetFocusProperty(QWidget* root, int best)
{
    // Depth first in child order, with a work list of its own.
    std::vector<QWidget*> todo{root};
    while (!todo.empty()) {
        QWidget* widget = todo.back();
        todo.pop_back();
        if (!widget->isVisible())
            continue;
        const QVariant priority = widget->property(kFocusProperty);
        if (priority.isValid() && priority.toInt() > best) {
            widget->setFocus(Qt::OtherFocusReason);
            best = priority.toInt();
        }
        const QObjectList& children = widget->children();
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            if ((*child)->isWidgetType())
                todo.push_back(static_cast<QWidget*>(*child));
        }
    }
    return best;
}

void FocusWidget(QWidget* widget)
{
    Focus(widget);
    SelectPagesAround(widget, false);
}

void FocusWidgetAndParents(QWidget* widget)
{
    Focus(widget);
    SelectPagesAround(widget, true);
}

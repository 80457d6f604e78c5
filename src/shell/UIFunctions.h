#pragma once

class QWidget;

// Which widget takes the keyboard focus when a page comes to the front. A form marks the widgets
// that should, with a priority (1 or 2; higher wins), in the dynamic property "get_focus"; a
// TabWidget that changes page gives the focus to the visible marked widget of the highest
// priority on the new page.

// Marks the widget; a widget visible now takes the focus at once.
void RegisterWidgetForTabFocus(QWidget* widget, int priority);

// Among the visible widgets of the subtree (the root, then depth first in child order; nothing
// below a hidden widget), gives the focus to the first of the highest priority above best, and
// returns that priority (best when none beats it).
int FindWidgetFocusProperty(QWidget* root, int best);

// Activates the widget's window, gives the widget the focus, and makes the page that holds it
// current in the tab widget around it.
void FocusWidget(QWidget* widget);

// The same through every tab widget around the widget, to the top: each shows the branch that
// leads to the widget.
void FocusWidgetAndParents(QWidget* widget);

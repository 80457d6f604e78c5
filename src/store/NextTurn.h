#pragma once

#include <QMetaObject>
#include <QObject>

#include <utility>

// Runs work once at the next turn of the event loop however often it is asked for meanwhile,
// unless context is gone by then. due, context's own, says that a run is asked for; it is
// cleared before work runs, so that work may ask for the turn after.
template <class Work> void OnceNextTurn(QObject* context, bool& due, Work work)
{
    if (due)
        return;
    due = true;
    QMetaObject::invokeMethod(
        context,
        [&due, work = std::move(work)] {
            due = false;
            work();
        },
        Qt::QueuedConnection);
}

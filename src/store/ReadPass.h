#pragma once

#include <QObject>
#include <QTimer>

#include <utility>

// One pass of a frame reader on the GUI thread over what a connection holds. A party that sends
// frames by the thousand in one go must not hold the thread for all of them at once: a pass
// takes at least one frame, or one step of a frame handled in steps, and starts no new one once
// its turn of the event loop has run kMaxPassMs; the rest waits for the next turn, where input
// and paints go first. A turn that began with other work (a form listing the rows the last pass
// brought) leaves the pass that much less.
class ReadPass
{
public:
    static constexpr qint64 kMaxPassMs = 50;

    ReadPass();

    // Whether the pass may start another frame or step; a yes counts it as started.
    bool MayContinue();

    // Runs next at the next turn of the event loop, unless context is gone by then: with the
    // turn's posted work, after what was posted before it (a form's rows).
    template <class Function> static void Later(QObject* context, Function next)
    {
        QTimer::singleShot(0, context, std::move(next));
    }

    // Test-only: every pass from now on runs this long at most; 0 makes each frame a pass of its
    // own, so that a test sees every cut a slow machine could make. A negative value restores
    // kMaxPassMs.
    static void SetBudgetForTesting(qint64 ms);

private:
    qint64 m_start;
    qint64 m_budget;
    int m_frames = 0;
};

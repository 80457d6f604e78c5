#include "store/SlicedJob.h"

#include "store/TurnBudget.h"

#include <QMetaObject>
#include <QScopedValueRollback>

SlicedJob::SlicedJob(Step step, QObject* parent) : QObject(parent), m_step(std::move(step))
{
    TurnBudget::WatchTurns();
}

void SlicedJob::Start()
{
    if (m_running) {
        m_again = true;
        return;
    }
    Post();
}

void SlicedJob::RunNow()
{
    if (m_running) {
        m_again = true;
        return;
    }
    RunSlice();
}

void SlicedJob::Finish()
{
    // Nested in a running slice too: its loop then finds nothing left.
    ++m_generation;
    m_due = false;
    const QScopedValueRollback<bool> running(m_running, true);
    while (m_step()) {
    }
    m_again = false;
}

void SlicedJob::Stop()
{
    ++m_generation;
    m_due = false;
    m_again = false;
}

bool SlicedJob::TurnFor(bool& putOff)
{
    if (putOff || TurnBudget::StepsPerSliceForTesting() > 0 ||
        TurnBudget::ElapsedMs() < TurnBudget::kTurnMs / 2)
        return true;
    putOff = true;
    Stop();
    Start();
    return false;
}

void SlicedJob::Post()
{
    if (m_due)
        return;
    m_due = true;
    // Queued behind what was posted before at the same priority (a form's rows), but ahead of
    // a paint asked for before: Qt posts a widget's update request at low priority, so the
    // pass over posted events runs this slice first and paints after it. A slice posted while
    // that pass runs waits for the next pass: the rows a slice changes are painted after the
    // slice that follows it.
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation] {
            if (generation != m_generation)
                return;
            m_due = false;
            // Reached from a loop a step runs (a dialog): that slice goes on instead.
            if (m_running) {
                m_again = true;
                return;
            }
            RunSlice();
        },
        Qt::QueuedConnection);
}

void SlicedJob::RunSlice()
{
    bool more = true;
    {
        const QScopedValueRollback<bool> running(m_running, true);
        m_again = false;
        const quint64 generation = m_generation;
        TurnSlice slice;
        while (generation == m_generation && slice.MayContinue()) {
            if (!m_step()) {
                more = false;
                break;
            }
        }
        // Stopped or finished from inside a step: nothing is left to ask for.
        if (generation != m_generation)
            more = m_again;
    }
    if (more || m_again)
        Post();
    m_again = false;
}

#include "store/ReadPass.h"

#include "store/Clock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

namespace {

qint64 g_budgetForTesting = -1;

// When the GUI thread's event loop last woke for a turn; -1 while it is not in one. Readers run
// on the GUI thread only.
qint64 g_turnStartMs = -1;

void WatchTurns()
{
    static bool watching = false;
    if (watching || !QCoreApplication::instance() ||
        QThread::currentThread() != QCoreApplication::instance()->thread())
        return;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return;
    watching = true;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake,
                     [] { g_turnStartMs = Clock::MonotonicMs(); });
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock,
                     [] { g_turnStartMs = -1; });
}

} // namespace

ReadPass::ReadPass()
    : m_start(Clock::MonotonicMs()),
      m_budget(g_budgetForTesting < 0 ? kMaxPassMs : g_budgetForTesting)
{
    WatchTurns();
    if (g_turnStartMs >= 0 && g_turnStartMs < m_start)
        m_start = g_turnStartMs;
}

bool ReadPass::MayContinue()
{
    if (m_frames > 0 && Clock::MonotonicMs() - m_start >= m_budget)
        return false;
    ++m_frames;
    return true;
}

void ReadPass::SetBudgetForTesting(qint64 ms)
{
    g_budgetForTesting = ms;
}

#include "store/TurnBudget.h"

#include "store/Clock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QThread>

namespace {

int g_stepsForTesting = 0;

// On the store's clock, so that a test moving it shows a slice that took its time.
qint64 NowMs()
{
    return Clock::MonotonicMs();
}

// Follows the GUI thread's turns for a TurnClock. The dispatcher says when a pass ends (it is
// about to wait, or woke after waiting: the glib dispatcher tells the waking only after it
// delivered the pass's events), not when the first work of a turn begins; the first event
// delivered after either says that.
class TurnWatch : public QObject
{
public:
    static TurnWatch* Instance()
    {
        // Made with the application and gone with it (a test may make another).
        static QPointer<TurnWatch> watch;
        if (watch)
            return watch;
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || QThread::currentThread() != app->thread())
            return nullptr;
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        if (!dispatcher)
            return nullptr;
        watch = new TurnWatch(app, dispatcher);
        return watch;
    }

    // When the current turn started, or -1 outside one. Only a running event loop has turns: code
    // called between two calls of processEvents (a test, a benchmark) would otherwise find the
    // last call's turn still open.
    qint64 StartMs() const { return thread()->loopLevel() > 0 ? m_clock.StartMs() : -1; }

    void NoteSlice() { m_clock.Sliced(); }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        m_clock.Delivered(event->type() == QEvent::Timer, NowMs());
        return false;
    }

private:
    TurnWatch(QCoreApplication* app, QAbstractEventDispatcher* dispatcher)
        : QObject(app), m_clock(dispatcher->inherits("QEventDispatcherGlib"))
    {
        app->installEventFilter(this);
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this] { m_clock.PassEnded(NowMs()); });
        connect(dispatcher, &QAbstractEventDispatcher::awake, this,
                [this] { m_clock.PassEnded(NowMs()); });
    }

    TurnClock m_clock;
};

} // namespace

namespace TurnBudget {

void WatchTurns()
{
    TurnWatch::Instance();
}

qint64 ElapsedMs()
{
    const TurnWatch* watch = TurnWatch::Instance();
    if (!watch || watch->StartMs() < 0)
        return 0;
    return NowMs() - watch->StartMs();
}

void SetStepsPerSliceForTesting(int steps)
{
    g_stepsForTesting = steps < 0 ? 0 : steps;
}

int StepsPerSliceForTesting()
{
    return g_stepsForTesting;
}

} // namespace TurnBudget

void TurnClock::Delivered(bool timer, qint64 nowMs)
{
    if (!m_events) {
        m_events = true;
        // The loop waited since the pass this one was to share a turn with: a turn of its own.
        if (m_shared && nowMs - m_endMs > kWaitedMs)
            Reset();
    }
    if (timer)
        m_timers = true;
    if (m_startMs < 0)
        m_startMs = nowMs;
}

void TurnClock::PassEnded(qint64 nowMs)
{
    if (!m_events)
        return;
    m_events = false;
    if (m_timersEveryOther && m_sliced && !m_timers && !m_shared) {
        m_shared = true;
        m_sliced = false;
        m_endMs = nowMs;
        return;
    }
    Reset();
}

void TurnClock::Reset()
{
    m_startMs = -1;
    m_sliced = false;
    m_timers = false;
    m_shared = false;
}

TurnSlice::TurnSlice() : m_startMs(NowMs())
{
    TurnWatch* watch = TurnWatch::Instance();
    if (!watch)
        return;
    watch->NoteSlice();
    if (watch->StartMs() >= 0 && watch->StartMs() < m_startMs)
        m_startMs = watch->StartMs();
}

bool TurnSlice::MayContinue()
{
    if (m_steps > 0) {
        if (g_stepsForTesting > 0) {
            if (m_steps >= g_stepsForTesting)
                return false;
        } else if (NowMs() - m_startMs >= TurnBudget::kTurnMs) {
            return false;
        }
    }
    ++m_steps;
    return true;
}

#include "store/TurnBudget.h"

#include "store/Clock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
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

// Follows the GUI thread's turns. The dispatcher says when a turn ends (it is about to wait, or
// woke after waiting: the glib dispatcher tells the waking only after it delivered the turn's
// events), not when the first work of a turn begins; the first event delivered after either
// says that.
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
    qint64 StartMs() const { return thread()->loopLevel() > 0 ? m_startMs : -1; }

protected:
    bool eventFilter(QObject*, QEvent*) override
    {
        if (m_startMs < 0)
            m_startMs = NowMs();
        return false;
    }

private:
    TurnWatch(QCoreApplication* app, QAbstractEventDispatcher* dispatcher) : QObject(app)
    {
        app->installEventFilter(this);
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { End(); });
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] { End(); });
    }
    void End() { m_startMs = -1; }

    qint64 m_startMs = -1;
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

TurnSlice::TurnSlice() : m_startMs(NowMs())
{
    const TurnWatch* watch = TurnWatch::Instance();
    if (watch && watch->StartMs() >= 0 && watch->StartMs() < m_startMs)
        m_startMs = watch->StartMs();
}

bool TurnSlice::MayContinue()
{
    if (m_steps > 0) {
        if (g_stepsForTesting > 0 && m_steps >= g_stepsForTesting)
            return false;
        if (NowMs() - m_startMs >= TurnBudget::kTurnMs)
            return false;
    }
    ++m_steps;
    return true;
}

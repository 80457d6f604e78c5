#pragma once

// Long work on the GUI thread, a slice at a time. The owner gives one step function, each call a
// bounded piece of the work (a record, a row, a few hundred items) that says whether more is left;
// the job runs steps while the turn's budget lasts (store/TurnBudget.h) and asks for the next
// turn for the rest, input being answered between them (the rows a slice changed are painted
// after the next slice: store/TurnBudget.h). Whatever the job does in slices it does in the same
// order as Finish does in one go, so the store, the rows and the log come out the same.
//
// The other shapes of work on this thread: pure work that needs no store goes to a thread through
// WorkerThread (store/WorkerThread.h); a burst of requests that should run once goes through
// OnceNextTurn (store/NextTurn.h); a throttle (at most once in so long) through DelayedInvoker.

#include <QObject>

#include <functional>

class SlicedJob : public QObject
{
    Q_OBJECT

public:
    // One bounded piece of the work; false once nothing is left to do for now.
    using Step = std::function<bool()>;

    explicit SlicedJob(Step step, QObject* parent = nullptr);

    // Slices from the next turn on, until a step says nothing is left.
    void Start();
    // A slice here and now, from this turn's budget; what is left goes on from the next turn.
    // From inside one of this job's own steps it only makes sure another slice follows.
    void RunNow();
    // Every step here and now, whatever the budget (before a save, at shutdown, in a test).
    void Finish();
    // No further slice until the next Start or RunNow; a step running now completes.
    void Stop();
    // A slice is asked for or running.
    bool IsBusy() const { return m_due || m_running; }
    // From inside a step, before a piece too big to share a turn (a big tree shown, a tab's rows
    // set at once): whether it may go now. Unless the turn has hardly begun, the slice ends here
    // and the job goes on at the next turn, where the piece goes first; putOff, the piece's own,
    // says that it waited once already. Under a test's steps knob it always goes now.
    bool TurnFor(bool& putOff);

private:
    void Post();
    void RunSlice();

    Step m_step;
    bool m_due = false;
    bool m_running = false;
    // Asked for again while a slice ran: another follows even if its last step found nothing.
    bool m_again = false;
    // Posted slices carry the generation they were asked for in; Stop moves it on.
    quint64 m_generation = 0;
};

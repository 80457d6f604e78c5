#pragma once

#include <QtGlobal>

#include <limits>

// The GUI thread's one budget of long work per turn of its event loop. Whatever works a slice at
// a time (a reader taking frames, a job building rows or store items, the sweep) draws from the
// same clock, so that two of them in one turn share the budget instead of adding up: the window
// answers input between turns, and a turn holds the thread about kTurnMs at most, plus one step.
// Paints lag a slice behind: Qt posts a widget's update request at low priority, so a slice
// posted after it still goes first, and the rows a slice changed are painted after the next
// slice, in the same pass of the loop over posted events (a slice posted in that pass waits for
// the next one).
//
// A turn starts with the first event the running loop delivers after it woke (socket, timer or
// posted event), so work done earlier in the turn (a form laying out what the last slice
// brought) leaves the later slices that much less. Under the glib dispatcher a turn can span two
// of the loop's passes (TurnClock). Code running outside a running event loop (start-up, a test
// calling in directly) is measured from its own slice's start.
namespace TurnBudget {

// The longest the sliced work of one turn runs before the event loop gets its turn back.
constexpr qint64 kTurnMs = 25;

// Starts following the GUI thread's turns, as soon as its application and dispatcher are made:
// every slicer made does it, so that the turn its first slice runs in is known already.
void WatchTurns();

// Milliseconds the current turn has run so far; 0 outside a turn.
qint64 ElapsedMs();

// Test-only: every slice ends after this many steps, and time then plays no part: neither a
// slice nor a piece that asks for its turn (SlicedJob::TurnFor) is cut or put off by the clock,
// so that where a test's work is sliced is the test's choice, not the machine's speed. Small
// counts cross slice boundaries everywhere a slow machine could cut the work; kAtOnceForTesting
// cuts it nowhere, for a test that counts on work done within the call or the turn. 0 restores
// time alone (a test of the time limit itself, on the store's clock).
constexpr int kAtOnceForTesting = std::numeric_limits<int>::max();
void SetStepsPerSliceForTesting(int steps);
int StepsPerSliceForTesting();

// Test-only, for the scope of a test: slices of this many steps, whatever the time.
class StepsForTesting
{
public:
    explicit StepsForTesting(int steps) : m_saved(StepsPerSliceForTesting())
    {
        SetStepsPerSliceForTesting(steps);
    }
    ~StepsForTesting() { SetStepsPerSliceForTesting(m_saved); }
    StepsForTesting(const StepsForTesting&) = delete;
    StepsForTesting& operator=(const StepsForTesting&) = delete;

private:
    int m_saved;
};

} // namespace TurnBudget

// One slice's draw on the turn's budget: a slice always takes its first step, then more while the
// turn has budget left.
class TurnSlice
{
public:
    TurnSlice();

    // Whether the slice may take another step; a yes counts it as taken.
    bool MayContinue();
    int Steps() const { return m_steps; }

private:
    qint64 m_startMs;
    int m_steps = 0;
};

// When the current turn started, from what the event loop delivers. A turn is one pass of the
// loop over what is ready, except under the glib dispatcher (timersEveryOther): it runs timers
// that just ran again only after the next pass over posted events, so a pass of sliced work in
// which no timer fired is followed by another before any can. The two passes share one turn, so
// that what a timer waits for is one budget and the passes' paints, not two budgets. A pass
// after the loop waited starts a turn of its own.
class TurnClock
{
public:
    explicit TurnClock(bool timersEveryOther) : m_timersEveryOther(timersEveryOther) {}

    // An event delivered (a timer's or any other).
    void Delivered(bool timer, qint64 nowMs);
    // Sliced work ran in this pass.
    void Sliced() { m_sliced = true; }
    // The loop's pass over what was ready ended; a pass without events is none.
    void PassEnded(qint64 nowMs);
    // -1 between turns.
    qint64 StartMs() const { return m_startMs; }

private:
    void Reset();

    // Longer than the dispatcher takes from one pass to the next when it does not wait.
    static constexpr qint64 kWaitedMs = 2;

    bool m_timersEveryOther;
    qint64 m_startMs = -1;
    bool m_events = false;
    bool m_sliced = false;
    bool m_timers = false;
    bool m_shared = false;
    qint64 m_endMs = 0;
};

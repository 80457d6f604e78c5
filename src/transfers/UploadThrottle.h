#pragma once

// The upload speed limit as the upload threads see it. The user's cap (KiB/s) is split evenly
// over the active uploads; each upload thread paces itself to its share before every block, and
// what a thread cannot use (its peer reads slowly) goes into a pool that threads over their
// share draw on before they sleep.
//
// Pacing is done on nanoseconds and debt is carried from one step to the next: pacing on whole
// milliseconds rounds a block's time down (to nothing at all from 8193 KiB/s per upload) and
// forgiving debt lets every late sleep add to the rate, so the cap was never held.

#include <QMutex>
#include <QtGlobal>

#include <functional>

// The figures every upload thread reads once per block. The engine keeps the one set and is the
// only writer of the limits; the threads move allowance in and out of the pool.
class UploadSpeedLimits
{
public:
    // Beyond this the pool stops growing: one second of the total limit. Without a bound, uploads
    // whose peers read slowly bank allowance for as long as nothing starts or ends, and one that
    // then speeds up runs unthrottled until the bank is spent.
    static constexpr qint64 kPoolSeconds = 1;

    // The cap in force, KiB/s; 0 = none.
    qint32 GetUploadSpeed() const;
    // Each active upload's share, KiB/s; 0 = none.
    qint32 PerUploadLimit() const;
    qint64 SurplusPool() const;

    // The cap of total KiB/s shared by activeUploads (0 counts as one); each share is at least
    // 1 KiB/s. The pool starts again from nothing.
    void Apply(qint32 total, int activeUploads);
    // No limit. The pool is left as it is.
    void Disable();

    // Pays what it can of owed bytes from the pool; returns what is still owed.
    qint64 PayFromPool(qint64 owed);
    // Puts unused allowance into the pool, up to one second of the total limit.
    void AddToPool(qint64 spare);

private:
    mutable QMutex limitMutex;
    qint32 totalUploadLimit = 0;
    qint32 perUploadLimit = 0;
    qint64 surplusPool = 0;
};

// A monotonic clock and a sleep, replaced in tests so that pacing is checked in fake time.
class ThrottleClock
{
public:
    virtual ~ThrottleClock() = default;
    virtual qint64 NowNs() = 0;
    virtual void SleepNs(qint64 ns) = 0;
};

// The real clock: the steady clock and the thread's sleep.
class SteadyThrottleClock final : public ThrottleClock
{
public:
    qint64 NowNs() override;
    void SleepNs(qint64 ns) override;
};

// One upload thread's pacing: what it has sent and not yet paid for, and the time since its
// last step.
class UploadThrottle
{
public:
    // A throttle sleep is cut into slices this long, with the stop flag looked at between them:
    // a block's debt at 1 KiB/s is 8 s of sleep, which no teardown should wait for.
    static constexpr qint64 kSleepSliceNs = 250 * 1000 * 1000;

    UploadThrottle(UploadSpeedLimits& limits, ThrottleClock& clock);

    // When copying begins: nothing owed, and the share in force is the total limit.
    void Begin();

    enum class Step
    {
        Go,           // send the next block
        ShareChanged, // send it; the share differs from the last block's, so rates restart
        Stopped,      // stopRequested said so during a sleep
    };
    // Before each block: reads the thread's share and, while there is one, sleeps until what was
    // sent is paid for.
    Step BeforeBlock(const std::function<bool()>& stopRequested);
    // After each block, with its size.
    void Sent(qint64 bytes) { owedBytes += bytes; }

    qint64 OwedBytes() const { return owedBytes; }

private:
    bool Pay(qint32 limit, const std::function<bool()>& stopRequested);

    UploadSpeedLimits& m_limits;
    ThrottleClock& m_clock;
    qint32 m_lastLimit = 0;
    qint64 m_stepStartNs = 0;
    qint64 owedBytes = 0;
};

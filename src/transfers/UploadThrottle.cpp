#include "transfers/UploadThrottle.h"

#include <QMutexLocker>

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

namespace {

constexpr qint64 kNsPerMs = 1000 * 1000;
constexpr qint64 kNsPerSecond = 1000 * kNsPerMs;
constexpr qint64 kBytesPerKiB = 1024;

// a × b / c without overflow, for positive c; saturates where the result itself would not fit.
qint64 MulDiv(qint64 a, qint64 b, qint64 c)
{
    const __int128 r = static_cast<__int128>(a) * b / c;
    constexpr qint64 kMax = std::numeric_limits<qint64>::max();
    if (r > kMax)
        return kMax;
    if (r < -kMax)
        return -kMax;
    return static_cast<qint64>(r);
}

} // namespace

qint32 UploadSpeedLimits::GetUploadSpeed() const
{
    QMutexLocker lock(&limitMutex);
    return totalUploadLimit;
}

qint32 UploadSpeedLimits::PerUploadLimit() const
{
    QMutexLocker lock(&limitMutex);
    return perUploadLimit;
}

qint64 UploadSpeedLimits::SurplusPool() const
{
    QMutexLocker lock(&limitMutex);
    return surplusPool;
}

void UploadSpeedLimits::Apply(qint32 total, int activeUploads)
{
    const qint32 share = activeUploads > 0 ? total / activeUploads : total;
    QMutexLocker lock(&limitMutex);
    totalUploadLimit = total;
    perUploadLimit = std::max<qint32>(share, 1);
    surplusPool = 0;
}

void UploadSpeedLimits::Disable()
{
    QMutexLocker lock(&limitMutex);
    totalUploadLimit = 0;
    perUploadLimit = 0;
}

qint64 UploadSpeedLimits::PayFromPool(qint64 owed)
{
    QMutexLocker lock(&limitMutex);
    const qint64 paid = std::min(owed, surplusPool);
    surplusPool -= paid;
    return owed - paid;
}

void UploadSpeedLimits::AddToPool(qint64 spare)
{
    QMutexLocker lock(&limitMutex);
    const qint64 cap = static_cast<qint64>(totalUploadLimit) * kBytesPerKiB * kPoolSeconds;
    // Adding never shrinks the pool: a thread that still paced by a share switched off a moment
    // ago must not empty what the switch left alone.
    surplusPool = std::max(surplusPool, std::min(surplusPool + spare, cap));
}

qint64 SteadyThrottleClock::NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SteadyThrottleClock::SleepNs(qint64 ns)
{
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

UploadThrottle::UploadThrottle(UploadSpeedLimits& limits, ThrottleClock& clock)
    : m_limits(limits), m_clock(clock)
{
}

void UploadThrottle::Begin()
{
    m_lastLimit = m_limits.GetUploadSpeed();
    m_stepStartNs = m_clock.NowNs();
    owedBytes = 0;
}

UploadThrottle::Step UploadThrottle::BeforeBlock(const std::function<bool()>& stopRequested)
{
    const qint32 limit = m_limits.PerUploadLimit();
    const bool changed = limit != m_lastLimit;
    if (changed && m_lastLimit == 0) {
        // A limit switched on now does not bill what was sent while there was none, nor the
        // time that passed: that time would go into the pool as a second of unpaced sending.
        owedBytes = 0;
        m_stepStartNs = m_clock.NowNs();
    }
    m_lastLimit = limit;
    if (limit > 0 && !Pay(limit, stopRequested))
        return Step::Stopped;
    return changed ? Step::ShareChanged : Step::Go;
}

bool UploadThrottle::Pay(qint32 limit, const std::function<bool()>& stopRequested)
{
    owedBytes = m_limits.PayFromPool(owedBytes);

    // The debt is paced at limit bytes per millisecond. That is 2.4% slower than limit KiB/s;
    // each step's allowance is counted in KiB, so the difference comes back through the pool and
    // the pace settles on the cap itself.
    const qint64 elapsed = m_clock.NowNs() - m_stepStartNs;
    const qint64 deadline = elapsed + MulDiv(owedBytes, kNsPerMs, limit);
    for (qint64 now = elapsed; now < deadline; now = m_clock.NowNs() - m_stepStartNs) {
        if (stopRequested && stopRequested())
            return false;
        m_clock.SleepNs(std::min(deadline - now, kSleepSliceNs));
    }

    const qint64 stepEnd = m_clock.NowNs();
    const qint64 stepNs = stepEnd - m_stepStartNs;
    m_stepStartNs = stepEnd;
    const qint64 allowance =
        MulDiv(static_cast<qint64>(limit) * kBytesPerKiB, stepNs, kNsPerSecond);
    const qint64 spare = allowance - owedBytes;
    // Debt that the step did not pay (a sleep cut short by the clock's grain) is carried to the
    // next block rather than forgiven.
    owedBytes = spare < 0 ? -spare : 0;
    if (spare > 0)
        m_limits.AddToPool(spare);
    return true;
}

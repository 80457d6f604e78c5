#include "store/Clock.h"

#include <QElapsedTimer>

#include <atomic>

namespace {

// Running: both readings are the real ones plus g_shiftMs, the wall's also plus g_wallOffsetMs.
// Held: the wall reads g_heldWallMs (since the epoch) and the monotonic g_heldMonotonicMs.
std::atomic<qint64> g_shiftMs{0};
std::atomic<qint64> g_wallOffsetMs{0};
std::atomic<bool> g_held{false};
std::atomic<qint64> g_heldWallMs{0};
std::atomic<qint64> g_heldMonotonicMs{0};

const QElapsedTimer& MonotonicBase()
{
    static const QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer;
}

// Moves both readings, held or running.
void Move(qint64 ms)
{
    if (g_held) {
        g_heldWallMs += ms;
        g_heldMonotonicMs += ms;
    } else {
        g_shiftMs += ms;
    }
}

} // namespace

namespace Clock {

QDateTime Now()
{
    if (g_held)
        return QDateTime::fromMSecsSinceEpoch(g_heldWallMs.load());
    return QDateTime::currentDateTime().addMSecs(g_shiftMs.load() + g_wallOffsetMs.load());
}

QString NowText()
{
    return Now().toString(Qt::TextDate);
}

QDateTime FromText(const QString& text)
{
    return QDateTime::fromString(text, Qt::TextDate);
}

qint64 SecondsSince(const QDateTime& then)
{
    if (!then.isValid())
        return 0;
    return qMax<qint64>(0, then.secsTo(Now()));
}

qint64 SecondsSince(const QString& storedText)
{
    return SecondsSince(FromText(storedText));
}

qint64 MonotonicMs()
{
    if (g_held)
        return g_heldMonotonicMs.load();
    return MonotonicBase().elapsed() + g_shiftMs.load();
}

void Shift(qint64 seconds)
{
    Move(seconds * 1000);
}

void Reset()
{
    g_held = false;
    g_shiftMs = 0;
    g_wallOffsetMs = 0;
}

void Hold(const QDateTime& localTime)
{
    g_heldMonotonicMs = MonotonicMs();
    g_heldWallMs = localTime.toMSecsSinceEpoch();
    g_held = true;
}

void AdvanceMs(qint64 ms)
{
    Move(qMax<qint64>(0, ms));
}

void SetBackMs(qint64 ms)
{
    const qint64 back = qMax<qint64>(0, ms);
    if (g_held)
        g_heldWallMs -= back;
    else
        g_wallOffsetMs -= back;
}

} // namespace Clock

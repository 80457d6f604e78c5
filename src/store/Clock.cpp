#include "store/Clock.h"

#include <QElapsedTimer>

#include <atomic>
#include <limits>

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

// The wall reading, in milliseconds since the epoch.
qint64 WallMs()
{
    if (g_held)
        return g_heldWallMs.load();
    return QDateTime::currentMSecsSinceEpoch() + g_shiftMs.load() + g_wallOffsetMs.load();
}

} // namespace

namespace Clock {

QDateTime Now()
{
    return QDateTime::fromMSecsSinceEpoch(WallMs());
}

QString NowText()
{
    // The text is to the second: made once for each second it is asked for in, where a queue of
    // a quarter of a million downloads stamps every one of them within a few seconds.
    thread_local qint64 second = std::numeric_limits<qint64>::min();
    thread_local QString text;
    const qint64 ms = WallMs();
    const qint64 now = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    if (now != second) {
        text = QDateTime::fromMSecsSinceEpoch(ms).toString(Qt::TextDate);
        second = now;
    }
    return text;
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

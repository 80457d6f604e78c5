#include "store/Clock.h"

#include <QElapsedTimer>

#include <atomic>

namespace {

std::atomic<qint64> g_shiftSeconds{0};

const QElapsedTimer& MonotonicBase()
{
    static const QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer;
}

} // namespace

namespace Clock {

QDateTime Now()
{
    return QDateTime::currentDateTime().addSecs(g_shiftSeconds.load());
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
    return MonotonicBase().elapsed() + g_shiftSeconds.load() * 1000;
}

void Shift(qint64 seconds)
{
    g_shiftSeconds += seconds;
}

void Reset()
{
    g_shiftSeconds = 0;
}

} // namespace Clock

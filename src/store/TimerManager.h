#pragma once

#include "store/Services.h"

#include <QObject>
#include <QTimer>

// One repeating timer shared by everything that needs its tick. QTimer::timeout cannot be emitted
// from outside, so the tick is re-emitted as our own signal, which tests can fire through Fire().
class SharedTimer : public QObject
{
    Q_OBJECT

public:
    explicit SharedTimer(int intervalMs);

    void start() { m_timer.start(); }
    void stop() { m_timer.stop(); }
    int interval() const { return m_timer.interval(); }
    bool isActive() const { return m_timer.isActive(); }

public Q_SLOTS:
    // One tick now, exactly as when the interval runs out; the timer's own schedule is untouched.
    void Fire();

Q_SIGNALS:
    void timeout();

private:
    QTimer m_timer;
};

// The three repeating timers that drive the periodic work: every half minute, every five minutes
// and every hour. Connect to their timeout() signals; they run while the instance lives.
class TimerManager
{
public:
    TimerManager();
    ~TimerManager();
    TimerManager(const TimerManager&) = delete;
    TimerManager& operator=(const TimerManager&) = delete;

    SharedTimer* everyHalfMinute() { return &m_halfMinute; }
    SharedTimer* everyFiveMinutes() { return &m_fiveMinutes; }
    SharedTimer* everyHour() { return &m_hour; }

private:
    SharedTimer m_halfMinute{30000};
    SharedTimer m_fiveMinutes{300000};
    SharedTimer m_hour{3600000};
};

#include "store/TimerManager.h"

TimerManager* timerManager = nullptr;

SharedTimer::SharedTimer(int intervalMs)
{
    m_timer.setInterval(intervalMs);
    m_timer.setSingleShot(false);
    connect(&m_timer, &QTimer::timeout, this, &SharedTimer::timeout);
}

void SharedTimer::Fire()
{
    Q_EMIT timeout();
}

TimerManager::TimerManager()
{
    timerManager = this;
    // The first tick of each comes one full interval from now, not at once.
    m_halfMinute.start();
    m_fiveMinutes.start();
    m_hour.start();
}

TimerManager::~TimerManager()
{
    if (timerManager == this)
        timerManager = nullptr;
}

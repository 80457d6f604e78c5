#include "store/DelayedInvoker.h"

#include "store/Clock.h"

#include <QTimer>

#include <algorithm>
#include <vector>

DelayedInvoker* delayedInvoker = nullptr;

DelayedInvoker::DelayedInvoker(QObject* parent) : QObject(parent)
{
    delayedInvoker = this;
}

DelayedInvoker::~DelayedInvoker()
{
    // The pending timers are children and go with us, and with them every pending call.
    for (const auto& connection : std::as_const(m_watched))
        disconnect(connection);
    if (delayedInvoker == this)
        delayedInvoker = nullptr;
}

void DelayedInvoker::Schedule(QObject* target, const QByteArray& slot, std::function<void()> call,
                              int ms)
{
    if (!target)
        return;
    const Key key(target, slot);
    if (m_pendingByKey.count(key))
        return;

    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setInterval(ms);
    connect(timer, &QTimer::timeout, this, [this, timer] { Fire(timer); });

    Pending pending;
    pending.key = key;
    pending.target = target;
    pending.call = std::move(call);
    pending.deadlineMs = Clock::MonotonicMs() + ms;
    pending.sequence = m_nextSequence++;
    m_pendingByKey.emplace(key, timer);
    m_pendingByTimer.emplace(timer, std::move(pending));

    if (!m_watched.contains(target)) {
        m_watched.insert(target, connect(target, &QObject::destroyed, this,
                                         [this](QObject* gone) { Forget(gone); }));
    }
    timer->start();
}

void DelayedInvoker::Fire(QTimer* timer)
{
    auto it = m_pendingByTimer.find(timer);
    if (it == m_pendingByTimer.end())
        return;
    const qint64 until = std::max(it->second.deadlineMs, Clock::MonotonicMs()) + kTogetherMs;
    std::vector<QTimer*> due;
    for (const auto& [other, pending] : m_pendingByTimer) {
        if (pending.deadlineMs <= until)
            due.push_back(other);
    }
    RunInOrder(std::move(due));
}

void DelayedInvoker::RunInOrder(std::vector<QTimer*> timers)
{
    const auto key = [this](QTimer* timer) {
        const Pending& pending = m_pendingByTimer.at(timer);
        return std::make_pair(pending.deadlineMs, pending.sequence);
    };
    std::sort(timers.begin(), timers.end(),
              [&key](QTimer* a, QTimer* b) { return key(a) < key(b); });
    // A call may forget other requests (by deleting their targets); Run skips those.
    for (QTimer* timer : timers)
        Run(timer);
}

void DelayedInvoker::Run(QTimer* timer)
{
    auto it = m_pendingByTimer.find(timer);
    if (it == m_pendingByTimer.end())
        return;
    Pending pending = std::move(it->second);
    m_pendingByTimer.erase(it);
    m_pendingByKey.erase(pending.key);
    timer->stop();
    // Not deleted here: we may be inside its timeout() emission.
    timer->deleteLater();
    UnwatchIfIdle(pending.key.first);
    // Forgotten before the call, so that the slot may ask for the next one.
    if (pending.target)
        pending.call();
}

void DelayedInvoker::Forget(QObject* target)
{
    auto it = m_pendingByKey.lower_bound(Key(target, QByteArray()));
    while (it != m_pendingByKey.end() && it->first.first == target) {
        QTimer* timer = it->second;
        m_pendingByTimer.erase(timer);
        timer->stop();
        timer->deleteLater();
        it = m_pendingByKey.erase(it);
    }
    m_watched.remove(target);
}

void DelayedInvoker::UnwatchIfIdle(QObject* target)
{
    auto it = m_pendingByKey.lower_bound(Key(target, QByteArray()));
    if (it != m_pendingByKey.end() && it->first.first == target)
        return;
    auto watched = m_watched.find(target);
    if (watched != m_watched.end()) {
        disconnect(*watched);
        m_watched.erase(watched);
    }
}

qint64 DelayedInvoker::DeadlineOf(QObject* target, const QByteArray& slot) const
{
    auto it = m_pendingByKey.find(Key(target, slot));
    if (it == m_pendingByKey.end())
        return -1;
    return m_pendingByTimer.at(it->second).deadlineMs;
}

void DelayedInvoker::FirePendingNow()
{
    std::vector<QTimer*> timers;
    for (const auto& entry : m_pendingByTimer)
        timers.push_back(entry.first);
    RunInOrder(std::move(timers));
}

#include "store/WorkerThread.h"

#include <QMetaObject>

#include <algorithm>

WorkerThread::WorkerThread()
    : m_home(std::make_unique<QObject>()), m_alive(std::make_shared<bool>(true))
{
}

WorkerThread::~WorkerThread()
{
    *m_alive = false;
    // Gone from inside a hand-back: the event that runs it is the home's own, and the home goes
    // once that event is over.
    if (m_delivering)
        m_home.release()->deleteLater();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_queue.clear();
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

WorkerThread::Ticket WorkerThread::Queue(Task task)
{
    Ticket ticket = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ticket = ++m_lastTicket;
        m_queue.push_back(Queued{std::move(task), m_generation, ticket});
        // The thread comes with the first work: most owners never need theirs.
        if (!m_thread.joinable())
            m_thread = std::thread(&WorkerThread::Loop, this);
    }
    m_wake.notify_all();
    return ticket;
}

void WorkerThread::Cancel()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ++m_generation;
    m_queue.clear();
    m_done.clear();
    m_stop = m_running;
}

void WorkerThread::Drop(Ticket ticket)
{
    // What the work holds goes after the lock is let go: it may be large.
    Task task;
    Delivery delivery;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto queued = std::find_if(m_queue.begin(), m_queue.end(),
                                         [ticket](const Queued& q) { return q.ticket == ticket; });
        if (queued != m_queue.end()) {
            task = std::move(queued->task);
            m_queue.erase(queued);
        }
        if (m_running && m_runningTicket == ticket)
            m_stop = true;
        const auto done = std::find_if(m_done.begin(), m_done.end(),
                                       [ticket](const Finished& f) { return f.ticket == ticket; });
        if (done != m_done.end()) {
            delivery = std::move(done->delivery);
            m_done.erase(done);
        }
    }
}

bool WorkerThread::IsBusy() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_running || !m_queue.empty() || !m_done.empty();
}

void WorkerThread::Finish()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return !m_running && m_queue.empty(); });
    }
    Deliver();
}

void WorkerThread::Loop()
{
    for (;;) {
        Queued next;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || !m_queue.empty(); });
            if (m_quit)
                return;
            next = std::move(m_queue.front());
            m_queue.pop_front();
            m_running = true;
            m_runningTicket = next.ticket;
            m_stop = false;
        }
        Delivery delivery = next.task(m_stop);
        bool post = false;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_running = false;
            m_runningTicket = 0;
            if (next.generation == m_generation && !m_stop) {
                post = m_done.empty();
                m_done.push_back(Finished{std::move(delivery), next.ticket});
            }
        }
        m_idle.notify_all();
        // One posted hand-back takes every result that is there when it runs.
        if (post)
            QMetaObject::invokeMethod(
                m_home.get(),
                [this, alive = m_alive] {
                    if (*alive)
                        Deliver();
                },
                Qt::QueuedConnection);
    }
}

void WorkerThread::Deliver()
{
    // A hand-back may queue more work, cancel, or delete this worker with its owner: the loop
    // ends then, and the results left go with it.
    const std::shared_ptr<bool> alive = m_alive;
    while (*alive) {
        Delivery delivery;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_done.empty())
                return;
            delivery = std::move(m_done.front().delivery);
            m_done.pop_front();
        }
        m_delivering = true;
        delivery();
        if (*alive)
            m_delivering = false;
    }
}

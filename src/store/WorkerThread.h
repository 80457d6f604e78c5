#pragma once

// Pure work off the GUI thread: inflating, parsing or compressing bytes, walking folders on disk;
// anything that needs no store and no object of this thread. Work runs on a thread of its own,
// one piece after another in the order given, and each result is handed back on the thread that
// made the worker, in the same order. Store work stays on the GUI thread, a slice at a time
// (store/SlicedJob.h).
//
// Long work looks at the stop flag it is given between pieces (at least every 250 ms): a
// cancel, or the worker's end, sets it, and the worker's destructor waits for the thread.

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

class WorkerThread
{
public:
    using Stop = std::atomic<bool>;
    // Names one piece of work given to Run, for Drop; never 0.
    using Ticket = quint64;

    WorkerThread();
    // Tells the running work to stop, drops what is queued and waits for the thread.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Queues work(stop) for the thread; done(result) then runs on this thread, unless the work
    // was cancelled or the worker went first.
    template <class Work, class Done> Ticket Run(Work work, Done done)
    {
        using Result = decltype(work(std::declval<const Stop&>()));
        return Queue([work = std::move(work), done = std::move(done)](const Stop& stop) mutable {
            auto result = std::make_shared<Result>(work(stop));
            return Delivery([done, result] { done(std::move(*result)); });
        });
    }

    // Drops the queued work and stops the running one; none of their results is handed back.
    void Cancel();
    // One piece of work given up: taken from the queue while it waits, and what it holds freed,
    // stopped while it runs, or its result not handed back. Nothing happens once it is over.
    void Drop(Ticket ticket);
    // Work queued or running, or a result not handed back yet.
    bool IsBusy() const;
    // Waits for the queued and running work, then hands every result back here and now.
    void Finish();

private:
    using Delivery = std::function<void()>;
    using Task = std::function<Delivery(const Stop&)>;
    struct Queued
    {
        Task task;
        quint64 generation = 0;
        Ticket ticket = 0;
    };
    struct Finished
    {
        Delivery delivery;
        Ticket ticket = 0;
    };

    Ticket Queue(Task task);
    void Loop();
    void Deliver();

    // Receives the posted hand-backs on this thread; gone with the worker, and with it any
    // hand-back still posted.
    std::unique_ptr<QObject> m_home;
    // False once the worker is gone, for a hand-back loop that outlives it.
    std::shared_ptr<bool> m_alive;
    bool m_delivering = false;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Queued> m_queue;
    std::deque<Finished> m_done;
    bool m_running = false;
    Ticket m_runningTicket = 0;
    Ticket m_lastTicket = 0;
    bool m_quit = false;
    quint64 m_generation = 0;
    Stop m_stop{false};
    std::thread m_thread; // last: it runs on the members above
};

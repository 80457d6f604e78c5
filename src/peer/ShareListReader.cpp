#include "peer/ShareListReader.h"

#include <algorithm>

ShareListReader::ShareListReader(Done done) : m_done(std::move(done)) {}

ShareListReader::~ShareListReader()
{
    *m_alive = false;
}

void ShareListReader::Read(QTcpSocket* socket, const std::string& user, QByteArray compressed,
                           qsizetype cap)
{
    m_waiting.push_back(Job{socket, user, std::move(compressed), cap});
    StartWaiting();
}

bool ShareListReader::IsReading(const std::string& user) const
{
    return std::any_of(m_workers.begin(), m_workers.end(),
                       [&user](const Worker& w) { return w.busy && w.user == user; }) ||
           std::any_of(m_waiting.begin(), m_waiting.end(),
                       [&user](const Job& job) { return job.user == user; });
}

bool ShareListReader::IsReading() const
{
    return !m_waiting.empty() ||
           std::any_of(m_workers.begin(), m_workers.end(), [](const Worker& w) { return w.busy; });
}

void ShareListReader::StartWaiting()
{
    for (Worker& worker : m_workers) {
        if (m_held || m_waiting.empty())
            return;
        if (worker.busy)
            continue;
        Job job = std::move(m_waiting.front());
        m_waiting.pop_front();
        worker.busy = true;
        worker.user = job.user;
        worker.thread.Run(
            [compressed = std::move(job.compressed),
             cap = job.cap](const WorkerThread::Stop& stop) {
                return ReadShareList(compressed.constData(), compressed.size(), cap, &stop);
            },
            [this, &worker, socket = job.socket, user = job.user,
             alive = m_alive](ShareListRead read) {
                worker.busy = false;
                worker.user.clear();
                m_done(socket.data(), user, read);
                if (*alive)
                    StartWaiting();
            });
    }
}

void ShareListReader::Finish()
{
    const bool held = m_held;
    m_held = false;
    const std::shared_ptr<bool> alive = m_alive;
    StartWaiting();
    while (*alive && IsReading()) {
        for (Worker& worker : m_workers) {
            if (!*alive)
                return;
            if (worker.busy)
                worker.thread.Finish();
        }
    }
    if (*alive)
        m_held = held;
}

void ShareListReader::HoldForTesting(bool hold)
{
    m_held = hold;
    StartWaiting();
}

#include "peer/ShareListReader.h"

#include <QMetaObject>

ShareListReader::ShareListReader(Done done, QObject* parent)
    : QObject(parent), m_done(std::move(done))
{
}

ShareListReader::~ShareListReader()
{
    for (const auto& job : m_jobs)
        job->cancel = true;
    for (const auto& job : m_jobs) {
        if (job->thread.joinable())
            job->thread.join();
    }
}

void ShareListReader::Read(QTcpSocket* socket, const std::string& user, QByteArray compressed,
                           qsizetype cap)
{
    auto job = std::make_shared<Job>();
    job->socket = socket;
    job->user = user;
    job->compressed = std::move(compressed);
    job->cap = cap;
    m_jobs.push_back(job);
    Job* raw = job.get();
    raw->thread = std::thread([this, raw] {
        raw->read = ReadShareList(raw->compressed.constData(), raw->compressed.size(), raw->cap,
                                  &raw->cancel);
        raw->compressed = QByteArray();
        raw->done = true;
        // Dropped unrun when this object goes first; its destructor waits for the thread.
        QMetaObject::invokeMethod(this, &ShareListReader::DeliverDone, Qt::QueuedConnection);
    });
}

void ShareListReader::Finish()
{
    for (const auto& job : m_jobs) {
        if (job->thread.joinable())
            job->thread.join();
    }
    DeliverDone();
}

void ShareListReader::DeliverDone()
{
    while (!m_jobs.empty() && m_jobs.front()->done) {
        const std::shared_ptr<Job> job = m_jobs.front();
        m_jobs.erase(m_jobs.begin());
        if (job->thread.joinable())
            job->thread.join();
        m_done(job->socket.data(), job->user, job->read);
    }
}

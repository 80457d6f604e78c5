#pragma once

// Share lists too big to be read in one turn of the event loop: inflating, weighing and parsing
// a list of a million files takes a second or more. Each is read on a thread of its own, and
// what came of it is handed back on this thread, lists in the order they were given.

#include "peer/ReceivedShareList.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class ShareListReader : public QObject
{
    Q_OBJECT

public:
    // Called on this thread with each list read; the socket is null when it went meanwhile.
    using Done =
        std::function<void(QTcpSocket* socket, const std::string& user, ShareListRead& read)>;
    explicit ShareListReader(Done done, QObject* parent = nullptr);
    // Stops the reads under way (within a few thousand records) and drops their results.
    ~ShareListReader() override;

    // Reads the list's compressed body, inflating it to at most cap bytes.
    void Read(QTcpSocket* socket, const std::string& user, QByteArray compressed, qsizetype cap);
    bool IsReading() const { return !m_jobs.empty(); }
    // Waits for every read under way and hands the results over here and now.
    void Finish();

private:
    struct Job
    {
        QPointer<QTcpSocket> socket;
        std::string user;
        QByteArray compressed;
        qsizetype cap = 0;
        ShareListRead read;
        std::atomic<bool> cancel{false};
        std::atomic<bool> done{false};
        std::thread thread;
    };
    // Hands over the results of the first reads that are done, in order.
    void DeliverDone();

    Done m_done;
    std::vector<std::shared_ptr<Job>> m_jobs;
};

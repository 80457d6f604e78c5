#pragma once

// Share lists too big to be read in one turn of the event loop: inflating, weighing and parsing
// a list of a million files takes a second or more, and a list may inflate to kMaxShareListBytes.
// They are read on a few workers, at most one list of a user at a time and kMaxReadsAtOnce in
// all, so that what reading takes is bounded whatever peers send; a list that finds every worker
// busy waits its turn. What came of each is handed back on this thread.

#include "peer/ReceivedShareList.h"
#include "store/WorkerThread.h"

#include <QByteArray>
#include <QPointer>
#include <QTcpSocket>

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <string>

class ShareListReader
{
public:
    // Lists inflated at once, each within its cap.
    static constexpr int kMaxReadsAtOnce = 2;

    // Called on this thread with each list read; the socket is null when it went meanwhile.
    using Done =
        std::function<void(QTcpSocket* socket, const std::string& user, ShareListRead& read)>;
    explicit ShareListReader(Done done);
    // Stops the reads under way (within a few thousand records) and drops every result.
    ~ShareListReader();
    ShareListReader(const ShareListReader&) = delete;
    ShareListReader& operator=(const ShareListReader&) = delete;

    // Reads the list's compressed body, inflating it to at most cap bytes, once a worker is
    // free. The caller gives no second list of a user while one is read (IsReading).
    void Read(QTcpSocket* socket, const std::string& user, QByteArray compressed, qsizetype cap);
    // A list of the user is being read or waits for a worker.
    bool IsReading(const std::string& user) const;
    bool IsReading() const;
    // Reads every list given, waiting ones too, and hands the results over here and now.
    void Finish();
    // Test-only: while held, the lists given wait and none is started.
    void HoldForTesting(bool hold);

private:
    struct Job
    {
        QPointer<QTcpSocket> socket;
        std::string user;
        QByteArray compressed;
        qsizetype cap = 0;
    };
    struct Worker
    {
        WorkerThread thread;
        bool busy = false;
        std::string user;
    };
    // Gives the waiting lists to the free workers, in the order they came.
    void StartWaiting();

    Done m_done;
    std::deque<Job> m_waiting;
    std::array<Worker, kMaxReadsAtOnce> m_workers;
    bool m_held = false;
    // False once this reader is gone, for a hand-back that deleted it.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

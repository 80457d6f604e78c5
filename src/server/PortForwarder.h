#pragma once

#include "server/UpnpBackend.h"
#include "store/Services.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>

class QTcpSocket;
class QThread;

// What the GUI thread and the worker share; it outlives whichever of them ends last.
struct PortForwarderLink
{
    // Set when the port forwarder goes: requests not yet started are dropped.
    std::atomic<bool> stop{false};
    // Where the worker's lines go; cleared, under the mutex, before the port forwarder is freed.
    std::mutex mutex;
    class PortForwarder* owner = nullptr;
};

// The worker object: every gateway call, one request at a time, on the port forwarder's thread.
// Each request ends with one queued LogLines call carrying its lines.
class ThreadedServices : public QObject
{
    Q_OBJECT

public:
    ThreadedServices(std::unique_ptr<UpnpBackend> backend, std::shared_ptr<PortForwarderLink> link);
    ~ThreadedServices() override;

public Q_SLOTS:
    void Init();
    void AddPortMapping(QString address, int port);
    void RemovePortMapping(int port);

private:
    bool Stopped() const { return m_link->stop.load(); }
    void Post(const QStringList& lines);

    std::unique_ptr<UpnpBackend> m_backend;
    std::shared_ptr<PortForwarderLink> m_link;
    // Discovery runs once per process, whatever its outcome; read and written here alone.
    bool m_initialised = false;
};

// Maps the listening ports on the home router by UPnP. The GUI-thread front of a worker thread:
// every request is a queued call on the worker, which blocks on the network for seconds, and its
// results come back only as queued LogLines calls. The server connection owns the one instance.
class PortForwarder : public QObject
{
    Q_OBJECT

public:
    // How long the destructor waits for a request under way; past it the worker is left to end
    // with the process, holding nothing of ours.
    static constexpr unsigned long kWorkerStopWaitMs = 3000;

    PortForwarder();
    ~PortForwarder() override;
    PortForwarder(const PortForwarder&) = delete;
    PortForwarder& operator=(const PortForwarder&) = delete;

    void Init();
    // Maps port to this machine as seen through socket (its local IPv4 address).
    void AddPortMapping(QTcpSocket* socket, int port);
    void RemovePortMapping(int port);

    // Test-only: every PortForwarder made from now on takes its gateway calls from factory
    // instead of the network; a null factory goes back to the network.
    static void UseBackendForTesting(UpnpBackendFactory factory);
    // Worker threads not yet deleted, those left running by a port forwarder that stopped
    // waiting included.
    static int WorkerThreadCount();

public Q_SLOTS:
    void LogLines(QStringList lines);

private:
    std::shared_ptr<PortForwarderLink> m_link;
    QThread* m_thread = nullptr;
    ThreadedServices* m_services = nullptr;
};

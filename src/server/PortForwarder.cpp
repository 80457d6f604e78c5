#include "server/PortForwarder.h"

#include "store/Log.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

PortForwarder* portForwarder = nullptr;

namespace {

const QString kNotInitialised =
    QStringLiteral("UPnP appears to not have been initialized, aborting.");
// How long discovery listens for answers.
constexpr int kDiscoveryDelayMs = 2000;
// The gateway's answer when the port is mapped to someone else already.
constexpr int kConflictInMappingEntry = 718;

std::atomic<int> g_workerThreads{0};

UpnpBackendFactory& TestBackendFactory()
{
    static UpnpBackendFactory factory;
    return factory;
}

// Runs the worker's event loop, then destroys the worker on its own thread: the gateway records
// are freed where they were used, also when the port forwarder stopped waiting long before.
// Not a WorkerThread (store/WorkerThread.h), which always waits for its work when it goes: a
// gateway call blocks inside the library for seconds, cannot look at a stop flag, and closing
// the window does not wait for it.
class GatewayThread : public QThread
{
public:
    explicit GatewayThread(ThreadedServices* services) : m_services(services) { ++g_workerThreads; }
    ~GatewayThread() override { --g_workerThreads; }

protected:
    void run() override
    {
        exec();
        delete m_services;
    }

private:
    ThreadedServices* m_services;
};

} // namespace

ThreadedServices::ThreadedServices(std::unique_ptr<UpnpBackend> backend,
                                   std::shared_ptr<PortForwarderLink> link)
    : m_backend(std::move(backend)), m_link(std::move(link))
{
}

ThreadedServices::~ThreadedServices() = default;

void ThreadedServices::Post(const QStringList& lines)
{
    std::lock_guard<std::mutex> lock(m_link->mutex);
    PortForwarder* owner = m_link->owner;
    if (!owner)
        return;
    // Queued on the owner: a call still waiting when the owner goes is dropped with it.
    QMetaObject::invokeMethod(
        owner, [owner, lines] { owner->LogLines(lines); }, Qt::QueuedConnection);
}

void ThreadedServices::Init()
{
    if (Stopped() || m_initialised)
        return;
    QStringList lines{QStringLiteral("Initializing UPnP")};
    m_backend->ForgetGateway();

    int error = 0;
    const std::vector<UpnpBackend::Device> devices = m_backend->Discover(kDiscoveryDelayMs, &error);
    if (devices.empty()) {
        lines << QStringLiteral("No device list found during discovery. miniupnp error code: %1")
                     .arg(error);
    } else {
        lines << QStringLiteral("Device list found");
        const UpnpBackend::Device* chosen = nullptr;
        for (const UpnpBackend::Device& device : devices) {
            const QString url = QString::fromStdString(device.descriptionUrl);
            const QString target = QString::fromStdString(device.searchTarget);
            if (target.contains(QLatin1String("InternetGatewayDevice"))) {
                lines << QStringLiteral("%1, InternetGatewayDevice, found").arg(url);
                chosen = &device;
                break;
            }
            lines << QStringLiteral("%1, %2 skipping").arg(url, target);
        }
        if (!chosen) {
            chosen = &devices.front();
            lines << QStringLiteral("Defaulting to first device found, %1")
                         .arg(QString::fromStdString(chosen->searchTarget));
        }
        lines << (m_backend->LoadGateway(chosen->descriptionUrl)
                      ? QStringLiteral("Device XML found.")
                      : QStringLiteral("Device XML not found."));
    }
    // A failed discovery is not tried again either.
    m_initialised = true;
    Post(lines);
}

void ThreadedServices::AddPortMapping(QString address, int port)
{
    if (Stopped())
        return;
    const std::string portText = std::to_string(port);
    QStringList lines{QStringLiteral("Found own address to be %1").arg(address)};
    if (!m_backend->HasControlUrl()) {
        lines << kNotInitialised;
        Post(lines);
        return;
    }

    const int result = m_backend->AddPortMapping(portText, address.toStdString());
    if (result == 0) {
        lines << QStringLiteral("Port %1 successfully mapped.").arg(port);
    } else if (result == kConflictInMappingEntry) {
        lines << QStringLiteral(
            "Port already mapped, attempting to remove existing mapping before retrying.");
        // Its lines go out first, on their own.
        RemovePortMapping(port);
        const int second = m_backend->AddPortMapping(portText, address.toStdString());
        if (second == 0)
            lines << QStringLiteral("Second mapping attempt successful.");
        else if (second != kConflictInMappingEntry)
            lines
                << QStringLiteral("Second mapping attempt failed, miniupnp error: %1").arg(second);
    } else {
        lines
            << QStringLiteral("Port %1 mapping failure, miniupnp error: %2").arg(port).arg(result);
    }
    Post(lines);
}

void ThreadedServices::RemovePortMapping(int port)
{
    if (Stopped())
        return;
    QStringList lines{QStringLiteral("Removing mapping for port %1").arg(port)};
    if (!m_backend->HasControlUrl()) {
        lines << kNotInitialised;
    } else {
        const int result = m_backend->DeletePortMapping(std::to_string(port));
        lines << (result == 0 ? QStringLiteral("Port mapping successfully removed.")
                              : QStringLiteral("Port mapping removal failed, miniupnp error: %1")
                                    .arg(result));
    }
    Post(lines);
}

PortForwarder::PortForwarder() : m_link(std::make_shared<PortForwarderLink>())
{
    m_link->owner = this;
    portForwarder = this;
    const UpnpBackendFactory& factory = TestBackendFactory();
    m_services = new ThreadedServices(factory ? factory() : MakeMiniupnpcBackend(), m_link);
    m_thread = new GatewayThread(m_services);
    m_services->moveToThread(m_thread);
    // A worker this object stopped waiting for deletes its thread object once it has ended.
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    m_thread->start(QThread::InheritPriority);
}

PortForwarder::~PortForwarder()
{
    {
        std::lock_guard<std::mutex> lock(m_link->mutex);
        m_link->owner = nullptr;
    }
    m_link->stop = true;
    m_thread->quit();
    // A worker still inside a library call (each blocks for seconds) is not waited for: it ends
    // with the process, or earlier, and then frees what it holds.
    if (m_thread->wait(kWorkerStopWaitMs))
        delete m_thread;
    if (portForwarder == this)
        portForwarder = nullptr;
}

void PortForwarder::UseBackendForTesting(UpnpBackendFactory factory)
{
    TestBackendFactory() = std::move(factory);
}

int PortForwarder::WorkerThreadCount()
{
    return g_workerThreads.load();
}

void PortForwarder::Init()
{
    ThreadedServices* services = m_services;
    QMetaObject::invokeMethod(
        services, [services] { services->Init(); }, Qt::QueuedConnection);
}

void PortForwarder::AddPortMapping(QTcpSocket* socket, int port)
{
    // The address through which the server is reached is ours on the router's side.
    const QString address = QHostAddress(socket->localAddress().toIPv4Address()).toString();
    ThreadedServices* services = m_services;
    QMetaObject::invokeMethod(
        services, [services, address, port] { services->AddPortMapping(address, port); },
        Qt::QueuedConnection);
}

void PortForwarder::RemovePortMapping(int port)
{
    ThreadedServices* services = m_services;
    QMetaObject::invokeMethod(
        services, [services, port] { services->RemovePortMapping(port); }, Qt::QueuedConnection);
}

void PortForwarder::LogLines(QStringList lines)
{
    for (const QString& line : lines)
        Log(LogCategories::kPortForwarding, 1, line);
}

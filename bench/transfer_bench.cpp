// One file through both transfer workers over loopback, with the engine's handlers live: the
// engine asks for a file connection to "bob", whose address is our own listener, so the upload
// thread and the download thread of one process meet through the peer connection manager, the
// token and the offset, and every progress report, end signal, teardown and the move into the
// complete folder run on this (the GUI) thread. The file is 2 GiB, sparse and page-cached.
//
// Baseline, same run: two plain threads copying QFile -> QTcpSocket -> QFile in 8 KiB blocks
// over loopback, the sender waiting for each block to leave before reading the next.
//
// Targets: at least 0.5x the baseline's throughput; GUI-thread CPU time under 10% of the
// elapsed time; about 10 progress signals a second at most (each direction). Run it from a
// Release build; an argument gives the size in MiB instead of 2048.

#include "engine/Engine.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/ServerStore.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransfersSchema.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

namespace {

constexpr qint64 kBlock = 8192;
constexpr quint32 kToken = 7;

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool MakeSparse(const QString& path, qint64 size)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.resize(size);
}

// Reads the file once, so that both runs start from the page cache.
void Warm(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    std::vector<char> buf(1 << 20);
    while (f.read(buf.data(), qint64(buf.size())) > 0) {
    }
}

class Sender : public QThread
{
public:
    Sender(const QString& path, quint16 port) : m_path(path), m_port(port) {}
    qint64 sent = 0;

protected:
    void run() override
    {
        QFile file(m_path);
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (!file.open(QIODevice::ReadOnly) || !socket.waitForConnected(10000))
            return;
        QByteArray block(kBlock, Qt::Uninitialized);
        for (qint64 n; (n = file.read(block.data(), kBlock)) > 0;) {
            socket.write(block.constData(), n);
            socket.flush();
            while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(30000)) {
            }
            sent += n;
        }
        socket.disconnectFromHost();
        if (socket.state() != QAbstractSocket::UnconnectedState)
            socket.waitForDisconnected(30000);
    }

private:
    QString m_path;
    quint16 m_port;
};

class Receiver : public QThread
{
public:
    // socket: no parent; it is moved to this thread and deleted there.
    Receiver(const QString& path, QTcpSocket* socket) : m_path(path), m_socket(socket)
    {
        m_socket->moveToThread(this);
    }
    qint64 received = 0;

protected:
    void run() override
    {
        QFile file(m_path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            QByteArray block(kBlock, Qt::Uninitialized);
            for (;;) {
                if (m_socket->bytesAvailable() == 0 && !m_socket->waitForReadyRead(30000))
                    break;
                const qint64 n = m_socket->read(block.data(), kBlock);
                if (n <= 0)
                    break;
                file.write(block.constData(), n);
                received += n;
            }
        }
        delete m_socket;
    }

private:
    QString m_path;
    QTcpSocket* m_socket;
};

double Baseline(const QString& source, const QString& target, qint64 size)
{
    QTcpServer listener;
    listener.listen(QHostAddress::LocalHost, 0);
    QElapsedTimer elapsed;
    elapsed.start();
    Sender sender(source, listener.serverPort());
    sender.start();
    if (!listener.waitForNewConnection(10000))
        return 0;
    QTcpSocket* accepted = listener.nextPendingConnection();
    accepted->setParent(nullptr);
    Receiver receiver(target, accepted);
    receiver.start();
    sender.wait();
    receiver.wait();
    const double seconds = double(elapsed.nsecsElapsed()) / 1e9;
    if (receiver.received != size)
        std::printf("baseline: received %lld of %lld bytes\n",
                    static_cast<long long>(receiver.received), static_cast<long long>(size));
    QFile::remove(target);
    return double(size) / seconds;
}

struct EngineRun
{
    double bytesPerSecond = 0;
    double guiCpuShare = 0;
    double downloadReportsPerSecond = 0;
    double uploadReportsPerSecond = 0;
    bool complete = false;
};

EngineRun ThroughTheEngine(const QString& source, const QString& folder, qint64 size)
{
    using namespace TransfersTypes;
    EngineOptions options;
    options.loopbackListeners = true;
    Engine engine(options);
    Settings::Set(SettingKeys::Username, "alice");
    Settings::Set(SettingKeys::DownloadFolder, QFile::encodeName(folder).toStdString());
    Settings::SetYes(SettingKeys::UseUpnp, false);
    dataSaver->EmitDataLoaded();
    TransferQueueManager& transfers = *engine.transfers();

    // Bob is this client: his address is our own listener.
    ItemPtr bob = ServerStore::User("bob");
    bob += d.GetType("user_address")->GetItem(Value(unsigned(0x7f000001)));
    bob += d.GetType("user_port")->GetItem(Value(int(engine.peer()->ListeningPort())));

    // Our upload to bob, as accepting our offer leaves it.
    ItemPtr upload = d.GetType(UploadEntry)->NewItem();
    upload += bob;
    auto* file = new QFile(source);
    file->open(QIODevice::ReadOnly);
    TransferQueueManager::AttachObject(upload, UploadFile, file);
    upload += d.GetType(TransferReq)->GetItem(Value(kToken));
    transfers.SetUploadEntryStatus(upload, TransferStatus::Connecting);

    // And alice's download of it, as accepting her offer leaves it.
    ItemPtr download = d.GetType(DownloadEntry)->NewItem();
    download += ServerStore::User("alice");
    download += d.GetType(FileName)->GetItem(Value("big.bin"));
    download += d.GetType(RemoteFolder)->GetItem(Value("Bench"));
    download += d.GetType(PeerTypes::FileSize)->GetItem(Value(size));
    download += d.GetType(RemoteTransferReq)->GetItem(Value(kToken));
    transfers.SetDownloadEntryStatus(download, TransferStatus::Queued);

    int downloadReports = 0;
    int uploadReports = 0;
    QObject::connect(&transfers, &TransferQueueManager::DownloadProgressed,
                     [&downloadReports](ItemPtr) { ++downloadReports; });
    QObject::connect(&transfers, &TransferQueueManager::UploadProgressed,
                     [&uploadReports](ItemPtr) { ++uploadReports; });
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        const std::string d = download[DownloadEntryStatus].AsString();
        const std::string u = upload[UploadEntryStatus].AsString();
        if ((d == TransferStatus::Complete || d == TransferStatus::Aborted) &&
            u != TransferStatus::Uploading && u != TransferStatus::Connecting)
            loop.quit();
    });
    check.start(100);

    QElapsedTimer elapsed;
    elapsed.start();
    const double cpuBefore = ThreadCpuSeconds();
    peerMessenger->RequestFileConnectionToUser("bob");
    loop.exec();
    const double seconds = double(elapsed.nsecsElapsed()) / 1e9;
    const double cpu = ThreadCpuSeconds() - cpuBefore;

    EngineRun run;
    run.complete = download[DownloadEntryStatus].AsString() == TransferStatus::Complete &&
                   upload[UploadEntryStatus].AsString() == TransferStatus::Complete;
    run.bytesPerSecond = double(size) / seconds;
    run.guiCpuShare = cpu / seconds;
    run.downloadReportsPerSecond = downloadReports / seconds;
    run.uploadReportsPerSecond = uploadReports / seconds;
    QFile::remove(QDir(folder).filePath(QStringLiteral("complete/Bench/big.bin")));
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 size = (argc > 1 ? QByteArray(argv[1]).toLongLong() : 2048) << 20;
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.bin"));
    if (!MakeSparse(source, size)) {
        std::printf("could not make the %lld-byte source\n", static_cast<long long>(size));
        return 1;
    }
    Warm(source);
    std::printf("transfer: %lld MiB, sparse and page-cached, over loopback\n",
                static_cast<long long>(size >> 20));

    // The baseline runs before and after the engine, and the faster of the two counts: whatever
    // the machine does meanwhile (writing back the last run's file) favours neither side.
    const QString copy = dir.filePath(QStringLiteral("baseline.bin"));
    const double before = Baseline(source, copy, size);
    const EngineRun run = ThroughTheEngine(source, dir.filePath(QStringLiteral("downloads")), size);
    const double after = Baseline(source, copy, size);
    const double baseline = std::max(before, after);
    std::printf("baseline (plain threads, QFile -> QTcpSocket -> QFile, 8 KiB blocks): "
                "%.1f MiB/s (%.1f before the engine's run, %.1f after)\n",
                baseline / (1 << 20), before / (1 << 20), after / (1 << 20));
    if (!run.complete)
        std::printf("the transfer did not complete\n");
    const double ratio = run.bytesPerSecond / baseline;
    std::printf("engine (upload and download threads, handlers live): %.1f MiB/s, %.2fx the "
                "baseline (target at least 0.5x) %s\n",
                run.bytesPerSecond / (1 << 20), ratio, ratio >= 0.5 ? "ok" : "MISSED");
    std::printf("GUI-thread CPU: %.1f%% of the elapsed time (target under 10%%) %s\n",
                100.0 * run.guiCpuShare, run.guiCpuShare < 0.10 ? "ok" : "MISSED");
    std::printf("progress signals a second: %.1f download, %.1f upload (target about 10 at "
                "most) %s\n",
                run.downloadReportsPerSecond, run.uploadReportsPerSecond,
                run.downloadReportsPerSecond <= 11 && run.uploadReportsPerSecond <= 11 ? "ok"
                                                                                       : "MISSED");
    return run.complete ? 0 : 1;
}

// The download and upload threads on their own, over loopback connections whose other end is a
// plain socket in the test: how each fails (a silent or vanished peer, a partial file larger
// than the file, offsets out of range, a peer that takes nothing), and stop requests while a
// peer stalls or a throttle sleeps. Whole transfers go through the engine in
// tst_fileconnections and tst_fileuploads.

#include "FileBytes.h"
#include "transfers/TransferWorkers.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using namespace FileBytes;

namespace {

constexpr int kPatient = 60000;

// A connected pair on 127.0.0.1: ours, for a worker (no parent, ready to be moved to its
// thread), and the peer's, which the test drives on its own thread.
struct Connection
{
    Connection()
    {
        listener.listen(QHostAddress::LocalHost, 0);
        ours = std::make_unique<QTcpSocket>();
        ours->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        if (listener.waitForNewConnection(kPatient) && ours->waitForConnected(kPatient))
            peer.reset(listener.nextPendingConnection());
        if (peer)
            peer->setParent(nullptr);
    }

    QTcpServer listener;
    std::unique_ptr<QTcpSocket> ours;
    std::unique_ptr<QTcpSocket> peer;
};

// What a worker reported, received queued on the test's thread as the engine receives it.
struct Reports
{
    std::vector<qint64> positions;
    int completes = 0;
    int errors = 0;
    // Positions reported after the end signal.
    int late = 0;

    bool Ended() const { return completes + errors > 0; }
    void Progress(qint64 position)
    {
        late += Ended();
        positions.push_back(position);
    }
};

void Watch(DownloadThread& t, Reports& r)
{
    QObject::connect(&t, &DownloadThread::DownloadProgress, &t,
                     [&r](qint64 p, int) { r.Progress(p); });
    QObject::connect(&t, &DownloadThread::DownloadComplete, &t, [&r] { ++r.completes; });
    QObject::connect(&t, &DownloadThread::DownloadError, &t, [&r] { ++r.errors; });
}

void Watch(UploadThread& t, Reports& r)
{
    QObject::connect(&t, &UploadThread::UploadProgress, &t, [&r](qint64 p, int) { r.Progress(p); });
    QObject::connect(&t, &UploadThread::UploadComplete, &t, [&r] { ++r.completes; });
    QObject::connect(&t, &UploadThread::UploadError, &t, [&r] { ++r.errors; });
}

// Hands the socket over the way the engine does and starts the worker.
template <class Worker> void Start(Worker& worker, QTcpSocket* socket)
{
    socket->moveToThread(&worker);
    worker.start();
}

// The worker ended, its last reports were delivered and its socket came back to this thread.
// The peer's socket lives on this thread: its bytes move only while the event loop runs.
template <class Worker> bool Finish(Worker& worker, const Reports& r, QTcpSocket* socket)
{
    return QTest::qWaitFor([&] { return worker.isFinished() && r.Ended(); }, kPatient) &&
           socket->thread() == QThread::currentThread();
}

// A stop request ends the running worker within a second, where its waits on the peer and its
// throttle sleeps last up to 30 s and 8 s; its end signal follows.
bool StopsWithinASecond(TransferWorker& worker, const Reports& r)
{
    QElapsedTimer stopping;
    stopping.start();
    worker.SignalExit();
    if (!worker.wait(kPatient))
        return false;
    if (stopping.elapsed() >= 1000) {
        qWarning("stopped after %lld ms", static_cast<long long>(stopping.elapsed()));
        return false;
    }
    return QTest::qWaitFor([&r] { return r.Ended(); }, kPatient);
}

// One worker's file, opened as the engine opens it.
struct WorkFile
{
    explicit WorkFile(const QString& path) : file(path) {}
    bool Create(const QByteArray& content, QIODevice::OpenMode mode)
    {
        QFile init(file.fileName());
        return init.open(QIODevice::WriteOnly) && init.write(content) == content.size() &&
               init.flush() && (init.close(), file.open(mode));
    }
    // A sparse file of that size.
    bool CreateSparse(qint64 size, QIODevice::OpenMode mode)
    {
        QFile init(file.fileName());
        return init.open(QIODevice::WriteOnly) && init.resize(size) && (init.close(), true) &&
               file.open(mode);
    }
    QByteArray Content()
    {
        QFile f(file.fileName());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
    }
    QFile file;
};

} // namespace

class TestTransferWorkers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { TransferIo::SetWaitMsForTesting(0); }
    void cleanup() { TransferIo::SetWaitMsForTesting(0); }

    void downloadFails_data();
    void downloadFails();
    void stopWhilePeersStall_data();
    void stopWhilePeersStall();

    void uploadFails_data();
    void uploadFails();
    void throttleSleepEndsOnStop();

private:
    QTemporaryDir m_dir;
};

void TestTransferWorkers::downloadFails_data()
{
    QTest::addColumn<qint64>("partial");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("sent");
    QTest::addColumn<bool>("peerCloses");
    QTest::addColumn<int>("waitMs");
    // The peer's file is not the one we hold part of.
    QTest::newRow("partial larger than the file")
        << qint64(3000) << qint64(2000) << qint64(0) << false << 0;
    QTest::newRow("peer closes early") << qint64(0) << qint64(20000) << qint64(9000) << true << 0;
    QTest::newRow("peer falls silent")
        << qint64(100) << qint64(20000) << qint64(5000) << false << 200;
    QTest::newRow("peer never sends") << qint64(0) << qint64(20000) << qint64(0) << false << 200;
}

void TestTransferWorkers::downloadFails()
{
    QFETCH(qint64, partial);
    QFETCH(qint64, size);
    QFETCH(qint64, sent);
    QFETCH(bool, peerCloses);
    QFETCH(int, waitMs);
    TransferIo::SetWaitMsForTesting(waitMs);
    const QByteArray content = Pattern(qMax(size, partial), 3);
    WorkFile f(m_dir.filePath(QString::fromLatin1(QTest::currentDataTag())));
    QVERIFY(f.Create(content.left(partial), QIODevice::WriteOnly | QIODevice::Append));
    Connection c;
    QVERIFY(c.peer);

    DownloadThread worker(c.ours.get(), &f.file, size, partial);
    Reports r;
    Watch(worker, r);
    c.peer->write(content.mid(partial, sent));
    if (peerCloses)
        c.peer->disconnectFromHost();
    Start(worker, c.ours.get());
    QVERIFY(Finish(worker, r, c.ours.get()));

    QCOMPARE(r.completes, 0);
    QCOMPARE(r.errors, 1);
    QCOMPARE(r.late, 0);
    // Whole blocks that arrived stay in the partial file, for the next attempt to resume from.
    const qint64 kept = partial + sent / TransferIo::kBlockSize * TransferIo::kBlockSize;
    QCOMPARE(f.Content(), content.left(partial <= size ? kept : partial));
    if (partial < size && sent >= TransferIo::kBlockSize)
        QCOMPARE(r.positions.back(), kept);
}

void TestTransferWorkers::stopWhilePeersStall_data()
{
    // A download stalled mid-block is stopped through the engine (tst_fileconnections).
    QTest::addColumn<int>("stage");
    QTest::newRow("waiting for the offset") << 0;
    QTest::newRow("with a peer that reads nothing") << 1;
    QTest::newRow("waiting for the close") << 2;
}

void TestTransferWorkers::stopWhilePeersStall()
{
    QFETCH(int, stage);
    // Peers that stall for the whole 30 s I/O wait: a stop request must not wait for it.
    Connection c;
    QVERIFY(c.peer);
    const qint64 size = stage == 1 ? qint64(256) << 20 : 20000;
    WorkFile f(m_dir.filePath(QString::fromLatin1(QTest::currentDataTag())));
    QVERIFY(f.CreateSparse(size, QIODevice::ReadOnly));
    UploadSpeedLimits limits;
    UploadThread worker(c.ours.get(), &f.file, 7, limits);
    Reports r;
    Watch(worker, r);
    c.peer->setReadBufferSize(4096);
    if (stage > 0)
        c.peer->write(Le64(stage == 1 ? 0 : size));
    c.peer->flush();
    Start(worker, c.ours.get());
    // Past the first slice of the wait the worker is stalled.
    QTest::qWait(2 * TransferIo::kWaitSliceMs);
    QVERIFY(worker.isRunning());

    QVERIFY(StopsWithinASecond(worker, r));
    // Everything was sent before the wait for the close: that upload did its part.
    QCOMPARE(r.completes, stage == 2 ? 1 : 0);
    QCOMPARE(c.ours->thread(), QThread::currentThread());
}

void TestTransferWorkers::uploadFails_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("peerCloses");
    QTest::addColumn<bool>("reads");
    QTest::newRow("offset past the end") << Le64(1001) << false << true;
    QTest::newRow("negative offset") << Le64(-1) << false << true;
    QTest::newRow("no offset") << QByteArray() << false << true;
    QTest::newRow("half an offset") << QByteArray(4, '\0') << false << true;
    QTest::newRow("closed before the offset") << QByteArray(3, '\0') << true << true;
    // The file is big enough that the peer's buffers fill up.
    QTest::newRow("peer reads nothing") << Le64(0) << false << false;
}

void TestTransferWorkers::uploadFails()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, peerCloses);
    QFETCH(bool, reads);
    TransferIo::SetWaitMsForTesting(200);
    WorkFile f(m_dir.filePath(QString::fromLatin1(QTest::currentDataTag())));
    QVERIFY(reads ? f.Create(Pattern(1000, 5), QIODevice::ReadOnly)
                  : f.CreateSparse(qint64(256) << 20, QIODevice::ReadOnly));
    Connection c;
    QVERIFY(c.peer);
    if (!reads)
        c.peer->setReadBufferSize(4096);

    UploadSpeedLimits limits;
    UploadThread worker(c.ours.get(), &f.file, 7, limits);
    Reports r;
    Watch(worker, r);
    c.peer->write(answer);
    if (peerCloses)
        c.peer->disconnectFromHost();
    Start(worker, c.ours.get());
    QVERIFY(Finish(worker, r, c.ours.get()));
    QCOMPARE(r.completes, 0);
    QCOMPARE(r.errors, 1);
    if (reads)
        QVERIFY(r.positions.empty());
    if (reads && !peerCloses)
        QCOMPARE(c.peer->readAll().toHex(), QByteArray("07000000"));
}

void TestTransferWorkers::throttleSleepEndsOnStop()
{
    // At 1 KiB/s one block's debt is an eight-second sleep.
    WorkFile f(m_dir.filePath(QStringLiteral("throttled")));
    QVERIFY(f.Create(Pattern(100000, 9), QIODevice::ReadOnly));
    Connection c;
    QVERIFY(c.peer);
    UploadSpeedLimits limits;
    limits.Apply(1, 1);
    UploadThread worker(c.ours.get(), &f.file, 7, limits);
    Reports r;
    Watch(worker, r);
    c.peer->write(Le64(0));
    Start(worker, c.ours.get());
    QVERIFY(QTest::qWaitFor([&] { return c.peer->bytesAvailable() >= 4 + 8192; }, kPatient));
    QVERIFY(worker.isRunning());

    QVERIFY(StopsWithinASecond(worker, r));
    QCOMPARE(r.errors, 1);
    QCOMPARE(c.peer->readAll().size(), 4 + 8192);
}

QTEST_GUILESS_MAIN(TestTransferWorkers)
#include "tst_transferworkers.moc"

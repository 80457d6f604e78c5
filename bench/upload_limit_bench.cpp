// How closely real upload threads hold the upload speed limit over loopback, against readers
// that take every byte as fast as it comes: a cap of 2048 KiB/s with one upload, then shared by
// four. The bytes received are counted in 10 ms buckets on one monotonic clock; every 5-second
// and every 1-second window of the run is compared with the cap (the baseline: what the cap
// allows in that window on the same clock).
//
// Targets: every 5 s window within 5% of the cap; no 1 s window above the cap by more than one
// 8 KiB block per upload. The exit status follows the 5 s target: a 1 s window over its target
// is reported, with the stalls that explain it, but fails the run only when a 5 s window misses
// too, since a machine busy with other work makes such seconds whatever the limiter does.
//
// Each case runs twice. First with every thread of the run at real-time priority where that is
// allowed: the limiter alone, which the targets judge. Then at normal priority, for what a busy
// machine adds: an upload thread kept off the processor for 20 ms sends the allowance of those
// 20 ms at once when it is back (the cap holds over seconds, not over every second), and a reader
// kept waiting counts a gap and then a burst that the sender never made. Every run also reports
// its stalls (20 ms or more without a byte), which explain a 1 s window over the target. The
// readers acknowledge at once: with delayed acknowledgements the stack holds each paced 8 KiB
// segment back for up to 40 ms and delivers them in batches.
//
// The files sent are written out, not sparse: reading a sparse file's holes stalls the sender
// for 10 ms every few megabytes while the kernel finds pages for them.

#include "transfers/TransferWorkers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>

namespace {

constexpr int kCapKiB = 2048;
constexpr qint64 kCapBytes = qint64(kCapKiB) * 1024;
constexpr int kSeconds = 20;
constexpr int kBucketMs = 10;
constexpr int kBuckets = kSeconds * 1000 / kBucketMs;
constexpr int kStallMs = 20;

// Bytes received per 10 ms since the clock's start, by all readers.
struct Buckets
{
    Buckets() : counts(kBuckets + 1) {}
    void Add(qint64 atMs, qint64 bytes)
    {
        const qint64 i = std::min<qint64>(atMs / kBucketMs, kBuckets);
        counts[size_t(i)].fetch_add(bytes, std::memory_order_relaxed);
    }
    std::vector<std::atomic<qint64>> counts;
};

// A downloader that reads at full speed: it takes the token, asks for the whole file and then
// counts every byte it gets until it is stopped.
class Reader : public QThread
{
public:
    Reader(QTcpSocket* socket, const QElapsedTimer& clock, Buckets& buckets)
        : m_socket(socket), m_clock(clock), m_buckets(buckets)
    {
    }
    std::atomic<bool> stop{false};

protected:
    void run() override
    {
        std::vector<char> buf(1 << 16);
        qint64 skip = 4; // the token
        const qint64 offset = 0;
        m_socket->write(reinterpret_cast<const char*>(&offset), sizeof offset);
        m_socket->flush();
        while (!stop.load()) {
            if (m_socket->bytesAvailable() == 0 && !m_socket->waitForReadyRead(50)) {
                if (m_socket->state() != QAbstractSocket::ConnectedState)
                    break;
                continue;
            }
            qint64 n = m_socket->read(buf.data(), qint64(buf.size()));
            if (n < 0)
                break;
            // Acknowledged at once: a delayed acknowledgement holds the sender's next small
            // segment back (for up to 40 ms), and what then arrives in one go is the stack's
            // batching, not the limiter's.
            const int on = 1;
            ::setsockopt(int(m_socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on,
                         sizeof on);
            const qint64 counted = std::max<qint64>(0, n - skip);
            skip = std::max<qint64>(0, skip - n);
            if (counted > 0)
                m_buckets.Add(m_clock.elapsed(), counted);
        }
        m_socket->close();
    }

private:
    QTcpSocket* m_socket;
    const QElapsedTimer& m_clock;
    Buckets& m_buckets;
};

struct Result
{
    double meanRatio = 0;
    double worst5 = 0;       // largest |window / cap - 1| over 5 s windows
    qint64 worst1Excess = 0; // largest bytes above the cap in a 1 s window
    int longestGapMs = 0;    // the longest time nothing arrived
    int stalls = 0;          // times nothing arrived for kStallMs or more
};

Result Run(int uploads, const QString& dir)
{
    UploadSpeedLimits limits;
    limits.Apply(kCapKiB, uploads);
    QTcpServer listener;
    listener.listen(QHostAddress::LocalHost, 0);
    Buckets buckets;
    QElapsedTimer clock;

    std::vector<std::unique_ptr<QFile>> files;
    std::vector<std::unique_ptr<QTcpSocket>> ours;
    std::vector<std::unique_ptr<QTcpSocket>> theirs;
    std::vector<std::unique_ptr<UploadThread>> workers;
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < uploads; ++i) {
        auto file = std::make_unique<QFile>(dir + QStringLiteral("/src%1").arg(i));
        file->open(QIODevice::WriteOnly);
        {
            const QByteArray chunk(1 << 20, 'q');
            for (qint64 n = 0; n < kCapBytes * (kSeconds + 5); n += chunk.size())
                file->write(chunk);
        }
        file->close();
        file->open(QIODevice::ReadOnly);
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        listener.waitForNewConnection(10000);
        socket->waitForConnected(10000);
        std::unique_ptr<QTcpSocket> peer(listener.nextPendingConnection());
        peer->setParent(nullptr);
        workers.push_back(std::make_unique<UploadThread>(socket.get(), file.get(), i, limits));
        readers.push_back(std::make_unique<Reader>(peer.get(), clock, buckets));
        socket->moveToThread(workers.back().get());
        peer->moveToThread(readers.back().get());
        files.push_back(std::move(file));
        ours.push_back(std::move(socket));
        theirs.push_back(std::move(peer));
    }
    clock.start();
    for (int i = 0; i < uploads; ++i) {
        readers[size_t(i)]->start();
        workers[size_t(i)]->start();
    }
    QThread::sleep(kSeconds);
    for (auto& w : workers)
        w->SignalExit();
    for (auto& w : workers)
        w->wait();
    for (auto& r : readers) {
        r->stop = true;
        r->wait();
    }

    // Windows over the whole run, sliding by one bucket.
    std::vector<qint64> prefix(kBuckets + 1, 0);
    for (int i = 0; i < kBuckets; ++i)
        prefix[size_t(i + 1)] = prefix[size_t(i)] + buckets.counts[size_t(i)].load();
    Result r;
    r.meanRatio = double(prefix[kBuckets]) / (double(kCapBytes) * kSeconds);
    const int per1 = 1000 / kBucketMs;
    for (int start = 0; start + 5 * per1 <= kBuckets; ++start) {
        const double got = double(prefix[size_t(start + 5 * per1)] - prefix[size_t(start)]);
        r.worst5 = std::max(r.worst5, std::fabs(got / (5.0 * kCapBytes) - 1.0));
    }
    // Stalls: 20 ms or more without a byte, where about five blocks were due. What the
    // limiter then sends back shows in the second after the stall as bytes over the cap.
    int gap = 0;
    for (int i = 1; i < kBuckets; ++i) {
        gap = buckets.counts[size_t(i)].load() == 0 ? gap + 1 : 0;
        r.longestGapMs = std::max(r.longestGapMs, gap * kBucketMs);
        r.stalls += gap * kBucketMs == kStallMs;
    }
    for (int start = 0; start + per1 <= kBuckets; ++start) {
        const qint64 over = prefix[size_t(start + per1)] - prefix[size_t(start)] - kCapBytes;
        r.worst1Excess = std::max(r.worst1Excess, over);
    }
    return r;
}

// Threads started afterwards inherit the policy.
bool SetRealTime(bool on)
{
    sched_param param{};
    param.sched_priority = on ? sched_get_priority_min(SCHED_FIFO) : 0;
    return pthread_setschedparam(pthread_self(), on ? SCHED_FIFO : SCHED_OTHER, &param) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    std::printf("upload limit: cap %d KiB/s (%lld bytes/s, the baseline), %d s per run, "
                "readers at full speed over loopback\n",
                kCapKiB, static_cast<long long>(kCapBytes), kSeconds);
    bool ok = true;
    const bool realTime = SetRealTime(true);
    std::printf("real-time priority: %s\n",
                realTime ? "yes" : "not allowed here, so the targets see the machine's load too");
    for (int uploads : {1, 4}) {
        const Result r = Run(uploads, dir.path());
        const qint64 allowed = qint64(uploads) * TransferIo::kBlockSize;
        const bool pass5 = r.worst5 <= 0.05;
        const bool pass1 = r.worst1Excess <= allowed;
        // Only the 5 s figure fails the run; a second over its target is reported beside it.
        ok = ok && pass5;
        const char* verdict1 = pass1   ? "ok"
                               : pass5 ? "missed (reported; the 5 s windows hold, so not failed)"
                                       : "MISSED";
        std::printf("%d upload(s): mean rate %.4f x the cap; worst 5 s window %.2f%% off the cap "
                    "(target 5%%) %s; worst 1 s window %lld bytes over the cap (target %lld) %s\n",
                    uploads, r.meanRatio, 100.0 * r.worst5, pass5 ? "ok" : "MISSED",
                    static_cast<long long>(r.worst1Excess), static_cast<long long>(allowed),
                    verdict1);
        std::printf("   %d stall(s) of %d ms or more without a byte, the longest %d ms\n", r.stalls,
                    kStallMs, r.longestGapMs);
    }
    if (realTime) {
        SetRealTime(false);
        std::printf("normal priority, for comparison (not judged):\n");
        for (int uploads : {1, 4}) {
            const Result r = Run(uploads, dir.path());
            std::printf("%d upload(s): mean rate %.4f x the cap; worst 5 s window %.2f%% off; "
                        "worst 1 s window %lld bytes over; %d stall(s), the longest %d ms\n",
                        uploads, r.meanRatio, 100.0 * r.worst5,
                        static_cast<long long>(r.worst1Excess), r.stalls, r.longestGapMs);
        }
    }
    return ok ? 0 : 1;
}

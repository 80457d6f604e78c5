// Searches coming down the distributed tree: a parent sends kRate searches a second to this
// client, which answers each from a 100,000-file share and passes it on to 10 children, all on
// loopback. The parent's and the children's ends run on a thread of their own, so what is
// measured is the GUI thread's CPU time per search.
//
// Baseline, same run, same share and sockets: the GUI thread writes the same frame to the 10
// child sockets by hand and calls SharedFoldersManager::OnDNetSearchRequest directly, at the
// same rate. Target: at most 1.5x the baseline. Nothing is asserted. Run it from a Release
// build. With a folder as argument the share is kept there and made only if the folder is empty.

#include "dnet/DNetManager.h"
#include "engine/Engine.h"
#include "peer/PeerFraming.h"
#include "shares/SharedFoldersManager.h"
#include "store/Data.h"
#include "store/MemStream.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kFolders = 5000;
constexpr int kFilesPerFolder = 20; // 100,000 files
constexpr int kChildren = 10;
constexpr int kRate = 200;  // searches a second
constexpr int kSeconds = 3; // per round
constexpr int kRounds = 3;
constexpr int kUsers = 50; // searching users, in turn

const char* const kWords[] = {"quiet",   "harbour",  "lantern", "saltwater",
                              "orchard", "meridian", "copper",  "velvet"};

void MakeShare(const std::string& root)
{
    for (int f = 0; f < kFolders; ++f) {
        const std::string folder = root + "/" + kWords[f % 8] + " " + std::to_string(f);
        ::mkdir(folder.c_str(), 0755);
        for (int i = 0; i < kFilesPerFolder; ++i) {
            const std::string file = folder + "/" + std::to_string(i + 1) + " - " +
                                     kWords[(f + i) % 8] + " take" + std::to_string(f * 31 + i) +
                                     ".mp3";
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0)
                ::close(fd);
        }
    }
}

// A query that a handful of files answer: one take number and one word of its folder.
std::string Query(int n)
{
    const int f = (n * 7919) % kFolders;
    const int i = n % kFilesPerFolder;
    return std::string(kWords[f % 8]) + " take" + std::to_string(f * 31 + i);
}

QByteArray SearchBody(int n)
{
    MemStream body;
    body.Write(quint8(3));
    body.Write(quint32(49));
    body.Write("searcher" + std::to_string(n % kUsers));
    body.Write(quint32(n));
    body.Write(Query(n));
    return QByteArray(body.GetBuffer(), body.GetBufferLength());
}

qint64 ThreadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The far ends: the parent's socket, which sends searches when told, and the children's, which
// read everything. Lives on its own thread.
class FarEnds : public QObject
{
public:
    // Connects kChildren + 1 sockets to port; the first is the parent's.
    void Connect(quint16 port)
    {
        for (int i = 0; i <= kChildren; ++i) {
            auto* s = new QTcpSocket(this);
            s->connectToHost(QHostAddress::LocalHost, port);
            s->waitForConnected(5000);
            if (i > 0)
                QObject::connect(s, &QTcpSocket::readyRead, this,
                                 [this, s] { received += s->readAll().size(); });
            m_sockets.push_back(s);
        }
    }
    // kRate searches a second from the parent, numbered from first, count of them.
    void SendSearches(int first, int count)
    {
        auto* timer = new QTimer(this);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(1000 / kRate);
        auto next = std::make_shared<int>(first);
        QObject::connect(timer, &QTimer::timeout, this, [this, timer, next, first, count] {
            m_sockets.front()->write(BuildFrame(SearchBody((*next)++)));
            if (*next == first + count) {
                timer->stop();
                timer->deleteLater();
            }
        });
        timer->start();
    }

    // Sockets go on the thread they live on.
    void Close()
    {
        qDeleteAll(m_sockets);
        m_sockets.clear();
    }

    std::atomic<qint64> received{0};

private:
    std::vector<QTcpSocket*> m_sockets;
};

// Runs the event loop, sleeping while there is nothing to do, until done.
void WaitFor(const std::function<bool()>& done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const std::string root = argc > 1 ? std::string(argv[1]) : dir.path().toStdString() + "/share";
    ::mkdir(root.c_str(), 0755);
    if (QDir(QString::fromStdString(root)).isEmpty()) {
        std::printf("making %d files in %d folders...\n", kFolders * kFilesPerFolder, kFolders);
        MakeShare(root);
    }

    EngineOptions options;
    options.loopbackListeners = true;
    Engine engine(options);
    DNetManager& dnet = *engine.dnet();
    SharedFoldersManager& shares = *engine.shares();
    d.GetType("shared_folder")->GetItem(root).NewItem("shared_public");
    shares.Init();
    shares.WaitForScans();
    std::printf("shared files: %zu\n", d.GetType("shared_file")->ItemCount());

    // Our ends of the sockets, as the peer connection manager would hand them over.
    QTcpServer listener;
    listener.listen(QHostAddress::LocalHost, 0);
    // The far thread's counts change without an event here: look again now and then.
    QTimer wake;
    wake.start(20);
    QThread thread;
    FarEnds far;
    far.moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(
        &far, [&] { far.Connect(listener.serverPort()); }, Qt::BlockingQueuedConnection);
    std::vector<QTcpSocket*> ours;
    WaitFor([&] {
        while (QTcpSocket* s = listener.nextPendingConnection())
            ours.push_back(s);
        return ours.size() == size_t(kChildren + 1);
    });
    for (int i = 1; i <= kChildren; ++i) {
        ours[size_t(i)]->setParent(nullptr);
        dnet.OnDNetConnectionRequested("child" + std::to_string(i), ours[size_t(i)]);
    }
    QTcpSocket* parent = ours.front();
    parent->setParent(nullptr);
    dnet.OnDNetConnectionAccepted("parent", parent);
    // The first search makes it the parent; the children hear of the (empty) group leader too.
    QMetaObject::invokeMethod(&far, [&] { far.SendSearches(0, 1); });
    WaitFor([&] { return far.received == kChildren * (9 + 4 + SearchBody(0).size()); });

    int searches = 0;
    QObject::connect(&dnet, &DNetManager::DNetSearchRequest, [&] { ++searches; });

    const int count = kRate * kSeconds;
    int next = 1;
    // Through the tree: the parent sends, the client answers and passes on.
    const auto throughTree = [&] {
        const int first = next;
        next += count;
        const int wanted = searches + count;
        const qint64 cpu = ThreadCpuNs();
        QMetaObject::invokeMethod(&far, [&far, first, count] { far.SendSearches(first, count); });
        WaitFor([&] { return searches == wanted; });
        return ThreadCpuNs() - cpu;
    };
    // By hand, on the same sockets: the same frames to every child, and the search itself.
    std::vector<QTcpSocket*> children(ours.begin() + 1, ours.end());
    const auto byHand = [&] {
        int n = next;
        const int end = next + count;
        next = end;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(1000 / kRate);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            const QByteArray frame = BuildFrame(SearchBody(n));
            for (QTcpSocket* s : children)
                s->write(frame);
            shares.OnDNetSearchRequest("searcher" + std::to_string(n % kUsers), quint32(n),
                                       Query(n));
            if (++n == end)
                timer.stop();
        });
        const qint64 cpu = ThreadCpuNs();
        timer.start();
        WaitFor([&] { return n == end; });
        return ThreadCpuNs() - cpu;
    };

    // Alternating rounds, the best of each: the machine may be busy with other work.
    const qint64 start = far.received;
    qint64 treeNs = -1;
    qint64 baseNs = -1;
    for (int round = 0; round < kRounds; ++round) {
        const qint64 tree = throughTree();
        const qint64 base = byHand();
        treeNs = treeNs < 0 ? tree : std::min(treeNs, tree);
        baseNs = baseNs < 0 ? base : std::min(baseNs, base);
    }
    // Every search of both ways reaches every child.
    qint64 expected = 0;
    for (int n = 1; n < next; ++n)
        expected += kChildren * (4 + SearchBody(n).size());
    WaitFor([&] { return far.received - start >= expected; });

    QMetaObject::invokeMethod(
        &far, [&far] { far.Close(); }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    const double tree = double(treeNs) / count / 1000.0;
    const double base = double(baseNs) / count / 1000.0;
    std::printf("%d rounds of %d searches at %d a second each way, %d children; %d searches "
                "answered through the tree, %lld bytes passed on\n",
                kRounds, count, kRate, kChildren, searches,
                static_cast<long long>(far.received - start));
    std::printf("through the tree:  %8.1f us of GUI-thread CPU per search\n", tree);
    std::printf("by hand (baseline): %7.1f us per search\n", base);
    std::printf("ratio: %.2fx (target 1.5x)\n", tree / base);
    return 0;
}

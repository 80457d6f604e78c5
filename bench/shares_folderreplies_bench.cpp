// What folder contents requests cost us when peers ask and do not wait for the answer: one
// public folder of 20,000 files with 200-byte names (random letters, so that the replies compress
// as little as real ones might), asked for
//   cycles  by one peer that connects, asks and closes, 300 times in about 5 s
//   names   once under each of 256 names, 16 from each of 16 addresses, that never read; then
//           our share list asked for by as many, the honest peer asking for it too
//   slow    once under each of 16 names, from one address or from 16, that read 64 KB of their
//           replies every 10 s and keep their connections up (kernel buffers of 64 KB both
//           ways, as on an Ethernet link)
// while an honest peer, connected before, asks once in the middle and reads its reply. The peers
// are threads of plain blocking sockets, so that what they are sent waits in the system's buffers
// and never in this process. Each figure is the rise of the resident set's high-water mark over
// the run (VmHWM, reset before each run), against the honest request alone as the baseline, and
// the time the honest peer waited for its reply; the target is a rise under 256 MB with the
// reply delivered. Last, the honest peer asks for a folder of a million files of 80-byte names:
// the longest gap of a 1 ms timer on the GUI thread until the reply is there, against the same
// timer with nothing to do (target at most 100 ms).
//
// Then, as root (skipped otherwise), two runs each in a network namespace of its own whose
// loopback carries at most 2 or 1 Mbit/s (tc's token bucket), as a home uplink would: 32 users
// from addresses of their own ask for the folder at once, send nothing while they wait and read
// what comes as fast as it arrives; at 1 Mbit/s a user cut off asks again. The figure is how many
// have their whole reply within 10 minutes (targets: all 32 at 2 Mbit/s, 14 at 1 Mbit/s, which is
// about what 16 replies sharing the link at once finish). "--links" runs only these.
//
// Nothing is asserted. Run it from a Release build.

#include "BenchLists.h"
#include "BenchShare.h"

#include "engine/Engine.h"
#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Settings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTimer>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kFiles = 20000;
constexpr int kNameBytes = 200;
constexpr int kCycles = 300;
constexpr int kCycleGapMs = 16;
constexpr int kAddresses = 16;
constexpr int kNamesPerAddress = 16;
constexpr double kTargetMiB = 256;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kSlowNames = 16;
constexpr int kSlowReadBytes = 64 * 1024;
constexpr int kSlowReadEveryMs = 10000;
constexpr qint64 kSlowWaitMs = 300000;
constexpr int kHugeFiles = 1000000;
constexpr int kHugeNameBytes = 80;
constexpr qint64 kMaxGapMs = 100;
constexpr int kLinkUsers = 32;
constexpr qint64 kLinkRunMs = 600000;
const char* const kFolder = "\\data\\Big";
const char* const kHugeFolder = "\\data\\Huge";

using BenchShare::ConnectAsPeer;
using BenchShare::Frame;
using BenchShare::Put32;
using BenchShare::PutText;
using BenchShare::SendAll;
using BenchShare::WaitFor;

bool ReadAll(int fd, char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Our share list asked for, when folder is null.
std::string Request(const char* folder = kFolder)
{
    if (!folder) {
        std::string body;
        Put32(body, PM_GET_SHARED_FILE_LIST);
        return Frame(body);
    }
    std::string body;
    Put32(body, PM_GET_SHARED_FILES_IN_FOLDER);
    Put32(body, 9);
    PutText(body, folder);
    return Frame(body);
}

// What a flood is told and keeps: when the honest peer should ask, when to stop, and the
// sockets it leaves open until the run is measured; and once it is connected, the kernel send
// buffer our side of each connection gets (0: the system's own, which on loopback takes a whole
// reply at once).
struct Flooding
{
    std::atomic<bool> halfway{false};
    std::atomic<bool> stop{false};
    std::vector<int> kept;
    int sendBuffer = 0;
    std::atomic<bool> connected{false};
    std::atomic<bool> buffersSet{false};
};

// 16 names that ask, and once their replies come read kSlowReadBytes of each every
// kSlowReadEveryMs, with a message to keep each connection up, until told to stop.
void SlowReaders(quint16 port, int addresses, Flooding& f)
{
    std::string nothing;
    Put32(nothing, PM_NOTHING);
    for (int k = 0; k < kSlowNames; ++k) {
        const int fd = ConnectAsPeer(port, "slow" + std::to_string(k), 1 + k % addresses);
        const int buffer = kSlowReadBytes;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        f.kept.push_back(fd);
    }
    f.sendBuffer = kSlowReadBytes;
    f.connected = true;
    while (!f.buffersSet)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int fd : f.kept)
        SendAll(fd, Request());
    std::vector<char> bytes(kSlowReadBytes);
    // Every reply that goes is on its way before the honest peer asks.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    f.halfway = true;
    while (!f.stop) {
        for (int fd : f.kept) {
            SendAll(fd, Frame(nothing));
            size_t got = 0;
            ssize_t n = 1;
            while (got < bytes.size() && n > 0) {
                n = ::recv(fd, bytes.data() + got, bytes.size() - got, MSG_DONTWAIT);
                got += n > 0 ? size_t(n) : 0;
            }
        }
        for (int ms = 0; ms < kSlowReadEveryMs && !f.stop; ms += 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

size_t PeerSockets()
{
    return d.GetType("peer_socket")->ItemCount();
}

// The honest peer: asks when told to and reads its reply.
class Honest
{
public:
    explicit Honest(quint16 port) : m_fd(ConnectAsPeer(port, "honest", 200)) {}
    ~Honest()
    {
        // A reply that never came leaves the thread reading.
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_fd);
    }
    void Ask(const char* folder = kFolder)
    {
        m_thread = std::thread([this, folder] {
            QElapsedTimer t;
            t.start();
            SendAll(m_fd, Request(folder));
            char length[4];
            if (!ReadAll(m_fd, length, 4))
                return;
            quint32 size = 0;
            std::memcpy(&size, length, 4);
            std::string body(size, '\0');
            if (!ReadAll(m_fd, body.data(), size))
                return;
            quint32 code = 0;
            std::memcpy(&code, body.data(), 4);
            m_bytes = size;
            m_ms = t.elapsed();
            m_answered = code == (folder ? PM_SHARED_FILES_IN_FOLDER : PM_SHARED_FILE_LIST);
        });
    }
    bool Answered() const { return m_answered; }
    qint64 Ms() const { return m_ms; }
    qint64 Bytes() const { return m_bytes; }

private:
    int m_fd;
    std::thread m_thread;
    std::atomic<bool> m_answered{false};
    std::atomic<qint64> m_ms{0};
    std::atomic<qint64> m_bytes{0};
};

struct Run
{
    double riseMiB = 0;
    bool answered = false;
    qint64 waitedMs = 0;
    qint64 replyBytes = 0;
};

// Runs flood (on a thread of its own) with the honest peer asking once halfway through it,
// stopped once the honest peer has its reply or has waited waitMs.
template <class Flood>
Run Measure(quint16 port, Flood flood, qint64 waitMs = 600000, const char* folder = kFolder)
{
    Honest honest(port);
    WaitFor([] { return PeerSockets() == 1; }, 10000);
    malloc_trim(0);
    const long long before = BenchShare::StatusKb("VmRSS");
    BenchLists::ResetPeak();
    Flooding f;
    std::atomic<bool> done{false};
    std::thread flooding([&] {
        flood(f);
        f.halfway = true;
        done = true;
    });
    WaitFor(
        [&] {
            if (f.connected && !f.buffersSet && PeerSockets() == f.kept.size() + 1) {
                for (Item* i : d.GetType("peer_socket")->GetItems())
                    ItemPtr(i).AsPointer<QTcpSocket>()->setSocketOption(
                        QAbstractSocket::SendBufferSizeSocketOption, f.sendBuffer);
                f.buffersSet = true;
            }
            return f.halfway.load();
        },
        600000);
    honest.Ask(folder);
    WaitFor([&] { return honest.Answered(); }, waitMs);
    f.stop = true;
    WaitFor([&] { return done.load(); }, 600000);
    flooding.join();
    Run run;
    run.riseMiB = double(BenchShare::StatusKb("VmHWM") - before) / 1024.0;
    run.answered = honest.Answered();
    run.waitedMs = run.answered ? honest.Ms() : waitMs;
    run.replyBytes = honest.Bytes();
    for (int fd : f.kept)
        ::close(fd);
    return run;
}

// The longest gap between ticks of a 1 ms timer on this thread until done.
template <class Done> qint64 LongestGapMs(Done done)
{
    QElapsedTimer since;
    since.start();
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout,
                     [&] { longest = std::max(longest, since.restart()); });
    tick.start(1);
    WaitFor(done, 600000);
    return longest;
}

// One of the users of a run on a slow link: asks, reads all that comes until its reply is whole,
// and when cut off asks again if told to, until the run is over.
void LinkUser(quint16 port, int n, bool askAgain, const QElapsedTimer& run,
              std::atomic<qint64>& doneMs, std::atomic<int>& cuts, std::atomic<qint64>& replyBytes)
{
    const timeval wait{1, 0};
    std::string in;
    char buffer[65536];
    while (run.elapsed() < kLinkRunMs) {
        const int fd = ConnectAsPeer(port, "reader" + std::to_string(n), 10 + n);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        SendAll(fd, Request());
        in.clear();
        for (;;) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EAGAIN && run.elapsed() < kLinkRunMs)
                continue;
            if (got <= 0)
                break;
            in.append(buffer, size_t(got));
            quint32 length = 0;
            while (in.size() >= 4 &&
                   (std::memcpy(&length, in.data(), 4), in.size() >= 4 + length)) {
                quint32 code = 0;
                std::memcpy(&code, in.data() + 4, 4);
                if (code == PM_SHARED_FILES_IN_FOLDER) {
                    doneMs = run.elapsed();
                    replyBytes = 4 + qint64(length);
                    ::close(fd);
                    return;
                }
                in.erase(0, 4 + length);
            }
        }
        ::close(fd);
        if (run.elapsed() >= kLinkRunMs)
            return;
        ++cuts;
        if (!askAgain)
            return;
    }
}

// In a network namespace of its own: the loopback limited to rate, then kLinkUsers users asking.
int LinkRun(quint16 port, const QString& rate, bool askAgain)
{
    const QString shape = QStringLiteral("ip link set lo up && ip link set lo mtu 1500 && tc qdisc "
                                         "add dev lo root tbf rate %1 burst 16kb latency 400ms")
                              .arg(rate);
    if (std::system(shape.toLatin1().constData()) != 0) {
        std::printf("could not limit the loopback to %s\n", qPrintable(rate));
        return 1;
    }
    // Each reply given up, and why, as it happens.
    int unread = 0;
    int slow = 0;
    QObject::connect(LogHub::Instance(), &LogHub::LineLogged,
                     [&](const QString&, const QString& line) {
                         if (!line.contains(QLatin1String("closing the connection")))
                             return;
                         (line.contains(QLatin1String("has read nothing")) ? unread : slow) += 1;
                         std::fprintf(stderr, "%s\n", qPrintable(line));
                     });
    QElapsedTimer run;
    run.start();
    std::vector<std::atomic<qint64>> doneMs(kLinkUsers);
    std::atomic<int> cuts{0};
    std::atomic<qint64> replyBytes{0};
    std::vector<std::thread> users;
    for (int n = 0; n < kLinkUsers; ++n) {
        doneMs[size_t(n)] = -1;
        users.emplace_back(LinkUser, port, n, askAgain, std::cref(run), std::ref(doneMs[size_t(n)]),
                           std::ref(cuts), std::ref(replyBytes));
    }
    const auto done = [&doneMs] {
        return std::count_if(doneMs.begin(), doneMs.end(), [](const auto& ms) { return ms >= 0; });
    };
    const qint64 gap =
        LongestGapMs([&] { return done() == kLinkUsers || run.elapsed() > kLinkRunMs + 2000; });
    for (std::thread& user : users)
        user.join();
    qint64 last = 0;
    for (const auto& ms : doneMs)
        last = std::max<qint64>(last, ms);
    const int target = askAgain ? 14 : kLinkUsers;
    // What the link could carry in that time, whole replies back to back (tc's mbit is 10^6).
    const double bytesPerS = rate.chopped(4).toDouble() * 1e6 / 8;
    const qint64 carried =
        replyBytes > 0 ? qint64(bytesPerS * double(kLinkRunMs) / 1000 / double(replyBytes)) : 0;
    std::printf("%s, %d users %s: %lld whole replies within %lld s (the last after %lld s), %d "
                "connections cut (%d unread, %d slow); the link carries at most %lld replies of "
                "%lld bytes then (baseline); longest 1 ms timer gap %lld ms; target %d, %.2fx: "
                "%s\n",
                qPrintable(rate), kLinkUsers, askAgain ? "asking again when cut" : "asking once",
                static_cast<long long>(done()), kLinkRunMs / 1000,
                static_cast<long long>(last / 1000), cuts.load(), unread, slow,
                static_cast<long long>(carried), static_cast<long long>(replyBytes.load()),
                static_cast<long long>(gap), target, double(done()) / target,
                done() >= target ? "met" : "MISSED");
    return 0;
}

// Each run on a slow link in a process of its own, in a network namespace of its own.
int LinkRows(const QString& self)
{
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (::geteuid() != 0 || unshare.isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("tc")).isEmpty()) {
        std::printf("slow links: skipped, they need root, unshare and tc\n");
        return 0;
    }
    for (const auto& [rate, again] : {std::pair("2mbit", "once"), std::pair("1mbit", "again")}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(unshare, {QStringLiteral("--net"), QStringLiteral("--"), self,
                              QStringLiteral("--link"), QLatin1String(rate), QLatin1String(again)});
        if (!child.waitForFinished(int(kLinkRunMs) + 300000) || child.exitCode() != 0)
            return 1;
    }
    return 0;
}

void Report(const char* what, const Run& run, const Run& baseline)
{
    std::printf("%-34s +%6.0f MiB peak (baseline +%.0f), honest reply %s after %lld ms "
                "(%lld bytes); target under +%.0f MiB with the reply: %s\n",
                what, run.riseMiB, baseline.riseMiB, run.answered ? "delivered" : "MISSING",
                static_cast<long long>(run.waitedMs), static_cast<long long>(run.replyBytes),
                kTargetMiB, run.answered && run.riseMiB < kTargetMiB ? "met" : "MISSED");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    EngineOptions options;
    options.transferQueue = false;
    options.loopbackListeners = true;
    Engine engine(options);
    Settings::Set(SettingKeys::Username, "alice");
    Settings::SetYes(SettingKeys::UseUpnp, false);
    dataSaver->EmitDataLoaded();
    const quint16 port = engine.peer()->ListeningPort();

    ItemPtr root = d.GetType("shared_folder")->GetItem(Value("/data"));
    root.NewItem("shared_public");
    ItemPtr folder = d.GetType("shared_file_folder")->GetItem(Value("/data/Big"));
    root += folder;
    std::mt19937 random(75);
    for (int k = 0; k < kFiles; ++k) {
        std::string name(kNameBytes, 'a');
        for (char& c : name)
            c = char('a' + random() % 26);
        ItemPtr file = d.GetType("shared_file")->NewItem();
        file += folder;
        file += d.GetType("shared_file_name")->GetItem(Value(name));
        file += d.GetType("shared_file_size")->GetItem(Value(k));
    }
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("--link"))
        return LinkRun(port, args[2], args[3] == QLatin1String("again"));
    QFile load(QStringLiteral("/proc/loadavg"));
    const QByteArray loadavg = load.open(QIODevice::ReadOnly) ? load.readAll().trimmed() : "?";
    std::printf("folder: %d files of %d-byte names; load average %s\n", kFiles, kNameBytes,
                loadavg.constData());
    if (args.contains(QLatin1String("--links")))
        return LinkRows(args[0]);

    const Run alone = Measure(port, [](Flooding&) {});
    std::printf("the honest request alone (baseline): +%.0f MiB peak, reply after %lld ms, "
                "%lld bytes\n",
                alone.riseMiB, static_cast<long long>(alone.waitedMs),
                static_cast<long long>(alone.replyBytes));

    const Run cycles = Measure(port, [port](Flooding& f) {
        for (int k = 0; k < kCycles; ++k) {
            const int fd = ConnectAsPeer(port, "cycler", 1);
            SendAll(fd, Request());
            ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(kCycleGapMs));
            if (k == kCycles / 2)
                f.halfway = true;
        }
    });
    Report("300 cycles of asking and leaving:", cycles, alone);
    WaitFor([] { return PeerSockets() == 0; }, 60000);

    const Run names = Measure(port, [port](Flooding& f) {
        for (int a = 0; a < kAddresses; ++a) {
            for (int k = 0; k < kNamesPerAddress; ++k) {
                const int fd = ConnectAsPeer(port, "silent" + std::to_string(a * 100 + k), 1 + a);
                SendAll(fd, Request());
                f.kept.push_back(fd);
            }
        }
        // Every request in before the honest one.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    });
    Report("256 names, 16 per address, unread:", names, alone);
    WaitFor([] { return PeerSockets() == 0; }, 60000);

    // The same names ask for our share list, and the honest peer too.
    const Run lists = Measure(
        port,
        [port](Flooding& f) {
            for (int a = 0; a < kAddresses; ++a) {
                for (int k = 0; k < kNamesPerAddress; ++k) {
                    const int fd =
                        ConnectAsPeer(port, "lister" + std::to_string(a * 100 + k), 1 + a);
                    SendAll(fd, Request(nullptr));
                    f.kept.push_back(fd);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        },
        600000, nullptr);
    Report("256 names ask for the list, unread:", lists, alone);
    WaitFor([] { return PeerSockets() == 0; }, 60000);

    for (const int addresses : {1, kSlowNames}) {
        const Run slow = Measure(
            port, [port, addresses](Flooding& f) { SlowReaders(port, addresses, f); }, kSlowWaitMs);
        Report(addresses == 1 ? "16 slow readers at one address:" : "16 slow readers at 16:", slow,
               alone);
        WaitFor([] { return PeerSockets() == 0; }, 60000);
    }

    ItemPtr huge = d.GetType("shared_file_folder")->GetItem(Value("/data/Huge"));
    root += huge;
    for (int k = 0; k < kHugeFiles; ++k) {
        std::string name(kHugeNameBytes, 'a');
        for (char& c : name)
            c = char('a' + random() % 26);
        ItemPtr file = d.GetType("shared_file")->NewItem();
        file += huge;
        file += d.GetType("shared_file_name")->GetItem(Value(name));
        file += d.GetType("shared_file_size")->GetItem(Value(k));
    }
    const qint64 idleGap = LongestGapMs([start = QElapsedTimer()]() mutable {
        if (!start.isValid())
            start.start();
        return start.elapsed() >= 2000;
    });
    Honest asking(port);
    WaitFor([] { return PeerSockets() == 1; }, 10000);
    asking.Ask(kHugeFolder);
    const qint64 gap = LongestGapMs([&] { return asking.Answered(); });
    std::printf("a folder of %d files asked for: longest 1 ms timer gap %lld ms until the reply "
                "(%lld bytes, after %lld ms), idle %lld ms; target at most %lld ms: %s\n",
                kHugeFiles, static_cast<long long>(gap), static_cast<long long>(asking.Bytes()),
                static_cast<long long>(asking.Ms()), static_cast<long long>(idleGap),
                static_cast<long long>(kMaxGapMs),
                asking.Answered() && gap <= kMaxGapMs ? "met" : "MISSED");
    return LinkRows(args[0]);
}

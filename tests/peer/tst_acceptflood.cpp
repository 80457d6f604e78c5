#include "PeerTestEnv.h"

#include "dnet/DNetManager.h"
#include "peer/PeerListener.h"
#include "server/ServerCodes.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpServer>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

// A peer that opens silent connections until we run out of descriptors must not leave the
// listening port dead, and peers that introduce themselves by the thousand must not take the
// descriptors files and the server need. The client under test runs in a child process (this
// same program) with a descriptor limit of its own: just above what it uses and keeps for files
// and the server, so that a few dozen connections exhaust it, or the usual 1,024. The child
// reports its port (the first, its "Peer Messenger" log lines too) on standard output; the first
// starts accepting on a "go" line from standard input. Lines after that: "open" opens a file and a
// new connection to the server, "count" counts children, messaging connections and users, and any
// other line ("sweep" and a number of seconds, 61 if none) moves the clock on that far and fires
// the half-minute tick. Connections we open: a client that is sent relayed requests (code 18) by
// its server on "relay" lines, "tally" counts what became of them; "room" leaves that many
// descriptors free short of the reserve, "free" gives back what it took; "timer" tells whether
// the listener's retry timer runs and its interval, "retry" fires it.

// The undefined-behaviour checker tells readable memory from unreadable by writing it into a
// pipe. With every descriptor taken that fails, and the first check of each object's dynamic type
// reports a false "invalid vptr". In the flooded client only, that one check is skipped; every
// other check stays on, and elsewhere the checker's own handler runs.
static bool g_skipDynamicTypeChecks = false;

namespace {

using DynamicTypeHandler = void (*)(void*, uintptr_t, uintptr_t);

void ForwardDynamicTypeCheck(const char* name, void* data, uintptr_t pointer, uintptr_t hash)
{
    if (g_skipDynamicTypeChecks)
        return;
    if (auto next = reinterpret_cast<DynamicTypeHandler>(dlsym(RTLD_NEXT, name)))
        next(data, pointer, hash);
}

} // namespace

extern "C" void __ubsan_handle_dynamic_type_cache_miss(void* data, uintptr_t pointer,
                                                       uintptr_t hash)
{
    ForwardDynamicTypeCheck("__ubsan_handle_dynamic_type_cache_miss", data, pointer, hash);
}

extern "C" void __ubsan_handle_dynamic_type_cache_miss_abort(void* data, uintptr_t pointer,
                                                             uintptr_t hash)
{
    ForwardDynamicTypeCheck("__ubsan_handle_dynamic_type_cache_miss_abort", data, pointer, hash);
}

namespace {

// "listener", the type ("D" or "P") of the connections that flood the child, or "relay" (a
// client logged in to its server, which relays requests to connect) with the usual 1,024
// descriptors, or "relay short" with a few more than it keeps.
const char kChildVariable[] = "QV_ACCEPT_FLOOD_CLIENT";
// Descriptors the child may open beyond those it holds once it listens and those it keeps for
// files and the server: a handful of accepted sockets, fewer than the per-address cap, so that
// the descriptors run out first.
constexpr rlim_t kHeadroom = 6;
constexpr int kFloodConnections = 40;
constexpr int kIntroducedConnections = 1500;
// Beyond what "relay short" keeps: room for every row of descriptors it is given.
constexpr rlim_t kRelayHeadroom = 16;
// The client runs in a child process under the sanitizers, with the other tests running beside
// it: give it time to answer, well beyond the default wait of five seconds.
constexpr int kChildWaitMs = 60000;

void Say(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int OpenDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

// Whether every thread of this process has made the wakeup descriptor of its event loop.
bool EveryThreadHasItsEventLoop()
{
    const int threads = int(QDir(QStringLiteral("/proc/self/task"))
                                .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                                .size());
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    int wakeups = 0;
    for (const QString& name : descriptors.entryList(QDir::NoDotAndDotDot)) {
        char target[32] = {};
        const QByteArray path = QFile::encodeName(descriptors.filePath(name));
        if (::readlink(path.constData(), target, sizeof target - 1) > 0 &&
            std::strcmp(target, "anon_inode:[eventfd]") == 0)
            ++wakeups;
    }
    return wakeups >= threads;
}

// Descriptors free below the first one of the reserve.
int FreeDescriptorsBelow(rlim_t bound)
{
    int free = 0;
    for (int fd = 0; rlim_t(fd) < bound; ++fd)
        free += ::fcntl(fd, F_GETFD) < 0 && errno == EBADF ? 1 : 0;
    return free;
}

// A code 18 from the server: the user at 127.0.0.1 + offset asks that we connect to it.
QByteArray RelayedRequest(const QByteArray& user, quint32 offset, quint16 port, quint32 token)
{
    WireWriter w;
    w.str(user).str("P").u32(0x7f000001 + offset).i32(port).u32(token).u8(0).u32(0);
    return w.bytes();
}

int RunFloodedClient(const QByteArray& kind)
{
    static_assert(kHeadroom < rlim_t(PeerMessenger::kMaxPeerSocketsPerAddress),
                  "the descriptors must run out before the per-address cap refuses anything");
    const bool listener = kind == "listener";
    const bool relay = kind.startsWith("relay");
    PeerTestEnv env(true, !listener && !relay);
    if (!listener && !env.logIn())
        return 1;
    const QMetaObject::Connection logged =
        QObject::connect(LogHub::Instance(), &LogHub::LineLogged,
                         [listener, relay](const QString& category, const QString& line) {
                             if ((listener || relay) && category == QLatin1String("Peer Messenger"))
                                 Say("log " + line.toUtf8());
                         });

    g_skipDynamicTypeChecks = true;
    // Each thread makes its event loop's wakeup descriptor when it first runs, which on a loaded
    // machine can be well after it was started; one that first runs once the flood has taken
    // every descriptor cannot, and the event loop library aborts the whole process.
    if (!QTest::qWaitFor(EveryThreadHasItsEventLoop, kChildWaitMs)) {
        Say("error threads without an event loop");
        return 1;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t headroom = listener ? kHeadroom : kind == "relay short" ? kRelayHeadroom : 0;
    limit.rlim_cur = headroom > 0
                         ? rlim_t(OpenDescriptors()) + PeerListener::kReservedDescriptors + headroom
                         : qMin(rlim_t(1024), limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        Say("error setrlimit");
        return 1;
    }
    Say("port " + QByteArray::number(env.peer().ListeningPort()));
    // The listener first looks once the test says "go": before the flood or after it is queued.
    char go = listener ? 0 : '\n';
    while (go != '\n' && ::read(STDIN_FILENO, &go, 1) == 1) {
    }

    const rlim_t reserveStart = limit.rlim_cur - PeerListener::kReservedDescriptors;
    std::vector<int> taken; // descriptors "room" took
    quint32 token = 0;
    int refusalsReported = 0;
    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, [&] {
        char line[64] = {};
        const ssize_t n = ::read(STDIN_FILENO, line, sizeof line - 1);
        if (n <= 0) {
            commands.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        const QList<QByteArray> words = QByteArray(line).trimmed().split(' ');
        if (words[0] == "open") {
            QFile file(QDir::home().filePath(QStringLiteral("probe")));
            const bool opened = file.open(QIODevice::WriteOnly);
            env.server().Disconnect();
            Say("opened file=" + QByteArray::number(opened) +
                " server=" + QByteArray::number(env.logIn()));
        } else if (words[0] == "relay") {
            // relay USER OFFSET PORT COUNT
            for (int k = 0; k < words.value(4).toInt(); ++k)
                env.fake().sendMessage(ServerCode::ConnectToPeer,
                                       RelayedRequest(words[1], words[2].toUInt(),
                                                      quint16(words[3].toUInt()), ++token));
            Say("relayed");
        } else if (words[0] == "tally") {
            while (env.fake().pendingFrames() > 0) {
                if (env.fake().nextMessage(nullptr, 0) == ServerCode::CantConnectToPeer)
                    ++refusalsReported;
            }
            Say("tally " + QByteArray::number(PeerTestEnv::Count("peer_socket")) + ' ' +
                QByteArray::number(PeerTestEnv::Count("peer_connection_request")) + ' ' +
                QByteArray::number(PeerTestEnv::Count("peer_connection_request_socket")) + ' ' +
                QByteArray::number(refusalsReported));
        } else if (words[0] == "room") {
            while (FreeDescriptorsBelow(reserveStart) > words.value(1).toInt())
                taken.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            Say("room " + QByteArray::number(FreeDescriptorsBelow(reserveStart)));
        } else if (words[0] == "free") {
            for (int fd : taken)
                ::close(fd);
            taken.clear();
            Say("freed");
        } else if (words[0] == "timer") {
            const SharedTimer* retry = env.peer().AcceptRetryTimerForTesting();
            Say("timer " + QByteArray::number(retry->isActive()) + ' ' +
                QByteArray::number(retry->interval()));
        } else if (words[0] == "retry") {
            env.peer().AcceptRetryTimerForTesting()->Fire();
            Say("retried");
        } else if (words[0] == "count") {
            Say("counted " + QByteArray::number(PeerTestEnv::Count("dnet_child")) + ' ' +
                QByteArray::number(PeerTestEnv::Count("peer_socket")) + ' ' +
                QByteArray::number(PeerTestEnv::Count("user")));
        } else {
            // By default, every silent connection accepted so far is past its minute now.
            Clock::Shift(words.value(1, "61").toLongLong());
            env.fireHalfMinute();
            Say("swept");
        }
    });
    const int result = QCoreApplication::exec();
    QObject::disconnect(logged);
    return result;
}

// The client under test in a child process (this program), started with the kind of flood it
// takes, and what it has said on its standard output. Stopped with the test, pass or fail.
class ChildClient
{
public:
    explicit ChildClient(const QByteArray& kind)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(kChildVariable), QString::fromLatin1(kind));
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { output += m_process.readAllStandardOutput(); });
        m_process.start(QCoreApplication::applicationFilePath(), QStringList());
    }
    ~ChildClient()
    {
        m_process.disconnect();
        m_process.kill();
        m_process.waitForFinished();
    }
    ChildClient(const ChildClient&) = delete;
    ChildClient& operator=(const ChildClient&) = delete;

    QProcess& process() { return m_process; }
    bool Said(const QByteArray& text) const { return output.contains(text); }
    void Write(const QByteArray& line) { m_process.write(line + '\n'); }
    // The port it listens on, once it says so; 0 when it does not.
    quint16 Port()
    {
        if (!QTest::qWaitFor([this] { return Said("port "); }, kChildWaitMs))
            return 0;
        const qsizetype at = output.indexOf("port ") + 5;
        return quint16(output.mid(at, output.indexOf('\n', at) - at).toUInt());
    }
    // What it answers to a command, after word.
    QByteArray Ask(const QByteArray& command, const QByteArray& word)
    {
        const qsizetype from = output.size();
        Write(command);
        if (!QTest::qWaitFor([&] { return output.indexOf(word, from) >= 0; }, kChildWaitMs))
            return QByteArray("no answer");
        const qsizetype at = output.indexOf(word, from) + word.size();
        return output.mid(at, output.indexOf('\n', at) - at);
    }

    QByteArray output;

private:
    QProcess m_process;
};

} // namespace

class tst_AcceptFlood : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listenerSurvivesRunningOutOfDescriptors_data();
    void listenerSurvivesRunningOutOfDescriptors();
    void introducedConnections_data();
    void introducedConnections();
    void listenerRetriesWhileShort();
    void relayedRequestsToSilentPeers_data();
    void relayedRequestsToSilentPeers();
};

void tst_AcceptFlood::listenerSurvivesRunningOutOfDescriptors_data()
{
    QTest::addColumn<bool>("floodWaitsFirst");
    // Every round of accepting ends on "nothing more to take"; the shortage must still be seen
    // as one when it comes later, and not make the listener spin without a word.
    QTest::newRow("listener found nothing to take before") << false;
    // Once the shortage is over, the end of a round must not read as another shortage.
    QTest::newRow("flood waits before the listener looks") << true;
}

void tst_AcceptFlood::listenerSurvivesRunningOutOfDescriptors()
{
    QFETCH(bool, floodWaitsFirst);
    ChildClient child("listener");
    QProcess& client = child.process();
    QByteArray& output = child.output;
    QVERIFY(client.waitForStarted());
    const auto said = [&child](const QByteArray& text) { return child.Said(text); };
    const QByteArray failed = "Accepting a peer connection failed";
    const auto welcomed = [](const QByteArray& user) {
        return "Accepted messaging connection to user " + user;
    };
    const auto sweep = [&] {
        const int sweeps = output.count("swept");
        client.write("sweep\n");
        return QTest::qWaitFor([&] { return output.count("swept") > sweeps; }, kChildWaitMs);
    };
    const quint16 port = child.Port();
    QVERIFY(port != 0);

    FakePeer early;
    if (!floodWaitsFirst) {
        client.write("go\n");
        QVERIFY(early.ConnectTo(port, kChildWaitMs));
        early.SendInit("early", "P");
        // Its frame is read after the round that took it, and that round ended on an empty
        // queue.
        QTRY_VERIFY2_WITH_TIMEOUT(said(welcomed("early")), output.constData(), kChildWaitMs);
    }
    std::vector<std::unique_ptr<FakePeer>> flood;
    for (int i = 0; i < kFloodConnections; ++i) {
        auto peer = std::make_unique<FakePeer>();
        QVERIFY(peer->ConnectTo(port, kChildWaitMs));
        flood.push_back(std::move(peer));
    }
    if (floodWaitsFirst)
        client.write("go\n");
    QTRY_VERIFY2_WITH_TIMEOUT(said(failed), output.constData(), kChildWaitMs);
    // It stopped short of the descriptors kept for files and the server.
    QVERIFY2(said("only the 64 descriptors kept for files and the server are left"),
             output.constData());
    client.write("open\n");
    QTRY_VERIFY_WITH_TIMEOUT(said("opened file=1 server=1"), kChildWaitMs);

    // An honest peer queues up behind the flood; every sweep closes the silent connections taken
    // so far, and the listener takes the next ones, until it reaches the honest one.
    FakePeer honest;
    QVERIFY(honest.ConnectTo(port, kChildWaitMs));
    honest.SendInit("honest", "P");
    for (int round = 0; round < kFloodConnections && !said(welcomed("honest")); ++round) {
        const int failures = output.count(failed);
        QVERIFY(sweep());
        // The listener takes connections until it runs out again or reaches the honest one.
        QTRY_VERIFY2_WITH_TIMEOUT(said(welcomed("honest")) || output.count(failed) > failures,
                                  output.constData(), kChildWaitMs);
    }
    QVERIFY(said(welcomed("honest")));
    QVERIFY(honest.IsConnected());

    // The rest of the flood closed, a newcomer is taken at once, and taking it is no failure.
    QVERIFY(sweep());
    const int sweptAt = output.lastIndexOf("swept");
    FakePeer late;
    QVERIFY(late.ConnectTo(port, kChildWaitMs));
    late.SendInit("late", "P");
    QTRY_VERIFY2_WITH_TIMEOUT(said(welcomed("late")), output.constData(), kChildWaitMs);
    QVERIFY2(!output.mid(sweptAt).contains(failed), output.constData());
    QVERIFY(honest.IsConnected());

    client.closeWriteChannel();
    QVERIFY(client.waitForFinished(kChildWaitMs));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
}

void tst_AcceptFlood::introducedConnections_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<int>("children"); // kept, and still there after the idle sweep
    QTest::addColumn<int>("peers");    // kept until the idle sweep
    QTest::newRow("children") << QByteArray("D") << DNetManager::kMaxChildren << 0;
    // All from one address.
    QTest::newRow("messaging") << QByteArray("P") << 0 << PeerMessenger::kMaxPeerSocketsPerAddress;
}

void tst_AcceptFlood::introducedConnections()
{
    QFETCH(QByteArray, type);
    QFETCH(int, children);
    QFETCH(int, peers);
    RaiseDescriptorLimit();
    ChildClient client(type);
    QVERIFY(client.process().waitForStarted());
    const auto ask = [&client](const QByteArray& command, const QByteArray& word) {
        return client.Ask(command, word);
    };
    const auto counted = [&](int dChildren, int dPeers, int dUsers) {
        return QByteArray::number(dChildren) + ' ' + QByteArray::number(dPeers) + ' ' +
               QByteArray::number(dUsers);
    };
    const quint16 port = client.Port();
    QVERIFY(port != 0);
    const int users = ask("count", "counted ").split(' ').value(2).toInt();

    // Each under a name of its own. Now and then the flood waits until the client has caught up,
    // so that it does not queue in the system, and lets go of the connections the client closed.
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    for (int i = 0; i < kIntroducedConnections; ++i) {
        auto& socket = flood.emplace_back(std::make_unique<QTcpSocket>());
        socket->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(socket->waitForConnected(kChildWaitMs));
        socket->write(FakePeer::Frame(FakePeer::InitBody(type + QByteArray::number(i), type)));
        if (i % 25 == 24) {
            QVERIFY(ask("count", "counted ") != "no answer");
            flood.erase(std::remove_if(flood.begin(), flood.end(),
                                       [](const auto& s) {
                                           return s->state() == QAbstractSocket::UnconnectedState;
                                       }),
                        flood.end());
        }
    }
    // A user item for each connection kept and none for those refused; files and the server
    // still within reach.
    QCOMPARE(ask("count", "counted "), counted(children, peers, users + children + peers));
    QCOMPARE(ask("open", "opened "), QByteArray("file=1 server=1"));
    // Idle messaging connections go, with the user items they made; children stay.
    QCOMPARE(ask("sweep 121", "swept"), QByteArray(""));
    QCOMPARE(ask("count", "counted "), counted(children, 0, users + children));
}

void tst_AcceptFlood::listenerRetriesWhileShort()
{
    // Descriptors run short for files, not peer connections: no peer socket is closed to wake
    // the listener, and it must not wait for the half-minute tick (none is fired here).
    ChildClient client("listener");
    QVERIFY(client.process().waitForStarted());
    const quint16 port = client.Port();
    QVERIFY(port != 0);
    client.Write("go");
    QCOMPARE(client.Ask("room 0", "room "), QByteArray("0"));
    FakePeer honest;
    QVERIFY(honest.ConnectTo(port, kChildWaitMs));
    honest.SendInit("honest", "P");
    const QByteArray failed = "Accepting a peer connection failed";
    QTRY_VERIFY2_WITH_TIMEOUT(client.Said(failed), client.output.constData(), kChildWaitMs);
    const auto timer = [&client] { return client.Ask("timer", "timer "); };
    QCOMPARE(timer(), QByteArray("1 ") + QByteArray::number(PeerMessenger::kAcceptRetryMs));
    QVERIFY(PeerMessenger::kAcceptRetryMs <= 1000);

    // Still short at the first try: it stops again, and says so only once.
    QCOMPARE(client.Ask("retry", "retried"), QByteArray(""));
    QTRY_VERIFY_WITH_TIMEOUT(timer().startsWith('1'), kChildWaitMs);
    QCOMPARE(client.output.count(failed), 1);
    QVERIFY(!client.Said("Accepted messaging connection to user honest"));

    // The files are closed, and the next try takes the connection that waited.
    QCOMPARE(client.Ask("free", "freed"), QByteArray(""));
    QCOMPARE(client.Ask("retry", "retried"), QByteArray(""));
    QTRY_VERIFY2_WITH_TIMEOUT(client.Said("Accepted messaging connection to user honest"),
                              client.output.constData(), kChildWaitMs);
    QVERIFY(honest.IsConnected());
    QTRY_VERIFY_WITH_TIMEOUT(timer().startsWith('0'), kChildWaitMs);
    QCOMPARE(client.output.count(failed), 1);
}

void tst_AcceptFlood::relayedRequestsToSilentPeers_data()
{
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<QList<int>>("requests"); // to 127.0.0.1, 127.0.0.2, ... in turn
    QTest::addColumn<int>("room");            // descriptors short of the reserve; -1: plenty
    QTest::addColumn<int>("answered");
    QTest::addColumn<int>("displaced"); // answers closed to make room for a later one
    QTest::addColumn<QByteArray>("reason"); // of the refusals, when there are any
    const int perAddress = PeerMessenger::kMaxPeerSocketsPerAddress;
    const int all = PeerMessenger::kMaxPeerSocketsAtPeersRequest;
    static_assert(all % perAddress == 0,
                  "every address fills up to its cap before the cap in all is reached");
    const QList<int> full(all / perAddress, perAddress);
    const QByteArray one = "relay";
    const QByteArray fromOne = "peer connections with 127.0.0.1 open";
    const QByteArray inAll = QByteArray::number(all) + " peer connections open";
    QTest::newRow("1,500 from one user at one address")
        << one << QList<int>{1500} << -1 << perAddress << 0 << fromOne;
    QTest::newRow("one address, at its cap")
        << one << QList<int>{perAddress} << -1 << perAddress << 0 << QByteArray();
    QTest::newRow("one address, one over")
        << one << QList<int>{perAddress + 1} << -1 << perAddress << 0 << fromOne;
    QTest::newRow("at the cap in all") << one << full << -1 << all << 0 << QByteArray();
    // A newcomer's address holds none: the oldest of a full address makes room.
    QTest::newRow("one over in all, from a new address")
        << one << full + QList<int>{1} << -1 << all << 1 << QByteArray();
    QTest::newRow("one over in all, one from each address")
        << one << QList<int>(all + 1, 1) << -1 << all << 0 << inAll;
    const QByteArray reserve = "only the 64 descriptors kept for files and the server are left";
    QTest::newRow("descriptors to the reserve")
        << QByteArray("relay short") << QList<int>{6} << 6 << 6 << 0 << QByteArray();
    QTest::newRow("descriptors, one into the reserve")
        << QByteArray("relay short") << QList<int>{7} << 6 << 6 << 0 << reserve;
}

void tst_AcceptFlood::relayedRequestsToSilentPeers()
{
    QFETCH(QByteArray, kind);
    QFETCH(QList<int>, requests);
    QFETCH(int, room);
    QFETCH(int, answered);
    QFETCH(int, displaced);
    QFETCH(QByteArray, reason);
    RaiseDescriptorLimit();
    // Peers that take every connection and never say a word, one listening address each.
    std::vector<std::unique_ptr<QTcpServer>> peers;
    int taken = 0;
    for (int k = 0; k < requests.size(); ++k) {
        auto& peer = peers.emplace_back(std::make_unique<QTcpServer>());
        peer->setMaxPendingConnections(2000);
        QVERIFY(peer->listen(QHostAddress(quint32(0x7f000001 + k)), 0));
        QTcpServer* raw = peer.get();
        connect(raw, &QTcpServer::newConnection, raw, [raw, &taken] {
            while (raw->nextPendingConnection())
                ++taken;
        });
    }

    ChildClient client(kind);
    QVERIFY(client.process().waitForStarted());
    QVERIFY(client.Port() != 0);
    if (room >= 0)
        QCOMPARE(client.Ask("room " + QByteArray::number(room), "room "), QByteArray::number(room));
    int total = 0;
    for (int k = 0; k < requests.size(); ++k) {
        // A newcomer that makes room finds the answers before it open, not being opened.
        if (displaced > 0 && k == requests.size() - 1)
            QTRY_COMPARE_WITH_TIMEOUT(taken, total, kChildWaitMs);
        QCOMPARE(client.Ask("relay user" + QByteArray::number(k) + ' ' + QByteArray::number(k) +
                                ' ' + QByteArray::number(peers[size_t(k)]->serverPort()) + ' ' +
                                QByteArray::number(requests[k]),
                            "relayed"),
                 QByteArray(""));
        total += requests[k];
    }

    // Each request is answered by a connection that stays, or refused, the server told.
    QList<QByteArray> tally;
    const auto settled = [&] {
        tally = client.Ask("tally", "tally ").split(' ');
        return tally.size() == 4 && tally[1] == "0" && tally[2] == "0" &&
               tally[0].toInt() + tally[3].toInt() + displaced == total;
    };
    QVERIFY2(QTest::qWaitFor(settled, kChildWaitMs), tally.join(' ').constData());
    QCOMPARE(tally[0].toInt(), answered);
    QCOMPARE(tally[3].toInt(), total - answered - displaced);
    QTRY_COMPARE_WITH_TIMEOUT(taken, answered + displaced, kChildWaitMs);
    QCOMPARE(client.output.count("to make room for a connection to user"), displaced);
    // One line for the whole burst, naming the cap that refused.
    const QByteArray refused = "Not connecting to user";
    QCOMPARE(client.output.count(refused), reason.isEmpty() ? 0 : 1);
    if (!reason.isEmpty())
        QVERIFY2(client.output.contains(reason), client.output.right(2000).constData());
    // Files and the server within reach, every connection kept.
    QCOMPARE(client.Ask("open", "opened "), QByteArray("file=1 server=1"));
    QCOMPARE(client.Ask("tally", "tally ").split(' ').value(0).toInt(), answered);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray kind = qgetenv(kChildVariable);
    if (!kind.isEmpty())
        return RunFloodedClient(kind);
    tst_AcceptFlood test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_acceptflood.moc"

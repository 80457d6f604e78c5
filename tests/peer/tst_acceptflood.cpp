#include "PeerTestEnv.h"

#include "dnet/DNetManager.h"
#include "peer/PeerListener.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSocketNotifier>

#include <dlfcn.h>
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
// the half-minute tick.

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

// "listener", or the type ("D" or "P") of the connections that flood the child.
const char kChildVariable[] = "QV_ACCEPT_FLOOD_CLIENT";
// Descriptors the child may open beyond those it holds once it listens and those it keeps for
// files and the server: a handful of accepted sockets, fewer than the per-address cap, so that
// the descriptors run out first.
constexpr rlim_t kHeadroom = 6;
constexpr int kFloodConnections = 40;
constexpr int kIntroducedConnections = 1500;
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

int RunFloodedClient(const QByteArray& kind)
{
    static_assert(kHeadroom < rlim_t(PeerMessenger::kMaxUninitializedSocketsPerAddress),
                  "the descriptors must run out before the per-address cap refuses anything");
    const bool listener = kind == "listener";
    PeerTestEnv env(true, !listener);
    if (!listener && !env.logIn())
        return 1;
    const QMetaObject::Connection logged =
        QObject::connect(LogHub::Instance(), &LogHub::LineLogged,
                         [listener](const QString& category, const QString& line) {
                             if (listener && category == QLatin1String("Peer Messenger"))
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
    limit.rlim_cur =
        listener ? rlim_t(OpenDescriptors()) + PeerListener::kReservedDescriptors + kHeadroom
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

    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, [&env, &commands] {
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

} // namespace

class tst_AcceptFlood : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listenerSurvivesRunningOutOfDescriptors_data();
    void listenerSurvivesRunningOutOfDescriptors();
    void introducedConnections_data();
    void introducedConnections();
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
    QByteArray output;
    QProcess client;
    // A failed check leaves early: the client goes with the test, not after it.
    struct Stopper
    {
        QProcess& process;
        ~Stopper()
        {
            process.disconnect();
            process.kill();
            process.waitForFinished();
        }
    } stopper{client};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kChildVariable), QStringLiteral("listener"));
    client.setProcessEnvironment(environment);
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&client, &QProcess::readyReadStandardOutput, this,
            [&] { output += client.readAllStandardOutput(); });
    client.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(client.waitForStarted());
    const auto said = [&output](const QByteArray& text) { return output.contains(text); };
    const QByteArray failed = "Accepting a peer connection failed";
    const auto welcomed = [](const QByteArray& user) {
        return "Accepted messaging connection to user " + user;
    };
    const auto sweep = [&] {
        const int sweeps = output.count("swept");
        client.write("sweep\n");
        return QTest::qWaitFor([&] { return output.count("swept") > sweeps; }, kChildWaitMs);
    };

    QTRY_VERIFY_WITH_TIMEOUT(said("port "), kChildWaitMs);
    const int at = output.indexOf("port ") + 5;
    const quint16 port = quint16(output.mid(at, output.indexOf('\n', at) - at).toUInt());
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
    // This side of the flood needs more than the usual limit.
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    own.rlim_cur = qMax(own.rlim_cur, qMin(own.rlim_max, rlim_t(4096)));
    setrlimit(RLIMIT_NOFILE, &own);
    QByteArray output;
    QProcess client;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kChildVariable), QString::fromLatin1(type));
    client.setProcessEnvironment(environment);
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&client, &QProcess::readyReadStandardOutput, this,
            [&] { output += client.readAllStandardOutput(); });
    client.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(client.waitForStarted());
    const auto stop = qScopeGuard([&client] {
        client.disconnect();
        client.kill();
        client.waitForFinished();
    });
    // What the client answers to a command, after word.
    const auto ask = [&](const QByteArray& command, const QByteArray& word) {
        const qsizetype from = output.size();
        client.write(command + '\n');
        if (!QTest::qWaitFor([&] { return output.indexOf(word, from) >= 0; }, kChildWaitMs))
            return QByteArray("no answer");
        const qsizetype at = output.indexOf(word, from) + word.size();
        return output.mid(at, output.indexOf('\n', at) - at);
    };
    const auto counted = [&](int dChildren, int dPeers, int dUsers) {
        return QByteArray::number(dChildren) + ' ' + QByteArray::number(dPeers) + ' ' +
               QByteArray::number(dUsers);
    };
    QTRY_VERIFY_WITH_TIMEOUT(output.contains("port "), kChildWaitMs);
    const qsizetype at = output.indexOf("port ") + 5;
    const quint16 port = quint16(output.mid(at, output.indexOf('\n', at) - at).toUInt());
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

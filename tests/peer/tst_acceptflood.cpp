#include "PeerTestEnv.h"

#include "dnet/DNetManager.h"
#include "peer/PeerListener.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Peers that open connections by the hundred must neither leave the listening port dead nor take
// the descriptors that files and the server connection need. The client under test runs in a
// child process (this same program) with a descriptor limit of its own, so that the flood
// exhausts it without touching the limit of the test itself. The child reports its port (and,
// for the listener's test, its "Peer Messenger" log lines) on standard output and answers the
// commands of Serve() on standard input.

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

// Which client the child process runs: "listener", or a flood of connections of type "D" or "P".
const char kChildVariable[] = "QV_ACCEPT_FLOOD_CLIENT";
// Descriptors the listener's child may take beyond those it holds once it listens and those kept
// for files and the server: a handful of accepted sockets, fewer than the per-address cap, so
// that the descriptors run out first.
constexpr rlim_t kHeadroom = 6;
constexpr int kFloodConnections = 40;
// The flooded client's limit, the usual one, and the connections the flood opens.
constexpr rlim_t kUsualDescriptorLimit = 1024;
constexpr int kTreeFloodConnections = 1500;
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

// Answers the test's commands, one a line on standard input, until it closes:
//   sweep N  moves the clock N seconds on and fires the half-minute tick; says "swept"
//   open     opens a file and a new connection to the server; says "opened file=1 server=1"
//   count    says "count children=.. peers=.. users=.."
//   ping     says "pong"
int Serve(PeerTestEnv& env)
{
    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&commands, &QSocketNotifier::activated, [&env, &commands, &pending] {
        char chunk[256];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            commands.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        pending.append(chunk, n);
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0;) {
            const QList<QByteArray> words = pending.left(end).split(' ');
            pending.remove(0, end + 1);
            if (words[0] == "sweep") {
                Clock::Shift(words.value(1).toLongLong());
                env.fireHalfMinute();
                Say("swept");
            } else if (words[0] == "open") {
                QFile file(QDir::home().filePath(QStringLiteral("descriptor probe")));
                const bool opened = file.open(QIODevice::WriteOnly);
                env.server().Disconnect();
                const bool server = env.logIn();
                Say("opened file=" + QByteArray::number(opened) +
                    " server=" + QByteArray::number(server));
            } else if (words[0] == "count") {
                Say("count children=" + QByteArray::number(PeerTestEnv::Count("dnet_child")) +
                    " peers=" + QByteArray::number(PeerTestEnv::Count("peer_socket")) +
                    " users=" + QByteArray::number(PeerTestEnv::Count("user")));
            } else if (words[0] == "ping") {
                Say("pong");
            }
        }
    });
    return QCoreApplication::exec();
}

// Lowers the descriptor limit to limit, once the threads no longer need to open any.
bool LimitDescriptors(rlim_t limit)
{
    g_skipDynamicTypeChecks = true;
    // Each thread makes its event loop's wakeup descriptor when it first runs, which on a loaded
    // machine can be well after it was started; one that first runs once the flood has taken
    // every descriptor cannot, and the event loop library aborts the whole process.
    if (!QTest::qWaitFor(EveryThreadHasItsEventLoop, kChildWaitMs)) {
        Say("error threads without an event loop");
        return false;
    }
    rlimit current{};
    getrlimit(RLIMIT_NOFILE, &current);
    current.rlim_cur = qMin(limit, current.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &current) != 0) {
        Say("error setrlimit");
        return false;
    }
    return true;
}

int RunFloodedClient()
{
    static_assert(kHeadroom < rlim_t(PeerMessenger::kMaxUninitializedSocketsPerAddress),
                  "the descriptors must run out before the per-address cap refuses anything");
    PeerTestEnv env;
    const QMetaObject::Connection logged = QObject::connect(
        LogHub::Instance(), &LogHub::LineLogged, [](const QString& category, const QString& line) {
            if (category == QLatin1String("Peer Messenger"))
                Say("log " + line.toUtf8());
        });
    if (!LimitDescriptors(rlim_t(OpenDescriptors()) + PeerListener::kReservedDescriptors +
                          kHeadroom))
        return 1;
    Say("port " + QByteArray::number(env.peer().ListeningPort()));
    // The listener first looks once the test says "go": before the flood or after it is queued.
    char go = 0;
    while (go != '\n' && ::read(STDIN_FILENO, &go, 1) == 1) {
    }
    const int result = Serve(env);
    QObject::disconnect(logged);
    return result;
}

// The client a flood of connections of one type reaches, logged in, under the usual limit.
int RunTreeFloodClient()
{
    PeerTestEnv env(true, true);
    if (!env.logIn() || !LimitDescriptors(kUsualDescriptorLimit))
        return 1;
    Say("port " + QByteArray::number(env.peer().ListeningPort()));
    return Serve(env);
}

// A client process under test, stopped with the test that started it.
class Child
{
public:
    explicit Child(const QString& kind)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(kChildVariable), kind);
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { output += m_process.readAllStandardOutput(); });
        m_process.start(QCoreApplication::applicationFilePath(), QStringList());
    }
    // A failed check leaves early: the client goes with the test, not after it.
    ~Child()
    {
        m_process.disconnect();
        m_process.kill();
        m_process.waitForFinished();
    }

    QProcess& process() { return m_process; }
    bool Said(const QByteArray& text) const { return output.contains(text); }
    void Write(const QByteArray& line) { m_process.write(line + '\n'); }
    // Sends a command and returns what its answer says after word, once it came.
    QByteArray Ask(const QByteArray& command, const QByteArray& word)
    {
        const qsizetype from = output.size();
        Write(command);
        if (!QTest::qWaitFor([&] { return output.indexOf(word, from) >= 0; }, kChildWaitMs))
            return "no answer to " + command;
        const qsizetype at = output.indexOf(word, from) + word.size();
        return output.mid(at, output.indexOf('\n', at) - at);
    }
    quint16 Port()
    {
        if (!QTest::qWaitFor([this] { return Said("port "); }, kChildWaitMs))
            return 0;
        const qsizetype at = output.indexOf("port ") + 5;
        return quint16(output.mid(at, output.indexOf('\n', at) - at).toUInt());
    }

    QByteArray output;

private:
    QProcess m_process;
};

// The numbers of a "count" answer.
struct Counts
{
    int children = -1;
    int peers = -1;
    int users = -1;
};

Counts Count(Child& client)
{
    static const QRegularExpression shape(
        QStringLiteral("^children=(\\d+) peers=(\\d+) users=(\\d+)$"));
    const QRegularExpressionMatch m =
        shape.match(QString::fromLatin1(client.Ask("count", "count ")));
    if (!m.hasMatch())
        return {};
    return {m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt()};
}

} // namespace

class tst_AcceptFlood : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listenerSurvivesRunningOutOfDescriptors_data();
    void listenerSurvivesRunningOutOfDescriptors();
    void connectionsOfOneType_data();
    void connectionsOfOneType();
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
    Child client(QStringLiteral("listener"));
    QVERIFY(client.process().waitForStarted());
    const QByteArray& output = client.output;
    const auto said = [&client](const QByteArray& text) { return client.Said(text); };
    const QByteArray failed = "Accepting a peer connection failed";
    const auto welcomed = [](const QByteArray& user) {
        return "Accepted messaging connection to user " + user;
    };
    // Every silent connection accepted so far is past its minute then.
    const auto sweep = [&client] { return client.Ask("sweep 61", "swept").isEmpty(); };

    const quint16 port = client.Port();
    QVERIFY(port != 0);

    FakePeer early;
    if (!floodWaitsFirst) {
        client.Write("go");
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
        client.Write("go");
    QTRY_VERIFY2_WITH_TIMEOUT(said(failed), output.constData(), kChildWaitMs);
    // It stopped short of the descriptors kept for files and the server.
    QVERIFY2(said("only the " + QByteArray::number(PeerListener::kReservedDescriptors) +
                  " descriptors kept for files and the server are left"),
             output.constData());
    QCOMPARE(client.Ask("open", "opened "), QByteArray("file=1 server=1"));

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
    const qsizetype sweptAt = output.lastIndexOf("swept");
    FakePeer late;
    QVERIFY(late.ConnectTo(port, kChildWaitMs));
    late.SendInit("late", "P");
    QTRY_VERIFY2_WITH_TIMEOUT(said(welcomed("late")), output.constData(), kChildWaitMs);
    QVERIFY2(!output.mid(sweptAt).contains(failed), output.constData());
    QVERIFY(honest.IsConnected());

    client.process().closeWriteChannel();
    QVERIFY(client.process().waitForFinished(kChildWaitMs));
    QCOMPARE(client.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.process().exitCode(), 0);
}

void tst_AcceptFlood::connectionsOfOneType_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<int>("children"); // kept, and still there after the idle sweep
    QTest::addColumn<int>("peers");    // kept until the idle sweep
    const int cap = DNetManager::kMaxChildren;
    QTest::newRow("children") << QByteArray("D") << cap << 0;
    // All from one address.
    QTest::newRow("messaging") << QByteArray("P") << 0 << PeerMessenger::kMaxPeerSocketsPerAddress;
}

void tst_AcceptFlood::connectionsOfOneType()
{
    QFETCH(QByteArray, type);
    QFETCH(int, children);
    QFETCH(int, peers);
    // The flood's own ends must fit within the test's limit.
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    own.rlim_cur = qMax(own.rlim_cur, qMin(own.rlim_max, rlim_t(4096)));
    setrlimit(RLIMIT_NOFILE, &own);

    Child client(QString::fromLatin1(type));
    QVERIFY(client.process().waitForStarted());
    const quint16 port = client.Port();
    QVERIFY2(port != 0, client.output.constData());
    const Counts before = Count(client);
    QVERIFY(before.users >= 0);

    // Each introduces itself under a name of its own. The flood pauses now and then until the
    // client has caught up, so that it does not wait in the system's queue, and lets go of the
    // connections the client closed.
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    for (int i = 0; i < kTreeFloodConnections; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY2(socket->waitForConnected(kChildWaitMs), qPrintable(QString::number(i)));
        // Sent while the test waits for the client, unless the client has closed it already.
        socket->write(FakePeer::Frame(FakePeer::InitBody(type + QByteArray::number(i), type)));
        flood.push_back(std::move(socket));
        if (i % 25 == 24) {
            QCOMPARE(client.Ask("ping", "pong"), QByteArray(""));
            flood.erase(std::remove_if(flood.begin(), flood.end(),
                                       [](const auto& s) {
                                           return s->state() == QAbstractSocket::UnconnectedState;
                                       }),
                        flood.end());
        }
    }

    Counts now = Count(client);
    QCOMPARE(now.children, children);
    QCOMPARE(now.peers, peers);
    // A user item for each connection kept, and none for those refused.
    QCOMPARE(now.users, before.users + children + peers);
    // Files and the server are still within reach.
    QCOMPARE(client.Ask("open", "opened "), QByteArray("file=1 server=1"));

    // Idle messaging connections go, with the user items they made; children stay.
    QCOMPARE(client.Ask("sweep 121", "swept"), QByteArray(""));
    now = Count(client);
    QCOMPARE(now.children, children);
    QCOMPARE(now.peers, 0);
    QCOMPARE(now.users, before.users + children);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray kind = qgetenv(kChildVariable);
    if (kind == "listener")
        return RunFloodedClient();
    if (!kind.isEmpty())
        return RunTreeFloodClient();
    tst_AcceptFlood test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_acceptflood.moc"

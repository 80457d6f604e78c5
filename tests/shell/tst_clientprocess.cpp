// The program as a process: one client per store file, and the termination signals ending it
// with a normal save, or with no box to answer when the save fails. The process cases run the
// real program (offscreen, in a home folder of their own with no user name stored, so it waits in
// its first-run dialog and never connects; or cut off from every network in namespaces of its
// own), and without a display: one line that says so, unless a platform was chosen.

#include "shell/ProcessControl.h"
#include "support/OfflineStore.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The program under ASan on a loaded machine takes its time to come up and to go.
constexpr int kWaitMs = 60000;

// Polls until done() or the time-out, letting the process's output arrive meanwhile.
bool WaitFor(const std::function<bool()>& done)
{
    QDeadlineTimer deadline(kWaitMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The pid a lock file names, 0 when there is none.
qint64 LockOwner(const QString& path)
{
    return FileBytes(path).split('\n').value(0).toLongLong();
}

// The program's environment: home, offscreen.
QProcessEnvironment ClientEnvironment(const QString& home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

// A pid that no process has any more.
qint64 DeadPid()
{
    QProcess gone;
    gone.start(QStringLiteral("true"), {});
    gone.waitForStarted(kWaitMs);
    const qint64 pid = gone.processId();
    gone.waitForFinished(kWaitMs);
    return pid;
}

// How long a client may take to end after a termination signal when its last save fails: well
// inside what a desktop logout waits before it gives up on a program.
constexpr int kUnattendedEndMs = 5000;

// The command that runs program cut off from every network and with home read-only: in a
// network namespace of its own (no device up, and a hosts file that names the central server's
// host 127.0.0.1), and a mount namespace where home is bound read-only (and a user namespace when
// not run as root). Run as root, a folder's permissions stop nothing; a read-only mount stops
// every writer. Empty when this system makes no namespaces.
QStringList Confined(const QString& home, const QString& hosts, const QString& program)
{
    QStringList unshare;
    if (::geteuid() != 0)
        unshare << QStringLiteral("--user") << QStringLiteral("--map-root-user");
    unshare << QStringLiteral("--net") << QStringLiteral("--mount")
            << QStringLiteral("--propagation") << QStringLiteral("private");
    QProcess probe;
    probe.start(QStringLiteral("unshare"), unshare + QStringList({QStringLiteral("true")}));
    if (!probe.waitForFinished(kWaitMs) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        return QStringList();
    // The shell gives way to the program, which keeps its process id.
    return unshare + QStringList({QStringLiteral("sh"), QStringLiteral("-c"),
                                  QStringLiteral("mount --bind \"$3\" /etc/hosts && "
                                                 "mount --bind \"$1\" \"$1\" && "
                                                 "mount -o remount,bind,ro \"$1\" && "
                                                 "exec \"$2\""),
                                  QStringLiteral("sh"), home, program, hosts});
}

} // namespace

class tst_ClientProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void signalEndsEveryLoop_data();
    void signalEndsEveryLoop();
    void oneClientPerStoreFile_data();
    void oneClientPerStoreFile();
    void withoutDisplay_data();
    void withoutDisplay();
    void signalWithAHomeThatCannotBeWritten_data();
    void signalWithAHomeThatCannotBeWritten();
};

void tst_ClientProcess::signalEndsEveryLoop_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void tst_ClientProcess::signalEndsEveryLoop()
{
    QFETCH(int, signal);
    {
        TerminationSignals termination;
        QCOMPARE(termination.Received(), false);
        // A modal box's loop inside the application's main loop: both end.
        bool innerEnded = false;
        QTimer::singleShot(0, [&innerEnded, signal] {
            QEventLoop inner;
            QTimer giveUp;
            connect(&giveUp, &QTimer::timeout, &inner, &QEventLoop::quit);
            giveUp.start(kWaitMs);
            QTimer::singleShot(0, [signal] { ::raise(signal); });
            inner.exec();
            innerEnded = giveUp.isActive();
        });
        QTimer giveUp;
        connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(2); });
        giveUp.start(kWaitMs);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(innerEnded);
        QVERIFY(termination.Received());
        QCOMPARE(termination.Signal(), signal);
    }
    // The default action is back once the client is gone.
    struct sigaction now = {};
    QCOMPARE(::sigaction(signal, nullptr, &now), 0);
    QVERIFY(now.sa_handler == SIG_DFL);
}

void tst_ClientProcess::oneClientPerStoreFile_data()
{
    QTest::addColumn<QString>("lock"); // "held" by this test, "stale" (its process gone), "none"
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("held by another client, SIGTERM") << "held" << SIGTERM << 1;
    QTest::newRow("left by a client that died, SIGTERM") << "stale" << SIGTERM << 0;
    QTest::newRow("none, SIGINT") << "none" << SIGINT << 0;
    QTest::newRow("none, SIGHUP") << "none" << SIGHUP << 0;
}

void tst_ClientProcess::oneClientPerStoreFile()
{
    QFETCH(QString, lock);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString storePath = home.filePath(QStringLiteral(".Quorvale"));
    const QString lockPath = storePath + QStringLiteral(".lock");
    // The program rewrites it at its end, with a data version of its own.
    QVERIFY(WriteOfflineStore(storePath, {{SettingKeys::DownloadFolder, "/srv/in"}}));
    const QByteArray store = FileBytes(storePath);
    QVERIFY(!store.contains("data_version"));
    QLockFile held(lockPath);
    if (lock == "held") {
        QVERIFY(held.tryLock(0));
    } else if (lock == "stale") {
        QFile file(lockPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::number(DeadPid()) + "\nquorvale\n" +
                   QSysInfo::machineHostName().toUtf8() + "\n");
    }

    QProcess client;
    client.setProcessEnvironment(ClientEnvironment(home.path()));
    client.start(QStringLiteral(QV_CLIENT), {});
    QVERIFY(client.waitForStarted(kWaitMs));
    QByteArray said;
    if (lock == "held") {
        QVERIFY(WaitFor([&] {
            said += client.readAllStandardError();
            return said.contains("Quorvale is already running");
        }));
    } else {
        // Up: the lock is the client's own, its signal handlers installed before.
        QVERIFY(WaitFor([&] { return LockOwner(lockPath) == client.processId(); }));
    }
    ::kill(pid_t(client.processId()), signal);
    QVERIFY(client.waitForFinished(kWaitMs));
    said += client.readAllStandardError();
    QVERIFY2(client.exitStatus() == QProcess::NormalExit, said.constData());
    QVERIFY2(client.exitCode() == exitCode, said.constData());

    if (lock == "held") {
        QVERIFY(said.contains(home.path().toUtf8()));
        // It loaded, saved and wrote nothing.
        QCOMPARE(FileBytes(storePath), store);
        QCOMPARE(QDir(home.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({".Quorvale", ".Quorvale.lock"}));
        QCOMPARE(LockOwner(lockPath), QCoreApplication::applicationPid());
    } else {
        // Ended through the normal shutdown: the store was saved, and the lock let go.
        const QByteArray saved = FileBytes(storePath);
        QVERIFY(saved.contains("data_version"));
        QVERIFY(saved.contains("/srv/in"));
        QVERIFY(!QFile::exists(lockPath));
    }
}

void tst_ClientProcess::withoutDisplay_data()
{
    // Each variable set to the value given, unset for a null one.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("platform"); // QT_QPA_PLATFORM
    QTest::addColumn<QByteArray>("display");  // DISPLAY and WAYLAND_DISPLAY
    QTest::addColumn<bool>("starts");
    const QByteArray unset;
    const QByteArray empty("");
    QTest::newRow("none") << QStringList() << unset << unset << false;
    QTest::newRow("all empty") << QStringList() << empty << empty << false;
    QTest::newRow("-platform without a name")
        << QStringList({"-platform"}) << unset << unset << false;
    QTest::newRow("-platform offscreen")
        << QStringList({"-platform", "offscreen"}) << unset << unset << true;
    QTest::newRow("--platform offscreen")
        << QStringList({"--platform", "offscreen"}) << empty << empty << true;
    QTest::newRow("QT_QPA_PLATFORM offscreen")
        << QStringList() << QByteArray("offscreen") << unset << true;
}

void tst_ClientProcess::withoutDisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, platform);
    QFETCH(QByteArray, display);
    QFETCH(bool, starts);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString storePath = home.filePath(QStringLiteral(".Quorvale"));
    const QString lockPath = storePath + QStringLiteral(".lock");
    QVERIFY(WriteOfflineStore(storePath));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
    const std::pair<QString, QByteArray> variables[] = {
        {QStringLiteral("QT_QPA_PLATFORM"), platform},
        {QStringLiteral("DISPLAY"), display},
        {QStringLiteral("WAYLAND_DISPLAY"), display},
    };
    for (const auto& [name, value] : variables) {
        if (value.isNull())
            environment.remove(name);
        else
            environment.insert(name, QString::fromUtf8(value));
    }
    QProcess client;
    client.setProcessEnvironment(environment);
    client.start(QStringLiteral(QV_CLIENT), arguments);
    QVERIFY(client.waitForStarted(kWaitMs));
    if (starts) {
        QVERIFY(WaitFor([&] { return LockOwner(lockPath) == client.processId(); }));
        ::kill(pid_t(client.processId()), SIGTERM);
    }
    QVERIFY(client.waitForFinished(kWaitMs));
    const QByteArray said = client.readAllStandardError();
    QVERIFY2(client.exitStatus() == QProcess::NormalExit, said.constData());
    QVERIFY2(client.exitCode() == (starts ? 0 : 1), said.constData());
    if (starts) {
        QVERIFY(!said.contains("graphical display"));
        return;
    }
    QCOMPARE(said.count('\n'), 1);
    QVERIFY2(said.endsWith('\n'), said.constData());
    QVERIFY2(said.contains("needs a graphical display"), said.constData());
    QVERIFY2(said.contains("DISPLAY and WAYLAND_DISPLAY are both unset"), said.constData());
    // It ended before taking the lock or touching the store.
    QCOMPARE(QDir(home.path()).entryList(QDir::Files | QDir::Hidden), QStringList({".Quorvale"}));
}

void tst_ClientProcess::signalWithAHomeThatCannotBeWritten_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("named"); // a user name stored: it runs its main loop, and logs in
    QTest::newRow("SIGTERM, logging in") << SIGTERM << true;
    QTest::newRow("SIGHUP, in the first-run dialog") << SIGHUP << false;
}

void tst_ClientProcess::signalWithAHomeThatCannotBeWritten()
{
    QFETCH(int, signal);
    QFETCH(bool, named);
    QTemporaryDir home;
    QTemporaryDir etc;
    QVERIFY(home.isValid() && etc.isValid());
    const QString storePath = home.filePath(QStringLiteral(".Quorvale"));
    std::vector<std::pair<SettingKey, std::string>> settings = {
        {SettingKeys::DownloadFolder, "/srv/in"}};
    if (named) {
        settings.emplace_back(SettingKeys::Username, "alice");
        settings.emplace_back(SettingKeys::Password, "secret");
    }
    QVERIFY(WriteOfflineStore(storePath, settings));
    const QByteArray store = FileBytes(storePath);
    const QString hosts = etc.filePath(QStringLiteral("hosts"));
    {
        QFile file(hosts);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("127.0.0.1 localhost " QV_SERVER_HOST "\n");
    }
    const QStringList command = Confined(home.path(), hosts, QStringLiteral(QV_CLIENT));
    if (command.isEmpty())
        QSKIP("This system makes no namespaces (unshare --net --mount failed)");

    QProcess client;
    client.setProcessEnvironment(ClientEnvironment(home.path()));
    client.start(QStringLiteral("unshare"), command);
    QVERIFY(client.waitForStarted(kWaitMs));
    // Up, its signal handlers installed before: it runs without the lock file it could not make.
    QByteArray said;
    QVERIFY2(WaitFor([&] {
                 said += client.readAllStandardError();
                 return said.contains("running without it") ||
                        client.state() == QProcess::NotRunning;
             }) &&
                 client.state() == QProcess::Running,
             said.constData());

    ::kill(pid_t(client.processId()), signal);
    // Nobody is there to answer a box: the client ends by itself.
    const bool ended = client.waitForFinished(kUnattendedEndMs);
    said += client.readAllStandardError();
    QVERIFY2(ended, said.constData());
    QVERIFY2(client.exitStatus() == QProcess::NormalExit, said.constData());
    QVERIFY2(client.exitCode() == 1, said.constData());
    QVERIFY2(said.contains("Saving the configuration data failed, the previous file is kept: "),
             said.constData());
    QVERIFY2(said.contains(std::strerror(EROFS)), said.constData());
    QCOMPARE(FileBytes(storePath), store);
    QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({".Quorvale"}));
}

QTEST_GUILESS_MAIN(tst_ClientProcess)
#include "tst_clientprocess.moc"

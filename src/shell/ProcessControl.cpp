#include "shell/ProcessControl.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
volatile sig_atomic_t g_writeFd = -1;

void OnSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    if (g_writeFd >= 0) {
        // Nothing else is safe in a signal handler. A full pipe already holds a signal.
        [[maybe_unused]] const ssize_t written = ::write(g_writeFd, &number, 1);
    }
    errno = savedErrno;
}

} // namespace

void TuneAllocator()
{
#ifdef __GLIBC__
    mallopt(M_MXFAST, 0);
#endif
}

QString MissingDisplay(int argc, const char* const* argv)
{
    // Qt reads "-platform NAME" with one dash or two, and an empty variable as an unset one.
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return QString();
    }
    for (const char* chosen : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        if (!qEnvironmentVariableIsEmpty(chosen))
            return QString();
    }
    return QStringLiteral("Quorvale needs a graphical display, but DISPLAY and WAYLAND_DISPLAY "
                          "are both unset (QT_QPA_PLATFORM or -platform chooses a platform)");
}

TerminationSignals::TerminationSignals()
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("Cannot make the pipe for termination signals");
    g_writeFd = m_pipe[1];
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::OnReadable);

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    for (int signal : kSignals)
        ::signal(signal, SIG_DFL);
    g_writeFd = -1;
    delete m_notifier;
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

void TerminationSignals::OnReadable()
{
    unsigned char number = 0;
    while (::read(m_pipe[0], &number, 1) == 1)
        m_received = number;
    if (m_received == 0)
        return;
    Q_EMIT Terminated(m_received);
    // Ends the main loop and every nested one (a modal dialog's); exec() started later would run
    // all the same, which is why callers ask Received() first.
    QCoreApplication::exit(0);
}

StoreLock::StoreLock(const QString& storePath)
    : m_storePath(storePath), m_lock(storePath + QStringLiteral(".lock"))
{
    // A lock is stale only when its process is gone, never by age: a client runs for weeks.
    m_lock.setStaleLockTime(0);
}

bool StoreLock::TryLock()
{
    if (m_lock.tryLock(0))
        return true;
    if (m_lock.error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host;
        QString application;
        m_lock.getLockInfo(&pid, &host, &application);
        m_explanation = QStringLiteral("Quorvale is already running with the configuration data "
                                       "in %1 (process %2 on %3). Only one client at a time can "
                                       "use it.")
                            .arg(m_storePath, QString::number(pid), host);
        return false;
    }
    m_explanation = QStringLiteral("The lock file beside %1 could not be made; running without "
                                   "it.")
                        .arg(m_storePath);
    return true;
}

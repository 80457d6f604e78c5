#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Why the program cannot show a window, before QApplication is made: without a display Qt's
// default platform gives up with an abort and a core file. Empty when the user chose a platform
// (QT_QPA_PLATFORM, -platform) or DISPLAY or WAYLAND_DISPLAY names a display to try.
QString MissingDisplay(int argc, const char* const* argv);

// Sets up the process's allocator, before anything is allocated in bulk. The window
// frees rows, items and strings by the hundred thousand a second in slices (a room's users
// leaving, a search tab closing); glibc's fast bins would put off merging those blocks until the
// next large allocation, typically a paint's, which then merges everything the turn freed and
// holds the thread as long again. Without fast bins a block is merged when it is freed, inside
// the slice that frees it. Loading and scanning a million files measure the same either way.
void TuneAllocator();

// Turns SIGTERM, SIGINT and SIGHUP into an orderly end: every running event loop ends (a modal
// box's too), so that shutdown runs as after closing the window: logout, sweep, save, except that
// nobody is asked anything. The signal handler only writes the signal's number into a pipe; the
// rest runs on the GUI thread.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    // Installs the handlers. One instance at a time.
    TerminationSignals();
    // Puts the default handlers back.
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // Whether a termination signal arrived: the caller must not start an event loop any more.
    bool Received() const { return m_received != 0; }
    // The last signal that arrived; 0 before any.
    int Signal() const { return m_received; }

Q_SIGNALS:
    void Terminated(int signal);

private:
    void OnReadable();

    int m_pipe[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
    int m_received = 0;
};

// One client per store file: a lock file beside it (the store file's name with ".lock", which
// the share scanner never offers), held while the client runs. A lock left by a process that
// died is taken over.
class StoreLock
{
public:
    explicit StoreLock(const QString& storePath);

    // True when this process holds the lock now, or when the lock cannot be made at all (a
    // folder without write access: nothing can be saved there either, which the saves report).
    // False when another running client holds it.
    bool TryLock();
    // For the user: who holds it, or why it could not be made.
    QString Explanation() const { return m_explanation; }

private:
    QString m_storePath;
    QLockFile m_lock;
    QString m_explanation;
};

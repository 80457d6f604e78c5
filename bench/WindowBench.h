#pragma once

// What the window benchmarks have in common: a home folder of their own, a login that goes to a
// server which never answers, the event loop turned as it would be on return, a page's host
// without the whole window, and one way of printing a figure against its baseline.

#include "BenchShare.h"

#include "engine/Engine.h"
#include "server/Server.h"
#include "server/ServerCodes.h"
#include "server/ServerSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/MainWindow.h"
#include "shell/ShellTypes.h"
#include "shell/SizeManager.h"
#include "store/MemStream.h"
#include "store/Schema.h"
#include "store/Settings.h"
#include "support/OfflineStore.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWidget>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace WindowBench {

// Runs what a returning event loop would: the posted events, the paints and the zero timers.
inline void Settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// A figure against its baseline, both in milliseconds, and whether the ratio is within target.
inline void Report(const char* what, double baselineMs, double measuredMs, double target)
{
    const double ratio = measuredMs / baselineMs;
    std::printf("%s: baseline %.3f ms, measured %.3f ms, ratio %.3g (target <= %g: %s)\n", what,
                baselineMs, measuredMs, ratio, target, ratio <= target ? "met" : "NOT met");
}

// The GUI thread's work as the events it delivers take it, from Start to Stop: the total, and the
// longest stretch, the work of one turn of the event loop (from its waking to its next waking or
// wait; the window answers input between two turns). Needs the event dispatcher that tells both:
// QT_NO_GLIB set before the application is made.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;

    static TimedApplication* Instance() { return static_cast<TimedApplication*>(qApp); }

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (m_depth > 0 || !m_measuring)
            return QApplication::notify(receiver, event);
        ++m_depth;
        QElapsedTimer t;
        t.start();
        const bool handled = QApplication::notify(receiver, event);
        m_stretch += t.nsecsElapsed();
        --m_depth;
        return handled;
    }

    void Start()
    {
        total = longest = m_stretch = 0;
        m_measuring = true;
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        m_turns[0] = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock,
                                      [this] { EndStretch(); });
        m_turns[1] = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake,
                                      [this] { EndStretch(); });
    }
    void Stop()
    {
        EndStretch();
        for (const QMetaObject::Connection& turn : m_turns)
            QObject::disconnect(turn);
        m_measuring = false;
    }

    qint64 total = 0;
    qint64 longest = 0;

private:
    void EndStretch()
    {
        total += m_stretch;
        longest = std::max(longest, m_stretch);
        m_stretch = 0;
    }

    int m_depth = 0;
    bool m_measuring = false;
    qint64 m_stretch = 0;
    QMetaObject::Connection m_turns[2];
};

// The GUI thread's work, in nanoseconds: its longest turn, its total, and the longest gap of a
// timer due every millisecond meanwhile (a stretch as input waits it out, over turns that follow
// one another without a pause).
struct Work
{
    qint64 longest = 0;
    qint64 total = 0;
    qint64 gap = 0;
};

// The longest a stretch may be: the window answers within a tenth of a second.
constexpr double kMaxStretchMs = 100.0;

// Work done between turns of the event loop: its longest stretch without a turn (target at most
// kMaxStretchMs) and its total against a baseline, all in milliseconds.
inline void ReportStretch(const char* what, double baselineMs, double stretchMs, double totalMs,
                          double target)
{
    const double ratio = totalMs / baselineMs;
    std::printf("%s: stretch %.1f ms (target <= %.0f: %s), total %.1f ms, baseline %.1f ms, "
                "ratio %.3g (target <= %g: %s)\n",
                what, stretchMs, kMaxStretchMs, stretchMs <= kMaxStretchMs ? "met" : "NOT met",
                totalMs, baselineMs, ratio, target, ratio <= target ? "met" : "NOT met");
}

// The same for work measured in nanoseconds.
inline void ReportWork(const char* what, double baselineMs, const Work& work, double target = 2.0)
{
    ReportStretch(what, baselineMs, double(work.longest) / 1e6, double(work.total) / 1e6, target);
    if (work.gap > 0)
        std::printf("  %s: longest 1 ms timer gap %.1f ms (target <= %.0f: %s)\n", what,
                    double(work.gap) / 1e6, kMaxStretchMs,
                    double(work.gap) / 1e6 <= kMaxStretchMs ? "met" : "NOT met");
}

// The least of each figure of two runs.
inline Work Least(const Work& a, const Work& b)
{
    return {std::min(a.longest, b.longest), std::min(a.total, b.total), std::min(a.gap, b.gap)};
}

// Runs action as an event of the loop, then the loop until done() holds (looked at every
// millisecond or two) or timeoutMs have passed: the work meanwhile.
inline Work Measure(const std::function<void()>& action, const std::function<bool()>& done,
                    int timeoutMs = 120000)
{
    TimedApplication* app = TimedApplication::Instance();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(2);
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done() || waited.elapsed() > timeoutMs)
            loop.quit();
    });
    BenchShare::StretchMonitor gaps;
    app->Start();
    gaps.Start();
    QTimer::singleShot(0, &loop, action);
    poll.start();
    loop.exec();
    gaps.Stop();
    app->Stop();
    if (!done())
        std::fprintf(stderr, "not done after %d ms\n", timeoutMs);
    return {app->longest, app->total, qint64(gaps.LongestMs() * 1e6)};
}

// Runs start as an event of a running event loop, as a click's handler runs, then the loop until
// done says so: the longest stretch without a turn and the total, in milliseconds. The loop is
// exec'd, not stepped with processEvents: the budget of long work per turn follows the turns of
// a running loop only.
template <class Start, class Done> inline std::pair<double, double> Timed(Start start, Done done)
{
    BenchShare::StretchMonitor monitor;
    QElapsedTimer t;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    monitor.Start();
    t.start();
    QTimer::singleShot(0, &loop, [&] {
        start();
        poll.start();
    });
    loop.exec();
    Settle();
    const double total = double(t.nsecsElapsed()) / 1e6;
    monitor.Stop();
    return {monitor.LongestMs(), total};
}

// A plain tree of folder rows nested as the tab nests them (parent's index first), each with
// files rows under it: the milliseconds to build and show it, and to delete it.
inline std::pair<double, double> PlainTree(const std::vector<int>& parents,
                                           const std::vector<int>& files, bool expand)
{
    QTreeWidget plain;
    plain.resize(600, 600);
    plain.show();
    Settle();
    QElapsedTimer t;
    t.start();
    std::vector<QTreeWidgetItem*> rows(parents.size());
    QList<QTreeWidgetItem*> top;
    for (size_t k = 0; k < parents.size(); ++k) {
        const QString name = QStringLiteral("Folder %1").arg(k);
        rows[k] = parents[k] < 0 ? new QTreeWidgetItem(QStringList{name})
                                 : new QTreeWidgetItem(rows[size_t(parents[k])], {name});
        if (parents[k] < 0)
            top << rows[k];
        for (int f = 0; f < files[k]; ++f)
            new QTreeWidgetItem(rows[k],
                                {QStringLiteral("%1 - Track %2.mp3").arg(f).arg(k),
                                 QStringLiteral("1,234,567"), QStringLiteral("192 CBR, 3:25")});
    }
    plain.addTopLevelItems(top);
    if (expand)
        plain.expandAll();
    Settle();
    const double built = double(t.nsecsElapsed()) / 1e6;
    t.start();
    plain.clear();
    Settle();
    return {built, double(t.nsecsElapsed()) / 1e6};
}

// Made before the application object, which reads both: offscreen unless a platform is set, and
// HOME in a temporary folder, so that the real store file is never read or written.
class Home
{
public:
    Home()
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("HOME", QFile::encodeName(m_dir.path()));
    }

    QString FilePath(const QString& name) const { return m_dir.filePath(name); }
    QString StoreFile() const { return FilePath(QStringLiteral(".Quorvale")); }

    // The store file of a client that logs in as "bench": peer ports the system picks, no UPnP.
    void WriteStore() const
    {
        if (!WriteOfflineStore(
                StoreFile(), {{SettingKeys::Username, "bench"}, {SettingKeys::Password, "bench"}}))
            std::fprintf(stderr, "the store file could not be written\n");
    }

private:
    QTemporaryDir m_dir;
};

// A local port that takes the login's connection and never answers; the client's login goes
// there while this lives.
class SilentServer
{
public:
    SilentServer()
    {
        m_server.listen(QHostAddress(QHostAddress::LocalHost), 0);
        Server::UseEndpointForTesting(QHostAddress(QHostAddress::LocalHost), m_server.serverPort());
    }
    ~SilentServer() { Server::UseEndpointForTesting(QHostAddress(), 0); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    bool WaitForLogin() { return m_server.waitForNewConnection(10000); }

private:
    QTcpServer m_server;
};

// The window as it runs, at a desktop's size, its login gone to a local port that never
// answers.
class RunningWindow
{
public:
    RunningWindow()
    {
        m_window.resize(1280, 800);
        m_window.show();
        m_window.Init();
        Settle();
    }

private:
    SilentServer m_silent;
    MainWindow m_window;
};

// A server message as the connection reads it: its length, then the message.
inline QByteArray Frame(const MemStream& m)
{
    QByteArray frame(4, Qt::Uninitialized);
    qToLittleEndian(quint32(m.GetWriteIndex()), frame.data());
    return frame + QByteArray(m.GetBuffer(), qsizetype(m.GetWriteIndex()));
}

// The server's acceptance of the login.
inline QByteArray LoginAccepted()
{
    MemStream login;
    login.Write(quint32(ServerCode::Login));
    login.Write(quint8(1));
    login.Write(std::string("Welcome"));
    login.Write(quint32(0x0100007f)); // our address as the server sees it
    login.Write(std::string("x"));
    return Frame(login);
}

// What a page needs of the window, without the window: the engine (no peers, no shared folders)
// logged in to the silent server, the tool bar, the size manager and the note type. The bench
// hands the server connection its answers itself.
class PageHost
{
public:
    explicit PageHost(SilentServer& server) : m_engine(Options())
    {
        Settings::Set(SettingKeys::UseUpnp, "no");
        Settings::Set(SettingKeys::Username, "bench");
        Settings::Set(SettingKeys::Password, "bench");
        gp_server->Connect();
        server.WaitForLogin();
        const SchemaType noteType[] = {
            {ShellTypes::UserNote, ReachablePrimacy, false, true, ValueKind::Utf8}};
        const SchemaRelation noteRelation[] = {
            {ServerTypes::User, ShellTypes::UserNote, Many, One}};
        DeclareSchema(MakeSchema(noteType, noteRelation));
        m_layout = new QVBoxLayout(&m_window);
        m_layout->addWidget(new ActionSetToolBar(&m_window));
        m_sizes = std::make_unique<SizeManager>();
    }

    QWidget* Window() { return &m_window; }
    QVBoxLayout* Layout() { return m_layout; }

    // At the size every page is measured at.
    void Show()
    {
        m_window.resize(1000, 700);
        m_window.show();
        Settle();
    }

private:
    static EngineOptions Options()
    {
        EngineOptions options;
        options.peerMessenger = false;
        options.sharedFolders = false;
        return options;
    }

    // In this order, so that the window and the size manager go before the engine.
    Engine m_engine;
    QWidget m_window;
    QVBoxLayout* m_layout = nullptr;
    std::unique_ptr<SizeManager> m_sizes;
};

} // namespace WindowBench

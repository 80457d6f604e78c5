// A login's room list in the running window, through a real connection: 100,000 public rooms,
// 100 of them owned and 100 more member rooms (every other one operated), in one message, which
// makes the rooms, counts and roles in the store a few hundred rooms a step; the window's
// handlers then make the rows, set the counts, style the roles and sort. Measured until the list
// shows every room in order: the longest turn of the event loop and the longest gap of a timer
// due every millisecond (target 100 ms each), and the total against the baseline, in the same
// run: a sorted plain QTreeWidget filled with the same names and counts. The least of three
// rounds, each with rooms of its own names. Nothing is asserted.

#include "BenchServer.h"
#include "WindowBench.h"

#include "server/Server.h"
#include "server/ServerCodes.h"
#include "shell/MainWindow.h"
#include "shell/ProcessControl.h"
#include "store/MemStream.h"
#include "store/Settings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

using WindowBench::Settle;
using WindowBench::Work;

constexpr int kRooms = 100000;
constexpr int kOwned = 100;
constexpr int kMember = 100;
constexpr int kRounds = 3;
constexpr double kTargetRatio = 3.0;

std::string RoomName(int round, int i)
{
    // Names that do not arrive in order, as a server's do not, and differ only in case from
    // another's now and then.
    const int n = (i * 7919) % kRooms;
    return (n % 3 ? "room " : "Room ") + std::to_string(round) + "/" + std::to_string(n);
}

quint32 UserCount(int i)
{
    return quint32(i % 500);
}

QByteArray RoomListFrame(int round)
{
    MemStream m;
    m.Write(quint32(ServerCode::RoomList));
    m.Write(quint32(kRooms));
    for (int i = 0; i < kRooms; ++i)
        m.Write(RoomName(round, i));
    m.Write(quint32(kRooms));
    for (int i = 0; i < kRooms; ++i)
        m.Write(UserCount(i));
    m.Write(quint32(kOwned));
    for (int i = 0; i < kOwned; ++i)
        m.Write(RoomName(round, i * 97));
    m.Write(quint32(kOwned));
    for (int i = 0; i < kOwned; ++i)
        m.Write(UserCount(i * 97));
    m.Write(quint32(kMember));
    for (int i = 0; i < kMember; ++i)
        m.Write(RoomName(round, i * 89 + 1));
    m.Write(quint32(kMember));
    for (int i = 0; i < kMember; ++i)
        m.Write(UserCount(i * 89 + 1));
    m.Write(quint32(kMember / 2));
    for (int i = 0; i < kMember; i += 2)
        m.Write(RoomName(round, i * 89 + 1));
    return WindowBench::Frame(m);
}

qint64 BaselineNs(int round)
{
    QTreeWidget tree;
    tree.setColumnCount(2);
    tree.setSortingEnabled(true);
    tree.sortByColumn(0, Qt::AscendingOrder);
    tree.show();
    Settle();
    QElapsedTimer t;
    t.start();
    QList<QTreeWidgetItem*> rows;
    for (int i = 0; i < kRooms; ++i) {
        auto* row = new QTreeWidgetItem;
        row->setText(0, QString::fromStdString(RoomName(round, i)));
        const quint32 count = UserCount(i);
        row->setText(1, count == 0 ? QString() : QString::number(count));
        rows << row;
    }
    tree.addTopLevelItems(rows);
    Settle();
    return t.nsecsElapsed();
}

// The list shows every room, in order: rows of rooms with a role first, then the others by name.
bool Listed(QTreeWidget* list, int rooms)
{
    if (list->topLevelItemCount() != rooms)
        return false;
    for (int i = 1; i < rooms; ++i) {
        if (*list->topLevelItem(i) < *list->topLevelItem(i - 1))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // As the client does.
    TuneAllocator();
    WindowBench::Home home;
    // The event dispatcher that tells each turn of the event loop.
    qputenv("QT_NO_GLIB", "1");
    WindowBench::TimedApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    home.WriteStore();
    BenchServer server;
    MainWindow window;
    window.resize(1280, 800);
    window.show();
    window.Init();
    window.findChild<QTabWidget*>(QStringLiteral("tabControl"))
        ->setCurrentWidget(window.findChild<QWidget*>(QStringLiteral("roomsTab")));
    WindowBench::Measure([] {}, [] { return gp_server->IsConnected(); });
    auto* list = window.findChild<QTreeWidget*>("roomList");

    Work least;
    qint64 baseline = 0;
    for (int round = 0; round < kRounds; ++round) {
        const QByteArray frame = RoomListFrame(round);
        // Rooms of every round stay: the server never says one is gone. (A sort the last round's
        // roles asked for may still have rows out of the list.)
        const int before = round * kRooms;
        const Work work = WindowBench::Measure(
            [&] {
                Settings::SetYes(SettingKeys::AcceptRoomList, true);
                server.Send(frame);
            },
            [&] {
                return list->topLevelItemCount() == before + kRooms &&
                       Listed(list, before + kRooms);
            });
        least = round == 0 ? work : WindowBench::Least(least, work);
        const qint64 plain = BaselineNs(round);
        baseline = round == 0 ? plain : std::min(baseline, plain);
    }
    std::printf("rows in the room list: %d (first: %s)\n", list->topLevelItemCount(),
                qPrintable(list->topLevelItem(0)->text(0)));
    const std::string what =
        "room list of " + std::to_string(kRooms) + " rooms (baseline: a plain sorted tree)";
    WindowBench::ReportWork(what.c_str(), baseline / 1e6, least, kTargetRatio);
    return 0;
}

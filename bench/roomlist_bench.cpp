// A login's room list in the running window: 20,000 public rooms, 100 of them owned and 100
// more member rooms (every other one operated), delivered to the server connection as one
// message, which makes the rooms, counts and roles in the store; the window's handlers then
// make the rows, set the counts, style the roles and sort. The baseline, in the same run, fills
// a sorted plain QTreeWidget with the same names and counts. Prints both, and the ratio to its
// target; nothing is asserted.

#include "WindowBench.h"

#include "server/Server.h"
#include "server/ServerCodes.h"
#include "shell/MainWindow.h"
#include "store/MemStream.h"
#include "store/Settings.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

using WindowBench::Report;
using WindowBench::Settle;

constexpr int kRooms = 20000;
constexpr int kOwned = 100;
constexpr int kMember = 100;
constexpr int kBaselineRounds = 3;
constexpr double kTargetRatio = 3.0;

std::string RoomName(int i)
{
    // Names that do not arrive in order, as a server's do not.
    return "room " + std::to_string((i * 7919) % kRooms);
}

quint32 UserCount(int i)
{
    return quint32(i % 500);
}

QByteArray RoomListFrame()
{
    MemStream m;
    m.Write(quint32(ServerCode::RoomList));
    m.Write(quint32(kRooms));
    for (int i = 0; i < kRooms; ++i)
        m.Write(RoomName(i));
    m.Write(quint32(kRooms));
    for (int i = 0; i < kRooms; ++i)
        m.Write(UserCount(i));
    m.Write(quint32(kOwned));
    for (int i = 0; i < kOwned; ++i)
        m.Write(RoomName(i * 97));
    m.Write(quint32(kOwned));
    for (int i = 0; i < kOwned; ++i)
        m.Write(UserCount(i * 97));
    m.Write(quint32(kMember));
    for (int i = 0; i < kMember; ++i)
        m.Write(RoomName(i * 89 + 1));
    m.Write(quint32(kMember));
    for (int i = 0; i < kMember; ++i)
        m.Write(UserCount(i * 89 + 1));
    m.Write(quint32(kMember / 2));
    for (int i = 0; i < kMember; i += 2)
        m.Write(RoomName(i * 89 + 1));
    return WindowBench::Frame(m);
}

qint64 BaselineNs()
{
    QTreeWidget tree;
    tree.setColumnCount(2);
    tree.setSortingEnabled(true);
    tree.sortByColumn(0, Qt::AscendingOrder);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kRooms; ++i) {
        auto* row = new QTreeWidgetItem(&tree);
        row->setText(0, QString::fromStdString(RoomName(i)));
        const quint32 count = UserCount(i);
        row->setText(1, count == 0 ? QString() : QString::number(count));
    }
    Settle();
    return t.nsecsElapsed();
}

} // namespace

int main(int argc, char** argv)
{
    WindowBench::Home home;
    QApplication app(argc, argv);
    WindowBench::SilentServer silent;
    home.WriteStore();

    MainWindow window;
    window.show();
    window.Init();
    Settle();

    const QByteArray frame = RoomListFrame();
    qint64 baseline = BaselineNs();

    Settings::SetYes(SettingKeys::AcceptRoomList, true);
    QBuffer device;
    device.setData(frame);
    device.open(QIODevice::ReadOnly);
    QElapsedTimer t;
    t.start();
    gp_server->ReadFrames(device);
    Settle();
    const qint64 measured = t.nsecsElapsed();

    for (int round = 1; round < kBaselineRounds; ++round)
        baseline = std::min(baseline, BaselineNs());

    auto* list = window.findChild<QTreeWidget*>("roomList");
    std::printf("rows in the room list: %d (first: %s)\n", list->topLevelItemCount(),
                qPrintable(list->topLevelItem(0)->text(0)));
    const std::string what =
        "room list of " + std::to_string(kRooms) + " rooms (baseline: a plain sorted tree)";
    Report(what.c_str(), baseline / 1e6, measured / 1e6, kTargetRatio);
    return 0;
}

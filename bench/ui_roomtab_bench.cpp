// A room tab entering a big room: the server's answer to entering (code 14) with 5,000 and with
// 50,000 users, handed to the server connection as one read while the room's tab is open, until
// the event loop has sorted the list; then the same answer again, as a reconnection brings it
// (every user unlinked and linked again). The baseline, in the same run, fills a sorted plain
// QTreeWidget with the same six-column rows: flag, name, files and speed. Prints each figure,
// its ratio to the baseline (target: at most 3x) and the time per user at 50,000 against 5,000
// (target: at most 1.5x). Five rounds, each in a room of its own; the least of each figure.
// Nothing is asserted.

#include "WindowBench.h"

#include "icons/Icons.h"
#include "server/Server.h"
#include "server/ServerCodes.h"
#include "store/GeneralFunctions.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "ui/chat/QRoomUserListItemWidget.h"
#include "ui/chat/RoomForm.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

using WindowBench::Frame;
using WindowBench::Settle;

constexpr int kSizes[] = {5000, 50000};
constexpr int kRounds = 5;
constexpr double kTargetRatio = 3.0;
constexpr double kTargetGrowth = 1.5;

const char* const kCountries[] = {"de", "fr", "nl", "us", "br", "jp", "", "xx"};

// Mixed case, in no order, as a room's users are.
std::string UserName(int size, int i)
{
    static const char* const kStems[] = {"ann", "Bob", "carla", "Dieter", "eve", "Zo\xeb"};
    return kStems[(i * 7) % 6] + std::to_string(size) + "_" + std::to_string((i * 7919) % size);
}

quint32 Files(int i)
{
    return quint32((qint64(i) * 104729) % 2000000);
}

quint32 Speed(int i)
{
    return i % 5 ? quint32((i * 7717) % 3000000) : 0;
}

// Code 14: the room, then its users list by list: names, statuses, statistics (speed, a 64-bit
// number, files, one more number), an unused number each, countries.
QByteArray RoomEntered(const std::string& room, int size)
{
    MemStream m;
    m.Write(quint32(ServerCode::EnterRoom));
    m.Write(room);
    m.Write(quint32(size));
    for (int i = 0; i < size; ++i)
        m.Write(UserName(size, i));
    m.Write(quint32(size));
    for (int i = 0; i < size; ++i)
        m.Write(quint32(2));
    m.Write(quint32(size));
    for (int i = 0; i < size; ++i) {
        m.Write(Speed(i));
        m.Write(quint64(0));
        m.Write(Files(i));
        m.Write(quint32(0));
    }
    m.Write(quint32(size));
    for (int i = 0; i < size; ++i)
        m.Write(quint32(0));
    m.Write(quint32(size));
    for (int i = 0; i < size; ++i)
        m.Write(std::string(kCountries[i % 8]));
    return Frame(m);
}

qint64 BaselineNs(QWidget* window, int size)
{
    QTreeWidget tree(window);
    window->layout()->addWidget(&tree);
    tree.setColumnCount(6);
    tree.setSortingEnabled(true);
    tree.sortByColumn(2, Qt::AscendingOrder);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < size; ++i) {
        auto* row = new QTreeWidgetItem(&tree);
        const QString code = QString::fromLatin1(kCountries[i % 8]);
        if (!code.isEmpty())
            row->setIcon(1, QIcon(QStringLiteral(":/resources/flags/") + code + ".png"));
        row->setText(2, QString::fromLatin1(UserName(size, i).c_str()));
        row->setText(4, CommafyNumber(Files(i)));
        row->setText(5, QRoomUserListItemWidget::SpeedText(Speed(i)));
    }
    Settle();
    return t.nsecsElapsed();
}

qint64 ReadNs(const QByteArray& frames)
{
    QBuffer buffer;
    buffer.setData(frames);
    buffer.open(QIODevice::ReadOnly);
    QElapsedTimer t;
    t.start();
    gp_server->ReadFrames(buffer);
    Settle();
    return t.nsecsElapsed();
}

} // namespace

int main(int argc, char** argv)
{
    WindowBench::Home home;
    QApplication app(argc, argv);
    Icons::InitResources();

    WindowBench::SilentServer silent;
    WindowBench::PageHost host(silent);
    Settings::Set(SettingKeys::LogRoomChat, "no");
    host.Show();
    ReadNs(WindowBench::LoginAccepted());

    double perUser[2][2] = {};
    for (int k = 0; k < 2; ++k) {
        const int size = kSizes[k];
        qint64 baseline = BaselineNs(host.Window(), size);
        qint64 first = 0;
        qint64 again = 0;
        QStringList users;
        // A room of its own each round, the same users in it: the least of each figure.
        for (int round = 0; round < kRounds; ++round) {
            const std::string room = "bench " + std::to_string(size) + "/" + std::to_string(round);
            const QByteArray frames = RoomEntered(room, size);
            auto* form = new RoomForm(room, host.Window());
            host.Layout()->addWidget(form);
            form->Init();
            Settle();
            const qint64 entering = ReadNs(frames);
            const qint64 enteringAgain = ReadNs(frames);
            first = round ? std::min(first, entering) : entering;
            again = round ? std::min(again, enteringAgain) : enteringAgain;
            users = form->Users();
            delete form;
            Settle();
            baseline = std::min(baseline, BaselineNs(host.Window(), size));
        }
        std::printf("%d users (rows %lld, first %s): baseline (plain sorted tree) %.1f ms; "
                    "entering %.1f ms, ratio %.2f; entering again %.1f ms, ratio %.2f "
                    "(target <= %.1f: %s)\n",
                    size, qlonglong(users.size()), qPrintable(users.value(0)), baseline / 1e6,
                    first / 1e6, double(first) / double(baseline), again / 1e6,
                    double(again) / double(baseline), kTargetRatio,
                    std::max(first, again) <= kTargetRatio * double(baseline) ? "met" : "NOT met");
        perUser[k][0] = double(first) / size;
        perUser[k][1] = double(again) / size;
    }
    for (int which = 0; which < 2; ++which) {
        const double growth = perUser[1][which] / perUser[0][which];
        std::printf("%s, per user: %.2f us at %d users, %.2f us at %d, growth %.2f "
                    "(target <= %.1f: %s)\n",
                    which == 0 ? "entering" : "entering again", perUser[0][which] / 1e3, kSizes[0],
                    perUser[1][which] / 1e3, kSizes[1], growth, kTargetGrowth,
                    growth <= kTargetGrowth ? "met" : "NOT met");
    }
    return 0;
}

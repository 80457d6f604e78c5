// The users page on a big user list: 2,000 listed users, each in one to three of 20 groups, every
// third with a note, made in the store as a loaded store file leaves them; then the page's Init
// (rows, cells, one sort), then the login's acceptance and the server's replies to the watches it
// sends, bringing all 2,000 online, handed to the server connection as one read, until the event
// loop has sorted the list. The baseline, in the
// same run, fills a sorted plain QTreeWidget with the same rows: names, groups, notes and icons.
// Prints both, and the ratio to its target; nothing is asserted.

#include "WindowBench.h"

#include "server/Server.h"
#include "server/ServerCodes.h"
#include "shell/ProcessControl.h"
#include "store/MemStream.h"
#include "support/SeededUsers.h"
#include "ui/users/UserListForm.h"
#include "ui/users/UserListItemWidget.h"

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
using WindowBench::Report;
using WindowBench::Settle;

constexpr int kUsers = 2000;
constexpr int kGroups = 20;
constexpr int kNoteEvery = 3;
constexpr int kBaselineRounds = 3;
constexpr double kTargetRatio = 3.0;

std::string UserName(int i)
{
    // Mixed case, in no order, as a list typed over the years is.
    static const char* const kStems[] = {"ann", "Bob", "carla", "Dieter", "eve", "Zo\xeb"};
    return kStems[(i * 7) % 6] + std::string("_") + std::to_string((i * 7919) % kUsers);
}

std::string GroupName(int g)
{
    return (g % 2 ? "Group " : "group ") + std::to_string(g);
}

std::vector<std::string> GroupsOf(int i)
{
    std::vector<std::string> groups;
    for (int k = 0; k <= i % 3; ++k)
        groups.push_back(GroupName((i + k * 7) % kGroups));
    return groups;
}

std::string NoteOf(int i)
{
    return i % kNoteEvery ? std::string() : "met in the jazz room, " + std::to_string(i);
}

// What the page shows in the groups cell: the names in byte order.
QString GroupsText(int i)
{
    std::vector<std::string> groups = GroupsOf(i);
    std::sort(groups.begin(), groups.end());
    QStringList names;
    for (const std::string& group : groups)
        names << QString::fromLatin1(group.c_str());
    return names.join(QStringLiteral(", "));
}

// The server accepts the login, then answers the watches sent for the listed users: every user
// exists and is online.
QByteArray LoginAndReplies()
{
    QByteArray frames = WindowBench::LoginAccepted();
    for (int i = 0; i < kUsers; ++i) {
        MemStream m;
        m.Write(quint32(ServerCode::AddUser));
        m.Write(UserName(i));
        m.Write(quint8(1));  // exists
        m.Write(qint32(2));  // online
        m.Write(quint32(0)); // statistics: speed, a 64-bit number, files, and one more
        m.Write(quint64(0));
        m.Write(quint32(0));
        m.Write(quint32(0));
        m.Write(std::string("NL"));
        frames += Frame(m);
    }
    return frames;
}

qint64 BaselineNs(QWidget* window)
{
    QTreeWidget tree(window);
    window->layout()->addWidget(&tree);
    tree.setColumnCount(3);
    tree.setSortingEnabled(true);
    tree.sortByColumn(0, Qt::AscendingOrder);
    const QIcon dot(QStringLiteral(":/icons/online_dot_icon"));
    const QIcon note(QStringLiteral(":/icons/note_icon"));
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kUsers; ++i) {
        auto* row = new QTreeWidgetItem(&tree);
        row->setIcon(0, dot);
        row->setText(0, QString::fromLatin1(UserName(i).c_str()));
        row->setText(1, GroupsText(i));
        const std::string text = NoteOf(i);
        if (!text.empty()) {
            row->setIcon(2, note);
            row->setText(2, QString::fromUtf8(text.c_str()));
        }
    }
    Settle();
    return t.nsecsElapsed();
}

} // namespace

int main(int argc, char** argv)
{
    // As the client does.
    TuneAllocator();
    WindowBench::Home home;
    QApplication app(argc, argv);

    WindowBench::SilentServer silent;
    WindowBench::PageHost host(silent);
    auto* page = new UserListForm(host.Window());
    host.Layout()->addWidget(page);
    host.Show();

    SeededUsers users;
    for (int i = 0; i < kUsers; ++i)
        users.push_back({UserName(i), true, GroupsOf(i), NoteOf(i)});
    AddSeededUsers(users);
    QBuffer replies;
    replies.setData(LoginAndReplies());
    replies.open(QIODevice::ReadOnly);

    qint64 baseline = BaselineNs(host.Window());

    QElapsedTimer t;
    t.start();
    page->Init();
    Settle();
    const qint64 init = t.nsecsElapsed();
    t.restart();
    gp_server->ReadFrames(replies);
    Settle();
    const qint64 comingOnline = t.nsecsElapsed();

    for (int round = 1; round < kBaselineRounds; ++round)
        baseline = std::min(baseline, BaselineNs(host.Window()));

    auto* list = page->findChild<QTreeWidget*>(QStringLiteral("userList"));
    int online = 0;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        online += static_cast<UserListItemWidget*>(list->topLevelItem(i))->IsOnline() ? 1 : 0;
    std::printf("rows in the user list: %d, online %d (first: %s, groups %s)\n",
                list->topLevelItemCount(), online, qPrintable(list->topLevelItem(0)->text(0)),
                qPrintable(list->topLevelItem(0)->text(1)));
    std::printf("the page: Init %.1f ms, all online %.1f ms\n", init / 1e6, comingOnline / 1e6);
    const std::string what =
        "user list of " + std::to_string(kUsers) + " users (baseline: a plain sorted tree)";
    Report(what.c_str(), baseline / 1e6, (init + comingOnline) / 1e6, kTargetRatio);
    return 0;
}

// The chat forms in a host that builds no server connection (and so no engine): every action
// that needs the server says so in one log line and does nothing else. A missing hook to a
// higher form is told the same way. The room tab, which cannot work without the server, is not
// made there at all: it throws, and leaves nothing behind.

#include "ChatTestScene.h"

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shell/ActionSetToolBar.h"
#include "shell/FormHooks.h"
#include "shell/RoomMessages.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellTypes.h"
#include "store/DataSaver.h"
#include "store/Dependency.h"
#include "store/Settings.h"
#include "support/LogLines.h"
#include "support/StoreGuard.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/CreateRoomDialog.h"
#include "ui/chat/RoomForm.h"

#include <QLineEdit>
#include <QPointer>
#include <QTabWidget>
#include <QTest>

#include <memory>
#include <optional>
#include <utility>

namespace {

enum class Action
{
    OpenRoomTab,
    SendRoomLine,
    CloseRoomTab,
    SendPrivateLine,
    CreateRoom,
    OpenChatFromBelow,
};

const QString kNoServer = QStringLiteral("The server connection is not available.");
const QString kTabNeedsServer =
    QStringLiteral("The room tab needs the server connection, which was not built first");
const QString kTabNeedsBar =
    QStringLiteral("The room tab needs the context tool bar, which was not built first");

// What a host of the room tab builds.
enum class Built
{
    NoServer,  // the store and the context tool bar
    NoToolBar, // the store and the server connection, logged in
    Everything,
};

// Everything a chat form uses but the server connection.
struct Host
{
    Host()
    {
        Server::CreateData(saver);
        Settings::CreateData(saver);
        ShellTypes::DeclareUserChatWidget();
        ShellTypes::DeclareChatLogForm();
        DeclareUserNotes();
        using namespace ShellActions;
        for (const char* set : {RoomListSet, RoomSet})
            AddSet(*bar, kEarlySets, kEarlySetRowCount, set);
        AddChatLogSets(*bar);
        Settings::Set(SettingKeys::Username, "alice");
        ServerStore::Room("lobby").NewItem(ServerTypes::InRoom);
    }

    StoreGuard store;
    DataSaver saver;
    QWidget window;
    ActionSetToolBar* bar = new ActionSetToolBar(&window);
    QTabWidget* tabs = new QTabWidget(&window);
};

// What a form with a chat edit shows: its edit's text, then its chat.
QString Shown(QWidget* form, const QString& chat)
{
    return form->findChild<QLineEdit*>(QStringLiteral("chatEdit"))->text() + '|' + chat;
}

void TypeLine(QWidget* form, const QString& line)
{
    auto* edit = form->findChild<QLineEdit*>(QStringLiteral("chatEdit"));
    edit->setText(line);
    Q_EMIT edit->returnPressed();
}

// The user in the room "lobby" or out of it as the server connection leaves the store after a
// user joined (with the figures) or left.
void LinkToLobby(const std::string& name, bool in)
{
    ItemPtr room = ServerStore::Room("lobby");
    ItemPtr user = ServerStore::User(name);
    if (!in) {
        room.Disconnect(user);
        return;
    }
    room += user;
    ServerStore::Link(user, ServerTypes::AverageDownloadSpeed, Value(1024));
    ServerStore::Link(user, ServerTypes::SharedFilesCount, Value(10));
    ServerStore::Link(user, ServerTypes::CountryCode, Value(std::string("de")));
}

} // namespace

Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(Built)

class tst_MissingServices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void actionLogsOnceAndDoesNothingElse_data();
    void actionLogsOnceAndDoesNothingElse();
    void roomTabIsWholeOrThrows_data();
    void roomTabIsWholeOrThrows();
};

void tst_MissingServices::actionLogsOnceAndDoesNothingElse_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<QStringList>("lines");
    // What the form is left with: a typed line stays where it was typed (edit|chat), a room
    // stays joined, a dialog stays open with its name, no tab opens; or why the form was not
    // made, the room joined still.
    QTest::addColumn<QString>("left");
    const QStringList noServer{kNoServer};
    QTest::newRow("room tab opened") << Action::OpenRoomTab << QStringList() << kTabNeedsServer;
    QTest::newRow("room line sent") << Action::SendRoomLine << QStringList() << kTabNeedsServer;
    QTest::newRow("room tab closed") << Action::CloseRoomTab << QStringList() << kTabNeedsServer;
    QTest::newRow("private line sent") << Action::SendPrivateLine << noServer << "hi|";
    QTest::newRow("room created") << Action::CreateRoom << noServer << "den";
    QTest::newRow("chat opened from below")
        << Action::OpenChatFromBelow << QStringList{"The hook to open a chat is not set."}
        << "0 tabs";
}

void tst_MissingServices::actionLogsOnceAndDoesNothingElse()
{
    QFETCH(Action, action);
    QFETCH(QStringList, lines);
    QFETCH(QString, left);

    Host host;
    QVERIFY(!gp_server);
    // Forms whose making is not the action are made before the log is watched.
    std::unique_ptr<RoomForm> room;
    QString thrown;
    const auto makeRoom = [&] {
        try {
            room = std::make_unique<RoomForm>("lobby", host.tabs);
        } catch (const MissingDependencyError& missing) {
            thrown = QString::fromUtf8(missing.what());
        }
    };
    if (action == Action::SendRoomLine || action == Action::CloseRoomTab)
        makeRoom();
    std::unique_ptr<ChatForm> chat;
    if (action == Action::SendPrivateLine)
        chat = std::make_unique<ChatForm>("bob", host.tabs, host.tabs);
    QPointer<CreateRoomDialog> dialog;
    if (action == Action::CreateRoom)
        dialog = new CreateRoomDialog(&host.window);
    const size_t items = d.ItemCount();

    LogLines log;
    switch (action) {
    case Action::OpenRoomTab:
        makeRoom();
        break;
    case Action::SendRoomLine:
        if (room)
            TypeLine(room.get(), QStringLiteral("hi"));
        break;
    case Action::CloseRoomTab:
        room.reset();
        break;
    case Action::SendPrivateLine:
        TypeLine(chat.get(), QStringLiteral("hi"));
        break;
    case Action::CreateRoom:
        dialog->roomNameEdit->setText(QStringLiteral("den"));
        dialog->OnButtonClicked();
        break;
    case Action::OpenChatFromBelow:
        FormHooks::OpenChat("bob");
        break;
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QString after;
    if (!thrown.isEmpty())
        after = thrown;
    else if (room)
        after = Shown(room.get(), room->Text());
    else if (chat)
        after = Shown(chat.get(), chat->Text());
    else if (action == Action::CloseRoomTab)
        after = ServerStore::Room("lobby").IsConnected(ServerTypes::InRoom) ? "in_room" : "left";
    else if (action == Action::CreateRoom)
        after = dialog && ::createRoomDialog == dialog ? dialog->roomNameEdit->text() : "gone";
    else
        after = QStringLiteral("%1 tabs").arg(host.tabs->count());
    QCOMPARE(log.lines, lines);
    QCOMPARE(after, left);
    QCOMPARE(d.ItemCount(), items);
    QVERIFY(ServerStore::Room("lobby").IsConnected(ServerTypes::InRoom));
    delete dialog;
}

void tst_MissingServices::roomTabIsWholeOrThrows_data()
{
    // Steps after the tab is made, with ann in the room before: "join x" and "leave x" as the
    // server says them (code 16 and 17; without a server, the store as the server leaves it),
    // "link x" the store alone linking x to the room with the figures.
    QTest::addColumn<Built>("built");
    QTest::addColumn<QStringList>("steps");
    // The names the tab lists, or why it was not made.
    QTest::addColumn<QString>("outcome");
    QTest::newRow("no server connection, a user joins afterwards")
        << Built::NoServer << QStringList{"join bob"} << kTabNeedsServer;
    QTest::newRow("no tool bar, a user joins afterwards")
        << Built::NoToolBar << QStringList{"join bob"} << kTabNeedsBar;
    QTest::newRow("whole, a user joins afterwards")
        << Built::Everything << QStringList{"join bob"} << "rows: ann, bob";
    QTest::newRow("whole, one joins and one leaves")
        << Built::Everything << QStringList{"join bob", "leave ann"} << "rows: bob";
    QTest::newRow("whole, everyone leaves")
        << Built::Everything << QStringList{"join bob", "leave bob", "leave ann"} << "rows: ";
    QTest::newRow("whole, linked by the store alone")
        << Built::Everything << QStringList{"link Zoë"} << "rows: ann, Zoë";
}

void tst_MissingServices::roomTabIsWholeOrThrows()
{
    QFETCH(Built, built);
    QFETCH(QStringList, steps);
    QFETCH(QString, outcome);

    std::optional<Host> bare;
    std::optional<ChatTestScene> scene;
    if (built == Built::NoServer) {
        bare.emplace();
        LinkToLobby("ann", true);
    } else {
        scene.emplace();
        if (built == Built::NoToolBar)
            delete std::exchange(scene->bar, nullptr);
        QVERIFY(scene->env.logIn());
        QVERIFY(scene->env.deliverFrame(RoomEnteredReply("lobby", {"ann"})));
    }
    QTabWidget* tabs = bare ? bare->tabs : scene->tabs;
    const size_t items = d.ItemCount();

    QString seen;
    try {
        RoomForm tab("lobby", tabs);
        tab.Init();
        for (const QString& step : steps) {
            const QString verb = step.section(' ', 0, 0);
            const QByteArray name = step.section(' ', 1).toLatin1();
            if (!scene || verb == "link")
                LinkToLobby(name.toStdString(), verb != "leave");
            else if (verb == "join")
                QVERIFY(scene->env.deliverFrame(UserJoinedRoom("lobby", {name, 1024, 10, "de"})));
            else
                QVERIFY(scene->env.deliver(ServerCode::UserLeftRoom,
                                           WireWriter().str("lobby").str(name)));
        }
        seen = "rows: " + tab.Users().join(QStringLiteral(", "));
    } catch (const MissingDependencyError& missing) {
        seen = QString::fromUtf8(missing.what());
        // Thrown before the tab made anything.
        QCOMPARE(d.ItemCount(), items);
    }
    QCOMPARE(seen, outcome);
}

QTEST_MAIN(tst_MissingServices)
#include "tst_missingservices.moc"

// The chat forms in a host that builds no server connection (and so no engine): every action
// that needs the server says so in one log line and does nothing else. A missing hook to a
// higher form is told the same way.

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shell/ActionSetToolBar.h"
#include "shell/FormHooks.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellTypes.h"
#include "store/DataSaver.h"
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

// Everything a chat form uses but the server connection.
struct Host
{
    Host()
    {
        Server::CreateData(saver);
        Settings::CreateData(saver);
        ShellTypes::DeclareUserChatWidget();
        ShellTypes::DeclareChatLogForm();
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

} // namespace

Q_DECLARE_METATYPE(Action)

class tst_MissingServices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void actionLogsOnceAndDoesNothingElse_data();
    void actionLogsOnceAndDoesNothingElse();
};

void tst_MissingServices::actionLogsOnceAndDoesNothingElse_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("line");
    // What the form is left with: a typed line stays where it was typed (edit|chat), a room
    // stays joined, a dialog stays open with its name, no tab opens.
    QTest::addColumn<QString>("left");
    QTest::newRow("room tab opened") << Action::OpenRoomTab << kNoServer << "|";
    QTest::newRow("room line sent") << Action::SendRoomLine << kNoServer << "hi|";
    QTest::newRow("room tab closed") << Action::CloseRoomTab << kNoServer << "in_room";
    QTest::newRow("private line sent") << Action::SendPrivateLine << kNoServer << "hi|";
    QTest::newRow("room created") << Action::CreateRoom << kNoServer << "den";
    QTest::newRow("chat opened from below")
        << Action::OpenChatFromBelow << "The hook to open a chat is not set."
        << "0 tabs";
}

void tst_MissingServices::actionLogsOnceAndDoesNothingElse()
{
    QFETCH(Action, action);
    QFETCH(QString, line);
    QFETCH(QString, left);

    Host host;
    QVERIFY(!gp_server);
    // Forms whose making is not the action are made before the log is watched.
    std::unique_ptr<RoomForm> room;
    if (action == Action::SendRoomLine || action == Action::CloseRoomTab)
        room = std::make_unique<RoomForm>("lobby", host.tabs);
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
        room = std::make_unique<RoomForm>("lobby", host.tabs);
        break;
    case Action::SendRoomLine:
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
    if (room)
        after = Shown(room.get(), room->Text());
    else if (chat)
        after = Shown(chat.get(), chat->Text());
    else if (action == Action::CloseRoomTab)
        after = ServerStore::Room("lobby").IsConnected(ServerTypes::InRoom) ? "in_room" : "left";
    else if (action == Action::CreateRoom)
        after = dialog && ::createRoomDialog == dialog ? dialog->roomNameEdit->text() : "gone";
    else
        after = QStringLiteral("%1 tabs").arg(host.tabs->count());
    QCOMPARE(log.lines, QStringList{line});
    QCOMPARE(after, left);
    QCOMPARE(d.ItemCount(), items);
    delete dialog;
}

QTEST_MAIN(tst_MissingServices)
#include "tst_missingservices.moc"

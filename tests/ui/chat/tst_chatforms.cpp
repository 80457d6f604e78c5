// Room tabs, private chat tabs, chat log viewers, the room creation dialog and the room list's
// rows, without the main window: against the store and a fake server.

#include "ChatTestScene.h"

#include "server/ServerStore.h"
#include "shell/DisplayText.h"
#include "shell/FormHooks.h"
#include "shell/RoomMessages.h"
#include "store/Clock.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "store/TurnBudget.h"
#include "support/ScriptedDialogs.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/ChatView.h"
#include "ui/chat/CreateRoomDialog.h"
#include "ui/chat/QRoomListItemWidget.h"
#include "ui/chat/QRoomUserListItemWidget.h"
#include "ui/chat/RoomForm.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTreeWidget>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

namespace {

const QString kStarted = QStringLiteral("* Chat started Mar 5 2:05:09 pm");

QImage Image(const QIcon& icon)
{
    return icon.pixmap(16, 16).toImage();
}

size_t Count(const char* type)
{
    return d.GetType(type)->ItemCount();
}

// A private tab with the user, or the room tab of "lobby", in the scene's tabs; lines reach
// either as they do in the program.
struct ChatTab
{
    ChatTab(ChatTestScene& scene, bool room, const std::string& user = "bob")
        : kind(room ? ChatLog::Kind::Room : ChatLog::Kind::User), name(room ? "lobby" : user)
    {
        auto* chat = room ? nullptr : new ChatForm(name, scene.tabs);
        auto* lobby = room ? new RoomForm(name) : nullptr;
        say = [chat, lobby](const std::string& u, const std::string& t) {
            chat ? chat->AddChat(u, t) : lobby->OnRoomChat("lobby", u, t);
        };
        widget = chat ? static_cast<QWidget*>(chat) : lobby;
        scene.tabs->addTab(widget, "tab");
        view = widget->findChild<ChatView*>("chatView");
    }
    ChatLog::Kind kind;
    std::string name;
    QWidget* widget = nullptr;
    ChatView* view = nullptr;
    std::function<void(const std::string&, const std::string&)> say;
};

// Catches the pages a click opens instead of a browser.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    UrlCatcher() { QDesktopServices::setUrlHandler("http", this, "Open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("http"); }
    QList<QUrl> opened;

public Q_SLOTS:
    void Open(const QUrl& url) { opened << url; }
};

// Code 16 or 17 for each of users from..to-1 of room r, in one write.
QByteArray Comings(int from, int to, bool leaving)
{
    QByteArray frames;
    for (int i = from; i < to; ++i) {
        const RoomUser user = FloodUser(i);
        frames +=
            frameOf(leaving ? WireWriter().u32(ServerCode::UserLeftRoom).str("r").str(user.name)
                            : UserJoinedRoom("r", user));
    }
    return frames;
}

// Every slice of the readers is one frame or step while it lives when ms is 0; -1: as built.
struct PassBudget
{
    explicit PassBudget(qint64 ms) { TurnBudget::SetStepsPerSliceForTesting(ms == 0 ? 1 : 0); }
    ~PassBudget() { TurnBudget::SetStepsPerSliceForTesting(0); }
};

// Waits until the server connection has handled everything sent so far, however many turns of
// the event loop that takes.
bool Synced(ServerTestEnv& env)
{
    for (int tries = 0; tries < 12; ++tries) {
        if (env.sync())
            return true;
    }
    return false;
}

// The list's rows as it shows them, without tidying it first: name|files|K/s|flag|note.
QStringList ListedRows(RoomForm& form)
{
    auto* list = form.findChild<QTreeWidget*>("userList");
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = list->topLevelItem(i);
        rows << QStringList{row->text(2), row->text(4), row->text(5),
                            row->icon(1).isNull() ? "" : "flag",
                            row->icon(3).isNull() ? "" : "note"}
                    .join('|');
    }
    return rows;
}

} // namespace

class tst_ChatForms : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void logPathsStayInTheirFolder_data();
    void logPathsStayInTheirFolder();
    void privateLinesArePlainTextAndLogged_data();
    void privateLinesArePlainTextAndLogged();
    void privateTabOpensOneLogViewer();
    void viewerShowsTheEndOfALongLog();
    void clearingTheLogAsksFirst_data();
    void clearingTheLogAsksFirst();
    void roomTabActionsFollowTheRoom();
    void roomTabShowsItsChatAndUsers();
    void closedRoomTabLeavesTheRoom_data();
    void closedRoomTabLeavesTheRoom();
    void createRoomDialogSendsTheName_data();
    void createRoomDialogSendsTheName();
    void roomRowsSortByRoleThenName_data();
    void roomRowsSortByRoleThenName();
    void roomUserRowsFollowTheServer_data();
    void roomUserRowsFollowTheServer();
    void roomUserRowsSort_data();
    void roomUserRowsSort();
    void roomFloodsEndAsOneGoDoes_data();
    void roomFloodsEndAsOneGoDoes();
    void roomClosedOrQuitWithWorkPending_data();
    void roomClosedOrQuitWithWorkPending();
    void chatLines_data();
    void chatLines();
    void chatEndsAfterFiveQuietMinutes_data();
    void chatEndsAfterFiveQuietMinutes();
    void typedLinesGoOutOnlyWhenLoggedIn_data();
    void typedLinesGoOutOnlyWhenLoggedIn();
    void userMenuAndFocus();
    void viewKeepsShowingTheNewestLine_data();
    void viewKeepsShowingTheNewestLine();
    void trimDropsWholeOldestLines_data();
    void trimDropsWholeOldestLines();
    void linesShowTheirStartAndItsLinks_data();
    void linesShowTheirStartAndItsLinks();

    // The chat log viewer's search and its lines.
    void logSearch_data();
    void logSearch();
    void logLinesStayOneLineEach_data();
    void logLinesStayOneLineEach();
};

void tst_ChatForms::logPathsStayInTheirFolder_data()
{
    QTest::addColumn<bool>("room");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("file");
    QTest::newRow("climbs out") << true << QByteArray("../../x") << ".._.._x.log";
    QTest::newRow("parent") << true << QByteArray("..") << "_.log";
    QTest::newRow("empty") << false << QByteArray("") << "_.log";
    QTest::newRow("slash") << false << QByteArray("a/b") << "a_b.log";
    QTest::newRow("backslash") << true << QByteArray("a\\b") << "a_b.log";
    QTest::newRow("control") << false << QByteArray("tab\tname") << "tab_name.log";
    QTest::newRow("UTF-8") << true << QByteArray("Caf\xc3\xa9 \xe2\x98\x95")
                           << QString::fromUtf8("Caf\xc3\xa9 \xe2\x98\x95.log");
    // Cut to the file system's 255 bytes, ".log" included.
    QTest::newRow("long room") << true << QByteArray(300, 'r') << QString(251, 'r') + ".log";
    QTest::newRow("long room with an extension")
        << true << QByteArray(300, 'r') + ".mp3" << QString(247, 'r') + ".mp3.log";
    // A user's name is Latin-1: each of these letters is two bytes on disk.
    QTest::newRow("long user") << false << QByteArray(300, '\xe9')
                               << QString(125, QChar(0xe9)) + ".log";
}

void tst_ChatForms::logPathsStayInTheirFolder()
{
    QFETCH(bool, room);
    QFETCH(QByteArray, name);
    QFETCH(QString, file);

    const ChatLog::Kind kind = room ? ChatLog::Kind::Room : ChatLog::Kind::User;
    const QString folder =
        QDir::homePath() + (room ? "/Quorvale Chat Logs/Rooms" : "/Quorvale Chat Logs/Users");
    QCOMPARE(ChatLog::Folder(kind), folder);
    const QFileInfo path(ChatLog::Path(kind, name.toStdString()));
    QCOMPARE(path.absolutePath(), folder);
    QCOMPARE(path.fileName(), file);
    QVERIFY(QFile::encodeName(path.fileName()).size() <= 255);
}

void tst_ChatForms::privateLinesArePlainTextAndLogged_data()
{
    QTest::addColumn<bool>("logging");
    QTest::newRow("logging on") << true;
    QTest::newRow("logging off") << false;
}

void tst_ChatForms::privateLinesArePlainTextAndLogged()
{
    QFETCH(bool, logging);

    ChatTestScene scene;
    Settings::SetYes(SettingKeys::LogPrivateChat, logging);
    Settings::Set(SettingKeys::ChatTimestamps, "no_timestamps");
    auto* form = new ChatForm("bob", scene.tabs);
    scene.tabs->addTab(form, "bob");
    auto* viewer = new ChatLogForm(ChatLog::Path(ChatLog::Kind::User, "bob"));
    ServerStore::User("bob") += d.GetType("chat_log_form")->GetItem(Value(viewer));

    const std::string markup = "<b>bold</b> &amp; <img src=x> gr\xc3\xbc\xc3\x9f"
                               "e";
    form->AddChat("bob", markup);
    const QString shown = "[bob] " + QString::fromUtf8(markup);
    QCOMPARE(form->Text(), shown);

    const QByteArray log = ChatTestScene::ReadLog(ChatLog::Kind::User, "bob");
    if (logging) {
        // "[time][bob] text": the text as received, unescaped, on a line of its own.
        QVERIFY2(log.endsWith("][bob] " + QByteArray::fromStdString(markup) + "\n"),
                 log.constData());
        QVERIFY(log.startsWith('['));
        QCOMPARE(log.count('\n'), 1);
        QVERIFY(viewer->Text().endsWith("][bob] " + QString::fromUtf8(markup)));
    } else {
        QVERIFY(!QFile::exists(ChatLog::Path(ChatLog::Kind::User, "bob")));
        QCOMPARE(viewer->Text(), QString());
    }
    delete viewer;
}

void tst_ChatForms::privateTabOpensOneLogViewer()
{
    ChatTestScene scene;
    auto* form = new ChatForm("bob", scene.tabs);
    scene.tabs->addTab(form, "bob");
    ItemPtr bob = ServerStore::User("bob");
    bob += d.GetType("user_chat_widget")->GetItem(Value(form));
    QCOMPARE(ChatForm::FromItem(bob["user_chat_widget"]), form);
    QCOMPARE(scene.Shown(form, "user_chat"), QStringList{"Chat Log"});

    Q_EMIT scene.bar->ActionTriggered(form, "user_chat_log");
    QCOMPARE(scene.tabs->count(), 2);
    auto* viewer = qobject_cast<ChatLogForm*>(scene.tabs->widget(1));
    QVERIFY(viewer);
    QCOMPARE(viewer->LogPath(), ChatLog::Path(ChatLog::Kind::User, "bob"));
    QCOMPARE(ChatLogForm::FromItem(bob["chat_log_form"]), viewer);
    // Another tab's action, or the same action again, opens nothing more.
    Q_EMIT scene.bar->ActionTriggered(scene.tabs, "user_chat_log");
    Q_EMIT scene.bar->ActionTriggered(form, "user_chat_log");
    QCOMPARE(scene.tabs->count(), 2);

    delete viewer;
    QVERIFY(!bob.IsConnected("chat_log_form"));
    QCOMPARE(Count("chat_log_form"), size_t(0));
    delete form;
    QVERIFY(!bob.IsConnected("user_chat_widget"));
    QCOMPARE(Count("user_chat_widget"), size_t(0));

    // An address that names no live tab is not followed.
    bob += d.GetType("user_chat_widget")->GetItem(Value(form));
    QCOMPARE(ChatForm::FromItem(bob["user_chat_widget"]), nullptr);
}

void tst_ChatForms::viewerShowsTheEndOfALongLog()
{
    ChatTestScene scene;
    const QString path = ChatLog::Path(ChatLog::Kind::Room, "big");
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray line(99, 'x');
    const qint64 lines = ChatLogForm::kMaxShownBytes / 100 + 10;
    for (qint64 i = 0; i < lines; ++i)
        file.write(QByteArray::number(i).rightJustified(8, '0') + line.left(91) + '\n');
    file.close();

    ChatLogForm viewer(path);
    const QStringList shown = viewer.Text().split('\n');
    // Only whole lines, the last one last, no more than the cap.
    QVERIFY(shown.size() < lines);
    QVERIFY(shown.size() >= ChatLogForm::kMaxShownBytes / 100 - 1);
    for (const QString& l : {shown.first(), shown.last()})
        QCOMPARE(l.size(), 99);
    QCOMPARE(shown.last().left(8), QString::number(lines - 1).rightJustified(8, '0'));
}

void tst_ChatForms::clearingTheLogAsksFirst_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("cleared");
    QTest::newRow("yes") << int(QMessageBox::Yes) << true;
    QTest::newRow("no") << int(QMessageBox::No) << false;
}

void tst_ChatForms::clearingTheLogAsksFirst()
{
    QFETCH(int, answer);
    QFETCH(bool, cleared);

    ChatTestScene scene;
    Settings::SetYes(SettingKeys::LogRoomChat, true);
    ChatLog::Append(ChatLog::Kind::Room, "lobby", "[t][ann] hello");
    const QString path = ChatLog::Path(ChatLog::Kind::Room, "lobby");
    ChatLogForm viewer(path);
    QCOMPARE(viewer.Text(), QString("[t][ann] hello"));
    QCOMPARE(scene.Shown(&viewer, "chat_log"), (QStringList{"Clear Log", "Open Log Folder"}));

    ScriptedDialogs dialogs;
    dialogs.answers << QMessageBox::StandardButton(answer);
    Q_EMIT scene.bar->ActionTriggered(scene.tabs, "clear_chat_log");
    QCOMPARE(dialogs.shown.size(), 0);
    Q_EMIT scene.bar->ActionTriggered(&viewer, "clear_chat_log");
    QCOMPARE(dialogs.shown.size(), 1);
    QCOMPARE(dialogs.shown.at(0).title, QString("Clear log?"));
    QCOMPARE(dialogs.shown.at(0).defaultButton, QMessageBox::No);
    QCOMPARE(QFile::exists(path), !cleared);
    QCOMPARE(viewer.Text().isEmpty(), cleared);
}

void tst_ChatForms::roomTabActionsFollowTheRoom()
{
    ChatTestScene scene;
    ItemPtr room = ServerStore::Room("Caf\xc3\xa9");
    RoomForm form("Caf\xc3\xa9");
    QCOMPARE(scene.Shown(&form, "room"), (QStringList{"Auto-Join Room [off]", "Chat Log"}));
    scene.bar->OnApplicationFocusChanged(nullptr, &form);
    QCOMPARE(scene.bar->GetKey("room"), QString::fromUtf8("Caf\xc3\xa9"));

    room.NewItem("room_autojoin");
    QCOMPARE(scene.Shown(&form, "room"), (QStringList{"Auto-Join Room [on]", "Chat Log"}));
    room.NewItem("is_member");
    QCOMPARE(scene.Shown(&form, "room"),
             (QStringList{"Auto-Join Room [on]", "Chat Log", "Give Up Membership"}));
    room.NewItem("is_owner");
    QCOMPARE(scene.Shown(&form, "room"),
             (QStringList{"Auto-Join Room [on]", "Chat Log", "Give Up Room"}));
    room.Disconnect("room_autojoin");
    room.Disconnect("is_owner");
    QCOMPARE(scene.Shown(&form, "room"),
             (QStringList{"Auto-Join Room [off]", "Chat Log", "Give Up Membership"}));
    // Another room's flags change nothing here.
    ServerStore::Room("other").NewItem("room_autojoin");
    QCOMPARE(scene.Shown(&form, "room"),
             (QStringList{"Auto-Join Room [off]", "Chat Log", "Give Up Membership"}));
}

void tst_ChatForms::roomTabShowsItsChatAndUsers()
{
    ChatTestScene scene;
    Settings::SetYes(SettingKeys::LogRoomChat, true);
    Settings::Set(SettingKeys::ChatTimestamps, "activity_based");
    QVERIFY(scene.env.logIn());
    QVERIFY(scene.env.deliverFrame(RoomEnteredReply("lobby", {"ann", "ben"})));
    RoomForm form("lobby");
    form.Init();
    QCOMPARE(form.Users(), (QStringList{"ann", "ben"}));

    QVERIFY(scene.env.deliver(
        ServerCode::UserJoinedRoom,
        WireWriter().str("lobby").str("cat").u32(1).u32(0).u64(0).u32(0).u32(0).u32(0).str("C")));
    QVERIFY(scene.env.deliver(ServerCode::UserLeftRoom, WireWriter().str("lobby").str("ann")));
    QCOMPARE(form.Users(), (QStringList{"ben", "cat"}));

    QVERIFY(scene.env.deliver(ServerCode::RoomChat,
                              WireWriter().str("lobby").str("ben").str("<i>hi</i> \xe2\x98\x95")));
    QVERIFY(scene.env.deliver(ServerCode::RoomChat,
                              WireWriter().str("elsewhere").str("ben").str("not here")));
    QCOMPARE(form.Text(),
             QString::fromUtf8("* Chat started Mar 5 2:05:09 pm\n[ben] <i>hi</i> \xe2\x98\x95"));
    QVERIFY(ChatTestScene::ReadLog(ChatLog::Kind::Room, "lobby")
                .endsWith("][ben] <i>hi</i> \xe2\x98\x95\n"));
    QVERIFY(!QFile::exists(ChatLog::Path(ChatLog::Kind::Room, "elsewhere")));

    // Typed lines go to the server, which sends them back like everyone else's.
    form.findChild<QLineEdit*>("chatEdit")->setText("hello");
    form.OnEnterPressed();
    QByteArray rest;
    QCOMPARE(scene.env.nextMessage(&rest), qint64(ServerCode::RoomChat));
    QCOMPARE(rest, WireWriter().str("lobby").str("hello").bytes());

    // A right click on a row runs the user menu for its user; below the rows, nothing.
    QVERIFY(scene.env.deliverFrame(UserJoinedRoom("lobby", "Zo\xeb")));
    FormHooks::Get().fillUserMenu = [](QMenu* menu, const std::string& user) {
        menu->addAction(NameText(user));
    };
    ScriptedDialogs dialogs;
    auto* list = form.findChild<QTreeWidget*>("userList");
    form.resize(600, 400);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QPoint at = list->visualItemRect(list->topLevelItem(form.Users().size() - 1)).center();
    for (const QPoint& point : {at, QPoint(at.x(), 390)})
        Q_EMIT list->customContextMenuRequested(point);
    FormHooks::Get().fillUserMenu = nullptr;
    QCOMPARE(dialogs.menus.size(), 1);
    QCOMPARE(dialogs.menus.at(0).entries, QStringList{"Zoë"});
    QCOMPARE(dialogs.menus.at(0).at, list->viewport()->mapToGlobal(at));
}

void tst_ChatForms::closedRoomTabLeavesTheRoom_data()
{
    QTest::addColumn<QString>("then");
    QTest::newRow("closed logged in: the server is asked") << "closed";
    QTest::newRow("closed logged out: the room is left at once") << "logged out, closed";
    QTest::newRow("open across a reconnection: entered again") << "reconnected";
}

void tst_ChatForms::closedRoomTabLeavesTheRoom()
{
    QFETCH(QString, then);

    ChatTestScene scene;
    QVERIFY(scene.env.logIn());
    QVERIFY(scene.env.deliverFrame(RoomEnteredReply("r")));
    ItemPtr room = ServerStore::Room("r");
    QVERIFY(room.IsConnected("in_room"));
    auto form = std::make_unique<RoomForm>("r");
    if (then == "reconnected") {
        QVERIFY(scene.env.dropAndReconnect());
        // Other requests follow a login; the room's is among them.
        QByteArray rest;
        qint64 code = 0;
        while ((code = scene.env.nextMessage(&rest)) != ServerCode::EnterRoom)
            QVERIFY(code >= 0);
        QCOMPARE(rest, WireWriter().str("r").u32(0).bytes());
        // Both said in the view, neither logged.
        QCOMPARE(form->Text(), "* Disconnected at 14:05:09.\n* Reconnected at 14:05:09.");
        QVERIFY(!QFile::exists(ChatLog::Path(ChatLog::Kind::Room, "r")));
        return;
    }
    const bool loggedIn = then == "closed";
    if (!loggedIn) {
        scene.env.server().Disconnect();
        QVERIFY(!scene.env.server().IsConnected());
    }
    form.reset();
    if (loggedIn) {
        QCOMPARE(frameOf(scene.env.fake().nextFrame()), hexBytes("09000000 0f000000 01000000 72"));
        // The server's confirmation ends the stay.
        QVERIFY(room.IsConnected("in_room"));
        QVERIFY(scene.env.deliver(ServerCode::LeaveRoom, WireWriter().str("r")));
    }
    QVERIFY(!room.IsConnected("in_room"));
}

void tst_ChatForms::createRoomDialogSendsTheName_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("makePrivate");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("trimmed, public")
        << "  lobby \t" << false << hexBytes("11000000 0e000000 05000000 6c6f626279 00000000");
    QTest::newRow("private") << QString::fromUtf8("caf\xc3\xa9") << true
                             << hexBytes("11000000 0e000000 05000000 636166c3a9 01000000");
    QTest::newRow("blanks only") << "   " << true << QByteArray();
}

void tst_ChatForms::createRoomDialogSendsTheName()
{
    QFETCH(QString, typed);
    QFETCH(bool, makePrivate);
    QFETCH(QByteArray, sent);

    ChatTestScene scene;
    QVERIFY(scene.env.logIn());
    QPointer<CreateRoomDialog> dialog = new CreateRoomDialog(&scene.window);
    QCOMPARE(::createRoomDialog, dialog.data());
    dialog->roomNameEdit->setText(typed);
    dialog->createPrivateCheckBox->setChecked(makePrivate);
    dialog->OnButtonClicked();
    scene.env.sendMarkerRequest();
    if (sent.isEmpty()) {
        QVERIFY(scene.env.nextIsMarker());
        QCOMPARE(::createRoomDialog, dialog.data());
        delete dialog;
        QCOMPARE(::createRoomDialog, nullptr);
        return;
    }
    QCOMPARE(frameOf(scene.env.fake().nextFrame()), sent);
    QVERIFY(scene.env.nextIsMarker());
    // Gone from the global at once, and destroyed once the click is over.
    QCOMPARE(::createRoomDialog, nullptr);
    QTRY_VERIFY(dialog.isNull());
}

void tst_ChatForms::roomRowsSortByRoleThenName_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<QStringList>("rooms");
    QTest::addColumn<QStringList>("flags");
    QTest::addColumn<QStringList>("counts");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("owner before member")
        << 0 << QStringList{"Alpha", "beta"} << QStringList{"is_member", "is_owner"}
        << QStringList{"1", "1"} << QStringList{"beta", "Alpha"};
    QTest::newRow("same roles: name, case ignored")
        << 0 << QStringList{"Beta", "alpha", "Gamma"} << QStringList{"", "", ""}
        << QStringList{"1", "1", "1"} << QStringList{"alpha", "Beta", "Gamma"};
    QTest::newRow("owner and operator before owner")
        << 0 << QStringList{"a", "b"} << QStringList{"is_owner", "is_owner is_operator"}
        << QStringList{"1", "1"} << QStringList{"b", "a"};
    QTest::newRow("operator before member before none")
        << 0 << QStringList{"n", "m", "o"} << QStringList{"", "is_member", "is_operator"}
        << QStringList{"1", "1", "1"} << QStringList{"o", "m", "n"};
    QTest::newRow("count column: by number")
        << 1 << QStringList{"a", "b", "c"} << QStringList{"", "", ""}
        << QStringList{"10", "9", "100"} << QStringList{"b", "a", "c"};
}

void tst_ChatForms::roomRowsSortByRoleThenName()
{
    QFETCH(int, column);
    QFETCH(QStringList, rooms);
    QFETCH(QStringList, flags);
    QFETCH(QStringList, counts);
    QFETCH(QStringList, order);

    ChatTestScene scene;
    QTreeWidget list;
    list.setColumnCount(2);
    list.setSortingEnabled(true);
    for (int i = 0; i < rooms.size(); ++i) {
        ItemPtr room = ServerStore::Room(rooms[i].toStdString());
        for (const QString& flag : flags[i].split(' ', Qt::SkipEmptyParts))
            room.NewItem(flag.toLatin1().constData());
        auto* row = new QRoomListItemWidget(&list);
        row->SetRoles(room);
        row->setText(0, rooms[i]);
        row->setText(1, counts[i]);
    }
    list.sortItems(column, Qt::AscendingOrder);
    QStringList shown;
    for (int i = 0; i < list.topLevelItemCount(); ++i)
        shown << list.topLevelItem(i)->text(0);
    QCOMPARE(shown, order);
}

void tst_ChatForms::roomUserRowsFollowTheServer_data()
{
    // Steps, each one message or note: "enter" (code 14 for r with the four users below),
    // "crowd n" (the same with n more), "bob faster" (code 16: new figures), "bob elsewhere"
    // (the same figures, joining another room), "bob left" (17), "left" (15), "note x",
    // "unnote x". A row: name|flag|files|K/s|note.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("count");
    const QString img = "<img src=x>||1,000|0.0|", alice = "Alice||||",
                  bob = "bob|de|1,234,567|1.5|", zoe = "Zoë|fr|999|0.5|";
    const QString faster = "bob|nl|5|2.0|";
    QTest::newRow("entered") << QStringList{"enter"} << QStringList{img, alice, bob, zoe} << "4";
    QTest::newRow("entered again: the same rows")
        << QStringList{"enter", "enter"} << QStringList{img, alice, bob, zoe} << "4";
    QTest::newRow("new figures") << QStringList{"enter", "bob faster"}
                                 << QStringList{img, alice, faster, zoe} << "4";
    QTest::newRow("new figures from another room")
        << QStringList{"enter", "bob elsewhere"} << QStringList{img, alice, faster, zoe} << "4";
    QTest::newRow("one left") << QStringList{"enter", "bob left"} << QStringList{img, alice, zoe}
                              << "3";
    QTest::newRow("room left") << QStringList{"enter", "left"} << QStringList{} << "0";
    for (const char* crowd : {"crowd 64", "crowd 65"}) {
        QTest::addRow("%s gone again", crowd)
            << QStringList{"enter", crowd, "enter"} << QStringList{img, alice, bob, zoe} << "4";
    }
    QTest::newRow("notes") << QStringList{"enter", "note bob", "note Zoë", "unnote Zoë"}
                           << QStringList{img, alice, bob + "note", zoe} << "4";
    QTest::newRow("a note elsewhere")
        << QStringList{"enter", "note carol"} << QStringList{img, alice, bob, zoe} << "4";
}

void tst_ChatForms::roomUserRowsFollowTheServer()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, rows);
    QFETCH(QString, count);

    ChatTestScene scene;
    QVERIFY(scene.env.logIn());
    RoomForm form("r");
    form.Init();
    const RoomUser faster{"bob", 2048, 5, "NL"};
    const QList<RoomUser> four{{"<img src=x>", 1, 1000, "xx"},
                               "Alice",
                               {"bob", 1536, 1234567, "DE"},
                               {"Zo\xeb", 512, 999, "fr"}};
    for (const QString& step : steps) {
        const QString arg = step.section(' ', 1);
        const std::string user = arg.toLatin1().toStdString();
        QList<RoomUser> users = four;
        for (int i = 0; step.startsWith("crowd") && i < arg.toInt(); ++i)
            users << RoomUser(QByteArray("u") + QByteArray::number(i), 1, 1, "");
        if (step == "enter" || step.startsWith("crowd"))
            QVERIFY(scene.env.deliverFrame(RoomEnteredReply("r", users)));
        else if (step == "bob faster")
            QVERIFY(scene.env.deliverFrame(UserJoinedRoom("r", faster)));
        else if (step == "bob elsewhere")
            QVERIFY(scene.env.deliverFrame(RoomEnteredReply("other", {faster})));
        else if (step == "bob left")
            QVERIFY(scene.env.deliver(ServerCode::UserLeftRoom, WireWriter().str("r").str("bob")));
        else if (step == "left")
            QVERIFY(scene.env.deliver(ServerCode::LeaveRoom, WireWriter().str("r")));
        else if (step.startsWith("note"))
            ServerStore::User(user) += d.GetType("user_note")->GetItem(Value("note of " + user));
        else
            ServerStore::User(user).Disconnect("user_note");
    }
    auto* list = form.findChild<QTreeWidget*>("userList");
    QStringList shown;
    const QStringList names = form.Users();
    for (int i = 0; i < names.size(); ++i) {
        QTreeWidgetItem* row = list->topLevelItem(i);
        QString flag = row->icon(1).isNull() ? "" : "?";
        for (const QString code : {"de", "fr", "nl"}) {
            if (Image(row->icon(1)) == Image(QIcon(":/resources/flags/" + code + ".png")))
                flag = code;
        }
        const bool note = Image(row->icon(3)) == Image(QIcon(":/icons/note_icon"));
        const QStringList cells{names[i], flag, row->text(4), row->text(5), note ? "note" : ""};
        shown << cells.join('|');
    }
    QCOMPARE(shown, rows);
    QCOMPARE(QString::fromStdString(ServerStore::Room("r")["user_count"].AsString()), count);
}

void tst_ChatForms::roomUserRowsSort_data()
{
    // A user: name, files, bytes per second, country ("-": none), note ("note" or "-").
    QTest::addColumn<int>("column");
    QTest::addColumn<QStringList>("users");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("name, case ignored")
        << 2 << QStringList{"bob 0 0 - -", "Alice 0 0 - -"} << QStringList{"Alice", "bob"};
    QTest::newRow("files by number")
        << 4 << QStringList{"a 1000 0 - -", "b 999 0 - -"} << QStringList{"b", "a"};
    QTest::newRow("speed: none, 0.5, 1.5")
        << 5 << QStringList{"a 0 1536 - -", "b 0 512 - -", "c 0 0 - -"}
        << QStringList{"c", "b", "a"};
    QTest::newRow("flags by code")
        << 1 << QStringList{"a 0 0 DE -", "b 0 0 at -", "c 0 0 - -"} << QStringList{"c", "b", "a"};
    QTest::newRow("note: without first")
        << 3 << QStringList{"a 0 0 - note", "b 0 0 - -"} << QStringList{"b", "a"};
    QTest::newRow("equal cells: by name")
        << 4 << QStringList{"b 5 0 - -", "c 5 0 - -", "A 5 0 - -"} << QStringList{"A", "b", "c"};
}

void tst_ChatForms::roomUserRowsSort()
{
    QFETCH(int, column);
    QFETCH(QStringList, users);
    QFETCH(QStringList, order);

    QTreeWidget list;
    list.setColumnCount(6);
    for (const QString& user : users) {
        const QStringList cells = user.split(' ');
        auto* row = new QRoomUserListItemWidget;
        row->setText(2, cells[0]);
        row->SetFigures(cells[1].toLongLong(), cells[2].toLongLong(),
                        cells[3] == "-" ? QString() : cells[3]);
        row->SetNote(cells[4] == "note");
        list.addTopLevelItem(row);
    }
    list.sortItems(column, Qt::AscendingOrder);
    QStringList shown;
    for (int i = 0; i < list.topLevelItemCount(); ++i)
        shown << list.topLevelItem(i)->text(2);
    QCOMPARE(shown, order);
}

void tst_ChatForms::roomFloodsEndAsOneGoDoes_data()
{
    // Steps, each one write of the server: "enter a b" (code 14 for r with flood users a..b-1),
    // "join a b", "leave a b" (one code 16 or 17 each), "back a" (user a leaves and joins again),
    // "note a", "current a" (a's row made current, once listed), "sort c" (the header sorts on
    // column c, descending). Enough users that the list
    // is listed again in bulk, and once in two turns; users equal to the list (ann116, ANN116)
    // come in different writes.
    QTest::addColumn<qint64>("budget"); // of each pass; -1: as built
    QTest::addColumn<QStringList>("steps");
    const QList<QStringList> scripts{
        {"enter 0 698", "current 690", "join 698 2003", "back 4", "leave 0 650", "note 690",
         "join 2003 2020"},
        {"sort 4", "enter 0 400", "leave 100 180", "enter 150 900", "sort 2", "leave 900 905"},
        {"enter 0 21000", "leave 20000 21000"},
    };
    for (qint64 budget : {qint64(-1), qint64(0)}) {
        for (const QStringList& steps : scripts) {
            if (budget == 0 && steps.first() == "enter 0 21000")
                continue; // a pass a step: thousands of turns, and as built cuts it anyway
            QTest::addRow("%s, %s", qPrintable(steps.join(", ")),
                          budget < 0 ? "passes as built" : "a frame or a step a pass")
                << budget << steps;
        }
    }
}

void tst_ChatForms::roomFloodsEndAsOneGoDoes()
{
    QFETCH(qint64, budget);
    QFETCH(QStringList, steps);

    ChatTestScene scene;
    QVERIFY(scene.env.logIn());
    RoomForm form("r");
    form.Init();
    auto* list = form.findChild<QTreeWidget*>("userList");
    const PassBudget passes(budget);
    // What one go gives, as a sorting tree shows it: after each write the users who came after
    // the others, in the order they came (who stays in the room for a new answer, or leaves and
    // comes back within one write, keeps the place), then all sorted stably.
    std::map<int, std::unique_ptr<QRoomUserListItemWidget>> rows;
    const auto row = [&rows](int i) {
        std::unique_ptr<QRoomUserListItemWidget>& made = rows[i];
        if (!made) {
            const RoomUser user = FloodUser(i);
            made = std::make_unique<QRoomUserListItemWidget>();
            made->setText(2, QString::fromLatin1(user.name));
            made->SetFigures(user.files, user.speed, QString::fromLatin1(user.country));
        }
        return made.get();
    };
    QList<int> room;
    int column = 2;
    bool ascending = true;
    QString current;
    for (const QString& step : steps) {
        const QStringList words = step.split(' ');
        const int a = words.value(1).toInt();
        const int b = words.value(2).toInt();
        if (words[0] == "enter") {
            QList<RoomUser> users;
            QList<int> kept;
            for (int i : room) {
                if (i >= a && i < b)
                    kept << i;
            }
            for (int i = a; i < b; ++i) {
                users << FloodUser(i);
                if (!kept.contains(i))
                    kept << i;
            }
            room = kept;
            scene.env.fake().sendFrame(RoomEnteredReply("r", users));
        } else if (words[0] == "join" || words[0] == "leave") {
            const bool leaving = words[0] == "leave";
            for (int i = a; i < b; ++i)
                leaving ? void(room.removeOne(i)) : room.append(i);
            scene.env.fake().sendRaw(Comings(a, b, leaving));
        } else if (words[0] == "back") {
            scene.env.fake().sendRaw(Comings(a, a + 1, true) + Comings(a, a + 1, false));
        } else if (words[0] == "current") {
            current = QString::fromLatin1(FloodUser(a).name);
            QTRY_VERIFY(!list->findItems(current, Qt::MatchExactly, 2).isEmpty());
            list->setCurrentItem(list->findItems(current, Qt::MatchExactly, 2).first());
        } else if (words[0] == "note") {
            ServerStore::User(FloodUser(a).name.toStdString()) +=
                d.GetType("user_note")->GetItem(Value("a note"));
            row(a)->SetNote(true);
        } else {
            // Clicked once the list shows what came: a sorting tree, too, sorts what it shows.
            QTRY_COMPARE_WITH_TIMEOUT(ListedRows(form).size(), room.size(), 20000);
            column = a;
            ascending = false;
            list->header()->setSortIndicator(column, Qt::DescendingOrder);
        }
        std::stable_sort(room.begin(), room.end(), [&](int x, int y) {
            return ascending ? row(x)->Less(*row(y), column) : row(y)->Less(*row(x), column);
        });
        // Each write read before the next comes; the tab's rows of it perhaps not listed yet.
        QVERIFY(Synced(scene.env));
    }
    QStringList expected;
    for (int i : room) {
        const QRoomUserListItemWidget* shown = row(i);
        expected << QStringList{shown->text(2), shown->text(4), shown->text(5),
                                shown->icon(1).isNull() ? "" : "flag",
                                shown->icon(3).isNull() ? "" : "note"}
                        .join('|');
    }

    // Listed by the event loop's own turns, not by asking.
    QTRY_COMPARE_WITH_TIMEOUT(ListedRows(form), expected, 20000);
    QCOMPARE(ServerStore::Room("r").GetItems("user").size(), size_t(room.size()));
    QTRY_COMPARE(ServerStore::Room("r")["user_count"].AsInt(), int(room.size()));
    QCOMPARE(list->sortColumn(), column);
    QVERIFY(list->updatesEnabled());
    // The current row stays current, and the only one selected, however often it was listed.
    if (!current.isEmpty()) {
        QVERIFY(list->currentItem());
        QCOMPARE(list->currentItem()->text(2), current);
        QCOMPARE(list->selectedItems(), QList<QTreeWidgetItem*>{list->currentItem()});
    }
}

void tst_ChatForms::roomClosedOrQuitWithWorkPending_data()
{
    // The tab closes, or the program quits, in the turn when: the server has linked part of an
    // answer of 21,000 users ("linking"); the tab has put part of their rows in the list and puts
    // the rest in at the next turn ("relisting"); 1,000 of the users have left and their rows are
    // out of the list, deleted from the next turn on ("deleting").
    QTest::addColumn<QString>("moment");
    QTest::addColumn<bool>("quit");
    for (const char* moment : {"linking", "relisting", "deleting"}) {
        QTest::addRow("tab closed while %s", moment) << moment << false;
        QTest::addRow("quit while %s", moment) << moment << true;
    }
}

void tst_ChatForms::roomClosedOrQuitWithWorkPending()
{
    QFETCH(QString, moment);
    QFETCH(bool, quit);

    QList<RoomUser> users;
    for (int i = 0; i < 21000; ++i)
        users << FloodUser(i);
    auto scene = std::make_unique<ChatTestScene>();
    QVERIFY(scene->env.logIn());
    auto form = std::make_unique<RoomForm>("r");
    form->Init();
    auto* list = form->findChild<QTreeWidget*>("userList");
    const ItemPtr room = ServerStore::Room("r");
    const auto linked = [&room] { return room.GetItems("user").size(); };
    // The clock is held: the server's passes end only when cut at every step.
    auto passes = std::make_unique<PassBudget>(moment == "linking" ? 0 : -1);
    // A listing spans turns when its slices are cut after a few steps.
    if (moment == "relisting")
        TurnBudget::SetStepsPerSliceForTesting(4);
    scene->env.fake().sendFrame(RoomEnteredReply("r", users));
    size_t expected = 21000;
    std::function<bool()> now = [&] { return linked() > 0 && linked() < expected; };
    if (moment == "relisting") {
        now = [list] { return list->topLevelItemCount() % 21000 > 0; };
    } else if (moment == "deleting") {
        QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 21000, 20000);
        scene->env.fake().sendRaw(Comings(20000, 21000, true));
        expected = 20000;
        now = [list] { return list->topLevelItemCount() == 20000; };
    }
    // Turn by turn, as the event loop goes.
    QDeadlineTimer deadline(20000);
    while (!now() && !deadline.hasExpired())
        QCoreApplication::processEvents();
    QVERIFY(now());
    passes.reset();
    if (quit) {
        // As the window goes: the forms, then the services, the event loop never turning again.
        form.reset();
        scene.reset();
        return;
    }
    const size_t count = linked();
    form.reset();
    // The server's answer ends linked whole all the same, as in one go; the closing tab wrote the
    // count of the users linked by then.
    QVERIFY(Synced(scene->env));
    QCOMPARE(linked(), expected);
    QCOMPARE(room["user_count"].AsInt(), int(count));
}

void tst_ChatForms::chatLines_data()
{
    // Every row: bob's tab (or the room's), a line from the user; "log" is its log line after
    // the time, "popup" the alert (none: empty), "link" the line's one link.
    for (const char* column : {"mode", "user", "text", "markup", "shown", "log", "popup", "link"})
        QTest::addColumn<QString>(column);
    QTest::addColumn<bool>("room");
    const auto row = [](const char* name, const char* mode, const QString& user,
                        const QString& text, const QString& markup, const QString& shown,
                        const QString& log, const QString& popup, bool room = false) {
        QTest::newRow(name) << mode << user << text << markup << shown << log << popup
                            << (text.contains("http") ? "http://h/?a=1&b=2" : "") << room;
    };
    const QString bob = R"([<font color="#0033ff">bob</font>] a&lt;b&amp;c)";
    const QString stamp = R"([<font color="#0066ff">%1</font>])";
    const QString line = "[bob] a<b&c";
    row("per_message_short", "per_message_short", "bob", "a<b&c", stamp.arg("14:05:09") + bob,
        "[14:05:09]" + line, line, line);
    row("per_message_long", "per_message_long", "bob", "a<b&c", stamp.arg("Mar 5 2:05:09 pm") + bob,
        "[Mar 5 2:05:09 pm]" + line, line, line);
    row("no_timestamps", "no_timestamps", "bob", "a<b&c", bob, line, line, "", true);
    row("bogus", "bogus", "bob", "a<b&c", bob, line, line, "", true);
    row("activity_based", "activity_based", "bob", "a<b&c", bob, kStarted + "\n" + line, line,
        line);
    const QString hostile = R"-(<img src=x> <a href="javascript:alert(1)">j</a> &amp; y)-";
    const QString said = hostile + "\r\n[t][alice] z\u2029\x1b",
                  logged = hostile + "  [t][alice] z \x1b";
    // HTML shows a run of blanks as one.
    const QString shown = "[<b>x</b>] " + QString(logged).replace("  ", " ");
    row("hostile", "no_timestamps", "<b>x</b>", said, {}, shown, "[<b>x</b>] " + logged,
        "[<b>x</b>] " + logged);
    row("room: hostile", "no_timestamps", "<b>x</b>", said, {}, shown, "[<b>x</b>] " + logged, "",
        true);
    const QString see = "see http://h/?a=1&b=2.";
    row("link", "no_timestamps", "bob", see, {}, "[bob] " + see, "[bob] " + see, "[bob] " + see);
    row("room: link", "no_timestamps", "bob", see, {}, "[bob] " + see, "[bob] " + see, "", true);
    row("/me after blanks", "activity_based", "bob", "  /me waves", {}, "* bob waves",
        " * bob waves", "");
    row("/mewaves", "no_timestamps", "bob", "/mewaves", {}, "[bob] /mewaves", "[bob] /mewaves",
        "[bob] /mewaves");
    row("/ME waves", "no_timestamps", "bob", "/ME waves", {}, "[bob] /ME waves", "[bob] /ME waves",
        "", true);
    row("Latin-1 name, /me", "no_timestamps", "José", "/me говорит", {}, "* José говорит",
        " * José говорит", "");
    const QString e = QString("é").repeated(100), smile = QString("\U0001F600").repeated(100);
    row("100 characters, & in the name", "no_timestamps", "b&b", e, {}, "[b&b] " + e, "[b&b] " + e,
        "[b&b] " + e);
    // The popup's preview of 100 characters, shown as a cell: each of these counts as
    // kUnitsPerWideCodePoint units.
    const int smiles = int(kMaxCellChars - 7) / int(kUnitsPerWideCodePoint);
    row("101 characters", "no_timestamps", "bob", smile + "\U0001F600", {},
        "[bob] " + smile + "\U0001F600", "[bob] " + smile + "\U0001F600",
        "[bob] " + smile.left(2 * smiles) + "\u2026");
}

void tst_ChatForms::chatLines()
{
    QFETCH(QString, mode);
    QFETCH(QString, user);
    QFETCH(QString, text);
    QFETCH(QString, markup);
    QFETCH(QString, shown);
    QFETCH(QString, log);
    QFETCH(QString, popup);
    QFETCH(QString, link);
    QFETCH(bool, room);

    ChatTestScene scene;
    Settings::Set(SettingKeys::ChatTimestamps, mode.toStdString());
    const std::string name = user.toLatin1().toStdString();
    ChatTab tab(scene, room, name);
    tab.say(name, text.toUtf8().toStdString());
    if (!markup.isEmpty())
        QCOMPARE(ChatView::ChatMarkup(Clock::Now(), "bob", "a<b&c"), markup);
    QCOMPARE(tab.view->toPlainText(), shown);
    QCOMPARE(tab.view->document()->blockCount(), int(shown.count('\n')) + 1);
    QStringList links;
    for (auto it = tab.view->document()->lastBlock().begin(); !it.atEnd(); ++it) {
        QVERIFY(!it.fragment().charFormat().isImageFormat());
        if (it.fragment().charFormat().isAnchor())
            links << it.fragment().charFormat().anchorHref();
    }
    QCOMPARE(links, link.isEmpty() ? QStringList() : QStringList{link});
    const QString logLine = "[Mar 5 2:05:09 pm]" + log + "\n";
    QCOMPARE(ChatTestScene::ReadLog(tab.kind, tab.name), logLine.toUtf8());
    QCOMPARE(scene.alerts.popups, popup.isEmpty() ? QStringList() : QStringList{popup});
    QCOMPARE(scene.Alerts(), popup.isEmpty() ? QStringList() : QStringList{EscapeMnemonics(user)});
    // The log is named as the name shows (a "/" made safe), and its viewer reads it.
    const QString file = room ? "lobby" : QString(user).replace('/', '_');
    QCOMPARE(QFileInfo(ChatLog::Path(tab.kind, tab.name)).fileName(), file + ".log");
    QCOMPARE(ChatLogForm(ChatLog::Path(tab.kind, tab.name)).Text() + "\n", logLine);

    // Shown, the tab takes its alert down; a click on the link opens it in the browser.
    UrlCatcher catcher;
    scene.window.show();
    QCOMPARE(scene.Alerts(), QStringList());
    QVERIFY(QTest::qWaitForWindowExposed(&scene.window));
    QTextCursor cursor(tab.view->document()->lastBlock());
    cursor.setPosition(cursor.position() + int(shown.indexOf("http") + 2));
    QTest::mouseClick(tab.view->viewport(), Qt::LeftButton, {},
                      tab.view->cursorRect(cursor).center());
    QCOMPARE(catcher.opened, link.isEmpty() ? QList<QUrl>() : QList<QUrl>{QUrl(link)});
}

void tst_ChatForms::chatEndsAfterFiveQuietMinutes_data()
{
    // "+n": n ms pass; "-n": the wall clock goes back n ms; "tick": the half-minute timer;
    // "line": bob says hi (as he did first).
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("shown");
    const QString hi = "[bob] hi", ended = "* Chat ended Mar 5 2:05:09 pm";
    QTest::newRow("299,999 ms: still on")
        << QStringList{"+299999", "tick", "line"} << QStringList{kStarted, hi, hi};
    QTest::newRow("the tick after: ended at the last line")
        << QStringList{"+299999", "tick", "+30000", "tick", "line"}
        << QStringList{kStarted, hi, ended, "* Chat started Mar 5 2:10:38 pm", hi};
    QTest::newRow("clock set back: nothing")
        << QStringList{"-3600000", "tick", "+299999", "tick", "line"}
        << QStringList{kStarted, hi, hi};
    QTest::newRow("clock set back, five minutes on: ended")
        << QStringList{"-3600000", "+300000", "tick"} << QStringList{kStarted, hi, ended};
}

void tst_ChatForms::chatEndsAfterFiveQuietMinutes()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, shown);

    ChatTestScene scene;
    Settings::Set(SettingKeys::ChatTimestamps, "activity_based");
    ChatTab tab(scene, false);
    tab.say("bob", "hi");
    for (const QString& step : steps) {
        if (step == "tick")
            scene.env.fireHalfMinute();
        else if (step == "line")
            tab.say("bob", "hi");
        else if (step.startsWith('+'))
            Clock::AdvanceMs(step.toLongLong());
        else
            Clock::SetBackMs(-step.toLongLong());
    }
    QCOMPARE(tab.view->toPlainText().split('\n'), shown);
}

void tst_ChatForms::typedLinesGoOutOnlyWhenLoggedIn_data()
{
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<bool>("room");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("shown");
    const QString notSent = "* Not sent: you are not connected to the Quorvale server.";
    QTest::newRow("logged in") << true << false
                               << hexBytes("11000000 16000000 03000000 626f62 02000000 6869")
                               << "[alice] hi";
    QTest::newRow("logged out") << false << false << QByteArray() << notSent;
    // A room shows the line only when the server sends it back.
    QTest::newRow("room, logged in")
        << true << true << hexBytes("13000000 0d000000 05000000 6c6f626279 02000000 6869") << "";
    QTest::newRow("room, logged out") << false << true << QByteArray() << notSent;
}

void tst_ChatForms::typedLinesGoOutOnlyWhenLoggedIn()
{
    QFETCH(bool, loggedIn);
    QFETCH(bool, room);
    QFETCH(QByteArray, sent);
    QFETCH(QString, shown);

    ChatTestScene scene;
    Settings::Set(SettingKeys::ChatTimestamps, "no_timestamps");
    Settings::Set(SettingKeys::Username, "alice");
    if (loggedIn)
        QVERIFY(scene.env.logIn());
    ChatTab tab(scene, room);
    auto* edit = tab.widget->findChild<QLineEdit*>("chatEdit");
    edit->setText("hi");
    Q_EMIT edit->returnPressed();
    if (loggedIn) {
        scene.env.sendMarkerRequest();
        QCOMPARE(frameOf(scene.env.fake().nextFrame()), sent);
        QVERIFY(scene.env.nextIsMarker());
    }
    QCOMPARE(edit->text(), loggedIn ? "" : "hi");
    QCOMPARE(tab.view->toPlainText(), shown);
    const bool said = loggedIn && !room;
    QCOMPARE(ChatTestScene::ReadLog(tab.kind, tab.name),
             said ? QByteArray("[Mar 5 2:05:09 pm][alice] hi\n") : QByteArray());
    QCOMPARE(scene.alerts.popups, said ? QStringList{"[alice] hi"} : QStringList());
}

void tst_ChatForms::userMenuAndFocus()
{
    ChatTestScene scene;
    ChatTab tab(scene, false, "b&b");
    scene.tabs->insertTab(0, new QWidget, "front");
    scene.tabs->setCurrentIndex(0);
    FormHooks::Get().fillUserMenu = [](QMenu* menu, const std::string& user) {
        menu->addAction(QString::fromStdString(user));
    };
    ScriptedDialogs dialogs;
    Q_EMIT tab.view->customContextMenuRequested(QPoint(3, 4));
    FormHooks::Get().fillUserMenu = nullptr;
    QCOMPARE(dialogs.menus.size(), 1);
    QCOMPARE(dialogs.menus.at(0).entries, QStringList{"b&b"});
    QCOMPARE(dialogs.menus.at(0).at, tab.view->viewport()->mapToGlobal(QPoint(3, 4)));
    scene.window.show();
    static_cast<ChatForm*>(tab.widget)->Focus();
    QCOMPARE(scene.tabs->currentWidget(), tab.widget);
    QTRY_COMPARE(QApplication::focusWidget(), tab.widget->findChild<QLineEdit*>("chatEdit"));
}

void tst_ChatForms::viewKeepsShowingTheNewestLine_data()
{
    QTest::addColumn<QString>("then");
    QTest::newRow("a 100 KB line") << "big line";
    QTest::newRow("5,000 lines while hidden") << "hidden";
    QTest::newRow("scrolled up: stays") << "scrolled up";
}

void tst_ChatForms::viewKeepsShowingTheNewestLine()
{
    QFETCH(QString, then);

    ChatTestScene scene;
    Settings::SetYes(SettingKeys::LogPrivateChat, false);
    ChatTab tab(scene, false);
    auto* front = new QWidget;
    scene.tabs->addTab(front, "front");
    scene.window.resize(500, 300);
    scene.window.show();
    const auto say = [&tab](int lines) {
        for (int i = 0; i < lines; ++i)
            tab.say("bob", "line " + std::to_string(i));
    };
    say(100);
    QScrollBar* bar = tab.view->verticalScrollBar();
    if (then == "big line") {
        tab.say("bob", QByteArray("word ").repeated(20000).toStdString());
    } else if (then == "hidden") {
        scene.tabs->setCurrentWidget(front);
        say(5000);
        scene.tabs->setCurrentWidget(tab.widget);
    } else {
        bar->triggerAction(QAbstractSlider::SliderToMinimum);
        say(100);
    }
    QCoreApplication::processEvents();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), then == "scrolled up" ? 0 : bar->maximum());
}

void tst_ChatForms::trimDropsWholeOldestLines_data()
{
    QTest::addColumn<bool>("room");
    // -1: one chat line of 131,072 "&", which shows only its first kMaxShownLineChars
    QTest::addColumn<qint64>("fill");
    for (bool room : {false, true}) {
        for (qint64 fill : {ChatView::kMaxMarkupChars, ChatView::kMaxMarkupChars + 1, qint64(-1)})
            QTest::addRow("%s, %lld", room ? "room" : "private", fill) << room << fill;
    }
}

void tst_ChatForms::trimDropsWholeOldestLines()
{
    QFETCH(bool, room);
    QFETCH(qint64, fill);

    ChatTestScene scene;
    Settings::Set(SettingKeys::ChatTimestamps, "no_timestamps");
    ChatTab tab(scene, room);
    // Numbered status lines (they never trim) of 1,000 characters of markup, the last shorter to
    // end exactly at the fill.
    QStringList lines{"[bob] " + ChatView::ShownText(QString(131072, '&'))};
    if (fill < 0)
        tab.say("bob", std::string(131072, '&'));
    else
        lines.clear();
    const qint64 frame = ChatView::StatusMarkup(QString()).size();
    for (qint64 left = fill; left > 0; left -= left >= 2000 ? 1000 : left) {
        const QString text = QString::number(lines.size())
                                 .leftJustified(int((left >= 2000 ? 1000 : left) - frame), 'x');
        tab.view->AddStatusMessage(text);
        lines << "* " + text;
    }
    const qint64 before = tab.view->MarkupChars();
    QVERIFY(fill < 0 || before == fill);
    tab.say("bob", "hi");
    QStringList kept = tab.view->toPlainText().split('\n');
    QCOMPARE(kept.takeLast(), QString("[bob] hi"));
    // Whole lines, the oldest gone: what is left is the end of what was there.
    QCOMPARE(kept, lines.mid(lines.size() - kept.size()));
    const qint64 removed =
        before + ChatView::ChatMarkup({}, "bob", "hi").size() - tab.view->MarkupChars();
    QCOMPARE(kept.size() < lines.size(), before > ChatView::kMaxMarkupChars);
    QVERIFY(before > ChatView::kMaxMarkupChars ? removed >= ChatView::kTrimChars : removed == 0);
}

void tst_ChatForms::linesShowTheirStartAndItsLinks_data()
{
    // A line from bob: what its line shows after "[bob] " (a "/me" line after "* "), and the
    // addresses its links go to. The log holds the whole line, in every case.
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QStringList>("links");
    const qsizetype cap = ChatView::kMaxShownLineChars;
    const QString x(cap, 'x');
    const auto left = [](qint64 n) {
        return QString(" \u2026 [%1 more characters not shown]").arg(CommafyNumber(n));
    };
    QTest::newRow("at the cap") << x << x << QStringList{};
    QTest::newRow("one over") << x + "y" << x + left(1) << QStringList{};
    QTest::newRow("a megabyte, unbroken")
        << QString(1 << 20, 'x') << x + left((1 << 20) - cap) << QStringList{};
    const QString near = "http://h/near ";
    QTest::newRow("an address before the cut, one after")
        << near + x + " http://h/far" << near + x.left(cap - near.size()) + left(near.size() + 13)
        << QStringList{"http://h/near"};
    // An address the cut ends inside is no link: it would go to an address nobody sent.
    const QString before = x.left(cap - 11) + " ";
    QTest::newRow("an address cut")
        << before + "http://h/abcdefgh" << before + "http://h/a" + left(7) << QStringList{};
    QTest::newRow("an address cut, glued to a word")
        << x.left(cap - 14) + " (http://h/abcdefgh)"
        << x.left(cap - 14) + " (http://h/abc" + left(6) << QStringList{};
    QTest::newRow("an address whole at the cut")
        << before + "http://h/a bcd" << before + "http://h/a" + left(4)
        << QStringList{"http://h/a"};
    // A character of two units on the cut is left out whole, and counted once; each counts as
    // kUnitsPerWideCodePoint against the cut.
    const QString smile = QString("\U0001F600").repeated(cap);
    const int smiles = int(cap - 1) / int(kUnitsPerWideCodePoint);
    QTest::newRow("two-unit characters")
        << "a" + smile << "a" + smile.left(2 * smiles) + left(cap - smiles) << QStringList{};
    QTest::newRow("/me, long") << "/me " + x + "zz"
                               << "bob " + x.left(cap - 4) + left(6) << QStringList{};
    QTest::newRow("> after an address")
        << "see http://example.com/a> now"
        << "see http://example.com/a> now" << QStringList{"http://example.com/a"};
    QTest::newRow("& ending an address")
        << "go http://example.com/?q=1& ok"
        << "go http://example.com/?q=1& ok" << QStringList{"http://example.com/?q=1&"};
    QTest::newRow("entities as written") << "&lt;http://h/&amp;x"
                                         << "&lt;http://h/&amp;x" << QStringList{"http://h/&amp;x"};
    // A character shows at most kMaxMarksPerCharacter marks, an ellipsis for the rest, which the
    // note counts; the log keeps them all.
    const QString acute(QChar(0x301));
    const QString marked = "a" + acute.repeated(kMaxMarksPerCharacter);
    const auto notShown = [](qint64 n) {
        return QString(" [%1 characters not shown]").arg(CommafyNumber(n));
    };
    QTest::newRow("one letter, 7,990 marks")
        << "a" + acute.repeated(7990) + " http://h/x"
        << marked + "\u2026 http://h/x" + notShown(7990 - kMaxMarksPerCharacter)
        << QStringList{"http://h/x"};
    QTest::newRow("letters each with 99 marks, past the cap")
        << ("a" + acute.repeated(99)).repeated(500)
        << (marked + "\u2026").repeated(int(cap) / (kMaxMarksPerCharacter + 2)) +
               left(500 * 100 -
                    int(cap) / (kMaxMarksPerCharacter + 2) * (kMaxMarksPerCharacter + 1))
        << QStringList{};
    const QString man("\U0001F468");
    QTest::newRow("a chain of joined emoji")
        << (man + "\u200d").repeated(400) + man
        << (man + "\u200d").repeated(8) + man + "\u2026" + notShown(801 - 17) << QStringList{};
}

void tst_ChatForms::linesShowTheirStartAndItsLinks()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(QStringList, links);

    for (bool room : {false, true}) {
        ChatTestScene scene;
        Settings::Set(SettingKeys::ChatTimestamps, "no_timestamps");
        ChatTab tab(scene, room);
        tab.say("bob", text.toUtf8().toStdString());
        const bool me = text.startsWith("/me ");
        QCOMPARE(tab.view->toPlainText(), (me ? "* " : "[bob] ") + shown);
        QStringList linked;
        for (auto it = tab.view->document()->lastBlock().begin(); !it.atEnd(); ++it) {
            if (it.fragment().charFormat().isAnchor())
                linked << it.fragment().charFormat().anchorHref();
        }
        QCOMPARE(linked, links);
        const QString line = me ? " * bob " + text.mid(4) : "[bob] " + text;
        QCOMPARE(ChatTestScene::ReadLog(tab.kind, tab.name),
                 ("[Mar 5 2:05:09 pm]" + line + "\n").toUtf8());
    }
}

void tst_ChatForms::logSearch_data()
{
    // Steps in a log of "cat Cat x CAT": "=text" types the search, ">" and "<" go forward and
    // back (a click, or the slot where the button is disabled), "+line" logs a line.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("at"); // where the highlight starts; -1: none
    QTest::addColumn<bool>("back");
    QTest::addColumn<bool>("forward");
    QTest::newRow("nothing typed") << QStringList{} << -1 << false << false;
    QTest::newRow("the first") << QStringList{"=cat"} << 0 << false << true;
    QTest::newRow("forward: the second") << QStringList{"=cat", ">"} << 4 << true << true;
    QTest::newRow("forward: the third") << QStringList{"=cat", ">", ">"} << 10 << true << false;
    QTest::newRow("back from the first") << QStringList{"=cat", "<"} << 0 << false << true;
    QTest::newRow("back from the third") << QStringList{"=cat", ">", ">", "<"} << 4 << true << true;
    QTest::newRow("emptied") << QStringList{"=cat", ">", "="} << -1 << false << false;
    QTest::newRow("no match") << QStringList{"=cat", ">", "=dog"} << -1 << false << false;
    QTest::newRow("a line logged: the search stays")
        << QStringList{"=cat", ">", ">", "+a cat"} << 10 << true << false;
}

void tst_ChatForms::logSearch()
{
    QFETCH(QStringList, steps);
    QFETCH(int, at);
    QFETCH(bool, back);
    QFETCH(bool, forward);

    ChatTestScene scene;
    Settings::Set(SettingKeys::ColorInputBackground, "#102030");
    Settings::Set(SettingKeys::ColorInputText, "#f0e0d0");
    ChatLog::Append(ChatLog::Kind::Room, "lobby", "cat Cat x CAT");
    ChatLogForm viewer(ChatLog::Path(ChatLog::Kind::Room, "lobby"));
    auto* backButton = viewer.findChild<QPushButton*>("searchBackButton");
    auto* forwardButton = viewer.findChild<QPushButton*>("searchForwardButton");
    for (const QString& step : steps) {
        if (step.startsWith('='))
            viewer.findChild<QLineEdit*>("searchEdit")->setText(step.mid(1));
        else if (step.startsWith('+'))
            viewer.AddLine(step.mid(1));
        else if (QPushButton* button = step == ">" ? forwardButton : backButton;
                 button->isEnabled())
            button->click();
        else
            step == ">" ? viewer.OnSearchForward() : viewer.OnSearchBack();
    }
    auto* edit = viewer.findChild<QPlainTextEdit*>("logEdit");
    const QList<QTextEdit::ExtraSelection> marks = edit->extraSelections();
    QCOMPARE(marks.size(), at < 0 ? 0 : 1);
    if (at >= 0) {
        QCOMPARE(marks[0].cursor.selectionStart(), at);
        QCOMPARE(marks[0].cursor.selectedText().toLower(), QString("cat"));
        QCOMPARE(marks[0].format.foreground().color(), QColor("#102030"));
        QCOMPARE(marks[0].format.background().color(), QColor("#f0e0d0"));
        // The next search starts there.
        QCOMPARE(edit->textCursor().position(), at);
    }
    QCOMPARE(backButton->isEnabled(), back);
    QCOMPARE(forwardButton->isEnabled(), forward);
}

void tst_ChatForms::logLinesStayOneLineEach_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("shown");
    const QString peer = R"([t][<b>x</b>] <img src=x> <a href="javascript:x">j</a> &amp;)";
    QTest::newRow("markup and a paragraph break") << peer + u'\u2029' + "y" << peer + " y";
    QTest::newRow("blanks around, breaks within")
        << QString(" \t a\u2028b\rc") + QChar(0xfdd0) + "d" + QChar(0xfdd1) + "e \r"
        << "a b c d e";
}

void tst_ChatForms::logLinesStayOneLineEach()
{
    QFETCH(QString, line);
    QFETCH(QString, shown);

    ChatTestScene scene;
    ChatLog::Append(ChatLog::Kind::User, "bob", line);
    ChatLogForm viewer(ChatLog::Path(ChatLog::Kind::User, "bob"));
    viewer.AddLine(line);
    QCOMPARE(viewer.Text(), shown + "\n" + shown);
    auto* edit = viewer.findChild<QPlainTextEdit*>("logEdit");
    QCOMPARE(edit->document()->blockCount(), 2);
    auto* search = viewer.findChild<QLineEdit*>("searchEdit");
    QCOMPARE(search->property("get_focus").toInt(), 1);
    search->setText("<b>");
    const QList<QTextEdit::ExtraSelection> marks = edit->extraSelections();
    QCOMPARE(marks.isEmpty() ? -1 : marks[0].cursor.selectionStart(), shown.indexOf("<b>"));
}

QTEST_MAIN(tst_ChatForms)
#include "tst_chatforms.moc"

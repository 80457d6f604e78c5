// Room tabs, private chat tabs, chat log viewers, the room creation dialog and the room list's
// rows, without the main window: against the store and a fake server.

#include "ChatTestScene.h"
#include "RoomMessages.h"

#include "server/ServerStore.h"
#include "store/Settings.h"
#include "support/ScriptedDialogs.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/CreateRoomDialog.h"
#include "ui/chat/QRoomListItemWidget.h"
#include "ui/chat/RoomForm.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace {

size_t Count(const char* type)
{
    return d.GetType(type)->ItemCount();
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
    QCOMPARE(form.Text(), QString::fromUtf8("[ben] <i>hi</i> \xe2\x98\x95"));
    QVERIFY(ChatTestScene::ReadLog(ChatLog::Kind::Room, "lobby")
                .endsWith("][ben] <i>hi</i> \xe2\x98\x95\n"));
    QVERIFY(!QFile::exists(ChatLog::Path(ChatLog::Kind::Room, "elsewhere")));

    // Typed lines go to the server, which sends them back like everyone else's.
    form.findChild<QLineEdit*>("chatEdit")->setText("hello");
    form.OnChatEditReturnPressed();
    QByteArray rest;
    QCOMPARE(scene.env.nextMessage(&rest), qint64(ServerCode::RoomChat));
    QCOMPARE(rest, WireWriter().str("lobby").str("hello").bytes());
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

QTEST_MAIN(tst_ChatForms)
#include "tst_chatforms.moc"

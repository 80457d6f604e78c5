// The rooms and chat pages in the running window: the room list from the store, room tabs
// opened by the server's confirmation, and private chat tabs.

#include "MainWindowClient.h"

#include "server/ServerStore.h"
#include "shell/ActionSetToolBar.h"
#include "shell/MainWindow.h"
#include "store/Settings.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/RoomForm.h"

#include <QAction>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

namespace {

const QByteArray kCafe = "Caf\xc3\xa9 \xe2\x98\x95";

QTreeWidget* RoomList(Client& client)
{
    return client.window->findChild<QTreeWidget*>("roomList");
}

QTabWidget* Tabs(Client& client, const char* name)
{
    return client.window->findChild<QTabWidget*>(name);
}

QTreeWidgetItem* Row(Client& client, const QByteArray& room)
{
    const QList<QTreeWidgetItem*> rows =
        RoomList(client)->findItems(QString::fromUtf8(room), Qt::MatchExactly, 0);
    return rows.size() == 1 ? rows.at(0) : nullptr;
}

// Italic, underline, bold of a row's name.
QString Style(QTreeWidgetItem* row)
{
    const QFont font = row->font(0);
    return QString("%1%2%3").arg(font.italic() ? "i" : "-", font.underline() ? "u" : "-",
                                 font.weight() == QFont::Bold ? "b" : "-");
}

QStringList Shown(QTreeWidget* list)
{
    QStringList names;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        names << list->topLevelItem(i)->text(0);
    return names;
}

QImage Image(const QIcon& icon)
{
    return icon.pixmap(16, 16).toImage();
}

} // namespace

class TestRoomsPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roomRows_data();
    void roomRows();
    void roleChangesResortTheList();
    void doubleClickEntersTheRoom();
    void invitationsSettingAndActionText_data();
    void invitationsSettingAndActionText();
    void privateChatTabs();
    void openChatFormBringsTheTabForward();
};

void TestRoomsPage::roomRows_data()
{
    // Steps: "+flag" or "-flag" on the room, or "count N".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("style");
    QTest::addColumn<QString>("users");
    QTest::newRow("owner and operator")
        << QStringList{"count 12", "+is_owner", "+is_operator"} << "iub"
        << "12";
    QTest::newRow("owner unlinked, still a member")
        << QStringList{"+is_member", "+is_owner", "+is_operator", "-is_owner"} << "i-b"
        << "";
    QTest::newRow("owner unlinked, no member")
        << QStringList{"+is_owner", "+is_operator", "-is_owner"} << "--b"
        << "";
    QTest::newRow("member of an operated room: unchanged")
        << QStringList{"+is_operator", "+is_member"} << "i-b"
        << "";
    QTest::newRow("member") << QStringList{"+is_member"} << "i--"
                            << "";
    QTest::newRow("all roles lost")
        << QStringList{"+is_member", "+is_owner", "-is_owner", "-is_member"} << "---"
        << "";
    QTest::newRow("count 0") << QStringList{"count 7", "count 0"} << "---"
                             << "";
}

void TestRoomsPage::roomRows()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, style);
    QFETCH(QString, users);

    Client client("alice");
    client.Start();
    ItemPtr room = ServerStore::Room("lobby");
    QTreeWidgetItem* row = Row(client, "lobby");
    QVERIFY(row);
    for (const QString& step : steps) {
        if (step.startsWith("count "))
            ServerStore::Link(room, "user_count", Value(step.mid(6).toStdString()));
        else if (step.startsWith('+'))
            ServerStore::SetFlag(room, qPrintable(step.mid(1)));
        else
            ServerStore::ClearFlag(room, qPrintable(step.mid(1)));
    }
    QCOMPARE(Style(row), style);
    QCOMPARE(row->text(1), users);
    QCOMPARE(RoomList(client)->topLevelItemCount(), 1);
}

void TestRoomsPage::roleChangesResortTheList()
{
    Client client("alice");
    client.Start();
    for (const char* name : {"delta", "Bravo", "alpha", "charlie"})
        ServerStore::Room(name);
    QTreeWidget* list = RoomList(client);
    QTRY_COMPARE(Shown(list), (QStringList{"alpha", "Bravo", "charlie", "delta"}));
    ServerStore::SetFlag(ServerStore::Room("delta"), "is_member");
    ServerStore::SetFlag(ServerStore::Room("charlie"), "is_owner");
    QTRY_COMPARE(Shown(list), (QStringList{"charlie", "delta", "alpha", "Bravo"}));
    ServerStore::ClearFlag(ServerStore::Room("charlie"), "is_owner");
    QTRY_COMPARE(Shown(list), (QStringList{"delta", "alpha", "Bravo", "charlie"}));
}

void TestRoomsPage::doubleClickEntersTheRoom()
{
    Client client("alice");
    client.Start();
    client.LogIn();
    ServerStore::Room(kCafe.toStdString());
    QTreeWidgetItem* row = Row(client, kCafe);
    QVERIFY(row);
    QTabWidget* tabs = Tabs(client, "roomsTabControl");

    // The users column does nothing.
    Q_EMIT RoomList(client)->itemDoubleClicked(row, 1);
    Q_EMIT RoomList(client)->itemDoubleClicked(row, 0);
    const QByteArray enter = hexBytes("15000000 0e000000 09000000 436166c3a920e29895 00000000");
    QCOMPARE(client.Sent(), QList<QByteArray>{enter});
    QCOMPARE(tabs->count(), 0);

    // Only the server's confirmation opens the tab, and only the first one.
    QVERIFY(client.Deliver(RoomEnteredReply(kCafe)));
    QCOMPARE(tabs->count(), 1);
    QVERIFY(qobject_cast<RoomForm*>(tabs->widget(0)));
    QCOMPARE(tabs->tabText(0), QString::fromLatin1(kCafe));
    QVERIFY(client.Deliver(RoomEnteredReply(kCafe)));
    QCOMPARE(tabs->count(), 1);

    // Closed while logged out: nobody confirms a leave, yet the room counts as left.
    gp_server->Disconnect();
    client.window->OnRoomTabClosed(0);
    QCOMPARE(tabs->count(), 0);
    QVERIFY(!ServerStore::Room(kCafe.toStdString()).IsConnected("in_room"));

    client.Reconnect();
    Q_EMIT RoomList(client)->itemDoubleClicked(Row(client, kCafe), 0);
    QCOMPARE(client.Sent(), QList<QByteArray>{enter});
    QVERIFY(client.Deliver(RoomEnteredReply(kCafe)));
    QCOMPARE(tabs->count(), 1);
}

void TestRoomsPage::invitationsSettingAndActionText_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("text");
    QTest::newRow("enabled") << true << "Reject Private Room Invitations";
    QTest::newRow("disabled") << false << "Accept Private Room Invitations";
}

void TestRoomsPage::invitationsSettingAndActionText()
{
    QFETCH(bool, enabled);
    QFETCH(QString, text);

    Client client("alice");
    client.Start();
    client.LogIn();
    QVERIFY(client.Deliver(WireWriter().u32(ServerCode::PrivateRoomInvitations).u8(enabled)));
    QCOMPARE(Settings::IsYes(SettingKeys::EnablePrivateRoomAdd), enabled);
    QCOMPARE(client.BarTexts(RoomList(client)).value(3), text);
}

void TestRoomsPage::privateChatTabs()
{
    Client client("alice");
    client.Start();
    client.LogIn();
    QTabWidget* tabs = Tabs(client, "chatTabControl");
    const auto message = [](quint32 id, const char* text) {
        return WireWriter().u32(ServerCode::PrivateChat).u32(id).u32(0).str("bob").str(text).u8(1);
    };

    QVERIFY(client.Deliver(message(1, "first")));
    QVERIFY(client.Deliver(message(2, "<b>second</b>")));
    QCOMPARE(tabs->count(), 1);
    auto* form = qobject_cast<ChatForm*>(tabs->widget(0));
    QVERIFY(form);
    QCOMPARE(tabs->tabText(0), QString("bob"));
    QCOMPARE(form->Text(), QString("[bob] first\n[bob] <b>second</b>"));
    // Not known online yet: the offline dot, and the server is asked to follow bob.
    QCOMPARE(Image(tabs->tabIcon(0)), Image(QIcon(":/icons/offline_dot_icon")));
    QVERIFY(client.Sent().contains(frameOf(WireWriter().u32(ServerCode::AddUser).str("bob"))));

    client.window->OnChatTabClosed(0);
    QCOMPARE(tabs->count(), 0);
    QVERIFY(!ServerStore::User("bob").IsConnected("user_chat_widget"));
    QVERIFY(client.Deliver(message(3, "third")));
    QCOMPARE(tabs->count(), 1);
    form = qobject_cast<ChatForm*>(tabs->widget(0));
    QCOMPARE(form->Text(), QString("[bob] third"));

    ServerStore::SetFlag(ServerStore::User("bob"), "is_online");
    QCOMPARE(Image(tabs->tabIcon(0)), Image(QIcon(":/icons/online_dot_icon")));
    ServerStore::SetFlag(ServerStore::User("carol"), "is_online");
    ServerStore::ClearFlag(ServerStore::User("bob"), "is_online");
    QCOMPARE(Image(tabs->tabIcon(0)), Image(QIcon(":/icons/offline_dot_icon")));
    QCOMPARE(tabs->count(), 1);
}

void TestRoomsPage::openChatFormBringsTheTabForward()
{
    Client client("alice");
    client.Start();
    ServerStore::SetFlag(ServerStore::User("ann"), "is_online");
    client.window->OpenChatForm("bob");
    client.window->OpenChatForm("ann");
    QTabWidget* tabs = Tabs(client, "chatTabControl");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(Image(tabs->tabIcon(1)), Image(QIcon(":/icons/online_dot_icon")));
    Tabs(client, "tabControl")->setCurrentIndex(0);
    client.window->OpenChatForm("bob");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(Tabs(client, "tabControl")->currentWidget()->objectName(), QString("chatTab"));
}

QTEST_MAIN(TestRoomsPage)
#include "tst_roomspage.moc"

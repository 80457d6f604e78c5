// The shell's tool-bar actions in the running window, clicked on the bar the way the user does,
// with what reaches the fake server compared byte for byte.

#include "MainWindowClient.h"

#include "server/ServerStore.h"
#include "shell/ActionSetToolBar.h"
#include "shell/MainWindow.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "ui/chat/ChatLog.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/CreateRoomDialog.h"
#include "ui/chat/RoomForm.h"
#include "ui/dialogs/AddSharedFolderDialog.h"
#include "ui/dialogs/ChangeListeningPortDialog.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"
#include "ui/dialogs/SharedFilesRescannedDialog.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

namespace {

QTabWidget* RoomTabs(Client& client)
{
    return client.window->findChild<QTabWidget*>("roomsTabControl");
}

QWidget* Page(Client& client, const char* name)
{
    return client.window->findChild<QWidget*>(name);
}

// Enters the room as the server would confirm it, and gives its tab.
RoomForm* EnterRoom(Client& client, const QByteArray& room)
{
    if (!client.Deliver(RoomEnteredReply(room)))
        return nullptr;
    QTabWidget* tabs = RoomTabs(client);
    return qobject_cast<RoomForm*>(tabs->widget(tabs->count() - 1));
}

} // namespace

class TestShellActions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void shellSetsOnTheBar_data();
    void shellSetsOnTheBar();
    void refreshAndEnterFromTheRoomList();
    void privateRoomInvitationsToggle_data();
    void privateRoomInvitationsToggle();
    void giveUpOwnership_data();
    void giveUpOwnership();
    void giveUpMembership_data();
    void giveUpMembership();
    void toggleAutojoinTwice();
    void roomChatLogStaysInItsFolder();
    void createRoomShowsOneDialog();
    void sharedFolderActions();
    void downloadFolderIsUtf8_data();
    void downloadFolderIsUtf8();
    void loginOptions();
};

void TestShellActions::shellSetsOnTheBar_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("room list") << "roomList"
                               << QStringList{"Enter Room", "Create Room", "Refresh Room List",
                                              "Accept Private Room Invitations"};
    QTest::newRow("file sharing") << "fileSharingOptionsTab"
                                  << QStringList{"Set Download Folder", "Share Folder",
                                                 "Unshare Folder", "Rescan Shares"};
    QTest::newRow("login") << "loginOptionsTab"
                           << QStringList{"Change Username/Password", "Change Listening Port"};
}

void TestShellActions::shellSetsOnTheBar()
{
    QFETCH(QString, page);
    QFETCH(QStringList, texts);

    Client client("alice");
    client.Start();
    QCOMPARE(client.BarTexts(Page(client, qPrintable(page))), texts);
    // Every icon path names an image.
    for (QAction* action : actionBar->actions()) {
        if (texts.contains(action->text()))
            QVERIFY2(!action->icon().pixmap(16, 16).isNull(), qPrintable(action->text()));
    }
}

void TestShellActions::refreshAndEnterFromTheRoomList()
{
    Client client("alice");
    client.Start();
    client.LogIn();
    auto* list = client.window->findChild<QTreeWidget*>("roomList");
    client.Trigger(list, "Refresh Room List");
    QCOMPARE(client.Sent(), QList<QByteArray>{hexBytes("04000000 40000000")});

    ServerStore::Room("den");
    ServerStore::Room("lobby");
    list->setCurrentItem(list->findItems("lobby", Qt::MatchExactly).at(0));
    client.Trigger(list, "Enter Room");
    QCOMPARE(client.Sent(),
             QList<QByteArray>{hexBytes("11000000 0e000000 05000000 6c6f626279 00000000")});
    // With no row selected, the room the key last named.
    list->clearSelection();
    client.Trigger(list, "Enter Room");
    QCOMPARE(client.Sent(),
             QList<QByteArray>{hexBytes("11000000 0e000000 05000000 6c6f626279 00000000")});
}

void TestShellActions::privateRoomInvitationsToggle_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("unset") << "" << hexBytes("05000000 8d000000 01");
    QTest::newRow("no") << "no" << hexBytes("05000000 8d000000 01");
    QTest::newRow("yes") << "yes" << hexBytes("05000000 8d000000 00");
}

void TestShellActions::privateRoomInvitationsToggle()
{
    QFETCH(QString, setting);
    QFETCH(QByteArray, sent);

    Client client("alice");
    client.Start();
    client.LogIn();
    if (setting.isEmpty())
        Settings::Remove(SettingKeys::EnablePrivateRoomAdd);
    else
        Settings::Set(SettingKeys::EnablePrivateRoomAdd, setting.toStdString());
    client.Trigger(Page(client, "roomList"), "Accept Private Room Invitations");
    QCOMPARE(client.Sent(), QList<QByteArray>{sent});
}

void TestShellActions::giveUpOwnership_data()
{
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<int>("boxes");
    const int yes = QMessageBox::Yes;
    const int no = QMessageBox::No;
    QTest::newRow("yes, yes") << QList<int>{yes, yes}
                              << QList<QByteArray>{hexBytes("09000000 89000000 01000000 72"),
                                                   hexBytes("09000000 0f000000 01000000 72")}
                              << 2;
    QTest::newRow("no") << QList<int>{no} << QList<QByteArray>{} << 1;
    QTest::newRow("yes, no") << QList<int>{yes, no} << QList<QByteArray>{} << 2;
}

void TestShellActions::giveUpOwnership()
{
    QFETCH(QList<int>, answers);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(int, boxes);

    Client client("alice");
    client.Start();
    client.LogIn();
    ItemPtr room = ServerStore::Room("r");
    ServerStore::SetFlag(room, "is_owner");
    ServerStore::SetFlag(room, "is_member");
    RoomForm* form = EnterRoom(client, "r");
    QVERIFY(form);
    for (int answer : answers)
        client.dialogs.answers << QMessageBox::StandardButton(answer);
    client.Trigger(form, "Give Up Room");
    QCOMPARE(client.dialogs.shown.size(), boxes);
    QCOMPARE(client.dialogs.shown.at(0).title, QString("Give up membership?"));
    QCOMPARE(client.dialogs.shown.at(0).text,
             QString("Are you SURE you want to give up your ownership of the r private room?"));
    QCOMPARE(client.dialogs.shown.at(0).defaultButton, QMessageBox::No);
    if (boxes == 2)
        QCOMPARE(client.dialogs.shown.at(1).title, QString("REALLY?"));
    QCOMPARE(client.Sent(), sent);
}

void TestShellActions::giveUpMembership_data()
{
    QTest::addColumn<bool>("owner");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::newRow("member, yes") << false << int(QMessageBox::Yes)
                                 << QList<QByteArray>{hexBytes("09000000 88000000 01000000 72")};
    QTest::newRow("member, no") << false << int(QMessageBox::No) << QList<QByteArray>{};
    QTest::newRow("owner: not asked") << true << int(QMessageBox::Yes) << QList<QByteArray>{};
}

void TestShellActions::giveUpMembership()
{
    QFETCH(bool, owner);
    QFETCH(int, answer);
    QFETCH(QList<QByteArray>, sent);

    Client client("alice");
    client.Start();
    client.LogIn();
    ItemPtr room = ServerStore::Room("r");
    ServerStore::SetFlag(room, "is_member");
    if (owner)
        ServerStore::SetFlag(room, "is_owner");
    RoomForm* form = EnterRoom(client, "r");
    QVERIFY(form);
    client.dialogs.answers << QMessageBox::StandardButton(answer);
    // The tab hides the action from an owner; the window refuses it all the same.
    Q_EMIT actionBar->ActionTriggered(form, "give_up_membership");
    QCOMPARE(client.dialogs.shown.size(), owner ? 0 : 1);
    QCOMPARE(client.Sent(), sent);
}

void TestShellActions::toggleAutojoinTwice()
{
    Client client("alice");
    client.Start();
    client.LogIn();
    RoomForm* form = EnterRoom(client, "r");
    QVERIFY(form);
    ItemPtr room = ServerStore::Room("r");
    client.Trigger(form, "Auto-Join Room [off]");
    QVERIFY(room.IsConnected("room_autojoin"));
    client.Trigger(form, "Auto-Join Room [on]");
    QVERIFY(!room.IsConnected("room_autojoin"));
}

void TestShellActions::roomChatLogStaysInItsFolder()
{
    Client client("alice");
    client.Start();
    client.LogIn();
    RoomForm* form = EnterRoom(client, "../../x");
    QVERIFY(form);
    client.Trigger(form, "Chat Log");
    QTabWidget* tabs = RoomTabs(client);
    QCOMPARE(tabs->count(), 2);
    auto* viewer = qobject_cast<ChatLogForm*>(tabs->widget(1));
    QVERIFY(viewer);
    QCOMPARE(tabs->currentWidget(), viewer);
    const QString rooms = client.home.Path() + "/Quorvale Chat Logs/Rooms";
    QCOMPARE(QFileInfo(viewer->LogPath()).absolutePath(), rooms);
    QCOMPARE(viewer->LogPath(), ChatLog::Path(ChatLog::Kind::Room, "../../x"));

    tabs->setCurrentWidget(form);
    client.Trigger(form, "Chat Log");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->currentWidget(), viewer);
}

void TestShellActions::createRoomShowsOneDialog()
{
    Client client("alice");
    client.Start();
    QWidget* list = Page(client, "roomList");
    client.Trigger(list, "Create Room");
    CreateRoomDialog* dialog = createRoomDialog;
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    dialog->hide();
    client.Trigger(list, "Create Room");
    QCOMPARE(createRoomDialog, dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(client.window->findChildren<CreateRoomDialog*>().size(), 1);
}

void TestShellActions::sharedFolderActions()
{
    Client client("alice");
    client.Start();
    QWidget* page = Page(client, "fileSharingOptionsTab");
    client.Trigger(page, "Share Folder");
    client.Trigger(page, "Share Folder");
    QCOMPARE(client.window->findChildren<AddSharedFolderDialog*>().size(), 2);

    client.Trigger(page, "Rescan Shares");
    QCOMPARE(client.window->findChildren<SharedFilesRescannedDialog*>().size(), 1);

    Type* folders = d.GetType("shared_folder");
    for (const char* path : {"/one", "/two", "/three", "/four"})
        folders->GetItem(Value(path)).NewItem("shared_public");
    auto* list = client.window->findChild<QTreeWidget*>("sharedFoldersList");
    list->setSelectionMode(QAbstractItemView::MultiSelection);
    for (int i : {0, 1, 3})
        list->topLevelItem(i)->setSelected(true);
    client.Trigger(page, "Unshare Folder");
    QCOMPARE(folders->ItemCount(), size_t(1));
    QVERIFY(!folders->HasItem(Value("/three")).IsNull());
    QCOMPARE(list->topLevelItemCount(), 1);
    // Swept after each: the removed folders' flags are gone too.
    QCOMPARE(d.GetType("shared_public")->ItemCount(), size_t(1));
    client.Trigger(page, "Unshare Folder");
    QCOMPARE(folders->ItemCount(), size_t(1));
}

void TestShellActions::downloadFolderIsUtf8_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::newRow("non-ASCII") << QString::fromUtf8("/tmp/D\xc3\xb3wnloads \xe2\x98\x95");
    QTest::newRow("cancelled") << QString();
}

void TestShellActions::downloadFolderIsUtf8()
{
    QFETCH(QString, chosen);

    Client client("alice");
    client.Start();
    auto* edit = client.window->findChild<QLineEdit*>("downloadFolderEdit");
    const QString before = edit->text();
    QCOMPARE(before, TransferQueueManager::DownloadFolder());
    if (!chosen.isEmpty())
        client.dialogs.folders << chosen;
    client.Trigger(Page(client, "fileSharingOptionsTab"), "Set Download Folder");
    QCOMPARE(client.dialogs.chooserTitles, QStringList{"Set Download Folder"});
    QCOMPARE(client.dialogs.chooserParents.value(0), client.window.get());
    const QString now = chosen.isEmpty() ? before : chosen;
    QCOMPARE(edit->text(), now);
    QCOMPARE(TransferQueueManager::DownloadFolder(), now);
    QCOMPARE(QByteArray::fromStdString(Settings::Text(SettingKeys::DownloadFolder)), now.toUtf8());
}

void TestShellActions::loginOptions()
{
    Client client("alice");
    client.Start();
    QWidget* page = Page(client, "loginOptionsTab");
    client.Trigger(page, "Change Listening Port");
    QCOMPARE(client.window->findChildren<ChangeListeningPortDialog*>().size(), 1);

    // Offline: the login dialog, not the first-run one; closed, it goes.
    client.Trigger(page, "Change Username/Password");
    QCOMPARE(client.window->findChildren<ChangeUsernamePasswordDialog*>().size(), 1);
    QCOMPARE(client.dialogs.shown.size(), 0);
    QPointer<ChangeUsernamePasswordDialog> login =
        client.window->findChild<ChangeUsernamePasswordDialog*>();
    login->reject();
    QTRY_VERIFY(login.isNull());
    client.Trigger(page, "Change Username/Password");

    client.LogIn();
    client.Trigger(page, "Change Username/Password");
    QCOMPARE(client.window->findChildren<ChangeUsernamePasswordDialog*>().size(), 1);
    QCOMPARE(client.dialogs.shown.size(), 1);
    QCOMPARE(client.dialogs.shown.at(0).title, QString("Cannot change username while online"));
    QCOMPARE(client.dialogs.shown.at(0).parent, client.window.get());
}

QTEST_MAIN(TestShellActions)
#include "tst_shellactions.moc"

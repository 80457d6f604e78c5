// The pages of the running window: the options page and its shared-folder list, the room list,
// room and private chat tabs, and the shell's tool-bar actions clicked on the bar the way the
// user does, with what reaches the fake server compared byte for byte.

#include "MainWindowClient.h"

#include "server/ServerStore.h"
#include "store/TurnBudget.h"
#include "support/HeldClock.h"
#include "support/PaintedRow.h"
#include "transfers/TransferQueueManager.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatLog.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/CreateRoomDialog.h"
#include "ui/chat/RoomForm.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"
#include "ui/dialogs/SharedFilesRescannedDialog.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>

namespace {

const QByteArray kCafe = "Caf\xc3\xa9 \xe2\x98\x95";

// A client logged in as alice, or only started.
std::unique_ptr<Client> Started(bool logIn = false)
{
    auto client = std::make_unique<Client>("alice");
    client->Start();
    if (logIn)
        client->LogIn();
    return client;
}

// Enters the room as the server would confirm it, and gives its tab.
RoomForm* EnterRoom(Client& client, const QByteArray& room)
{
    if (!client.Deliver(RoomEnteredReply(room)))
        return nullptr;
    auto* tabs = client.Child<QTabWidget>("roomsTabControl");
    return qobject_cast<RoomForm*>(tabs->widget(tabs->count() - 1));
}

QTreeWidgetItem* Row(Client& client, const QByteArray& room)
{
    const QList<QTreeWidgetItem*> rows =
        client.Child<QTreeWidget>("roomList")
            ->findItems(QString::fromUtf8(room), Qt::MatchExactly, 0);
    return rows.size() == 1 ? rows.at(0) : nullptr;
}

// Italic, underline, bold of a row's name.
QString Style(QTreeWidgetItem* row)
{
    const QFont font = row->font(0);
    return QString("%1%2%3").arg(font.italic() ? "i" : "-", font.underline() ? "u" : "-",
                                 font.weight() == QFont::Bold ? "b" : "-");
}

QStringList Names(QTreeWidget* list)
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

// The visible dialogs of that class under the window.
QList<QDialog*> Open(Client& client, const QString& className)
{
    QList<QDialog*> open;
    for (QDialog* dialog : client.window->findChildren<QDialog*>()) {
        if (dialog->isVisible() && className == dialog->metaObject()->className())
            open << dialog;
    }
    return open;
}

} // namespace

class tst_WindowPages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void accessibleTo_data();
    void accessibleTo();
    void sharedFolderList();
    void controlsWriteTheirSettings_data();
    void controlsWriteTheirSettings();
    void fieldsFollowTheLogin();
    void fileSharingTabTakesTheFocus();
    void dialogsOfTheWindow_data();
    void dialogsOfTheWindow();
    void loginDialogOnlyWhileOffline();
    void downloadFolderIsUtf8_data();
    void downloadFolderIsUtf8();
    void shellSetsOnTheBar_data();
    void shellSetsOnTheBar();
    void roomRows_data();
    void roomRows();
    void roleChangesResortTheList();
    void refreshAndEnterFromTheRoomList();
    void doubleClickEntersTheRoom();
    void relistedRoomListAnswersWhatItPaints_data();
    void relistedRoomListAnswersWhatItPaints();
    void privateRoomInvitations_data();
    void privateRoomInvitations();
    void giveUpRoom_data();
    void giveUpRoom();
    void toggleAutojoinTwice();
    void roomChatLogStaysInItsFolder();
    void privateChatTabs();
    void openChatFormBringsTheTabForward();
    void privateMessageBurstsAreSpreadOverTurns_data();
    void privateMessageBurstsAreSpreadOverTurns();
    void chatTabsCloseByTheirPaintedButtons_data();
    void chatTabsCloseByTheirPaintedButtons();
    void tabTitlesShowAmpersands_data();
    void tabTitlesShowAmpersands();
};

void tst_WindowPages::accessibleTo_data()
{
    // Steps: +x links, -x unlinks; "public", "userlist", a group name, or "file" (a link to a
    // type that is no access).
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("shown");
    QTest::newRow("public plus groups") << QStringList{"+b", "+public", "+a"} << "Everyone";
    QTest::newRow("public unlinked with the user list")
        << QStringList{"+public", "+userlist", "+a", "-public"} << "User List";
    QTest::newRow("groups in byte order") << QStringList{"+b", "+a", "+Z"} << "Z, a, b";
    QTest::newRow("last group unlinked") << QStringList{"+a", "-a"} << "";
    QTest::newRow("another type changes nothing") << QStringList{"+a", "+file"} << "a";
}

void tst_WindowPages::accessibleTo()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, shown);

    const auto client = Started();
    const QString path = QString::fromUtf8("/nowhere/m\xc3\xbcsic");
    ItemPtr folder = d.GetType("shared_folder")->GetItem(Value(path.toUtf8().toStdString()));
    auto* list = client->Child<QTreeWidget>("sharedFoldersList");
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(0), path);
    QCOMPARE(list->topLevelItem(0)->text(1), QString());

    for (const QString& step : steps) {
        const bool link = step.startsWith('+');
        const QString what = step.mid(1);
        ItemPtr other;
        if (what == "public" || what == "userlist") {
            const std::string type = "shared_" + what.toStdString();
            other = link ? folder.NewItem(type.c_str()) : folder[type.c_str()];
        } else if (what == "file") {
            other = d.GetType("shared_file_folder")->GetItem(Value("/nowhere/m"));
        } else {
            other = d.GetType("user_list_group")->GetItem(Value(what.toStdString()));
        }
        if (link)
            folder += other;
        else
            folder.Disconnect(other);
    }
    QCOMPARE(list->topLevelItem(0)->text(1), shown);
}

void tst_WindowPages::sharedFolderList()
{
    const auto client = Started();
    QWidget* page = client->Child("fileSharingOptionsTab");
    Type* folders = d.GetType("shared_folder");
    for (const char* path : {"/one", "/two", "/three", "/four"})
        folders->GetItem(Value(path)).NewItem("shared_public");
    auto* list = client->Child<QTreeWidget>("sharedFoldersList");
    list->setSelectionMode(QAbstractItemView::MultiSelection);
    for (int i : {0, 1, 3})
        list->topLevelItem(i)->setSelected(true);
    client->Trigger(page, "Unshare Folder");
    QCOMPARE(folders->ItemCount(), size_t(1));
    QVERIFY(!folders->HasItem(Value("/three")).IsNull());
    // Rows go with their folders, whoever removes them.
    QCOMPARE(Names(list), QStringList{"/three"});
    // Swept after each: the removed folders' flags are gone too.
    QCOMPARE(d.GetType("shared_public")->ItemCount(), size_t(1));
    client->Trigger(page, "Unshare Folder");
    QCOMPARE(folders->ItemCount(), size_t(1));
    folders->HasItem(Value("/three")).Remove();
    QCOMPARE(list->topLevelItemCount(), 0);

    client->window->OnSharedFilesRescanned(12, 0);
    const auto* report = client->window->findChild<SharedFilesRescannedDialog*>();
    QCOMPARE(report->windowTitle(), QString("Shared Files Rescanned"));
    QCOMPARE(report->Text(), QString("12 files added.\n0 files removed."));
    QVERIFY(report->isVisible());
}

void tst_WindowPages::controlsWriteTheirSettings_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("clickOnly");
    QTest::newRow("UPnP") << "uPnPCheckBox"
                          << "use_upnp" << false;
    QTest::newRow("tray") << "minimizeToTrayCheckBox"
                          << "minimize_to_tray" << false;
    QTest::newRow("new shares") << "autoExpandSharesCheckBox"
                                << "expand_new_shares" << false;
    QTest::newRow("room logs") << "logRoomChatCheckBox"
                               << "log_room_chat" << true;
    QTest::newRow("private logs") << "logPrivateChatCheckBox"
                                  << "log_private_chat" << true;
}

void tst_WindowPages::controlsWriteTheirSettings()
{
    QFETCH(QString, box);
    QFETCH(QString, key);
    QFETCH(bool, clickOnly);

    const auto client = Started();
    auto* check = client->Child<QCheckBox>(qPrintable(box));
    const QByteArray name = key.toLatin1();
    const SettingKey setting{name.constData()};
    const std::string before = Settings::Text(setting);
    // Set by the program, a box that reacts to clicks only writes nothing.
    check->setChecked(!check->isChecked());
    if (clickOnly) {
        QCOMPARE(Settings::Text(setting), before);
        check->click();
        check->click();
    }
    QCOMPARE(Settings::IsYes(setting), check->isChecked());
    check->click();
    QCOMPARE(Settings::Text(setting), std::string(check->isChecked() ? "yes" : "no"));
}

void tst_WindowPages::fieldsFollowTheLogin()
{
    const auto client = Started();
    auto* user = client->Child<QLineEdit>("usernameEdit");
    auto* port = client->Child<QLineEdit>("listeningPortEdit");
    QCOMPARE(user->text(), QString("alice"));
    QVERIFY(user->isReadOnly());
    QCOMPARE(port->text(), QString("0"));
    Settings::Set(SettingKeys::Username, "b\xe9la");
    QCOMPARE(user->text(), QString::fromUtf8("b\xc3\xa9la"));
    // The port in use stays; the field shows the pending one.
    Settings::Set(SettingKeys::NewListeningPort, "4000");
    QCOMPARE(port->text(), QString("4000"));
}

void tst_WindowPages::fileSharingTabTakesTheFocus()
{
    const auto client = Started();
    auto* tabs = client->Child<QTabWidget>("optionsTabControl");
    auto* list = client->Child<QTreeWidget>("sharedFoldersList");
    client->Child<QTabWidget>("tabControl")->setCurrentWidget(client->Child("optionsTab"));
    tabs->setCurrentIndex(2);
    QVERIFY(!list->hasFocus());
    tabs->setCurrentWidget(client->Child("fileSharingOptionsTab"));
    QTRY_VERIFY(list->hasFocus());
}

void tst_WindowPages::dialogsOfTheWindow_data()
{
    // How the dialog is asked for: a slot of the window, "page: text" on the bar, or "keys" typed
    // anywhere in the window.
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<int>("open"); // after two requests
    QTest::newRow("store data") << "OnShowData"
                                << "DataDialog" << 1;
    QTest::newRow("type navigator") << "OnTypeNavigator"
                                    << "TypeNavigatorDialog" << 1;
    QTest::newRow("store data key") << "Ctrl+Shift+D"
                                    << "DataDialog" << 1;
    QTest::newRow("type navigator key") << "Ctrl+Shift+T"
                                        << "TypeNavigatorDialog" << 1;
    QTest::newRow("colours") << "OnSelectColors"
                             << "ColorSelectionDialog" << 2;
    QTest::newRow("create room") << "roomList: Create Room"
                                 << "CreateRoomDialog" << 1;
    QTest::newRow("share folder") << "fileSharingOptionsTab: Share Folder"
                                  << "AddSharedFolderDialog" << 2;
    QTest::newRow("rescan") << "fileSharingOptionsTab: Rescan Shares"
                            << "SharedFilesRescannedDialog" << 2;
    QTest::newRow("listening port") << "loginOptionsTab: Change Listening Port"
                                    << "ChangeListeningPortDialog" << 2;
}

void tst_WindowPages::dialogsOfTheWindow()
{
    QFETCH(QString, how);
    QFETCH(QString, dialog);
    QFETCH(int, open);

    const auto client = Started();
    const auto ask = [&] {
        const QStringList bar = how.split(": ");
        if (bar.size() == 2)
            client->Trigger(client->Child(qPrintable(bar.at(0))), bar.at(1));
        else if (how.startsWith("Ctrl+")) {
            // Keys reach the shortcuts of the active window only.
            client->window->show();
            client->window->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(client->window.get()));
            QTest::keySequence(client->Child("roomList"), QKeySequence(how));
        } else
            QMetaObject::invokeMethod(client->window.get(), qPrintable(how));
    };
    ask();
    ask();
    // A rescan reports once the disk is walked.
    QTRY_COMPARE(Open(*client, dialog).size(), open);
    if (open == 1) {
        // Closed, the next request shows one again: the kept one or a new one, never a
        // dangling one.
        Open(*client, dialog).at(0)->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ask();
        QCOMPARE(Open(*client, dialog).size(), 1);
    }
    // An open dialog goes with the window, once (ASan sees a second delete).
    client->window.reset();
}

void tst_WindowPages::loginDialogOnlyWhileOffline()
{
    const auto client = Started();
    QWidget* page = client->Child("loginOptionsTab");
    // Offline: the login dialog, not the first-run one; closed, it goes.
    client->Trigger(page, "Change Username/Password");
    QCOMPARE(client->window->findChildren<ChangeUsernamePasswordDialog*>().size(), 1);
    QPointer<ChangeUsernamePasswordDialog> login =
        client->window->findChild<ChangeUsernamePasswordDialog*>();
    QCOMPARE(login->windowTitle(), QString("Change Username/Password"));
    login->reject();
    QTRY_VERIFY(login.isNull());
    client->Trigger(page, "Change Username/Password");
    QCOMPARE(client->dialogs.shown.size(), 0);

    client->LogIn();
    client->Trigger(page, "Change Username/Password");
    QCOMPARE(client->window->findChildren<ChangeUsernamePasswordDialog*>().size(), 1);
    QCOMPARE(client->dialogs.shown.size(), 1);
    QCOMPARE(client->dialogs.shown.at(0).title, QString("Cannot change username while online"));
    QCOMPARE(client->dialogs.shown.at(0).parent, client->window.get());
}

void tst_WindowPages::downloadFolderIsUtf8_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::newRow("non-ASCII") << QString::fromUtf8("/tmp/D\xc3\xb3wnloads \xe2\x98\x95");
    QTest::newRow("cancelled") << QString();
}

void tst_WindowPages::downloadFolderIsUtf8()
{
    QFETCH(QString, chosen);

    const auto client = Started();
    auto* edit = client->Child<QLineEdit>("downloadFolderEdit");
    const QString before = edit->text();
    QCOMPARE(before, TransferQueueManager::DownloadFolder());
    if (!chosen.isEmpty())
        client->dialogs.folders << chosen;
    client->Trigger(client->Child("fileSharingOptionsTab"), "Set Download Folder");
    QCOMPARE(client->dialogs.chooserTitles, QStringList{"Set Download Folder"});
    QCOMPARE(client->dialogs.chooserParents.value(0), client->window.get());
    const QString now = chosen.isEmpty() ? before : chosen;
    QCOMPARE(edit->text(), now);
    QCOMPARE(TransferQueueManager::DownloadFolder(), now);
    QCOMPARE(QByteArray::fromStdString(Settings::Text(SettingKeys::DownloadFolder)), now.toUtf8());
}

void tst_WindowPages::shellSetsOnTheBar_data()
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

void tst_WindowPages::shellSetsOnTheBar()
{
    QFETCH(QString, page);
    QFETCH(QStringList, texts);

    const auto client = Started();
    QCOMPARE(client->BarTexts(client->Child(qPrintable(page))), texts);
    // Every icon path names an image.
    for (QAction* action : actionBar->actions()) {
        if (texts.contains(action->text()))
            QVERIFY2(!action->icon().pixmap(16, 16).isNull(), qPrintable(action->text()));
    }
}

void tst_WindowPages::roomRows_data()
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

void tst_WindowPages::roomRows()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, style);
    QFETCH(QString, users);

    const auto client = Started();
    ItemPtr room = ServerStore::Room("lobby");
    QTreeWidgetItem* row = Row(*client, "lobby");
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
    QCOMPARE(client->Child<QTreeWidget>("roomList")->topLevelItemCount(), 1);
}

void tst_WindowPages::roleChangesResortTheList()
{
    const auto client = Started();
    for (const char* name : {"delta", "Bravo", "alpha", "charlie"})
        ServerStore::Room(name);
    auto* list = client->Child<QTreeWidget>("roomList");
    QTRY_COMPARE(Names(list), (QStringList{"alpha", "Bravo", "charlie", "delta"}));
    ServerStore::SetFlag(ServerStore::Room("delta"), "is_member");
    ServerStore::SetFlag(ServerStore::Room("charlie"), "is_owner");
    QTRY_COMPARE(Names(list), (QStringList{"charlie", "delta", "alpha", "Bravo"}));
    ServerStore::ClearFlag(ServerStore::Room("charlie"), "is_owner");
    QTRY_COMPARE(Names(list), (QStringList{"delta", "alpha", "Bravo", "charlie"}));
}

void tst_WindowPages::refreshAndEnterFromTheRoomList()
{
    const auto client = Started(true);
    auto* list = client->Child<QTreeWidget>("roomList");
    client->Trigger(list, "Refresh Room List");
    QCOMPARE(client->Sent(), QList<QByteArray>{hexBytes("04000000 40000000")});

    ServerStore::Room("den");
    ServerStore::Room("lobby");
    list->setCurrentItem(list->findItems("lobby", Qt::MatchExactly).at(0));
    const QList<QByteArray> enter{hexBytes("11000000 0e000000 05000000 6c6f626279 00000000")};
    client->Trigger(list, "Enter Room");
    QCOMPARE(client->Sent(), enter);
    // With no row selected, none: not the room the key last named.
    list->clearSelection();
    client->Trigger(list, "Enter Room");
    QCOMPARE(client->Sent(), QList<QByteArray>());
}

void tst_WindowPages::doubleClickEntersTheRoom()
{
    const auto client = Started(true);
    ServerStore::Room(kCafe.toStdString());
    QTreeWidgetItem* row = Row(*client, kCafe);
    QVERIFY(row);
    auto* list = client->Child<QTreeWidget>("roomList");
    auto* tabs = client->Child<QTabWidget>("roomsTabControl");

    // The users column does nothing.
    Q_EMIT list->itemDoubleClicked(row, 1);
    Q_EMIT list->itemDoubleClicked(row, 0);
    const QByteArray enter = hexBytes("15000000 0e000000 09000000 436166c3a920e29895 00000000");
    QCOMPARE(client->Sent(), QList<QByteArray>{enter});
    QCOMPARE(tabs->count(), 0);

    // Only the server's confirmation opens the tab, and only the first one.
    QVERIFY(client->Deliver(RoomEnteredReply(kCafe)));
    QCOMPARE(tabs->count(), 1);
    QVERIFY(qobject_cast<RoomForm*>(tabs->widget(0)));
    QCOMPARE(tabs->tabText(0), QString::fromUtf8(kCafe));
    QVERIFY(client->Deliver(RoomEnteredReply(kCafe)));
    QCOMPARE(tabs->count(), 1);
    // Left while the tab stays open, then entered again: still the one tab.
    QVERIFY(client->Deliver(WireWriter().u32(ServerCode::LeaveRoom).str(kCafe)));
    QVERIFY(!ServerStore::Room(kCafe.toStdString()).IsConnected("in_room"));
    QVERIFY(client->Deliver(RoomEnteredReply(kCafe)));
    QCOMPARE(tabs->count(), 1);

    // Closed while logged out: nobody confirms a leave, yet the room counts as left.
    gp_server->Disconnect();
    client->window->OnRoomTabClosed(0);
    QCOMPARE(tabs->count(), 0);
    QVERIFY(!ServerStore::Room(kCafe.toStdString()).IsConnected("in_room"));

    client->Reconnect();
    Q_EMIT list->itemDoubleClicked(Row(*client, kCafe), 0);
    QCOMPARE(client->Sent(), QList<QByteArray>{enter});
    QVERIFY(client->Deliver(RoomEnteredReply(kCafe)));
    QCOMPARE(tabs->count(), 1);
}

void tst_WindowPages::relistedRoomListAnswersWhatItPaints_data()
{
    // Turn after turn while 1,000 rooms, sorted the other way round, take in 1,000 more a slice
    // at a time, the user, who was in room 0010 and then chose room 0020, presses Enter Room (or
    // chose none and presses it), or clicks the row painted at a point, the last click holding.
    // The list is rebuilt in one step; 600 rooms that come in its order go in over several. Or,
    // of 5,000 rooms, a row in view chosen, the user watches with the view at its top or scrolled
    // down, the Rooms page shown or another, or drags the scroll bar to its end or presses End,
    // as the Users header is clicked or, the list sorted on it, every room's count changes.
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("coming");
    QTest::addColumn<QString>("place");
    QTest::addColumn<bool>("header");
    for (const char* action : {"enter", "enter, none chosen", "click"})
        QTest::newRow(action) << action << 1000 << "top" << true;
    QTest::newRow("click, 600 come in order") << "click" << 600 << "top" << false;
    for (const char* action : {"watch", "hide", "bottom", "End"}) {
        for (const char* place : {"top", "scrolled"}) {
            for (bool header : {false, true})
                QTest::addRow("%s, %s, %s", action, place, header ? "header" : "counts")
                    << action << 0 << place << header;
        }
    }
}

void tst_WindowPages::relistedRoomListAnswersWhatItPaints()
{
    QFETCH(QString, action);
    QFETCH(int, coming);
    QFETCH(QString, place);
    QFETCH(bool, header);

    const auto client = Started(true);
    auto* pages = client->Child<QTabWidget>("tabControl");
    pages->setCurrentWidget(client->Child("roomsTab"));
    auto* list = client->Child<QTreeWidget>("roomList");
    const auto name = [](int i) { return "room " + QByteArray::number(i).rightJustified(4, '0'); };
    const auto count = [&name](int i, int n) {
        ServerStore::Link(ServerStore::Room(name(i).toStdString()), "user_count", Value(n));
    };
    const int rooms = coming ? 1000 : 5000;
    for (int i = 0; i < 2 * rooms; i += 2)
        coming ? void(ServerStore::Room(name(i).toStdString())) : count(i, i * 7919 % 90 + 1);
    if (!coming && !header)
        list->header()->setSortIndicator(1, Qt::DescendingOrder);
    PaintedRow painted(list, QPoint(40, 100), 0);
    QTRY_VERIFY(list->topLevelItemCount() == rooms && painted.InOrder());
    list->setCurrentItem(Row(*client, name(10)));
    client->Trigger(list, "Enter Room");
    QVERIFY(client->Deliver(RoomEnteredReply(name(10))));
    QWidget* tab = client->Child<QTabWidget>("roomsTabControl")->widget(0);
    const bool none = action == "enter, none chosen";
    if (place == "scrolled")
        list->verticalScrollBar()->setValue(2000);
    painted.Put(place);
    // Room 0020, or a row in view below the top one.
    QTreeWidgetItem* const chosen =
        coming ? Row(*client, name(20))
               : list->topLevelItem(list->indexOfTopLevelItem(painted.top) + 3);
    list->setCurrentItem(painted.current = chosen, 0,
                         none ? QItemSelectionModel::Clear : QItemSelectionModel::ClearAndSelect);
    client->Sent();

    const TurnBudget::StepsForTesting sliced(1);
    if (header)
        QTest::mouseClick(list->header()->viewport(), Qt::LeftButton, {},
                          QPoint(list->header()->sectionViewportPosition(coming ? 0 : 1) + 5, 5));
    for (int i = 1; i < 2 * coming; i += 2)
        ServerStore::Room(name(i).toStdString());
    // Every fifth count, and the chosen room's: rows moved a few a step.
    for (int i = 0; !coming && !header && i < 2 * rooms; i += 2) {
        if (i % 10 == 0 || name(i) == chosen->text(0).toLatin1())
            count(i, i * 31 % 97 + 1);
    }
    list->viewport()->repaint();
    pages->setCurrentIndex(action == "hide" ? 0 : pages->indexOf(client->Child("roomsTab")));
    int turns = 0;
    const bool listed = painted.EachTurn(rooms + coming, [&](const QString&) {
        painted.Act(action, ++turns);
        if (!action.startsWith("enter"))
            return;
        // The room tab had the focus last, and named its room.
        actionBar->OnApplicationFocusChanged(nullptr, tab);
        client->Trigger(list, "Enter Room");
        const QByteArray enter = WireWriter().u32(ServerCode::EnterRoom).str(name(20)).u32(0);
        QCOMPARE(client->Sent(), none ? QList<QByteArray>() : QList<QByteArray>{frameOf(enter)});
    });
    QVERIFY(listed);
    pages->setCurrentWidget(client->Child("roomsTab"));
    QCoreApplication::processEvents();
    painted.CheckKept();
    QCOMPARE(list->currentItem(), painted.current);
    QCOMPARE(list->selectedItems(), none ? QList<QTreeWidgetItem*>() : QList{painted.current});
}

void tst_WindowPages::privateRoomInvitations_data()
{
    QTest::addColumn<int>("reported"); // what the server last said; -1: nothing, setting unset
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("unset") << -1 << "Accept Private Room Invitations"
                           << hexBytes("05000000 8d000000 01");
    QTest::newRow("off") << 0 << "Accept Private Room Invitations"
                         << hexBytes("05000000 8d000000 01");
    QTest::newRow("on") << 1 << "Reject Private Room Invitations"
                        << hexBytes("05000000 8d000000 00");
}

void tst_WindowPages::privateRoomInvitations()
{
    QFETCH(int, reported);
    QFETCH(QString, text);
    QFETCH(QByteArray, sent);

    const auto client = Started(true);
    if (reported < 0) {
        Settings::Remove(SettingKeys::EnablePrivateRoomAdd);
    } else {
        QVERIFY(client->Deliver(
            WireWriter().u32(ServerCode::PrivateRoomInvitations).u8(quint8(reported))));
        QCOMPARE(Settings::IsYes(SettingKeys::EnablePrivateRoomAdd), reported == 1);
    }
    QWidget* list = client->Child("roomList");
    QCOMPARE(client->BarTexts(list).value(3), text);
    client->Trigger(list, text);
    QCOMPARE(client->Sent(), QList<QByteArray>{sent});
}

void tst_WindowPages::giveUpRoom_data()
{
    QTest::addColumn<bool>("owner");
    QTest::addColumn<QString>("clicked"); // empty: the hidden membership action, emitted
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QList<QByteArray>>("sent");
    const int yes = QMessageBox::Yes;
    const int no = QMessageBox::No;
    const QString ask = "Give up membership?";
    QTest::newRow("ownership: yes, yes")
        << true << "Give Up Room" << QList<int>{yes, yes} << QStringList{ask, "REALLY?"}
        << QList<QByteArray>{hexBytes("09000000 89000000 01000000 72"),
                             hexBytes("09000000 0f000000 01000000 72")};
    QTest::newRow("ownership: no")
        << true << "Give Up Room" << QList<int>{no} << QStringList{ask} << QList<QByteArray>{};
    QTest::newRow("ownership: yes, no") << true << "Give Up Room" << QList<int>{yes, no}
                                        << QStringList{ask, "REALLY?"} << QList<QByteArray>{};
    QTest::newRow("membership: yes")
        << false << "Give Up Membership" << QList<int>{yes} << QStringList{ask}
        << QList<QByteArray>{hexBytes("09000000 88000000 01000000 72")};
    QTest::newRow("membership: no") << false << "Give Up Membership" << QList<int>{no}
                                    << QStringList{ask} << QList<QByteArray>{};
    // The tab hides the action from an owner; the window refuses it all the same.
    QTest::newRow("membership of an owner: not asked")
        << true << "" << QList<int>{yes} << QStringList{} << QList<QByteArray>{};
}

void tst_WindowPages::giveUpRoom()
{
    QFETCH(bool, owner);
    QFETCH(QString, clicked);
    QFETCH(QList<int>, answers);
    QFETCH(QStringList, boxes);
    QFETCH(QList<QByteArray>, sent);

    const auto client = Started(true);
    ItemPtr room = ServerStore::Room("r");
    ServerStore::SetFlag(room, "is_member");
    if (owner)
        ServerStore::SetFlag(room, "is_owner");
    RoomForm* form = EnterRoom(*client, "r");
    QVERIFY(form);
    for (int answer : answers)
        client->dialogs.answers << QMessageBox::StandardButton(answer);
    if (clicked.isEmpty())
        Q_EMIT actionBar->ActionTriggered(form, "give_up_membership");
    else
        client->Trigger(form, clicked);
    QStringList titles;
    for (const ModalDialogs::MessageBox& box : client->dialogs.shown) {
        titles << box.title;
        QCOMPARE(box.defaultButton, QMessageBox::No);
    }
    QCOMPARE(titles, boxes);
    if (owner && !boxes.isEmpty())
        QCOMPARE(client->dialogs.shown.at(0).text,
                 QString("Are you SURE you want to give up your ownership of the r private room?"));
    QCOMPARE(client->Sent(), sent);
}

void tst_WindowPages::toggleAutojoinTwice()
{
    const auto client = Started(true);
    RoomForm* form = EnterRoom(*client, "r");
    QVERIFY(form);
    ItemPtr room = ServerStore::Room("r");
    client->Trigger(form, "Auto-Join Room [off]");
    QVERIFY(room.IsConnected("room_autojoin"));
    client->Trigger(form, "Auto-Join Room [on]");
    QVERIFY(!room.IsConnected("room_autojoin"));
}

void tst_WindowPages::roomChatLogStaysInItsFolder()
{
    const auto client = Started(true);
    RoomForm* form = EnterRoom(*client, "../../x");
    QVERIFY(form);
    client->Trigger(form, "Chat Log");
    auto* tabs = client->Child<QTabWidget>("roomsTabControl");
    QCOMPARE(tabs->count(), 2);
    auto* viewer = qobject_cast<ChatLogForm*>(tabs->widget(1));
    QVERIFY(viewer);
    QCOMPARE(tabs->currentWidget(), viewer);
    const QString rooms = client->home.Path() + "/Quorvale Chat Logs/Rooms";
    QCOMPARE(QFileInfo(viewer->LogPath()).absolutePath(), rooms);
    QCOMPARE(viewer->LogPath(), ChatLog::Path(ChatLog::Kind::Room, "../../x"));

    tabs->setCurrentWidget(form);
    client->Trigger(form, "Chat Log");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->currentWidget(), viewer);
}

void tst_WindowPages::privateChatTabs()
{
    const auto client = Started(true);
    const HeldClock clock(QDateTime(QDate(2026, 3, 5), QTime(14, 5, 9)));
    const QString started = "* Chat started Mar 5 2:05:09 pm\n";
    auto* tabs = client->Child<QTabWidget>("chatTabControl");
    const auto message = [](quint32 id, const char* text) {
        return WireWriter().u32(ServerCode::PrivateChat).u32(id).u32(0).str("bob").str(text).u8(1);
    };

    QVERIFY(client->Deliver(message(1, "first")));
    QVERIFY(client->Deliver(message(2, "<b>second</b>")));
    QCOMPARE(tabs->count(), 1);
    auto* form = qobject_cast<ChatForm*>(tabs->widget(0));
    QVERIFY(form);
    QCOMPARE(tabs->tabText(0), QString("bob"));
    QCOMPARE(form->Text(), started + "[bob] first\n[bob] <b>second</b>");
    // Not known online yet: the offline dot, and the server is asked to follow bob.
    QCOMPARE(Image(tabs->tabIcon(0)), Image(QIcon(":/icons/offline_dot_icon")));
    QVERIFY(client->Sent().contains(frameOf(WireWriter().u32(ServerCode::AddUser).str("bob"))));

    client->window->OnChatTabClosed(0);
    QCOMPARE(tabs->count(), 0);
    QVERIFY(!ServerStore::User("bob").IsConnected("user_chat_widget"));
    QVERIFY(client->Deliver(message(3, "third")));
    QCOMPARE(tabs->count(), 1);
    form = qobject_cast<ChatForm*>(tabs->widget(0));
    QCOMPARE(form->Text(), started + "[bob] third");

    ServerStore::SetFlag(ServerStore::User("bob"), "is_online");
    QCOMPARE(Image(tabs->tabIcon(0)), Image(QIcon(":/icons/online_dot_icon")));
    ServerStore::SetFlag(ServerStore::User("carol"), "is_online");
    ServerStore::ClearFlag(ServerStore::User("bob"), "is_online");
    QCOMPARE(Image(tabs->tabIcon(0)), Image(QIcon(":/icons/offline_dot_icon")));
    QCOMPARE(tabs->count(), 1);
}

void tst_WindowPages::openChatFormBringsTheTabForward()
{
    const auto client = Started();
    ServerStore::SetFlag(ServerStore::User("ann"), "is_online");
    client->window->OpenChatForm("bob");
    client->window->OpenChatForm("ann");
    auto* tabs = client->Child<QTabWidget>("chatTabControl");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(Image(tabs->tabIcon(1)), Image(QIcon(":/icons/online_dot_icon")));
    auto* pages = client->Child<QTabWidget>("tabControl");
    pages->setCurrentIndex(0);
    client->window->OpenChatForm("bob");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(pages->currentWidget()->objectName(), QString("chatTab"));

    // The close button takes its own tab only, not the one that moves into its place.
    Q_EMIT tabs->tabCloseRequested(0);
    QCOMPARE(tabs->count(), 1);
    QCOMPARE(tabs->tabText(0), QString("ann"));
}

void tst_WindowPages::privateMessageBurstsAreSpreadOverTurns_data()
{
    // Users writing at once, lines each, in one read of the server connection, every slice cut
    // after so many steps (0: the turn's time alone).
    QTest::addColumn<int>("users");
    QTest::addColumn<int>("linesEach");
    QTest::addColumn<int>("steps");
    QTest::newRow("tabs, a step a slice") << 21 << 2 << 1;
    QTest::newRow("tabs, a few steps a slice") << 21 << 2 << 5;
    QTest::newRow("lines, a few steps a slice") << 1 << 201 << 5;
    QTest::newRow("tabs, by time") << 21 << 2 << 0;
}

void tst_WindowPages::privateMessageBurstsAreSpreadOverTurns()
{
    QFETCH(int, users);
    QFETCH(int, linesEach);
    QFETCH(int, steps);

    const auto client = Started(true);
    Settings::Set(SettingKeys::ChatTimestamps, "no_timestamps");
    auto* tabs = client->Child<QTabWidget>("chatTabControl");
    const TurnBudget::StepsForTesting sliced(steps);
    // Line by line of each user, user after user, as a burst of the server's comes.
    QByteArray burst;
    for (int u = 0; u < users; ++u) {
        for (int line = 0; line < linesEach; ++line)
            burst += frameOf(WireWriter()
                                 .u32(ServerCode::PrivateChat)
                                 .u32(quint32(u * linesEach + line))
                                 .u32(0)
                                 .str("u" + QByteArray::number(u))
                                 .str(QByteArray::number(line))
                                 .u8(1));
    }
    client->fake.sendRaw(burst);
    const auto shown = [tabs] {
        int lines = 0;
        for (int i = 0; i < tabs->count(); ++i)
            lines += int(qobject_cast<ChatForm*>(tabs->widget(i))->Text().count('\n')) + 1;
        return lines;
    };
    QTRY_COMPARE_WITH_TIMEOUT(shown(), users * linesEach, 20000);
    // As in one go: a tab per user in the order they wrote, each tab's lines in the order they
    // came.
    QCOMPARE(tabs->count(), users);
    QStringList lines;
    for (int line = 0; line < linesEach; ++line)
        lines << QString("[u%1] %2").arg(users - 1).arg(line);
    for (int u = 0; u < users; ++u)
        QCOMPARE(tabs->tabText(u), QString("u%1").arg(u));
    QCOMPARE(qobject_cast<ChatForm*>(tabs->widget(users - 1))->Text(), lines.join('\n'));
}

void tst_WindowPages::chatTabsCloseByTheirPaintedButtons_data()
{
    // Of three tabs, cat's in front, the one whose close button is clicked; the pointer stays,
    // over another tab's title or no tab.
    QTest::addColumn<int>("closed");
    QTest::addColumn<QString>("left");
    QTest::newRow("first") << 0 << "bartholomew cat";
    QTest::newRow("middle") << 1 << "ann cat";
    QTest::newRow("last, in front") << 2 << "ann bartholomew";
}

void tst_WindowPages::chatTabsCloseByTheirPaintedButtons()
{
    QFETCH(int, closed);
    QFETCH(QString, left);

    const auto client = Started();
    auto* tabs = client->Child<QTabWidget>("chatTabControl");
    for (const char* user : {"ann", "bartholomew", "cat"})
        client->window->OpenChatForm(user);
    QTabBar* bar = tabs->tabBar();
    // No button widget on a tab: the bar paints the close buttons, at the tab's right end.
    for (int i = 0; i < 3; ++i)
        QVERIFY(!bar->tabButton(i, QTabBar::RightSide) && !bar->tabButton(i, QTabBar::LeftSide));
    QVERIFY(QTest::qWaitForWindowExposed(client->window.get()));
    const QPoint close(bar->tabRect(closed).right() - 20, bar->tabRect(closed).center().y());
    QTest::mouseMove(bar, close);
    QTest::mouseClick(bar, Qt::LeftButton, {}, close);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0) + " " + tabs->tabText(1), left);
    QCOMPARE(tabs->currentIndex(), 1);
    // The bar shows the hover as the pointer there would.
    const QImage shown = bar->grab().toImage();
    QMouseEvent move(QEvent::MouseMove, close, bar->mapToGlobal(close), Qt::NoButton, {}, {});
    QApplication::sendEvent(bar, &move);
    QCOMPARE(bar->grab().toImage(), shown);
    // The title selects.
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(0).topLeft() + QPoint(6, 6));
    QCOMPARE(tabs->currentIndex(), 0);
}

void tst_WindowPages::tabTitlesShowAmpersands_data()
{
    // A room or a user, and whether its chat log is opened from its tab as well.
    QTest::addColumn<QByteArray>("room");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<bool>("log");
    QTest::addColumn<QString>("title");
    QTest::newRow("room tab") << QByteArray("R&B") << QByteArray() << false << "R&&B";
    QTest::newRow("room chat log") << QByteArray("R&B") << QByteArray() << true << "R&&B";
    QTest::newRow("private chat tab") << QByteArray() << QByteArray("b&b") << false << "b&&b";
    QTest::newRow("private chat log") << QByteArray() << QByteArray("b&b") << true << "b&&b";
    QTest::newRow("two, UTF-8 room")
        << QByteArray("&&" + kCafe) << QByteArray() << false << "&&&&" + QString::fromUtf8(kCafe);
}

void tst_WindowPages::tabTitlesShowAmpersands()
{
    QFETCH(QByteArray, room);
    QFETCH(QByteArray, user);
    QFETCH(bool, log);
    QFETCH(QString, title);
    const auto client = Started(true);
    QWidget* form = nullptr;
    QTabWidget* tabs = nullptr;
    if (!room.isEmpty()) {
        form = EnterRoom(*client, room);
        tabs = client->Child<QTabWidget>("roomsTabControl");
    } else {
        client->window->OpenChatForm(user.toStdString());
        tabs = client->Child<QTabWidget>("chatTabControl");
        form = tabs->widget(0);
    }
    QVERIFY(form);
    if (log)
        client->Trigger(form, "Chat Log");
    QCOMPARE(tabs->count(), log ? 2 : 1);
    QCOMPARE(tabs->tabText(tabs->count() - 1), title);
}

QTEST_MAIN(tst_WindowPages)
#include "tst_windowpages.moc"

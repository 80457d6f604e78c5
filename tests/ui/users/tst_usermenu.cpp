// The per-user menu in the running window: its entries and private-room submenus from the store,
// what its entries change or send (compared byte for byte at the fake server), the users page's
// rows its entries remove; the note dialog, also from a room's note column; the item log viewer.

#include "shell/MainWindowClient.h"

#include "server/ServerStore.h"
#include "shell/DisplayText.h"
#include "ui/chat/RoomForm.h"
#include "ui/users/ItemLogDialog.h"
#include "ui/users/UserGroupsDialog.h"
#include "ui/users/UserListForm.h"
#include "ui/users/UserMenuOptions.h"
#include "ui/users/UserNoteDialog.h"

#include <QApplication>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTreeWidget>

namespace {

using namespace ItemLogTypes;
using ServerTypes::InUserList;

const char kJose[] = "Jos\xe9"; // Latin-1, as the server hands out names

std::unique_ptr<Client> Started(const SeededUsers& users = {}, bool logIn = false)
{
    auto client = std::make_unique<Client>("alice", StoredSettings{}, users);
    client->Start();
    if (logIn)
        client->LogIn();
    return client;
}

// Runs the user's entries on the menu through the menu call, picking the choice; what it showed.
QStringList RunUserMenu(Client& client, QMenu& menu, const std::string& user,
                        const QString& choice = {})
{
    UserMenuOptions options(&menu, user);
    client.dialogs.menuChoices << choice;
    ModalDialogs::Current().RunMenu(&menu, QPoint());
    return client.dialogs.menus.constLast().entries;
}

QStringList RunUserMenu(Client& client, const std::string& user, const QString& choice = {})
{
    QMenu menu;
    return RunUserMenu(client, menu, user, choice);
}

void SetRole(ItemPtr room, const char* role, const std::string& user, bool on)
{
    if (on)
        room.NewItem(role) += ServerStore::User(user);
}

template <class T> QList<T*> Windows()
{
    QList<T*> found;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<T*>(window))
            found << dialog;
    }
    return found;
}

QString StoredNote(const std::string& user)
{
    return Utf8Text(ServerStore::FindUser(user)[ShellTypes::UserNote].AsString());
}

// A record of the user's log, attached last, as a writer would.
void AddRecord(ItemPtr user, int order, const char* area, int level, const char* text)
{
    const ItemPtr record = d.GetType(ItemLog)->NewItem();
    if (order)
        ServerStore::Link(record, LogOrder, Value(order));
    ServerStore::Link(record, LogArea, Value(area));
    ServerStore::Link(record, LogLevel, Value(level));
    ServerStore::Link(record, LogTime,
                      Value("Thu Mar 5 21:30:0" + std::to_string(order) + " 2026"));
    ServerStore::Link(record, LogText, Value(text));
    record += user;
}

} // namespace

class tst_UserMenu : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entries_data();
    void entries();
    void privateRooms_data();
    void privateRooms();
    void roomRequests_data();
    void roomRequests();
    void latin1Names_data();
    void latin1Names();
    void listedAgain();
    void rowRemovingEntries_data();
    void rowRemovingEntries();
    void noteSaves_data();
    void noteSaves();
    void oneNoteDialogPerUser();
    void roomNoteColumn_data();
    void roomNoteColumn();
    void itemLog();
};

void tst_UserMenu::entries_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<bool>("callerEntry");
    QTest::addColumn<QString>("expected");
    const QString tail = "|-|Unshare files from user|Ignore chat from user";
    QTest::newRow("unknown") << QByteArray("newbie") << false
                             << "Message user|Add user to list|Browse user's files|Add user note" +
                                    tail;
    QTest::newRow("listed, caller's entry")
        << QByteArray("ann") << true
        << "Own|-|Message user|Set user's groups|Remove user from list|Browse user's files|"
           "Add user note" +
               tail;
    QTest::newRow("noted, unshared, ignored")
        << QByteArray("bob") << false
        << "Message user|Add user to list|Browse user's files|Edit user note|-|"
           "Re-share files with user|Receive chat from user";
}

void tst_UserMenu::entries()
{
    QFETCH(QByteArray, user);
    QFETCH(bool, callerEntry);
    QFETCH(QString, expected);
    const auto client = Started({{"ann"}, {"bob", false, {}, "n", true, true}});
    QMenu menu;
    if (callerEntry)
        menu.addAction(QStringLiteral("Own"));
    QCOMPARE(RunUserMenu(*client, menu, user.toStdString()).join('|'), expected);
    QVERIFY(ServerStore::FindUser(user.toStdString()));
}

void tst_UserMenu::privateRooms_data()
{
    QTest::addColumn<bool>("member");
    QTest::addColumn<bool>("isOperator");
    QTest::addColumn<QString>("owned"); // the entries of each owned room
    QTest::newRow("member") << true << false << "Remove User's Membership|-|Make User Operator";
    QTest::newRow("member and operator")
        << true << true << "Remove User's Membership|-|Remove User's Operator Status";
    QTest::newRow("operator") << false << true
                              << "Give User Membership|-|Remove User's Operator Status";
    QTest::newRow("neither") << false << false << "Give User Membership";
}

void tst_UserMenu::privateRooms()
{
    QFETCH(bool, member);
    QFETCH(bool, isOperator);
    QFETCH(QString, owned);
    const auto client = Started();
    for (const char* name : {"c", "b", "a"}) {
        const ItemPtr room = ServerStore::Room(name);
        if (name[0] != 'c')
            ServerStore::SetFlag(room, ServerTypes::IsOwner);
        if (name[0] != 'b')
            ServerStore::SetFlag(room, ServerTypes::IsOperator);
        SetRole(room, ServerTypes::RoomMembers, "bob", member);
        SetRole(room, ServerTypes::RoomOperators, "bob", isOperator);
    }
    QMenu menu;
    const QStringList shown = RunUserMenu(*client, menu, "bob");
    QStringList expected{"-", "Private Rooms"};
    for (const QString room : {"a", "b"}) {
        expected << "Private Rooms > " + room;
        for (const QString& entry : owned.split('|'))
            expected << "Private Rooms > " + room + " > " + entry;
    }
    expected << "Private Rooms > c"
             << QString("Private Rooms > c > ") +
                    (member ? "Remove User's Membership" : "Give User Membership");
    QCOMPARE(shown.mid(shown.indexOf("Ignore chat from user") + 1), expected);

    const QList<QAction*> rooms = menu.actions().constLast()->menu()->actions();
    QCOMPARE(rooms.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const bool isOwned = i < 2;
        QCOMPARE(rooms[i]->font().bold(), isOwned);
        QCOMPARE(rooms[i]->font().underline(), isOwned);
        QCOMPARE(rooms[i]->icon().isNull(), !isOwned);
    }
}

void tst_UserMenu::roomRequests_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("member");
    QTest::addColumn<bool>("isOperator");
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("give membership")
        << "Give User Membership" << false << false << QByteArray("86000000");
    QTest::newRow("remove membership")
        << "Remove User's Membership" << true << false << QByteArray("87000000");
    QTest::newRow("make operator")
        << "Make User Operator" << true << false << QByteArray("8f000000");
    QTest::newRow("remove operator")
        << "Remove User's Operator Status" << false << true << QByteArray("90000000");
}

void tst_UserMenu::roomRequests()
{
    QFETCH(QString, entry);
    QFETCH(bool, member);
    QFETCH(bool, isOperator);
    QFETCH(QByteArray, code);
    const auto client = Started({}, true);
    const ItemPtr room = ServerStore::Room("r");
    ServerStore::SetFlag(room, ServerTypes::IsOwner);
    SetRole(room, ServerTypes::RoomMembers, "bob", member);
    SetRole(room, ServerTypes::RoomOperators, "bob", isOperator);
    RunUserMenu(*client, "bob", "Private Rooms > r > " + entry);
    QCOMPARE(client->Sent(), QList<QByteArray>{QByteArray::fromHex("10000000" + code +
                                                                   "0100000072030000006"
                                                                   "26f62")});
    // The menu changes nothing itself: the server's answer does.
    QCOMPARE(room[ServerTypes::RoomMembers].IsConnected(ServerStore::User("bob")), member);
}

void tst_UserMenu::latin1Names_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QByteArray>("flag");
    QTest::newRow("ignore") << "Ignore chat from user" << QByteArray(ServerTypes::IsIgnored);
    QTest::newRow("unshare") << "Unshare files from user" << QByteArray(SharesTypes::Unshared);
    QTest::newRow("add") << "Add user to list" << QByteArray(InUserList);
}

void tst_UserMenu::latin1Names()
{
    QFETCH(QString, entry);
    QFETCH(QByteArray, flag);
    const auto client = Started();
    ServerStore::User(kJose);
    const size_t users = d.GetType(ServerTypes::User)->ItemCount();
    RunUserMenu(*client, kJose, entry);
    QVERIFY(ServerStore::User(kJose).IsConnected(flag.constData()));
    QCOMPARE(ServerStore::FlaggedItems(flag.constData(), ServerTypes::User).size(), size_t(1));
    QCOMPARE(d.GetType(ServerTypes::User)->ItemCount(), users);
}

void tst_UserMenu::listedAgain()
{
    const auto client = Started({{"ann", true, {"friends"}}});
    const ItemPtr ann = ServerStore::User("ann");
    RunUserMenu(*client, "ann", "Remove user from list");
    QVERIFY(!ann.IsConnected(InUserList));
    RunUserMenu(*client, "ann", "Add user to list");
    // The old list item went with its groups, not to be saved with them.
    QCOMPARE(d.GetType(InUserList)->ItemCount(), size_t(1));
    QVERIFY(ann.IsConnected(InUserList));
    QCOMPARE(ann[InUserList].GetItems(ServerTypes::UserListGroup).size(), size_t(0));
    const QList<UserGroupsDialog*> dialogs = client->window->findChildren<UserGroupsDialog*>();
    QCOMPARE(dialogs.size(), 1);
    QCOMPARE(dialogs[0]->windowTitle(), QString("User Groups for [ann]"));
}

void tst_UserMenu::rowRemovingEntries_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("entry");
    QTest::newRow("user list") << QByteArray("userList") << "Remove user from list";
    QTest::newRow("unshared") << QByteArray("unsharedList") << "Re-share files with user";
    QTest::newRow("ignored") << QByteArray("ignoredList") << "Receive chat from user";
}

void tst_UserMenu::rowRemovingEntries()
{
    QFETCH(QByteArray, list);
    QFETCH(QString, entry);
    const auto client = Started({{kJose, true, {}, "n", true, true}});
    client->Child<QTabWidget>("tabControl")->setCurrentWidget(client->Child("tab_2"));
    auto* tree = userListForm->findChild<QTreeWidget*>(list.constData());
    userListForm->findChild<QTabWidget*>("tabWidget")->setCurrentWidget(tree->parentWidget());
    QVERIFY(QTest::qWaitForWindowExposed(client->window.get()));
    client->dialogs.menuChoices << entry;
    Q_EMIT tree->customContextMenuRequested(tree->visualItemRect(tree->topLevelItem(0)).center());
    QCOMPARE(client->dialogs.menus.size(), 1);
    QCOMPARE(tree->topLevelItemCount(), 0);
}

void tst_UserMenu::noteSaves_data()
{
    QTest::addColumn<QString>("typed"); // null: left as shown
    QTest::addColumn<bool>("clear");
    QTest::addColumn<bool>("save");
    QTest::addColumn<QString>("stored");
    QTest::newRow("blanks") << "  \n " << false << true << QString();
    QTest::newRow("clear, close") << QString() << true << false << "old";
    QTest::newRow("clear, save") << QString() << true << true << QString();
    QTest::newRow("trimmed") << "\n  a\n b  \n" << false << true << "a\n b";
    QTest::newRow("markup") << "<b>x</b> & y\nz" << false << true << "<b>x</b> & y\nz";
}

void tst_UserMenu::noteSaves()
{
    QFETCH(QString, typed);
    QFETCH(bool, clear);
    QFETCH(bool, save);
    QFETCH(QString, stored);
    const auto client = Started({{"ann", true, {}, "old"}});
    RunUserMenu(*client, "ann", "Edit user note");
    QPointer<UserNoteDialog> dialog = UserNoteDialog::GetDialog("ann");
    QVERIFY(dialog->isVisible());
    auto* edit = dialog->findChild<QTextEdit*>("noteEdit");
    QCOMPARE(edit->toPlainText(), QString("old"));
    if (!typed.isNull())
        edit->setPlainText(typed);
    if (clear)
        dialog->findChild<QPushButton*>("clearButton")->click();
    if (save)
        dialog->findChild<QPushButton*>("saveButton")->click();
    else
        dialog->close();
    QTRY_VERIFY(!dialog);
    QCOMPARE(StoredNote("ann"), stored);

    // Shown again as stored, and saved again unchanged.
    dialog = UserNoteDialog::GetDialog("ann");
    QCOMPARE(dialog->findChild<QTextEdit*>("noteEdit")->toPlainText(), stored);
    dialog->OnSaveNote();
    QTRY_VERIFY(!dialog);
    QCOMPARE(StoredNote("ann"), stored);
}

void tst_UserMenu::oneNoteDialogPerUser()
{
    const auto client = Started({{"ann"}, {"bob"}});
    QPointer<UserNoteDialog> ann = UserNoteDialog::GetDialog("ann");
    QCOMPARE(UserNoteDialog::GetDialog("ann"), ann.data());
    QPointer<UserNoteDialog> bob = UserNoteDialog::GetDialog("bob");
    QVERIFY(bob != ann);
    for (UserNoteDialog* dialog : {ann.data(), bob.data()}) {
        dialog->findChild<QTextEdit*>("noteEdit")->setPlainText("same");
        dialog->OnSaveNote();
    }
    QTRY_VERIFY(!ann && !bob);
    QCOMPARE(ServerStore::User("ann")[ShellTypes::UserNote],
             ServerStore::User("bob")[ShellTypes::UserNote]);

    ann = UserNoteDialog::GetDialog("ann");
    QCOMPARE(Windows<UserNoteDialog>().size(), 1);
    QCOMPARE(ann->findChild<QTextEdit*>("noteEdit")->toPlainText(), QString("same"));
    ann->findChild<QTextEdit*>("noteEdit")->setPlainText("other");
    ann->OnSaveNote();
    QCOMPARE(StoredNote("ann"), QString("other"));
    QCOMPARE(StoredNote("bob"), QString("same"));
}

void tst_UserMenu::roomNoteColumn_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("opens");
    QTest::newRow("note column, noted") << QByteArray(kJose) << 3 << true;
    QTest::newRow("name column, noted") << QByteArray(kJose) << 2 << false;
    QTest::newRow("note column, no note") << QByteArray("bob") << 3 << false;
}

void tst_UserMenu::roomNoteColumn()
{
    QFETCH(QByteArray, user);
    QFETCH(int, column);
    QFETCH(bool, opens);
    const auto client = Started({{kJose, false, {}, "n"}}, true);
    QVERIFY(client->Deliver(RoomEnteredReply("lobby", {RoomUser(kJose), RoomUser("bob")})));
    auto* form = qobject_cast<RoomForm*>(client->Child<QTabWidget>("roomsTabControl")->widget(0));
    auto* tree = form->findChild<QTreeWidget*>("userList");
    QTRY_COMPARE(form->Users().size(), 2);
    const QList<QTreeWidgetItem*> rows =
        tree->findItems(NameText(user.toStdString()), Qt::MatchExactly, 2);
    QCOMPARE(rows.size(), 1);
    Q_EMIT tree->itemClicked(rows[0], column);
    const QList<UserNoteDialog*> dialogs = Windows<UserNoteDialog>();
    QCOMPARE(dialogs.size(), opens ? 1 : 0);
    if (opens) {
        QVERIFY(dialogs[0]->isVisible());
        QCOMPARE(dialogs[0]->windowTitle(), NameText(kJose));
        dialogs[0]->close();
    }
}

void tst_UserMenu::itemLog()
{
    const auto client = Started();
    const ItemPtr bob = ServerStore::User("bob");
    AddRecord(bob, 2, "A", 1, "second");
    AddRecord(bob, 1, "B", 3, "first");
    AddRecord(bob, 0, "C", 1, "unordered");
    QPointer<ItemLogDialog> dialog = new ItemLogDialog(bob);
    auto* tabs = dialog->findChild<QTabWidget*>("logTabWidget");
    const auto page = [tabs](int i) {
        return qobject_cast<QTextBrowser*>(tabs->widget(i))->toPlainText();
    };
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(QStringList({tabs->tabText(0), tabs->tabText(1), tabs->tabText(2)}),
             QStringList({"All", "B", "A"}));
    QCOMPARE(page(1), QString("[Thu Mar 5 21:30:01 2026]       first"));
    QCOMPARE(page(0), page(1) + "\n[Thu Mar 5 21:30:02 2026] second");

    const char hostile[] = "<img src=x> <a href=\"javascript:x\">j</a>";
    AddRecord(bob, 3, "A", 1, hostile);
    AddRecord(ServerStore::User("ann"), 4, "A", 1, "not bob's");
    QCOMPARE(tabs->count(), 3);
    const QString line = QString("[Thu Mar 5 21:30:03 2026] ") + hostile;
    QVERIFY(page(2).endsWith("second\n" + line));
    QVERIFY(page(0).endsWith("second\n" + line));

    const auto records = bob.GetItems(ItemLog).SortNumericBy(LogOrder, true);
    const ItemPtr first = records.front();
    const ItemPtr last = records.back();
    QVERIFY(ItemLogDialog::CompareLogItemDates(first, last));
    QVERIFY(!ItemLogDialog::CompareLogItemDates(last, first));
    dialog->close();
    QTRY_VERIFY(!dialog);
}

QTEST_MAIN(tst_UserMenu)
#include "tst_usermenu.moc"

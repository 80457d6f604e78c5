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
QStringList RunUserMenu(Client& client, const std::string& user, const QString& choice = {},
                        QMenu* menu = nullptr)
{
    QMenu own;
    menu = menu ? menu : &own;
    UserMenuOptions options(menu, user);
    client.dialogs.menuChoices << choice;
    ModalDialogs::Current().RunMenu(menu, QPoint());
    return client.dialogs.menus.constLast().entries;
}

QList<UserNoteDialog*> NoteDialogs()
{
    QList<UserNoteDialog*> found;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<UserNoteDialog*>(window))
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
    void flagsAndRows_data();
    void flagsAndRows();
    void listedAgain();
    void noteSaves_data();
    void noteSaves();
    void oneNoteDialogPerUser();
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
    QCOMPARE(RunUserMenu(*client, user.toStdString(), {}, &menu).join('|'), expected);
    QVERIFY(ServerStore::FindUser(user.toStdString()));
}

void tst_UserMenu::privateRooms_data()
{
    QTest::addColumn<bool>("member");
    QTest::addColumn<bool>("isOperator");
    QTest::addColumn<QString>("owned");   // the entries of each owned room
    QTest::addColumn<QString>("entry");   // picked in room "a"
    QTest::addColumn<QByteArray>("code"); // what that sends
    const QString remove = "Remove User's Membership";
    QTest::newRow("member") << true << false << remove + "|-|Make User Operator"
                            << "Make User Operator" << QByteArray("8f000000");
    QTest::newRow("member, leaves")
        << true << false << remove + "|-|Make User Operator" << remove << QByteArray("87000000");
    QTest::newRow("member and operator")
        << true << true << remove + "|-|Remove User's Operator Status"
        << "Remove User's Operator Status" << QByteArray("90000000");
    QTest::newRow("operator") << false << true
                              << "Give User Membership|-|Remove User's Operator Status"
                              << "Give User Membership" << QByteArray("86000000");
}

void tst_UserMenu::privateRooms()
{
    QFETCH(bool, member);
    QFETCH(bool, isOperator);
    QFETCH(QString, owned);
    QFETCH(QString, entry);
    QFETCH(QByteArray, code);
    const auto client = Started({}, true);
    for (const char* name : {"c", "b", "a"}) {
        const ItemPtr room = ServerStore::Room(name);
        if (name[0] != 'c')
            ServerStore::SetFlag(room, ServerTypes::IsOwner);
        if (name[0] != 'b')
            ServerStore::SetFlag(room, ServerTypes::IsOperator);
        if (member)
            room.NewItem(ServerTypes::RoomMembers) += ServerStore::User("bob");
        if (isOperator)
            room.NewItem(ServerTypes::RoomOperators) += ServerStore::User("bob");
    }
    QMenu menu;
    const QStringList shown = RunUserMenu(*client, "bob", "Private Rooms > a > " + entry, &menu);
    QStringList expected{"-", "Private Rooms"};
    for (const QString room : {"a", "b"}) {
        expected << "Private Rooms > " + room;
        for (const QString& owner : owned.split('|'))
            expected << "Private Rooms > " + room + " > " + owner;
    }
    expected << "Private Rooms > c"
             << "Private Rooms > c > " + owned.split('|').at(0);
    QCOMPARE(shown.mid(shown.indexOf("Ignore chat from user") + 1), expected);
    // Room "a", user "bob".
    QCOMPARE(client->Sent(), QList<QByteArray>{QByteArray::fromHex(
                                 "10000000" + code + "0100000061" + "03000000626f62")});
    // Bold, underlined, icon.
    QStringList looks;
    for (const QAction* room : menu.actions().constLast()->menu()->actions())
        looks << QString::number(room->font().bold() + 2 * room->font().underline() +
                                 4 * !room->icon().isNull());
    QCOMPARE(looks, QStringList({"7", "7", "0"}));
}

void tst_UserMenu::flagsAndRows_data()
{
    QTest::addColumn<QByteArray>("list"); // the users page's list the menu is run on
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QByteArray>("flag");
    QTest::addColumn<bool>("flagged"); // after the entry
    QTest::newRow("remove from list")
        << QByteArray("userList") << "Remove user from list" << QByteArray(InUserList) << false;
    QTest::newRow("re-share") << QByteArray("unsharedList") << "Re-share files with user"
                              << QByteArray(SharesTypes::Unshared) << false;
    QTest::newRow("receive chat") << QByteArray("ignoredList") << "Receive chat from user"
                                  << QByteArray(ServerTypes::IsIgnored) << false;
    QTest::newRow("ignore") << QByteArray("userList") << "Ignore chat from user"
                            << QByteArray(ServerTypes::IsIgnored) << true;
}

// The entries on a Latin-1 name, from the menu of its own row: the row goes with the flag, and
// the slots change that user and make no other.
void tst_UserMenu::flagsAndRows()
{
    QFETCH(QByteArray, list);
    QFETCH(QString, entry);
    QFETCH(QByteArray, flag);
    QFETCH(bool, flagged);
    const auto client =
        Started({{kJose, true, {}, "n", list == "unsharedList", list == "ignoredList"}});
    client->Child<QTabWidget>("tabControl")->setCurrentWidget(client->Child("tab_2"));
    auto* tree = userListForm->findChild<QTreeWidget*>(list.constData());
    userListForm->findChild<QTabWidget*>("tabWidget")->setCurrentWidget(tree->parentWidget());
    QVERIFY(QTest::qWaitForWindowExposed(client->window.get()));
    const size_t users = d.GetType(ServerTypes::User)->ItemCount();
    client->dialogs.menuChoices << entry;
    Q_EMIT tree->customContextMenuRequested(tree->visualItemRect(tree->topLevelItem(0)).center());
    QCOMPARE(client->dialogs.menus.size(), 1);
    QCOMPARE(tree->topLevelItemCount(), flagged ? 1 : 0);
    QCOMPARE(ServerStore::FlaggedItems(flag.constData(), ServerTypes::User).size(),
             size_t(flagged ? 1 : 0));
    QCOMPARE(ServerStore::User(kJose).IsConnected(flag.constData()), flagged);
    QCOMPARE(d.GetType(ServerTypes::User)->ItemCount(), users);
}

void tst_UserMenu::listedAgain()
{
    const auto client = Started({{kJose, true, {"friends"}}});
    const ItemPtr jose = ServerStore::User(kJose);
    RunUserMenu(*client, kJose, "Remove user from list");
    RunUserMenu(*client, kJose, "Add user to list");
    // The old list item went with its groups, not to be saved with them.
    QCOMPARE(d.GetType(InUserList)->ItemCount(), size_t(1));
    QVERIFY(jose.IsConnected(InUserList));
    QCOMPARE(jose[InUserList].GetItems(ServerTypes::UserListGroup).size(), size_t(0));
    const QList<UserGroupsDialog*> dialogs = client->window->findChildren<UserGroupsDialog*>();
    QCOMPARE(dialogs.size(), 1);
    QCOMPARE(dialogs[0]->windowTitle(), "User Groups for [" + NameText(kJose) + "]");
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
    QVERIFY(dialog->isVisible()); // shown by the entry
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
    const auto save = [](const char* user, const char* text) {
        UserNoteDialog* dialog = UserNoteDialog::GetDialog(user);
        dialog->findChild<QTextEdit*>("noteEdit")->setPlainText(text);
        dialog->OnSaveNote();
    };
    const auto client = Started({{"ann"}, {"bob"}});
    UserNoteDialog* ann = UserNoteDialog::GetDialog("ann");
    QCOMPARE(UserNoteDialog::GetDialog("ann"), ann);
    QVERIFY(UserNoteDialog::GetDialog("bob") != ann);
    save("ann", "same");
    save("bob", "same");
    QTRY_COMPARE(NoteDialogs().size(), 0);
    QCOMPARE(ServerStore::User("ann")[ShellTypes::UserNote],
             ServerStore::User("bob")[ShellTypes::UserNote]);
    save("ann", "other");
    QCOMPARE(StoredNote("ann") + StoredNote("bob"), QString("othersame"));
}

// Only the note column of a user with a note opens the note.
void tst_UserMenu::roomNoteColumn()
{
    const auto client = Started({{kJose, false, {}, "n"}}, true);
    QVERIFY(client->Deliver(RoomEnteredReply("lobby", {RoomUser(kJose), RoomUser("bob")})));
    auto* form = qobject_cast<RoomForm*>(client->Child<QTabWidget>("roomsTabControl")->widget(0));
    auto* tree = form->findChild<QTreeWidget*>("userList");
    QCOMPARE(form->Users(), QStringList({"bob", NameText(kJose)}));
    Q_EMIT tree->itemClicked(tree->topLevelItem(0), 3);
    Q_EMIT tree->itemClicked(tree->topLevelItem(1), 2);
    QCOMPARE(NoteDialogs().size(), 0);
    Q_EMIT tree->itemClicked(tree->topLevelItem(1), 3);
    QCOMPARE(NoteDialogs().size(), 1);
    QVERIFY(NoteDialogs()[0]->isVisible());
    QCOMPARE(NoteDialogs()[0]->windowTitle(), NameText(kJose));
    NoteDialogs()[0]->close();
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

    const ItemList records = bob.GetItems(ItemLog).SortNumericBy(LogOrder, true);
    QVERIFY(ItemLogDialog::CompareLogItemDates(records.front(), records.back()));
    QVERIFY(!ItemLogDialog::CompareLogItemDates(records.back(), records.front()));
    dialog->close();
    QTRY_VERIFY(!dialog);
}

QTEST_MAIN(tst_UserMenu)
#include "tst_usermenu.moc"

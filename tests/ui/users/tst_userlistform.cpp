// The users page in the running window: its three lists from the store file and from changes
// made anywhere, the user list's order and cells, the user menus and the tool bar's actions; a
// user's groups, the groups' priorities and adding a user, with what reaches the fake server
// compared byte for byte.

#include "shell/MainWindowClient.h"

#include "server/ServerStore.h"
#include "shell/DisplayText.h"
#include "ui/users/AddUserDialog.h"
#include "ui/users/UserGroupConfigDialog.h"
#include "ui/users/UserGroupsDialog.h"
#include "ui/users/UserListForm.h"
#include "ui/users/UserMenuOptions.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTreeWidget>

namespace {

using ServerTypes::InUserList;
using Frames = QList<QByteArray>;

// Latin-1, as the server hands out names: "José", "Ünal", "Çelik".
const std::string kJose = "Jos\xe9";
const char kUnal[] = "\xdcnal";
const char kCelik[] = "\307elik";

std::unique_ptr<Client> Started(const SeededUsers& users = {}, bool logIn = false)
{
    auto client = std::make_unique<Client>("alice", StoredSettings{}, users);
    client->Start();
    if (logIn)
        client->LogIn();
    return client;
}

// One of the page's lists, in view.
QTreeWidget* List(Client& client, const char* name = "userList")
{
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("tab_2"));
    auto* list = userListForm->findChild<QTreeWidget*>(name);
    userListForm->findChild<QTabWidget*>("tabWidget")->setCurrentWidget(list->parentWidget());
    return list;
}

QStringList Column(QTreeWidget* list, int column = 0)
{
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts << list->topLevelItem(i)->text(column);
    return texts;
}

QTreeWidgetItem* Row(QTreeWidget* list, const QString& name)
{
    const QList<QTreeWidgetItem*> rows = list->findItems(name, Qt::MatchExactly);
    return rows.size() == 1 ? rows.at(0) : nullptr;
}

QImage Image(const QIcon& icon)
{
    return icon.pixmap(16, 16).toImage();
}

// The names of the rows with the online dot, in order.
QStringList Online(QTreeWidget* list)
{
    const QImage dot = Image(QIcon(":/icons/online_dot_icon"));
    QStringList names;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (Image(list->topLevelItem(i)->icon(0)) == dot)
            names << list->topLevelItem(i)->text(0);
    }
    return names;
}

ItemPtr User(const QString& name)
{
    return ServerStore::User(NameBytes(name));
}

ItemPtr Group(const char* name)
{
    return d.GetType(ServerTypes::UserListGroup)->GetItem(Value(name));
}

// A list of check boxes or names: each row's text, "+" before it when ticked.
QStringList Rows(const QListWidget* list)
{
    QStringList rows;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem* row = list->item(i);
        const bool ticked =
            (row->flags() & Qt::ItemIsUserCheckable) && row->checkState() == Qt::Checked;
        rows << (ticked ? "+" : "") + row->text();
    }
    return rows;
}

QListWidgetItem* Row(const QListWidget* list, const QString& text)
{
    const QList<QListWidgetItem*> rows = list->findItems(text, Qt::MatchExactly);
    return rows.size() == 1 ? rows.at(0) : nullptr;
}

UserGroupsDialog* GroupsDialog(Client& client, const char* user)
{
    auto* dialog = new UserGroupsDialog(user, client.window.get());
    dialog->show();
    return dialog;
}

UserGroupConfigDialog* ConfigDialog(Client& client)
{
    client.Trigger(List(client), "Configure User Groups");
    return userGroupConfigDialog;
}

// Types the text into the widget a key at a time, as a keyboard of any layout would.
void TypeKeys(QWidget* widget, const QString& text)
{
    for (const QChar c : text) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &key);
    }
}

QByteArray AddUserReply(const QByteArray& user, bool exists)
{
    WireWriter reply;
    reply.u32(ServerCode::AddUser).str(user).u8(exists ? 1 : 0);
    if (exists) // offline, and empty statistics
        reply.i32(0).u32(0).u64(0).u32(0).u32(0);
    return reply;
}

} // namespace

class tst_UserListForm : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listsFromTheStoreFile();
    void order_data();
    void order();
    void groupsCell_data();
    void groupsCell();
    void notesInEveryList();
    void userMenus_data();
    void userMenus();
    void toolBarActions();
    void groupTicks();
    void newGroups_data();
    void newGroups();
    void priorities();
    void addUser_data();
    void addUser();
};

void tst_UserListForm::listsFromTheStoreFile()
{
    const auto client = Started({{"bob", true, {"friends"}},
                                 {kJose},
                                 {"carol", false, {}, {}, true},
                                 {"dave", false, {}, {}, false, true},
                                 {"erin", true, {}, {}, true, true}});
    QTreeWidget* list = List(*client);
    QCOMPARE(Column(list), (QStringList{"bob", "erin", "José"}));
    QCOMPARE(Column(list, 1), (QStringList{"friends", "", ""}));
    QCOMPARE(Online(list), QStringList());
    QCOMPARE(Image(list->topLevelItem(0)->icon(0)), Image(QIcon(":/icons/offline_dot_icon")));
    // Sorted as the header's indicator stands at first (descending) until a click on it.
    QCOMPARE(Column(List(*client, "unsharedList")), (QStringList{"erin", "carol"}));
    QCOMPARE(Column(List(*client, "ignoredList")), (QStringList{"erin", "dave"}));

    // A watch for each listed user once logged in, the name's bytes as stored.
    client->AcceptLogin();
    const Frames sent = client->Sent();
    QVERIFY(sent.contains(hexBytes("0b000000 05000000 03000000 626f62")));
    QVERIFY(sent.contains(hexBytes("0c000000 05000000 04000000 4a6f73e9")));
    QVERIFY(sent.contains(frameOf(WireWriter().u32(ServerCode::AddUser).str("erin"))));
    QVERIFY(!sent.contains(frameOf(WireWriter().u32(ServerCode::AddUser).str("carol"))));
}

void tst_UserListForm::order_data()
{
    // "name" is put on the list, "+name" comes online, "-name" goes offline.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QStringList>("online");
    QTest::newRow("by name ignoring case") << QStringList{"carl", "Bob", "alice"}
                                           << QStringList{"alice", "Bob", "carl"} << QStringList{};
    QTest::newRow("online above every offline one")
        << QStringList{"ann", "bob", "zed", "+zed"} << QStringList{"zed", "ann", "bob"}
        << QStringList{"zed"};
    QTest::newRow("online ones by name too")
        << QStringList{"ann", "Bob", "cid", "dan", "+dan", "+Bob"}
        << QStringList{"Bob", "dan", "ann", "cid"} << QStringList{"Bob", "dan"};
    QTest::newRow("going offline moves back")
        << QStringList{"ann", "bob", "zed", "+zed", "+ann", "-zed"}
        << QStringList{"ann", "bob", "zed"} << QStringList{"ann"};
    QTest::newRow("added while online")
        << QStringList{"ann", "+zed", "zed"} << QStringList{"zed", "ann"} << QStringList{"zed"};
    QTest::newRow("online but not listed")
        << QStringList{"bob", "+ann"} << QStringList{"bob"} << QStringList{};
}

void tst_UserListForm::order()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, rows);
    QFETCH(QStringList, online);
    const auto client = Started();
    for (const QString& step : steps) {
        if (step.startsWith('+'))
            ServerStore::SetFlag(User(step.mid(1)), ServerTypes::IsOnline);
        else if (step.startsWith('-'))
            ServerStore::ClearFlag(User(step.mid(1)), ServerTypes::IsOnline);
        else
            User(step).NewItem(InUserList);
    }
    QTRY_COMPARE(Column(List(*client)), rows);
    QCOMPARE(Online(List(*client)), online);
}

void tst_UserListForm::groupsCell_data()
{
    QTest::addColumn<QByteArrayList>("groups");
    // "+g" links the user to g, "-g" unlinks it, "~g" removes the group itself.
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QString>("cell");
    QTest::newRow("byte order") << QByteArrayList{"beta", "Alpha", "Zed"} << QStringList{}
                                << "Alpha, Zed, beta";
    QTest::newRow("none") << QByteArrayList{} << QStringList{} << "";
    QTest::newRow("linked elsewhere")
        << QByteArrayList{"beta"} << QStringList{"+Alpha"} << "Alpha, beta";
    QTest::newRow("unlinked elsewhere")
        << QByteArrayList{"beta", "Alpha"} << QStringList{"-beta"} << "Alpha";
    QTest::newRow("group removed")
        << QByteArrayList{"beta", "Alpha"} << QStringList{"~Alpha"} << "beta";
    QTest::newRow("Latin-1 names") << QByteArrayList{"Caf\xe9"} << QStringList{} << "Café";
}

void tst_UserListForm::groupsCell()
{
    QFETCH(QByteArrayList, groups);
    QFETCH(QStringList, changes);
    QFETCH(QString, cell);
    std::vector<std::string> names;
    for (const QByteArray& group : groups)
        names.push_back(group.toStdString());
    const auto client = Started({{"bob", true, names}});
    const ItemPtr listed = User("bob")[InUserList];
    for (const QString& change : changes) {
        const ItemPtr group = Group(qPrintable(change.mid(1)));
        if (change.startsWith('+'))
            listed += group;
        else if (change.startsWith('-'))
            listed -= group;
        else
            group.Remove();
    }
    QCOMPARE(Row(List(*client), "bob")->text(1), cell);
}

void tst_UserListForm::notesInEveryList()
{
    const auto client = Started({{"bob", true, {}, {}, true, true}});
    const struct
    {
        const char* list;
        int column;
    } cells[] = {{"userList", 2}, {"unsharedList", 1}, {"ignoredList", 1}};
    const ItemPtr bob = User("bob");

    // Peer text stays text; a new note replaces the old.
    bob += d.GetType(ShellTypes::UserNote)->GetItem(Value("first"));
    bob += d.GetType(ShellTypes::UserNote)->GetItem(Value("<b>n</b> \xe2\x98\x95"));
    for (const auto& cell : cells) {
        QTreeWidgetItem* row = Row(List(*client, cell.list), "bob");
        QCOMPARE(row->text(cell.column), QString("<b>n</b> ☕"));
        QCOMPARE(Image(row->icon(cell.column)), Image(QIcon(":/icons/note_icon")));
    }
    bob.Disconnect(ShellTypes::UserNote);
    for (const auto& cell : cells) {
        QTreeWidgetItem* row = Row(List(*client, cell.list), "bob");
        QCOMPARE(row->text(cell.column), QString());
        QVERIFY(row->icon(cell.column).isNull());
    }

    // Rows go with their flags, and their ties with them.
    bob.Disconnect(InUserList);
    bob.Disconnect(SharesTypes::Unshared);
    bob.Disconnect(ServerTypes::IsIgnored);
    for (const auto& cell : cells)
        QCOMPARE(List(*client, cell.list)->topLevelItemCount(), 0);
    QCOMPARE(d.GetType(UserListTypes::UnsharedListNode)->ItemCount(), size_t(0));
}

void tst_UserListForm::userMenus_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("user"); // its one row's, as stored (Latin-1)
    QTest::newRow("user list") << QByteArray("userList") << QByteArray(kJose.c_str());
    QTest::newRow("unshared") << QByteArray("unsharedList") << QByteArray(kUnal);
    QTest::newRow("ignored") << QByteArray("ignoredList") << QByteArray(kCelik);
}

void tst_UserListForm::userMenus()
{
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, user);
    const auto client =
        Started({{kJose}, {kUnal, false, {}, {}, true}, {kCelik, false, {}, {}, false, true}});
    QTreeWidget* tree = List(*client, list.constData());
    QVERIFY(QTest::qWaitForWindowExposed(client->window.get()));
    std::string shown;
    client->dialogs.whileMenuOpen = [&shown](QMenu* menu) {
        if (auto* options = menu->findChild<UserMenuOptions*>())
            shown = options->User();
    };

    const QRect row = tree->visualItemRect(tree->topLevelItem(0));
    Q_EMIT tree->customContextMenuRequested(row.center());
    QCOMPARE(client->dialogs.menus.size(), 1);
    QCOMPARE(client->dialogs.menus.at(0).at, tree->viewport()->mapToGlobal(row.center()));
    QCOMPARE(shown, user.toStdString());

    // Below the last row: no menu.
    Q_EMIT tree->customContextMenuRequested(QPoint(row.center().x(), row.bottom() + 20));
    QCOMPARE(client->dialogs.menus.size(), 1);
}

void tst_UserListForm::toolBarActions()
{
    const auto client = Started({{"ann"}, {"bob"}});
    QTreeWidget* list = List(*client);
    QCOMPARE(client->BarTexts(list), (QStringList{"Add User", "Configure User Groups"}));
    client->Trigger(list, "Add User");
    client->Trigger(list, "Add User");
    QCOMPARE(userListForm->findChildren<AddUserDialog*>().size(), 2);

    // One configuration dialog, brought forward when asked for again; closing destroys it.
    QPointer<QDialog> config = ConfigDialog(*client);
    QVERIFY(QTest::qWaitForWindowActive(config));
    client->window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(client->window.get()));
    QVERIFY(ConfigDialog(*client) == config);
    QCOMPARE(userListForm->findChildren<UserGroupConfigDialog*>().size(), 1);
    QTRY_VERIFY(QApplication::activeWindow() == config);
    config->close();
    QTRY_VERIFY(config.isNull());
    QCOMPARE(userGroupConfigDialog, nullptr);

    // Offered by no set, answered all the same: the selected row's user leaves the list.
    userListForm->OnActionBarTriggered(nullptr, "remove_user");
    QCOMPARE(Column(list), (QStringList{"ann", "bob"}));
    list->setCurrentItem(Row(list, "bob"));
    userListForm->OnActionBarTriggered(nullptr, "remove_user");
    QCOMPARE(Column(list), QStringList{"ann"});
    QVERIFY(!User("bob").IsConnected(InUserList));
}

void tst_UserListForm::groupTicks()
{
    const auto client = Started({{"bob", true, {"work"}}});
    Group("friends");
    QPointer<UserGroupsDialog> dialog = GroupsDialog(*client, "bob");
    auto* list = dialog->findChild<QListWidget*>("groupListWidget");
    QCOMPARE(Rows(list), (QStringList{"friends", "+work"}));

    Row(list, "friends")->setCheckState(Qt::Checked);
    Row(list, "work")->setCheckState(Qt::Unchecked);
    QCOMPARE(Row(List(*client), "bob")->text(1), QString("friends"));

    // Taken off the list meanwhile: a tick puts nobody back on it.
    User("bob").Disconnect(InUserList);
    Row(list, "work")->setCheckState(Qt::Checked);
    QVERIFY(!User("bob").IsConnected(InUserList));

    // One per use of the menu entry: closed, it goes.
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
}

void tst_UserListForm::newGroups_data()
{
    QTest::addColumn<QString>("typed"); // "~name" removes that group instead
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QByteArray>("made"); // the group made, or nothing
    QTest::newRow("a name, trimmed")
        << " family  " << QStringList{"Zed", "beta", "family"} << QByteArray("family");
    QTest::newRow("blanks") << "   " << QStringList{"Zed", "beta"} << QByteArray();
    QTest::newRow("one that exists") << "beta" << QStringList{"Zed", "beta"} << QByteArray();
    QTest::newRow("Latin-1") << "Café" << QStringList{"Café", "Zed", "beta"}
                             << QByteArray("Caf\xe9");
    QTest::newRow("removed elsewhere") << "~beta" << QStringList{"Zed"} << QByteArray();
}

void tst_UserListForm::newGroups()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, rows);
    QFETCH(QByteArray, made);
    const auto client = Started({{"bob", true, {"beta"}}, {"ann", true, {"Zed"}}});
    UserGroupConfigDialog* config = ConfigDialog(*client);
    UserGroupsDialog* bobs = GroupsDialog(*client, "bob");
    UserGroupsDialog* anns = GroupsDialog(*client, "ann");
    const size_t before = d.GetType(ServerTypes::UserListGroup)->ItemCount();

    // Names are Latin-1: a character without a Latin-1 byte is refused as it is typed.
    auto* edit = bobs->findChild<QLineEdit*>("newGroupEdit");
    TypeKeys(edit, "Жé");
    QCOMPARE(edit->text(), QString("é"));
    if (typed.startsWith('~')) {
        Group(qPrintable(typed.mid(1))).Remove();
    } else {
        edit->setText(typed);
        bobs->findChild<QPushButton*>("newGroupButton")->click();
        QCOMPARE(edit->text(), QString());
        const size_t groups = d.GetType(ServerTypes::UserListGroup)->ItemCount();
        QCOMPARE(groups, before + (made.isEmpty() ? 0 : 1));
        if (!made.isEmpty())
            QVERIFY(d.GetType(ServerTypes::UserListGroup)->HasItem(Value(made.toStdString())));
    }

    // Every open dialog shows it, in order; nobody is put in it. A removed group stays in the
    // dialogs of users.
    QCOMPARE(Rows(config->findChild<QListWidget*>("groupList")), rows);
    if (typed.startsWith('~')) {
        rows << typed.mid(1);
        rows.sort();
    }
    const auto ticked = [&rows](const QString& group) {
        QStringList marked = rows;
        return marked.replaceInStrings(group, "+" + group);
    };
    QCOMPARE(Rows(bobs->findChild<QListWidget*>("groupListWidget")), ticked("beta"));
    QCOMPARE(Rows(anns->findChild<QListWidget*>("groupListWidget")), ticked("Zed"));
}

void tst_UserListForm::priorities()
{
    const auto client = Started({{"bob", true, {"friends", "work", "R&B"}}});
    UserGroupConfigDialog* config = ConfigDialog(*client);
    auto* list = config->findChild<QListWidget*>("groupList");
    auto* spin = config->findChild<QSpinBox*>("prioritySpinBox");
    auto* box = config->findChild<QGroupBox*>("groupBox");
    const auto priority = [](const char* group) {
        return Group(group)[ServerTypes::GroupDownloadPriority].AsString();
    };
    QCOMPARE(Rows(list), (QStringList{"R&B", "friends", "work"}));
    QVERIFY(!spin->isEnabled());

    list->setCurrentItem(Row(list, "friends"));
    QVERIFY(spin->isEnabled());
    spin->setValue(7);
    QCOMPARE(priority("friends"), std::string("7"));

    // Each group shows its own; one without has none.
    list->setCurrentItem(Row(list, "R&B"));
    QCOMPARE(box->title(), QString("R&&B"));
    QCOMPARE(spin->value(), 0);
    QCOMPARE(priority("R&B"), std::string());
    list->setCurrentItem(Row(list, "friends"));
    QCOMPARE(spin->value(), 7);
    spin->setValue(0);
    QVERIFY(!Group("friends").IsConnected(ServerTypes::GroupDownloadPriority));

    list->setCurrentItem(nullptr);
    QVERIFY(!spin->isEnabled());
    QCOMPARE(box->title(), QString());
}

void tst_UserListForm::addUser_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("online");
    QTest::addColumn<Frames>("sent");
    QTest::addColumn<Frames>("replies");
    QTest::addColumn<QStringList>("statuses"); // after the click, then after each reply
    QTest::addColumn<QByteArray>("listed");    // the user on the list at the end, or nobody

    const QString adding = "Adding user...";
    const QString added = "User added to list.";
    const QString missing = "User name does not exist.";
    const auto request = [](const char* user) {
        return Frames{frameOf(WireWriter().u32(ServerCode::AddUser).str(user))};
    };
    const QString empty = "User name must not be empty.";
    QTest::newRow("blanks, offline")
        << "  " << false << Frames{} << Frames{} << QStringList{empty} << QByteArray();
    QTest::newRow("offline") << "carl" << false << Frames{} << Frames{}
                             << QStringList{"Must be online to add a user to your list."}
                             << QByteArray();
    QTest::newRow("listed already") << " bob " << true << Frames{} << Frames{}
                                    << QStringList{"User already in list."} << QByteArray("bob");
    QTest::newRow("exists, after another name's reply")
        << "José" << true << Frames{hexBytes("0c000000 05000000 04000000 4a6f73e9")}
        << Frames{AddUserReply("jos\xe9", true), AddUserReply("Jos\xe9", true)}
        << QStringList{adding, adding, added} << QByteArray("Jos\xe9");
    QTest::newRow("does not exist")
        << "nobody" << true << request("nobody") << Frames{AddUserReply("nobody", false)}
        << QStringList{adding, missing} << QByteArray();
    QTest::newRow("known, not listed")
        << "dave" << true << request("dave") << Frames{AddUserReply("dave", true)}
        << QStringList{adding, added} << QByteArray("dave");
}

void tst_UserListForm::addUser()
{
    QFETCH(QString, typed);
    QFETCH(bool, online);
    QFETCH(Frames, sent);
    QFETCH(Frames, replies);
    QFETCH(QStringList, statuses);
    QFETCH(QByteArray, listed);
    const auto client = Started({{"bob"}, {"dave", false, {}, "a note"}}, online);
    client->Trigger(List(*client), "Add User");
    auto* dialog = userListForm->findChild<AddUserDialog*>();
    auto* edit = dialog->findChild<QLineEdit*>("userNameEdit");
    auto* button = dialog->findChild<QPushButton*>("addFriendButton");
    auto* status = dialog->findChild<QLineEdit*>("statusEdit");

    TypeKeys(edit, "Жé");
    edit->insert(" Семья");
    QCOMPARE(edit->text(), QString("é"));
    edit->setText(typed);
    button->click();
    QCOMPARE(status->text(), statuses.at(0));
    if (online)
        QCOMPARE(client->Sent(), sent);
    // Waiting for an answer: nothing to edit or click.
    QCOMPARE(edit->isReadOnly(), !sent.isEmpty());
    QCOMPARE(button->isEnabled(), sent.isEmpty());
    for (int i = 0; i < replies.size(); ++i) {
        QVERIFY(client->Deliver(replies.at(i)));
        QCOMPARE(status->text(), statuses.at(i + 1));
    }
    QCOMPARE(edit->text(), typed);
    QVERIFY(!edit->isReadOnly() && button->isEnabled());
    const size_t others = listed.isEmpty() || listed == "bob" ? 0 : 1;
    QCOMPARE(d.GetType(InUserList)->ItemCount(), 1 + others);
    if (!listed.isEmpty())
        QTRY_VERIFY(Row(List(*client), NameText(listed.toStdString())));
}

QTEST_MAIN(tst_UserListForm)
#include "tst_userlistform.moc"

// The options page in the running window: the controls writing their settings, the read-only
// fields, the shared-folder list with its access column, and the dialogs the window opens.

#include "MainWindowClient.h"

#include "server/ServerStore.h"
#include "shell/MainWindow.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "ui/dialogs/ColorSelectionDialog.h"
#include "ui/dialogs/DataDialog.h"
#include "ui/dialogs/SharedFilesRescannedDialog.h"
#include "ui/dialogs/TypeNavigatorDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QTreeWidget>

namespace {

const QString kFolder = QString::fromUtf8("/nowhere/m\xc3\xbcsic");

QTreeWidget* FolderList(Client& client)
{
    return client.window->findChild<QTreeWidget*>("sharedFoldersList");
}

ItemPtr Group(const char* name)
{
    return d.GetType("user_list_group")->GetItem(Value(name));
}

} // namespace

class TestOptionsPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void accessibleTo_data();
    void accessibleTo();
    void removedFolderLosesItsRow();
    void chatTimestamps_data();
    void chatTimestamps();
    void controlsWriteTheirSettings_data();
    void controlsWriteTheirSettings();
    void fieldsFollowTheLogin();
    void fileSharingTabTakesTheFocus();
    void dialogsOfTheWindow();
};

void TestOptionsPage::accessibleTo_data()
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

void TestOptionsPage::accessibleTo()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, shown);

    Client client("alice");
    client.Start();
    ItemPtr folder = d.GetType("shared_folder")->GetItem(Value(kFolder.toUtf8().toStdString()));
    QTreeWidget* list = FolderList(client);
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(0), kFolder);
    QCOMPARE(list->topLevelItem(0)->text(1), QString());

    for (const QString& step : steps) {
        const bool link = step.startsWith('+');
        const QString what = step.mid(1);
        ItemPtr other;
        if (what == "public")
            other = link ? folder.NewItem("shared_public") : folder["shared_public"];
        else if (what == "userlist")
            other = link ? folder.NewItem("shared_userlist") : folder["shared_userlist"];
        else if (what == "file")
            other = d.GetType("shared_file_folder")->GetItem(Value("/nowhere/m"));
        else
            other = Group(qPrintable(what));
        if (link)
            folder += other;
        else
            folder.Disconnect(other);
    }
    QCOMPARE(list->topLevelItem(0)->text(1), shown);
}

void TestOptionsPage::removedFolderLosesItsRow()
{
    Client client("alice");
    client.Start();
    Type* folders = d.GetType("shared_folder");
    folders->GetItem(Value("/a"));
    folders->GetItem(Value("/b"));
    QTreeWidget* list = FolderList(client);
    QCOMPARE(list->topLevelItemCount(), 2);
    folders->HasItem(Value("/a")).Remove();
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(0), QString("/b"));
}

void TestOptionsPage::chatTimestamps_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("after");
    QTest::newRow("unknown word") << "bogus" << 3 << "no_timestamps";
    QTest::newRow("long") << "per_message_long" << 2 << "per_message_long";
    QTest::newRow("default") << "" << 0 << "activity_based";
}

void TestOptionsPage::chatTimestamps()
{
    QFETCH(QString, stored);
    QFETCH(int, index);
    QFETCH(QString, after);

    StoredSettings settings;
    if (!stored.isEmpty())
        settings = {{SettingKeys::ChatTimestamps, stored.toStdString()}};
    Client client("alice", settings);
    client.Start();
    auto* box = client.window->findChild<QComboBox*>("chatTimestampsBox");
    QCOMPARE(box->currentIndex(), index);
    QCOMPARE(Settings::Text(SettingKeys::ChatTimestamps), after.toStdString());

    const char* const words[] = {"activity_based", "per_message_short", "per_message_long",
                                 "no_timestamps"};
    for (int i : {1, 0, 3, 2}) {
        box->setCurrentIndex(i);
        QCOMPARE(Settings::Text(SettingKeys::ChatTimestamps), std::string(words[i]));
    }
}

void TestOptionsPage::controlsWriteTheirSettings_data()
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

void TestOptionsPage::controlsWriteTheirSettings()
{
    QFETCH(QString, box);
    QFETCH(QString, key);
    QFETCH(bool, clickOnly);

    Client client("alice");
    client.Start();
    auto* check = client.window->findChild<QCheckBox*>(box);
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
    QCOMPARE(Settings::IsYes(setting), check->isChecked());
    QCOMPARE(Settings::Text(setting), std::string(check->isChecked() ? "yes" : "no"));
}

void TestOptionsPage::fieldsFollowTheLogin()
{
    Client client("alice");
    client.Start();
    auto* user = client.window->findChild<QLineEdit*>("usernameEdit");
    auto* port = client.window->findChild<QLineEdit*>("listeningPortEdit");
    QCOMPARE(user->text(), QString("alice"));
    QVERIFY(user->isReadOnly());
    QCOMPARE(port->text(), QString("0"));
    Settings::Set(SettingKeys::Username, "b\xe9la");
    QCOMPARE(user->text(), QString::fromUtf8("b\xc3\xa9la"));
    // The port in use stays; the field shows the pending one.
    Settings::Set(SettingKeys::NewListeningPort, "4000");
    QCOMPARE(port->text(), QString("4000"));
}

void TestOptionsPage::fileSharingTabTakesTheFocus()
{
    Client client("alice");
    client.Start();
    auto* tabs = client.window->findChild<QTabWidget*>("optionsTabControl");
    auto* list = FolderList(client);
    client.window->findChild<QTabWidget*>("tabControl")
        ->setCurrentWidget(client.window->findChild<QWidget*>("optionsTab"));
    tabs->setCurrentIndex(2);
    QVERIFY(!list->hasFocus());
    tabs->setCurrentWidget(client.window->findChild<QWidget*>("fileSharingOptionsTab"));
    QTRY_VERIFY(list->hasFocus());
}

void TestOptionsPage::dialogsOfTheWindow()
{
    Client client("alice");
    client.Start();
    MainWindow* window = client.window.get();

    window->OnShowData();
    window->OnShowData();
    QList<DataDialog*> data = window->findChildren<DataDialog*>();
    QCOMPARE(data.size(), 1);
    QVERIFY(data.at(0)->isVisible());
    QPointer<DataDialog> first = data.at(0);
    first->close();
    QTRY_VERIFY(first.isNull());
    window->OnShowData();
    QCOMPARE(window->findChildren<DataDialog*>().size(), 1);

    window->OnTypeNavigator();
    window->OnTypeNavigator();
    QCOMPARE(window->findChildren<TypeNavigatorDialog*>().size(), 1);

    window->OnSelectColors();
    window->OnSelectColors();
    QCOMPARE(window->findChildren<ColorSelectionDialog*>().size(), 2);

    window->OnSharedFilesRescanned(12, 0);
    const QList<SharedFilesRescannedDialog*> reports =
        window->findChildren<SharedFilesRescannedDialog*>();
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.at(0)->windowTitle(), QString("Shared Files Rescanned"));
    QCOMPARE(reports.at(0)->Text(), QString("12 files added.\n0 files removed."));
    QVERIFY(reports.at(0)->isVisible());

    // The open store dialog goes with the window, once (ASan sees a second delete).
    client.window.reset();
}

QTEST_MAIN(TestOptionsPage)
#include "tst_optionspage.moc"

// The settings and inspection dialogs that the options page and the tool bar open: the rescan
// report, the listening port, adding a shared folder, the colours and the store inspection.

#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shell/SettingsDefaults.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/ScriptedDialogs.h"
#include "support/StoreGuard.h"
#include "ui/dialogs/AddSharedFolderDialog.h"
#include "ui/dialogs/ChangeListeningPortDialog.h"
#include "ui/dialogs/ColorSelectionDialog.h"
#include "ui/dialogs/DataDialog.h"
#include "ui/dialogs/SharedFilesRescannedDialog.h"
#include "ui/dialogs/TypeNavigatorDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QTest>
#include <QTreeWidget>

namespace {

// The store as the dialogs find it: the types of the services they read.
struct Store
{
    Store()
    {
        Server::CreateData(saver);
        PeerMessenger::CreateData(saver);
        Settings::CreateData(saver);
        SharedFoldersManager::CreateData(saver);
    }
    StoreGuard guard;
    DataSaver saver;
};

QStringList Links(ItemPtr folder)
{
    QStringList links;
    for (const char* flag : {"shared_public", "shared_userlist"}) {
        if (folder.IsConnected(flag))
            links << flag;
    }
    for (Item* group : folder.GetItems("user_list_group").SortAlphabetic(true))
        links << QString::fromLatin1(group->AsString());
    return links;
}

} // namespace

class TestShellDialogs : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rescanReportIsPlainTextAndGoesWhenClosed();
    void listeningPort_data();
    void listeningPort();
    void sharedFolderAccess_data();
    void sharedFolderAccess();
    void sharedFolderNeedsAPath();
    void colours_data();
    void colours();
    void dataDialogListsTypesAndValues();
};

void TestShellDialogs::rescanReportIsPlainTextAndGoesWhenClosed()
{
    QPointer<SharedFilesRescannedDialog> dialog = new SharedFilesRescannedDialog;
    dialog->Append("3 files added.");
    dialog->Append("<b>0</b> files removed.");
    QCOMPARE(dialog->Text(), QString("3 files added.\n<b>0</b> files removed."));
    dialog->show();
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
}

void TestShellDialogs::listeningPort_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("pending");
    QTest::newRow("empty") << ""
                           << "Invalid Port Number"
                           << "";
    QTest::newRow("above the range") << "65536"
                                     << "Invalid Port Number"
                                     << "";
    QTest::newRow("five nines") << "99999"
                                << "Invalid Port Number"
                                << "";
    QTest::newRow("the port in use") << "2235"
                                     << "Port Number Not Changed"
                                     << "";
    QTest::newRow("highest") << "65535"
                             << "Change to Listening Port Pending"
                             << "65535";
    QTest::newRow("lowest") << "1"
                            << "Change to Listening Port Pending"
                            << "1";
}

void TestShellDialogs::listeningPort()
{
    QFETCH(QString, typed);
    QFETCH(QString, box);
    QFETCH(QString, pending);

    Store store;
    Settings::Set(SettingKeys::ListeningPort, "2235");
    Settings::Set(SettingKeys::NewListeningPort, "3000");
    ScriptedDialogs dialogs;
    QWidget parent;
    QPointer<ChangeListeningPortDialog> dialog = new ChangeListeningPortDialog(&parent);
    QCOMPARE(dialog->portEdit->text(), QString("2235"));
    dialog->show();
    dialog->portEdit->setText(typed);
    dialog->accept();
    QCOMPARE(dialogs.shown.size(), 1);
    QCOMPARE(dialogs.shown.at(0).title, box);
    QCOMPARE(dialogs.shown.at(0).parent, dialog.data());
    QCOMPARE(Settings::Text(SettingKeys::ListeningPort), std::string("2235"));
    if (pending.isEmpty()) {
        QCOMPARE(Settings::Text(SettingKeys::NewListeningPort), std::string("3000"));
        QVERIFY(dialog->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!dialog.isNull());
        return;
    }
    QCOMPARE(Settings::Text(SettingKeys::NewListeningPort), pending.toStdString());
    QVERIFY(!dialog->isVisible());
    QTRY_VERIFY(dialog.isNull());
}

void TestShellDialogs::sharedFolderAccess_data()
{
    QTest::addColumn<bool>("everyone");
    QTest::addColumn<bool>("userList");
    QTest::addColumn<QStringList>("ticked");
    QTest::addColumn<QStringList>("links");
    // The user-list box shows checked under "everyone"; only the public flag is stored.
    QTest::newRow("everyone") << true << true << QStringList{"b"} << QStringList{"shared_public"};
    QTest::newRow("user list") << false << true << QStringList{"b"}
                               << QStringList{"shared_userlist"};
    QTest::newRow("two groups") << false << false << QStringList{"b", "Z"} << QStringList{"Z", "b"};
    QTest::newRow("nobody") << false << false << QStringList{} << QStringList{};
}

void TestShellDialogs::sharedFolderAccess()
{
    QFETCH(bool, everyone);
    QFETCH(bool, userList);
    QFETCH(QStringList, ticked);
    QFETCH(QStringList, links);

    Store store;
    for (const char* group : {"b", "a", "Z"})
        d.GetType("user_list_group")->GetItem(Value(group));
    ScriptedDialogs dialogs;
    const QString folder = QString::fromUtf8("/srv/m\xc3\xbcsic");
    dialogs.folders << folder;
    QPointer<AddSharedFolderDialog> dialog = new AddSharedFolderDialog;
    QVERIFY(!dialog->groupsListWidget->isEnabled());
    QCOMPARE(dialog->groupsListWidget->count(), 3);
    QCOMPARE(dialog->groupsListWidget->item(0)->text(), QString("Z"));
    dialog->OnSelectFolderClicked();
    QCOMPARE(dialogs.chooserTitles, QStringList{"Select Folder to Share"});
    QCOMPARE(dialog->selectedFolderEdit->text(), folder);

    // Ticks made while the list is enabled count only if both boxes end unchecked.
    dialog->everyoneCheckBox->setChecked(false);
    QVERIFY(dialog->userListCheckBox->isEnabled());
    QVERIFY(dialog->userListCheckBox->isChecked());
    QVERIFY(!dialog->groupsListWidget->isEnabled());
    dialog->userListCheckBox->setChecked(false);
    QVERIFY(dialog->groupsListWidget->isEnabled());
    for (int i = 0; i < dialog->groupsListWidget->count(); ++i) {
        QListWidgetItem* row = dialog->groupsListWidget->item(i);
        row->setCheckState(ticked.contains(row->text()) ? Qt::Checked : Qt::Unchecked);
    }
    dialog->userListCheckBox->setChecked(userList);
    dialog->everyoneCheckBox->setChecked(everyone);

    dialog->show();
    dialog->accept();
    ItemPtr shared = d.GetType("shared_folder")->HasItem(Value(folder.toUtf8().toStdString()));
    QVERIFY(!shared.IsNull());
    QCOMPARE(Links(shared), links);
    QCOMPARE(d.GetType("shared_folder")->ItemCount(), size_t(1));
    QTRY_VERIFY(dialog.isNull());
}

void TestShellDialogs::sharedFolderNeedsAPath()
{
    Store store;
    ScriptedDialogs dialogs;
    QPointer<AddSharedFolderDialog> dialog = new AddSharedFolderDialog;
    dialog->show();
    dialog->accept();
    // A cancelled chooser keeps the field as it was: still empty.
    dialog->OnSelectFolderClicked();
    dialog->accept();
    QVERIFY(dialog->isVisible());
    QCOMPARE(d.GetType("shared_folder")->ItemCount(), size_t(0));
    dialog->reject();
    QTRY_VERIFY(dialog.isNull());
}

void TestShellDialogs::colours_data()
{
    QTest::addColumn<bool>("reset");
    QTest::newRow("saved at once") << false;
    QTest::newRow("reset, then saved") << true;
}

void TestShellDialogs::colours()
{
    QFETCH(bool, reset);

    Store store;
    const QPalette before = QApplication::palette();
    SettingsDefaults::WriteBeforeLoad();
    // As a store file would have them: another palette applied, other fixed colours.
    QPalette custom = before;
    custom.setColor(QPalette::Window, QColor("#102030"));
    QApplication::setPalette(custom);
    Settings::Set(SettingKeys::ColorWindowBackground, "#102030");
    Settings::Set(SettingKeys::ColorTransferQueued, "#abcdef");
    Settings::Set(SettingKeys::ColorChatStatus, "#fedcba");

    QPointer<ColorSelectionDialog> dialog = new ColorSelectionDialog;
    QCOMPARE(ColorSelectionDialog::SampleColour(dialog->Sample("color_window_background")),
             QColor("#102030"));
    QCOMPARE(ColorSelectionDialog::SampleColour(dialog->Sample("color_transfer_queued")),
             QColor("#abcdef"));
    if (reset)
        dialog->OnResetToDefaults();
    dialog->show();
    dialog->OnSaveColors();

    const QString window = reset ? defaultPalette.color(QPalette::Window).name() : "#102030";
    QCOMPARE(QString::fromStdString(Settings::Text(SettingKeys::ColorWindowBackground)), window);
    QCOMPARE(QApplication::palette().color(QPalette::Window).name(), window);
    const QStringList fixed{"color_transfer_queued",      "color_transfer_complete",
                            "color_transfer_in_progress", "color_transfer_failed",
                            "color_transfer_other",       "color_chat_username",
                            "color_chat_timestamp",       "color_chat_status"};
    const QStringList expected = reset ? QStringList{"#3366ff", "#006400", "#0000ff", "#ff0a47",
                                                     "#000000", "#0033ff", "#0066ff", "#339933"}
                                       : QStringList{"#abcdef", "#006400", "#0000ff", "#ff0a47",
                                                     "#000000", "#0033ff", "#0066ff", "#fedcba"};
    QStringList stored;
    for (const QString& key : fixed)
        stored << QString::fromStdString(Settings::Text(SettingKey{qPrintable(key)}));
    QCOMPARE(stored, expected);
    QTRY_VERIFY(dialog.isNull());
    QApplication::setPalette(before);
}

void TestShellDialogs::dataDialogListsTypesAndValues()
{
    Store store;
    ServerStore::Room("<b>lobby</b>");
    ServerStore::Room("den");
    QPointer<DataDialog> dialog = new DataDialog(&d);
    const QList<QTreeWidgetItem*> rooms = dialog->typeList->findItems("room", Qt::MatchExactly, 0);
    QCOMPARE(rooms.size(), 1);
    QCOMPARE(rooms.at(0)->text(1), QString("2"));
    dialog->typeList->setCurrentItem(rooms.at(0));
    QCOMPARE(dialog->itemList->topLevelItemCount(), 2);
    QCOMPARE(dialog->itemList->topLevelItem(0)->text(0), QString("<b>lobby</b>"));

    // Refreshed, it follows the store and keeps the chosen type.
    ServerStore::Room("third");
    dialog->Refresh();
    QCOMPARE(dialog->typeList->currentItem()->text(1), QString("3"));
    QCOMPARE(dialog->itemList->topLevelItemCount(), 3);

    TypeNavigatorDialog navigator;
    navigator.Init();
    const QList<QTreeWidgetItem*> found =
        navigator.typeTree->findItems("room", Qt::MatchExactly, 0);
    QCOMPARE(found.size(), 1);
    QVERIFY(found.at(0)->childCount() > 0);

    dialog->show();
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
}

QTEST_MAIN(TestShellDialogs)
#include "tst_shelldialogs.moc"

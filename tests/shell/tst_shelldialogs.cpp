// The shell's dialogs: the seam for its modal boxes and folder chooser, the login dialog, and
// the settings dialogs that the options page and the tool bar open (the rescan report, the
// listening port, adding a shared folder and the colours).

#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/SettingsDefaults.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/ScriptedDialogs.h"
#include "support/StoreGuard.h"
#include "ui/dialogs/AddSharedFolderDialog.h"
#include "ui/dialogs/ChangeListeningPortDialog.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"
#include "ui/dialogs/ColorSelectionDialog.h"
#include "ui/dialogs/SharedFilesRescannedDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

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

// Runs act on the modal dialog of that kind as soon as it is up, once.
template <class Dialog> void WhenShown(std::function<void(Dialog*)> act)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(dialog);
        }
    });
    poll->start(10);
}

QByteArray Stored(SettingKey key)
{
    return QByteArray::fromStdString(Settings::HasValue(key) ? Settings::Text(key) : "(none)");
}

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
    void realBoxShowsWhatItIsGiven_data();
    void realBoxShowsWhatItIsGiven();
    void scriptedDialogsStandInWhileTheyLive();
    void loginDialog_data();
    void loginDialog();
    void rescanReportIsPlainTextAndGoesWhenClosed();
    void listeningPort_data();
    void listeningPort();
    void sharedFolderAccess_data();
    void sharedFolderAccess();
    void colours_data();
    void colours();
};

void TestShellDialogs::realBoxShowsWhatItIsGiven_data()
{
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("defaultButton");
    QTest::addColumn<int>("pressed");
    QTest::newRow("a question answered Yes")
        << int(QMessageBox::Question) << int(QMessageBox::Yes | QMessageBox::No)
        << int(QMessageBox::No) << int(QMessageBox::Yes);
    QTest::newRow("information") << int(QMessageBox::Information) << int(QMessageBox::Ok)
                                 << int(QMessageBox::NoButton) << int(QMessageBox::Ok);
}

void TestShellDialogs::realBoxShowsWhatItIsGiven()
{
    QFETCH(int, icon);
    QFETCH(int, buttons);
    QFETCH(int, defaultButton);
    QFETCH(int, pressed);

    ModalDialogs::MessageBox box{QMessageBox::Icon(icon),
                                 nullptr,
                                 "REALLY?",
                                 "Are you sure?",
                                 QMessageBox::StandardButtons(buttons),
                                 QMessageBox::StandardButton(defaultButton)};
    ModalDialogs::MessageBox seen;
    WhenShown<QMessageBox>([&](QMessageBox* shown) {
        seen = {shown->icon(),
                nullptr,
                shown->windowTitle(),
                shown->text(),
                shown->standardButtons(),
                shown->standardButton(shown->defaultButton())};
        shown->button(QMessageBox::StandardButton(pressed))->click();
    });
    QCOMPARE(int(ModalDialogs::Current().Show(box)), pressed);
    QCOMPARE(seen.icon, box.icon);
    QCOMPARE(seen.title, box.title);
    QCOMPARE(seen.text, box.text);
    QCOMPARE(seen.buttons, box.buttons);
    QCOMPARE(seen.defaultButton, box.defaultButton);
}

void TestShellDialogs::scriptedDialogsStandInWhileTheyLive()
{
    ModalDialogs& real = ModalDialogs::Current();
    {
        ScriptedDialogs outer;
        outer.answers << QMessageBox::Yes;
        {
            ScriptedDialogs inner;
            inner.folders << "/tmp/x";
            QCOMPARE(ModalDialogs::Current().ChooseFolder(nullptr, "Set Download Folder"),
                     QString("/tmp/x"));
            QCOMPARE(ModalDialogs::Current().ChooseFolder(nullptr, "again"), QString());
            QCOMPARE(inner.chooserTitles, QStringList({"Set Download Folder", "again"}));
        }
        ModalDialogs::MessageBox box;
        box.title = "REALLY?";
        QCOMPARE(ModalDialogs::Current().Show(box), QMessageBox::Yes);
        QCOMPARE(ModalDialogs::Current().Show(box), QMessageBox::NoButton);
        QCOMPARE(outer.shown.size(), 2);
        QCOMPARE(outer.shown.at(0).title, QString("REALLY?"));
    }
    QCOMPARE(&ModalDialogs::Current(), &real);
}

void TestShellDialogs::loginDialog_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("storedUser"); // "caf\xe9" and "secret": refused, kept
    QTest::addColumn<QByteArray>("storedPassword");
    QTest::newRow("both") << "alice"
                          << "pw" << QByteArray("alice") << QByteArray("pw");
    QTest::newRow("blanks around go, blanks inside stay")
        << "  al ice\t"
        << " p w " << QByteArray("al ice") << QByteArray("p w");
    QTest::newRow("Latin-1 kept, beyond it a question mark")
        << QStringLiteral("J\u00fcrgen") << QStringLiteral("\u20ac5") << QByteArray("J\xfcrgen")
        << QByteArray("?5");
    QTest::newRow("blank user name") << "   "
                                     << "pw" << QByteArray("caf\xe9") << QByteArray("secret");
    QTest::newRow("empty password") << "alice"
                                    << "" << QByteArray("caf\xe9") << QByteArray("secret");
}

void TestShellDialogs::loginDialog()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QByteArray, storedUser);
    QFETCH(QByteArray, storedPassword);
    const bool closes = storedUser != "caf\xe9";

    Store store;
    Settings::Set(SettingKeys::Username, "caf\xe9");
    Settings::Set(SettingKeys::Password, "secret");
    ChangeUsernamePasswordDialog dialog(true);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Set Username/Password"));
    auto* userEdit = dialog.findChild<QLineEdit*>("usernameEdit");
    auto* passwordEdit = dialog.findChild<QLineEdit*>("passwordEdit");
    QCOMPARE(userEdit->text(), QStringLiteral("caf\u00e9"));
    QCOMPARE(passwordEdit->text(), QStringLiteral("secret"));
    QCOMPARE(passwordEdit->echoMode(), QLineEdit::Normal);
    dialog.show();
    userEdit->setText(user);
    passwordEdit->setText(password);
    dialog.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(dialog.isVisible(), !closes);
    QCOMPARE(dialog.result(), closes ? int(QDialog::Accepted) : int(QDialog::Rejected));
    QCOMPARE(Stored(SettingKeys::Username), storedUser);
    QCOMPARE(Stored(SettingKeys::Password), storedPassword);

    // Cancelling stores nothing, whatever the fields hold.
    ChangeUsernamePasswordDialog again(false);
    QCOMPARE(again.windowTitle(), QStringLiteral("Change Username/Password"));
    again.show();
    again.findChild<QLineEdit*>("usernameEdit")->setText(QStringLiteral("mallory"));
    again.findChild<QLineEdit*>("passwordEdit")->setText(QStringLiteral("x"));
    again.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Cancel)->click();
    QCOMPARE(Stored(SettingKeys::Username), storedUser);
    QCOMPARE(Stored(SettingKeys::Password), storedPassword);
}

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
        // Given up, it goes too, not hidden under the window for good.
        dialog->reject();
        QTRY_VERIFY(dialog.isNull());
        return;
    }
    QCOMPARE(Settings::Text(SettingKeys::NewListeningPort), pending.toStdString());
    QVERIFY(!dialog->isVisible());
    QTRY_VERIFY(dialog.isNull());
}

void TestShellDialogs::sharedFolderAccess_data()
{
    QTest::addColumn<bool>("chosen"); // false: the chooser cancelled, the path left empty
    QTest::addColumn<bool>("everyone");
    QTest::addColumn<bool>("userList");
    QTest::addColumn<QStringList>("ticked");
    QTest::addColumn<QStringList>("links");
    // The user-list box shows checked under "everyone"; only the public flag is stored.
    QTest::newRow("everyone") << true << true << true << QStringList{"b"}
                              << QStringList{"shared_public"};
    QTest::newRow("user list") << true << false << true << QStringList{"b"}
                               << QStringList{"shared_userlist"};
    QTest::newRow("two groups") << true << false << false << QStringList{"b", "Z"}
                                << QStringList{"Z", "b"};
    QTest::newRow("nobody") << true << false << false << QStringList{} << QStringList{};
    QTest::newRow("no folder: refused") << false << true << true << QStringList{} << QStringList{};
}

void TestShellDialogs::sharedFolderAccess()
{
    QFETCH(bool, chosen);
    QFETCH(bool, everyone);
    QFETCH(bool, userList);
    QFETCH(QStringList, ticked);
    QFETCH(QStringList, links);

    Store store;
    for (const char* group : {"b", "a", "Z"})
        d.GetType("user_list_group")->GetItem(Value(group));
    ScriptedDialogs dialogs;
    const QString folder = QString::fromUtf8("/srv/m\xc3\xbcsic");
    if (chosen)
        dialogs.folders << folder;
    QPointer<AddSharedFolderDialog> dialog = new AddSharedFolderDialog;
    QVERIFY(!dialog->groupsListWidget->isEnabled());
    QCOMPARE(dialog->groupsListWidget->count(), 3);
    QCOMPARE(dialog->groupsListWidget->item(0)->text(), QString("Z"));
    dialog->OnSelectFolderClicked();
    QCOMPARE(dialogs.chooserTitles, QStringList{"Select Folder to Share"});
    QCOMPARE(dialog->selectedFolderEdit->text(), chosen ? folder : QString());

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
    QCOMPARE(d.GetType("shared_folder")->ItemCount(), size_t(chosen ? 1 : 0));
    if (!chosen) {
        QVERIFY(dialog->isVisible());
        dialog->reject();
    } else {
        ItemPtr shared = d.GetType("shared_folder")->HasItem(Value(folder.toUtf8().toStdString()));
        QVERIFY(!shared.IsNull());
        QCOMPARE(Links(shared), links);
    }
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

QTEST_MAIN(TestShellDialogs)
#include "tst_shelldialogs.moc"

// The shell's dialogs: the seam for its modal boxes and folder chooser, the login dialog, and
// the settings dialogs that the options page and the tool bar open (the rescan report, the
// listening port, adding a shared folder and the colours), the ports a restart makes of what
// they stored, and what every dialog shows of its title and fields.

#include "engine/Engine.h"
#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/SettingsDefaults.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/LogLines.h"
#include "support/OfflineStore.h"
#include "support/ScriptedDialogs.h"
#include "support/ScriptedUpnp.h"
#include "support/StoreGuard.h"
#include "ui/chat/ChatView.h"
#include "ui/chat/CreateRoomDialog.h"
#include "ui/dialogs/AddSharedFolderDialog.h"
#include "ui/dialogs/ChangeListeningPortDialog.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"
#include "ui/dialogs/ColorSelectionDialog.h"
#include "ui/dialogs/DataDialog.h"
#include "ui/dialogs/SharedFilesRescannedDialog.h"
#include "ui/transfers/TransfersPage.h"
#include "ui/dialogs/TypeNavigatorDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
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

// The fourteen colour settings, in the order they are stored.
const QStringList kColourKeys{
    "color_window_background", "color_window_text",       "color_input_background",
    "color_input_text",        "color_button_background", "color_button_text",
    "color_transfer_queued",   "color_transfer_complete", "color_transfer_in_progress",
    "color_transfer_failed",   "color_transfer_other",    "color_chat_username",
    "color_chat_timestamp",    "color_chat_status"};

QStringList StoredColours(int from = 0)
{
    QStringList stored;
    for (const QString& key : kColourKeys.mid(from))
        stored << QString::fromStdString(Settings::Text(SettingKey{qPrintable(key)}));
    return stored;
}

// Each sample of the dialog as "name #rrggbb".
QStringList Samples(const QDialog* dialog)
{
    QStringList samples;
    for (const QLineEdit* sample : dialog->findChildren<QLineEdit*>())
        samples << sample->objectName() + " " + ColorSelectionDialog::SampleColour(sample).name();
    return samples;
}

// Types the text into the widget a key at a time, as a keyboard of any layout would.
void TypeKeys(QWidget* widget, const QString& text)
{
    for (const QChar c : text) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &key);
    }
}

QByteArray Stored(SettingKey key)
{
    return QByteArray::fromStdString(Settings::HasValue(key) ? Settings::Text(key) : "(none)");
}

// The three port settings as a restart on the store file leaves them (the peer listeners on
// 127.0.0.1, on ports the system picks), and the lines it logged about stored ports.
struct Ports
{
    QByteArray listening;
    QByteArray obfuscated;
    QByteArray pending;
    QStringList dropped;
};

Ports Restart(const QString& storeFile)
{
    ScriptedUpnp upnp;
    StoreGuard store;
    EngineOptions options;
    options.loopbackListeners = true;
    Engine engine(options);
    LogLines log(QStringLiteral("Configuration Data"));
    engine.Load(storeFile);
    return {Stored(SettingKeys::ListeningPort), Stored(SettingKeys::ObfuscatedListeningPort),
            Stored(SettingKeys::NewListeningPort), log.lines.filter(QStringLiteral("The stored"))};
}

// Each dialog of the shell and its forms as its opener makes it.
QDialog* MakeDialog(const QString& name, QWidget* parent)
{
    if (name == "listening port")
        return new ChangeListeningPortDialog(parent);
    if (name == "login" || name == "first-run login")
        return new ChangeUsernamePasswordDialog(name == "first-run login", parent);
    if (name == "shared folder")
        return new AddSharedFolderDialog(parent);
    if (name == "colours")
        return new ColorSelectionDialog(parent);
    if (name == "create room")
        return new CreateRoomDialog(parent);
    if (name == "store data")
        return new DataDialog(&d, parent);
    if (name == "rescan report") {
        auto* report = new SharedFilesRescannedDialog(parent);
        report->setWindowTitle(QStringLiteral("Shared Files Rescanned"));
        return report;
    }
    auto* navigator = new TypeNavigatorDialog(parent);
    navigator->Init();
    return navigator;
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
    void colourChangesStayInTheDialog_data();
    void colourChangesStayInTheDialog();
    void savedColoursReachRowsAndNewChatLines();
    void storedPortsAtLoad_data();
    void storedPortsAtLoad();
    void dialogsShowTitlesAndSayWhatTheyTake_data();
    void dialogsShowTitlesAndSayWhatTheyTake();
};

void TestShellDialogs::realBoxShowsWhatItIsGiven_data()
{
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("defaultButton");
    QTest::addColumn<int>("pressed");
    QTest::addColumn<QStringList>("texts"); // given to the buttons, in the order of buttons
    QTest::newRow("a question answered Yes")
        << int(QMessageBox::Question) << "REALLY?" << int(QMessageBox::Yes | QMessageBox::No)
        << int(QMessageBox::No) << int(QMessageBox::Yes) << QStringList{};
    QTest::newRow("information") << int(QMessageBox::Information) << "REALLY?"
                                 << int(QMessageBox::Ok) << int(QMessageBox::NoButton)
                                 << int(QMessageBox::Ok) << QStringList{};
    QTest::newRow("a title longer than the text, buttons that say what they do")
        << int(QMessageBox::Warning) << "Error saving configuration data: try again?"
        << int(QMessageBox::Retry | QMessageBox::Discard) << int(QMessageBox::Retry)
        << int(QMessageBox::Discard) << QStringList{"Try Again", "Quit Without Saving"};
}

void TestShellDialogs::realBoxShowsWhatItIsGiven()
{
    QFETCH(int, icon);
    QFETCH(QString, title);
    QFETCH(int, buttons);
    QFETCH(int, defaultButton);
    QFETCH(int, pressed);
    QFETCH(QStringList, texts);

    ModalDialogs::MessageBox box;
    box.icon = QMessageBox::Icon(icon);
    box.title = title;
    box.text = "Are you sure?";
    box.buttons = QMessageBox::StandardButtons(buttons);
    box.defaultButton = QMessageBox::StandardButton(defaultButton);
    if (!texts.isEmpty())
        box.buttonTexts = {{QMessageBox::Retry, texts.at(0)}, {QMessageBox::Discard, texts.at(1)}};
    ModalDialogs::MessageBox seen;
    QStringList seenTexts;
    int width = 0;
    WhenShown<QMessageBox>([&](QMessageBox* shown) {
        seen.icon = shown->icon();
        seen.title = shown->windowTitle();
        seen.text = shown->text();
        seen.buttons = shown->standardButtons();
        seen.defaultButton = shown->standardButton(shown->defaultButton());
        for (const auto& [button, text] : box.buttonTexts)
            seenTexts << shown->button(button)->text();
        width = shown->width();
        shown->button(QMessageBox::StandardButton(pressed))->click();
    });
    QCOMPARE(int(ModalDialogs::Current().Show(box)), pressed);
    QCOMPARE(seen.icon, box.icon);
    QCOMPARE(seen.title, box.title);
    QCOMPARE(seen.text, box.text);
    QCOMPARE(seen.buttons, box.buttons);
    QCOMPARE(seen.defaultButton, box.defaultButton);
    QCOMPARE(seenTexts, texts);
    // A window manager's buttons beside the whole title.
    QVERIFY2(QFontMetrics(QApplication::font()).horizontalAdvance(title) + 120 <= width,
             qPrintable(QString::number(width)));
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
    QTest::addColumn<bool>("typed");            // false: set past the validator, as a paste can
    QTest::addColumn<QByteArray>("storedUser"); // "caf\xe9" and "secret": refused, kept
    QTest::addColumn<QByteArray>("storedPassword");
    QTest::newRow("both") << "alice"
                          << "pw" << false << QByteArray("alice") << QByteArray("pw");
    QTest::newRow("blanks around go, blanks inside stay")
        << "  al ice\t"
        << " p w " << false << QByteArray("al ice") << QByteArray("p w");
    QTest::newRow("typed: Latin-1 taken, the euro sign refused")
        << QStringLiteral("J\u00fcrgen") << QStringLiteral("\u20ac5") << true
        << QByteArray::fromHex("4afc7267656e") << QByteArray("5");
    QTest::newRow("a password beyond Latin-1 set") << "alice" << QStringLiteral("\u20ac5") << false
                                                   << QByteArray("caf\xe9") << QByteArray("secret");
    QTest::newRow("a user name beyond Latin-1 set")
        << QStringLiteral("\u042e\u043b\u044f") << "pw" << false << QByteArray("caf\xe9")
        << QByteArray("secret");
    QTest::newRow("blank user name")
        << "   "
        << "pw" << false << QByteArray("caf\xe9") << QByteArray("secret");
    QTest::newRow("empty password") << "alice"
                                    << "" << false << QByteArray("caf\xe9") << QByteArray("secret");
}

void TestShellDialogs::loginDialog()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, typed);
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
    // Nobody beside the screen reads the password.
    QCOMPARE(passwordEdit->echoMode(), QLineEdit::Password);
    QCOMPARE(userEdit->echoMode(), QLineEdit::Normal);
    dialog.show();
    if (typed) {
        for (QLineEdit* edit : {userEdit, passwordEdit})
            edit->clear();
        TypeKeys(userEdit, user);
        TypeKeys(passwordEdit, password);
    } else {
        userEdit->setText(user);
        passwordEdit->setText(password);
    }
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
    const QString invalid = "Invalid Port Number";
    QTest::newRow("empty") << "" << invalid << "";
    // The scrambled port would be 65536.
    QTest::newRow("the last port") << "65535" << invalid << "";
    QTest::newRow("five nines") << "99999" << invalid << "";
    QTest::newRow("the port in use") << "2235"
                                     << "Port Number Not Changed"
                                     << "";
    QTest::newRow("highest") << "65534"
                             << "Change to Listening Port Pending"
                             << "65534";
    QTest::newRow("lowest") << "1"
                            << "Change to Listening Port Pending"
                            << "1";
}

void TestShellDialogs::listeningPort()
{
    QFETCH(QString, typed);
    QFETCH(QString, box);
    QFETCH(QString, pending);

    QTemporaryDir dir;
    const QString storeFile = dir.filePath(".Quorvale");
    {
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
        if (box == "Invalid Port Number")
            QCOMPARE(dialogs.shown.at(0).text,
                     QString("Port number must be in the range of 1 to 65534."));
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
        QVERIFY(store.saver.Save(storeFile));
    }

    // The next start listens there, the scrambled listener one port above.
    const Ports ports = Restart(storeFile);
    QCOMPARE(ports.listening, pending.toLatin1());
    QCOMPARE(ports.obfuscated, QByteArray::number(pending.toInt() + 1));
    QCOMPARE(ports.pending, QByteArray("(none)"));
    QCOMPARE(ports.dropped, QStringList());
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
    const QString folder = QString::fromUtf8(
        "/srv/m\xc3\xbcsic/Jazz/Blue Note 1500 series/Orquestas de c\xc3\xa1mara");
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
    // The whole path in view.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QLineEdit* path = dialog->selectedFolderEdit;
    QVERIFY(path->width() > path->fontMetrics().horizontalAdvance(path->text()));
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
    QTest::addColumn<QString>("status"); // what color_chat_status holds
    QTest::addColumn<QString>("shown");  // in its sample and saved
    QTest::newRow("saved at once") << false << "#fedcba"
                                   << "#fedcba";
    QTest::newRow("reset, then saved") << true << "#fedcba"
                                       << "#339933";
    QTest::newRow("no colour: the default") << false << "#12345"
                                            << "#339933";
}

void TestShellDialogs::colours()
{
    QFETCH(bool, reset);
    QFETCH(QString, status);
    QFETCH(QString, shown);

    Store store;
    const QPalette before = QApplication::palette();
    SettingsDefaults::WriteBeforeLoad();
    // As a store file would have them: another palette applied, other fixed colours.
    QPalette custom = before;
    custom.setColor(QPalette::Window, QColor("#102030"));
    QApplication::setPalette(custom);
    Settings::Set(SettingKeys::ColorWindowBackground, "#102030");
    Settings::Set(SettingKeys::ColorTransferQueued, "#abcdef");
    Settings::Set(SettingKeys::ColorChatStatus, status.toStdString());

    LogLines log("Configuration Data");
    QPointer<ColorSelectionDialog> dialog = new ColorSelectionDialog;
    QCOMPARE(ColorSelectionDialog::SampleColour(dialog->Sample("color_window_background")),
             QColor("#102030"));
    QCOMPARE(ColorSelectionDialog::SampleColour(dialog->Sample("color_transfer_queued")),
             QColor("#abcdef"));
    QCOMPARE(ColorSelectionDialog::SampleColour(dialog->Sample("color_chat_status")),
             QColor(reset ? status : shown));
    QCOMPARE(log.lines, QColor::isValidColorName(status)
                            ? QStringList()
                            : QStringList{"Setting color_chat_status holds \"" + status +
                                          "\", which is not a colour; showing its default"});
    if (reset)
        dialog->OnResetToDefaults();
    dialog->show();
    dialog->OnSaveColors();

    const QString window = reset ? defaultPalette.color(QPalette::Window).name() : "#102030";
    QCOMPARE(QString::fromStdString(Settings::Text(SettingKeys::ColorWindowBackground)), window);
    QCOMPARE(QApplication::palette().color(QPalette::Window).name(), window);
    const QStringList expected = reset ? QStringList{"#3366ff", "#006400", "#0000ff", "#ff0a47",
                                                     "#000000", "#0033ff", "#0066ff", "#339933"}
                                       : QStringList{"#abcdef", "#006400", "#0000ff", "#ff0a47",
                                                     "#000000", "#0033ff", "#0066ff", shown};
    QCOMPARE(StoredColours(6), expected);
    // Saved text colours leave disabled text dimmed.
    const QPalette applied = QApplication::palette();
    QVERIFY(applied.color(QPalette::Disabled, QPalette::Text) != applied.color(QPalette::Text));
    QTRY_VERIFY(dialog.isNull());
    QApplication::setPalette(before);
}

void TestShellDialogs::colourChangesStayInTheDialog_data()
{
    QTest::addColumn<QString>("row"); // "WindowBackground": OnChangeWindowBackground changes
                                      // windowBackgroundColor by windowBackgroundButton
    for (const char* row :
         {"WindowBackground", "WindowText", "InputBackground", "InputText", "ButtonBackground",
          "ButtonText", "TransferComplete", "TransferQueued", "TransferInProgress",
          "TransferFailed", "TransferOther", "ChatUsername", "ChatTimestamp", "ChatStatus"})
        QTest::newRow(row) << row;
}

void TestShellDialogs::colourChangesStayInTheDialog()
{
    QFETCH(QString, row);
    const QString name = row.left(1).toLower() + row.mid(1);

    Store store;
    SettingsDefaults::WriteBeforeLoad();
    const QPalette palette = QApplication::palette();
    const QStringList stored = StoredColours();
    ScriptedDialogs dialogs;
    dialogs.colours << QColor("#123456") << QColor();
    QPointer<ColorSelectionDialog> dialog = new ColorSelectionDialog;
    QStringList samples = Samples(dialog);
    const qsizetype changed = samples.indexOf(QRegularExpression(name + "Color #.*"));
    QVERIFY(changed >= 0);
    const QColor initial(samples[changed].section(' ', 1));
    samples[changed] = name + "Color #123456";

    dialog->findChild<QPushButton*>(name + "Button")->click();
    QCOMPARE(Samples(dialog), samples);
    QCOMPARE(dialogs.colourInitials, QList<QColor>{initial});
    QCOMPARE(dialogs.chooserParents, QList<QWidget*>{dialog.data()});
    // Cancelled, the chooser changes nothing.
    QVERIFY(QMetaObject::invokeMethod(dialog, qPrintable("OnChange" + row)));
    QCOMPARE(dialogs.colourInitials.value(1), QColor("#123456"));
    QCOMPARE(Samples(dialog), samples);

    dialog->show();
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(StoredColours(), stored);
    QCOMPARE(QApplication::palette(), palette);
}

void TestShellDialogs::savedColoursReachRowsAndNewChatLines()
{
    TransfersPage page;
    ItemPtr entry = TransfersPage::Download("bob", "Music", "a.mp3");
    TransfersPage::SetStatus(entry, "queued");
    ChatView view(ChatLog::Kind::User, "bob");
    view.AddChat("bob", "before");
    page.client.dialogs.colours << QColor("#123456") << QColor("#654321");
    auto* dialog = new ColorSelectionDialog(page.client.window.get());
    dialog->OnChangeTransferQueued();
    dialog->OnChangeChatUsername();
    dialog->OnSaveColors();
    QCOMPARE(TransfersPage::Row(entry)->foreground(0).color(), QColor("#123456"));
    view.AddChat("bob", "after");
    const auto nameColour = [&view](const QString& said) {
        QTextCursor at = view.document()->find(said);
        at.setPosition(at.block().position() + int(at.block().text().indexOf("bob")) + 1);
        return at.charFormat().foreground().color();
    };
    QCOMPARE(nameColour("before"), QColor("#0033ff"));
    QCOMPARE(nameColour("after"), QColor("#654321"));
}

void TestShellDialogs::storedPortsAtLoad_data()
{
    // What a hand-edited or older store file holds under a key; the rest is 2235 and 2236.
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<QByteArray>("listening");
    QTest::addColumn<QByteArray>("obfuscated");
    const QString plain = "listening_port";
    const QString scrambled = "obfuscated_listening_port";
    QTest::newRow("above the range: listened on cut to 16 bits")
        << plain << QByteArray("70000") << true << QByteArray("2235") << QByteArray("2236");
    QTest::newRow("negative: the server told 4294967295")
        << plain << QByteArray("-1") << true << QByteArray("2235") << QByteArray("2236");
    QTest::newRow("not a number") << plain << QByteArray("22x5") << true << QByteArray("2235")
                                  << QByteArray("2236");
    QTest::newRow("the highest kept")
        << plain << QByteArray("65534") << false << QByteArray("65534") << QByteArray("2236");
    QTest::newRow("the system's pick kept")
        << plain << QByteArray("0") << false << QByteArray("0") << QByteArray("2236");
    QTest::newRow("a scrambled port above the range")
        << scrambled << QByteArray("65536") << true << QByteArray("2235") << QByteArray("2236");
    QTest::newRow("the highest scrambled port kept")
        << scrambled << QByteArray("65535") << false << QByteArray("2235") << QByteArray("65535");
    // The dialog took 65535 until now: pending, it would have listened on 65536 next.
    QTest::newRow("pending 65535 from an older dialog")
        << "new_listening_port" << QByteArray("65535") << true << QByteArray("2235")
        << QByteArray("2236");
}

void TestShellDialogs::storedPortsAtLoad()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, stored);
    QFETCH(bool, dropped);
    QFETCH(QByteArray, listening);
    QFETCH(QByteArray, obfuscated);

    QTemporaryDir dir;
    const QString storeFile = dir.filePath(".Quorvale");
    const QByteArray name = key.toLatin1();
    QVERIFY(WriteOfflineStore(storeFile, {{SettingKeys::ListeningPort, "2235"},
                                          {SettingKeys::ObfuscatedListeningPort, "2236"},
                                          {SettingKey{name.constData()}, stored.toStdString()}}));
    const Ports ports = Restart(storeFile);
    QCOMPARE(ports.listening, listening);
    QCOMPARE(ports.obfuscated, obfuscated);
    QCOMPARE(ports.pending, QByteArray("(none)"));
    QCOMPARE(ports.dropped.size(), dropped ? 1 : 0);
    if (dropped)
        QVERIFY2(ports.dropped.at(0).contains(key + " \"" + stored + "\""),
                 qPrintable(ports.dropped.at(0)));
}

void TestShellDialogs::dialogsShowTitlesAndSayWhatTheyTake_data()
{
    QTest::addColumn<QString>("dialog");
    for (const char* dialog :
         {"listening port", "login", "first-run login", "shared folder", "rescan report", "colours",
          "create room", "store data", "type navigator"})
        QTest::newRow(dialog) << QString(dialog);
}

void TestShellDialogs::dialogsShowTitlesAndSayWhatTheyTake()
{
    QFETCH(QString, dialog);

    Store store;
    QWidget parent;
    QPointer<QDialog> shown = MakeDialog(dialog, &parent);
    shown->show();
    QVERIFY(QTest::qWaitForWindowExposed(shown));
    // Room for a window manager's buttons beside the whole title.
    const int title = shown->fontMetrics().horizontalAdvance(shown->windowTitle());
    QVERIFY2(title + 120 <= shown->width(),
             qPrintable(QString("%1 + 120 > %2").arg(title).arg(shown->width())));

    // Each field a user fills in has a label or a placeholder saying what it takes.
    QSet<QWidget*> labelled;
    for (const QLabel* label : shown->findChildren<QLabel*>())
        labelled << label->buddy();
    for (QLineEdit* field : shown->findChildren<QLineEdit*>()) {
        if (!field->isReadOnly())
            QVERIFY2(labelled.contains(field) || !field->placeholderText().isEmpty(),
                     qPrintable(field->objectName()));
    }
    for (QComboBox* field : shown->findChildren<QComboBox*>())
        QVERIFY2(labelled.contains(field), qPrintable(field->objectName()));

    // Escape is a way out, also where no button says Cancel.
    QWidget* focus = shown->focusWidget();
    QTest::keyClick(focus ? focus : shown.data(), Qt::Key_Escape);
    QVERIFY(shown.isNull() || !shown->isVisible());
}

QTEST_MAIN(TestShellDialogs)
#include "tst_shelldialogs.moc"

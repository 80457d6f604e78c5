// The shell's dialogs: the seam for its modal boxes and folder chooser, the login dialog, and
// the settings dialogs that the options page and the tool bar open (the rescan report, the
// listening port, adding a shared folder and the colours), and the ports a restart makes of what
// is stored.

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
#include "ui/dialogs/AddSharedFolderDialog.h"
#include "ui/dialogs/ChangeListeningPortDialog.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"
#include "ui/dialogs/ColorSelectionDialog.h"
#include "ui/dialogs/SharedFilesRescannedDialog.h"
#include "ui/transfers/TransfersPage.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
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

QByteArray Stored(SettingKey key)
{
    return QByteArray::fromStdString(Settings::HasValue(key) ? Settings::Text(key) : "(none)");
}

// The listening ports a restart on the store file makes (listeners on 127.0.0.1, on ports the
// system picks), then the pending port, then each stored port that it logged as dropped.
QByteArrayList Restart(const QString& storeFile)
{
    ScriptedUpnp upnp;
    StoreGuard store;
    EngineOptions options;
    options.loopbackListeners = true;
    Engine engine(options);
    LogLines log(QStringLiteral("Configuration Data"));
    engine.Load(storeFile);
    QByteArrayList ports{Stored(SettingKeys::ListeningPort),
                         Stored(SettingKeys::ObfuscatedListeningPort),
                         Stored(SettingKeys::NewListeningPort)};
    for (const QString& line : log.lines.filter("The stored"))
        ports << line.section('"', 1, 1).toLatin1();
    return ports;
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

class tst_ShellDialogs : public QObject
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
};

void tst_ShellDialogs::realBoxShowsWhatItIsGiven_data()
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

void tst_ShellDialogs::realBoxShowsWhatItIsGiven()
{
    QFETCH(int, icon);
    QFETCH(int, buttons);
    QFETCH(int, defaultButton);
    QFETCH(int, pressed);

    const auto pressedButton = QMessageBox::StandardButton(pressed);
    // A title longer than the text, and a button named after what it does.
    ModalDialogs::MessageBox box{QMessageBox::Icon(icon),
                                 nullptr,
                                 "Are you really quite sure of it?",
                                 "Are you sure?",
                                 QMessageBox::StandardButtons(buttons),
                                 QMessageBox::StandardButton(defaultButton),
                                 {{pressedButton, "Go Ahead"}}};
    ModalDialogs::MessageBox seen;
    WhenShown<QMessageBox>([&](QMessageBox* shown) {
        seen = {shown->icon(),
                nullptr,
                shown->windowTitle(),
                shown->text(),
                shown->standardButtons(),
                shown->standardButton(shown->defaultButton()),
                {{pressedButton, shown->button(pressedButton)->text()}}};
        // Room for a window manager's buttons beside the whole title.
        QVERIFY(shown->fontMetrics().horizontalAdvance(box.title) + 120 <= shown->width());
        shown->button(pressedButton)->click();
    });
    QCOMPARE(int(ModalDialogs::Current().Show(box)), pressed);
    QCOMPARE(seen.icon, box.icon);
    QCOMPARE(seen.title, box.title);
    QCOMPARE(seen.text, box.text);
    QCOMPARE(seen.buttons, box.buttons);
    QCOMPARE(seen.defaultButton, box.defaultButton);
    QCOMPARE(seen.buttonTexts, box.buttonTexts);
}

void tst_ShellDialogs::scriptedDialogsStandInWhileTheyLive()
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

void tst_ShellDialogs::loginDialog_data()
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
    // Set past the validator, as typed the euro sign is refused and "J\xfcrgen" stored as is.
    QTest::newRow("beyond Latin-1: refused")
        << QStringLiteral("J\u00fcrgen") << QStringLiteral("\u20ac5") << QByteArray("caf\xe9")
        << QByteArray("secret");
    QTest::newRow("blank user name") << "   "
                                     << "pw" << QByteArray("caf\xe9") << QByteArray("secret");
    QTest::newRow("empty password") << "alice"
                                    << "" << QByteArray("caf\xe9") << QByteArray("secret");
}

void tst_ShellDialogs::loginDialog()
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
    QCOMPARE(passwordEdit->echoMode(), QLineEdit::Password);
    QCOMPARE(userEdit->echoMode(), QLineEdit::Normal);
    dialog.show();
    // Typed or pasted, what has no Latin-1 byte is refused and the field keeps its text.
    passwordEdit->insert(QStringLiteral("\u20ac5"));
    QCOMPARE(passwordEdit->text(), QStringLiteral("secret"));
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
    auto* typedUser = again.findChild<QLineEdit*>("usernameEdit");
    typedUser->clear();
    typedUser->insert(QStringLiteral("J\u00fcrgen"));
    again.accept();
    QCOMPARE(Stored(SettingKeys::Username), QByteArray::fromHex("4afc7267656e"));
}

void tst_ShellDialogs::rescanReportIsPlainTextAndGoesWhenClosed()
{
    QPointer<SharedFilesRescannedDialog> dialog = new SharedFilesRescannedDialog;
    dialog->Append("3 files added.");
    dialog->Append("<b>0</b> files removed.");
    QCOMPARE(dialog->Text(), QString("3 files added.\n<b>0</b> files removed."));
    dialog->show();
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
}

void tst_ShellDialogs::listeningPort_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("pending");
    QTest::newRow("empty") << ""
                           << "Invalid Port Number"
                           << "";
    // The scrambled port would be 65536.
    QTest::newRow("the last port") << "65535"
                                   << "Invalid Port Number"
                                   << "";
    QTest::newRow("five nines") << "99999"
                                << "Invalid Port Number"
                                << "";
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

void tst_ShellDialogs::listeningPort()
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
    if (box == "Invalid Port Number")
        QCOMPARE(dialogs.shown.at(0).text, "Port number must be in the range of 1 to 65534.");
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

    // The next start listens there, the scrambled listener one port above.
    QTemporaryDir dir;
    QVERIFY(store.saver.Save(dir.filePath(".Quorvale")));
    QCOMPARE(
        Restart(dir.filePath(".Quorvale")),
        QByteArrayList({pending.toLatin1(), QByteArray::number(pending.toInt() + 1), "(none)"}));
}

void tst_ShellDialogs::sharedFolderAccess_data()
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

void tst_ShellDialogs::sharedFolderAccess()
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

void tst_ShellDialogs::colours_data()
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

void tst_ShellDialogs::colours()
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

void tst_ShellDialogs::colourChangesStayInTheDialog_data()
{
    QTest::addColumn<QString>("row"); // "WindowBackground": OnChangeWindowBackground changes
                                      // windowBackgroundColor by windowBackgroundButton
    for (const char* row :
         {"WindowBackground", "WindowText", "InputBackground", "InputText", "ButtonBackground",
          "ButtonText", "TransferComplete", "TransferQueued", "TransferInProgress",
          "TransferFailed", "TransferOther", "ChatUsername", "ChatTimestamp", "ChatStatus"})
        QTest::newRow(row) << row;
}

void tst_ShellDialogs::colourChangesStayInTheDialog()
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

void tst_ShellDialogs::savedColoursReachRowsAndNewChatLines()
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

void tst_ShellDialogs::storedPortsAtLoad_data()
{
    // A hand-edited or older store file: a listening port, and a port pending for the next start.
    QTest::addColumn<QByteArray>("listening");
    QTest::addColumn<QByteArray>("pending");
    QTest::addColumn<QByteArrayList>("ports"); // listening, scrambled, pending, dropped
    QTest::newRow("listened on cut to 16 bits, the server told it whole")
        << QByteArray("70000") << QByteArray() << QByteArrayList{"2235", "2236", "(none)", "70000"};
    QTest::newRow("the server told 4294967295")
        << QByteArray("-1") << QByteArray() << QByteArrayList{"2235", "2236", "(none)", "-1"};
    QTest::newRow("pending 65535 from an older dialog")
        << QByteArray("2235") << QByteArray("65535")
        << QByteArrayList{"2235", "2236", "(none)", "65535"};
}

void tst_ShellDialogs::storedPortsAtLoad()
{
    QFETCH(QByteArray, listening);
    QFETCH(QByteArray, pending);
    QFETCH(QByteArrayList, ports);

    QTemporaryDir dir;
    std::vector<std::pair<SettingKey, std::string>> settings{
        {SettingKeys::ListeningPort, listening.toStdString()},
        {SettingKeys::ObfuscatedListeningPort, "2236"}};
    if (!pending.isEmpty())
        settings.push_back({SettingKeys::NewListeningPort, pending.toStdString()});
    QVERIFY(WriteOfflineStore(dir.filePath(".Quorvale"), settings));
    QCOMPARE(Restart(dir.filePath(".Quorvale")), ports);
}

QTEST_MAIN(tst_ShellDialogs)
#include "tst_shelldialogs.moc"

// The main window as the program runs it: start-up in a home folder of the test's own, the login
// and the connection state, refused logins, the periodic sweep and save, and shutdown with a save
// that may fail.

#include "MainWindowClient.h"

#include "dnet/DNetManager.h"
#include "engine/Engine.h"
#include "peer/PeerMessenger.h"
#include "shares/SharedFoldersManager.h"
#include "shell/DiagnosticsForm.h"
#include "shell/EventToolBar.h"
#include "shell/SizeManager.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/TimerManager.h"
#include "store/TurnBudget.h"
#include "support/LogLines.h"
#include "transfers/TransferQueueManager.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"
#include "ui/dialogs/SharedFilesRescannedDialog.h"
#include "ui/search/SearchForm.h"
#include "ui/search/WishListSearcher.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryFile>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Whatever is written to the process's standard error while it lives.
class StderrCapture
{
public:
    StderrCapture() : m_file(QDir::temp().filePath(QStringLiteral("qv-stderr-XXXXXX")))
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = ::dup(2);
        ::dup2(m_file.handle(), 2);
    }
    ~StderrCapture() { Restore(); }
    QByteArray Text()
    {
        Restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void Restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

// A disk that takes only so many bytes of a file, as a full one does: a write past them fails with
// EFBIG (the signal that would end the process is ignored meanwhile). A read-only folder stops no
// test run as root, this does.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes) : m_handler(std::signal(SIGXFSZ, SIG_IGN))
    {
        ::getrlimit(RLIMIT_FSIZE, &m_before);
        rlimit limited = m_before;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        Lift();
        std::signal(SIGXFSZ, m_handler);
    }
    void Lift() { ::setrlimit(RLIMIT_FSIZE, &m_before); }

private:
    rlimit m_before{};
    void (*m_handler)(int);
};

// Answers boxes as ScriptedDialogs does, over the client's, after a step the user takes while
// each box is up.
class StepAtBox : public ScriptedDialogs
{
public:
    QMessageBox::StandardButton Show(const MessageBox& box) override
    {
        if (step)
            step();
        return ScriptedDialogs::Show(box);
    }
    std::function<void()> step;
};

// A room's tab as the room forms are: it leaves its room through the server connection when it
// is closed.
class RoomTab : public QWidget
{
public:
    explicit RoomTab(std::string room) : m_room(std::move(room)) {}
    ~RoomTab() override
    {
        s_serverLiveWhenClosed = gp_server != nullptr;
        if (gp_server)
            gp_server->LeaveRoom(m_room);
    }
    static inline bool s_serverLiveWhenClosed = false;

private:
    std::string m_room;
};

QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs answer on the modal dialog start-up opens, once it is up.
void WhenModal(std::function<void(QWidget*)> answer)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, answer] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            answer(modal);
        }
    });
    poll->start(10);
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void startUpWithoutAUser_data();
    void startUpWithoutAUser();
    void loginShownInMenuAndIcon();
    void savedOptionsShown_data();
    void savedOptionsShown();
    void refusedLoginBoxes_data();
    void refusedLoginBoxes();
    void startUpRescanReportsToNoOne();
    void shutdownLeavesRoomsWhileServerLives();
    void periodicSweepAndSave();
    void failedSavesAreLoggedAndHarmless();
    void failedSaveAtShutdown_data();
    void failedSaveAtShutdown();
};

void tst_MainWindow::initTestCase()
{
    TurnBudget::SetStepsPerSliceForTesting(TurnBudget::kAtOnceForTesting);
}

void tst_MainWindow::startUpWithoutAUser_data()
{
    QTest::addColumn<bool>("damaged"); // the store file does not load
    QTest::addColumn<bool>("accepted");
    QTest::newRow("first run, alice typed") << false << true;
    QTest::newRow("first run cancelled") << false << false;
    QTest::newRow("unreadable store file") << true << false;
}

void tst_MainWindow::startUpWithoutAUser()
{
    QFETCH(bool, damaged);
    QFETCH(bool, accepted);
    Client client;
    if (damaged) {
        QFile file(client.home.StorePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("not a store file");
    }
    LogLines log(QStringLiteral("Configuration Data"));
    int connectionsDuringDialog = -1;
    bool connectedDuringDialog = true;
    WhenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<ChangeUsernamePasswordDialog*>(modal);
        QVERIFY(dialog);
        connectionsDuringDialog = client.fake.connectionCount();
        connectedDuringDialog = !client.Action("action_Connect")->isEnabled();
        if (!accepted)
            return dialog->reject();
        dialog->findChild<QLineEdit*>("usernameEdit")->setText("alice");
        dialog->findChild<QLineEdit*>("passwordEdit")->setText("pw");
        dialog->accept();
    });
    // Without a tray, nothing asks one for an icon.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QSystemTrayIcon")));
    client.Start();

    QCOMPARE(connectionsDuringDialog, 0);
    QVERIFY(!connectedDuringDialog);
    QCOMPARE(
        log.lines.value(0),
        QStringLiteral("Loading configuration data from %1/.Quorvale").arg(client.home.Path()));
    QCOMPARE(Settings::Text(SettingKeys::DataVersion), std::string("1"));
    if (damaged) {
        QVERIFY(log.Has(QStringLiteral("Failure to load configuration data.")));
        QCOMPARE(client.dialogs.shown.size(), 1);
        QCOMPARE(client.dialogs.shown.first().title,
                 QStringLiteral("Error loading configuration data"));
        QCOMPARE(client.dialogs.shown.first().text,
                 QStringLiteral("Your client configuration data could not be loaded. Starting "
                                "from scratch..."));
        // Start-up went on from the defaults, and the damaged file was kept aside.
        QCOMPARE(Settings::Text(SettingKeys::ChatTimestamps), std::string("activity_based"));
        QVERIFY(QFile::exists(client.home.StorePath() + QStringLiteral(".unreadable")));
    } else {
        QVERIFY(log.Has(QStringLiteral("Data loaded successfully.")));
        QVERIFY(client.dialogs.shown.isEmpty());
    }
    if (!accepted) {
        QVERIFY(!Settings::HasValue(SettingKeys::Username));
        // No attempt was started: the menu still offers to connect.
        QVERIFY(client.Action("action_Connect")->isEnabled());
        QVERIFY(!client.Action("action_Disconnect")->isEnabled());
        QCOMPARE(client.fake.connectionCount(), 0);
        return;
    }
    QVERIFY(client.fake.waitForConnection(kWaitMs));
    QByteArray login;
    QCOMPARE(client.fake.nextMessage(&login, kWaitMs), qint64(ServerCode::Login));
    WireReader reader(login);
    QCOMPARE(reader.str(), QByteArray("alice"));
    QCOMPARE(reader.str(), QByteArray("pw"));
}

void tst_MainWindow::loginShownInMenuAndIcon()
{
    Client client("alice");
    client.Start();
    QCOMPARE(client.window->ApplicationIcon(), QStringLiteral(":/icons/offline_icon"));
    // An attempt under way: neither action.
    QVERIFY(!client.Action("action_Connect")->isEnabled());
    QVERIFY(!client.Action("action_Disconnect")->isEnabled());
    Settings::Set(SettingKeys::EnablePrivateRoomAdd, "yes");

    client.AcceptLogin();
    // The window hears of the login before anything else does: its privileges request is the
    // first frame after the accept.
    QCOMPARE(client.fake.nextFrame(kWaitMs), hexBytes("5c000000"));
    QVERIFY(!client.Action("action_Connect")->isEnabled());
    QVERIFY(client.Action("action_Disconnect")->isEnabled());
    QCOMPARE(client.window->ApplicationIcon(), QStringLiteral(":/icons/online_icon"));
    QCOMPARE(Settings::Text(SettingKeys::EnablePrivateRoomAdd), std::string("no"));

    client.Action("action_Disconnect")->trigger();
    QVERIFY(client.Action("action_Connect")->isEnabled());
    QVERIFY(!client.Action("action_Disconnect")->isEnabled());
    QCOMPARE(client.window->ApplicationIcon(), QStringLiteral(":/icons/offline_icon"));
    QVERIFY(client.dialogs.shown.isEmpty());
}

void tst_MainWindow::savedOptionsShown_data()
{
    QTest::addColumn<QByteArray>("timestamps"); // empty: none stored
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("rewritten");
    QTest::addColumn<QByteArray>("yesOrNo"); // the tray, new shares and both chat logs
    QTest::newRow("activity based, all on")
        << QByteArray("activity_based") << 0 << QByteArray("activity_based") << QByteArray("yes");
    QTest::newRow("short") << QByteArray("per_message_short") << 1
                           << QByteArray("per_message_short") << QByteArray("no");
    QTest::newRow("long") << QByteArray("per_message_long") << 2 << QByteArray("per_message_long")
                          << QByteArray("yes");
    QTest::newRow("none") << QByteArray("no_timestamps") << 3 << QByteArray("no_timestamps")
                          << QByteArray("no");
    QTest::newRow("a word it does not know")
        << QByteArray("bogus") << 3 << QByteArray("no_timestamps") << QByteArray("no");
    QTest::newRow("none stored") << QByteArray() << 0 << QByteArray("activity_based")
                                 << QByteArray("yes");
}

void tst_MainWindow::savedOptionsShown()
{
    QFETCH(QByteArray, timestamps);
    QFETCH(int, index);
    QFETCH(QByteArray, rewritten);
    QFETCH(QByteArray, yesOrNo);
    const std::string flag = yesOrNo.toStdString();
    StoredSettings settings{{SettingKeys::MinimizeToTray, flag},
                            {SettingKeys::ExpandNewShares, flag},
                            {SettingKeys::LogRoomChat, flag},
                            {SettingKeys::LogPrivateChat, flag},
                            {SettingKeys::DownloadFolder, "/srv/d\xc3\xa9j\xc3\xa0"}};
    if (!timestamps.isEmpty())
        settings.push_back({SettingKeys::ChatTimestamps, timestamps.toStdString()});
    Client client("alice", settings);
    client.Start();
    const bool on = yesOrNo == "yes";
    auto* timestampsBox = client.Child<QComboBox>("chatTimestampsBox");
    QCOMPARE(timestampsBox->currentIndex(), index);
    QCOMPARE(QByteArray::fromStdString(Settings::Text(SettingKeys::ChatTimestamps)), rewritten);
    for (const char* box : {"minimizeToTrayCheckBox", "autoExpandSharesCheckBox",
                            "logRoomChatCheckBox", "logPrivateChatCheckBox"})
        QVERIFY2(client.Child<QCheckBox>(box)->isChecked() == on, box);
    QVERIFY(!client.Child<QCheckBox>("uPnPCheckBox")->isChecked());
    // The port the peer connection manager wrote after the load; the folder as the engine keeps
    // it, in the file system's encoding.
    QCOMPARE(client.Child<QLineEdit>("listeningPortEdit")->text(), QStringLiteral("0"));
    QCOMPARE(client.Child<QLineEdit>("downloadFolderEdit")->text(),
             QStringLiteral("/srv/d\u00e9j\u00e0"));

    // Each choice writes its word.
    const char* const words[] = {"activity_based", "per_message_short", "per_message_long",
                                 "no_timestamps"};
    for (int i : {1, 0, 3, 2}) {
        timestampsBox->setCurrentIndex(i);
        QCOMPARE(Settings::Text(SettingKeys::ChatTimestamps), std::string(words[i]));
    }
}

void tst_MainWindow::refusedLoginBoxes_data()
{
    QTest::addColumn<QByteArray>("reason"); // empty: the socket fails
    QTest::addColumn<bool>("lostBefore");   // a logged-in connection was lost first
    QTest::addColumn<QString>("title");     // empty: no box
    QTest::addColumn<QString>("text");
    const QString advice = QStringLiteral(
        " Please change your login settings in the Options tab and try reconnecting.");
    QTest::newRow("wrong password")
        << QByteArray("INVALIDPASS") << false << QStringLiteral("Login Failure: Wrong Password")
        << "Login failed. The password you supplied does not match your username." + advice;
    QTest::newRow("invalid user name")
        << QByteArray("INVALIDUSERNAME") << false
        << QStringLiteral("Login Failure: Username is Invalid")
        << "Login failed. The username you supplied is invalid." + advice;
    QTest::newRow("another reason, quoted as it is")
        << QByteArray("invalidpass") << false << QStringLiteral("Login Failure")
        << "Login failed. Reported failure reason: invalidpass." + advice;
    QTest::newRow("refused after a lost connection")
        << QByteArray("INVALIDPASS") << true << QStringLiteral("Login Failure: Wrong Password")
        << "Login failed. The password you supplied does not match your username." + advice;
    QTest::newRow("server unreachable at start")
        << QByteArray() << false << QStringLiteral("Login Failure")
        << "Login failed. Reported failure reason: socket error." + advice;
    QTest::newRow("server unreachable after a lost connection")
        << QByteArray() << true << QString() << QString();
}

void tst_MainWindow::refusedLoginBoxes()
{
    QFETCH(QByteArray, reason);
    QFETCH(bool, lostBefore);
    QFETCH(QString, title);
    QFETCH(QString, text);
    Client client("alice");
    if (reason.isEmpty() && !lostBefore)
        client.fake.stop();
    client.Start();
    QSignalSpy failed(gp_server, &Server::ConnectionFailed);
    if (lostBefore) {
        client.AcceptLogin();
        client.fake.closeClient();
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsAbruptlyDisconnected(), kWaitMs);
        if (reason.isEmpty())
            client.fake.stop();
        // The reconnection attempt.
        timerManager->everyHalfMinute()->Fire();
    }
    if (!reason.isEmpty()) {
        QVERIFY(client.fake.waitForConnection(kWaitMs));
        QCOMPARE(client.fake.nextMessage(nullptr, kWaitMs), qint64(ServerCode::Login));
        client.fake.sendFrame(WireWriter().u32(ServerCode::Login).u8(0).str(reason));
    }
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, kWaitMs);
    // Whatever the box, the attempt is over and the user may try again.
    QVERIFY(client.Action("action_Connect")->isEnabled());
    QVERIFY(!client.Action("action_Disconnect")->isEnabled());
    if (title.isEmpty()) {
        QVERIFY(client.dialogs.shown.isEmpty());
        return;
    }
    QCOMPARE(client.dialogs.shown.size(), 1);
    const ModalDialogs::MessageBox& box = client.dialogs.shown.first();
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(box.parent, client.window.get());
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

void tst_MainWindow::startUpRescanReportsToNoOne()
{
    QTemporaryDir share;
    QVERIFY(QDir(share.path()).mkpath(QStringLiteral("sub")));
    Client client("alice");
    client.Start();
    d.GetType("shared_folder")->GetItem(Value(share.path().toStdString()));
    // The start-up rescan reports once the event loop has applied it, after Init.
    QSignalSpy rescanned(sharedFoldersManager, &SharedFoldersManager::SharedFilesRescanned);
    QTRY_COMPARE(rescanned.size(), 1);
    QTRY_VERIFY(!sharedFoldersManager->IsScanning());
    QCoreApplication::processEvents();
    const auto reports = [&client] {
        return client.window->findChildren<SharedFilesRescannedDialog*>().size();
    };
    QCOMPARE(reports(), 0);

    sharedFoldersManager->RescanShares();
    QTRY_COMPARE(reports(), 1);
    QCOMPARE(rescanned.size(), 2);
}

void tst_MainWindow::shutdownLeavesRoomsWhileServerLives()
{
    QTemporaryDir kept;
    const QString storePath = kept.filePath(QStringLiteral("saved"));
    {
        Client client("alice");
        client.Start();
        client.AcceptLogin();
        ItemPtr lobby = d.GetType("room")->GetItem(Value("lobby"));
        lobby.NewItem("in_room");
        lobby.NewItem("room_autojoin");
        // A saved type's item that nothing reaches: the sweep before the save takes it.
        d.GetType("room_autojoin")->NewItem();
        d.GetType("user")->GetItem(Value("bob")) += d.GetType("user_note")->GetItem(Value("ok"));
        d.GetType("wish_list_item")->GetItem(Value("abba"));
        auto* rooms = client.window->findChild<QTabWidget*>("roomsTabControl");
        rooms->addTab(new RoomTab("lobby"), QStringLiteral("lobby"));
        RoomTab::s_serverLiveWhenClosed = false;

        client.window.reset();
        QVERIFY(RoomTab::s_serverLiveWhenClosed);
        QVERIFY(client.fake.waitForClientClosed(kWaitMs));
        // Every service and form went, and its global with it.
        QCOMPARE(mainWindow, nullptr);
        QCOMPARE(gp_server, nullptr);
        QCOMPARE(peerMessenger, nullptr);
        QCOMPARE(dnetManager, nullptr);
        QCOMPARE(sharedFoldersManager, nullptr);
        QCOMPARE(transferQueueManager, nullptr);
        QCOMPARE(delayedInvoker, nullptr);
        QCOMPARE(dataSaver, nullptr);
        QCOMPARE(timerManager, nullptr);
        QCOMPARE(sizeManager, nullptr);
        QCOMPARE(actionBar, nullptr);
        QCOMPARE(eventToolBar, nullptr);
        QCOMPARE(diagnosticsForm, nullptr);
        QCOMPARE(searchForm, nullptr);
        QCOMPARE(wishListSearcher, nullptr);
        QVERIFY(QFile::copy(client.home.StorePath(), storePath));
    }

    // What was saved: the store as swept.
    ScriptedUpnp upnp;
    StoreGuard store;
    EngineOptions options;
    options.loopbackListeners = true;
    Engine engine(options);
    QVERIFY(engine.Load(storePath));
    QCOMPARE(Settings::Text(SettingKeys::Username), std::string("alice"));
    QCOMPARE(d.GetType("room_autojoin")->GetItems().size(), size_t(1));
    QVERIFY(d.GetType("room")->HasItem(Value("lobby")).IsConnected("room_autojoin"));
    // The shell's own saved types, which only the window declares: a user's note (with the
    // user) and a wish.
    const QByteArray saved = FileBytes(storePath);
    for (const char* text : {"user_note", "bob", "wish_list_item", "abba"})
        QVERIFY2(saved.contains(text), text);
}

void tst_MainWindow::periodicSweepAndSave()
{
    Client client("alice");
    client.Start();
    LogLines log(QStringLiteral("Configuration Data"));
    // A saved type's item that nothing reaches.
    d.GetType("room_autojoin")->NewItem();
    Settings::Set(SettingKeys::DownloadFolder, "/srv/periodic");

    timerManager->everyHalfMinute()->Fire();
    QVERIFY(d.GetType("room_autojoin")->GetItems().empty());
    QVERIFY(log.lines.isEmpty());
    QVERIFY(!FileBytes(client.home.StorePath()).contains("/srv/periodic"));

    timerManager->everyFiveMinutes()->Fire();
    QCOMPARE(log.lines.value(0), "Saving configuration data to " + client.home.StorePath());
    QVERIFY(FileBytes(client.home.StorePath()).contains("/srv/periodic"));
}

void tst_MainWindow::failedSavesAreLoggedAndHarmless()
{
    Client client("alice");
    client.Start();
    const QString path = client.home.StorePath();
    // The store file's place taken by a folder once the client runs.
    QVERIFY(QFile::remove(path));
    QFile::remove(path + QStringLiteral(".previous"));
    QVERIFY(QDir().mkdir(path));
    LogLines log(QStringLiteral("Configuration Data"));

    timerManager->everyFiveMinutes()->Fire();
    QCOMPARE(log.lines.value(0), "Saving configuration data to " + path);
    QVERIFY(log.lines.size() >= 3);
    QVERIFY(log.lines.at(1).startsWith(
        QStringLiteral("Saving the configuration data failed, the previous file is kept")));
    QCOMPARE(log.lines.last(),
             QStringLiteral("The configuration data was not saved; trying again in five "
                            "minutes."));
    // The client carries on.
    timerManager->everyHalfMinute()->Fire();
    client.AcceptLogin();

    StderrCapture stderrText;
    client.window.reset();
    const QByteArray said = stderrText.Text();
    QVERIFY2(said.contains("Quorvale: ") &&
                 said.contains("Saving the configuration data failed, the previous file is kept"),
             said.constData());
    QVERIFY(QFileInfo(path).isDir());
    // No temporary file was left beside it.
    QCOMPARE(QDir(client.home.Path())
                 .entryList(QDir::Files | QDir::Hidden, QDir::Name)
                 .filter(QStringLiteral(".Quorvale.")),
             QStringList());
}

void tst_MainWindow::failedSaveAtShutdown_data()
{
    QTest::addColumn<int>("answer"); // -1: ended by a termination signal, no box to answer
    QTest::newRow("try again, once the disk has room") << int(QMessageBox::Retry);
    QTest::newRow("quit without saving") << int(QMessageBox::Discard);
    QTest::newRow("box closed") << int(QMessageBox::NoButton);
    QTest::newRow("a termination signal") << -1;
}

void tst_MainWindow::failedSaveAtShutdown()
{
    QFETCH(int, answer);

    Client client("alice");
    client.Start();
    const QString path = client.home.StorePath();
    timerManager->everyFiveMinutes()->Fire();
    const QByteArray before = FileBytes(path);
    QVERIFY(!before.isEmpty());
    Settings::Set(SettingKeys::DownloadFolder, "/srv/since the last save");

    // Room for what goes to stderr, but not for the store file.
    QVERIFY(before.size() > 1024);
    FileSizeLimit full(512);
    StepAtBox dialogs;
    dialogs.answers << QMessageBox::StandardButton(answer);
    dialogs.step = [&full] { full.Lift(); };
    if (answer < 0) {
        LogLines log(QStringLiteral("Configuration Data"));
        StderrCapture stderrText;
        QVERIFY(!client.window->EndSession(MainWindow::Ending::Unattended));
        client.window.reset();
        QCOMPARE(dialogs.shown.size(), 0);
        const QString why = QString::fromLocal8Bit(std::strerror(EFBIG));
        QVERIFY2(stderrText.Text().contains(why.toLocal8Bit()), stderrText.Text().constData());
        QCOMPARE(log.lines.filter(QStringLiteral("failed, the previous file is kept")).size(), 1);
        QCOMPARE(FileBytes(path), before);
        return;
    }
    client.window.reset();

    QCOMPARE(dialogs.shown.size(), 1);
    const ModalDialogs::MessageBox& box = dialogs.shown.at(0);
    QCOMPARE(box.title, QString("Error saving configuration data"));
    QVERIFY2(box.text.contains(QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(box.text));
    QCOMPARE(box.buttons, QMessageBox::Retry | QMessageBox::Discard);
    QCOMPARE(box.defaultButton, QMessageBox::Retry);
    QCOMPARE(box.buttonTexts.value(0).second, QString("Try Again"));
    QCOMPARE(box.buttonTexts.value(1).second, QString("Quit Without Saving"));
    if (answer == QMessageBox::Retry)
        QVERIFY(FileBytes(path).contains("/srv/since the last save"));
    else
        QCOMPARE(FileBytes(path), before);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

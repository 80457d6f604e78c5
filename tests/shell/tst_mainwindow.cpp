// The main window as the program runs it: start-up in a home folder of the test's own, the login
// and the connection state, refused logins, the periodic sweep and save, and shutdown.

#include "MainWindowClient.h"

#include "dnet/DNetManager.h"
#include "engine/Engine.h"
#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "server/ServerCodes.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DiagnosticsForm.h"
#include "shell/EventToolBar.h"
#include "shell/MainWindow.h"
#include "shell/ModalDialogs.h"
#include "shell/SizeManager.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/FakeServer.h"
#include "support/LogLines.h"
#include "support/OfflineStore.h"
#include "support/ScriptedDialogs.h"
#include "support/ScriptedUpnp.h"
#include "support/StoreGuard.h"
#include "support/WireBytes.h"
#include "transfers/TransferQueueManager.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"
#include "ui/search/SearchForm.h"
#include "ui/search/WishListSearcher.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <memory>
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

// A room's tab as the room forms are: it leaves its room through the server connection when it
// is closed.
class RoomTab : public QWidget
{
public:
    explicit RoomTab(std::string room) : m_room(std::move(room)) {}
    ~RoomTab() override
    {
        serverLiveWhenClosed = gp_server != nullptr;
        if (gp_server)
            gp_server->LeaveRoom(m_room);
    }
    static inline bool serverLiveWhenClosed = false;

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
    void firstRunAsksForTheLoginFirst();
    void cancelledFirstRunStaysOffline();
    void unreadableStoreFileReported();
    void loginShownInMenuAndIcon();
    void savedOptionsShown_data();
    void savedOptionsShown();
    void refusedLoginBoxes_data();
    void refusedLoginBoxes();
    void shutdownLeavesRoomsWhileServerLives();
    void periodicSweepAndSave();
    void failedSavesAreLoggedAndHarmless();
};

void tst_MainWindow::firstRunAsksForTheLoginFirst()
{
    Client client;
    LogLines log(QStringLiteral("Configuration Data"));
    int connectionsDuringDialog = -1;
    bool connectedDuringDialog = true;
    WhenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<ChangeUsernamePasswordDialog*>(modal);
        QVERIFY(dialog);
        connectionsDuringDialog = client.fake.connectionCount();
        connectedDuringDialog = !client.Action("action_Connect")->isEnabled();
        dialog->findChild<QLineEdit*>("usernameEdit")->setText("alice");
        dialog->findChild<QLineEdit*>("passwordEdit")->setText("pw");
        dialog->accept();
    });
    // Without a tray, nothing asks one for an icon.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QSystemTrayIcon")));
    client.window->Init();

    QCOMPARE(connectionsDuringDialog, 0);
    QVERIFY(!connectedDuringDialog);
    QCOMPARE(
        log.lines.value(0),
        QStringLiteral("Loading configuration data from %1/.Quorvale").arg(client.home.Path()));
    QVERIFY(log.Has(QStringLiteral("Data loaded successfully.")));
    QCOMPARE(Settings::Text(SettingKeys::DataVersion), std::string("1"));

    QVERIFY(client.fake.waitForConnection(kWaitMs));
    QByteArray login;
    QCOMPARE(client.fake.nextMessage(&login, kWaitMs), qint64(ServerCode::Login));
    WireReader reader(login);
    QCOMPARE(reader.str(), QByteArray("alice"));
    QCOMPARE(reader.str(), QByteArray("pw"));
}

void tst_MainWindow::cancelledFirstRunStaysOffline()
{
    Client client;
    WhenModal([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
    client.window->Init();
    QVERIFY(!Settings::HasValue(SettingKeys::Username));
    // No attempt was started: the menu still offers to connect.
    QVERIFY(client.Action("action_Connect")->isEnabled());
    QVERIFY(!client.Action("action_Disconnect")->isEnabled());
    QCOMPARE(client.fake.connectionCount(), 0);
}

void tst_MainWindow::unreadableStoreFileReported()
{
    Client client;
    {
        QFile damaged(client.home.StorePath());
        QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write("not a store file");
    }
    LogLines log(QStringLiteral("Configuration Data"));
    WhenModal([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
    client.window->Init();
    QVERIFY(log.Has(QStringLiteral("Failure to load configuration data.")));
    QCOMPARE(client.dialogs.shown.size(), 1);
    QCOMPARE(client.dialogs.shown.first().title,
             QStringLiteral("Error loading configuration data"));
    QCOMPARE(client.dialogs.shown.first().text,
             QStringLiteral("Your client configuration data could not be loaded. Starting from "
                            "scratch..."));
    // Start-up went on from the defaults, and the damaged file was kept aside.
    QCOMPARE(Settings::Text(SettingKeys::DataVersion), std::string("1"));
    QCOMPARE(Settings::Text(SettingKeys::ChatTimestamps), std::string("activity_based"));
    QVERIFY(QFile::exists(client.home.StorePath() + QStringLiteral(".unreadable")));
}

void tst_MainWindow::loginShownInMenuAndIcon()
{
    Client client("alice");
    client.window->Init();
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
    QTest::addColumn<QByteArray>("timestamps");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("yesOrNo"); // the tray, new shares and both chat logs
    QTest::newRow("activity based, all on")
        << QByteArray("activity_based") << 0 << QByteArray("yes");
    QTest::newRow("short") << QByteArray("per_message_short") << 1 << QByteArray("no");
    QTest::newRow("long") << QByteArray("per_message_long") << 2 << QByteArray("yes");
    QTest::newRow("none") << QByteArray("no_timestamps") << 3 << QByteArray("no");
    QTest::newRow("a word it does not know") << QByteArray("hourly") << 3 << QByteArray("no");
}

void tst_MainWindow::savedOptionsShown()
{
    QFETCH(QByteArray, timestamps);
    QFETCH(int, index);
    QFETCH(QByteArray, yesOrNo);
    const std::string flag = yesOrNo.toStdString();
    Client client("alice", {{SettingKeys::ChatTimestamps, timestamps.toStdString()},
                            {SettingKeys::MinimizeToTray, flag},
                            {SettingKeys::ExpandNewShares, flag},
                            {SettingKeys::LogRoomChat, flag},
                            {SettingKeys::LogPrivateChat, flag},
                            {SettingKeys::DownloadFolder, "/srv/d\xc3\xa9j\xc3\xa0"}});
    client.window->Init();
    const bool on = yesOrNo == "yes";
    QWidget* window = client.window.get();
    QCOMPARE(window->findChild<QComboBox*>("chatTimestampsBox")->currentIndex(), index);
    for (const char* box : {"minimizeToTrayCheckBox", "autoExpandSharesCheckBox",
                            "logRoomChatCheckBox", "logPrivateChatCheckBox"})
        QVERIFY2(window->findChild<QCheckBox*>(box)->isChecked() == on, box);
    QVERIFY(!window->findChild<QCheckBox*>("uPnPCheckBox")->isChecked());
    // The port the peer connection manager wrote after the load; the folder as the engine keeps
    // it, in the file system's encoding.
    QCOMPARE(window->findChild<QLineEdit*>("listeningPortEdit")->text(), QStringLiteral("0"));
    QCOMPARE(window->findChild<QLineEdit*>("downloadFolderEdit")->text(),
             QStringLiteral("/srv/d\u00e9j\u00e0"));
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
    client.window->Init();
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

void tst_MainWindow::shutdownLeavesRoomsWhileServerLives()
{
    QTemporaryDir kept;
    const QString storePath = kept.filePath(QStringLiteral("saved"));
    {
        Client client("alice");
        client.window->Init();
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
        RoomTab::serverLiveWhenClosed = false;

        client.window.reset();
        QVERIFY(RoomTab::serverLiveWhenClosed);
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
    client.window->Init();
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
    client.window->Init();
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

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

#pragma once

// The main window as the program runs it, for the tests of its pages: a home folder of the
// case's own with a store file that keeps the client off the network, a fake central server,
// a scripted UPnP gateway and scripted boxes.

#include "RoomMessages.h"
#include "ToolBarTexts.h"

#include "server/Server.h"
#include "server/ServerCodes.h"
#include "shell/ActionSetToolBar.h"
#include "shell/MainWindow.h"
#include "store/Settings.h"
#include "support/FakeServer.h"
#include "support/OfflineStore.h"
#include "support/ScriptedDialogs.h"
#include "support/ScriptedUpnp.h"
#include "support/SeededUsers.h"
#include "support/StoreGuard.h"
#include "support/WireBytes.h"

#include <QAction>
#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// Generous: the client under test shares a loaded machine with the whole suite.
constexpr int kWaitMs = 30000;

using StoredSettings = std::vector<std::pair<SettingKey, std::string>>;

// A home folder of the case's own, with a store file that keeps the client off the network and
// holds the settings and the users given. With a user, the client logs in at start-up.
class Home
{
public:
    explicit Home(const char* user = nullptr, StoredSettings settings = {},
                  const SeededUsers& users = {})
        : m_oldHome(qgetenv("HOME"))
    {
        qputenv("HOME", QFile::encodeName(m_dir.path()));
        if (user) {
            settings.insert(settings.begin(),
                            {{SettingKeys::Username, user}, {SettingKeys::Password, "pw"}});
        }
        WriteOfflineStore(StorePath(), settings);
        if (!users.empty())
            SeedUsers(StorePath(), users);
    }
    ~Home() { qputenv("HOME", m_oldHome); }

    QString Path() const { return m_dir.path(); }
    QString StorePath() const { return m_dir.filePath(QStringLiteral(".Quorvale")); }

private:
    QByteArray m_oldHome;
    QTemporaryDir m_dir;
};

// The main window over a fake central server, boxes answered by the test.
struct Client
{
    explicit Client(const char* user = nullptr, const StoredSettings& settings = {},
                    const SeededUsers& users = {})
        : home(user, settings, users)
    {
        Server::UseEndpointForTesting(QHostAddress(QHostAddress::LocalHost), fake.port());
        window = std::make_unique<MainWindow>();
        window->show();
    }
    ~Client()
    {
        window.reset();
        Server::UseEndpointForTesting(QHostAddress(), 0);
    }

    // Start-up, as main runs it.
    void Start() { window->Init(); }

    // Takes the client's login and accepts it.
    void AcceptLogin()
    {
        QVERIFY(fake.waitForConnection(kWaitMs));
        QCOMPARE(fake.nextMessage(nullptr, kWaitMs), qint64(ServerCode::Login));
        fake.sendFrame(
            WireWriter().u32(ServerCode::Login).u8(1).str("Welcome").u32(0x0100007f).str("x"));
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), kWaitMs);
    }

    // The login, and whatever the client sends after it taken away.
    void LogIn()
    {
        AcceptLogin();
        Sent();
    }

    // A new login after a disconnection.
    void Reconnect()
    {
        gp_server->Connect();
        LogIn();
    }

    // Sends one message to the client and returns once the client has handled it: a marker
    // message follows it, and the client handles frames in order.
    bool Deliver(const QByteArray& body)
    {
        fake.sendFrame(body);
        const quint32 token = ++m_nextToken;
        bool seen = false;
        const auto connection =
            QObject::connect(gp_server, &Server::IndirectPeerConnectionFailure,
                             [&seen, token](uint t) { seen = seen || t == token; });
        fake.sendMessage(ServerCode::CantConnectToPeer, WireWriter().u32(token));
        const bool ok = QTest::qWaitFor([&seen] { return seen; }, kWaitMs);
        QObject::disconnect(connection);
        return ok;
    }

    // Every frame the client sent since the last call, whole (length first): a request that
    // nothing else sends follows them, and the frames before it are the ones sent until now.
    QList<QByteArray> Sent()
    {
        const QByteArray name = "marker " + QByteArray::number(++m_nextToken);
        gp_server->GetUserStats(name.toStdString());
        const QByteArray marker = frameOf(WireWriter().u32(ServerCode::GetUserStats).str(name));
        QList<QByteArray> frames;
        for (;;) {
            const QByteArray body = fake.nextFrame(kWaitMs);
            if (body.isNull()) {
                frames << QByteArray("(no marker)");
                return frames;
            }
            if (frameOf(body) == marker)
                return frames;
            frames << frameOf(body);
        }
    }

    // The texts of the tool bar's actions while the focus is on the widget (the support group
    // left out).
    QStringList BarTexts(QWidget* widget)
    {
        actionBar->OnApplicationFocusChanged(nullptr, widget);
        return ShownActionTexts(actionBar);
    }

    // A click on the bar's action of that text while the focus is on the widget.
    void Trigger(QWidget* widget, const QString& text)
    {
        actionBar->OnApplicationFocusChanged(nullptr, widget);
        for (QAction* action : actionBar->actions()) {
            if (action->isVisible() && action->text() == text) {
                action->trigger();
                return;
            }
        }
        QFAIL(qPrintable("no action " + text + " on the bar"));
    }

    QAction* Action(const char* name) const { return window->findChild<QAction*>(name); }
    template <class T = QWidget> T* Child(const char* name) const
    {
        return window->findChild<T*>(name);
    }

    // Every server made here (and its port forwarder) talks to these, not to the network.
    ScriptedUpnp upnp;
    FakeServer fake;
    ScriptedDialogs dialogs;
    Home home;
    StoreGuard store;
    std::unique_ptr<MainWindow> window;

private:
    quint32 m_nextToken = 0xC0DE0000u;
};

// The engine's composition root: what it builds in which order, how it loads, saves and tears
// down, and a service built without what it needs.

#include "dnet/DNetManager.h"
#include "engine/Engine.h"
#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "server/ServerCodes.h"
#include "shares/SharedFoldersManager.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/Dependency.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/FakeServer.h"
#include "support/LogLines.h"
#include "support/ScriptedUpnp.h"
#include "support/StoreFixture.h"
#include "support/StoreGuard.h"
#include "support/WireBytes.h"
#include "transfers/TransferQueueManager.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// What exists at a moment of start-up: the services' globals and one type of each schema.
QStringList Built()
{
    const std::pair<const void*, const char*> services[] = {{timerManager, "timers"},
                                                            {dataSaver, "saver"},
                                                            {gp_server, "server"},
                                                            {peerMessenger, "peer"},
                                                            {delayedInvoker, "invoker"},
                                                            {dnetManager, "dnet"},
                                                            {sharedFoldersManager, "shares"},
                                                            {transferQueueManager, "transfers"}};
    QStringList built;
    for (const auto& [service, name] : services) {
        if (service)
            built << name;
    }
    for (const char* type :
         {"user", "peer_socket", "global", "dnet_child", "shared_folder", "download_entry"}) {
        if (d.HasType(type))
            built << type;
    }
    return built;
}

const QString kTypesLeft = "user peer_socket global dnet_child shared_folder download_entry";

EngineOptions Loopback(quint16 serverPort = 0)
{
    EngineOptions options;
    options.loopbackListeners = true;
    options.localServerPort = serverPort;
    return options;
}

} // namespace

class tst_Engine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void buildsInStartUpOrder_data();
    void buildsInStartUpOrder();
    void tearsDownInShutdownOrder();
    void everySchemaDeclaredOnce();
    void logsInAndShutsDown();
    void loadReportsTheOutcome_data();
    void loadReportsTheOutcome();
    void shutdownSweepsThenSaves();
    void serviceWithoutDependencyFails_data();
    void serviceWithoutDependencyFails();

private:
    // Every engine here builds a Server: its port forwarder talks to this, not the network.
    ScriptedUpnp m_upnp;
};

void tst_Engine::buildsInStartUpOrder_data()
{
    // Per step, in the order of the steps: what it added.
    QTest::addColumn<bool>("peerMessenger");
    QTest::addColumn<QStringList>("added");
    QTest::newRow("everything") << true << QStringList{"0 timers",
                                                       "1 saver",
                                                       "2 server user",
                                                       "3 peer peer_socket",
                                                       "4 global",
                                                       "5 invoker",
                                                       "6 dnet dnet_child",
                                                       "7 shares shared_folder",
                                                       "8 transfers download_entry"};
    // The server's messages fill the peer types, so they are there without the manager; the
    // distributed network and the transfer engine are not built without it.
    QTest::newRow("server alone") << false
                                  << QStringList{"0 timers",        "1 saver",
                                                 "2 server user",   "3 peer_socket",
                                                 "4 global",        "5 invoker",
                                                 "6 dnet_child",    "7 shares shared_folder",
                                                 "8 download_entry"};
}

void tst_Engine::buildsInStartUpOrder()
{
    QFETCH(bool, peerMessenger);
    QFETCH(QStringList, added);
    StoreGuard store;
    QStringList steps;
    QStringList seen;
    EngineOptions options;
    options.peerMessenger = peerMessenger;
    options.afterStep = [&](EngineStep step) {
        QStringList now = Built();
        now.removeIf([&seen](const QString& s) { return seen.contains(s); });
        seen += now;
        steps << QString::number(int(step)) + ' ' + now.join(' ');
    };
    Engine engine(options);
    QCOMPARE(steps, added);
}

void tst_Engine::tearsDownInShutdownOrder()
{
    StoreGuard store;
    QStringList gone;
    {
        Engine engine;
        const auto watch = [&gone](QObject* object, const char* name) {
            QObject::connect(object, &QObject::destroyed, [&gone, name] { gone << name; });
        };
        watch(transferQueueManager, "transfers");
        watch(sharedFoldersManager, "shares");
        watch(delayedInvoker, "invoker");
        watch(dnetManager, "dnet");
        watch(peerMessenger, "peer");
        watch(gp_server, "server");
        watch(timerManager->everyHalfMinute(), "timers");
    }
    // Each service goes before those it calls, and leaves its global null.
    QCOMPARE(gone.join(' '), QStringLiteral("transfers shares invoker dnet peer server timers"));
    QCOMPARE(Built().join(' '), kTypesLeft);
}

void tst_Engine::everySchemaDeclaredOnce()
{
    StoreGuard store;
    // Two subsystems naming one type, or a relation to a type declared later, would throw here.
    Engine engine;
    // The root declared each schema already.
    for (void (*declare)(DataSaver&) :
         {&Server::CreateData, &PeerMessenger::CreateData, &Settings::CreateData,
          &SharedFoldersManager::CreateData, &DNetManager::CreateData,
          &TransferQueueManager::CreateData})
        QVERIFY_THROWS_EXCEPTION(TypeAlreadyExistsException, declare(engine.saver()));
}

void tst_Engine::logsInAndShutsDown()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("store"));
    StoreGuard store;
    FakeServer fake;
    {
        Engine engine(Loopback(fake.port()));
        QVERIFY(engine.Load(path));
        StoreFixture::SetSetting("username", "alice");
        engine.server().Connect();
        QVERIFY(fake.waitForConnection());
        QCOMPARE(fake.nextMessage(), qint64(ServerCode::Login));
        fake.sendFrame(
            WireWriter().u32(ServerCode::Login).u8(1).str("Welcome").u32(0x0100007f).str("x"));
        QTRY_VERIFY(engine.server().IsConnected());
        // The peer connection manager hears of the login through the root's wiring.
        QByteArray ports;
        qint64 code = 0;
        while (code >= 0 && code != ServerCode::SetWaitPort)
            code = fake.nextMessage(&ports);
        QCOMPARE(ports, WireWriter()
                            .u32(engine.peer()->ListeningPort())
                            .u32(1)
                            .u32(engine.peer()->ObfuscatedListeningPort())
                            .bytes());

        QVERIFY(engine.Shutdown(path));
        QVERIFY(fake.waitForClientClosed());
    }
    QVERIFY(QFile::exists(path));
    QCOMPARE(Built().join(' '), kTypesLeft);
}

void tst_Engine::loadReportsTheOutcome_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("last");
    const QString loaded = QStringLiteral("Data loaded successfully.");
    QTest::newRow("no file") << QByteArray() << loaded;
    QTest::newRow("empty store") << QByteArray(8, '\0') << loaded;
    QTest::newRow("unreadable") << QByteArray("not a store file")
                                << QStringLiteral("Failure to load configuration data.");
}

void tst_Engine::loadReportsTheOutcome()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, last);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral(".Quorvale"));
    QFile f(path);
    QVERIFY(file.isNull() || (f.open(QIODevice::WriteOnly) && f.write(file) == file.size()));
    f.close();
    StoreGuard store;
    Engine engine(Loopback());
    LogLines log(QStringLiteral("Configuration Data"));
    QCOMPARE(engine.Load(path), !last.startsWith("Failure"));
    // The store file handler may say more in between.
    QCOMPARE(log.lines.first(), QStringLiteral("Loading configuration data from %1").arg(path));
    QCOMPARE(log.lines.last(), last);
    // Either way the services finished their set-up from the data.
    QCOMPARE(StoreFixture::Setting("use_upnp"), std::string("yes"));
    QVERIFY(engine.peer()->ListeningPort() != 0);
}

void tst_Engine::shutdownSweepsThenSaves()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("store"));
    {
        StoreGuard store;
        Engine engine;
        StoreFixture::SetSetting("download_folder", "/srv/in");
        d.GetType("room")->GetItem(Value("lobby")).NewItem("room_autojoin");
        // A saved type's item that nothing reaches any more: the sweep takes it, so the save
        // never sees it.
        d.GetType("room_autojoin")->NewItem();
        d.GetType("search_request")->NewItem(Value(7));
        QVERIFY(engine.Shutdown(path));
    }
    StoreGuard store;
    Engine engine;
    QVERIFY(engine.Load(path));
    QCOMPARE(StoreFixture::Setting("download_folder"), std::string("/srv/in"));
    QCOMPARE(d.GetType("room_autojoin")->GetItems().size(), size_t(1));
    QVERIFY(d.GetType("room")->HasItem(Value("lobby")).IsConnected("room_autojoin"));
    QVERIFY(d.GetType("search_request")->GetItems().empty());
}

void tst_Engine::serviceWithoutDependencyFails_data()
{
    QTest::addColumn<QString>("service"); // "peer", "shares", "dnet" or "transfers"
    QTest::addColumn<bool>("server");
    QTest::addColumn<bool>("serverSchema");
    QTest::addColumn<bool>("ownSchema");
    QTest::addColumn<QString>("missing");
    const auto row = [](const char* name, const char* service, bool server, bool serverSchema,
                        bool ownSchema, const char* missing) {
        QTest::newRow(name) << service << server << serverSchema << ownSchema << missing;
    };
    row("no server connection", "peer", false, true, true,
        "The peer connection manager needs the server connection");
    row("no server schema", "peer", true, false, false,
        "The peer connection manager needs the store type \"user\"");
    row("no schema of its own", "peer", true, true, false,
        "The peer connection manager needs the store type \"peer_socket\"");
    row("shares, no server connection", "shares", false, true, true,
        "The shared-folder manager needs the server connection");
    row("shares, no schema of their own", "shares", true, true, false,
        "The shared-folder manager needs the store type \"shared_folder\"");
    row("distributed network, no peer connection manager", "dnet", true, true, true,
        "The distributed network needs the peer connection manager");
    row("transfers, no server connection", "transfers", false, true, true,
        "The transfer engine needs the server connection");
    row("transfers, no peer connection manager", "transfers", true, true, true,
        "The transfer engine needs the peer connection manager");
    row("transfers, no schema of their own", "transfers", true, true, false,
        "The transfer engine needs the store type \"download_entry\"");
}

void tst_Engine::serviceWithoutDependencyFails()
{
    QFETCH(QString, service);
    QFETCH(bool, server);
    QFETCH(bool, serverSchema);
    QFETCH(bool, ownSchema);
    QFETCH(QString, missing);
    const bool shares = service == "shares";
    const bool dnet = service == "dnet";
    const bool transfers = service == "transfers";
    StoreGuard store;
    DataSaver saver;
    std::unique_ptr<Server> serverConnection(server ? new Server : nullptr);
    if (serverSchema)
        Server::CreateData(saver);
    // The shares, the distributed network and the transfer engine read the peer manager's types
    // besides their own, and the transfer engine the shares' types.
    if (ownSchema || service != "peer")
        PeerMessenger::CreateData(saver);
    if ((ownSchema && shares) || transfers)
        SharedFoldersManager::CreateData(saver);
    if (ownSchema && transfers)
        TransferQueueManager::CreateData(saver);
    if (ownSchema && dnet) {
        Settings::CreateData(saver);
        DNetManager::CreateData(saver);
    }

    QString message;
    try {
        if (shares)
            SharedFoldersManager manager;
        else if (dnet)
            DNetManager manager;
        else if (transfers)
            TransferQueueManager manager;
        else
            PeerMessenger manager;
    } catch (const MissingDependencyError& e) {
        message = QString::fromUtf8(e.what());
    }
    QVERIFY2(message.startsWith(missing), qPrintable(message));
    // Nothing of it was left behind.
    QVERIFY(!peerMessenger && !sharedFoldersManager && !dnetManager && !transferQueueManager);
}

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"

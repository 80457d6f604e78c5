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
QString Built()
{
    QStringList built;
    if (timerManager)
        built << "timers";
    if (dataSaver)
        built << "saver";
    if (gp_server)
        built << "server";
    if (peerMessenger)
        built << "peer";
    if (delayedInvoker)
        built << "invoker";
    if (dnetManager)
        built << "dnet";
    if (sharedFoldersManager)
        built << "shares";
    if (transferQueueManager)
        built << "transfers";
    for (const char* type :
         {"user", "peer_socket", "global", "dnet_child", "shared_folder", "download_entry"}) {
        if (d.HasType(type))
            built << type;
    }
    return built.join(' ');
}

const char* StepName(EngineStep step)
{
    switch (step) {
    case EngineStep::Timers:
        return "Timers";
    case EngineStep::StoreFile:
        return "StoreFile";
    case EngineStep::Server:
        return "Server";
    case EngineStep::PeerMessenger:
        return "PeerMessenger";
    case EngineStep::SettingsTypes:
        return "SettingsTypes";
    case EngineStep::DelayedInvoker:
        return "DelayedInvoker";
    case EngineStep::DistributedNetwork:
        return "DistributedNetwork";
    case EngineStep::SharedFolders:
        return "SharedFolders";
    case EngineStep::TransferQueue:
        return "TransferQueue";
    }
    return "?";
}

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
    void everySchemaDeclaredOnce_data();
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
    QTest::addColumn<bool>("peerMessenger");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("everything")
        << true
        << QStringList(
               {"Timers: timers", "StoreFile: timers saver", "Server: timers saver server user",
                "PeerMessenger: timers saver server peer user peer_socket",
                "SettingsTypes: timers saver server peer user peer_socket global",
                "DelayedInvoker: timers saver server peer invoker user peer_socket global",
                "DistributedNetwork: timers saver server peer invoker dnet user peer_socket "
                "global dnet_child",
                "SharedFolders: timers saver server peer invoker dnet shares user peer_socket "
                "global dnet_child shared_folder",
                "TransferQueue: timers saver server peer invoker dnet shares transfers user "
                "peer_socket global dnet_child shared_folder download_entry"});
    // The server's messages fill the peer types, so they are there without the manager; the
    // distributed network and the transfer engine are not built without it.
    QTest::newRow("server alone")
        << false
        << QStringList({"Timers: timers", "StoreFile: timers saver",
                        "Server: timers saver server user",
                        "PeerMessenger: timers saver server user peer_socket",
                        "SettingsTypes: timers saver server user peer_socket global",
                        "DelayedInvoker: timers saver server invoker user peer_socket global",
                        "DistributedNetwork: timers saver server invoker user peer_socket "
                        "global dnet_child",
                        "SharedFolders: timers saver server invoker shares user peer_socket "
                        "global dnet_child shared_folder",
                        "TransferQueue: timers saver server invoker shares user peer_socket "
                        "global dnet_child shared_folder download_entry"});
}

void tst_Engine::buildsInStartUpOrder()
{
    QFETCH(bool, peerMessenger);
    QFETCH(QStringList, expected);
    StoreGuard store;
    QStringList steps;
    EngineOptions options;
    options.peerMessenger = peerMessenger;
    options.afterStep = [&steps](EngineStep step) {
        steps << QStringLiteral("%1: %2").arg(QLatin1String(StepName(step)), Built());
    };
    Engine engine(options);
    QCOMPARE(steps, expected);
    QCOMPARE(engine.peer() != nullptr, peerMessenger);
    QCOMPARE(engine.dnet() != nullptr, peerMessenger);
    QCOMPARE(engine.transfers() != nullptr, peerMessenger);
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
    // Each service goes before those it calls.
    QCOMPARE(gone,
             QStringList({"transfers", "shares", "invoker", "dnet", "peer", "server", "timers"}));
    QCOMPARE(Built(),
             QStringLiteral("user peer_socket global dnet_child shared_folder download_entry"));
}

void tst_Engine::everySchemaDeclaredOnce_data()
{
    QTest::addColumn<int>("schema");
    QTest::newRow("server connection") << 0;
    QTest::newRow("peer connection manager") << 1;
    QTest::newRow("settings") << 2;
    QTest::newRow("shared folders") << 3;
    QTest::newRow("distributed network") << 4;
    QTest::newRow("transfer engine") << 5;
}

void tst_Engine::everySchemaDeclaredOnce()
{
    QFETCH(int, schema);
    void (*const declare[])(DataSaver&) = {
        &Server::CreateData,      &PeerMessenger::CreateData,
        &Settings::CreateData,    &SharedFoldersManager::CreateData,
        &DNetManager::CreateData, &TransferQueueManager::CreateData};
    StoreGuard store;
    // Two subsystems naming one type, or a relation to a type declared later, would throw here.
    std::unique_ptr<Engine> engine;
    try {
        engine = std::make_unique<Engine>();
    } catch (const std::exception& e) {
        QFAIL(e.what());
    }
    // The root declared this schema already.
    QVERIFY_THROWS_EXCEPTION(TypeAlreadyExistsException, declare[schema](engine->saver()));
}

void tst_Engine::logsInAndShutsDown()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("store"));
    StoreGuard store;
    FakeServer fake;
    {
        Engine engine(Loopback(fake.port()));
        QVERIFY(engine.Load(path));
        QVERIFY(engine.peer()->ListeningPort() != 0);
        StoreFixture::SetSetting("username", "alice");
        StoreFixture::SetSetting("password", "secret");
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
        QCOMPARE(ports, WireWriter().u32(2235).u32(1).u32(2236).bytes());

        QVERIFY(engine.Shutdown(path));
        QVERIFY(!engine.server().IsConnected());
        QVERIFY(fake.waitForClientClosed());
    }
    QVERIFY(QFile::exists(path));
    QCOMPARE(Built(),
             QStringLiteral("user peer_socket global dnet_child shared_folder download_entry"));
}

void tst_Engine::loadReportsTheOutcome_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QString>("last");
    QTest::newRow("no file") << QByteArray() << true << QStringLiteral("Data loaded successfully.");
    QTest::newRow("empty store") << QByteArray(8, '\0') << true
                                 << QStringLiteral("Data loaded successfully.");
    QTest::newRow("unreadable") << QByteArray("not a store file") << false
                                << QStringLiteral("Failure to load configuration data.");
}

void tst_Engine::loadReportsTheOutcome()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, loaded);
    QFETCH(QString, last);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral(".Quorvale"));
    if (!file.isNull()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(file), file.size());
    }
    StoreGuard store;
    Engine engine(Loopback());
    LogLines log(QStringLiteral("Configuration Data"));
    QCOMPARE(engine.Load(path), loaded);
    // The store file handler may say more in between.
    QVERIFY(log.lines.size() >= 2);
    QCOMPARE(log.lines.first(), QStringLiteral("Loading configuration data from %1").arg(path));
    QCOMPARE(log.lines.last(), last);
    // Either way the services finished their set-up from the data.
    QCOMPARE(StoreFixture::Setting("use_upnp"), std::string("yes"));
    QVERIFY(engine.peer()->ListeningPort() != 0);
}

void tst_Engine::shutdownSweepsThenSaves()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
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
        QCOMPARE(d.GetType("room_autojoin")->GetItems().size(), size_t(2));
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
    QTest::newRow("no server connection")
        << "peer" << false << true << true
        << QStringLiteral("The peer connection manager needs the server connection");
    QTest::newRow("no server schema")
        << "peer" << true << false << false
        << QStringLiteral("The peer connection manager needs the store type \"user\"");
    QTest::newRow("no schema of its own")
        << "peer" << true << true << false
        << QStringLiteral("The peer connection manager needs the store type \"peer_socket\"");
    QTest::newRow("shares, no server connection")
        << "shares" << false << true << true
        << QStringLiteral("The shared-folder manager needs the server connection");
    QTest::newRow("shares, no schema of their own")
        << "shares" << true << true << false
        << QStringLiteral("The shared-folder manager needs the store type \"shared_folder\"");
    QTest::newRow("distributed network, no peer connection manager")
        << "dnet" << true << true << true
        << QStringLiteral("The distributed network needs the peer connection manager");
    QTest::newRow("transfers, no server connection")
        << "transfers" << false << true << true
        << QStringLiteral("The transfer engine needs the server connection");
    QTest::newRow("transfers, no peer connection manager")
        << "transfers" << true << true << true
        << QStringLiteral("The transfer engine needs the peer connection manager");
    QTest::newRow("transfers, no schema of their own")
        << "transfers" << true << true << false
        << QStringLiteral("The transfer engine needs the store type \"download_entry\"");
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
    std::unique_ptr<Server> serverConnection;
    if (server)
        serverConnection = std::make_unique<Server>();
    if (serverSchema)
        Server::CreateData(saver);
    // The shares, the distributed network and the transfer engine read the peer manager's types
    // besides their own, and the transfer engine the shares' types.
    if (ownSchema || shares || dnet || transfers)
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
    QCOMPARE(peerMessenger, nullptr);
    QCOMPARE(sharedFoldersManager, nullptr);
    QCOMPARE(dnetManager, nullptr);
    QCOMPARE(transferQueueManager, nullptr);
}

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"

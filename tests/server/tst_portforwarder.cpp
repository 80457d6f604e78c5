// UPnP port mapping against the scripted gateway: discovery, mapping after the first login, the
// conflict retry, the hourly renewal and a shutdown while the worker is stuck in a gateway call.
// What the real gateway answers is checked by the upnp_gateway test in network namespaces.

#include "ServerTestEnv.h"

#include "server/PortForwarder.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <vector>

using Devices = std::vector<UpnpBackend::Device>;
Q_DECLARE_METATYPE(Devices)

namespace {

const QString kCategory = QStringLiteral("Port Forwarding");
const char kGatewayType[] = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
const char kGatewayUrl[] = "http://192.0.2.1:5000/rootDesc.xml";

QStringList DiscoveryFound(const QString& url = QLatin1String(kGatewayUrl))
{
    return {QStringLiteral("Initializing UPnP"), QStringLiteral("Device list found"),
            url + QStringLiteral(", InternetGatewayDevice, found"),
            QStringLiteral("Device XML found.")};
}

} // namespace

class tst_PortForwarder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void discovery_data();
    void discovery();
    void initTwiceDiscoversOnce();
    void noDeviceListMapsNothing();
    void mappingOutcomes_data();
    void mappingOutcomes();
    void portsMappedAfterFirstLoginOnly_data();
    void portsMappedAfterFirstLoginOnly();
    void hourlyRenewalOnlyWhileLoggedIn();
    void shutdownDoesNotWaitForAStuckWorker();

private:
    // Logs in with UPnP on and the gateway found; the Port Forwarding lines of the discovery are
    // taken already.
    bool logInWithGateway(int obfuscatedPort);
    // Waits until the worker has handled every request made before: a removal of port 1 is
    // queued behind them, and its lines come last.
    bool drainWorker();

    std::unique_ptr<ServerTestEnv> m_env;
    std::unique_ptr<LogLines> m_log;
};

void tst_PortForwarder::init()
{
    m_env = std::make_unique<ServerTestEnv>();
    m_log = std::make_unique<LogLines>(kCategory);
    ServerTestEnv::SetSetting("use_upnp", "yes");
    ServerTestEnv::SetSetting("listening_port", "42235");
    ServerTestEnv::SetSetting("obfuscated_listening_port", "42236");
}

void tst_PortForwarder::cleanup()
{
    m_log.reset();
    m_env.reset();
}

bool tst_PortForwarder::logInWithGateway(int obfuscatedPort)
{
    ServerTestEnv::SetSetting("obfuscated_listening_port", std::to_string(obfuscatedPort));
    m_env->upnp().SetDevices({{kGatewayUrl, kGatewayType}});
    if (!m_env->logIn())
        return false;
    return QTest::qWaitFor([this] { return m_log->lines.size() >= DiscoveryFound().size(); }) &&
           m_log->lines.mid(0, DiscoveryFound().size()) == DiscoveryFound();
}

bool tst_PortForwarder::drainWorker()
{
    const qsizetype before = m_log->lines.size();
    portForwarder->RemovePortMapping(1);
    return QTest::qWaitFor([&] {
        return m_log->lines.size() >= before + 2 &&
               m_log->lines.at(m_log->lines.size() - 2) ==
                   QLatin1String("Removing mapping for port 1");
    });
}

void tst_PortForwarder::discovery_data()
{
    QTest::addColumn<Devices>("devices");
    QTest::addColumn<bool>("descriptionFound");
    QTest::addColumn<QStringList>("lines"); // after "Initializing UPnP" and "Device list found"
    QTest::addColumn<QString>("loaded");

    const QString a = QStringLiteral("http://192.0.2.7:1900/a.xml");
    const QString b = QStringLiteral("http://192.0.2.8:1900/b.xml");
    const QString media = QStringLiteral("urn:schemas-upnp-org:device:MediaServer:1");
    const QString url = QLatin1String(kGatewayUrl);
    QTest::newRow("one gateway") << Devices{{kGatewayUrl, kGatewayType}} << true
                                 << DiscoveryFound().mid(2) << url;
    QTest::newRow("gateway second")
        << Devices{{a.toStdString(), "upnp:rootdevice"}, {b.toStdString(), kGatewayType}} << true
        << QStringList{a + ", upnp:rootdevice skipping", b + ", InternetGatewayDevice, found",
                       "Device XML found."}
        << b;
    QTest::newRow("no gateway among them")
        << Devices{{a.toStdString(), "upnp:rootdevice"}, {b.toStdString(), media.toStdString()}}
        << true
        << QStringList{a + ", upnp:rootdevice skipping", b + ", " + media + " skipping",
                       "Defaulting to first device found, upnp:rootdevice", "Device XML found."}
        << a;
    QTest::newRow("description not fetched")
        << Devices{{kGatewayUrl, kGatewayType}} << false
        << QStringList{url + ", InternetGatewayDevice, found", "Device XML not found."} << url;
}

void tst_PortForwarder::discovery()
{
    QFETCH(Devices, devices);
    QFETCH(bool, descriptionFound);
    QFETCH(QStringList, lines);
    QFETCH(QString, loaded);
    m_env->upnp().SetDevices(devices);
    m_env->upnp().SetDescriptionFound(descriptionFound);
    ServerTestEnv::SetSetting("username", "alice");
    m_env->server().Connect();
    QTRY_COMPARE(m_log->lines, DiscoveryFound().mid(0, 2) + lines);
    QCOMPARE(m_env->upnp().Calls(), QStringList({"discover", "load " + loaded}));
}

void tst_PortForwarder::initTwiceDiscoversOnce()
{
    m_env->upnp().SetDevices({{kGatewayUrl, kGatewayType}});
    ServerTestEnv::SetSetting("username", "alice");
    m_env->server().Connect();
    // The options page starts discovery too when UPnP is switched on.
    portForwarder->Init();
    QVERIFY(drainWorker());
    QCOMPARE(m_log->lines.mid(0, 4), DiscoveryFound());
    QCOMPARE(m_log->lines.size(), 6); // the removal's two lines, and nothing of a second discovery
    QCOMPARE(m_env->upnp().Calls().count("discover"), 1);
}

void tst_PortForwarder::noDeviceListMapsNothing()
{
    m_env->upnp().SetDevices({}, -3);
    QVERIFY(m_env->logIn());
    const QStringList expected = {
        "Initializing UPnP",
        "No device list found during discovery. miniupnp error code: -3",
        "Found own address to be 127.0.0.1",
        "UPnP appears to not have been initialized, aborting.",
        "Found own address to be 127.0.0.1",
        "UPnP appears to not have been initialized, aborting.",
    };
    QTRY_COMPARE(m_log->lines, expected);
    QCOMPARE(m_env->upnp().Calls(), QStringList{"discover"});
}

void tst_PortForwarder::mappingOutcomes_data()
{
    QTest::addColumn<QList<int>>("addResults");
    QTest::addColumn<int>("deleteResult");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("calls");

    const QString found = QStringLiteral("Found own address to be 127.0.0.1");
    const QString add = QStringLiteral("add 42235 127.0.0.1");
    const QStringList retried = {add, "delete 42235", add};
    // The removal's lines go out before the mapping's own.
    const auto conflict = [&found](const QString& removal, const QString& last) {
        QStringList lines = {"Removing mapping for port 42235", removal, found,
                             "Port already mapped, attempting to remove existing mapping before "
                             "retrying."};
        return last.isEmpty() ? lines : lines << last;
    };
    const QString removed = QStringLiteral("Port mapping successfully removed.");
    QTest::newRow("mapped") << QList<int>{0} << 0
                            << QStringList{found, "Port 42235 successfully mapped."}
                            << QStringList{add};
    QTest::newRow("conflict, then mapped")
        << QList<int>{718, 0} << 0 << conflict(removed, "Second mapping attempt successful.")
        << retried;
    QTest::newRow("conflict twice")
        << QList<int>{718, 718} << 0 << conflict(removed, "") << retried;
    QTest::newRow("conflict, then another failure")
        << QList<int>{718, 501} << 0
        << conflict(removed, "Second mapping attempt failed, miniupnp error: 501") << retried;
    QTest::newRow("conflict, removal refused")
        << QList<int>{718, 0} << 714
        << conflict("Port mapping removal failed, miniupnp error: 714",
                    "Second mapping attempt successful.")
        << retried;
    QTest::newRow("refused") << QList<int>{606} << 0
                             << QStringList{found,
                                            "Port 42235 mapping failure, miniupnp error: 606"}
                             << QStringList{add};
}

void tst_PortForwarder::mappingOutcomes()
{
    QFETCH(QList<int>, addResults);
    QFETCH(int, deleteResult);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, calls);
    m_env->upnp().SetAddResults(std::deque<int>(addResults.begin(), addResults.end()));
    m_env->upnp().SetDeleteResult(deleteResult);
    QVERIFY(logInWithGateway(0));
    QTRY_COMPARE(m_log->lines.mid(4), lines);
    QCOMPARE(m_env->upnp().Calls().mid(2), calls);
}

void tst_PortForwarder::portsMappedAfterFirstLoginOnly_data()
{
    QTest::addColumn<int>("obfuscatedPort");
    QTest::addColumn<QStringList>("calls");
    QTest::newRow("both ports") << 42236
                                << QStringList{"add 42235 127.0.0.1", "add 42236 127.0.0.1"};
    QTest::newRow("no scrambled port") << 0 << QStringList{"add 42235 127.0.0.1"};
}

void tst_PortForwarder::portsMappedAfterFirstLoginOnly()
{
    QFETCH(int, obfuscatedPort);
    QFETCH(QStringList, calls);
    QVERIFY(logInWithGateway(obfuscatedPort));
    QVERIFY(drainWorker());
    QCOMPARE(m_env->upnp().Calls().mid(2), calls + QStringList{"delete 1"});

    // A later login maps nothing: the mappings were asked for once, and the hour renews them.
    QVERIFY(m_env->dropAndReconnect());
    QTRY_VERIFY(m_env->server().IsConnected());
    QVERIFY(drainWorker());
    QCOMPARE(m_env->upnp().Calls().mid(2), calls + QStringList({"delete 1", "delete 1"}));
}

void tst_PortForwarder::hourlyRenewalOnlyWhileLoggedIn()
{
    LogLines server(QStringLiteral("server"));
    const QString renewing = QStringLiteral("Renewing UPnP port mapping.");
    m_env->upnp().SetDevices({{kGatewayUrl, kGatewayType}});
    timerManager->everyHour()->Fire(); // idle
    QVERIFY(logInWithGateway(42236));
    QVERIFY(drainWorker());
    const QStringList first = m_env->upnp().Calls();

    timerManager->everyHour()->Fire();
    QVERIFY(server.Has(renewing));
    QVERIFY(drainWorker());
    QCOMPARE(m_env->upnp().Calls().mid(first.size()),
             QStringList({"add 42235 127.0.0.1", "add 42236 127.0.0.1", "delete 1"}));

    // Switched off, or logged out: nothing.
    ServerTestEnv::SetSetting("use_upnp", "no");
    timerManager->everyHour()->Fire();
    ServerTestEnv::SetSetting("use_upnp", "yes");
    m_env->server().Disconnect();
    timerManager->everyHour()->Fire();
    QVERIFY(drainWorker());
    QCOMPARE(server.lines.count(renewing), 1);
    QCOMPARE(m_env->upnp().Calls().mid(first.size() + 3), QStringList{"delete 1"});
}

void tst_PortForwarder::shutdownDoesNotWaitForAStuckWorker()
{
    // Built by hand: the scripted gateway must outlive the engine here.
    cleanup();
    StoreGuard store;
    ScriptedUpnp upnp;
    FakeServer fake;
    EngineOptions options;
    options.peerMessenger = false;
    options.localServerPort = fake.port();
    auto engine = std::make_unique<Engine>(options);
    const int workers = PortForwarder::WorkerThreadCount();
    ServerTestEnv::SetSetting("use_upnp", "yes");
    ServerTestEnv::SetSetting("username", "alice");

    upnp.BlockDiscovery();
    engine->server().Connect();
    QTRY_VERIFY(upnp.Discovering());
    // Deleting the Server deletes its port forwarder, which gives the worker a few seconds and
    // then leaves it inside its gateway call.
    engine.reset();
    QCOMPARE(PortForwarder::WorkerThreadCount(), workers);
    QCOMPARE(upnp.BackendsAlive(), 1);

    // Released, the worker ends its request and posts to nobody, then frees its gateway records
    // and its thread.
    LogLines lines(kCategory);
    upnp.Release();
    QTRY_COMPARE(upnp.BackendsAlive(), 0);
    QTRY_COMPARE(PortForwarder::WorkerThreadCount(), workers - 1);
    QVERIFY(lines.lines.isEmpty());
}

QTEST_GUILESS_MAIN(tst_PortForwarder)
#include "tst_portforwarder.moc"

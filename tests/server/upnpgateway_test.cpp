// UPnP port mapping against a real gateway (miniupnpd) with the real library. This program runs
// only inside the LAN namespace that upnpgateway_test.sh makes with the shared upnp-gateway tool:
// there this host is 192.0.2.2, the gateway 192.0.2.1, and nothing leaves the namespaces. The
// fake central server listens on 192.0.2.2, so the address the client maps is 192.0.2.2 (the
// gateway refuses 127.0.0.1).

#include "engine/Engine.h"
#include "server/PortForwarder.h"
#include "server/Server.h"
#include "server/ServerCodes.h"
#include "store/TimerManager.h"
#include "support/FakeServer.h"
#include "support/LogLines.h"
#include "support/StoreFixture.h"
#include "support/StoreGuard.h"
#include "support/WireBytes.h"

#include <QHostAddress>
#include <QProcess>
#include <QTest>

#include <cstdio>
#include <memory>

namespace {

const char kGatewayVariable[] = "QV_UPNP_GATEWAY";
const char kToolVariable[] = "QV_UPNP_GATEWAY_TOOL";
const QString kRootDescription = QStringLiteral("http://192.0.2.1:5000/rootDesc.xml");
const QHostAddress kLanAddress(QStringLiteral("192.0.2.2"));
// Discovery listens for two seconds, and every request is an HTTP exchange with the gateway.
constexpr int kGatewayWaitMs = 30000;

QString Run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(kGatewayWaitMs))
        process.kill();
    return QString::fromLocal8Bit(process.readAll());
}

// The gateway's mappings as the tool lists them.
QString Mappings()
{
    return Run(QStringLiteral("bash"),
               {qEnvironmentVariable(kToolVariable), QStringLiteral("list"),
                qEnvironmentVariable(kGatewayVariable)});
}

// upnpc straight at the gateway's description, without a discovery of its own.
QString Upnpc(const QStringList& arguments)
{
    return Run(QStringLiteral("upnpc"), QStringList{QStringLiteral("-u"), kRootDescription} +
                                            arguments);
}

QString Mapping(int port, const char* client = "192.0.2.2")
{
    return QStringLiteral("%1->%2:%1 'QuorvaleQT'").arg(port).arg(QLatin1String(client));
}

// Whether wanted appears in lines in this order (other lines may come between).
bool InOrder(const QStringList& lines, const QStringList& wanted)
{
    qsizetype at = 0;
    for (const QString& line : lines) {
        if (at < wanted.size() && line == wanted.at(at))
            ++at;
    }
    return at == wanted.size();
}

} // namespace

class tst_UpnpGateway : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void mapsBothListeningPorts();
    void conflictingMappingIsReplaced();
    void hourlyRenewalWhileLoggedIn();

private:
    void logIn();

    std::unique_ptr<StoreGuard> m_store;
    std::unique_ptr<FakeServer> m_fake;
    std::unique_ptr<Engine> m_engine;
    std::unique_ptr<LogLines> m_log;
};

void tst_UpnpGateway::init()
{
    for (const char* port : {"42235", "42236"})
        Upnpc({QStringLiteral("-d"), QLatin1String(port), QStringLiteral("TCP")});
    m_store = std::make_unique<StoreGuard>();
    m_fake = std::make_unique<FakeServer>(kLanAddress);
    QVERIFY(m_fake->isListening());
    Server::UseEndpointForTesting(kLanAddress, m_fake->port());
    EngineOptions options;
    options.peerMessenger = false;
    m_engine = std::make_unique<Engine>(options);
    m_log = std::make_unique<LogLines>(QStringLiteral("Port Forwarding"));
    StoreFixture::SetSetting("username", "alice");
    StoreFixture::SetSetting("password", "secret");
    StoreFixture::SetSetting("use_upnp", "yes");
    StoreFixture::SetSetting("listening_port", "42235");
    StoreFixture::SetSetting("obfuscated_listening_port", "42236");
}

void tst_UpnpGateway::cleanup()
{
    m_log.reset();
    m_engine.reset();
    Server::UseEndpointForTesting(QHostAddress(), 0);
    m_fake.reset();
    m_store.reset();
}

void tst_UpnpGateway::logIn()
{
    m_engine->server().Connect();
    QVERIFY(m_fake->waitForConnection());
    QCOMPARE(m_fake->nextMessage(), qint64(ServerCode::Login));
    m_fake->sendFrame(WireWriter().u32(ServerCode::Login).u8(1).str("Welcome").u32(0).str(""));
    QTRY_VERIFY(m_engine->server().IsConnected());
}

void tst_UpnpGateway::mapsBothListeningPorts()
{
    logIn();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->Has("Port 42236 successfully mapped."), kGatewayWaitMs);
    const QStringList expected = {
        "Initializing UPnP",
        "Device list found",
        kRootDescription + ", InternetGatewayDevice, found",
        "Device XML found.",
        "Found own address to be 192.0.2.2",
        "Port 42235 successfully mapped.",
        "Found own address to be 192.0.2.2",
        "Port 42236 successfully mapped.",
    };
    QCOMPARE(m_log->lines, expected);
    const QString mappings = Mappings();
    QVERIFY2(mappings.contains(Mapping(42235)), qPrintable(mappings));
    QVERIFY2(mappings.contains(Mapping(42236)), qPrintable(mappings));
}

void tst_UpnpGateway::conflictingMappingIsReplaced()
{
    Upnpc({"-a", "192.0.2.3", "42235", "42235", "TCP"});
    QVERIFY2(Mappings().contains("42235->192.0.2.3:42235"), qPrintable(Mappings()));
    logIn();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->Has("Second mapping attempt successful."), kGatewayWaitMs);
    const QStringList expected = {
        "Removing mapping for port 42235",
        "Port mapping successfully removed.",
        "Found own address to be 192.0.2.2",
        "Port already mapped, attempting to remove existing mapping before retrying.",
        "Second mapping attempt successful.",
    };
    QVERIFY2(InOrder(m_log->lines, expected), qPrintable(m_log->lines.join('\n')));
    const QString mappings = Mappings();
    QVERIFY2(mappings.contains(Mapping(42235)), qPrintable(mappings));
    QVERIFY2(!mappings.contains("192.0.2.3"), qPrintable(mappings));
}

void tst_UpnpGateway::hourlyRenewalWhileLoggedIn()
{
    LogLines server(QStringLiteral("server"));
    logIn();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->Has("Port 42236 successfully mapped."), kGatewayWaitMs);
    // Gone from the gateway (a router restarted, a lease ran out): the hour maps them again.
    for (const char* port : {"42235", "42236"})
        Upnpc({QStringLiteral("-d"), QLatin1String(port), QStringLiteral("TCP")});
    QVERIFY(!Mappings().contains(Mapping(42235)));
    m_log->lines.clear();
    timerManager->everyHour()->Fire();
    QVERIFY(server.Has("Renewing UPnP port mapping."));
    QTRY_VERIFY_WITH_TIMEOUT(m_log->lines.count("Port 42236 successfully mapped.") == 1,
                             kGatewayWaitMs);
    QVERIFY(m_log->Has("Port 42235 successfully mapped."));
    QString mappings = Mappings();
    QVERIFY2(mappings.contains(Mapping(42235)) && mappings.contains(Mapping(42236)),
             qPrintable(mappings));

    // Logged out, the hour does nothing. A removal queued behind it shows the worker is done.
    m_engine->server().Disconnect();
    for (const char* port : {"42235", "42236"})
        Upnpc({QStringLiteral("-d"), QLatin1String(port), QStringLiteral("TCP")});
    m_log->lines.clear();
    timerManager->everyHour()->Fire();
    portForwarder->RemovePortMapping(1);
    QTRY_VERIFY_WITH_TIMEOUT(m_log->lines.size() == 2, kGatewayWaitMs);
    QCOMPARE(m_log->lines.at(0), QStringLiteral("Removing mapping for port 1"));
    QCOMPARE(server.lines.count("Renewing UPnP port mapping."), 1);
    mappings = Mappings();
    QVERIFY2(!mappings.contains("QuorvaleQT"), qPrintable(mappings));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Outside the namespaces the discovery would go out onto whatever network this machine is
    // on: refuse to run there.
    if (!qEnvironmentVariableIsSet(kGatewayVariable) || !qEnvironmentVariableIsSet(kToolVariable)) {
        std::fprintf(stderr, "SKIP: runs only inside the test gateway's namespaces; start it "
                             "through upnpgateway_test.sh\n");
        return 77;
    }
    tst_UpnpGateway test;
    return QTest::qExec(&test, argc, argv);
}

#include "upnpgateway_test.moc"

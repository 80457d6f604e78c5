#pragma once

#include "server/Server.h"
#include "server/ServerCodes.h"
#include "store/Data.h"
#include "store/Log.h"
#include "store/TimerManager.h"
#include "support/FakeServer.h"
#include "support/StoreFixture.h"
#include "support/StoreGuard.h"
#include "support/WireBytes.h"

#include <QByteArray>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <string>

// Collects the log lines written while it lives.
class LogCapture
{
public:
    LogCapture()
    {
        m_connection =
            QObject::connect(LogHub::Instance(), &LogHub::LineLogged,
                             [this](const QString&, const QString& line) { lines << line; });
    }
    ~LogCapture() { QObject::disconnect(m_connection); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines;

private:
    QMetaObject::Connection m_connection;
};

// One client connection under test: the server connection's store types and the types of other
// subsystems that its messages touch, a Server pointed at a FakeServer on 127.0.0.1, and helpers
// to log in and to deliver scripted messages. Made per test function, on a fresh store.
class ServerTestEnv : public StoreFixture
{
public:
    ServerTestEnv()
    {
        // Settings are declared elsewhere in the program.
        DeclareSettingTypes();
        m_timers = std::make_unique<TimerManager>();
        m_fake = std::make_unique<FakeServer>();
        m_server = std::make_unique<Server>();
        m_server->CreateData();
        // The peer and search types relate to `user`, so they come after the schema.
        DeclarePeerTypes();
        m_server->UseLocalServerForTesting(m_fake->port());
    }

    ~ServerTestEnv()
    {
        m_server.reset();
        m_fake.reset();
        m_timers.reset();
    }

    Server& server() { return *m_server; }
    // The shared ticks, fired by hand instead of waited for.
    void fireHalfMinute() { timerManager->everyHalfMinute()->Fire(); }
    void fireFiveMinutes() { timerManager->everyFiveMinutes()->Fire(); }
    FakeServer& fake() { return *m_fake; }

    // The room item of a name, made if missing.
    static ItemPtr Room(const std::string& n) { return d.GetType("room")->GetItem(Value(n)); }

    // Starts a connection and takes the login frame at the fake; returns its body (null on
    // failure).
    QByteArray connectAndTakeLogin()
    {
        m_server->Connect();
        if (!m_fake->waitForConnection())
            return QByteArray();
        return m_fake->nextFrame();
    }

    // The accepted form of the login reply: the flag, then a greeting, a number and a text that
    // the client reads past.
    static QByteArray acceptedLoginReply()
    {
        return WireWriter().u32(ServerCode::Login).u8(1).str("Welcome").u32(0x0100007f).str("x");
    }

    // The whole login: connect, take the login frame, send the accepted reply and wait until the
    // client is logged in. Frames the login caused stay queued at the fake.
    bool logIn()
    {
        if (!m_server->IsConnected() && Setting("username").empty())
            SetSetting("username", "alice");
        if (Setting("password").empty())
            SetSetting("password", "secret");
        if (connectAndTakeLogin().isEmpty())
            return false;
        m_fake->sendFrame(acceptedLoginReply());
        return QTest::qWaitFor([this] { return m_server->IsConnected(); });
    }

    // Closes the client's connection at the fake, waits until the client has noticed, lets the
    // half-minute tick connect again, takes the login and sends the accepted reply. False if the
    // loss went unnoticed or no login came.
    bool dropAndReconnect()
    {
        m_fake->closeClient();
        if (!QTest::qWaitFor([this] { return !m_server->IsConnected(); }))
            return false;
        fireHalfMinute();
        if (!m_fake->waitForConnection() || nextMessage() != ServerCode::Login)
            return false;
        m_fake->sendFrame(acceptedLoginReply());
        return true;
    }

    // Sends one message to the client and returns once the client has handled it: a marker
    // message follows it, and the client handles frames in order.
    bool deliverFrame(const QByteArray& body)
    {
        m_fake->sendFrame(body);
        return sync();
    }

    bool deliver(quint32 code, const QByteArray& fields = QByteArray())
    {
        return deliverFrame(WireWriter().u32(code).raw(fields));
    }

    // Waits until every frame sent so far has been handled: sends a code 1001 with a fresh token
    // and waits for its signal.
    bool sync()
    {
        const quint32 token = ++m_nextSyncToken;
        bool seen = false;
        const auto connection =
            QObject::connect(m_server.get(), &Server::IndirectPeerConnectionFailure,
                             [&seen, token](uint t) { seen = seen || t == token; });
        m_fake->sendMessage(ServerCode::CantConnectToPeer, WireWriter().u32(token));
        const bool ok = QTest::qWaitFor([&seen] { return seen; });
        QObject::disconnect(connection);
        return ok;
    }

    // The next message the client sent: its code, the remaining fields in *rest; -1 on time-out.
    qint64 nextMessage(QByteArray* rest = nullptr) { return m_fake->nextMessage(rest); }

    // A request that is sent whenever logged in and changes nothing (code 92). Sending it last
    // and finding it next proves that nothing else was sent before it.
    void sendMarkerRequest() { m_server->GetOwnPrivilegesStatus(); }
    bool nextIsMarker()
    {
        QByteArray rest;
        return nextMessage(&rest) == ServerCode::OwnPrivileges && rest.isEmpty();
    }

private:
    // Types that other subsystems declare in the program and that the server connection uses:
    // peer addresses, relayed requests and searches.
    static void DeclarePeerTypes()
    {
        d.NewType("peer_connection_request", RootPrimacy, true, false);
        d.NewType("peer_connection_request_id", ValuePrimacy, false, true);
        d.NewType("peer_connection_type", ValuePrimacy, false, true);
        d.NewType("user_address", ValuePrimacy, false, true);
        d.NewType("user_port", ValuePrimacy, false, true);
        d.NewType("user_obfuscated_port", ValuePrimacy, false, true);
        d.NewType("search_request", RootPrimacy, false, false);
        d.NewType("search_request_text", RootPrimacy, false, true);
        d.NewType("wishlist_search", ValuePrimacy, true, true);
        d.NewType("search_correlation", ReachablePrimacy, true, true);
        d.NewType("correlation_text", ValuePrimacy, false, true);
        d.NewType("correlation_rank", ValuePrimacy, false, true);
        Type* request = d.GetType("peer_connection_request");
        request->RelateToType("peer_connection_request_id", Many, One);
        request->RelateToType("user", Many, One);
        request->RelateToType("peer_connection_type", Many, One);
        Type* user = d.GetType("user");
        user->RelateToType("user_address", Many, One);
        user->RelateToType("user_port", Many, One);
        user->RelateToType("user_obfuscated_port", Many, One);
        Type* search = d.GetType("search_request");
        search->RelateToType("search_request_text", Many, One);
        search->RelateToType("wishlist_search", Many, One);
        Type* text = d.GetType("search_request_text");
        text->RelateToType("search_correlation", One, Many);
        Type* correlation = d.GetType("search_correlation");
        correlation->RelateToType("correlation_text", Many, One);
        correlation->RelateToType("correlation_rank", Many, One);
    }

private:
    StoreGuard m_store;
    std::unique_ptr<TimerManager> m_timers;
    std::unique_ptr<FakeServer> m_fake;
    std::unique_ptr<Server> m_server;
    quint32 m_nextSyncToken = 0xC0DE0000u;
};

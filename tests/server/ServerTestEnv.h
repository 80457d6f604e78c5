#pragma once

#include "engine/Engine.h"
#include "server/Server.h"
#include "server/ServerCodes.h"
#include "store/Data.h"
#include "store/Log.h"
#include "store/TimerManager.h"
#include "support/FakeServer.h"
#include "support/LogLines.h"
#include "support/ScriptedUpnp.h"
#include "support/StoreFixture.h"
#include "support/StoreGuard.h"
#include "support/WireBytes.h"

#include <QByteArray>
#include <QSignalSpy>
#include <QTest>

#include <string>

// Every log line, whatever its category.
using LogCapture = LogLines;

// One client connection under test: the engine without the peer connection manager, its server
// connection pointed at a FakeServer on 127.0.0.1, and helpers to log in and to deliver scripted
// messages. Made per test function, on a fresh store.
class ServerTestEnv : public StoreFixture
{
public:
    ServerTestEnv() : m_engine(Options(m_fake.port())) {}

    Server& server() { return m_engine.server(); }
    // The shared ticks, fired by hand instead of waited for.
    void fireHalfMinute() { timerManager->everyHalfMinute()->Fire(); }
    void fireFiveMinutes() { timerManager->everyFiveMinutes()->Fire(); }
    FakeServer& fake() { return m_fake; }
    // The gateway the port forwarder talks to instead of the network.
    ScriptedUpnp& upnp() { return m_upnp; }

    // The room item of a name, made if missing.
    static ItemPtr Room(const std::string& n) { return d.GetType("room")->GetItem(Value(n)); }

    // Starts a connection and takes the login frame at the fake; returns its body (null on
    // failure).
    QByteArray connectAndTakeLogin()
    {
        server().Connect();
        if (!m_fake.waitForConnection())
            return QByteArray();
        return m_fake.nextFrame();
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
        if (!server().IsConnected() && Setting("username").empty())
            SetSetting("username", "alice");
        if (Setting("password").empty())
            SetSetting("password", "secret");
        if (connectAndTakeLogin().isEmpty())
            return false;
        m_fake.sendFrame(acceptedLoginReply());
        return QTest::qWaitFor([this] { return server().IsConnected(); });
    }

    // Closes the client's connection at the fake, waits until the client has noticed, lets the
    // half-minute tick connect again, takes the login and sends the accepted reply. False if the
    // loss went unnoticed or no login came.
    bool dropAndReconnect()
    {
        m_fake.closeClient();
        if (!QTest::qWaitFor([this] { return !server().IsConnected(); }))
            return false;
        fireHalfMinute();
        if (!m_fake.waitForConnection() || nextMessage() != ServerCode::Login)
            return false;
        m_fake.sendFrame(acceptedLoginReply());
        return true;
    }

    // Sends one message to the client and returns once the client has handled it: a marker
    // message follows it, and the client handles frames in order.
    bool deliverFrame(const QByteArray& body)
    {
        m_fake.sendFrame(body);
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
            QObject::connect(&server(), &Server::IndirectPeerConnectionFailure,
                             [&seen, token](uint t) { seen = seen || t == token; });
        m_fake.sendMessage(ServerCode::CantConnectToPeer, WireWriter().u32(token));
        const bool ok = QTest::qWaitFor([&seen] { return seen; });
        QObject::disconnect(connection);
        return ok;
    }

    // The next message the client sent: its code, the remaining fields in *rest; -1 on time-out.
    qint64 nextMessage(QByteArray* rest = nullptr) { return m_fake.nextMessage(rest); }

    // A request that is sent whenever logged in and changes nothing (code 92). Sending it last
    // and finding it next proves that nothing else was sent before it.
    void sendMarkerRequest() { server().GetOwnPrivilegesStatus(); }
    bool nextIsMarker()
    {
        QByteArray rest;
        return nextMessage(&rest) == ServerCode::OwnPrivileges && rest.isEmpty();
    }

private:
    static EngineOptions Options(quint16 port)
    {
        EngineOptions options;
        options.peerMessenger = false;
        // The shares report their counts at login: frames these tests do not expect.
        options.sharedFolders = false;
        options.localServerPort = port;
        return options;
    }

    StoreGuard m_store;
    FakeServer m_fake;
    ScriptedUpnp m_upnp;
    Engine m_engine;
    quint32 m_nextSyncToken = 0xC0DE0000u;
};

#pragma once

#include "engine/Engine.h"
#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "store/Clock.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/TimerManager.h"
#include "support/FakePeer.h"
#include "support/FakeServer.h"
#include "support/LogLines.h"
#include "support/PeerDial.h"
#include "support/ScriptedUpnp.h"
#include "support/StoreFixture.h"
#include "support/StoreGuard.h"
#include "support/WireBytes.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <string>

// The "Peer Messenger" lines.
class PeerLog : public LogLines
{
public:
    PeerLog() : LogLines(QStringLiteral("Peer Messenger")) {}
};

// A client under test: a fresh store and the engine, its server connection pointed at a
// FakeServer and the peer connection manager listening on 127.0.0.1 on ports the system picks.
class PeerTestEnv : public StoreFixture
{
public:
    // With distributedNetwork, the engine builds the distributed network too. Without
    // transferEngine, file connections go to no receiver but the test's own.
    explicit PeerTestEnv(bool loadData = true, bool distributedNetwork = false,
                         bool transferEngine = true)
        : m_engine(Options(m_fake.port(), distributedNetwork, transferEngine))
    {
        if (loadData)
            LoadData();
    }

    // What start-up does once the store file is read: every registered handler is told.
    void LoadData() { dataSaver->EmitDataLoaded(); }

    Engine& engine() { return m_engine; }
    PeerMessenger& peer() { return *m_engine.peer(); }
    Server& server() { return m_engine.server(); }
    FakeServer& fake() { return m_fake; }

    static size_t Count(const char* type) { return d.GetType(type)->GetItems().size(); }

    // A stored time is the local date and time as text, to the second, and it was now.
    static bool IsStoredNow(ItemPtr item, const char* timeType)
    {
        const QDateTime t = Clock::FromText(QString::fromStdString(item[timeType].AsString()));
        return t.isValid() && t.timeSpec() == Qt::LocalTime &&
               t.toString(Qt::TextDate).toStdString() == item[timeType].AsString() &&
               qAbs(t.secsTo(Clock::Now())) <= 1;
    }
    // What a stored time reads after the wall clock was moved by seconds since it was stored.
    static void MoveWallClock(ItemPtr item, const char* timeType, qint64 seconds)
    {
        const QDateTime t = Clock::FromText(QString::fromStdString(item[timeType].AsString()));
        item += d.GetType(timeType)->GetItem(
            Value(t.addSecs(-seconds).toString(Qt::TextDate).toStdString()));
    }

    // Logs in as alice; the frames the login caused stay queued at the fake server.
    bool logIn()
    {
        SetSetting("username", "alice");
        SetSetting("password", "secret");
        server().Connect();
        if (!m_fake.waitForConnection() || m_fake.nextFrame().isEmpty())
            return false;
        m_fake.sendFrame(WireWriter().u32(1).u8(1).str("Welcome").u32(0x0100007f).str("x").bytes());
        return QTest::qWaitFor([this] { return server().IsConnected(); });
    }

    // Skips server messages until one with this code; its fields go to *rest.
    bool takeMessage(quint32 code, QByteArray* rest = nullptr)
    {
        for (int i = 0; i < 20; ++i) {
            const qint64 got = m_fake.nextMessage(rest);
            if (got < 0)
                return false;
            if (got == code)
                return true;
        }
        return false;
    }

    // Fake peers dialled in to this client (support/PeerDial.h).
    std::unique_ptr<FakePeer> Dial(bool obfuscatedPort) { return ::Dial(peer(), obfuscatedPort); }
    std::unique_ptr<FakePeer> DialMessaging(bool obfuscatedPort, const QByteArray& user = "bob")
    {
        return ::DialMessaging(peer(), obfuscatedPort, user);
    }

    void fireHalfMinute() { timerManager->everyHalfMinute()->Fire(); }

private:
    static EngineOptions Options(quint16 port, bool distributedNetwork, bool transferEngine)
    {
        EngineOptions options;
        options.transferQueue = transferEngine;
        options.localServerPort = port;
        options.loopbackListeners = true;
        // Most tests take the "D" sockets handed over themselves.
        options.distributedNetwork = distributedNetwork;
        return options;
    }

    // The clock is put back before the engine is built and after it is gone.
    struct ClockReset
    {
        ClockReset() { Clock::Reset(); }
        ~ClockReset() { Clock::Reset(); }
    };

    StoreGuard m_store;
    ClockReset m_clock;
    FakeServer m_fake;
    // No test sends gateway discovery.
    ScriptedUpnp m_upnp;
    Engine m_engine;
};

// Where the server says the user is.
inline void GiveAddress(const std::string& user, quint32 address, int port, int obfuscatedPort = 0)
{
    ItemPtr u = PeerTestEnv::User(user);
    u += d.GetType("user_address")->GetItem(Value(unsigned(address)));
    u += d.GetType("user_port")->GetItem(Value(port));
    u += d.GetType("user_obfuscated_port")->GetItem(Value(obfuscatedPort));
}

// Fields of the server's relayed request (code 18).
inline QByteArray RelayedRequest(const QByteArray& user, const QByteArray& type, quint16 port,
                                 quint32 token, quint16 obfuscatedPort = 0,
                                 quint32 address = 0x7f000001)
{
    WireWriter w;
    w.str(user).str(type).u32(address).i32(port).u32(token).u8(0);
    if (obfuscatedPort)
        w.u32(1).i32(obfuscatedPort);
    else
        w.u32(0);
    return w.bytes();
}

inline QByteArray Hex(const char* spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

// A peer message as the send queue takes it: the code first, then the fields.
inline MemStream Message(quint32 code, const QByteArray& fields = QByteArray())
{
    MemStream m;
    m.Write(code);
    m.WriteBuffer(fields.constData(), static_cast<unsigned long>(fields.size()));
    return m;
}

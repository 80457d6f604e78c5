#pragma once

#include "dnet/DNetManager.h"
#include "engine/Engine.h"
#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "server/ServerCodes.h"
#include "store/Clock.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "support/FakePeer.h"
#include "support/FakeServer.h"
#include "support/LogLines.h"
#include "support/ScriptedUpnp.h"
#include "support/StoreFixture.h"
#include "support/StoreGuard.h"
#include "support/WireBytes.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <string>

// The "Distributed Network" lines.
class DNetLog : public LogLines
{
public:
    DNetLog() : LogLines(QStringLiteral("Distributed Network")) {}
};

// A client under test, logged in as alice at a FakeServer, its peer listeners on 127.0.0.1, with
// fake peers as the parent, candidates and children of its place in the tree.
class DNetTestEnv : public StoreFixture
{
public:
    DNetTestEnv() : m_engine(Options(m_fake.port()))
    {
        dataSaver->EmitDataLoaded();
        SetSetting("username", "alice");
        SetSetting("password", "secret");
    }

    Engine& engine() { return m_engine; }
    DNetManager& dnet() { return *m_engine.dnet(); }
    FakeServer& fake() { return m_fake; }

    bool logIn()
    {
        m_engine.server().Connect();
        if (!m_fake.waitForConnection() || m_fake.nextFrame().isEmpty())
            return false;
        m_fake.sendFrame(WireWriter().u32(1).u8(1).str("Welcome").u32(0x0100007f).str("x"));
        return QTest::qWaitFor([this] { return m_engine.server().IsConnected(); });
    }

    // Returns once the client has handled every message the fake server sent so far: a code
    // 1001 with a fresh token goes last, and the client handles messages in order.
    bool Sync()
    {
        const quint32 token = 0x5e000000 + ++m_syncs;
        bool seen = false;
        const auto connection =
            QObject::connect(&m_engine.server(), &Server::IndirectPeerConnectionFailure,
                             [&seen, token](uint t) { seen = seen || t == token; });
        m_fake.sendMessage(ServerCode::CantConnectToPeer, WireWriter().u32(token));
        const bool ok = QTest::qWaitFor([&seen] { return seen; });
        QObject::disconnect(connection);
        return ok;
    }

    // The distributed network's reports to the server (has-parent, can-parent, level, group
    // leader, child depth) since the last call, as whole frames in the order sent, once what the
    // server sent is handled. A request sent last marks the end, so nothing sent before it can
    // be missed. What peers send must have been handled before.
    QList<QByteArray> Reports()
    {
        if (!Sync())
            return {"no sync"};
        m_engine.server().GetOwnPrivilegesStatus();
        QList<QByteArray> reports;
        for (;;) {
            const QByteArray body = m_fake.nextFrame();
            if (body.size() < 4)
                return reports << "no marker";
            const quint32 code = WireReader(body).u32();
            if (code == ServerCode::OwnPrivileges && body.size() == 4)
                return reports;
            if (code == ServerCode::DNetHasParent || code == ServerCode::DNetCanParent ||
                code == ServerCode::DNetLevel || code == ServerCode::DNetGroupLeader ||
                code == ServerCode::DNetChildDepth)
                reports << frameOf(body);
        }
    }

    // A peer that opened a connection of type "D" as user, with extra sent in the same write as
    // its first frame; returns once the client holds it as that user's child.
    std::unique_ptr<FakePeer> AddChild(const QByteArray& user, const QByteArray& extra = {})
    {
        auto peer = std::make_unique<FakePeer>();
        const std::string before = Child(user).AsString();
        if (!peer->ConnectTo(m_engine.peer()->ListeningPort()))
            return nullptr;
        peer->SendRaw(FakePeer::Frame(FakePeer::InitBody(user, "D")) + extra);
        const bool taken = QTest::qWaitFor([&] {
            const std::string now = Child(user).AsString();
            return !now.empty() && now != before;
        });
        return taken ? std::move(peer) : nullptr;
    }

    // A peer the server names as a possible parent; returns once it is our candidate, its
    // connection's first frame taken.
    std::unique_ptr<FakePeer> AddCandidate(const QByteArray& user)
    {
        auto peer = std::make_unique<FakePeer>();
        const quint16 port = peer->Listen();
        const size_t before = Count("dnet_parent_candidate");
        m_fake.sendMessage(ServerCode::DNetPossibleParents,
                           WireWriter().u32(1).str(user).u32(kLoopback).u32(port));
        QByteArray init;
        if (!peer->WaitForConnection() || !peer->WaitForFrame(&init) ||
            init != FakePeer::InitBody("alice", "D"))
            return nullptr;
        if (!QTest::qWaitFor([before] { return Count("dnet_parent_candidate") > before; }))
            return nullptr;
        return peer;
    }

    // A candidate that has sent its first search and so become the parent.
    std::unique_ptr<FakePeer> AddParent(const QByteArray& user)
    {
        auto peer = AddCandidate(user);
        if (!peer)
            return nullptr;
        peer->SendFrame(SearchBody("someone", 1, "first"));
        if (!QTest::qWaitFor([] { return Global("dnet_parent_user") != ""; }))
            return nullptr;
        return peer;
    }

    static size_t Count(const char* type) { return d.GetType(type)->ItemCount(); }
    static ItemPtr Child(const QByteArray& user) { return User(user.toStdString())["dnet_child"]; }
    // The value of a key of the manager's own, "" when it has none.
    static std::string Global(const char* key)
    {
        return d.GetType("dnet_global")->GetItem(Value(key))["dnet_value"].AsString();
    }
    static bool HasGlobal(const char* key)
    {
        return d.GetType("dnet_global")->GetItem(Value(key)).IsConnected("dnet_value");
    }
    static QTcpSocket* SocketOf(ItemPtr item) { return item.AsPointer<QTcpSocket>(); }

    static QByteArray SearchBody(const QByteArray& user, quint32 token, const QByteArray& query)
    {
        return WireWriter().u8(3).u32(49).str(user).u32(token).str(query);
    }

    static constexpr quint32 kLoopback = 0x7f000001;

private:
    static EngineOptions Options(quint16 port)
    {
        EngineOptions options;
        options.localServerPort = port;
        options.loopbackListeners = true;
        // The shares report at login: frames these tests do not look at.
        options.sharedFolders = false;
        return options;
    }

    StoreGuard m_store;
    // No gateway discovery leaves the test at login.
    ScriptedUpnp m_upnp;
    FakeServer m_fake;
    Engine m_engine;
    quint32 m_syncs = 0;
};

inline QByteArray Hex(const char* spaced)
{
    return hexBytes(spaced);
}

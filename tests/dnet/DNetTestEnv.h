#pragma once

#include "dnet/DNetManager.h"
#include "peer/PeerTestEnv.h"
#include "server/ServerCodes.h"

#include <initializer_list>
#include <utility>

// The "Distributed Network" lines.
class DNetLog : public LogLines
{
public:
    DNetLog() : LogLines(QStringLiteral("Distributed Network")) {}
};

// A client under test with the distributed network, its peer listeners on 127.0.0.1, with fake
// peers as the parent, candidates and children of its place in the tree.
class DNetTestEnv : public PeerTestEnv
{
public:
    DNetTestEnv() : PeerTestEnv(true, true) {}

    DNetManager& dnet() { return *dnetManager; }

    // Logged in as alice, past the first report: no parent yet.
    bool LoggedIn() { return logIn() && Reports() == QList<QByteArray>{kNoParent}; }

    // Returns once the client has handled every message the fake server sent so far: a code
    // 1001 with a fresh token goes last, and the client handles messages in order.
    bool Sync()
    {
        const quint32 token = 0x5e000000 + ++m_syncs;
        bool seen = false;
        const auto connection =
            QObject::connect(&server(), &Server::IndirectPeerConnectionFailure,
                             [&seen, token](uint t) { seen = seen || t == token; });
        fake().sendMessage(ServerCode::CantConnectToPeer, WireWriter().u32(token));
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
        server().GetOwnPrivilegesStatus();
        QList<QByteArray> reports;
        for (;;) {
            const QByteArray body = fake().nextFrame();
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

    // The server's list of possible parents (code 102): names and ports on 127.0.0.1.
    void NameParents(std::initializer_list<std::pair<const char*, quint16>> parents)
    {
        WireWriter list;
        list.u32(quint32(parents.size()));
        for (const auto& parent : parents)
            list.str(parent.first).u32(0x7f000001).u32(parent.second);
        fake().sendMessage(ServerCode::DNetPossibleParents, list);
    }

    // A peer that opened a connection of type "D" as user, with extra sent in the same write as
    // its first frame; returns once the client holds it as that user's child.
    std::unique_ptr<FakePeer> AddChild(const QByteArray& user, const QByteArray& extra = {})
    {
        auto peer = std::make_unique<FakePeer>();
        const std::string before = Child(user).AsString();
        if (!peer->ConnectTo(this->peer().ListeningPort()))
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
        const size_t before = Count("dnet_parent_candidate");
        NameParents({{user.constData(), peer->Listen()}});
        QByteArray init;
        if (!peer->WaitForConnection() || !peer->WaitForFrame(&init) ||
            init != FakePeer::InitBody("alice", "D"))
            return nullptr;
        if (!QTest::qWaitFor([before] { return Count("dnet_parent_candidate") > before; }))
            return nullptr;
        return peer;
    }

    // A candidate that has sent these bodies and then its first search, and so become the parent.
    std::unique_ptr<FakePeer> AddParent(const QByteArray& user,
                                        std::initializer_list<QByteArray> first = {})
    {
        auto peer = AddCandidate(user);
        if (!peer)
            return nullptr;
        for (const QByteArray& body : first)
            peer->SendFrame(body);
        peer->SendFrame(SearchBody("someone", 1, "first"));
        if (!QTest::qWaitFor([] { return HasGlobal("dnet_parent_user"); }))
            return nullptr;
        return peer;
    }

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

    // Code 71 carries whether a parent is still wanted: the negation of having one.
    inline static const QByteArray kNoParent = Hex("05000000 47000000 01");

private:
    quint32 m_syncs = 0;
};

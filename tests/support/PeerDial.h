#pragma once

// Fake peers dialled in to a client's peer connection manager, for the peer protocol tests and
// the form tests alike. Header only: the support library itself links no peer code.

#include "peer/PeerMessenger.h"
#include "store/Data.h"
#include "support/FakePeer.h"

#include <QTcpSocket>
#include <QTest>

#include <sys/resource.h>

#include <memory>

// Whether the manager keeps the connection from this port to it as an item of the type.
inline bool HoldsSocketOf(quint16 port, const char* type)
{
    for (Item* item : d.GetType(type)->GetItems()) {
        if (ItemPtr(item).AsPointer<QTcpSocket>()->peerPort() == port)
            return true;
    }
    return false;
}

// A fake peer that has connected to the manager's plain or scrambled port and been accepted
// (its socket is in the store); null when either did not happen.
inline std::unique_ptr<FakePeer> Dial(PeerMessenger& messenger, bool obfuscatedPort,
                                      const QHostAddress& from = QHostAddress())
{
    auto peer = std::make_unique<FakePeer>();
    if (!peer->ConnectTo(obfuscatedPort ? messenger.ObfuscatedListeningPort()
                                        : messenger.ListeningPort(),
                         5000, from))
        return nullptr;
    // Its own socket: another may have gone to make room for it.
    if (!QTest::qWaitFor(
            [&] { return HoldsSocketOf(peer->Socket()->localPort(), "uninitialized_socket"); }))
        return nullptr;
    peer->SetScrambled(obfuscatedPort);
    return peer;
}

// The same, then a first frame "P" as the user: a messaging connection, once the manager took
// it as one.
inline std::unique_ptr<FakePeer> DialMessaging(PeerMessenger& messenger, bool obfuscatedPort,
                                               const QByteArray& user = "bob",
                                               const QHostAddress& from = QHostAddress())
{
    auto peer = Dial(messenger, obfuscatedPort, from);
    if (!peer)
        return nullptr;
    peer->SendInit(user, "P");
    if (!QTest::qWaitFor([&] { return HoldsSocketOf(peer->Socket()->localPort(), "peer_socket"); }))
        return nullptr;
    return peer;
}

// A test that holds both ends of a flood of connections needs more descriptors than the usual
// limit.
inline void RaiseDescriptorLimit()
{
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    own.rlim_cur = qMax(own.rlim_cur, qMin(own.rlim_max, rlim_t(4096)));
    setrlimit(RLIMIT_NOFILE, &own);
}

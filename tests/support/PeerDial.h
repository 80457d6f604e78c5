#pragma once

// Fake peers dialled in to a client's peer connection manager, for the peer protocol tests and
// the form tests alike. Header only: the support library itself links no peer code.

#include "peer/PeerMessenger.h"
#include "store/Data.h"
#include "support/FakePeer.h"

#include <QTest>

#include <memory>

// A fake peer that has connected to the manager's plain or scrambled port and been accepted
// (its socket is in the store); null when either did not happen.
inline std::unique_ptr<FakePeer> Dial(PeerMessenger& messenger, bool obfuscatedPort)
{
    const auto count = [] { return d.GetType("uninitialized_socket")->ItemCount(); };
    auto peer = std::make_unique<FakePeer>();
    const size_t before = count();
    if (!peer->ConnectTo(obfuscatedPort ? messenger.ObfuscatedListeningPort()
                                        : messenger.ListeningPort()))
        return nullptr;
    if (!QTest::qWaitFor([&] { return count() > before; }))
        return nullptr;
    peer->SetScrambled(obfuscatedPort);
    return peer;
}

// The same, then a first frame "P" as the user: a messaging connection, once the manager took
// it as one.
inline std::unique_ptr<FakePeer> DialMessaging(PeerMessenger& messenger, bool obfuscatedPort,
                                               const QByteArray& user = "bob")
{
    const auto count = [] { return d.GetType("peer_socket")->ItemCount(); };
    auto peer = Dial(messenger, obfuscatedPort);
    if (!peer)
        return nullptr;
    const size_t before = count();
    peer->SendInit(user, "P");
    if (!QTest::qWaitFor([&] { return count() > before; }))
        return nullptr;
    return peer;
}

#include "peer/PeerMessenger.h"

#include "peer/PeerMessages.h"
#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "store/Clock.h"
#include "store/Log.h"

#include <QTcpSocket>
#include <QtEndian>

#include <tuple>
#include <unordered_map>

// The connection budget: what every connection the manager holds is held for, and who makes room
// for whom when the budget is full. Every way a connection comes to be held goes through Admit:
// accepted (Accept), answering our relayed request (the pierce in HandleFirstFrame), dialled for
// our user or a peer (StartDirectSocket, ConnectToUser before its relayed request) and opened
// for a peer's relayed request (OnPeerConnectionRequest). A connection taken keeps its place in
// the budget until it goes or is handed over: an accepted one introducing itself, a dialled one
// connecting, stay where they were counted.

namespace {

// When our user's request for a reply last went on a messaging connection (monotonic ms).
const char kReplyAskedAt[] = "qv_reply_asked_at";
// Ours take the place of a peer's one connection at its address only while they hold fewer than
// this: past it, our user's burst waits for its own connections to go, not for honest peers'.
constexpr int kOursTakingLone = PeerMessenger::kMaxPeerSockets / 2;

enum class Pool
{
    Address,
    Share,
    All
};

char TypeOf(ItemPtr item)
{
    const std::string type = item[PeerTypes::PeerConnectionType].AsString();
    return type.size() == 1 ? type[0] : 0;
}

} // namespace

std::vector<PeerMessenger::Held> PeerMessenger::HeldConnections() const
{
    std::vector<Held> all;
    for (const char* t : {PeerTypes::PeerConnectionRequestSocket, PeerTypes::UninitializedSocket,
                          PeerTypes::PeerSocket, PeerTypes::ConnectToPeerRequestSocket}) {
        for (Item* i : d.GetType(t)->GetItems()) {
            ItemPtr item(i);
            Held held;
            held.socket = item.AsPointer<QTcpSocket>();
            held.itemType = t;
            held.address = AddressOf(held.socket).toIPv4Address();
            if (ForPeer(held.socket)) {
                held.holder = Holder::AtPeersRequest;
                held.sinceMs = held.socket->property(kForPeerSince).toLongLong();
            }
            if (t == PeerTypes::PeerConnectionRequestSocket) {
                ItemPtr request = item[PeerTypes::PeerConnectionRequest];
                held.user = request[ServerTypes::User].AsString();
                held.type = TypeOf(request);
            } else if (t == PeerTypes::UninitializedSocket) {
                // Dialled, it answers a relayed file request and waits for its token.
                const SocketBufferInfo* state = FindReceiveState(held.socket);
                held.user = state ? state->m_user : std::string();
                held.type = state && state->m_expectFileToken ? 'F' : 0;
                if (!Dialled(held.socket)) {
                    held.holder = Holder::Silent;
                    held.sinceMs = StampedMs(item);
                }
            } else if (t == PeerTypes::PeerSocket) {
                held.user = item[ServerTypes::User].AsString();
                held.type = 'P';
                const auto accepted = m_acceptedPeerSockets.find(i->Id());
                if (held.holder == Holder::Ours && accepted != m_acceptedPeerSockets.end() &&
                    !accepted->second.ours) {
                    held.holder = Holder::Accepted;
                    held.sinceMs = accepted->second.sinceMs;
                }
                // One our user waits on for a reply keeps its place, whichever connection to
                // the user carries our user's requests now.
                held.awaited = ReplyDueOn(item);
                if (held.awaited)
                    held.holder = Holder::Ours;
                if (held.holder == Holder::Ours) {
                    held.sinceMs = LastActivityMs(item);
                    held.idle = held.socket->bytesToWrite() == 0;
                }
            } else {
                held.user = item[ServerTypes::User].AsString();
                held.type = TypeOf(item);
            }
            all.push_back(std::move(held));
        }
    }
    return all;
}

int PeerMessenger::HeldCount(Holder holder) const
{
    int count = 0;
    for (const Held& h : HeldConnections())
        count += h.holder == holder ? 1 : 0;
    return count;
}

QString PeerMessenger::Admit(Holder holder, quint32 address, const std::string& user,
                             const QString& newcomer)
{
    const bool shared = holder == Holder::AtPeersRequest || holder == Holder::Silent;
    const int shareCap =
        holder == Holder::Silent ? kMaxUninitializedSockets : kMaxPeerSocketsAtPeersRequest;
    // One connection closed a round: closing one tells others, who may open or close some.
    for (int round = 0; round < 8; ++round) {
        const std::vector<Held> held = HeldConnections();
        int withAddress = 0;
        int inShare = 0;
        int oursHeld = 0;
        for (const Held& h : held) {
            withAddress += address != 0 && h.address == address ? 1 : 0;
            inShare += h.holder == holder ? 1 : 0;
            oursHeld += h.holder == Holder::Ours ? 1 : 0;
        }
        Pool pool;
        QString reason;
        if (withAddress >= kMaxPeerSocketsPerAddress) {
            pool = Pool::Address;
            reason = QStringLiteral("%1 peer connections with %2 open or being opened")
                         .arg(withAddress)
                         .arg(QHostAddress(address).toString());
        } else if (shared && inShare >= shareCap) {
            pool = Pool::Share;
            reason = holder == Holder::Silent
                         ? QStringLiteral("%1 connections that have not introduced themselves")
                         : QStringLiteral("%1 peer connections open or being opened at peers' "
                                          "requests");
            reason = reason.arg(inShare);
        } else if (int(held.size()) >= kMaxPeerSockets) {
            pool = Pool::All;
            reason = QStringLiteral("%1 peer connections open or being opened").arg(held.size());
        } else {
            return QString();
        }
        const auto inPool = [&](const Held& h) {
            return pool == Pool::All ||
                   (pool == Pool::Address ? h.address == address : h.holder == holder);
        };

        // What peers hold of the full pool, by address: a party's many go before anyone's one.
        std::unordered_map<quint32, int> fromAddress;
        for (const Held& h : held) {
            if (inPool(h) && h.holder != Holder::Ours)
                ++fromAddress[h.address];
        }
        const auto own = fromAddress.find(address);
        const int newcomers = own != fromAddress.end() && address != 0 ? own->second : 0;
        const qint64 now = Clock::MonotonicMs();
        const Held* victim = nullptr;
        std::tuple<int, bool, int, int, qint64> best;
        for (const Held& h : held) {
            if (!inPool(h))
                continue;
            const bool ours = h.holder == Holder::Ours;
            const int count = ours ? 0 : fromAddress[h.address];
            const int atRequest = h.holder == Holder::AtPeersRequest ? 0 : 1;
            int tier = 0;
            if (holder == Holder::Ours) {
                // Ours: the party's requests, its addresses holding many, our idle, the rest;
                // not one our user waits on for a reply.
                if (ours && (!h.idle || h.awaited || h.user == user))
                    continue;
                tier = !atRequest ? 0 : ours ? 2 : count >= 2 ? 1 : 3;
                if (tier == 3 && oursHeld >= kOursTakingLone)
                    continue;
            } else if (ours) {
                // Anyone's: ours that have been idle a while, once no party holds more; not one
                // our user waits on for a reply, however quiet.
                if (!h.idle || h.awaited || h.user == user ||
                    now - h.sinceMs < kIdleBeforeMakingRoomMs)
                    continue;
                tier = 1;
            } else if (count < newcomers + 2) {
                continue;
            }
            const bool named = !user.empty() && h.user == user;
            const std::tuple<int, bool, int, int, qint64> key{tier, named, -count, atRequest,
                                                              h.sinceMs};
            if (!victim || key < best) {
                victim = &h;
                best = key;
            }
        }
        if (!victim)
            return reason;
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Closing %1, to make room for %2")
                .arg(DescribeHeld(*victim, fromAddress[victim->address]), newcomer));
        DisposeOfSocket(victim->socket);
    }
    return QStringLiteral("no room made after closing eight connections");
}

QString PeerMessenger::DescribeHeld(const Held& held, int fromAddress) const
{
    const QString address = QHostAddress(held.address).toString();
    const QString user = TextForLog(held.user);
    const QString many = QStringLiteral(" (%1 with that address)").arg(fromAddress);
    switch (held.holder) {
    case Holder::AtPeersRequest:
        return QStringLiteral("the connection to user %1 at %2 opened at a peer's request%3")
            .arg(user, address, many);
    case Holder::Silent:
        return QStringLiteral("a connection from %1 that has not introduced itself%2")
            .arg(address, many);
    case Holder::Accepted:
        return QStringLiteral("the messaging connection user %1 opened from %2%3")
            .arg(user, address, many);
    case Holder::Ours:
        break;
    }
    return QStringLiteral("our messaging connection to user %1 at %2, idle longest")
        .arg(user, address);
}

bool PeerMessenger::OpeningRefused(const QHostAddress& address, const std::string& user,
                                   Holder holder)
{
    QString reason = Admit(holder, address.toIPv4Address(), user,
                           QStringLiteral("a connection to user %1").arg(TextForLog(user)));
    if (reason.isEmpty())
        reason = PeerListener::OpeningShortage();
    if (reason.isEmpty())
        return false;
    bool& logged = holder == Holder::Ours ? m_openingRefusalLogged : m_peerOpeningRefusalLogged;
    if (!logged)
        Log(LogCategories::kPeerMessenger, 1,
            (holder == Holder::Ours
                 ? QStringLiteral("Not connecting to user %1 at %2 now: %3; our messaging "
                                  "connections asked for meanwhile wait for room")
                 : QStringLiteral("Not connecting to user %1 at %2: %3; connections asked for "
                                  "meanwhile fail at once"))
                .arg(TextForLog(user), address.toString(), reason));
    logged = true;
    return true;
}

PeerMessenger::Holder PeerMessenger::MessagingHolder(ItemPtr user)
{
    return WhatWaitsFor(user) == Waiting::Ours ? Holder::Ours : Holder::AtPeersRequest;
}

void PeerMessenger::MarkOurs(ItemPtr peerSocket)
{
    if (!peerSocket)
        return;
    // Anyone can open connections under any name: were each one our user's message went on
    // ours, a party could have every one of them held as ours by a name our user waits on.
    for (Item* i : peerSocket[ServerTypes::User].GetItems(PeerTypes::PeerSocket)) {
        if (i == peerSocket.Get())
            continue;
        auto* socket = ItemPtr(i).AsPointer<QTcpSocket>();
        const auto accepted = m_acceptedPeerSockets.find(i->Id());
        if (accepted != m_acceptedPeerSockets.end())
            accepted->second.ours = false;
        else if (!ForPeer(socket))
            MarkForPeer(socket, true);
    }
    MarkForPeer(peerSocket.AsPointer<QTcpSocket>(), false);
    const auto accepted = m_acceptedPeerSockets.find(peerSocket->Id());
    if (accepted != m_acceptedPeerSockets.end())
        accepted->second.ours = true;
}

void PeerMessenger::NoteReplyAsked(QTcpSocket* socket, const char* message, qsizetype length)
{
    if (length >= 4 && qFromLittleEndian<quint32>(message) == PM_GET_SHARED_FILE_LIST)
        socket->setProperty(kReplyAskedAt, Clock::MonotonicMs());
}

bool PeerMessenger::ReplyDueOn(ItemPtr peerSocket) const
{
    const auto asked = m_shareListsAsked.find(peerSocket[ServerTypes::User].AsString());
    const QVariant on = peerSocket.AsPointer<QTcpSocket>()->property(kReplyAskedAt);
    return asked != m_shareListsAsked.end() && on.isValid() && on.toLongLong() >= asked->second &&
           Clock::MonotonicMs() - on.toLongLong() < kReplyDueMs;
}

int PeerMessenger::FileConnectionsOfOursFrom(const std::string& user) const
{
    int count = 0;
    for (const Held& h : HeldConnections()) {
        // Our uploads' file connections are dialled: those are not the download's.
        count += h.holder == Holder::Ours && h.type == 'F' && h.user == user &&
                         h.itemType != PeerTypes::ConnectToPeerRequestSocket
                     ? 1
                     : 0;
    }
    return count;
}

#include "peer/PeerMessenger.h"

#include "peer/PeerMessages.h"
#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "store/Clock.h"
#include "store/Log.h"
#include "store/MemStream.h"

#include <QDateTime>
#include <QHostAddress>
#include <QTcpSocket>
#include <QtEndian>

bool PeerMessenger::ServesOurUser(const char* message, qsizetype length)
{
    // What our user asks for: a share list, a folder, a download and its place in line. Anything
    // else answers what a peer did, our offer of an upload it queued too, and a peer can make us
    // owe it as many of those as it has names. So does our answer to an offer of a download of
    // ours: the peer chose the connection it offered on, and may offer on every one it opens
    // under the name; the file connection the answer allows is ours by its token.
    if (length < 4)
        return false;
    switch (qFromLittleEndian<quint32>(message)) {
    case PM_GET_SHARED_FILE_LIST:
    case PM_GET_SHARED_FILES_IN_FOLDER:
    case PM_QUEUE_UPLOAD:
    case PM_UPLOAD_PLACE_IN_LINE_REQUEST:
        return true;
    default:
        return false;
    }
}

PeerMessenger::Waiting PeerMessenger::WhatWaitsFor(ItemPtr user)
{
    Waiting waiting = Waiting::Nothing;
    for (Item* i : user.GetItems(PeerTypes::UnsentMessage)) {
        const QByteArray* message = ItemPtr(i).AsPointer<QByteArray>();
        if (ServesOurUser(message->constData(), message->size()))
            return Waiting::Ours;
        waiting = Waiting::Answers;
    }
    return waiting;
}

void PeerMessenger::SendMessage(std::string userName, const MemStream& message)
{
    Send(userName, QByteArray(message.GetBuffer(), message.GetBufferLength()), false);
}

void PeerMessenger::SendReply(std::string userName, const QByteArray& message)
{
    Send(userName, message, true);
}

void PeerMessenger::Send(const std::string& userName, const QByteArray& message, bool reply)
{
    ItemPtr user = d.GetType(ServerTypes::User)->GetItem(Value(userName));
    const bool ours = ServesOurUser(message.constData(), message.size());
    const ItemSet sockets = user.GetItems(PeerTypes::PeerSocket);

    // The code is the message's first four bytes.
    const quint32 code = message.size() >= 4 ? qFromLittleEndian<quint32>(message.constData()) : 0;
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("Send %1 message to user %2")
            .arg(MessageCodeToString(int(code)), TextForLog(userName)));

    if (sockets.empty()) {
        Log(LogCategories::kPeerMessenger, 2,
            QStringLiteral("Did not find messaging connection to user, queueing unsent message"));
        if (!ours && !reply && !AnswerFits(userName, 0, message.size()))
            return;
        // A reply's bytes are shared with whoever else it goes to, not copied.
        auto* queued = new QByteArray(message);
        m_waitingToGo.Hold(queued->constData(), queued->size(), 0);
        ItemPtr item = d.GetType(PeerTypes::UnsentMessage)->GetItem(Value(queued));
        item += user;
        item += d.GetType(PeerTypes::SendOrder)->GetItem(Value(int(m_sendOrder++)));
        StampTime(item, PeerTypes::SendTime);
        DropOldestUnsent(user);
        // The messaging connection being dialled will carry it: ours from now on. Only that
        // one: a party may have many connections under the name our user asks something of.
        if (ours) {
            for (Item* i : user.GetItems(PeerTypes::ConnectToPeerRequestSocket)) {
                if (ItemPtr(i)[PeerTypes::PeerConnectionType].AsString() == "P")
                    MarkForPeer(ItemPtr(i).AsPointer<QTcpSocket>(), false);
            }
        }
        ConnectToUser(userName, "P");
        return;
    }

    ItemPtr chosen = ChosenSocket(sockets, true);
    if (ours)
        MarkOurs(chosen);
    auto* socket = chosen.AsPointer<QTcpSocket>();
    const bool obfuscated = chosen.IsConnected(PeerTypes::IsObfuscated);
    // The length field, and the key in front of a scrambled frame.
    const qint64 frameBytes = qint64(message.size()) + (obfuscated ? 8 : 4);
    if (PendingCapReached(socket, user, frameBytes, !ours && !reply))
        return;
    if (SendFrameBody(socket, message, obfuscated, reply))
        NoteReplyAsked(socket, message.constData(), message.size());
}

bool PeerMessenger::AnswerFits(const std::string& user, quint32 address, qint64 bytes, bool logged)
{
    const QString forWhom = QStringLiteral("a message to user %1").arg(TextForLog(user));
    if (RoomToSend(address, nullptr, bytes, forWhom))
        return true;
    if (logged && !m_answerDropLogged)
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Not sending %1: %2 bytes wait to go to %3 (%4 in all); messages "
                           "answering peers meanwhile are dropped when they do not fit")
                .arg(forWhom)
                .arg(m_waitingToGo.With(address))
                .arg(address ? QHostAddress(address).toString()
                             : QStringLiteral("users not connected yet"))
                .arg(m_waitingToGo.Total()));
    m_answerDropLogged = m_answerDropLogged || logged;
    return false;
}

bool PeerMessenger::RoomToSend(quint32 address, const void* block, qint64 bytes,
                               const QString& forWhom)
{
    // One connection closed a round, its outbox and buffer let go with it.
    for (int round = 0; round < 8 && !m_waitingToGo.Fits(address, block, bytes); ++round) {
        if (!m_waitingToGo.FitsAddress(address, block, bytes))
            return false;
        const auto [largest, held] = m_waitingToGo.Largest();
        if (largest == address || largest == 0 || held <= m_waitingToGo.With(address) + bytes)
            return false;
        QTcpSocket* victim = nullptr;
        qint64 most = 0;
        for (Item* i : d.GetType(PeerTypes::PeerSocket)->GetItems()) {
            auto* socket = ItemPtr(i).AsPointer<QTcpSocket>();
            const qint64 waiting = WaitingOn(socket);
            if (AddressOf(socket).toIPv4Address() == largest && waiting > most) {
                victim = socket;
                most = waiting;
            }
        }
        if (!victim)
            return false;
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Closing the messaging connection to %1, which has left %2 bytes "
                           "unread (%3 wait to go to that address), to make room for %4")
                .arg(AddressOf(victim).toString())
                .arg(most)
                .arg(held)
                .arg(forWhom));
        DisposeOfSocket(victim);
        // Closing would wait for the peer to read what is buffered, which it does not.
        victim->abort();
    }
    return m_waitingToGo.Fits(address, block, bytes);
}

qint64 PeerMessenger::WaitingOn(const QTcpSocket* socket)
{
    const PeerOutbox* outbox = PeerOutbox::Find(socket);
    return socket->bytesToWrite() + (outbox ? outbox->Pending() : 0);
}

ItemPtr PeerMessenger::ChosenSocket(const ItemSet& sockets, bool logged) const
{
    const auto log = [logged](int level, const QString& line) {
        if (logged)
            Log(LogCategories::kPeerMessenger, level, line);
    };
    if (sockets.size() == 1) {
        log(2, QStringLiteral("Found one existing messaging connection to user"));
        return sockets.First();
    }
    // Anyone can open connections under any name. Those we dialled at the address the server
    // gave, or that answered our relayed request, lead to the user: of them the one our user's
    // requests go on already keeps them (a reply may be due on it), else the latest opened.
    ItemPtr known;
    std::pair<bool, QDateTime> knownRank;
    for (Item* i : sockets) {
        if (m_acceptedPeerSockets.count(i->Id()))
            continue;
        ItemPtr candidate(i);
        const std::pair<bool, QDateTime> rank{
            !ForPeer(candidate.AsPointer<QTcpSocket>()),
            Clock::FromText(TextForLog(candidate[PeerTypes::ConnectionOpenTime].AsString()))};
        if (!known || knownRank < rank) {
            known = candidate;
            knownRank = rank;
        }
    }
    if (known) {
        log(2, QStringLiteral("Found %1 existing messaging connections to user, picking the one "
                              "known to lead to the user")
                   .arg(sockets.size()));
        return known;
    }
    log(2, QStringLiteral("Found %1 existing messaging connections to user, picking latest")
               .arg(sockets.size()));
    ItemPtr chosen;
    QDateTime chosenTime;
    for (Item* i : sockets) {
        ItemPtr candidate(i);
        const QString text = TextForLog(candidate[PeerTypes::ConnectionOpenTime].AsString());
        const QDateTime opened = Clock::FromText(text);
        if (!chosen) {
            chosen = candidate;
            chosenTime = opened;
            log(3, QStringLiteral("First connection opened %1").arg(text));
        } else if (opened > chosenTime) {
            chosen = candidate;
            chosenTime = opened;
            log(3, QStringLiteral("Found connection opened %1, exchanging").arg(text));
        }
    }
    return chosen;
}

bool PeerMessenger::PendingCapReached(QTcpSocket* socket, ItemPtr user, qint64 frameBytes,
                                      bool answer)
{
    qint64 waiting = WaitingOn(socket);
    for (Item* i : user.GetItems(PeerTypes::UnsentMessage))
        waiting += ItemPtr(i).AsPointer<QByteArray>()->size();
    // An answer that does not fit the budget goes nowhere; so does the connection, when what
    // waits on it already is what keeps it out.
    const quint32 address = AddressOf(socket).toIPv4Address();
    const bool fits = !answer || AnswerFits(user.AsString(), address, frameBytes, waiting == 0);
    if (waiting == 0)
        return !fits;
    if (fits && waiting + frameBytes <= kMaxPendingBytesPerSocket)
        return false;
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("User %1 has left %2 bytes unread, closing the connection and dropping "
                       "the message")
            .arg(TextForLog(user.AsString()))
            .arg(waiting));
    DisposeOfSocket(socket);
    // Closing would wait for the peer to read what is buffered, which it never does: the
    // buffer goes now.
    socket->abort();
    return true;
}

void PeerMessenger::WithdrawUnsent(const std::string& userName, const QByteArray& message)
{
    ItemPtr user = d.GetType(ServerTypes::User)->HasItem(Value(userName));
    for (Item* i : user.GetItems(PeerTypes::UnsentMessage)) {
        if (ItemPtr(i).AsPointer<QByteArray>()->constData() == message.constData())
            ItemPtr(i).Remove(); // its byte stream goes with it
    }
}

void PeerMessenger::DropOldestUnsent(ItemPtr user)
{
    ItemList queued =
        user.GetItems(PeerTypes::UnsentMessage).SortNumericBy(PeerTypes::SendOrder, true);
    qint64 bytes = 0;
    for (Item* i : queued)
        bytes += ItemPtr(i).AsPointer<QByteArray>()->size();
    size_t first = 0;
    while (queued.size() - first > 1 &&
           (queued.size() - first > size_t(kMaxUnsentMessagesPerUser) ||
            bytes > kMaxUnsentBytesPerUser)) {
        ItemPtr oldest(queued[first++]);
        const qsizetype size = oldest.AsPointer<QByteArray>()->size();
        bytes -= size;
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Too many unsent messages to user %1, dropping the oldest (%2 bytes)")
                .arg(TextForLog(user.AsString()))
                .arg(size));
        oldest.Remove(); // its byte stream goes with it
    }
}

void PeerMessenger::SendUnsentMessages(std::string userName)
{
    ItemPtr user = d.GetType(ServerTypes::User)->GetItem(Value(userName));
    const ItemSet sockets = user.GetItems(PeerTypes::PeerSocket);
    if (sockets.empty())
        return;
    // The one a message sent now would go on.
    ItemPtr socketItem = ChosenSocket(sockets, false);
    auto* socket = socketItem.AsPointer<QTcpSocket>();
    const bool obfuscated = socketItem.IsConnected(PeerTypes::IsObfuscated);

    const ItemSet unsent = user.GetItems(PeerTypes::UnsentMessage);
    if (unsent.empty())
        return;
    const ItemList ordered = unsent.SortNumericBy(PeerTypes::SendOrder, true);
    if (WhatWaitsFor(user) == Waiting::Ours)
        MarkOurs(socketItem);
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("Sending %1 pending peer messages to user %2")
            .arg(ordered.size())
            .arg(TextForLog(userName)));
    for (Item* i : ordered) {
        ItemPtr item(i);
        const QByteArray* message = item.AsPointer<QByteArray>();
        if (!SendFrameBody(socket, *message, obfuscated, message->size() > PeerOutbox::kPiece))
            break;
        NoteReplyAsked(socket, message->constData(), message->size());
        item.Remove(); // frees its byte stream
    }
}

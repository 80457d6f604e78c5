#include "peer/PeerMessenger.h"

#include "peer/PeerMessages.h"
#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "store/Clock.h"
#include "store/Log.h"
#include "store/MemStream.h"

#include <QDateTime>
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
    ItemPtr user = d.GetType(ServerTypes::User)->GetItem(Value(userName));
    const bool ours = ServesOurUser(message.GetBuffer(), message.GetBufferLength());
    const ItemSet sockets = user.GetItems(PeerTypes::PeerSocket);

    // The code is the message's first four bytes, wherever its read position stands.
    const quint32 code =
        message.GetBufferLength() >= 4 ? qFromLittleEndian<quint32>(message.GetBuffer()) : 0;
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("Send %1 message to user %2")
            .arg(MessageCodeToString(int(code)), TextForLog(userName)));

    if (sockets.empty()) {
        Log(LogCategories::kPeerMessenger, 2,
            QStringLiteral("Did not find messaging connection to user, queueing unsent message"));
        auto* queued = new QByteArray(message.GetBuffer(), message.GetBufferLength());
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
    const qint64 frameBytes = qint64(message.GetBufferLength()) + (obfuscated ? 8 : 4);
    if (PendingCapReached(socket, user, frameBytes))
        return;
    SendMessage(socket, message, obfuscated);
}

ItemPtr PeerMessenger::ChosenSocket(const ItemSet& sockets, bool logged)
{
    const auto log = [logged](int level, const QString& line) {
        if (logged)
            Log(LogCategories::kPeerMessenger, level, line);
    };
    ItemPtr chosen;
    if (sockets.size() == 1) {
        log(2, QStringLiteral("Found one existing messaging connection to user"));
        return sockets.First();
    }
    log(2, QStringLiteral("Found %1 existing messaging connections to user, picking latest")
               .arg(sockets.size()));
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

bool PeerMessenger::PendingCapReached(QTcpSocket* socket, ItemPtr user, qint64 frameBytes)
{
    qint64 waiting = socket->bytesToWrite();
    for (Item* i : user.GetItems(PeerTypes::UnsentMessage))
        waiting += ItemPtr(i).AsPointer<QByteArray>()->size();
    if (waiting == 0 || waiting + frameBytes <= kMaxPendingBytesPerSocket)
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
        if (!SendFrameBody(socket, *item.AsPointer<QByteArray>(), obfuscated))
            break;
        item.Remove(); // frees its byte stream
    }
}

#pragma once

#include "server/ServerCodes.h"
#include "support/WireBytes.h"

#include <QList>

// The server's confirmation that the user entered a public room with these users in it.
inline QByteArray RoomEnteredReply(const QByteArray& room, const QList<QByteArray>& users = {})
{
    WireWriter w;
    w.u32(ServerCode::EnterRoom).str(room).u32(quint32(users.size()));
    for (const QByteArray& user : users)
        w.str(user);
    // Statuses, statistics, an unused list and countries, all empty.
    return w.u32(0).u32(0).u32(0).u32(0);
}

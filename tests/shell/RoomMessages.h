#pragma once

#include "server/ServerCodes.h"
#include "support/WireBytes.h"

#include <QList>

#include <utility>

// A user in a room as the server describes one: the name, then the figures and the country.
struct RoomUser
{
    RoomUser(const char* name) : name(name) {}
    RoomUser(QByteArray name, quint32 speed, quint32 files, QByteArray country)
        : name(std::move(name)), speed(speed), files(files), country(std::move(country))
    {
    }
    QByteArray name;
    quint32 speed = 0; // bytes per second
    quint32 files = 0;
    QByteArray country;
};

// A user's statistics: the speed, a 64-bit number, the shared files and one more number.
inline WireWriter& WriteStats(WireWriter& w, const RoomUser& user)
{
    return w.u32(user.speed).u64(0).u32(user.files).u32(0);
}

// The server's confirmation that the user entered a public room with these users in it.
inline QByteArray RoomEnteredReply(const QByteArray& room, const QList<RoomUser>& users = {})
{
    const auto count = quint32(users.size());
    WireWriter w;
    w.u32(ServerCode::EnterRoom).str(room).u32(count);
    for (const RoomUser& user : users)
        w.str(user.name);
    // Each user's status (online), statistics, an unused number and country, list by list.
    w.u32(count);
    for (int i = 0; i < users.size(); ++i)
        w.u32(2);
    w.u32(count);
    for (const RoomUser& user : users)
        WriteStats(w, user);
    w.u32(count);
    for (int i = 0; i < users.size(); ++i)
        w.u32(0);
    w.u32(count);
    for (const RoomUser& user : users)
        w.str(user.country);
    return w.bytes();
}

// Code 16: the user joined the room (or the server has new figures for a user in it).
inline QByteArray UserJoinedRoom(const QByteArray& room, const RoomUser& user)
{
    WireWriter w;
    w.u32(ServerCode::UserJoinedRoom).str(room).str(user.name).u32(2);
    return WriteStats(w, user).u32(0).str(user.country).bytes();
}

#pragma once

// For the targets that run a server connection with no server: the connection is left
// connecting, and the server's bytes go straight to its frame reader.

#include "FuzzSupport.h"

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QtEndian>

// A port on 127.0.0.1 that listens and never accepts: a connection attempt to it stays under
// way for as long as no event loop runs.
inline quint16 SilentPort()
{
    static QTcpServer* listener = [] {
        auto* l = new QTcpServer;
        if (!l->listen(QHostAddress(QHostAddress::LocalHost), 0))
            FuzzFail("cannot listen on 127.0.0.1");
        return l;
    }();
    return listener->serverPort();
}

// The server's frame accepting the login.
inline QByteArray AcceptedLoginFrame()
{
    const QByteArray body = QByteArray::fromHex("01000000"
                                                "01"
                                                "07000000") +
                            "Welcome" +
                            QByteArray::fromHex("7f000001"
                                                "00000000");
    QByteArray frame(4, Qt::Uninitialized);
    qToLittleEndian(quint32(body.size()), frame.data());
    return frame + body;
}

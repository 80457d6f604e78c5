#pragma once

// The central server's side of the login's connection, on a thread of its own, so that writing a
// flood costs the GUI thread nothing: it accepts the login, then writes what it is given and
// drops what the client asks. The client is pointed at it while it lives.

#include "WindowBench.h"

#include "server/ServerCodes.h"
#include "store/MemStream.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMutex>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <string>

class BenchServer : public QThread
{
public:
    BenchServer()
    {
        start();
        m_listening.acquire();
        Server::UseEndpointForTesting(QHostAddress(QHostAddress::LocalHost), m_port);
    }
    ~BenchServer() override
    {
        Server::UseEndpointForTesting(QHostAddress(), 0);
        m_stop = true;
        m_more.wakeAll();
        wait();
    }

    void Send(const QByteArray& bytes)
    {
        QMutexLocker lock(&m_mutex);
        m_queue += bytes;
        m_more.wakeAll();
    }

    // Code 14, the answer to entering room: its users list by list (names, statuses, statistics,
    // an unused number each, countries), named "<room> user <i>".
    static QByteArray RoomEntered(const std::string& room, int size)
    {
        static const char* const kCountries[] = {"de", "fr", "nl", "us", "br", "jp", "", "xx"};
        MemStream m;
        m.Write(quint32(ServerCode::EnterRoom));
        m.Write(room);
        m.Write(quint32(size));
        for (int i = 0; i < size; ++i)
            m.Write(room + " user " + std::to_string((i * 7919) % size));
        m.Write(quint32(size));
        for (int i = 0; i < size; ++i)
            m.Write(quint32(2));
        m.Write(quint32(size));
        for (int i = 0; i < size; ++i) {
            m.Write(quint32(i % 5 ? (i * 7717) % 3000000 : 0));
            m.Write(quint64(0));
            m.Write(quint32((qint64(i) * 104729) % 2000000));
            m.Write(quint32(0));
        }
        m.Write(quint32(size));
        for (int i = 0; i < size; ++i)
            m.Write(quint32(0));
        m.Write(quint32(size));
        for (int i = 0; i < size; ++i)
            m.Write(std::string(kCountries[i % 8]));
        return WindowBench::Frame(m);
    }

protected:
    void run() override
    {
        QTcpServer server;
        server.listen(QHostAddress(QHostAddress::LocalHost), 0);
        m_port = server.serverPort();
        m_listening.release();
        while (!m_stop && !server.waitForNewConnection(50)) {
        }
        QTcpSocket* socket = server.nextPendingConnection();
        if (!socket)
            return;
        socket->write(WindowBench::LoginAccepted());
        while (!m_stop) {
            QByteArray bytes;
            {
                QMutexLocker lock(&m_mutex);
                if (m_queue.isEmpty())
                    m_more.wait(&m_mutex, 5);
                bytes.swap(m_queue);
            }
            socket->write(bytes);
            while (socket->bytesToWrite() > 0 && !m_stop)
                socket->waitForBytesWritten(5);
            socket->waitForReadyRead(1);
            socket->readAll();
        }
    }

private:
    QSemaphore m_listening;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    QMutex m_mutex;
    QWaitCondition m_more;
    QByteArray m_queue;
};

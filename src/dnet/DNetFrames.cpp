#include "dnet/DNetFrames.h"

#include "dnet/DNetManager.h"
#include "dnet/DNetState.h"
#include "store/Log.h"
#include "store/TurnBudget.h"

#include <QPointer>
#include <QTcpSocket>
#include <QtEndian>

QByteArray DNetLevelBody(qint32 level)
{
    MemStream body;
    body.Write(DNetCode::Level);
    body.Write(level);
    return QByteArray(body.GetBuffer(), body.GetBufferLength());
}

QByteArray DNetGroupLeaderBody(const std::string& leader)
{
    MemStream body;
    body.Write(DNetCode::GroupLeader);
    body.Write(leader);
    return QByteArray(body.GetBuffer(), body.GetBufferLength());
}

bool DNetManager::ReadFrames(QIODevice& device, QTcpSocket* socket, Side side)
{
    // A handler may close the socket, and its close handler schedules the deletion.
    const QPointer<QTcpSocket> alive(socket);
    TurnSlice pass;
    for (;;) {
        if (device.bytesAvailable() < 4)
            return true;
        char header[4];
        if (device.peek(header, 4) != 4)
            return true;
        // Read unsigned: a negative length is a huge one.
        const quint32 length = qFromLittleEndian<quint32>(header);
        if (length > kMaxFrameLength) {
            Log(LogCategories::kDistributedNetwork, 1,
                QStringLiteral("Frame of %1 bytes exceeds the limit of %2 bytes, closing "
                               "connection")
                    .arg(length)
                    .arg(kMaxFrameLength));
            socket->close();
            return false;
        }
        // Nothing is taken before the whole frame is there.
        if (device.bytesAvailable() - 4 < qint64(length))
            return true;
        if (!pass.MayContinue()) {
            if (&device == socket)
                ReadLater(socket, side);
            return true;
        }
        device.skip(4);

        m_readBuffer.Reset();
        m_readBuffer.EnsureBufferCapacity(int(length));
        const qint64 got = device.read(m_readBuffer.GetWriteBuffer(), qint64(length));
        if (got < 0)
            return true;
        m_readBuffer.AdvanceWriteIndex(int(got));

        if (side == Side::Child)
            HandleChildMessage(socket, m_readBuffer);
        else
            HandleMessage(socket, m_readBuffer);
        if (!alive || !socket->isOpen())
            return false;
    }
}

void DNetManager::ReadLater(QTcpSocket* socket, Side side)
{
    for (const auto& waiting : m_unread) {
        if (waiting.first == socket)
            return;
    }
    m_unread.emplace_back(socket, side);
    m_reader.Start();
}

bool DNetManager::ReadWaitingStep()
{
    // A pass for the first socket with frames left; one cut short puts it last again, so that
    // no one of them holds the others up.
    while (!m_unread.empty()) {
        const auto [socket, side] = m_unread.front();
        m_unread.pop_front();
        if (socket && socket->isOpen()) {
            ReadFrames(*socket, socket, side);
            break;
        }
    }
    return !m_unread.empty();
}

bool DNetManager::WaitsForReader(const QTcpSocket* socket) const
{
    for (const auto& waiting : m_unread) {
        if (waiting.first == socket)
            return true;
    }
    return false;
}

void DNetManager::OnSocketReadyToRead()
{
    // A socket whose frames wait for the reader's next slice is read then, with what came now.
    auto* s = qobject_cast<QTcpSocket*>(sender());
    if (s && !WaitsForReader(s))
        ReadFrames(*s, s, Side::Upstream);
}

void DNetManager::OnChildSocketReadyToRead()
{
    auto* s = qobject_cast<QTcpSocket*>(sender());
    if (s && !WaitsForReader(s))
        ReadFrames(*s, s, Side::Child);
}

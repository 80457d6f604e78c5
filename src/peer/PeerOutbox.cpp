#include "peer/PeerOutbox.h"

#include "peer/PeerFraming.h"

#include <QTcpSocket>
#include <QtEndian>

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>

bool ReadSendingTimes(qintptr descriptor, qint64* busyUs, qint64* windowShutUs)
{
    struct tcp_info info = {};
    socklen_t length = sizeof(info);
    if (descriptor < 0 || getsockopt(int(descriptor), IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(struct tcp_info, tcpi_rwnd_limited) + sizeof(info.tcpi_rwnd_limited))
        return false;
    *busyUs = qint64(info.tcpi_busy_time);
    *windowShutUs = qint64(info.tcpi_rwnd_limited);
    return true;
}

void SendBudget::Hold(const void* block, qint64 bytes, quint32 address)
{
    const auto [it, added] = m_blocks.try_emplace(block);
    Block& b = it->second;
    if (added) {
        b.bytes = bytes;
        m_total += bytes;
    }
    if (b.holders[address]++ == 0)
        Add(address, b.bytes);
}

void SendBudget::Add(quint32 address, qint64 bytes)
{
    const auto with = m_withAddress.try_emplace(address, 0).first;
    if ((with->second += bytes) == 0)
        m_withAddress.erase(with);
}

void SendBudget::Release(const void* block, quint32 address)
{
    const auto it = m_blocks.find(block);
    if (it == m_blocks.end())
        return;
    Block& b = it->second;
    const auto holder = b.holders.find(address);
    if (holder == b.holders.end())
        return;
    if (--holder->second == 0) {
        b.holders.erase(holder);
        Add(address, -b.bytes);
    }
    if (b.holders.empty()) {
        m_total -= b.bytes;
        m_blocks.erase(it);
    }
}

void SendBudget::Resize(const void* block, qint64 bytes)
{
    const auto it = m_blocks.find(block);
    if (it == m_blocks.end())
        return;
    Block& b = it->second;
    const qint64 delta = bytes - b.bytes;
    b.bytes = bytes;
    m_total += delta;
    for (const auto& [address, count] : b.holders)
        Add(address, delta);
}

qint64 SendBudget::With(quint32 address) const
{
    const auto it = m_withAddress.find(address);
    return it != m_withAddress.end() ? it->second : 0;
}

bool SendBudget::FitsAddress(quint32 address, const void* block, qint64 bytes) const
{
    const auto it = block ? m_blocks.find(block) : m_blocks.end();
    const bool held = it != m_blocks.end() && it->second.holders.count(address);
    const qint64 with = With(address);
    return held || with == 0 || with + bytes <= kMaxBytesPerAddress;
}

bool SendBudget::Fits(quint32 address, const void* block, qint64 bytes) const
{
    const bool counted = block && m_blocks.count(block);
    return FitsAddress(address, block, bytes) &&
           (counted || m_total == 0 || m_total + bytes <= kMaxBytes);
}

std::pair<quint32, qint64> SendBudget::Largest() const
{
    std::pair<quint32, qint64> largest{0, 0};
    for (const auto& [address, bytes] : m_withAddress) {
        if (bytes > largest.second)
            largest = {address, bytes};
    }
    return largest;
}

// ---------------------------------------------------------------------------------------------

namespace {

constexpr char kOutboxName[] = "qv_outbox";

quint32 Rotated(quint32 key, qint64 times)
{
    const int r = int(times % 32);
    return r == 0 ? key : (key << r) | (key >> (32 - r));
}

} // namespace

PeerOutbox::PeerOutbox(QTcpSocket* socket, SendBudget& budget, quint32 address)
    : QObject(socket), m_socket(socket), m_budget(budget), m_address(address)
{
    setObjectName(QString::fromLatin1(kOutboxName));
    m_budget.Hold(this, 0, m_address);
    m_counted = 0;
    connect(socket, &QTcpSocket::bytesWritten, this, [this] { Pump(); });
}

PeerOutbox::~PeerOutbox()
{
    Clear();
    m_budget.Release(this, m_address);
}

PeerOutbox* PeerOutbox::Find(const QTcpSocket* socket)
{
    return socket ? socket->findChild<PeerOutbox*>(QString::fromLatin1(kOutboxName),
                                                   Qt::FindDirectChildrenOnly)
                  : nullptr;
}

PeerOutbox* PeerOutbox::Of(QTcpSocket* socket, SendBudget& budget, quint32 address)
{
    if (PeerOutbox* outbox = Find(socket))
        return outbox;
    return new PeerOutbox(socket, budget, address);
}

bool PeerOutbox::Send(const char* body, qsizetype n, bool obfuscated, quint32 key)
{
    if (m_failed)
        return false;
    Frame frame;
    frame.body = BuildFrame(body, n);
    if (obfuscated)
        frame.body = Obfuscate(frame.body, key);
    frame.at = 0;
    // Nothing waits before it, and the socket has room: it goes at once, as it is.
    if (m_frames.empty() && m_socket->bytesToWrite() < kLowWater) {
        const bool written = Write(frame.body.constData(), frame.body.size());
        Count();
        return written;
    }
    return Queue(std::move(frame));
}

bool PeerOutbox::SendShared(const QByteArray& body, bool obfuscated, quint32 key)
{
    if (m_failed)
        return false;
    // The length field goes before the body; on a scrambled connection the key in clear first,
    // and the length scrambled as the frame's first four bytes.
    Frame frame;
    frame.head = QByteArray(obfuscated ? 8 : 4, Qt::Uninitialized);
    char* length = frame.head.data() + (obfuscated ? 4 : 0);
    qToLittleEndian(quint32(body.size()), length);
    if (obfuscated) {
        qToLittleEndian(key, frame.head.data());
        ScrambleBytes(length, length, 4, key);
    }
    frame.body = body;
    frame.obfuscated = obfuscated;
    frame.key = key;
    return Queue(std::move(frame));
}

bool PeerOutbox::Queue(Frame frame)
{
    m_budget.Hold(frame.body.constData(), frame.body.size(), m_address);
    m_pending += frame.head.size() + frame.body.size();
    m_frames.push_back(std::move(frame));
    Pump();
    return !m_failed;
}

void PeerOutbox::Clear()
{
    for (const Frame& frame : m_frames)
        m_budget.Release(frame.body.constData(), m_address);
    m_frames.clear();
    m_pending = 0;
}

bool PeerOutbox::Write(const char* data, qint64 n)
{
    if (m_socket->write(data, n) == n)
        return true;
    m_failed = true;
    return false;
}

void PeerOutbox::Pump()
{
    // Writing may tell of bytes written, or of an error that closes the socket, from within.
    if (m_pumping)
        return;
    m_pumping = true;
    QByteArray scrambled;
    while (!m_frames.empty() && !m_failed && m_socket->bytesToWrite() < kLowWater) {
        Frame& frame = m_frames.front();
        if (frame.at < 0) {
            Write(frame.head.constData(), frame.head.size());
            m_pending -= frame.head.size();
            frame.at = 0;
            continue;
        }
        const qint64 n = std::min<qint64>(kPiece, frame.body.size() - frame.at);
        const char* piece = frame.body.constData() + frame.at;
        if (frame.obfuscated) {
            // Byte j of a frame is scrambled with the key rotated 1 + j / 4 times, the length
            // field being its bytes 0 to 3; a piece starts on a group of four.
            scrambled.resize(n);
            ScrambleBytes(piece, scrambled.data(), n, Rotated(frame.key, 1 + frame.at / 4));
            piece = scrambled.constData();
        }
        Write(piece, n);
        frame.at += n;
        m_pending -= n;
        if (frame.at == frame.body.size()) {
            m_budget.Release(frame.body.constData(), m_address);
            m_frames.pop_front();
        }
    }
    if (m_failed)
        Clear();
    Count();
    m_pumping = false;
}

void PeerOutbox::Count()
{
    const qint64 buffered = m_socket->bytesToWrite();
    if (buffered != m_counted) {
        m_budget.Resize(this, buffered);
        m_counted = buffered;
    }
}

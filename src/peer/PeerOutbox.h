#pragma once

// What waits in this process to go to peers, and the one total it keeps within (no store).
//
// Every frame on a messaging connection, or to a child of the search tree, goes out through the
// connection's outbox: straight to the socket while nothing waits before it and the socket's own
// buffer is low, else behind what waits. A reply's
// body (a share list, a folder's contents) is not copied for each connection it goes on: the
// outbox refers to the one buffer and hands the socket a piece at a time as the socket takes
// them, so that a list a hundred users ask for is held once.

#include <QByteArray>
#include <QObject>

#include <deque>
#include <map>
#include <unordered_map>

class QTcpSocket;

// What the system says of a connection's sending so far: how long it had data to send, and how
// much of that time the peer's receive window held it back (microseconds). False where it does
// not tell (Linux before 4.10, or not a TCP socket).
bool ReadSendingTimes(qintptr descriptor, qint64* busyUs, qint64* windowShutUs);

// Blocks of memory that wait to go to peers, each counted once in all however many connections
// hold it, and once with each address that holds it. Address 0 is a part of its own: messages
// for users we are not connected to yet.
class SendBudget
{
public:
    // What may wait to go, in all and with one address: a party needs four addresses to fill it.
    static constexpr qint64 kMaxBytes = qint64(64) * 1024 * 1024;
    static constexpr qint64 kMaxBytesPerAddress = kMaxBytes / 4;

    // Holds the block (any key: a buffer's data, a socket, a reply on its way) for the address,
    // bytes long; holding it again adds a holder. Resize changes a block's size for every holder.
    void Hold(const void* block, qint64 bytes, quint32 address);
    void Release(const void* block, quint32 address);
    void Resize(const void* block, qint64 bytes);

    qint64 Total() const { return m_total; }
    qint64 With(quint32 address) const;
    // Whether the block, bytes long, fits beside what waits, with the address and in all;
    // whatever its size, it fits where nothing waits.
    bool Fits(quint32 address, const void* block, qint64 bytes) const;
    bool FitsAddress(quint32 address, const void* block, qint64 bytes) const;
    // The address holding the most (0 bytes when nothing waits anywhere).
    std::pair<quint32, qint64> Largest() const;

private:
    void Add(quint32 address, qint64 bytes);
    struct Block
    {
        qint64 bytes = 0;
        std::map<quint32, int> holders; // by address
    };
    std::unordered_map<const void*, Block> m_blocks;
    std::map<quint32, qint64> m_withAddress;
    qint64 m_total = 0;
};

// The frames waiting to go on one connection; a child of its socket. The socket's own buffer is
// kept low: a piece goes to it whenever it has less than kLowWater to write.
class PeerOutbox : public QObject
{
public:
    static constexpr qint64 kLowWater = 256 * 1024;
    static constexpr qint64 kPiece = 256 * 1024;

    // The socket's outbox, made when asked (address: the one the budget counts it with).
    static PeerOutbox* Of(QTcpSocket* socket, SendBudget& budget, quint32 address);
    static PeerOutbox* Find(const QTcpSocket* socket);

    // A frame of body, scrambled with key when obfuscated; false on a write error. A shared body
    // is a reply others may be sent too: it is read from where it is rather than copied.
    bool Send(const char* body, qsizetype n, bool obfuscated, quint32 key);
    bool SendShared(const QByteArray& body, bool obfuscated, quint32 key);
    // What is not in the socket's buffer yet.
    qint64 Pending() const { return m_pending; }
    // Drops what waits, its place in the budget with it.
    void Clear();
    ~PeerOutbox() override;

private:
    PeerOutbox(QTcpSocket* socket, SendBudget& budget, quint32 address);
    struct Frame
    {
        QByteArray head; // the clear key and the (scrambled) length
        QByteArray body;
        bool obfuscated = false;
        quint32 key = 0;
        qsizetype at = -1; // of the body, -1 while the head waits
    };
    bool Queue(Frame frame);
    bool Write(const char* data, qint64 n);
    void Pump();
    void Count();

    QTcpSocket* m_socket;
    SendBudget& m_budget;
    quint32 m_address;
    std::deque<Frame> m_frames;
    qint64 m_pending = 0;
    qint64 m_counted = -1; // the socket's buffer as the budget holds it
    bool m_pumping = false;
    bool m_failed = false;
};

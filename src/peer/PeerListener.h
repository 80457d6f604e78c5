#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTcpSocket;

// A listening IPv4 TCP port that takes its connections itself, reading the reason of each failed
// accept straight from the system. QTcpServer (Qt 6.4) cannot be used here: its socket keeps
// only the first error it ever had, which is the "try again" that ends each round of accepting.
// From then on, running out of descriptors reads as "try again" too, so the server neither
// reports nor pauses, and polls a listening socket that stays readable at full CPU, for as long
// as no descriptor comes free.
class PeerListener : public QObject
{
    Q_OBJECT

public:
    // Descriptors that peer connections leave to everything else: files being shared and
    // downloaded, the server connection. Once only these are left, the listener stops as when
    // the descriptors run out, and the connection waits in the system's queue; a connection we
    // would open is not opened.
    static constexpr int kReservedDescriptors = 64;

    explicit PeerListener(QObject* parent = nullptr);
    ~PeerListener() override;

    // False when the address is not IPv4 or the port cannot be had (taken by another program).
    bool Listen(const QHostAddress& address, quint16 port);
    bool IsListening() const { return m_descriptor >= 0; }
    // The port listened on (the one the system picked for port 0); 0 when not listening.
    quint16 Port() const { return m_port; }

    // Takes connections again after a failure stopped it.
    void Resume();

    // Why no connection may be opened to a peer now (only the reserve left, or no socket to be
    // had at all), or empty when one may.
    static QString OpeningShortage();

Q_SIGNALS:
    // A connection taken: the socket is this listener's child until the receiver adopts it.
    void Accepted(QTcpSocket* socket);
    // Taking a connection failed for a reason other than an empty queue or that one connection
    // (out of descriptors, out of memory, only the reserve left): the listener has stopped until
    // Resume().
    void AcceptFailed(const QString& reason);

private:
    void AcceptPending();
    // Why no connection may be taken now, or empty when one may.
    static QString DescriptorShortage(int listening);
    void Close();

    int m_descriptor = -1;
    quint16 m_port = 0;
    QSocketNotifier* m_notifier = nullptr;
};

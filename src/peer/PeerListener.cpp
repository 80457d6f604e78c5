#include "peer/PeerListener.h"

#include <QSocketNotifier>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Connections the system completes for us before we take them: the queue QTcpServer asks for.
constexpr int kBacklog = 50;

// Failures that belong to the one connection being taken (it was reset or its route went
// away before we took it), not to the listener: that connection is gone, the next may be fine.
bool ConnectionOnlyFailure(int error)
{
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENOPROTOOPT:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

// Why taking the descriptor lowestFree would leave less than the reserve, or empty when it
// would not.
QString ReserveShortage(int lowestFree)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        rlim_t(lowestFree) + rlim_t(PeerListener::kReservedDescriptors) < limit.rlim_cur)
        return QString();
    return QStringLiteral("only the %1 descriptors kept for files and the server are left")
        .arg(PeerListener::kReservedDescriptors);
}

} // namespace

PeerListener::PeerListener(QObject* parent) : QObject(parent) {}

PeerListener::~PeerListener()
{
    Close();
}

bool PeerListener::Listen(const QHostAddress& address, quint16 port)
{
    Close();
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        return false;
    // The port of a previous run whose connections are still winding down can be had again at
    // once; a port another program listens on cannot (there is no SO_REUSEPORT).
    const int on = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(address.toIPv4Address());
    socklen_t length = sizeof local;
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(descriptor, kBacklog) != 0 ||
        ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ::close(descriptor);
        return false;
    }
    m_descriptor = descriptor;
    m_port = ntohs(local.sin_port);
    m_notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PeerListener::AcceptPending);
    return true;
}

void PeerListener::Resume()
{
    if (m_notifier)
        m_notifier->setEnabled(true);
}

QString PeerListener::DescriptorShortage(int listening)
{
    // The system hands out the lowest free number: the one a duplicate gets now is the one the
    // next connection would get, and every number below it is taken.
    const int lowestFree = ::fcntl(listening, F_DUPFD_CLOEXEC, 0);
    if (lowestFree < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    ::close(lowestFree);
    return ReserveShortage(lowestFree);
}

QString PeerListener::OpeningShortage()
{
    // The socket the connection would take, had and given back: its number is the lowest free
    // one, and a failure is the one the connection would meet.
    const int lowestFree = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lowestFree < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    ::close(lowestFree);
    return ReserveShortage(lowestFree);
}

void PeerListener::AcceptPending()
{
    while (m_descriptor >= 0) {
        const QString shortage = DescriptorShortage(m_descriptor);
        if (!shortage.isEmpty()) {
            // Left in the system's queue, the connection is taken once descriptors come free.
            m_notifier->setEnabled(false);
            Q_EMIT AcceptFailed(shortage);
            return;
        }
        const int descriptor =
            ::accept4(m_descriptor, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK)
                return;
            if (ConnectionOnlyFailure(error))
                continue;
            // The listening socket stays readable while the connection waits: polling it again
            // would only fail again, at full CPU, until a descriptor or memory comes free.
            m_notifier->setEnabled(false);
            Q_EMIT AcceptFailed(QString::fromLocal8Bit(std::strerror(error)));
            return;
        }
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            // The socket did not take the descriptor over: it is still ours to close.
            ::close(descriptor);
            delete socket;
            continue;
        }
        Q_EMIT Accepted(socket);
    }
}

void PeerListener::Close()
{
    // The notifier goes before its descriptor, so that nothing polls a closed number.
    delete m_notifier;
    m_notifier = nullptr;
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
    m_port = 0;
}

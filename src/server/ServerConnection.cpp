#include "server/Server.h"

#include "server/PortForwarder.h"
#include "server/ServerCodes.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "store/Clock.h"
#include "store/Data.h"
#include "store/Log.h"
#include "store/MD5.h"
#include "store/Random.h"
#include "store/Settings.h"

#include <QHostAddress>
#include <QScopedValueRollback>
#include <QtEndian>

Server* gp_server = nullptr;

namespace {

struct Endpoint
{
    QString host;
    quint16 port = 0;
};

// Where Servers made from now on connect, when a test said so.
Endpoint& TestEndpoint()
{
    static Endpoint endpoint;
    return endpoint;
}

} // namespace

Server::Server() : m_host(QStringLiteral(QV_SERVER_HOST))
{
    if (!TestEndpoint().host.isEmpty()) {
        m_host = TestEndpoint().host;
        m_port = TestEndpoint().port;
    }
    gp_server = this;
    connect(&m_socket, &QTcpSocket::connected, this, &Server::OnConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &Server::OnSocketReadyToRead);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &Server::OnSocketError);
    connect(&m_socket, &QTcpSocket::disconnected, this, &Server::OnSocketClosed);

    // The token of a relayed connection request is what the peer echoes back to prove who it is,
    // so its counter must not start at a value anyone can guess.
    m_nextIndirectToken = RandomU32();

    m_portForwarder = std::make_unique<PortForwarder>();
}

Server::~Server()
{
    // A socket signal must not reach a half-destroyed object.
    m_socket.disconnect(this);
    m_portForwarder.reset();
    if (gp_server == this)
        gp_server = nullptr;
}

void Server::UseLocalServerForTesting(quint16 port)
{
    m_host = QHostAddress(QHostAddress::LocalHost).toString();
    m_port = port;
}

void Server::UseEndpointForTesting(const QHostAddress& address, quint16 port)
{
    TestEndpoint() = address.isNull() ? Endpoint() : Endpoint{address.toString(), port};
}

void Server::ResetForTesting()
{
    // Idle first: what the socket reports on its way down finds nothing to end.
    m_state = StateIdle;
    m_socket.abort();
    ResetFrameReader();
    StopReading();
    m_nextSearchToken = 1;
    m_firstLogin = true;
    m_expectClose = false;
    m_abruptlyDisconnected = false;
    m_attemptStartedMs = 0;
}

void Server::Connect()
{
    if (m_state != StateIdle)
        return;
    if (!Settings::HasValue(SettingKeys::Username))
        return;

    // Whatever the old socket still reports on its way down finds the state idle and is ignored.
    m_socket.abort();
    // A connection lost in the middle of a frame must not leave the next one misaligned.
    ResetFrameReader();
    StopReading();

    m_state = StateConnecting;
    m_attemptStartedMs = Clock::MonotonicMs();
    Q_EMIT Connecting();
    // IPv4 only: the server passes our address on to peers as a 32-bit number, which a
    // connection over IPv6 would not give it.
    m_socket.connectToHost(m_host, m_port, QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
    Log(LogCategories::kServer, 1, QStringLiteral("Attempting connection on port %1").arg(m_port));
    // Discovery runs once; later calls log nothing.
    if (Settings::IsYes(SettingKeys::UseUpnp))
        m_portForwarder->Init();
}

void Server::OnConnected()
{
    if (!Settings::HasKey(SettingKeys::Username) || !Settings::HasKey(SettingKeys::Password)) {
        Settings::Set(SettingKeys::Username, "QuorvaleQT");
        Settings::Set(SettingKeys::Password, "KelvanirTosqueWadd");
    }
    const std::string user = Settings::Text(SettingKeys::Username);
    const std::string password = Settings::Text(SettingKeys::Password);

    const std::string digest = MD5::HexDigestOf(user + password);

    MemStream login;
    login.Write(quint32(ServerCode::Login));
    login.Write(user);
    login.Write(password);
    login.Write(quint32(157));
    login.Write(digest);
    login.Write(quint32(100));
    SendMessage(login, true);
    m_attemptStartedMs = Clock::MonotonicMs();

    m_abruptlyDisconnected = false;
}

void Server::SendMessage(const MemStream& message, bool force)
{
    if (force ? m_state == StateIdle : m_state != StateLoggedIn)
        return;

    const quint32 length = quint32(message.GetWriteIndex());
    QByteArray frame(4, Qt::Uninitialized);
    qToLittleEndian(length, frame.data());
    frame.append(reinterpret_cast<const char*>(message.GetBuffer()), qsizetype(length));
    m_socket.write(frame);
}

void Server::ResetFrameReader()
{
    m_readingBody = false;
    m_bodyLength = 0;
    ReleaseReadBuffer();
}

void Server::StopReading()
{
    // What the old connection's answer still had to link was about a session that is over:
    // a room entered then is entered again, whole, after the next login.
    m_reader.Stop();
    m_rest = nullptr;
}

void Server::ReleaseReadBuffer()
{
    // One huge message must not pin its buffer for the rest of the process.
    if (m_readStream.GetBufferSize() > kKeptReadBufferBytes)
        m_readStream = MemStream();
    else
        m_readStream.Reset();
}

void Server::OnSocketReadyToRead()
{
    // A slice asked for already takes what came meanwhile too: no turn reads twice.
    if (!m_reader.IsBusy())
        m_reader.RunNow();
}

void Server::ReadFrames(QIODevice& device)
{
    // Only the socket is read in slices: a device handed in directly (the fuzzer, a bench) is
    // read to its end, and a message it brings is handled whole.
    while (ReadStep(device)) {
    }
}

void Server::FinishRest()
{
    // Inside a slice of the socket's reader the rest is the reader's next steps.
    if (m_readingSlice)
        return;
    while (m_rest) {
        const std::function<bool()> step = m_rest;
        if (step())
            m_rest = nullptr;
    }
}

bool Server::ReadSocketStep()
{
    const QScopedValueRollback<bool> slicing(m_readingSlice, true);
    return ReadStep(m_socket);
}

bool Server::ReadStep(QIODevice& device)
{
    // What an earlier message left goes first: later ones find its outcome whole.
    if (m_rest) {
        const std::function<bool()> step = m_rest;
        if (step())
            m_rest = nullptr;
        return true;
    }
    // Bytes are taken as long as the device has them; a handler that closes the connection
    // leaves nothing available and so ends the reading.
    if (!m_readingBody) {
        if (device.bytesAvailable() < 4)
            return false;
        char lengthBytes[4];
        if (device.read(lengthBytes, 4) != 4)
            return false;
        m_bodyLength = qFromLittleEndian<quint32>(lengthBytes);
        if (m_bodyLength > kMaxFrameLength) {
            DropConnection(QStringLiteral("Frame of %1 bytes from the server exceeds the "
                                          "limit of %2 bytes; closing the connection")
                               .arg(m_bodyLength)
                               .arg(kMaxFrameLength));
            return false;
        }
        m_readingBody = true;
        m_readStream.Reset();
    }

    // The buffer grows with the bytes that arrive, not with what the length promises: eight
    // bytes announcing a huge frame cost nothing until the frame really comes.
    const qint64 missing = qint64(m_bodyLength) - m_readStream.GetWriteIndex();
    if (missing > 0) {
        const QByteArray got = device.read(qMin(missing, device.bytesAvailable()));
        if (got.isEmpty())
            return false;
        m_readStream.WriteBuffer(got.constData(), static_cast<unsigned long>(got.size()));
    }
    if (quint32(m_readStream.GetWriteIndex()) < m_bodyLength)
        return false;

    // A body too short to hold its code has nothing to dispatch.
    quint32 code = 0;
    if (m_readStream.Read(code))
        HandleMessage(int(code), m_readStream);
    ResetFrameReader();
    return true;
}

void Server::DropConnection(const QString& why)
{
    Log(LogCategories::kServer, 1, why);
    ResetFrameReader();
    OnConnectionLost();
    m_socket.abort();
}

void Server::OnSocketError(QAbstractSocket::SocketError)
{
    OnConnectionLost();
}

void Server::OnSocketClosed()
{
    OnConnectionLost();
}

void Server::OnConnectionLost()
{
    if (m_expectClose) {
        m_expectClose = false;
        return;
    }
    if (m_state == StateIdle)
        return;
    if (m_state == StateLoggedIn)
        m_abruptlyDisconnected = true;
    EndConnection(m_state == StateConnecting ? "socket error" : nullptr);
}

void Server::EndConnection(const char* failure)
{
    // Idle before any signal goes out: a receiver may run a nested event loop (a message box),
    // and whatever the socket reports meanwhile must find nothing left to end.
    m_state = StateIdle;
    if (failure)
        Q_EMIT ConnectionFailed(failure);
    // A receiver of the failure may already have started the next attempt.
    if (m_state == StateIdle)
        OnDisconnected();
}

void Server::OnDisconnected()
{
    m_state = StateIdle;
    StopReading();
    Q_EMIT Disconnected();

    // Only the users that carry the flag are walked, however many users the store knows.
    for (ItemPtr user : ServerStore::FlaggedItems(ServerTypes::IsOnline, ServerTypes::User))
        user.Disconnect(ServerTypes::IsOnline);
}

void Server::Disconnect()
{
    if (m_state != StateLoggedIn)
        return;
    OnDisconnected();
    m_expectClose = true;
    m_abruptlyDisconnected = false;
    m_socket.close();
}

void Server::AttemptReconnect()
{
    // A server that takes the connection and never answers the login (or a connection that died
    // without a word after the login went out) would leave us connecting for good, with Connect()
    // and Disconnect() both doing nothing. Past the bound it counts as an abrupt loss, and this
    // tick starts over.
    if (m_state == StateConnecting &&
        Clock::MonotonicMs() - m_attemptStartedMs > kLoginReplyTimeoutMs) {
        Log(LogCategories::kServer, 1,
            QStringLiteral("No answer to the login within %1 seconds; closing the connection")
                .arg(kLoginReplyTimeoutMs / 1000));
        m_abruptlyDisconnected = true;
        m_state = StateIdle; // what the abort reports is not a second loss
        m_socket.abort();
        EndConnection("socket error");
    }
    if (m_abruptlyDisconnected)
        Connect();
}

void Server::RenewPortMapping()
{
    if (m_state != StateLoggedIn || !Settings::IsYes(SettingKeys::UseUpnp))
        return;
    Log(LogCategories::kServer, 1, QStringLiteral("Renewing UPnP port mapping."));
    MapListeningPorts();
}

void Server::MapListeningPorts()
{
    m_portForwarder->AddPortMapping(&m_socket, Settings::Int(SettingKeys::ListeningPort));
    const int obfuscated = Settings::Int(SettingKeys::ObfuscatedListeningPort);
    if (obfuscated != 0)
        m_portForwarder->AddPortMapping(&m_socket, obfuscated);
}

void Server::EveryFiveMinutes()
{
    MemStream keepAlive;
    keepAlive.Write(quint32(ServerCode::KeepAlive));
    SendMessage(keepAlive, false);
}

void Server::DataLoaded()
{
    if (!Settings::HasKey(SettingKeys::UseUpnp))
        Settings::SetYes(SettingKeys::UseUpnp, true);
}

void Server::OnConnectedToServer()
{
    if (m_firstLogin) {
        m_firstLogin = false;
        ItemSet rooms;
        d.GetType(ServerTypes::Room)->GetItems(rooms);
        for (ItemPtr room : rooms) {
            if (room.IsConnected(ServerTypes::RoomAutojoin))
                EnterRoom(room.AsString(), false);
        }
        if (Settings::IsYes(SettingKeys::UseUpnp))
            MapListeningPorts();
    }

    ItemSet users;
    d.GetType(ServerTypes::User)->GetItems(users);
    for (ItemPtr user : users) {
        if (user.IsConnected(ServerTypes::IsTracked)) {
            MemStream watch;
            watch.Write(quint32(ServerCode::AddUser));
            watch.Write(user.AsString());
            SendMessage(watch, false);
        }
    }
    for (ItemPtr user : users) {
        if (user.IsConnected(ServerTypes::UserAddressRequest)) {
            MemStream address;
            address.Write(quint32(ServerCode::GetUserAddress));
            address.Write(user.AsString());
            SendMessage(address, false);
        }
    }

    Settings::SetYes(SettingKeys::AcceptRoomList, true);
}

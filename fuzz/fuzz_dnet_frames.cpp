// The distributed network's frame reader and every body it hands on, from each place a body can
// come from. Byte 0 of the input: its value modulo 5 picks the source (the parent, a candidate,
// a child, a socket that is neither, or the server's code 93); the rest of it seeds how the
// input is cut into deliveries. The rest is frames as that source sent them (for the server,
// each whole frame travels as the body of one code 93 message through the server's own reader).
//
// Every socket is a QTcpSocket that never connects and keeps what is written to it; nothing here
// runs the event loop or reaches the network. Two children are always there to receive.
//
// Checked: the reader stops reading exactly where the frames seen so far say the connection
// must close (a length above the limit, an empty body, a known code whose fields do not read or
// a level out of range, a body from a socket that is neither parent nor candidate); every search
// body that reads whole (and every body of another kind) reaches each child byte for byte, in
// order, and nothing else of code 3 does; no allocation exceeds the frame limit.

#include "FuzzEngine.h"
#include "FuzzServer.h"
#include "FuzzSupport.h"
#include "support/FeedDevice.h"

#include "dnet/DNetManager.h"
#include "server/Server.h"
#include "store/Settings.h"
#include "store/Stream.h"

#include <QList>
#include <QTcpSocket>
#include <QtEndian>

namespace {

constexpr size_t kFrameCap = size_t(DNetManager::kMaxFrameLength) + 64;
// The server's reader doubles its buffer as a body arrives.
constexpr size_t kServerFrameCap = 2 * (size_t(DNetManager::kMaxFrameLength) + 8) + 64;

enum Source
{
    FromParent,
    FromCandidate,
    FromChild,
    FromStranger,
    FromServer,
    kSources
};

// A socket that never connects and keeps every write.
class RecordingSocket : public QTcpSocket
{
public:
    RecordingSocket() { QIODevice::open(QIODevice::ReadWrite); }
    QList<QByteArray> writes;

    // The frames written, whole.
    QList<QByteArray> Frames() const
    {
        const QByteArray all = writes.join();
        QList<QByteArray> frames;
        qsizetype at = 0;
        while (all.size() - at >= 4) {
            const qsizetype n = qFromLittleEndian<quint32>(all.constData() + at);
            frames << all.mid(at, 4 + n);
            at += 4 + n;
        }
        FUZZ_CHECK(at == all.size());
        return frames;
    }

protected:
    qint64 writeData(const char* data, qint64 n) override
    {
        writes << QByteArray(data, n);
        return n;
    }
};

// Reads the shared encoding independently of the client's stream classes.
class Fields
{
public:
    explicit Fields(const QByteArray& body) : m_body(body) {}
    bool Skip(qsizetype n)
    {
        if (m_body.size() - m_at < n)
            return false;
        m_at += n;
        return true;
    }
    bool U32(quint32* v = nullptr)
    {
        if (m_body.size() - m_at < 4)
            return false;
        if (v)
            *v = qFromLittleEndian<quint32>(m_body.constData() + m_at);
        m_at += 4;
        return true;
    }
    bool String()
    {
        quint32 n = 0;
        return U32(&n) && n <= kMaxStreamStringLength && Skip(qsizetype(n));
    }

private:
    QByteArray m_body;
    qsizetype m_at = 0;
};

// Whether every field of a parent-side body's code reads; an empty body does not, nor a level
// that is neither -1 nor within the highest one a parent may have.
bool Readable(const QByteArray& body)
{
    if (body.isEmpty())
        return false;
    Fields f(body);
    f.Skip(1);
    quint32 kind = 0;
    quint32 level = 0;
    switch (quint8(body[0])) {
    case 3:
        return f.U32(&kind) && (kind != 49 || (f.String() && f.U32() && f.String()));
    case 4:
        return f.U32(&level) && qint32(level) >= -1 && qint32(level) <= DNetManager::kMaxLevel;
    case 5:
        return f.String();
    default:
        return true;
    }
}

bool ChildReadable(const QByteArray& body)
{
    Fields f(body);
    return f.Skip(1) && (quint8(body[0]) != 7 || f.U32());
}

QByteArray Frame(const QByteArray& body)
{
    QByteArray frame(4, Qt::Uninitialized);
    qToLittleEndian(quint32(body.size()), frame.data());
    return frame + body;
}

QList<QByteArray> Searches(const QList<QByteArray>& frames)
{
    QList<QByteArray> searches;
    for (const QByteArray& f : frames) {
        if (f.size() > 4 && f[4] == 3)
            searches << f;
    }
    return searches;
}

EngineOptions Options()
{
    EngineOptions options;
    options.localServerPort = SilentPort();
    // Nothing of the shares or the transfers is needed to pass searches on.
    options.sharedFolders = false;
    options.transferQueue = false;
    return options;
}

void LogIn(Server& server)
{
    Settings::Set(SettingKeys::Username, "fuzzer");
    Settings::Set(SettingKeys::Password, "secret");
    server.Connect();
    FeedDevice dev;
    dev.Feed(AcceptedLoginFrame());
    server.ReadFrames(dev);
    FUZZ_CHECK(server.IsConnected());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    EnsureApplication();
    const Source source = Source(data[0] % kSources);
    const char* wire = reinterpret_cast<const char*>(data) + 1;
    const qsizetype wireSize = qsizetype(size) - 1;

    FuzzRun run(Options());
    Engine& engine = run.engine();
    DNetManager& dnet = *engine.dnet();
    LogIn(engine.server());

    // Two children; the first is the one that speaks when the input comes from a child.
    RecordingSocket* children[2] = {new RecordingSocket, new RecordingSocket};
    dnet.OnDNetConnectionRequested("kid", children[0]);
    dnet.OnDNetConnectionRequested("tot", children[1]);
    // The socket the input arrives on (none for the server).
    RecordingSocket* socket = nullptr;
    if (source == FromChild) {
        socket = children[0];
    } else if (source == FromParent || source == FromStranger) {
        socket = new RecordingSocket;
        dnet.OnDNetConnectionAccepted("pat", socket);
        FeedDevice first;
        first.Feed(Frame(QByteArray::fromHex("0331000000030000006576650100000003000000616263")));
        FUZZ_CHECK(dnet.ReadFrames(first, socket, DNetManager::Side::Upstream));
        if (source == FromStranger) {
            socket = new RecordingSocket;
            socket->setParent(&dnet);
        }
    } else if (source == FromCandidate) {
        socket = new RecordingSocket;
        dnet.OnDNetConnectionAccepted("cat", socket);
        // A second candidate, which adoption drops.
        dnet.OnDNetConnectionAccepted("rex", new RecordingSocket);
    }
    for (RecordingSocket* child : children)
        child->writes.clear();

    // What the frames of the input say must happen: where each whole frame ends, where the
    // reader stops (and whether the connection closes there), and which bodies go down the tree.
    QList<qsizetype> bounds;
    qsizetype end = 0;
    bool closes = false;
    bool overLimit = false;
    QList<QByteArray> relayed;
    QByteArray serverWire;
    for (qsizetype at = 0; !closes && wireSize - at >= 4;) {
        const quint32 length = qFromLittleEndian<quint32>(wire + at);
        if (length > DNetManager::kMaxFrameLength) {
            closes = overLimit = true;
            break;
        }
        if (wireSize - at - 4 < qint64(length))
            break;
        const QByteArray body(wire + at + 4, qsizetype(length));
        at += 4 + qsizetype(length);
        end = at;
        bounds << at;
        serverWire += Frame(QByteArray::fromHex("5d000000") + body);
        if (source == FromChild) {
            closes = !ChildReadable(body);
            continue;
        }
        const bool readable = Readable(body);
        if (source == FromStranger)
            closes = true;
        else if (source != FromServer)
            closes = !readable;
        if (readable && source != FromStranger && body[0] == 3)
            relayed << Frame(body);
    }

    Pieces pieces(data[0] / kSources);
    if (source == FromServer) {
        // A frame over the distributed limit is never delivered.
        FeedDevice dev;
        for (qsizetype delivered = 0; delivered < serverWire.size();) {
            const qsizetype n = pieces.Next(serverWire.size() - delivered);
            dev.Feed(serverWire.constData() + delivered, n);
            delivered += n;
            AllocationWatch watch(kServerFrameCap, "code 93 through the server's reader");
            engine.server().ReadFrames(dev);
        }
        FUZZ_CHECK(engine.server().IsConnected());
    } else {
        const DNetManager::Side side =
            source == FromChild ? DNetManager::Side::Child : DNetManager::Side::Upstream;
        FeedDevice dev;
        bool open = true;
        for (qsizetype delivered = 0; open && delivered < wireSize;) {
            const qsizetype n = pieces.Next(wireSize - delivered);
            dev.Feed(wire + delivered, n);
            delivered += n;
            {
                AllocationWatch watch(kFrameCap, "distributed network frame reader");
                // A pass handles so many frames; what it leaves, the next one takes.
                for (qint64 before = -1; open && dev.bytesAvailable() != before;) {
                    before = dev.bytesAvailable();
                    open = dnet.ReadFrames(dev, socket, side);
                }
            }
            const qint64 taken = delivered - dev.bytesAvailable();
            if (!open) {
                // Closed where the frames say, and not a delivery early.
                FUZZ_CHECK(taken == end);
                FUZZ_CHECK(delivered >= (overLimit ? end + 4 : end));
                break;
            }
            // Every whole frame delivered so far, and nothing of the next.
            qsizetype whole = 0;
            for (qsizetype b : bounds) {
                if (b <= delivered)
                    whole = b;
            }
            FUZZ_CHECK(taken == whole);
        }
        FUZZ_CHECK(open == !closes);
    }

    for (RecordingSocket* child : children) {
        if (source == FromChild && child == children[0])
            continue;
        FUZZ_CHECK(Searches(child->Frames()) == relayed);
    }
    return 0;
}

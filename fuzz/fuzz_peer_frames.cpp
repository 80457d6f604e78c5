// The peer frame reader and the first frame of a connection, plain and scrambled, as a socket
// delivers them: in pieces of varying size. Byte 0 of the input: bit 0 makes the connection
// scrambled; bit 1 hands every frame to the real peer connection manager (its first-frame
// handling, on a store with its schema and a few relayed requests of ours that a pierce frame
// may name: tokens 1 to 4 for "P", "F", "D" and a bad type), where without it the harness
// reacts the way the manager does; bit 2 reads as if we had asked the peer for its share list;
// the other bits seed how the rest is cut into deliveries. The rest is what the peer sent.
//
// Checked: every body is exactly the bytes that were sent for it (descrambled by a plain
// byte-by-byte reference), scrambling it again with its key gives back the bytes on the wire,
// a length above the limit of its code is refused (at the header when no code allows it, else
// as soon as the code is in, with nothing taken past it), the reader never stops while a whole
// header or token is waiting, handshakes written back parse to the same fields, the manager
// accepts exactly the handshakes that parse and name a known type or request, and no
// allocation exceeds the frame limit.

#include "FuzzEngine.h"
#include "FuzzSupport.h"
#include "support/FeedDevice.h"

#include "peer/PeerFraming.h"
#include "peer/PeerMessenger.h"
#include "store/Clock.h"
#include "store/Data.h"
#include "store/MemStream.h"
#include "store/Stream.h"

#include <QByteArray>
#include <QIODevice>
#include <QPointer>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// The largest body and the array header around it; with a share list asked for, the largest
// that a list may be.
constexpr size_t kFrameCap = size_t(kMaxPeerFrameLength) + 64;
constexpr size_t kListFrameCap = size_t(kMaxShareListFrameLength) + 64;

// Scrambling written the obvious way, to check the reader's fast one against.
QByteArray ReferenceScramble(const char* in, qsizetype n, quint32 key)
{
    QByteArray out(in, n);
    for (qsizetype i = 0; i < n; ++i) {
        if (i % 4 == 0)
            key = BitRotateLeft(key);
        out[i] = char(quint8(in[i]) ^ quint8(key >> (8 * (i % 4))));
    }
    return out;
}

// The peer connection manager with one socket just accepted, as far as the first frame needs:
// the socket's uninitialized item and its receive state, and relayed requests of ours. The
// socket never connects; nothing here runs the event loop.
class Manager
{
public:
    static constexpr quint32 kTokens = 4;
    static constexpr const char* kTypes[kTokens] = {"P", "F", "D", "Q"};

    explicit Manager(bool scrambled) : peer(engine.peer())
    {
        ItemPtr item = d.GetType("uninitialized_socket")->NewItem(Value(&socket));
        item += d.GetType("socket_creation_time")->GetItem(Value(Clock::NowText().toStdString()));
        if (scrambled)
            item.NewItem("is_obfuscated");
        for (quint32 token = 1; token <= kTokens; ++token) {
            ItemPtr user = d.GetType("user")->GetItem(Value("peer" + std::to_string(token)));
            ItemPtr type = d.GetType("peer_connection_type")->GetItem(Value(kTypes[token - 1]));
            ItemPtr request = d.GetType("connect_to_peer_request")->NewItem();
            request += user;
            request += type;
            ItemPtr indirect = Indirect()->GetItem(Value(token));
            request += indirect;
            indirect += user;
            indirect += type;
        }
        state = new SocketReceiveState(&socket);
        state->info.m_isObfuscated = scrambled;
    }

    static Type* Indirect() { return d.GetType("indirect_connect_to_peer_request"); }
    ItemPtr PeerSocket() { return d.GetType("peer_socket")->HasItem(Value(&socket)); }

    // The socket lives here: no receiver of a hand-over may take it, so the distributed network
    // is not built.
    static EngineOptions Options()
    {
        EngineOptions options;
        options.distributedNetwork = false;
        return options;
    }

    FuzzRun run{Options()};
    Engine& engine{run.engine()};
    QTcpSocket socket;
    PeerMessenger* peer;
    QPointer<SocketReceiveState> state;
};

class Connection
{
public:
    Connection(const char* wire, qsizetype size, bool scrambled, bool shareListAsked,
               Manager* manager)
        : m_wire(wire), m_size(size), m_manager(manager), m_shareListAsked(shareListAsked)
    {
        m_own.m_isObfuscated = scrambled;
    }

    bool Open() const { return m_open; }
    qsizetype Left() const { return m_size - m_delivered; }

    // One delivery of n more bytes and the reader's work on everything ready.
    void Deliver(qsizetype n)
    {
        m_dev.Feed(m_wire + m_delivered, n);
        m_delivered += n;
        while (m_open && Step()) {
        }
    }

private:
    // The receive state: the manager's, which it may drop when it hands the socket over, or
    // the harness's own.
    SocketBufferInfo& St() const { return m_manager ? m_manager->state->info : m_own; }

    qsizetype Consumed() const { return m_delivered - m_dev.bytesAvailable(); }

    // False when the reader wants more bytes or the connection ended.
    bool Step()
    {
        const qsizetype before = Consumed();
        QByteArray body;
        quint32 token = 0;
        bool activity = false;
        FrameEvent event;
        {
            AllocationWatch watch(m_shareListAsked ? kListFrameCap : kFrameCap,
                                  "peer frame reader");
            event = ReadFrame(m_dev, St(), &body, &token, &activity, m_shareListAsked);
        }
        FUZZ_CHECK(Consumed() >= before);
        FUZZ_CHECK(!activity || St().m_length >= kActivityStep);
        switch (event) {
        case FrameEvent::NeedMore:
            CheckNothingWaiting();
            return false;
        case FrameEvent::TooLong:
            CheckRefusal(before);
            m_open = false;
            return false;
        case FrameEvent::FileToken:
            FUZZ_CHECK(Consumed() - before == 4);
            FUZZ_CHECK(token == qFromLittleEndian<quint32>(m_wire + Consumed() - 4));
            // The transfer engine owns the socket from here.
            m_open = false;
            return false;
        case FrameEvent::Frame:
            CheckBody(body);
            OnFrame(body);
            return true;
        }
        FuzzFail("unknown reader event");
    }

    // The reader may only wait when what is ready cannot make a header, a token or more body.
    void CheckNothingWaiting() const
    {
        const qint64 ready = m_dev.bytesAvailable();
        if (ready == 0)
            return;
        FUZZ_CHECK(!St().m_headerRead);
        if (St().m_expectFileToken)
            FUZZ_CHECK(ready < 4);
        else
            FUZZ_CHECK(ready < (St().m_isObfuscated ? 8 : 4));
    }

    // Refused: past every code's limit at the header, or past its own code's limit once the
    // four bytes of the code are in, and then not a byte more taken.
    void CheckRefusal(qsizetype before) const
    {
        const quint32 length = St().m_length;
        FUZZ_CHECK(length > kMaxPeerFrameLength);
        if (length > kMaxShareListFrameLength)
            return;
        FUZZ_CHECK(St().m_headerRead && St().m_buffer.size() == 4);
        const qsizetype header = St().m_isObfuscated ? 8 : 4;
        const char* code = m_wire + Consumed() - 4;
        FUZZ_CHECK(Consumed() - before <= header + 4);
        const QByteArray codeBytes =
            St().m_isObfuscated ? ReferenceScramble(code, 4, St().m_key) : QByteArray(code, 4);
        FUZZ_CHECK(codeBytes.size() == 4);
        const quint32 clear = qFromLittleEndian<quint32>(codeBytes.constData());
        FUZZ_CHECK(length > MaxFrameLength(clear, m_shareListAsked));
    }

    void CheckBody(const QByteArray& body) const
    {
        const qsizetype end = Consumed();
        const qsizetype n = body.size();
        FUZZ_CHECK(quint32(n) == St().m_length);
        FUZZ_CHECK(n <= qsizetype(kMaxPeerFrameLength) ||
                   quint32(n) <= MaxFrameLength(qFromLittleEndian<quint32>(body.constData()),
                                                m_shareListAsked));
        FUZZ_CHECK(!St().m_headerRead);
        const qsizetype header = St().m_isObfuscated ? 8 : 4;
        const qsizetype start = end - n - header;
        FUZZ_CHECK(start >= 0);
        const char* wire = m_wire + start;
        if (!St().m_isObfuscated) {
            FUZZ_CHECK(qFromLittleEndian<quint32>(wire) == quint32(n));
            FUZZ_CHECK(std::memcmp(body.constData(), wire + 4, size_t(n)) == 0);
            return;
        }
        const quint32 key = qFromLittleEndian<quint32>(wire);
        FUZZ_CHECK(St().m_key == BitRotateLeft(key));
        FUZZ_CHECK(body == ReferenceScramble(wire + 8, n, St().m_key));
        FUZZ_CHECK(Deobfuscate(wire + 8, n, St().m_key) == body);
        // What a sender with the same key puts on the wire is what arrived.
        const QByteArray again = Obfuscate(BuildFrame(body), key);
        FUZZ_CHECK(again.size() == n + 8);
        FUZZ_CHECK(std::memcmp(again.constData(), wire, size_t(n + 8)) == 0);
    }

    void OnFrame(const QByteArray& body)
    {
        const bool first = m_first;
        m_first = false;
        const FirstFrame f = first ? ParseFirstFrame(body) : FirstFrame();
        if (first)
            CheckParse(body, f);
        if (m_manager) {
            HandOverToManager(body, first, f);
            return;
        }
        if (!first) {
            // A peer message: the message codec is another decoder.
            return;
        }
        switch (f.kind) {
        case FirstFrame::Bad:
            m_open = false;
            return;
        case FirstFrame::Init:
            if (f.type == "P")
                return;
            if (f.type == "F") {
                // The raw token follows, perhaps in this very delivery.
                St().m_expectFileToken = true;
                St().m_user = f.user;
                return;
            }
            // "D" is handed to the distributed network; any other type is refused.
            m_open = false;
            return;
        case FirstFrame::Pierce:
            // As with the manager's requests: token 1 opened a messaging connection; the others
            // are handed over or unknown.
            if (f.token != 1)
                m_open = false;
            return;
        }
    }

    static void CheckParse(const QByteArray& body, const FirstFrame& f)
    {
        FUZZ_CHECK(f.directionRead == !body.isEmpty());
        if (f.kind == FirstFrame::Init) {
            FUZZ_CHECK(body.at(0) != 0);
            FUZZ_CHECK(f.user.size() <= kMaxStreamStringLength);
            FUZZ_CHECK(f.type.size() <= kMaxStreamStringLength);
            FUZZ_CHECK(f.user.find('\0') == std::string::npos);
            FUZZ_CHECK(f.type.find('\0') == std::string::npos);
            const FirstFrame again = ParseFirstFrame(InitFrameBody(f.user, f.type));
            FUZZ_CHECK(again.kind == FirstFrame::Init);
            FUZZ_CHECK(again.user == f.user && again.type == f.type);
        } else if (f.kind == FirstFrame::Pierce) {
            FUZZ_CHECK(body.at(0) == 0 && body.size() >= 5);
            const FirstFrame again = ParseFirstFrame(PierceFrameBody(f.token));
            FUZZ_CHECK(again.kind == FirstFrame::Pierce && again.token == f.token);
        }
    }

    // What the manager's reader does with a complete body, and what must follow from it.
    void HandOverToManager(const QByteArray& body, bool first, const FirstFrame& f)
    {
        MemStream message;
        message.WriteBuffer(body.constData(), static_cast<unsigned long>(body.size()));
        const bool ok = m_manager->peer->HandleMessage(&m_manager->socket, message);
        const bool handedOver = !m_manager->state;
        if (first) {
            std::string type = f.type;
            std::string user = f.user;
            if (f.kind == FirstFrame::Pierce) {
                const bool known = f.token >= 1 && f.token <= Manager::kTokens;
                type = known ? Manager::kTypes[f.token - 1] : std::string();
                user = "peer" + std::to_string(f.token);
                FUZZ_CHECK(!Manager::Indirect()->HasItem(Value(f.token)));
            }
            const bool accepted =
                f.kind != FirstFrame::Bad && (type == "P" || type == "F" || type == "D");
            FUZZ_CHECK(ok == accepted);
            // Only a file connection still waiting for its token counts as uninitialized.
            const bool awaitsToken = ok && type == "F" && f.kind == FirstFrame::Init;
            FUZZ_CHECK(
                bool(d.GetType("uninitialized_socket")->HasItem(Value(&m_manager->socket))) ==
                awaitsToken);
            if (ok && type == "P")
                FUZZ_CHECK(m_manager->PeerSocket()["user"].AsString() == user);
            if (ok && type == "F" && f.kind == FirstFrame::Init)
                FUZZ_CHECK(!handedOver && St().m_expectFileToken && St().m_user == user);
            if (ok && (type == "D" || (type == "F" && f.kind == FirstFrame::Pierce)))
                FUZZ_CHECK(handedOver);
        }
        // Later frames are peer messages, which the codec may refuse: its own target
        // (peer_messages) checks what it does with them.
        if (!ok || handedOver || St().m_handedOff)
            m_open = false;
    }

    const char* m_wire;
    qsizetype m_size;
    Manager* m_manager;
    bool m_shareListAsked;
    qsizetype m_delivered = 0;
    FeedDevice m_dev;
    mutable SocketBufferInfo m_own;
    bool m_first = true;
    bool m_open = true;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const quint8 control = data[0];
    const bool scrambled = control & 1;
    const bool shareListAsked = control & 4;
    std::unique_ptr<Manager> manager;
    if (control & 2) {
        EnsureApplication();
        manager = std::make_unique<Manager>(scrambled);
    }
    Connection c(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1), scrambled,
                 shareListAsked, manager.get());
    Pieces pieces(control >> 3);
    while (c.Open() && c.Left() > 0)
        c.Deliver(pieces.Next(c.Left()));
    return 0;
}

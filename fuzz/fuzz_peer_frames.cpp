// The peer frame reader and the first frame of a connection, plain and scrambled, as a socket
// delivers them: in pieces of varying size. Byte 0 of the input chooses the connection (bit 0:
// scrambled) and how the rest is cut into deliveries (the other bits seed the piece sizes); the
// rest is what the peer sent. The loop below does what the messenger does with each reader
// event: the first frame is parsed as a handshake, an "F" handshake is followed by the raw
// transfer token, "D" and pierce frames hand the socket off, later frames are messages.
//
// Checked: every body is exactly the bytes that were sent for it (descrambled by a plain
// byte-by-byte reference), scrambling it again with its key gives back the bytes on the wire,
// a length above the limit is refused, the reader never stops while a whole header or token is
// waiting, handshakes written back parse to the same fields, and no allocation exceeds the
// frame limit.

#include "FeedDevice.h"
#include "FuzzSupport.h"

#include "peer/PeerFraming.h"
#include "store/Stream.h"

#include <QByteArray>
#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

// The largest body and the array header around it.
constexpr size_t kFrameCap = size_t(kMaxPeerFrameLength) + 64;

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

class Connection
{
public:
    Connection(const char* wire, qsizetype size, bool scrambled) : m_wire(wire), m_size(size)
    {
        m_state.m_isObfuscated = scrambled;
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
            AllocationWatch watch(kFrameCap, "peer frame reader");
            event = ReadFrame(m_dev, m_state, &body, &token, &activity);
        }
        FUZZ_CHECK(Consumed() >= before);
        FUZZ_CHECK(!activity || m_state.m_length >= kActivityStep);
        switch (event) {
        case FrameEvent::NeedMore:
            CheckNothingWaiting();
            return false;
        case FrameEvent::TooLong:
            FUZZ_CHECK(m_state.m_length > kMaxPeerFrameLength);
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
        FUZZ_CHECK(!m_state.m_headerRead);
        if (m_state.m_expectFileToken)
            FUZZ_CHECK(ready < 4);
        else
            FUZZ_CHECK(ready < (m_state.m_isObfuscated ? 8 : 4));
    }

    void CheckBody(const QByteArray& body) const
    {
        const qsizetype end = Consumed();
        const qsizetype n = body.size();
        FUZZ_CHECK(quint32(n) == m_state.m_length);
        FUZZ_CHECK(n <= qsizetype(kMaxPeerFrameLength));
        FUZZ_CHECK(!m_state.m_headerRead);
        const qsizetype header = m_state.m_isObfuscated ? 8 : 4;
        const qsizetype start = end - n - header;
        FUZZ_CHECK(start >= 0);
        const char* wire = m_wire + start;
        if (!m_state.m_isObfuscated) {
            FUZZ_CHECK(qFromLittleEndian<quint32>(wire) == quint32(n));
            FUZZ_CHECK(std::memcmp(body.constData(), wire + 4, size_t(n)) == 0);
            return;
        }
        const quint32 key = qFromLittleEndian<quint32>(wire);
        FUZZ_CHECK(m_state.m_key == BitRotateLeft(key));
        FUZZ_CHECK(body == ReferenceScramble(wire + 8, n, m_state.m_key));
        FUZZ_CHECK(Deobfuscate(wire + 8, n, m_state.m_key) == body);
        // What a sender with the same key puts on the wire is what arrived.
        const QByteArray again = Obfuscate(BuildFrame(body), key);
        FUZZ_CHECK(again.size() == n + 8);
        FUZZ_CHECK(std::memcmp(again.constData(), wire, size_t(n + 8)) == 0);
    }

    void OnFrame(const QByteArray& body)
    {
        if (!m_first) {
            // A peer message: the code comes first. The messages themselves are another decoder.
            return;
        }
        m_first = false;
        const FirstFrame f = ParseFirstFrame(body);
        FUZZ_CHECK(f.directionRead == !body.isEmpty());
        switch (f.kind) {
        case FirstFrame::Bad:
            m_open = false;
            return;
        case FirstFrame::Init: {
            FUZZ_CHECK(body.at(0) != 0);
            FUZZ_CHECK(f.user.size() <= kMaxStreamStringLength);
            FUZZ_CHECK(f.type.size() <= kMaxStreamStringLength);
            FUZZ_CHECK(f.user.find('\0') == std::string::npos);
            FUZZ_CHECK(f.type.find('\0') == std::string::npos);
            const FirstFrame again = ParseFirstFrame(InitFrameBody(f.user, f.type));
            FUZZ_CHECK(again.kind == FirstFrame::Init);
            FUZZ_CHECK(again.user == f.user && again.type == f.type);
            if (f.type == "P")
                return;
            if (f.type == "F") {
                // The raw token follows, perhaps in this very delivery.
                m_state.m_expectFileToken = true;
                m_state.m_user = f.user;
                return;
            }
            // "D" is handed to the distributed network; any other type is refused.
            m_open = false;
            return;
        }
        case FirstFrame::Pierce: {
            FUZZ_CHECK(body.at(0) == 0 && body.size() >= 5);
            const FirstFrame again = ParseFirstFrame(PierceFrameBody(f.token));
            FUZZ_CHECK(again.kind == FirstFrame::Pierce && again.token == f.token);
            // Which request the token names decides what follows; take both ways.
            if (f.token & 1)
                m_open = false;
            return;
        }
        }
    }

    const char* m_wire;
    qsizetype m_size;
    qsizetype m_delivered = 0;
    FeedDevice m_dev;
    SocketBufferInfo m_state;
    bool m_first = true;
    bool m_open = true;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const quint8 control = data[0];
    Connection c(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1), control & 1);
    Pieces pieces(control >> 1);
    while (c.Open() && c.Left() > 0)
        c.Deliver(pieces.Next(c.Left()));
    return 0;
}

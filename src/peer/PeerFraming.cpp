#include "peer/PeerFraming.h"

#include "peer/PeerMessages.h"

#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

// The key comes back to itself after 32 rotations, so the XOR pattern of a frame repeats every
// 32 groups of 4 bytes. Scrambling is then a plain XOR with a 128-byte pattern, which the
// compiler turns into vector code: a 10 MiB frame must never be what limits a transfer.
constexpr qsizetype kPatternSize = 128;

void MakePattern(quint32 key, unsigned char* pattern)
{
    for (int g = 0; g < kPatternSize / 4; ++g) {
        key = BitRotateLeft(key);
        qToLittleEndian(key, pattern + 4 * g);
    }
}

// A little-endian reader over a received body; every read checks what is left first.
class BodyReader
{
public:
    explicit BodyReader(const QByteArray& body) : m_body(body) {}

    bool ReadU8(quint8& v)
    {
        if (m_body.size() - m_pos < 1)
            return false;
        v = quint8(m_body.at(m_pos++));
        return true;
    }

    bool ReadU32(quint32& v)
    {
        if (m_body.size() - m_pos < 4)
            return false;
        v = qFromLittleEndian<quint32>(m_body.constData() + m_pos);
        m_pos += 4;
        return true;
    }

    // A string: u32 length (refused above the stream limit) and the bytes, cut at the first NUL.
    bool ReadString(std::string& v)
    {
        constexpr quint32 kMaxString = 131072;
        quint32 length = 0;
        if (!ReadU32(length))
            return false;
        if (length > kMaxString || m_body.size() - m_pos < qsizetype(length)) {
            m_pos -= 4;
            return false;
        }
        const char* start = m_body.constData() + m_pos;
        const void* nul = std::memchr(start, 0, length);
        v.assign(start, nul ? static_cast<const char*>(nul) - start : qsizetype(length));
        m_pos += length;
        return true;
    }

private:
    const QByteArray& m_body;
    qsizetype m_pos = 0;
};

void AppendU32(QByteArray& out, quint32 v)
{
    char bytes[4];
    qToLittleEndian(v, bytes);
    out.append(bytes, 4);
}

void AppendString(QByteArray& out, const std::string& s)
{
    AppendU32(out, quint32(s.size()));
    out.append(s.data(), qsizetype(s.size()));
}

} // namespace

void ScrambleBytes(const char* in, char* out, qsizetype n, quint32 key)
{
    alignas(16) unsigned char pattern[kPatternSize];
    MakePattern(key, pattern);
    auto* src = reinterpret_cast<const unsigned char*>(in);
    auto* dst = reinterpret_cast<unsigned char*>(out);
    qsizetype i = 0;
    for (; i + kPatternSize <= n; i += kPatternSize) {
        for (qsizetype w = 0; w < kPatternSize; w += 8) {
            quint64 a, p;
            std::memcpy(&a, src + i + w, 8);
            std::memcpy(&p, pattern + w, 8);
            a ^= p;
            std::memcpy(dst + i + w, &a, 8);
        }
    }
    for (qsizetype j = 0; i < n; ++i, ++j)
        dst[i] = src[i] ^ pattern[j];
}

QByteArray Obfuscate(const QByteArray& frame, quint32 key)
{
    QByteArray out(4 + frame.size(), Qt::Uninitialized);
    qToLittleEndian(key, out.data());
    ScrambleBytes(frame.constData(), out.data() + 4, frame.size(), key);
    return out;
}

QByteArray Deobfuscate(const char* body, qsizetype n, quint32 key)
{
    QByteArray out(n, Qt::Uninitialized);
    ScrambleBytes(body, out.data(), n, key);
    return out;
}

QByteArray BuildFrame(const char* body, qsizetype n)
{
    QByteArray frame(4 + n, Qt::Uninitialized);
    qToLittleEndian(quint32(n), frame.data());
    if (n > 0)
        std::memcpy(frame.data() + 4, body, size_t(n));
    return frame;
}

QByteArray InitFrameBody(const std::string& user, const std::string& type)
{
    QByteArray body;
    body.append(char(1));
    AppendString(body, user);
    AppendString(body, type);
    AppendU32(body, 0);
    return body;
}

QByteArray PierceFrameBody(quint32 token)
{
    QByteArray body;
    body.append(char(0));
    AppendU32(body, token);
    return body;
}

FirstFrame ParseFirstFrame(const QByteArray& body)
{
    FirstFrame f;
    BodyReader r(body);
    quint8 direction = 0;
    if (!r.ReadU8(direction))
        return f;
    f.directionRead = true;
    if (direction != 0) {
        quint32 reserved = 0;
        if (r.ReadString(f.user) && r.ReadString(f.type) && r.ReadU32(reserved))
            f.kind = FirstFrame::Init;
        return f;
    }
    if (r.ReadU32(f.token))
        f.kind = FirstFrame::Pierce;
    return f;
}

quint32 MaxFrameLength(quint32 code, bool shareListAsked)
{
    return shareListAsked && code == PM_SHARED_FILE_LIST ? kMaxShareListFrameLength
                                                          : kMaxPeerFrameLength;
}

FrameEvent ReadFrame(QIODevice& dev, SocketBufferInfo& st, QByteArray* body, quint32* token,
                     bool* activity, bool shareListAsked)
{
    *activity = false;
    for (;;) {
        const qint64 avail = dev.bytesAvailable();
        if (avail <= 0)
            return FrameEvent::NeedMore;

        if (st.m_expectFileToken) {
            // The transfer token is raw: neither framed nor scrambled, also on a scrambled
            // connection.
            char bytes[4];
            if (avail < 4 || dev.read(bytes, 4) != 4)
                return FrameEvent::NeedMore;
            *token = qFromLittleEndian<quint32>(bytes);
            st.m_expectFileToken = false;
            return FrameEvent::FileToken;
        }

        if (!st.m_headerRead) {
            char header[8];
            if (st.m_isObfuscated) {
                if (avail < 8 || dev.read(header, 8) != 8)
                    return FrameEvent::NeedMore;
                st.m_key = BitRotateLeft(qFromLittleEndian<quint32>(header));
                st.m_length = qFromLittleEndian<quint32>(header + 4) ^ st.m_key;
            } else {
                if (avail < 4 || dev.read(header, 4) != 4)
                    return FrameEvent::NeedMore;
                st.m_length = qFromLittleEndian<quint32>(header);
            }
            // No code allows more than this, so there is nothing to wait for.
            if (st.m_length > kMaxShareListFrameLength)
                return FrameEvent::TooLong;
            st.m_headerRead = true;
            st.m_lengthAccepted = st.m_length <= kMaxPeerFrameLength;
            st.m_buffer.resize(0);
        }

        const qsizetype have = st.m_buffer.size();
        qsizetype want = qsizetype(st.m_length) - have;
        // A long frame waits for its code before more of it is buffered.
        if (!st.m_lengthAccepted)
            want = std::min<qsizetype>(want, 4 - have);
        if (want > 0) {
            const qsizetype ready = dev.bytesAvailable();
            if (ready <= 0)
                return FrameEvent::NeedMore;
            const qsizetype chunk = std::min(ready, want);
            if (st.m_buffer.capacity() < have + chunk) {
                const qsizetype grown = std::max(have + chunk, 2 * st.m_buffer.capacity());
                st.m_buffer.reserve(std::min(grown, qsizetype(st.m_length)));
            }
            st.m_buffer.resize(have + chunk);
            const qint64 got = dev.read(st.m_buffer.data() + have, chunk);
            st.m_buffer.resize(have + std::max<qint64>(got, 0));
            if (have / kActivityStep != st.m_buffer.size() / kActivityStep)
                *activity = true;
            if (!st.m_lengthAccepted && st.m_buffer.size() == 4) {
                char code[4];
                if (st.m_isObfuscated)
                    ScrambleBytes(st.m_buffer.constData(), code, 4, st.m_key);
                else
                    std::memcpy(code, st.m_buffer.constData(), 4);
                if (st.m_length > MaxFrameLength(qFromLittleEndian<quint32>(code), shareListAsked))
                    return FrameEvent::TooLong;
                st.m_lengthAccepted = true;
            }
            if (st.m_buffer.size() < qsizetype(st.m_length)) {
                if (got <= 0)
                    return FrameEvent::NeedMore;
                continue;
            }
        }

        st.m_headerRead = false;
        if (st.m_isObfuscated)
            ScrambleBytes(st.m_buffer.constData(), st.m_buffer.data(), st.m_buffer.size(),
                          st.m_key);
        *body = std::move(st.m_buffer);
        st.m_buffer = QByteArray();
        return FrameEvent::Frame;
    }
}

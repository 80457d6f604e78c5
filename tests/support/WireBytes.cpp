#include "support/WireBytes.h"

#include <QtEndian>

namespace {

template <typename T> void appendLittleEndian(QByteArray& out, T v)
{
    char buf[sizeof(T)];
    qToLittleEndian(v, buf);
    out.append(buf, qsizetype(sizeof(T)));
}

} // namespace

WireWriter& WireWriter::u8(quint8 v)
{
    m_bytes.append(char(v));
    return *this;
}

WireWriter& WireWriter::u16(quint16 v)
{
    appendLittleEndian(m_bytes, v);
    return *this;
}

WireWriter& WireWriter::u32(quint32 v)
{
    appendLittleEndian(m_bytes, v);
    return *this;
}

WireWriter& WireWriter::u64(quint64 v)
{
    appendLittleEndian(m_bytes, v);
    return *this;
}

WireWriter& WireWriter::str(const QByteArray& s)
{
    u32(quint32(s.size()));
    m_bytes.append(s);
    return *this;
}

WireWriter& WireWriter::raw(const QByteArray& bytes)
{
    m_bytes.append(bytes);
    return *this;
}

bool WireReader::take(qsizetype n, QByteArray* out)
{
    if (m_failed || n < 0 || n > m_bytes.size() - m_pos) {
        m_failed = true;
        return false;
    }
    *out = m_bytes.mid(m_pos, n);
    m_pos += n;
    return true;
}

quint8 WireReader::u8()
{
    QByteArray b;
    return take(1, &b) ? quint8(b[0]) : 0;
}

quint16 WireReader::u16()
{
    QByteArray b;
    return take(2, &b) ? qFromLittleEndian<quint16>(b.constData()) : 0;
}

quint32 WireReader::u32()
{
    QByteArray b;
    return take(4, &b) ? qFromLittleEndian<quint32>(b.constData()) : 0;
}

quint64 WireReader::u64()
{
    QByteArray b;
    return take(8, &b) ? qFromLittleEndian<quint64>(b.constData()) : 0;
}

QByteArray WireReader::str()
{
    const quint32 length = u32();
    QByteArray b;
    if (!m_failed && take(qsizetype(length), &b))
        return b;
    return QByteArray();
}

QByteArray frameOf(const QByteArray& body)
{
    return WireWriter().u32(quint32(body.size())).raw(body);
}

QByteArray hexBytes(const char* hex)
{
    QByteArray digits(hex);
    digits.replace(' ', QByteArray());
    return QByteArray::fromHex(digits);
}

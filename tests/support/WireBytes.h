#pragma once

#include <QByteArray>
#include <QtGlobal>

// Builds and takes apart message bodies in the wire encoding shared by the server and peer
// protocols (little-endian integers, strings as a u32 byte length and the bytes). Tests use it to
// script what a fake sends and to check what the client sent, independently of the client's own
// stream classes.
class WireWriter
{
public:
    WireWriter& u8(quint8 v);
    WireWriter& u16(quint16 v);
    WireWriter& u32(quint32 v);
    WireWriter& i32(qint32 v) { return u32(quint32(v)); }
    WireWriter& u64(quint64 v);
    WireWriter& str(const QByteArray& s);
    WireWriter& raw(const QByteArray& bytes);

    const QByteArray& bytes() const { return m_bytes; }
    operator QByteArray() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

// Reads fields in order; every read past the end sets the failed flag and yields 0 or empty, so a
// test can read a whole message and check ok() and atEnd() once.
class WireReader
{
public:
    explicit WireReader(const QByteArray& bytes) : m_bytes(bytes) {}

    quint8 u8();
    quint16 u16();
    quint32 u32();
    qint32 i32() { return qint32(u32()); }
    quint64 u64();
    QByteArray str();

    bool ok() const { return !m_failed; }
    bool atEnd() const { return m_pos == m_bytes.size(); }
    qsizetype remaining() const { return m_bytes.size() - m_pos; }

private:
    bool take(qsizetype n, QByteArray* out);

    QByteArray m_bytes;
    qsizetype m_pos = 0;
    bool m_failed = false;
};

// A frame as the server protocol sends it: u32 little-endian body length, then the body.
QByteArray frameOf(const QByteArray& body);

// Literal byte layouts in tests: "43000000 01000000" gives those bytes (blanks are ignored).
QByteArray hexBytes(const char* hex);

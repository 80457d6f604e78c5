#pragma once

#include <QByteArray>
#include <QRandomGenerator>
#include <QtEndian>

// Bytes for the file connection tests: a file's content that no off-by-one shift can pass for
// itself, and a start offset as it goes on the wire.
namespace FileBytes {

inline QByteArray Pattern(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    for (char& c : bytes)
        c = char(gen.generate() & 0xff);
    return bytes;
}

inline QByteArray Le64(qint64 v)
{
    const qint64 le = qToLittleEndian(v);
    return QByteArray(reinterpret_cast<const char*>(&le), 8);
}

} // namespace FileBytes

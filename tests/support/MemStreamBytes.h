#pragma once

#include "store/MemStream.h"

#include <QByteArray>
#include <QtEndian>

// Bytes in and out of a MemStream, for the tests of the stream and of what is written to it.

inline MemStream StreamOf(const QByteArray& bytes)
{
    MemStream s;
    s.WriteBuffer(bytes.constData(), static_cast<unsigned long>(bytes.size()));
    return s;
}

inline QByteArray Contents(const MemStream& s)
{
    return QByteArray(s.GetBuffer(), s.GetBufferLength());
}

// A little-endian u32, as the stream writes it.
inline QByteArray U32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

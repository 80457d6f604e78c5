#include "store/Stream.h"

#include <QtEndian>

#include <memory>

namespace {

template <class T> bool ReadLittleEndian(InputStream& stream, T& value)
{
    uchar bytes[sizeof(T)];
    if (!stream.ReadBuffer(bytes, sizeof(T)))
        return false;
    value = qFromLittleEndian<T>(bytes);
    return true;
}

template <class T> bool WriteLittleEndian(OutputStream& stream, T value)
{
    uchar bytes[sizeof(T)];
    qToLittleEndian<T>(value, bytes);
    return stream.WriteBuffer(bytes, sizeof(T));
}

} // namespace

bool InputStream::Read(bool& value)
{
    quint8 byte = 0;
    if (!ReadBuffer(&byte, 1))
        return false;
    value = byte != 0;
    return true;
}

bool InputStream::Read(quint8& value)
{
    return ReadBuffer(&value, 1);
}

bool InputStream::Read(qint16& value)
{
    return ReadLittleEndian(*this, value);
}

bool InputStream::Read(quint16& value)
{
    return ReadLittleEndian(*this, value);
}

bool InputStream::Read(qint32& value)
{
    return ReadLittleEndian(*this, value);
}

bool InputStream::Read(quint32& value)
{
    return ReadLittleEndian(*this, value);
}

bool InputStream::Read(qint64& value)
{
    return ReadLittleEndian(*this, value);
}

bool InputStream::Read(quint64& value)
{
    return ReadLittleEndian(*this, value);
}

bool InputStream::Read(std::string& value)
{
    quint32 length = 0;
    if (!Read(length))
        return false;
    if (length > kMaxStreamStringLength)
        return false;
    std::unique_ptr<char[]> scratch(new char[length + 1]);
    if (!ReadBuffer(scratch.get(), length))
        return false;
    scratch[length] = '\0';
    // The peer's text ends at its first NUL, though all of its bytes are consumed.
    value.assign(scratch.get());
    return true;
}

bool InputStream::ReadCount(quint32& count)
{
    quint32 raw = 0;
    if (!Read(raw))
        return false;
    if (raw > kMaxStreamElementCount)
        return false;
    count = raw;
    return true;
}

bool OutputStream::Write(bool value)
{
    const quint8 byte = value ? 1 : 0;
    return WriteBuffer(&byte, 1);
}

bool OutputStream::Write(quint8 value)
{
    return WriteBuffer(&value, 1);
}

bool OutputStream::Write(qint32 value)
{
    return WriteLittleEndian(*this, value);
}

bool OutputStream::Write(quint32 value)
{
    return WriteLittleEndian(*this, value);
}

bool OutputStream::Write(qint64 value)
{
    return WriteLittleEndian(*this, value);
}

bool OutputStream::Write(quint64 value)
{
    return WriteLittleEndian(*this, value);
}

bool OutputStream::Write(std::string_view value)
{
    // Streams carry at most 32-bit lengths; nothing the client builds comes near that.
    Q_ASSERT(value.size() <= 0xffffffffu);
    return Write(static_cast<quint32>(value.size())) && WriteBuffer(value.data(), value.size());
}

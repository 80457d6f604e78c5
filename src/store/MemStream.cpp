#include "store/MemStream.h"

#include <climits>
#include <cstring>

MemStream::MemStream() : mp_buffer(std::make_shared<Buffer>())
{
    mp_buffer->bufferSize = kInitialSize;
    mp_buffer->data.reset(new char[kInitialSize]);
}

MemStream::Buffer& MemStream::buffer() const
{
    Q_ASSERT(mp_buffer);
    return *mp_buffer;
}

bool MemStream::ReadBuffer(void* dest, unsigned long length)
{
    Buffer& b = buffer();
    const unsigned long pending = static_cast<unsigned long>(b.writeIndex - b.readIndex);
    if (length > pending)
        return false;
    if (length > 0)
        std::memcpy(dest, b.data.get() + b.readIndex, length);
    b.readIndex += static_cast<int>(length);
    return true;
}

bool MemStream::WriteBuffer(const void* src, unsigned long length)
{
    Buffer& b = buffer();
    const qint64 need = static_cast<qint64>(b.writeIndex) + static_cast<qint64>(length);
    // A buffer is kept strictly larger than its contents: a write that would fill it exactly
    // grows it too.
    if (need >= b.bufferSize) {
        qint64 size = b.bufferSize > 0 ? b.bufferSize : kInitialSize;
        while (size <= need)
            size *= 2;
        // Indices are 32-bit; a message this big is a programming error, not input.
        if (size > INT_MAX)
            qFatal("MemStream: buffer would exceed %d bytes", INT_MAX);
        std::unique_ptr<char[]> grown(new char[size]);
        if (b.writeIndex > 0)
            std::memcpy(grown.get(), b.data.get(), static_cast<size_t>(b.writeIndex));
        // The source may lie in the old data (bytes of this stream or of a copy of it), so the
        // new bytes go in before the old data is freed.
        if (length > 0)
            std::memcpy(grown.get() + b.writeIndex, src, length);
        b.data = std::move(grown);
        b.bufferSize = static_cast<int>(size);
    } else if (length > 0) {
        std::memmove(b.data.get() + b.writeIndex, src, length);
    }
    b.writeIndex = static_cast<int>(need);
    return true;
}

int MemStream::GetPendingReadLength() const
{
    return buffer().writeIndex - buffer().readIndex;
}

char* MemStream::GetReadBuffer() const
{
    return buffer().data.get() + buffer().readIndex;
}

char* MemStream::GetBuffer() const
{
    return buffer().data.get();
}

int MemStream::GetBufferLength() const
{
    return buffer().writeIndex;
}

int MemStream::GetWriteIndex() const
{
    return buffer().writeIndex;
}

int MemStream::GetReadIndex() const
{
    return buffer().readIndex;
}

int MemStream::GetBufferSize() const
{
    return buffer().bufferSize;
}

void MemStream::Reset()
{
    buffer().readIndex = 0;
    buffer().writeIndex = 0;
}

void MemStream::EnsureBufferCapacity(int n)
{
    Buffer& b = buffer();
    Q_ASSERT_X(b.writeIndex == 0, "MemStream::EnsureBufferCapacity",
               "mp_buffer->m_writeIndex == 0");
    if (n > b.bufferSize) {
        b.data.reset(new char[n]);
        b.bufferSize = n;
    }
}

char* MemStream::GetWriteBuffer() const
{
    return buffer().data.get() + buffer().writeIndex;
}

void MemStream::AdvanceWriteIndex(int n)
{
    Buffer& b = buffer();
    Q_ASSERT_X(n >= 0 && b.writeIndex + n <= b.bufferSize, "MemStream::AdvanceWriteIndex",
               "mp_buffer->m_writeIndex <= mp_buffer->m_bufferSize");
    b.writeIndex += n;
}

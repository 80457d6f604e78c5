#pragma once

#include "store/Stream.h"

#include <memory>

// A growable in-memory buffer that is both a stream source and a sink. Copies share one buffer
// and its indices, so handing a received message to a handler by value copies no bytes and a
// read through any copy advances them all.
class MemStream : public virtual InputStream, public virtual OutputStream
{
public:
    static constexpr int kInitialSize = 256;

    MemStream();
    MemStream(const MemStream& other) = default;
    MemStream& operator=(const MemStream& other) = default;
    ~MemStream() override = default;

    bool ReadBuffer(void* dest, unsigned long length) override;
    bool WriteBuffer(const void* src, unsigned long length) override;

    // Unread bytes.
    int GetPendingReadLength() const;
    // The first unread byte.
    char* GetReadBuffer() const;
    // Byte 0 of the data, whatever has been read.
    char* GetBuffer() const;
    // Bytes written so far: the length a frame writer puts in front of a message.
    int GetBufferLength() const;
    int GetWriteIndex() const;
    int GetReadIndex() const;
    int GetBufferSize() const;

    // Forgets the contents; the storage stays allocated.
    void Reset();

    // For frame readers that copy a body straight from a socket: Reset, EnsureBufferCapacity
    // with the body length, read into GetWriteBuffer, AdvanceWriteIndex by what was read.
    void EnsureBufferCapacity(int n);
    char* GetWriteBuffer() const;
    void AdvanceWriteIndex(int n);

private:
    struct Buffer
    {
        int readIndex = 0;
        int writeIndex = 0;
        int bufferSize = 0;
        std::unique_ptr<char[]> data;
    };

    Buffer& buffer() const;

    std::shared_ptr<Buffer> mp_buffer;
};

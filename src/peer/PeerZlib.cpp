#include "peer/PeerMessages.h"

#include "store/MemStream.h"

#include <zlib.h>

#include <cstring>
#include <new>

namespace {

// Output room of the first round; most bodies are a few times their compressed size.
constexpr qsizetype kFirstOutputSize = 64 * 1024;

// Resizes to exactly n bytes: reserve first, so that the array does not round its capacity up
// past the cap the caller enforces.
void ResizeExactly(QByteArray& buffer, qsizetype n)
{
    buffer.reserve(n);
    buffer.resize(n);
}

ZInflateResult Inflate(z_stream& z, qsizetype size, qsizetype cap, QByteArray* out)
{
    QByteArray& buffer = *out;
    ResizeExactly(buffer, qMin(cap, qMax(kFirstOutputSize, size * 4)));
    qsizetype produced = 0;
    for (;;) {
        if (produced == buffer.size()) {
            if (buffer.size() >= cap) {
                // Full at the cap: the stream may only end here. One byte more is too much.
                unsigned char probe = 0;
                z.next_out = &probe;
                z.avail_out = 1;
                for (;;) {
                    // Z_OK without output: block headers were read; there is more to see.
                    const int rc = inflate(&z, Z_NO_FLUSH);
                    if (z.avail_out == 0)
                        return ZInflateResult::TooLarge;
                    if (rc == Z_STREAM_END)
                        return ZInflateResult::Ok;
                    if (rc != Z_OK)
                        return rc == Z_MEM_ERROR ? ZInflateResult::NoMemory
                                                 : ZInflateResult::Corrupt;
                }
            }
            ResizeExactly(buffer, qMin(cap, buffer.size() * 2));
        }
        z.next_out = reinterpret_cast<Bytef*>(buffer.data() + produced);
        z.avail_out = uInt(buffer.size() - produced);
        const int rc = inflate(&z, Z_NO_FLUSH);
        produced = buffer.size() - qsizetype(z.avail_out);
        switch (rc) {
        case Z_STREAM_END:
            // The room the last round doubled to is handed back: a list of tens of megabytes
            // is kept while its tree is built.
            buffer.resize(produced);
            buffer.squeeze();
            return ZInflateResult::Ok;
        case Z_OK:
            break;
        case Z_BUF_ERROR:
            // No progress: out of room (the next round grows the buffer) or out of input.
            if (z.avail_in == 0)
                return ZInflateResult::Corrupt;
            break;
        case Z_MEM_ERROR:
            return ZInflateResult::NoMemory;
        default:
            return ZInflateResult::Corrupt;
        }
    }
}

} // namespace

ZInflateResult ZInflate(const char* data, qsizetype size, qsizetype cap, QByteArray* out)
{
    out->clear();
    // uInt counts hold every frame and every cap this client has.
    Q_ASSERT(size >= 0 && quint64(size) <= 0xffffffffu && cap > 0 && quint64(cap) < 0xffffffffu);
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK)
        return ZInflateResult::NoMemory;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = uInt(size);
    ZInflateResult result;
    try {
        result = Inflate(z, size, cap, out);
    } catch (const std::bad_alloc&) {
        result = ZInflateResult::NoMemory;
    }
    inflateEnd(&z);
    if (result != ZInflateResult::Ok)
        *out = QByteArray();
    return result;
}

bool ZCompress(const char* data, qsizetype size, QByteArray* out,
               const std::atomic<bool>* cancel)
{
    // What compress2 does, a slice of input at a time so that a cancel is seen within one
    // slice; zlib's output does not depend on how its input is sliced.
    constexpr qsizetype kSlice = 1024 * 1024;
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (deflateInit(&z, 9) != Z_OK) {
        *out = QByteArray();
        return false;
    }
    bool ok = false;
    try {
        ResizeExactly(*out, qsizetype(compressBound(uLong(size))));
        z.next_out = reinterpret_cast<Bytef*>(out->data());
        z.avail_out = uInt(out->size());
        qsizetype fed = 0;
        for (;;) {
            if (cancel && cancel->load(std::memory_order_relaxed))
                break;
            const qsizetype slice = qMin(size - fed, kSlice);
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data + fed));
            z.avail_in = uInt(slice);
            fed += slice;
            const bool last = fed == size;
            const int rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            if (last) {
                ok = rc == Z_STREAM_END;
                break;
            }
            // With room for the bound, every slice is taken whole.
            if (rc != Z_OK || z.avail_in != 0)
                break;
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (ok)
        out->resize(qsizetype(z.total_out));
    else
        *out = QByteArray();
    deflateEnd(&z);
    return ok;
}

bool ZMessage(quint32 code, const char* body, qsizetype size, MemStream* message)
{
    message->Reset();
    QByteArray compressed;
    if (!ZCompress(body, size, &compressed))
        return false;
    message->Write(code);
    message->WriteBuffer(compressed.constData(), static_cast<unsigned long>(compressed.size()));
    return true;
}

bool BytesInputStream::ReadBuffer(void* dest, unsigned long length)
{
    if (length > quint64(m_left))
        return false;
    if (length > 0)
        std::memcpy(dest, m_data, length);
    m_data += length;
    m_left -= qsizetype(length);
    return true;
}

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
            buffer.resize(produced);
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

namespace {

// The folder map's fields, read the way InputStream reads them, with nothing kept.
class ListWalker
{
public:
    ListWalker(const char* data, qsizetype size) : m_data(data), m_left(size) {}

    bool U8(quint8& v) { return Take(&v, 1); }
    bool U32(quint32& v)
    {
        unsigned char b[4];
        if (!Take(b, 4))
            return false;
        v = quint32(b[0]) | quint32(b[1]) << 8 | quint32(b[2]) << 16 | quint32(b[3]) << 24;
        return true;
    }
    bool Count(quint32& n) { return U32(n) && n <= kMaxStreamElementCount; }
    // A string: where its kept text starts and how long it is (up to its first NUL).
    bool String(const char** text, qsizetype* kept)
    {
        quint32 length = 0;
        if (!U32(length) || length > kMaxStreamStringLength || qsizetype(length) > m_left)
            return false;
        *text = m_data;
        const void* nul = std::memchr(m_data, 0, length);
        *kept = nul ? static_cast<const char*>(nul) - m_data : qsizetype(length);
        m_data += length;
        m_left -= qsizetype(length);
        return true;
    }
    bool Skip(qsizetype n)
    {
        if (n > m_left)
            return false;
        m_data += n;
        m_left -= n;
        return true;
    }

private:
    bool Take(void* out, qsizetype n)
    {
        if (n > m_left)
            return false;
        std::memcpy(out, m_data, size_t(n));
        m_data += n;
        m_left -= n;
        return true;
    }

    const char* m_data;
    qsizetype m_left;
};

// As FileInfo reads itself: a code byte, and unless it is 0 the name, the size and the
// attributes (extension, then counted pairs).
bool SkipFileRecord(ListWalker& in)
{
    quint8 code = 0;
    if (!in.U8(code))
        return false;
    if (code == 0)
        return true;
    const char* text = nullptr;
    qsizetype kept = 0;
    quint32 pairs = 0;
    return in.String(&text, &kept) && in.Skip(8) && in.String(&text, &kept) && in.Count(pairs) &&
           in.Skip(qsizetype(pairs) * 8);
}

quint32 PathParts(const char* path, qsizetype length)
{
    quint32 parts = 1;
    for (qsizetype k = 0; k < length; ++k)
        parts += (path[k] == '\\' || path[k] == '/') ? 1 : 0;
    return parts;
}

} // namespace

ShareListCheck CheckShareList(const char* data, qsizetype size)
{
    ListWalker in(data, size);
    quint32 folders = 0;
    if (!in.U32(folders))
        return ShareListCheck::Malformed;
    if (folders > kMaxShareListFolders)
        return ShareListCheck::TooManyFolders;
    quint64 entries = 0;
    quint64 pathBytes = 0;
    for (quint32 f = 0; f < folders; ++f) {
        const char* path = nullptr;
        qsizetype length = 0;
        quint32 files = 0;
        if (!in.String(&path, &length))
            return ShareListCheck::Malformed;
        if (length > qsizetype(kMaxShareListPathLength))
            return ShareListCheck::PathTooLong;
        if (PathParts(path, length) > kMaxShareListDepth)
            return ShareListCheck::TooDeep;
        pathBytes += quint64(length);
        if (pathBytes > kMaxShareListFolderPathBytes)
            return ShareListCheck::PathsTooLong;
        if (!in.Count(files))
            return ShareListCheck::Malformed;
        // Counted before the records are read: a list over the cap is refused at the count.
        entries += 1 + quint64(files);
        if (entries > kMaxShareListEntries)
            return ShareListCheck::TooManyEntries;
        for (quint32 k = 0; k < files; ++k) {
            if (!SkipFileRecord(in))
                return ShareListCheck::Malformed;
        }
    }
    return ShareListCheck::Ok;
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

namespace {

// Fails every read once the flag is set, looked at every few thousand reads.
class CancellableInput final : public InputStream
{
public:
    CancellableInput(const QByteArray& bytes, const std::atomic<bool>* cancel)
        : m_in(bytes), m_cancel(cancel)
    {
    }
    bool ReadBuffer(void* dest, unsigned long length) override
    {
        constexpr unsigned kEvery = 4096;
        if (m_cancel && ++m_reads % kEvery == 0 && m_cancel->load(std::memory_order_relaxed))
            m_cancelled = true;
        return !m_cancelled && m_in.ReadBuffer(dest, length);
    }

private:
    BytesInputStream m_in;
    const std::atomic<bool>* m_cancel;
    unsigned m_reads = 0;
    bool m_cancelled = false;
};

} // namespace

ShareListRead ReadShareList(const char* data, qsizetype size, qsizetype cap,
                            const std::atomic<bool>* cancel)
{
    ShareListRead read;
    QByteArray body;
    read.inflated = ZInflate(data, size, cap, &body);
    if (read.inflated != ZInflateResult::Ok)
        return read;
    read.listBytes = body.size();
    // Weighed before a single record is made of it.
    read.check = CheckShareList(body.constData(), body.size());
    if (read.check != ShareListCheck::Ok)
        return read;
    CancellableInput in(body, cancel);
    auto folders = std::make_shared<FileInfoMap>();
    if (!in.Read(*folders)) {
        read.check = ShareListCheck::Malformed;
        return read;
    }
    if (!in.Read(read.attributes))
        read.attributes.clear();
    read.folders = std::move(folders);
    return read;
}

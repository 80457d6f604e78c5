#pragma once

// Peer messages after the first frame: a u32 code, then the code's fields. The codes are named
// here; what each one carries, who builds it and how it is read is the table at the top of
// PeerCodec.cpp. The bodies of codes 5, 9 and 37 are one zlib stream (after the code) each,
// made and read by the pair of functions below.

#include "store/Stream.h"

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <string>

class MemStream;

enum PeerMessageCode : quint32
{
    PM_SAY = 1,
    PM_GET_SHARED_FILE_LIST = 4,
    PM_SHARED_FILE_LIST = 5,
    PM_FILE_SEARCH_REQUEST = 8,
    PM_FILE_SEARCH_RESULT = 9,
    PM_INVITE_USER_TO_ROOM = 10,
    PM_CANCELLED_QUEUED_TRANSFER = 14,
    PM_USER_INFO_REQUEST = 15,
    PM_USER_INFO_REPLY = 16,
    PM_SEND_CONNECT_TOKEN = 33,
    PM_MOVE_DOWNLOAD_TO_TOP = 34,
    PM_GET_SHARED_FILES_IN_FOLDER = 36,
    PM_SHARED_FILES_IN_FOLDER = 37,
    PM_TRANSFER_REQUEST = 40,
    PM_TRANSFER_RESPONSE = 41,
    PM_PLACEHOLD_UPLOAD = 42,
    PM_QUEUE_UPLOAD = 43,
    PM_UPLOAD_PLACE_IN_LINE = 44,
    PM_UPLOAD_FAILED = 46,
    PM_EXACT_FILE_SEARCH_REQUEST = 47,
    PM_QUEUED_DOWNLOADS = 48,
    PM_INDIRECT_FILE_SEARCH_REQUEST = 49,
    PM_UPLOAD_DENIED = 50,
    PM_UPLOAD_PLACE_IN_LINE_REQUEST = 51,
    PM_NOTHING = 52,
};

// The most a compressed body may inflate to. A frame holds at most 10 MiB, and zlib can blow
// that up a thousandfold, so the output is capped before it is allocated: a share list (code 5)
// of a very large share still fits, a search reply (code 9) holds at most a few hundred files.
constexpr qsizetype kMaxShareListBytes = qsizetype(256) * 1024 * 1024;
constexpr qsizetype kMaxSearchReplyBytes = qsizetype(16) * 1024 * 1024;

// What one received share list (code 5) may hold, checked on its inflated bytes before anything
// is made of them: a list a few megabytes long can name millions of files, or nest folders so
// deep that their paths alone take gigabytes. Every folder and file read counts towards the
// entries; a folder's depth is the number of parts its path has between separators.
constexpr quint32 kMaxShareListEntries = 1500000;
constexpr quint32 kMaxShareListFolders = kMaxStreamElementCount;
constexpr quint32 kMaxShareListDepth = 1024;
constexpr quint32 kMaxShareListPathLength = 32 * 1024;
// The folder paths of one list together: each is kept in the store as the peer wrote it, and
// a list of a few thousand paths near kMaxShareListPathLength would otherwise hold hundreds of
// megabytes while it is built and shown. A real share at kMaxShareListFolders, with paths of
// 256 bytes on average, fits.
constexpr quint64 kMaxShareListFolderPathBytes = quint64(32) * 1024 * 1024;

enum class ShareListCheck
{
    Ok,
    Malformed,      // a field that does not read, as the folder map's reader would find it
    TooManyEntries, // more folders and files than kMaxShareListEntries
    TooManyFolders, // more folders than kMaxShareListFolders
    PathsTooLong,   // folder paths of more than kMaxShareListFolderPathBytes in all
    TooDeep,        // a folder path of more than kMaxShareListDepth parts
    PathTooLong,    // a folder path longer than kMaxShareListPathLength
};

enum class ZInflateResult
{
    Ok,
    Corrupt,  // not a zlib stream, damaged, or cut short
    TooLarge, // would inflate past the cap
    NoMemory, // the output could not be allocated
};

// Inflates one zlib stream (bytes after its end are ignored) into *out, whose buffer grows with
// the output and never past cap bytes.
ZInflateResult ZInflate(const char* data, qsizetype size, qsizetype cap, QByteArray* out);

// The zlib stream compress2 makes at level 9, written into a buffer of the bound zlib gives for
// the size (never 2n + 12); false (and *out empty) when zlib reports a failure or *cancel was
// set, which is looked at about every megabyte of input. Safe on any thread.
bool ZCompress(const char* data, qsizetype size, QByteArray* out,
               const std::atomic<bool>* cancel = nullptr);

// A compressed message: the u32 code, then the compressed body, with no length of its own (the
// frame carries the message's length). False when compressing failed; *message is then empty.
bool ZMessage(quint32 code, const char* body, qsizetype size, MemStream* message);

// Reads fields from bytes held elsewhere (an inflated body) without copying them.
class BytesInputStream final : public InputStream
{
public:
    BytesInputStream(const char* data, qsizetype size) : m_data(data), m_left(size) {}
    explicit BytesInputStream(const QByteArray& bytes)
        : BytesInputStream(bytes.constData(), bytes.size())
    {
    }

    bool ReadBuffer(void* dest, unsigned long length) override;
    qsizetype Left() const { return m_left; }

private:
    const char* m_data;
    qsizetype m_left;
};

// Appends fields to a byte array (a body that goes to a compressor).
class BytesOutputStream final : public OutputStream
{
public:
    explicit BytesOutputStream(QByteArray* out) : m_out(out) {}

    bool WriteBuffer(const void* src, unsigned long length) override
    {
        m_out->append(static_cast<const char*>(src), qsizetype(length));
        return true;
    }

private:
    QByteArray* m_out;
};

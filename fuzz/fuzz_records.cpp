// The byte-stream reads and the shared records, as every received message uses them: strings,
// the containers at their count limit, FileInfo lists and sets, share maps, AttributeMap,
// UserStats. The input is a sequence of (selector byte, encoded value) read from one MemStream,
// so one input exercises several decoders one after another, each starting wherever the
// previous one stopped, as happens inside a message.
//
// Checked for every value that reads successfully: writing it and reading it back gives a value
// that writes the very same bytes, and the reader consumed it all. Checked for every read: the
// indices stay inside the data, and no single allocation exceeds what the read's limits allow.

#include "FuzzSupport.h"

#include "store/FileInfo.h"
#include "store/MemStream.h"
#include "store/TCPAddress.h"
#include "store/UserStats.h"

#include <cstring>
#include <list>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// A string read allocates its length plus a terminator; an AttributeMap's pairs live in one
// vector, as do the elements of a vector read.
constexpr size_t kStringCap = size_t(kMaxStreamStringLength) + 1;
using Attribute = std::pair<qint32, qint32>;
constexpr size_t kAttributeCap = size_t(kMaxStreamElementCount) * sizeof(Attribute);
constexpr size_t kRecordCap = kAttributeCap > kStringCap ? kAttributeCap : kStringCap;
constexpr size_t kFileVectorCap = size_t(kMaxStreamElementCount) * sizeof(FileInfo);
// List, set and map nodes and small records: nothing sized by the data.
constexpr size_t kSmallCap = 1024;

bool SameBytes(const MemStream& a, const MemStream& b)
{
    return a.GetBufferLength() == b.GetBufferLength() &&
           std::memcmp(a.GetBuffer(), b.GetBuffer(), size_t(a.GetBufferLength())) == 0;
}

template <class T> void CheckRoundTrip(const T& value)
{
    MemStream first;
    FUZZ_CHECK(first.Write(value));
    T again{};
    FUZZ_CHECK(first.Read(again));
    FUZZ_CHECK(first.GetPendingReadLength() == 0);
    MemStream second;
    FUZZ_CHECK(second.Write(again));
    FUZZ_CHECK(SameBytes(first, second));
}

template <class T> void ReadOne(MemStream& in, size_t cap, const char* what)
{
    const int before = in.GetReadIndex();
    T value{};
    bool ok = false;
    {
        AllocationWatch watch(cap, what);
        ok = in.Read(value);
    }
    FUZZ_CHECK(in.GetReadIndex() >= before);
    FUZZ_CHECK(in.GetReadIndex() <= in.GetWriteIndex());
    if (ok)
        CheckRoundTrip(value);
}

// The 16-bit reads have no writer (nothing sends them): read only.
template <class T> void ReadScalar(MemStream& in)
{
    const int before = in.GetReadIndex();
    T value{};
    const bool ok = in.Read(value);
    FUZZ_CHECK(in.GetReadIndex() == before + (ok ? int(sizeof(T)) : 0));
}

// The container count limit on both sides, through the count reader every container uses.
void ReadCount(MemStream& in)
{
    const int before = in.GetReadIndex();
    quint32 count = 0;
    if (in.ReadCount(count))
        FUZZ_CHECK(count <= kMaxStreamElementCount && in.GetReadIndex() == before + 4);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemStream in;
    // Fed in growing pieces, so the buffer's growth (copying what is already there) is part of
    // every run rather than one big first write.
    size_t fed = 0;
    for (size_t piece = 1; fed < size; ++piece) {
        const size_t n = std::min(piece, size - fed);
        FUZZ_CHECK(in.WriteBuffer(data + fed, n));
        fed += n;
    }
    FUZZ_CHECK(in.GetWriteIndex() == int(size));
    FUZZ_CHECK(in.GetBufferSize() > in.GetWriteIndex());

    while (in.GetPendingReadLength() > 0) {
        quint8 selector = 0;
        FUZZ_CHECK(in.Read(selector));
        switch (selector % 24) {
        case 0:
            ReadOne<FileInfo>(in, kRecordCap, "FileInfo");
            break;
        case 1:
            ReadOne<AttributeMap>(in, kRecordCap, "AttributeMap");
            break;
        case 2:
            ReadOne<UserStats>(in, kSmallCap, "UserStats");
            break;
        case 3:
            ReadOne<std::string>(in, kStringCap, "string");
            break;
        case 4:
            ReadOne<std::list<FileInfo>>(in, kRecordCap, "list<FileInfo>");
            break;
        case 5:
            ReadOne<std::set<FileInfo>>(in, kRecordCap, "set<FileInfo>");
            break;
        case 6:
            ReadOne<std::vector<FileInfo>>(in, kFileVectorCap, "vector<FileInfo>");
            break;
        case 7:
            ReadOne<FileInfoMap>(in, kRecordCap, "FileInfoMap");
            break;
        case 8:
            ReadOne<AttributeTranslationTable>(in, kStringCap, "AttributeTranslationTable");
            break;
        case 9:
            ReadOne<std::list<UserStats>>(in, kSmallCap, "list<UserStats>");
            break;
        case 10:
            ReadOne<std::list<std::pair<std::string, TCPAddress>>>(in, kStringCap,
                                                                   "list<(string, TCPAddress)>");
            break;
        case 11:
            ReadOne<std::list<std::pair<std::string, qint32>>>(in, kStringCap,
                                                               "list<(string, int)>");
            break;
        case 12:
            ReadOne<std::list<std::string>>(in, kStringCap, "list<string>");
            break;
        case 13:
            ReadOne<std::set<std::string>>(in, kStringCap, "set<string>");
            break;
        case 14:
            ReadOne<std::list<qint32>>(in, kSmallCap, "list<int>");
            break;
        case 15:
            ReadOne<std::pair<qint32, qint32>>(in, kSmallCap, "(int, int)");
            break;
        case 16:
            ReadOne<TCPAddress>(in, kSmallCap, "TCPAddress");
            break;
        case 17:
            ReadOne<bool>(in, kSmallCap, "bool");
            break;
        case 18:
            ReadOne<quint32>(in, kSmallCap, "u32");
            break;
        case 19:
            ReadOne<qint64>(in, kSmallCap, "i64");
            break;
        case 20:
            ReadScalar<qint16>(in);
            break;
        case 21:
            ReadScalar<quint16>(in);
            break;
        case 22:
            ReadCount(in);
            break;
        default:
            ReadOne<quint8>(in, kSmallCap, "u8");
            break;
        }
    }
    return 0;
}

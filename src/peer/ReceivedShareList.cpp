#include "peer/ReceivedShareList.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

// The folder map's fields, read the way InputStream reads them, with nothing kept.
class ListWalker
{
public:
    ListWalker(const char* data, qsizetype size) : m_data(data), m_left(size) {}

    const char* At() const { return m_data; }
    bool U8(quint8& v) { return Take(&v, 1); }
    bool U32(quint32& v)
    {
        if (m_left < 4)
            return false;
        v = qFromLittleEndian<quint32>(m_data);
        return Skip(4);
    }
    bool I64(qint64& v)
    {
        if (m_left < 8)
            return false;
        v = qFromLittleEndian<qint64>(m_data);
        return Skip(8);
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
// attributes (extension, then counted pairs). file, when given, is what was read.
bool ReadFileRecord(ListWalker& in, ShareListFile* file)
{
    quint8 code = 0;
    if (!in.U8(code))
        return false;
    if (code == 0)
        return true;
    const char* name = nullptr;
    qsizetype nameLength = 0;
    qint64 size = 0;
    const char* extension = nullptr;
    qsizetype extensionLength = 0;
    quint32 pairs = 0;
    if (!in.String(&name, &nameLength) || !in.I64(size) ||
        !in.String(&extension, &extensionLength) || !in.Count(pairs))
        return false;
    const char* attributes = in.At();
    if (!in.Skip(qsizetype(pairs) * 8))
        return false;
    if (file) {
        file->name = std::string_view(name, size_t(nameLength));
        file->size = size;
        file->extension = std::string_view(extension, size_t(extensionLength));
        file->attributes = attributes;
        file->attributeCount = pairs;
    }
    return true;
}

quint32 PathParts(const char* path, qsizetype length)
{
    quint32 parts = 1;
    for (qsizetype k = 0; k < length; ++k)
        parts += (path[k] == '\\' || path[k] == '/') ? 1 : 0;
    return parts;
}

ShareListCheck Walk(const char* data, qsizetype size, bool capped,
                    std::vector<ShareListFolder>* index, qsizetype* mapEnd,
                    const std::atomic<bool>* cancel)
{
    constexpr quint32 kCancelEvery = 4096;
    ListWalker in(data, size);
    quint32 folders = 0;
    if (!in.U32(folders))
        return ShareListCheck::Malformed;
    if (capped && folders > kMaxShareListFolders)
        return ShareListCheck::TooManyFolders;
    if (!capped && folders > kMaxStreamElementCount)
        return ShareListCheck::Malformed;
    if (index) {
        index->clear();
        index->reserve(folders);
    }
    quint64 entries = 0;
    quint64 pathBytes = 0;
    for (quint32 f = 0; f < folders; ++f) {
        if (cancel && f % kCancelEvery == 0 && cancel->load(std::memory_order_relaxed))
            return ShareListCheck::Malformed;
        const char* path = nullptr;
        qsizetype length = 0;
        quint32 files = 0;
        if (!in.String(&path, &length))
            return ShareListCheck::Malformed;
        if (capped && length > qsizetype(kMaxShareListPathLength))
            return ShareListCheck::PathTooLong;
        if (capped && PathParts(path, length) > kMaxShareListDepth)
            return ShareListCheck::TooDeep;
        pathBytes += quint64(length);
        if (capped && pathBytes > kMaxShareListFolderPathBytes)
            return ShareListCheck::PathsTooLong;
        if (!in.Count(files))
            return ShareListCheck::Malformed;
        // Counted before the records are read: a list over the cap is refused at the count.
        entries += 1 + quint64(files);
        if (capped && entries > kMaxShareListEntries)
            return ShareListCheck::TooManyEntries;
        if (index)
            index->push_back({path - data, quint32(length), files, in.At() - data});
        for (quint32 k = 0; k < files; ++k) {
            if (!ReadFileRecord(in, nullptr))
                return ShareListCheck::Malformed;
        }
    }
    if (mapEnd)
        *mapEnd = in.At() - data;
    if (index) {
        // Map order; a path given again replaces the one before, as the map's reader has it.
        const auto path = [data](const ShareListFolder& f) {
            return std::string_view(data + f.path, f.pathLength);
        };
        std::stable_sort(index->begin(), index->end(),
                         [&](const auto& a, const auto& b) { return path(a) < path(b); });
        auto kept = index->begin();
        for (auto at = index->begin(); at != index->end(); ++at) {
            const auto next = std::next(at);
            if (next == index->end() || path(*next) != path(*at))
                *kept++ = *at;
        }
        index->erase(kept, index->end());
    }
    return ShareListCheck::Ok;
}

} // namespace

qint32 ShareListFile::AttributeCode(quint32 k) const
{
    return qFromLittleEndian<qint32>(attributes + 8 * size_t(k));
}

qint32 ShareListFile::AttributeValue(quint32 k) const
{
    return qFromLittleEndian<qint32>(attributes + 8 * size_t(k) + 4);
}

ReceivedShareList::ReceivedShareList(QByteArray bytes, std::vector<ShareListFolder> folders,
                                     qsizetype mapEnd)
    : m_bytes(std::move(bytes)), m_folders(std::move(folders)), m_mapEnd(mapEnd)
{
}

std::shared_ptr<ReceivedShareList> ReceivedShareList::FromMap(const FileInfoMap& map)
{
    QByteArray bytes;
    BytesOutputStream out(&bytes);
    out.Write(map);
    out.Write(AttributeTranslationTable());
    std::vector<ShareListFolder> folders;
    qsizetype mapEnd = 0;
    if (Walk(bytes.constData(), bytes.size(), false, &folders, &mapEnd, nullptr) !=
        ShareListCheck::Ok)
        folders.clear();
    return std::make_shared<ReceivedShareList>(std::move(bytes), std::move(folders), mapEnd);
}

void ReceivedShareList::ReadFiles(const ShareListFolder& folder,
                                  std::vector<ShareListFile>& files) const
{
    files.clear();
    files.reserve(folder.files);
    ListWalker in(m_bytes.constData() + folder.records, m_bytes.size() - folder.records);
    for (quint32 k = 0; k < folder.files; ++k) {
        // A record with code 0 is an empty one.
        ShareListFile file;
        if (!ReadFileRecord(in, &file))
            break;
        files.push_back(file);
    }
    // As a set keeps them: by name, then size, the first of two equal ones.
    const auto less = [](const ShareListFile& a, const ShareListFile& b) {
        return a.name != b.name ? a.name < b.name : a.size < b.size;
    };
    std::stable_sort(files.begin(), files.end(), less);
    const auto equal = [](const ShareListFile& a, const ShareListFile& b) {
        return a.name == b.name && a.size == b.size;
    };
    files.erase(std::unique(files.begin(), files.end(), equal), files.end());
}

AttributeTranslationTable ReceivedShareList::Attributes() const
{
    AttributeTranslationTable attributes;
    BytesInputStream in(m_bytes.constData() + m_mapEnd, m_bytes.size() - m_mapEnd);
    if (!in.Read(attributes))
        attributes.clear();
    return attributes;
}

FileInfoMap ReceivedShareList::ToMap() const
{
    FileInfoMap map;
    std::vector<ShareListFile> files;
    for (const ShareListFolder& folder : m_folders) {
        ReadFiles(folder, files);
        std::set<FileInfo>& set = map[std::string(Path(folder))];
        for (const ShareListFile& file : files) {
            AttributeMap::AttributeList pairs;
            for (quint32 k = 0; k < file.attributeCount; ++k)
                pairs.emplace_back(file.AttributeCode(k), file.AttributeValue(k));
            set.emplace_hint(set.end(), std::string(file.name), file.size,
                             AttributeMap(std::string(file.extension), std::move(pairs)));
        }
    }
    return map;
}

ShareListCheck CheckShareList(const char* data, qsizetype size,
                              std::vector<ShareListFolder>* folders, qsizetype* mapEnd,
                              const std::atomic<bool>* cancel)
{
    return Walk(data, size, true, folders, mapEnd, cancel);
}

ShareListRead ReadShareList(const char* data, qsizetype size, qsizetype cap,
                            const std::atomic<bool>* cancel)
{
    ShareListRead read;
    QByteArray body;
    read.inflated = ZInflate(data, size, cap, &body);
    if (read.inflated != ZInflateResult::Ok)
        return read;
    // Weighed before a single record is made of it.
    std::vector<ShareListFolder> folders;
    qsizetype mapEnd = 0;
    read.check = CheckShareList(body.constData(), body.size(), &folders, &mapEnd, cancel);
    if (read.check == ShareListCheck::Ok)
        read.list =
            std::make_shared<ReceivedShareList>(std::move(body), std::move(folders), mapEnd);
    return read;
}

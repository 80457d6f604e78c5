#pragma once

// A share list received from another user (the inflated body of a code 5 message), weighed and
// read without being copied into a folder map: a list of a million files is tens of megabytes of
// bytes, and several times that as a FileInfoMap of strings, sets and vectors. The bytes are
// kept as they came, with an index of their folders; a folder's files are read from them when
// the folder's turn comes. Each reads as InputStream would read the folder map: folders in
// map order (byte-wise by path; of a path given twice, the later), files in set order (by name,
// then size; of a name and size given twice, the first), texts up to their first NUL, a file
// record with code 0 an empty one.

#include "peer/PeerMessages.h"
#include "store/FileInfo.h"

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <string_view>
#include <vector>

// One folder of a list: where its path and its first file record are in the list's bytes.
struct ShareListFolder
{
    qsizetype path = 0;
    quint32 pathLength = 0;
    quint32 files = 0;
    qsizetype records = 0;
};

// One file of a folder, pointing into the list's bytes: attributeCount (code, value) pairs of
// little-endian 32-bit numbers start at attributes.
struct ShareListFile
{
    std::string_view name;
    qint64 size = 0;
    std::string_view extension;
    const char* attributes = nullptr;
    quint32 attributeCount = 0;

    qint32 AttributeCode(quint32 k) const;
    qint32 AttributeValue(quint32 k) const;
};

class ReceivedShareList
{
public:
    // The bytes of a list that CheckShareList found Ok, and what it found.
    ReceivedShareList(QByteArray bytes, std::vector<ShareListFolder> folders, qsizetype mapEnd);
    // A folder map as a peer would send it, read back.
    static std::shared_ptr<ReceivedShareList> FromMap(const FileInfoMap& folders);

    const QByteArray& Bytes() const { return m_bytes; }
    // The folders in map order.
    const std::vector<ShareListFolder>& Folders() const { return m_folders; }
    std::string_view Path(const ShareListFolder& folder) const
    {
        return std::string_view(m_bytes.constData() + folder.path, folder.pathLength);
    }
    // The folder's files in set order, in place of what files held.
    void ReadFiles(const ShareListFolder& folder, std::vector<ShareListFile>& files) const;
    // The attribute names after the folder map; empty when they do not read.
    AttributeTranslationTable Attributes() const;
    // The whole list as InputStream reads it.
    FileInfoMap ToMap() const;

private:
    QByteArray m_bytes;
    std::vector<ShareListFolder> m_folders;
    qsizetype m_mapEnd = 0;
};

// Walks the folder map at the start of an inflated share-list body, allocating nothing unless
// asked for its folders; the attribute table after it is not looked at. Ok means the map reads,
// within every cap; then *folders (when given) holds its folders in map order, and *mapEnd
// where the map ends. A set *cancel is looked at every few thousand folders and ends the walk
// as Malformed.
ShareListCheck CheckShareList(const char* data, qsizetype size,
                              std::vector<ShareListFolder>* folders = nullptr,
                              qsizetype* mapEnd = nullptr,
                              const std::atomic<bool>* cancel = nullptr);

// A share list's body (the compressed bytes after the code), read as far as it goes: inflated
// within cap and weighed with CheckShareList. list is set only when both went well. Safe on any
// thread.
struct ShareListRead
{
    ZInflateResult inflated = ZInflateResult::Corrupt;
    ShareListCheck check = ShareListCheck::Malformed;
    std::shared_ptr<const ReceivedShareList> list;
};
ShareListRead ReadShareList(const char* data, qsizetype size, qsizetype cap,
                            const std::atomic<bool>* cancel = nullptr);

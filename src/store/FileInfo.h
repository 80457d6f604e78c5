#pragma once

#include "store/Stream.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// A shared file's attributes as share lists and search replies carry them: the extension, then
// (code, value) pairs in the order they were added; codes may repeat.
class AttributeMap final : public Persistent
{
public:
    enum Code : qint32
    {
        Bitrate = 0,
        LengthSeconds = 1,
        VariableBitrate = 2
    };
    using AttributeList = std::vector<std::pair<qint32, qint32>>;

    AttributeMap() = default;
    explicit AttributeMap(std::string ext, AttributeList list = {})
        : extension(std::move(ext)), attributes(std::move(list))
    {
    }

    bool Read(InputStream& stream) override;
    bool Write(OutputStream& stream) const override;

    bool operator==(const AttributeMap& other) const
    {
        return extension == other.extension && attributes == other.attributes;
    }
    bool operator!=(const AttributeMap& other) const { return !(*this == other); }

    std::string extension;
    AttributeList attributes;
};

// One shared file: its name (a bare file name in share lists and folder listings, the full
// backslash-separated path in search replies), its size and its attributes.
class FileInfo final : public Persistent
{
public:
    FileInfo() = default;
    FileInfo(std::string fileName, qint64 fileSize, AttributeMap attrs = {})
        : name(std::move(fileName)), size(fileSize), attributes(std::move(attrs))
    {
    }

    // A code byte of 0 stands for an empty record: nothing more is read and the record is left
    // as it is. Any other code is followed by the name, the size and the attributes.
    bool Read(InputStream& stream) override;
    // Always with code 1.
    bool Write(OutputStream& stream) const override;

    // By name (byte-wise), then size. Attributes take no part: in a set, the first of two
    // records with one name and size wins.
    bool operator<(const FileInfo& other) const
    {
        if (name != other.name)
            return name < other.name;
        return size < other.size;
    }

    std::string name;
    qint64 size = 0;
    AttributeMap attributes;
};

// A user's shares: folder path (backslash-separated, as peers send it) to the files in it.
using FileInfoMap = std::map<std::string, std::set<FileInfo>>;
// Attribute code to the text that names it.
using AttributeTranslationTable = std::map<qint32, std::string>;

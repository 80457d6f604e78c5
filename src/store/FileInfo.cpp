#include "store/FileInfo.h"

bool AttributeMap::Read(InputStream& stream)
{
    if (!stream.Read(extension))
        return false;
    attributes.clear();
    quint32 count = 0;
    if (!stream.ReadCount(count))
        return false;
    for (quint32 i = 0; i < count; ++i) {
        qint32 code = 0;
        qint32 value = 0;
        if (!stream.Read(code) || !stream.Read(value))
            return false;
        attributes.emplace_back(code, value);
    }
    return true;
}

bool AttributeMap::Write(OutputStream& stream) const
{
    if (!stream.Write(extension) || !stream.Write(static_cast<quint32>(attributes.size())))
        return false;
    for (const auto& [code, value] : attributes) {
        if (!stream.Write(code) || !stream.Write(value))
            return false;
    }
    return true;
}

bool FileInfo::Read(InputStream& stream)
{
    quint8 code = 0;
    if (!stream.Read(code))
        return false;
    if (code == 0)
        return true;
    return stream.Read(name) && stream.Read(size) && attributes.Read(stream);
}

bool FileInfo::Write(OutputStream& stream) const
{
    return stream.Write(quint8(1)) && stream.Write(name) && stream.Write(size) &&
           attributes.Write(stream);
}

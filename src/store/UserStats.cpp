#include "store/UserStats.h"

bool UserStats::Read(InputStream& stream)
{
    return stream.Read(averageSpeed) && stream.Read(secondCount) && stream.Read(sharedFileCount) &&
           stream.Read(fourthCount);
}

bool UserStats::Write(OutputStream& stream) const
{
    return stream.Write(averageSpeed) && stream.Write(secondCount) &&
           stream.Write(sharedFileCount) && stream.Write(fourthCount);
}

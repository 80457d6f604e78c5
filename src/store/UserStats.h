#pragma once

#include "store/Stream.h"

// A user's statistics as the server sends them (20 bytes on the wire).
class UserStats final : public Persistent
{
public:
    UserStats() = default;
    UserStats(qint32 speed, qint64 second, qint32 files, qint32 fourth)
        : averageSpeed(speed), secondCount(second), sharedFileCount(files), fourthCount(fourth)
    {
    }

    bool Read(InputStream& stream) override;
    bool Write(OutputStream& stream) const override;

    bool operator==(const UserStats& other) const
    {
        return averageSpeed == other.averageSpeed && secondCount == other.secondCount &&
               sharedFileCount == other.sharedFileCount && fourthCount == other.fourthCount;
    }
    bool operator!=(const UserStats& other) const { return !(*this == other); }

    qint32 averageSpeed = 0;
    // Carried but not interpreted.
    qint64 secondCount = 0;
    qint32 sharedFileCount = 0;
    // Carried but not interpreted.
    qint32 fourthCount = 0;
};

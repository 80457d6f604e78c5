#pragma once

// Audio details of shared MP3 files, worked out on a thread of its own. The scan decodes no
// frame and follows no frame chain: it counts every position that looks like an MPEG audio
// Layer III frame header, takes the majority of each header field, and derives the bitrate and
// the constant-or-variable verdict from the headers that agree with that majority.

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstddef>
#include <string>

class QIODevice;

// What a scan found. frequency is the sampling-rate index of the header (0 to 2), not hertz;
// bitrate is in kbit/s, the mean of the agreeing headers when the rate varies.
struct MP3Details
{
    int version = 0;
    std::string mode;
    int frequency = 0;
    bool variable = false;
    int bitrate = -1;
};

// The header counts of one file, fed chunk by chunk in file order. A header is looked for
// within a chunk only, and only where at least one byte follows it in that chunk. Counts are
// kept per kind of header rather than per header, so the memory used does not grow with the
// file, and they are 64-bit, so no file is large enough to wrap them.
class MP3HeaderTally
{
public:
    void AddChunk(const unsigned char* data, size_t length);
    // False when the headers give no result: none at all, mostly MPEG 2.5, or none that is a
    // Layer III header with a usable bitrate and agrees with the majority.
    bool Result(MP3Details& out) const;

private:
    // Index of the version: MPEG 1, 2, 2.5.
    enum
    {
        kVersions = 3,
        kRates = 3,
        kModes = 4,
        kBitrateIndices = 16
    };
    static size_t KindIndex(int version, int protection, int rate, int mode, int bitrateIndex)
    {
        size_t i = size_t(version) * 2 + size_t(protection);
        i = i * kRates + size_t(rate);
        i = i * kModes + size_t(mode);
        return i * kBitrateIndices + size_t(bitrateIndex);
    }
    void Examine(unsigned char b1, unsigned char b2, unsigned char b3);

    std::array<quint64, kVersions> m_versionVotes{};
    std::array<quint64, 2> m_protectionVotes{};
    std::array<quint64, kRates> m_rateVotes{};
    std::array<quint64, kModes> m_modeVotes{};
    std::array<quint64, kVersions * 2 * kRates * kModes * kBitrateIndices> m_headers{};
};

class MP3Scanner : public QObject
{
    Q_OBJECT

public:
    // Files are read in chunks of this size.
    static constexpr qint64 kChunkSize = 65536;

    MP3Scanner();

    // Asks the scan in progress, and every later one, to stop before its next chunk. Safe from
    // any thread.
    void Quit();

    // path: the file's path as its bytes. True when a result was found; bitrate is -1 otherwise.
    bool ScanMP3(const std::string& path, int& version, std::string& mode, int& frequency,
                 bool& variable, int& bitrate);

    // The scan of an open device holding size bytes: what ScanMP3 does once the file is open.
    // A read that fails ends the scan without a result; a short read ends the file.
    bool ScanDevice(QIODevice& device, qint64 size, MP3Details& out);

public Q_SLOTS:
    // path: a text whose characters are the bytes of the path, one per byte.
    void OnMP3ScanRequired(const QString& path);
    // The same for each path in turn; those left when Quit is called are dropped. Requests
    // come a list at a time: one crossing between threads per file cost the GUI thread more
    // than the rest of a file's scan there.
    void OnMP3ScansRequired(const QStringList& paths);

Q_SIGNALS:
    // Only for a file that gave a result; path is the text the request carried.
    void MP3Scanned(const QString& path, int version, const QString& mode, int frequency,
                    bool variable, int bitrate);

private:
    bool QuitRequested();

    bool m_quit = false;
    QMutex m_quitMutex;
};

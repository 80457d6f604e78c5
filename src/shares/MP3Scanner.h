#pragma once

// Audio details of shared MP3 files, worked out on a worker thread. The scan decodes no
// frame and follows no frame chain: it counts every position that looks like an MPEG audio
// Layer III frame header, takes the majority of each header field, and derives the bitrate and
// the constant-or-variable verdict from the headers that agree with that majority.

#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

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

// Reads the files; used from one thread at a time (the manager's worker), Quit from any.
class MP3Scanner
{
public:
    // Files are read in chunks of this size.
    static constexpr qint64 kChunkSize = 65536;

    MP3Scanner() = default;
    MP3Scanner(const MP3Scanner&) = delete;
    MP3Scanner& operator=(const MP3Scanner&) = delete;

    // Asks the scan in progress, and every later one, to stop before its next chunk. Safe from
    // any thread.
    void Quit();

    // path: the file's path as its bytes. True when a result was found; bitrate is -1 otherwise.
    bool ScanMP3(const std::string& path, int& version, std::string& mode, int& frequency,
                 bool& variable, int& bitrate);

    // The scan of an open device holding size bytes: what ScanMP3 does once the file is open.
    // A read that fails ends the scan without a result; a short read ends the file.
    bool ScanDevice(QIODevice& device, qint64 size, MP3Details& out);

    // Each path in turn (a text whose characters are the bytes of the path, one per byte), with
    // the details of those that gave a result; those left when Quit is called or stop is set are
    // dropped.
    struct Scanned
    {
        QString path;
        MP3Details details;
    };
    std::vector<Scanned> ScanMP3s(const QStringList& paths, const std::atomic<bool>& stop);

private:
    bool QuitRequested() const { return m_quit.load(std::memory_order_relaxed); }

    std::atomic<bool> m_quit{false};
};

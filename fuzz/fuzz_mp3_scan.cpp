// The MP3 header scan over a shared file's bytes, which anyone who can put a file in a shared
// folder controls. Input: a u16 little-endian chunk size less one (1 to 65,536), then the
// file's bytes.
//
// Checked: the header tally, fed the file in chunks of that size, gives the verdict of the
// plain algorithm written out below (every candidate header kept in a list, a histogram by
// bitrate); the tally allocates nothing, however many headers the file holds; and a whole scan
// of the bytes as a device, in the scanner's own chunks, agrees with the plain algorithm too.

#include "FuzzSupport.h"

#include "shares/MP3Scanner.h"

#include <QBuffer>
#include <QByteArray>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Candidate
{
    int version; // 1, 2 or 25 (MPEG 2.5)
    int protection;
    int rate;
    int mode;
    int bitrateIndex;
};

const int kMpeg1Layer3[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
const int kMpeg2Layer3[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

bool PlainScan(const uint8_t* data, size_t size, size_t chunk, MP3Details& out)
{
    if (size == 0)
        return false;
    long long v1 = 0, v2 = 0, v25 = 0;
    long long protectionVotes[2] = {0, 0};
    long long rateVotes[3] = {0, 0, 0};
    long long modeVotes[4] = {0, 0, 0, 0};
    std::vector<Candidate> list;

    for (size_t start = 0; start < size; start += chunk) {
        const size_t length = std::min(chunk, size - start);
        const uint8_t* c = data + start;
        for (size_t j = 0; j + 4 < length; ++j) {
            const int b0 = c[j], b1 = c[j + 1], b2 = c[j + 2], b3 = c[j + 3];
            if (b0 != 0xFF || (b1 & 0xE0) != 0xE0)
                continue;
            Candidate k{};
            const int versionBits = (b1 >> 3) & 3;
            if (versionBits == 3) {
                k.version = 1;
                ++v1;
            } else if (versionBits == 2) {
                k.version = 2;
                ++v2;
            } else if (versionBits == 0) {
                k.version = 25;
                ++v25;
            } else {
                continue;
            }
            if (((b1 >> 1) & 3) != 1)
                continue;
            k.protection = b1 & 1;
            ++protectionVotes[k.protection];
            k.rate = (b2 >> 2) & 3;
            if (k.rate == 3)
                continue;
            ++rateVotes[k.rate];
            k.mode = (b3 >> 6) & 3;
            ++modeVotes[k.mode];
            k.bitrateIndex = (b2 >> 4) & 15;
            if (k.bitrateIndex == 0 || k.bitrateIndex == 15)
                continue;
            list.push_back(k);
        }
    }

    const int version = v1 > v2 ? 1 : 2;
    if (v25 >= (version == 1 ? v1 : v2))
        return false;
    const int protection = protectionVotes[1] > protectionVotes[0] ? 1 : 0;
    int rate = rateVotes[0] > rateVotes[1] ? 0 : 1;
    if (rateVotes[2] >= rateVotes[rate])
        rate = 2;
    int mode = modeVotes[0] > modeVotes[1] ? 0 : 1;
    if (modeVotes[2] >= modeVotes[mode])
        mode = 2;
    if (modeVotes[3] >= modeVotes[mode])
        mode = 3;
    if (list.empty())
        return false;

    std::vector<long long> histogram(321, 0);
    unsigned long long sum = 0;
    long long frames = 0;
    for (const Candidate& k : list) {
        if (k.version != version || k.protection != protection || k.mode != mode ||
            k.rate != rate)
            continue;
        const int kbps = version == 1 ? kMpeg1Layer3[k.bitrateIndex] : kMpeg2Layer3[k.bitrateIndex];
        ++histogram[size_t(kbps)];
        sum += unsigned(kbps);
        ++frames;
    }
    if (frames == 0)
        return false;

    static const char* const names[4] = {"stereo", "joint stereo", "dual mono", "mono"};
    out.version = version;
    out.mode = names[mode];
    out.frequency = rate;
    out.bitrate = int(sum / (unsigned long long)frames);
    out.variable = true;
    for (int k = 1; k <= 320; ++k) {
        if (histogram[size_t(k)] * 100 / frames > 98) {
            out.variable = false;
            out.bitrate = k;
        }
    }
    return true;
}

bool Same(bool found, const MP3Details& a, bool expected, const MP3Details& b)
{
    if (found != expected)
        return false;
    return !found || (a.version == b.version && a.mode == b.mode &&
                      a.frequency == b.frequency && a.variable == b.variable &&
                      a.bitrate == b.bitrate);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t chunk = 1 + (size_t(data[0]) | size_t(data[1]) << 8);
    const uint8_t* file = data + 2;
    const size_t fileSize = size - 2;

    MP3HeaderTally tally;
    {
        // Counting allocates nothing: its memory does not grow with the headers found.
        AllocationWatch watch(0, "header tally");
        for (size_t start = 0; start < fileSize; start += chunk)
            tally.AddChunk(file + start, std::min(chunk, fileSize - start));
    }
    MP3Details got;
    const bool found = tally.Result(got);
    MP3Details expected;
    const bool plain = PlainScan(file, fileSize, chunk, expected);
    FUZZ_CHECK(Same(found, got, plain, expected));

    // The same bytes as a file the scanner reads itself.
    QByteArray bytes(reinterpret_cast<const char*>(file), qsizetype(fileSize));
    QBuffer device(&bytes);
    device.open(QIODevice::ReadOnly);
    MP3Scanner scanner;
    MP3Details scanned;
    const bool scanFound = scanner.ScanDevice(device, qint64(fileSize), scanned);
    MP3Details whole;
    const bool wholePlain = PlainScan(file, fileSize, size_t(MP3Scanner::kChunkSize), whole);
    FUZZ_CHECK(Same(scanFound, scanned, wholePlain, whole));
    return 0;
}

#include "shares/MP3Scanner.h"

#include <QByteArray>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Layer III bitrates in kbit/s by bitrate index: the MPEG-1 row, and the row MPEG 2 uses at
// its lower sampling rates. Indices 0 (free format) and 15 (invalid) are never looked up.
constexpr int kLayer3Bitrates[2][16] = {
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};

const char* const kModeNames[4] = {"stereo", "joint stereo", "dual mono", "mono"};

// A kind of header holding at least this share of the agreeing headers, in whole percent
// rounded down, makes the file constant-bitrate.
constexpr quint64 kConstantPercent = 99;

} // namespace

void MP3HeaderTally::AddChunk(const unsigned char* data, size_t length)
{
    if (length < 5)
        return;
    // Positions before end have their four header bytes and one more inside the chunk.
    const size_t end = length - 4;
    size_t j = 0;
#if defined(__SSE2__)
    // Thirty-two positions at a time. Most blocks of audio data hold no 0xFF byte and are passed
    // over whole; in the others only a 0xFF followed by a byte with its top three bits set is
    // examined, which is rare outside real headers. The byte-by-byte loop takes the rest.
    const __m128i ff = _mm_set1_epi8(char(0xFF));
    const __m128i top3 = _mm_set1_epi8(char(0xE0));
    const auto load = [data](size_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    };
    for (; j + 32 <= end; j += 32) {
        const __m128i lowFF = _mm_cmpeq_epi8(load(j), ff);
        const __m128i highFF = _mm_cmpeq_epi8(load(j + 16), ff);
        if (!_mm_movemask_epi8(_mm_or_si128(lowFF, highFF)))
            continue;
        const __m128i lowNext = _mm_and_si128(load(j + 1), top3);
        const __m128i highNext = _mm_and_si128(load(j + 17), top3);
        unsigned mask =
            unsigned(_mm_movemask_epi8(_mm_and_si128(lowFF, _mm_cmpeq_epi8(lowNext, top3)))) |
            unsigned(_mm_movemask_epi8(_mm_and_si128(highFF, _mm_cmpeq_epi8(highNext, top3))))
                << 16;
        for (; mask; mask &= mask - 1) {
            const size_t at = j + size_t(__builtin_ctz(mask));
            Examine(data[at + 1], data[at + 2], data[at + 3]);
        }
    }
#endif
    for (; j < end; ++j) {
        if (data[j] == 0xFF)
            Examine(data[j + 1], data[j + 2], data[j + 3]);
    }
}

void MP3HeaderTally::Examine(unsigned char b1, unsigned char b2, unsigned char b3)
{
    if ((b1 & 0xE0) != 0xE0)
        return;
    int version = 0;
    switch ((b1 >> 3) & 3) {
    case 3:
        version = 0;
        break;
    case 2:
        version = 1;
        break;
    case 0:
        version = 2;
        break;
    default:
        return; // reserved
    }
    ++m_versionVotes[size_t(version)];
    // Only Layer III headers go on; the votes cast so far stay counted.
    if (((b1 >> 1) & 3) != 1)
        return;
    const int protection = b1 & 1;
    ++m_protectionVotes[size_t(protection)];
    const int rate = (b2 >> 2) & 3;
    if (rate == 3) // reserved
        return;
    ++m_rateVotes[size_t(rate)];
    const int mode = b3 >> 6;
    ++m_modeVotes[size_t(mode)];
    const int bitrateIndex = b2 >> 4;
    if (bitrateIndex == 0 || bitrateIndex == 15)
        return;
    ++m_headers[KindIndex(version, protection, rate, mode, bitrateIndex)];
}

bool MP3HeaderTally::Result(MP3Details& out) const
{
    // Ties go to the later candidate: MPEG 2 over 1, and 2.5 wins (giving no result) on a tie.
    const int version = m_versionVotes[0] > m_versionVotes[1] ? 0 : 1;
    if (m_versionVotes[2] >= m_versionVotes[size_t(version)])
        return false;
    const int protection = m_protectionVotes[1] > m_protectionVotes[0] ? 1 : 0;
    int rate = m_rateVotes[0] > m_rateVotes[1] ? 0 : 1;
    if (m_rateVotes[2] >= m_rateVotes[size_t(rate)])
        rate = 2;
    int mode = m_modeVotes[0] > m_modeVotes[1] ? 0 : 1;
    if (m_modeVotes[2] >= m_modeVotes[size_t(mode)])
        mode = 2;
    if (m_modeVotes[3] >= m_modeVotes[size_t(mode)])
        mode = 3;

    quint64 frames = 0;
    quint64 sum = 0;
    for (int index = 1; index < 15; ++index) {
        const quint64 n = m_headers[KindIndex(version, protection, rate, mode, index)];
        frames += n;
        sum += n * quint64(kLayer3Bitrates[version][index]);
    }
    if (frames == 0)
        return false;

    out.version = version + 1;
    out.mode = kModeNames[mode];
    out.frequency = rate;
    out.variable = true;
    out.bitrate = int(sum / frames);
    // The bitrates of a row rise with the index, so this visits them in increasing order.
    for (int index = 1; index < 15; ++index) {
        const quint64 n = m_headers[KindIndex(version, protection, rate, mode, index)];
        if (n * 100 / frames >= kConstantPercent) {
            out.variable = false;
            out.bitrate = kLayer3Bitrates[version][index];
        }
    }
    return true;
}

void MP3Scanner::Quit()
{
    m_quit = true;
}

bool MP3Scanner::ScanMP3(const std::string& path, int& version, std::string& mode, int& frequency,
                         bool& variable, int& bitrate)
{
    bitrate = -1;
    // Opened without waiting, and read only when it is a regular file: opening a pipe would
    // block until a writer came, holding the thread and, with it, shutdown. Opened by its bytes
    // as the scan listed them: a name that is not UTF-8 (an old Latin-1 copy) would not survive
    // a trip through text.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    QFile file;
    // Unbuffered: each chunk goes from the file straight into the scan's buffer.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    MP3Details found;
    if (!ScanDevice(file, file.size(), found))
        return false;
    version = found.version;
    mode = found.mode;
    frequency = found.frequency;
    variable = found.variable;
    bitrate = found.bitrate;
    return true;
}

bool MP3Scanner::ScanDevice(QIODevice& device, qint64 size, MP3Details& out)
{
    // An empty file, or one whose size cannot be told, has nothing to read.
    if (size <= 0)
        return false;
    std::vector<unsigned char> buffer(static_cast<size_t>(kChunkSize));
    MP3HeaderTally tally;
    for (qint64 left = size; left > 0;) {
        // Checked before every chunk, so shutdown waits for one chunk at most, not a whole file.
        if (QuitRequested())
            return false;
        const qint64 wanted = std::min(kChunkSize, left);
        const qint64 got = device.read(reinterpret_cast<char*>(buffer.data()), wanted);
        if (got < 0)
            return false;
        // Only the bytes read: the rest of the buffer still holds the previous chunk.
        tally.AddChunk(buffer.data(), size_t(got));
        // A short read means the file shrank while it was read: what is left is gone.
        if (got < wanted)
            break;
        left -= got;
    }
    return tally.Result(out);
}

std::vector<MP3Scanner::Scanned> MP3Scanner::ScanMP3s(const QStringList& paths,
                                                      const std::atomic<bool>& stop)
{
    std::vector<Scanned> results;
    for (const QString& path : paths) {
        if (QuitRequested() || stop.load(std::memory_order_relaxed))
            break;
        Scanned r{path, MP3Details()};
        if (ScanMP3(path.toLatin1().toStdString(), r.details.version, r.details.mode,
                    r.details.frequency, r.details.variable, r.details.bitrate))
            results.push_back(std::move(r));
    }
    return results;
}

// Throughput of the MP3 header scan on a 100 MB file (one encoded file repeated), against a
// plain sequential read of the same file in 64 KiB chunks, both from a warm cache, in the same
// run. Target: the scan runs at least at half the speed of the plain read. Needs lame.

#include "shares/MP3Scanner.h"
#include "support/EncodedAudio.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

constexpr qint64 kFileSize = 100 * 1000 * 1000;
constexpr int kRounds = 5;
constexpr double kTargetRatio = 0.5;

double MBps(qint64 bytes, qint64 nsecs)
{
    return nsecs > 0 ? double(bytes) * 1000.0 / double(nsecs) : 0.0;
}

volatile unsigned g_sink = 0;

// The baseline: every byte read once, in the chunks the scanner reads, touching one byte of
// each so the read cannot be skipped.
bool PlainRead(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    std::vector<char> buffer(size_t(MP3Scanner::kChunkSize));
    qint64 n = 0;
    while ((n = f.read(buffer.data(), MP3Scanner::kChunkSize)) > 0)
        g_sink = g_sink + unsigned(buffer[size_t(n - 1)]);
    return n == 0;
}

} // namespace

int main()
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const QString wav = dir.filePath("signal.wav");
    const QString mp3 = dir.filePath("signal.mp3");
    if (!EncodedAudio::WriteWav(wav, 44100, 2, 10)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(wav));
        return 1;
    }
    const QString error = EncodedAudio::Encode(wav, mp3, {"-V", "2"});
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    QFile encoded(mp3);
    if (!encoded.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(mp3));
        return 1;
    }
    const QByteArray one = encoded.readAll();
    const QString big = dir.filePath("big.mp3");
    {
        QFile out(big);
        if (!out.open(QIODevice::WriteOnly) || one.isEmpty()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(big));
            return 1;
        }
        for (qint64 written = 0; written < kFileSize;) {
            const qint64 n = std::min<qint64>(one.size(), kFileSize - written);
            if (out.write(one.constData(), n) != n) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(big));
                return 1;
            }
            written += n;
        }
    }

    // Warms the cache for both.
    if (!PlainRead(big)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(big));
        return 1;
    }

    MP3Scanner scanner;
    qint64 bestRead = std::numeric_limits<qint64>::max();
    qint64 bestScan = std::numeric_limits<qint64>::max();
    int version = 0, frequency = 0, bitrate = -1;
    bool variable = false;
    std::string mode;
    bool found = false;
    QElapsedTimer t;
    for (int round = 0; round < kRounds; ++round) {
        t.start();
        PlainRead(big);
        bestRead = std::min(bestRead, t.nsecsElapsed());
        t.start();
        found = scanner.ScanMP3(QFile::encodeName(big).toStdString(), version, mode, frequency,
                                variable, bitrate);
        bestScan = std::min(bestScan, t.nsecsElapsed());
    }

    const double readSpeed = MBps(kFileSize, bestRead);
    const double scanSpeed = MBps(kFileSize, bestScan);
    const double ratio = readSpeed > 0 ? scanSpeed / readSpeed : 0.0;
    std::printf("file: %lld bytes (a %lld-byte lame -V 2 file repeated), best of %d rounds\n",
                qlonglong(kFileSize), qlonglong(one.size()), kRounds);
    std::printf("baseline, plain read in 64 KiB chunks: %9.1f MB/s\n", readSpeed);
    std::printf("ScanMP3:                               %9.1f MB/s\n", scanSpeed);
    std::printf("ratio: %.2f (target at least %.2f) %s\n", ratio, kTargetRatio,
                ratio >= kTargetRatio ? "ok" : "BELOW TARGET");
    if (found)
        std::printf("result: %d, %s, %d, %s, %d\n", version, mode.c_str(), frequency,
                    variable ? "vbr" : "cbr", bitrate);
    else
        std::printf("result: none (UNEXPECTED)\n");
    return g_sink == 0xffffffffu ? 1 : 0;
}

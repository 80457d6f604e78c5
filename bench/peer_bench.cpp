// Throughput of the peer framing: scrambling and descrambling of 10 MiB frames, and framing and
// reading back many small messages. Prints MB/s (10^6 bytes per second), each beside a baseline
// measured in the same run: copying the same bytes in the same pieces, which the work must do at
// the least. Target: scrambling and descrambling at least 1000 MB/s, so that they never limit a
// transfer; the small frames have none. Nothing is asserted.

#include "peer/PeerFraming.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

double MBps(qint64 bytes, qint64 nsecs)
{
    return nsecs > 0 ? double(bytes) * 1000.0 / double(nsecs) : 0.0;
}

// Keeps the optimiser from dropping work whose result is otherwise unused.
volatile unsigned g_sink = 0;

constexpr double kTargetMBps = 1000;

// Nanoseconds to copy the bytes into a new array of their size, rounds times: what any pass that
// makes a scrambled or descrambled copy costs at the least.
qint64 CopyNs(const QByteArray& bytes, int rounds)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < rounds; ++i) {
        QByteArray copy(bytes.size(), Qt::Uninitialized);
        std::memcpy(copy.data(), bytes.constData(), size_t(bytes.size()));
        g_sink = g_sink + quint8(copy.at(i));
    }
    return t.nsecsElapsed();
}

void PrintFrames(const char* what, qint64 bytes, qint64 ns, qint64 copyNs)
{
    const double measured = MBps(bytes, ns);
    const double baseline = MBps(bytes, copyNs);
    std::printf("%s %9.1f MB/s; copying the same bytes %9.1f MB/s, %.2f times its speed; target "
                "at least %.0f MB/s: %s\n",
                what, measured, baseline, baseline > 0 ? measured / baseline : 0.0, kTargetMBps,
                measured >= kTargetMBps ? "met" : "MISSED");
}

} // namespace

int main()
{
    const qsizetype frameSize = kMaxPeerFrameLength;
    const int rounds = 50;

    QByteArray body(frameSize, Qt::Uninitialized);
    QRandomGenerator gen(42);
    gen.fillRange(reinterpret_cast<quint32*>(body.data()), body.size() / 4);
    const QByteArray frame = BuildFrame(body);

    QElapsedTimer t;
    t.start();
    for (int i = 0; i < rounds; ++i) {
        const QByteArray wire = Obfuscate(frame, 0x9e3779b9u + quint32(i));
        g_sink = g_sink + quint8(wire.at(i));
    }
    const qint64 scrambleNs = t.nsecsElapsed();

    const QByteArray wire = Obfuscate(frame, 0x12345678u);
    const quint32 key = BitRotateLeft(0x12345678u);
    t.restart();
    for (int i = 0; i < rounds; ++i) {
        const QByteArray plain = Deobfuscate(wire.constData() + 8, wire.size() - 8, key);
        g_sink = g_sink + quint8(plain.at(i));
    }
    const qint64 descrambleNs = t.nsecsElapsed();

    // In place, the way the frame reader descrambles a received body.
    QByteArray inPlace = wire.mid(8);
    t.restart();
    for (int i = 0; i < rounds; ++i)
        ScrambleBytes(inPlace.constData(), inPlace.data(), inPlace.size(), key + quint32(i));
    const qint64 inPlaceNs = t.nsecsElapsed();
    g_sink = g_sink + quint8(inPlace.at(0));

    const qint64 copyNs = CopyNs(frame, rounds);
    const qint64 bytes = qint64(rounds) * frameSize;
    PrintFrames("scramble   10 MiB frames:", bytes, scrambleNs, copyNs);
    PrintFrames("descramble 10 MiB frames:", bytes, descrambleNs, copyNs);
    PrintFrames("descramble in place:     ", bytes, inPlaceNs, copyNs);

    // Many small messages: build each frame (plain and scrambled), then read them all back.
    const int messages = 500000;
    const QByteArray small(40, 'm');
    for (bool scrambled : {false, true}) {
        QByteArray stream;
        stream.reserve(qsizetype(messages) * (small.size() + 8));
        t.restart();
        for (int i = 0; i < messages; ++i) {
            const QByteArray f = BuildFrame(small);
            stream += scrambled ? Obfuscate(f, quint32(i) * 2654435761u) : f;
        }
        const qint64 buildNs = t.nsecsElapsed();

        QBuffer dev(&stream);
        dev.open(QIODevice::ReadOnly);
        SocketBufferInfo st;
        st.m_isObfuscated = scrambled;
        QByteArray got;
        quint32 token = 0;
        bool activity = false;
        int count = 0;
        t.restart();
        while (ReadFrame(dev, st, &got, &token, &activity) == FrameEvent::Frame)
            ++count;
        const qint64 readNs = t.nsecsElapsed();

        // The baselines: the stream put together from copies of one frame, and taken apart into
        // a copy of each body, in the same pieces.
        const qsizetype frameBytes = stream.size() / messages;
        const QByteArray one = stream.left(frameBytes);
        QByteArray copied;
        copied.reserve(stream.size());
        t.restart();
        for (int i = 0; i < messages; ++i)
            copied += one;
        const qint64 appendNs = t.nsecsElapsed();
        t.restart();
        for (int i = 0; i < messages; ++i) {
            const QByteArray body(stream.constData() + qsizetype(i) * frameBytes + 4,
                                  frameBytes - 4);
            g_sink = g_sink + quint8(body.at(0));
        }
        const qint64 splitNs = t.nsecsElapsed();

        std::printf("%s small frames (%d x %lld B): build %8.1f MB/s (appending copies %.1f MB/s, "
                    "%.2f times its speed), read %8.1f MB/s (copying the bodies out %.1f MB/s, "
                    "%.2f times its speed); no target%s\n",
                    scrambled ? "scrambled" : "plain    ", messages, qlonglong(small.size()),
                    MBps(stream.size(), buildNs), MBps(stream.size(), appendNs),
                    double(appendNs) / double(std::max<qint64>(1, buildNs)),
                    MBps(stream.size(), readNs), MBps(stream.size(), splitNs),
                    double(splitNs) / double(std::max<qint64>(1, readNs)),
                    count == messages ? "" : "  (COUNT MISMATCH)");
    }
    return g_sink == 0xffffffffu ? 1 : 0;
}

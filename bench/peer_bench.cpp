// Throughput of the peer framing: scrambling and descrambling of 10 MiB frames, and framing and
// reading back many small messages. Prints MB/s (10^6 bytes per second); nothing is asserted.

#include "peer/PeerFraming.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstdio>

namespace {

double MBps(qint64 bytes, qint64 nsecs)
{
    return nsecs > 0 ? double(bytes) * 1000.0 / double(nsecs) : 0.0;
}

// Keeps the optimiser from dropping work whose result is otherwise unused.
volatile unsigned g_sink = 0;

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

    std::printf("scramble   10 MiB frames: %9.1f MB/s\n",
                MBps(qint64(rounds) * frameSize, scrambleNs));
    std::printf("descramble 10 MiB frames: %9.1f MB/s\n",
                MBps(qint64(rounds) * frameSize, descrambleNs));
    std::printf("descramble in place:      %9.1f MB/s\n",
                MBps(qint64(rounds) * frameSize, inPlaceNs));

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

        std::printf("%s small frames (%d x %lld B): build %8.1f MB/s, read %8.1f MB/s%s\n",
                    scrambled ? "scrambled" : "plain    ", messages, qlonglong(small.size()),
                    MBps(stream.size(), buildNs), MBps(stream.size(), readNs),
                    count == messages ? "" : "  (COUNT MISMATCH)");
    }
    return g_sink == 0xffffffffu ? 1 : 0;
}

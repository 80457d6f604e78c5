#include "peer/PeerFraming.h"
#include "support/FakePeer.h"
#include "support/FeedDevice.h"

#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

namespace {

QByteArray Hex(const char* spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

// The scrambling written the slow, obvious way, byte by byte, to check the fast one against.
QByteArray ReferenceScramble(const QByteArray& in, quint32 key)
{
    QByteArray out = in;
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (i % 4 == 0)
            key = (key << 1) | (key >> 31);
        out[i] = char(quint8(in[i]) ^ quint8(key >> (8 * (i % 4))));
    }
    return out;
}

struct Read
{
    FrameEvent event;
    QByteArray body;
    quint32 token = 0;
    bool activity = false;
};

Read Next(QIODevice& dev, SocketBufferInfo& st)
{
    Read r;
    r.event = ReadFrame(dev, st, &r.body, &r.token, &r.activity);
    return r;
}

QByteArray LengthField(quint32 n)
{
    QByteArray b(4, Qt::Uninitialized);
    qToLittleEndian(n, b.data());
    return b;
}

} // namespace

class tst_Framing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rotate();
    void scrambleVectors_data();
    void scrambleVectors();
    void scrambleMatchesReference_data();
    void scrambleMatchesReference();
    void firstFrameBytes();
    void fakePeerAgrees();
    void parseFirstFrame_data();
    void parseFirstFrame();
    void lengthLimit_data();
    void lengthLimit();
    void scrambledHeaderNeedsEightBytes();
    void framesInOneSegmentAndInPieces_data();
    void framesInOneSegmentAndInPieces();
    void bufferGrowsWithArrivingBytes();
    void activityEveryStep();
    void fileTokenIsRaw_data();
    void fileTokenIsRaw();
};

void tst_Framing::rotate()
{
    QCOMPARE(BitRotateLeft(0x80000000u), 1u);
    QCOMPARE(BitRotateLeft(0x12345678u), 0x2468acf0u);
    quint32 k = 0xdeadbeef;
    for (int i = 0; i < 32; ++i)
        k = BitRotateLeft(k);
    QCOMPARE(k, 0xdeadbeefu);
}

void tst_Framing::scrambleVectors_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<quint32>("key");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("code 4") << Hex("04000000 04000000") << 0x12345678u
                            << Hex("78563412 f4ac6824 e459d148");
    QTest::newRow("short last group")
        << Hex("05000000 0102030405") << 0x80000001u << Hex("01000080 06000000 07020304 09");
}

void tst_Framing::scrambleVectors()
{
    QFETCH(QByteArray, frame);
    QFETCH(quint32, key);
    QFETCH(QByteArray, wire);
    QCOMPARE(Obfuscate(frame, key).toHex(), wire.toHex());

    // The receiver rotates the clear key once for the length, then descrambles the body.
    const quint32 k = BitRotateLeft(qFromLittleEndian<quint32>(wire.constData()));
    QCOMPARE(Deobfuscate(wire.mid(8), k).toHex(), frame.mid(4).toHex());

    FeedDevice dev;
    dev.Feed(wire);
    SocketBufferInfo st;
    st.m_isObfuscated = true;
    const Read r = Next(dev, st);
    QCOMPARE(r.event, FrameEvent::Frame);
    QCOMPARE(r.body.toHex(), frame.mid(4).toHex());
}

void tst_Framing::scrambleMatchesReference_data()
{
    QTest::addColumn<int>("size");
    for (int size : {0, 1, 3, 4, 5, 127, 128, 129, 255, 256, 1000, 4099, 65537})
        QTest::newRow(QByteArray::number(size).constData()) << size;
}

void tst_Framing::scrambleMatchesReference()
{
    QFETCH(int, size);
    QRandomGenerator gen(quint32(size) * 7919u + 1);
    QByteArray data(size, Qt::Uninitialized);
    for (char& c : data)
        c = char(gen.bounded(256));
    const quint32 key = gen.generate();
    const QByteArray wire = Obfuscate(data, key);
    QCOMPARE(wire.size(), size + 4);
    QCOMPARE(qFromLittleEndian<quint32>(wire.constData()), key);
    QVERIFY(wire.mid(4) == ReferenceScramble(data, key));
    QVERIFY(Deobfuscate(wire.mid(4), key) == data);
}

void tst_Framing::firstFrameBytes()
{
    QCOMPARE(BuildFrame(InitFrameBody("bob", "P")).toHex(),
             Hex("11000000 01 03000000 626f62 01000000 50 00000000").toHex());
    QCOMPARE(BuildFrame(PierceFrameBody(0x01020304)).toHex(), Hex("05000000 00 04030201").toHex());
}

void tst_Framing::fakePeerAgrees()
{
    // The fake peer has an encoder of its own; both must produce the same bytes.
    const QByteArray body = Hex("0102030405060708090a0b");
    QCOMPARE(FakePeer::Frame(body), BuildFrame(body));
    QCOMPARE(FakePeer::ScrambledFrame(body, 0xa5a5f00f), Obfuscate(BuildFrame(body), 0xa5a5f00f));
    QCOMPARE(FakePeer::InitBody("someone", "D"), InitFrameBody("someone", "D"));
    QCOMPARE(FakePeer::PierceBody(77), PierceFrameBody(77));
}

void tst_Framing::parseFirstFrame_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("directionRead");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<quint32>("token");

    const int bad = FirstFrame::Bad, init = FirstFrame::Init, pierce = FirstFrame::Pierce;
    QTest::newRow("init") << Hex("01 03000000 626f62 01000000 46 00000000") << init << true
                          << QByteArray("bob") << QByteArray("F") << 0u;
    QTest::newRow("any non-zero direction is init")
        << Hex("07 01000000 61 01000000 44 00000000") << init << true << QByteArray("a")
        << QByteArray("D") << 0u;
    QTest::newRow("name cut at NUL") << Hex("01 05000000 616263 00 64 01000000 50 00000000") << init
                                     << true << QByteArray("abc") << QByteArray("P") << 0u;
    QTest::newRow("pierce") << Hex("00 78563412") << pierce << true << QByteArray() << QByteArray()
                            << 0x12345678u;
    QTest::newRow("empty") << QByteArray() << bad << false << QByteArray() << QByteArray() << 0u;
    QTest::newRow("pierce without token")
        << Hex("00 7856") << bad << true << QByteArray() << QByteArray() << 0u;
    QTest::newRow("init without reserved")
        << Hex("01 01000000 61 01000000 50") << bad << true << QByteArray() << QByteArray() << 0u;
    QTest::newRow("name length beyond body")
        << Hex("01 ff000000 61") << bad << true << QByteArray() << QByteArray() << 0u;
}

void tst_Framing::parseFirstFrame()
{
    QFETCH(QByteArray, body);
    QFETCH(int, kind);
    QFETCH(bool, directionRead);
    const FirstFrame f = ParseFirstFrame(body);
    QCOMPARE(int(f.kind), kind);
    QCOMPARE(f.directionRead, directionRead);
    if (kind == FirstFrame::Init) {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, type);
        QCOMPARE(QByteArray::fromStdString(f.user), user);
        QCOMPARE(QByteArray::fromStdString(f.type), type);
    }
    if (kind == FirstFrame::Pierce) {
        QFETCH(quint32, token);
        QCOMPARE(f.token, token);
    }

    // A user name above the string limit fails the handshake even when the bytes are there.
    QByteArray huge =
        Hex("01") + LengthField(131073) + QByteArray(131073, 'x') + Hex("01000000 50 00000000");
    QCOMPARE(int(ParseFirstFrame(huge).kind), int(FirstFrame::Bad));
    QByteArray limit =
        Hex("01") + LengthField(131072) + QByteArray(131072, 'x') + Hex("01000000 50 00000000");
    QCOMPARE(int(ParseFirstFrame(limit).kind), int(FirstFrame::Init));
}

void tst_Framing::lengthLimit_data()
{
    QTest::addColumn<bool>("scrambled");
    QTest::addColumn<quint32>("length");
    QTest::addColumn<quint32>("code");
    QTest::addColumn<bool>("asked"); // a share list was asked of the sender
    QTest::addColumn<bool>("accepted");
    const quint32 peer = kMaxPeerFrameLength;
    const quint32 list = kMaxShareListFrameLength;
    for (bool scrambled : {false, true}) {
        const auto row = [scrambled](const char* name, quint32 length, quint32 code, bool asked,
                                     bool accepted) {
            QTest::newRow(qPrintable((scrambled ? "scrambled " : "plain ") + QString(name)))
                << scrambled << length << code << asked << accepted;
        };
        row("at limit", peer, 4, false, true);
        row("one above", peer + 1, 4, false, false);
        row("top bit", 0xffffffffu, 5, true, false);
        row("asked list one above", peer + 1, 5, true, true);
        row("asked list at its limit", list, 5, true, true);
        row("asked list one above its limit", list + 1, 5, true, false);
        row("unasked list one above", peer + 1, 5, false, false);
        row("another code from an asked user", peer + 1, 4, true, false);
    }
}

void tst_Framing::lengthLimit()
{
    QFETCH(bool, scrambled);
    QFETCH(quint32, length);
    QFETCH(quint32, code);
    QFETCH(bool, asked);
    QFETCH(bool, accepted);

    // The header, the code and a few bytes more, as the peer would send them.
    const quint32 key = 0x5a5a1234;
    QByteArray codeBytes(4, Qt::Uninitialized);
    qToLittleEndian(code, codeBytes.data());
    QByteArray wire = LengthField(length) + codeBytes + QByteArray(100, 'z');
    if (scrambled)
        wire = Obfuscate(wire, key);
    FeedDevice dev;
    SocketBufferInfo st;
    st.m_isObfuscated = scrambled;
    const auto next = [&] {
        Read r;
        r.event = ReadFrame(dev, st, &r.body, &r.token, &r.activity, asked);
        return r;
    };
    const qsizetype header = scrambled ? 8 : 4;
    dev.Feed(wire.left(header));
    Read r = next();
    // Past every code's limit the header alone is enough; below it, the code decides.
    if (length > kMaxShareListFrameLength) {
        QCOMPARE(r.event, FrameEvent::TooLong);
        return;
    }
    QCOMPARE(r.event, FrameEvent::NeedMore);
    QCOMPARE(st.m_length, length);
    dev.Feed(wire.mid(header));
    r = next();
    if (!accepted) {
        QCOMPARE(r.event, FrameEvent::TooLong);
        // Refused on its code, with nothing of the frame taken past it.
        QCOMPARE(dev.Left(), 100);
        return;
    }
    QCOMPARE(r.event, FrameEvent::NeedMore);
    QCOMPARE(dev.Left(), 0);
    QCOMPARE(st.m_buffer.size(), 104);
    QCOMPARE(qFromLittleEndian<quint32>(st.m_buffer.constData()),
             scrambled ? qFromLittleEndian<quint32>(wire.constData() + 8) : code);
    if (length > kMaxPeerFrameLength + 1)
        return;
    // The rest of the body: the frame comes out whole, its code descrambled.
    const QByteArray full = LengthField(length) + codeBytes + QByteArray(100, 'z') +
                            QByteArray(qsizetype(length) - 104, 'y');
    dev.Feed((scrambled ? Obfuscate(full, key) : full).mid(header + 104));
    r = next();
    QCOMPARE(r.event, FrameEvent::Frame);
    QCOMPARE(r.body.size(), qsizetype(length));
    QCOMPARE(qFromLittleEndian<quint32>(r.body.constData()), code);
}

void tst_Framing::scrambledHeaderNeedsEightBytes()
{
    const QByteArray wire = Obfuscate(BuildFrame(Hex("04000000")), 0x12345678);
    FeedDevice dev;
    SocketBufferInfo st;
    st.m_isObfuscated = true;
    dev.Feed(wire.left(7));
    QCOMPARE(Next(dev, st).event, FrameEvent::NeedMore);
    QCOMPARE(dev.Left(), 7);
    QVERIFY(!st.m_headerRead);

    dev.Feed(wire.mid(7, 1));
    QCOMPARE(Next(dev, st).event, FrameEvent::NeedMore);
    QCOMPARE(dev.Left(), 0);
    QVERIFY(st.m_headerRead);
    QCOMPARE(st.m_length, 4u);

    dev.Feed(wire.mid(8));
    const Read r = Next(dev, st);
    QCOMPARE(r.event, FrameEvent::Frame);
    QCOMPARE(r.body.toHex(), QByteArray("04000000"));
}

void tst_Framing::framesInOneSegmentAndInPieces_data()
{
    QTest::addColumn<bool>("scrambled");
    QTest::addColumn<int>("piece");
    for (bool scrambled : {false, true}) {
        for (int piece : {0, 1, 3, 7}) {
            const QByteArray name =
                QByteArray(scrambled ? "scrambled" : "plain") +
                (piece ? " pieces of " + QByteArray::number(piece) : QByteArray(" one segment"));
            QTest::newRow(name.constData()) << scrambled << piece;
        }
    }
}

void tst_Framing::framesInOneSegmentAndInPieces()
{
    QFETCH(bool, scrambled);
    QFETCH(int, piece);
    const QList<QByteArray> bodies = {Hex("04000000"), QByteArray(), QByteArray(300, 'q'),
                                      Hex("0102030405")};
    QByteArray wire;
    quint32 key = 0x0badf00d;
    for (const QByteArray& b : bodies) {
        const QByteArray frame = BuildFrame(b);
        wire += scrambled ? Obfuscate(frame, key++) : frame;
    }

    FeedDevice dev;
    SocketBufferInfo st;
    st.m_isObfuscated = scrambled;
    QList<QByteArray> got;
    qsizetype pos = 0;
    do {
        const qsizetype n = piece ? piece : wire.size();
        dev.Feed(wire.mid(pos, n));
        pos += n;
        for (;;) {
            const Read r = Next(dev, st);
            QVERIFY(r.event != FrameEvent::TooLong);
            if (r.event == FrameEvent::NeedMore)
                break;
            got.append(r.body);
        }
    } while (pos < wire.size());
    QCOMPARE(got, bodies);
}

void tst_Framing::bufferGrowsWithArrivingBytes()
{
    FeedDevice dev;
    SocketBufferInfo st;
    dev.Feed(LengthField(kMaxPeerFrameLength) + QByteArray(10, 'a'));
    QCOMPARE(Next(dev, st).event, FrameEvent::NeedMore);
    QCOMPARE(st.m_buffer.size(), 10);
    // A peer announcing 10 MiB and sending ten bytes must not cost us 10 MiB.
    QVERIFY2(st.m_buffer.capacity() < 4096, QByteArray::number(st.m_buffer.capacity()).constData());
}

void tst_Framing::activityEveryStep()
{
    FeedDevice dev;
    SocketBufferInfo st;
    const quint32 length = 3 * kActivityStep;
    dev.Feed(LengthField(length) + QByteArray(kActivityStep - 1, 'a'));
    QVERIFY(!Next(dev, st).activity);
    dev.Feed(QByteArray(2, 'a'));
    QVERIFY(Next(dev, st).activity);
    dev.Feed(QByteArray(10, 'a'));
    QVERIFY(!Next(dev, st).activity);
    dev.Feed(QByteArray(length - kActivityStep - 11, 'a'));
    const Read r = Next(dev, st);
    QCOMPARE(r.event, FrameEvent::Frame);
    QVERIFY(r.activity);
}

void tst_Framing::fileTokenIsRaw_data()
{
    QTest::addColumn<bool>("scrambled");
    QTest::newRow("plain") << false;
    QTest::newRow("scrambled") << true;
}

void tst_Framing::fileTokenIsRaw()
{
    QFETCH(bool, scrambled);
    const QByteArray frame = BuildFrame(InitFrameBody("bob", "F"));
    FeedDevice dev;
    dev.Feed((scrambled ? Obfuscate(frame, 0x11223344) : frame) + Hex("efbeadde") + "data");
    SocketBufferInfo st;
    st.m_isObfuscated = scrambled;
    Read r = Next(dev, st);
    QCOMPARE(r.event, FrameEvent::Frame);
    QCOMPARE(int(ParseFirstFrame(r.body).kind), int(FirstFrame::Init));
    st.m_expectFileToken = true;
    r = Next(dev, st);
    QCOMPARE(r.event, FrameEvent::FileToken);
    QCOMPARE(r.token, 0xdeadbeefu);
    QVERIFY(!st.m_expectFileToken);
    QCOMPARE(dev.Left(), 4); // the file data stays for the transfer engine
}

QTEST_APPLESS_MAIN(tst_Framing)
#include "tst_framing.moc"

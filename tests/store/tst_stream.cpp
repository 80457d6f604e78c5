#include "store/MemStream.h"
#include "support/MemStreamBytes.h"

#include <QByteArray>
#include <QtTest>

#include <cstring>

class tst_Stream : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void growthOnExactFit();
    void growthKeepsReadBytes();
    void copiesShareOneBuffer();
    void shortReadConsumesNothing();
    void frameReaderSequence();
    void integerLayouts_data();
    void integerLayouts();
    void boolReadsAnyNonZeroAsTrue();
    void stringRoundTrip();
    void stringLengthLimit_data();
    void stringLengthLimit();
    void stringCutAtEmbeddedNul();
    void stringShortBodyLeavesTargetAlone();
    void containerCountLimit_data();
    void containerCountLimit();
    void containerCountAtLimitIsRead();
    void containerReadClearsTarget();
    void containerFailureKeepsElementsRead();
    void mapRepeatedKeyKeepsLater();
    void setDuplicateKeepsOne();
    void nestedPairsRoundTrip();
};

void tst_Stream::growthOnExactFit()
{
    MemStream full;
    QCOMPARE(full.GetBufferSize(), 256);
    QByteArray bytes(256, 'x');
    full.WriteBuffer(bytes.constData(), 256);
    QCOMPARE(full.GetBufferSize(), 512);
    QCOMPARE(full.GetBufferLength(), 256);

    MemStream almost;
    almost.WriteBuffer(bytes.constData(), 255);
    QCOMPARE(almost.GetBufferSize(), 256);
    // One more byte fills it exactly, which grows it.
    almost.WriteBuffer("y", 1);
    QCOMPARE(almost.GetBufferSize(), 512);
    QCOMPARE(Contents(almost), QByteArray(255, 'x') + 'y');

    // A big write doubles until the capacity is strictly above the contents.
    MemStream big;
    QByteArray many(1024, 'z');
    big.WriteBuffer(many.constData(), 1024);
    QCOMPARE(big.GetBufferSize(), 2048);
    QCOMPARE(Contents(big), many);
}

void tst_Stream::growthKeepsReadBytes()
{
    MemStream s = StreamOf("abcd");
    char two[2];
    QVERIFY(s.ReadBuffer(two, 2));
    QByteArray rest(300, 'q');
    s.WriteBuffer(rest.constData(), 300);
    // Never compacted: byte 0 is still the first byte ever written.
    QCOMPARE(QByteArray(s.GetBuffer(), 4), QByteArray("abcd"));
    QCOMPARE(s.GetPendingReadLength(), 302);
    QCOMPARE(QByteArray(s.GetReadBuffer(), 2), QByteArray("cd"));

    // A stream's own bytes written into it again, through a copy, across a growth.
    MemStream own = StreamOf(QByteArray(200, 'o') + "end");
    MemStream copy = own;
    copy.WriteBuffer(own.GetBuffer(), static_cast<unsigned long>(own.GetBufferLength()));
    QCOMPARE(own.GetBufferSize(), 512);
    QCOMPARE(Contents(own), (QByteArray(200, 'o') + "end").repeated(2));
    // And without growth.
    own.WriteBuffer(own.GetBuffer() + 200, 3);
    QCOMPARE(Contents(own).right(6), QByteArray("endend"));
}

void tst_Stream::copiesShareOneBuffer()
{
    MemStream a;
    MemStream b = a;
    QVERIFY(a.Write(quint32(7)));
    QVERIFY(b.Write(quint32(8)));
    QCOMPARE(a.GetBufferLength(), 8);
    QCOMPARE(b.GetBuffer(), a.GetBuffer());

    quint32 v = 0;
    QVERIFY(b.Read(v));
    QCOMPARE(v, 7u);
    // The read through b moved a's read position too.
    QCOMPARE(a.GetPendingReadLength(), 4);
    QVERIFY(a.Read(v));
    QCOMPARE(v, 8u);
    QCOMPARE(b.GetPendingReadLength(), 0);

    MemStream c;
    c = a;
    c.Reset();
    QCOMPARE(a.GetBufferLength(), 0);
    // Growth through one copy is seen by the others.
    QByteArray bytes(600, 'g');
    c.WriteBuffer(bytes.constData(), 600);
    QCOMPARE(a.GetBufferSize(), 1024);
    QCOMPARE(Contents(b), bytes);
}

void tst_Stream::shortReadConsumesNothing()
{
    MemStream s = StreamOf("abc");
    quint32 v = 0xdeadbeef;
    QVERIFY(!s.Read(v));
    QCOMPARE(v, 0xdeadbeefu);
    QCOMPARE(s.GetPendingReadLength(), 3);
    char three[3];
    QVERIFY(s.ReadBuffer(three, 3));
    QCOMPARE(QByteArray(three, 3), QByteArray("abc"));
    QVERIFY(!s.ReadBuffer(three, 1));
    QVERIFY(s.ReadBuffer(three, 0));
}

void tst_Stream::frameReaderSequence()
{
    MemStream s;
    s.Write(quint32(1));
    s.Reset();
    QCOMPARE(s.GetBufferLength(), 0);
    QCOMPARE(s.GetBufferSize(), 256);
    // Smaller requests keep the storage; larger ones replace it with exactly that size.
    s.EnsureBufferCapacity(100);
    QCOMPARE(s.GetBufferSize(), 256);
    s.EnsureBufferCapacity(1000);
    QCOMPARE(s.GetBufferSize(), 1000);

    const QByteArray body = U32(5) + U32(3) + "abc";
    std::memcpy(s.GetWriteBuffer(), body.constData(), 6);
    s.AdvanceWriteIndex(6);
    std::memcpy(s.GetWriteBuffer(), body.constData() + 6, static_cast<size_t>(body.size() - 6));
    s.AdvanceWriteIndex(static_cast<int>(body.size() - 6));
    QCOMPARE(s.GetWriteIndex(), static_cast<int>(body.size()));

    quint32 code = 0;
    std::string text;
    QVERIFY(s.Read(code));
    QVERIFY(s.Read(text));
    QCOMPARE(code, 5u);
    QCOMPARE(text, std::string("abc"));
    QCOMPARE(s.GetPendingReadLength(), 0);
}

void tst_Stream::integerLayouts_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("u8") << 0 << qint64(0xab) << QByteArray::fromHex("ab");
    QTest::newRow("i32 1") << 1 << qint64(1) << QByteArray::fromHex("01000000");
    QTest::newRow("i32 -2") << 1 << qint64(-2) << QByteArray::fromHex("feffffff");
    QTest::newRow("u32") << 2 << qint64(0x12345678) << QByteArray::fromHex("78563412");
    QTest::newRow("i64") << 3 << qint64(0x0102030405060708LL)
                         << QByteArray::fromHex("0807060504030201");
    QTest::newRow("i64 -1") << 3 << qint64(-1) << QByteArray::fromHex("ffffffffffffffff");
    QTest::newRow("bool true") << 4 << qint64(1) << QByteArray::fromHex("01");
    QTest::newRow("bool false") << 4 << qint64(0) << QByteArray::fromHex("00");
}

void tst_Stream::integerLayouts()
{
    QFETCH(int, kind);
    QFETCH(qint64, value);
    QFETCH(QByteArray, bytes);

    MemStream s;
    switch (kind) {
    case 0: {
        QVERIFY(s.Write(quint8(value)));
        quint8 back = 0;
        QVERIFY(s.Read(back));
        QCOMPARE(back, quint8(value));
        break;
    }
    case 1: {
        QVERIFY(s.Write(qint32(value)));
        qint32 back = 0;
        QVERIFY(s.Read(back));
        QCOMPARE(back, qint32(value));
        break;
    }
    case 2: {
        QVERIFY(s.Write(quint32(value)));
        quint32 back = 0;
        QVERIFY(s.Read(back));
        QCOMPARE(back, quint32(value));
        break;
    }
    case 3: {
        QVERIFY(s.Write(qint64(value)));
        qint64 back = 0;
        QVERIFY(s.Read(back));
        QCOMPARE(back, value);
        break;
    }
    case 4: {
        QVERIFY(s.Write(value != 0));
        bool back = value == 0;
        QVERIFY(s.Read(back));
        QCOMPARE(back, value != 0);
        break;
    }
    }
    QCOMPARE(Contents(s), bytes);
    QCOMPARE(s.GetPendingReadLength(), 0);
}

void tst_Stream::boolReadsAnyNonZeroAsTrue()
{
    MemStream s = StreamOf(QByteArray::fromHex("07fe3412"));
    bool b = false;
    QVERIFY(s.Read(b));
    QVERIFY(b);
    qint16 i16 = 0;
    QVERIFY(s.Read(i16));
    QCOMPARE(i16, qint16(0x34fe));
    quint8 last = 0;
    QVERIFY(s.Read(last));
    QCOMPARE(last, quint8(0x12));
    QVERIFY(!s.Read(last));
}

void tst_Stream::stringRoundTrip()
{
    MemStream s;
    std::string withNul("ab\0c", 4);
    QVERIFY(s.Write(std::string("héllo")));
    QVERIFY(s.Write(withNul));
    QVERIFY(s.Write("lit"));
    // The full length goes out, embedded NUL included.
    QCOMPARE(Contents(s), U32(6) + QByteArray("h\xc3\xa9llo") + U32(4) + QByteArray("ab\0c", 4) +
                              U32(3) + "lit");
    std::string back;
    QVERIFY(s.Read(back));
    QCOMPARE(back, std::string("héllo"));
}

void tst_Stream::stringLengthLimit_data()
{
    QTest::addColumn<quint32>("length");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("empty") << 0u << true;
    QTest::newRow("at limit") << 131072u << true;
    QTest::newRow("one over") << 131073u << false;
    QTest::newRow("top bit") << 0x80000000u << false;
    QTest::newRow("all ones") << 0xffffffffu << false;
}

void tst_Stream::stringLengthLimit()
{
    QFETCH(quint32, length);
    QFETCH(bool, accepted);

    // The body is there in full (up to the limit), so only the length decides.
    const int body = static_cast<int>(qMin<quint32>(length, 131073u));
    MemStream s = StreamOf(U32(length) + QByteArray(body, 'k') + "tail");
    std::string value = "old";
    QCOMPARE(s.Read(value), accepted);
    if (accepted) {
        QCOMPARE(value.size(), size_t(length));
        QCOMPARE(s.GetPendingReadLength(), 4);
    } else {
        QCOMPARE(value, std::string("old"));
        // Only the length was consumed.
        QCOMPARE(s.GetPendingReadLength(), body + 4);
    }
}

void tst_Stream::stringCutAtEmbeddedNul()
{
    MemStream s = StreamOf(U32(4) + QByteArray("ab\0c", 4) + U32(9));
    std::string value;
    QVERIFY(s.Read(value));
    QCOMPARE(value, std::string("ab"));
    quint32 next = 0;
    QVERIFY(s.Read(next));
    QCOMPARE(next, 9u);
}

void tst_Stream::stringShortBodyLeavesTargetAlone()
{
    MemStream s = StreamOf(U32(10) + "short");
    std::string value = "old";
    QVERIFY(!s.Read(value));
    QCOMPARE(value, std::string("old"));
    QCOMPARE(s.GetPendingReadLength(), 5);
}

void tst_Stream::containerCountLimit_data()
{
    QTest::addColumn<quint32>("count");
    QTest::newRow("one over") << 131073u;
    QTest::newRow("minus one") << 0xffffffffu;
    QTest::newRow("int min") << 0x80000000u;
}

void tst_Stream::containerCountLimit()
{
    QFETCH(quint32, count);
    // Plenty of elements follow: a count taken as negative or huge must fail at once rather
    // than read until the data ends.
    QByteArray data = U32(count);
    for (int i = 0; i < 16; ++i)
        data += U32(static_cast<quint32>(i));

    MemStream s = StreamOf(data);
    std::list<int> list{42};
    QVERIFY(!s.Read(list));
    QVERIFY(list.empty());
    QCOMPARE(s.GetPendingReadLength(), 64);

    MemStream m = StreamOf(data);
    std::map<int, std::string> map{{1, "x"}};
    QVERIFY(!m.Read(map));
    QVERIFY(map.empty());
    QCOMPARE(m.GetPendingReadLength(), 64);

    MemStream t = StreamOf(data);
    std::set<std::string> set{"x"};
    QVERIFY(!t.Read(set));
    QVERIFY(set.empty());
    QCOMPARE(t.GetPendingReadLength(), 64);
}

void tst_Stream::containerCountAtLimitIsRead()
{
    QByteArray data = U32(131072) + QByteArray(131072, '\x05');
    MemStream s = StreamOf(data);
    std::vector<quint8> bytes;
    QVERIFY(s.Read(bytes));
    QCOMPARE(bytes.size(), size_t(131072));
    QCOMPARE(int(bytes.back()), 5);

    MemStream empty = StreamOf(U32(0));
    std::list<std::string> list{"old"};
    QVERIFY(empty.Read(list));
    QVERIFY(list.empty());
}

void tst_Stream::containerReadClearsTarget()
{
    MemStream s;
    s.Write(std::list<int>{3, 4});
    std::list<int> list{1, 2};
    QVERIFY(s.Read(list));
    QCOMPARE(list, (std::list<int>{3, 4}));
}

void tst_Stream::containerFailureKeepsElementsRead()
{
    MemStream s = StreamOf(U32(3) + U32(10) + U32(20) + "xy");
    std::list<int> list{99};
    QVERIFY(!s.Read(list));
    QCOMPARE(list, (std::list<int>{10, 20}));
    QCOMPARE(s.GetPendingReadLength(), 2);
}

void tst_Stream::mapRepeatedKeyKeepsLater()
{
    MemStream s;
    s.Write(quint32(3));
    s.Write(qint32(1));
    s.Write("first");
    s.Write(qint32(2));
    s.Write("two");
    s.Write(qint32(1));
    s.Write("later");
    std::map<int, std::string> map;
    QVERIFY(s.Read(map));
    QCOMPARE(map.size(), size_t(2));
    QCOMPARE(map[1], std::string("later"));
    QCOMPARE(map[2], std::string("two"));
}

void tst_Stream::setDuplicateKeepsOne()
{
    MemStream s;
    s.Write(std::list<std::string>{"b", "a", "b"});
    std::set<std::string> set;
    QVERIFY(s.Read(set));
    QCOMPARE(set, (std::set<std::string>{"a", "b"}));
    // Written in iteration order, which for a set is sorted.
    MemStream out;
    out.Write(set);
    QCOMPARE(Contents(out), U32(2) + U32(1) + "a" + U32(1) + "b");
}

void tst_Stream::nestedPairsRoundTrip()
{
    using Entry = std::pair<std::string, std::pair<quint32, qint32>>;
    const std::list<Entry> parents{{"alice", {0x7f000001u, 2234}}, {"bob", {0xc0a80001u, -1}}};
    MemStream s;
    QVERIFY(s.Write(parents));
    QCOMPARE(Contents(s).left(8 + 5 + 8), U32(2) + U32(5) + "alice" + U32(0x7f000001u) + U32(2234));
    std::list<Entry> back;
    QVERIFY(s.Read(back));
    QCOMPARE(back, parents);

    MemStream p;
    p.Write(std::pair<std::string, qint32>("room", 12));
    std::pair<std::string, qint32> pair;
    QVERIFY(p.Read(pair));
    QCOMPARE(pair.first, std::string("room"));
    QCOMPARE(pair.second, 12);
}

QTEST_APPLESS_MAIN(tst_Stream)
#include "tst_stream.moc"

#include "store/FileInfo.h"
#include "store/MemStream.h"
#include "store/TCPAddress.h"
#include "store/UserStats.h"
#include "support/MemStreamBytes.h"

#include <QtTest>

namespace {

QByteArray I64(qint64 v)
{
    QByteArray b(8, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray Str(const QByteArray& s)
{
    return U32(static_cast<quint32>(s.size())) + s;
}

FileInfo Song()
{
    return FileInfo("a\\b\\song.mp3", 5000000,
                    AttributeMap("mp3", {{AttributeMap::Bitrate, 192},
                                         {AttributeMap::LengthSeconds, 245},
                                         {AttributeMap::VariableBitrate, 0}}));
}

QByteArray SongBytes(char code = 1)
{
    return QByteArray(1, code) + Str("a\\b\\song.mp3") + I64(5000000) + Str("mp3") + U32(3) +
           U32(0) + U32(192) + U32(1) + U32(245) + U32(2) + U32(0);
}

} // namespace

class tst_Records : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fileInfoWireForm();
    void fileInfoAnyNonZeroCodeReadsFull();
    void fileInfoCodeZeroReadsOneByte();
    void fileInfoCodeZeroInContainers();
    void fileInfoNameCutAtNul();
    void fileInfoOverlongNameFails();
    void attributeCountLimit_data();
    void attributeCountLimit();
    void attributeCountAtLimit();
    void attributeBadExtensionKeepsList();
    void attributeShortPairKeepsPairsRead();
    void userStatsRoundTrip();
    void userStatsList();
    void orderByNameThenSize();
    void shareMapsRoundTrip();
    void tcpAddressLayout();
};

void tst_Records::fileInfoWireForm()
{
    MemStream s;
    QVERIFY(s.Write(Song()));
    QCOMPARE(Contents(s), SongBytes());

    FileInfo back;
    QVERIFY(s.Read(back));
    QCOMPARE(s.GetPendingReadLength(), 0);
    QCOMPARE(back.name, Song().name);
    QCOMPARE(back.size, Song().size);
    QCOMPARE(back.attributes, Song().attributes);

    // Written again, byte for byte the same.
    MemStream again;
    again.Write(back);
    QCOMPARE(Contents(again), SongBytes());
}

void tst_Records::fileInfoAnyNonZeroCodeReadsFull()
{
    MemStream s = StreamOf(SongBytes(7));
    FileInfo f;
    QVERIFY(s.Read(f));
    QCOMPARE(f.name, Song().name);
    QCOMPARE(f.attributes, Song().attributes);
    QCOMPARE(s.GetPendingReadLength(), 0);
}

void tst_Records::fileInfoCodeZeroReadsOneByte()
{
    MemStream s = StreamOf(QByteArray(1, '\0') + SongBytes());
    FileInfo f("kept", 12);
    QVERIFY(s.Read(f));
    QCOMPARE(f.name, std::string("kept"));
    QCOMPARE(f.size, qint64(12));
    QCOMPARE(s.GetPendingReadLength(), SongBytes().size());
}

void tst_Records::fileInfoCodeZeroInContainers()
{
    // A full record followed by an empty one: the empty one must not come back as a second copy
    // of the first (which in a set would also silently vanish).
    const QByteArray data = U32(2) + SongBytes() + QByteArray(1, '\0');

    MemStream l = StreamOf(data);
    std::list<FileInfo> list;
    QVERIFY(l.Read(list));
    QCOMPARE(list.size(), size_t(2));
    QCOMPARE(list.front().name, Song().name);
    QVERIFY(list.back().name.empty());
    QCOMPARE(list.back().size, qint64(0));
    QVERIFY(list.back().attributes.attributes.empty());

    MemStream t = StreamOf(data);
    std::set<FileInfo> set;
    QVERIFY(t.Read(set));
    QCOMPARE(set.size(), size_t(2));
    for (const FileInfo& f : set)
        QVERIFY(f.name.empty() || f.name == Song().name);
    QCOMPARE(set.count(Song()), size_t(1));

    // An empty record first has a defined size too.
    MemStream z = StreamOf(U32(1) + QByteArray(1, '\0'));
    QVERIFY(z.Read(list));
    QCOMPARE(list.size(), size_t(1));
    QCOMPARE(list.front().size, qint64(0));
}

void tst_Records::fileInfoNameCutAtNul()
{
    MemStream s = StreamOf(QByteArray(1, 1) + Str(QByteArray("ab\0cd", 5)) + I64(9) + Str("") +
                           U32(0) + "rest");
    FileInfo f;
    QVERIFY(s.Read(f));
    QCOMPARE(f.name, std::string("ab"));
    QCOMPARE(f.size, qint64(9));
    QCOMPARE(s.GetPendingReadLength(), 4);
}

void tst_Records::fileInfoOverlongNameFails()
{
    MemStream s = StreamOf(QByteArray(1, 1) + U32(131073) + QByteArray(131073, 'n') + I64(1) +
                           Str("") + U32(0));
    FileInfo f("old", 1);
    QVERIFY(!s.Read(f));
    QCOMPARE(f.name, std::string("old"));

    MemStream ok = StreamOf(QByteArray(1, 1) + U32(131072) + QByteArray(131072, 'n') + I64(1) +
                            Str("") + U32(0));
    QVERIFY(ok.Read(f));
    QCOMPARE(f.name.size(), size_t(131072));
}

void tst_Records::attributeCountLimit_data()
{
    QTest::addColumn<quint32>("count");
    QTest::newRow("one over") << 131073u;
    QTest::newRow("minus one") << 0xffffffffu;
}

void tst_Records::attributeCountLimit()
{
    QFETCH(quint32, count);
    QByteArray data = Str("mp3") + U32(count);
    for (int i = 0; i < 8; ++i)
        data += U32(1) + U32(static_cast<quint32>(i));
    MemStream s = StreamOf(data);
    AttributeMap a("old", {{1, 2}});
    QVERIFY(!s.Read(a));
    QCOMPARE(a.extension, std::string("mp3"));
    QVERIFY(a.attributes.empty());
    // Refused at the count, not after reading pairs until the data ran out.
    QCOMPARE(s.GetPendingReadLength(), 64);
}

void tst_Records::attributeCountAtLimit()
{
    QByteArray pairs;
    pairs.reserve(131072 * 8);
    for (int i = 0; i < 131072; ++i)
        pairs += U32(0) + U32(static_cast<quint32>(i));
    MemStream s = StreamOf(Str("ogg") + U32(131072) + pairs);
    AttributeMap a;
    QVERIFY(s.Read(a));
    QCOMPARE(a.attributes.size(), size_t(131072));
    QCOMPARE(a.attributes.back().second, 131071);

    MemStream empty = StreamOf(Str("ogg") + U32(0));
    AttributeMap b("x", {{1, 1}});
    QVERIFY(empty.Read(b));
    QCOMPARE(b.extension, std::string("ogg"));
    QVERIFY(b.attributes.empty());
}

void tst_Records::attributeBadExtensionKeepsList()
{
    MemStream s = StreamOf(U32(131073) + QByteArray(8, 'x'));
    AttributeMap a("old", {{1, 2}});
    QVERIFY(!s.Read(a));
    QCOMPARE(a, AttributeMap("old", {{1, 2}}));
}

void tst_Records::attributeShortPairKeepsPairsRead()
{
    MemStream s = StreamOf(Str("flac") + U32(3) + U32(0) + U32(900) + U32(1));
    AttributeMap a;
    QVERIFY(!s.Read(a));
    QCOMPARE(a.attributes, (AttributeMap::AttributeList{{0, 900}}));
}

void tst_Records::userStatsRoundTrip()
{
    const UserStats stats(-5, Q_INT64_C(0x1122334455667788), 1234, -1);
    MemStream s;
    QVERIFY(s.Write(stats));
    QCOMPARE(Contents(s), QByteArray::fromHex("fbffffff"
                                              "8877665544332211"
                                              "d2040000"
                                              "ffffffff"));
    UserStats back;
    QVERIFY(s.Read(back));
    QCOMPARE(back, stats);
    QCOMPARE(back.fourthCount, -1);

    // 19 bytes are not a record.
    MemStream shortStats = StreamOf(Contents(s).left(19));
    UserStats partial;
    QVERIFY(!shortStats.Read(partial));
}

void tst_Records::userStatsList()
{
    const std::list<UserStats> stats{{1, 2, 3, 4}, {5, 6, 7, 8}};
    MemStream s;
    s.Write(stats);
    QCOMPARE(s.GetBufferLength(), 4 + 2 * 20);
    std::list<UserStats> back;
    QVERIFY(s.Read(back));
    QCOMPARE(back, stats);
}

void tst_Records::orderByNameThenSize()
{
    std::set<FileInfo> set;
    set.insert(FileInfo("b", 100, AttributeMap("first")));
    set.insert(FileInfo("b", 200));
    set.insert(FileInfo("b", 100, AttributeMap("second")));
    set.insert(FileInfo("a", 300));
    set.insert(FileInfo("B", 1));
    set.insert(FileInfo("\xc3\xa9", 1));

    std::vector<std::pair<std::string, qint64>> order;
    for (const FileInfo& f : set)
        order.emplace_back(f.name, f.size);
    // Byte-wise: upper case first, bytes above 127 last.
    const std::vector<std::pair<std::string, qint64>> expected{
        {"B", 1}, {"a", 300}, {"b", 100}, {"b", 200}, {"\xc3\xa9", 1}};
    QCOMPARE(order, expected);
    QCOMPARE(set.find(FileInfo("b", 100))->attributes.extension, std::string("first"));
    QVERIFY(FileInfo("ab", 999) < FileInfo("abc", 1));
    QVERIFY(FileInfo("x", -1) < FileInfo("x", 0));
}

void tst_Records::shareMapsRoundTrip()
{
    FileInfoMap shares;
    shares["music\\rock"] = {Song(), FileInfo("b.ogg", 7, AttributeMap("ogg"))};
    shares["empty"] = {};
    AttributeTranslationTable table{{0, "bitrate"}, {1, "length"}};

    MemStream s;
    QVERIFY(s.Write(shares));
    QVERIFY(s.Write(table));
    // Keys in ascending order: "empty" first.
    QCOMPARE(Contents(s).left(4 + 4 + 5 + 4), U32(2) + Str("empty") + U32(0));

    FileInfoMap sharesBack;
    AttributeTranslationTable tableBack;
    QVERIFY(s.Read(sharesBack));
    QVERIFY(s.Read(tableBack));
    QCOMPARE(tableBack, table);
    QCOMPARE(sharesBack.size(), size_t(2));
    QVERIFY(sharesBack["empty"].empty());
    const std::set<FileInfo>& rock = sharesBack["music\\rock"];
    QCOMPARE(rock.size(), size_t(2));
    QCOMPARE(rock.find(Song())->attributes, Song().attributes);
    QCOMPARE(s.GetPendingReadLength(), 0);
}

void tst_Records::tcpAddressLayout()
{
    const std::list<std::pair<std::string, TCPAddress>> parents{{"p", {0x0100007fu, -2}}};
    MemStream s;
    s.Write(parents);
    QCOMPARE(Contents(s), U32(1) + Str("p") +
                              QByteArray::fromHex("7f000001"
                                                  "feffffff"));
    std::list<std::pair<std::string, TCPAddress>> back;
    QVERIFY(s.Read(back));
    QCOMPARE(back, parents);
}

QTEST_APPLESS_MAIN(tst_Records)
#include "tst_records.moc"

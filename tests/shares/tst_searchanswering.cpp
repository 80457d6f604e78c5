// Answering searches from the network: what matches, who may see it, the limit on hits, and the
// reply's bytes as the searching peer receives them.

#include "SharesTestEnv.h"

#include "dnet/DNetManager.h"
#include "peer/PeerMessages.h"

#include <memory>

class tst_SearchAnswering : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void searchFromTheNetworkAnswered();
    void hitLimit_data();
    void hitLimit();
    void visibility_data();
    void visibility();
    void words_data();
    void words();
    void records_data();
    void records();
};

namespace {

constexpr int kWait = 30000;

using Shares = SharesTestEnv;

// The next message to the peer, which must be a search reply (code 9, level-9 zlib), inflated.
bool TakeReplyBody(FakePeer& peer, QByteArray* body)
{
    QByteArray frame;
    *body = peer.WaitForFrame(&frame, kWait) ? Inflated(frame, 9) : QByteArray();
    return !body->isEmpty() && !body->startsWith("not a compressed message");
}

// The paths of the next reply's records, in their order; false unless it reads as a reply.
bool TakeReplyPaths(FakePeer& peer, QStringList* paths)
{
    QByteArray body;
    if (!TakeReplyBody(peer, &body))
        return false;
    WireReader r(body);
    r.str();
    r.u32();
    const quint32 count = r.u32();
    for (quint32 k = 0; k < count && r.ok(); ++k) {
        if (r.u8() != 1)
            return false;
        *paths << QString::fromUtf8(r.str());
        r.u64();
        r.str();
        for (quint32 pairs = r.u32(); pairs > 0 && r.ok(); --pairs)
            r.u64();
    }
    r.u8();
    r.u32();
    r.u32();
    return r.u32() == 0 && r.ok() && r.atEnd();
}

// A reply's body with one record (u8 1, path, size, extension, its (code, value) pairs), and
// uploads as the engine starts: a free slot, none queued.
QByteArray OneRecordReply(quint32 token, const QByteArray& path, quint64 size,
                          const QByteArray& extension, const QList<quint32>& pairs,
                          quint32 uploadSpeed)
{
    WireWriter w;
    w.str("me").u32(token).u32(1);
    w.u8(1).str(path).u64(size).str(extension).u32(quint32(pairs.size() / 2));
    for (quint32 v : pairs)
        w.u32(v);
    return w.u8(1).u32(uploadSpeed).u32(0).u32(0).bytes();
}

// The search sent the peer nothing: a message sent after it is the next thing the peer reads.
bool NothingSent(FakePeer& peer, const std::string& user)
{
    peerMessenger->SendMessage(user, Message(PM_NOTHING));
    QByteArray frame;
    return peer.WaitForFrame(&frame, kWait) && frame == hexBytes("34000000");
}

// The engine with the distributed network, and a peer connected to it as the searching user.
struct SearchEnv : SharesTestEnv
{
    explicit SearchEnv(const QByteArray& searcher = "bob") : SharesTestEnv({}, {}, true)
    {
        StoreFixture::SetSetting("username", "me");
        peer = env().DialMessaging(false, searcher);
    }

    std::unique_ptr<FakePeer> peer;
};

} // namespace

void tst_SearchAnswering::searchFromTheNetworkAnswered()
{
    SearchEnv env;
    QVERIFY(env.peer);
    StoreFixture::SetSetting("upload_speed", "1000");
    StoreFixture::SetSetting("upload_slots", "2");
    for (int k = 0; k < 3; ++k)
        d.GetType("upload_entry")->NewItem() += d.GetType("upload_entry_status")->GetItem("queued");
    ItemPtr music = Shares::Root("/data/Music");
    Shares::AddFile(music, "/data/Music", "a.ogg", 10);
    ItemPtr mp3 = Shares::AddFile(music, "/data/Music", "b.mp3", 20);
    mp3 += d.GetType("bitrate")->GetItem("192");
    mp3 += d.GetType("bitrate_mode")->GetItem("vbr");
    LogLines log(QStringLiteral("Search"));

    QVERIFY(dnetManager);
    Q_EMIT dnetManager->DNetSearchRequest("bob", 0x01020304, "mp3");
    QByteArray body;
    QVERIFY(TakeReplyBody(*env.peer, &body));
    QCOMPARE(body.toHex(), hexBytes("02000000 6d65 04030201 01000000"
                                    "01 11000000 5c646174615c4d757369635c622e6d7033"
                                    "1400000000000000 03000000 6d7033"
                                    "02000000 00000000 c0000000 02000000 01000000"
                                    "01 e8030000 03000000 00000000")
                               .toHex());
    QCOMPARE(log.lines, QStringList{QStringLiteral(
                            "Sending search results to user bob for search string mp3")});
}

void tst_SearchAnswering::hitLimit_data()
{
    QTest::addColumn<int>("visible");
    QTest::addColumn<int>("hidden");   // matching files in a folder bob may not see
    QTest::addColumn<int>("expected"); // files in the reply; 0: no reply

    QTest::newRow("one") << 1 << 0 << 1;
    QTest::newRow("exactly 200") << 200 << 0 << 200;
    QTest::newRow("201: no reply, not a reply cut to 200") << 201 << 0 << 0;
    QTest::newRow("300 candidates, 150 visible") << 150 << 150 << 150;
    QTest::newRow("hidden ones past 200 do not count") << 200 << 100 << 200;
    QTest::newRow("none visible") << 0 << 20 << 0;
}

void tst_SearchAnswering::hitLimit()
{
    QFETCH(int, visible);
    QFETCH(int, hidden);
    QFETCH(int, expected);

    SearchEnv env;
    QVERIFY(env.peer);
    ItemPtr pub = Shares::Root("/pub");
    ItemPtr list = Shares::Root("/list", "shared_userlist");
    // Visible and hidden files alternate, so the limit is met in the middle of hidden ones.
    for (int k = 0; k < qMax(visible, hidden); ++k) {
        const std::string name = "song " + std::to_string(1000 + k) + ".ogg";
        if (k < visible)
            Shares::AddFile(pub, "/pub", name);
        if (k < hidden)
            Shares::AddFile(list, "/list/sub", name);
    }

    env.shares().ProcessSearch("bob", 77, "song");
    if (expected == 0) {
        QVERIFY(NothingSent(*env.peer, "bob"));
        return;
    }
    QStringList paths;
    QVERIFY(TakeReplyPaths(*env.peer, &paths));
    QCOMPARE(paths.size(), expected);
    QVERIFY(std::is_sorted(paths.begin(), paths.end()));
    for (const QString& path : paths)
        QVERIFY2(path.startsWith(QLatin1String("\\pub\\song ")), qPrintable(path));
}

void tst_SearchAnswering::visibility_data()
{
    QTest::addColumn<QByteArray>("searcher");
    QTest::addColumn<QStringList>("roots"); // whose files the reply holds; empty: no reply

    QTest::newRow("outside the list") << QByteArray("outside") << QStringList{"public"};
    QTest::newRow("in the list, no group")
        << QByteArray("listed") << QStringList{"public", "userlist"};
    QTest::newRow("in the group") << QByteArray("member")
                                  << QStringList{"group", "public", "userlist"};
    // A folder is visible through any of its roots.
    QTest::newRow("in the nested root's group")
        << QByteArray("other") << QStringList{"group", "public", "userlist"};
    QTest::newRow("unshared: not even public") << QByteArray("unshared") << QStringList{};
    QTest::newRow("unshared, in the group") << QByteArray("unshared member") << QStringList{};
}

void tst_SearchAnswering::visibility()
{
    QFETCH(QByteArray, searcher);
    QFETCH(QStringList, roots);

    SearchEnv env(searcher);
    QVERIFY(env.peer);
    SharesTestEnv::AddAccessCases();
    const std::string user = searcher.toStdString();
    env.shares().ProcessSearch(user, 5, "tune");
    if (roots.isEmpty()) {
        QVERIFY(NothingSent(*env.peer, user));
        return;
    }
    QStringList paths;
    QVERIFY(TakeReplyPaths(*env.peer, &paths));
    QStringList seen;
    for (const QString& path : paths)
        seen << path.section('\\', 1, 1);
    QCOMPARE(seen, roots);
}

void tst_SearchAnswering::words_data()
{
    QTest::addColumn<QStringList>("files"); // folder/name, all under one public root
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QStringList>("hits"); // empty: no reply

    const QStringList live{"/m/abc (live).mp3", "/m/abc.mp3"};
    QTest::newRow("excluded word in the name")
        << live << QByteArray("abc -live") << QStringList{"\\m\\abc.mp3"};
    QTest::newRow("exclusion is case-sensitive")
        << live << QByteArray("abc -Live") << QStringList{"\\m\\abc (live).mp3", "\\m\\abc.mp3"};
    QTest::newRow("part word") << live << QByteArray("abc *ve")
                               << QStringList{"\\m\\abc (live).mp3"};
    QTest::newRow("two words") << live << QByteArray("live abc")
                               << QStringList{"\\m\\abc (live).mp3"};
    QTest::newRow("word only in the folder") << QStringList{"/m/abc/x.mp3", "/m/y.mp3"}
                                             << QByteArray("abc") << QStringList{"\\m\\abc\\x.mp3"};
    QTest::newRow("excluded word in the folder only")
        << QStringList{"/m/live/abc.mp3"} << QByteArray("abc -live")
        << QStringList{"\\m\\live\\abc.mp3"};
    QTest::newRow("part word in the folder only")
        << QStringList{"/m/xyz/abc.mp3"} << QByteArray("abc *xyz") << QStringList{};
    QTest::newRow("capital letter finds nothing") << live << QByteArray("Abc") << QStringList{};
    QTest::newRow("one word not in the index")
        << live << QByteArray("abc nowhere") << QStringList{};
    QTest::newRow("part words alone") << live << QByteArray("*abc") << QStringList{};
    QTest::newRow("excluded words alone") << live << QByteArray("-abc") << QStringList{};
    QTest::newRow("malformed") << live << QByteArray("abc ab\"c") << QStringList{};
    QTest::newRow("everything excluded") << live << QByteArray("abc -abc") << QStringList{};
    // A name may hold a backslash here: both files go out as \a\b\c, in one record.
    QTest::newRow("one path, two files")
        << QStringList{"/a/b\\c", "/a/b/c"} << QByteArray("c") << QStringList{"\\a\\b\\c"};
}

void tst_SearchAnswering::words()
{
    QFETCH(QStringList, files);
    QFETCH(QByteArray, query);
    QFETCH(QStringList, hits);

    SearchEnv env;
    QVERIFY(env.peer);
    ItemPtr root = Shares::Root("/m");
    for (const QString& file : files)
        Shares::AddFile(root, file.section('/', 0, -2).toStdString(),
                        file.section('/', -1).toStdString());

    env.shares().ProcessSearch("bob", 9, query.toStdString());
    if (hits.isEmpty()) {
        QVERIFY(NothingSent(*env.peer, "bob"));
        return;
    }
    QStringList paths;
    QVERIFY(TakeReplyPaths(*env.peer, &paths));
    QCOMPARE(paths, hits);
}

void tst_SearchAnswering::records_data()
{
    QTest::addColumn<QByteArray>("file"); // folder/name, searched for as "x"
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("bitrate"); // empty: no bitrate item
    QTest::addColumn<QByteArray>("mode");    // empty: no bitrate_mode item
    QTest::addColumn<QByteArray>("speed");   // the upload_speed setting; empty: none
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("extension");
    QTest::addColumn<QList<quint32>>("pairs"); // code, value, code, value...
    QTest::addColumn<quint32>("uploadSpeed");

    using B = QByteArray;
    using L = QList<quint32>;
    QTest::newRow("constant bitrate, capital extension, no speed")
        << B("/m/x.MP3") << qint64(5) << B("128") << B("cbr") << B() << B("\\m\\x.MP3") << B("mp3")
        << L{0, 128, 2, 0} << 0u;
    QTest::newRow("MP3 not scanned yet") << B("/m/x.mp3") << qint64(5) << B() << B() << B("7")
                                         << B("\\m\\x.mp3") << B("mp3") << L{} << 7u;
    QTest::newRow("mode without bitrate") << B("/m/x.mp3") << qint64(5) << B() << B("vbr") << B("7")
                                          << B("\\m\\x.mp3") << B("mp3") << L{2, 1} << 7u;
    QTest::newRow("not an MP3: no details") << B("/m/x.ogg") << qint64(10) << B("192") << B("vbr")
                                            << B("7") << B("\\m\\x.ogg") << B() << L{} << 7u;
    QTest::newRow("size past 32 bits, negative speed")
        << B("/m/x.iso") << qint64(5000000000) << B() << B() << B("-5") << B("\\m\\x.iso") << B()
        << L{} << 0xfffffffbu;
    QTest::newRow("UTF-8 and blanks kept")
        << B("/m/d\xc3\xa9j\xc3\xa0 vu/x y.flac") << qint64(1) << B() << B() << B("1")
        << B("\\m\\d\xc3\xa9j\xc3\xa0 vu\\x y.flac") << B() << L{} << 1u;
}

void tst_SearchAnswering::records()
{
    QFETCH(QByteArray, file);
    QFETCH(qint64, size);
    QFETCH(QByteArray, bitrate);
    QFETCH(QByteArray, mode);
    QFETCH(QByteArray, speed);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, extension);
    QFETCH(QList<quint32>, pairs);
    QFETCH(quint32, uploadSpeed);

    SearchEnv env;
    QVERIFY(env.peer);
    if (!speed.isEmpty())
        StoreFixture::SetSetting("upload_speed", speed.toStdString());
    const qsizetype slash = file.lastIndexOf('/');
    ItemPtr item = Shares::AddFile(Shares::Root("/m"), file.left(slash).toStdString(),
                                   file.mid(slash + 1).toStdString(), size);
    if (!bitrate.isEmpty())
        item += d.GetType("bitrate")->GetItem(Value(bitrate.toStdString()));
    if (!mode.isEmpty())
        item += d.GetType("bitrate_mode")->GetItem(Value(mode.toStdString()));

    env.shares().ProcessSearch("bob", 0xfedcba98, "x");
    QByteArray body;
    QVERIFY(TakeReplyBody(*env.peer, &body));
    QCOMPARE(body.toHex(),
             OneRecordReply(0xfedcba98, path, size, extension, pairs, uploadSpeed).toHex());
}

QTEST_GUILESS_MAIN(tst_SearchAnswering)
#include "tst_searchanswering.moc"

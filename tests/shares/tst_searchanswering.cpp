// Answering searches from the network: what matches, who may see it, the limit on hits, and the
// reply's bytes as the searching peer receives them.

#include "SharesTestEnv.h"

#include "dnet/DNetManager.h"
#include "dnet/DNetTestEnv.h"
#include "peer/PeerMessages.h"
#include "server/ServerStore.h"
#include "shares/SearchParser.h"
#include "store/Clock.h"
#include "store/TurnBudget.h"
#include "support/HeldClock.h"

#include <QElapsedTimer>
#include <QRegularExpression>

#include <memory>

class tst_SearchAnswering : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void searchFromTheNetworkAnswered();
    void searchesWaitForTheStartUpIndex_data();
    void searchesWaitForTheStartUpIndex();
    void hits_data();
    void hits();
    void records_data();
    void records();
    void repliesWaitingForSearchersAreCapped_data();
    void repliesWaitingForSearchersAreCapped();
    void reachableSearcherAnswered_data();
    void reachableSearcherAnswered();
    void floodThroughOneSource_data();
    void floodThroughOneSource();
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

void tst_SearchAnswering::searchesWaitForTheStartUpIndex_data()
{
    QTest::addColumn<int>("during");    // searches that come during the start-up rescan
    QTest::addColumn<quint32>("first"); // the token of the first reply
    QTest::addColumn<int>("steps");     // held searches a turn may answer; 0: as time allows
    QTest::newRow("none: answered at once") << 0 << quint32(1) << 0;
    QTest::newRow("one") << 1 << quint32(1) << 0;
    const int cap = int(SharedFoldersManager::kMaxHeldSearches);
    QTest::newRow("as many as are held") << cap << quint32(1) << 0;
    QTest::newRow("one more: the oldest dropped") << cap + 1 << quint32(2) << 0;
    QTest::newRow("ten, one a turn") << 10 << quint32(1) << 1;
    QTest::newRow("ten, three a turn") << 10 << quint32(1) << 3;
}

void tst_SearchAnswering::searchesWaitForTheStartUpIndex()
{
    QFETCH(int, during);
    QFETCH(quint32, first);
    QFETCH(int, steps);

    // The word index is not saved: until the start-up rescan has been through the share, it
    // holds none of the files.
    SearchEnv env;
    QVERIFY(env.peer);
    env.Write("Music/tune.ogg", 10);
    env.Share("Music");
    env.shares().Init();
    for (int k = 1; k <= during; ++k)
        Q_EMIT dnetManager->DNetSearchRequest("bob", quint32(k), "tune");
    const TurnBudget::StepsForTesting slices(steps);
    LogLines log("Search");
    env.shares().WaitForScans();
    for (qsizetype answered = 0; steps > 0 && answered < during; answered = log.lines.size()) {
        QCoreApplication::processEvents();
        QVERIFY(log.lines.size() > answered && log.lines.size() <= answered + steps);
    }
    if (during == 0)
        Q_EMIT dnetManager->DNetSearchRequest("bob", 1, "tune");

    QByteArray body;
    QVERIFY(TakeReplyBody(*env.peer, &body));
    WireReader reply(body);
    reply.str();
    QCOMPARE(reply.u32(), first);
    QCOMPARE(reply.u32(), 1u);
    reply.u8();
    QCOMPARE(QString::fromUtf8(reply.str()),
             QString::fromStdString(env.Path("Music/tune.ogg")).replace('/', '\\'));
    // The rest in the order they came, each the reply the search gets on its own.
    for (int k = 2; steps > 0 && k <= during; ++k)
        env.shares().ProcessSearch("bob", quint32(k), "tune");
    QList<QByteArray> replies;
    while (replies.size() < (steps > 0 ? 2 * during - 2 : 0))
        QVERIFY(TakeReplyBody(*env.peer, &replies.emplace_back()));
    QCOMPARE(replies.mid(0, replies.size() / 2), replies.mid(replies.size() / 2));
}

void tst_SearchAnswering::hits_data()
{
    QTest::addColumn<QByteArray>("searcher");
    QTest::addColumn<QStringList>("files"); // folder/name: under /list the user list's, else public
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QStringList>("hits"); // the reply's paths; empty: no reply
    QTest::addColumn<int>("steps");        // TurnBudget::StepsForTesting: files a search looks at
    QTest::addColumn<int>("flood");        // searches run out of time first, "alpha *zzz"

    const auto row = [](const char* name, const char* searcher, const QStringList& files,
                        const QByteArray& query, const QStringList& hits, int steps = 1 << 20,
                        int flood = 0) {
        QTest::newRow(name) << QByteArray(searcher) << files << query << hits << steps << flood;
    };
    // Files visible to bob alternating, in id order, with hidden ones, so that the limit is met
    // in the middle of hidden ones.
    const auto songs = [&](const char* name, int visible, int hidden, bool answered) {
        QStringList files;
        QStringList hits;
        for (int k = 0; k < qMax(visible, hidden); ++k) {
            const QString song = QStringLiteral("song %1.ogg").arg(1000 + k);
            if (k < visible)
                files << "/m/" + song;
            if (k < visible && answered)
                hits << "\\m\\" + song;
            if (k < hidden)
                files << "/list/sub/" + song;
        }
        row(name, "bob", files, "song", hits);
    };
    songs("one", 1, 0, true);
    songs("exactly 200", 200, 0, true);
    songs("201: no reply, not a reply cut to 200", 201, 0, false);
    songs("300 candidates, 150 visible", 150, 150, true);
    songs("hidden ones past 200 do not count", 200, 100, true);
    songs("none visible", 0, 20, true);

    // The roots of SharesTestEnv::AddAccessCases, each holding a tune.mp3.
    const QString pub("\\public\\tune.mp3");
    const QString list("\\userlist\\tune.mp3");
    const QString group("\\group\\x\\tune.mp3");
    row("outside the list", "outside", {}, "tune", {pub});
    row("in the list, no group", "listed", {}, "tune", {pub, list});
    row("in the group", "member", {}, "tune", {group, pub, list});
    // A folder is visible through any of its roots.
    row("in the nested root's group", "other", {}, "tune", {group, pub, list});
    row("unshared: not even public", "unshared", {}, "tune", {});
    row("unshared, in the group", "unshared member", {}, "tune", {});

    const QStringList live{"/m/abc (live).mp3", "/m/abc.mp3"};
    row("excluded word in the name", "bob", live, "abc -live", {"\\m\\abc.mp3"});
    row("exclusion is case-sensitive", "bob", live, "abc -Live",
        {"\\m\\abc (live).mp3", "\\m\\abc.mp3"});
    row("part word", "bob", live, "abc *ve", {"\\m\\abc (live).mp3"});
    row("two words", "bob", live, "live abc", {"\\m\\abc (live).mp3"});
    row("word only in the folder", "bob", {"/m/abc/x.mp3", "/m/y.mp3"}, "abc", {"\\m\\abc\\x.mp3"});
    row("excluded word in the folder only", "bob", {"/m/live/abc.mp3"}, "abc -live",
        {"\\m\\live\\abc.mp3"});
    row("part word in the folder only", "bob", {"/m/xyz/abc.mp3"}, "abc *xyz", {});
    row("capital letter finds nothing", "bob", live, "Abc", {});
    row("one word not in the index", "bob", live, "abc nowhere", {});
    row("part words alone", "bob", live, "*abc", {});
    row("excluded words alone", "bob", live, "-abc", {});
    row("malformed", "bob", live, "abc ab\"c", {});
    row("everything excluded", "bob", live, "abc -abc", {});
    // A name may hold a backslash here: both files go out as \a\b\c, in one record.
    row("one path, two files", "bob", {"/a/b\\c", "/a/b/c"}, "c", {"\\a\\b\\c"});

    // A word no file has counts at the cap on words and is ignored past it, as are an exclusion
    // every name holds and a malformed word.
    QStringList words;
    for (int k = 0; k < SearchParser::kMaxSearchTerms; ++k)
        words << QStringLiteral("w%1").arg(k);
    const QStringList many{"/m/" + words.join(' ') + ".ogg", "/m/x.ogg"};
    row("a word at the cap", "bob", many, (words.mid(1).join(' ') + " nowhere").toUtf8(), {});
    row("words past the cap", "bob", many, (words.join(' ') + " nowhere -w0 ab\"c").toUtf8(),
        {"\\m\\" + words.join(' ') + ".ogg"});
    // The one hit is the last file of a word looked at: found when the search's budget (a step a
    // file) ends with it, given up when it ends one file before it.
    const int budget = 500;
    const auto lookedAt = [&](const char* name, int excluded, bool answered) {
        QStringList files;
        for (int k = 0; k < excluded; ++k)
            files << QStringLiteral("/m/song %1.ogg").arg(k);
        files << "/m/song.mp3";
        row(name, "bob", files, "song -ogg",
            answered ? QStringList{"\\m\\song.mp3"} : QStringList(), budget);
    };
    lookedAt("hit at the end of the budget", budget - 1, true);
    lookedAt("hit one file past it", budget, false);

    // Two words of each files (8,100: more than a search once looked at before giving up), 14
    // files of both; first a flood of searches that run out of time, costing each its budget.
    const auto common = [&](const char* name, int each, int flood, bool answered) {
        QStringList files;
        QStringList hits;
        for (int k = 0; k < each; ++k)
            files << QStringLiteral("/m/alpha %1").arg(k) << QStringLiteral("/m/beta %1").arg(k);
        for (int k = 0; k < 14; ++k) {
            files << QStringLiteral("/m/beta alpha %1.ogg").arg(k);
            hits << QStringLiteral("\\m\\beta alpha %1.ogg").arg(k);
        }
        hits.sort();
        row(name, "bob", files, "alpha beta", answered ? hits : QStringList(), 1 << 20, flood);
    };
    common("common words, few files together", 8100, 0, true);
    common("the same on a small share", 30, 0, true);
    const int burst = int(SharedFoldersManager::kSearchBurstMs / SharedFoldersManager::kSearchMs);
    common("a flood within the allowance", 30, burst / 2, true);
    common("a flood that spends it", 30, burst + 1, false);
}

void tst_SearchAnswering::hits()
{
    QFETCH(QByteArray, searcher);
    QFETCH(QStringList, files);
    QFETCH(QByteArray, query);
    QFETCH(QStringList, hits);
    QFETCH(int, steps);
    QFETCH(int, flood);

    SearchEnv env(searcher);
    QVERIFY(env.peer);
    HeldClock held(QDateTime(QDate(2026, 1, 1), QTime(12, 0)));
    SharesTestEnv::AddAccessCases();
    const ItemPtr roots[] = {Shares::Root("/m"), Shares::Root("/list", "shared_userlist")};
    for (const QString& file : files)
        Shares::AddFile(roots[file.startsWith("/list/")], file.section('/', 0, -2).toStdString(),
                        file.section('/', -1).toStdString());

    for (int k = 0; k < flood; ++k) {
        TurnBudget::StepsForTesting cut(16);
        env.shares().ProcessSearch("mallory", quint32(k), "alpha *zzz");
    }
    const std::string user = searcher.toStdString();
    TurnBudget::StepsForTesting cut(steps);
    env.shares().ProcessSearch(user, 9, query.toStdString());
    if (hits.isEmpty()) {
        QVERIFY(NothingSent(*env.peer, user));
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
    QTest::addColumn<QByteArray>("reply");

    // The record's extension and (code, value) pairs, and the upload speed the reply ends with.
    const auto row = [](const char* name, const QByteArray& file, qint64 size, const char* bitrate,
                        const char* mode, const char* speed, const char* extension,
                        const QList<quint32>& pairs, quint32 uploadSpeed) {
        QTest::newRow(name) << file << size << QByteArray(bitrate) << QByteArray(mode)
                            << QByteArray(speed)
                            << OneRecordReply(0xfedcba98, QByteArray(file).replace('/', '\\'), size,
                                              extension, pairs, uploadSpeed);
    };
    row("constant bitrate, capital extension, no speed", "/m/x.MP3", 5, "128", "cbr", "", "mp3",
        {0, 128, 2, 0}, 0);
    row("MP3 not scanned yet", "/m/x.mp3", 5, "", "", "7", "mp3", {}, 7);
    row("mode without bitrate", "/m/x.mp3", 5, "", "vbr", "7", "mp3", {2, 1}, 7);
    row("not an MP3: no details", "/m/x.ogg", 10, "192", "vbr", "7", "", {}, 7);
    row("size past 32 bits, negative speed", "/m/x.iso", 5000000000, "", "", "-5", "", {},
        0xfffffffbu);
    row("UTF-8 and blanks kept", "/m/d\xc3\xa9j\xc3\xa0 vu/x y.flac", 1, "", "", "1", "", {}, 1);
}

void tst_SearchAnswering::records()
{
    QFETCH(QByteArray, file);
    QFETCH(qint64, size);
    QFETCH(QByteArray, bitrate);
    QFETCH(QByteArray, mode);
    QFETCH(QByteArray, speed);
    QFETCH(QByteArray, reply);

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
    QCOMPARE(body.toHex(), reply.toHex());
}

void tst_SearchAnswering::repliesWaitingForSearchersAreCapped_data()
{
    QTest::addColumn<bool>("known");    // users we know (room members, say); else strangers
    QTest::addColumn<int>("searchers"); // none with a connection to us
    QTest::addColumn<int>("waiting");   // replies queued when all have searched
    QTest::addColumn<int>("attempts");  // connection attempts made for them
    QTest::addColumn<bool>("logged");
    const int replies = int(SharedFoldersManager::kMaxPendingSearchReplies);
    const int cap = int(SharedFoldersManager::kMaxSearchReplyAttempts);
    QTest::newRow("replies at the cap") << false << replies << replies << replies << false;
    QTest::newRow("one reply past it: the oldest dropped")
        << false << replies + 1 << replies << replies + 1 << true;
    QTest::newRow("strangers, attempts at the cap") << false << cap << replies << cap << true;
    QTest::newRow("strangers, one past it: not answered")
        << false << cap + 1 << replies << cap << true;
    QTest::newRow("known users, attempts at the cap") << true << cap << replies << cap << true;
    QTest::newRow("known users, one past it: not answered")
        << true << cap + 1 << replies << cap << true;
}

void tst_SearchAnswering::repliesWaitingForSearchersAreCapped()
{
    QFETCH(bool, known);
    QFETCH(int, searchers);
    QFETCH(int, waiting);
    QFETCH(int, attempts);
    QFETCH(bool, logged);
    SearchEnv env;
    QVERIFY(env.peer);
    Shares::AddFile(Shares::Root("/m"), "/m", "tune.mp3");
    const auto name = [](int k) { return "searcher " + std::to_string(k); };
    for (int k = 0; known && k < searchers; ++k)
        StoreFixture::User(name(k)).NewItem("in_user_list");
    const size_t users = PeerTestEnv::Count("user");
    const size_t addressRequests = PeerTestEnv::Count("user_address_request");
    LogLines log("Search");
    // Through two sources, neither of which may hold every attempt.
    for (int k = 0; k < searchers; ++k)
        env.shares().ProcessSearch(name(k), quint32(k), "tune", quintptr(1 + k % 2));

    // An attempt, a relayed request and an address request for each searcher answered.
    QCOMPARE(int(PeerTestEnv::Count("unsent_message")), waiting);
    QCOMPARE(int(PeerTestEnv::Count("user") - users), known ? 0 : attempts);
    QCOMPARE(int(PeerTestEnv::Count("connect_to_peer_request")), attempts);
    QCOMPARE(int(PeerTestEnv::Count("indirect_connect_to_peer_request")), attempts);
    QCOMPARE(int(PeerTestEnv::Count("user_address_request") - addressRequests), attempts);
    // The oldest reply went first, the newest waits.
    const auto waits = [&name](int k) {
        return bool(ServerStore::FindUser(name(k))["unsent_message"]);
    };
    QCOMPARE(waits(0), searchers <= waiting);
    QVERIFY(waits(attempts - 1));
    QCOMPARE(log.lines.filter(QRegularExpression("wait for connections")).size(), logged ? 1 : 0);

    // Once the attempts and then the queued replies are over, the users made for them go, and
    // those we knew stay.
    Clock::Shift(61);
    env.env().fireHalfMinute();
    QCOMPARE(int(PeerTestEnv::Count("user") - users), known ? 0 : waiting);
    Clock::Shift(300);
    env.env().fireHalfMinute();
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(0));
    // (bob's idle connection has gone by now too, and the user item it made with it.)
    int searchersLeft = 0;
    for (int k = 0; k < searchers; ++k)
        searchersLeft += bool(ServerStore::FindUser(name(k)));
    QCOMPARE(searchersLeft, known ? searchers : 0);
    // And searchers are answered again.
    env.shares().ProcessSearch("latecomer", 1, "tune");
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(1));
    env.shares().ProcessSearch(name(searchers - 1), 2, "tune");
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(2));
}

void tst_SearchAnswering::reachableSearcherAnswered_data()
{
    QTest::addColumn<QByteArray>("server"); // on unreachable searchers
    QTest::addColumn<int>("sources");       // their searches came through
    // Of the later half, whose replies wait: the earlier half's were dropped for them.
    QTest::newRow("the server says half are offline") << QByteArray("offline") << 2;
    QTest::newRow("half their relayed requests fail") << QByteArray("relay fails") << 2;
    QTest::newRow("silent, all through one source") << QByteArray("silent") << 1;
}

void tst_SearchAnswering::reachableSearcherAnswered()
{
    QFETCH(QByteArray, server);
    QFETCH(int, sources);
    SharesTestEnv env({}, {}, true);
    QVERIFY(env.env().logIn());
    Shares::AddFile(Shares::Root("/m"), "/m", "tune.mp3");
    FakePeer bob;
    const quint16 port = bob.Listen();
    for (int k = 0; k < int(SharedFoldersManager::kMaxSearchReplyAttempts); ++k)
        Q_EMIT dnetManager->DNetSearchRequest("nobody" + std::to_string(k), 1, "tune", k % sources);
    // The server's part: what it says of the searchers, and bob's address when asked.
    const auto serve = [&](const std::function<bool()>& done) {
        QElapsedTimer waited;
        waited.start();
        while (!done() && waited.elapsed() < kWait) {
            QByteArray rest;
            const qint64 code = env.env().fake().nextMessage(&rest, 50);
            WireReader r(rest);
            const quint32 token = code == 18 ? r.u32() : 0;
            const QByteArray user = r.str();
            const bool late = user.mid(6).toInt() >= 100;
            const quint32 address = user == "bob" ? 0x7f000001 : 0;
            if (code == 3 && (address || (late && server == "offline")))
                env.env().fake().sendMessage(
                    3, WireWriter().str(user).u32(address).i32(port).u32(0).u16(0));
            if (code == 18 && late && server == "relay fails")
                env.env().fake().sendMessage(1001, WireWriter().u32(token));
        }
        return done();
    };
    const auto attempts = [] { return int(PeerTestEnv::Count("connect_to_peer_request")); };
    const int perSource = int(SharedFoldersManager::kMaxSearchReplyAttemptsPerSource);
    QVERIFY(server == "silent" ? attempts() == perSource
                               : serve([&] { return attempts() == 100; }));
    QElapsedTimer answered;
    answered.start();
    Q_EMIT dnetManager->DNetSearchRequest("bob", 7, "tune", 1 + sources);
    QVERIFY(serve([&] { return bob.AcceptedCount() > 0; }));
    QByteArray body;
    QVERIFY(bob.WaitForFrame(&body) && TakeReplyBody(bob, &body));
    QVERIFY2(answered.elapsed() < 5000, qPrintable(QString::number(answered.elapsed())));
}

void tst_SearchAnswering::floodThroughOneSource_data()
{
    QTest::addColumn<bool>("parentFloods"); // else the server does, and bob searches through pat
    QTest::addColumn<int>("flood");         // costly searches before each of bob's
    QTest::newRow("the server, past its share") << false << 4;
    QTest::newRow("the parent, 1,740 a second") << true << 557;
}

void tst_SearchAnswering::floodThroughOneSource()
{
    QFETCH(bool, parentFloods);
    QFETCH(int, flood);
    DNetTestEnv env;
    QVERIFY(env.logIn());
    auto pat = env.AddParent("pat"), kid = env.AddChild("kid"), bob = env.DialMessaging(false);
    QVERIFY(pat && kid && bob);
    HeldClock held(QDateTime(QDate(2026, 1, 1), QTime(12, 0)));
    // A search for alpha looks at more files than it may, and costs its whole budget.
    const ItemPtr root = Shares::Root("/m");
    for (int k = 0; k <= 40; ++k)
        Shares::AddFile(root, "/m", k < 40 ? "alpha " + std::to_string(k) : "tune");
    const TurnBudget::StepsForTesting cut(16);
    QSignalSpy searches(&env.dnet(), &DNetManager::DNetSearchRequest);
    LogLines log("Search");
    const auto send = [&](bool throughPat, const QByteArray& body, int times) {
        pat->SendRaw(FakePeer::Frame(body).repeated(throughPat ? times : 0));
        for (int n = 0; n < times && !throughPat; ++n)
            env.fake().sendMessage(ServerCode::DNetMessage, body);
        const qsizetype sent = searches.count() + times;
        return QTest::qWaitFor([&] { return searches.count() == sent; });
    };
    // In each tick of 320 ms a source's share grows by three searches' budget.
    const int asks = 40, tickMs = 320;
    for (int k = 0; k < asks; ++k, Clock::AdvanceMs(tickMs)) {
        QVERIFY(send(parentFloods, DNetTestEnv::SearchBody("eve", k, "alpha *zzz"), flood));
        QVERIFY(send(!parentFloods, DNetTestEnv::SearchBody("bob", k, "tune"), 1));
    }
    QCOMPARE(int(log.lines.filter("results to user bob").size()), asks);
    const qint64 share = SharedFoldersManager::kSearchSourceBurstMs +
                         (asks - 1) * tickMs * SharedFoldersManager::kSearchSourceNsPerMs / 1000000;
    QCOMPARE(int(log.lines.filter("user eve given up").size()),
             int((share - 1) / SharedFoldersManager::kSearchMs) + 1);
    // Passed down: all of bob's searches, the flood's as far as its source's share.
    QTRY_COMPARE(int(kid->Pending().count("bob")), asks);
    const qint64 relays = DNetManager::kRelayedSearchesPerSecondPerSource;
    QVERIFY(kid->Pending().count("eve") <= relays + (asks - 1) * tickMs * relays / 1000);
}

QTEST_GUILESS_MAIN(tst_SearchAnswering)
#include "tst_searchanswering.moc"

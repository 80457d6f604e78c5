#include "PeerTestEnv.h"

#include "peer/PeerMessages.h"
#include "peer/ReceivedShareList.h"
#include "store/Settings.h"
#include "support/MemStreamBytes.h"
#include "support/PeerBodies.h"

#include <QThread>

#include <zlib.h>

namespace {

const QByteArray kSong = FileRecord("\\music\\a.mp3", 10, {{0, 192}, {1, 245}, {2, 1}}, "mp3");
const QByteArray kClip = FileRecord("\\music\\b.ogg", 20);

const QByteArray kTail = WireWriter().u8(1).u32(5000).u32(3).u32(0);

// A share-list body of folders holding so many records each. The records are empty (code 0), one
// byte each: a list of a million of them is a megabyte, and reads as one file per folder.
QByteArray EmptyRecordsList(const QList<QPair<QByteArray, quint32>>& folders)
{
    WireWriter w;
    w.u32(quint32(folders.size()));
    for (const auto& [path, files] : folders)
        w.str(path).u32(files).raw(QByteArray(qsizetype(files), '\0'));
    return w.u32(0);
}

// Folders holding entries folders and files in all, at most 131,072 records to a folder.
QByteArray ListOfEntries(quint32 entries)
{
    QList<QPair<QByteArray, quint32>> folders;
    for (int k = 0; entries > 0; ++k) {
        const quint32 files = qMin<quint32>(entries - 1, 131072);
        folders.append({"\\f" + QByteArray::number(k), files});
        entries -= files + 1;
    }
    return EmptyRecordsList(folders);
}

// That many empty folders with distinct paths of pathLength bytes (at least 7), and one more
// named extra if it is not empty.
QByteArray ListOfFolders(int count, int pathLength, const QByteArray& extra = QByteArray())
{
    WireWriter w;
    w.u32(quint32(count + (extra.isEmpty() ? 0 : 1)));
    for (int k = 0; k < count; ++k) {
        const QByteArray number = QByteArray::number(k);
        w.str(QByteArray(pathLength - number.size(), 'p') + number).u32(0);
    }
    if (!extra.isEmpty())
        w.str(extra).u32(0);
    return w.u32(0);
}

QByteArray Compressed(quint32 code, const QByteArray& body)
{
    return WireWriter().u32(code).raw(Zlib(body));
}

QString Text(const std::string& s)
{
    return QString::fromStdString(s);
}

// Every codec signal, written down as "Name(arg, arg, ...)": texts as they are, a folder map
// or a table by its size, search results by their files.
class Emitted
{
public:
    explicit Emitted(PeerMessenger& p)
    {
        const QMetaObject& mo = PeerMessenger::staticMetaObject;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
            const QMetaMethod m = mo.method(i);
            if (m.methodType() == QMetaMethod::Signal && !m.name().contains("Connection"))
                m_spies.push_back(std::make_unique<QSignalSpy>(&p, m));
        }
    }

    QStringList Lines()
    {
        QStringList lines;
        for (const auto& spy : m_spies) {
            for (const QList<QVariant>& args : *spy) {
                QStringList texts;
                for (const QVariant& v : args)
                    texts << Format(v);
                const QByteArray name = spy->signal().left(spy->signal().indexOf('('));
                lines << QStringLiteral("%1(%2)").arg(QLatin1String(name), texts.join(", "));
            }
        }
        return lines;
    }
    void Clear()
    {
        for (const auto& spy : m_spies)
            spy->clear();
    }

private:
    static QString Format(const QVariant& v)
    {
        if (v.metaType() == QMetaType::fromType<std::string>())
            return Text(v.value<std::string>());
        if (v.metaType() == QMetaType::fromType<FileInfoMap>())
            return QString::number(v.value<FileInfoMap>().size());
        if (v.metaType() == QMetaType::fromType<AttributeTranslationTable>())
            return QString::number(v.value<AttributeTranslationTable>().size());
        if (v.metaType() == QMetaType::fromType<ItemPtr>())
            return QString::number(v.value<ItemPtr>().GetItems("search_result").size());
        return v.toString();
    }
    std::vector<std::unique_ptr<QSignalSpy>> m_spies;
};

// Bob, connected to us over a messaging connection; what he sends is handed straight to the
// manager's reader, whose verdict (keep or dispose) the tests read.
class BobConnected
{
public:
    BobConnected()
    {
        peer = env.DialMessaging(false);
        if (peer)
            socket = ItemPtr(d.GetType("peer_socket")->GetItems().First()).AsPointer<QTcpSocket>();
    }
    // A share list read on a thread of its own is waited for; kept is then whether the
    // connection is still there.
    bool Feed(const QByteArray& message)
    {
        const bool kept = env.peer().HandleMessage(socket, StreamOf(message));
        env.peer().WaitForShareLists();
        return kept && d.GetType("peer_socket")->HasItem(Value(socket));
    }

    PeerTestEnv env;
    std::unique_ptr<FakePeer> peer;
    QTcpSocket* socket = nullptr;
    Emitted emitted{env.peer()};
};

ItemPtr SearchRequest(quint32 token)
{
    return d.GetType("search_request")->NewItem(Value(token));
}

} // namespace

// Peer messages after the first frame: what each code read makes of its bytes, what the
// builders put on the wire, and the compressed bodies.
class tst_PeerCodec : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void codeNames_data();
    void codeNames();
    void plainMessages_data();
    void plainMessages();
    void truncatedMessagesLeaveNoTrace();
    void refusedMessageClosesConnection();
    void builders();
    void searchReply_data();
    void searchReply();
    void compressedBodyLimits_data();
    void compressedBodyLimits();
    void shareListTakenOnlyWhenAsked();
    void shareListCaps_data();
    void shareListCaps();
    void shareListReadsAsTheMap_data();
    void shareListReadsAsTheMap();
    void shareListRequestsAndReplies_data();
    void shareListRequestsAndReplies();
    void bigListsReadOneAtATime_data();
    void bigListsReadOneAtATime();
    void signalsCrossThreads();
    void inflate_data();
    void inflate();
    void compress_data();
    void compress();
};

void tst_PeerCodec::codeNames_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("44") << 44 << "PM_UPLOAD_PLACE_IN_LINE";
    QTest::newRow("1") << 1 << "PM_SAY";
    QTest::newRow("52") << 52 << "PM_NOTHING";
    QTest::newRow("2") << 2 << "2 (unknown)";
    QTest::newRow("-1") << -1 << "-1 (unknown)";
}

void tst_PeerCodec::codeNames()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    QCOMPARE(PeerMessenger::MessageCodeToString(code), name);
}

void tst_PeerCodec::plainMessages_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<QStringList>("emitted");
    const auto row = [](const char* name, const QByteArray& message, bool kept,
                        const QStringList& emitted) {
        QTest::newRow(name) << message << kept << emitted;
    };
    const auto m = [](quint32 code) { return WireWriter().u32(code); };
    const QByteArray a = WireWriter().str("a.mp3");
    row("40 upload offer", m(40).u32(1).u32(7).raw(a).u64(100), true,
        {"FileTransferRequested(bob, 1, 7, a.mp3, 100)"});
    row("40 download request, no size", m(40).u32(0).u32(7).raw(a), true,
        {"FileTransferRequested(bob, 0, 7, a.mp3, 0)"});
    row("40 download request, size ignored", m(40).u32(0).u32(7).raw(a).u64(100), true,
        {"FileTransferRequested(bob, 0, 7, a.mp3, 0)"});
    row("40 upload offer without size", m(40).u32(1).u32(7).raw(a), false, {});
    row("41 allowed with size", m(41).u32(9).u8(1).u64(12345), true,
        {"FileTransferResponse(bob, 9, true, true, 12345, )"});
    row("41 allowed, exactly 9 bytes", m(41).u32(9).u8(1), true,
        {"FileTransferResponse(bob, 9, true, false, 0, )"});
    row("41 allowed, size cut short", m(41).u32(9).u8(5).u32(77), true,
        {"FileTransferResponse(bob, 9, true, false, 0, )"});
    row("41 denied", m(41).u32(9).u8(0).str("Queued"), true,
        {"FileTransferResponse(bob, 9, false, false, 0, Queued)"});
    row("43", m(43).raw(a), true, {"QueueUploadRequested(bob, a.mp3)"});
    row("43 name cut at NUL", m(43).str(QByteArray("a.mp3\0.exe", 10)), true,
        {"QueueUploadRequested(bob, a.mp3)"});
    row("43 name over 131072 bytes", m(43).u32(131073).raw(QByteArray(131073, 'n')), false, {});
    row("44", m(44).raw(a).u32(3), true, {"DownloadPlaceInLine(bob, a.mp3, 3)"});
    row("44, a place past 2^31", m(44).raw(a).u32(0xffffffff), true,
        {"DownloadPlaceInLine(bob, a.mp3, 4294967295)"});
    row("44 without place", m(44).raw(a), false, {});
    row("46", m(46).raw(a), true, {"UploadFailed(bob, a.mp3)"});
    row("50", m(50).raw(a).str("Banned"), true, {"UploadDenied(bob, a.mp3, Banned)"});
    row("36", m(36).u32(7).str("\\data\\Music"), true,
        {"SharedFilesInFolderRequested(bob, 7, \\data\\Music)"});
    row("99, unknown", m(99).u32(1), true, {});
    row("no code", QByteArray("\x01\x02", 2), false, {});
}

void tst_PeerCodec::plainMessages()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, kept);
    QFETCH(QStringList, emitted);
    BobConnected bob;
    QVERIFY(bob.peer);
    PeerLog log;
    QCOMPARE(bob.Feed(message), kept);
    QCOMPARE(bob.emitted.Lines(), emitted);
    if (message.size() < 4) {
        QVERIFY(log.Has("Could not read message code on connection to user bob, disposing of "
                        "socket"));
    } else {
        const int code = qFromLittleEndian<qint32>(message.constData());
        QVERIFY(log.Has(QStringLiteral("Received %1 message from user bob")
                            .arg(PeerMessenger::MessageCodeToString(code))));
    }
}

void tst_PeerCodec::truncatedMessagesLeaveNoTrace()
{
    BobConnected bob;
    QVERIFY(bob.peer);
    SearchRequest(7);
    PeerMessenger& p = bob.env.peer();
    p.GetUserSharedFiles("bob");
    const QByteArray share =
        WireWriter().u32(1).str("\\music").u32(1).raw(FileRecord("a.mp3", 1)).u32(0);
    const QList<QByteArray> messages = {
        WireWriter().u32(40).u32(1).u32(7).str("a.mp3").u64(100),
        WireWriter().u32(41).u32(9).u8(0).str("Queued"),
        WireWriter().u32(43).str("a.mp3"),
        WireWriter().u32(44).str("a.mp3").u32(3),
        WireWriter().u32(46).str("a.mp3"),
        WireWriter().u32(50).str("a.mp3").str("Banned"),
        WireWriter().u32(36).u32(7).str("\\music"),
        Compressed(9, ReplyBody("bob", 7, 2, kSong + kClip, QByteArray())),
        Compressed(5, share),
    };
    for (const QByteArray& m : messages) {
        const size_t items = d.ItemCount();
        for (qsizetype cut = 4; cut < m.size(); ++cut) {
            QVERIFY2(!bob.Feed(m.left(cut)), m.left(cut).toHex().constData());
            QCOMPARE(bob.emitted.Lines(), QStringList());
            QCOMPARE(d.ItemCount(), items);
        }
        QVERIFY(bob.Feed(m));
        QCOMPARE(bob.emitted.Lines().size(), 1);
        bob.emitted.Clear();
    }
}

void tst_PeerCodec::refusedMessageClosesConnection()
{
    PeerTestEnv env;
    auto bob = env.DialMessaging(false);
    QVERIFY(bob);
    // An unasked share list is dropped unread, the connection kept...
    bob->SendFrame(WireWriter().u32(5).raw("not even zlib"));
    // ...a transfer request cut short ends it.
    bob->SendFrame(WireWriter().u32(40).u32(1).u32(7));
    QVERIFY(bob->WaitForDisconnected());
    QCOMPARE(PeerTestEnv::Count("peer_socket"), size_t(0));
}

void tst_PeerCodec::builders()
{
    PeerTestEnv env;
    auto bob = env.DialMessaging(false);
    QVERIFY(bob);
    PeerMessenger& p = env.peer();
    PeerTestEnv::SetSetting("transfer_req_counter", "7");
    QList<uint> tokens;
    const QList<QPair<std::function<void()>, QByteArray>> builders = {
        {[&p] { p.GetUserSharedFiles("bob"); }, Hex("04000000")},
        {[&p] { p.QueueDownload("bob", "a.mp3"); }, Hex("2b000000 05000000 612e6d7033")},
        {[&p] { p.AcceptTransferRequest("bob", 7, true, 20); },
         Hex("29000000 07000000 01 1400000000000000")},
        {[&p] { p.AcceptTransferRequest("bob", 7, false, 20); }, Hex("29000000 07000000 01")},
        {[&p] { p.DenyTransferRequest("bob", 7, "Queued"); },
         Hex("29000000 07000000 00 06000000 517565756564")},
        {[&p] { p.DenyUpload("bob", "a.mp3", "Banned"); },
         Hex("32000000 05000000 612e6d7033 06000000 42616e6e6564")},
        {[&] { tokens << p.RequestUpload("bob", "a.mp3", 20); },
         Hex("28000000 01000000 07000000 05000000 612e6d7033 1400000000000000")},
        {[&] { tokens << p.RequestUpload("bob", "b.mp3", 30); },
         Hex("28000000 01000000 08000000 05000000 622e6d7033 1e00000000000000")},
    };
    for (const auto& [build, sent] : builders) {
        build();
        QByteArray body;
        QVERIFY(bob->WaitForFrame(&body));
        QCOMPARE(body.toHex(), sent.toHex());
    }
    // Each upload request takes the next token; a counter without a value starts at 0.
    QCOMPARE(tokens, QList<uint>({7, 8}));
    QCOMPARE(PeerTestEnv::Setting("transfer_req_counter"), std::string("9"));
    Settings::Remove(SettingKeys::TransferReqCounter);
    QCOMPARE(p.RequestUpload("bob", "c.mp3", 1), 0u);
    QCOMPARE(PeerTestEnv::Setting("transfer_req_counter"), std::string("1"));
}

void tst_PeerCodec::searchReply_data()
{
    QTest::addColumn<QByteArray>("earlier"); // a reply to search 6 fed first, when not empty
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<int>("results");            // search_result items of the new reply
    QTest::addColumn<QStringList>("userFields"); // available, speed, queued
    QTest::addColumn<QStringList>("song");       // the song's bitrate and length

    const auto row = [](const char* name, const QByteArray& earlier, const QByteArray& body,
                        bool kept, int results, const QStringList& userFields,
                        const QStringList& song = {"192", "245"}) {
        QTest::newRow(name) << earlier << body << kept << results << userFields << song;
    };
    const QStringList tail{"yes", "5000", "3"};
    const QByteArray both = ReplyBody("bob", 7, 2, kSong + kClip, kTail);
    row("bob's reply", {}, both, true, 2, tail);
    row("naming eve", {}, ReplyBody("eve", 7, 2, kSong + kClip, kTail), false, 0, {});
    row("search gone", {}, ReplyBody("bob", 8, 2, kSong + "junk", kTail), true, 0, {});
    row("count 0", {}, ReplyBody("bob", 7, 0, QByteArray(), kTail), true, 0, {});
    row("all listed before", ReplyBody("bob", 6, 2, kClip + kSong, kTail), both, true, 0, {});
    row("one listed before", ReplyBody("bob", 6, 1, kClip, kTail), both, true, 1, tail);
    row("no slot byte and counts", {}, ReplyBody("bob", 7, 1, kSong, QByteArray()), true, 1,
        {"no", "0", "0"});
    // Four bytes each, never negative: a queue of 2^32 - 1 is the longest, not -1.
    row("speed and queue past 2^31", {},
        ReplyBody("bob", 7, 1, kSong, WireWriter().u8(0).u32(0xffffffff).u32(0x80000000)), true, 1,
        {"no", "4294967295", "2147483648"});
    row("bitrate and length past 2^31", {},
        ReplyBody(
            "bob", 7, 1,
            FileRecord("\\music\\a.mp3", 10, {{0, qint32(0x80000000)}, {1, -1}, {2, 1}}, "mp3"),
            kTail),
        true, 1, tail, {"2147483648", "4294967295"});
    row("a repeat", {}, ReplyBody("bob", 7, 2, kSong + kSong, kTail), true, 2, tail);
    row("count over 131072", {}, ReplyBody("bob", 7, 131073, kSong, kTail), false, 0, {});
    row("count negative", {}, ReplyBody("bob", 7, 0xffffffff, kSong, kTail), false, 0, {});
    row("fewer records than counted", {}, ReplyBody("bob", 7, 3, kSong + kClip, QByteArray()),
        false, 0, {});
}

void tst_PeerCodec::searchReply()
{
    QFETCH(QByteArray, earlier);
    QFETCH(QByteArray, body);
    QFETCH(bool, kept);
    QFETCH(int, results);
    QFETCH(QStringList, userFields);
    QFETCH(QStringList, song);
    BobConnected bob;
    QVERIFY(bob.peer);
    SearchRequest(6);
    ItemPtr request = SearchRequest(7);
    if (!earlier.isEmpty()) {
        QVERIFY(bob.Feed(Compressed(9, earlier)));
        bob.emitted.Clear();
    }
    const size_t before = PeerTestEnv::Count("search_results");

    QCOMPARE(bob.Feed(Compressed(9, body)), kept);
    ItemPtr reply = request["search_results"];
    if (results == 0) {
        QVERIFY(!reply);
        QCOMPARE(PeerTestEnv::Count("search_results"), before);
        QCOMPARE(bob.emitted.Lines(), QStringList());
        return;
    }
    QCOMPARE(bob.emitted.Lines(), QStringList{QStringLiteral("SearchResults(%1)").arg(results)});
    QCOMPARE(reply["user"].AsString(), std::string("bob"));
    const QStringList got = {Text(reply["search_results_user_available"].AsString()),
                             Text(reply["search_results_user_speed"].AsString()),
                             Text(reply["search_results_uploads_in_queue"].AsString())};
    QCOMPARE(got, userFields);
    const ItemSet files = reply.GetItems("search_result");
    QCOMPARE(files.size(), size_t(results));
    // The song, wherever it is listed: its path split, its size and its audio attributes.
    for (Item* i : files) {
        ItemPtr file(i);
        QCOMPARE(file["search_result_file_folder"].AsString(), std::string("\\music"));
        if (file["search_result_file_name"].AsString() != "a.mp3")
            continue;
        QCOMPARE(file["file_size"].AsString(), std::string("10"));
        QCOMPARE(QStringList(
                     {Text(file["bitrate"].AsString()), Text(file["length_seconds"].AsString())}),
                 song);
        QCOMPARE(file["bitrate_mode"].AsString(), std::string("vbr"));
    }
}

void tst_PeerCodec::compressedBodyLimits_data()
{
    QTest::addColumn<quint32>("code");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<int>("emitted");

    const QByteArray reply = ReplyBody("bob", 7, 1, kSong, kTail);
    const auto padded = [](QByteArray body, qsizetype size) {
        return body + QByteArray(size - body.size(), '\0');
    };
    const qsizetype replyCap = kMaxSearchReplyBytes;
    QTest::newRow("9 inflating to exactly the cap")
        << 9u << Compressed(9, padded(reply, replyCap)) << true << 1;
    QTest::newRow("9 one byte over")
        << 9u << Compressed(9, padded(reply, replyCap + 1)) << false << 0;
    QByteArray corrupt = Compressed(9, reply);
    corrupt[corrupt.size() / 2] = char(corrupt[corrupt.size() / 2] ^ 0x55);
    corrupt[corrupt.size() - 2] = char(corrupt[corrupt.size() - 2] ^ 0x55);
    QTest::newRow("9 corrupt") << 9u << corrupt << false << 0;
    QTest::newRow("9 truncated") << 9u << Compressed(9, reply).chopped(3) << false << 0;
    QTest::newRow("9 not zlib") << 9u << WireWriter().u32(9).raw(reply).bytes() << false << 0;
    QTest::newRow("9 bytes after the stream")
        << 9u << Compressed(9, reply) + "trailing" << true << 1;

    // A share list may be far larger than a search reply.
    const QByteArray share = WireWriter().u32(1).str("\\music").u32(1).raw(kSong).u32(0);
    QTest::newRow("5 past the search reply cap")
        << 5u << Compressed(5, padded(share, replyCap + 1)) << true << 1;
    QTest::newRow("5 corrupt") << 5u << WireWriter().u32(5).raw("\x78\xda garbage").bytes() << false
                               << 0;
}

void tst_PeerCodec::compressedBodyLimits()
{
    QFETCH(quint32, code);
    QFETCH(QByteArray, message);
    QFETCH(bool, kept);
    QFETCH(int, emitted);
    BobConnected bob;
    QVERIFY(bob.peer);
    SearchRequest(7);
    bob.env.peer().GetUserSharedFiles("bob");
    QCOMPARE(bob.Feed(message), kept);
    QCOMPARE(bob.emitted.Lines().size(), emitted);
    QCOMPARE(PeerTestEnv::Count("search_results"), size_t(code == 9 ? emitted : 0));
}

void tst_PeerCodec::shareListTakenOnlyWhenAsked()
{
    BobConnected bob;
    QVERIFY(bob.peer);
    PeerLog log;
    const QByteArray folder = WireWriter().str("\\music").u32(2).raw(kSong).raw(kClip);
    const QByteArray list = Compressed(
        5, WireWriter().u32(2).raw(folder).str("\\video").u32(0).u32(1).u32(0).str("bitrate"));
    QVERIFY(bob.Feed(list));
    QCOMPARE(bob.emitted.Lines(), QStringList());
    QVERIFY(log.Has("Shared file list from user bob was not asked for, dropping it"));

    bob.env.peer().GetUserSharedFiles("bob");
    QSignalSpy shares(&bob.env.peer(), &PeerMessenger::UserShare);
    QVERIFY(bob.Feed(list));
    QCOMPARE(bob.emitted.Lines(), QStringList{"UserShare(bob, 2, 1)"});
    FileInfoMap folders = shares.at(0).at(1).value<FileInfoMap>();
    const std::set<FileInfo>& music = folders["\\music"];
    QCOMPARE(music.size(), size_t(2));
    QCOMPARE(music.begin()->name, std::string("\\music\\a.mp3"));
    QCOMPARE(music.begin()->attributes.attributes.size(), size_t(3));
    QCOMPARE(folders["\\video"].size(), size_t(0));
    QCOMPARE(shares.at(0).at(2).value<AttributeTranslationTable>(),
             (AttributeTranslationTable{{0, "bitrate"}}));

    // One list per request: the next one is unasked again.
    QVERIFY(bob.Feed(list));
    QCOMPARE(bob.emitted.Lines().size(), 1);

    // An attribute table cut short: the list still counts, with no table.
    bob.env.peer().GetUserSharedFiles("bob");
    QVERIFY(bob.Feed(Compressed(5, WireWriter().u32(1).str("\\m").u32(0).u32(2).u32(0))));
    QCOMPARE(bob.emitted.Lines().last(), QStringLiteral("UserShare(bob, 1, 0)"));
}

void tst_PeerCodec::shareListCaps_data()
{
    QTest::addColumn<QByteArray>("list"); // inflated
    QTest::addColumn<int>("check");
    QTest::addColumn<int>("folders"); // in the list taken (-1: refused)

    const auto row = [](const char* name, const QByteArray& list, ShareListCheck check,
                        int folders) { QTest::newRow(name) << list << int(check) << folders; };
    const int atCap = int((kMaxShareListEntries + 131072) / 131073);
    row("entries at the cap", ListOfEntries(kMaxShareListEntries), ShareListCheck::Ok, atCap);
    row("entries one over", ListOfEntries(kMaxShareListEntries + 1), ShareListCheck::TooManyEntries,
        -1);
    // Slashes and backslashes both separate.
    const int depth = int(kMaxShareListDepth);
    const QByteArray deep = QByteArray("a\\").repeated(depth - 1) + "a";
    row("depth at the cap", EmptyRecordsList({{deep, 1}}), ShareListCheck::Ok, 1);
    row("depth one over", EmptyRecordsList({{"x", 0}, {deep + "/b", 1}}), ShareListCheck::TooDeep,
        -1);
    // What the list keeps of a path ends at its first NUL.
    const int length = int(kMaxShareListPathLength);
    row("path at the cap",
        EmptyRecordsList({{QByteArray(length, 'p') + QByteArray(1, '\0') + "tail", 0}}),
        ShareListCheck::Ok, 1);
    row("path one over", EmptyRecordsList({{QByteArray(length + 1, 'p'), 0}}),
        ShareListCheck::PathTooLong, -1);
    // The folder count is weighed before a folder is read.
    const int most = int(kMaxShareListFolders);
    row("folders at the cap", ListOfFolders(most, 1), ShareListCheck::Ok, most);
    row("folders one over", ListOfFolders(most + 1, 1), ShareListCheck::TooManyFolders, -1);
    // Paths as long as a path may be, as many as the paths together may take, then a byte more.
    const int longest = int(kMaxShareListFolderPathBytes / kMaxShareListPathLength);
    row("path bytes at the cap", ListOfFolders(longest, length), ShareListCheck::Ok, longest);
    row("path bytes one over", ListOfFolders(longest, length, "x"), ShareListCheck::PathsTooLong,
        -1);
    row("malformed", WireWriter().u32(1).str("\\music").u32(1).raw(kSong.chopped(4)),
        ShareListCheck::Malformed, -1);
}

void tst_PeerCodec::shareListCaps()
{
    QFETCH(QByteArray, list);
    QFETCH(int, check);
    QFETCH(int, folders);
    QCOMPARE(int(CheckShareList(list.constData(), list.size())), check);

    // Through the messaging connection: a list over a cap is refused whole, makes nothing, and
    // is reported as a browse that failed; the connection stays.
    BobConnected bob;
    QVERIFY(bob.peer);
    PeerLog log;
    QSignalSpy failed(&bob.env.peer(), &PeerMessenger::ConnectionToUserFailed);
    bob.env.peer().GetUserSharedFiles("bob");
    const size_t items = d.ItemCount();
    bob.peer->SendFrame(Compressed(5, list));
    if (check == int(ShareListCheck::Malformed)) {
        QVERIFY(bob.peer->WaitForDisconnected());
    } else {
        QTRY_VERIFY(bob.emitted.Lines().size() + failed.size() > 0);
        QVERIFY(bob.peer->IsConnected());
    }
    if (folders >= 0) {
        QCOMPARE(bob.emitted.Lines(),
                 QStringList{QStringLiteral("UserShare(bob, %1, 0)").arg(folders)});
        QCOMPARE(failed.size(), 0);
        return;
    }
    QCOMPARE(bob.emitted.Lines(), QStringList());
    if (check == int(ShareListCheck::Malformed))
        return;
    QCOMPARE(d.ItemCount(), items);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed[0][1].value<std::string>(), std::string("P"));
    QCOMPARE(log.lines.filter("Shared file list from user bob refused: ").size(), 1);
    // The request is answered: a list that comes after it was not asked for.
    QVERIFY(bob.Feed(Compressed(5, EmptyRecordsList({{"a", 0}}))));
    QCOMPARE(bob.emitted.Lines(), QStringList());
}

namespace {

// A folder map in its words: "path: name size [code=value...]" lines, folders in map order.
QStringList Described(const FileInfoMap& folders, const AttributeTranslationTable& names)
{
    QStringList lines;
    for (const auto& [path, files] : folders) {
        lines << QString::fromStdString(path).toUtf8().toHex() + ":";
        for (const FileInfo& file : files) {
            QString line = "  " + QString::fromStdString(file.name).toUtf8().toHex() + " " +
                           QString::number(file.size) + " " +
                           QString::fromStdString(file.attributes.extension);
            for (const auto& [code, value] : file.attributes.attributes)
                line += QStringLiteral(" %1=%2").arg(code).arg(value);
            lines << line;
        }
    }
    for (const auto& [code, name] : names)
        lines << QStringLiteral("%1 is %2").arg(code).arg(QString::fromStdString(name));
    return lines;
}

} // namespace

void tst_PeerCodec::bigListsReadOneAtATime_data()
{
    QTest::addColumn<int>("connections"); // of bob's, each sending a list
    QTest::addColumn<int>("behind");      // megabytes each streams behind its list
    QTest::newRow("one connection") << 1 << 0;
    QTest::newRow("16 connections") << 16 << 0;
    QTest::newRow("streaming behind the list") << 1 << 48;
}

void tst_PeerCodec::bigListsReadOneAtATime()
{
    QFETCH(int, connections);
    QFETCH(int, behind);
    PeerTestEnv env;
    env.peer().SetInlineShareListBytesForTesting(1);
    env.peer().HoldShareListReadsForTesting(true);
    std::vector<std::unique_ptr<FakePeer>> bobs;
    while (int(bobs.size()) < connections)
        QVERIFY(bobs.emplace_back(env.DialMessaging(false)));
    PeerLog log;
    QSignalSpy shares(&env.peer(), &PeerMessenger::UserShare);
    QSignalSpy after(&env.peer(), &PeerMessenger::QueueUploadRequested);
    env.peer().GetUserSharedFiles("bob");
    for (const auto& bob : bobs) {
        bob->SendFrame(Compressed(5, ListOfEntries(1000)));
        for (int k = 0; k < behind; ++k)
            bob->SendFrame(WireWriter().u32(99).raw(QByteArray(1 << 20, 'x')));
        bob->SendFrame(WireWriter().u32(43).str("after"));
    }
    // The lists but the one taken are dropped as they come; the connection of the one taken
    // waits, holding no more than its bound of what follows.
    QTRY_COMPARE(after.size(), connections - 1);
    QTest::qWait(behind > 0 ? 500 : 0);
    auto* paused = ItemPtr(d.GetType("peer_socket")->GetItems().First()).AsPointer<QTcpSocket>();
    QVERIFY(paused->bytesAvailable() <= PeerMessenger::kMaxPausedReadBytes + 65536);
    QCOMPARE(shares.size(), 0);
    QCOMPARE(log.lines.filter("Shared file list from user bob").size(), connections > 1 ? 1 : 0);
    env.peer().HoldShareListReadsForTesting(false);
    QTRY_COMPARE(after.size(), connections);
    QCOMPARE(shares.size(), 1);
}

void tst_PeerCodec::shareListReadsAsTheMap_data()
{
    QTest::addColumn<QByteArray>("list");
    const QByteArray a = FileRecord("a.mp3", 1, {{0, 128}, {0, 192}}, "mp3");
    const QByteArray b = FileRecord("b.ogg", 2);
    QTest::newRow("in map order") << QByteArray(
        WireWriter().u32(2).str("m").u32(2).raw(a).raw(b).str("m\\x").u32(0).u32(0));
    QTest::newRow("out of order, files too") << QByteArray(WireWriter()
                                                               .u32(3)
                                                               .str("z")
                                                               .u32(2)
                                                               .raw(b)
                                                               .raw(a)
                                                               .str("a\\b")
                                                               .u32(1)
                                                               .raw(b)
                                                               .str("a")
                                                               .u32(0)
                                                               .u32(0));
    // The later folder of a path replaces the earlier; of a name and size twice, the first
    // counts; a name of another size is another file.
    QTest::newRow("a path twice, a file twice")
        << QByteArray(WireWriter()
                          .u32(2)
                          .str("m")
                          .u32(1)
                          .raw(a)
                          .str("m")
                          .u32(3)
                          .raw(FileRecord("a.mp3", 1, {{1, 300}}, "x"))
                          .raw(a)
                          .raw(FileRecord("a.mp3", 9))
                          .u32(0));
    // Texts end at their first NUL; a record with code 0 is an empty file.
    QTest::newRow("NULs and empty records")
        << QByteArray(WireWriter()
                          .u32(2)
                          .str(QByteArray("m\0tail", 6))
                          .u32(3)
                          .u8(0)
                          .raw(FileRecord(QByteArray("c\0d.mp3", 7), 3))
                          .u8(0)
                          .str("m")
                          .u32(0)
                          .u32(0));
    QTest::newRow("attribute names") << QByteArray(
        WireWriter().u32(1).str("m").u32(1).raw(b).u32(2).u32(0).str("bitrate").u32(1).str(
            "length"));
    QTest::newRow("attribute names cut short")
        << QByteArray(WireWriter().u32(1).str("m").u32(1).raw(b).u32(2).u32(0).str("bitrate"));
    QTest::newRow("no folders") << QByteArray(WireWriter().u32(0));
}

void tst_PeerCodec::shareListReadsAsTheMap()
{
    QFETCH(QByteArray, list);
    BytesInputStream in(list);
    FileInfoMap folders;
    QVERIFY(in.Read(folders));
    AttributeTranslationTable names;
    if (!in.Read(names))
        names.clear();

    std::vector<ShareListFolder> index;
    qsizetype mapEnd = 0;
    QCOMPARE(int(CheckShareList(list.constData(), list.size(), &index, &mapEnd)),
             int(ShareListCheck::Ok));
    const ReceivedShareList read(list, index, mapEnd);
    QCOMPARE(Described(read.ToMap(), read.Attributes()), Described(folders, names));
    // Kept as it came, and read back the same from a map.
    const auto again = ReceivedShareList::FromMap(folders);
    QCOMPARE(Described(again->ToMap(), {}), Described(folders, {}));
    // Folder by folder, as a tree is built from it.
    QCOMPARE(read.Folders().size(), folders.size());
    std::vector<ShareListFile> files;
    auto folder = folders.begin();
    for (const ShareListFolder& listed : read.Folders()) {
        QCOMPARE(std::string(read.Path(listed)), folder->first);
        read.ReadFiles(listed, files);
        QCOMPARE(files.size(), folder->second.size());
        ++folder;
    }
}

void tst_PeerCodec::shareListRequestsAndReplies_data()
{
    QTest::addColumn<bool>("scrambled");
    QTest::addColumn<int>("size"); // of each reply's body
    // Replies go out in pieces from their one buffer: a piece and a half, and many with a tail
    // that ends off a group of four.
    QTest::newRow("plain") << false << int(PeerOutbox::kPiece * 3 / 2);
    QTest::newRow("scrambled") << true << int(PeerOutbox::kPiece * 3 / 2);
    QTest::newRow("scrambled, many pieces") << true << int(PeerOutbox::kPiece * 40 + 3);
}

void tst_PeerCodec::shareListRequestsAndReplies()
{
    QFETCH(bool, scrambled);
    QFETCH(int, size);
    auto env = std::make_unique<PeerTestEnv>();
    PeerLog log;
    auto bob = env->DialMessaging(scrambled);
    QVERIFY(bob);
    const QByteArray request = Hex("04000000");
    // Without a hook (no shares) nobody is answered, and nothing breaks.
    env->peer().SetShareListHook({});
    bob->SendFrame(request);
    QTRY_VERIFY(log.Has("Received PM_GET_SHARED_FILE_LIST message from user bob"));

    // Each request is the hook's to answer, in its turn.
    QStringList asked;
    env->peer().SetShareListHook([&asked](const std::string& user) { asked << Text(user); });
    bob->SendFrame(request);
    bob->SendFrame(request);
    QTRY_COMPARE(asked, (QStringList{"bob", "bob"}));

    // Two replies sharing one buffer and a message between them arrive whole and in order, the
    // second reply and the message waiting behind the first.
    QByteArray list(size, Qt::Uninitialized);
    for (int k = 0; k < size; ++k)
        list[k] = char(k * 7 + k / 251);
    list = Hex("05000000") + list;
    env->peer().SendReply("bob", list);
    env->peer().SendMessage("bob", Message(51, "between"));
    env->peer().SendReply("bob", list);
    for (const QByteArray& expected : {list, Hex("33000000") + "between", list}) {
        QByteArray body;
        QVERIFY(bob->WaitForFrame(&body, 20000));
        QVERIFY2(body == expected, qPrintable(QString::number(body.size())));
    }
    QTRY_COMPARE(env->peer().WaitingToGo().Total(), qint64(0));

    // A reply still waiting when the manager goes goes with it.
    bob->Socket()->setReadBufferSize(1);
    env->peer().SendReply("bob", list);
    env->peer().SendReply("bob", list);
    QVERIFY(env->peer().WaitingToGo().Total() > 0);
    bob.reset();
    env.reset();
}

void tst_PeerCodec::signalsCrossThreads()
{
    BobConnected bob;
    QVERIFY(bob.peer);
    QThread worker;
    QObject receiver;
    receiver.moveToThread(&worker);
    worker.start();
    FileInfoMap got;
    QThread* ranOn = nullptr;
    QAtomicInt calls = 0;
    QObject::connect(
        &bob.env.peer(), &PeerMessenger::UserShare, &receiver,
        [&](std::string, const FileInfoMap& folders, const AttributeTranslationTable&) {
            ranOn = QThread::currentThread();
            got = folders;
            calls.ref();
        },
        Qt::QueuedConnection);
    bob.env.peer().GetUserSharedFiles("bob");
    QVERIFY(bob.Feed(Compressed(5, WireWriter().u32(1).str("\\m").u32(1).raw(kClip).u32(0))));
    QTRY_COMPARE(calls.loadAcquire(), 1);
    worker.quit();
    worker.wait();
    QCOMPARE(ranOn, &worker);
    QCOMPARE(got["\\m"].begin()->name, std::string("\\music\\b.ogg"));
}

void tst_PeerCodec::inflate_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("cap");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("size");
    const int ok = int(ZInflateResult::Ok);
    const int corrupt = int(ZInflateResult::Corrupt);
    const int tooLarge = int(ZInflateResult::TooLarge);
    const QByteArray k1000(1000, 'k');
    QTest::newRow("under the cap") << Zlib(k1000.left(999)) << 1000 << ok << 999;
    QTest::newRow("exactly the cap") << Zlib(k1000) << 1000 << ok << 1000;
    QTest::newRow("one byte over") << Zlib(k1000 + "k") << 1000 << tooLarge << 0;
    QTest::newRow("far over, many rounds")
        << Zlib(QByteArray(1 << 22, 'z')) << (1 << 20) << tooLarge << 0;
    QTest::newRow("empty body") << Hex("78da 0300 00000001") << 1000 << ok << 0;
    QTest::newRow("no bytes") << QByteArray() << 1000 << corrupt << 0;
    QTest::newRow("not zlib") << QByteArray("plain text") << 1000 << corrupt << 0;
    QTest::newRow("cut short") << Zlib(k1000).chopped(1) << 1000 << corrupt << 0;
    QTest::newRow("trailing bytes") << Zlib(k1000) + "tail" << 1000 << ok << 1000;

    // Output ends exactly at the cap, but the stream's end comes in a block of its own.
    z_stream z{};
    QByteArray out(4096, '\0');
    deflateInit(&z, 9);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(k1000.constData()));
    z.avail_in = uInt(k1000.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FULL_FLUSH);
    deflate(&z, Z_FINISH);
    out.resize(qsizetype(z.total_out));
    deflateEnd(&z);
    QTest::newRow("exactly the cap, end marker apart") << out << 1000 << ok << 1000;
}

void tst_PeerCodec::inflate()
{
    QFETCH(QByteArray, input);
    QFETCH(int, cap);
    QFETCH(int, result);
    QFETCH(int, size);
    QByteArray out("stale");
    QCOMPARE(int(ZInflate(input.constData(), input.size(), cap, &out)), result);
    QCOMPARE(out.size(), qsizetype(size));
    if (result == int(ZInflateResult::Ok))
        QCOMPARE(out, qUncompress(QByteArray(4, '\0') + input));
    // The buffer never grew past the cap on the way.
    QVERIFY(out.capacity() <= cap);
}

void tst_PeerCodec::compress_data()
{
    QTest::addColumn<QByteArray>("body");
    QByteArray noise(100000, '\0');
    quint32 x = 12345;
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    QByteArray names;
    for (int i = 0; names.size() < 3 * 1024 * 1024; ++i)
        names += "\\music\\Artist " + QByteArray::number(i % 977) + "\\" + QByteArray::number(i) +
                 " - Track.mp3" + noise.mid(i % 1000, 3);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("text") << QByteArray("share list share list share list");
    QTest::newRow("incompressible") << noise;
    QTest::newRow("several megabytes") << names;
}

void tst_PeerCodec::compress()
{
    QFETCH(QByteArray, body);
    QByteArray packed;
    QVERIFY(ZCompress(body.constData(), body.size(), &packed));
    // Byte for byte what compress2 makes at the best level, as every peer expects.
    QByteArray reference(qsizetype(compressBound(uLong(body.size()))), '\0');
    uLongf length = uLongf(reference.size());
    QCOMPARE(compress2(reinterpret_cast<Bytef*>(reference.data()), &length,
                       reinterpret_cast<const Bytef*>(body.constData()), uLong(body.size()), 9),
             Z_OK);
    reference.resize(qsizetype(length));
    QCOMPARE(packed, reference);

    MemStream message;
    QVERIFY(ZMessage(9, body.constData(), body.size(), &message));
    QCOMPARE(Contents(message), U32(9) + packed);

    // Cancelled: nothing.
    const std::atomic<bool> cancel{true};
    QVERIFY(!ZCompress(body.constData(), body.size(), &packed, &cancel));
    QCOMPARE(packed, QByteArray());
}

QTEST_GUILESS_MAIN(tst_PeerCodec)
#include "tst_peercodec.moc"

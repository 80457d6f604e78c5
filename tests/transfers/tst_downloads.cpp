// Downloads up to their file connection: adding one, asking bob for it when he comes online and
// again on the half-minute tick, his notices (44, 46, 50) and his offers (40), answered with 41.

#include "TransferTestEnv.h"

#include "store/TurnBudget.h"

#include <QPointer>

using namespace TransfersTypes;

namespace {

const std::string kFolder = "Music\\Album";
const QByteArray kPath = AlbumPath("a.mp3");
// Messages 43 and 51 for Music\Album\a.mp3, and our answers (41) to an offer with token 7.
const QByteArray kQueue = Hex("2b000000 11000000 4d757369635c416c62756d5c612e6d7033");
const QByteArray kPlace = Hex("33000000 11000000 4d757369635c416c62756d5c612e6d7033");
const QByteArray kAccepted = Hex("29000000 07000000 01");
const QByteArray kCancelled = Hex("29000000 07000000 00 09000000 43616e63656c6c6564");
const QByteArray kComplete = Hex("29000000 07000000 00 08000000 436f6d706c657465");

QByteArray ForFile(quint32 code, const QByteArray& name)
{
    return WireWriter().u32(code).str(AlbumPath(name));
}

// bob's offer (40) of a.mp3 with token 7, in a direction and with a size, when there is a
// download of the file of owner's in a status (or none); our answer (none when empty), the
// download's status and file_size afterwards, and whether bob is asked for it (43) when he
// comes online next.
struct OfferRow
{
    const char *name, *owner, *status;
    int direction;
    qint64 size;
    QByteArray reply;
    const char *after, *fileSize;
    bool askedAgain;
};
const OfferRow kOffers[] = {
    {"direction 0", "bob", "queued", 0, 5000, {}, "queued", "5000", true},
    {"no download", "", "", 1, 5000, kCancelled, "", "", false},
    {"queued with another user", "carol", "queued", 1, 5000, kCancelled, "queued", "5000", false},
    {"complete", "bob", "complete", 1, 5000, kComplete, "complete", "5000", false},
    {"queued", "bob", "queued", 1, 5000, kAccepted, "queued", "5000", true},
    {"denied", "bob", "denied", 1, 5000, kAccepted, "denied", "5000", false},
    {"aborted", "bob", "aborted", 1, 5000, kAccepted, "aborted", "5000", true},
    {"local error", "bob", "local error", 1, 5000, kAccepted, "local error", "5000", true},
    {"downloading", "bob", "downloading", 1, 5000, kAccepted, "aborted", "5000", true},
    // Another size is another file: taken, it would end "complete" with the wrong bytes (none,
    // for 0), and asked for again, it would be offered so again.
    {"size 0", "bob", "queued", 1, 0, kCancelled, "aborted", "5000", false},
    {"size 1 byte less", "bob", "queued", 1, 4999, kCancelled, "aborted", "5000", false},
    {"size 1 byte more", "bob", "aborted", 1, 5001, kCancelled, "aborted", "5000", false},
    {"size 2^62", "bob", "denied", 1, qint64(1) << 62, kCancelled, "aborted", "5000", false},
    {"size -1", "bob", "local error", 1, -1, kCancelled, "aborted", "5000", false},
    {"size 5,000,000,000, downloading", "bob", "downloading", 1, 5000000000LL, kCancelled,
     "aborted", "5000", false},
    // Carol's download of the same name from a folder of the same name writes a partial file of
    // its own: bob's has another.
    {"partial file of another download", "bob", "in use", 1, 5000, kAccepted, "queued", "5000",
     true},
};

} // namespace

class tst_Downloads : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void addedTwiceIsOneDownload_data();
    void addedTwiceIsOneDownload();
    void askedForWhenUserComesOnline();
    void notices_data();
    void notices();
    void peersNameOnlyTheirOwnDownloads();
    void inactiveStatusesOnlyStampTheTime();
    void offerAnswered_data() { AddRows(kOffers); }
    void offerAnswered();
    void tokenFollowsTheLastOffer();
    void askedAgain_data();
    void askedAgain();
    void queuedManyAtOnce_data();
    void queuedManyAtOnce();
    void arrivalNumbersFollowOn_data();
    void arrivalNumbersFollowOn();
    void foundByUserNameAndFolder_data();
    void foundByUserNameAndFolder();

private:
    ItemPtr Add(const std::string& name = "a.mp3")
    {
        return m_env->transfers().AddDownload("bob", name, kFolder, 1000, 0);
    }
    QByteArray Next() { return TransferTestEnv::NextMessage(*m_bob); }
    bool NothingMore() { return TransferTestEnv::NothingMoreSent(*m_bob); }

    std::unique_ptr<TransferTestEnv> m_env;
    std::unique_ptr<FakePeer> m_bob;
};

void tst_Downloads::init()
{
    m_env = std::make_unique<TransferTestEnv>();
    m_bob = m_env->ConnectPeer();
    QVERIFY(m_bob);
}

void tst_Downloads::cleanup()
{
    m_bob.reset();
    m_env.reset();
}

void tst_Downloads::addedTwiceIsOneDownload_data()
{
    QTest::addColumn<QString>("status");
    for (const char* status : {"queued", "denied", "aborted"})
        QTest::newRow(status) << status;
}

void tst_Downloads::addedTwiceIsOneDownload()
{
    QFETCH(QString, status);
    TransferTestEnv::SetOnline("bob");
    Settings::Set(SettingKeys::TransferOrderCounter, "41");
    ItemPtr first = m_env->transfers().AddDownload("bob", "a.mp3", kFolder, 1000, 1);
    QCOMPARE(Next().toHex(), kQueue.toHex());
    QCOMPARE(Next().toHex(), kPlace.toHex());
    QCOMPARE(first[DownloadOrder].AsString(), std::string("41"));
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("42"));
    QCOMPARE(first[PeerTypes::FileSize].AsInt(), 1000);
    QCOMPARE(first[SubfolderSaveLevel].AsInt(), 1);
    QVERIFY(ServerStore::User("bob").IsConnected(ServerTypes::IsTracked));
    m_env->transfers().SetDownloadEntryStatus(first, status.toStdString());

    ItemPtr second = m_env->transfers().AddDownload("bob", "a.mp3", kFolder, 2000, 0);
    QCOMPARE(second, first);
    QCOMPARE(QString::fromStdString(TransferTestEnv::Status(first)), status);
    QCOMPARE(first[PeerTypes::FileSize].AsInt(), 1000);
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("42"));
    QVERIFY(NothingMore());
}

void tst_Downloads::askedForWhenUserComesOnline()
{
    TransferLog log;
    // Arrival order differs from the order they were added in.
    Settings::Set(SettingKeys::TransferOrderCounter, "60");
    Add("b.mp3");
    Settings::Set(SettingKeys::TransferOrderCounter, "50");
    ItemPtr a = Add("a.mp3");
    // Its finished file appears meanwhile: done when bob is asked again, and not asked for.
    ItemPtr appeared = Add("d.mp3");
    const QString finished = TransferTestEnv::DownloadFolder() + "/complete/Album/";
    QVERIFY(TransferTestEnv::WriteFile(finished + "d.mp3", 1000));
    QCOMPARE(TransferTestEnv::Status(a), std::string("queued"));
    QVERIFY(NothingMore());
    QVERIFY(!ServerStore::User("bob").IsConnected(LastQueueRequestTime));

    log.lines.clear();
    TransferTestEnv::SetOnline("bob");
    QCOMPARE(Next().toHex(), kQueue.toHex());
    QCOMPARE(Next().toHex(), kPlace.toHex());
    QCOMPARE(Next(), ForFile(PM_QUEUE_UPLOAD, "b.mp3"));
    QCOMPARE(Next(), ForFile(PM_UPLOAD_PLACE_IN_LINE_REQUEST, "b.mp3"));
    QVERIFY(NothingMore());
    QCOMPARE(TransferTestEnv::Status(appeared), std::string("complete"));
    QVERIFY(PeerTestEnv::IsStoredNow(ServerStore::User("bob"), LastQueueRequestTime));
    QCOMPARE(log.lines,
             QStringList(
                 {"User bob went online", "Requeueing downloads from user bob",
                  "Requesting place in line for download of a.mp3 from bob", "   Queueing a.mp3",
                  "Requesting place in line for download of b.mp3 from bob", "   Queueing b.mp3"}));

    // A finished file already in place: done at once, and nothing is asked of bob.
    QVERIFY(TransferTestEnv::WriteFile(finished + "c.mp3", 1000));
    QCOMPARE(TransferTestEnv::Status(Add("c.mp3")), std::string("complete"));
    QVERIFY(NothingMore());
}

void tst_Downloads::notices_data()
{
    QTest::addColumn<QString>("status"); // the download's, before the notice
    QTest::addColumn<QByteArray>("notice");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("queuedAgain"); // message 43 sent
    QTest::addColumn<bool>("stamped");     // last_queue_request_time set
    QTest::addColumn<QString>("logged");   // the last line
    const QByteArray failed = Msg::Failed(kPath);
    const QString again = "User bob appears to still be online, re-queueing Music\\Album\\a.mp3";
    QTest::newRow("denied") << "queued" << Msg::Denied(kPath, "Too many files") << "denied" << false
                            << false << "   Download found, marking as denied.";
    // A finished file stays finished, whatever a peer says of it afterwards.
    QTest::newRow("denied, complete")
        << "complete" << Msg::Denied(kPath, "Too many files") << "complete" << false << false
        << "   Download status complete, not marking Music\\Album\\a.mp3 as denied";
    QTest::newRow("failed, queued") << "queued" << failed << "queued" << true << true << again;
    QTest::newRow("failed, denied") << "denied" << failed << "denied" << true << true << again;
    QTest::newRow("failed, local error")
        << "local error" << failed << "local error" << false << true
        << "Download status local error, not re-queueing Music\\Album\\a.mp3";
    // Asked again, the peer would offer it and be refused as complete, for ever.
    QTest::newRow("failed, complete")
        << "complete" << failed << "complete" << false << false
        << "   Download status complete, not re-queueing Music\\Album\\a.mp3";
}

void tst_Downloads::notices()
{
    QFETCH(QString, status);
    QFETCH(QByteArray, notice);
    QFETCH(QString, after);
    QFETCH(bool, queuedAgain);
    QFETCH(bool, stamped);
    QFETCH(QString, logged);
    ItemPtr bob = ServerStore::User("bob");
    TransferTestEnv::SetOnline("bob");
    ItemPtr entry =
        TransferTestEnv::Entry("bob", kFolder, "a.mp3", 1000, 0, status.toLatin1().constData());

    TransferLog log;
    m_env->Deliver(*m_bob, notice);
    QCOMPARE(QString::fromStdString(TransferTestEnv::Status(entry)), after);
    if (queuedAgain)
        QCOMPARE(Next().toHex(), kQueue.toHex());
    QVERIFY(NothingMore());
    QCOMPARE(bob.IsConnected(LastQueueRequestTime), stamped);
    QCOMPARE(log.lines.value(log.lines.size() - 1), logged);
    if (after == "denied" && status != after) {
        QCOMPARE(entry[DenialReason].AsString(), std::string("Too many files"));
        // A denied download is asked for again only by such a notice, never when its user is.
        m_env->transfers().RequeueUserDownloads(bob);
        QVERIFY(NothingMore());
    }
}

void tst_Downloads::peersNameOnlyTheirOwnDownloads()
{
    ItemPtr entry = Add();
    m_env->Deliver(*m_bob, Msg::Place(kPath, 7));
    QCOMPARE(entry[PlaceInLine].AsString(), std::string("7"));
    m_env->Deliver(*m_bob, Msg::Place(kPath, 3));
    QCOMPARE(entry[PlaceInLine].AsString(), std::string("3"));
    // Another user's notices about the same path, and anyone's about paths we do not download,
    // change nothing and leave nothing behind.
    auto carol = m_env->ConnectPeer("carol");
    QVERIFY(carol);
    m_env->Deliver(*carol, Msg::Place(kPath, 1));
    QCOMPARE(entry[PlaceInLine].AsString(), std::string("3"));
    // Nor is carol's running download bob's.
    TransferTestEnv::Entry("carol", kFolder, "b.mp3", 1000, 0, "downloading");
    QVERIFY(m_env->transfers().IsActivelyDownloadingFromUser("carol"));
    QVERIFY(!m_env->transfers().IsActivelyDownloadingFromUser("bob"));
    const size_t users = TransferTestEnv::Count(ServerTypes::User);
    const size_t names = TransferTestEnv::Count(FileName);
    const size_t folders = TransferTestEnv::Count(RemoteFolder);
    const size_t places = TransferTestEnv::Count(PlaceInLine);
    TransferLog log;
    for (int i = 0; i < 21; ++i) {
        const QByteArray path = "Other\\Folder " + QByteArray::number(i) + "\\x.mp3";
        m_env->Deliver(*m_bob, i % 3 == 0   ? Msg::Place(path, 7)
                               : i % 3 == 1 ? Msg::Failed(path)
                                            : Msg::Denied(path, "No"));
    }
    QVERIFY(!m_env->transfers().IsActivelyDownloadingFromUser("nobody"));
    QCOMPARE(log.lines.filter(QStringLiteral("Download not found.")).size(), 14);
    QCOMPARE(TransferTestEnv::Count(ServerTypes::User), users);
    QCOMPARE(TransferTestEnv::Count(FileName), names);
    QCOMPARE(TransferTestEnv::Count(RemoteFolder), folders);
    QCOMPARE(TransferTestEnv::Count(PlaceInLine), places);
    QCOMPARE(TransferTestEnv::Status(entry), std::string("queued"));
    QVERIFY(NothingMore());
}

void tst_Downloads::inactiveStatusesOnlyStampTheTime()
{
    // Only leaving "downloading" tears a download down, whatever it holds.
    ItemPtr entry = Add();
    QPointer<QFile> file = TransferQueueManager::AttachObject(entry, DownloadFile, new QFile);
    TransferQueueManager::AttachObject(entry, WritePosition, new qint64(7));
    for (const char* status : {"aborted", "denied", "queued", "downloading"}) {
        entry.Disconnect(LastStatusChangeTime);
        m_env->transfers().SetDownloadEntryStatus(entry, status);
        QVERIFY(TransferTestEnv::IsNow(entry));
        QVERIFY(file && entry.IsConnected(WritePosition));
    }
}

void tst_Downloads::offerAnswered()
{
    const OfferRow& r = CurrentRow(kOffers);
    const QString status = r.status;
    ItemPtr download;
    if (*r.owner)
        download = TransferTestEnv::Entry(r.owner, kFolder, "a.mp3", 5000, 0,
                                          status == "in use" ? "queued" : r.status);
    if (status == "in use")
        TransferTestEnv::Entry("carol", kFolder, "a.mp3", 5000, 0, "downloading", 2);

    TransferLog log;
    WireWriter offer;
    offer.u32(PM_TRANSFER_REQUEST).u32(quint32(r.direction)).u32(7).str(kPath);
    m_env->Deliver(*m_bob, r.direction == 1 ? offer.u64(quint64(r.size)).bytes() : offer.bytes());
    if (!r.reply.isEmpty())
        QCOMPARE(Next().toHex(), r.reply.toHex());
    QVERIFY(NothingMore());
    QCOMPARE(TransferTestEnv::Status(download), std::string(r.after));
    QCOMPARE(download[PeerTypes::FileSize].AsString(), std::string(r.fileSize));
    QCOMPARE(download[RemoteTransferReq].AsString(), std::string(r.reply == kAccepted ? "7" : ""));

    QStringList expected;
    if (r.direction == 0)
        expected << "Received download request from bob for file Music\\Album\\a.mp3, currently "
                    "not processing";
    else
        expected << "Received upload request from bob for file Music\\Album\\a.mp3, req 7";
    const bool otherSize = r.direction == 1 && r.size != 5000 && download;
    if (otherSize)
        expected << QStringLiteral("   Music\\Album\\a.mp3 offered with %1 bytes, expected 5000")
                        .arg(r.size);
    else if (r.reply == kCancelled)
        expected << "   Denied, Cancelled";
    else if (r.reply == kComplete)
        expected << "   Denied, Complete";
    if (status == "downloading" && !otherSize)
        expected << "   Transfer is already downloading, cancelling...";
    if (r.reply == kAccepted)
        expected << "   Accepted";
    QCOMPARE(log.lines, expected);

    // Nor is it asked for by itself afterwards.
    TransferTestEnv::SetOnline("bob");
    if (r.askedAgain) {
        QCOMPARE(Next().toHex(), kQueue.toHex());
        QCOMPARE(Next().toHex(), kPlace.toHex());
    }
    QVERIFY(NothingMore());
}

void tst_Downloads::tokenFollowsTheLastOffer()
{
    ItemPtr first = TransferTestEnv::Entry("bob", kFolder, "a.mp3");
    ItemPtr second = TransferTestEnv::Entry("bob", kFolder, "b.mp3");
    // carol's download holds a token of the same number from carol: not bob's to move.
    ItemPtr carols = TransferTestEnv::Entry("carol", kFolder, "a.mp3");
    carols += d.GetType(RemoteTransferReq)->GetItem(Value("7"));

    m_env->Deliver(*m_bob, Msg::Offer(7, kPath, 1000));
    m_env->Deliver(*m_bob, Msg::Offer(7, AlbumPath("b.mp3"), 1000));
    QCOMPARE(Next(), kAccepted);
    QCOMPARE(Next(), kAccepted);
    QVERIFY(!first.IsConnected(RemoteTransferReq));
    QCOMPARE(second[RemoteTransferReq].AsString(), std::string("7"));
    QCOMPARE(carols[RemoteTransferReq].AsString(), std::string("7"));
    // A newer offer of the same file brings its own token.
    m_env->Deliver(*m_bob, Msg::Offer(9, kPath, 1000));
    QCOMPARE(Next().toHex(), QByteArray("2900000009000000"
                                        "01"));
    QCOMPARE(first[RemoteTransferReq].AsString(), std::string("9"));
}

void tst_Downloads::askedAgain_data()
{
    // Whether bob is asked on the half-minute ticks 9 minutes, 10 and 10.5 minutes on.
    QTest::addColumn<bool>("online");
    QTest::addColumn<QString>("other"); // the status of bob's other download
    QTest::addColumn<bool>("askedBefore");
    QTest::addColumn<int>("moved"); // seconds the wall clock moved since
    QTest::addColumn<QString>("asked");
    QTest::newRow("never asked") << true << "complete" << false << 0 << "100";
    QTest::newRow("offline") << false << "complete" << false << 0 << "000";
    QTest::newRow("one download downloading") << true << "downloading" << false << 0 << "000";
    QTest::newRow("asked, clock steady") << true << "complete" << true << 0 << "010";
    QTest::newRow("asked, clock an hour ahead") << true << "complete" << true << 3600 << "010";
    QTest::newRow("asked, clock an hour back") << true << "complete" << true << -3600 << "010";
}

void tst_Downloads::askedAgain()
{
    QFETCH(bool, online);
    QFETCH(QString, other);
    QFETCH(bool, askedBefore);
    QFETCH(int, moved);
    QFETCH(QString, asked);
    // Online before there is anything to ask for, nobody has asked bob yet.
    TransferTestEnv::SetOnline("bob", online && !askedBefore);
    TransferTestEnv::Entry("bob", kFolder, "a.mp3", 1000, 0, "queued", 1);
    TransferTestEnv::Entry("bob", kFolder, "b.mp3", 1000, 0, qPrintable(other), 2);
    if (askedBefore) {
        TransferTestEnv::SetOnline("bob");
        PeerTestEnv::MoveWallClock(ServerStore::User("bob"), LastQueueRequestTime, moved);
    }
    // Minutes without a word close the messaging connection: the log tells that bob is asked.
    QString asks;
    for (int seconds : {9 * 60, 60, 30}) {
        TransferLog log;
        m_env->Tick(seconds);
        asks += log.Has("Requeueing downloads from user bob") ? '1' : '0';
    }
    QCOMPARE(asks, asked);
}

namespace {

// What lies in the download folder before a folder's files are queued. "files": finished files,
// of the size asked for or another, files no download owns where partial ones would go (one a
// link to nothing), a folder with nothing in it. "nothing": not even the download folder.
// "files in the way": a file where the finished files' folder would be, and one where a
// partial file's folder would be.
void LayDisk(const QString& base, const QString& disk)
{
    const auto file = [&base](const QString& path, qint64 size) {
        QVERIFY(QDir().mkpath(QFileInfo(base + "/" + path).path()));
        QFile f(base + "/" + path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(size));
    };
    if (disk == "files") {
        file("complete/Album/a.mp3", 1000);
        file("complete/Album/b.mp3", 999);
        file("complete/Album/\xc3\xa9.mp3", 7);
        file("downloading/Album/c.mp3", 10);
        file("downloading/Album/c (1).mp3", 10);
        QVERIFY(QDir().mkpath(base + "/downloading/New/Folder"));
        QVERIFY(QFile::link(base + "/nowhere", base + "/downloading/New/Folder/g.mp3"));
        QVERIFY(QDir().mkpath(base + "/complete/Music/Empty"));
    } else if (disk == "files in the way") {
        file("complete", 1000);
        file("downloading/Album", 10);
    }
}

// Every download in the order it was made: its path, level, status, arrival number and partial
// file (below the download folder); the arrival counter; the log, with the download folder's
// path in words; and what bob was sent.
QStringList Queued(TransferTestEnv& env, const QStringList& log, FakePeer& bob)
{
    QStringList lines;
    const QString base = TransferTestEnv::DownloadFolder();
    const auto words = [&base](QString line) {
        return base.isEmpty() ? line : line.replace(base, "<download folder>");
    };
    const ItemSet entries = d.GetType("download_entry")->GetItems();
    for (Item* entry : entries.SortNumericBy("download_order", true)) {
        const ItemPtr e(entry);
        lines << words(QString::fromStdString(
                           e["remote_folder"].AsString() + "\\" + e["file_name"].AsString() + ":" +
                           e["subfolder_save_level"].AsString() + " " + TransferTestEnv::Status(e) +
                           " #" + e["download_order"].AsString()) +
                       " " + env.Partial(e));
        if (!TransferTestEnv::IsNow(e))
            lines << "not stamped now";
    }
    lines << QString::fromStdString("counter " + Settings::Text(SettingKeys::TransferOrderCounter));
    for (const QString& line : log)
        lines << words(line);
    peerMessenger->SendMessage("bob", Message(PM_NOTHING, "marker"));
    for (QByteArray message = TransferTestEnv::NextMessage(bob);
         message != FakePeer::U32(PM_NOTHING) + "marker";
         message = TransferTestEnv::NextMessage(bob)) {
        if (message.isEmpty())
            return lines << "(the marker never came)";
        lines << "sent " + message.toHex();
    }
    return lines;
}

// Where the download folder is set, spelled another way or not at all.
void SetDownloadFolder(const QString& base, const QString& spelling)
{
    if (spelling == "trailing slash")
        TransferTestEnv::SetDownloadFolder(base + "/");
    else if (spelling == "dot")
        TransferTestEnv::SetDownloadFolder(base + "/.");
    else if (spelling == "relative")
        TransferTestEnv::SetDownloadFolder(QFileInfo(base).fileName());
    else if (spelling == "unset")
        TransferTestEnv::SetDownloadFolder(QString());
}

} // namespace

void tst_Downloads::queuedManyAtOnce_data()
{
    QTest::addColumn<QString>("disk");
    QTest::addColumn<QString>("folder"); // how the download folder is spelled
    QTest::addColumn<int>("steps");      // steps (a folder's downloads) a slice; 0: by time alone
    QTest::addColumn<bool>("online");    // bob, while they are queued
    QTest::newRow("in one slice") << "files"
                                  << "as made" << 0 << false;
    QTest::newRow("a folder a slice") << "files"
                                      << "as made" << 1 << false;
    QTest::newRow("three a slice, bob online") << "files"
                                               << "as made" << 3 << true;
    QTest::newRow("nothing on disk") << "nothing"
                                     << "as made" << 0 << false;
    QTest::newRow("nothing on disk, a folder a slice, bob online") << "nothing"
                                                                   << "as made" << 1 << true;
    QTest::newRow("files in the way") << "files in the way"
                                      << "as made" << 3 << false;
    QTest::newRow("trailing slash") << "files"
                                    << "trailing slash" << 0 << false;
    QTest::newRow("dot") << "files"
                         << "dot" << 3 << false;
    QTest::newRow("relative") << "files"
                              << "relative" << 1 << false;
    QTest::newRow("no download folder, bob online") << "files"
                                                    << "unset" << 0 << true;
}

void tst_Downloads::queuedManyAtOnce()
{
    QFETCH(QString, disk);
    QFETCH(QString, folder);
    QFETCH(int, steps);
    QFETCH(bool, online);
    // Many at once look for their files through what a step learnt of the folders, and take
    // their arrival numbers from a counter written when the step ends: each comes out as it
    // would on its own. Two names come out the same on disk; one download is there already.
    const std::vector<FolderDownload> folders{
        {"Music\\Album",
         0,
         {{"a.mp3", 1000},
          {"b.mp3", 1000},
          {"c.mp3", 1000},
          {"d.mp3", 1},
          {"\xc3\xa9.mp3", 7},
          {"\xef\xbb\xbf"
           "bom.mp3",
           7},
          {"x\x01.mp3", 5},
          {"x\x02.mp3", 5}}},
        {"Music\\Empty", 1, {{"e.mp3", 5}}},
        {"Other\\Album", 0, {{"a.mp3", 1000}, {"c.mp3", 1000}}},
        {"New\\Folder", 2, {{"f.mp3", 5}, {"a.mp3", 1000}, {"g.mp3", 5}}}};
    const auto prepare = [&] {
        LayDisk(TransferTestEnv::DownloadFolder(), disk);
        SetDownloadFolder(TransferTestEnv::DownloadFolder(), folder);
        Settings::Set(SettingKeys::TransferOrderCounter, "41");
        if (online)
            TransferTestEnv::SetOnline("bob");
        m_env->transfers().AddDownload("bob", "b.mp3", "Music\\Album", 1000, 0);
    };
    QStringList alone;
    {
        prepare();
        TransferLog log;
        for (const FolderDownload& folder : folders) {
            for (const auto& [name, size] : folder.files)
                m_env->transfers().AddDownload("bob", name, folder.folder, size, folder.level);
        }
        alone = Queued(*m_env, log.lines, *m_bob);
    }
    QCOMPARE(alone.filter(" #").size(), 14);
    QVERIFY(alone.contains("counter 55"));
    QCOMPARE(alone.filter(" queued #").size(), 14 - (disk == "files" && folder != "unset" ? 3 : 0));
    if (disk == "nothing") {
        // Names the file system spells in UTF-8, and two that come out the same there.
        QVERIFY(alone.contains("Music\\Album\\\xc3\xa9.mp3:0 queued #45 "
                               "<download folder>/downloading/Album/\xc3\xa9.mp3"));
        QVERIFY(alone.contains("Music\\Album\\x\x02.mp3:0 queued #48 "
                               "<download folder>/downloading/Album/x_ (1).mp3"));
    }
    if (disk == "files" && folder != "unset") {
        QVERIFY(alone.contains(
            "Music\\Album\\c.mp3:0 queued #43 <download folder>/downloading/Album/c (2).mp3"));
        QVERIFY(alone.contains("New\\Folder\\g.mp3:2 queued #54 "
                               "<download folder>/downloading/New/Folder/g (1).mp3"));
    }

    cleanup();
    init();
    prepare();
    TransferLog log;
    const TurnBudget::StepsForTesting sliced(steps);
    m_env->transfers().AddDownloads("bob", folders);
    QTRY_VERIFY(!m_env->transfers().DownloadBatchesForTesting().IsBusy());
    QCOMPARE(Queued(*m_env, log.lines, *m_bob), alone);
}

void tst_Downloads::arrivalNumbersFollowOn_data()
{
    QTest::addColumn<bool>("finish"); // the rest made at once rather than in later slices
    QTest::newRow("later slices") << false;
    QTest::newRow("finished at once") << true;
}

void tst_Downloads::arrivalNumbersFollowOn()
{
    QFETCH(bool, finish);
    // A download queued on its own between two slices of a batch takes the number after the
    // first slice's, and the batch goes on after it.
    Settings::Set(SettingKeys::TransferOrderCounter, "7");
    const TurnBudget::StepsForTesting twoSteps(2);
    m_env->transfers().AddDownloads("bob", {{"Music\\Album", 0, {{"a.mp3", 1}}},
                                            {"Music\\Album", 0, {{"b.mp3", 1}}},
                                            {"Music\\Album", 0, {{"c.mp3", 1}}},
                                            {"Music\\Album", 0, {{"d.mp3", 1}}}});
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("9"));
    QCOMPARE(Add("own.mp3")[DownloadOrder].AsString(), std::string("9"));
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("10"));
    if (finish)
        m_env->transfers().FinishAddingDownloads();
    QTRY_VERIFY(!m_env->transfers().DownloadBatchesForTesting().IsBusy());
    QStringList numbers;
    const ItemSet entries = d.GetType(DownloadEntry)->GetItems();
    for (Item* entry : entries.SortNumericBy(DownloadOrder, true))
        numbers << QString::fromStdString(ItemPtr(entry)[DownloadOrder].AsString() + " " +
                                          ItemPtr(entry)[FileName].AsString());
    QCOMPARE(numbers, QStringList({"7 a.mp3", "8 b.mp3", "9 own.mp3", "10 c.mp3", "11 d.mp3"}));
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("12"));
}

void tst_Downloads::foundByUserNameAndFolder_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("found"); // which of the downloads below; -1: none
    QTest::newRow("bob's") << "bob"
                           << "a.mp3"
                           << "A\\X" << 0;
    QTest::newRow("carol's, the same name and folder") << "carol"
                                                       << "a.mp3"
                                                       << "A\\X" << 2;
    QTest::newRow("bob's from another folder") << "bob"
                                               << "a.mp3"
                                               << "B" << 3;
    QTest::newRow("carol's from a folder only bob's are in") << "carol"
                                                             << "a.mp3"
                                                             << "B" << -1;
    QTest::newRow("a name only in another folder") << "bob"
                                                   << "b.mp3"
                                                   << "B" << -1;
    QTest::newRow("a user without downloads") << "dave"
                                              << "a.mp3"
                                              << "A\\X" << -1;
    QTest::newRow("a name nobody downloads") << "bob"
                                             << "z.mp3"
                                             << "A\\X" << -1;
    QTest::newRow("a folder nobody downloads from") << "bob"
                                                    << "a.mp3"
                                                    << "Z" << -1;
    QTest::newRow("folder and name swapped") << "bob"
                                             << "A\\X"
                                             << "a.mp3" << -1;
}

void tst_Downloads::foundByUserNameAndFolder()
{
    QFETCH(QString, user);
    QFETCH(QString, file);
    QFETCH(QString, folder);
    QFETCH(int, found);
    // Bob's downloads outnumber carol's, and a.mp3 is in more folders than b.mp3: whichever of
    // the three is looked through, the download is the one with all three.
    const ItemPtr downloads[] = {
        TransferTestEnv::Entry("bob", "A\\X", "a.mp3"),
        TransferTestEnv::Entry("bob", "A\\X", "b.mp3"),
        TransferTestEnv::Entry("carol", "A\\X", "a.mp3"),
        TransferTestEnv::Entry("bob", "B", "a.mp3"),
        TransferTestEnv::Entry("bob", "C", "a.mp3"),
    };
    ServerStore::User("dave");
    const ItemPtr entry = m_env->transfers().GetDownloadEntry(
        user.toStdString(), file.toStdString(), folder.toStdString());
    QCOMPARE(entry, found < 0 ? ItemPtr() : downloads[found]);
    QCOMPARE(m_env->transfers().AddDownload(user.toStdString(), file.toStdString(),
                                            folder.toStdString(), 1000, 0) == entry,
             found >= 0);
}

QTEST_GUILESS_MAIN(tst_Downloads)
#include "tst_downloads.moc"

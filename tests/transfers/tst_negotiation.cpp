// Agreeing a transfer before data flows: a peer's offer of a file we download (40) answered with
// 41, and a peer's answer to our offer, which opens the file and asks for a file connection.

#include "UploadTestEnv.h"

#include <sys/stat.h>

using namespace TransfersTypes;

namespace {

const std::string kFolder = "Music\\Album";
const QByteArray kPath = "Music\\Album\\a.mp3";
const QByteArray kAccepted = Hex("29000000 07000000 01");
const QByteArray kCancelled = Hex("29000000 07000000 00 09000000 43616e63656c6c6564");
const QByteArray kComplete = Hex("29000000 07000000 00 08000000 436f6d706c657465");

QByteArray OfferOf(quint32 direction, const QByteArray& path, qint64 size = 1000)
{
    WireWriter w;
    w.u32(PM_TRANSFER_REQUEST).u32(direction).u32(7).str(path);
    if (direction == 1)
        w.u64(quint64(size));
    return w;
}

QByteArray Allowed(quint32 token, bool withSize = false)
{
    WireWriter w;
    w.u32(PM_TRANSFER_RESPONSE).u32(token).u8(1);
    if (withSize)
        w.u64(100);
    return w;
}

QByteArray Refused(quint32 token, const QByteArray& reason)
{
    return WireWriter().u32(PM_TRANSFER_RESPONSE).u32(token).u8(0).str(reason);
}

bool AskedForFileConnection(const PeerLog& log)
{
    return log.Has("Attempting peer connection of type F to user bob");
}

// bob has queued Music\Album\a.mp3 and been offered it with token 7; carol waits for the one
// slot with the same file.
struct Offered
{
    UploadTestEnv env;
    std::unique_ptr<FakePeer> bob;
    std::unique_ptr<FakePeer> carol;
    ItemPtr upload;

    bool Set()
    {
        UploadTestEnv::ShareAlbum({"a.mp3"});
        bob = env.ConnectPeer();
        carol = env.ConnectPeer("carol");
        if (!bob || !carol)
            return false;
        Settings::Set(SettingKeys::TransferReqCounter, "7");
        TransferTestEnv::SetOnline("bob", true);
        env.Request("bob", "a.mp3");
        TransferTestEnv::SetOnline("carol", true);
        env.Request("carol", "a.mp3");
        upload = UploadTestEnv::Upload("bob", "a.mp3");
        return TransferTestEnv::NextMessage(*bob) == UploadTestEnv::Offer(7, kPath, 100);
    }
    // Whether carol's upload got the slot, offered with token 8.
    bool CarolOffered()
    {
        return TransferTestEnv::NextMessage(*carol) == UploadTestEnv::Offer(8, kPath, 100) &&
               UploadTestEnv::StatusOf("carol", "a.mp3") == "requesting";
    }
};

} // namespace

class tst_Negotiation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void offerAnswered_data();
    void offerAnswered();
    void tokenFollowsTheLastOffer();
    void offeredSize_data();
    void offeredSize();
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void answerIgnored_data();
    void answerIgnored();
    void fileDoesNotOpen_data();
    void fileDoesNotOpen();
    void noLongerShared_data();
    void noLongerShared();
};

void tst_Negotiation::offerAnswered_data()
{
    QTest::addColumn<QString>("owner");  // whose download of the file there is; "" none
    QTest::addColumn<QString>("status"); // its status
    QTest::addColumn<int>("direction");
    QTest::addColumn<QByteArray>("reply"); // empty: none
    QTest::addColumn<QString>("after");

    QTest::newRow("direction 0") << "bob"
                                 << "queued" << 0 << QByteArray() << "queued";
    QTest::newRow("no download") << ""
                                 << "" << 1 << kCancelled << "";
    QTest::newRow("queued with another user") << "carol"
                                              << "queued" << 1 << kCancelled << "queued";
    QTest::newRow("complete") << "bob"
                              << "complete" << 1 << kComplete << "complete";
    for (const char* status : {"queued", "denied", "aborted", "local error"})
        QTest::newRow(status) << "bob" << status << 1 << kAccepted << status;
    QTest::newRow("downloading") << "bob"
                                 << "downloading" << 1 << kAccepted << "aborted";
}

void tst_Negotiation::offerAnswered()
{
    QFETCH(QString, owner);
    QFETCH(QString, status);
    QFETCH(int, direction);
    QFETCH(QByteArray, reply);
    QFETCH(QString, after);
    UploadTestEnv env;
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    ItemPtr download;
    if (!owner.isEmpty())
        download = TransferTestEnv::Entry(owner.toStdString(), kFolder, "a.mp3", 1000, 0,
                                          status.toLatin1().constData());

    TransferLog log;
    env.Deliver(*bob, OfferOf(quint32(direction), kPath));
    if (!reply.isEmpty())
        QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(), reply.toHex());
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    if (download)
        QCOMPARE(QString::fromStdString(TransferTestEnv::Status(download)), after);
    QCOMPARE(TransferTestEnv::Count(RemoteTransferReq), size_t(reply == kAccepted ? 1 : 0));
    if (reply == kAccepted)
        QCOMPARE(download[RemoteTransferReq].AsString(), std::string("7"));

    QStringList expected;
    if (direction == 0) {
        expected << "Received download request from bob for file Music\\Album\\a.mp3, currently "
                    "not processing";
    } else {
        expected << "Received upload request from bob for file Music\\Album\\a.mp3, req 7";
        if (reply == kCancelled)
            expected << "   Denied, Cancelled";
        else if (reply == kComplete)
            expected << "   Denied, Complete";
        if (status == "downloading")
            expected << "   Transfer is already downloading, cancelling...";
        if (reply == kAccepted)
            expected << "   Accepted";
    }
    QCOMPARE(log.lines, expected);
}

void tst_Negotiation::tokenFollowsTheLastOffer()
{
    UploadTestEnv env;
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    ItemPtr first = TransferTestEnv::Entry("bob", kFolder, "a.mp3");
    ItemPtr second = TransferTestEnv::Entry("bob", kFolder, "b.mp3");
    // carol's download holds a token of the same number from carol: not bob's to move.
    ItemPtr carols = TransferTestEnv::Entry("carol", kFolder, "a.mp3");
    carols += d.GetType(RemoteTransferReq)->GetItem(Value("7"));

    env.Deliver(*bob, OfferOf(1, kPath));
    QCOMPARE(TransferTestEnv::NextMessage(*bob), kAccepted);
    env.Deliver(*bob, OfferOf(1, "Music\\Album\\b.mp3"));
    QCOMPARE(TransferTestEnv::NextMessage(*bob), kAccepted);
    QVERIFY(!first.IsConnected(RemoteTransferReq));
    QCOMPARE(second[RemoteTransferReq].AsString(), std::string("7"));
    QCOMPARE(carols[RemoteTransferReq].AsString(), std::string("7"));
    // A newer offer of the same file brings its own token.
    env.Deliver(*bob, WireWriter().u32(PM_TRANSFER_REQUEST).u32(1).u32(9).str(kPath).u64(1000));
    QCOMPARE(TransferTestEnv::NextMessage(*bob), Hex("29000000 09000000 01"));
    QCOMPARE(first[RemoteTransferReq].AsString(), std::string("9"));
}

void tst_Negotiation::offeredSize_data()
{
    QTest::addColumn<qint64>("offered");
    QTest::addColumn<QByteArray>("fileSize");
    QTest::newRow("5,000,000,000") << qint64(5000000000LL) << QByteArray("5000000000");
    QTest::newRow("smaller") << qint64(10) << QByteArray("10");
    QTest::newRow("empty") << qint64(0) << QByteArray("0");
    QTest::newRow("negative, kept") << qint64(-1) << QByteArray("1000");
}

void tst_Negotiation::offeredSize()
{
    QFETCH(qint64, offered);
    QFETCH(QByteArray, fileSize);
    UploadTestEnv env;
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    ItemPtr download = TransferTestEnv::Entry("bob", kFolder, "a.mp3", 1000);
    env.Deliver(*bob, OfferOf(1, kPath, offered));
    QCOMPARE(TransferTestEnv::NextMessage(*bob), kAccepted);
    QCOMPARE(download[PeerTypes::FileSize].AsString(), fileSize.toStdString());
}

void tst_Negotiation::accepted_data()
{
    QTest::addColumn<bool>("withSize");
    QTest::newRow("without a size") << false;
    QTest::newRow("with a size") << true;
}

void tst_Negotiation::accepted()
{
    QFETCH(bool, withSize);
    Offered o;
    QVERIFY(o.Set());
    TransferLog log;
    PeerLog peerLog;
    o.env.Deliver(*o.bob, Allowed(7, withSize));
    QCOMPARE(UploadTestEnv::UploadStatus(o.upload), std::string("connecting"));
    auto* file = o.upload[UploadFile].AsPointer<QFile>();
    QVERIFY(file && file->isOpen() && file->isReadable());
    QCOMPARE(file->size(), qint64(100));
    QVERIFY(AskedForFileConnection(peerLog));
    QCOMPARE(log.lines,
             QStringList({"Received file transfer response from user bob for req 7, transfer "
                          "accepted",
                          "   Found upload", "   Requesting file connection to user"}));
    // The slot stays taken.
    QVERIFY(TransferTestEnv::NothingMoreSent(*o.carol, "carol"));
    QVERIFY(TransferTestEnv::NothingMoreSent(*o.bob));
}

void tst_Negotiation::refused_data()
{
    QTest::addColumn<QString>("status");
    QTest::newRow("requesting") << "requesting";
    QTest::newRow("connecting") << "connecting";
    QTest::newRow("already aborted") << "aborted";
}

void tst_Negotiation::refused()
{
    QFETCH(QString, status);
    Offered o;
    QVERIFY(o.Set());
    if (status == "connecting")
        o.env.Deliver(*o.bob, Allowed(7));
    if (status == "aborted") {
        o.env.transfers().SetUploadEntryStatus(o.upload, "aborted");
        o.env.transfers().StartNewUploads();
        QCOMPARE(TransferTestEnv::NextMessage(*o.bob), UploadTestEnv::UploadFailed(kPath));
        QVERIFY(o.CarolOffered());
    }
    QCOMPARE(QString::fromStdString(UploadTestEnv::UploadStatus(o.upload)), status);

    TransferLog log;
    o.env.Deliver(*o.bob, Refused(7, "Too many files"));
    QCOMPARE(UploadTestEnv::UploadStatus(o.upload), std::string("denied"));
    QCOMPARE(o.upload[DenialReason].AsString(), std::string("Too many files"));
    QVERIFY(!o.upload.IsConnected(UploadFile));
    QVERIFY(log.Has("   Upload was not accepted, marking denied"));
    // The slot is free again, and carol's upload takes it.
    if (status != "aborted")
        QVERIFY(o.CarolOffered());
    QVERIFY(TransferTestEnv::NothingMoreSent(*o.bob));
}

void tst_Negotiation::answerIgnored_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("logged");
    QTest::newRow("no longer requesting")
        << "aborted"
        << "   Upload no longer in requesting phase, instead status is aborted. Not processing.";
    QTest::newRow("from another user")
        << "carol"
        << "   Upload user bob not the same as user who opened the connection, not "
           "doing anything";
    QTest::newRow("unknown token") << "unknown"
                                   << "   req not found";
    QTest::newRow("a download's token") << "download"
                                        << "   Found download, not processing";
    QTest::newRow("nobody's token") << "nobody"
                                    << "   Neither upload or download attached to req, weird";
}

void tst_Negotiation::answerIgnored()
{
    QFETCH(QString, what);
    QFETCH(QString, logged);
    Offered o;
    QVERIFY(o.Set());
    quint32 token = 7;
    FakePeer* from = o.bob.get();
    if (what == "aborted") {
        o.env.transfers().SetUploadEntryStatus(o.upload, "aborted");
        o.env.transfers().StartNewUploads();
        QCOMPARE(TransferTestEnv::NextMessage(*o.bob), UploadTestEnv::UploadFailed(kPath));
        QVERIFY(o.CarolOffered());
    } else if (what == "carol") {
        from = o.carol.get();
    } else if (what == "unknown") {
        token = 99;
    } else if (what == "download") {
        token = 50;
        TransferTestEnv::Entry("bob", kFolder, "x.mp3") +=
            d.GetType(TransferReq)->GetItem(Value(token));
    } else {
        token = 51;
        d.GetType(TransferReq)->GetItem(Value(token));
    }
    const std::string before = UploadTestEnv::UploadStatus(o.upload);

    TransferLog log;
    PeerLog peerLog;
    o.env.Deliver(*from, Allowed(token));
    QCOMPARE(log.lines.value(log.lines.size() - 1), logged);
    QCOMPARE(UploadTestEnv::UploadStatus(o.upload), before);
    QVERIFY(!o.upload.IsConnected(UploadFile));
    QVERIFY(!AskedForFileConnection(peerLog));
    QVERIFY(TransferTestEnv::NothingMoreSent(*o.bob));
}

void tst_Negotiation::fileDoesNotOpen_data()
{
    QTest::addColumn<QString>("instead"); // what is at the file's path when the answer comes
    QTest::newRow("deleted from disk") << "nothing";
    QTest::newRow("a folder") << "folder";
    // Opening a FIFO for reading would wait for a writer: the answer must not.
    QTest::newRow("a FIFO") << "fifo";
}

void tst_Negotiation::fileDoesNotOpen()
{
    QFETCH(QString, instead);
    Offered o;
    QVERIFY(o.Set());
    QVERIFY(QFile::remove("Music/Album/a.mp3"));
    if (instead == "folder")
        QVERIFY(QDir().mkdir("Music/Album/a.mp3"));
    if (instead == "fifo")
        QCOMPARE(::mkfifo("Music/Album/a.mp3", 0600), 0);

    TransferLog log;
    PeerLog peerLog;
    o.env.Deliver(*o.bob, Allowed(7));
    QCOMPARE(TransferTestEnv::NextMessage(*o.bob).toHex(),
             Hex("32000000 11000000 4d757369635c416c62756d5c612e6d7033"
                 " 10000000 46696c652072656164206572726f722e")
                 .toHex());
    QCOMPARE(UploadTestEnv::UploadStatus(o.upload), std::string("local error"));
    QVERIFY(!o.upload.IsConnected(UploadFile));
    QVERIFY(!AskedForFileConnection(peerLog));
    QVERIFY(log.Has("   File could not be opened, marking local error and sending denial "
                    "message. Shouldn't we have done this before we requested the transfer?"));
    QVERIFY(o.CarolOffered());
}

void tst_Negotiation::noLongerShared_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("user unshared") << "unshared";
    QTest::newRow("folder no longer public") << "private";
    QTest::newRow("file gone from the shares") << "rescanned";
}

void tst_Negotiation::noLongerShared()
{
    QFETCH(QString, change);
    Offered o;
    QVERIFY(o.Set());
    if (change == "unshared") {
        ServerStore::SetFlag(ServerStore::User("bob"), SharesTypes::Unshared);
    } else if (change == "private") {
        d.GetType(SharesTypes::SharedFolder)
            ->GetItem(Value("Music"))
            .Disconnect(SharesTypes::SharedPublic);
    } else {
        QVERIFY(QFile::rename("Music/Album/a.mp3", "Music/Album/moved.mp3"));
        sharedFoldersManager->RescanShares();
    }

    TransferLog log;
    PeerLog peerLog;
    o.env.Deliver(*o.bob, Allowed(7));
    QCOMPARE(TransferTestEnv::NextMessage(*o.bob),
             UploadTestEnv::UploadDenied(kPath, "File not shared."));
    QVERIFY(!UploadTestEnv::Upload("bob", "a.mp3"));
    QVERIFY(ServerStore::User("bob").GetItems(UploadEntry).empty());
    QVERIFY(!AskedForFileConnection(peerLog));
    QVERIFY(log.Has("   Denied, file not shared"));
    // carol may still have it, unless the file is gone for her too.
    if (change == "unshared")
        QVERIFY(o.CarolOffered());
}

QTEST_GUILESS_MAIN(tst_Negotiation)
#include "tst_negotiation.moc"

// Queueing downloads with a peer: adding one, asking for it again when its user comes online,
// the peer's notices, status changes with their teardown, and removal.

#include "TransferTestEnv.h"

#include <QPointer>
#include <QTcpSocket>

using namespace TransfersTypes;

namespace {

const std::string kFolder = "Music\\Album";
const QByteArray kPath = "Music\\Album\\a.mp3";
// Messages 43 and 51 for Music\Album\a.mp3.
const QByteArray kQueue = Hex("2b000000 11000000 4d757369635c416c62756d5c612e6d7033");
const QByteArray kPlace = Hex("33000000 11000000 4d757369635c416c62756d5c612e6d7033");

QByteArray Denied(const QByteArray& path, const QByteArray& reason)
{
    return WireWriter().u32(PM_UPLOAD_DENIED).str(path).str(reason);
}

QByteArray Failed(const QByteArray& path)
{
    return WireWriter().u32(PM_UPLOAD_FAILED).str(path);
}

QByteArray Place(const QByteArray& path, quint32 place)
{
    return WireWriter().u32(PM_UPLOAD_PLACE_IN_LINE).str(path).u32(place);
}

// A message 43 or 51 for a file of the album.
QByteArray ForFile(quint32 code, const QByteArray& name)
{
    return WireWriter().u32(code).str("Music\\Album\\" + name);
}

// What a running download has: its worker, partial file, socket (connected to listener), and
// the values progress reports update.
struct Running
{
    QPointer<TransferWorker> worker;
    QPointer<QFile> file;
    QPointer<QTcpSocket> socket;
};

Running Run(ItemPtr entry, FakePeer& listener, QAtomicInt& finished, const QString& partial)
{
    Running r;
    r.worker = TransferQueueManager::AttachObject(entry, DownloadThread, new IdleWorker(finished));
    r.worker->start();
    auto* file = new QFile(partial);
    file->open(QIODevice::Append);
    file->write("partial");
    r.file = TransferQueueManager::AttachObject(entry, DownloadFile, file);
    auto* socket = new QTcpSocket;
    socket->connectToHost(QHostAddress::LocalHost, listener.Port());
    socket->waitForConnected(TransferTestEnv::kWaitMs);
    listener.WaitForConnection(TransferTestEnv::kWaitMs);
    r.socket = TransferQueueManager::AttachObject(entry, DownloadSocket, socket);
    TransferQueueManager::AttachObject(entry, WritePosition, new qint64(7));
    TransferQueueManager::AttachObject(entry, LastReceiptTime, new QDateTime(Clock::Now()));
    TransferQueueManager::AttachObject(entry, BytesPerSecond, new qint32(100));
    TransferQueueManager::AttachObject(entry, LastSpeedMeasurementTime, new QDateTime);
    TransferQueueManager::AttachObject(entry, BytesSinceLastReceipt, new qint64(0));
    for (const char* type : {RemoteTransferReq, PlaceInLine, DenialReason})
        entry += d.GetType(type)->GetItem(Value("7"));
    return r;
}

} // namespace

class tst_DownloadQueue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void addedTwiceIsOneDownload_data();
    void addedTwiceIsOneDownload();
    void orderFromTheCounter();
    void askedForWhenUserComesOnline();
    void finishedFileAlreadyThere();
    void notices_data();
    void notices();
    void placeInLine();
    void unknownPathsLeaveNothing();
    void leavingDownloadingTearsDown();
    void removedDownloadKeepsItsFile();
    void activelyDownloading();
};

void tst_DownloadQueue::addedTwiceIsOneDownload_data()
{
    QTest::addColumn<QString>("status");
    QTest::newRow("queued") << "queued";
    QTest::newRow("denied") << "denied";
    QTest::newRow("aborted") << "aborted";
}

void tst_DownloadQueue::addedTwiceIsOneDownload()
{
    QFETCH(QString, status);
    TransferTestEnv env;
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    TransferTestEnv::SetOnline("bob", true);
    ItemPtr first = env.transfers().AddDownload("bob", "a.mp3", kFolder, 1000, 0);
    QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(), kQueue.toHex());
    QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(), kPlace.toHex());
    env.transfers().SetDownloadEntryStatus(first, status.toStdString());

    ItemPtr second = env.transfers().AddDownload("bob", "a.mp3", kFolder, 2000, 1);
    QCOMPARE(second.Get(), first.Get());
    QCOMPARE(QString::fromStdString(TransferTestEnv::Status(first)), status);
    QCOMPARE(first[PeerTypes::FileSize].AsInt(), 1000);
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("2"));
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
}

void tst_DownloadQueue::orderFromTheCounter()
{
    TransferTestEnv env;
    Settings::Set(SettingKeys::TransferOrderCounter, "41");
    ItemPtr entry = env.transfers().AddDownload("bob", "a.mp3", kFolder, 1000, 1);
    QCOMPARE(entry[DownloadOrder].AsString(), std::string("41"));
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("42"));
    // The rest of the record, and the user's online state watched from now on.
    QCOMPARE(entry[ServerTypes::User].AsString(), std::string("bob"));
    QCOMPARE(entry[FileName].AsString(), std::string("a.mp3"));
    QCOMPARE(entry[RemoteFolder].AsString(), kFolder);
    QCOMPARE(entry[PeerTypes::FileSize].AsString(), std::string("1000"));
    QCOMPARE(entry[SubfolderSaveLevel].AsString(), std::string("1"));
    QVERIFY(ServerStore::User("bob").IsConnected(ServerTypes::IsTracked));
}

void tst_DownloadQueue::askedForWhenUserComesOnline()
{
    TransferTestEnv env;
    TransferLog log;
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    // Arrival order differs from the order they were added in.
    Settings::Set(SettingKeys::TransferOrderCounter, "60");
    ItemPtr later = env.transfers().AddDownload("bob", "b.mp3", kFolder, 1000, 0);
    Settings::Set(SettingKeys::TransferOrderCounter, "50");
    ItemPtr earlier = env.transfers().AddDownload("bob", "a.mp3", kFolder, 1000, 0);
    for (ItemPtr entry : {later, earlier})
        QCOMPARE(TransferTestEnv::Status(entry), std::string("queued"));
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    QVERIFY(!ServerStore::User("bob").IsConnected(LastQueueRequestTime));

    TransferTestEnv::SetOnline("bob", true);
    QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(), kQueue.toHex());
    QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(), kPlace.toHex());
    QCOMPARE(TransferTestEnv::NextMessage(*bob), ForFile(PM_QUEUE_UPLOAD, "b.mp3"));
    QCOMPARE(TransferTestEnv::NextMessage(*bob), ForFile(PM_UPLOAD_PLACE_IN_LINE_REQUEST, "b.mp3"));
    QVERIFY(PeerTestEnv::IsStoredNow(ServerStore::User("bob"), LastQueueRequestTime));
    QCOMPARE(log.lines,
             QStringList(
                 {"User bob went online", "Requeueing downloads from user bob",
                  "Requesting place in line for download of a.mp3 from bob", "   Queueing a.mp3",
                  "Requesting place in line for download of b.mp3 from bob", "   Queueing b.mp3"}));
}

void tst_DownloadQueue::finishedFileAlreadyThere()
{
    TransferTestEnv env;
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    TransferTestEnv::SetOnline("bob", true);
    const QString finished = TransferTestEnv::DownloadFolder() + "/complete/Album/";
    QVERIFY(TransferTestEnv::WriteFile(finished + "a.mp3", 1000));
    ItemPtr entry = env.transfers().AddDownload("bob", "a.mp3", kFolder, 1000, 0);
    QCOMPARE(TransferTestEnv::Status(entry), std::string("complete"));
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));

    // A queued download whose file appeared meanwhile is done when its user is asked again.
    ItemPtr other = env.transfers().AddDownload("bob", "b.mp3", kFolder, 10, 0);
    QCOMPARE(TransferTestEnv::NextMessage(*bob), ForFile(PM_QUEUE_UPLOAD, "b.mp3"));
    QCOMPARE(TransferTestEnv::NextMessage(*bob), ForFile(PM_UPLOAD_PLACE_IN_LINE_REQUEST, "b.mp3"));
    QVERIFY(TransferTestEnv::WriteFile(finished + "b.mp3", 10));
    env.transfers().RequeueUserDownloads(ServerStore::User("bob"));
    QCOMPARE(TransferTestEnv::Status(other), std::string("complete"));
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
}

void tst_DownloadQueue::notices_data()
{
    QTest::addColumn<QString>("status"); // the download's, before the notice
    QTest::addColumn<QByteArray>("notice");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("queuedAgain"); // message 43 sent
    QTest::addColumn<bool>("stamped");     // last_queue_request_time set
    QTest::addColumn<QString>("logged");   // the last line
    const QByteArray failed = Failed(kPath);
    QTest::newRow("denied") << "queued" << Denied(kPath, "Too many files") << "denied" << false
                            << false << "   Download found, marking as denied.";
    QTest::newRow("failed, queued") << "queued" << failed << "queued" << true << true
                                    << "User bob appears to still be online, re-queueing "
                                       "Music\\Album\\a.mp3";
    QTest::newRow("failed, denied")
        << "denied" << failed << "denied" << true << true
        << "User bob appears to still be online, re-queueing Music\\Album\\a.mp3";
    QTest::newRow("failed, local error")
        << "local error" << failed << "local error" << false << true
        << "Download status local error, not re-queueing Music\\Album\\a.mp3";
    QTest::newRow("failed, complete")
        << "complete" << failed << "complete" << false << false
        << "   Download status complete, not re-queueing Music\\Album\\a.mp3";
}

void tst_DownloadQueue::notices()
{
    QFETCH(QString, status);
    QFETCH(QByteArray, notice);
    QFETCH(QString, after);
    QFETCH(bool, queuedAgain);
    QFETCH(bool, stamped);
    QFETCH(QString, logged);
    TransferTestEnv env;
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    TransferTestEnv::SetOnline("bob", true);
    ItemPtr entry = env.transfers().AddDownload("bob", "a.mp3", kFolder, 1000, 0);
    QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(), kQueue.toHex());
    QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(), kPlace.toHex());
    env.transfers().SetDownloadEntryStatus(entry, status.toStdString());
    ItemPtr bobItem = ServerStore::User("bob");
    QVERIFY(!bobItem.IsConnected(LastQueueRequestTime));

    TransferLog log;
    env.Deliver(*bob, notice);
    QCOMPARE(QString::fromStdString(TransferTestEnv::Status(entry)), after);
    if (queuedAgain)
        QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(), kQueue.toHex());
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    QCOMPARE(bobItem.IsConnected(LastQueueRequestTime), stamped);
    QCOMPARE(log.lines.value(log.lines.size() - 1), logged);

    if (status != after)
        QCOMPARE(entry[DenialReason].AsString(), std::string("Too many files"));
    // A denied download is asked for again only by such a notice, never when its user is.
    if (after == "denied") {
        env.transfers().RequeueUserDownloads(bobItem);
        QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    }
}

void tst_DownloadQueue::placeInLine()
{
    TransferTestEnv env;
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    ItemPtr entry = env.transfers().AddDownload("bob", "a.mp3", kFolder, 1000, 0);
    env.Deliver(*bob, Place(kPath, 7));
    QCOMPARE(entry[PlaceInLine].AsString(), std::string("7"));
    env.Deliver(*bob, Place(kPath, 3));
    QCOMPARE(entry[PlaceInLine].AsString(), std::string("3"));
    // The place of another user's download of the same file is not bob's to tell.
    auto carol = env.ConnectPeer("carol");
    QVERIFY(carol);
    env.Deliver(*carol, Place(kPath, 1));
    QCOMPARE(entry[PlaceInLine].AsString(), std::string("3"));
}

void tst_DownloadQueue::unknownPathsLeaveNothing()
{
    TransferTestEnv env;
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    ItemPtr entry = env.transfers().AddDownload("bob", "a.mp3", kFolder, 1000, 0);
    const size_t users = TransferTestEnv::Count(ServerTypes::User);
    const size_t names = TransferTestEnv::Count(FileName);
    const size_t folders = TransferTestEnv::Count(RemoteFolder);
    TransferLog log;
    for (int i = 0; i < 20; ++i) {
        const QByteArray path = "Other\\Folder " + QByteArray::number(i) + "\\x.mp3";
        env.Deliver(*bob,
                    i % 3 == 0 ? Place(path, 7) : (i % 3 == 1 ? Failed(path) : Denied(path, "No")));
    }
    QCOMPARE(log.lines.filter(QStringLiteral("Download not found.")).size(), 13);
    QCOMPARE(TransferTestEnv::Count(ServerTypes::User), users);
    QCOMPARE(TransferTestEnv::Count(FileName), names);
    QCOMPARE(TransferTestEnv::Count(RemoteFolder), folders);
    QCOMPARE(TransferTestEnv::Count(PlaceInLine), size_t(0));
    QCOMPARE(TransferTestEnv::Status(entry), std::string("queued"));
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
}

void tst_DownloadQueue::leavingDownloadingTearsDown()
{
    QAtomicInt finished; // outlives the engine, which stops the workers
    TransferTestEnv env;
    FakePeer uploader;
    QVERIFY(uploader.Listen() != 0);
    ItemPtr entry = env.transfers().AddDownload("bob", "a.mp3", kFolder, 1000, 0);
    const QString partial = env.Scratch("a.mp3.part");
    Running r = Run(entry, uploader, finished, partial);
    // Between statuses that hold no slot only the change time moves.
    for (const char* status : {"aborted", "queued", "downloading"}) {
        entry.Disconnect(LastStatusChangeTime);
        env.transfers().SetDownloadEntryStatus(entry, status);
        QVERIFY(PeerTestEnv::IsStoredNow(entry, LastStatusChangeTime));
        QCOMPARE(finished.loadAcquire(), 0);
        QVERIFY(r.file && r.socket && entry.IsConnected(WritePosition));
    }
    QCOMPARE(r.socket->state(), QAbstractSocket::ConnectedState);

    env.transfers().SetDownloadEntryStatus(entry, "aborted");
    QCOMPARE(TransferTestEnv::Status(entry), std::string("aborted"));
    QCOMPARE(finished.loadAcquire(), 1);
    QVERIFY(r.file.isNull());
    // Closed at once, deleted once the event loop runs.
    QVERIFY(r.socket);
    QCOMPARE(r.socket->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(uploader.WaitForDisconnected(TransferTestEnv::kWaitMs));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(r.socket.isNull());
    QVERIFY(r.worker.isNull());
    for (const char* gone : {DownloadThread, DownloadFile, DownloadSocket, WritePosition,
                             LastReceiptTime, BytesPerSecond})
        QVERIFY2(!entry.IsConnected(gone), gone);
    for (const char* kept : {LastSpeedMeasurementTime, BytesSinceLastReceipt, RemoteTransferReq,
                             PlaceInLine, DenialReason})
        QVERIFY2(entry.IsConnected(kept), kept);
    // What was written stays.
    QFile file(partial);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("partial"));
}

void tst_DownloadQueue::removedDownloadKeepsItsFile()
{
    QAtomicInt finished; // outlives the engine, which stops the workers
    TransferTestEnv env;
    FakePeer uploader;
    QVERIFY(uploader.Listen() != 0);
    ItemPtr entry = env.transfers().AddDownload("bob", "a.mp3", kFolder, 1000, 0);
    const QString partial =
        TransferTestEnv::Local(env.transfers().GetDownloadTargetPath(entry, false));
    QVERIFY(QDir().mkpath(QFileInfo(partial).path()));
    env.transfers().SetDownloadEntryStatus(entry, "downloading");
    Running r = Run(entry, uploader, finished, partial);

    env.transfers().RemoveDownload(entry);
    QCOMPARE(finished.loadAcquire(), 1);
    // Deleted at once, not left to the event loop.
    QVERIFY(r.worker.isNull());
    QVERIFY(r.socket.isNull());
    QVERIFY(r.file.isNull());
    QVERIFY(uploader.WaitForDisconnected(TransferTestEnv::kWaitMs));
    QCOMPARE(TransferTestEnv::Count(DownloadEntry), size_t(0));
    d.RemoveDisconnectedItems();
    for (const char* gone :
         {WritePosition, LastReceiptTime, BytesPerSecond, LastSpeedMeasurementTime,
          BytesSinceLastReceipt, FileName, RemoteFolder})
        QCOMPARE(TransferTestEnv::Count(gone), size_t(0));
    QCOMPARE(QFileInfo(partial).size(), qint64(7));
}

void tst_DownloadQueue::activelyDownloading()
{
    TransferTestEnv env;
    QVERIFY(!env.transfers().IsActivelyDownloadingFromUser("bob"));
    ItemPtr a = TransferTestEnv::Entry("bob", kFolder, "a.mp3", 1, 0, "queued", 1);
    TransferTestEnv::Entry("carol", kFolder, "b.mp3", 1, 0, "downloading", 2);
    QVERIFY(!env.transfers().IsActivelyDownloadingFromUser("bob"));
    QVERIFY(env.transfers().IsActivelyDownloadingFromUser("carol"));
    env.transfers().SetDownloadEntryStatus(a, "downloading");
    QVERIFY(env.transfers().IsActivelyDownloadingFromUser("bob"));
    // Asking makes no user.
    QVERIFY(!env.transfers().IsActivelyDownloadingFromUser("nobody"));
    QVERIFY(!ServerStore::FindUser("nobody"));
}

QTEST_GUILESS_MAIN(tst_DownloadQueue)
#include "tst_downloadqueue.moc"

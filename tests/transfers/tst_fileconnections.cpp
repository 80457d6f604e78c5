// File connections and their workers through the whole engine, on loopback.
// Downloading: a fake uploader offers a file (40), we allow it (41), it opens an "F" connection
// with its token, the engine answers with the start offset, a worker writes the file, and the
// finished download is moved and recorded. Uploading: bob asks for a.mp3, allows our offer, and
// his listener takes the connection we ask for, gets the token, names its offset and receives
// the rest. Refusals, failures, teardown while a peer stalls, progress reports.

#include "TransferTestEnv.h"

#include "transfers/TransferWorkers.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>

#include <cstdio>
#include <map>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace TransfersTypes;

namespace {

// How a download of 20000 bytes ends when the uploader sends that many of them (and closes, or
// falls silent for the I/O wait of 200 ms), after what was there or happened before: its
// status, what its partial file holds (-1: not looked at) and the name the finished file got
// ("" none).
struct EndRow
{
    const char *name, *what;
    int sent;
    const char* status;
    int partialHolds;
    const char* finishedAs;
};
const EndRow kEnds[] = {
    {"disk full", "disk full", 5000, "aborted", -1, ""},
    {"peer closes early", "closes", 9000, "aborted", 8192, ""},
    {"peer falls silent", "silent", 5000, "aborted", 0, ""},
    // More than the whole file is not the start of it: kept as it is, and not asked for again
    // each time the peer's upload fails.
    {"partial file larger than the file", "larger", 0, "local error", 20001, ""},
    {"finished name taken", "taken", 20000, "complete", -1, "a (1).mp3"},
    {"complete folder unwritable", "unwritable", 20000, "local error", 20000, ""},
    {"download folder changed meanwhile", "moved", 20000, "complete", -1, "a.mp3"},
};

// "user remote\path": the user, and the path the user's peer knows the file by.
std::string UserOf(const QByteArray& who)
{
    return who.left(who.indexOf(' ')).toStdString();
}
std::string PathOf(const QByteArray& who)
{
    return who.mid(who.indexOf(' ') + 1).toStdString();
}

} // namespace

class tst_FileConnections : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void download_data();
    void download();
    void finishedTwiceIsRecordedOnce_data();
    void finishedTwiceIsRecordedOnce();
    void refusedConnections_data();
    void refusedConnections();
    void downloadEnds_data() { AddRows(kEnds); }
    void downloadEnds();
    void downloadTornDown_data();
    void downloadTornDown();
    void progressAtMostTenTimesASecond();
    void handOverWaitsForTheEventLoop_data();
    void handOverWaitsForTheEventLoop();
    void collidingNamesKeepTheirBytes_data();
    void collidingNamesKeepTheirBytes();
    void partialFileOfNoDownload_data();
    void partialFileOfNoDownload();
    void longNamesFitTheFileSystem_data();
    void longNamesFitTheFileSystem();

    void upload_data();
    void upload();
    void uploadActivityFollowsItsData();
    void rateGoesToTheServerForFilesAboveOneMebibyte_data();
    void rateGoesToTheServerForFilesAboveOneMebibyte();
    void uploadFails_data();
    void uploadFails();
    void uploadStopsWhilePeerStalls_data();
    void uploadStopsWhilePeerStalls();
    void connectionWithoutAnUploadIsClosed();

private:
    FakePeer& Messaging(const std::string& user);
    // A download of user's, which the user offers with token (40) and we allow (41); null when
    // the answer was not that.
    ItemPtr Offered(const std::string& name, qint64 size, quint32 token,
                    const std::string& user = "bob");
    bool Offer(ItemPtr entry, quint32 token);
    // A fake uploader's file connection to our listener: the opening frame, then the token.
    std::unique_ptr<FakePeer> Connect(quint32 token, const QByteArray& user = "bob");
    // The start offset the engine answered, or empty.
    static QByteArray Offset(FakePeer& uploader);
    bool EndsAs(ItemPtr entry, const char* status)
    {
        return QTest::qWaitFor([&] { return TransferTestEnv::Status(entry) == status; },
                               TransferTestEnv::kWaitMs);
    }
    // bob's upload of a.mp3 of these bytes (sparse to size when given), offered to him with
    // token 7 and allowed: its file is open, the engine asks for the file connection.
    ItemPtr Connecting(const QByteArray& content, qint64 size = -1,
                       const QByteArray& name = "a.mp3");
    // bob's listener took that connection: our opening frame and the token came.
    bool TakeConnection();
    // bob's listener stops reading: what we send piles up until the socket takes no more.
    void StopReading()
    {
        QObject::disconnect(m_listener->Socket(), nullptr, m_listener.get(), nullptr);
        m_listener->Socket()->setReadBufferSize(4096);
    }
    // bob got nothing more since the last message read.
    bool NothingMoreToBob() { return TransferTestEnv::NothingMoreSent(Messaging("bob")); }
    // The download's user offers it with token (its queued size), connects, sends content from
    // the offset we answer and stops after length bytes (-1: all); the offset, or -1.
    qint64 Fetch(ItemPtr entry, quint32 token, const QByteArray& content, qint64 length = -1);
    // The store saved, the engine gone, and built again on the saved store; downloads then lie
    // in m_downloads, which outlives both.
    void Restart();
    ItemPtr Download(const QByteArray& who)
    {
        return m_env->transfers().GetDownloadEntry(UserOf(who), GetFileName(PathOf(who)),
                                                   GetFolder(PathOf(who)));
    }

    std::unique_ptr<TransferTestEnv> m_env;
    std::unique_ptr<QSignalSpy> m_recorded;
    std::map<std::string, std::unique_ptr<FakePeer>> m_messaging;
    std::unique_ptr<FakePeer> m_listener;
    std::unique_ptr<QTemporaryDir> m_downloads;
};

void tst_FileConnections::init()
{
    TransferIo::SetWaitMsForTesting(0);
    m_env = std::make_unique<TransferTestEnv>();
    m_recorded = std::make_unique<QSignalSpy>(&m_env->transfers(),
                                              &TransferQueueManager::CompleteDownloadAdded);
    PeerTestEnv::SetSetting("username", "alice");
    m_listener = std::make_unique<FakePeer>();
    ItemPtr bob = ServerStore::User("bob");
    bob += d.GetType("user_address")->GetItem(Value(unsigned(0x7f000001)));
    bob += d.GetType("user_port")->GetItem(Value(int(m_listener->Listen())));
}

void tst_FileConnections::cleanup()
{
    m_listener.reset();
    m_messaging.clear();
    m_recorded.reset();
    m_env.reset();
    m_downloads.reset();
    TransferIo::SetWaitMsForTesting(0);
}

FakePeer& tst_FileConnections::Messaging(const std::string& user)
{
    std::unique_ptr<FakePeer>& peer = m_messaging[user];
    if (!peer)
        peer = m_env->ConnectPeer(QByteArray::fromStdString(user));
    return *peer;
}

ItemPtr tst_FileConnections::Offered(const std::string& name, qint64 size, quint32 token,
                                     const std::string& user)
{
    ItemPtr entry = TransferTestEnv::Entry(user, "Music\\Album", name, size);
    return Offer(entry, token) ? entry : ItemPtr();
}

bool tst_FileConnections::Offer(ItemPtr entry, quint32 token)
{
    FakePeer& peer = Messaging(entry[ServerTypes::User].AsString());
    const QByteArray path = QByteArray::fromStdString(entry[RemoteFolder].AsString() + '\\' +
                                                      entry[FileName].AsString());
    m_env->Deliver(peer, Msg::Offer(token, path, entry[PeerTypes::FileSize].AsInt64()));
    return TransferTestEnv::NextMessage(peer) == Msg::Allowed(token);
}

qint64 tst_FileConnections::Fetch(ItemPtr entry, quint32 token, const QByteArray& content,
                                  qint64 length)
{
    const QByteArray user = QByteArray::fromStdString(entry[ServerTypes::User].AsString());
    std::unique_ptr<FakePeer> uploader = Offer(entry, token) ? Connect(token, user) : nullptr;
    const QByteArray answer = uploader ? Offset(*uploader) : QByteArray();
    if (answer.size() != 8)
        return -1;
    const qint64 offset = qFromLittleEndian<qint64>(answer.constData());
    uploader->SendRaw(content.mid(offset, length));
    if (length >= 0)
        uploader->Close();
    return EndsAs(entry, length >= 0 ? TransferStatus::Aborted : TransferStatus::Complete) ? offset
                                                                                           : -1;
}

void tst_FileConnections::Restart()
{
    const QString store = m_downloads->filePath(QStringLiteral("store"));
    QVERIFY(dataSaver->Save(store));
    m_messaging.clear();
    m_recorded.reset();
    m_env.reset();
    m_env = std::make_unique<TransferTestEnv>(TransferTestEnv::Options{store});
    m_recorded = std::make_unique<QSignalSpy>(&m_env->transfers(),
                                              &TransferQueueManager::CompleteDownloadAdded);
}

std::unique_ptr<FakePeer> tst_FileConnections::Connect(quint32 token, const QByteArray& user)
{
    auto peer = std::make_unique<FakePeer>();
    if (!peer->ConnectTo(m_env->env().peer().ListeningPort(), TransferTestEnv::kWaitMs))
        return nullptr;
    peer->SendInit(user, "F");
    peer->SendRaw(FakePeer::U32(token));
    return peer;
}

QByteArray tst_FileConnections::Offset(FakePeer& uploader)
{
    QByteArray offset;
    return uploader.WaitForRaw(8, &offset, TransferTestEnv::kWaitMs) ? offset : QByteArray();
}

ItemPtr tst_FileConnections::Connecting(const QByteArray& content, qint64 size,
                                        const QByteArray& name)
{
    // Written, then renamed by its bytes: a name that is not UTF-8 cannot go through QFile.
    if (!TransferTestEnv::WriteFile("Music/Album/a.mp3", content, size) ||
        ::rename("Music/Album/a.mp3", ("Music/Album/" + name).constData()) != 0)
        return ItemPtr();
    TransferTestEnv::Share();
    Settings::SetNumber(SettingKeys::TransferReqCounter, 7);
    FakePeer& bob = Messaging("bob");
    TransferTestEnv::SetOnline("bob");
    m_env->Request("bob", name.toStdString());
    if (TransferTestEnv::NextMessage(bob) !=
        Msg::Offer(7, AlbumPath(name), size < 0 ? content.size() : size))
        return ItemPtr();
    m_env->Deliver(bob, Msg::Allowed(7));
    ItemPtr upload = TransferTestEnv::Upload("bob", name.toStdString());
    return upload[UploadFile] ? upload : ItemPtr();
}

bool tst_FileConnections::TakeConnection()
{
    QByteArray frame;
    QByteArray token;
    return m_listener->WaitForConnection(TransferTestEnv::kWaitMs) &&
           m_listener->WaitForFrame(&frame, TransferTestEnv::kWaitMs) &&
           frame == FakePeer::InitBody("alice", "F") &&
           m_listener->WaitForRaw(4, &token, TransferTestEnv::kWaitMs) &&
           token.toHex() == "07000000";
}

// ---------------------------------------------------------------------------------------------
// Downloading

void tst_FileConnections::download_data()
{
    QTest::addColumn<qint64>("partial");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("offset");
    const qint64 size = 3 * 8192 + 100;
    QTest::newRow("new download") << qint64(0) << size << QByteArray("0000000000000000");
    QTest::newRow("1000-byte partial file")
        << qint64(1000) << size << QByteArray("e803000000000000");
    // Nothing is read: what the peer sends after the offset is not the file's.
    QTest::newRow("partial file holds it all")
        << qint64(5000) << qint64(5000) << QByteArray("8813000000000000");
    QTest::newRow("zero-byte file") << qint64(0) << qint64(0) << QByteArray("0000000000000000");
}

void tst_FileConnections::download()
{
    QFETCH(qint64, partial);
    QFETCH(qint64, size);
    QFETCH(QByteArray, offset);
    const QByteArray content = Msg::Pattern(size, 1);
    ItemPtr entry = Offered("a.mp3", size, 7);
    QVERIFY(entry);
    // The search form relates a download to the search it came from.
    Type* searchText = d.GetType(PeerTypes::SearchRequestText);
    if (!d.GetType(DownloadEntry)->IsRelated(searchText))
        d.GetType(DownloadEntry)->RelateToType(searchText, Many, One);
    ItemPtr search = searchText->GetItem(Value("album"));
    entry += search;
    if (partial > 0)
        QVERIFY(TransferTestEnv::WriteFile(m_env->Partial(entry), content.left(partial)));

    auto uploader = Connect(7);
    QVERIFY(uploader);
    QCOMPARE(Offset(*uploader).toHex(), offset);
    uploader->SendRaw(partial < size ? content.mid(partial) : QByteArray("stray bytes"));
    QVERIFY(EndsAs(entry, TransferStatus::Complete));
    QVERIFY(uploader->WaitForDisconnected(TransferTestEnv::kWaitMs));
    QCOMPARE(TransferTestEnv::ReadFile(m_env->Finished(entry)), content);
    QVERIFY(!QFileInfo::exists(QFileInfo(m_env->Partial(entry)).path()));
    for (const char* type : {TransfersTypes::DownloadThread, DownloadSocket, DownloadFile,
                             WritePosition, RemoteTransferReq})
        QVERIFY2(!entry[type], type);

    QCOMPARE(m_recorded->size(), 1);
    ItemPtr record = m_recorded->at(0).at(0).value<ItemPtr>();
    QCOMPARE(record[ServerTypes::User].AsString(), std::string("bob"));
    QCOMPARE(record[CompleteDownloadFolder].AsString(),
             m_env->transfers().GetDownloadTargetFolder(entry, true).toStdString());
    QCOMPARE(record[CompleteDownloadRelativeFolder].AsString(), std::string("Album"));
    QCOMPARE(record[CompleteDownloadFilename].AsString(), std::string("a.mp3"));
    QCOMPARE(record[CompleteDownloadFileSize].AsString(), std::to_string(size));
    QVERIFY(PeerTestEnv::IsStoredNow(record, CompleteDownloadCompletionTime));
    QCOMPARE(record[PeerTypes::SearchRequestText], search);
}

void tst_FileConnections::finishedTwiceIsRecordedOnce_data()
{
    QTest::addColumn<bool>("anew"); // the download removed and added again, not queued again
    QTest::newRow("queued again") << false;
    QTest::newRow("added again") << true;
}

void tst_FileConnections::finishedTwiceIsRecordedOnce()
{
    QFETCH(bool, anew);
    const QByteArray content = Msg::Pattern(5000, 2);
    ItemPtr entry = Offered("a.mp3", content.size(), 7);
    for (quint32 token : {7u, 8u}) {
        auto uploader = Connect(token);
        QVERIFY(uploader);
        QCOMPARE(Offset(*uploader).toHex(), QByteArray("0000000000000000"));
        uploader->SendRaw(content);
        QVERIFY(EndsAs(entry, TransferStatus::Complete));
        QCOMPARE(TransferTestEnv::ReadFile(m_env->Finished(entry)), content);
        // The user took the file elsewhere and asked for it again; the peer offers it anew.
        QVERIFY(QFile::remove(m_env->Finished(entry)));
        if (anew && token == 7) {
            m_env->transfers().RemoveDownload(entry);
            QVERIFY(entry = Offered("a.mp3", content.size(), 8));
            continue;
        }
        m_env->transfers().SetDownloadEntryStatus(entry, TransferStatus::Queued);
        QVERIFY(Offer(entry, 8));
    }
    QCOMPARE(m_recorded->size(), 1);
    QCOMPARE(TransferTestEnv::Count(CompleteDownload), size_t(1));
    // The download is linked to the record of its file, made for it or before it.
    QCOMPARE(entry[CompleteDownload], m_recorded->at(0).at(0).value<ItemPtr>());
}

void tst_FileConnections::refusedConnections_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<int>("when"); // 0 before bob's connection, 1 while it runs, 2 after it
    QTest::addColumn<QString>("line");
    const QString notFound = "Download not found, aborting";
    QTest::newRow("right token, other user") << QByteArray("carol") << 0 << notFound;
    QTest::newRow("same token while the first runs") << QByteArray("bob") << 1 << notFound;
    QTest::newRow("same token after completion") << QByteArray("bob") << 2 << notFound;
}

void tst_FileConnections::refusedConnections()
{
    QFETCH(QByteArray, user);
    QFETCH(int, when);
    QFETCH(QString, line);
    TransferLog log;
    const QByteArray content = Msg::Pattern(5 * 8192, 3);
    ItemPtr entry = Offered("a.mp3", content.size(), 7);
    ServerStore::User("carol");

    std::unique_ptr<FakePeer> first;
    if (when > 0) {
        first = Connect(7);
        QVERIFY(first);
        QVERIFY(!Offset(*first).isEmpty());
        first->SendRaw(content.left(8192 + 10));
        if (when == 2) {
            first->SendRaw(content.mid(8192 + 10));
            QVERIFY(EndsAs(entry, TransferStatus::Complete));
        }
    }
    auto second = Connect(7, user);
    QVERIFY(second);
    QVERIFY(second->WaitForDisconnected(TransferTestEnv::kWaitMs));
    QVERIFY(second->Pending().isEmpty());
    QVERIFY2(!log.lines.filter(line).isEmpty(), qPrintable(log.lines.join('\n')));
    if (when == 1) {
        first->SendRaw(content.mid(8192 + 10));
        QVERIFY(EndsAs(entry, TransferStatus::Complete));
        QCOMPARE(TransferTestEnv::ReadFile(m_env->Finished(entry)), content);
    }
    QCOMPARE(m_recorded->size(), when == 0 ? 0 : 1);
}

void tst_FileConnections::downloadEnds()
{
    const EndRow& r = CurrentRow(kEnds);
    const QString what = r.what;
    // A full disk: a file small enough to stay in the file's buffer until the very end.
    const qint64 size = what == "disk full" ? 5000 : 20000;
    const QByteArray content = Msg::Pattern(what == "larger" ? size + 1 : size, 4);
    ItemPtr entry = Offered("a.mp3", size, 7);
    const QString partial = m_env->Partial(entry);
    QVERIFY(QDir().mkpath(QFileInfo(partial).path()));
    if (what == "disk full")
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), partial));
    if (what == "silent")
        TransferIo::SetWaitMsForTesting(200);
    if (what == "larger")
        QVERIFY(TransferTestEnv::WriteFile(partial, content));
    if (what == "taken")
        QVERIFY(TransferTestEnv::WriteFile(m_env->Finished(entry), 10));
    if (what == "unwritable") // a file where the complete folder should be
        QVERIFY(TransferTestEnv::WriteFile(TransferTestEnv::DownloadFolder() + "/complete", 1));

    auto uploader = Connect(7);
    QVERIFY(uploader);
    if (what == "larger") {
        QVERIFY(uploader->WaitForDisconnected(TransferTestEnv::kWaitMs));
        QVERIFY(uploader->Pending().isEmpty());
    } else {
        QVERIFY(!Offset(*uploader).isEmpty());
    }
    int from = 0;
    if (what == "moved") {
        uploader->SendRaw(content.left(from = 8192));
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo(partial).size() == 8192; },
                                TransferTestEnv::kWaitMs));
        TransferTestEnv::SetDownloadFolder(m_env->Scratch("Elsewhere"));
    }
    uploader->SendRaw(content.mid(from, r.sent - from));
    if (what == "closes")
        uploader->Close();
    QVERIFY(EndsAs(entry, r.status));

    if (r.partialHolds >= 0)
        QCOMPARE(TransferTestEnv::ReadFile(partial), content.left(r.partialHolds));
    const QString finishedAs = r.finishedAs;
    QCOMPARE(m_recorded->size(), finishedAs.isEmpty() ? 0 : 1);
    if (finishedAs.isEmpty()) {
        QVERIFY(!QFileInfo::exists(m_env->Finished(entry)) || what == "taken");
    } else {
        // The download gives the file it was saved as.
        const QString saved = m_env->Finished(entry);
        QCOMPARE(QFileInfo(saved).fileName(), finishedAs);
        QCOMPARE(TransferTestEnv::ReadFile(saved), content);
        QCOMPARE(m_recorded->at(0).at(0).value<ItemPtr>()[CompleteDownloadFilename].AsString(),
                 finishedAs.toStdString());
    }
    if (what == "taken")
        QCOMPARE(QFileInfo(QFileInfo(m_env->Finished(entry)).dir(), "a.mp3").size(), qint64(10));
    if (what == "moved")
        QVERIFY(m_env->Finished(entry).startsWith(m_env->Scratch("Elsewhere/complete/")));
}

void tst_FileConnections::downloadTornDown_data()
{
    QTest::addColumn<QString>("how");
    for (const char* how : {"aborted", "removed", "engine"})
        QTest::newRow(how) << how;
}

void tst_FileConnections::downloadTornDown()
{
    // A peer stalled mid-block, for the whole 30 s I/O wait: tearing down must not wait for it.
    QFETCH(QString, how);
    const QByteArray content = Msg::Pattern(50000, 7);
    ItemPtr entry = Offered("a.mp3", content.size(), 7);
    auto stalled = Connect(7);
    QVERIFY(stalled);
    QVERIFY(!Offset(*stalled).isEmpty());
    stalled->SendRaw(content.left(8192 + 100));
    QVERIFY(QTest::qWaitFor(
        [&] { return entry[WritePosition] && *entry[WritePosition].AsPointer<qint64>() == 8192; },
        TransferTestEnv::kWaitMs));
    for (const char* type : {RemoteTransferReq, PlaceInLine, DenialReason})
        entry += d.GetType(type)->GetItem(Value("7"));
    const QString partial = m_env->Partial(entry);
    QPointer<QObject> socket = entry[DownloadSocket].AsPointer<QTcpSocket>();
    QPointer<QObject> worker = entry[TransfersTypes::DownloadThread].AsPointer<TransferWorker>();

    QElapsedTimer tearing;
    tearing.start();
    if (how == "aborted")
        m_env->transfers().SetDownloadEntryStatus(entry, TransferStatus::Aborted);
    else if (how == "removed")
        m_env->transfers().RemoveDownload(entry);
    else
        m_env.reset();
    QVERIFY2(tearing.elapsed() < 1000, qPrintable(QString::number(tearing.elapsed())));
    // A status change leaves deleting the socket and the worker to the event loop.
    QCOMPARE(socket && worker, how == "aborted");
    QVERIFY(stalled->WaitForDisconnected(TransferTestEnv::kWaitMs));
    if (how == "engine")
        return;
    QCOMPARE(TransferTestEnv::ReadFile(partial), content.left(8192));
    if (how == "aborted") {
        QVERIFY(!socket && !worker);
        for (const char* gone : {TransfersTypes::DownloadThread, DownloadFile, DownloadSocket,
                                 WritePosition, LastReceiptTime, BytesPerSecond})
            QVERIFY2(!entry.IsConnected(gone), gone);
        for (const char* kept : {LastSpeedMeasurementTime, BytesSinceLastReceipt, RemoteTransferReq,
                                 PlaceInLine, DenialReason})
            QVERIFY2(entry.IsConnected(kept), kept);
        return;
    }
    // What it ran on goes with it, its name and folder with the next sweep.
    for (const char* gone :
         {DownloadEntry, WritePosition, LastReceiptTime, BytesPerSecond, LastSpeedMeasurementTime})
        QVERIFY2(TransferTestEnv::Count(gone) == 0, gone);
    d.RemoveDisconnectedItems();
    for (const char* gone : {BytesSinceLastReceipt, FileName, RemoteFolder})
        QVERIFY2(TransferTestEnv::Count(gone) == 0, gone);
    // Right after, another download of bob's: none of the old worker's reports reach it.
    const QByteArray next = Msg::Pattern(20000, 8);
    ItemPtr b = Offered("b.mp3", next.size(), 8);
    QSignalSpy progressed(&m_env->transfers(), &TransferQueueManager::DownloadProgressed);
    auto uploader = Connect(8);
    QVERIFY(uploader);
    QVERIFY(!Offset(*uploader).isEmpty());
    uploader->SendRaw(next);
    QVERIFY(EndsAs(b, TransferStatus::Complete));
    QCOMPARE(TransferTestEnv::ReadFile(m_env->Finished(b)), next);
    for (const QList<QVariant>& args : progressed)
        QCOMPARE(args.at(0).value<ItemPtr>(), b);
}

void tst_FileConnections::progressAtMostTenTimesASecond()
{
    const qint64 size = qint64(64) << 20;
    ItemPtr entry = Offered("big.bin", size, 7);
    std::vector<qint64> positions;
    connect(
        &m_env->transfers(), &TransferQueueManager::DownloadProgressed, this,
        [&positions](ItemPtr e) { positions.push_back(*e[WritePosition].AsPointer<qint64>()); });
    auto uploader = Connect(7);
    QVERIFY(uploader);
    QVERIFY(!Offset(*uploader).isEmpty());
    QElapsedTimer elapsed;
    elapsed.start();
    const QByteArray chunk(1 << 20, 'x');
    for (int i = 0; i < 64; ++i)
        uploader->SendRaw(chunk);
    QVERIFY(EndsAs(entry, TransferStatus::Complete));
    const qint64 ms = elapsed.elapsed();
    QVERIFY2(qint64(positions.size()) <= ms * 11 / 1000 + 2,
             qPrintable(QStringLiteral("%1 in %2 ms").arg(positions.size()).arg(ms)));
    QCOMPARE(positions.back(), size);
    QCOMPARE(QFileInfo(m_env->Finished(entry)).size(), size);
}

void tst_FileConnections::handOverWaitsForTheEventLoop_data()
{
    QTest::addColumn<bool>("accepted");
    QTest::newRow("a peer's connection with its token") << false;
    QTest::newRow("the connection we asked for") << true;
}

void tst_FileConnections::handOverWaitsForTheEventLoop()
{
    // The peer connection manager emits from inside the socket's own signal handling: the
    // engine takes the socket (here: refuses and discards it) only once that has returned.
    QFETCH(bool, accepted);
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    QPointer<QTcpSocket> socket = new QTcpSocket;
    socket->connectToHost(QHostAddress::LocalHost, listener.serverPort());
    QVERIFY(socket->waitForConnected(TransferTestEnv::kWaitMs));
    if (accepted)
        Q_EMIT peerMessenger->FileConnectionAccepted("bob", socket);
    else
        Q_EMIT peerMessenger->FileConnectionRequested("bob", socket, 7);
    QVERIFY(socket);
    QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
    QTRY_VERIFY_WITH_TIMEOUT(!socket, TransferTestEnv::kWaitMs);
}

void tst_FileConnections::collidingNamesKeepTheirBytes_data()
{
    // Two downloads, "user remote\path", whose paths differ on the peer but not here.
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("restart");
    const struct
    {
        const char *name, *first, *second;
        int level;
    } rows[] = {
        {"Latin-1 names", "bob Music\\Album\\caf\xe9.mp3", "bob Music\\Album\\caf\xe8.mp3", 0},
        {"a control character", "bob Music\\Album\\a\x01.mp3", "bob Music\\Album\\a_.mp3", 0},
        {"two users", "bob Music\\Album\\a.mp3", "carol Music\\Album\\a.mp3", 0},
        {"two folders", "bob Music\\Album\\b.mp3", "bob Other\\Album\\b.mp3", 0},
        {"two folders at level 1", "bob Rock\\Music\\Album\\b.mp3", "bob Pop\\Music\\Album\\b.mp3",
         1},
    };
    for (const auto& r : rows) {
        for (bool restart : {false, true})
            QTest::addRow("%s%s", r.name, restart ? ", restarted" : "")
                << QByteArray(r.first) << QByteArray(r.second) << r.level << restart;
    }
}

void tst_FileConnections::collidingNamesKeepTheirBytes()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(int, level);
    QFETCH(bool, restart);
    m_downloads = std::make_unique<QTemporaryDir>();
    TransferTestEnv::SetDownloadFolder(m_downloads->path());
    // Of one size: by its size alone, either would pass for the other's finished file.
    const QByteArray one = Msg::Pattern(3 * 8192 + 100, 21), two = Msg::Pattern(one.size(), 22);
    for (const QByteArray& who : {first, second})
        m_env->transfers().AddDownload(UserOf(who), GetFileName(PathOf(who)),
                                       GetFolder(PathOf(who)), one.size(), level);

    // The first stops part-way; the second is connected after it.
    QCOMPARE(Fetch(Download(first), 7, one, 8192 + 10), qint64(0));
    if (restart)
        Restart();
    QCOMPARE(Fetch(Download(second), 8, two), qint64(0));
    // The first is asked for again when its user comes online, and goes on from its own bytes.
    TransferTestEnv::SetOnline(UserOf(first));
    const QByteArray path = QByteArray::fromStdString(PathOf(first));
    QCOMPARE(TransferTestEnv::NextMessage(Messaging(UserOf(first))), Msg::Queue(path));
    QCOMPARE(TransferTestEnv::NextMessage(Messaging(UserOf(first))),
             Msg::W(PM_UPLOAD_PLACE_IN_LINE_REQUEST).str(path).bytes());
    QCOMPARE(Fetch(Download(first), 9, one), qint64(8192));

    QCOMPARE(m_recorded->size(), 2);
    for (int i : {0, 1}) {
        ItemPtr record = m_recorded->at(i).at(0).value<ItemPtr>();
        const QString finished = TransferQueueManager::ToLocalPath(
            QString::fromStdString(record[CompleteDownloadFolder].AsString() + '\\' +
                                   record[CompleteDownloadFilename].AsString()));
        QCOMPARE(TransferTestEnv::ReadFile(finished), i == 0 ? two : one);
        // Each gives its own file, the later one the free name beside the first's.
        QCOMPARE(m_env->Finished(Download(i == 0 ? second : first)), finished);
    }
}

void tst_FileConnections::partialFileOfNoDownload_data()
{
    // Who wrote the partial file that bob's download of a.mp3 finds, the offset it starts from,
    // and how many downloads went beside the file, saying so.
    QTest::addColumn<QString>("writer");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<int>("beside");
    QTest::newRow("a download since removed") << "removed" << qint64(0) << 1;
    QTest::newRow("bob's, in an older store") << "bob" << qint64(8192) << 0;
    QTest::newRow("bob's or carol's, in an older store") << "two" << qint64(0) << 2;
}

void tst_FileConnections::partialFileOfNoDownload()
{
    QFETCH(QString, writer);
    QFETCH(qint64, offset);
    QFETCH(int, beside);
    m_downloads = std::make_unique<QTemporaryDir>();
    TransferTestEnv::SetDownloadFolder(m_downloads->path());
    const QByteArray content = Msg::Pattern(20000, 31);
    const QByteArray left = writer == "removed" ? Msg::Pattern(8192, 32) : content.left(8192);
    const QString layout = m_downloads->filePath(QStringLiteral("downloading/Album/a.mp3"));
    QVERIFY(TransferTestEnv::WriteFile(layout, left));
    TransferLog log;
    for (const char* user : {"bob", "carol"}) {
        if (user == std::string("bob") || writer == "two")
            m_env->transfers().AddDownload(user, "a.mp3", "Music\\Album", content.size(), 0);
    }
    if (writer != "removed") {
        // Saved by a client whose downloads owned no partial files.
        g(DownloadEntry).Disconnect(PartialFile);
        log.lines.clear();
        Restart();
    }

    QCOMPARE(Fetch(Download("bob Music\\Album\\a.mp3"), 7, content), offset);
    QCOMPARE(TransferTestEnv::ReadFile(m_env->Finished(Download("bob Music\\Album\\a.mp3"))),
             content);
    QCOMPARE(log.lines.filter("belongs to no download, downloading Music\\Album\\a.mp3").size(),
             beside);
    // What was there is left as it was, unless it was bob's own.
    QCOMPARE(TransferTestEnv::ReadFile(layout), offset == 0 ? left : QByteArray("(missing)"));
}

void tst_FileConnections::longNamesFitTheFileSystem_data()
{
    // The remote folder, the names bob's files have there (fetched in this order), and the names
    // they get here.
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QList<QByteArray>>("names");
    QTest::addColumn<QList<QByteArray>>("saved");
    QTest::newRow("a name of 100 KB")
        << QByteArray("Music\\Album") << QList<QByteArray>{QByteArray(102400, 'n') + ".mp3"}
        << QList<QByteArray>{QByteArray(251, 'n') + ".mp3"};
    // Each byte becomes a replacement character of three.
    QByteArray replaced;
    for (int i = 0; i < 83; ++i)
        replaced += "\xef\xbf\xbd";
    QTest::newRow("255 bytes that are no UTF-8")
        << QByteArray("Music\\Album") << QList<QByteArray>{QByteArray(251, '\xe9') + ".mp3"}
        << QList<QByteArray>{replaced + ".mp3"};
    const QByteArray prefix(255, 'p');
    QTest::newRow("two names that share their first 255 bytes")
        << QByteArray("Music\\Album") << QList<QByteArray>{prefix + "1.mp3", prefix + "2.mp3"}
        << QList<QByteArray>{QByteArray(251, 'p') + ".mp3", QByteArray(247, 'p') + " (1).mp3"};
    QTest::newRow("a folder of 300 bytes")
        << "Music\\" + QByteArray(300, 'f') << QList<QByteArray>{QByteArray("a.mp3")}
        << QList<QByteArray>{QByteArray("a.mp3")};
}

void tst_FileConnections::longNamesFitTheFileSystem()
{
    QFETCH(QByteArray, folder);
    QFETCH(QList<QByteArray>, names);
    QFETCH(QList<QByteArray>, saved);
    m_downloads = std::make_unique<QTemporaryDir>();
    TransferTestEnv::SetDownloadFolder(m_downloads->path());
    QList<QByteArray> contents;
    for (const QByteArray& name : names) {
        contents << Msg::Pattern(3 * 8192 + 100, 50 + quint32(contents.size()));
        m_env->transfers().AddDownload("bob", name.toStdString(), folder.toStdString(),
                                       contents.last().size(), 0);
    }
    for (int i = 0; i < names.size(); ++i) {
        ItemPtr entry = Download("bob " + folder + '\\' + names[i]);
        QVERIFY(entry);
        QCOMPARE(Fetch(entry, quint32(7 + i), contents[i]), qint64(0));
    }

    // Found on disk, in the one folder the remote folder gave, each under its name.
    const QDir complete(m_downloads->filePath(QStringLiteral("complete")));
    const QStringList folders = complete.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(folders.size(), 1);
    QVERIFY(QFile::encodeName(folders[0]).size() <= 255);
    QVERIFY2(folder.endsWith(QFile::encodeName(folders[0]).left(200)), qPrintable(folders[0]));
    const QDir album(complete.filePath(folders[0]));
    QCOMPARE(album.entryList(QDir::Files).size(), names.size());
    QCOMPARE(m_recorded->size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        const QString path = album.filePath(QFile::decodeName(saved[i]));
        QCOMPARE(TransferTestEnv::ReadFile(path), contents[i]);
        QCOMPARE(m_env->Finished(Download("bob " + folder + '\\' + names[i])), path);
    }
}

// ---------------------------------------------------------------------------------------------
// Uploading

void tst_FileConnections::upload_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("after the offset 1000") << qint64(3 * 8192 + 5) << qint64(1000)
                                           << QByteArray("a.mp3");
    QTest::newRow("from the start") << qint64(20000) << qint64(0) << QByteArray("a.mp3");
    // Nothing to send is no failure: no abort notice, and the upload is done.
    QTest::newRow("zero-byte file") << qint64(0) << qint64(0) << QByteArray("a.mp3");
    QTest::newRow("downloader holds it all") << qint64(1000) << qint64(1000)
                                             << QByteArray("a.mp3");
    // Names on disk are bytes: one written in Latin-1 is shared, so it must upload too.
    QTest::newRow("name not in UTF-8") << qint64(5000) << qint64(0)
                                       << QByteArray("caf\xe9.mp3");
}

void tst_FileConnections::upload()
{
    QFETCH(qint64, size);
    QFETCH(qint64, offset);
    QFETCH(QByteArray, name);
    const QByteArray content = Msg::Pattern(size, 11);
    std::vector<qint64> positions;
    connect(&m_env->transfers(), &TransferQueueManager::UploadProgressed, this,
            [&positions](ItemPtr e) { positions.push_back(*e[ReadPosition].AsPointer<qint64>()); });
    // Removed by its bytes: the temporary folder's clean-up goes through text and misses it.
    const QByteArray onDisk = "Music/Album/" + name;
    const auto unlink = [](const QByteArray* p) { ::unlink(p->constData()); };
    std::unique_ptr<const QByteArray, decltype(unlink)> removeFile(&onDisk, unlink);
    ItemPtr upload = Connecting(content, -1, name);
    QVERIFY(upload);
    QVERIFY(TakeConnection());
    QCOMPARE(TransferTestEnv::Status(upload), std::string(TransferStatus::Uploading));

    m_listener->SendRaw(Msg::Le64(offset));
    QByteArray got;
    QVERIFY(m_listener->WaitForRaw(size - offset, &got, TransferTestEnv::kWaitMs));
    QCOMPARE(got, content.mid(offset));
    // The uploader waits for the downloader to close.
    QCOMPARE(TransferTestEnv::Status(upload), std::string(TransferStatus::Uploading));
    m_listener->Close();
    QVERIFY(EndsAs(upload, TransferStatus::Complete));
    QVERIFY(m_listener->Pending().isEmpty());
    QVERIFY(NothingMoreToBob());
    if (size > 0)
        QCOMPARE(positions.back(), size);
    for (const char* type : {TransfersTypes::UploadThread, UploadSocket, UploadFile, ReadPosition})
        QVERIFY2(!upload[type], type);
}

void tst_FileConnections::uploadActivityFollowsItsData()
{
    ItemPtr upload = Connecting(Msg::Pattern(20000, 5));
    QVERIFY(upload);
    QVERIFY(TakeConnection());
    TransferQueueManager& transfers = m_env->transfers();
    // "uploading" for 400 s without a byte: as old as its status change.
    Clock::Shift(400);
    QVERIFY(transfers.UploadActivityAgeMs(upload) >= 400000);

    // Each report of data moved makes it new, while its status stays as old.
    std::vector<qint64> ages;
    QObject reports;
    connect(&transfers, &TransferQueueManager::UploadProgressed, &reports,
            [&](ItemPtr e) { ages.push_back(transfers.UploadActivityAgeMs(e)); });
    m_listener->SendRaw(Msg::Le64(0));
    QByteArray got;
    QVERIFY(m_listener->WaitForRaw(20000, &got, TransferTestEnv::kWaitMs));
    QTRY_VERIFY(!ages.empty());
    QVERIFY2(ages.front() < 60000, qPrintable(QString::number(ages.front())));
    m_listener->Close();
    QVERIFY(EndsAs(upload, TransferStatus::Complete));

    // Finished, it ages from that status change.
    QVERIFY(transfers.UploadActivityAgeMs(upload) < 60000);
    Clock::Shift(300);
    QVERIFY(transfers.UploadActivityAgeMs(upload) >= 300000);
}

void tst_FileConnections::rateGoesToTheServerForFilesAboveOneMebibyte_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("sent");
    QTest::newRow("exactly 1 MiB") << qint64(1048576) << false;
    QTest::newRow("one byte more") << qint64(1048577) << true;
}

void tst_FileConnections::rateGoesToTheServerForFilesAboveOneMebibyte()
{
    QFETCH(qint64, size);
    QFETCH(bool, sent);
    QVERIFY(m_env->env().logIn());
    TransferLog log;
    ItemPtr upload = Connecting(Msg::Pattern(size, 11));
    QVERIFY(upload);
    QVERIFY(TakeConnection());
    m_listener->SendRaw(Msg::Le64(0));
    QByteArray got;
    QVERIFY(m_listener->WaitForRaw(size, &got, TransferTestEnv::kWaitMs));
    m_listener->Close();
    QVERIFY(EndsAs(upload, TransferStatus::Complete));

    const QStringList recorded = log.lines.filter(QStringLiteral("Recording upload speed of "));
    QCOMPARE(recorded.size(), 1);
    const int rate = recorded.at(0).section(QLatin1Char(' '), -1).toInt();
    // Among the messages the fake server got, 121.
    QByteArray rest;
    qint64 code;
    while ((code = m_env->env().fake().nextMessage(&rest, 1000)) >= 0 && code != 121) {
    }
    QCOMPARE(code == 121, sent);
    if (sent) {
        QVERIFY(rate > 0);
        QCOMPARE(rest.toHex(), FakePeer::U32(quint32(rate)).toHex());
    }
}

void tst_FileConnections::uploadFails_data()
{
    // With the I/O wait at 200 ms, the downloader answers this to the token and then waits.
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("closes");
    QTest::newRow("no offset") << QByteArray() << false;
    QTest::newRow("half an offset") << QByteArray(4, '\0') << false;
    QTest::newRow("closed before the offset") << QByteArray(3, '\0') << true;
    QTest::newRow("offset past the end") << Msg::Le64(1001) << false;
    QTest::newRow("negative offset") << Msg::Le64(-1) << false;
    // The file is big enough that bob's buffers fill up.
    QTest::newRow("peer reads nothing") << Msg::Le64(0) << false;
    // And sends data instead, for as long as the upload waits: it stays in the connection.
    QTest::newRow("peer sends instead of reading") << Msg::Le64(0) << false;
}

void tst_FileConnections::uploadFails()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, closes);
    const bool sends = QTest::currentDataTag() == QByteArray("peer sends instead of reading");
    const bool big = sends || QTest::currentDataTag() == QByteArray("peer reads nothing");
    // Long enough for a loopback peer to push far more than the cap below.
    TransferIo::SetWaitMsForTesting(sends ? 1000 : 200);
    ItemPtr upload = Connecting(Msg::Pattern(1000, 12), big ? qint64(256) << 20 : -1);
    QVERIFY(upload);
    QVERIFY(TakeConnection());
    if (big)
        StopReading();
    m_listener->SendRaw(answer);
    if (closes)
        m_listener->Close();
    // What bob gets onto the connection, 1 MiB at a time up to the cap, while the upload waits:
    // the kernel's buffers take a few MiB, anything past that was read into our memory.
    constexpr qint64 kCap = qint64(64) << 20;
    qint64 pushed = 0;
    QObject pump;
    if (sends) {
        QTcpSocket* socket = m_listener->Socket();
        const QByteArray junk(1 << 20, 'j');
        connect(socket, &QTcpSocket::bytesWritten, &pump, [&, socket, junk](qint64 n) {
            pushed += n;
            if (pushed < kCap && socket->bytesToWrite() == 0)
                socket->write(junk);
        });
        socket->write(junk);
    }
    QVERIFY(EndsAs(upload, TransferStatus::Aborted));
    QVERIFY2(pushed < kCap, qPrintable(QString::number(pushed)));
    // The downloader hears that it failed, and asks again.
    QCOMPARE(TransferTestEnv::NextMessage(Messaging("bob")), Msg::Failed(AlbumPath("a.mp3")));
    QVERIFY(NothingMoreToBob());
    QVERIFY(closes || big || m_listener->WaitForDisconnected(TransferTestEnv::kWaitMs));
    QVERIFY(big || m_listener->Pending().isEmpty());
    for (const char* type : {TransfersTypes::UploadThread, UploadSocket, UploadFile, ReadPosition})
        QVERIFY2(!upload[type], type);
}

void tst_FileConnections::uploadStopsWhilePeerStalls_data()
{
    // Peers that stall for the whole 30 s I/O wait, or a throttle sleep of 8 s (one block at
    // 1 KiB/s): removing the upload, ending it, or the engine going must not wait for them.
    QTest::addColumn<QString>("stall");
    QTest::addColumn<QString>("how");
    for (const char* stall : {"waiting for the offset", "peer reads nothing",
                              "waiting for the close", "throttle sleep"})
        QTest::addRow("%s, removed", stall) << stall << "removed";
    QTest::newRow("throttle sleep, aborted") << "throttle sleep"
                                             << "aborted";
    QTest::newRow("throttle sleep, engine gone") << "throttle sleep"
                                                 << "engine";
}

void tst_FileConnections::uploadStopsWhilePeerStalls()
{
    QFETCH(QString, stall);
    QFETCH(QString, how);
    const bool big = stall == "peer reads nothing";
    const bool close = stall == "waiting for the close";
    if (stall == "throttle sleep") {
        m_env->transfers().SetUploadSpeedLimit(1);
        m_env->transfers().EnableUploadSpeedLimit(true);
    }
    ItemPtr upload =
        Connecting(Msg::Pattern(close ? 1000 : 100000, 9), big ? qint64(256) << 20 : -1);
    QVERIFY(upload);
    upload += d.GetType(DenialReason)->GetItem(Value("Busy"));
    QVERIFY(TakeConnection());
    if (big)
        StopReading();
    if (stall != "waiting for the offset")
        m_listener->SendRaw(Msg::Le64(0));
    QByteArray got;
    if (!big && stall != "waiting for the offset")
        QVERIFY(m_listener->WaitForRaw(close ? 1000 : 8192, &got, TransferTestEnv::kWaitMs));
    // Past the first slice of the wait the worker is stalled.
    QTest::qWait(2 * TransferIo::kWaitSliceMs);
    QPointer<QObject> worker = upload[TransfersTypes::UploadThread].AsPointer<TransferWorker>();
    QVERIFY(worker);

    QElapsedTimer stopping;
    stopping.start();
    if (how == "engine")
        m_env.reset();
    else if (how == "aborted")
        m_env->transfers().SetUploadEntryStatus(upload, TransferStatus::Aborted);
    else
        m_env->transfers().RemoveUpload(upload);
    QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
    if (how == "engine") {
        QVERIFY(!worker);
        return;
    }
    if (how == "aborted") {
        // Ended: bob is told; what the upload ran on goes, what names it stays.
        QCOMPARE(TransferTestEnv::NextMessage(Messaging("bob")), Msg::Failed(AlbumPath("a.mp3")));
        QVERIFY(m_listener->WaitForDisconnected(TransferTestEnv::kWaitMs));
        QTRY_VERIFY_WITH_TIMEOUT(!worker, TransferTestEnv::kWaitMs);
        for (const char* gone :
             {TransfersTypes::UploadThread, UploadFile, UploadSocket, ReadPosition, LastReceiptTime,
              LastSpeedMeasurementTime, BytesPerSecond})
            QVERIFY2(!upload.IsConnected(gone), gone);
        for (const char* kept : {TransferReq, DenialReason, UploadOrder, EffectiveUploadOrder})
            QVERIFY2(upload.IsConnected(kept), kept);
        return;
    }
    // Removed, not ended: gone at once, bob is not told, and he may ask again.
    QVERIFY(!worker);
    QVERIFY(NothingMoreToBob());
    // What it ran on goes with it, not with the next sweep.
    for (const char* gone : {UploadEntry, ReadPosition, LastReceiptTime, LastSpeedMeasurementTime,
                             BytesPerSecond, BytesSinceLastReceipt})
        QVERIFY2(TransferTestEnv::Count(gone) == 0, gone);
    m_env->Request("bob", "a.mp3");
    QCOMPARE(TransferTestEnv::StatusOf("bob", "a.mp3"), std::string("requesting"));
}

void tst_FileConnections::connectionWithoutAnUploadIsClosed()
{
    peerMessenger->RequestFileConnectionToUser("bob");
    QByteArray frame;
    QVERIFY(m_listener->WaitForConnection(TransferTestEnv::kWaitMs));
    QVERIFY(m_listener->WaitForFrame(&frame, TransferTestEnv::kWaitMs));
    QVERIFY(m_listener->WaitForDisconnected(TransferTestEnv::kWaitMs));
    QVERIFY(m_listener->Pending().isEmpty());
}

QTEST_GUILESS_MAIN(tst_FileConnections)
#include "tst_fileconnections.moc"

// File connections through the whole engine, on the downloading side: a fake uploader offers a
// file we download (message 40) and we allow it (41); it opens an "F" connection to our
// listener and sends its token; the engine answers with the start offset, a worker writes the
// file, and the finished download is moved and recorded. Refusals (unknown, stale and doubled
// tokens, a partial file in use), a full disk, a taken or unwritable complete folder, teardown
// while the peer stalls, and how often progress reaches the engine's signal.

#include "TransferTestEnv.h"

#include "FileBytes.h"
#include "transfers/TransferWorkers.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>

#include <map>
#include <vector>

using namespace FileBytes;
using namespace TransfersTypes;

namespace {

const std::string kFolder = "Music\\Album";

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

} // namespace

class TestFileConnections : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void downloadFromItsPartialFile_data();
    void downloadFromItsPartialFile();
    void finishedTwiceIsRecordedOnce();
    void refusedConnections_data();
    void refusedConnections();
    void fullDiskAborts();
    void partialFileLargerThanTheFile();
    void takenNameGetsTheFirstFreeOne();
    void unwritableCompleteFolderIsALocalError();
    void downloadFolderChangedMidDownload();
    void removalWhilePeerStallsAndTheNextTransfer();
    void silentPeerAborts();
    void progressAtMostTenTimesASecond();
    void handOverWaitsForTheEventLoop_data();
    void handOverWaitsForTheEventLoop();

private:
    // A download of user's, which the user offers with token (message 40) and we allow (41);
    // null when the answer was not that.
    ItemPtr Offered(const std::string& name, qint64 size, quint32 token,
                    const std::string& user = "bob");
    bool Offer(ItemPtr entry, quint32 token);
    // Our answer (message 41) to the user's offer of the download with token.
    QByteArray Answer(ItemPtr entry, quint32 token);
    // A fake uploader's file connection to our listener: the opening frame, then the token.
    std::unique_ptr<FakePeer> Connect(quint32 token, const QByteArray& user = "bob");
    // The start offset the engine answered, or empty.
    static QByteArray Offset(FakePeer& uploader);
    QString Partial(ItemPtr entry)
    {
        return TransferTestEnv::Local(m_env->transfers().GetDownloadTargetPath(entry, false));
    }
    QString Complete(ItemPtr entry)
    {
        return TransferTestEnv::Local(m_env->transfers().GetDownloadTargetPath(entry, true));
    }
    bool EndsAs(ItemPtr entry, const char* status)
    {
        return QTest::qWaitFor([&] { return TransferTestEnv::Status(entry) == status; },
                               TransferTestEnv::kWaitMs);
    }

    std::unique_ptr<TransferTestEnv> m_env;
    std::unique_ptr<QSignalSpy> m_recorded;
    // Each user's messaging connection to us.
    std::map<std::string, std::unique_ptr<FakePeer>> m_messaging;
};

void TestFileConnections::init()
{
    TransferIo::SetWaitMsForTesting(0);
    m_env = std::make_unique<TransferTestEnv>();
    m_recorded = std::make_unique<QSignalSpy>(&m_env->transfers(),
                                              &TransferQueueManager::CompleteDownloadAdded);
}

void TestFileConnections::cleanup()
{
    m_messaging.clear();
    m_recorded.reset();
    m_env.reset();
    TransferIo::SetWaitMsForTesting(0);
}

ItemPtr TestFileConnections::Offered(const std::string& name, qint64 size, quint32 token,
                                     const std::string& user)
{
    ItemPtr entry = TransferTestEnv::Entry(user, kFolder, name, size);
    return Offer(entry, token) ? entry : ItemPtr();
}

bool TestFileConnections::Offer(ItemPtr entry, quint32 token)
{
    return Answer(entry, token) ==
           QByteArray(WireWriter().u32(PM_TRANSFER_RESPONSE).u32(token).u8(1));
}

QByteArray TestFileConnections::Answer(ItemPtr entry, quint32 token)
{
    const std::string user = entry[ServerTypes::User].AsString();
    std::unique_ptr<FakePeer>& peer = m_messaging[user];
    if (!peer)
        peer = m_env->ConnectPeer(QByteArray::fromStdString(user));
    if (!peer)
        return QByteArray();
    const QByteArray path = QByteArray::fromStdString(kFolder + '\\' + entry[FileName].AsString());
    m_env->Deliver(*peer, WireWriter()
                              .u32(PM_TRANSFER_REQUEST)
                              .u32(1)
                              .u32(token)
                              .str(path)
                              .u64(quint64(entry[PeerTypes::FileSize].AsInt64())));
    return TransferTestEnv::NextMessage(*peer);
}

std::unique_ptr<FakePeer> TestFileConnections::Connect(quint32 token, const QByteArray& user)
{
    auto peer = std::make_unique<FakePeer>();
    if (!peer->ConnectTo(m_env->env().peer().ListeningPort(), TransferTestEnv::kWaitMs))
        return nullptr;
    peer->SendInit(user, "F");
    peer->SendRaw(FakePeer::U32(token));
    return peer;
}

QByteArray TestFileConnections::Offset(FakePeer& uploader)
{
    QByteArray offset;
    return uploader.WaitForRaw(8, &offset, TransferTestEnv::kWaitMs) ? offset : QByteArray();
}

void TestFileConnections::downloadFromItsPartialFile_data()
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

void TestFileConnections::downloadFromItsPartialFile()
{
    QFETCH(qint64, partial);
    QFETCH(qint64, size);
    QFETCH(QByteArray, offset);
    const QByteArray content = Pattern(size, 1);
    ItemPtr entry = Offered("a.mp3", size, 7);
    QVERIFY(entry);
    // The search form relates a download to the search it came from.
    Type* searchText = d.GetType(PeerTypes::SearchRequestText);
    if (!d.GetType(DownloadEntry)->IsRelated(searchText))
        d.GetType(DownloadEntry)->RelateToType(searchText, Many, One);
    ItemPtr search = searchText->GetItem(Value("album"));
    entry += search;
    if (partial > 0) {
        QDir().mkpath(QFileInfo(Partial(entry)).path());
        QFile f(Partial(entry));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content.left(partial)) == partial);
    }

    auto uploader = Connect(7);
    QVERIFY(uploader);
    QCOMPARE(Offset(*uploader).toHex(), offset);
    uploader->SendRaw(partial < size ? content.mid(partial) : QByteArray("stray bytes"));
    QVERIFY(EndsAs(entry, TransferStatus::Complete));
    QVERIFY(uploader->WaitForDisconnected(TransferTestEnv::kWaitMs));

    QCOMPARE(ReadFile(Complete(entry)), content);
    QVERIFY(!QFileInfo::exists(Partial(entry)));
    QVERIFY(!QFileInfo::exists(QFileInfo(Partial(entry)).path()));
    // Nothing of the running transfer is left on the entry.
    for (const char* type : {TransfersTypes::DownloadThread, DownloadSocket, DownloadFile,
                             WritePosition, RemoteTransferReq})
        QVERIFY2(!entry[type], type);

    QCOMPARE(m_recorded->size(), 1);
    ItemPtr record = m_recorded->at(0).at(0).value<ItemPtr>();
    QCOMPARE(TransferTestEnv::Count(CompleteDownload), size_t(1));
    QCOMPARE(record[ServerTypes::User].AsString(), std::string("bob"));
    QCOMPARE(record[CompleteDownloadFolder].AsString(),
             m_env->transfers().GetDownloadTargetFolder(entry, true).toStdString());
    QCOMPARE(record[CompleteDownloadRelativeFolder].AsString(), std::string("Album"));
    QCOMPARE(record[CompleteDownloadFilename].AsString(), std::string("a.mp3"));
    QCOMPARE(record[CompleteDownloadFileSize].AsString(), std::to_string(size));
    QVERIFY(PeerTestEnv::IsStoredNow(record, CompleteDownloadCompletionTime));
    QCOMPARE(record[PeerTypes::SearchRequestText], search);
}

void TestFileConnections::finishedTwiceIsRecordedOnce()
{
    const QByteArray content = Pattern(5000, 2);
    ItemPtr entry = Offered("a.mp3", content.size(), 7);
    for (quint32 token : {7u, 8u}) {
        auto uploader = Connect(token);
        QVERIFY(uploader);
        QCOMPARE(Offset(*uploader).toHex(), QByteArray("0000000000000000"));
        uploader->SendRaw(content);
        QVERIFY(EndsAs(entry, TransferStatus::Complete));
        QCOMPARE(ReadFile(Complete(entry)), content);
        // The user took the file elsewhere and asked for it again; the peer offers it anew.
        QVERIFY(QFile::remove(Complete(entry)));
        m_env->transfers().SetDownloadEntryStatus(entry, TransferStatus::Queued);
        QVERIFY(Offer(entry, 8));
    }
    QCOMPARE(m_recorded->size(), 1);
    QCOMPARE(TransferTestEnv::Count(CompleteDownload), size_t(1));
}

void TestFileConnections::refusedConnections_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<int>("when");
    QTest::addColumn<QString>("line");
    // when: 0 before the first connection, 1 while it runs, 2 after it completed.
    QTest::newRow("right token, other user")
        << QByteArray("carol") << 0 << QStringLiteral("Download not found, aborting");
    QTest::newRow("same token while the first runs")
        << QByteArray("bob") << 1 << QStringLiteral("Download not found, aborting");
    QTest::newRow("same token after completion")
        << QByteArray("bob") << 2 << QStringLiteral("Download not found, aborting");
    QTest::newRow("partial file of a running download")
        << QByteArray("carol") << 3
        << QStringLiteral("in use by another download, refusing connection");
}

void TestFileConnections::refusedConnections()
{
    QFETCH(QByteArray, user);
    QFETCH(int, when);
    QFETCH(QString, line);
    TransferLog log;
    const QByteArray content = Pattern(5 * 8192, 3);
    ItemPtr entry = Offered("a.mp3", content.size(), 7);
    ServerStore::User("carol");
    // Carol offers the same file name from a folder of the same name, as token 9.
    ItemPtr carols = when == 3 ? Offered("a.mp3", content.size(), 9, "carol") : ItemPtr();
    const quint32 token = when == 3 ? 9 : 7;

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
    auto second = Connect(token, user);
    QVERIFY(second);
    QVERIFY(second->WaitForDisconnected(TransferTestEnv::kWaitMs));
    QVERIFY(second->Pending().isEmpty());
    QVERIFY2(!log.lines.filter(line).isEmpty(), qPrintable(log.lines.join(QLatin1Char('\n'))));
    if (carols) {
        QCOMPARE(TransferTestEnv::Status(carols), std::string(TransferStatus::Queued));
        // Carol, whose upload failed, is asked again and offers again: refused at once now, or
        // the round would repeat for as long as bob's download runs.
        QCOMPARE(Answer(carols, 10).toHex(),
                 Hex("29000000 0a000000 00 09000000 43616e63656c6c6564").toHex());
        QVERIFY(!carols[RemoteTransferReq]);
    }

    if (when == 1 || when == 3) {
        first->SendRaw(content.mid(8192 + 10));
        QVERIFY(EndsAs(entry, TransferStatus::Complete));
        QCOMPARE(ReadFile(Complete(entry)), content);
    }
    QCOMPARE(m_recorded->size(), when == 0 ? 0 : 1);
}

void TestFileConnections::fullDiskAborts()
{
    ItemPtr entry = Offered("a.mp3", 5000, 7);
    QVERIFY(QDir().mkpath(QFileInfo(Partial(entry)).path()));
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), Partial(entry)));
    auto uploader = Connect(7);
    QVERIFY(uploader);
    QCOMPARE(Offset(*uploader).toHex(), QByteArray("0000000000000000"));
    uploader->SendRaw(Pattern(5000, 4));
    QVERIFY(EndsAs(entry, TransferStatus::Aborted));
    QCOMPARE(m_recorded->size(), 0);
    QVERIFY(!QFileInfo::exists(Complete(entry)));
    QVERIFY(QFileInfo(Partial(entry)).isSymLink());
}

void TestFileConnections::partialFileLargerThanTheFile()
{
    ItemPtr entry = Offered("a.mp3", 1000, 7);
    const QByteArray held = Pattern(1500, 14);
    QDir().mkpath(QFileInfo(Partial(entry)).path());
    QFile f(Partial(entry));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(held) == held.size());
    f.close();
    auto uploader = Connect(7);
    QVERIFY(uploader);
    QVERIFY(uploader->WaitForDisconnected(TransferTestEnv::kWaitMs));
    QVERIFY(uploader->Pending().isEmpty());
    QVERIFY(EndsAs(entry, TransferStatus::LocalError));
    QCOMPARE(ReadFile(Partial(entry)), held);
}

void TestFileConnections::takenNameGetsTheFirstFreeOne()
{
    const QByteArray content = Pattern(5000, 5);
    ItemPtr entry = Offered("a.mp3", content.size(), 7);
    const QString taken = Complete(entry);
    QVERIFY(TransferTestEnv::WriteFile(taken, 10));
    auto uploader = Connect(7);
    QVERIFY(uploader);
    QVERIFY(!Offset(*uploader).isEmpty());
    uploader->SendRaw(content);
    QVERIFY(EndsAs(entry, TransferStatus::Complete));

    const QString saved = QFileInfo(taken).dir().filePath(QStringLiteral("a (1).mp3"));
    QCOMPARE(ReadFile(saved), content);
    QCOMPARE(QFileInfo(taken).size(), qint64(10));
    QCOMPARE(m_recorded->size(), 1);
    QCOMPARE(m_recorded->at(0).at(0).value<ItemPtr>()[CompleteDownloadFilename].AsString(),
             std::string("a (1).mp3"));
}

void TestFileConnections::unwritableCompleteFolderIsALocalError()
{
    const QByteArray content = Pattern(5000, 6);
    ItemPtr entry = Offered("a.mp3", content.size(), 7);
    // A file where the complete folder should be: no folder can be made below it.
    QVERIFY(TransferTestEnv::WriteFile(
        TransferTestEnv::DownloadFolder() + QStringLiteral("/complete"), 1));
    auto uploader = Connect(7);
    QVERIFY(uploader);
    QVERIFY(!Offset(*uploader).isEmpty());
    uploader->SendRaw(content);
    QVERIFY(EndsAs(entry, TransferStatus::LocalError));
    QCOMPARE(ReadFile(Partial(entry)), content);
    QCOMPARE(m_recorded->size(), 0);
    QVERIFY(!entry[TransfersTypes::DownloadThread]);
}

void TestFileConnections::downloadFolderChangedMidDownload()
{
    const QByteArray content = Pattern(3 * 8192, 13);
    ItemPtr entry = Offered("a.mp3", content.size(), 7);
    auto uploader = Connect(7);
    QVERIFY(uploader);
    QVERIFY(!Offset(*uploader).isEmpty());
    uploader->SendRaw(content.left(8192));
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(Partial(entry)).size() == 8192; },
                            TransferTestEnv::kWaitMs));
    // The user picks another download folder: the file being written is still the one to move.
    Settings::Set(SettingKeys::DownloadFolder,
                  QFile::encodeName(m_env->Scratch(QStringLiteral("Elsewhere"))).toStdString());
    uploader->SendRaw(content.mid(8192));
    QVERIFY(EndsAs(entry, TransferStatus::Complete));
    QCOMPARE(ReadFile(Complete(entry)), content);
    QVERIFY(Complete(entry).contains(QStringLiteral("/Elsewhere/complete/")));
}

void TestFileConnections::removalWhilePeerStallsAndTheNextTransfer()
{
    ItemPtr entry = Offered("a.mp3", 50000, 7);
    auto stalled = Connect(7);
    QVERIFY(stalled);
    QVERIFY(!Offset(*stalled).isEmpty());
    // Mid-block, and then nothing for the whole 30 s wait.
    stalled->SendRaw(Pattern(8192 + 100, 7));
    QVERIFY(QTest::qWaitFor(
        [&] { return entry[WritePosition] && *entry[WritePosition].AsPointer<qint64>() == 8192; },
        TransferTestEnv::kWaitMs));

    QElapsedTimer removing;
    removing.start();
    m_env->transfers().RemoveDownload(entry);
    QVERIFY2(removing.elapsed() < 1000, qPrintable(QString::number(removing.elapsed())));

    // Right after, another download of bob's: none of the old worker's reports reach it.
    const QByteArray content = Pattern(20000, 8);
    ItemPtr next = Offered("b.mp3", content.size(), 8);
    QSignalSpy progressed(&m_env->transfers(), &TransferQueueManager::DownloadProgressed);
    auto uploader = Connect(8);
    QVERIFY(uploader);
    QVERIFY(!Offset(*uploader).isEmpty());
    uploader->SendRaw(content);
    QVERIFY(EndsAs(next, TransferStatus::Complete));
    QCOMPARE(ReadFile(Complete(next)), content);
    for (const QList<QVariant>& args : progressed)
        QCOMPARE(args.at(0).value<ItemPtr>(), next);
}

void TestFileConnections::silentPeerAborts()
{
    TransferIo::SetWaitMsForTesting(200);
    ItemPtr entry = Offered("a.mp3", 5000, 7);
    auto uploader = Connect(7);
    QVERIFY(uploader);
    QVERIFY(!Offset(*uploader).isEmpty());
    QVERIFY(EndsAs(entry, TransferStatus::Aborted));
    QVERIFY(uploader->WaitForDisconnected(TransferTestEnv::kWaitMs));
}

void TestFileConnections::progressAtMostTenTimesASecond()
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
    QCOMPARE(QFileInfo(Complete(entry)).size(), size);
}

void TestFileConnections::handOverWaitsForTheEventLoop_data()
{
    QTest::addColumn<bool>("accepted");
    QTest::newRow("a peer's connection with its token") << false;
    QTest::newRow("the connection we asked for") << true;
}

void TestFileConnections::handOverWaitsForTheEventLoop()
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

QTEST_GUILESS_MAIN(TestFileConnections)
#include "tst_fileconnections.moc"

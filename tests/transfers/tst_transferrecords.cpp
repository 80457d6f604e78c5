// The transfer engine's records across a save and a load, its settings and active marks, the
// heap values its items own; where a download's files go whatever names the peer sent, when a
// finished file counts as there, and which emptied folders go.

#include "TransferTestEnv.h"

#include "support/HeapUse.h"

#include <QDateTime>
#include <QScopeGuard>
#include <QTcpSocket>

#include <iterator>
#include <set>

using namespace TransfersTypes;

#ifdef QV_HEAP_USE_ASAN
extern "C" int __asan_address_is_poisoned(void const volatile* addr);
#endif

namespace {

// Under AddressSanitizer freed memory stays poisoned for a long while, and a second free is
// reported. Elsewhere nothing can tell whether a block was freed.
#ifdef QV_HEAP_USE_ASAN
constexpr bool kFreedKnown = true;
bool Freed(const void* p)
{
    return __asan_address_is_poisoned(p) != 0;
}
#else
constexpr bool kFreedKnown = false;
bool Freed(const void*)
{
    return false;
}
#endif

void Link(ItemPtr item, const char* type, const std::string& value)
{
    item += d.GetType(type)->GetItem(Value(value));
}

// Saved values of the engine's settings, and the defaults a start without a file gives them.
const char* const kSettings[][3] = {
    {SettingKeys::TransferOrderCounter.name, "57", "1"},
    {SettingKeys::TransferReqCounter.name, "9", "1"},
    {SettingKeys::UploadSlots.name, "3", "1"},
    {SettingKeys::UploadSpeedLimit.name, "20", "0"},
    {SettingKeys::UploadSpeedLimitEnabled.name, "yes", "no"},
};
const char* const kStatuses[] = {"downloading", "aborted", "denied",  "local error",
                                 "queued",      "",        "complete"};
const std::pair<const char*, std::string> kRecord[] = {
    {CompleteDownloadFolder, "/home/u/Quorvale Downloads/complete/Album"},
    {CompleteDownloadRelativeFolder, "Album"},
    {CompleteDownloadFilename, "a.mp3"},
    {CompleteDownloadFileSize, "5000000000"},
    {CompleteDownloadCompletionTime, "Tue Mar 5 10:01:02 2024"},
    {ServerTypes::User, "dave"},
};

std::set<std::string> Tracked()
{
    std::set<std::string> users;
    for (Item* user : g(ServerTypes::IsTracked).GetItems(ServerTypes::User))
        users.insert(user->AsString());
    return users;
}

// A download's finished file (internal form) and relative folder, for a download folder, a remote
// folder, a level and a file name; "~" is /home/user/Quorvale Downloads and its finished folder.
struct PathRow
{
    const char *name, *base, *remote;
    int level;
    const char *file, *finished, *relative;
};
const char kHome[] = "/home/user/Quorvale Downloads";
const PathRow kPaths[] = {
    {"level 0", "~", "Music\\Rock\\Band\\Album", 0, "01.mp3", "~\\Album\\01.mp3", "Album"},
    {"level 1", "~", "Music\\Rock\\Band\\Album", 1, "01.mp3", "~\\Band\\Album\\01.mp3",
     "Band\\Album"},
    {"slashes", "~", "/data/Rock/Album", 0, "01.mp3", "~\\Album\\01.mp3", "Album"},
    {"empty folder", "~", "", 0, "01.mp3", "~\\01.mp3", ""},
    {"base with trailing slash", "/srv/dl/", "", 0, "01.mp3", "\\srv\\dl\\\\complete\\01.mp3", ""},
    {"dot dot components", "~", "x\\..\\..", 1, ".bashrc", "~\\_\\_\\.bashrc", "_\\_"},
    {"separators in the name", "~", "Music", 0, "..\\..\\.bashrc", "~\\Music\\.._.._.bashrc",
     "Music"},
    {"slash and dot in the name", "~", "Music", 0, "../.", "~\\Music\\.._.", "Music"},
    {"control characters", "~", "A\nB\\\x1b[1m", 1, "a\tb", "~\\A_B\\_[1m\\a_b", "A_B\\_[1m"},
    {"level beyond depth", "~", "Album", 1, "01.mp3", "~\\Album\\01.mp3", "Album"},
    {"level beyond depth, leading slash", "~", "/data/Rock", 5, "01.mp3", "~\\data\\Rock\\01.mp3",
     "data\\Rock"},
    {"level beyond depth, trailing separator", "~", "Album\\", 2, "01.mp3", "~\\Album\\01.mp3",
     "Album"},
    {"negative level", "~", "Music\\Rock\\Band\\Album", -1, "01.mp3", "~\\Album\\01.mp3", "Album"},
    {"empty name", "~", "Music", 0, "", "~\\Music\\_", "Music"},
    {"UTF-8 names", "/home/j\xc3\xb6rg/dl", "Musik\\Bj\xc3\xb6rk", 0, "J\xc3\xb3ga.mp3",
     "\\home\\j\xc3\xb6rg\\dl\\complete\\Bj\xc3\xb6rk\\J\xc3\xb3ga.mp3", "Bj\xc3\xb6rk"},
    // Nothing lies below no folder: no path, and nothing found there.
    {"no download folder", "", "Music", 0, "a.mp3", "", "Music"},
};

// The download (complete) and another user's from the same remote folder (its status, or none);
// a folder, or a file when it ends in .mp3, made below the download folder; then the folders
// removed and kept.
struct FolderRow
{
    const char *name, *remote;
    int level;
    const char *other, *made, *gone, *stay;
};
const char kRock[] = "Music\\Rock\\Album";
const FolderRow kFolders[] = {
    {"level 1", kRock, 1, nullptr, "", "downloading/Rock/Album, downloading/Rock", "downloading"},
    {"empty remote folder", "", 0, nullptr, "", "downloading", ""},
    // A folder still holding something stays, and so do those above it.
    {"not empty", kRock, 1, nullptr, "downloading/Rock/Album/left.mp3", "",
     "downloading/Rock/Album, downloading/Rock"},
    {"sibling left", kRock, 1, nullptr, "downloading/Rock/Other", "downloading/Rock/Album",
     "downloading/Rock, downloading"},
    {"another download still queued", kRock, 1, "queued", "", "", "downloading/Rock/Album"},
    {"another download without a status", kRock, 1, "", "", "", "downloading/Rock/Album"},
    {"another download complete too", kRock, 1, "complete", "",
     "downloading/Rock/Album, downloading/Rock", "downloading"},
    // Taken as it stands, "x\..\..\Documents" would name the user's own empty folder beside the
    // download folder.
    {"climbing out", "x\\..\\..\\Documents", 2, nullptr, "../Documents", "downloading/_",
     "downloading, ../Documents"},
};

} // namespace

class tst_TransferRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void savedRecordsComeBack();
    void freshStart();
    void heapValueFreedWithItsItem_data();
    void heapValueFreedWithItsItem();
    void targetPaths_data() { AddRows(kPaths); }
    void targetPaths();
    void downloadFolderInFileSystemEncoding();
    void finishedFileCounts_data();
    void finishedFileCounts();
    void emptiedFoldersRemoved_data() { AddRows(kFolders); }
    void emptiedFoldersRemoved();
};

void tst_TransferRecords::savedRecordsComeBack()
{
    // A download in each status, each as it runs (socket, position, times, tokens), a finished
    // download's record and settings of the engine's own.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("store"));
    {
        TransferTestEnv env;
        int order = 17;
        for (const char* status : kStatuses) {
            ItemPtr entry = TransferTestEnv::Entry(*status ? "bob" : "carol", "Music\\Album",
                                                   std::string(status) + ".mp3", 5000000000LL, 1,
                                                   status, order++);
            Link(entry, LastStatusChangeTime, Clock::NowText().toStdString());
            for (const char* type : {PlaceInLine, RemoteTransferReq, DenialReason})
                Link(entry, type, "7");
            TransferQueueManager::AttachObject(entry, WritePosition, new qint64(1234));
            TransferQueueManager::AttachObject(entry, LastReceiptTime, new QDateTime());
            TransferQueueManager::AttachObject(entry, BytesPerSecond, new qint32(5));
            TransferQueueManager::AttachObject(entry, DownloadSocket, new QTcpSocket);
        }
        ItemPtr record = d.GetType(CompleteDownload)->NewItem();
        for (const auto& v : kRecord)
            Link(record, v.first, v.second);
        for (const auto& setting : kSettings)
            Settings::Set(SettingKey{setting[0]}, setting[1]);
        QVERIFY(dataSaver->Save(file));
    }
    TransferTestEnv env({file});

    QCOMPARE(TransferTestEnv::Count(DownloadEntry), std::size(kStatuses));
    int order = 17;
    for (const std::string status : kStatuses) {
        ItemPtr entry =
            d.GetType(FileName)->HasItem(Value(status + ".mp3")).GetItems(DownloadEntry).First();
        QVERIFY2(entry, status.c_str());
        // Nothing that ran before runs now: only a finished download keeps its status.
        QCOMPARE(TransferTestEnv::Status(entry), status == "complete" ? status : "queued");
        QCOMPARE(entry[ServerTypes::User].AsString(),
                 std::string(status.empty() ? "carol" : "bob"));
        QCOMPARE(entry[RemoteFolder].AsString(), std::string("Music\\Album"));
        QCOMPARE(entry[PeerTypes::FileSize].AsInt64(), 5000000000LL);
        QCOMPARE(entry[DownloadOrder].AsInt(), order++);
        QCOMPARE(entry[SubfolderSaveLevel].AsInt(), 1);
        for (const char* gone :
             {LastStatusChangeTime, PlaceInLine, RemoteTransferReq, DenialReason, WritePosition,
              LastReceiptTime, BytesPerSecond, DownloadSocket, DownloadFile, DownloadThread})
            QVERIFY2(!entry.IsConnected(gone), gone);
    }
    QVERIFY(d.GetType(DownloadEntryStatus)->HasItem(Value("downloading")).IsConnected(IsActive));
    QCOMPARE(TransferTestEnv::Count(CompleteDownload), size_t(1));
    for (const auto& v : kRecord)
        QCOMPARE(ItemPtr(g(CompleteDownload).First())[v.first].AsString(), v.second);
    for (const auto& setting : kSettings)
        QCOMPARE(Settings::Text(SettingKey{setting[0]}), std::string(setting[1]));
    QCOMPARE(env.loaded().size(), 1);
    // The users of downloads, finished ones included, are watched; a record's user is not.
    QCOMPARE(Tracked(), std::set<std::string>({"bob", "carol"}));
}

void tst_TransferRecords::freshStart()
{
    TransferTestEnv env;
    for (const auto& setting : kSettings)
        QCOMPARE(Settings::Text(SettingKey{setting[0]}), std::string(setting[2]));
    QCOMPARE(env.loaded().size(), 1);
    QVERIFY(Tracked().empty());
    // The statuses that hold a slot, and no others, each with a mark of its own.
    std::multiset<std::string> marked;
    for (Item* mark : g(IsActive)) {
        for (Item* status : ItemPtr(mark).GetItems(DownloadEntryStatus))
            marked.insert("download " + status->AsString());
        for (Item* status : ItemPtr(mark).GetItems(UploadEntryStatus))
            marked.insert("upload " + status->AsString());
    }
    QCOMPARE(marked, std::multiset<std::string>({"download downloading", "upload requesting",
                                                 "upload connecting", "upload waiting for offset",
                                                 "upload uploading"}));
    QCOMPARE(marked.size(), TransferTestEnv::Count(IsActive));
}

void tst_TransferRecords::heapValueFreedWithItsItem_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<bool>("unlinked"); // unlinked and swept, or its entry removed
    for (const char* type : {WritePosition, ReadPosition, BytesSinceLastReceipt, BytesUploaded,
                             BytesPerSecond, LastReceiptTime, LastSpeedMeasurementTime}) {
        QTest::addRow("%s unlinked", type) << QByteArray(type) << true;
        QTest::addRow("%s, entry removed", type) << QByteArray(type) << false;
    }
}

void tst_TransferRecords::heapValueFreedWithItsItem()
{
    if (!kFreedKnown)
        QSKIP("Only AddressSanitizer can tell whether the value was freed (QV_SANITIZE=ON)");
    QFETCH(QByteArray, type);
    QFETCH(bool, unlinked);
    TransferTestEnv env;
    const char* name = type.constData();
    ItemPtr entry =
        d.GetType(type == ReadPosition || type == BytesUploaded ? UploadEntry : DownloadEntry)
            ->NewItem();
    const void* object;
    if (type.startsWith("last_"))
        object = TransferQueueManager::AttachObject(entry, name, new QDateTime(Clock::Now()));
    else if (type == BytesPerSecond)
        object = TransferQueueManager::AttachObject(entry, name, new qint32(7));
    else
        object = TransferQueueManager::AttachObject(entry, name, new qint64(7));

    if (unlinked)
        entry.Disconnect(entry[name]);
    else
        entry.Remove();
    QVERIFY(!Freed(object));
    d.RemoveDisconnectedItems();
    QCOMPARE(TransferTestEnv::Count(name), size_t(0));
    // Freed once: a second free would have stopped the test here.
    QVERIFY(Freed(object));
    // An item whose value is no address is let go of without touching anything.
    d.GetType(name)->GetItem(Value("0"));
    d.RemoveDisconnectedItems();
    QCOMPARE(TransferTestEnv::Count(name), size_t(0));
}

void tst_TransferRecords::targetPaths()
{
    const PathRow& r = CurrentRow(kPaths);
    TransferTestEnv env;
    TransferTestEnv::SetDownloadFolder(QString::fromUtf8(r.base).replace('~', kHome));
    TransferQueueManager& t = env.transfers();
    ItemPtr entry = TransferTestEnv::Entry("bob", r.remote, r.file, 1000, r.level);
    const QString finished =
        QString::fromUtf8(r.finished).replace('~', "\\home\\user\\Quorvale Downloads\\complete");
    const QString partial = QString(finished).replace("\\complete", "\\downloading");
    QCOMPARE(t.GetDownloadTargetPath(entry, true), finished);
    QCOMPARE(t.GetDownloadTargetPath(entry, false), partial);
    QCOMPARE(t.GetDownloadTargetFolder(entry, true), finished.left(finished.lastIndexOf('\\')));
    QCOMPARE(t.GetDownloadTargetFolder(entry, false), partial.left(partial.lastIndexOf('\\')));
    QCOMPARE(t.GetDownloadRelativeDownloadFolder(entry), QString::fromUtf8(r.relative));
    QVERIFY(!t.DoesDownloadItemCompleteFilenameExist(entry));
    // The store keeps the peer's spelling: that is what the peer knows the file by.
    QCOMPARE(entry[RemoteFolder].AsString(), std::string(r.remote));
    QCOMPARE(entry[FileName].AsString(), std::string(r.file));
}

void tst_TransferRecords::downloadFolderInFileSystemEncoding()
{
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("h\u00f8m\u00e9"));
    QVERIFY(QDir().mkpath(home));
    const auto restore = qScopeGuard([old = qgetenv("HOME")] { qputenv("HOME", old); });
    qputenv("HOME", QFile::encodeName(home));
    TransferTestEnv env({QString(), false});

    const QString folder = home + QStringLiteral("/Quorvale Downloads");
    QCOMPARE(QByteArray::fromStdString(Settings::Text(SettingKeys::DownloadFolder)),
             folder.toUtf8());
    ItemPtr entry = TransferTestEnv::Entry("bob", "Music\\Album", "a.mp3");
    QCOMPARE(env.Partial(entry), folder + QStringLiteral("/downloading/Album/a.mp3"));
}

void tst_TransferRecords::finishedFileCounts_data()
{
    QTest::addColumn<QString>("what"); // what is at the finished path
    QTest::addColumn<qint64>("size");  // the download's size
    QTest::addColumn<bool>("done");
    QTest::newRow("file of the size") << "file 1000" << qint64(1000) << true;
    QTest::newRow("file cut short") << "file 999" << qint64(1000) << false;
    QTest::newRow("file larger") << "file 1001" << qint64(1000) << false;
    QTest::newRow("empty file, empty download") << "file 0" << qint64(0) << true;
    QTest::newRow("folder") << "folder" << qint64(0) << false;
    QTest::newRow("nothing") << "" << qint64(0) << false;
}

void tst_TransferRecords::finishedFileCounts()
{
    QFETCH(QString, what);
    QFETCH(qint64, size);
    QFETCH(bool, done);
    TransferTestEnv env;
    ItemPtr entry = TransferTestEnv::Entry("bob", "Music\\Album", "a.mp3", size);
    if (what.startsWith("file"))
        QVERIFY(TransferTestEnv::WriteFile(env.Finished(entry), what.mid(5).toLongLong()));
    else if (what == "folder")
        QVERIFY(QDir().mkpath(env.Finished(entry)));
    QCOMPARE(env.transfers().DoesDownloadItemCompleteFilenameExist(entry), done);
}

void tst_TransferRecords::emptiedFoldersRemoved()
{
    const FolderRow& r = CurrentRow(kFolders);
    TransferTestEnv env;
    const QString base = TransferTestEnv::DownloadFolder() + '/';
    ItemPtr entry = TransferTestEnv::Entry("bob", r.remote, "a.mp3", 1, r.level, "complete");
    if (r.other)
        TransferTestEnv::Entry("carol", r.remote, "b.mp3", 1, r.level, r.other);
    QVERIFY(QDir().mkpath(QFileInfo(env.Partial(entry)).path()));
    const QString made = r.made;
    if (made.endsWith(".mp3"))
        QVERIFY(TransferTestEnv::WriteFile(base + made, 1));
    else if (!made.isEmpty())
        QVERIFY(QDir().mkpath(base + made));

    env.transfers().RemoveDownloadDownloadingFolderIfAppropriate(entry);
    for (const QString& f : QString(r.gone).split(", ", Qt::SkipEmptyParts))
        QVERIFY2(!QFileInfo(base + f).isDir(), qPrintable(f));
    for (const QString& f : QString(r.stay).split(", ", Qt::SkipEmptyParts))
        QVERIFY2(QFileInfo(base + f).isDir(), qPrintable(f));
    QVERIFY(QFileInfo(base).isDir());
}

QTEST_GUILESS_MAIN(tst_TransferRecords)
#include "tst_transferrecords.moc"

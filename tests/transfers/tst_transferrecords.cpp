// The transfer engine's records across a save and a load, its settings, the marks of the
// statuses that hold a slot, the heap values its items own, and its teardown.

#include "TransferTestEnv.h"

#include "support/HeapUse.h"

#include <QDateTime>
#include <QTcpSocket>

#include <cstring>
#include <iterator>
#include <set>

using namespace TransfersTypes;

#ifdef QV_HEAP_USE_ASAN
extern "C" int __asan_address_is_poisoned(void const volatile* addr);
#endif

namespace {

// Whether the memory at p has been given back: under AddressSanitizer freed memory stays
// poisoned for a long while, and a second free is reported. Elsewhere nothing can be told.
bool Freed(const void* p)
{
#ifdef QV_HEAP_USE_ASAN
    return __asan_address_is_poisoned(p) != 0;
#else
    Q_UNUSED(p);
    return true;
#endif
}

ItemPtr Linked(ItemPtr item, const char* type, const std::string& value)
{
    item += d.GetType(type)->GetItem(Value(value));
    return item;
}

const char* const kSavedSettings[][2] = {
    {SettingKeys::TransferOrderCounter.name, "57"},
    {SettingKeys::TransferReqCounter.name, "9"},
    {SettingKeys::UploadSlots.name, "3"},
    {SettingKeys::UploadSpeedLimit.name, "20"},
    {SettingKeys::UploadSpeedLimitEnabled.name, "yes"},
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

// A store file with a download in each status, each as it runs (socket, position, times,
// tokens), a finished download's record and settings of the engine's own.
void SaveOneOfEach(const QString& file)
{
    TransferTestEnv env;
    int order = 17;
    for (const char* status : kStatuses) {
        ItemPtr entry =
            TransferTestEnv::Entry(status[0] ? "bob" : "carol", "Music\\Album",
                                   std::string(status) + ".mp3", 5000000000LL, 1, status, order++);
        Linked(entry, LastStatusChangeTime, Clock::NowText().toStdString());
        Linked(entry, PlaceInLine, "4");
        Linked(entry, RemoteTransferReq, "7");
        Linked(entry, DenialReason, "Too many files");
        TransferQueueManager::AttachObject(entry, WritePosition, new qint64(1234));
        TransferQueueManager::AttachObject(entry, LastReceiptTime, new QDateTime());
        TransferQueueManager::AttachObject(entry, BytesPerSecond, new qint32(5));
        TransferQueueManager::AttachObject(entry, DownloadSocket, new QTcpSocket);
    }
    ItemPtr record = d.GetType(CompleteDownload)->NewItem();
    for (const auto& v : kRecord)
        Linked(record, v.first, v.second);
    for (const auto& setting : kSavedSettings)
        Settings::Set(SettingKey{setting[0]}, setting[1]);
    QVERIFY(dataSaver->Save(file));
}

std::set<std::string> Tracked()
{
    std::set<std::string> users;
    for (Item* user : g(ServerTypes::IsTracked).GetItems(ServerTypes::User))
        users.insert(user->AsString());
    return users;
}

} // namespace

class tst_TransferRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void savedRecordsComeBack();
    void freshStartHasDefaults();
    void heapValueFreedWithItsItem_data();
    void heapValueFreedWithItsItem();
    void teardownStopsWorkersAndFreesObjects();
};

void tst_TransferRecords::savedRecordsComeBack()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("store"));
    SaveOneOfEach(file);
    if (QTest::currentTestFailed())
        return;
    TransferTestEnv env({file});

    QCOMPARE(TransferTestEnv::Count(DownloadEntry), std::size(kStatuses));
    int order = 17;
    for (const char* status : kStatuses) {
        ItemPtr entry = d.GetType(FileName)
                            ->HasItem(Value(std::string(status) + ".mp3"))
                            .GetItems(DownloadEntry)
                            .First();
        QVERIFY2(entry, status);
        // Nothing that ran before runs now: only a finished download keeps its status.
        QCOMPARE(TransferTestEnv::Status(entry),
                 std::string(strcmp(status, "complete") == 0 ? "complete" : "queued"));
        QCOMPARE(entry[ServerTypes::User].AsString(), std::string(status[0] ? "bob" : "carol"));
        QCOMPARE(entry[RemoteFolder].AsString(), std::string("Music\\Album"));
        QCOMPARE(entry[PeerTypes::FileSize].AsInt64(), 5000000000LL);
        QCOMPARE(entry[DownloadOrder].AsInt(), order++);
        QCOMPARE(entry[SubfolderSaveLevel].AsInt(), 1);
        for (const char* gone :
             {LastStatusChangeTime, PlaceInLine, RemoteTransferReq, DenialReason, WritePosition,
              LastReceiptTime, BytesPerSecond, DownloadSocket, DownloadFile, DownloadThread})
            QVERIFY2(!entry.IsConnected(gone), gone);
    }
    // The status items are the engine's own: "downloading" still holds a slot.
    QVERIFY(d.GetType(DownloadEntryStatus)->HasItem(Value("downloading")).IsConnected(IsActive));

    QCOMPARE(TransferTestEnv::Count(CompleteDownload), size_t(1));
    ItemPtr record = g(CompleteDownload).First();
    for (const auto& v : kRecord)
        QCOMPARE(record[v.first].AsString(), v.second);
    for (const auto& setting : kSavedSettings)
        QCOMPARE(Settings::Text(SettingKey{setting[0]}), std::string(setting[1]));

    QCOMPARE(env.loaded().size(), 1);
    // The users of downloads, finished ones included, are watched; a record's user is not.
    QCOMPARE(Tracked(), std::set<std::string>({"bob", "carol"}));
}

void tst_TransferRecords::freshStartHasDefaults()
{
    TransferTestEnv env;
    const char* const defaults[] = {"1", "1", "1", "0", "no"};
    for (size_t i = 0; i < std::size(kSavedSettings); ++i)
        QCOMPARE(Settings::Text(SettingKey{kSavedSettings[i][0]}), std::string(defaults[i]));
    QCOMPARE(env.loaded().size(), 1);
    QVERIFY(Tracked().empty());

    // The statuses that hold a slot, and no others, each with a mark of its own.
    std::set<std::string> marked;
    for (Item* mark : g(IsActive)) {
        const ItemSet downloads = ItemPtr(mark).GetItems(DownloadEntryStatus);
        const ItemSet uploads = ItemPtr(mark).GetItems(UploadEntryStatus);
        QCOMPARE(downloads.size() + uploads.size(), size_t(1));
        for (Item* status : downloads + uploads)
            marked.insert((downloads.empty() ? "upload " : "download ") + status->AsString());
    }
    QCOMPARE(marked, std::set<std::string>({"download downloading", "upload requesting",
                                            "upload connecting", "upload waiting for offset",
                                            "upload uploading"}));
}

void tst_TransferRecords::heapValueFreedWithItsItem_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("unlinked"); // unlinked and swept, or its entry removed
    for (const char* type : {WritePosition, ReadPosition, BytesSinceLastReceipt, BytesUploaded,
                             BytesPerSecond, LastReceiptTime, LastSpeedMeasurementTime}) {
        QTest::addRow("%s unlinked", type) << type << true;
        QTest::addRow("%s, entry removed", type) << type << false;
    }
}

void tst_TransferRecords::heapValueFreedWithItsItem()
{
    QFETCH(QString, type);
    QFETCH(bool, unlinked);
    TransferTestEnv env;
    const QByteArray typeName = type.toLatin1();
    const char* name = typeName.constData();
    const bool upload = typeName == ReadPosition || typeName == BytesUploaded;
    ItemPtr entry = d.GetType(upload ? UploadEntry : DownloadEntry)->NewItem();
    const void* object;
    if (typeName == LastReceiptTime || typeName == LastSpeedMeasurementTime)
        object = TransferQueueManager::AttachObject(entry, name, new QDateTime(Clock::Now()));
    else if (typeName == BytesPerSecond)
        object = TransferQueueManager::AttachObject(entry, name, new qint32(7));
    else
        object = TransferQueueManager::AttachObject(entry, name, new qint64(7));
    ItemPtr item = entry[name];

    QVERIFY(!Freed(object));
    if (unlinked)
        entry.Disconnect(item);
    else
        entry.Remove();
    QVERIFY(!Freed(object));
    QCOMPARE(TransferTestEnv::Count(name), size_t(1));
    d.RemoveDisconnectedItems();
    QCOMPARE(TransferTestEnv::Count(name), size_t(0));
    // Freed once: a second free would have stopped the test here.
    QVERIFY(Freed(object));

    // A time item whose value is no address is let go of without touching anything.
    if (typeName == LastReceiptTime) {
        d.GetType(LastReceiptTime)->GetItem(Value("0"));
        d.RemoveDisconnectedItems();
        QCOMPARE(TransferTestEnv::Count(name), size_t(0));
    }
}

void tst_TransferRecords::teardownStopsWorkersAndFreesObjects()
{
    QAtomicInt finished;
    QPointer<QTcpSocket> socket;
    {
        TransferTestEnv env;
        ItemPtr download = TransferTestEnv::Entry("bob", "Music", "a.mp3");
        ItemPtr upload = d.GetType(UploadEntry)->NewItem();
        for (ItemPtr entry : {download, upload}) {
            auto* worker = new IdleWorker(finished);
            TransferQueueManager::AttachObject(
                entry, entry == download ? DownloadThread : UploadThread, worker);
            worker->start();
        }
        socket = TransferQueueManager::AttachObject(download, DownloadSocket, new QTcpSocket);
        TransferQueueManager::AttachObject(download, DownloadFile, new QFile);
        TransferQueueManager::AttachObject(download, WritePosition, new qint64(1));
        TransferQueueManager::AttachObject(upload, ReadPosition, new qint64(1));
        QCOMPARE(finished.loadAcquire(), 0);
    }
    // Both workers were told to stop and waited for; what the items stood for is gone with the
    // engine (the leak check would report any of it).
    QCOMPARE(finished.loadAcquire(), 2);
    QVERIFY(socket.isNull());
}

QTEST_GUILESS_MAIN(tst_TransferRecords)
#include "tst_transferrecords.moc"

// The upload scheduler and the upload statuses: queued uploads offered within the slots, one per
// user, to users who are there; what leaving an active status tears down; and sharing checked
// again before each offer.

#include "UploadTestEnv.h"

#include <QPointer>
#include <QTcpSocket>

using namespace TransfersTypes;

namespace {

const QByteArray kPath = "Music\\Album\\a.mp3";

QByteArray OfferTo(const QByteArray& name, quint32 token, qint64 size = 100)
{
    return UploadTestEnv::Offer(token, "Music\\Album\\" + name, size);
}

// What an upload runs on once its file connection is up: worker, file, socket (connected to
// listener) and the values progress reports update.
struct Running
{
    QPointer<TransferWorker> worker;
    QPointer<QFile> file;
    QPointer<QTcpSocket> socket;
};

Running Run(ItemPtr upload, FakePeer& listener, QAtomicInt& finished)
{
    Running r;
    r.worker = TransferQueueManager::AttachObject(upload, UploadThread, new IdleWorker(finished));
    r.worker->start();
    auto* file = new QFile(QStringLiteral("Music/Album/a.mp3"));
    file->open(QIODevice::ReadOnly);
    r.file = TransferQueueManager::AttachObject(upload, UploadFile, file);
    auto* socket = new QTcpSocket;
    socket->connectToHost(QHostAddress::LocalHost, listener.Port());
    socket->waitForConnected(TransferTestEnv::kWaitMs);
    listener.WaitForConnection(TransferTestEnv::kWaitMs);
    r.socket = TransferQueueManager::AttachObject(upload, UploadSocket, socket);
    TransferQueueManager::AttachObject(upload, ReadPosition, new qint64(7));
    TransferQueueManager::AttachObject(upload, LastReceiptTime, new QDateTime(Clock::Now()));
    TransferQueueManager::AttachObject(upload, LastSpeedMeasurementTime, new QDateTime);
    TransferQueueManager::AttachObject(upload, BytesPerSecond, new qint32(100));
    TransferQueueManager::AttachObject(upload, BytesSinceLastReceipt, new qint64(0));
    upload += d.GetType(DenialReason)->GetItem(Value("Busy"));
    return r;
}

const char* const kRunningValues[] = {UploadThread,  UploadFile,      UploadSocket,
                                      ReadPosition,  LastReceiptTime, LastSpeedMeasurementTime,
                                      BytesPerSecond};

} // namespace

class tst_UploadSlots : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneSlotOneOffer();
    void fullSizeOffered_data();
    void fullSizeOffered();
    void oneUploadPerUser();
    void offlineUsersPassedOver();
    void slotCount();
    void slotCountOutOfRange_data();
    void slotCountOutOfRange();
    void leavingAnActiveStatus_data();
    void leavingAnActiveStatus();
    void betweenInactiveStatuses();
    void removedUpload();
    void sharingCheckedBeforeOffer_data();
    void sharingCheckedBeforeOffer();
    void extraUploadsReported();
};

void tst_UploadSlots::oneSlotOneOffer()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    TransferTestEnv::SetOnline("bob", true);
    Settings::Set(SettingKeys::TransferReqCounter, "7");
    QVERIFY(env.transfers().IsFreeToUpload());

    env.Deliver(*bob, UploadTestEnv::QueueUpload(kPath));
    QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(),
             Hex("28000000 01000000 07000000 11000000 4d757369635c416c62756d5c612e6d7033"
                 " 6400000000000000")
                 .toHex());
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    ItemPtr upload = UploadTestEnv::Upload("bob", "a.mp3");
    QCOMPARE(UploadTestEnv::UploadStatus(upload), std::string("requesting"));
    QCOMPARE(upload[TransferReq].AsString(), std::string("7"));
    QCOMPARE(Settings::Text(SettingKeys::TransferReqCounter), std::string("8"));
    QVERIFY(PeerTestEnv::IsStoredNow(upload, LastStatusChangeTime));
    QVERIFY(!env.transfers().IsFreeToUpload());
    QCOMPARE(env.transfers().QueuedUploadCount(), 0);
}

void tst_UploadSlots::fullSizeOffered_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("sizeBytes");
    QTest::newRow("5,000,000,000 bytes") << qint64(5000000000LL) << Hex("00f2052a01000000");
    QTest::newRow("above 32 bits by one") << qint64(4294967296LL) << Hex("0000000001000000");
    // Nothing to send is still an upload: the file connection ends it at once.
    QTest::newRow("zero bytes") << qint64(0) << Hex("0000000000000000");
}

void tst_UploadSlots::fullSizeOffered()
{
    QFETCH(qint64, size);
    QFETCH(QByteArray, sizeBytes);
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"}, size);
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    TransferTestEnv::SetOnline("bob", true);
    Settings::Set(SettingKeys::TransferReqCounter, "7");
    env.Deliver(*bob, UploadTestEnv::QueueUpload(kPath));
    QCOMPARE(
        TransferTestEnv::NextMessage(*bob).toHex(),
        (Hex("28000000 01000000 07000000 11000000 4d757369635c416c62756d5c612e6d7033") + sizeBytes)
            .toHex());
    QCOMPARE(UploadTestEnv::StatusOf("bob", "a.mp3"), std::string("requesting"));
}

void tst_UploadSlots::oneUploadPerUser()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3", "b.mp3"});
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    TransferTestEnv::SetOnline("bob", true);
    Settings::Set(SettingKeys::TransferReqCounter, "7");
    env.transfers().SetUploadSlots(2);
    env.Request("bob", "a.mp3");
    env.Request("bob", "b.mp3");
    QCOMPARE(TransferTestEnv::NextMessage(*bob), OfferTo("a.mp3", 7));
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    ItemPtr second = UploadTestEnv::Upload("bob", "b.mp3");
    QCOMPARE(UploadTestEnv::UploadStatus(second), std::string("queued"));
    QVERIFY(env.transfers().IsFreeToUpload());

    // The first ends: the second goes.
    env.transfers().SetUploadEntryStatus(UploadTestEnv::Upload("bob", "a.mp3"), "complete");
    env.transfers().StartNewUploads();
    QCOMPARE(TransferTestEnv::NextMessage(*bob), OfferTo("b.mp3", 8));
    QCOMPARE(UploadTestEnv::UploadStatus(second), std::string("requesting"));
}

void tst_UploadSlots::offlineUsersPassedOver()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    auto bob = env.ConnectPeer();
    auto carol = env.ConnectPeer("carol");
    QVERIFY(bob && carol);
    Settings::Set(SettingKeys::TransferReqCounter, "7");
    env.transfers().SetUploadSlots(2);
    TransferTestEnv::SetOnline("bob", true);
    env.Request("carol", "a.mp3");
    env.Request("dave", "a.mp3");
    env.Request("bob", "a.mp3");
    QCOMPARE(TransferTestEnv::NextMessage(*bob), OfferTo("a.mp3", 7));
    QVERIFY(TransferTestEnv::NothingMoreSent(*carol, "carol"));
    QCOMPARE(UploadTestEnv::StatusOf("carol", "a.mp3"), std::string("queued"));

    // carol comes: her upload takes the slot that was left.
    TransferTestEnv::SetOnline("carol", true);
    QCOMPARE(TransferTestEnv::NextMessage(*carol), OfferTo("a.mp3", 8));
    QCOMPARE(UploadTestEnv::StatusOf("carol", "a.mp3"), std::string("requesting"));
    // No slot is left for dave.
    TransferTestEnv::SetOnline("dave", true);
    QCOMPARE(UploadTestEnv::StatusOf("dave", "a.mp3"), std::string("queued"));
}

void tst_UploadSlots::slotCount()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    const std::vector<std::string> users = {"bob", "carol", "dave", "erin"};
    for (const std::string& user : users) {
        TransferTestEnv::SetOnline(user, true);
        env.Request(user, "a.mp3");
    }
    auto active = [&] {
        QStringList out;
        for (const std::string& user : users) {
            if (UploadTestEnv::StatusOf(user, "a.mp3") == "requesting")
                out << QString::fromStdString(user);
        }
        return out;
    };
    QCOMPARE(active(), QStringList({"bob"}));

    env.transfers().SetUploadSlots(3);
    QCOMPARE(Settings::Text(SettingKeys::UploadSlots), std::string("3"));
    QCOMPARE(active(), QStringList({"bob", "carol", "dave"}));
    QVERIFY(!env.transfers().IsFreeToUpload());

    // Fewer slots stop nothing; nothing starts while more are active than there are slots.
    env.transfers().SetUploadSlots(1);
    QCOMPARE(Settings::Text(SettingKeys::UploadSlots), std::string("1"));
    QCOMPARE(active(), QStringList({"bob", "carol", "dave"}));
    QVERIFY(!env.transfers().IsFreeToUpload());
    for (const char* user : {"bob", "carol"}) {
        env.transfers().SetUploadEntryStatus(UploadTestEnv::Upload(user, "a.mp3"), "complete");
        env.transfers().StartNewUploads();
    }
    QCOMPARE(active(), QStringList({"dave"}));
    env.transfers().SetUploadEntryStatus(UploadTestEnv::Upload("dave", "a.mp3"), "complete");
    env.transfers().StartNewUploads();
    QCOMPARE(active(), QStringList({"erin"}));
}

void tst_UploadSlots::slotCountOutOfRange_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("0") << 0 << QByteArray("2");
    QTest::newRow("-1") << -1 << QByteArray("2");
    QTest::newRow("100") << 100 << QByteArray("2");
    QTest::newRow("1") << 1 << QByteArray("1");
    QTest::newRow("99") << 99 << QByteArray("99");
}

void tst_UploadSlots::slotCountOutOfRange()
{
    QFETCH(int, count);
    QFETCH(QByteArray, stored);
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    env.transfers().SetUploadSlots(2);
    env.Request("bob", "a.mp3");
    env.Request("carol", "a.mp3");
    env.Request("dave", "a.mp3");
    for (const char* user : {"bob", "carol", "dave"})
        TransferTestEnv::SetOnline(user, true);
    env.transfers().SetUploadSlots(count);
    QCOMPARE(Settings::Text(SettingKeys::UploadSlots), stored.toStdString());
    QCOMPARE(env.transfers().QueuedUploadCount(), stored == "99" ? 0 : 1);
}

void tst_UploadSlots::leavingAnActiveStatus_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("told"); // message 46
    QTest::newRow("requesting, aborted") << "requesting"
                                         << "aborted" << true;
    QTest::newRow("connecting, aborted") << "connecting"
                                         << "aborted" << true;
    QTest::newRow("uploading, aborted") << "uploading"
                                        << "aborted" << true;
    QTest::newRow("requesting, denied") << "requesting"
                                        << "denied" << false;
    QTest::newRow("requesting, local error") << "requesting"
                                             << "local error" << false;
    QTest::newRow("uploading, complete") << "uploading"
                                         << "complete" << false;
}

void tst_UploadSlots::leavingAnActiveStatus()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, told);
    QAtomicInt finished; // outlives the engine, which stops the workers
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3", "b.mp3"});
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    FakePeer downloader;
    QVERIFY(downloader.Listen() != 0);
    TransferTestEnv::SetOnline("bob", true);
    Settings::Set(SettingKeys::TransferReqCounter, "7");
    env.Request("bob", "a.mp3");
    env.Request("bob", "b.mp3");
    QCOMPARE(TransferTestEnv::NextMessage(*bob), OfferTo("a.mp3", 7));
    ItemPtr upload = UploadTestEnv::Upload("bob", "a.mp3");
    env.transfers().SetUploadEntryStatus(upload, from.toStdString());
    Running r = Run(upload, downloader, finished);

    TransferLog log;
    env.transfers().SetUploadEntryStatus(upload, to.toStdString());
    QCOMPARE(QString::fromStdString(UploadTestEnv::UploadStatus(upload)), to);
    QVERIFY(PeerTestEnv::IsStoredNow(upload, LastStatusChangeTime));
    QCOMPARE(finished.loadAcquire(), 1);
    QVERIFY(r.file.isNull());
    QVERIFY(r.socket);
    QCOMPARE(r.socket->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(downloader.WaitForDisconnected(TransferTestEnv::kWaitMs));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(r.socket.isNull());
    QVERIFY(r.worker.isNull());
    for (const char* gone : kRunningValues)
        QVERIFY2(!upload.IsConnected(gone), gone);
    for (const char* kept : {TransferReq, DenialReason, UploadOrder, EffectiveUploadOrder})
        QVERIFY2(upload.IsConnected(kept), kept);

    if (told) {
        QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(),
                 Hex("2e000000 11000000 4d757369635c416c62756d5c612e6d7033").toHex());
        QCOMPARE(log.lines, QStringList({"Upload of a.mp3 to bob aborted, sending upload failed "
                                         "notification."}));
    } else {
        QVERIFY(log.lines.isEmpty());
    }
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    // The slot is free; the scheduler is run by whoever ended the upload.
    QVERIFY(env.transfers().IsFreeToUpload());
    env.transfers().StartNewUploads();
    QCOMPARE(TransferTestEnv::NextMessage(*bob), OfferTo("b.mp3", 8));
}

void tst_UploadSlots::betweenInactiveStatuses()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    env.Request("bob", "a.mp3");
    ItemPtr upload = UploadTestEnv::Upload("bob", "a.mp3");
    // Only the change time moves; "aborted" tells the peer only when an upload was running.
    for (const char* status : {"aborted", "denied", "queued", "complete", "aborted"}) {
        upload.Disconnect(LastStatusChangeTime);
        env.transfers().SetUploadEntryStatus(upload, status);
        QCOMPARE(UploadTestEnv::UploadStatus(upload), std::string(status));
        QVERIFY(PeerTestEnv::IsStoredNow(upload, LastStatusChangeTime));
    }
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
}

void tst_UploadSlots::removedUpload()
{
    QAtomicInt finished;
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    FakePeer downloader;
    QVERIFY(downloader.Listen() != 0);
    TransferTestEnv::SetOnline("bob", true);
    env.Request("bob", "a.mp3");
    QVERIFY(!TransferTestEnv::NextMessage(*bob).isEmpty());
    ItemPtr upload = UploadTestEnv::Upload("bob", "a.mp3");
    env.transfers().SetUploadEntryStatus(upload, "uploading");
    Running r = Run(upload, downloader, finished);

    env.transfers().RemoveUpload(upload);
    QCOMPARE(finished.loadAcquire(), 1);
    // Deleted at once, not left to the event loop; the peer is not told.
    QVERIFY(r.worker.isNull());
    QVERIFY(r.socket.isNull());
    QVERIFY(r.file.isNull());
    QVERIFY(downloader.WaitForDisconnected(TransferTestEnv::kWaitMs));
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(0));
    d.RemoveDisconnectedItems();
    for (const char* gone : kRunningValues)
        QCOMPARE(TransferTestEnv::Count(gone), size_t(0));
    QCOMPARE(TransferTestEnv::Count(BytesSinceLastReceipt), size_t(0));
    // The file stays shared and bob may queue it again.
    env.Request("bob", "a.mp3");
    QCOMPARE(UploadTestEnv::StatusOf("bob", "a.mp3"), std::string("requesting"));
}

void tst_UploadSlots::sharingCheckedBeforeOffer_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("user unshared") << "unshared";
    QTest::newRow("folder no longer public") << "private";
    QTest::newRow("folder no longer shared") << "root removed";
    QTest::newRow("file gone from the shares") << "file removed";
    QTest::newRow("user left the group it is shared with") << "group left";
}

void tst_UploadSlots::sharingCheckedBeforeOffer()
{
    QFETCH(QString, change);
    UploadTestEnv env;
    QVERIFY(UploadTestEnv::Write("Music/Album/a.mp3"));
    // Shared with everyone, or with a group that bob and carol are in.
    const bool byGroup = change == "group left";
    ItemPtr root = UploadTestEnv::Share("Music", byGroup ? nullptr : SharesTypes::SharedPublic);
    ItemPtr group = d.GetType(ServerTypes::UserListGroup)->GetItem(Value("friends"));
    if (byGroup) {
        root += group;
        for (const char* user : {"bob", "carol"})
            ServerStore::User(user).NewItem(ServerTypes::InUserList) += group;
    }
    auto bob = env.ConnectPeer();
    auto carol = env.ConnectPeer("carol");
    QVERIFY(bob && carol);
    Settings::Set(SettingKeys::TransferReqCounter, "7");
    env.Request("bob", "a.mp3");
    env.Request("carol", "a.mp3");
    QCOMPARE(env.transfers().QueuedUploadCount(), 2);

    if (change == "unshared") {
        ServerStore::SetFlag(ServerStore::User("bob"), SharesTypes::Unshared);
    } else if (change == "private") {
        root.Disconnect(SharesTypes::SharedPublic);
    } else if (change == "root removed") {
        root.Remove();
        sharedFoldersManager->RescanShares();
    } else if (change == "file removed") {
        QVERIFY(QFile::remove("Music/Album/a.mp3"));
        sharedFoldersManager->RescanShares();
    } else {
        ServerStore::User("bob")[ServerTypes::InUserList].Disconnect(group);
    }

    TransferLog log;
    TransferTestEnv::SetOnline("bob", true);
    QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(),
             Hex("32000000 11000000 4d757369635c416c62756d5c612e6d7033"
                 " 10000000 46696c65206e6f74207368617265642e")
                 .toHex());
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    QVERIFY(ServerStore::User("bob").GetItems(UploadEntry).empty());
    QVERIFY(log.Has("Upload of Music\\Album\\a.mp3 to bob no longer shared, removing it"));
    // The slot it would have taken goes to the next in line, if the file is still there.
    if (change == "unshared" || byGroup) {
        TransferTestEnv::SetOnline("carol", true);
        QCOMPARE(TransferTestEnv::NextMessage(*carol), OfferTo("a.mp3", 7));
    }
}

void tst_UploadSlots::extraUploadsReported()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    for (const char* user : {"bob", "carol"}) {
        env.Request(user, "a.mp3");
        env.transfers().SetUploadEntryStatus(UploadTestEnv::Upload(user, "a.mp3"), "uploading");
    }
    TransferLog log;
    env.transfers().SetUploadSlots(2);
    QVERIFY(env.transfers().AssertNoExtraUploads());
    QVERIFY(log.lines.isEmpty());
    Settings::Set(SettingKeys::UploadSlots, "1");
    QVERIFY(!env.transfers().AssertNoExtraUploads());
    QCOMPARE(log.lines, QStringList({"More uploads active than there are upload slots: 2 of 1"}));
    // It only reports.
    QCOMPARE(UploadTestEnv::StatusOf("bob", "a.mp3"), std::string("uploading"));
}

QTEST_GUILESS_MAIN(tst_UploadSlots)
#include "tst_uploadslots.moc"

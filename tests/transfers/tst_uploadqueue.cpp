// Other users queueing our files: whether a request is taken, where it goes in the upload
// order, unsharing a user, and the caps on what the queue holds.

#include "UploadTestEnv.h"

#include <QRegularExpression>
#include <QSet>

using namespace TransfersTypes;

namespace {

const QByteArray kPath = "Music\\Album\\a.mp3";
const QByteArray kNotShared = Hex("32000000 11000000 4d757369635c416c62756d5c612e6d7033"
                                  " 10000000 46696c65206e6f74207368617265642e");

void SetPrivileged(const std::string& user)
{
    ServerStore::SetFlag(ServerStore::User(user), ServerTypes::IsPrivileged);
}

// Puts the user in the user list, in a group of that priority ("" for a group without one).
void SetGroup(const std::string& user, const std::string& group, const std::string& priority)
{
    ItemPtr listed = ServerStore::User(user).NewItem(ServerTypes::InUserList);
    ItemPtr groupItem = d.GetType(ServerTypes::UserListGroup)->GetItem(Value(group));
    if (!priority.empty())
        ServerStore::Link(groupItem, ServerTypes::GroupDownloadPriority, Value(priority));
    listed += groupItem;
}

// Upload entries of the user made by hand, as many as the queue's caps count.
void FillQueue(const std::string& user, int count)
{
    ItemPtr userItem = ServerStore::User(user);
    Type* uploads = d.GetType(UploadEntry);
    for (int i = 0; i < count; ++i)
        uploads->NewItem() += userItem;
}

} // namespace

class tst_UploadQueue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requestTaken_data();
    void requestTaken();
    void peersSpellingKept();
    void repeatedRequest_data();
    void repeatedRequest();
    void groupPriority_data();
    void groupPriority();
    void order_data();
    void order();
    void requeuedKeepsItsPlace();
    void orderAfterRemovals();
    void orderDeterminedAfresh();
    void unshareUser();
    void queueCaps_data();
    void queueCaps();
};

void tst_UploadQueue::requestTaken_data()
{
    QTest::addColumn<QString>("access"); // of the Music folder; "" shares with nobody
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("bobIs"); // "listed", "unshared" or ""
    QTest::addColumn<bool>("taken");

    QTest::newRow("shared with everyone") << "shared_public" << kPath << "" << true;
    QTest::newRow("another spelling of the same file")
        << "shared_public" << QByteArray("music\\ALBUM\\a.mp3") << "" << true;
    QTest::newRow("shared with the user list, bob listed")
        << "shared_userlist" << kPath << "listed" << true;
    QTest::newRow("shared with the user list, bob not listed")
        << "shared_userlist" << kPath << "" << false;
    QTest::newRow("shared with nobody") << "" << kPath << "" << false;
    QTest::newRow("bob unshared") << "shared_public" << kPath << "unshared" << false;
    QTest::newRow("no such file") << "shared_public" << QByteArray("Music\\Album\\b.mp3") << ""
                                  << false;
    QTest::newRow("a folder, not a file")
        << "shared_public" << QByteArray("Music\\Album") << "" << false;
}

void tst_UploadQueue::requestTaken()
{
    QFETCH(QString, access);
    QFETCH(QByteArray, path);
    QFETCH(QString, bobIs);
    QFETCH(bool, taken);

    UploadTestEnv env;
    QVERIFY(UploadTestEnv::Write("Music/Album/a.mp3"));
    UploadTestEnv::Share("Music", access.isEmpty() ? nullptr : access.toLatin1().constData());
    if (bobIs == "listed")
        ServerStore::User("bob").NewItem(ServerTypes::InUserList);
    if (bobIs == "unshared")
        ServerStore::SetFlag(ServerStore::User("bob"), SharesTypes::Unshared);
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    Settings::Set(SettingKeys::TransferOrderCounter, "41");

    TransferLog log;
    env.Deliver(*bob, UploadTestEnv::QueueUpload(path));
    const QString requested = "Queue upload requested by bob for file " + QString::fromLatin1(path);
    if (!taken) {
        QCOMPARE(
            TransferTestEnv::NextMessage(*bob).toHex(),
            (WireWriter().u32(PM_UPLOAD_DENIED).str(path).str("File not shared.")).bytes().toHex());
        QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(0));
        QCOMPARE(log.lines, QStringList({requested, "   Denied, file not shared"}));
        QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("41"));
        return;
    }
    // bob is offline: queued, and nothing goes back.
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    ItemPtr upload = UploadTestEnv::Upload("bob", "a.mp3");
    QVERIFY(upload);
    QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(1));
    QCOMPARE(UploadTestEnv::UploadStatus(upload), std::string("queued"));
    QCOMPARE(upload[FilenameAsRequested].AsString(), path.toStdString());
    QCOMPARE(upload[UploadOrder].AsString(), std::string("41"));
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("42"));
    QCOMPARE(UploadTestEnv::Place(upload), 1);
    QVERIFY(PeerTestEnv::IsStoredNow(upload, LastStatusChangeTime));
    QVERIFY(ServerStore::User("bob").IsConnected(ServerTypes::IsTracked));
    QCOMPARE(log.lines, QStringList({requested, "   Queued"}));
}

void tst_UploadQueue::peersSpellingKept()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    TransferTestEnv::SetOnline("bob", true);
    Settings::Set(SettingKeys::TransferReqCounter, "7");
    const QByteArray spelling = "MUSIC\\album\\A.mp3";
    env.Deliver(*bob, UploadTestEnv::QueueUpload(spelling));
    // Offered, refused and unshared: always under the name bob asked for.
    QCOMPARE(TransferTestEnv::NextMessage(*bob), UploadTestEnv::Offer(7, spelling, 100));
    env.transfers().SetUploadEntryStatus(UploadTestEnv::Upload("bob", "a.mp3"), "aborted");
    QCOMPARE(TransferTestEnv::NextMessage(*bob), UploadTestEnv::UploadFailed(spelling));
    env.transfers().UnshareUser("bob");
    QCOMPARE(TransferTestEnv::NextMessage(*bob),
             UploadTestEnv::UploadDenied(spelling, "File not shared."));
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
}

void tst_UploadQueue::repeatedRequest_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("requeued");
    for (const char* status :
         {"queued", "requesting", "connecting", "waiting for offset", "uploading"})
        QTest::newRow(status) << status << false;
    for (const char* status : {"complete", "aborted", "denied", "local error"})
        QTest::newRow(status) << status << true;
}

void tst_UploadQueue::repeatedRequest()
{
    QFETCH(QString, status);
    QFETCH(bool, requeued);
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    env.Request("bob", "a.mp3");
    ItemPtr upload = UploadTestEnv::Upload("bob", "a.mp3");
    env.transfers().SetUploadEntryStatus(upload, status.toStdString());
    const std::string counter = Settings::Text(SettingKeys::TransferOrderCounter);

    // Asked again, from another spelling: the same entry.
    TransferLog log;
    env.transfers().OnQueueUploadRequested("bob", "Music\\Album\\A.MP3");
    QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(1));
    QCOMPARE(upload[FilenameAsRequested].AsString(), std::string("Music\\Album\\a.mp3"));
    QCOMPARE(UploadTestEnv::Place(upload), 1);
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), counter);
    QCOMPARE(log.lines.value(1),
             requeued ? "   " + status + ", re-queueing" : QString("   Already queued"));
    QCOMPARE(QString::fromStdString(UploadTestEnv::UploadStatus(upload)),
             requeued ? QString("queued") : status);
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));

    // A re-queued upload is offered as soon as its user is there.
    if (requeued) {
        TransferTestEnv::SetOnline("bob", true);
        QCOMPARE(UploadTestEnv::UploadStatus(upload), std::string("requesting"));
    }
}

void tst_UploadQueue::groupPriority_data()
{
    QTest::addColumn<QStringList>("groups"); // "name=priority", priority may be empty
    QTest::addColumn<bool>("listed");
    QTest::addColumn<int>("priority");
    QTest::newRow("not in the user list") << QStringList() << false << 0;
    QTest::newRow("listed, in no group") << QStringList() << true << 0;
    QTest::newRow("group without a priority") << QStringList{"friends="} << true << 0;
    QTest::newRow("the highest of the groups") << QStringList{"a=3", "b=7", "c="} << true << 7;
    QTest::newRow("negative priorities") << QStringList{"a=-2", "b=-5"} << true << 0;
}

void tst_UploadQueue::groupPriority()
{
    QFETCH(QStringList, groups);
    QFETCH(bool, listed);
    QFETCH(int, priority);
    UploadTestEnv env;
    if (listed)
        ServerStore::User("bob").NewItem(ServerTypes::InUserList);
    for (const QString& group : groups) {
        const QStringList parts = group.split('=');
        SetGroup("bob", parts[0].toStdString(), parts[1].toStdString());
    }
    QCOMPARE(env.transfers().GetUserGroupDownloadPriority("bob"), priority);
    QCOMPARE(env.transfers().GetUserGroupDownloadPriority("nobody"), 0);
    QVERIFY(!ServerStore::FindUser("nobody"));
}

void tst_UploadQueue::order_data()
{
    // Users: "name" plain, "name!" privileged, "name=N" in a group of priority N, "name=" in a
    // group without one. Requests are "user file", in arrival order; the expected order lists
    // them by place, from 1.
    QTest::addColumn<QStringList>("users");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("equal ranks by arrival")
        << QStringList{"bob", "carol", "dave"}
        << QStringList{"bob a.mp3", "carol a.mp3", "dave b.mp3", "bob b.mp3"}
        << QStringList{"bob a.mp3", "carol a.mp3", "dave b.mp3", "bob b.mp3"};
    QTest::newRow("a privileged user goes first")
        << QStringList{"bob", "carol", "erin!"}
        << QStringList{"bob a.mp3", "carol a.mp3", "erin a.mp3", "erin b.mp3"}
        << QStringList{"erin a.mp3", "erin b.mp3", "bob a.mp3", "carol a.mp3"};
    QTest::newRow("a higher group priority goes first, before privileges")
        << QStringList{"bob!", "carol=2", "dave=5"}
        << QStringList{"bob a.mp3", "carol a.mp3", "dave a.mp3", "bob b.mp3"}
        << QStringList{"dave a.mp3", "carol a.mp3", "bob a.mp3", "bob b.mp3"};
    QTest::newRow("a group without a priority counts as 0")
        << QStringList{"bob=", "carol", "dave=-1"}
        << QStringList{"bob a.mp3", "carol a.mp3", "dave a.mp3", "bob b.mp3"}
        << QStringList{"bob a.mp3", "carol a.mp3", "dave a.mp3", "bob b.mp3"};
    QTest::newRow("one user's uploads keep their arrival order")
        << QStringList{"bob", "erin=3"}
        << QStringList{"erin c.mp3", "bob a.mp3", "erin a.mp3", "erin b.mp3"}
        << QStringList{"erin c.mp3", "erin a.mp3", "erin b.mp3", "bob a.mp3"};
}

void tst_UploadQueue::order()
{
    QFETCH(QStringList, users);
    QFETCH(QStringList, requests);
    QFETCH(QStringList, expected);
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3", "b.mp3", "c.mp3"});
    for (const QString& user : users) {
        const QString name = user.section(QRegularExpression("[!=]"), 0, 0);
        if (user.endsWith('!'))
            SetPrivileged(name.toStdString());
        if (user.contains('='))
            SetGroup(name.toStdString(), "group of " + name.toStdString(),
                     user.section('=', 1).toStdString());
    }
    for (const QString& request : requests)
        env.Request(request.section(' ', 0, 0).toStdString(),
                    request.section(' ', 1).toStdString());

    QStringList placed;
    for (Item* upload : g(UploadEntry).SortNumericBy(EffectiveUploadOrder, true)) {
        ItemPtr u(upload);
        placed << QString::fromStdString(
            u[ServerTypes::User].AsString() + ' ' +
            u[SharesTypes::SharedFile][SharesTypes::SharedFileName].AsString());
        QCOMPARE(UploadTestEnv::Place(u), placed.size());
    }
    QCOMPARE(placed, expected);
    // The order agrees with the comparison it is built from.
    for (int i = 1; i < placed.size(); ++i) {
        auto entry = [](const QString& r) {
            return UploadTestEnv::Upload(r.section(' ', 0, 0).toStdString(),
                                         r.section(' ', 1).toStdString());
        };
        QVERIFY(!env.transfers().UploadEntrySortCompare(entry(placed[i]), entry(placed[i - 1])));
    }
}

void tst_UploadQueue::requeuedKeepsItsPlace()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3", "b.mp3"});
    env.Request("bob", "a.mp3");
    env.Request("carol", "a.mp3");
    ItemPtr first = UploadTestEnv::Upload("bob", "a.mp3");
    env.transfers().SetUploadEntryStatus(first, "complete");
    env.Request("dave", "b.mp3");
    env.Request("bob", "a.mp3");
    QCOMPARE(UploadTestEnv::UploadStatus(first), std::string("queued"));
    QCOMPARE(UploadTestEnv::Place(first), 1);
    QCOMPARE(first[UploadOrder].AsString(), std::string("1"));
    // It goes first again when all three are there and a slot comes free.
    Settings::Set(SettingKeys::UploadSlots, "0");
    for (const char* user : {"carol", "dave", "bob"})
        TransferTestEnv::SetOnline(user, true);
    env.transfers().SetUploadSlots(1);
    QCOMPARE(UploadTestEnv::UploadStatus(first), std::string("requesting"));
    QCOMPARE(UploadTestEnv::StatusOf("carol", "a.mp3"), std::string("queued"));
}

void tst_UploadQueue::orderAfterRemovals()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3", "b.mp3"});
    env.Request("bob", "a.mp3");
    env.Request("carol", "a.mp3");
    env.Request("dave", "a.mp3");
    // The last one placed goes, and then one in the middle: new requests still go last.
    env.transfers().RemoveUpload(UploadTestEnv::Upload("dave", "a.mp3"));
    env.Request("erin", "a.mp3");
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("erin", "a.mp3")), 3);
    env.transfers().RemoveUpload(UploadTestEnv::Upload("carol", "a.mp3"));
    env.Request("frank", "a.mp3");
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("frank", "a.mp3")), 4);
    // A privileged user's request renumbers what is left from 1, gaps gone.
    SetPrivileged("gina");
    env.Request("gina", "b.mp3");
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("gina", "b.mp3")), 1);
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("bob", "a.mp3")), 2);
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("erin", "a.mp3")), 3);
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("frank", "a.mp3")), 4);
    QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(4));
}

void tst_UploadQueue::orderDeterminedAfresh()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3", "b.mp3"});
    env.Request("bob", "a.mp3");
    env.Request("carol", "a.mp3");
    env.Request("carol", "b.mp3");
    // carol's rank rises after she queued: the order stands until it is determined afresh.
    SetGroup("carol", "friends", "4");
    env.Request("dave", "a.mp3");
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("bob", "a.mp3")), 1);
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("dave", "a.mp3")), 4);
    env.transfers().DetermineUploadsEffectiveOrder();
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("carol", "a.mp3")), 0);
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("carol", "b.mp3")), 1);
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("bob", "a.mp3")), 2);
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("dave", "a.mp3")), 3);
    // The next request goes after the last in the new order, taking no one's number.
    env.Request("erin", "a.mp3");
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("erin", "a.mp3")), 4);
    QCOMPARE(UploadTestEnv::Place(UploadTestEnv::Upload("dave", "a.mp3")), 3);
}

void tst_UploadQueue::unshareUser()
{
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3", "b.mp3", "c.mp3"});
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    env.Request("carol", "a.mp3");
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
        env.Request("bob", name);
    TransferTestEnv::SetOnline("bob", true);
    QCOMPARE(TransferTestEnv::NextMessage(*bob).left(4), FakePeer::U32(PM_TRANSFER_REQUEST));
    env.transfers().SetUploadEntryStatus(UploadTestEnv::Upload("bob", "c.mp3"), "complete");

    // Queued, requesting and finished alike: one refusal each, and all gone.
    env.transfers().UnshareUser("bob");
    QSet<QByteArray> refused;
    for (int i = 0; i < 3; ++i)
        refused << TransferTestEnv::NextMessage(*bob);
    QCOMPARE(
        refused,
        QSet<QByteArray>({UploadTestEnv::UploadDenied(kPath, "File not shared."),
                          UploadTestEnv::UploadDenied("Music\\Album\\b.mp3", "File not shared."),
                          UploadTestEnv::UploadDenied("Music\\Album\\c.mp3", "File not shared.")}));
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
    QVERIFY(ServerStore::User("bob").IsConnected(SharesTypes::Unshared));
    QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(1));
    QVERIFY(UploadTestEnv::Upload("carol", "a.mp3"));

    env.Deliver(*bob, UploadTestEnv::QueueUpload(kPath));
    QCOMPARE(TransferTestEnv::NextMessage(*bob).toHex(), kNotShared.toHex());
    // Reshared, bob may ask again; what was removed stays removed.
    env.transfers().ReshareUser("bob");
    QVERIFY(!ServerStore::User("bob").IsConnected(SharesTypes::Unshared));
    QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(1));
    env.Request("bob", "b.mp3");
    QCOMPARE(UploadTestEnv::StatusOf("bob", "b.mp3"), std::string("requesting"));
}

void tst_UploadQueue::queueCaps_data()
{
    QTest::addColumn<int>("bobHas");
    QTest::addColumn<int>("othersHave");
    QTest::addColumn<bool>("full");
    const int perUser = TransferQueueManager::kMaxQueuedUploadsPerUser;
    const int all = TransferQueueManager::kMaxQueuedUploads;
    QTest::newRow("one below the user's cap") << perUser - 1 << 0 << false;
    QTest::newRow("at the user's cap") << perUser << 0 << true;
    QTest::newRow("others at their own caps") << 0 << perUser * 2 << false;
    QTest::newRow("one below the total cap") << perUser - 1 << all - perUser << false;
    QTest::newRow("at the total cap") << perUser - 1 << all - perUser + 1 << true;
}

void tst_UploadQueue::queueCaps()
{
    QFETCH(int, bobHas);
    QFETCH(int, othersHave);
    QFETCH(bool, full);
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    FillQueue("bob", bobHas);
    for (int i = 0; othersHave > 0; ++i) {
        const int count = std::min(othersHave, TransferQueueManager::kMaxQueuedUploadsPerUser);
        FillQueue("user" + std::to_string(i), count);
        othersHave -= count;
    }
    const size_t before = TransferTestEnv::Count(UploadEntry);

    TransferLog log;
    env.Deliver(*bob, UploadTestEnv::QueueUpload(kPath));
    if (full) {
        QCOMPARE(TransferTestEnv::NextMessage(*bob),
                 UploadTestEnv::UploadDenied(kPath, "Queue full."));
        QCOMPARE(TransferTestEnv::Count(UploadEntry), before);
        QCOMPARE(log.lines.value(1), QString("   Denied, queue full"));
    } else {
        QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
        QCOMPARE(TransferTestEnv::Count(UploadEntry), before + 1);
        QVERIFY(UploadTestEnv::Upload("bob", "a.mp3"));
    }
}

QTEST_GUILESS_MAIN(tst_UploadQueue)
#include "tst_uploadqueue.moc"

// Uploads up to their file connection: other users' queue requests (43), the upload order, the
// scheduler that offers uploads (40) within the slots, status changes and the abort notice (46),
// sharing checked again before an offer and before the file is opened, the queue's caps, the
// answers to our offers (41), set-up time-outs on the half-minute tick, and the queries a search
// reply makes.

#include "TransferTestEnv.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSet>

#include <sys/stat.h>

using namespace TransfersTypes;

namespace {

const QByteArray kPath = AlbumPath("a.mp3");
const QByteArray kNotShared = Hex("32000000 11000000 4d757369635c416c62756d5c612e6d7033"
                                  " 10000000 46696c65206e6f74207368617265642e");

// "bob!" privileged; "bob=3,7" in groups of those priorities; "bob=" in a group without one.
void SetRank(const QString& who)
{
    const std::string user = who.section(QRegularExpression("[!=]"), 0, 0).toStdString();
    if (who.endsWith('!'))
        ServerStore::SetFlag(ServerStore::User(user), ServerTypes::IsPrivileged);
    if (!who.contains('='))
        return;
    ItemPtr listed = ServerStore::User(user).NewItem(ServerTypes::InUserList);
    for (const QString& priority : who.section('=', 1).split(',')) {
        ItemPtr group = d.GetType(ServerTypes::UserListGroup)
                            ->GetItem(Value(user + "'s group " + priority.toStdString()));
        if (!priority.isEmpty())
            ServerStore::Link(group, ServerTypes::GroupDownloadPriority,
                              Value(priority.toStdString()));
        listed += group;
    }
}

// "bob a.mp3": bob's upload of the album's a.mp3, and back.
ItemPtr UploadOf(const QString& who)
{
    return TransferTestEnv::Upload(who.section(' ', 0, 0).toStdString(),
                                   who.section(' ', 1, 1).toStdString());
}
QString Describe(ItemPtr u)
{
    return QString::fromStdString(
        u[ServerTypes::User].AsString() + ' ' +
        u[SharesTypes::SharedFile][SharesTypes::SharedFileName].AsString());
}

struct RequestRow
{
    const char *name, *access; // of the Music folder; "" shares it with nobody
    QByteArray path;
    const char* bobIs; // "listed", "unshared" or ""
    bool taken;
};
const RequestRow kRequests[] = {
    {"shared with everyone", "shared_public", kPath, "", true},
    {"another spelling of the same file", "shared_public", "music\\ALBUM\\a.mp3", "", true},
    {"shared with the user list, bob listed", "shared_userlist", kPath, "listed", true},
    {"shared with the user list, bob not listed", "shared_userlist", kPath, "", false},
    {"shared with nobody", "", kPath, "", false},
    {"bob unshared", "shared_public", kPath, "unshared", false},
    {"no such file", "shared_public", AlbumPath("b.mp3"), "", false},
    {"a folder, not a file", "shared_public", "Music\\Album", "", false},
};

// bob's answer to our offer of a.mp3 (token 7), after what happened before; then bob's upload's
// status and the last line logged. A refusal, and a file that does not open, free the slot for
// carol's upload; only an allowed answer asks for a file connection.
struct AnswerRow
{
    const char *name, *before, *user;
    QByteArray answer;
    const char *after, *logged;
};
const char kAccepted[] = "   Requesting file connection to user";
const char kDenied[] = "   Upload was not accepted, marking denied";
const char kTooLate[] =
    "   Upload no longer in requesting phase, instead status is aborted. Not processing.";
const char kOtherUser[] =
    "   Upload user bob not the same as user who opened the connection, not doing anything";
const char kNotOpened[] = "   File could not be opened, marking local error and sending denial "
                          "message. Shouldn't we have done this before we requested the transfer?";
const QByteArray kRefused = Msg::Refused(7, "Too many files");
const AnswerRow kAnswers[] = {
    {"allowed", "", "bob", Msg::Allowed(7), "connecting", kAccepted},
    {"allowed, with a size", "", "bob", Msg::W(41).u32(7).u8(1).u64(100), "connecting", kAccepted},
    {"refused while requesting", "", "bob", kRefused, "denied", kDenied},
    {"refused while connecting", "connecting", "bob", kRefused, "denied", kDenied},
    {"refused after the time-out", "aborted", "bob", kRefused, "denied", kDenied},
    {"allowed too late", "aborted", "bob", Msg::Allowed(7), "aborted", kTooLate},
    {"from another user", "", "carol", Msg::Allowed(7), "requesting", kOtherUser},
    {"unknown token", "", "bob", Msg::Allowed(99), "requesting", "   req not found"},
    {"a download's token", "download token", "bob", Msg::Allowed(50), "requesting",
     "   Found download, not processing"},
    {"nobody's token", "stray token", "bob", Msg::Allowed(51), "requesting",
     "   Neither upload or download attached to req, weird"},
    {"file deleted", "deleted", "bob", Msg::Allowed(7), "local error", kNotOpened},
    {"file a folder", "folder", "bob", Msg::Allowed(7), "local error", kNotOpened},
    // Opening a FIFO for reading would wait for a writer: the answer must not.
    {"file a FIFO", "fifo", "bob", Msg::Allowed(7), "local error", kNotOpened},
};

} // namespace

class tst_Uploads : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void requestTaken_data() { AddRows(kRequests); }
    void requestTaken();
    void peersSpellingKept();
    void repeatedRequest_data();
    void repeatedRequest();
    void queue_data();
    void queue();
    void offered_data();
    void offered();
    void queries_data();
    void queries();
    void statusChange_data();
    void statusChange();
    void noLongerShared_data();
    void noLongerShared();
    void unshareUser();
    void queueCaps_data();
    void queueCaps();
    void answer_data() { AddRows(kAnswers); }
    void answer();
    void setUpTimesOut_data();
    void setUpTimesOut();
    void ageOfTheChange_data();
    void ageOfTheChange();
    void timerTest();

private:
    TransferQueueManager& transfers() { return m_env->transfers(); }
    static QByteArray Next(FakePeer& peer) { return TransferTestEnv::NextMessage(peer); }
    bool NothingMore(FakePeer& peer) { return TransferTestEnv::NothingMoreSent(peer, Name(peer)); }
    std::string Name(FakePeer& peer) { return &peer == m_bob.get() ? "bob" : "carol"; }

    std::unique_ptr<TransferTestEnv> m_env;
    std::unique_ptr<FakePeer> m_bob;
    std::unique_ptr<FakePeer> m_carol;
};

void tst_Uploads::init()
{
    m_env = std::make_unique<TransferTestEnv>();
    m_bob = m_env->ConnectPeer();
    m_carol = m_env->ConnectPeer("carol");
    QVERIFY(m_bob && m_carol);
    Settings::Set(SettingKeys::TransferReqCounter, "7");
}

void tst_Uploads::cleanup()
{
    m_carol.reset();
    m_bob.reset();
    m_env.reset();
}

void tst_Uploads::requestTaken()
{
    const RequestRow& r = CurrentRow(kRequests);
    QVERIFY(TransferTestEnv::WriteFile("Music/Album/a.mp3", 100));
    TransferTestEnv::Share("Music", *r.access ? r.access : nullptr);
    if (r.bobIs == std::string("listed"))
        ServerStore::User("bob").NewItem(ServerTypes::InUserList);
    if (r.bobIs == std::string("unshared"))
        ServerStore::SetFlag(ServerStore::User("bob"), SharesTypes::Unshared);
    Settings::Set(SettingKeys::TransferOrderCounter, "41");

    TransferLog log;
    m_env->Deliver(*m_bob, Msg::Queue(r.path));
    const QString requested = "Queue upload requested by bob for file " + r.path;
    ItemPtr upload = TransferTestEnv::Upload("bob", "a.mp3");
    QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(r.taken));
    if (!r.taken) {
        QCOMPARE(Next(*m_bob).toHex(),
                 (r.path == kPath ? kNotShared : Msg::Denied(r.path, "File not shared.")).toHex());
        QCOMPARE(log.lines, QStringList({requested, "   Denied, file not shared"}));
        QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("41"));
        return;
    }
    // bob is offline: queued, and nothing goes back.
    QVERIFY(NothingMore(*m_bob));
    QCOMPARE(TransferTestEnv::Status(upload), std::string("queued"));
    QCOMPARE(upload[FilenameAsRequested].AsString(), r.path.toStdString());
    QCOMPARE(upload[UploadOrder].AsInt(), 41);
    QCOMPARE(upload[EffectiveUploadOrder].AsInt(), 1);
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), std::string("42"));
    QVERIFY(TransferTestEnv::IsNow(upload));
    QVERIFY(ServerStore::User("bob").IsConnected(ServerTypes::IsTracked));
    QCOMPARE(log.lines, QStringList({requested, "   Queued"}));
}

void tst_Uploads::peersSpellingKept()
{
    TransferTestEnv::ShareAlbum({"a.mp3"});
    TransferTestEnv::SetOnline("bob");
    const QByteArray spelling = "MUSIC\\album\\A.mp3";
    m_env->Deliver(*m_bob, Msg::Queue(spelling));
    // Offered, aborted and unshared: always under the name bob asked for.
    QCOMPARE(Next(*m_bob), Msg::Offer(7, spelling, 100));
    transfers().SetUploadEntryStatus(TransferTestEnv::Upload("bob", "a.mp3"), "aborted");
    QCOMPARE(Next(*m_bob), Msg::Failed(spelling));
    transfers().UnshareUser("bob");
    QCOMPARE(Next(*m_bob), Msg::Denied(spelling, "File not shared."));
    QVERIFY(NothingMore(*m_bob));
}

void tst_Uploads::repeatedRequest_data()
{
    QTest::addColumn<bool>("requeued");
    for (const char* status :
         {"queued", "requesting", "connecting", "waiting for offset", "uploading"})
        QTest::newRow(status) << false;
    for (const char* status : {"complete", "aborted", "denied", "local error"})
        QTest::newRow(status) << true;
}

void tst_Uploads::repeatedRequest()
{
    QFETCH(bool, requeued);
    const QString status = QTest::currentDataTag();
    TransferTestEnv::ShareAlbum({"a.mp3"});
    m_env->Request("bob", "a.mp3");
    ItemPtr upload = TransferTestEnv::Upload("bob", "a.mp3");
    transfers().SetUploadEntryStatus(upload, status.toStdString());
    const std::string counter = Settings::Text(SettingKeys::TransferOrderCounter);

    // Asked again, in another spelling: the same entry, its place and name kept. An upload
    // queued or under way goes on as it was.
    TransferLog log;
    transfers().OnQueueUploadRequested("bob", "Music\\Album\\A.MP3");
    QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(1));
    QCOMPARE(upload[FilenameAsRequested].AsString(), kPath.toStdString());
    QCOMPARE(upload[EffectiveUploadOrder].AsInt(), 1);
    QCOMPARE(Settings::Text(SettingKeys::TransferOrderCounter), counter);
    QCOMPARE(log.lines.value(1), requeued ? "   " + status + ", re-queueing" : "   Already queued");
    QCOMPARE(QString::fromStdString(TransferTestEnv::Status(upload)), requeued ? "queued" : status);
    QVERIFY(NothingMore(*m_bob));
    // A re-queued upload is offered as soon as its user is there.
    TransferTestEnv::SetOnline("bob");
    QVERIFY(!requeued || TransferTestEnv::Status(upload) == "requesting");
}

void tst_Uploads::queue_data()
{
    // Steps in turn: "bob a.mp3" bob asks for a.mp3; "rank ..." (SetRank); "online bob carol";
    // "offline carol"; "slots N"; "remove bob a.mp3"; "done bob a.mp3" (complete, then the
    // scheduler runs); "determine" the order afresh. Checks: "placed ..." every upload by its
    // place, "active ..." the uploads offered by their place, "stored N" the slots setting,
    // "free yes|no".
    QTest::addColumn<QString>("steps");
    QTest::newRow("equal ranks by arrival")
        << "bob a.mp3; carol a.mp3; dave b.mp3; bob b.mp3; "
           "placed bob a.mp3 1, carol a.mp3 2, dave b.mp3 3, bob b.mp3 4";
    QTest::newRow("a privileged user goes first, all renumbered from 1")
        << "rank erin!; bob a.mp3; carol a.mp3; erin a.mp3; erin b.mp3; "
           "placed erin a.mp3 1, erin b.mp3 2, bob a.mp3 3, carol a.mp3 4";
    QTest::newRow("the highest group priority first, before privileges")
        << "rank bob!; rank carol=2; rank dave=5,1; bob a.mp3; carol a.mp3; dave a.mp3; "
           "bob b.mp3; placed dave a.mp3 1, carol a.mp3 2, bob a.mp3 3, bob b.mp3 4";
    QTest::newRow("no priority, or a negative one, counts as 0")
        << "rank bob=; rank dave=-1; bob a.mp3; carol a.mp3; dave a.mp3; bob b.mp3; "
           "placed bob a.mp3 1, carol a.mp3 2, dave a.mp3 3, bob b.mp3 4";
    QTest::newRow("one user's uploads keep their arrival order")
        << "rank erin=3; erin c.mp3; bob a.mp3; erin a.mp3; erin b.mp3; "
           "placed erin c.mp3 1, erin a.mp3 2, erin b.mp3 3, bob a.mp3 4";
    QTest::newRow("a complete upload queued again keeps its place")
        << "bob a.mp3; carol a.mp3; done bob a.mp3; dave b.mp3; bob a.mp3; "
           "placed bob a.mp3 1, carol a.mp3 2, dave b.mp3 3";
    QTest::newRow("after removals new requests still go last")
        << "bob a.mp3; carol a.mp3; dave a.mp3; remove dave a.mp3; erin a.mp3; "
           "remove carol a.mp3; frank a.mp3; placed bob a.mp3 1, erin a.mp3 3, frank a.mp3 4";
    QTest::newRow("and a privileged request renumbers them from 1")
        << "bob a.mp3; carol a.mp3; remove carol a.mp3; erin a.mp3; rank gina!; gina b.mp3; "
           "placed gina b.mp3 1, bob a.mp3 2, erin a.mp3 3";
    QTest::newRow("a rank raised later leaves the order as it is")
        << "bob a.mp3; carol a.mp3; rank carol=4; dave a.mp3; "
           "placed bob a.mp3 1, carol a.mp3 2, dave a.mp3 3";
    // Numbered from 0; the next request goes after the last, taking no one's number.
    QTest::newRow("until the order is determined afresh")
        << "bob a.mp3; carol a.mp3; rank carol=4; determine; dave a.mp3; "
           "placed carol a.mp3 0, bob a.mp3 1, dave a.mp3 2";
    QTest::newRow("one upload per user")
        << "slots 2; online bob; bob a.mp3; bob b.mp3; active bob a.mp3; free yes; "
           "done bob a.mp3; active bob b.mp3";
    QTest::newRow("offline users passed over")
        << "slots 2; online bob; carol a.mp3; dave a.mp3; bob a.mp3; active bob a.mp3; "
           "online carol; active carol a.mp3, bob a.mp3; online dave; "
           "active carol a.mp3, bob a.mp3";
    QTest::newRow("a user who went away is passed over until back")
        << "online bob carol; bob a.mp3; carol a.mp3; offline carol; done bob a.mp3; active ; "
           "online carol; active carol a.mp3";
    QTest::newRow("the order determined afresh decides who is offered next")
        << "online bob; bob a.mp3; carol a.mp3; dave a.mp3; rank dave=4; determine; "
           "online carol dave; active bob a.mp3; done bob a.mp3; active dave a.mp3";
    QTest::newRow("more slots start more at once, fewer stop none")
        << "online bob carol dave erin; bob a.mp3; carol a.mp3; dave a.mp3; erin a.mp3; "
           "active bob a.mp3; slots 3; stored 3; active bob a.mp3, carol a.mp3, dave a.mp3; "
           "free no; slots 1; stored 1; active bob a.mp3, carol a.mp3, dave a.mp3; free no; "
           "done bob a.mp3; done carol a.mp3; active dave a.mp3; done dave a.mp3; "
           "active erin a.mp3";
    QTest::newRow("0, -1 and 100 ignored")
        << "slots 2; online bob carol dave; bob a.mp3; carol a.mp3; dave a.mp3; slots 0; "
           "slots -1; slots 100; stored 2; active bob a.mp3, carol a.mp3; slots 99; stored 99; "
           "active bob a.mp3, carol a.mp3, dave a.mp3";
}

void tst_Uploads::queue()
{
    QFETCH(QString, steps);
    TransferTestEnv::ShareAlbum({"a.mp3", "b.mp3", "c.mp3"});
    for (const QString& step : steps.split("; ")) {
        const QString verb = step.section(' ', 0, 0);
        const QString rest = step.section(' ', 1);
        QStringList placed;
        for (ItemPtr u : g(UploadEntry).SortNumericBy(EffectiveUploadOrder, true)) {
            if (verb == "placed")
                placed << Describe(u) + ' ' + QString::number(u[EffectiveUploadOrder].AsInt());
            else if (TransferTestEnv::Status(u) == "requesting")
                placed << Describe(u);
        }
        if (verb == "placed" || verb == "active") {
            QCOMPARE(placed.join(", "), rest);
        } else if (verb == "stored") {
            QCOMPARE(QString::fromStdString(Settings::Text(SettingKeys::UploadSlots)), rest);
        } else if (verb == "free") {
            QCOMPARE(transfers().IsFreeToUpload(), rest == "yes");
        } else if (verb == "rank") {
            SetRank(rest);
        } else if (verb == "slots") {
            transfers().SetUploadSlots(rest.toInt());
        } else if (verb == "online" || verb == "offline") {
            for (const QString& user : rest.split(' '))
                TransferTestEnv::SetOnline(user.toStdString(), verb == "online");
        } else if (verb == "remove") {
            transfers().RemoveUpload(UploadOf(rest));
        } else if (verb == "done") {
            transfers().SetUploadEntryStatus(UploadOf(rest), "complete");
            transfers().StartNewUploads();
        } else if (verb == "determine") {
            transfers().DetermineUploadsEffectiveOrder();
        } else {
            m_env->Request(verb.toStdString(), rest.toStdString());
        }
    }
    // Listed in no group, or not known at all: rank 0, and asking makes no user.
    ServerStore::User("zed").NewItem(ServerTypes::InUserList);
    QCOMPARE(transfers().GetUserGroupDownloadPriority("zed"), 0);
    QCOMPARE(transfers().GetUserGroupDownloadPriority("nobody"), 0);
    QVERIFY(!ServerStore::FindUser("nobody"));
}

void tst_Uploads::offered_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("sizeBytes");
    QTest::newRow("100 bytes") << qint64(100) << Hex("6400000000000000");
    QTest::newRow("5,000,000,000 bytes") << qint64(5000000000LL) << Hex("00f2052a01000000");
    QTest::newRow("above 32 bits by one") << qint64(4294967296LL) << Hex("0000000001000000");
    // Nothing to send is still an upload: the file connection ends it at once.
    QTest::newRow("zero bytes") << qint64(0) << Hex("0000000000000000");
}

void tst_Uploads::offered()
{
    QFETCH(qint64, size);
    QFETCH(QByteArray, sizeBytes);
    TransferTestEnv::ShareAlbum({"a.mp3"}, size);
    TransferTestEnv::SetOnline("bob");
    QVERIFY(transfers().IsFreeToUpload());
    m_env->Deliver(*m_bob, Msg::Queue(kPath));
    QCOMPARE(
        Next(*m_bob).toHex(),
        (Hex("28000000 01000000 07000000 11000000 4d757369635c416c62756d5c612e6d7033") + sizeBytes)
            .toHex());
    QVERIFY(NothingMore(*m_bob));
    ItemPtr upload = TransferTestEnv::Upload("bob", "a.mp3");
    QCOMPARE(TransferTestEnv::Status(upload), std::string("requesting"));
    QCOMPARE(upload[TransferReq].AsString(), std::string("7"));
    QCOMPARE(Settings::Text(SettingKeys::TransferReqCounter), std::string("8"));
    QVERIFY(TransferTestEnv::IsNow(upload));
    QVERIFY(!transfers().IsFreeToUpload());
}

void tst_Uploads::queries_data()
{
    QTest::addColumn<QByteArray>("uploadSlots"); // empty: no setting
    QTest::addColumn<QStringList>("uploads");    // the status of each upload
    QTest::addColumn<bool>("free");
    QTest::addColumn<int>("queued");
    QTest::newRow("no upload") << QByteArray("2") << QStringList{} << true << 0;
    QTest::newRow("one active of two slots")
        << QByteArray("2") << QStringList{"uploading"} << true << 0;
    QTest::newRow("as many active as slots")
        << QByteArray("2") << QStringList{"uploading", "connecting"} << false << 0;
    QTest::newRow("more active than slots")
        << QByteArray("1") << QStringList{"requesting", "waiting for offset"} << false << 0;
    QTest::newRow("queued and finished ones hold no slot")
        << QByteArray("1") << QStringList{"queued", "queued", "queued", "complete", "aborted"}
        << true << 3;
    QTest::newRow("no slots") << QByteArray("0") << QStringList{"queued"} << false << 1;
    QTest::newRow("no setting") << QByteArray() << QStringList{} << false << 0;
}

void tst_Uploads::queries()
{
    QFETCH(QByteArray, uploadSlots);
    QFETCH(QStringList, uploads);
    QFETCH(bool, free);
    QFETCH(int, queued);
    if (uploadSlots.isEmpty())
        Settings::RemoveKey(SettingKeys::UploadSlots);
    else
        Settings::Set(SettingKeys::UploadSlots, uploadSlots.toStdString());
    for (const QString& status : uploads)
        d.GetType(UploadEntry)->NewItem() +=
            d.GetType(UploadEntryStatus)->GetItem(Value(status.toStdString()));
    const size_t items = d.ItemCount();
    TransferLog log;
    QCOMPARE(transfers().IsFreeToUpload(), free);
    QCOMPARE(transfers().QueuedUploadCount(), queued);
    QCOMPARE(d.ItemCount(), items);
    // Only more active uploads than slots break the rule, and that is only reported: no
    // status changes (each would be stamped).
    const bool over = QTest::currentDataTag() == QByteArray("more active than slots");
    QCOMPARE(transfers().AssertNoExtraUploads(), !over);
    QCOMPARE(log.lines, over
                            ? QStringList{"More uploads active than there are upload slots: 2 of 1"}
                            : QStringList());
    QCOMPARE(TransferTestEnv::Count(LastStatusChangeTime), size_t(0));
}

void tst_Uploads::statusChange_data()
{
    // From one status to another. Only an upload that held a slot is torn down, and only one
    // that ends "aborted" tells its peer (46); between statuses that hold no slot only the
    // change time moves.
    QTest::addColumn<QString>("to");
    for (const char* row : {"requesting, aborted", "connecting, aborted", "requesting, denied",
                            "requesting, local error", "queued, aborted"})
        QTest::newRow(row) << QString(row).section(", ", 1);
}

void tst_Uploads::statusChange()
{
    QFETCH(QString, to);
    const QString from = QString(QTest::currentDataTag()).section(',', 0, 0);
    const bool told = from != "queued" && to == "aborted";
    TransferTestEnv::ShareAlbum({"a.mp3"});
    TransferTestEnv::SetOnline("bob");
    m_env->Request("bob", "a.mp3");
    QCOMPARE(Next(*m_bob), Msg::Offer(7, kPath, 100));
    ItemPtr upload = TransferTestEnv::Upload("bob", "a.mp3");
    transfers().SetUploadEntryStatus(upload, from.toStdString());
    upload.Disconnect(LastStatusChangeTime);

    TransferLog log;
    transfers().SetUploadEntryStatus(upload, to.toStdString());
    QCOMPARE(QString::fromStdString(TransferTestEnv::Status(upload)), to);
    QVERIFY(TransferTestEnv::IsNow(upload));
    if (told) {
        QCOMPARE(Next(*m_bob).toHex(),
                 Hex("2e000000 11000000 4d757369635c416c62756d5c612e6d7033").toHex());
        QCOMPARE(
            log.lines,
            QStringList{"Upload of a.mp3 to bob aborted, sending upload failed notification."});
    }
    QVERIFY(NothingMore(*m_bob));
    QVERIFY(transfers().IsFreeToUpload());
    for (const char* kept : {TransferReq, UploadOrder, EffectiveUploadOrder})
        QVERIFY2(upload.IsConnected(kept), kept);
}

void tst_Uploads::noLongerShared_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("atAnswer"); // else before the offer
    for (const char* change :
         {"user unshared", "folder not public", "root removed", "file removed", "group left"})
        QTest::addRow("%s, before the offer", change) << change << false;
    for (const char* change : {"user unshared", "folder not public", "file removed"})
        QTest::addRow("%s, at the answer", change) << change << true;
}

void tst_Uploads::noLongerShared()
{
    QFETCH(QString, change);
    QFETCH(bool, atAnswer);
    // Shared with everyone, or with a group that bob and carol are in.
    QVERIFY(TransferTestEnv::WriteFile("Music/Album/a.mp3", 100));
    const bool byGroup = change == "group left";
    ItemPtr root = TransferTestEnv::Share("Music", byGroup ? nullptr : SharesTypes::SharedPublic);
    ItemPtr group = d.GetType(ServerTypes::UserListGroup)->GetItem(Value("friends"));
    if (byGroup) {
        root += group;
        for (const char* user : {"bob", "carol"})
            ServerStore::User(user).NewItem(ServerTypes::InUserList) += group;
    }
    TransferTestEnv::SetOnline("bob", atAnswer);
    TransferTestEnv::SetOnline("carol", atAnswer);
    m_env->Request("bob", "a.mp3");
    m_env->Request("carol", "a.mp3");
    QVERIFY(!atAnswer || Next(*m_bob) == Msg::Offer(7, kPath, 100));

    if (change == "user unshared") {
        ServerStore::SetFlag(ServerStore::User("bob"), SharesTypes::Unshared);
    } else if (change == "folder not public") {
        root.Disconnect(SharesTypes::SharedPublic);
    } else if (change == "root removed" || change == "file removed") {
        QVERIFY(change == "root removed" ? (root.Remove(), true)
                                         : QFile::remove("Music/Album/a.mp3"));
        sharedFoldersManager->RescanShares();
        sharedFoldersManager->WaitForScans();
    } else {
        ServerStore::User("bob")[ServerTypes::InUserList].Disconnect(group);
    }

    TransferLog log;
    PeerLog peerLog;
    if (atAnswer)
        m_env->Deliver(*m_bob, Msg::Allowed(7));
    else
        TransferTestEnv::SetOnline("bob");
    QCOMPARE(Next(*m_bob).toHex(), kNotShared.toHex());
    QVERIFY(NothingMore(*m_bob));
    QVERIFY(ServerStore::User("bob").GetItems(UploadEntry).empty());
    QVERIFY(log.Has(atAnswer
                        ? "   Denied, file not shared"
                        : "Upload of Music\\Album\\a.mp3 to bob no longer shared, removing it"));
    QVERIFY(!peerLog.Has("Attempting peer connection of type F to user bob"));
    // The slot goes to the next in line, if the file is still hers.
    if (change == "user unshared" || byGroup) {
        TransferTestEnv::SetOnline("carol");
        QCOMPARE(Next(*m_carol), Msg::Offer(atAnswer ? 8 : 7, kPath, 100));
    }
}

void tst_Uploads::unshareUser()
{
    TransferTestEnv::ShareAlbum({"a.mp3", "b.mp3", "c.mp3"});
    m_env->Request("carol", "a.mp3");
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
        m_env->Request("bob", name);
    TransferTestEnv::SetOnline("bob");
    QCOMPARE(Next(*m_bob), Msg::Offer(7, kPath, 100));
    transfers().SetUploadEntryStatus(TransferTestEnv::Upload("bob", "c.mp3"), "complete");

    // Requesting, queued and finished alike: one refusal each, and all gone.
    transfers().UnshareUser("bob");
    QSet<QByteArray> refused;
    for (int i = 0; i < 3; ++i)
        refused << Next(*m_bob);
    QCOMPARE(refused,
             QSet<QByteArray>({kNotShared, Msg::Denied(AlbumPath("b.mp3"), "File not shared."),
                               Msg::Denied(AlbumPath("c.mp3"), "File not shared.")}));
    QVERIFY(NothingMore(*m_bob));
    QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(1));
    m_env->Deliver(*m_bob, Msg::Queue(kPath));
    QCOMPARE(Next(*m_bob).toHex(), kNotShared.toHex());
    // Reshared, bob may ask again; what was removed stays removed.
    transfers().ReshareUser("bob");
    m_env->Request("bob", "b.mp3");
    QCOMPARE(TransferTestEnv::StatusOf("bob", "b.mp3"), std::string("requesting"));
    QCOMPARE(TransferTestEnv::Count(UploadEntry), size_t(2));
}

void tst_Uploads::queueCaps_data()
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

void tst_Uploads::queueCaps()
{
    QFETCH(int, bobHas);
    QFETCH(int, othersHave);
    QFETCH(bool, full);
    TransferTestEnv::ShareAlbum({"a.mp3"});
    // Entries made by hand, as many as the caps count, of bob's and of others.
    for (int i = 0; bobHas + othersHave > 0; ++i) {
        const int n = bobHas > 0
                          ? bobHas
                          : std::min(othersHave, TransferQueueManager::kMaxQueuedUploadsPerUser);
        for (int k = 0; k < n; ++k)
            d.GetType(UploadEntry)->NewItem() +=
                ServerStore::User(bobHas > 0 ? "bob" : "user" + std::to_string(i));
        (bobHas > 0 ? bobHas : othersHave) -= n;
    }
    const size_t before = TransferTestEnv::Count(UploadEntry);

    TransferLog log;
    m_env->Deliver(*m_bob, Msg::Queue(kPath));
    QCOMPARE(TransferTestEnv::Count(UploadEntry), before + (full ? 0 : 1));
    if (full) {
        QCOMPARE(Next(*m_bob), Msg::Denied(kPath, "Queue full."));
        QCOMPARE(log.lines.value(1), QString("   Denied, queue full"));
    }
}

void tst_Uploads::answer()
{
    const AnswerRow& r = CurrentRow(kAnswers);
    TransferTestEnv::ShareAlbum({"a.mp3"});
    TransferTestEnv::SetOnline("bob");
    TransferTestEnv::SetOnline("carol");
    m_env->Request("bob", "a.mp3");
    m_env->Request("carol", "a.mp3");
    QCOMPARE(Next(*m_bob), Msg::Offer(7, kPath, 100));
    ItemPtr upload = TransferTestEnv::Upload("bob", "a.mp3");
    const QString before = r.before;
    PeerLog peerLog;
    if (before == "connecting") {
        m_env->Deliver(*m_bob, Msg::Allowed(7));
    } else if (before == "aborted") {
        transfers().SetUploadEntryStatus(upload, "aborted");
        transfers().StartNewUploads();
        QCOMPARE(Next(*m_bob), Msg::Failed(kPath));
        QCOMPARE(Next(*m_carol), Msg::Offer(8, kPath, 100));
    } else if (before == "download token") {
        TransferTestEnv::Entry("bob", "Music", "x.mp3") +=
            d.GetType(TransferReq)->GetItem(Value(50));
    } else if (before == "stray token") {
        d.GetType(TransferReq)->GetItem(Value(51));
    } else if (!before.isEmpty()) {
        QVERIFY(QFile::remove("Music/Album/a.mp3"));
        QVERIFY(before != "folder" || QDir().mkdir("Music/Album/a.mp3"));
        QVERIFY(before != "fifo" || ::mkfifo("Music/Album/a.mp3", 0600) == 0);
    }

    TransferLog log;
    m_env->Deliver(r.user == std::string("bob") ? *m_bob : *m_carol, r.answer);
    const std::string after = r.after;
    QCOMPARE(TransferTestEnv::Status(upload), after);
    QCOMPARE(log.lines.value(log.lines.size() - 1), QString(r.logged));
    if (after == "connecting" && before.isEmpty())
        QCOMPARE(log.lines, QStringList({"Received file transfer response from user bob for req 7, "
                                         "transfer accepted",
                                         "   Found upload", kAccepted}));
    if (after == "local error")
        QCOMPARE(Next(*m_bob).toHex(), Hex("32000000 11000000 4d757369635c416c62756d5c612e6d7033"
                                           " 10000000 46696c652072656164206572726f722e")
                                           .toHex());
    QVERIFY(NothingMore(*m_bob));
    if (after == "local error" || (after == "denied" && before != "aborted"))
        QCOMPARE(Next(*m_carol), Msg::Offer(8, kPath, 100));
    QVERIFY(NothingMore(*m_carol));
    QCOMPARE(peerLog.Has("Attempting peer connection of type F to user bob"),
             after == "connecting" || before == "connecting");
    // The file is open while the file connection is awaited, and only then.
    QCOMPARE(upload.IsConnected(UploadFile), after == "connecting");
    auto* file = upload[UploadFile].AsPointer<QFile>();
    QVERIFY(!file || (file->isReadable() && file->size() == 100));
    QVERIFY(after != "denied" || upload[DenialReason].AsString() == "Too many files");
}

void tst_Uploads::setUpTimesOut_data()
{
    QTest::addColumn<QString>("second"); // the status of carol's upload, bob's is "requesting"
    QTest::addColumn<bool>("endsToo");
    for (const char* status : {"requesting", "connecting", "waiting for offset"})
        QTest::newRow(status) << status << true;
    QTest::newRow("uploading") << "uploading" << false;
}

void tst_Uploads::setUpTimesOut()
{
    QFETCH(QString, second);
    QFETCH(bool, endsToo);
    TransferTestEnv::ShareAlbum({"a.mp3"});
    transfers().SetUploadSlots(2);
    for (const char* user : {"bob", "carol", "dave", "erin"}) {
        TransferTestEnv::SetOnline(user);
        m_env->Request(user, "a.mp3");
    }
    QCOMPARE(Next(*m_bob), Msg::Offer(7, kPath, 100));
    QCOMPARE(Next(*m_carol), Msg::Offer(8, kPath, 100));
    transfers().SetUploadEntryStatus(TransferTestEnv::Upload("carol", "a.mp3"),
                                     second.toStdString());

    TransferLog log;
    m_env->Tick(29);
    QVERIFY(log.lines.isEmpty());
    m_env->Tick(1);
    QCOMPARE(Next(*m_bob), Msg::Failed(kPath));
    QStringList expected{"Upload of a.mp3 to bob timed out in requesting phase, aborting",
                         "Upload of a.mp3 to bob aborted, sending upload failed notification."};
    if (endsToo) {
        expected << "Upload of a.mp3 to carol timed out in " + second + " phase, aborting"
                 << "Upload of a.mp3 to carol aborted, sending upload failed notification.";
        QCOMPARE(Next(*m_carol), Msg::Failed(kPath));
    }
    QCOMPARE(log.lines, expected);
    // The freed slots go to the next in line in the same tick.
    QCOMPARE(TransferTestEnv::StatusOf("dave", "a.mp3"), std::string("requesting"));
    QCOMPARE(TransferTestEnv::StatusOf("erin", "a.mp3"),
             std::string(endsToo ? "requesting" : "queued"));
}

void tst_Uploads::ageOfTheChange_data()
{
    // An upload "requesting" since now: stamped by the engine, the wall clock then moved by
    // moved seconds; or known from its text alone, made by hand moved seconds old.
    QTest::addColumn<bool>("stamped");
    QTest::addColumn<int>("moved");
    QTest::addColumn<int>("notYet"); // seconds later it still waits; -1: aborted at once
    QTest::addColumn<int>("by");     // seconds later it is aborted; -1: not within the test
    QTest::newRow("clock an hour ahead since") << true << 3600 << 29 << 30;
    QTest::newRow("clock an hour back since") << true << -3600 << 29 << 30;
    QTest::newRow("clock a day back since") << true << -86400 << 29 << 30;
    QTest::newRow("text 10 s old") << false << 10 << 19 << 20;
    QTest::newRow("text 31 s old") << false << 31 << -1 << 0;
    QTest::newRow("text an hour ahead") << false << -3600 << 30 << -1;
}

void tst_Uploads::ageOfTheChange()
{
    QFETCH(bool, stamped);
    QFETCH(int, moved);
    QFETCH(int, notYet);
    QFETCH(int, by);
    TransferTestEnv::ShareAlbum({"a.mp3"});
    ItemPtr upload = d.GetType(UploadEntry)->NewItem();
    if (stamped) {
        TransferTestEnv::SetOnline("bob");
        m_env->Request("bob", "a.mp3");
        upload = TransferTestEnv::Upload("bob", "a.mp3");
    } else {
        upload += ServerStore::User("bob");
        upload += sharedFoldersManager->GetSharedFileItem("Music/Album/a.mp3");
        upload += d.GetType(UploadEntryStatus)->GetItem(Value("requesting"));
        upload += d.GetType(LastStatusChangeTime)->GetItem(Value(Clock::NowText().toStdString()));
    }
    PeerTestEnv::MoveWallClock(upload, LastStatusChangeTime, moved);
    qint64 at = 0;
    for (int check : {notYet, by}) {
        if (check < 0)
            continue;
        m_env->Tick(check - at);
        at = check;
        QCOMPARE(TransferTestEnv::Status(upload),
                 std::string(check == by ? "aborted" : "requesting"));
    }
}

void tst_Uploads::timerTest()
{
    // Each line with the moment it came.
    QElapsedTimer clock;
    clock.start();
    QStringList lines;
    QList<qint64> at;
    const auto connection = connect(LogHub::Instance(), &LogHub::LineLogged,
                                    [&](const QString& category, const QString& l) {
                                        if (category == QLatin1String("Timer Test")) {
                                            lines << l.mid(l.indexOf("] ") + 2);
                                            at << clock.elapsed();
                                        }
                                    });
    transfers().StartTimerTest();
    QTRY_VERIFY_WITH_TIMEOUT(lines.size() >= 2, TransferTestEnv::kWaitMs);
    disconnect(connection);
    const QRegularExpression line("^Timeout: (-?\\d+) milliseconds behind schedule$");
    for (const QString& l : lines)
        QVERIFY2(line.match(l).hasMatch(), qPrintable(l));
    // Measured from the tick before, however late that one came.
    const qint64 lateness = line.match(lines[1]).captured(1).toLongLong();
    QVERIFY2(qAbs(lateness - (at[1] - at[0] - 1000)) < 200,
             qPrintable(QStringLiteral("%1 after %2 ms").arg(lines[1]).arg(at[1] - at[0])));
}

QTEST_GUILESS_MAIN(tst_Uploads)
#include "tst_uploads.moc"

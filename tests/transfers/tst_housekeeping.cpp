// The half-minute housekeeping on the shared timer: uploads stuck in their set-up are ended,
// online users holding our queued downloads are asked again now and then, and neither goes
// by the wall clock. Also the timer diagnostic.

#include "UploadTestEnv.h"

#include <QElapsedTimer>
#include <QRegularExpression>

using namespace TransfersTypes;

namespace {

const std::string kFolder = "Music\\Album";
const QByteArray kPath = "Music\\Album\\a.mp3";
const QByteArray kQueue = Hex("2b000000 11000000 4d757369635c416c62756d5c612e6d7033");
const QByteArray kPlace = Hex("33000000 11000000 4d757369635c416c62756d5c612e6d7033");

// Moves the clock on and fires the half-minute tick.
void Tick(TransferTestEnv& env, qint64 seconds)
{
    Clock::Shift(seconds);
    env.env().fireHalfMinute();
}

// Reads what the peer got until a marker sent now arrives.
void Drain(FakePeer& peer)
{
    const QByteArray marker = FakePeer::U32(PM_NOTHING) + "drained";
    peerMessenger->SendMessage("bob", Message(PM_NOTHING, "drained"));
    for (QByteArray m = TransferTestEnv::NextMessage(peer); !m.isEmpty() && m != marker;
         m = TransferTestEnv::NextMessage(peer)) {
    }
}

} // namespace

class tst_Housekeeping : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void setUpTimesOut_data();
    void setUpTimesOut();
    void clockChangeAfterTheStamp_data();
    void clockChangeAfterTheStamp();
    void timeFromTheTextAlone_data();
    void timeFromTheTextAlone();
    void askedAgain_data();
    void askedAgain();
    void askedAgainAfterTenMinutes_data();
    void askedAgainAfterTenMinutes();
    void timerTest();
};

void tst_Housekeeping::setUpTimesOut_data()
{
    QTest::addColumn<QString>("second"); // the status of carol's upload, bob's is "requesting"
    QTest::addColumn<bool>("endsToo");
    QTest::newRow("requesting") << "requesting" << true;
    QTest::newRow("connecting") << "connecting" << true;
    QTest::newRow("waiting for offset") << "waiting for offset" << true;
    QTest::newRow("uploading") << "uploading" << false;
}

void tst_Housekeeping::setUpTimesOut()
{
    QFETCH(QString, second);
    QFETCH(bool, endsToo);
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    auto bob = env.ConnectPeer();
    auto carol = env.ConnectPeer("carol");
    QVERIFY(bob && carol);
    env.transfers().SetUploadSlots(2);
    for (const char* user : {"bob", "carol", "dave", "erin"}) {
        TransferTestEnv::SetOnline(user, true);
        env.Request(user, "a.mp3");
    }
    QVERIFY(!TransferTestEnv::NextMessage(*bob).isEmpty());
    QVERIFY(!TransferTestEnv::NextMessage(*carol).isEmpty());
    if (second != "requesting")
        env.transfers().SetUploadEntryStatus(UploadTestEnv::Upload("carol", "a.mp3"),
                                             second.toStdString());

    TransferLog log;
    Tick(env, 29);
    QVERIFY(log.lines.isEmpty());
    QCOMPARE(UploadTestEnv::StatusOf("bob", "a.mp3"), std::string("requesting"));
    QCOMPARE(QString::fromStdString(UploadTestEnv::StatusOf("carol", "a.mp3")), second);

    Tick(env, 1);
    QCOMPARE(UploadTestEnv::StatusOf("bob", "a.mp3"), std::string("aborted"));
    QCOMPARE(TransferTestEnv::NextMessage(*bob), UploadTestEnv::UploadFailed(kPath));
    QStringList expected{"Upload of a.mp3 to bob timed out in requesting phase, aborting",
                         "Upload of a.mp3 to bob aborted, sending upload failed notification."};
    if (endsToo) {
        expected << "Upload of a.mp3 to carol timed out in " + second + " phase, aborting"
                 << "Upload of a.mp3 to carol aborted, sending upload failed notification.";
        QCOMPARE(UploadTestEnv::StatusOf("carol", "a.mp3"), std::string("aborted"));
        QCOMPARE(TransferTestEnv::NextMessage(*carol), UploadTestEnv::UploadFailed(kPath));
    }
    QCOMPARE(log.lines, expected);
    // The freed slots go to the next in line in the same tick.
    QCOMPARE(UploadTestEnv::StatusOf("dave", "a.mp3"), std::string("requesting"));
    QCOMPARE(UploadTestEnv::StatusOf("erin", "a.mp3"),
             std::string(endsToo ? "requesting" : "queued"));
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
}

void tst_Housekeeping::clockChangeAfterTheStamp_data()
{
    QTest::addColumn<int>("moved"); // seconds the wall clock moved since the change
    QTest::newRow("an hour ahead") << 3600;
    QTest::newRow("an hour back") << -3600;
    QTest::newRow("a day back") << -86400;
}

void tst_Housekeeping::clockChangeAfterTheStamp()
{
    QFETCH(int, moved);
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    TransferTestEnv::SetOnline("bob", true);
    env.Request("bob", "a.mp3");
    ItemPtr upload = UploadTestEnv::Upload("bob", "a.mp3");
    QCOMPARE(UploadTestEnv::UploadStatus(upload), std::string("requesting"));
    PeerTestEnv::MoveWallClock(upload, LastStatusChangeTime, moved);

    Tick(env, 29);
    QCOMPARE(UploadTestEnv::UploadStatus(upload), std::string("requesting"));
    Tick(env, 1);
    QCOMPARE(UploadTestEnv::UploadStatus(upload), std::string("aborted"));
}

void tst_Housekeeping::timeFromTheTextAlone_data()
{
    QTest::addColumn<int>("age"); // of the stored text, in seconds; negative: in the future
    QTest::addColumn<bool>("ends");
    QTest::newRow("31 s old") << 31 << true;
    QTest::newRow("10 s old") << 10 << false;
    QTest::newRow("an hour ahead") << -3600 << false;
}

void tst_Housekeeping::timeFromTheTextAlone()
{
    QFETCH(int, age);
    QFETCH(bool, ends);
    UploadTestEnv env;
    UploadTestEnv::ShareAlbum({"a.mp3"});
    // An upload whose time nobody stamped in this run: only the text tells its age.
    ItemPtr upload = d.GetType(UploadEntry)->NewItem();
    upload += ServerStore::User("bob");
    upload += UploadTestEnv::SharedFile("Music/Album/a.mp3");
    upload += d.GetType(FilenameAsRequested)->GetItem(Value(kPath.toStdString()));
    upload += d.GetType(UploadEntryStatus)->GetItem(Value("requesting"));
    upload += d.GetType(LastStatusChangeTime)
                  ->GetItem(Value(Clock::Now().addSecs(-age).toString(Qt::TextDate).toStdString()));
    Tick(env, 0);
    QCOMPARE(UploadTestEnv::UploadStatus(upload), std::string(ends ? "aborted" : "requesting"));
}

void tst_Housekeeping::askedAgain_data()
{
    QTest::addColumn<bool>("online");
    QTest::addColumn<QString>("other"); // the status of bob's other download
    QTest::addColumn<bool>("asked");
    QTest::newRow("online, never asked") << true << "complete" << true;
    QTest::newRow("offline") << false << "complete" << false;
    QTest::newRow("one download downloading") << true << "downloading" << false;
}

void tst_Housekeeping::askedAgain()
{
    QFETCH(bool, online);
    QFETCH(QString, other);
    QFETCH(bool, asked);
    UploadTestEnv env;
    auto bob = env.ConnectPeer();
    QVERIFY(bob);
    TransferTestEnv::Entry("bob", kFolder, "a.mp3", 1000, 0, "queued", 1);
    TransferTestEnv::Entry("bob", kFolder, "b.mp3", 1000, 0, other.toLatin1().constData(), 2);
    if (online)
        ServerStore::SetFlag(ServerStore::User("bob"), ServerTypes::IsOnline);
    // Coming online asked already; the housekeeping asks those that nobody asked.
    ServerStore::User("bob").Disconnect(LastQueueRequestTime);
    Drain(*bob);

    Tick(env, 30);
    if (asked) {
        QCOMPARE(TransferTestEnv::NextMessage(*bob), kQueue);
        QCOMPARE(TransferTestEnv::NextMessage(*bob), kPlace);
        QVERIFY(PeerTestEnv::IsStoredNow(ServerStore::User("bob"), LastQueueRequestTime));
    }
    QVERIFY(TransferTestEnv::NothingMoreSent(*bob));
}

void tst_Housekeeping::askedAgainAfterTenMinutes_data()
{
    QTest::addColumn<int>("moved"); // seconds the wall clock moved after the last request
    QTest::newRow("clock steady") << 0;
    QTest::newRow("clock an hour ahead") << 3600;
    QTest::newRow("clock an hour back") << -3600;
}

void tst_Housekeeping::askedAgainAfterTenMinutes()
{
    QFETCH(int, moved);
    UploadTestEnv env;
    TransferTestEnv::Entry("bob", kFolder, "a.mp3");
    TransferTestEnv::SetOnline("bob", true);
    ItemPtr bob = ServerStore::User("bob");
    QVERIFY(PeerTestEnv::IsStoredNow(bob, LastQueueRequestTime));
    PeerTestEnv::MoveWallClock(bob, LastQueueRequestTime, moved);

    // Minutes without a word close the messaging connection; what counts is that bob is asked,
    // which the log tells.
    TransferLog log;
    Tick(env, 9 * 60);
    QVERIFY(log.lines.isEmpty());
    Tick(env, 60);
    QCOMPARE(log.lines.value(0), QString("Requeueing downloads from user bob"));
    QVERIFY(PeerTestEnv::IsStoredNow(bob, LastQueueRequestTime));
    // Asked now, the next time is ten minutes from now.
    log.lines.clear();
    Tick(env, 30);
    QVERIFY(log.lines.isEmpty());
}

void tst_Housekeeping::timerTest()
{
    UploadTestEnv env;
    // Each line with the moment it came.
    QElapsedTimer clock;
    clock.start();
    QStringList lines;
    QList<qint64> at;
    const auto connection = QObject::connect(
        LogHub::Instance(), &LogHub::LineLogged, [&](const QString& category, const QString& l) {
            if (category == QLatin1String("Timer Test")) {
                lines << l.mid(l.indexOf(QLatin1String("] ")) + 2);
                at << clock.elapsed();
            }
        });
    env.transfers().StartTimerTest();
    QTRY_VERIFY_WITH_TIMEOUT(lines.size() >= 2, TransferTestEnv::kWaitMs);
    QObject::disconnect(connection);

    const QRegularExpression line(
        QStringLiteral("^Timeout: (-?\\d+) milliseconds behind schedule$"));
    for (const QString& l : lines)
        QVERIFY2(line.match(l).hasMatch(), qPrintable(l));
    // Measured from the tick before, however late that one came.
    const qint64 lateness = line.match(lines[1]).captured(1).toLongLong();
    QVERIFY2(qAbs(lateness - (at[1] - at[0] - 1000)) < 200,
             qPrintable(QStringLiteral("%1 after %2 ms").arg(lines[1]).arg(at[1] - at[0])));
}

QTEST_GUILESS_MAIN(tst_Housekeeping)
#include "tst_housekeeping.moc"

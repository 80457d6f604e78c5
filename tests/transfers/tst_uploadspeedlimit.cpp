// The upload speed limit in the engine: the settings its setters write, the split of the cap
// over the uploads that hold a slot, what switching it off and on does to the shared pool, and
// the fresh rate measurement of the active uploads.

#include "TransferTestEnv.h"

#include <QDateTime>

using namespace TransfersTypes;

namespace {

ItemPtr Upload(const std::string& user, const char* status)
{
    ItemPtr entry = d.GetType(UploadEntry)->NewItem();
    entry += ServerStore::User(user);
    entry += d.GetType(UploadEntryStatus)->GetItem(Value(status));
    return entry;
}

} // namespace

class TestUploadSpeedLimit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { m_env = std::make_unique<TransferTestEnv>(); }
    void cleanup() { m_env.reset(); }

    void split_data();
    void split();
    void offKeepsThePoolOnAndChangesEmptyIt_data();
    void offKeepsThePoolOnAndChangesEmptyIt();
    void settingsAndTheLoad();
    void activeUploadsMeasureTheirRateAfresh();

private:
    TransferQueueManager& transfers() { return m_env->transfers(); }
    std::unique_ptr<TransferTestEnv> m_env;
};

void TestUploadSpeedLimit::split_data()
{
    QTest::addColumn<int>("cap");
    QTest::addColumn<QStringList>("statuses");
    QTest::addColumn<int>("share");
    const QStringList ten(10, QStringLiteral("uploading"));
    QTest::newRow("5 over 10: 1 each, not 0") << 5 << ten << 1;
    QTest::newRow("10 over 3: 3 each") << 10 << QStringList(3, QStringLiteral("uploading")) << 3;
    // An upload still asking its peer holds a slot, and so a share.
    QTest::newRow("requesting lowers the share of uploading")
        << 10 << QStringList{"uploading", "requesting"} << 5;
    QTest::newRow("every active status counts")
        << 12 << QStringList{"uploading", "requesting", "connecting", "waiting for offset"} << 3;
    QTest::newRow("the others do not")
        << 12 << QStringList{"uploading", "queued", "complete", "aborted", "denied", "local error"}
        << 12;
    QTest::newRow("no upload at all") << 12 << QStringList() << 12;
}

void TestUploadSpeedLimit::split()
{
    QFETCH(int, cap);
    QFETCH(QStringList, statuses);
    QFETCH(int, share);
    int n = 0;
    for (const QString& status : statuses)
        Upload("user" + std::to_string(n++), status.toLatin1().constData());
    transfers().EnableUploadSpeedLimit(true);
    transfers().SetUploadSpeedLimit(cap);
    QCOMPARE(transfers().GetUploadSpeed(), cap);
    QCOMPARE(transfers().uploadLimits().PerUploadLimit(), share);
}

void TestUploadSpeedLimit::offKeepsThePoolOnAndChangesEmptyIt_data()
{
    // cap: the value set, or -1 to switch the limit off instead.
    QTest::addColumn<int>("cap");
    QTest::addColumn<int>("inForce");
    QTest::addColumn<bool>("emptied");
    QTest::newRow("switched off") << -1 << 0 << false;
    QTest::newRow("set to 0") << 0 << 0 << false;
    QTest::newRow("set below 0") << -5 << 0 << false;
    QTest::newRow("changed") << 200 << 200 << true;
    QTest::newRow("set again to the same") << 100 << 100 << true;
}

void TestUploadSpeedLimit::offKeepsThePoolOnAndChangesEmptyIt()
{
    QFETCH(int, cap);
    QFETCH(int, inForce);
    QFETCH(bool, emptied);
    Upload("bob", TransferStatus::Uploading);
    transfers().SetUploadSpeedLimit(100);
    transfers().EnableUploadSpeedLimit(true);
    transfers().uploadLimits().AddToPool(5000);

    if (cap == -1)
        transfers().EnableUploadSpeedLimit(false);
    else
        transfers().SetUploadSpeedLimit(cap);
    QCOMPARE(transfers().GetUploadSpeed(), inForce);
    QCOMPARE(transfers().uploadLimits().PerUploadLimit(), inForce);
    QCOMPARE(transfers().uploadLimits().SurplusPool(), emptied ? qint64(0) : qint64(5000));
    // Switched on again, the pool starts from nothing.
    transfers().SetUploadSpeedLimit(100);
    transfers().EnableUploadSpeedLimit(true);
    QCOMPARE(transfers().uploadLimits().SurplusPool(), qint64(0));
}

void TestUploadSpeedLimit::settingsAndTheLoad()
{
    transfers().SetUploadSpeedLimit(64);
    QCOMPARE(Settings::Text(SettingKeys::UploadSpeedLimit), std::string("64"));
    QCOMPARE(Settings::Text(SettingKeys::UploadSpeedLimitEnabled), std::string("no"));
    QCOMPARE(transfers().GetUploadSpeed(), 0);
    transfers().EnableUploadSpeedLimit(true);
    QCOMPARE(Settings::Text(SettingKeys::UploadSpeedLimitEnabled), std::string("yes"));
    QCOMPARE(transfers().GetUploadSpeed(), 64);

    // Saved settings take effect once the store is loaded, not before.
    m_env.reset();
    m_env = std::make_unique<TransferTestEnv>();
    Settings::SetNumber(SettingKeys::UploadSpeedLimit, 30);
    Settings::SetYes(SettingKeys::UploadSpeedLimitEnabled, true);
    Upload("bob", TransferStatus::Uploading);
    Upload("carol", TransferStatus::Connecting);
    QCOMPARE(transfers().GetUploadSpeed(), 0);
    transfers().DataLoaded();
    QCOMPARE(transfers().GetUploadSpeed(), 30);
    QCOMPARE(transfers().uploadLimits().PerUploadLimit(), 15);
}

void TestUploadSpeedLimit::activeUploadsMeasureTheirRateAfresh()
{
    const QDateTime long_ago = QDateTime::currentDateTime().addSecs(-3600);
    ItemPtr active = Upload("bob", TransferStatus::Uploading);
    ItemPtr queued = Upload("carol", TransferStatus::Queued);
    for (ItemPtr entry : {active, queued}) {
        TransferQueueManager::AttachObject(entry, LastSpeedMeasurementTime,
                                           new QDateTime(long_ago));
        TransferQueueManager::AttachObject(entry, BytesSinceLastReceipt, new qint64(123456));
    }
    transfers().SetUploadSpeedLimit(50);
    transfers().EnableUploadSpeedLimit(true);
    QVERIFY(qAbs(active[LastSpeedMeasurementTime].AsPointer<QDateTime>()->secsTo(Clock::Now())) <=
            1);
    QCOMPARE(*active[BytesSinceLastReceipt].AsPointer<qint64>(), qint64(0));
    QCOMPARE(*queued[LastSpeedMeasurementTime].AsPointer<QDateTime>(), long_ago);
    QCOMPARE(*queued[BytesSinceLastReceipt].AsPointer<qint64>(), qint64(123456));
}

QTEST_GUILESS_MAIN(TestUploadSpeedLimit)
#include "tst_uploadspeedlimit.moc"

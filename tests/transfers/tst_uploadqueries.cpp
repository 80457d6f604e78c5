// What a search reply asks of the uploads: whether a slot is free, and how many wait.

#include "TransferTestEnv.h"

using namespace TransfersTypes;

class tst_UploadQueries : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void slotsAndQueue_data();
    void slotsAndQueue();
};

void tst_UploadQueries::slotsAndQueue_data()
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

void tst_UploadQueries::slotsAndQueue()
{
    QFETCH(QByteArray, uploadSlots);
    QFETCH(QStringList, uploads);
    QFETCH(bool, free);
    QFETCH(int, queued);

    TransferTestEnv env;
    if (uploadSlots.isEmpty())
        Settings::RemoveKey(SettingKeys::UploadSlots);
    else
        Settings::Set(SettingKeys::UploadSlots, uploadSlots.toStdString());
    for (const QString& status : uploads) {
        ItemPtr upload = d.GetType(UploadEntry)->NewItem();
        upload += d.GetType(UploadEntryStatus)->GetItem(Value(status.toStdString()));
    }
    const size_t items = d.ItemCount();

    QCOMPARE(env.transfers().IsFreeToUpload(), free);
    QCOMPARE(env.transfers().QueuedUploadCount(), queued);
    QCOMPARE(d.ItemCount(), items);
}

QTEST_GUILESS_MAIN(tst_UploadQueries)
#include "tst_uploadqueries.moc"

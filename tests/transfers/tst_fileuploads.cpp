// File connections through the whole engine, on the uploading side: bob asks for
// Music\Album\a.mp3, we offer it with token 7 and he allows it, so the engine asks for a file
// connection; a fake downloader takes it, gets the token, names its start offset and receives
// the rest of the file. Success, the rate reported to the server, an offset that leaves nothing
// to send, a downloader that never names one, and a connection that no upload waits for.

#include "UploadTestEnv.h"

#include "FileBytes.h"
#include "transfers/TransferWorkers.h"

#include <QtEndian>

#include <vector>

using namespace FileBytes;
using namespace TransfersTypes;

namespace {

constexpr quint32 kToken = 7;

// Whether the fake server got a message with that code among those pending.
bool ServerGot(FakeServer& server, quint32 code, QByteArray* rest)
{
    for (qint64 got; (got = server.nextMessage(rest, 1000)) >= 0;) {
        if (got == code)
            return true;
    }
    return false;
}

} // namespace

class TestFileUploads : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void uploadFromTheOffset_data();
    void uploadFromTheOffset();
    void rateGoesToTheServerForFilesAboveOneMebibyte_data();
    void rateGoesToTheServerForFilesAboveOneMebibyte();
    void downloaderWithoutAnOffsetAborts();
    void connectionWithoutAnUploadIsClosed();

private:
    // a.mp3 of these bytes, shared, asked for by bob, offered to him with token 7 and allowed:
    // its file is open, and the engine asks for the file connection, which bob's listener
    // takes.
    ItemPtr Connecting(const QByteArray& content);
    // bob's side of the file connection: it got our opening frame and the token.
    bool TakeConnection();
    // Messages that reached bob over his messaging connection since the last look, codes only.
    std::vector<quint32> MessagesToBob();

    std::unique_ptr<UploadTestEnv> m_env;
    std::unique_ptr<FakePeer> m_messaging;
    std::unique_ptr<FakePeer> m_listener;
};

void TestFileUploads::init()
{
    TransferIo::SetWaitMsForTesting(0);
    m_env = std::make_unique<UploadTestEnv>();
    PeerTestEnv::SetSetting("username", "alice");
    m_messaging = m_env->ConnectPeer("bob");
    m_listener = std::make_unique<FakePeer>();
    ItemPtr bob = ServerStore::User("bob");
    bob += d.GetType("user_address")->GetItem(Value(unsigned(0x7f000001)));
    bob += d.GetType("user_port")->GetItem(Value(int(m_listener->Listen())));
    TransferTestEnv::SetOnline("bob", true);
}

void TestFileUploads::cleanup()
{
    m_listener.reset();
    m_messaging.reset();
    m_env.reset();
    TransferIo::SetWaitMsForTesting(0);
}

ItemPtr TestFileUploads::Connecting(const QByteArray& content)
{
    QFile file(QDir::current().filePath(QStringLiteral("Music/Album/a.mp3")));
    QDir().mkpath(QFileInfo(file).path());
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return ItemPtr();
    file.close();
    UploadTestEnv::Share();
    Settings::SetNumber(SettingKeys::TransferReqCounter, kToken);
    m_env->Request("bob", "a.mp3");
    ItemPtr upload = UploadTestEnv::Upload("bob", "a.mp3");
    if (MessagesToBob() != std::vector<quint32>{PM_TRANSFER_REQUEST})
        return ItemPtr();
    // Bob allows it: the engine opens the file and asks for a file connection.
    m_env->Deliver(*m_messaging, WireWriter().u32(PM_TRANSFER_RESPONSE).u32(kToken).u8(1));
    return upload[UploadFile] ? upload : ItemPtr();
}

bool TestFileUploads::TakeConnection()
{
    QByteArray frame;
    QByteArray token;
    return m_listener->WaitForConnection(TransferTestEnv::kWaitMs) &&
           m_listener->WaitForFrame(&frame, TransferTestEnv::kWaitMs) &&
           frame == FakePeer::InitBody("alice", "F") &&
           m_listener->WaitForRaw(4, &token, TransferTestEnv::kWaitMs) &&
           token.toHex() == "07000000";
}

std::vector<quint32> TestFileUploads::MessagesToBob()
{
    // A marker sent now arrives after everything sent before it.
    std::vector<quint32> codes;
    peerMessenger->SendMessage("bob", Message(PM_NOTHING, "marker"));
    for (QByteArray m; !(m = TransferTestEnv::NextMessage(*m_messaging)).isEmpty();) {
        const quint32 code = qFromLittleEndian<quint32>(m.constData());
        if (code == PM_NOTHING)
            break;
        codes.push_back(code);
    }
    return codes;
}

void TestFileUploads::uploadFromTheOffset_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("offset");
    QTest::newRow("after the offset 1000") << qint64(3 * 8192 + 5) << qint64(1000);
    QTest::newRow("from the start") << qint64(20000) << qint64(0);
    // Nothing to send is no failure: no abort notice, and the upload is done.
    QTest::newRow("zero-byte file") << qint64(0) << qint64(0);
    QTest::newRow("downloader holds it all") << qint64(1000) << qint64(1000);
}

void TestFileUploads::uploadFromTheOffset()
{
    QFETCH(qint64, size);
    QFETCH(qint64, offset);
    const QByteArray content = Pattern(size, 11);
    std::vector<qint64> positions;
    connect(&m_env->transfers(), &TransferQueueManager::UploadProgressed, this,
            [&positions](ItemPtr e) { positions.push_back(*e[ReadPosition].AsPointer<qint64>()); });
    ItemPtr upload = Connecting(content);
    QVERIFY(upload);
    QVERIFY(TakeConnection());
    QCOMPARE(UploadTestEnv::UploadStatus(upload), std::string(TransferStatus::Uploading));

    m_listener->SendRaw(Le64(offset));
    QByteArray got;
    QVERIFY(m_listener->WaitForRaw(size - offset, &got, TransferTestEnv::kWaitMs));
    QCOMPARE(got, content.mid(offset));
    // The uploader waits for the downloader to close.
    QCOMPARE(UploadTestEnv::UploadStatus(upload), std::string(TransferStatus::Uploading));
    m_listener->Close();
    QTRY_COMPARE_WITH_TIMEOUT(UploadTestEnv::UploadStatus(upload),
                              std::string(TransferStatus::Complete), TransferTestEnv::kWaitMs);
    QVERIFY(m_listener->Pending().isEmpty());
    QVERIFY(MessagesToBob().empty());
    if (size > 0)
        QCOMPARE(positions.back(), size);
    for (const char* type : {TransfersTypes::UploadThread, UploadSocket, UploadFile, ReadPosition})
        QVERIFY2(!upload[type], type);
}

void TestFileUploads::rateGoesToTheServerForFilesAboveOneMebibyte_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("sent");
    QTest::newRow("exactly 1 MiB") << qint64(1048576) << false;
    QTest::newRow("one byte more") << qint64(1048577) << true;
}

void TestFileUploads::rateGoesToTheServerForFilesAboveOneMebibyte()
{
    QFETCH(qint64, size);
    QFETCH(bool, sent);
    QVERIFY(m_env->env().logIn());
    TransferLog log;
    ItemPtr upload = Connecting(Pattern(size, 11));
    QVERIFY(upload);
    QVERIFY(TakeConnection());
    m_listener->SendRaw(Le64(0));
    QByteArray got;
    QVERIFY(m_listener->WaitForRaw(size, &got, TransferTestEnv::kWaitMs));
    m_listener->Close();
    QTRY_COMPARE_WITH_TIMEOUT(UploadTestEnv::UploadStatus(upload),
                              std::string(TransferStatus::Complete), TransferTestEnv::kWaitMs);

    const QStringList recorded = log.lines.filter(QStringLiteral("Recording upload speed of "));
    QCOMPARE(recorded.size(), 1);
    const int rate = recorded.at(0).section(QLatin1Char(' '), -1).toInt();
    QByteArray rest;
    QCOMPARE(ServerGot(m_env->env().fake(), 121, &rest), sent);
    if (sent) {
        QVERIFY(rate > 0);
        QCOMPARE(rest.toHex(), FakePeer::U32(quint32(rate)).toHex());
    }
}

void TestFileUploads::downloaderWithoutAnOffsetAborts()
{
    TransferIo::SetWaitMsForTesting(200);
    ItemPtr upload = Connecting(Pattern(5000, 12));
    QVERIFY(upload);
    QVERIFY(TakeConnection());
    QTRY_COMPARE_WITH_TIMEOUT(UploadTestEnv::UploadStatus(upload),
                              std::string(TransferStatus::Aborted), TransferTestEnv::kWaitMs);
    // The downloader hears that it failed, and asks again.
    QCOMPARE(MessagesToBob(), std::vector<quint32>{PM_UPLOAD_FAILED});
    QVERIFY(m_listener->WaitForDisconnected(TransferTestEnv::kWaitMs));
}

void TestFileUploads::connectionWithoutAnUploadIsClosed()
{
    peerMessenger->RequestFileConnectionToUser("bob");
    QByteArray frame;
    QVERIFY(m_listener->WaitForConnection(TransferTestEnv::kWaitMs));
    QVERIFY(m_listener->WaitForFrame(&frame, TransferTestEnv::kWaitMs));
    QVERIFY(m_listener->WaitForDisconnected(TransferTestEnv::kWaitMs));
    QVERIFY(m_listener->Pending().isEmpty());
}

QTEST_GUILESS_MAIN(TestFileUploads)
#include "tst_fileuploads.moc"

// How folder contents replies share the link: judged by what the peers acknowledge against their
// share of what all replies carry, the room of one far below its share given to those waiting
// and its request answered later, a connection kept while a reply leaves the host, and room let
// go as soon as a reply has left this process. Readers are plain sockets from loopback addresses
// of their own that read only when told, so that what they are sent waits in the system's
// buffers; time moves on the test clock.

#include "SharesTestEnv.h"

#include "peer/PeerMessages.h"
#include "shares/ShareMessages.h"

#include <QRandomGenerator>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

constexpr qint64 kStepS = 5; // of the test clock, between two reads
const char* const kBig = "\\data\\Big";

// A folder of files whose names are random letters: its reply compresses about as little as a
// real one, and at 4,000 files stays in our queue for many reads.
void BigFolder(ItemPtr root, const std::string& path, int files)
{
    ItemPtr folder = SharesTestEnv::Folder(root, path);
    QRandomGenerator random(75);
    for (int k = 0; k < files; ++k) {
        std::string name(200, 'a');
        for (char& c : name)
            c = char('a' + random.bounded(26));
        ItemPtr file = d.GetType("shared_file")->NewItem();
        file += folder;
        file += d.GetType("shared_file_name")->GetItem(Value(name));
        file += d.GetType("shared_file_size")->GetItem(Value(k));
    }
}

QByteArray Ask(const QByteArray& folder, quint32 token = 9)
{
    return FakePeer::Frame(WireWriter().u32(PM_GET_SHARED_FILES_IN_FOLDER).u32(token).str(folder));
}

// A peer on a plain socket with a receive buffer of its own, introduced as user from address.
class Reader
{
public:
    Reader(const QByteArray& user, quint32 address, int receiveBuffer, quint16 port)
        : m_user(user.toStdString()), m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(address);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = htons(port);
        m_open = ::connect(m_fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
                 Send(FakePeer::Frame(FakePeer::InitBody(user, "P")));
    }
    ~Reader() { ::close(m_fd); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool Send(const QByteArray& bytes)
    {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    // Reads all the system holds for it; false once the connection is closed.
    bool Drain()
    {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                continue;
            m_open = m_open && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            return m_open;
        }
    }
    bool IsOpen() { return Drain(); }
    const std::string& User() const { return m_user; }
    // Our side of its connection, once the manager has it.
    QTcpSocket* Ours() const
    {
        return StoreFixture::User(m_user)["peer_socket"].AsPointer<QTcpSocket>();
    }

private:
    std::string m_user;
    int m_fd;
    bool m_open = false;
};

// Until what has left the host for every reader stands still for a few turns.
void Settle(const std::vector<std::unique_ptr<Reader>>& readers)
{
    qint64 last = -1;
    for (int still = 0, turns = 0; still < 3 && turns < 200; ++turns) {
        QTest::qWait(10);
        qint64 now = 0;
        for (const auto& r : readers)
            now += peerMessenger->BytesDepartedTo(r->User());
        still = now == last ? still + 1 : 0;
        last = now;
    }
}

struct Pace
{
    int buffer;    // the reader's receive buffer
    int readEvery; // steps between two reads of all it holds
};
constexpr Pace kSteady{32768, 1};
constexpr Pace kTrickle{2048, 4}; // a small window, read every 20 s: never unread for long

} // namespace

class tst_FolderReplyPace : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void replyKeepsPaceWithItsShare_data();
    void replyKeepsPaceWithItsShare();
    void replyGoingOutKeepsItsConnection_data();
    void replyGoingOutKeepsItsConnection();
    void roomFreedOnceWritten();
};

void tst_FolderReplyPace::initTestCase()
{
    RaiseDescriptorLimit();
}

void tst_FolderReplyPace::replyKeepsPaceWithItsShare_data()
{
    QTest::addColumn<int>("trickling"); // how many of the 16 readers trickle: the first or last
    QTest::addColumn<bool>("oldest");   // whether the trickler asked first
    QTest::addColumn<bool>("waiting");  // whether another user asks once all 16 are sent
    QTest::addColumn<bool>("cut");
    QTest::newRow("all at one slow pace") << 16 << true << true << false;
    QTest::newRow("one far below its share, another waiting") << 1 << false << true << true;
    QTest::newRow("the oldest far below its share") << 1 << true << true << false;
    QTest::newRow("one far below its share, nobody waiting") << 1 << false << false << false;
}

void tst_FolderReplyPace::replyKeepsPaceWithItsShare()
{
    QFETCH(int, trickling);
    QFETCH(bool, oldest);
    QFETCH(bool, waiting);
    QFETCH(bool, cut);
    SharesTestEnv env;
    BigFolder(SharesTestEnv::Root("/data/Big"), "/data/Big", 4000);
    LogLines shared("Shared");
    PeerLog log;
    const quint16 port = env.env().peer().ListeningPort();
    // 16 readers from four addresses, each at its part; the trickler listens for us too.
    const int most = FolderReplies::kMaxRepliesUnderWay;
    const int trickler = oldest ? 0 : most - 1;
    StoreFixture::SetSetting("username", "alice");
    FakePeer tricklerHome;
    std::vector<std::unique_ptr<Reader>> readers;
    std::vector<Pace> paces;
    for (int k = 0; k < most; ++k) {
        const bool trickles = oldest ? k < trickling : k >= most - trickling;
        const quint32 address =
            0x7f000102 + quint32(k / FolderReplies::kMaxRepliesUnderWayPerAddress);
        const QByteArray user = "reader" + QByteArray::number(k);
        paces.push_back(trickles ? kTrickle : kSteady);
        readers.push_back(std::make_unique<Reader>(user, address, paces.back().buffer, port));
        QTRY_VERIFY(readers.back()->Ours());
        readers.back()->Ours()->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
        if (k == trickler)
            GiveAddress(user.toStdString(), address, tricklerHome.Listen(QHostAddress(address)));
        QVERIFY(readers.back()->Send(Ask(kBig)));
        QTRY_COMPARE(sharedFoldersManager->FolderReplyLoadForTesting().underWay, k + 1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(sharedFoldersManager->FolderReplyLoadForTesting().beingMade == 0,
                             60000);
    std::unique_ptr<Reader> other;
    if (waiting) {
        other = std::make_unique<Reader>("other", 0x7f000201, kSteady.buffer, port);
        QVERIFY(other->Send(Ask(kBig)));
        QTRY_COMPARE(sharedFoldersManager->FolderReplyLoadForTesting().held, 1);
    }
    const auto cuts = [&shared] { return shared.lines.filter("closing the connection").size(); };
    // Three windows of the clock: the replies sent at once are judged from the second on.
    for (qint64 s = kStepS; s <= 3 * FolderReplies::kReplyRateWindowMs / 1000; s += kStepS) {
        Clock::Shift(kStepS);
        for (size_t k = 0; k < readers.size(); ++k) {
            if (s / kStepS % paces[k].readEvery == 0)
                readers[k]->Drain();
        }
        Settle(readers);
        sharedFoldersManager->FolderReplyRetryTimerForTesting()->Fire();
    }
    QCOMPARE(cuts(), cut ? 1 : 0);
    for (size_t k = 0; k < readers.size(); ++k)
        QCOMPARE(readers[k]->IsOpen(), !cut || int(k) != trickler);
    if (!cut)
        return;
    // The one waiting took the trickler's room, and the trickler's request waits its turn in
    // its place: once a steady reader's reply is out, it is answered without being asked
    // again, on a connection of ours.
    QVERIFY(log.Has("Send PM_SHARED_FILES_IN_FOLDER message to user other"));
    QElapsedTimer reading;
    reading.start();
    while (!tricklerHome.AcceptedCount() && reading.elapsed() < 60000) {
        readers.front()->Drain();
        QTest::qWait(5);
    }
    QCOMPARE(tricklerHome.AcceptedCount(), 1);
    QByteArray frame;
    QVERIFY(tricklerHome.WaitForFrame(&frame));
    QCOMPARE(frame, FakePeer::InitBody("alice", "P"));
    QVERIFY(tricklerHome.WaitForFrame(&frame, 60000));
    QCOMPARE(frame.left(4), FakePeer::U32(PM_SHARED_FILES_IN_FOLDER));
}

void tst_FolderReplyPace::replyGoingOutKeepsItsConnection_data()
{
    QTest::addColumn<bool>("asks");
    QTest::addColumn<bool>("reads");
    QTest::addColumn<bool>("kept"); // after 150 s without a message from the reader
    QTest::newRow("a reply going out") << true << true << true;
    QTest::newRow("a reply not read") << true << false << false;
    QTest::newRow("nothing going out") << false << true << false;
}

void tst_FolderReplyPace::replyGoingOutKeepsItsConnection()
{
    QFETCH(bool, asks);
    QFETCH(bool, reads);
    QFETCH(bool, kept);
    SharesTestEnv env;
    BigFolder(SharesTestEnv::Root("/data/Big"), "/data/Big", 4000);
    std::vector<std::unique_ptr<Reader>> readers;
    readers.push_back(std::make_unique<Reader>("slow", 0x7f000102, kSteady.buffer,
                                               env.env().peer().ListeningPort()));
    Reader& reader = *readers.front();
    QTRY_VERIFY(reader.Ours());
    reader.Ours()->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
    if (asks) {
        QVERIFY(reader.Send(Ask(kBig)));
        QTRY_COMPARE_WITH_TIMEOUT(sharedFoldersManager->FolderReplyLoadForTesting().underWay -
                                      sharedFoldersManager->FolderReplyLoadForTesting().beingMade,
                                  1, 60000);
    }
    Settle(readers);
    // The reader says nothing for five sweeps, reading (or not) between them.
    for (int sweep = 0; sweep < 5; ++sweep) {
        Clock::Shift(30);
        if (reads)
            reader.Drain();
        Settle(readers);
        env.env().fireHalfMinute();
    }
    QCOMPARE(bool(reader.Ours()), kept);
    QCOMPARE(reader.IsOpen(), kept);
}

void tst_FolderReplyPace::roomFreedOnceWritten()
{
    // 16 small folders asked for at once from one address: each reply's room goes to the next
    // as soon as it is written, with no tick of the retry timer.
    SharesTestEnv env;
    ItemPtr root = SharesTestEnv::Root("/data/Music");
    QByteArray burst;
    for (int k = 0; k < FolderReplies::kMaxPendingPerPeer; ++k) {
        const std::string folder = "/data/Music/" + std::to_string(k);
        SharesTestEnv::AddFile(root, folder, "a.mp3", k);
        burst += Ask(QByteArray::fromStdString(folder).replace('/', '\\'), quint32(k));
    }
    QObject::disconnect(sharedFoldersManager->FolderReplyRetryTimerForTesting(),
                        &SharedTimer::timeout, nullptr, nullptr);
    auto peer = env.env().DialMessaging(false);
    QVERIFY(peer);
    peer->SendRaw(burst);
    QByteArray frame;
    for (int k = 0; k < FolderReplies::kMaxPendingPerPeer; ++k) {
        QVERIFY2(peer->WaitForFrame(&frame), qPrintable(QString::number(k)));
        QCOMPARE(frame.left(4), FakePeer::U32(PM_SHARED_FILES_IN_FOLDER));
    }
}

QTEST_GUILESS_MAIN(tst_FolderReplyPace)
#include "tst_folderreplypace.moc"

#include "support/PeerBodies.h"
#include "transfers/TransferTestEnv.h"

#include <QTcpServer>

#include <map>
#include <set>

// A party of 16 addresses with 16 names each floods one way a peer connection is opened or taken,
// 20 honest peers connected before. Whatever the way, the budget holds, those peers stay, our
// browse connects and an honest peer connecting in is taken.

namespace {

using Holder = PeerMessenger::Holder;
constexpr quint32 kHonest = 0x7f000101; // 127.0.1.1 on: one address each
constexpr quint32 kParty = 0x7f000201;  // 127.0.2.1 on
constexpr quint32 kSeller = 0x7f000301;
constexpr int kHonestPeers = 20;

QByteArray Name(int n)
{
    return "evil" + QByteArray::number(n);
}

QByteArray ShareList() // of one empty folder
{
    const QByteArray list = WireWriter().u32(1).str("\\m").u32(0).u32(2).u32(0).bytes();
    return FakePeer::Frame(WireWriter().u32(PM_SHARED_FILE_LIST).raw(Zlib(list)).bytes());
}

// The party's sockets: a port on each of its addresses that takes whatever we open, and the
// connections it opens to us. It refuses each upload we offer at once, so that the next follows,
// and notes the addresses asked to queue a download and the connections asked for a share list.
class Party : public QObject
{
public:
    Party(quint32 first, int addresses) : m_first(first)
    {
        for (int i = 0; i < addresses; ++i) {
            auto* server = new QTcpServer(this);
            server->setMaxPendingConnections(4096);
            server->listen(QHostAddress(first + quint32(i)), 0);
            connect(server, &QTcpServer::newConnection, this, [this, server] {
                while (QTcpSocket* s = server->nextPendingConnection())
                    Watch(s);
            });
            m_servers.push_back(server);
        }
    }
    quint32 Address(int n) const { return m_first + quint32(n % m_servers.size()); }
    quint16 Port(int n) const { return m_servers[size_t(n) % m_servers.size()]->serverPort(); }
    QTcpSocket* Dial(quint16 port, int n, const QByteArray& frames)
    {
        auto* s = new QTcpSocket(this);
        s->bind(QHostAddress(Address(n)));
        s->connectToHost(QHostAddress::LocalHost, port);
        s->write(frames); // goes once connected
        Watch(s);
        return s;
    }
    std::set<quint32> asked;
    std::vector<QTcpSocket*> browsed;

private:
    void Watch(QTcpSocket* s)
    {
        connect(s, &QTcpSocket::readyRead, this, [this, s] {
            QByteArray& in = m_in[s];
            in += s->readAll();
            while (in.size() >= 4 && in.size() >= 4 + qFromLittleEndian<quint32>(in.constData())) {
                const QByteArray body = in.mid(4, qFromLittleEndian<quint32>(in.constData()));
                in.remove(0, body.size() + 4);
                WireReader r(body);
                const quint32 code = r.u32();
                if (code == PM_QUEUE_UPLOAD)
                    asked.insert(s->localAddress().toIPv4Address());
                if (code == PM_GET_SHARED_FILE_LIST)
                    browsed.emplace_back(s);
                if (code == PM_TRANSFER_REQUEST && r.u32() == 1)
                    s->write(frameOf(Msg::Refused(r.u32(), "Cancelled")));
            }
        });
    }

    quint32 m_first;
    std::vector<QTcpServer*> m_servers;
    std::map<QTcpSocket*, QByteArray> m_in;
};

enum Way
{
    Accepted,          // introduced as the type, or silent
    AcceptedAndSilent, // messaging connections, and silent ones beside them
    Pierces,           // answers to relayed requests we sent to deliver search results
    Answers,           // search results dialled
    Offers,            // a public file queued and left, our offer dialled and refused
    OffersPierced,     // the same, each offer answered through a relayed request
    RelayedRequests,
    Browses,
    RepeatedOffers, // one download offered again and again, the budget full
    NameOffers,     // a connection a second under the name of one download, each offering it
    BobTwice,       // bob browsed and queued from, then his second connection, then introduced
    BobFails, // bob browsed, a connection a second under his name, each saying his upload failed
};

struct Row
{
    const char* name;
    Way way;
    const char* type; // of the connections opened; empty: silent
    bool scrambled;
    int names;
    int addresses;
    bool full; // the budget is full once the party is done
    int honestPerAddress = 1;
};

const Row kRows[] = {
    {"introduced", Accepted, "P", false, 256, 16, true},
    {"introduced, scrambled port", Accepted, "P", true, 256, 16, true},
    {"silent", Accepted, "", false, 256, 16, false},
    {"silent, scrambled port", Accepted, "", true, 256, 16, false},
    {"introduced, then silent", AcceptedAndSilent, "P", false, 256, 16, true},
    {"file connections without a token", Accepted, "F", false, 256, 16, false},
    {"tree connections", Accepted, "D", false, 256, 16, false},
    {"pierces", Pierces, "P", false, 256, 16, false},
    {"search results", Answers, "P", false, 256, 16, false},
    {"upload offers", Offers, "P", false, 256, 16, false},
    {"upload offers pierced, 600 names at one address", OffersPierced, "P", false, 600, 1, false},
    {"relayed requests, P", RelayedRequests, "P", false, 256, 16, false},
    {"relayed requests, F", RelayedRequests, "F", false, 256, 16, false},
    {"relayed requests, D", RelayedRequests, "D", false, 256, 16, false},
    {"browses of ours", Browses, "P", false, 256, 16, true},
    {"one download offered 64 times", RepeatedOffers, "P", false, 256, 16, true},
    {"a download's name offering, honest one to an address", NameOffers, "P", false, 236, 16, true},
    {"a download's name offering, honest two to an address", NameOffers, "P", false, 236, 16, true,
     2},
    {"bob browsed, then his own second connection", BobTwice, "P", false, 256, 16, true},
    {"bob browsed, his upload failed on each new connection under his name", BobFails, "P", false,
     32, 16, false},
};

} // namespace

class tst_ConnectionBudget : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { RaiseDescriptorLimit(); }
    void partyFloodsOnePath_data() { AddRows(kRows); }
    void partyFloodsOnePath();
    void ourBurstsWaitForRoom_data();
    void ourBurstsWaitForRoom();
};

void tst_ConnectionBudget::partyFloodsOnePath()
{
    const Row& row = CurrentRow(kRows);
    const QByteArray type = row.type;
    const Way path = row.way;
    TransferTestEnv::Options options;
    options.distributedNetwork = type == "D";
    TransferTestEnv t(options);
    PeerTestEnv& env = t.env();
    PeerMessenger& peer = env.peer();
    QVERIFY(env.logIn());
    std::vector<std::unique_ptr<FakePeer>> honest;
    for (int k = 0; k < kHonestPeers; ++k)
        QVERIFY(honest.emplace_back(
            DialMessaging(peer, false, "honest" + QByteArray::number(k),
                          QHostAddress(kHonest + quint32(k / row.honestPerAddress)))));
    Party party(kParty, row.addresses);
    PeerLog log;
    const quint16 port = row.scrambled ? peer.ObfuscatedListeningPort() : peer.ListeningPort();
    const auto frame = [&row](const QByteArray& body) {
        return row.scrambled ? FakePeer::ScrambledFrame(body, 7) : FakePeer::Frame(body);
    };
    // The relayed requests the fake server got are answered by the party, one at a time: a
    // burst from one address would be refused before it pierced.
    const auto pierce = [&] {
        QByteArray rest;
        while (env.fake().pendingFrames() > 0) {
            if (env.fake().nextMessage(&rest, 0) != 18)
                continue;
            const quint32 token = WireReader(rest).u32();
            QTcpSocket* s = party.Dial(port, int(token), frame(FakePeer::PierceBody(token)));
            QVERIFY(QTest::qWaitFor([s] {
                return s->state() == QAbstractSocket::UnconnectedState ||
                       HoldsSocketOf(s->localPort(), "peer_socket");
            }));
        }
    };
    // Until the count of connections held stays the same for half a second (a minute at most).
    const auto settle = [&] {
        for (int held = -1, still = 0, turns = 0; still < 10 && turns < 1200; ++turns) {
            pierce();
            QTest::qWait(50);
            const int now = peer.HeldCount();
            still = now == held ? still + 1 : 0;
            held = now;
        }
    };
    const QByteArray file = AlbumPath("a.mp3");
    if (path == Offers || path == OffersPierced) {
        t.ShareAlbum({"a.mp3"});
        t.transfers().SetUploadSlots(16);
    }
    // A seller of ours, connected before the party came.
    Party sellers(kSeller, 1);
    QTcpSocket* seller = nullptr;
    if (path == RepeatedOffers) {
        TransferTestEnv::Entry("seller", "Music\\Album", "a.mp3", 100);
        GiveAddress("seller", kSeller, sellers.Port(0));
        seller = sellers.Dial(peer.ListeningPort(), 0,
                              FakePeer::Frame(FakePeer::InitBody("seller", "P")));
        QTRY_VERIFY(HoldsSocketOf(seller->localPort(), "peer_socket"));
    }
    if (path == NameOffers) {
        // Our user queues the download from the party's name: that connection is ours.
        TransferTestEnv::Entry("seller", "Music\\Album", "a.mp3", 100);
        GiveAddress("seller", party.Address(0), party.Port(0));
        peer.QueueDownload("seller", file.toStdString());
        QTRY_COMPARE(peer.HeldCount(Holder::Ours), 1);
    }
    // Bob's list is due on the connection we dialled, where our requests to him go.
    FakePeer bob;
    std::unique_ptr<FakePeer> again;
    QSignalSpy shares(&peer, &PeerMessenger::UserShare);
    if (path >= BobTwice) {
        GiveAddress("bob", 0x7f000001, bob.Listen());
        peer.GetUserSharedFiles("bob");
        QVERIFY(bob.WaitForConnection());
        TransferTestEnv::Entry("bob", "Music\\Album", "a.mp3", 100);
        Clock::Shift(1);
        QVERIFY(path != BobTwice || (again = DialMessaging(peer, false, "bob")));
        TransferTestEnv::SetOnline("bob");
    }
    // The party keeps every connection it holds talking: none is idle for long.
    std::vector<QTcpSocket*> offering;
    const auto talk = [&offering] {
        for (QTcpSocket* s : offering) {
            if (s->state() == QAbstractSocket::ConnectedState)
                s->write(FakePeer::Frame(FakePeer::U32(PM_NOTHING)));
        }
    };
    QSignalSpy queued(&peer, &PeerMessenger::QueueUploadRequested);
    for (int n = 0; n < row.names; ++n) {
        const std::string name = Name(n).toStdString();
        if (path != Pierces && path != OffersPierced && path != NameOffers && path != BobFails)
            GiveAddress(name, party.Address(n), party.Port(n));
        switch (path) {
        case NameOffers:
            Clock::Shift(1);
            if (n % 10 == 0)
                talk();
            offering.push_back(party.Dial(port, n,
                                          FakePeer::Frame(FakePeer::InitBody("seller", "P")) +
                                              FakePeer::Frame(Msg::Offer(quint32(n), file, 100))));
            break;
        case BobFails:
            Clock::Shift(1);
            party.Dial(port, n,
                       FakePeer::Frame(FakePeer::InitBody("bob", "P")) +
                           FakePeer::Frame(Msg::Failed(file)));
            break;
        case AcceptedAndSilent:
            if (n % 2 == 0)
                party.Dial(port, n, QByteArray());
            [[fallthrough]];
        case Accepted:
        case RepeatedOffers:
        case BobTwice:
            party.Dial(port, n,
                       type.isEmpty() ? QByteArray() : frame(FakePeer::InitBody(Name(n), type)));
            break;
        case Pierces:
        case Answers:
            peer.SendMessage(name, Message(PM_FILE_SEARCH_RESULT));
            break;
        case Offers:
        case OffersPierced:
            party.Dial(port, n, frame(FakePeer::InitBody(Name(n), "P")) + frame(Msg::Queue(file)))
                ->disconnectFromHost();
            QTRY_COMPARE(queued.count(), n + 1);
            break;
        case RelayedRequests:
            env.fake().sendMessage(
                18, RelayedRequest(Name(n), type, party.Port(n), n, 0, party.Address(n)));
            break;
        case Browses:
            peer.GetUserSharedFiles(name);
            break;
        }
        QCoreApplication::processEvents();
    }
    // Every name has queued and left when it comes online: each offer is dialled.
    for (int n = 0; n < queued.count(); ++n)
        TransferTestEnv::SetOnline(Name(n).toStdString());
    settle();
    if (path == RepeatedOffers) {
        for (quint32 k = 1; k <= 64; ++k) {
            seller->write(FakePeer::Frame(Msg::Offer(k, file, 100)));
            env.fake().sendMessage(
                18, RelayedRequest("seller", "F", sellers.Port(0), 1000 + k, 0, kSeller));
            QTest::qWait(20);
        }
        settle();
        // Its messaging connection and one file connection are ours, the rest the seller's.
        QVERIFY(peer.HeldCount(Holder::Ours) <= 2);
    }
    // The budget holds: in all, with one address, at peers' requests.
    std::map<quint32, int> fromAddress;
    for (Item* i : d.GetType("peer_socket")->GetItems())
        ++fromAddress[ItemPtr(i).AsPointer<QTcpSocket>()->peerAddress().toIPv4Address()];
    for (const auto& [address, count] : fromAddress)
        QVERIFY2(count <= PeerMessenger::kMaxPeerSocketsPerAddress,
                 qPrintable(QHostAddress(address).toString()));
    QVERIFY(peer.HeldCount() <= PeerMessenger::kMaxPeerSockets);
    // Answering offers makes no connection ours: the one our user queued on may be, alone.
    QVERIFY(path != NameOffers || peer.HeldCount(Holder::Ours) <= 1);
    QVERIFY(peer.HeldCount(Holder::AtPeersRequest) <= PeerMessenger::kMaxPeerSocketsAtPeersRequest);
    QCOMPARE(peer.HeldCount() == PeerMessenger::kMaxPeerSockets, row.full);

    // A browse of another user connects, making room when there is none, and says so.
    FakePeer carol;
    GiveAddress("carol", 0x7f000001, carol.Listen());
    peer.GetUserSharedFiles("carol");
    // Not while our browses waiting for their lists fill the budget: it waits its turn.
    QCOMPARE(carol.WaitForConnection(path == Browses ? 500 : 5000), path != Browses);
    // Our requests went to bob, at first and on each failure the party told; his list comes.
    int asked = 0;
    for (QByteArray body; path >= BobTwice && bob.WaitForFrame(&body, 50);)
        asked += body.startsWith(FakePeer::U32(PM_QUEUE_UPLOAD)) ? 1 : 0;
    QCOMPARE(asked, path >= BobTwice ? 1 + row.names * (path == BobFails) : 0);
    bob.SendRaw(ShareList());
    QTRY_COMPARE(shares.count(), path >= BobTwice ? 1 : 0);
    // An honest peer connecting in is taken, and none that came before went; our own
    // connections make room for it once idle a while, those waiting for a list once it is
    // overdue, and with them our browses that waited.
    Clock::Shift(PeerMessenger::kIdleBeforeMakingRoomMs / 1000);
    if (path == Browses) {
        QVERIFY(!DialMessaging(peer, false, "early", QHostAddress(kHonest + 99)));
        Clock::Shift((PeerMessenger::kReplyDueMs - PeerMessenger::kIdleBeforeMakingRoomMs) / 1000);
    }
    talk();
    settle();
    std::vector<std::unique_ptr<FakePeer>> newcomers(path == NameOffers ? 15 : 1);
    for (quint32 k = 0; k < newcomers.size(); ++k)
        QVERIFY(newcomers[k] = DialMessaging(peer, false, "newcomer" + QByteArray::number(k),
                                             QHostAddress(kHonest + kHonestPeers + k)));
    for (const auto& h : honest)
        QVERIFY(h->IsConnected());
    if (path == Browses)
        QVERIFY(carol.WaitForConnection());
    QCOMPARE(log.lines.filter("to make room for a connection to user carol").size(),
             row.full ? 1 : 0);
}

// Our user queues a download from each of 300 users at once, browses pending or none: every user
// is asked and every list comes; asked again not at the next tick, but ten minutes on, spread.
void tst_ConnectionBudget::ourBurstsWaitForRoom_data()
{
    QTest::addColumn<int>("browses");
    QTest::newRow("300 downloads from 300 users") << 0;
    QTest::newRow("20 browses pending, then 300 downloads") << 20;
}

void tst_ConnectionBudget::ourBurstsWaitForRoom()
{
    QFETCH(int, browses);
    TransferTestEnv t;
    QVERIFY(t.env().logIn());
    Party users(kParty, browses + 300);
    QSignalSpy shares(&t.env().peer(), &PeerMessenger::UserShare);
    for (int n = 0; n < browses + 300; ++n) {
        const std::string name = Name(n).toStdString();
        GiveAddress(name, users.Address(n), users.Port(n));
        if (n < browses) {
            t.env().peer().GetUserSharedFiles(name);
            continue;
        }
        QTRY_COMPARE(int(users.browsed.size()), browses);
        TransferTestEnv::SetOnline(name);
        t.transfers().AddDownload(name, "a.mp3", "Music\\Album", 100, 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(int(users.asked.size()), 300, 20000);
    for (QTcpSocket* s : users.browsed)
        s->write(ShareList());
    QTRY_COMPARE(shares.count(), browses);
    TransferLog log;
    t.Tick(30);
    QCOMPARE(log.lines.filter("Requeueing downloads from user").size(), 0);
    // Ten minutes on, a tenth at most a tick, none twice, all within the next ten.
    users.asked.clear();
    for (int tick = 0, asked = 0; tick < 20; ++tick, log.lines.clear()) {
        t.Tick(tick ? 30 : 570);
        const int now = int(log.lines.filter("Requeueing downloads from user").size());
        QVERIFY2(now * 10 <= 300, qPrintable(QString::number(now)));
        asked += now;
        QTRY_COMPARE(int(users.asked.size()), asked);
    }
    QCOMPARE(int(users.asked.size()), 300);
}

QTEST_GUILESS_MAIN(tst_ConnectionBudget)
#include "tst_connectionbudget.moc"

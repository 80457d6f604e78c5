// What other users get when they browse our shares: the share list (code 5) and one folder's
// contents (code 37), byte for byte, kept lists that follow the share, and the request path
// through a real messaging connection. Share lists received from other users, turned into trees
// of folders and files in the store, and removed again.

#include "SharesTestEnv.h"

#include "peer/PeerMessages.h"
#include "shares/ReceivedShares.h"
#include "shares/ShareMessages.h"
#include "store/TurnBudget.h"
#include "support/HeapUse.h"
#include "support/MemStreamBytes.h"
#include "support/PeerDial.h"

#include <QRandomGenerator>

namespace {

// \data\Music, and its two files as the share list writes them.
const QByteArray kMusic = Hex("0b000000 5c646174615c4d75736963");
const QByteArray kOgg = Hex("01 05000000 612e6f6767 0a00000000000000 00000000 00000000");
const QByteArray kMp3 = Hex("01 05000000 622e6d7033 1400000000000000 03000000 6d7033 02000000"
                            "00000000 c0000000 02000000 01000000");
// b.mp3 without its details, as folder contents carry it.
const QByteArray kMp3Bare = Hex("01 05000000 622e6d7033 1400000000000000 00000000 00000000");

// The store as a scan of /data/Music leaves it (no disk involved): a public root with a.ogg of
// 10 bytes and b.mp3 of 20 bytes, 192 kbit/s, variable rate. Eve is unshared.
struct Music
{
    Music()
    {
        root = SharesTestEnv::Root("/data/Music");
        ogg = File("a.ogg", 10);
        mp3 = File("b.mp3", 20);
        mp3 += d.GetType("bitrate")->GetItem(Value(192));
        mp3 += d.GetType("bitrate_mode")->GetItem(Value("vbr"));
        StoreFixture::User("eve").NewItem("unshared");
    }
    ItemPtr File(const std::string& name, qint64 size)
    {
        return SharesTestEnv::AddFile(root, "/data/Music", name, size);
    }

    SharesTestEnv env;
    ItemPtr root;
    ItemPtr ogg;
    ItemPtr mp3;
};

// A folder of files with random names of 200 bytes, sized by their order of making, and the
// body of its contents reply with that token, without the file of size leftOut.
QByteArray BigFolder(ItemPtr root, const std::string& path, int files, quint32 token,
                     int leftOut = -1)
{
    ItemPtr folder = SharesTestEnv::Folder(root, path);
    QRandomGenerator random(75);
    std::vector<std::pair<QByteArray, int>> named;
    for (int k = 0; k < files; ++k) {
        QByteArray name(200, 'a');
        for (char& c : name)
            c = char('a' + random.bounded(26));
        ItemPtr file = d.GetType("shared_file")->NewItem();
        file += folder;
        file += d.GetType("shared_file_name")->GetItem(Value(name.toStdString()));
        file += d.GetType("shared_file_size")->GetItem(Value(k));
        if (k != leftOut)
            named.emplace_back(name, k);
    }
    std::sort(named.begin(), named.end());
    WireWriter records;
    for (const auto& [name, size] : named)
        records.u8(1).str(name).u64(quint64(size)).u32(0).u32(0);
    QByteArray text = QByteArray::fromStdString(path).replace('/', '\\');
    const QByteArray echoed = WireWriter().str(text);
    return U32(token) + echoed + U32(1) + echoed + U32(quint32(named.size())) + records.bytes() +
           U32(0);
}

// A peer introduced as user from 127.0.<address + 1>.1, with a receive buffer of that many bytes
// when given; null when not taken.
std::unique_ptr<FakePeer> DialFrom(const QByteArray& user, int address, int buffer = 0)
{
    auto peer = std::make_unique<FakePeer>();
    const QHostAddress from(QStringLiteral("127.0.%1.1").arg(address + 1));
    if (!peer->ConnectTo(peerMessenger->ListeningPort(), 5000, from, buffer))
        return nullptr;
    peer->SendInit(user, "P");
    const quint16 port = peer->Socket()->localPort();
    const auto held = [&] {
        for (Item* item : d.GetType("peer_socket")->GetItems()) {
            const auto* socket = ItemPtr(item).AsPointer<QTcpSocket>();
            if (socket->peerPort() == port && socket->peerAddress() == from)
                return true;
        }
        return false;
    };
    return QTest::qWaitFor(held) ? std::move(peer) : nullptr;
}

// A peer that reads only what it is told to: its kernel buffer of that size does not grow.
void Stall(FakePeer& peer, int buffer)
{
    QObject::disconnect(peer.Socket(), &QTcpSocket::readyRead, nullptr, nullptr);
    peer.Socket()->setReadBufferSize(1);
    peer.Socket()->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, buffer);
}

// Has the stalled peer read amount of what we send it, or what there is; false when it waits
// for more in vain.
bool ReadSome(FakePeer& peer, const std::string& user, int amount)
{
    QTcpSocket* socket = peer.Socket();
    socket->setReadBufferSize(amount);
    const bool read = QTest::qWaitFor([&] {
        return socket->bytesAvailable() == amount || !peer.IsConnected() ||
               peerMessenger->BytesQueuedTo(user) == 0;
    });
    if (socket->isOpen()) {
        socket->read(amount);
        socket->setReadBufferSize(1);
    }
    return read;
}

QByteArray ShareList(const std::string& user)
{
    return Inflated(Contents(sharedFoldersManager->GetSharedFilesMessage(user)), 5);
}

// A received tree, one line per folder ("path", or "path < parent path", the parent marked when
// it is another user's) and per file ("path | name size", then its bitrate, length and mode when
// it has them), sorted.
QStringList Tree(const std::string& user)
{
    QStringList lines;
    ItemPtr share = StoreFixture::User(user)["user_share"];
    const auto name = [](ItemPtr item, const char* type) {
        return QString::fromStdString(item[type].AsString());
    };
    for (Item* f : share.GetItems("user_share_folder")) {
        ItemPtr folder(f);
        const QString path = name(folder, "user_share_folder_name");
        ItemPtr parent =
            folder["user_share_folder_parent"]["user_share_folder_child"]["user_share_folder"];
        if (!parent)
            lines << path;
        else
            lines << path + " < " + name(parent, "user_share_folder_name") +
                         (parent["user_share"] == share ? "" : " of another user");
        for (Item* i : folder.GetItems("user_share_file")) {
            ItemPtr file(i);
            QString line =
                path + " | " + name(file, "user_share_file_name") + ' ' + name(file, "file_size");
            for (const char* detail : {"bitrate", "length_seconds", "bitrate_mode"}) {
                if (file[detail])
                    line += ' ' + name(file, detail);
            }
            lines << line;
        }
    }
    lines.sort();
    return lines;
}

// Music with more: a nested root, a subfolder whose name gives the key of another (a
// backslash), folders with no files and with many, MP3 details; the folders' keys in order:
// \data\Music, \data\Music\Live, \data\Music\a, \data\Music\a (again), \data\Music\z,
// \data\Other.
void AddFolders(Music& music, int manyFiles)
{
    SharesTestEnv::Folder(music.root, "/data/Music/Live");
    music.File("x\\y.MP3", 2);
    SharesTestEnv::AddFile(music.root, "/data/Music/a", "one.mp3", 3) +=
        d.GetType("bitrate")->GetItem(Value(128));
    SharesTestEnv::AddFile(music.root, "/data/Music\\a", "two.ogg", 4);
    for (int k = 0; k < manyFiles; ++k)
        SharesTestEnv::AddFile(music.root, "/data/Music/z", "track " + std::to_string(k), k);
    ItemPtr other = SharesTestEnv::Root("/data/Other");
    SharesTestEnv::AddFile(other, "/data/Other", "same.txt", 5);
    SharesTestEnv::AddFile(other, "/data/Other", "same.txt", 5);
}

// Shapes past AddFolders' few folders: 1, more keys than a step reads, made in an order unlike
// theirs (sorted runs merged over several passes), a key of folders made last among them; 2, a
// chain of 600 folders; 3, the same names everywhere: a folder under a nested root too, one name
// and size under one key with other MP3 details (the first is listed).
void AddShape(Music& music, int shape)
{
    const auto add = [&music](const std::string& folder, const std::string& name, qint64 size) {
        return SharesTestEnv::AddFile(music.root, folder, name, size);
    };
    for (int k = 0; k < 1300 && shape == 1; ++k)
        add("/data/Music/m" + std::to_string(k * 7919 % 1300), "f" + std::to_string(k % 7), k);
    for (int k = 0; k < 1300 && shape == 1; k += 97)
        add("/data/Music\\m" + std::to_string(k), "late", k);
    std::string path = "/data/Music/z";
    for (int k = 0; k < 600 && shape == 2; ++k)
        add(path += k % 3 ? "/d" : "/D d", "track.mp3", k % 5);
    if (shape == 3)
        SharesTestEnv::Folder(SharesTestEnv::Root("/data/Music/a"), "/data/Music/a");
    for (int k = 0; k < 700 && shape == 3; ++k) {
        const std::string r =
            (k < 600 ? "/data/Music/r" : "/data/Music\\r") + std::to_string(k % 60);
        add(r, "same.mp3", 5) += d.GetType("bitrate")->GetItem(Value(128 + k % 3));
        add(r, "same.mp3", k % 4);
    }
}

// The share list a request from the network gets, its writing crossing slices after every steps
// steps; the event loop runs until the reply is there.
QByteArray SlicedList(const std::string& user, int steps, const std::function<void()>& between)
{
    sharedFoldersManager->ResetForTesting(); // no kept list
    const TurnBudget::StepsForTesting slices(steps);
    QByteArray reply;
    bool replied = false;
    sharedFoldersManager->AnswerShareListRequest(user, [&](MemStream m) {
        reply = Contents(m);
        replied = true;
    });
    if (between && !replied)
        between();
    QElapsedTimer waited;
    waited.start();
    while (!replied && waited.elapsed() < 20000)
        QTest::qWait(5);
    return replied ? Inflated(reply, 5) : QByteArray("<no reply>");
}

FileInfoMap Folders(const QStringList& paths)
{
    FileInfoMap map;
    for (const QString& path : paths)
        map[path.toStdString()];
    return map;
}

} // namespace

class tst_ShareMessages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void shareList_data();
    void shareList();
    void shareListRequestFromPeers();
    void firstListFollowsChangesWhileCompressed();
    void listBeingCompressedWhenManagerGoes();
    void listWrittenInSlices_data();
    void listWrittenInSlices();
    void shareChangedBetweenSlices_data();
    void shareChangedBetweenSlices();
    void listBeingWrittenWhenManagerGoes();
    void folderContents_data();
    void folderContents();
    void folderRequestsFromOnePeer_data();
    void folderRequestsFromOnePeer();
    void folderRepliesKeepQueueUnderCap_data();
    void folderRepliesKeepQueueUnderCap();
    void bigFolderAnsweredOnce();
    void folderRepliesEndWithTheirUser_data();
    void folderRepliesEndWithTheirUser();
    void folderRepliesBoundedInAll_data();
    void folderRepliesBoundedInAll();
    void shareListRepliesBoundedInAll_data();
    void shareListRepliesBoundedInAll();
    void folderCopiedInSlices_data();
    void folderCopiedInSlices();
    void sharedFolderInfo_data();
    void sharedFolderInfo();
    void parentLinks_data();
    void parentLinks();
    void secondListWaitsForRemoval();
    void listFromPeerBuildsTree();
    void listBuiltInSlices_data();
    void listBuiltInSlices();
    void bigListTrimmedAfterRemoval_data();
    void bigListTrimmedAfterRemoval();
    void removalLeavesNothingToSweep_data();
    void removalLeavesNothingToSweep();
};

void tst_ShareMessages::shareList_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<int>("change"); // made once bob's list is built and kept
    QTest::addColumn<QByteArray>("body");
    const QByteArray music = U32(1) + kMusic + U32(2) + kOgg + kMp3 + U32(0);
    QTest::newRow("bob, who may see it") << QByteArray("bob") << 0 << music;
    QTest::newRow("never seen") << QByteArray("nobody") << 0 << music;
    QTest::newRow("unshared") << QByteArray("eve") << 0 << Hex("00000000 00000000");

    // The kept list follows each change.
    const QByteArray b256 = Hex("01 05000000 622e6d7033 1400000000000000 03000000 6d7033 02000000"
                                "00000000 00010000 02000000 00000000");
    const QByteArray a11 = Hex("01 05000000 612e6f6767 0b00000000000000 00000000 00000000");
    QTest::newRow("an MP3 result")
        << QByteArray("bob") << 1 << U32(1) + kMusic + U32(2) + kOgg + b256 + U32(0);
    QTest::newRow("access taken away") << QByteArray("bob") << 2 << Hex("00000000 00000000");
    QTest::newRow("a file removed")
        << QByteArray("bob") << 3 << U32(1) + kMusic + U32(1) + kMp3 + U32(0);
    QTest::newRow("a size changed")
        << QByteArray("bob") << 4 << U32(1) + kMusic + U32(2) + a11 + kMp3 + U32(0);
    // A visible folder without files is listed; keys and names go in byte order (B.mp3 before
    // a.mp3); a name holding a backslash goes out from after it; .MP3 is an MP3 too, details
    // or not.
    const QByteArray upper =
        Hex("01 05000000 422e6d7033 0100000000000000 03000000 6d7033 00000000");
    const QByteArray split =
        Hex("01 05000000 792e4d5033 0200000000000000 03000000 6d7033 00000000");
    const QByteArray live = Hex("10000000 5c646174615c4d757369635c4c697665");
    QTest::newRow("a subfolder and odd names")
        << QByteArray("bob") << 5
        << U32(2) + kMusic + U32(4) + upper + kOgg + kMp3 + split + live + U32(0) + U32(0);
}

void tst_ShareMessages::shareList()
{
    QFETCH(QByteArray, user);
    QFETCH(int, change);
    QFETCH(QByteArray, body);
    Music music;
    ShareList("bob");
    switch (change) {
    case 1:
        music.mp3 += d.GetType("bitrate")->GetItem(Value(256));
        music.mp3 += d.GetType("bitrate_mode")->GetItem(Value("cbr"));
        break;
    case 2:
        music.root.Disconnect("shared_public");
        break;
    case 3:
        music.ogg.Remove();
        break;
    case 4:
        music.ogg += d.GetType("shared_file_size")->GetItem(Value(11));
        break;
    case 5:
        SharesTestEnv::Folder(music.root, "/data/Music/Live");
        music.File("B.mp3", 1);
        music.File("x\\y.MP3", 2);
        break;
    }
    LogLines log("Shared");
    QCOMPARE(ShareList(user.toStdString()).toHex(), body.toHex());
    QVERIFY(log.Has("Shared file list requested by user " + user));
}

void tst_ShareMessages::shareListRequestFromPeers()
{
    Music music;
    const QByteArray expected = Contents(sharedFoldersManager->GetSharedFilesMessage("bob"));
    // A new file: the kept list is stale, so the requests below are built and compressed anew,
    // on a worker, and both peers get the list with the file.
    music.File("c.txt", 3);
    auto bob = music.env.env().DialMessaging(false);
    auto carol = music.env.env().DialMessaging(false, "carol");
    QVERIFY(bob && carol);
    bob->SendFrame(Hex("04000000"));
    carol->SendFrame(Hex("04000000"));
    QByteArray toBob;
    QByteArray toCarol;
    QVERIFY(bob->WaitForFrame(&toBob));
    QVERIFY(carol->WaitForFrame(&toCarol));
    QCOMPARE(toBob, toCarol);
    const QByteArray c = Hex("01 05000000 632e747874 0300000000000000 00000000 00000000");
    QCOMPARE(Inflated(toBob, 5).toHex(),
             (U32(1) + kMusic + U32(3) + kOgg + kMp3 + c + U32(0)).toHex());
    QVERIFY(toBob != expected);
}

void tst_ShareMessages::firstListFollowsChangesWhileCompressed()
{
    Music music;
    // The run's first list is built on a worker; a file added meanwhile makes it stale, so the
    // next request does not get it from the kept lists.
    QByteArray first;
    sharedFoldersManager->AnswerShareListRequest("bob",
                                                 [&first](MemStream m) { first = Contents(m); });
    music.File("c.txt", 3);
    QTRY_VERIFY(!first.isEmpty());
    QCOMPARE(Inflated(first, 5).toHex(), (U32(1) + kMusic + U32(2) + kOgg + kMp3 + U32(0)).toHex());
    const QByteArray c = Hex("01 05000000 632e747874 0300000000000000 00000000 00000000");
    QCOMPARE(ShareList("bob").toHex(),
             (U32(1) + kMusic + U32(3) + kOgg + kMp3 + c + U32(0)).toHex());
}

void tst_ShareMessages::listBeingCompressedWhenManagerGoes()
{
    auto music = std::make_unique<Music>();
    for (int i = 0; i < 5000; ++i)
        music->File("track " + std::to_string(i) + ".mp3", i);
    int replies = 0;
    sharedFoldersManager->AnswerShareListRequest("bob", [&replies](MemStream) { ++replies; });
    music.reset();
    QCoreApplication::processEvents();
    QCOMPARE(replies, 0);
}

void tst_ShareMessages::listWrittenInSlices_data()
{
    // Written a few steps at a time, the list is the one written in one go, byte for byte,
    // with the same line logged. The first step reads and sorts the keys of a small share.
    QTest::addColumn<int>("steps"); // per slice
    QTest::addColumn<int>("manyFiles");
    QTest::addColumn<int>("shape"); // AddShape's
    QTest::addColumn<QByteArray>("user");
    QTest::newRow("a step a slice") << 1 << 3 << 0 << QByteArray("bob");
    QTest::newRow("two steps a slice, a folder with many files")
        << 2 << 5000 << 0 << QByteArray("bob");
    QTest::newRow("keys shared by two folders across a slice") << 4 << 3 << 0 << QByteArray("bob");
    QTest::newRow("by time alone") << 0 << 3 << 0 << QByteArray("bob");
    QTest::newRow("nothing to see") << 1 << 3 << 0 << QByteArray("eve");
    QTest::newRow("many folders") << 1 << 3 << 1 << QByteArray("bob");
    QTest::newRow("many folders, by time alone") << 0 << 3 << 1 << QByteArray("bob");
    QTest::newRow("deep folders") << 3 << 3 << 2 << QByteArray("bob");
    QTest::newRow("repeated names") << 1 << 3 << 3 << QByteArray("bob");
}

void tst_ShareMessages::listWrittenInSlices()
{
    QFETCH(int, steps);
    QFETCH(int, manyFiles);
    QFETCH(int, shape);
    QFETCH(QByteArray, user);
    Music music;
    AddFolders(music, manyFiles);
    AddShape(music, shape);
    const std::string who = user.toStdString();
    QByteArray atOnce;
    QStringList atOnceLines;
    {
        LogLines log("Shared");
        atOnce = ShareList(who);
        atOnceLines = log.lines;
    }
    const int shapeKeys[] = {0, 1300, 600, 60};
    QVERIFY(atOnce.startsWith(user == "eve" ? U32(0) : U32(5 + shapeKeys[shape])));
    LogLines slicedLog("Shared");
    QCOMPARE(SlicedList(who, steps, nullptr).toHex(), atOnce.toHex());
    QCOMPARE(slicedLog.lines, atOnceLines);
}

void tst_ShareMessages::shareChangedBetweenSlices_data()
{
    // A change after the first slice, whose step read the keys and wrote the first folder: what
    // is listed by then stays as it was, what comes later is listed as it is by its turn, a
    // folder gone by then is left out (and not counted), and the list is not kept.
    QTest::addColumn<int>("change");
    QTest::addColumn<bool>("asAfter"); // the list as the share is after the change, else before
    QTest::newRow("a file added to a folder still to come") << 1 << true;
    QTest::newRow("a folder still to come removed") << 2 << true;
    QTest::newRow("a root still to come removed") << 3 << true;
    QTest::newRow("a file removed from the folder written") << 4 << false;
    // The roots are those the user could see when asking, as for a list kept for them.
    QTest::newRow("a root still to come unshared") << 5 << false;
    // The first folder, of 5,000 files, is read in several steps: it is read again.
    QTest::newRow("a file removed from the folder being read") << 6 << true;
}

void tst_ShareMessages::shareChangedBetweenSlices()
{
    QFETCH(int, change);
    QFETCH(bool, asAfter);
    Music music;
    AddFolders(music, 3);
    auto changeShare = [&] {
        switch (change) {
        case 1:
            SharesTestEnv::AddFile(music.root, "/data/Music/z", "new.mp3", 9);
            break;
        case 2: {
            d.GetType("shared_file_folder")->HasItem(Value("/data/Music/z")).Remove();
            // The next item made takes its id: a folder, but not of the share.
            d.GetType("shared_file_folder")->GetItem(Value("/elsewhere"));
            break;
        }
        case 3:
            d.GetType("shared_folder")->HasItem(Value("/data/Other")).Remove();
            break;
        case 4:
        case 6:
            music.ogg.Remove();
            break;
        case 5:
            d.GetType("shared_folder")->HasItem(Value("/data/Other")).Disconnect("shared_public");
            break;
        }
    };
    for (int k = 0; k < 5000 && change == 6; ++k)
        music.File("track " + std::to_string(k), k);
    const QByteArray before = ShareList("bob");
    const QByteArray sliced = SlicedList("bob", 1, changeShare);
    sharedFoldersManager->ResetForTesting();
    const QByteArray after = ShareList("bob");
    QVERIFY(before != after);
    QCOMPARE(sliced.toHex(), (asAfter ? after : before).toHex());
    // The next request gets the list as the share is now.
    QByteArray next;
    sharedFoldersManager->AnswerShareListRequest("bob",
                                                 [&next](MemStream m) { next = Contents(m); });
    QTRY_VERIFY(!next.isEmpty());
    QCOMPARE(Inflated(next, 5).toHex(), after.toHex());
}

void tst_ShareMessages::listBeingWrittenWhenManagerGoes()
{
    // A quit with slices still to come: nobody is replied to, and nothing is touched after.
    auto music = std::make_unique<Music>();
    AddFolders(*music, 3);
    const TurnBudget::StepsForTesting slices(1);
    int replies = 0;
    sharedFoldersManager->AnswerShareListRequest("bob", [&replies](MemStream) { ++replies; });
    music.reset();
    for (int k = 0; k < 20; ++k)
        QCoreApplication::processEvents();
    QCOMPARE(replies, 0);
}

void tst_ShareMessages::folderContents_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("body"); // empty: no reply
    const auto row = [](const char* name, const char* user, const char* folder,
                        const QByteArray& body) {
        QTest::newRow(name) << QByteArray(user) << QByteArray(folder) << body;
    };
    row("backslashes", "bob", "\\data\\Music",
        U32(7) + kMusic + U32(1) + kMusic + U32(2) + kOgg + kMp3Bare + U32(0));
    const QByteArray slashed = WireWriter().str("/data/Music");
    row("slashes echoed", "bob", "/data/Music",
        U32(7) + slashed + U32(1) + slashed + U32(2) + kOgg + kMp3Bare + U32(0));
    row("invisible to the user", "eve", "\\data\\Music", {});
    row("not shared", "bob", "\\data", {});
    row("another spelling", "bob", "\\data\\music", {});
}

void tst_ShareMessages::folderContents()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, body);
    Music music;
    PeerLog log;
    auto peer = music.env.env().DialMessaging(false, user);
    QVERIFY(peer);
    peer->SendFrame(WireWriter().u32(36).u32(7).str(folder));
    if (body.isEmpty()) {
        // Handled in one go: once the request shows in the log, a reply would have been sent.
        QTRY_VERIFY(log.Has("Received PM_GET_SHARED_FILES_IN_FOLDER message from user " + user));
        QVERIFY(!log.Has("Send PM_SHARED_FILES_IN_FOLDER message to user " + user));
        return;
    }
    QByteArray got;
    QVERIFY(peer->WaitForFrame(&got));
    QCOMPARE(Inflated(got, 37).toHex(), body.toHex());
}

void tst_ShareMessages::folderRequestsFromOnePeer_data()
{
    QTest::addColumn<bool>("sameFolder");
    QTest::addColumn<int>("replies");
    QTest::newRow("500 for one folder: one reply") << true << 1;
    QTest::newRow("500 for as many folders: the cap on pending replies")
        << false << PeerReplies::kMaxPendingPerPeer;
}

void tst_ShareMessages::folderRequestsFromOnePeer()
{
    QFETCH(bool, sameFolder);
    QFETCH(int, replies);
    Music music;
    for (int k = 0; k < 500; ++k)
        SharesTestEnv::Folder(music.root, "/data/Music/" + std::to_string(k));
    auto peer = music.env.env().DialMessaging(false);
    QVERIFY(peer);
    PeerLog log;
    LogLines shared("Shared");
    // With no tick of the retry timer: each reply's room goes to the next once it is written.
    QObject::disconnect(sharedFoldersManager->ReplyRetryTimerForTesting(), &SharedTimer::timeout,
                        nullptr, nullptr);
    const auto request = [](int k, bool same) {
        const QByteArray folder =
            same ? "\\data\\Music" : "\\data\\Music\\" + QByteArray::number(k);
        return FakePeer::Frame(WireWriter().u32(36).u32(quint32(k)).str(folder));
    };
    QByteArray burst;
    for (int k = 0; k < 500; ++k)
        burst += request(k, sameFolder);
    peer->SendRaw(burst);
    const QString sent = QStringLiteral("Send PM_SHARED_FILES_IN_FOLDER message to user bob");
    QTRY_COMPARE(log.lines.count(sent), replies);
    QCOMPARE(shared.lines.filter("not answering").size(), 500 - replies);

    // Exactly those replies reach the peer; once they have, the first request is answered again.
    QByteArray frame;
    for (int k = 0; k < replies; ++k) {
        QVERIFY(peer->WaitForFrame(&frame));
        QCOMPARE(frame.left(4), FakePeer::U32(37));
    }
    peer->SendRaw(request(0, sameFolder));
    QTRY_COMPARE(log.lines.count(sent), replies + 1);
}

void tst_ShareMessages::folderRepliesKeepQueueUnderCap_data()
{
    QTest::addColumn<qint64>("over"); // what would wait for carol with the reply, past the cap
    QTest::addColumn<bool>("answered");
    QTest::newRow("at the cap") << qint64(0) << true;
    QTest::newRow("one byte over: held") << qint64(1) << false;
}

void tst_ShareMessages::folderRepliesKeepQueueUnderCap()
{
    QFETCH(qint64, over);
    QFETCH(bool, answered);
    Music music;
    // Carol has no connection: what is sent to her waits, and her reply's body (as the folder
    // contents test has it) would come on top.
    const QByteArray contents = kMusic + U32(1) + kMusic + U32(2) + kOgg + kMp3Bare + U32(0);
    const qint64 body = (U32(7) + contents).size();
    const qint64 waiting = PeerReplies::kMaxQueuedBytesPerPeer - body + over;
    peerMessenger->SendMessage("carol", Message(PM_NOTHING, QByteArray(waiting - 4, 'w')));
    QCOMPARE(peerMessenger->BytesQueuedTo("carol"), waiting);
    LogLines log("Shared");
    sharedFoldersManager->OnFilesInFoldersRequested("carol", 7, "\\data\\Music");
    QCOMPARE(log.lines.size(), answered ? 0 : 1);
    QTRY_COMPARE(PeerTestEnv::Count("unsent_message"), size_t(answered ? 2 : 1));
    // A repeat is not made again, and what is made later answers it. Nothing is let go while
    // what waits for carol stays.
    sharedFoldersManager->OnFilesInFoldersRequested("carol", 8, "\\data\\Music");
    QCOMPARE(log.lines.size(), answered ? 1 : 2);
    sharedFoldersManager->ReplyRetryTimerForTesting()->Fire();
    QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(answered ? 2 : 1));

    // Carol comes and reads what waited; then her reply goes, held or not.
    auto carol = music.env.env().DialMessaging(false, "carol");
    QVERIFY(carol);
    QByteArray frame;
    QVERIFY(carol->WaitForFrame(&frame));
    QCOMPARE(frame.size(), waiting);
    QTRY_COMPARE(peerMessenger->BytesQueuedTo("carol"), qint64(0));
    QCOMPARE(sharedFoldersManager->ReplyRetryTimerForTesting()->isActive(), !answered);
    sharedFoldersManager->ReplyRetryTimerForTesting()->Fire();
    QVERIFY(carol->WaitForFrame(&frame));
    QCOMPARE(Inflated(frame, 37).toHex(), (U32(answered ? 7 : 8) + contents).toHex());
    QVERIFY(!sharedFoldersManager->ReplyRetryTimerForTesting()->isActive());
}

void tst_ShareMessages::bigFolderAnsweredOnce()
{
    // 100,000 files of 80-byte names: a reply past the cap on what may wait for a peer, which
    // goes when nothing else waits; the peer asks for it 500 times, then for a small folder.
    constexpr int kFiles = 100000;
    Music music;
    const std::string path = "/data/Everything";
    ItemPtr folder = SharesTestEnv::Folder(music.root, path);
    QByteArray records;
    for (int k = 0; k < kFiles; ++k) {
        const QByteArray name =
            QByteArray::number(k).rightJustified(8, '0') + QByteArray(68, 'n') + ".mp3";
        ItemPtr file = d.GetType("shared_file")->NewItem();
        file += folder;
        file += d.GetType("shared_file_name")->GetItem(Value(name.toStdString()));
        file += d.GetType("shared_file_size")->GetItem(Value(k));
        records += WireWriter().u8(1).str(name).u64(quint64(k)).u32(0).u32(0).bytes();
    }
    const QByteArray big = WireWriter().str("\\data\\Everything");
    const QByteArray expected = U32(0) + big + U32(1) + big + U32(kFiles) + records + U32(0);
    QVERIFY(expected.size() > PeerReplies::kMaxQueuedBytesPerPeer);

    auto peer = music.env.env().DialMessaging(false);
    QVERIFY(peer);
    PeerLog log;
    LogLines shared("Shared");
    QByteArray burst;
    for (int k = 0; k < 500; ++k)
        burst += FakePeer::Frame(WireWriter().u32(36).u32(quint32(k)).str("\\data\\Everything"));
    burst += FakePeer::Frame(WireWriter().u32(36).u32(500).str("\\data\\Music"));
    peer->SendRaw(burst);
    QByteArray frame;
    QVERIFY(peer->WaitForFrame(&frame, 60000));
    QCOMPARE(Inflated(frame, 37).size(), expected.size());
    QVERIFY(Inflated(frame, 37) == expected);
    // Each repeat was turned away at no cost, and the small folder waited for the big one.
    QCOMPARE(shared.lines.filter("again before the last reply was sent").size(), 499);
    QVERIFY(shared.Has("Too much waits to go to user bob; the contents of folder \\data\\Music "
                       "follow once it has gone"));
    sharedFoldersManager->ReplyRetryTimerForTesting()->Fire();
    QVERIFY(peer->WaitForFrame(&frame, 60000));
    QCOMPARE(Inflated(frame, 37).toHex(),
             (U32(500) + kMusic + U32(1) + kMusic + U32(2) + kOgg + kMp3Bare + U32(0)).toHex());
    QCOMPARE(log.lines.count("Send PM_SHARED_FILES_IN_FOLDER message to user bob"), 2);
}

void tst_ShareMessages::folderRepliesEndWithTheirUser_data()
{
    QTest::addColumn<bool>("leaves"); // once a reply of bob's is held
    QTest::newRow("reads every reply while more waits") << false;
    QTest::newRow("leaves while a reply is held") << true;
}

void tst_ShareMessages::folderRepliesEndWithTheirUser()
{
    QFETCH(bool, leaves);
    Music music;
    auto bob = music.env.env().DialMessaging(false);
    LogLines shared("Shared");
    PeerLog log;
    const int most = PeerReplies::kMaxPendingPerPeer;
    const auto ask = [&](int k) {
        SharesTestEnv::Folder(music.root, "/data/Music/" + std::to_string(k));
        bob->SendFrame(WireWriter().u32(36).u32(7).str("\\data\\Music\\" + QByteArray::number(k)));
    };
    for (int k = 0; k < most; ++k)
        ask(k);
    QByteArray frame;
    for (int k = 0; k < most; ++k)
        QVERIFY(bob->WaitForFrame(&frame));
    // Bob has read every reply, and stops reading: what is sent to him next stays queued.
    QObject::disconnect(bob->Socket(), &QTcpSocket::readyRead, bob.get(), nullptr);
    bob->Socket()->setReadBufferSize(1);
    peerMessenger->SendMessage("bob", Message(PM_NOTHING, QByteArray(30 << 20, 'w')));
    ask(most);
    QTRY_VERIFY2(shared.Has("Too much waits to go to user bob; the contents of folder "
                            "\\data\\Music\\16 follow once it has gone"),
                 qPrintable(shared.lines.join('\n')));
    if (leaves) {
        // Gone, he is owed nothing: no reply is made for him, no connection asked for.
        bob->Close();
        QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(0));
        sharedFoldersManager->ReplyRetryTimerForTesting()->Fire();
        QTest::qWait(100);
        QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(0));
        QVERIFY(!sharedFoldersManager->ReplyRetryTimerForTesting()->isActive());
    }
    QCOMPARE(log.lines.count("Send PM_SHARED_FILES_IN_FOLDER message to user bob"), most);
}

void tst_ShareMessages::folderRepliesBoundedInAll_data()
{
    QTest::addColumn<int>("cycles");     // peers that connect, ask and leave, one after another
    QTest::addColumn<int>("names");      // peers that ask once each and never read
    QTest::addColumn<int>("addresses");  // that those come from
    QTest::addColumn<int>("files");      // in the folder they ask for
    QTest::addColumn<bool>("slowLinks"); // the replies to those stay in this process
    QTest::addColumn<int>("reads");      // what each of those reads every so often of the clock
    QTest::addColumn<int>("every");      // seconds
    QTest::addColumn<int>("buffer");     // each one's receive buffer
    QTest::addColumn<bool>("cut");       // whether those give their slots to the honest
    QTest::addColumn<int>("answeredBy"); // seconds of the clock, while those read
    // The one of those that reads a sixteenth as much through a 4 KiB window (-1: none). With
    // one, those have an address each, where a request cut is answered later on a connection
    // of ours.
    QTest::addColumn<int>("trickler");
    QTest::newRow("300 cycles of asking and leaving")
        << 300 << 0 << 1 << 20000 << false << 0 << 10 << 65536 << false << 60 << -1;
    QTest::newRow("240 names from 16 addresses")
        << 0 << 240 << 16 << 20000 << false << 0 << 10 << 65536 << false << 60 << -1;
    QTest::newRow("unread replies on slow links")
        << 0 << 20 << 5 << 4000 << true << 0 << 10 << 65536 << true << 60 << -1;
    // 6.4 KB/s each, at one pace, each keeping its window shut between reads: while the honest
    // request waits, one gives way, whatever the pace; from one address they hold only its part.
    QTest::newRow("slow readers at one address")
        << 0 << 16 << 1 << 4000 << true << 65536 << 10 << 65536 << false << 60 << -1;
    QTest::newRow("slow readers at 16 addresses")
        << 0 << 16 << 16 << 4000 << true << 65536 << 10 << 65536 << true << 60 << -1;
    QTest::newRow("a slow reader, nobody waiting")
        << 0 << 1 << 1 << 4000 << true << 65536 << 10 << 65536 << false << 60 << -1;
    QTest::newRow("one far below its share at 16 addresses")
        << 0 << 16 << 16 << 4000 << true << 65536 << 10 << 65536 << true << 60 << 15;
    QTest::newRow("the oldest far below its share")
        << 0 << 16 << 16 << 4000 << true << 65536 << 10 << 65536 << true << 60 << 0;
    QTest::newRow("one far below its share, nobody waiting")
        << 0 << 2 << 2 << 4000 << true << 65536 << 10 << 65536 << false << 60 << 1;
    // Parties all reading at one pace through small windows, the honest one asking for the same
    // 20,000 files.
    QTest::newRow("4 addresses x 4 names, 8 KB every 20 s")
        << 0 << 16 << 4 << 20000 << true << 8192 << 20 << 4096 << true << 60 << -1;
    QTest::newRow("16 addresses x 1 name, 8 KB every 20 s")
        << 0 << 16 << 16 << 20000 << true << 8192 << 20 << 4096 << true << 60 << -1;
    QTest::newRow("4 addresses x 4 names, 64 KB every 10 s")
        << 0 << 16 << 4 << 20000 << true << 65536 << 10 << 4096 << true << 60 << -1;
    QTest::newRow("16 addresses x 1 name, 64 KB every 10 s")
        << 0 << 16 << 16 << 20000 << true << 65536 << 10 << 4096 << true << 60 << -1;
}

void tst_ShareMessages::folderRepliesBoundedInAll()
{
    QFETCH(int, cycles);
    QFETCH(int, names);
    QFETCH(int, addresses);
    QFETCH(int, files);
    QFETCH(bool, slowLinks);
    QFETCH(int, reads);
    QFETCH(int, every);
    QFETCH(int, buffer);
    QFETCH(bool, cut);
    QFETCH(int, answeredBy);
    QFETCH(int, trickler);
    // What the client may come to hold for a folder of 20,000 files of 200-byte names.
    constexpr qint64 kMaxGrowth = qint64(256) * 1024 * 1024;
    Music music;
    const QByteArray expected = BigFolder(music.root, "/data/Big", files, 9);
    PeerLog log;
    LogLines shared("Shared");
    const auto received = [&log](const QByteArray& user) {
        return log.lines.count("Received PM_GET_SHARED_FILES_IN_FOLDER message from user " + user);
    };
    const auto ask = [&](FakePeer& peer, const QByteArray& user) {
        peer.SendFrame(WireWriter().u32(36).u32(9).str("\\data\\Big"));
        return QTest::qWaitFor([&] { return received(user) > 0; });
    };
    auto honest = DialFrom("honest", 200);
    QVERIFY(honest);
    const qint64 base = HeapInUse();
    // What all users together hold stays within the bounds, and the memory with it.
    const auto within = [base, kMaxGrowth] {
        const PeerReplies::Totals load = sharedFoldersManager->ReplyLoadForTesting();
        return load.held <= PeerReplies::kMaxHeldRequests &&
               load.beingMade <= PeerReplies::kMaxRepliesBeingMade &&
               load.underWay <= PeerReplies::kMaxRepliesUnderWay &&
               load.bytesWaitingToGo <= SendBudget::kMaxBytes && HeapInUse() - base < kMaxGrowth;
    };
    const auto growth = [base] { return QByteArray::number(HeapInUse() - base); };
    for (int k = 0; k < cycles; ++k) {
        auto peer = DialFrom("cycler", 0);
        QVERIFY(peer && ask(*peer, "cycler"));
        peer->Close();
        QTRY_COMPARE(PeerTestEnv::Count("peer_socket"), size_t(1));
        QVERIFY2(within(), growth().constData());
        log.lines.clear();
    }
    std::vector<std::unique_ptr<FakePeer>> silent;
    FakePeer home; // where those are reached
    const int homePort = trickler >= 0 ? home.Listen() : 0;
    for (int k = 0; k < names; ++k) {
        const QByteArray user = "silent" + QByteArray::number(k);
        const int window = k == trickler ? 4096 : buffer;
        silent.push_back(DialFrom(user, 1 + k % addresses, window));
        QVERIFY(silent.back());
        Stall(*silent.back(), window);
        auto* ours = StoreFixture::User(user.toStdString())["peer_socket"].AsPointer<QTcpSocket>();
        if (trickler >= 0)
            GiveAddress(user.toStdString(), 0x7f000001, homePort);
        if (slowLinks)
            ours->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
    }
    for (int k = 0; k < names; ++k)
        silent[size_t(k)]->SendFrame(WireWriter().u32(36).u32(9).str("\\data\\Big"));
    for (int k = 0; k < names; ++k)
        QTRY_COMPARE(received("silent" + QByteArray::number(k)), 1);
    QVERIFY2(within(), growth().constData());
    // Every reply that may go is sent before the honest user asks, and then the honest one.
    const auto made = [] { return sharedFoldersManager->ReplyLoadForTesting().beingMade; };
    QTRY_VERIFY_WITH_TIMEOUT(!slowLinks || made() == 0, 60000);
    QVERIFY(ask(*honest, "honest"));
    QTRY_VERIFY_WITH_TIMEOUT(!slowLinks || made() == 0, 60000);
    const auto cuts = [&shared] { return shared.lines.filter("closing the connection").size(); };
    const QString sent = QStringLiteral("Send PM_SHARED_FILES_IN_FOLDER message to user honest");
    // A request cut is answered later, once another reply is out: until then they read on.
    const auto answering = [&] { return trickler >= 0 && cut && !home.AcceptedCount(); };
    for (int s = 10; (s <= 100 || (answering() && s <= 300)) && reads > 0; s += 10) {
        Clock::Shift(10);
        honest->SendFrame(U32(PM_NOTHING)); // no connection is idle for long
        for (int k = 0; k < names && s % every == 0; ++k) {
            FakePeer& peer = *silent[size_t(k)];
            if (!peer.IsConnected())
                continue;
            peer.SendFrame(U32(PM_NOTHING));
            QVERIFY(
                ReadSome(peer, "silent" + std::to_string(k), k == trickler ? reads / 16 : reads));
        }
        const qsizetype before = cuts();
        sharedFoldersManager->ReplyRetryTimerForTesting()->Fire();
        if (cuts() > before)
            QTRY_VERIFY_WITH_TIMEOUT(log.lines.contains(sent), 60000);
        QVERIFY2(s < answeredBy || log.lines.contains(sent), qPrintable(shared.lines.join('\n')));
    }
    // Slow readers give way, and only while someone waits for their slots.
    const auto open = std::count_if(silent.begin(), silent.end(),
                                    [](const auto& peer) { return peer->IsConnected(); });
    QVERIFY2(reads == 0 || (open < names) == cut, qPrintable(QString::number(open)));
    if (slowLinks && reads == 0) {
        // Every reply under way sits unread: the honest request waits until the one unread the
        // longest has been so long enough, and its connection makes room.
        const QString full = QStringLiteral("Replies under way take all their room (%1 replies")
                                 .arg(PeerReplies::kMaxRepliesUnderWay);
        QTRY_VERIFY_WITH_TIMEOUT(!shared.lines.filter(full).isEmpty(), 60000);
        Clock::Shift(PeerReplies::kMaxUnreadMs / 1000 + 1);
        sharedFoldersManager->ReplyRetryTimerForTesting()->Fire();
        QCOMPARE(shared.lines.filter("has read nothing of the contents of folder").size(), 1);
    }
    QByteArray frame;
    QVERIFY(honest->WaitForFrame(&frame, 120000));
    QVERIFY(Inflated(frame, 37) == expected);
    QVERIFY2(within(), growth().constData());
    // A request cut waited in its place, and its reply went on a connection of ours.
    if (trickler >= 0 && cut) {
        const auto answered = [&] {
            while (home.WaitForFrame(&frame, 100)) {
                if (frame.startsWith(U32(PM_SHARED_FILES_IN_FOLDER)))
                    return true;
            }
            return false;
        };
        QVERIFY2(QTest::qWaitFor(answered, 60000), qPrintable(shared.lines.join('\n')));
        QVERIFY(Inflated(frame, 37) == expected);
    }
}

void tst_ShareMessages::shareListRepliesBoundedInAll_data()
{
    QTest::addColumn<int>("files"); // shared, with names of 200 random letters
    QTest::newRow("50,000 files") << 50000;
    QTest::newRow("10,000 files") << 10000;
}

void tst_ShareMessages::shareListRepliesBoundedInAll()
{
    QFETCH(int, files);
    // 16 addresses with 16 names each ask once for our list and read 8 KB every 30 s: one list
    // is held for them all, not a copy for each; an honest user browsing us meanwhile is served,
    // and peers connecting in and our browses still connect.
    constexpr qint64 kMaxGrowth = qint64(150) * 1024 * 1024;
    RaiseDescriptorLimit();
    Music music;
    BigFolder(music.root, "/data/Big", files, 9);
    PeerLog log;
    auto honest = DialFrom("honest", 200);
    QVERIFY(honest);
    const qint64 base = HeapInUse();
    const auto growth = [base] { return QByteArray::number(HeapInUse() - base); };
    std::vector<std::unique_ptr<FakePeer>> party;
    for (int k = 0; k < 256; ++k) {
        // The budget holds one connection short of theirs all: the honest one. Small buffers
        // both ways keep what we send them in this process, as on a link of 1500-byte packets.
        const QByteArray user = "party" + QByteArray::number(k);
        if (auto peer = DialFrom(user, 1 + k % 16, 4096)) {
            Stall(*peer, 4096);
            StoreFixture::User(user.toStdString())["peer_socket"]
                .AsPointer<QTcpSocket>()
                ->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
            peer->SendFrame(U32(PM_GET_SHARED_FILE_LIST));
            party.push_back(std::move(peer));
        }
    }
    QVERIFY(party.size() >= 240);
    const QString asked = QStringLiteral("Received PM_GET_SHARED_FILE_LIST message from user ");
    QTRY_COMPARE(log.lines.filter(asked).size(), qsizetype(party.size()));
    honest->SendFrame(U32(PM_GET_SHARED_FILE_LIST));
    const QString sent = QStringLiteral("Send PM_SHARED_FILE_LIST message to user honest");
    for (int s = 30; s <= 120; s += 30) {
        Clock::Shift(30);
        honest->SendFrame(U32(PM_NOTHING));
        for (size_t k = 0; k < party.size(); ++k) {
            if (!party[k]->IsConnected())
                continue;
            party[k]->SendFrame(U32(PM_NOTHING));
            QVERIFY(ReadSome(*party[k], "party" + std::to_string(k), 8192));
        }
        sharedFoldersManager->ReplyRetryTimerForTesting()->Fire();
        QVERIFY2(HeapInUse() - base < kMaxGrowth, growth().constData());
        if (s >= 60)
            QTRY_VERIFY(log.lines.contains(sent));
    }
    QByteArray frame;
    QVERIFY(honest->WaitForFrame(&frame, 60000));
    QCOMPARE(frame.left(4), U32(PM_SHARED_FILE_LIST));
    QVERIFY2(HeapInUse() - base < kMaxGrowth, growth().constData());

    // Honest peers connecting in from addresses of their own are taken, and our browse goes.
    std::vector<std::unique_ptr<FakePeer>> newcomers;
    for (int k = 0; k < 15; ++k) {
        newcomers.push_back(DialFrom("newcomer" + QByteArray::number(k), 220 + k));
        QVERIFY(newcomers.back());
    }
    FakePeer alice;
    GiveAddress("alice", 0x7f000001, alice.Listen());
    peerMessenger->GetUserSharedFiles("alice");
    QVERIFY(alice.WaitForConnection(10000));
}

void tst_ShareMessages::folderCopiedInSlices_data()
{
    QTest::addColumn<int>("change"); // after the request's first slice
    QTest::newRow("the last file removed") << 0;
    QTest::newRow("the folder no longer shared") << 1;
}

void tst_ShareMessages::folderCopiedInSlices()
{
    QFETCH(int, change);
    Music music;
    const int files = 3 * int(PeerReplies::kFilesAStep);
    // The file made last is copied last.
    const QByteArray expected = BigFolder(music.root, "/data/Big", files, 9, files - 1);
    LogLines shared("Shared");
    const TurnBudget::StepsForTesting sliced(1);
    // Carol has no connection: her reply waits in the queue of unsent messages.
    sharedFoldersManager->OnFilesInFoldersRequested("carol", 9, "\\data\\Big");
    if (change == 0)
        ItemPtr(i("shared_file_size", std::to_string(files - 1)).First())["shared_file"].Remove();
    else
        music.root.Disconnect("shared_public");
    QTRY_VERIFY(!shared.lines.isEmpty() || PeerTestEnv::Count("unsent_message") > 0);
    if (change == 1) {
        QCOMPARE(shared.lines, QStringList("Folder \\data\\Big is no longer shared with user "
                                           "carol, not sending its contents"));
        QCOMPARE(PeerTestEnv::Count("unsent_message"), size_t(0));
        return;
    }
    ItemPtr unsent(g("unsent_message").First());
    QVERIFY(Inflated(*unsent.AsPointer<QByteArray>(), 37) == expected);
}

void tst_ShareMessages::sharedFolderInfo_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QByteArray>("written"); // what the files read write back; empty: not read
    const auto row = [](const char* name, const QByteArray& bytes, const QStringList& names,
                        const QByteArray& written) {
        QTest::newRow(name) << bytes << names << written;
    };
    row("two files", U32(2) + kMp3Bare + kOgg + U32(0), {"a.ogg", "b.mp3"},
        U32(2) + kOgg + kMp3Bare + U32(0));
    row("no trailer", U32(2) + kMp3Bare + kOgg, {"a.ogg", "b.mp3"}, {});
    row("record cut short", U32(2) + kMp3Bare + kOgg.left(9), {"b.mp3"}, {});
    row("empty record", U32(2) + kMp3Bare + Hex("00") + U32(0), {"", "b.mp3"},
        U32(2) + Hex("01 00000000 0000000000000000 00000000 00000000") + kMp3Bare + U32(0));
    row("count 131073", U32(131073) + kMp3Bare + U32(0), {}, {});
    row("count negative", U32(0xffffffff) + kMp3Bare + U32(0), {}, {});
}

void tst_ShareMessages::sharedFolderInfo()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, names);
    QFETCH(QByteArray, written);
    SharedFolderInfo info;
    info.files.insert(FileInfo("left over", 1));
    MemStream in = StreamOf(bytes);
    QCOMPARE(info.Read(in), !written.isEmpty());
    QStringList got;
    for (const FileInfo& f : info.files)
        got << QString::fromStdString(f.name);
    QCOMPARE(got, names);
    if (written.isEmpty())
        return;
    MemStream out;
    QVERIFY(info.Write(out));
    QCOMPARE(Contents(out).toHex(), written.toHex());
}

void tst_ShareMessages::parentLinks_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("tree");
    QTest::newRow("none") << QStringList() << QStringList();
    QTest::newRow("a top folder is not its own parent")
        << QStringList{"Music"} << QStringList{"Music"};
    QTest::newRow("one link") << QStringList{"Music", "Music\\Rock"}
                              << QStringList{"Music", "Music\\Rock < Music"};
    QTest::newRow("two links") << QStringList{"a\\b\\c", "a", "a\\b"}
                               << QStringList{"a", "a\\b < a", "a\\b\\c < a\\b"};
    QTest::newRow("no link past a missing folder")
        << QStringList{"a", "a\\b\\c"} << QStringList{"a", "a\\b\\c"};
    QTest::newRow("rooted paths") << QStringList{"\\music", "\\music\\live"}
                                  << QStringList{"\\music", "\\music\\live < \\music"};
}

void tst_ShareMessages::parentLinks()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, tree);
    SharesTestEnv env;
    // Carol shares the same paths first: bob's folders hang under bob's own.
    sharedFoldersManager->OnUserShare("carol", Folders(folders), {});
    sharedFoldersManager->WaitForShareLists();
    sharedFoldersManager->OnUserShare("bob", Folders(folders), {});
    sharedFoldersManager->WaitForShareLists();
    QCOMPARE(Tree("bob"), tree);
    // Made last, and the sign that the tree is whole.
    QVERIFY(StoreFixture::User("bob")["user_share"]["user_share_loaded"]);
    QCOMPARE(PeerTestEnv::Count("user_share_folder_parent"), size_t(2 * tree.filter(" < ").size()));
}

void tst_ShareMessages::secondListWaitsForRemoval()
{
    SharesTestEnv env;
    // Nothing to remove: no user made, and no sweep run (it would take the unreachable name).
    d.GetType("user_share_file_name")->GetItem("loose");
    StoreFixture::User("carol");
    for (const char* user : {"carol", "nobody"})
        sharedFoldersManager->RemoveUserShare(user);
    sharedFoldersManager->WaitForShareLists();
    QVERIFY(d.GetType("user_share_file_name")->HasItem("loose"));
    QVERIFY(d.GetType("user")->HasItem("nobody").IsNull());

    LogLines log("Shared");
    FileInfoMap first = Folders({"music", "music\\rock"});
    first["music\\rock"] = {FileInfo("song.mp3", 123456789)};
    sharedFoldersManager->OnUserShare("bob", first, {});
    sharedFoldersManager->WaitForShareLists();
    sharedFoldersManager->OnUserShare("bob", Folders({"second"}), {});
    sharedFoldersManager->WaitForShareLists();
    QCOMPARE(Tree("bob"),
             (QStringList{"music", "music\\rock < music", "music\\rock | song.mp3 123456789"}));
    QCOMPARE(log.lines.count("Received shared file list from user bob"), 2);

    sharedFoldersManager->RemoveUserShare("bob");
    sharedFoldersManager->WaitForShareLists();
    // The tree goes with whatever it left unconnected; the name no tree used waits for the
    // sweep.
    for (const char* type :
         {"user_share", "user_share_loaded", "user_share_folder", "user_share_folder_parent",
          "user_share_folder_child", "user_share_folder_name", "user_share_file",
          "user_share_file_name", "file_size"})
        QVERIFY2(d.GetType(type)->ItemCount() == (type == std::string("user_share_file_name")),
                 type);
    QVERIFY(d.GetType("user_share_file_name")->HasItem("loose"));
    QVERIFY(d.GetType("user")->HasItem("bob"));
    sharedFoldersManager->OnUserShare("bob", Folders({"second"}), {});
    sharedFoldersManager->WaitForShareLists();
    QCOMPARE(Tree("bob"), QStringList{"second"});
}

void tst_ShareMessages::listFromPeerBuildsTree()
{
    SharesTestEnv env;
    auto peer = env.env().DialMessaging(false, "b\xe9la");
    QVERIFY(peer);
    LogLines log("Shared");
    env.env().peer().GetUserSharedFiles("b\xe9la");
    WireWriter list;
    list.u32(1).str("Music").u32(3);
    list.u8(1).str("x.mp3").u64(5).str("mp3").u32(5);
    for (quint32 v : {2, 5, 0, 128, 1, 61, 0, 320, 7, 1})
        list.u32(v);
    list.u8(1).str("y.ogg").u64(7).str("").u32(0);
    list.u8(1).str("z.mp3").u64(9).str("mp3").u32(1).u32(2).u32(0).u32(0);
    peer->SendFrame(WireWriter().u32(5).raw(qCompress(list).mid(4)));
    QTRY_VERIFY(StoreFixture::User("b\xe9la")["user_share"]["user_share_loaded"]);
    QVERIFY(log.Has(QString::fromUtf8("Received shared file list from user b\xc3\xa9la")));
    // A repeated code replaces the first; unknown codes are skipped.
    QCOMPARE(Tree("b\xe9la"), (QStringList{"Music", "Music | x.mp3 5 320 61 vbr", "Music | y.ogg 7",
                                           "Music | z.mp3 9 cbr"}));
    ItemPtr plain = d.GetType("user_share_file_name")->HasItem(Value("y.ogg"))["user_share_file"];
    QCOMPARE(plain->ConnectionCount(), size_t(3)); // its folder, name and size
}

namespace {

// A list of nested folders, a folder whose parent it lacks, files with and without details.
QByteArray NestedList()
{
    WireWriter list;
    QList<QByteArray> paths{"Music", "Music\\Rock", "Music\\Rock\\Live", "Films\\Old",
                            "Music\\Jazz"};
    list.u32(quint32(paths.size()));
    for (const QByteArray& path : paths) {
        list.str(path).u32(3);
        for (int k = 0; k < 3; ++k) {
            list.u8(1)
                .str(path.right(4) + " track " + QByteArray::number(3 - k) + ".mp3")
                .u64(quint64(1000 + k))
                .str("mp3")
                .u32(2)
                .u32(0)
                .u32(quint32(128 + k))
                .u32(2)
                .u32(quint32(k));
        }
    }
    return list.u32(0);
}

// The user's tree in the store's own order: folders in set order, each with its parent and its
// files in set order.
QStringList Ordered(const std::string& user)
{
    QStringList lines;
    ItemPtr share = StoreFixture::User(user)["user_share"];
    for (Item* f : share.GetItems("user_share_folder")) {
        ItemPtr folder(f);
        ItemPtr parent =
            folder["user_share_folder_parent"]["user_share_folder_child"]["user_share_folder"];
        lines << QString::fromStdString(folder["user_share_folder_name"].AsString() + " < " +
                                        parent["user_share_folder_name"].AsString());
        for (Item* file : folder.GetItems("user_share_file"))
            lines << QString::fromStdString("  " +
                                            ItemPtr(file)["user_share_file_name"].AsString() + " " +
                                            ItemPtr(file)["bitrate_mode"].AsString());
    }
    return lines;
}

struct Outcome
{
    QStringList tree;
    QStringList log;
    QStringList order; // what the manager emitted and the store was told, in turn
    size_t items = 0;
};

// Bob's list through a messaging connection, followed in the same write by a folder-contents
// request; read inline or on a thread, built a step a slice or in one go (steps 0), and removed
// while being built or not.
void Browse(const QByteArray& list, bool threaded, int steps, bool removeEarly, Outcome& out)
{
    SharesTestEnv env;
    PeerMessenger& peer = env.env().peer();
    auto bob = env.env().DialMessaging(false, "bob");
    QVERIFY(bob);
    LogLines log;
    peer.SetInlineShareListBytesForTesting(threaded ? 1 : PeerMessenger::kInlineShareListBytes);
    const TurnBudget::StepsForTesting sliced(steps > 0 ? steps : TurnBudget::kAtOnceForTesting);
    QObject::connect(&peer, &PeerMessenger::SharedFilesInFolderRequested,
                     [&out] { out.order << "folder request"; });
    auto* loaded = new PathNode(&d, "user_share");
    new PathNode(loaded, "user_share_loaded", PathConnectedWatchOnly);
    struct Watch : DataHandler
    {
        QStringList* order;
        void OnLoaded(Item*) { *order << "loaded"; }
    } watch;
    watch.order = &out.order;
    d.AddPathEventHandler(loaded, watch.NewEventHandler(&watch, &Watch::OnLoaded));
    const size_t before = d.ItemCount();
    peer.GetUserSharedFiles("bob");
    bob->SendRaw(FakePeer::Frame(WireWriter().u32(5).raw(qCompress(list).mid(4))) +
                 FakePeer::Frame(WireWriter().u32(36).u32(7).str("Music")));
    if (removeEarly) {
        QVERIFY(QTest::qWaitFor([] { return bool(StoreFixture::User("bob")["user_share"]); }));
        env.shares().RemoveUserShare("bob");
    }
    QVERIFY(QTest::qWaitFor([&] { return out.order.size() == (removeEarly ? 1 : 2); }));
    out.tree = Ordered("bob");
    env.shares().RemoveUserShare("bob");
    env.shares().WaitForShareLists();
    for (const QString& line : log.lines) {
        if (!line.contains("essaging connection") && !line.contains("opened from user"))
            out.log << line;
    }
    out.items = d.ItemCount() - before;
}

} // namespace

void tst_ShareMessages::listBuiltInSlices_data()
{
    QTest::addColumn<bool>("threaded");
    QTest::addColumn<int>("steps");
    QTest::addColumn<bool>("removeEarly");
    QTest::newRow("read on a thread") << true << 0 << false;
    QTest::newRow("a step a slice") << false << 1 << false;
    QTest::newRow("on a thread, a step a slice") << true << 1 << false;
    QTest::newRow("removed while being built") << true << 1 << true;
}

void tst_ShareMessages::listBuiltInSlices()
{
    QFETCH(bool, threaded);
    QFETCH(int, steps);
    QFETCH(bool, removeEarly);
    const QByteArray list = NestedList();
    Outcome once;
    Browse(list, false, 0, false, once);
    QCOMPARE(once.tree.size(), 5 + 5 * 3);
    // A small list is whole before the connection's next message is read.
    QCOMPARE(once.order, (QStringList{"loaded", "folder request"}));
    Outcome sliced;
    Browse(list, threaded, steps, removeEarly, sliced);
    // Nothing is left behind either way.
    QCOMPARE(sliced.items, once.items);
    if (removeEarly) {
        QCOMPARE(sliced.order, QStringList{"folder request"});
        QVERIFY(sliced.tree.isEmpty());
        QCOMPARE(sliced.log, once.log);
        return;
    }
    QCOMPARE(sliced.tree, once.tree);
    // The next message waits for the list to be read, not for its tree to be built.
    QCOMPARE(sliced.order.size(), once.order.size());
    QCOMPARE(sliced.log, once.log);
}

void tst_ShareMessages::bigListTrimmedAfterRemoval_data()
{
    QTest::addColumn<qint64>("bytes"); // inflated
    QTest::addColumn<int>("trims");
    const qint64 big = qint64(16) * 1024 * 1024;
    QTest::newRow("at the size") << big << 1;
    QTest::newRow("a byte under") << big - 1 << 0;
}

void tst_ShareMessages::bigListTrimmedAfterRemoval()
{
    QFETCH(qint64, bytes);
    QFETCH(int, trims);
    // One folder of files with long names, the last name making up the size.
    constexpr int kFiles = 129;
    constexpr int kName = 130500;
    const auto name = [](int k, int length) {
        const QByteArray number = QByteArray::number(k);
        return number + QByteArray(length - number.size(), 'n');
    };
    WireWriter list;
    list.u32(1).str("big").u32(kFiles);
    const qint64 fixed = 4 + 4 + 3 + 4 + 4 + qint64(kFiles) * 21 + qint64(kFiles - 1) * kName;
    for (int k = 0; k < kFiles; ++k)
        list.u8(1).str(name(k, k + 1 < kFiles ? kName : int(bytes - fixed))).u64(1).str("").u32(0);
    const QByteArray body = list.u32(0);
    QCOMPARE(qint64(body.size()), bytes);

    SharesTestEnv env;
    auto bob = env.env().DialMessaging(false, "bob");
    QVERIFY(bob);
    env.env().peer().GetUserSharedFiles("bob");
    bob->SendFrame(WireWriter().u32(5).raw(qCompress(body).mid(4)));
    QTRY_VERIFY(StoreFixture::User("bob")["user_share"]["user_share_loaded"]);
    const int before = env.shares().ReceivedSharesForTesting().TrimsForTesting();
    env.shares().RemoveUserShare("bob");
    env.shares().WaitForShareLists();
    QCOMPARE(env.shares().ReceivedSharesForTesting().TrimsForTesting() - before, trims);
}

void tst_ShareMessages::removalLeavesNothingToSweep_data()
{
    QTest::addColumn<int>("steps"); // a slice; 0: by time alone
    QTest::addColumn<bool>("whileBuilt");
    QTest::newRow("in one go") << 0 << false;
    QTest::newRow("a step a slice") << 1 << false;
    QTest::newRow("while being built") << 1 << true;
}

void tst_ShareMessages::removalLeavesNothingToSweep()
{
    QFETCH(int, steps);
    QFETCH(bool, whileBuilt);
    Music music;
    SharesTestEnv& env = music.env;
    // Carol's tree and a local file share names, sizes and details with bob's; one name was
    // garbage before, and stays the sweep's.
    FileInfoMap carols = Folders({"music", "music\\rock"});
    carols["music\\rock"] = {FileInfo("shared.mp3", 5, AttributeMap("mp3", {{0, 192}}))};
    sharedFoldersManager->OnUserShare("carol", carols, {});
    sharedFoldersManager->WaitForShareLists();
    StoreFixture::User("bob");
    d.RemoveDisconnectedItems();
    d.GetType("user_share_file_name")->GetItem("loose");
    const QStringList carolsTree = Tree("carol");

    // A repeated detail code: only the last value is the file's.
    FileInfoMap bobs = Folders({"music", "music\\rock", "music\\rock\\live", "films"});
    bobs["music"] = {FileInfo("shared.mp3", 5, AttributeMap("mp3", {{0, 128}, {0, 192}})),
                     FileInfo("b.mp3", 20, AttributeMap("mp3", {{2, 1}, {1, 245}}))};
    bobs["music\\rock\\live"] = {FileInfo("own.mp3", 777, AttributeMap("mp3", {{0, 1}}))};
    const size_t before = d.ItemCount();
    const TurnBudget::StepsForTesting sliced(steps);
    sharedFoldersManager->OnUserShare("bob", bobs, {});
    if (whileBuilt) {
        QVERIFY(env.shares().ReceivedSharesForTesting().IsBusy());
    } else {
        sharedFoldersManager->WaitForShareLists();
        QVERIFY(Tree("bob").contains("music | shared.mp3 5 192"));
    }
    sharedFoldersManager->RemoveUserShare("bob");
    // Gone from the user at once, and a new list may come.
    QVERIFY(!StoreFixture::User("bob")["user_share"]);
    QTRY_VERIFY(!env.shares().ReceivedSharesForTesting().IsBusy());

    // What bob's tree made is gone with it; what it shared stays; the sweep finds only the
    // garbage that was there before.
    QCOMPARE(d.ItemCount(), before);
    QCOMPARE(Tree("carol"), carolsTree);
    QCOMPARE(music.mp3["bitrate"].AsInt(), 192);
    QCOMPARE(d.RemoveDisconnectedItems(), 1);
    QVERIFY(!d.GetType("user_share_file_name")->HasItem("loose"));
}

QTEST_GUILESS_MAIN(tst_ShareMessages)
#include "tst_sharemessages.moc"

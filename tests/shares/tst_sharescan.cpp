// Scanning real folders: what a rescan adds and removes, nested roots, links that lead back up
// the tree, the MP3 scan requests, and the store file's own files, which are never shared.

#include "SharesTestEnv.h"

#include "store/DataSaver.h"

#include <sys/stat.h>

class tst_ShareScan : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rescanFollowsTheDisk_data();
    void rescanFollowsTheDisk();
    void vanishedFolderGoesEvenWhenItsNamesLiveOn();
    void sizeChangeRenewsSizeAndScan();
    void nestedRootsShareFilesOnce();
    void linksBackUpAreNotEntered_data();
    void linksBackUpAreNotEntered();
    void listingOrderIsDepthFirst();
    void storeFileNeverShared_data();
    void storeFileNeverShared();
    void indexedAtScanAndAfterLoad();
};

namespace {

// The tree every rescan row starts from.
void WriteTree(SharesTestEnv& env)
{
    env.Write("share/a.mp3");
    env.Write("share/b.ogg");
    env.Write("share/sub/c.mp3");
    env.Write("share/sub/deeper/d.txt");
}

} // namespace

void tst_ShareScan::rescanFollowsTheDisk_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("added");
    QTest::addColumn<int>("removed");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("folders");

    const QStringList all{"share/a.mp3", "share/b.ogg", "share/sub/c.mp3",
                          "share/sub/deeper/d.txt"};
    QTest::newRow("unchanged") << "" << 0 << 0 << all << 3;
    QTest::newRow("one deleted, two new")
        << "delete b" << 2 << 1
        << QStringList{"share/a.mp3", "share/e.mp3", "share/sub/c.mp3", "share/sub/deeper/d.txt",
                       "share/sub/f.flac"}
        << 3;
    QTest::newRow("subfolder deleted")
        << "delete sub" << 0 << 2 << QStringList{"share/a.mp3", "share/b.ogg"} << 1;
    // The root keeps its item (the user's choice), with nothing in it.
    QTest::newRow("root deleted") << "delete share" << 0 << 4 << QStringList{} << 1;
    QTest::newRow("renamed, other case")
        << "rename a" << 1 << 1
        << QStringList{"share/a.Mp3", "share/b.ogg", "share/sub/c.mp3", "share/sub/deeper/d.txt"}
        << 3;
    QTest::newRow("hidden file and folder") << "hidden" << 0 << 0 << all << 3;
    QTest::newRow("link to nowhere and a pipe") << "specials" << 0 << 0 << all << 3;
}

void tst_ShareScan::rescanFollowsTheDisk()
{
    QFETCH(QString, change);
    QFETCH(int, added);
    QFETCH(int, removed);
    QFETCH(QStringList, files);
    QFETCH(int, folders);

    SharesTestEnv env;
    WriteTree(env);
    env.Share("share");
    env.Init();

    if (change == "delete b") {
        env.Remove("share/b.ogg");
        env.Write("share/e.mp3");
        env.Write("share/sub/f.flac");
    } else if (change.startsWith("delete ")) {
        env.Remove(change.mid(7) == "sub" ? "share/sub" : "share");
    } else if (change == "rename a") {
        QVERIFY(QFile::rename(QString::fromStdString(env.Path("share/a.mp3")),
                              QString::fromStdString(env.Path("share/a.Mp3"))));
    } else if (change == "hidden") {
        env.Write("share/.secret.mp3");
        env.Write("share/.cache/e.mp3");
    } else if (change == "specials") {
        env.Link("share/broken.mp3", "nowhere.mp3");
        QVERIFY(::mkfifo(env.Path("share/pipe.mp3").c_str(), 0600) == 0);
    }

    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    QSignalSpy scanRequests(&env.shares(), &SharedFoldersManager::MP3ScanRequired);
    env.shares().RescanShares();
    QCOMPARE(rescanned.size(), 1);
    QCOMPARE(rescanned[0][0].toInt(), added);
    QCOMPARE(rescanned[0][1].toInt(), removed);
    QCOMPARE(env.SharedFiles(), files);

    QCOMPARE(env.SharedFolders().size(), folders);
    QVERIFY(d.GetType("shared_folder")->HasItem(env.Path("share")));
    QCOMPARE(static_cast<int>(d.GetType("shared_file_name")->ItemCount()), files.size());
    for (const QList<QVariant>& request : scanRequests)
        QVERIFY(!request[0].toString().endsWith("a.Mp3"));
}

void tst_ShareScan::vanishedFolderGoesEvenWhenItsNamesLiveOn()
{
    SharesTestEnv env;
    env.Write("share/cover.jpg");
    env.Write("share/album/cover.jpg");
    env.Write("share/album/song.mp3");
    env.Share("share");
    env.Init();
    env.Remove("share/album");

    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    env.shares().RescanShares();
    env.shares().RescanShares();
    QCOMPARE(rescanned[0][1].toInt(), 2);
    QCOMPARE(rescanned[1][1].toInt(), 0);
    QCOMPARE(env.SharedFiles(), QStringList{"share/cover.jpg"});
    QCOMPARE(env.SharedFolders(), QStringList{"share"});
    QVERIFY(env.File("share/album/cover.jpg").IsNull());
}

void tst_ShareScan::sizeChangeRenewsSizeAndScan()
{
    SharesTestEnv env;
    env.Write("share/song.mp3", 1000);
    env.Write("share/same.mp3", 500);
    env.Share("share");
    env.Init();
    for (const char* name : {"share/song.mp3", "share/same.mp3"})
        env.File(name).NewItem("is_scanned");
    env.Write("share/song.mp3", 4321);

    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    QSignalSpy scanRequests(&env.shares(), &SharedFoldersManager::MP3ScanRequired);
    ItemPtr before = env.File("share/song.mp3");
    env.shares().RescanShares();
    QCOMPARE(rescanned[0][0].toInt(), 0);
    QCOMPARE(rescanned[0][1].toInt(), 0);
    ItemPtr song = env.File("share/song.mp3");
    QCOMPARE(song, before);
    QCOMPARE(song["shared_file_size"].AsString(), std::string("4321"));
    QVERIFY(!song.IsConnected("is_scanned"));
    QVERIFY(env.File("share/same.mp3").IsConnected("is_scanned"));
    QCOMPARE(scanRequests.size(), 1);
    QCOMPARE(scanRequests[0][0].toString().toStdString(), env.Path("share/song.mp3"));
}

void tst_ShareScan::nestedRootsShareFilesOnce()
{
    SharesTestEnv env;
    env.Write("outer/top.mp3");
    env.Write("outer/inner/mid.mp3");
    env.Write("outer/inner/deep/low.mp3");
    ItemPtr outer = env.Share("outer");
    ItemPtr inner = env.Share("outer/inner");
    env.Init();

    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    env.shares().RescanShares();
    QCOMPARE(rescanned[0][0].toInt(), 0);
    QCOMPARE(rescanned[0][1].toInt(), 0);
    QCOMPARE(env.SharedFiles(),
             (QStringList{"outer/inner/deep/low.mp3", "outer/inner/mid.mp3", "outer/top.mp3"}));
    for (Item* folder : g("shared_file_folder")) {
        const QString name = env.Relative(folder->AsString());
        const bool insideInner = name.startsWith("outer/inner");
        QVERIFY2(ItemPtr(folder).IsConnected(outer), qPrintable(name));
        QCOMPARE(ItemPtr(folder).IsConnected(inner), insideInner);
    }
}

void tst_ShareScan::linksBackUpAreNotEntered_data()
{
    QTest::addColumn<QStringList>("links"); // pairs: where, target
    // Relative targets are taken from the link's own folder.
    QTest::newRow("a/loop -> a") << QStringList{"a/loop", "."};
    QTest::newRow("a/b/up -> a") << QStringList{"a/b/up", ".."};
    QTest::newRow("both") << QStringList{"a/loop", ".", "a/b/up", ".."};
    QTest::newRow("absolute link to the root") << QStringList{"a/b/root", "<a>"};
}

void tst_ShareScan::linksBackUpAreNotEntered()
{
    QFETCH(QStringList, links);

    SharesTestEnv env;
    env.Write("a/one.mp3");
    env.Write("a/b/two.mp3");
    env.Write("c/three.mp3");
    // A link to a folder beside the share is a folder like any other.
    env.Link("a/sibling", "../c");
    for (int k = 0; k < links.size(); k += 2)
        env.Link(links[k],
                 links[k + 1] == "<a>" ? QString::fromStdString(env.Path("a")) : links[k + 1]);
    env.Share("a");
    LogLines log("Shared");
    env.Init();

    QCOMPARE(env.SharedFiles(), (QStringList{"a/b/two.mp3", "a/one.mp3", "a/sibling/three.mp3"}));
    for (int k = 0; k < links.size(); k += 2) {
        const QString line = QStringLiteral("   Not entering folder %1: it leads back into a "
                                            "folder above it")
                                 .arg(QString::fromStdString(env.Path(links[k])));
        QVERIFY2(log.lines.contains(line), qPrintable(log.lines.join('\n')));
    }
}

void tst_ShareScan::listingOrderIsDepthFirst()
{
    SharesTestEnv env;
    env.Write("r/B/x.mp3");
    env.Write("r/a/y.mp3");
    env.Write("r/a/Z/z.mp3");
    env.Write("r/c.MP3");
    env.Write("r/d.mP3"); // neither spelling: not asked for
    env.Write(QStringLiteral("r/\u00c9T\u00c9.mp3"));
    env.Init();
    LogLines log("Shared");
    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    QSignalSpy scanRequests(&env.shares(), &SharedFoldersManager::MP3ScanRequired);
    env.Share("r"); // scanned at once, with no rescan report

    QCOMPARE(rescanned.size(), 0);
    QStringList entered;
    for (const QString& line : log.lines)
        if (line.startsWith("Adding folder "))
            entered << env.Relative(line.section(' ', 2, 2).toStdString());
    QCOMPARE(entered, (QStringList{"r", "r/a", "r/a/Z", "r/B"}));
    const QString root = QString::fromStdString(env.Path("r"));
    QCOMPARE(log.lines.first(), QStringLiteral("Adding folder %1 as part of sharing %1").arg(root));
    // One character per byte of the UTF-8 path.
    QStringList asked;
    for (const QList<QVariant>& request : scanRequests)
        asked << env.Relative(request[0].toString().toLatin1().toStdString());
    QCOMPARE(asked, (QStringList{"r/a/y.mp3", "r/a/Z/z.mp3", "r/B/x.mp3", "r/c.MP3",
                                 QStringLiteral("r/\u00c9T\u00c9.mp3")}));
}

void tst_ShareScan::storeFileNeverShared_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("store file in the share") << false;
    QTest::newRow("store path a link into the share") << true;
}

void tst_ShareScan::storeFileNeverShared()
{
    QFETCH(bool, throughLink);

    // The store file is loaded from where the shell would load it; it is an empty store.
    QTemporaryDir outside;
    const QString storeFile = outside.filePath("home/quorvale.dat");
    QVERIFY(QDir().mkpath(outside.filePath("home")));
    QFile file(storeFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(QByteArray(8, '\0')), qint64(8));
    file.close();
    QString storePath = storeFile;
    if (throughLink) {
        storePath = outside.filePath("config.dat");
        QVERIFY(QFile::link(storeFile, storePath));
    }

    SharesTestEnv env(outside.path(), storePath);
    QCOMPARE(dataSaver->Path(), storePath);
    for (const char* companion :
         {".1", ".17", ".previous", ".lock", ".unreadable", ".unreadable.2"})
        env.Write(QStringLiteral("home/quorvale.dat") + companion);
    env.Write("home/quorvale.data");
    env.Write("home/notes.txt");
    env.Write("home/sub/quorvale.dat");
    env.Share("home");
    env.Init();

    QCOMPARE(env.SharedFiles(),
             (QStringList{"home/notes.txt", "home/quorvale.data", "home/sub/quorvale.dat"}));
}

void tst_ShareScan::indexedAtScanAndAfterLoad()
{
    // Each file carries exactly the words the tokenizer gives a file of its folder and name, and
    // a folder's words reach every file in it.
    const auto verifyIndex = [](SharesTestEnv& env) {
        ItemPtr track = env.File("Music/Old/Track01.MP3");
        ItemPtr twin = d.GetType("shared_file")->NewItem();
        twin += track["shared_file_folder"];
        twin += track["shared_file_name"];
        env.shares().TokenizeSharedFile(twin);
        QCOMPARE(SharesTestEnv::Tokens(track), SharesTestEnv::Tokens(twin));
        QVERIFY(SharesTestEnv::Tokens(track).count("track01.mp3"));
        twin.Remove();
        QCOMPARE(d.GetType("search_token")->HasItem("music").GetItems("shared_file").Size(),
                 size_t(2));
    };
    QTemporaryDir outside;
    const QString storeFile = outside.filePath("store");
    {
        SharesTestEnv env(outside.path());
        env.Write("Music/Old/Track01.MP3", 77);
        env.Write("Music/b.ogg");
        env.Share("Music");
        env.Init();
        verifyIndex(env);
        env.File("Music/Old/Track01.MP3").NewItem("is_scanned");
        QVERIFY(dataSaver->Save(storeFile));
    }

    // Loaded: the words are made again, nothing counts as added or removed, nothing is scanned.
    SharesTestEnv env(outside.path(), storeFile);
    QCOMPARE(d.GetType("search_token")->ItemCount(), size_t(0));
    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    QSignalSpy scanRequests(&env.shares(), &SharedFoldersManager::MP3ScanRequired);
    env.Init();
    QCOMPARE(rescanned[0][0].toInt(), 0);
    QCOMPARE(rescanned[0][1].toInt(), 0);
    QCOMPARE(scanRequests.size(), 0);
    QCOMPARE(env.File("music/old/track01.mp3")["shared_file_size"].AsString(), std::string("77"));
    verifyIndex(env);
}

QTEST_GUILESS_MAIN(tst_ShareScan)
#include "tst_sharescan.moc"

// Scanning real folders: what a rescan adds and removes, nested roots, links that lead back up
// the tree, the MP3 scan requests, and the store file's own files, which are never shared.

#include "SharesTestEnv.h"

#include "store/DataSaver.h"
#include "store/TurnBudget.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QSet>

#include <filesystem>

#include <sys/stat.h>

class tst_ShareScan : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rescanFollowsTheDisk_data();
    void rescanFollowsTheDisk();
    void linksBackUpAreNotEntered_data();
    void linksBackUpAreNotEntered();
    void folderReachedTwiceIsEnteredOnce_data();
    void folderReachedTwiceIsEnteredOnce();
    void rootReplacedByAFileWithNamesNotUtf8();
    void listingOrderIsDepthFirst();
    void storeFileNeverShared_data();
    void storeFileNeverShared();
    void indexedAtScanAndAfterLoad();
    void startUpRescanInSlices_data();
    void startUpRescanInSlices();
    void quitDuringTheScanSavesAStoreThatLoads_data();
    void quitDuringTheScanSavesAStoreThatLoads();
    void itemsRemovedDuringTheScan_data();
    void itemsRemovedDuringTheScan();
    void scansAskedForDuringAScan_data();
    void scansAskedForDuringAScan();
};

namespace {

// A share as the last run saved it, and the disk changed since: b.ogg and the folder gone/ were
// deleted, new.mp3 and sub/f.flac added. a.mp3 was scanned for its MP3 details, sub/c.mp3 not.
// loop leads back to the share, and twice is a second way into sub.
const QStringList kSavedFiles{"share/a.mp3", "share/b.ogg", "share/gone/e.ogg", "share/sub/c.mp3",
                              "share/sub/deeper/d.txt"};
const QStringList kDiskFiles{"share/a.mp3", "share/new.mp3", "share/sub/c.mp3",
                             "share/sub/deeper/d.txt", "share/sub/f.flac"};

// Passes of the event loop, each a slice of one step when the test asked for that, until the
// line is logged.
bool StepUntilLogged(const LogLines& log, const QString& line)
{
    QDeadlineTimer deadline(30000);
    while (!log.Has(line) && !deadline.hasExpired())
        QCoreApplication::processEvents();
    return log.Has(line);
}

void SaveShareThenChangeDisk(const QString& base, const QString& storeFile)
{
    {
        SharesTestEnv env(base);
        for (const QString& file : kSavedFiles)
            env.Write(file);
        env.Link("share/loop", ".");
        env.Link("share/twice", "sub");
        env.Share("share");
        env.Init();
        QCOMPARE(env.SharedFiles(), kSavedFiles);
        env.File("share/a.mp3").NewItem("is_scanned");
        QVERIFY(dataSaver->Save(storeFile));
    }
    SharesTestEnv env(base);
    env.Remove("share/b.ogg");
    env.Remove("share/gone");
    env.Write("share/new.mp3");
    env.Write("share/sub/f.flac");
}

} // namespace

void tst_ShareScan::rescanFollowsTheDisk_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("added");
    QTest::addColumn<int>("removed");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("folders");
    QTest::addColumn<QStringList>("asked"); // sent for scanning by the rescan

    const QStringList all{"share/a.mp3", "share/b.ogg", "share/sub/a.mp3", "share/sub/c.mp3",
                          "share/sub/deeper/d.txt"};
    QTest::newRow("unchanged") << "" << 0 << 0 << all << 3 << QStringList{};
    QTest::newRow("one deleted, two new")
        << "delete b" << 2 << 1 << QStringList{"share/a.mp3",
                                               "share/e.mp3",
                                               "share/sub/a.mp3",
                                               "share/sub/c.mp3",
                                               "share/sub/deeper/d.txt",
                                               "share/sub/f.flac"}
        << 3 << QStringList{"share/e.mp3"};
    // share/sub/a.mp3 goes although share/a.mp3 keeps its name item alive, and only once.
    QTest::newRow("subfolder deleted")
        << "delete sub" << 0 << 3 << QStringList{"share/a.mp3", "share/b.ogg"} << 1
        << QStringList{};
    // The root keeps its item (the user's choice), with nothing in it.
    QTest::newRow("root deleted") << "delete share" << 0 << 5 << QStringList{} << 1
                                  << QStringList{};
    QTest::newRow("renamed, other case")
        << "rename a" << 1 << 1
        << QStringList{"share/a.Mp3", "share/b.ogg", "share/sub/a.mp3", "share/sub/c.mp3",
                       "share/sub/deeper/d.txt"}
        << 3 << QStringList{};
    QTest::newRow("rewritten with another size")
        << "resize a" << 0 << 0 << all << 3 << QStringList{"share/a.mp3"};
    QTest::newRow("hidden file and folder") << "hidden" << 0 << 0 << all << 3 << QStringList{};
    QTest::newRow("link to nowhere and a pipe")
        << "specials" << 0 << 0 << all << 3 << QStringList{};
    // Its folders hang under both roots; its files are shared once.
    QTest::newRow("inner folder shared too") << "nest" << 0 << 0 << all << 3 << QStringList{};
}

void tst_ShareScan::rescanFollowsTheDisk()
{
    QFETCH(QString, change);
    QFETCH(int, added);
    QFETCH(int, removed);
    QFETCH(QStringList, files);
    QFETCH(int, folders);
    QFETCH(QStringList, asked);

    SharesTestEnv env;
    for (const char* file : {"share/a.mp3", "share/b.ogg", "share/sub/a.mp3", "share/sub/c.mp3",
                             "share/sub/deeper/d.txt"})
        env.Write(file, 1000);
    env.Share("share");
    env.Init();
    // Every file scanned already, so that a rescan asks only for what it must.
    QHash<QString, uint32_t> ids;
    for (const QString& file : env.SharedFiles()) {
        env.File(file).NewItem("is_scanned");
        ids[file] = env.File(file)->Id();
    }

    if (change == "delete b") {
        env.Remove("share/b.ogg");
        env.Write("share/e.mp3");
        env.Write("share/sub/f.flac");
    } else if (change.startsWith("delete ")) {
        env.Remove(change == "delete sub" ? "share/sub" : "share");
    } else if (change == "rename a") {
        QVERIFY(QFile::rename(QString::fromStdString(env.Path("share/a.mp3")),
                              QString::fromStdString(env.Path("share/a.Mp3"))));
    } else if (change == "resize a") {
        env.Write("share/a.mp3", 4321);
    } else if (change == "hidden") {
        env.Write("share/.secret.mp3");
        env.Write("share/.cache/e.mp3");
    } else if (change == "specials") {
        env.Link("share/broken.mp3", "nowhere.mp3");
        QVERIFY(::mkfifo(env.Path("share/pipe.mp3").c_str(), 0600) == 0);
    } else if (change == "nest") {
        env.Share("share/sub");
    }

    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    QSignalSpy scanRequests(&env.shares(), &SharedFoldersManager::MP3ScanRequired);
    env.Rescan();
    QCOMPARE(rescanned.size(), 1);
    QCOMPARE(rescanned[0][0].toInt(), added);
    QCOMPARE(rescanned[0][1].toInt(), removed);
    QCOMPARE(env.SharedFiles(), files);
    QCOMPARE(static_cast<int>(g("shared_file_folder").Size()), folders);
    QVERIFY(d.GetType("shared_folder")->HasItem(env.Path("share")));
    QStringList requested;
    for (const QList<QVariant>& request : scanRequests)
        requested << env.Relative(request[0].toString().toStdString());
    QCOMPARE(requested, asked);

    QSet<QString> names;
    for (const QString& file : files) {
        names << file.section('/', -1);
        ItemPtr item = env.File(file);
        const QFileInfo disk(QString::fromStdString(env.Path(file)));
        QCOMPARE(item["shared_file_size"].AsString(), std::to_string(disk.size()));
        // A known file keeps its item, and its scan unless its size changed.
        QCOMPARE(item->Id(), ids.value(file, item->Id()));
        QCOMPARE(item.IsConnected("is_scanned"), ids.contains(file) && !asked.contains(file));
    }
    QCOMPARE(static_cast<int>(d.GetType("shared_file_name")->ItemCount()), names.size());
    // Each folder hangs under exactly the roots at or above it.
    for (Item* folder : g("shared_file_folder")) {
        const std::string path = folder->AsString();
        for (Item* root : g("shared_folder")) {
            const std::string top = root->AsString();
            const bool below = path == top || path.rfind(top + '/', 0) == 0;
            QVERIFY2(ItemPtr(folder).IsConnected(root) == below, path.c_str());
        }
    }

    // Nothing is left for the next rescan to find.
    env.Rescan();
    QCOMPARE(rescanned[1][0].toInt(), 0);
    QCOMPARE(rescanned[1][1].toInt(), 0);
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

void tst_ShareScan::folderReachedTwiceIsEnteredOnce_data()
{
    QTest::addColumn<int>("depth");
    QTest::newRow("depth 3") << 3;
    // Entered through every path, this one would be 262,143 folders.
    QTest::newRow("depth 17") << 17;
}

void tst_ShareScan::folderReachedTwiceIsEnteredOnce()
{
    QFETCH(int, depth);
    // A diamond chain: the shared folder d0 and the folders d1 to dN beside it, each with a
    // file, and in each but the last two links, a and b, to the next.
    SharesTestEnv env;
    const auto name = [](int k) { return QStringLiteral("d%1").arg(k); };
    for (int k = 0; k <= depth; ++k) {
        env.Write(name(k) + QStringLiteral("/f%1.ogg").arg(k));
        if (k < depth) {
            env.Link(name(k) + "/a", "../" + name(k + 1));
            env.Link(name(k) + "/b", "../" + name(k + 1));
        }
    }
    env.Share(name(0));
    LogLines log("Shared");
    env.Init();

    QCOMPARE(int(g("shared_file").Size()), depth + 1);
    QCOMPARE(int(g("shared_file_folder").Size()), depth + 1);
    // Each folder is shared through a's: d0/a/a/... and the b beside each a is turned away once.
    QString through = name(0);
    for (int k = 0; k < depth; ++k) {
        const QString line = QStringLiteral("   Not entering folder %1/b: already shared as %1/a")
                                 .arg(QString::fromStdString(env.Path(through)));
        QCOMPARE(log.lines.count(line), 1);
        through += "/a";
    }
    QCOMPARE(log.lines.filter("Not entering folder").size(), depth);
    QVERIFY(env.File(through + QStringLiteral("/f%1.ogg").arg(depth)));
}

void tst_ShareScan::rootReplacedByAFileWithNamesNotUtf8()
{
    SharesTestEnv env;
    const std::string root = env.Path("share");
    std::filesystem::create_directory(root);
    for (const char* name : {"/caf\xc3\xa9.mp3", "/caf\xe9.mp3"})
        SharesTestEnv::Touch(root + name);
    env.Share("share");
    env.Init();
    QCOMPARE(g("shared_file").Size(), size_t(2));
    // Removed by the bytes of the names: Qt's own removal would leave the Latin-1 one behind.
    SharesTestEnv::RemovePath(root);
    SharesTestEnv::Touch(root);
    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    env.Rescan();
    QCOMPARE(rescanned[0][1].toInt(), 2);
    QCOMPARE(g("shared_file").Size(), size_t(0));
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
    env.Share("r"); // scanned, with no rescan report
    env.shares().WaitForScans();

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
        int carriers = 0;
        for (Item* file : g("shared_file"))
            carriers += int(SharesTestEnv::Tokens(file).count("music"));
        QCOMPARE(carriers, 2);
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

void tst_ShareScan::startUpRescanInSlices_data()
{
    QTest::addColumn<int>("stepsPerSlice"); // 0: a slice ends by time alone
    QTest::newRow("by time") << 0;
    QTest::newRow("a step a slice") << 1;
    QTest::newRow("three steps a slice") << 3;
}

void tst_ShareScan::startUpRescanInSlices()
{
    QFETCH(int, stepsPerSlice);

    QTemporaryDir outside;
    const QString storeFile = outside.filePath("store");
    SaveShareThenChangeDisk(outside.path(), storeFile);

    // Start-up: the store file loaded, then Init, then the event loop.
    SharesTestEnv env(outside.path(), storeFile);
    const TurnBudget::StepsForTesting slices(stepsPerSlice);
    LogLines log("Shared");
    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    QSignalSpy scanRequests(&env.shares(), &SharedFoldersManager::MP3ScanRequired);
    env.shares().Init();
    QVERIFY(log.lines.isEmpty() && rescanned.isEmpty());
    QTRY_COMPARE(rescanned.size(), 1);

    // What the scan gives on the GUI thread in one go.
    QCOMPARE(rescanned[0][0].toInt(), 2);
    QCOMPARE(rescanned[0][1].toInt(), 2);
    const QString share = QString::fromStdString(env.Path("share"));
    QCOMPARE(
        log.lines,
        (QStringList{
            QStringLiteral("Adding folder %1 as part of sharing %1").arg(share),
            QStringLiteral("   Not entering folder %1/loop: it leads back into a folder "
                           "above it")
                .arg(share),
            QStringLiteral("Adding folder %1/sub as part of sharing %1").arg(share),
            QStringLiteral("Adding folder %1/sub/deeper as part of sharing %1").arg(share),
            QStringLiteral("   Not entering folder %1/twice: already shared as %1/sub").arg(share),
        }));
    QStringList asked;
    for (const QList<QVariant>& request : scanRequests)
        asked << env.Relative(request[0].toString().toLatin1().toStdString());
    QCOMPARE(asked, (QStringList{"share/new.mp3", "share/sub/c.mp3"}));
    QCOMPARE(env.SharedFiles(), kDiskFiles);
    QCOMPARE(int(g("shared_file_folder").Size()), 3);
    // The word index, which the store file does not keep, is whole again.
    for (const QString& file : kDiskFiles) {
        const std::set<std::string> words = SharesTestEnv::Tokens(env.File(file));
        QVERIFY2(words.count("sub") == size_t(file.contains("/sub/")), qPrintable(file));
        QVERIFY2(words.count(file.section('/', -1).toLower().toStdString()), qPrintable(file));
    }
    // The names, sizes and words of the files that went went with them.
    QVERIFY(!d.GetType("shared_file_name")->HasItem("b.ogg"));
    QVERIFY(!d.GetType("search_token")->HasItem("gone"));
    QVERIFY(!d.GetType("search_token")->HasItem("ogg"));
}

void tst_ShareScan::quitDuringTheScanSavesAStoreThatLoads_data()
{
    QTest::addColumn<int>("folders"); // entered when the client quits
    QTest::newRow("before the first folder") << 0;
    QTest::newRow("in the share") << 1;
    QTest::newRow("in a subfolder") << 2;
    QTest::newRow("in the deepest") << 3;
}

void tst_ShareScan::quitDuringTheScanSavesAStoreThatLoads()
{
    QFETCH(int, folders);

    QTemporaryDir outside;
    const QString storeFile = outside.filePath("store");
    SaveShareThenChangeDisk(outside.path(), storeFile);
    const QString quitFile = outside.filePath("quit");
    {
        SharesTestEnv env(outside.path(), storeFile);
        const TurnBudget::StepsForTesting slices(1);
        LogLines log("Shared");
        env.shares().Init();
        QDeadlineTimer deadline(30000);
        while (log.lines.filter("Adding folder").size() < folders && !deadline.hasExpired())
            QCoreApplication::processEvents();
        QCOMPARE(log.lines.filter("Adding folder").size(), folders);
        QVERIFY(env.shares().IsScanning());
        // What the main window does at shutdown.
        QVERIFY(env.env().engine().Shutdown(quitFile));
        QVERIFY(!env.shares().IsScanning());
    }

    // The saved store loads, and every file in it is whole and under the share.
    SharesTestEnv env(outside.path(), quitFile);
    const QSet<QString> saved(kSavedFiles.begin(), kSavedFiles.end());
    const QSet<QString> disk(kDiskFiles.begin(), kDiskFiles.end());
    const QStringList loaded = env.SharedFiles();
    const QSet<QString> kept(loaded.begin(), loaded.end());
    QVERIFY2(kept.contains(saved & disk) && (saved | disk).contains(kept),
             qPrintable(loaded.join(' ')));
    ItemPtr root = d.GetType("shared_folder")->HasItem(env.Path("share"));
    for (Item* file : g("shared_file")) {
        ItemPtr f(file);
        QVERIFY(f["shared_file_name"] && f["shared_file_size"]);
        QVERIFY(f["shared_file_folder"].IsConnected(root));
    }

    // The next start-up finishes the job.
    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    env.Init();
    QCOMPARE(env.SharedFiles(), kDiskFiles);
    QCOMPARE(rescanned[0][0].toInt(), int((disk - kept).size()));
    QCOMPARE(rescanned[0][1].toInt(), int((kept - disk).size()));
}

void tst_ShareScan::itemsRemovedDuringTheScan_data()
{
    QTest::addColumn<QString>("removed"); // while the rescan is in share/sub
    QTest::newRow("the root") << "root";
    QTest::newRow("the folder being applied") << "folder";
    QTest::newRow("a file it knew there") << "file";
}

void tst_ShareScan::itemsRemovedDuringTheScan()
{
    QFETCH(QString, removed);

    SharesTestEnv env;
    const QStringList files{"share/a.ogg", "share/sub/b.ogg", "share/sub/c.ogg", "share/z.ogg"};
    for (const QString& file : files)
        env.Write(file);
    ItemPtr root = env.Share("share");
    env.Init();
    const TurnBudget::StepsForTesting slices(1);
    LogLines log("Shared");
    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    env.shares().RescanShares();
    const QString share = QString::fromStdString(env.Path("share"));
    QVERIFY(StepUntilLogged(
        log, QStringLiteral("Adding folder %1/sub as part of sharing %1").arg(share)));
    if (removed == "root")
        root.Remove();
    else if (removed == "folder")
        d.GetType("shared_file_folder")->HasItem(env.Path("share/sub")).Remove();
    else
        env.File("share/sub/c.ogg").Remove();
    env.shares().WaitForScans();
    QCOMPARE(rescanned.size(), 1);

    if (removed == "root") {
        // Given up, and not made again: the user's choice.
        QVERIFY(!d.GetType("shared_folder")->HasItem(env.Path("share")));
        QCOMPARE(env.SharedFiles(), QStringList());
        return;
    }
    // Whatever the rescan could not do, the next one does.
    env.Rescan();
    for (const QString& file : files)
        QVERIFY2(env.File(file), qPrintable(file));
    QCOMPARE(rescanned[1][1].toInt(), 0);
}

void tst_ShareScan::scansAskedForDuringAScan_data()
{
    QTest::addColumn<QString>("asked");       // while the rescan is in share/sub
    QTest::addColumn<QList<int>>("added");    // by each rescan report, in order
    QTest::addColumn<QStringList>("entered"); // the folders entered, in order
    // A rescan goes through the roots in the order they were shared.
    const QStringList share{"share", "share/sub", "share/tail"};
    const QStringList both = share + QStringList{"other"};
    QTest::newRow("a new root") << "root" << QList<int>{1} << both;
    QTest::newRow("another rescan") << "rescan" << QList<int>{1, 0} << share + share;
    QTest::newRow("a new root, then a rescan") << "root, rescan" << QList<int>{1, 0} << both + both;
}

void tst_ShareScan::scansAskedForDuringAScan()
{
    QFETCH(QString, asked);
    QFETCH(QList<int>, added);
    QFETCH(QStringList, entered);

    SharesTestEnv env;
    for (const char* file : {"share/a.ogg", "share/sub/b.ogg", "share/tail/c.ogg", "other/d.ogg"})
        env.Write(file);
    env.Share("share");
    env.Init();
    env.Write("share/sub/new.ogg");
    const TurnBudget::StepsForTesting slices(1);
    LogLines log("Shared");
    QSignalSpy rescanned(&env.shares(), &SharedFoldersManager::SharedFilesRescanned);
    env.shares().RescanShares();
    QVERIFY(StepUntilLogged(log, QStringLiteral("Adding folder %1 as part of sharing %2")
                                     .arg(QString::fromStdString(env.Path("share/sub")),
                                          QString::fromStdString(env.Path("share")))));
    // Asked for with the rescan half done: each waits for those before it.
    for (const QString& what : asked.split(", ")) {
        if (what == "root")
            env.Share("other");
        else
            env.shares().RescanShares();
    }
    env.shares().WaitForScans();

    QCOMPARE(rescanned.size(), added.size());
    for (int k = 0; k < added.size(); ++k) {
        QCOMPARE(rescanned[k][0].toInt(), added[k]);
        QCOMPARE(rescanned[k][1].toInt(), 0);
    }
    QStringList folders;
    for (const QString& line : log.lines.filter("Adding folder "))
        folders << env.Relative(line.section(' ', 2, 2).toStdString());
    QCOMPARE(folders, entered);
    QCOMPARE(env.SharedFiles().size(), asked.contains("root") ? 5 : 4);
}

QTEST_GUILESS_MAIN(tst_ShareScan)
#include "tst_sharescan.moc"

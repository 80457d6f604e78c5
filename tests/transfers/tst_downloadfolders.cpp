// Where a download's partial and finished files go, whatever names the peer sent; when a
// finished file counts as there; which emptied folders go once downloads are done.

#include "TransferTestEnv.h"

using namespace TransfersTypes;

namespace {

// HOME for as long as it lives.
class HomeAt
{
public:
    explicit HomeAt(const QString& path) : m_old(qgetenv("HOME"))
    {
        qputenv("HOME", QFile::encodeName(path));
    }
    ~HomeAt() { qputenv("HOME", m_old); }

private:
    QByteArray m_old;
};

void SetDownloadFolder(const QString& folder)
{
    Settings::Set(SettingKeys::DownloadFolder, QFile::encodeName(folder).toStdString());
}

ItemPtr Complete(ItemPtr entry)
{
    entry += d.GetType(DownloadEntryStatus)->GetItem(Value(TransferStatus::Complete));
    return entry;
}

bool IsDir(const QString& path)
{
    return QFileInfo(path).isDir();
}

} // namespace

class tst_DownloadFolders : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void targetPaths_data();
    void targetPaths();
    void downloadFolderInFileSystemEncoding();
    void finishedFileCounts_data();
    void finishedFileCounts();
    void emptiedFoldersRemoved_data();
    void emptiedFoldersRemoved();
    void folderStaysWhileAnotherDownloadNeedsIt();
    void nothingOutsideTheDownloadFolderRemoved();
};

void tst_DownloadFolders::targetPaths_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QByteArray>("remote");
    QTest::addColumn<int>("level");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("finished"); // the finished file, internal form; "~" the base's
    QTest::addColumn<QString>("relative");

    const char* user = "/home/user/Quorvale Downloads";
    const struct
    {
        const char* row;
        const char* base;
        const char* remote;
        int level;
        const char* name;
        const char* finished;
        const char* relative;
    } rows[] = {
        {"level 0", user, "Music\\Rock\\Band\\Album", 0, "01.mp3", "~\\Album\\01.mp3", "Album"},
        {"level 1", user, "Music\\Rock\\Band\\Album", 1, "01.mp3", "~\\Band\\Album\\01.mp3",
         "Band\\Album"},
        {"slashes", user, "/data/Rock/Album", 0, "01.mp3", "~\\Album\\01.mp3", "Album"},
        {"empty folder", user, "", 0, "01.mp3", "~\\01.mp3", ""},
        {"base with trailing slash", "/srv/dl/", "", 0, "01.mp3", "\\srv\\dl\\\\complete\\01.mp3",
         ""},
        {"dot dot components", user, "x\\..\\..", 1, ".bashrc", "~\\_\\_\\.bashrc", "_\\_"},
        {"separators in the name", user, "Music", 0, "..\\..\\.bashrc", "~\\Music\\.._.._.bashrc",
         "Music"},
        {"slash and dot in the name", user, "Music", 0, "../.", "~\\Music\\.._.", "Music"},
        {"control characters", user, "A\nB\\\x1b[1m", 1, "a\tb", "~\\A_B\\_[1m\\a_b", "A_B\\_[1m"},
        {"level beyond depth", user, "Album", 1, "01.mp3", "~\\Album\\01.mp3", "Album"},
        {"level beyond depth, leading slash", user, "/data/Rock", 5, "01.mp3",
         "~\\data\\Rock\\01.mp3", "data\\Rock"},
        {"level beyond depth, trailing separator", user, "Album\\", 2, "01.mp3", "~\\Album\\01.mp3",
         "Album"},
        {"negative level", user, "Music\\Rock\\Band\\Album", -1, "01.mp3", "~\\Album\\01.mp3",
         "Album"},
        {"empty name", user, "Music", 0, "", "~\\Music\\_", "Music"},
        {"UTF-8 names", "/home/j\xc3\xb6rg/dl", "Musik\\Bj\xc3\xb6rk", 0, "J\xc3\xb3ga.mp3",
         "\\home\\j\xc3\xb6rg\\dl\\complete\\Bj\xc3\xb6rk\\J\xc3\xb3ga.mp3", "Bj\xc3\xb6rk"},
        // Nothing lies below no folder: no path, and nothing found there.
        {"no download folder", "", "Music", 0, "a.mp3", "", "Music"},
    };
    for (const auto& r : rows) {
        QString finished = QString::fromUtf8(r.finished);
        finished.replace(QLatin1Char('~'),
                         QStringLiteral("\\home\\user\\Quorvale Downloads\\complete"));
        QTest::newRow(r.row) << QString::fromUtf8(r.base) << QByteArray(r.remote) << r.level
                             << QByteArray(r.name) << finished << QString::fromUtf8(r.relative);
    }
}

void tst_DownloadFolders::targetPaths()
{
    QFETCH(QString, base);
    QFETCH(QByteArray, remote);
    QFETCH(int, level);
    QFETCH(QByteArray, name);
    QFETCH(QString, finished);
    QFETCH(QString, relative);
    TransferTestEnv env;
    SetDownloadFolder(base);
    TransferQueueManager& t = env.transfers();
    ItemPtr entry =
        TransferTestEnv::Entry("bob", remote.toStdString(), name.toStdString(), 1000, level);

    QCOMPARE(t.GetDownloadTargetPath(entry, true), finished);
    QCOMPARE(t.GetDownloadRelativeDownloadFolder(entry), relative);
    const QString folder = finished.left(finished.lastIndexOf(QLatin1Char('\\')));
    QCOMPARE(t.GetDownloadTargetFolder(entry, true), folder);
    // The partial file: the same below "downloading".
    QString partial = finished;
    partial.replace(QStringLiteral("\\complete"), QStringLiteral("\\downloading"));
    QCOMPARE(t.GetDownloadTargetPath(entry, false), partial);
    QCOMPARE(t.GetDownloadTargetFolder(entry, false),
             partial.left(partial.lastIndexOf(QLatin1Char('\\'))));
    QVERIFY(!t.DoesDownloadItemCompleteFilenameExist(entry));
    // The store keeps the peer's spelling: that is what the peer knows the file by.
    QCOMPARE(entry[RemoteFolder].AsString(), remote.toStdString());
    QCOMPARE(entry[FileName].AsString(), name.toStdString());
}

void tst_DownloadFolders::downloadFolderInFileSystemEncoding()
{
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("h\u00f8m\u00e9"));
    QVERIFY(QDir().mkpath(home));
    HomeAt at(home);
    TransferTestEnv::Options options;
    options.ownDownloadFolder = false;
    TransferTestEnv env(options);

    const QString folder = home + QStringLiteral("/Quorvale Downloads");
    QCOMPARE(QByteArray::fromStdString(Settings::Text(SettingKeys::DownloadFolder)),
             folder.toUtf8());
    QCOMPARE(TransferTestEnv::DownloadFolder(), folder);
    ItemPtr entry = TransferTestEnv::Entry("bob", "Music\\Album", "a.mp3");
    const QString partial =
        TransferTestEnv::Local(env.transfers().GetDownloadTargetFolder(entry, false));
    QCOMPARE(partial, folder + QStringLiteral("/downloading/Album"));
    QVERIFY(QDir().mkpath(partial));
    QVERIFY(IsDir(home + QStringLiteral("/Quorvale Downloads/downloading/Album")));
}

void tst_DownloadFolders::finishedFileCounts_data()
{
    QTest::addColumn<QString>("what"); // what is at the finished path
    QTest::addColumn<qint64>("size");  // the download's size
    QTest::addColumn<bool>("done");
    QTest::newRow("file of the size") << "file 1000" << qint64(1000) << true;
    QTest::newRow("file cut short") << "file 999" << qint64(1000) << false;
    QTest::newRow("file larger") << "file 1001" << qint64(1000) << false;
    QTest::newRow("empty file, empty download") << "file 0" << qint64(0) << true;
    QTest::newRow("folder") << "folder" << qint64(0) << false;
    QTest::newRow("nothing") << "" << qint64(0) << false;
}

void tst_DownloadFolders::finishedFileCounts()
{
    QFETCH(QString, what);
    QFETCH(qint64, size);
    QFETCH(bool, done);
    TransferTestEnv env;
    ItemPtr entry = TransferTestEnv::Entry("bob", "Music\\Album", "a.mp3", size);
    const QString path = TransferTestEnv::Local(env.transfers().GetDownloadTargetPath(entry, true));
    const QStringList parts = what.split(QLatin1Char(' '));
    if (parts[0] == "file") {
        QVERIFY(TransferTestEnv::WriteFile(path, parts[1].toLongLong()));
    } else if (parts[0] == "folder") {
        QVERIFY(QDir().mkpath(path));
    }
    QCOMPARE(env.transfers().DoesDownloadItemCompleteFilenameExist(entry), done);
}

void tst_DownloadFolders::emptiedFoldersRemoved_data()
{
    // Folders below the download folder: made before, removed, kept.
    QTest::addColumn<QByteArray>("remote");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("made");
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("stay");
    const QString album = QStringLiteral("downloading/Rock/Album");
    const QString rock = QStringLiteral("downloading/Rock");
    const QString downloading = QStringLiteral("downloading");
    QTest::newRow("level 1") << QByteArray("Music\\Rock\\Album") << 1 << album
                             << QStringList{album, rock} << QStringList{downloading};
    QTest::newRow("empty remote folder")
        << QByteArray() << 0 << downloading << QStringList{downloading} << QStringList();
    // A folder still holding something stays, and so do those above it.
    QTest::newRow("not empty") << QByteArray("Music\\Rock\\Album") << 1 << album + "/left.mp3"
                               << QStringList() << QStringList{album, rock};
    QTest::newRow("sibling left") << QByteArray("Music\\Rock\\Album") << 1
                                  << "downloading/Rock/Other" << QStringList{album}
                                  << QStringList{rock, downloading};
}

void tst_DownloadFolders::emptiedFoldersRemoved()
{
    QFETCH(QByteArray, remote);
    QFETCH(int, level);
    QFETCH(QString, made);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, stay);
    TransferTestEnv env;
    const QString base = TransferTestEnv::DownloadFolder() + QLatin1Char('/');
    ItemPtr entry =
        Complete(TransferTestEnv::Entry("bob", remote.toStdString(), "a.mp3", 1, level));
    const QString partialFolder =
        TransferTestEnv::Local(env.transfers().GetDownloadTargetFolder(entry, false));
    QVERIFY(QDir().mkpath(partialFolder));
    if (made.endsWith(QLatin1String(".mp3")))
        QVERIFY(TransferTestEnv::WriteFile(base + made, 1));
    else
        QVERIFY(QDir().mkpath(base + made));

    env.transfers().RemoveDownloadDownloadingFolderIfAppropriate(entry);
    for (const QString& f : gone)
        QVERIFY2(!IsDir(base + f), qPrintable(f));
    for (const QString& f : stay)
        QVERIFY2(IsDir(base + f), qPrintable(f));
    QVERIFY(IsDir(base));
}

void tst_DownloadFolders::folderStaysWhileAnotherDownloadNeedsIt()
{
    TransferTestEnv env;
    ItemPtr first = TransferTestEnv::Entry("bob", "Music\\Album", "a.mp3", 1, 0,
                                           TransferStatus::Downloading, 1);
    // Another user's download from a folder of the same name shares the partial folder.
    ItemPtr second =
        TransferTestEnv::Entry("carol", "Music\\Album", "b.mp3", 1, 0, TransferStatus::Queued, 2);
    const QString folder =
        TransferTestEnv::Local(env.transfers().GetDownloadTargetFolder(first, false));
    QCOMPARE(folder,
             TransferTestEnv::Local(env.transfers().GetDownloadTargetFolder(second, false)));
    QVERIFY(QDir().mkpath(folder));

    Complete(first);
    env.transfers().RemoveDownloadDownloadingFolderIfAppropriate(first);
    QVERIFY(IsDir(folder));
    // An entry without any status is not done either.
    second.Disconnect(DownloadEntryStatus);
    env.transfers().RemoveDownloadDownloadingFolderIfAppropriate(first);
    QVERIFY(IsDir(folder));

    Complete(second);
    env.transfers().RemoveDownloadDownloadingFolderIfAppropriate(second);
    QVERIFY(!IsDir(folder));
    QVERIFY(IsDir(TransferTestEnv::DownloadFolder() + QStringLiteral("/downloading")));
}

void tst_DownloadFolders::nothingOutsideTheDownloadFolderRemoved()
{
    TransferTestEnv env;
    // An empty folder of the user's beside the download folder: "x\..\..\Documents" taken
    // as it stands would name it from "downloading".
    const QString base = TransferTestEnv::DownloadFolder();
    const QString sibling = env.Scratch(QStringLiteral("Documents"));
    QVERIFY(QDir().mkpath(base + QStringLiteral("/downloading")));
    QVERIFY(QDir().mkpath(sibling));
    ItemPtr climbing =
        Complete(TransferTestEnv::Entry("bob", "x\\..\\..\\Documents", "a", 1, 2, nullptr));
    const QString own = base + QStringLiteral("/downloading/_/_/Documents");
    QCOMPARE(TransferTestEnv::Local(env.transfers().GetDownloadTargetFolder(climbing, false)), own);
    QVERIFY(QDir().mkpath(own));

    env.transfers().RemoveDownloadDownloadingFolderIfAppropriate(climbing);
    QVERIFY(!IsDir(base + QStringLiteral("/downloading/_")));
    QVERIFY(IsDir(base + QStringLiteral("/downloading")));
    QVERIFY(IsDir(sibling));
}

QTEST_GUILESS_MAIN(tst_DownloadFolders)
#include "tst_downloadfolders.moc"

// Share lists received from other users, turned into trees of folders and files in the store.

#include "SharesTestEnv.h"

namespace {

// A received tree, one line per folder ("path", or "path < parent path") and per file
// ("path | name size", then its bitrate, length and mode when it has them), sorted.
QStringList Tree(const std::string& user)
{
    QStringList lines;
    ItemPtr share = StoreFixture::User(user)["user_share"];
    for (Item* f : share.GetItems("user_share_folder")) {
        ItemPtr folder(f);
        const QString path = QString::fromStdString(folder["user_share_folder_name"].AsString());
        ItemPtr parent =
            folder["user_share_folder_parent"]["user_share_folder_child"]["user_share_folder"];
        lines << (parent ? path + " < " +
                               QString::fromStdString(parent["user_share_folder_name"].AsString())
                         : path);
        for (Item* i : folder.GetItems("user_share_file")) {
            ItemPtr file(i);
            QString line = path + " | " +
                           QString::fromStdString(file["user_share_file_name"].AsString()) + ' ' +
                           QString::fromStdString(file["file_size"].AsString());
            for (const char* detail : {"bitrate", "length_seconds", "bitrate_mode"}) {
                if (ItemPtr item = file[detail])
                    line += ' ' + QString::fromStdString(item.AsString());
            }
            lines << line;
        }
    }
    lines.sort();
    return lines;
}

FileInfoMap Folders(const QStringList& paths)
{
    FileInfoMap map;
    for (const QString& path : paths)
        map[path.toStdString()];
    return map;
}

} // namespace

class tst_ReceivedShares : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parentLinks_data();
    void parentLinks();
    void filesAndTheirDetails();
    void secondListWaitsForRemoval();
    void twoUsersSharingOnePath();
    void listFromPeerBuildsTree();
};

void tst_ReceivedShares::parentLinks_data()
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

void tst_ReceivedShares::parentLinks()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, tree);
    SharesTestEnv env;
    sharedFoldersManager->OnUserShare("bob", Folders(folders), {});
    QCOMPARE(Tree("bob"), tree);
    // Made last, and the sign that the tree is whole.
    QVERIFY(StoreFixture::User("bob")["user_share"]["user_share_loaded"]);
    QCOMPARE(PeerTestEnv::Count("user_share_folder_parent"), size_t(tree.filter(" < ").size()));
}

void tst_ReceivedShares::filesAndTheirDetails()
{
    SharesTestEnv env;
    LogLines log("Shared");
    FileInfoMap folders;
    folders["Music"] = {
        FileInfo("x.mp3", 5, AttributeMap("mp3", {{2, 5}, {0, 128}, {1, 61}, {0, 320}, {7, 1}})),
        FileInfo("y.ogg", 7),
        FileInfo("z.mp3", 9, AttributeMap("mp3", {{2, 0}})),
    };
    sharedFoldersManager->OnUserShare("b\xe9la", folders, {{0, "bitrate"}});
    QVERIFY(log.Has(QString::fromUtf8("Received shared file list from user b\xc3\xa9la")));
    // A repeated code replaces the first; unknown codes are skipped.
    QCOMPARE(Tree("b\xe9la"), (QStringList{"Music", "Music | x.mp3 5 320 61 vbr", "Music | y.ogg 7",
                                           "Music | z.mp3 9 cbr"}));
    ItemPtr plain = d.GetType("user_share_file_name")->HasItem(Value("y.ogg"))["user_share_file"];
    QCOMPARE(plain->ConnectionCount(), size_t(3)); // its folder, name and size
}

void tst_ReceivedShares::secondListWaitsForRemoval()
{
    SharesTestEnv env;
    LogLines log("Shared");
    sharedFoldersManager->OnUserShare("bob", Folders({"first"}), {});
    sharedFoldersManager->OnUserShare("bob", Folders({"second"}), {});
    QCOMPARE(Tree("bob"), QStringList{"first"});
    QCOMPARE(log.lines.count("Received shared file list from user bob"), 2);
    QCOMPARE(PeerTestEnv::Count("user_share"), size_t(1));

    sharedFoldersManager->RemoveUserShare("bob");
    sharedFoldersManager->OnUserShare("bob", Folders({"second"}), {});
    QCOMPARE(Tree("bob"), QStringList{"second"});
}

void tst_ReceivedShares::twoUsersSharingOnePath()
{
    SharesTestEnv env;
    sharedFoldersManager->OnUserShare("bob", Folders({"a", "a\\b"}), {});
    sharedFoldersManager->OnUserShare("carol", Folders({"a", "a\\b"}), {});
    QCOMPARE(Tree("carol"), (QStringList{"a", "a\\b < a"}));
    // One name item, two folders, and carol's a\b hangs under carol's a.
    ItemPtr name = d.GetType("user_share_folder_name")->HasItem(Value("a"));
    QCOMPARE(name.GetItems("user_share_folder").size(), size_t(2));
    ItemPtr carolsChild = d.GetType("user_share_folder_name")
                              ->HasItem(Value("a\\b"))
                              .GetItems("user_share_folder")
                              .Connected(StoreFixture::User("carol")["user_share"])
                              .First();
    QCOMPARE(ItemPtr(carolsChild)["user_share_folder_parent"]["user_share_folder_child"]
                                 ["user_share_folder"]["user_share"]["user"]
                                     .AsString(),
             std::string("carol"));
}

void tst_ReceivedShares::listFromPeerBuildsTree()
{
    SharesTestEnv env;
    auto bob = env.env().DialMessaging(false);
    QVERIFY(bob);
    env.env().peer().GetUserSharedFiles("bob");
    const QByteArray list =
        WireWriter().u32(1).str("Music").u32(1).u8(1).str("x.mp3").u64(5).str("").u32(0).u32(0);
    bob->SendFrame(WireWriter().u32(5).raw(qCompress(list).mid(4)));
    QTRY_VERIFY(StoreFixture::User("bob")["user_share"]["user_share_loaded"]);
    QCOMPARE(Tree("bob"), (QStringList{"Music", "Music | x.mp3 5"}));
}

QTEST_GUILESS_MAIN(tst_ReceivedShares)
#include "tst_receivedshares.moc"
